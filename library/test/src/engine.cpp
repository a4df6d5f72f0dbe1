#include "engine.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "crash.hpp"
#include "io.hpp"
#include "panic.hpp"
#include "process.hpp"
#include "text.hpp"
#include "plan.hpp"
#include "registry.hpp"
#include "helpers/concurrency.hpp"
#include "stats.hpp"

namespace test {

namespace {

using Clock = std::chrono::steady_clock;

// How long an isolated test's process group has between SIGTERM and SIGKILL.
constexpr std::chrono::milliseconds kChildStopGrace{5000};

// A time limit in seconds as a duration, capped at about a century so that
// deadlines cannot overflow.
std::chrono::nanoseconds limit_duration(double secs) {
    constexpr double kCentury = 100.0 * 365 * 24 * 3600;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(std::min(secs, kCentury)));
}

// The time limit of one test: the smaller of --test-timeout and the test's
// own (zuno::timeout), in seconds; nothing when neither applies.
std::optional<double> test_time_limit(const TestOpts& opts, const TestDesc& desc) {
    std::optional<double> limit;
    if (opts.test_timeout) {
        limit = static_cast<double>(*opts.test_timeout);
    }
    if (const std::optional<double> own = registered_timeout(desc.name.as_slice())) {
        limit = limit ? std::min(*limit, *own) : *own;
    }
    return limit;
}

// Sends a record, dropping it when the engine no longer receives (after a
// fail-fast stop or a callback error nobody waits for it any more).
void send_completed(CompletedSender& tx, CompletedTest&& completed) {
    std::optional<CompletedTest> refused = tx.send(std::move(completed));
    static_cast<void>(refused);
}

// Installs `buffer` as the calling thread's capture unless capture is off and
// puts the previous sink back when it goes out of scope.
class CaptureScope {
public:
    CaptureScope(const rt::CaptureBuffer& buffer, bool nocapture) : active_(!nocapture) {
        if (active_) {
            previous_ = rt::set_output_capture(buffer);
        }
    }
    CaptureScope(const CaptureScope&) = delete;
    CaptureScope& operator=(const CaptureScope&) = delete;
    ~CaptureScope() { restore(); }
    void restore() {
        if (active_) {
            active_ = false;
            rt::set_output_capture(std::move(previous_));
        }
    }

private:
    bool active_;
    rt::CaptureBuffer previous_;
};

// Moves the captured bytes out of the buffer; a poisoned lock is still taken.
std::vector<std::uint8_t> take_output(const rt::CaptureBuffer& buffer) {
    auto locked = buffer->lock();
    return locked.guard->take();
}

std::optional<TestExecTime> elapsed_since(const std::optional<Clock::time_point>& start) {
    if (!start) {
        return std::nullopt;
    }
    return TestExecTime{std::chrono::duration_cast<Duration>(Clock::now() - *start)};
}

// Registers the test as running on the calling thread: an exit() meanwhile
// names it, and a crash names it and writes its captured output.
rt::ActiveWork active_test(const TestDesc& desc, const rt::CaptureBuffer& data, bool nocapture) {
    return rt::ActiveWork(desc.name.as_slice(), "error: test ", " crashed with signal ",
                          nocapture ? nullptr : data);
}

// The in-process job, on the test's thread (or the caller's at the thread limit).
// Times are measured when `measure` is set, which time options imply.
void run_test_in_process(TestId id, TestDesc desc, bool nocapture, bool measure,
                         const std::optional<TestTimeOptions>& time_opts, RunnableTest& runnable,
                         const rt::CaptureBuffer& data, CompletedSender& monitor_ch) {
    // A thread that ends inside the test (pthread_exit, cancellation) unwinds
    // through here without a record: one is sent on the way out, or the
    // engine would wait for it for ever.
    struct RecordOnThreadExit {
        TestId id;
        TestDesc& desc;
        const rt::CaptureBuffer& data;
        CompletedSender& tx;
        bool sent = false;
        ~RecordOnThreadExit() {
            if (!sent) {
                send_completed(
                    tx, CompletedTest{id, std::move(desc),
                                      TestResult::FailedMsg{std::string(THREAD_EXITED_MESSAGE)},
                                      std::nullopt, take_output(data)});
            }
        }
    } on_thread_exit{id, desc, data, monitor_ch};

    BodyEnd end;
    std::optional<TestExecTime> exec_time;
    {
        // The work record borrows the name: it ends before the descriptor moves on.
        const rt::ActiveWork active = active_test(desc, data, nocapture);
        CaptureScope capture(data, nocapture);

        std::optional<Clock::time_point> start;
        if (measure) {
            start = Clock::now();
        }
        end = run_body(desc.name.as_slice(), [&] { return runnable.run(); });
        exec_time = elapsed_since(start);
        capture.restore();
    }

    TestResult result = body_result(desc, std::move(end), time_opts, exec_time);
    std::vector<std::uint8_t> output = take_output(data);
    on_thread_exit.sent = true;
    send_completed(monitor_ch, CompletedTest{id, std::move(desc), std::move(result), exec_time,
                                             std::move(output)});
}

// A benchmark, always on the calling thread.
void run_bench(TestId id, TestDesc desc, bool nocapture, RunnableBench& bench,
               CompletedSender& monitor_ch) {
    const rt::CaptureBuffer data = rt::make_capture_buffer(helpers::capture_limit());
    Bencher bencher;
    bool returned_error = false;
    std::optional<rt::Payload> failure;
    {
        // The work record borrows the name: it ends before the descriptor moves on.
        const rt::ActiveWork active = active_test(desc, data, nocapture);
        CaptureScope capture(data, nocapture);
        BodyEnd end = run_body(desc.name.as_slice(), [&] { return bench.run(bencher); });
        failure = std::move(end.failure);
        returned_error = end.returned && !end.returned->is_ok();
        capture.restore();
    }

    TestResult result =
        (failure || returned_error) ? TestResult(TestResult::Failed{}) : bench_result(bencher);
    std::vector<std::uint8_t> output;
    {
        auto locked = data->lock();
        if (locked.poisoned) {
            rt::panic("the output capture of benchmark " + std::string(desc.name.as_slice()) +
                      " was poisoned by a panic");
        }
        output = locked.guard->take();
    }
    send_completed(monitor_ch, CompletedTest{id, std::move(desc), std::move(result), std::nullopt,
                                             std::move(output)});
}

// The executable to start for the spawned-process strategy: this program, as
// the kernel knows it, so that neither a name found through PATH nor a test
// changing the working directory matters; else the first argument.
std::string current_executable() {
    std::string path(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n > 0 && static_cast<std::size_t>(n) < path.size()) {
        path.resize(static_cast<std::size_t>(n));
        return path;
    }
    std::vector<std::string> args = rt::args();
    return args.empty() ? std::string() : std::move(args.front());
}

// A started test: its thread, and for an in-process test the buffer its output
// is captured in (read when the test is abandoned at its time limit).
struct StartedTest {
    std::optional<rt::JoinHandle> handle;
    rt::CaptureBuffer capture;
};

// A running in-process test of a run with a time limit.
struct LimitEntry {
    TestId id;
    Instant start;
    Instant deadline;
    rt::CaptureBuffer capture;
    /// The limit in seconds, for the failure message.
    double secs = 0;
};

// Storage for jobs of one type, reused from test to test. Whoever runs a job
// destroys it and hands its storage back here without freeing it, so that a
// test's thread never calls the allocator: a thread's first call sets up a
// cache of its own, which its end tears down again, and that costs more than
// everything else the harness does on the thread. Handing back is lock-free
// and may happen on any thread; taking is serialised.
template <typename Job>
class JobStore {
public:
    static JobStore& instance() {
        static auto* store = new JobStore;  // never destroyed: abandoned threads hand back late
        return *store;
    }

    /// Builds `job` in stored or new storage.
    Job* make(Job&& job) {
        void* block = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (taken_ == nullptr) {
                taken_ = returned_.exchange(nullptr, std::memory_order_acquire);
            }
            if (taken_ != nullptr) {
                block = std::exchange(taken_, taken_->next);
            }
        }
        if (block == nullptr) {
            block = ::operator new(kSize, std::align_val_t(kAlign));
        }
        return ::new (block) Job(std::move(job));
    }

    /// Destroys `job` and keeps its storage.
    void finish(Job* job) {
        job->~Job();
        auto* node =
            ::new (static_cast<void*>(job)) Node{returned_.load(std::memory_order_relaxed)};
        while (!returned_.compare_exchange_weak(node->next, node, std::memory_order_release,
                                                std::memory_order_relaxed)) {
        }
    }

private:
    struct Node {
        Node* next;
    };
    static constexpr std::size_t kSize = std::max(sizeof(Job), sizeof(Node));
    static constexpr std::size_t kAlign = std::max(alignof(Job), alignof(Node));
    std::atomic<Node*> returned_{nullptr};
    std::mutex mutex_;
    Node* taken_ = nullptr;
};

// Starts `job` on a new thread named `name`. The job is built once; the
// thread runs and destroys it. When the system refuses more threads the job
// never left this thread and runs here instead.
template <typename Job>
std::optional<rt::JoinHandle> spawn_test_thread(std::string name, Job job) {
    JobStore<Job>& store = JobStore<Job>::instance();
    Job* owned = store.make(std::move(job));
    const auto run = [&store, owned] {
        struct Finish {
            JobStore<Job>& store;
            Job* job;
            ~Finish() { store.finish(job); }
        } finish{store, owned};
        (*owned)();
    };
    // Two pointers fit the thread body's inline storage: no further allocation.
    auto spawned = rt::spawn_thread(std::move(name), rt::min_stack_size(), run);
    if (auto* handle = std::get_if<rt::JoinHandle>(&spawned)) {
        return std::move(*handle);
    }
    const rt::SpawnError& error = std::get<rt::SpawnError>(spawned);
    if (!error.would_block) {
        store.finish(owned);
        rt::panic("failed to spawn thread to run test: " + error.error.display());
    }
    run();
    return std::nullopt;
}

// Receives the next record; the engine holds a sender, so the channel cannot
// disconnect while it waits.
CompletedTest recv_completed(rt::Receiver<CompletedTest>& rx) {
    std::optional<CompletedTest> completed = rx.recv();
    if (!completed) {
        rt::panic("test result channel disconnected");
    }
    return std::move(*completed);
}

// Removes the entry of test `id` from a queue of deadlines, if it holds one.
template <typename Queue>
void drop_entry(Queue& queue, TestId id) {
    const auto due =
        std::find_if(queue.begin(), queue.end(), [&](const auto& entry) { return entry.id == id; });
    if (due != queue.end()) {
        queue.erase(due);
    }
}

// The failed tests of a run that are to run again (`--retries`): a copy of
// each test's body taken before its first start (the start moves the body
// out), its failed attempts so far, and the reruns that are due once every
// other test of the run has finished. Does nothing, and copies nothing, when
// no retries are allowed.
class Retries {
public:
    explicit Retries(std::size_t allowed) : allowed_(allowed) {}

    /// True when test `i` is a rerun rather than a test's first start.
    [[nodiscard]] bool is_rerun(std::size_t i) const {
        if (kept_.empty()) {
            return false;
        }
        const auto it = kept_.find(TestId{i});
        return it != kept_.end() && !it->second.failed.empty();
    }

    /// Keeps a copy of the body of a test about to start for the first time,
    /// unless it cannot fail (ignored).
    void keep(std::size_t i, const TestDescAndFn& test, bool force_ignore) {
        if (allowed_ == 0 || force_ignore || test.descriptor.ignore || kept_.contains(TestId{i})) {
            return;
        }
        kept_.emplace(TestId{i}, Kept{test.body, {}});
    }

    /// Takes a completed record. A failure with retries left is kept as an
    /// attempt and its rerun queued: returns true, the record must not be
    /// reported. Otherwise the earlier attempts are attached: returns false.
    bool absorb(CompletedTest& completed) {
        const auto it = kept_.find(completed.id);
        if (it == kept_.end()) {
            return false;
        }
        Kept& kept = it->second;
        if (completed.result.is_failure() && kept.failed.size() < allowed_) {
            kept.failed.push_back(FailedAttempt{std::move(completed.result), completed.exec_time,
                                                std::move(completed.stdout_bytes)});
            due_.push_back(completed.id);
            return true;
        }
        completed.failed_attempts = std::move(kept.failed);
        kept_.erase(it);
        return false;
    }

    /// Appends the due reruns to `tests` and `queue` in the order their
    /// failures occurred, each as a new entry (descriptor and a fresh copy of
    /// the body) with an id of its own, so that a late record of an attempt
    /// abandoned at its time limit is never taken for the rerun's. Returns
    /// whether anything was queued.
    bool requeue(std::vector<TestDescAndFn>& tests, std::vector<std::size_t>& queue) {
        const std::size_t before = queue.size();
        for (const TestId id : std::exchange(due_, {})) {
            auto node = kept_.extract(id);
            const std::size_t rerun = tests.size();
            tests.push_back(TestDescAndFn{tests[id.value].descriptor, node.mapped().body});
            node.key() = TestId{rerun};
            kept_.insert(std::move(node));
            queue.push_back(rerun);
        }
        return queue.size() != before;
    }

private:
    struct Kept {
        TestFn body;
        std::vector<FailedAttempt> failed;
    };
    std::size_t allowed_;
    std::unordered_map<TestId, Kept> kept_;
    std::vector<TestId> due_;
};

}  // namespace

void RunningTest::wait_for_thread() {
    if (join_handle) {
        ended_by_panic = join_handle->join().has_value();
        join_handle.reset();
    }
}

void RunningTest::join(CompletedTest& completed) {
    // The record has arrived, so the thread is ending or has ended.
    if (join_handle) {
        ended_by_panic = join_handle->join_ending().has_value();
        join_handle.reset();
    }
    if (ended_by_panic && completed.result.is<TestResult::Ok>()) {
        completed.result = TestResult::FailedMsg{"panicked after reporting success"};
    }
}

std::vector<TestId> get_timed_out_tests(const RunningTests& running, TimeoutQueue& timeout_queue,
                                        Instant now) {
    std::vector<TestId> timed_out;
    while (!timeout_queue.empty() && timeout_queue.front().timeout <= now) {
        const TestId id = timeout_queue.front().id;
        timeout_queue.pop_front();
        // Entries of tests that already completed are dropped silently.
        if (running.contains(id)) {
            timed_out.push_back(id);
        }
    }
    return timed_out;
}

std::vector<TestId> get_timed_out_tests(const RunningTests& running, TimeoutQueue& timeout_queue) {
    return get_timed_out_tests(running, timeout_queue, Clock::now());
}

TestResult bench_result(const Bencher& bencher) {
    if (!bencher.summary) {
        const double zero = 0.0;
        return TestResult::Bench{BenchSamples{Summary::from({&zero, 1}), 0}};
    }
    // ns per iteration as an unsigned integer: saturating, 0 for negative or
    // NaN, then at least 1 so that the division below is defined.
    const double median = bencher.summary->median;
    std::uint64_t ns_iter = 0;
    if (median >= 18446744073709551616.0) {
        ns_iter = std::numeric_limits<std::uint64_t>::max();
    } else if (median > 0) {
        ns_iter = static_cast<std::uint64_t>(median);
    }
    ns_iter = std::max<std::uint64_t>(ns_iter, 1);
    const unsigned __int128 mb_s = static_cast<unsigned __int128>(bencher.bytes) * 1000 / ns_iter;
    const std::size_t max = std::numeric_limits<std::size_t>::max();
    return TestResult::Bench{
        BenchSamples{*bencher.summary, mb_s > max ? max : static_cast<std::size_t>(mb_s)}};
}

std::optional<std::string> take_skip_reason(std::vector<std::uint8_t>& stderr_bytes) {
    const std::string_view text(reinterpret_cast<const char*>(stderr_bytes.data()),
                                stderr_bytes.size());
    const std::size_t at = text.rfind(SKIPPED_CHILD_MARKER);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    std::string reason(text.substr(at + SKIPPED_CHILD_MARKER.size()));
    stderr_bytes.resize(at);
    return reason;
}

std::string time_limit_message(double secs) {
    char text[32];
    const auto shown = std::to_chars(text, text + sizeof text, secs);
    return "test exceeded the time limit of " + std::string(text, shown.ptr) + " s";
}

CompletedTest run_test_in_spawned_subprocess(TestId id, TestDesc desc, bool nocapture,
                                             const std::optional<TestTimeOptions>& time_opts,
                                             bool bench, const std::string& executable,
                                             std::optional<double> limit_secs) {
    rt::Command command(executable);
    // A process group of its own, so that what the test starts goes with it,
    // also when this run is interrupted.
    command.own_group(kChildStopGrace);
    command.env("__ZUNO_TEST_INVOKE", std::string(desc.name.as_slice()));
    if (bench) {
        command.env("__ZUNO_TEST_BENCH_BENCHMARKS", "1");
    }
    if (nocapture) {
        command.stdout_(rt::Stdio::Inherit).stderr_(rt::Stdio::Inherit);
    }

    const Clock::time_point started = Clock::now();
    std::optional<Clock::time_point> start;
    if (time_opts) {
        start = started;
    }
    rt::IoResult<rt::DeadlineOutput> ran = [&]() -> rt::IoResult<rt::DeadlineOutput> {
        if (limit_secs) {
            return command.output_until(started + limit_duration(*limit_secs), kChildStopGrace);
        }
        rt::IoResult<rt::Output> finished = command.output();
        if (!finished.ok()) {
            return finished.error();
        }
        return rt::DeadlineOutput{std::move(finished.value()), false};
    }();
    const std::optional<TestExecTime> exec_time = elapsed_since(start);

    if (!ran.ok()) {
        const std::string message =
            "Failed to spawn " + executable + " as child for test: " + ran.error().debug();
        return CompletedTest{id, std::move(desc), TestResult::Failed{}, std::nullopt,
                             std::vector<std::uint8_t>(message.begin(), message.end())};
    }

    rt::Output& out = ran.value().output;
    std::optional<std::string> skipped;
    if (out.status.code() == std::optional<int>(SKIPPED_CHILD_STATUS)) {
        skipped = take_skip_reason(out.stderr_bytes);
    }
    std::vector<std::uint8_t> output = std::move(out.stdout_bytes);
    if (!output.empty() && output.back() != '\n') {
        output.push_back('\n');
    }
    const std::string header = "---- " + std::string(desc.name.as_slice()) + " stderr ----\n";
    output.insert(output.end(), header.begin(), header.end());
    output.insert(output.end(), out.stderr_bytes.begin(), out.stderr_bytes.end());

    TestResult result = TestResult::Failed{};
    if (skipped) {
        desc.ignore_message = keep_skip_reason(std::move(*skipped));
        result = TestResult::Ignored{};
    } else if (ran.value().timed_out) {
        result = TestResult::FailedMsg{time_limit_message(limit_secs.value_or(0))};
    } else if (const std::optional<int> code = out.status.code()) {
        if (*code == 0) {
            result = TestResult::Ok{};
        } else {
            result = TestResult::FailedMsg{"got unexpected return code " + std::to_string(*code)};
        }
    } else if (const std::optional<int> signal = out.status.signal()) {
        if (*signal != 6) {
            result = TestResult::FailedMsg{"child process exited with signal " +
                                           std::to_string(*signal)};
        }
    }
    result = apply_time_limit(std::move(result), desc, time_opts, exec_time);
    return CompletedTest{id, std::move(desc), std::move(result), exec_time, std::move(output)};
}

namespace {

StartedTest start_test(const TestOpts& opts, bool force_ignore, TestId id, TestDescAndFn test,
                       RunStrategy strategy, CompletedSender monitor_ch) {
    TestDesc desc = std::move(test.descriptor);
    if (force_ignore || desc.ignore) {
        send_completed(monitor_ch,
                       CompletedTest{id, std::move(desc), TestResult::Ignored{}, std::nullopt, {}});
        return {};
    }

    Runnable runnable = std::move(test.body).into_runnable();
    if (auto* bench = std::get_if<RunnableBench>(&runnable)) {
        run_bench(id, std::move(desc), opts.nocapture, *bench, monitor_ch);
        return {};
    }
    RunnableTest& runnable_test = std::get<RunnableTest>(runnable);
    if (runnable_test.is_dynamic() && strategy != RunStrategy::InProcess) {
        rt::panic("Cannot run dynamic test fn out-of-process");
    }

    std::string name(desc.name.as_slice());
    const bool nocapture = opts.nocapture;
    const std::optional<TestTimeOptions> time_opts = opts.time_options;
    // A report file carries every test's time, whether or not the console shows it.
    const bool measure = time_opts || opts.junit_report;
    switch (strategy) {
        case RunStrategy::InProcess: {
            rt::CaptureBuffer capture = rt::make_capture_buffer(helpers::capture_limit());
            return StartedTest{
                spawn_test_thread(
                    std::move(name),
                    [id, desc = std::move(desc), nocapture, measure, time_opts, capture,
                     runnable = std::move(runnable_test), tx = std::move(monitor_ch)]() mutable {
                        run_test_in_process(id, std::move(desc), nocapture, measure, time_opts,
                                            runnable, capture, tx);
                    }),
                capture};
        }
        case RunStrategy::SpawnChild:
            break;
    }
    const std::optional<double> limit = test_time_limit(opts, desc);
    return StartedTest{
        spawn_test_thread(std::move(name),
                          [id, desc = std::move(desc), nocapture, measure, time_opts,
                           bench = opts.bench, limit, tx = std::move(monitor_ch)]() mutable {
                              const Clock::time_point begun = Clock::now();
                              CompletedTest completed = run_test_in_spawned_subprocess(
                                  id, std::move(desc), nocapture, time_opts, bench,
                                  current_executable(), limit);
                              // A report file wants the time even without time options.
                              if (measure && !completed.exec_time) {
                                  completed.exec_time = elapsed_since(begun);
                              }
                              send_completed(tx, std::move(completed));
                          }),
        nullptr};
}

// The record of an in-process test abandoned at its time limit: what it has
// printed so far, and the time it was given when times are measured. Its
// thread runs on into its own buffer; its late record is dropped.
std::atomic<bool> THREADS_ABANDONED{false};

CompletedTest abandoned_record(const TestOpts& opts, const TestDesc& desc, const LimitEntry& entry,
                               Instant now) {
    THREADS_ABANDONED.store(true);
    std::optional<TestExecTime> exec_time;
    if (opts.time_options || opts.junit_report) {
        exec_time = TestExecTime{std::chrono::duration_cast<Duration>(now - entry.start)};
    }
    std::vector<std::uint8_t> output;
    if (entry.capture) {
        auto locked = entry.capture->lock();
        output = locked.guard->copy();
    }
    return CompletedTest{entry.id, desc, TestResult::FailedMsg{time_limit_message(entry.secs)},
                         exec_time, std::move(output)};
}

// The one scheduler loop: starts queued tests into free slots, strictly in
// queue order, and reports each result as its record arrives. A sequential
// run is this loop with one slot. Owned by the engine's thread for one run.
class Scheduler {
public:
    /// One pass over a queue: the tests of a run, or its benchmarks.
    struct Phase {
        /// Positions in the run's list, in start order.
        std::vector<std::size_t> queue;
        /// How many tests run at once (at least 1). With more than one, a
        /// test still running after the long-running period is reported.
        std::size_t slots = 1;
        /// Every test is reported ignored without running (the options run no tests).
        bool force_ignore = false;
        /// The first failure ends the run.
        bool fail_fast = false;
        /// How many more times a failed test runs.
        std::size_t retries = 0;
        /// In-process tests are held to their time limits (test_time_limit).
        bool time_limits = false;
    };

    Scheduler(const TestOpts& opts, const EngineConfig& config, RunStrategy strategy,
              std::vector<TestDescAndFn>& tests, const TestEventCallback& notify)
        : opts_(opts), config_(config), strategy_(strategy), tests_(tests), notify_(notify) {
        auto [tx, rx] = rt::channel<CompletedTest>();
        tx_.emplace(std::move(tx));
        rx_.emplace(std::move(rx));
    }

    /// Runs `phase` to its end: true, or false when a failure stopped the run.
    rt::IoResult<bool> run(Phase phase);

private:
    // What ended a wait: a record arrived, a test was given up at its time
    // limit (its slot is free), or that test's failure stopped the run.
    enum class Woke : std::uint8_t { Record, Freed, Stop };

    rt::IoResult<void> start(std::size_t i);
    rt::IoResult<Woke> wait(std::optional<CompletedTest>& received);
    rt::IoResult<Woke> abandon_due(Instant now);
    rt::IoResult<bool> report(CompletedTest record);

    const TestOpts& opts_;
    const EngineConfig& config_;
    RunStrategy strategy_;
    std::vector<TestDescAndFn>& tests_;
    const TestEventCallback& notify_;
    std::optional<CompletedSender> tx_;
    std::optional<rt::Receiver<CompletedTest>> rx_;
    // The phase under way, and the failed tests it is to run again.
    Phase phase_;
    Retries retries_{0};
    // Every started test has an entry here until its record is received or
    // it is given up at its time limit.
    RunningTests running_;
    // The node of the last joined test, reused for the next start.
    RunningTests::node_type spare_;
    // Long-running deadlines in start (so deadline) order, and time limits in
    // deadline order; at most one entry each per running test.
    TimeoutQueue timeouts_;
    std::deque<LimitEntry> limits_;
};

rt::IoResult<bool> Scheduler::run(Phase phase) {
    phase_ = std::move(phase);
    // A rerun is reported only by its result: one result per test, for its
    // final attempt; only a test's first start is announced. Reruns are
    // queued only when nothing else is left to run.
    retries_ = Retries(phase_.retries);
    running_.reserve(std::min(phase_.slots, phase_.queue.size()));
    std::size_t next = 0;
    while (!running_.empty() || next < phase_.queue.size() ||
           retries_.requeue(tests_, phase_.queue)) {
        while (running_.size() < phase_.slots && next < phase_.queue.size()) {
            RT_TRY(start(phase_.queue[next++]));
        }
        std::optional<CompletedTest> received;
        auto woke = wait(received);
        RT_TRY(woke);
        if (woke.value() == Woke::Stop) {
            return false;
        }
        if (woke.value() == Woke::Freed) {
            continue;
        }
        auto node = running_.extract(received->id);
        if (!node) {
            continue;  // the late record of a test given up at its time limit
        }
        // A completed test's deadlines go with it.
        drop_entry(timeouts_, received->id);
        drop_entry(limits_, received->id);
        node.mapped().join(*received);
        spare_ = std::move(node);
        auto stop = report(std::move(*received));
        RT_TRY(stop);
        // Tests still running are left alone: their handles detach and their
        // records are dropped by the closed channel.
        if (stop.value()) {
            return false;
        }
    }
    return true;
}

// Starts test `i`: its body moves out of the list and its descriptor is
// copied, once, for the test's thread; the list keeps the original.
rt::IoResult<void> Scheduler::start(std::size_t i) {
    const TestId id{i};
    const Instant timeout = config_.now() + config_.time_critical_period;
    TestDescAndFn& test = tests_[i];
    if (!retries_.is_rerun(i)) {
        RT_TRY(notify_(TestEvent::Wait{test.descriptor}));
    }
    retries_.keep(i, test, phase_.force_ignore);
    const Instant started_at = config_.now();
    StartedTest started =
        start_test(opts_, phase_.force_ignore, id,
                   TestDescAndFn{test.descriptor, std::move(test.body)}, strategy_, *tx_);
    if (phase_.time_limits) {
        if (const std::optional<double> secs = test_time_limit(opts_, test.descriptor)) {
            const Instant deadline = started_at + limit_duration(*secs);
            const auto at = std::upper_bound(
                limits_.begin(), limits_.end(), deadline,
                [](Instant d, const LimitEntry& entry) { return d < entry.deadline; });
            limits_.insert(at, LimitEntry{id, started_at, deadline, started.capture, *secs});
        }
    }
    RunningTest running{std::move(started.handle), false, std::move(started.capture)};
    if (spare_) {
        spare_.key() = id;
        spare_.mapped() = std::move(running);
        running_.insert(std::move(spare_));
    } else {
        running_.emplace(id, std::move(running));
    }
    if (phase_.slots > 1) {
        timeouts_.push_back(TimeoutEntry{id, timeout});
    }
    return {};
}

// Blocks for the next record. While deadlines are queued, wakes up at the
// earliest one to report tests that are still running, and to give up on
// tests past their time limit.
rt::IoResult<Scheduler::Woke> Scheduler::wait(std::optional<CompletedTest>& received) {
    for (;;) {
        std::optional<Instant> wake;
        if (!timeouts_.empty()) {
            wake = timeouts_.front().timeout;
        }
        if (!limits_.empty() && (!wake || limits_.front().deadline < *wake)) {
            wake = limits_.front().deadline;
        }
        if (!wake) {
            // With one test running, its record is queued before its thread
            // ends, so after the join it is taken without sleeping: one
            // wake-up per test instead of two (record, then thread end).
            if (running_.size() == 1) {
                running_.begin()->second.wait_for_thread();
            }
            received = recv_completed(*rx_);
            return Woke::Record;
        }
        const auto left = std::max(*wake - config_.now(), Instant::duration::zero());
        const rt::RecvStatus status = rx_->recv_timeout(left, received);
        const Instant now = config_.now();
        for (const TestId id : get_timed_out_tests(running_, timeouts_, now)) {
            RT_TRY(notify_(TestEvent::Timeout{tests_[id.value].descriptor}));
        }
        if (status == rt::RecvStatus::Disconnected) {
            rt::panic("test result channel disconnected");
        }
        if (received) {
            return Woke::Record;
        }
        auto abandoned = abandon_due(now);
        RT_TRY(abandoned);
        if (abandoned.value() != Woke::Record) {
            return abandoned.value();
        }
    }
}

// Gives up on the running tests whose time limit has passed: each is
// reported failed and its thread left behind. Record when there was none.
rt::IoResult<Scheduler::Woke> Scheduler::abandon_due(Instant now) {
    Woke woke = Woke::Record;
    while (!limits_.empty() && limits_.front().deadline <= now) {
        LimitEntry entry = std::move(limits_.front());
        limits_.pop_front();
        // The thread handle of an abandoned test detaches here.
        if (running_.erase(entry.id) == 0) {
            continue;
        }
        drop_entry(timeouts_, entry.id);
        woke = Woke::Freed;
        auto stop = report(abandoned_record(opts_, tests_[entry.id.value].descriptor, entry, now));
        RT_TRY(stop);
        if (stop.value()) {
            return Woke::Stop;
        }
    }
    return woke;
}

// Reports a finished attempt, unless it is a failure to be run again. True
// when it stops the run.
rt::IoResult<bool> Scheduler::report(CompletedTest record) {
    if (retries_.absorb(record)) {
        return false;
    }
    const bool stop = phase_.fail_fast && record.result.is_failure();
    RT_TRY(notify_(TestEvent::Result{std::move(record)}));
    return stop;
}

}  // namespace

RunStrategy choose_strategy(const TestOpts& opts) {
    return (opts.run_options.abort_on_failure || opts.isolate) && !opts.force_run_in_process
               ? RunStrategy::SpawnChild
               : RunStrategy::InProcess;
}

bool test_threads_abandoned() {
    return THREADS_ABANDONED.load();
}

std::optional<rt::JoinHandle> run_test(const TestOpts& opts, bool force_ignore, TestId id,
                                       TestDescAndFn test, RunStrategy strategy,
                                       CompletedSender monitor_ch) {
    return start_test(opts, force_ignore, id, std::move(test), strategy, std::move(monitor_ch))
        .handle;
}

rt::IoResult<void> run_tests(const TestOpts& opts, std::size_t concurrency,
                             std::vector<TestDescAndFn> tests, const TestEventCallback& callback) {
    return run_tests_with(opts, concurrency, std::move(tests), callback, EngineConfig{});
}

rt::IoResult<void> run_tests_with(const TestOpts& opts, std::size_t concurrency,
                                  std::vector<TestDescAndFn> tests, const TestEventCallback& notify,
                                  const EngineConfig& config) {
    // Steps 1-4: the plan, its counts and its seed, before anything runs. A
    // test's id is its position in the plan's list: the list stays where it
    // is, holds every descriptor the events lend out, and the queues hold
    // positions.
    Plan plan = make_plan(opts, std::move(tests), PlanFor::Run);
    RT_TRY(notify(TestEvent::FilteredOut{plan.filtered_out, plan.other_shards}));
    RT_TRY(notify(TestEvent::Filtered{plan.considered(), plan.shuffle_seed}));

    // Steps 5-8. A concurrency of 0 would never start anything; run one at a time.
    const RunStrategy strategy = choose_strategy(opts);
    Scheduler scheduler(opts, config, strategy, plan.tests, notify);
    Scheduler::Phase tests_phase;
    tests_phase.queue = std::move(plan.queue);
    tests_phase.slots = std::max<std::size_t>(concurrency, 1);
    tests_phase.force_ignore = !opts.run_tests;
    tests_phase.fail_fast = opts.fail_fast;
    tests_phase.retries = opts.retries;
    // In-process tests are held to the time limit here; an isolated test's
    // job stops its child itself.
    tests_phase.time_limits = strategy == RunStrategy::InProcess;
    auto finished = scheduler.run(std::move(tests_phase));
    RT_TRY(finished);
    if (!finished.value()) {
        return {};  // stopped by a failure (fail-fast)
    }
    // Benchmarks run one after another after all tests; fail-fast does not apply.
    Scheduler::Phase benchmarks_phase;
    benchmarks_phase.queue = std::move(plan.benchmarks);
    RT_TRY(scheduler.run(std::move(benchmarks_phase)));
    return {};
}

}  // namespace test
