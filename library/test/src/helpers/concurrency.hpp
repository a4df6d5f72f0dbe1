#pragma once
// The default number of tests run at once: ZUNO_TEST_THREADS when set, else
// the available parallelism of the process, else 1. Reads the environment on
// every call; safe from any thread.

#include <cstddef>
#include <optional>
#include <string_view>

namespace test::helpers {

/// The default concurrency. An invalid ZUNO_TEST_THREADS panics with
/// "ZUNO_TEST_THREADS is `{}`, should be a positive integer.".
std::size_t get_concurrency();

/// Parses a positive decimal integer (digits with an optional leading '+');
/// nothing for zero, a sign '-', other characters or overflow.
std::optional<std::size_t> parse_positive(std::string_view text);

}  // namespace test::helpers
