#pragma once
// Named threads with a chosen stack size, spawn hooks and join with panic
// detection.
//
// A thread started here runs, in order: the actions returned by the spawn
// hooks (collected on the starting thread), then its body inside a panic
// boundary. A panic escaping the body ends only that thread (the hook has
// already reported it); join() tells whether that happened.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "panic.hpp"
#include "result.hpp"

namespace rt {

namespace detail {
struct ThreadPacket;
/// Names the calling thread for reports; `name` must outlive the thread (or be reset to null).
void set_current_thread_name(const std::string* name);
/// The calling thread's name as set above (null when none); safe in a signal handler.
const std::string* current_thread_name_ptr();
/// CPUs granted by a cgroup v2 cpu.max line ("QUOTA PERIOD", rounded up, at
/// least 1); nothing for "max ..." or a malformed line.
std::optional<std::size_t> parse_cpu_max(std::string_view line);
}  // namespace detail

/// Handle of a started thread; join it exactly once (destroying it unjoined detaches).
class JoinHandle {
public:
    JoinHandle(JoinHandle&&) noexcept;
    JoinHandle& operator=(JoinHandle&&) noexcept;
    ~JoinHandle();

    /// Waits for the thread; returns the payload of the panic that ended it,
    /// or nothing when its body returned.
    std::optional<Payload> join();
    /// As join(), for a thread that has signalled it is about to end: polls
    /// for its end for a few microseconds before sleeping, which saves the
    /// sleep and the wake-up of the usual case.
    std::optional<Payload> join_ending();

private:
    std::optional<Payload> take_failure();
    friend struct SpawnAccess;
    JoinHandle() = default;
    unsigned long native_ = 0;  // pthread_t
    std::shared_ptr<detail::ThreadPacket> packet_;
    bool joinable_ = false;
};

/// A failure to start a thread. `would_block` is set for EAGAIN (thread limit).
struct SpawnError {
    bool would_block = false;
    IoError error;
};

/// Starts a thread named `name` with `stack_size` bytes of stack running `body`.
std::variant<JoinHandle, SpawnError> spawn_thread(std::string name, std::size_t stack_size,
                                                  std::function<void()> body);

/// The default stack size of new threads: 2 MiB, or ZUNO_MIN_STACK (decimal
/// bytes) when set; read once per process. Whatever is asked for, a thread
/// gets at least 64 KiB above the system's minimum.
std::size_t min_stack_size();

/// The calling thread's full name: "main" on the main thread, the name given
/// to spawn_thread, or "<unnamed>" for threads started elsewhere.
std::string current_thread_name();
/// The calling thread's Linux thread id.
long current_thread_id();

/// A spawn hook runs on the starting thread and returns an action for the new
/// thread to run before its body (or an empty function).
using SpawnHook = std::function<std::function<void()>()>;
/// Adds a spawn hook; hooks stay for the life of the process and run in the order added.
void add_spawn_hook(SpawnHook hook);

/// The number of CPUs the process may run on (affinity, lowered by a cgroup v2
/// CPU quota); nothing when it cannot be determined.
std::optional<std::size_t> available_parallelism();

}  // namespace rt
