#include "result.hpp"

#include <cerrno>
#include <cstring>

#include "text.hpp"

namespace rt {

const char* kind_name(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::NotFound:
            return "NotFound";
        case ErrorKind::PermissionDenied:
            return "PermissionDenied";
        case ErrorKind::ConnectionRefused:
            return "ConnectionRefused";
        case ErrorKind::ConnectionReset:
            return "ConnectionReset";
        case ErrorKind::BrokenPipe:
            return "BrokenPipe";
        case ErrorKind::AlreadyExists:
            return "AlreadyExists";
        case ErrorKind::WouldBlock:
            return "WouldBlock";
        case ErrorKind::InvalidInput:
            return "InvalidInput";
        case ErrorKind::InvalidData:
            return "InvalidData";
        case ErrorKind::TimedOut:
            return "TimedOut";
        case ErrorKind::WriteZero:
            return "WriteZero";
        case ErrorKind::Interrupted:
            return "Interrupted";
        case ErrorKind::Unsupported:
            return "Unsupported";
        case ErrorKind::UnexpectedEof:
            return "UnexpectedEof";
        case ErrorKind::OutOfMemory:
            return "OutOfMemory";
        case ErrorKind::StorageFull:
            return "StorageFull";
        case ErrorKind::NotADirectory:
            return "NotADirectory";
        case ErrorKind::IsADirectory:
            return "IsADirectory";
        case ErrorKind::ReadOnlyFilesystem:
            return "ReadOnlyFilesystem";
        case ErrorKind::ExecutableFileBusy:
            return "ExecutableFileBusy";
        case ErrorKind::ArgumentListTooLong:
            return "ArgumentListTooLong";
        case ErrorKind::Other:
            return "Other";
        case ErrorKind::Uncategorized:
            return "Uncategorized";
    }
    return "Uncategorized";
}

ErrorKind kind_from_errno(int code) {
    switch (code) {
        case E2BIG:
            return ErrorKind::ArgumentListTooLong;
        case ECONNREFUSED:
            return ErrorKind::ConnectionRefused;
        case ECONNRESET:
            return ErrorKind::ConnectionReset;
        case EEXIST:
            return ErrorKind::AlreadyExists;
        case EINTR:
            return ErrorKind::Interrupted;
        case EINVAL:
            return ErrorKind::InvalidInput;
        case EISDIR:
            return ErrorKind::IsADirectory;
        case ENOENT:
            return ErrorKind::NotFound;
        case ENOMEM:
            return ErrorKind::OutOfMemory;
        case ENOSPC:
            return ErrorKind::StorageFull;
        case ENOSYS:
            return ErrorKind::Unsupported;
        case ENOTDIR:
            return ErrorKind::NotADirectory;
        case EPIPE:
            return ErrorKind::BrokenPipe;
        case EROFS:
            return ErrorKind::ReadOnlyFilesystem;
        case ETIMEDOUT:
            return ErrorKind::TimedOut;
        case ETXTBSY:
            return ErrorKind::ExecutableFileBusy;
        case EAGAIN:  // EWOULDBLOCK has the same value on Linux
            return ErrorKind::WouldBlock;
        case EPERM:
        case EACCES:
            return ErrorKind::PermissionDenied;
        default:
            return ErrorKind::Uncategorized;
    }
}

namespace {

std::string system_message(int code) {
    char buffer[256];
    // The GNU strerror_r returns a pointer to the message, which may or may not be `buffer`.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return text != nullptr ? std::string(text) : std::string("Unknown error");
}

}  // namespace

IoError IoError::from_errno(int code) {
    return IoError(code, kind_from_errno(code), system_message(code));
}

IoError IoError::last_os_error() {
    return from_errno(errno);
}

IoError IoError::custom(ErrorKind kind, std::string message) {
    return IoError(-1, kind, std::move(message));
}

std::string IoError::display() const {
    if (code_ < 0) {
        return message_;
    }
    return message_ + " (os error " + std::to_string(code_) + ")";
}

std::string IoError::debug() const {
    if (code_ < 0) {
        return std::string("Custom { kind: ") + kind_name(kind_) +
               ", error: " + debug_quote(message_) + " }";
    }
    return "Os { code: " + std::to_string(code_) + ", kind: " + kind_name(kind_) +
           ", message: " + debug_quote(message_) + " }";
}

}  // namespace rt
