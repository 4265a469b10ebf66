#include "titletext.h"

#include <cstdint>

namespace {

const char* lookalike(std::uint32_t c)
{
    switch (c) {
    case 0x00A0: // no-break space
    case 0x2002: // en space
    case 0x2003: // em space
    case 0x2009: // thin space
    case 0x200A: // hair space
    case 0x202F: // narrow no-break space
        return " ";
    case 0x2018: // ‘
    case 0x2019: // ’
    case 0x201A: // ‚
    case 0x201B: // ‛
    case 0x2032: // ′
        return "'";
    case 0x201C: // “
    case 0x201D: // ”
    case 0x201E: // „
    case 0x2033: // ″
        return "\"";
    case 0x2010: // ‐
    case 0x2011: // non-breaking hyphen
    case 0x2012: // ‒
    case 0x2013: // –
    case 0x2014: // —
    case 0x2015: // ―
    case 0x2212: // minus
        return "-";
    case 0x2026: // …
        return "...";
    case 0x2022: // •
        return "*";
    case 0x20AC: // €
        return "EUR";
    default:
        return nullptr;
    }
}

} // namespace

std::string withPlainPunctuation(const std::string& s)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t len = 1;
        std::uint32_t c = b;
        if (b >= 0xC0 && b < 0xE0 && i + 1 < s.size()) {
            len = 2;
            c = ((b & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
        } else if (b >= 0xE0 && b < 0xF0 && i + 2 < s.size()) {
            len = 3;
            c = ((b & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
                (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
        } else if (b >= 0xF0 && i + 3 < s.size()) {
            len = 4;
            c = 0; // beyond the plane of punctuation: kept as it is
        }
        if (const char* plain = len > 1 ? lookalike(c) : nullptr)
            out += plain;
        else
            out.append(s, i, len);
        i += len;
    }
    return out;
}
