#include "listeners/tally.hpp"

#include <string>
#include <type_traits>
#include <variant>

namespace test {

rt::IoResult<void> Tally::on_run_start(const RunStarted& run) {
    state_.total = run.count;
    state_.filtered_out = run.filtered_out;
    state_.other_shards = run.other_shards;
    return {};
}

rt::IoResult<void> Tally::on_result(const ResultReported& reported) {
    ConsoleTestState& st = state_;
    const CompletedTest& completed = reported.completed;
    const std::vector<std::uint8_t>& out = completed.stdout_bytes;
    std::visit(
        [&](const auto& r) {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, TestResult::Ok>) {
                ++st.passed;
                if (!completed.failed_attempts.empty()) {
                    ++st.flaky;
                }
                if (st.options.display_output) {
                    st.not_failures.emplace_back(completed.desc, out);
                }
            } else if constexpr (std::is_same_v<R, TestResult::Ignored>) {
                ++st.ignored;
                st.ignores.emplace_back(completed.desc, out);
            } else if constexpr (std::is_same_v<R, TestResult::Bench>) {
                ++st.measured;
                const Summary& s = r.samples.ns_iter_summ;
                st.metrics.insert_metric(completed.desc.name.as_slice(), s.median, s.max - s.min);
            } else if constexpr (std::is_same_v<R, TestResult::Failed>) {
                ++st.failed;
                st.failures.emplace_back(completed.desc, out);
            } else if constexpr (std::is_same_v<R, TestResult::FailedMsg>) {
                ++st.failed;
                std::vector<std::uint8_t> noted = out;
                const std::string note = "note: " + r.message;
                noted.insert(noted.end(), note.begin(), note.end());
                st.failures.emplace_back(completed.desc, std::move(noted));
            } else {
                ++st.failed;
                st.time_failures.emplace_back(completed.desc, out);
            }
        },
        completed.result.get());
    if (reported.quarantine != nullptr && completed.result.is_failure()) {
        // Listed with the failures, counted apart from them.
        --st.failed;
        ++st.quarantined;
        st.quarantined_names.emplace(completed.desc.name.as_slice());
    }
    return {};
}

}  // namespace test
