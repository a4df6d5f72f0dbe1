#include "database.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <iterator>
#include <thread>

#include <nlohmann/json.hpp>

namespace zuno::results {

namespace {

// Each entry brings the schema from its index to the next version. Entries are
// never changed once released; a new version appends one.
constexpr std::string_view MIGRATIONS[] = {
    // 0 -> 1
    R"sql(
CREATE TABLE runs (
    id INTEGER PRIMARY KEY,
    run_id TEXT NOT NULL UNIQUE,
    program TEXT NOT NULL,
    args TEXT NOT NULL,
    host TEXT NOT NULL,
    started TEXT NOT NULL,
    wall_s REAL NOT NULL,
    shard_index INTEGER,
    shard_count INTEGER,
    seed TEXT,
    threads INTEGER NOT NULL,
    isolate INTEGER NOT NULL,
    exit_status INTEGER NOT NULL,
    passed INTEGER NOT NULL,
    failed INTEGER NOT NULL,
    ignored INTEGER NOT NULL,
    measured INTEGER NOT NULL,
    filtered_out INTEGER NOT NULL,
    flaky INTEGER NOT NULL,
    tests INTEGER NOT NULL,
    source TEXT NOT NULL,
    ingested TEXT NOT NULL
);
CREATE INDEX runs_by_started ON runs(started, id);
CREATE INDEX runs_by_program ON runs(program, started, id);
CREATE TABLE labels (
    run INTEGER NOT NULL REFERENCES runs(id),
    key TEXT NOT NULL,
    value TEXT NOT NULL,
    PRIMARY KEY (run, key)
) WITHOUT ROWID;
CREATE INDEX labels_by_pair ON labels(key, value, run);
CREATE TABLE names (
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL UNIQUE
);
CREATE TABLE results (
    run INTEGER NOT NULL REFERENCES runs(id),
    position INTEGER NOT NULL,
    test INTEGER NOT NULL REFERENCES names(id),
    bench_kind INTEGER NOT NULL,
    outcome INTEGER NOT NULL,
    duration_s REAL NOT NULL,
    attempts INTEGER NOT NULL,
    PRIMARY KEY (run, position)
) WITHOUT ROWID;
CREATE INDEX results_by_test ON results(test, run);
CREATE INDEX results_trouble ON results(run, test) WHERE outcome = 1 OR attempts > 1;
CREATE TABLE details (
    run INTEGER NOT NULL,
    position INTEGER NOT NULL,
    message TEXT,
    output TEXT,
    PRIMARY KEY (run, position)
);
CREATE TABLE attempts (
    run INTEGER NOT NULL,
    position INTEGER NOT NULL,
    attempt INTEGER NOT NULL,
    outcome INTEGER NOT NULL,
    duration_s REAL NOT NULL,
    message TEXT,
    PRIMARY KEY (run, position, attempt)
);
CREATE TABLE benches (
    run INTEGER NOT NULL,
    position INTEGER NOT NULL,
    median_ns REAL NOT NULL,
    deviation_ns REAL NOT NULL,
    mb_s REAL,
    samples_ns TEXT NOT NULL,
    PRIMARY KEY (run, position)
);
)sql",
    // 1 -> 2: the quarantine and the named benchmark baselines.
    R"sql(
CREATE TABLE quarantine (
    name TEXT PRIMARY KEY,
    reason TEXT NOT NULL,
    added TEXT NOT NULL,
    until TEXT
) WITHOUT ROWID;
CREATE TABLE baselines (
    name TEXT PRIMARY KEY,
    run INTEGER NOT NULL REFERENCES runs(id),
    saved TEXT NOT NULL
) WITHOUT ROWID;
)sql",
    // 2 -> 3: results by test carry their outcome, attempts and duration, so
    // that flaky, history and slow read no table rows.
    R"sql(
DROP INDEX results_by_test;
CREATE INDEX results_by_test ON results(test, run, outcome, attempts, duration_s);
)sql",
};
static_assert(std::size(MIGRATIONS) == SCHEMA_VERSION);

Error sql_error(std::string_view what, const std::string& why) {
    return Error{std::string(what) + ": " + why};
}

#define RESULTS_TRY(expr)                       \
    do {                                        \
        const auto& results_try_ = (expr);      \
        if (!results_try_.ok()) {               \
            return Error{results_try_.error()}; \
        }                                       \
    } while (false)

/// Compact JSON text; the values come from a parsed document, so no text needs replacing.
std::string json_text(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

/// Where `text` may be cut at or before `at` without splitting a UTF-8 sequence.
std::size_t char_boundary(std::string_view text, std::size_t at) {
    while (at > 0 && at < text.size() && (static_cast<unsigned char>(text[at]) & 0xc0) == 0x80) {
        --at;
    }
    return at;
}

/// Rolls back an open transaction unless committed.
class Transaction {
public:
    explicit Transaction(sql::Connection& db) : db_(db) {}
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction() {
        if (open_) {
            (void)db_.exec("ROLLBACK");
        }
    }
    /// BEGIN IMMEDIATE: takes the write lock now (waiting up to the busy
    /// timeout), so that what is read inside stays true until the commit.
    Expected<void> begin() {
        RESULTS_TRY(db_.exec("BEGIN IMMEDIATE"));
        open_ = true;
        return {};
    }
    Expected<void> commit() {
        RESULTS_TRY(db_.exec("COMMIT"));
        open_ = false;
        return {};
    }

private:
    sql::Connection& db_;
    bool open_ = false;
};

/// What a file holds, judged from its header pragmas.
struct Identity {
    std::int64_t application_id = 0;
    std::int64_t user_version = 0;
    std::int64_t objects = 0;
};

Expected<Identity> identify(sql::Connection& db) {
    Identity id;
    auto app = db.query_int("PRAGMA application_id");
    if (!app) {
        return Error{app.error()};
    }
    id.application_id = *app;
    auto version = db.query_int("PRAGMA user_version");
    if (!version) {
        return Error{version.error()};
    }
    id.user_version = *version;
    auto objects = db.query_int("SELECT count(*) FROM sqlite_schema");
    if (!objects) {
        return Error{objects.error()};
    }
    id.objects = *objects;
    return id;
}

/// Refuses a file that is not a results database this program can use.
Expected<void> check_identity(const Identity& id) {
    const bool empty = id.application_id == 0 && id.user_version == 0 && id.objects == 0;
    if (!empty && id.application_id != APPLICATION_ID) {
        return Error{"not a results database (an SQLite database of another kind)"};
    }
    if (id.user_version > SCHEMA_VERSION) {
        return Error{"written by a newer version of zuno-results (schema version " +
                     std::to_string(id.user_version) + "; this program knows up to " +
                     std::to_string(SCHEMA_VERSION) + "); not changed"};
    }
    return {};
}

}  // namespace

std::string utc_now() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, int(ms));
    return text;
}

std::string bounded_output(std::string_view output) {
    if (output.size() <= STORED_OUTPUT_LIMIT) {
        return std::string(output);
    }
    const std::size_t half = STORED_OUTPUT_LIMIT / 2;
    const std::size_t head = char_boundary(output, half);
    const std::size_t tail = char_boundary(output, output.size() - half);
    std::string kept(output.substr(0, head));
    kept += "\n[... " + std::to_string(tail - head) + " bytes of output omitted ...]\n";
    kept += output.substr(tail);
    return kept;
}

Expected<Database> Database::open(const std::string& path, Access access) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return Error{"is a directory, not a results database"};
        }
    } else if (errno == ENOENT && access == Access::Read) {
        return Error{"no such results database (ingest a run record first)"};
    }
    auto db = sql::Connection::open(
        path, access == Access::Write ? sql::OpenMode::Create : sql::OpenMode::Existing);
    if (!db) {
        return Error{"cannot open: " + db.error()};
    }
    db->busy_timeout(BUSY_TIMEOUT_MS);
    auto id = identify(*db);
    if (!id) {
        // SQLite's "file is not a database", or a file it cannot read.
        return Error{"not a results database: " + id.error()};
    }
    RESULTS_TRY(check_identity(*id));
    const bool empty = id->objects == 0 && id->user_version == 0;
    if (empty && access == Access::Read) {
        return Error{"not a results database (the file is empty)"};
    }
    Database database(std::move(*db));
    if (access == Access::Write || id->user_version < SCHEMA_VERSION) {
        RESULTS_TRY(database.switch_to_wal());
        RESULTS_TRY(database.migrate());
    }
    return database;
}

Expected<void> Database::switch_to_wal() {
    auto mode = db_.prepare("PRAGMA journal_mode=WAL");
    if (!mode) {
        return Error{"cannot switch to WAL: " + mode.error()};
    }
    // Another process switching a new database at the same moment makes this
    // fail at once with "database is locked": SQLite does not wait for the
    // busy timeout here. Try again until the timeout has passed.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(BUSY_TIMEOUT_MS);
    for (;;) {
        auto row = mode->step();
        mode->reset();
        if (row) {
            return {};
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return Error{"cannot switch to WAL: " + row.error()};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

Expected<void> Database::migrate() {
    Transaction tx(db_);
    if (auto begun = tx.begin(); !begun) {
        return Error{"cannot write: " + begun.error()};
    }
    // Read again under the write lock: another process may have created or
    // migrated the schema since the first look.
    auto id = identify(db_);
    if (!id) {
        return Error{id.error()};
    }
    RESULTS_TRY(check_identity(*id));
    if (id->user_version == SCHEMA_VERSION) {
        return {};
    }
    for (std::int64_t v = id->user_version; v < SCHEMA_VERSION; ++v) {
        if (auto done = db_.exec(std::string(MIGRATIONS[v])); !done) {
            return sql_error("cannot update the schema to version " + std::to_string(v + 1),
                             done.error());
        }
    }
    RESULTS_TRY(db_.exec("PRAGMA application_id = " + std::to_string(APPLICATION_ID) +
                         "; PRAGMA user_version = " + std::to_string(SCHEMA_VERSION)));
    if (auto done = tx.commit(); !done) {
        return Error{"cannot write: " + done.error()};
    }
    return {};
}

Expected<IngestOutcome> Database::ingest(const RunRecord& record, std::string_view source) {
    Transaction tx(db_);
    RESULTS_TRY(tx.begin());
    auto stored = store(record, source);
    if (!stored) {
        return stored;
    }
    if (*stored == IngestOutcome::Stored) {
        RESULTS_TRY(tx.commit());
    }
    return stored;
}

Expected<IngestOutcome> Database::store(const RunRecord& r, std::string_view source) {
    auto seen = db_.prepare("SELECT 1 FROM runs WHERE run_id = ?1");
    RESULTS_TRY(seen);
    seen->bind(1, r.run_id);
    auto found = seen->step();
    RESULTS_TRY(found);
    seen->reset();
    if (*found) {
        return IngestOutcome::AlreadyRecorded;
    }

    auto run = db_.prepare(
        "INSERT INTO runs (run_id, program, args, host, started, wall_s, shard_index, shard_count,"
        " seed, threads, isolate, exit_status, passed, failed, ignored, measured, filtered_out,"
        " flaky, tests, source, ingested)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17,"
        " ?18, ?19, ?20, ?21)");
    RESULTS_TRY(run);
    run->bind(1, r.run_id);
    run->bind(2, r.program);
    run->bind(3, json_text(nlohmann::json(r.args)));
    run->bind(4, r.host);
    run->bind(5, r.started);
    run->bind(6, r.wall_s);
    if (r.shard) {
        run->bind(7, std::int64_t(r.shard->index));
        run->bind(8, std::int64_t(r.shard->count));
    } else {
        run->bind(7, std::nullopt);
        run->bind(8, std::nullopt);
    }
    if (r.seed) {
        run->bind(9, std::to_string(*r.seed));
    } else {
        run->bind(9, std::nullopt);
    }
    run->bind(10, std::int64_t(r.threads));
    run->bind(11, std::int64_t(r.isolate));
    run->bind(12, r.exit_status);
    const Summary& s = r.summary;
    run->bind(13, std::int64_t(s.passed));
    run->bind(14, std::int64_t(s.failed));
    run->bind(15, std::int64_t(s.ignored));
    run->bind(16, std::int64_t(s.measured));
    run->bind(17, std::int64_t(s.filtered_out));
    run->bind(18, std::int64_t(s.flaky));
    run->bind(19, std::int64_t(r.tests.size()));
    run->bind(20, source);
    run->bind(21, utc_now());
    RESULTS_TRY(run->run());
    const std::int64_t run_key = db_.last_insert_rowid();

    auto label = db_.prepare("INSERT OR REPLACE INTO labels (run, key, value) VALUES (?1, ?2, ?3)");
    RESULTS_TRY(label);
    for (const auto& [key, value] : r.labels) {
        label->bind(1, run_key);
        label->bind(2, key);
        label->bind(3, value);
        RESULTS_TRY(label->run());
    }

    auto add_name = db_.prepare("INSERT OR IGNORE INTO names (name) VALUES (?1)");
    RESULTS_TRY(add_name);
    auto find_name = db_.prepare("SELECT id FROM names WHERE name = ?1");
    RESULTS_TRY(find_name);
    auto result = db_.prepare(
        "INSERT INTO results (run, position, test, bench_kind, outcome, duration_s, attempts)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    RESULTS_TRY(result);
    auto detail =
        db_.prepare("INSERT INTO details (run, position, message, output) VALUES (?1, ?2, ?3, ?4)");
    RESULTS_TRY(detail);
    auto attempt = db_.prepare(
        "INSERT INTO attempts (run, position, attempt, outcome, duration_s, message)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    RESULTS_TRY(attempt);
    auto bench = db_.prepare(
        "INSERT INTO benches (run, position, median_ns, deviation_ns, mb_s, samples_ns)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    RESULTS_TRY(bench);

    std::int64_t position = 0;
    for (const TestEntry& t : r.tests) {
        add_name->bind(1, t.name);
        RESULTS_TRY(add_name->run());
        std::int64_t name_key = 0;
        if (db_.changes() > 0) {
            name_key = db_.last_insert_rowid();
        } else {
            find_name->bind(1, t.name);
            auto row = find_name->step();
            RESULTS_TRY(row);
            name_key = find_name->int64(0);
            find_name->reset();
        }
        result->bind(1, run_key);
        result->bind(2, position);
        result->bind(3, name_key);
        result->bind(4, std::int64_t(t.bench_kind));
        result->bind(5, std::int64_t(t.outcome));
        result->bind(6, t.duration_s);
        result->bind(7, std::int64_t(t.attempts.size()));
        RESULTS_TRY(result->run());
        if (t.message || t.output) {
            detail->bind(1, run_key);
            detail->bind(2, position);
            detail->bind(3, t.message);
            if (t.output) {
                detail->bind(4, bounded_output(*t.output));
            } else {
                detail->bind(4, std::nullopt);
            }
            RESULTS_TRY(detail->run());
        }
        std::int64_t number = 0;
        for (const Attempt& a : t.attempts) {
            attempt->bind(1, run_key);
            attempt->bind(2, position);
            attempt->bind(3, number++);
            attempt->bind(4, std::int64_t(a.outcome));
            attempt->bind(5, a.duration_s);
            attempt->bind(6, a.message);
            RESULTS_TRY(attempt->run());
        }
        if (t.bench) {
            bench->bind(1, run_key);
            bench->bind(2, position);
            bench->bind(3, t.bench->median_ns);
            bench->bind(4, t.bench->deviation_ns);
            bench->bind(5, t.bench->mb_s);
            bench->bind(6, json_text(nlohmann::json(t.bench->samples_ns)));
            RESULTS_TRY(bench->run());
        }
        ++position;
    }
    return IngestOutcome::Stored;
}

}  // namespace zuno::results
