// The running system's layer on real image files made in a temporary folder.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "disk/DiskBuffer.h"
#include "disk/Error.h"
#include "disk/GetDrives.h"
#include "disk/RawDiskAccess.h"
#include "tests/support/FakeSystemLayer.h"

namespace fs = std::filesystem;

namespace {

class ImageFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        Folder = fs::temp_directory_path() /
                 ("pw-disk-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                  "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Folder);
        fs::create_directories(Folder);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(Folder, ec);
    }
    std::string Make(const std::string& Name, std::uint64_t Size) {
        const fs::path path = Folder / Name;
        std::ofstream out(path, std::ios::binary);
        for (std::uint64_t i = 0; i < Size; ++i)
            out.put(FakeByte(i));
        return path.string();
    }
    fs::path Folder;
};

std::string Expected(std::uint64_t Offset, std::uint64_t Count, std::uint64_t End) {
    std::string bytes;
    for (std::uint64_t i = 0; i < Count; ++i)
        bytes += Offset + i < End ? FakeByte(Offset + i) : '\0';
    return bytes;
}

TEST_F(ImageFiles, WholeSectorsAreMeasuredAndReadEndToEnd) {
    const std::string image = Make("whole.img", 300 * 512);
    if (!PlatformSystem().UsesDriveLetters()) { // with letters, a path measures its drive
        const TDriveInfo info = GetDriveInfo(image);
        EXPECT_EQ(info.BytesPerSector, 512u);
        EXPECT_EQ(info.TotalBytes, 300 * 512);
    }

    TDiskBuffer buffer(image, 20480, PlatformSystem()); // 80-sector chunks
    EXPECT_EQ(buffer.TotalSectors(), 300);
    std::string all;
    for (std::uint64_t s = 0; s < 300; ++s)
        all += std::string(buffer.View(512, s * 512));
    EXPECT_EQ(all, Expected(0, 300 * 512, 300 * 512));
    EXPECT_EQ(buffer.GetData(1024, 299 * 512), Expected(299 * 512, 1024, 300 * 512));
    EXPECT_EQ(buffer.UnreadableSectors(), 0u);
}

TEST_F(ImageFiles, PartialLastSectorIsLeftOut) {
    const std::string image = Make("partial.img", 10 * 512 + 300);
    TDiskBuffer buffer(image, 20971520);
    EXPECT_EQ(buffer.TotalSectors(), 10);
    EXPECT_EQ(buffer.GetData(1024, 9 * 512), Expected(9 * 512, 1024, 10 * 512));
}

TEST_F(ImageFiles, OneSectorImageReadsSectorZeroOnlyWhenAsked) {
    const std::string image = Make("one.img", 512);
    TDiskBuffer buffer(image, 20971520);
    EXPECT_EQ(buffer.TotalSectors(), 1);
    EXPECT_EQ(buffer.GetData(1024, 0), Expected(0, 1024, 512));
}

TEST_F(ImageFiles, UnusableImagesAreRefusedWithTheirCause) {
    const std::string empty = Make("empty.img", 0);
    const std::string missing = (Folder / "missing.img").string();
    const auto message = [](const std::string& path) {
        try {
            TDiskBuffer buffer(path, 20971520);
        } catch (const TPwError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_NE(message(empty).find("empty"), std::string::npos);
    EXPECT_EQ(message(missing), "Cannot scan " + missing + ": no such file or device");
    EXPECT_NE(message(Folder.string()).find("not a drive"), std::string::npos);
    if (!PlatformSystem().UsesDriveLetters()) {
        EXPECT_NE(message("/dev/null").find("not a drive"), std::string::npos);
        EXPECT_EQ(GetDriveInfo(missing).BytesPerSector, 0u);
    }

    // Root reads anything; elsewhere a file without read permission is refused by the system.
    const std::string locked = Make("locked.img", 4096);
    fs::permissions(locked, fs::perms::none);
    std::ifstream probe(locked);
    if (!probe) {
        EXPECT_NE(message(locked).find("permission denied"), std::string::npos);
    }
}

TEST_F(ImageFiles, ReaderAnswersFalseUnlessEveryByteWasRead) {
    const std::string image = Make("reader.img", 8 * 512);
    std::string target(4 * 512, 'x');
    EXPECT_TRUE(ReadSectors(PlatformSystem(), image, 512, 4, 4, target.data()));
    EXPECT_EQ(target, Expected(4 * 512, 4 * 512, 8 * 512));
    EXPECT_FALSE(ReadSectors(PlatformSystem(), image, 512, 5, 4, target.data()));
    EXPECT_FALSE(ReadSectors(PlatformSystem(), image, 0, 0, 1, target.data()));
    EXPECT_FALSE(
        ReadSectors(PlatformSystem(), (Folder / "none").string(), 512, 0, 1, target.data()));
    EXPECT_TRUE(ReadSectors(PlatformSystem(), image, 512, 8, 0, target.data()));
}

TEST_F(ImageFiles, ListingOffersReadableImagesAndKeepsTheWorkingDirectory) {
    const auto before = fs::current_path();
    const std::string image = Make("given.img", 4096);
    const std::string empty = Make("empty.img", 0);
    TGetDrives lister;
    EXPECT_TRUE(lister.AddImage(image));
    EXPECT_TRUE(lister.AddImage(image));
    EXPECT_FALSE(lister.AddImage(empty));
    EXPECT_FALSE(lister.AddImage((Folder / "none.img").string()));
    const TDriveArray drives = lister.ListDrives();
    ASSERT_FALSE(drives.empty());
    EXPECT_EQ(drives.back(), image);
    EXPECT_EQ(std::count(drives.begin(), drives.end(), image), 1);
    for (const std::string& drive : drives)
        EXPECT_GT(GetDriveInfo(drive).TotalBytes, 0) << drive;
    EXPECT_EQ(fs::current_path(), before);
}

// Whatever block devices this machine lets us read (a disk, a partition, an attached loop device)
// must read the same through the buffer as through a plain file read.
TEST(BlockDevices, ListedDevicesReadLikeTheirBytes) {
    TGetDrives lister;
    const TDriveArray drives = lister.ListDrives();
    if (drives.empty()) GTEST_SKIP() << "no readable block device here";
    for (const std::string& device : drives) {
        const TDriveInfo info = GetDriveInfo(device);
        ASSERT_GT(info.BytesPerSector, 0u) << device;
        ASSERT_GE(info.TotalBytes, info.BytesPerSector) << device;
        TDiskBuffer buffer(device, 1 << 20);
        const std::uint64_t last = static_cast<std::uint64_t>(buffer.TotalSectors()) - 1;
        for (const std::uint64_t sector : {std::uint64_t{0}, std::uint64_t{1}, last / 2, last}) {
            const std::uint64_t offset = sector * info.BytesPerSector;
            std::ifstream in(device, std::ios::binary);
            in.seekg(static_cast<std::streamoff>(offset));
            std::string direct(info.BytesPerSector, '\0');
            in.read(direct.data(), info.BytesPerSector);
            EXPECT_EQ(buffer.GetData(info.BytesPerSector, offset), direct)
                << device << " " << sector;
        }
    }
}

} // namespace
