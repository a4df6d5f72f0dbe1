#include "isolation.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "children.hpp"
#include "crash.hpp"
#include "io.hpp"
#include "process.hpp"
#include "text.hpp"
#include "start.hpp"
#include "body.hpp"
#include "filter.hpp"

namespace test {

namespace {

using Clock = std::chrono::steady_clock;

// The protocol's variables: the one test the child is to run, and whether
// benchmarks run as benchmarks.
constexpr const char* kInvokeVar = "__ZUNO_TEST_INVOKE";
constexpr const char* kBenchVar = "__ZUNO_TEST_BENCH_BENCHMARKS";

// How long an isolated test's process group has between SIGTERM and SIGKILL.
constexpr std::chrono::milliseconds kChildStopGrace{5000};

// Runs the command to its end, or until `limit_secs` have passed.
rt::IoResult<rt::DeadlineOutput> run_child(rt::Command& command, Clock::time_point started,
                                           std::optional<double> limit_secs) {
    if (limit_secs) {
        return command.output_until(started + time_limit_duration(*limit_secs), kChildStopGrace);
    }
    rt::IoResult<rt::Output> finished = command.output();
    if (!finished.ok()) {
        return finished.error();
    }
    return rt::DeadlineOutput{std::move(finished.value()), false};
}

// The test's result from how its child ended.
// A skipped test's reason has been taken off its standard error already.
TestResult child_result(const rt::DeadlineOutput& ran, std::optional<double> limit_secs,
                        std::optional<std::string> skipped, TestDesc& desc) {
    if (skipped) {
        desc.ignore_message = keep_skip_reason(std::move(*skipped));
        return TestResult::Ignored{};
    }
    if (ran.timed_out) {
        return TestResult::FailedMsg{time_limit_message(limit_secs.value_or(0))};
    }
    if (const std::optional<int> code = ran.output.status.code()) {
        if (*code == 0) {
            return TestResult::Ok{};
        }
        return TestResult::FailedMsg{"got unexpected return code " + std::to_string(*code)};
    }
    if (const std::optional<int> signal = ran.output.status.signal(); signal && *signal != 6) {
        return TestResult::FailedMsg{"child process exited with signal " + std::to_string(*signal)};
    }
    return TestResult::Failed{};
}

// Ends the child: what the test printed through C stdio goes out first, and
// the process groups the test started end with it. Exit handlers and static
// destructors are skipped, as threads the test started may still be running.
[[noreturn]] void exit_child(int status) {
    (void)std::fflush(nullptr);
    rt::end_child_groups();
    ::_exit(status);
}

}  // namespace

std::string current_executable() {
    std::string path(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n > 0 && static_cast<std::size_t>(n) < path.size()) {
        path.resize(static_cast<std::size_t>(n));
        return path;
    }
    std::vector<std::string> args = rt::args();
    return args.empty() ? std::string() : std::move(args.front());
}

CompletedTest run_test_in_spawned_subprocess(TestId id, TestDesc desc, bool nocapture,
                                             const std::optional<TestTimeOptions>& time_opts,
                                             bool bench, const std::string& executable,
                                             std::optional<double> limit_secs) {
    rt::Command command(executable);
    // A process group of its own, so that what the test starts goes with it,
    // also when this run is interrupted.
    command.own_group(kChildStopGrace);
    command.env(kInvokeVar, std::string(desc.name.as_slice()));
    if (bench) {
        command.env(kBenchVar, "1");
    }
    if (nocapture) {
        command.stdout_(rt::Stdio::Inherit).stderr_(rt::Stdio::Inherit);
    }

    const Clock::time_point started = Clock::now();
    rt::IoResult<rt::DeadlineOutput> ran = run_child(command, started, limit_secs);
    std::optional<TestExecTime> exec_time;
    if (time_opts) {
        exec_time = TestExecTime{std::chrono::duration_cast<Duration>(Clock::now() - started)};
    }
    if (!ran.ok()) {
        const std::string message =
            "Failed to spawn " + executable + " as child for test: " + ran.error().debug();
        return CompletedTest{id, std::move(desc), TestResult::Failed{}, std::nullopt,
                             std::vector<std::uint8_t>(message.begin(), message.end())};
    }

    rt::Output& out = ran.value().output;
    std::optional<std::string> skipped;
    if (out.status.code() == std::optional<int>(SKIPPED_CHILD_STATUS)) {
        skipped = take_skip_reason(out.stderr_bytes);
    }
    std::vector<std::uint8_t> output = std::move(out.stdout_bytes);
    if (!output.empty() && output.back() != '\n') {
        output.push_back('\n');
    }
    const std::string header = "---- " + std::string(desc.name.as_slice()) + " stderr ----\n";
    output.insert(output.end(), header.begin(), header.end());
    output.insert(output.end(), out.stderr_bytes.begin(), out.stderr_bytes.end());

    TestResult result = child_result(ran.value(), limit_secs, std::move(skipped), desc);
    result = apply_time_limit(std::move(result), desc, time_opts, exec_time);
    return CompletedTest{id, std::move(desc), std::move(result), exec_time, std::move(output)};
}

std::optional<std::string> take_skip_reason(std::vector<std::uint8_t>& stderr_bytes) {
    const std::string_view text(reinterpret_cast<const char*>(stderr_bytes.data()),
                                stderr_bytes.size());
    const std::size_t at = text.rfind(SKIPPED_CHILD_MARKER);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    std::string reason(text.substr(at + SKIPPED_CHILD_MARKER.size()));
    stderr_bytes.resize(at);
    return reason;
}

std::optional<std::string> invoked_test() {
    return rt::env_var(kInvokeVar);
}

void run_invoked_test(const std::string& name, std::vector<TestDescAndFn> tests) {
    const bool bench = rt::env_var(kBenchVar) == std::optional<std::string>("1");
    // Programs on this harness that the test starts run as usual.
    ::unsetenv(kInvokeVar);
    ::unsetenv(kBenchVar);

    const auto found = std::find_if(tests.begin(), tests.end(), [&](const TestDescAndFn& t) {
        return t.descriptor.name.as_slice() == name;
    });
    if (found == tests.end()) {
        rt::eprint("error: no test named `" + name + "` in this program\n");
        exit_child(101);
    }
    std::vector<TestDescAndFn> selected;
    selected.push_back(std::move(*found));
    tests.clear();
    if (!bench) {
        selected = convert_benchmarks_to_tests(std::move(selected));
    }
    TestDesc desc = selected.front().descriptor;
    Runnable runnable = std::move(selected.front().body).into_runnable();

    // An exit() of the test fails it (status 101); a crash names it on
    // standard error before the signal ends the child.
    const rt::ExitGuard exit_guard("error: the process exited while tests were running: ");
    // The test ending the main thread (pthread_exit) would leave the process
    // to exit with status 0 once nothing else runs: it fails instead.
    struct FailOnThreadExit {
        bool armed = true;
        ~FailOnThreadExit() {
            if (armed) {
                rt::eprint(std::string(THREAD_EXITED_MESSAGE) + "\n");
                exit_child(101);
            }
        }
    } on_thread_exit;
    // Output is not captured: it goes to the streams the parent collects.
    const BodyOutcome outcome = run_runnable(desc, runnable, nullptr, false, std::nullopt);
    on_thread_exit.armed = false;
    if (outcome.result.is<TestResult::Ignored>()) {
        rt::eprint(std::string(SKIPPED_CHILD_MARKER) +
                   std::string(desc.ignore_message.value_or("")));
        exit_child(SKIPPED_CHILD_STATUS);
    }
    if (!outcome.result.is_failure()) {
        exit_child(0);
    }
    if (const auto* failed = outcome.result.as<TestResult::FailedMsg>()) {
        rt::eprint(failed->message + "\n");
    } else if (outcome.returned_error) {
        rt::eprint("Error: " + *outcome.returned_error + "\n");
    }
    exit_child(101);
}

}  // namespace test
