#include "listeners/outputs.hpp"

#include <memory>
#include <optional>
#include <string>

namespace test {

namespace {

/// Opens one output: its listener, or null when `opts` does not ask for it.
using OpenOutput = rt::IoResult<std::unique_ptr<RunListener>> (*)(const TestOpts& opts);

struct Output {
    OpenOutput open;
    /// Whether it also observes listings.
    bool lists;
    /// For a report file: what it is, and the option holding its path; an
    /// error opening it names both.
    const char* report = nullptr;
    std::optional<std::string> TestOpts::*path = nullptr;
};

}  // namespace

// Defined in the output's own file.
rt::IoResult<std::unique_ptr<RunListener>> open_log_file(const TestOpts& opts);
rt::IoResult<std::unique_ptr<RunListener>> open_junit_report(const TestOpts& opts);
rt::IoResult<std::unique_ptr<RunListener>> open_warnings_file(const TestOpts& opts);
rt::IoResult<std::unique_ptr<RunListener>> open_run_record(const TestOpts& opts);

namespace {

/// Every optional output, one line each, in fan-out order.
constexpr Output OUTPUTS[] = {
    {open_log_file, true},
    {open_junit_report, false, "the JUnit report", &TestOpts::junit_report},
    {open_warnings_file, false},
    {open_run_record, false, "the run record", &TestOpts::run_record},
};

}  // namespace

rt::Result<void, OutputError> add_outputs(const TestOpts& opts, Observed observed,
                                          RunListeners& listeners) {
    for (const Output& output : OUTPUTS) {
        if (observed == Observed::Listing && !output.lists) {
            continue;
        }
        auto listener = output.open(opts);
        if (!listener.ok()) {
            OutputError failed{listener.error(), {}};
            if (output.report != nullptr) {
                failed.message = std::string("cannot write ") + output.report + " to " +
                                 (opts.*output.path).value_or("") + ": " +
                                 listener.error().display();
            }
            return rt::Err{std::move(failed)};
        }
        listeners.add(std::move(listener.value()));
    }
    return {};
}

}  // namespace test
