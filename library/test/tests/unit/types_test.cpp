#include "types.hpp"

#include <gtest/gtest.h>

#include <string>

namespace test {
namespace {

constexpr std::string_view kName26 = "abcdefghijklmnopqrstuvwxyz";

TEST(TestName, PaddedNameCountsBytes) {
    TestDesc desc;
    desc.name = TestName::static_name(kName26);
    EXPECT_EQ(desc.padded_name(30, NamePadding::PadRight), std::string(kName26) + "    ");
    EXPECT_EQ(desc.padded_name(10, NamePadding::PadRight), kName26);
    EXPECT_EQ(desc.padded_name(300, NamePadding::NoPadding), kName26);

    // "é" is two bytes: a five-character, six-byte name gets two spaces to reach 8.
    desc.name = TestName::owned_name("caf\xc3\xa9s");
    EXPECT_EQ(desc.padded_name(8, NamePadding::PadRight), "caf\xc3\xa9s  ");
}

TEST(TestName, WithPaddingKeepsTextForm) {
    static const char kStatic[] = "static::name";
    TestName s = TestName::static_name(kStatic);
    TestName aligned = s.with_padding(NamePadding::PadRight);
    EXPECT_EQ(aligned.kind(), TestName::Kind::AlignedName);
    EXPECT_EQ(aligned.padding(), NamePadding::PadRight);
    EXPECT_FALSE(aligned.is_owned_text());
    EXPECT_EQ(aligned.as_slice().data(), kStatic);  // still borrowed

    TestName o = TestName::owned_name("owned::name");
    TestName aligned_owned = o.with_padding(NamePadding::NoPadding);
    EXPECT_TRUE(aligned_owned.is_owned_text());
    EXPECT_NE(aligned_owned.as_slice().data(), o.as_slice().data());  // copied
    EXPECT_EQ(aligned_owned.as_slice(), "owned::name");
    EXPECT_EQ(o.padding(), NamePadding::NoPadding);

    // Copying a descriptor duplicates an owned name.
    TestDesc d;
    d.name = TestName::owned_name("x");
    TestDesc copy = d;
    EXPECT_NE(copy.name.as_slice().data(), d.name.as_slice().data());
}

TEST(TestDesc, TestModeOrder) {
    TestDesc d;
    EXPECT_EQ(d.test_mode(), std::nullopt);
    d.build_only = true;
    EXPECT_EQ(d.test_mode(), "compile");
    d.compile_fail = true;
    EXPECT_EQ(d.test_mode(), "compile fail");
    d.should_panic = ShouldPanic::expected_with_message("boom");
    EXPECT_EQ(d.test_mode(), "should panic");
    d.ignore = true;
    EXPECT_EQ(d.test_mode(), std::nullopt);
}

TEST(TestFn, PaddingAndRunnables) {
    static int calls = 0;
    StaticBenchFn bench = [](Bencher& b) {
        ++calls;
        EXPECT_EQ(b.mode, Bencher::BenchMode::SingleRun);
        EXPECT_FALSE(b.summary.has_value());
        EXPECT_EQ(b.bytes, 0u);
        return BodyResult::fail("bench said no");
    };
    TestFn as_bench{StaticBenchBody{bench}};
    TestFn as_once{StaticBenchOnce{bench}};
    EXPECT_EQ(as_bench.padding(), NamePadding::PadRight);
    EXPECT_EQ(as_once.padding(), NamePadding::NoPadding);
    EXPECT_EQ(TestFn(BoxedBenchBody{}).padding(), NamePadding::PadRight);

    Runnable once = std::move(as_once).into_runnable();
    ASSERT_TRUE(std::holds_alternative<RunnableTest>(once));
    BodyResult r = std::get<RunnableTest>(once).run();
    EXPECT_FALSE(r.is_ok());
    EXPECT_EQ(r.error(), "bench said no");
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(std::get<RunnableTest>(once).is_dynamic());

    Runnable boxed = TestFn(BoxedTestBody{[] { return BodyResult::ok(); }}).into_runnable();
    EXPECT_TRUE(std::get<RunnableTest>(boxed).is_dynamic());
    EXPECT_TRUE(std::get<RunnableTest>(boxed).run().is_ok());

    Runnable b = std::move(as_bench).into_runnable();
    EXPECT_TRUE(std::holds_alternative<RunnableBench>(b));
}

TEST(AssertTestResult, NonZeroCodeFails) {
    EXPECT_TRUE(assert_test_result().is_ok());
    EXPECT_TRUE(assert_test_result(0).is_ok());
    EXPECT_EQ(assert_test_result(3).error(),
              "the test returned a termination value with a non-zero status code (3) which "
              "indicates a failure");
    EXPECT_EQ(assert_test_result(-1).error(),
              "the test returned a termination value with a non-zero status code (-1) which "
              "indicates a failure");
}

}  // namespace
}  // namespace test
