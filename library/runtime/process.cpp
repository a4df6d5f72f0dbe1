#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "children.hpp"

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
//
// With a deadline, returns true once it has passed with a stream still open
// (after a last round of reading what is ready, so a deadline already passed
// still collects what is buffered); false when both streams have ended.
IoResult<bool> drain(Fd& out, std::vector<std::uint8_t>& out_bytes, Fd& err,
                     std::vector<std::uint8_t>& err_bytes,
                     std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt) {
    using namespace std::chrono;
    // On the heap: this runs on test threads, whose stacks may be small.
    std::vector<std::uint8_t> buffer(16384);
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
        int timeout_ms = -1;
        if (deadline) {
            const auto left = ceil<milliseconds>(*deadline - steady_clock::now()).count();
            timeout_ms = static_cast<int>(std::clamp<long long>(left, 0, 60'000));
        }
        const int ready = ::poll(fds, count, timeout_ms);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return IoError::last_os_error();
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN) {
                    continue;
                }
                return IoError::last_os_error();
            }
            if (n == 0) {
                owners[i]->reset();
            } else {
                sinks[i]->insert(sinks[i]->end(), buffer.begin(), buffer.begin() + n);
            }
        }
        if (deadline && steady_clock::now() >= *deadline) {
            return out.get() >= 0 || err.get() >= 0;
        }
    }
    return false;
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

// Everything the child needs between vfork and execve, prepared beforehand:
// the child may only make async-signal-safe calls and must not allocate.
struct ExecPlan {
    const char* path;
    char* const* argv;
    char* const* envp;
    int stdio[3];  // descriptor to place on 0, 1, 2, or -1 to inherit
    bool new_group;
    bool die_with_parent;
    pid_t parent;
    const int* kept_fds;
    std::size_t kept_count;
    int error_fd;  // receives errno when execve fails
    // With a new group: its grace, and where the child leaves its registry
    // slot (it stays kNotListed when the child's writes do not reach this
    // process, as when a sanitizer turns vfork into fork).
    std::chrono::milliseconds group_grace;
    int* registry_slot;
};
constexpr int kNotListed = -2;

// The kernel's sigaction record, for a raw rt_sigaction call that no
// sanitizer or library wrapper intercepts.
struct KernelSigaction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    std::uint64_t mask;
};

// The child's side of spawn(): never returns.
[[noreturn]] __attribute__((noinline)) void exec_child(const ExecPlan& plan) {
    // Default dispositions: handlers of this process must not run in the child.
    const KernelSigaction default_action{SIG_DFL, 0, nullptr, 0};
    for (int s = 1; s < 65; ++s) {
        if (s != SIGKILL && s != SIGSTOP) {
            ::syscall(SYS_rt_sigaction, s, &default_action, nullptr, sizeof(std::uint64_t));
        }
    }
    int error = 0;
    if (plan.new_group && ::setpgid(0, 0) != 0) {
        error = errno;
    }
    if (error == 0 && plan.die_with_parent) {
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
            error = errno;
        } else if (::getppid() != plan.parent) {
            ::_exit(127);  // the parent is already gone
        }
    }
    if (error == 0 && plan.new_group) {
        // Listed before the program starts: an interrupt that reaches the
        // parent once the program runs ends the group, whatever the program
        // has started by then. (When the parent is already ending, this
        // kills the child.)
        *plan.registry_slot = register_child_group(::getpid(), plan.group_grace);
    }
    for (std::size_t i = 0; error == 0 && i < plan.kept_count; ++i) {
        if (::fcntl(plan.kept_fds[i], F_SETFD, 0) != 0) {
            error = errno;
        }
    }
    for (int fd = 0; error == 0 && fd < 3; ++fd) {
        const int source = plan.stdio[fd];
        if (source < 0) {
            continue;
        }
        // dup2 onto itself would keep close-on-exec set.
        const int rc = source == fd ? ::fcntl(fd, F_SETFD, 0) : ::dup2(source, fd);
        if (rc < 0) {
            error = errno;
        }
    }
    if (error == 0) {
        const std::uint64_t empty = 0;
        ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &empty, nullptr, sizeof empty);
        ::execve(plan.path, plan.argv, plan.envp);
        error = errno;
    }
    (void)!::write(plan.error_fd, &error, sizeof error);
    ::_exit(127);
}

// Starts the child with vfork: this thread is suspended until the child has
// called execve or _exit, so the child may use the plan on this stack. Every
// signal is blocked meanwhile, so no handler of this process runs in the child
// before it has restored the default dispositions.
pid_t vfork_exec(const ExecPlan& plan) {
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    const pid_t pid = ::vfork();
    if (pid == 0) {
        exec_child(plan);
    }
    const int saved = errno;
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = saved;
    return pid;
}

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
    RT_TRY(result);
    return result->status;
}

IoResult<Output> Command::output() {
    return run(stdin_how_.value_or(Stdio::Null), stdout_how_.value_or(Stdio::Piped),
               stderr_how_.value_or(Stdio::Piped));
}

Command& Command::own_group(std::chrono::milliseconds grace) {
    group_grace_ = grace;
    return *this;
}

Command& Command::keep_fd(int fd) {
    if (fd >= 0) {
        kept_fds_.push_back(fd);
    }
    return *this;
}

IoResult<Child> Command::spawn() {
    return start(stdin_how_.value_or(Stdio::Inherit), stdout_how_.value_or(Stdio::Inherit),
                 stderr_how_.value_or(Stdio::Inherit));
}

IoResult<Child> Command::start(Stdio in, Stdio out, Stdio err) const {
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

    // The descriptors the child places on 0, 1 and 2; the parent's copies are
    // closed once the child has started.
    Pipe pipes[3];
    Fd null_fds[3];
    const Stdio hows[3] = {in, out, err};
    ExecPlan plan{};
    for (int fd = 0; fd < 3; ++fd) {
        plan.stdio[fd] = -1;
        switch (hows[fd]) {
            case Stdio::Inherit:
                break;
            case Stdio::Null: {
                auto null = Fd::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
                RT_TRY(null);
                null_fds[fd] = std::move(*null);
                plan.stdio[fd] = null_fds[fd].get();
                break;
            }
            case Stdio::Piped: {
                auto pipe = make_pipe(fd == 0);
                RT_TRY(pipe);
                pipes[fd] = std::move(*pipe);
                plan.stdio[fd] = pipes[fd].child.get();
                break;
            }
        }
    }
    // execve's error comes back through a close-on-exec pipe: end of file
    // without data means the program started.
    auto errors = make_pipe(false);
    RT_TRY(errors);
    plan.path = program_.c_str();
    plan.argv = argv.data();
    plan.envp = envp.data();
    plan.new_group = group_grace_.has_value();
    plan.die_with_parent = group_grace_.has_value();
    plan.parent = ::getpid();
    plan.kept_fds = kept_fds_.data();
    plan.kept_count = kept_fds_.size();
    plan.error_fd = errors->child.get();
    int registry_slot = kNotListed;
    plan.group_grace = group_grace_.value_or(std::chrono::milliseconds(0));
    plan.registry_slot = &registry_slot;

    const pid_t pid = vfork_exec(plan);
    if (pid < 0) {
        return IoError::last_os_error();
    }
    if (plan.new_group && registry_slot == kNotListed) {
        registry_slot = register_child_group(pid, *group_grace_);
    }
    for (auto& p : pipes) {
        p.child.reset();
    }
    errors->child.reset();
    int exec_error = 0;
    ssize_t n;
    while ((n = ::read(errors->parent.get(), &exec_error, sizeof exec_error)) < 0 &&
           errno == EINTR) {
    }
    if (n == static_cast<ssize_t>(sizeof exec_error)) {
        unregister_child_group(registry_slot);
        (void)wait_for(pid);
        return IoError::from_errno(exec_error);
    }

    Child child;
    child.pid_ = pid;
    child.pidfd_ = Fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    child.group_ = group_grace_.has_value();
    if (child.group_) {
        child.registry_slot_ = registry_slot;
    }
    for (int fd = 0; fd < 3; ++fd) {
        child.pipes_[fd] = std::move(pipes[fd].parent);
    }
    return child;
}

IoResult<Output> Command::run(Stdio in, Stdio out, Stdio err) const {
    auto child = start(in, out, err);
    RT_TRY(child);
    // Nothing is written to a piped stdin: the child reads end of file.
    child->close_pipe(0);

    Output output{ExitStatus(0), {}, {}};
    Fd out_pipe = std::move(child->pipes_[1]);
    Fd err_pipe = std::move(child->pipes_[2]);
    auto drained = drain(out_pipe, output.stdout_bytes, err_pipe, output.stderr_bytes);
    // Reap the child even when reading failed, so no zombie is left behind.
    out_pipe.reset();
    err_pipe.reset();
    auto status = child->wait();
    RT_TRY(drained);
    RT_TRY(status);
    output.status = *status;
    return output;
}

IoResult<DeadlineOutput> Command::output_until(std::chrono::steady_clock::time_point deadline,
                                               std::chrono::milliseconds grace) {
    auto child = start(stdin_how_.value_or(Stdio::Null), stdout_how_.value_or(Stdio::Piped),
                       stderr_how_.value_or(Stdio::Piped));
    if (!child.ok()) {
        return child.error();
    }
    child->close_pipe(0);

    DeadlineOutput result{Output{ExitStatus(0), {}, {}}, false};
    Output& output = result.output;
    Fd out_pipe(std::move(child->pipes_[1]));
    Fd err_pipe(std::move(child->pipes_[2]));
    IoResult<bool> drained =
        drain(out_pipe, output.stdout_bytes, err_pipe, output.stderr_bytes, deadline);
    IoResult<ExitStatus> status = IoError::custom(ErrorKind::Other, "child not waited for");
    if (drained.ok() && !*drained) {
        // The output has ended (or was never piped); the child may still run.
        auto ended = child->wait_until(deadline);
        if (!ended.ok()) {
            status = ended.error();
        } else if (*ended) {
            status = **ended;
        }
    }
    if (drained.ok() && !status.ok() && child->pid_ >= 0) {
        // Past the deadline: a child still running is ended; one that has
        // ended only left something holding its output, which goes now.
        auto ended = child->ended_by(std::chrono::steady_clock::now());
        result.timed_out = !ended.ok() || !*ended;
        status = child->terminate(result.timed_out ? grace : std::chrono::milliseconds(0));
        // Take what the ended group left in the pipes, without waiting for more.
        for (int round = 0; round < 16 && drained.ok(); ++round) {
            drained = drain(out_pipe, output.stdout_bytes, err_pipe, output.stderr_bytes,
                            std::chrono::steady_clock::now());
        }
    }
    out_pipe.reset();
    err_pipe.reset();
    if (!drained.ok()) {
        return drained.error();  // the Child's destructor ends and reaps it
    }
    if (!status.ok()) {
        return status.error();
    }
    output.status = *status;
    return result;
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      pidfd_(std::move(other.pidfd_)),
      group_(other.group_),
      registry_slot_(std::exchange(other.registry_slot_, -1)),
      pipes_{std::move(other.pipes_[0]), std::move(other.pipes_[1]), std::move(other.pipes_[2])} {}

Child::~Child() {
    if (pid_ >= 0) {
        (void)terminate(std::chrono::milliseconds(0));
    }
}

void Child::close_pipe(int stream) {
    pipes_[stream].reset();
}

IoResult<bool> Child::ended_by(
    std::optional<std::chrono::steady_clock::time_point> deadline) const {
    using namespace std::chrono;
    while (true) {
        int timeout_ms = -1;
        if (deadline) {
            const auto left = ceil<milliseconds>(*deadline - steady_clock::now()).count();
            timeout_ms = static_cast<int>(std::clamp<long long>(left, 0, 60'000));
        }
        if (pidfd_.is_open()) {
            pollfd fd{pidfd_.get(), POLLIN, 0};
            const int rc = ::poll(&fd, 1, timeout_ms);
            if (rc < 0 && errno != EINTR) {
                return IoError::last_os_error();
            }
            if (rc > 0) {
                return true;
            }
        } else {
            // No pidfd (older kernels): look every 10 ms.
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 &&
                errno != EINTR) {
                return IoError::last_os_error();
            }
            if (info.si_pid == pid_) {
                return true;
            }
            const timespec pause{0, 10'000'000};
            if (timeout_ms != 0) {
                ::nanosleep(&pause, nullptr);
            }
        }
        if (deadline && steady_clock::now() >= *deadline) {
            return false;
        }
    }
}

IoResult<ExitStatus> Child::reap() {
    if (pid_ < 0) {
        return IoError::custom(ErrorKind::InvalidInput, "child already reaped");
    }
    unregister_child_group(std::exchange(registry_slot_, -1));
    auto status = wait_for(std::exchange(pid_, -1));
    pidfd_.reset();
    return status;
}

IoResult<ExitStatus> Child::wait() {
    RT_TRY(ended_by(std::nullopt));
    return reap();
}

IoResult<std::optional<ExitStatus>> Child::wait_until(
    std::chrono::steady_clock::time_point deadline) {
    auto ended = ended_by(deadline);
    RT_TRY(ended);
    if (!*ended) {
        return std::optional<ExitStatus>();
    }
    auto status = reap();
    RT_TRY(status);
    return std::optional<ExitStatus>(*status);
}

IoResult<ExitStatus> Child::terminate(std::chrono::milliseconds grace) {
    if (pid_ < 0) {
        return IoError::custom(ErrorKind::InvalidInput, "child already reaped");
    }
    // While the child is unreaped its pid, and so its group id, stays taken.
    const pid_t target = group_ ? -pid_ : pid_;
    if (grace.count() > 0) {
        ::kill(target, SIGTERM);
        RT_TRY(ended_by(std::chrono::steady_clock::now() + grace));
    }
    ::kill(target, SIGKILL);
    return reap();
}

}  // namespace rt
