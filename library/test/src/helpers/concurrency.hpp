#pragma once
// How tests run. The number of tests run at once: `--test-threads` when given, else
// ZUNO_TEST_THREADS when set, else the available parallelism of the process,
// else 1. Decided once per run by the console driver, which hands it to the
// formatter and the engine. Reads the environment on every call; safe from any
// thread.

#include <cstddef>
#include <optional>
#include <string_view>

namespace test::helpers {

/// The default concurrency. An invalid ZUNO_TEST_THREADS panics with
/// "ZUNO_TEST_THREADS is `{}`, should be a positive integer.".
std::size_t get_concurrency();

/// The concurrency of a run: `test_threads` when given, else get_concurrency();
/// never 0.
std::size_t decide_concurrency(std::optional<std::size_t> test_threads);

/// The most bytes of output kept per test: ZUNO_TEST_CAPTURE_LIMIT (decimal
/// bytes) when set, else 16 MiB. Read once per process. An invalid value
/// panics with "ZUNO_TEST_CAPTURE_LIMIT is `{}`, should be a positive integer.".
std::size_t capture_limit();

/// Parses a positive decimal integer (digits with an optional leading '+');
/// nothing for zero, a sign '-', other characters or overflow.
std::optional<std::size_t> parse_positive(std::string_view text);

}  // namespace test::helpers
