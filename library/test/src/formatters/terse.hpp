#pragma once
// The compact console formatter: one character per passed or ignored test, a
// progress counter every 87 characters and before each failure line, one line
// per failure, and the same closing summary as the pretty formatter. Each
// result character, counter and failure line is flushed as it is written, in
// one write each; a listing goes out in blocks and is flushed at its end. Used
// only from the console driver's thread.

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

class TerseFormatter final : public OutputFormatter {
public:
    /// Result characters per full line; the counter follows the 87th.
    static constexpr std::size_t QUIET_MODE_MAX_COLUMN = 88;

    /// Owns `sink`; the counters start at 0.
    TerseFormatter(OutputLocation sink, bool use_color, std::size_t name_width, bool parallel);

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
    /// Writes one result character; counts it only once it was written.
    rt::IoResult<void> write_short_result(std::string_view ch, std::uint32_t colour);
    /// Writes " WRITTEN/TOTAL\n" (not flushed) and starts a new line of characters.
    rt::IoResult<void> write_progress();
    /// Ends the current line of characters and writes "NAME --- FAILED".
    rt::IoResult<void> write_failed(std::string_view name);

    OutputLocation sink_;
    bool use_color_;
    bool parallel_;
    std::size_t name_width_;
    std::size_t results_written_ = 0;
    std::size_t line_column_ = 0;
    std::size_t announced_total_ = 0;
};

}  // namespace test::formatters
