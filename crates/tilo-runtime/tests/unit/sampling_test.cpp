// Known answers of the wyrand generator, the seeded tile sampling and the
// tile list computed from the vela topology.

#include "hardware_e2e.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "panic.hpp"
#include "support.hpp"

namespace hardware_e2e {
namespace {

constexpr std::uint64_t kIncrement = 0x2d358dccaa6c78a5;

using test::support::panic_message;

class Quiet : public ::testing::Test {
protected:
    void SetUp() override {
        rt::set_hook([](const rt::PanicInfo&) {});
    }
    void TearDown() override { (void)rt::take_hook(); }
};

TEST(WyrandTest, FirstValuesFromAKnownSeed) {
    Wyrand rng(0x243f6a8885a308d3);
    EXPECT_EQ(rng.gen_u64(), 0xc54e4afe19351146u);
    EXPECT_EQ(rng.gen_u64(), 0x35a56e21a668e5ffu);
    EXPECT_EQ(rng.gen_u64(), 0x76e8ddf805f49766u);
    EXPECT_EQ(rng.state(), 0x243f6a8885a308d3u + 3 * kIncrement);

    Wyrand same(0x243f6a8885a308d3);
    EXPECT_EQ(same.gen_u32(), 0x19351146u);
}

TEST(WyrandTest, TileDrawsOfTheFirstHostRound) {
    Wyrand rng(0x243f6a8885a308d3);
    std::vector<std::uint16_t> drawn;
    for (int i = 0; i < 8; ++i) {
        drawn.push_back(rng.u16(Bound::included(0), Bound::excluded(1472)));
    }
    EXPECT_EQ(drawn, (std::vector<std::uint16_t>{144, 956, 34, 1243, 71, 1300, 1157, 1104}));
}

TEST(WyrandTest, ModuloRejectsTheBiasedLowDraws) {
    // For n = 2^31 + 1 the threshold is 2^31 − 1, so about half of all draws
    // are rejected: every result must still be below n, and some calls must
    // have consumed more than one draw.
    constexpr std::uint32_t n = 0x80000001u;
    int redraws = 0;
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
        Wyrand rng(seed);
        ASSERT_LT(rng.gen_mod_u32(n), n);
        if (rng.state() != seed + kIncrement) {
            ++redraws;
        }
    }
    EXPECT_GT(redraws, 20);
    EXPECT_LT(redraws, 180);

    // n = 1 has threshold 0: one draw, always 0.
    Wyrand one(7);
    EXPECT_EQ(one.gen_mod_u32(1), 0u);
    EXPECT_EQ(one.state(), 7 + kIncrement);
}

TEST(WyrandTest, RangeBoundsSelectTheInterval) {
    // Full range: the low 16 bits of one gen_u32, no reduction.
    for (auto [start, end] : {std::pair{Bound::unbounded(), Bound::unbounded()},
                              std::pair{Bound::included(0), Bound::included(65535)}}) {
        Wyrand a(42);
        Wyrand b(42);
        EXPECT_EQ(a.u16(start, end), static_cast<std::uint16_t>(b.gen_u32()));
    }
    const struct {
        Bound start, end;
        std::uint16_t low, high;
    } cases[] = {
        {Bound::included(9), Bound::included(9), 9, 9},
        {Bound::excluded(8), Bound::excluded(10), 9, 9},
        {Bound::included(10), Bound::excluded(20), 10, 19},
        {Bound::excluded(65533), Bound::unbounded(), 65534, 65535},
        {Bound::unbounded(), Bound::excluded(3), 0, 2},
    };
    for (const auto& c : cases) {
        Wyrand rng(1);
        for (int i = 0; i < 200; ++i) {
            const std::uint16_t v = rng.u16(c.start, c.end);
            ASSERT_GE(v, c.low);
            ASSERT_LE(v, c.high);
        }
    }
}

TEST_F(Quiet, EmptyRangesPanicWithTheirBounds) {
    const struct {
        Bound start, end;
        const char* message;
    } cases[] = {
        {Bound::included(5), Bound::excluded(5), "empty range: Included(5)..Excluded(5)"},
        {Bound::included(7), Bound::included(6), "empty range: Included(7)..Included(6)"},
        {Bound::excluded(65535), Bound::unbounded(), "empty range: Excluded(65535)..Unbounded"},
        {Bound::unbounded(), Bound::excluded(0), "empty range: Unbounded..Excluded(0)"},
        {Bound::excluded(4), Bound::excluded(5), "empty range: Excluded(4)..Excluded(5)"},
    };
    for (const auto& c : cases) {
        Wyrand rng(3);
        EXPECT_EQ(panic_message([&] { (void)rng.u16(c.start, c.end); }), c.message);
        EXPECT_EQ(rng.state(), 3u) << "an empty range draws nothing";
    }
}

TEST(SamplingTest, HostRoundLabels) {
    const char* labels[] = {
        "randomized host round trip seed=0x243f6a8885a308d3 bytes=4 "
        "tiles=34,71,144,956,1104,1157,1243,1300",
        "randomized host round trip seed=0x13198a2e03707344 bytes=1024 "
        "tiles=11,19,108,451,536,647,846,958",
        "randomized host round trip seed=0xa4093822299f31d0 bytes=8192 "
        "tiles=19,82,416,602,829,893,1065,1187",
    };
    for (std::size_t i = 0; i < HOST_ROUNDS.size(); ++i) {
        const std::string tiles = join_decimal(sample_tiles(HOST_ROUNDS[i].seed));
        EXPECT_EQ(host_round_label(HOST_ROUNDS[i], tiles), labels[i]);
        // No repeats in these rounds: exactly eight draws each.
        Wyrand rng(HOST_ROUNDS[i].seed);
        std::set<std::uint16_t> first_eight;
        for (int d = 0; d < 8; ++d) {
            first_eight.insert(rng.u16(Bound::included(0), Bound::excluded(1472)));
        }
        EXPECT_EQ(first_eight, sample_tiles(HOST_ROUNDS[i].seed));
    }
}

TEST(SamplingTest, RepeatedDrawsCostOneMoreDraw) {
    // Over many seeds the set must always be the first eight distinct draws;
    // some of these seeds repeat a tile within their first eight draws.
    int seeds_with_repeats = 0;
    for (std::uint64_t seed = 0; seed < 2000; ++seed) {
        Wyrand rng(seed);
        std::set<std::uint16_t> distinct;
        int draws = 0;
        while (distinct.size() < 8) {
            distinct.insert(rng.u16(Bound::included(0), Bound::excluded(1472)));
            ++draws;
        }
        seeds_with_repeats += draws > 8 ? 1 : 0;
        ASSERT_EQ(sample_tiles(seed), distinct) << "seed " << seed;
    }
    EXPECT_GT(seeds_with_repeats, 0);
}

TEST(SamplingTest, GraphSeedsAndLabels) {
    const struct {
        const char* decimal;
        const char* label;
    } expected[] = {
        {"6073469475432387649", "randomized exchange graph seed 0x54494c4f2d535441"},
        {"7640891576956012809", "randomized exchange graph seed 0x6a09e667f3bcc909"},
        {"13503953896175478587", "randomized exchange graph seed 0xbb67ae8584caa73b"},
    };
    ASSERT_EQ(GRAPH_SEEDS.size(), 3u);
    for (std::size_t i = 0; i < GRAPH_SEEDS.size(); ++i) {
        EXPECT_EQ(std::to_string(GRAPH_SEEDS[i]), expected[i].decimal);
        EXPECT_EQ(graph_seed_label(GRAPH_SEEDS[i]), expected[i].label);
    }
    EXPECT_EQ(hex(0), "0x0");
    EXPECT_EQ(hex(0xf), "0xf");
    EXPECT_EQ(hex(UINT64_MAX), "0xffffffffffffffff");
}

TEST(EndpointTiles, LogicalNumbersOfPhysicalTiles) {
    const auto vela = tilo::exchange::Topology::vela();
    const struct {
        std::uint16_t physical, logical;
    } cases[] = {{0, 0}, {1, 90}, {2, 1}, {3, 91}, {81, 456}, {1425, 414}, {63, 1471}};
    for (const auto& c : cases) {
        EXPECT_EQ(logical_tile_of(vela, c.physical), c.logical) << "physical " << c.physical;
    }
}

TEST_F(Quiet, LookupFailuresPanic) {
    // A full-size table without the wanted tile: no logical tile matches.
    const tilo::exchange::Topology zeros{std::vector<std::uint16_t>(1472, 0)};
    EXPECT_EQ(panic_message([&] { (void)logical_tile_of(zeros, 5); }),
              "physical VELA tile must have a logical tile");
    // A short table: the scan runs past its end and the lookup error surfaces.
    const tilo::exchange::Topology short_table{{4, 3}};
    const auto message = panic_message([&] { (void)logical_tile_of(short_table, 9); });
    ASSERT_TRUE(message.has_value());
    EXPECT_NE(message->find("Tile(2)"), std::string::npos) << *message;
}

TEST(EndpointTiles, TileListOfHostRoutes) {
    const auto physical = endpoint_field_physical_tiles();
    ASSERT_EQ(physical.size(), 86u);
    EXPECT_EQ(physical[63], 63);
    EXPECT_EQ(physical[64], 81);
    EXPECT_EQ(physical[65], 145);
    EXPECT_EQ(physical[85], 1425);

    const std::string expected =
        "0,90,1,91,92,182,93,183,184,274,185,275,276,366,277,367,368,458,369,459,460,550,461,551,"
        "552,642,553,643,644,734,645,735,736,826,737,827,828,918,829,919,920,1010,921,1011,1012,"
        "1102,1013,1103,1104,1194,1105,1195,1196,1286,1197,1287,1288,1378,1289,1379,1380,1470,"
        "1381,1471,456,454,452,450,448,446,444,442,440,438,436,434,432,430,428,426,424,422,420,"
        "418,416,414";
    ASSERT_EQ(expected.size(), 357u);
    EXPECT_EQ(endpoint_field_tiles(), expected);
}

}  // namespace
}  // namespace hardware_e2e
