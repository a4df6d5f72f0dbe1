// Threads: names, stack size, spawn hooks, join with panic detection.
#include "thread.hpp"

#include <gtest/gtest.h>

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "io.hpp"
#include "process.hpp"

namespace {

rt::JoinHandle spawn_ok(std::string name, std::size_t stack, std::function<void()> body) {
    auto spawned = rt::spawn_thread(std::move(name), stack, std::move(body));
    if (auto* error = std::get_if<rt::SpawnError>(&spawned)) {
        ADD_FAILURE() << "spawn failed: " << error->error.debug();
        std::abort();
    }
    return std::move(std::get<rt::JoinHandle>(spawned));
}

TEST(Thread, JoinReportsHowTheBodyEnded) {
    // Each body captures its own output so the reports stay out of the test log.
    auto quiet = [] { rt::set_output_capture(rt::make_capture_buffer()); };
    int value = 0;
    auto fine = spawn_ok("fine", 0, [&] { value = 7; });
    EXPECT_FALSE(fine.join().has_value());
    EXPECT_EQ(value, 7);

    auto panics = spawn_ok("panics", 0, [&] {
        quiet();
        rt::panic("worker failed");
    });
    auto payload = panics.join();
    ASSERT_TRUE(payload.has_value());
    EXPECT_EQ(payload->text(), "worker failed");

    auto throws = spawn_ok("throws", 0, [&] {
        quiet();
        throw std::logic_error("not a panic");
    });
    payload = throws.join();
    ASSERT_TRUE(payload.has_value());
    EXPECT_EQ(payload->text(), "not a panic");
}

TEST(Thread, NamesAreKeptWholeAndTruncatedForTheKernel) {
    struct Case {
        std::string name;
        std::string kernel;
    };
    const Case cases[] = {
        {"short", "short"},
        {"exactly15bytes_", "exactly15bytes_"},
        {"local_h2d_and_d2h_round_trip_works", "local_h2d_and_d"},
    };
    for (const auto& c : cases) {
        std::string seen;
        char kernel[64] = {};
        auto handle = spawn_ok(c.name, 0, [&] {
            seen = rt::current_thread_name();
            pthread_getname_np(pthread_self(), kernel, sizeof kernel);
        });
        (void)handle.join();
        EXPECT_EQ(seen, c.name);
        EXPECT_EQ(std::string(kernel), c.kernel.substr(0, 15));
    }
    EXPECT_EQ(rt::current_thread_name(), "main");
    EXPECT_EQ(rt::current_thread_id(), static_cast<long>(getpid()));
}

TEST(Thread, StackSizeIsApplied) {
    for (std::size_t requested : {std::size_t{0}, std::size_t{256 * 1024}, std::size_t{8 << 20}}) {
        std::size_t actual = 0;
        auto handle = spawn_ok("stack", requested, [&] {
            pthread_attr_t attr;
            pthread_getattr_np(pthread_self(), &attr);
            pthread_attr_getstacksize(&attr, &actual);
            pthread_attr_destroy(&attr);
        });
        (void)handle.join();
        const std::size_t expected = requested == 0 ? rt::min_stack_size() : requested;
        EXPECT_GE(actual, expected) << requested;
        if (requested > rt::min_stack_size()) {
            // Small stacks may be raised by sanitizer runtimes; large ones are exact.
            EXPECT_LT(actual, expected + 64 * 1024) << requested;
        }
    }
}

TEST(Thread, SpawnHooksRunOnStarterThenInNewThreadBeforeBody) {
    // Hooks are process-wide; this one acts only for threads named "hooked".
    static thread_local std::vector<std::string>* journal = nullptr;
    static std::atomic<int> hook_calls_on_main{0};
    for (const char* tag : {"first", "second"}) {
        rt::add_spawn_hook([tag]() -> std::function<void()> {
            if (journal == nullptr) {
                return {};
            }
            ++hook_calls_on_main;
            auto* target = journal;
            return [tag, target] { target->push_back(std::string("action ") + tag); };
        });
    }
    std::vector<std::string> events;
    journal = &events;
    auto handle = spawn_ok("hooked", 0, [&] { events.push_back("body"); });
    journal = nullptr;
    (void)handle.join();
    EXPECT_EQ(hook_calls_on_main.load(), 2);
    EXPECT_EQ(events, (std::vector<std::string>{"action first", "action second", "body"}));
}

TEST(Thread, DroppedHandleDetaches) {
    std::atomic<bool> done{false};
    {
        auto handle = spawn_ok("detached", 0, [&] { done = true; });
    }
    for (int i = 0; i < 500 && !done; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(done);
}

TEST(Thread, MinStackSizeFollowsEnvironment) {
    const char* child = std::getenv("RT_THREAD_STACK_CHILD");
    if (child != nullptr) {
        rt::print(std::to_string(rt::min_stack_size()));
        return;
    }
    struct Case {
        const char* value;
        const char* expected;
    };
    for (const Case c : {Case{"65536", "65536"}, Case{"4194304", "4194304"}, Case{"12k", "2097152"},
                         Case{"", "2097152"}}) {
        auto out = rt::Command("/proc/self/exe")
                       .arg("--gtest_filter=Thread.MinStackSizeFollowsEnvironment")
                       .env("RT_THREAD_STACK_CHILD", "1")
                       .env("ZUNO_MIN_STACK", c.value)
                       .output();
        ASSERT_TRUE(out.ok()) << out.error().debug();
        const std::string text(out->stdout_bytes.begin(), out->stdout_bytes.end());
        EXPECT_NE(text.find(std::string("[ RUN      ] Thread.MinStackSizeFollowsEnvironment\n") +
                            c.expected + "[       OK ]"),
                  std::string::npos)
            << c.value << ": " << text;
    }
}

TEST(AvailableParallelism, ParsesCgroupQuota) {
    struct Case {
        const char* line;
        std::optional<std::size_t> cpus;
    };
    const Case cases[] = {
        {"max 100000", std::nullopt},
        {"max 100000\n", std::nullopt},
        {"100000 100000", 1},
        {"150000 100000\n", 2},
        {"200000 100000", 2},
        {"1000 100000", 1},
        {"0 100000", 1},
        {"250000 50000", 5},
        {"12x 100", std::nullopt},
        {"100 0", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rt::detail::parse_cpu_max(c.line), c.cpus) << c.line;
    }
}

TEST(AvailableParallelism, WithinAffinity) {
    auto cpus = rt::available_parallelism();
    ASSERT_TRUE(cpus.has_value());
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    EXPECT_GE(*cpus, 1u);
    EXPECT_LE(*cpus, static_cast<std::size_t>(CPU_COUNT(&set)));
}

}  // namespace
