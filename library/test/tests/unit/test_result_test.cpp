#include "test_result.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace test {
namespace {

using namespace std::chrono_literals;

TestDesc desc_with(ShouldPanic should_panic, std::string_view source_path = "tests/model.cpp") {
    TestDesc desc;
    desc.name = TestName::static_name("model::case");
    desc.source_path = source_path;
    desc.start_line = 12;
    desc.start_col = 4;
    desc.should_panic = should_panic;
    desc.test_type = TestType::Integration;
    return desc;
}

struct Row {
    const char* what;
    ShouldPanic expect;
    std::optional<rt::Payload> failure;
    TestResult want;
    std::string_view source_path = "tests/model.cpp";
};

TEST(CalcResult, ExpectationTable) {
    const auto owned = [](const char* s) { return rt::Payload::owned(s); };
    const std::vector<Row> rows = {
        {"passes", ShouldPanic::not_expected(), std::nullopt, TestResult::Ok{}},
        {"panics unexpectedly", ShouldPanic::not_expected(), owned("boom"), TestResult::Failed{}},
        {"panics as expected", ShouldPanic::expected(), owned("boom"), TestResult::Ok{}},
        {"expected panic, any payload", ShouldPanic::expected(), rt::Payload::any(7),
         TestResult::Ok{}},
        {"message contained (owned)", ShouldPanic::expected_with_message("oo"), owned("boom"),
         TestResult::Ok{}},
        {"message contained (static)", ShouldPanic::expected_with_message("boo"),
         rt::Payload::static_str("boom"), TestResult::Ok{}},
        {"empty expectation is always contained", ShouldPanic::expected_with_message(""), owned(""),
         TestResult::Ok{}},
        {"message missing: A", ShouldPanic::expected_with_message("zap"), owned("bo\"o\\m\n"),
         TestResult::FailedMsg{"panic did not contain expected string\n"
                               "      panic message: \"bo\\\"o\\\\m\\n\"\n"
                               " expected substring: \"zap\""}},
        {"case matters: A", ShouldPanic::expected_with_message("Boom"), owned("boom"),
         TestResult::FailedMsg{"panic did not contain expected string\n"
                               "      panic message: \"boom\"\n"
                               " expected substring: \"Boom\""}},
        {"non-string payload: B", ShouldPanic::expected_with_message("a\"b"), rt::Payload::any(42),
         TestResult::FailedMsg{"expected panic with string value,\n"
                               " found non-string value: `TypeId(\"int\")`\n"
                               "     expected substring: \"a\\\"b\""}},
        {"did not panic: C with location", ShouldPanic::expected(), std::nullopt,
         TestResult::FailedMsg{"test did not panic as expected at tests/model.cpp:12:4"}},
        {"did not panic with message: C", ShouldPanic::expected_with_message("x"), std::nullopt,
         TestResult::FailedMsg{"test did not panic as expected at tests/model.cpp:12:4"}},
        {"did not panic, no source path: C", ShouldPanic::expected(), std::nullopt,
         TestResult::FailedMsg{"test did not panic as expected"}, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const TestDesc desc = desc_with(row.expect, row.source_path);
        EXPECT_EQ(calc_result(desc, row.failure, std::nullopt, std::nullopt), row.want);
        // Without --ensure-time a long run changes nothing.
        TestTimeOptions report_only;
        report_only.integration_threshold = {1ms, 2ms};
        EXPECT_EQ(calc_result(desc, row.failure, report_only, TestExecTime{10s}), row.want);
    }
}

TEST(CalcResult, TimeLimitAppliesOnlyToPasses) {
    TestTimeOptions ensure;
    ensure.error_on_excess = true;
    ensure.unit_threshold = {50ms, 100ms};
    ensure.integration_threshold = {250ms, 500ms};
    ensure.doctest_threshold = {1s, 2s};
    const TestDesc pass = desc_with(ShouldPanic::not_expected());
    const auto at = [](Duration d) { return std::optional<TestExecTime>(TestExecTime{d}); };

    // Equality with the critical time counts; one millisecond below does not.
    EXPECT_EQ(calc_result(pass, std::nullopt, ensure, at(500ms)),
              TestResult(TestResult::TimedFail{}));
    EXPECT_EQ(calc_result(pass, std::nullopt, ensure, at(499ms)), TestResult(TestResult::Ok{}));
    EXPECT_EQ(calc_result(pass, std::nullopt, ensure, at(3s)), TestResult(TestResult::TimedFail{}));
    // Thresholds follow the test type.
    TestDesc unit = pass;
    unit.test_type = TestType::Unit;
    EXPECT_EQ(calc_result(unit, std::nullopt, ensure, at(100ms)),
              TestResult(TestResult::TimedFail{}));
    EXPECT_EQ(calc_result(unit, std::nullopt, ensure, at(99ms)), TestResult(TestResult::Ok{}));
    // No measured time, or no options: nothing to judge.
    EXPECT_EQ(calc_result(pass, std::nullopt, ensure, std::nullopt), TestResult(TestResult::Ok{}));
    EXPECT_EQ(calc_result(pass, std::nullopt, std::nullopt, at(3s)), TestResult(TestResult::Ok{}));
    // A failure keeps its reason, whatever the time.
    EXPECT_EQ(calc_result(pass, rt::Payload::owned("boom"), ensure, at(3s)),
              TestResult(TestResult::Failed{}));
    const TestDesc expected = desc_with(ShouldPanic::expected());
    EXPECT_EQ(calc_result(expected, std::nullopt, ensure, at(3s)),
              TestResult(
                  TestResult::FailedMsg{"test did not panic as expected at tests/model.cpp:12:4"}));
    // An expected panic is a pass and so is subject to the limit.
    EXPECT_EQ(calc_result(expected, rt::Payload::owned("boom"), ensure, at(3s)),
              TestResult(TestResult::TimedFail{}));
}

}  // namespace
}  // namespace test
