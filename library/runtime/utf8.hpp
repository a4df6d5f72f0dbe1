#pragma once
// UTF-8: decoding one character at a time, validation and lossy decoding, by
// the strict rules (no overlong forms, no surrogates, nothing past U+10FFFF).
// Pure functions over bytes; safe from any thread.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace rt {

/// One character of a byte string, or one invalid stretch of it.
struct Utf8Char {
    /// The code point; 0 for an invalid stretch.
    std::uint32_t code_point = 0;
    /// Bytes taken: the whole character, or the maximal subpart of an invalid
    /// sequence (the longest prefix of a well-formed one, at least one byte).
    std::size_t len = 1;
    bool valid = false;
};

/// Decodes the character starting at byte `at` (< s.size()).
Utf8Char utf8_decode(std::string_view s, std::size_t at);

/// True when `bytes` is valid UTF-8.
bool is_utf8(std::string_view bytes);
bool is_utf8(std::span<const std::uint8_t> bytes);

/// Decodes UTF-8, replacing each maximal invalid subpart by one U+FFFD.
std::string utf8_lossy(std::string_view bytes);
std::string utf8_lossy(std::span<const std::uint8_t> bytes);

}  // namespace rt
