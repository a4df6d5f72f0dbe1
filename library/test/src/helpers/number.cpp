#include "helpers/number.hpp"

namespace test::helpers {

Decimal parse_decimal(std::string_view text, std::uint64_t max) {
    if (text.empty()) {
        return {0, "cannot parse integer from empty string"};
    }
    if (text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return {0, "invalid digit found in string"};
    }
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return {0, "invalid digit found in string"};
        }
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) {
            return {0, "number too large to fit in target type"};
        }
        value = value * 10 + digit;
    }
    return {value, nullptr};
}

}  // namespace test::helpers
