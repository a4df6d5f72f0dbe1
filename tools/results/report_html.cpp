// The report page: the plain-HTML parts (summary, failures, per-label grid),
// the JSON data block the script draws the table and charts from, and the
// escaping that keeps every recorded text a text.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "report.hpp"
#include "report_assets.hpp"

namespace zuno::results {

namespace {

/// Whether a record entry knows quarantine (records written by harnesses
/// that run quarantined tests); false for records that cannot say.
template <typename Entry>
bool entry_quarantined(const Entry& test) {
    if constexpr (requires { test.quarantined; }) {
        return bool(test.quarantined);
    } else {
        return false;
    }
}

constexpr std::string_view REPLACEMENT = "\xef\xbf\xbd";
/// At most this many bytes of one failure's output go into the page...
constexpr std::size_t OUTPUT_LIMIT = 64u << 10;
/// ...and of all outputs together; later failures show less, down to nothing.
constexpr std::size_t OUTPUTS_LIMIT = 8u << 20;

/// The start of the UTF-8 character holding byte `at` of `s`.
std::size_t char_start(std::string_view s, std::size_t at) {
    while (at > 0 && at < s.size() && (static_cast<unsigned char>(s[at]) & 0xc0) == 0x80) {
        --at;
    }
    return at;
}

/// Length of the valid UTF-8 sequence starting at `i`, or 0 when it is not one.
std::size_t utf8_length(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) -> unsigned {
        return k < s.size() ? static_cast<unsigned char>(s[k]) : 0x100u;
    };
    const auto cont = [&](std::size_t k, unsigned lo = 0x80, unsigned hi = 0xbf) {
        const unsigned b = byte(k);
        return b >= lo && b <= hi;
    };
    const unsigned b0 = byte(i);
    if (b0 < 0x80) {
        return 1;
    }
    if (b0 >= 0xc2 && b0 <= 0xdf) {
        return cont(i + 1) ? 2 : 0;
    }
    if (b0 >= 0xe0 && b0 <= 0xef) {
        const unsigned lo = b0 == 0xe0 ? 0xa0 : 0x80;
        const unsigned hi = b0 == 0xed ? 0x9f : 0xbf;
        return cont(i + 1, lo, hi) && cont(i + 2) ? 3 : 0;
    }
    if (b0 >= 0xf0 && b0 <= 0xf4) {
        const unsigned lo = b0 == 0xf0 ? 0x90 : 0x80;
        const unsigned hi = b0 == 0xf4 ? 0x8f : 0xbf;
        return cont(i + 1, lo, hi) && cont(i + 2) && cont(i + 3) ? 4 : 0;
    }
    return 0;
}

/// Appends `s` as HTML text; `drop_cr` leaves carriage returns out.
void append_text(std::string& out, std::string_view s, bool drop_cr = false) {
    for (std::size_t i = 0; i < s.size();) {
        const char c = s[i];
        switch (c) {
            case '&':
                out += "&amp;";
                ++i;
                continue;
            case '<':
                out += "&lt;";
                ++i;
                continue;
            case '>':
                out += "&gt;";
                ++i;
                continue;
            case '"':
                out += "&quot;";
                ++i;
                continue;
            case '\'':
                out += "&#39;";
                ++i;
                continue;
            case '\n':
            case '\t':
                out += c;
                ++i;
                continue;
            case '\r':
                if (!drop_cr) {
                    out += REPLACEMENT;
                }
                ++i;
                continue;
            default:
                break;
        }
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7f) {
            out += REPLACEMENT;
            ++i;
            continue;
        }
        const std::size_t n = utf8_length(s, i);
        if (n == 0) {
            out += REPLACEMENT;
            ++i;
            continue;
        }
        out.append(s.substr(i, n));
        i += n;
    }
}

std::string number_text(double value, const char* format) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

/// "1.234s", "2m 03s", "1h 02m".
std::string duration_text(double seconds) {
    if (seconds < 60) {
        return number_text(seconds, "%.3fs");
    }
    const auto whole = static_cast<std::int64_t>(seconds);
    char text[64];
    if (whole < 3600) {
        std::snprintf(text, sizeof text, "%lldm %02llds", static_cast<long long>(whole / 60),
                      static_cast<long long>(whole % 60));
    } else {
        std::snprintf(text, sizeof text, "%lldh %02lldm", static_cast<long long>(whole / 3600),
                      static_cast<long long>(whole / 60 % 60));
    }
    return text;
}

/// Milliseconds since the epoch of a record timestamp (0 for another form).
std::int64_t timestamp_ms(std::string_view t) {
    if (!is_record_timestamp(t)) {
        return 0;
    }
    const auto num = [&](std::size_t at, std::size_t len) {
        std::int64_t v = 0;
        for (std::size_t k = at; k < at + len; ++k) {
            v = v * 10 + (t[k] - '0');
        }
        return v;
    };
    // Days from the civil date (proleptic Gregorian calendar).
    std::int64_t y = num(0, 4);
    const std::int64_t m = num(5, 2);
    const std::int64_t d = num(8, 2);
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days = era * 146097 + doe - 719468;
    return ((days * 24 + num(11, 2)) * 60 + num(14, 2)) * 60000 + num(17, 2) * 1000 + num(20, 3);
}

std::string shard_text(const RunRecord& run) {
    if (!run.shard) {
        return "";
    }
    return std::to_string(run.shard->index) + "/" + std::to_string(run.shard->count);
}

std::string labels_line(const RunRecord& run) {
    std::string text;
    for (const auto& [key, value] : run.labels) {
        text += (text.empty() ? "" : ", ") + key + "=" + value;
    }
    return text;
}

/// A random token for the page's script and style nonce.
std::string nonce() {
    std::random_device device;
    std::string text;
    static constexpr char DIGITS[] = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) {
        text += DIGITS[device() & 15u];
    }
    return text;
}

/// Totals over every reported test.
struct Totals {
    std::size_t tests = 0;
    std::size_t passed = 0;
    std::size_t failed = 0;
    std::size_t ignored = 0;
    std::size_t measured = 0;
    std::size_t flaky = 0;
    std::size_t quarantined = 0;
};

struct Page {
    const ReportInput& in;
    std::string out;
    Totals totals;
    /// Per run, per test: whether it is marked quarantined.
    std::vector<std::vector<bool>> quarantined;
    /// Failures in page order: (run, test).
    std::vector<std::pair<std::size_t, std::size_t>> failures;

    void text(std::string_view s) { append_text(out, s); }
    void raw(std::string_view s) { out.append(s); }
    void element(std::string_view open, std::string_view content, std::string_view close) {
        raw(open);
        text(content);
        raw(close);
    }
    bool is_quarantined(std::size_t run, std::size_t test) const { return quarantined[run][test]; }

    void tally();
    void head(const std::string& token);
    void summary();
    void failure_list();
    void label_view();
    void data_block();
};

void Page::tally() {
    quarantined.resize(in.runs.size());
    for (std::size_t r = 0; r < in.runs.size(); ++r) {
        const RunRecord& run = in.runs[r];
        quarantined[r].resize(run.tests.size());
        for (std::size_t t = 0; t < run.tests.size(); ++t) {
            const TestEntry& test = run.tests[t];
            const bool q = entry_quarantined(test) || in.quarantined.count(test.name) > 0;
            quarantined[r][t] = q;
            ++totals.tests;
            switch (test.outcome) {
                case Outcome::Ok:
                    ++totals.passed;
                    totals.flaky += test.passed_after_retry() ? 1 : 0;
                    break;
                case Outcome::Failed:
                    ++(q ? totals.quarantined : totals.failed);
                    failures.emplace_back(r, t);
                    break;
                case Outcome::Ignored:
                    ++totals.ignored;
                    break;
                case Outcome::Bench:
                    ++totals.measured;
                    break;
            }
        }
    }
    // Failures that count first, quarantined ones after them.
    std::stable_partition(failures.begin(), failures.end(),
                          [&](const auto& f) { return !is_quarantined(f.first, f.second); });
}

void Page::head(const std::string& token) {
    raw("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n");
    raw("<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
        "script-src 'nonce-" +
        token + "'; style-src 'nonce-" + token +
        "'; img-src data:; base-uri 'none'; form-action 'none'\">\n");
    raw("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n");
    raw("<link rel=\"icon\" href=\"data:,\">\n<title>");
    std::set<std::string> programs;
    for (const RunRecord& run : in.runs) {
        programs.insert(run.program);
    }
    const bool ok =
        totals.failed == 0 && std::all_of(in.runs.begin(), in.runs.end(),
                                          [](const RunRecord& r) { return r.exit_status == 0; });
    text(ok ? "passed: " : "FAILED: ");
    std::string names;
    for (const std::string& p : programs) {
        names += (names.empty() ? "" : ", ") + p;
    }
    text(names.empty() ? "no runs" : names);
    raw(" \xe2\x80\x94 test report</title>\n<style nonce=\"" + token + "\">\n");
    raw(report_css());
    raw("</style>\n</head>\n<body>\n");
}

void Page::summary() {
    std::set<std::string> programs, hosts;
    std::map<std::string, std::set<std::string>> labels;
    std::size_t shards = 0;
    std::int64_t first = 0, last = 0;
    std::string started;
    std::set<std::string> logical;
    for (const RunRecord& run : in.runs) {
        programs.insert(run.program);
        hosts.insert(run.host);
        for (const auto& [key, value] : run.labels) {
            labels[key].insert(value);
        }
        std::string group = run.program + '\0' + labels_line(run);
        if (run.shard) {
            ++shards;
            group += '\0' + std::to_string(run.shard->count);
        } else {
            group += '\0' + run.run_id;
        }
        logical.insert(group);
        const std::int64_t begin = timestamp_ms(run.started);
        const std::int64_t end = begin + static_cast<std::int64_t>(run.wall_s * 1000);
        if (started.empty() || begin < first) {
            first = begin;
            started = run.started;
        }
        last = std::max(last, end);
    }
    const bool ok =
        totals.failed == 0 && std::all_of(in.runs.begin(), in.runs.end(),
                                          [](const RunRecord& r) { return r.exit_status == 0; });
    const auto joined = [](const std::set<std::string>& items) {
        std::string s;
        for (const std::string& item : items) {
            s += (s.empty() ? "" : ", ") + item;
        }
        return s;
    };

    raw("<header id=\"summary\">\n<h1>Test report <span id=\"verdict\" class=\"verdict ");
    raw(ok ? "pass\">passed" : "fail\">FAILED");
    raw("</span></h1>\n<dl class=\"facts\">\n");
    element("<dt>Programs</dt><dd id=\"programs\">", joined(programs), "</dd>\n");
    raw("<dt>Runs</dt><dd id=\"run-count\">" + std::to_string(logical.size()) + "</dd>\n");
    element("<dt>Hosts</dt><dd id=\"hosts\">", joined(hosts), "</dd>\n");
    std::string label_text;
    for (const auto& [key, values] : labels) {
        std::string v;
        for (const std::string& value : values) {
            v += (v.empty() ? "" : " | ") + value;
        }
        label_text += (label_text.empty() ? "" : "; ") + key + "=" + v;
    }
    element("<dt>Labels</dt><dd id=\"labels\">", label_text.empty() ? "none" : label_text,
            "</dd>\n");
    raw("<dt>Shards</dt><dd id=\"shards\">" + (shards ? std::to_string(shards) : "none") +
        "</dd>\n");
    element("<dt>Started</dt><dd id=\"started\">", started, "</dd>\n");
    raw("<dt>Wall time</dt><dd id=\"wall\">" +
        duration_text(double(std::max<std::int64_t>(0, last - first)) / 1000) + "</dd>\n");
    raw("</dl>\n<ul class=\"totals\">\n");
    const auto total = [&](const char* id, const char* title, std::size_t n) {
        raw(std::string("<li class=\"") + id + "\">" + title + " <b id=\"total-" + id + "\">" +
            std::to_string(n) + "</b></li>\n");
    };
    total("tests", "tests", totals.tests);
    total("passed", "passed", totals.passed);
    total("failed", "failed", totals.failed);
    total("ignored", "ignored", totals.ignored);
    total("measured", "measured", totals.measured);
    total("flaky", "flaky", totals.flaky);
    total("quarantined", "quarantined", totals.quarantined);
    raw("</ul>\n");

    // The runs one by one: which record, shard and host each test came from.
    raw("<details class=\"runs\"><summary>" + std::to_string(in.runs.size()) +
        (in.runs.size() == 1 ? " run record" : " run records") +
        "</summary>\n<table id=\"runs\"><thead><tr><th>run</th><th>program</th><th>shard</th>"
        "<th>host</th><th>labels</th><th>started</th><th>wall</th><th>exit</th></tr></thead>"
        "<tbody>\n");
    for (const RunRecord& run : in.runs) {
        element("<tr><td class=\"mono\">", run.run_id.substr(0, 12), "</td>");
        element("<td>", run.program, "</td>");
        element("<td>", shard_text(run), "</td>");
        element("<td>", run.host, "</td>");
        element("<td>", labels_line(run), "</td>");
        element("<td>", run.started, "</td>");
        raw("<td>" + duration_text(run.wall_s) + "</td><td>" + std::to_string(run.exit_status) +
            "</td></tr>\n");
    }
    raw("</tbody></table></details>\n</header>\n");
}

void Page::failure_list() {
    raw("<section id=\"failures\">\n<h2>Failures <span class=\"count\">" +
        std::to_string(failures.size()) + "</span></h2>\n");
    if (failures.empty()) {
        raw("<p class=\"none\">No test failed.</p>\n");
    }
    std::size_t index = 0;
    std::size_t output_budget = OUTPUTS_LIMIT;
    for (const auto& [r, t] : failures) {
        const RunRecord& run = in.runs[r];
        const TestEntry& test = run.tests[t];
        const bool q = is_quarantined(r, t);
        raw("<article class=\"failure" + std::string(q ? " quarantined" : "") + "\" id=\"f-" +
            std::to_string(index++) + "\">\n");
        element("<h3 class=\"name\"><span class=\"n\">", test.name, "</span>");
        if (q) {
            raw(" <span class=\"mark q\" title=\"quarantined\">quarantined</span>");
        }
        raw("</h3>\n");
        if (test.message) {
            raw("<pre class=\"message\">" + ansi_to_html(*test.message) + "</pre>\n");
        }
        raw("<p class=\"where\">");
        element("run <span class=\"mono\">", run.run_id.substr(0, 12), "</span>");
        element(" · ", run.program, "");
        if (run.shard) {
            raw(" · shard " + shard_text(run));
        }
        element(" · host ", run.host, "");
        if (!run.labels.empty()) {
            element(" · ", labels_line(run), "");
        }
        raw(" · " + duration_text(test.duration_s) + "</p>\n");
        if (test.attempts.size() > 1) {
            raw("<ol class=\"attempts\">");
            for (const Attempt& a : test.attempts) {
                raw("<li>");
                text(outcome_name(a.outcome));
                raw(" " + duration_text(a.duration_s));
                if (a.message) {
                    raw(": ");
                    text(*a.message);
                }
                raw("</li>");
            }
            raw("</ol>\n");
        }
        if (test.output && !test.output->empty()) {
            const std::string_view output = *test.output;
            const auto lines = std::count(output.begin(), output.end(), '\n');
            raw("<details class=\"output\"><summary>output (" + std::to_string(lines) +
                (lines == 1 ? " line" : " lines") + ")</summary><pre>");
            // Long outputs keep their head and tail; the page stays small
            // enough to open however much a failing suite printed.
            const std::size_t keep = std::min(output_budget, OUTPUT_LIMIT);
            if (output.size() <= keep) {
                raw(ansi_to_html(output));
            } else {
                const std::size_t head = char_start(output, keep / 2);
                const std::size_t tail = char_start(output, output.size() - keep / 2);
                raw(ansi_to_html(output.substr(0, head)));
                raw("</pre><p class=\"none\">[" + std::to_string(tail - head) +
                    " bytes of output left out; the run record or zuno-results show has them]"
                    "</p><pre>");
                raw(ansi_to_html(output.substr(tail)));
            }
            output_budget -= std::min(output_budget, std::min(output.size(), keep));
            raw("</pre></details>\n");
        } else {
            raw("<p class=\"none\">no output captured</p>\n");
        }
        raw("</article>\n");
    }
    raw("</section>\n");
}

void Page::label_view() {
    std::map<std::string, std::set<std::string>> values;
    for (const RunRecord& run : in.runs) {
        for (const auto& [key, value] : run.labels) {
            values[key].insert(value);
        }
    }
    std::string key;
    if (in.by_label) {
        key = *in.by_label;
    } else {
        std::size_t most = 0;
        for (const auto& [k, v] : values) {
            if (v.size() > most) {
                most = v.size();
                key = k;
            }
        }
    }
    raw("<section id=\"by-label\">\n<h2>By label");
    if (!key.empty()) {
        element(" <span class=\"mono\">", key, "</span>");
    }
    raw("</h2>\n");
    if (key.empty() || values.count(key) == 0) {
        raw("<p class=\"none\">");
        text(key.empty() ? "The runs carry no labels." : "No run carries the label " + key + ".");
        raw("</p>\n</section>\n");
        return;
    }
    struct Row {
        std::size_t runs = 0, passed = 0, failed = 0, ignored = 0, measured = 0;
        std::set<std::string> failing;
    };
    std::map<std::string, Row> rows;
    std::map<std::string, std::set<std::string>> failed_under;  // test -> values
    for (std::size_t r = 0; r < in.runs.size(); ++r) {
        const RunRecord& run = in.runs[r];
        const auto it = std::find_if(run.labels.begin(), run.labels.end(),
                                     [&](const auto& p) { return p.first == key; });
        if (it == run.labels.end()) {
            continue;
        }
        Row& row = rows[it->second];
        ++row.runs;
        for (std::size_t t = 0; t < run.tests.size(); ++t) {
            const TestEntry& test = run.tests[t];
            switch (test.outcome) {
                case Outcome::Ok:
                    ++row.passed;
                    break;
                case Outcome::Failed:
                    ++row.failed;
                    row.failing.insert(test.name);
                    failed_under[test.name].insert(it->second);
                    break;
                case Outcome::Ignored:
                    ++row.ignored;
                    break;
                case Outcome::Bench:
                    ++row.measured;
                    break;
            }
        }
    }
    std::size_t all_failed = 0, all_run = 0;
    for (const auto& [value, row] : rows) {
        all_failed += row.failed;
        all_run += row.passed + row.failed;
    }
    raw("<table id=\"label-grid\"><thead><tr><th>");
    text(key);
    raw("</th><th>runs</th><th>passed</th><th>failed</th><th>ignored</th><th>measured</th>"
        "<th>failure rate</th><th>failed only here</th></tr></thead><tbody>\n");
    for (const auto& [value, row] : rows) {
        const std::size_t executed = row.passed + row.failed;
        const double rate = executed ? double(row.failed) / double(executed) : 0.0;
        const std::size_t other_run = all_run - executed;
        const double other_rate =
            other_run ? double(all_failed - row.failed) / double(other_run) : 0.0;
        std::string only;
        for (const std::string& name : row.failing) {
            if (rows.size() > 1 && failed_under[name].size() == 1) {
                only += (only.empty() ? "" : ", ") + name;
            }
        }
        // A value stands out when some tests fail under it alone and it fails
        // more often than all the other values together: the card, not the code.
        const bool stands_out = !only.empty() && rate > other_rate;
        raw(stands_out ? "<tr class=\"stands-out\">" : "<tr>");
        element("<th scope=\"row\">", value, "</th>");
        raw("<td>" + std::to_string(row.runs) + "</td><td class=\"ok\">" +
            std::to_string(row.passed) + "</td><td class=\"failed\">" + std::to_string(row.failed) +
            "</td><td>" + std::to_string(row.ignored) + "</td><td>" + std::to_string(row.measured) +
            "</td><td>" + number_text(rate * 100, "%.1f%%") + "</td><td>");
        text(only);
        raw("</td></tr>\n");
    }
    raw("</tbody></table>\n</section>\n");
}

void Page::data_block() {
    using Json = nlohmann::json;
    Json runs = Json::array();
    for (const RunRecord& run : in.runs) {
        Json labels = Json::object();
        for (const auto& [key, value] : run.labels) {
            labels[key] = value;
        }
        runs.push_back({{"id", run.run_id},
                        {"program", run.program},
                        {"host", run.host},
                        {"shard", shard_text(run)},
                        {"labels", std::move(labels)}});
    }
    std::map<std::pair<std::size_t, std::size_t>, std::size_t> failure_index;
    for (std::size_t i = 0; i < failures.size(); ++i) {
        failure_index[failures[i]] = i;
    }
    // One compact row per test: name, run, outcome, seconds, marks, history,
    // failure number (or -1). Marks: 1 passed after a retry, 2 both passed and
    // failed in its history, 4 quarantined.
    Json tests = Json::array();
    Json benches = Json::array();
    for (std::size_t r = 0; r < in.runs.size(); ++r) {
        const RunRecord& run = in.runs[r];
        for (std::size_t t = 0; t < run.tests.size(); ++t) {
            const TestEntry& test = run.tests[t];
            const std::string key = history_key(run.program, test.name);
            const auto h = in.history.find(key);
            const std::string history = h != in.history.end() ? h->second : "";
            int marks = test.passed_after_retry() ? 1 : 0;
            const bool passes = history.find_first_of("or") != std::string::npos;
            const bool fails = history.find_first_of("fq") != std::string::npos;
            if ((passes && fails) || history.find('r') != std::string::npos) {
                marks |= 2;
            }
            if (is_quarantined(r, t)) {
                marks |= 4;
            }
            const auto f = failure_index.find({r, t});
            tests.push_back(
                Json::array({test.name, r, static_cast<int>(test.outcome),
                             std::round(test.duration_s * 1e6) / 1e6, marks, history,
                             f == failure_index.end() ? -1 : static_cast<long long>(f->second)}));
            if (test.bench) {
                Json series = Json::array();
                if (auto s = in.bench_series.find(key); s != in.bench_series.end()) {
                    for (const BenchPoint& p : s->second) {
                        series.push_back(Json::array(
                            {p.started, p.run_id.substr(0, 12), p.median_ns, p.deviation_ns}));
                    }
                }
                benches.push_back({{"name", test.name},
                                   {"program", run.program},
                                   {"run", r},
                                   {"median_ns", test.bench->median_ns},
                                   {"deviation_ns", test.bench->deviation_ns},
                                   {"mb_s", test.bench->mb_s ? Json(*test.bench->mb_s) : Json()},
                                   {"series", std::move(series)},
                                   {"verdict", nullptr}});
                if (auto v = in.verdicts.find(key); v != in.verdicts.end()) {
                    Json& b = benches.back();
                    b["verdict"] = v->second.verdict;
                    b["baseline"] = in.baseline.value_or("");
                    if (v->second.verdict != "new") {
                        b["change_pct"] = std::round(v->second.change_pct * 10) / 10;
                        b["p"] = v->second.p_value;
                    }
                }
            }
        }
    }
    Json data = {{"version", 1},
                 {"history_limit", in.history_limit},
                 {"runs", std::move(runs)},
                 {"tests", std::move(tests)},
                 {"benches", std::move(benches)}};
    raw("<script type=\"application/json\" id=\"report-data\">");
    raw(script_safe_json(data.dump(-1, ' ', false, Json::error_handler_t::replace)));
    raw("</script>\n");
}

}  // namespace

std::string history_key(std::string_view program, std::string_view name) {
    std::string key(program);
    key += '\0';
    key += name;
    return key;
}

char history_letter(const TestEntry& test) {
    switch (test.outcome) {
        case Outcome::Ok:
            return test.passed_after_retry() ? 'r' : 'o';
        case Outcome::Failed:
            return entry_quarantined(test) ? 'q' : 'f';
        case Outcome::Ignored:
            return 'i';
        case Outcome::Bench:
            return 'b';
    }
    return 'o';
}

void history_from_runs(ReportInput& input) {
    std::vector<const RunRecord*> order;
    for (const RunRecord& run : input.runs) {
        order.push_back(&run);
    }
    std::stable_sort(order.begin(), order.end(), [](const RunRecord* a, const RunRecord* b) {
        return a->started < b->started;
    });
    for (const RunRecord* run : order) {
        for (const TestEntry& test : run->tests) {
            const std::string key = history_key(run->program, test.name);
            std::string& h = input.history[key];
            h += history_letter(test);
            if (h.size() > input.history_limit) {
                h.erase(0, h.size() - input.history_limit);
            }
            if (test.bench) {
                input.bench_series[key].push_back(
                    {run->started, run->run_id, test.bench->median_ns, test.bench->deviation_ns});
            }
        }
    }
}

std::string html_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    append_text(out, text);
    return out;
}

std::string ansi_to_html(std::string_view s) {
    std::string out;
    out.reserve(s.size() + s.size() / 8);
    int fg = -1;
    bool bold = false;
    bool open = false;
    std::size_t plain = 0;  // start of text not yet written
    const auto flush = [&](std::size_t end) {
        append_text(out, s.substr(plain, end - plain), true);
    };
    const auto restyle = [&](int new_fg, bool new_bold) {
        if (new_fg == fg && new_bold == bold) {
            return;
        }
        if (open) {
            out += "</span>";
            open = false;
        }
        fg = new_fg;
        bold = new_bold;
        if (fg >= 0 || bold) {
            out += "<span class=\"";
            if (fg >= 0) {
                out += "a" + std::to_string(fg);
            }
            if (bold) {
                out += fg >= 0 ? " ab" : "ab";
            }
            out += "\">";
            open = true;
        }
    };
    std::size_t i = 0;
    while (i < s.size()) {
        if (s[i] != '\x1b') {
            ++i;
            continue;
        }
        flush(i);
        std::size_t j = i + 1;
        if (j < s.size() && s[j] == '[') {
            // CSI: parameters and intermediates, then a final byte 0x40-0x7e.
            ++j;
            const std::size_t params = j;
            while (j < s.size() && static_cast<unsigned char>(s[j]) >= 0x20 &&
                   static_cast<unsigned char>(s[j]) <= 0x3f) {
                ++j;
            }
            while (j < s.size() && static_cast<unsigned char>(s[j]) >= 0x20 &&
                   static_cast<unsigned char>(s[j]) <= 0x2f) {
                ++j;
            }
            const bool complete = j < s.size() && static_cast<unsigned char>(s[j]) >= 0x40 &&
                                  static_cast<unsigned char>(s[j]) <= 0x7e;
            if (complete && s[j] == 'm') {
                int new_fg = fg;
                bool new_bold = bold;
                std::string_view list = s.substr(params, j - params);
                std::vector<int> codes;
                int value = 0;
                bool any = false;
                for (char c : list) {
                    if (c >= '0' && c <= '9') {
                        value = std::min(value * 10 + (c - '0'), 1000);
                        any = true;
                    } else {
                        codes.push_back(any ? value : 0);
                        value = 0;
                        any = false;
                    }
                }
                codes.push_back(any ? value : 0);
                for (std::size_t k = 0; k < codes.size(); ++k) {
                    const int c = codes[k];
                    if (c == 0) {
                        new_fg = -1;
                        new_bold = false;
                    } else if (c == 1) {
                        new_bold = true;
                    } else if (c == 22) {
                        new_bold = false;
                    } else if (c >= 30 && c <= 37) {
                        new_fg = c - 30;
                    } else if (c >= 90 && c <= 97) {
                        new_fg = c - 90 + 8;
                    } else if (c == 39) {
                        new_fg = -1;
                    } else if ((c == 38 || c == 48) && k + 1 < codes.size()) {
                        // 256-colour and direct colour: skip their arguments;
                        // the first sixteen palette entries keep their colour.
                        if (codes[k + 1] == 5 && k + 2 < codes.size()) {
                            if (c == 38 && codes[k + 2] < 16) {
                                new_fg = codes[k + 2];
                            }
                            k += 2;
                        } else if (codes[k + 1] == 2) {
                            k += 4;
                        }
                    }
                }
                restyle(new_fg, new_bold);
            }
            i = complete ? j + 1 : j;
        } else if (j < s.size() && s[j] == ']') {
            // OSC: up to BEL or ESC backslash.
            while (j < s.size() && s[j] != '\x07' &&
                   !(s[j] == '\x1b' && j + 1 < s.size() && s[j + 1] == '\\')) {
                ++j;
            }
            i = j < s.size() ? j + (s[j] == '\x07' ? 1 : 2) : j;
        } else {
            // Any other escape: ESC and the byte after it.
            i = std::min(s.size(), j + 1);
        }
        plain = i;
    }
    flush(s.size());
    if (open) {
        out += "</span>";
    }
    return out;
}

std::string script_safe_json(std::string_view json) {
    std::string out;
    out.reserve(json.size() + json.size() / 16);
    for (std::size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (c == '<') {
            out += "\\u003c";
        } else if (c == '>') {
            out += "\\u003e";
        } else if (c == '&') {
            out += "\\u0026";
        } else if (c == '\xe2' && i + 2 < json.size() && json[i + 1] == '\x80' &&
                   (json[i + 2] == '\xa8' || json[i + 2] == '\xa9')) {
            out += json[i + 2] == '\xa8' ? "\\u2028" : "\\u2029";
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::string render_report(const ReportInput& input) {
    Page page{input, {}, {}, {}, {}};
    page.tally();
    const std::string token = nonce();
    page.head(token);
    page.summary();
    page.failure_list();
    page.raw(
        "<section id=\"tests\">\n<h2>Tests</h2>\n<noscript><p class=\"none\">The table of "
        "every test, the durations and the benchmark charts are drawn by the page's "
        "script; the summary, the failures and the per-label grid are readable without "
        "it.</p></noscript>\n<div id=\"table-app\"></div>\n</section>\n");
    page.label_view();
    page.raw(
        "<section id=\"durations\">\n<h2>Durations</h2>\n<div id=\"durations-app\"></div>\n"
        "</section>\n<section id=\"benchmarks\">\n<h2>Benchmarks</h2>\n"
        "<div id=\"benchmarks-app\"></div>\n</section>\n<footer>Written by zuno-results "
        "from ");
    page.text(input.source);
    page.raw(".</footer>\n");
    page.data_block();
    page.raw("<script nonce=\"" + token + "\">\n");
    page.raw(report_js());
    page.raw("</script>\n</body>\n</html>\n");
    return std::move(page.out);
}

}  // namespace zuno::results
