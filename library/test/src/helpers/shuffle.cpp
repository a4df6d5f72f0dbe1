#include "helpers/shuffle.hpp"

#include "panic.hpp"

#include <bit>

namespace test::helpers {

namespace {

// One SipRound: the add-rotate-xor network over the four state words.
inline void sip_round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
}

}  // namespace

SipHasher13::SipHasher13(std::uint64_t k0, std::uint64_t k1)
    : v0_(k0 ^ 0x736f6d6570736575ULL),
      v1_(k1 ^ 0x646f72616e646f6dULL),
      v2_(k0 ^ 0x6c7967656e657261ULL),
      v3_(k1 ^ 0x7465646279746573ULL) {}

void SipHasher13::compress(std::uint64_t m) {
    v3_ ^= m;
    sip_round(v0_, v1_, v2_, v3_);  // c = 1 compression round
    v0_ ^= m;
}

void SipHasher13::write(std::span<const std::uint8_t> bytes) {
    length_ += bytes.size();
    std::size_t i = 0;
    // Top up a partial block left by an earlier write.
    while (ntail_ != 0 && i < bytes.size()) {
        tail_ |= static_cast<std::uint64_t>(bytes[i++]) << (8 * ntail_);
        if (++ntail_ == 8) {
            compress(tail_);
            tail_ = 0;
            ntail_ = 0;
        }
    }
    // Whole blocks straight from the input, read little-endian on any host.
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t m = 0;
        for (std::size_t k = 0; k < 8; ++k) {
            m |= static_cast<std::uint64_t>(bytes[i + k]) << (8 * k);
        }
        compress(m);
    }
    for (; i < bytes.size(); ++i) {
        tail_ |= static_cast<std::uint64_t>(bytes[i]) << (8 * ntail_++);
    }
}

void SipHasher13::write_str(std::string_view text) {
    write({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

void SipHasher13::write_u64(std::uint64_t value) {
    std::uint8_t bytes[8];
    for (std::size_t k = 0; k < 8; ++k) {
        bytes[k] = static_cast<std::uint8_t>(value >> (8 * k));
    }
    write(bytes);
}

void SipHasher13::write_u8(std::uint8_t value) {
    write({&value, 1});
}

std::uint64_t SipHasher13::finish() const {
    std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
    // Last block: the pending bytes with the low byte of the total length on top.
    const std::uint64_t b = (length_ << 56) | tail_;
    v3 ^= b;
    sip_round(v0, v1, v2, v3);
    v0 ^= b;
    v2 ^= 0xff;
    for (int r = 0; r < 3; ++r) {  // d = 3 finalization rounds
        sip_round(v0, v1, v2, v3);
    }
    return v0 ^ v1 ^ v2 ^ v3;
}

std::uint64_t calculate_hash(std::span<const TestName* const> names) {
    SipHasher13 h;
    h.write_u64(names.size());
    for (const TestName* name : names) {
        h.write_u64(static_cast<std::uint64_t>(name->kind()));
        h.write_str(name->as_slice());
        h.write_u8(0xff);
        if (name->kind() == TestName::Kind::AlignedName) {
            h.write_u64(static_cast<std::uint64_t>(name->padding()));
        }
    }
    return h.finish();
}

std::uint64_t calculate_hash(std::uint64_t state, std::uint64_t extra) {
    SipHasher13 h;
    h.write_u64(state);
    h.write_u64(extra);
    return h.finish();
}

std::uint64_t Rng::rand_u64() {
    state_ = calculate_hash(state_, extra_);
    return state_;
}

std::uint64_t Rng::rand_range(std::uint64_t start, std::uint64_t end) {
    return start + rand_u64() % (end - start);
}

std::uint64_t seed_from_time(const struct timespec& now) {
    if (now.tv_sec < 0) {
        rt::panic("Failed to get system time");
    }
    // Unsigned arithmetic wraps modulo 2^64 by definition.
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000ULL +
           static_cast<std::uint64_t>(now.tv_nsec);
}

std::optional<std::uint64_t> get_shuffle_seed(const TestOpts& opts) {
    if (opts.shuffle_seed) {
        return opts.shuffle_seed;
    }
    if (!opts.shuffle) {
        return std::nullopt;
    }
    struct timespec now {};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        rt::panic("Failed to get system time");
    }
    return seed_from_time(now);
}

std::vector<std::size_t> shuffled_order(std::uint64_t seed,
                                        std::span<const TestName* const> names) {
    std::vector<std::size_t> order(names.size());
    if (names.empty()) {
        return order;
    }
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    Rng rng(seed, calculate_hash(names));
    rng.shuffle(std::span(order));
    return order;
}

void shuffle_tests(std::uint64_t seed, std::vector<std::pair<TestId, TestDescAndFn>>& entries) {
    if (entries.empty()) {
        return;
    }
    std::vector<const TestName*> names;
    names.reserve(entries.size());
    for (const auto& entry : entries) {
        names.push_back(&entry.second.descriptor.name);
    }
    // The swaps run on an index array; afterwards position i must receive the
    // entry that started at order[i], exactly as swapping the entries
    // themselves would leave it. Following each cycle of that permutation
    // moves every entry once, in place, instead of three moves per swap of a
    // large record. A visited position is marked by order[i] = i.
    std::vector<std::size_t> order = shuffled_order(seed, names);
    for (std::size_t start = 0; start < order.size(); ++start) {
        if (order[start] == start) {
            continue;
        }
        auto held = std::move(entries[start]);
        std::size_t i = start;
        for (;;) {
            const std::size_t from = order[i];
            order[i] = i;
            if (from == start) {
                entries[i] = std::move(held);
                break;
            }
            entries[i] = std::move(entries[from]);
            i = from;
        }
    }
}

}  // namespace test::helpers
