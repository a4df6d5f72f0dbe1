#pragma once
// The tallies of one run or one listing, kept by the console driver and read
// by the formatters. Owned by the harness's main thread; nothing else touches
// them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "stats.hpp"
#include "test_result.hpp"
#include "time.hpp"
#include "types.hpp"

namespace test {

/// A descriptor with the output it captured.
using DescOutput = std::pair<TestDesc, std::vector<std::uint8_t>>;

/// Tallies and per-outcome lists of one run.
struct ConsoleTestState {
    std::size_t total = 0;
    std::size_t passed = 0;
    std::size_t failed = 0;
    std::size_t ignored = 0;
    std::size_t filtered_out = 0;
    /// Of filtered_out, the selected tests that belong to other shards.
    std::size_t other_shards = 0;
    std::size_t measured = 0;
    /// Tests that passed only when run again (`--retries`); counted in passed too.
    std::size_t flaky = 0;
    /// Failed tests whose failure does not fail the run (`--quarantine`);
    /// not counted in failed, but listed with the failures.
    std::size_t quarantined = 0;
    std::set<std::string, std::less<>> quarantined_names;
    std::optional<TestSuiteExecTime> exec_time;
    MetricMap metrics;
    std::vector<DescOutput> failures;
    /// Passing tests, kept only when options.display_output asks for their output.
    std::vector<DescOutput> not_failures;
    std::vector<DescOutput> ignores;
    std::vector<DescOutput> time_failures;
    RunOptions options;

    /// passed + failed + quarantined + ignored + measured.
    [[nodiscard]] std::size_t current_test_count() const {
        return passed + failed + quarantined + ignored + measured;
    }
};

/// Counters of one listing.
struct ConsoleTestDiscoveryState {
    std::size_t tests = 0;
    std::size_t benchmarks = 0;
    std::size_t ignored = 0;
};

}  // namespace test
