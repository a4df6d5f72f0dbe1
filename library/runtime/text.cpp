#include "text.hpp"

#include <cstdlib>
#include <cstring>

#include "panic.hpp"
#include "utf8.hpp"

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

std::string debug_quote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (std::size_t at = 0; at < text.size();) {
        const Utf8Char c = utf8_decode(text, at);
        const std::size_t len = c.len;
        if (!c.valid) {
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
        const std::uint32_t cp = c.code_point;
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
