#include "types.hpp"

#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "panic.hpp"

namespace test {

namespace {

std::uint32_t name_length(std::string_view text) {
    if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
        rt::panic("test name longer than 4 GiB");
    }
    return static_cast<std::uint32_t>(text.size());
}

}  // namespace

TestName TestName::static_name(std::string_view text) {
    TestName n;
    n.kind_ = Kind::StaticName;
    n.size_ = name_length(text);
    n.data_ = text.data();
    return n;
}

TestName TestName::owned_name(std::string text) {
    TestName n;
    n.kind_ = Kind::OwnedName;
    n.owned_ = true;
    if (!text.empty()) {
        n.size_ = name_length(text);
        char* copy = new char[text.size()];
        std::memcpy(copy, text.data(), text.size());
        n.data_ = copy;
    }
    return n;
}

TestName::TestName(const TestName& other)
    : data_(other.data_),
      size_(other.size_),
      kind_(other.kind_),
      owned_(other.owned_),
      padding_(other.padding_) {
    if (owned_ && size_ != 0) {
        char* copy = new char[size_];
        std::memcpy(copy, other.data_, size_);
        data_ = copy;
    }
}

TestName::TestName(TestName&& other) noexcept
    : data_(std::exchange(other.data_, "")),
      size_(std::exchange(other.size_, 0)),
      kind_(other.kind_),
      owned_(other.owned_),
      padding_(other.padding_) {}

TestName& TestName::operator=(const TestName& other) {
    if (this != &other) {
        *this = TestName(other);
    }
    return *this;
}

TestName& TestName::operator=(TestName&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, "");
        size_ = std::exchange(other.size_, 0);
        kind_ = other.kind_;
        owned_ = other.owned_;
        padding_ = other.padding_;
    }
    return *this;
}

TestName::~TestName() {
    release();
}

void TestName::release() {
    if (owned_ && size_ != 0) {
        delete[] data_;
    }
    data_ = "";
    size_ = 0;
}

std::string_view TestName::as_slice() const {
    return {data_, size_};
}

NamePadding TestName::padding() const {
    return kind_ == Kind::AlignedName ? padding_ : NamePadding::NoPadding;
}

TestName TestName::with_padding(NamePadding p) const& {
    // The copy keeps the text's form: borrowed static text stays borrowed and
    // an owned string is duplicated by the copy itself.
    return TestName(*this).with_padding(p);
}

TestName TestName::with_padding(NamePadding p) && {
    TestName n = std::move(*this);
    n.kind_ = Kind::AlignedName;
    n.padding_ = p;
    return n;
}

std::string TestDesc::padded_name(std::size_t column_count, NamePadding padding) const {
    std::string text(name.as_slice());
    if (padding == NamePadding::PadRight && column_count > text.size()) {
        text.append(column_count - text.size(), ' ');
    }
    return text;
}

std::optional<std::string_view> TestDesc::test_mode() const {
    if (ignore) {
        return std::nullopt;
    }
    if (should_panic.kind != ShouldPanic::Kind::NotExpected) {
        return "should panic";
    }
    if (compile_fail) {
        return "compile fail";
    }
    if (build_only) {
        return "compile";
    }
    return std::nullopt;
}

NamePadding TestFn::padding() const {
    return is_bench() ? NamePadding::PadRight : NamePadding::NoPadding;
}

bool TestFn::is_bench() const {
    return std::holds_alternative<StaticBenchBody>(body_) ||
           std::holds_alternative<BoxedBenchBody>(body_);
}

Runnable TestFn::into_runnable() && {
    switch (body_.index()) {
        case 0:
            return RunnableTest(std::get<StaticTestBody>(std::move(body_)));
        case 1:
            return RunnableBench(std::get<StaticBenchBody>(std::move(body_)));
        case 2:
            return RunnableTest(std::get<StaticBenchOnce>(std::move(body_)));
        case 3:
            return RunnableTest(std::get<BoxedTestBody>(std::move(body_)));
        case 4:
            return RunnableBench(std::get<BoxedBenchBody>(std::move(body_)));
        default:
            return RunnableTest(std::get<BoxedBenchOnce>(std::move(body_)));
    }
}

BodyResult RunnableTest::run() {
    // A bench run as a test gets a single-run Bencher with nothing recorded.
    Bencher single{Bencher::BenchMode::SingleRun, std::nullopt, 0, {}};
    switch (body_.index()) {
        case 0:
            return __zuno_begin_short_backtrace(std::get<StaticTestBody>(body_).f);
        case 1:
            return __zuno_begin_short_backtrace(std::get<StaticBenchOnce>(body_).f, single);
        case 2: {
            // The boxed body is consumed: moved out and released after the call.
            std::function<BodyResult()> f = std::move(std::get<BoxedTestBody>(body_).f).take();
            return __zuno_begin_short_backtrace(std::move(f));
        }
        default: {
            std::function<BodyResult(Bencher&)> f =
                std::move(std::get<BoxedBenchOnce>(body_).f).take();
            return __zuno_begin_short_backtrace(f, single);
        }
    }
}

bool RunnableTest::is_dynamic() const {
    return std::holds_alternative<BoxedTestBody>(body_) ||
           std::holds_alternative<BoxedBenchOnce>(body_);
}

BodyResult RunnableBench::run(Bencher& b) {
    if (auto* s = std::get_if<StaticBenchBody>(&body_)) {
        return __zuno_begin_short_backtrace(s->f, b);
    }
    return __zuno_begin_short_backtrace(std::get<BoxedBenchBody>(body_).f.get(), b);
}

BodyResult assert_test_result(int code) {
    if (code == 0) {
        return BodyResult::ok();
    }
    return BodyResult::fail("the test returned a termination value with a non-zero status code (" +
                            std::to_string(code) + ") which indicates a failure");
}

// The frames below must stay on the stack while the body runs: they are never
// inlined, and the empty volatile asm after the call keeps the compiler from
// turning the call into a tail call.

[[gnu::noinline]] BodyResult __zuno_begin_short_backtrace(StaticTestFn f) {
    BodyResult r = f();
    asm volatile("" ::: "memory");
    return r;
}

[[gnu::noinline]] BodyResult __zuno_begin_short_backtrace(std::function<BodyResult()>&& f) {
    std::function<BodyResult()> owned = std::move(f);
    BodyResult r = owned();
    asm volatile("" ::: "memory");
    return r;
}

[[gnu::noinline]] BodyResult __zuno_begin_short_backtrace(StaticBenchFn f, Bencher& b) {
    BodyResult r = f(b);
    asm volatile("" ::: "memory");
    return r;
}

[[gnu::noinline]] BodyResult __zuno_begin_short_backtrace(
    const std::function<BodyResult(Bencher&)>& f, Bencher& b) {
    BodyResult r = f(b);
    asm volatile("" ::: "memory");
    return r;
}

}  // namespace test
