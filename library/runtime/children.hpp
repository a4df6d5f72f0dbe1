#pragma once
// Live child process groups, and their end when this process is interrupted or
// ends early.
//
// Children that lead a process group of their own (Command::own_group) are
// listed in a fixed-size, lock-free registry together with the grace they get
// between SIGTERM and SIGKILL. end_child_groups() ends every listed group; it
// is async-signal-safe, so it may run from a signal handler or an exit path. Once it has started,
// the process is ending: threads that try to register or reap a listed child block for good, so
// that no group id is signalled after its leader has been reaped (and the id possibly reused).

#include <sys/types.h>

#include <chrono>

namespace rt {

/// Lists `pid`, the leader of its own process group, with the grace it gets
/// between SIGTERM and SIGKILL. Returns the slot, or -1 when the registry is
/// full (the child then relies on its parent-death signal alone). When the
/// process is already ending, kills the group and blocks for good.
int register_child_group(pid_t pid, std::chrono::milliseconds grace);

/// Removes slot `slot` (ignored when -1); call it after the child has ended
/// and before it is reaped. When the process is ending, the group belongs to
/// end_child_groups() and the caller blocks for good.
void unregister_child_group(int slot);

/// Ends every listed group: SIGTERM to each, up to its grace for its leader to
/// end, SIGKILL to the group, then reaps the leaders. An interrupt signal
/// caught meanwhile cuts the wait short. Async-signal-safe. Runs once per
/// process; any later caller blocks for good.
void end_child_groups();
/// As end_child_groups(), but when another thread is already ending the
/// groups, waits until it is done instead, and returns at once when that is
/// done or is the calling thread's own work (the process is ending either
/// way): for a crash, which may follow an end of the groups on its own thread.
void end_child_groups_unless_begun();

/// Installs a handler for SIGINT, SIGTERM, SIGHUP and SIGQUIT (each one that is
/// not ignored): the first such signal ends every listed group, then the
/// process ends by that same signal (default action restored, signal raised
/// again); a second one cuts the grace wait short. A return from main or
/// exit() ends the groups too. Idempotent; called by lang_start.
void install_interrupt_cleanup();

}  // namespace rt
