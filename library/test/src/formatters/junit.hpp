#pragma once
// The JUnit XML report: the declaration at run start, every result collected
// in memory, and the whole document on one line at run finish (pieces are
// written without flushing and flushed once the document is complete). Names and
// messages are written as escaped attribute values and captured output as
// CDATA, so the document is well-formed whatever a test prints. Used only from
// the console driver's thread; the collected results are owned here.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "result.hpp"
#include "run_state.hpp"
#include "formatters/formatter.hpp"
#include "test_result.hpp"
#include "time.hpp"
#include "types.hpp"

namespace test::formatters {

/// Wraps `text` in CDATA sections: "]]>" and "<?" are split across sections
/// and every line feed is written outside them as "&#xA;".
std::string str_to_cdata(std::string_view text);

/// Returns `text` with every character XML 1.0 forbids (C0 controls other than
/// tab, line feed and carriage return; U+FFFE, U+FFFF) and every invalid UTF-8
/// sequence replaced by U+FFFD.
std::string xml_sanitize(std::string_view text);

/// Returns `text` fit for a double-quoted attribute value: sanitized, with
/// & < > " line feed, carriage return and tab as character references.
std::string xml_attribute(std::string_view text);

/// (class name, test name) of a unit test: split at "::"; one segment gives "crate".
std::pair<std::string, std::string> parse_class_name_unit(std::string_view name);
/// (class name, test name) of an integration test: "integration" and the whole name.
std::pair<std::string, std::string> parse_class_name_integration(std::string_view name);
/// (class name, test name) of a documentation test "FILE - ITEM", both trimmed.
/// Without the separator the class is "unknown"; further separators stay in ITEM.
std::pair<std::string, std::string> parse_class_name_doc(std::string_view name);
/// (class name, test name) of a test named `name`, chosen by its test type.
std::pair<std::string, std::string> parse_class_name(std::string_view name, TestType type);
/// (class name, test name) chosen by the descriptor's test type.
std::pair<std::string, std::string> parse_class_name(const TestDesc& desc);

class JunitFormatter final : public OutputFormatter {
public:
    /// What the document needs of one collected result. Ignored results are
    /// not collected (the document leaves them out), and output is kept only
    /// where the document shows it.
    struct Entry {
        enum class Outcome : std::uint8_t { Ok, Failed, FailedMsg, TimedFail, Bench, Quarantined };
        /// What few entries have; held apart, so that a plain pass takes 48 bytes.
        struct Details {
            /// The failure message of FailedMsg.
            std::string message;
            /// The CDATA text of the captured output, when the document shows it.
            std::string output_cdata;
            /// Failed attempts before the final result, when the test was run again.
            std::vector<FailedAttempt> attempts = {};
        };
        /// With the test type, gives the class and test names.
        TestName name;
        TestType test_type = TestType::Unclassified;
        Outcome outcome = Outcome::Ok;
        /// Zero when not measured.
        Duration duration{};
        /// A benchmark's summed nanoseconds per iteration.
        double bench_sum = 0;
        /// Null when every detail is empty.
        std::unique_ptr<const Details> details;
    };

    /// Owns `out`; starts with no results.
    explicit JunitFormatter(OutputLocation out);

    /// Listing is not supported: fails with a not-found error, writes nothing.
    rt::IoResult<void> write_discovery_start() override;
    rt::IoResult<void> write_test_discovered(const TestDesc& desc, std::string_view kind) override;
    rt::IoResult<void> write_discovery_finish(const ConsoleTestDiscoveryState& state) override;
    /// Writes the XML declaration.
    rt::IoResult<void> write_run_start(std::size_t test_count,
                                       std::optional<std::uint64_t> shuffle_seed) override;
    rt::IoResult<void> write_test_start(const TestDesc& desc) override;
    rt::IoResult<void> write_timeout(const TestDesc& desc) override;
    /// Records what the document needs of the result; writes nothing.
    rt::IoResult<void> write_result(const TestDesc& desc, const TestResult& result,
                                    const std::optional<TestExecTime>& exec_time,
                                    std::span<const std::uint8_t> stdout_bytes,
                                    const ConsoleTestState& state) override;
    /// Writes the document body from the recorded results (which are moved out).
    rt::IoResult<bool> write_run_finish(ConsoleTestState& state) override;
    rt::IoResult<void> write_merged_doctests_times(double total, double compilation) override;
    /// As write_result, with a retried test's attempts.
    rt::IoResult<void> write_result_noted(const TestDesc& desc, const TestResult& result,
                                          const std::optional<TestExecTime>& exec_time,
                                          std::span<const std::uint8_t> stdout_bytes,
                                          const ResultNotes& notes,
                                          const ConsoleTestState& state) override;

    /// Adds `time` (the run's wall time in seconds, at most three decimals)
    /// and `timestamp` (its start, "YYYY-MM-DDTHH:MM:SS" in UTC) to the
    /// testsuite element, as report files carry them.
    void set_suite_time(Duration wall_time, std::chrono::system_clock::time_point start);

private:
    /// Writes one piece of the document, which must not contain a line feed.
    rt::IoResult<void> write_message(std::string_view text);

    OutputLocation out_;
    // A deque grows without copying what it holds.
    std::deque<Entry> results_;
    /// The testsuite's extra attributes, with their leading space; empty when not set.
    std::string suite_time_;
};

}  // namespace test::formatters
