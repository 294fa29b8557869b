// The Windows system layer against the system itself, where it runs.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <windows.h>

#include "disk/SystemLayer.h"

// The 8-bit upper-casing is CharUpperBuffA's, byte for byte, though it is not made through it.
TEST(WindowsSystemLayer, UpperCaseIsTheSystemsOwn) {
    unsigned char ours[256], system[256];
    for (int b = 0; b < 256; ++b)
        ours[b] = system[b] = static_cast<unsigned char>(b);
    ASSERT_TRUE(PlatformSystem().UpperCase(ours));
    ::CharUpperBuffA(reinterpret_cast<LPSTR>(system), 256);
    for (int b = 0; b < 256; ++b)
        EXPECT_EQ(ours[b], system[b]) << "byte " << b;
    EXPECT_EQ(ours['q'], 'Q');
}

#endif
