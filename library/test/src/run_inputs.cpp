#include "run_inputs.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <utility>

#include "utf8.hpp"

namespace test {

namespace {

// ---- A strict JSON reader -------------------------------------------------
//
// RFC 8259 JSON: one value, surrounded by optional white space; strings of
// valid UTF-8 without raw control characters, escapes checked (a \u escape of
// half a surrogate pair is refused); numbers by the grammar, kept as text.
// Objects keep their members in order, so duplicates can be told.

struct Json {
    enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    /// The number's text, or the string's decoded bytes.
    std::string text;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;
};

/// Deep enough for both documents; a deeper file is not one of them.
constexpr int MAX_DEPTH = 32;

class Reader {
public:
    explicit Reader(std::string_view in) : in_(in) {}

    /// The document's value, or a syntax error with its line and column.
    rt::Result<Json, std::string> document() {
        Json value;
        skip_space();
        if (!parse_value(value, 0)) {
            return rt::Err{where()};
        }
        skip_space();
        if (at_ < in_.size()) {
            fail("unexpected text after the document");
            return rt::Err{where()};
        }
        return value;
    }

private:
    std::string_view in_;
    std::size_t at_ = 0;
    std::string problem_;

    bool fail(std::string what) {
        if (problem_.empty()) {
            problem_ = std::move(what);
        }
        return false;
    }

    std::string where() const {
        std::size_t line = 1;
        std::size_t column = 1;
        for (std::size_t i = 0; i < at_ && i < in_.size(); ++i) {
            if (in_[i] == '\n') {
                ++line;
                column = 1;
            } else if ((static_cast<unsigned char>(in_[i]) & 0xc0) != 0x80) {
                ++column;
            }
        }
        return problem_ + " at line " + std::to_string(line) + ", column " + std::to_string(column);
    }

    void skip_space() {
        while (at_ < in_.size() &&
               (in_[at_] == ' ' || in_[at_] == '\t' || in_[at_] == '\n' || in_[at_] == '\r')) {
            ++at_;
        }
    }

    bool literal(std::string_view word) {
        if (in_.substr(at_, word.size()) != word) {
            return fail("expected a value");
        }
        at_ += word.size();
        return true;
    }

    bool parse_value(Json& out, int depth) {
        if (depth > MAX_DEPTH) {
            return fail("nested too deeply");
        }
        if (at_ >= in_.size()) {
            return fail("the document ends early");
        }
        switch (in_[at_]) {
            case '{':
                return parse_object(out, depth);
            case '[':
                return parse_array(out, depth);
            case '"':
                out.kind = Json::Kind::String;
                return parse_string(out.text);
            case 't':
                out.kind = Json::Kind::Bool;
                out.boolean = true;
                return literal("true");
            case 'f':
                out.kind = Json::Kind::Bool;
                return literal("false");
            case 'n':
                out.kind = Json::Kind::Null;
                return literal("null");
            default:
                out.kind = Json::Kind::Number;
                return parse_number(out.text);
        }
    }

    bool parse_object(Json& out, int depth) {
        out.kind = Json::Kind::Object;
        ++at_;
        skip_space();
        if (at_ < in_.size() && in_[at_] == '}') {
            ++at_;
            return true;
        }
        while (true) {
            skip_space();
            if (at_ >= in_.size() || in_[at_] != '"') {
                return fail(at_ >= in_.size() ? "the document ends early"
                                              : "expected a member name in double quotes");
            }
            std::string key;
            if (!parse_string(key)) {
                return false;
            }
            skip_space();
            if (at_ >= in_.size() || in_[at_] != ':') {
                return fail("expected ':' after a member name");
            }
            ++at_;
            skip_space();
            Json value;
            if (!parse_value(value, depth + 1)) {
                return false;
            }
            out.members.emplace_back(std::move(key), std::move(value));
            skip_space();
            if (at_ < in_.size() && in_[at_] == ',') {
                ++at_;
                continue;
            }
            if (at_ < in_.size() && in_[at_] == '}') {
                ++at_;
                return true;
            }
            return fail(at_ >= in_.size() ? "the document ends early" : "expected ',' or '}'");
        }
    }

    bool parse_array(Json& out, int depth) {
        out.kind = Json::Kind::Array;
        ++at_;
        skip_space();
        if (at_ < in_.size() && in_[at_] == ']') {
            ++at_;
            return true;
        }
        while (true) {
            skip_space();
            Json value;
            if (!parse_value(value, depth + 1)) {
                return false;
            }
            out.items.push_back(std::move(value));
            skip_space();
            if (at_ < in_.size() && in_[at_] == ',') {
                ++at_;
                continue;
            }
            if (at_ < in_.size() && in_[at_] == ']') {
                ++at_;
                return true;
            }
            return fail(at_ >= in_.size() ? "the document ends early" : "expected ',' or ']'");
        }
    }

    static void append_utf8(std::string& out, std::uint32_t cp) {
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xc0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            out += char(0xe0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3f));
            out += char(0x80 | (cp & 0x3f));
        } else {
            out += char(0xf0 | (cp >> 18));
            out += char(0x80 | ((cp >> 12) & 0x3f));
            out += char(0x80 | ((cp >> 6) & 0x3f));
            out += char(0x80 | (cp & 0x3f));
        }
    }

    bool hex4(std::uint32_t& value) {
        if (at_ + 4 > in_.size()) {
            return fail("the document ends early");
        }
        value = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = in_[at_++];
            value <<= 4;
            if (c >= '0' && c <= '9') {
                value |= std::uint32_t(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                value |= std::uint32_t(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                value |= std::uint32_t(c - 'A' + 10);
            } else {
                --at_;
                return fail("expected four hexadecimal digits after \\u");
            }
        }
        return true;
    }

    bool parse_string(std::string& out) {
        ++at_;  // the opening quote
        const std::size_t start = at_;
        while (true) {
            if (at_ >= in_.size()) {
                return fail("the document ends inside a string");
            }
            const char c = in_[at_];
            if (c == '"') {
                ++at_;
                break;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return fail("a control character inside a string");
            }
            if (c != '\\') {
                out += c;
                ++at_;
                continue;
            }
            if (++at_ >= in_.size()) {
                return fail("the document ends inside a string");
            }
            const char e = in_[at_++];
            switch (e) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    std::uint32_t cp = 0;
                    if (!hex4(cp)) {
                        return false;
                    }
                    if (cp >= 0xdc00 && cp <= 0xdfff) {
                        return fail("a lone low surrogate in a \\u escape");
                    }
                    if (cp >= 0xd800 && cp <= 0xdbff) {
                        std::uint32_t low = 0;
                        if (in_.substr(at_, 2) != "\\u") {
                            return fail("a high surrogate without its low half");
                        }
                        at_ += 2;
                        if (!hex4(low)) {
                            return false;
                        }
                        if (low < 0xdc00 || low > 0xdfff) {
                            return fail("a high surrogate without its low half");
                        }
                        cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
                    }
                    append_utf8(out, cp);
                    break;
                }
                default:
                    --at_;
                    return fail("an unknown escape in a string");
            }
        }
        if (!rt::is_utf8(std::string_view(in_.data() + start, at_ - 1 - start))) {
            at_ = start;
            return fail("a string that is not valid UTF-8");
        }
        return true;
    }

    bool parse_number(std::string& out) {
        const std::size_t start = at_;
        auto digit = [&] { return at_ < in_.size() && in_[at_] >= '0' && in_[at_] <= '9'; };
        if (at_ < in_.size() && in_[at_] == '-') {
            ++at_;
        }
        if (!digit()) {
            at_ = start;
            return fail("expected a value");
        }
        if (in_[at_] == '0') {
            ++at_;
        } else {
            while (digit()) {
                ++at_;
            }
        }
        if (at_ < in_.size() && in_[at_] == '.') {
            ++at_;
            if (!digit()) {
                return fail("expected a digit after the decimal point");
            }
            while (digit()) {
                ++at_;
            }
        }
        if (at_ < in_.size() && (in_[at_] == 'e' || in_[at_] == 'E')) {
            ++at_;
            if (at_ < in_.size() && (in_[at_] == '+' || in_[at_] == '-')) {
                ++at_;
            }
            if (!digit()) {
                return fail("expected a digit in the exponent");
            }
            while (digit()) {
                ++at_;
            }
        }
        out.assign(in_.substr(start, at_ - start));
        return true;
    }
};

// ---- Checking the two documents -------------------------------------------

/// A name as messages show it: in double quotes, control characters escaped.
std::string quoted(std::string_view name) {
    std::string out = "\"";
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

/// A whole number of the document, if `value` is one that fits.
std::optional<std::uint64_t> whole_number(const Json& value) {
    if (value.kind != Json::Kind::Number) {
        return std::nullopt;
    }
    std::uint64_t n = 0;
    const char* end = value.text.data() + value.text.size();
    const auto [stop, ec] = std::from_chars(value.text.data(), end, n);
    if (ec != std::errc() || stop != end) {
        return std::nullopt;
    }
    return n;
}

/// What a document is called in messages, and the format it must declare.
struct DocumentKind {
    std::string_view title;  // "shard plan", "quarantine"
    std::string_view format;
};

/// Checks the parts every document shares: an object with "format" and
/// "version" 1 and exactly the `keys` (in any order). On success, returns the
/// members by key.
rt::Result<std::map<std::string, const Json*, std::less<>>, std::string> check_header(
    const std::string& path, const DocumentKind& kind, const Json& doc,
    std::initializer_list<std::string_view> keys) {
    const std::string file = std::string(kind.title) + " " + path;
    if (doc.kind != Json::Kind::Object) {
        return rt::Err{"the " + file + " is not a " + std::string(kind.title) +
                       " (not a JSON object)"};
    }
    const Json* format = nullptr;
    for (const auto& [key, value] : doc.members) {
        format = key == "format" ? &value : format;
    }
    if (format == nullptr || format->kind != Json::Kind::String || format->text != kind.format) {
        return rt::Err{"the " + file + " is not a " + std::string(kind.title) +
                       " (its \"format\" is not \"" + std::string(kind.format) + "\")"};
    }
    std::map<std::string, const Json*, std::less<>> by_key;
    for (const auto& [key, value] : doc.members) {
        bool known = false;
        for (std::string_view k : keys) {
            known = known || k == key;
        }
        if (!known) {
            return rt::Err{"the " + file + " is malformed: unknown member " + quoted(key)};
        }
        if (!by_key.emplace(key, &value).second) {
            return rt::Err{"the " + file + " is malformed: member " + quoted(key) + " given twice"};
        }
    }
    const auto version = by_key.find("version");
    if (version == by_key.end() || !whole_number(*version->second)) {
        return rt::Err{"the " + file + " is malformed: \"version\" must be a whole number"};
    }
    if (*whole_number(*version->second) != 1) {
        return rt::Err{"the " + file + " has version " + version->second->text +
                       "; this program reads version 1"};
    }
    for (std::string_view k : keys) {
        if (!by_key.contains(k)) {
            return rt::Err{"the " + file + " is malformed: member \"" + std::string(k) +
                           "\" is missing"};
        }
    }
    return by_key;
}

rt::Result<std::string, std::string> read_whole(const std::string& path, std::string_view title) {
    auto failed = [&](int error) -> rt::Result<std::string, std::string> {
        return rt::Err{"cannot read the " + std::string(title) + " " + path + ": " +
                       std::strerror(error)};
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return failed(errno);
    }
    std::string bytes;
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return failed(error);
        }
        if (n == 0) {
            break;
        }
        bytes.append(buffer, std::size_t(n));
    }
    ::close(fd);
    return bytes;
}

/// Whether `text` is a date "YYYY-MM-DD" that exists.
bool is_date(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
        return false;
    }
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    const int year = std::stoi(std::string(text.substr(0, 4)));
    const int month = std::stoi(std::string(text.substr(5, 2)));
    const int day = std::stoi(std::string(text.substr(8, 2)));
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int days[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month >= 1 && month <= 12 && day >= 1 && day <= days[month - 1];
}

constexpr DocumentKind PLAN{"shard plan", "zuno-shard-plan"};
constexpr DocumentKind QUARANTINE{"quarantine", "zuno-quarantine"};

rt::Result<Json, std::string> parse_json(const std::string& path, const DocumentKind& kind,
                                         std::string_view bytes) {
    auto doc = Reader(bytes).document();
    if (!doc.ok()) {
        return rt::Err{"the " + std::string(kind.title) + " " + path +
                       " is not valid JSON: " + doc.error()};
    }
    return std::move(doc.value());
}

}  // namespace

rt::Result<TestList, std::string> parse_test_list(const std::string& path, std::string_view bytes) {
    TestList list;
    list.path = path;
    std::size_t line = 0;
    std::size_t start = 0;
    while (start < bytes.size()) {
        ++line;
        std::size_t end = bytes.find('\n', start);
        if (end == std::string_view::npos) {
            end = bytes.size();
        }
        std::string_view name = bytes.substr(start, end - start);
        start = end + 1;
        if (!name.empty() && name.back() == '\r') {
            name.remove_suffix(1);
        }
        if (!rt::is_utf8(name)) {
            return rt::Err{"the test list " + path + " is not valid UTF-8 (line " +
                           std::to_string(line) + ")"};
        }
        if (!name.empty()) {
            list.names.emplace_back(name);
        }
    }
    return list;
}

rt::Result<TestList, std::string> read_test_list(const std::string& path) {
    auto bytes = read_whole(path, "test list");
    if (!bytes.ok()) {
        return rt::Err{bytes.error()};
    }
    return parse_test_list(path, bytes.value());
}

rt::Result<ShardPlanFile, std::string> parse_shard_plan(const std::string& path,
                                                        std::string_view bytes) {
    auto doc = parse_json(path, PLAN, bytes);
    if (!doc.ok()) {
        return rt::Err{doc.error()};
    }
    auto members = check_header(path, PLAN, doc.value(), {"format", "version", "shards", "tests"});
    if (!members.ok()) {
        return rt::Err{members.error()};
    }
    const std::string file = "the shard plan " + path;
    const std::optional<std::uint64_t> shards = whole_number(*members.value().at("shards"));
    if (!shards || *shards == 0) {
        return rt::Err{file + " is malformed: \"shards\" must be a whole number of at least 1"};
    }
    const Json& tests = *members.value().at("tests");
    if (tests.kind != Json::Kind::Object) {
        return rt::Err{file + " is malformed: \"tests\" must be an object of names and shards"};
    }
    ShardPlanFile plan;
    plan.path = path;
    plan.shards = std::size_t(*shards);
    plan.shard_of.reserve(tests.members.size());
    for (const auto& [name, value] : tests.members) {
        const std::optional<std::uint64_t> shard = whole_number(value);
        if (!shard) {
            return rt::Err{file + " is malformed: the shard of " + quoted(name) +
                           " must be a whole number"};
        }
        if (*shard >= *shards) {
            return rt::Err{file + " puts " + quoted(name) + " in shard " + std::to_string(*shard) +
                           ", but it has shards 0 to " + std::to_string(*shards - 1)};
        }
        if (!plan.shard_of.emplace(name, std::size_t(*shard)).second) {
            return rt::Err{file + " names the test " + quoted(name) + " twice"};
        }
    }
    return plan;
}

rt::Result<ShardPlanFile, std::string> read_shard_plan(const std::string& path) {
    auto bytes = read_whole(path, "shard plan");
    if (!bytes.ok()) {
        return rt::Err{bytes.error()};
    }
    return parse_shard_plan(path, bytes.value());
}

rt::Result<QuarantineFile, std::string> parse_quarantine(const std::string& path,
                                                         std::string_view bytes) {
    auto doc = parse_json(path, QUARANTINE, bytes);
    if (!doc.ok()) {
        return rt::Err{doc.error()};
    }
    auto members = check_header(path, QUARANTINE, doc.value(), {"format", "version", "tests"});
    if (!members.ok()) {
        return rt::Err{members.error()};
    }
    const std::string file = "the quarantine " + path;
    const Json& tests = *members.value().at("tests");
    if (tests.kind != Json::Kind::Array) {
        return rt::Err{file + " is malformed: \"tests\" must be an array of entries"};
    }
    QuarantineFile quarantine;
    quarantine.path = path;
    for (std::size_t i = 0; i < tests.items.size(); ++i) {
        const Json& entry = tests.items[i];
        const std::string where = file + " is malformed: entry " + std::to_string(i);
        if (entry.kind != Json::Kind::Object) {
            return rt::Err{where + " is not an object"};
        }
        const Json* name = nullptr;
        const Json* reason = nullptr;
        const Json* until = nullptr;
        for (const auto& [key, value] : entry.members) {
            const Json** slot = key == "name"     ? &name
                                : key == "reason" ? &reason
                                : key == "until"  ? &until
                                                  : nullptr;
            if (slot == nullptr) {
                return rt::Err{where + " has an unknown member " + quoted(key)};
            }
            if (*slot != nullptr) {
                return rt::Err{where + " gives " + quoted(key) + " twice"};
            }
            *slot = &value;
        }
        if (name == nullptr || name->kind != Json::Kind::String || name->text.empty()) {
            return rt::Err{where + " needs a \"name\": the test's name"};
        }
        if (reason == nullptr || reason->kind != Json::Kind::String) {
            return rt::Err{where + " needs a \"reason\" text"};
        }
        if (until == nullptr || !(until->kind == Json::Kind::Null ||
                                  (until->kind == Json::Kind::String && is_date(until->text)))) {
            return rt::Err{where + " needs \"until\": a date YYYY-MM-DD or null"};
        }
        QuarantineEntry parsed{reason->text, std::nullopt};
        if (until->kind == Json::Kind::String) {
            parsed.until = until->text;
        }
        if (!quarantine.tests.emplace(name->text, std::move(parsed)).second) {
            return rt::Err{file + " names the test " + quoted(name->text) + " twice"};
        }
    }
    return quarantine;
}

rt::Result<QuarantineFile, std::string> read_quarantine(const std::string& path) {
    auto bytes = read_whole(path, "quarantine");
    if (!bytes.ok()) {
        return rt::Err{bytes.error()};
    }
    return parse_quarantine(path, bytes.value());
}

const QuarantineEntry* quarantine_in_force(const QuarantineFile& quarantine, std::string_view name,
                                           std::string_view today) {
    const auto it = quarantine.tests.find(name);
    if (it == quarantine.tests.end() || (it->second.until && *it->second.until < today)) {
        return nullptr;
    }
    return &it->second;
}

std::string utc_today() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday);
    return text;
}

}  // namespace test
