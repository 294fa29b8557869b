// The scan over a drive read ahead in a thread of its own: the same finds in the same order, the
// same calls on the host, the same unreadable sectors and ranges as reading on demand, with either
// rule and chunks read in slices or whole; cancelled, it leaves no read going on.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "disk/DiskBuffer.h"
#include "engine/ScanHardDisk.h"
#include "tests/disk/AheadReader.h"
#include "tests/engine/scan/ScanTestSupport.h"

namespace {

// Counts the cancel questions and says yes from the given one on.
class TCancellingHost : public TRecordingHost {
  public:
    std::uint64_t CancelAt = 0;
    std::uint64_t Questions = 0;
    std::uint64_t Found = 0;
    std::vector<std::uint64_t> Bytes;
    bool CancelRequested() override { return CancelAt != 0 && ++Questions >= CancelAt; }
    void ProgressBytes(std::uint64_t Offset) override {
        if (Bytes.empty() || Bytes.back() != Offset) Bytes.push_back(Offset);
    }
    void MessageFound() override { ++Found; }
};

std::vector<std::pair<std::uint64_t, std::uint64_t>> Ranges(const TScanResult& Result) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    for (const TSectorRange& r : Result.Unreadable)
        ranges.emplace_back(r.First, r.Count);
    return ranges;
}

struct TRun {
    TScanResult Result;
    TCancellingHost Host;
};

void Scan(TDriveState& Drive, bool Ahead, TCarvingRule Rule, std::uint32_t SliceBytes, TRun& Run) {
    TScanOptions options;
    options.Rule = Rule;
    // 2 MiB chunks, so that the drive holds many of them and their seams.
    TScanHardDisk scan(std::make_unique<TDiskBuffer>(
                           std::make_unique<TAheadReader>(Drive, true, Ahead), 1 << 20, SliceBytes),
                       options, Run.Host);
    Run.Result = scan.ScanDrive();
}

// Mail-dense: a message every sector or two, some long ones across chunk seams, noise between,
// and bad stretches, one across a seam.
TDriveState& DenseDrive() {
    static TDriveState d;
    if (!d.Bytes.empty()) return d;
    std::mt19937 rng(23);
    d.Bytes.resize(24ull << 20);
    for (char& c : d.Bytes)
        c = static_cast<char>(rng() % 7 == 0 ? 0 : 0x80 | (rng() & 0x7F));
    std::uint64_t at = 512;
    for (int i = 0; at + (300 << 10) < d.Bytes.size(); ++i) {
        const std::string body =
            i % 97 == 0 ? std::string(200000, 'x') : "body " + std::to_string(i);
        const std::string m =
            MakeMessage("m" + std::to_string(i) + "@x", "r@x", "n" + std::to_string(i), body);
        d.Bytes.replace(at, m.size(), m);
        d.Bytes[at + m.size()] = '\0';
        at = (at + m.size() + 1 + 511) / 512 * 512 + (rng() % 2) * 512;
    }
    const std::uint64_t seam = 4096ull * 512;
    d.BadBytes = {{777 * 512 + 5, 777 * 512 + 6},
                  {seam - 3 * 512, seam + 4 * 512},
                  {(15ull << 20) + 100, (15ull << 20) + 9000}};
    return d;
}

TEST(ScanReadAhead, SameFindsHostCallsAndUnreadableRangesAsReadingOnDemand) {
    TDriveState& drive = DenseDrive();
    for (const TCarvingRule rule : {TCarvingRule::Standard, TCarvingRule::Deep}) {
        for (const std::uint32_t slice : {TDiskBuffer::DefaultSliceBytes, 0u}) {
            SCOPED_TRACE(testing::Message() << (rule == TCarvingRule::Deep) << " " << slice);
            TRun plain, ahead;
            Scan(drive, false, rule, slice, plain);
            const std::uint64_t before = drive.ReadsElsewhere.load();
            Scan(drive, true, rule, slice, ahead);
            EXPECT_GT(drive.ReadsElsewhere.load(), before) << "nothing was read ahead";
            EXPECT_EQ(drive.InFlight.load(), 0);
            ASSERT_GT(plain.Result.Emails.size(), 1000u);
            EXPECT_TRUE(ahead.Result.Emails == plain.Result.Emails);
            EXPECT_EQ(OffsetsOf(ahead.Result), OffsetsOf(plain.Result));
            EXPECT_GT(plain.Result.UnreadableSectors, 0u);
            EXPECT_EQ(ahead.Result.UnreadableSectors, plain.Result.UnreadableSectors);
            EXPECT_EQ(Ranges(ahead.Result), Ranges(plain.Result));
            EXPECT_EQ(ahead.Host.KeepAlives, plain.Host.KeepAlives);
            EXPECT_EQ(ahead.Host.Opens, plain.Host.Opens);
            EXPECT_EQ(ahead.Host.Positions, plain.Host.Positions);
            EXPECT_EQ(ahead.Host.Closes, 1);
            EXPECT_EQ(ahead.Host.Found, plain.Host.Found);
            EXPECT_TRUE(ahead.Host.Bytes == plain.Host.Bytes);
        }
    }
}

TEST(ScanReadAhead, CancelledScanLeavesNoReadGoingOnAndCountsOnlyWhatItReached) {
    TDriveState& drive = DenseDrive();
    for (const std::uint64_t at : {1ull, 50ull, 3000ull}) {
        SCOPED_TRACE(at);
        TRun plain, ahead;
        plain.Host.CancelAt = ahead.Host.CancelAt = at;
        Scan(drive, false, TCarvingRule::Standard, TDiskBuffer::DefaultSliceBytes, plain);
        Scan(drive, true, TCarvingRule::Standard, TDiskBuffer::DefaultSliceBytes, ahead);
        // The scan and its buffer are gone: no read is in flight and none starts.
        const std::uint64_t reads = drive.ReadsElsewhere.load();
        EXPECT_EQ(drive.InFlight.load(), 0);
        EXPECT_TRUE(ahead.Result.Cancelled);
        EXPECT_TRUE(ahead.Result.Emails == plain.Result.Emails);
        EXPECT_EQ(Ranges(ahead.Result), Ranges(plain.Result));
        EXPECT_EQ(ahead.Host.KeepAlives, plain.Host.KeepAlives);
        EXPECT_EQ(ahead.Host.Positions, plain.Host.Positions);
        EXPECT_EQ(ahead.Host.Questions, plain.Host.Questions);
        EXPECT_EQ(drive.ReadsElsewhere.load(), reads);
    }
}

} // namespace
