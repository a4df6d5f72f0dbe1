#pragma once
// The terminfo parameter-string interpreter: expands capability strings such
// as "\x1b[3%p1%dm" with numeric parameters into the bytes sent to a terminal.
// Pure functions over bytes; no state is kept between calls except through
// the Variables the caller passes in. Errors are returned as message texts.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "result.hpp"

namespace test::term::terminfo {

/// Results of the interpreter, the compiled-entry parser and the entry loader
/// carry an error text unless said otherwise.
template <typename T, typename E = std::string>
using Result = rt::Result<T, E>;
using rt::Err;

/// A parameter or stack value of the interpreter: always a signed 32-bit number.
struct Param {
    std::int32_t number = 0;
    friend bool operator==(const Param&, const Param&) = default;
};

/// The interpreter's variables: static A-Z and dynamic a-z, all 0 when created.
/// The caller decides their lifetime; fg and reset use fresh ones per call.
struct Variables {
    std::array<Param, 26> sta_vars{};
    std::array<Param, 26> dyn_vars{};
};

/// Options of one printf-style conversion; all zero/false when default-made.
struct Flags {
    std::uint32_t width = 0;      // minimum field width, padded with spaces
    std::uint32_t precision = 0;  // minimum number of digits
    bool alternate = false;       // "#": 0 prefix for octal, 0x/0X for hex
    bool left = false;            // "-": pad on the right
    bool sign = false;            // "+": always show the sign
    bool space = false;           // " ": a space before non-negative numbers
    // A width whose first digit is 0 ("%02d"): pad on the left with zeros
    // (placed after any sign or 0x prefix) instead of spaces. Left alignment
    // still pads with spaces on the right.
    bool zero = false;
};

/// The largest width or precision a conversion accepts; larger ones are errors,
/// so that an entry cannot make a conversion produce megabytes of padding.
inline constexpr std::uint32_t MAX_FORMAT_WIDTH = 65535;

/// The most bytes one expansion may produce. Real control sequences are a few
/// dozen bytes; an entry that repeats wide conversions fails instead of
/// making the harness write megabytes.
inline constexpr std::size_t MAX_EXPANSION_BYTES = 65536;

/// The conversion of one format operation.
enum class FormatOp : std::uint8_t { Digit, Octal, LowerHex, UpperHex, String };

/// Maps 'd', 'o', 'x', 'X', 's' to their conversion; nullopt for any other byte.
std::optional<FormatOp> format_op_from_char(char c);

/// Formats one value: sign, precision and prefix rules first, then padding to
/// the width. Fails for the string conversion and for a width or precision
/// above MAX_FORMAT_WIDTH.
Result<std::vector<std::uint8_t>> format(Param value, FormatOp op, const Flags& flags);

/// Expands a capability string with up to nine parameters (missing ones are 0,
/// further ones ignored), reading and writing `vars`. Returns the output bytes
/// or the first error's message ("expansion too long" beyond MAX_EXPANSION_BYTES).
Result<std::vector<std::uint8_t>> expand(std::span<const std::uint8_t> cap,
                                         std::span<const Param> params, Variables& vars);

}  // namespace test::term::terminfo
