#include "library/test/src/runner_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <span>

#include "library/runtime/io.hpp"

namespace test {

namespace {

int open_retrying(const std::string& path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// The name of the temporary file beside `path`: ".NAME.PID.tmp" in its directory.
std::string temporary_beside(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, base) + "." + path.substr(base) + "." + std::to_string(::getpid()) +
           ".tmp";
}

// Creates a fresh temporary file beside `path`; a stale one of an earlier
// process with the same id is replaced.
rt::IoResult<int> create_temporary(const std::string& temporary) {
    int fd = open_retrying(temporary, O_WRONLY | O_CREAT | O_EXCL);
    if (fd < 0 && errno == EEXIST && ::unlink(temporary.c_str()) == 0) {
        fd = open_retrying(temporary, O_WRONLY | O_CREAT | O_EXCL);
    }
    if (fd < 0) {
        return rt::IoError::last_os_error();
    }
    return fd;
}

}  // namespace

rt::IoResult<void> touch_file(const std::string& path) {
    const int fd = open_retrying(path, O_WRONLY | O_CREAT);
    if (fd < 0) {
        return rt::IoError::last_os_error();
    }
    const bool touched = ::futimens(fd, nullptr) == 0;
    const rt::IoError error = rt::IoError::last_os_error();
    ::close(fd);
    if (!touched) {
        return error;
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
    const int fd = open_retrying(*path, O_WRONLY | O_CREAT | O_APPEND);
    if (fd < 0) {
        return;
    }
    rt::FdWriter out(fd);
    (void)out.write_str(line);
    ::close(fd);
}

rt::IoResult<void> check_replaceable(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return rt::IoError::from_errno(EISDIR);
    }
    const std::string temporary = temporary_beside(path);
    rt::IoResult<int> fd = create_temporary(temporary);
    if (!fd.ok()) {
        return fd.error();
    }
    ::close(fd.value());
    ::unlink(temporary.c_str());
    return {};
}

rt::IoResult<void> replace_file(const std::string& path, std::string_view content) {
    const std::string temporary = temporary_beside(path);
    rt::IoResult<int> fd = create_temporary(temporary);
    if (!fd.ok()) {
        return fd.error();
    }
    rt::FdWriter out(fd.value());
    rt::IoResult<void> written = out.write_str(content);
    if (::close(fd.value()) != 0 && written.ok()) {
        written = rt::IoError::last_os_error();
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
