#include "engine/LineEnds.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// AVX2 is chosen at run time on x86-64, never on Windows: GCC there does not align the stack for
// 32-byte spills, so a function built for AVX may fault.
#if defined(__x86_64__) && defined(__SSE2__) && !defined(_WIN32) && defined(__GNUC__)
#define PW_LINE_INDEX_AVX2 1
#include <immintrin.h>
#else
#define PW_LINE_INDEX_AVX2 0
#endif

namespace {

inline bool IsNameByteAt(unsigned char b) {
    return b >= 0x21 && b <= 0x7E && b != ':';
}

#if defined(__SSE2__)
// Sixteen bytes: bit i of the answers for byte i. Signed compares: bytes from 0x80 up are
// negative, so "above 0x20 and below 0x7F" leaves them out.
inline void Masks16(const unsigned char* p, unsigned& Lf, unsigned& Stop) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i name = _mm_andnot_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(':')),
                                          _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(0x20)),
                                                        _mm_cmplt_epi8(v, _mm_set1_epi8(0x7F))));
    Lf = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
    Stop = ~static_cast<unsigned>(_mm_movemask_epi8(name)) & 0xFFFFu;
}

void Sse2Masks(const unsigned char* Bytes, std::size_t Words, std::uint64_t* Lf,
               std::uint64_t* Stop) {
    for (std::size_t w = 0; w < Words; ++w, Bytes += 64) {
        std::uint64_t lf = 0, stop = 0;
        for (unsigned k = 0; k < 4; ++k) {
            unsigned l, s;
            Masks16(Bytes + 16 * k, l, s);
            lf |= std::uint64_t{l} << (16 * k);
            stop |= std::uint64_t{s} << (16 * k);
        }
        Lf[w] = lf;
        Stop[w] = stop;
    }
}
#endif

#if PW_LINE_INDEX_AVX2
__attribute__((target("avx2"))) void Avx2Masks(const unsigned char* Bytes, std::size_t Words,
                                               std::uint64_t* Lf, std::uint64_t* Stop) {
    const __m256i colon = _mm256_set1_epi8(':'), space = _mm256_set1_epi8(0x20);
    const __m256i del = _mm256_set1_epi8(0x7F), lfByte = _mm256_set1_epi8('\n');
    for (std::size_t w = 0; w < Words; ++w, Bytes += 64) {
        std::uint64_t lf = 0, stop = 0;
        for (unsigned k = 0; k < 2; ++k) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Bytes + 32 * k));
            const __m256i name = _mm256_andnot_si256(
                _mm256_cmpeq_epi8(v, colon),
                _mm256_and_si256(_mm256_cmpgt_epi8(v, space), _mm256_cmpgt_epi8(del, v)));
            lf |= std::uint64_t{static_cast<std::uint32_t>(
                      _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, lfByte)))}
                  << (32 * k);
            stop |= std::uint64_t{~static_cast<std::uint32_t>(_mm256_movemask_epi8(name))}
                    << (32 * k);
        }
        Lf[w] = lf;
        Stop[w] = stop;
    }
}
#endif

using TMasksFn = void (*)(const unsigned char*, std::size_t, std::uint64_t*, std::uint64_t*);

struct TKernel {
    TMasksFn Fn;
    const char* Name;
};

TKernel ChooseKernel() {
#if PW_LINE_INDEX_AVX2
    if (__builtin_cpu_supports("avx2")) return {Avx2Masks, "avx2"};
#endif
#if defined(__SSE2__)
    return {Sse2Masks, "sse2"};
#else
    return {PortableLineMasks, "portable"};
#endif
}

const TKernel& Kernel() {
    static const TKernel kernel = ChooseKernel();
    return kernel;
}

} // namespace

void PortableLineMasks(const unsigned char* Bytes, std::size_t Words, std::uint64_t* Lf,
                       std::uint64_t* Stop) {
    for (std::size_t w = 0; w < Words; ++w, Bytes += 64) {
        std::uint64_t lf = 0, stop = 0;
        for (unsigned i = 0; i < 64; ++i) {
            lf |= std::uint64_t{Bytes[i] == '\n'} << i;
            stop |= std::uint64_t{!IsNameByteAt(Bytes[i])} << i;
        }
        Lf[w] = lf;
        Stop[w] = stop;
    }
}

void FastLineMasks(const unsigned char* Bytes, std::size_t Words, std::uint64_t* Lf,
                   std::uint64_t* Stop) {
    Kernel().Fn(Bytes, Words, Lf, Stop);
}

const char* LineIndexKernel() {
    return Kernel().Name;
}

void TLineIndex::Build(std::string_view Text) {
    FText = Text;
    const auto* bytes = reinterpret_cast<const unsigned char*>(Text.data());
    const std::size_t whole = Text.size() / 64, rest = Text.size() % 64;
    // One word more than the bytes need: its stops end every name search.
    FLf.resize(whole + 1);
    FStop.resize(whole + 1);
    Kernel().Fn(bytes, whole, FLf.data(), FStop.data());
    unsigned char tail[64];
    std::memset(tail, 0, sizeof tail); // NUL: no LF, a stop
    if (rest > 0) std::memcpy(tail, bytes + 64 * whole, rest);
    PortableLineMasks(tail, 1, &FLf[whole], &FStop[whole]);
}
