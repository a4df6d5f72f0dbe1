#include "children.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>

namespace rt {

namespace {

// One registry entry: the leader's pid in the low 32 bits, its grace in
// milliseconds in the high 32 bits; 0 when free. One word, so that a reader in
// a signal handler never sees half an entry.
constexpr int kSlots = 128;
std::atomic<std::uint64_t> slots[kSlots];

// The thread that ends the groups, set once end_child_groups() has begun and
// never cleared; `ended` is set once it is done.
std::atomic<pid_t> ender{0};
std::atomic<bool> ended{false};

bool ending() {
    return ender.load() != 0;
}

// Set by an interrupt that arrives while the groups are being ended: the grace
// wait stops early.
std::atomic<bool> cut_short{false};

constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

std::uint64_t pack(pid_t pid, std::chrono::milliseconds grace) {
    const auto ms = grace.count() < 0 ? 0 : static_cast<std::uint64_t>(grace.count());
    const std::uint64_t capped = ms > UINT32_MAX ? UINT32_MAX : ms;
    return (capped << 32) | static_cast<std::uint32_t>(pid);
}

pid_t pid_of(std::uint64_t entry) {
    return static_cast<pid_t>(static_cast<std::uint32_t>(entry));
}

std::int64_t grace_ms_of(std::uint64_t entry) {
    return static_cast<std::int64_t>(entry >> 32);
}

[[noreturn]] void block_for_good() {
    while (true) {
        ::pause();
    }
}

std::int64_t monotonic_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// True once `pid` has ended; the child is left unreaped.
bool has_ended(pid_t pid) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return errno != EINTR;  // ECHILD: nothing left to wait for
    }
    return info.si_pid == pid;
}

// Sleeps about `ms` milliseconds (less when a signal arrives); returns true
// once an interrupt has asked to cut the grace wait short.
bool interrupted_within(int ms) {
    timespec pause{0, static_cast<long>(ms) * 1000000L};
    ::nanosleep(&pause, nullptr);
    return cut_short.load();
}

// The handler of the interrupt signals. It runs on whichever thread the signal
// reaches and does all its work there with async-signal-safe calls only: end
// every listed group, restore the default action of `signal` and raise it
// again, so that the process ends the way it was asked to. The handler may
// nest (SA_NODEFER, nothing else blocked): a later interrupt only cuts the
// first one's grace wait short.
extern "C" void on_interrupt(int signal) {
    if (ending()) {
        cut_short.store(true);
        return;
    }
    end_child_groups();
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signal);
    ::_exit(128 + signal);
}

}  // namespace

int register_child_group(pid_t pid, std::chrono::milliseconds grace) {
    const std::uint64_t entry = pack(pid, grace);
    int slot = -1;
    for (int i = 0; i < kSlots && slot < 0; ++i) {
        std::uint64_t free = 0;
        if (slots[i].compare_exchange_strong(free, entry)) {
            slot = i;
        }
    }
    // The entry is stored before `ender` is read, and end_child_groups() sets
    // `ender` before it reads the entries: one of the two sees the other.
    if (ending()) {
        ::kill(-pid, SIGKILL);
        block_for_good();
    }
    return slot;
}

void unregister_child_group(int slot) {
    if (slot < 0 || slot >= kSlots) {
        return;
    }
    slots[slot].store(0);
    // Cleared before `ender` is read: when end_child_groups() has not begun
    // yet, it will not see this entry, and the owner may reap the child.
    if (ending()) {
        block_for_good();
    }
}

void end_child_groups_unless_begun() {
    if (!ending()) {
        end_child_groups();
        return;
    }
    // Another thread is ending the groups: the process must not die before
    // it has sent SIGKILL to what ignored SIGTERM.
    if (ender.load() == ::gettid()) {
        return;
    }
    while (!ended.load()) {
        (void)interrupted_within(1);
    }
}

void end_child_groups() {
    pid_t none = 0;
    if (!ender.compare_exchange_strong(none, ::gettid())) {
        block_for_good();
    }
    struct Group {
        pid_t pid;
        std::int64_t deadline_ms;
        bool killed;
    };
    Group groups[kSlots];
    int count = 0;
    const std::int64_t start = monotonic_ms();
    for (auto& slot : slots) {
        const std::uint64_t entry = slot.load();
        if (entry == 0) {
            continue;
        }
        const pid_t pid = pid_of(entry);
        groups[count++] = {pid, start + grace_ms_of(entry), false};
        ::kill(-pid, SIGTERM);
    }
    // Each group gets SIGKILL once its leader has ended or its grace is over.
    bool cut_short = false;
    for (int left = count; left > 0;) {
        const std::int64_t now = monotonic_ms();
        for (int i = 0; i < count; ++i) {
            Group& g = groups[i];
            if (!g.killed && (cut_short || now >= g.deadline_ms || has_ended(g.pid))) {
                ::kill(-g.pid, SIGKILL);
                g.killed = true;
                --left;
            }
        }
        if (left > 0 && !cut_short) {
            cut_short = interrupted_within(5);
        }
    }
    for (int i = 0; i < count; ++i) {
        int status = 0;
        while (::waitpid(groups[i].pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    ended.store(true);
}

void install_interrupt_cleanup() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (int s : kInterruptSignals) {
            struct sigaction current {};
            ::sigaction(s, nullptr, &current);
            if (current.sa_handler == SIG_IGN) {
                continue;  // e.g. SIGHUP under nohup: stays ignored
            }
            struct sigaction action {};
            action.sa_handler = on_interrupt;
            sigemptyset(&action.sa_mask);
            action.sa_flags = SA_RESTART | SA_NODEFER;
            ::sigaction(s, &action, nullptr);
        }
        // A return from main or exit() while children run ends them the same way.
        std::atexit([] { end_child_groups(); });
    });
}

}  // namespace rt
