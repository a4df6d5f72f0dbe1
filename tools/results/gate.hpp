#pragma once
// The benchmark gate: named baselines of a run's benchmark results, and the
// comparison of two runs' benchmarks with a verdict per benchmark (slower,
// faster or same) from the change of the median and a two-sided Mann-Whitney
// U test over the two runs' samples. Pure statistics here; the commands read
// the samples from the results database.

#include <span>
#include <string_view>

#include "command.hpp"

namespace zuno::results {

/// A benchmark is slower or faster only when its median changed by more than
/// this many percent...
inline constexpr double DEFAULT_THRESHOLD_PCT = 5.0;
/// ...and the test's p-value is below this.
inline constexpr double DEFAULT_ALPHA = 0.05;

/// Two-sided p-value of the Mann-Whitney U test of `a` against `b`, by the
/// normal approximation with tie and continuity correction. 1 when either
/// side is empty or every value is the same.
[[nodiscard]] double mann_whitney_p(std::span<const double> a, std::span<const double> b);

/// What a comparison says about one benchmark.
enum class Verdict : std::uint8_t { Same = 0, Slower = 1, Faster = 2, New = 3, Gone = 4 };

/// The verdict's word: "same", "slower", "faster", "new", "gone".
[[nodiscard]] std::string_view verdict_name(Verdict verdict);

/// Slower when the median grew by more than `threshold_pct` percent and p is
/// below `alpha`; faster when it shrank by more than that with p below alpha;
/// otherwise the same.
[[nodiscard]] Verdict judge(double change_pct, double p, double threshold_pct, double alpha);

/// `zuno-results baseline save NAME RUN`.
int cmd_baseline(Options& o);
/// `zuno-results bench-compare BASE NEW [--threshold PCT] [--alpha A] [--json]`.
int cmd_bench_compare(Options& o);

}  // namespace zuno::results
