#pragma once
// The formatter interface through which every report of a run or a listing is
// written, and the output sink the formatters own. Formatters are used only
// from the console driver's thread and know nothing of threads.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "io.hpp"
#include "result.hpp"
#include "run_inputs.hpp"
#include "run_state.hpp"
#include "term/terminal.hpp"
#include "test_result.hpp"
#include "time.hpp"
#include "types.hpp"

namespace test::formatters {

/// Where a formatter writes: a colour-capable terminal, or plain standard
/// output (any writer, for tests a VecWriter). Standard output is buffered:
/// bytes go out when the formatter flushes (or a block fills up).
class OutputLocation {
public:
    explicit OutputLocation(std::unique_ptr<term::Terminal> terminal)
        : terminal_(std::move(terminal)) {}
    explicit OutputLocation(std::unique_ptr<rt::Write> plain) : plain_(std::move(plain)) {}
    /// Standard output (descriptor 1) behind the buffer that terminals and
    /// plain output alike write through.
    static std::unique_ptr<rt::Write> buffered_stdout() {
        return std::make_unique<rt::BufWriter>(std::make_unique<rt::FdWriter>(1));
    }
    /// Plain, buffered standard output.
    static OutputLocation stdout_plain() { return OutputLocation(buffered_stdout()); }

    /// The terminal, or null for plain output.
    [[nodiscard]] term::Terminal* terminal() { return terminal_.get(); }
    rt::IoResult<void> write_all(std::span<const std::uint8_t> bytes) {
        return writer().write_all(bytes);
    }
    rt::IoResult<void> write_str(std::string_view text) { return writer().write_str(text); }
    rt::IoResult<void> flush() { return writer().flush(); }

private:
    rt::Write& writer() { return terminal_ ? static_cast<rt::Write&>(*terminal_) : *plain_; }
    std::unique_ptr<term::Terminal> terminal_;
    std::unique_ptr<rt::Write> plain_;
};

/// What a run's result carries beyond write_result's arguments.
struct ResultNotes {
    /// The failed attempts before this result, when the test was run again.
    std::span<const FailedAttempt> attempts;
    /// The quarantine entry of a failed test whose failure does not fail the
    /// run (`--quarantine`); null otherwise.
    const QuarantineEntry* quarantine = nullptr;
};

/// The nine operations of a formatter, in the order of its virtual table,
/// and after them the one through which a run's results arrive.
class OutputFormatter {
public:
    virtual ~OutputFormatter() = default;
    /// Called once before a listing.
    virtual rt::IoResult<void> write_discovery_start() = 0;
    /// Called per listed test with the kind word "test" or "benchmark".
    virtual rt::IoResult<void> write_test_discovered(const TestDesc& desc,
                                                     std::string_view kind) = 0;
    /// Called once after a listing with its counters.
    virtual rt::IoResult<void> write_discovery_finish(const ConsoleTestDiscoveryState& state) = 0;
    /// Called once before a run with the number of tests and the shuffle seed.
    virtual rt::IoResult<void> write_run_start(std::size_t test_count,
                                               std::optional<std::uint64_t> shuffle_seed) = 0;
    /// Called when a test is taken up.
    virtual rt::IoResult<void> write_test_start(const TestDesc& desc) = 0;
    /// Called when a test has run for over LONG_RUNNING_PERIOD (parallel runs only).
    virtual rt::IoResult<void> write_timeout(const TestDesc& desc) = 0;
    /// Called per completed test, before the result is counted in `state`.
    virtual rt::IoResult<void> write_result(const TestDesc& desc, const TestResult& result,
                                            const std::optional<TestExecTime>& exec_time,
                                            std::span<const std::uint8_t> stdout_bytes,
                                            const ConsoleTestState& state) = 0;
    /// Called once after a run; returns true when the run counts as successful.
    virtual rt::IoResult<bool> write_run_finish(ConsoleTestState& state) = 0;
    /// Reports merged documentation-test times (not called by this program).
    virtual rt::IoResult<void> write_merged_doctests_times(double total, double compilation) = 0;

    /// Not one of the nine: a run reports each result through this, with its
    /// notes. The default writes a quarantined failure through
    /// write_quarantined_failure and every other result through write_result.
    virtual rt::IoResult<void> write_result_noted(const TestDesc& desc, const TestResult& result,
                                                  const std::optional<TestExecTime>& exec_time,
                                                  std::span<const std::uint8_t> stdout_bytes,
                                                  const ResultNotes& notes,
                                                  const ConsoleTestState& state) {
        if (notes.quarantine != nullptr && result.is_failure()) {
            return write_quarantined_failure(desc, exec_time);
        }
        return write_result(desc, result, exec_time, stdout_bytes, state);
    }
    /// A failure that does not fail the run (`--quarantine`), for formatters
    /// that keep the default write_result_noted.
    virtual rt::IoResult<void> write_quarantined_failure(
        const TestDesc& /*desc*/, const std::optional<TestExecTime>& /*exec_time*/) {
        return {};
    }
};

}  // namespace test::formatters
