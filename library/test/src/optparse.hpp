#pragma once
// A small general-purpose command-line option parser: declare options on an
// Options value, parse an argument list into Matches (or the first Fail), and
// render the "Options:" block of a help text from the same declarations.
// Values are plain data; nothing here is shared between threads or prints.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace test::optparse {

/// The name of an option: a short name (one character, `-x`) or a long name (`--name`).
class Name {
public:
    enum class Kind : std::uint8_t { Short = 0, Long = 1 };

    /// A short name; `ch` holds the UTF-8 bytes of one character.
    static Name short_name(std::string ch) { return Name(Kind::Short, std::move(ch)); }
    /// A long name of any length.
    static Name long_name(std::string text) { return Name(Kind::Long, std::move(text)); }
    /// Exactly one byte gives Short; anything else (also empty) gives Long.
    static Name from_str(std::string_view text);

    [[nodiscard]] Kind kind() const { return kind_; }
    /// The character of a Short, the text of a Long.
    [[nodiscard]] const std::string& to_string() const { return text_; }
    bool operator==(const Name&) const = default;

private:
    Name(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
    Kind kind_;
    std::string text_;
};

/// Whether an option takes a value.
enum class HasArg : std::uint8_t { ValueRequired = 0, NoValue = 1, ValueOptional = 2 };

/// How often an option may appear.
enum class Occur : std::uint8_t { Required = 0, Optional = 1, Repeated = 2 };

/// Whether free arguments may stand between options.
enum class ParsingStyle : std::uint8_t { MixedFree = 0, StopAtFree = 1 };

/// The parse-time form of a declared option; aliases never have aliases of their own.
struct Opt {
    Name name;
    HasArg hasarg;
    Occur occur;
    std::vector<Opt> aliases;
};

/// One declared option, as written by the declaring code.
struct OptGroup {
    std::string short_name;  ///< empty, or exactly one byte
    std::string long_name;   ///< empty, or at least two bytes
    std::string hint;        ///< shown after the name for options taking a value
    std::string desc;        ///< description for the help
    HasArg hasarg = HasArg::NoValue;
    Occur occur = Occur::Optional;

    /// The Opt named by the long name (with the short one as alias) or by the
    /// short name alone. Panics when the group has no usable name.
    [[nodiscard]] Opt long_to_short() const;
};

/// One recorded occurrence of an option: given bare, or given with a value.
struct Optval {
    enum class Kind : std::uint8_t { Present = 0, Text = 1 };
    Kind kind = Kind::Present;
    std::string text;  ///< the value (Text only)

    static Optval present() { return {}; }
    static Optval value(std::string text) { return {Kind::Text, std::move(text)}; }
    bool operator==(const Optval&) const = default;
};

/// The index of the option answering to `name` (primary names first, then
/// aliases, which answer for their owner), or nothing.
std::optional<std::size_t> find_opt(const std::vector<Opt>& opts, const Name& name);

/// The result of a successful parse. Queries name options by their short or
/// long text; naming an undeclared option is a fault of the caller (panic).
struct Matches {
    /// Position of the argument an occurrence came from, and the occurrence.
    using Entry = std::pair<std::size_t, Optval>;

    std::vector<Opt> opts;                 ///< built from the declarations, same order
    std::vector<std::vector<Entry>> vals;  ///< occurrences per option, in order met
    std::vector<std::string> free;         ///< free arguments in command-line order
    std::optional<std::size_t>
        after_terminator;  ///< index in `free` of the first argument after `--`

    /// A copy of the occurrences of the option named `name`.
    [[nodiscard]] std::vector<Entry> opt_vals(std::string_view name) const;
    /// True when the option occurred at least once.
    [[nodiscard]] bool opt_present(std::string_view name) const;
    /// The value of the first occurrence, when that occurrence carries one.
    [[nodiscard]] std::optional<std::string> opt_str(std::string_view name) const;
    /// The values of all occurrences that carry one, in order.
    [[nodiscard]] std::vector<std::string> opt_strs(std::string_view name) const;

private:
    [[nodiscard]] const std::vector<Entry>& vals_of(std::string_view name) const;
};

/// A parse failure: its kind and the option name it concerns.
struct Fail {
    enum class Kind : std::uint8_t {
        MissingValue = 0,
        Unrecognized = 1,
        MissingRequired = 2,
        Duplicated = 3,
        UnexpectedValue = 4,
    };
    Kind kind;
    std::string name;  ///< as typed for walk failures; the primary name for occurrence checks

    /// The one-line message, e.g. "Unrecognized option: 'nope'" (no line feed).
    [[nodiscard]] std::string to_string() const;
    bool operator==(const Fail&) const = default;
};

/// Either the matches of a successful parse or its first failure.
using ParseResult = std::variant<Matches, Fail>;

/// The declaration set. Declaration calls append and chain; a misdeclared
/// name panics (a fault of the declaring code, never of user input).
class Options {
public:
    /// A flag: NoValue, Optional.
    Options& optflag(std::string_view short_name, std::string_view long_name,
                     std::string_view desc);
    /// An option with a value: ValueRequired, Optional.
    Options& optopt(std::string_view short_name, std::string_view long_name, std::string_view desc,
                    std::string_view hint);
    /// A repeatable option with a value: ValueRequired, Repeated.
    Options& optmulti(std::string_view short_name, std::string_view long_name,
                      std::string_view desc, std::string_view hint);
    /// An option with any HasArg and Occur.
    Options& opt(std::string_view short_name, std::string_view long_name, std::string_view desc,
                 std::string_view hint, HasArg hasarg, Occur occur);

    /// Panics when the short name is longer than one byte or the long name is one byte.
    static void validate_names(std::string_view short_name, std::string_view long_name);

    /// Sets how free arguments end option processing (default MixedFree).
    Options& parsing_style(ParsingStyle style);
    /// When set, `-name` is read as a long name (default false).
    Options& long_only(bool single_dash_long);

    /// Parses `args` (the program name not included).
    [[nodiscard]] ParseResult parse(const std::vector<std::string>& args) const;

    /// `brief`, "\n\nOptions:\n", the rows of usage_items() joined by "\n", and "\n".
    [[nodiscard]] std::string usage(std::string_view brief) const;
    /// One help row per declared option, in declaration order (may span lines).
    [[nodiscard]] std::vector<std::string> usage_items() const;

    [[nodiscard]] const std::vector<OptGroup>& grps() const { return grps_; }

private:
    std::vector<OptGroup> grps_;
    ParsingStyle parsing_style_ = ParsingStyle::MixedFree;
    bool single_dash_long_ = false;
};

/// Splits `desc` into help rows of at most `limit` bytes: trims Unicode white
/// space, starts a row at every non-blank line, joins words by single spaces;
/// a word longer than `limit` stands alone on its row.
std::vector<std::string> each_split_within(std::string_view desc, std::size_t limit);

}  // namespace test::optparse
