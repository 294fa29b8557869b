#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "disk/RawDiskAccess.h"
#include "tests/support/FakeSystemLayer.h"

namespace {

std::string Expected(std::uint64_t Offset, std::uint64_t Count) {
    std::string bytes;
    for (std::uint64_t i = 0; i < Count; ++i)
        bytes += FakeByte(Offset + i);
    return bytes;
}

std::uint32_t Low32(const void* p) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}

// A system of the given platform with drive C of the given size and 512-byte sectors.
TFakeSystem System(std::uint32_t Platform, std::uint32_t Minor, std::uint64_t Bytes = 1 << 24) {
    TFakeSystem fake;
    fake.Version.PlatformId = Platform;
    fake.Version.MajorVersion = 4;
    fake.Version.MinorVersion = Minor;
    fake.TotalBytes["C:\\"] = Bytes;
    fake.FreeSpace["C:\\"] = {1, 512, 0, static_cast<std::uint32_t>(Bytes / 512)};
    fake.AddDrive("\\\\.\\C:", Bytes);
    return fake;
}

TEST(SectorReaderNT, OpensSeeksReadsAndClosesTheVolume) {
    TFakeSystem fake = System(2, 0);
    std::string target(4 * 512, 'x');
    EXPECT_TRUE(ReadSectors(fake, 3, 10, 4, target.data()));
    EXPECT_EQ(target, Expected(10 * 512, 4 * 512));
    const std::vector<std::string> tail(fake.Calls.end() - 4, fake.Calls.end());
    EXPECT_EQ(tail,
              (std::vector<std::string>{"CreateFileA(\\\\.\\C:,80000000,3,3,80)",
                                        "SetFilePointer(5120)", "ReadFile(2048)", "CloseHandle"}));
    // The sector size is asked of the one-letter path on every read.
    EXPECT_EQ(fake.Calls.at(2), "GetDiskFreeSpaceExA(C:\\)");
    EXPECT_EQ(fake.OpenHandles, 0);
}

TEST(SectorReaderNT, ZeroSectorsSucceedAndOffsetsAre64Bit) {
    TFakeSystem fake = System(2, 0);
    char byte = 0;
    EXPECT_TRUE(ReadSectors(fake, 3, 7, 0, &byte));
    EXPECT_EQ(fake.Calls.at(fake.Calls.size() - 2), "ReadFile(0)");
    fake.Calls.clear();
    EXPECT_FALSE(ReadSectors(fake, 3, 1ull << 33, 1, &byte)); // beyond this small drive
    EXPECT_NE(std::find(fake.Calls.begin(), fake.Calls.end(), "SetFilePointer(4398046511104)"),
              fake.Calls.end());
    EXPECT_EQ(fake.OpenHandles, 0);
}

TEST(SectorReaderNT, FailuresAnswerFalseAndNeverTryTheNineXPath) {
    std::string target(1024, 'x');
    TFakeSystem noMedium = System(2, 0);
    noMedium.FreeSpace.clear();
    EXPECT_FALSE(ReadSectors(noMedium, 3, 0, 2, target.data()));
    EXPECT_EQ(std::count_if(noMedium.Calls.begin(), noMedium.Calls.end(),
                            [](const std::string& c) { return c.rfind("CreateFileA", 0) == 0; }),
              0);

    TFakeSystem denied = System(2, 0);
    denied.DeniedPaths.insert("\\\\.\\C:");
    EXPECT_FALSE(ReadSectors(denied, 3, 0, 2, target.data()));

    TFakeSystem shortRead = System(2, 0, 4 * 512);
    EXPECT_FALSE(ReadSectors(shortRead, 3, 3, 2, target.data()));
    EXPECT_EQ(shortRead.OpenHandles, 0);

    TFakeSystem badSector = System(2, 0);
    badSector.Drives["\\\\.\\C:"].BadBytes = {{600, 601}};
    EXPECT_FALSE(ReadSectors(badSector, 3, 0, 2, target.data()));
    for (TFakeSystem* fake : {&noMedium, &denied, &shortRead, &badSector}) {
        EXPECT_TRUE(fake->DeviceCalls.empty());
        EXPECT_EQ(fake->VWin32Handle, 0);
    }
}

TEST(SectorReaderOtherFamilies, EveryReadFails) {
    std::string target(512, 'x');
    TFakeSystem win32s = System(0, 0);
    EXPECT_FALSE(ReadSectors(win32s, 3, 0, 1, target.data()));
    TFakeSystem unknown = System(3, 0);
    EXPECT_FALSE(ReadSectors(unknown, 3, 0, 1, target.data()));
    EXPECT_TRUE(win32s.Reads.empty() && unknown.Reads.empty());
    EXPECT_TRUE(win32s.DeviceCalls.empty() && unknown.DeviceCalls.empty());
    EXPECT_EQ(target, std::string(512, 'x'));
}

TEST(SectorReader9x, ExtendedReadRegistersAndPacket) {
    TFakeSystem fake = System(1, 10); // Windows 98
    std::string target(8 * 512, 'x');
    EXPECT_TRUE(ReadSectors(fake, 3, 100, 8, target.data()));
    EXPECT_EQ(target, Expected(100 * 512, 8 * 512));
    ASSERT_EQ(fake.DeviceCalls.size(), 1u);
    const TDeviceCall& call = fake.DeviceCalls[0];
    EXPECT_EQ(call.ControlCode, 6u);
    EXPECT_EQ(call.Registers.reg_EAX, 0x7305u);
    EXPECT_EQ(call.Registers.reg_ECX, 0xFFFFFFFFu);
    EXPECT_EQ(call.Registers.reg_EDX, 3u);
    EXPECT_EQ(call.Registers.reg_ESI, 0u);
    EXPECT_EQ(call.Registers.reg_Flags, 0u);
    EXPECT_NE(call.Registers.reg_EBX, 0u);
    EXPECT_EQ(std::uint32_t{call.Packet.StartSector}, 100u);
    EXPECT_EQ(std::uint32_t{call.Packet.Sectors}, 8u);
    EXPECT_EQ(std::uint32_t{call.Packet.Buffer}, Low32(target.data()));
    // The device was opened once, as the table says, and stays open.
    EXPECT_NE(
        std::find(fake.Calls.begin(), fake.Calls.end(), "CreateFileA(\\\\.\\VWIN32,0,0,0,4000000)"),
        fake.Calls.end());
    EXPECT_TRUE(ReadSectors(fake, 3, 0, 1, target.data()));
    EXPECT_EQ(std::count_if(fake.Calls.begin(), fake.Calls.end(),
                            [](const std::string& c) { return c.rfind("CreateFileA", 0) == 0; }),
              1);
    EXPECT_TRUE(fake.Reads.empty()); // the volume path is never tried on 9x
}

TEST(SectorReader9x, CarryFallsBackToInt25) {
    TFakeSystem fake = System(1, 90); // Windows ME
    fake.Device = [](std::uint32_t Code, TDiocRegisters& Regs, const TDiskIO&, void*) {
        if (Code == 6) Regs.reg_Flags |= 1;
        return true;
    };
    char target[512];
    EXPECT_TRUE(ReadSectors(fake, 4, 70000, 1, target));
    ASSERT_EQ(fake.DeviceCalls.size(), 2u);
    const TDeviceCall& int25 = fake.DeviceCalls[1];
    EXPECT_EQ(int25.ControlCode, 2u);
    EXPECT_EQ(int25.Registers.reg_EAX, 3u); // drive D, counted from 0
    EXPECT_EQ(int25.Registers.reg_ECX, 0xFFFFFFFFu);
    EXPECT_EQ(int25.Registers.reg_Flags, 0u);
    EXPECT_EQ(int25.Registers.reg_EDX, 0u);
    EXPECT_EQ(std::uint32_t{int25.Packet.StartSector}, 70000u);
    EXPECT_EQ(std::uint32_t{int25.Packet.Sectors}, 1u);

    fake.Device = [](std::uint32_t, TDiocRegisters& Regs, const TDiskIO&, void*) {
        Regs.reg_Flags = 1;
        return true;
    };
    EXPECT_FALSE(ReadSectors(fake, 4, 0, 1, target));
    fake.Device = [](std::uint32_t, TDiocRegisters&, const TDiskIO&, void*) { return false; };
    EXPECT_FALSE(ReadSectors(fake, 4, 0, 1, target));
}

TEST(SectorReader9x, VersionNameChoosesTheFirstRequest) {
    const std::pair<const char*, std::uint32_t> cases[] = {
        {" C", 6}, // Windows 95 OSR2
        {" B", 2}, // Windows 95 with Service Pack 1
        {"", 2},   // Windows 95 Original
    };
    for (const auto& [text, firstCode] : cases) {
        TFakeSystem fake = System(1, 0);
        std::memcpy(fake.Version.CSDVersion, text, std::strlen(text));
        char target[512];
        EXPECT_TRUE(ReadSectors(fake, 3, 0, 1, target));
        ASSERT_EQ(fake.DeviceCalls.size(), 1u);
        EXPECT_EQ(fake.DeviceCalls[0].ControlCode, firstCode) << text;
    }
}

TEST(SectorReader9x, LargeCountsAreSplitAndEveryPieceMustSucceed) {
    TFakeSystem fake = System(1, 10, 200000ull * 512);
    std::string target(81920 * 512, 'x');
    EXPECT_TRUE(ReadSectors(fake, 3, 100, 81920, target.data()));
    ASSERT_EQ(fake.DeviceCalls.size(), 2u);
    EXPECT_EQ(std::uint32_t{fake.DeviceCalls[0].Packet.StartSector}, 100u);
    EXPECT_EQ(std::uint32_t{fake.DeviceCalls[0].Packet.Sectors}, 65535u);
    EXPECT_EQ(std::uint32_t{fake.DeviceCalls[1].Packet.StartSector}, 100u + 65535);
    EXPECT_EQ(std::uint32_t{fake.DeviceCalls[1].Packet.Sectors}, 81920u - 65535);
    EXPECT_EQ(std::uint32_t{fake.DeviceCalls[1].Packet.Buffer}, Low32(target.data() + 65535 * 512));
    EXPECT_TRUE(target == Expected(100 * 512, 81920 * 512));

    fake.Device = [](std::uint32_t, TDiocRegisters& Regs, const TDiskIO& Packet, void*) {
        if (Packet.StartSector != 100) Regs.reg_Flags = 1; // the second piece fails both ways
        return true;
    };
    EXPECT_FALSE(ReadSectors(fake, 3, 100, 81920, target.data()));
    EXPECT_EQ(fake.DeviceCalls.size(), 2u + 3u);
}

TEST(SectorReader9x, SectorsThePacketCannotHoldAreRefused) {
    TFakeSystem fake = System(1, 10);
    char target[1024];
    EXPECT_TRUE(ReadSectors(fake, 3, 0xFFFFFFFFu, 1, target));
    EXPECT_FALSE(ReadSectors(fake, 3, 0xFFFFFFFFu, 2, target));
    EXPECT_FALSE(ReadSectors(fake, 3, 1ull << 32, 1, target));
    EXPECT_EQ(fake.DeviceCalls.size(), 1u);
    // Splitting needs the sector size; without it nothing is read.
    fake.FreeSpace.clear();
    EXPECT_FALSE(ReadSectors9x(fake, 3, 0, 70000, target));
    EXPECT_EQ(fake.DeviceCalls.size(), 1u);
}

TEST(SectorReader9x, DeviceOnlyOpensOnNineXAndRetriesAfterAFailedOpen) {
    TFakeSystem nt = System(2, 0);
    TDiocRegisters regs;
    EXPECT_FALSE(VWin32Request(nt, 6, regs, TDiskIO{}, nullptr));
    EXPECT_TRUE(nt.DeviceCalls.empty());

    TFakeSystem nineX = System(1, 10);
    nineX.VWin32Opens = false;
    char target[512];
    EXPECT_FALSE(ReadSectors(nineX, 3, 0, 1, target));
    EXPECT_EQ(nineX.VWin32Handle, InvalidHandle);
    nineX.VWin32Opens = true;
    EXPECT_TRUE(ReadSectors(nineX, 3, 0, 1, target));
}

TEST(SectorReader9x, PlatformBlocksHaveThePublishedLayout) {
    TDiskIO packet;
    packet.StartSector = 0x04030201;
    packet.Sectors = 0x0605;
    packet.Buffer = 0x0A090807;
    unsigned char bytes[10];
    std::memcpy(bytes, &packet, sizeof bytes);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(bytes[i], i + 1);
    EXPECT_EQ(offsetof(TDiocRegisters, reg_EBX), 0u);
    EXPECT_EQ(offsetof(TDiocRegisters, reg_EDX), 4u);
    EXPECT_EQ(offsetof(TDiocRegisters, reg_ECX), 8u);
    EXPECT_EQ(offsetof(TDiocRegisters, reg_EAX), 12u);
    EXPECT_EQ(offsetof(TDiocRegisters, reg_EDI), 16u);
    EXPECT_EQ(offsetof(TDiocRegisters, reg_ESI), 20u);
    EXPECT_EQ(offsetof(TDiocRegisters, reg_Flags), 24u);
    EXPECT_EQ(offsetof(TOSVersionInfo, CSDVersion), 20u);
    EXPECT_EQ(offsetof(TOSVersionInfoEx, SuiteMask), 152u);
    EXPECT_EQ(offsetof(TOSVersionInfoEx, ProductType), 154u);
}

} // namespace
