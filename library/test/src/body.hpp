#pragma once
// The body runner: runs one test or benchmark body on the calling thread,
// catches what ends it, and derives its result. Test threads, benchmarks and
// isolated children all run bodies through here, so a body's end becomes a
// result in one place (body_result for tests, bench_body_result for
// benchmarks).

#include <functional>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

#include "io.hpp"
#include "panic.hpp"
#include "test_result.hpp"
#include "time.hpp"
#include "types.hpp"

namespace test {

/// How a test body ended: the panic or exception that ended it, or, when it
/// returned, what it returned.
struct BodyEnd {
    std::optional<rt::Payload> failure;
    std::optional<BodyResult> returned;
};

/// Runs `body` on the calling thread with the test's name set for
/// zuno::current_test_name() and catches what ends it. `loc` is the location
/// reported for an escaping exception that is not a panic.
BodyEnd run_body(std::string_view name, const std::function<BodyResult()>& body,
                 std::source_location loc = std::source_location::current());

/// Keeps a skip reason for the rest of the process and returns it: descriptors
/// borrow their ignore message, and reports read it after the test has ended.
std::string_view keep_skip_reason(std::string reason);

/// The result of a test from how its body ended. A failure, or a returned
/// error, is judged by calc_result. A skip (ZUNO_SKIP) gives Ignored and puts
/// its reason into `desc.ignore_message` (kept for the rest of the process).
/// Failed checks give FailedMsg "1 check failed" / "<n> checks failed"; for a
/// test that should panic they count as a body that returned, which did not
/// panic.
TestResult body_result(TestDesc& desc, BodyEnd end, const std::optional<TestTimeOptions>& time_opts,
                       const std::optional<TestExecTime>& exec_time);

/// The result of a benchmark from how its body ended: Failed when it panicked
/// or returned anything but success, else bench_result.
TestResult bench_body_result(const BodyEnd& end, const Bencher& bencher);

/// The Bench result of a benchmark body that returned normally: its summary
/// and throughput in MB/s, or the single-sample-0 summary and 0 without one.
TestResult bench_result(const Bencher& bencher);

/// What running a body gives.
struct BodyOutcome {
    TestResult result;
    /// How long the body ran, when measured (never for benchmarks).
    std::optional<TestExecTime> exec_time;
    /// The error the body returned, when it returned one.
    std::optional<std::string> returned_error;
};

/// Installs `buffer` as the calling thread's capture (unless it is null) and
/// puts the previous sink back when it goes out of scope or on restore().
class CaptureScope {
public:
    explicit CaptureScope(const rt::CaptureBuffer& buffer);
    CaptureScope(const CaptureScope&) = delete;
    CaptureScope& operator=(const CaptureScope&) = delete;
    ~CaptureScope() { restore(); }
    void restore();

private:
    bool active_;
    rt::CaptureBuffer previous_;
};

/// Runs a test body as test `desc` on the calling thread, registered as the
/// work in progress (an exit() or a crash meanwhile names the test), with its
/// output captured in `capture` unless that is null, and derives its result
/// (a skip's reason goes into `desc`). The body alone is timed, when
/// `measure` is set.
BodyOutcome run_runnable(TestDesc& desc, RunnableTest& runnable, const rt::CaptureBuffer& capture,
                         bool measure, const std::optional<TestTimeOptions>& time_opts);
/// The same for a benchmark body (never timed).
BodyOutcome run_runnable(TestDesc& desc, RunnableBench& runnable, const rt::CaptureBuffer& capture);
/// The same for either kind.
BodyOutcome run_runnable(TestDesc& desc, Runnable& runnable, const rt::CaptureBuffer& capture,
                         bool measure, const std::optional<TestTimeOptions>& time_opts);

}  // namespace test
