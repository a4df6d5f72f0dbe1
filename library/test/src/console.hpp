#pragma once
// The console run driver: runs or lists tests, feeding engine events to the
// chosen formatter and the optional log file, and keeps the run tallies that
// the formatters read. Everything here runs on the harness's main thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "library/runtime/io.hpp"
#include "library/runtime/result.hpp"
#include "library/test/src/cli.hpp"
#include "library/test/src/stats.hpp"
#include "library/test/src/test_result.hpp"
#include "library/test/src/time.hpp"
#include "library/test/src/types.hpp"

namespace test {

namespace formatters {
class OutputFormatter;
}

/// A descriptor with the output it captured.
using DescOutput = std::pair<TestDesc, std::vector<std::uint8_t>>;

/// Tallies and per-outcome lists of one run.
struct ConsoleTestState {
    std::unique_ptr<rt::Write> log_out;
    std::size_t total = 0;
    std::size_t passed = 0;
    std::size_t failed = 0;
    std::size_t ignored = 0;
    std::size_t filtered_out = 0;
    std::size_t measured = 0;
    std::optional<TestSuiteExecTime> exec_time;
    MetricMap metrics;
    std::vector<DescOutput> failures;
    std::vector<DescOutput> not_failures;
    std::vector<DescOutput> ignores;
    std::vector<DescOutput> time_failures;
    RunOptions options;

    /// passed + failed + ignored + measured.
    [[nodiscard]] std::size_t current_test_count() const {
        return passed + failed + ignored + measured;
    }
    /// Appends one result line to the log file, if one is open.
    rt::IoResult<void> write_log_result(const TestDesc& desc, const TestResult& result,
                                        const std::optional<TestExecTime>& exec_time);
};

/// Counters of one listing.
struct ConsoleTestDiscoveryState {
    std::unique_ptr<rt::Write> log_out;
    std::size_t tests = 0;
    std::size_t benchmarks = 0;
    std::size_t ignored = 0;
};

/// Runs all tests; the formatter's success verdict, or the first I/O error.
rt::IoResult<bool> run_tests_console(const TestOpts& opts, std::vector<TestDescAndFn> tests);
/// Lists the tests that survive filtering.
rt::IoResult<void> list_tests_console(const TestOpts& opts, std::vector<TestDescAndFn> tests);
/// The formatter for a run.
std::unique_ptr<formatters::OutputFormatter> get_formatter(const TestOpts& opts,
                                                           std::size_t name_width);

}  // namespace test
