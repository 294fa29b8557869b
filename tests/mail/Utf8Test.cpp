// The program's one UTF-8 checker (the engine's, hand-written so the Windows programs have it
// too) against GLib's, which the mail module's texts come from: the same text out for any bytes.

#include <glib.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/CodePage1252.h"

namespace {

// GLib's reading: the longest valid stretch kept, one U+FFFD for the byte it stops at, NUL kept.
std::string GlibValid(std::string_view Text) {
    std::string out;
    const char* p = Text.data();
    const char* end = Text.data() + Text.size();
    while (p < end) {
        const char* bad = nullptr;
        if (g_utf8_validate(p, end - p, &bad)) {
            out.append(p, end);
            break;
        }
        out.append(p, bad);
        out += *bad == '\0' ? std::string(1, '\0') : std::string("\xEF\xBF\xBD");
        p = bad + 1;
    }
    return out;
}

TEST(Utf8, CheckerAgreesWithGlibOnAnyBytes) {
    // Bytes drawn mostly from the ones UTF-8 is made of (leads, continuations, the edges of
    // overlong forms, surrogates and U+10FFFF), so that most strings hold near-misses.
    const unsigned char edges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                   0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
    std::mt19937 random(22);
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const int length = static_cast<int>(random() % 12);
        for (int i = 0; i < length; ++i)
            text += static_cast<char>(random() % 4 == 0 ? random() % 256
                                                        : edges[random() % sizeof edges]);
        ASSERT_EQ(ValidUtf8(text), GlibValid(text)) << testing::PrintToString(text);
    }
}

} // namespace
