// The stand-in runners on their own: which scenario values they accept, their
// fault injection, and the layout of their log line.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "hardware_e2e.hpp"
#include "process.hpp"
#include "support.hpp"

namespace hardware_e2e {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

struct Outcome {
    rt::ExitStatus status{0};
    std::string out;
    std::string err;
};

Outcome run(std::string_view runner, const Pairs& env) {
    rt::Command command{std::string(runner)};
    for (const auto& [name, value] : env) {
        command.env(name, value);
    }
    auto output = command.output();
    EXPECT_TRUE(output.ok()) << output.error().debug();
    if (!output.ok()) {
        return {};
    }
    return {output->status, std::string(output->stdout_bytes.begin(), output->stdout_bytes.end()),
            std::string(output->stderr_bytes.begin(), output->stderr_bytes.end())};
}

// Clears the variables the stand-ins read, so that only each case's own count;
// puts them back afterwards.
class Standin : public ::testing::Test {
protected:
    void SetUp() override { env_.clear(); }

private:
    static constexpr const char* kVars[] = {
        "TILO_GRAPH_TEST",      "TILO_RANDOM_SEED",         "TILO_HOST_TEST_TILE",
        "TILO_HOST_TEST_TILES", "TILO_HOST_TEST_BYTES",     "TILO_STANDIN_SLEEP_MS",
        "TILO_STANDIN_EXIT",    "TILO_STANDIN_SIGNAL",      "TILO_STANDIN_MATCH",
        "TILO_STANDIN_LOG",     "TILO_STANDIN_IGNORE_TERM", "TILO_STANDIN_CHILD"};
    test::support::EnvGuard env_{kVars};
};

TEST_F(Standin, ScenarioValuesAreValidated) {
    const struct {
        std::string_view runner;
        Pairs env;
        int code;
    } cases[] = {
        {HARDWARE_RUNNER, {}, 2},
        {HARDWARE_RUNNER, {{"TILO_GRAPH_TEST", "fanout"}}, 0},
        {HARDWARE_RUNNER, {{"TILO_GRAPH_TEST", "reduction-permutation"}}, 0},
        {HARDWARE_RUNNER, {{"TILO_GRAPH_TEST", "Fanout"}}, 2},
        {HARDWARE_RUNNER, {{"TILO_GRAPH_TEST", ""}}, 2},
        {RANDOMIZED_RUNNER, {}, 2},
        {RANDOMIZED_RUNNER, {{"TILO_RANDOM_SEED", "18446744073709551615"}}, 0},
        {RANDOMIZED_RUNNER, {{"TILO_RANDOM_SEED", "18446744073709551616"}}, 2},
        {RANDOMIZED_RUNNER, {{"TILO_RANDOM_SEED", "0x54494c4f2d535441"}}, 2},
        {RANDOMIZED_RUNNER, {{"TILO_RANDOM_SEED", "-1"}}, 2},
        {HOST_RUNNER, {}, 0},
        {HOST_RUNNER, {{"TILO_HOST_TEST_TILE", "1471"}}, 0},
        {HOST_RUNNER, {{"TILO_HOST_TEST_TILE", "1472"}}, 2},
        {HOST_RUNNER, {{"TILO_HOST_TEST_TILES", "1471,274"}}, 0},
        {HOST_RUNNER, {{"TILO_HOST_TEST_TILES", "1471, 274"}}, 2},
        {HOST_RUNNER, {{"TILO_HOST_TEST_TILES", "1,,2"}}, 2},
        {HOST_RUNNER, {{"TILO_HOST_TEST_TILES", "1,"}}, 2},
        {HOST_RUNNER, {{"TILO_HOST_TEST_TILES", ""}}, 2},
        {HOST_RUNNER, {{"TILO_HOST_TEST_BYTES", "65536"}}, 0},
        {HOST_RUNNER, {{"TILO_HOST_TEST_BYTES", "64 "}}, 2},
        {HOST_RUNNER, {{"TILO_HOST_TEST_ADDRESS", "0x60000"}}, 0},
        {HOST_RUNNER, {{"TILO_HOST_TEST_ADDRESS", "60000"}}, 2},
        {HOST_RUNNER, {{"TILO_HOST_TEST_ADDRESS", "0x"}}, 2},
        {HOST_RUNNER, {{"TILO_HOST_TEST_ADDRESS", "0x6g"}}, 2},
        {HOST_RUNNER, {{"TILO_HOST_TEST_EXCHANGE", "1"}}, 0},
        {HOST_RUNNER, {{"TILO_HOST_TEST_EXCHANGE", "true"}}, 2},
        {HOST_RUNNER, {{"TILO_HOST_TEST_D2H_ONLY", "0"}}, 2},
        {HOST_RUNNER, {{"TILO_HOST_TEST_TILESS", "1"}}, 2},
        {HOST_RUNNER, {{"TILO_STANDIN_EXIT", "x"}}, 2},
        {HOST_RUNNER, {{"TILO_STANDIN_SIGNAL", "19"}}, 2},
        {HOST_RUNNER, {{"TILO_STANDIN_IGNORE_TERM", "1"}}, 0},
        {HOST_RUNNER, {{"TILO_STANDIN_IGNORE_TERM", "yes"}}, 2},
        {HOST_RUNNER, {{"TILO_STANDIN_CHILD", "2"}}, 2},
    };
    for (const auto& c : cases) {
        const Outcome o = run(c.runner, c.env);
        SCOPED_TRACE(std::string(c.runner) +
                     (c.env.empty() ? "" : " " + c.env[0].first + "=" + c.env[0].second));
        EXPECT_EQ(o.status.code(), c.code);
        EXPECT_EQ(o.out, "");
        if (c.code == 0) {
            EXPECT_EQ(o.err, "");
        } else {
            // One line, naming the runner.
            ASSERT_FALSE(o.err.empty());
            EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << o.err;
            EXPECT_EQ(o.err.rfind("tilo-", 0), 0u) << o.err;
        }
    }
}

TEST_F(Standin, FaultsApplyWhereTheMatchOccurs) {
    const Pairs exit7 = {{"TILO_STANDIN_EXIT", "7"}, {"TILO_GRAPH_TEST", "fanout"}};
    Outcome o = run(HARDWARE_RUNNER, exit7);
    EXPECT_EQ(o.status.code(), 7);
    EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << o.err;

    Pairs matched = exit7;
    matched.emplace_back("TILO_STANDIN_MATCH", "fan");
    EXPECT_EQ(run(HARDWARE_RUNNER, matched).status.code(), 7);
    matched.back().second = "hardware";
    EXPECT_EQ(run(HARDWARE_RUNNER, matched).status.code(), 7);
    matched.back().second = "multicast";
    o = run(HARDWARE_RUNNER, matched);
    EXPECT_EQ(o.status.code(), 0);
    EXPECT_EQ(o.err, "");

    o = run(RANDOMIZED_RUNNER,
            {{"TILO_RANDOM_SEED", "5"}, {"TILO_STANDIN_SIGNAL", "9"}, {"TILO_STANDIN_MATCH", "5"}});
    EXPECT_EQ(o.status.signal(), SIGKILL);
    o = run(HOST_RUNNER, {{"TILO_STANDIN_SIGNAL", "15"}});
    EXPECT_EQ(o.status.signal(), SIGTERM);
}

TEST_F(Standin, LogLineRecordsTheCall) {
    const std::string log = ::testing::TempDir() + "standin_test." + std::to_string(getpid());
    std::remove(log.c_str());
    run(HOST_RUNNER, {{"TILO_STANDIN_LOG", log},
                      {"TILO_STANDIN_SLEEP_MS", "30"},
                      {"TILO_HOST_TEST_TILES", "1,2"},
                      {"TILO_HOST_TEST_BYTES", "4"}});
    run(HARDWARE_RUNNER, {{"TILO_STANDIN_LOG", log}, {"TILO_GRAPH_TEST", "bad\tname"}});

    std::ifstream in(log);
    std::vector<std::vector<std::string>> lines;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) {
            fields.push_back(field);
        }
        lines.push_back(fields);
    }
    std::remove(log.c_str());
    ASSERT_EQ(lines.size(), 2u);

    ASSERT_EQ(lines[0].size(), 5u);
    EXPECT_EQ(lines[0][0], "tilo-host-e2e");
    const std::uint64_t start = std::stoull(lines[0][1]);
    const std::uint64_t end = std::stoull(lines[0][2]);
    EXPECT_GE(end - start, 30'000'000u) << "the end time follows the sleep";
    EXPECT_EQ(lines[0][3], "TILO_HOST_TEST_BYTES=4");
    EXPECT_EQ(lines[0][4], "TILO_HOST_TEST_TILES=1,2");

    // A malformed call is logged too, with its value escaped to keep the layout.
    ASSERT_EQ(lines[1].size(), 4u);
    EXPECT_EQ(lines[1][0], "tilo-hardware-e2e");
    EXPECT_LE(end, std::stoull(lines[1][1]));
    EXPECT_EQ(lines[1][3], "TILO_GRAPH_TEST=bad\\tname");
}

}  // namespace
}  // namespace hardware_e2e
