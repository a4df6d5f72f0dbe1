#include "runner_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <span>

#include "fd.hpp"

namespace test {

namespace {

// The name of the temporary file beside `path`: ".NAME.PID.tmp" in its directory.
std::string temporary_beside(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, base) + "." + path.substr(base) + "." + std::to_string(::getpid()) +
           ".tmp";
}

// Creates a fresh temporary file beside `path`; a stale one of an earlier
// process with the same id is replaced.
rt::IoResult<rt::Fd> create_temporary(const std::string& temporary) {
    auto fd = rt::Fd::open(temporary, O_WRONLY | O_CREAT | O_EXCL);
    if (!fd && fd.error().raw_os_error() == EEXIST && ::unlink(temporary.c_str()) == 0) {
        return rt::Fd::open(temporary, O_WRONLY | O_CREAT | O_EXCL);
    }
    return fd;
}

}  // namespace

rt::IoResult<void> touch_file(const std::string& path) {
    const auto fd = rt::Fd::open(path, O_WRONLY | O_CREAT);
    RT_TRY(fd);
    if (::futimens(fd->get(), nullptr) != 0) {
        return rt::IoError::last_os_error();
    }
    return {};
}

rt::IoResult<void> remove_file(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return rt::IoError::last_os_error();
    }
    return {};
}

void append_line(const std::optional<std::string>& path, std::string_view line) {
    if (!path) {
        return;
    }
    if (const auto fd = rt::Fd::open(*path, O_WRONLY | O_CREAT | O_APPEND)) {
        (void)fd->write_str(line);
    }
}

rt::IoResult<void> check_replaceable(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return rt::IoError::from_errno(EISDIR);
    }
    const std::string temporary = temporary_beside(path);
    RT_TRY(create_temporary(temporary));
    ::unlink(temporary.c_str());
    return {};
}

rt::IoResult<void> replace_file(const std::string& path, std::string_view content) {
    const std::string temporary = temporary_beside(path);
    auto fd = create_temporary(temporary);
    RT_TRY(fd);
    rt::IoResult<void> written = fd->write_str(content);
    rt::IoResult<void> closed = fd->close();
    if (written.ok() && !closed.ok()) {
        written = closed;
    }
    if (written.ok() && ::rename(temporary.c_str(), path.c_str()) != 0) {
        written = rt::IoError::last_os_error();
    }
    if (!written.ok()) {
        ::unlink(temporary.c_str());
    }
    return written;
}

}  // namespace test
