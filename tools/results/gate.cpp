#include "gate.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <numeric>
#include <vector>

#include <nlohmann/json.hpp>

namespace zuno::results {

namespace {

/// One side of a comparison: a benchmark's median and samples, by name.
struct BenchSide {
    double median_ns = 0;
    std::vector<double> samples_ns;
};
using BenchSet = std::map<std::string, BenchSide>;

/// A run whose benchmarks are compared, and how the user named it.
struct Chosen {
    std::int64_t run_key = 0;
    std::string run_id;
};

/// A baseline name may not read as a run selector.
bool looks_like_run(std::string_view name) {
    return name == "last" || std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

/// BASE or NEW: a baseline name, else a run selector.
Expected<Chosen> choose(Database& db, const std::string& selector, const RunFilter& filter) {
    auto s = db.connection().prepare(
        "SELECT b.run, r.run_id FROM baselines b JOIN runs r ON r.id = b.run WHERE b.name = ?1");
    if (!s) {
        return Error{s.error()};
    }
    s->bind(1, selector);
    auto row = s->step();
    if (!row) {
        return Error{row.error()};
    }
    if (*row) {
        return Chosen{s->int64(0), std::string(s->text(1))};
    }
    if (!looks_like_run(selector)) {
        return Error{"no baseline named \"" + escape_control(selector) + "\""};
    }
    auto run = resolve_run(db, selector, filter);
    if (!run) {
        return Error{run.error()};
    }
    return Chosen{run->key, run->run_id};
}

Expected<BenchSet> benchmarks_of(Database& db, std::int64_t run_key) {
    auto s = db.connection().prepare(
        "SELECT n.name, b.median_ns, b.samples_ns FROM benches b"
        " JOIN results r ON r.run = b.run AND r.position = b.position"
        " JOIN names n ON n.id = r.test WHERE b.run = ?1");
    if (!s) {
        return Error{s.error()};
    }
    s->bind(1, run_key);
    BenchSet set;
    while (true) {
        auto row = s->step();
        if (!row) {
            return Error{row.error()};
        }
        if (!*row) {
            break;
        }
        BenchSide side;
        side.median_ns = s->real(1);
        const auto samples = nlohmann::json::parse(s->text(2), nullptr, false);
        if (samples.is_array()) {
            for (const auto& v : samples) {
                if (v.is_number()) {
                    side.samples_ns.push_back(v.get<double>());
                }
            }
        }
        set.emplace(std::string(s->text(0)), std::move(side));
    }
    return set;
}

std::optional<double> parse_number(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

Cell ns_cell(double ns) {
    return Cell{format("%.1f ns", ns), ns};
}

}  // namespace

// The Mann-Whitney U test, two-sided, by the normal approximation (Hollander,
// Wolfe and Chicken, "Nonparametric Statistical Methods", 3rd ed., Wiley 2014,
// section 4.1: the large-sample approximation of the rank-sum test, with the
// variance corrected for ties). With n1 = |a|, n2 = |b|, n = n1 + n2, all n
// values ranked together (tied values share the mean of their ranks) and R1
// the sum of the ranks of a:
//     U   = R1 - n1 (n1 + 1) / 2
//     E U = n1 n2 / 2
//     V U = n1 n2 / 12 * ( (n + 1) - sum_j (t_j^3 - t_j) / (n (n - 1)) )
// where t_j is the size of the j-th group of tied values. With the continuity
// correction z = max(0, |U - E U| - 1/2) / sqrt(V U), and the two-sided
// p-value is 2 (1 - Phi(z)) = erfc(z / sqrt 2).
double mann_whitney_p(std::span<const double> a, std::span<const double> b) {
    const std::size_t n1 = a.size();
    const std::size_t n2 = b.size();
    if (n1 == 0 || n2 == 0) {
        return 1.0;
    }
    const std::size_t n = n1 + n2;
    std::vector<std::pair<double, bool>> all;  // value, from a
    all.reserve(n);
    for (double v : a) {
        all.emplace_back(v, true);
    }
    for (double v : b) {
        all.emplace_back(v, false);
    }
    std::sort(all.begin(), all.end(),
              [](const auto& x, const auto& y) { return x.first < y.first; });
    double rank_sum_a = 0;
    double tie_term = 0;
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i;
        while (j < n && all[j].first == all[i].first) {
            ++j;
        }
        // Positions i..j-1 hold ranks i+1..j; their mean is (i + 1 + j) / 2.
        const double mean_rank = double(i + 1 + j) / 2.0;
        const double t = double(j - i);
        tie_term += t * t * t - t;
        for (std::size_t k = i; k < j; ++k) {
            if (all[k].second) {
                rank_sum_a += mean_rank;
            }
        }
        i = j;
    }
    const double dn1 = double(n1);
    const double dn2 = double(n2);
    const double dn = double(n);
    const double u = rank_sum_a - dn1 * (dn1 + 1) / 2;
    const double mean = dn1 * dn2 / 2;
    const double variance = dn1 * dn2 / 12 * ((dn + 1) - tie_term / (dn * (dn - 1)));
    if (!(variance > 0)) {
        return 1.0;
    }
    const double z = std::max(0.0, std::abs(u - mean) - 0.5) / std::sqrt(variance);
    return std::min(1.0, std::erfc(z / std::sqrt(2.0)));
}

std::string_view verdict_name(Verdict verdict) {
    switch (verdict) {
        case Verdict::Slower:
            return "slower";
        case Verdict::Faster:
            return "faster";
        case Verdict::New:
            return "new";
        case Verdict::Gone:
            return "gone";
        case Verdict::Same:
            break;
    }
    return "same";
}

Verdict judge(double change_pct, double p, double threshold_pct, double alpha) {
    if (p < alpha && change_pct > threshold_pct) {
        return Verdict::Slower;
    }
    if (p < alpha && change_pct < -threshold_pct) {
        return Verdict::Faster;
    }
    return Verdict::Same;
}

int cmd_baseline(Options& o) {
    if (o.operands.size() != 3 || o.operands[0] != "save") {
        return usage_error("baseline needs: save NAME RUN");
    }
    const std::string& name = o.operands[1];
    if (name.empty() || looks_like_run(name)) {
        return usage_error(
            "a baseline name must not be empty, \"last\" or only the digits "
            "0-9 and a-f (it would read as a run id)");
    }
    auto db = open_db(o, Access::Write);
    if (!db) {
        return EXIT_ERROR;
    }
    auto run = resolve_run(*db, o.operands[2], o.filter);
    if (!run) {
        write_err("error: " + run.error() + "\n");
        return EXIT_ERROR;
    }
    auto benches = benchmarks_of(*db, run->key);
    if (!benches) {
        write_err("error: " + database_path(o) + ": " + benches.error() + "\n");
        return EXIT_ERROR;
    }
    if (benches->empty()) {
        write_err("error: run " + run->run_id +
                  " has no benchmark results (record a run with --bench)\n");
        return EXIT_PARTIAL;
    }
    auto s = db->connection().prepare(
        "INSERT INTO baselines (name, run, saved) VALUES (?1, ?2, strftime('%Y-%m-%dT%H:%M:%fZ'))"
        " ON CONFLICT (name) DO UPDATE SET run = excluded.run, saved = excluded.saved");
    if (!s) {
        write_err("error: " + database_path(o) + ": " + s.error() + "\n");
        return EXIT_ERROR;
    }
    s->bind(1, name);
    s->bind(2, run->key);
    if (auto done = s->run(); !done) {
        write_err("error: " + database_path(o) + ": " + done.error() + "\n");
        return EXIT_ERROR;
    }
    write_out("baseline " + escape_control(name) + ": run " + run->run_id + " (" +
              std::to_string(benches->size()) + " benchmarks)\n");
    return EXIT_OK;
}

int cmd_bench_compare(Options& o) {
    if (o.operands.size() != 2) {
        return usage_error("bench-compare needs BASE and NEW (runs or baseline names)");
    }
    double threshold = DEFAULT_THRESHOLD_PCT;
    if (auto text = o.value("--threshold")) {
        const auto value = parse_number(*text);
        if (!value || *value < 0) {
            return usage_error("--threshold needs a percentage of 0 or more");
        }
        threshold = *value;
    }
    double alpha = DEFAULT_ALPHA;
    if (auto text = o.value("--alpha")) {
        const auto value = parse_number(*text);
        if (!value || *value <= 0 || *value >= 1) {
            return usage_error("--alpha needs a number between 0 and 1");
        }
        alpha = *value;
    }
    auto db = open_db(o, Access::Read);
    if (!db) {
        return EXIT_ERROR;
    }
    BenchSet sides[2];
    for (int i = 0; i < 2; ++i) {
        auto chosen = choose(*db, o.operands[std::size_t(i)], o.filter);
        if (!chosen) {
            write_err("error: " + chosen.error() + "\n");
            return EXIT_ERROR;
        }
        auto set = benchmarks_of(*db, chosen->run_key);
        if (!set) {
            write_err("error: " + database_path(o) + ": " + set.error() + "\n");
            return EXIT_ERROR;
        }
        sides[i] = std::move(*set);
    }
    Table table;
    table.columns = {{"name", "benchmark"},
                     {"base_median_ns", "base median", true},
                     {"new_median_ns", "new median", true},
                     {"change_pct", "change", true},
                     {"p_value", "p", true},
                     {"verdict", "verdict"}};
    bool any_slower = false;
    std::map<std::string, int> names;
    for (const auto& [name, side] : sides[0]) {
        names[name] |= 1;
    }
    for (const auto& [name, side] : sides[1]) {
        names[name] |= 2;
    }
    for (const auto& [name, where] : names) {
        if (where != 3) {
            const BenchSide& only = where == 1 ? sides[0].at(name) : sides[1].at(name);
            table.rows.push_back(
                {text_cell(name), where == 1 ? ns_cell(only.median_ns) : null_cell(),
                 where == 2 ? ns_cell(only.median_ns) : null_cell(), null_cell(), null_cell(),
                 text_cell(std::string(verdict_name(where == 1 ? Verdict::Gone : Verdict::New)))});
            continue;
        }
        const BenchSide& base = sides[0].at(name);
        const BenchSide& now = sides[1].at(name);
        const double change =
            base.median_ns > 0 ? (now.median_ns - base.median_ns) / base.median_ns * 100 : 0.0;
        const double p = mann_whitney_p(base.samples_ns, now.samples_ns);
        const Verdict verdict = judge(change, p, threshold, alpha);
        any_slower = any_slower || verdict == Verdict::Slower;
        table.rows.push_back({text_cell(name), ns_cell(base.median_ns), ns_cell(now.median_ns),
                              Cell{format("%+.1f%%", change), change},
                              Cell{p < 0.0001 ? "<0.0001" : format("%.4f", p), p},
                              text_cell(std::string(verdict_name(verdict)))});
    }
    const int printed = print_table(table, o);
    if (printed != EXIT_OK) {
        return printed;
    }
    return any_slower ? EXIT_PARTIAL : EXIT_OK;
}

}  // namespace zuno::results
