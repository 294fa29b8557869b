#include <gtest/gtest.h>

#include "disk/DiskBuffer.h"
#include "disk/SystemLayer.h"
#include "engine/ScanHardDisk.h"
#include "engine/emailparser.h"
#include "tests/engine/scan/ScanTestSupport.h"
#include "tests/support/FakeSystemLayer.h"

namespace {

constexpr std::uint64_t SectorBytes = 512;
constexpr std::uint32_t RunCap = 20971520;

struct TScanOutcome {
    TEmailArray Emails;
    std::vector<std::uint64_t> Offsets;
    TRecordingHost Host;
};

TScanOutcome Scan(const std::string& Path) {
    TScanOutcome out;
    TScanResult result = TScanHardDisk(Path, {}, out.Host).ScanDrive();
    out.Emails = result.Emails.ToArray();
    out.Offsets = OffsetsOf(result);
    return out;
}

// The first progress position tells the jump made by a find among the first 2000 steps: with c
// sectors skipped by the find, step 2001 examines sector 2000 + c (2001 when nothing was found).
std::uint64_t FirstPosition(const TScanOutcome& Outcome) {
    return Outcome.Host.Positions.empty() ? 0 : Outcome.Host.Positions.front();
}

class ScanTest : public ::testing::Test {
  protected:
    TTempDir Dir;
};

TEST_F(ScanTest, TinyDrivesOpenAndCloseProgressAndExamineOnlySectorOne) {
    // N = 1: nothing is examined, the list is empty.
    TImage one(Dir.File("one.img"), SectorBytes);
    one.Put(0, MakeMessage("a", "b", "c", "at sector zero"));
    TScanOutcome a = Scan(one.Path());
    EXPECT_TRUE(a.Emails.empty());
    EXPECT_EQ(a.Host.Opens, std::vector<std::uint64_t>{1});
    EXPECT_TRUE(a.Host.Positions.empty());
    EXPECT_EQ(a.Host.Closes, 1);

    // N = 2: sector 1 is examined, its window reaches past the drive's end, and a message that
    // ends on the drive's last byte comes back whole.
    const std::string msg = MessageOfLength(SectorBytes);
    TImage two(Dir.File("two.img"), 2 * SectorBytes);
    two.Put(SectorBytes, msg);
    TScanOutcome b = Scan(two.Path());
    ASSERT_EQ(b.Emails.size(), 1u);
    EXPECT_EQ(b.Emails[0].FullText, msg);
    EXPECT_EQ(b.Offsets, std::vector<std::uint64_t>{SectorBytes});
    EXPECT_EQ(b.Host.Opens, std::vector<std::uint64_t>{2});
    EXPECT_EQ(b.Host.Closes, 1);
}

TEST_F(ScanTest, OnlyMessagesStartingAtSectorOneOrLaterOnASectorStartAreFound) {
    const std::string zero = MakeMessage("zero@x", "y", "sector zero", "never found");
    const std::string mid = MakeMessage("mid@x", "y", "mid sector", "not at a sector start");
    const std::string one = MakeMessage("one@x", "y", "sector one", "found");
    const std::string later = MakeMessage("later@x", "y", "sector nine", "found too");
    TImage img(Dir.File("starts.img"), 64 * SectorBytes);
    img.Put(0, zero).Put(3 * SectorBytes + 100, mid);
    TScanOutcome none = Scan(img.Path());
    EXPECT_TRUE(none.Emails.empty());

    img.Put(SectorBytes, one).Put(9 * SectorBytes, later);
    TScanOutcome found = Scan(img.Path());
    ASSERT_EQ(found.Emails.size(), 2u);
    EXPECT_EQ(found.Emails[0].FullText, one);
    EXPECT_EQ(found.Emails[0].Subject, " sector one");
    EXPECT_EQ(found.Emails[1].FullText, later);
    EXPECT_EQ(found.Offsets, (std::vector<std::uint64_t>{SectorBytes, 9 * SectorBytes}));
}

TEST_F(ScanTest, ScanResumesAfterTheSectorsTheRunTouches) {
    struct Case {
        std::uint64_t Sector;
        std::size_t MessageLength;
        std::size_t RunLength; // the message plus a text fragment without a line end
        std::uint64_t Skipped;
    };
    const Case cases[] = {
        {1, 3 * SectorBytes, 3 * SectorBytes, 3},          // k x 512: resumes at s + k
        {1, 3 * SectorBytes - 10, 3 * SectorBytes + 1, 4}, // k x 512 + 1: resumes at s + k + 1
        {10, 3000, 3000, 6},                               // 3000 bytes at sector 10: resumes at 16
        {7, 600, 5 * SectorBytes - 1, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("run of " + std::to_string(c.RunLength) + " at sector " +
                     std::to_string(c.Sector));
        const std::string msg = MessageOfLength(c.MessageLength);
        const std::string run = msg + std::string(c.RunLength - msg.size(), 'z');
        TImage img(Dir.File("resume.img"), 2200 * SectorBytes);
        img.Put(c.Sector * SectorBytes, run + std::string(1, '\0'));
        TScanOutcome out = Scan(img.Path());
        ASSERT_EQ(out.Emails.size(), 1u);
        EXPECT_EQ(out.Emails[0].FullText, msg); // the fragment without CR LF is dropped
        EXPECT_EQ(FirstPosition(out), 2000 + c.Skipped);
    }
}

TEST_F(ScanTest, RunLongerThanTheCapIsCutAndTheRestScannedSectorBySector) {
    // Text from sector 1 on, well past the cap, holding a second message exactly where the
    // capped run ends (sector 1 + cap / 512): it is found by its own start test.
    const std::uint64_t resume = 1 + RunCap / SectorBytes;
    const std::string first = MakeMessage("first@x", "y", "long", "start of a long run");
    std::string run = first;
    std::string line = std::string(77, 'q') + "\r\n";
    while (run.size() < RunCap)
        run += line;
    run.resize(RunCap);
    const std::string second = MakeMessage("second@x", "y", "after the cap", "found");
    TImage img(Dir.File("cap.img"), (resume + 100) * SectorBytes);
    img.Put(SectorBytes, run).Put(resume * SectorBytes, second + std::string(3000, 'q'));

    TScanOutcome out = Scan(img.Path());
    ASSERT_EQ(out.Emails.size(), 2u);
    const std::string expected = run.substr(0, run.rfind("\r\n") + 2);
    EXPECT_EQ(out.Emails[0].FullText.size(), expected.size());
    EXPECT_TRUE(out.Emails[0].FullText == expected);
    EXPECT_EQ(out.Emails[1].FullText, second); // the q-line without CR LF is not part of it
    EXPECT_EQ(out.Offsets, (std::vector<std::uint64_t>{SectorBytes, resume * SectorBytes}));
}

TEST_F(ScanTest, MessagesBackToBackComeFromOneRunInOrder) {
    const std::string a = MakeMessage("a@x", "b@x", "first", "one");
    const std::string b = "Return-Path: <c@x>\r\n" + MakeMessage("c@x", "d@x", "second", "two");
    TImage img(Dir.File("pair.img"), 40 * SectorBytes);
    img.Put(4 * SectorBytes, a + b);
    TScanOutcome out = Scan(img.Path());
    ASSERT_EQ(out.Emails.size(), 2u);
    EXPECT_EQ(out.Emails[0].FullText, a);
    EXPECT_EQ(out.Emails[1].FullText, b);
    EXPECT_EQ(out.Emails[1].Subject, " second");
    EXPECT_EQ(out.Offsets,
              (std::vector<std::uint64_t>{4 * SectorBytes, 4 * SectorBytes + a.size()}));
}

TEST_F(ScanTest, PositiveStartWhoseRunYieldsNoMessageAddsNothingAndGoesOn) {
    // Line 0 holds a byte that ends the run before its line end: the start test accepts the
    // window, the run holds no complete line, the carver finds nothing.
    const std::string window = "From: a\x01z\r\nTo: b\r\nSubject: c\r\n\r\n";
    TEmailParser parser;
    ASSERT_TRUE(parser.IsMessageStart(window + std::string(2 * SectorBytes - window.size(), '\0'),
                                      SectorBytes));
    const std::string next = MakeMessage("next@x", "y", "next", "found");
    TImage img(Dir.File("nomsg.img"), 16 * SectorBytes);
    img.Put(2 * SectorBytes, window).Put(3 * SectorBytes, next);
    TScanOutcome out = Scan(img.Path());
    ASSERT_EQ(out.Emails.size(), 1u);
    EXPECT_EQ(out.Emails[0].FullText, next);
    EXPECT_EQ(out.Offsets, std::vector<std::uint64_t>{3 * SectorBytes});
}

TEST_F(ScanTest, ProgressMovesEvery2000StepsToTheSectorAboutToBeExamined) {
    for (std::uint64_t n : {2u, 3u, 2001u, 2002u, 4001u, 4002u, 6003u}) {
        SCOPED_TRACE("N = " + std::to_string(n));
        TImage img(Dir.File("empty.img"), n * SectorBytes);
        TScanOutcome out = Scan(img.Path());
        EXPECT_TRUE(out.Emails.empty());
        EXPECT_EQ(out.Host.Opens, std::vector<std::uint64_t>{n});
        EXPECT_EQ(out.Host.Closes, 1);
        ASSERT_EQ(out.Host.Positions.size(), (n - 2) / 2000);
        for (std::size_t i = 0; i < out.Host.Positions.size(); ++i)
            EXPECT_EQ(out.Host.Positions[i], 2001 + 2000 * i);
        // No text was measured and nothing appended: one keep-alive at the start, one per update.
        EXPECT_EQ(out.Host.KeepAlives, 1 + out.Host.Positions.size());
    }
}

TEST_F(ScanTest, KeepAliveCountsEveryByteOfTheRunAndEveryMessage) {
    const std::string msg = MakeMessage("a@x", "b@x", "counted", "body");
    TImage img(Dir.File("count.img"), 8 * SectorBytes);
    img.Put(SectorBytes, msg);
    TRecordingHost host;
    TScanHardDisk scan(img.Path(), {}, host);
    // The carver makes keep-alive calls of its own through the same host: count them apart.
    TRecordingHost parserHost;
    TEmailArray direct;
    TEmailParser(parserHost).ExtractMessages(msg, direct);
    ASSERT_EQ(scan.ScanDrive().Emails.size(), 1u);
    EXPECT_EQ(host.KeepAlives, 1 + msg.size() + 1 + parserHost.KeepAlives);
}

TEST_F(ScanTest, MessagesAcrossTheChunkSeamComeBackWhole) {
    // The first chunk holds sectors 1 to 81 920; byte 81 921 x 512 is the first one past it.
    const std::uint64_t seam = 81921 * SectorBytes;
    const std::string across = MessageOfLength(5000, "across the seam");
    const std::string a = MakeMessage("a@x", "y", "before", "just before the seam");
    const std::string b = MakeMessage("b@x", "y", "on", "window reaches the seam");
    const std::string c = MakeMessage("c@x", "y", "after", "after the seam");
    TImage img(Dir.File("seam.img"), 82100 * SectorBytes);
    const std::uint64_t acrossAt = seam - 6 * SectorBytes;
    img.Put(acrossAt, across)
        .Put(81925 * SectorBytes, a)
        .Put(81926 * SectorBytes, b)
        .Put(81990 * SectorBytes, c);
    TScanOutcome out = Scan(img.Path());
    ASSERT_EQ(out.Emails.size(), 4u);
    EXPECT_TRUE(acrossAt + across.size() > seam);
    EXPECT_EQ(out.Emails[0].FullText, across);
    EXPECT_EQ(out.Emails[1].FullText, a);
    EXPECT_EQ(out.Emails[2].FullText, b);
    EXPECT_EQ(out.Emails[3].FullText, c);
    EXPECT_EQ(out.Offsets, (std::vector<std::uint64_t>{acrossAt, 81925 * SectorBytes,
                                                       81926 * SectorBytes, 81990 * SectorBytes}));

    // Windows at the last sectors of the first chunk and the first of the next.
    TImage edge(Dir.File("edge.img"), 82100 * SectorBytes);
    for (std::uint64_t s : {81918u, 81919u, 81920u, 81921u})
        edge.Put(s * SectorBytes, MakeMessage("s" + std::to_string(s), "y", "edge", "x"));
    TScanOutcome e = Scan(edge.Path());
    ASSERT_EQ(e.Emails.size(), 4u);
    EXPECT_EQ(e.Offsets, (std::vector<std::uint64_t>{81918 * SectorBytes, 81919 * SectorBytes,
                                                     81920 * SectorBytes, 81921 * SectorBytes}));
}

TEST_F(ScanTest, RunEndsAtTheDrivesEnd) {
    // A message of three sectors filling the drive's last three, and one in the last sector.
    const std::string three = MessageOfLength(3 * SectorBytes, "last three");
    TImage img(Dir.File("end.img"), 100 * SectorBytes);
    img.Put(97 * SectorBytes, three);
    TScanOutcome out = Scan(img.Path());
    ASSERT_EQ(out.Emails.size(), 1u);
    EXPECT_EQ(out.Emails[0].FullText, three);

    const std::string last = MessageOfLength(SectorBytes, "last one");
    TImage img2(Dir.File("end2.img"), 100 * SectorBytes);
    img2.Put(99 * SectorBytes, last);
    TScanOutcome out2 = Scan(img2.Path());
    ASSERT_EQ(out2.Emails.size(), 1u);
    EXPECT_EQ(out2.Emails[0].FullText, last);
    EXPECT_EQ(out2.Offsets, std::vector<std::uint64_t>{99 * SectorBytes});
}

TEST_F(ScanTest, ErrorDuringTheScanClosesProgressAndReachesTheCaller) {
    TImage img(Dir.File("fail.img"), 3000 * SectorBytes);
    img.Put(5 * SectorBytes, MakeMessage("a", "b", "c", "d"));
    TRecordingHost host;
    host.FailAtKeepAlive = 2; // the first keep-alive after the start one: inside the scan loop
    TScanHardDisk scan(img.Path(), {}, host);
    EXPECT_THROW(scan.ScanDrive(), TPwError);
    EXPECT_EQ(host.Opens.size(), 1u);
    EXPECT_EQ(host.Closes, 1);
}

TEST_F(ScanTest, DriveThatCannotBeMeasuredFailsCreation) {
    TRecordingHost host;
    EXPECT_THROW(TScanHardDisk(Dir.File("missing.img"), {}, host), TPwError);
    TImage empty(Dir.File("empty.img"), 0);
    EXPECT_THROW(TScanHardDisk(empty.Path(), {}, host), TPwError);
    EXPECT_TRUE(host.Opens.empty());
}

} // namespace

namespace {

TEST_F(ScanTest, SectorsOfAnImageMayBeLargerThan512) {
    const std::string a = MakeMessage("a@x", "y", "in sector 1", "found");
    const std::string b = MakeMessage("b@x", "y", "in sector 5", "found");
    TImage img(Dir.File("4k.img"), 40 * 4096);
    img.Put(512, MakeMessage("z@x", "y", "inside sector 0", "never")).Put(4096, a).Put(5 * 4096, b);
    img.Put(7 * 4096 + 512, MakeMessage("m@x", "y", "mid sector", "not at a sector start"));
    TRecordingHost host;
    TScanHardDisk scan(std::make_unique<TDiskBuffer>(img.Path(), 20971520, PlatformSystem(), 4096),
                       {}, host);
    EXPECT_EQ(scan.SectorSize(), 4096u);
    const TScanResult result = scan.ScanDrive();
    const TEmailArray found = result.Emails.ToArray();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].FullText, a);
    EXPECT_EQ(found[1].FullText, b);
    EXPECT_EQ(OffsetsOf(result), (std::vector<std::uint64_t>{4096, 5 * 4096}));
    // The sector size is an option of the scan as well.
    TScanOptions options;
    options.SectorSize = 4096;
    TRecordingHost again;
    EXPECT_EQ(OffsetsOf(TScanHardDisk(img.Path(), options, again).ScanDrive()), OffsetsOf(result));
    EXPECT_EQ(host.Opens, std::vector<std::uint64_t>{40});
}

TEST_F(ScanTest, UnreadableSectorsReadAsZerosAndAreCounted) {
    // A drive whose sectors 50 to 52 fail: the message stored there is lost, the others are not.
    std::string bytes(400 * 512, '\0');
    const std::string a = MakeMessage("a@x", "y", "before", "readable");
    const std::string lost = MakeMessage("lost@x", "y", "on bad sectors", "unreadable");
    const std::string c = MakeMessage("c@x", "y", "after", "readable");
    bytes.replace(10 * 512, a.size(), a);
    bytes.replace(50 * 512, lost.size(), lost);
    bytes.replace(300 * 512, c.size(), c);
    TFakeSystem fake;
    fake.DriveLetters = false;
    TFakeDrive drive;
    drive.Size = bytes.size();
    drive.Bytes = bytes;
    TRecordingHost host;
    drive.BadBytes = {{50 * 512, 53 * 512}, {200 * 512, 201 * 512}};
    fake.Drives["/dev/fake"] = drive;
    TScanHardDisk scan(std::make_unique<TDiskBuffer>("/dev/fake", 20971520, fake), {}, host);
    const TScanResult result = scan.ScanDrive();
    const TEmailArray found = result.Emails.ToArray();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].FullText, a);
    EXPECT_EQ(found[1].FullText, c);
    EXPECT_EQ(result.UnreadableSectors, 4u);
    ASSERT_EQ(result.Unreadable.size(), 2u);
    EXPECT_EQ(result.Unreadable[0].First, 50u);
    EXPECT_EQ(result.Unreadable[0].Count, 3u);
    EXPECT_EQ(result.Unreadable[1].First, 200u);
    EXPECT_EQ(result.Unreadable[1].Count, 1u);
}

} // namespace
