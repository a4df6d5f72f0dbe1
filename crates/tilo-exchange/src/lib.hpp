#pragma once
// Tile topology of the vela accelerator card and the exchange-planning error
// type. Programs number tiles logically; the card's exchange addresses them
// physically (row × 64 + position). Everything here is a pure value type:
// a Topology is immutable once built and may be shared between threads.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "result.hpp"

namespace tilo::exchange {

/// Number of tiles on a vela card.
inline constexpr std::uint16_t VELA_TILE_COUNT = 1472;
/// Tiles in one physical row of a vela card.
inline constexpr std::uint16_t VELA_ROW_TILES = 64;
/// Physical rows of a vela card.
inline constexpr std::uint16_t VELA_ROWS = 23;

/// Maps logical tile `t` (0 to 1471) to its physical tile number on a vela card.
/// Outside that range the result is meaningless (but computed without overflow).
std::uint16_t vela_logical_to_physical(std::uint16_t t);

/// The error of the exchange-planning library. The alternative's index is its
/// number: Tile 0, DuplicateTile 1, Count 2, ReceiverSet 3, Schedule 4,
/// Address 5, HostPacket 6.
class ExchangeError {
public:
    struct Tile {
        std::uint16_t tile;
        bool operator==(const Tile&) const = default;
    };
    struct DuplicateTile {
        bool operator==(const DuplicateTile&) const = default;
    };
    struct Count {
        std::uint32_t count;
        bool operator==(const Count&) const = default;
    };
    struct ReceiverSet {
        bool operator==(const ReceiverSet&) const = default;
    };
    struct Schedule {
        std::string_view text;  // static text
        bool operator==(const Schedule&) const = default;
    };
    struct Address {
        std::uint32_t address;
        bool operator==(const Address&) const = default;
    };
    struct HostPacket {
        bool operator==(const HostPacket&) const = default;
    };
    using Kind =
        std::variant<Tile, DuplicateTile, Count, ReceiverSet, Schedule, Address, HostPacket>;

    /// Wraps one alternative, e.g. ExchangeError(ExchangeError::Tile{1472}).
    template <typename Alternative>
    requires std::is_constructible_v<Kind, Alternative> ExchangeError(Alternative alternative)
        : kind_(alternative) {}

    /// The alternative held, for std::get / std::visit.
    [[nodiscard]] const Kind& kind() const { return kind_; }
    /// The alternative's number, 0 to 6.
    [[nodiscard]] std::size_t number() const { return kind_.index(); }
    /// Debug form: the alternative's name, then "(payload)" when it has one;
    /// numbers in decimal, Schedule's text debug-quoted. E.g. "Tile(1472)".
    [[nodiscard]] std::string debug() const;

    bool operator==(const ExchangeError&) const = default;

private:
    Kind kind_;
};

/// Either a value or an ExchangeError.
template <typename T>
using Result = rt::Result<T, ExchangeError>;

/// A card's logical-to-physical tile table.
struct Topology {
    /// Physical tile number, indexed by logical tile number.
    std::vector<std::uint16_t> logical_to_physical;

    /// The vela card: 1472 entries, a permutation of 0 to 1471.
    static Topology vela();
    /// The physical tile of `logical`, or ExchangeError Tile(logical) when the
    /// table has no such entry.
    [[nodiscard]] Result<std::uint16_t> physical(std::uint16_t logical) const;
};

}  // namespace tilo::exchange
