#pragma once
// Time limits: warn and critical thresholds per test type, read from the
// ZUNO_TEST_TIME_* variables, and the display forms of measured times.
// Malformed variables stop the process with a panic.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "types.hpp"

namespace test {

using Duration = std::chrono::nanoseconds;

/// How long a test may run, when tests run in parallel, before it is reported
/// once as long-running.
inline constexpr std::chrono::seconds LONG_RUNNING_PERIOD{60};

/// The period in words, in whole seconds: "60 seconds", "1 second".
std::string period_text(std::chrono::seconds period);

/// Warn and critical durations of one test type; warn <= critical.
struct TimeThreshold {
    Duration warn{};
    Duration critical{};

    /// Reads "WARN_MS,CRITICAL_MS" from `variable_name`; nothing when unset.
    /// Malformed content panics with the exact message.
    static std::optional<TimeThreshold> from_env_var(const char* variable_name);
    bool operator==(const TimeThreshold&) const = default;
};

/// Time-limit options: whether to fail on excess, and thresholds per type.
struct TestTimeOptions {
    bool error_on_excess = false;
    TimeThreshold unit_threshold;
    TimeThreshold integration_threshold;
    TimeThreshold doctest_threshold;

    /// Reads the three variables (unit, integration, doctest) with defaults.
    static TestTimeOptions new_from_env(bool error_on_excess);
    [[nodiscard]] Duration warn_time(const TestDesc& desc) const;
    [[nodiscard]] Duration critical_time(const TestDesc& desc) const;
    [[nodiscard]] bool is_warn(const TestDesc& desc, Duration exec_time) const;
    [[nodiscard]] bool is_critical(const TestDesc& desc, Duration exec_time) const;
    bool operator==(const TestTimeOptions&) const = default;
};

/// One test's execution time; displays as seconds with three decimals ("0.042s").
struct TestExecTime {
    Duration value{};
    [[nodiscard]] std::string to_string() const;
    bool operator==(const TestExecTime&) const = default;
};

/// The whole run's duration; displays with two decimals ("83.27s").
struct TestSuiteExecTime {
    Duration value{};
    [[nodiscard]] std::string to_string() const;
};

/// Seconds of `d` as a double (whole seconds plus nanoseconds / 1e9).
double as_secs_f64(Duration d);

/// A per-test time limit (`--test-timeout`, zuno::timeout) of `secs` seconds
/// as a duration, capped at about a century so that deadlines cannot overflow.
std::chrono::nanoseconds time_limit_duration(double secs);

/// The failure message of a test stopped at its time limit of `secs` seconds
/// (shown in the shortest form that reads back: "1", "0.25").
std::string time_limit_message(double secs);

}  // namespace test
