#include "library/test/src/helpers/concurrency.hpp"

#include <limits>
#include <string>

#include "library/runtime/panic.hpp"
#include "library/runtime/text.hpp"
#include "library/runtime/thread.hpp"

namespace test::helpers {

std::optional<std::size_t> parse_positive(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::size_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::size_t>(c - '0');
        if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    if (value == 0) {
        return std::nullopt;
    }
    return value;
}

std::size_t get_concurrency() {
    if (const std::optional<std::string> value = rt::env_var("ZUNO_TEST_THREADS")) {
        if (const std::optional<std::size_t> n = parse_positive(*value)) {
            return *n;
        }
        rt::panic("ZUNO_TEST_THREADS is `" + *value + "`, should be a positive integer.");
    }
    const std::optional<std::size_t> cpus = rt::available_parallelism();
    return cpus && *cpus > 0 ? *cpus : 1;
}

}  // namespace test::helpers
