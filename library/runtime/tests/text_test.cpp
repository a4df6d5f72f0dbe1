// Text helpers and I/O error rendering.
#include "text.hpp"
#include "utf8.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>

#include "io.hpp"
#include "panic.hpp"
#include "process.hpp"
#include "result.hpp"

namespace {

using namespace std::string_literals;

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

TEST(Utf8Lossy, ReplacesEachMaximalSubpartOnce) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"", ""},
        {"plain ascii", "plain ascii"},
        {"h\xC3\xA9llo \xE2\x9C\x93 \xF0\x9F\x98\x80",
         "h\xC3\xA9llo \xE2\x9C\x93 \xF0\x9F\x98\x80"},
        // The example sequence of the Unicode standard's U+FFFD substitution practice.
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
         "a" + R + R + R + "b" + R + "c" + R + R + "d"},
        {"\xC0\xAF", R + R},                  // overlong lead byte never starts a character
        {"\xE0\x80\xAF", R + R + R},          // overlong three-byte form
        {"\xED\xA0\x80", R + R + R},          // surrogate
        {"\xF4\x90\x80\x80", R + R + R + R},  // above U+10FFFF
        {"\xF5\x80", R + R},                  // byte that never occurs
        {"\xF0\x9F\x98", R},                  // truncated at the end
        {"\xF0\x9F\x98x", R + "x"},           // truncated before ASCII
        {"\xE2\x9C", R},                      //
        {"\xE2\x9C\xE2\x9C\x93", R + "\xE2\x9C\x93"},
        {"\xFF\xFE", R + R},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rt::utf8_lossy(c.in), c.out) << rt::debug_quote(c.in);
        EXPECT_EQ(rt::is_utf8(c.in), c.in == c.out) << rt::debug_quote(c.in);
    }
    const std::uint8_t bytes[] = {'o', 'k', 0x80};
    EXPECT_EQ(rt::utf8_lossy(std::span<const std::uint8_t>(bytes)), "ok" + R);
}

TEST(DebugQuote, EscapesQuotesBackslashesAndControls) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"", R"("")"},
        {"local H2D and D2H", R"("local H2D and D2H")"},
        {"a\"b\\c", R"("a\"b\\c")"},
        {"tab\tcr\rlf\n", R"("tab\tcr\rlf\n")"},
        {"nul\0end"s, R"("nul\0end")"},
        {"\x1b[1m", R"("\u{1b}[1m")"},
        {"\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"},
        {"\xC2\x85", R"("\u{85}")"},  // C1 control (NEL)
        {"h\xC3\xA9llo \xE2\x9C\x93", "\"h\xC3\xA9llo \xE2\x9C\x93\""},
        {"'single'", R"("'single'")"},
        {"bad\xFF", R"("bad\xFF")"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rt::debug_quote(c.in), c.out);
    }
}

TEST(EnvVar, RequiresPresenceAndUtf8) {
    ::setenv("RT_TEXT_TEST_PLAIN", "value", 1);
    ::setenv("RT_TEXT_TEST_EMPTY", "", 1);
    ::setenv("RT_TEXT_TEST_BYTES", "a\xFF", 1);
    ::unsetenv("RT_TEXT_TEST_ABSENT");
    EXPECT_EQ(rt::env_var("RT_TEXT_TEST_PLAIN"), "value");
    EXPECT_EQ(rt::env_var("RT_TEXT_TEST_EMPTY"), "");
    EXPECT_EQ(rt::env_var("RT_TEXT_TEST_BYTES"), std::nullopt);
    EXPECT_EQ(rt::env_var_os("RT_TEXT_TEST_BYTES"), "a\xFF");
    EXPECT_EQ(rt::env_var("RT_TEXT_TEST_ABSENT"), std::nullopt);
    EXPECT_EQ(rt::env_var_os("RT_TEXT_TEST_ABSENT"), std::nullopt);
}

TEST(Args, ProgramNameComesFirst) {
    const auto list = rt::args();
    ASSERT_FALSE(list.empty());
    EXPECT_NE(list[0].find("rt_text"), std::string::npos) << list[0];
}

TEST(Args, NonUtf8ArgumentPanics) {
    if (rt::env_var("RT_ARGS_CHILD")) {
        rt::set_output_capture(rt::make_capture_buffer());  // keep the report out of stdout
        auto failure = rt::catch_unwind([] { (void)rt::args(); });
        rt::set_output_capture(nullptr);
        rt::print(failure ? "panicked: " + std::string(failure->message()) : "no panic");
        return;
    }
    auto out = rt::Command("/proc/self/exe")
                   .arg("--gtest_filter=Args.NonUtf8ArgumentPanics")
                   .arg("bad\xFF")
                   .env("RT_ARGS_CHILD", "1")
                   .output();
    ASSERT_TRUE(out.ok()) << out.error().debug();
    const std::string text(out->stdout_bytes.begin(), out->stdout_bytes.end());
    EXPECT_NE(text.find(R"(panicked: argument is not valid Unicode: "bad\xFF")"), std::string::npos)
        << text;
}

TEST(IoError, RendersOsAndCustomErrors) {
    const auto missing = rt::IoError::from_errno(ENOENT);
    EXPECT_EQ(missing.kind(), rt::ErrorKind::NotFound);
    EXPECT_EQ(missing.raw_os_error(), 2);
    EXPECT_EQ(missing.debug(),
              R"(Os { code: 2, kind: NotFound, message: "No such file or directory" })");
    EXPECT_EQ(missing.display(), "No such file or directory (os error 2)");

    const auto custom = rt::IoError::custom(rt::ErrorKind::NotFound, "terminfo file not found");
    EXPECT_EQ(custom.raw_os_error(), -1);
    EXPECT_EQ(custom.debug(), R"(Custom { kind: NotFound, error: "terminfo file not found" })");
    EXPECT_EQ(custom.display(), "terminfo file not found");
    EXPECT_EQ(rt::IoError::custom(rt::ErrorKind::InvalidData, "say \"hi\"").debug(),
              R"(Custom { kind: InvalidData, error: "say \"hi\"" })");

    errno = EACCES;
    EXPECT_EQ(rt::IoError::last_os_error().debug(),
              R"(Os { code: 13, kind: PermissionDenied, message: "Permission denied" })");
}

TEST(IoError, KindsFollowErrno) {
    struct Case {
        int code;
        const char* kind;
    };
    const Case cases[] = {
        {ENOENT, "NotFound"},           {EPERM, "PermissionDenied"},
        {EACCES, "PermissionDenied"},   {EPIPE, "BrokenPipe"},
        {EEXIST, "AlreadyExists"},      {EAGAIN, "WouldBlock"},
        {EINVAL, "InvalidInput"},       {ETIMEDOUT, "TimedOut"},
        {EINTR, "Interrupted"},         {ENOSYS, "Unsupported"},
        {ENOMEM, "OutOfMemory"},        {ENOSPC, "StorageFull"},
        {ENOTDIR, "NotADirectory"},     {EISDIR, "IsADirectory"},
        {EROFS, "ReadOnlyFilesystem"},  {ETXTBSY, "ExecutableFileBusy"},
        {E2BIG, "ArgumentListTooLong"}, {EXDEV, "Uncategorized"},
        {EBADF, "Uncategorized"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(rt::kind_name(rt::kind_from_errno(c.code)), c.kind) << c.code;
        EXPECT_STREQ(rt::kind_name(rt::IoError::from_errno(c.code).kind()), c.kind);
    }
}

TEST(IoResult, CarriesValueOrError) {
    auto half = [](int v) -> rt::IoResult<int> {
        if (v % 2 != 0) {
            return rt::IoError::custom(rt::ErrorKind::InvalidInput, "odd");
        }
        return v / 2;
    };
    auto twice = [&](int v) -> rt::IoResult<void> {
        RT_TRY(half(v));
        return {};
    };
    EXPECT_EQ(half(8).value(), 4);
    EXPECT_FALSE(half(3).ok());
    EXPECT_EQ(half(3).error().message(), "odd");
    EXPECT_TRUE(twice(2).ok());
    EXPECT_EQ(twice(5).error().display(), "odd");
}

}  // namespace
