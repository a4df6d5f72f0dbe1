#pragma once
// Small text and environment helpers shared by the whole harness.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace rt {

/// The value of an environment variable when it is present and valid UTF-8.
std::optional<std::string> env_var(const char* name);
/// The raw value of an environment variable when present (any bytes).
std::optional<std::string> env_var_os(const char* name);

/// True when `bytes` is valid UTF-8.
bool is_utf8(std::string_view bytes);
/// Decodes UTF-8, replacing every invalid sequence by U+FFFD.
std::string utf8_lossy(std::string_view bytes);
std::string utf8_lossy(std::span<const std::uint8_t> bytes);

/// The debug-quoted form of a text: in double quotes, with `"` and `\` escaped,
/// \t \r \n \0 written as such, other control characters as \u{XX}.
std::string debug_quote(std::string_view text);

/// The process arguments (program name first) as UTF-8 text; a non-UTF-8
/// argument is a fatal failure (panic).
std::vector<std::string> args();

}  // namespace rt
