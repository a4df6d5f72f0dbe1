#include "term/terminfo/parm.hpp"

#include <algorithm>
#include <limits>

namespace test::term::terminfo {

namespace {

// Phase of a format pattern such as "%:-4d": flags, then width, then precision.
enum class FormatPhase : std::uint8_t { Flags, Width, Precision };

// Interpreter states. The ones that carry data (IntConstant, FormatPattern and
// the four seek states) span several bytes; every other state consumes exactly
// one byte and then falls back to Normal.
enum class State : std::uint8_t {
    Normal,
    Percent,
    SetVar,
    GetVar,
    PushParam,
    CharConstant,
    CharClose,
    IntConstant,
    FormatPattern,
    SeekIfElse,
    SeekIfElsePercent,
    SeekIfEnd,
    SeekIfEndPercent,
};

// A byte rendered for an error message: the byte read as a Latin-1 code point,
// encoded in UTF-8 so that the message stays valid text.
std::string byte_as_text(std::uint8_t byte) {
    std::string out;
    if (byte < 0x80) {
        out.push_back(static_cast<char>(byte));
    } else {
        out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
        out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
    return out;
}

bool is_digit(std::uint8_t c) {
    return c >= '0' && c <= '9';
}

// Digits of `magnitude` in `base`, zero-padded on the left to `min_digits`.
std::string digits(std::uint64_t magnitude, unsigned base, std::size_t min_digits, bool upper) {
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    do {
        out.insert(out.begin(), set[magnitude % base]);
        magnitude /= base;
    } while (magnitude != 0);
    if (out.size() < min_digits) {
        out.insert(0, min_digits - out.size(), '0');
    }
    return out;
}

// The magnitude of a 32-bit value, safe for the smallest value.
std::uint64_t magnitude_of(std::int32_t v) {
    return v < 0 ? static_cast<std::uint64_t>(-static_cast<std::int64_t>(v))
                 : static_cast<std::uint64_t>(v);
}

// Pops the top of the stack into `out`; false when the stack is empty.
bool pop(std::vector<Param>& stack, Param& out) {
    if (stack.empty()) {
        return false;
    }
    out = stack.back();
    stack.pop_back();
    return true;
}

// Applies a binary operator (the byte after "%") to x and y. Division and
// remainder by zero, and the smallest value divided by -1, are errors rather
// than undefined arithmetic.
Result<std::int32_t> binary_op(std::uint8_t op, std::int32_t x, std::int32_t y) {
    const auto ux = static_cast<std::uint32_t>(x);
    const auto uy = static_cast<std::uint32_t>(y);
    switch (op) {
        case '+':
            return static_cast<std::int32_t>(ux + uy);
        case '-':
            return static_cast<std::int32_t>(ux - uy);
        case '*':
            return static_cast<std::int32_t>(ux * uy);
        case '/':
        case 'm':
            if (y == 0) {
                return Err{"division by zero"};
            }
            if (x == std::numeric_limits<std::int32_t>::min() && y == -1) {
                return Err{"division overflow"};
            }
            return op == '/' ? x / y : x % y;
        case '&':
            return x & y;
        case '|':
            return x | y;
        case '^':
            return x ^ y;
        case '=':
            return x == y ? 1 : 0;
        case '>':
            return x > y ? 1 : 0;
        case '<':
            return x < y ? 1 : 0;
        case 'A':
            return x > 0 && y > 0 ? 1 : 0;
        case 'O':
            return x > 0 || y > 0 ? 1 : 0;
        default:
            return Err{"unrecognized format option " + byte_as_text(op)};
    }
}

}  // namespace

std::optional<FormatOp> format_op_from_char(char c) {
    switch (c) {
        case 'd':
            return FormatOp::Digit;
        case 'o':
            return FormatOp::Octal;
        case 'x':
            return FormatOp::LowerHex;
        case 'X':
            return FormatOp::UpperHex;
        case 's':
            return FormatOp::String;
        default:
            return std::nullopt;
    }
}

Result<std::vector<std::uint8_t>> format(Param value, FormatOp op, const Flags& flags) {
    if (flags.width > MAX_FORMAT_WIDTH) {
        return Err{"format width overflow"};
    }
    if (flags.precision > MAX_FORMAT_WIDTH) {
        return Err{"format precision overflow"};
    }
    const std::int32_t d = value.number;
    const auto bits = static_cast<std::uint32_t>(d);
    // `prefix` is the sign or radix prefix; zero padding for a "0" width goes
    // between it and `body`.
    std::string prefix;
    std::string body;
    switch (op) {
        case FormatOp::Digit:
            if (flags.sign) {
                // Zero-padded to the precision in characters, sign included.
                prefix = d < 0 ? "-" : "+";
                body = digits(magnitude_of(d), 10, flags.precision > 0 ? flags.precision - 1 : 0,
                              false);
            } else if (d < 0) {
                // The minus sign does not count against the precision.
                prefix = "-";
                body = digits(magnitude_of(d), 10, flags.precision, false);
            } else if (flags.space) {
                prefix = " ";
                body = digits(magnitude_of(d), 10, flags.precision, false);
            } else {
                body = digits(magnitude_of(d), 10, flags.precision, false);
            }
            break;
        case FormatOp::Octal:
            if (flags.alternate) {
                prefix = "0";
                body = digits(bits, 8, flags.precision > 0 ? flags.precision - 1 : 0, false);
            } else {
                body = digits(bits, 8, flags.precision, false);
            }
            break;
        case FormatOp::LowerHex:
        case FormatOp::UpperHex: {
            const bool upper = op == FormatOp::UpperHex;
            if (flags.alternate && d != 0) {
                prefix = upper ? "0X" : "0x";
            }
            body = digits(bits, 16, flags.precision, upper);
            break;
        }
        case FormatOp::String:
            return Err{"non-number on stack with %s"};
    }
    const std::size_t len = prefix.size() + body.size();
    std::vector<std::uint8_t> out;
    out.reserve(std::max<std::size_t>(len, flags.width));
    const std::size_t pad = flags.width > len ? flags.width - len : 0;
    if (!flags.left && !flags.zero) {
        out.insert(out.end(), pad, ' ');
    }
    out.insert(out.end(), prefix.begin(), prefix.end());
    if (!flags.left && flags.zero) {
        out.insert(out.end(), pad, '0');
    }
    out.insert(out.end(), body.begin(), body.end());
    if (flags.left) {
        out.insert(out.end(), pad, ' ');
    }
    return out;
}

Result<std::vector<std::uint8_t>> expand(std::span<const std::uint8_t> cap,
                                         std::span<const Param> params, Variables& vars) {
    std::vector<std::uint8_t> output;
    output.reserve(cap.size());
    std::vector<Param> stack;

    // Parameter slots 1 to 9 live at indices 0 to 8.
    std::array<Param, 9> mparams{};
    for (std::size_t i = 0; i < params.size() && i < mparams.size(); ++i) {
        mparams[i] = params[i];
    }

    State state = State::Normal;
    std::int32_t int_value = 0;  // IntConstant: the digits so far
    Flags flags;                 // FormatPattern: the options so far
    FormatPhase phase = FormatPhase::Flags;
    std::size_t level = 0;  // seek states: depth of nested "%?"

    for (const std::uint8_t cur : cap) {
        Param x;
        Param y;
        switch (state) {
            case State::Normal:
                if (cur == '%') {
                    state = State::Percent;
                } else {
                    output.push_back(cur);
                }
                break;

            case State::Percent:
                // Operators that need more bytes set their state; all others
                // act now and return to Normal.
                state = State::Normal;
                switch (cur) {
                    case '%':
                        output.push_back('%');
                        break;
                    case 'c':
                        if (!pop(stack, x)) {
                            return Err{"stack is empty"};
                        }
                        // A NUL would end the string for the terminal, so 0 is sent as 0x80.
                        output.push_back(x.number == 0 ? 0x80
                                                       : static_cast<std::uint8_t>(x.number));
                        break;
                    case 'p':
                        state = State::PushParam;
                        break;
                    case 'P':
                        state = State::SetVar;
                        break;
                    case 'g':
                        state = State::GetVar;
                        break;
                    case '\'':
                        state = State::CharConstant;
                        break;
                    case '{':
                        int_value = 0;
                        state = State::IntConstant;
                        break;
                    case 'l':
                        // Only numbers exist, so a length is never available.
                        return Err{stack.empty() ? "stack is empty" : "a non-str was used with %l"};
                    case '+':
                    case '-':
                    case '*':
                    case '/':
                    case 'm':
                    case '&':
                    case '|':
                    case '^':
                    case '=':
                    case '>':
                    case '<':
                    case 'A':
                    case 'O': {
                        if (!pop(stack, y) || !pop(stack, x)) {
                            return Err{"stack is empty"};
                        }
                        auto r = binary_op(cur, x.number, y.number);
                        RT_TRY(r);
                        stack.push_back(Param{r.value()});
                        break;
                    }
                    case '!':
                        if (!pop(stack, x)) {
                            return Err{"stack is empty"};
                        }
                        stack.push_back(Param{x.number > 0 ? 0 : 1});
                        break;
                    case '~':
                        if (!pop(stack, x)) {
                            return Err{"stack is empty"};
                        }
                        stack.push_back(Param{~x.number});
                        break;
                    case 'i':
                        for (std::size_t i = 0; i < 2; ++i) {
                            mparams[i].number = static_cast<std::int32_t>(
                                static_cast<std::uint32_t>(mparams[i].number) + 1U);
                        }
                        break;
                    case 'd':
                    case 'o':
                    case 'x':
                    case 'X':
                    case 's': {
                        if (!pop(stack, x)) {
                            return Err{"stack is empty"};
                        }
                        auto r = format(x, *format_op_from_char(static_cast<char>(cur)), Flags{});
                        RT_TRY(r);
                        output.insert(output.end(), r.value().begin(), r.value().end());
                        if (output.size() > MAX_EXPANSION_BYTES) {
                            return Err{"expansion too long"};
                        }
                        break;
                    }
                    case ':':
                    case '#':
                    case ' ':
                    case '.':
                    case '0':
                    case '1':
                    case '2':
                    case '3':
                    case '4':
                    case '5':
                    case '6':
                    case '7':
                    case '8':
                    case '9':
                        flags = Flags{};
                        phase = FormatPhase::Flags;
                        if (cur == '#') {
                            flags.alternate = true;
                        } else if (cur == ' ') {
                            flags.space = true;
                        } else if (cur == '.') {
                            phase = FormatPhase::Precision;
                        } else if (is_digit(cur)) {
                            flags.width = cur - '0';
                            flags.zero = cur == '0';
                            phase = FormatPhase::Width;
                        }
                        state = State::FormatPattern;
                        break;
                    case '?':
                    case ';':
                        // Start and end of a condition: nothing to do.
                        break;
                    case 't':
                        if (!pop(stack, x)) {
                            return Err{"stack is empty"};
                        }
                        if (x.number == 0) {
                            level = 0;
                            state = State::SeekIfElse;
                        }
                        break;
                    case 'e':
                        level = 0;
                        state = State::SeekIfEnd;
                        break;
                    default:
                        return Err{"unrecognized format option " + byte_as_text(cur)};
                }
                break;

            case State::PushParam:
                // Slots are numbered from 1; "%p0" has no slot.
                if (!is_digit(cur) || cur == '0') {
                    return Err{"bad param number"};
                }
                stack.push_back(mparams[cur - '1']);
                state = State::Normal;
                break;

            case State::SetVar:
            case State::GetVar: {
                Param* var = nullptr;
                if (cur >= 'A' && cur <= 'Z') {
                    var = &vars.sta_vars[cur - 'A'];
                } else if (cur >= 'a' && cur <= 'z') {
                    var = &vars.dyn_vars[cur - 'a'];
                } else {
                    return Err{state == State::SetVar ? "bad variable name in %P"
                                                      : "bad variable name in %g"};
                }
                if (state == State::SetVar) {
                    if (!pop(stack, *var)) {
                        return Err{"stack is empty"};
                    }
                } else {
                    stack.push_back(*var);
                }
                state = State::Normal;
                break;
            }

            case State::CharConstant:
                stack.push_back(Param{cur});
                state = State::CharClose;
                break;

            case State::CharClose:
                if (cur != '\'') {
                    return Err{"malformed character constant"};
                }
                state = State::Normal;
                break;

            case State::IntConstant:
                if (cur == '}') {
                    stack.push_back(Param{int_value});
                    state = State::Normal;
                } else if (is_digit(cur)) {
                    const std::int64_t next = std::int64_t{int_value} * 10 + (cur - '0');
                    if (next > std::numeric_limits<std::int32_t>::max()) {
                        return Err{"int constant too large"};
                    }
                    int_value = static_cast<std::int32_t>(next);
                } else {
                    return Err{"bad int constant"};
                }
                break;

            case State::FormatPattern: {
                if (auto op = format_op_from_char(static_cast<char>(cur))) {
                    if (!pop(stack, x)) {
                        return Err{"stack is empty"};
                    }
                    auto r = format(x, *op, flags);
                    RT_TRY(r);
                    output.insert(output.end(), r.value().begin(), r.value().end());
                    if (output.size() > MAX_EXPANSION_BYTES) {
                        return Err{"expansion too long"};
                    }
                    state = State::Normal;
                    break;
                }
                if (phase == FormatPhase::Flags) {
                    if (cur == '#') {
                        flags.alternate = true;
                    } else if (cur == '-') {
                        flags.left = true;
                    } else if (cur == '+') {
                        flags.sign = true;
                    } else if (cur == ' ') {
                        flags.space = true;
                    } else if (is_digit(cur)) {
                        flags.width = cur - '0';
                        flags.zero = cur == '0';
                        phase = FormatPhase::Width;
                    } else if (cur == '.') {
                        phase = FormatPhase::Precision;
                    } else {
                        return Err{"invalid format specifier"};
                    }
                } else if (phase == FormatPhase::Width && is_digit(cur)) {
                    flags.width = flags.width * 10 + (cur - '0');
                    if (flags.width > MAX_FORMAT_WIDTH) {
                        return Err{"format width overflow"};
                    }
                } else if (phase == FormatPhase::Width && cur == '.') {
                    phase = FormatPhase::Precision;
                } else if (phase == FormatPhase::Precision && is_digit(cur)) {
                    flags.precision = flags.precision * 10 + (cur - '0');
                    if (flags.precision > MAX_FORMAT_WIDTH) {
                        return Err{"format precision overflow"};
                    }
                } else {
                    return Err{"invalid format specifier"};
                }
                break;
            }

            // Skipping the untaken branch of a condition: nested "%?" raise the
            // level, "%;" lowers it or ends the skip, and when seeking the
            // else-branch "%e" at level 0 ends the skip as well.
            case State::SeekIfElse:
            case State::SeekIfEnd:
                if (cur == '%') {
                    state = state == State::SeekIfElse ? State::SeekIfElsePercent
                                                       : State::SeekIfEndPercent;
                }
                break;

            case State::SeekIfElsePercent:
            case State::SeekIfEndPercent: {
                const bool for_else = state == State::SeekIfElsePercent;
                const State seek = for_else ? State::SeekIfElse : State::SeekIfEnd;
                if (cur == ';') {
                    if (level == 0) {
                        state = State::Normal;
                    } else {
                        --level;
                        state = seek;
                    }
                } else if (for_else && cur == 'e' && level == 0) {
                    state = State::Normal;
                } else if (cur == '?') {
                    ++level;
                    state = seek;
                } else {
                    state = seek;
                }
                break;
            }
        }
    }
    return output;
}

}  // namespace test::term::terminfo
