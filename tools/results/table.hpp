#pragma once
// The answer of a query as rows of cells, and its two renderings: an aligned
// text table for people and a JSON array of objects for scripts. Each cell
// carries both its text form and its JSON value, so the queries decide once
// what a value means and the renderers only lay it out.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace zuno::results {

/// One column: its JSON key, its heading in the text table, and whether the
/// text is right-aligned (numbers).
struct Column {
    std::string key;
    std::string title;
    bool right = false;
};

/// One value of a row.
struct Cell {
    std::string text;
    nlohmann::ordered_json json;
};

/// A query's answer.
struct Table {
    std::vector<Column> columns;
    std::vector<std::vector<Cell>> rows;
};

/// A cell whose text and JSON are the same string.
Cell text_cell(std::string text);
/// A whole number.
Cell count_cell(std::int64_t value);
/// Seconds, shown as "1.234s".
Cell seconds_cell(double seconds);
/// A missing value: "-" in the text, null in JSON.
Cell null_cell();

/// The text table: a heading line, then one line per row; columns two spaces
/// apart, no trailing spaces. Control characters in cells are shown escaped
/// ("\n", "\x1b") so every row stays on one line.
std::string render_text(const Table& table);
/// A JSON array holding one object per row, keyed by the columns' keys, and a
/// final line feed. Text that is not valid UTF-8 is replaced, not refused.
std::string render_json(const Table& table);
/// Dumps a JSON value as render_json does.
std::string dump_json(const nlohmann::ordered_json& value);
/// `text` with control characters escaped as in render_text.
std::string escape_control(std::string_view text);

}  // namespace zuno::results
