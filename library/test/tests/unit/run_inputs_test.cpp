// The files that steer a run: test lists, shard plans and quarantines, and the
// errors for every way they can be broken.

#include "run_inputs.hpp"

#include <gtest/gtest.h>

#include <string>

namespace test {
namespace {

TEST(TestList, NamesPerLineEmptyLinesAndCarriageReturnsDropped) {
    const auto list = parse_test_list("l.txt", "a::b\n\nc d\r\nlast");
    ASSERT_TRUE(list.ok());
    EXPECT_EQ(list->names, (std::vector<std::string>{"a::b", "c d", "last"}));
    const std::string long_name(10'000, 'x');
    EXPECT_EQ(parse_test_list("l.txt", long_name + "\n")->names.at(0), long_name);
    EXPECT_EQ(parse_test_list("l.txt", "ok\nbad\xff\n").error(),
              "the test list l.txt is not valid UTF-8 (line 2)");
    EXPECT_EQ(read_test_list("/nonexistent/l.txt").error(),
              "cannot read the test list /nonexistent/l.txt: No such file or directory");
}

TEST(ShardPlan, ReadsTheDocument) {
    const auto plan =
        parse_shard_plan("p.json", R"({"format": "zuno-shard-plan", "version": 1, "shards": 4,)"
                                   R"( "tests": {"a": 0, "b\u00e9\n": 3, "\ud83d\ude00": 1}})");
    ASSERT_TRUE(plan.ok()) << plan.error();
    EXPECT_EQ(plan->shards, 4u);
    EXPECT_EQ(plan->shard_of.at("a"), 0u);
    EXPECT_EQ(plan->shard_of.at("b\xc3\xa9\n"), 3u);
    EXPECT_EQ(plan->shard_of.at("\xf0\x9f\x98\x80"), 1u);
}

TEST(ShardPlan, BrokenDocumentsNameTheFileAndTheFault) {
    const std::string head = R"({"format": "zuno-shard-plan", "version": 1, "shards": 2, )";
    struct Case {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {"",
         "the shard plan p.json is not valid JSON: the document ends early at line 1, column 1"},
        {head + "\"tests\": {\"a\": 0",
         "the shard plan p.json is not valid JSON: the document ends early at line 1, column 74"},
        {"{\n  \"format\": 'x'}",
         "the shard plan p.json is not valid JSON: expected a value at line 2, column 13"},
        {head + "\"tests\": {}} x",
         "the shard plan p.json is not valid JSON: unexpected text after the document at line 1, "
         "column 71"},
        {"{\"tests\": \"\xff\"}",
         "the shard plan p.json is not valid JSON: a string that is not valid UTF-8 at line 1, "
         "column 12"},
        {"[1]", "the shard plan p.json is not a shard plan (not a JSON object)"},
        {R"({"format": "zuno-quarantine", "version": 1, "tests": []})",
         "the shard plan p.json is not a shard plan (its \"format\" is not \"zuno-shard-plan\")"},
        {R"({"format": "zuno-quarantine", "version": 1, "shards": 1, "tests": {}})",
         "the shard plan p.json is not a shard plan (its \"format\" is not \"zuno-shard-plan\")"},
        {R"({"format": "zuno-shard-plan", "version": 2, "shards": 1, "tests": {}})",
         "the shard plan p.json has version 2; this program reads version 1"},
        {R"({"format": "zuno-shard-plan", "version": 1, "tests": {}})",
         "the shard plan p.json is malformed: member \"shards\" is missing"},
        {head + R"("tests": {}, "extra": 1})",
         "the shard plan p.json is malformed: unknown member \"extra\""},
        {head + R"("tests": {"a": 1.0}})",
         "the shard plan p.json is malformed: the shard of \"a\" must be a whole number"},
        {head + R"("tests": {"a": 2}})",
         "the shard plan p.json puts \"a\" in shard 2, but it has shards 0 to 1"},
        {head + R"("tests": {"a\n": 0, "a\n": 1}})",
         "the shard plan p.json names the test \"a\\x0a\" twice"},
        {R"({"format": "zuno-shard-plan", "version": 1, "shards": 0, "tests": {}})",
         "the shard plan p.json is malformed: \"shards\" must be a whole number of at least 1"},
    };
    for (const Case& c : cases) {
        const auto plan = parse_shard_plan("p.json", c.text);
        ASSERT_FALSE(plan.ok()) << c.text;
        EXPECT_EQ(plan.error(), c.error) << c.text;
    }
}

TEST(Quarantine, EntriesAndTheirFaults) {
    const std::string head = R"({"format": "zuno-quarantine", "version": 1, "tests": [)";
    const auto q = parse_quarantine(
        "q.json", head + R"({"name": "a", "reason": "flaky", "until": "2024-02-29"},)"
                         R"( {"until": null, "reason": "", "name": "b"}]})");
    ASSERT_TRUE(q.ok()) << q.error();
    EXPECT_EQ(q->tests.at("a"), (QuarantineEntry{"flaky", "2024-02-29"}));
    EXPECT_EQ(q->tests.at("b"), (QuarantineEntry{"", std::nullopt}));
    struct Case {
        std::string entries;
        std::string error;
    };
    const Case cases[] = {
        {R"({"name": "a", "reason": "r", "until": "2023-02-29"})",
         "the quarantine q.json is malformed: entry 0 needs \"until\": a date YYYY-MM-DD or null"},
        {R"({"name": "a", "reason": "r"})",
         "the quarantine q.json is malformed: entry 0 needs \"until\": a date YYYY-MM-DD or null"},
        {R"({"name": "a", "reason": 3, "until": null})",
         "the quarantine q.json is malformed: entry 0 needs a \"reason\" text"},
        {R"({"name": "a", "reason": "r", "until": null, "by": "me"})",
         "the quarantine q.json is malformed: entry 0 has an unknown member \"by\""},
        {R"({"name": "a", "reason": "r", "until": null}, {"name": "a", "reason": "s", "until": null})",
         "the quarantine q.json names the test \"a\" twice"},
        {R"("a")", "the quarantine q.json is malformed: entry 0 is not an object"},
    };
    for (const Case& c : cases) {
        const auto parsed = parse_quarantine("q.json", head + c.entries + "]}");
        ASSERT_FALSE(parsed.ok()) << c.entries;
        EXPECT_EQ(parsed.error(), c.error) << c.entries;
    }
    EXPECT_EQ(read_quarantine("/nonexistent/q.json").error(),
              "cannot read the quarantine /nonexistent/q.json: No such file or directory");
}

}  // namespace
}  // namespace test
