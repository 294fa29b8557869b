#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// Called through pointers the compiler cannot see through, so that each copy is a call to the
// library's function (on 64-bit Windows, the one of our own that short copies go to).
void* (*volatile Copy)(void*, const void*, std::size_t) = std::memcpy;
void* (*volatile Move)(void*, const void*, std::size_t) = std::memmove;

std::vector<unsigned char> Pattern(std::size_t Size) {
    std::vector<unsigned char> bytes(Size);
    for (std::size_t i = 0; i < Size; ++i)
        bytes[i] = static_cast<unsigned char>(i * 37 + 11);
    return bytes;
}

// Every length up to well past the short copies, at shifts that make the two ranges overlap
// either way or not at all: the bytes copied arrive whole, and no byte around them changes.
TEST(Copies, EveryLengthAndOverlapCopiesTheBytesAndNothingElse) {
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

} // namespace
