// api_fixture: a test program written the way a user of the harness writes
// one: registration macros with attributes, the assertion macros, generated
// tests and a benchmark, on zuno::test_main. Its assertion failures are
// intended; their messages and locations are compared with approved texts.

#include <string>
#include <zuno/test.hpp>

namespace {

struct Unprintable {
    int v;
    bool operator==(const Unprintable&) const = default;
};

int calls = 0;
int next_call() {
    return ++calls;
}

}  // namespace

ZUNO_TEST("assert::condition") {
    const int x = 1;
    ZUNO_ASSERT(x + 1 == 3);
}

ZUNO_TEST("assert::message") {
    ZUNO_ASSERT(1 > 2, "the card is " + std::string("gone"));
}

ZUNO_TEST("assert::eq") {
    ZUNO_ASSERT_EQ(2 + 2, 5);
}

ZUNO_TEST("assert::ne") {
    ZUNO_ASSERT_NE(std::string("tile"), "tile");
}

ZUNO_TEST("assert::unprintable") {
    ZUNO_ASSERT_EQ(Unprintable{1}, Unprintable{2});
}

ZUNO_TEST("assert::once", zuno::unit) {
    // Each operand is evaluated once, also when the values are shown.
    ZUNO_ASSERT_EQ(next_call(), 1);
    ZUNO_ASSERT_NE(next_call(), 2);
}

ZUNO_TEST("passes", zuno::integration) {
    ZUNO_ASSERT(true);
    ZUNO_ASSERT_EQ(std::string("a") + "b", "ab");
}

ZUNO_TEST("panics::any", zuno::should_panic) {
    ZUNO_ASSERT(false);
}

ZUNO_TEST("panics::with_text", zuno::unit, zuno::should_panic_with("gone")) {
    ZUNO_ASSERT(false, "the card is gone");
}

ZUNO_TEST("ignored", zuno::ignore_because("needs a card")) {}

ZUNO_TEST("ignored::silently", zuno::ignore) {}

ZUNO_TEST("odd name; [brackets] \"quotes\"") {}

ZUNO_BENCH("bench::add", b) {
    b.bytes = 8;
    b.iter([] { return calls + 1; });
}

#ifdef API_FIXTURE_DUPLICATE
ZUNO_TEST("passes") {}
#endif

namespace {

const bool generated = [] {
    for (int i = 1; i <= 2; ++i) {
        zuno::register_test("generated::" + std::to_string(i), [i] { ZUNO_ASSERT(i < 2); });
    }
    return true;
}();

}  // namespace
