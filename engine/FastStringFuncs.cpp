#include "engine/FastStringFuncs.h"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

std::size_t FindCharFromOwn(std::string_view Text, char b, std::size_t Start) {
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

std::string CopyRange(std::string_view Text, std::ptrdiff_t Start, std::ptrdiff_t Count) {
    const auto n = static_cast<std::ptrdiff_t>(Text.size());
    if (n == 0 || Start < 1 || Count < 1 || Start > n) return {};
    if (Count > n - Start + 1) Count = n - Start + 1;
    return std::string(
        Text.substr(static_cast<std::size_t>(Start - 1), static_cast<std::size_t>(Count)));
}
