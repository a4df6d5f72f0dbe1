#pragma once
// The harness's command line: the option table, the help text, the gate of
// experimental options and every option error, producing one TestOpts.
// parse_opts reads the environment and prints (help, the logfile warning):
// call it once from the main thread before tests start.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "result.hpp"
#include "optparse.hpp"
#include "test_opts.hpp"
#include "time.hpp"

namespace test {

/// parse_opts outcome: the help text was printed.
struct HelpPrinted {};
/// parse_opts outcome: help printed, an error message, or the options.
using OptsResult = std::variant<HelpPrinted, std::string, TestOpts>;

/// Returns a fresh option declaration set holding the harness's table.
optparse::Options optgroups();
/// Parses the full argument list (program name first).
OptsResult parse_opts(const std::vector<std::string>& args);
/// Prints the help for `program` to standard output, in one piece.
void usage(std::string_view program, const optparse::Options& options);
/// The help text usage() prints: the option block of `options` under
/// "Usage: {program} [OPTIONS] [FILTERS...]", then the epilogue.
std::string usage_text(std::string_view program, const optparse::Options& options);

/// The outcome of an option reader: a value, or the option error message to report.
template <typename T>
using OptPartResult = rt::Result<T, std::string>;

/// Builds the TestOpts from a successful parse, examining the options in a
/// fixed order; the first problem found is the error. Writes the `--logfile`
/// deprecation warning to standard error last, on success only. Malformed
/// ZUNO_TEST_SHUFFLE_SEED or ZUNO_TEST_TIME_* content panics.
OptPartResult<TestOpts> parse_opts_impl(const optparse::Matches& matches);

/// True exactly when ZUNOC_BOOTSTRAP is set (present and valid UTF-8).
bool is_nightly();
/// Whether experimental options are allowed: `-Z unstable-options` on a nightly.
OptPartResult<bool> get_allow_unstable(const optparse::Matches& matches);
/// The time options when `--report-time` or `--ensure-time` is given (gated);
/// reads the ZUNO_TEST_TIME_* variables only then.
OptPartResult<std::optional<TestTimeOptions>> get_time_options(const optparse::Matches& matches,
                                                               bool allow_unstable);
/// `--shuffle` (gated), else ZUNO_TEST_SHUFFLE other than "0" when allowed.
OptPartResult<bool> get_shuffle(const optparse::Matches& matches, bool allow_unstable);
/// `--shuffle-seed` (gated), else ZUNO_TEST_SHUFFLE_SEED when allowed (panics
/// when that variable is not a number).
OptPartResult<std::optional<std::uint64_t>> get_shuffle_seed(const optparse::Matches& matches,
                                                             bool allow_unstable);
/// The `--logfile` value, if any.
std::optional<std::string> get_log_file(const optparse::Matches& matches);
/// Include, Only or Exclude from `--include-ignored` and `--ignored`.
OptPartResult<RunIgnored> get_run_ignored(const optparse::Matches& matches, bool include_ignored);
/// `--no-capture` or `--nocapture`, else ZUNO_TEST_NOCAPTURE other than "0".
bool get_nocapture(const optparse::Matches& matches);
/// The `--test-threads` count, never 0; absent when not given.
OptPartResult<std::optional<std::size_t>> get_test_threads(const optparse::Matches& matches);
/// The `--color` choice; Auto when not given.
OptPartResult<ColorConfig> get_color_config(const optparse::Matches& matches);
/// The `--format` choice (json and junit gated); else Terse when `quiet`, else Pretty.
OptPartResult<OutputFormat> get_format(const optparse::Matches& matches, bool quiet,
                                       bool allow_unstable);
/// `--isolate`, else ZUNO_TEST_ISOLATE other than "0".
bool get_isolate(const optparse::Matches& matches);
/// `--reuse-threads`, else ZUNO_TEST_REUSE_THREADS other than "0".
bool get_reuse_threads(const optparse::Matches& matches);
/// The `--test-timeout` seconds, else ZUNO_TEST_TIMEOUT; absent when neither is
/// set. Anything but a whole number > 0 is an option error.
OptPartResult<std::optional<std::uint64_t>> get_test_timeout(const optparse::Matches& matches);
/// `--shard-count` and `--shard-index` (both or neither), else the variables
/// TEST_TOTAL_SHARDS and TEST_SHARD_INDEX under the same rules; absent when
/// neither source gives one.
OptPartResult<std::optional<Shard>> get_shard(const optparse::Matches& matches);
/// The `--retries` count; 0 when not given.
OptPartResult<std::size_t> get_retries(const optparse::Matches& matches);
/// ZUNO_RUN_LABELS: comma-separated KEY=VALUE pairs in order, keys of letters,
/// digits, '_', '.' and '-', values without commas or control characters; an
/// error naming the variable otherwise. Empty text gives no labels.
OptPartResult<std::vector<std::pair<std::string, std::string>>> get_run_labels(
    std::string_view text);

/// `--tests-from FILE`: the names in FILE. Name filters beside it, or a file
/// that cannot be read or is not UTF-8, are option errors.
OptPartResult<std::optional<TestList>> get_tests_from(const optparse::Matches& matches);
/// `--shard-plan FILE`: needs `shard`, and a plan for as many shards.
OptPartResult<std::optional<ShardPlanFile>> get_shard_plan(const optparse::Matches& matches,
                                                           const std::optional<Shard>& shard);
/// `--quarantine FILE`: the quarantined tests.
OptPartResult<std::optional<QuarantineFile>> get_quarantine(const optparse::Matches& matches);

}  // namespace test
