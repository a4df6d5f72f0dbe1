#pragma once
// Test doubles shared by the formatter unit tests: a recording sink (plain or
// terminal) whose fg/reset calls appear in the text as "<fgN>" and "<reset>",
// which counts flushes and remembers whether bytes are left unflushed, and can
// fail from a chosen write on; plus builders for descriptors and run states.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "io.hpp"
#include "result.hpp"
#include "run_state.hpp"
#include "formatters/formatter.hpp"
#include "term/terminal.hpp"
#include "types.hpp"

namespace test::formatters::testing {

/// What a recording sink saw; shared between the sink and the test.
struct Record {
    std::string text;
    std::size_t flushes = 0;
    bool unflushed = false;
    /// Number of writes (write_all, fg, reset) before every further one fails; -1: never.
    int fail_after = -1;
    int operations = 0;

    rt::IoResult<void> count_operation() {
        if (fail_after >= 0 && operations >= fail_after) {
            return rt::IoError::custom(rt::ErrorKind::BrokenPipe, "sink closed");
        }
        ++operations;
        return {};
    }
};

/// Plain writer into a Record.
class RecordingWriter final : public rt::Write {
public:
    explicit RecordingWriter(std::shared_ptr<Record> r) : r_(std::move(r)) {}
    rt::IoResult<void> write_all(std::span<const std::uint8_t> bytes) override {
        RT_TRY(r_->count_operation());
        r_->text.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        r_->unflushed = r_->unflushed || !bytes.empty();
        return {};
    }
    rt::IoResult<void> flush() override {
        ++r_->flushes;
        r_->unflushed = false;
        return {};
    }

private:
    std::shared_ptr<Record> r_;
};

/// Terminal into a Record; colour changes become visible markers.
class RecordingTerminal final : public term::Terminal {
public:
    explicit RecordingTerminal(std::shared_ptr<Record> r) : r_(std::move(r)) {}
    rt::IoResult<void> write_all(std::span<const std::uint8_t> bytes) override {
        return RecordingWriter(r_).write_all(bytes);
    }
    rt::IoResult<void> flush() override { return RecordingWriter(r_).flush(); }
    rt::IoResult<bool> fg(std::uint32_t colour) override {
        RT_TRY(r_->count_operation());
        r_->text += "<fg" + std::to_string(colour) + ">";
        return true;
    }
    rt::IoResult<bool> reset() override {
        RT_TRY(r_->count_operation());
        r_->text += "<reset>";
        return true;
    }
    [[nodiscard]] std::optional<std::string> colour_problem() const override {
        return std::nullopt;
    }

private:
    std::shared_ptr<Record> r_;
};

/// A sink for a formatter and the record the test reads.
struct Sink {
    OutputLocation location;
    std::shared_ptr<Record> record;
};

inline Sink plain_sink() {
    auto r = std::make_shared<Record>();
    return {OutputLocation(std::unique_ptr<rt::Write>(std::make_unique<RecordingWriter>(r))), r};
}

inline Sink terminal_sink() {
    auto r = std::make_shared<Record>();
    return {OutputLocation(std::unique_ptr<term::Terminal>(std::make_unique<RecordingTerminal>(r))),
            r};
}

/// A descriptor of the given name and type; the name keeps its own storage.
inline TestDesc desc_named(std::string name, TestType type = TestType::Integration,
                           NamePadding padding = NamePadding::NoPadding) {
    TestDesc d;
    d.name = TestName::owned_name(std::move(name)).with_padding(padding);
    d.test_type = type;
    return d;
}

inline std::vector<std::uint8_t> bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

/// A (descriptor, captured output) pair for the run state's lists.
inline DescOutput entry(std::string name, std::string_view output = {}) {
    return {desc_named(std::move(name)), bytes(output)};
}

}  // namespace test::formatters::testing
