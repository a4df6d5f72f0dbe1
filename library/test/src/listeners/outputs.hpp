#pragma once
// The optional outputs of a run or a listing beside the formatter: the log
// file, the JUnit report file, the warnings file, the run record. Each is a RunListener in a
// file of its own under listeners/, opened from the options by a factory
// listed in outputs.cpp. A run sends each event to them in list order, then
// to the formatter and the tally; a listing to the formatter, then to them.

#include <string>

#include "listeners/listener.hpp"
#include "result.hpp"
#include "test_opts.hpp"

namespace test {

/// What the outputs are opened for: a listing is observed only by those
/// that list.
enum class Observed : std::uint8_t { Run = 0, Listing = 1 };

/// Why an output could not be opened.
struct OutputError {
    rt::IoError error;
    /// For the report files: "cannot write the run record to PATH: REASON",
    /// the message the run stops with. Empty for the other outputs.
    std::string message;
};

/// Opens every output `opts` asks for, in list order, and adds it to
/// `listeners`. The first that cannot be opened ends this with its error,
/// before anything runs.
rt::Result<void, OutputError> add_outputs(const TestOpts& opts, Observed observed,
                                          RunListeners& listeners);

}  // namespace test
