#pragma once

// Lines as the deep rule sees them: where they end (CR LF or LF, as the message stores them), and
// their shape (a header line, a "Name:" line or a folded continuation, which may stand in a header
// block, or any other line). Inline: the rule asks these of every line it reads.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/FastStringFuncs.h"

// How a message's lines end. A message keeps its own line ends: one stored with CR LF has its
// lines end at CR LF only (a lone LF stands inside a line), one stored with LF at every LF.
enum class TEnds { Lf, CrLf };

// Past-the-end of the line that starts at p, 0 when no line ends. Under CR LF, when MboxAware, a
// lone LF before "From " ends a line too, and so does the first LF of a line that begins so: an
// LF mbox may hold CR LF messages, its separators and the empty lines before them are LF lines.
inline std::size_t NextLine(std::string_view Text, std::size_t p, TEnds Ends, bool MboxAware) {
    const char* base = Text.data();
    const std::size_t n = Text.size();
    if (MboxAware && Ends == TEnds::CrLf && n - p > 5 && std::memcmp(base + p, "From ", 5) == 0)
        Ends = TEnds::Lf;
    std::size_t from = p;
    while (from < n) {
        const std::size_t at = FindCharFrom(Text, '\n', from + 1);
        if (at == 0) return 0;
        const std::size_t lf = at - 1;
        if (Ends == TEnds::Lf || (lf > p && base[lf - 1] == '\r')) return lf + 1;
        if (MboxAware && n - lf > 5 && std::memcmp(base + lf + 1, "From ", 5) == 0) return lf + 1;
        from = lf + 1;
    }
    return 0;
}

// The ends of a line (its last bytes), which the lines of the message it opens share.
inline TEnds EndsOf(std::string_view Line) {
    return Line.size() >= 2 && Line[Line.size() - 2] == '\r' ? TEnds::CrLf : TEnds::Lf;
}

inline std::size_t EndLength(std::string_view Line) {
    if (Line.empty() || Line.back() != '\n') return 0;
    return Line.size() >= 2 && Line[Line.size() - 2] == '\r' ? 2 : 1;
}

inline bool IsEmptyLine(std::string_view Line) {
    return (Line.size() == 1 && Line[0] == '\n') ||
           (Line.size() == 2 && Line[0] == '\r' && Line[1] == '\n');
}

// A header name's bytes: printable ASCII without the space (and a colon ends the name).
inline bool IsNameByte(unsigned char b) {
    return b >= 0x21 && b <= 0x7E && b != ':';
}

// Number of name bytes at the start of Bytes. Lines of base64 or of long words are name bytes
// from end to end, so they are read sixteen bytes at a time where the processor allows (which
// also settles a name or a first word of a dozen bytes in one step), else eight; the last few
// bytes are settled byte by byte.
inline std::size_t NameLength(std::string_view Bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(Bytes.data());
    const std::size_t n = Bytes.size();
    std::size_t i = 0;
#if defined(__SSE2__)
    // Name bytes, 0x21 to 0x7E, moved by 0x80 - 0x21 land on the lowest signed bytes, -128 to
    // -35: one add and one signed compare test the range.
    const __m128i shift = _mm_set1_epi8(static_cast<char>(0x80 - 0x21));
    const __m128i top = _mm_set1_epi8(static_cast<char>(0x7E + 0x80 - 0x21 + 1 - 0x100));
    const __m128i colon = _mm_set1_epi8(':');
    while (i + 16 <= n) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i name =
            _mm_andnot_si128(_mm_cmpeq_epi8(v, colon), _mm_cmplt_epi8(_mm_add_epi8(v, shift), top));
        const auto stops = ~static_cast<unsigned>(_mm_movemask_epi8(name)) & 0xFFFFu;
        if (stops != 0) return i + static_cast<std::size_t>(__builtin_ctz(stops));
        i += 16;
    }
#endif
    constexpr std::uint64_t Ones = 0x0101010101010101ull, Highs = 0x8080808080808080ull;
    while (i + 8 <= n) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        // Some byte below 0x21, some from 0x7F up, some colon: each test may also flag a byte
        // after a flagged one, never miss one.
        const std::uint64_t low = (w - 0x21 * Ones) & ~w & Highs;
        const std::uint64_t high = ((w + Ones) | w) & Highs;
        const std::uint64_t colon = ((w ^ (0x3A * Ones)) - Ones) & ~(w ^ (0x3A * Ones)) & Highs;
        if ((low | high | colon) != 0) break;
        i += 8;
    }
    while (i < n && IsNameByte(p[i]))
        ++i;
    return i;
}

// A line (with its line end) as a header block sees it, from one pass over its name and without
// copying: the split the standard rule's ParseHeaderLine makes (printable bytes up to the first
// colon, then a space), and whether the line may stand inside a block at all: a folded
// continuation, or a name and a colon whatever follows ("Name:" with an empty or tabbed value too).
struct TLineShape {
    bool BlockLine = false;
    bool HeaderLine = false;
    std::string_view Name;  // for every named block line
    std::string_view Value; // from the space after the colon to the line end
};

// The Value of a header line of that Shape.
inline std::string_view ValueOf(std::string_view Line, const TLineShape& Shape) {
    const std::size_t i = Shape.Name.size();
    const std::size_t end = Line.size() - EndLength(Line);
    return end >= i + 1 ? std::string_view(Line.data() + i + 1, end - i - 1) : std::string_view();
}

// The shape of a line that opens with neither space nor tab and whose first i bytes are name
// bytes, the next one not. Without WithValue its Value is left empty, for a caller that needs
// few lines' values and makes them with ValueOf.
template <bool WithValue = true>
inline TLineShape ShapeOfNamed(std::string_view Line, std::size_t i) {
    TLineShape shape;
    if (i == 0 || i >= Line.size() || Line[i] != ':') return shape;
    shape.BlockLine = true;
    // Every line passes here: the views are made in place, their bounds checked above.
    shape.Name = std::string_view(Line.data(), i);
    if (i + 1 < Line.size() && Line[i + 1] == ' ') {
        shape.HeaderLine = true;
        if constexpr (WithValue) shape.Value = ValueOf(Line, shape);
    }
    return shape;
}

// Line: not empty.
inline TLineShape ShapeOf(std::string_view Line) {
    const auto first = static_cast<unsigned char>(Line[0]);
    if (first == ' ' || first == '\t') {
        TLineShape shape;
        shape.BlockLine = true;
        return shape;
    }
    return ShapeOfNamed(Line, NameLength(Line));
}

// "GET /path HTTP/1.1" or "HTTP/1.1 200 OK": the first line of web traffic, whose fields follow.
bool IsHttpStartLine(std::string_view Line);

// "From <address> <weekday> <month> <day> <hh:mm[:ss]> [<zone>] <year> ...": an mbox separator.
bool IsSeparatorLine(std::string_view Line);
