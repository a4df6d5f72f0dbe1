#pragma once
// I/O errors as values. Every fallible operation of the runtime and of the
// harness returns an IoResult<T>: either the value or an IoError. Errors carry
// an operating-system code (when they came from the system), a kind and a
// message; debug() renders them for "{:?}"-style diagnostics.

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace rt {

/// Broad classification of an I/O error.
enum class ErrorKind : std::uint8_t {
    NotFound,
    PermissionDenied,
    ConnectionRefused,
    ConnectionReset,
    BrokenPipe,
    AlreadyExists,
    WouldBlock,
    InvalidInput,
    InvalidData,
    TimedOut,
    WriteZero,
    Interrupted,
    Unsupported,
    UnexpectedEof,
    OutOfMemory,
    StorageFull,
    NotADirectory,
    IsADirectory,
    ReadOnlyFilesystem,
    ExecutableFileBusy,
    ArgumentListTooLong,
    Other,
    Uncategorized,
};

/// Returns the kind's name, for example "NotFound".
const char* kind_name(ErrorKind kind);

/// Maps an errno value to its kind.
ErrorKind kind_from_errno(int code);

/// One I/O error: either an OS error (code set) or a custom error with a kind
/// and a message.
class IoError {
public:
    /// An error from the operating system, described by its errno value.
    static IoError from_errno(int code);
    /// The error of the last failed system call (reads errno).
    static IoError last_os_error();
    /// A custom error with a kind and a message.
    static IoError custom(ErrorKind kind, std::string message);

    [[nodiscard]] ErrorKind kind() const { return kind_; }
    /// The OS error code, or -1 for a custom error.
    [[nodiscard]] int raw_os_error() const { return code_; }
    /// Display form: the message, with " (os error N)" for OS errors.
    [[nodiscard]] std::string display() const;
    /// Debug form: `Os { code: 2, kind: NotFound, message: "No such file or directory" }`
    /// for OS errors, `Custom { kind: NotFound, error: "..." }` otherwise.
    [[nodiscard]] std::string debug() const;
    /// The bare message (system message or custom text).
    [[nodiscard]] const std::string& message() const { return message_; }

private:
    IoError(int code, ErrorKind kind, std::string message)
        : code_(code), kind_(kind), message_(std::move(message)) {}
    int code_;
    ErrorKind kind_;
    std::string message_;
};

/// Either a value of type T or an IoError.
template <typename T>
class [[nodiscard]] IoResult {
public:
    IoResult(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    IoResult(IoError error) : v_(std::in_place_index<1>, std::move(error)) {}

    [[nodiscard]] bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T& operator*() { return value(); }
    T* operator->() { return &value(); }
    const IoError& error() const { return std::get<1>(v_); }

private:
    std::variant<T, IoError> v_;
};

/// The value-less result: success or an IoError.
template <>
class [[nodiscard]] IoResult<void> {
public:
    IoResult() = default;
    IoResult(IoError error) : error_(std::move(error)), failed_(true) {}

    [[nodiscard]] bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const IoError& error() const { return error_; }

private:
    IoError error_ = IoError::custom(ErrorKind::Other, "");
    bool failed_ = false;
};

/// Returns early from the enclosing function with the error of `expr` when it failed.
#define RT_TRY(expr)                       \
    do {                                   \
        auto rt_try_result_ = (expr);      \
        if (!rt_try_result_.ok()) {        \
            return rt_try_result_.error(); \
        }                                  \
    } while (false)

}  // namespace rt
