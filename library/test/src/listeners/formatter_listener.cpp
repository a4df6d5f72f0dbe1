#include "listeners/formatter_listener.hpp"

namespace test {

rt::IoResult<void> FormatterListener::on_discovery_start() {
    return formatter_->write_discovery_start();
}

rt::IoResult<void> FormatterListener::on_test_discovered(const TestDesc& desc,
                                                         std::string_view kind) {
    return formatter_->write_test_discovered(desc, kind);
}

rt::IoResult<void> FormatterListener::on_discovery_finish(const ConsoleTestDiscoveryState& state) {
    return formatter_->write_discovery_finish(state);
}

rt::IoResult<void> FormatterListener::on_run_start(const RunStarted& run) {
    return formatter_->write_run_start(run.count, run.shuffle_seed);
}

rt::IoResult<void> FormatterListener::on_test_start(const TestDesc& desc) {
    return formatter_->write_test_start(desc);
}

rt::IoResult<void> FormatterListener::on_timeout(const TestDesc& desc) {
    return formatter_->write_timeout(desc);
}

rt::IoResult<void> FormatterListener::on_result(const ResultReported& result) {
    const CompletedTest& completed = result.completed;
    return formatter_->write_result_noted(
        completed.desc, completed.result, result.shown_time, completed.stdout_bytes,
        formatters::ResultNotes{completed.failed_attempts, result.quarantine}, result.state);
}

rt::IoResult<void> FormatterListener::on_run_finish(const RunFinished& run) {
    RT_TRY(formatter_->write_run_finish(run.state));
    return {};
}

}  // namespace test
