// Cost of a whole harness run per test, as a user's test program pays it:
// N trivial tests through the entry, the console driver and a formatter, with
// standard output going to a pipe the benchmark drains. Each configuration runs
// in a child process of its own, so that its peak resident memory and its
// write calls are its own. Beside them runs the floor: a bare program that
// starts and joins one thread per test and writes one result line per test.
//
// Usage: console_bench [--repeat R] [--null] [N...]
//        (default: R = 3, N = 10000 100000; --null: standard output goes to
//        /dev/null instead of a pipe, which leaves out the reader's wake-ups)
// The runs with --reuse-threads ("-reuse") hand their tests to reused worker
// threads; they are compared with the same floor.
// Runs every configuration R times, round by round, and prints per configuration
// the best wall time and CPU time (user and system) per test, the peak resident
// set and the write calls per test, each with its ratio to the floor (for the
// "record" row, which adds --run-record, to the terse row beside it).

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "start.hpp"
#include "text.hpp"
#include "entry.hpp"
#include "types.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// The child's role and test count travel in this variable; its arguments are
// the harness's own command line.
constexpr const char* CHILD_VAR = "CONSOLE_BENCH_CHILD";
// The child reports its figures on this descriptor.
constexpr int REPORT_FD = 3;
constexpr std::size_t STACK_SIZE = 2 * 1024 * 1024;

// ---- child side -------------------------------------------------------------

std::vector<std::string> NAMES;
std::vector<test::TestDescAndFn> TESTS;

test::BodyResult trivial() {
    return test::BodyResult::ok();
}

void make_names(std::size_t n) {
    NAMES.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        NAMES.push_back("bench::trivial_" + std::to_string(i));
    }
}

// The list a test program hands to the entry (moved in): static names, static bodies.
void make_tests() {
    TESTS.reserve(NAMES.size());
    for (const std::string& name : NAMES) {
        test::TestDesc desc;
        desc.name = test::TestName::static_name(name);
        desc.test_type = test::TestType::Unit;
        TESTS.push_back(test::TestDescAndFn{desc, test::TestFn(test::StaticTestBody{trivial})});
    }
}

// A field of a /proc file of this process ("syscw: 12", "VmHWM:  1234 kB").
long long proc_field(const char* path, std::string_view key) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with(key)) {
            return std::atoll(line.c_str() + key.size());
        }
    }
    return -1;
}

// Writes "<write calls> <peak kB>" to the report descriptor; the write calls
// counted are those made before this report.
void report() {
    const long long writes = proc_field("/proc/self/io", "syscw:");
    const long long peak_kb = proc_field("/proc/self/status", "VmHWM:");
    dprintf(REPORT_FD, "%lld %lld\n", writes, peak_kb);
}

void write_all(int fd, const char* data, std::size_t len) {
    while (len > 0) {
        const ssize_t n = ::write(fd, data, len);
        if (n <= 0) {
            std::perror("write");
            std::exit(1);
        }
        data += n;
        len -= static_cast<std::size_t>(n);
    }
}

void* bare_thread(void*) {
    return nullptr;
}

// The floor of a run: a thread per test, at most `threads` at a time, joined
// in start order; one write per result line.
void floor_run(std::size_t threads) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, STACK_SIZE);
    std::vector<pthread_t> ring(threads);
    std::size_t started = 0;
    std::size_t joined = 0;
    std::string line;
    while (joined < NAMES.size()) {
        while (started < NAMES.size() && started - joined < threads) {
            if (pthread_create(&ring[started % threads], &attr, bare_thread, nullptr) != 0) {
                std::perror("pthread_create");
                std::exit(1);
            }
            ++started;
        }
        pthread_join(ring[joined % threads], nullptr);
        line = "test " + NAMES[joined] + " ... ok\n";
        write_all(1, line.data(), line.size());
        ++joined;
    }
    pthread_attr_destroy(&attr);
}

// The floor of a listing: the lines written in 64 KiB blocks.
void floor_list() {
    std::string block;
    for (const std::string& name : NAMES) {
        block += name;
        block += ": test\n";
        if (block.size() >= 64 * 1024) {
            write_all(1, block.data(), block.size());
            block.clear();
        }
    }
    block += "\n" + std::to_string(NAMES.size()) + " tests, 0 benchmarks\n";
    write_all(1, block.data(), block.size());
}

int child_main(int argc, char** argv, std::string_view role) {
    const std::size_t colon = role.find(':');
    const std::string kind(role.substr(0, colon));
    make_names(std::strtoull(role.substr(colon + 1).data(), nullptr, 10));
    if (kind == "floor") {
        floor_run(argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1);
    } else if (kind == "floor-list") {
        floor_list();
    } else {
        make_tests();
        const int status = rt::lang_start(
            argc, argv, [] { test::test_main(rt::args(), std::move(TESTS), std::nullopt); });
        if (status != 0) {
            return status;
        }
    }
    report();
    return 0;
}

// ---- parent side ------------------------------------------------------------

struct Config {
    const char* label;
    std::size_t threads;  // 0: not a run
    const char* kind;     // the child's role
    std::vector<const char*> args;
    const char* floor;  // the floor row this one is compared with
};

struct Sample {
    double wall_ns = 0;
    double cpu_ns = 0;  // user and system time of the child
    long long writes = 0;
    long long peak_kb = 0;
    bool ok = false;
};

// Where the "record" configuration writes its run record.
constexpr const char* RECORD_PATH = "/tmp/console_bench.run-record.json";

// Standard output of the children goes to /dev/null rather than a pipe.
bool TO_NULL = false;

// Runs one child with stdout on a pipe this process drains (or on /dev/null).
Sample run_child(const Config& config, std::size_t n) {
    int out[2];
    int rep[2];
    if (pipe(out) != 0 || pipe(rep) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    const std::string role = std::string(config.kind) + ":" + std::to_string(n);
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (TO_NULL) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            close(null);
        } else {
            dup2(out[1], 1);
        }
        dup2(rep[1], REPORT_FD);
        for (int fd : {out[0], out[1], rep[0], rep[1]}) {
            if (fd != 1 && fd != REPORT_FD) {
                close(fd);
            }
        }
        setenv(CHILD_VAR, role.c_str(), 1);
        setenv("ZUNOC_BOOTSTRAP", "1", 1);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>("console_bench"));
        for (const char* a : config.args) {
            argv.push_back(const_cast<char*>(a));
        }
        argv.push_back(nullptr);
        execv("/proc/self/exe", argv.data());
        _exit(127);
    }
    close(out[1]);
    close(rep[1]);
    char buf[1 << 16];
    while (read(out[0], buf, sizeof buf) > 0) {
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const auto end = Clock::now();
    close(out[0]);

    Sample s;
    char text[128] = {};
    const ssize_t got = read(rep[0], text, sizeof text - 1);
    close(rep[0]);
    s.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && got > 0 &&
           std::sscanf(text, "%lld %lld", &s.writes, &s.peak_kb) == 2;
    s.wall_ns = std::chrono::duration<double, std::nano>(end - start).count();
    const auto ns = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_usec) * 1e3;
    };
    s.cpu_ns = ns(usage.ru_utime) + ns(usage.ru_stime);
    return s;
}

// Folds run `s` into `best`: least wall time and peak; the write count is exact.
void keep_best(Sample& best, const Sample& s) {
    if (!best.ok || s.wall_ns < best.wall_ns) {
        best.wall_ns = s.wall_ns;
    }
    if (!best.ok || s.cpu_ns < best.cpu_ns) {
        best.cpu_ns = s.cpu_ns;
    }
    best.peak_kb = best.ok ? std::min(best.peak_kb, s.peak_kb) : s.peak_kb;
    best.writes = s.writes;
    best.ok = true;
}

int parent_main(int argc, char** argv) {
    int repeat = 3;
    std::vector<std::size_t> counts;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--null") == 0) {
            TO_NULL = true;
        } else {
            counts.push_back(std::strtoull(argv[i], nullptr, 10));
        }
    }
    if (counts.empty()) {
        counts = {10'000, 100'000};
    }
    const std::vector<Config> configs = {
        {"floor", 1, "floor", {"1"}, "floor"},
        {"pretty", 1, "run", {"--test-threads", "1"}, "floor"},
        {"terse", 1, "run", {"--test-threads", "1", "--format", "terse"}, "floor"},
        {"pretty-reuse", 1, "run", {"--test-threads", "1", "--reuse-threads"}, "floor"},
        {"floor", 2, "floor", {"2"}, "floor"},
        {"pretty", 2, "run", {"--test-threads", "2"}, "floor"},
        {"terse", 2, "run", {"--test-threads", "2", "--format", "terse"}, "floor"},
        {"pretty-reuse", 2, "run", {"--test-threads", "2", "--reuse-threads"}, "floor"},
        {"terse-reuse",
         2,
         "run",
         {"--test-threads", "2", "--format", "terse", "--reuse-threads"},
         "floor"},
        {"json",
         2,
         "run",
         {"--test-threads", "2", "-Zunstable-options", "--format", "json"},
         "floor"},
        {"junit",
         2,
         "run",
         {"--test-threads", "2", "-Zunstable-options", "--format", "junit"},
         "floor"},
        // The run record beside the terse output: compared with the terse run.
        {"record",
         2,
         "run",
         {"--test-threads", "2", "--format", "terse", "--run-record", RECORD_PATH},
         "terse"},
        {"list-floor", 0, "floor-list", {}, "list-floor"},
        {"list", 0, "run", {"--list"}, "list-floor"},
    };

    std::printf("%-12s %7s %7s %10s %6s %10s %6s %9s %6s %8s %6s\n", "run", "tests", "threads",
                "ns/test", "ratio", "cpu ns", "ratio", "peak MiB", "ratio", "wr/test", "ratio");
    for (const std::size_t n : counts) {
        // Rounds over all configurations, so that a change in the machine's
        // load meanwhile touches every row alike.
        std::vector<Sample> best(configs.size());
        for (int round = 0; round < repeat; ++round) {
            for (std::size_t i = 0; i < configs.size(); ++i) {
                const Sample s = run_child(configs[i], n);
                if (!s.ok) {
                    std::fprintf(stderr, "%s with %zu tests failed\n", configs[i].label, n);
                    return 1;
                }
                keep_best(best[i], s);
            }
        }
        std::vector<Sample> floors(configs.size());
        for (std::size_t i = 0; i < configs.size(); ++i) {
            const Config& c = configs[i];
            const Sample s = best[i];
            // The floor a row compares with: the latest floor row of its kind
            // and thread count (a floor row compares with itself).
            const Sample* floor = &s;
            for (std::size_t j = 0; j < i; ++j) {
                if (std::strcmp(configs[j].label, c.floor) == 0 &&
                    configs[j].threads == c.threads) {
                    floor = &floors[j];
                }
            }
            floors[i] = s;
            const double dn = static_cast<double>(n);
            const double writes = static_cast<double>(s.writes) / dn;
            const double floor_writes = static_cast<double>(floor->writes) / dn;
            char threads[16];
            std::snprintf(threads, sizeof threads, c.threads == 0 ? "-" : "%zu", c.threads);
            std::printf("%-12s %7zu %7s %10.0f %5.2fx %10.0f %5.2fx %9.1f %5.2fx %8.2f %5.2fx\n",
                        c.label, n, threads, s.wall_ns / dn, s.wall_ns / floor->wall_ns,
                        s.cpu_ns / dn, s.cpu_ns / floor->cpu_ns,
                        static_cast<double>(s.peak_kb) / 1024.0,
                        static_cast<double>(s.peak_kb) / static_cast<double>(floor->peak_kb),
                        writes, floor_writes > 0 ? writes / floor_writes : 0.0);
            std::fflush(stdout);
        }
    }
    std::remove(RECORD_PATH);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* role = std::getenv(CHILD_VAR)) {
        return child_main(argc, argv, role);
    }
    return parent_main(argc, argv);
}
