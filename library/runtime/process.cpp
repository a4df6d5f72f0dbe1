#include "library/runtime/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace rt {

namespace {

constexpr const char* SIGNAL_NAMES[31] = {
    "SIGHUP",  "SIGINT",    "SIGQUIT", "SIGILL",   "SIGTRAP", "SIGABRT", "SIGBUS",  "SIGFPE",
    "SIGKILL", "SIGUSR1",   "SIGSEGV", "SIGUSR2",  "SIGPIPE", "SIGALRM", "SIGTERM", "SIGSTKFLT",
    "SIGCHLD", "SIGCONT",   "SIGSTOP", "SIGTSTP",  "SIGTTIN", "SIGTTOU", "SIGURG",  "SIGXCPU",
    "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGWINCH", "SIGIO",   "SIGPWR",  "SIGSYS",
};

// " (SIGNAME)" for a known signal, nothing otherwise.
std::string signal_suffix(int signal) {
    const char* name = signal_name(signal);
    return name != nullptr ? std::string(" (") + name + ")" : std::string();
}

// Closes a descriptor when it goes out of scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        reset();
        fd_ = std::exchange(other.fd_, -1);
        return *this;
    }
    ~Fd() { reset(); }
    [[nodiscard]] int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    int fd_ = -1;
};

// One end of a pipe for the parent, the other end for the child.
struct Pipe {
    Fd parent;
    Fd child;
};

IoResult<Pipe> make_pipe(bool child_reads) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return IoError::last_os_error();
    }
    Fd read_end(fds[0]);
    Fd write_end(fds[1]);
    if (child_reads) {
        return Pipe{std::move(write_end), std::move(read_end)};
    }
    return Pipe{std::move(read_end), std::move(write_end)};
}

bool has_nul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

// Reads both descriptors until each reaches end of file, without letting a
// full pipe on one side block the child while the other is read.
IoResult<void> drain(Fd& out, std::vector<std::uint8_t>& out_bytes, Fd& err,
                     std::vector<std::uint8_t>& err_bytes) {
    std::uint8_t buffer[16384];
    while (out.get() >= 0 || err.get() >= 0) {
        pollfd fds[2];
        nfds_t count = 0;
        Fd* owners[2];
        std::vector<std::uint8_t>* sinks[2];
        if (out.get() >= 0) {
            fds[count] = {out.get(), POLLIN, 0};
            owners[count] = &out;
            sinks[count++] = &out_bytes;
        }
        if (err.get() >= 0) {
            fds[count] = {err.get(), POLLIN, 0};
            owners[count] = &err;
            sinks[count++] = &err_bytes;
        }
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return IoError::last_os_error();
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN) {
                    continue;
                }
                return IoError::last_os_error();
            }
            if (n == 0) {
                owners[i]->reset();
            } else {
                sinks[i]->insert(sinks[i]->end(), buffer, buffer + n);
            }
        }
    }
    return {};
}

IoResult<ExitStatus> wait_for(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return IoError::last_os_error();
        }
    }
    return ExitStatus(status);
}

// Owns the posix_spawn attribute objects for one start.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

bool ExitStatus::success() const {
    return WIFEXITED(raw_) && WEXITSTATUS(raw_) == 0;
}

std::optional<int> ExitStatus::code() const {
    if (WIFEXITED(raw_)) {
        return WEXITSTATUS(raw_);
    }
    return std::nullopt;
}

std::optional<int> ExitStatus::signal() const {
    if (WIFSIGNALED(raw_)) {
        return WTERMSIG(raw_);
    }
    return std::nullopt;
}

bool ExitStatus::core_dumped() const {
    return WIFSIGNALED(raw_) && WCOREDUMP(raw_);
}

std::string ExitStatus::to_string() const {
    if (auto c = code()) {
        return "exit status: " + std::to_string(*c);
    }
    if (auto s = signal()) {
        std::string text = "signal: " + std::to_string(*s) + signal_suffix(*s);
        if (core_dumped()) {
            text += " (core dumped)";
        }
        return text;
    }
    if (WIFSTOPPED(raw_)) {
        const int s = WSTOPSIG(raw_);
        return "stopped (not terminated) by signal: " + std::to_string(s) + signal_suffix(s);
    }
    if (WIFCONTINUED(raw_)) {
        return "continued (WIFCONTINUED)";
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(raw_));
    return "unrecognised wait status: " + std::to_string(raw_) + " 0x" + hex;
}

const char* signal_name(int signal) {
    if (signal < 1 || signal > 31) {
        return nullptr;
    }
    return SIGNAL_NAMES[signal - 1];
}

Command& Command::arg(std::string value) {
    args_.push_back(std::move(value));
    return *this;
}

Command& Command::env(std::string name, std::string value) {
    env_.emplace_back(std::move(name), std::move(value));
    return *this;
}

Command& Command::stdin_(Stdio how) {
    stdin_how_ = how;
    return *this;
}

Command& Command::stdout_(Stdio how) {
    stdout_how_ = how;
    return *this;
}

Command& Command::stderr_(Stdio how) {
    stderr_how_ = how;
    return *this;
}

IoResult<ExitStatus> Command::status() {
    auto result = run(stdin_how_.value_or(Stdio::Inherit), stdout_how_.value_or(Stdio::Inherit),
                      stderr_how_.value_or(Stdio::Inherit));
    if (!result.ok()) {
        return result.error();
    }
    return result->status;
}

IoResult<Output> Command::output() {
    return run(stdin_how_.value_or(Stdio::Null), stdout_how_.value_or(Stdio::Piped),
               stderr_how_.value_or(Stdio::Piped));
}

IoResult<Output> Command::run(Stdio in, Stdio out, Stdio err) const {
    const IoError nul_error =
        IoError::custom(ErrorKind::InvalidInput, "nul byte found in provided data");
    if (has_nul(program_)) {
        return nul_error;
    }
    // argv: the program path first, then the arguments.
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program_.c_str()));
    for (const auto& a : args_) {
        if (has_nul(a)) {
            return nul_error;
        }
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);

    // envp: the inherited environment, with every name given to env() replaced
    // by the last value given for it.
    std::vector<std::string> added;
    for (std::size_t i = 0; i < env_.size(); ++i) {
        const auto& [name, value] = env_[i];
        if (name.empty() || name.find('=') != std::string::npos || has_nul(name) ||
            has_nul(value)) {
            return IoError::custom(ErrorKind::InvalidInput,
                                   "invalid environment variable name or value: " + name);
        }
        bool later = false;
        for (std::size_t j = i + 1; j < env_.size() && !later; ++j) {
            later = env_[j].first == name;
        }
        if (!later) {
            added.push_back(name + "=" + value);
        }
    }
    std::vector<char*> envp;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        std::string_view entry(*e);
        const std::string_view name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& [n, v] : env_) {
            if (n == name) {
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            envp.push_back(*e);
        }
    }
    for (auto& a : added) {
        envp.push_back(a.data());
    }
    envp.push_back(nullptr);

    SpawnSetup setup;
    // Default dispositions and an empty mask, whatever this process uses.
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&setup.attr, &all);
    posix_spawnattr_setsigmask(&setup.attr, &none);
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    Pipe pipes[3];
    const Stdio hows[3] = {in, out, err};
    for (int fd = 0; fd < 3; ++fd) {
        switch (hows[fd]) {
            case Stdio::Inherit:
                break;
            case Stdio::Null:
                posix_spawn_file_actions_addopen(&setup.actions, fd, "/dev/null",
                                                 fd == 0 ? O_RDONLY : O_WRONLY, 0);
                break;
            case Stdio::Piped: {
                auto pipe = make_pipe(fd == 0);
                if (!pipe.ok()) {
                    return pipe.error();
                }
                pipes[fd] = std::move(*pipe);
                posix_spawn_file_actions_adddup2(&setup.actions, pipes[fd].child.get(), fd);
                break;
            }
        }
    }

    pid_t pid = 0;
    const int rc =
        posix_spawn(&pid, program_.c_str(), &setup.actions, &setup.attr, argv.data(), envp.data());
    for (auto& p : pipes) {
        p.child.reset();
    }
    if (rc != 0) {
        return IoError::from_errno(rc);
    }
    // Nothing is written to a piped stdin: the child reads end of file.
    pipes[0].parent.reset();

    Output output{ExitStatus(0), {}, {}};
    auto drained =
        drain(pipes[1].parent, output.stdout_bytes, pipes[2].parent, output.stderr_bytes);
    // Reap the child even when reading failed, so no zombie is left behind.
    pipes[1].parent.reset();
    pipes[2].parent.reset();
    auto status = wait_for(pid);
    if (!drained.ok()) {
        return drained.error();
    }
    if (!status.ok()) {
        return status.error();
    }
    output.status = *status;
    return output;
}

}  // namespace rt
