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

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "library/runtime/result.hpp"
#include "library/runtime/sync.hpp"

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

/// A capture buffer: bytes behind a poisoning mutex, shared by reference count.
using CaptureBuffer = std::shared_ptr<Mutex<std::vector<std::uint8_t>>>;

/// Makes a new, empty capture buffer.
CaptureBuffer make_capture_buffer();

/// Installs `sink` (may be null) as the calling thread's capture; returns the previous one.
CaptureBuffer set_output_capture(CaptureBuffer sink);
/// The calling thread's capture sink, left in place (null when none).
CaptureBuffer current_output_capture();

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
