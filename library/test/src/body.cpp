#include "body.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <limits>
#include <mutex>
#include <utility>

#include "crash.hpp"
#include "current_test.hpp"
#include "stats.hpp"

namespace test {

namespace {

using Clock = std::chrono::steady_clock;

// Runs `body` as the test's work in progress with its output in `capture`;
// times it when `measure` is set.
BodyEnd run_registered(const TestDesc& desc, const rt::CaptureBuffer& capture, bool measure,
                       const std::function<BodyResult()>& body,
                       std::optional<TestExecTime>& exec_time) {
    // The work record borrows the name: it ends before the descriptor moves on.
    const rt::ActiveWork active(desc.name.as_slice(), "error: test ", " crashed with signal ",
                                capture);
    CaptureScope scope(capture);
    std::optional<Clock::time_point> start;
    if (measure) {
        start = Clock::now();
    }
    BodyEnd end = run_body(desc.name.as_slice(), body);
    if (start) {
        exec_time = TestExecTime{std::chrono::duration_cast<Duration>(Clock::now() - *start)};
    }
    scope.restore();
    return end;
}

// The error a body returned, for a report of it.
std::optional<std::string> returned_error(const BodyEnd& end) {
    if (!end.failure && end.returned && end.returned->kind() == BodyResult::Kind::Failed) {
        return end.returned->error();
    }
    return std::nullopt;
}

}  // namespace

std::string_view keep_skip_reason(std::string reason) {
    static std::mutex mutex;
    static std::deque<std::string> kept;
    std::lock_guard lock(mutex);
    return kept.emplace_back(std::move(reason));
}

BodyEnd run_body(std::string_view name, const std::function<BodyResult()>& body,
                 std::source_location loc) {
    const CurrentTest current(name);
    BodyEnd end;
    end.failure = rt::catch_unwind([&] { end.returned = body(); }, loc);
    return end;
}

TestResult body_result(TestDesc& desc, BodyEnd end, const std::optional<TestTimeOptions>& time_opts,
                       const std::optional<TestExecTime>& exec_time) {
    if (!end.failure && end.returned) {
        const BodyResult& returned = *end.returned;
        switch (returned.kind()) {
            case BodyResult::Kind::Ok:
                break;
            case BodyResult::Kind::Failed:
                // A returned error counts as a panic whose payload is its text.
                end.failure = rt::Payload::owned(returned.error());
                break;
            case BodyResult::Kind::ChecksFailed:
                if (desc.should_panic.kind == ShouldPanic::Kind::NotExpected) {
                    return TestResult::FailedMsg{returned.error()};
                }
                break;
            case BodyResult::Kind::Skipped:
                desc.ignore_message = keep_skip_reason(returned.error());
                return TestResult::Ignored{};
        }
    }
    return calc_result(desc, end.failure, time_opts, exec_time);
}

TestResult bench_body_result(const BodyEnd& end, const Bencher& bencher) {
    if (end.failure || (end.returned && !end.returned->is_ok())) {
        return TestResult::Failed{};
    }
    return bench_result(bencher);
}

TestResult bench_result(const Bencher& bencher) {
    if (!bencher.summary) {
        const double zero = 0.0;
        return TestResult::Bench{BenchSamples{Summary::from({&zero, 1}), 0}};
    }
    // ns per iteration as an unsigned integer: saturating, 0 for negative or
    // NaN, then at least 1 so that the division below is defined.
    const double median = bencher.summary->median;
    std::uint64_t ns_iter = 0;
    if (median >= 18446744073709551616.0) {
        ns_iter = std::numeric_limits<std::uint64_t>::max();
    } else if (median > 0) {
        ns_iter = static_cast<std::uint64_t>(median);
    }
    ns_iter = std::max<std::uint64_t>(ns_iter, 1);
    const unsigned __int128 mb_s = static_cast<unsigned __int128>(bencher.bytes) * 1000 / ns_iter;
    const std::size_t max = std::numeric_limits<std::size_t>::max();
    return TestResult::Bench{BenchSamples{
        *bencher.summary, mb_s > max ? max : static_cast<std::size_t>(mb_s), bencher.samples}};
}

CaptureScope::CaptureScope(const rt::CaptureBuffer& buffer) : active_(buffer != nullptr) {
    if (active_) {
        previous_ = rt::set_output_capture(buffer);
    }
}

void CaptureScope::restore() {
    if (active_) {
        active_ = false;
        rt::set_output_capture(std::move(previous_));
    }
}

BodyOutcome run_runnable(TestDesc& desc, RunnableTest& runnable, const rt::CaptureBuffer& capture,
                         bool measure, const std::optional<TestTimeOptions>& time_opts) {
    BodyOutcome outcome{TestResult::Ok{}, std::nullopt, std::nullopt};
    BodyEnd end = run_registered(
        desc, capture, measure, [&] { return runnable.run(); }, outcome.exec_time);
    outcome.returned_error = returned_error(end);
    outcome.result = body_result(desc, std::move(end), time_opts, outcome.exec_time);
    return outcome;
}

BodyOutcome run_runnable(TestDesc& desc, RunnableBench& runnable,
                         const rt::CaptureBuffer& capture) {
    BodyOutcome outcome{TestResult::Ok{}, std::nullopt, std::nullopt};
    Bencher bencher;
    const BodyEnd end = run_registered(
        desc, capture, false, [&] { return runnable.run(bencher); }, outcome.exec_time);
    outcome.returned_error = returned_error(end);
    outcome.result = bench_body_result(end, bencher);
    return outcome;
}

BodyOutcome run_runnable(TestDesc& desc, Runnable& runnable, const rt::CaptureBuffer& capture,
                         bool measure, const std::optional<TestTimeOptions>& time_opts) {
    if (auto* bench = std::get_if<RunnableBench>(&runnable)) {
        return run_runnable(desc, *bench, capture);
    }
    return run_runnable(desc, std::get<RunnableTest>(runnable), capture, measure, time_opts);
}

}  // namespace test
