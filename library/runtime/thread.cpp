#include "thread.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
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

RT_PASSES_FORCED_UNWIND void* thread_start(void* raw) {
    // Take over the reference that spawn_thread left in the packet for us.
    std::shared_ptr<detail::ThreadPacket> packet =
        std::move(static_cast<detail::ThreadPacket*>(raw)->self);

    THREAD_NAME = &packet->name;
    // The kernel keeps at most 15 bytes of a thread name.
    const std::string short_name = packet->name.substr(0, 15);
    pthread_setname_np(pthread_self(), short_name.c_str());
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

}  // namespace

JoinHandle::JoinHandle(JoinHandle&& other) noexcept
    : native_(other.native_),
      packet_(std::move(other.packet_)),
      joinable_(std::exchange(other.joinable_, false)) {}

JoinHandle& JoinHandle::operator=(JoinHandle&& other) noexcept {
    if (this != &other) {
        if (joinable_) {
            pthread_detach(static_cast<pthread_t>(native_));
        }
        native_ = other.native_;
        packet_ = std::move(other.packet_);
        joinable_ = std::exchange(other.joinable_, false);
    }
    return *this;
}

JoinHandle::~JoinHandle() {
    if (joinable_) {
        pthread_detach(static_cast<pthread_t>(native_));
    }
}

std::optional<Payload> JoinHandle::join() {
    if (!joinable_) {
        return std::nullopt;
    }
    joinable_ = false;
    pthread_join(static_cast<pthread_t>(native_), nullptr);
    return take_failure();
}

std::optional<Payload> JoinHandle::join_ending() {
    if (!joinable_) {
        return std::nullopt;
    }
    joinable_ = false;
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
