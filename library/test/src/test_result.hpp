#pragma once
// The outcome of one test (TestResult), the record a test thread sends back
// (CompletedTest), and calc_result, which derives the outcome from how the
// body ended.

#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "panic.hpp"
#include "bench.hpp"
#include "time.hpp"
#include "types.hpp"

namespace test {

/// The outcome of one test. Failed, FailedMsg and TimedFail are failures.
class TestResult {
public:
    struct Ok {
        bool operator==(const Ok&) const = default;
    };
    struct Failed {
        bool operator==(const Failed&) const = default;
    };
    struct FailedMsg {
        std::string message;
        bool operator==(const FailedMsg&) const = default;
    };
    struct Ignored {
        bool operator==(const Ignored&) const = default;
    };
    struct Bench {
        BenchSamples samples;
        bool operator==(const Bench&) const = default;
    };
    struct TimedFail {
        bool operator==(const TimedFail&) const = default;
    };
    using Variant = std::variant<Ok, Failed, FailedMsg, Ignored, Bench, TimedFail>;

    template <typename T>
    requires(!std::is_same_v<std::decay_t<T>, TestResult>) TestResult(T alt) : v_(std::move(alt)) {}

    [[nodiscard]] const Variant& get() const { return v_; }
    template <typename T>
    [[nodiscard]] bool is() const {
        return std::holds_alternative<T>(v_);
    }
    template <typename T>
    [[nodiscard]] const T* as() const {
        return std::get_if<T>(&v_);
    }
    /// True for Failed, FailedMsg and TimedFail.
    [[nodiscard]] bool is_failure() const {
        return is<Failed>() || is<FailedMsg>() || is<TimedFail>();
    }
    bool operator==(const TestResult&) const = default;

private:
    Variant v_;
};

/// The record a finished test sends to the engine.
/// A failed run of a test that was then run again (`--retries`).
struct FailedAttempt {
    TestResult result;
    std::optional<TestExecTime> exec_time;
    std::vector<std::uint8_t> stdout_bytes;
};

struct CompletedTest {
    TestId id;
    TestDesc desc;
    TestResult result;
    std::optional<TestExecTime> exec_time;
    std::vector<std::uint8_t> stdout_bytes;
    /// The failed attempts before this final one, in order; empty for a test run once.
    std::vector<FailedAttempt> failed_attempts = {};
};

/// The failure of a test whose thread ended inside it (pthread_exit, cancellation).
inline constexpr std::string_view THREAD_EXITED_MESSAGE =
    "test thread exited before the test returned";

/// Turns an Ok result into TimedFail when time limits are enforced and the
/// execution time reached the critical time; any other result is returned as is.
TestResult apply_time_limit(TestResult result, const TestDesc& desc,
                            const std::optional<TestTimeOptions>& time_opts,
                            const std::optional<TestExecTime>& exec_time);

/// Derives the result from the descriptor's expectation, the failure payload
/// (nothing when the body returned normally) and the optional time limits.
TestResult calc_result(const TestDesc& desc, const std::optional<rt::Payload>& failure,
                       const std::optional<TestTimeOptions>& time_opts,
                       const std::optional<TestExecTime>& exec_time);

}  // namespace test
