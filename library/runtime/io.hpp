#pragma once
// Byte writers, the process's standard streams and per-thread output capture.
//
// print()/eprint() and std::cout/std::cerr/std::clog write to the calling
// thread's capture sink when one is installed, and to file descriptors 1 and 2
// otherwise. The sink is a shared, mutex-protected byte vector; installing one
// returns the previous sink. Output written straight to a file descriptor
// (printf, child processes) is never captured.
//
// The process-wide stdout/stderr locks serialise uncaptured writes; a thread
// may take them for good (see lock_stdout_forever) so that nothing else reaches
// the terminal afterwards.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "result.hpp"
#include "sync.hpp"

namespace rt {

/// A sink for bytes.
class Write {
public:
    virtual ~Write() = default;
    /// Writes every byte or fails with the first error.
    virtual IoResult<void> write_all(std::span<const std::uint8_t> bytes) = 0;
    /// Pushes buffered bytes out (a no-op for unbuffered writers).
    virtual IoResult<void> flush() = 0;

    IoResult<void> write_str(std::string_view text) {
        return write_all({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    }
};

/// Unbuffered writer on a file descriptor it does not own (1 or 2 usually).
/// Retries on EINTR; a short write continues where it stopped.
class FdWriter final : public Write {
public:
    explicit FdWriter(int fd) : fd_(fd) {}
    IoResult<void> write_all(std::span<const std::uint8_t> bytes) override;
    IoResult<void> flush() override { return {}; }

private:
    int fd_;
};

/// Writer that appends to an in-memory vector (for tests and buffering).
class VecWriter final : public Write {
public:
    IoResult<void> write_all(std::span<const std::uint8_t> bytes) override {
        data.insert(data.end(), bytes.begin(), bytes.end());
        return {};
    }
    IoResult<void> flush() override { return {}; }
    std::vector<std::uint8_t> data;
};

/// Keeps written bytes and hands them to `inner` in one write_all on flush(),
/// or as soon as `capacity` bytes are waiting (a piece at least that large
/// goes straight through, after what was waiting). A write error surfaces from
/// the call that hands bytes on; those bytes are dropped. Bytes still waiting
/// when the writer is destroyed are handed on then, errors ignored.
class BufWriter final : public Write {
public:
    explicit BufWriter(std::unique_ptr<Write> inner, std::size_t capacity = 64 * 1024)
        : inner_(std::move(inner)), capacity_(capacity) {}
    BufWriter(const BufWriter&) = delete;
    BufWriter& operator=(const BufWriter&) = delete;
    ~BufWriter() override;
    IoResult<void> write_all(std::span<const std::uint8_t> bytes) override;
    IoResult<void> flush() override;

private:
    IoResult<void> hand_on();
    std::unique_ptr<Write> inner_;
    std::size_t capacity_;
    std::vector<std::uint8_t> waiting_;
};

/// Writes all of `bytes` to descriptor `fd`, retrying on EINTR.
IoResult<void> write_fd(int fd, std::span<const std::uint8_t> bytes);

/// Captured output, bounded: every byte up to `limit`; past that, the first
/// half and the last half of the limit, and the count of the bytes between.
/// Shown with the line "[... <k> bytes of output omitted ...]\n" in their place.
class CapturedOutput {
public:
    /// Keeps everything.
    CapturedOutput() = default;
    /// Keeps at most `limit` bytes.
    explicit CapturedOutput(std::size_t limit)
        : head_limit_(limit / 2), tail_limit_(limit - limit / 2) {}

    /// Appends `bytes`, dropping from the middle what exceeds the limit.
    void append(std::span<const std::uint8_t> bytes);
    /// The bytes as shown (see above); leaves the output empty (limit kept).
    std::vector<std::uint8_t> take();
    /// A copy of the bytes as shown; the output stays as it is.
    [[nodiscard]] std::vector<std::uint8_t> copy() const;
    /// Whether nothing was captured.
    [[nodiscard]] bool empty() const { return head_.empty() && tail_len_ == 0 && omitted_ == 0; }
    /// Calls `piece(const std::uint8_t*, std::size_t)` for each piece of the
    /// shown bytes, in order. Allocates nothing: usable in a signal handler.
    template <typename F>
    void for_each_piece(F&& piece) const {
        if (!head_.empty()) {
            piece(head_.data(), head_.size());
        }
        if (omitted_ > 0) {
            char line[64];
            const std::size_t size = omission_line(line, sizeof line);
            piece(reinterpret_cast<const std::uint8_t*>(line), size);
        }
        const std::size_t first = std::min(tail_len_, tail_.size() - tail_start_);
        if (first > 0) {
            piece(tail_.data() + tail_start_, first);
        }
        if (tail_len_ > first) {
            piece(tail_.data(), tail_len_ - first);
        }
    }

private:
    /// Writes the omission line into `out`; returns its length.
    std::size_t omission_line(char* out, std::size_t capacity) const;

    std::size_t head_limit_ = SIZE_MAX / 2;
    std::size_t tail_limit_ = SIZE_MAX / 2;
    std::vector<std::uint8_t> head_;
    // The last bytes, a ring of tail_limit_ bytes once the head is full.
    std::vector<std::uint8_t> tail_;
    std::size_t tail_start_ = 0;
    std::size_t tail_len_ = 0;
    std::uint64_t omitted_ = 0;
};

/// A capture buffer: captured output behind a poisoning mutex, shared by reference count.
using CaptureBuffer = std::shared_ptr<Mutex<CapturedOutput>>;

/// Makes a new, empty capture buffer that keeps everything.
CaptureBuffer make_capture_buffer();
/// Makes a new, empty capture buffer that keeps at most `limit` bytes.
CaptureBuffer make_capture_buffer(std::size_t limit);

/// Installs `sink` (may be null) as the calling thread's capture; returns the previous one.
CaptureBuffer set_output_capture(CaptureBuffer sink);
/// The calling thread's capture sink, left in place (null when none).
CaptureBuffer current_output_capture();

/// A scope around all of a thread's work, in its start routine: a sink the
/// thread sets meanwhile is cleared when the scope ends. Without it, setting a
/// sink registers a thread-specific key that clears it when the thread ends.
class CaptureEndsHere {
public:
    CaptureEndsHere();
    CaptureEndsHere(const CaptureEndsHere&) = delete;
    CaptureEndsHere& operator=(const CaptureEndsHere&) = delete;
    ~CaptureEndsHere();
};

/// Writes text to the thread's capture or to descriptor 1; errors are ignored.
void print(std::string_view text);
/// Writes text to the thread's capture or to descriptor 2; errors are ignored.
void eprint(std::string_view text);
/// Byte forms of print/eprint.
void print_bytes(std::span<const std::uint8_t> bytes);
void eprint_bytes(std::span<const std::uint8_t> bytes);

/// Process-wide locks of the standard streams (recursive: the holder may still print).
/// Uncaptured print/eprint, FdWriter on 1 or 2 and the std streams take them per write.
std::recursive_mutex& stdout_lock();
std::recursive_mutex& stderr_lock();
/// Takes the stdout (stderr) lock and never releases it: from then on only the
/// calling thread reaches descriptor 1 (2) through this module.
void lock_stdout_forever();
void lock_stderr_forever();

/// Routes std::cout, std::cerr and std::clog through the capture-aware writers.
/// Called once at process start by the runtime; idempotent.
void install_std_streams();

}  // namespace rt
