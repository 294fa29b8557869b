#include "engine/ClientFlags.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/Simd.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if PW_AVX2_AT_RUN_TIME
#include <immintrin.h>
#endif

#include "engine/FastStringFuncs.h"
#include "engine/FoundEmails.h"
#include "engine/HeaderNames.h"

namespace {

// Header blocks longer than this are not a mail program's own.
constexpr std::size_t BlockReach = 256 * 1024;

std::string_view Trimmed(std::string_view V) {
    while (!V.empty() && (V.front() == ' ' || V.front() == '\t'))
        V.remove_prefix(1);
    while (!V.empty() && (V.back() == ' ' || V.back() == '\t' || V.back() == '\r'))
        V.remove_suffix(1);
    return V;
}

// "0009": hexadecimal digits, at most eight of them.
bool MozillaExpunged(std::string_view Value) {
    Value = Trimmed(Value);
    if (Value.empty() || Value.size() > 8) return false;
    std::uint32_t bits = 0;
    for (char c : Value) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        bits = bits * 16 + static_cast<std::uint32_t>(d);
    }
    return (bits & 0x0008u) != 0;
}

// "RO", "ADF": flag letters only (upper case, as mail programs write them), one of them D.
bool FlagsDeleted(std::string_view Value) {
    Value = Trimmed(Value);
    if (Value.empty() || Value.size() > 16) return false;
    bool deleted = false;
    for (char c : Value) {
        if (c < 'A' || c > 'Z') return false;
        deleted = deleted || c == 'D';
    }
    return deleted;
}

constexpr std::size_t Nowhere = std::string_view::npos;

// Every name looked for ends in "status" and is followed by its colon, and opens its line: alone,
// after "X-" or after "X-Mozilla-". The start of the line K names a field in, else Nowhere.
[[gnu::noinline]] std::size_t StatusLineAt(const char* p, std::size_t n, std::size_t k) {
    if (k + 6 >= n || p[k + 6] != ':' || !EqualsNoCase(std::string_view(p + k, 6), "status"))
        return Nowhere;
    const auto opensLine = [p](std::size_t At) { return At == 0 || p[At - 1] == '\n'; };
    if (opensLine(k)) return k;
    if (k >= 2 && EqualsNoCase(std::string_view(p + k - 2, 2), "X-") && opensLine(k - 2))
        return k - 2;
    if (k >= 10 && EqualsNoCase(std::string_view(p + k - 10, 10), "X-Mozilla-") &&
        opensLine(k - 10))
        return k - 10;
    return Nowhere;
}

// The first line of Head that names a field looked for (its start), else Nowhere: no line of Head
// names one. Many places at a time where the processor allows: an 's' at the place and a colon six
// bytes on, then the word and the line's opening compared. Places may be tested twice, none is
// skipped, and they are tested in order.
std::size_t PortableFirstStatusLine(const char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (const std::size_t line = StatusLineAt(p, n, i); line != Nowhere) return line;
    return Nowhere;
}

#if defined(__SSE2__)
std::size_t Sse2FirstStatusLine(const char* p, std::size_t n, std::size_t From = 0) {
    if (n < 6 + 16) return PortableFirstStatusLine(p, n);
    const __m128i s = _mm_set1_epi8('s'), colon = _mm_set1_epi8(':'), caseBit = _mm_set1_epi8(0x20);
    // The last block is read from the end, over places tested already.
    for (std::size_t i = From;; i = std::min(i + 16, n - 6 - 16)) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 6));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(a, caseBit), s), _mm_cmpeq_epi8(c, colon))));
        for (; mask != 0; mask &= mask - 1)
            if (const std::size_t line =
                    StatusLineAt(p, n, i + static_cast<std::size_t>(__builtin_ctz(mask)));
                line != Nowhere)
                return line;
        if (i == n - 6 - 16) return Nowhere;
    }
}
#endif

#if PW_AVX2_AT_RUN_TIME
__attribute__((target("avx2"))) std::size_t Avx2FirstStatusLine(const char* p, std::size_t n) {
    const __m256i s = _mm256_set1_epi8('s'), colon = _mm256_set1_epi8(':'),
                  caseBit = _mm256_set1_epi8(0x20);
    std::size_t i = 0;
    for (; i + 6 + 32 <= n; i += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 6));
        auto mask = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_and_si256(
            _mm256_cmpeq_epi8(_mm256_or_si256(a, caseBit), s), _mm256_cmpeq_epi8(c, colon))));
        for (; mask != 0; mask &= mask - 1)
            if (const std::size_t line =
                    StatusLineAt(p, n, i + static_cast<std::size_t>(__builtin_ctz(mask)));
                line != Nowhere)
                return line;
    }
    return i < n ? Sse2FirstStatusLine(p, n, i > 0 ? std::min(i, n - 6 - 16) : 0) : Nowhere;
}
#endif

std::size_t FirstStatusLine(std::string_view Head) {
    using TFn = std::size_t (*)(const char*, std::size_t);
#if PW_AVX2_AT_RUN_TIME
    static const TFn fn =
        __builtin_cpu_supports("avx2")
            ? TFn{Avx2FirstStatusLine}
            : TFn{[](const char* p, std::size_t n) { return Sse2FirstStatusLine(p, n); }};
#elif defined(__SSE2__)
    static const TFn fn = [](const char* p, std::size_t n) { return Sse2FirstStatusLine(p, n); };
#else
    static const TFn fn = PortableFirstStatusLine;
#endif
    return fn(Head.data(), Head.size());
}

// Whether a line of Head, whose lines all end with LF, is empty ("" or "\r" before its LF).
bool HoldsEmptyLine(std::string_view Head) {
    return Head.substr(0, 1) == "\n" || Head.substr(0, 2) == "\r\n" ||
           Head.find("\n\n") != Nowhere || Head.find("\n\r\n") != Nowhere;
}

// Where the header block of FullText surely closes, as Body tells when it is FullText's end and
// opens with the block's empty line; npos where Body tells nothing of it.
std::size_t HeaderEndFrom(std::string_view FullText, std::string_view Body) {
    if (Body.empty() || !EndsText(FullText, Body)) return std::string_view::npos;
    const std::size_t h = FullText.size() - Body.size();
    // A line begins at h, and it is empty ("" or "\r" before its LF): the line walk stops there
    // if it has not stopped before.
    const bool lineStart = h > 0 && FullText[h - 1] == '\n';
    const bool empty =
        Body[0] == '\n' || (Body[0] == '\r' && (Body.size() == 1 || Body[1] == '\n'));
    return lineStart && empty ? h : std::string_view::npos;
}

// The walk of Block's lines from At, a line's start, to the block's empty line.
bool DeletedFrom(std::string_view Block, std::size_t At) {
    enum TWhich { None, Mozilla, Status, XStatus };
    bool seen[4] = {};
    TWhich current = None;
    std::string value; // the current line's value with its folded continuations
    bool deleted = false;
    auto settle = [&] {
        if (current == Mozilla) deleted = deleted || MozillaExpunged(value);
        if (current == Status || current == XStatus) deleted = deleted || FlagsDeleted(value);
        current = None;
        value.clear();
    };
    std::size_t at = At;
    while (at < Block.size() && !deleted) {
        // Every message's every header line passes here, and header lines are short: the search
        // in line, not a call to the library's.
        const std::size_t lf = FindCharFromOwn(Block, '\n', at + 1);
        const bool last = lf == 0;
        const std::size_t end = last ? Block.size() : lf - 1;
        std::string_view line = Block.substr(at, end - at);
        at = last ? Block.size() : end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) break; // the block's end
        if (line.front() == ' ' || line.front() == '\t') {
            if (current != None) value.append(line);
            continue;
        }
        settle();
        // The names looked for start with X or S, most lines' names with neither.
        const char first = line.front();
        if (first != 'X' && first != 'x' && first != 'S' && first != 's') continue;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view name = line.substr(0, colon);
        TWhich which = None;
        if (EqualsNoCase(name, "X-Mozilla-Status"))
            which = Mozilla;
        else if (EqualsNoCase(name, "Status"))
            which = Status;
        else if (EqualsNoCase(name, "X-Status"))
            which = XStatus;
        if (which == None || seen[which]) continue;
        seen[which] = true;
        current = which;
        value.assign(line.substr(colon + 1));
    }
    settle();
    return deleted;
}

} // namespace

bool IsClientDeleted(std::string_view FullText, std::string_view Body) {
    // Most header blocks name none of the fields: one pass over the block settles them, instead of
    // a walk of its lines.
    const std::size_t end = HeaderEndFrom(FullText, Body);
    if (end == Nowhere) return IsClientDeleted(FullText);
    const std::size_t first = FirstStatusLine(FullText.substr(0, std::min(end, BlockReach)));
    if (first == Nowhere) return false;
    // No line before the first that names a field changes the walk, unless the block closed there.
    return DeletedFrom(FullText.substr(0, BlockReach),
                       HoldsEmptyLine(FullText.substr(0, first)) ? 0 : first);
}

bool IsClientDeleted(std::string_view FullText) {
    return DeletedFrom(FullText.substr(0, BlockReach), 0);
}
