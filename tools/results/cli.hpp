#pragma once
// The command line of zuno-results: one verb per task (ingest, runs, show,
// failed, flaky, slow, history, by-label), the options they share, and the
// exit status. Commands are rows of one table, so a new verb is one function
// and one row.

#include <string>
#include <vector>

namespace zuno::results {

/// Exit status: the command did what was asked.
inline constexpr int EXIT_OK = 0;
/// Exit status: some input was not stored (ingest), or a query found nothing to answer.
inline constexpr int EXIT_PARTIAL = 1;
/// Exit status: a usage error, or the database could not be used.
inline constexpr int EXIT_ERROR = 2;

/// Runs the command line `args` (without the program name), writing answers
/// to standard output and messages to standard error. Returns the exit status.
int run_command_line(const std::vector<std::string>& args);

}  // namespace zuno::results
