#pragma once
// Errors as values. Every fallible operation returns a Result<T, E>: either
// the value or the error, propagated with RT_TRY. I/O operations return an
// IoResult<T> (E = IoError); I/O errors carry an operating-system code (when
// they came from the system), a kind and a message; debug() renders them for
// "{:?}"-style diagnostics.

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
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

/// Marks an error for returning through a Result whose value and error types
/// could be confused: `return rt::Err{"stack is empty"};`.
template <typename E>
struct Err {
    E error;
};
template <typename E>
Err(E) -> Err<E>;
Err(const char*)->Err<std::string>;

/// Either a value of type T or an error of type E: the return type of every
/// fallible operation (I/O, option reading, parsing, planning).
template <typename T, typename E>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    /// The error itself, where it cannot be taken for a value.
    Result(E error) requires(!std::is_same_v<T, E>)
        : v_(std::in_place_index<1>, std::move(error)) {}
    template <typename F>
    requires std::is_constructible_v<E, F> Result(Err<F> err)
        : v_(std::in_place_index<1>, E(std::move(err.error))) {}

    [[nodiscard]] bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    /// The value; only when ok().
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    /// The error; only when !ok().
    const E& error() const { return std::get<1>(v_); }

private:
    std::variant<T, E> v_;
};

/// The value-less result: success or an error.
template <typename E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    Result(E error) : error_(std::move(error)) {}
    template <typename F>
    requires std::is_constructible_v<E, F> Result(Err<F> err) : error_(E(std::move(err.error))) {}

    [[nodiscard]] bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }
    /// The error; only when !ok().
    const E& error() const { return *error_; }

private:
    std::optional<E> error_;
};

/// The result of an I/O operation.
template <typename T>
using IoResult = Result<T, IoError>;

/// Returns early from the enclosing function with the error of `expr` (any
/// Result) when it failed; the function's own Result must accept that error.
/// A value is used afterwards through the named result:
///     auto n = r.u16();
///     RT_TRY(n);
///     use(*n);
#define RT_TRY(expr)                                  \
    do {                                              \
        auto&& rt_try_result_ = (expr);               \
        if (!rt_try_result_.ok()) {                   \
            return ::rt::Err{rt_try_result_.error()}; \
        }                                             \
    } while (false)

}  // namespace rt
