#include "fd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "io.hpp"

namespace rt {

IoResult<Fd> Fd::open(const std::string& path, int flags, unsigned mode) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(mode));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return IoError::last_os_error();
    }
    return Fd(fd);
}

void Fd::reset() {
    if (fd_ >= 0) {
        ::close(std::exchange(fd_, -1));
    }
}

IoResult<void> Fd::close() {
    // close is not retried after EINTR: the descriptor is gone either way.
    if (fd_ >= 0 && ::close(std::exchange(fd_, -1)) != 0 && errno != EINTR) {
        return IoError::last_os_error();
    }
    return {};
}

IoResult<void> Fd::write_all(std::span<const std::uint8_t> bytes) const {
    return write_fd(fd_, bytes);
}

IoResult<std::vector<std::uint8_t>> Fd::read_to_end(std::size_t limit) const {
    std::vector<std::uint8_t> data;
    std::size_t filled = 0;
    while (filled < limit) {
        if (data.size() - filled < 4096) {
            data.resize(std::min(limit, data.size() + 16384));
        }
        const ssize_t n = ::read(fd_, data.data() + filled, data.size() - filled);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return IoError::last_os_error();
        }
        if (n == 0) {
            break;
        }
        filled += static_cast<std::size_t>(n);
    }
    data.resize(filled);
    return data;
}

}  // namespace rt
