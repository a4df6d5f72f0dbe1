#include "formatters/pretty.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "formatter_fixture.hpp"

namespace test::formatters {
namespace {

using namespace std::chrono_literals;
using testing::bytes;
using testing::desc_named;
using testing::entry;

const std::span<const std::uint8_t> kNoOutput;

PrettyFormatter make(testing::Sink& sink, bool use_color = true, bool parallel = false,
                     std::optional<TestTimeOptions> time_options = std::nullopt,
                     std::size_t name_width = 0) {
    return PrettyFormatter(std::move(sink.location), use_color, name_width, parallel, time_options);
}

TestTimeOptions default_time_options() {
    TestTimeOptions t;
    t.unit_threshold = {50ms, 100ms};
    t.integration_threshold = {500ms, 1000ms};
    t.doctest_threshold = {500ms, 1000ms};
    return t;
}

BenchSamples bench_samples() {
    BenchSamples s;
    s.ns_iter_summ.median = 1234.5;
    s.ns_iter_summ.min = 1200;
    s.ns_iter_summ.max = 1300;
    return s;
}

TEST(PrettyFormatter, RunStartLine) {
    struct Case {
        std::size_t count;
        std::optional<std::uint64_t> seed;
        std::string expected;
    };
    const Case cases[] = {
        {1, std::nullopt, "\nrunning 1 test\n"},
        {0, std::nullopt, "\nrunning 0 tests\n"},
        {17, std::nullopt, "\nrunning 17 tests\n"},
        {3, 42, "\nrunning 3 tests (shuffle seed: 42)\n"},
        {1, 18446744073709551615ull, "\nrunning 1 test (shuffle seed: 18446744073709551615)\n"},
    };
    for (const Case& c : cases) {
        auto sink = testing::terminal_sink();
        auto f = make(sink);
        ASSERT_TRUE(f.write_run_start(c.count, c.seed).ok());
        EXPECT_EQ(sink.record->text, c.expected) << c.count;
    }
}

TEST(PrettyFormatter, SequentialWritesNameAtStartAndResultLater) {
    auto sink = testing::terminal_sink();
    auto f = make(sink);
    ConsoleTestState state;
    const TestDesc a = desc_named("a");
    ASSERT_TRUE(f.write_test_start(a).ok());
    EXPECT_EQ(sink.record->text, "test a ... ");
    ASSERT_TRUE(f.write_result(a, TestResult::Ok{}, std::nullopt, kNoOutput, state).ok());
    EXPECT_EQ(sink.record->text, "test a ... <fg2>ok<reset>\n");
}

TEST(PrettyFormatter, ParallelWritesWholeLineAtResult) {
    auto sink = testing::terminal_sink();
    auto f = make(sink, true, /*parallel=*/true);
    ConsoleTestState state;
    const TestDesc a = desc_named("a");
    const TestDesc b = desc_named("b");
    ASSERT_TRUE(f.write_test_start(a).ok());
    ASSERT_TRUE(f.write_test_start(b).ok());
    EXPECT_EQ(sink.record->text, "");
    ASSERT_TRUE(f.write_timeout(a).ok());
    ASSERT_TRUE(f.write_result(b, TestResult::Failed{}, std::nullopt, kNoOutput, state).ok());
    ASSERT_TRUE(f.write_result(a, TestResult::Ok{}, std::nullopt, kNoOutput, state).ok());
    EXPECT_EQ(sink.record->text,
              "test a has been running for over 60 seconds\n"
              "test b ... <fg1>FAILED<reset>\n"
              "test a ... <fg2>ok<reset>\n");
}

TEST(PrettyFormatter, ResultWordsAndColours) {
    TestDesc with_message = desc_named("m");
    with_message.ignore = true;
    with_message.ignore_message = "needs the card";
    struct Case {
        TestDesc desc;
        TestResult result;
        std::string expected;
    };
    const Case cases[] = {
        {desc_named("t"), TestResult::Ok{}, "<fg2>ok<reset>\n"},
        {desc_named("t"), TestResult::Failed{}, "<fg1>FAILED<reset>\n"},
        {desc_named("t"), TestResult::FailedMsg{"why"}, "<fg1>FAILED<reset>\n"},
        {desc_named("t"), TestResult::Ignored{}, "<fg3>ignored<reset>\n"},
        {with_message, TestResult::Ignored{}, "<fg3>ignored, needs the card<reset>\n"},
        {desc_named("t"), TestResult::TimedFail{}, "<fg1>FAILED (time limit exceeded)<reset>\n"},
        {desc_named("t"), TestResult::Bench{bench_samples()},
         "<fg6>bench<reset>:       1,234.50 ns/iter (+/- 100.00)\n"},
    };
    for (const Case& c : cases) {
        ConsoleTestState state;
        auto coloured = testing::terminal_sink();
        auto f = make(coloured);
        ASSERT_TRUE(f.write_result(c.desc, c.result, std::nullopt, kNoOutput, state).ok());
        EXPECT_EQ(coloured.record->text, c.expected);

        // Colour off, and plain output with colour on: same characters, no markers.
        std::string uncoloured = c.expected;
        for (const char* marker : {"<fg1>", "<fg2>", "<fg3>", "<fg6>", "<reset>"}) {
            for (auto pos = uncoloured.find(marker); pos != std::string::npos;
                 pos = uncoloured.find(marker)) {
                uncoloured.erase(pos, std::string_view(marker).size());
            }
        }
        auto no_colour = testing::terminal_sink();
        auto g = make(no_colour, /*use_color=*/false);
        ASSERT_TRUE(g.write_result(c.desc, c.result, std::nullopt, kNoOutput, state).ok());
        EXPECT_EQ(no_colour.record->text, uncoloured);
        auto plain = testing::plain_sink();
        auto h = make(plain, /*use_color=*/true);
        ASSERT_TRUE(h.write_result(c.desc, c.result, std::nullopt, kNoOutput, state).ok());
        EXPECT_EQ(plain.record->text, uncoloured);
    }
}

TEST(PrettyFormatter, TestNameModeAndPadding) {
    TestDesc panics = desc_named("p");
    panics.should_panic = ShouldPanic::expected();
    TestDesc ignored_panics = panics;
    ignored_panics.ignore = true;
    TestDesc compile_fail = desc_named("cf");
    compile_fail.compile_fail = true;
    TestDesc build_only = desc_named("c");
    build_only.build_only = true;
    struct Case {
        TestDesc desc;
        std::string expected;
    };
    const Case cases[] = {
        {panics, "test p - should panic ... "},
        {ignored_panics, "test p ... "},
        {compile_fail, "test cf - compile fail ... "},
        {build_only, "test c - compile ... "},
        {desc_named("bench_x", TestType::Integration, NamePadding::PadRight),
         "test bench_x    ... "},
        {desc_named("long_bench_name", TestType::Integration, NamePadding::PadRight),
         "test long_bench_name ... "},
        {desc_named("plain"), "test plain ... "},
    };
    for (const Case& c : cases) {
        auto sink = testing::plain_sink();
        auto f = make(sink, false, false, std::nullopt, /*name_width=*/10);
        ASSERT_TRUE(f.write_test_start(c.desc).ok());
        EXPECT_EQ(sink.record->text, c.expected);
    }
}

TEST(PrettyFormatter, TimeColouredAtThresholds) {
    struct Case {
        TestType type;
        std::chrono::nanoseconds time;
        std::string expected;
    };
    const Case cases[] = {
        {TestType::Integration, 42ms, "<fg2>ok<reset> <0.042s>\n"},
        {TestType::Integration, 499ms, "<fg2>ok<reset> <0.499s>\n"},
        {TestType::Integration, 500ms, "<fg2>ok<reset><fg3> <0.500s><reset>\n"},
        {TestType::Integration, 999ms, "<fg2>ok<reset><fg3> <0.999s><reset>\n"},
        {TestType::Integration, 1000ms, "<fg2>ok<reset><fg1> <1.000s><reset>\n"},
        {TestType::Unit, 50ms, "<fg2>ok<reset><fg3> <0.050s><reset>\n"},
        {TestType::Unit, 100ms, "<fg2>ok<reset><fg1> <0.100s><reset>\n"},
        {TestType::Unclassified, 59s, "<fg2>ok<reset> <59.000s>\n"},
        {TestType::Unclassified, 60s, "<fg2>ok<reset><fg3> <60.000s><reset>\n"},
        {TestType::Unclassified, 120s, "<fg2>ok<reset><fg1> <120.000s><reset>\n"},
    };
    for (const Case& c : cases) {
        ConsoleTestState state;
        auto sink = testing::terminal_sink();
        auto f = make(sink, true, false, default_time_options());
        const TestDesc d = desc_named("t", c.type);
        ASSERT_TRUE(
            f.write_result(d, TestResult::Ok{}, TestExecTime{c.time}, kNoOutput, state).ok());
        EXPECT_EQ(sink.record->text, c.expected) << c.time.count();
    }

    ConsoleTestState state;
    const TestDesc d = desc_named("t");
    // Colour off: the time is plain even when critical.
    auto no_colour = testing::terminal_sink();
    auto g = make(no_colour, false, false, default_time_options());
    ASSERT_TRUE(g.write_result(d, TestResult::Ok{}, TestExecTime{2s}, kNoOutput, state).ok());
    EXPECT_EQ(no_colour.record->text, "ok <2.000s>\n");
    // No time options, or no measured time: nothing.
    auto untimed = testing::terminal_sink();
    auto h = make(untimed, false, false, std::nullopt);
    ASSERT_TRUE(h.write_result(d, TestResult::Ok{}, TestExecTime{2s}, kNoOutput, state).ok());
    ASSERT_TRUE(h.write_result(d, TestResult::Ok{}, std::nullopt, kNoOutput, state).ok());
    EXPECT_EQ(untimed.record->text, "ok\nok\n");
}

TEST(PrettyFormatter, TimeoutUsesUnpaddedName) {
    auto sink = testing::plain_sink();
    auto f = make(sink, false, true, std::nullopt, 20);
    ASSERT_TRUE(f.write_timeout(desc_named("b", TestType::Unit, NamePadding::PadRight)).ok());
    EXPECT_EQ(sink.record->text, "test b has been running for over 60 seconds\n");
}

TEST(PrettyFormatter, SummaryOnlyWhenAllPass) {
    auto sink = testing::terminal_sink();
    auto f = make(sink);
    ConsoleTestState state;
    state.passed = 2;
    state.not_failures = {entry("a", "hidden")};
    auto ok = f.write_run_finish(state);
    ASSERT_TRUE(ok.ok());
    EXPECT_TRUE(ok.value());
    EXPECT_EQ(sink.record->text,
              "\ntest result: <fg2>ok<reset>. 2 passed; 0 failed; 0 ignored; 0 measured; "
              "0 filtered out\n\n");
}

TEST(PrettyFormatter, SummaryWithFailuresSortedAndTime) {
    auto sink = testing::terminal_sink();
    auto f = make(sink);
    ConsoleTestState state;
    state.passed = 16;
    state.failed = 3;
    state.ignored = 1;
    state.measured = 2;
    state.filtered_out = 4;
    state.exec_time = TestSuiteExecTime{83270ms};
    state.failures = {entry("zeta", "out of zeta"), entry("alpha"),
                      entry("mid", "bad \xff byte\nnote: why")};
    state.time_failures = {entry("slow", "late\n")};
    auto ok = f.write_run_finish(state);
    ASSERT_TRUE(ok.ok());
    EXPECT_FALSE(ok.value());
    EXPECT_EQ(sink.record->text,
              "\nfailures:\n"
              "\n"
              "---- zeta stdout ----\nout of zeta\n"
              "---- mid stdout ----\nbad \xEF\xBF\xBD byte\nnote: why\n"
              "\nfailures:\n"
              "    alpha\n    mid\n    zeta\n"
              "\nfailures (time limit exceeded):\n"
              "\n"
              "---- slow stdout ----\nlate\n\n"
              "\nfailures (time limit exceeded):\n"
              "    slow\n"
              "\ntest result: <fg1>FAILED<reset>. 16 passed; 3 failed; 1 ignored; 2 measured; "
              "4 filtered out; finished in 83.27s\n\n");
}

TEST(PrettyFormatter, SectionsWithoutOutputAndShowOutput) {
    auto sink = testing::plain_sink();
    auto f = make(sink);
    ConsoleTestState state;
    state.options.display_output = true;
    state.passed = 0;
    state.failed = 1;
    state.failures = {entry("b")};
    ASSERT_TRUE(f.write_run_finish(state).ok());
    // No successes: the heading twice. No captured failure output: heading,
    // heading again, the names. Empty time-failure list: no section.
    EXPECT_EQ(sink.record->text,
              "\nsuccesses:\n\nsuccesses:\n"
              "\nfailures:\n\nfailures:\n    b\n"
              "\ntest result: FAILED. 0 passed; 1 failed; 0 ignored; 0 measured; "
              "0 filtered out\n\n");

    auto sink2 = testing::plain_sink();
    auto g = make(sink2);
    ConsoleTestState state2;
    state2.options.display_output = true;
    state2.passed = 2;
    state2.not_failures = {entry("y", "hello"), entry("x")};
    ASSERT_TRUE(g.write_run_finish(state2).ok());
    EXPECT_EQ(sink2.record->text,
              "\nsuccesses:\n\n---- y stdout ----\nhello\n\nsuccesses:\n    x\n    y\n"
              "\ntest result: ok. 2 passed; 0 failed; 0 ignored; 0 measured; 0 filtered out\n\n");
}

TEST(PrettyFormatter, SortsNamesByteWise) {
    auto sink = testing::plain_sink();
    auto f = make(sink);
    ConsoleTestState state;
    state.failed = 4;
    state.failures = {entry("\xc3\xa9"), entry("b"), entry("B"), entry("a_b")};
    ASSERT_TRUE(f.write_run_finish(state).ok());
    EXPECT_NE(sink.record->text.find("    B\n    a_b\n    b\n    \xc3\xa9\n"), std::string::npos)
        << sink.record->text;
}

TEST(PrettyFormatter, Listing) {
    struct Case {
        std::size_t tests, benchmarks;
        std::string expected;
    };
    const Case cases[] = {
        {17, 0, "\n17 tests, 0 benchmarks\n"},
        {0, 0, "0 tests, 0 benchmarks\n"},
        {1, 1, "\n1 test, 1 benchmark\n"},
        {0, 2, "\n0 tests, 2 benchmarks\n"},
    };
    for (const Case& c : cases) {
        auto sink = testing::terminal_sink();
        auto f = make(sink);
        ConsoleTestDiscoveryState state;
        state.tests = c.tests;
        state.benchmarks = c.benchmarks;
        ASSERT_TRUE(f.write_discovery_start().ok());
        ASSERT_TRUE(f.write_discovery_finish(state).ok());
        EXPECT_EQ(sink.record->text, c.expected);
    }
    auto sink = testing::plain_sink();
    auto f = make(sink, false, false, std::nullopt, 30);
    ASSERT_TRUE(f.write_test_discovered(desc_named("a::b"), "test").ok());
    ASSERT_TRUE(f.write_test_discovered(desc_named("bx", TestType::Unit, NamePadding::PadRight),
                                        "benchmark")
                    .ok());
    EXPECT_EQ(sink.record->text, "a::b: test\nbx: benchmark\n");
}

TEST(PrettyFormatter, MergedDoctestsTimes) {
    auto sink = testing::plain_sink();
    auto f = make(sink);
    ASSERT_TRUE(f.write_merged_doctests_times(1.5, 0.254).ok());
    EXPECT_EQ(sink.record->text,
              "all doctests ran in 1.50s; merged doctests compilation took 0.25s\n");
}

TEST(PrettyFormatter, FlushesEveryPiece) {
    auto sink = testing::terminal_sink();
    auto record = sink.record;
    auto f = make(sink, true, false, default_time_options());
    ConsoleTestState state;
    const TestDesc d = desc_named("a");
    auto check = [&](const rt::IoResult<void>& r) {
        ASSERT_TRUE(r.ok());
        EXPECT_FALSE(record->unflushed);
    };
    check(f.write_run_start(1, std::nullopt));
    check(f.write_test_start(d));
    check(f.write_result(d, TestResult::Ok{}, TestExecTime{600ms}, kNoOutput, state));
    state.failed = 1;
    state.failures = {entry("a", "x")};
    ASSERT_TRUE(f.write_run_finish(state).ok());
    EXPECT_FALSE(record->unflushed);
}

TEST(PrettyFormatter, FirstErrorEndsTheOperation) {
    // fg fails: nothing of the word is written.
    auto sink = testing::terminal_sink();
    sink.record->fail_after = 1;
    auto record = sink.record;
    auto f = make(sink, true, true);
    ConsoleTestState state;
    auto r = f.write_result(desc_named("a"), TestResult::Ok{}, std::nullopt, kNoOutput, state);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), rt::ErrorKind::BrokenPipe);
    EXPECT_EQ(record->text, "test a ... ");

    auto closed = testing::plain_sink();
    closed.record->fail_after = 0;
    auto g = make(closed);
    auto finish = g.write_run_finish(state);
    ASSERT_FALSE(finish.ok());
    EXPECT_EQ(finish.error().message(), "sink closed");
}

}  // namespace
}  // namespace test::formatters
