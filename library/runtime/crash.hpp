#pragma once
// Guards for a process that runs units of work on its threads: a registry of
// the work in progress, an exit guard that turns exit() or quick_exit() during
// that work into a reported failure, and crash-signal reports that name the
// work a crashing thread was running.
//
// Everything a signal handler writes is prepared before the work starts; the
// handlers themselves only read prepared text, call write(2), try a lock, and
// restore the default action before re-raising the signal.

#include <string>

#include "library/runtime/io.hpp"

namespace rt {

namespace detail {
struct WorkRecord;
}  // namespace detail

/// Registers the calling thread as running the work `name` until destroyed.
/// When the thread crashes meanwhile, the report starts with `crash_header`
/// (the handler appends "<n> (<SIGNAME>)" and a line feed) and is followed by
/// what `capture` holds, if anything. Scopes on one thread must nest.
class ActiveWork {
public:
    ActiveWork(std::string name, std::string crash_header, CaptureBuffer capture);
    ActiveWork(const ActiveWork&) = delete;
    ActiveWork& operator=(const ActiveWork&) = delete;
    ~ActiveWork();

private:
    detail::WorkRecord* record_;
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
/// overflow can still be reported, and records its stack bounds. Returns an
/// opaque handle for release_signal_stack (null when it could not be set up).
void* install_signal_stack();
/// Switches the alternate stack off and keeps it for a later thread; call on
/// the same thread.
void release_signal_stack(void* handle);

/// Marks the coming SIGABRT as already reported (a failure that cannot
/// unwind has written its report and flushed the output); its crash report
/// then writes nothing.
void note_reported_abort();

}  // namespace rt
