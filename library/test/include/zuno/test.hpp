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
//     struct Card { Device dev{open_stand_in()}; };        // setup and teardown
//     ZUNO_TEST_F(Card, "card::resets") { ZUNO_CHECK_EQ(dev.reset(), 0); }
//     ZUNO_TEST_TABLE("tiles::decodes", (int n), {0, 1, zuno::row("max", 255)}) {
//         ZUNO_ASSERT_LE(decode(encode(n)), 255);
//     }
//
// Link zuno::test_main for a ready-made main, or call zuno::run(argc, argv) from
// your own. Registration runs during static initialisation, before main, into a
// registry built on first use; tests are sorted by name when the run starts, and
// two tests with one name end the run before any test starts.
//
// Tests fail by panicking: an assertion below, or any escaping exception. A
// panicking test fails on its own thread; the other tests go on. A failed
// check (ZUNO_CHECK...) reports at once and lets the test go on; the test then
// fails when its body ends.
//
// Registrations in a static library are dropped by the linker unless the
// library is linked whole ($<LINK_LIBRARY:WHOLE_ARCHIVE,lib>) or is an OBJECT
// library: nothing else refers to an object file that only registers tests.

#include <chrono>
#include <concepts>
#include <cstdint>
#include <functional>
#include <initializer_list>
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
    /// The test's own time limit in seconds (zuno::timeout).
    std::optional<double> timeout;
    std::vector<std::string> tags;
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

/// A time limit of the test's own, in seconds (integer or not): the test fails
/// as under --test-timeout when it runs longer. With --test-timeout as well,
/// the smaller limit applies.
struct Timeout {
    double seconds;
    void apply(detail::TestSpec& s) const { s.timeout = seconds; }
};
inline Timeout timeout(double seconds) {
    return {seconds};
}

/// Labels of the test: listed in the JSON listing ("tags") and set as CTest
/// LABELS by zuno_discover_tests, so that `ctest -L <tag>` selects the test.
struct Tags {
    std::vector<std::string> names;
    void apply(detail::TestSpec& s) const {
        s.tags.insert(s.tags.end(), names.begin(), names.end());
    }
};
template <std::convertible_to<std::string_view>... S>
Tags tags(const S&... names) {
    return {{std::string(std::string_view(names))...}};
}

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
/// A row of a table test: `context` is the row's value, which the shared body
/// finds again through current_row() while the row runs.
void add_row(std::string name, const std::source_location& loc, TestSpec traits, TestBody body,
             const void* context);
/// The value of the table row running on this thread (see add_row).
const void* current_row();
/// Runs a registered body: counts its failed checks and catches ZUNO_SKIP.
BodyResult run_body(void (*body)());
BodyResult run_body(const std::function<void()>& body);
/// Runs a benchmark body with a public Bencher and hands its measurements to `b`.
BodyResult run_bench(HarnessBencher& b, void (*body)(zuno::Bencher&));

/// The plain functions the harness calls for registered bodies.
template <void (*Body)()>
BodyResult call_test() {
    return run_body(Body);
}
template <void (*Body)(zuno::Bencher&)>
BodyResult call_bench(HarnessBencher& b) {
    return run_bench(b, Body);
}

/// Runs the teardown of a fixture whose body failed; a failure of the teardown
/// itself is reported but does not replace the body's.
void teardown_after_failure(void (*teardown)(void*), void* fixture);

/// A fixture test: the fixture object lives on the test's thread for the body
/// (its constructor and optional setup() before, optional teardown() and its
/// destructor after, also when the body fails).
template <typename F>
void run_fixture() {
    F fixture;
    if constexpr (requires { fixture.setup(); }) {
        fixture.setup();
    }
    if constexpr (requires { fixture.teardown(); }) {
        try {
            fixture.zuno_test_body();
        } catch (...) {
            teardown_after_failure([](void* f) { static_cast<F*>(f)->teardown(); },
                                   static_cast<void*>(std::addressof(fixture)));
            throw;
        }
        fixture.teardown();
    } else {
        fixture.zuno_test_body();
    }
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

}  // namespace detail

/// A row of a table test with a label: the row's test is named
/// "<table>::<label>" instead of "<table>::<index>".
template <typename T>
struct LabelledRow {
    std::string label;
    T value;
};
template <typename T>
LabelledRow<std::decay_t<T>> row(std::string label, T&& value) {
    return {std::move(label), std::forward<T>(value)};
}

namespace detail {

/// One entry of a table's value list: a value (or the arguments to build one)
/// or a labelled row.
template <typename T>
struct TableRow {
    std::optional<std::string> label;
    T value;
    template <typename... Args>
    requires std::constructible_from<T, Args&&...> TableRow(Args&&... args)
        : value(std::forward<Args>(args)...) {}
    template <typename U>
    requires std::constructible_from<T, U&&> TableRow(LabelledRow<U>&& r)
        : label(std::move(r.label)), value(std::move(r.value)) {}
    template <typename U>
    requires std::constructible_from<T, const U&> TableRow(const LabelledRow<U>& r)
        : label(r.label), value(r.value) {}
};

/// The parameter type of a table's body function.
template <typename Fn>
struct TableParam;
template <typename A>
struct TableParam<void (*)(A)> {
    using type = std::remove_cvref_t<A>;
};

template <auto Body, typename T>
void run_row() {
    Body(*static_cast<const T*>(current_row()));
}

/// The object each ZUNO_TEST_TABLE declares: it keeps the rows' values for the
/// whole run and registers one test per row.
template <auto Body>
class TableRegistrar {
public:
    using Value = typename TableParam<decltype(Body)>::type;

    template <Attribute... A>
    TableRegistrar(std::string_view name, const std::source_location& loc,
                   std::initializer_list<TableRow<Value>> rows, const A&... attributes) {
        TestSpec traits;
        (attributes.apply(traits), ...);
        // Reserved once, so the values never move: each row's test keeps its address.
        values_.reserve(rows.size());
        std::size_t index = 0;
        for (const TableRow<Value>& r : rows) {
            std::string full(name);
            full += "::";
            full += r.label ? *r.label : std::to_string(index);
            values_.push_back(r.value);
            add_row(std::move(full), loc, traits, &call_test<&run_row<Body, Value>>,
                    std::addressof(values_.back()));
            ++index;
        }
    }
    TableRegistrar(const TableRegistrar&) = delete;
    TableRegistrar& operator=(const TableRegistrar&) = delete;

private:
    std::vector<Value> values_;
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

/// Integers that std::cmp_less and friends compare by value (not bool or a
/// character type).
template <typename T>
concept ValueInteger = std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char> &&
                       !std::same_as<T, wchar_t> && !std::same_as<T, char8_t> &&
                       !std::same_as<T, char16_t> && !std::same_as<T, char32_t>;

// The comparisons of the assertion macros: two integers compare by value
// whatever their signedness; anything else through its operator.
template <typename L, typename R>
constexpr bool eq(const L& l, const R& r) {
    if constexpr (ValueInteger<L> && ValueInteger<R>) {
        return std::cmp_equal(l, r);
    } else {
        return l == r;
    }
}
template <typename L, typename R>
constexpr bool ne(const L& l, const R& r) {
    if constexpr (ValueInteger<L> && ValueInteger<R>) {
        return std::cmp_not_equal(l, r);
    } else {
        return l != r;
    }
}
template <typename L, typename R>
constexpr bool lt(const L& l, const R& r) {
    if constexpr (ValueInteger<L> && ValueInteger<R>) {
        return std::cmp_less(l, r);
    } else {
        return l < r;
    }
}
template <typename L, typename R>
constexpr bool le(const L& l, const R& r) {
    if constexpr (ValueInteger<L> && ValueInteger<R>) {
        return std::cmp_less_equal(l, r);
    } else {
        return l <= r;
    }
}
template <typename L, typename R>
constexpr bool gt(const L& l, const R& r) {
    if constexpr (ValueInteger<L> && ValueInteger<R>) {
        return std::cmp_greater(l, r);
    } else {
        return l > r;
    }
}
template <typename L, typename R>
constexpr bool ge(const L& l, const R& r) {
    if constexpr (ValueInteger<L> && ValueInteger<R>) {
        return std::cmp_greater_equal(l, r);
    } else {
        return l >= r;
    }
}

/// The floating-point type NEAR computes in: the operands' common type, or
/// double when they are all integers.
template <typename L, typename R, typename T>
using NearType = std::conditional_t<std::is_floating_point_v<std::common_type_t<L, R, T>>,
                                    std::common_type_t<L, R, T>, double>;
/// |left - right| and whether it is within `tolerance` (never with a NaN).
template <typename F>
struct Near {
    F left, right, tolerance, diff;
    [[nodiscard]] bool holds() const { return diff <= tolerance; }
};
template <typename L, typename R, typename T>
Near<NearType<L, R, T>> near(const L& l, const R& r, const T& tolerance) {
    using F = NearType<L, R, T>;
    const F a = static_cast<F>(l);
    const F b = static_cast<F>(r);
    return {a, b, static_cast<F>(tolerance), a > b ? a - b : b - a};
}

/// How an expression under THROWS or NO_THROW ended.
struct Thrown {
    /// The expected exception (or, without a type, any exception) was thrown.
    bool expected = false;
    /// Another exception was thrown: its description.
    std::optional<std::string> other;
    /// In a catch block: describes the exception being handled. A panic of
    /// the harness (a failed assertion inside the expression) and the unwind
    /// of a thread's end are not the expression's exceptions: they go on.
    void describe_current();
    /// In a catch block of any exception: the same, but counts it as expected.
    void accept_current();
};

// Failure reports. The fail_ forms end the test with a panic at `loc`; the
// check_ forms write the same report to the test's output and count it.
[[noreturn]] void fail_assertion(std::string message, const std::source_location& loc);
[[noreturn]] void fail_comparison(const char* op, Shown left, Shown right,
                                  const std::source_location& loc);
[[noreturn]] void fail_near(const Near<float>& n, const std::source_location& loc);
[[noreturn]] void fail_near(const Near<double>& n, const std::source_location& loc);
[[noreturn]] void fail_near(const Near<long double>& n, const std::source_location& loc);
[[noreturn]] void fail_throws(const char* expr, const char* type, const Thrown& t,
                              const std::source_location& loc);
[[noreturn]] void fail_no_throw(const char* expr, const Thrown& t, const std::source_location& loc);
void check_assertion(std::string message, const std::source_location& loc);
void check_comparison(const char* op, Shown left, Shown right, const std::source_location& loc);
void check_near(const Near<float>& n, const std::source_location& loc);
void check_near(const Near<double>& n, const std::source_location& loc);
void check_near(const Near<long double>& n, const std::source_location& loc);
void check_throws(const char* expr, const char* type, const Thrown& t,
                  const std::source_location& loc);
void check_no_throw(const char* expr, const Thrown& t, const std::source_location& loc);

/// Ends the running test as ignored with `reason` (ZUNO_SKIP).
[[noreturn]] void skip(std::string reason);

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

/// The full name of the test running on the calling thread (a table row's
/// name includes its "::<index>" or "::<label>"); empty on any other thread.
std::string_view current_test_name();

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

/// ZUNO_TEST_F(Fixture, "name", attributes...) { body } registers a test whose
/// body is a member of a class derived from Fixture, so it sees the fixture's
/// members. Each test builds its own Fixture (default constructor, then
/// setup() if Fixture has one) before the body and destroys it (teardown() if
/// Fixture has one, then the destructor) after, also when the body fails.
#define ZUNO_TEST_F(fixture, ...) \
    ZUNO_DETAIL_TEST_F(ZUNO_DETAIL_CAT(zuno_fixture_test_, __COUNTER__), fixture, __VA_ARGS__)
#define ZUNO_DETAIL_TEST_F(cls, fixture, name, ...)                              \
    namespace {                                                                  \
    struct cls final : fixture {                                                 \
        void zuno_test_body();                                                   \
    };                                                                           \
    }                                                                            \
    static const ::zuno::detail::TestRegistrar ZUNO_DETAIL_CAT(cls, _registrar){ \
        name, &::zuno::detail::call_test<&::zuno::detail::run_fixture<cls>>,     \
        ::std::source_location::current() __VA_OPT__(, ) __VA_ARGS__};           \
    void cls::zuno_test_body()

/// ZUNO_TEST_TABLE("name", (Type param), {values...}, attributes...) { body }
/// registers one test per value, named "name::<index>" (from 0), or
/// "name::<label>" for a value given as zuno::row("label", value). The
/// attributes apply to every row.
#define ZUNO_TEST_TABLE(name, params, ...)                                               \
    ZUNO_DETAIL_TEST_TABLE(ZUNO_DETAIL_CAT(zuno_table_body_, __COUNTER__), name, params, \
                           __VA_ARGS__)
#define ZUNO_DETAIL_TEST_TABLE(fn, name, params, ...)                                 \
    static void fn params;                                                            \
    static const ::zuno::detail::TableRegistrar<&fn> ZUNO_DETAIL_CAT(fn, _registrar){ \
        name, ::std::source_location::current(), __VA_ARGS__};                        \
    static void fn params

/// ZUNO_BENCH("name", b) { body } registers a benchmark; `b` is its zuno::Bencher&.
#define ZUNO_BENCH(name, b) \
    ZUNO_DETAIL_BENCH(ZUNO_DETAIL_CAT(zuno_bench_body_, __COUNTER__), name, b)
#define ZUNO_DETAIL_BENCH(fn, name, b)                                              \
    static void fn(::zuno::Bencher&);                                               \
    static const ::zuno::detail::BenchRegistrar ZUNO_DETAIL_CAT(fn, _registrar){    \
        name, &::zuno::detail::call_bench<&fn>, ::std::source_location::current()}; \
    static void fn(::zuno::Bencher& b)

/// ZUNO_SKIP("reason") ends the running test as ignored with that reason (a
/// test that failed a check before fails instead).
#define ZUNO_SKIP(reason) ::zuno::detail::skip(reason)

// Assertions end the test at the first failure (a panic located at the
// assertion); checks (ZUNO_CHECK...) write the same report to the test's
// output at once and let the test go on; when the body ends, a test with
// failed checks fails with "1 check failed" or "<n> checks failed". Every
// operand is evaluated once.

#define ZUNO_DETAIL_PICK(a1, a2, chosen, ...) chosen
#define ZUNO_DETAIL_PICK3(a1, a2, a3, chosen, ...) chosen

/// ZUNO_ASSERT(cond) or ZUNO_ASSERT(cond, message): fails the test unless `cond`
/// holds, with "assertion failed: <cond>" or the message.
#define ZUNO_ASSERT(...) \
    ZUNO_DETAIL_PICK(__VA_ARGS__, ZUNO_DETAIL_COND_MSG, ZUNO_DETAIL_COND, )(fail_, __VA_ARGS__)
#define ZUNO_CHECK(...) \
    ZUNO_DETAIL_PICK(__VA_ARGS__, ZUNO_DETAIL_COND_MSG, ZUNO_DETAIL_COND, )(check_, __VA_ARGS__)
#define ZUNO_DETAIL_COND(kind, cond)                                                             \
    do {                                                                                         \
        if (!static_cast<bool>(cond)) {                                                          \
            ::zuno::detail::ZUNO_DETAIL_CAT(kind, assertion)("assertion failed: " #cond,         \
                                                             ::std::source_location::current()); \
        }                                                                                        \
    } while (false)
#define ZUNO_DETAIL_COND_MSG(kind, cond, message)                                                \
    do {                                                                                         \
        if (!static_cast<bool>(cond)) {                                                          \
            ::zuno::detail::ZUNO_DETAIL_CAT(kind, assertion)(::std::string(message),             \
                                                             ::std::source_location::current()); \
        }                                                                                        \
    } while (false)

/// ZUNO_ASSERT_EQ(a, b), _NE, _LT, _LE, _GT, _GE: fail unless a == b (!=, <,
/// <=, >, >=), with "assertion `left == right` failed" and both values on the
/// lines "  left: " and " right: ". Two integers compare by value, whatever
/// their signedness (-1 < 0u holds).
#define ZUNO_ASSERT_EQ(left, right) ZUNO_DETAIL_BINARY(fail_, left, right, ==, eq)
#define ZUNO_ASSERT_NE(left, right) ZUNO_DETAIL_BINARY(fail_, left, right, !=, ne)
#define ZUNO_ASSERT_LT(left, right) ZUNO_DETAIL_BINARY(fail_, left, right, <, lt)
#define ZUNO_ASSERT_LE(left, right) ZUNO_DETAIL_BINARY(fail_, left, right, <=, le)
#define ZUNO_ASSERT_GT(left, right) ZUNO_DETAIL_BINARY(fail_, left, right, >, gt)
#define ZUNO_ASSERT_GE(left, right) ZUNO_DETAIL_BINARY(fail_, left, right, >=, ge)
#define ZUNO_CHECK_EQ(left, right) ZUNO_DETAIL_BINARY(check_, left, right, ==, eq)
#define ZUNO_CHECK_NE(left, right) ZUNO_DETAIL_BINARY(check_, left, right, !=, ne)
#define ZUNO_CHECK_LT(left, right) ZUNO_DETAIL_BINARY(check_, left, right, <, lt)
#define ZUNO_CHECK_LE(left, right) ZUNO_DETAIL_BINARY(check_, left, right, <=, le)
#define ZUNO_CHECK_GT(left, right) ZUNO_DETAIL_BINARY(check_, left, right, >, gt)
#define ZUNO_CHECK_GE(left, right) ZUNO_DETAIL_BINARY(check_, left, right, >=, ge)
#define ZUNO_DETAIL_BINARY(kind, left, right, op, test)                                   \
    do {                                                                                  \
        const auto& zuno_left_ = (left);                                                  \
        const auto& zuno_right_ = (right);                                                \
        if (!::zuno::detail::test(zuno_left_, zuno_right_)) {                             \
            ::zuno::detail::ZUNO_DETAIL_CAT(kind, comparison)(                            \
                #op, ::zuno::detail::show(zuno_left_), ::zuno::detail::show(zuno_right_), \
                ::std::source_location::current());                                       \
        }                                                                                 \
    } while (false)

/// ZUNO_ASSERT_NEAR(a, b, tolerance): fails unless |a - b| <= tolerance, with
/// "assertion `|left - right| <= tolerance` failed" and the lines "  left: ",
/// " right: ", "  diff: " and " tolerance: " (shortest round-trip forms). A
/// NaN on either side fails.
#define ZUNO_ASSERT_NEAR(left, right, tolerance) ZUNO_DETAIL_NEAR(fail_, left, right, tolerance)
#define ZUNO_CHECK_NEAR(left, right, tolerance) ZUNO_DETAIL_NEAR(check_, left, right, tolerance)
#define ZUNO_DETAIL_NEAR(kind, left, right, tolerance)                                      \
    do {                                                                                    \
        const auto zuno_near_ = ::zuno::detail::near((left), (right), (tolerance));         \
        if (!zuno_near_.holds()) {                                                          \
            ::zuno::detail::ZUNO_DETAIL_CAT(kind, near)(zuno_near_,                         \
                                                        ::std::source_location::current()); \
        }                                                                                   \
    } while (false)

/// ZUNO_ASSERT_THROWS(expr, Type): fails unless evaluating `expr` throws a Type
/// ("assertion failed: `expr` did not throw Type", or "... threw <what()>
/// instead of Type"); ZUNO_ASSERT_THROWS(expr) accepts any exception.
/// ZUNO_ASSERT_NO_THROW(expr) fails when `expr` throws ("assertion failed:
/// `expr` threw <what()>"). An exception that is not a std::exception is
/// described as "an exception of unknown type". A failed assertion inside
/// `expr` is not an exception of `expr`: it fails the test as usual.
#define ZUNO_ASSERT_THROWS(...)                                                      \
    ZUNO_DETAIL_PICK(__VA_ARGS__, ZUNO_DETAIL_THROWS_TYPE, ZUNO_DETAIL_THROWS_ANY, ) \
    (fail_, __VA_ARGS__)
#define ZUNO_CHECK_THROWS(...)                                                       \
    ZUNO_DETAIL_PICK(__VA_ARGS__, ZUNO_DETAIL_THROWS_TYPE, ZUNO_DETAIL_THROWS_ANY, ) \
    (check_, __VA_ARGS__)
#define ZUNO_DETAIL_THROWS_TYPE(kind, expr, type)                                             \
    do {                                                                                      \
        ::zuno::detail::Thrown zuno_thrown_;                                                  \
        try {                                                                                 \
            static_cast<void>(expr);                                                          \
        } catch (const type&) {                                                               \
            zuno_thrown_.expected = true;                                                     \
        } catch (...) {                                                                       \
            zuno_thrown_.describe_current();                                                  \
        }                                                                                     \
        if (!zuno_thrown_.expected) {                                                         \
            ::zuno::detail::ZUNO_DETAIL_CAT(kind, throws)(#expr, #type, zuno_thrown_,         \
                                                          ::std::source_location::current()); \
        }                                                                                     \
    } while (false)
#define ZUNO_DETAIL_THROWS_ANY(kind, expr)                                                    \
    do {                                                                                      \
        ::zuno::detail::Thrown zuno_thrown_;                                                  \
        try {                                                                                 \
            static_cast<void>(expr);                                                          \
        } catch (...) {                                                                       \
            zuno_thrown_.accept_current();                                                    \
        }                                                                                     \
        if (!zuno_thrown_.expected) {                                                         \
            ::zuno::detail::ZUNO_DETAIL_CAT(kind, throws)(#expr, nullptr, zuno_thrown_,       \
                                                          ::std::source_location::current()); \
        }                                                                                     \
    } while (false)
#define ZUNO_ASSERT_NO_THROW(expr) ZUNO_DETAIL_NO_THROW(fail_, expr)
#define ZUNO_CHECK_NO_THROW(expr) ZUNO_DETAIL_NO_THROW(check_, expr)
#define ZUNO_DETAIL_NO_THROW(kind, expr)                                                        \
    do {                                                                                        \
        ::zuno::detail::Thrown zuno_thrown_;                                                    \
        try {                                                                                   \
            static_cast<void>(expr);                                                            \
        } catch (...) {                                                                         \
            zuno_thrown_.describe_current();                                                    \
        }                                                                                       \
        if (zuno_thrown_.other) {                                                               \
            ::zuno::detail::ZUNO_DETAIL_CAT(kind, no_throw)(#expr, zuno_thrown_,                \
                                                            ::std::source_location::current()); \
        }                                                                                       \
    } while (false)
