// The disk buffer reading its chunk in slices as requests reach them, and dropping what the caller
// released: the chunks lie where whole-chunk reading puts them, the bytes served are the drive's,
// failing sectors cost themselves alone and are counted once.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "disk/DiskBuffer.h"
#include "tests/support/FakeSystemLayer.h"

namespace {

constexpr std::uint32_t BufferSize = 20971520; // 81920-sector chunks
const std::string Image = "/images/disk.img";

using Chunk = std::pair<std::uint64_t, std::uint64_t>; // first sector, sector count

struct PathDrive {
    explicit PathDrive(std::uint64_t Sectors) {
        System.DriveLetters = false;
        System.AddDrive(Image, Sectors * 512);
    }
    TFakeDrive& Drive() { return System.Drives[Image]; }
    TFakeSystem System;
};

std::string Expected(std::uint64_t Offset, std::uint64_t Count, std::uint64_t DriveSize) {
    std::string bytes;
    for (std::uint64_t i = 0; i < Count; ++i)
        bytes += Offset + i < DriveSize ? FakeByte(Offset + i) : '\0';
    return bytes;
}

// The reads as runs of sectors: a read that begins where the one before ended continues it.
std::vector<Chunk> Runs(const std::vector<TRead>& Reads) {
    std::vector<Chunk> runs;
    for (const TRead& read : Reads) {
        if (!runs.empty() && runs.back().first + runs.back().second == read.Offset / 512)
            runs.back().second += read.Count / 512;
        else
            runs.emplace_back(read.Offset / 512, read.Count / 512);
    }
    return runs;
}

TEST(DiskBufferSlices, ForwardWalkReadsEachChunkOnceInSlicesInSmallMemory) {
    PathDrive d(200000);
    TDiskBuffer buffer(Image, BufferSize, d.System);
    const char* lowest = nullptr;
    const char* highest = nullptr;
    for (std::uint64_t s = 1; s < 200000; ++s) {
        buffer.ReleaseBefore(s * 512);
        const std::string_view window = buffer.View(1024, s * 512);
        ASSERT_EQ(window.size(), 1024u);
        if (s % 7919 == 0 || s >= 199997 || (s >= 81917 && s <= 81921)) {
            ASSERT_EQ(std::string(window), Expected(s * 512, 1024, 200000ull * 512)) << s;
        }
        if (s < 199990) { // the last windows are served from zeros past the end
            lowest = lowest ? std::min(lowest, window.data()) : window.data();
            highest = std::max(highest, window.data());
        }
    }
    // The same chunks as whole-chunk reading (DiskBufferPlacement), each read once, in slices.
    EXPECT_EQ(Runs(d.System.Reads),
              (std::vector<Chunk>{
                  {1, 81920}, {81919, 81920}, {163837, 36163}, {199998, 2}, {199999, 1}}));
    for (const TRead& read : d.System.Reads)
        EXPECT_LE(read.Count, TDiskBuffer::DefaultSliceBytes);
    // Released bytes make room: the walk stays in a small stretch at the start of the block
    // rather than spreading over 40 MiB.
    EXPECT_LT(highest - lowest, 4 << 20);
    EXPECT_EQ(buffer.UnreadableSectors(), 0u);
}

TEST(DiskBufferSlices, FailingSectorInsideASliceCostsItselfAndIsCountedOnce) {
    PathDrive d(2000);
    d.Drive().BadBytes = {{21 * 512 + 100, 21 * 512 + 101}};
    TDiskBuffer buffer(Image, BufferSize, d.System, 0, 8 * 512); // slices of 8 sectors
    // Sector 0 lies before the chunk, which is placed at sector 1 and read no further yet.
    EXPECT_EQ(d.System.Reads, (std::vector<TRead>{{512, 8 * 512}}));
    EXPECT_EQ(buffer.UnreadableSectors(), 0u);
    for (std::uint64_t s = 1; s < 1500; ++s) {
        buffer.ReleaseBefore(s * 512);
        const std::string window(buffer.View(1024, s * 512));
        const std::string first =
            s == 21 ? std::string(512, '\0') : Expected(s * 512, 512, 2000 * 512);
        const std::string second =
            s + 1 == 21 ? std::string(512, '\0') : Expected((s + 1) * 512, 512, 2000 * 512);
        ASSERT_EQ(window, first + second) << s;
    }
    EXPECT_EQ(buffer.UnreadableSectors(), 1u);
    // The slice [17, 25) failed and was asked again in halves down to the bad sector.
    const std::vector<TRead> retries(d.System.Reads.begin() + 2, d.System.Reads.begin() + 9);
    EXPECT_EQ(retries, (std::vector<TRead>{{17 * 512, 8 * 512},
                                           {17 * 512, 4 * 512},
                                           {21 * 512, 4 * 512},
                                           {21 * 512, 2 * 512},
                                           {21 * 512, 512},
                                           {22 * 512, 512},
                                           {23 * 512, 2 * 512}}));
    // Asked again after it was released: read again, still zeros, still counted once.
    EXPECT_EQ(buffer.GetData(1536, 20 * 512), Expected(20 * 512, 512, 2000 * 512) +
                                                  std::string(512, '\0') +
                                                  Expected(22 * 512, 512, 2000 * 512));
    EXPECT_EQ(buffer.ChunkStart(), 1);
    EXPECT_EQ(buffer.UnreadableSectors(), 1u);
}

TEST(DiskBufferSlices, RequestSpanningSliceBordersReadsTheSlicesInOrder) {
    PathDrive d(2000);
    TDiskBuffer buffer(Image, BufferSize, d.System, 0, 8 * 512);
    // From inside the second slice [9, 17) to inside the fourth [25, 33).
    const std::uint64_t at = 9 * 512 + 300;
    EXPECT_EQ(buffer.GetData(20 * 512, at), Expected(at, 20 * 512, 2000 * 512));
    EXPECT_EQ(
        d.System.Reads,
        (std::vector<TRead>{{512, 4096}, {9 * 512, 4096}, {17 * 512, 4096}, {25 * 512, 4096}}));
    // Already held: nothing more is read, however it is asked for.
    EXPECT_EQ(buffer.GetData(32 * 512 - 1, 512), Expected(512, 32 * 512 - 1, 2000 * 512));
    EXPECT_EQ(std::string(buffer.View(1, 33 * 512 - 1)), Expected(33 * 512 - 1, 1, 2000 * 512));
    EXPECT_EQ(d.System.Reads.size(), 4u);
    // A request ahead of everything read, with nothing released, reads the slices between too.
    EXPECT_EQ(buffer.GetData(100, 60 * 512), Expected(60 * 512, 100, 2000 * 512));
    EXPECT_EQ(Runs(d.System.Reads), (std::vector<Chunk>{{1, 64}}));
    // Released first, the stretch in between is skipped once the window would outgrow its room.
    buffer.ReleaseBefore(1500 * 512);
    EXPECT_EQ(buffer.GetData(1024, 1500 * 512), Expected(1500 * 512, 1024, 2000 * 512));
    EXPECT_EQ(Runs(d.System.Reads), (std::vector<Chunk>{{1, 64}, {1500, 8}}));
    EXPECT_EQ(buffer.ChunkStart(), 1);
}

TEST(DiskBufferSlices, RequestsPastTheDriveEndReadOnlyWhatExists) {
    const std::uint64_t sectors = 81920 + 1000;
    const std::uint64_t end = sectors * 512;
    PathDrive d(sectors);
    TDiskBuffer buffer(Image, BufferSize, d.System, 0, 64 * 512);
    buffer.LoadChunk(81000 * 512); // the last chunk: read in slices up to the drive's end
    EXPECT_EQ(buffer.ChunkCount(), static_cast<std::int64_t>(sectors - 81000));
    for (std::uint64_t s = 81000; s < sectors; ++s) {
        buffer.ReleaseBefore(s * 512);
        ASSERT_EQ(std::string(buffer.View(1024, s * 512)), Expected(s * 512, 1024, end)) << s;
    }
    EXPECT_EQ(buffer.ChunkStart(), static_cast<std::int64_t>(sectors - 1));
    EXPECT_EQ(buffer.GetData(5000, end - 3000), Expected(end - 3000, 5000, end));
    EXPECT_EQ(buffer.GetData(700, end - 100), Expected(end - 100, 700, end));
    EXPECT_EQ(buffer.GetData(3, end + 5), std::string(3, '\0'));
    for (const TRead& read : d.System.Reads) {
        EXPECT_LE(read.Offset + read.Count, end);
        EXPECT_LE(read.Count, 64u * 512);
    }
    EXPECT_EQ(buffer.UnreadableSectors(), 0u);
}

TEST(DiskBufferSlices, ViewAfterABackwardsMoveServesTheDrivesBytes) {
    PathDrive d(200000);
    TDiskBuffer buffer(Image, BufferSize, d.System);
    for (std::uint64_t s = 1; s < 100000; s += 3) {
        buffer.ReleaseBefore(s * 512);
        buffer.View(1024, s * 512);
    }
    EXPECT_EQ(buffer.ChunkStart(), 81919);
    // Before the chunk: it moves back, and what it serves there is freshly read.
    const std::size_t before = d.System.Reads.size();
    EXPECT_EQ(std::string(buffer.View(1024, 5 * 512 + 7)),
              Expected(5 * 512 + 7, 1024, 200000ull * 512));
    EXPECT_EQ(buffer.ChunkStart(), 5);
    EXPECT_EQ(buffer.ChunkCount(), 81920);
    EXPECT_EQ(d.System.Reads.at(before), (TRead{5 * 512, TDiskBuffer::DefaultSliceBytes}));
    // Forwards again across what the earlier chunk held, then back inside this chunk to bytes
    // already released: served right without moving the chunk.
    for (std::uint64_t s = 5; s < 60000; s += 5) {
        buffer.ReleaseBefore(s * 512);
        ASSERT_EQ(std::string(buffer.View(700, s * 512 + 11)),
                  Expected(s * 512 + 11, 700, 200000ull * 512))
            << s;
    }
    EXPECT_EQ(buffer.GetData(4096, 20000 * 512 + 3),
              Expected(20000 * 512 + 3, 4096, 200000ull * 512));
    EXPECT_EQ(buffer.GetData(100, 6 * 512), Expected(6 * 512, 100, 200000ull * 512));
    EXPECT_EQ(buffer.ChunkStart(), 5);
    EXPECT_EQ(buffer.UnreadableSectors(), 0u);
}

// Random requests, releases and placements against two buffers over the same drive with bad
// sectors, one reading whole chunks and one in small slices: after every request both hold the
// chunk at the same place and serve the same bytes.
TEST(DiskBufferSlices, SameChunksAndBytesAsWholeChunkReading) {
    const std::uint64_t sectors = 30000;
    const std::uint64_t size = sectors * 512;
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> bad = {
        {777 * 512 + 3, 777 * 512 + 4}, {9000 * 512, 9010 * 512}, {size - 512, size}};
    PathDrive whole(sectors), sliced(sectors);
    std::string content(size, '\0');
    for (std::uint64_t i = 0; i < size; ++i)
        content[i] = FakeByte(i);
    whole.Drive().Bytes = sliced.Drive().Bytes = content;
    whole.Drive().BadBytes = sliced.Drive().BadBytes = bad;
    // 2048-sector chunks, twice the room the window takes before it drops released bytes; slices
    // of 8 sectors.
    TDiskBuffer a(Image, 1 << 19, whole.System, 0, 0);
    TDiskBuffer b(Image, 1 << 19, sliced.System, 0, 8 * 512);
    std::mt19937_64 rng(11);
    std::uint64_t cursor = 512;
    for (int i = 0; i < 8000; ++i) {
        const unsigned kind = rng() % 100;
        std::uint64_t at = 0;
        std::uint32_t count = 0;
        if (kind < 70) { // walking forwards, mostly windows, sometimes a run
            cursor += rng() % 3000;
            if (cursor >= size + 1024) cursor = rng() % size;
            at = cursor;
            count = static_cast<std::uint32_t>(rng() % 4 == 0 ? rng() % 70000 : 1024);
            if (rng() % 2) b.ReleaseBefore(at - std::min<std::uint64_t>(at, rng() % 2048));
        } else if (kind < 92) { // anywhere, backwards included
            at = rng() % (size + 2048);
            count = static_cast<std::uint32_t>(rng() % 5000);
        } else if (kind < 97) { // longer than a chunk
            at = rng() % size;
            count = static_cast<std::uint32_t>(rng() % (3 << 20));
        } else {
            const std::uint64_t place = rng() % size;
            a.LoadChunk(place);
            b.LoadChunk(place);
            continue;
        }
        const std::string expected(a.View(count, at));
        ASSERT_EQ(std::string(b.View(count, at)), expected)
            << i << " at " << at << " count " << count;
        ASSERT_EQ(b.ChunkStart(), a.ChunkStart()) << i;
        ASSERT_EQ(b.ChunkCount(), a.ChunkCount()) << i;
    }
    // Every bad sector asked for once more: each is counted once by either.
    for (const auto& [first, end] : bad) {
        a.GetData(static_cast<std::uint32_t>(end - first), first);
        b.GetData(static_cast<std::uint32_t>(end - first), first);
    }
    EXPECT_EQ(a.UnreadableSectors(), 1u + 10u + 1u);
    EXPECT_EQ(b.UnreadableSectors(), 1u + 10u + 1u);
}

} // namespace
