// discovery_fixture: what CTest discovery must carry over intact: a name with
// ";", brackets, quotes and a space, an ignored test (registered disabled) and
// a benchmark (not registered), and a table test whose rows carry a tag.

#include <zuno/test.hpp>

ZUNO_TEST("plain") {
    ZUNO_ASSERT(true);
}

ZUNO_TEST("odd; [name] \"quoted\"") {
    ZUNO_ASSERT_EQ(1 + 1, 2);
}

ZUNO_TEST("skipped", zuno::ignore_because("registered disabled")) {
    ZUNO_ASSERT(false);
}

ZUNO_BENCH("bench::not_registered", b) {
    b.iter([] {});
}

// Table rows are CTest tests of their own, under their full names, and carry
// the table's tags as CTest labels.
ZUNO_TEST_TABLE("table", (int n), {1, zuno::row("two", 2)}, zuno::tags("rows")) {
    ZUNO_ASSERT_GT(n, 0);
}
