#pragma once
// Parser of compiled terminfo entries (term(5)): the legacy format with 16-bit
// numbers and the extended format with 32-bit numbers. Works on bytes already
// in memory; every malformed input, however hostile, gives an error message,
// never a read outside the input. Stateless and safe to call from any thread.

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "term/terminfo/terminfo.hpp"

namespace test::term::terminfo::parser {

/// Magic number of the legacy format (16-bit numbers).
inline constexpr std::uint16_t MAGIC_LEGACY = 0432;
/// Magic number of the extended format (32-bit numbers).
inline constexpr std::uint16_t MAGIC_EXTENDED = 01036;

/// Capability names in the order of the compiled format. The short string
/// names hold "_" where a capability is stored under its long name instead.
extern const std::array<std::string_view, 44> BOOL_NAMES;
extern const std::array<std::string_view, 44> BOOL_LONG_NAMES;
extern const std::array<std::string_view, 39> NUM_NAMES;
extern const std::array<std::string_view, 39> NUM_LONG_NAMES;
extern const std::array<std::string_view, 414> STRING_NAMES;
extern const std::array<std::string_view, 414> STRING_LONG_NAMES;

/// Parses a compiled entry. With `longnames` every capability is stored under
/// its long name; otherwise under its short name (the harness passes false).
/// Only the standard sections are read; extended capabilities are ignored.
Result<TermInfo> parse(std::span<const std::uint8_t> data, bool longnames);

}  // namespace test::term::terminfo::parser
