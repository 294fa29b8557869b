// SPDX-License-Identifier: GPL-3.0-or-later
//
// Short copies, byte searches and comparisons, made in place of the C runtime's. A scan copies a
// handful of short fields per message (a subject, a date, a JSON line's pieces), and the runtime a
// Windows program links against (msvcrt.dll) makes a short copy a call and a string instruction
// at a time: under Wine that was a twentieth of a scan of a mail-dense disk. Its memchr and memcmp
// there look at one byte at a time. The Windows programs' link routes every memcpy, memmove,
// memchr and memcmp of theirs and of the libraries linked in here; longer copies go on to the
// runtime's. Every short copy reads all its bytes before it writes one, so it serves memmove too.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <emmintrin.h>

extern "C" {
void* __real_memcpy(void* Target, const void* Source, std::size_t Count);
void* __real_memmove(void* Target, const void* Source, std::size_t Count);
void* __wrap_memchr(const void* Bytes, int Byte, std::size_t Count);
int __wrap_memcmp(const void* A, const void* B, std::size_t Count);
}

namespace {

constexpr std::size_t ShortBytes = 128;

inline __m128i Load(const unsigned char* At) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(At));
}
inline void Store(unsigned char* At, __m128i Value) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(At), Value);
}

// Count at most ShortBytes: loads from the front and from the back that cover the bytes,
// overlapping in the middle.
inline void CopyShort(unsigned char* Target, const unsigned char* Source, std::size_t Count) {
    if (Count > 64) {
        const __m128i a = Load(Source), b = Load(Source + 16), c = Load(Source + 32),
                      d = Load(Source + 48), e = Load(Source + Count - 64),
                      f = Load(Source + Count - 48), g = Load(Source + Count - 32),
                      h = Load(Source + Count - 16);
        Store(Target, a);
        Store(Target + 16, b);
        Store(Target + 32, c);
        Store(Target + 48, d);
        Store(Target + Count - 64, e);
        Store(Target + Count - 48, f);
        Store(Target + Count - 32, g);
        Store(Target + Count - 16, h);
    } else if (Count > 32) {
        const __m128i a = Load(Source), b = Load(Source + 16), c = Load(Source + Count - 32),
                      d = Load(Source + Count - 16);
        Store(Target, a);
        Store(Target + 16, b);
        Store(Target + Count - 32, c);
        Store(Target + Count - 16, d);
    } else if (Count >= 16) {
        const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Source));
        const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Source + Count - 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(Target), head);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(Target + Count - 16), tail);
    } else if (Count >= 8) {
        std::uint64_t head, tail;
        __builtin_memcpy(&head, Source, 8);
        __builtin_memcpy(&tail, Source + Count - 8, 8);
        __builtin_memcpy(Target, &head, 8);
        __builtin_memcpy(Target + Count - 8, &tail, 8);
    } else if (Count >= 4) {
        std::uint32_t head, tail;
        __builtin_memcpy(&head, Source, 4);
        __builtin_memcpy(&tail, Source + Count - 4, 4);
        __builtin_memcpy(Target, &head, 4);
        __builtin_memcpy(Target + Count - 4, &tail, 4);
    } else if (Count > 0) {
        const unsigned char first = Source[0], middle = Source[Count / 2], last = Source[Count - 1];
        Target[0] = first;
        Target[Count / 2] = middle;
        Target[Count - 1] = last;
    }
}

} // namespace

extern "C" {

void* __wrap_memcpy(void* Target, const void* Source, std::size_t Count) {
    if (Count > ShortBytes) return __real_memcpy(Target, Source, Count);
    CopyShort(static_cast<unsigned char*>(Target), static_cast<const unsigned char*>(Source),
              Count);
    return Target;
}

void* __wrap_memmove(void* Target, const void* Source, std::size_t Count) {
    if (Count > ShortBytes) return __real_memmove(Target, Source, Count);
    CopyShort(static_cast<unsigned char*>(Target), static_cast<const unsigned char*>(Source),
              Count);
    return Target;
}

// A caller may give a count past the end of its bytes when it knows the byte is there: the search
// stops where it is found. So sixteen bytes are read at a time from an address that is a multiple
// of sixteen, which never reaches into a page the bytes do not.
void* __wrap_memchr(const void* Bytes, int Byte, std::size_t Count) {
    if (Count == 0) return nullptr;
    const auto* p = static_cast<const unsigned char*>(Bytes);
    const __m128i wanted = _mm_set1_epi8(static_cast<char>(Byte));
    const std::size_t skip = reinterpret_cast<std::uintptr_t>(p) % 16;
    const unsigned char* block = p - skip;
    std::size_t from = 0; // where block starts, counted from p - skip
    unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(
                        _mm_load_si128(reinterpret_cast<const __m128i*>(block)), wanted))) &
                    (0xFFFFu << skip);
    for (;;) {
        if (hits != 0) {
            const std::size_t at = from + static_cast<std::size_t>(__builtin_ctz(hits)) - skip;
            return at < Count ? const_cast<unsigned char*>(p + at) : nullptr;
        }
        from += 16;
        if (from - skip >= Count) return nullptr;
        block += 16;
        hits = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_cmpeq_epi8(_mm_load_si128(reinterpret_cast<const __m128i*>(block)), wanted)));
    }
}

int __wrap_memcmp(const void* A, const void* B, std::size_t Count) {
    const auto* a = static_cast<const unsigned char*>(A);
    const auto* b = static_cast<const unsigned char*>(B);
    std::size_t i = 0;
    for (; Count - i >= 16; i += 16) {
        const auto same =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(Load(a + i), Load(b + i))));
        if (same != 0xFFFFu) {
            const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(~same));
            return static_cast<int>(a[at]) - static_cast<int>(b[at]);
        }
    }
    for (; i < Count; ++i)
        if (a[i] != b[i]) return static_cast<int>(a[i]) - static_cast<int>(b[i]);
    return 0;
}
}
