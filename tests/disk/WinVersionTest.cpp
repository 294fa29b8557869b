#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "disk/RawDiskAccess.h"
#include "tests/support/FakeSystemLayer.h"

namespace {

struct Row {
    std::uint32_t Platform, Major, Minor;
    const char* ServicePackText;
    bool Extended;
    std::uint8_t ProductType;
    std::uint16_t Suite;
    const char* Name;
};

TWinVersion Named(const Row& row, TFakeSystem& fake) {
    fake.Version.PlatformId = row.Platform;
    fake.Version.MajorVersion = row.Major;
    fake.Version.MinorVersion = row.Minor;
    fake.Version.BuildNumber = 0x0A2B0C3D;
    std::memset(fake.Version.CSDVersion, 0, sizeof fake.Version.CSDVersion);
    std::memcpy(fake.Version.CSDVersion, row.ServicePackText, std::strlen(row.ServicePackText));
    fake.ExtendedAnswers = row.Extended;
    fake.ProductType = row.ProductType;
    fake.SuiteMask = row.Suite;
    return GetWinVersion(fake);
}

TEST(WinVersionNames, EveryRowOfTheTable) {
    const Row rows[] = {
        {0, 3, 95, "", true, 0, 0, "Windows 3.x + Win32"},
        {1, 4, 0, " C", true, 0, 0, "Windows 95 OSR2"},
        {1, 4, 0, " B", true, 0, 0, "Windows 95 with Service Pack 1"},
        {1, 4, 0, "CB", true, 0, 0, "Windows 95 with Service Pack 1"},
        {1, 4, 0, "c", true, 0, 0, "Windows 95 OSR2"},
        {1, 4, 0, "a", true, 0, 0, "Windows 95 Original"},
        {1, 4, 0, "", true, 0, 0, "Windows 95 Original"},
        {1, 4, 10, " a", true, 0, 0, "Windows 98 Second Edition"},
        {1, 4, 10, " B", true, 0, 0, "Windows 98"},
        {1, 4, 90, "whatever", true, 0, 0, "Windows ME"},
        {1, 4, 50, " A", true, 0, 0, ""},
        {2, 3, 0, "", true, 0, 0, "Windows NT 3.0"},
        {2, 3, 1, "", true, 0, 0, "Windows NT 3.1"},
        {2, 3, 5, "", true, 0, 0, "Windows NT 3.5"},
        {2, 3, 51, "", true, 0, 0, "Windows NT 3.51"},
        {2, 3, 2, "", true, 0, 0, ""},
        {2, 4, 0, "", true, 2, 0, "Windows NT 4.0"},
        {2, 4, 0, "Service Pack 6", true, 1, 0, "Windows NT 4.0 Workstation with Service Pack 6"},
        {2, 4, 0, "", true, 3, 0, "Windows NT 4.0 Server"},
        {2, 4, 0, "", true, 3, 0x0004, "Windows NT 4.0 Server w/ BackOffice Server"},
        {2, 4, 0, "", true, 3, 0x0005, "Windows NT 4.0 Server w/ BackOffice Small-Business Server"},
        {2, 4, 0, "", true, 3, 0x0025,
         "Windows NT 4.0 Server w/ BackOffice Small-Business Server (Rest.)"},
        {2, 4, 0, "", false, 3, 0x0025, "Windows NT 4.0"},
        {2, 5, 0, "", true, 2, 0, "Windows 2000"},
        {2, 5, 0, "", true, 1, 0, "Windows 2000 Professional"},
        {2, 5, 0, "", true, 3, 0, "Windows 2000 Server"},
        {2, 5, 0, "", true, 3, 0x0080, "Windows 2000 Datacenter Server"},
        {2, 5, 0, "", true, 3, 0x0082, "Windows 2000 Advanced Server"},
        {2, 5, 0, "Service Pack 4", false, 3, 0x0082, "Windows 2000 with Service Pack 4"},
        {2, 5, 1, "", true, 2, 0, "Windows XP"},
        {2, 5, 1, "", true, 1, 0, "Windows XP Professional"},
        {2, 5, 1, "", true, 3, 0, "Windows 2003 Server"},
        {2, 5, 1, "Service Pack 2", true, 1, 0x0200, "Windows XP Home Edition with Service Pack 2"},
        {2, 5, 1, "", true, 3, 0x0002, "Windows 2003 Enterprise Server"},
        {2, 5, 1, "", true, 3, 0x0202, "Windows 2003 Enterprise Server"},
        {2, 5, 2, "", true, 3, 0, "Windows Server 2003"},
        {2, 5, 2, "", true, 3, 0x0400, "Windows Server 2003 Web Edition"},
        {2, 5, 2, "", true, 3, 0x0480, "Windows Server 2003 Datacenter Edition"},
        {2, 5, 2, "", true, 3, 0x0082, "Windows Server 2003 Enterprise Edition"},
        {2, 5, 3, "", true, 1, 0, "Future Windows Version"},
        {2, 5, 9, "", true, 1, 0, "Future Windows Version"},
        {2, 5, 10, "", true, 1, 0, ""},
        {2, 6, 0, "", true, 1, 0, "Windows NT 6 Beta - \"Longhorn\""},
        {2, 6, 3, "", true, 1, 0, "Windows NT 6 Beta - \"Longhorn\""},
        {2, 7, 0, "", true, 1, 0, "Future Windows Version"},
        {2, 10, 0, "", true, 1, 0, "Future Windows Version"},
        {2, 99, 0, "", true, 1, 0, "Future Windows Version"},
        {2, 100, 0, "", true, 1, 0, ""},
        {2, 2, 0, "", true, 1, 0, ""},
        {2, 1, 7, "Service Pack 1", true, 1, 0, " with Service Pack 1"},
        {3, 5, 1, "", true, 1, 0, ""},
    };
    for (const Row& row : rows) {
        TFakeSystem fake;
        EXPECT_EQ(Named(row, fake).Name, row.Name)
            << row.Platform << " " << row.Major << "." << row.Minor << " '" << row.ServicePackText
            << "' pt " << int(row.ProductType) << " suite " << row.Suite;
    }
    EXPECT_EQ(std::strlen("Windows NT 6 Beta - \"Longhorn\""), 30u);
}

TEST(WinVersionNames, FamilyBuildAndServicePackFields) {
    TFakeSystem fake;
    TWinVersion v = Named({1, 4, 0, " B", true, 0, 0, ""}, fake);
    EXPECT_EQ(v.Family, "9x");
    EXPECT_EQ(v.ServicePack, "Service Pack 1");
    EXPECT_EQ(v.Build, 0x0C3Du);
    EXPECT_EQ(v.Major, 4u);
    EXPECT_EQ(v.Minor, 0u);
    v = Named({1, 4, 0, " C", true, 0, 0, ""}, fake);
    EXPECT_EQ(v.ServicePack, "");
    EXPECT_EQ(v.Build, 0x0C3Du);
    EXPECT_EQ(Named({1, 4, 3, "", true, 0, 0, ""}, fake).Build, 0u);
    v = Named({2, 5, 1, "Service Pack 3", true, 1, 0, ""}, fake);
    EXPECT_EQ(v.Family, "NT");
    EXPECT_EQ(v.ServicePack, "Service Pack 3");
    EXPECT_EQ(v.Build, 0x0A2B0C3Du);
    v = Named({0, 3, 10, "x", true, 0, 0, ""}, fake);
    EXPECT_EQ(v.Family, "");
    EXPECT_EQ(v.Build, 0u);
    EXPECT_EQ(v.ServicePack, "");

    // A service-pack text of the full 128 characters, without a terminating zero.
    fake.Version.PlatformId = 2;
    std::memset(fake.Version.CSDVersion, 'S', sizeof fake.Version.CSDVersion);
    EXPECT_EQ(GetWinVersion(fake).ServicePack, std::string(128, 'S'));
}

TEST(WinVersionNames, ExtendedBlockAskedOnlyOnNTWithItsOwnSize) {
    TFakeSystem fake;
    Named({2, 5, 1, "", true, 1, 0, ""}, fake);
    EXPECT_EQ(fake.Calls, (std::vector<std::string>{"GetVersionExA(148)", "GetVersionExA(156)"}));
    fake.Calls.clear();
    Named({1, 4, 10, "", true, 0, 0, ""}, fake);
    EXPECT_EQ(fake.Calls, (std::vector<std::string>{"GetVersionExA(148)"}));
}

TEST(WinVersionNames, FamilyFollowsThePlatformId) {
    TFakeSystem fake;
    const char* families[] = {"Win32S", "9x", "NT", ""};
    for (std::uint32_t id = 0; id < 4; ++id) {
        fake.Version.PlatformId = id;
        EXPECT_EQ(GetOSFamily(fake), families[id]);
    }
    fake.VersionAnswers = false;
    EXPECT_EQ(GetOSFamily(fake), "");
    EXPECT_EQ(GetWinVersion(fake).Name, "");
}

TEST(WinVersionNames, ExtendedReadChosenByName) {
    for (const char* name : {"Windows 95 OSR2", "Windows 98", "Windows 98 Second Edition",
                             "Windows ME", "Windows XP Home Edition", "windows 95 osr2"})
        EXPECT_TRUE(NameAllowsExtendedRead(name)) << name;
    for (const char* name : {"Windows 95", "Windows 95 with Service Pack 1", "Windows 95 Original",
                             "Windows 2000", "Windows XP Professional", ""})
        EXPECT_FALSE(NameAllowsExtendedRead(name)) << name;
}

} // namespace
