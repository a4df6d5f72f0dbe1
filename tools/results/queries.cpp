#include "queries.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
#include <unordered_map>

namespace zuno::results {

namespace {

#define QUERY_TRY(expr)                       \
    do {                                      \
        const auto& query_try_ = (expr);      \
        if (!query_try_.ok()) {               \
            return Error{query_try_.error()}; \
        }                                     \
    } while (false)

/// The first twelve digits of a run id, as the text tables show it.
std::string short_id(const std::string& run_id) {
    return run_id.substr(0, 12);
}

Cell labels_cell(const std::vector<std::pair<std::string, std::string>>& labels) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (const auto& [key, value] : labels) {
        object[key] = value;
    }
    return Cell{labels.empty() ? "-" : labels_text(labels), std::move(object)};
}

Cell shard_cell(const RunRow& run) {
    if (!run.shard_index || !run.shard_count) {
        return null_cell();
    }
    nlohmann::ordered_json object = {{"index", *run.shard_index}, {"count", *run.shard_count}};
    return Cell{std::to_string(*run.shard_index) + "/" + std::to_string(*run.shard_count),
                std::move(object)};
}

Cell run_id_cell(const std::string& run_id) {
    return Cell{short_id(run_id), run_id};
}

Cell outcome_cell(std::int64_t outcome) {
    if (outcome < 0 || outcome > 3) {
        return text_cell("?");
    }
    return text_cell(std::string(outcome_name(static_cast<Outcome>(outcome))));
}

/// Fills the connection's temporary table `sel` with the given runs.
Expected<void> load_selection(Database& db, const std::vector<RunRow>& runs) {
    sql::Connection& c = db.connection();
    QUERY_TRY(
        c.exec("CREATE TEMP TABLE IF NOT EXISTS sel (id INTEGER PRIMARY KEY, program TEXT NOT NULL,"
               " started TEXT NOT NULL); DELETE FROM temp.sel;"));
    auto insert = c.prepare("INSERT INTO temp.sel (id, program, started) VALUES (?1, ?2, ?3)");
    QUERY_TRY(insert);
    for (const RunRow& run : runs) {
        insert->bind(1, run.key);
        insert->bind(2, run.program);
        insert->bind(3, run.started);
        QUERY_TRY(insert->run());
    }
    return {};
}

bool is_hex_prefix(const std::string& text) {
    return !text.empty() && text.size() <= 32 && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    });
}

double median_of(std::vector<double>& values) {
    const std::size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + mid, values.end());
    const double upper = values[mid];
    if (values.size() % 2 == 1) {
        return upper;
    }
    const double lower = *std::max_element(values.begin(), values.begin() + mid);
    return (lower + upper) / 2;
}

const char* const RUN_COLUMNS =
    "SELECT id, run_id, program, host, started, wall_s, shard_index, shard_count, passed, failed,"
    " ignored, measured, flaky, exit_status FROM runs";

RunRow read_run_row(const sql::Statement& s) {
    RunRow run;
    run.key = s.int64(0);
    run.run_id = s.text(1);
    run.program = s.text(2);
    run.host = s.text(3);
    run.started = s.text(4);
    run.wall_s = s.real(5);
    if (!s.is_null(6)) {
        run.shard_index = s.int64(6);
    }
    if (!s.is_null(7)) {
        run.shard_count = s.int64(7);
    }
    run.passed = s.int64(8);
    run.failed = s.int64(9);
    run.ignored = s.int64(10);
    run.measured = s.int64(11);
    run.flaky = s.int64(12);
    run.exit_status = s.int64(13);
    return run;
}

Expected<void> attach_labels(Database& db, std::vector<RunRow>& runs) {
    if (runs.empty()) {
        return {};
    }
    std::unordered_map<std::int64_t, RunRow*> by_key;
    for (RunRow& run : runs) {
        by_key.emplace(run.key, &run);
    }
    auto s = db.connection().prepare("SELECT run, key, value FROM labels ORDER BY run, key");
    QUERY_TRY(s);
    while (true) {
        auto row = s->step();
        QUERY_TRY(row);
        if (!*row) {
            break;
        }
        if (auto it = by_key.find(s->int64(0)); it != by_key.end()) {
            it->second->labels.emplace_back(std::string(s->text(1)), std::string(s->text(2)));
        }
    }
    return {};
}

}  // namespace

std::string labels_text(const std::vector<std::pair<std::string, std::string>>& labels) {
    std::string text;
    for (const auto& [key, value] : labels) {
        if (!text.empty()) {
            text += ',';
        }
        text += key + "=" + value;
    }
    return text;
}

Expected<std::vector<RunRow>> select_runs(Database& db, const RunFilter& filter) {
    std::string sql = std::string(RUN_COLUMNS) + " WHERE (?1 IS NULL OR program = ?1)";
    for (std::size_t i = 0; i < filter.labels.size(); ++i) {
        const std::string k = std::to_string(2 + 2 * i);
        const std::string v = std::to_string(3 + 2 * i);
        sql += " AND EXISTS (SELECT 1 FROM labels l WHERE l.run = runs.id AND l.key = ?" + k +
               " AND l.value = ?" + v + ")";
    }
    sql += " ORDER BY started, id";
    auto s = db.connection().prepare(sql);
    QUERY_TRY(s);
    s->bind(1, filter.program);
    for (std::size_t i = 0; i < filter.labels.size(); ++i) {
        s->bind(int(2 + 2 * i), filter.labels[i].first);
        s->bind(int(3 + 2 * i), filter.labels[i].second);
    }
    std::vector<RunRow> runs;
    while (true) {
        auto row = s->step();
        QUERY_TRY(row);
        if (!*row) {
            break;
        }
        runs.push_back(read_run_row(*s));
    }
    QUERY_TRY(attach_labels(db, runs));
    return runs;
}

std::vector<RunRow> last_per_program(std::vector<RunRow> runs, std::size_t n) {
    std::map<std::string, std::size_t> seen;
    std::vector<RunRow> kept;
    for (auto it = runs.rbegin(); it != runs.rend(); ++it) {
        if (seen[it->program]++ < n) {
            kept.push_back(std::move(*it));
        }
    }
    std::reverse(kept.begin(), kept.end());
    return kept;
}

Expected<RunRow> resolve_run(Database& db, const std::string& selector, const RunFilter& filter) {
    if (selector == "last") {
        auto runs = select_runs(db, filter);
        QUERY_TRY(runs);
        if (runs->empty()) {
            return Error{"no run recorded" + std::string(filter.program || !filter.labels.empty()
                                                             ? " that matches --program and --label"
                                                             : "")};
        }
        return std::move(runs->back());
    }
    if (!is_hex_prefix(selector)) {
        return Error{"\"" + escape_control(selector) +
                     "\" is not a run id (lowercase hexadecimal digits) or \"last\""};
    }
    auto s = db.connection().prepare(std::string(RUN_COLUMNS) +
                                     " WHERE run_id >= ?1 AND run_id < ?1 || 'g' LIMIT 2");
    QUERY_TRY(s);
    s->bind(1, selector);
    std::vector<RunRow> found;
    while (true) {
        auto row = s->step();
        QUERY_TRY(row);
        if (!*row) {
            break;
        }
        found.push_back(read_run_row(*s));
    }
    if (found.empty()) {
        return Error{"no run with id " + selector};
    }
    if (found.size() > 1) {
        return Error{"run id prefix " + selector + " is ambiguous; give more digits"};
    }
    QUERY_TRY(attach_labels(db, found));
    return std::move(found.front());
}

Expected<Table> query_runs(Database& db, const RunFilter& filter, std::optional<std::size_t> last) {
    auto runs = select_runs(db, filter);
    QUERY_TRY(runs);
    std::size_t first = 0;
    if (last && *last < runs->size()) {
        first = runs->size() - *last;
    }
    Table table;
    table.columns = {
        {"run_id", "id"},           {"started", "started"},     {"program", "program"},
        {"host", "host"},           {"labels", "labels"},       {"shard", "shard"},
        {"passed", "passed", true}, {"failed", "failed", true}, {"ignored", "ignored", true},
        {"flaky", "flaky", true},   {"wall_s", "wall", true}};
    for (std::size_t i = first; i < runs->size(); ++i) {
        const RunRow& r = (*runs)[i];
        table.rows.push_back({run_id_cell(r.run_id), text_cell(r.started), text_cell(r.program),
                              text_cell(r.host), labels_cell(r.labels), shard_cell(r),
                              count_cell(r.passed), count_cell(r.failed), count_cell(r.ignored),
                              count_cell(r.flaky), seconds_cell(r.wall_s)});
    }
    return table;
}

Expected<Table> query_show(Database& db, const RunRow& run) {
    sql::Connection& c = db.connection();
    // Attempts of the run's retried tests, by position.
    std::unordered_map<std::int64_t, std::vector<std::pair<std::int64_t, double>>> attempts;
    std::unordered_map<std::int64_t, std::vector<std::optional<std::string>>> attempt_messages;
    auto a = c.prepare(
        "SELECT position, outcome, duration_s, message FROM attempts WHERE run = ?1"
        " ORDER BY position, attempt");
    QUERY_TRY(a);
    a->bind(1, run.key);
    while (true) {
        auto row = a->step();
        QUERY_TRY(row);
        if (!*row) {
            break;
        }
        attempts[a->int64(0)].emplace_back(a->int64(1), a->real(2));
        attempt_messages[a->int64(0)].push_back(
            a->is_null(3) ? std::nullopt : std::optional<std::string>(a->text(3)));
    }
    auto s = c.prepare(
        "SELECT r.position, n.name, r.outcome, r.duration_s, d.message FROM results r"
        " JOIN names n ON n.id = r.test"
        " LEFT JOIN details d ON d.run = r.run AND d.position = r.position"
        " WHERE r.run = ?1 ORDER BY r.position");
    QUERY_TRY(s);
    s->bind(1, run.key);
    Table table;
    table.columns = {{"name", "test"},
                     {"outcome", "outcome"},
                     {"duration_s", "duration", true},
                     {"attempts", "attempts"},
                     {"message", "message"}};
    while (true) {
        auto row = s->step();
        QUERY_TRY(row);
        if (!*row) {
            break;
        }
        Cell attempts_cell = null_cell();
        if (auto it = attempts.find(s->int64(0)); it != attempts.end()) {
            nlohmann::ordered_json list = nlohmann::ordered_json::array();
            std::string text;
            const auto& messages = attempt_messages[s->int64(0)];
            for (std::size_t i = 0; i < it->second.size(); ++i) {
                const auto& [outcome, duration] = it->second[i];
                const Cell o = outcome_cell(outcome);
                nlohmann::ordered_json entry = {{"outcome", o.json}, {"duration_s", duration}};
                if (messages[i]) {
                    entry["message"] = *messages[i];
                }
                list.push_back(std::move(entry));
                text += (text.empty() ? "" : ",") + o.text;
            }
            attempts_cell = Cell{std::move(text), std::move(list)};
        }
        Cell message = s->is_null(4) ? null_cell() : text_cell(std::string(s->text(4)));
        table.rows.push_back({text_cell(std::string(s->text(1))), outcome_cell(s->int64(2)),
                              seconds_cell(s->real(3)), std::move(attempts_cell),
                              std::move(message)});
    }
    return table;
}

Expected<std::vector<std::string>> query_failed(Database& db, const std::vector<RunRow>& runs) {
    QUERY_TRY(load_selection(db, runs));
    auto s = db.connection().prepare(
        "SELECT DISTINCT n.name FROM temp.sel s"
        " JOIN results t INDEXED BY results_trouble ON t.run = s.id"
        " JOIN names n ON n.id = t.test"
        " WHERE (t.outcome = 1 OR t.attempts > 1) AND t.outcome = 1 ORDER BY n.name");
    QUERY_TRY(s);
    std::vector<std::string> names;
    while (true) {
        auto row = s->step();
        QUERY_TRY(row);
        if (!*row) {
            break;
        }
        names.emplace_back(s->text(0));
    }
    return names;
}

Expected<Table> query_flaky(Database& db, const RunFilter& filter, std::size_t last) {
    auto runs = select_runs(db, filter);
    QUERY_TRY(runs);
    QUERY_TRY(load_selection(db, last_per_program(std::move(*runs), last)));
    // Candidates come from the small index of troubled results (failures and
    // retries); only their other results are read, from the covering index.
    auto s = db.connection().prepare(R"sql(
SELECT n.name, s.program, sum(r.outcome != 2) AS runs, sum(r.outcome = 1) AS failures,
       sum(r.outcome = 0 AND r.attempts > 1) AS flaky_passes, sum(r.outcome = 0) AS passes,
       max(CASE WHEN r.outcome = 1 OR r.attempts > 1 THEN s.started END) AS last_failure
FROM (SELECT DISTINCT t.test FROM temp.sel s2
      JOIN results t INDEXED BY results_trouble ON t.run = s2.id
      WHERE t.outcome = 1 OR t.attempts > 1) c
JOIN results r ON r.test = c.test
JOIN temp.sel s ON s.id = r.run
JOIN names n ON n.id = r.test
GROUP BY r.test, s.program
HAVING (failures > 0 AND passes > 0) OR flaky_passes > 0
ORDER BY failures DESC, last_failure DESC, n.name, s.program
)sql");
    QUERY_TRY(s);
    Table table;
    table.columns = {{"name", "test"},
                     {"program", "program"},
                     {"runs", "runs", true},
                     {"failures", "failures", true},
                     {"flaky_passes", "flaky passes", true},
                     {"last_failure", "last failure"}};
    while (true) {
        auto row = s->step();
        QUERY_TRY(row);
        if (!*row) {
            break;
        }
        table.rows.push_back({text_cell(std::string(s->text(0))),
                              text_cell(std::string(s->text(1))), count_cell(s->int64(2)),
                              count_cell(s->int64(3)), count_cell(s->int64(4)),
                              text_cell(std::string(s->text(6)))});
    }
    return table;
}

Expected<Table> query_slow(Database& db, const RunFilter& filter, std::size_t last,
                           std::size_t top) {
    auto runs = select_runs(db, filter);
    QUERY_TRY(runs);
    std::vector<RunRow> window = last_per_program(std::move(*runs), last);
    std::unordered_map<std::int64_t, std::size_t> program_of_run;
    std::vector<std::string> programs;
    for (const RunRow& run : window) {
        auto it = std::find(programs.begin(), programs.end(), run.program);
        program_of_run[run.key] = static_cast<std::size_t>(it - programs.begin());
        if (it == programs.end()) {
            programs.push_back(run.program);
        }
    }
    // Durations per (test, program), read run by run along the primary key.
    std::unordered_map<std::uint64_t, std::vector<double>> durations;
    const auto key_of = [&](std::int64_t test, std::size_t program) {
        return static_cast<std::uint64_t>(test) * programs.size() + program;
    };
    auto s = db.connection().prepare(
        "SELECT test, duration_s FROM results WHERE run = ?1 AND outcome != 2");
    QUERY_TRY(s);
    for (const RunRow& run : window) {
        s->bind(1, run.key);
        const std::size_t program = program_of_run[run.key];
        while (true) {
            auto row = s->step();
            QUERY_TRY(row);
            if (!*row) {
                break;
            }
            durations[key_of(s->int64(0), program)].push_back(s->real(1));
        }
        s->reset();
    }
    struct Slow {
        std::int64_t test;
        std::size_t program;
        std::size_t runs;
        double median;
        double max;
    };
    std::vector<Slow> slow;
    slow.reserve(durations.size());
    for (auto& [key, values] : durations) {
        const double max = *std::max_element(values.begin(), values.end());
        slow.push_back({static_cast<std::int64_t>(key / programs.size()), key % programs.size(),
                        values.size(), median_of(values), max});
    }
    const std::size_t shown = std::min(top, slow.size());
    std::partial_sort(slow.begin(), slow.begin() + shown, slow.end(),
                      [](const Slow& a, const Slow& b) {
                          if (a.median != b.median) {
                              return a.median > b.median;
                          }
                          return a.test < b.test;
                      });
    auto name = db.connection().prepare("SELECT name FROM names WHERE id = ?1");
    QUERY_TRY(name);
    Table table;
    table.columns = {{"name", "test"},
                     {"program", "program"},
                     {"runs", "runs", true},
                     {"median_s", "median", true},
                     {"max_s", "max", true}};
    for (std::size_t i = 0; i < shown; ++i) {
        name->bind(1, slow[i].test);
        auto row = name->step();
        QUERY_TRY(row);
        std::string text(*row ? name->text(0) : "");
        name->reset();
        table.rows.push_back({text_cell(std::move(text)), text_cell(programs[slow[i].program]),
                              count_cell(std::int64_t(slow[i].runs)), seconds_cell(slow[i].median),
                              seconds_cell(slow[i].max)});
    }
    return table;
}

Expected<Table> query_history(Database& db, const RunFilter& filter, const std::string& test,
                              std::size_t last) {
    auto runs = select_runs(db, filter);
    QUERY_TRY(runs);
    std::unordered_map<std::int64_t, const RunRow*> by_key;
    for (const RunRow& run : *runs) {
        by_key.emplace(run.key, &run);
    }
    QUERY_TRY(load_selection(db, *runs));
    auto s = db.connection().prepare(
        "SELECT r.run, r.outcome, r.duration_s, r.attempts FROM results r"
        " JOIN temp.sel s ON s.id = r.run"
        " WHERE r.test = (SELECT id FROM names WHERE name = ?1)"
        " ORDER BY s.started DESC, s.id DESC, r.position LIMIT ?2");
    QUERY_TRY(s);
    s->bind(1, test);
    s->bind(2, std::int64_t(std::min<std::size_t>(last, INT64_MAX)));
    Table table;
    table.columns = {{"started", "started"},
                     {"run_id", "run"},
                     {"program", "program"},
                     {"outcome", "outcome"},
                     {"duration_s", "duration", true},
                     {"attempts", "attempts", true},
                     {"host", "host"},
                     {"labels", "labels"}};
    while (true) {
        auto row = s->step();
        QUERY_TRY(row);
        if (!*row) {
            break;
        }
        const RunRow& run = *by_key.at(s->int64(0));
        table.rows.push_back({text_cell(run.started), run_id_cell(run.run_id),
                              text_cell(run.program), outcome_cell(s->int64(1)),
                              seconds_cell(s->real(2)),
                              count_cell(std::max<std::int64_t>(1, s->int64(3))),
                              text_cell(run.host), labels_cell(run.labels)});
    }
    if (table.rows.empty()) {
        return Error{"no run recorded a test named \"" + escape_control(test) + "\""};
    }
    std::reverse(table.rows.begin(), table.rows.end());
    return table;
}

Expected<Table> query_by_label(Database& db, const RunFilter& filter, const std::string& key) {
    auto runs = select_runs(db, filter);
    QUERY_TRY(runs);
    QUERY_TRY(load_selection(db, *runs));
    sql::Connection& c = db.connection();
    auto only = c.prepare(R"sql(
SELECT min(l.value), n.name FROM temp.sel s
JOIN results t INDEXED BY results_trouble
     ON t.run = s.id AND (t.outcome = 1 OR t.attempts > 1) AND t.outcome = 1
JOIN labels l ON l.run = s.id AND l.key = ?1
JOIN names n ON n.id = t.test
GROUP BY t.test HAVING count(DISTINCT l.value) = 1
ORDER BY n.name
)sql");
    QUERY_TRY(only);
    only->bind(1, key);
    std::map<std::string, std::vector<std::string>> only_here;
    while (true) {
        auto row = only->step();
        QUERY_TRY(row);
        if (!*row) {
            break;
        }
        only_here[std::string(only->text(0))].emplace_back(only->text(1));
    }
    auto s = c.prepare(R"sql(
SELECT l.value, count(*), sum(r.passed + r.failed + r.ignored + r.measured), sum(r.failed),
       sum(r.passed + r.failed)
FROM temp.sel s JOIN runs r ON r.id = s.id JOIN labels l ON l.run = s.id AND l.key = ?1
GROUP BY l.value ORDER BY l.value
)sql");
    QUERY_TRY(s);
    s->bind(1, key);
    Table table;
    table.columns = {{"value", key},
                     {"runs", "runs", true},
                     {"results", "results", true},
                     {"failures", "failures", true},
                     {"failure_rate", "rate", true},
                     {"failed_only_here", "failed only here"}};
    while (true) {
        auto row = s->step();
        QUERY_TRY(row);
        if (!*row) {
            break;
        }
        std::string value(s->text(0));
        const std::int64_t failures = s->int64(3);
        const std::int64_t executed = s->int64(4);
        const double rate = executed > 0 ? double(failures) / double(executed) : 0.0;
        char rate_text[32];
        std::snprintf(rate_text, sizeof rate_text, "%.1f%%", rate * 100);
        const std::vector<std::string>& names = only_here[value];
        std::string names_text;
        for (const std::string& name : names) {
            names_text += (names_text.empty() ? "" : ", ") + name;
        }
        table.rows.push_back({text_cell(value), count_cell(s->int64(1)), count_cell(s->int64(2)),
                              count_cell(failures), Cell{rate_text, rate},
                              Cell{names.empty() ? "-" : names_text, names}});
    }
    return table;
}

}  // namespace zuno::results
