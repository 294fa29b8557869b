// The one drive probe: every way a path can fail to be a drive gets its own reason, sector sizes
// are settled once, and what opens stays open for exactly as long as the probe is kept.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "disk/DiskBuffer.h"
#include "disk/DriveProbe.h"
#include "disk/Error.h"
#include "tests/support/FakeSystemLayer.h"
#include "tests/support/TempDir.h"

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

TFakeSystem PathSystem() {
    TFakeSystem fake;
    fake.DriveLetters = false;
    return fake;
}

TEST(DriveProbe, EachCauseHasItsOwnReasonAndLeavesNothingOpen) {
    TFakeSystem fake = PathSystem();
    fake.AddDrive("/dev/sdz", 1 << 20).Kind = TDriveKind::BlockDevice;
    fake.DeniedPaths = {"/dev/sdz", "/dev/sdq"};
    fake.FailedOpens["/dev/sdy"] = {TOpenError::AccessDenied, TDriveKind::BlockDevice, "disk", ""};
    fake.FailedOpens["/img/locked"] = {TOpenError::AccessDenied, TDriveKind::ImageFile, "", ""};
    fake.FailedOpens["/run/sock"] = {TOpenError::Other, TDriveKind::Socket, "", "No such device"};
    fake.FailedOpens["/img/loop"] = {TOpenError::Other, TDriveKind::Unknown, "",
                                     "Too many levels of symbolic links"};
    fake.AddDrive("/home", 4096).Kind = TDriveKind::Folder;
    fake.AddDrive("/run/fifo", 0).Kind = TDriveKind::Fifo;
    fake.AddDrive("/dev/tty1", 0).Kind = TDriveKind::CharDevice;
    fake.AddDrive("/dev/odd", 4096).Measurable = false;
    fake.AddDrive("/img/empty", 0);
    fake.AddDrive("/img/tiny", 100);
    fake.AddDrive("/dev/nosize", 4096).SectorSize = 0;

    const struct {
        const char* Path;
        TDriveProblem Problem;
        const char* Reason;
    } cases[] = {
        {"", TDriveProblem::NoDrive, "no drive or disk image given"},
        {"/img/none", TDriveProblem::NotFound, "no such file or device"},
        {"/dev/sdq", TDriveProblem::AccessDenied,
         "permission denied (run with the right to read the device)"},
        {"/dev/sdy", TDriveProblem::AccessDenied,
         "permission denied (reading a block device needs membership of the \"disk\" group, or "
         "root)"},
        {"/img/locked", TDriveProblem::AccessDenied,
         "permission denied (this user may not read the file)"},
        {"/run/sock", TDriveProblem::Socket, "not a drive or disk image (it is a socket)"},
        {"/img/loop", TDriveProblem::CannotOpen,
         "cannot be opened (Too many levels of symbolic links)"},
        {"/home", TDriveProblem::Folder, "not a drive or disk image (it is a folder)"},
        {"/run/fifo", TDriveProblem::Fifo, "not a drive or disk image (it is a named pipe)"},
        {"/dev/tty1", TDriveProblem::CharDevice,
         "not a drive or disk image (it is a character device)"},
        {"/dev/odd", TDriveProblem::NotADrive, "not a drive or disk image"},
        {"/img/empty", TDriveProblem::Empty, "empty"},
        {"/img/tiny", TDriveProblem::SmallerThanSector, "smaller than one sector (100 bytes)"},
        {"/dev/nosize", TDriveProblem::UnknownSectorSize, "its sector size is unknown"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        const TDriveProbe probe = ProbeDrive(fake, c.Path);
        EXPECT_EQ(probe.Problem, c.Problem);
        EXPECT_EQ(probe.Reason, c.Reason);
        EXPECT_FALSE(probe.Ok());
        EXPECT_EQ(probe.Reader, nullptr);
        EXPECT_EQ(fake.OpenHandles, 0);
    }
    EXPECT_TRUE(fake.Reads.empty()) << "a probe that refuses reads nothing";
}

TEST(DriveProbe, ADeviceKeepsItsSectorSizeAndAnImageTakesTheOneAsked) {
    TFakeSystem fake = PathSystem();
    TFakeDrive& device = fake.AddDrive("/dev/sdb", 1 << 20);
    device.Kind = TDriveKind::BlockDevice;
    device.SectorSize = 4096;
    fake.AddDrive("/img/disk.img", 10 * 512 + 300);

    for (std::uint32_t asked : {0u, 4096u}) {
        const TDriveProbe probe = ProbeDrive(fake, "/dev/sdb", asked);
        ASSERT_TRUE(probe.Ok()) << probe.Reason;
        EXPECT_EQ(probe.Info.BytesPerSector, 4096u);
        EXPECT_EQ(probe.Info.TotalClusters, 256);
    }
    const TDriveProbe refused = ProbeDrive(fake, "/dev/sdb", 512);
    EXPECT_EQ(refused.Problem, TDriveProblem::SectorSizeRefused);
    EXPECT_EQ(refused.Reason, "a block device has its own sector size (4096 bytes); a sector "
                              "size of 512 applies to image files only");
    EXPECT_EQ(refused.Info.BytesPerSector, 4096u) << "the device is still measured";
    EXPECT_THROW(TDiskBuffer("/dev/sdb", 1 << 20, fake, 512), TPwError);

    // The bytes after the last whole sector are counted, for whichever size applies.
    const TDriveProbe image = ProbeDrive(fake, "/img/disk.img");
    EXPECT_EQ(image.Info.BytesPerSector, 512u);
    EXPECT_EQ(image.Info.TotalBytes, 10 * 512 + 300);
    EXPECT_EQ(image.TrailingBytes, 300u);
    const TDriveProbe big = ProbeDrive(fake, "/img/disk.img", 4096);
    EXPECT_EQ(big.Info.BytesPerSector, 4096u);
    EXPECT_EQ(big.TrailingBytes, 10u * 512 + 300 - 4096);
    EXPECT_EQ(ProbeDrive(fake, "/img/disk.img", 8192).Problem, TDriveProblem::SmallerThanSector);
    EXPECT_EQ(fake.OpenHandles, 2) << "only the two probes still kept hold their drive open";
}

TEST(DriveProbe, TheReaderItOpensIsTheOneTheBufferReadsThrough) {
    TFakeSystem fake = PathSystem();
    fake.AddDrive("/img/disk.img", 64 * 512);
    TDriveProbe probe = ProbeDrive(fake, "/img/disk.img");
    ASSERT_TRUE(probe.Ok());
    EXPECT_EQ(fake.OpenHandles, 1);
    ASSERT_NE(probe.Reader, nullptr);
    EXPECT_EQ(probe.Reader->Size(), 64u * 512);
    char byte = 0;
    EXPECT_EQ(probe.Reader->ReadAt(&byte, 1, 700), 1);
    EXPECT_EQ(byte, FakeByte(700));
    {
        TDiskBuffer buffer(std::move(probe), 1 << 20);
        EXPECT_EQ(buffer.TotalSectors(), 64);
        EXPECT_EQ(buffer.GetData(1, 5000), std::string(1, FakeByte(5000)));
        EXPECT_EQ(std::count(fake.Calls.begin(), fake.Calls.end(), "Open(/img/disk.img)"), 1);
        EXPECT_EQ(fake.OpenHandles, 1);
    }
    EXPECT_EQ(fake.OpenHandles, 0);
}

#ifndef _WIN32
// What the running system says about things that are not drives, in the words a user sees.
TEST(DriveProbe, TheSystemLayerTellsWhatAPathIs) {
    TTempDir dir;
    const std::string fifo = dir.File("pipe"), sock = dir.File("sock"), loop = dir.File("loop");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, sock.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    fs::create_symlink(loop, loop);

    TSystemLayer& system = PlatformSystem();
    EXPECT_EQ(ProbeDrive(system, sock).Problem, TDriveProblem::Socket);
    EXPECT_EQ(ProbeDrive(system, fifo).Problem, TDriveProblem::Fifo); // and does not wait
    EXPECT_EQ(ProbeDrive(system, dir.Path.string()).Problem, TDriveProblem::Folder);
    EXPECT_EQ(ProbeDrive(system, "/dev/null").Problem, TDriveProblem::CharDevice);
    const TDriveProbe looped = ProbeDrive(system, loop);
    EXPECT_EQ(looped.Problem, TDriveProblem::CannotOpen);
    EXPECT_EQ(looped.Reason, "cannot be opened (" + std::string(std::strerror(ELOOP)) + ")");
    EXPECT_EQ(ProbeDrive(system, dir.File("none")).Problem, TDriveProblem::NotFound);
    ::close(s);

    WriteFile(dir.File("locked.img"), std::string(4096, 'x'));
    fs::permissions(dir.File("locked.img"), fs::perms::none);
    if (::access(dir.File("locked.img").c_str(), R_OK) != 0) { // root reads anything
        EXPECT_EQ(ProbeDrive(system, dir.File("locked.img")).Reason,
                  "permission denied (this user may not read the file)");
    }
}
#endif

} // namespace
