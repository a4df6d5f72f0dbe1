// A few tests on the zuno harness: one that passes, one that must panic, one
// that is ignored, and a comparison of two values.

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
