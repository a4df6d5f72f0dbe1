#include "helpers/concurrency.hpp"

#include <limits>
#include <string>

#include "panic.hpp"
#include "text.hpp"
#include "thread.hpp"
#include "helpers/number.hpp"

namespace test::helpers {

std::optional<std::size_t> parse_positive(std::string_view text) {
    const Decimal d = parse_decimal(text, std::numeric_limits<std::size_t>::max());
    if (d.error != nullptr || d.value == 0) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(d.value);
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

std::size_t capture_limit() {
    static const std::size_t limit = [] {
        constexpr std::size_t fallback = 16 * 1024 * 1024;
        const std::optional<std::string> value = rt::env_var("ZUNO_TEST_CAPTURE_LIMIT");
        if (!value) {
            return fallback;
        }
        if (const std::optional<std::size_t> n = parse_positive(*value)) {
            return *n;
        }
        rt::panic("ZUNO_TEST_CAPTURE_LIMIT is `" + *value + "`, should be a positive integer.");
    }();
    return limit;
}

std::size_t decide_concurrency(std::optional<std::size_t> test_threads) {
    const std::size_t n = test_threads ? *test_threads : get_concurrency();
    return n > 0 ? n : 1;
}

}  // namespace test::helpers
