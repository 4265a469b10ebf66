#include "casttext.h"

#include <vector>

namespace casttext {

namespace {

// The code points of s; a byte that starts no valid sequence stands for itself (Latin-1).
std::vector<char32_t> decode(const std::string& s)
{
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        int len = c < 0x80             ? 1
                  : (c & 0xE0) == 0xC0 ? 2
                  : (c & 0xF0) == 0xE0 ? 3
                  : (c & 0xF8) == 0xF0 ? 4
                                       : 0;
        char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1Fu) : len == 3 ? (c & 0x0Fu) : (c & 0x07u);
        bool ok = len > 0 && i + static_cast<std::size_t>(len) <= s.size();
        for (int k = 1; ok && k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
            ok = (cc & 0xC0) == 0x80;
            cp = (cp << 6) | (cc & 0x3Fu);
        }
        if (ok && len > 1 && (cp < 0x80 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
            ok = false;
        if (!ok) {
            out.push_back(c);
            i += 1;
        } else {
            out.push_back(cp);
            i += static_cast<std::size_t>(len);
        }
    }
    return out;
}

void encode(char32_t cp, std::string& out)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool isControl(char32_t cp)
{
    return cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0) || cp == 0x2028 || cp == 0x2029;
}

} // namespace

std::string cleanTitle(const std::string& utf8, std::size_t maxBytes)
{
    std::string out;
    for (char32_t cp : decode(utf8)) {
        std::string one;
        encode(isControl(cp) ? U' ' : cp, one);
        if (out.size() + one.size() > maxBytes)
            break;
        out += one;
    }
    return out;
}

std::string utf8ToLatin1(const std::string& utf8)
{
    std::string out;
    for (char32_t cp : decode(utf8))
        out += cp <= 0xFF ? static_cast<char>(cp) : '?';
    return out;
}

} // namespace casttext
