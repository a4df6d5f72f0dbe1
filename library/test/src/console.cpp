#include "console.hpp"

#include <fcntl.h>

#include <chrono>
#include <mutex>
#include <string>
#include <utility>

#include "fd.hpp"
#include "panic.hpp"
#include "bench.hpp"
#include "engine.hpp"
#include "filter.hpp"
#include "formatters/common.hpp"
#include "formatters/formatter.hpp"
#include "formatters/json.hpp"
#include "formatters/junit.hpp"
#include "formatters/pretty.hpp"
#include "formatters/terse.hpp"
#include "helpers/concurrency.hpp"
#include "runner_files.hpp"
#include "term/terminal.hpp"

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

/// The optional log file (`--logfile`): one more listener of a run's events
/// beside the formatter, and of a listing's tests. Unbuffered; owns its
/// descriptor. Without a path every call does nothing.
class RunLog {
public:
    /// Creates (or truncates) the file with permission bits 0666 before the umask.
    static rt::IoResult<RunLog> open(const std::optional<std::string>& path) {
        if (!path) {
            return RunLog(rt::Fd());
        }
        auto fd = rt::Fd::open(*path, O_WRONLY | O_CREAT | O_TRUNC);
        RT_TRY(fd);
        return RunLog(std::move(*fd));
    }

    /// Writes "{outcome} {name}[ <{time}>]" for each completed test.
    rt::IoResult<void> on_event(const TestEvent& event) {
        const auto* e = event.as<TestEvent::Result>();
        if (!fd_.is_open() || e == nullptr) {
            return {};
        }
        const CompletedTest& completed = e->completed;
        std::string line = log_outcome(completed.desc, completed.result) + " " +
                           std::string(completed.desc.name.as_slice());
        if (completed.exec_time) {
            line += " <" + completed.exec_time->to_string() + ">";
        }
        return fd_.write_str(line + "\n");
    }
    /// Writes "{kind} {name}" for each listed test.
    rt::IoResult<void> on_discovered(const TestDesc& desc, std::string_view kind) {
        if (!fd_.is_open()) {
            return {};
        }
        return fd_.write_str(std::string(kind) + " " + std::string(desc.name.as_slice()) + "\n");
    }

private:
    explicit RunLog(rt::Fd fd) : fd_(std::move(fd)) {}
    rt::Fd fd_;
};

/// The terminal for standard output when its entry loads, else plain standard output.
formatters::OutputLocation stdout_location() {
    if (auto terminal = term::stdout_terminal(formatters::OutputLocation::buffered_stdout())) {
        return formatters::OutputLocation(std::move(terminal));
    }
    return formatters::OutputLocation::stdout_plain();
}

/// For the machine-read formats: the report goes to a private duplicate of
/// standard output while descriptor 1 points at standard error, so that
/// whatever else writes to descriptor 1 during the run (child processes,
/// printf, threads the harness did not start) lands on standard error instead
/// of corrupting the report. Undone when destroyed.
class ReportOnPrivateStdout {
public:
    ReportOnPrivateStdout() = default;
    ReportOnPrivateStdout(const ReportOnPrivateStdout&) = delete;
    ReportOnPrivateStdout& operator=(const ReportOnPrivateStdout&) = delete;
    ~ReportOnPrivateStdout() {
        if (saved_ >= 0) {
            std::lock_guard lock(rt::stdout_lock());
            ::dup2(saved_, 1);
            ::close(saved_);
        }
    }

    /// Moves descriptor 1 aside; returns the report's location, or nothing
    /// when the descriptors could not be arranged (the report then goes to
    /// descriptor 1 as usual).
    std::optional<formatters::OutputLocation> engage() {
        std::lock_guard lock(rt::stdout_lock());
        const int saved = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
        if (saved < 0) {
            return std::nullopt;
        }
        if (::dup2(2, 1) < 0) {
            ::close(saved);
            return std::nullopt;
        }
        saved_ = saved;
        return formatters::OutputLocation(std::unique_ptr<rt::Write>(
            std::make_unique<rt::BufWriter>(std::make_unique<rt::FdWriter>(saved))));
    }

private:
    int saved_ = -1;
};

/// The column every right-padded name is padded to: the name length of the
/// last test among those with the largest padded length.
std::size_t compute_name_width(const std::vector<TestDescAndFn>& tests) {
    std::size_t width = 0;
    std::size_t widest_padded = 0;
    for (const auto& t : tests) {
        std::size_t len = t.descriptor.name.as_slice().size();
        std::size_t padded = t.body.padding() == NamePadding::PadRight ? len : 0;
        if (padded >= widest_padded) {
            widest_padded = padded;
            width = len;
        }
    }
    return width;
}

/// Counts one result and keeps its descriptor and output in the matching list.
/// Passing tests are listed only when their output is going to be shown.
void tally(ConsoleTestState& st, CompletedTest& completed) {
    std::vector<std::uint8_t>& out = completed.stdout_bytes;
    std::visit(
        [&](const auto& r) {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, TestResult::Ok>) {
                ++st.passed;
                if (!completed.failed_attempts.empty()) {
                    ++st.flaky;
                }
                if (st.options.display_output) {
                    st.not_failures.emplace_back(std::move(completed.desc), std::move(out));
                }
            } else if constexpr (std::is_same_v<R, TestResult::Ignored>) {
                ++st.ignored;
                st.ignores.emplace_back(std::move(completed.desc), std::move(out));
            } else if constexpr (std::is_same_v<R, TestResult::Bench>) {
                ++st.measured;
                const Summary& s = r.samples.ns_iter_summ;
                st.metrics.insert_metric(completed.desc.name.as_slice(), s.median, s.max - s.min);
            } else if constexpr (std::is_same_v<R, TestResult::Failed>) {
                ++st.failed;
                st.failures.emplace_back(std::move(completed.desc), std::move(out));
            } else if constexpr (std::is_same_v<R, TestResult::FailedMsg>) {
                ++st.failed;
                const std::string note = "note: " + r.message;
                out.insert(out.end(), note.begin(), note.end());
                st.failures.emplace_back(std::move(completed.desc), std::move(out));
            } else {
                ++st.failed;
                st.time_failures.emplace_back(std::move(completed.desc), std::move(out));
            }
        },
        completed.result.get());
}

/// The JUnit report file (`--junit-report`, XML_OUTPUT_FILE): one more
/// listener of a run's events. A second JUnit formatter writes the document
/// into memory with every test's measured time; at the end of the run it is
/// written whole. Without a path every call does nothing.
class RunReport {
public:
    /// Checks, before anything runs, that the file can be written.
    static rt::IoResult<RunReport> open(const std::optional<std::string>& path) {
        RunReport report;
        if (!path) {
            return report;
        }
        RT_TRY(check_replaceable(*path));
        auto buffer = std::make_unique<rt::VecWriter>();
        report.buffer_ = buffer.get();
        report.path_ = *path;
        report.formatter_ = std::make_unique<formatters::JunitFormatter>(
            formatters::OutputLocation(std::unique_ptr<rt::Write>(std::move(buffer))));
        return report;
    }

    /// Records the run's start and each result, with `measured` as its time.
    rt::IoResult<void> on_event(const TestEvent& event, const std::optional<TestExecTime>& measured,
                                const ConsoleTestState& st) {
        if (!formatter_) {
            return {};
        }
        if (const auto* e = event.as<TestEvent::Filtered>()) {
            return formatter_->write_run_start(e->count, e->shuffle_seed);
        }
        if (const auto* e = event.as<TestEvent::Result>()) {
            const CompletedTest& completed = e->completed;
            return formatter_->write_result(completed.desc, completed.result, measured,
                                            completed.stdout_bytes, st);
        }
        return {};
    }

    /// Writes the document, with the run's wall time and start, to the file.
    rt::IoResult<void> finish(ConsoleTestState& st, std::chrono::system_clock::time_point start) {
        if (!formatter_) {
            return {};
        }
        formatter_->set_suite_time(st.exec_time ? st.exec_time->value : Duration::zero(), start);
        RT_TRY(formatter_->write_run_finish(st));
        const std::vector<std::uint8_t>& bytes = buffer_->data;
        return replace_file(
            path_, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }

    /// Whether a report is written: then every test's time is measured.
    [[nodiscard]] bool active() const { return formatter_ != nullptr; }

private:
    std::string path_;
    rt::VecWriter* buffer_ = nullptr;
    std::unique_ptr<formatters::JunitFormatter> formatter_;
};

/// Where the events of a run go besides the tallies.
struct Listeners {
    const TestOpts& opts;
    formatters::OutputFormatter& out;
    RunLog& log;
    RunReport& report;
};

/// Turns one engine event into formatter calls, a log line, the report and tallies.
rt::IoResult<void> on_test_event(TestEvent event, ConsoleTestState& st, Listeners& to) {
    std::optional<TestExecTime> measured;
    if (auto* e = event.as<TestEvent::Result>()) {
        // Times are measured for the report file too; the console and the
        // log show them only when asked to.
        measured = e->completed.exec_time;
        if (!to.opts.time_options) {
            e->completed.exec_time.reset();
        }
    }
    RT_TRY(to.log.on_event(event));
    if (auto* e = event.as<TestEvent::Result>()) {
        st.attempts = e->completed.failed_attempts;
    }
    rt::IoResult<void> reported = to.report.on_event(event, measured, st);
    st.attempts = {};
    RT_TRY(reported);
    if (auto* e = event.as<TestEvent::Filtered>()) {
        st.total = e->count;
        return to.out.write_run_start(e->count, e->shuffle_seed);
    }
    if (auto* e = event.as<TestEvent::FilteredOut>()) {
        st.filtered_out = e->count;
        st.other_shards = e->other_shards;
        return {};
    }
    if (auto* e = event.as<TestEvent::Wait>()) {
        return to.out.write_test_start(e->desc);
    }
    if (auto* e = event.as<TestEvent::Timeout>()) {
        // The same line the console formatters show.
        append_line(to.opts.warnings_file, formatters::timeout_text(e->desc));
        return to.out.write_timeout(e->desc);
    }
    CompletedTest& completed = event.as<TestEvent::Result>()->completed;
    st.attempts = completed.failed_attempts;
    RT_TRY(to.out.write_result(completed.desc, completed.result, completed.exec_time,
                               completed.stdout_bytes, st));
    st.attempts = {};
    tally(st, completed);
    return {};
}

}  // namespace

std::unique_ptr<formatters::OutputFormatter> get_formatter(const TestOpts& opts,
                                                           std::size_t name_width,
                                                           std::size_t concurrency) {
    return get_formatter(opts, name_width, concurrency, stdout_location());
}

std::unique_ptr<formatters::OutputFormatter> get_formatter(const TestOpts& opts,
                                                           std::size_t name_width,
                                                           std::size_t concurrency,
                                                           formatters::OutputLocation output) {
    // A colour capability that cannot be expanded turns colours off for the
    // whole run, before any is written, so the terminal is never left coloured.
    bool use_color = opts.use_color();
    if (term::Terminal* terminal = output.terminal(); use_color && terminal != nullptr) {
        if (const std::optional<std::string> problem = terminal->colour_problem()) {
            rt::eprint("warning: terminal colours turned off: " + *problem + "\n");
            use_color = false;
        }
    }
    // With retries a test's line is written whole at its final result, as in
    // a parallel run: a first attempt that fails leaves no line behind.
    const bool parallel = concurrency > 1 || opts.retries > 0;
    switch (opts.format) {
        case OutputFormat::Pretty:
            return std::make_unique<formatters::PrettyFormatter>(
                std::move(output), use_color, name_width, parallel, opts.time_options);
        case OutputFormat::Terse:
            return std::make_unique<formatters::TerseFormatter>(std::move(output), use_color,
                                                                name_width, parallel);
        case OutputFormat::Json:
            return std::make_unique<formatters::JsonFormatter>(std::move(output));
        case OutputFormat::Junit:
            break;
    }
    return std::make_unique<formatters::JunitFormatter>(std::move(output));
}

rt::IoResult<bool> run_tests_console(const TestOpts& opts, std::vector<TestDescAndFn> tests) {
    // Decided before anything is printed, so a bad ZUNO_TEST_THREADS or
    // ZUNO_TEST_CAPTURE_LIMIT stops the process with no output.
    const std::size_t concurrency = helpers::decide_concurrency(opts.test_threads);
    (void)helpers::capture_limit();
    const std::size_t name_width = compute_name_width(tests);
    ReportOnPrivateStdout private_stdout;
    std::optional<formatters::OutputLocation> report_location;
    if (opts.format == OutputFormat::Json || opts.format == OutputFormat::Junit) {
        report_location = private_stdout.engage();
    }
    std::unique_ptr<formatters::OutputFormatter> out =
        report_location ? get_formatter(opts, name_width, concurrency, std::move(*report_location))
                        : get_formatter(opts, name_width, concurrency);

    auto log = RunLog::open(opts.logfile);
    RT_TRY(log);
    auto report = RunReport::open(opts.junit_report);
    RT_TRY(report);
    ConsoleTestState st;
    st.options = opts.run_options;

    const auto started_at = std::chrono::system_clock::now();
    const auto start = std::chrono::steady_clock::now();
    Listeners listeners{opts, *out, log.value(), report.value()};
    RT_TRY(run_tests(opts, concurrency, std::move(tests), [&](TestEvent event) {
        return on_test_event(std::move(event), st, listeners);
    }));
    st.exec_time = TestSuiteExecTime{std::chrono::steady_clock::now() - start};

    if (!(opts.fail_fast || st.current_test_count() == st.total)) {
        rt::panic_static("assertion failed: opts.fail_fast || st.current_test_count() == st.total");
    }
    rt::IoResult<bool> passed = out->write_run_finish(st);
    if (!passed.ok()) {
        return passed;
    }
    RT_TRY(report.value().finish(st, started_at));
    // Counted before sharding: an empty shard of a non-empty selection is fine.
    if (opts.fail_if_no_tests && st.total + st.other_shards == 0) {
        const std::string_view message = "error: no test matched the filters\n";
        rt::eprint(message);
        append_line(opts.warnings_file, message);
        return false;
    }
    return passed;
}

rt::IoResult<void> list_tests_console(const TestOpts& opts, std::vector<TestDescAndFn> tests) {
    formatters::OutputLocation output = stdout_location();
    // Plain standard output stays locked for the whole listing.
    std::unique_lock<std::recursive_mutex> stdout_guard;
    if (output.terminal() == nullptr) {
        stdout_guard = std::unique_lock(rt::stdout_lock());
    }
    std::unique_ptr<formatters::OutputFormatter> out;
    switch (opts.format) {
        case OutputFormat::Terse:
            out = std::make_unique<formatters::TerseFormatter>(std::move(output), false, 0, false);
            break;
        case OutputFormat::Json:
            out = std::make_unique<formatters::JsonFormatter>(std::move(output));
            break;
        case OutputFormat::Pretty:
        case OutputFormat::Junit:
            // There is no JUnit listing; it lists in the pretty form.
            out = std::make_unique<formatters::PrettyFormatter>(std::move(output), false, 0, false,
                                                                std::nullopt);
            break;
    }

    auto log = RunLog::open(opts.logfile);
    RT_TRY(log);
    ConsoleTestDiscoveryState st;

    RT_TRY(out->write_discovery_start());
    std::vector<TestDescAndFn> listed = filter_tests(opts, std::move(tests));
    if (opts.shard) {
        listed = shard_tests(*opts.shard, std::move(listed));
    }
    for (const auto& test : listed) {
        const TestDesc& desc = test.descriptor;
        const bool bench = test.body.is_bench();
        const std::string_view kind = bench ? "benchmark" : "test";
        ++(bench ? st.benchmarks : st.tests);
        if (desc.ignore) {
            ++st.ignored;
        }
        RT_TRY(out->write_test_discovered(desc, kind));
        RT_TRY(log.value().on_discovered(desc, kind));
    }
    return out->write_discovery_finish(st);
}

}  // namespace test
