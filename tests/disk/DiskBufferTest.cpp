#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "disk/DiskBuffer.h"
#include "disk/Error.h"
#include "tests/support/FakeReader.h"
#include "tests/support/FakeSystemLayer.h"

namespace {

constexpr std::uint32_t BufferSize = 20971520;
// Chunks read whole when placed, so that each read below is one chunk; reading in slices places
// the chunks the same way (DiskBufferSliceTest).
constexpr std::uint32_t WholeChunks = 0;
const std::string Image = "/images/disk.img";

using Chunk = std::pair<std::uint64_t, std::uint64_t>; // first sector, sector count

std::vector<Chunk> ChunksRead(const TFakeSystem& System) {
    std::vector<Chunk> chunks;
    for (const TRead& read : System.Reads)
        chunks.emplace_back(read.Offset / 512, read.Count / 512);
    return chunks;
}

std::string Expected(std::uint64_t Offset, std::uint64_t Count, std::uint64_t DriveSize) {
    std::string bytes;
    for (std::uint64_t i = 0; i < Count; ++i)
        bytes += Offset + i < DriveSize ? FakeByte(Offset + i) : '\0';
    return bytes;
}

struct PathDrive {
    explicit PathDrive(std::uint64_t Sectors) {
        System.DriveLetters = false;
        System.AddDrive(Image, Sectors * 512);
    }
    TFakeSystem System;
};

TEST(DiskBufferPlacement, SmallDriveFirstChunkHoldsSectorsOneToLast) {
    PathDrive d(100);
    TDiskBuffer buffer(Image, BufferSize, d.System, 0, WholeChunks);
    EXPECT_EQ(buffer.TotalSectors(), 100);
    EXPECT_EQ(buffer.SectorSize(), 512u);
    EXPECT_EQ(ChunksRead(d.System), (std::vector<Chunk>{{1, 99}}));
    EXPECT_EQ(buffer.ChunkStart(), 1);
    EXPECT_EQ(buffer.ChunkCount(), 99);
    // Sector 0 is read only when asked for, and then the chunk moves back to it.
    EXPECT_EQ(buffer.GetData(512, 0), Expected(0, 512, 100 * 512));
    EXPECT_EQ(ChunksRead(d.System), (std::vector<Chunk>{{1, 99}, {0, 100}}));
}

TEST(DiskBufferPlacement, ScanWithoutFindsOverlapsChunksByTwoSectors) {
    PathDrive d(200000);
    TDiskBuffer buffer(Image, BufferSize, d.System, 0, WholeChunks);
    for (std::uint64_t s = 1; s < 200000; ++s) {
        const std::string_view window = buffer.View(1024, s * 512);
        ASSERT_EQ(window.size(), 1024u);
        if (s % 20011 == 0 || s >= 199997 || s == 81918 || s == 81919) {
            ASSERT_EQ(std::string(window), Expected(s * 512, 1024, 200000ull * 512)) << s;
        }
    }
    EXPECT_EQ(ChunksRead(d.System),
              (std::vector<Chunk>{
                  {1, 81920}, {81919, 81920}, {163837, 36163}, {199998, 2}, {199999, 1}}));
    EXPECT_EQ(buffer.UnreadableSectors(), 0u);
}

TEST(DiskBufferPlacement, RangeEndingAtChunkEndReloadsAndEarlierRangeMovesBack) {
    PathDrive d(200000);
    TDiskBuffer buffer(Image, BufferSize, d.System, 0, WholeChunks);
    const std::uint64_t chunkEnd = 81921ull * 512;
    EXPECT_EQ(buffer.GetData(1023, chunkEnd - 1024),
              Expected(chunkEnd - 1024, 1023, 200000ull * 512));
    EXPECT_EQ(d.System.Reads.size(), 1u); // still inside
    EXPECT_EQ(buffer.GetData(1024, chunkEnd - 1024),
              Expected(chunkEnd - 1024, 1024, 200000ull * 512));
    EXPECT_EQ(ChunksRead(d.System).back(), (Chunk{81919, 81920}));
    EXPECT_EQ(buffer.GetData(10, 5 * 512 + 3), Expected(5 * 512 + 3, 10, 200000ull * 512));
    EXPECT_EQ(ChunksRead(d.System).back(), (Chunk{5, 81920}));
    EXPECT_EQ(d.System.Reads.size(), 3u);
}

TEST(DiskBufferPlacement, EmptyRequestReloadsOnlyOutsideTheChunk) {
    PathDrive d(1000);
    TDiskBuffer buffer(Image, BufferSize, d.System, 0, WholeChunks);
    EXPECT_TRUE(buffer.GetData(0, 700 * 512).empty());
    EXPECT_EQ(d.System.Reads.size(), 1u);
    EXPECT_TRUE(buffer.GetData(0, 100).empty()); // sector 0 lies before the chunk
    EXPECT_EQ(ChunksRead(d.System).back(), (Chunk{0, 1000}));
}

TEST(DiskBufferPlacement, RunMeasuredByteByByteThenCopiedWhole) {
    // Chunk of 8 sectors: measuring moves it to the chunk's last sector, the copy moves it back.
    PathDrive d(100);
    TDiskBuffer buffer(Image, 2048, d.System, 0, WholeChunks);
    for (std::uint64_t at = 512; at < 9 * 512; ++at)
        buffer.View(1, at);
    EXPECT_EQ(ChunksRead(d.System), (std::vector<Chunk>{{1, 8}, {8, 8}}));
    EXPECT_EQ(buffer.GetData(8 * 512, 512), Expected(512, 8 * 512, 100 * 512));
    EXPECT_EQ(ChunksRead(d.System).back(), (Chunk{1, 8}));
}

TEST(DiskBufferPlacement, DriveLetterReadsGoThroughTheVolume) {
    TFakeSystem fake;
    fake.Version.PlatformId = 2;
    fake.Version.MajorVersion = 5;
    fake.Version.MinorVersion = 1;
    fake.TotalBytes["C:\\"] = 100 * 512;
    fake.FreeSpace["C:\\"] = {8, 512, 1, 12};
    fake.AddDrive("\\\\.\\C:", 100 * 512);
    TDiskBuffer buffer("c:\\", BufferSize, fake);
    EXPECT_EQ(buffer.TotalSectors(), 100);
    EXPECT_EQ(buffer.GetData(16, 512 * 7), Expected(512 * 7, 16, 100 * 512));
    ASSERT_EQ(fake.Reads.size(), 1u);
    EXPECT_EQ(fake.Reads[0], (TRead{512, 99 * 512}));
    EXPECT_EQ(fake.OpenHandles, 0);
}

TEST(DiskBufferEdges, BytesPastTheDriveEndReadAsZero) {
    PathDrive d(100);
    TDiskBuffer buffer(Image, BufferSize, d.System);
    const std::uint64_t end = 100 * 512;
    // The window at the last sector reaches one sector beyond the drive.
    EXPECT_EQ(std::string(buffer.View(1024, end - 512)), Expected(end - 512, 1024, end));
    EXPECT_EQ(std::string(buffer.View(1, end)), std::string(1, '\0'));
    EXPECT_EQ(buffer.GetData(700, end - 100), Expected(end - 100, 700, end));
    EXPECT_EQ(buffer.GetData(5000, end - 3000), Expected(end - 3000, 5000, end));
    EXPECT_EQ(buffer.GetData(3, ~0ull - 1), std::string(3, '\0'));
    for (const TRead& read : d.System.Reads)
        EXPECT_LE(read.Offset + read.Count, end);
}

TEST(DiskBufferEdges, RequestLongerThanAChunkIsPutTogether) {
    PathDrive d(100);
    TDiskBuffer buffer(Image, 2048, d.System); // 8-sector chunks
    EXPECT_EQ(buffer.GetData(20 * 512 + 7, 3 * 512 + 5),
              Expected(3 * 512 + 5, 20 * 512 + 7, 100 * 512));
    EXPECT_EQ(buffer.GetData(10 * 512, 95 * 512), Expected(95 * 512, 10 * 512, 100 * 512));
}

TEST(DiskBufferEdges, OneSectorDriveHasAnEmptyFirstChunk) {
    PathDrive d(1);
    TDiskBuffer buffer(Image, BufferSize, d.System);
    EXPECT_EQ(buffer.TotalSectors(), 1);
    EXPECT_EQ(buffer.ChunkCount(), 0);
    EXPECT_TRUE(d.System.Reads.empty());
    EXPECT_EQ(std::string(buffer.View(1024, 512)), std::string(1024, '\0'));
    EXPECT_EQ(buffer.GetData(512, 0), Expected(0, 512, 512));
}

TEST(DiskBufferFailures, BadSectorCostsOneSectorAndIsCountedOnce) {
    PathDrive d(200000);
    d.System.Drives[Image].BadBytes = {{5000 * 512 + 17, 5000 * 512 + 18},
                                       {90000 * 512, 90002 * 512}};
    TDiskBuffer buffer(Image, BufferSize, d.System, 0, WholeChunks);
    EXPECT_EQ(buffer.UnreadableSectors(), 1u);
    EXPECT_EQ(buffer.GetData(512, 5000 * 512), std::string(512, '\0'));
    EXPECT_EQ(buffer.GetData(1024, 4999 * 512),
              Expected(4999 * 512, 512, 200000ull * 512) + std::string(512, '\0'));
    EXPECT_EQ(buffer.GetData(512, 5001 * 512), Expected(5001 * 512, 512, 200000ull * 512));
    EXPECT_LT(d.System.Reads.size(), 60u);

    buffer.View(1024, 89999 * 512); // next chunk holds the two bad sectors
    EXPECT_EQ(buffer.UnreadableSectors(), 3u);
    EXPECT_EQ(buffer.GetData(1536, 89999 * 512),
              Expected(89999 * 512, 512, 200000ull * 512) + std::string(1024, '\0'));
    buffer.LoadChunk(4000 * 512); // over the first bad sector again
    buffer.LoadChunk(89990 * 512);
    EXPECT_EQ(buffer.UnreadableSectors(), 3u);
}

TEST(DiskBufferFailures, FailedVolumeReadNeverServesAnEarlierChunk) {
    TFakeSystem fake;
    fake.Version.PlatformId = 2;
    fake.Version.MajorVersion = 5;
    fake.TotalBytes["D:\\"] = 300 * 512;
    fake.FreeSpace["D:\\"] = {1, 512, 0, 300};
    fake.AddDrive("\\\\.\\D:", 300 * 512).BadBytes = {{250 * 512, 251 * 512}};
    TDiskBuffer buffer("D:\\", 100 * 512 / 2, fake); // 100-sector chunks
    EXPECT_EQ(buffer.GetData(4, 50 * 512), Expected(50 * 512, 4, 300 * 512));
    EXPECT_EQ(buffer.GetData(4, 200 * 512), std::string(4, '\0'));
    EXPECT_EQ(buffer.UnreadableSectors(), 100u);
    EXPECT_EQ(buffer.GetData(4, 50 * 512), Expected(50 * 512, 4, 300 * 512));
}

TEST(DiskBufferFailures, CreationNamesThePathAndTheCause) {
    TFakeSystem fake;
    fake.DriveLetters = false;
    fake.AddDrive("/img/empty.img", 0);
    fake.AddDrive("/img/tiny.img", 511);
    fake.AddDrive("/home", 4096).Kind = TDriveKind::Folder;
    fake.AddDrive("/dev/sdb", 1 << 20);
    fake.DeniedPaths.insert("/dev/sdb");
    const auto message = [&](const std::string& path) {
        try {
            TDiskBuffer buffer(path, BufferSize, fake);
        } catch (const TPwError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message("/img/none.img"), "Cannot scan /img/none.img: no such file or device");
    EXPECT_EQ(message("/dev/sdb"),
              "Cannot scan /dev/sdb: permission denied (run with the right to read the device)");
    EXPECT_EQ(message("/home"), "Cannot scan /home: not a drive or disk image (it is a folder)");
    EXPECT_EQ(message("/img/empty.img"), "Cannot scan /img/empty.img: empty");
    EXPECT_EQ(message("/img/tiny.img"),
              "Cannot scan /img/tiny.img: smaller than one sector (511 bytes)");
    EXPECT_EQ(message(""), "No drive or disk image was given");
    EXPECT_EQ(fake.OpenHandles, 0);

    TFakeSystem letters;
    letters.Version.PlatformId = 2;
    EXPECT_THROW(TDiskBuffer("E:\\", BufferSize, letters), TPwError); // no medium: sector size 0
    EXPECT_TRUE(letters.Reads.empty());
}

TEST(DiskBufferFailures, ExplicitSectorSizeReplacesTheImageDefault) {
    PathDrive d(64); // 32 KiB
    TDiskBuffer buffer(Image, BufferSize, d.System, 4096);
    EXPECT_EQ(buffer.SectorSize(), 4096u);
    EXPECT_EQ(buffer.TotalSectors(), 8);
    EXPECT_EQ(d.System.Reads.at(0), (TRead{4096, 7 * 4096}));
}

} // namespace

namespace {

TEST(DiskBufferImages, WithDriveLettersALongerPathIsAnImageFile) {
    TFakeSystem fake;
    fake.Version.PlatformId = 2;
    fake.TotalBytes["C:\\"] = 1ull << 40;
    fake.FreeSpace["C:\\"] = {8, 512, 1, 1};
    fake.AddDrive("C:\\images\\card.img", 50 * 512);
    TDiskBuffer buffer("C:\\images\\card.img", BufferSize, fake);
    EXPECT_EQ(buffer.TotalSectors(), 50);
    EXPECT_EQ(buffer.GetData(8, 3 * 512), Expected(3 * 512, 8, 50 * 512));
    EXPECT_EQ(fake.Reads.at(0), (TRead{512, 49 * 512}));
    EXPECT_THROW(TDiskBuffer("C:\\images\\none.img", BufferSize, fake), TPwError);
}

} // namespace

namespace {

// Any reader will do: one that reads in pieces loses only its bad sector, one that reads all or
// nothing (a volume) loses the slice it failed, and a reader with no whole sector is refused.
TEST(DiskBufferReaders, AFailedReadCostsWhatTheReaderCanTell) {
    std::string bytes(64 * 512, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = FakeByte(i);
    for (bool inPieces : {true, false}) {
        SCOPED_TRACE(inPieces ? "in pieces" : "all or nothing");
        auto reader = std::make_unique<TFakeReader>();
        reader->Bytes = bytes;
        reader->BadBytes = {{20 * 512 + 7, 20 * 512 + 8}};
        reader->InPieces = inPieces;
        TFakeReader& script = *reader;
        TDiskBuffer buffer(std::move(reader), 16 * 512, 4 * 512);
        EXPECT_EQ(buffer.TotalSectors(), 64);
        std::string all;
        for (std::uint64_t s = 1; s < 64; ++s)
            all += buffer.GetData(512, s * 512);
        // All or nothing: the chunk of sectors 1 to 32 is lost; sector 32 is served again by
        // the next chunk, which reads.
        EXPECT_EQ(buffer.UnreadableSectors(), inPieces ? 1u : 32u);
        for (std::uint64_t s = 1; s < 64; ++s) {
            const bool zeroed = inPieces ? s == 20 : s < 32;
            EXPECT_EQ(all.substr((s - 1) * 512, 512),
                      zeroed ? std::string(512, '\0') : bytes.substr(s * 512, 512))
                << "sector " << s;
        }
        EXPECT_FALSE(script.Reads.empty());
    }
    auto tiny = std::make_unique<TFakeReader>();
    tiny->Bytes = std::string(100, 'x');
    EXPECT_THROW(TDiskBuffer(std::move(tiny), 1 << 20), TPwError);
}

} // namespace
