#pragma once
// The registry behind ZUNO_TEST, ZUNO_BENCH and zuno::register_test: every
// registration appends one entry; registered_tests() turns them into the
// harness's test records when a run starts. Registration happens during static
// initialisation or on the main thread before the run; the registry is not
// locked.

#include <vector>

#include "types.hpp"

namespace test {

/// The registered tests as harness records, sorted by name (byte-wise,
/// ascending). Panics with "duplicate test name: <name>" when two share a name.
/// The records borrow texts from the registry, which lives until the process ends.
std::vector<TestDescAndFn> registered_tests();

}  // namespace test
