#pragma once
// What a test body hands back to the harness: success, failure with a message,
// failed checks, or a skip with its reason. Shared by the public registration
// header and the harness's test model, so that registered bodies are plain
// functions the harness calls directly (and can re-run by name in a child
// process).

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace zuno {

/// The result of a test body.
class BodyResult {
public:
    enum class Kind : std::uint8_t {
        /// The body returned normally with every check passed.
        Ok,
        /// The body returned a failure with a message.
        Failed,
        /// The body returned normally, but checks failed (ZUNO_CHECK...).
        ChecksFailed,
        /// The body ended by ZUNO_SKIP; the text is the reason.
        Skipped,
    };

    static BodyResult ok() { return BodyResult(Kind::Ok, {}); }
    static BodyResult fail(std::string message) {
        return BodyResult(Kind::Failed, std::move(message));
    }
    /// `count` failed checks: "1 check failed" or "<count> checks failed".
    static BodyResult checks_failed(std::size_t count) {
        BodyResult r(Kind::ChecksFailed, count == 1 ? std::string("1 check failed")
                                                    : std::to_string(count) + " checks failed");
        r.failed_checks_ = count;
        return r;
    }
    static BodyResult skipped(std::string reason) {
        return BodyResult(Kind::Skipped, std::move(reason));
    }

    [[nodiscard]] Kind kind() const { return kind_; }
    [[nodiscard]] bool is_ok() const { return kind_ == Kind::Ok; }
    /// The failure message (Failed, ChecksFailed) or the skip reason (Skipped).
    [[nodiscard]] const std::string& error() const { return text_; }
    /// The number of failed checks (ChecksFailed only; 0 otherwise).
    [[nodiscard]] std::size_t failed_checks() const { return failed_checks_; }

private:
    BodyResult(Kind kind, std::string text) : text_(std::move(text)), kind_(kind) {}
    std::string text_;
    std::size_t failed_checks_ = 0;
    Kind kind_;
};

}  // namespace zuno
