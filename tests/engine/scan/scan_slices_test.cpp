// The scan over a disk buffer that reads its chunks in slices and drops what the scan has passed:
// the same finds as over whole-chunk reads, and no sector read twice within a chunk.

#include <gtest/gtest.h>

#include <random>

#include "disk/DiskBuffer.h"
#include "engine/ScanHardDisk.h"
#include "tests/engine/scan/ScanTestSupport.h"
#include "tests/support/FakeSystemLayer.h"

namespace {

struct TSlicedScan {
    TEmailArray Emails;
    std::vector<std::uint64_t> Offsets;
    std::vector<TRead> Reads;
};

TSlicedScan ScanFake(const std::string& Bytes, std::uint32_t SliceBytes) {
    TFakeSystem fake;
    fake.DriveLetters = false;
    TFakeDrive& drive = fake.AddDrive("/dev/fake", Bytes.size());
    drive.Bytes = Bytes;
    TRecordingHost host;
    // 16384-sector chunks, so that a few megabytes hold several chunks and their seams.
    TScanHardDisk scan(std::make_unique<TDiskBuffer>("/dev/fake", 4 << 20, fake, 0, SliceBytes), {},
                       host);
    TSlicedScan out;
    TScanResult result = scan.ScanDrive();
    out.Emails = result.Emails.ToArray();
    out.Offsets = OffsetsOf(result);
    out.Reads = fake.Reads;
    return out;
}

TEST(ScanSlices, SameFindsAsWholeChunksAndEachChunkReadOnceFromItsStart) {
    const std::uint64_t sectors = 24576; // 12 MiB
    std::string bytes(sectors * 512, '\0');
    std::mt19937 rng(5);
    for (char& c : bytes)
        c = static_cast<char>(rng() % 5 == 0 ? 0 : 0x80 | (rng() & 0x7F));
    std::vector<std::uint64_t> planted;
    const auto plant = [&](std::uint64_t Sector, const std::string& Message) {
        bytes.replace(Sector * 512, Message.size(), Message);
        bytes[Sector * 512 + Message.size()] = '\0';
        planted.push_back(Sector * 512);
    };
    for (std::uint64_t s = 3; s < 2000; s += 37)
        plant(s, MakeMessage("s" + std::to_string(s) + "@x", "r@x", "small", "body"));
    plant(3000, MessageOfLength(1024 * 1024, "longer than the window")); // inside one chunk
    plant(16000, MessageOfLength(700 * 1024, "across the first seam"));  // run moves the chunk
    for (std::uint64_t s = 19000; s < sectors - 10; s += 1999)
        plant(s, MakeMessage("t" + std::to_string(s) + "@x", "r@x", "later", "body"));

    const TSlicedScan whole = ScanFake(bytes, 0);
    const TSlicedScan sliced = ScanFake(bytes, TDiskBuffer::DefaultSliceBytes);
    EXPECT_EQ(whole.Offsets, planted);
    EXPECT_EQ(sliced.Emails, whole.Emails);
    EXPECT_EQ(sliced.Offsets, whole.Offsets);

    // Read whole, each read is one chunk. Read in slices, the reads of a chunk follow on from its
    // first sector without a gap or a repeat, up to where the scan left it.
    std::vector<TRead> runs;
    for (const TRead& read : sliced.Reads) {
        EXPECT_LE(read.Count, TDiskBuffer::DefaultSliceBytes);
        if (!runs.empty() && runs.back().Offset + runs.back().Count == read.Offset)
            runs.back().Count += read.Count;
        else
            runs.push_back(read);
    }
    ASSERT_EQ(runs.size(), whole.Reads.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(runs[i].Offset, whole.Reads[i].Offset) << i;
        EXPECT_LE(runs[i].Count, whole.Reads[i].Count) << i;
    }
}

} // namespace
