// Times test selection and ordering on a large synthetic list: filter_tests
// with 10 name filters and 10 skip filters over 100,000 tests, the same
// followed by shard_tests, and shuffle_tests over 100,000 entries. Prints the
// best and median of several rounds in milliseconds.

#include "filter.hpp"
#include "helpers/shuffle.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kTests = 100'000;
constexpr int kRounds = 7;

test::BodyResult pass() {
    return test::BodyResult::ok();
}

// Names spread over 100 modules and 1,000 cases; every tenth one is owned,
// the rest are aligned as the engine leaves them before shuffling.
std::vector<test::TestDescAndFn> make_tests() {
    std::vector<test::TestDescAndFn> tests;
    tests.reserve(kTests);
    for (std::size_t i = 0; i < kTests; ++i) {
        std::string name = "suite_" + std::to_string(i % 100) + "::module_" +
                           std::to_string(i / 100 % 1000) + "::case_" + std::to_string(i);
        test::TestDescAndFn t{test::TestDesc{}, test::TestFn(test::StaticTestBody{pass})};
        t.descriptor.name = test::TestName::owned_name(std::move(name));
        if (i % 10 != 0) {
            t.descriptor.name = t.descriptor.name.with_padding(test::NamePadding::NoPadding);
        }
        t.descriptor.ignore = i % 50 == 0;
        tests.push_back(std::move(t));
    }
    return tests;
}

struct Timing {
    double best;
    double median;
};

Timing summarize(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    return {ms.front(), ms[ms.size() / 2]};
}

double elapsed_ms(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace

int main() {
    test::TestOpts opts;
    for (int k = 0; k < 10; ++k) {
        opts.filters.push_back("module_" + std::to_string(k * 7) + "::");
        opts.skip.push_back("case_" + std::to_string(k * 13 + 1));
    }

    std::vector<double> filter_ms;
    std::size_t kept = 0;
    for (int r = 0; r < kRounds; ++r) {
        auto tests = make_tests();
        const auto start = std::chrono::steady_clock::now();
        auto out = test::filter_tests(opts, std::move(tests));
        filter_ms.push_back(elapsed_ms(start));
        kept = out.size();
    }

    // The same selection cut into shard 1 of 4, as a CI job of four would.
    std::vector<double> shard_ms;
    std::size_t shard_kept = 0;
    for (int r = 0; r < kRounds; ++r) {
        auto tests = make_tests();
        const auto start = std::chrono::steady_clock::now();
        auto out = test::shard_tests(test::Shard{4, 1}, test::filter_tests(opts, std::move(tests)));
        shard_ms.push_back(elapsed_ms(start));
        shard_kept = out.size();
    }

    std::vector<double> shuffle_ms;
    std::size_t first_id = 0;
    for (int r = 0; r < kRounds; ++r) {
        std::vector<std::pair<test::TestId, test::TestDescAndFn>> entries;
        entries.reserve(kTests);
        auto tests = make_tests();
        for (std::size_t i = 0; i < tests.size(); ++i) {
            entries.emplace_back(test::TestId{i}, std::move(tests[i]));
        }
        const auto start = std::chrono::steady_clock::now();
        test::helpers::shuffle_tests(42, entries);
        shuffle_ms.push_back(elapsed_ms(start));
        first_id = entries.front().first.value;
    }

    const Timing f = summarize(filter_ms);
    const Timing s = summarize(shuffle_ms);
    const Timing sh = summarize(shard_ms);
    std::printf(
        "filter_tests  %zu tests, 10 filters, 10 skips: best %.2f ms, median %.2f ms (%zu kept)\n",
        kTests, f.best, f.median, kept);
    std::printf(
        "filter+shard  %zu tests, shard 1 of 4:        best %.2f ms, median %.2f ms (%zu kept)\n",
        kTests, sh.best, sh.median, shard_kept);
    std::printf(
        "shuffle_tests %zu tests, seed 42:             best %.2f ms, median %.2f ms (first id "
        "%zu)\n",
        kTests, s.best, s.median, first_id);
    return 0;
}
