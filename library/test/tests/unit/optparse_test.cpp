#include "optparse.hpp"

#include "support.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace test::optparse {
namespace {

// A table shaped like a real command line: long-only flags, options with a
// value, a repeatable option and options with short names.
Options sample_table() {
    Options opts;
    opts.optflag("", "include-ignored", "Run ignored and not ignored tests")
        .optflag("", "ignored", "Run only ignored tests")
        .optflag("", "list", "List all tests and benchmarks")
        .optflag("", "exact", "Exactly match filters rather than by substring")
        .optflag("h", "help", "Display this message")
        .optopt("", "logfile", "Write logs to the specified file (deprecated)", "PATH")
        .optopt("", "test-threads", "Number of threads used for running tests in parallel",
                "n_threads")
        .optmulti("", "skip", "Skip tests whose names contain FILTER", "FILTER")
        .optflag("q", "quiet", "Display one character per test instead of one line")
        .optopt("Z", "", "Enable nightly-only flags", "unstable-options");
    return opts;
}

// Compact rendering of a parse result: "name@pos[=value] ... | free: a b | after=N",
// or the failure message.
std::string render(const ParseResult& result) {
    if (const auto* fail = std::get_if<Fail>(&result)) {
        return fail->to_string();
    }
    const Matches& m = std::get<Matches>(result);
    std::string out;
    for (std::size_t i = 0; i < m.opts.size(); ++i) {
        for (const auto& [pos, val] : m.vals[i]) {
            out +=
                (out.empty() ? "" : " ") + m.opts[i].name.to_string() + "@" + std::to_string(pos);
            if (val.kind == Optval::Kind::Text) {
                out += "=" + val.text;
            }
        }
    }
    if (!m.free.empty()) {
        out += " | free:";
        for (const std::string& f : m.free) {
            out += " " + f;
        }
    }
    if (m.after_terminator) {
        out += " | after=" + std::to_string(*m.after_terminator);
    }
    return out;
}

using support::panic_message;

struct ParseCase {
    std::vector<std::string> args;
    std::string expected;
};

TEST(OptparseParse, WalksTheArgumentList) {
    const std::vector<ParseCase> cases = {
        {{}, ""},
        // Inline and separate values.
        {{"--test-threads=4"}, "test-threads@0=4"},
        {{"--test-threads", "4"}, "test-threads@0=4"},
        {{"--test-threads="}, "test-threads@0="},
        {{"--logfile=a=b"}, "logfile@0=a=b"},
        // A required value is taken whatever it looks like.
        {{"--logfile", "--list"}, "logfile@0=--list"},
        {{"--logfile", "--"}, "logfile@0=--"},
        {{"-Z", "-q"}, "Z@0=-q"},
        // Short clusters, inline short values, one-byte long forms.
        {{"-qh"}, "help@0 quiet@0"},
        {{"-Zunstable-options"}, "Z@0=unstable-options"},
        {{"-Z", "unstable-options"}, "Z@0=unstable-options"},
        {{"-qZfoo"}, "quiet@0 Z@0=foo"},
        {{"-Zq"}, "Z@0=q"},
        {{"--q"}, "quiet@0"},
        {{"--h"}, "help@0"},
        // Repeated values keep their order; positions skip consumed values.
        {{"--skip", "a", "--skip", "b"}, "skip@0=a skip@1=b"},
        {{"x", "--logfile", "f", "--list", "y"}, "list@2 logfile@1=f | free: x y"},
        // Free arguments and the terminator.
        {{"-", "foo"}, " | free: - foo"},
        {{"foo", "--exact", "bar"}, "exact@1 | free: foo bar"},
        {{"a", "--", "-q", "--list", "--"}, " | free: a -q --list -- | after=1"},
        {{"--"}, ""},
        {{"a", "--"}, " | free: a"},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(render(sample_table().parse(c.args)), c.expected);
    }
}

TEST(OptparseParse, ReportsTheFirstFailure) {
    const std::vector<ParseCase> cases = {
        {{"--list=1"}, "Option 'list' does not take an argument"},
        {{"--list="}, "Option 'list' does not take an argument"},
        {{"--q=1"}, "Option 'q' does not take an argument"},  // the name as typed
        {{"--logfile"}, "Argument to option 'logfile' missing"},
        {{"-Z"}, "Argument to option 'Z' missing"},
        {{"--nope"}, "Unrecognized option: 'nope'"},
        {{"-x"}, "Unrecognized option: 'x'"},
        {{"-qx"}, "Unrecognized option: 'x'"},
        {{"-h=1"}, "Unrecognized option: '='"},
        {{"-\xC3\xA9"}, "Unrecognized option: '\xC3\xA9'"},  // a whole character, not a byte
        {{"---list"}, "Unrecognized option: '-list'"},
        {{"--=x"}, "Unrecognized option: ''"},
        {{"-q", "-q"}, "Option 'quiet' given more than once"},  // the primary name
        {{"-q", "--quiet"}, "Option 'quiet' given more than once"},
        {{"--logfile", "a", "--logfile=b"}, "Option 'logfile' given more than once"},
        {{"-Za", "-Zb"}, "Option 'Z' given more than once"},
        // The walk stops at its first failure; occurrence checks come after the walk.
        {{"--nope", "--list=1"}, "Unrecognized option: 'nope'"},
        {{"-q", "-q", "--nope"}, "Unrecognized option: 'nope'"},
        {{"--list", "--list", "-q", "-q"}, "Option 'list' given more than once"},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(render(sample_table().parse(c.args)), c.expected);
    }
}

TEST(OptparseParse, OptionalValuesRequiredOptionsAndStyles) {
    auto optional_value = [] {
        Options opts;
        opts.opt("o", "opt", "optional value", "V", HasArg::ValueOptional, Occur::Repeated)
            .optflag("f", "flag", "a flag");
        return opts;
    };
    auto required = [] {
        Options opts;
        opts.opt("r", "req", "required", "V", HasArg::ValueRequired, Occur::Required);
        return opts;
    };
    auto stop_at_free = [] {
        Options opts;
        opts.optflag("f", "flag", "a flag").parsing_style(ParsingStyle::StopAtFree);
        return opts;
    };
    auto single_dash = [] {
        Options opts;
        opts.optflag("", "flag", "a flag").optopt("", "val", "a value", "V").long_only(true);
        return opts;
    };
    struct Case {
        std::function<Options()> table;
        std::vector<std::string> args;
        std::string expected;
    };
    const std::vector<Case> cases = {
        // A long form never takes the next argument as an optional value.
        {optional_value, {"--opt", "v"}, "opt@0 | free: v"},
        {optional_value, {"--opt=v"}, "opt@0=v"},
        {optional_value, {"-o", "v"}, "opt@0=v"},
        {optional_value, {"-ov"}, "opt@0=v"},
        {optional_value, {"-o"}, "opt@0"},
        {optional_value, {"-o", "-f"}, "opt@0 flag@1"},
        {optional_value, {"-o", "-"}, "opt@0=-"},
        {optional_value, {"-fo", "v"}, "opt@0=v flag@0"},
        {required, {}, "Required option 'req' missing"},
        {required, {"-r", "1"}, "req@0=1"},
        {required, {"-r", "1", "--req", "2"}, "Option 'req' given more than once"},
        {stop_at_free, {"-f", "a", "-f"}, "flag@0 | free: a -f"},
        {stop_at_free, {"-f", "--", "-f"}, "flag@0 | free: -f | after=0"},
        {single_dash, {"-flag", "-val", "x"}, "flag@0 val@1=x"},
        {single_dash, {"--flag", "-val=x"}, "flag@0 val@1=x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(render(c.table().parse(c.args)), c.expected);
    }
}

TEST(OptparseMatches, QueriesByShortOrLongName) {
    Options opts;
    opts.opt("o", "opt", "optional value", "V", HasArg::ValueOptional, Occur::Repeated)
        .optmulti("s", "skip", "skip", "S")
        .optflag("q", "quiet", "quiet");
    const ParseResult result = opts.parse({"-o", "--opt", "-ofoo", "-s", "a", "--skip=b", "-oc"});
    ASSERT_TRUE(std::holds_alternative<Matches>(result));
    const Matches& m = std::get<Matches>(result);

    // The first occurrence carries no value, so opt_str has nothing to give.
    EXPECT_EQ(m.opt_str("o"), std::nullopt);
    EXPECT_EQ(m.opt_strs("opt"), (std::vector<std::string>{"foo", "c"}));
    EXPECT_EQ(m.opt_vals("o"), (std::vector<Matches::Entry>{{0, Optval::present()},
                                                            {1, Optval::present()},
                                                            {2, Optval::value("foo")},
                                                            {5, Optval::value("c")}}));
    EXPECT_EQ(m.opt_str("s"), "a");
    EXPECT_EQ(m.opt_strs("skip"), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(m.opt_present("opt"));
    EXPECT_FALSE(m.opt_present("q"));
    EXPECT_FALSE(m.opt_present("quiet"));
    EXPECT_EQ(m.opt_str("quiet"), std::nullopt);
    EXPECT_EQ(panic_message([&] { (void)m.opt_present("nope"); }), "No option 'nope' defined");
    EXPECT_EQ(panic_message([&] { (void)m.opt_str("x"); }), "No option 'x' defined");
}

TEST(OptparseNames, FromStrAndFindOpt) {
    EXPECT_EQ(Name::from_str("q"), Name::short_name("q"));
    EXPECT_EQ(Name::from_str("qq"), Name::long_name("qq"));
    EXPECT_EQ(Name::from_str(""), Name::long_name(""));
    EXPECT_EQ(Name::from_str("\xC3\xA9"), Name::long_name("\xC3\xA9"));  // two bytes
    EXPECT_NE(Name::short_name("q"), Name::long_name("q"));

    OptGroup both{"q", "quiet", "", "", HasArg::NoValue, Occur::Optional};
    const Opt opt = both.long_to_short();
    EXPECT_EQ(opt.name, Name::long_name("quiet"));
    ASSERT_EQ(opt.aliases.size(), 1U);
    EXPECT_EQ(opt.aliases[0].name, Name::short_name("q"));

    const std::vector<Opt> opts = {
        Opt{Name::long_name("list"), HasArg::NoValue, Occur::Optional, {}},
        opt,
        Opt{Name::short_name("Z"), HasArg::ValueRequired, Occur::Optional, {}},
        // A later option answering to a name already taken never wins.
        Opt{Name::long_name("list"), HasArg::NoValue, Occur::Optional, {}},
    };
    EXPECT_EQ(find_opt(opts, Name::long_name("list")), 0U);
    EXPECT_EQ(find_opt(opts, Name::short_name("q")), 1U);
    EXPECT_EQ(find_opt(opts, Name::long_name("quiet")), 1U);
    EXPECT_EQ(find_opt(opts, Name::short_name("Z")), 2U);
    EXPECT_EQ(find_opt(opts, Name::long_name("Z")), std::nullopt);
    EXPECT_EQ(find_opt(opts, Name::short_name("l")), std::nullopt);
}

TEST(OptparseDeclaration, FaultsOfTheDeclaringCodeStop) {
    struct Case {
        std::function<void()> declare;
        std::string message;
    };
    const std::vector<Case> cases = {
        {[] { Options().optflag("ab", "long", ""); },
         "the short_name (first argument) should be a single character, or an empty string for "
         "none"},
        {[] { Options().optopt("", "l", "", "H"); },
         "the long_name (second argument) should be longer than a single character, or an empty "
         "string for none"},
        {[] { (void)Options().optflag("", "", "").parse({}); },
         "this long-format option was given no name"},
        {[] { (void)OptGroup{"ab", "", "", "", HasArg::NoValue, Occur::Optional}.long_to_short(); },
         "something is wrong with the long-form opt"},
        {[] { (void)OptGroup{"", "", "", "", HasArg::NoValue, Occur::Optional}.long_to_short(); },
         "this long-format option was given no name"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(panic_message(c.declare), c.message);
    }
}

TEST(OptparseFail, DisplaysEachKind) {
    const std::vector<std::pair<Fail, std::string>> cases = {
        {{Fail::Kind::MissingValue, "logfile"}, "Argument to option 'logfile' missing"},
        {{Fail::Kind::Unrecognized, "x"}, "Unrecognized option: 'x'"},
        {{Fail::Kind::MissingRequired, "req"}, "Required option 'req' missing"},
        {{Fail::Kind::Duplicated, "quiet"}, "Option 'quiet' given more than once"},
        {{Fail::Kind::UnexpectedValue, "list"}, "Option 'list' does not take an argument"},
    };
    for (const auto& [fail, message] : cases) {
        EXPECT_EQ(fail.to_string(), message);
    }
}

TEST(OptparseUsage, RendersRows) {
    const std::string col24(24, ' ');
    const std::vector<std::string> rows =
        Options()
            .optflag("", "include-ignored", "Run ignored and not ignored tests")
            .optflag("", "ignored", "Run only ignored tests")
            .optflag("h", "help", "Display this message")
            .optopt("Z", "", "Enable nightly-only flags", "unstable-options")
            .optflag("", "no-capture",
                     "don't capture stdout/stderr of each task, allow printing directly")
            .optopt("", "color",
                    "Configure coloring of output:\n"
                    "            auto   = colorize (default);\n"
                    "\n"
                    "            never  = never colorize output;\n"
                    "            ",
                    "auto|never")
            .opt("o", "opt", "Optional", "V", HasArg::ValueOptional, Occur::Optional)
            .optflag("", "abcdefghijklm", "Exactly 24")
            .optflag("", "bare", "")
            .usage_items();
    const std::vector<std::string> expected = {
        "        --include-ignored \n" + col24 + "Run ignored and not ignored tests",
        "        --ignored       Run only ignored tests",
        "    -h, --help          Display this message",
        "    -Z unstable-options Enable nightly-only flags",
        "        --no-capture    don't capture stdout/stderr of each task, allow\n" + col24 +
            "printing directly",
        "        --color auto|never\n" + col24 + "Configure coloring of output:\n" + col24 +
            "auto = colorize (default);\n" + col24 + "never = never colorize output;",
        "    -o, --opt [V]       Optional",
        "        --abcdefghijklm \n" + col24 + "Exactly 24",
        "        --bare          ",
    };
    EXPECT_EQ(rows, expected);
}

TEST(OptparseUsage, WithoutShortNamesAndWholeBlock) {
    Options opts;
    opts.optflag("", "ignored", "Run only ignored tests").optopt("", "logfile", "Log", "PATH");
    EXPECT_EQ(opts.usage("Usage: prog"),
              "Usage: prog\n\nOptions:\n"
              "    --ignored           Run only ignored tests\n"
              "    --logfile PATH      Log\n");
    EXPECT_EQ(Options().usage("Brief"), "Brief\n\nOptions:\n\n");

    opts.long_only(true);
    EXPECT_EQ(opts.usage_items()[0], "    -ignored            Run only ignored tests");
}

TEST(OptparseWrap, EachSplitWithin) {
    struct Case {
        std::string desc;
        std::size_t limit;
        std::vector<std::string> rows;
    };
    const std::vector<Case> cases = {
        {"", 54, {}},
        {" \n\t \n ", 54, {}},
        {"a   b", 54, {"a b"}},
        {"  one\r\ntwo  ", 54, {"one", "two"}},
        {"one\n\n\n            two", 54, {"one", "two"}},
        {"ab cd", 5, {"ab cd"}},  // exactly at the limit
        {"ab cde", 5, {"ab", "cde"}},
        {"abcdefgh ab cd", 5, {"abcdefgh", "ab cd"}},  // a long word is never cut
        {"x abcdefgh", 5, {"x", "abcdefgh"}},
        // Unicode white space separates and is trimmed; lengths are bytes.
        {"a\u00A0b\u3000c\u2028d", 54, {"a b c d"}},
        {"\u2003word\u0085", 54, {"word"}},
        {"\xC3\xA9\xC3\xA9 \xC3\xA9\xC3\xA9", 9, {"\xC3\xA9\xC3\xA9 \xC3\xA9\xC3\xA9"}},
        {"\xC3\xA9\xC3\xA9 \xC3\xA9\xC3\xA9", 8, {"\xC3\xA9\xC3\xA9", "\xC3\xA9\xC3\xA9"}},
        // A stray byte is part of its word.
        {"a\xFF"
         "b c",
         54,
         {"a\xFF"
          "b c"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.desc));
        EXPECT_EQ(each_split_within(c.desc, c.limit), c.rows);
    }
}

}  // namespace
}  // namespace test::optparse
