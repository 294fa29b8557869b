// Windows-1252 both ways: stored bytes shown as that code page's characters, typed keywords made
// into its bytes, and characters it lacks refused rather than turned into "?".

#include <gtest/gtest.h>

#include "engine/CodePage1252.h"

namespace {

// 0x80-0x9F as Python's cp1252 codec decodes them, the five bytes it leaves undefined taken as
// the C1 controls of the same code (as Windows' own conversion does), in UTF-8.
const char* const HighInUtf8 =
    "\xe2\x82\xac\xc2\x81\xe2\x80\x9a\xc6\x92\xe2\x80\x9e\xe2\x80\xa6\xe2\x80\xa0\xe2\x80\xa1"
    "\xcb\x86\xe2\x80\xb0\xc5\xa0\xe2\x80\xb9\xc5\x92\xc2\x8d\xc5\xbd\xc2\x8f\xc2\x90\xe2\x80\x98"
    "\xe2\x80\x99\xe2\x80\x9c\xe2\x80\x9d\xe2\x80\xa2\xe2\x80\x93\xe2\x80\x94\xcb\x9c\xe2\x84\xa2"
    "\xc5\xa1\xe2\x80\xba\xc5\x93\xc2\x9d\xc5\xbe\xc5\xb8";

TEST(CodePage1252, EveryByteRoundTripsThroughItsCharacter) {
    std::string high;
    for (int b = 0x80; b < 0xA0; ++b)
        high += static_cast<char>(b);
    EXPECT_EQ(Utf8From1252(high), HighInUtf8);
    EXPECT_EQ(Utf8From1252("Gr\xfc\xdf" "e \x80"), "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac");

    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    char32_t bad = 0;
    EXPECT_EQ(BytesFromUtf8(Utf8From1252(all), bad), all);
}

TEST(CodePage1252, KeywordsBecomeBytesOrNameTheCharacterThatHasNone) {
    char32_t bad = 0;
    EXPECT_EQ(BytesFromUtf8("\xe2\x82\xac" "5 \xe2\x80\x9cquoted\xe2\x80\x9d", bad),
              "\x80" "5 \x93quoted\x94");
    for (const auto& [text, which] : std::initializer_list<std::pair<const char*, char32_t>>{
             {"\xd0\x9f\xd1\x80\xd0\xb8", 0x041F},  // Cyrillic
             {"\xe6\x97\xa5\xe6\x9c\xac", 0x65E5},  // CJK
             {"ok \xc2\x80", 0x0080},               // a C1 control the code page has no byte for
             {"\xf0\x9f\x93\xa7", 0x1F4E7},         // outside the basic plane
             {"bad \xc3", 0xFFFD},                  // cut short
             {"\xc0\xaf", 0xFFFD}}) {               // overlong
        bad = 0;
        EXPECT_EQ(BytesFromUtf8(text, bad), std::nullopt) << text;
        EXPECT_EQ(bad, which) << text;
    }
}

TEST(CodePage1252, ValidUtf8ReplacesOnlyIllFormedSequences) {
    EXPECT_EQ(ValidUtf8("plain"), "plain");
    EXPECT_EQ(ValidUtf8("Gr\xC3\xBC\xC3"), "Gr\xC3\xBC\xEF\xBF\xBD");
    EXPECT_EQ(ValidUtf8(std::string("a\0b\xFF", 4)), std::string("a\0b\xEF\xBF\xBD", 6));
}

} // namespace
