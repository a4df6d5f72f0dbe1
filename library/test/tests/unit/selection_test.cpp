#include "filter.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace test {
namespace {

BodyResult pass() {
    return BodyResult::ok();
}
BodyResult bench_pass(Bencher&) {
    return BodyResult::ok();
}

TestDescAndFn make(std::string_view name, bool ignore = false, ShouldPanic sp = {}) {
    TestDescAndFn t{TestDesc{}, TestFn(StaticTestBody{pass})};
    t.descriptor.name = TestName::static_name(name);
    t.descriptor.ignore = ignore;
    t.descriptor.should_panic = sp;
    return t;
}

// The list every table case starts from: two ignored tests, two expected to panic.
std::vector<TestDescAndFn> sample() {
    std::vector<TestDescAndFn> v;
    v.push_back(make("alpha"));
    v.push_back(make("alpha_two"));
    v.push_back(make("beta"));
    v.push_back(make("gamma::alpha"));
    v.push_back(make("delta", true));
    v.push_back(make("epsilon", true));
    v.push_back(make("panics", false, ShouldPanic::expected()));
    v.push_back(make("panics_msg", false, ShouldPanic::expected_with_message("boom")));
    v.push_back(make("ignored_panics", true, ShouldPanic::expected()));
    return v;
}

// Kept names, with "!" appended to those still marked ignored.
std::vector<std::string> names_of(const std::vector<TestDescAndFn>& tests) {
    std::vector<std::string> out;
    for (const auto& t : tests) {
        out.emplace_back(t.descriptor.name.as_slice());
        if (t.descriptor.ignore) {
            out.back() += '!';
        }
    }
    return out;
}

struct FilterCase {
    const char* what;
    std::vector<std::string> filters;
    std::vector<std::string> skip;
    bool exact = false;
    bool exclude_should_panic = false;
    RunIgnored run_ignored = RunIgnored::Exclude;
    std::vector<std::string> want;
};

TEST(FilterTests, Table) {
    const std::vector<std::string> all{"alpha",        "alpha_two",  "beta",
                                       "gamma::alpha", "delta!",     "epsilon!",
                                       "panics",       "panics_msg", "ignored_panics!"};
    const FilterCase cases[] = {
        {"nothing asked: everything in order", {}, {}, false, false, RunIgnored::Exclude, all},
        {"filters are substrings, any one keeps",
         {"alpha", "beta"},
         {},
         false,
         false,
         RunIgnored::Exclude,
         {"alpha", "alpha_two", "beta", "gamma::alpha"}},
        {"exact filters need the whole name",
         {"alpha", "beta", "alph"},
         {},
         true,
         false,
         RunIgnored::Exclude,
         {"alpha", "beta"}},
        {"matching is case-sensitive", {"ALPHA"}, {}, false, false, RunIgnored::Exclude, {}},
        {"an empty filter matches every name", {""}, {}, false, false, RunIgnored::Exclude, all},
        {"skip removes substring matches",
         {},
         {"alpha"},
         false,
         false,
         RunIgnored::Exclude,
         {"beta", "delta!", "epsilon!", "panics", "panics_msg", "ignored_panics!"}},
        {"skip wins over a filter that selected the test",
         {"a"},
         {"alpha", "panics"},
         false,
         false,
         RunIgnored::Exclude,
         {"beta", "delta!"}},
        {"exact skip removes only the exact name",
         {},
         {"alpha", "panic"},
         true,
         false,
         RunIgnored::Exclude,
         {"alpha_two", "beta", "gamma::alpha", "delta!", "epsilon!", "panics", "panics_msg",
          "ignored_panics!"}},
        {"should-panic tests go, with or without a message",
         {},
         {},
         false,
         true,
         RunIgnored::Exclude,
         {"alpha", "alpha_two", "beta", "gamma::alpha", "delta!", "epsilon!"}},
        {"include clears every ignore flag",
         {},
         {},
         false,
         false,
         RunIgnored::Include,
         {"alpha", "alpha_two", "beta", "gamma::alpha", "delta", "epsilon", "panics", "panics_msg",
          "ignored_panics"}},
        {"only keeps ignored tests and clears their flag",
         {},
         {},
         false,
         false,
         RunIgnored::Only,
         {"delta", "epsilon", "ignored_panics"}},
        {"only applies after the other steps",
         {"e"},
         {"psi"},
         false,
         true,
         RunIgnored::Only,
         {"delta"}},
    };
    for (const FilterCase& c : cases) {
        TestOpts opts;
        opts.filters = c.filters;
        opts.skip = c.skip;
        opts.exact = c.exact;
        opts.exclude_should_panic = c.exclude_should_panic;
        opts.run_ignored = c.run_ignored;
        EXPECT_EQ(names_of(filter_tests(opts, sample())), c.want) << c.what;
    }
}

TEST(FilterTests, IgnoredOnlyLeavesTwoOfSeventeen) {
    std::vector<std::string> names;
    std::vector<TestDescAndFn> tests;
    for (int i = 0; i < 17; ++i) {
        names.push_back("device_test_" + std::to_string(i));
    }
    for (int i = 0; i < 17; ++i) {
        tests.push_back(make(names[i], i == 3 || i == 11));
    }
    TestOpts opts;
    opts.run_ignored = RunIgnored::Only;
    const std::size_t handed = tests.size();
    auto kept = filter_tests(opts, std::move(tests));
    EXPECT_EQ(names_of(kept), (std::vector<std::string>{"device_test_3", "device_test_11"}));
    EXPECT_EQ(handed - kept.size(), 15u);
}

TEST(FilterTests, MovesKeptEntriesWithoutCopying) {
    // Owned names too long for the small-string buffer keep their heap buffer
    // when moved; a copy would allocate a new one.
    std::vector<TestDescAndFn> tests;
    std::vector<const char*> buffers;
    auto calls = std::make_shared<int>(0);
    for (int i = 0; i < 6; ++i) {
        TestDescAndFn t{TestDesc{}, TestFn(BoxedTestBody{[calls, i] {
                            *calls += i;
                            return BodyResult::ok();
                        }})};
        t.descriptor.name =
            TestName::owned_name("a_rather_long_owned_test_name_number_" + std::to_string(i));
        t.descriptor.ignore_message = "reason";
        t.descriptor.start_line = 100 + i;
        buffers.push_back(t.descriptor.name.as_slice().data());
        tests.push_back(std::move(t));
    }
    TestOpts opts;
    opts.skip = {"number_0", "number_2", "number_3"};
    auto kept = filter_tests(opts, std::move(tests));
    ASSERT_EQ(kept.size(), 3u);
    const int want_index[] = {1, 4, 5};
    for (std::size_t k = 0; k < kept.size(); ++k) {
        const int i = want_index[k];
        EXPECT_EQ(kept[k].descriptor.name.as_slice().data(), buffers[i]);
        EXPECT_EQ(kept[k].descriptor.start_line, 100u + i);
        EXPECT_EQ(kept[k].descriptor.ignore_message, "reason");
        ASSERT_EQ(kept[k].body.kind(), 3u);
        EXPECT_TRUE(std::get<BoxedTestBody>(kept[k].body.body()).f().is_ok());
    }
    EXPECT_EQ(*calls, 1 + 4 + 5);
}

TEST(ConvertBenchmarks, OnlyBenchBodiesChange) {
    auto calls = std::make_shared<int>(0);
    std::vector<TestDescAndFn> tests;
    const TestFn::Body bodies[] = {
        StaticTestBody{pass},
        StaticBenchBody{bench_pass},
        StaticBenchOnce{bench_pass},
        BoxedTestBody{[] { return BodyResult::ok(); }},
        BoxedBenchBody{[calls](Bencher&) {
            ++*calls;
            return BodyResult::ok();
        }},
        BoxedBenchOnce{[](Bencher&) { return BodyResult::ok(); }},
    };
    for (std::size_t i = 0; i < 6; ++i) {
        tests.push_back(TestDescAndFn{TestDesc{}, TestFn(bodies[i])});
        tests.back().descriptor.name = TestName::static_name(i % 2 ? "odd" : "even");
        tests.back().descriptor.start_line = i;
    }
    auto out = convert_benchmarks_to_tests(std::move(tests));
    const std::size_t want_kinds[] = {0, 2, 2, 3, 5, 5};
    ASSERT_EQ(out.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(out[i].body.kind(), want_kinds[i]) << "entry " << i;
        EXPECT_EQ(out[i].descriptor.start_line, i);
        EXPECT_EQ(out[i].descriptor.name.as_slice(), i % 2 ? "odd" : "even");
    }
    EXPECT_EQ(std::get<StaticBenchOnce>(out[1].body.body()).f, &bench_pass);
    // The boxed bench keeps its callable and its captured state.
    Bencher b;
    EXPECT_TRUE(std::get<BoxedBenchOnce>(out[4].body.body()).f(b).is_ok());
    EXPECT_EQ(*calls, 1);
}

}  // namespace
}  // namespace test
