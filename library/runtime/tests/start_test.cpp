// Process start: exit status from how the main function ended.
#include "start.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <stdexcept>
#include <string>

#include "io.hpp"
#include "panic.hpp"
#include "text.hpp"
#include "thread.hpp"
#include "support.hpp"

namespace {

std::string seen_name;

struct Run {
    int status;
    std::string output;
};

Run start(void (*main_fn)()) {
    test::support::Capture capture;
    char arg0[] = "program";
    char arg1[] = "--flag";
    char* argv[] = {arg0, arg1, nullptr};
    const int status = rt::lang_start(2, argv, main_fn);
    return {status, capture.text()};
}

TEST(LangStart, ExitStatusFollowsHowMainEnded) {
    auto ok = start([] {
        seen_name = rt::current_thread_name();
        rt::print(rt::args()[1]);
    });
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.output, "--flag");
    EXPECT_EQ(seen_name, "main");

    auto panicked = start([] { rt::panic("main failed"); });
    EXPECT_EQ(panicked.status, 101);
    EXPECT_NE(panicked.output.find("\nthread 'main' ("), std::string::npos);
    EXPECT_NE(panicked.output.find(":\nmain failed\n"), std::string::npos) << panicked.output;

    auto threw = start([] { throw std::runtime_error("escaped exception"); });
    EXPECT_EQ(threw.status, 101);
    EXPECT_NE(threw.output.find(":\nescaped exception\n"), std::string::npos) << threw.output;

    auto odd = start([] { throw 3.5; });
    EXPECT_EQ(odd.status, 101);
    EXPECT_NE(odd.output.find(":\nBox<dyn Any>\n"), std::string::npos) << odd.output;

    // SIGPIPE is ignored afterwards, so a closed pipe is an error value.
    EXPECT_EQ(std::signal(SIGPIPE, SIG_IGN), SIG_IGN);
}

}  // namespace
