#include "helpers/shuffle.hpp"

#include "panic.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace test::helpers {
namespace {

std::vector<std::uint8_t> bytes_of(std::string_view s) {
    return {s.begin(), s.end()};
}

std::uint64_t sip(const std::vector<std::uint8_t>& bytes) {
    SipHasher13 h;
    h.write(bytes);
    return h.finish();
}

void put_u64(std::vector<std::uint8_t>& out, std::uint64_t v) {
    for (int k = 0; k < 8; ++k) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
    }
}

// Values of `hash(b"abc...")` printed by Python 3.11 under PYTHONHASHSEED=0,
// which hashes non-empty bytes with SipHash-1-3 and an all-zero key.
TEST(SipHasher13, MatchesIndependentVectors) {
    struct Vector {
        std::size_t len;  // the first `len` letters of the alphabet
        std::int64_t python_hash;
    };
    const Vector vectors[] = {
        {1, 4644417185603328019LL},   {2, 6148830537548944441LL},   {3, -4594863902769663758LL},
        {7, 7904145750247929094LL},   {8, 4574395652268504554LL},   {9, -532774252720507163LL},
        {15, 2293029479765367930LL},  {16, -7712962755478248686LL}, {17, 7044894726457044172LL},
        {20, -3832044883886523179LL},
    };
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyz";
    for (const Vector& v : vectors) {
        EXPECT_EQ(sip(bytes_of(alphabet.substr(0, v.len))),
                  static_cast<std::uint64_t>(v.python_hash))
            << "length " << v.len;
    }
    EXPECT_EQ(sip(bytes_of("test::name")), 8522076123539843226ULL);
    EXPECT_EQ(sip(std::vector<std::uint8_t>(9, 0xff)),
              static_cast<std::uint64_t>(-2129700217430894956LL));
}

TEST(SipHasher13, PiecewiseWritesEqualOneWrite) {
    std::vector<std::uint8_t> data;
    for (int i = 0; i < 37; ++i) {
        data.push_back(static_cast<std::uint8_t>(i * 37 + 11));
    }
    const std::uint64_t whole = sip(data);
    for (std::size_t a = 0; a <= data.size(); ++a) {
        for (std::size_t b = a; b <= data.size(); b += 3) {
            SipHasher13 h;
            h.write({data.data(), a});
            h.write({data.data() + a, b - a});
            h.write({data.data() + b, data.size() - b});
            ASSERT_EQ(h.finish(), whole) << "split at " << a << " and " << b;
        }
    }
    SipHasher13 h;
    h.write_u64(0x0807060504030201ULL);
    h.write_u8(9);
    EXPECT_EQ(h.finish(), sip({1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

// The names of the hand-built stream below: every kind and both paddings.
std::vector<TestName> mixed_names() {
    return {TestName::static_name("s_one"),
            TestName::owned_name("o_two"),
            TestName::static_name("a_three").with_padding(NamePadding::NoPadding),
            TestName::owned_name("a_four").with_padding(NamePadding::PadRight),
            TestName::static_name("s_five"),
            TestName::owned_name("o_six")};
}

TEST(CalculateHash, NamesStreamLayout) {
    // Count; then per name: kind, text, 0xFF, and the padding for aligned names.
    std::vector<std::uint8_t> stream;
    put_u64(stream, 6);
    const struct {
        std::uint64_t kind;
        const char* text;
        int padding;  // -1: not an aligned name
    } parts[] = {{0, "s_one", -1}, {1, "o_two", -1},  {2, "a_three", 0},
                 {2, "a_four", 1}, {0, "s_five", -1}, {1, "o_six", -1}};
    for (const auto& p : parts) {
        put_u64(stream, p.kind);
        for (const char* c = p.text; *c; ++c) {
            stream.push_back(static_cast<std::uint8_t>(*c));
        }
        stream.push_back(0xff);
        if (p.padding >= 0) {
            put_u64(stream, static_cast<std::uint64_t>(p.padding));
        }
    }
    const auto names = mixed_names();
    std::vector<const TestName*> ptrs;
    for (const auto& n : names) {
        ptrs.push_back(&n);
    }
    EXPECT_EQ(calculate_hash(ptrs), sip(stream));
    EXPECT_EQ(calculate_hash(ptrs), 0xace6074c1f997915ULL);
    EXPECT_EQ(calculate_hash(42, 7), 0xd30401076b2508d6ULL);
}

TEST(Rng, StepsHashStateWithExtra) {
    Rng rng(42, 7);
    const std::uint64_t first = rng.rand_u64();
    EXPECT_EQ(first, 0xd30401076b2508d6ULL);
    const std::uint64_t second_state = calculate_hash(first, 7);
    EXPECT_EQ(rng.rand_range(10, 17), 10 + second_state % 7);
    EXPECT_EQ(rng.rand_u64(), calculate_hash(second_state, 7));
}

using Entries = std::vector<std::pair<TestId, TestDescAndFn>>;

BodyResult pass() {
    return BodyResult::ok();
}

Entries entries_of(const std::vector<TestName>& names) {
    Entries out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        TestDescAndFn t{TestDesc{}, TestFn(StaticTestBody{pass})};
        t.descriptor.name = names[i];
        out.emplace_back(TestId{i}, std::move(t));
    }
    return out;
}

std::vector<std::size_t> order_of(const Entries& entries, const std::vector<TestName>& names) {
    std::vector<std::size_t> ids;
    for (const auto& [id, test] : entries) {
        EXPECT_EQ(test.descriptor.name.as_slice(), names[id.value].as_slice());
        ids.push_back(id.value);
    }
    return ids;
}

std::vector<TestName> greek_names() {
    std::vector<TestName> out;
    for (const char* n :
         {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta", "iota", "kappa"}) {
        out.push_back(TestName::static_name(n).with_padding(NamePadding::NoPadding));
    }
    return out;
}

// Golden orders computed by a separate SipHash-1-3 implementation (checked
// against Python's own bytes hash) following the shuffle steps.
TEST(ShuffleTests, GoldenOrderForSeed42) {
    const auto greek = greek_names();
    Entries e = entries_of(greek);
    shuffle_tests(42, e);
    EXPECT_EQ(order_of(e, greek), (std::vector<std::size_t>{4, 9, 8, 5, 3, 1, 2, 7, 0, 6}));

    const auto mixed = mixed_names();
    Entries m = entries_of(mixed);
    shuffle_tests(42, m);
    EXPECT_EQ(order_of(m, mixed), (std::vector<std::size_t>{5, 4, 2, 0, 1, 3}));
}

TEST(ShuffleTests, SameSeedSameOrderOtherSeedOtherOrder) {
    const auto greek = greek_names();
    Entries a = entries_of(greek);
    Entries b = entries_of(greek);
    Entries c = entries_of(greek);
    shuffle_tests(42, a);
    shuffle_tests(42, b);
    shuffle_tests(43, c);
    EXPECT_EQ(order_of(a, greek), order_of(b, greek));
    EXPECT_NE(order_of(a, greek), order_of(c, greek));
}

TEST(ShuffleTests, ShortListsStayPut) {
    Entries empty;
    shuffle_tests(42, empty);
    EXPECT_TRUE(empty.empty());
    const std::vector<TestName> one{TestName::static_name("only")};
    Entries single = entries_of(one);
    shuffle_tests(42, single);
    EXPECT_EQ(order_of(single, one), (std::vector<std::size_t>{0}));
}

TEST(ShuffleSeed, ExplicitSeedThenClockThenNone) {
    TestOpts opts;
    EXPECT_EQ(get_shuffle_seed(opts), std::nullopt);
    opts.shuffle_seed = 42;
    EXPECT_EQ(get_shuffle_seed(opts), 42u);
    opts.shuffle = true;
    EXPECT_EQ(get_shuffle_seed(opts), 42u);

    opts.shuffle_seed.reset();
    const auto now_ns = [] {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              std::chrono::system_clock::now().time_since_epoch())
                                              .count());
    };
    const std::uint64_t before = now_ns();
    const auto seed = get_shuffle_seed(opts);
    const std::uint64_t after = now_ns();
    ASSERT_TRUE(seed.has_value());
    EXPECT_LE(before, *seed);
    EXPECT_LE(*seed, after);
}

TEST(ShuffleSeed, TimeSeedWrapsAndRefusesPreEpochClock) {
    EXPECT_EQ(seed_from_time({1, 5}), 1'000'000'005u);
    // 18446744074 s is just past 2^64 ns: 18446744074000000000 - 2^64 = 290448384.
    EXPECT_EQ(seed_from_time({18446744074, 7}), 290448384u + 7u);
    EXPECT_EQ(support::panic_message([] {
                  (void)seed_from_time({-1, 999'999'999});
              }),
              "Failed to get system time");
}

}  // namespace
}  // namespace test::helpers
