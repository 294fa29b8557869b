// Faults injected under the scan through the system seam: reads failing at chosen sectors, reads
// cut short, a device vanishing mid-scan, an image cut shorter while it is read. The scan must end,
// count what it could not read, still find every message it could read, and serve nothing stale.

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "disk/DiskBuffer.h"
#include "engine/ScanHardDisk.h"
#include "tests/engine/scan/ScanTestSupport.h"
#include "tests/support/FakeSystemLayer.h"

namespace {

constexpr std::uint32_t BufferSize = 20971520;

struct TPlanted {
    std::uint64_t Offset;
    std::string Text;
};

struct TFaultScan {
    TEmailArray Emails;
    std::vector<std::uint64_t> Offsets;
    std::uint64_t Unreadable = 0;
};

// SliceBytes 0: each chunk is read whole, in one read.
TFaultScan Scan(TFaultySystem& System, std::uint32_t ImageSectorSize = 0,
                 std::uint32_t SliceBytes = TDiskBuffer::DefaultSliceBytes) {
    TRecordingHost host;
    TScanHardDisk scan(std::make_unique<TDiskBuffer>(System.Path, BufferSize, System,
                                                     ImageSectorSize, SliceBytes),
                       {}, host);
    TFaultScan r;
    TScanResult result = scan.ScanDrive();
    r.Emails = result.Emails.ToArray();
    r.Offsets = OffsetsOf(result);
    r.Unreadable = result.UnreadableSectors;
    EXPECT_EQ(host.Closes, 1);
    return r;
}

// An image of Size bytes of noise (no zero byte, so no run ends early by chance, and no message
// starts by chance), with messages planted every Step bytes from First on, each ended by a zero.
class FaultTest : public ::testing::Test {
  protected:
    TFaultySystem System;
    std::vector<TPlanted> Planted;

    void Build(std::uint64_t Size, std::uint64_t First, std::uint64_t Step) {
        std::mt19937 rng(7);
        System.Bytes.resize(Size);
        for (char& c : System.Bytes)
            c = static_cast<char>(0x80 | (rng() & 0x7F));
        for (std::uint64_t at = First, i = 0; at + 4096 < Size; at += Step, ++i) {
            const std::string m = MakeMessage("s" + std::to_string(i) + "@x", "r@x",
                                              "planted " + std::to_string(i), "body");
            System.Bytes.replace(at, m.size(), m);
            System.Bytes[at + m.size()] = '\0';
            Planted.push_back({at, m});
        }
    }

    // Every planted message whose bytes lie wholly outside [BadFirst, BadEnd) is found once, at its
    // offset, whole; nothing else is found.
    void ExpectFoundOutside(const TFaultScan& R, std::uint64_t BadFirst, std::uint64_t BadEnd) {
        std::size_t j = 0;
        for (const TPlanted& p : Planted) {
            const bool hit = p.Offset < BadEnd && BadFirst < p.Offset + p.Text.size() + 1;
            if (hit) continue;
            ASSERT_LT(j, R.Emails.size()) << "missing message at " << p.Offset;
            EXPECT_EQ(R.Offsets[j], p.Offset);
            EXPECT_EQ(R.Emails[j].FullText, p.Text);
            ++j;
        }
        // Cut-off messages in the bad stretch may leave no trace but never a phantom copy.
        for (; j < R.Emails.size(); ++j)
            ADD_FAILURE() << "unexpected message at " << R.Offsets[j];
    }
};

TEST_F(FaultTest, FailingSectorsCostOnlyThemselvesAndAreCountedOnce) {
    Build(3 * 40 * 1024 * 1024 + 77 * 512, 512, 999 * 512);
    // Three bad sectors of one chunk, one whole bad stretch across a chunk seam, and the last
    // sector.
    const std::uint64_t seam = 81920ull * 512;
    System.BadBytes = {{5000 * 512, 5001 * 512},
                       {5002 * 512 + 17, 5002 * 512 + 18},
                       {seam - 3 * 512, seam + 5 * 512},
                       {System.Bytes.size() - 512, System.Bytes.size()}};
    // A message planted inside a bad sector is lost, the rest are found.
    const TFaultScan r = Scan(System);
    EXPECT_EQ(r.Unreadable, 1u + 1u + 8u + 1u);
    std::vector<TPlanted> lost, kept;
    for (const TPlanted& p : Planted) {
        bool hit = false;
        for (const auto& [first, end] : System.BadBytes)
            hit |= p.Offset < end && first < p.Offset + p.Text.size() + 1;
        (hit ? lost : kept).push_back(p);
    }
    ASSERT_EQ(r.Emails.size(), kept.size());
    for (std::size_t i = 0; i < kept.size(); ++i) {
        EXPECT_EQ(r.Offsets[i], kept[i].Offset);
        EXPECT_EQ(r.Emails[i].FullText, kept[i].Text);
    }
    EXPECT_GT(System.FailedReads, 0u);
}

TEST_F(FaultTest, AFailedChunkNeverServesTheBytesOfTheChunkBefore) {
    // The same message at the same place in two chunks; the second chunk is wholly unreadable.
    // Stale bytes would find the message twice.
    Build(4 * 40 * 1024 * 1024, 1u << 30, 1); // nothing planted by Build
    const std::string m = MakeMessage("stale@x", "r@x", "only once", "body");
    const std::uint64_t first = 100 * 512;
    const std::uint64_t chunk = (81920ull - 2) * 512; // second chunk starts 2 sectors back
    System.Bytes.replace(first, m.size(), m);
    System.Bytes[first + m.size()] = '\0';
    System.BadBytes = {{first + chunk - 2 * 512, first + chunk + 80000ull * 512}};
    const TFaultScan r = Scan(System);
    ASSERT_EQ(r.Emails.size(), 1u);
    EXPECT_EQ(r.Offsets[0], first);
    EXPECT_EQ(r.Unreadable, 80002u);
}

TEST_F(FaultTest, ShortReadsAreContinuedAndChangeNothing) {
    Build(5 * 1024 * 1024 + 333, 3 * 512, 97 * 512);
    const TFaultScan whole = Scan(System);
    ASSERT_EQ(whole.Emails.size(), Planted.size());
    // Cut below the slice a chunk is read in, and (chunks read whole) below a chunk.
    constexpr std::uint32_t Slice = TDiskBuffer::DefaultSliceBytes;
    for (const auto& [most, slice] :
         std::vector<std::pair<std::uint64_t, std::uint32_t>>{{1, Slice},
                                                              {511, Slice},
                                                              {4096 + 3, Slice},
                                                              {Slice - 512, Slice},
                                                              {1 << 20, 0}}) {
        SCOPED_TRACE(most);
        TFaultySystem shorter = System;
        shorter.MaxReadBytes = most;
        shorter.ReadCalls = shorter.ShortReads = 0;
        const TFaultScan r = Scan(shorter, 0, slice);
        EXPECT_GT(shorter.ShortReads, 0u);
        EXPECT_EQ(r.Emails, whole.Emails);
        EXPECT_EQ(r.Offsets, whole.Offsets);
        EXPECT_EQ(r.Unreadable, 0u);
    }
}

TEST_F(FaultTest, DeviceVanishingMidScanEndsTheScanWithWhatWasRead) {
    // Three chunks' worth. Read whole, each chunk is one read; the device vanishes after the
    // K-th, so the chunks from the K-th on (they begin at sector 1 + K x 81918) read as zeros.
    Build(3 * 40 * 1024 * 1024, 512, 1999 * 512);
    const std::uint64_t sectors = System.Bytes.size() / 512;
    for (std::uint64_t k : {1ull, 2ull, 3ull}) {
        SCOPED_TRACE(k);
        TFaultySystem vanishing = System;
        vanishing.VanishAfterReads = k;
        const TFaultScan r = Scan(vanishing, 0, 0);
        const std::uint64_t lostFrom = 1 + k * 81918;
        ExpectFoundOutside(r, lostFrom * 512, System.Bytes.size());
        EXPECT_EQ(r.Unreadable, sectors - lostFrom);
        EXPECT_EQ(vanishing.OpenHandles, 0);
    }
    // Read in slices, the first chunk is lost from the end of its K-th slice on.
    const std::uint64_t slice = TDiskBuffer::DefaultSliceBytes / 512;
    for (std::uint64_t k : {1ull, 77ull}) {
        SCOPED_TRACE(k);
        TFaultySystem vanishing = System;
        vanishing.VanishAfterReads = k;
        const TFaultScan r = Scan(vanishing);
        const std::uint64_t lostFrom = 1 + k * slice;
        ExpectFoundOutside(r, lostFrom * 512, System.Bytes.size());
        EXPECT_EQ(r.Unreadable, sectors - lostFrom);
        EXPECT_EQ(vanishing.OpenHandles, 0);
    }
}

TEST_F(FaultTest, ImageCutShorterWhileScannedEndsCleanly) {
    Build(2 * 40 * 1024 * 1024 + 100 * 512, 512, 777 * 512);
    const std::uint64_t cut = 50 * 1024 * 1024 + 123; // inside the second chunk, mid-sector
    TFaultySystem cutting = System;
    cutting.TruncateAfterReads = 1;
    cutting.TruncateTo = cut;
    const TFaultScan r = Scan(cutting);
    const std::uint64_t sectors = System.Bytes.size() / 512;
    // Sectors past the cut cannot be read whole any more; the one the cut splits is among them.
    EXPECT_EQ(r.Unreadable, sectors - cut / 512);
    ExpectFoundOutside(r, cut / 512 * 512, System.Bytes.size());
}

TEST_F(FaultTest, WholeDriveUnreadableStillEnds) {
    Build(2 * 1024 * 1024, 512, 4096);
    System.BadBytes = {{0, System.Bytes.size()}};
    const TFaultScan r = Scan(System, 4096);
    EXPECT_TRUE(r.Emails.empty());
    EXPECT_EQ(r.Unreadable, System.Bytes.size() / 4096 - 1); // sector 0 is never read
}

} // namespace
