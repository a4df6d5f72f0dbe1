#include "cli.hpp"

#include "io.hpp"
#include "panic.hpp"
#include "text.hpp"
#include "helpers/number.hpp"

#include <algorithm>
#include <limits>

namespace test {

namespace {

using optparse::Matches;

// Printed after the option block of the help.
constexpr std::string_view kEpilogue =
    R"(The FILTER string is tested against the name of all tests, and only those
tests whose names contain the filter are run. Multiple filter strings may
be passed, which will run all tests matching any of the filters.

By default, all tests are run in parallel. This can be altered with the
--test-threads flag when running tests (set it to 1).

By default, the tests are run in alphabetical order. Use --shuffle to run
the tests in random order. Pass the generated "shuffle seed" to
--shuffle-seed to run the tests in the same order again. Note that
--shuffle and --shuffle-seed do not affect whether the tests are run in
parallel.

All tests have their standard output and standard error captured by default.
This can be overridden with the --no-capture flag to a value other than "0".
Logging is not captured by default.

Test Attributes:

    `test`           - Indicates a function is a test to be run. This function
                       takes no arguments.
    `bench`          - Indicates a function is a benchmark to be run. This
                       function takes one argument (a Bencher).
    `should_panic`   - This function (also marked as a test) will only pass if
                       the code raises a failure (an assertion failure or an
                       explicit failure). A message may be provided, which the
                       failure text must contain.
    `ignore`         - When applied to a function which is already marked as a
                       test, then the test runner will ignore these tests during
                       normal test runs. Running with --ignored or --include-ignored will run
                       these tests.)";

// A switch variable is on when set to anything other than exactly "0".
bool env_switch_on(const char* name) {
    const std::optional<std::string> value = rt::env_var(name);
    return value && *value != "0";
}

// The flag's presence when experimental options are allowed, else false (or
// the gate's error when it was given anyway).
OptPartResult<bool> get_gated_flag(const Matches& matches, bool allow_unstable,
                                   std::string_view name) {
    const bool present = matches.opt_present(name);
    if (present && !allow_unstable) {
        return rt::Err{"The \"" + std::string(name) +
                       "\" flag is only accepted on the nightly compiler with -Z unstable-options"};
    }
    return present;
}

}  // namespace

optparse::Options optgroups() {
    optparse::Options opts;
    opts.optflag("", "include-ignored", "Run ignored and not ignored tests")
        .optflag("", "ignored", "Run only ignored tests")
        .optflag("", "force-run-in-process", "Forces tests to run in-process when panic=abort")
        .optflag("", "exclude-should-panic", "Excludes tests marked as should_panic")
        .optflag("", "test", "Run tests and not benchmarks")
        .optflag("", "bench", "Run benchmarks instead of tests")
        .optflag("", "list", "List all tests and benchmarks")
        .optflag("", "fail-fast", "Don't start new tests after the first failure")
        .optflag("h", "help", "Display this message")
        .optopt("", "logfile", "Write logs to the specified file (deprecated)", "PATH")
        .optflag("", "no-capture",
                 "don't capture stdout/stderr of each task, allow printing directly")
        .optopt("", "test-threads", "Number of threads used for running tests in parallel",
                "n_threads")
        .optmulti("", "skip",
                  "Skip tests whose names contain FILTER (this flag can be used multiple times)",
                  "FILTER")
        .optflag("q", "quiet",
                 "Display one character per test instead of one line. Alias to --format=terse")
        .optflag("", "exact", "Exactly match filters rather than by substring")
        .optopt("", "color",
                "Configure coloring of output:\n"
                "            auto   = colorize if stdout is a tty and tests are run on serially "
                "(default);\n"
                "            always = always colorize output;\n"
                "            never  = never colorize output;",
                "auto|always|never")
        .optopt("", "format",
                "Configure formatting of output:\n"
                "            pretty = Print verbose output;\n"
                "            terse  = Display one character per test;\n"
                "            json   = Output a json document;\n"
                "            junit  = Output a JUnit document",
                "pretty|terse|json|junit")
        .optflag("", "show-output", "Show captured stdout of successful tests")
        .optopt("Z", "",
                "Enable nightly-only flags:\n"
                "            unstable-options = Allow use of experimental features",
                "unstable-options")
        .optflag("", "report-time",
                 "Show execution time of each test.\n"
                 "\n"
                 "            Threshold values for colorized output can be configured via\n"
                 "            `ZUNO_TEST_TIME_UNIT`, `ZUNO_TEST_TIME_INTEGRATION` and\n"
                 "            `ZUNO_TEST_TIME_DOCTEST` environment variables.\n"
                 "\n"
                 "            Expected format of environment variable is "
                 "`VARIABLE=WARN_TIME,CRITICAL_TIME`.\n"
                 "            Durations must be specified in milliseconds, e.g. `500,2000` means "
                 "that the warn time\n"
                 "            is 0.5 seconds, and the critical time is 2 seconds.\n"
                 "\n"
                 "            Not available for --format=terse")
        .optflag("", "ensure-time",
                 "Treat excess of the test execution time limit as error.\n"
                 "\n"
                 "            Threshold values for this option can be configured via\n"
                 "            `ZUNO_TEST_TIME_UNIT`, `ZUNO_TEST_TIME_INTEGRATION` and\n"
                 "            `ZUNO_TEST_TIME_DOCTEST` environment variables.\n"
                 "\n"
                 "            Expected format of environment variable is "
                 "`VARIABLE=WARN_TIME,CRITICAL_TIME`.\n"
                 "\n"
                 "            `CRITICAL_TIME` here means the limit that should not be exceeded "
                 "by test.\n"
                 "            ")
        .optflag("", "shuffle", "Run tests in random order")
        .optopt("", "shuffle-seed",
                "Run tests in random order; seed the random number generator with SEED", "SEED")
        .optflag("", "isolate", "Run each test in a child process of its own")
        .optopt("", "test-timeout", "Fail a test that runs longer than SECS seconds", "SECS")
        .optopt("", "shard-count", "Split the selected tests into N shards", "N")
        .optopt("", "shard-index", "Run only shard K of the N shards, counting from 0", "K")
        .optopt("", "junit-report", "Also write the results as a JUnit document to PATH", "PATH")
        .optflag("", "fail-if-no-tests", "Fail the run when the filters select no test")
        .optopt("", "retries", "Run a failed test again, up to N more times", "N")
        .optopt("", "tests-from", "Run the tests named in FILE, one name per line", "FILE")
        .optopt("", "shard-plan", "Place tests in shards as the plan in FILE says", "FILE")
        .optopt("", "quarantine", "A failure of a test quarantined in FILE does not fail the run",
                "FILE")
        .optopt("", "run-record", "Also write a record of the run as JSON to PATH", "PATH")
        .optflag("", "reuse-threads",
                 "Run tests on reused worker threads (as many as run at once) "
                 "instead of a new thread each: faster for many small tests, but "
                 "thread-local variables live as long as the worker, so a later test "
                 "on it sees their values, and are destroyed when the run ends");
    return opts;
}

std::string usage_text(std::string_view program, const optparse::Options& options) {
    std::string text = options.usage("Usage: " + std::string(program) + " [OPTIONS] [FILTERS...]");
    text += "\n\n";
    text += kEpilogue;
    text += '\n';
    return text;
}

void usage(std::string_view program, const optparse::Options& options) {
    rt::print(usage_text(program, options));
}

OptsResult parse_opts(const std::vector<std::string>& args) {
    optparse::Options opts = optgroups();
    opts.optflag("", "nocapture", "Deprecated, use `--no-capture`");

    const std::string program = args.empty() ? "..." : args.front();
    const std::vector<std::string> rest(args.empty() ? args.end() : args.begin() + 1, args.end());
    optparse::ParseResult parsed = opts.parse(rest);
    if (const auto* fail = std::get_if<optparse::Fail>(&parsed)) {
        return fail->to_string();
    }
    const Matches& matches = std::get<Matches>(parsed);

    if (matches.opt_present("h")) {
        // A fresh table, so the hidden flag stays out of the help.
        usage(program, optgroups());
        return HelpPrinted{};
    }

    OptPartResult<TestOpts> opts_or_error = parse_opts_impl(matches);
    if (!opts_or_error.ok()) {
        return opts_or_error.error();
    }
    return std::move(opts_or_error.value());
}

OptPartResult<TestOpts> parse_opts_impl(const Matches& matches) {
    TestOpts opts;

    const OptPartResult<bool> allow = get_allow_unstable(matches);
    RT_TRY(allow);
    const bool allow_unstable = allow.value();

    struct GatedField {
        std::string_view name;
        bool TestOpts::*field;
    };
    for (const GatedField gated :
         {GatedField{"force-run-in-process", &TestOpts::force_run_in_process},
          GatedField{"exclude-should-panic", &TestOpts::exclude_should_panic},
          GatedField{"fail-fast", &TestOpts::fail_fast}}) {
        const OptPartResult<bool> flag = get_gated_flag(matches, allow_unstable, gated.name);
        RT_TRY(flag);
        opts.*gated.field = flag.value();
    }

    OptPartResult<std::optional<TestTimeOptions>> time_options =
        get_time_options(matches, allow_unstable);
    RT_TRY(time_options);
    opts.time_options = time_options.value();

    const OptPartResult<bool> shuffle = get_shuffle(matches, allow_unstable);
    RT_TRY(shuffle);
    opts.shuffle = shuffle.value();

    const OptPartResult<std::optional<std::uint64_t>> seed =
        get_shuffle_seed(matches, allow_unstable);
    RT_TRY(seed);
    opts.shuffle_seed = seed.value();

    const bool include_ignored = matches.opt_present("include-ignored");
    const bool quiet = matches.opt_present("quiet");
    opts.exact = matches.opt_present("exact");
    opts.list = matches.opt_present("list");
    opts.skip = matches.opt_strs("skip");
    opts.bench = matches.opt_present("bench");
    opts.run_tests = !opts.bench || matches.opt_present("test");

    opts.logfile = get_log_file(matches);

    const OptPartResult<RunIgnored> run_ignored = get_run_ignored(matches, include_ignored);
    RT_TRY(run_ignored);
    opts.run_ignored = run_ignored.value();

    opts.filters = matches.free;
    opts.nocapture = get_nocapture(matches);

    const OptPartResult<std::optional<std::size_t>> threads = get_test_threads(matches);
    RT_TRY(threads);
    opts.test_threads = threads.value();

    const OptPartResult<ColorConfig> color = get_color_config(matches);
    RT_TRY(color);
    opts.color = color.value();

    const OptPartResult<OutputFormat> format = get_format(matches, quiet, allow_unstable);
    RT_TRY(format);
    opts.format = format.value();

    opts.isolate = get_isolate(matches);
    const OptPartResult<std::optional<std::uint64_t>> timeout = get_test_timeout(matches);
    RT_TRY(timeout);
    opts.test_timeout = timeout.value();

    opts.run_options.display_output = matches.opt_present("show-output");
    opts.run_options.abort_on_failure = false;

    OptPartResult<std::optional<Shard>> shard = get_shard(matches);
    RT_TRY(shard);
    opts.shard = shard.value();
    const OptPartResult<std::size_t> retries = get_retries(matches);
    RT_TRY(retries);
    opts.retries = retries.value();
    opts.fail_if_no_tests = matches.opt_present("fail-if-no-tests");
    opts.reuse_threads = get_reuse_threads(matches);
    opts.junit_report = matches.opt_str("junit-report");
    if (!opts.junit_report) {
        opts.junit_report = rt::env_var("XML_OUTPUT_FILE");
    }
    const OptPartResult<std::optional<TestList>> tests_from = get_tests_from(matches);
    RT_TRY(tests_from);
    opts.tests_from = tests_from.value();
    OptPartResult<std::optional<ShardPlanFile>> shard_plan = get_shard_plan(matches, opts.shard);
    RT_TRY(shard_plan);
    opts.shard_plan = std::move(shard_plan.value());
    OptPartResult<std::optional<QuarantineFile>> quarantine = get_quarantine(matches);
    RT_TRY(quarantine);
    opts.quarantine = std::move(quarantine.value());
    opts.run_record = matches.opt_str("run-record");
    if (!opts.run_record) {
        opts.run_record = rt::env_var("ZUNO_RUN_RECORD");
        if (opts.run_record && opts.run_record->empty()) {
            opts.run_record.reset();
        }
    }
    if (opts.run_record) {
        auto labels = get_run_labels(rt::env_var("ZUNO_RUN_LABELS").value_or(""));
        RT_TRY(labels);
        opts.run_labels = std::move(labels.value());
    }
    if (opts.filters.empty() && !opts.tests_from) {
        // A test runner's filter, used only when the command line gives none.
        if (std::optional<std::string> only = rt::env_var("TESTBRIDGE_TEST_ONLY")) {
            opts.filters.push_back(std::move(*only));
        }
    }
    opts.shard_status_file = rt::env_var("TEST_SHARD_STATUS_FILE");
    opts.premature_exit_file = rt::env_var("TEST_PREMATURE_EXIT_FILE");
    opts.warnings_file = rt::env_var("TEST_WARNINGS_OUTPUT_FILE");

    if (opts.logfile) {
        rt::eprint("warning: `--logfile` is deprecated");
    }
    return opts;
}

bool is_nightly() {
    return rt::env_var("ZUNOC_BOOTSTRAP").has_value();
}

OptPartResult<bool> get_allow_unstable(const Matches& matches) {
    const std::optional<std::string> value = matches.opt_str("Z");
    if (!value) {
        return false;
    }
    if (!is_nightly()) {
        return rt::Err{"the option `Z` is only accepted on the nightly compiler"};
    }
    if (*value != "unstable-options") {
        return rt::Err{"Unrecognized option to `Z`"};
    }
    return true;
}

OptPartResult<std::optional<TestTimeOptions>> get_time_options(const Matches& matches,
                                                               bool allow_unstable) {
    const OptPartResult<bool> report_time = get_gated_flag(matches, allow_unstable, "report-time");
    RT_TRY(report_time);
    const OptPartResult<bool> ensure_time = get_gated_flag(matches, allow_unstable, "ensure-time");
    RT_TRY(ensure_time);
    if (!report_time.value() && !ensure_time.value()) {
        return std::optional<TestTimeOptions>();
    }
    return std::optional<TestTimeOptions>(TestTimeOptions::new_from_env(ensure_time.value()));
}

OptPartResult<bool> get_shuffle(const Matches& matches, bool allow_unstable) {
    const OptPartResult<bool> flag = get_gated_flag(matches, allow_unstable, "shuffle");
    if (!flag.ok() || flag.value() || !allow_unstable) {
        return flag;
    }
    return env_switch_on("ZUNO_TEST_SHUFFLE");
}

OptPartResult<std::optional<std::uint64_t>> get_shuffle_seed(const Matches& matches,
                                                             bool allow_unstable) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    if (const std::optional<std::string> value = matches.opt_str("shuffle-seed")) {
        if (!allow_unstable) {
            return rt::Err{
                "The \"shuffle-seed\" option is only accepted on the nightly compiler with -Z "
                "unstable-options"};
        }
        const helpers::Decimal seed = helpers::parse_decimal(*value, kMax);
        if (seed.error) {
            return rt::Err{"argument for --shuffle-seed must be a number (error: " +
                           std::string(seed.error) + ")"};
        }
        return std::optional<std::uint64_t>(seed.value);
    }
    if (!allow_unstable) {
        return std::optional<std::uint64_t>();
    }
    const std::optional<std::string> env = rt::env_var("ZUNO_TEST_SHUFFLE_SEED");
    if (!env) {
        return std::optional<std::uint64_t>();
    }
    const helpers::Decimal seed = helpers::parse_decimal(*env, kMax);
    if (seed.error) {
        rt::panic("ZUNO_TEST_SHUFFLE_SEED is `" + *env + "`, should be a number.");
    }
    return std::optional<std::uint64_t>(seed.value);
}

std::optional<std::string> get_log_file(const Matches& matches) {
    return matches.opt_str("logfile");
}

OptPartResult<RunIgnored> get_run_ignored(const Matches& matches, bool include_ignored) {
    const bool ignored = matches.opt_present("ignored");
    if (include_ignored) {
        if (ignored) {
            return rt::Err{"the options --include-ignored and --ignored are mutually exclusive"};
        }
        return RunIgnored::Include;
    }
    return ignored ? RunIgnored::Only : RunIgnored::Exclude;
}

bool get_nocapture(const Matches& matches) {
    if (matches.opt_present("nocapture") || matches.opt_present("no-capture")) {
        return true;
    }
    return env_switch_on("ZUNO_TEST_NOCAPTURE");
}

OptPartResult<std::optional<std::size_t>> get_test_threads(const Matches& matches) {
    const std::optional<std::string> value = matches.opt_str("test-threads");
    if (!value) {
        return std::optional<std::size_t>();
    }
    const helpers::Decimal threads =
        helpers::parse_decimal(*value, std::numeric_limits<std::size_t>::max());
    if (threads.error) {
        return rt::Err{"argument for --test-threads must be a number > 0 (error: " +
                       std::string(threads.error) + ")"};
    }
    if (threads.value == 0) {
        return rt::Err{"argument for --test-threads must not be 0"};
    }
    return std::optional<std::size_t>(static_cast<std::size_t>(threads.value));
}

OptPartResult<ColorConfig> get_color_config(const Matches& matches) {
    const std::optional<std::string> value = matches.opt_str("color");
    if (!value || *value == "auto") {
        return ColorConfig::Auto;
    }
    if (*value == "always") {
        return ColorConfig::Always;
    }
    if (*value == "never") {
        return ColorConfig::Never;
    }
    return rt::Err{"argument for --color must be auto, always, or never (was " + *value + ")"};
}

OptPartResult<OutputFormat> get_format(const Matches& matches, bool quiet, bool allow_unstable) {
    const std::optional<std::string> value = matches.opt_str("format");
    if (!value) {
        return quiet ? OutputFormat::Terse : OutputFormat::Pretty;
    }
    if (*value == "pretty") {
        return OutputFormat::Pretty;
    }
    if (*value == "terse") {
        return OutputFormat::Terse;
    }
    if (*value == "json" || *value == "junit") {
        if (!allow_unstable) {
            return rt::Err{"The \"" + *value +
                           "\" format is only accepted on the nightly compiler with -Z "
                           "unstable-options"};
        }
        return *value == "json" ? OutputFormat::Json : OutputFormat::Junit;
    }
    return rt::Err{"argument for --format must be pretty, terse, json or junit (was " + *value +
                   ")"};
}

namespace {

// One shard setting from a pair of sources (two options, or two variables)
// under one rule: both or neither, count at least 1, index below count. The
// messages name the sources; `subject` is what a message says is wrong.
OptPartResult<std::optional<Shard>> shard_from(const std::optional<std::string>& count_text,
                                               const std::optional<std::string>& index_text,
                                               std::string_view count_name,
                                               std::string_view index_name, bool options) {
    if (!count_text && !index_text) {
        return std::optional<Shard>();
    }
    const std::string count_str(count_name);
    const std::string index_str(index_name);
    if (!count_text || !index_text) {
        return rt::Err{count_str + " and " + index_str + " must be given together"};
    }
    const std::string prefix = options ? "argument for " : "";
    constexpr std::uint64_t kMax = std::numeric_limits<std::size_t>::max();
    const helpers::Decimal count = helpers::parse_decimal(*count_text, kMax);
    if (count.error) {
        return rt::Err{prefix + count_str + " must be a number > 0 (error: " + count.error + ")"};
    }
    if (count.value == 0) {
        return rt::Err{prefix + count_str + " must not be 0"};
    }
    const helpers::Decimal index = helpers::parse_decimal(*index_text, kMax);
    if (index.error) {
        return rt::Err{prefix + index_str + " must be a number (error: " + index.error + ")"};
    }
    if (index.value >= count.value) {
        return rt::Err{prefix + index_str + " must be less than " + count_str + " (" +
                       std::to_string(index.value) + " is not less than " +
                       std::to_string(count.value) + ")"};
    }
    return std::optional<Shard>(
        Shard{static_cast<std::size_t>(count.value), static_cast<std::size_t>(index.value)});
}

}  // namespace

OptPartResult<std::optional<Shard>> get_shard(const Matches& matches) {
    const std::optional<std::string> count = matches.opt_str("shard-count");
    const std::optional<std::string> index = matches.opt_str("shard-index");
    if (count || index) {
        return shard_from(count, index, "--shard-count", "--shard-index", true);
    }
    // The options win; only without them does the environment say.
    return shard_from(rt::env_var("TEST_TOTAL_SHARDS"), rt::env_var("TEST_SHARD_INDEX"),
                      "TEST_TOTAL_SHARDS", "TEST_SHARD_INDEX", false);
}

OptPartResult<std::size_t> get_retries(const Matches& matches) {
    const std::optional<std::string> value = matches.opt_str("retries");
    if (!value) {
        return std::size_t{0};
    }
    const helpers::Decimal retries =
        helpers::parse_decimal(*value, std::numeric_limits<std::size_t>::max());
    if (retries.error) {
        return rt::Err{
            "argument for --retries must be a number (error: " + std::string(retries.error) + ")"};
    }
    return static_cast<std::size_t>(retries.value);
}

bool get_isolate(const Matches& matches) {
    return matches.opt_present("isolate") || env_switch_on("ZUNO_TEST_ISOLATE");
}

bool get_reuse_threads(const Matches& matches) {
    return matches.opt_present("reuse-threads") || env_switch_on("ZUNO_TEST_REUSE_THREADS");
}

OptPartResult<std::optional<std::uint64_t>> get_test_timeout(const Matches& matches) {
    std::optional<std::string> value = matches.opt_str("test-timeout");
    const bool from_option = value.has_value();
    if (!from_option) {
        value = rt::env_var("ZUNO_TEST_TIMEOUT");
        if (!value) {
            return std::optional<std::uint64_t>();
        }
    }
    const helpers::Decimal secs =
        helpers::parse_decimal(*value, std::numeric_limits<std::uint64_t>::max());
    if (secs.error != nullptr || secs.value == 0) {
        if (from_option) {
            return rt::Err{"argument for --test-timeout must be a number of seconds > 0"};
        }
        return rt::Err{"ZUNO_TEST_TIMEOUT is `" + *value + "`, should be a number of seconds > 0"};
    }
    return std::optional<std::uint64_t>(secs.value);
}

OptPartResult<std::optional<TestList>> get_tests_from(const Matches& matches) {
    const std::optional<std::string> path = matches.opt_str("tests-from");
    if (!path) {
        return std::optional<TestList>();
    }
    if (!matches.free.empty()) {
        return rt::Err{"--tests-from cannot be combined with name filters"};
    }
    rt::Result<TestList, std::string> list = read_test_list(*path);
    if (!list.ok()) {
        return rt::Err{list.error()};
    }
    return std::optional<TestList>(std::move(list.value()));
}

OptPartResult<std::optional<ShardPlanFile>> get_shard_plan(const Matches& matches,
                                                           const std::optional<Shard>& shard) {
    const std::optional<std::string> path = matches.opt_str("shard-plan");
    if (!path) {
        return std::optional<ShardPlanFile>();
    }
    if (!shard) {
        return rt::Err{
            "--shard-plan needs --shard-count and --shard-index (or "
            "TEST_TOTAL_SHARDS and TEST_SHARD_INDEX)"};
    }
    rt::Result<ShardPlanFile, std::string> plan = read_shard_plan(*path);
    if (!plan.ok()) {
        return rt::Err{plan.error()};
    }
    if (plan->shards != shard->count) {
        return rt::Err{"the shard plan " + *path + " is for " + std::to_string(plan->shards) +
                       " shards, not " + std::to_string(shard->count)};
    }
    return std::optional<ShardPlanFile>(std::move(plan.value()));
}

OptPartResult<std::optional<QuarantineFile>> get_quarantine(const Matches& matches) {
    const std::optional<std::string> path = matches.opt_str("quarantine");
    if (!path) {
        return std::optional<QuarantineFile>();
    }
    rt::Result<QuarantineFile, std::string> quarantine = read_quarantine(*path);
    if (!quarantine.ok()) {
        return rt::Err{quarantine.error()};
    }
    return std::optional<QuarantineFile>(std::move(quarantine.value()));
}

OptPartResult<std::vector<std::pair<std::string, std::string>>> get_run_labels(
    std::string_view text) {
    std::vector<std::pair<std::string, std::string>> labels;
    const auto problem = [&](const std::string& why) {
        return rt::Err{"invalid ZUNO_RUN_LABELS " + rt::debug_quote(text) + ": " + why};
    };
    if (text.empty()) {
        return labels;
    }
    const auto is_key_char = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '.' || c == '-';
    };
    std::size_t from = 0;
    while (from <= text.size()) {
        const std::size_t comma = std::min(text.find(',', from), text.size());
        const std::string_view pair = text.substr(from, comma - from);
        const std::size_t eq = pair.find('=');
        if (eq == std::string_view::npos || eq == 0) {
            return problem("expected KEY=VALUE pairs separated by commas, found " +
                           rt::debug_quote(pair));
        }
        const std::string_view key = pair.substr(0, eq);
        const std::string_view value = pair.substr(eq + 1);
        if (!std::all_of(key.begin(), key.end(), is_key_char)) {
            return problem("the key " + rt::debug_quote(key) +
                           " holds characters other than letters, digits, '_', '.' and '-'");
        }
        for (char c : value) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x20 || byte == 0x7f) {
                return problem("the value of " + std::string(key) + " holds a control character");
            }
        }
        for (const auto& [k, v] : labels) {
            if (k == key) {
                return problem("the key " + std::string(key) + " is given twice");
            }
        }
        labels.emplace_back(std::string(key), std::string(value));
        from = comma + 1;
    }
    return labels;
}

}  // namespace test
