// forms_fixture: one test per form of the public header beyond the plain
// assertions (comparisons, tolerance, exceptions, checks, skips, fixtures,
// tables, a test's own time limit and tags), most of them failing on purpose.
// Messages, locations, check counts and skip reasons are compared with
// approved texts in every output format.

#include <cmath>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>
#include <zuno/test.hpp>

namespace {

int parse(const std::string& digits) {
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
        throw std::invalid_argument("bad digit in " + digits);
    }
    return std::stoi(digits);
}

void throw_int() {
    throw 7;
}

// A fixture that says when it is set up and torn down.
struct Tiles {
    std::vector<int> tiles{1, 2, 3};
    Tiles() { std::cout << "construct\n"; }
    void setup() { std::cout << "setup\n"; }
    void teardown() { std::cout << "teardown\n"; }
    ~Tiles() { std::cout << "destroy\n"; }
};

struct BrokenSetup {
    void setup() { ZUNO_ASSERT(false, "the card did not answer"); }
    void teardown() { std::cout << "teardown\n"; }
};

struct BrokenTeardown {
    void teardown() { ZUNO_ASSERT_EQ(open_files, 0); }
    int open_files = 1;
};

}  // namespace

ZUNO_TEST("compare::lt") {
    ZUNO_ASSERT_LT(3, 2);
}

ZUNO_TEST("compare::le") {
    ZUNO_ASSERT_LE(std::string("b"), "a");
}

ZUNO_TEST("compare::gt") {
    ZUNO_ASSERT_GT(1.5, 2.5);
}

ZUNO_TEST("compare::ge") {
    ZUNO_ASSERT_GE(-1, 0u);
}

// Signed against unsigned compares values: -1 is less than 1u.
ZUNO_TEST_TABLE("compare::signed", (int v), {-1, zuno::row("max", 2147483647)}, zuno::unit) {
    ZUNO_ASSERT_LT(v, 1u);
}

ZUNO_TEST_TABLE("near", (double x), {1.05, zuno::row("nan", NAN), 2.5}) {
    ZUNO_ASSERT_NEAR(x, 1.0, 0.1);
}

ZUNO_TEST("throws::wrong_type") {
    ZUNO_ASSERT_THROWS(parse("7"), std::invalid_argument);
}

ZUNO_TEST("throws::nothing") {
    ZUNO_ASSERT_THROWS(throw_int());
    ZUNO_ASSERT_THROWS(parse("x"), std::invalid_argument);
    ZUNO_ASSERT_THROWS(parse("x"), std::out_of_range);
}

ZUNO_TEST("throws::any") {
    ZUNO_ASSERT_THROWS(parse("12"));
}

ZUNO_TEST("no_throw") {
    ZUNO_ASSERT_NO_THROW(parse("12"));
    ZUNO_ASSERT_NO_THROW(throw_int());
}

ZUNO_TEST("check::every_form") {
    const int answer = 42;
    ZUNO_CHECK(answer == 42);
    ZUNO_CHECK(answer == 41);
    ZUNO_CHECK(answer < 0, "negative answer expected");
    ZUNO_CHECK_EQ(answer, 41);
    ZUNO_CHECK_NE(answer, 42);
    ZUNO_CHECK_LT(answer, 42);
    ZUNO_CHECK_LE(answer, 41);
    ZUNO_CHECK_GT(answer, 42u);
    ZUNO_CHECK_GE(answer, 43);
    ZUNO_CHECK_NEAR(0.5f, 0.25f, 0.125f);
    ZUNO_CHECK_THROWS(parse("x"), std::out_of_range);
    ZUNO_CHECK_NO_THROW(parse("y"));
    std::cout << "still running after 11 failed checks\n";
}

ZUNO_TEST("check::one") {
    ZUNO_CHECK_EQ(parse("12"), 13);
}

// The assertion ends the body: its failure is the test's, the check's
// report stays in the output.
ZUNO_TEST("check::then_assert") {
    ZUNO_CHECK(parse("1") == 2);
    ZUNO_ASSERT(parse("1") == 3);
}

// Failed checks alone do not satisfy should_panic; with a panic they do.
ZUNO_TEST("check::should_panic_alone", zuno::should_panic) {
    ZUNO_CHECK(false);
}
ZUNO_TEST("check::should_panic_panics", zuno::should_panic_with("gone")) {
    ZUNO_CHECK(false);
    ZUNO_ASSERT(false, "the card is gone");
}

ZUNO_TEST("skip::reason") {
    ZUNO_SKIP("needs a card");
}

ZUNO_TEST("skip::after_check") {
    ZUNO_CHECK_EQ(1, 2);
    ZUNO_SKIP("too late to skip");
}

ZUNO_TEST_F(Tiles, "fixture::passes") {
    std::cout << "body sees " << tiles.size() << " tiles\n";
    ZUNO_ASSERT_EQ(tiles.size(), 3u);
}

ZUNO_TEST_F(Tiles, "fixture::body_fails") {
    std::cout << "body\n";
    tiles.push_back(4);
    ZUNO_ASSERT_EQ(tiles.size(), 3u);
}

ZUNO_TEST_F(BrokenSetup, "fixture::setup_fails") {
    std::cout << "body never runs\n";
}

ZUNO_TEST_F(BrokenTeardown, "fixture::teardown_fails") {
    std::cout << "body\n";
}

// Each row sees its own full name; a label replaces the index.
ZUNO_TEST_TABLE("rows", (const std::string& expected),
                {"rows::0", zuno::row("labelled", "rows::labelled"), "rows::2"},
                zuno::tags("rows")) {
    ZUNO_ASSERT_EQ(zuno::current_test_name(), expected);
}

ZUNO_TEST("timeout::own", zuno::timeout(1.5), zuno::tags("slow", "device")) {
    std::cout << "waiting\n";
    std::this_thread::sleep_for(std::chrono::seconds(3));
}
