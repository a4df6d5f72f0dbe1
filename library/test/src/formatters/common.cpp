#include "formatters/common.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <system_error>

#include "utf8.hpp"
#include "term/terminal.hpp"

namespace test::formatters {

std::string format_decimal(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    // The shortest round-trip digits come from to_chars in scientific form
    // ("d.ddde+XX"); they are then laid out around the decimal point.
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));

    std::string out;
    if (sci.front() == '-') {
        out.push_back('-');
        sci.remove_prefix(1);
    }
    const std::size_t e_pos = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e_pos)) {
        if (c != '.') {
            digits.push_back(c);
        }
    }
    std::string_view exp_text = sci.substr(e_pos + 1);
    const bool exp_negative = exp_text.front() == '-';
    if (exp_text.front() == '-' || exp_text.front() == '+') {
        exp_text.remove_prefix(1);
    }
    int exponent = 0;
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
    if (exp_negative) {
        exponent = -exponent;
    }

    // Number of digits before the decimal point.
    const long point = static_cast<long>(exponent) + 1;
    const long count = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= count) {
        out += digits;
        out.append(static_cast<std::size_t>(point - count), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

std::string format_fixed2(double value) {
    char buf[512];
    const int n = std::snprintf(buf, sizeof buf, "%.2f", value);
    return std::string(buf, static_cast<std::size_t>(std::clamp(n, 0, int{sizeof buf} - 1)));
}

rt::IoResult<void> write_text(OutputLocation& out, std::string_view text) {
    return out.write_str(text);
}

rt::IoResult<void> write_coloured(OutputLocation& out, bool use_color, std::string_view word,
                                  std::uint32_t colour) {
    term::Terminal* terminal = out.terminal();
    if (terminal == nullptr || !use_color) {
        return out.write_str(word);
    }
    RT_TRY(terminal->fg(colour));
    RT_TRY(terminal->write_str(word));
    RT_TRY(terminal->reset());
    return {};
}

rt::IoResult<void> write_plain(OutputLocation& out, std::string_view text) {
    RT_TRY(write_text(out, text));
    return out.flush();
}

rt::IoResult<void> write_pretty(OutputLocation& out, bool use_color, std::string_view word,
                                std::uint32_t colour) {
    RT_TRY(write_coloured(out, use_color, word, colour));
    return out.flush();
}

std::string discovered_text(const TestDesc& desc, std::string_view kind) {
    std::string line(desc.name.as_slice());
    line += ": ";
    line += kind;
    line += "\n";
    return line;
}

std::string run_start_text(std::size_t test_count, std::optional<std::uint64_t> shuffle_seed) {
    std::string text = "\nrunning " + std::to_string(test_count);
    text += test_count == 1 ? " test" : " tests";
    if (shuffle_seed) {
        text += " (shuffle seed: " + std::to_string(*shuffle_seed) + ")";
    }
    text += "\n";
    return text;
}

std::string test_name_text(const TestDesc& desc, std::size_t name_width) {
    // Built in place: one allocation per line.
    const std::string_view name = desc.name.as_slice();
    const std::size_t padding =
        desc.name.padding() == NamePadding::PadRight && name_width > name.size()
            ? name_width - name.size()
            : 0;
    std::string text;
    text.reserve(5 + name.size() + padding + 32);
    text += "test ";
    text += name;
    text.append(padding, ' ');
    if (const auto mode = desc.test_mode()) {
        text += " - ";
        text += *mode;
    }
    text += " ... ";
    return text;
}

std::string timeout_text(const TestDesc& desc) {
    std::string text = "test ";
    text += desc.name.as_slice();
    text += " has been running for over " + period_text(LONG_RUNNING_PERIOD) + "\n";
    return text;
}

std::string merged_doctests_text(double total, double compilation) {
    return "all doctests ran in " + format_fixed2(total) + "s; merged doctests compilation took " +
           format_fixed2(compilation) + "s\n";
}

rt::IoResult<void> write_result_section(OutputLocation& out, std::string_view label,
                                        std::initializer_list<const std::vector<DescOutput>*> lists,
                                        const std::set<std::string, std::less<>>* quarantined) {
    std::string heading = "\n";
    heading += label;
    heading += ":\n";
    RT_TRY(write_text(out, heading));

    std::vector<std::string> names;
    std::string outputs;
    for (const std::vector<DescOutput>* list : lists) {
        for (const auto& [desc, captured] : *list) {
            names.emplace_back(desc.name.as_slice());
            if (!captured.empty()) {
                outputs += "---- ";
                outputs += desc.name.as_slice();
                outputs += " stdout ----\n";
                outputs += rt::utf8_lossy(std::span<const std::uint8_t>(captured));
                outputs += "\n";
            }
        }
    }
    if (!outputs.empty()) {
        RT_TRY(write_text(out, "\n"));
        RT_TRY(write_text(out, outputs));
    }

    RT_TRY(write_text(out, heading));
    // std::string compares as unsigned bytes, which is the byte-wise order.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const bool marked = quarantined != nullptr && quarantined->contains(name);
        RT_TRY(write_text(out, "    " + name + (marked ? " (quarantined)\n" : "\n")));
    }
    return {};
}

rt::IoResult<void> write_summary(OutputLocation& out, bool use_color, const ConsoleTestState& state,
                                 bool success) {
    RT_TRY(write_text(out, "\ntest result: "));
    if (success) {
        RT_TRY(write_coloured(out, use_color, "ok", term::color::GREEN));
    } else {
        RT_TRY(write_coloured(out, use_color, "FAILED", term::color::RED));
    }
    std::string counts = ". " + std::to_string(state.passed) + " passed; " +
                         std::to_string(state.failed) + " failed; " +
                         std::to_string(state.ignored) + " ignored; " +
                         std::to_string(state.measured) + " measured; " +
                         std::to_string(state.filtered_out) + " filtered out";
    if (state.flaky > 0) {
        counts += "; " + std::to_string(state.flaky) + " flaky";
    }
    if (state.quarantined > 0) {
        counts += "; " + std::to_string(state.quarantined) + " quarantined";
    }
    RT_TRY(write_text(out, counts));
    if (state.exec_time) {
        RT_TRY(write_text(out, "; finished in " + state.exec_time->to_string()));
    }
    return write_text(out, "\n\n");
}

}  // namespace test::formatters
