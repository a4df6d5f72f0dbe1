#include "formatters/junit.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "formatter_fixture.hpp"

namespace test::formatters {
namespace {

using namespace std::chrono_literals;
using testing::bytes;
using testing::desc_named;

const std::string kDecl = R"(<?xml version="1.0" encoding="UTF-8"?>)";
const std::string kTail = "<system-out/><system-err/></testsuite></testsuites>\n";

std::string suite_open(std::size_t failures, std::size_t tests, std::size_t skipped) {
    return "<testsuites><testsuite name=\"test\" package=\"test\" id=\"0\" errors=\"0\" "
           "failures=\"" +
           std::to_string(failures) + "\" tests=\"" + std::to_string(tests) + "\" skipped=\"" +
           std::to_string(skipped) + "\" >";
}

struct JunitRun {
    testing::Sink sink = testing::plain_sink();
    std::shared_ptr<testing::Record> record = sink.record;
    JunitFormatter f{std::move(sink.location)};
    ConsoleTestState state;

    void result(const TestDesc& d, const TestResult& r, std::optional<TestExecTime> t = {},
                std::string_view output = {}) {
        const auto out = bytes(output);
        ASSERT_TRUE(f.write_result(d, r, t, out, state).ok());
    }
};

TEST(JunitFormatter, TwoPassingTests) {
    JunitRun run;
    run.state.total = 2;
    run.state.passed = 2;
    ASSERT_TRUE(run.f.write_run_start(2, std::nullopt).ok());
    EXPECT_EQ(run.record->text, kDecl);
    EXPECT_EQ(kDecl.size(), 38u);
    ASSERT_TRUE(run.f.write_test_start(desc_named("a")).ok());
    ASSERT_TRUE(run.f.write_timeout(desc_named("a")).ok());
    run.result(desc_named("a"), TestResult::Ok{}, std::nullopt, "ignored output");
    run.result(desc_named("b"), TestResult::Ok{}, TestExecTime{1500us});
    EXPECT_EQ(run.record->text, kDecl);  // nothing written per test
    auto ok = run.f.write_run_finish(run.state);
    ASSERT_TRUE(ok.ok());
    EXPECT_TRUE(ok.value());
    EXPECT_EQ(run.record->text,
              kDecl + suite_open(0, 2, 0) +
                  R"(<testcase classname="integration" name="a" time="0"/>)"
                  R"(<testcase classname="integration" name="b" time="0.0015"/>)" +
                  kTail);
    // Flushed once after the declaration and once when the document is complete.
    EXPECT_EQ(run.record->flushes, 2u);
}

TEST(JunitFormatter, EveryResultKind) {
    JunitRun run;
    run.state.total = 7;
    run.state.passed = 2;
    run.state.failed = 3;
    run.state.ignored = 1;
    run.state.options.display_output = true;
    BenchSamples s;
    s.ns_iter_summ.sum = 2500000.5;
    run.result(desc_named("ok_out"), TestResult::Ok{}, TestExecTime{2s}, "a\nb");
    run.result(desc_named("fail"), TestResult::Failed{}, TestExecTime{1s}, "x]]>y");
    run.result(desc_named("fail_quiet"), TestResult::Failed{});
    run.result(desc_named("msg"), TestResult::FailedMsg{"plain words"}, std::nullopt, "o\n");
    run.result(desc_named("slow"), TestResult::TimedFail{}, TestExecTime{3s}, "never shown");
    run.result(desc_named("skip"), TestResult::Ignored{});
    run.result(desc_named("bench", TestType::Unit), TestResult::Bench{s}, TestExecTime{1s});
    auto ok = run.f.write_run_finish(run.state);
    ASSERT_TRUE(ok.ok());
    EXPECT_FALSE(ok.value());
    EXPECT_EQ(run.record->text,
              suite_open(3, 7, 1) +
                  R"(<testcase classname="integration" name="ok_out" time="2">)"
                  R"(<system-out><![CDATA[a]]>&#xA;<![CDATA[b]]></system-out></testcase>)"
                  R"(<testcase classname="integration" name="fail" time="1">)"
                  R"(<failure type="assert"/><system-out><![CDATA[x]]]]><![CDATA[>y]]>)"
                  R"(</system-out></testcase>)"
                  R"(<testcase classname="integration" name="fail_quiet" time="0">)"
                  R"(<failure type="assert"/></testcase>)"
                  R"(<testcase classname="integration" name="msg" time="0">)"
                  R"(<failure message="plain words" type="assert"/>)"
                  R"(<system-out><![CDATA[o]]>&#xA;<![CDATA[]]></system-out></testcase>)"
                  R"(<testcase classname="integration" name="slow" time="3">)"
                  R"(<failure type="timeout"/></testcase>)"
                  R"(<testcase classname="benchmark::crate" name="bench" time="2500000.5" />)" +
                  kTail);

    // The results were taken out: a second finish writes an empty suite.
    run.record->text.clear();
    ASSERT_TRUE(run.f.write_run_finish(run.state).ok());
    EXPECT_EQ(run.record->text, suite_open(3, 7, 1) + kTail);
}

TEST(JunitFormatter, PassingOutputOnlyWithShowOutput) {
    JunitRun run;
    run.state.total = 1;
    run.result(desc_named("p"), TestResult::Ok{}, std::nullopt, "out");
    ASSERT_TRUE(run.f.write_run_finish(run.state).ok());
    EXPECT_EQ(
        run.record->text,
        suite_open(0, 1, 0) + R"(<testcase classname="integration" name="p" time="0"/>)" + kTail);
}

TEST(StrToCdata, Examples) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"", "<![CDATA[]]>"},
        {"plain", "<![CDATA[plain]]>"},
        {"a\nb", "<![CDATA[a]]>&#xA;<![CDATA[b]]>"},
        {"x]]>y", "<![CDATA[x]]]]><![CDATA[>y]]>"},
        {"a\n", "<![CDATA[a]]>&#xA;<![CDATA[]]>"},
        {"\na", "<![CDATA[]]>&#xA;<![CDATA[a]]>"},
        {"a\n\nb", "<![CDATA[a]]>&#xA;&#xA;<![CDATA[b]]>"},
        {"<?xml?>", "<![CDATA[<]]><![CDATA[?xml?>]]>"},
        {"]]>\n", "<![CDATA[]]]]><![CDATA[>]]>&#xA;<![CDATA[]]>"},
        {"<![CDATA[]]>", "<![CDATA[<![CDATA[]]]]><![CDATA[>]]>"},
        // Text that merely looks like a section opening is kept before a line feed.
        {"<![CDATA[\n", "<![CDATA[<![CDATA[]]>&#xA;<![CDATA[]]>"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(str_to_cdata(c.in), c.out) << c.in;
    }
}

TEST(ParseClassName, ByTestType) {
    struct Case {
        std::string name;
        TestType type;
        std::string class_name;
        std::string test_name;
    };
    const Case cases[] = {
        {"a::b::c", TestType::Unit, "a::b", "c"},
        {"c", TestType::Unit, "crate", "c"},
        {"a::b", TestType::Unit, "a", "b"},
        // The name splits at "::" from the left, so a third colon stays with
        // the segment after it; an empty segment still counts.
        {"a:::b", TestType::Unit, "a", ":b"},
        {"x:::", TestType::Unit, "x", ":"},
        {"a::::b", TestType::Unit, "a::", "b"},
        {"dev::local_h2d_and_d2h_round_trip_works", TestType::Integration, "integration",
         "dev::local_h2d_and_d2h_round_trip_works"},
        {"src/lib.rs - exchange::Topology (line 12)", TestType::Doc, "src/lib.rs",
         "exchange::Topology (line 12)"},
        {"  src/a.rs   -   item  ", TestType::Doc, "src/a.rs", "item"},
        {"src/a.rs - x - y", TestType::Doc, "src/a.rs", "x - y"},
        {"no separator", TestType::Doc, "unknown", "no separator"},
        {"a::b", TestType::Unclassified, "unknown", "a::b"},
    };
    for (const Case& c : cases) {
        const auto [class_name, test_name] = parse_class_name(desc_named(c.name, c.type));
        EXPECT_EQ(class_name, c.class_name) << c.name;
        EXPECT_EQ(test_name, c.test_name) << c.name;
    }
}

TEST(JunitFormatter, ClassNamesInDocument) {
    JunitRun run;
    run.state.total = 2;
    run.result(desc_named("m::t", TestType::Unit), TestResult::Ok{});
    BenchSamples s;
    s.ns_iter_summ.sum = 1e-7;
    run.result(desc_named("m::bench", TestType::Unit), TestResult::Bench{s});
    ASSERT_TRUE(run.f.write_run_finish(run.state).ok());
    EXPECT_EQ(run.record->text, suite_open(0, 2, 0) +
                                    R"(<testcase classname="m" name="t" time="0"/>)"
                                    R"(<testcase classname="benchmark::m" name="bench" )"
                                    R"(time="0.0000001" />)" +
                                    kTail);
}

TEST(JunitFormatter, DiscoveryIsNotImplemented) {
    JunitRun run;
    ConsoleTestDiscoveryState discovery;
    const rt::IoResult<void> results[] = {
        run.f.write_discovery_start(),
        run.f.write_test_discovered(desc_named("a"), "test"),
        run.f.write_discovery_finish(discovery),
    };
    for (const auto& r : results) {
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind(), rt::ErrorKind::NotFound);
        EXPECT_EQ(r.error().message(), "not yet implemented!");
    }
    EXPECT_EQ(run.record->text, "");
}

TEST(JunitFormatter, MergedDoctestsReport) {
    JunitRun run;
    ASSERT_TRUE(run.f.write_merged_doctests_times(2.0, 0.25).ok());
    EXPECT_EQ(run.record->text, R"(<report total_time="2" compilation_time="0.25"></report>)"
                                "\n");
}

TEST(JunitFormatter, FirstWriteErrorEndsTheDocument) {
    JunitRun run;
    run.result(desc_named("a"), TestResult::Ok{});
    run.record->fail_after = 2;
    auto r = run.f.write_run_finish(run.state);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(run.record->text, suite_open(0, 0, 0));
}

TEST(XmlAttribute, EscapesAndSanitizes) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"plain name::x (line 3)", "plain name::x (line 3)"},
        {"a & b < c > d \"e\" 'f'", "a &amp; b &lt; c &gt; d &quot;e&quot; 'f'"},
        {"l1\nl2\r\tx", "l1&#xA;l2&#xD;&#x9;x"},
        {"esc \x1b[31m bell \x07", "esc \xEF\xBF\xBD[31m bell \xEF\xBF\xBD"},
        {std::string("nul \x00!", 6), "nul \xEF\xBF\xBD!"},
        {"bad \xff utf8", "bad \xEF\xBF\xBD utf8"},
        {"nonchars \xEF\xBF\xBE \xEF\xBF\xBF ok \xEF\xBF\xBD \xC3\xA9",
         "nonchars \xEF\xBF\xBD \xEF\xBF\xBD ok \xEF\xBF\xBD \xC3\xA9"},
        {"del \x7f stays", "del \x7f stays"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(xml_attribute(c.in), c.out) << c.in;
    }
    // Text kept as character data only loses forbidden characters.
    EXPECT_EQ(xml_sanitize("tab\tlf\ncr\r<&>\x1b"), "tab\tlf\ncr\r<&>\xEF\xBF\xBD");
}

/// A document whose names, messages and output hold everything XML forbids
/// or must escape.
std::string hostile_document() {
    JunitRun run;
    run.state.total = 4;
    run.state.failed = 3;
    run.state.passed = 1;
    run.state.options.display_output = true;
    run.result(desc_named("a<&>\"b\"", TestType::Unit), TestResult::Ok{}, std::nullopt,
               "ok \x1b[32m\xff\x01 <?xml ]]> \xEF\xBF\xBF\r\n");
    run.result(desc_named("fails \x02"),
               TestResult::FailedMsg{"panicked:\n  left: \"<a & b>\"\r\n\tright: 'x' \x1b \xfe"},
               std::nullopt, "]]>\n\n<?");
    run.result(desc_named("doc.rs - item <T> (line 1)", TestType::Doc), TestResult::Failed{});
    run.result(desc_named("t\nx"), TestResult::TimedFail{});
    EXPECT_TRUE(run.f.write_run_start(4, std::nullopt).ok());
    EXPECT_TRUE(run.f.write_run_finish(run.state).ok());
    return run.record->text;
}

TEST(JunitFormatter, HostileTextStaysOneWellFormedLine) {
    const std::string doc = hostile_document();
    EXPECT_EQ(doc.find('\n'), doc.size() - 1);
    for (unsigned char c : doc) {
        EXPECT_FALSE(c < 0x20 && c != '\t' && c != '\n' && c != '\r') << int(c);
    }
    EXPECT_NE(doc.find(R"(<testcase classname="crate" name="a&lt;&amp;&gt;&quot;b&quot;")"),
              std::string::npos);
    EXPECT_NE(doc.find(R"(<failure message="panicked:&#xA;  left: &quot;&lt;a &amp; b&gt;)"
                       R"(&quot;&#xD;&#xA;&#x9;right: 'x' )"
                       "\xEF\xBF\xBD \xEF\xBF\xBD\" type=\"assert\"/>"),
              std::string::npos);
    EXPECT_NE(doc.find(R"x(classname="doc.rs" name="item &lt;T&gt; (line 1)")x"),
              std::string::npos);

    if (std::system("command -v xmllint >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "xmllint not installed";
    }
    char path[] = "/tmp/junit_test_XXXXXX.xml";
    const int fd = mkstemps(path, 4);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, doc.data(), doc.size()), static_cast<ssize_t>(doc.size()));
    close(fd);
    const std::string cmd = std::string("xmllint --noout ") + path + " 2>&1";
    const int status = std::system(cmd.c_str());
    std::remove(path);
    EXPECT_EQ(status, 0) << doc;
}

}  // namespace
}  // namespace test::formatters
