// The public assertion and check forms' failure reports, the body wrapper that
// counts failed checks and catches a skip, and the running test's name. A
// failed assertion raises a panic located at the assertion, so the report
// names the test's own file, line and column; a failed check writes the same
// report without ending the test.

#include <cxxabi.h>

#include <charconv>
#include <exception>
#include <functional>
#include <sstream>
#include <string>
#include <utility>

#include "current_test.hpp"
#include "panic.hpp"
#include <zuno/test.hpp>

namespace test {

namespace {

thread_local std::string_view CURRENT_TEST_NAME;

}  // namespace

CurrentTest::CurrentTest(std::string_view name) : previous_(CURRENT_TEST_NAME) {
    CURRENT_TEST_NAME = name;
}

CurrentTest::~CurrentTest() {
    CURRENT_TEST_NAME = previous_;
}

}  // namespace test

namespace zuno {

std::string_view current_test_name() {
    return test::CURRENT_TEST_NAME;
}

namespace detail {

namespace {

/// The failed checks of the body running on this thread; none outside a body.
thread_local std::size_t* FAILED_CHECKS = nullptr;

/// What ZUNO_SKIP throws; run_body catches it.
struct SkipRequest {
    std::string reason;
};

std::string text_of(const Shown& v) {
    if (v.print == nullptr) {
        return "<unprintable>";
    }
    std::ostringstream out;
    v.print(out, v.value);
    return std::move(out).str();
}

std::string comparison_message(const char* op, const Shown& left, const Shown& right) {
    return std::string("assertion `left ") + op + " right` failed\n  left: " + text_of(left) +
           "\n right: " + text_of(right);
}

// The shortest text that reads back as the same value.
template <typename F>
std::string shortest(F value) {
    char buf[64];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

template <typename F>
std::string near_message(const Near<F>& n) {
    return "assertion `|left - right| <= tolerance` failed\n  left: " + shortest(n.left) +
           "\n right: " + shortest(n.right) + "\n  diff: " + shortest(n.diff) +
           "\n tolerance: " + shortest(n.tolerance);
}

std::string throws_message(const char* expr, const char* type, const Thrown& t) {
    std::string m = std::string("assertion failed: `") + expr + "` ";
    if (t.other) {
        return m + "threw " + *t.other + " instead of " + type;
    }
    return m + "did not throw " + (type != nullptr ? type : "an exception");
}

std::string no_throw_message(const char* expr, const Thrown& t) {
    return std::string("assertion failed: `") + expr + "` threw " + t.other.value_or("");
}

// Writes a failed check's report, in the form of a panic's, and counts it. On
// a thread that runs no test body the check cannot be counted: it fails as
// an assertion does, so that it is never lost.
void report_check(std::string message, const std::source_location& loc) {
    if (FAILED_CHECKS == nullptr) {
        rt::panic(std::move(message), loc);
    }
    ++*FAILED_CHECKS;
    const rt::Payload payload = rt::Payload::owned(std::move(message));
    rt::default_hook(rt::PanicInfo{payload, rt::Location::from(loc), true});
}

// Runs a body with its failed checks counted, and turns a skip into its result.
template <typename Body>
BodyResult run_counted(const Body& body) {
    std::size_t failed = 0;
    struct Scope {
        std::size_t* previous;
        explicit Scope(std::size_t* counter) : previous(std::exchange(FAILED_CHECKS, counter)) {}
        ~Scope() { FAILED_CHECKS = previous; }
    } scope(&failed);
    try {
        body();
    } catch (SkipRequest& skip) {
        if (failed == 0) {
            return BodyResult::skipped(std::move(skip.reason));
        }
    }
    return failed == 0 ? BodyResult::ok() : BodyResult::checks_failed(failed);
}

}  // namespace

BodyResult run_body(void (*body)()) {
    return run_counted(body);
}

BodyResult run_body(const std::function<void()>& body) {
    return run_counted(body);
}

void skip(std::string reason) {
    if (FAILED_CHECKS == nullptr) {
        rt::panic("ZUNO_SKIP outside a test body: " + reason);
    }
    throw SkipRequest{std::move(reason)};
}

RT_PASSES_FORCED_UNWIND
void teardown_after_failure(void (*teardown)(void*), void* fixture) {
    try {
        teardown(fixture);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        // Reported (a panic by its hook, anything else here); the body's
        // failure stays the test's.
        static_cast<void>(rt::payload_of_current_exception());
    }
}

RT_PASSES_FORCED_UNWIND
void Thrown::describe_current() {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (rt::Panic&) {
        throw;
    } catch (SkipRequest&) {
        throw;
    } catch (const std::exception& e) {
        other = e.what();
    } catch (...) {
        other = "an exception of unknown type";
    }
}

void Thrown::accept_current() {
    describe_current();
    expected = true;
    other.reset();
}

void fail_assertion(std::string message, const std::source_location& loc) {
    rt::panic(std::move(message), loc);
}

void fail_comparison(const char* op, Shown left, Shown right, const std::source_location& loc) {
    rt::panic(comparison_message(op, left, right), loc);
}

void fail_near(const Near<float>& n, const std::source_location& loc) {
    rt::panic(near_message(n), loc);
}

void fail_near(const Near<double>& n, const std::source_location& loc) {
    rt::panic(near_message(n), loc);
}

void fail_near(const Near<long double>& n, const std::source_location& loc) {
    rt::panic(near_message(n), loc);
}

void fail_throws(const char* expr, const char* type, const Thrown& t,
                 const std::source_location& loc) {
    rt::panic(throws_message(expr, type, t), loc);
}

void fail_no_throw(const char* expr, const Thrown& t, const std::source_location& loc) {
    rt::panic(no_throw_message(expr, t), loc);
}

void check_assertion(std::string message, const std::source_location& loc) {
    report_check(std::move(message), loc);
}

void check_comparison(const char* op, Shown left, Shown right, const std::source_location& loc) {
    report_check(comparison_message(op, left, right), loc);
}

void check_near(const Near<float>& n, const std::source_location& loc) {
    report_check(near_message(n), loc);
}

void check_near(const Near<double>& n, const std::source_location& loc) {
    report_check(near_message(n), loc);
}

void check_near(const Near<long double>& n, const std::source_location& loc) {
    report_check(near_message(n), loc);
}

void check_throws(const char* expr, const char* type, const Thrown& t,
                  const std::source_location& loc) {
    report_check(throws_message(expr, type, t), loc);
}

void check_no_throw(const char* expr, const Thrown& t, const std::source_location& loc) {
    report_check(no_throw_message(expr, t), loc);
}

}  // namespace detail

}  // namespace zuno
