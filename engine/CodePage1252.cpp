#include "engine/CodePage1252.h"

#include <array>

namespace {

// 0x80-0x9F; the rest of the code page is Latin-1.
constexpr std::array<char16_t, 32> High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

} // namespace

void AppendUtf8(std::string& Out, char32_t C) {
    if (C < 0x80) {
        Out += static_cast<char>(C);
    } else if (C < 0x800) {
        Out += static_cast<char>(0xC0 | (C >> 6));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    } else if (C < 0x10000) {
        Out += static_cast<char>(0xE0 | (C >> 12));
        Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    } else {
        Out += static_cast<char>(0xF0 | (C >> 18));
        Out += static_cast<char>(0x80 | ((C >> 12) & 0x3F));
        Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    }
}

std::string Utf8Of(char32_t C) {
    std::string out;
    AppendUtf8(out, C);
    return out;
}

namespace {

// The next character of Utf8 from At (moved past it); U+FFFD for a malformed sequence.
char32_t NextChar(std::string_view Utf8, std::size_t& At) {
    constexpr char32_t Bad = 0xFFFD;
    const auto b0 = static_cast<unsigned char>(Utf8[At++]);
    if (b0 < 0x80) return b0;
    int extra = 0;
    char32_t c = 0;
    char32_t least = 0;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1, c = b0 & 0x1F, least = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2, c = b0 & 0x0F, least = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3, c = b0 & 0x07, least = 0x10000;
    } else {
        return Bad;
    }
    for (int i = 0; i < extra; ++i) {
        if (At >= Utf8.size()) return Bad;
        const auto b = static_cast<unsigned char>(Utf8[At]);
        if ((b & 0xC0) != 0x80) return Bad;
        c = (c << 6) | (b & 0x3F);
        ++At;
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return Bad;
    return c;
}

} // namespace

char32_t CharFrom1252(unsigned char Byte) {
    return Byte >= 0x80 && Byte < 0xA0 ? High[Byte - 0x80] : Byte;
}

std::string Utf8From1252(std::string_view Bytes) {
    std::string out;
    out.reserve(Bytes.size() + Bytes.size() / 4);
    for (char b : Bytes)
        AppendUtf8(out, CharFrom1252(static_cast<unsigned char>(b)));
    return out;
}

std::optional<std::string> BytesFromUtf8(std::string_view Utf8, char32_t& Unmappable) {
    std::string out;
    out.reserve(Utf8.size());
    for (std::size_t at = 0; at < Utf8.size();) {
        const std::size_t before = at;
        const char32_t c = NextChar(Utf8, at);
        const bool bad = c == 0xFFFD && Utf8.substr(before, at - before) != "\xEF\xBF\xBD";
        if (!bad && (c < 0x80 || (c >= 0xA0 && c < 0x100))) {
            out += static_cast<char>(c);
            continue;
        }
        int found = -1;
        for (int i = 0; !bad && i < 32; ++i)
            if (High[static_cast<std::size_t>(i)] == c) found = i;
        if (found < 0) {
            Unmappable = bad ? 0xFFFD : c;
            return std::nullopt;
        }
        out += static_cast<char>(0x80 + found);
    }
    return out;
}

std::string ValidUtf8(std::string_view Text) {
    std::string out;
    out.reserve(Text.size());
    for (std::size_t at = 0; at < Text.size();) {
        const std::size_t start = at;
        while (at < Text.size() && static_cast<unsigned char>(Text[at]) < 0x80)
            ++at;
        if (at > start) {
            out.append(Text.substr(start, at - start));
            continue;
        }
        const char32_t c = NextChar(Text, at);
        if (c == 0xFFFD && Text.substr(start, at - start) != "\xEF\xBF\xBD") {
            // Only the first byte is dropped: a well-formed character right behind it stays.
            out += "\xEF\xBF\xBD";
            at = start + 1;
        } else {
            out.append(Text.substr(start, at - start));
        }
    }
    return out;
}
