#pragma once
// What every zuno-results command receives and the helpers they share: the
// parsed command line (shared options, the command's own options, operands),
// where answers and messages go, and how the database is opened. A command is
// a function of Options returning the exit status; its row in the dispatch
// table (cli.cpp) names the shared options it takes and declares its own.

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli.hpp"
#include "database.hpp"
#include "expected.hpp"
#include "queries.hpp"
#include "table.hpp"

namespace zuno::results {

/// Shared options a command may accept.
enum Accepts : unsigned {
    JSON = 1u << 0,
    FILTER = 1u << 1,
    LAST = 1u << 2,
    TOP = 1u << 3,
};

/// One option of a command's own, such as "--shards" or "-o".
struct OwnOption {
    std::string_view name;
    /// Takes a value ("--days 7", "--days=7"); otherwise a switch.
    bool takes_value = true;
    /// May be given more than once.
    bool repeatable = false;
};

/// A command's parsed command line.
struct Options {
    std::optional<std::string> db;
    bool json = false;
    RunFilter filter;
    std::optional<std::size_t> last;
    std::optional<std::size_t> top;
    std::vector<std::string> operands;
    /// The command's own options by name: every value given, in order (an
    /// empty text for a switch).
    std::map<std::string, std::vector<std::string>, std::less<>> own;

    /// The value of own option `name`, when given.
    [[nodiscard]] std::optional<std::string> value(std::string_view name) const {
        auto it = own.find(name);
        if (it == own.end() || it->second.empty()) {
            return std::nullopt;
        }
        return it->second.back();
    }
    /// Whether own option `name` was given.
    [[nodiscard]] bool has(std::string_view name) const { return own.contains(name); }
};

/// Writes to standard output (answers) or standard error (messages).
void write_out(std::string_view text);
void write_err(std::string_view text);
/// Reports a usage error ("error: ..." and a pointer to --help); returns EXIT_ERROR.
int usage_error(const std::string& message);
/// The database path: --db, else ZUNO_RESULTS_DB, else zuno-results.db.
std::string database_path(const Options& o);
/// Opens the database, or reports why not on standard error.
std::optional<Database> open_db(const Options& o, Access access);
/// Writes `table` as text or JSON; a query error is reported (status 2).
int print_table(const Expected<Table>& table, const Options& o);
/// A whole number of at least 1, or nothing.
std::optional<std::size_t> parse_count(std::string_view text);
/// Writes `text` to `path` whole: through a temporary file beside it and a
/// rename, so a reader never sees half a file. The error names no file.
Expected<void> write_file_atomically(const std::string& path, std::string_view text);
/// Writes a command's document to the file `output` names (whole, as above), else
/// to standard output. A failure is reported as "cannot write the `what` to FILE";
/// returns EXIT_OK or EXIT_ERROR.
int write_document(const std::optional<std::string>& output, std::string_view text,
                   std::string_view what);

}  // namespace zuno::results
