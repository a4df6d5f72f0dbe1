// The run record (`--run-record PATH`, ZUNO_RUN_RECORD): one JSON document per
// run for the results database. Each result's entry is written as it arrives
// into an unnamed file in PATH's directory, and nothing of a test is kept once
// its entry is written; at the end the file gets a name and is renamed to PATH,
// so a run killed meanwhile leaves nothing behind.

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fd.hpp"
#include "formatters/common.hpp"
#include "formatters/json.hpp"
#include "listeners/listener.hpp"
#include "runner_files.hpp"
#include "text.hpp"

namespace test {

namespace {

/// The buffered entries go to the file once they reach this size.
constexpr std::size_t FLUSH_AT = 64 * 1024;

/// Appends `text` as a JSON string (quoted, escaped, invalid UTF-8 replaced).
void append_string(std::string& out, std::string_view text) {
    out += '"';
    formatters::EscapedString(text).append_to(out);
    out += '"';
}

/// Appends a JSON number; JSON has no form for NaN or infinities.
void append_number(std::string& out, double value) {
    out += std::isfinite(value) ? formatters::format_decimal(value) : std::string("null");
}

/// Seconds of a measured time, 0 when none was taken.
double seconds_of(const std::optional<TestExecTime>& time) {
    return time ? std::chrono::duration<double>(time->value).count() : 0.0;
}

/// 32 lowercase hex digits from the system's random source (the clock and the
/// process id where it has none).
std::string fresh_run_id() {
    std::uint8_t bytes[16] = {};
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        const auto now = std::chrono::system_clock::now().time_since_epoch().count();
        for (std::size_t i = 0; i < sizeof bytes; ++i) {
            bytes[i] = static_cast<std::uint8_t>((now >> (8 * (i % 8))) ^ (::getpid() >> i));
        }
    }
    static constexpr char HEX[] = "0123456789abcdef";
    std::string id;
    for (std::uint8_t b : bytes) {
        id += HEX[b >> 4];
        id += HEX[b & 0xF];
    }
    return id;
}

/// `when` in UTC as "2024-01-31T23:59:59.123Z".
std::string utc_timestamp(std::chrono::system_clock::time_point when) {
    const std::time_t secs = std::chrono::system_clock::to_time_t(when);
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() %
        1000;
    std::tm tm{};
    ::gmtime_r(&secs, &tm);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return text;
}

std::string host_name() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return "";
    }
    return name;
}

/// The record's word for a result.
std::string_view outcome_word(const TestResult& result) {
    if (result.is<TestResult::Ok>()) {
        return "ok";
    }
    if (result.is<TestResult::Ignored>()) {
        return "ignored";
    }
    if (result.is<TestResult::Bench>()) {
        return "bench";
    }
    return "failed";
}

/// The failure message a result carries, if any.
std::optional<std::string> failure_message(const TestResult& result) {
    if (const auto* failed = result.as<TestResult::FailedMsg>()) {
        return failed->message;
    }
    if (result.is<TestResult::TimedFail>()) {
        return std::string("time limit exceeded");
    }
    return std::nullopt;
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string file_name_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

/// The name the finished document takes beside PATH just before its rename.
std::string temporary_beside(const std::string& path) {
    return directory_of(path) + "/." + file_name_of(path) + "." + std::to_string(::getpid()) +
           ".tmp";
}

class RunRecord final : public RunListener {
public:
    RunRecord(std::string path, rt::Fd fd, std::string temporary, const TestOpts& opts)
        : path_(std::move(path)),
          fd_(std::move(fd)),
          temporary_(std::move(temporary)),
          display_output_(opts.run_options.display_output),
          labels_(opts.run_labels) {}
    RunRecord(const RunRecord&) = delete;
    RunRecord& operator=(const RunRecord&) = delete;
    ~RunRecord() override {
        if (!temporary_.empty()) {
            ::unlink(temporary_.c_str());
        }
    }

    rt::IoResult<void> on_run_start(const RunStarted& run) override {
        run_ = run;
        start_ = std::chrono::steady_clock::now();
        write_opening();
        return {};
    }

    rt::IoResult<void> on_test_start(const TestDesc&) override {
        most_running_ = std::max(most_running_, ++running_);
        return {};
    }

    rt::IoResult<void> on_result(const ResultReported& reported) override {
        running_ -= running_ > 0;
        write_entry(reported.completed, reported.quarantine != nullptr);
        if (buffer_.size() < FLUSH_AT) {
            return {};
        }
        RT_TRY(fd_.write_str(buffer_));
        buffer_.clear();
        return {};
    }

    /// Writes the closing fields and moves the document to its path.
    rt::IoResult<void> on_run_finish(const RunFinished& run) override {
        write_closing(run);
        RT_TRY(fd_.write_str(buffer_));
        buffer_.clear();
        if (temporary_.empty()) {
            // Give the unnamed file a name beside the path first: a link
            // cannot replace an existing file, a rename can.
            const std::string link = temporary_beside(path_);
            ::unlink(link.c_str());
            const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, link.c_str(), AT_SYMLINK_FOLLOW) != 0) {
                return rt::IoError::last_os_error();
            }
            temporary_ = link;
        }
        RT_TRY(fd_.close());
        if (::rename(temporary_.c_str(), path_.c_str()) != 0) {
            return rt::IoError::last_os_error();
        }
        temporary_.clear();
        return {};
    }

private:
    /// The fields known before the run: id, program, arguments, host, labels, start.
    void write_opening() {
        const std::vector<std::string> args = rt::args();
        std::string& out = buffer_;
        out += "{\"format\": \"zuno-run-record\", \"version\": 1, \"run_id\": \"" + fresh_run_id() +
               "\", \"program\": ";
        append_string(out, args.empty() ? std::string() : file_name_of(args.front()));
        out += ", \"args\": [";
        for (std::size_t i = 1; i < args.size(); ++i) {
            out += i > 1 ? ", " : "";
            append_string(out, args[i]);
        }
        out += "], \"host\": ";
        append_string(out, host_name());
        out += ", \"labels\": {";
        for (std::size_t i = 0; i < labels_.size(); ++i) {
            out += i > 0 ? ", " : "";
            append_string(out, labels_[i].first);
            out += ": ";
            append_string(out, labels_[i].second);
        }
        out += "}, \"started\": \"" + utc_timestamp(run_.started_at) + "\",\n\"tests\": [";
    }

    void write_entry(const CompletedTest& completed, bool quarantined) {
        std::string& out = buffer_;
        const TestResult& result = completed.result;
        const std::string_view name = completed.desc.name.as_slice();
        out += entries_++ > 0 ? ",\n{\"name\": " : "\n{\"name\": ";
        append_string(out, name);
        const bool bench_kind = !run_.benchmarks.empty() && run_.benchmarks.contains(name);
        out += bench_kind ? ", \"kind\": \"bench\"" : ", \"kind\": \"test\"";
        out += ", \"outcome\": \"";
        out += outcome_word(result);
        out += "\", \"duration_s\": ";
        append_number(out, seconds_of(completed.exec_time));
        std::optional<std::string> message = failure_message(result);
        if (!message && result.is<TestResult::Ignored>() && completed.desc.ignore_message) {
            message = std::string(*completed.desc.ignore_message);
        }
        if (message) {
            out += ", \"message\": ";
            append_string(out, *message);
        }
        const bool shown = result.is_failure() || (display_output_ && result.is<TestResult::Ok>());
        if (shown && !completed.stdout_bytes.empty()) {
            out += ", \"output\": ";
            append_string(
                out, std::string_view(reinterpret_cast<const char*>(completed.stdout_bytes.data()),
                                      completed.stdout_bytes.size()));
        }
        if (quarantined && result.is_failure()) {
            out += ", \"quarantined\": true";
        }
        if (!completed.failed_attempts.empty()) {
            out += ", \"attempts\": [";
            for (const FailedAttempt& attempt : completed.failed_attempts) {
                write_attempt(attempt.result, attempt.exec_time);
                out += ", ";
            }
            write_attempt(result, completed.exec_time);
            out += "]";
        }
        if (const auto* bench = result.as<TestResult::Bench>()) {
            const Summary& s = bench->samples.ns_iter_summ;
            out += ", \"bench\": {\"median_ns\": ";
            append_number(out, s.median);
            out += ", \"deviation_ns\": ";
            append_number(out, s.max - s.min);
            out += ", \"mb_s\": ";
            out += bench->samples.mb_s > 0 ? std::to_string(bench->samples.mb_s) : "null";
            out += ", \"samples_ns\": [";
            for (std::size_t i = 0; i < bench->samples.samples_ns.size(); ++i) {
                out += i > 0 ? ", " : "";
                append_number(out, bench->samples.samples_ns[i]);
            }
            out += "]}";
        }
        out += "}";
    }

    void write_attempt(const TestResult& result, const std::optional<TestExecTime>& time) {
        std::string& out = buffer_;
        out += "{\"outcome\": \"";
        out += outcome_word(result);
        out += "\", \"duration_s\": ";
        append_number(out, seconds_of(time));
        if (const std::optional<std::string> message = failure_message(result)) {
            out += ", \"message\": ";
            append_string(out, *message);
        }
        out += "}";
    }

    /// The fields known at the end: times, shape of the run, verdict, summary.
    void write_closing(const RunFinished& run) {
        const ConsoleTestState& st = run.state;
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        std::string& out = buffer_;
        out += "\n],\n\"wall_s\": ";
        append_number(out, wall);
        out += ", \"shard\": ";
        out += run_.shard ? "{\"index\": " + std::to_string(run_.shard->index) +
                                ", \"count\": " + std::to_string(run_.shard->count) + "}"
                          : std::string("null");
        out += ", \"seed\": ";
        out += run_.shuffle_seed ? std::to_string(*run_.shuffle_seed) : std::string("null");
        out += ", \"threads\": " + std::to_string(most_running_);
        out += run_.isolated ? ", \"isolate\": true" : ", \"isolate\": false";
        out += ", \"exit_status\": " + std::to_string(run.exit_status);
        out += ", \"summary\": {\"passed\": " + std::to_string(st.passed) +
               ", \"failed\": " + std::to_string(st.failed) +
               ", \"ignored\": " + std::to_string(st.ignored) +
               ", \"measured\": " + std::to_string(st.measured) +
               ", \"filtered_out\": " + std::to_string(st.filtered_out) +
               ", \"flaky\": " + std::to_string(st.flaky) +
               ", \"quarantined\": " + std::to_string(st.quarantined) + "}}\n";
    }

    std::string path_;
    rt::Fd fd_;
    /// The named temporary file, when the directory takes no unnamed one.
    std::string temporary_;
    bool display_output_ = false;
    std::vector<std::pair<std::string, std::string>> labels_;
    std::string buffer_;
    RunStarted run_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::size_t running_ = 0;
    std::size_t most_running_ = 0;
    std::size_t entries_ = 0;
};

}  // namespace

/// Checks that the record's directory takes new files and opens the file the
/// record is written into: unnamed where the file system allows, else named
/// beside the path.
rt::IoResult<std::unique_ptr<RunListener>> open_run_record(const TestOpts& opts) {
    if (!opts.run_record) {
        return std::unique_ptr<RunListener>();
    }
    const std::string& path = *opts.run_record;
    RT_TRY(check_replaceable(path));
    std::string temporary;
    auto fd = rt::Fd::open(directory_of(path), O_TMPFILE | O_WRONLY, 0666);
    if (!fd) {
        temporary = temporary_beside(path);
        ::unlink(temporary.c_str());
        fd = rt::Fd::open(temporary, O_WRONLY | O_CREAT | O_EXCL, 0666);
        RT_TRY(fd);
    }
    return std::unique_ptr<RunListener>(
        std::make_unique<RunRecord>(path, std::move(fd.value()), std::move(temporary), opts));
}

}  // namespace test
