#include "cli.hpp"

#include "support.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#ifndef ZUNO_GOLDEN_DIR
#error "ZUNO_GOLDEN_DIR must name the directory of the approved outputs"
#endif

namespace test {
namespace {

constexpr const char* kProgram = "hardware_e2e";

constexpr const char* kHarnessVars[] = {
    "ZUNOC_BOOTSTRAP",           "ZUNO_TEST_NOCAPTURE",     "ZUNO_TEST_SHUFFLE",
    "ZUNO_TEST_SHUFFLE_SEED",    "ZUNO_TEST_TIME_UNIT",     "ZUNO_TEST_TIME_INTEGRATION",
    "ZUNO_TEST_TIME_DOCTEST",    "ZUNO_TEST_ISOLATE",       "ZUNO_TEST_TIMEOUT",
    "TEST_TOTAL_SHARDS",         "TEST_SHARD_INDEX",        "XML_OUTPUT_FILE",
    "TESTBRIDGE_TEST_ONLY",      "TEST_SHARD_STATUS_FILE",  "TEST_PREMATURE_EXIT_FILE",
    "TEST_WARNINGS_OUTPUT_FILE", "ZUNO_TEST_REUSE_THREADS",
};

struct EnvVar {
    const char* name;
    std::optional<std::string> value;  // nothing: unset
};
using Env = std::vector<EnvVar>;

// Unsets every variable the options read; restores the original values afterwards.
class CliEnv : public ::testing::Test {
protected:
    void SetUp() override { saved_.clear(); }
    // Sets the variables in `env` and unsets the other ones the options read.
    void apply(const Env& env) {
        saved_.clear();
        for (const EnvVar& var : env) {
            support::EnvGuard::set(var.name, var.value);
        }
    }

private:
    support::EnvGuard saved_{kHarnessVars};
};

struct Outcome {
    OptsResult result;
    std::string output;  // everything printed, to either stream
};

// Parses `args` after the program name, capturing what is printed.
Outcome run(std::vector<std::string> args) {
    args.insert(args.begin(), kProgram);
    support::Capture capture;
    OptsResult result = parse_opts(args);
    return {std::move(result), capture.text()};
}

using support::panic_message;

std::string read_golden(const std::string& name) {
    std::ifstream in(std::string(ZUNO_GOLDEN_DIR) + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t lf; (lf = text.find('\n', start)) != std::string::npos; start = lf + 1) {
        lines.push_back(text.substr(start, lf - start));
    }
    lines.push_back(text.substr(start));
    return lines;
}

// Experimental options allowed: `-Z unstable-options` with ZUNOC_BOOTSTRAP set.
const std::vector<std::string> kGate = {"-Z", "unstable-options"};
const EnvVar kBootstrap{"ZUNOC_BOOTSTRAP", ""};

std::vector<std::string> gated(std::vector<std::string> args) {
    args.insert(args.begin(), kGate.begin(), kGate.end());
    return args;
}

TestTimeOptions default_time_options(bool error_on_excess) {
    using std::chrono::milliseconds;
    TestTimeOptions t;
    t.error_on_excess = error_on_excess;
    t.unit_threshold = {milliseconds(50), milliseconds(100)};
    t.integration_threshold = {milliseconds(500), milliseconds(1000)};
    t.doctest_threshold = {milliseconds(500), milliseconds(1000)};
    return t;
}

struct SuccessCase {
    std::vector<std::string> args;
    Env env;
    std::function<void(TestOpts&)> change;  // applied to the defaults
};

// Parses the case's arguments and expects the defaults changed as the case says.
void expect_options(const SuccessCase& c) {
    const Outcome outcome = run(c.args);
    ASSERT_TRUE(std::holds_alternative<TestOpts>(outcome.result))
        << std::get<std::string>(outcome.result);
    TestOpts want;
    c.change(want);
    EXPECT_EQ(std::get<TestOpts>(outcome.result), want);
}

TEST_F(CliEnv, BuildsOptionsFromTheCommandLine) {
    const std::vector<SuccessCase> cases = {
        {{}, {}, [](TestOpts&) {}},
        {{"-q"}, {}, [](TestOpts& o) { o.format = OutputFormat::Terse; }},
        {{"-q", "--format", "pretty"}, {}, [](TestOpts& o) { o.format = OutputFormat::Pretty; }},
        {{"--format=terse"}, {}, [](TestOpts& o) { o.format = OutputFormat::Terse; }},
        {{"--test-threads=+4"}, {}, [](TestOpts& o) { o.test_threads = 4; }},
        {{"--test-threads", "18446744073709551615"},
         {},
         [](TestOpts& o) { o.test_threads = std::numeric_limits<std::size_t>::max(); }},
        {{"--ignored"}, {}, [](TestOpts& o) { o.run_ignored = RunIgnored::Only; }},
        {{"--include-ignored"}, {}, [](TestOpts& o) { o.run_ignored = RunIgnored::Include; }},
        {{"--bench"},
         {},
         [](TestOpts& o) {
             o.bench = true;
             o.run_tests = false;
         }},
        {{"--bench", "--test"}, {}, [](TestOpts& o) { o.bench = true; }},
        {{"--test"}, {}, [](TestOpts&) {}},
        {{"--list", "--exact", "--show-output"},
         {},
         [](TestOpts& o) {
             o.list = true;
             o.exact = true;
             o.run_options.display_output = true;
         }},
        {{"f1", "--skip", "a", "--skip=b", "f2"},
         {},
         [](TestOpts& o) {
             o.filters = {"f1", "f2"};
             o.skip = {"a", "b"};
         }},
        {{"--", "--list", "-q"},
         {},
         [](TestOpts& o) {
             o.filters = {"--list", "-q"};
         }},
        {{"--nocapture"}, {}, [](TestOpts& o) { o.nocapture = true; }},
        {{"--no-capture"}, {}, [](TestOpts& o) { o.nocapture = true; }},
        {{"--color", "always"}, {}, [](TestOpts& o) { o.color = ColorConfig::Always; }},
        {{"--color=never"}, {}, [](TestOpts& o) { o.color = ColorConfig::Never; }},
        {{"--color=auto"}, {}, [](TestOpts&) {}},
        {{"--logfile", "out.txt"}, {}, [](TestOpts& o) { o.logfile = "out.txt"; }},
        {{"--isolate", "--test-timeout", "+30"},
         {},
         [](TestOpts& o) {
             o.isolate = true;
             o.test_timeout = 30;
         }},
        // Running in CI: none of these is gated.
        {{"--shard-count", "1", "--shard-index", "0", "--fail-if-no-tests", "--retries=+2"},
         {},
         [](TestOpts& o) {
             o.shard = Shard{1, 0};
             o.fail_if_no_tests = true;
             o.retries = 2;
         }},
        {{"--shard-index=4", "--shard-count=5", "--retries", "0", "--junit-report=r.xml"},
         {},
         [](TestOpts& o) {
             o.shard = Shard{5, 4};
             o.junit_report = "r.xml";
         }},
        // The gate: every experimental option at once.
        {gated({"--force-run-in-process", "--exclude-should-panic", "--fail-fast", "--shuffle",
                "--shuffle-seed", "+7", "--format", "json"}),
         {kBootstrap},
         [](TestOpts& o) {
             o.force_run_in_process = true;
             o.exclude_should_panic = true;
             o.fail_fast = true;
             o.shuffle = true;
             o.shuffle_seed = 7;
             o.format = OutputFormat::Json;
         }},
        {gated({"--format=junit", "--shuffle-seed=18446744073709551615"}),
         {{"ZUNOC_BOOTSTRAP", "1"}},
         [](TestOpts& o) {
             o.format = OutputFormat::Junit;
             o.shuffle_seed = std::numeric_limits<std::uint64_t>::max();
         }},
        {{"-Zunstable-options"}, {kBootstrap}, [](TestOpts&) {}},
        {gated({"--report-time"}),
         {kBootstrap},
         [](TestOpts& o) { o.time_options = default_time_options(false); }},
        {gated({"--ensure-time"}),
         {kBootstrap},
         [](TestOpts& o) { o.time_options = default_time_options(true); }},
        {gated({"--report-time", "--ensure-time"}),
         {kBootstrap, {"ZUNO_TEST_TIME_UNIT", "500,2000"}},
         [](TestOpts& o) {
             o.time_options = default_time_options(true);
             o.time_options->unit_threshold = {std::chrono::milliseconds(500),
                                               std::chrono::seconds(2)};
         }},
    };
    for (const SuccessCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        apply(c.env);
        expect_options(c);
    }
}

TEST_F(CliEnv, EnvironmentSwitches) {
    const std::string bad_utf8 = "\xFF\xFE";
    const std::vector<SuccessCase> cases = {
        {{}, {{"ZUNO_TEST_NOCAPTURE", "0"}}, [](TestOpts&) {}},
        {{}, {{"ZUNO_TEST_NOCAPTURE", ""}}, [](TestOpts& o) { o.nocapture = true; }},
        {{}, {{"ZUNO_TEST_NOCAPTURE", "1"}}, [](TestOpts& o) { o.nocapture = true; }},
        {{}, {{"ZUNO_TEST_NOCAPTURE", "00"}}, [](TestOpts& o) { o.nocapture = true; }},
        {{}, {{"ZUNO_TEST_NOCAPTURE", bad_utf8}}, [](TestOpts&) {}},
        {{"--no-capture"}, {{"ZUNO_TEST_NOCAPTURE", "0"}}, [](TestOpts& o) { o.nocapture = true; }},
        // Shuffling from the environment only where experimental options are allowed.
        {{}, {{"ZUNO_TEST_SHUFFLE", "1"}}, [](TestOpts&) {}},
        {{}, {{"ZUNO_TEST_SHUFFLE", "1"}, kBootstrap}, [](TestOpts&) {}},
        {kGate, {{"ZUNO_TEST_SHUFFLE", "1"}, kBootstrap}, [](TestOpts& o) { o.shuffle = true; }},
        {kGate, {{"ZUNO_TEST_SHUFFLE", ""}, kBootstrap}, [](TestOpts& o) { o.shuffle = true; }},
        {kGate, {{"ZUNO_TEST_SHUFFLE", "0"}, kBootstrap}, [](TestOpts&) {}},
        {kGate, {{"ZUNO_TEST_SHUFFLE", bad_utf8}, kBootstrap}, [](TestOpts&) {}},
        {kGate,
         {{"ZUNO_TEST_SHUFFLE_SEED", "42"}, kBootstrap},
         [](TestOpts& o) { o.shuffle_seed = 42; }},
        {kGate,
         {{"ZUNO_TEST_SHUFFLE_SEED", "+42"}, kBootstrap},
         [](TestOpts& o) { o.shuffle_seed = 42; }},
        {kGate, {{"ZUNO_TEST_SHUFFLE_SEED", bad_utf8}, kBootstrap}, [](TestOpts&) {}},
        // Never read without the gate, or when the command line gives a seed.
        {{}, {{"ZUNO_TEST_SHUFFLE_SEED", "abc"}}, [](TestOpts&) {}},
        {gated({"--shuffle-seed", "7"}),
         {{"ZUNO_TEST_SHUFFLE_SEED", "abc"}, kBootstrap},
         [](TestOpts& o) { o.shuffle_seed = 7; }},
        // Time variables are read only for --report-time or --ensure-time.
        {{}, {{"ZUNO_TEST_TIME_UNIT", "500"}}, [](TestOpts&) {}},
        {kGate, {{"ZUNO_TEST_TIME_UNIT", "500"}, kBootstrap}, [](TestOpts&) {}},
        {{}, {{"ZUNO_TEST_ISOLATE", "0"}}, [](TestOpts&) {}},
        {{}, {{"ZUNO_TEST_ISOLATE", ""}}, [](TestOpts& o) { o.isolate = true; }},
        {{}, {{"ZUNO_TEST_REUSE_THREADS", "0"}}, [](TestOpts&) {}},
        {{}, {{"ZUNO_TEST_REUSE_THREADS", "1"}}, [](TestOpts& o) { o.reuse_threads = true; }},
        {{"--reuse-threads"},
         {{"ZUNO_TEST_REUSE_THREADS", "0"}},
         [](TestOpts& o) { o.reuse_threads = true; }},
        {{}, {{"ZUNO_TEST_TIMEOUT", "5"}}, [](TestOpts& o) { o.test_timeout = 5; }},
        {{"--test-timeout=2"},
         {{"ZUNO_TEST_TIMEOUT", "x"}},
         [](TestOpts& o) { o.test_timeout = 2; }},
        // A calling test runner's protocol; the command line wins.
        {{},
         {{"TEST_TOTAL_SHARDS", "3"}, {"TEST_SHARD_INDEX", "+2"}},
         [](TestOpts& o) {
             o.shard = Shard{3, 2};
         }},
        {{"--shard-count=2", "--shard-index=0"},
         {{"TEST_TOTAL_SHARDS", "x"}, {"TEST_SHARD_INDEX", "9"}},
         [](TestOpts& o) {
             o.shard = Shard{2, 0};
         }},
        {{}, {{"XML_OUTPUT_FILE", "t.xml"}}, [](TestOpts& o) { o.junit_report = "t.xml"; }},
        {{"--junit-report", "mine.xml"},
         {{"XML_OUTPUT_FILE", "t.xml"}},
         [](TestOpts& o) { o.junit_report = "mine.xml"; }},
        {{}, {{"TESTBRIDGE_TEST_ONLY", "a::b"}}, [](TestOpts& o) { o.filters = {"a::b"}; }},
        {{"c"}, {{"TESTBRIDGE_TEST_ONLY", "a::b"}}, [](TestOpts& o) { o.filters = {"c"}; }},
        {{},
         {{"TEST_SHARD_STATUS_FILE", "s"},
          {"TEST_PREMATURE_EXIT_FILE", "p"},
          {"TEST_WARNINGS_OUTPUT_FILE", "w"}},
         [](TestOpts& o) {
             o.shard_status_file = "s";
             o.premature_exit_file = "p";
             o.warnings_file = "w";
         }},
    };
    for (const SuccessCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        SCOPED_TRACE(c.env.front().name + std::string("=") + c.env.front().value.value_or("-"));
        apply(c.env);
        expect_options(c);
    }
}

struct ErrorCase {
    std::vector<std::string> args;
    Env env;
    std::string message;
};

std::string gate_msg(const std::string& what) {
    return "The \"" + what +
           "\" flag is only accepted on the nightly compiler with -Z "
           "unstable-options";
}

TEST_F(CliEnv, ReportsTheFirstOptionError) {
    const std::string nightly_z = "the option `Z` is only accepted on the nightly compiler";
    const std::string threads = "argument for --test-threads must be a number > 0 (error: ";
    const std::string seed = "argument for --shuffle-seed must be a number (error: ";
    const std::string invalid = "invalid digit found in string)";
    const std::string too_large = "number too large to fit in target type)";
    const std::string empty = "cannot parse integer from empty string)";
    const std::string timeout = "argument for --test-timeout must be a number of seconds > 0";
    const std::string exclusive =
        "the options --include-ignored and --ignored are mutually exclusive";
    const std::vector<ErrorCase> cases = {
        // Failures of the parse itself, also ahead of --help.
        {{"--nope"}, {}, "Unrecognized option: 'nope'"},
        {{"--help", "--nope"}, {}, "Unrecognized option: 'nope'"},
        {{"--list=1"}, {}, "Option 'list' does not take an argument"},
        {{"--logfile"}, {}, "Argument to option 'logfile' missing"},
        {{"-q", "-q"}, {}, "Option 'quiet' given more than once"},
        {{"--nocapture", "--nocapture"}, {}, "Option 'nocapture' given more than once"},
        // The gate.
        {{"-Z", "unstable-options", "--format", "json"}, {}, nightly_z},
        {{"-Z", "unstable-options"}, {{"ZUNOC_BOOTSTRAP", "\xFF"}}, nightly_z},
        {{"-Z", "foo"}, {}, nightly_z},
        {{"-Z", "foo"}, {kBootstrap}, "Unrecognized option to `Z`"},
        {{"-Z", "Unstable-Options"}, {kBootstrap}, "Unrecognized option to `Z`"},
        {{"--force-run-in-process"}, {}, gate_msg("force-run-in-process")},
        {{"--exclude-should-panic"}, {}, gate_msg("exclude-should-panic")},
        {{"--fail-fast"}, {kBootstrap}, gate_msg("fail-fast")},
        {{"--report-time"}, {}, gate_msg("report-time")},
        {{"--ensure-time"}, {}, gate_msg("ensure-time")},
        {{"--shuffle"}, {}, gate_msg("shuffle")},
        {{"--shuffle-seed", "5"},
         {},
         "The \"shuffle-seed\" option is only accepted on the nightly compiler with -Z "
         "unstable-options"},
        {{"--format", "json"},
         {},
         "The \"json\" format is only accepted on the nightly compiler with -Z unstable-options"},
        {{"--format=junit"},
         {kBootstrap},
         "The \"junit\" format is only accepted on the nightly compiler with -Z unstable-options"},
        // Values.
        {gated({"--shuffle-seed", "x"}), {kBootstrap}, seed + invalid},
        {gated({"--shuffle-seed="}), {kBootstrap}, seed + empty},
        {gated({"--shuffle-seed=-1"}), {kBootstrap}, seed + invalid},
        {gated({"--shuffle-seed=18446744073709551616"}), {kBootstrap}, seed + too_large},
        {{"--include-ignored", "--ignored"}, {}, exclusive},
        {{"--test-threads=0"}, {}, "argument for --test-threads must not be 0"},
        {{"--test-threads=+0"}, {}, "argument for --test-threads must not be 0"},
        {{"--test-threads=abc"}, {}, threads + invalid},
        {{"--test-threads="}, {}, threads + empty},
        {{"--test-threads=+"}, {}, threads + invalid},
        {{"--test-threads=-"}, {}, threads + invalid},
        {{"--test-threads=-1"}, {}, threads + invalid},
        {{"--test-threads= 4"}, {}, threads + invalid},
        {{"--test-threads=4 "}, {}, threads + invalid},
        {{"--test-threads=++4"}, {}, threads + invalid},
        {{"--test-threads=18446744073709551616"}, {}, threads + too_large},
        {{"--test-threads=99999999999999999999x"}, {}, threads + invalid},
        {{"--color=ALWAYS"},
         {},
         "argument for --color must be auto, always, or never (was ALWAYS)"},
        {{"--color="}, {}, "argument for --color must be auto, always, or never (was )"},
        {{"--format=xml"},
         {},
         "argument for --format must be pretty, terse, json or junit (was xml)"},
        {gated({"--format=JSON"}),
         {kBootstrap},
         "argument for --format must be pretty, terse, json or junit (was JSON)"},
        {{"--test-timeout=0"}, {}, timeout},
        {{"--test-timeout=1.5"}, {}, timeout},
        {{"--test-timeout="}, {}, timeout},
        {{"--test-timeout=-1"}, {}, timeout},
        {{"--test-timeout=18446744073709551616"}, {}, timeout},
        {{},
         {{"ZUNO_TEST_TIMEOUT", "0"}},
         "ZUNO_TEST_TIMEOUT is `0`, should be a number of seconds > 0"},
        // Which error wins when several things are wrong.
        {{"-Z", "foo", "--fail-fast"}, {}, nightly_z},
        {{"--shuffle", "--fail-fast"}, {}, gate_msg("fail-fast")},
        {{"--fail-fast", "--exclude-should-panic", "--force-run-in-process"},
         {},
         gate_msg("force-run-in-process")},
        {{"--fail-fast", "--exclude-should-panic"}, {}, gate_msg("exclude-should-panic")},
        {{"--report-time", "--fail-fast"}, {}, gate_msg("fail-fast")},
        {{"--ensure-time", "--report-time"}, {}, gate_msg("report-time")},
        {{"--shuffle", "--ensure-time"}, {}, gate_msg("ensure-time")},
        {{"--shuffle-seed=1", "--shuffle"}, {}, gate_msg("shuffle")},
        {{"--include-ignored", "--ignored", "--shuffle-seed=1"},
         {},
         "The \"shuffle-seed\" option is only accepted on the nightly compiler with -Z "
         "unstable-options"},
        {{"--test-threads=0", "--include-ignored", "--ignored"}, {}, exclusive},
        {{"--color=x", "--test-threads=0"}, {}, "argument for --test-threads must not be 0"},
        {{"--format=x", "--color=x"},
         {},
         "argument for --color must be auto, always, or never (was x)"},
        {{"--format=json", "--color=x"},
         {},
         "argument for --color must be auto, always, or never (was x)"},
        {{"--test-timeout=0", "--format=x"},
         {},
         "argument for --format must be pretty, terse, json or junit (was x)"},
        {{"--shard-count=2", "--test-timeout=0"},
         {},
         "argument for --test-timeout must be a number of seconds > 0"},
        // Sharding, from the options or else the environment, and retries.
        {{"--shard-count=2"}, {}, "--shard-count and --shard-index must be given together"},
        {{"--shard-index=0"},
         {{"TEST_TOTAL_SHARDS", "2"}, {"TEST_SHARD_INDEX", "0"}},
         "--shard-count and --shard-index must be given together"},
        {{"--shard-count=0", "--shard-index=0"}, {}, "argument for --shard-count must not be 0"},
        {{"--shard-count=x", "--shard-index=0"},
         {},
         "argument for --shard-count must be a number > 0 (error: " + invalid},
        {{"--shard-count=3", "--shard-index="},
         {},
         "argument for --shard-index must be a number (error: " + empty},
        {{"--shard-count=3", "--shard-index=3"},
         {},
         "argument for --shard-index must be less than --shard-count (3 is not less than 3)"},
        {{},
         {{"TEST_TOTAL_SHARDS", "4"}},
         "TEST_TOTAL_SHARDS and TEST_SHARD_INDEX must be given together"},
        {{},
         {{"TEST_TOTAL_SHARDS", "0"}, {"TEST_SHARD_INDEX", "0"}},
         "TEST_TOTAL_SHARDS must not be 0"},
        {{},
         {{"TEST_TOTAL_SHARDS", "4"}, {"TEST_SHARD_INDEX", "-1"}},
         "TEST_SHARD_INDEX must be a number (error: " + invalid},
        {{},
         {{"TEST_TOTAL_SHARDS", "4"}, {"TEST_SHARD_INDEX", "7"}},
         "TEST_SHARD_INDEX must be less than TEST_TOTAL_SHARDS (7 is not less than 4)"},
        {{"--retries=-1"}, {}, "argument for --retries must be a number (error: " + invalid},
        {{"--retries=1", "--shard-count=1", "--format=x"},
         {},
         "argument for --format must be pretty, terse, json or junit (was x)"},
        // Malformed time variables are never read behind a closed gate.
        {{"--report-time", "--fail-fast"}, {{"ZUNO_TEST_TIME_UNIT", "500"}}, gate_msg("fail-fast")},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        apply(c.env);
        const Outcome outcome = run(c.args);
        ASSERT_TRUE(std::holds_alternative<std::string>(outcome.result));
        EXPECT_EQ(std::get<std::string>(outcome.result), c.message);
        EXPECT_EQ(outcome.output, "");  // nothing printed, not even the logfile warning
    }
}

TEST_F(CliEnv, MalformedVariablesStopWithAPanic) {
    const std::string seed_msg = "ZUNO_TEST_SHUFFLE_SEED is `";
    const std::string comma_msg =
        "Duration variable ZUNO_TEST_TIME_UNIT expected to have 2 numbers separated by comma, but "
        "got 500";
    const std::vector<ErrorCase> cases = {
        {kGate,
         {{"ZUNO_TEST_SHUFFLE_SEED", "abc"}, kBootstrap},
         seed_msg + "abc`, should be a number."},
        {kGate, {{"ZUNO_TEST_SHUFFLE_SEED", ""}, kBootstrap}, seed_msg + "`, should be a number."},
        {kGate,
         {{"ZUNO_TEST_SHUFFLE_SEED", " 5"}, kBootstrap},
         seed_msg + " 5`, should be a number."},
        {kGate,
         {{"ZUNO_TEST_SHUFFLE_SEED", "18446744073709551616"}, kBootstrap},
         seed_msg + "18446744073709551616`, should be a number."},
        // The seed variable is read in step order, before later option errors.
        {gated({"--test-threads=0", "--color=x"}),
         {{"ZUNO_TEST_SHUFFLE_SEED", "-1"}, kBootstrap},
         seed_msg + "-1`, should be a number."},
        {gated({"--report-time"}), {{"ZUNO_TEST_TIME_UNIT", "500"}, kBootstrap}, comma_msg},
        {gated({"--ensure-time"}),
         {{"ZUNO_TEST_TIME_DOCTEST", "2000,500"}, kBootstrap},
         "Test execution warn time should be less or equal to the critical time"},
        {gated({"--report-time"}),
         {{"ZUNO_TEST_TIME_INTEGRATION", " 50,100"}, kBootstrap},
         "Duration value in variable ZUNO_TEST_TIME_INTEGRATION is expected to be a number, but "
         "got  50"},
        // Time variables are read before the seed and the later options.
        {gated({"--report-time", "--shuffle-seed=x", "--ignored", "--include-ignored"}),
         {{"ZUNO_TEST_TIME_UNIT", "500"}, {"ZUNO_TEST_SHUFFLE_SEED", "x"}, kBootstrap},
         comma_msg},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        apply(c.env);
        EXPECT_EQ(panic_message([&] { (void)run(c.args); }), c.message);
    }
}

TEST_F(CliEnv, HelpIsPrintedAndWinsOverBadValues) {
    const std::string golden = read_golden("help.txt");
    ASSERT_FALSE(golden.empty());
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--help"},
             {"-h"},
             {"--h"},
             {"--help", "--test-threads=0"},
             {"-q", "-h", "--format=json", "--logfile=x", "filter"},
             {"--nocapture", "--help"},
         }) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const Outcome outcome = run(args);
        EXPECT_TRUE(std::holds_alternative<HelpPrinted>(outcome.result));
        EXPECT_EQ(outcome.output, golden);  // printed once, with no warning after it
    }
}

TEST(CliHelp, MatchesTheApprovedTextLineByLine) {
    const std::vector<std::string> want = lines_of(read_golden("help.txt"));
    const std::vector<std::string> got = lines_of(usage_text(kProgram, optgroups()));
    for (std::size_t i = 0; i < std::max(want.size(), got.size()); ++i) {
        EXPECT_EQ(i < got.size() ? got[i] : "<missing>", i < want.size() ? want[i] : "<extra>")
            << "line " << i + 1;
    }
    // The hidden flag is accepted but never shown.
    EXPECT_EQ(usage_text(kProgram, optgroups()).find("--nocapture"), std::string::npos);
    EXPECT_EQ(optgroups().grps().size(), 35U);
}

TEST_F(CliEnv, LogfileWarningIsWrittenLastWithoutLineFeed) {
    const Outcome outcome = run({"--logfile", "out.txt", "--color=never"});
    ASSERT_TRUE(std::holds_alternative<TestOpts>(outcome.result));
    EXPECT_EQ(outcome.output, "warning: `--logfile` is deprecated");
}

TEST(CliStreamsDeathTest, HelpGoesToStandardOutputAndTheWarningToStandardError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child swaps its streams so that only what reaches standard output
    // arrives where the death test reads standard error.
    EXPECT_EXIT(
        {
            const int original_stderr = ::dup(2);
            const int devnull = ::open("/dev/null", O_WRONLY);
            ::dup2(devnull, 2);
            ::dup2(original_stderr, 1);
            const OptsResult result = parse_opts({"prog", "--help", "--logfile=x"});
            std::_Exit(std::holds_alternative<HelpPrinted>(result) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "Usage: prog \\[OPTIONS\\] \\[FILTERS\\.\\.\\.\\]");
    EXPECT_EXIT(
        {
            const int devnull = ::open("/dev/null", O_WRONLY);
            ::dup2(devnull, 1);
            const OptsResult result = parse_opts({"prog", "--logfile", "out.txt"});
            std::_Exit(std::holds_alternative<TestOpts>(result) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "warning: `--logfile` is deprecated$");
}

TEST(CliColor, UseColor) {
    TestOpts opts;
    opts.color = ColorConfig::Always;
    opts.nocapture = true;
    EXPECT_TRUE(opts.use_color());
    opts.color = ColorConfig::Never;
    opts.nocapture = false;
    EXPECT_FALSE(opts.use_color());
    opts.color = ColorConfig::Auto;
    EXPECT_EQ(opts.use_color(), ::isatty(1) == 1);
    opts.nocapture = true;
    EXPECT_FALSE(opts.use_color());
}

}  // namespace
}  // namespace test
