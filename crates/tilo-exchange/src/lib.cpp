#include "lib.hpp"

#include "text.hpp"

namespace tilo::exchange {

std::uint16_t vela_logical_to_physical(std::uint16_t t) {
    // Logical tiles come in pairs. 23 pairs fill one column of pairs, even
    // columns from row 0 downwards, odd columns from row 22 upwards. Columns
    // 2k and 2k + 1 interleave over positions 4k .. 4k + 3; the second tile of
    // a pair takes the higher of its column's two positions.
    const auto pair = static_cast<std::uint16_t>(t / 2);
    const auto half = static_cast<std::uint16_t>(t % 2);
    const auto column = static_cast<std::uint16_t>(pair / VELA_ROWS);
    auto row = static_cast<std::uint16_t>(pair % VELA_ROWS);
    if (column % 2 == 1) {
        row = static_cast<std::uint16_t>(VELA_ROWS - 1 - row);
    }
    const auto position = static_cast<std::uint16_t>(4 * (column / 2) + column % 2 + 2 * half);
    return static_cast<std::uint16_t>(row * VELA_ROW_TILES + position);
}

namespace {

template <typename... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <typename... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

std::string ExchangeError::debug() const {
    auto with = [](const char* name, auto payload) {
        return std::string(name) + "(" + std::to_string(payload) + ")";
    };
    return std::visit(
        Overloaded{
            [&](const Tile& e) { return with("Tile", e.tile); },
            [](const DuplicateTile&) { return std::string("DuplicateTile"); },
            [&](const Count& e) { return with("Count", e.count); },
            [](const ReceiverSet&) { return std::string("ReceiverSet"); },
            [](const Schedule& e) { return "Schedule(" + rt::debug_quote(e.text) + ")"; },
            [&](const Address& e) { return with("Address", e.address); },
            [](const HostPacket&) { return std::string("HostPacket"); },
        },
        kind_);
}

Topology Topology::vela() {
    Topology topology;
    topology.logical_to_physical.reserve(VELA_TILE_COUNT);
    for (std::uint16_t t = 0; t < VELA_TILE_COUNT; ++t) {
        topology.logical_to_physical.push_back(vela_logical_to_physical(t));
    }
    return topology;
}

Result<std::uint16_t> Topology::physical(std::uint16_t logical) const {
    if (logical >= logical_to_physical.size()) {
        return ExchangeError(ExchangeError::Tile{logical});
    }
    return logical_to_physical[logical];
}

}  // namespace tilo::exchange
