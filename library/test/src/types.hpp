#pragma once
// The data model of a test: its descriptor (TestDesc), name (TestName), body
// (TestFn) and the runnable forms the engine executes. Static texts (names,
// paths, messages fixed at build time) are borrowed string_views into static
// storage; owned names are std::strings copied with the descriptor.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <zuno/body_result.hpp>
#include "stats.hpp"

namespace test {

/// Whether a name is padded to the name column.
enum class NamePadding : std::uint8_t { NoPadding = 0, PadRight = 1 };

/// The name of a test: static text, an owned string, or either of those with a padding.
class TestName {
public:
    enum class Kind : std::uint8_t { StaticName = 0, OwnedName = 1, AlignedName = 2 };

    /// A name borrowed from static storage.
    static TestName static_name(std::string_view text);
    /// A name owning its text.
    static TestName owned_name(std::string text);

    [[nodiscard]] Kind kind() const { return kind_; }
    /// The name's text, for every kind.
    [[nodiscard]] std::string_view as_slice() const;
    /// The stored padding of an AlignedName; NoPadding for the other kinds.
    [[nodiscard]] NamePadding padding() const;
    /// An AlignedName with the same text and padding `p` (static text stays
    /// borrowed; owned text is copied, or moved from an rvalue).
    [[nodiscard]] TestName with_padding(NamePadding p) const&;
    [[nodiscard]] TestName with_padding(NamePadding p) &&;
    /// True when an AlignedName holds an owned string (false: borrowed static text).
    [[nodiscard]] bool is_owned_text() const { return owned_; }

    TestName() = default;
    TestName(const TestName& other);
    TestName(TestName&& other) noexcept;
    TestName& operator=(const TestName& other);
    TestName& operator=(TestName&& other) noexcept;
    ~TestName();

private:
    // The text is borrowed static storage, or (owned_) a heap copy this name
    // owns; an empty owned text has no copy. One pointer and a 32-bit length
    // keep a name at 16 bytes, which every descriptor of a run carries.
    void release();
    const char* data_ = "";
    std::uint32_t size_ = 0;
    Kind kind_ = Kind::StaticName;
    bool owned_ = false;
    NamePadding padding_ = NamePadding::NoPadding;
};

/// Whether a test is expected to panic.
struct ShouldPanic {
    enum class Kind : std::uint8_t { NotExpected = 0, Expected = 1, ExpectedWithMessage = 2 };
    // The text first: a descriptor keeps its flags in the padding after `kind`.
    /// The text the panic message must contain (ExpectedWithMessage only).
    std::string_view message;
    Kind kind = Kind::NotExpected;

    static ShouldPanic not_expected() { return {}; }
    static ShouldPanic expected() { return {{}, Kind::Expected}; }
    static ShouldPanic expected_with_message(std::string_view m) {
        return {m, Kind::ExpectedWithMessage};
    }
    bool operator==(const ShouldPanic&) const = default;
};

/// Kind of test; selects the time thresholds.
enum class TestType : std::uint8_t { Unit = 0, Integration = 1, Doc = 2, Unclassified = 3 };

/// The descriptor of one test. A run holds one per test for its whole length,
/// so the fields are laid out to fit 96 bytes: 32-bit positions, and the flags
/// in the padding after `should_panic`.
struct TestDesc {
    TestName name;
    std::optional<std::string_view> ignore_message;
    std::string_view source_path;
    std::uint32_t start_line = 0;
    std::uint32_t start_col = 0;
    std::uint32_t end_line = 0;
    std::uint32_t end_col = 0;
    [[no_unique_address]] ShouldPanic should_panic;
    bool ignore = false;
    bool compile_fail = false;
    bool build_only = false;
    TestType test_type = TestType::Unclassified;

    /// The name's text, padded with spaces to `column_count` bytes when
    /// `padding` is PadRight.
    [[nodiscard]] std::string padded_name(std::size_t column_count, NamePadding padding) const;
    /// "should panic", "compile fail", "compile", or nothing.
    [[nodiscard]] std::optional<std::string_view> test_mode() const;
};

/// The result of a test body: success, or failure with a message. Defined
/// beside the public registration header, whose test bodies return it.
using BodyResult = zuno::BodyResult;

}  // namespace test

/// What a bench body receives: run mode, the recorded summary and byte count.
/// The public header names it (opaquely) in the signature of registered
/// benchmark bodies; the harness calls it test::Bencher.
namespace zuno::detail {
struct HarnessBencher {
    enum class BenchMode : std::uint8_t { Automatic = 0, SingleRun = 1 };
    BenchMode mode = BenchMode::Automatic;
    std::optional<test::Summary> summary;
    std::uint64_t bytes = 0;
    /// The samples the summary was made of.
    std::vector<double> samples;
};
}  // namespace zuno::detail

namespace test {

using Bencher = zuno::detail::HarnessBencher;

using StaticTestFn = BodyResult (*)();
using StaticBenchFn = BodyResult (*)(Bencher&);

/// The six kinds of test body; the variant index is the kind number.
struct StaticTestBody {
    StaticTestFn f;
};
struct StaticBenchBody {
    StaticBenchFn f;
};
struct StaticBenchOnce {
    StaticBenchFn f;
};

/// A std::function kept on the heap, so that a boxed body takes one pointer in
/// a descriptor list and a body of any kind fits in 16 bytes. Copies are deep.
template <typename Signature>
class BoxedFn {
public:
    using Function = std::function<Signature>;

    BoxedFn() = default;
    template <typename F>
    requires(std::is_constructible_v<Function, F&&> && !std::is_same_v<std::decay_t<F>, BoxedFn>)
        BoxedFn(F&& f)
        : fn_(new Function(std::forward<F>(f))) {}
    BoxedFn(const BoxedFn& other) : fn_(other.fn_ ? new Function(*other.fn_) : nullptr) {}
    BoxedFn(BoxedFn&& other) noexcept : fn_(std::exchange(other.fn_, nullptr)) {}
    BoxedFn& operator=(BoxedFn other) noexcept {
        std::swap(fn_, other.fn_);
        return *this;
    }
    ~BoxedFn() { delete fn_; }

    /// The function; an empty one when nothing is boxed.
    [[nodiscard]] const Function& get() const { return fn_ ? *fn_ : empty(); }
    /// Moves the function out, leaving this box empty.
    [[nodiscard]] Function take() && {
        Function f = fn_ ? std::move(*fn_) : Function();
        delete std::exchange(fn_, nullptr);
        return f;
    }
    template <typename... Args>
    decltype(auto) operator()(Args&&... args) const {
        return get()(std::forward<Args>(args)...);
    }

private:
    static const Function& empty() {
        static const Function none;
        return none;
    }
    Function* fn_ = nullptr;
};

struct BoxedTestBody {
    BoxedFn<BodyResult()> f;
};
struct BoxedBenchBody {
    BoxedFn<BodyResult(Bencher&)> f;
};
struct BoxedBenchOnce {
    BoxedFn<BodyResult(Bencher&)> f;
};

class RunnableTest;
class RunnableBench;
using Runnable = std::variant<RunnableTest, RunnableBench>;

/// A test body of one of the six kinds.
class TestFn {
public:
    using Body = std::variant<StaticTestBody, StaticBenchBody, StaticBenchOnce, BoxedTestBody,
                              BoxedBenchBody, BoxedBenchOnce>;
    /// From any of the six body kinds (or the variant itself).
    template <typename T>
    requires(std::is_constructible_v<Body, T&&> && !std::is_same_v<std::decay_t<T>, TestFn>)
        TestFn(T&& body)
        : body_(std::forward<T>(body)) {}

    /// The kind number, 0 to 5.
    [[nodiscard]] std::size_t kind() const { return body_.index(); }
    /// PadRight for the two bench kinds, NoPadding otherwise.
    [[nodiscard]] NamePadding padding() const;
    /// True for StaticBenchBody and BoxedBenchBody.
    [[nodiscard]] bool is_bench() const;
    [[nodiscard]] const Body& body() const { return body_; }
    Body& body() { return body_; }
    /// Consumes the body into its runnable form.
    Runnable into_runnable() &&;

private:
    Body body_;
};

/// A descriptor with its body; the unit selection and the engine pass around.
struct TestDescAndFn {
    TestDesc descriptor;
    TestFn body;
};
static_assert(sizeof(void*) != 8 || (sizeof(TestDesc) <= 96 && sizeof(TestFn) <= 16));

/// A body run once as a test.
class RunnableTest {
public:
    using Body = std::variant<StaticTestBody, StaticBenchOnce, BoxedTestBody, BoxedBenchOnce>;
    explicit RunnableTest(Body body) : body_(std::move(body)) {}
    /// Runs the body once (consuming a boxed one) and returns its result.
    BodyResult run();
    /// True for the two boxed kinds.
    [[nodiscard]] bool is_dynamic() const;

private:
    Body body_;
};

/// A benchmark body run by the engine's benchmark phase.
class RunnableBench {
public:
    using Body = std::variant<StaticBenchBody, BoxedBenchBody>;
    explicit RunnableBench(Body body) : body_(std::move(body)) {}
    /// Calls the body with `b`.
    BodyResult run(Bencher& b);

private:
    Body body_;
};

/// Tells the running tests of one run apart.
struct TestId {
    std::size_t value = 0;
    bool operator==(const TestId&) const = default;
};

/// Flags that change how results are shown and how tests are run.
struct RunOptions {
    bool display_output = false;
    bool abort_on_failure = false;

    bool operator==(const RunOptions&) const = default;
};

/// Adapts a test function's exit code (0 for a function returning nothing) to a body result.
BodyResult assert_test_result(int code = 0);

// Every body call goes through one of these frames, which stay on the stack
// while the body runs; short backtraces end at them.
BodyResult __zuno_begin_short_backtrace(StaticTestFn f);
BodyResult __zuno_begin_short_backtrace(std::function<BodyResult()>&& f);
BodyResult __zuno_begin_short_backtrace(StaticBenchFn f, Bencher& b);
BodyResult __zuno_begin_short_backtrace(const std::function<BodyResult(Bencher&)>& f, Bencher& b);

}  // namespace test

template <>
struct std::hash<test::TestId> {
    std::size_t operator()(const test::TestId& id) const noexcept { return id.value; }
};
