// `zuno-results report`: chooses the runs (from the database, or record files
// with no database at all), gathers their tests, the history strips and the
// benchmark series, and writes the page whole through a temporary file.

#include "report.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "cli.hpp"
#include "command.hpp"
#include "database.hpp"
#include "gate.hpp"
#include "queries.hpp"
#include "table.hpp"

namespace zuno::results {

namespace {

constexpr std::string_view REPORT_HELP =
    R"(Usage: zuno-results report [RUN... | --last N | --label KEY=VALUE ...] -o FILE
       zuno-results report --record FILE... -o FILE

Writes one self-contained HTML page over the chosen runs: summary, failures
with their output, every test (filter, sort, history strip), a per-label grid,
durations and benchmarks. Shards of a sharded run and runs with the same
labels are shown together. The page makes no request and opens from a file.

Runs (from the database):
    RUN...                  these runs (run id, unique prefix, or "last")
    --last N                the last N runs the filters admit
    --label KEY=VALUE       runs carrying this label (repeatable)
    --program NAME          runs of this program
    (none of these)         the newest run, with the other shards of its run

Options:
    -o, --output FILE       the page to write (required)
    --record FILE...        read these run-record files instead of a database
                            (no database is opened or created)
    --history N             outcomes in each test's history strip (default 30)
    --by-label KEY          the label of the per-label grid (default: the one
                            with most values)
    --baseline NAME         compare benchmarks with this saved baseline
    --db PATH               the database (default: ZUNO_RESULTS_DB, else
                            zuno-results.db in the current directory)

Exit status: 0 the page was written; 2 usage error, unreadable input, or the
page could not be written.
)";

#define REPORT_TRY(expr)                       \
    do {                                       \
        const auto& report_try_ = (expr);      \
        if (!report_try_.ok()) {               \
            return Error{report_try_.error()}; \
        }                                      \
    } while (false)

struct ReportOptions {
    std::optional<std::string> db;
    std::optional<std::string> output;
    bool from_records = false;
    std::vector<std::string> records;
    std::vector<std::string> runs;
    RunFilter filter;
    std::optional<std::size_t> last;
    std::size_t history = 30;
    std::optional<std::string> by_label;
    std::optional<std::string> baseline;
};

int fail(const std::string& message) {
    std::fputs(("error: " + message + "\n").c_str(), stderr);
    return EXIT_ERROR;
}

int usage(const std::string& message) {
    return fail(message + "\n(zuno-results report --help shows the usage)");
}

std::optional<std::string> parse(const std::vector<std::string>& args, ReportOptions& o) {
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            (o.from_records ? o.records : o.runs).push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> inline_value;
        if (auto eq = arg.find('='); eq != std::string::npos && arg.starts_with("--")) {
            name = arg.substr(0, eq);
            inline_value = arg.substr(eq + 1);
        }
        const auto value = [&]() -> std::optional<std::string> {
            if (inline_value) {
                return inline_value;
            }
            if (i + 1 < args.size()) {
                return args[++i];
            }
            return std::nullopt;
        };
        if (name == "--record") {
            o.from_records = true;
            if (inline_value) {
                o.records.push_back(*inline_value);
            }
        } else if (name == "-o" || name == "--output") {
            o.output = value();
            if (!o.output || o.output->empty()) {
                return "-o needs the path of the page to write";
            }
        } else if (name == "--db") {
            o.db = value();
            if (!o.db || o.db->empty()) {
                return "--db needs a path";
            }
        } else if (name == "--program") {
            o.filter.program = value();
            if (!o.filter.program) {
                return "--program needs a program name";
            }
        } else if (name == "--label") {
            const std::optional<std::string> pair = value();
            const std::size_t eq = pair ? pair->find('=') : std::string::npos;
            if (eq == std::string::npos || !is_label_key(pair->substr(0, eq))) {
                return "--label needs KEY=VALUE (a key is letters, digits, '_', '.' and '-')";
            }
            o.filter.labels.emplace_back(pair->substr(0, eq), pair->substr(eq + 1));
        } else if (name == "--last" || name == "--history") {
            const std::optional<std::string> text = value();
            const std::optional<std::size_t> n = text ? parse_count(*text) : std::nullopt;
            if (!n) {
                return name + " needs a whole number of at least 1";
            }
            if (name == "--last") {
                o.last = *n;
            } else {
                o.history = *n;
            }
        } else if (name == "--by-label") {
            o.by_label = value();
            if (!o.by_label || !is_label_key(*o.by_label)) {
                return "--by-label needs a label key (letters, digits, '_', '.' and '-')";
            }
        } else if (name == "--baseline") {
            o.baseline = value();
            if (!o.baseline || o.baseline->empty()) {
                return "--baseline needs a baseline name";
            }
        } else {
            return "unknown option " + escape_control(arg) + " for report";
        }
    }
    if (!o.output) {
        return "report needs -o FILE, the page to write";
    }
    if (o.from_records) {
        if (o.records.empty()) {
            return "--record needs at least one run record file";
        }
        if (o.db || !o.runs.empty() || o.last || o.filter.program || !o.filter.labels.empty() ||
            o.baseline) {
            return "--record reads record files only; it cannot be combined with --db, runs, "
                   "--last, --label, --program or --baseline";
        }
    }
    return std::nullopt;
}

std::string database_path(const ReportOptions& o) {
    if (o.db) {
        return *o.db;
    }
    const char* env = std::getenv("ZUNO_RESULTS_DB");
    return env != nullptr && *env != '\0' ? env : "zuno-results.db";
}

/// The runs a report of the database shows, oldest first.
Expected<std::vector<RunRow>> choose_runs(Database& db, const ReportOptions& o) {
    if (!o.runs.empty()) {
        std::vector<RunRow> chosen;
        std::unordered_set<std::string> seen;
        for (const std::string& selector : o.runs) {
            auto run = resolve_run(db, selector, o.filter);
            REPORT_TRY(run);
            if (seen.insert(run->run_id).second) {
                chosen.push_back(std::move(*run));
            }
        }
        std::stable_sort(chosen.begin(), chosen.end(),
                         [](const RunRow& a, const RunRow& b) { return a.started < b.started; });
        return chosen;
    }
    auto all = select_runs(db, o.filter);
    REPORT_TRY(all);
    std::vector<RunRow> runs = std::move(*all);
    if (runs.empty()) {
        return Error{"no run recorded" + std::string(o.filter.program || !o.filter.labels.empty()
                                                         ? " that matches --program and --label"
                                                         : "")};
    }
    if (o.last || !o.filter.labels.empty()) {
        if (o.last && *o.last < runs.size()) {
            runs.erase(runs.begin(), runs.end() - std::ptrdiff_t(*o.last));
        }
        return runs;
    }
    // The newest run, and when it is a shard the newest run of every other
    // shard of that sharding (same program, labels and shard count).
    const RunRow newest = runs.back();
    std::vector<RunRow> chosen{newest};
    if (newest.shard_count && *newest.shard_count > 1) {
        std::unordered_set<std::int64_t> taken{*newest.shard_index};
        for (auto it = runs.rbegin() + 1; it != runs.rend(); ++it) {
            if (taken.size() == std::size_t(*newest.shard_count)) {
                break;
            }
            if (it->program == newest.program && it->labels == newest.labels &&
                it->shard_count == newest.shard_count && taken.insert(*it->shard_index).second) {
                chosen.push_back(*it);
            }
        }
        std::reverse(chosen.begin(), chosen.end());
    }
    return chosen;
}

/// The samples a benchmark's row keeps as a JSON array.
std::vector<double> samples_of(std::string_view json) {
    std::vector<double> samples;
    const auto array = nlohmann::json::parse(json, nullptr, false);
    if (array.is_array()) {
        for (const auto& v : array) {
            if (v.is_number()) {
                samples.push_back(v.get<double>());
            }
        }
    }
    return samples;
}

/// Reads a stored run back as a record: tests with messages, outputs,
/// attempts and benchmark figures (without the samples).
Expected<RunRecord> load_run(Database& db, const RunRow& row) {
    RunRecord run;
    run.run_id = row.run_id;
    run.program = row.program;
    run.host = row.host;
    run.labels = row.labels;
    run.started = row.started;
    run.wall_s = row.wall_s;
    if (row.shard_index && row.shard_count) {
        run.shard = ShardInfo{std::uint64_t(*row.shard_index), std::uint64_t(*row.shard_count)};
    }
    run.exit_status = row.exit_status;
    run.summary.passed = std::uint64_t(row.passed);
    run.summary.failed = std::uint64_t(row.failed);
    run.summary.ignored = std::uint64_t(row.ignored);
    run.summary.measured = std::uint64_t(row.measured);
    run.summary.flaky = std::uint64_t(row.flaky);

    sql::Connection& c = db.connection();
    auto tests = c.prepare(
        "SELECT n.name, r.bench_kind, r.outcome, r.duration_s, d.message, d.output"
        " FROM results r JOIN names n ON n.id = r.test"
        " LEFT JOIN details d ON d.run = r.run AND d.position = r.position"
        " WHERE r.run = ?1 ORDER BY r.position");
    REPORT_TRY(tests);
    tests->bind(1, row.key);
    while (true) {
        auto step = tests->step();
        REPORT_TRY(step);
        if (!*step) {
            break;
        }
        TestEntry t;
        t.name = tests->text(0);
        t.bench_kind = tests->int64(1) != 0;
        const std::int64_t outcome = tests->int64(2);
        t.outcome = outcome >= 0 && outcome <= 3 ? static_cast<Outcome>(outcome) : Outcome::Failed;
        t.duration_s = tests->real(3);
        if (!tests->is_null(4)) {
            t.message = std::string(tests->text(4));
        }
        if (!tests->is_null(5)) {
            t.output = std::string(tests->text(5));
        }
        run.tests.push_back(std::move(t));
    }
    auto attempts = c.prepare(
        "SELECT position, outcome, duration_s, message FROM attempts WHERE run = ?1"
        " ORDER BY position, attempt");
    REPORT_TRY(attempts);
    attempts->bind(1, row.key);
    while (true) {
        auto step = attempts->step();
        REPORT_TRY(step);
        if (!*step) {
            break;
        }
        const auto position = std::size_t(attempts->int64(0));
        if (position >= run.tests.size()) {
            continue;
        }
        Attempt a;
        const std::int64_t outcome = attempts->int64(1);
        a.outcome = outcome >= 0 && outcome <= 3 ? static_cast<Outcome>(outcome) : Outcome::Failed;
        a.duration_s = attempts->real(2);
        if (!attempts->is_null(3)) {
            a.message = std::string(attempts->text(3));
        }
        run.tests[position].attempts.push_back(std::move(a));
    }
    auto benches = c.prepare(
        "SELECT position, median_ns, deviation_ns, mb_s, samples_ns FROM benches"
        " WHERE run = ?1");
    REPORT_TRY(benches);
    benches->bind(1, row.key);
    while (true) {
        auto step = benches->step();
        REPORT_TRY(step);
        if (!*step) {
            break;
        }
        const auto position = std::size_t(benches->int64(0));
        if (position >= run.tests.size()) {
            continue;
        }
        BenchFigures b;
        b.median_ns = benches->real(1);
        b.deviation_ns = benches->real(2);
        if (!benches->is_null(3)) {
            b.mb_s = benches->real(3);
        }
        b.samples_ns = samples_of(benches->text(4));
        run.tests[position].bench = std::move(b);
    }
    return run;
}

/// History strips from the database: per program of the report, the stored
/// runs up to the newest reported one, newest first, until every reported
/// test of that program has its `limit` outcomes or the runs run out.
Expected<void> history_from_database(Database& db, ReportInput& input) {
    std::map<std::string, std::string> newest_start;                          // program -> started
    std::unordered_map<std::string, std::unordered_set<std::string>> wanted;  // program -> names
    for (const RunRecord& run : input.runs) {
        std::string& newest = newest_start[run.program];
        newest = std::max(newest, run.started);
        for (const TestEntry& t : run.tests) {
            wanted[run.program].insert(t.name);
        }
    }
    std::unordered_map<std::int64_t, std::string> names;  // id -> name, wanted ones only
    {
        std::unordered_set<std::string_view> all;
        for (const auto& [program, set] : wanted) {
            all.insert(set.begin(), set.end());
        }
        auto s = db.connection().prepare("SELECT id, name FROM names");
        REPORT_TRY(s);
        while (true) {
            auto step = s->step();
            REPORT_TRY(step);
            if (!*step) {
                break;
            }
            if (all.count(s->text(1)) > 0) {
                names.emplace(s->int64(0), std::string(s->text(1)));
            }
        }
    }
    auto results = db.connection().prepare(
        "SELECT test, outcome, attempts FROM results WHERE run = ?1 ORDER BY position");
    REPORT_TRY(results);
    for (const auto& [program, newest] : newest_start) {
        auto runs = select_runs(db, RunFilter{program, {}});
        REPORT_TRY(runs);
        std::unordered_map<std::int64_t, std::string> strips;  // newest outcome first
        std::size_t full = 0;
        const std::size_t needed = wanted[program].size();
        for (auto it = runs->rbegin(); it != runs->rend() && full < needed; ++it) {
            if (it->started > newest) {
                continue;
            }
            results->bind(1, it->key);
            while (true) {
                auto step = results->step();
                REPORT_TRY(step);
                if (!*step) {
                    break;
                }
                const std::int64_t test = results->int64(0);
                if (names.count(test) == 0) {
                    continue;
                }
                std::string& strip = strips[test];
                if (strip.size() >= input.history_limit) {
                    continue;
                }
                TestEntry probe;
                probe.outcome =
                    static_cast<Outcome>(std::clamp<std::int64_t>(results->int64(1), 0, 3));
                probe.attempts.resize(std::size_t(std::max<std::int64_t>(0, results->int64(2))));
                strip += history_letter(probe);
                if (strip.size() == input.history_limit) {
                    ++full;
                }
            }
            results->reset();
        }
        for (auto& [test, strip] : strips) {
            std::reverse(strip.begin(), strip.end());
            input.history[history_key(program, names[test])] = std::move(strip);
        }
    }
    return {};
}

/// Each reported benchmark's median and deviation over the stored runs of its program.
Expected<void> bench_series_from_database(Database& db, ReportInput& input) {
    auto s = db.connection().prepare(
        "SELECT s.started, s.run_id, b.median_ns, b.deviation_ns FROM benches b"
        " JOIN results r ON r.run = b.run AND r.position = b.position"
        " JOIN runs s ON s.id = b.run"
        " WHERE r.test = (SELECT id FROM names WHERE name = ?1) AND s.program = ?2"
        " ORDER BY s.started, s.id");
    REPORT_TRY(s);
    for (const RunRecord& run : input.runs) {
        for (const TestEntry& t : run.tests) {
            const std::string key = history_key(run.program, t.name);
            if (!t.bench || input.bench_series.count(key) > 0) {
                continue;
            }
            std::vector<BenchPoint>& points = input.bench_series[key];
            s->bind(1, t.name);
            s->bind(2, run.program);
            while (true) {
                auto step = s->step();
                REPORT_TRY(step);
                if (!*step) {
                    break;
                }
                points.push_back(
                    {std::string(s->text(0)), std::string(s->text(1)), s->real(2), s->real(3)});
            }
            s->reset();
        }
    }
    return {};
}

/// The tests in quarantine today (an entry whose end date has passed no
/// longer counts), with their reasons.
Expected<void> quarantine_from_database(Database& db, ReportInput& input) {
    auto rows = db.connection().prepare(
        "SELECT name, reason FROM quarantine WHERE until IS NULL OR until >= date('now')");
    REPORT_TRY(rows);
    while (true) {
        auto step = rows->step();
        REPORT_TRY(step);
        if (!*step) {
            break;
        }
        input.quarantined[std::string(rows->text(0))] = std::string(rows->text(1));
    }
    return {};
}

/// Bench-compare verdicts of the reported benchmarks against `name`: a saved
/// baseline, or else a run selector.
Expected<void> verdicts_from_database(Database& db, const std::string& name, ReportInput& input) {
    std::int64_t base_key = 0;
    auto named = db.connection().prepare("SELECT run FROM baselines WHERE name = ?1");
    REPORT_TRY(named);
    named->bind(1, name);
    auto found = named->step();
    REPORT_TRY(found);
    if (*found) {
        base_key = named->int64(0);
    } else {
        auto run = resolve_run(db, name, RunFilter{});
        if (!run) {
            return Error{"--baseline " + escape_control(name) +
                         ": neither a saved baseline nor a run (" + run.error() + ")"};
        }
        base_key = run->key;
    }
    RunRow base_row;
    base_row.key = base_key;
    auto base = load_run(db, base_row);
    REPORT_TRY(base);
    std::map<std::string_view, const BenchFigures*> base_figures;
    for (const TestEntry& t : base->tests) {
        if (t.bench) {
            base_figures[t.name] = &*t.bench;
        }
    }
    input.baseline = name;
    for (const RunRecord& run : input.runs) {
        for (const TestEntry& t : run.tests) {
            if (!t.bench) {
                continue;
            }
            BenchVerdict v;
            const auto it = base_figures.find(t.name);
            if (it == base_figures.end()) {
                v.verdict = "new";
            } else {
                const BenchFigures& b = *it->second;
                v.change_pct =
                    b.median_ns > 0 ? (t.bench->median_ns - b.median_ns) / b.median_ns * 100 : 0;
                v.p_value = mann_whitney_p(b.samples_ns, t.bench->samples_ns);
                v.verdict = verdict_name(
                    judge(v.change_pct, v.p_value, DEFAULT_THRESHOLD_PCT, DEFAULT_ALPHA));
            }
            input.verdicts[history_key(run.program, t.name)] = std::move(v);
        }
    }
    return {};
}

/// Writes `bytes` to `path` whole: a temporary file beside it, then a rename.
Expected<void> write_whole(const std::string& path, const std::string& bytes) {
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        return Error{std::strerror(errno)};
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int e = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            return Error{std::strerror(e)};
        }
        done += std::size_t(n);
    }
    // mkstemp makes the file private; a report is for reading by others.
    (void)::fchmod(fd, 0644);
    if (::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        ::unlink(temp.c_str());
        return Error{std::strerror(e)};
    }
    return {};
}

}  // namespace

int run_report(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg == "--") {
            break;
        }
        if (arg == "-h" || arg == "--help") {
            std::fputs(REPORT_HELP.data(), stdout);
            return EXIT_OK;
        }
    }
    ReportOptions o;
    if (auto problem = parse(args, o)) {
        return usage(*problem);
    }
    ReportInput input;
    input.history_limit = o.history;
    input.by_label = o.by_label;
    if (o.from_records) {
        std::unordered_set<std::string> seen;
        for (const std::string& file : o.records) {
            auto record = read_record(file);
            if (!record) {
                return fail(file + ": " + record.error());
            }
            // The same run given twice (a file named twice, or a copy) counts once.
            if (!seen.insert(record->run_id).second) {
                std::fputs(("warning: " + file + ": run " + record->run_id +
                            " was read before; shown once\n")
                               .c_str(),
                           stderr);
                continue;
            }
            input.runs.push_back(std::move(*record));
        }
        std::stable_sort(
            input.runs.begin(), input.runs.end(),
            [](const RunRecord& a, const RunRecord& b) { return a.started < b.started; });
        history_from_runs(input);
        input.source = o.records.size() == 1 ? "1 run record"
                                             : std::to_string(o.records.size()) + " run records";
    } else {
        const std::string path = database_path(o);
        auto db = Database::open(path, Access::Read);
        if (!db) {
            return fail(path + ": " + db.error());
        }
        auto rows = choose_runs(*db, o);
        if (!rows) {
            return fail(path + ": " + rows.error());
        }
        for (const RunRow& row : *rows) {
            auto run = load_run(*db, row);
            if (!run) {
                return fail(path + ": " + run.error());
            }
            input.runs.push_back(std::move(*run));
        }
        for (auto step :
             {history_from_database, bench_series_from_database, quarantine_from_database}) {
            if (auto done = step(*db, input); !done) {
                return fail(path + ": " + done.error());
            }
        }
        if (o.baseline) {
            if (auto done = verdicts_from_database(*db, *o.baseline, input); !done) {
                return fail(path + ": " + done.error());
            }
        }
        input.source = "the results database " + path;
    }
    if (auto written = write_whole(*o.output, render_report(input)); !written) {
        return fail("cannot write the report to " + *o.output + ": " + written.error());
    }
    return EXIT_OK;
}

}  // namespace zuno::results
