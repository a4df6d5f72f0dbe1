#pragma once
// Run listeners: everything that observes a run or a listing (the formatter,
// the log file, the report files, the tally) implements RunListener and is fed
// by one RunListeners fan-out, in the order of registration. Events carry all
// their data, so no listener reads another's state; the tallies that the
// formatters read travel in the events too.
//
// Listeners live on the harness's main thread and are called one at a time.
// The first error a listener returns ends the run or the listing at once: no
// later listener sees that event and no further event is sent.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"
#include "run_state.hpp"
#include "test_opts.hpp"
#include "test_result.hpp"
#include "time.hpp"
#include "types.hpp"

namespace test {

/// The run is about to start its first test.
struct RunStarted {
    /// Tests that will be considered (this shard's share of the selection).
    std::size_t count = 0;
    std::optional<std::uint64_t> shuffle_seed;
    /// Tests removed by filtering; `other_shards` of them were selected but
    /// belong to other shards of a split run.
    std::size_t filtered_out = 0;
    std::size_t other_shards = 0;
    /// How many tests run at once.
    std::size_t concurrency = 1;
    /// The part of a split run this process runs, when split.
    std::optional<Shard> shard;
    /// Whether each test runs in a child process of its own.
    bool isolated = false;
    /// The wall-clock time the run started.
    std::chrono::system_clock::time_point started_at;
    /// The names of the run's benchmarks, also those run once as tests.
    std::set<std::string, std::less<>> benchmarks;
};

/// One test's final result, after any reruns.
struct ResultReported {
    /// The record: descriptor, result, measured duration (`exec_time`, present
    /// whenever times are measured), captured output and the failed attempts
    /// of a retried test. Lent for the call.
    const CompletedTest& completed;
    /// The duration the console and the log show: the measured one when
    /// execution times are reported, else none.
    std::optional<TestExecTime> shown_time;
    /// The tallies before this result is counted.
    const ConsoleTestState& state;
    /// The quarantine entry of a failed test whose failure does not fail the
    /// run; null otherwise.
    const QuarantineEntry* quarantine = nullptr;
};

/// The message of a run whose selection is empty while tests were required.
inline constexpr std::string_view NO_TESTS_MESSAGE = "error: no test matched the filters\n";

/// The run has ended normally (not by a write error).
struct RunFinished {
    /// The summary: final tallies, lists of outputs and the run's wall time.
    ConsoleTestState& state;
    /// The verdict: no test failed, and the selection was not empty when that
    /// was required.
    bool passed = false;
    /// The selection was empty while `--fail-if-no-tests` asked for tests.
    bool no_tests_matched = false;
    /// The process's exit status for this verdict: 0 or 101.
    int exit_status = 0;
    /// The wall-clock time the run started.
    std::chrono::system_clock::time_point started_at;
};

/// An observer of runs and listings. Each operation is called in the order
/// below; the defaults do nothing.
class RunListener {
public:
    virtual ~RunListener() = default;
    /// Before a listing.
    virtual rt::IoResult<void> on_discovery_start() { return {}; }
    /// Per listed test, with its kind word "test" or "benchmark".
    virtual rt::IoResult<void> on_test_discovered(const TestDesc& /*desc*/,
                                                  std::string_view /*kind*/) {
        return {};
    }
    /// After a listing, with its counters.
    virtual rt::IoResult<void> on_discovery_finish(const ConsoleTestDiscoveryState& /*state*/) {
        return {};
    }
    /// Once, before the first test of a run starts.
    virtual rt::IoResult<void> on_run_start(const RunStarted&) { return {}; }
    /// When a test is taken up (reruns are not announced).
    virtual rt::IoResult<void> on_test_start(const TestDesc&) { return {}; }
    /// When a test has been running for over LONG_RUNNING_PERIOD (parallel runs only).
    virtual rt::IoResult<void> on_timeout(const TestDesc&) { return {}; }
    /// Per test, with its final result.
    virtual rt::IoResult<void> on_result(const ResultReported&) { return {}; }
    /// Once, after the last result of a run that was not ended by an error.
    virtual rt::IoResult<void> on_run_finish(const RunFinished&) { return {}; }
};

/// The fan-out: sends each event to every listener in registration order and
/// stops at the first error.
class RunListeners {
public:
    /// Appends `listener`; a null one is skipped (an output not asked for).
    void add(std::unique_ptr<RunListener> listener);

    rt::IoResult<void> discovery_start();
    rt::IoResult<void> test_discovered(const TestDesc& desc, std::string_view kind);
    rt::IoResult<void> discovery_finish(const ConsoleTestDiscoveryState& state);
    rt::IoResult<void> run_start(const RunStarted& run);
    rt::IoResult<void> test_start(const TestDesc& desc);
    rt::IoResult<void> timeout(const TestDesc& desc);
    rt::IoResult<void> result(const ResultReported& result);
    rt::IoResult<void> run_finish(const RunFinished& run);

private:
    std::vector<std::unique_ptr<RunListener>> listeners_;
};

}  // namespace test
