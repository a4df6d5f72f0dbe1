#include "formatters/json.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

#include "formatters/common.hpp"
#include "formatter_fixture.hpp"

namespace test::formatters {
namespace {

using namespace std::chrono_literals;
using testing::bytes;
using testing::desc_named;

const std::span<const std::uint8_t> kNoOutput;

TEST(EscapedString, EscapesTable) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"plain::name", "plain::name"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"C:\\path\\", "C:\\\\path\\\\"},
        {"\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
        {std::string("\x00\x01\x07", 3), "\\u0000\\u0001\\u0007"},
        {"\x0b\x0e\x1b\x1f", "\\u000b\\u000e\\u001b\\u001f"},
        {"\x7f", "\\u007f"},
        {" ~/", " ~/"},
        // Multi-byte characters pass through unchanged; each invalid sequence
        // (a stray byte, a truncated character) becomes one U+FFFD.
        {"caf\xc3\xa9 \xe2\x9c\x93 \xff", "caf\xc3\xa9 \xe2\x9c\x93 \xef\xbf\xbd"},
        {"name_\xe5\x90\"", "name_\xef\xbf\xbd\\\""},
        {"a\nb\"c", "a\\nb\\\"c"},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EscapedString(c.in).to_string(), c.out);
    }
}

TEST(JsonNumbers, ShortestDecimalWithoutExponent) {
    struct Case {
        double value;
        std::string text;
    };
    const Case cases[] = {
        {1.0, "1"},
        {2.0, "2"},
        {0.0, "0"},
        {-0.5, "-0.5"},
        {0.0015, "0.0015"},
        {0.042, "0.042"},
        {83.27, "83.27"},
        {1234.5, "1234.5"},
        {0.1, "0.1"},
        {1e-7, "0.0000001"},
        {1.5e-10, "0.00000000015"},
        {1e21, "1000000000000000000000"},
        {123456789012.0, "123456789012"},
        {1.25e16, "12500000000000000"},
        {5e-324, "0." + std::string(323, '0') + "5"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(format_decimal(c.value), c.text);
    }
    // Round trip, and no exponent anywhere.
    for (double v :
         {std::numeric_limits<double>::max(), 1.0 / 3.0, 2.0 / 3.0 * 1e-20, 123.456e30, 0.3}) {
        const std::string text = format_decimal(v);
        EXPECT_EQ(text.find_first_of("eE"), std::string::npos) << text;
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
    }
}

struct JsonRun {
    testing::Sink sink = testing::plain_sink();
    std::shared_ptr<testing::Record> record = sink.record;
    JsonFormatter f{std::move(sink.location)};
};

TEST(JsonFormatter, SuiteLines) {
    JsonRun run;
    ASSERT_TRUE(run.f.write_run_start(17, std::nullopt).ok());
    ASSERT_TRUE(run.f.write_run_start(2, 42).ok());
    ConsoleTestState state;
    state.passed = 3;
    state.ignored = 1;
    state.measured = 2;
    state.filtered_out = 5;
    auto ok = run.f.write_run_finish(state);
    ASSERT_TRUE(ok.ok());
    EXPECT_TRUE(ok.value());
    state.failed = 1;
    state.exec_time = TestSuiteExecTime{1s};
    auto failed = run.f.write_run_finish(state);
    ASSERT_TRUE(failed.ok());
    EXPECT_FALSE(failed.value());
    EXPECT_EQ(run.record->text,
              "{ \"type\": \"suite\", \"event\": \"started\", \"test_count\": 17 }\n"
              "{ \"type\": \"suite\", \"event\": \"started\", \"test_count\": 2, "
              "\"shuffle_seed\": 42 }\n"
              "{ \"type\": \"suite\", \"event\": \"ok\", \"passed\": 3, \"failed\": 0, "
              "\"ignored\": 1, \"measured\": 2, \"filtered_out\": 5 }\n"
              "{ \"type\": \"suite\", \"event\": \"failed\", \"passed\": 3, \"failed\": 1, "
              "\"ignored\": 1, \"measured\": 2, \"filtered_out\": 5, \"exec_time\": 1 }\n");
    // Each JSON line is written whole and flushed.
    EXPECT_EQ(run.record->flushes, 4u);
    EXPECT_EQ(run.record->operations, 4);
}

TEST(JsonFormatter, StartAndTimeoutPutEventBeforeName) {
    JsonRun run;
    ASSERT_TRUE(run.f.write_test_start(desc_named("a::b")).ok());
    ASSERT_TRUE(run.f.write_timeout(desc_named("q\"uo\\te")).ok());
    EXPECT_EQ(run.record->text,
              "{ \"type\": \"test\", \"event\": \"started\", \"name\": \"a::b\" }\n"
              "{ \"type\": \"test\", \"event\": \"timeout\", \"name\": \"q\\\"uo\\\\te\" }\n");
}

TEST(JsonFormatter, ResultLines) {
    TestDesc ignored_msg = desc_named("ig");
    ignored_msg.ignore = true;
    ignored_msg.ignore_message = "says \"no\"";
    const auto out = bytes("line\n\t\x1b[0m\x7f \xff");
    const std::string out_json = "line\\n\\t\\u001b[0m\\u007f \xEF\xBF\xBD";
    struct Case {
        TestDesc desc;
        TestResult result;
        std::optional<TestExecTime> time;
        std::vector<std::uint8_t> output;
        bool show_output;
        std::string expected;
    };
    const Case cases[] = {
        {desc_named("a"), TestResult::Ok{}, std::nullopt, out, false,
         R"({ "type": "test", "name": "a", "event": "ok" })"},
        {desc_named("a"), TestResult::Ok{}, std::nullopt, out, true,
         R"({ "type": "test", "name": "a", "event": "ok", "stdout": ")" + out_json + "\" }"},
        {desc_named("a"),
         TestResult::Ok{},
         TestExecTime{1s},
         {},
         true,
         R"({ "type": "test", "name": "a", "event": "ok", "exec_time": 1 })"},
        {desc_named("f"), TestResult::Failed{}, TestExecTime{1500us}, out, false,
         R"({ "type": "test", "name": "f", "event": "failed", "exec_time": 0.0015, "stdout": ")" +
             out_json + "\" }"},
        {desc_named("f"),
         TestResult::Failed{},
         std::nullopt,
         {},
         false,
         R"({ "type": "test", "name": "f", "event": "failed" })"},
        {desc_named("m"),
         TestResult::FailedMsg{"bad\n\"x\""},
         std::nullopt,
         {},
         false,
         R"({ "type": "test", "name": "m", "event": "failed", "message": "bad\n\"x\"" })"},
        {desc_named("t"), TestResult::TimedFail{}, TestExecTime{2s}, bytes("o"), false,
         R"({ "type": "test", "name": "t", "event": "failed", "exec_time": 2, "stdout": "o", )"
         R"("reason": "time limit exceeded" })"},
        {desc_named("i"),
         TestResult::Ignored{},
         std::nullopt,
         {},
         false,
         R"({ "type": "test", "name": "i", "event": "ignored" })"},
        {ignored_msg,
         TestResult::Ignored{},
         std::nullopt,
         {},
         false,
         R"({ "type": "test", "name": "ig", "event": "ignored", "message": "says \"no\"" })"},
    };
    for (const Case& c : cases) {
        JsonRun run;
        ConsoleTestState state;
        state.options.display_output = c.show_output;
        ASSERT_TRUE(run.f.write_result(c.desc, c.result, c.time, c.output, state).ok());
        EXPECT_EQ(run.record->text, c.expected + "\n");
    }
}

TEST(JsonFormatter, BenchLine) {
    BenchSamples s;
    s.ns_iter_summ.median = 1234.5;
    s.ns_iter_summ.min = 1200;
    s.ns_iter_summ.max = 1300.25;
    JsonRun run;
    ConsoleTestState state;
    state.options.display_output = true;
    const TestDesc d = desc_named("b\"x", TestType::Unit, NamePadding::PadRight);
    ASSERT_TRUE(
        run.f.write_result(d, TestResult::Bench{s}, TestExecTime{1s}, bytes("out"), state).ok());
    s.mb_s = 512;
    ASSERT_TRUE(run.f.write_result(d, TestResult::Bench{s}, std::nullopt, kNoOutput, state).ok());
    EXPECT_EQ(run.record->text,
              R"({ "type": "bench", "name": "b\"x", "median": 1234.5, "deviation": 100.25 })"
              "\n"
              R"({ "type": "bench", "name": "b\"x", "median": 1234.5, "deviation": 100.25, )"
              R"("mib_per_second": 512 })"
              "\n");
}

TEST(JsonFormatter, DiscoveryLines) {
    JsonRun run;
    TestDesc d = desc_named("dev::copy");
    d.source_path = "crates/x \"q\".rs";
    d.start_line = 12;
    d.start_col = 4;
    d.end_line = 12;
    d.end_col = 13;
    TestDesc ig = desc_named("dev::ig");
    ig.ignore = true;
    ig.ignore_message = "no \"card\"";
    ig.source_path = "t.rs";
    ConsoleTestDiscoveryState state;
    state.tests = 2;
    state.benchmarks = 1;
    state.ignored = 1;
    ASSERT_TRUE(run.f.write_discovery_start().ok());
    const std::string start = run.record->text;
    EXPECT_EQ(start, "{ \"type\": \"suite\", \"event\": \"discovery\" }\n");
    EXPECT_EQ(start.size(), 42u);
    run.record->text.clear();
    ASSERT_TRUE(run.f.write_test_discovered(d, "test").ok());
    ASSERT_TRUE(run.f.write_test_discovered(ig, "benchmark").ok());
    ASSERT_TRUE(run.f.write_discovery_finish(state).ok());
    EXPECT_EQ(run.record->text,
              R"({ "type": "test", "event": "discovered", "name": "dev::copy", "ignore": false, )"
              R"("ignore_message": "", "source_path": "crates/x \"q\".rs", "start_line": 12, )"
              R"("start_col": 4, "end_line": 12, "end_col": 13 })"
              "\n"
              R"({ "type": "benchmark", "event": "discovered", "name": "dev::ig", "ignore": true, )"
              R"("ignore_message": "no \"card\"", "source_path": "t.rs", "start_line": 0, )"
              R"("start_col": 0, "end_line": 0, "end_col": 0 })"
              "\n"
              R"({ "type": "suite", "event": "completed", "tests": 2, "benchmarks": 1, )"
              R"("total": 3, "ignored": 1 })"
              "\n");
}

TEST(JsonFormatter, MergedDoctestsReport) {
    JsonRun run;
    ASSERT_TRUE(run.f.write_merged_doctests_times(2.5, 1.0).ok());
    EXPECT_EQ(run.record->text,
              "{ \"type\": \"report\", \"total_time\": 2.5, \"compilation_time\": 1 }\n");
}

TEST(JsonFormatter, WriteErrorIsReturned) {
    JsonRun run;
    run.record->fail_after = 0;
    auto r = run.f.write_run_start(1, std::nullopt);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), rt::ErrorKind::BrokenPipe);
    ConsoleTestState state;
    EXPECT_FALSE(run.f.write_run_finish(state).ok());
    EXPECT_EQ(run.record->text, "");
}

}  // namespace
}  // namespace test::formatters
