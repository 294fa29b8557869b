#include <gtest/gtest.h>

#include "disk/GetDrives.h"
#include "tests/support/FakeSystemLayer.h"

namespace {

TEST(ListDrivesByPath, ReadableNonEmptyDevicesInNameOrderThenImages) {
    TFakeSystem fake;
    fake.DriveLetters = false;
    fake.BlockDeviceList = {"/dev/sda10",     "/dev/sda2",    "/dev/loop0", "/dev/sda", "/dev/sda1",
                            "/dev/nvme0n1p1", "/dev/nvme0n1", "/dev/sr0",   "/dev/sdb"};
    for (const char* device : {"/dev/sda10", "/dev/sda2", "/dev/sda", "/dev/sda1", "/dev/nvme0n1p1",
                               "/dev/nvme0n1", "/dev/sdb"})
        fake.AddDrive(device, 1 << 20);
    fake.AddDrive("/dev/loop0", 0); // unused loop device
    fake.AddDrive("/dev/sr0", 0);   // optical drive without a disc
    fake.DeniedPaths.insert("/dev/sdb");
    fake.AddDrive("/tmp/b.img", 4096);
    fake.AddDrive("/tmp/a.img", 4096);

    TGetDrives lister(fake);
    EXPECT_TRUE(lister.AddImage("/tmp/b.img"));
    EXPECT_TRUE(lister.AddImage("/tmp/a.img"));
    EXPECT_EQ(lister.ListDrives(),
              (TDriveArray{"/dev/nvme0n1", "/dev/nvme0n1p1", "/dev/sda", "/dev/sda1", "/dev/sda2",
                           "/dev/sda10", "/tmp/b.img", "/tmp/a.img"}));
    EXPECT_EQ(fake.OpenHandles, 0);
    EXPECT_EQ(fake.CurrentDirectory, fake.WorkDirectory);
}

TEST(ListDrivesByLetter, OnlyRootsThatCanBeEnteredInTheSystemsOrder) {
    TFakeSystem fake;
    fake.DriveStrings = std::string("A:\\\0C:\\\0D:\\\0e:\\\0", 16);
    fake.EnterableRoots = {"C:\\", "e:\\"};
    fake.ErrorMode = 0x8000;
    TGetDrives lister(fake);
    EXPECT_EQ(lister.ListDrives(), (TDriveArray{"C:\\", "e:\\"}));
    EXPECT_EQ(fake.Calls.front(), "GetLogicalDriveStringsA(129)");
    EXPECT_EQ(fake.CurrentDirectory, fake.WorkDirectory);
    EXPECT_EQ(fake.ErrorMode, 0x8000u);
    // Each probe fails critical errors quietly, enters the root, comes back, restores the mode.
    const std::vector<std::string> probeC(fake.Calls.begin() + 4, fake.Calls.begin() + 8);
    EXPECT_EQ(probeC,
              (std::vector<std::string>{"SetErrorMode(1)", "SetCurrentDirectoryA(C:\\)",
                                        "SetCurrentDirectoryA(C:\\Work)", "SetErrorMode(32768)"}));
}

TEST(ListDrivesByLetter, NothingReadyOrNoListGivesAnEmptyArray) {
    TFakeSystem fake;
    TGetDrives lister(fake);
    EXPECT_TRUE(lister.ListDrives().empty()); // the list query fails
    fake.DriveStrings = std::string("A:\\\0D:\\\0", 8);
    EXPECT_TRUE(lister.ListDrives().empty());
}

TEST(ListDrivesByLetter, ListingEndsNormallyWhenTheWayBackIsRefused) {
    TFakeSystem fake;
    fake.DriveStrings = std::string("C:\\\0", 4);
    fake.EnterableRoots = {"C:\\"};
    fake.CanReturn = false;
    TGetDrives lister(fake);
    EXPECT_EQ(lister.ListDrives(), (TDriveArray{"C:\\"}));
    // The root was entered and the way back refused: the listing still ends normally.
    EXPECT_EQ(fake.ErrorMode, 0u);
}

TEST(ListDrivesByLetter, LongListIsAskedForAgainInFull) {
    TFakeSystem fake;
    for (char c = 'C'; c <= 'Z'; ++c)
        fake.DriveStrings += std::string(1, c) + ":\\" + '\0';
    fake.DriveStrings += "\\\\server\\share-with-a-long-name\\" + std::string(1, '\0') +
                         "\\\\server\\another-share\\";
    fake.EnterableRoots = {"Z:\\", "\\\\server\\another-share\\"};
    TGetDrives lister(fake);
    EXPECT_EQ(lister.ListDrives(), (TDriveArray{"Z:\\", "\\\\server\\another-share\\"}));
}

TEST(NaturalOrder, DigitRunsCompareAsNumbers) {
    EXPECT_TRUE(NaturalLess("sda2", "sda10"));
    EXPECT_FALSE(NaturalLess("sda10", "sda2"));
    EXPECT_TRUE(NaturalLess("sda", "sda1"));
    EXPECT_TRUE(NaturalLess("nvme0n1p9", "nvme0n1p10"));
    EXPECT_TRUE(NaturalLess("loop7", "sda"));
    EXPECT_FALSE(NaturalLess("sdb", "sdb"));
}

} // namespace
