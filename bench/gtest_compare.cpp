// Whole-process comparison with GoogleTest: the same N trivial tests built for
// this harness (trivial_tests) and for GoogleTest (trivial_gtest), each run as
// a process of its own with standard output on a pipe this program drains.
// Every harness configuration is measured in pairs with GoogleTest: the two
// runs follow each other (the order alternating from pair to pair), so a change
// in the machine's load meanwhile touches both alike, and the ratio of the two
// wall times is taken per pair.
//
// Usage: gtest_compare [--pairs P] [--work US] [--only TEXT] [N...]
//        (default: P = 7, no work, N = 10000 100000; --work: each test spins
//        for US microseconds; --only: just the configurations whose label
//        contains TEXT)
// Prints per configuration and N the median wall time of both programs, the
// median, lowest and highest ratio over the pairs, the peak resident set of
// both (the largest over the runs), and for a configuration with a
// counterpart (the same without --reuse-threads) the ratio of their median
// wall times. A configuration the harness refuses is reported and skipped.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Config {
    const char* label;
    std::vector<const char*> args;
    const char* counterpart;  // the label of the same run without the pool, or null
};

struct Run {
    double wall_ms = 0;
    long peak_kb = 0;
    bool ok = false;
};

// Runs `program` with `args`, TRIVIAL_TESTS=n (and TRIVIAL_WORK_US), its
// standard output on a pipe drained here and its standard error on /dev/null.
Run run(const char* program, const std::vector<const char*>& args, std::size_t n,
        const char* work_us) {
    int out[2];
    if (pipe(out) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    const std::string count = std::to_string(n);
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        close(null);
        close(out[0]);
        close(out[1]);
        setenv("TRIVIAL_TESTS", count.c_str(), 1);
        if (work_us != nullptr) {
            setenv("TRIVIAL_WORK_US", work_us, 1);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program));
        for (const char* a : args) {
            argv.push_back(const_cast<char*>(a));
        }
        argv.push_back(nullptr);
        execv(program, argv.data());
        _exit(127);
    }
    close(out[1]);
    char buf[1 << 16];
    while (read(out[0], buf, sizeof buf) > 0) {
    }
    close(out[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const auto end = Clock::now();
    Run r;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    r.wall_ms = std::chrono::duration<double, std::milli>(end - start).count();
    r.peak_kb = usage.ru_maxrss;
    return r;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    int pairs = 7;
    const char* work_us = nullptr;
    const char* only = nullptr;
    std::vector<std::size_t> counts;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pairs") == 0 && i + 1 < argc) {
            pairs = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--work") == 0 && i + 1 < argc) {
            work_us = argv[++i];
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else {
            counts.push_back(std::strtoull(argv[i], nullptr, 10));
        }
    }
    if (counts.empty()) {
        counts = {10'000, 100'000};
    }
    const std::vector<Config> configs = {
        {"default threads", {}, nullptr},
        {"threads 1", {"--test-threads", "1"}, nullptr},
        {"reuse, default threads", {"--reuse-threads"}, "default threads"},
        {"reuse, threads 1", {"--reuse-threads", "--test-threads", "1"}, "threads 1"},
    };

    std::printf("GoogleTest: %s\nharness:    %s\n%s%s%s\n", TRIVIAL_GTEST, TRIVIAL_TESTS,
                work_us != nullptr ? "each test spins for " : "", work_us != nullptr ? work_us : "",
                work_us != nullptr ? " us" : "");
    std::printf("%-24s %7s %10s %10s %7s %13s %9s %9s %8s\n", "harness run", "tests", "harness ms",
                "gtest ms", "ratio", "(min..max)", "peak MiB", "gtest MiB", "vs own");
    for (const std::size_t n : counts) {
        std::vector<double> medians(configs.size(), 0);
        for (std::size_t c = 0; c < configs.size(); ++c) {
            const Config& config = configs[c];
            if (only != nullptr && std::strstr(config.label, only) == nullptr) {
                continue;
            }
            std::vector<double> ratios;
            std::vector<double> walls;
            std::vector<double> gtest_walls;
            long peak = 0;
            long gtest_peak = 0;
            bool refused = false;
            for (int p = 0; p < pairs && !refused; ++p) {
                Run harness;
                Run gtest;
                if (p % 2 == 0) {
                    gtest = run(TRIVIAL_GTEST, {}, n, work_us);
                    harness = run(TRIVIAL_TESTS, config.args, n, work_us);
                } else {
                    harness = run(TRIVIAL_TESTS, config.args, n, work_us);
                    gtest = run(TRIVIAL_GTEST, {}, n, work_us);
                }
                if (!gtest.ok) {
                    std::fprintf(stderr, "GoogleTest with %zu tests failed\n", n);
                    return 1;
                }
                if (!harness.ok) {
                    refused = true;
                    break;
                }
                ratios.push_back(harness.wall_ms / gtest.wall_ms);
                walls.push_back(harness.wall_ms);
                gtest_walls.push_back(gtest.wall_ms);
                peak = std::max(peak, harness.peak_kb);
                gtest_peak = std::max(gtest_peak, gtest.peak_kb);
            }
            if (refused) {
                std::printf("%-24s %7zu   (the harness refused or failed this run)\n", config.label,
                            n);
                continue;
            }
            medians[c] = median(walls);
            char own[16] = "-";
            for (std::size_t k = 0; k < c; ++k) {
                if (config.counterpart != nullptr &&
                    std::strcmp(configs[k].label, config.counterpart) == 0 && medians[k] > 0) {
                    std::snprintf(own, sizeof own, "%.2fx", medians[c] / medians[k]);
                }
            }
            char range[32];
            std::snprintf(range, sizeof range, "(%.2f..%.2f)",
                          *std::min_element(ratios.begin(), ratios.end()),
                          *std::max_element(ratios.begin(), ratios.end()));
            std::printf("%-24s %7zu %10.1f %10.1f %6.2fx %13s %9.1f %9.1f %8s\n", config.label, n,
                        medians[c], median(gtest_walls), median(ratios), range,
                        static_cast<double>(peak) / 1024.0,
                        static_cast<double>(gtest_peak) / 1024.0, own);
            std::fflush(stdout);
        }
    }
    return 0;
}
