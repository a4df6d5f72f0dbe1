#pragma once
// Pieces shared by the formatters: the plain and coloured writes of the console
// formatters (pretty and terse), the texts both print identically, and the
// decimal form of times and statistics used by the JSON and JUnit reports.
// Everything here is stateless; the caller owns the sink.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"
#include "run_state.hpp"
#include "formatters/formatter.hpp"
#include "types.hpp"

namespace test::formatters {

/// Returns the shortest decimal text that reads back as `value`, never in
/// exponent form and without a decimal point when integral (1 -> "1",
/// 0.0015 -> "0.0015", 1e21 -> "1000000000000000000000"). Non-finite values
/// give "NaN", "inf" or "-inf".
std::string format_decimal(double value);

/// Returns `value` with exactly two digits after the point ("{:.2}").
std::string format_fixed2(double value);

/// Writes `text` to `out`, without flushing: a piece of a line or block whose
/// end the caller flushes. The stdout sink keeps such pieces until the flush,
/// so a line goes out in one write.
rt::IoResult<void> write_text(OutputLocation& out, std::string_view text);

/// Writes `word`, in `colour` when `use_color` is set and `out` is a terminal,
/// without flushing. Plain output never carries colour.
rt::IoResult<void> write_coloured(OutputLocation& out, bool use_color, std::string_view word,
                                  std::uint32_t colour);

/// Writes `text` to `out`, then flushes.
rt::IoResult<void> write_plain(OutputLocation& out, std::string_view text);

/// write_coloured, then flush.
rt::IoResult<void> write_pretty(OutputLocation& out, bool use_color, std::string_view word,
                                std::uint32_t colour);

/// Returns the listing line "{name}: {kind}\n" of a discovered test.
std::string discovered_text(const TestDesc& desc, std::string_view kind);

/// Returns "\nrunning {} test(s)[ (shuffle seed: {})]\n".
std::string run_start_text(std::size_t test_count, std::optional<std::uint64_t> shuffle_seed);

/// Returns "test {} ... " or "test {} - {} ... " with the name padded to
/// `name_width` (only when the name asks for right padding) and the test mode.
std::string test_name_text(const TestDesc& desc, std::size_t name_width);

/// Returns the long-running warning line for `desc`.
std::string timeout_text(const TestDesc& desc);

/// Returns "all doctests ran in {:.2}s; merged doctests compilation took {:.2}s\n".
std::string merged_doctests_text(double total, double compilation);

/// Writes one result section labelled `label` over the concatenation of
/// `lists`: the heading, the captured outputs (lossily decoded), the heading
/// again and the byte-wise sorted names, those in `quarantined` followed by
/// " (quarantined)". Does not flush.
rt::IoResult<void> write_result_section(
    OutputLocation& out, std::string_view label,
    std::initializer_list<const std::vector<DescOutput>*> lists,
    const std::set<std::string, std::less<>>* quarantined = nullptr);

/// Writes the closing "test result: ..." line and the blank line after it.
/// Does not flush.
rt::IoResult<void> write_summary(OutputLocation& out, bool use_color, const ConsoleTestState& state,
                                 bool success);

}  // namespace test::formatters
