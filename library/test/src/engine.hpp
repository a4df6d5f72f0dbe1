#pragma once
// The execution engine: takes the plan of a run (plan.hpp), starts each test
// on a thread of its own through one scheduler loop (at most N at a time; a
// sequential run is that loop with one slot), collects the completion records
// from one channel and reports progress as TestEvents to a callback.
//
// run_tests and the callback run on the caller's thread, which alone owns the
// run state; test threads share only the channel (one sender each) and their
// capture buffer. The engine writes nothing itself.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <variant>
#include <vector>

#include "io.hpp"
#include "result.hpp"
#include "sync.hpp"
#include "thread.hpp"
#include "test_opts.hpp"
#include "test_result.hpp"
#include "time.hpp"
#include "types.hpp"

namespace test {

/// A point on the monotonic clock.
using Instant = std::chrono::steady_clock::time_point;

/// What the engine reports to its callback, in the order of a run: FilteredOut,
/// Filtered, then per test Wait ... [Timeout] ... Result.
class TestEvent {
public:
    /// Number of tests removed by filtering; sent first. `other_shards` of
    /// them were selected but belong to other shards of a split run.
    struct FilteredOut {
        std::size_t count = 0;
        std::size_t other_shards = 0;
    };
    /// Number of tests that will be considered and the shuffle seed in use; sent second.
    struct Filtered {
        std::size_t count = 0;
        std::optional<std::uint64_t> shuffle_seed;
    };
    /// A test is about to start. The descriptor is the engine's, lent for the
    /// call: copy what must outlive it.
    struct Wait {
        const TestDesc& desc;
    };
    /// A test is still running when its long-running period has passed
    /// (parallel mode only). The descriptor is lent for the call, as in Wait.
    struct Timeout {
        const TestDesc& desc;
    };
    /// A test has completed; the record may be moved out by the callback.
    struct Result {
        CompletedTest completed;
    };
    using Variant = std::variant<FilteredOut, Filtered, Wait, Timeout, Result>;

    template <typename T>
    requires(!std::is_same_v<std::decay_t<T>, TestEvent>) TestEvent(T&& alt)
        : v_(std::forward<T>(alt)) {}

    [[nodiscard]] const Variant& get() const { return v_; }
    Variant& get() { return v_; }
    template <typename T>
    [[nodiscard]] bool is() const {
        return std::holds_alternative<T>(v_);
    }
    template <typename T>
    [[nodiscard]] const T* as() const {
        return std::get_if<T>(&v_);
    }
    template <typename T>
    T* as() {
        return std::get_if<T>(&v_);
    }

private:
    Variant v_;
};

/// Receives every event of a run; an error ends the run at once.
using TestEventCallback = std::function<rt::IoResult<void>(TestEvent)>;

/// How the test bodies of a run are executed.
enum class RunStrategy : std::uint8_t {
    /// On a thread of this process.
    InProcess = 0,
    /// In a child process that is a copy of this executable.
    SpawnChild = 1,
};

/// The strategy `opts` asks for: SpawnChild for isolation (or failures that
/// abort), unless the tests are forced to run in process.
RunStrategy choose_strategy(const TestOpts& opts);

/// The sending end a test reports its CompletedTest on.
using CompletedSender = rt::Sender<CompletedTest>;

/// Bookkeeping for a started test.
struct RunningTest {
    /// The thread running the test; absent when it ran on the calling thread
    /// or has been waited for.
    std::optional<rt::JoinHandle> join_handle;
    /// Set when the waited-for thread ended by a panic.
    bool ended_by_panic = false;
    /// The test's output buffer, held until the thread has been waited for,
    /// so that the thread never drops the last reference (and frees nothing).
    rt::CaptureBuffer capture;

    /// Waits for the thread, if not done yet (its record may be taken before
    /// or after this).
    void wait_for_thread();
    /// Waits for the thread, whose record has arrived, if not done yet; an Ok
    /// result of a thread that then ended by a panic becomes FailedMsg
    /// "panicked after reporting success".
    void join(CompletedTest& completed);
};

/// A queued long-running deadline of a started test. It leaves the queue when
/// it is due or when its test completes, whichever comes first.
struct TimeoutEntry {
    TestId id;
    Instant timeout;
};

/// The running tests of a run, by id.
using RunningTests = std::unordered_map<TestId, RunningTest>;
/// Deadlines in start order.
using TimeoutQueue = std::deque<TimeoutEntry>;

/// Knobs of the engine that the program leaves at their defaults; tests
/// shorten the period and may shift the clock.
struct EngineConfig {
    /// Time after its start at which a still-running test is reported once.
    std::chrono::nanoseconds time_critical_period = LONG_RUNNING_PERIOD;
    /// The monotonic clock used for deadlines.
    std::function<Instant()> now = [] { return std::chrono::steady_clock::now(); };
};

/// How a run ended when every event was delivered.
struct RunEnd {
    /// A test thread was given up at its time limit and may still be running:
    /// the process must not run its exit handlers and static destructors
    /// under it.
    bool threads_abandoned = false;
};

/// Runs the whole selection, at most `concurrency` tests at a time (the caller
/// decides it; 0 counts as 1), reporting through `callback`. Returns success
/// when every event was delivered (also after a fail-fast stop), or the
/// callback's first error. Tests still running at an early return are left
/// running; their completion records are dropped.
rt::IoResult<RunEnd> run_tests(const TestOpts& opts, std::size_t concurrency,
                               std::vector<TestDescAndFn> tests, const TestEventCallback& callback);
/// run_tests with explicit engine knobs.
rt::IoResult<RunEnd> run_tests_with(const TestOpts& opts, std::size_t concurrency,
                                    std::vector<TestDescAndFn> tests,
                                    const TestEventCallback& callback, const EngineConfig& config);

/// Starts one test. Exactly one CompletedTest is sent on `monitor_ch`: from the
/// test's thread, or from the calling thread when none was started (ignored
/// tests, benchmarks, thread limit reached). Returns the thread's handle.
/// Fatal (panics): a boxed body with SpawnChild; a thread start failure other
/// than the thread limit.
std::optional<rt::JoinHandle> run_test(const TestOpts& opts, bool force_ignore, TestId id,
                                       TestDescAndFn test, RunStrategy strategy,
                                       CompletedSender monitor_ch);

/// Removes the deadlines not later than `now` from the front of `timeout_queue`
/// and returns the ids of those tests still in `running`, in start order.
std::vector<TestId> get_timed_out_tests(const RunningTests& running, TimeoutQueue& timeout_queue,
                                        Instant now);
/// The same, reading the monotonic clock.
std::vector<TestId> get_timed_out_tests(const RunningTests& running, TimeoutQueue& timeout_queue);

}  // namespace test
