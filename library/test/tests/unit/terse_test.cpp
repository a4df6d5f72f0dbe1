#include "formatters/terse.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "formatter_fixture.hpp"

namespace test::formatters {
namespace {

using testing::desc_named;
using testing::entry;

const std::span<const std::uint8_t> kNoOutput;

TerseFormatter make(testing::Sink& sink, bool use_color = false, bool parallel = false,
                    std::size_t name_width = 0) {
    return TerseFormatter(std::move(sink.location), use_color, name_width, parallel);
}

/// Feeds one result per character: '.' ok, 'i' ignored, 'F' failure of a test
/// named after its position ("t<index>").
void feed(TerseFormatter& f, std::string_view results) {
    ConsoleTestState state;
    for (std::size_t i = 0; i < results.size(); ++i) {
        const TestDesc d = desc_named("t" + std::to_string(i));
        const TestResult r = results[i] == '.'   ? TestResult(TestResult::Ok{})
                             : results[i] == 'i' ? TestResult(TestResult::Ignored{})
                                                 : TestResult(TestResult::Failed{});
        ASSERT_TRUE(f.write_result(d, r, std::nullopt, kNoOutput, state).ok());
    }
}

TEST(TerseFormatter, WrapsAfter87Characters) {
    auto sink = testing::plain_sink();
    auto f = make(sink);
    ASSERT_TRUE(f.write_run_start(180, std::nullopt).ok());
    // Ignored tests count towards the line like passes.
    std::string results(180, '.');
    results[5] = 'i';
    feed(f, results);
    std::string line1(87, '.');
    line1[5] = 'i';
    EXPECT_EQ(sink.record->text, "\nrunning 180 tests\n" + line1 + " 87/180\n" +
                                     std::string(87, '.') + " 174/180\n" + std::string(6, '.'));
}

TEST(TerseFormatter, EightyEighthDotStartsNewLine) {
    auto sink = testing::plain_sink();
    auto f = make(sink);
    ASSERT_TRUE(f.write_run_start(100, std::nullopt).ok());
    feed(f, std::string(88, '.'));
    EXPECT_EQ(sink.record->text, "\nrunning 100 tests\n" + std::string(87, '.') + " 87/100\n.");
}

TEST(TerseFormatter, ProgressBeforeFailureLines) {
    struct Case {
        std::string results;
        std::string expected;
    };
    const Case cases[] = {
        // Two passes, a failure: the counter excludes the failure.
        {"..F.F", ".. 2/5\nt2 --- FAILED\n. 4/5\nt4 --- FAILED\n"},
        // A failure as the very first result: no counter line of its own.
        {"F.", "t0 --- FAILED\n."},
        // Consecutive failures: no counter between them.
        {".FF", ". 1/3\nt1 --- FAILED\nt2 --- FAILED\n"},
    };
    for (const Case& c : cases) {
        auto sink = testing::plain_sink();
        auto f = make(sink);
        ASSERT_TRUE(f.write_run_start(c.results.size(), std::nullopt).ok());
        sink.record->text.clear();
        feed(f, c.results);
        EXPECT_EQ(sink.record->text, c.expected) << c.results;
    }
}

TEST(TerseFormatter, FailureResetsColumnForWrap) {
    auto sink = testing::plain_sink();
    auto f = make(sink);
    ASSERT_TRUE(f.write_run_start(200, std::nullopt).ok());
    sink.record->text.clear();
    feed(f, std::string(10, '.') + "F" + std::string(87, '.'));
    EXPECT_EQ(sink.record->text, std::string(10, '.') + " 10/200\nt10 --- FAILED\n" +
                                     std::string(87, '.') + " 98/200\n");
}

TEST(TerseFormatter, Colours) {
    auto sink = testing::terminal_sink();
    auto f = make(sink, /*use_color=*/true);
    ASSERT_TRUE(f.write_run_start(3, std::nullopt).ok());
    sink.record->text.clear();
    feed(f, ".iF");
    EXPECT_EQ(sink.record->text, "<fg2>.<reset><fg3>i<reset> 2/3\nt2 --- <fg1>FAILED<reset>\n");

    // Plain output with colour on: no colour markers.
    auto plain = testing::plain_sink();
    auto g = make(plain, true);
    feed(g, ".iF");
    EXPECT_EQ(plain.record->text, ".i 2/0\nt2 --- FAILED\n");
}

TEST(TerseFormatter, EveryFailingKindIsAFailureLine) {
    auto sink = testing::plain_sink();
    auto f = make(sink);
    ConsoleTestState state;
    const TestDesc d = desc_named("pad", TestType::Unit, NamePadding::PadRight);
    for (const TestResult& r :
         {TestResult(TestResult::Failed{}), TestResult(TestResult::FailedMsg{"m"}),
          TestResult(TestResult::TimedFail{})}) {
        ASSERT_TRUE(f.write_result(d, r, TestExecTime{}, kNoOutput, state).ok());
    }
    EXPECT_EQ(sink.record->text, "pad --- FAILED\npad --- FAILED\npad --- FAILED\n");
}

TEST(TerseFormatter, BenchLinesAndTestStart) {
    BenchSamples s;
    s.ns_iter_summ.median = 1234.5;
    s.ns_iter_summ.min = 1200;
    s.ns_iter_summ.max = 1300;
    s.mb_s = 7;
    const TestDesc bench = desc_named("b", TestType::Unit, NamePadding::PadRight);
    const TestDesc plain_test = desc_named("t");
    ConsoleTestState state;

    // Sequential: the right-padded name opens the line at start.
    auto seq = testing::terminal_sink();
    auto f = make(seq, true, false, /*name_width=*/4);
    ASSERT_TRUE(f.write_run_start(5, std::nullopt).ok());
    seq.record->text.clear();
    ASSERT_TRUE(f.write_test_start(plain_test).ok());
    EXPECT_EQ(seq.record->text, "");
    ASSERT_TRUE(f.write_test_start(bench).ok());
    ASSERT_TRUE(f.write_result(bench, TestResult::Bench{s}, std::nullopt, kNoOutput, state).ok());
    EXPECT_EQ(seq.record->text,
              "test b    ... <fg6>bench<reset>:       1,234.50 ns/iter (+/- 100.00) = 7 MB/s\n");
    // The bench line changed no counter: a failure now writes no progress.
    seq.record->text.clear();
    ASSERT_TRUE(
        f.write_result(plain_test, TestResult::Failed{}, std::nullopt, kNoOutput, state).ok());
    EXPECT_EQ(seq.record->text, "t --- <fg1>FAILED<reset>\n");

    // Parallel: nothing at start, the name comes with the result.
    auto par = testing::plain_sink();
    auto g = make(par, false, true, 4);
    ASSERT_TRUE(g.write_test_start(bench).ok());
    EXPECT_EQ(par.record->text, "");
    ASSERT_TRUE(g.write_result(bench, TestResult::Bench{s}, std::nullopt, kNoOutput, state).ok());
    EXPECT_EQ(par.record->text,
              "test b    ... bench:       1,234.50 ns/iter (+/- 100.00) = 7 MB/s\n");
}

TEST(TerseFormatter, TimeoutWrittenInPlaceWithoutCounting) {
    auto sink = testing::plain_sink();
    auto f = make(sink, false, true);
    ASSERT_TRUE(f.write_run_start(4, std::nullopt).ok());
    sink.record->text.clear();
    feed(f, "..");
    ASSERT_TRUE(f.write_timeout(desc_named("slow")).ok());
    feed(f, "F");
    EXPECT_EQ(sink.record->text,
              "..test slow has been running for over 60 seconds\n 2/4\nt0 --- FAILED\n");
}

TEST(TerseFormatter, RunFinishListsTimeFailuresWithFailures) {
    auto sink = testing::terminal_sink();
    auto f = make(sink, true);
    ConsoleTestState state;
    state.passed = 1;
    state.failed = 3;
    state.exec_time = TestSuiteExecTime{std::chrono::milliseconds(1500)};
    state.failures = {entry("c", "c out"), entry("a")};
    state.time_failures = {entry("b", "b \xfe out")};
    auto r = f.write_run_finish(state);
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(r.value());
    EXPECT_EQ(sink.record->text,
              "\nfailures:\n\n---- c stdout ----\nc out\n---- b stdout ----\nb \xEF\xBF\xBD out\n"
              "\nfailures:\n    a\n    b\n    c\n"
              "\ntest result: <fg1>FAILED<reset>. 1 passed; 3 failed; 0 ignored; 0 measured; "
              "0 filtered out; finished in 1.50s\n\n");
}

TEST(TerseFormatter, RunFinishSections) {
    // Failed count set but empty lists: the failure section is still written.
    auto sink = testing::plain_sink();
    auto f = make(sink);
    ConsoleTestState state;
    state.failed = 1;
    state.options.display_output = true;
    ASSERT_TRUE(f.write_run_finish(state).ok());
    EXPECT_EQ(
        sink.record->text,
        "\nsuccesses:\n\nsuccesses:\n\nfailures:\n\nfailures:\n"
        "\ntest result: FAILED. 0 passed; 1 failed; 0 ignored; 0 measured; 0 filtered out\n\n");
}

TEST(TerseFormatter, SingleIgnoredTestLine) {
    TestDesc with_message = desc_named("only");
    with_message.ignore = true;
    with_message.ignore_message = "needs the card";
    TestDesc without_message = desc_named("only");
    without_message.ignore = true;
    const std::string summary =
        "\ntest result: ok. 0 passed; 0 failed; 1 ignored; 0 measured; 0 filtered out\n\n";
    struct Case {
        std::size_t announced;
        TestDesc desc;
        std::string expected;
    };
    const Case cases[] = {
        {1, with_message, summary + "test: only, ignore_message: needs the card\n\n"},
        {2, with_message, summary},
        {1, without_message, summary},
    };
    for (const Case& c : cases) {
        auto sink = testing::plain_sink();
        auto f = make(sink);
        ASSERT_TRUE(f.write_run_start(c.announced, std::nullopt).ok());
        sink.record->text.clear();
        ConsoleTestState state;
        state.ignored = 1;
        state.ignores = {{c.desc, {}}};
        ASSERT_TRUE(f.write_run_finish(state).ok());
        EXPECT_EQ(sink.record->text, c.expected);
    }
}

TEST(TerseFormatter, ListingHasNoTotals) {
    auto sink = testing::plain_sink();
    auto f = make(sink);
    ConsoleTestDiscoveryState state;
    state.tests = 2;
    ASSERT_TRUE(f.write_discovery_start().ok());
    ASSERT_TRUE(f.write_test_discovered(desc_named("a"), "test").ok());
    ASSERT_TRUE(f.write_test_discovered(desc_named("b"), "benchmark").ok());
    ASSERT_TRUE(f.write_discovery_finish(state).ok());
    EXPECT_EQ(sink.record->text, "a: test\nb: benchmark\n");
}

TEST(TerseFormatter, FailedWriteDoesNotCount) {
    auto sink = testing::plain_sink();
    auto record = sink.record;
    auto f = make(sink);
    ASSERT_TRUE(f.write_run_start(100, std::nullopt).ok());
    record->text.clear();
    feed(f, std::string(86, '.'));
    ConsoleTestState state;
    record->fail_after = record->operations;
    EXPECT_FALSE(
        f.write_result(desc_named("x"), TestResult::Ok{}, std::nullopt, kNoOutput, state).ok());
    record->fail_after = -1;
    // The refused dot was not counted: the next one is the 87th.
    feed(f, ".");
    EXPECT_EQ(record->text, std::string(87, '.') + " 87/100\n");
    EXPECT_FALSE(record->unflushed);
}

}  // namespace
}  // namespace test::formatters
