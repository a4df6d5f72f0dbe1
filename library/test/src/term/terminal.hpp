#pragma once
// The terminal object the console formatters colour their output through.
// A Terminal is a byte writer that can also set the foreground colour and
// reset all attributes, with the control sequences of the terminal's entry.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "io.hpp"
#include "result.hpp"

namespace test::term {

/// Standard terminal colour numbers used by the formatters.
namespace color {
inline constexpr std::uint32_t RED = 1;
inline constexpr std::uint32_t GREEN = 2;
inline constexpr std::uint32_t YELLOW = 3;
inline constexpr std::uint32_t CYAN = 6;
}  // namespace color

/// A byte writer with colour support.
class Terminal : public rt::Write {
public:
    /// Sets the foreground colour; true when a control sequence was written.
    virtual rt::IoResult<bool> fg(std::uint32_t colour) = 0;
    /// Resets all attributes; true when a control sequence was written.
    virtual rt::IoResult<bool> reset() = 0;
    /// Tries, without writing, every control sequence that colouring with
    /// the colours above and resetting would write; returns the first
    /// failure's message, or nothing when all of them can be produced.
    [[nodiscard]] virtual std::optional<std::string> colour_problem() const = 0;
};

/// A terminal object for standard output, or null when no entry can be loaded.
/// It writes through `out` (standard output itself when null).
std::unique_ptr<Terminal> stdout_terminal(std::unique_ptr<rt::Write> out = nullptr);

}  // namespace test::term
