#pragma once
// Reproducible test order: the shuffle seed, a SipHash-1-3 hasher with a zero
// key, the hash-driven generator Rng and the in-place shuffle of (id, test)
// entries. The permutation depends only on the seed and the names with their
// order, never on the machine. Everything here is plain data owned by the caller.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "test_opts.hpp"
#include "types.hpp"

namespace test::helpers {

/// SipHash-1-3: one compression round per 8-byte block, three finalization
/// rounds. Bytes may arrive in pieces of any size; the result depends only on
/// the concatenated stream.
class SipHasher13 {
public:
    /// A hasher under the 128-bit key (k0, k1); all zeros by default.
    explicit SipHasher13(std::uint64_t k0 = 0, std::uint64_t k1 = 0);

    /// Appends `bytes` to the stream.
    void write(std::span<const std::uint8_t> bytes);
    /// Appends the bytes of `text`.
    void write_str(std::string_view text);
    /// Appends `value` as 8 little-endian bytes.
    void write_u64(std::uint64_t value);
    /// Appends a single byte.
    void write_u8(std::uint8_t value);
    /// The 64-bit hash of everything written so far; the hasher stays usable.
    [[nodiscard]] std::uint64_t finish() const;

private:
    void compress(std::uint64_t m);

    std::uint64_t v0_, v1_, v2_, v3_;
    std::uint64_t tail_ = 0;    // bytes not yet forming a full block, little-endian
    std::size_t ntail_ = 0;     // number of bytes in tail_
    std::uint64_t length_ = 0;  // total bytes written
};

/// Hash of a list of names: the count as u64, then for each name its kind
/// index as u64, its text, one 0xFF byte and, for AlignedName only, its
/// padding index as u64. All numbers little-endian.
[[nodiscard]] std::uint64_t calculate_hash(std::span<const TestName* const> names);
/// Hash of the pair (state, extra): both as little-endian u64, state first.
[[nodiscard]] std::uint64_t calculate_hash(std::uint64_t state, std::uint64_t extra);

/// A small generator whose every step hashes (state, extra).
class Rng {
public:
    /// A generator starting at `seed`, with `extra` fixed for its lifetime.
    Rng(std::uint64_t seed, std::uint64_t extra) : state_(seed), extra_(extra) {}

    /// Advances the state to calculate_hash(state, extra) and returns it.
    std::uint64_t rand_u64();
    /// A value in [start, end): start + rand_u64() % (end - start). Requires start < end.
    std::uint64_t rand_range(std::uint64_t start, std::uint64_t end);

    /// Permutes `items`: for each position i, randomize_first on items[i..].
    template <typename T>
    void shuffle(std::span<T> items) {
        for (std::size_t i = 0; i < items.size(); ++i) {
            randomize_first(items.subspan(i));
        }
    }
    /// Swaps the first item with one drawn uniformly from the whole (non-empty) span.
    template <typename T>
    void randomize_first(std::span<T> items) {
        const std::size_t j = static_cast<std::size_t>(rand_range(0, items.size()));
        if (j != 0) {
            using std::swap;
            swap(items[0], items[j]);
        }
    }

private:
    std::uint64_t state_;
    std::uint64_t extra_;
};

/// The seed to shuffle with: `shuffle_seed` when given, else the system time in
/// nanoseconds (mod 2^64) when `shuffle` is set, else none. Panics with
/// "Failed to get system time" when the clock reads before the Unix epoch.
[[nodiscard]] std::optional<std::uint64_t> get_shuffle_seed(const TestOpts& opts);
/// The time-based seed for a clock reading: sec * 10^9 + nsec, wrapping mod 2^64.
/// Panics with "Failed to get system time" for a reading before the epoch.
[[nodiscard]] std::uint64_t seed_from_time(const struct timespec& now);

/// The permutation of a list with these `names` under `seed`: position i of the
/// shuffled list holds the item at position order[i] of the original.
[[nodiscard]] std::vector<std::size_t> shuffled_order(std::uint64_t seed,
                                                      std::span<const TestName* const> names);

/// Permutes `entries` in place by `seed` and the entries' names (as
/// shuffled_order does); each id stays with its test. An empty list is left alone.
void shuffle_tests(std::uint64_t seed, std::vector<std::pair<TestId, TestDescAndFn>>& entries);

}  // namespace test::helpers
