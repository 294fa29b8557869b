#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// Called through pointers the compiler cannot see through, so that each is a call to the
// library's function (on 64-bit Windows, the program's own that these calls go to).
void* (*volatile Copy)(void*, const void*, std::size_t) = std::memcpy;
void* (*volatile Move)(void*, const void*, std::size_t) = std::memmove;
const void* FindByte(const void* Bytes, int Byte, std::size_t Count) {
    return std::memchr(Bytes, Byte, Count);
}
const void* (*volatile Find)(const void*, int, std::size_t) = FindByte;
int (*volatile Compare)(const void*, const void*, std::size_t) = std::memcmp;

std::vector<unsigned char> Pattern(std::size_t Size) {
    std::vector<unsigned char> bytes(Size);
    for (std::size_t i = 0; i < Size; ++i)
        bytes[i] = static_cast<unsigned char>(i * 37 + 11);
    return bytes;
}

// Every length up to well past the short copies, at shifts that make the two ranges overlap
// either way or not at all: the bytes copied arrive whole, and no byte around them changes.
TEST(ByteFunctions, EveryLengthAndOverlapCopiesTheBytesAndNothingElse) {
    constexpr std::size_t Room = 800;
    for (std::size_t n = 0; n <= 300; ++n) {
        for (const std::ptrdiff_t shift :
             {-200, -65, -33, -17, -8, -3, -1, 0, 1, 3, 8, 17, 33, 65, 200}) {
            std::vector<unsigned char> buf = Pattern(Room);
            std::vector<unsigned char> want = buf;
            const std::size_t from = 250 + (n % 7);
            const std::size_t to =
                static_cast<std::size_t>(static_cast<std::ptrdiff_t>(from) + shift);
            for (std::size_t i = 0; i < n; ++i)
                want[to + i] = buf[from + i];
            void* const got = Move(buf.data() + to, buf.data() + from, n);
            ASSERT_EQ(got, buf.data() + to);
            ASSERT_EQ(buf, want) << "memmove of " << n << " bytes shifted by " << shift;
        }
        std::vector<unsigned char> source = Pattern(n + 16), target(n + 32, 0xEE);
        std::vector<unsigned char> want = target;
        std::copy(source.begin() + 5, source.begin() + 5 + static_cast<std::ptrdiff_t>(n),
                  want.begin() + 9);
        ASSERT_EQ(Copy(target.data() + 9, source.data() + 5, n), target.data() + 9);
        ASSERT_EQ(target, want) << "memcpy of " << n << " bytes";
    }
}

// Every length and every alignment, the sought byte at every place or nowhere, with the same byte
// just before and just after the bytes searched: found exactly where it first is, and never
// outside; and high bytes, sought as unsigned.
TEST(ByteFunctions, TheByteSearchFindsTheFirstOfItsBytesAndNoneOutside) {
    for (std::size_t n = 0; n <= 130; ++n) {
        for (std::size_t align = 0; align < 16; ++align) {
            for (std::size_t at = 0; at <= n; ++at) { // at == n: not there
                for (const unsigned char wanted :
                     {static_cast<unsigned char>('\n'), static_cast<unsigned char>(0xE9)}) {
                    std::vector<unsigned char> buf(n + 48, 'x');
                    unsigned char* bytes = buf.data() + 16 + align;
                    bytes[-1] = bytes[n] = wanted;
                    if (at < n) bytes[at] = wanted;
                    if (at + 5 < n) bytes[at + 5] = wanted; // a second one after the first
                    const void* got = Find(bytes, wanted, n);
                    ASSERT_EQ(got, at < n ? bytes + at : nullptr)
                        << "memchr of " << n << " bytes at " << align << ", byte at " << at;
                }
            }
        }
    }
}

// The first differing byte decides, compared unsigned, wherever it lies; equal bytes give 0.
TEST(ByteFunctions, TheComparisonIsDecidedByTheFirstDifferingByte) {
    for (std::size_t n = 0; n <= 130; ++n) {
        const std::vector<unsigned char> a = Pattern(n);
        ASSERT_EQ(Compare(a.data(), std::vector<unsigned char>(a).data(), n), 0);
        for (std::size_t at = 0; at < n; ++at) {
            std::vector<unsigned char> b = a;
            b[at] = static_cast<unsigned char>(a[at] ^ 0x80); // one of the two is a high byte
            if (at + 1 < n) b[at + 1] = static_cast<unsigned char>(a[at + 1] + 1);
            const int got = Compare(a.data(), b.data(), n);
            ASSERT_EQ(got < 0, a[at] < b[at]) << n << " " << at;
            ASSERT_NE(got, 0) << n << " " << at;
        }
    }
}

} // namespace
