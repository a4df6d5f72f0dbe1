#pragma once
// Named threads with a chosen stack size, spawn hooks and join with panic
// detection.
//
// A thread started here runs, in order: the actions returned by the spawn
// hooks (collected on the starting thread), then its body inside a panic
// boundary. A panic escaping the body ends only that thread (the hook has
// already reported it); join() tells whether that happened.
//
// A ThreadPool runs bodies on worker threads it keeps, one body after another
// on each: the handle it returns is joined like a thread's, and a body on a
// worker looks like a body on a thread of its own, except for what the
// worker's thread keeps from body to body (its thread-local variables).

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
struct PoolWorker;
struct PoolState;
/// Names the calling thread for reports; `name` must outlive the thread (or be reset to null).
void set_current_thread_name(const std::string* name);
/// The calling thread's name as set above (null when none); safe in a signal handler.
const std::string* current_thread_name_ptr();
/// CPUs granted by a cgroup v2 cpu.max line ("QUOTA PERIOD", rounded up, at
/// least 1); nothing for "max ..." or a malformed line.
std::optional<std::size_t> parse_cpu_max(std::string_view line);
}  // namespace detail

/// Handle of a started thread, or of a body running on a pool's worker; join
/// it exactly once. Destroying it unjoined detaches the thread, or gives up
/// the worker: it ends once the body returns, and the pool starts another in
/// its place when it needs one.
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
    std::optional<Payload> join_job();
    void release();
    friend struct SpawnAccess;
    friend class ThreadPool;
    JoinHandle() = default;
    unsigned long native_ = 0;  // pthread_t
    std::shared_ptr<detail::ThreadPacket> packet_;
    std::shared_ptr<detail::PoolWorker> job_;  // set for a body on a pool's worker
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

/// Worker threads that run bodies one after another. A body goes to an idle
/// worker, or to a new one when none is idle, so the pool holds as many
/// workers as bodies have run at once. While a body runs, the worker's thread
/// carries the body's name (in reports and, truncated, in the kernel) and its
/// own name again afterwards; a panic escaping the body is reported by join()
/// and the worker carries on. A worker whose body ends its thread
/// (pthread_exit, cancellation) or whose handle is dropped unjoined is not
/// used again. Not thread-safe: spawn from one thread; handles may be joined
/// or dropped after the pool is gone. The destructor ends the idle workers
/// and waits for them, so their thread-local variables are destroyed then.
class ThreadPool {
public:
    /// Workers are named `worker_name` between bodies and get `stack_size`
    /// bytes of stack (0: min_stack_size()).
    ThreadPool(std::string worker_name, std::size_t stack_size);
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;
    ~ThreadPool();

    /// Runs `body` on a worker named `name` meanwhile. Fails only when a new
    /// worker is needed and cannot be started.
    std::variant<JoinHandle, SpawnError> spawn(std::string name, std::function<void()> body);
    /// The workers started and not yet ended or given up.
    [[nodiscard]] std::size_t workers() const;

private:
    std::shared_ptr<detail::PoolState> state_;
};

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
