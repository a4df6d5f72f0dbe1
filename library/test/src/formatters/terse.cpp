#include "formatters/terse.hpp"

#include <string>
#include <utility>

#include "bench.hpp"
#include "formatters/common.hpp"
#include "term/terminal.hpp"

namespace test::formatters {

TerseFormatter::TerseFormatter(OutputLocation sink, bool use_color, std::size_t name_width,
                               bool parallel)
    : sink_(std::move(sink)), use_color_(use_color), parallel_(parallel), name_width_(name_width) {}

rt::IoResult<void> TerseFormatter::write_discovery_start() {
    return {};
}

rt::IoResult<void> TerseFormatter::write_test_discovered(const TestDesc& desc,
                                                         std::string_view kind) {
    // A listing goes out in blocks, flushed when it is finished.
    return write_text(sink_, discovered_text(desc, kind));
}

rt::IoResult<void> TerseFormatter::write_discovery_finish(const ConsoleTestDiscoveryState&) {
    return sink_.flush();
}

rt::IoResult<void> TerseFormatter::write_run_start(std::size_t test_count,
                                                   std::optional<std::uint64_t> shuffle_seed) {
    announced_total_ = test_count;
    return write_plain(sink_, run_start_text(test_count, shuffle_seed));
}

rt::IoResult<void> TerseFormatter::write_test_start(const TestDesc& desc) {
    // Only benchmarks (right-padded names) get a line of their own; when tests
    // run one at a time their name opens it now.
    if (!parallel_ && desc.name.padding() == NamePadding::PadRight) {
        return write_plain(sink_, test_name_text(desc, name_width_));
    }
    return {};
}

rt::IoResult<void> TerseFormatter::write_timeout(const TestDesc& desc) {
    return write_plain(sink_, timeout_text(desc));
}

rt::IoResult<void> TerseFormatter::write_result(const TestDesc& desc, const TestResult& result,
                                                const std::optional<TestExecTime>& /*exec_time*/,
                                                std::span<const std::uint8_t> /*stdout_bytes*/,
                                                const ConsoleTestState& /*state*/) {
    if (result.is<TestResult::Ok>()) {
        return write_short_result(".", term::color::GREEN);
    }
    if (result.is<TestResult::Ignored>()) {
        return write_short_result("i", term::color::YELLOW);
    }
    if (const auto* bench = result.as<TestResult::Bench>()) {
        if (parallel_) {
            RT_TRY(write_text(sink_, test_name_text(desc, name_width_)));
        }
        RT_TRY(write_coloured(sink_, use_color_, "bench", term::color::CYAN));
        return write_plain(sink_, ": " + fmt_bench_samples(bench->samples) + "\n");
    }
    // Failed, FailedMsg and TimedFail.
    return write_failed(desc.name.as_slice());
}

rt::IoResult<void> TerseFormatter::write_quarantined_failure(
    const TestDesc& /*desc*/, const std::optional<TestExecTime>& /*exec_time*/) {
    // A quarantined failure takes one character, as a pass does.
    return write_short_result("q", term::color::YELLOW);
}

rt::IoResult<bool> TerseFormatter::write_run_finish(ConsoleTestState& state) {
    if (state.options.display_output) {
        RT_TRY(write_result_section(sink_, "successes", {&state.not_failures}));
    }
    const bool success = state.failed == 0;
    if (!success || state.quarantined > 0) {
        // Tests that failed by time limit are listed with the other failures;
        // quarantined failures are shown also in a passing run.
        RT_TRY(write_result_section(sink_, "failures", {&state.failures, &state.time_failures},
                                    &state.quarantined_names));
    }
    RT_TRY(write_summary(sink_, use_color_, state, success));

    // A run of one ignored test says why it was ignored.
    if (announced_total_ == 1 && state.ignores.size() == 1) {
        const TestDesc& desc = state.ignores.front().first;
        if (desc.ignore_message) {
            std::string line = "test: ";
            line += desc.name.as_slice();
            line += ", ignore_message: ";
            line += *desc.ignore_message;
            line += "\n\n";
            RT_TRY(write_text(sink_, line));
        }
    }
    RT_TRY(sink_.flush());
    return success;
}

rt::IoResult<void> TerseFormatter::write_merged_doctests_times(double total, double compilation) {
    return write_plain(sink_, merged_doctests_text(total, compilation));
}

rt::IoResult<void> TerseFormatter::write_short_result(std::string_view ch, std::uint32_t colour) {
    RT_TRY(write_pretty(sink_, use_color_, ch, colour));
    ++results_written_;
    ++line_column_;
    if (line_column_ % QUIET_MODE_MAX_COLUMN == QUIET_MODE_MAX_COLUMN - 1) {
        RT_TRY(write_progress());
        return sink_.flush();
    }
    return {};
}

rt::IoResult<void> TerseFormatter::write_progress() {
    RT_TRY(write_text(sink_, " " + std::to_string(results_written_) + "/" +
                                 std::to_string(announced_total_) + "\n"));
    line_column_ = 0;
    return {};
}

rt::IoResult<void> TerseFormatter::write_failed(std::string_view name) {
    // End the current line of characters first; the counter does not yet
    // include this failure. It goes out in one write with the failure line.
    if (line_column_ != 0) {
        RT_TRY(write_progress());
    }
    ++results_written_;
    std::string prefix(name);
    prefix += " --- ";
    RT_TRY(write_text(sink_, prefix));
    RT_TRY(write_coloured(sink_, use_color_, "FAILED", term::color::RED));
    return write_plain(sink_, "\n");
}

}  // namespace test::formatters
