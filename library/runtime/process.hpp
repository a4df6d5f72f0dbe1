#pragma once
// Child processes: a command with an absolute program path, arguments,
// environment pairs added to the inherited environment, and inherited,
// collected or null standard streams. Children start with default signal
// dispositions and an unblocked signal mask (posix_spawn).

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "library/runtime/result.hpp"

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

    /// Starts the child with the configured streams (inherit by default) and waits for it;
    /// piped output is read and discarded.
    IoResult<ExitStatus> status();
    /// Starts the child with stdout and stderr collected (unless set otherwise),
    /// stdin null, and waits for it.
    IoResult<Output> output();

    [[nodiscard]] const std::string& program() const { return program_; }

private:
    /// Starts the child with the given streams, collects piped output and waits.
    IoResult<Output> run(Stdio in, Stdio out, Stdio err) const;

    std::string program_;
    std::vector<std::string> args_;
    std::vector<std::pair<std::string, std::string>> env_;
    std::optional<Stdio> stdin_how_, stdout_how_, stderr_how_;
};

}  // namespace rt
