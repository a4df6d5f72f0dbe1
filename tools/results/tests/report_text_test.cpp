// The report's text escaping: what recorded names, messages and outputs
// become in the page's HTML and inside its JSON data block.

#include <gtest/gtest.h>

#include <string>

#include "report.hpp"

namespace zuno::results {
namespace {

struct Case {
    const char* what;
    std::string in;
    std::string out;
};

TEST(ReportText, HtmlTextIsNeverMarkup) {
    const Case cases[] = {
        {"markup", "<img src=x onerror=\"f('1')\">&",
         "&lt;img src=x onerror=&quot;f(&#39;1&#39;)&quot;&gt;&amp;"},
        {"line feed and tab kept", "a\n\tb", "a\n\tb"},
        {"controls replaced",
         std::string("a\x01\x1b\x7f"
                     "b\r",
                     6),
         "a\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"
         "b\xef\xbf\xbd"},
        {"valid UTF-8 kept", "名前 \xf0\x9f\x92\xa1", "名前 \xf0\x9f\x92\xa1"},
        {"invalid UTF-8 replaced per byte", "a\xff\xc3(\xed\xa0\x80",
         "a\xef\xbf\xbd\xef\xbf\xbd(\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        {"truncated sequence at the end", "ok\xe2\x82", "ok\xef\xbf\xbd\xef\xbf\xbd"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(html_text(c.in), c.out) << c.what;
    }
}

TEST(ReportText, TerminalCodesBecomeSpansOrGo) {
    const Case cases[] = {
        {"colour and reset", "\x1b[31mred\x1b[0m plain", "<span class=\"a1\">red</span> plain"},
        {"bold bright colour, closed at the end", "\x1b[1;92mgo",
         "<span class=\"a10 ab\">go</span>"},
        {"256-colour: low entries kept, others dropped", "\x1b[38;5;4mx\x1b[38;5;200my\x1b[39mz",
         "<span class=\"a4\">xy</span>z"},
        {"direct colour arguments skipped", "\x1b[38;2;1;2;3;1mb\x1b[22m",
         "<span class=\"ab\">b</span>"},
        {"cursor movement and erase removed", "a\x1b[2K\x1b[1Gb\r\n", "ab\n"},
        {"window title removed", "\x1b]0;title\x07x\x1b]2;t\x1b\\y", "xy"},
        {"incomplete sequence at the end", "a\x1b[31", "a"},
        {"markup inside colour", "\x1b[33m</script>\x1b[m",
         "<span class=\"a3\">&lt;/script&gt;</span>"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ansi_to_html(c.in), c.out) << c.what;
    }
}

TEST(ReportText, JsonInScriptCannotEndTheBlock) {
    EXPECT_EQ(script_safe_json(R"(["</script><!--&", "a)"
                               "\xe2\x80\xa8"
                               "b"
                               "\xe2\x80\xa9"
                               R"("])"),
              R"(["\u003c/script\u003e\u003c!--\u0026", "a\u2028b\u2029"])");
    // Other three-byte characters pass unchanged.
    EXPECT_EQ(script_safe_json("\"\xe2\x80\xa6\""), "\"\xe2\x80\xa6\"");
}

}  // namespace
}  // namespace zuno::results
