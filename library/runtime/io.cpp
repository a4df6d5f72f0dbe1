#include "library/runtime/io.hpp"

#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <streambuf>

namespace rt {

namespace {

// The calling thread's capture sink; null when output goes to the descriptors.
thread_local CaptureBuffer CAPTURE;

void append_to(const CaptureBuffer& sink, std::span<const std::uint8_t> bytes) {
    // A poisoned buffer is still written: losing output would hide the failure.
    auto locked = sink->lock();
    locked.guard->insert(locked.guard->end(), bytes.begin(), bytes.end());
}

void write_std(int fd, std::span<const std::uint8_t> bytes) {
    if (const CaptureBuffer& sink = CAPTURE) {
        append_to(sink, bytes);
        return;
    }
    std::lock_guard lock(fd == 1 ? stdout_lock() : stderr_lock());
    (void)write_fd(fd, bytes);
}

// An unbuffered stream buffer that hands every character straight to
// print/eprint, so std::cout and friends follow the thread's capture.
class CaptureStreambuf final : public std::streambuf {
public:
    explicit CaptureStreambuf(int fd) : fd_(fd) {}

protected:
    int_type overflow(int_type ch) override {
        if (traits_type::eq_int_type(ch, traits_type::eof())) {
            return traits_type::not_eof(ch);
        }
        const auto byte = static_cast<std::uint8_t>(traits_type::to_char_type(ch));
        write_std(fd_, {&byte, 1});
        return ch;
    }
    std::streamsize xsputn(const char_type* text, std::streamsize count) override {
        if (count > 0) {
            write_std(fd_, {reinterpret_cast<const std::uint8_t*>(text),
                            static_cast<std::size_t>(count)});
        }
        return count;
    }
    int sync() override { return 0; }

private:
    int fd_;
};

// Installed at static initialisation too, so programs whose main() is not
// lang_start (unit tests) get capture-aware std streams.
struct InstallAtStart {
    InstallAtStart() { install_std_streams(); }
} INSTALL_AT_START;

}  // namespace

IoResult<void> write_fd(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return IoError::last_os_error();
        }
        if (n == 0) {
            return IoError::custom(ErrorKind::WriteZero, "failed to write whole buffer");
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return {};
}

BufWriter::~BufWriter() {
    (void)hand_on();
}

IoResult<void> BufWriter::write_all(std::span<const std::uint8_t> bytes) {
    if (waiting_.size() + bytes.size() > capacity_) {
        RT_TRY(hand_on());
    }
    if (bytes.size() >= capacity_) {
        return inner_->write_all(bytes);
    }
    waiting_.insert(waiting_.end(), bytes.begin(), bytes.end());
    return {};
}

IoResult<void> BufWriter::flush() {
    RT_TRY(hand_on());
    return inner_->flush();
}

IoResult<void> BufWriter::hand_on() {
    if (waiting_.empty()) {
        return {};
    }
    IoResult<void> written = inner_->write_all(waiting_);
    waiting_.clear();
    return written;
}

IoResult<void> FdWriter::write_all(std::span<const std::uint8_t> bytes) {
    if (fd_ == 1 || fd_ == 2) {
        std::lock_guard lock(fd_ == 1 ? stdout_lock() : stderr_lock());
        return write_fd(fd_, bytes);
    }
    return write_fd(fd_, bytes);
}

CaptureBuffer make_capture_buffer() {
    return std::make_shared<Mutex<std::vector<std::uint8_t>>>();
}

CaptureBuffer set_output_capture(CaptureBuffer sink) {
    CaptureBuffer previous = std::move(CAPTURE);
    CAPTURE = std::move(sink);
    return previous;
}

CaptureBuffer current_output_capture() {
    return CAPTURE;
}

void print(std::string_view text) {
    print_bytes({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

void eprint(std::string_view text) {
    eprint_bytes({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

void print_bytes(std::span<const std::uint8_t> bytes) {
    write_std(1, bytes);
}

void eprint_bytes(std::span<const std::uint8_t> bytes) {
    write_std(2, bytes);
}

// The locks are never destroyed: a thread may hold one until the process ends.
std::recursive_mutex& stdout_lock() {
    static auto* lock = new std::recursive_mutex;
    return *lock;
}

std::recursive_mutex& stderr_lock() {
    static auto* lock = new std::recursive_mutex;
    return *lock;
}

void lock_stdout_forever() {
    stdout_lock().lock();
}

void lock_stderr_forever() {
    stderr_lock().lock();
}

void install_std_streams() {
    // Constructed once and never destroyed, so the streams stay usable during exit.
    static auto* out = new CaptureStreambuf(1);
    static auto* err = new CaptureStreambuf(2);
    std::cout.flush();
    std::cerr.flush();
    std::clog.flush();
    if (std::cout.rdbuf() != out) {
        std::cout.rdbuf(out);
    }
    if (std::cerr.rdbuf() != err) {
        std::cerr.rdbuf(err);
    }
    if (std::clog.rdbuf() != err) {
        std::clog.rdbuf(err);
    }
}

}  // namespace rt
