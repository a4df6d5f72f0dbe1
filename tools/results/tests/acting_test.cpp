// Known answers of the shard planner and the benchmark gate's statistics.

#include <gtest/gtest.h>

#include <vector>

#include "gate.hpp"
#include "plan.hpp"

namespace zuno::results {
namespace {

TEST(MannWhitney, KnownAnswers) {
    // Worked by hand: U = 0, E U = 12.5, V U = 25 * 11 / 12; z = 12 / 4.787.
    const std::vector<double> low = {1, 2, 3, 4, 5};
    const std::vector<double> high = {6, 7, 8, 9, 10};
    EXPECT_NEAR(mann_whitney_p(low, high), 0.0121858, 1e-6);
    EXPECT_NEAR(mann_whitney_p(high, low), 0.0121858, 1e-6);
    // Ties: ranks 1, 2.5, 2.5, 5.5 x3 | 5.5, 8.5, 8.5, 10; R1 = 22.5, U = 1.5;
    // tie groups of 2, 4, 2: V U = 2 (11 - 72 / 90) = 20.4; z = 10 / sqrt(20.4).
    const std::vector<double> a = {1, 2, 2, 3, 3, 3};
    const std::vector<double> b = {3, 4, 4, 5};
    EXPECT_NEAR(mann_whitney_p(a, b), 0.0268262, 1e-6);
    // Nothing to tell apart: all equal, one side empty, or the same samples.
    const std::vector<double> flat = {7, 7, 7};
    EXPECT_EQ(mann_whitney_p(flat, flat), 1.0);
    EXPECT_EQ(mann_whitney_p(a, {}), 1.0);
    EXPECT_EQ(mann_whitney_p(a, a), 1.0);
}

TEST(MannWhitney, VerdictNeedsBothChangeAndSignificance) {
    struct Case {
        double change, p;
        Verdict expected;
    };
    const Case cases[] = {
        {20, 0.001, Verdict::Slower}, {-20, 0.001, Verdict::Faster}, {20, 0.2, Verdict::Same},
        {4, 0.001, Verdict::Same},    {5, 0.001, Verdict::Same},     {-5.1, 0.01, Verdict::Faster},
        {6, 0.05, Verdict::Same},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(judge(c.change, c.p, 5.0, 0.05), c.expected) << c.change << " " << c.p;
    }
}

TEST(ShardPlan, LongestFirstOntoTheLeastLoadedShard) {
    const std::vector<TestCost> costs = {{"a", 1}, {"b", 8}, {"c", 3}, {"d", 3},
                                         {"e", 5}, {"f", 2}, {"g", 0}};
    const ShardPlan plan = plan_shards(costs, 3);
    // b(8) -> 0; e(5) -> 1; c(3) -> 2; d(3, after c by name) -> 2 (totals 8 5 3);
    // f(2) -> 1 (8 5 6); a(1) -> 2 (8 7 6); g(0) -> 1, the lower of two 7s.
    EXPECT_EQ(plan.shard_of, (std::vector<std::size_t>{2, 0, 2, 2, 1, 1, 1}));
    EXPECT_EQ(plan.totals, (std::vector<double>{8, 7, 7}));
    EXPECT_EQ(round_robin_totals(costs, 3), (std::vector<double>{4, 13, 5}));
    // More shards than tests leaves shards empty; one shard takes everything.
    EXPECT_EQ(plan_shards({{"x", 2}}, 4).totals, (std::vector<double>{2, 0, 0, 0}));
    EXPECT_EQ(plan_shards(costs, 1).totals, (std::vector<double>{22}));
    EXPECT_EQ(plan_document({{"b", 2}, {"a", 1}}, plan_shards({{"b", 2}, {"a", 1}}, 2)),
              "{\n  \"format\": \"zuno-shard-plan\",\n  \"version\": 1,\n  \"shards\": 2,\n"
              "  \"tests\": {\n    \"a\": 1,\n    \"b\": 0\n  }\n}\n");
}

}  // namespace
}  // namespace zuno::results
