// discovery_fixture: what CTest discovery must carry over intact: a name with
// ";", brackets, quotes and a space, an ignored test (registered disabled) and
// a benchmark (not registered).

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
