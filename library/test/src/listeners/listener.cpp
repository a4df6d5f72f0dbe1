#include "listeners/listener.hpp"

#include <utility>

namespace test {

namespace {

// Calls `op` on every listener in order; the first error ends the walk.
template <typename Op>
rt::IoResult<void> each(const std::vector<std::unique_ptr<RunListener>>& listeners, Op op) {
    for (const std::unique_ptr<RunListener>& listener : listeners) {
        RT_TRY(op(*listener));
    }
    return {};
}

}  // namespace

void RunListeners::add(std::unique_ptr<RunListener> listener) {
    if (listener) {
        listeners_.push_back(std::move(listener));
    }
}

rt::IoResult<void> RunListeners::discovery_start() {
    return each(listeners_, [](RunListener& l) { return l.on_discovery_start(); });
}

rt::IoResult<void> RunListeners::test_discovered(const TestDesc& desc, std::string_view kind) {
    return each(listeners_, [&](RunListener& l) { return l.on_test_discovered(desc, kind); });
}

rt::IoResult<void> RunListeners::discovery_finish(const ConsoleTestDiscoveryState& state) {
    return each(listeners_, [&](RunListener& l) { return l.on_discovery_finish(state); });
}

rt::IoResult<void> RunListeners::run_start(const RunStarted& run) {
    return each(listeners_, [&](RunListener& l) { return l.on_run_start(run); });
}

rt::IoResult<void> RunListeners::test_start(const TestDesc& desc) {
    return each(listeners_, [&](RunListener& l) { return l.on_test_start(desc); });
}

rt::IoResult<void> RunListeners::timeout(const TestDesc& desc) {
    return each(listeners_, [&](RunListener& l) { return l.on_timeout(desc); });
}

rt::IoResult<void> RunListeners::result(const ResultReported& result) {
    return each(listeners_, [&](RunListener& l) { return l.on_result(result); });
}

rt::IoResult<void> RunListeners::run_finish(const RunFinished& run) {
    return each(listeners_, [&](RunListener& l) { return l.on_run_finish(run); });
}

}  // namespace test
