#pragma once
// Child processes: a command with an absolute program path, arguments,
// environment pairs added to the inherited environment, and inherited,
// collected or null standard streams. Children start with default signal
// dispositions and an unblocked signal mask.
//
// A command may ask for its child to lead a process group of its own: such a
// child is registered with the live-children registry (children.hpp), so that
// an interrupt or an early exit of this process ends the whole group, and it is
// killed by the kernel when the thread that started it ends (Linux parent-death
// signal). A Child handle is used by one thread at a time.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fd.hpp"
#include "result.hpp"

namespace rt {

/// A raw wait status as reported by waitpid.
class ExitStatus {
public:
    explicit ExitStatus(int raw) : raw_(raw) {}
    [[nodiscard]] int raw() const { return raw_; }
    /// True for a normal exit with code 0.
    [[nodiscard]] bool success() const;
    /// The exit code of a normal exit.
    [[nodiscard]] std::optional<int> code() const;
    /// The signal that ended the process.
    [[nodiscard]] std::optional<int> signal() const;
    [[nodiscard]] bool core_dumped() const;
    /// Display form, e.g. "exit status: 1", "signal: 9 (SIGKILL)",
    /// "signal: 6 (SIGABRT) (core dumped)", "continued (WIFCONTINUED)".
    [[nodiscard]] std::string to_string() const;

private:
    int raw_;
};

/// Name of signal 1..31 ("SIGHUP" ... "SIGSYS"), or nullptr.
const char* signal_name(int signal);

/// How a standard stream of the child is set up.
enum class Stdio { Inherit, Piped, Null };

/// Collected result of a finished child.
struct Output {
    ExitStatus status;
    std::vector<std::uint8_t> stdout_bytes;
    std::vector<std::uint8_t> stderr_bytes;
};

/// Output of a child that had to finish by a deadline.
struct DeadlineOutput {
    Output output;
    /// The child was still running at the deadline and was ended.
    bool timed_out = false;
};

/// A started child process. Its owner waits for it; a child still running when
/// the handle is destroyed is killed (with its group when it leads one) and reaped.
class Child {
public:
    Child(Child&& other) noexcept;
    Child& operator=(Child&&) = delete;
    Child(const Child&) = delete;
    ~Child();

    [[nodiscard]] pid_t id() const { return pid_; }
    /// The parent's end of a piped stream (0, 1 or 2), or -1 when that stream
    /// is not piped. The descriptor stays owned by the Child.
    [[nodiscard]] int pipe_fd(int stream) const { return pipes_[stream].get(); }
    /// Closes the parent's end of a piped stream (for example stdin, to send end of file).
    void close_pipe(int stream);

    /// Waits for the child to end and reaps it.
    IoResult<ExitStatus> wait();
    /// Waits until the child ends or `deadline` passes. Returns its reaped exit
    /// status, or nothing when it is still running at the deadline.
    IoResult<std::optional<ExitStatus>> wait_until(std::chrono::steady_clock::time_point deadline);
    /// Ends the child: SIGTERM (to its group when it leads one), up to `grace`
    /// for it to end, then SIGKILL; reaps it and returns its exit status.
    IoResult<ExitStatus> terminate(std::chrono::milliseconds grace);

private:
    friend class Command;
    Child() = default;
    /// Blocks until the child has ended (without reaping) or `deadline` passes;
    /// true when it ended.
    IoResult<bool> ended_by(std::optional<std::chrono::steady_clock::time_point> deadline) const;
    /// Reaps the ended child and forgets it.
    IoResult<ExitStatus> reap();

    pid_t pid_ = -1;
    Fd pidfd_;                // readable once the child has ended; none when unavailable
    bool group_ = false;      // the child leads its own process group
    int registry_slot_ = -1;  // slot in the live-children registry, or -1
    Fd pipes_[3];
};

/// Builder for a child process.
class Command {
public:
    explicit Command(std::string program) : program_(std::move(program)) {}
    Command& arg(std::string value);
    /// Adds NAME=VALUE on top of the inherited environment (a later pair wins).
    Command& env(std::string name, std::string value);
    Command& stdin_(Stdio how);
    Command& stdout_(Stdio how);
    Command& stderr_(Stdio how);
    /// Makes the child the leader of a new process group (its pid is the group
    /// id), registered so that an interrupt or an early exit of this process
    /// ends the group (SIGTERM, up to `grace`, then SIGKILL); the child is also
    /// killed when the thread that starts it ends.
    Command& own_group(std::chrono::milliseconds grace);
    /// Lets the child inherit descriptor `fd` (normally close-on-exec); -1 is ignored.
    Command& keep_fd(int fd);

    /// Starts the child with the configured streams (inherit by default).
    IoResult<Child> spawn();
    /// Starts the child with the configured streams (inherit by default) and waits for it;
    /// piped output is read and discarded.
    IoResult<ExitStatus> status();
    /// Starts the child with stdout and stderr collected (unless set otherwise),
    /// stdin null, and waits for it.
    IoResult<Output> output();
    /// output(), but a child still running at `deadline` is ended as
    /// Child::terminate does (SIGTERM, up to `grace`, SIGKILL; to its group
    /// when it leads one). When the child itself has ended but what it left
    /// behind in its group holds its output open past the deadline, that group
    /// is killed and the child's own status stands.
    IoResult<DeadlineOutput> output_until(std::chrono::steady_clock::time_point deadline,
                                          std::chrono::milliseconds grace);

    [[nodiscard]] const std::string& program() const { return program_; }

private:
    /// Starts the child with the given streams.
    IoResult<Child> start(Stdio in, Stdio out, Stdio err) const;
    /// Starts the child with the given streams, collects piped output and waits.
    IoResult<Output> run(Stdio in, Stdio out, Stdio err) const;

    std::string program_;
    std::vector<std::string> args_;
    std::vector<std::pair<std::string, std::string>> env_;
    std::optional<Stdio> stdin_how_, stdout_how_, stderr_how_;
    std::optional<std::chrono::milliseconds> group_grace_;
    std::vector<int> kept_fds_;
};

}  // namespace rt
