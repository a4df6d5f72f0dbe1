#pragma once
// Files that steer a run from what earlier runs recorded: a list of test names
// (--tests-from), a shard plan (--shard-plan) and a quarantine
// (--quarantine). The two JSON documents are read by a small strict reader
// that accepts exactly their shape and nothing else. Every error is a
// complete option-error message naming the file. Plain data; read once on the
// main thread while the options are parsed.

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "result.hpp"

namespace test {

/// The names of --tests-from FILE: one name per line, empty lines left out.
struct TestList {
    std::string path;
    std::vector<std::string> names;
    bool operator==(const TestList&) const = default;
};

/// A shard plan: the shard of each test it names.
struct ShardPlanFile {
    std::string path;
    std::size_t shards = 0;
    std::unordered_map<std::string, std::size_t> shard_of;
    bool operator==(const ShardPlanFile&) const = default;
};

/// One quarantined test.
struct QuarantineEntry {
    std::string reason;
    /// The last day of the quarantine, "YYYY-MM-DD" (UTC); none: no end.
    std::optional<std::string> until;
    bool operator==(const QuarantineEntry&) const = default;
};

/// A quarantine: entries by test name.
struct QuarantineFile {
    std::string path;
    std::map<std::string, QuarantineEntry, std::less<>> tests;
    bool operator==(const QuarantineFile&) const = default;
};

/// Reads a test list from `path`. Errors: the file cannot be read, or is not UTF-8.
[[nodiscard]] rt::Result<TestList, std::string> read_test_list(const std::string& path);
/// Parses the bytes of a test list read from `path`.
[[nodiscard]] rt::Result<TestList, std::string> parse_test_list(const std::string& path,
                                                                std::string_view bytes);

/// Reads a shard plan (format "zuno-shard-plan", version 1) from `path`.
[[nodiscard]] rt::Result<ShardPlanFile, std::string> read_shard_plan(const std::string& path);
/// Parses the bytes of a shard plan read from `path`.
[[nodiscard]] rt::Result<ShardPlanFile, std::string> parse_shard_plan(const std::string& path,
                                                                      std::string_view bytes);

/// Reads a quarantine (format "zuno-quarantine", version 1) from `path`.
[[nodiscard]] rt::Result<QuarantineFile, std::string> read_quarantine(const std::string& path);
/// Parses the bytes of a quarantine read from `path`.
[[nodiscard]] rt::Result<QuarantineFile, std::string> parse_quarantine(const std::string& path,
                                                                       std::string_view bytes);

/// The entry of `name` in `quarantine` when it is in force on `today`
/// ("YYYY-MM-DD"): it has no end, or ends today or later. Null otherwise.
[[nodiscard]] const QuarantineEntry* quarantine_in_force(const QuarantineFile& quarantine,
                                                         std::string_view name,
                                                         std::string_view today);

/// Today's date in UTC, "YYYY-MM-DD".
[[nodiscard]] std::string utc_today();

}  // namespace test
