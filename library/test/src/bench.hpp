#pragma once
// Benchmark results: the samples summary with throughput, and its text form.

#include <cstddef>
#include <string>
#include <vector>

#include "stats.hpp"

namespace test {

/// The measurement of one benchmark: ns/iter summary and throughput in MB/s.
struct BenchSamples {
    Summary ns_iter_summ;
    std::size_t mb_s = 0;
    /// Every sample the summary was made of (ns per iteration), for the run record.
    std::vector<double> samples_ns = {};

    bool operator==(const BenchSamples& other) const;
};

/// `n` grouped by thousands with `sep` (1234.5 -> "1,234.50").
std::string fmt_thousands_sep(double n, char sep);
/// The one-line benchmark result, e.g. "      1,234.50 ns/iter (+/- 100.00)".
std::string fmt_bench_samples(const BenchSamples& bs);

}  // namespace test
