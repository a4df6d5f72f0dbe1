// The helpers every zuno-results command shares (see command.hpp).

#include "command.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli.hpp"

namespace zuno::results {

namespace {

/// The database used when neither --db nor ZUNO_RESULTS_DB names one.
constexpr std::string_view DEFAULT_DB = "zuno-results.db";

}  // namespace

void write_out(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void write_err(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
}

int usage_error(const std::string& message) {
    write_err("error: " + message + "\n(zuno-results --help shows the usage)\n");
    return EXIT_ERROR;
}

std::string database_path(const Options& o) {
    if (o.db) {
        return *o.db;
    }
    const char* env = std::getenv("ZUNO_RESULTS_DB");
    if (env != nullptr && *env != '\0') {
        return env;
    }
    return std::string(DEFAULT_DB);
}

std::optional<std::size_t> parse_count(std::string_view text) {
    std::size_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value == 0) {
        return std::nullopt;
    }
    return value;
}

std::optional<Database> open_db(const Options& o, Access access) {
    const std::string path = database_path(o);
    auto db = Database::open(path, access);
    if (!db) {
        write_err("error: " + path + ": " + db.error() + "\n");
        return std::nullopt;
    }
    return std::move(*db);
}

int print_table(const Expected<Table>& table, const Options& o) {
    if (!table) {
        write_err("error: " + database_path(o) + ": " + table.error() + "\n");
        return EXIT_ERROR;
    }
    write_out(o.json ? render_json(*table) : render_text(*table));
    return EXIT_OK;
}

Expected<void> write_file_atomically(const std::string& path, std::string_view text) {
    const std::string temporary = path + ".tmp." + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return Error{std::strerror(errno)};
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int saved = errno;
            ::close(fd);
            ::unlink(temporary.c_str());
            return Error{std::strerror(saved)};
        }
        done += std::size_t(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        const int saved = errno;
        ::unlink(temporary.c_str());
        return Error{std::strerror(saved)};
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temporary.c_str());
        return Error{std::strerror(saved)};
    }
    return {};
}

int write_document(const std::optional<std::string>& output, std::string_view text,
                   std::string_view what) {
    if (!output) {
        write_out(text);
        return EXIT_OK;
    }
    if (auto written = write_file_atomically(*output, text); !written) {
        write_err("error: cannot write the " + std::string(what) + " to " + *output + ": " +
                  written.error() + "\n");
        return EXIT_ERROR;
    }
    return EXIT_OK;
}

}  // namespace zuno::results
