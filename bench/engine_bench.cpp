// Cost of the execution engine per test: N trivial tests through run_tests with
// a callback that only counts events, against the floor of starting and
// joining one bare pthread per test. Prints nanoseconds per test and the ratio.
// Then the cost of isolation: the same trivial tests, each in a child process
// (this program again, started with __ZUNO_TEST_INVOKE), against in-process.

#include <pthread.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "process.hpp"
#include "start.hpp"
#include "text.hpp"
#include "engine.hpp"
#include "entry.hpp"

namespace {

using Clock = std::chrono::steady_clock;

test::BodyResult trivial() {
    return test::BodyResult::ok();
}

void* bare_thread(void*) {
    return nullptr;
}

// Nanoseconds per thread for `n` pthread_create + pthread_join pairs.
double floor_ns(std::size_t n) {
    const auto start = Clock::now();
    for (std::size_t i = 0; i < n; ++i) {
        pthread_t thread;
        if (pthread_create(&thread, nullptr, bare_thread, nullptr) != 0) {
            std::perror("pthread_create");
            return 0;
        }
        pthread_join(thread, nullptr);
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
           static_cast<double>(n);
}

// Milliseconds per child for `n` starts of a program that does nothing, its
// output collected as an isolated test's is: the floor of isolation.
double spawn_floor_ms(std::size_t n) {
    const auto start = Clock::now();
    for (std::size_t i = 0; i < n; ++i) {
        if (!rt::Command("/bin/true").output().ok()) {
            std::perror("/bin/true");
            return 0;
        }
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count() /
           static_cast<double>(n);
}

// Isolated runs use fewer tests: every one of them starts a process.
constexpr std::size_t kIsolatedTests = 1000;

std::vector<std::string> test_names(std::size_t n, const char* prefix) {
    std::vector<std::string> names;
    names.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        names.push_back(prefix + std::to_string(i));
    }
    return names;
}

std::vector<test::TestDescAndFn> trivial_tests(const std::vector<std::string>& names) {
    std::vector<test::TestDescAndFn> tests;
    tests.reserve(names.size());
    for (const std::string& name : names) {
        test::TestDesc desc;
        desc.name = test::TestName::static_name(name);
        desc.test_type = test::TestType::Unit;
        tests.push_back(test::TestDescAndFn{desc, test::TestFn(test::StaticTestBody{trivial})});
    }
    return tests;
}

// Nanoseconds per test for `names.size()` trivial tests on `threads` threads,
// each in a child process of its own when `isolate` is set.
double engine_ns(const std::vector<std::string>& names, std::size_t threads, bool isolate = false) {
    std::vector<test::TestDescAndFn> tests = trivial_tests(names);
    test::TestOpts opts;
    opts.test_threads = threads;
    opts.isolate = isolate;
    std::size_t results = 0;
    std::size_t failed = 0;
    const auto start = Clock::now();
    const rt::IoResult<test::RunEnd> ran = test::run_tests(
        opts, threads, std::move(tests), [&](test::TestEvent event) -> rt::IoResult<void> {
            if (const auto* result = event.as<test::TestEvent::Result>()) {
                ++results;
                failed += result->completed.result.is_failure() ? 1 : 0;
            }
            return {};
        });
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    if (!ran.ok() || results != names.size() || failed != 0) {
        std::fprintf(stderr, "run failed: %zu of %zu results, %zu failed\n", results, names.size(),
                     failed);
    }
    return ns / static_cast<double>(names.size());
}

}  // namespace

void bench_main() {
    const std::vector<std::string> isolated = test_names(kIsolatedTests, "bench::isolated_");
    if (rt::env_var("__ZUNO_TEST_INVOKE")) {
        // A child of the isolated runs below: runs its one test and exits.
        test::test_main(rt::args(), trivial_tests(isolated), std::nullopt);
        return;
    }
    std::printf("%-8s %-8s %14s %14s %8s\n", "tests", "threads", "engine ns/test", "floor ns/test",
                "ratio");
    for (const std::size_t n : {std::size_t{10'000}, std::size_t{100'000}}) {
        const std::vector<std::string> names = test_names(n, "bench::trivial_");
        for (const std::size_t threads : {std::size_t{1}, std::size_t{2}}) {
            const double bare = floor_ns(n);
            const double engine = engine_ns(names, threads);
            std::printf("%-8zu %-8zu %14.0f %14.0f %7.2fx\n", n, threads, engine, bare,
                        engine / bare);
        }
    }

    std::printf("\n%-8s %-8s %16s %18s %8s %16s\n", "tests", "threads", "isolated ms/test",
                "in-process ms/test", "ratio", "floor ms/child");
    for (const std::size_t threads : {std::size_t{1}, std::size_t{2}}) {
        const double in_process = engine_ns(isolated, threads) / 1e6;
        const double spawned = engine_ns(isolated, threads, true) / 1e6;
        const double floor = spawn_floor_ms(isolated.size());
        std::printf("%-8zu %-8zu %16.3f %18.4f %7.0fx %16.3f\n", isolated.size(), threads, spawned,
                    in_process, spawned / in_process, floor);
    }
}

int main(int argc, char** argv) {
    return rt::lang_start(argc, argv, bench_main);
}
