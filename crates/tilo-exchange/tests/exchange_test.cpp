// Known answers of the vela tile mapping and the debug forms of ExchangeError.

#include "lib.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tilo::exchange {
namespace {

TEST(VelaMapping, WorkedExamples) {
    const struct {
        std::uint16_t logical;
        std::uint16_t physical;
    } cases[] = {{0, 0},     {1, 2},     {2, 64}, {3, 66}, {45, 1410},
                 {46, 1409}, {47, 1411}, {91, 3}, {92, 4}, {1471, 63}};
    for (const auto& c : cases) {
        EXPECT_EQ(vela_logical_to_physical(c.logical), c.physical) << "logical " << c.logical;
    }
}

TEST(VelaMapping, TopologyIsAPermutationOfEveryTile) {
    const Topology topology = Topology::vela();
    ASSERT_EQ(topology.logical_to_physical.size(), 1472u);
    std::vector<int> seen(1472, 0);
    for (std::uint16_t physical : topology.logical_to_physical) {
        ASSERT_LT(physical, 1472);
        ++seen[physical];
    }
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int n) { return n == 1; }));
    for (std::uint16_t t = 0; t < 1472; ++t) {
        ASSERT_EQ(topology.logical_to_physical[t], vela_logical_to_physical(t));
    }
}

TEST(VelaMapping, PhysicalLookupStopsAtTheTableEnd) {
    const Topology topology = Topology::vela();
    const auto last = topology.physical(1471);
    ASSERT_TRUE(last.ok());
    EXPECT_EQ(last.value(), 63);

    for (std::uint16_t logical : {std::uint16_t{1472}, std::uint16_t{65535}}) {
        const auto past = topology.physical(logical);
        ASSERT_FALSE(past.ok());
        EXPECT_EQ(past.error(), ExchangeError(ExchangeError::Tile{logical}));
        EXPECT_EQ(past.error().number(), 0u);
    }
    EXPECT_EQ(topology.physical(1472).error().debug(), "Tile(1472)");

    // A table of any other length bounds the lookup by its own size.
    const Topology small{{5, 7}};
    EXPECT_EQ(small.physical(1).value(), 7);
    EXPECT_EQ(small.physical(2).error().debug(), "Tile(2)");
    EXPECT_EQ(Topology{}.physical(0).error().debug(), "Tile(0)");
}

TEST(ExchangeErrorTest, DebugFormsAndNumbers) {
    const struct {
        ExchangeError error;
        std::size_t number;
        const char* debug;
    } cases[] = {
        {ExchangeError::Tile{1472}, 0, "Tile(1472)"},
        {ExchangeError::DuplicateTile{}, 1, "DuplicateTile"},
        {ExchangeError::Count{4294967295u}, 2, "Count(4294967295)"},
        {ExchangeError::ReceiverSet{}, 3, "ReceiverSet"},
        {ExchangeError::Schedule{"phase \"a\\b\"\n"}, 4, "Schedule(\"phase \\\"a\\\\b\\\"\\n\")"},
        {ExchangeError::Address{0x60000}, 5, "Address(393216)"},
        {ExchangeError::HostPacket{}, 6, "HostPacket"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.number(), c.number);
        EXPECT_EQ(c.error.debug(), c.debug);
    }
    EXPECT_NE(ExchangeError(ExchangeError::Tile{1}), ExchangeError(ExchangeError::Tile{2}));
    EXPECT_NE(ExchangeError(ExchangeError::Count{1}), ExchangeError(ExchangeError::Address{1}));
}

}  // namespace
}  // namespace tilo::exchange
