#include "term/terminfo/terminfo.hpp"

#include "io.hpp"
#include "term/terminal.hpp"
#include "term/terminfo/parm.hpp"
#include "term/terminfo/parser/compiled.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using test::term::terminfo::Error;
using test::term::terminfo::get_dbpath_for_term;
using test::term::terminfo::msys_terminfo;
using test::term::terminfo::Param;
using test::term::terminfo::TermInfo;
using test::term::terminfo::TerminfoTerminal;
using test::term::terminfo::Variables;
namespace parser = test::term::terminfo::parser;

using Bytes = std::vector<std::uint8_t>;

Bytes to_bytes(std::string_view s) {
    return {s.begin(), s.end()};
}
std::string to_text(const Bytes& b) {
    return {b.begin(), b.end()};
}

// ---------------------------------------------------------------------------
// Helpers: environment, temporary directories, child processes.

// Saves the variables the terminfo lookup reads and restores them when destroyed.
class EnvGuard : public test::support::EnvGuard {
public:
    EnvGuard() : test::support::EnvGuard(kNames) {}

private:
    static constexpr const char* kNames[] = {"TERM", "TERMINFO", "TERMINFO_DIRS", "MSYSCON",
                                             "HOME"};
};

// A fresh directory under the system temporary directory, removed afterwards.
class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "terminfo-test-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
        }
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

void write_file(const std::string& path, const Bytes& data) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// True when `name` is an executable on PATH.
bool have_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

struct Output {
    int status = -1;  // exit status, or -1 when the program could not run
    std::string out;  // standard output
};

// Runs a program found on PATH with the current environment and collects its
// standard output; standard error goes to /dev/null.
Output run_program(const std::vector<std::string>& args) {
    Output result;
    int fds[2];
    if (::pipe(fds) != 0) {
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    char buf[4096];
    ssize_t n = 0;
    while (rc == 0 && (n = ::read(fds[0], buf, sizeof buf)) != 0) {
        if (n > 0) {
            result.out.append(buf, static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    ::close(fds[0]);
    int status = 0;
    if (rc == 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    return result;
}

// Compiles terminfo source with tic into `dir`; false when tic failed.
bool tic(const std::string& dir, const std::string& source, bool extended = false) {
    const std::string src = dir + "/entry.src";
    write_file(src, to_bytes(source));
    std::vector<std::string> args{"tic", "-o", dir};
    if (extended) {
        args.push_back("-x");
    }
    args.push_back(src);
    return run_program(args).status == 0;
}

#define REQUIRE_TIC()                           \
    if (!have_program("tic")) {                 \
        GTEST_SKIP() << "tic is not installed"; \
    }

// A writer that appends into a vector owned by the test.
class SharedVecWriter final : public rt::Write {
public:
    explicit SharedVecWriter(Bytes& sink) : sink_(sink) {}
    rt::IoResult<void> write_all(std::span<const std::uint8_t> bytes) override {
        sink_.insert(sink_.end(), bytes.begin(), bytes.end());
        return {};
    }
    rt::IoResult<void> flush() override { return {}; }

private:
    Bytes& sink_;
};

std::unique_ptr<TerminfoTerminal> terminal_into(Bytes& sink, TermInfo info) {
    return TerminfoTerminal::new_with_terminfo(std::make_unique<SharedVecWriter>(sink),
                                               std::move(info));
}

// Every compiled entry of the system database (first hit per name wins, in the
// default search order).
std::vector<std::pair<std::string, std::string>> system_entries() {
    std::vector<std::pair<std::string, std::string>> out;  // name, directory
    std::set<std::string> seen;
    for (const char* dir : {"/etc/terminfo", "/lib/terminfo", "/usr/share/terminfo"}) {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(dir, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_regular_file() && it.depth() == 1 &&
                seen.insert(it->path().filename().string()).second) {
                out.emplace_back(it->path().filename().string(), dir);
            }
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

// ---------------------------------------------------------------------------
// Hand-built compiled entries.

struct RawEntry {
    std::uint16_t magic = parser::MAGIC_LEGACY;
    std::string names = "raw|hand-built entry";
    Bytes bools;
    std::vector<std::uint32_t> numbers;
    std::vector<std::uint16_t> offsets;
    Bytes table;
    // Header overrides: when set, written instead of the true size.
    std::optional<std::int16_t> names_size, bools_count, numbers_count, offsets_count, table_size;

    Bytes bytes() const {
        Bytes out;
        auto u16 = [&](std::uint32_t v) {
            out.push_back(static_cast<std::uint8_t>(v));
            out.push_back(static_cast<std::uint8_t>(v >> 8));
        };
        const std::size_t names_len = names.size() + 1;
        u16(magic);
        u16(static_cast<std::uint16_t>(names_size.value_or(static_cast<std::int16_t>(names_len))));
        u16(static_cast<std::uint16_t>(
            bools_count.value_or(static_cast<std::int16_t>(bools.size()))));
        u16(static_cast<std::uint16_t>(
            numbers_count.value_or(static_cast<std::int16_t>(numbers.size()))));
        u16(static_cast<std::uint16_t>(
            offsets_count.value_or(static_cast<std::int16_t>(offsets.size()))));
        u16(static_cast<std::uint16_t>(
            table_size.value_or(static_cast<std::int16_t>(table.size()))));
        out.insert(out.end(), names.begin(), names.end());
        out.push_back(0);
        out.insert(out.end(), bools.begin(), bools.end());
        if ((names_len + bools.size()) % 2 == 1) {
            out.push_back(0);
        }
        for (auto n : numbers) {
            u16(n);
            if (magic == parser::MAGIC_EXTENDED) {
                u16(n >> 16);
            }
        }
        for (auto o : offsets) {
            u16(o);
        }
        out.insert(out.end(), table.begin(), table.end());
        return out;
    }
};

std::string parse_error(const Bytes& data) {
    auto r = parser::parse(data, false);
    return r ? "<parsed>" : r.error();
}

// ---------------------------------------------------------------------------
// The capability name tables.

TEST(CapabilityNames, HaveTheCompiledFormatShape) {
    EXPECT_EQ(parser::BOOL_NAMES.size(), 44U);
    EXPECT_EQ(parser::NUM_NAMES.size(), 39U);
    EXPECT_EQ(parser::STRING_NAMES.size(), 414U);
    EXPECT_EQ(std::count(parser::STRING_NAMES.begin(), parser::STRING_NAMES.end(), "_"), 124);
    EXPECT_EQ(parser::NUM_NAMES[13], "colors");
    EXPECT_EQ(parser::STRING_NAMES[39], "sgr0");
    EXPECT_EQ(parser::STRING_NAMES[131], "sgr");
    EXPECT_EQ(parser::STRING_NAMES[297], "op");
    EXPECT_EQ(parser::STRING_NAMES[359], "setaf");
    EXPECT_EQ(parser::STRING_NAMES[360], "setab");
    EXPECT_EQ(parser::STRING_LONG_NAMES[1], "bell");
    EXPECT_EQ(parser::STRING_LONG_NAMES[6], "clr_eol");
    EXPECT_EQ(parser::STRING_LONG_NAMES[7], "clr_eos");
    for (std::size_t i : {1U, 6U, 7U, 59U, 62U, 75U, 120U, 216U, 274U, 296U}) {
        EXPECT_EQ(parser::STRING_NAMES[i], "_") << i;
    }
    for (std::size_t i : {0U, 2U, 58U, 61U, 76U, 101U, 215U, 275U, 297U}) {
        EXPECT_NE(parser::STRING_NAMES[i], "_") << i;
    }
}

// tic places each capability at its index; every standard capability must
// come back under the name our tables give that index.
TEST(CapabilityNames, MatchWhatTicCompiles) {
    REQUIRE_TIC();
    TempDir dir;
    std::string src;
    // One entry per standard boolean, each with only that boolean set.
    for (std::size_t i = 0; i < 37; ++i) {
        src += "zbool" + std::to_string(i) + "|boolean " + std::to_string(i) + ",\n\t" +
               std::string(parser::BOOL_NAMES[i]) + ",\n";
    }
    // One entry with every standard number and every short-named string.
    src += "zfull|numbers and strings,\n";
    for (std::size_t i = 0; i < 33; ++i) {
        src += "\t" + std::string(parser::NUM_NAMES[i]) + "#" + std::to_string(1000 + i) + ",\n";
    }
    for (std::size_t i = 0; i < 394; ++i) {
        if (parser::STRING_NAMES[i] != "_") {
            src += "\t" + std::string(parser::STRING_NAMES[i]) + "=S" + std::to_string(i) + ",\n";
        }
    }
    ASSERT_TRUE(tic(dir.path(), src));

    for (std::size_t i = 0; i < 37; ++i) {
        auto info = TermInfo::from_path(dir.path() + "/z/zbool" + std::to_string(i));
        ASSERT_TRUE(info) << i;
        EXPECT_EQ(
            info.value().bool_caps,
            (std::map<std::string, bool, std::less<>>{{std::string(parser::BOOL_NAMES[i]), true}}))
            << i;
    }
    auto full = TermInfo::from_path(dir.path() + "/z/zfull");
    ASSERT_TRUE(full) << full.error().display();
    for (std::size_t i = 0; i < 33; ++i) {
        EXPECT_EQ(full.value().num_caps[std::string(parser::NUM_NAMES[i])], 1000 + i) << i;
    }
    for (std::size_t i = 0; i < 394; ++i) {
        if (parser::STRING_NAMES[i] == "_") {
            continue;
        }
        const auto it = full.value().str_caps.find(parser::STRING_NAMES[i]);
        ASSERT_NE(it, full.value().str_caps.end()) << parser::STRING_NAMES[i];
        EXPECT_EQ(to_text(it->second), "S" + std::to_string(i)) << parser::STRING_NAMES[i];
    }

    // Long names: the same entry read with the long-names flag holds exactly
    // the names infocmp -L prints.
    if (have_program("infocmp")) {
        auto out = run_program({"infocmp", "-A", dir.path(), "-1", "-L", "zfull"});
        ASSERT_EQ(out.status, 0);
        std::set<std::string> expected;
        std::stringstream lines(out.out);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.empty() || line[0] != '\t') {
                continue;
            }
            expected.insert(line.substr(1, line.find_first_of("#=,") - 1));
        }
        auto parsed = parser::parse(read_file(dir.path() + "/z/zfull"), true);
        ASSERT_TRUE(parsed);
        std::set<std::string> got;
        for (const auto& [k, v] : parsed.value().num_caps) {
            got.insert(k);
        }
        for (const auto& [k, v] : parsed.value().str_caps) {
            got.insert(k);
        }
        EXPECT_EQ(got, expected);
    }
}

// ---------------------------------------------------------------------------
// Parsing real entries.

TEST(Parse, ReadsTheSystemsXterm256ColorIn32BitFormat) {
    EnvGuard env;
    env.unset("TERMINFO");
    env.unset("TERMINFO_DIRS");
    const auto path = get_dbpath_for_term("xterm-256color");
    if (!path) {
        GTEST_SKIP() << "no xterm-256color entry on this machine";
    }
    const Bytes data = read_file(*path);
    ASSERT_GE(data.size(), 2U);
    auto info = TermInfo::from_path(*path);
    ASSERT_TRUE(info) << info.error().display();
    EXPECT_EQ(info.value().aliases.front(), "xterm-256color");
    EXPECT_EQ(info.value().num_caps.at("colors"), 256U);
    EXPECT_TRUE(info.value().bool_caps.contains("am"));
    if ((data[0] | (data[1] << 8)) == parser::MAGIC_EXTENDED) {
        Bytes sink;
        auto term = terminal_into(sink, std::move(info.value()));
        EXPECT_EQ(term->colour_count(), 256U);
    }
}

TEST(Parse, ReadsLegacyAndExtendedEntriesCompiledByTic) {
    REQUIRE_TIC();
    TempDir dir;
    ASSERT_TRUE(tic(dir.path(),
                    "zlegacy|legacy test entry,\n"
                    "\tam, xenl, cols#80, colors#8, pairs#64,\n"
                    "\tbel=^G, el=\\E[K, sgr0=\\E[m, setaf=\\E[3%p1%dm, setab=\\E[4%p1%dm,\n"
                    "zwide|extended numbers,\n"
                    "\tcolors#16777216, pairs#65536, cols#80,\n"
                    "\tsetaf=\\E[38;5;%p1%dm, setab=\\E[48;5;%p1%dm,\n"));

    const std::string legacy_path = dir.path() + "/z/zlegacy";
    const Bytes legacy_bytes = read_file(legacy_path);
    ASSERT_GE(legacy_bytes.size(), 2U);
    EXPECT_EQ(legacy_bytes[0] | (legacy_bytes[1] << 8), parser::MAGIC_LEGACY);
    auto legacy = TermInfo::from_path(legacy_path);
    ASSERT_TRUE(legacy) << legacy.error().display();
    const TermInfo& l = legacy.value();
    EXPECT_EQ(l.aliases, (std::vector<std::string>{"zlegacy", "legacy test entry"}));
    EXPECT_EQ(l.bool_caps.size(), 2U);
    EXPECT_TRUE(l.bool_caps.contains("am") && l.bool_caps.contains("xenl"));
    EXPECT_EQ(l.num_caps, (std::map<std::string, std::uint32_t, std::less<>>{
                              {"cols", 80}, {"colors", 8}, {"pairs", 64}}));
    // "bel" and "el" are stored under their long names.
    EXPECT_EQ(to_text(l.str_caps.at("bell")), "\x07");
    EXPECT_EQ(to_text(l.str_caps.at("clr_eol")), "\x1b[K");
    EXPECT_FALSE(l.str_caps.contains("bel"));
    EXPECT_EQ(to_text(l.str_caps.at("setaf")), "\x1b[3%p1%dm");

    const std::string wide_path = dir.path() + "/z/zwide";
    const Bytes wide_bytes = read_file(wide_path);
    ASSERT_GE(wide_bytes.size(), 2U);
    EXPECT_EQ(wide_bytes[0] | (wide_bytes[1] << 8), parser::MAGIC_EXTENDED);
    auto wide = TermInfo::from_path(wide_path);
    ASSERT_TRUE(wide) << wide.error().display();
    EXPECT_EQ(wide.value().num_caps.at("colors"), 16777216U);
    EXPECT_EQ(wide.value().num_caps.at("pairs"), 65536U);
    Bytes sink;
    auto term = terminal_into(sink, std::move(wide.value()));
    EXPECT_EQ(term->colour_count(), 16777216U);
    ASSERT_TRUE(term->fg(200).value());
    EXPECT_EQ(to_text(sink), "\x1b[38;5;200m");

    // The same entry through the long-names flag.
    auto long_named = parser::parse(legacy_bytes, true);
    ASSERT_TRUE(long_named);
    EXPECT_EQ(long_named.value().num_caps.at("max_colors"), 8U);
    EXPECT_TRUE(long_named.value().bool_caps.contains("auto_right_margin"));
    EXPECT_TRUE(long_named.value().str_caps.contains("set_a_foreground"));
    EXPECT_TRUE(long_named.value().str_caps.contains("bell"));
}

TEST(Parse, EntryWithoutSetabHasNoColours) {
    REQUIRE_TIC();
    TempDir dir;
    ASSERT_TRUE(tic(dir.path(),
                    "znosetab|colours without setab,\n"
                    "\tcolors#8, setaf=\\E[3%p1%dm, sgr0=\\E[m,\n"));
    auto info = TermInfo::from_path(dir.path() + "/z/znosetab");
    ASSERT_TRUE(info) << info.error().display();
    EXPECT_EQ(info.value().num_caps.at("colors"), 8U);
    Bytes sink;
    auto term = terminal_into(sink, std::move(info.value()));
    EXPECT_EQ(term->colour_count(), 0U);
    auto r = term->fg(1);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r.value());
    EXPECT_TRUE(sink.empty());
    ASSERT_TRUE(term->reset().value());
    EXPECT_EQ(to_text(sink), "\x1b[m");
}

// ---------------------------------------------------------------------------
// Parsing hand-built and broken entries.

TEST(Parse, HandBuiltEntriesFollowTheFormat) {
    RawEntry legacy;
    legacy.bools = {1, 0, 2, 1};
    legacy.numbers = {80, 0xFFFF, 0xFFFE};
    legacy.offsets = {0, 0xFFFF, 0xFFFE, 3};
    legacy.table = to_bytes(std::string("ab\0cd\0", 6));
    auto r = parser::parse(legacy.bytes(), false);
    ASSERT_TRUE(r) << r.error();
    const TermInfo& l = r.value();
    EXPECT_EQ(l.aliases, (std::vector<std::string>{"raw", "hand-built entry"}));
    EXPECT_EQ(l.bool_caps.size(), 2U);
    EXPECT_TRUE(l.bool_caps.contains("bw") && l.bool_caps.contains("xhp"));
    // 0xFFFF is absent; other values, 0xFFFE included, are stored.
    EXPECT_EQ(l.num_caps,
              (std::map<std::string, std::uint32_t, std::less<>>{{"cols", 80}, {"lines", 0xFFFE}}));
    EXPECT_EQ(to_text(l.str_caps.at("cbt")), "ab");
    EXPECT_TRUE(l.str_caps.at("cr").empty());  // 0xFFFE: cancelled
    EXPECT_EQ(to_text(l.str_caps.at("csr")), "cd");
    EXPECT_FALSE(l.str_caps.contains("bell"));  // 0xFFFF: absent
    EXPECT_EQ(l.str_caps.size(), 3U);

    RawEntry extended;
    extended.magic = parser::MAGIC_EXTENDED;
    extended.names = "ext";  // names size 4 + 0 booleans: no padding byte
    extended.numbers = {0xFFFFFFFF, 0xFFFF, 0x10000};
    r = parser::parse(extended.bytes(), false);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r.value().num_caps, (std::map<std::string, std::uint32_t, std::less<>>{
                                      {"cols", 0xFFFFFFFF}, {"lines", 0x10000}}));
    EXPECT_EQ(r.value().aliases, std::vector<std::string>{"ext"});

    // A field of -1 counts as 0, and a zero-length names section other than
    // the terminator reads as one empty alias.
    RawEntry minus_one;
    minus_one.names = "";
    minus_one.bools_count = -1;
    minus_one.numbers_count = -1;
    minus_one.offsets_count = -1;
    minus_one.table_size = -1;
    r = parser::parse(minus_one.bytes(), false);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r.value().aliases, std::vector<std::string>{""});
    EXPECT_TRUE(r.value().bool_caps.empty() && r.value().num_caps.empty() &&
                r.value().str_caps.empty());
}

TEST(Parse, BrokenEntriesGiveTheirMessages) {
    struct Case {
        const char* what;
        Bytes data;
        std::string want;
    };
    std::vector<Case> cases;
    auto add = [&](const char* what, const RawEntry& e, std::string want) {
        cases.push_back({what, e.bytes(), std::move(want)});
    };
    RawEntry e;
    e.magic = 0x11B;
    add("magic 0x11B", e, "invalid magic number, found 433");
    e = RawEntry{};
    e.magic = 0;
    add("magic 0", e, "invalid magic number, found 0");
    e = RawEntry{};
    e.numbers_count = -2;
    add("length below -1", e, "incompatible file: length fields must be  >= -1");
    e = RawEntry{};
    e.names_size = 0;
    e.bools_count = 45;
    add("names size 0 before too many booleans", e,
        "incompatible file: names field must be at least 1 byte wide");
    e = RawEntry{};
    e.bools_count = 45;
    e.numbers_count = 40;
    add("45 booleans", e, "incompatible file: more booleans than expected");
    e = RawEntry{};
    e.numbers_count = 40;
    e.offsets_count = 415;
    add("40 numbers", e, "incompatible file: more numbers than expected");
    e = RawEntry{};
    e.offsets_count = 415;
    add("415 string offsets", e, "incompatible file: more string offsets than expected");
    e = RawEntry{};
    e.names = "bad\xff|utf8";
    add("names not UTF-8", e, "input not utf-8");
    e = RawEntry{};
    e.names_size = 4;  // leaves the '|' of "raw|..." where the terminator belongs
    add("names without terminator", e,
        "incompatible file: missing null terminator for names section");
    e = RawEntry{};
    e.offsets = {0};
    e.table = to_bytes("abc");
    add("table without NUL", e, "invalid file: missing NUL in string_table");
    e = RawEntry{};
    e.offsets = {4};
    e.table = to_bytes(std::string("abc\0", 4));
    add("offset at the table's end", e, "invalid file: missing NUL in string_table");
    e = RawEntry{};
    e.offsets = {0};
    e.table = to_bytes(std::string("abc\0def", 7));
    e.table_size = 3;
    add("NUL beyond the declared size", e, "invalid file: missing NUL in string_table");
    e = RawEntry{};
    e.offsets = {9};
    e.table = to_bytes(std::string("abc\0", 4));
    add("offset past the table", e, "invalid file: string offset past the end of string_table");
    e = RawEntry{};
    e.offsets = {0};
    e.table = to_bytes(std::string("abc\0", 4));
    e.table_size = 100;
    add("table shorter than declared", e,
        "invalid file: string_table shorter than its declared size");
    e = RawEntry{};
    e.bools_count = 10;  // declared but missing: the data ends inside the booleans
    e.names = "ab";
    cases.push_back({"booleans past the end", e.bytes(), "end of file"});
    cases.push_back({"empty file", {}, "unexpected end of file"});
    cases.push_back({"one byte", {0x1a}, "unexpected end of file"});
    cases.push_back({"header cut short", {0x1a, 0x01, 0x05, 0x00, 0x00}, "unexpected end of file"});

    for (const auto& c : cases) {
        EXPECT_EQ(parse_error(c.data), c.want) << c.what;
    }
}

// Every prefix of a real entry, and many corrupted copies, end in a clean
// error or a successful parse; under AddressSanitizer this also proves that
// nothing is read outside the data.
TEST(Parse, TruncatedAndCorruptedEntriesNeverReadOutOfBounds) {
    RawEntry e;
    e.bools = {1, 1, 0};
    e.numbers = {80, 24, 8};
    e.offsets = {0, 3, 0xFFFF, 6};
    e.table = to_bytes(std::string("ab\0cd\0ef\0", 9));
    const Bytes whole = e.bytes();
    ASSERT_TRUE(parser::parse(whole, false));
    for (std::size_t n = 0; n < whole.size(); ++n) {
        const Bytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_FALSE(parser::parse(prefix, false)) << "prefix of " << n << " bytes";
    }
    std::uint32_t seed = 12345;
    for (int round = 0; round < 5000; ++round) {
        Bytes copy = whole;
        for (int flips = 0; flips < 3; ++flips) {
            seed = seed * 1103515245U + 12345U;
            copy[(seed >> 8) % copy.size()] = static_cast<std::uint8_t>(seed >> 24);
        }
        (void)parser::parse(copy, round % 2 == 0);
    }
}

// ---------------------------------------------------------------------------
// Loading entries from files and the environment.

TEST(FromPath, FailuresAreErrorsNotCrashes) {
    TempDir dir;
    auto missing = TermInfo::from_path(dir.path() + "/nothing");
    ASSERT_FALSE(missing);
    ASSERT_TRUE(std::holds_alternative<rt::IoError>(missing.error().cause));
    EXPECT_EQ(std::get<rt::IoError>(missing.error().cause).kind(), rt::ErrorKind::NotFound);

    // A directory opens but cannot be read.
    auto directory = TermInfo::from_path(dir.path());
    ASSERT_FALSE(directory);
    EXPECT_TRUE(std::holds_alternative<Error::MalformedTerminfo>(directory.error().cause));

    // A FIFO without a writer does not block.
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto from_fifo = TermInfo::from_path(fifo);
    ASSERT_FALSE(from_fifo);
    EXPECT_EQ(from_fifo.error().display(), "unexpected end of file");

    // An endless device is read only up to the cap.
    auto zero = TermInfo::from_path("/dev/zero");
    ASSERT_FALSE(zero);
    EXPECT_EQ(zero.error().display(), "invalid magic number, found 0");

    // A valid entry followed by megabytes of junk still loads.
    RawEntry e;
    e.numbers = {80};
    Bytes big = e.bytes();
    big.resize(3 * test::term::terminfo::MAX_ENTRY_BYTES, 0xAB);
    write_file(dir.path() + "/big", big);
    auto loaded = TermInfo::from_path(dir.path() + "/big");
    ASSERT_TRUE(loaded) << loaded.error().display();
    EXPECT_EQ(loaded.value().num_caps.at("cols"), 80U);

    // A broken file is a malformed entry carrying the parser's message.
    RawEntry bad;
    bad.magic = 0x11B;
    write_file(dir.path() + "/bad", bad.bytes());
    auto malformed = TermInfo::from_path(dir.path() + "/bad");
    ASSERT_FALSE(malformed);
    ASSERT_TRUE(std::holds_alternative<Error::MalformedTerminfo>(malformed.error().cause));
    EXPECT_EQ(std::get<Error::MalformedTerminfo>(malformed.error().cause).message,
              "invalid magic number, found 433");
}

TEST(DbPath, SearchesTheDirectoriesInOrder) {
    EnvGuard env;
    TempDir a;
    TempDir b;
    TempDir home;
    RawEntry e;
    const Bytes entry = e.bytes();
    write_file(a.path() + "/z/zterm", entry);
    write_file(b.path() + "/z/zterm", entry);
    write_file(b.path() + "/7a/zhex", entry);  // only under the hexadecimal name of 'z'
    write_file(home.path() + "/.terminfo/z/zhome", entry);
    write_file(a.path() + "/e9/\xc3\xa9t", entry);  // U+00E9 has only its hexadecimal directory

    env.unset("TERMINFO");
    env.set("TERMINFO_DIRS", a.path() + ":" + b.path());
    EXPECT_EQ(get_dbpath_for_term("zterm"), a.path() + "/z/zterm");
    EXPECT_EQ(get_dbpath_for_term("zhex"), b.path() + "/7a/zhex");
    EXPECT_EQ(get_dbpath_for_term("\xc3\xa9t"), a.path() + "/e9/\xc3\xa9t");
    EXPECT_EQ(get_dbpath_for_term(""), std::nullopt);
    EXPECT_EQ(get_dbpath_for_term("nosuchterm"), std::nullopt);

    // TERMINFO comes first and is taken as it is.
    env.set("TERMINFO", b.path());
    EXPECT_EQ(get_dbpath_for_term("zterm"), b.path() + "/z/zterm");
    // Directories that do not exist are skipped.
    env.set("TERMINFO", a.path() + "/missing");
    EXPECT_EQ(get_dbpath_for_term("zterm"), a.path() + "/z/zterm");
    env.unset("TERMINFO");

    // With TERMINFO_DIRS set, the home directory is not searched.
    env.set("HOME", home.path());
    EXPECT_EQ(get_dbpath_for_term("zhome"), std::nullopt);
    env.unset("TERMINFO_DIRS");
    EXPECT_EQ(get_dbpath_for_term("zhome"), home.path() + "/.terminfo/z/zhome");
    // Without TERMINFO_DIRS the system directories follow the home directory.
    const auto system = system_entries();
    if (!system.empty()) {
        const auto& [name, dir] = system.front();
        EXPECT_EQ(get_dbpath_for_term(name), dir + "/" + name.substr(0, 1) + "/" + name);
    }

    // An empty TERMINFO_DIRS entry stands for /usr/share/terminfo, in its place.
    for (const auto& [name, dir] : system) {
        if (dir != "/usr/share/terminfo" || name.size() < 1) {
            continue;
        }
        write_file(a.path() + "/" + name.substr(0, 1) + "/" + name, entry);
        env.set("TERMINFO_DIRS", ":" + a.path());
        EXPECT_EQ(get_dbpath_for_term(name), dir + "/" + name.substr(0, 1) + "/" + name);
        env.set("TERMINFO_DIRS", a.path() + ":");
        EXPECT_EQ(get_dbpath_for_term(name), a.path() + "/" + name.substr(0, 1) + "/" + name);
        break;
    }
}

TEST(FromEnv, UsesTermAndTheMinttyFallback) {
    EnvGuard env;
    TempDir dir;
    RawEntry e;
    e.names = "zmine|mine";
    write_file(dir.path() + "/z/zmine", e.bytes());
    env.set("TERMINFO_DIRS", dir.path());
    env.unset("TERMINFO");

    env.set("TERM", "zmine");
    env.unset("MSYSCON");
    auto mine = TermInfo::from_env();
    ASSERT_TRUE(mine) << mine.error().display();
    EXPECT_EQ(mine.value().aliases.front(), "zmine");

    // No entry: not found, unless the console is mintty.
    env.set("TERM", "no-such-terminal");
    auto missing = TermInfo::from_env();
    ASSERT_FALSE(missing);
    ASSERT_TRUE(std::holds_alternative<rt::IoError>(missing.error().cause));
    EXPECT_EQ(std::get<rt::IoError>(missing.error().cause).kind(), rt::ErrorKind::NotFound);
    EXPECT_EQ(std::get<rt::IoError>(missing.error().cause).message(), "terminfo file not found");
    env.set("MSYSCON", "mintty.exe");
    auto msys = TermInfo::from_env();
    ASSERT_TRUE(msys);
    EXPECT_EQ(msys.value().aliases, std::vector<std::string>{"cygwin"});
    Bytes sink;
    auto term = terminal_into(sink, std::move(msys.value()));
    EXPECT_EQ(term->colour_count(), 8U);
    env.set("MSYSCON", "mintty");
    EXPECT_FALSE(TermInfo::from_env());

    // A malformed entry also falls back under mintty.
    write_file(dir.path() + "/z/zbroken", {0x1b, 0x01});
    env.set("TERM", "zbroken");
    env.set("MSYSCON", "mintty.exe");
    EXPECT_TRUE(TermInfo::from_env());

    // TERM unset: no fallback.
    env.unset("TERM");
    auto unset = TermInfo::from_env();
    ASSERT_FALSE(unset);
    EXPECT_TRUE(std::holds_alternative<Error::TermUnset>(unset.error().cause));
    EXPECT_EQ(test::term::stdout_terminal(), nullptr);

    env.set("TERM", "zmine");
    EXPECT_NE(test::term::stdout_terminal(), nullptr);
}

// ---------------------------------------------------------------------------
// The terminal: fg, reset and expansion errors.

TermInfo entry_with(std::uint32_t colours, std::map<std::string, std::string> strings) {
    TermInfo info;
    info.aliases = {"test"};
    info.num_caps.emplace("colors", colours);
    for (const auto& [k, v] : strings) {
        info.str_caps.emplace(k, to_bytes(v));
    }
    return info;
}

TEST(TerminfoTerminal, FgDimsBrightColoursWhenNeeded) {
    const std::string setaf = "\x1b[%?%p1%{8}%<%t3%p1%d%e%p1%{16}%<%t9%p1%{8}%-%d%e38;5;%p1%d%;m";
    struct Case {
        std::uint32_t colours;
        std::uint32_t colour;
        std::optional<std::string> want;  // nullopt: nothing written, false
    };
    const Case cases[] = {
        {8, 1, "\x1b[31m"},     {8, 9, "\x1b[31m"},   {8, 15, "\x1b[37m"},
        {8, 16, std::nullopt},  {8, 8, "\x1b[30m"},   {16, 9, "\x1b[91m"},
        {16, 16, std::nullopt}, {256, 9, "\x1b[91m"}, {256, 200, "\x1b[38;5;200m"},
        {0, 1, std::nullopt},
    };
    for (const auto& c : cases) {
        Bytes sink;
        auto term = terminal_into(sink, entry_with(c.colours, {{"setaf", setaf}, {"setab", "x"}}));
        auto r = term->fg(c.colour);
        ASSERT_TRUE(r) << r.error().display();
        EXPECT_EQ(r.value(), c.want.has_value()) << c.colours << " " << c.colour;
        EXPECT_EQ(to_text(sink), c.want.value_or("")) << c.colours << " " << c.colour;
    }
}

TEST(TerminfoTerminal, ResetUsesTheFirstAvailableCapability) {
    struct Case {
        std::map<std::string, std::string> strings;
        std::optional<std::string> want;
    };
    const Case cases[] = {
        {{{"sgr0", "A"}, {"sgr", "B%p1%d"}, {"op", "C"}}, "A"},
        {{{"sgr", "B%p1%d"}, {"op", "C"}}, "B0"},
        {{{"op", "C"}}, "C"},
        {{{"setaf", "x"}}, std::nullopt},
    };
    for (const auto& c : cases) {
        Bytes sink;
        auto term = terminal_into(sink, entry_with(8, c.strings));
        auto r = term->reset();
        ASSERT_TRUE(r);
        EXPECT_EQ(r.value(), c.want.has_value());
        EXPECT_EQ(to_text(sink), c.want.value_or(""));
    }
}

TEST(TerminfoTerminal, ExpansionErrorsBecomeInvalidData) {
    Bytes sink;
    auto term = terminal_into(
        sink, entry_with(8, {{"setaf", "%p1%Q"}, {"setab", "x"}, {"sgr0", "%{99999999999}"}}));
    auto fg = term->fg(1);
    ASSERT_FALSE(fg);
    EXPECT_EQ(fg.error().kind(), rt::ErrorKind::InvalidData);
    EXPECT_EQ(fg.error().message(), "unrecognized format option Q");
    auto reset = term->reset();
    ASSERT_FALSE(reset);
    EXPECT_EQ(reset.error().kind(), rt::ErrorKind::InvalidData);
    EXPECT_EQ(reset.error().message(), "int constant too large");
    EXPECT_TRUE(sink.empty());

    // Plain writes pass straight through.
    ASSERT_TRUE(term->write_str("plain"));
    ASSERT_TRUE(term->flush());
    EXPECT_EQ(to_text(sink), "plain");
}

TEST(TerminfoTerminal, MsysEntryColoursAndResets) {
    Bytes sink;
    auto term = terminal_into(sink, msys_terminfo());
    ASSERT_TRUE(term->fg(2).value());
    ASSERT_TRUE(term->reset().value());
    EXPECT_EQ(to_text(sink), "\x1b[32m\x1b[0m");
}

// ---------------------------------------------------------------------------
// Comparison with the system's tput over the whole local database.

// Removes tputs padding specifications ("$<5>", "$<2*/>") that tput acts on
// instead of printing.
std::string strip_padding(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '$' && i + 1 < s.size() && s[i + 1] == '<') {
            std::size_t j = i + 2;
            while (j < s.size() && (std::isdigit(static_cast<unsigned char>(s[j])) || s[j] == '.' ||
                                    s[j] == '*' || s[j] == '/')) {
                ++j;
            }
            if (j < s.size() && s[j] == '>') {
                i = j;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

TEST(Tput, ExpansionMatchesForEveryLocalEntry) {
    if (!have_program("tput")) {
        GTEST_SKIP() << "tput is not installed";
    }
    EnvGuard env;
    env.unset("TERMINFO_DIRS");
    const auto entries = system_entries();
    if (entries.empty()) {
        GTEST_SKIP() << "no terminfo database on this machine";
    }
    int compared = 0;
    for (const auto& [name, dir] : entries) {
        env.set("TERMINFO", dir);
        auto info = TermInfo::from_path(dir + "/" + name.substr(0, 1) + "/" + name);
        ASSERT_TRUE(info) << name << ": " << info.error().display();
        const auto& caps = info.value().str_caps;
        // One tput run per capability: sgr0, and setaf for the colours 0 to 15
        // in one go (tput writes them one after another).
        for (const std::string cap : {"sgr0", "setaf"}) {
            const auto it = caps.find(cap);
            const std::string raw = it == caps.end() ? std::string() : to_text(it->second);
            // tput interprets only a string that names a parameter; any other
            // it writes as it stands, '%' and all (ctrm's sgr0 holds "%{0}%PA"),
            // and it reads a number after it as the next capability's name.
            const bool names_param = raw.find("%p") != std::string::npos;
            const bool as_it_stands = !names_param && raw.find('%') != std::string::npos;
            std::vector<std::string> args{"tput", "-T", name};
            std::string got;
            for (std::int32_t c = 0; c < (cap == "setaf" && names_param ? 16 : 1); ++c) {
                args.push_back(cap);
                std::vector<Param> params;
                if (names_param && cap == "setaf") {
                    args.push_back(std::to_string(c));
                    params.push_back(Param{c});
                }
                if (!raw.empty() && !as_it_stands) {
                    Variables vars;
                    auto expanded = test::term::terminfo::expand(it->second, params, vars);
                    ASSERT_TRUE(expanded) << name << " " << cap << ": " << expanded.error();
                    got += to_text(expanded.value());
                }
            }
            const Output want = run_program(args);
            if (it == caps.end()) {
                EXPECT_NE(want.status, 0) << name << " " << cap;
                continue;
            }
            if (raw.empty()) {
                // Cancelled ("setaf@") is stored empty: tput fails or writes nothing.
                EXPECT_TRUE(want.status != 0 || want.out.empty()) << name << " " << cap;
                continue;
            }
            ASSERT_EQ(want.status, 0) << name << " " << cap;
            EXPECT_EQ(strip_padding(as_it_stands ? raw : got), want.out) << name << " " << cap;
            ++compared;
        }
    }
    EXPECT_GT(compared, 0);
}

}  // namespace
