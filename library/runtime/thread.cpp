#include "thread.hpp"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <charconv>
#include <chrono>
#include <climits>
#include <cxxabi.h>
#include <fstream>
#include <mutex>
#include <vector>

#include "crash.hpp"
#include "io.hpp"
#include "text.hpp"

namespace rt {

namespace detail {

// Shared by the handle and the thread: what to run, then how it ended.
struct ThreadPacket {
    std::string name;
    std::vector<std::function<void()>> actions;  // from the spawn hooks, run first
    std::function<void()> body;
    std::optional<Payload> failure;  // written by the thread, read after pthread_join
    std::size_t stack_size = 0;      // as requested from pthread_create
    // The started thread's own reference, which it takes over at its start.
    std::shared_ptr<ThreadPacket> self;
};

// The job slot of a pool's worker. The worker waits while it is Finished and
// runs the body once it is Posted; the joiner waits while it is Posted.
enum PoolSlot : std::uint32_t {
    kFinished = 0,
    kPosted = 1,
    kStop = 2,     // the pool ends an idle worker
    kGivenUp = 3,  // the handle was dropped unjoined: the worker ends after its body
};

// What a pool shares with its workers and the handles of their bodies (which
// may outlive it).
struct PoolState {
    std::mutex mutex;
    std::vector<std::shared_ptr<PoolWorker>> idle;
    std::size_t live = 0;  // started, not ended, not given up
    bool closed = false;   // the pool is gone: a joined worker ends
    std::string worker_name;
    std::size_t stack_size = 0;
};

// One worker. Its fields other than `slot` are handed back and forth: written
// by one side before a release store to `slot`, read by the other after an
// acquire load.
struct PoolWorker {
    std::atomic<std::uint32_t> slot{kFinished};
    std::atomic<std::uint32_t> sleepers{0};  // threads asleep on `slot`
    std::string worker_name;                 // the thread's own name between bodies
    std::string job_name;                    // the name of the body it runs
    std::function<void()> body;
    std::optional<Payload> failure;  // a panic that escaped the body
    bool thread_ended = false;       // the body ended the worker's thread
    std::shared_ptr<PoolState> pool;
    std::optional<JoinHandle> thread;  // the worker's own thread
};

}  // namespace detail

// Builds JoinHandles for spawn_thread (the constructor is private).
struct SpawnAccess {
    static JoinHandle make(pthread_t native, std::shared_ptr<detail::ThreadPacket> packet) {
        JoinHandle handle;
        handle.native_ = native;
        handle.packet_ = std::move(packet);
        handle.joinable_ = true;
        return handle;
    }
};

namespace {

// The full name of the calling thread, when it was given one.
thread_local const std::string* THREAD_NAME = nullptr;
thread_local long THREAD_ID = 0;

// Spawn hooks form an append-only list that is never freed, so a spawn reads
// it without taking a lock; additions are serialised by HOOKS_MUTEX.
struct HookNode {
    SpawnHook hook;
    std::atomic<HookNode*> next{nullptr};
};
std::atomic<HookNode*> HOOKS_HEAD{nullptr};
std::mutex HOOKS_MUTEX;

// The calling thread's alternate signal stack, released when the thread ends.
class SignalStackScope {
public:
    explicit SignalStackScope(std::size_t stack_size) : handle_(install_signal_stack(stack_size)) {}
    SignalStackScope(const SignalStackScope&) = delete;
    SignalStackScope& operator=(const SignalStackScope&) = delete;
    ~SignalStackScope() { release_signal_stack(handle_); }

private:
    void* handle_;
};

// Names the calling thread for the kernel, which keeps at most 15 bytes.
void set_kernel_name(const std::string& name) {
    char short_name[16];
    const std::size_t size = std::min<std::size_t>(name.size(), 15);
    std::copy_n(name.data(), size, short_name);
    short_name[size] = '\0';
    pthread_setname_np(pthread_self(), short_name);
}

RT_PASSES_FORCED_UNWIND void* thread_start(void* raw) {
    // Take over the reference that spawn_thread left in the packet for us.
    std::shared_ptr<detail::ThreadPacket> packet =
        std::move(static_cast<detail::ThreadPacket*>(raw)->self);

    THREAD_NAME = &packet->name;
    set_kernel_name(packet->name);
    const SignalStackScope signal_stack(packet->stack_size);
    const CaptureEndsHere capture_scope;

    try {
        for (auto& action : packet->actions) {
            if (action) {
                action();
            }
        }
        packet->actions.clear();
        packet->body();
    } catch (abi::__forced_unwind&) {
        THREAD_NAME = nullptr;
        throw;  // pthread_exit or cancellation: let it finish
    } catch (...) {
        // The hook has already reported a panic; other exceptions are reported here.
        packet->failure = payload_of_current_exception();
    }
    // Release the body (and what it captured) on this thread, before join returns.
    packet->body = nullptr;
    THREAD_NAME = nullptr;
    return nullptr;
}

// A short pause for a polling loop (lets a sibling hyperthread run).
void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    for (int i = 0; i < 16; ++i) {
        __builtin_ia32_pause();
    }
#else
    sched_yield();
#endif
}

std::size_t page_size() {
    static const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

// Minimum quota of the cgroup v2 hierarchy of this process, in CPUs (rounded up).
std::optional<std::size_t> cgroup_cpu_limit() {
    std::string path;
    {
        std::ifstream cgroup("/proc/self/cgroup");
        std::string line;
        while (std::getline(cgroup, line)) {
            if (line.rfind("0::", 0) == 0) {
                path = line.substr(3);
                break;
            }
        }
    }
    std::optional<std::size_t> limit;
    // Walk from the process's own group up to the root; the tightest quota wins.
    while (true) {
        std::ifstream file("/sys/fs/cgroup" + (path == "/" ? std::string() : path) + "/cpu.max");
        std::string line;
        if (std::getline(file, line)) {
            if (auto cpus = detail::parse_cpu_max(line)) {
                limit = limit ? std::min(*limit, *cpus) : *cpus;
            }
        }
        if (path.empty() || path == "/") {
            break;
        }
        const auto slash = path.rfind('/');
        path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
    }
    return limit;
}

using detail::PoolWorker;

// How long a waiting side of a pool's hand-over checks before it sleeps, at
// most. A test of a few microseconds is over before a sleeping thread would
// have been woken up, and each wake-up costs both threads a system call. But
// on a busy machine the other side is often not running at all, and checking
// only takes the processor from it: each thread halves its checking time
// after a check in vain and doubles it after one that paid off.
constexpr std::chrono::nanoseconds kPoolSpinMax{20'000};
constexpr std::chrono::nanoseconds kPoolSpinMin{500};
thread_local std::chrono::nanoseconds POOL_SPIN = kPoolSpinMax;

// Sets the worker's slot to `value` and wakes whoever sleeps on it; returns
// what it held. Sleepers announce themselves before they look at the slot
// (both sequentially consistent), so either they see the new value or this
// sees them.
std::uint32_t publish(PoolWorker& w, std::uint32_t value) {
    const std::uint32_t previous = w.slot.exchange(value);
    if (w.sleepers.load() != 0) {
        syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&w.slot), FUTEX_WAKE_PRIVATE, INT_MAX,
                nullptr, nullptr, 0);
    }
    return previous;
}

// Waits until the worker's slot holds something other than `value`, which it
// returns: checks for a while (see above), then sleeps.
std::uint32_t wait_while(PoolWorker& w, std::uint32_t value) {
    std::uint32_t now = w.slot.load(std::memory_order_acquire);
    if (now != value) {
        return now;
    }
    const auto until = std::chrono::steady_clock::now() + POOL_SPIN;
    do {
        for (int i = 0; i < 16; ++i) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
            now = w.slot.load(std::memory_order_acquire);
            if (now != value) {
                POOL_SPIN = std::min(POOL_SPIN * 2, kPoolSpinMax);
                return now;
            }
        }
    } while (std::chrono::steady_clock::now() < until);
    POOL_SPIN = std::max(POOL_SPIN / 2, kPoolSpinMin);
    w.sleepers.fetch_add(1);
    while ((now = w.slot.load()) == value) {
        // Returns at once when the slot no longer holds `value`.
        syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&w.slot), FUTEX_WAIT_PRIVATE, value,
                nullptr, nullptr, 0);
    }
    w.sleepers.fetch_sub(1);
    return now;
}

// Runs the posted body under its name; the worker's name comes back after it.
[[gnu::noinline]] RT_PASSES_FORCED_UNWIND void run_posted(PoolWorker& w) {
    THREAD_NAME = &w.job_name;
    set_kernel_name(w.job_name);
    try {
        w.body();
    } catch (abi::__forced_unwind&) {
        // The body ends the thread: the joiner learns it, the thread ends.
        w.body = nullptr;
        w.thread_ended = true;
        THREAD_NAME = &w.worker_name;
        publish(w, detail::kFinished);
        throw;
    } catch (...) {
        // The hook has already reported a panic; other exceptions are reported here.
        w.failure = payload_of_current_exception();
    }
    // Release the body (and what it captured) on this thread, before join returns.
    w.body = nullptr;
    THREAD_NAME = &w.worker_name;
    set_kernel_name(w.worker_name);
}

// The body of a worker's thread: runs posted bodies until stopped or given up.
RT_PASSES_FORCED_UNWIND void worker_loop(const std::shared_ptr<PoolWorker>& worker) {
    PoolWorker& w = *worker;
    // The thread's start has given it the worker's name.
    for (;;) {
        if (wait_while(w, detail::kFinished) != detail::kPosted) {
            return;  // stopped by the pool, or given up while idle
        }
        run_posted(w);
        if (publish(w, detail::kFinished) == detail::kGivenUp) {
            return;  // given up while the body ran
        }
    }
}

// Ends an idle worker and waits for its thread.
void stop_worker(PoolWorker& w) {
    publish(w, detail::kStop);
    w.thread->join();
    w.thread.reset();
}

}  // namespace

JoinHandle::JoinHandle(JoinHandle&& other) noexcept
    : native_(other.native_),
      packet_(std::move(other.packet_)),
      job_(std::move(other.job_)),
      joinable_(std::exchange(other.joinable_, false)) {}

JoinHandle& JoinHandle::operator=(JoinHandle&& other) noexcept {
    if (this != &other) {
        release();
        native_ = other.native_;
        packet_ = std::move(other.packet_);
        job_ = std::move(other.job_);
        joinable_ = std::exchange(other.joinable_, false);
    }
    return *this;
}

JoinHandle::~JoinHandle() {
    release();
}

void JoinHandle::release() {
    if (!joinable_) {
        return;
    }
    joinable_ = false;
    if (!job_) {
        pthread_detach(static_cast<pthread_t>(native_));
        return;
    }
    // Give the worker up: it ends after its body (or now, if that is over).
    PoolWorker& w = *job_;
    publish(w, detail::kGivenUp);
    {
        std::lock_guard lock(w.pool->mutex);
        --w.pool->live;
    }
    w.thread.reset();  // detaches
    job_.reset();
}

std::optional<Payload> JoinHandle::join_job() {
    const std::shared_ptr<PoolWorker> worker = std::move(job_);
    PoolWorker& w = *worker;
    wait_while(w, detail::kPosted);
    std::optional<Payload> failure = std::exchange(w.failure, std::nullopt);
    detail::PoolState& pool = *w.pool;
    if (w.thread_ended) {
        w.thread->join();
        w.thread.reset();
        std::lock_guard lock(pool.mutex);
        --pool.live;
        return failure;
    }
    {
        std::lock_guard lock(pool.mutex);
        if (!pool.closed) {
            pool.idle.push_back(worker);
            return failure;
        }
        --pool.live;
    }
    stop_worker(w);
    return failure;
}

std::optional<Payload> JoinHandle::join() {
    if (!joinable_) {
        return std::nullopt;
    }
    joinable_ = false;
    if (job_) {
        return join_job();
    }
    pthread_join(static_cast<pthread_t>(native_), nullptr);
    return take_failure();
}

std::optional<Payload> JoinHandle::join_ending() {
    if (!joinable_) {
        return std::nullopt;
    }
    joinable_ = false;
    if (job_) {
        return join_job();
    }
    const auto thread = static_cast<pthread_t>(native_);
    if (pthread_tryjoin_np(thread, nullptr) == 0) {
        return take_failure();
    }
    // What is left of an ending thread (switching off its signal stack, the
    // C library's clean-up, the exit call) takes a microsecond or two.
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(5);
    do {
        if (std::chrono::steady_clock::now() >= until) {
            pthread_join(thread, nullptr);
            break;
        }
        cpu_relax();
    } while (pthread_tryjoin_np(thread, nullptr) != 0);
    return take_failure();
}

std::optional<Payload> JoinHandle::take_failure() {
    auto failure = std::move(packet_->failure);
    packet_.reset();
    return failure;
}

std::variant<JoinHandle, SpawnError> spawn_thread(std::string name, std::size_t stack_size,
                                                  std::function<void()> body) {
    auto packet = std::make_shared<detail::ThreadPacket>();
    packet->name = std::move(name);
    packet->body = std::move(body);
    for (HookNode* node = HOOKS_HEAD.load(std::memory_order_acquire); node != nullptr;
         node = node->next.load(std::memory_order_acquire)) {
        if (auto action = node->hook()) {
            packet->actions.push_back(std::move(action));
        }
    }

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    // Below the floor the thread's own start-up, a panic report or the signal
    // handlers would overflow a tiny stack.
    const std::size_t stack_floor = 64 * 1024 + PTHREAD_STACK_MIN;
    std::size_t size = stack_size == 0 ? min_stack_size() : stack_size;
    size = std::max<std::size_t>(size, stack_floor);
    size = (size + page_size() - 1) / page_size() * page_size();
    pthread_attr_setstacksize(&attr, size);
    packet->stack_size = size;

    packet->self = packet;
    pthread_t native{};
    const int rc = pthread_create(&native, &attr, &thread_start, packet.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        packet->self.reset();
        return SpawnError{rc == EAGAIN, IoError::from_errno(rc)};
    }
    return SpawnAccess::make(native, std::move(packet));
}

ThreadPool::ThreadPool(std::string worker_name, std::size_t stack_size)
    : state_(std::make_shared<detail::PoolState>()) {
    state_->worker_name = std::move(worker_name);
    state_->stack_size = stack_size;
}

ThreadPool::~ThreadPool() {
    std::vector<std::shared_ptr<PoolWorker>> idle;
    {
        std::lock_guard lock(state_->mutex);
        state_->closed = true;
        idle.swap(state_->idle);
        state_->live -= idle.size();
    }
    // All are told first, so that they end together.
    for (const auto& w : idle) {
        publish(*w, detail::kStop);
    }
    for (const auto& w : idle) {
        w->thread->join();
        w->thread.reset();
    }
}

std::variant<JoinHandle, SpawnError> ThreadPool::spawn(std::string name,
                                                       std::function<void()> body) {
    std::shared_ptr<PoolWorker> worker;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->idle.empty()) {
            worker = std::move(state_->idle.back());
            state_->idle.pop_back();
        }
    }
    if (!worker) {
        worker = std::make_shared<PoolWorker>();
        worker->worker_name = state_->worker_name;
        worker->pool = state_;
        auto started = spawn_thread(state_->worker_name, state_->stack_size,
                                    [worker] { worker_loop(worker); });
        if (auto* error = std::get_if<SpawnError>(&started)) {
            return *error;
        }
        worker->thread.emplace(std::move(std::get<JoinHandle>(started)));
        std::lock_guard lock(state_->mutex);
        ++state_->live;
    }
    worker->job_name = std::move(name);
    worker->body = std::move(body);
    publish(*worker, detail::kPosted);
    JoinHandle handle;
    handle.job_ = std::move(worker);
    handle.joinable_ = true;
    return handle;
}

std::size_t ThreadPool::workers() const {
    std::lock_guard lock(state_->mutex);
    return state_->live;
}

std::size_t min_stack_size() {
    static const std::size_t size = [] {
        constexpr std::size_t fallback = 2 * 1024 * 1024;
        auto text = env_var("ZUNO_MIN_STACK");
        if (!text) {
            return fallback;
        }
        std::size_t value = 0;
        auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
        if (ec != std::errc() || end != text->data() + text->size()) {
            return fallback;
        }
        return value;
    }();
    return size;
}

std::string current_thread_name() {
    if (THREAD_NAME != nullptr) {
        return *THREAD_NAME;
    }
    if (current_thread_id() == static_cast<long>(getpid())) {
        return "main";
    }
    return "<unnamed>";
}

long current_thread_id() {
    if (THREAD_ID == 0) {
        THREAD_ID = static_cast<long>(syscall(SYS_gettid));
    }
    return THREAD_ID;
}

void add_spawn_hook(SpawnHook hook) {
    auto* node = new HookNode;  // lives for the rest of the process
    node->hook = std::move(hook);
    std::lock_guard lock(HOOKS_MUTEX);
    HookNode* head = HOOKS_HEAD.load(std::memory_order_relaxed);
    if (head == nullptr) {
        HOOKS_HEAD.store(node, std::memory_order_release);
        return;
    }
    while (HookNode* next = head->next.load(std::memory_order_relaxed)) {
        head = next;
    }
    head->next.store(node, std::memory_order_release);
}

std::optional<std::size_t> available_parallelism() {
    std::size_t cpus = 0;
    // Start with room for 1024 CPUs and grow while the kernel asks for more.
    for (int count = 1024; count <= (1 << 20); count *= 2) {
        cpu_set_t* set = CPU_ALLOC(count);
        if (set == nullptr) {
            break;
        }
        const std::size_t bytes = CPU_ALLOC_SIZE(count);
        CPU_ZERO_S(bytes, set);
        const int rc = sched_getaffinity(0, bytes, set);
        if (rc == 0) {
            cpus = static_cast<std::size_t>(CPU_COUNT_S(bytes, set));
        }
        CPU_FREE(set);
        if (rc == 0 || errno != EINVAL) {
            break;
        }
    }
    if (cpus == 0) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        if (online <= 0) {
            return std::nullopt;
        }
        cpus = static_cast<std::size_t>(online);
    }
    if (auto limit = cgroup_cpu_limit()) {
        cpus = std::min(cpus, *limit);
    }
    return cpus;
}

namespace detail {

std::optional<std::size_t> parse_cpu_max(std::string_view line) {
    const auto space = line.find(' ');
    if (space == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view quota_text = line.substr(0, space);
    std::string_view period_text = line.substr(space + 1);
    while (!period_text.empty() && (period_text.back() == '\n' || period_text.back() == ' ')) {
        period_text.remove_suffix(1);
    }
    std::uint64_t quota = 0;
    std::uint64_t period = 0;
    auto q = std::from_chars(quota_text.data(), quota_text.data() + quota_text.size(), quota);
    auto p = std::from_chars(period_text.data(), period_text.data() + period_text.size(), period);
    if (q.ec != std::errc() || q.ptr != quota_text.data() + quota_text.size() ||
        p.ec != std::errc() || p.ptr != period_text.data() + period_text.size() || period == 0) {
        return std::nullopt;  // "max" (no quota) or malformed
    }
    const std::uint64_t cpus = quota / period + (quota % period != 0 ? 1 : 0);
    return static_cast<std::size_t>(cpus == 0 ? 1 : cpus);
}

void set_current_thread_name(const std::string* name) {
    THREAD_NAME = name;
}

const std::string* current_thread_name_ptr() {
    return THREAD_NAME;
}

}  // namespace detail

}  // namespace rt
