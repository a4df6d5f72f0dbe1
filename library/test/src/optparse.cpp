#include "optparse.hpp"

#include "panic.hpp"
#include "utf8.hpp"

#include <algorithm>
#include <string>

namespace test::optparse {

namespace {

// Column at which descriptions start in the help, and the width they wrap at.
constexpr std::size_t kDescColumn = 24;
constexpr std::size_t kDescWidth = 54;

constexpr char32_t kInvalid = 0xFFFFFFFF;

struct Decoded {
    char32_t cp;
    std::size_t len;
};

// Decodes the UTF-8 character at `i`. A malformed sequence yields kInvalid
// and a length of one byte, so every byte is visited exactly once.
Decoded decode_at(std::string_view s, std::size_t i) {
    const rt::Utf8Char c = rt::utf8_decode(s, i);
    return c.valid ? Decoded{c.code_point, c.len} : Decoded{kInvalid, 1};
}

// The Unicode White_Space property.
bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// `s` without leading and trailing white space.
std::string_view trim(std::string_view s) {
    std::size_t begin = s.size();
    std::size_t end = 0;
    for (std::size_t i = 0; i < s.size();) {
        const Decoded d = decode_at(s, i);
        if (!is_white_space(d.cp)) {
            begin = std::min(begin, i);
            end = i + d.len;
        }
        i += d.len;
    }
    return begin < end ? s.substr(begin, end - begin) : std::string_view{};
}

// An argument that looks like an option: two bytes or more, starting with '-'.
bool looks_like_option(std::string_view arg) {
    return arg.size() >= 2 && arg[0] == '-';
}

std::string_view primary_name_of(const Opt& opt) {
    return opt.name.to_string();
}

}  // namespace

Name Name::from_str(std::string_view text) {
    if (text.size() == 1) {
        return short_name(std::string(text));
    }
    return long_name(std::string(text));
}

Opt OptGroup::long_to_short() const {
    if (short_name.empty() && long_name.empty()) {
        rt::panic("this long-format option was given no name");
    }
    if (short_name.empty()) {
        return Opt{Name::long_name(long_name), hasarg, occur, {}};
    }
    if (short_name.size() == 1 && long_name.empty()) {
        return Opt{Name::short_name(short_name), hasarg, occur, {}};
    }
    if (short_name.size() == 1) {
        return Opt{Name::long_name(long_name),
                   hasarg,
                   occur,
                   {Opt{Name::short_name(short_name), hasarg, occur, {}}}};
    }
    rt::panic("something is wrong with the long-form opt");
}

std::optional<std::size_t> find_opt(const std::vector<Opt>& opts, const Name& name) {
    for (std::size_t i = 0; i < opts.size(); ++i) {
        if (opts[i].name == name) {
            return i;
        }
    }
    // An alias answers for its owner: the first option whose primary name is
    // the owner's primary name.
    for (const Opt& candidate : opts) {
        for (const Opt& alias : candidate.aliases) {
            if (alias.name == name) {
                for (std::size_t i = 0; i < opts.size(); ++i) {
                    if (opts[i].name == candidate.name) {
                        return i;
                    }
                }
            }
        }
    }
    return std::nullopt;
}

const std::vector<Matches::Entry>& Matches::vals_of(std::string_view name) const {
    const std::optional<std::size_t> index = find_opt(opts, Name::from_str(name));
    if (!index) {
        rt::panic("No option '" + std::string(name) + "' defined");
    }
    return vals[*index];
}

std::vector<Matches::Entry> Matches::opt_vals(std::string_view name) const {
    return vals_of(name);
}

bool Matches::opt_present(std::string_view name) const {
    return !vals_of(name).empty();
}

std::optional<std::string> Matches::opt_str(std::string_view name) const {
    const std::vector<Entry>& entries = vals_of(name);
    if (entries.empty() || entries.front().second.kind != Optval::Kind::Text) {
        return std::nullopt;
    }
    return entries.front().second.text;
}

std::vector<std::string> Matches::opt_strs(std::string_view name) const {
    std::vector<std::string> out;
    for (const Entry& entry : vals_of(name)) {
        if (entry.second.kind == Optval::Kind::Text) {
            out.push_back(entry.second.text);
        }
    }
    return out;
}

std::string Fail::to_string() const {
    switch (kind) {
        case Kind::MissingValue:
            return "Argument to option '" + name + "' missing";
        case Kind::Unrecognized:
            return "Unrecognized option: '" + name + "'";
        case Kind::MissingRequired:
            return "Required option '" + name + "' missing";
        case Kind::Duplicated:
            return "Option '" + name + "' given more than once";
        case Kind::UnexpectedValue:
            return "Option '" + name + "' does not take an argument";
    }
    return {};
}

void Options::validate_names(std::string_view short_name, std::string_view long_name) {
    if (short_name.size() > 1) {
        rt::panic(
            "the short_name (first argument) should be a single character, or an empty string "
            "for none");
    }
    if (long_name.size() == 1) {
        rt::panic(
            "the long_name (second argument) should be longer than a single character, or an "
            "empty string for none");
    }
}

Options& Options::opt(std::string_view short_name, std::string_view long_name,
                      std::string_view desc, std::string_view hint, HasArg hasarg, Occur occur) {
    validate_names(short_name, long_name);
    grps_.push_back(OptGroup{std::string(short_name), std::string(long_name), std::string(hint),
                             std::string(desc), hasarg, occur});
    return *this;
}

Options& Options::optflag(std::string_view short_name, std::string_view long_name,
                          std::string_view desc) {
    return opt(short_name, long_name, desc, "", HasArg::NoValue, Occur::Optional);
}

Options& Options::optopt(std::string_view short_name, std::string_view long_name,
                         std::string_view desc, std::string_view hint) {
    return opt(short_name, long_name, desc, hint, HasArg::ValueRequired, Occur::Optional);
}

Options& Options::optmulti(std::string_view short_name, std::string_view long_name,
                           std::string_view desc, std::string_view hint) {
    return opt(short_name, long_name, desc, hint, HasArg::ValueRequired, Occur::Repeated);
}

Options& Options::parsing_style(ParsingStyle style) {
    parsing_style_ = style;
    return *this;
}

Options& Options::long_only(bool single_dash_long) {
    single_dash_long_ = single_dash_long;
    return *this;
}

ParseResult Options::parse(const std::vector<std::string>& args) const {
    Matches m;
    m.opts.reserve(grps_.size());
    for (const OptGroup& grp : grps_) {
        m.opts.push_back(grp.long_to_short());
    }
    m.vals.resize(m.opts.size());

    std::size_t pos = 0;  // counts the arguments taken; consumed values do not count
    for (std::size_t next = 0; next < args.size(); ++pos) {
        const std::string& cur = args[next++];

        if (!looks_like_option(cur)) {
            m.free.push_back(cur);
            if (parsing_style_ == ParsingStyle::StopAtFree) {
                m.free.insert(m.free.end(), args.begin() + next, args.end());
                break;
            }
            continue;
        }
        if (cur == "--") {
            if (next < args.size()) {
                m.after_terminator = m.free.size();
            }
            m.free.insert(m.free.end(), args.begin() + next, args.end());
            break;
        }

        // The name to record and its inline value, if any. A short cluster
        // records its leading flags itself and hands over only the character
        // that takes a value (if one does).
        std::optional<Name> name;
        std::optional<std::string> inline_value;
        bool was_long = false;
        if (cur[1] == '-' || single_dash_long_) {
            was_long = true;
            const std::string_view tail = std::string_view(cur).substr(cur[1] == '-' ? 2 : 1);
            const std::size_t eq = tail.find('=');
            if (eq == std::string_view::npos) {
                name = Name::from_str(tail);
            } else {
                name = Name::from_str(tail.substr(0, eq));
                inline_value = std::string(tail.substr(eq + 1));
            }
        } else {
            for (std::size_t i = 1; i < cur.size();) {
                const std::size_t len = decode_at(cur, i).len;
                Name c = Name::short_name(cur.substr(i, len));
                i += len;
                const std::optional<std::size_t> index = find_opt(m.opts, c);
                if (!index) {
                    return Fail{Fail::Kind::Unrecognized, c.to_string()};
                }
                if (m.opts[*index].hasarg == HasArg::NoValue) {
                    m.vals[*index].emplace_back(pos, Optval::present());
                    continue;
                }
                if (i < cur.size()) {
                    inline_value = cur.substr(i);
                }
                name = std::move(c);
                break;
            }
            if (!name) {
                continue;  // the cluster held flags only
            }
        }

        const std::optional<std::size_t> index = find_opt(m.opts, *name);
        if (!index) {
            return Fail{Fail::Kind::Unrecognized, name->to_string()};
        }
        std::vector<Matches::Entry>& vals = m.vals[*index];
        switch (m.opts[*index].hasarg) {
            case HasArg::NoValue:
                if (inline_value) {
                    return Fail{Fail::Kind::UnexpectedValue, name->to_string()};
                }
                vals.emplace_back(pos, Optval::present());
                break;
            case HasArg::ValueOptional:
                if (inline_value) {
                    vals.emplace_back(pos, Optval::value(std::move(*inline_value)));
                } else if (was_long || next >= args.size() || looks_like_option(args[next])) {
                    vals.emplace_back(pos, Optval::present());
                } else {
                    vals.emplace_back(pos, Optval::value(args[next++]));
                }
                break;
            case HasArg::ValueRequired:
                if (inline_value) {
                    vals.emplace_back(pos, Optval::value(std::move(*inline_value)));
                } else if (next < args.size()) {
                    vals.emplace_back(pos, Optval::value(args[next++]));
                } else {
                    return Fail{Fail::Kind::MissingValue, name->to_string()};
                }
                break;
        }
    }

    for (std::size_t i = 0; i < m.opts.size(); ++i) {
        const Opt& opt = m.opts[i];
        const std::size_t count = m.vals[i].size();
        if (opt.occur == Occur::Required && count == 0) {
            return Fail{Fail::Kind::MissingRequired, std::string(primary_name_of(opt))};
        }
        if (opt.occur != Occur::Repeated && count > 1) {
            return Fail{Fail::Kind::Duplicated, std::string(primary_name_of(opt))};
        }
    }
    return m;
}

std::vector<std::string> Options::usage_items() const {
    bool any_short = false;
    for (const OptGroup& grp : grps_) {
        any_short = any_short || !grp.short_name.empty();
    }

    const std::string desc_sep = "\n" + std::string(kDescColumn, ' ');
    std::vector<std::string> rows;
    rows.reserve(grps_.size());
    for (const OptGroup& grp : grps_) {
        std::string row = "    ";
        if (grp.short_name.empty()) {
            if (any_short) {
                row += "    ";
            }
        } else if (grp.short_name.size() == 1) {
            row += '-';
            row += grp.short_name;
            row += grp.long_name.empty() ? " " : ", ";
        } else {
            rt::panic("the short name should only be 1 ascii char long");
        }

        if (!grp.long_name.empty()) {
            row += single_dash_long_ ? "-" : "--";
            row += grp.long_name;
            row += ' ';
        }

        switch (grp.hasarg) {
            case HasArg::ValueRequired:
                row += grp.hint;
                break;
            case HasArg::ValueOptional:
                row += '[';
                row += grp.hint;
                row += ']';
                break;
            case HasArg::NoValue:
                break;
        }

        if (row.size() < kDescColumn) {
            row.append(kDescColumn - row.size(), ' ');
        } else {
            row += desc_sep;
        }

        const std::vector<std::string> desc_rows = each_split_within(grp.desc, kDescWidth);
        for (std::size_t i = 0; i < desc_rows.size(); ++i) {
            if (i > 0) {
                row += desc_sep;
            }
            row += desc_rows[i];
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string Options::usage(std::string_view brief) const {
    std::string out(brief);
    out += "\n\nOptions:\n";
    const std::vector<std::string> rows = usage_items();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i > 0) {
            out += '\n';
        }
        out += rows[i];
    }
    out += '\n';
    return out;
}

std::vector<std::string> each_split_within(std::string_view desc, std::size_t limit) {
    std::vector<std::string> rows;
    const std::string_view text = trim(desc);
    for (std::size_t start = 0;;) {
        const std::size_t lf = text.find('\n', start);
        std::string_view line = text.substr(start, lf == std::string_view::npos ? lf : lf - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }

        std::string row;
        auto push_word = [&](std::string_view word) {
            if (row.size() + (row.empty() ? 0 : 1) + word.size() <= limit) {
                if (!row.empty()) {
                    row += ' ';
                }
                row += word;
                return;
            }
            if (!row.empty()) {
                rows.push_back(std::move(row));
            }
            row.assign(word);
        };

        // Words are maximal runs of characters that are not white space.
        std::size_t word_start = std::string_view::npos;
        for (std::size_t i = 0; i <= line.size();) {
            const Decoded d =
                i < line.size() ? decode_at(line, i) : Decoded{U' ', 1};  // sentinel at the end
            if (is_white_space(d.cp)) {
                if (word_start != std::string_view::npos) {
                    push_word(line.substr(word_start, i - word_start));
                    word_start = std::string_view::npos;
                }
            } else if (word_start == std::string_view::npos) {
                word_start = i;
            }
            i += d.len;
        }
        if (!row.empty()) {
            rows.push_back(std::move(row));
        }
        if (lf == std::string_view::npos) {
            break;
        }
        start = lf + 1;
    }
    return rows;
}

}  // namespace test::optparse
