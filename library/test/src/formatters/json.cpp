#include "formatters/json.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "utf8.hpp"
#include "formatters/common.hpp"
#include "registry.hpp"

namespace test::formatters {

namespace {

/// The replacement text of a byte that must be escaped, or empty.
std::string_view escape_of(unsigned char byte, char (&scratch)[7]) {
    switch (byte) {
        case '"':
            return "\\\"";
        case '\\':
            return "\\\\";
        case 0x08:
            return "\\b";
        case 0x09:
            return "\\t";
        case 0x0A:
            return "\\n";
        case 0x0C:
            return "\\f";
        case 0x0D:
            return "\\r";
        default:
            break;
    }
    if (byte < 0x20 || byte == 0x7F) {
        static constexpr char HEX[] = "0123456789abcdef";
        scratch[0] = '\\';
        scratch[1] = 'u';
        scratch[2] = '0';
        scratch[3] = '0';
        scratch[4] = HEX[byte >> 4];
        scratch[5] = HEX[byte & 0xF];
        return {scratch, 6};
    }
    return {};
}

/// A JSON number for a time or statistic; JSON has no form for NaN or
/// infinities, so they are written as null to keep the line parseable.
std::string json_number(double value) {
    return std::isfinite(value) ? format_decimal(value) : std::string("null");
}

/// Appends `, "key": "escaped value"`.
void append_string_member(std::string& line, std::string_view key, std::string_view value) {
    line += ", \"";
    line += key;
    line += "\": \"";
    EscapedString(value).append_to(line);
    line += "\"";
}

/// Appends `, "key": raw` (numbers, flags).
void append_raw_member(std::string& line, std::string_view key, std::string_view raw) {
    line += ", \"";
    line += key;
    line += "\": ";
    line += raw;
}

}  // namespace

void EscapedString::append_to(std::string& out) const {
    // Copy runs of unchanged bytes in one piece between replacements.
    std::size_t run_start = 0;
    char scratch[7];
    for (std::size_t i = 0; i < text_.size();) {
        const auto byte = static_cast<unsigned char>(text_[i]);
        if (byte >= 0x80) {
            const rt::Utf8Char c = rt::utf8_decode(text_, i);
            if (!c.valid) {
                out.append(text_, run_start, i - run_start);
                out += "\xEF\xBF\xBD";  // U+FFFD
                run_start = i + c.len;
            }
            i += c.len;
            continue;
        }
        const std::string_view esc = escape_of(byte, scratch);
        if (!esc.empty()) {
            out.append(text_, run_start, i - run_start);
            out += esc;
            run_start = i + 1;
        }
        ++i;
    }
    out.append(text_, run_start, std::string_view::npos);
}

std::string EscapedString::to_string() const {
    std::string out;
    append_to(out);
    return out;
}

JsonFormatter::JsonFormatter(OutputLocation out) : out_(std::move(out)) {}

rt::IoResult<void> JsonFormatter::writeln_message(std::string_view text) {
    // Each line goes out whole and at once, in one write, so lines never interleave.
    RT_TRY(out_.write_str(text));
    return out_.flush();
}

rt::IoResult<void> JsonFormatter::write_discovery_start() {
    // A listing goes out in blocks, flushed when it is finished.
    return out_.write_str("{ \"type\": \"suite\", \"event\": \"discovery\" }\n");
}

rt::IoResult<void> JsonFormatter::write_test_discovered(const TestDesc& desc,
                                                        std::string_view kind) {
    std::string line = "{ \"type\": \"";
    line += kind;
    line += "\", \"event\": \"discovered\"";
    append_string_member(line, "name", desc.name.as_slice());
    append_raw_member(line, "ignore", desc.ignore ? "true" : "false");
    append_string_member(line, "ignore_message", desc.ignore_message.value_or(""));
    append_string_member(line, "source_path", desc.source_path);
    append_raw_member(line, "start_line", std::to_string(desc.start_line));
    append_raw_member(line, "start_col", std::to_string(desc.start_col));
    append_raw_member(line, "end_line", std::to_string(desc.end_line));
    append_raw_member(line, "end_col", std::to_string(desc.end_col));
    // The tags a registered test carries (zuno::tags), when it has any.
    const std::vector<std::string>& tags = registered_tags(desc.name.as_slice());
    if (!tags.empty()) {
        line += ", \"tags\": [";
        for (std::size_t i = 0; i < tags.size(); ++i) {
            line += i == 0 ? "\"" : ", \"";
            EscapedString(tags[i]).append_to(line);
            line += '"';
        }
        line += ']';
    }
    line += " }\n";
    return out_.write_str(line);
}

rt::IoResult<void> JsonFormatter::write_discovery_finish(const ConsoleTestDiscoveryState& state) {
    std::string line = "{ \"type\": \"suite\", \"event\": \"completed\"";
    append_raw_member(line, "tests", std::to_string(state.tests));
    append_raw_member(line, "benchmarks", std::to_string(state.benchmarks));
    append_raw_member(line, "total", std::to_string(state.tests + state.benchmarks));
    append_raw_member(line, "ignored", std::to_string(state.ignored));
    line += " }\n";
    return writeln_message(line);
}

rt::IoResult<void> JsonFormatter::write_run_start(std::size_t test_count,
                                                  std::optional<std::uint64_t> shuffle_seed) {
    std::string line = "{ \"type\": \"suite\", \"event\": \"started\"";
    append_raw_member(line, "test_count", std::to_string(test_count));
    if (shuffle_seed) {
        append_raw_member(line, "shuffle_seed", std::to_string(*shuffle_seed));
    }
    line += " }\n";
    return writeln_message(line);
}

rt::IoResult<void> JsonFormatter::write_test_start(const TestDesc& desc) {
    std::string line = "{ \"type\": \"test\", \"event\": \"started\"";
    append_string_member(line, "name", desc.name.as_slice());
    line += " }\n";
    return writeln_message(line);
}

rt::IoResult<void> JsonFormatter::write_timeout(const TestDesc& desc) {
    std::string line = "{ \"type\": \"test\", \"event\": \"timeout\"";
    append_string_member(line, "name", desc.name.as_slice());
    line += " }\n";
    return writeln_message(line);
}

rt::IoResult<void> JsonFormatter::write_event(std::string_view type, std::string_view name,
                                              std::string_view event,
                                              const std::optional<TestExecTime>& exec_time,
                                              const std::optional<std::string_view>& stdout_text,
                                              std::string_view extra) {
    std::string line = "{ \"type\": \"";
    line += type;
    line += "\"";
    append_string_member(line, "name", name);
    line += ", \"event\": \"";
    line += event;
    line += "\"";
    if (exec_time) {
        append_raw_member(line, "exec_time", json_number(as_secs_f64(exec_time->value)));
    }
    if (stdout_text) {
        append_string_member(line, "stdout", *stdout_text);
    }
    if (!extra.empty()) {
        line += ", ";
        line += extra;
    }
    line += " }\n";
    return writeln_message(line);
}

rt::IoResult<void> JsonFormatter::write_result(const TestDesc& desc, const TestResult& result,
                                               const std::optional<TestExecTime>& exec_time,
                                               std::span<const std::uint8_t> stdout_bytes,
                                               const ConsoleTestState& state) {
    return write_result_noted(desc, result, exec_time, stdout_bytes, ResultNotes{}, state);
}

rt::IoResult<void> JsonFormatter::write_result_noted(const TestDesc& desc, const TestResult& result,
                                                     const std::optional<TestExecTime>& exec_time,
                                                     std::span<const std::uint8_t> stdout_bytes,
                                                     const ResultNotes& notes,
                                                     const ConsoleTestState& state) {
    const std::string_view name = desc.name.as_slice();

    if (const auto* bench = result.as<TestResult::Bench>()) {
        const Summary& summ = bench->samples.ns_iter_summ;
        std::string line = "{ \"type\": \"bench\"";
        append_string_member(line, "name", name);
        append_raw_member(line, "median", json_number(summ.median));
        append_raw_member(line, "deviation", json_number(summ.max - summ.min));
        if (bench->samples.mb_s != 0) {
            append_raw_member(line, "mib_per_second", std::to_string(bench->samples.mb_s));
        }
        line += " }\n";
        return writeln_message(line);
    }

    // Escaped straight from the captured bytes into the line: one copy.
    std::optional<std::string_view> stdout_text;
    if (!stdout_bytes.empty() && (state.options.display_output || !result.is<TestResult::Ok>())) {
        stdout_text.emplace(reinterpret_cast<const char*>(stdout_bytes.data()),
                            stdout_bytes.size());
    }

    std::string extra;
    std::string_view event;
    if (result.is<TestResult::Ok>()) {
        event = "ok";
    } else if (result.is<TestResult::Failed>()) {
        event = "failed";
    } else if (const auto* failed = result.as<TestResult::FailedMsg>()) {
        event = "failed";
        extra = "\"message\": \"" + EscapedString(failed->message).to_string() + "\"";
    } else if (result.is<TestResult::TimedFail>()) {
        event = "failed";
        extra = "\"reason\": \"time limit exceeded\"";
    } else {
        event = "ignored";
        if (desc.ignore_message) {
            extra = "\"message\": \"" + EscapedString(*desc.ignore_message).to_string() + "\"";
        }
    }
    if (!notes.attempts.empty()) {
        extra += extra.empty() ? "" : ", ";
        extra += "\"retries\": " + std::to_string(notes.attempts.size());
    }
    if (notes.quarantine != nullptr && event == "failed") {
        extra += extra.empty() ? "" : ", ";
        extra += "\"quarantined\": true";
    }
    return write_event("test", name, event, exec_time, stdout_text, extra);
}

rt::IoResult<bool> JsonFormatter::write_run_finish(ConsoleTestState& state) {
    const bool success = state.failed == 0;
    std::string line = "{ \"type\": \"suite\", \"event\": \"";
    line += success ? "ok" : "failed";
    line += "\"";
    append_raw_member(line, "passed", std::to_string(state.passed));
    append_raw_member(line, "failed", std::to_string(state.failed));
    if (state.quarantined > 0) {
        append_raw_member(line, "quarantined", std::to_string(state.quarantined));
    }
    append_raw_member(line, "ignored", std::to_string(state.ignored));
    append_raw_member(line, "measured", std::to_string(state.measured));
    append_raw_member(line, "filtered_out", std::to_string(state.filtered_out));
    if (state.exec_time) {
        append_raw_member(line, "exec_time", json_number(as_secs_f64(state.exec_time->value)));
    }
    line += " }\n";
    RT_TRY(writeln_message(line));
    return success;
}

rt::IoResult<void> JsonFormatter::write_merged_doctests_times(double total, double compilation) {
    std::string line = "{ \"type\": \"report\"";
    append_raw_member(line, "total_time", json_number(total));
    append_raw_member(line, "compilation_time", json_number(compilation));
    line += " }\n";
    return writeln_message(line);
}

}  // namespace test::formatters
