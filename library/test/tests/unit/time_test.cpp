#include "time.hpp"

#include "support.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace test {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

constexpr const char* kTimeVars[] = {"ZUNO_TEST_TIME_UNIT", "ZUNO_TEST_TIME_INTEGRATION",
                                     "ZUNO_TEST_TIME_DOCTEST"};

// Clears the time variables for one test and puts the original values back.
class TimeEnv : public ::testing::Test {
protected:
    void SetUp() override { saved_.clear(); }
    static void set(const char* name, const std::optional<std::string>& value) {
        support::EnvGuard::set(name, value);
    }

private:
    support::EnvGuard saved_{kTimeVars};
};

using support::panic_message;

TestDesc desc_of(TestType type) {
    TestDesc desc;
    desc.test_type = type;
    return desc;
}

using FromEnvOutcome = std::variant<std::monostate, TimeThreshold, std::string>;

TEST_F(TimeEnv, FromEnvVar) {
    const std::string number_msg =
        "Duration value in variable ZUNO_TEST_TIME_UNIT is expected to be a number, but got ";
    const std::string comma_msg =
        "Duration variable ZUNO_TEST_TIME_UNIT expected to have 2 numbers separated by comma, but "
        "got ";
    const std::string order_msg =
        "Test execution warn time should be less or equal to the critical time";
    struct Case {
        std::optional<std::string> value;
        FromEnvOutcome expected;  // monostate: nothing; string: the panic message
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::monostate{}},
        {"\xFF\xFE", std::monostate{}},  // not UTF-8 counts as unset
        {"500,2000", TimeThreshold{milliseconds(500), milliseconds(2000)}},
        {"+50,+100", TimeThreshold{milliseconds(50), milliseconds(100)}},
        {"500,500", TimeThreshold{milliseconds(500), milliseconds(500)}},
        {"0,0", TimeThreshold{}},
        {"1500,0061500", TimeThreshold{milliseconds(1500), seconds(61) + milliseconds(500)}},
        {" 50,100", number_msg + " 50"},
        {"50,100 ", number_msg + "100 "},
        {"500,abc", number_msg + "abc"},
        {"abc,xyz", number_msg + "abc"},  // the warning part is judged first
        {",100", number_msg},
        {"100,", number_msg},
        {"-5,100", number_msg + "-5"},
        {"+,100", number_msg + "+"},
        {"5ms,100", number_msg + "5ms"},
        {"18446744073709551616,1", number_msg + "18446744073709551616"},
        {"500,2000,3000", number_msg + "2000,3000"},
        {"500", comma_msg + "500"},
        {"", comma_msg},
        {"2000,500", order_msg},
        {"2000,abc", number_msg + "abc"},  // numbers are checked before their order
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value.value_or("<unset>"));
        set("ZUNO_TEST_TIME_UNIT", c.value);
        std::optional<TimeThreshold> got;
        const std::optional<std::string> panicked =
            panic_message([&] { got = TimeThreshold::from_env_var("ZUNO_TEST_TIME_UNIT"); });
        if (const auto* message = std::get_if<std::string>(&c.expected)) {
            EXPECT_EQ(panicked, *message);
        } else if (const auto* threshold = std::get_if<TimeThreshold>(&c.expected)) {
            ASSERT_EQ(panicked, std::nullopt);
            ASSERT_TRUE(got.has_value());
            EXPECT_EQ(got->warn, threshold->warn);
            EXPECT_EQ(got->critical, threshold->critical);
        } else {
            EXPECT_EQ(panicked, std::nullopt);
            EXPECT_FALSE(got.has_value());
        }
    }
}

TEST_F(TimeEnv, HugeMillisecondCountsSaturate) {
    // 2^64 - 1 ms does not fit in a nanosecond count: it must become the
    // longest duration, not wrap around to a short or negative one.
    set("ZUNO_TEST_TIME_UNIT", "1000,18446744073709551615");
    const std::optional<TimeThreshold> got = TimeThreshold::from_env_var("ZUNO_TEST_TIME_UNIT");
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->warn, seconds(1));
    EXPECT_EQ(got->critical, Duration::max());
}

TEST_F(TimeEnv, NewFromEnvDefaultsAndOverrides) {
    TestTimeOptions defaults = TestTimeOptions::new_from_env(false);
    EXPECT_FALSE(defaults.error_on_excess);
    EXPECT_EQ(defaults.unit_threshold.warn, milliseconds(50));
    EXPECT_EQ(defaults.unit_threshold.critical, milliseconds(100));
    EXPECT_EQ(defaults.integration_threshold.warn, milliseconds(500));
    EXPECT_EQ(defaults.integration_threshold.critical, milliseconds(1000));
    EXPECT_EQ(defaults.doctest_threshold.warn, milliseconds(500));
    EXPECT_EQ(defaults.doctest_threshold.critical, milliseconds(1000));

    set("ZUNO_TEST_TIME_INTEGRATION", "10,20");
    TestTimeOptions mixed = TestTimeOptions::new_from_env(true);
    EXPECT_TRUE(mixed.error_on_excess);
    EXPECT_EQ(mixed.unit_threshold.warn, milliseconds(50));
    EXPECT_EQ(mixed.integration_threshold.warn, milliseconds(10));
    EXPECT_EQ(mixed.integration_threshold.critical, milliseconds(20));
    EXPECT_EQ(mixed.doctest_threshold.critical, milliseconds(1000));

    // The variables are read unit, integration, doctest: the first bad one stops.
    set("ZUNO_TEST_TIME_DOCTEST", "x");
    set("ZUNO_TEST_TIME_INTEGRATION", "y");
    EXPECT_EQ(panic_message([] { (void)TestTimeOptions::new_from_env(false); }),
              "Duration variable ZUNO_TEST_TIME_INTEGRATION expected to have 2 numbers separated "
              "by comma, but got y");
}

TEST(TimeJudgement, WarnAndCriticalPerTestType) {
    TestTimeOptions opts;
    opts.unit_threshold = {milliseconds(50), milliseconds(100)};
    opts.integration_threshold = {milliseconds(500), milliseconds(2000)};
    opts.doctest_threshold = {milliseconds(7), milliseconds(8)};
    struct Case {
        TestType type;
        Duration exec;
        bool warn;
        bool critical;
    };
    const std::vector<Case> cases = {
        {TestType::Unit, milliseconds(49), false, false},
        {TestType::Unit, milliseconds(50), true, false},
        {TestType::Unit, milliseconds(100) - nanoseconds(1), true, false},
        {TestType::Unit, milliseconds(100), true, true},  // reaching it is enough
        {TestType::Integration, milliseconds(499), false, false},
        {TestType::Integration, milliseconds(1999), true, false},
        {TestType::Integration, seconds(2), true, true},
        {TestType::Doc, milliseconds(7), true, false},
        {TestType::Doc, milliseconds(8), true, true},
        // Tests of no particular kind have fixed limits, whatever is configured.
        {TestType::Unclassified, seconds(59), false, false},
        {TestType::Unclassified, seconds(60), true, false},
        {TestType::Unclassified, seconds(120) - nanoseconds(1), true, false},
        {TestType::Unclassified, seconds(120), true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.type));
        SCOPED_TRACE(c.exec.count());
        EXPECT_EQ(opts.is_warn(desc_of(c.type), c.exec), c.warn);
        EXPECT_EQ(opts.is_critical(desc_of(c.type), c.exec), c.critical);
    }
    EXPECT_EQ(opts.warn_time(desc_of(TestType::Unclassified)), seconds(60));
    EXPECT_EQ(opts.critical_time(desc_of(TestType::Unclassified)), seconds(120));
    EXPECT_EQ(opts.critical_time(desc_of(TestType::Integration)), seconds(2));
}

TEST(TimeDisplay, ExecAndSuiteTimes) {
    const std::vector<std::pair<Duration, std::string>> exec_cases = {
        {milliseconds(42), "0.042s"},
        {Duration::zero(), "0.000s"},
        {seconds(1) + milliseconds(500), "1.500s"},
        {nanoseconds(999'999'999), "1.000s"},
        {nanoseconds(1'234'400'000), "1.234s"},
        {seconds(61) + milliseconds(7), "61.007s"},
    };
    for (const auto& [d, text] : exec_cases) {
        EXPECT_EQ(TestExecTime{d}.to_string(), text);
    }
    const std::vector<std::pair<Duration, std::string>> suite_cases = {
        {milliseconds(83'270), "83.27s"},
        {Duration::zero(), "0.00s"},
        {milliseconds(42), "0.04s"},
        {seconds(3600), "3600.00s"},
        {nanoseconds(9'996'000'000), "10.00s"},
    };
    for (const auto& [d, text] : suite_cases) {
        EXPECT_EQ(TestSuiteExecTime{d}.to_string(), text);
    }
    EXPECT_DOUBLE_EQ(as_secs_f64(seconds(2) + milliseconds(250)), 2.25);
    EXPECT_DOUBLE_EQ(as_secs_f64(nanoseconds(1)), 1e-9);
}

}  // namespace
}  // namespace test
