#include "stats.hpp"
#include "bench.hpp"

#include "panic.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

using test::stats::percentile_of_sorted;
using test::support::panic_message;

TEST(Percentile, InterpolatesBetweenNeighbours) {
    const std::vector<double> s{1, 2, 3, 4};
    struct Case {
        double pct;
        double want;
    };
    for (const Case c : {Case{50, 2.5}, Case{100, 4}, Case{0, 1}, Case{25, 1.75}, Case{75, 3.25}}) {
        EXPECT_EQ(percentile_of_sorted(s, c.pct), c.want) << "pct " << c.pct;
    }
    // One element is returned before the percentage is looked at.
    const std::vector<double> one{7.5};
    EXPECT_EQ(percentile_of_sorted(one, 250.0), 7.5);
}

TEST(Percentile, RejectsEmptySliceAndOutOfRangePercentages) {
    const std::vector<double> s{1, 2};
    EXPECT_EQ(panic_message([] { (void)percentile_of_sorted({}, 50); }),
              "assertion failed: !sorted_samples.is_empty()");
    EXPECT_EQ(panic_message([&] { (void)percentile_of_sorted(s, -0.5); }),
              "assertion failed: zero <= pct");
    EXPECT_EQ(panic_message([&] { (void)percentile_of_sorted(s, std::nan("")); }),
              "assertion failed: zero <= pct");
    EXPECT_EQ(panic_message([&] { (void)percentile_of_sorted(s, 100.5); }),
              "assertion failed: pct <= hundred");
    EXPECT_EQ(panic_message([] { (void)test::stats::min({}); }),
              "assertion failed: !self.is_empty()");
    EXPECT_EQ(panic_message([] { (void)test::stats::max({}); }),
              "assertion failed: !self.is_empty()");
}

TEST(Sum, KeepsExactPartials) {
    EXPECT_EQ(test::stats::sum(std::vector<double>{1e100, 1.0, -1e100}), 1.0);
    // Ten times 0.1 is 1.0 when summed exactly, 0.9999999999999999 when summed plainly.
    EXPECT_EQ(test::stats::sum(std::vector<double>(10, 0.1)), 1.0);
    EXPECT_EQ(test::stats::sum(std::vector<double>{1e16, 1.0, 1.0, -1e16}), 2.0);
    EXPECT_EQ(test::stats::sum({}), 0.0);
    EXPECT_TRUE(std::isnan(test::stats::sum(std::vector<double>{1.0, std::nan(""), 2.0})));
}

TEST(Stats, VarianceIsTheSampleVariance) {
    EXPECT_EQ(test::stats::var(std::vector<double>{5.0}), 0.0);
    EXPECT_DOUBLE_EQ(test::stats::var(std::vector<double>{1, 2, 3, 4}), 5.0 / 3.0);
    EXPECT_DOUBLE_EQ(test::stats::std_dev(std::vector<double>{1, 2, 3, 4}), std::sqrt(5.0 / 3.0));
    EXPECT_DOUBLE_EQ(test::stats::std_dev_pct(std::vector<double>{1, 2, 3, 4}),
                     std::sqrt(5.0 / 3.0) / 2.5 * 100.0);
}

TEST(Stats, MedianAbsoluteDeviationIgnoresTheOutlier) {
    const std::vector<double> s{1, 2, 3, 4, 100};
    EXPECT_EQ(test::stats::median(s), 3.0);
    EXPECT_DOUBLE_EQ(test::stats::median_abs_dev(s), 1.4826);  // deviations 2,1,0,1,97
    EXPECT_DOUBLE_EQ(test::stats::median_abs_dev_pct(s), 1.4826 / 3.0 * 100.0);
}

TEST(Stats, OperationsLeaveTheSlicesOrderAlone) {
    const std::vector<double> s{4, 1, 3, 2};
    const std::vector<double> copy = s;
    EXPECT_EQ(test::stats::median(s), 2.5);
    const auto q = test::stats::quartiles(s);
    EXPECT_EQ(q[0], 1.75);
    EXPECT_EQ(q[1], 2.5);
    EXPECT_EQ(q[2], 3.25);
    EXPECT_EQ(test::stats::iqr(s), 1.5);
    EXPECT_EQ(s, copy);
}

TEST(Stats, MinAndMaxSkipNaN) {
    const double nan = std::nan("");
    EXPECT_EQ(test::stats::min(std::vector<double>{nan, 2, 1, 3}), 1.0);
    EXPECT_EQ(test::stats::max(std::vector<double>{nan, 2, 1, 3}), 3.0);
    EXPECT_EQ(test::stats::max(std::vector<double>{1, nan, -3}), 1.0);
}

TEST(Stats, SortsByTotalOrderWithSignedNaNs) {
    const double pos_nan = std::numeric_limits<double>::quiet_NaN();
    const double neg_nan = -pos_nan;
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> s{pos_nan, 1.0, 0.0, neg_nan, -inf, -0.0, inf, -2.0};
    const std::vector<double> want{neg_nan, -inf, -2.0, -0.0, 0.0, 1.0, inf, pos_nan};
    const auto sorted = test::stats::sorted_total_order(s);
    ASSERT_EQ(sorted.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(sorted[i]), std::bit_cast<std::uint64_t>(want[i]))
            << "position " << i;
    }
    // The extremes of the percentile follow the same order.
    EXPECT_TRUE(std::signbit(test::stats::percentile(s, 0)));
    EXPECT_TRUE(std::isnan(test::stats::percentile(s, 0)));
    EXPECT_FALSE(std::signbit(test::stats::percentile(s, 100)));
}

TEST(Summary, SingleZeroSample) {
    const std::vector<double> s{0.0};
    const auto sum = test::Summary::from(s);
    for (double v :
         {sum.sum, sum.min, sum.max, sum.mean, sum.median, sum.var, sum.std_dev, sum.median_abs_dev,
          sum.quartiles[0], sum.quartiles[1], sum.quartiles[2], sum.iqr}) {
        EXPECT_EQ(v, 0.0);
    }
    EXPECT_TRUE(std::isnan(sum.std_dev_pct));
    EXPECT_TRUE(std::isnan(sum.median_abs_dev_pct));
}

TEST(Summary, FillsEveryField) {
    const std::vector<double> s{3, 1, 4, 1, 5};
    const auto sum = test::Summary::from(s);
    EXPECT_EQ(sum.sum, 14.0);
    EXPECT_EQ(sum.min, 1.0);
    EXPECT_EQ(sum.max, 5.0);
    EXPECT_EQ(sum.mean, 2.8);
    EXPECT_EQ(sum.median, 3.0);
    EXPECT_DOUBLE_EQ(sum.var, 3.2);  // squared deviations 0.04+3.24+1.44+3.24+4.84 = 12.8, / 4
    EXPECT_DOUBLE_EQ(sum.median_abs_dev, 2.0 * 1.4826);  // deviations 0,2,1,2,2
    EXPECT_EQ(sum.quartiles[0], 1.0);
    EXPECT_EQ(sum.quartiles[2], 4.0);
    EXPECT_EQ(sum.iqr, 3.0);
}

TEST(ThousandsSep, GroupsAndPads) {
    struct Case {
        double n;
        char sep;
        const char* want;
    };
    const Case cases[] = {
        {0.25, ',', "0.25"},
        {12.0, ',', "12.00"},
        {5.25, ',', "5.25"},
        {1234.5, ',', "1,234.50"},
        {1005.5, ',', "1,005.50"},
        {1000000, ',', "1,000,000.00"},
        {1000005.25, ',', "1,000,005.25"},
        {1234567890.5, ',', "1,234,567,890.50"},
        {1234567890123.0, ',', "1234,567,890,123.00"},
        {1234.5, ' ', "1 234.50"},
        {-1234.5, ',', "-1,234.50"},
        {-1000000.0, ',', "-1,000,000.00"},
        {-0.25, ',', "-0.25"},
        {std::nan(""), ',', "NaN"},
        {-std::numeric_limits<double>::infinity(), ',', "-inf"},
        {0.0, ',', "0.00"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(test::fmt_thousands_sep(c.n, c.sep), c.want) << "n = " << c.n;
    }
}

TEST(BenchFormat, RightAlignsTheMedianIn14Columns) {
    test::BenchSamples bs;
    bs.ns_iter_summ.median = 1234.5;
    bs.ns_iter_summ.min = 1200;
    bs.ns_iter_summ.max = 1300;
    EXPECT_EQ(test::fmt_bench_samples(bs), "      1,234.50 ns/iter (+/- 100.00)");

    bs.mb_s = 250;
    EXPECT_EQ(test::fmt_bench_samples(bs), "      1,234.50 ns/iter (+/- 100.00) = 250 MB/s");

    // A median wider than the column is not cut.
    bs.mb_s = 0;
    bs.ns_iter_summ.median = 12345678901.0;
    bs.ns_iter_summ.min = 0;
    bs.ns_iter_summ.max = 1500;
    EXPECT_EQ(test::fmt_bench_samples(bs), "12,345,678,901.00 ns/iter (+/- 1,500.00)");
}

TEST(BenchSamples, EqualityComparesEveryField) {
    test::BenchSamples a;
    a.ns_iter_summ = test::Summary::from(std::vector<double>{1, 2, 3});
    a.mb_s = 5;
    test::BenchSamples b = a;
    EXPECT_TRUE(a == b);
    b.ns_iter_summ.quartiles[2] += 1;
    EXPECT_FALSE(a == b);
    b = a;
    b.mb_s = 6;
    EXPECT_FALSE(a == b);
}

TEST(MetricMap, OrdersByBytesAndReplaces) {
    test::MetricMap m;
    m.insert_metric("b", 1, 0.5);
    m.insert_metric("\xc3\xa9t\xc3\xa9", 2, 0);  // a byte above 0x7f sorts after ASCII
    m.insert_metric("B", 3, 0);
    m.insert_metric("b", 4, 1.5);
    std::vector<std::string> names;
    for (const auto& [name, metric] : m.entries()) {
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"B", "b", "\xc3\xa9t\xc3\xa9"}));
    EXPECT_EQ(m.entries().at("b").value, 4.0);
    EXPECT_EQ(m.entries().at("b").noise, 1.5);
}

}  // namespace
