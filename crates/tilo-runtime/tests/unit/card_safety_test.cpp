// The hardware_e2e program against hanging stand-ins, with real processes and
// real signals: the runner time limit, a harness ended by a signal, and two
// harnesses sharing the card through the host-wide lock file.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "process.hpp"
#include "support.hpp"

#ifndef HARDWARE_E2E_PROGRAM
#error "HARDWARE_E2E_PROGRAM must name the built hardware_e2e program"
#endif

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Pairs = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kVars[] = {
    "TILO_STANDIN_SLEEP_MS", "TILO_STANDIN_EXIT",   "TILO_STANDIN_SIGNAL",
    "TILO_STANDIN_MATCH",    "TILO_STANDIN_LOG",    "TILO_STANDIN_IGNORE_TERM",
    "TILO_STANDIN_CHILD",    "TILO_RUNNER_TIMEOUT", "TILO_RUNNER_KILL_GRACE",
    "TILO_DEVICE_LOCK",      "ZUNO_TEST_THREADS",   "ZUNO_TEST_NOCAPTURE",
};

/// A hanging fanout runner that starts a grandchild and names it on stderr.
const Pairs kHangingFanout = {{"TILO_STANDIN_SLEEP_MS", "600000"},
                              {"TILO_STANDIN_MATCH", "fanout"},
                              {"TILO_STANDIN_CHILD", "1"}};

std::string text(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

/// The pid in the stand-in's "grandchild <pid>" line, or 0.
pid_t grandchild_in(const std::string& err) {
    const auto at = err.find("grandchild ");
    return at == std::string::npos ? 0 : std::atoi(err.c_str() + at + 11);
}

class CardSafety : public ::testing::Test {
protected:
    void SetUp() override {
        env_.clear();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        base_ =
            ::testing::TempDir() + "card_safety." + std::to_string(getpid()) + "." + info->name();
        setenv("TILO_DEVICE_LOCK", (base_ + ".lock").c_str(), 1);
    }
    void TearDown() override {
        std::remove((base_ + ".lock").c_str());
        std::remove((base_ + ".log").c_str());
    }

    static rt::Command harness(const std::vector<std::string>& args, const Pairs& env) {
        rt::Command command(HARDWARE_E2E_PROGRAM);
        for (const auto& a : args) {
            command.arg(a);
        }
        for (const auto& [name, value] : env) {
            command.env(name, value);
        }
        return command;
    }

    test::support::EnvGuard env_{kVars};
    std::string base_;
};

TEST_F(CardSafety, AHangingRunnerIsEndedWithItsGroupAtTheTimeLimit) {
    const struct {
        const char* ignore_term;
        const char* grace;
        std::chrono::milliseconds at_least, below;
    } cases[] = {
        // SIGTERM ends it at once, long before the grace is over.
        {"0", "5", 1000ms, 3000ms},
        // It ignores SIGTERM: SIGKILL at the end of the grace.
        {"1", "1", 2000ms, 4000ms},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("TILO_STANDIN_IGNORE_TERM=") + c.ignore_term);
        Pairs env = kHangingFanout;
        env.insert(env.end(), {{"TILO_RUNNER_TIMEOUT", "1"},
                               {"TILO_RUNNER_KILL_GRACE", c.grace},
                               {"TILO_STANDIN_IGNORE_TERM", c.ignore_term}});
        const auto start = Clock::now();
        auto out = harness({"--test-threads", "2"}, env).output();
        const auto took = Clock::now() - start;
        ASSERT_TRUE(out.ok()) << out.error().debug();
        const std::string stdout_text = text(out->stdout_bytes);
        EXPECT_EQ(out->status.code(), 101);
        EXPECT_NE(stdout_text.find("\nlaunch direct multicast hardware test runner: runner timed "
                                   "out after 1 s\n"),
                  std::string::npos)
            << stdout_text;
        EXPECT_NE(stdout_text.find("test result: FAILED. 16 passed; 1 failed;"), std::string::npos)
            << stdout_text;
        EXPECT_GE(took, c.at_least);
        EXPECT_LT(took, c.below);
        const pid_t grandchild = grandchild_in(text(out->stderr_bytes));
        ASSERT_GT(grandchild, 0) << text(out->stderr_bytes);
        EXPECT_TRUE(test::support::process_ended(grandchild, 1000ms)) << grandchild;
    }
}

TEST_F(CardSafety, NoRunnerOutlivesAHarnessEndedBySignal) {
    const std::string lock = base_ + ".lock";
    const struct {
        int sig;
        const char* ignore_term;
        int second;  // a second signal 200 ms after the first, or 0
    } cases[] = {
        {SIGTERM, "0", 0},
        {SIGINT, "0", 0},
        // The runner ignores SIGTERM and the grace is 30 s: the second signal cuts it short.
        {SIGTERM, "1", SIGINT},
        {SIGKILL, "0", 0},
        // Crash signals: the crash report ends the groups before the process dies.
        {SIGSEGV, "0", 0},
        {SIGABRT, "0", 0},
    };
    // The crash rows must not leave core files behind.
    rlimit core{};
    ::getrlimit(RLIMIT_CORE, &core);
    core.rlim_cur = 0;
    ::setrlimit(RLIMIT_CORE, &core);
    for (const auto& [sig, ignore_term, second] : cases) {
        SCOPED_TRACE(std::string(rt::signal_name(sig)) + " ignore_term=" + ignore_term);
        Pairs env = kHangingFanout;
        env.insert(env.end(),
                   {{"TILO_STANDIN_IGNORE_TERM", ignore_term}, {"TILO_RUNNER_KILL_GRACE", "30"}});
        auto child = harness({"--test-threads", "1", "--exact", "direct_multicast_works"}, env)
                         .stdout_(rt::Stdio::Null)
                         .stderr_(rt::Stdio::Piped)
                         .spawn();
        ASSERT_TRUE(child.ok()) << child.error().debug();
        // Wait for the grandchild's line: the runner is running by then.
        std::string err;
        const auto give_up = Clock::now() + 10s;
        while (grandchild_in(err) == 0 || err.back() != '\n') {
            pollfd fd{child->pipe_fd(2), POLLIN, 0};
            char buffer[256];
            ASSERT_TRUE(Clock::now() < give_up) << "no grandchild line: " << err;
            if (::poll(&fd, 1, 100) > 0) {
                const ssize_t n = ::read(fd.fd, buffer, sizeof buffer);
                ASSERT_GT(n, 0) << err;
                err.append(buffer, static_cast<std::size_t>(n));
            }
        }
        const pid_t grandchild = grandchild_in(err);
        const pid_t runner = ::getpgid(grandchild);
        ASSERT_GT(runner, 0);
        EXPECT_NE(runner, child->id()) << "the runner leads a group of its own";
        // The card lock's descriptor reached the runner's group.
        bool holds_lock = false;
        for (const auto& fd :
             std::filesystem::directory_iterator("/proc/" + std::to_string(grandchild) + "/fd")) {
            std::error_code ignored;
            holds_lock = holds_lock || std::filesystem::read_symlink(fd, ignored) == lock;
        }
        EXPECT_TRUE(holds_lock);

        ASSERT_EQ(::kill(child->id(), sig), 0);
        if (second != 0) {
            std::this_thread::sleep_for(200ms);
            ASSERT_EQ(::kill(child->id(), second), 0);
        }
        auto status = child->wait_until(Clock::now() + 10s);
        ASSERT_TRUE(status.ok());
        ASSERT_TRUE(status->has_value()) << "the harness outlived the signal";
        EXPECT_EQ((*status)->signal(), sig);
        EXPECT_TRUE(test::support::process_ended(runner, 1000ms)) << runner;
        // After SIGKILL nothing could end the group: the grandchild is the test's to end.
        const bool ended = sig != SIGKILL && test::support::process_ended(grandchild, 1000ms);
        EXPECT_TRUE(ended || sig == SIGKILL) << "grandchild " << grandchild << " outlived it";
        if (!ended) {
            ::kill(grandchild, SIGKILL);
        }
    }
}

TEST_F(CardSafety, TwoHarnessesTakeTurnsWithTheCard) {
    const std::string log = base_ + ".log";
    for (bool shared_lock : {true, false}) {
        SCOPED_TRACE(shared_lock ? "shared lock file" : "TILO_DEVICE_LOCK=");
        std::remove(log.c_str());
        const Pairs env = {{"TILO_STANDIN_SLEEP_MS", "40"},
                           {"TILO_STANDIN_LOG", log},
                           {"TILO_DEVICE_LOCK", shared_lock ? base_ + ".lock" : ""}};
        const std::vector<std::string> args = {"--test-threads", "1", "randomized"};
        auto first = harness(args, env).stdout_(rt::Stdio::Null).spawn();
        auto second = harness(args, env).stdout_(rt::Stdio::Null).spawn();
        ASSERT_TRUE(first.ok() && second.ok());
        EXPECT_TRUE(first->wait()->success());
        EXPECT_TRUE(second->wait()->success());

        // name TAB start TAB end ...: sort the intervals by start.
        std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line);
            std::string name;
            std::uint64_t start = 0;
            std::uint64_t end = 0;
            fields >> name >> start >> end;
            calls.emplace_back(start, end);
        }
        ASSERT_EQ(calls.size(), 12u);
        std::sort(calls.begin(), calls.end());
        int overlaps = 0;
        for (std::size_t i = 1; i < calls.size(); ++i) {
            overlaps += calls[i - 1].second > calls[i].first ? 1 : 0;
        }
        if (shared_lock) {
            EXPECT_EQ(overlaps, 0);
        } else {
            EXPECT_GT(overlaps, 0) << "without the host lock the two runs overlap";
        }
    }
}

}  // namespace
