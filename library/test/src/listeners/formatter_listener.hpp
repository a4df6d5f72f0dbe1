#pragma once
// The adapter through which the chosen formatter observes a run or a listing:
// each listener event becomes the formatter operation for it, so formatters
// keep their nine operations and know nothing of listeners.

#include <memory>

#include "formatters/formatter.hpp"
#include "listeners/listener.hpp"

namespace test {

/// Feeds one formatter, which it owns.
class FormatterListener final : public RunListener {
public:
    explicit FormatterListener(std::unique_ptr<formatters::OutputFormatter> formatter)
        : formatter_(std::move(formatter)) {}

    rt::IoResult<void> on_discovery_start() override;
    rt::IoResult<void> on_test_discovered(const TestDesc& desc, std::string_view kind) override;
    rt::IoResult<void> on_discovery_finish(const ConsoleTestDiscoveryState& state) override;
    rt::IoResult<void> on_run_start(const RunStarted& run) override;
    rt::IoResult<void> on_test_start(const TestDesc& desc) override;
    rt::IoResult<void> on_timeout(const TestDesc& desc) override;
    /// Passes the shown time, the output and the attempts as the result's notes.
    rt::IoResult<void> on_result(const ResultReported& result) override;
    /// Writes the summary. The formatter's own verdict (no failed test) is
    /// the one the event carries.
    rt::IoResult<void> on_run_finish(const RunFinished& run) override;

private:
    std::unique_ptr<formatters::OutputFormatter> formatter_;
};

}  // namespace test
