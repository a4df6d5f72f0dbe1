#pragma once
// The run record: the JSON document a test program writes with --run-record,
// read into plain values. The reader checks everything the results tool relies
// on (format, version, types, ranges, the run id's form) and reports the first
// problem with its place in the document ("tests[3].outcome: ..."). Plain data;
// no shared state, any thread may read records.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "expected.hpp"

namespace zuno::results {

/// The only value of a record's "format" field.
inline constexpr std::string_view RECORD_FORMAT = "zuno-run-record";
/// The record version this reader understands.
inline constexpr int RECORD_VERSION = 1;

/// How a test (or one attempt of it) ended.
enum class Outcome : std::uint8_t { Ok = 0, Failed = 1, Ignored = 2, Bench = 3 };

/// The record's word for an outcome ("ok", "failed", "ignored", "bench").
std::string_view outcome_name(Outcome outcome);
/// The outcome for a record word, if it is one.
std::optional<Outcome> parse_outcome(std::string_view word);

/// One attempt of a retried test.
struct Attempt {
    Outcome outcome = Outcome::Ok;
    double duration_s = 0;
    std::optional<std::string> message;
};

/// A benchmark's statistics (runs with --bench only).
struct BenchFigures {
    double median_ns = 0;
    double deviation_ns = 0;
    std::optional<double> mb_s;
    std::vector<double> samples_ns;
};

/// One reported test.
struct TestEntry {
    std::string name;
    /// True for a benchmark, also when it ran once as a test.
    bool bench_kind = false;
    Outcome outcome = Outcome::Ok;
    double duration_s = 0;
    std::optional<std::string> message;
    std::optional<std::string> output;
    /// Every attempt of a retried test, the last one included; empty otherwise.
    std::vector<Attempt> attempts;
    std::optional<BenchFigures> bench;
    /// A failure that did not fail the run (the test was quarantined).
    bool quarantined = false;

    /// Failed at first and passed on a rerun.
    [[nodiscard]] bool passed_after_retry() const {
        return outcome == Outcome::Ok && attempts.size() > 1;
    }
};

/// Tallies of a run as its summary line shows them.
struct Summary {
    std::uint64_t passed = 0;
    std::uint64_t failed = 0;
    std::uint64_t ignored = 0;
    std::uint64_t measured = 0;
    std::uint64_t filtered_out = 0;
    std::uint64_t flaky = 0;
    /// Failed tests whose failure did not fail the run; not in `failed`.
    std::uint64_t quarantined = 0;
};

/// Shard K of N.
struct ShardInfo {
    std::uint64_t index = 0;
    std::uint64_t count = 1;
};

/// A whole run record.
struct RunRecord {
    std::string run_id;
    std::string program;
    std::vector<std::string> args;
    std::string host;
    /// Label pairs in the document's order.
    std::vector<std::pair<std::string, std::string>> labels;
    /// UTC, "YYYY-MM-DDTHH:MM:SS.mmmZ".
    std::string started;
    double wall_s = 0;
    std::optional<ShardInfo> shard;
    std::optional<std::uint64_t> seed;
    std::uint64_t threads = 0;
    bool isolate = false;
    std::int64_t exit_status = 0;
    Summary summary;
    std::vector<TestEntry> tests;
};

/// Parses and checks a record held in memory. The error names the place in
/// the document and what is wrong with it, without the file name.
Expected<RunRecord> parse_record(std::string_view bytes);
/// Reads and checks the record file at `path`. The error says what is wrong,
/// without the file name (the caller prefixes it).
Expected<RunRecord> read_record(const std::string& path);

/// Whether `text` is a timestamp of the record's form, "YYYY-MM-DDTHH:MM:SS.mmmZ".
bool is_record_timestamp(std::string_view text);
/// Whether `text` is a label key: one or more letters, digits, '_', '.', '-'.
bool is_label_key(std::string_view text);

}  // namespace zuno::results
