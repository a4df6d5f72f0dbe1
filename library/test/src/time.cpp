#include "time.hpp"

#include "panic.hpp"
#include "text.hpp"
#include "helpers/number.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string_view>

namespace test {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Thresholds used when a variable is unset, and the fixed ones of tests of no
// particular kind.
constexpr TimeThreshold kUnitDefault{milliseconds(50), milliseconds(100)};
constexpr TimeThreshold kIntegrationDefault{milliseconds(500), milliseconds(1000)};
constexpr TimeThreshold kDoctestDefault{milliseconds(500), milliseconds(1000)};
constexpr TimeThreshold kUnclassified{seconds(60), seconds(120)};

// An optional "+" and one or more decimal digits, fitting in 64 bits.
std::optional<std::uint64_t> parse_millis(std::string_view text) {
    const helpers::Decimal d =
        helpers::parse_decimal(text, std::numeric_limits<std::uint64_t>::max());
    if (d.error != nullptr) {
        return std::nullopt;
    }
    return d.value;
}

// Milliseconds as a Duration. Counts beyond what a Duration holds (about 292
// years) saturate at its maximum rather than wrapping to a small or negative
// threshold.
Duration from_millis(std::uint64_t ms) {
    constexpr auto kMaxMillis =
        static_cast<std::uint64_t>(std::numeric_limits<Duration::rep>::max() / 1'000'000);
    if (ms > kMaxMillis) {
        return Duration::max();
    }
    return milliseconds(static_cast<milliseconds::rep>(ms));
}

std::string format_seconds(Duration d, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*fs", decimals, as_secs_f64(d));
    return buf;
}

// The thresholds that apply to a test of `desc`'s type; tests of no particular
// type have fixed ones, whatever is configured.
const TimeThreshold& threshold_for(const TestTimeOptions& opts, const TestDesc& desc) {
    switch (desc.test_type) {
        case TestType::Unit:
            return opts.unit_threshold;
        case TestType::Integration:
            return opts.integration_threshold;
        case TestType::Doc:
            return opts.doctest_threshold;
        case TestType::Unclassified:
            break;
    }
    return kUnclassified;
}

}  // namespace

std::optional<TimeThreshold> TimeThreshold::from_env_var(const char* variable_name) {
    const std::optional<std::string> value = rt::env_var(variable_name);
    if (!value) {
        return std::nullopt;
    }
    const std::string_view content = *value;
    const std::size_t comma = content.find(',');
    if (comma == std::string_view::npos) {
        rt::panic("Duration variable " + std::string(variable_name) +
                  " expected to have 2 numbers separated by comma, but got " + *value);
    }
    auto parse_part = [&](std::string_view part) {
        const std::optional<std::uint64_t> ms = parse_millis(part);
        if (!ms) {
            rt::panic("Duration value in variable " + std::string(variable_name) +
                      " is expected to be a number, but got " + std::string(part));
        }
        return *ms;
    };
    const std::uint64_t warn_ms = parse_part(content.substr(0, comma));
    const std::uint64_t critical_ms = parse_part(content.substr(comma + 1));
    if (critical_ms < warn_ms) {
        rt::panic("Test execution warn time should be less or equal to the critical time");
    }
    return TimeThreshold{from_millis(warn_ms), from_millis(critical_ms)};
}

TestTimeOptions TestTimeOptions::new_from_env(bool error_on_excess) {
    TestTimeOptions opts;
    opts.error_on_excess = error_on_excess;
    opts.unit_threshold = TimeThreshold::from_env_var("ZUNO_TEST_TIME_UNIT").value_or(kUnitDefault);
    opts.integration_threshold =
        TimeThreshold::from_env_var("ZUNO_TEST_TIME_INTEGRATION").value_or(kIntegrationDefault);
    opts.doctest_threshold =
        TimeThreshold::from_env_var("ZUNO_TEST_TIME_DOCTEST").value_or(kDoctestDefault);
    return opts;
}

Duration TestTimeOptions::warn_time(const TestDesc& desc) const {
    return threshold_for(*this, desc).warn;
}

Duration TestTimeOptions::critical_time(const TestDesc& desc) const {
    return threshold_for(*this, desc).critical;
}

bool TestTimeOptions::is_warn(const TestDesc& desc, Duration exec_time) const {
    return exec_time >= warn_time(desc);
}

bool TestTimeOptions::is_critical(const TestDesc& desc, Duration exec_time) const {
    return exec_time >= critical_time(desc);
}

std::string TestExecTime::to_string() const {
    return format_seconds(value, 3);
}

std::string TestSuiteExecTime::to_string() const {
    return format_seconds(value, 2);
}

std::string period_text(std::chrono::seconds period) {
    const auto count = period.count();
    return std::to_string(count) + (count == 1 ? " second" : " seconds");
}

double as_secs_f64(Duration d) {
    const auto secs = std::chrono::duration_cast<seconds>(d);
    const auto nanos = d - secs;
    return static_cast<double>(secs.count()) + static_cast<double>(nanos.count()) / 1e9;
}

std::chrono::nanoseconds time_limit_duration(double secs) {
    constexpr double kCentury = 100.0 * 365 * 24 * 3600;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(std::min(secs, kCentury)));
}

std::string time_limit_message(double secs) {
    char text[32];
    const auto shown = std::to_chars(text, text + sizeof text, secs);
    return "test exceeded the time limit of " + std::string(text, shown.ptr) + " s";
}

}  // namespace test
