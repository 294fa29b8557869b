#pragma once

// Header names as both carving rules and the cutting skeleton know them: the ten known names, the
// four of them a message record keeps, and ASCII case folding (a header name holds printable
// ASCII only, so nothing else is folded).

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "engine/Globals.h"

inline unsigned char LowerAscii(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 0x20) : c;
}

namespace HeaderNamesDetail {
constexpr std::uint64_t Ones = 0x0101010101010101ull, Highs = 0x8080808080808080ull;
// The high bit of each byte of w that is an ASCII capital.
inline std::uint64_t Capitals(std::uint64_t w) {
    const std::uint64_t low7 = w & ~Highs; // no byte carries into the next below
    const std::uint64_t fromA = low7 + (0x80 - 'A') * Ones, pastZ = low7 + (0x80 - 'Z' - 1) * Ones;
    return fromA & ~pastZ & ~w & Highs;
}
// Eight bytes at once as LowerAscii takes each.
inline std::uint64_t LowerWord(std::uint64_t w) {
    return w | (Capitals(w) >> 2);
}
inline std::uint64_t Load8(const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}
inline std::uint64_t Load4(const char* p) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}
inline bool WordsEqualNoCase(std::uint64_t A, std::uint64_t B) {
    return A == B || LowerWord(A) == LowerWord(B);
}
} // namespace HeaderNamesDetail

// Header names and the words looked for in fields are short: compared eight bytes at a time, the
// last word overlapping the one before it.
inline bool EqualsNoCase(std::string_view A, std::string_view B) {
    using namespace HeaderNamesDetail;
    const std::size_t n = A.size();
    if (n != B.size()) return false;
    const char *a = A.data(), *b = B.data();
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 < n; i += 8)
            if (!WordsEqualNoCase(Load8(a + i), Load8(b + i))) return false;
        return WordsEqualNoCase(Load8(a + n - 8), Load8(b + n - 8));
    }
    if (n >= 4)
        return WordsEqualNoCase(Load4(a) | Load4(a + n - 4) << 32, Load4(b) | Load4(b + n - 4)
                                                                                  << 32);
    for (std::size_t i = 0; i < n; ++i)
        if (LowerAscii(static_cast<unsigned char>(a[i])) !=
            LowerAscii(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Whether Bytes hold an ASCII capital.
inline bool HoldsCapital(std::string_view Bytes) {
    using namespace HeaderNamesDetail;
    const char* p = Bytes.data();
    const std::size_t n = Bytes.size();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
        if (Capitals(Load8(p + i)) != 0) return true;
    for (; i < n; ++i)
        if (p[i] >= 'A' && p[i] <= 'Z') return true;
    return false;
}

// 0-based place of Word (not empty) in Text ignoring ASCII case, or npos.
std::size_t FindNoCase(std::string_view Text, std::string_view Word);

// What a Content-Type field tells of MIME nesting, ignoring ASCII case: the place of its first
// "boundary=" (npos when none), and where there is none, whether it holds "message/rfc822". The
// same as two FindNoCase, in one pass where the processor allows.
struct TNestingWords {
    static constexpr std::string_view Boundary = "boundary=", Embedded = "message/rfc822";
    std::size_t BoundaryAt = std::string_view::npos;
    bool Embeds = false;
};
TNestingWords FindNestingWords(std::string_view Field);

// The header names that open or continue a header block, in the order they are compared.
inline constexpr std::array<std::string_view, 10> KnownNames = {
    "RETURN-PATH", "REPLY-TO", "ENVELOPE-TO", "DELIVERY-DATE", "RECEIVED",
    "MESSAGE-ID",  "FROM",     "TO",          "SUBJECT",       "DATE"};
inline constexpr int KnownMessageId = 5, KnownFrom = 6, KnownTo = 7, KnownSubject = 8,
                     KnownDate = 9;

// Index of a known header name (any ASCII case) in KnownNames, or -1.
int KnownHeaderIndex(std::string_view Name);
// The field a known header fills: 0 From, 1 To, 2 Subject, 3 Date; -1 for the others.
int KnownFieldIndex(int Known);
// KnownFieldIndex(KnownHeaderIndex(Name)), with no name compared but those of the four fields.
inline int FieldOfName(std::string_view Name) {
    static_assert(KnownNames[KnownTo].size() == 2 && KnownNames[KnownFrom].size() == 4 &&
                  KnownNames[KnownDate].size() == 4 && KnownNames[KnownSubject].size() == 7);
    switch (Name.size()) {
    case 2:
        return EqualsNoCase(Name, KnownNames[KnownTo]) ? 1 : -1;
    case 4:
        return EqualsNoCase(Name, KnownNames[KnownFrom])   ? 0
               : EqualsNoCase(Name, KnownNames[KnownDate]) ? 3
                                                           : -1;
    case 7:
        return EqualsNoCase(Name, KnownNames[KnownSubject]) ? 2 : -1;
    default:
        return -1;
    }
}
// Stores Value in the field of Email that the known header Known fills, if any.
void StoreKnownHeader(int Known, std::string_view Value, TEmail& Email);

// True when the Avail bytes at p (at least one) begin with a known name in any ASCII case, a colon
// and a space. Such a prefix holds no CR, so a line that begins so is a known header line. Inline:
// the standard rule asks it at every sector that passes its first-byte test.
namespace HeaderNamesDetail {
// For each first byte: the range [First, Last) of ByFirstLetter whose names start with it.
struct TBucket {
    std::uint8_t First = 0, Last = 0;
};
struct TPrefixTables {
    std::array<std::uint8_t, KnownNames.size()> ByFirstLetter{}; // KnownNames' indexes
    std::array<TBucket, 256> Buckets{};
    // Per name, per byte: the mask that clears the case bit of letters and keeps other bytes.
    std::array<std::array<unsigned char, 16>, KnownNames.size()> Masks{};
};
constexpr TPrefixTables MakePrefixTables() {
    TPrefixTables t{};
    std::uint8_t n = 0;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        const std::uint8_t first = n;
        for (std::size_t i = 0; i < KnownNames.size(); ++i)
            if (KnownNames[i][0] == letter) t.ByFirstLetter[n++] = static_cast<std::uint8_t>(i);
        const auto upper = static_cast<unsigned char>(letter);
        t.Buckets[upper] = t.Buckets[upper + 0x20] = {first, n};
    }
    for (std::size_t i = 0; i < KnownNames.size(); ++i)
        for (std::size_t k = 0; k < KnownNames[i].size(); ++k)
            t.Masks[i][k] = (KnownNames[i][k] >= 'A' && KnownNames[i][k] <= 'Z') ? 0xDF : 0xFF;
    return t;
}
inline constexpr TPrefixTables PrefixTables = MakePrefixTables();
} // namespace HeaderNamesDetail

// Whether a known name can begin with byte b: R, E, D, M, F, T and S in either case.
constexpr bool CanStartKnownName(unsigned char b) {
    const auto bucket = HeaderNamesDetail::PrefixTables.Buckets[b];
    return bucket.First != bucket.Last;
}

// The longest known name: StartsKnownHeader reads two bytes past it at most.
inline constexpr std::size_t LongestKnownHeader = [] {
    std::size_t n = 0;
    for (const std::string_view name : KnownNames)
        n = std::max(n, name.size());
    return n;
}();

inline bool StartsKnownHeader(const unsigned char* p, std::size_t Avail) {
    const auto& t = HeaderNamesDetail::PrefixTables;
    const HeaderNamesDetail::TBucket bucket = t.Buckets[p[0]];
    for (std::uint8_t i = bucket.First; i < bucket.Last; ++i) {
        const std::size_t known = t.ByFirstLetter[i];
        const std::string_view name = KnownNames[known];
        const std::size_t len = name.size();
        if (Avail < len + 2) continue;
        std::size_t k = 1; // the first byte already chose the bucket
        while (k < len && (p[k] & t.Masks[known][k]) == static_cast<unsigned char>(name[k]))
            ++k;
        if (k == len && p[len] == ':' && p[len + 1] == ' ') return true;
    }
    return false;
}

// A stored message up to the end of its header lines (the first empty line, whichever line end it
// uses), or all of it when it has no empty line: what reading its header fields needs.
std::string_view HeaderPart(std::string_view Stored);
