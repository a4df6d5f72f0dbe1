// Stand-in for a test executable started by the spawned-process strategy. It
// behaves according to the test name in __ZUNO_TEST_INVOKE:
//   ok_out     prints "out" (no newline) to stdout, "err\n" to stderr, exits 0
//   ok_line    prints "line\n" to stdout, exits 0
//   exit3      exits with code 3
//   abort      aborts (signal 6)
//   sig9       kills itself with signal 9
//   bench_env  exits 0 when __ZUNO_TEST_BENCH_BENCHMARKS is "1", else 5
//   hang       prints "waiting\n" to stdout, then waits for a signal
// Anything else exits with code 99.

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

void put(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n <= 0) {
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

int main() {
    const char* invoke = std::getenv("__ZUNO_TEST_INVOKE");
    const std::string_view name = invoke != nullptr ? invoke : "";
    if (name == "ok_out") {
        put(1, "out");
        put(2, "err\n");
        return 0;
    }
    if (name == "ok_line") {
        put(1, "line\n");
        return 0;
    }
    if (name == "exit3") {
        return 3;
    }
    if (name == "abort") {
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        signal(SIGABRT, SIG_DFL);
        std::abort();
    }
    if (name == "sig9") {
        kill(getpid(), SIGKILL);
        pause();
    }
    if (name == "hang") {
        put(1, "waiting\n");
        for (;;) {
            pause();
        }
    }
    if (name == "bench_env") {
        const char* bench = std::getenv("__ZUNO_TEST_BENCH_BENCHMARKS");
        return bench != nullptr && std::strcmp(bench, "1") == 0 ? 0 : 5;
    }
    return 99;
}
