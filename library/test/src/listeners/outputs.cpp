#include "listeners/outputs.hpp"

#include <memory>

namespace test {

namespace {

/// Opens one output: its listener, or null when `opts` does not ask for it.
using OpenOutput = rt::IoResult<std::unique_ptr<RunListener>> (*)(const TestOpts& opts);

struct Output {
    OpenOutput open;
    /// Whether it also observes listings.
    bool lists;
};

}  // namespace

// Defined in the output's own file.
rt::IoResult<std::unique_ptr<RunListener>> open_log_file(const TestOpts& opts);
rt::IoResult<std::unique_ptr<RunListener>> open_junit_report(const TestOpts& opts);
rt::IoResult<std::unique_ptr<RunListener>> open_warnings_file(const TestOpts& opts);

namespace {

/// Every optional output, one line each, in fan-out order.
constexpr Output OUTPUTS[] = {
    {open_log_file, true},
    {open_junit_report, false},
    {open_warnings_file, false},
};

}  // namespace

rt::IoResult<void> add_outputs(const TestOpts& opts, Observed observed, RunListeners& listeners) {
    for (const Output& output : OUTPUTS) {
        if (observed == Observed::Listing && !output.lists) {
            continue;
        }
        auto listener = output.open(opts);
        RT_TRY(listener);
        listeners.add(std::move(listener.value()));
    }
    return {};
}

}  // namespace test
