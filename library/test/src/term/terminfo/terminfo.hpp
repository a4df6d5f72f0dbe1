#pragma once
// Terminfo entries: locating a terminal's compiled entry in the terminfo
// directories, loading it, and TerminfoTerminal, the Terminal that colours
// output with the control strings of the entry. A TerminfoTerminal owns its
// writer and its entry and is used by one thread at a time.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "io.hpp"
#include "result.hpp"
#include "term/terminal.hpp"
#include "term/terminfo/parm.hpp"

namespace test::term::terminfo {

/// Why no entry could be loaded. Callers in the harness only test for success.
struct Error {
    /// TERM is absent or not valid Unicode.
    struct TermUnset {};
    /// The entry was found and read but is not a valid compiled entry.
    struct MalformedTerminfo {
        std::string message;
    };
    std::variant<TermUnset, MalformedTerminfo, rt::IoError> cause;

    /// A one-line description of the cause.
    [[nodiscard]] std::string display() const;
};

/// A parsed terminfo entry: the terminal's names and its capabilities by name.
struct TermInfo {
    /// The names of the terminal (the entry's name section split at "|").
    std::vector<std::string> aliases;
    /// Boolean capabilities that are set (only true values are stored).
    std::map<std::string, bool, std::less<>> bool_caps;
    /// Numeric capabilities.
    std::map<std::string, std::uint32_t, std::less<>> num_caps;
    /// String capabilities, unexpanded.
    std::map<std::string, std::vector<std::uint8_t>, std::less<>> str_caps;

    /// Loads the entry of the terminal named by TERM; when that fails and MSYSCON
    /// is "mintty.exe", returns msys_terminfo() instead.
    static Result<TermInfo, Error> from_env();
    /// Loads the entry of the named terminal from the terminfo directories.
    static Result<TermInfo, Error> from_name(std::string_view name);
    /// Loads a compiled entry from a file (at most MAX_ENTRY_BYTES are read).
    static Result<TermInfo, Error> from_path(const std::string& path);
};

/// The most bytes read from an entry file. The parser never looks further than
/// about 100 KiB (every section size is a 16-bit count), so 1 MiB loses nothing
/// and bounds what a device or a huge file named by the environment can cost.
inline constexpr std::size_t MAX_ENTRY_BYTES = std::size_t{1} << 20;

/// The path of the compiled entry for a terminal name, or nullopt. Searches
/// TERMINFO, then TERMINFO_DIRS (an empty entry meaning /usr/share/terminfo) or,
/// when that is unset, ~/.terminfo and the system directories; in each, the
/// first-letter and then the hexadecimal sub-directory.
std::optional<std::string> get_dbpath_for_term(std::string_view name);

/// The built-in entry used under mintty when no entry is found: 8 colours.
TermInfo msys_terminfo();

/// The Terminal implementation driven by a terminfo entry.
class TerminfoTerminal final : public Terminal {
public:
    /// Wraps `out` (standard output in the harness); colour_count is the entry's
    /// "colors" when it has both "setaf" and "setab", else 0.
    static std::unique_ptr<TerminfoTerminal> new_with_terminfo(std::unique_ptr<rt::Write> out,
                                                               TermInfo terminfo);

    /// Writes the entry's "setaf" for `colour` (bright colours fall back to their
    /// dim variant when the terminal has fewer colours); false when out of range.
    rt::IoResult<bool> fg(std::uint32_t colour) override;
    /// Writes the first of "sgr0", "sgr", "op" the entry has; false when none.
    rt::IoResult<bool> reset() override;
    [[nodiscard]] std::optional<std::string> colour_problem() const override;
    rt::IoResult<void> write_all(std::span<const std::uint8_t> bytes) override;
    rt::IoResult<void> flush() override;

    /// The number of colours usable with "setaf".
    [[nodiscard]] std::uint32_t colour_count() const { return colour_count_; }
    /// The entry the terminal was built from.
    [[nodiscard]] const TermInfo& terminfo() const { return terminfo_; }

private:
    TerminfoTerminal(std::unique_ptr<rt::Write> out, TermInfo terminfo);
    // Bright colours (8-15) become their dim variant when not supported.
    [[nodiscard]] std::uint32_t dim_if_necessary(std::uint32_t colour) const;
    // The capability reset() writes, or null when the entry has none.
    [[nodiscard]] const std::vector<std::uint8_t>* reset_cap() const;
    // Expands string capability `name` with `params` and writes it; false when absent.
    rt::IoResult<bool> apply_cap(std::string_view name, std::span<const Param> params);
    // Expands `cap` with fresh variables and writes it whole.
    rt::IoResult<void> write_expanded(std::span<const std::uint8_t> cap,
                                      std::span<const Param> params);

    std::unique_ptr<rt::Write> out_;
    TermInfo terminfo_;
    std::uint32_t colour_count_;
};

}  // namespace test::term::terminfo
