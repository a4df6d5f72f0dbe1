#pragma once
// Shard plans: which shard of a split run each test goes to, so that every
// shard takes about as long as the others. A test's cost is the median of its
// recorded durations over the program's last runs that report it; tests are
// placed longest first on the shard with the least total so far (the lowest
// index on a tie). The plan is a small JSON document the test program reads
// with --shard-plan; tests it does not name are dealt out round-robin there.

#include <cstddef>
#include <string>
#include <vector>

#include "command.hpp"

namespace zuno::results {

/// The only value of a plan's "format" field, and its version.
inline constexpr std::string_view PLAN_FORMAT = "zuno-shard-plan";
inline constexpr int PLAN_VERSION = 1;

/// One test and what it is expected to take.
struct TestCost {
    std::string name;
    double seconds = 0;
};

/// A plan: the shard of every costed test, and the predicted shard totals.
struct ShardPlan {
    /// Parallel to the costs handed to plan_shards.
    std::vector<std::size_t> shard_of;
    std::vector<double> totals;
};

/// Places `costs` on `shards` shards (at least 1): longest first (equal costs
/// by name), each on the shard with the least total so far, ties to the
/// lowest index.
[[nodiscard]] ShardPlan plan_shards(const std::vector<TestCost>& costs, std::size_t shards);

/// The round-robin deal the test program uses without a plan: test i (in the
/// given order) on shard i mod `shards`. Returns the shard totals.
[[nodiscard]] std::vector<double> round_robin_totals(const std::vector<TestCost>& costs,
                                                     std::size_t shards);

/// The plan document: format, version, shards and "tests" {name: shard},
/// names in byte order; ends with a line feed.
[[nodiscard]] std::string plan_document(const std::vector<TestCost>& costs, const ShardPlan& plan);

/// `zuno-results plan --shards N [--last K] [--program NAME] [--label K=V] [-o FILE]`.
int cmd_plan(Options& o);

}  // namespace zuno::results
