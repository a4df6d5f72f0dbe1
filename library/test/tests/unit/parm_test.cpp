#include "term/terminfo/parm.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

using test::term::terminfo::expand;
using test::term::terminfo::Flags;
using test::term::terminfo::format;
using test::term::terminfo::format_op_from_char;
using test::term::terminfo::FormatOp;
using test::term::terminfo::Param;
using test::term::terminfo::Variables;

std::span<const std::uint8_t> bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string text(const std::vector<std::uint8_t>& v) {
    return {v.begin(), v.end()};
}

std::vector<Param> params(std::initializer_list<std::int32_t> values) {
    std::vector<Param> out;
    for (auto v : values) {
        out.push_back(Param{v});
    }
    return out;
}

// Expands with fresh variables; returns the output, or "error: <message>".
std::string run(std::string_view cap, std::initializer_list<std::int32_t> values = {}) {
    Variables vars;
    auto r = expand(bytes(cap), params(values), vars);
    return r ? text(r.value()) : "error: " + r.error();
}

struct Case {
    std::string_view cap;
    std::initializer_list<std::int32_t> params;
    std::string want;
};

TEST(Expand, ProducesTheExpectedBytes) {
    const Case cases[] = {
        {"\x1b[3%p1%dm", {2}, "\x1b[32m"},
        {"%p1%02d", {5}, "05"},
        {"%p1%:-4d|", {7}, "7   |"},
        {"%?%p1%t1%e2%;", {1}, "1"},
        {"%?%p1%t1%e2%;", {0}, "2"},
        {"%p1%c", {0}, "\x80"},
        {"%{65}%c", {}, "A"},
        {"%p1%#o", {8}, "010"},
        {"%p1%#x", {0}, "0"},
        {"%p1%#x", {255}, "0xff"},
        {"%p1%#X", {255}, "0XFF"},
        {"%p1%:+d", {3}, "+3"},
        {"%p1%.3d", {-5}, "-005"},
        {"plain text", {}, "plain text"},
        {"100%%", {}, "100%"},
        // Parameters: nine slots, missing ones 0, further ones ignored.
        {"%p9%d,%p2%d", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, "9,2"},
        {"%p3%d", {1}, "0"},
        // %i increments the first two slots only.
        {"%i%p1%d;%p2%d;%p3%d", {1, 2, 3}, "2;3;3"},
        // Arithmetic: x op y with x pushed first.
        {"%p1%p2%-%d", {7, 10}, "-3"},
        {"%p1%p2%/%d", {-7, 2}, "-3"},
        {"%p1%p2%m%d", {-7, 2}, "-1"},
        {"%{2147483647}%{1}%+%d", {}, "-2147483648"},
        {"%{65536}%{65536}%*%d", {}, "0"},
        {"%p1%{1}%-%d", {INT_MIN}, "2147483647"},
        {"%{12}%{10}%&%d %{12}%{10}%|%d %{12}%{10}%^%d", {}, "8 14 6"},
        {"%p1%~%d", {0}, "-1"},
        {"%p1%!%d%p2%!%d%p3%!%d", {5, 0, -1}, "011"},
        {"%p1%p2%=%d%p1%p2%>%d%p1%p2%<%d", {3, 2}, "010"},
        {"%p1%p2%A%d%p1%p2%O%d", {1, -1}, "01"},
        {"%'x'%d", {}, "120"},
        // Variables set and read within one expansion.
        {"%p1%Pa%p2%PZ%gZ%d%ga%d", {4, 9}, "94"},
        // Nested conditions: the inner one is skipped whole.
        {"%?%p1%t%?%p2%tA%eB%;%eC%;", {0, 1}, "C"},
        {"%?%p1%t%?%p2%tA%eB%;%eC%;", {1, 0}, "B"},
        {"%?%p1%tA%e%p2%tB%eC%;", {0, 1}, "B"},
        {"%?%p1%tA%e%p2%tB%eC%;", {0, 0}, "C"},
        {"%?%p1%t%%x%;y", {0}, "y"},
        // A typical 256-colour setaf.
        {"\x1b[%?%p1%{8}%<%t3%p1%d%e%p1%{16}%<%t9%p1%{8}%-%d%e38;5;%p1%d%;m", {9}, "\x1b[91m"},
        {"\x1b[%?%p1%{8}%<%t3%p1%d%e%p1%{16}%<%t9%p1%{8}%-%d%e38;5;%p1%d%;m",
         {200},
         "\x1b[38;5;200m"},
        // Format patterns.
        {"%p1%5d|", {42}, "   42|"},
        {"%p1%:-5x|", {42}, "2a   |"},
        {"%p1% d", {42}, " 42"},
        {"%p1%05d", {-42}, "-0042"},
        {"%p1%:-05d|", {7}, "7    |"},
        {"%p1%#06x", {255}, "0x00ff"},
        {"%p1%3.2d", {5}, " 05"},
        {"%p1%o", {-1}, "37777777777"},
        {"%p1%x", {INT_MIN}, "80000000"},
        {"%p1%d", {INT_MIN}, "-2147483648"},
        // An unfinished pattern or escape at the end is dropped.
        {"ab%", {}, "ab"},
        {"ab%{12", {}, "ab"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(c.cap, c.params), c.want) << "capability " << c.cap;
    }
}

TEST(Expand, ReportsErrors) {
    const Case cases[] = {
        {"%{2147483648}", {}, "int constant too large"},
        {"%{12a}", {}, "bad int constant"},
        {"%px", {}, "bad param number"},
        {"%p0", {}, "bad param number"},
        {"%Q", {}, "unrecognized format option Q"},
        {"%\xe9", {}, "unrecognized format option \xc3\xa9"},
        {"%p1%+d", {3}, "stack is empty"},
        {"%d", {}, "stack is empty"},
        {"%c", {}, "stack is empty"},
        {"%t", {}, "stack is empty"},
        {"%!", {}, "stack is empty"},
        {"%PA", {}, "stack is empty"},
        {"%P1", {}, "bad variable name in %P"},
        {"%g!", {}, "bad variable name in %g"},
        {"%'ab", {}, "malformed character constant"},
        {"%l", {}, "stack is empty"},
        {"%p1%l", {}, "a non-str was used with %l"},
        {"%p1%s", {}, "non-number on stack with %s"},
        {"%p1%:5s", {}, "non-number on stack with %s"},
        {"%p1%:5.q", {}, "invalid format specifier"},
        {"%p1%5#d", {}, "invalid format specifier"},
        {"%:d", {}, "stack is empty"},
        // Arithmetic without a defined result.
        {"%p1%{0}%/%d", {5}, "division by zero"},
        {"%p1%{0}%m%d", {5}, "division by zero"},
        // Widths and precisions are capped so that an entry cannot ask for
        // megabytes of padding.
        {"%p1%65536d", {1}, "format width overflow"},
        {"%p1%99999999999999999999d", {1}, "format width overflow"},
        {"%p1%.65536d", {1}, "format precision overflow"},
        {"%p1%.99999999999999999999d", {1}, "format precision overflow"},
        // Two widest conversions together exceed what one expansion may produce.
        {"%p1%65535d%p1%65535d", {1}, "expansion too long"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(c.cap, c.params), "error: " + c.want) << "capability " << c.cap;
    }
    // The smallest value divided or reduced by -1 has no 32-bit result.
    Variables vars;
    const auto min_and_minus_one = params({INT_MIN, -1});
    for (std::string_view cap : {"%p1%p2%/%d", "%p1%p2%m%d"}) {
        auto r = expand(bytes(cap), min_and_minus_one, vars);
        ASSERT_FALSE(r) << cap;
        EXPECT_EQ(r.error(), "division overflow");
    }
}

TEST(Expand, WidthUpToTheLimitIsHonoured) {
    EXPECT_EQ(run("%p1%65535d", {1}).size(), 65535U);
    EXPECT_EQ(run("%p1%.65535d", {1}).size(), 65535U);
    // The minus sign does not count against the precision.
    EXPECT_EQ(run("%p1%.65535d", {-1}).size(), 65536U);
}

TEST(Expand, VariablesOutliveOneCall) {
    Variables vars;
    auto set = expand(bytes("%p1%PA%p2%Pz"), params({11, 22}), vars);
    ASSERT_TRUE(set);
    EXPECT_TRUE(set.value().empty());
    EXPECT_EQ(vars.sta_vars[0], Param{11});
    EXPECT_EQ(vars.dyn_vars[25], Param{22});
    auto get = expand(bytes("%gA%d,%gz%d,%gB%d"), {}, vars);
    ASSERT_TRUE(get);
    EXPECT_EQ(text(get.value()), "11,22,0");
}

TEST(Format, AppliesFlagsPrecisionAndWidth) {
    struct FormatCase {
        std::int32_t value;
        char op;
        Flags flags;
        std::string want;
    };
    auto flags = [](std::uint32_t width, std::uint32_t precision, bool alternate, bool left,
                    bool sign, bool space) {
        Flags f;
        f.width = width;
        f.precision = precision;
        f.alternate = alternate;
        f.left = left;
        f.sign = sign;
        f.space = space;
        return f;
    };
    const FormatCase cases[] = {
        {5, 'd', Flags{}, "5"},
        {5, 'd', flags(0, 3, false, false, false, false), "005"},
        // With the sign flag the precision counts the sign.
        {5, 'd', flags(0, 3, false, false, true, false), "+05"},
        {-5, 'd', flags(0, 3, false, false, true, false), "-05"},
        {-5, 'd', flags(0, 3, false, false, false, false), "-005"},
        {5, 'd', flags(0, 2, false, false, false, true), " 05"},
        {-5, 'd', flags(0, 0, false, false, false, true), "-5"},
        {8, 'o', Flags{}, "10"},
        {8, 'o', flags(0, 4, true, false, false, false), "0010"},
        {8, 'o', flags(0, 0, true, false, false, false), "010"},
        {0, 'o', flags(0, 0, true, false, false, false), "00"},
        {255, 'x', flags(0, 4, true, false, false, false), "0x00ff"},
        {-1, 'X', Flags{}, "FFFFFFFF"},
        {42, 'd', flags(6, 0, false, false, false, false), "    42"},
        {42, 'd', flags(6, 0, false, true, false, false), "42    "},
        {42, 'x', flags(1, 0, false, false, false, false), "2a"},
    };
    for (const auto& c : cases) {
        auto op = format_op_from_char(c.op);
        ASSERT_TRUE(op.has_value());
        auto r = format(Param{c.value}, *op, c.flags);
        ASSERT_TRUE(r) << c.value << c.op << ": " << r.error();
        EXPECT_EQ(text(r.value()), c.want) << c.value << " " << c.op;
    }
}

TEST(Format, RejectsStringsAndOversizedFields) {
    auto r = format(Param{1}, FormatOp::String, Flags{});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "non-number on stack with %s");
    Flags wide;
    wide.width = 1U << 30;
    r = format(Param{1}, FormatOp::Digit, wide);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "format width overflow");
    Flags precise;
    precise.precision = 65536;
    r = format(Param{1}, FormatOp::LowerHex, precise);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "format precision overflow");
    EXPECT_FALSE(format_op_from_char('c').has_value());
}

}  // namespace
