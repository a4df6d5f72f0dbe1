#pragma once
// The tally: the last listener of a run. It counts each result and keeps the
// descriptors and outputs the summaries show, in the run state that the
// events lend to every listener.

#include "listeners/listener.hpp"

namespace test {

/// Keeps `state` (owned by the caller) up to date.
class Tally final : public RunListener {
public:
    explicit Tally(ConsoleTestState& state) : state_(state) {}

    /// Takes the counts of the selection.
    rt::IoResult<void> on_run_start(const RunStarted& run) override;
    /// Counts the result and keeps its descriptor and output in the matching
    /// list; passing tests are kept only when their output is to be shown.
    rt::IoResult<void> on_result(const ResultReported& reported) override;

private:
    ConsoleTestState& state_;
};

}  // namespace test
