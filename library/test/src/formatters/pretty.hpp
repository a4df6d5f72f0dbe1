#pragma once
// The default human-readable formatter: one line per test ("test NAME ... ok"),
// coloured result words, optional execution times, and a closing summary with
// the captured output of failed tests. Each operation flushes what it wrote,
// so what completes at one moment (a result line in parallel runs, the rest of
// the line in sequential ones) goes out in one write; a listing goes out in
// blocks and is flushed at its end. Used only from the console driver's thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "result.hpp"
#include "run_state.hpp"
#include "formatters/formatter.hpp"
#include "test_result.hpp"
#include "time.hpp"
#include "types.hpp"

namespace test::formatters {

class PrettyFormatter final : public OutputFormatter {
public:
    /// Owns `sink`. Colour is used only when `use_color` is set and the sink is
    /// a terminal; `parallel` defers each test's name to its result line;
    /// `time_options` present means execution times are shown.
    PrettyFormatter(OutputLocation sink, bool use_color, std::size_t name_width, bool parallel,
                    std::optional<TestTimeOptions> time_options);

    rt::IoResult<void> write_discovery_start() override;
    rt::IoResult<void> write_test_discovered(const TestDesc& desc, std::string_view kind) override;
    rt::IoResult<void> write_discovery_finish(const ConsoleTestDiscoveryState& state) override;
    rt::IoResult<void> write_run_start(std::size_t test_count,
                                       std::optional<std::uint64_t> shuffle_seed) override;
    rt::IoResult<void> write_test_start(const TestDesc& desc) override;
    rt::IoResult<void> write_timeout(const TestDesc& desc) override;
    rt::IoResult<void> write_result(const TestDesc& desc, const TestResult& result,
                                    const std::optional<TestExecTime>& exec_time,
                                    std::span<const std::uint8_t> stdout_bytes,
                                    const ConsoleTestState& state) override;
    rt::IoResult<void> write_quarantined_failure(
        const TestDesc& desc, const std::optional<TestExecTime>& exec_time) override;
    rt::IoResult<bool> write_run_finish(ConsoleTestState& state) override;
    rt::IoResult<void> write_merged_doctests_times(double total, double compilation) override;

private:
    /// Writes "test NAME ... " (with the test mode when there is one).
    rt::IoResult<void> write_test_name(const TestDesc& desc);
    /// Writes " <T>" when times are shown, coloured by the thresholds; no flush.
    rt::IoResult<void> write_time(const TestDesc& desc,
                                  const std::optional<TestExecTime>& exec_time);

    OutputLocation sink_;
    bool use_color_;
    std::optional<TestTimeOptions> time_options_;
    std::size_t name_width_;
    bool parallel_;
};

}  // namespace test::formatters
