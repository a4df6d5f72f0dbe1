#pragma once
// An owned file descriptor, closed when its owner goes out of scope, with the
// few whole operations the runtime and the harness need: open, write all,
// read to the end. Interrupted calls are retried; errors are returned. An Fd
// is used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "result.hpp"

namespace rt {

class Fd {
public:
    /// No descriptor.
    Fd() = default;
    /// Takes ownership of `fd` (-1 for none).
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    /// Opens `path` with `flags` plus O_CLOEXEC; a file it creates gets the
    /// permission bits `mode` before the umask.
    static IoResult<Fd> open(const std::string& path, int flags, unsigned mode = 0666);

    /// The descriptor, or -1; it stays owned.
    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool is_open() const { return fd_ >= 0; }
    /// Gives up ownership and returns the descriptor.
    int release() { return std::exchange(fd_, -1); }
    /// Closes the descriptor now, if there is one; an error of close is dropped.
    void reset();
    /// Closes the descriptor now and reports an error of close (written data
    /// may only then be known to be lost).
    IoResult<void> close();

    /// Writes every byte, continuing after short writes.
    IoResult<void> write_all(std::span<const std::uint8_t> bytes) const;
    IoResult<void> write_str(std::string_view text) const {
        return write_all({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    }
    /// Reads until end of file, or until `limit` bytes have been read.
    IoResult<std::vector<std::uint8_t>> read_to_end(std::size_t limit) const;

private:
    int fd_ = -1;
};

}  // namespace rt
