#include "bench.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace test {

namespace {

// Converts to an unsigned integer the way a saturating cast does: negative
// values and NaN give 0, values past the top give the largest integer.
std::uint64_t saturating_u64(double x) {
    if (!(x > 0.0)) {
        return 0;
    }
    if (x >= 18446744073709551616.0) {  // 2^64
        return UINT64_MAX;
    }
    return static_cast<std::uint64_t>(x);
}

// Appends finite `x` with two decimals; `width` 6 zero-pads a trailing group ("005.25").
void append_two_decimals(std::string& out, double x, int width) {
    char buf[400];  // %.2f of the largest double has 309 integer digits
    std::snprintf(buf, sizeof buf, "%0*.2f", width, x);
    out += buf;
}

bool same_summary(const Summary& a, const Summary& b) {
    return a.sum == b.sum && a.min == b.min && a.max == b.max && a.mean == b.mean &&
           a.median == b.median && a.var == b.var && a.std_dev == b.std_dev &&
           a.std_dev_pct == b.std_dev_pct && a.median_abs_dev == b.median_abs_dev &&
           a.median_abs_dev_pct == b.median_abs_dev_pct && a.quartiles == b.quartiles &&
           a.iqr == b.iqr;
}

}  // namespace

bool BenchSamples::operator==(const BenchSamples& other) const {
    return same_summary(ns_iter_summ, other.ns_iter_summ) && mb_s == other.mb_s;
}

std::string fmt_thousands_sep(double n, char sep) {
    // Walks the groups from 10^9 down to 10^0; once a group has been printed
    // (`trailing`), every lower group is printed zero-padded, so 1000000 gives
    // "1,000,000.00". The last group carries the two decimals.
    // Non-finite values have no groups. Negative values are grouped by
    // magnitude behind the sign; taking remainders of the negative value
    // itself would drop its higher groups.
    if (std::isnan(n)) {
        return "NaN";
    }
    if (std::isinf(n)) {
        return n < 0.0 ? "-inf" : "inf";
    }
    if (n < 0.0) {
        std::string out(1, '-');
        out += fmt_thousands_sep(-n, sep);
        return out;
    }
    std::string out;
    bool trailing = false;
    constexpr std::uint64_t bases[] = {1'000'000'000, 1'000'000, 1'000, 1};
    for (const std::uint64_t base_int : bases) {
        const auto base = static_cast<double>(base_int);
        if (base_int == 1 || trailing || n / base >= 1.0) {
            if (base_int == 1) {
                append_two_decimals(out, n / base, trailing ? 6 : 0);
            } else {
                const auto group = static_cast<unsigned long long>(saturating_u64(n) / base_int);
                char buf[32];
                if (trailing) {
                    std::snprintf(buf, sizeof buf, "%03llu", group);
                } else {
                    std::snprintf(buf, sizeof buf, "%llu", group);
                }
                out += buf;
                out += sep;
            }
            trailing = true;
        }
        n = std::fmod(n, base);
    }
    return out;
}

std::string fmt_bench_samples(const BenchSamples& bs) {
    const double median = bs.ns_iter_summ.median;
    const double deviation = bs.ns_iter_summ.max - bs.ns_iter_summ.min;
    const std::string grouped = fmt_thousands_sep(median, ',');
    std::string out;
    if (grouped.size() < 14) {
        out.assign(14 - grouped.size(), ' ');
    }
    out += grouped;
    out += " ns/iter (+/- ";
    out += fmt_thousands_sep(deviation, ',');
    out += ')';
    if (bs.mb_s != 0) {
        out += " = ";
        out += std::to_string(bs.mb_s);
        out += " MB/s";
    }
    return out;
}

}  // namespace test
