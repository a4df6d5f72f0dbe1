#pragma once
// Isolated runs: the protocol between a run that starts each test in a child
// process of its own (a copy of this executable) and that child. The parent
// names the test in __ZUNO_TEST_INVOKE (and sets __ZUNO_TEST_BENCH_BENCHMARKS
// to "1" when benchmarks run as such), collects the child's standard output
// and standard error, and maps its end to the test's result. The child runs
// that one test on its main thread with its output going straight to the
// collected streams, and reports by its exit status: 0 when the test passed,
// SKIPPED_CHILD_STATUS when it skipped itself (its reason last on standard
// error, after SKIPPED_CHILD_MARKER), 101 otherwise, with the failure on
// standard error.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "test_result.hpp"
#include "time.hpp"
#include "types.hpp"

namespace test {

/// How an isolated child reports that its test skipped itself (ZUNO_SKIP): it
/// writes SKIPPED_CHILD_MARKER and the reason as the last bytes of its
/// standard error and exits with SKIPPED_CHILD_STATUS.
inline constexpr int SKIPPED_CHILD_STATUS = 77;
inline constexpr std::string_view SKIPPED_CHILD_MARKER = "\n[zuno: test skipped]\n";

// ---- parent side ------------------------------------------------------------

/// The executable an isolated test runs in: this program as the kernel knows
/// it, so that neither a name found through PATH nor a test changing the
/// working directory matters; else the first argument.
std::string current_executable();

/// Runs test `desc` in a child: `executable` with no arguments and the
/// protocol's variables, in a process group of its own, and turns its exit
/// status and output into the test's record (not sent). With `limit_secs`, a
/// child still running after that many seconds has its group stopped
/// (SIGTERM, SIGKILL 5 s later) and fails with time_limit_message. A child
/// that skipped its test gives Ignored with the reason as the descriptor's
/// ignore message. The time covers the whole child and is measured when
/// `time_opts` is given.
CompletedTest run_test_in_spawned_subprocess(TestId id, TestDesc desc, bool nocapture,
                                             const std::optional<TestTimeOptions>& time_opts,
                                             bool bench, const std::string& executable,
                                             std::optional<double> limit_secs = {});

/// Takes the reason (and the marker before it) off the end of a skipped
/// child's standard error; nothing, and nothing taken, without the marker.
std::optional<std::string> take_skip_reason(std::vector<std::uint8_t>& stderr_bytes);

// ---- child side -------------------------------------------------------------

/// The test this process is to run as an isolated child, when it is one.
std::optional<std::string> invoked_test();

/// Runs test `name` of `tests` as the child and ends the process: status 0
/// when it passes; SKIPPED_CHILD_STATUS after the reason when it skipped
/// itself; otherwise its failure is reported on standard error (a
/// panic by the panic hook, a returned error or a harness message here) and
/// the status is 101.
[[noreturn]] void run_invoked_test(const std::string& name, std::vector<TestDescAndFn> tests);

}  // namespace test
