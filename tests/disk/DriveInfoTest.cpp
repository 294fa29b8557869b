#include <gtest/gtest.h>

#include "disk/RawDiskAccess.h"
#include "tests/support/FakeSystemLayer.h"

namespace {

TFakeSystem Volume(std::uint32_t Platform, std::uint64_t Total, TDiskFreeSpace Space,
                   const std::string& Root = "C:\\") {
    TFakeSystem fake;
    fake.Version.PlatformId = Platform;
    fake.TotalBytes[Root] = Total;
    fake.FreeSpace[Root] = Space;
    return fake;
}

bool Same(const TDriveInfo& A, const TDriveInfo& B) {
    return A.BytesPerCluster == B.BytesPerCluster && A.BytesPerSector == B.BytesPerSector &&
           A.SectorsPerCluster == B.SectorsPerCluster && A.TotalClusters == B.TotalClusters &&
           A.FreeClusters == B.FreeClusters && A.TotalBytes == B.TotalBytes &&
           A.FreeBytes == B.FreeBytes;
}

TEST(DriveInfoPaths, LetterRootAndLongPathMeasureTheRoot) {
    TFakeSystem fake = Volume(2, 80026361856, {8, 512, 1000, 19537686});
    const TDriveInfo root = GetDriveInfo(fake, "C:\\");
    EXPECT_EQ(root.BytesPerSector, 512u);
    EXPECT_EQ(root.SectorsPerCluster, 8u);
    EXPECT_EQ(root.BytesPerCluster, 4096u);
    EXPECT_EQ(root.TotalBytes, 80026361856);
    EXPECT_EQ(root.TotalClusters, 19537686);
    EXPECT_EQ(root.FreeClusters, 1000);
    EXPECT_EQ(root.FreeBytes, 0);
    EXPECT_TRUE(Same(GetDriveInfo(fake, "C"), root));
    fake.Calls.clear();
    EXPECT_TRUE(Same(GetDriveInfo(fake, "C:\\Documents and Settings\\mail.dbx"), root));
    // One lookup, two size queries and one version query; nothing else.
    EXPECT_EQ(fake.Calls, (std::vector<std::string>{
                              "GetProcAddress(GetDiskFreeSpaceExA)", "GetDiskFreeSpaceExA(C:\\)",
                              "GetDiskFreeSpaceA(C:\\)", "GetVersionExA(148)"}));
}

TEST(DriveInfoPaths, TwoCharactersAreQueriedUnchangedAndEmptyLeavesTheRecord) {
    TFakeSystem fake = Volume(2, 1 << 20, {1, 512, 0, 2048});
    const TDriveInfo info = GetDriveInfo(fake, "C:");
    EXPECT_EQ(fake.Calls.at(1), "GetDiskFreeSpaceExA(C:)");
    EXPECT_EQ(info.BytesPerSector, 0u); // the fake knows only "C:\"

    TDriveInfo kept;
    kept.BytesPerSector = 4096;
    kept.TotalBytes = 77;
    kept.FreeBytes = 5;
    fake.Calls.clear();
    GetDriveInfo(fake, "", kept);
    EXPECT_EQ(kept.BytesPerSector, 4096u);
    EXPECT_EQ(kept.TotalBytes, 77);
    EXPECT_EQ(kept.FreeBytes, 5);
    EXPECT_TRUE(fake.Calls.empty());
}

TEST(DriveInfoPaths, DriveWithoutMediumMeasuresZero) {
    TFakeSystem fake;
    fake.Version.PlatformId = 2;
    TDriveInfo info;
    info.BytesPerSector = 512;
    info.TotalBytes = 1;
    GetDriveInfo(fake, "E:\\", info);
    EXPECT_EQ(info.BytesPerSector, 0u);
    EXPECT_EQ(info.TotalBytes, 0);
    EXPECT_EQ(info.BytesPerCluster, 0u);
}

TEST(DriveInfoLargeVolumes, NineXQuartersTheClusterRoundingHalvesToEven) {
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {{64, 16}, {6, 2}, {10, 2}, {2, 0},
                                                             {1, 0},   {3, 1}, {14, 4}, {7, 2}};
    for (const auto& [reported, expected] : cases) {
        TFakeSystem fake = Volume(1, 3000000000, {reported, 512, 10, 91552});
        const TDriveInfo info = GetDriveInfo(fake, "C:\\");
        EXPECT_EQ(info.SectorsPerCluster, expected) << reported;
        EXPECT_EQ(info.BytesPerCluster, expected * 512) << reported;
        EXPECT_EQ(info.TotalBytes, 3000000000);
        EXPECT_EQ(info.TotalClusters, 91552);
        EXPECT_EQ(info.FreeClusters, 10);
    }
}

TEST(DriveInfoLargeVolumes, OnlyAboveTheLimitAndOnlyOnNineX) {
    TFakeSystem at = Volume(1, 2147483647, {64, 512, 0, 1});
    EXPECT_EQ(GetDriveInfo(at, "C:\\").SectorsPerCluster, 64u);
    TFakeSystem above = Volume(1, 2147483648, {64, 512, 0, 1});
    EXPECT_EQ(GetDriveInfo(above, "C:\\").SectorsPerCluster, 16u);
    TFakeSystem nt = Volume(2, 3000000000, {64, 512, 0, 1});
    EXPECT_EQ(GetDriveInfo(nt, "C:\\").SectorsPerCluster, 64u);
}

TEST(DriveInfoFallback, WithoutTheLargeQueryProductsKeepTheirLow32Bits) {
    TFakeSystem fake = Volume(1, 0, {64, 512, 50000, 200000});
    fake.HasFreeSpaceEx = false;
    const TDriveInfo info = GetDriveInfo(fake, "C");
    EXPECT_EQ(info.BytesPerCluster, 32768u);
    EXPECT_EQ(info.SectorsPerCluster, 64u); // no adjustment on this path
    EXPECT_EQ(info.TotalBytes, 6553600000 - 4294967296);
    EXPECT_EQ(info.FreeBytes, 50000ll * 32768);
    EXPECT_EQ(info.TotalClusters, 200000);
    EXPECT_EQ(fake.Calls, (std::vector<std::string>{"GetProcAddress(GetDiskFreeSpaceExA)",
                                                    "GetDiskFreeSpaceA(C:\\)"}));
}

TEST(DriveInfoByPath, DevicesAndImagesReportTheirOwnSectorSize) {
    TFakeSystem fake;
    fake.DriveLetters = false;
    fake.AddDrive("/dev/nvme0n1", 512110190592).SectorSize = 4096;
    fake.AddDrive("/img/a.img", 10000);
    TDriveInfo nvme = GetDriveInfo(fake, "/dev/nvme0n1");
    EXPECT_EQ(nvme.BytesPerSector, 4096u);
    EXPECT_EQ(nvme.TotalBytes, 512110190592);
    TDriveInfo image;
    GetDriveInfo(fake, "/img/a.img", image, 2048);
    EXPECT_EQ(image.BytesPerSector, 2048u);
    EXPECT_EQ(image.TotalBytes, 10000);
    EXPECT_EQ(GetDriveInfo(fake, "/img/none.img").BytesPerSector, 0u);
    EXPECT_EQ(fake.OpenHandles, 0);
}

} // namespace
