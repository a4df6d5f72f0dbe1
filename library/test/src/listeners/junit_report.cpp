// The JUnit report file (`--junit-report`, XML_OUTPUT_FILE): a second JUnit
// formatter writes the document into memory with every test's measured time;
// at the end of the run it replaces the file whole.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "formatters/junit.hpp"
#include "listeners/listener.hpp"
#include "runner_files.hpp"

namespace test {

namespace {

class JunitReport final : public RunListener {
public:
    explicit JunitReport(std::string path) : path_(std::move(path)) {
        auto buffer = std::make_unique<rt::VecWriter>();
        buffer_ = buffer.get();
        formatter_ = std::make_unique<formatters::JunitFormatter>(
            formatters::OutputLocation(std::unique_ptr<rt::Write>(std::move(buffer))));
    }

    rt::IoResult<void> on_run_start(const RunStarted& run) override {
        return formatter_->write_run_start(run.count, run.shuffle_seed);
    }

    /// Records the result with its measured time, shown or not.
    rt::IoResult<void> on_result(const ResultReported& reported) override {
        const CompletedTest& completed = reported.completed;
        return formatter_->write_result_noted(
            completed.desc, completed.result, completed.exec_time, completed.stdout_bytes,
            formatters::ResultNotes{completed.failed_attempts, reported.quarantine},
            reported.state);
    }

    /// Writes the document, with the run's wall time and start, to the file.
    rt::IoResult<void> on_run_finish(const RunFinished& run) override {
        const ConsoleTestState& st = run.state;
        formatter_->set_suite_time(st.exec_time ? st.exec_time->value : Duration::zero(),
                                   run.started_at);
        RT_TRY(formatter_->write_run_finish(run.state));
        const std::vector<std::uint8_t>& bytes = buffer_->data;
        return replace_file(
            path_, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }

private:
    std::string path_;
    rt::VecWriter* buffer_ = nullptr;
    std::unique_ptr<formatters::JunitFormatter> formatter_;
};

}  // namespace

/// Checks, before anything runs, that the file can be written.
rt::IoResult<std::unique_ptr<RunListener>> open_junit_report(const TestOpts& opts) {
    if (!opts.junit_report) {
        return std::unique_ptr<RunListener>();
    }
    RT_TRY(check_replaceable(*opts.junit_report));
    return std::unique_ptr<RunListener>(std::make_unique<JunitReport>(*opts.junit_report));
}

}  // namespace test
