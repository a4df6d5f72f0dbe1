#pragma once
// The plan of a run or a listing: which of the registered tests are taken
// (filters, shard) and, for a run, in which order they start (shuffle) and
// which run as benchmarks after them. Runs and listings select through this
// one step; nothing runs here.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "test_opts.hpp"
#include "types.hpp"

namespace test {

/// What a plan is made for: a listing keeps benchmarks as they are, pads no
/// names and orders nothing.
enum class PlanFor : std::uint8_t { Run = 0, Listing = 1 };

/// The selected tests of this shard and their order.
struct Plan {
    /// The selection, in registration order: a test's position is its TestId.
    /// For a run, names carry their padding and benchmarks not run as such
    /// are run-once tests.
    std::vector<TestDescAndFn> tests;
    /// Positions in `tests` of the tests to run, in start order (shuffled
    /// when a seed is given). Empty for a listing.
    std::vector<std::size_t> queue;
    /// Positions of the benchmarks run as benchmarks (`--bench`), in order.
    std::vector<std::size_t> benchmarks;
    /// Tests removed by filtering and sharding; `other_shards` of them were
    /// selected but belong to other shards.
    std::size_t filtered_out = 0;
    std::size_t other_shards = 0;
    /// The seed the queue was shuffled with.
    std::optional<std::uint64_t> shuffle_seed;

    /// Tests the run will consider: the queue and the benchmarks.
    [[nodiscard]] std::size_t considered() const { return queue.size() + benchmarks.size(); }
};

/// Selects from `tests` as `opts` asks: filters, then (for a run) benchmarks
/// turned into run-once tests unless they run as benchmarks, then the shard;
/// for a run also the names padded, the seed decided and the queue shuffled.
[[nodiscard]] Plan make_plan(const TestOpts& opts, std::vector<TestDescAndFn> tests, PlanFor use);

}  // namespace test
