#include "library/runtime/text.hpp"

#include <cstdlib>
#include <cstring>

#include "library/runtime/panic.hpp"

namespace rt {

namespace {

// The arguments as the C runtime handed them over; set before main() by the
// .init_array entry below, and again by lang_start.
int ARGC = 0;
char** ARGV = nullptr;

void capture_args(int argc, char** argv, char** /*envp*/) {
    ARGC = argc;
    ARGV = argv;
}

// glibc calls .init_array functions with (argc, argv, envp), which gives the
// arguments to programs whose main() is not ours (GoogleTest's, for example).
[[gnu::section(".init_array"), gnu::used]] void (*const CAPTURE_ARGS)(int, char**,
                                                                      char**) = &capture_args;

// Length of the UTF-8 sequence starting at `at`. Sets `valid` when the bytes
// form a complete, well-formed character; otherwise the length covers the
// maximal subpart (the longest prefix of a well-formed sequence, at least one
// byte), which is replaced by a single U+FFFD when decoding lossily.
std::size_t sequence_at(std::string_view s, std::size_t at, bool& valid) {
    const auto b0 = static_cast<unsigned char>(s[at]);
    valid = false;
    if (b0 < 0x80) {
        valid = true;
        return 1;
    }
    std::size_t need = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) {
            lo = 0xA0;  // no overlong forms
        } else if (b0 == 0xED) {
            hi = 0x9F;  // no surrogates
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) {
            lo = 0x90;  // no overlong forms
        } else if (b0 == 0xF4) {
            hi = 0x8F;  // nothing above U+10FFFF
        }
    } else {
        return 1;  // a continuation byte or a byte that never starts a character
    }
    std::size_t len = 1;
    for (std::size_t k = 0; k < need; ++k) {
        if (at + len >= s.size()) {
            return len;
        }
        const auto b = static_cast<unsigned char>(s[at + len]);
        // Only the second byte has a narrowed range; the others are plain continuations.
        const unsigned char min = k == 0 ? lo : 0x80;
        const unsigned char max = k == 0 ? hi : 0xBF;
        if (b < min || b > max) {
            return len;
        }
        ++len;
    }
    valid = true;
    return len;
}

// Decodes the well-formed character of `len` bytes at `at`.
std::uint32_t code_point_at(std::string_view s, std::size_t at, std::size_t len) {
    const auto b0 = static_cast<unsigned char>(s[at]);
    if (len == 1) {
        return b0;
    }
    std::uint32_t cp = b0 & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
        cp = (cp << 6) | (static_cast<unsigned char>(s[at + k]) & 0x3F);
    }
    return cp;
}

void append_hex(std::string& out, std::uint32_t value) {
    char digits[8];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    while (n > 0) {
        out.push_back(digits[--n]);
    }
}

}  // namespace

namespace detail {

void store_args(int argc, char** argv) {
    ARGC = argc;
    ARGV = argv;
}

}  // namespace detail

std::optional<std::string> env_var_os(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

std::optional<std::string> env_var(const char* name) {
    auto value = env_var_os(name);
    if (value && !is_utf8(*value)) {
        return std::nullopt;
    }
    return value;
}

bool is_utf8(std::string_view bytes) {
    bool valid = false;
    for (std::size_t at = 0; at < bytes.size();) {
        at += sequence_at(bytes, at, valid);
        if (!valid) {
            return false;
        }
    }
    return true;
}

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    bool valid = false;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t len = sequence_at(bytes, at, valid);
        if (valid) {
            out.append(bytes.substr(at, len));
        } else {
            out.append("\xEF\xBF\xBD");
        }
        at += len;
    }
    return out;
}

std::string utf8_lossy(std::span<const std::uint8_t> bytes) {
    return utf8_lossy(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::string debug_quote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    bool valid = false;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t len = sequence_at(text, at, valid);
        if (!valid) {
            // Bytes that are not UTF-8 are shown as \xNN, one per byte.
            for (std::size_t k = 0; k < len; ++k) {
                const auto b = static_cast<unsigned char>(text[at + k]);
                out.append("\\x");
                out.push_back("0123456789ABCDEF"[b >> 4]);
                out.push_back("0123456789ABCDEF"[b & 0xF]);
            }
            at += len;
            continue;
        }
        const std::uint32_t cp = code_point_at(text, at, len);
        switch (cp) {
            case '"':
                out.append("\\\"");
                break;
            case '\\':
                out.append("\\\\");
                break;
            case '\t':
                out.append("\\t");
                break;
            case '\r':
                out.append("\\r");
                break;
            case '\n':
                out.append("\\n");
                break;
            case '\0':
                out.append("\\0");
                break;
            default:
                // C0 controls, DEL and the C1 controls are escaped; everything else passes.
                if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
                    out.append("\\u{");
                    append_hex(out, cp);
                    out.push_back('}');
                } else {
                    out.append(text.substr(at, len));
                }
        }
        at += len;
    }
    out.push_back('"');
    return out;
}

std::vector<std::string> args() {
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(ARGC > 0 ? ARGC : 0));
    for (int i = 0; i < ARGC && ARGV != nullptr && ARGV[i] != nullptr; ++i) {
        std::string arg(ARGV[i]);
        if (!is_utf8(arg)) {
            panic("argument is not valid Unicode: " + debug_quote(arg));
        }
        out.push_back(std::move(arg));
    }
    return out;
}

}  // namespace rt
