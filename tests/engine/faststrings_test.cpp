#include <gtest/gtest.h>

#include <random>
#include <string>

#include "disk/Error.h"
#include "engine/FastStringFuncs.h"
#include "engine/FastStrings.h"

namespace {

using namespace std::string_literals;

// Reference answer: 1-based position of the first match at or after Start, or 0.
std::size_t RefFind(const std::string& text, const std::string& pattern, std::size_t start) {
    if (start < 1 || start > text.size()) return 0;
    const std::size_t hit = text.find(pattern, start - 1);
    return hit == std::string::npos ? 0 : hit + 1;
}

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(UpperTable[static_cast<unsigned char>(c)]);
    return s;
}

TEST(Search, ExamplesOfTheSearch) {
    EXPECT_EQ(SearchText("\r\n", "no line end here", true, 1), 0u);
    EXPECT_EQ(SearchText("x", "xyz", true, 1), 1u);
    EXPECT_EQ(ForwardSearch("xxabcabcab", "abcab", 10, 5, 1), 3u);
    EXPECT_EQ(ForwardSearch("xxabcabcab", "abcab", 10, 5, 4), 6u);
    EXPECT_EQ(ForwardSearch("xxabcabcab", "abcab", 10, 5, 7), 0u);
    EXPECT_EQ(SearchText("HELLO", "say hello", false, 1), 5u);
    EXPECT_EQ(SearchText("HELLO", "say hello", true, 1), 0u);
    EXPECT_EQ(SearchText("ab", "", true, 1), 0u);
    EXPECT_EQ(SearchText("ab", "ab", true, 3), 0u);           // start past the end
    EXPECT_EQ(SearchText("abcd", "abc", true, 1), 0u);        // pattern longer than text
    EXPECT_EQ(SearchText("a\0b"s, "xxa\0b"s, true, 1), 3u);   // NUL is an ordinary byte
    EXPECT_EQ(ForwardSearch("abcabc", "abc", 4, 3, 2), 0u);   // TextLength bounds the search
    EXPECT_EQ(ForwardSearch("abcabc", "abc", 100, 3, 2), 4u); // and is clipped to the text
}

TEST(Search, EmptyPatternRaisesBeforeAnythingElse) {
    for (bool cs : {true, false}) {
        try {
            SearchText("", "", cs, 1);
            FAIL() << "no error";
        } catch (const TPwError& e) {
            EXPECT_STREQ(e.what(), "BufferLen is 0");
        }
    }
    EXPECT_THROW(ForwardSearch("abc", "abc", 3, 0, 1), TPwError);
    TSkipTable t;
    EXPECT_THROW(BuildSkipTable(nullptr, 0, t), TPwError);
    EXPECT_THROW(BuildSkipTableNoCase(nullptr, 0, t), TPwError);
}

TEST(Search, SkipTables) {
    TSkipTable t;
    BuildSkipTable(reinterpret_cast<const unsigned char*>("abcab"), 5, t);
    EXPECT_EQ(t['a'], 1); // last occurrence before the final byte
    EXPECT_EQ(t['b'], 3);
    EXPECT_EQ(t['c'], 2);
    EXPECT_EQ(t['z'], 5);
    BuildSkipTable(reinterpret_cast<const unsigned char*>("\r\n"), 2, t);
    EXPECT_EQ(t['\r'], 1);
    EXPECT_EQ(t['\n'], 2); // the final byte keeps the length
    BuildSkipTableNoCase(reinterpret_cast<const unsigned char*>("aBc"), 3, t);
    EXPECT_EQ(t['A'], 2);
    EXPECT_EQ(t['B'], 1);
    EXPECT_EQ(t['a'], 3); // entries are keyed by upper-case bytes
}

TEST(Search, UpperTableFoldsWindows1252) {
    for (int b = 0; b < 256; ++b) {
        int expected = b;
        if ((b >= 'a' && b <= 'z') || (b >= 0xE0 && b <= 0xFE && b != 0xF7)) expected = b - 0x20;
        if (b == 0x9A || b == 0x9C || b == 0x9E) expected = b - 0x10;
        if (b == 0xFF) expected = 0x9F;
        EXPECT_EQ(UpperTable[b], expected) << b;
    }
    EXPECT_EQ(SearchText("\xc9T\xc9", "l'\xe9t\xe9", false, 1), 3u); // "ÉTÉ" in "l'été"
    EXPECT_EQ(SearchText("\xe9t\xe9", "L'\xc9T\xc9", false, 1), 3u); // both sides fold
    EXPECT_EQ(SearchText("\xf7", "\xd7", false, 1), 0u); // division and multiplication signs
}

TEST(Search, AgreesWithStdFindOnRandomTexts) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 20000; ++round) {
        // Small alphabets make matches and near misses common.
        const int alphabet = 1 + static_cast<int>(rng() % 4);
        auto randomString = [&](std::size_t len) {
            std::string s(len, '\0');
            for (char& c : s) {
                const unsigned r = rng() % 8;
                c = r < 6 ? static_cast<char>('a' + static_cast<int>(rng() % alphabet))
                          : static_cast<char>(r == 6 ? 'A' + static_cast<int>(rng() % alphabet)
                                                     : (rng() % 2 ? '\r' : '\n'));
            }
            return s;
        };
        const std::string text = randomString(rng() % 40);
        const std::string pattern = randomString(1 + rng() % 5);
        const std::size_t start = rng() % (text.size() + 3); // includes 0 and past the end
        const std::size_t s = start == 0 ? 1 : start;
        ASSERT_EQ(ForwardSearch(text, pattern, text.size(), pattern.size(), start),
                  RefFind(text, pattern, s))
            << text << " / " << pattern << " / " << start;
        ASSERT_EQ(ForwardSearchNoCase(text, pattern, text.size(), pattern.size(), start),
                  RefFind(Upper(text), Upper(pattern), s))
            << text << " / " << pattern << " / " << start;
        ASSERT_EQ(FindLineEnd(text, start), RefFind(text, "\r\n", s)) << start;
        TSkipTable t;
        BuildSkipTable(reinterpret_cast<const unsigned char*>(pattern.data()), pattern.size(), t);
        ASSERT_EQ(ForwardSearchPrepared(text, pattern, t, start), RefFind(text, pattern, s));
    }
}

TEST(Search, AgreesWithStdFindOnHighBytes) {
    std::mt19937 rng(99);
    for (int round = 0; round < 5000; ++round) {
        std::string text(rng() % 64, '\0'), pattern(1 + rng() % 3, '\0');
        // Bytes drawn from a few letters with both cases and their 1252 capitals.
        const unsigned char pool[] = {'a', 'A', 0xE9, 0xC9, 0xFF, 0x9F, 0x00, 0xF7, 0xD7};
        for (char& c : text)
            c = static_cast<char>(pool[rng() % sizeof pool]);
        for (char& c : pattern)
            c = static_cast<char>(pool[rng() % sizeof pool]);
        ASSERT_EQ(SearchText(pattern, text, true, 1), RefFind(text, pattern, 1));
        ASSERT_EQ(SearchText(pattern, text, false, 1), RefFind(Upper(text), Upper(pattern), 1));
    }
}

TEST(FindCharFrom, FirstOccurrenceAtOrAfterStart) {
    EXPECT_EQ(FindCharFrom("a:b:c", ':', 1), 2u);
    EXPECT_EQ(FindCharFrom("a:b:c", ':', 3), 4u);
    EXPECT_EQ(FindCharFrom("a:b:c", ':', 5), 0u);
    EXPECT_EQ(FindCharFrom("a:b:c", ':', 6), 0u);
    EXPECT_EQ(FindCharFrom("", ':', 1), 0u);
    EXPECT_EQ(FindCharFrom("x\0y"s, '\0', 1), 2u);
}

// The byte searches (the C library's and the program's own, up to 64 bytes at a time) over texts
// of every length up to a few blocks, the sought bytes at every position and every start: inside a
// block, split across two blocks, at the first and last byte, absent. Each text is a view into a
// larger buffer whose bytes just outside it would match, so a look past either end shows.
TEST(ByteSearch, EveryPositionEveryStartAcrossBlocks) {
    for (std::size_t len = 0; len <= 140; ++len) {
        for (std::size_t at = 0; at <= len; ++at) { // at == len: no needle
            std::string buffer = "\r\n:" + std::string(len, 'x') + "\r\n:";
            const std::string_view text = std::string_view(buffer).substr(3, len);
            char* t = buffer.data() + 3;
            // A pair at `at` (or its CR alone in the last byte), a lone LF before it and a lone
            // CR after it as near misses, and a colon counted from the other end.
            if (at < len) t[at] = '\r';
            if (at + 1 < len) t[at + 1] = '\n';
            if (at >= 2) t[at - 2] = '\n';
            if (at + 3 < len) t[at + 3] = '\r';
            if (at < len && t[len - 1 - at] == 'x') t[len - 1 - at] = ':';
            const std::string copy(text);
            for (std::size_t start = 0; start <= len + 2; ++start) {
                const std::size_t s = start == 0 ? 1 : start;
                const std::size_t pair = RefFind(copy, "\r\n", s);
                ASSERT_EQ(FindLineEnd(text, start), pair) << len << " " << at << " " << start;
                ASSERT_EQ(FindLineEndOwn(text, start), pair) << len << " " << at << " " << start;
                for (const char b : {':', '\r', '\n'}) {
                    const std::size_t hit = RefFind(copy, std::string(1, b), s);
                    ASSERT_EQ(FindCharFrom(text, b, start), hit)
                        << len << " " << at << " " << start;
                    ASSERT_EQ(FindCharFromOwn(text, b, start), hit)
                        << len << " " << at << " " << start;
                }
            }
        }
    }
}

// Long texts with many line ends and high bytes, against the reference, from many starts; and the
// byte search for every byte value, the high ones included (compared signed, they would not match).
TEST(ByteSearch, AgreesWithReferenceOnLongTexts) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        std::string text(rng() % 600, '\0');
        for (char& c : text) {
            const unsigned r = rng() % 16;
            c = r == 0 ? '\r' : r == 1 ? '\n' : static_cast<char>(rng() % 256);
        }
        for (int k = 0; k < 20; ++k) {
            const std::size_t start = rng() % (text.size() + 2);
            const std::size_t s = start == 0 ? 1 : start;
            ASSERT_EQ(FindLineEndOwn(text, start), RefFind(text, "\r\n", s));
            const std::string b(1, static_cast<char>(rng() % 256));
            ASSERT_EQ(FindCharFromOwn(text, b[0], start), RefFind(text, b, s));
        }
    }
    std::string all(256, '\0');
    for (int b = 0; b < 256; ++b)
        all[static_cast<std::size_t>(b)] = static_cast<char>(b);
    for (int b = 0; b < 256; ++b) {
        ASSERT_EQ(FindCharFromOwn(all, static_cast<char>(b), 1), static_cast<std::size_t>(b) + 1);
        ASSERT_EQ(FindCharFrom(all, static_cast<char>(b), 1), static_cast<std::size_t>(b) + 1);
    }
}

TEST(CopyRange, ClipsAtTheEnd) {
    EXPECT_EQ(CopyRange("0123456789", 8, 5), "789");
    EXPECT_EQ(CopyRange("0123456789", 1, 3), "012");
    EXPECT_EQ(CopyRange("0123456789", 10, 1), "9");
    EXPECT_EQ(CopyRange("0123456789", 11, 1), "");
    EXPECT_EQ(CopyRange("0123456789", 0, 3), "");
    EXPECT_EQ(CopyRange("0123456789", 2, 0), "");
    EXPECT_EQ(CopyRange("0123456789", 2, -4), "");
    EXPECT_EQ(CopyRange("", 1, 1), "");
    EXPECT_EQ(CopyRange("a\0b"s, 2, 2), "\0b"s);
}

} // namespace
