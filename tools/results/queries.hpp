#pragma once
// The questions the results database answers, each returning a Table (see
// table.hpp) or an error message. Runs are chosen by a RunFilter (program and
// labels); "last N" windows are counted per program where a question compares
// runs of one program. Read-only, apart from a temporary table of the chosen
// runs on the query's own connection.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "database.hpp"
#include "expected.hpp"
#include "table.hpp"

namespace zuno::results {

/// Which runs a query looks at.
struct RunFilter {
    /// Only runs of this program (its file name).
    std::optional<std::string> program;
    /// Only runs carrying every one of these labels.
    std::vector<std::pair<std::string, std::string>> labels;
};

/// One stored run, as `runs` lists it.
struct RunRow {
    std::int64_t key = 0;
    std::string run_id;
    std::string program;
    std::string host;
    std::string started;
    double wall_s = 0;
    std::optional<std::int64_t> shard_index;
    std::optional<std::int64_t> shard_count;
    std::int64_t passed = 0;
    std::int64_t failed = 0;
    std::int64_t ignored = 0;
    std::int64_t measured = 0;
    std::int64_t flaky = 0;
    std::int64_t exit_status = 0;
    std::vector<std::pair<std::string, std::string>> labels;
};

/// The runs the filter admits, oldest first (by start, then by ingestion).
Expected<std::vector<RunRow>> select_runs(Database& db, const RunFilter& filter);
/// The last `n` runs of each program among `runs` (which are oldest first).
std::vector<RunRow> last_per_program(std::vector<RunRow> runs, std::size_t n);
/// Resolves a run selector: "last" (the newest run the filter admits) or a
/// full or unique-prefix run id.
Expected<RunRow> resolve_run(Database& db, const std::string& selector, const RunFilter& filter);

/// `runs`: the admitted runs, the last `last` of them when given.
Expected<Table> query_runs(Database& db, const RunFilter& filter, std::optional<std::size_t> last);
/// `show`: every test of one run with outcome, duration and attempts.
Expected<Table> query_show(Database& db, const RunRow& run);
/// `failed`: the distinct names of the tests that failed (after retries) in
/// any of `runs`, sorted.
Expected<std::vector<std::string>> query_failed(Database& db, const std::vector<RunRow>& runs);
/// `flaky`: over the last `last` runs per program, the tests that both passed
/// and failed, or passed only after a retry; most failures first.
Expected<Table> query_flaky(Database& db, const RunFilter& filter, std::size_t last);
/// `slow`: median and maximum duration per test over the last `last` runs per
/// program; the `top` slowest by median.
Expected<Table> query_slow(Database& db, const RunFilter& filter, std::size_t last,
                           std::size_t top);
/// `history`: one test's results over the last `last` runs that reported it,
/// oldest first. An error when no run reported it.
Expected<Table> query_history(Database& db, const RunFilter& filter, const std::string& test,
                              std::size_t last);
/// `by-label`: per value of label `key`: runs, test results, failures, failure
/// rate, and the tests that failed only under that value.
Expected<Table> query_by_label(Database& db, const RunFilter& filter, const std::string& key);

/// "k=v,k=v" as the text tables show labels.
std::string labels_text(const std::vector<std::pair<std::string, std::string>>& labels);

}  // namespace zuno::results
