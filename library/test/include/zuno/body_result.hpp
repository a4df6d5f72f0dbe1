#pragma once
// What a test body hands back to the harness: success, or failure with a
// message. Shared by the public registration header and the harness's test
// model, so that registered bodies are plain functions the harness calls
// directly (and can re-run by name in a child process).

#include <optional>
#include <string>
#include <utility>

namespace zuno {

/// The result of a test body: success, or failure with an owned message.
class BodyResult {
public:
    static BodyResult ok() { return BodyResult(); }
    static BodyResult fail(std::string message) { return BodyResult(std::move(message)); }
    [[nodiscard]] bool is_ok() const { return !error_.has_value(); }
    /// The failure message (only when !is_ok()).
    [[nodiscard]] const std::string& error() const { return *error_; }

private:
    BodyResult() = default;
    explicit BodyResult(std::string m) : error_(std::move(m)) {}
    std::optional<std::string> error_;
};

}  // namespace zuno
