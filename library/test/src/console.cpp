#include "console.hpp"

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "panic.hpp"
#include "engine.hpp"
#include "formatters/formatter.hpp"
#include "formatters/json.hpp"
#include "formatters/junit.hpp"
#include "formatters/pretty.hpp"
#include "formatters/terse.hpp"
#include "helpers/concurrency.hpp"
#include "listeners/formatter_listener.hpp"
#include "listeners/outputs.hpp"
#include "listeners/tally.hpp"
#include "plan.hpp"
#include "term/terminal.hpp"

namespace test {

namespace {

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

/// Turns the engine's events into listener events: FilteredOut and Filtered
/// become the run's start, and each result goes out with the time the
/// console shows and the tallies so far.
class EventFeed {
public:
    EventFeed(const TestOpts& opts, RunStarted facts, const ConsoleTestState& st,
              RunListeners& listeners)
        : opts_(opts), facts_(facts), st_(st), listeners_(listeners) {}

    rt::IoResult<void> operator()(TestEvent event) {
        if (const auto* e = event.as<TestEvent::FilteredOut>()) {
            facts_.filtered_out = e->count;
            facts_.other_shards = e->other_shards;
            return {};
        }
        if (const auto* e = event.as<TestEvent::Filtered>()) {
            facts_.count = e->count;
            facts_.shuffle_seed = e->shuffle_seed;
            return listeners_.run_start(facts_);
        }
        if (const auto* e = event.as<TestEvent::Wait>()) {
            return listeners_.test_start(e->desc);
        }
        if (const auto* e = event.as<TestEvent::Timeout>()) {
            return listeners_.timeout(e->desc);
        }
        const CompletedTest& completed = event.as<TestEvent::Result>()->completed;
        // Times are measured for the report file too; the console and the log
        // show them only when asked to.
        std::optional<TestExecTime> shown;
        if (opts_.time_options) {
            shown = completed.exec_time;
        }
        const QuarantineEntry* quarantine = nullptr;
        if (opts_.quarantine && completed.result.is_failure()) {
            quarantine =
                quarantine_in_force(*opts_.quarantine, completed.desc.name.as_slice(), today_);
        }
        return listeners_.result(ResultReported{completed, shown, st_, quarantine});
    }

private:
    /// The UTC day the run started: a quarantine ending before it is over.
    std::string today_ = utc_today();
    const TestOpts& opts_;
    RunStarted facts_;
    const ConsoleTestState& st_;
    RunListeners& listeners_;
};

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

namespace {

/// Warns, on standard error, about what the run's input files say that does
/// not fit the program: names of --tests-from and of the shard plan that
/// match no test, and quarantines of its tests that have ended.
void warn_about_inputs(const TestOpts& opts, const std::vector<TestDescAndFn>& tests) {
    if (!opts.tests_from && !opts.shard_plan && !opts.quarantine) {
        return;
    }
    std::unordered_set<std::string_view> names;
    names.reserve(tests.size());
    for (const TestDescAndFn& t : tests) {
        names.insert(t.descriptor.name.as_slice());
    }
    auto unmatched_warning = [](std::size_t unmatched, const std::string& path) {
        if (unmatched > 0) {
            rt::eprint("warning: " + std::to_string(unmatched) + " names in " + path +
                       " match no test\n");
        }
    };
    if (opts.tests_from) {
        // A name given twice is counted once.
        const std::unordered_set<std::string_view> listed(opts.tests_from->names.begin(),
                                                          opts.tests_from->names.end());
        unmatched_warning(std::count_if(listed.begin(), listed.end(),
                                        [&](std::string_view n) { return !names.contains(n); }),
                          opts.tests_from->path);
    }
    if (opts.shard_plan) {
        unmatched_warning(
            std::count_if(opts.shard_plan->shard_of.begin(), opts.shard_plan->shard_of.end(),
                          [&](const auto& e) { return !names.contains(e.first); }),
            opts.shard_plan->path);
    }
    if (opts.quarantine) {
        const std::string today = utc_today();
        for (const auto& [name, entry] : opts.quarantine->tests) {
            if (entry.until && *entry.until < today && names.contains(name)) {
                rt::eprint("warning: the quarantine of " + name + " ended on " + *entry.until +
                           "\n");
            }
        }
    }
}

}  // namespace

rt::IoResult<RunVerdict> run_tests_console(const TestOpts& opts, std::vector<TestDescAndFn> tests) {
    warn_about_inputs(opts, tests);
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

    // The fan-out: the optional outputs first, so that a failed console write
    // ends the run with the files holding what the console was about to show;
    // then the formatter; the tally last, so that every listener sees the
    // counts from before the result.
    ConsoleTestState st;
    st.options = opts.run_options;
    RunListeners listeners;
    if (auto added = add_outputs(opts, Observed::Run, listeners); !added.ok()) {
        // A report file that cannot be written stops the run before any test
        // starts, with a message naming it.
        if (added.error().message.empty()) {
            return added.error().error;
        }
        rt::eprint("error: " + added.error().message + "\n");
        return RunVerdict{};
    }
    listeners.add(std::make_unique<FormatterListener>(std::move(out)));
    listeners.add(std::make_unique<Tally>(st));
    return run_with_listeners(opts, concurrency, std::move(tests), st, listeners);
}

rt::IoResult<RunVerdict> run_with_listeners(const TestOpts& opts, std::size_t concurrency,
                                            std::vector<TestDescAndFn> tests, ConsoleTestState& st,
                                            RunListeners& listeners) {
    RunStarted facts;
    facts.concurrency = std::max<std::size_t>(concurrency, 1);
    facts.shard = opts.shard;
    facts.isolated = choose_strategy(opts) == RunStrategy::SpawnChild;
    facts.started_at = std::chrono::system_clock::now();
    for (const TestDescAndFn& t : tests) {
        const std::size_t kind = t.body.kind();
        // StaticBenchBody, StaticBenchOnce, BoxedBenchBody, BoxedBenchOnce
        if (kind == 1 || kind == 2 || kind == 4 || kind == 5) {
            facts.benchmarks.emplace(t.descriptor.name.as_slice());
        }
    }
    const auto start = std::chrono::steady_clock::now();
    auto ran =
        run_tests(opts, concurrency, std::move(tests), EventFeed(opts, facts, st, listeners));
    RT_TRY(ran);
    st.exec_time = TestSuiteExecTime{std::chrono::steady_clock::now() - start};

    if (!(opts.fail_fast || st.current_test_count() == st.total)) {
        rt::panic_static("assertion failed: opts.fail_fast || st.current_test_count() == st.total");
    }
    // Counted before sharding: an empty shard of a non-empty selection is fine.
    const bool no_tests_matched = opts.fail_if_no_tests && st.total + st.other_shards == 0;
    // Every formatter's verdict: no test failed.
    const bool passed = st.failed == 0 && !no_tests_matched;
    RT_TRY(listeners.run_finish(
        RunFinished{st, passed, no_tests_matched, passed ? 0 : 101, facts.started_at}));
    if (no_tests_matched) {
        rt::eprint(NO_TESTS_MESSAGE);
    }
    return RunVerdict{passed, ran.value().threads_abandoned};
}

rt::IoResult<void> list_tests_console(const TestOpts& opts, std::vector<TestDescAndFn> tests) {
    warn_about_inputs(opts, tests);
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

    // A listing's fan-out: the formatter, then the outputs that list.
    RunListeners listeners;
    listeners.add(std::make_unique<FormatterListener>(std::move(out)));
    if (auto added = add_outputs(opts, Observed::Listing, listeners); !added.ok()) {
        return added.error().error;
    }
    ConsoleTestDiscoveryState st;

    RT_TRY(listeners.discovery_start());
    const Plan plan = make_plan(opts, std::move(tests), PlanFor::Listing);
    for (const auto& test : plan.tests) {
        const TestDesc& desc = test.descriptor;
        const bool bench = test.body.is_bench();
        const std::string_view kind = bench ? "benchmark" : "test";
        ++(bench ? st.benchmarks : st.tests);
        if (desc.ignore) {
            ++st.ignored;
        }
        RT_TRY(listeners.test_discovered(desc, kind));
    }
    return listeners.discovery_finish(st);
}

}  // namespace test
