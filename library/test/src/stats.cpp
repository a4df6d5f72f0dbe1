#include "stats.hpp"

#include "panic.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

namespace test {

namespace {

// Key whose signed integer order is the IEEE 754 total order: negative values
// (sign bit set) have their magnitude bits flipped so that larger magnitudes
// sort lower; -NaN ends up below -inf, +NaN above +inf, -0 just below +0.
std::int64_t total_order_key(double x) {
    auto bits = std::bit_cast<std::int64_t>(x);
    bits ^= static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
    return bits;
}

void assert_not_empty(std::span<const double> s) {
    if (s.empty()) {
        rt::panic_static("assertion failed: !self.is_empty()");
    }
}

}  // namespace

namespace stats {

std::vector<double> sorted_total_order(std::span<const double> s) {
    std::vector<double> v(s.begin(), s.end());
    std::stable_sort(v.begin(), v.end(),
                     [](double a, double b) { return total_order_key(a) < total_order_key(b); });
    return v;
}

double sum(std::span<const double> s) {
    // Shewchuk's exact summation: `partials` holds non-overlapping values whose
    // exact sum is the exact sum of the samples seen so far.
    std::vector<double> partials;
    for (double x : s) {
        std::size_t j = 0;
        for (std::size_t i = 0; i < partials.size(); ++i) {
            double y = partials[i];
            if (std::fabs(x) < std::fabs(y)) {
                std::swap(x, y);
            }
            // hi + lo == x + y exactly (two-sum with |x| >= |y|).
            const double hi = x + y;
            const double lo = y - (hi - x);
            if (lo != 0.0) {  // NaN compares unequal, so it is kept
                partials[j++] = lo;
            }
            x = hi;
        }
        if (j >= partials.size()) {
            partials.push_back(x);
        } else {
            partials[j] = x;
            partials.resize(j + 1);
        }
    }
    double total = 0.0;
    for (double p : partials) {
        total += p;
    }
    return total;
}

double min(std::span<const double> s) {
    assert_not_empty(s);
    double m = s[0];
    for (double x : s) {
        m = std::fmin(m, x);  // fmin ignores a NaN operand
    }
    return m;
}

double max(std::span<const double> s) {
    assert_not_empty(s);
    double m = s[0];
    for (double x : s) {
        m = std::fmax(m, x);
    }
    return m;
}

double mean(std::span<const double> s) {
    assert_not_empty(s);
    return sum(s) / static_cast<double>(s.size());
}

double median(std::span<const double> s) {
    return percentile(s, 50.0);
}

double var(std::span<const double> s) {
    if (s.size() < 2) {
        return 0.0;
    }
    const double m = mean(s);
    double v = 0.0;
    for (double x : s) {
        const double d = x - m;
        v += d * d;
    }
    // Sample variance: divide by n - 1.
    return v / static_cast<double>(s.size() - 1);
}

double std_dev(std::span<const double> s) {
    return std::sqrt(var(s));
}

double std_dev_pct(std::span<const double> s) {
    return (std_dev(s) / mean(s)) * 100.0;
}

double median_abs_dev(std::span<const double> s) {
    const double med = median(s);
    std::vector<double> devs;
    devs.reserve(s.size());
    for (double x : s) {
        devs.push_back(std::fabs(med - x));
    }
    // 1.4826 scales the MAD to estimate the standard deviation of a normal distribution.
    return median(devs) * 1.4826;
}

double median_abs_dev_pct(std::span<const double> s) {
    return (median_abs_dev(s) / median(s)) * 100.0;
}

double percentile(std::span<const double> s, double pct) {
    const std::vector<double> sorted = sorted_total_order(s);
    return percentile_of_sorted(sorted, pct);
}

std::array<double, 3> quartiles(std::span<const double> s) {
    const std::vector<double> sorted = sorted_total_order(s);
    return {percentile_of_sorted(sorted, 25.0), percentile_of_sorted(sorted, 50.0),
            percentile_of_sorted(sorted, 75.0)};
}

double iqr(std::span<const double> s) {
    const auto q = quartiles(s);
    return q[2] - q[0];
}

double percentile_of_sorted(std::span<const double> sorted, double pct) {
    if (sorted.size() == 1) {
        return sorted[0];
    }
    if (sorted.empty()) {
        rt::panic_static("assertion failed: !sorted_samples.is_empty()");
    }
    if (!(0.0 <= pct)) {
        rt::panic_static("assertion failed: zero <= pct");
    }
    if (!(pct <= 100.0)) {
        rt::panic_static("assertion failed: pct <= hundred");
    }
    if (pct == 100.0) {
        return sorted.back();
    }
    const double rank = (pct / 100.0) * static_cast<double>(sorted.size() - 1);
    const double lower = std::floor(rank);
    const double d = rank - lower;
    const auto n = static_cast<std::size_t>(lower);
    const double lo = sorted[n];
    const double hi = sorted[n + 1];
    return lo + (hi - lo) * d;
}

}  // namespace stats

Summary Summary::from(std::span<const double> samples) {
    Summary s;
    s.sum = stats::sum(samples);
    s.min = stats::min(samples);
    s.max = stats::max(samples);
    s.mean = stats::mean(samples);
    s.median = stats::median(samples);
    s.var = stats::var(samples);
    s.std_dev = stats::std_dev(samples);
    s.std_dev_pct = stats::std_dev_pct(samples);
    s.median_abs_dev = stats::median_abs_dev(samples);
    s.median_abs_dev_pct = stats::median_abs_dev_pct(samples);
    s.quartiles = stats::quartiles(samples);
    s.iqr = stats::iqr(samples);
    return s;
}

void MetricMap::insert_metric(std::string_view name, double value, double noise) {
    map_.insert_or_assign(std::string(name), Metric{value, noise});
}

}  // namespace test
