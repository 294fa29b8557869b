#include "engine/HeaderNames.h"

#include <algorithm>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// KnownNames' indexes by name length (at most two names share one), so that a line's name is
// compared with two names at most; the deep rule asks this for every header line it cuts.
struct TKnownSlot {
    std::array<std::int8_t, 2> Index{-1, -1};
};
constexpr std::size_t LongestKnown = 16;
constexpr std::array<TKnownSlot, LongestKnown> MakeKnownSlots() {
    std::array<TKnownSlot, LongestKnown> t{};
    for (std::size_t i = 0; i < KnownNames.size(); ++i) {
        TKnownSlot& slot = t[KnownNames[i].size()];
        slot.Index[slot.Index[0] < 0 ? 0 : 1] = static_cast<std::int8_t>(i);
    }
    return t;
}
constexpr std::array<TKnownSlot, LongestKnown> KnownSlots = MakeKnownSlots();

} // namespace

std::size_t FindNoCase(std::string_view Text, std::string_view Word) {
    if (Word.size() > Text.size()) return std::string_view::npos;
    // Most places fail on their first byte, so the rest is compared only after it; the places
    // holding it in either case are found sixteen at a time where the processor allows.
    const unsigned char first = LowerAscii(static_cast<unsigned char>(Word[0]));
    const std::string_view rest = Word.substr(1);
    const std::size_t last = Text.size() - Word.size();
    std::size_t i = 0;
#if defined(__SSE2__)
    const unsigned char upper = first >= 'a' && first <= 'z' ? first - 0x20 : first;
    const __m128i lowerBytes = _mm_set1_epi8(static_cast<char>(first));
    const __m128i upperBytes = _mm_set1_epi8(static_cast<char>(upper));
    // Each block of places is read from the sixteen bytes at its first place; the last block from
    // the sixteen that end the text, its places before i masked. Places past the last fail the
    // comparison, the word not fitting.
    if (Text.size() >= 16) {
        for (; i <= last; i += 16) {
            const std::size_t from = std::min(i, Text.size() - 16);
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Text.data() + from));
            auto mask = static_cast<unsigned>(_mm_movemask_epi8(
                _mm_or_si128(_mm_cmpeq_epi8(v, lowerBytes), _mm_cmpeq_epi8(v, upperBytes))));
            for (mask &= 0xFFFFu << (i - from); mask != 0; mask &= mask - 1) {
                const std::size_t at = from + static_cast<std::size_t>(__builtin_ctz(mask));
                if (EqualsNoCase(Text.substr(at + 1, rest.size()), rest)) return at;
            }
        }
        return std::string_view::npos;
    }
#endif
    for (; i <= last; ++i)
        if (LowerAscii(static_cast<unsigned char>(Text[i])) == first &&
            EqualsNoCase(Text.substr(i + 1, rest.size()), rest))
            return i;
    return std::string_view::npos;
}

TNestingWords FindNestingWords(std::string_view Field) {
    constexpr std::string_view B = TNestingWords::Boundary, M = TNestingWords::Embedded;
    TNestingWords words;
#if defined(__SSE2__)
    // The places that open either word in either case, sixteen at a time, found by each word's
    // first two letters ("multipart", "html" and "stream" hold an m that opens neither). Each
    // block is read from its first place, the last from one byte before the field's end (its
    // places before i masked; the field's last place opens no word). Places are taken in order,
    // so the first boundary found is the first in the field.
    const std::size_t n = Field.size();
    if (n >= 17) {
        const __m128i caseBit = _mm_set1_epi8(0x20), b = _mm_set1_epi8('b'), m = _mm_set1_epi8('m');
        const __m128i o = _mm_set1_epi8('o'), e = _mm_set1_epi8('e');
        for (std::size_t i = 0; i + B.size() <= n; i += 16) {
            const std::size_t from = std::min(i, n - 17);
            const __m128i v = _mm_or_si128(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(Field.data() + from)), caseBit);
            const __m128i next = _mm_or_si128(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(Field.data() + from + 1)),
                caseBit);
            const unsigned fresh = 0xFFFFu << (i - from);
            auto bs = static_cast<unsigned>(_mm_movemask_epi8(
                          _mm_and_si128(_mm_cmpeq_epi8(v, b), _mm_cmpeq_epi8(next, o)))) &
                      fresh;
            for (; bs != 0; bs &= bs - 1) {
                const std::size_t at = from + static_cast<std::size_t>(__builtin_ctz(bs));
                if (EqualsNoCase(Field.substr(at, B.size()), B)) return {at, false};
            }
            if (words.Embeds) continue;
            auto ms = static_cast<unsigned>(_mm_movemask_epi8(
                          _mm_and_si128(_mm_cmpeq_epi8(v, m), _mm_cmpeq_epi8(next, e)))) &
                      fresh;
            for (; ms != 0 && !words.Embeds; ms &= ms - 1) {
                const std::size_t at = from + static_cast<std::size_t>(__builtin_ctz(ms));
                words.Embeds = EqualsNoCase(Field.substr(at, M.size()), M);
            }
        }
        return words;
    }
#endif
    words.BoundaryAt = FindNoCase(Field, B);
    words.Embeds = words.BoundaryAt == std::string_view::npos &&
                   FindNoCase(Field, M) != std::string_view::npos;
    return words;
}

int KnownHeaderIndex(std::string_view Name) {
    if (Name.size() >= LongestKnown) return -1;
    // Known names start with a letter, which the case bit alone folds; most names differ there.
    const auto first = static_cast<unsigned char>(Name.empty() ? 0 : Name[0] | 0x20);
    for (const std::int8_t i : KnownSlots[Name.size()].Index) {
        if (i < 0) break;
        const std::string_view known = KnownNames[static_cast<std::size_t>(i)];
        if ((known[0] | 0x20) == first && EqualsNoCase(Name, known)) return i;
    }
    return -1;
}

int KnownFieldIndex(int Known) {
    switch (Known) {
    case KnownFrom:
        return 0;
    case KnownTo:
        return 1;
    case KnownSubject:
        return 2;
    case KnownDate:
        return 3;
    default:
        return -1;
    }
}

void StoreKnownHeader(int Known, std::string_view Value, TEmail& Email) {
    std::string* const fields[4] = {&Email.From, &Email.To, &Email.Subject, &Email.Date};
    if (const int field = KnownFieldIndex(Known); field >= 0) fields[field]->assign(Value);
}

std::string_view HeaderPart(std::string_view Stored) {
    const std::size_t crlf = Stored.find("\r\n\r\n");
    const std::size_t lf = Stored.find("\n\n");
    std::size_t end = std::string_view::npos;
    if (crlf != std::string_view::npos) end = crlf + 4;
    if (lf != std::string_view::npos && lf + 2 < end) end = lf + 2;
    return Stored.substr(0, end);
}
