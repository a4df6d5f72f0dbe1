#include "engine.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "io.hpp"
#include "panic.hpp"
#include "body.hpp"
#include "isolation.hpp"
#include "launch.hpp"
#include "plan.hpp"
#include "registry.hpp"
#include "helpers/concurrency.hpp"

namespace test {

namespace {

using Clock = std::chrono::steady_clock;

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

    BodyOutcome outcome =
        run_runnable(desc, runnable, nocapture ? nullptr : data, measure, time_opts);
    std::vector<std::uint8_t> output = take_output(data);
    on_thread_exit.sent = true;
    send_completed(monitor_ch, CompletedTest{id, std::move(desc), std::move(outcome.result),
                                             outcome.exec_time, std::move(output)});
}

// A benchmark, always on the calling thread.
void run_bench(TestId id, TestDesc desc, bool nocapture, bool measure, RunnableBench& bench,
               CompletedSender& monitor_ch) {
    const rt::CaptureBuffer data = rt::make_capture_buffer(helpers::capture_limit());
    const std::optional<Clock::time_point> start =
        measure ? std::optional(Clock::now()) : std::nullopt;
    TestResult result = run_runnable(desc, bench, nocapture ? nullptr : data).result;
    std::vector<std::uint8_t> output;
    {
        auto locked = data->lock();
        if (locked.poisoned) {
            rt::panic("the output capture of benchmark " + std::string(desc.name.as_slice()) +
                      " was poisoned by a panic");
        }
        output = locked.guard->take();
    }
    send_completed(monitor_ch, CompletedTest{id, std::move(desc), std::move(result),
                                             elapsed_since(start), std::move(output)});
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

namespace {

StartedTest start_test(const TestOpts& opts, bool force_ignore, TestId id, TestDescAndFn test,
                       RunStrategy strategy, CompletedSender monitor_ch, TestThreads& threads) {
    TestDesc desc = std::move(test.descriptor);
    if (force_ignore || desc.ignore) {
        send_completed(monitor_ch,
                       CompletedTest{id, std::move(desc), TestResult::Ignored{}, std::nullopt, {}});
        return {};
    }

    Runnable runnable = std::move(test.body).into_runnable();
    if (auto* bench = std::get_if<RunnableBench>(&runnable)) {
        // Only the run record takes a benchmark's duration; the other outputs show none.
        run_bench(id, std::move(desc), opts.nocapture, opts.run_record.has_value(), *bench,
                  monitor_ch);
        return {};
    }
    RunnableTest& runnable_test = std::get<RunnableTest>(runnable);
    if (runnable_test.is_dynamic() && strategy != RunStrategy::InProcess) {
        rt::panic("Cannot run dynamic test fn out-of-process");
    }

    std::string name(desc.name.as_slice());
    const bool nocapture = opts.nocapture;
    const std::optional<TestTimeOptions> time_opts = opts.time_options;
    // Outputs that record times get them whether or not the console shows them.
    const bool measure = opts.measures_time();
    switch (strategy) {
        case RunStrategy::InProcess: {
            rt::CaptureBuffer capture = rt::make_capture_buffer(helpers::capture_limit());
            return StartedTest{
                launch_test_job(
                    threads, std::move(name),
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
        launch_test_job(threads, std::move(name),
                        [id, desc = std::move(desc), nocapture, measure, time_opts,
                         bench = opts.bench, limit, tx = std::move(monitor_ch)]() mutable {
                            const Clock::time_point begun = Clock::now();
                            CompletedTest completed = run_test_in_spawned_subprocess(
                                id, std::move(desc), nocapture, time_opts, bench,
                                current_executable(), limit);
                            // Outputs that record times want it even without time options.
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
CompletedTest abandoned_record(const TestOpts& opts, const TestDesc& desc, const LimitEntry& entry,
                               Instant now) {
    std::optional<TestExecTime> exec_time;
    if (opts.measures_time()) {
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
        : opts_(opts),
          config_(config),
          strategy_(strategy),
          tests_(tests),
          notify_(notify),
          // Isolated tests wait for their children on threads of their own.
          threads_(opts.reuse_threads && strategy == RunStrategy::InProcess) {
        auto [tx, rx] = rt::channel<CompletedTest>();
        tx_.emplace(std::move(tx));
        rx_.emplace(std::move(rx));
    }

    /// Runs `phase` to its end: true, or false when a failure stopped the run.
    rt::IoResult<bool> run(Phase phase);
    /// Whether a test was given up at its time limit, its thread left running.
    [[nodiscard]] bool abandoned() const { return abandoned_; }

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
    // Where the tests run; outlives the handles in running_.
    TestThreads threads_;
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
    bool abandoned_ = false;
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
                   TestDescAndFn{test.descriptor, std::move(test.body)}, strategy_, *tx_, threads_);
    if (phase_.time_limits) {
        if (const std::optional<double> secs = test_time_limit(opts_, test.descriptor)) {
            const Instant deadline = started_at + time_limit_duration(*secs);
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
        abandoned_ = true;
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
    // A quarantined failure does not fail the run, so it does not stop it either.
    const bool stop =
        phase_.fail_fast && record.result.is_failure() &&
        !(opts_.quarantine &&
          quarantine_in_force(*opts_.quarantine, record.desc.name.as_slice(), utc_today()));
    RT_TRY(notify_(TestEvent::Result{std::move(record)}));
    return stop;
}

}  // namespace

RunStrategy choose_strategy(const TestOpts& opts) {
    return (opts.run_options.abort_on_failure || opts.isolate) && !opts.force_run_in_process
               ? RunStrategy::SpawnChild
               : RunStrategy::InProcess;
}

std::optional<rt::JoinHandle> run_test(const TestOpts& opts, bool force_ignore, TestId id,
                                       TestDescAndFn test, RunStrategy strategy,
                                       CompletedSender monitor_ch) {
    TestThreads threads(false);
    return start_test(opts, force_ignore, id, std::move(test), strategy, std::move(monitor_ch),
                      threads)
        .handle;
}

rt::IoResult<RunEnd> run_tests(const TestOpts& opts, std::size_t concurrency,
                               std::vector<TestDescAndFn> tests,
                               const TestEventCallback& callback) {
    return run_tests_with(opts, concurrency, std::move(tests), callback, EngineConfig{});
}

rt::IoResult<RunEnd> run_tests_with(const TestOpts& opts, std::size_t concurrency,
                                    std::vector<TestDescAndFn> tests,
                                    const TestEventCallback& notify, const EngineConfig& config) {
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
        return RunEnd{scheduler.abandoned()};  // stopped by a failure (fail-fast)
    }
    // Benchmarks run one after another after all tests; fail-fast does not apply.
    Scheduler::Phase benchmarks_phase;
    benchmarks_phase.queue = std::move(plan.benchmarks);
    RT_TRY(scheduler.run(std::move(benchmarks_phase)));
    return RunEnd{scheduler.abandoned()};
}

}  // namespace test
