#pragma once
// Process start: prepares the runtime and runs the program's main function.

namespace rt {

/// Prepares the runtime (descriptors 0 to 2 open, arguments, main-thread
/// identity, standard streams, SIGPIPE ignored, interrupts end the child
/// groups first, crash reports), calls `main_fn`, and returns the exit status: 0 when it
/// returns, 101 when a panic escapes it (the hook has printed the report).
int lang_start(int argc, char** argv, void (*main_fn)());

}  // namespace rt
