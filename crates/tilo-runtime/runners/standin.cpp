// Stand-in for the three card runners (tilo-hardware-e2e, tilo-randomized-e2e,
// tilo-host-e2e), built once per name from this one source; TILO_STANDIN_NAME
// says which. It touches no card: it checks the scenario variables its real
// counterpart reads, optionally misbehaves on request, and records the call.
//
//   malformed or missing scenario value -> one line on stderr, exit status 2
//   otherwise                           -> no output, exit status 0
//
// Fault injection, read from the inherited environment:
//   TILO_STANDIN_SLEEP_MS=N   sleep N milliseconds first
//   TILO_STANDIN_EXIT=N       then exit with status N (with one line on stderr)
//   TILO_STANDIN_SIGNAL=N     then end by signal N (a signal that terminates)
//   TILO_STANDIN_IGNORE_TERM=1  ignore SIGTERM
//   TILO_STANDIN_CHILD=1      start a grandchild first that sleeps as long, in
//                             the same process group, and write
//                             "grandchild <pid>" as one line on stderr
//   TILO_STANDIN_MATCH=TEXT   the five above apply only when TEXT occurs in
//                             the runner's name or in a scenario value received
//   TILO_STANDIN_FAIL_TIMES=K only the first K matching calls misbehave (with
//                             status 1 when neither EXIT nor SIGNAL says how);
//                             later ones pass. The calls are counted across
//                             processes in the file TILO_STANDIN_STATE=PATH
//                             (a decimal count, created when absent)
//   TILO_STANDIN_LOG=PATH     append one line per call, in one O_APPEND write:
//                             name TAB start-ns TAB end-ns {TAB NAME=VALUE}
//                             (CLOCK_MONOTONIC; scenario variables sorted by name)

#include <fcntl.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#ifndef TILO_STANDIN_NAME
#error "TILO_STANDIN_NAME must name the runner this build stands in for"
#endif

extern char** environ;

namespace {

constexpr std::string_view NAME = TILO_STANDIN_NAME;
constexpr std::string_view HOST_PREFIX = "TILO_HOST_TEST_";
constexpr std::uint64_t TILE_COUNT = 1472;

std::uint64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

/// Parses a non-empty run of decimal digits that fits in 64 bits.
std::optional<std::uint64_t> parse_decimal(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

bool is_tile(std::string_view text) {
    const auto tile = parse_decimal(text);
    return tile && *tile < TILE_COUNT;
}

bool is_tile_list(std::string_view text) {
    while (true) {
        const auto comma = text.find(',');
        if (!is_tile(text.substr(0, comma))) {
            return false;
        }
        if (comma == std::string_view::npos) {
            return true;
        }
        text.remove_prefix(comma + 1);
    }
}

/// "0x" followed by 1 to 16 hexadecimal digits.
bool is_hex_address(std::string_view text) {
    if (text.size() < 3 || text.size() > 18 || text.substr(0, 2) != "0x") {
        return false;
    }
    return std::all_of(text.begin() + 2, text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

bool is_graph_name(std::string_view text) {
    for (std::string_view graph :
         {"fanout", "reduction", "permutation", "reduction-permutation", "multicast"}) {
        if (text == graph) {
            return true;
        }
    }
    return false;
}

/// Checks one host-test variable; returns what a well-formed value looks like, or
/// nothing when `value` is well formed. Unknown names are refused so that a
/// misspelt variable cannot pass unnoticed.
std::optional<std::string_view> check_host_variable(std::string_view name, std::string_view value) {
    if (name == "TILO_HOST_TEST_TILE") {
        return is_tile(value) ? std::nullopt : std::optional("a tile number 0 to 1471");
    }
    if (name == "TILO_HOST_TEST_TILES") {
        return is_tile_list(value) ? std::nullopt
                                   : std::optional("tile numbers 0 to 1471 separated by ','");
    }
    if (name == "TILO_HOST_TEST_BYTES") {
        return parse_decimal(value) ? std::nullopt : std::optional("a decimal byte count");
    }
    if (name == "TILO_HOST_TEST_ADDRESS") {
        return is_hex_address(value) ? std::nullopt : std::optional("a 0x hexadecimal address");
    }
    if (name == "TILO_HOST_TEST_D2H_ONLY" || name == "TILO_HOST_TEST_REMOTE_D2H" ||
        name == "TILO_HOST_TEST_COMPUTE_RELAY" || name == "TILO_HOST_TEST_EXCHANGE" ||
        name == "TILO_HOST_TEST_INITIALIZED_EXCHANGE") {
        return value == "1" ? std::nullopt : std::optional("the switch value 1");
    }
    return "no such host scenario variable";
}

using Variables = std::vector<std::pair<std::string, std::string>>;

/// Every scenario variable in the environment (whatever the runner), sorted by name.
Variables scenario_variables() {
    Variables found;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view pair(*entry);
        const auto eq = pair.find('=');
        if (eq == std::string_view::npos) {
            continue;
        }
        const std::string_view name = pair.substr(0, eq);
        if (name == "TILO_GRAPH_TEST" || name == "TILO_RANDOM_SEED" ||
            name.substr(0, HOST_PREFIX.size()) == HOST_PREFIX) {
            found.emplace_back(name, pair.substr(eq + 1));
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

const std::string* find(const Variables& vars, std::string_view name) {
    for (const auto& [n, v] : vars) {
        if (n == name) {
            return &v;
        }
    }
    return nullptr;
}

/// The first problem with the variables this runner reads, as one line of text.
std::optional<std::string> validate(const Variables& vars) {
    auto problem = [](std::string_view name, const std::string* value, std::string_view want) {
        std::string line(NAME);
        line += ": ";
        line += name;
        if (value == nullptr) {
            line += " is not set";
        } else {
            line += " = \"";
            line += *value;
            line += "\" is not ";
            line += want;
        }
        return line;
    };
    if (NAME == "tilo-hardware-e2e") {
        const std::string* graph = find(vars, "TILO_GRAPH_TEST");
        if (graph == nullptr || !is_graph_name(*graph)) {
            return problem("TILO_GRAPH_TEST", graph, "a known graph name");
        }
    } else if (NAME == "tilo-randomized-e2e") {
        const std::string* seed = find(vars, "TILO_RANDOM_SEED");
        if (seed == nullptr || !parse_decimal(*seed)) {
            return problem("TILO_RANDOM_SEED", seed, "a decimal 64-bit seed");
        }
    } else {
        for (const auto& [name, value] : vars) {
            if (std::string_view(name).substr(0, HOST_PREFIX.size()) != HOST_PREFIX) {
                continue;
            }
            if (const auto want = check_host_variable(name, value)) {
                return problem(name, &value, *want);
            }
        }
    }
    return std::nullopt;
}

/// Reads a fault-injection number; absent gives nothing, malformed gives a problem line.
std::optional<std::uint64_t> fault_number(const char* name, std::uint64_t max,
                                          std::optional<std::string>& problem) {
    const char* raw = std::getenv(name);
    if (raw == nullptr) {
        return std::nullopt;
    }
    const auto value = parse_decimal(raw);
    if (!value || *value > max) {
        problem = std::string(NAME) + ": " + name + " = \"" + raw + "\" is not a number 0 to " +
                  std::to_string(max);
        return std::nullopt;
    }
    return value;
}

/// True for signals whose default action ends the process (so raising one
/// cannot leave the runner stopped or running while its parent waits).
bool terminates(int signal) {
    switch (signal) {
        case SIGCHLD:
        case SIGCONT:
        case SIGSTOP:
        case SIGTSTP:
        case SIGTTIN:
        case SIGTTOU:
        case SIGURG:
        case SIGWINCH:
            return false;
        default:
            return signal >= 1 && signal <= SIGRTMAX;
    }
}

/// Appends `text` to a log line, escaping what would break the line's layout.
void append_escaped(std::string& line, std::string_view text) {
    for (char c : text) {
        switch (c) {
            case '\\':
                line += "\\\\";
                break;
            case '\t':
                line += "\\t";
                break;
            case '\n':
                line += "\\n";
                break;
            case '\r':
                line += "\\r";
                break;
            default:
                line += c;
        }
    }
}

/// Appends the call record to `path` in a single write; false when that fails.
bool write_log(const char* path, std::uint64_t start, const Variables& vars) {
    std::string line(NAME);
    line += '\t';
    line += std::to_string(start);
    line += '\t';
    line += std::to_string(monotonic_ns());
    for (const auto& [name, value] : vars) {
        line += '\t';
        line += name;
        line += '=';
        append_escaped(line, value);
    }
    line += '\n';
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const ssize_t written = write(fd, line.data(), line.size());
    const bool ok = written == static_cast<ssize_t>(line.size());
    return close(fd) == 0 && ok;
}

/// Counts this call in the state file: returns how many matching calls came
/// before it, or nothing (with `problem` set) when the file cannot be used.
/// The file stays locked while it is read and rewritten, so concurrent calls
/// each get a count of their own.
std::optional<std::uint64_t> count_call(const char* path, std::optional<std::string>& problem) {
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) {
        problem = std::string(NAME) + ": cannot use TILO_STANDIN_STATE " + path + ": " +
                  std::strerror(errno);
        if (fd >= 0) {
            close(fd);
        }
        return std::nullopt;
    }
    char text[32] = {};
    const ssize_t got = pread(fd, text, sizeof text - 1, 0);
    std::string_view read(text, got > 0 ? static_cast<std::size_t>(got) : 0);
    while (!read.empty() && (read.back() == '\n' || read.back() == ' ')) {
        read.remove_suffix(1);
    }
    const std::optional<std::uint64_t> before = read.empty() ? 0 : parse_decimal(read);
    if (!before) {
        problem = std::string(NAME) + ": TILO_STANDIN_STATE " + path + " does not hold a count";
        close(fd);
        return std::nullopt;
    }
    const std::string next = std::to_string(*before + 1) + "\n";
    const bool stored = ftruncate(fd, 0) == 0 && pwrite(fd, next.data(), next.size(), 0) ==
                                                     static_cast<ssize_t>(next.size());
    if (!stored) {
        problem = std::string(NAME) + ": cannot update TILO_STANDIN_STATE " + path + ": " +
                  std::strerror(errno);
    }
    close(fd);  // releases the lock
    return stored ? before : std::nullopt;
}

void say(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
}

void sleep_for_ms(std::uint64_t ms) {
    timespec wait{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

}  // namespace

int main() {
    const std::uint64_t start = monotonic_ns();
    const Variables vars = scenario_variables();

    std::optional<std::string> problem = validate(vars);
    std::optional<std::string> fault_problem;
    const auto sleep_ms = fault_number("TILO_STANDIN_SLEEP_MS", 3600000, fault_problem);
    const auto exit_code = fault_number("TILO_STANDIN_EXIT", 255, fault_problem);
    const auto signal = fault_number("TILO_STANDIN_SIGNAL", 64, fault_problem);
    const auto fail_times = fault_number("TILO_STANDIN_FAIL_TIMES", UINT64_MAX, fault_problem);
    const auto ignore_term = fault_number("TILO_STANDIN_IGNORE_TERM", 1, fault_problem);
    const auto grandchild = fault_number("TILO_STANDIN_CHILD", 1, fault_problem);
    if (signal && !terminates(static_cast<int>(*signal))) {
        fault_problem = std::string(NAME) + ": TILO_STANDIN_SIGNAL = " + std::to_string(*signal) +
                        " is not a signal that ends a process";
    }
    if (!problem) {
        problem = fault_problem;
    }

    bool matched = true;
    if (const char* match = std::getenv("TILO_STANDIN_MATCH")) {
        const std::string_view text(match);
        matched = NAME.find(text) != std::string_view::npos ||
                  std::any_of(vars.begin(), vars.end(), [&](const auto& var) {
                      return var.second.find(text) != std::string::npos;
                  });
    }

    const std::uint64_t pause = matched && sleep_ms ? *sleep_ms : 0;
    if (matched && ignore_term == 1u) {
        ::signal(SIGTERM, SIG_IGN);
    }
    pid_t child = -1;
    if (matched && grandchild == 1u) {
        child = fork();
        if (child == 0) {
            sleep_for_ms(pause);
            _exit(0);
        }
        if (child < 0) {
            say(std::string(NAME) + ": cannot start the grandchild: " + std::strerror(errno));
            return 2;
        }
        say("grandchild " + std::to_string(child));
    }
    if (pause > 0) {
        sleep_for_ms(pause);
    }
    if (child > 0) {
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }

    if (const char* log = std::getenv("TILO_STANDIN_LOG")) {
        if (!write_log(log, start, vars)) {
            say(std::string(NAME) + ": cannot append to TILO_STANDIN_LOG " + log + ": " +
                std::strerror(errno));
            return 2;
        }
    }

    if (problem) {
        say(*problem);
        return 2;
    }
    if (matched && fail_times) {
        const char* state = std::getenv("TILO_STANDIN_STATE");
        std::optional<std::string> state_problem;
        std::optional<std::uint64_t> before;
        if (state == nullptr) {
            state_problem =
                std::string(NAME) + ": TILO_STANDIN_FAIL_TIMES needs TILO_STANDIN_STATE";
        } else {
            before = count_call(state, state_problem);
        }
        if (state_problem) {
            say(*state_problem);
            return 2;
        }
        if (*before >= *fail_times) {
            return 0;
        }
        if (!exit_code && !signal) {
            say(std::string(NAME) + ": failing call " + std::to_string(*before + 1) + " of " +
                std::to_string(*fail_times) + " as TILO_STANDIN_FAIL_TIMES asks");
            return 1;
        }
    }
    if (matched && exit_code) {
        say(std::string(NAME) + ": exiting with status " + std::to_string(*exit_code) +
            " as TILO_STANDIN_EXIT asks");
        return static_cast<int>(*exit_code);
    }
    if (matched && signal) {
        const int number = static_cast<int>(*signal);
        ::signal(number, SIG_DFL);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, number);
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
        raise(number);
        say(std::string(NAME) + ": signal " + std::to_string(number) + " did not end the runner");
        return 2;
    }
    return 0;
}
