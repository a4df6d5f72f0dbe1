// The log file (`--logfile`): one line per result of a run and per test of a
// listing. Unbuffered; owns its descriptor.

#include <fcntl.h>

#include <memory>
#include <string>

#include "bench.hpp"
#include "fd.hpp"
#include "listeners/listener.hpp"

namespace test {

namespace {

/// The log file's text for a result.
std::string log_outcome(const TestDesc& desc, const TestResult& result) {
    if (result.is<TestResult::Ok>()) {
        return "ok";
    }
    if (result.is<TestResult::Failed>()) {
        return "failed";
    }
    if (auto* r = result.as<TestResult::FailedMsg>()) {
        return "failed: " + r->message;
    }
    if (result.is<TestResult::Ignored>()) {
        if (desc.ignore_message) {
            return "ignored: " + std::string(*desc.ignore_message);
        }
        return "ignored";
    }
    if (auto* r = result.as<TestResult::Bench>()) {
        return fmt_bench_samples(r->samples);
    }
    return "failed (time limit exceeded)";
}

class LogFile final : public RunListener {
public:
    explicit LogFile(rt::Fd fd) : fd_(std::move(fd)) {}

    /// Writes "{kind} {name}".
    rt::IoResult<void> on_test_discovered(const TestDesc& desc, std::string_view kind) override {
        return fd_.write_str(std::string(kind) + " " + std::string(desc.name.as_slice()) + "\n");
    }

    /// Writes "{outcome} {name}[ <{time}>]" with the time the console shows.
    rt::IoResult<void> on_result(const ResultReported& reported) override {
        const CompletedTest& completed = reported.completed;
        std::string line = log_outcome(completed.desc, completed.result);
        if (reported.quarantine != nullptr && completed.result.is_failure()) {
            // "failed", "failed: ..." and "failed (time limit exceeded)" alike.
            line.insert(std::string_view("failed").size(), " (quarantined)");
        }
        line += " ";
        line += completed.desc.name.as_slice();
        if (reported.shown_time) {
            line += " <" + reported.shown_time->to_string() + ">";
        }
        return fd_.write_str(line + "\n");
    }

private:
    rt::Fd fd_;
};

}  // namespace

/// Creates (or truncates) the file with permission bits 0666 before the umask.
rt::IoResult<std::unique_ptr<RunListener>> open_log_file(const TestOpts& opts) {
    if (!opts.logfile) {
        return std::unique_ptr<RunListener>();
    }
    auto fd = rt::Fd::open(*opts.logfile, O_WRONLY | O_CREAT | O_TRUNC);
    RT_TRY(fd);
    return std::unique_ptr<RunListener>(std::make_unique<LogFile>(std::move(*fd)));
}

}  // namespace test
