#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// Byte searches: the C library's where it is fast (glibc's uses the processor's widest
// registers), the program's own where it is not (the Windows C runtime's, and Wine's, look at one
// byte at a time, and a call per header line costs as much as the search).
#ifdef _WIN32
#define PW_OWN_BYTE_SEARCH 1
#else
#define PW_OWN_BYTE_SEARCH 0
#endif

// The program's own search for FindCharFrom below, sixteen bytes at a time where the processor
// has SSE2 (x86-64 always), else one at a time: what it uses where PW_OWN_BYTE_SEARCH is 1, and
// what a search over a few dozen bytes uses everywhere (a header line's end), where a call to the
// library's costs more than the search. Inline for the same reason.
inline std::size_t FindCharFromOwn(std::string_view Text, char b, std::size_t Start) {
    if (Start < 1) Start = 1;
    const std::size_t n = Text.size();
    const char* base = Text.data();
    std::size_t i = Start - 1;
#ifdef __SSE2__
    const __m128i wanted = _mm_set1_epi8(b);
    for (; i < n && n - i >= 16; i += 16) {
        const __m128i at = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i));
        const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(at, wanted)));
        if (hits != 0) return i + static_cast<std::size_t>(__builtin_ctz(hits)) + 1;
    }
#endif
    for (; i < n; ++i)
        if (base[i] == b) return i + 1;
    return 0;
}

// Position (1-based) of the first byte b at or after Start, or 0. Inline: the rules call it once
// a line, and a call to another unit would cost a part of what the search does.
inline std::size_t FindCharFrom(std::string_view Text, char b, std::size_t Start) {
#if PW_OWN_BYTE_SEARCH
    return FindCharFromOwn(Text, b, Start);
#else
    if (Start < 1) Start = 1;
    const std::size_t n = Text.size();
    if (n == 0 || Start > n) return 0;
    const void* hit =
        std::memchr(Text.data() + Start - 1, static_cast<unsigned char>(b), n - (Start - 1));
    if (hit == nullptr) return 0;
    return static_cast<std::size_t>(static_cast<const char*>(hit) - Text.data()) + 1;
#endif
}

// Count bytes from Start (1-based), clipped at the end of Text; empty for a start past the end,
// Start < 1 or Count < 1.
std::string CopyRange(std::string_view Text, std::ptrdiff_t Start, std::ptrdiff_t Count);
