// The seventeen device tests against the stand-in runners: the descriptor
// list, the runner and scenario variables of every test (read back from
// TILO_STANDIN_LOG), the failure messages, the device lock after a failure,
// and that runners never overlap when tests run on several threads.

#include "hardware_e2e.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "panic.hpp"
#include "result.hpp"
#include "support.hpp"

namespace hardware_e2e {
namespace {

const std::string kEndpointTiles =
    "0,90,1,91,92,182,93,183,184,274,185,275,276,366,277,367,368,458,369,459,460,550,461,551,"
    "552,642,553,643,644,734,645,735,736,826,737,827,828,918,829,919,920,1010,921,1011,1012,"
    "1102,1013,1103,1104,1194,1105,1195,1196,1286,1197,1287,1288,1378,1289,1379,1380,1470,"
    "1381,1471,456,454,452,450,448,446,444,442,440,438,436,434,432,430,428,426,424,422,420,"
    "418,416,414";

/// What one test should do: its declaration line, the runner calls it makes
/// (runner name, then the scenario variables sorted by name), and the
/// capability label of its first call.
struct Expected {
    const char* name;
    std::uint64_t line;
    std::vector<std::string> calls;
    const char* first_label;
};

const std::vector<Expected>& expected_tests() {
    static const std::vector<Expected> all = {
        {"all_tile_permutation_works",
         192,
         {"tilo-hardware-e2e\tTILO_GRAPH_TEST=permutation"},
         "all-tile permutation graph"},
        {"all_tile_reduction_works",
         168,
         {"tilo-hardware-e2e\tTILO_GRAPH_TEST=reduction"},
         "all-tile reduction graph"},
        {"direct_multicast_works",
         204,
         {"tilo-hardware-e2e\tTILO_GRAPH_TEST=fanout"},
         "single-source multicast graph"},
        {"distinct_sources_can_write_disjoint_host_ranges",
         102,
         {"tilo-host-e2e\tTILO_HOST_TEST_BYTES=64\tTILO_HOST_TEST_TILES=1471,274"},
         "distinct multi-source D2H"},
        {"h2d_compute_d2d_compute_d2h_works",
         52,
         {"tilo-host-e2e\tTILO_HOST_TEST_BYTES=4\tTILO_HOST_TEST_COMPUTE_RELAY=1"},
         "H2D, compute, D2D, compute, and D2H composition"},
        {"high_address_large_h2d_and_d2h_work",
         76,
         {"tilo-host-e2e\tTILO_HOST_TEST_ADDRESS=0x60000\tTILO_HOST_TEST_BYTES=65536"
          "\tTILO_HOST_TEST_TILE=100"},
         "64-KiB high-address H2D and D2H"},
        {"host_routes_cover_every_endpoint_field",
         114,
         {"tilo-host-e2e\tTILO_HOST_TEST_BYTES=64\tTILO_HOST_TEST_TILES=" + kEndpointTiles},
         "host routes spanning every endpoint field"},
        {"initialized_d2d_relay_and_d2h_work",
         28,
         {"tilo-host-e2e\tTILO_HOST_TEST_EXCHANGE=1\tTILO_HOST_TEST_INITIALIZED_EXCHANGE=1"},
         "initialized D2D relay and D2H"},
        {"initialized_local_tile_d2h_works",
         13,
         {"tilo-host-e2e\tTILO_HOST_TEST_D2H_ONLY=1"},
         "initialized tile D2H"},
        {"initialized_remote_tile_d2h_works",
         89,
         {"tilo-host-e2e\tTILO_HOST_TEST_BYTES=8192\tTILO_HOST_TEST_REMOTE_D2H=1"
          "\tTILO_HOST_TEST_TILE=1471"},
         "remote-tile initialized D2H"},
        {"large_h2d_timed_relay_and_d2h_composition_works",
         40,
         {"tilo-host-e2e\tTILO_HOST_TEST_BYTES=2048\tTILO_HOST_TEST_EXCHANGE=1"},
         "large H2D, timed D2D relay, and D2H composition"},
        {"local_h2d_and_d2h_round_trip_works", 22, {"tilo-host-e2e"}, "local H2D and D2H"},
        {"multicast_receiver_can_send_in_same_phase",
         216,
         {"tilo-hardware-e2e\tTILO_GRAPH_TEST=multicast"},
         "multicast graph with a receiver that sends in the same phase"},
        {"randomized_multi_tile_host_round_trips_work",
         140,
         {"tilo-host-e2e\tTILO_HOST_TEST_BYTES=4\tTILO_HOST_TEST_TILES=34,71,144,956,1104,1157,"
          "1243,1300",
          "tilo-host-e2e\tTILO_HOST_TEST_BYTES=1024\tTILO_HOST_TEST_TILES=11,19,108,451,536,647,"
          "846,958",
          "tilo-host-e2e\tTILO_HOST_TEST_BYTES=8192\tTILO_HOST_TEST_TILES=19,82,416,602,829,893,"
          "1065,1187"},
         "randomized host round trip seed=0x243f6a8885a308d3 bytes=4 "
         "tiles=34,71,144,956,1104,1157,1243,1300"},
        {"randomized_static_d2d_graphs_work",
         228,
         {"tilo-randomized-e2e\tTILO_RANDOM_SEED=6073469475432387649",
          "tilo-randomized-e2e\tTILO_RANDOM_SEED=7640891576956012809",
          "tilo-randomized-e2e\tTILO_RANDOM_SEED=13503953896175478587"},
         "randomized exchange graph seed 0x54494c4f2d535441"},
        {"remote_tile_h2d_and_d2h_work",
         64,
         {"tilo-host-e2e\tTILO_HOST_TEST_BYTES=8192\tTILO_HOST_TEST_TILE=1471"},
         "remote-tile H2D and D2H"},
        {"sparse_compute_to_dense_exchange_works",
         180,
         {"tilo-hardware-e2e\tTILO_GRAPH_TEST=reduction-permutation"},
         "sparse compute followed by an all-tile exchange"},
    };
    return all;
}

/// One line of the stand-in log.
struct Call {
    std::string runner_and_vars;  // the line without its two times
    std::uint64_t start = 0;
    std::uint64_t end = 0;
};

using test::support::panic_message;

/// Runs the stored body of a descriptor; the panic message, or nothing when it passes.
std::optional<std::string> run_body(const test::TestDescAndFn& entry) {
    return panic_message([&] {
        const auto& body = std::get<test::StaticTestBody>(entry.body.body());
        const test::BodyResult result = body.f();
        if (!result.is_ok()) {
            rt::panic("body result: " + result.error());
        }
    });
}

void run_named(std::string_view name) {
    for (const auto& entry : test_list()) {
        if (entry.descriptor.name.as_slice() == name) {
            std::get<test::StaticTestBody>(entry.body.body()).f();
            return;
        }
    }
    FAIL() << "no test " << name;
}

/// The variables that change what the stand-ins do or see.
constexpr const char* kStandinVars[] = {"TILO_GRAPH_TEST",
                                        "TILO_RANDOM_SEED",
                                        "TILO_HOST_TEST_TILE",
                                        "TILO_HOST_TEST_TILES",
                                        "TILO_HOST_TEST_BYTES",
                                        "TILO_HOST_TEST_ADDRESS",
                                        "TILO_HOST_TEST_D2H_ONLY",
                                        "TILO_HOST_TEST_REMOTE_D2H",
                                        "TILO_HOST_TEST_COMPUTE_RELAY",
                                        "TILO_HOST_TEST_EXCHANGE",
                                        "TILO_HOST_TEST_INITIALIZED_EXCHANGE",
                                        "TILO_STANDIN_SLEEP_MS",
                                        "TILO_STANDIN_EXIT",
                                        "TILO_STANDIN_SIGNAL",
                                        "TILO_STANDIN_MATCH",
                                        "TILO_STANDIN_LOG",
                                        "TILO_STANDIN_IGNORE_TERM",
                                        "TILO_STANDIN_CHILD",
                                        "TILO_RUNNER_TIMEOUT",
                                        "TILO_RUNNER_KILL_GRACE",
                                        "TILO_DEVICE_LOCK"};

/// Points the stand-ins at a fresh log and clears every variable that would
/// change what they do or see; puts the variables back afterwards.
class DeviceSuite : public ::testing::Test {
protected:
    void SetUp() override {
        rt::set_hook([](const rt::PanicInfo&) {});
        env_.clear();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        log_ = ::testing::TempDir() + "device_test." + std::to_string(getpid()) + "." +
               info->name() + ".log";
        std::remove(log_.c_str());
        setenv("TILO_STANDIN_LOG", log_.c_str(), 1);
        // A card lock of this test's own, so other runs on the host neither
        // wait for it nor delay it.
        lock_ = log_ + ".lock";
        setenv("TILO_DEVICE_LOCK", lock_.c_str(), 1);
    }
    void TearDown() override {
        std::remove(log_.c_str());
        std::remove(lock_.c_str());
        (void)rt::take_hook();
    }

    /// The calls logged since the last take_calls(), in order of logging.
    std::vector<Call> take_calls() {
        std::vector<Call> calls;
        std::ifstream in(log_);
        std::string line;
        while (std::getline(in, line)) {
            const auto t1 = line.find('\t');
            const auto t2 = line.find('\t', t1 + 1);
            auto t3 = line.find('\t', t2 + 1);
            if (t1 == std::string::npos || t2 == std::string::npos) {
                ADD_FAILURE() << "malformed log line: " << line;
                continue;
            }
            if (t3 == std::string::npos) {
                t3 = line.size();
            }
            Call call;
            call.runner_and_vars = line.substr(0, t1) + line.substr(t3);
            call.start = std::stoull(line.substr(t1 + 1, t2 - t1 - 1));
            call.end = std::stoull(line.substr(t2 + 1, t3 - t2 - 1));
            calls.push_back(call);
        }
        in.close();
        std::remove(log_.c_str());
        return calls;
    }

    static std::vector<std::string> texts(const std::vector<Call>& calls) {
        std::vector<std::string> out;
        for (const auto& c : calls) {
            out.push_back(c.runner_and_vars);
        }
        return out;
    }

    test::support::EnvGuard env_{kStandinVars};
    std::string log_;
    std::string lock_;
};

TEST(Catalogue, DescriptorsAreStoredByNameWithTheirPositions) {
    const auto& list = test_list();
    const auto& expected = expected_tests();
    ASSERT_EQ(list.size(), expected.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        const test::TestDesc& d = list[i].descriptor;
        const std::string_view name = d.name.as_slice();
        SCOPED_TRACE(name);
        EXPECT_EQ(name, expected[i].name);
        EXPECT_EQ(d.name.kind(), test::TestName::Kind::StaticName);
        EXPECT_FALSE(d.ignore);
        EXPECT_FALSE(d.ignore_message.has_value());
        EXPECT_EQ(d.source_path, "crates/tilo-runtime/tests/hardware_e2e");
        EXPECT_EQ(d.start_line, expected[i].line);
        EXPECT_EQ(d.start_col, 4u);
        EXPECT_EQ(d.end_line, expected[i].line);
        EXPECT_EQ(d.end_col, 4 + name.size());
        EXPECT_EQ(d.should_panic, test::ShouldPanic::not_expected());
        EXPECT_FALSE(d.compile_fail);
        EXPECT_FALSE(d.build_only);
        EXPECT_EQ(d.test_type, test::TestType::Integration);
        EXPECT_EQ(list[i].body.kind(), 0u);
        if (i > 0) {
            EXPECT_LT(list[i - 1].descriptor.name.as_slice(), name);
        }
    }
    EXPECT_EQ(list[0].descriptor.end_col, 30u);
    EXPECT_EQ(tests().data(), list.data());
    EXPECT_EQ(tests().size(), 17u);
}

TEST_F(DeviceSuite, EveryTestStartsItsRunnerWithItsScenario) {
    const auto& list = test_list();
    for (std::size_t i = 0; i < list.size(); ++i) {
        SCOPED_TRACE(expected_tests()[i].name);
        EXPECT_EQ(run_body(list[i]), std::nullopt);
        EXPECT_EQ(texts(take_calls()), expected_tests()[i].calls);
    }
}

TEST_F(DeviceSuite, PairsGoOnTopOfTheInheritedEnvironment) {
    setenv("TILO_HOST_TEST_BYTES", "16", 1);
    run_named("local_h2d_and_d2h_round_trip_works");
    run_named("remote_tile_h2d_and_d2h_work");
    EXPECT_EQ(texts(take_calls()),
              (std::vector<std::string>{
                  "tilo-host-e2e\tTILO_HOST_TEST_BYTES=16",
                  "tilo-host-e2e\tTILO_HOST_TEST_BYTES=8192\tTILO_HOST_TEST_TILE=1471"}));
}

TEST_F(DeviceSuite, FailingRunnersGiveTheCapabilityMessage) {
    setenv("TILO_STANDIN_EXIT", "1", 1);
    for (const auto& entry : test_list()) {
        const std::string_view name = entry.descriptor.name.as_slice();
        const auto& expected = *std::find_if(expected_tests().begin(), expected_tests().end(),
                                             [&](const Expected& e) { return e.name == name; });
        SCOPED_TRACE(name);
        EXPECT_EQ(run_body(entry), std::string("hardware capability \"") + expected.first_label +
                                       "\" failed with exit status: 1");
        // The first failing round ends a randomised test: one call only.
        EXPECT_EQ(take_calls().size(), 1u);
    }

    setenv("TILO_STANDIN_EXIT", "2", 1);
    EXPECT_EQ(panic_message(distinct_sources_can_write_disjoint_host_ranges),
              "hardware capability \"distinct multi-source D2H\" failed with exit status: 2");

    unsetenv("TILO_STANDIN_EXIT");
    setenv("TILO_STANDIN_SIGNAL", "9", 1);
    EXPECT_EQ(panic_message(all_tile_permutation_works),
              "hardware capability \"all-tile permutation graph\" failed with signal: 9 (SIGKILL)");
    EXPECT_EQ(panic_message(local_h2d_and_d2h_round_trip_works),
              "hardware capability \"local H2D and D2H\" failed with signal: 9 (SIGKILL)");
}

TEST_F(DeviceSuite, RoundsStopAtTheFirstFailure) {
    setenv("TILO_STANDIN_EXIT", "3", 1);
    setenv("TILO_STANDIN_MATCH", "7640891576956012809", 1);
    EXPECT_EQ(panic_message(randomized_static_d2d_graphs_work),
              "hardware capability \"randomized exchange graph seed 0x6a09e667f3bcc909\" failed "
              "with exit status: 3");
    EXPECT_EQ(
        texts(take_calls()),
        (std::vector<std::string>{"tilo-randomized-e2e\tTILO_RANDOM_SEED=6073469475432387649",
                                  "tilo-randomized-e2e\tTILO_RANDOM_SEED=7640891576956012809"}));

    setenv("TILO_STANDIN_MATCH", "1024", 1);
    EXPECT_EQ(panic_message(randomized_multi_tile_host_round_trips_work),
              "hardware capability \"randomized host round trip seed=0x13198a2e03707344 "
              "bytes=1024 tiles=11,19,108,451,536,647,846,958\" failed with exit status: 3");
    EXPECT_EQ(take_calls().size(), 2u);
}

TEST_F(DeviceSuite, MalformedLimitsAndUnopenableLocksStartNothing) {
    const struct {
        const char* name;
        const char* value;
        const char* message;
    } cases[] = {
        {"TILO_RUNNER_TIMEOUT", "", R"(invalid TILO_RUNNER_TIMEOUT: "")"},
        {"TILO_RUNNER_TIMEOUT", "-1", R"(invalid TILO_RUNNER_TIMEOUT: "-1")"},
        {"TILO_RUNNER_TIMEOUT", "+5", R"(invalid TILO_RUNNER_TIMEOUT: "+5")"},
        {"TILO_RUNNER_TIMEOUT", "1.5", R"(invalid TILO_RUNNER_TIMEOUT: "1.5")"},
        {"TILO_RUNNER_TIMEOUT", " 1", R"(invalid TILO_RUNNER_TIMEOUT: " 1")"},
        {"TILO_RUNNER_TIMEOUT", "18446744073709551616",
         R"(invalid TILO_RUNNER_TIMEOUT: "18446744073709551616")"},
        {"TILO_RUNNER_TIMEOUT", "1\xff", R"(invalid TILO_RUNNER_TIMEOUT: "1\xFF")"},
        {"TILO_RUNNER_KILL_GRACE", "ten", R"(invalid TILO_RUNNER_KILL_GRACE: "ten")"},
    };
    for (const auto& c : cases) {
        test::support::EnvGuard bad(c.name, c.value);
        EXPECT_EQ(panic_message(direct_multicast_works), c.message);
        EXPECT_EQ(panic_message(randomized_static_d2d_graphs_work), c.message);
    }
    const std::string missing = ::testing::TempDir() + "no-such-dir/card.lock";
    setenv("TILO_DEVICE_LOCK", missing.c_str(), 1);
    EXPECT_EQ(panic_message(local_h2d_and_d2h_round_trip_works),
              "open card lock " + missing + ": " + rt::IoError::from_errno(ENOENT).debug());
    EXPECT_TRUE(take_calls().empty());
}

TEST_F(DeviceSuite, TheCardLockIsCreatedSharedAndWaitedFor) {
    const mode_t mask = ::umask(022);
    EXPECT_EQ(panic_message(local_h2d_and_d2h_round_trip_works), std::nullopt);
    struct stat created {};
    ASSERT_EQ(::stat(lock_.c_str(), &created), 0);
    EXPECT_EQ(created.st_mode & 0777, 0644u);
    ::umask(mask);

    // Another holder (a descriptor of its own, like another process) lets go
    // after 1.2 s; the test says once that it waits, then runs its runner.
    const int other = ::open(lock_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    std::thread holder([other] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        ::close(other);
    });
    test::support::Capture capture;
    EXPECT_EQ(panic_message(local_h2d_and_d2h_round_trip_works), std::nullopt);
    holder.join();
    EXPECT_EQ(capture.text(), "waiting for the card lock at " + lock_ + "\n");
    EXPECT_EQ(take_calls().size(), 2u);

    // An empty name turns the host lock off.
    setenv("TILO_DEVICE_LOCK", "", 1);
    std::remove(lock_.c_str());
    EXPECT_EQ(panic_message(local_h2d_and_d2h_round_trip_works), std::nullopt);
    EXPECT_NE(::access(lock_.c_str(), F_OK), 0);
}

TEST_F(DeviceSuite, MissingOrUnrunnableRunnersAreLaunchFailures) {
    const std::string missing = ::testing::TempDir() + "no-such-dir/tilo-host-e2e";
    const auto message = panic_message([&] { (void)host_test(missing, {}); });
    ASSERT_TRUE(message.has_value());
    const std::string prefix = "launch host exchange test runner: ";
    EXPECT_EQ(message->substr(0, prefix.size()), prefix) << *message;
    EXPECT_EQ(*message, prefix + rt::IoError::from_errno(ENOENT).debug());
    EXPECT_NE(message->find("NotFound"), std::string::npos) << *message;
    EXPECT_NE(message->find(std::strerror(ENOENT)), std::string::npos) << *message;

    // A file without execute permission.
    const std::string plain =
        ::testing::TempDir() + "device_test_plain." + std::to_string(getpid());
    std::ofstream(plain) << "#!/bin/sh\nexit 0\n";
    chmod(plain.c_str(), 0644);
    const auto denied = panic_message([&] {
        (void)launch(plain, "launch direct multicast hardware test runner",
                     {{"TILO_GRAPH_TEST", "fanout"}});
    });
    std::remove(plain.c_str());
    EXPECT_EQ(denied, "launch direct multicast hardware test runner: " +
                          rt::IoError::from_errno(EACCES).debug());
    EXPECT_TRUE(take_calls().empty());
}

TEST_F(DeviceSuite, RunnerPathsAreAbsoluteBuildConstants) {
    for (std::string_view path : {HARDWARE_RUNNER, RANDOMIZED_RUNNER, HOST_RUNNER}) {
        EXPECT_EQ(path.front(), '/') << path;
        EXPECT_EQ(access(std::string(path).c_str(), X_OK), 0) << path;
    }
    EXPECT_TRUE(HOST_RUNNER.ends_with("/tilo-host-e2e"));
    EXPECT_TRUE(HARDWARE_RUNNER.ends_with("/tilo-hardware-e2e"));
    EXPECT_TRUE(RANDOMIZED_RUNNER.ends_with("/tilo-randomized-e2e"));
}

TEST_F(DeviceSuite, AFailureWhileHoldingTheDeviceDoesNotBlockTheNextTest) {
    setenv("TILO_STANDIN_EXIT", "1", 1);
    std::optional<std::string> failure;
    std::thread([&] { failure = panic_message(initialized_local_tile_d2h_works); }).join();
    EXPECT_EQ(failure, "hardware capability \"initialized tile D2H\" failed with exit status: 1");
    EXPECT_TRUE(DEVICE.is_poisoned());

    unsetenv("TILO_STANDIN_EXIT");
    EXPECT_EQ(panic_message(initialized_local_tile_d2h_works), std::nullopt);
    EXPECT_EQ(panic_message([] { auto guard = device(); }), std::nullopt);
    EXPECT_EQ(take_calls().size(), 2u);
    DEVICE.clear_poison();
}

TEST_F(DeviceSuite, RunnersNeverOverlapAcrossThreads) {
    setenv("TILO_STANDIN_SLEEP_MS", "3", 1);
    const std::vector<void (*)()> bodies = {
        direct_multicast_works,
        local_h2d_and_d2h_round_trip_works,
        randomized_static_d2d_graphs_work,
        host_routes_cover_every_endpoint_field,
        remote_tile_h2d_and_d2h_work,
        all_tile_reduction_works,
    };
    constexpr int kThreads = 4;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&bodies, t] {
            for (std::size_t i = 0; i < bodies.size(); ++i) {
                const auto failure = panic_message(bodies[(i + t) % bodies.size()]);
                EXPECT_EQ(failure, std::nullopt);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    auto calls = take_calls();
    ASSERT_EQ(calls.size(), kThreads * (bodies.size() + 2));
    std::sort(calls.begin(), calls.end(),
              [](const Call& a, const Call& b) { return a.start < b.start; });
    for (std::size_t i = 1; i < calls.size(); ++i) {
        EXPECT_LE(calls[i - 1].end, calls[i].start)
            << calls[i - 1].runner_and_vars << " overlaps " << calls[i].runner_and_vars;
    }
}

}  // namespace
}  // namespace hardware_e2e
