#include "io.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <new>
#include <optional>
#include <streambuf>

namespace rt {

namespace {

// The calling thread's capture sink; null when output goes to the descriptors.
// It sits in raw storage: a thread-local with a destructor costs every thread
// that touches it an allocation, to register the destructor. A thread that
// sets a sink registers the slot under a thread-specific key instead, whose
// destructor clears it when the thread ends; the first keys live in the
// thread's own descriptor, so that costs no allocation.
class CaptureSlot {
public:
    CaptureBuffer& get() {
        if (!live_) {
            new (bytes_) CaptureBuffer();
            live_ = true;
        }
        return *std::launder(reinterpret_cast<CaptureBuffer*>(bytes_));
    }
    /// Makes sure the slot is cleared when the calling thread ends.
    void clear_at_thread_end() {
        // Without a key (the process has used them all up) a sink left set
        // at a thread's end is never released: a leak, no worse.
        static const std::optional<pthread_key_t> key = []() -> std::optional<pthread_key_t> {
            pthread_key_t k{};
            if (pthread_key_create(
                    &k, [](void* slot) { static_cast<CaptureSlot*>(slot)->get().reset(); }) != 0) {
                return std::nullopt;
            }
            return k;
        }();
        if (!registered_ && key) {
            registered_ = pthread_setspecific(*key, this) == 0;
        }
    }
    /// The thread's start routine clears the slot itself: no key is needed.
    void cleared_by_owner() { registered_ = true; }

private:
    alignas(CaptureBuffer) unsigned char bytes_[sizeof(CaptureBuffer)];
    bool live_ = false;
    bool registered_ = false;
};
thread_local CaptureSlot CAPTURE_SLOT;

void append_to(const CaptureBuffer& sink, std::span<const std::uint8_t> bytes) {
    // A poisoned buffer is still written: losing output would hide the failure.
    auto locked = sink->lock();
    locked.guard->append(bytes);
}

void write_std(int fd, std::span<const std::uint8_t> bytes) {
    if (const CaptureBuffer& sink = CAPTURE_SLOT.get()) {
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

void CapturedOutput::append(std::span<const std::uint8_t> bytes) {
    if (head_.size() < head_limit_) {
        const std::size_t n = std::min(bytes.size(), head_limit_ - head_.size());
        // Grow by doubling, but never past the head's limit.
        if (head_.size() + n > head_.capacity()) {
            head_.reserve(std::min(std::max(head_.capacity() * 2, head_.size() + n), head_limit_));
        }
        head_.insert(head_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
        bytes = bytes.subspan(n);
    }
    if (bytes.empty() || tail_limit_ == 0) {
        omitted_ += bytes.size();
        return;
    }
    if (tail_.empty()) {
        tail_.resize(tail_limit_);
    }
    if (bytes.size() >= tail_limit_) {
        // Everything kept so far in the tail, and the start of `bytes`, drops out.
        omitted_ += tail_len_ + (bytes.size() - tail_limit_);
        std::copy(bytes.end() - static_cast<std::ptrdiff_t>(tail_limit_), bytes.end(),
                  tail_.begin());
        tail_start_ = 0;
        tail_len_ = tail_limit_;
        return;
    }
    const std::size_t overflow =
        tail_len_ + bytes.size() > tail_limit_ ? tail_len_ + bytes.size() - tail_limit_ : 0;
    std::size_t at = (tail_start_ + tail_len_) % tail_limit_;
    for (std::size_t done = 0; done < bytes.size();) {
        const std::size_t n = std::min(bytes.size() - done, tail_limit_ - at);
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(done), n,
                    tail_.begin() + static_cast<std::ptrdiff_t>(at));
        done += n;
        at = (at + n) % tail_limit_;
    }
    omitted_ += overflow;
    tail_start_ = (tail_start_ + overflow) % tail_limit_;
    tail_len_ = std::min(tail_len_ + bytes.size(), tail_limit_);
}

std::vector<std::uint8_t> CapturedOutput::copy() const {
    std::size_t total = 0;
    for_each_piece([&](const std::uint8_t*, std::size_t size) { total += size; });
    std::vector<std::uint8_t> shown;
    shown.reserve(total);
    for_each_piece([&](const std::uint8_t* data, std::size_t size) {
        shown.insert(shown.end(), data, data + size);
    });
    return shown;
}

std::vector<std::uint8_t> CapturedOutput::take() {
    std::vector<std::uint8_t> shown = omitted_ == 0 && tail_len_ == 0 ? std::move(head_) : copy();
    head_ = {};
    tail_ = {};
    tail_start_ = 0;
    tail_len_ = 0;
    omitted_ = 0;
    return shown;
}

std::size_t CapturedOutput::omission_line(char* out, std::size_t capacity) const {
    // By hand rather than snprintf: this runs in signal handlers too.
    char digits[24];
    std::size_t count = 0;
    std::uint64_t value = omitted_;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    constexpr std::string_view before = "[... ";
    constexpr std::string_view after = " bytes of output omitted ...]\n";
    std::size_t at = 0;
    auto put = [&](char c) {
        if (at < capacity) {
            out[at++] = c;
        }
    };
    for (char c : before) {
        put(c);
    }
    while (count > 0) {
        put(digits[--count]);
    }
    for (char c : after) {
        put(c);
    }
    return at;
}

CaptureBuffer make_capture_buffer() {
    return std::make_shared<Mutex<CapturedOutput>>();
}

CaptureBuffer make_capture_buffer(std::size_t limit) {
    return std::make_shared<Mutex<CapturedOutput>>(CapturedOutput(limit));
}

CaptureBuffer set_output_capture(CaptureBuffer sink) {
    if (sink) {
        CAPTURE_SLOT.clear_at_thread_end();
    }
    CaptureBuffer& slot = CAPTURE_SLOT.get();
    CaptureBuffer previous = std::move(slot);
    slot = std::move(sink);
    return previous;
}

CaptureBuffer current_output_capture() {
    return CAPTURE_SLOT.get();
}

// Setting a thread-specific value makes the C library walk every key at the
// thread's end (several hundred instructions per thread): a start routine
// that outlives all of its thread's output clears the slot itself instead.
CaptureEndsHere::CaptureEndsHere() {
    CAPTURE_SLOT.cleared_by_owner();
}

CaptureEndsHere::~CaptureEndsHere() {
    CAPTURE_SLOT.get().reset();
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
