#include "record.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>

#include <nlohmann/json.hpp>

namespace zuno::results {

namespace {

using Json = nlohmann::json;

/// A problem found while checking; caught in parse_record, never leaves this file.
struct Bad {
    std::string message;
};

[[noreturn]] void bad(const std::string& where, const std::string& what) {
    throw Bad{where.empty() ? what : where + ": " + what};
}

std::string at(const std::string& where, std::string_view key) {
    return where.empty() ? std::string(key) : where + "." + std::string(key);
}

std::string at(const std::string& where, std::size_t index) {
    return where + "[" + std::to_string(index) + "]";
}

/// Checks that `object` is an object holding only the keys in `allowed`.
void expect_object(const Json& object, const std::string& where,
                   std::initializer_list<std::string_view> allowed) {
    if (!object.is_object()) {
        bad(where, "expected an object");
    }
    for (const auto& item : object.items()) {
        bool known = false;
        for (std::string_view key : allowed) {
            known = known || item.key() == key;
        }
        if (!known) {
            bad(at(where, item.key()), "unknown field");
        }
    }
}

/// The member `key` of an object already checked by expect_object.
Json& member(Json& object, const std::string& where, std::string_view key) {
    auto it = object.find(key);
    if (it == object.end()) {
        bad(where, "missing field \"" + std::string(key) + "\"");
    }
    return *it;
}

std::string take_string(Json& value, const std::string& where) {
    if (!value.is_string()) {
        bad(where, "expected a string");
    }
    return std::move(value.get_ref<std::string&>());
}

std::optional<std::string> take_optional_string(Json& object, const std::string& where,
                                                std::string_view key) {
    auto it = object.find(key);
    if (it == object.end()) {
        return std::nullopt;
    }
    return take_string(*it, at(where, key));
}

std::uint64_t read_count(const Json& value, const std::string& where) {
    if (value.is_number_unsigned()) {
        return value.get<std::uint64_t>();
    }
    if (value.is_number_integer() && value.get<std::int64_t>() >= 0) {
        return static_cast<std::uint64_t>(value.get<std::int64_t>());
    }
    bad(where, "expected a whole number of at least 0");
}

double read_number(const Json& value, const std::string& where) {
    if (!value.is_number()) {
        bad(where, "expected a number");
    }
    const double number = value.get<double>();
    if (!std::isfinite(number)) {
        bad(where, "expected a finite number");
    }
    return number;
}

double read_duration(const Json& value, const std::string& where) {
    const double seconds = read_number(value, where);
    if (seconds < 0) {
        bad(where, "expected a duration of at least 0");
    }
    return seconds;
}

Outcome read_outcome(const Json& value, const std::string& where) {
    if (value.is_string()) {
        if (auto outcome = parse_outcome(value.get_ref<const std::string&>())) {
            return *outcome;
        }
    }
    bad(where, "expected one of \"ok\", \"failed\", \"ignored\", \"bench\"");
}

bool is_label_value(std::string_view text) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == ',' || byte < 0x20 || byte == 0x7f) {
            return false;
        }
    }
    return true;
}

Attempt read_attempt(Json& value, const std::string& where) {
    expect_object(value, where, {"outcome", "duration_s", "message"});
    Attempt attempt;
    attempt.outcome = read_outcome(member(value, where, "outcome"), at(where, "outcome"));
    attempt.duration_s = read_duration(member(value, where, "duration_s"), at(where, "duration_s"));
    attempt.message = take_optional_string(value, where, "message");
    return attempt;
}

BenchFigures read_bench(Json& value, const std::string& where) {
    expect_object(value, where, {"median_ns", "deviation_ns", "mb_s", "samples_ns"});
    BenchFigures figures;
    figures.median_ns = read_number(member(value, where, "median_ns"), at(where, "median_ns"));
    figures.deviation_ns =
        read_number(member(value, where, "deviation_ns"), at(where, "deviation_ns"));
    const Json& mb_s = member(value, where, "mb_s");
    if (!mb_s.is_null()) {
        figures.mb_s = read_number(mb_s, at(where, "mb_s"));
    }
    const Json& samples = member(value, where, "samples_ns");
    const std::string samples_at = at(where, "samples_ns");
    if (!samples.is_array()) {
        bad(samples_at, "expected an array");
    }
    figures.samples_ns.reserve(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        figures.samples_ns.push_back(read_number(samples[i], at(samples_at, i)));
    }
    return figures;
}

TestEntry read_test(Json& value, const std::string& where) {
    expect_object(value, where,
                  {"name", "kind", "outcome", "duration_s", "message", "output", "attempts",
                   "bench", "quarantined"});
    TestEntry test;
    test.name = take_string(member(value, where, "name"), at(where, "name"));
    const Json& kind = member(value, where, "kind");
    if (kind == "bench") {
        test.bench_kind = true;
    } else if (kind != "test") {
        bad(at(where, "kind"), "expected \"test\" or \"bench\"");
    }
    test.outcome = read_outcome(member(value, where, "outcome"), at(where, "outcome"));
    test.duration_s = read_duration(member(value, where, "duration_s"), at(where, "duration_s"));
    test.message = take_optional_string(value, where, "message");
    test.output = take_optional_string(value, where, "output");
    if (auto it = value.find("attempts"); it != value.end()) {
        const std::string attempts_at = at(where, "attempts");
        if (!it->is_array() || it->empty()) {
            bad(attempts_at, "expected a non-empty array");
        }
        test.attempts.reserve(it->size());
        for (std::size_t i = 0; i < it->size(); ++i) {
            test.attempts.push_back(read_attempt((*it)[i], at(attempts_at, i)));
        }
    }
    if (auto it = value.find("bench"); it != value.end()) {
        test.bench = read_bench(*it, at(where, "bench"));
    }
    if (auto it = value.find("quarantined"); it != value.end()) {
        if (*it != true || test.outcome != Outcome::Failed) {
            bad(at(where, "quarantined"), "expected true, on a failed test only");
        }
        test.quarantined = true;
    }
    return test;
}

Summary read_summary(Json& value, const std::string& where) {
    expect_object(
        value, where,
        {"passed", "failed", "ignored", "measured", "filtered_out", "flaky", "quarantined"});
    Summary s;
    s.passed = read_count(member(value, where, "passed"), at(where, "passed"));
    s.failed = read_count(member(value, where, "failed"), at(where, "failed"));
    s.ignored = read_count(member(value, where, "ignored"), at(where, "ignored"));
    s.measured = read_count(member(value, where, "measured"), at(where, "measured"));
    s.filtered_out = read_count(member(value, where, "filtered_out"), at(where, "filtered_out"));
    s.flaky = read_count(member(value, where, "flaky"), at(where, "flaky"));
    if (auto it = value.find("quarantined"); it != value.end()) {
        s.quarantined = read_count(*it, at(where, "quarantined"));
    }
    return s;
}

bool is_run_id(std::string_view text) {
    if (text.size() != 32) {
        return false;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

RunRecord read_document(Json& doc) {
    if (!doc.is_object()) {
        bad("", "not a run record (expected a JSON object)");
    }
    // Format and version first: anything else about a document of another
    // kind or version is beside the point.
    auto format = doc.find("format");
    if (format == doc.end() || *format != RECORD_FORMAT) {
        bad("", "not a run record (\"format\" is not \"zuno-run-record\")");
    }
    auto version = doc.find("version");
    if (version == doc.end() || !version->is_number_integer()) {
        bad("version", "expected a whole number");
    }
    if (*version != RECORD_VERSION) {
        bad("", "run record version " + version->dump() +
                    " is not supported (this program reads version " +
                    std::to_string(RECORD_VERSION) + ")");
    }
    expect_object(
        doc, "",
        {"format", "version", "run_id", "program", "args", "host", "labels", "started", "wall_s",
         "shard", "seed", "threads", "isolate", "exit_status", "summary", "tests"});
    RunRecord record;
    record.run_id = take_string(member(doc, "", "run_id"), "run_id");
    if (!is_run_id(record.run_id)) {
        bad("run_id", "expected 32 lowercase hexadecimal digits");
    }
    record.program = take_string(member(doc, "", "program"), "program");
    Json& args = member(doc, "", "args");
    if (!args.is_array()) {
        bad("args", "expected an array");
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        record.args.push_back(take_string(args[i], at("args", i)));
    }
    record.host = take_string(member(doc, "", "host"), "host");
    Json& labels = member(doc, "", "labels");
    if (!labels.is_object()) {
        bad("labels", "expected an object");
    }
    for (auto& item : labels.items()) {
        const std::string where = at("labels", item.key());
        if (!is_label_key(item.key())) {
            bad(where, "a label key is letters, digits, '_', '.' and '-'");
        }
        std::string value = take_string(item.value(), where);
        if (!is_label_value(value)) {
            bad(where, "a label value holds no comma and no control character");
        }
        record.labels.emplace_back(item.key(), std::move(value));
    }
    record.started = take_string(member(doc, "", "started"), "started");
    if (!is_record_timestamp(record.started)) {
        bad("started", "expected a UTC time such as 2024-01-31T23:59:59.000Z");
    }
    record.wall_s = read_duration(member(doc, "", "wall_s"), "wall_s");
    Json& shard = member(doc, "", "shard");
    if (!shard.is_null()) {
        expect_object(shard, "shard", {"index", "count"});
        ShardInfo info;
        info.index = read_count(member(shard, "shard", "index"), "shard.index");
        info.count = read_count(member(shard, "shard", "count"), "shard.count");
        if (info.index >= info.count) {
            bad("shard", "index must be less than count");
        }
        record.shard = info;
    }
    const Json& seed = member(doc, "", "seed");
    if (!seed.is_null()) {
        record.seed = read_count(seed, "seed");
    }
    record.threads = read_count(member(doc, "", "threads"), "threads");
    const Json& isolate = member(doc, "", "isolate");
    if (!isolate.is_boolean()) {
        bad("isolate", "expected true or false");
    }
    record.isolate = isolate.get<bool>();
    const Json& status = member(doc, "", "exit_status");
    if (!status.is_number_integer() ||
        (status.is_number_unsigned() &&
         status.get<std::uint64_t>() > std::uint64_t(std::numeric_limits<std::int64_t>::max()))) {
        bad("exit_status", "expected a whole number");
    }
    record.exit_status = status.get<std::int64_t>();
    record.summary = read_summary(member(doc, "", "summary"), "summary");
    Json& tests = member(doc, "", "tests");
    if (!tests.is_array()) {
        bad("tests", "expected an array");
    }
    record.tests.reserve(tests.size());
    for (std::size_t i = 0; i < tests.size(); ++i) {
        record.tests.push_back(read_test(tests[i], at("tests", i)));
    }
    return record;
}

bool digits(std::string_view text, std::size_t from, std::size_t count) {
    for (std::size_t i = from; i < from + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string_view outcome_name(Outcome outcome) {
    switch (outcome) {
        case Outcome::Ok:
            return "ok";
        case Outcome::Failed:
            return "failed";
        case Outcome::Ignored:
            return "ignored";
        case Outcome::Bench:
            break;
    }
    return "bench";
}

std::optional<Outcome> parse_outcome(std::string_view word) {
    for (Outcome o : {Outcome::Ok, Outcome::Failed, Outcome::Ignored, Outcome::Bench}) {
        if (word == outcome_name(o)) {
            return o;
        }
    }
    return std::nullopt;
}

bool is_record_timestamp(std::string_view t) {
    // 2024-01-31T23:59:59.000Z
    return t.size() == 24 && digits(t, 0, 4) && t[4] == '-' && digits(t, 5, 2) && t[7] == '-' &&
           digits(t, 8, 2) && t[10] == 'T' && digits(t, 11, 2) && t[13] == ':' &&
           digits(t, 14, 2) && t[16] == ':' && digits(t, 17, 2) && t[19] == '.' &&
           digits(t, 20, 3) && t[23] == 'Z';
}

bool is_label_key(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

Expected<RunRecord> parse_record(std::string_view bytes) {
    Json doc;
    try {
        doc = Json::parse(bytes);
    } catch (const Json::exception& e) {
        // "[json.exception.parse_error.101] parse error at line 1, column 5: ..."
        std::string what = e.what();
        if (auto close = what.find("] ");
            what.starts_with("[json.") && close != std::string::npos) {
            what.erase(0, close + 2);
        }
        if (bytes.empty()) {
            what = "the file is empty";
        }
        return Error{"not a JSON document: " + what};
    }
    try {
        return read_document(doc);
    } catch (const Bad& problem) {
        return Error{problem.message};
    } catch (const Json::exception& e) {
        return Error{std::string("unexpected document: ") + e.what()};
    }
}

Expected<RunRecord> read_record(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rbe");
    if (file == nullptr) {
        return Error{std::string("cannot read: ") + std::strerror(errno)};
    }
    std::string bytes;
    char buffer[1 << 16];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.append(buffer, got);
    }
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) {
        return Error{std::string("cannot read: ") + std::strerror(error)};
    }
    return parse_record(bytes);
}

}  // namespace zuno::results
