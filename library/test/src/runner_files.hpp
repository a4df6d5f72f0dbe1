#pragma once
// Files that a calling test runner or CI system asks for: markers it watches
// (created, touched, removed), a copy of the run's warnings, and report files
// that must appear whole or not at all.

#include <optional>
#include <string>
#include <string_view>

#include "result.hpp"

namespace test {

/// Creates `path` (permission bits 0666 before the umask) or, when it exists,
/// updates its modification time. The content is left as it is.
rt::IoResult<void> touch_file(const std::string& path);

/// Removes `path`; a file that is already gone is no error.
rt::IoResult<void> remove_file(const std::string& path);

/// Appends `line` to the file at `path` (created when absent), when a path is
/// given. This is a copy of what the console shows, so failures are ignored.
void append_line(const std::optional<std::string>& path, std::string_view line);

/// Checks, before a run, that a file can later be written whole to `path`:
/// the path is not a directory and its directory accepts new files.
rt::IoResult<void> check_replaceable(const std::string& path);

/// Writes `content` to a new file beside `path` and renames it to `path`, so
/// that readers (and a run killed meanwhile) see the old file or the whole new
/// one, never a part.
rt::IoResult<void> replace_file(const std::string& path, std::string_view content);

}  // namespace test
