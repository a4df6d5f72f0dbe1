#pragma once
// The harness for your own tests: registration, assertions and the entry.
//
//     #include <zuno/test.hpp>
//
//     ZUNO_TEST("tiles::round_trip") {
//         ZUNO_ASSERT_EQ(decode(encode(7)), 7);
//     }
//     ZUNO_TEST("tiles::rejects_empty", zuno::should_panic_with("empty")) { decode({}); }
//     ZUNO_TEST("tiles::on_card", zuno::ignore_because("needs a card")) { /* ... */ }
//     ZUNO_BENCH("tiles::encode", b) { b.iter([] { return encode(7); }); }
//
// Link zuno::test_main for a ready-made main, or call zuno::run(argc, argv) from
// your own. Registration runs during static initialisation, before main, into a
// registry built on first use; tests are sorted by name when the run starts, and
// two tests with one name end the run before any test starts.
//
// Tests fail by panicking: an assertion below, or any escaping exception. A
// panicking test fails on its own thread; the other tests go on.
//
// Registrations in a static library are dropped by the linker unless the
// library is linked whole ($<LINK_LIBRARY:WHOLE_ARCHIVE,lib>) or is an OBJECT
// library: nothing else refers to an object file that only registers tests.

#include <chrono>
#include <concepts>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "body_result.hpp"

namespace zuno {

class Bencher;

namespace detail {

/// The harness's side of a benchmark body: how to run it and what it measured.
struct HarnessBencher;

/// The attributes of one test, as the attribute values below fill them in.
struct TestSpec {
    bool ignore = false;
    std::optional<std::string> ignore_reason;
    enum class Panics : std::uint8_t { No, Any, WithText } should_panic = Panics::No;
    std::string panic_text;
    bool unit = false;
};

}  // namespace detail

// Attributes of a test, given after its name in any order.

/// The test is skipped unless ignored tests are asked for (--ignored).
struct Ignore {
    void apply(detail::TestSpec& s) const { s.ignore = true; }
};
inline constexpr Ignore ignore{};

/// As `ignore`, with the reason shown beside the skipped test.
struct IgnoreBecause {
    std::string reason;
    void apply(detail::TestSpec& s) const {
        s.ignore = true;
        s.ignore_reason = reason;
    }
};
inline IgnoreBecause ignore_because(std::string reason) {
    return {std::move(reason)};
}

/// The test passes only if it panics.
struct ShouldPanic {
    void apply(detail::TestSpec& s) const { s.should_panic = detail::TestSpec::Panics::Any; }
};
inline constexpr ShouldPanic should_panic{};

/// The test passes only if it panics with a message containing `text`.
struct ShouldPanicWith {
    std::string text;
    void apply(detail::TestSpec& s) const {
        s.should_panic = detail::TestSpec::Panics::WithText;
        s.panic_text = text;
    }
};
inline ShouldPanicWith should_panic_with(std::string text) {
    return {std::move(text)};
}

/// Test types; they choose the time thresholds (ZUNO_TEST_TIME_UNIT or
/// ZUNO_TEST_TIME_INTEGRATION). A test is an integration test unless marked.
struct Unit {
    void apply(detail::TestSpec& s) const { s.unit = true; }
};
inline constexpr Unit unit{};
struct Integration {
    void apply(detail::TestSpec& s) const { s.unit = false; }
};
inline constexpr Integration integration{};

/// Anything that can stand after a test's name.
template <typename A>
concept Attribute = requires(const A& a, detail::TestSpec& s) {
    a.apply(s);
};

/// What a benchmark body receives. `iter(f)` measures `f`: it runs it in
/// batches for about one second in all and records nanoseconds per iteration
/// of every batch; the harness reports their summary. Set `bytes` to the
/// number of bytes one call of `f` processes to get a throughput figure. When
/// benchmarks run as tests (without --bench), `iter` calls `f` once.
class Bencher {
public:
    std::uint64_t bytes = 0;

    template <typename F>
    void iter(F&& f) {
        using Fn = std::remove_reference_t<F>;
        run_batches(const_cast<void*>(static_cast<const void*>(std::addressof(f))),
                    [](void* ctx, std::uint64_t n) -> std::uint64_t {
                        Fn& fn = *static_cast<Fn*>(ctx);
                        const auto start = std::chrono::steady_clock::now();
                        for (std::uint64_t i = 0; i < n; ++i) {
                            if constexpr (std::is_void_v<decltype(fn())>) {
                                fn();
                            } else {
                                keep(fn());
                            }
                        }
                        const auto elapsed = std::chrono::steady_clock::now() - start;
                        return static_cast<std::uint64_t>(
                            std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
                    });
    }

    /// Nanoseconds per iteration of each measured batch, in the order run.
    [[nodiscard]] const std::vector<double>& samples() const { return samples_; }

    explicit Bencher(bool single_run) : single_run_(single_run) {}

private:
    using Batch = std::uint64_t (*)(void* ctx, std::uint64_t iterations);
    /// Runs `batch` with growing iteration counts, then measures (see bencher.cpp).
    void run_batches(void* ctx, Batch batch);

    /// Keeps the optimiser from discarding a result the workload computes.
    template <typename T>
    static void keep(T&& value) {
#if defined(__GNUC__)
        asm volatile("" : : "r"(std::addressof(value)) : "memory");
#else
        static_cast<void>(value);
#endif
    }

    bool single_run_;
    std::vector<double> samples_;
};

namespace detail {

using TestBody = BodyResult (*)();
using BenchBody = BodyResult (*)(HarnessBencher&);

void add_test(std::string name, const std::source_location& loc, TestSpec traits, TestBody body);
void add_bench(std::string name, const std::source_location& loc, BenchBody body);
void add_dynamic_test(std::string name, const std::source_location& loc, TestSpec traits,
                      std::function<void()> body);
/// Runs a benchmark body with a public Bencher and hands its measurements to `b`.
BodyResult run_bench(HarnessBencher& b, void (*body)(zuno::Bencher&));

/// The plain functions the harness calls for registered bodies.
template <void (*Body)()>
BodyResult call_test() {
    Body();
    return BodyResult::ok();
}
template <void (*Body)(zuno::Bencher&)>
BodyResult call_bench(HarnessBencher& b) {
    return run_bench(b, Body);
}

/// The namespace-scope object each ZUNO_TEST declares; its constructor registers the test.
struct TestRegistrar {
    template <Attribute... A>
    TestRegistrar(std::string_view name, TestBody body, const std::source_location& loc,
                  const A&... attributes) {
        TestSpec traits;
        (attributes.apply(traits), ...);
        add_test(std::string(name), loc, std::move(traits), body);
    }
};
struct BenchRegistrar {
    BenchRegistrar(std::string_view name, BenchBody body, const std::source_location& loc) {
        add_bench(std::string(name), loc, body);
    }
};

/// A test name with the location of the call that names it.
struct NamedHere {
    std::string name;
    std::source_location loc;
    template <std::convertible_to<std::string_view> S>
    NamedHere(const S& text, std::source_location l = std::source_location::current())
        : name(std::string_view(text)), loc(l) {}
};

/// A value as an assertion prints it: through operator<< when the type has one.
struct Shown {
    const void* value = nullptr;
    void (*print)(std::ostream&, const void*) = nullptr;
};
template <typename T>
Shown show(const T& value) {
    if constexpr (requires(std::ostream & os) { os << value; }) {
        return {std::addressof(value),
                [](std::ostream& os, const void* p) { os << *static_cast<const T*>(p); }};
    } else {
        return {};
    }
}

[[noreturn]] void fail_assertion(std::string message, const std::source_location& loc);
[[noreturn]] void fail_comparison(const char* op, Shown left, Shown right,
                                  const std::source_location& loc);

}  // namespace detail

/// Registers a test at run time (for generated tests), before zuno::run starts
/// the run. The body is an owned callable, which a child process cannot
/// re-create: --isolate refuses to run such a test.
template <Attribute... A>
void register_test(detail::NamedHere name, std::function<void()> body, const A&... attributes) {
    detail::TestSpec traits;
    (attributes.apply(traits), ...);
    detail::add_dynamic_test(std::move(name.name), name.loc, std::move(traits), std::move(body));
}

/// Runs the registered tests with the process's command line (see --help) and
/// returns the exit status: 0 when every selected test passed, 101 otherwise.
int run(int argc, char** argv);

}  // namespace zuno

#define ZUNO_DETAIL_CAT2(a, b) a##b
#define ZUNO_DETAIL_CAT(a, b) ZUNO_DETAIL_CAT2(a, b)

/// ZUNO_TEST("name", attributes...) { body } registers a test; the body returns nothing.
#define ZUNO_TEST(...) ZUNO_DETAIL_TEST(ZUNO_DETAIL_CAT(zuno_test_body_, __COUNTER__), __VA_ARGS__)
#define ZUNO_DETAIL_TEST(fn, name, ...)                                         \
    static void fn();                                                           \
    static const ::zuno::detail::TestRegistrar ZUNO_DETAIL_CAT(fn, _registrar){ \
        name, &::zuno::detail::call_test<&fn>,                                  \
        ::std::source_location::current() __VA_OPT__(, ) __VA_ARGS__};          \
    static void fn()

/// ZUNO_BENCH("name", b) { body } registers a benchmark; `b` is its zuno::Bencher&.
#define ZUNO_BENCH(name, b) \
    ZUNO_DETAIL_BENCH(ZUNO_DETAIL_CAT(zuno_bench_body_, __COUNTER__), name, b)
#define ZUNO_DETAIL_BENCH(fn, name, b)                                              \
    static void fn(::zuno::Bencher&);                                               \
    static const ::zuno::detail::BenchRegistrar ZUNO_DETAIL_CAT(fn, _registrar){    \
        name, &::zuno::detail::call_bench<&fn>, ::std::source_location::current()}; \
    static void fn(::zuno::Bencher& b)

/// ZUNO_ASSERT(cond) or ZUNO_ASSERT(cond, message): fails the test unless `cond`
/// holds, with "assertion failed: <cond>" or the message.
#define ZUNO_ASSERT(...) \
    ZUNO_DETAIL_PICK(__VA_ARGS__, ZUNO_DETAIL_ASSERT_MSG, ZUNO_DETAIL_ASSERT_COND, )(__VA_ARGS__)
#define ZUNO_DETAIL_PICK(a1, a2, chosen, ...) chosen
#define ZUNO_DETAIL_ASSERT_COND(cond)                                          \
    do {                                                                       \
        if (!static_cast<bool>(cond)) {                                        \
            ::zuno::detail::fail_assertion("assertion failed: " #cond,         \
                                           ::std::source_location::current()); \
        }                                                                      \
    } while (false)
#define ZUNO_DETAIL_ASSERT_MSG(cond, message)                                  \
    do {                                                                       \
        if (!static_cast<bool>(cond)) {                                        \
            ::zuno::detail::fail_assertion(::std::string(message),             \
                                           ::std::source_location::current()); \
        }                                                                      \
    } while (false)

/// ZUNO_ASSERT_EQ(a, b) / ZUNO_ASSERT_NE(a, b): fail unless a == b (a != b),
/// showing both values. Each operand is evaluated once.
#define ZUNO_ASSERT_EQ(left, right) ZUNO_DETAIL_ASSERT_BINARY(left, right, ==)
#define ZUNO_ASSERT_NE(left, right) ZUNO_DETAIL_ASSERT_BINARY(left, right, !=)
#define ZUNO_DETAIL_ASSERT_BINARY(left, right, op)                                 \
    do {                                                                           \
        const auto& zuno_left_ = (left);                                           \
        const auto& zuno_right_ = (right);                                         \
        if (!(zuno_left_ op zuno_right_)) {                                        \
            ::zuno::detail::fail_comparison(#op, ::zuno::detail::show(zuno_left_), \
                                            ::zuno::detail::show(zuno_right_),     \
                                            ::std::source_location::current());    \
        }                                                                          \
    } while (false)
