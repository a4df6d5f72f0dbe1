#pragma once
// The hardware end-to-end suite: seventeen tests that each take the process-wide
// device lock and the host-wide card lock file, start one runner program with a
// scenario in environment variables (in a process group of its own, within a
// time limit), and require exit status 0. Runner paths are absolute constants
// of the build. DEVICE and the card lock are the only shared state; everything
// else is pure or local to the calling test thread. Tests fail by panicking
// (rt::panic).

#include <array>
#include <cstddef>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "lib.hpp"
#include "process.hpp"
#include "sync.hpp"
#include "types.hpp"

namespace hardware_e2e {

// ---------------------------------------------------------------------------
// Device lock and runner launch

/// Absolute path of the runner for fixed exchange graphs (TILO_GRAPH_TEST).
extern const std::string_view HARDWARE_RUNNER;
/// Absolute path of the runner for seeded random graphs (TILO_RANDOM_SEED).
extern const std::string_view RANDOMIZED_RUNNER;
/// Absolute path of the runner for host/tile transfers (TILO_HOST_TEST_*).
extern const std::string_view HOST_RUNNER;

/// Launch label of every start of the host runner.
inline constexpr std::string_view HOST_LAUNCH_LABEL = "launch host exchange test runner";

/// The card within this process: held by a test for its whole body, so at
/// most one runner of this process runs at a time. A test that panics while
/// holding it poisons it; device() ignores that.
extern rt::Mutex<std::monostate> DEVICE;

/// The card lock file shared by every process on the host, unless
/// TILO_DEVICE_LOCK names another (an empty value turns the host lock off).
inline constexpr std::string_view DEFAULT_CARD_LOCK = "/tmp/tilo-vela.lock";

/// An exclusive flock on the card lock file, held while the descriptor is
/// open. Runners started by the holding thread inherit the descriptor, so an
/// orphaned runner still holds the card.
class CardLock {
public:
    CardLock() = default;
    CardLock(CardLock&& other) noexcept;
    CardLock& operator=(CardLock&&) = delete;
    ~CardLock();

    /// Opens `path` read-only (creating it, mode 0666 before the umask, only
    /// when missing) and waits for its exclusive lock; after one second of
    /// waiting writes "waiting for the card lock at <path>" once to standard
    /// error. Panics with "open card lock <path>: <error debug form>" when the
    /// file cannot be opened.
    static CardLock take(const std::string& path);
    /// The held descriptor, or -1 when the host lock is off.
    [[nodiscard]] int fd() const { return fd_; }

private:
    int fd_ = -1;
};

/// DEVICE, then the host-wide card lock; released in the opposite order.
class DeviceGuard {
public:
    DeviceGuard(rt::MutexGuard<std::monostate> device, CardLock card)
        : device_(std::move(device)), card_(std::move(card)) {}

private:
    rt::MutexGuard<std::monostate> device_;
    CardLock card_;
};

/// Blocks until DEVICE is free (poisoned or not), then until the card lock
/// named by TILO_DEVICE_LOCK is free, and returns both.
[[nodiscard]] DeviceGuard device();

/// Time limits of one runner, in seconds; 0 is no limit (timeout) or SIGKILL
/// at once (grace).
struct RunnerLimits {
    std::uint64_t timeout = 1200;
    std::uint64_t kill_grace = 10;
};

/// Reads TILO_RUNNER_TIMEOUT and TILO_RUNNER_KILL_GRACE (decimal digits only);
/// panics with "invalid <NAME>: <value debug-quoted>" when one is malformed.
RunnerLimits runner_limits();

/// Ordered (name, value) pairs added to a runner's inherited environment.
using EnvList = std::vector<std::pair<std::string, std::string>>;

/// Starts `runner` with no arguments, `env` on top of the inherited environment
/// and inherited standard streams, in a process group of its own, and waits for
/// it within runner_limits(). Panics with "<launch_label>: <error debug form>"
/// when it cannot be started or waited for, and with "<launch_label>: runner
/// timed out after <N> s" once it has been ended at the time limit (SIGTERM to
/// its group, the kill grace, SIGKILL).
rt::ExitStatus launch(std::string_view runner, std::string_view launch_label, const EnvList& env);

/// Runs the host runner (HOST_RUNNER) with `env` and returns its exit status.
rt::ExitStatus host_test(const EnvList& env);
/// As host_test(env), with the runner at `runner` (lets tests name a missing one).
rt::ExitStatus host_test(std::string_view runner, const EnvList& env);

/// Returns when `status` is a normal exit with code 0; otherwise panics with
/// "hardware capability \"<label>\" failed with <status>".
void require_success(std::string_view label, const rt::ExitStatus& status);

// ---------------------------------------------------------------------------
// Seeded sampling

/// One end of a u16 range: included, excluded, or absent.
struct Bound {
    enum class Kind : std::uint8_t { Included, Excluded, Unbounded };
    Kind kind = Kind::Unbounded;
    std::uint16_t value = 0;

    static constexpr Bound included(std::uint16_t v) { return {Kind::Included, v}; }
    static constexpr Bound excluded(std::uint16_t v) { return {Kind::Excluded, v}; }
    static constexpr Bound unbounded() { return {Kind::Unbounded, 0}; }
    /// "Included(5)", "Excluded(5)" or "Unbounded".
    [[nodiscard]] std::string debug() const;
};

/// The wyrand generator: one 64-bit state word, seeded without mixing.
class Wyrand {
public:
    explicit Wyrand(std::uint64_t seed) : state_(seed) {}

    /// Advances the state and returns the next 64-bit value.
    std::uint64_t gen_u64();
    /// The low 32 bits of gen_u64().
    std::uint32_t gen_u32();
    /// A value in [0, n) by multiply-and-reject, unbiased; n must be above 0.
    std::uint32_t gen_mod_u32(std::uint32_t n);
    /// A value between `start` and `end`; panics with "empty range: {start:?}..{end:?}"
    /// when the range holds no value.
    std::uint16_t u16(Bound start, Bound end);

    [[nodiscard]] std::uint64_t state() const { return state_; }

private:
    std::uint64_t state_;
};

/// Seeds of randomized_static_d2d_graphs_work, in round order.
inline constexpr std::array<std::uint64_t, 3> GRAPH_SEEDS = {0x54494c4f2d535441, 0x6a09e667f3bcc909,
                                                             0xbb67ae8584caa73b};

/// One round of randomized_multi_tile_host_round_trips_work.
struct HostRound {
    std::uint64_t seed;
    std::uint32_t bytes;
};

/// Rounds of randomized_multi_tile_host_round_trips_work, in order.
inline constexpr std::array<HostRound, 3> HOST_ROUNDS = {{
    {0x243f6a8885a308d3, 4},
    {0x13198a2e03707344, 1024},
    {0xa4093822299f31d0, 8192},
}};

/// Tiles drawn per host round.
inline constexpr std::size_t HOST_ROUND_TILES = 8;

/// Draws HOST_ROUND_TILES distinct tiles in [0, 1472) from a generator seeded with `seed`.
std::set<std::uint16_t> sample_tiles(std::uint64_t seed);

/// Numbers in decimal joined by "," in iteration order.
std::string join_decimal(std::span<const std::uint16_t> tiles);
std::string join_decimal(const std::set<std::uint16_t>& tiles);

/// Lower-case hexadecimal with "0x" and no leading zeros ("{:#x}").
std::string hex(std::uint64_t value);

/// "randomized host round trip seed=<hex> bytes=<bytes> tiles=<tiles>".
std::string host_round_label(const HostRound& round, std::string_view tiles);
/// "randomized exchange graph seed <hex>".
std::string graph_seed_label(std::uint64_t seed);

// ---------------------------------------------------------------------------
// Tile lists from the topology

/// Every tile of physical row 0, then position 17 of rows 1 to 22 (86 tiles).
std::vector<std::uint16_t> endpoint_field_physical_tiles();
/// The lowest logical tile that `topology` maps to `physical`; panics when none does.
std::uint16_t logical_tile_of(const tilo::exchange::Topology& topology, std::uint16_t physical);
/// The logical numbers of endpoint_field_physical_tiles() on vela, joined by ",".
std::string endpoint_field_tiles();

// ---------------------------------------------------------------------------
// The tests (each takes DEVICE for its whole body)

void all_tile_permutation_works();
void all_tile_reduction_works();
void direct_multicast_works();
void distinct_sources_can_write_disjoint_host_ranges();
void h2d_compute_d2d_compute_d2h_works();
void high_address_large_h2d_and_d2h_work();
void host_routes_cover_every_endpoint_field();
void initialized_d2d_relay_and_d2h_work();
void initialized_local_tile_d2h_works();
void initialized_remote_tile_d2h_works();
void large_h2d_timed_relay_and_d2h_composition_works();
void local_h2d_and_d2h_round_trip_works();
void multicast_receiver_can_send_in_same_phase();
void randomized_multi_tile_host_round_trips_work();
void randomized_static_d2d_graphs_work();
void remote_tile_h2d_and_d2h_work();
void sparse_compute_to_dense_exchange_works();

/// Source path recorded in every descriptor.
inline constexpr std::string_view SOURCE_PATH = "crates/tilo-runtime/tests/hardware_e2e";
/// Number of tests in the suite.
inline constexpr std::size_t TEST_COUNT = 17;

/// The static descriptor list, in ascending byte order of name; built on first use.
const std::array<test::TestDescAndFn, TEST_COUNT>& test_list();
/// The same list as a span, the form the harness entry takes.
std::span<const test::TestDescAndFn> tests();

}  // namespace hardware_e2e
