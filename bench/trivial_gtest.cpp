// N trivial tests on GoogleTest, registered at start-up as its test macro
// registers them (a suite, a name, a location and a factory each), then run
// with the process's command line. N comes from TRIVIAL_TESTS (default 10000);
// with TRIVIAL_WORK_US each test spins for that many microseconds.
// The counterpart of trivial_tests for gtest_compare.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

namespace {

std::chrono::microseconds WORK{0};

class Trivial : public testing::Test {
public:
    void TestBody() override {
        if (WORK.count() > 0) {
            const auto until = std::chrono::steady_clock::now() + WORK;
            while (std::chrono::steady_clock::now() < until) {
            }
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const char* count = std::getenv("TRIVIAL_TESTS");
    const unsigned long n = count != nullptr ? std::strtoul(count, nullptr, 10) : 10000;
    if (const char* work = std::getenv("TRIVIAL_WORK_US")) {
        WORK = std::chrono::microseconds(std::strtoul(work, nullptr, 10));
    }
    for (unsigned long i = 0; i < n; ++i) {
        const std::string name = "trivial_" + std::to_string(i);
        testing::RegisterTest("Bench", name.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                              []() -> testing::Test* { return new Trivial; });
    }
    return RUN_ALL_TESTS();
}
