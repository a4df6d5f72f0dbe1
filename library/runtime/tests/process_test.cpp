// Child processes and the rendering of their exit status.
#include "process.hpp"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "support.hpp"

namespace {

std::string text(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Runs a shell script and returns its output; fails the test when it cannot start.
rt::Output sh(const std::string& script, rt::Command base = rt::Command("/bin/sh")) {
    auto out = base.arg("-c").arg(script).output();
    EXPECT_TRUE(out.ok()) << out.error().debug();
    return out.ok() ? std::move(*out) : rt::Output{rt::ExitStatus(-1), {}, {}};
}

TEST(ExitStatus, RendersEveryKindOfWaitStatus) {
    struct Case {
        int raw;
        const char* text;
    };
    const Case cases[] = {
        {0x0000, "exit status: 0"},
        {0x0100, "exit status: 1"},
        {0xFF00, "exit status: 255"},
        {9, "signal: 9 (SIGKILL)"},
        {15, "signal: 15 (SIGTERM)"},
        {16, "signal: 16 (SIGSTKFLT)"},
        {31, "signal: 31 (SIGSYS)"},
        {6 | 0x80, "signal: 6 (SIGABRT) (core dumped)"},
        {34, "signal: 34"},
        {64 | 0x80, "signal: 64 (core dumped)"},
        {0x137F, "stopped (not terminated) by signal: 19 (SIGSTOP)"},
        {0x147F, "stopped (not terminated) by signal: 20 (SIGTSTP)"},
        {0x287F, "stopped (not terminated) by signal: 40"},
        {0xFFFF, "continued (WIFCONTINUED)"},
        {0x01FF, "unrecognised wait status: 511 0x1ff"},
        {-1, "unrecognised wait status: -1 0xffffffff"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rt::ExitStatus(c.raw).to_string(), c.text) << c.raw;
    }
    EXPECT_TRUE(rt::ExitStatus(0).success());
    EXPECT_FALSE(rt::ExitStatus(0x0100).success());
    EXPECT_EQ(rt::ExitStatus(0x0300).code(), 3);
    EXPECT_EQ(rt::ExitStatus(9).code(), std::nullopt);
    EXPECT_EQ(rt::ExitStatus(9).signal(), 9);
    EXPECT_TRUE(rt::ExitStatus(6 | 0x80).core_dumped());
}

TEST(ExitStatus, SignalNamesInOrder) {
    const char* names[] = {
        "SIGHUP",  "SIGINT",    "SIGQUIT", "SIGILL",   "SIGTRAP", "SIGABRT", "SIGBUS",  "SIGFPE",
        "SIGKILL", "SIGUSR1",   "SIGSEGV", "SIGUSR2",  "SIGPIPE", "SIGALRM", "SIGTERM", "SIGSTKFLT",
        "SIGCHLD", "SIGCONT",   "SIGSTOP", "SIGTSTP",  "SIGTTIN", "SIGTTOU", "SIGURG",  "SIGXCPU",
        "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGWINCH", "SIGIO",   "SIGPWR",  "SIGSYS",
    };
    for (int s = 1; s <= 31; ++s) {
        EXPECT_STREQ(rt::signal_name(s), names[s - 1]) << s;
    }
    EXPECT_EQ(rt::signal_name(0), nullptr);
    EXPECT_EQ(rt::signal_name(32), nullptr);
    // The table agrees with the platform's numbering.
    EXPECT_STREQ(rt::signal_name(SIGKILL), "SIGKILL");
    EXPECT_STREQ(rt::signal_name(SIGSEGV), "SIGSEGV");
    EXPECT_STREQ(rt::signal_name(SIGCHLD), "SIGCHLD");
    EXPECT_STREQ(rt::signal_name(SIGSYS), "SIGSYS");
}

TEST(Command, ExitCodesAndSignalsOfRealChildren) {
    struct Case {
        const char* script;
        const char* text;
    };
    const Case cases[] = {
        {"exit 0", "exit status: 0"},
        {"exit 3", "exit status: 3"},
        {"kill -KILL $$", "signal: 9 (SIGKILL)"},
        {"kill -TERM $$", "signal: 15 (SIGTERM)"},
        {"kill -USR1 $$", "signal: 10 (SIGUSR1)"},
    };
    for (const auto& c : cases) {
        auto status = rt::Command("/bin/sh").arg("-c").arg(c.script).status();
        ASSERT_TRUE(status.ok()) << status.error().debug();
        EXPECT_EQ(status->to_string(), c.text) << c.script;
    }
}

TEST(Command, CoreDumpIsShown) {
    std::string pattern;
    std::ifstream("/proc/sys/kernel/core_pattern") >> pattern;
    if (pattern.empty() || pattern[0] == '|' || pattern.find('/') != std::string::npos) {
        GTEST_SKIP() << "core dumps are piped or go elsewhere here: " << pattern;
    }
    rlimit limit{};
    getrlimit(RLIMIT_CORE, &limit);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < (1 << 20)) {
        GTEST_SKIP() << "the hard core-size limit forbids dumps";
    }
    // The child raises its own core limit and dumps into a scratch directory.
    const auto dir =
        std::filesystem::temp_directory_path() / ("rt_core_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    auto status = rt::Command("/bin/sh")
                      .arg("-c")
                      .arg("ulimit -c unlimited && cd '" + dir.string() + "' && kill -QUIT $$")
                      .status();
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(status.ok()) << status.error().debug();
    EXPECT_EQ(status->to_string(), "signal: 3 (SIGQUIT) (core dumped)");
}

TEST(Command, MissingProgramIsAnOsError) {
    auto status = rt::Command("/nonexistent/zuno-runner").status();
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().raw_os_error(), 2);
    EXPECT_EQ(status.error().debug(),
              R"(Os { code: 2, kind: NotFound, message: "No such file or directory" })");

    auto output = rt::Command("/nonexistent/zuno-runner").output();
    ASSERT_FALSE(output.ok());
    EXPECT_EQ(output.error().raw_os_error(), 2);

    // A file without execute permission (refused even to root).
    const auto plain =
        std::filesystem::temp_directory_path() / ("rt_plain_" + std::to_string(getpid()));
    std::ofstream(plain) << "#!/bin/sh\n";
    std::filesystem::permissions(
        plain, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    auto not_executable = rt::Command(plain.string()).status();
    std::filesystem::remove(plain);
    ASSERT_FALSE(not_executable.ok());
    EXPECT_EQ(not_executable.error().raw_os_error(), EACCES);
    EXPECT_EQ(not_executable.error().kind(), rt::ErrorKind::PermissionDenied);
}

TEST(Command, ArgumentsAndEnvironment) {
    ::setenv("RT_PROCESS_INHERITED", "from parent", 1);
    ::setenv("RT_PROCESS_REPLACED", "old", 1);
    auto out = sh(R"(printf '%s|' "$@"; printf '%s|%s|%s' "$RT_PROCESS_INHERITED" )"
                  R"("$RT_PROCESS_REPLACED" "$RT_PROCESS_ADDED")",
                  rt::Command("/bin/sh")
                      .env("RT_PROCESS_ADDED", "first")
                      .env("RT_PROCESS_REPLACED", "new")
                      .env("RT_PROCESS_ADDED", "later wins"));
    // The shell script's own arguments follow "-c SCRIPT": none here.
    EXPECT_EQ(text(out.stdout_bytes), "|from parent|new|later wins");

    auto args = rt::Command("/bin/sh")
                    .arg("-c")
                    .arg(R"(printf '<%s>' "$@")")
                    .arg("zero")
                    .arg("one two")
                    .arg("")
                    .arg("three\nlines")
                    .output();
    ASSERT_TRUE(args.ok());
    EXPECT_EQ(text(args->stdout_bytes), "<one two><><three\nlines>");

    auto bad = rt::Command("/bin/sh").arg(std::string("a\0b", 3)).status();
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().kind(), rt::ErrorKind::InvalidInput);
    EXPECT_FALSE(rt::Command("/bin/true").env("A=B", "c").status().ok());
}

TEST(Command, OutputCollectsBothStreamsWithoutDeadlock) {
    // Each stream gets more than a pipe holds, interleaved, so reading only one
    // of them at a time would block the child.
    auto out =
        sh("i=0; while [ $i -lt 40 ]; do head -c 16384 /dev/zero | tr '\\0' o; "
           "head -c 16384 /dev/zero | tr '\\0' e >&2; i=$((i+1)); done; exit 4");
    EXPECT_EQ(out.status.code(), 4);
    EXPECT_EQ(out.stdout_bytes.size(), 40u * 16384);
    EXPECT_EQ(out.stderr_bytes.size(), 40u * 16384);
    EXPECT_EQ(text(out.stdout_bytes).find_first_not_of('o'), std::string::npos);
    EXPECT_EQ(text(out.stderr_bytes).find_first_not_of('e'), std::string::npos);
}

TEST(Command, StreamSetups) {
    // output(): stdin is null, so a reader sees end of file at once.
    auto cat = rt::Command("/bin/cat").output();
    ASSERT_TRUE(cat.ok());
    EXPECT_TRUE(cat->status.success());
    EXPECT_TRUE(cat->stdout_bytes.empty());

    auto nulled =
        sh("echo out; echo err >&2", std::move(rt::Command("/bin/sh").stdout_(rt::Stdio::Null)));
    EXPECT_TRUE(nulled.stdout_bytes.empty());
    EXPECT_EQ(text(nulled.stderr_bytes), "err\n");

    auto piped_in = rt::Command("/bin/cat").stdin_(rt::Stdio::Piped).output();
    ASSERT_TRUE(piped_in.ok());
    EXPECT_TRUE(piped_in->status.success());

    // status() with piped output reads and discards it instead of blocking.
    auto discarded = rt::Command("/bin/sh")
                         .arg("-c")
                         .arg("head -c 200000 /dev/zero")
                         .stdout_(rt::Stdio::Piped)
                         .status();
    ASSERT_TRUE(discarded.ok());
    EXPECT_TRUE(discarded->success());
}

TEST(Command, OutputUntilStopsALateChildWithItsProcessGroup) {
    using namespace std::chrono_literals;
    struct Row {
        const char* script;
        bool timed_out;
        const char* status;
        const char* output;
    };
    const Row rows[] = {
        {"echo fast", false, "exit status: 0", "fast\n"},
        {"echo slow; exec sleep 30", true, "signal: 15 (SIGTERM)", "slow\n"},
        // SIGTERM ignored (sleep inherits that): SIGKILL once the grace is over.
        {"trap '' TERM; echo stubborn; sleep 30; echo unreached", true, "signal: 9 (SIGKILL)",
         "stubborn\n"},
        // The child itself is done, but what it left behind holds its output
        // open: the leftover goes, the child's own status stands.
        {"echo early; sleep 30 & exit 0", false, "exit status: 0", "early\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.script);
        const auto start = std::chrono::steady_clock::now();
        auto out = rt::Command("/bin/sh")
                       .arg("-c")
                       .arg(row.script)
                       .own_group(200ms)
                       .output_until(start + 300ms, 200ms);
        ASSERT_TRUE(out.ok()) << out.error().debug();
        EXPECT_EQ(out->timed_out, row.timed_out);
        EXPECT_EQ(out->output.status.to_string(), row.status);
        EXPECT_EQ(text(out->output.stdout_bytes), row.output);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    }
    // Inherited streams: only the process itself tells that it is still running.
    auto inherited = rt::Command("/bin/sleep")
                         .arg("30")
                         .stdout_(rt::Stdio::Inherit)
                         .output_until(std::chrono::steady_clock::now() + 100ms, 100ms);
    ASSERT_TRUE(inherited.ok());
    EXPECT_TRUE(inherited->timed_out);
}

TEST(Command, ChildStartsWithDefaultSignalsAndEmptyMask) {
    // Ignored and blocked here; the child must see neither.
    auto previous = std::signal(SIGINT, SIG_IGN);
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &block, &old);

    auto killed = rt::Command("/bin/sh").arg("-c").arg("kill -INT $$; exit 0").status();
    auto mask = sh("grep -E '^(SigBlk|SigIgn):' /proc/self/status");

    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    std::signal(SIGINT, previous);

    ASSERT_TRUE(killed.ok());
    EXPECT_EQ(killed->to_string(), "signal: 2 (SIGINT)");
    EXPECT_NE(text(mask.stdout_bytes).find("SigBlk:\t0000000000000000\n"), std::string::npos)
        << text(mask.stdout_bytes);
}

TEST(Command, OwnGroupChildren) {
    using std::chrono::milliseconds;
    // The child leads its group and receives only the descriptors it is given.
    const int kept = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int other = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const std::string probe = "cut -d' ' -f5 /proc/$$/stat; ls /proc/$$/fd";
    auto out =
        sh(probe, std::move(rt::Command("/bin/sh").own_group(milliseconds(0)).keep_fd(kept)));
    ::close(kept);
    ::close(other);
    std::istringstream lines(text(out.stdout_bytes));
    std::string group;
    std::getline(lines, group);
    EXPECT_NE(group, std::to_string(::getpgrp()));
    std::set<std::string> fds;
    for (std::string fd; std::getline(lines, fd);) {
        fds.insert(fd);
    }
    EXPECT_TRUE(fds.count(std::to_string(kept))) << text(out.stdout_bytes);
    EXPECT_FALSE(fds.count(std::to_string(other))) << text(out.stdout_bytes);

    // Killed when the thread that started it ends, even though another thread owns it.
    std::optional<rt::Child> orphan;
    std::thread([&] {
        orphan.emplace(
            std::move(*rt::Command("/bin/sleep").arg("30").own_group(milliseconds(0)).spawn()));
    }).join();
    auto orphan_status =
        orphan->wait_until(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    ASSERT_TRUE(orphan_status.ok());
    ASSERT_TRUE(orphan_status->has_value());
    EXPECT_EQ((*orphan_status)->signal(), SIGKILL);

    // A group that ignores SIGTERM: the deadline passes, the grace runs out,
    // and SIGKILL reaches the grandchild too.
    auto child = rt::Command("/bin/sh")
                     .arg("-c")
                     .arg("trap '' TERM; sleep 30 & echo $!; wait")
                     .stdout_(rt::Stdio::Piped)
                     .own_group(milliseconds(200))
                     .spawn();
    ASSERT_TRUE(child.ok()) << child.error().debug();
    char line[32] = {};
    ASSERT_GT(::read(child->pipe_fd(1), line, sizeof line - 1), 0);
    const pid_t grandchild = std::atoi(line);
    const auto start = std::chrono::steady_clock::now();
    auto running = child->wait_until(start + milliseconds(50));
    ASSERT_TRUE(running.ok());
    EXPECT_EQ(*running, std::nullopt);
    auto ended = child->terminate(milliseconds(200));
    ASSERT_TRUE(ended.ok());
    EXPECT_EQ(ended->signal(), SIGKILL);
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(250));
    EXPECT_TRUE(test::support::process_ended(grandchild, milliseconds(1000))) << grandchild;
    EXPECT_FALSE(child->wait().ok()) << "reaped once only";
}

}  // namespace
