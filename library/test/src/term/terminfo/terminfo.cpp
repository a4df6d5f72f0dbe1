#include "term/terminfo/terminfo.hpp"

#include "fd.hpp"
#include "text.hpp"
#include "utf8.hpp"
#include "term/terminfo/parser/compiled.hpp"

#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace test::term::terminfo {

namespace {

std::vector<std::uint8_t> bytes_of(std::string_view text) {
    return {text.begin(), text.end()};
}

// True when the file system reports metadata for the path (file or directory).
bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The user's home directory: HOME when set and non-empty, else the password
// database entry of the real user.
std::optional<std::string> home_dir() {
    if (auto home = rt::env_var_os("HOME"); home && !home->empty()) {
        return home;
    }
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd pw {};
    struct passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr && result->pw_dir[0] != '\0') {
        return std::string(result->pw_dir);
    }
    return std::nullopt;
}

// The first character of a UTF-8 name: its bytes and its code point.
// nullopt when the name is empty or does not start with a valid sequence.
std::optional<std::pair<std::string_view, std::uint32_t>> first_char(std::string_view name) {
    if (name.empty()) {
        return std::nullopt;
    }
    const rt::Utf8Char c = rt::utf8_decode(name, 0);
    if (!c.valid) {
        return std::nullopt;
    }
    return std::pair{name.substr(0, c.len), c.code_point};
}

std::string hex(std::uint32_t v) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string out;
    do {
        out.insert(out.begin(), DIGITS[v % 16]);
        v /= 16;
    } while (v != 0);
    return out;
}

}  // namespace

std::string Error::display() const {
    if (std::holds_alternative<TermUnset>(cause)) {
        return "TERM environment variable undefined";
    }
    if (const auto* malformed = std::get_if<MalformedTerminfo>(&cause)) {
        return malformed->message;
    }
    return std::get<rt::IoError>(cause).display();
}

Result<TermInfo, Error> TermInfo::from_env() {
    const auto term = rt::env_var("TERM");
    if (!term) {
        return Err{Error{Error::TermUnset{}}};
    }
    auto loaded = from_name(*term);
    if (!loaded && rt::env_var("MSYSCON") == std::optional<std::string>("mintty.exe")) {
        return msys_terminfo();
    }
    return loaded;
}

Result<TermInfo, Error> TermInfo::from_name(std::string_view name) {
    const auto path = get_dbpath_for_term(name);
    if (!path) {
        return Err{Error{rt::IoError::custom(rt::ErrorKind::NotFound, "terminfo file not found")}};
    }
    return from_path(*path);
}

Result<TermInfo, Error> TermInfo::from_path(const std::string& path) {
    // O_NONBLOCK keeps a FIFO without a writer from blocking the open; regular
    // files ignore it.
    const auto fd = rt::Fd::open(path, O_RDONLY | O_NONBLOCK);
    if (!fd) {
        return Err{Error{fd.error()}};
    }
    auto data = fd->read_to_end(MAX_ENTRY_BYTES);
    // A failed read is reported as the parser reports its own failed reads.
    if (!data) {
        return Err{Error{Error::MalformedTerminfo{data.error().display()}}};
    }
    auto parsed = parser::parse(data.value(), false);
    if (!parsed) {
        return Err{Error{Error::MalformedTerminfo{parsed.error()}}};
    }
    return std::move(parsed.value());
}

std::optional<std::string> get_dbpath_for_term(std::string_view name) {
    const auto first = first_char(name);
    if (!first) {
        return std::nullopt;
    }

    std::vector<std::string> dirs;
    if (auto terminfo = rt::env_var_os("TERMINFO")) {
        dirs.push_back(*terminfo);
    }
    if (auto list = rt::env_var("TERMINFO_DIRS")) {
        std::string_view rest = *list;
        while (true) {
            const std::size_t colon = rest.find(':');
            const std::string_view entry = rest.substr(0, colon);
            dirs.emplace_back(entry.empty() ? std::string_view("/usr/share/terminfo") : entry);
            if (colon == std::string_view::npos) {
                break;
            }
            rest.remove_prefix(colon + 1);
        }
    } else {
        if (auto home = home_dir()) {
            dirs.push_back(*home + "/.terminfo");
        }
        for (const char* dir : {"/etc/terminfo", "/lib/terminfo", "/usr/share/terminfo",
                                "/boot/system/data/terminfo"}) {
            dirs.emplace_back(dir);
        }
    }

    const std::string letter(first->first);
    const std::string code = hex(first->second);
    for (const auto& dir : dirs) {
        if (!exists(dir)) {
            continue;
        }
        for (const auto& sub : {letter, code}) {
            std::string path = dir + "/" + sub + "/" + std::string(name);
            if (exists(path)) {
                return path;
            }
        }
    }
    return std::nullopt;
}

TermInfo msys_terminfo() {
    TermInfo info;
    info.aliases = {"cygwin"};
    info.num_caps.emplace("colors", 8);
    info.str_caps.emplace("sgr0", bytes_of("\x1b[0m"));
    info.str_caps.emplace("bold", bytes_of("\x1b[1m"));
    info.str_caps.emplace("setaf", bytes_of("\x1b[3%p1%dm"));
    info.str_caps.emplace("setab", bytes_of("\x1b[4%p1%dm"));
    return info;
}

TerminfoTerminal::TerminfoTerminal(std::unique_ptr<rt::Write> out, TermInfo terminfo)
    : out_(std::move(out)), terminfo_(std::move(terminfo)), colour_count_(0) {
    if (terminfo_.str_caps.contains("setaf") && terminfo_.str_caps.contains("setab")) {
        if (auto it = terminfo_.num_caps.find("colors"); it != terminfo_.num_caps.end()) {
            colour_count_ = it->second;
        }
    }
}

std::unique_ptr<TerminfoTerminal> TerminfoTerminal::new_with_terminfo(
    std::unique_ptr<rt::Write> out, TermInfo terminfo) {
    return std::unique_ptr<TerminfoTerminal>(
        new TerminfoTerminal(std::move(out), std::move(terminfo)));
}

std::uint32_t TerminfoTerminal::dim_if_necessary(std::uint32_t colour) const {
    if (colour >= colour_count_ && colour >= 8 && colour < 16) {
        return colour - 8;
    }
    return colour;
}

rt::IoResult<bool> TerminfoTerminal::fg(std::uint32_t colour) {
    colour = dim_if_necessary(colour);
    if (colour < colour_count_) {
        const Param param{static_cast<std::int32_t>(colour)};
        return apply_cap("setaf", std::span(&param, 1));
    }
    return false;
}

const std::vector<std::uint8_t>* TerminfoTerminal::reset_cap() const {
    for (const char* name : {"sgr0", "sgr", "op"}) {
        if (auto it = terminfo_.str_caps.find(name); it != terminfo_.str_caps.end()) {
            return &it->second;
        }
    }
    return nullptr;
}

rt::IoResult<bool> TerminfoTerminal::reset() {
    if (const std::vector<std::uint8_t>* cap = reset_cap()) {
        RT_TRY(write_expanded(*cap, {}));
        return true;
    }
    return false;
}

std::optional<std::string> TerminfoTerminal::colour_problem() const {
    const auto setaf = terminfo_.str_caps.find("setaf");
    for (const std::uint32_t wanted : {color::RED, color::GREEN, color::YELLOW, color::CYAN}) {
        const std::uint32_t colour = dim_if_necessary(wanted);
        if (colour >= colour_count_ || setaf == terminfo_.str_caps.end()) {
            continue;  // fg() writes nothing for it
        }
        const Param param{static_cast<std::int32_t>(colour)};
        Variables vars;
        if (auto expanded = expand(setaf->second, std::span(&param, 1), vars); !expanded) {
            return expanded.error();
        }
    }
    if (const std::vector<std::uint8_t>* cap = reset_cap()) {
        Variables vars;
        if (auto expanded = expand(*cap, {}, vars); !expanded) {
            return expanded.error();
        }
    }
    return std::nullopt;
}

rt::IoResult<bool> TerminfoTerminal::apply_cap(std::string_view name,
                                               std::span<const Param> params) {
    const auto it = terminfo_.str_caps.find(name);
    if (it == terminfo_.str_caps.end()) {
        return false;
    }
    RT_TRY(write_expanded(it->second, params));
    return true;
}

rt::IoResult<void> TerminfoTerminal::write_expanded(std::span<const std::uint8_t> cap,
                                                    std::span<const Param> params) {
    Variables vars;
    auto expanded = expand(cap, params, vars);
    if (!expanded) {
        return rt::IoError::custom(rt::ErrorKind::InvalidData, expanded.error());
    }
    return out_->write_all(expanded.value());
}

rt::IoResult<void> TerminfoTerminal::write_all(std::span<const std::uint8_t> bytes) {
    return out_->write_all(bytes);
}

rt::IoResult<void> TerminfoTerminal::flush() {
    return out_->flush();
}

}  // namespace test::term::terminfo
