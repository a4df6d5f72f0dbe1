#pragma once
// The console run driver: runs or lists tests, feeding engine events through
// one fan-out of run listeners (the chosen formatter, the optional outputs,
// the tally). Everything here runs on the harness's main thread.

#include <cstddef>
#include <memory>
#include <vector>

#include "result.hpp"
#include "run_state.hpp"
#include "test_opts.hpp"
#include "types.hpp"

namespace test {

class RunListeners;

namespace formatters {
class OutputFormatter;
class OutputLocation;
}  // namespace formatters

/// The outcome of a run that no error ended.
struct RunVerdict {
    /// The formatter's verdict: every test passed (and some were selected
    /// when that was required).
    bool passed = false;
    /// A test thread was given up at its time limit and may still be running.
    bool threads_abandoned = false;
};

/// Runs all tests; the verdict, or the first I/O error.
rt::IoResult<RunVerdict> run_tests_console(const TestOpts& opts, std::vector<TestDescAndFn> tests);
/// Runs all tests at most `concurrency` at a time, sending every event to
/// `listeners`, whose tally keeps `st`. The verdict, or the first error of a
/// listener, which ends the run at once.
rt::IoResult<RunVerdict> run_with_listeners(const TestOpts& opts, std::size_t concurrency,
                                            std::vector<TestDescAndFn> tests, ConsoleTestState& st,
                                            RunListeners& listeners);
/// Lists the tests that survive filtering.
rt::IoResult<void> list_tests_console(const TestOpts& opts, std::vector<TestDescAndFn> tests);
/// The formatter for a run of `concurrency` tests at a time.
std::unique_ptr<formatters::OutputFormatter> get_formatter(const TestOpts& opts,
                                                           std::size_t name_width,
                                                           std::size_t concurrency);
/// The same, writing to `output` instead of standard output.
std::unique_ptr<formatters::OutputFormatter> get_formatter(const TestOpts& opts,
                                                           std::size_t name_width,
                                                           std::size_t concurrency,
                                                           formatters::OutputLocation output);

}  // namespace test
