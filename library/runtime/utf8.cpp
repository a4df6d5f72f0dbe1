#include "utf8.hpp"

namespace rt {

namespace {

std::string_view as_text(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

Utf8Char utf8_decode(std::string_view s, std::size_t at) {
    const auto b0 = static_cast<unsigned char>(s[at]);
    if (b0 < 0x80) {
        return {b0, 1, true};
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
        return {};  // a continuation byte or a byte that never starts a character
    }
    std::uint32_t cp = b0 & (0x3F >> need);
    std::size_t len = 1;
    for (std::size_t k = 0; k < need; ++k) {
        if (at + len >= s.size()) {
            return {0, len, false};
        }
        const auto b = static_cast<unsigned char>(s[at + len]);
        // Only the second byte has a narrowed range; the others are plain continuations.
        const unsigned char min = k == 0 ? lo : 0x80;
        const unsigned char max = k == 0 ? hi : 0xBF;
        if (b < min || b > max) {
            return {0, len, false};
        }
        cp = (cp << 6) | (b & 0x3F);
        ++len;
    }
    return {cp, len, true};
}

bool is_utf8(std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        const Utf8Char c = utf8_decode(bytes, at);
        if (!c.valid) {
            return false;
        }
        at += c.len;
    }
    return true;
}

bool is_utf8(std::span<const std::uint8_t> bytes) {
    return is_utf8(as_text(bytes));
}

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        const Utf8Char c = utf8_decode(bytes, at);
        if (c.valid) {
            out.append(bytes.substr(at, c.len));
        } else {
            out.append("\xEF\xBF\xBD");
        }
        at += c.len;
    }
    return out;
}

std::string utf8_lossy(std::span<const std::uint8_t> bytes) {
    return utf8_lossy(as_text(bytes));
}

}  // namespace rt
