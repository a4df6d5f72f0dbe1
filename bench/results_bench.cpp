// Cost of the results database: ingesting one large run record, and answering
// each question over a database of many runs. Records are generated: mostly
// passing tests, a few failures with messages and output, a few tests that
// pass on a retry, runs labelled by card.
//
// Usage: results_bench [--repeat K] [--ingest-tests N] [--runs R] [--tests T] [--keep 1]
//        (default: K = 3, N = 100000, 100 runs of 10000 tests; --keep 1 leaves
//        the scratch folder with its databases for a closer look)
// Prints the best wall time and CPU time of each step over K rounds.

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "database.hpp"
#include "queries.hpp"
#include "record.hpp"
#include "table.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace zuno::results;

// A small deterministic generator, so that every run of the benchmark stores the same data.
std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    return x ^ (x >> 33);
}

// The JSON text of run `run` with `tests` tests.
std::string make_record(std::size_t run, std::size_t tests) {
    char id[40];
    std::snprintf(id, sizeof id, "%016llx%016llx", static_cast<unsigned long long>(mix(run + 1)),
                  static_cast<unsigned long long>(run));
    char started[80];
    std::snprintf(started, sizeof started, "2026-01-%02zuT%02zu:%02zu:00.000Z", 1 + run / 96,
                  run / 4 % 24, run % 4 * 15);
    const std::string card = "vela-0" + std::to_string(run % 4);
    std::string out =
        std::string("{\"format\": \"zuno-run-record\", \"version\": 1, \"run_id\": \"") + id +
        "\", \"program\": \"hardware_e2e\", \"args\": [\"--retries\", \"1\"]," +
        " \"host\": \"host-" + std::to_string(run % 4) + "\", \"labels\": {\"card\": \"" + card +
        "\", \"pool\": \"lab2\"}, \"started\": \"" + started + "\",\n\"tests\": [";
    std::size_t passed = 0;
    std::size_t failed = 0;
    std::size_t flaky = 0;
    for (std::size_t t = 0; t < tests; ++t) {
        const std::uint64_t r = mix(run * 1'000'003 + t);
        const bool fails = r % 1000 == 0 || (run % 4 == 3 && t % 2500 == 7);
        const bool retried = !fails && r % 1000 == 1;
        char entry[256];
        std::snprintf(entry, sizeof entry,
                      "%s\n{\"name\": \"suite::module_%03zu::test_%06zu\", \"kind\": \"test\", "
                      "\"outcome\": \"%s\", \"duration_s\": %.6f",
                      t > 0 ? "," : "", t % 100, t, fails ? "failed" : "ok",
                      double(r % 10'000) / 1e6 + double(t % 50) / 1e4);
        out += entry;
        if (fails) {
            out +=
                ", \"message\": \"assertion failed: read == written\", \"output\": "
                "\"thread 'x' panicked at tests.cpp:10:5:\\nassertion failed\\n\"";
            ++failed;
        } else {
            ++passed;
        }
        if (retried) {
            out +=
                ", \"attempts\": [{\"outcome\": \"failed\", \"duration_s\": 0.01, "
                "\"message\": \"runner exited with 1\"}, {\"outcome\": \"ok\", "
                "\"duration_s\": 0.01}]";
            ++flaky;
        }
        out += "}";
    }
    out +=
        "\n],\n\"wall_s\": 12.5, \"shard\": null, \"seed\": null, \"threads\": 2, "
        "\"isolate\": false, \"exit_status\": " +
        std::string(failed > 0 ? "101" : "0") +
        ", \"summary\": {\"passed\": " + std::to_string(passed) +
        ", \"failed\": " + std::to_string(failed) +
        ", \"ignored\": 0, \"measured\": 0, \"filtered_out\": 0, \"flaky\": " +
        std::to_string(flaky) + "}}\n";
    return out;
}

void write_file(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size() ||
        std::fclose(f) != 0) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

void fail(const std::string& what) {
    std::fprintf(stderr, "results_bench: %s\n", what.c_str());
    std::exit(1);
}

// Opens (creating) a database, ingests the files, closes it.
void ingest_files(const std::string& db_path, const std::vector<std::string>& files) {
    auto db = Database::open(db_path, Access::Write);
    if (!db) {
        fail(db.error());
    }
    for (const std::string& file : files) {
        auto record = read_record(file);
        if (!record) {
            fail(file + ": " + record.error());
        }
        auto stored = db->ingest(*record, file);
        if (!stored) {
            fail(file + ": " + stored.error());
        }
    }
}

void remove_database(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
        ::unlink((path + suffix).c_str());
    }
}

// CPU time (user and system) of this process so far, in seconds.
double cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto s = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return s(usage.ru_utime) + s(usage.ru_stime);
}

// The best wall time and the best CPU time of `step` over `repeat` rounds, in seconds.
struct Timing {
    double wall = 1e300;
    double cpu = 1e300;
};

Timing best_of(int repeat, const std::function<void()>& step) {
    Timing best;
    for (int i = 0; i < repeat; ++i) {
        const auto start = Clock::now();
        const double cpu = cpu_seconds();
        step();
        best.cpu = std::min(best.cpu, cpu_seconds() - cpu);
        best.wall =
            std::min(best.wall, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

// Runs a query and renders its table, as the command line does.
std::size_t answer(const Expected<Table>& table) {
    if (!table) {
        fail(table.error());
    }
    return render_text(*table).size();
}

}  // namespace

int main(int argc, char** argv) {
    int repeat = 3;
    std::size_t ingest_tests = 100'000;
    std::size_t runs = 100;
    std::size_t tests = 10'000;
    bool keep = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::size_t value = std::strtoull(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--repeat") == 0) {
            repeat = std::max(1, int(value));
        } else if (std::strcmp(argv[i], "--ingest-tests") == 0) {
            ingest_tests = value;
        } else if (std::strcmp(argv[i], "--runs") == 0) {
            runs = value;
        } else if (std::strcmp(argv[i], "--tests") == 0) {
            tests = value;
        } else if (std::strcmp(argv[i], "--keep") == 0) {
            keep = value != 0;
        } else {
            fail(std::string("unknown option ") + argv[i]);
        }
    }
    char dir_template[] = "/tmp/results_bench.XXXXXX";
    const char* dir = ::mkdtemp(dir_template);
    if (dir == nullptr) {
        fail("cannot create a scratch folder");
    }
    const std::string scratch = dir;

    // One large record, ingested into a fresh database each round.
    const std::string big = scratch + "/big.json";
    const std::string text = make_record(1000, ingest_tests);
    write_file(big, text);
    const std::string ingest_db = scratch + "/ingest.db";
    std::printf("%-34s %10s %10s\n", "step", "wall s", "cpu s");
    const Timing ingest = best_of(repeat, [&] {
        remove_database(ingest_db);
        ingest_files(ingest_db, {big});
    });
    std::printf("%-34s %10.3f %10.3f   (%zu tests, %.1f MiB record)\n", "ingest", ingest.wall,
                ingest.cpu, ingest_tests, double(text.size()) / (1 << 20));

    // A database of many runs.
    std::vector<std::string> files;
    for (std::size_t r = 0; r < runs; ++r) {
        files.push_back(scratch + "/run" + std::to_string(r) + ".json");
        write_file(files.back(), make_record(r, tests));
    }
    const std::string db_path = scratch + "/runs.db";
    const Timing fill = best_of(1, [&] { ingest_files(db_path, files); });
    std::printf("%-34s %10.3f %10.3f   (%zu runs of %zu tests)\n", "fill", fill.wall, fill.cpu,
                runs, tests);

    auto db = Database::open(db_path, Access::Read);
    if (!db) {
        fail(db.error());
    }
    const RunFilter all;
    RunFilter card3;
    card3.labels = {{"card", "vela-03"}};
    const std::string some_test = "suite::module_007::test_002507";
    struct Query {
        const char* name;
        std::function<std::size_t()> run;
    };
    const std::vector<Query> queries = {
        {"runs", [&] { return answer(query_runs(*db, all, std::nullopt)); }},
        {"show last",
         [&] {
             auto run = resolve_run(*db, "last", all);
             if (!run) {
                 fail(run.error());
             }
             return answer(query_show(*db, *run));
         }},
        {"failed --label card=vela-03",
         [&] {
             auto selected = select_runs(*db, card3);
             if (!selected) {
                 fail(selected.error());
             }
             auto names = query_failed(*db, *selected);
             if (!names) {
                 fail(names.error());
             }
             return names->size();
         }},
        {"flaky (last 30)", [&] { return answer(query_flaky(*db, all, 30)); }},
        {"flaky --last 100", [&] { return answer(query_flaky(*db, all, 100)); }},
        {"slow (last 30, top 20)", [&] { return answer(query_slow(*db, all, 30, 20)); }},
        {"slow --last 100", [&] { return answer(query_slow(*db, all, 100, 20)); }},
        {"history TEST (last 30)", [&] { return answer(query_history(*db, all, some_test, 30)); }},
        {"history TEST --last 100",
         [&] { return answer(query_history(*db, all, some_test, 100)); }},
        {"by-label card", [&] { return answer(query_by_label(*db, all, "card")); }},
    };
    for (const Query& q : queries) {
        std::size_t size = 0;
        const Timing t = best_of(repeat, [&] { size = q.run(); });
        std::printf("%-34s %10.3f %10.3f   (%zu bytes of answer)\n", q.name, t.wall, t.cpu, size);
    }
    if (keep) {
        std::printf("kept %s\n", dir);
        return 0;
    }
    for (const std::string& f : files) {
        ::unlink(f.c_str());
    }
    ::unlink(big.c_str());
    remove_database(ingest_db);
    remove_database(db_path);
    ::rmdir(dir);
    return 0;
}
