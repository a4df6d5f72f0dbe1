#include "quarantine.hpp"

#include <algorithm>
#include <ctime>

#include <nlohmann/json.hpp>

namespace zuno::results {

namespace {

std::optional<std::int64_t> parse_days(const Options& o) {
    const std::optional<std::string> text = o.value("--days");
    if (!text) {
        return DEFAULT_QUARANTINE_DAYS;
    }
    const std::optional<std::size_t> days = parse_count(*text);
    if (!days || *days > 36500) {
        return std::nullopt;
    }
    return std::int64_t(*days);
}

int report_db_error(const Options& o, const std::string& what) {
    write_err("error: " + database_path(o) + ": " + what + "\n");
    return EXIT_ERROR;
}

int quarantine_add(Options& o, const std::vector<std::string>& names) {
    const std::optional<std::string> reason = o.value("--reason");
    if (names.empty()) {
        return usage_error("quarantine add needs the names of the tests");
    }
    if (!reason || reason->empty()) {
        return usage_error("quarantine add needs --reason TEXT (why the test is quarantined)");
    }
    const std::optional<std::int64_t> days = parse_days(o);
    if (!days) {
        return usage_error("--days needs a whole number of days from 1 to 36500");
    }
    for (const std::string& name : names) {
        if (name.empty()) {
            return usage_error("a test name is empty");
        }
    }
    auto db = open_db(o, Access::Write);
    if (!db) {
        return EXIT_ERROR;
    }
    const std::string until = utc_date_in(*days);
    if (auto begun = db->connection().exec("BEGIN IMMEDIATE"); !begun) {
        return report_db_error(o, begun.error());
    }
    for (const std::string& name : names) {
        if (auto done = quarantine_test(*db, name, *reason, until); !done) {
            (void)db->connection().exec("ROLLBACK");
            return report_db_error(o, done.error());
        }
    }
    if (auto done = db->connection().exec("COMMIT"); !done) {
        (void)db->connection().exec("ROLLBACK");
        return report_db_error(o, done.error());
    }
    for (const std::string& name : names) {
        write_out("quarantined until " + until + ": " + escape_control(name) + "\n");
    }
    return EXIT_OK;
}

int quarantine_remove(Options& o, const std::vector<std::string>& names) {
    if (names.empty()) {
        return usage_error("quarantine remove needs the names of the tests");
    }
    auto db = open_db(o, Access::Write);
    if (!db) {
        return EXIT_ERROR;
    }
    auto s = db->connection().prepare("DELETE FROM quarantine WHERE name = ?1");
    if (!s) {
        return report_db_error(o, s.error());
    }
    int status = EXIT_OK;
    for (const std::string& name : names) {
        s->bind(1, name);
        if (auto done = s->run(); !done) {
            return report_db_error(o, done.error());
        }
        if (db->connection().changes() == 0) {
            write_err("error: not in the quarantine: " + escape_control(name) + "\n");
            status = EXIT_PARTIAL;
        } else {
            write_out("released: " + escape_control(name) + "\n");
        }
        s->reset();
    }
    return status;
}

int quarantine_list(Options& o) {
    auto db = open_db(o, Access::Read);
    if (!db) {
        return EXIT_ERROR;
    }
    // Failures since the quarantine began: results of runs started after it.
    auto s = db->connection().prepare(R"sql(
SELECT q.name, q.reason, q.added, q.until,
       (SELECT count(*) FROM results r JOIN runs u ON u.id = r.run
        WHERE r.test = (SELECT id FROM names WHERE name = q.name) AND r.outcome = 1
          AND u.started >= q.added)
FROM quarantine q ORDER BY q.name
)sql");
    if (!s) {
        return report_db_error(o, s.error());
    }
    const std::string today = utc_date_in(0);
    Table table;
    table.columns = {{"name", "test"},   {"reason", "reason"},
                     {"added", "added"}, {"until", "until"},
                     {"state", "state"}, {"failures", "failures since added", true}};
    while (true) {
        auto row = s->step();
        if (!row) {
            return report_db_error(o, row.error());
        }
        if (!*row) {
            break;
        }
        const bool open_ended = s->is_null(3);
        const std::string until = open_ended ? "" : std::string(s->text(3));
        const std::string added(s->text(2));
        table.rows.push_back({text_cell(std::string(s->text(0))),
                              text_cell(std::string(s->text(1))), Cell{added.substr(0, 10), added},
                              open_ended ? null_cell() : text_cell(until),
                              text_cell(!open_ended && until < today ? "ended" : "active"),
                              count_cell(s->int64(4))});
    }
    return print_table(table, o);
}

int quarantine_export(Options& o) {
    const std::optional<std::string> output = o.value("-o");
    if (output && output->empty()) {
        return usage_error("-o needs a file name");
    }
    auto db = open_db(o, Access::Read);
    if (!db) {
        return EXIT_ERROR;
    }
    auto s = db->connection().prepare("SELECT name, reason, until FROM quarantine ORDER BY name");
    if (!s) {
        return report_db_error(o, s.error());
    }
    nlohmann::ordered_json tests = nlohmann::ordered_json::array();
    while (true) {
        auto row = s->step();
        if (!row) {
            return report_db_error(o, row.error());
        }
        if (!*row) {
            break;
        }
        nlohmann::ordered_json entry = {{"name", std::string(s->text(0))},
                                        {"reason", std::string(s->text(1))}};
        entry["until"] = s->is_null(2) ? nlohmann::ordered_json(nullptr)
                                       : nlohmann::ordered_json(std::string(s->text(2)));
        tests.push_back(std::move(entry));
    }
    const nlohmann::ordered_json document = {
        {"format", QUARANTINE_FORMAT}, {"version", QUARANTINE_VERSION}, {"tests", tests}};
    const std::string text = dump_json(document);
    return write_document(output, text, "quarantine");
}

}  // namespace

std::string utc_date_in(std::int64_t days) {
    const std::time_t when = std::time(nullptr) + std::time_t(days) * 86400;
    std::tm tm{};
    gmtime_r(&when, &tm);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday);
    return text;
}

Expected<void> quarantine_test(Database& db, const std::string& name, const std::string& reason,
                               const std::optional<std::string>& until) {
    auto s = db.connection().prepare(
        "INSERT INTO quarantine (name, reason, added, until) VALUES (?1, ?2, ?3, ?4)"
        " ON CONFLICT (name) DO UPDATE SET reason = excluded.reason, until = excluded.until");
    if (!s) {
        return Error{s.error()};
    }
    s->bind(1, name);
    s->bind(2, reason);
    s->bind(3, utc_now());
    s->bind(4, until);
    return s->run();
}

int cmd_quarantine(Options& o) {
    if (o.operands.empty()) {
        return usage_error("quarantine needs add, remove, list or export");
    }
    const std::string verb = o.operands.front();
    const std::vector<std::string> names(o.operands.begin() + 1, o.operands.end());
    const bool adds = verb == "add";
    if (!adds && (o.has("--reason") || o.has("--days"))) {
        return usage_error("--reason and --days belong to quarantine add");
    }
    if (verb != "export" && o.has("-o")) {
        return usage_error("-o belongs to quarantine export");
    }
    if (verb != "list" && o.json) {
        return usage_error("--json belongs to quarantine list");
    }
    if (adds) {
        return quarantine_add(o, names);
    }
    if (verb == "remove") {
        return quarantine_remove(o, names);
    }
    if ((verb == "list" || verb == "export") && !names.empty()) {
        return usage_error("quarantine " + verb + " takes no operands");
    }
    if (verb == "list") {
        return quarantine_list(o);
    }
    if (verb == "export") {
        return quarantine_export(o);
    }
    return usage_error("unknown quarantine command " + escape_control(verb) +
                       " (add, remove, list or export)");
}

int quarantine_flaky(Database& db, const Table& flaky, const Options& o) {
    const std::optional<std::string> text = o.value("--quarantine-days");
    const std::optional<std::size_t> days = text ? parse_count(*text) : std::nullopt;
    const std::string until = utc_date_in(std::int64_t(days.value_or(0)));
    if (auto begun = db.connection().exec("BEGIN IMMEDIATE"); !begun) {
        return report_db_error(o, begun.error());
    }
    std::vector<std::string> done;
    for (const auto& row : flaky.rows) {
        // Columns: test, program, runs, failures, ...; a test listed for two
        // programs is quarantined once, with its first (most failing) row.
        const std::string& name = row[0].text;
        if (std::find(done.begin(), done.end(), name) != done.end()) {
            continue;
        }
        const std::string reason =
            "flaky: " + row[3].text + " failures in " + row[2].text + " runs";
        if (auto added = quarantine_test(db, row[0].json.get<std::string>(), reason, until);
            !added) {
            (void)db.connection().exec("ROLLBACK");
            return report_db_error(o, added.error());
        }
        done.push_back(name);
    }
    if (auto committed = db.connection().exec("COMMIT"); !committed) {
        (void)db.connection().exec("ROLLBACK");
        return report_db_error(o, committed.error());
    }
    for (const std::string& name : done) {
        write_err("quarantined until " + until + ": " + escape_control(name) + "\n");
    }
    return EXIT_OK;
}

}  // namespace zuno::results
