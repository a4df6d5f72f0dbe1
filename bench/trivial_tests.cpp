// N trivial tests on this harness, registered at start-up as the test macro
// registers them (a name, a location and a plain function each), then run
// with the process's command line. N comes from TRIVIAL_TESTS (default 10000);
// with TRIVIAL_WORK_US each test spins for that many microseconds.
// gtest_compare runs this program against trivial_gtest, which holds the same
// tests for GoogleTest.

#include <chrono>
#include <cstdlib>
#include <source_location>
#include <string>

#include <zuno/test.hpp>

namespace {

std::chrono::microseconds WORK{0};

void trivial() {
    if (WORK.count() > 0) {
        const auto until = std::chrono::steady_clock::now() + WORK;
        while (std::chrono::steady_clock::now() < until) {
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* count = std::getenv("TRIVIAL_TESTS");
    const unsigned long n = count != nullptr ? std::strtoul(count, nullptr, 10) : 10000;
    if (const char* work = std::getenv("TRIVIAL_WORK_US")) {
        WORK = std::chrono::microseconds(std::strtoul(work, nullptr, 10));
    }
    for (unsigned long i = 0; i < n; ++i) {
        const zuno::detail::TestRegistrar registrar("bench::trivial_" + std::to_string(i),
                                                    &zuno::detail::call_test<&trivial>,
                                                    std::source_location::current());
    }
    return zuno::run(argc, argv);
}
