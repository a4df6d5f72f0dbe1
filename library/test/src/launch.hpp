#pragma once
// How a test's job gets a thread: launch_test_job starts it on a thread of a
// run's TestThreads, named after the test, with the stack size the runtime
// uses for test threads: a new thread of its own, or, with --reuse-threads, a
// reused worker thread. Jobs are kept in reusable storage, so that a test's
// thread never calls the allocator. Called from the engine's thread only;
// storage is handed back from any thread.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "panic.hpp"
#include "thread.hpp"

namespace test {

/// Storage for jobs of one type, reused from test to test. Whoever runs a job
/// destroys it and hands its storage back here without freeing it, so that a
/// test's thread never calls the allocator: a thread's first call sets up a
/// cache of its own, which its end tears down again, and that costs more than
/// everything else the harness does on the thread. Handing back is lock-free
/// and may happen on any thread; taking is serialised.
template <typename Job>
class JobStore {
public:
    static JobStore& instance() {
        static auto* store = new JobStore;  // never destroyed: abandoned threads hand back late
        return *store;
    }

    /// Builds `job` in stored or new storage.
    Job* make(Job&& job) {
        void* block = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (taken_ == nullptr) {
                taken_ = returned_.exchange(nullptr, std::memory_order_acquire);
            }
            if (taken_ != nullptr) {
                block = std::exchange(taken_, taken_->next);
            }
        }
        if (block == nullptr) {
            block = ::operator new(kSize, std::align_val_t(kAlign));
        }
        return ::new (block) Job(std::move(job));
    }

    /// Destroys `job` and keeps its storage.
    void finish(Job* job) {
        job->~Job();
        auto* node =
            ::new (static_cast<void*>(job)) Node{returned_.load(std::memory_order_relaxed)};
        while (!returned_.compare_exchange_weak(node->next, node, std::memory_order_release,
                                                std::memory_order_relaxed)) {
        }
    }

private:
    struct Node {
        Node* next;
    };
    static constexpr std::size_t kSize = std::max(sizeof(Job), sizeof(Node));
    static constexpr std::size_t kAlign = std::max(alignof(Job), alignof(Node));
    std::atomic<Node*> returned_{nullptr};
    std::mutex mutex_;
    Node* taken_ = nullptr;
};

/// Where the tests of a run get their threads: one started for each test, or
/// reused worker threads, as many as tests run at once (the engine joins a
/// test's thread before it starts another test in its place). A worker whose
/// test is given up at its time limit stays with that test, and the next start
/// gets a new worker; so does the next start after a test that ended its
/// thread. The workers end, and their thread-local variables with them, when
/// the TestThreads is destroyed, at the end of the run.
class TestThreads {
public:
    /// `reuse`: reused worker threads rather than a new thread per test.
    explicit TestThreads(bool reuse) {
        if (reuse) {
            pool_.emplace("zuno-worker", rt::min_stack_size());
        }
    }

    /// Starts `body` on a thread named `name`: a new one, or a worker.
    std::variant<rt::JoinHandle, rt::SpawnError> spawn(std::string name,
                                                       std::function<void()> body) {
        if (pool_) {
            return pool_->spawn(std::move(name), std::move(body));
        }
        return rt::spawn_thread(std::move(name), rt::min_stack_size(), std::move(body));
    }

private:
    std::optional<rt::ThreadPool> pool_;
};

/// Starts `job` on a thread of `threads` named `name`: the one place where a
/// test's job (its body in this process, or the wait for its isolated child)
/// gets a thread. The job is built once; the thread runs and destroys it, and
/// must send the test's record. When the system refuses more threads the job
/// never left this thread and runs here instead. Returns the thread's handle,
/// or nothing when the job has already run.
template <typename Job>
std::optional<rt::JoinHandle> launch_test_job(TestThreads& threads, std::string name, Job job) {
    JobStore<Job>& store = JobStore<Job>::instance();
    Job* owned = store.make(std::move(job));
    const auto run = [&store, owned] {
        struct Finish {
            JobStore<Job>& store;
            Job* job;
            ~Finish() { store.finish(job); }
        } finish{store, owned};
        (*owned)();
    };
    // Two pointers fit the thread body's inline storage: no further allocation.
    auto spawned = threads.spawn(std::move(name), run);
    if (auto* handle = std::get_if<rt::JoinHandle>(&spawned)) {
        return std::move(*handle);
    }
    const rt::SpawnError& error = std::get<rt::SpawnError>(spawned);
    if (!error.would_block) {
        store.finish(owned);
        rt::panic("failed to spawn thread to run test: " + error.error.display());
    }
    run();
    return std::nullopt;
}

}  // namespace test
