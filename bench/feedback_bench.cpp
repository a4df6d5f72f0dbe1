// Measures the two aims of acting on results:
//   balance  a skewed suite (a few long device-like tests, many short ones):
//            the longest shard of a planned split against the ideal (total / N),
//            the longest single test, and the round-robin deal the harness
//            uses without a plan;
//   gate     the benchmark gate's verdicts: ROUNDS comparisons of two
//            measurements of the same workload (no verdict should be
//            "slower"), and ROUNDS comparisons against the workload made 20%
//            slower (every verdict should be "slower").
// Usage: feedback_bench [balance|gate|all] [--rounds N]

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <zuno/test.hpp>

#include "gate.hpp"
#include "plan.hpp"

namespace {

using zuno::results::TestCost;

double max_of(const std::vector<double>& v) {
    return *std::max_element(v.begin(), v.end());
}

/// Durations of a suite shaped like a device suite behind a test farm: `long_count`
/// tests of 20 to 90 s, and `short_count` tests whose durations follow a
/// log-normal distribution with a median of 0.3 s (a long tail to ~10 s).
std::vector<TestCost> skewed_suite(std::uint32_t seed, std::size_t long_count,
                                   std::size_t short_count) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> long_time(20.0, 90.0);
    std::lognormal_distribution<double> short_time(std::log(0.3), 1.2);
    std::vector<TestCost> suite;
    for (std::size_t i = 0; i < long_count + short_count; ++i) {
        suite.push_back({"", i < long_count ? long_time(rng) : short_time(rng)});
    }
    // Names in a random order, as the long tests fall wherever their names sort.
    std::shuffle(suite.begin(), suite.end(), rng);
    for (std::size_t i = 0; i < suite.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "test_%04zu", i);
        suite[i].name = name;
    }
    return suite;
}

void balance() {
    std::printf(
        "balance: longest shard (seconds); within = planned <= 1.1 x ideal, or equal to the "
        "longest test\n");
    std::printf("%6s %5s %6s %6s %9s %9s %9s %11s %7s\n", "seed", "tests", "long", "shards",
                "ideal", "planned", "longest", "round-robin", "within");
    int within = 0;
    int cases = 0;
    for (std::uint32_t seed = 1; seed <= 5; ++seed) {
        for (std::size_t shards : {2, 4, 8}) {
            const std::vector<TestCost> suite = skewed_suite(seed, 6, 300);
            double total = 0;
            double longest_test = 0;
            for (const TestCost& t : suite) {
                total += t.seconds;
                longest_test = std::max(longest_test, t.seconds);
            }
            const double ideal = total / double(shards);
            const double planned = max_of(zuno::results::plan_shards(suite, shards).totals);
            const double rr = max_of(zuno::results::round_robin_totals(suite, shards));
            const bool ok = planned <= ideal * 1.10 || planned == longest_test;
            within += ok;
            ++cases;
            std::printf("%6u %5zu %6d %6zu %9.2f %9.2f %9.2f %11.2f %7s\n", seed, suite.size(), 6,
                        shards, ideal, planned, longest_test, rr, ok ? "yes" : "NO");
        }
    }
    std::printf("balance: %d of %d cases within the aim\n\n", within, cases);
}

/// A workload whose cost is proportional to `work`.
std::vector<double> measure(std::size_t work) {
    std::vector<std::uint64_t> data(work);
    for (std::size_t i = 0; i < work; ++i) {
        data[i] = i * 0x9e3779b97f4a7c15ull;
    }
    zuno::Bencher bencher(false);
    bencher.iter([&] {
        std::uint64_t h = 1469598103934665603ull;
        for (std::uint64_t v : data) {
            h = (h ^ v) * 1099511628211ull;
        }
        return h;
    });
    return bencher.samples();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

void gate(int rounds) {
    constexpr std::size_t WORK = 20'000;
    constexpr double THRESHOLD = 5.0;
    constexpr double ALPHA = 0.05;
    std::printf(
        "gate: %d rounds; each compares a fresh measurement with the same workload, and "
        "with one 20%% slower\n",
        rounds);
    std::printf("%5s %9s %9s %9s %9s %7s %9s %9s %7s\n", "round", "base ns", "same ns", "change",
                "p", "verdict", "slow ns", "change", "verdict");
    int same_slower = 0;
    int slow_slower = 0;
    for (int r = 0; r < rounds; ++r) {
        const std::vector<double> base = measure(WORK);
        const std::vector<double> same = measure(WORK);
        const std::vector<double> slow = measure(WORK * 6 / 5);
        const double mb = median(base);
        const double ms = median(same);
        const double ml = median(slow);
        const double same_change = (ms - mb) / mb * 100;
        const double slow_change = (ml - mb) / mb * 100;
        const double p_same = zuno::results::mann_whitney_p(base, same);
        const double p_slow = zuno::results::mann_whitney_p(base, slow);
        const auto v_same = zuno::results::judge(same_change, p_same, THRESHOLD, ALPHA);
        const auto v_slow = zuno::results::judge(slow_change, p_slow, THRESHOLD, ALPHA);
        same_slower += v_same == zuno::results::Verdict::Slower;
        slow_slower += v_slow == zuno::results::Verdict::Slower;
        std::printf("%5d %9.1f %9.1f %+8.1f%% %9.4f %7s %9.1f %+8.1f%% %7s\n", r + 1, mb, ms,
                    same_change, p_same, std::string(zuno::results::verdict_name(v_same)).c_str(),
                    ml, slow_change, std::string(zuno::results::verdict_name(v_slow)).c_str());
    }
    std::printf(
        "gate: same workload judged slower in %d of %d; 20%% slower judged slower in %d "
        "of %d\n",
        same_slower, rounds, slow_slower, rounds);
}

}  // namespace

int main(int argc, char** argv) {
    std::string what = "all";
    int rounds = 20;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else {
            what = argv[i];
        }
    }
    if (what == "balance" || what == "all") {
        balance();
    }
    if (what == "gate" || what == "all") {
        gate(rounds);
    }
    return 0;
}
