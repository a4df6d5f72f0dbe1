#pragma once
// The machine-readable formatter: one JSON object per line for every run
// event, test event, benchmark result and listed test. Each line of a run is
// written and flushed in one write; a listing goes out in blocks, flushed at
// its end. EscapedString is the JSON string escaper used for every value that
// can carry arbitrary text. Stateless.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "result.hpp"
#include "run_state.hpp"
#include "formatters/formatter.hpp"
#include "test_result.hpp"
#include "time.hpp"
#include "types.hpp"

namespace test::formatters {

/// A borrowed text whose display form has JSON escapes applied: `"` and `\`
/// are backslash-escaped, \b \t \n \f \r written as such, the other bytes
/// below 0x20 and 0x7F as \u00XX; each invalid UTF-8 sequence becomes U+FFFD;
/// all other bytes are copied unchanged.
class EscapedString {
public:
    explicit EscapedString(std::string_view text) : text_(text) {}
    /// Appends the escaped text to `out`.
    void append_to(std::string& out) const;
    /// The escaped text.
    [[nodiscard]] std::string to_string() const;

private:
    std::string_view text_;
};

class JsonFormatter final : public OutputFormatter {
public:
    /// Owns `out`.
    explicit JsonFormatter(OutputLocation out);

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
    rt::IoResult<bool> write_run_finish(ConsoleTestState& state) override;
    rt::IoResult<void> write_merged_doctests_times(double total, double compilation) override;
    /// As write_result, with a retried test's attempts.
    rt::IoResult<void> write_result_noted(const TestDesc& desc, const TestResult& result,
                                          const std::optional<TestExecTime>& exec_time,
                                          std::span<const std::uint8_t> stdout_bytes,
                                          const ResultNotes& notes,
                                          const ConsoleTestState& state) override;

private:
    /// Writes `text`, which ends with a line feed, in one write, and flushes.
    rt::IoResult<void> writeln_message(std::string_view text);
    /// Writes one result line; `extra` is an already rendered member or empty.
    rt::IoResult<void> write_event(std::string_view type, std::string_view name,
                                   std::string_view event,
                                   const std::optional<TestExecTime>& exec_time,
                                   const std::optional<std::string_view>& stdout_text,
                                   std::string_view extra);

    OutputLocation out_;
};

}  // namespace test::formatters
