// Failure messages of the public assertion macros. Each raises a panic located
// at the assertion, so the report names the test's own file, line and column.

#include <sstream>
#include <string>

#include "panic.hpp"
#include <zuno/test.hpp>

namespace zuno::detail {

namespace {

std::string text_of(const Shown& v) {
    if (v.print == nullptr) {
        return "<unprintable>";
    }
    std::ostringstream out;
    v.print(out, v.value);
    return std::move(out).str();
}

}  // namespace

void fail_assertion(std::string message, const std::source_location& loc) {
    rt::panic(std::move(message), loc);
}

void fail_comparison(const char* op, Shown left, Shown right, const std::source_location& loc) {
    rt::panic(std::string("assertion `left ") + op + " right` failed\n  left: " + text_of(left) +
                  "\n right: " + text_of(right),
              loc);
}

}  // namespace zuno::detail
