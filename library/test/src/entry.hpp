#pragma once
// The harness entry: from the process arguments and a test list to the exit
// status. Runs once per process, on the main thread.

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "types.hpp"

namespace test {

/// Entry for a static list: copies the static entries (only StaticTestBody and
/// StaticBenchBody are allowed) and calls test_main with the process arguments.
void test_main_static(std::span<const TestDescAndFn> tests);

/// test_main_with_exit_callback with a callback that does nothing.
void test_main(const std::vector<std::string>& args, std::vector<TestDescAndFn> tests,
               std::optional<RunOptions> options);

/// Parses `args` (program name first), then lists or runs `tests`. Returns
/// normally when everything passed (or the help was printed); otherwise ends
/// the process with status 101 after writing any error to standard error.
void test_main_with_exit_callback(const std::vector<std::string>& args,
                                  std::vector<TestDescAndFn> tests,
                                  std::optional<RunOptions> options,
                                  const std::function<void()>& exit_callback);

}  // namespace test
