#pragma once
// Descriptive statistics over timing samples (Stats operations and Summary),
// and the per-name metric map. Every operation works on a sorted copy; the
// caller's slice is never modified.

#include <array>
#include <cstddef>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace test {

/// Twelve statistics of one sample set.
struct Summary {
    double sum = 0;
    double min = 0;
    double max = 0;
    double mean = 0;
    double median = 0;
    double var = 0;
    double std_dev = 0;
    double std_dev_pct = 0;
    double median_abs_dev = 0;
    double median_abs_dev_pct = 0;
    std::array<double, 3> quartiles{};
    double iqr = 0;

    /// Computes all twelve statistics of a non-empty slice.
    static Summary from(std::span<const double> samples);
};

namespace stats {
double sum(std::span<const double> s);
double min(std::span<const double> s);
double max(std::span<const double> s);
double mean(std::span<const double> s);
double median(std::span<const double> s);
double var(std::span<const double> s);
double std_dev(std::span<const double> s);
double std_dev_pct(std::span<const double> s);
double median_abs_dev(std::span<const double> s);
double median_abs_dev_pct(std::span<const double> s);
double percentile(std::span<const double> s, double pct);
std::array<double, 3> quartiles(std::span<const double> s);
double iqr(std::span<const double> s);
/// Interpolated percentile of an already sorted, non-empty slice.
double percentile_of_sorted(std::span<const double> sorted, double pct);
/// An ascending copy in IEEE 754 total order (-NaN < -inf < -0 < +0 < +inf < +NaN), stable.
std::vector<double> sorted_total_order(std::span<const double> s);
}  // namespace stats

/// One metric: a value and its noise.
struct Metric {
    double value = 0;
    double noise = 0;
};

/// Metrics by name, ordered byte-wise; inserting a name again replaces its metric.
class MetricMap {
public:
    void insert_metric(std::string_view name, double value, double noise);
    [[nodiscard]] const std::map<std::string, Metric>& entries() const { return map_; }

private:
    std::map<std::string, Metric> map_;
};

}  // namespace test
