// hostile_fixture: a test program whose tests misbehave the way real ones do:
// they end the process, crash, overflow their stack, print past the harness
// through descriptor 1 and flood their capture. The end-to-end tests pick one
// or a few of them by exact name and check that the harness reports them.

#include <pthread.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "io.hpp"
#include "panic.hpp"
#include "process.hpp"
#include "start.hpp"
#include "text.hpp"
#include "entry.hpp"
#include "types.hpp"

namespace {

using test::BodyResult;

// Set once exit::a_partner runs, so that exit::zero exits while both run.
std::atomic<bool> PARTNER_RUNNING{false};

BodyResult partner_waits() {
    PARTNER_RUNNING = true;
    std::this_thread::sleep_for(std::chrono::seconds(30));
    return BodyResult::ok();
}

BodyResult exits_with_zero() {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!PARTNER_RUNNING && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::exit(0);
}

// With HOSTILE_EXIT_THREAD set, the test ends its own thread instead.
BodyResult quick_exits() {
    if (rt::env_var("HOSTILE_EXIT_THREAD")) {
        rt::print("ending its own thread\n");
        pthread_exit(nullptr);
    }
    std::quick_exit(0);
}

BodyResult aborts() {
    rt::print("captured before the abort\n");
    std::abort();
}

BodyResult terminates() {
    rt::print("captured before terminate\n");
    std::terminate();
}

// Deep enough to leave any stack; each frame holds a kilobyte the optimiser
// cannot drop.
volatile std::size_t RECURSION_LIMIT = std::size_t(1) << 40;
[[gnu::noinline]] std::size_t recurse(std::size_t depth) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    if (depth >= RECURSION_LIMIT) {
        return 0;
    }
    return recurse(depth + 1) + static_cast<std::size_t>(frame[0]);
}

BodyResult overflows() {
    rt::print("captured before the overflow\n");
    return recurse(0) == 0 ? BodyResult::ok() : BodyResult::fail("unreachable");
}

// Writes straight to descriptor 1 from every side a test can: a child
// process, the C library, and a plain std::thread.
BodyResult stray_output() {
    std::printf("stray printf from the test\n");
    std::fflush(stdout);
    std::thread([] {
        std::printf("stray printf from a plain thread\n");
        std::fflush(stdout);
    }).join();
    rt::Command child("/bin/sh");
    child.arg("-c").arg("echo stray line from a child; echo '{\"event\": \"fake\"}'");
    auto status = child.status();
    return status.ok() ? BodyResult::ok() : BodyResult::fail("could not start /bin/sh");
}

// Prints HOSTILE_FLOOD_MIB MiB (200 by default) in 64 KiB pieces, then fails,
// so that every format shows the captured output.
BodyResult floods() {
    std::size_t mib = 200;
    if (auto text = rt::env_var("HOSTILE_FLOOD_MIB")) {
        mib = std::stoul(*text);
    }
    std::string piece(64 * 1024, 'x');
    piece.back() = '\n';
    for (std::size_t i = 0; i < mib * 16; ++i) {
        rt::print(piece);
    }
    rt::panic("flooded");
}

BodyResult passes() {
    return BodyResult::ok();
}

std::vector<test::TestDescAndFn> hostile_tests() {
    struct Entry {
        std::string_view name;
        BodyResult (*body)();
    };
    const Entry entries[] = {
        {"crash::abort", aborts},         {"crash::overflow", overflows},
        {"crash::terminate", terminates}, {"exit::a_partner", partner_waits},
        {"exit::quick", quick_exits},     {"exit::zero", exits_with_zero},
        {"flood::output", floods},        {"pass::quiet", passes},
        {"stray::output", stray_output},
    };
    std::vector<test::TestDescAndFn> tests;
    std::uint64_t line = 10;
    for (const Entry& e : entries) {
        test::TestDesc desc;
        desc.name = test::TestName::static_name(e.name);
        desc.source_path = "library/test/tests/hostile_fixture";
        desc.start_line = line;
        desc.start_col = 4;
        desc.end_line = line;
        desc.end_col = 4 + e.name.size();
        desc.test_type = test::TestType::Integration;
        tests.push_back(test::TestDescAndFn{std::move(desc), test::StaticTestBody{e.body}});
        line += 10;
    }
    return tests;
}

void hostile_main() {
    test::test_main(rt::args(), hostile_tests(), std::nullopt);
}

}  // namespace

int main(int argc, char** argv) {
    return rt::lang_start(argc, argv, hostile_main);
}
