#pragma once
// A value or an error message: how the results tool returns from anything that
// can fail (reading a file, a database call). Errors are plain texts that
// already name what is at fault; callers add the file name where they know it.

#include <string>
#include <utility>
#include <variant>

namespace zuno::results {

/// The error half of Expected: a message for the user.
struct Error {
    std::string message;
};

/// Either a T or an Error.
template <typename T>
class [[nodiscard]] Expected {
public:
    Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Expected(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    [[nodiscard]] bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    [[nodiscard]] const std::string& error() const { return std::get<1>(v_).message; }

private:
    std::variant<T, Error> v_;
};

/// Success or an Error.
template <>
class [[nodiscard]] Expected<void> {
public:
    Expected() = default;
    Expected(Error error) : error_(std::move(error.message)), failed_(true) {}

    [[nodiscard]] bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    [[nodiscard]] const std::string& error() const { return error_; }

private:
    std::string error_;
    bool failed_ = false;
};

}  // namespace zuno::results
