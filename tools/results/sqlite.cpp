#include "sqlite.hpp"

#include <sqlite3.h>

namespace zuno::results::sql {

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(stmt_);
        stmt_ = std::exchange(other.stmt_, nullptr);
        db_ = other.db_;
    }
    return *this;
}

Statement::~Statement() {
    sqlite3_finalize(stmt_);
}

void Statement::bind(int index, std::int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
}

void Statement::bind(int index, double value) {
    sqlite3_bind_double(stmt_, index, value);
}

void Statement::bind(int index, std::string_view text) {
    sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

void Statement::bind(int index, std::nullopt_t) {
    sqlite3_bind_null(stmt_, index);
}

Expected<bool> Statement::step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        return false;
    }
    std::string message = sqlite3_errmsg(db_);
    sqlite3_reset(stmt_);
    return Error{std::move(message)};
}

Expected<void> Statement::run() {
    auto stepped = step();
    if (!stepped) {
        return Error{stepped.error()};
    }
    sqlite3_reset(stmt_);
    return {};
}

void Statement::reset() {
    sqlite3_reset(stmt_);
}

bool Statement::is_null(int column) const {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::int64_t Statement::int64(int column) const {
    return sqlite3_column_int64(stmt_, column);
}

double Statement::real(int column) const {
    return sqlite3_column_double(stmt_, column);
}

std::string_view Statement::text(int column) const {
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    if (data == nullptr) {
        return {};
    }
    return {data, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column))};
}

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        sqlite3_close_v2(db_);
        db_ = std::exchange(other.db_, nullptr);
    }
    return *this;
}

Connection::~Connection() {
    sqlite3_close_v2(db_);
}

Expected<Connection> Connection::open(const std::string& path, OpenMode mode) {
    int flags = SQLITE_OPEN_NOMUTEX;
    switch (mode) {
        case OpenMode::Create:
            flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
            break;
        case OpenMode::Existing:
            flags |= SQLITE_OPEN_READWRITE;
            break;
        case OpenMode::ReadOnly:
            flags |= SQLITE_OPEN_READONLY;
            break;
    }
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    Connection connection(db);
    if (rc != SQLITE_OK) {
        return Error{db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc)};
    }
    sqlite3_extended_result_codes(db, 1);
    return connection;
}

Expected<Statement> Connection::prepare(std::string_view sql) {
    sqlite3_stmt* stmt = nullptr;
    const int rc =
        sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return Error{sqlite3_errmsg(db_)};
    }
    return Statement(stmt, db_);
}

Expected<void> Connection::exec(const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message != nullptr ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        return Error{std::move(text)};
    }
    return {};
}

Expected<std::int64_t> Connection::query_int(std::string_view sql) {
    auto stmt = prepare(sql);
    if (!stmt) {
        return Error{stmt.error()};
    }
    auto row = stmt->step();
    if (!row) {
        return Error{row.error()};
    }
    return *row ? stmt->int64(0) : 0;
}

std::int64_t Connection::last_insert_rowid() const {
    return sqlite3_last_insert_rowid(db_);
}

int Connection::changes() const {
    return sqlite3_changes(db_);
}

void Connection::busy_timeout(int ms) {
    sqlite3_busy_timeout(db_, ms);
}

std::string Connection::last_error() const {
    return sqlite3_errmsg(db_);
}

}  // namespace zuno::results::sql
