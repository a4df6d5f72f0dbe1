// isolation_fixture: a test program on the harness whose tests end badly in
// the ways only a child process of its own survives: an abort, a memory fault,
// an early exit(0) and a hang, beside tests that pass and one that panics.
// Run it with --isolate (and --test-timeout for the hang); without isolation
// only the hang and the ordinary tests may be selected.

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string_view>
#include <thread>
#include <vector>

#include "io.hpp"
#include "panic.hpp"
#include "start.hpp"
#include "text.hpp"
#include "entry.hpp"
#include "types.hpp"

namespace {

using test::BodyResult;

// Crashing children leave no core files behind.
void no_core_files() {
    const rlimit none{0, 0};
    (void)::setrlimit(RLIMIT_CORE, &none);
}

BodyResult aborts() {
    no_core_files();
    rt::print("about to abort\n");
    std::abort();
}

BodyResult faults() {
    no_core_files();
    rt::print("about to fault\n");
    // A store to a page that may not be written: a real memory fault.
    void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) {
        return BodyResult::fail("mmap failed");
    }
    *static_cast<volatile int*>(page) = 1;
    return BodyResult::ok();
}

BodyResult exits_early() {
    rt::print("leaving early\n");
    std::exit(0);
}

BodyResult hangs() {
    rt::print("hanging\n");
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

BodyResult panics() {
    rt::print("out line\n");
    rt::panic("boom");
}

BodyResult passes() {
    return BodyResult::ok();
}

BodyResult prints() {
    rt::print("hello from pass::prints\n");
    rt::eprint("and its standard error\n");
    return BodyResult::ok();
}

std::vector<test::TestDescAndFn> fixture_tests() {
    struct Entry {
        std::string_view name;
        test::StaticTestFn body;
    };
    const Entry entries[] = {
        {"crash::aborts", aborts}, {"crash::exits_early", exits_early},
        {"crash::faults", faults}, {"fail::panics", panics},
        {"hang::forever", hangs},  {"pass::prints", prints},
        {"pass::quiet", passes},
    };
    std::vector<test::TestDescAndFn> tests;
    for (const Entry& e : entries) {
        test::TestDesc desc;
        desc.name = test::TestName::static_name(e.name);
        desc.source_path = "library/test/tests/isolation_fixture";
        desc.test_type = test::TestType::Integration;
        tests.push_back(test::TestDescAndFn{std::move(desc), test::StaticTestBody{e.body}});
    }
    return tests;
}

void fixture_main() {
    test::test_main(rt::args(), fixture_tests(), std::nullopt);
}

}  // namespace

int main(int argc, char** argv) {
    return rt::lang_start(argc, argv, fixture_main);
}
