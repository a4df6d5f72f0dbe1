// A few tests on the zuno harness: one that passes, one that must panic, one
// that is ignored, a comparison of two values, a fixture, a table of inputs,
// non-fatal checks and a test that skips itself where it cannot run.

#include <cstdlib>
#include <string>
#include <vector>
#include <zuno/test.hpp>

namespace {

std::vector<int> tiles(int count) {
    std::vector<int> out;
    for (int i = 0; i < count; ++i) {
        out.push_back(i);
    }
    return out;
}

int tile_at(const std::vector<int>& all, std::size_t i) {
    ZUNO_ASSERT(i < all.size(), "no tile " + std::to_string(i));
    return all[i];
}

// Every test on a Deck gets a fresh one with four tiles.
struct Deck {
    std::vector<int> all = tiles(4);
    void teardown() { ZUNO_ASSERT_EQ(all.size(), 4u); }
};

}  // namespace

ZUNO_TEST("tiles::count") {
    ZUNO_ASSERT(tiles(4).size() == 4);
}

ZUNO_TEST("tiles::out_of_range", zuno::should_panic_with("no tile 9")) {
    tile_at(tiles(4), 9);
}

ZUNO_TEST("tiles::on_the_card", zuno::ignore_because("needs a card")) {
    ZUNO_ASSERT(false);
}

ZUNO_TEST("tiles::last", zuno::unit) {
    ZUNO_ASSERT_EQ(tile_at(tiles(4), 3), 3);
}

ZUNO_TEST_F(Deck, "deck::ends", zuno::tags("deck")) {
    ZUNO_CHECK_EQ(all.front(), 0);
    ZUNO_CHECK_EQ(all.back(), 3);
    ZUNO_CHECK_LT(all.front(), all.back());
}

// One test per row: tiles::at::0, tiles::at::1 and tiles::at::last.
ZUNO_TEST_TABLE("tiles::at", (std::size_t i), {0u, 1u, zuno::row("last", 3u)}) {
    ZUNO_ASSERT_EQ(tile_at(tiles(4), i), i);
}

ZUNO_TEST("tiles::card_answers", zuno::timeout(10)) {
    if (std::getenv("TILO_CARD") == nullptr) {
        ZUNO_SKIP("no card on this machine (set TILO_CARD)");
    }
    ZUNO_ASSERT_NEAR(0.1 + 0.2, 0.3, 1e-12);
}
