#include "hardware_e2e.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>

#include "io.hpp"
#include "panic.hpp"
#include "text.hpp"

#ifndef TILO_RUNNER_DIR
#error "TILO_RUNNER_DIR must hold the absolute directory of the runner programs"
#endif

namespace hardware_e2e {

const std::string_view HARDWARE_RUNNER = TILO_RUNNER_DIR "/tilo-hardware-e2e";
const std::string_view RANDOMIZED_RUNNER = TILO_RUNNER_DIR "/tilo-randomized-e2e";
const std::string_view HOST_RUNNER = TILO_RUNNER_DIR "/tilo-host-e2e";

constinit rt::Mutex<std::monostate> DEVICE;

namespace {

// The card lock descriptor held by the calling thread, or -1: the runners it
// starts inherit it.
thread_local int held_card_lock = -1;

// A limit above this many seconds (about 31 years) is as good as none, and
// keeps every clock sum in range.
constexpr std::uint64_t kLongestLimit = 1'000'000'000;

std::uint64_t seconds_from_env(const char* name, std::uint64_t fallback) {
    const std::optional<std::string> raw = rt::env_var_os(name);
    if (!raw) {
        return fallback;
    }
    std::uint64_t value = 0;
    const char* end = raw->data() + raw->size();
    const auto parsed = std::from_chars(raw->data(), end, value);
    const bool digits_only = !raw->empty() && (*raw)[0] >= '0' && (*raw)[0] <= '9';
    if (!digits_only || parsed.ec != std::errc() || parsed.ptr != end) {
        rt::panic("invalid " + std::string(name) + ": " + rt::debug_quote(*raw));
    }
    return value;
}

}  // namespace

CardLock::CardLock(CardLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

CardLock::~CardLock() {
    if (fd_ >= 0) {
        if (held_card_lock == fd_) {
            held_card_lock = -1;
        }
        ::close(fd_);  // releases the flock
    }
}

CardLock CardLock::take(const std::string& path) {
    // Read-only is enough for flock, so users other than the file's creator
    // share it. O_CREAT only when missing: in a sticky directory such as /tmp
    // the kernel may refuse O_CREAT on another user's existing file.
    CardLock lock;
    lock.fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (lock.fd_ < 0 && errno == ENOENT) {
        lock.fd_ = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    }
    if (lock.fd_ < 0) {
        rt::panic("open card lock " + path + ": " + rt::IoError::last_os_error().debug());
    }
    // Another process has the card: look every 10 ms for a second, then say
    // so once and wait for it.
    const auto patience = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    int how = LOCK_EX | LOCK_NB;
    while (::flock(lock.fd_, how) != 0) {
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK) {
            rt::panic("lock card lock " + path + ": " + rt::IoError::last_os_error().debug());
        }
        if (std::chrono::steady_clock::now() >= patience) {
            rt::eprint("waiting for the card lock at " + path + "\n");
            how = LOCK_EX;
        } else {
            ::usleep(10'000);
        }
    }
    held_card_lock = lock.fd_;
    return lock;
}

DeviceGuard device() {
    // The poison flag is dropped on purpose: a test that failed while holding
    // the card must not fail or block the tests after it.
    rt::MutexGuard<std::monostate> held = std::move(DEVICE.lock().guard);
    const std::string path =
        rt::env_var_os("TILO_DEVICE_LOCK").value_or(std::string(DEFAULT_CARD_LOCK));
    return DeviceGuard(std::move(held), path.empty() ? CardLock() : CardLock::take(path));
}

RunnerLimits runner_limits() {
    RunnerLimits limits;
    limits.timeout = seconds_from_env("TILO_RUNNER_TIMEOUT", limits.timeout);
    limits.kill_grace = seconds_from_env("TILO_RUNNER_KILL_GRACE", limits.kill_grace);
    return limits;
}

rt::ExitStatus launch(std::string_view runner, std::string_view launch_label, const EnvList& env) {
    const RunnerLimits limits = runner_limits();
    const std::chrono::milliseconds grace(std::min(limits.kill_grace, kLongestLimit) * 1000);
    rt::Command command{std::string(runner)};
    for (const auto& [name, value] : env) {
        command.env(name, value);
    }
    command.own_group(grace).keep_fd(held_card_lock);
    auto fail = [&](const rt::IoError& error) {
        rt::panic(std::string(launch_label) + ": " + error.debug());
    };
    auto child = command.spawn();
    if (!child.ok()) {
        fail(child.error());
    }
    const auto started = std::chrono::steady_clock::now();
    if (limits.timeout == 0 || limits.timeout > kLongestLimit) {
        auto status = child->wait();
        if (!status.ok()) {
            fail(status.error());
        }
        return *status;
    }
    auto status = child->wait_until(started + std::chrono::seconds(limits.timeout));
    if (!status.ok()) {
        fail(status.error());
    }
    if (!*status) {
        (void)child->terminate(grace);
        rt::panic(std::string(launch_label) + ": runner timed out after " +
                  std::to_string(limits.timeout) + " s");
    }
    return **status;
}

rt::ExitStatus host_test(const EnvList& env) {
    return host_test(HOST_RUNNER, env);
}

rt::ExitStatus host_test(std::string_view runner, const EnvList& env) {
    return launch(runner, HOST_LAUNCH_LABEL, env);
}

void require_success(std::string_view label, const rt::ExitStatus& status) {
    if (status.success()) {
        return;
    }
    rt::panic("hardware capability " + rt::debug_quote(label) + " failed with " +
              status.to_string());
}

// ---------------------------------------------------------------------------
// Seeded sampling

std::string Bound::debug() const {
    switch (kind) {
        case Kind::Included:
            return "Included(" + std::to_string(value) + ")";
        case Kind::Excluded:
            return "Excluded(" + std::to_string(value) + ")";
        case Kind::Unbounded:
            break;
    }
    return "Unbounded";
}

__extension__ typedef unsigned __int128 U128;

std::uint64_t Wyrand::gen_u64() {
    state_ += 0x2d358dccaa6c78a5;
    const U128 t = static_cast<U128>(state_) * static_cast<U128>(state_ ^ 0x8bb84b93962eacc9);
    return static_cast<std::uint64_t>(t) ^ static_cast<std::uint64_t>(t >> 64);
}

std::uint32_t Wyrand::gen_u32() {
    return static_cast<std::uint32_t>(gen_u64());
}

std::uint32_t Wyrand::gen_mod_u32(std::uint32_t n) {
    // Lemire's multiply-and-reject: hi of r × n is uniform in [0, n) once the
    // draws whose lo falls below (2^32 − n) mod n are rejected. The remainder
    // is only computed when lo < n, which is rare for small n.
    std::uint64_t m = static_cast<std::uint64_t>(gen_u32()) * n;
    auto lo = static_cast<std::uint32_t>(m);
    if (lo < n) {
        const std::uint32_t threshold = (0u - n) % n;
        while (lo < threshold) {
            m = static_cast<std::uint64_t>(gen_u32()) * n;
            lo = static_cast<std::uint32_t>(m);
        }
    }
    return static_cast<std::uint32_t>(m >> 32);
}

std::uint16_t Wyrand::u16(Bound start, Bound end) {
    auto empty = [&]() -> std::uint16_t {
        rt::panic("empty range: " + start.debug() + ".." + end.debug());
    };
    std::uint16_t low = 0;
    switch (start.kind) {
        case Bound::Kind::Included:
            low = start.value;
            break;
        case Bound::Kind::Excluded:
            if (start.value == UINT16_MAX) {
                return empty();
            }
            low = static_cast<std::uint16_t>(start.value + 1);
            break;
        case Bound::Kind::Unbounded:
            break;
    }
    std::uint16_t high = UINT16_MAX;
    switch (end.kind) {
        case Bound::Kind::Included:
            high = end.value;
            break;
        case Bound::Kind::Excluded:
            if (end.value == 0) {
                return empty();
            }
            high = static_cast<std::uint16_t>(end.value - 1);
            break;
        case Bound::Kind::Unbounded:
            break;
    }
    if (low > high) {
        return empty();
    }
    if (low == 0 && high == UINT16_MAX) {
        return static_cast<std::uint16_t>(gen_u32());
    }
    const auto n = static_cast<std::uint32_t>(high - low + 1);
    return static_cast<std::uint16_t>(low + gen_mod_u32(n));
}

std::set<std::uint16_t> sample_tiles(std::uint64_t seed) {
    Wyrand rng(seed);
    std::set<std::uint16_t> tiles;
    while (tiles.size() < HOST_ROUND_TILES) {
        tiles.insert(rng.u16(Bound::included(0), Bound::excluded(tilo::exchange::VELA_TILE_COUNT)));
    }
    return tiles;
}

namespace {

template <typename Range>
std::string join_range(const Range& tiles) {
    std::string text;
    for (std::uint16_t tile : tiles) {
        if (!text.empty()) {
            text += ',';
        }
        text += std::to_string(tile);
    }
    return text;
}

}  // namespace

std::string join_decimal(std::span<const std::uint16_t> tiles) {
    return join_range(tiles);
}

std::string join_decimal(const std::set<std::uint16_t>& tiles) {
    return join_range(tiles);
}

std::string hex(std::uint64_t value) {
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof digits, value, 16);
    return "0x" + std::string(digits, result.ptr);
}

std::string host_round_label(const HostRound& round, std::string_view tiles) {
    return "randomized host round trip seed=" + hex(round.seed) +
           " bytes=" + std::to_string(round.bytes) + " tiles=" + std::string(tiles);
}

std::string graph_seed_label(std::uint64_t seed) {
    return "randomized exchange graph seed " + hex(seed);
}

// ---------------------------------------------------------------------------
// Tile lists from the topology

std::vector<std::uint16_t> endpoint_field_physical_tiles() {
    using tilo::exchange::VELA_ROW_TILES;
    using tilo::exchange::VELA_ROWS;
    std::vector<std::uint16_t> tiles;
    for (std::uint16_t position = 0; position < VELA_ROW_TILES; ++position) {
        tiles.push_back(position);
    }
    for (std::uint16_t row = 1; row < VELA_ROWS; ++row) {
        tiles.push_back(static_cast<std::uint16_t>(row * VELA_ROW_TILES + 17));
    }
    return tiles;
}

std::uint16_t logical_tile_of(const tilo::exchange::Topology& topology, std::uint16_t physical) {
    for (std::uint16_t logical = 0; logical < tilo::exchange::VELA_TILE_COUNT; ++logical) {
        const auto found = topology.physical(logical);
        if (!found.ok()) {
            rt::panic("logical VELA tile lookup failed: " + found.error().debug());
        }
        if (found.value() == physical) {
            return logical;
        }
    }
    rt::panic("physical VELA tile must have a logical tile");
}

std::string endpoint_field_tiles() {
    const auto topology = tilo::exchange::Topology::vela();
    std::vector<std::uint16_t> logical;
    for (std::uint16_t physical : endpoint_field_physical_tiles()) {
        logical.push_back(logical_tile_of(topology, physical));
    }
    return join_decimal(logical);
}

// ---------------------------------------------------------------------------
// Hardware-graph tests: tilo-hardware-e2e with one TILO_GRAPH_TEST pair.

void direct_multicast_works() {
    auto device_guard = device();
    const auto status = launch(HARDWARE_RUNNER, "launch direct multicast hardware test runner",
                               {{"TILO_GRAPH_TEST", "fanout"}});
    require_success("single-source multicast graph", status);
}

void all_tile_reduction_works() {
    auto device_guard = device();
    const auto status = launch(HARDWARE_RUNNER, "launch reduction hardware test runner",
                               {{"TILO_GRAPH_TEST", "reduction"}});
    require_success("all-tile reduction graph", status);
}

void all_tile_permutation_works() {
    auto device_guard = device();
    const auto status = launch(HARDWARE_RUNNER, "launch permutation hardware test runner",
                               {{"TILO_GRAPH_TEST", "permutation"}});
    require_success("all-tile permutation graph", status);
}

void sparse_compute_to_dense_exchange_works() {
    auto device_guard = device();
    const auto status = launch(HARDWARE_RUNNER, "launch compute-to-exchange hardware test runner",
                               {{"TILO_GRAPH_TEST", "reduction-permutation"}});
    require_success("sparse compute followed by an all-tile exchange", status);
}

void multicast_receiver_can_send_in_same_phase() {
    auto device_guard = device();
    const auto status = launch(HARDWARE_RUNNER, "launch multicast hardware test runner",
                               {{"TILO_GRAPH_TEST", "multicast"}});
    require_success("multicast graph with a receiver that sends in the same phase", status);
}

// ---------------------------------------------------------------------------
// Host tests with fixed scenarios: tilo-host-e2e through host_test.

void local_h2d_and_d2h_round_trip_works() {
    auto device_guard = device();
    require_success("local H2D and D2H", host_test({}));
}

void initialized_local_tile_d2h_works() {
    auto device_guard = device();
    require_success("initialized tile D2H", host_test({{"TILO_HOST_TEST_D2H_ONLY", "1"}}));
}

void remote_tile_h2d_and_d2h_work() {
    auto device_guard = device();
    require_success("remote-tile H2D and D2H",
                    host_test({{"TILO_HOST_TEST_TILE", "1471"}, {"TILO_HOST_TEST_BYTES", "8192"}}));
}

void initialized_remote_tile_d2h_works() {
    auto device_guard = device();
    require_success("remote-tile initialized D2H", host_test({{"TILO_HOST_TEST_REMOTE_D2H", "1"},
                                                              {"TILO_HOST_TEST_TILE", "1471"},
                                                              {"TILO_HOST_TEST_BYTES", "8192"}}));
}

void h2d_compute_d2d_compute_d2h_works() {
    auto device_guard = device();
    require_success(
        "H2D, compute, D2D, compute, and D2H composition",
        host_test({{"TILO_HOST_TEST_COMPUTE_RELAY", "1"}, {"TILO_HOST_TEST_BYTES", "4"}}));
}

void initialized_d2d_relay_and_d2h_work() {
    auto device_guard = device();
    require_success("initialized D2D relay and D2H",
                    host_test({{"TILO_HOST_TEST_EXCHANGE", "1"},
                               {"TILO_HOST_TEST_INITIALIZED_EXCHANGE", "1"}}));
}

void large_h2d_timed_relay_and_d2h_composition_works() {
    auto device_guard = device();
    require_success(
        "large H2D, timed D2D relay, and D2H composition",
        host_test({{"TILO_HOST_TEST_EXCHANGE", "1"}, {"TILO_HOST_TEST_BYTES", "2048"}}));
}

void high_address_large_h2d_and_d2h_work() {
    auto device_guard = device();
    require_success("64-KiB high-address H2D and D2H",
                    host_test({{"TILO_HOST_TEST_TILE", "100"},
                               {"TILO_HOST_TEST_BYTES", "65536"},
                               {"TILO_HOST_TEST_ADDRESS", "0x60000"}}));
}

void distinct_sources_can_write_disjoint_host_ranges() {
    auto device_guard = device();
    require_success("distinct multi-source D2H", host_test({{"TILO_HOST_TEST_TILES", "1471,274"},
                                                            {"TILO_HOST_TEST_BYTES", "64"}}));
}

// ---------------------------------------------------------------------------
// Host test with a tile list computed from the topology.

void host_routes_cover_every_endpoint_field() {
    auto device_guard = device();
    const std::string tiles = endpoint_field_tiles();
    require_success("host routes spanning every endpoint field",
                    host_test({{"TILO_HOST_TEST_TILES", tiles}, {"TILO_HOST_TEST_BYTES", "64"}}));
}

// ---------------------------------------------------------------------------
// Randomised tests: all rounds under one hold of DEVICE; the first failing
// round ends the test.

void randomized_static_d2d_graphs_work() {
    auto device_guard = device();
    for (std::uint64_t seed : GRAPH_SEEDS) {
        const std::string label = graph_seed_label(seed);
        const auto status = launch(RANDOMIZED_RUNNER, "launch randomized hardware test runner",
                                   {{"TILO_RANDOM_SEED", std::to_string(seed)}});
        require_success(label, status);
    }
}

void randomized_multi_tile_host_round_trips_work() {
    auto device_guard = device();
    for (const HostRound& round : HOST_ROUNDS) {
        const std::string tiles = join_decimal(sample_tiles(round.seed));
        const std::string label = host_round_label(round, tiles);
        const auto status = host_test({{"TILO_HOST_TEST_TILES", tiles},
                                       {"TILO_HOST_TEST_BYTES", std::to_string(round.bytes)}});
        require_success(label, status);
    }
}

// ---------------------------------------------------------------------------
// The static descriptor list

namespace {

/// The body stored for test function F: call it, then adapt its (empty) result.
template <void (*F)()>
test::BodyResult static_body() {
    F();
    return test::assert_test_result();
}

test::TestDescAndFn describe(std::string_view name, std::uint64_t line, test::StaticTestFn body) {
    test::TestDesc desc;
    desc.name = test::TestName::static_name(name);
    desc.ignore = false;
    desc.ignore_message = std::nullopt;
    desc.source_path = SOURCE_PATH;
    desc.start_line = line;
    desc.start_col = 4;
    desc.end_line = line;
    desc.end_col = 4 + name.size();
    desc.should_panic = test::ShouldPanic::not_expected();
    desc.compile_fail = false;
    desc.build_only = false;
    desc.test_type = test::TestType::Integration;
    return test::TestDescAndFn{std::move(desc), test::TestFn(test::StaticTestBody{body})};
}

#define HARDWARE_E2E_ENTRY(name, line) describe(#name, line, &static_body<&name>)

}  // namespace

const std::array<test::TestDescAndFn, TEST_COUNT>& test_list() {
    static const std::array<test::TestDescAndFn, TEST_COUNT> list = {
        HARDWARE_E2E_ENTRY(all_tile_permutation_works, 192),
        HARDWARE_E2E_ENTRY(all_tile_reduction_works, 168),
        HARDWARE_E2E_ENTRY(direct_multicast_works, 204),
        HARDWARE_E2E_ENTRY(distinct_sources_can_write_disjoint_host_ranges, 102),
        HARDWARE_E2E_ENTRY(h2d_compute_d2d_compute_d2h_works, 52),
        HARDWARE_E2E_ENTRY(high_address_large_h2d_and_d2h_work, 76),
        HARDWARE_E2E_ENTRY(host_routes_cover_every_endpoint_field, 114),
        HARDWARE_E2E_ENTRY(initialized_d2d_relay_and_d2h_work, 28),
        HARDWARE_E2E_ENTRY(initialized_local_tile_d2h_works, 13),
        HARDWARE_E2E_ENTRY(initialized_remote_tile_d2h_works, 89),
        HARDWARE_E2E_ENTRY(large_h2d_timed_relay_and_d2h_composition_works, 40),
        HARDWARE_E2E_ENTRY(local_h2d_and_d2h_round_trip_works, 22),
        HARDWARE_E2E_ENTRY(multicast_receiver_can_send_in_same_phase, 216),
        HARDWARE_E2E_ENTRY(randomized_multi_tile_host_round_trips_work, 140),
        HARDWARE_E2E_ENTRY(randomized_static_d2d_graphs_work, 228),
        HARDWARE_E2E_ENTRY(remote_tile_h2d_and_d2h_work, 64),
        HARDWARE_E2E_ENTRY(sparse_compute_to_dense_exchange_works, 180),
    };
    return list;
}

#undef HARDWARE_E2E_ENTRY

std::span<const test::TestDescAndFn> tests() {
    return test_list();
}

}  // namespace hardware_e2e
