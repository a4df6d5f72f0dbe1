#include "table.hpp"

#include <algorithm>
#include <cstdio>

namespace zuno::results {

namespace {

/// Columns a text takes: one per UTF-8 sequence (continuation bytes take none).
std::size_t display_width(std::string_view text) {
    std::size_t width = 0;
    for (char c : text) {
        width += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    }
    return width;
}

}  // namespace

Cell text_cell(std::string text) {
    nlohmann::ordered_json json = text;
    return Cell{std::move(text), std::move(json)};
}

Cell count_cell(std::int64_t value) {
    return Cell{std::to_string(value), value};
}

Cell seconds_cell(double seconds) {
    char text[48];
    std::snprintf(text, sizeof text, "%.3fs", seconds);
    return Cell{text, seconds};
}

Cell null_cell() {
    return Cell{"-", nullptr};
}

std::string escape_control(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (byte < 0x20 || byte == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

std::string render_text(const Table& table) {
    const std::size_t n = table.columns.size();
    std::vector<std::vector<std::string>> lines;
    lines.reserve(table.rows.size() + 1);
    std::vector<std::string> heading;
    for (const Column& c : table.columns) {
        heading.push_back(c.title);
    }
    lines.push_back(std::move(heading));
    for (const auto& row : table.rows) {
        std::vector<std::string> line;
        for (std::size_t i = 0; i < n; ++i) {
            line.push_back(i < row.size() ? escape_control(row[i].text) : std::string());
        }
        lines.push_back(std::move(line));
    }
    std::vector<std::size_t> widths(n, 0);
    for (const auto& line : lines) {
        for (std::size_t i = 0; i < n; ++i) {
            widths[i] = std::max(widths[i], display_width(line[i]));
        }
    }
    std::string out;
    for (const auto& line : lines) {
        std::string text;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t pad = widths[i] - display_width(line[i]);
            if (i > 0) {
                text += "  ";
            }
            if (table.columns[i].right) {
                text.append(pad, ' ');
                text += line[i];
            } else {
                text += line[i];
                if (i + 1 < n) {
                    text.append(pad, ' ');
                }
            }
        }
        while (!text.empty() && text.back() == ' ') {
            text.pop_back();
        }
        out += text;
        out += '\n';
    }
    return out;
}

std::string dump_json(const nlohmann::ordered_json& value) {
    return value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string render_json(const Table& table) {
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (const auto& row : table.rows) {
        nlohmann::ordered_json object = nlohmann::ordered_json::object();
        for (std::size_t i = 0; i < table.columns.size() && i < row.size(); ++i) {
            object[table.columns[i].key] = row[i].json;
        }
        rows.push_back(std::move(object));
    }
    return dump_json(rows);
}

}  // namespace zuno::results
