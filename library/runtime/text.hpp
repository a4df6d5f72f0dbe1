#pragma once
// Small text and environment helpers shared by the whole harness: debug
// quoting, environment variables and the process arguments (UTF-8 itself is
// in utf8.hpp). All functions are pure or read process-wide state only.

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

/// The debug-quoted form of a text: in double quotes, with `"` and `\` escaped,
/// \t \r \n \0 written as such, other control characters (C0, DEL, C1) as
/// \u{1b} (lower-case hex, no leading zeros), bytes that are not UTF-8 as \xNN.
std::string debug_quote(std::string_view text);

/// The process arguments (program name first) as UTF-8 text; a non-UTF-8
/// argument is a fatal failure (panic).
std::vector<std::string> args();

namespace detail {
/// Records the process arguments (called by lang_start; done before main() otherwise).
void store_args(int argc, char** argv);
}  // namespace detail

}  // namespace rt
