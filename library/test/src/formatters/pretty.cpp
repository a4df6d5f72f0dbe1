#include "formatters/pretty.hpp"

#include <string>
#include <utility>
#include <variant>

#include "bench.hpp"
#include "formatters/common.hpp"
#include "term/terminal.hpp"

namespace test::formatters {

PrettyFormatter::PrettyFormatter(OutputLocation sink, bool use_color, std::size_t name_width,
                                 bool parallel, std::optional<TestTimeOptions> time_options)
    : sink_(std::move(sink)),
      use_color_(use_color),
      time_options_(time_options),
      name_width_(name_width),
      parallel_(parallel) {}

rt::IoResult<void> PrettyFormatter::write_discovery_start() {
    return {};
}

rt::IoResult<void> PrettyFormatter::write_test_discovered(const TestDesc& desc,
                                                          std::string_view kind) {
    // A listing goes out in blocks, flushed when it is finished.
    return write_text(sink_, discovered_text(desc, kind));
}

rt::IoResult<void> PrettyFormatter::write_discovery_finish(const ConsoleTestDiscoveryState& state) {
    auto plural = [](std::size_t count, std::string_view word) {
        std::string text = std::to_string(count) + " ";
        text += word;
        if (count != 1) {
            text += "s";
        }
        return text;
    };
    if (state.tests != 0 || state.benchmarks != 0) {
        RT_TRY(write_text(sink_, "\n"));
    }
    return write_plain(
        sink_, plural(state.tests, "test") + ", " + plural(state.benchmarks, "benchmark") + "\n");
}

rt::IoResult<void> PrettyFormatter::write_run_start(std::size_t test_count,
                                                    std::optional<std::uint64_t> shuffle_seed) {
    return write_plain(sink_, run_start_text(test_count, shuffle_seed));
}

rt::IoResult<void> PrettyFormatter::write_test_start(const TestDesc& desc) {
    // One test at a time: the name opens the line the result word completes.
    if (!parallel_) {
        return write_test_name(desc);
    }
    return {};
}

rt::IoResult<void> PrettyFormatter::write_timeout(const TestDesc& desc) {
    return write_plain(sink_, timeout_text(desc));
}

rt::IoResult<void> PrettyFormatter::write_result(const TestDesc& desc, const TestResult& result,
                                                 const std::optional<TestExecTime>& exec_time,
                                                 std::span<const std::uint8_t> /*stdout_bytes*/,
                                                 const ConsoleTestState& /*state*/) {
    // What completes at once goes out in one write: the whole line when
    // tests run in parallel, else the rest of the line the name opened.
    if (parallel_) {
        RT_TRY(write_text(sink_, test_name_text(desc, name_width_)));
    }
    if (result.is<TestResult::Ok>()) {
        RT_TRY(write_coloured(sink_, use_color_, "ok", term::color::GREEN));
    } else if (result.is<TestResult::Failed>() || result.is<TestResult::FailedMsg>()) {
        RT_TRY(write_coloured(sink_, use_color_, "FAILED", term::color::RED));
    } else if (result.is<TestResult::Ignored>()) {
        std::string word = "ignored";
        if (desc.ignore_message) {
            word += ", ";
            word += *desc.ignore_message;
        }
        RT_TRY(write_coloured(sink_, use_color_, word, term::color::YELLOW));
    } else if (const auto* bench = result.as<TestResult::Bench>()) {
        RT_TRY(write_coloured(sink_, use_color_, "bench", term::color::CYAN));
        RT_TRY(write_text(sink_, ": " + fmt_bench_samples(bench->samples)));
    } else if (result.is<TestResult::TimedFail>()) {
        RT_TRY(write_coloured(sink_, use_color_, "FAILED (time limit exceeded)", term::color::RED));
    }
    RT_TRY(write_time(desc, exec_time));
    return write_plain(sink_, "\n");
}

rt::IoResult<void> PrettyFormatter::write_quarantined_failure(
    const TestDesc& desc, const std::optional<TestExecTime>& exec_time) {
    if (parallel_) {
        RT_TRY(write_text(sink_, test_name_text(desc, name_width_)));
    }
    RT_TRY(write_coloured(sink_, use_color_, "FAILED (quarantined)", term::color::YELLOW));
    RT_TRY(write_time(desc, exec_time));
    return write_plain(sink_, "\n");
}

rt::IoResult<bool> PrettyFormatter::write_run_finish(ConsoleTestState& state) {
    if (state.options.display_output) {
        RT_TRY(write_result_section(sink_, "successes", {&state.not_failures}));
    }
    const bool success = state.failed == 0;
    // Quarantined failures are shown as failures are, also in a passing run.
    if (!success || state.quarantined > 0) {
        if (!state.failures.empty()) {
            RT_TRY(write_result_section(sink_, "failures", {&state.failures},
                                        &state.quarantined_names));
        }
        if (!state.time_failures.empty()) {
            RT_TRY(write_result_section(sink_, "failures (time limit exceeded)",
                                        {&state.time_failures}, &state.quarantined_names));
        }
    }
    RT_TRY(write_summary(sink_, use_color_, state, success));
    RT_TRY(sink_.flush());
    return success;
}

rt::IoResult<void> PrettyFormatter::write_merged_doctests_times(double total, double compilation) {
    return write_plain(sink_, merged_doctests_text(total, compilation));
}

rt::IoResult<void> PrettyFormatter::write_test_name(const TestDesc& desc) {
    return write_plain(sink_, test_name_text(desc, name_width_));
}

rt::IoResult<void> PrettyFormatter::write_time(const TestDesc& desc,
                                               const std::optional<TestExecTime>& exec_time) {
    if (!time_options_ || !exec_time) {
        return {};
    }
    const std::string text = " <" + exec_time->to_string() + ">";
    if (use_color_) {
        if (time_options_->is_critical(desc, exec_time->value)) {
            return write_coloured(sink_, use_color_, text, term::color::RED);
        }
        if (time_options_->is_warn(desc, exec_time->value)) {
            return write_coloured(sink_, use_color_, text, term::color::YELLOW);
        }
    }
    return write_text(sink_, text);
}

}  // namespace test::formatters
