#pragma once
// The quarantine: tests that keep running but whose failures do not fail the
// run, each with a reason and, normally, an end date. Kept in the results
// database (table quarantine) and handed to test programs as a JSON file
// (`quarantine export`, read with --quarantine). Dates are UTC days,
// "YYYY-MM-DD".

#include <cstdint>
#include <optional>
#include <string>

#include "command.hpp"

namespace zuno::results {

/// The only value of a quarantine file's "format" field, and its version.
inline constexpr std::string_view QUARANTINE_FORMAT = "zuno-quarantine";
inline constexpr int QUARANTINE_VERSION = 1;
/// How long a quarantine lasts unless --days says otherwise.
inline constexpr std::int64_t DEFAULT_QUARANTINE_DAYS = 14;

/// The UTC day `days` after today, "YYYY-MM-DD".
[[nodiscard]] std::string utc_date_in(std::int64_t days);

/// Puts `name` in quarantine until `until` (or without end), with `reason`.
/// A test already there gets the new reason and end; its start stays.
Expected<void> quarantine_test(Database& db, const std::string& name, const std::string& reason,
                               const std::optional<std::string>& until);

/// `zuno-results quarantine add|remove|list|export ...`.
int cmd_quarantine(Options& o);

/// For `flaky --quarantine-days D`: quarantines every test of the flaky
/// table for D days with the reason "flaky: <f> failures in <r> runs".
int quarantine_flaky(Database& db, const Table& flaky, const Options& o);

}  // namespace zuno::results
