#pragma once
// The HTML report: one self-contained page over one or more runs (shards of a
// sharded run and runs with the same labels shown as one view). The page holds
// its styles, script and data inline; a Content-Security-Policy forbids every
// request. The summary, the failures with their outputs and the per-label grid
// are plain HTML, readable with scripts off; the script adds the big test
// table (drawing only the rows in view) and the charts. Every text taken from
// a record is written as text: escaped for HTML, and escaped again inside the
// JSON data block so that no `</script>` can end it. Plain functions over
// plain data; no shared state.

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "record.hpp"

namespace zuno::results {

/// A benchmark's median and deviation in one stored run.
struct BenchPoint {
    std::string started;
    std::string run_id;
    double median_ns = 0;
    double deviation_ns = 0;
};

/// A benchmark of the report against the same benchmark of a baseline run.
struct BenchVerdict {
    /// "slower", "faster", "same", or "new" when the baseline lacks it.
    std::string verdict;
    double change_pct = 0;
    double p_value = 1;
};

/// Everything a report shows, gathered from records or from the database.
struct ReportInput {
    /// The reported runs (records, or shards of records), oldest first.
    std::vector<RunRecord> runs;
    /// How many past outcomes a test's history strip holds at most.
    std::size_t history_limit = 30;
    /// Per history_key(): the test's last outcomes, oldest first, one letter
    /// each (see history_letter), the reported runs included. Never padded.
    std::map<std::string, std::string> history;
    /// Per history_key() of a benchmark: its median over the stored runs, oldest first.
    std::map<std::string, std::vector<BenchPoint>> bench_series;
    /// The baseline the benchmarks are compared with, and the verdicts per
    /// history_key(), when --baseline is given.
    std::optional<std::string> baseline;
    std::map<std::string, BenchVerdict> verdicts;
    /// Tests marked quarantined by the database, by name, with the reason.
    std::map<std::string, std::string> quarantined;
    /// The label the per-label view groups by; the one with most values when unset.
    std::optional<std::string> by_label;
    /// Where the runs came from, for the page's footer ("run records", a database path).
    std::string source;
};

/// The key of a test's history and bench series: program and name.
std::string history_key(std::string_view program, std::string_view name);
/// One history letter: 'o' passed, 'r' passed after a retry, 'f' failed,
/// 'q' failed while quarantined, 'i' ignored, 'b' benchmark.
char history_letter(const TestEntry& test);

/// Fills `input.history` and `input.bench_series` from the runs themselves
/// (the report made from record files, with no database).
void history_from_runs(ReportInput& input);

/// The whole HTML page.
std::string render_report(const ReportInput& input);

/// `text` as HTML text: markup characters escaped, invalid UTF-8 and control
/// characters other than line feed and tab replaced by U+FFFD.
std::string html_text(std::string_view text);
/// Captured output as HTML text: terminal colour and bold codes become
/// `<span class="aN">` elements, every other escape sequence is removed, and
/// the rest is escaped as html_text does (carriage returns dropped).
std::string ansi_to_html(std::string_view output);
/// A JSON text made safe inside a `<script>` element: '<', '>', '&', U+2028 and
/// U+2029 written as \u escapes (they occur only inside JSON strings).
std::string script_safe_json(std::string_view json);

/// Runs `zuno-results report ARGS...` (the arguments after the verb). Returns
/// the exit status: 0 written, 2 usage error or input that cannot be read.
int run_report(const std::vector<std::string>& args);

}  // namespace zuno::results
