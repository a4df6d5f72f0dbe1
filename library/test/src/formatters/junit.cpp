#include "formatters/junit.hpp"

#include <cstdio>
#include <ctime>
#include <string>
#include <utility>

#include "panic.hpp"
#include "utf8.hpp"
#include "formatters/common.hpp"

namespace test::formatters {

namespace {

constexpr std::string_view REPLACEMENT_CHARACTER = "\xEF\xBF\xBD";

/// Returns `text` without leading and trailing whitespace.
std::string_view trim(std::string_view text) {
    constexpr std::string_view WS = " \t\n\r\f\v";
    const std::size_t first = text.find_first_not_of(WS);
    if (first == std::string_view::npos) {
        return {};
    }
    const std::size_t last = text.find_last_not_of(WS);
    return text.substr(first, last - first + 1);
}

/// The opening `<testcase ...` of a test case, without the closing bracket.
std::string testcase_open(const std::string& class_name, const std::string& test_name,
                          Duration duration) {
    return "<testcase classname=\"" + xml_attribute(class_name) + "\" name=\"" +
           xml_attribute(test_name) + "\" time=\"" + format_decimal(as_secs_f64(duration)) + "\"";
}

constexpr std::string_view CDATA_OPEN = "<![CDATA[";

/// Appends the CDATA text of `text` to `out` in one pass: "]]>" and "<?" are
/// split across sections, each line feed is written between sections as
/// "&#xA;", and a section that a line feed would leave empty right after
/// another line feed is dropped. With `sanitize`, `text` is first read as
/// xml_sanitize would leave it (without building that copy).
void append_cdata(std::string& out, std::string_view text, bool sanitize) {
    out += CDATA_OPEN;
    // Where the last line feed's section opened: a line feed right there
    // would leave that section empty.
    std::size_t split_end = std::string::npos;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == ']' && text.substr(i, 3) == "]]>") {
            out += "]]]]><![CDATA[>";
            i += 3;
            continue;
        }
        if (byte == '<' && text.substr(i, 2) == "<?") {
            out += "<]]><![CDATA[?";
            i += 2;
            continue;
        }
        if (byte == '\n') {
            if (split_end == out.size()) {
                out.resize(out.size() - CDATA_OPEN.size());
                out += "&#xA;<![CDATA[";
            } else {
                out += "]]>&#xA;<![CDATA[";
            }
            split_end = out.size();
            ++i;
            continue;
        }
        if (!sanitize || (byte >= 0x20 && byte < 0x80) || byte == '\t' || byte == '\r') {
            out.push_back(static_cast<char>(byte));
            ++i;
            continue;
        }
        const rt::Utf8Char c = byte < 0x80 ? rt::Utf8Char{byte, 1, true} : rt::utf8_decode(text, i);
        if (!c.valid || c.code_point < 0x20 || c.code_point == 0xFFFE || c.code_point == 0xFFFF) {
            out += REPLACEMENT_CHARACTER;
        } else {
            out.append(text, i, c.len);
        }
        i += c.len;
    }
    out += "]]>";
}

/// The CDATA text of captured output.
std::string output_cdata(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 8 + 32);
    append_cdata(out, {reinterpret_cast<const char*>(bytes.data()), bytes.size()}, true);
    return out;
}

/// The `<flakyFailure>` element of a failed attempt of a test that passed later.
std::string flaky_failure(const FailedAttempt& attempt) {
    std::string element = "<flakyFailure";
    if (const auto* failed = attempt.result.as<TestResult::FailedMsg>()) {
        element += " message=\"" + xml_attribute(failed->message) + "\"";
    }
    element +=
        attempt.result.is<TestResult::TimedFail>() ? " type=\"timeout\"" : " type=\"assert\"";
    if (attempt.stdout_bytes.empty()) {
        return element + "/>";
    }
    return element + "><system-out>" + output_cdata(attempt.stdout_bytes) +
           "</system-out></flakyFailure>";
}

}  // namespace

std::string str_to_cdata(std::string_view text) {
    std::string out;
    append_cdata(out, text, false);
    return out;
}

std::string xml_sanitize(std::string_view text) {
    const std::string decoded = rt::utf8_lossy(text);
    std::string out;
    out.reserve(decoded.size());
    for (std::size_t i = 0; i < decoded.size(); ++i) {
        const auto byte = static_cast<unsigned char>(decoded[i]);
        if (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') {
            out += REPLACEMENT_CHARACTER;
            continue;
        }
        // U+FFFE and U+FFFF are EF BF BE and EF BF BF; after decoding, 0xEF
        // only ever starts a three-byte character.
        if (byte == 0xEF && i + 2 < decoded.size() &&
            static_cast<unsigned char>(decoded[i + 1]) == 0xBF &&
            (static_cast<unsigned char>(decoded[i + 2]) & 0xFE) == 0xBE) {
            out += REPLACEMENT_CHARACTER;
            i += 2;
            continue;
        }
        out.push_back(decoded[i]);
    }
    return out;
}

std::string xml_attribute(std::string_view text) {
    const std::string clean = xml_sanitize(text);
    std::string out;
    out.reserve(clean.size());
    for (char c : clean) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\n':
                out += "&#xA;";
                break;
            case '\r':
                out += "&#xD;";
                break;
            case '\t':
                out += "&#x9;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::pair<std::string, std::string> parse_class_name_unit(std::string_view name) {
    // Split from the left, as "a:::b" splits into "a" and ":b"; the last
    // separator found that way ends the class name. Joining all but the last
    // segment again gives the prefix before it.
    std::size_t last = std::string_view::npos;
    for (std::size_t at = name.find("::"); at != std::string_view::npos;
         at = name.find("::", at + 2)) {
        last = at;
    }
    if (last == std::string_view::npos) {
        return {"crate", std::string(name)};
    }
    return {std::string(name.substr(0, last)), std::string(name.substr(last + 2))};
}

std::pair<std::string, std::string> parse_class_name_integration(std::string_view name) {
    return {"integration", std::string(name)};
}

std::pair<std::string, std::string> parse_class_name_doc(std::string_view name) {
    const std::size_t sep = name.find(" - ");
    if (sep == std::string_view::npos) {
        return {"unknown", std::string(name)};
    }
    return {std::string(trim(name.substr(0, sep))), std::string(trim(name.substr(sep + 3)))};
}

std::pair<std::string, std::string> parse_class_name(const TestDesc& desc) {
    return parse_class_name(desc.name.as_slice(), desc.test_type);
}

std::pair<std::string, std::string> parse_class_name(std::string_view name, TestType type) {
    switch (type) {
        case TestType::Unit:
            return parse_class_name_unit(name);
        case TestType::Integration:
            return parse_class_name_integration(name);
        case TestType::Doc:
            return parse_class_name_doc(name);
        case TestType::Unclassified:
            break;
    }
    return {"unknown", std::string(name)};
}

JunitFormatter::JunitFormatter(OutputLocation out) : out_(std::move(out)) {}

rt::IoResult<void> JunitFormatter::write_message(std::string_view text) {
    if (text.find('\n') != std::string_view::npos) {
        rt::panic("assertion failed: !s.contains('\\n')");
    }
    return out_.write_str(text);
}

rt::IoResult<void> JunitFormatter::write_discovery_start() {
    return rt::IoError::custom(rt::ErrorKind::NotFound, "not yet implemented!");
}

rt::IoResult<void> JunitFormatter::write_test_discovered(const TestDesc&, std::string_view) {
    return rt::IoError::custom(rt::ErrorKind::NotFound, "not yet implemented!");
}

rt::IoResult<void> JunitFormatter::write_discovery_finish(const ConsoleTestDiscoveryState&) {
    return rt::IoError::custom(rt::ErrorKind::NotFound, "not yet implemented!");
}

rt::IoResult<void> JunitFormatter::write_run_start(std::size_t, std::optional<std::uint64_t>) {
    RT_TRY(write_message("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"));
    return out_.flush();
}

rt::IoResult<void> JunitFormatter::write_test_start(const TestDesc&) {
    return {};
}

rt::IoResult<void> JunitFormatter::write_timeout(const TestDesc&) {
    return {};
}

rt::IoResult<void> JunitFormatter::write_result(const TestDesc& desc, const TestResult& result,
                                                const std::optional<TestExecTime>& exec_time,
                                                std::span<const std::uint8_t> stdout_bytes,
                                                const ConsoleTestState& state) {
    return write_result_noted(desc, result, exec_time, stdout_bytes, ResultNotes{}, state);
}

rt::IoResult<void> JunitFormatter::write_result_noted(const TestDesc& desc,
                                                      const TestResult& result,
                                                      const std::optional<TestExecTime>& exec_time,
                                                      std::span<const std::uint8_t> stdout_bytes,
                                                      const ResultNotes& notes,
                                                      const ConsoleTestState& state) {
    using Outcome = Entry::Outcome;
    if (result.is<TestResult::Ignored>()) {
        return {};
    }
    Entry entry;
    entry.name = desc.name;
    entry.test_type = desc.test_type;
    entry.duration = exec_time ? exec_time->value : Duration::zero();
    Entry::Details details;
    bool shows_output = false;
    if (result.is<TestResult::Ok>()) {
        shows_output = state.options.display_output;
        // Failed attempts are written for tests that passed on a rerun.
        details.attempts.assign(notes.attempts.begin(), notes.attempts.end());
    } else if (result.is<TestResult::Failed>()) {
        entry.outcome = Outcome::Failed;
        shows_output = true;
    } else if (const auto* failed = result.as<TestResult::FailedMsg>()) {
        entry.outcome = Outcome::FailedMsg;
        details.message = failed->message;
        shows_output = true;
    } else if (result.is<TestResult::TimedFail>()) {
        entry.outcome = Outcome::TimedFail;
    } else if (const auto* bench = result.as<TestResult::Bench>()) {
        entry.outcome = Outcome::Bench;
        entry.bench_sum = bench->samples.ns_iter_summ.sum;
    }
    if (notes.quarantine != nullptr && result.is_failure()) {
        // Reported as skipped, with the reason and the output of the failure.
        entry.outcome = Outcome::Quarantined;
        details.message = "quarantined: " + notes.quarantine->reason;
        shows_output = true;
    }
    // Shown output is kept in its final form: one copy of it for the rest of the run.
    if (shows_output && !stdout_bytes.empty()) {
        details.output_cdata = output_cdata(stdout_bytes);
    }
    if (!details.message.empty() || !details.output_cdata.empty() || !details.attempts.empty()) {
        entry.details = std::make_unique<const Entry::Details>(std::move(details));
    }
    results_.push_back(std::move(entry));
    return {};
}

rt::IoResult<bool> JunitFormatter::write_run_finish(ConsoleTestState& state) {
    RT_TRY(write_message("<testsuites>"));
    RT_TRY(write_message(
        "<testsuite name=\"test\" package=\"test\" id=\"0\" errors=\"0\" failures=\"" +
        std::to_string(state.failed) + "\" tests=\"" + std::to_string(state.total) +
        "\" skipped=\"" + std::to_string(state.ignored + state.quarantined) + "\"" + suite_time_ +
        " >"));

    // The entries leave the formatter now; a second finish writes an empty suite.
    using Outcome = Entry::Outcome;
    const std::deque<Entry> entries = std::exchange(results_, {});
    const Entry::Details no_details;
    for (const Entry& entry : entries) {
        const Entry::Details& details = entry.details ? *entry.details : no_details;
        const auto [class_name, test_name] =
            parse_class_name(entry.name.as_slice(), entry.test_type);
        if (entry.outcome == Outcome::Bench) {
            RT_TRY(write_message("<testcase classname=\"benchmark::" + xml_attribute(class_name) +
                                 "\" name=\"" + xml_attribute(test_name) + "\" time=\"" +
                                 format_decimal(entry.bench_sum) + "\" />"));
            continue;
        }
        const std::string open = testcase_open(class_name, test_name, entry.duration);
        if (entry.outcome == Outcome::Ok) {
            RT_TRY(write_message(open));
            // Output of passing tests is kept only when shown (--show-output).
            if (!details.attempts.empty()) {
                // Passed on a rerun: each failed attempt with its output.
                RT_TRY(write_message(">"));
                for (const FailedAttempt& attempt : details.attempts) {
                    RT_TRY(write_message(flaky_failure(attempt)));
                }
                if (!details.output_cdata.empty()) {
                    RT_TRY(write_message("<system-out>"));
                    RT_TRY(write_message(details.output_cdata));
                    RT_TRY(write_message("</system-out>"));
                }
                RT_TRY(write_message("</testcase>"));
            } else if (!details.output_cdata.empty()) {
                RT_TRY(write_message("><system-out>"));
                RT_TRY(write_message(details.output_cdata));
                RT_TRY(write_message("</system-out>"));
                RT_TRY(write_message("</testcase>"));
            } else {
                RT_TRY(write_message("/>"));
            }
            continue;
        }
        RT_TRY(write_message(open + ">"));
        if (entry.outcome == Outcome::Quarantined) {
            RT_TRY(write_message("<skipped message=\"" + xml_attribute(details.message) + "\"/>"));
            if (!details.output_cdata.empty()) {
                RT_TRY(write_message("<system-out>"));
                RT_TRY(write_message(details.output_cdata));
                RT_TRY(write_message("</system-out>"));
            }
        } else if (entry.outcome == Outcome::TimedFail) {
            RT_TRY(write_message("<failure type=\"timeout\"/>"));
        } else {
            if (entry.outcome == Outcome::FailedMsg) {
                RT_TRY(write_message("<failure message=\"" + xml_attribute(details.message) +
                                     "\" type=\"assert\"/>"));
            } else {
                RT_TRY(write_message("<failure type=\"assert\"/>"));
            }
            if (!details.output_cdata.empty()) {
                RT_TRY(write_message("<system-out>"));
                RT_TRY(write_message(details.output_cdata));
                RT_TRY(write_message("</system-out>"));
            }
        }
        RT_TRY(write_message("</testcase>"));
    }

    RT_TRY(write_message("<system-out/>"));
    RT_TRY(write_message("<system-err/>"));
    RT_TRY(write_message("</testsuite>"));
    RT_TRY(write_message("</testsuites>"));
    RT_TRY(out_.write_str("\n"));
    RT_TRY(out_.flush());
    return state.failed == 0;
}

void JunitFormatter::set_suite_time(Duration wall_time,
                                    std::chrono::system_clock::time_point start) {
    const auto ms = std::chrono::round<std::chrono::milliseconds>(wall_time).count();
    std::string seconds = std::to_string(ms / 1000);
    if (const auto frac = ms % 1000; frac != 0) {
        const char digits[3] = {static_cast<char>('0' + frac / 100),
                                static_cast<char>('0' + frac / 10 % 10),
                                static_cast<char>('0' + frac % 10)};
        std::string_view decimals(digits, 3);
        while (decimals.back() == '0') {
            decimals.remove_suffix(1);
        }
        seconds += '.';
        seconds += decimals;
    }
    const std::time_t t = std::chrono::system_clock::to_time_t(start);
    std::tm utc{};
    char stamp[32] = "1970-01-01T00:00:00";
    if (::gmtime_r(&t, &utc) != nullptr) {
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
    }
    suite_time_ = " time=\"" + seconds + "\" timestamp=\"" + stamp + "\"";
}

rt::IoResult<void> JunitFormatter::write_merged_doctests_times(double total, double compilation) {
    RT_TRY(write_message("<report total_time=\"" + format_decimal(total) +
                         "\" compilation_time=\"" + format_decimal(compilation) + "\"></report>"));
    RT_TRY(out_.write_str("\n"));
    return out_.flush();
}

}  // namespace test::formatters
