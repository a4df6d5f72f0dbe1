#include "crash.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <tuple>
#include <utility>
#include <vector>

#include "children.hpp"
#include "thread.hpp"

namespace rt {

namespace {

using WorkRecord = ActiveWork::Record;

// The work in progress of every thread, a list linked through the records;
// read by the exit guard.
struct Registry {
    std::mutex mutex;
    WorkRecord* head = nullptr;
};

Registry& registry() {
    static auto* r = new Registry;  // never destroyed: read during exit
    return *r;
}

// The innermost work of the calling thread; read by the crash handler.
thread_local WorkRecord* CURRENT_WORK = nullptr;

// The exit guard in force (its prefix), and the process that armed it: a
// child forked afterwards must exit as it likes.
std::atomic<const std::string*> EXIT_PREFIX{nullptr};
std::atomic<const std::string*> RETIRED_EXIT_PREFIX{nullptr};
std::atomic<pid_t> EXIT_PID{0};

std::atomic<bool> ABORT_REPORTED{false};

// The calling thread's stack guard, [GUARD_LOW, GUARD_HIGH); empty when unknown.
thread_local std::uintptr_t GUARD_LOW = 0;
thread_local std::uintptr_t GUARD_HIGH = 0;

constexpr std::size_t SIGNAL_STACK_SIZE = 64 * 1024;

// Signal stacks of ended threads, kept for the threads that follow. A run
// starts a thread per test; mapping and unmapping a stack for each costs two
// system calls, and every unmapping interrupts the other CPUs running this
// process to flush their address translations.
struct SignalStackPool {
    std::mutex mutex;
    std::vector<void*> free;
};
constexpr std::size_t POOL_LIMIT = 256;

SignalStackPool& signal_stack_pool() {
    static auto* pool = new SignalStackPool;  // never destroyed: threads may end after exit starts
    return *pool;
}

void* take_signal_stack() {
    SignalStackPool& pool = signal_stack_pool();
    {
        std::lock_guard lock(pool.mutex);
        if (!pool.free.empty()) {
            void* memory = pool.free.back();
            pool.free.pop_back();
            return memory;
        }
    }
    void* memory = ::mmap(nullptr, SIGNAL_STACK_SIZE, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
}

void give_back_signal_stack(void* memory) {
    SignalStackPool& pool = signal_stack_pool();
    {
        std::lock_guard lock(pool.mutex);
        if (pool.free.size() < POOL_LIMIT) {
            pool.free.push_back(memory);
            return;
        }
    }
    ::munmap(memory, SIGNAL_STACK_SIZE);
}

void raw_write(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(2, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void raw_write(std::string_view text) {
    raw_write(text.data(), text.size());
}

void on_exit() {
    const std::string* prefix = EXIT_PREFIX.load();
    if (prefix == nullptr || EXIT_PID.load() != ::getpid()) {
        return;
    }
    std::vector<std::string> names;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        for (const WorkRecord* record = r.head; record != nullptr; record = record->next) {
            names.emplace_back(record->name);
        }
    }
    std::sort(names.begin(), names.end());
    std::string message = *prefix;
    for (std::size_t i = 0; i < names.size(); ++i) {
        message += (i == 0 ? "" : ", ") + names[i];
    }
    message += '\n';
    raw_write(message);
    // The exit handlers that would have ended them are skipped by _exit.
    end_child_groups();
    ::_exit(101);
}

void install_exit_handlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::atexit(&on_exit);
        std::at_quick_exit(&on_exit);
    });
}

const char* signal_name(int sig) {
    switch (sig) {
        case SIGABRT:
            return "SIGABRT";
        case SIGSEGV:
            return "SIGSEGV";
        case SIGBUS:
            return "SIGBUS";
        case SIGILL:
            return "SIGILL";
        case SIGFPE:
            return "SIGFPE";
        default:
            return "?";
    }
}

constexpr int CRASH_SIGNALS[] = {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE};

void write_number(int value) {
    char digits[16];
    std::size_t at = sizeof digits;
    unsigned v = static_cast<unsigned>(value);
    do {
        digits[--at] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0 && at > 0);
    raw_write(digits + at, sizeof digits - at);
}

void on_crash_signal(int sig, siginfo_t* info, void*) {
    const int saved_errno = errno;
    if ((sig == SIGSEGV || sig == SIGBUS) && info != nullptr) {
        const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
        if (GUARD_LOW < GUARD_HIGH && address >= GUARD_LOW && address < GUARD_HIGH) {
            const std::string* name = detail::current_thread_name_ptr();
            raw_write("\nthread '");
            raw_write(name != nullptr ? std::string_view(*name) : std::string_view("<unnamed>"));
            raw_write("' has overflowed its stack\n");
        }
    }
    const WorkRecord* work = CURRENT_WORK;
    if (work != nullptr && !(sig == SIGABRT && ABORT_REPORTED.load())) {
        raw_write(work->crash_prefix);
        raw_write(work->name);
        raw_write(work->crash_suffix);
        write_number(sig);
        raw_write(" (");
        raw_write(signal_name(sig));
        raw_write(")\n");
        // The output is written only when nobody else holds the buffer: a
        // thread stopped while holding it would block this one for good.
        if (work->capture) {
            if (auto locked = work->capture->try_lock()) {
                locked->guard->for_each_piece([](const std::uint8_t* data, std::size_t size) {
                    raw_write(reinterpret_cast<const char*>(data), size);
                });
            }
        }
    }
    // The process is about to die: the child groups it started end first
    // (their leaders would get the parent-death signal, but not what they
    // started in turn).
    end_child_groups_unless_begun();
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(sig, &action, nullptr);
    // Raised again on return: a fault repeats itself, other signals are pending.
    ::raise(sig);
    errno = saved_errno;
}

}  // namespace

ActiveWork::ActiveWork(std::string_view name, std::string_view crash_prefix,
                       std::string_view crash_suffix, CaptureBuffer capture)
    : record_{name, crash_prefix, crash_suffix, std::move(capture)} {
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        record_.next = r.head;
        if (r.head != nullptr) {
            r.head->prev = &record_;
        }
        r.head = &record_;
    }
    record_.outer = CURRENT_WORK;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    CURRENT_WORK = &record_;
}

ActiveWork::~ActiveWork() {
    CURRENT_WORK = record_.outer;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    (record_.prev != nullptr ? record_.prev->next : r.head) = record_.next;
    if (record_.next != nullptr) {
        record_.next->prev = record_.prev;
    }
}

ExitGuard::ExitGuard(std::string prefix) {
    install_exit_handlers();
    EXIT_PID.store(::getpid());
    EXIT_PREFIX.store(new std::string(std::move(prefix)));
}

ExitGuard::~ExitGuard() {
    // The prefix is kept alive on purpose: a thread may be reading it in
    // on_exit. A static holds it, so leak checkers see it as still reachable.
    RETIRED_EXIT_PREFIX.store(EXIT_PREFIX.exchange(nullptr));
}

void install_crash_handlers() {
    struct sigaction action {};
    action.sa_sigaction = &on_crash_signal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (const int sig : CRASH_SIGNALS) {
        ::sigaction(sig, &action, nullptr);
    }
}

namespace {

// The guard below the stack of a thread that starts with its frames at `top`
// on a stack of `stack_size` bytes. The C library hands the stacks of ended
// threads to new ones, so a run sees the same few stacks over and over; the
// bounds of each are asked for once, since asking costs the thread a system
// call and an allocation. A stack's end and size fix where its guard is.
std::pair<std::uintptr_t, std::uintptr_t> stack_guard(std::uintptr_t top, std::size_t stack_size) {
    struct Entry {
        std::uintptr_t top = 0;
        std::size_t size = 0;
        std::uintptr_t low = 0;
        std::uintptr_t high = 0;
    };
    static std::mutex mutex;
    static std::array<Entry, 32> known;
    static std::size_t next = 0;
    {
        std::lock_guard lock(mutex);
        for (const Entry& e : known) {
            if (e.top == top && e.size == stack_size) {
                return {e.low, e.high};
            }
        }
    }
    Entry entry{top, stack_size, 0, 0};
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* low = nullptr;
        std::size_t size = 0;
        std::size_t guard = 0;
        pthread_attr_getstack(&attr, &low, &size);
        pthread_attr_getguardsize(&attr, &guard);
        pthread_attr_destroy(&attr);
        const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        guard = std::max(guard, page);
        const auto base = reinterpret_cast<std::uintptr_t>(low);
        if (base > guard) {
            entry.low = base - guard;
            entry.high = base;
        }
    }
    std::lock_guard lock(mutex);
    known[next] = entry;
    next = (next + 1) % known.size();
    return {entry.low, entry.high};
}

}  // namespace

void* install_signal_stack(std::size_t stack_size) {
    // Record the guard below the stack: an access there is an overflow.
    static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto top = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) / page * page;
    std::tie(GUARD_LOW, GUARD_HIGH) = stack_guard(top, stack_size);

    void* memory = take_signal_stack();
    if (memory == nullptr) {
        return nullptr;
    }
    stack_t stack{};
    stack.ss_sp = memory;
    stack.ss_size = SIGNAL_STACK_SIZE;
    if (::sigaltstack(&stack, nullptr) != 0) {
        give_back_signal_stack(memory);
        return nullptr;
    }
    return memory;
}

void release_signal_stack(void* handle) {
    GUARD_LOW = 0;
    GUARD_HIGH = 0;
    if (handle == nullptr) {
        return;
    }
    // Switched off whatever the thread has in place by now: its stack goes
    // back to the pool, and the thread is about to end.
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    if (::sigaltstack(&off, nullptr) != 0) {
        return;  // still in use (this cannot happen outside a handler): keep it mapped
    }
    give_back_signal_stack(handle);
}

void note_reported_abort() {
    ABORT_REPORTED.store(true);
}

}  // namespace rt
