#include "engine.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <zuno/test.hpp>

#include "io.hpp"
#include "panic.hpp"
#include "thread.hpp"
#include "body.hpp"
#include "isolation.hpp"
#include "helpers/concurrency.hpp"
#include "support.hpp"

namespace test {
namespace {

using namespace std::chrono_literals;

// ---- fixtures -------------------------------------------------------------

// Threads started through rt::spawn_thread since the process began.
std::atomic<int> g_spawned{0};

// Installs, once per process, the spawn hook the harness entry installs: a new
// thread writes into the capture of the thread that started it. It also counts
// thread starts.
void install_spawn_hook() {
    static std::once_flag once;
    std::call_once(once, [] {
        rt::add_spawn_hook([] {
            g_spawned.fetch_add(1);
            rt::CaptureBuffer parent = rt::current_output_capture();
            return std::function<void()>([parent] { rt::set_output_capture(parent); });
        });
    });
}

// A one-shot signal between the callback (main thread) and test bodies.
class Gate {
public:
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        cv_.notify_all();
    }
    // True when opened within the time limit (a broken engine must not hang the suite).
    bool wait(std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, limit, [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

std::size_t thread_count() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++n;
    }
    return n;
}

// Waits until the process is back to at most `n` threads, so that threads left
// running by an early return have ended before the test finishes.
bool wait_for_threads(std::size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (thread_count() > n) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TestDescAndFn make_test(std::string name, std::function<BodyResult()> body, bool ignore = false,
                        ShouldPanic should_panic = {}) {
    TestDesc desc;
    desc.name = TestName::owned_name(std::move(name));
    desc.ignore = ignore;
    desc.should_panic = should_panic;
    desc.test_type = TestType::Unit;
    return TestDescAndFn{std::move(desc), TestFn(BoxedTestBody{std::move(body)})};
}

BodyResult pass() {
    return BodyResult::ok();
}

std::string word(const TestResult& r) {
    static const char* const words[] = {"ok",      "failed", "failed_msg",
                                        "ignored", "bench",  "timed_fail"};
    return words[r.get().index()];
}

std::string text(const std::vector<std::uint8_t>& bytes) {
    return {bytes.begin(), bytes.end()};
}

// Records every event as a line, keeps each completed record by name, and lets
// a test react to an event (open a gate, fail the callback).
struct Recorder {
    std::vector<std::string> log;
    std::map<std::string, CompletedTest> results;
    std::function<rt::IoResult<void>(const std::string& line)> on_event;

    TestEventCallback callback() {
        return [this](TestEvent event) -> rt::IoResult<void> {
            std::string line;
            if (const auto* e = event.as<TestEvent::FilteredOut>()) {
                line = "filtered_out " + std::to_string(e->count);
            } else if (const auto* e = event.as<TestEvent::Filtered>()) {
                line = "filtered " + std::to_string(e->count);
                if (e->shuffle_seed) {
                    line += " seed " + std::to_string(*e->shuffle_seed);
                }
            } else if (const auto* e = event.as<TestEvent::Wait>()) {
                line = "wait " + std::string(e->desc.name.as_slice());
            } else if (const auto* e = event.as<TestEvent::Timeout>()) {
                line = "timeout " + std::string(e->desc.name.as_slice());
            } else if (auto* e = event.as<TestEvent::Result>()) {
                const std::string name(e->completed.desc.name.as_slice());
                line = "result " + name + " " + word(e->completed.result);
                results.insert_or_assign(name, std::move(e->completed));
            }
            log.push_back(line);
            return on_event ? on_event(line) : rt::IoResult<void>();
        };
    }
};

TestOpts opts_with_threads(std::size_t n) {
    TestOpts opts;
    opts.test_threads = n;
    return opts;
}

// ---- run order --------------------------------------------------------------

TEST(Engine, SequentialEventOrderAndCapture) {
    auto thread_of_a = std::make_shared<std::string>();
    std::vector<TestDescAndFn> tests;
    tests.push_back(make_test("a", [thread_of_a] {
        rt::print("hello a\n");
        *thread_of_a = rt::current_thread_name();
        return BodyResult::ok();
    }));
    tests.push_back(make_test("b", []() -> BodyResult { rt::panic("boom b"); }));
    tests.push_back(make_test("skipped_by_filter", pass));
    tests.push_back(make_test("c", pass, /*ignore=*/true));
    tests.push_back(make_test("d", [] { return BodyResult::fail("bad"); }));
    TestOpts opts = opts_with_threads(1);
    opts.skip = {"skipped"};

    Recorder rec;
    ASSERT_TRUE(run_tests(opts, 1, std::move(tests), rec.callback()).ok());
    EXPECT_EQ(rec.log,
              (std::vector<std::string>{"filtered_out 1", "filtered 4", "wait a", "result a ok",
                                        "wait b", "result b failed", "wait c", "result c ignored",
                                        "wait d", "result d failed"}));

    const CompletedTest& a = rec.results.at("a");
    EXPECT_EQ(*thread_of_a, "a");
    EXPECT_EQ(text(a.stdout_bytes), "hello a\n");
    EXPECT_EQ(a.exec_time, std::nullopt);
    EXPECT_EQ(a.desc.name.kind(), TestName::Kind::AlignedName);
    EXPECT_EQ(a.desc.name.padding(), NamePadding::NoPadding);
    // Ids are handed out after filtering, in list order.
    EXPECT_EQ(a.id.value, 0u);
    EXPECT_EQ(rec.results.at("d").id.value, 3u);
    // A panic's report lands in the test's capture; a returned error prints nothing.
    const std::string b_out = text(rec.results.at("b").stdout_bytes);
    EXPECT_NE(b_out.find("thread 'b'"), std::string::npos) << b_out;
    EXPECT_NE(b_out.find("boom b"), std::string::npos) << b_out;
    EXPECT_TRUE(rec.results.at("d").stdout_bytes.empty());
    const CompletedTest& c = rec.results.at("c");
    EXPECT_TRUE(c.stdout_bytes.empty());
    EXPECT_EQ(c.exec_time, std::nullopt);
}

TEST(Engine, ParallelEventOrder) {
    // a ends only after b's result was reported, c only after a's: the order of
    // results is b, a, c while c starts in the slot b freed.
    auto b_reported = std::make_shared<Gate>();
    auto a_reported = std::make_shared<Gate>();
    std::vector<TestDescAndFn> tests;
    tests.push_back(make_test("a", [b_reported] {
        return b_reported->wait() ? BodyResult::ok() : BodyResult::fail("gate");
    }));
    tests.push_back(make_test("b", pass));
    tests.push_back(make_test("c", [a_reported] {
        return a_reported->wait() ? BodyResult::ok() : BodyResult::fail("gate");
    }));

    Recorder rec;
    rec.on_event = [&](const std::string& line) {
        if (line == "result b ok") {
            b_reported->open();
        } else if (line == "result a ok") {
            a_reported->open();
        }
        return rt::IoResult<void>();
    };
    ASSERT_TRUE(run_tests(opts_with_threads(2), 2, std::move(tests), rec.callback()).ok());
    EXPECT_EQ(rec.log,
              (std::vector<std::string>{"filtered_out 0", "filtered 3", "wait a", "wait b",
                                        "result b ok", "wait c", "result a ok", "result c ok"}));
}

TEST(Engine, ParallelRunsAtMostConcurrencyTests) {
    auto running = std::make_shared<std::atomic<int>>(0);
    auto peak = std::make_shared<std::atomic<int>>(0);
    std::vector<TestDescAndFn> tests;
    for (int i = 0; i < 8; ++i) {
        std::string name = std::to_string(i);
        name.insert(0, "t");
        tests.push_back(make_test(std::move(name), [running, peak] {
            const int now = running->fetch_add(1) + 1;
            int seen = peak->load();
            while (now > seen && !peak->compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(3ms);
            running->fetch_sub(1);
            return BodyResult::ok();
        }));
    }
    Recorder rec;
    ASSERT_TRUE(run_tests(opts_with_threads(3), 3, std::move(tests), rec.callback()).ok());
    EXPECT_LE(peak->load(), 3);
    EXPECT_EQ(rec.results.size(), 8u);
    for (const auto& [name, completed] : rec.results) {
        EXPECT_TRUE(completed.result.is<TestResult::Ok>()) << name;
    }
}

TEST(Engine, NothingSelectedSendsOnlyCounts) {
    std::vector<TestDescAndFn> tests;
    tests.push_back(make_test("alpha", pass));
    TestOpts opts = opts_with_threads(2);
    opts.filters = {"beta"};
    Recorder rec;
    ASSERT_TRUE(run_tests(opts, 2, std::move(tests), rec.callback()).ok());
    EXPECT_EQ(rec.log, (std::vector<std::string>{"filtered_out 1", "filtered 0"}));
}

// ---- long-running warning ----------------------------------------------------

TEST(Engine, RetriesRunFailedTestsAgainAfterAllOthers) {
    for (const std::size_t threads : {1, 2}) {
        SCOPED_TRACE(threads);
        auto a_calls = std::make_shared<std::atomic<int>>(0);
        std::vector<TestDescAndFn> tests;
        tests.push_back(make_test("a", [a_calls]() -> BodyResult {
            if (a_calls->fetch_add(1) == 0) {
                rt::panic("first run of a");
            }
            return BodyResult::ok();
        }));
        tests.push_back(make_test("b", pass));
        tests.push_back(make_test("c", [] { return BodyResult::fail("always"); }));
        tests.push_back(make_test("i", pass, /*ignore=*/true));
        TestOpts opts = opts_with_threads(threads);
        opts.retries = 2;
        opts.fail_fast = true;  // only a final failure stops the run

        Recorder rec;
        ASSERT_TRUE(run_tests(opts, threads, std::move(tests), rec.callback()).ok());
        // Each test is announced once and reported once, for its final attempt;
        // reruns come after every first run, in the order of the failures.
        const std::vector<std::string> tail = {"result a ok", "result c failed"};
        ASSERT_EQ(rec.log.size(), 10u);
        EXPECT_EQ(std::vector<std::string>(rec.log.end() - 2, rec.log.end()), tail);
        if (threads == 1) {
            EXPECT_EQ(rec.log, (std::vector<std::string>{"filtered_out 0", "filtered 4", "wait a",
                                                         "wait b", "result b ok", "wait c",
                                                         "wait i", "result i ignored",
                                                         "result a ok", "result c failed"}));
        }
        EXPECT_EQ(a_calls->load(), 2);
        const CompletedTest& a = rec.results.at("a");
        ASSERT_EQ(a.failed_attempts.size(), 1u);
        EXPECT_TRUE(a.failed_attempts[0].result.is<TestResult::Failed>());
        EXPECT_NE(text(a.failed_attempts[0].stdout_bytes).find("first run of a"),
                  std::string::npos);
        EXPECT_EQ(rec.results.at("c").failed_attempts.size(), 2u);
        EXPECT_TRUE(rec.results.at("b").failed_attempts.empty());
    }
}

TEST(Engine, LongRunningWarningWithShiftedClock) {
    // The production period of 60 s, with a clock the test moves forward once
    // the fast test has been reported.
    auto offset = std::make_shared<std::atomic<std::int64_t>>(0);
    EngineConfig config;
    config.now = [offset] {
        return std::chrono::steady_clock::now() + std::chrono::nanoseconds(offset->load());
    };
    auto warned = std::make_shared<Gate>();
    std::vector<TestDescAndFn> tests;
    tests.push_back(make_test("fast", pass));
    tests.push_back(make_test(
        "slow", [warned] { return warned->wait() ? BodyResult::ok() : BodyResult::fail("gate"); }));
    Recorder rec;
    rec.on_event = [&](const std::string& line) {
        if (line == "result fast ok") {
            offset->store(std::chrono::nanoseconds(61s).count());
        } else if (line == "timeout slow") {
            warned->open();
        }
        return rt::IoResult<void>();
    };
    ASSERT_TRUE(
        run_tests_with(opts_with_threads(2), 2, std::move(tests), rec.callback(), config).ok());
    // fast's deadline passed too, but it had completed: no warning for it.
    EXPECT_EQ(rec.log,
              (std::vector<std::string>{"filtered_out 0", "filtered 2", "wait fast", "wait slow",
                                        "result fast ok", "timeout slow", "result slow ok"}));
}

TEST(Engine, LongRunningWarningOnceWithShortPeriod) {
    EngineConfig config;
    config.time_critical_period = 30ms;
    auto warned = std::make_shared<Gate>();
    std::vector<TestDescAndFn> tests;
    tests.push_back(make_test("slow", [warned] {
        const bool ok = warned->wait();
        std::this_thread::sleep_for(100ms);  // well past a second period
        return ok ? BodyResult::ok() : BodyResult::fail("never warned");
    }));
    Recorder rec;
    rec.on_event = [&](const std::string& line) {
        if (line == "timeout slow") {
            warned->open();
        }
        return rt::IoResult<void>();
    };
    ASSERT_TRUE(
        run_tests_with(opts_with_threads(2), 2, std::move(tests), rec.callback(), config).ok());
    EXPECT_EQ(rec.log, (std::vector<std::string>{"filtered_out 0", "filtered 1", "wait slow",
                                                 "timeout slow", "result slow ok"}));
}

TEST(Engine, NoLongRunningWarningInSequentialMode) {
    EngineConfig config;
    config.time_critical_period = 1ns;
    std::vector<TestDescAndFn> tests;
    tests.push_back(make_test("slow", [] {
        std::this_thread::sleep_for(20ms);
        return BodyResult::ok();
    }));
    tests.push_back(make_test("next", pass));
    Recorder rec;
    ASSERT_TRUE(
        run_tests_with(opts_with_threads(1), 1, std::move(tests), rec.callback(), config).ok());
    EXPECT_EQ(rec.log, (std::vector<std::string>{"filtered_out 0", "filtered 2", "wait slow",
                                                 "result slow ok", "wait next", "result next ok"}));
}

TEST(GetTimedOutTests, ReportsRunningTestsDueAndKeepsLaterOnes) {
    const Instant t0 = std::chrono::steady_clock::now();
    RunningTests running;
    TimeoutQueue queue;
    for (std::size_t i = 0; i < 4; ++i) {
        queue.push_back(TimeoutEntry{TestId{i}, t0 + std::chrono::seconds(i)});
        if (i != 1) {  // test 1 has completed
            running.emplace(TestId{i}, RunningTest{});
        }
    }
    const std::vector<TestId> due = get_timed_out_tests(running, queue, t0 + 2s);
    ASSERT_EQ(due.size(), 2u);
    EXPECT_EQ(due[0].value, 0u);
    EXPECT_EQ(due[1].value, 2u);  // a deadline equal to now is due
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue.front().id.value, 3u);
    EXPECT_TRUE(get_timed_out_tests(running, queue, t0 + 2s).empty());
}

// ---- ignored tests, fail-fast, callback errors ---------------------------------

TEST(Engine, IgnoredTestsStartNoThread) {
    install_spawn_hook();
    for (const std::size_t threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        std::vector<TestDescAndFn> tests;
        tests.push_back(make_test("ignored", pass, /*ignore=*/true));
        TestOpts opts = opts_with_threads(threads);
        opts.time_options = TestTimeOptions{};
        const int before = g_spawned.load();
        Recorder rec;
        ASSERT_TRUE(run_tests(opts, threads, std::move(tests), rec.callback()).ok());
        EXPECT_EQ(g_spawned.load(), before);
        EXPECT_EQ(rec.log, (std::vector<std::string>{"filtered_out 0", "filtered 1", "wait ignored",
                                                     "result ignored ignored"}));
        EXPECT_EQ(rec.results.at("ignored").exec_time, std::nullopt);
        EXPECT_TRUE(rec.results.at("ignored").stdout_bytes.empty());
    }
    // Force-ignore (tests not being run) ignores every test alike.
    std::vector<TestDescAndFn> tests;
    tests.push_back(make_test("plain", pass));
    TestOpts opts = opts_with_threads(2);
    opts.run_tests = false;
    const int before = g_spawned.load();
    Recorder rec;
    ASSERT_TRUE(run_tests(opts, 2, std::move(tests), rec.callback()).ok());
    EXPECT_EQ(g_spawned.load(), before);
    EXPECT_EQ(rec.log.back(), "result plain ignored");
    // A test that runs starts exactly one thread.
    tests.clear();
    tests.push_back(make_test("plain", pass));
    ASSERT_TRUE(run_tests(opts_with_threads(1), 1, std::move(tests), rec.callback()).ok());
    EXPECT_EQ(g_spawned.load(), before + 1);
}

TEST(Engine, FailFastSequentialStopsAtFirstFailureNotAtIgnored) {
    std::vector<TestDescAndFn> tests;
    tests.push_back(make_test("ign", pass, /*ignore=*/true));
    tests.push_back(make_test("ok", pass));
    tests.push_back(make_test("bad", [] { return BodyResult::fail("no"); }));
    tests.push_back(make_test("after", pass));
    TestOpts opts = opts_with_threads(1);
    opts.fail_fast = true;
    Recorder rec;
    ASSERT_TRUE(run_tests(opts, 1, std::move(tests), rec.callback()).ok());
    EXPECT_EQ(rec.log, (std::vector<std::string>{"filtered_out 0", "filtered 4", "wait ign",
                                                 "result ign ignored", "wait ok", "result ok ok",
                                                 "wait bad", "result bad failed"}));
}

TEST(Engine, FailFastParallelStopsOnFirstArrivalAndLeavesOthersRunning) {
    const std::size_t baseline = thread_count();
    auto release = std::make_shared<Gate>();
    std::vector<TestDescAndFn> tests;
    tests.push_back(make_test("ign", pass, /*ignore=*/true));
    tests.push_back(make_test("late", [release] {
        release->wait();
        rt::print("late output\n");
        return BodyResult::fail("late failure");
    }));
    tests.push_back(make_test("early", [] { return BodyResult::fail("early failure"); }));
    tests.push_back(make_test("blocked", [release] {
        release->wait();
        return BodyResult::ok();
    }));
    TestOpts opts = opts_with_threads(3);
    opts.fail_fast = true;
    Recorder rec;
    ASSERT_TRUE(run_tests(opts, 3, std::move(tests), rec.callback()).ok());
    // "late" started first but "early" failed first; "late" and "blocked" (started
    // in the slot the ignored test freed) are never reported.
    EXPECT_EQ(rec.log, (std::vector<std::string>{"filtered_out 0", "filtered 4", "wait ign",
                                                 "wait late", "wait early", "result ign ignored",
                                                 "wait blocked", "result early failed"}));
    // The abandoned test finishes and sends into the closed channel harmlessly.
    release->open();
    EXPECT_TRUE(wait_for_threads(baseline));
}

TEST(Engine, CallbackErrorEndsRunWhileTestsStillRun) {
    const std::size_t baseline = thread_count();
    auto release = std::make_shared<Gate>();
    std::vector<TestDescAndFn> tests;
    tests.push_back(make_test("slow", [release] {
        release->wait();
        return BodyResult::ok();
    }));
    tests.push_back(make_test("quick", pass));
    tests.push_back(make_test("queued", pass));
    Recorder rec;
    rec.on_event = [](const std::string& line) -> rt::IoResult<void> {
        if (line == "result quick ok") {
            return rt::IoError::custom(rt::ErrorKind::StorageFull, "disk full");
        }
        return {};
    };
    const rt::IoResult<RunEnd> result =
        run_tests(opts_with_threads(2), 2, std::move(tests), rec.callback());
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message(), "disk full");
    EXPECT_EQ(rec.log, (std::vector<std::string>{"filtered_out 0", "filtered 3", "wait slow",
                                                 "wait quick", "result quick ok"}));
    release->open();
    EXPECT_TRUE(wait_for_threads(baseline));

    // An error on the very first event: nothing starts.
    install_spawn_hook();
    const int before = g_spawned.load();
    tests.clear();
    tests.push_back(make_test("t", pass));
    Recorder first;
    first.on_event = [](const std::string&) -> rt::IoResult<void> {
        return rt::IoError::custom(rt::ErrorKind::BrokenPipe, "closed");
    };
    EXPECT_FALSE(run_tests(opts_with_threads(1), 1, std::move(tests), first.callback()).ok());
    EXPECT_EQ(first.log, (std::vector<std::string>{"filtered_out 0"}));
    EXPECT_EQ(g_spawned.load(), before);
}

TEST(EngineThreadLimit, RunsTheTestOnTheCallingThread) {
    // A stack too large to map makes every thread start fail with EAGAIN, the
    // error of the thread limit. The stack size is read once per process, so
    // this runs in a fresh copy of the test program.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("ZUNO_MIN_STACK", "17592186044416", 1);  // 16 TiB
            const long caller = rt::current_thread_id();
            auto ran_on = std::make_shared<std::atomic<long>>(0);
            std::vector<TestDescAndFn> tests;
            tests.push_back(make_test("limited", [ran_on] {
                ran_on->store(rt::current_thread_id());
                rt::print("captured here\n");
                return BodyResult::ok();
            }));
            Recorder rec;
            const bool ran =
                run_tests(opts_with_threads(2), 2, std::move(tests), rec.callback()).ok();
            const bool ok = ran && ran_on->load() == caller &&
                            rec.log.back() == "result limited ok" &&
                            text(rec.results.at("limited").stdout_bytes) == "captured here\n" &&
                            rt::current_output_capture() == nullptr;
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// ---- capture, timing, expectations ---------------------------------------------

TEST(Engine, ChildThreadOutputLandsInItsTestsCapture) {
    install_spawn_hook();
    auto both_started = std::make_shared<std::atomic<int>>(0);
    const auto body = [both_started](std::string name) {
        return [both_started, name] {
            rt::print(name + " body\n");
            // Both tests print at the same time, so their outputs would mix if
            // capture were not per thread.
            both_started->fetch_add(1);
            const auto deadline = std::chrono::steady_clock::now() + 2s;
            while (both_started->load() < 2 && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
            auto spawned = rt::spawn_thread(name + "-child", rt::min_stack_size(),
                                            [name] { rt::eprint(name + " child\n"); });
            if (auto* handle = std::get_if<rt::JoinHandle>(&spawned)) {
                static_cast<void>(handle->join());
            }
            return BodyResult::ok();
        };
    };
    std::vector<TestDescAndFn> tests;
    tests.push_back(make_test("p", body("p")));
    tests.push_back(make_test("q", body("q")));
    Recorder rec;
    ASSERT_TRUE(run_tests(opts_with_threads(2), 2, std::move(tests), rec.callback()).ok());
    EXPECT_EQ(text(rec.results.at("p").stdout_bytes), "p body\np child\n");
    EXPECT_EQ(text(rec.results.at("q").stdout_bytes), "q body\nq child\n");
}

TEST(Engine, ExecutionTimeAndTimeLimit) {
    std::vector<TestDescAndFn> tests;
    tests.push_back(make_test("slow", [] {
        std::this_thread::sleep_for(30ms);
        return BodyResult::ok();
    }));
    tests.push_back(make_test("quick", pass));
    tests.push_back(make_test("slow_fail", [] {
        std::this_thread::sleep_for(30ms);
        return BodyResult::fail("no");
    }));
    TestOpts opts = opts_with_threads(2);
    TestTimeOptions limits;
    limits.error_on_excess = true;
    limits.unit_threshold = {10ms, 20ms};
    opts.time_options = limits;
    Recorder rec;
    ASSERT_TRUE(run_tests(opts, 2, std::move(tests), rec.callback()).ok());
    const CompletedTest& slow = rec.results.at("slow");
    EXPECT_TRUE(slow.result.is<TestResult::TimedFail>());
    ASSERT_TRUE(slow.exec_time.has_value());
    EXPECT_GE(slow.exec_time->value, 30ms);
    EXPECT_TRUE(rec.results.at("quick").result.is<TestResult::Ok>());
    EXPECT_TRUE(rec.results.at("quick").exec_time.has_value());
    EXPECT_TRUE(rec.results.at("slow_fail").result.is<TestResult::Failed>());

    // Without time options nothing is measured.
    tests.clear();
    tests.push_back(make_test("slow", pass));
    ASSERT_TRUE(run_tests(opts_with_threads(2), 2, std::move(tests), rec.callback()).ok());
    EXPECT_EQ(rec.results.at("slow").exec_time, std::nullopt);
}

TEST(Engine, ReturnedErrorIsJudgedLikeAPanic) {
    const auto fails_with = [](const char* message) {
        return [message] { return BodyResult::fail(message); };
    };
    std::vector<TestDescAndFn> tests;
    tests.push_back(make_test("err_expected", fails_with("bad thing"), false,
                              ShouldPanic::expected_with_message("bad")));
    tests.push_back(make_test("err_mismatch", fails_with("bad thing"), false,
                              ShouldPanic::expected_with_message("zzz")));
    tests.push_back(make_test(
        "panic_expected", []() -> BodyResult { rt::panic("bad x"); }, false,
        ShouldPanic::expected_with_message("bad")));
    tests.push_back(make_test("no_panic", pass, false, ShouldPanic::expected()));
    Recorder rec;
    ASSERT_TRUE(run_tests(opts_with_threads(2), 2, std::move(tests), rec.callback()).ok());
    EXPECT_TRUE(rec.results.at("err_expected").result.is<TestResult::Ok>());
    EXPECT_EQ(rec.results.at("err_mismatch").result,
              TestResult(TestResult::FailedMsg{"panic did not contain expected string\n"
                                               "      panic message: \"bad thing\"\n"
                                               " expected substring: \"zzz\""}));
    EXPECT_TRUE(rec.results.at("panic_expected").result.is<TestResult::Ok>());
    EXPECT_EQ(rec.results.at("no_panic").result,
              TestResult(TestResult::FailedMsg{"test did not panic as expected"}));
}

// ---- benchmarks ----------------------------------------------------------------

BodyResult bench_measured(Bencher& b) {
    rt::print("bench a\n");
    Summary s;
    s.median = 250.0;
    b.summary = s;
    b.bytes = 1000;
    return BodyResult::ok();
}
BodyResult bench_unmeasured(Bencher&) {
    return BodyResult::ok();
}
BodyResult bench_panics(Bencher&) {
    rt::panic("bench broke");
}
BodyResult bench_errs(Bencher&) {
    return BodyResult::fail("bench error");
}

TestDescAndFn make_bench(std::string name, StaticBenchFn f) {
    TestDesc desc;
    desc.name = TestName::owned_name(std::move(name));
    return TestDescAndFn{std::move(desc), TestFn(StaticBenchBody{f})};
}

TEST(Engine, BenchmarksRunAfterTestsInListOrder) {
    std::vector<TestDescAndFn> tests;
    tests.push_back(make_bench("bench_a", bench_measured));
    tests.push_back(make_test("t", pass));
    tests.push_back(make_bench("bench_b", bench_unmeasured));
    tests.push_back(make_bench("bench_c", bench_panics));
    tests.push_back(make_bench("bench_d", bench_errs));
    TestOpts opts = opts_with_threads(2);
    opts.bench = true;
    opts.fail_fast = true;  // a failing benchmark does not stop the others
    opts.shuffle_seed = 7;  // benchmarks are never shuffled
    Recorder rec;
    ASSERT_TRUE(run_tests(opts, 2, std::move(tests), rec.callback()).ok());
    EXPECT_EQ(rec.log,
              (std::vector<std::string>{
                  "filtered_out 0", "filtered 5 seed 7", "wait t", "result t ok", "wait bench_a",
                  "result bench_a bench", "wait bench_b", "result bench_b bench", "wait bench_c",
                  "result bench_c failed", "wait bench_d", "result bench_d failed"}));
    const CompletedTest& a = rec.results.at("bench_a");
    EXPECT_EQ(a.id.value, 0u);
    EXPECT_EQ(rec.results.at("t").id.value, 1u);
    EXPECT_EQ(a.desc.name.padding(), NamePadding::PadRight);
    EXPECT_EQ(text(a.stdout_bytes), "bench a\n");
    EXPECT_EQ(a.result.as<TestResult::Bench>()->samples.mb_s, 4000u);
    EXPECT_EQ(a.result.as<TestResult::Bench>()->samples.ns_iter_summ.median, 250.0);
    // No recorded summary: the summary of the single sample 0 (its percentages
    // are NaN, so compare the plain statistics) and no throughput.
    const BenchSamples& b = rec.results.at("bench_b").result.as<TestResult::Bench>()->samples;
    EXPECT_EQ(b.mb_s, 0u);
    EXPECT_EQ(b.ns_iter_summ.sum, 0.0);
    EXPECT_EQ(b.ns_iter_summ.median, 0.0);
    EXPECT_EQ(b.ns_iter_summ.max, 0.0);
    EXPECT_EQ(rec.results.at("bench_c").exec_time, std::nullopt);
}

TEST(BenchResult, ThroughputFromMedian) {
    struct Row {
        double median;
        std::uint64_t bytes;
        std::size_t mb_s;
    };
    const Row rows[] = {
        {250.0, 1000, 4000},
        {250.9, 1000, 4000},                        // the median is truncated
        {0.4, 3, 3000},                             // below 1 ns counts as 1
        {-5.0, 3, 3000},                            // negative counts as 0, then 1
        {std::nan(""), 3, 3000},                    // not a number likewise
        {1e30, 1000, 0},                            // saturates
        {1.0, ~std::uint64_t{0}, ~std::size_t{0}},  // the product saturates too
        {100.0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.median);
        Bencher b;
        Summary s;
        s.median = row.median;
        b.summary = s;
        b.bytes = row.bytes;
        const TestResult r = bench_result(b);
        ASSERT_TRUE(r.is<TestResult::Bench>());
        EXPECT_EQ(r.as<TestResult::Bench>()->samples.mb_s, row.mb_s);
    }
}

// ---- join -----------------------------------------------------------------------

TEST(RunningTest, JoinAmendsOnlyAnOkResult) {
    struct Row {
        bool thread_panics;
        TestResult received;
        TestResult want;
    };
    const Row rows[] = {
        {true, TestResult::Ok{}, TestResult::FailedMsg{"panicked after reporting success"}},
        {true, TestResult::Failed{}, TestResult::Failed{}},
        {true, TestResult::Ignored{}, TestResult::Ignored{}},
        {false, TestResult::Ok{}, TestResult::Ok{}},
    };
    for (const Row& row : rows) {
        auto spawned =
            rt::spawn_thread("joined", rt::min_stack_size(), [panics = row.thread_panics] {
                if (panics) {
                    rt::panic("after reporting");
                }
            });
        ASSERT_TRUE(std::holds_alternative<rt::JoinHandle>(spawned));
        RunningTest running{std::move(std::get<rt::JoinHandle>(spawned)), false, nullptr};
        CompletedTest completed{TestId{0}, TestDesc{}, row.received, std::nullopt, {}};
        running.join(completed);
        EXPECT_EQ(completed.result, row.want);
    }
    // No thread: nothing to wait for, nothing changes.
    RunningTest none;
    CompletedTest completed{TestId{0}, TestDesc{}, TestResult::Ok{}, std::nullopt, {}};
    none.join(completed);
    EXPECT_TRUE(completed.result.is<TestResult::Ok>());
}

// ---- concurrency ------------------------------------------------------------------

TEST(Concurrency, TestThreadsVariable) {
    {
        support::EnvGuard env("ZUNO_TEST_THREADS", "4");
        EXPECT_EQ(helpers::get_concurrency(), 4u);
    }
    {
        support::EnvGuard env("ZUNO_TEST_THREADS", "+7");
        EXPECT_EQ(helpers::get_concurrency(), 7u);
    }
    {
        support::EnvGuard env("ZUNO_TEST_THREADS", nullptr);
        EXPECT_EQ(helpers::get_concurrency(), rt::available_parallelism().value_or(1));
    }
    for (const char* bad :
         {"0", "-3", "abc", "", " 4", "4 ", "1.5", "++2", "+", "99999999999999999999999"}) {
        SCOPED_TRACE(bad);
        support::EnvGuard env("ZUNO_TEST_THREADS", bad);
        const std::optional<rt::Payload> failure =
            rt::catch_unwind([] { static_cast<void>(helpers::get_concurrency()); });
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->text(),
                  "ZUNO_TEST_THREADS is `" + std::string(bad) + "`, should be a positive integer.");
    }
}

TEST(Concurrency, TestThreadsOptionWinsOverVariable) {
    support::EnvGuard env("ZUNO_TEST_THREADS", "not a number");
    EXPECT_EQ(helpers::decide_concurrency(3), 3u);
    support::EnvGuard::set("ZUNO_TEST_THREADS", "5");
    EXPECT_EQ(helpers::decide_concurrency(std::nullopt), 5u);
}

TEST(Engine, TimeLimitAbandonsAnInProcessTestAndDropsItsLateRecord) {
    // The clock jumps past the limit once "next" has started; "hang" is then
    // reported failed while its thread still runs. Released afterwards, it
    // sends a record of its own, which must not be reported.
    auto offset = std::make_shared<std::atomic<std::int64_t>>(0);
    EngineConfig config;
    config.now = [offset] {
        return std::chrono::steady_clock::now() + std::chrono::nanoseconds(offset->load());
    };
    auto printed = std::make_shared<Gate>();
    auto released = std::make_shared<Gate>();
    std::vector<TestDescAndFn> tests;
    tests.push_back(make_test("hang", [printed, released] {
        rt::print("before\n");
        printed->open();
        released->wait();
        rt::print("after\n");
        return BodyResult::ok();
    }));
    tests.push_back(make_test("next", [released] {
        released->wait();
        std::this_thread::sleep_for(20ms);  // time for hang's late record to arrive
        return BodyResult::ok();
    }));
    Recorder rec;
    rec.on_event = [&](const std::string& line) {
        if (line == "wait next") {
            printed->wait();
            offset->store(std::chrono::nanoseconds(2s).count());
        } else if (line == "result hang failed_msg") {
            released->open();
        }
        return rt::IoResult<void>();
    };
    const std::size_t threads_before = thread_count();
    TestOpts opts = opts_with_threads(2);
    opts.test_timeout = 1;
    ASSERT_TRUE(run_tests_with(opts, 2, std::move(tests), rec.callback(), config).ok());
    EXPECT_EQ(rec.log,
              (std::vector<std::string>{"filtered_out 0", "filtered 2", "wait hang", "wait next",
                                        "result hang failed_msg", "result next ok"}));
    const CompletedTest& hang = rec.results.at("hang");
    EXPECT_EQ(hang.result,
              TestResult(TestResult::FailedMsg{"test exceeded the time limit of 1 s"}));
    EXPECT_EQ(text(hang.stdout_bytes), "before\n");
    EXPECT_TRUE(wait_for_threads(threads_before));
}

// ---- reused worker threads (--reuse-threads) --------------------------------------

thread_local int LEFT_BY_A_TEST = 0;

// Waits until `n` tests have arrived (at most 10 s): true when all did.
bool meet(std::atomic<int>& arrived, int n) {
    arrived.fetch_add(1);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (arrived.load() < n) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(EngineReusedThreads, WhatDiffersFromAThreadPerTest) {
    install_spawn_hook();
    // Each row runs its tests on `threads` reused workers; every test must end
    // with its word and, where given, its exact output.
    struct Expect {
        std::string word;
        std::optional<std::string> output;
    };
    struct Row {
        std::string what;
        std::size_t threads;
        std::optional<std::uint64_t> limit;
        std::vector<std::pair<std::string, std::function<BodyResult()>>> tests;
        std::map<std::string, Expect> expect;
    };
    const auto fails_unless = [](bool ok, const char* what) {
        return ok ? BodyResult::ok() : BodyResult::fail(what);
    };
    auto arrived = std::make_shared<std::atomic<int>>(0);
    auto released = std::make_shared<Gate>();
    const std::string long_name = "names::longer_than_the_kernel_keeps";
    std::vector<Row> rows;
    rows.push_back(
        {"a thread-local value is seen by the next test on the worker, which "
         "carries each test's name while it runs",
         1,
         {},
         {{"tls::a_sets",
           [&] {
               LEFT_BY_A_TEST = 42;
               return fails_unless(rt::current_thread_name() == "tls::a_sets", "name");
           }},
          {"tls::b_sees", [&] { return fails_unless(LEFT_BY_A_TEST == 42, "unseen"); }},
          {long_name,
           [&] {
               char kernel[16] = {};
               pthread_getname_np(pthread_self(), kernel, sizeof kernel);
               return fails_unless(rt::current_thread_name() == long_name &&
                                       zuno::current_test_name() == long_name &&
                                       kernel == long_name.substr(0, 15),
                                   "name");
           }}},
         {{"tls::a_sets", {"ok", {}}}, {"tls::b_sees", {"ok", {}}}, {long_name, {"ok", {}}}}});
    rows.push_back(
        {"output of a thread a test starts, and of std::cout, lands in that "
         "test's capture, and no further",
         1,
         {},
         {{"out::a_starts_a_thread",
           [] {
               std::cout << "from std::cout\n";
               auto spawned = rt::spawn_thread("helper", rt::min_stack_size(),
                                               [] { rt::print("from its thread\n"); });
               static_cast<void>(std::get<rt::JoinHandle>(spawned).join());
               return BodyResult::ok();
           }},
          {"out::b_prints",
           [] {
               rt::print("b alone\n");
               return BodyResult::ok();
           }}},
         {{"out::a_starts_a_thread", {"ok", "from std::cout\nfrom its thread\n"}},
          {"out::b_prints", {"ok", "b alone\n"}}}});
    rows.push_back({"a test that ends its thread fails; a new worker runs the next",
                    1,
                    {},
                    {{"exit::a_ends_its_thread",
                      [] {
                          rt::print("ending\n");
                          pthread_exit(nullptr);
                          return BodyResult::ok();
                      }},
                     {"exit::b_passes", pass}},
                    {{"exit::a_ends_its_thread", {"failed_msg", "ending\n"}},
                     {"exit::b_passes", {"ok", ""}}}});
    // c and d pass only by running at the same time: c starts once b is over,
    // d once a is given up at its limit, on a new worker beside c's.
    const auto meets = [arrived] {
        return meet(*arrived, 2) ? BodyResult::ok() : BodyResult::fail("alone");
    };
    rows.push_back(
        {"a test given up at its time limit keeps its worker; a new one takes its "
         "place, so two still run at once",
         2,
         2,
         {{"limit::a_hangs",
           [released] {
               released->wait(30s);
               return BodyResult::ok();
           }},
          {"limit::b_sleeps",
           [] {
               std::this_thread::sleep_for(1s);
               return BodyResult::ok();
           }},
          {"limit::c_meets", meets},
          {"limit::d_meets", meets}},
         {{"limit::a_hangs", {"failed_msg", ""}},
          {"limit::b_sleeps", {"ok", ""}},
          {"limit::c_meets", {"ok", ""}},
          {"limit::d_meets", {"ok", ""}}}});

    const std::size_t threads_before = thread_count();
    for (Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<TestDescAndFn> tests;
        for (auto& [name, body] : row.tests) {
            tests.push_back(make_test(name, body));
        }
        TestOpts opts = opts_with_threads(row.threads);
        opts.reuse_threads = true;
        opts.test_timeout = row.limit;
        Recorder rec;
        ASSERT_TRUE(run_tests(opts, row.threads, std::move(tests), rec.callback()).ok());
        for (const auto& [name, want] : row.expect) {
            SCOPED_TRACE(name);
            ASSERT_TRUE(rec.results.contains(name));
            const CompletedTest& got = rec.results.at(name);
            EXPECT_EQ(word(got.result), want.word);
            if (want.output) {
                EXPECT_EQ(text(got.stdout_bytes), *want.output);
            }
        }
    }
    EXPECT_EQ(LEFT_BY_A_TEST, 0);  // the test's thread-local was never this thread's
    // The workers end with their runs, the one given up once its test returns.
    released->open();
    EXPECT_TRUE(wait_for_threads(threads_before));
}

// ---- spawned-process strategy ----------------------------------------------------

CompletedTest run_child(const std::string& name, bool bench = false,
                        const std::optional<TestTimeOptions>& time_opts = std::nullopt,
                        const std::string& exe = ENGINE_CHILD_HELPER,
                        std::optional<std::uint64_t> limit_secs = std::nullopt) {
    TestDesc desc;
    desc.name = TestName::owned_name(name);
    desc.test_type = TestType::Unit;
    return run_test_in_spawned_subprocess(TestId{5}, desc, false, time_opts, bench, exe,
                                          limit_secs);
}

TEST(SpawnedProcess, ExitStatusAndOutput) {
    struct Row {
        const char* name;
        TestResult want;
        const char* output;
    };
    const Row rows[] = {
        {"ok_out", TestResult::Ok{}, "out\n---- ok_out stderr ----\nerr\n"},
        {"ok_line", TestResult::Ok{}, "line\n---- ok_line stderr ----\n"},
        {"exit3", TestResult::FailedMsg{"got unexpected return code 3"},
         "---- exit3 stderr ----\n"},
        {"abort", TestResult::Failed{}, "---- abort stderr ----\n"},
        {"sig9", TestResult::FailedMsg{"child process exited with signal 9"},
         "---- sig9 stderr ----\n"},
        {"bench_env", TestResult::FailedMsg{"got unexpected return code 5"},
         "---- bench_env stderr ----\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const CompletedTest completed = run_child(row.name);
        EXPECT_EQ(completed.id.value, 5u);
        EXPECT_EQ(completed.desc.name.as_slice(), row.name);
        EXPECT_EQ(completed.result, row.want);
        EXPECT_EQ(text(completed.stdout_bytes), row.output);
        EXPECT_EQ(completed.exec_time, std::nullopt);
    }
    // With benchmarks being run the child is told so.
    EXPECT_TRUE(run_child("bench_env", /*bench=*/true).result.is<TestResult::Ok>());
}

TEST(SpawnedProcess, TimeLimitAndSpawnFailure) {
    TestTimeOptions limits;
    limits.error_on_excess = true;
    limits.unit_threshold = {0ms, 0ms};
    const CompletedTest timed = run_child("ok_out", false, limits);
    EXPECT_TRUE(timed.result.is<TestResult::TimedFail>());
    EXPECT_TRUE(timed.exec_time.has_value());
    // A failing child stays failed.
    EXPECT_EQ(run_child("exit3", false, limits).result,
              TestResult(TestResult::FailedMsg{"got unexpected return code 3"}));

    const CompletedTest missing = run_child("ok_out", false, limits, "/nonexistent/helper");
    EXPECT_TRUE(missing.result.is<TestResult::Failed>());
    EXPECT_EQ(missing.exec_time, std::nullopt);
    const std::string out = text(missing.stdout_bytes);
    const std::string prefix = "Failed to spawn /nonexistent/helper as child for test: ";
    EXPECT_EQ(out.substr(0, prefix.size()), prefix);
    EXPECT_NE(out.find("NotFound"), std::string::npos) << out;

    // Past the per-test limit the child is stopped; what it printed is kept.
    const CompletedTest hung = run_child("hang", false, std::nullopt, ENGINE_CHILD_HELPER, 1);
    EXPECT_EQ(hung.result,
              TestResult(TestResult::FailedMsg{"test exceeded the time limit of 1 s"}));
    EXPECT_EQ(text(hung.stdout_bytes), "waiting\n---- hang stderr ----\n");
    EXPECT_TRUE(run_child("ok_line", false, std::nullopt, ENGINE_CHILD_HELPER, 1)
                    .result.is<TestResult::Ok>());
}

TEST(SpawnedProcess, BoxedBodyIsRefused) {
    auto [tx, rx] = rt::channel<CompletedTest>();
    const std::optional<rt::Payload> failure = rt::catch_unwind([&] {
        static_cast<void>(run_test(TestOpts{}, false, TestId{0}, make_test("boxed", pass),
                                   RunStrategy::SpawnChild, tx));
    });
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->text(), "Cannot run dynamic test fn out-of-process");
}

}  // namespace
}  // namespace test
