// The warnings file a calling test runner names (TEST_WARNINGS_OUTPUT_FILE):
// a copy of the warnings the console shows. Appended line by line; as a copy,
// failures to write it are ignored.

#include <memory>
#include <string>

#include "formatters/common.hpp"
#include "listeners/listener.hpp"
#include "runner_files.hpp"

namespace test {

namespace {

class WarningsFile final : public RunListener {
public:
    explicit WarningsFile(std::string path) : path_(std::move(path)) {}

    /// The long-running warning, as the console formatters show it.
    rt::IoResult<void> on_timeout(const TestDesc& desc) override {
        append_line(path_, formatters::timeout_text(desc));
        return {};
    }

    rt::IoResult<void> on_run_finish(const RunFinished& run) override {
        if (run.no_tests_matched) {
            append_line(path_, NO_TESTS_MESSAGE);
        }
        return {};
    }

private:
    std::optional<std::string> path_;
};

}  // namespace

rt::IoResult<std::unique_ptr<RunListener>> open_warnings_file(const TestOpts& opts) {
    if (!opts.warnings_file) {
        return std::unique_ptr<RunListener>();
    }
    return std::unique_ptr<RunListener>(std::make_unique<WarningsFile>(*opts.warnings_file));
}

}  // namespace test
