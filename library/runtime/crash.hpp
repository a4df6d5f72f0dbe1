#pragma once
// Guards for a process that runs units of work on its threads: a registry of
// the work in progress, an exit guard that turns exit() or quick_exit() during
// that work into a reported failure, and crash-signal reports that name the
// work a crashing thread was running.
//
// Everything a signal handler writes is prepared before the work starts; the
// handlers themselves only read prepared text, call write(2), try a lock, and
// restore the default action before re-raising the signal.

#include <cstddef>
#include <string>
#include <string_view>

#include "io.hpp"

namespace rt {

/// Registers the calling thread as running the work `name` until destroyed.
/// When the thread crashes meanwhile, the report is `crash_prefix`, the name,
/// `crash_suffix`, "<n> (<SIGNAME>)" and a line feed, followed by what
/// `capture` holds, if anything. The three texts are borrowed: they must
/// outlive the scope. Scopes on one thread must nest. Registering allocates
/// nothing: the record lives in this object, linked into the registry.
class ActiveWork {
public:
    ActiveWork(std::string_view name, std::string_view crash_prefix, std::string_view crash_suffix,
               CaptureBuffer capture);
    ActiveWork(const ActiveWork&) = delete;
    ActiveWork& operator=(const ActiveWork&) = delete;
    ~ActiveWork();

    /// The registry's view of one unit of work in progress.
    struct Record {
        std::string_view name;
        std::string_view crash_prefix;
        std::string_view crash_suffix;
        CaptureBuffer capture;
        Record* outer = nullptr;  // the scope this one nests in, on the same thread
        Record* prev = nullptr;   // neighbours in the registry's list
        Record* next = nullptr;
    };

private:
    Record record_;
};

/// While it lives, exit() or quick_exit() called by anyone in this process
/// writes `prefix`, the names of the work in progress (sorted, joined by
/// ", ") and a line feed to standard error, and ends the process with status
/// 101 instead. _exit() cannot be intercepted. One guard at a time.
class ExitGuard {
public:
    explicit ExitGuard(std::string prefix);
    ExitGuard(const ExitGuard&) = delete;
    ExitGuard& operator=(const ExitGuard&) = delete;
    ~ExitGuard();
};

/// Installs the report handlers for SIGABRT, SIGSEGV, SIGBUS, SIGILL and
/// SIGFPE. A crash on a thread with registered work writes the work's report;
/// a fault in the calling thread's stack guard first writes
/// "\nthread '<name>' has overflowed its stack\n". Then the default action is
/// restored and the signal raised again, so the process still dies by it.
void install_crash_handlers();

/// Gives the calling thread an alternate signal stack, so that a stack
/// overflow can still be reported, and records its stack bounds (the thread
/// was started with `stack_size`; 0 for the main thread). Returns an opaque handle for
/// release_signal_stack (null when it could not be set up).
void* install_signal_stack(std::size_t stack_size);
/// Switches the alternate stack off and keeps it for a later thread; call on
/// the same thread.
void release_signal_stack(void* handle);

/// Marks the coming SIGABRT as already reported (a failure that cannot
/// unwind has written its report and flushed the output); its crash report
/// then writes nothing.
void note_reported_abort();

}  // namespace rt
