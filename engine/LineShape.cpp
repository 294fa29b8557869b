#include "engine/LineShape.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

using namespace std::string_view_literals;

bool IsHttpStartLine(std::string_view Line) {
    if (Line.substr(0, 5) == "HTTP/"sv) return true;
    std::size_t i = 0;
    while (i < Line.size() && Line[i] >= 'A' && Line[i] <= 'Z')
        ++i;
    if (i < 3 || i > 7 || i >= Line.size() || Line[i] != ' ') return false;
    const std::size_t target = Line.find(' ', i + 1);
    return target != std::string_view::npos && Line.substr(target + 1, 5) == "HTTP/"sv;
}

namespace {

bool IsDigit(char C) {
    return static_cast<unsigned char>(C - '0') < 10;
}

bool Digits(std::string_view W, std::size_t Min, std::size_t Max) {
    if (W.size() < Min || W.size() > Max) return false;
    for (const char c : W)
        if (!IsDigit(c)) return false;
    return true;
}

// hh:mm or hh:mm:ss
bool IsClock(std::string_view W) {
    const char* c = W.data();
    return (W.size() == 5 || W.size() == 8) && IsDigit(c[0]) && IsDigit(c[1]) && c[2] == ':' &&
           IsDigit(c[3]) && IsDigit(c[4]) &&
           (W.size() == 5 || (c[5] == ':' && IsDigit(c[6]) && IsDigit(c[7])));
}

// Past the word that starts at I: the first space or tab from I on, or End. A separator's
// sender address is its longest word, so eight bytes are tested at a time; the word that holds
// a blank is settled byte by byte.
std::size_t WordEnd(const char* B, std::size_t I, std::size_t End) {
    constexpr std::uint64_t Ones = 0x0101010101010101ull, Highs = 0x8080808080808080ull;
    while (I + 8 <= End) {
        std::uint64_t w;
        std::memcpy(&w, B + I, 8);
        const std::uint64_t space = w ^ (0x20 * Ones), tab = w ^ (0x09 * Ones);
        if ((((space - Ones) & ~space) | ((tab - Ones) & ~tab)) & Highs) break;
        I += 8;
    }
    while (I < End && B[I] != ' ' && B[I] != '\t')
        ++I;
    return I;
}

// Whether W is one of Names, all of three letters.
template <std::size_t N> bool OneOf(std::string_view W, const char (&Names)[N][4]) {
    if (W.size() != 3) return false;
    for (const auto& name : Names)
        if (W[0] == name[0] && W[1] == name[1] && W[2] == name[2]) return true;
    return false;
}

// The first Words.size() words of Bytes (N of them) from a mask of its blanks, 64 bytes at
// once: most separator lines are shorter. False, with nothing taken, when the words reach past
// the mask, or the bytes are too few to read sixteen at a time.
bool WordsByMask(const char* Bytes, std::size_t N, std::array<std::string_view, 7>& Words,
                 std::size_t& Count) {
#if defined(__SSE2__)
    if (N < 16) return false;
    const auto blanks = [](const char* P) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P));
        return std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_or_si128(
            _mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')))))};
    };
    std::uint64_t blank = 0;
    const std::size_t whole = std::min<std::size_t>(N, 64) / 16;
    for (std::size_t k = 0; k < whole; ++k)
        blank |= blanks(Bytes + 16 * k) << (16 * k);
    if (N < 64) {
        // The block the bytes end in is read from their end, and the places past them count as
        // blanks.
        if (const std::size_t part = N % 16; part != 0)
            blank |= (blanks(Bytes + N - 16) >> (16 - part)) << (16 * whole);
        blank |= ~std::uint64_t{0} << N;
    }
    // The padding is blank, so below 64 bytes every word ends inside the mask.
    std::uint64_t rest = ~blank;
    std::size_t count = 0;
    while (count < Words.size() && rest != 0) {
        const unsigned start = static_cast<unsigned>(__builtin_ctzll(rest));
        const std::uint64_t after = blank >> start;
        if (after == 0) return false; // the word runs on past the mask
        const unsigned length = static_cast<unsigned>(__builtin_ctzll(after));
        Words[count++] = std::string_view(Bytes + start, length);
        rest &= ~std::uint64_t{0} << (start + length); // below 64: a blank follows
    }
    if (count < Words.size() && N > 64) return false; // more words may follow past the mask
    Count = count;
    return true;
#else
    (void)Bytes, (void)N, (void)Words, (void)Count;
    return false;
#endif
}

constexpr char Days[7][4] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr char Months[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

} // namespace

bool IsSeparatorLine(std::string_view Line) {
    if (Line.size() < 5 || std::memcmp(Line.data(), "From ", 5) != 0) return false;
    const char* b = Line.data();
    const std::size_t end = Line.size() - EndLength(Line);
    // Only the words found are read.
    std::array<std::string_view, 7> word;
    std::size_t count = 0;
    if (!WordsByMask(b + 5, end - 5, word, count)) {
        std::size_t i = 5;
        while (count < word.size() && i < end) {
            if (b[i] == ' ' || b[i] == '\t') {
                ++i;
                continue;
            }
            const std::size_t j = WordEnd(b, i, end);
            word[count++] = std::string_view(b + i, j - i);
            i = j;
        }
    }
    if (count < 6 || !OneOf(word[1], Days) || !OneOf(word[2], Months)) return false;
    if (!Digits(word[3], 1, 2) || !IsClock(word[4])) return false;
    return Digits(word[5], 4, 4) || (count >= 7 && Digits(word[6], 4, 4));
}
