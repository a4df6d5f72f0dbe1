#pragma once
// The registry behind ZUNO_TEST, ZUNO_BENCH and zuno::register_test: every
// registration appends one entry; registered_tests() turns them into the
// harness's test records when a run starts. Registration happens during static
// initialisation or on the main thread before the run; the registry is not
// locked.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "types.hpp"

namespace test {

/// The registered tests as harness records, sorted by name (byte-wise,
/// ascending). Panics with "duplicate test name: <name>" when two share a name.
/// The records borrow texts from the registry, which lives until the process ends.
/// Panics too for a time limit (zuno::timeout) that is not a positive number.
std::vector<TestDescAndFn> registered_tests();

/// The time limit in seconds a registered test carries of its own, if any.
/// Valid once registered_tests() has run; nothing for unknown names.
std::optional<double> registered_timeout(std::string_view name);
/// The tags of a registered test (zuno::tags), in the order given; empty for
/// unknown names. Valid once registered_tests() has run.
const std::vector<std::string>& registered_tags(std::string_view name);

}  // namespace test
