// The measuring loop behind zuno::Bencher::iter and the adaptor that hands a
// public Bencher's measurements to the harness's Bencher.

#include <chrono>
#include <cstdint>

#include <zuno/test.hpp>
#include "stats.hpp"
#include "types.hpp"

namespace zuno {

namespace {

// A batch long enough for the clock's resolution and the loop's own cost to
// vanish, and the time all batches of one benchmark take together.
constexpr std::uint64_t BATCH_TARGET_NS = 1'000'000;
constexpr std::uint64_t TOTAL_TARGET_NS = 1'000'000'000;
constexpr std::uint64_t MAX_ITERATIONS = std::uint64_t{1} << 40;

}  // namespace

void Bencher::run_batches(void* ctx, Batch batch) {
    if (single_run_) {
        (void)batch(ctx, 1);
        return;
    }
    // Grow the batch until one takes about BATCH_TARGET_NS; the batch that gets
    // there is the first sample. A workload slower than the target gives
    // batches of one iteration.
    std::uint64_t n = 1;
    std::uint64_t total = 0;
    std::uint64_t elapsed = 0;
    for (;;) {
        elapsed = batch(ctx, n);
        total += elapsed;
        if (elapsed >= BATCH_TARGET_NS || n >= MAX_ITERATIONS) {
            break;
        }
        // Aim straight at the target once a batch is measurable; double otherwise.
        std::uint64_t next = n * 2;
        if (elapsed > 1000) {
            const std::uint64_t aimed = BATCH_TARGET_NS / elapsed * n;
            next = aimed > next ? aimed : next;
        }
        n = next < MAX_ITERATIONS ? next : MAX_ITERATIONS;
    }
    samples_.push_back(static_cast<double>(elapsed) / static_cast<double>(n));
    while (total < TOTAL_TARGET_NS) {
        elapsed = batch(ctx, n);
        total += elapsed;
        samples_.push_back(static_cast<double>(elapsed) / static_cast<double>(n));
    }
}

namespace detail {

BodyResult run_bench(test::Bencher& b, void (*body)(zuno::Bencher&)) {
    zuno::Bencher bencher(b.mode == test::Bencher::BenchMode::SingleRun);
    body(bencher);
    b.bytes = bencher.bytes;
    if (!bencher.samples().empty()) {
        b.summary = test::Summary::from(bencher.samples());
        b.samples = bencher.samples();
    }
    return BodyResult::ok();
}

}  // namespace detail

}  // namespace zuno
