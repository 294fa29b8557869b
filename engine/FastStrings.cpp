#include "engine/FastStrings.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "engine/Simd.h"
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if PW_AVX2_AT_RUN_TIME
#include <immintrin.h>
#endif

#include "disk/Error.h"
#include "disk/SystemLayer.h"
#include "engine/FastStringFuncs.h"

namespace {

// Windows-1252 upper-casing: what CharUpperBuffA does in that code page, so the keyword filter
// folds the same on every platform.
void FoldWindows1252(unsigned char (&Table)[256]) {
    for (int b = 'a'; b <= 'z'; ++b)
        Table[b] = static_cast<unsigned char>(b - 0x20);
    for (int b = 0xE0; b <= 0xFE; ++b)
        if (b != 0xF7) // the division sign has no capital
            Table[b] = static_cast<unsigned char>(b - 0x20);
    Table[0x9A] = 0x8A; // s caron
    Table[0x9C] = 0x8C; // oe ligature
    Table[0x9E] = 0x8E; // z caron
    Table[0xFF] = 0x9F; // y diaeresis
}

struct TUpperTable {
    unsigned char Bytes[256];
    TUpperTable() {
        for (int b = 0; b < 256; ++b)
            Bytes[b] = static_cast<unsigned char>(b);
        if (!PlatformSystem().UpperCase(Bytes)) FoldWindows1252(Bytes);
    }
};

// Built on first use, so a search made while other start-up code runs still folds correctly.
const unsigned char* Upper() {
    static const TUpperTable table;
    return table.Bytes;
}

void FillSkipTable(const unsigned char* Pattern, std::size_t PatternLength, TSkipTable& Table,
                   bool Fold) {
    if (PatternLength == 0) throw TPwError("BufferLen is 0");
    // A shift shorter than the pattern is always safe, so a (theoretical) pattern longer than the
    // entries can hold only loses speed.
    const auto m = static_cast<std::int32_t>(
        std::min<std::size_t>(PatternLength, std::numeric_limits<std::int32_t>::max()));
    std::fill(std::begin(Table), std::end(Table), m);
    const unsigned char* upper = Upper();
    for (std::size_t k = 0; k + 1 < PatternLength; ++k) {
        const unsigned char b = Fold ? upper[Pattern[k]] : Pattern[k];
        const std::size_t shift = PatternLength - 1 - k;
        Table[b] = static_cast<std::int32_t>(std::min<std::size_t>(shift, m));
    }
}

struct Exact {
    unsigned char operator()(unsigned char b) const { return b; }
};
struct Folded {
    const unsigned char* Table = Upper();
    unsigned char operator()(unsigned char b) const { return Table[b]; }
};

// Horspool over Text[Start..n] (1-based); the table was built for Pattern under the same mapping.
template <class Map>
std::size_t Horspool(const unsigned char* T, std::size_t n, const unsigned char* P, std::size_t m,
                     std::size_t Start, const TSkipTable& Table, Map map) {
    if (Start < 1) Start = 1;
    if (m == 0 || Start > n || n - (Start - 1) < m) return 0;
    const unsigned char last = map(P[m - 1]);
    std::size_t e = Start + m - 1; // 1-based position of the alignment's last byte
    while (e <= n) {
        const unsigned char* te = T + e - 1;
        if (map(*te) == last) {
            std::size_t k = 1;
            while (k < m && map(te[-static_cast<std::ptrdiff_t>(k)]) == map(P[m - 1 - k]))
                ++k;
            if (k == m) return e - m + 1;
        }
        e += static_cast<std::size_t>(Table[map(*te)]);
    }
    return 0;
}

const unsigned char* Bytes(std::string_view s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

} // namespace

const unsigned char* const UpperTable = Upper();

void BuildSkipTable(const unsigned char* Pattern, std::size_t PatternLength, TSkipTable& Table) {
    FillSkipTable(Pattern, PatternLength, Table, false);
}

void BuildSkipTableNoCase(const unsigned char* Pattern, std::size_t PatternLength,
                          TSkipTable& Table) {
    FillSkipTable(Pattern, PatternLength, Table, true);
}

std::size_t ForwardSearch(std::string_view Text, std::string_view Pattern, std::size_t TextLength,
                          std::size_t PatternLength, std::size_t Start) {
    const std::size_t m = std::min(PatternLength, Pattern.size());
    TSkipTable Table;
    BuildSkipTable(Bytes(Pattern), m, Table);
    return Horspool(Bytes(Text), std::min(TextLength, Text.size()), Bytes(Pattern), m, Start, Table,
                    Exact{});
}

std::size_t ForwardSearchNoCase(std::string_view Text, std::string_view Pattern,
                                std::size_t TextLength, std::size_t PatternLength,
                                std::size_t Start) {
    const std::size_t m = std::min(PatternLength, Pattern.size());
    TSkipTable Table;
    BuildSkipTableNoCase(Bytes(Pattern), m, Table);
    return Horspool(Bytes(Text), std::min(TextLength, Text.size()), Bytes(Pattern), m, Start, Table,
                    Folded{});
}

std::size_t SearchText(std::string_view Pattern, std::string_view Text, bool CaseSensitive,
                       std::size_t Start) {
    if (CaseSensitive) return ForwardSearch(Text, Pattern, Text.size(), Pattern.size(), Start);
    return ForwardSearchNoCase(Text, Pattern, Text.size(), Pattern.size(), Start);
}

std::size_t ForwardSearchPrepared(std::string_view Text, std::string_view Pattern,
                                  const TSkipTable& Table, std::size_t Start) {
    if (Pattern.empty()) throw TPwError("BufferLen is 0");
    return Horspool(Bytes(Text), Text.size(), Bytes(Pattern), Pattern.size(), Start, Table,
                    Exact{});
}

std::size_t FindLineEnd(std::string_view Text, std::size_t Start) {
#if PW_OWN_BYTE_SEARCH
    return FindLineEndOwn(Text, Start);
#else
    if (Start < 1) Start = 1;
    const std::size_t n = Text.size();
    // The LF of a pair whose CR is at Start or later lies at 0-based index Start or later.
    std::size_t from = Start;
    const char* base = Text.data();
    while (from < n) {
        const void* hit = std::memchr(base + from, '\n', n - from);
        if (hit == nullptr) return 0;
        const auto lf = static_cast<std::size_t>(static_cast<const char*>(hit) - base);
        if (base[lf - 1] == '\r')
            return lf; // the CR's 1-based position equals the LF's 0-based index
        from = lf + 1;
    }
    return 0;
#endif
}

namespace {

// From (at least 1) is the first LF looked at: the byte before it is in the text.
std::size_t Sse2LineEnd(const char* Base, std::size_t n, std::size_t From) {
#ifdef __SSE2__
    // Thirty-two candidate LFs at a time, then sixteen, each tested together with the byte before
    // it: no second look after an LF without its CR. A header line is about two such steps.
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const auto pairsAt = [&](std::size_t At) {
        const __m128i at = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Base + At));
        const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Base + At - 1));
        return static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(at, lf), _mm_cmpeq_epi8(before, cr))));
    };
    for (; From < n && n - From >= 32; From += 32) {
        const unsigned pairs = pairsAt(From) | (pairsAt(From + 16) << 16);
        if (pairs != 0) return From + static_cast<std::size_t>(__builtin_ctz(pairs));
    }
    if (From < n && n - From >= 16) {
        if (const unsigned pairs = pairsAt(From); pairs != 0)
            return From + static_cast<std::size_t>(__builtin_ctz(pairs));
        From += 16;
    }
#endif
    for (; From < n; ++From)
        if (Base[From] == '\n' && Base[From - 1] == '\r') return From;
    return 0;
}

#if PW_AVX2_AT_RUN_TIME
// The CR LF pairs whose LF is among the 32 bytes at At, as bits.
__attribute__((target("avx2"))) inline std::uint32_t Avx2Pairs(const char* At) {
    const __m256i at = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(At));
    const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(At - 1));
    return static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(at, _mm256_set1_epi8('\n')),
                                              _mm256_cmpeq_epi8(before, _mm256_set1_epi8('\r')))));
}

// Sixty-four candidate LFs at a time, each with the byte before it; the last few as the SSE2
// search takes them.
__attribute__((target("avx2"))) std::size_t Avx2LineEnd(const char* Base, std::size_t n,
                                                        std::size_t From) {
    for (; From < n && n - From >= 64; From += 64) {
        const std::uint64_t pairs =
            Avx2Pairs(Base + From) | (std::uint64_t{Avx2Pairs(Base + From + 32)} << 32);
        if (pairs != 0) return From + static_cast<std::size_t>(__builtin_ctzll(pairs));
    }
    return Sse2LineEnd(Base, n, From);
}
#endif

using TLineEndFn = std::size_t (*)(const char*, std::size_t, std::size_t);

TLineEndFn ChooseLineEnd() {
#if PW_AVX2_AT_RUN_TIME
    if (__builtin_cpu_supports("avx2")) return Avx2LineEnd;
#endif
    return Sse2LineEnd;
}

} // namespace

std::size_t FindLineEndOwn(std::string_view Text, std::size_t Start) {
    static const TLineEndFn search = ChooseLineEnd();
    // The first LF looked at is at Start: the byte before it is in the text.
    return search(Text.data(), Text.size(), Start < 1 ? 1 : Start);
}
