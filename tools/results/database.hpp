#pragma once
// The results database: one SQLite file holding every ingested run record.
// Opening checks that the file is a results database (or a new, empty one),
// switches it to WAL with a busy timeout, so several processes may ingest at
// once, and brings an older schema up to date. The schema version is kept in
// PRAGMA user_version; a database of a newer version, or any other file, is
// refused and left untouched. One Database belongs to one thread at a time.

#include <cstdint>
#include <string>
#include <string_view>

#include "expected.hpp"
#include "record.hpp"
#include "sqlite.hpp"

namespace zuno::results {

/// The schema version this program writes; migrations lead up to it from
/// every earlier version (0 is a new, empty file).
inline constexpr std::int64_t SCHEMA_VERSION = 3;
/// Marks a results database in PRAGMA application_id ("ZRes").
inline constexpr std::int64_t APPLICATION_ID = 0x5a526573;
/// At most this many bytes of a test's output are stored: the first and the
/// last half, with a line saying how much was left out between them.
inline constexpr std::size_t STORED_OUTPUT_LIMIT = 16u << 20;
/// How long a connection waits for another process's lock.
inline constexpr int BUSY_TIMEOUT_MS = 10'000;

/// What the caller is going to do with the database.
enum class Access : std::uint8_t {
    /// Store runs: the file is created when it is missing.
    Write = 0,
    /// Query only: a missing file is an error.
    Read = 1,
};

/// What became of one ingested record.
enum class IngestOutcome : std::uint8_t {
    Stored = 0,
    /// A run with the same run_id was stored before; nothing changed.
    AlreadyRecorded = 1,
};

/// An open results database.
class Database {
public:
    /// Opens (and for Access::Write creates) the database at `path`. The
    /// error names no file; the caller prefixes the path.
    static Expected<Database> open(const std::string& path, Access access);

    /// Stores `record`, read from `source`, in one transaction: all of it or,
    /// on any error, nothing.
    Expected<IngestOutcome> ingest(const RunRecord& record, std::string_view source);

    /// The connection, for queries.
    sql::Connection& connection() { return db_; }

private:
    explicit Database(sql::Connection db) : db_(std::move(db)) {}
    /// Puts the database in WAL mode (kept in the file once set).
    Expected<void> switch_to_wal();
    Expected<void> migrate();
    Expected<IngestOutcome> store(const RunRecord& record, std::string_view source);
    sql::Connection db_;
};

/// Now, UTC, in the record's timestamp form.
std::string utc_now();

/// `output` cut to STORED_OUTPUT_LIMIT bytes as the database keeps it.
std::string bounded_output(std::string_view output);

}  // namespace zuno::results
