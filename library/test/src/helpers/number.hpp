#pragma once
// Decimal numbers as the harness accepts them on the command line and in the
// environment: an optional "+" then one or more digits, nothing else.

#include <cstdint>
#include <string_view>

namespace test::helpers {

/// A parsed decimal number: the value, or the text of what is wrong with it.
struct Decimal {
    std::uint64_t value = 0;
    /// Null on success, else "cannot parse integer from empty string",
    /// "invalid digit found in string" or "number too large to fit in target type".
    const char* error = nullptr;
};

/// Parses `text` as a number no larger than `max`. A stray character anywhere
/// makes the text no number at all, which is reported before any overflow.
Decimal parse_decimal(std::string_view text, std::uint64_t max);

}  // namespace test::helpers
