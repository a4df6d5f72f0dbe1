#pragma once
// The parsed harness options, shared by selection, the engine and the console
// driver. Built once by the command-line parser, read-only afterwards; plain
// data that any thread may read.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "run_inputs.hpp"
#include "time.hpp"
#include "types.hpp"

namespace test {

enum class OutputFormat : std::uint8_t { Pretty = 0, Terse = 1, Json = 2, Junit = 3 };
enum class ColorConfig : std::uint8_t { Auto = 0, Always = 1, Never = 2 };
enum class RunIgnored : std::uint8_t { Include = 0, Exclude = 1, Only = 2 };

/// One part of a suite split across machines: the selected tests whose
/// position in the selection, modulo `count`, is `index`.
struct Shard {
    std::size_t count = 1;
    std::size_t index = 0;
    bool operator==(const Shard&) const = default;
};

/// The parsed harness options; built once, read-only afterwards.
struct TestOpts {
    bool list = false;
    std::vector<std::string> filters;
    bool exact = false;
    bool force_run_in_process = false;
    bool exclude_should_panic = false;
    RunIgnored run_ignored = RunIgnored::Exclude;
    bool run_tests = true;
    bool bench = false;
    std::optional<std::string> logfile;
    bool nocapture = false;
    ColorConfig color = ColorConfig::Auto;
    OutputFormat format = OutputFormat::Pretty;
    bool shuffle = false;
    std::optional<std::uint64_t> shuffle_seed;
    std::optional<std::size_t> test_threads;
    std::vector<std::string> skip;
    std::optional<TestTimeOptions> time_options;
    RunOptions run_options;
    bool fail_fast = false;
    /// Run each test in a child process of its own (`--isolate`, ZUNO_TEST_ISOLATE).
    bool isolate = false;
    /// Seconds after which a still-running test fails (`--test-timeout`,
    /// ZUNO_TEST_TIMEOUT); never 0.
    std::optional<std::uint64_t> test_timeout;
    /// `--shard-count` and `--shard-index`, else TEST_TOTAL_SHARDS and TEST_SHARD_INDEX.
    std::optional<Shard> shard;
    /// `--junit-report`, else XML_OUTPUT_FILE: where the JUnit report file goes.
    std::optional<std::string> junit_report;
    /// `--fail-if-no-tests`: a run whose selection is empty fails.
    bool fail_if_no_tests = false;
    /// `--retries`: how many more times a failed test is run.
    std::size_t retries = 0;
    /// `--tests-from FILE`: the selection is the tests named there.
    std::optional<TestList> tests_from;
    /// `--shard-plan FILE`: the shard of each test it names.
    std::optional<ShardPlanFile> shard_plan;
    /// `--quarantine FILE`: tests whose failures do not fail the run.
    std::optional<QuarantineFile> quarantine;
    /// `--run-record`, else ZUNO_RUN_RECORD: where the run record goes.
    std::optional<std::string> run_record;
    /// ZUNO_RUN_LABELS, read when a run record is written: KEY=VALUE pairs.
    std::vector<std::pair<std::string, std::string>> run_labels;
    /// Run in-process tests on reused worker threads (`--reuse-threads`,
    /// ZUNO_TEST_REUSE_THREADS); ignored under isolation.
    bool reuse_threads = false;
    // Files a calling test runner names in the environment (Bazel's protocol).
    /// TEST_SHARD_STATUS_FILE: touched to say that sharding is supported.
    std::optional<std::string> shard_status_file;
    /// TEST_PREMATURE_EXIT_FILE: present while a run is under way.
    std::optional<std::string> premature_exit_file;
    /// TEST_WARNINGS_OUTPUT_FILE: gets a copy of the run's warnings.
    std::optional<std::string> warnings_file;

    /// Always: true; Never: false; Auto: capture on and descriptor 1 is a terminal.
    [[nodiscard]] bool use_color() const;
    /// Whether every test's duration is measured: when the console shows
    /// times, and when an output (the report file, the run record) records them.
    [[nodiscard]] bool measures_time() const { return time_options || junit_report || run_record; }
    /// Field by field; every field takes part.
    bool operator==(const TestOpts&) const = default;
};

}  // namespace test
