// harness_fixture: a test program on the harness that exercises what the
// device suite cannot reach: every body kind, ignored and should-panic tests,
// failures of every shape, captured output from child threads, benchmarks,
// unusual names and an aborting test. Its tests are listed in stored order.

#include <chrono>
#include <cstdint>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "io.hpp"
#include "panic.hpp"
#include "start.hpp"
#include "text.hpp"
#include "thread.hpp"
#include "entry.hpp"
#include "stats.hpp"
#include "types.hpp"

namespace {

using test::BodyResult;
using test::ShouldPanic;
using test::TestDesc;
using test::TestDescAndFn;
using test::TestFn;
using test::TestType;

BodyResult abort_in_noexcept() {
    rt::print("about to abort\n");
    rt::panic_nounwind("the fixture aborts here");
}

BodyResult bench_static_silent(test::Bencher&) {
    return BodyResult::ok();
}

BodyResult passes() {
    return BodyResult::ok();
}

BodyResult fail_exit_code() {
    return test::assert_test_result(3);
}

BodyResult fail_invalid_utf8() {
    rt::print(
        "a\xff"
        "b\n");
    rt::panic("bad bytes");
}

BodyResult fail_panics() {
    rt::print("out line\n");
    rt::eprint("err line\n");
    rt::panic("boom");
}

BodyResult pass_prints() {
    std::cout << "hello from pass::prints\n";
    return BodyResult::ok();
}

BodyResult panics_anything() {
    rt::panic("anything");
}
BodyResult panics_big_boom() {
    rt::panic("big boom");
}
BodyResult panics_fizzle() {
    rt::panic("fizzle <&> \"q\"");
}
BodyResult panics_integer() {
    rt::panic_any(rt::Payload::any(42));
}

BodyResult slow_sleeps() {
    std::uint64_t ms = 0;
    if (auto v = rt::env_var("FIXTURE_SLEEP_MS")) {
        ms = std::stoull(*v);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return BodyResult::ok();
}

BodyResult special_escapes() {
    rt::print("tab\tesc\x1b del\x7f quote\" back\\ \xc3\xa9\n");
    rt::panic("escapes");
}

BodyResult thread_output() {
    auto started = rt::spawn_thread("fixture-child", rt::min_stack_size(),
                                    [] { rt::print("from a child thread\n"); });
    if (auto* handle = std::get_if<rt::JoinHandle>(&started)) {
        if (handle->join()) {
            return BodyResult::fail("child thread panicked");
        }
        return BodyResult::ok();
    }
    return BodyResult::fail("could not start the child thread");
}

BodyResult bench_boxed_records(test::Bencher& b) {
    const double samples[] = {1200.0, 1234.5, 1300.0};
    b.summary = test::Summary::from(samples);
    b.bytes = 2048;
    return BodyResult::ok();
}

struct Entry {
    std::string_view name;
    TestType type;
    TestFn body;
    bool ignore;
    std::optional<std::string_view> ignore_message;
    ShouldPanic should_panic;
};

std::vector<TestDescAndFn> fixture_tests() {
    using test::StaticBenchBody;
    using test::StaticTestBody;
    const TestType integ = TestType::Integration;
    const ShouldPanic expected = ShouldPanic::expected();
    const ShouldPanic with_boom = ShouldPanic::expected_with_message("boom");
    std::vector<Entry> entries;
    auto add = [&](std::string_view name, TestType type, TestFn body, bool ignore = false,
                   std::optional<std::string_view> message = std::nullopt,
                   ShouldPanic should_panic = ShouldPanic::not_expected()) {
        entries.push_back(Entry{name, type, std::move(body), ignore, message, should_panic});
    };
    add("abort::in_noexcept", integ, StaticTestBody{abort_in_noexcept}, true, "aborts the process");
    add("bench::boxed_records", integ,
        test::BoxedBenchBody{[](test::Bencher& b) { return bench_boxed_records(b); }});
    add("bench::static_silent", integ, StaticBenchBody{bench_static_silent});
    add("doc/example - add (line 7)", TestType::Doc, StaticTestBody{passes});
    add("fail::exit_code", integ, StaticTestBody{fail_exit_code});
    add("fail::invalid_utf8", integ, StaticTestBody{fail_invalid_utf8});
    add("fail::panics", integ, StaticTestBody{fail_panics});
    add("ignore::with_message", integ, StaticTestBody{passes}, true, "needs a card");
    add("ignore::without_message", integ, StaticTestBody{passes}, true);
    add("pass::prints", integ, StaticTestBody{pass_prints});
    add("pass::quiet", integ, StaticTestBody{passes});
    add("pass::thread_output", integ, test::BoxedTestBody{thread_output});
    add("should_panic::any", integ, StaticTestBody{panics_anything}, false, {}, expected);
    add("should_panic::did_not_panic", integ, StaticTestBody{passes}, false, {}, expected);
    add("should_panic::message_matches", integ, StaticTestBody{panics_big_boom}, false, {},
        with_boom);
    add("should_panic::message_mismatch", integ, StaticTestBody{panics_fizzle}, false, {},
        with_boom);
    add("should_panic::non_string_payload", integ, StaticTestBody{panics_integer}, false, {},
        with_boom);
    add("slow::sleeps", integ, StaticTestBody{slow_sleeps});
    add("special::escapes", integ, StaticTestBody{special_escapes});
    add("special::quote\"back\\slash", integ, StaticTestBody{passes});
    add("special::unicode_\xe5\x90\x8d\xe5\x89\x8d", integ, StaticTestBody{passes});
    add("unclassified_case", TestType::Unclassified, StaticTestBody{passes});
    add("unit::module::case", TestType::Unit, StaticTestBody{passes});

    std::vector<TestDescAndFn> tests;
    std::uint64_t line = 10;
    for (auto& e : entries) {
        TestDesc desc;
        desc.name = test::TestName::static_name(e.name);
        desc.ignore = e.ignore;
        desc.ignore_message = e.ignore_message;
        desc.source_path = "library/test/tests/harness_fixture";
        desc.start_line = line;
        desc.start_col = 4;
        desc.end_line = line;
        desc.end_col = 4 + e.name.size();
        desc.should_panic = e.should_panic;
        desc.test_type = e.type;
        tests.push_back(TestDescAndFn{std::move(desc), std::move(e.body)});
        line += 10;
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
