#include "entry.hpp"

#include <unistd.h>

#include <functional>
#include <mutex>
#include <utility>
#include <variant>

#include <zuno/test.hpp>

#include "children.hpp"
#include "crash.hpp"
#include "io.hpp"
#include "panic.hpp"
#include "start.hpp"
#include "text.hpp"
#include "thread.hpp"
#include "cli.hpp"
#include "console.hpp"
#include "isolation.hpp"
#include "runner_files.hpp"
#include "registry.hpp"

namespace test {

namespace {

/// Ends the process at once. Output is unbuffered, so nothing is lost; static
/// destructors are skipped because test threads may still be running. Child
/// process groups those threads started are ended first.
[[noreturn]] void exit_process(int status) {
    rt::end_child_groups();
    ::_exit(status);
}

/// Wraps the hook in force: before a panic that cannot unwind aborts the
/// process, the panicking thread's captured output is written to standard
/// output, and both standard streams stay locked so nothing else follows it.
void install_abort_flushing_hook() {
    rt::PanicHook wrapped = rt::take_hook();
    rt::set_hook([wrapped = std::move(wrapped)](const rt::PanicInfo& info) {
        if (!info.can_unwind) {
            rt::lock_stderr_forever();
            rt::lock_stdout_forever();
            if (rt::CaptureBuffer capture = rt::set_output_capture(nullptr)) {
                auto locked = capture->lock();
                if (!locked.poisoned) {
                    // Errors are ignored: the process is about to abort.
                    locked.guard->for_each_piece([](const std::uint8_t* data, std::size_t size) {
                        (void)rt::write_fd(1, {data, size});
                    });
                }
            }
        }
        wrapped(info);
    });
}

/// Threads started by a test inherit the test's capture.
void install_capture_sharing_spawn_hook() {
    static std::once_flag once;
    std::call_once(once, [] {
        rt::add_spawn_hook([]() -> std::function<void()> {
            rt::CaptureBuffer capture = rt::current_output_capture();
            if (!capture) {
                return {};
            }
            return [capture = std::move(capture)] { rt::set_output_capture(capture); };
        });
    });
}

[[noreturn]] void io_error_exit(const rt::IoError& error) {
    rt::eprint("error: io error when listing tests: " + error.debug() + "\n");
    exit_process(101);
}

/// Creates the marker files a calling test runner asked for before anything
/// runs: the shard status file (this program shards) and the premature-exit
/// file, which stays only if the process ends before its normal end.
void mark_start(const TestOpts& opts) {
    const std::pair<const std::optional<std::string>*, const char*> markers[] = {
        {&opts.shard_status_file, "TEST_SHARD_STATUS_FILE"},
        {&opts.premature_exit_file, "TEST_PREMATURE_EXIT_FILE"},
    };
    for (const auto& [path, variable] : markers) {
        if (!*path) {
            continue;
        }
        if (auto touched = touch_file(**path); !touched.ok()) {
            rt::eprint("error: cannot write " + std::string(variable) + " " + **path + ": " +
                       touched.error().display() + "\n");
            exit_process(101);
        }
    }
}

/// The normal end of a listing or run: the premature-exit file goes away.
void mark_normal_end(const TestOpts& opts) {
    if (opts.premature_exit_file) {
        (void)remove_file(*opts.premature_exit_file);
    }
}

}  // namespace

void test_main_static(std::span<const TestDescAndFn> tests) {
    std::vector<std::string> args = rt::args();
    std::vector<TestDescAndFn> owned;
    owned.reserve(tests.size());
    for (const TestDescAndFn& t : tests) {
        const std::size_t kind = t.body.kind();
        if (kind != 0 && kind != 1) {  // StaticTestBody, StaticBenchBody
            rt::panic_static("non-static tests passed to test::test_main_static");
        }
        owned.push_back(t);
    }
    test_main(args, std::move(owned), std::nullopt);
}

void test_main(const std::vector<std::string>& args, std::vector<TestDescAndFn> tests,
               std::optional<RunOptions> options) {
    test_main_with_exit_callback(args, std::move(tests), options, [] {});
}

void test_main_with_exit_callback(const std::vector<std::string>& args,
                                  std::vector<TestDescAndFn> tests,
                                  std::optional<RunOptions> options,
                                  const std::function<void()>& exit_callback) {
    if (const std::optional<std::string> invoked = invoked_test()) {
        run_invoked_test(*invoked, std::move(tests));
    }
    OptsResult parsed = parse_opts(args);
    if (std::holds_alternative<HelpPrinted>(parsed)) {
        return;
    }
    if (auto* message = std::get_if<std::string>(&parsed)) {
        rt::eprint("error: " + *message + "\n");
        exit_process(101);
    }
    TestOpts& opts = std::get<TestOpts>(parsed);
    if (options) {
        opts.run_options = *options;
    }

    mark_start(opts);
    if (opts.list) {
        rt::IoResult<void> listed = list_tests_console(opts, std::move(tests));
        mark_normal_end(opts);
        if (!listed.ok()) {
            io_error_exit(listed.error());
        }
        return;
    }

    if (!opts.nocapture) {
        install_abort_flushing_hook();
        install_capture_sharing_spawn_hook();
    }
    rt::IoResult<RunVerdict> outcome = [&] {
        // A test that ends the process must not pass for a finished run.
        const rt::ExitGuard exit_guard("error: the process exited while tests were running: ");
        return run_tests_console(opts, std::move(tests));
    }();
    // The default hook applies from here on, whether or not ours was installed.
    (void)rt::take_hook();
    mark_normal_end(opts);
    exit_callback();

    if (!outcome.ok()) {
        io_error_exit(outcome.error());
    }
    if (!outcome.value().passed) {
        exit_process(101);
    }
    if (outcome.value().threads_abandoned) {
        // A test given up at its time limit (and passed on a rerun) may still
        // be running: the process ends here, as a failed run does.
        exit_process(0);
    }
}

}  // namespace test

namespace zuno {

int run(int argc, char** argv) {
    return rt::lang_start(argc, argv, [] {
        std::vector<test::TestDescAndFn> tests = test::registered_tests();
        test::test_main(rt::args(), std::move(tests), std::nullopt);
    });
}

}  // namespace zuno
