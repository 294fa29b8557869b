// The running system's volume path end to end, on a volume the test run provides: the drive
// letter in PW_TEST_VOLUME_LETTER reads the image file named by PW_TEST_VOLUME_IMAGE (under Wine,
// the prefix's "x::" device link points at that file). The test writes the image itself.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "disk/DiskBuffer.h"
#include "disk/GetDrives.h"
#include "disk/RawDiskAccess.h"
#include "tests/support/FakeSystemLayer.h"

namespace {

TEST(SystemVolume, NTPathReadsTheVolumeSectorsThroughTheSystem) {
    const char* letterText = std::getenv("PW_TEST_VOLUME_LETTER");
    const char* image = std::getenv("PW_TEST_VOLUME_IMAGE");
    if (!letterText || !image || !PlatformSystem().UsesDriveLetters())
        GTEST_SKIP() << "no test volume given";
    const char letter = letterText[0];
    constexpr std::uint64_t sectors = 2048;
    {
        std::ofstream out(image, std::ios::binary | std::ios::trunc);
        for (std::uint64_t i = 0; i < sectors * 512; ++i)
            out.put(FakeByte(i));
    }
    std::string expected;
    for (std::uint64_t i = 0; i < 3 * 512; ++i)
        expected += FakeByte(1000 * 512 + i);

    EXPECT_EQ(GetOSFamily(), "NT");
    EXPECT_FALSE(GetWinVersion().Name.empty());
    const std::string root = std::string(1, letter) + ":\\";
    EXPECT_GT(GetDriveInfo(std::string(1, letter)).BytesPerSector, 0u);

    const auto drive = static_cast<std::uint8_t>(letter - 64);
    std::string target(3 * 512, 'x');
    ASSERT_TRUE(ReadSectors(drive, 1000, 3, target.data()));
    EXPECT_EQ(target, expected);
    EXPECT_TRUE(ReadSectorsNT(PlatformSystem(), drive, 0, 0, target.data()));
    // The 9x device does not exist here.
    EXPECT_FALSE(ReadSectors9x(PlatformSystem(), drive, 0, 1, target.data()));

    // The root's file system (the folder behind X:) is larger than the image: chunks of 256
    // sectors keep the reads inside the image.
    TDiskBuffer buffer(root, 256 * 512 / 2);
    EXPECT_EQ(buffer.GetData(3 * 512, 1000 * 512), expected);

    const auto before = std::filesystem::current_path();
    TGetDrives lister;
    const TDriveArray drives = lister.ListDrives();
    EXPECT_NE(std::find(drives.begin(), drives.end(), root), drives.end());
    EXPECT_NE(std::find(drives.begin(), drives.end(), "C:\\"), drives.end());
    EXPECT_EQ(std::filesystem::current_path(), before);
}

TEST(SystemVolume, NamesTheRunningSystem) {
    if (!PlatformSystem().UsesDriveLetters()) {
        EXPECT_EQ(GetOSFamily(), "");
        EXPECT_EQ(GetWinVersion().Name, "");
        std::string target(512, 'x');
        EXPECT_FALSE(ReadSectors(3, 0, 1, target.data())); // no volume reads by letter here
        return;
    }
    const TWinVersion version = GetWinVersion();
    EXPECT_EQ(version.Family, "NT");
    EXPECT_GE(version.Major, 5u);
    EXPECT_FALSE(version.Name.empty());
}

} // namespace
