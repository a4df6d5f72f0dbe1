#include "test_result.hpp"

#include <string>
#include <string_view>

#include "text.hpp"

namespace test {

namespace {

// The "did not panic" message, with the declaration's location when known.
std::string did_not_panic(const TestDesc& desc) {
    std::string msg = "test did not panic as expected";
    if (!desc.source_path.empty()) {
        msg += " at ";
        msg += desc.source_path;
        msg += ':';
        msg += std::to_string(desc.start_line);
        msg += ':';
        msg += std::to_string(desc.start_col);
    }
    return msg;
}

// Judges the body's outcome against the descriptor's expectation.
TestResult expectation_result(const TestDesc& desc, const std::optional<rt::Payload>& failure) {
    using Kind = ShouldPanic::Kind;
    const ShouldPanic& expect = desc.should_panic;
    if (!failure) {
        if (expect.kind == Kind::NotExpected) {
            return TestResult::Ok{};
        }
        return TestResult::FailedMsg{did_not_panic(desc)};
    }
    switch (expect.kind) {
        case Kind::NotExpected:
            return TestResult::Failed{};
        case Kind::Expected:
            return TestResult::Ok{};
        case Kind::ExpectedWithMessage:
            break;
    }
    const std::optional<std::string_view> text = failure->text();
    if (!text) {
        return TestResult::FailedMsg{
            "expected panic with string value,\n found non-string value: `" +
            std::string("TypeId(") + rt::debug_quote(failure->type_name()) +
            ")`\n     expected substring: " + rt::debug_quote(expect.message)};
    }
    if (text->find(expect.message) != std::string_view::npos) {
        return TestResult::Ok{};
    }
    return TestResult::FailedMsg{
        "panic did not contain expected string\n      panic message: " + rt::debug_quote(*text) +
        "\n expected substring: " + rt::debug_quote(expect.message)};
}

}  // namespace

TestResult calc_result(const TestDesc& desc, const std::optional<rt::Payload>& failure,
                       const std::optional<TestTimeOptions>& time_opts,
                       const std::optional<TestExecTime>& exec_time) {
    return apply_time_limit(expectation_result(desc, failure), desc, time_opts, exec_time);
}

TestResult apply_time_limit(TestResult result, const TestDesc& desc,
                            const std::optional<TestTimeOptions>& time_opts,
                            const std::optional<TestExecTime>& exec_time) {
    // Only a pass can turn into a timed failure; a failure keeps its reason.
    if (result.is<TestResult::Ok>() && time_opts && exec_time && time_opts->error_on_excess &&
        time_opts->is_critical(desc, exec_time->value)) {
        return TestResult::TimedFail{};
    }
    return result;
}

}  // namespace test
