#include "engine/LineEnds.h"

#include <algorithm>
#include <array>

#include "engine/Simd.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if PW_AVX2_AT_RUN_TIME
#include <immintrin.h>
#endif

namespace {

inline bool IsNameByteAt(unsigned char b) {
    return b >= 0x21 && b <= 0x7E && b != ':';
}

// Name bytes, 0x21 to 0x7E, moved by NameShift land on the lowest signed bytes, -128 to
// NameTop - 1: one add and one signed compare test the range.
constexpr char NameShift = static_cast<char>(0x80 - 0x21);
constexpr char NameTop = static_cast<char>(0x7E + 0x80 - 0x21 + 1 - 0x100);

#if defined(__SSE2__)
// Sixteen bytes: bit i of the answers for byte i, the LFs and the name bytes (whose word's stops
// are the others: one inversion a word).
inline void Masks16(const unsigned char* p, unsigned& Lf, unsigned& Name) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i name = _mm_andnot_si128(
        _mm_cmpeq_epi8(v, _mm_set1_epi8(':')),
        _mm_cmplt_epi8(_mm_add_epi8(v, _mm_set1_epi8(NameShift)), _mm_set1_epi8(NameTop)));
    Lf = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
    Name = static_cast<unsigned>(_mm_movemask_epi8(name));
}

void Sse2Masks(const unsigned char* Bytes, std::size_t Words, std::uint64_t* Lf,
               std::uint64_t* Stop) {
    for (std::size_t w = 0; w < Words; ++w, Bytes += 64) {
        std::uint64_t lf = 0, name = 0;
        for (unsigned k = 0; k < 4; ++k) {
            unsigned l, n;
            Masks16(Bytes + 16 * k, l, n);
            lf |= std::uint64_t{l} << (16 * k);
            name |= std::uint64_t{n} << (16 * k);
        }
        Lf[w] = lf;
        Stop[w] = ~name;
    }
}
#endif

#if PW_AVX2_AT_RUN_TIME
__attribute__((target("avx2"))) void Avx2Masks(const unsigned char* Bytes, std::size_t Words,
                                               std::uint64_t* Lf, std::uint64_t* Stop) {
    // The stops straight away, no name's bytes to invert: past the names' range once moved, or a
    // colon.
    const __m256i colon = _mm256_set1_epi8(':'), shift = _mm256_set1_epi8(NameShift);
    const __m256i belowStops = _mm256_set1_epi8(static_cast<char>(NameTop - 1));
    const __m256i lfByte = _mm256_set1_epi8('\n');
    for (std::size_t w = 0; w < Words; ++w, Bytes += 64) {
        for (unsigned k = 0; k < 2; ++k) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Bytes + 32 * k));
            const __m256i stops =
                _mm256_or_si256(_mm256_cmpeq_epi8(v, colon),
                                _mm256_cmpgt_epi8(_mm256_add_epi8(v, shift), belowStops));
            const auto lf =
                static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, lfByte)));
            const auto stop = static_cast<std::uint32_t>(_mm256_movemask_epi8(stops));
            // Each half of a word stored where it lies (x86 keeps a word's low half first):
            // no shift to join them.
            std::memcpy(reinterpret_cast<char*>(Lf + w) + 4 * k, &lf, 4);
            std::memcpy(reinterpret_cast<char*>(Stop + w) + 4 * k, &stop, 4);
        }
    }
}
#endif

// Text bytes of the two rules. The standard rule's: tab, LF, VT, CR and printable ASCII. The deep
// rule's: those, form feed, escape and every byte from 0x80 up.
constexpr bool StandardText(unsigned char b) {
    return (b >= 0x20 && b <= 0x7E) || (b >= 0x09 && b <= 0x0B) || b == 0x0D;
}
constexpr bool DeepText(unsigned char b) {
    return (b >= 0x20 && b <= 0x7E) || b >= 0x80 || (b >= 0x09 && b <= 0x0D) || b == 0x1B;
}

template <bool Deep> std::size_t PortableTextRun(const unsigned char* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n && (Deep ? DeepText(p[i]) : StandardText(p[i])))
        ++i;
    return i;
}

#if defined(__SSE2__)
// All-ones for the text bytes of sixteen. Signed compares: the bytes from 0x80 up are negative.
template <bool Deep> inline __m128i Text16(__m128i v) {
    const __m128i printable = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(0x1F)),
                                            _mm_cmplt_epi8(v, _mm_set1_epi8(0x7F)));
    if constexpr (Deep) {
        const __m128i controls = _mm_or_si128(_mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(0x08)),
                                                            _mm_cmplt_epi8(v, _mm_set1_epi8(0x0E))),
                                              _mm_cmpeq_epi8(v, _mm_set1_epi8(0x1B)));
        return _mm_or_si128(_mm_or_si128(printable, controls),
                            _mm_cmplt_epi8(v, _mm_setzero_si128()));
    } else {
        const __m128i controls = _mm_or_si128(_mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(0x08)),
                                                            _mm_cmplt_epi8(v, _mm_set1_epi8(0x0C))),
                                              _mm_cmpeq_epi8(v, _mm_set1_epi8(0x0D)));
        return _mm_or_si128(printable, controls);
    }
}

// A run's last bytes, fewer than a block, read as the block of sixteen that ends with them rather
// than one by one: the place of the first byte that is no text among p's N (16 at least), those
// before I known to be text already; N when there is none.
template <bool Deep>
inline std::size_t Sse2TailRun(const unsigned char* p, std::size_t I, std::size_t N) {
    const std::size_t from = N - 16;
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + from));
    const unsigned text =
        static_cast<unsigned>(_mm_movemask_epi8(Text16<Deep>(v))) | ((1u << (I - from)) - 1);
    return text == 0xFFFFu ? N : from + static_cast<std::size_t>(__builtin_ctz(~text));
}

template <bool Deep> std::size_t Sse2TextRun(const unsigned char* p, std::size_t n) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const unsigned text = static_cast<unsigned>(_mm_movemask_epi8(Text16<Deep>(v)));
        if (text != 0xFFFFu) return i + static_cast<std::size_t>(__builtin_ctz(~text));
    }
    if (i == n) return n;
    if (n >= 16) return Sse2TailRun<Deep>(p, i, n);
    return PortableTextRun<Deep>(p, n);
}
#endif

#if PW_AVX2_AT_RUN_TIME
// The bytes that end a rule's text run, looked up by nibbles: a byte ends it when its low nibble's
// entry and its high nibble's share a bit. Rows of sixteen bytes (one high nibble) that end a run
// at the same low nibbles share a bit; each table is held twice, once per half of a register.
struct TStopNibbles {
    std::array<unsigned char, 32> Low{}, High{};
};
template <bool Deep> constexpr TStopNibbles MakeStopNibbles() {
    TStopNibbles t{};
    std::array<unsigned, 8> rows{}; // the stopping low nibbles of each bit's rows
    unsigned used = 0;
    for (unsigned h = 0; h < 16; ++h) {
        unsigned row = 0;
        for (unsigned l = 0; l < 16; ++l) {
            const auto b = static_cast<unsigned char>(h * 16 + l);
            if (!(Deep ? DeepText(b) : StandardText(b))) row |= 1u << l;
        }
        if (row == 0) continue;
        unsigned bit = 0;
        while (bit < used && rows[bit] != row)
            ++bit;
        if (bit == used) rows[used++] = row; // more than eight kinds of row fail to compile
        for (unsigned half = 0; half < 32; half += 16) {
            t.High[half + h] = static_cast<unsigned char>(1u << bit);
            for (unsigned l = 0; l < 16; ++l)
                if ((row >> l) & 1u) t.Low[half + l] |= static_cast<unsigned char>(1u << bit);
        }
    }
    return t;
}

// Non-zero bytes where the 32 bytes of v end a text run.
__attribute__((target("avx2"))) inline __m256i Avx2Stops(__m256i v, __m256i Low, __m256i High) {
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    return _mm256_and_si256(
        _mm256_shuffle_epi8(Low, _mm256_and_si256(v, nibble)),
        _mm256_shuffle_epi8(High, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble)));
}

// A bit a byte of the 64 bytes whose stops are A and B: set for text.
__attribute__((target("avx2"))) inline std::uint64_t Avx2TextBits(__m256i A, __m256i B) {
    const __m256i zero = _mm256_setzero_si256();
    return std::uint64_t{
               static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(A, zero)))} |
           std::uint64_t{
               static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(B, zero)))}
               << 32;
}

template <bool Deep>
__attribute__((target("avx2"))) std::size_t Avx2TextRun(const unsigned char* p, std::size_t n) {
    static constexpr TStopNibbles Table = MakeStopNibbles<Deep>();
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Table.Low.data()));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Table.High.data()));
    const __m256i zero = _mm256_setzero_si256();
    std::size_t i = 0;
    // Runs are long: a hundred and twenty-eight bytes are tested with one branch, and the place
    // looked for after.
    for (; i + 128 <= n; i += 128) {
        const __m256i a =
            Avx2Stops(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)), low, high);
        const __m256i b =
            Avx2Stops(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32)), low, high);
        const __m256i c =
            Avx2Stops(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 64)), low, high);
        const __m256i d =
            Avx2Stops(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 96)), low, high);
        const __m256i any = _mm256_or_si256(_mm256_or_si256(a, b), _mm256_or_si256(c, d));
        if (_mm256_testz_si256(any, any)) continue;
        const std::uint64_t first = Avx2TextBits(a, b);
        if (first != ~std::uint64_t{0})
            return i + static_cast<std::size_t>(__builtin_ctzll(~first));
        return i + 64 + static_cast<std::size_t>(__builtin_ctzll(~Avx2TextBits(c, d)));
    }
    for (; i + 64 <= n; i += 64) {
        const __m256i a =
            Avx2Stops(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)), low, high);
        const __m256i b =
            Avx2Stops(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32)), low, high);
        const __m256i any = _mm256_or_si256(a, b);
        if (_mm256_testz_si256(any, any)) continue;
        return i + static_cast<std::size_t>(__builtin_ctzll(~Avx2TextBits(a, b)));
    }
    for (; i + 32 <= n; i += 32) {
        const __m256i a =
            Avx2Stops(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)), low, high);
        const auto text =
            static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, zero)));
        if (text != 0xFFFFFFFFu) return i + static_cast<std::size_t>(__builtin_ctz(~text));
    }
    if (i == n) return n;
    // The tail: the last 32 bytes again, those already read counted as text.
    if (n >= 32) {
        const std::size_t from = n - 32;
        const __m256i a =
            Avx2Stops(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + from)), low, high);
        const auto text =
            static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, zero))) |
            ((std::uint32_t{1} << (i - from)) - 1);
        return text == 0xFFFFFFFFu ? n : from + static_cast<std::size_t>(__builtin_ctz(~text));
    }
    return Sse2TextRun<Deep>(p, n); // shorter than 32 bytes
}
#endif

using TTextRunFn = std::size_t (*)(const unsigned char*, std::size_t);

struct TTextRuns {
    TTextRunFn Standard, Deep;
};

TTextRuns ChooseTextRuns() {
#if PW_AVX2_AT_RUN_TIME
    if (__builtin_cpu_supports("avx2")) return {Avx2TextRun<false>, Avx2TextRun<true>};
#endif
#if defined(__SSE2__)
    return {Sse2TextRun<false>, Sse2TextRun<true>};
#else
    return {PortableTextRun<false>, PortableTextRun<true>};
#endif
}

const TTextRuns& TextRuns() {
    static const TTextRuns runs = ChooseTextRuns();
    return runs;
}

using TMasksFn = void (*)(const unsigned char*, std::size_t, std::uint64_t*, std::uint64_t*);

struct TKernel {
    TMasksFn Fn;
};

TKernel ChooseKernel() {
#if PW_AVX2_AT_RUN_TIME
    if (__builtin_cpu_supports("avx2")) return {Avx2Masks};
#endif
#if defined(__SSE2__)
    return {Sse2Masks};
#else
    return {PortableLineMasks};
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

std::vector<TLineMaskPath> LineMaskPaths() {
    std::vector<TLineMaskPath> paths{{"portable", PortableLineMasks}};
#if defined(__SSE2__)
    paths.push_back({"sse2", Sse2Masks});
#endif
#if PW_AVX2_AT_RUN_TIME
    if (__builtin_cpu_supports("avx2")) paths.push_back({"avx2", Avx2Masks});
#endif
    return paths;
}

std::vector<TTextRunPath> TextRunPaths() {
    std::vector<TTextRunPath> paths{{"portable", PortableTextRun<false>, PortableTextRun<true>}};
#if defined(__SSE2__)
    paths.push_back({"sse2", Sse2TextRun<false>, Sse2TextRun<true>});
#endif
#if PW_AVX2_AT_RUN_TIME
    if (__builtin_cpu_supports("avx2"))
        paths.push_back({"avx2", Avx2TextRun<false>, Avx2TextRun<true>});
#endif
    return paths;
}

template <bool Lazily>
void TLineMasks<Lazily>::Build(std::string_view Text, std::size_t FirstWords) {
    FText = Text;
    // One word more than the bytes need: its stops end every name search. The storage only
    // grows, so that a scan of short runs allocates and clears nothing.
    FAllWords = Text.size() / 64 + 1;
    if (FLf.size() < FAllWords) {
        FLf.resize(FAllWords);
        FStop.resize(FAllWords);
    }
    FWords = 0;
    MakeWords(0, Lazily ? std::min(FirstWords, FAllWords) : FAllWords);
}

template <bool Lazily> bool TLineMasks<Lazily>::Reach(std::size_t W) const {
    if (W >= FAllWords) return false;
    MakeWords(FWords, std::min(FAllWords, std::max(W + 1, 2 * FWords)));
    return true;
}

template <bool Lazily> void TLineMasks<Lazily>::MakeWords(std::size_t From, std::size_t To) const {
    const auto* bytes = reinterpret_cast<const unsigned char*>(FText.data());
    const std::size_t whole = FAllWords - 1;
    const TMasksFn fn = Kernel().Fn;
    if (From < whole) fn(bytes + 64 * From, std::min(To, whole) - From, &FLf[From], &FStop[From]);
    if (To == FAllWords) {
        alignas(32) unsigned char tail[64] = {}; // NUL: no LF, a stop
        const std::size_t rest = FText.size() % 64;
        if (rest > 0) std::memcpy(tail, bytes + 64 * whole, rest);
        fn(tail, 1, &FLf[whole], &FStop[whole]);
    }
    FWords = To;
}

template class TLineMasks<false>;
template class TLineMasks<true>;

std::size_t StandardTextRun(std::string_view Bytes) {
    return TextRuns().Standard(reinterpret_cast<const unsigned char*>(Bytes.data()), Bytes.size());
}

std::size_t DeepTextRun(std::string_view Bytes) {
    return TextRuns().Deep(reinterpret_cast<const unsigned char*>(Bytes.data()), Bytes.size());
}
