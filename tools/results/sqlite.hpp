#pragma once
// Thin owners of an SQLite connection and its prepared statements. Every call
// that can fail returns Expected with SQLite's own message; nothing throws.
// A Connection and its Statements belong to one thread at a time.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "expected.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace zuno::results::sql {

class Connection;

/// One prepared statement; finalized when destroyed. Parameters are numbered from 1.
class Statement {
public:
    Statement() = default;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    Statement(Statement&& other) noexcept
        : stmt_(std::exchange(other.stmt_, nullptr)), db_(other.db_) {}
    Statement& operator=(Statement&& other) noexcept;
    ~Statement();

    void bind(int index, std::int64_t value);
    void bind(int index, double value);
    void bind(int index, std::string_view text);
    void bind(int index, std::nullopt_t);
    /// Binds the value, or NULL when there is none.
    template <typename T>
    void bind(int index, const std::optional<T>& value) {
        if (value) {
            bind(index, *value);
        } else {
            bind(index, std::nullopt);
        }
    }

    /// Runs the statement to its next row: true with a row, false when done.
    Expected<bool> step();
    /// Runs a statement that returns no rows to its end.
    Expected<void> run();
    /// Makes the statement ready to run again; bindings are kept.
    void reset();

    [[nodiscard]] bool is_null(int column) const;
    [[nodiscard]] std::int64_t int64(int column) const;
    [[nodiscard]] double real(int column) const;
    /// The column's text, valid until the next step or reset.
    [[nodiscard]] std::string_view text(int column) const;

private:
    friend class Connection;
    Statement(sqlite3_stmt* stmt, sqlite3* db) : stmt_(stmt), db_(db) {}
    sqlite3_stmt* stmt_ = nullptr;
    sqlite3* db_ = nullptr;
};

/// How a connection is opened.
enum class OpenMode : std::uint8_t {
    /// Read and write, creating the file when it is missing.
    Create = 0,
    /// Read and write an existing file only.
    Existing = 1,
    /// Read an existing file only.
    ReadOnly = 2,
};

/// One database connection; closed when destroyed.
class Connection {
public:
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    Connection(Connection&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}
    Connection& operator=(Connection&& other) noexcept;
    ~Connection();

    /// Opens `path`; the error is SQLite's reason.
    static Expected<Connection> open(const std::string& path, OpenMode mode);

    /// Prepares one statement.
    Expected<Statement> prepare(std::string_view sql);
    /// Runs one or more statements that return no rows.
    Expected<void> exec(const std::string& sql);
    /// Runs a statement that yields one integer (a pragma, a count).
    Expected<std::int64_t> query_int(std::string_view sql);
    /// The rowid of the last insertion.
    [[nodiscard]] std::int64_t last_insert_rowid() const;
    /// Rows changed by the last statement.
    [[nodiscard]] int changes() const;
    /// Waits up to `ms` milliseconds for another connection's lock.
    void busy_timeout(int ms);
    /// SQLite's message for the last error.
    [[nodiscard]] std::string last_error() const;

private:
    explicit Connection(sqlite3* db) : db_(db) {}
    sqlite3* db_ = nullptr;
};

}  // namespace zuno::results::sql
