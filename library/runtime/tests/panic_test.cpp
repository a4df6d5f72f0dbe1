// Panics: payloads, the hook, the default report and catch_unwind.
#include "panic.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "io.hpp"
#include "process.hpp"
#include "text.hpp"
#include "thread.hpp"
#include "support.hpp"

// Marks where short backtraces stop, as the harness does around a test body.
// External linkage keeps the symbol visible to the backtrace printer.
[[gnu::noinline]] void __zuno_begin_short_backtrace(void (*f)()) {
    f();
    asm volatile("");  // keeps this frame on the stack (no tail call)
}

[[gnu::noinline]] void rt_test_panicking_frame() {
    rt::panic("short one");
}

namespace {

using test::support::captured;

// The report's first line as the default hook writes it, up to the column.
std::string report_head(const std::string& thread, long tid, int line) {
    return "\nthread '" + thread + "' (" + std::to_string(tid) +
           ") panicked at library/runtime/tests/panic_test.cpp:" + std::to_string(line) + ":";
}

// Removes the once-per-process note so tests do not depend on their order.
std::string without_note(std::string text) {
    const std::string note =
        "note: run with `ZUNO_BACKTRACE=1` environment variable to display a backtrace\n";
    if (auto at = text.find(note); at != std::string::npos) {
        text.erase(at, note.size());
    }
    return text;
}

TEST(Payload, KindsAndMessages) {
    auto owned = rt::Payload::owned("boom");
    ASSERT_NE(owned.as_owned(), nullptr);
    EXPECT_EQ(*owned.as_owned(), "boom");
    EXPECT_EQ(owned.as_static(), nullptr);
    EXPECT_EQ(owned.message(), "boom");

    auto fixed = rt::Payload::static_str("fixed");
    EXPECT_STREQ(fixed.as_static(), "fixed");
    EXPECT_EQ(fixed.as_owned(), nullptr);
    EXPECT_EQ(fixed.text(), "fixed");

    auto number = rt::Payload::any(42);
    EXPECT_EQ(number.text(), std::nullopt);
    EXPECT_EQ(number.message(), "Box<dyn Any>");
    EXPECT_EQ(number.type_name(), "int");
    ASSERT_NE(number.value(), nullptr);
    EXPECT_EQ(std::any_cast<int>(*number.value()), 42);

    auto unknown = rt::Payload::unknown("Widget");
    EXPECT_EQ(unknown.message(), "Box<dyn Any>");
    EXPECT_EQ(unknown.type_name(), "Widget");
}

TEST(CatchUnwind, ReturnsPayloadOfEachKindOfFailure) {
    std::optional<rt::Payload> none;
    std::string out = captured([&] { none = rt::catch_unwind([] {}); });
    EXPECT_FALSE(none.has_value());
    EXPECT_EQ(out, "");

    std::optional<rt::Payload> owned, fixed, any, error, other;
    out = captured([&] {
        owned = rt::catch_unwind([] { rt::panic("owned " + std::to_string(1)); });
        fixed = rt::catch_unwind([] { rt::panic_static("static"); });
        any = rt::catch_unwind([] { rt::panic_any(rt::Payload::any(7.5)); });
        error = rt::catch_unwind([] { throw std::runtime_error("plain exception"); });
        other = rt::catch_unwind([] { throw 17; });
    });
    ASSERT_TRUE(owned && fixed && any && error && other);
    EXPECT_EQ(*owned->as_owned(), "owned 1");
    EXPECT_STREQ(fixed->as_static(), "static");
    EXPECT_EQ(any->type_name(), "double");
    EXPECT_EQ(*error->as_owned(), "plain exception");
    EXPECT_EQ(other->type_name(), "int");
    EXPECT_EQ(other->message(), "Box<dyn Any>");

    // Every failure is reported once, non-panic exceptions at the catch.
    for (const char* message :
         {"\nowned 1\n", "\nstatic\n", "\nBox<dyn Any>\n", "\nplain exception\n"}) {
        EXPECT_NE(out.find(message), std::string::npos) << message << " in " << out;
    }
    std::size_t reports = 0;
    for (auto at = out.find("panicked at"); at != std::string::npos;
         at = out.find("panicked at", at + 1)) {
        ++reports;
    }
    EXPECT_EQ(reports, 5u);
}

TEST(DefaultHook, ReportNamesThreadTidLocationAndMessage) {
    int line = 0;
    std::string out = captured([&] {
        (void)rt::catch_unwind([&] {
            line = __LINE__ + 1;
            rt::panic("the message\nsecond line");
        });
    });
    out = without_note(out);
    const std::string head = report_head("main", static_cast<long>(getpid()), line);
    ASSERT_EQ(out.substr(0, head.size()), head) << out;
    // Column, then the message on its own lines.
    const std::string rest = out.substr(head.size());
    const auto colon = rest.find(':');
    ASSERT_NE(colon, std::string::npos);
    EXPECT_GT(std::stoi(rest.substr(0, colon)), 0);
    EXPECT_EQ(rest.substr(colon), ":\nthe message\nsecond line\n");
}

TEST(DefaultHook, NamesSpawnedAndForeignThreads) {
    const std::string name = "a_test_name_longer_than_fifteen_bytes";
    long tid = 0;
    std::string out;
    auto spawned = rt::spawn_thread(name, 0, [&] {
        tid = rt::current_thread_id();
        out = captured([] { (void)rt::catch_unwind([] { rt::panic("in worker"); }); });
    });
    ASSERT_EQ(spawned.index(), 0u);
    EXPECT_FALSE(std::get<0>(spawned).join().has_value());
    EXPECT_NE(tid, static_cast<long>(getpid()));
    EXPECT_EQ(out.rfind("\nthread '" + name + "' (" + std::to_string(tid) + ") panicked at ", 0),
              0u)
        << out;

    std::string foreign;
    long foreign_tid = 0;
    std::thread([&] {
        foreign_tid = rt::current_thread_id();
        foreign = captured([] { (void)rt::catch_unwind([] { rt::panic("elsewhere"); }); });
    }).join();
    EXPECT_EQ(foreign.rfind("\nthread '<unnamed>' (" + std::to_string(foreign_tid) + ")", 0), 0u)
        << foreign;
}

TEST(Hook, TakeAndSetReplaceTheHookInForce) {
    struct Seen {
        std::string message;
        std::string file;
        std::uint32_t line = 0;
        bool can_unwind = false;
        int calls = 0;
    } seen;
    const std::uint64_t before = rt::panic_count();
    rt::PanicHook previous = rt::take_hook();
    rt::set_hook([&](const rt::PanicInfo& info) {
        seen.message = std::string(info.payload.message());
        seen.file = info.location.file;
        seen.line = info.location.line;
        seen.can_unwind = info.can_unwind;
        ++seen.calls;
    });
    int line = 0;
    std::string out = captured([&] {
        (void)rt::catch_unwind([&] {
            line = __LINE__ + 1;
            rt::panic("custom");
        });
    });
    rt::set_hook(std::move(previous));

    EXPECT_EQ(out, "");  // the replaced default hook printed nothing
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.message, "custom");
    EXPECT_EQ(seen.file, "library/runtime/tests/panic_test.cpp");
    EXPECT_EQ(seen.line, static_cast<std::uint32_t>(line));
    EXPECT_TRUE(seen.can_unwind);
    EXPECT_EQ(rt::panic_count(), before + 1);

    // take_hook on the default hook hands back a callable default hook.
    rt::PanicHook fallback = rt::take_hook();
    ASSERT_TRUE(fallback);
    out = captured([&] {
        rt::Payload payload = rt::Payload::static_str("via taken default");
        fallback(rt::PanicInfo{payload, rt::Location{"f.cpp", 1, 2}, true});
    });
    EXPECT_NE(out.find(") panicked at f.cpp:1:2:\nvia taken default\n"), std::string::npos) << out;
}

// Children of the tests below: each runs one scenario when RT_PANIC_CHILD names it.
TEST(PanicChild, DISABLED_Scenario) {
    const auto which = rt::env_var("RT_PANIC_CHILD");
    if (!which) {
        GTEST_SKIP() << "runs only as a child of the tests below";
    }
    if (*which == "twice") {
        (void)rt::catch_unwind([] { rt::panic("first"); });
        (void)rt::catch_unwind([] { rt::panic("second"); });
        auto t = rt::spawn_thread("third", 0, [] { rt::panic("third"); });
        (void)std::get<0>(t).join();
    } else if (*which == "nounwind") {
        rt::set_hook([](const rt::PanicInfo& info) {
            rt::eprint("hook can_unwind=" + std::to_string(info.can_unwind) + " " +
                       std::string(info.payload.message()) + "\n");
        });
        rt::panic_nounwind("cannot go on");
    } else if (*which == "during_unwind") {
        struct PanicsOnDestruction {
            ~PanicsOnDestruction() { rt::panic("from a destructor"); }
        };
        (void)rt::catch_unwind([] {
            PanicsOnDestruction guard;
            rt::panic("first failure");
        });
    } else if (*which == "noexcept") {
        (void)rt::catch_unwind([]() noexcept { rt::panic("inside noexcept"); });
    } else if (*which == "short") {
        (void)rt::catch_unwind([] { __zuno_begin_short_backtrace(&rt_test_panicking_frame); });
    } else if (*which == "in_hook") {
        rt::set_hook([](const rt::PanicInfo&) { rt::panic("hook fails"); });
        rt::panic("outer");
    }
    rt::print("child finished\n");
}

struct ChildRun {
    rt::ExitStatus status{0};
    std::string stderr_text;
    std::string stdout_text;
};

ChildRun run_child(const char* scenario, const char* backtrace = "0") {
    auto out = rt::Command("/proc/self/exe")
                   .arg("--gtest_filter=PanicChild.DISABLED_Scenario")
                   .arg("--gtest_also_run_disabled_tests")
                   .env("RT_PANIC_CHILD", scenario)
                   .env("ZUNO_BACKTRACE", backtrace)
                   .output();
    EXPECT_TRUE(out.ok()) << out.error().debug();
    if (!out.ok()) {
        return {};
    }
    return {out->status, std::string(out->stderr_bytes.begin(), out->stderr_bytes.end()),
            std::string(out->stdout_bytes.begin(), out->stdout_bytes.end())};
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

TEST(DefaultHook, BacktraceNoteOnlyAfterFirstPanicOfProcess) {
    const auto run = run_child("twice");
    EXPECT_TRUE(run.status.success()) << run.status.to_string();
    const std::string note =
        "note: run with `ZUNO_BACKTRACE=1` environment variable to display a backtrace\n";
    EXPECT_EQ(count(run.stderr_text, note), 1u) << run.stderr_text;
    EXPECT_NE(run.stderr_text.find("\nfirst\n" + note), std::string::npos) << run.stderr_text;
    EXPECT_NE(run.stderr_text.find("\nthread 'third' ("), std::string::npos);
    EXPECT_EQ(count(run.stderr_text, "stack backtrace:"), 0u);
}

TEST(DefaultHook, BacktraceWhenRequested) {
    for (const char* style : {"1", "full"}) {
        const auto run = run_child("twice", style);
        EXPECT_TRUE(run.status.success()) << run.status.to_string();
        EXPECT_EQ(count(run.stderr_text, "note: run with"), 0u) << run.stderr_text;
        EXPECT_EQ(count(run.stderr_text, "stack backtrace:\n"), 3u) << run.stderr_text;
    }
}

TEST(DefaultHook, ShortBacktraceStopsAtMarkedFrame) {
    const auto short_run = run_child("short", "1");
    const auto full_run = run_child("short", "full");
    for (const auto* run : {&short_run, &full_run}) {
        EXPECT_TRUE(run->status.success()) << run->status.to_string();
        EXPECT_NE(run->stderr_text.find("rt_test_panicking_frame"), std::string::npos)
            << run->stderr_text;
    }
    // Frames outside the marked region (the test framework's) show only in full.
    EXPECT_EQ(short_run.stderr_text.find("testing::Test::Run"), std::string::npos)
        << short_run.stderr_text;
    EXPECT_EQ(short_run.stderr_text.find("__zuno_begin_short_backtrace"), std::string::npos);
    EXPECT_NE(full_run.stderr_text.find("testing::Test::Run"), std::string::npos)
        << full_run.stderr_text;
    EXPECT_NE(full_run.stderr_text.find("__zuno_begin_short_backtrace"), std::string::npos);
}

TEST(PanicNoUnwind, RunsHookThenAborts) {
    const auto run = run_child("nounwind");
    EXPECT_EQ(run.status.signal(), SIGABRT) << run.status.to_string();
    EXPECT_NE(run.stderr_text.find("hook can_unwind=0 cannot go on\n"), std::string::npos)
        << run.stderr_text;
    EXPECT_EQ(run.stdout_text.find("child finished"), std::string::npos);
}

TEST(PanicNoUnwind, PanicWhileUnwindingAborts) {
    const auto run = run_child("during_unwind");
    EXPECT_EQ(run.status.signal(), SIGABRT) << run.status.to_string();
    EXPECT_NE(run.stderr_text.find("\nfirst failure\n"), std::string::npos) << run.stderr_text;
    EXPECT_NE(run.stderr_text.find("\nfrom a destructor\n"), std::string::npos) << run.stderr_text;
}

TEST(PanicNoUnwind, PanicEscapingNoexceptAborts) {
    const auto run = run_child("noexcept");
    EXPECT_EQ(run.status.signal(), SIGABRT) << run.status.to_string();
    EXPECT_NE(run.stderr_text.find("\ninside noexcept\n"), std::string::npos) << run.stderr_text;
    EXPECT_NE(run.stderr_text.find("\npanic in a function that cannot unwind\n"), std::string::npos)
        << run.stderr_text;
}

TEST(PanicNoUnwind, PanicInsideHookAborts) {
    const auto run = run_child("in_hook");
    EXPECT_EQ(run.status.signal(), SIGABRT) << run.status.to_string();
    EXPECT_NE(run.stderr_text.find("panicked while processing panic"), std::string::npos)
        << run.stderr_text;
}

}  // namespace
