// Every text our library hands out is valid UTF-8: bytes that are not (from
// arguments echoed into messages, say) are written as \xNN instead.
#pragma once
#include <cstddef>
#include <string>

namespace tvx::sandbox {

// Length of the valid UTF-8 sequence at s[i], or 0 when there is none.
inline std::size_t utf8_sequence(const std::string& s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) return 1;
    std::size_t n;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF)
        n = 2;
    else if (c >= 0xE0 && c <= 0xEF)
        n = 3, lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    else if (c >= 0xF0 && c <= 0xF4)
        n = 4, lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    else
        return 0;
    if (i + n > s.size() || b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
    return n;
}

inline bool is_valid_utf8(const std::string& s) {
    for (std::size_t i = 0, n; i < s.size(); i += n)
        if (!(n = utf8_sequence(s, i))) return false;
    return true;
}

inline std::string valid_utf8(std::string s) {
    std::size_t i = 0;
    while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
    if (i == s.size()) return s;  // the common case: plain ASCII
    std::string out = s.substr(0, i);
    static const char* hex = "0123456789abcdef";
    while (i < s.size()) {
        const std::size_t n = utf8_sequence(s, i);
        if (n) {
            out.append(s, i, n);
            i += n;
        } else {
            const unsigned char c = static_cast<unsigned char>(s[i++]);
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace tvx::sandbox
