// Cost of the execution engine per test: N trivial tests through run_tests with
// a callback that only counts events, against the floor of starting and
// joining one bare pthread per test. Prints nanoseconds per test and the ratio.

#include <pthread.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "library/test/src/engine.hpp"

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

// Nanoseconds per test for `names.size()` trivial tests on `threads` threads.
double engine_ns(const std::vector<std::string>& names, std::size_t threads) {
    std::vector<test::TestDescAndFn> tests;
    tests.reserve(names.size());
    for (const std::string& name : names) {
        test::TestDesc desc;
        desc.name = test::TestName::static_name(name);
        desc.test_type = test::TestType::Unit;
        tests.push_back(test::TestDescAndFn{desc, test::TestFn(test::StaticTestBody{trivial})});
    }
    test::TestOpts opts;
    opts.test_threads = threads;
    std::size_t results = 0;
    const auto start = Clock::now();
    const rt::IoResult<void> ran = test::run_tests(
        opts, threads, std::move(tests), [&](test::TestEvent event) -> rt::IoResult<void> {
            results += event.is<test::TestEvent::Result>() ? 1 : 0;
            return {};
        });
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    if (!ran.ok() || results != names.size()) {
        std::fprintf(stderr, "run failed: %zu of %zu results\n", results, names.size());
    }
    return ns / static_cast<double>(names.size());
}

}  // namespace

int main() {
    std::printf("%-8s %-8s %14s %14s %8s\n", "tests", "threads", "engine ns/test", "floor ns/test",
                "ratio");
    for (const std::size_t n : {std::size_t{10'000}, std::size_t{100'000}}) {
        std::vector<std::string> names;
        names.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            names.push_back("bench::trivial_" + std::to_string(i));
        }
        for (const std::size_t threads : {std::size_t{1}, std::size_t{2}}) {
            const double bare = floor_ns(n);
            const double engine = engine_ns(names, threads);
            std::printf("%-8zu %-8zu %14.0f %14.0f %7.2fx\n", n, threads, engine, bare,
                        engine / bare);
        }
    }
    return 0;
}
