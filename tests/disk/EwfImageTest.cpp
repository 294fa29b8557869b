// EWF images made by ewfacquirestream from known raw bytes must read back byte for byte.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "disk/EwfImage.h"
#include "mail/DecodedMessage.h"
#include "tests/support/EwfImages.h"
#include "tests/support/ImageBuilder.h"

namespace fs = std::filesystem;

namespace {

class EwfImageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const std::string Why = EwfUnavailable(); !Why.empty()) GTEST_SKIP() << Why;
    }

    // Raw bytes with text, zeros and noise, so compressed and uncompressed chunks both occur.
    static std::string MakeRaw(std::size_t Size, unsigned Seed) {
        std::mt19937 Rng(Seed);
        std::string Raw(Size, '\0');
        for (std::size_t i = 0; i < Size; ++i) {
            const std::size_t Block = (i / 70000) % 3;
            if (Block == 0)
                Raw[i] = static_cast<char>(Rng());
            else if (Block == 1)
                Raw[i] = "Received: from relay\r\n"[i % 22];
        }
        return Raw;
    }

    // Writes Raw to Dir/raw and acquires it as Dir/img.E01 (and further segments).
    fs::path Acquire(const std::string& Raw, const std::string& Options) {
        WriteFile(Dir / "raw", Raw);
        const std::string First = AcquireEwf(Dir / "raw", Dir / "img", Options);
        EXPECT_FALSE(First.empty()) << Options;
        return First;
    }

    TTempDir Temp;
    const fs::path& Dir = Temp.Path;
};

TEST_F(EwfImageTest, SegmentSetReadsBackByteForByte) {
    const std::string Raw = MakeRaw(3 * 1024 * 1024, 7);
    const fs::path First = Acquire(Raw, "-f encase6 -c none -b 64 -S 1048576");
    ASSERT_TRUE(fs::exists(Dir / "img.E02")) << "the set should span several segment files";

    EXPECT_TRUE(TEwfImage::IsEwfFile(First.string()));
    TEwfImage Image(First.string());
    ASSERT_TRUE(Image.IsOpen()) << Image.LastError();
    EXPECT_GE(Image.SegmentCount(), 3);
    EXPECT_EQ(Image.MediaSize(), Raw.size());
    EXPECT_EQ(Image.BytesPerSector(), 512u);

    std::string Whole(Raw.size(), 'x');
    ASSERT_TRUE(Image.Read(0, Whole.data(), Whole.size()));
    EXPECT_TRUE(Whole == Raw);

    // Odd offsets and lengths, across chunk and segment seams, in any order.
    for (std::uint64_t Offset : {1048575ull, 32767ull, 2097000ull, 1ull, 3 * 1048576ull - 515}) {
        std::string Piece(512 + 3, 'x');
        ASSERT_TRUE(Image.Read(Offset, Piece.data(), Piece.size()));
        EXPECT_EQ(Piece, Raw.substr(Offset, Piece.size())) << "at " << Offset;
    }
}

TEST_F(EwfImageTest, CompressedImageAndLargeSectorsComeFromTheImage) {
    const std::string Raw = MakeRaw(1024 * 1024, 11);
    const fs::path First = Acquire(Raw, "-f encase5 -c deflate:best -b 16 -P 4096");
    TEwfImage Image(First.string());
    ASSERT_TRUE(Image.IsOpen()) << Image.LastError();
    EXPECT_EQ(Image.BytesPerSector(), 4096u);
    EXPECT_EQ(Image.MediaSize(), Raw.size());
    std::string Back(Raw.size(), 'x');
    ASSERT_TRUE(Image.Read(0, Back.data(), Back.size()));
    EXPECT_TRUE(Back == Raw);
}

TEST_F(EwfImageTest, BytesBeyondTheMediumReadAsZeros) {
    const std::string Raw(64 * 1024, 'A');
    TEwfImage Image(Acquire(Raw, "-c none").string());
    ASSERT_TRUE(Image.IsOpen()) << Image.LastError();

    std::string Tail(1024, 'x');
    ASSERT_TRUE(Image.Read(Raw.size() - 100, Tail.data(), Tail.size()));
    EXPECT_EQ(Tail.substr(0, 100), std::string(100, 'A'));
    EXPECT_EQ(Tail.substr(100), std::string(924, '\0'));

    std::string Past(100, 'x');
    EXPECT_TRUE(Image.Read(Raw.size() + 5000, Past.data(), Past.size()));
    EXPECT_EQ(Past, std::string(100, '\0'));
}

TEST_F(EwfImageTest, WhatIsNoImageIsRefusedWithAReason) {
    const fs::path Plain = Dir / "plain.E01";
    std::ofstream(Plain, std::ios::binary) << std::string(4096, 'R');
    EXPECT_FALSE(TEwfImage::IsEwfFile(Plain.string()));
    EXPECT_FALSE(TEwfImage::IsEwfFile((Dir / "missing.E01").string()));

    for (const fs::path& Path : {Plain, Dir / "missing.E01"}) {
        TEwfImage Image(Path.string());
        EXPECT_FALSE(Image.IsOpen());
        EXPECT_FALSE(Image.LastError().empty());
        EXPECT_EQ(Image.MediaSize(), 0u);
        std::string Bytes(16, 'x');
        EXPECT_FALSE(Image.Read(0, Bytes.data(), Bytes.size()));
        EXPECT_EQ(Bytes, std::string(16, '\0')) << "a failed read must not leave stale bytes";
    }
}

TEST_F(EwfImageTest, DataOfAMissingSegmentReadsAsFailedZeros) {
    const std::string Raw = MakeRaw(3 * 1024 * 1024, 3);
    const fs::path First = Acquire(Raw, "-c none -S 1048576");
    ASSERT_TRUE(fs::remove(Dir / "img.E02"));
    TEwfImage Image(First.string());
    ASSERT_TRUE(Image.IsOpen()) << "what remains of a set is still evidence";
    EXPECT_TRUE(Image.Damaged());
    EXPECT_EQ(Image.Damage(),
              "segment E02 is missing or damaged (the set ends at " + First.string() + ")");

    // The first segment's data reads; data that lived in the lost segment fails, as zeros, and
    // failing once does not make the same range read as good later. The reason is libewf's.
    std::string Head(4096, 'x');
    EXPECT_TRUE(Image.Read(0, Head.data(), Head.size()));
    EXPECT_EQ(Head, Raw.substr(0, Head.size()));
    for (int Attempt = 0; Attempt < 2; ++Attempt) {
        std::string Lost(512, 'x');
        EXPECT_FALSE(Image.Read(1536 * 1024, Lost.data(), Lost.size()));
        EXPECT_EQ(Lost, std::string(512, '\0'));
        EXPECT_NE(Image.LastError().find("libewf_handle_read_chunk"), std::string::npos)
            << Image.LastError();
        EXPECT_EQ(Image.ReadAt(Lost.data(), Lost.size(), 1536 * 1024), -1);
    }
    std::string Whole(Raw.size(), 'x');
    EXPECT_FALSE(Image.Read(0, Whole.data(), Whole.size()));
    // Bytes of the segments that did open are served whole, even in the same request.
    EXPECT_EQ(Whole.substr(0, 512 * 1024), Raw.substr(0, 512 * 1024));
}

// libewf keeps a stand-in for every chunk it fails to read through its own cache, so a set with
// segments missing cost memory in proportion to what is missing. Reading all of it now must not.
TEST_F(EwfImageTest, ReadingWhatAMissingSegmentHeldCostsNoMemoryForIt) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's own bookkeeping hides the figure; its leak check covers this";
#else
    TImage Raw((Dir / "big.raw").string(), 48u << 20);
    Raw.Put(1u << 20, "data");
    const std::string First = AcquireEwf(Raw.Path(), Dir / "big", "-c none -S 8388608");
    ASSERT_FALSE(First.empty());
    ASSERT_TRUE(fs::remove(Dir / "big.E02"));
    TEwfImage Image(First);
    ASSERT_TRUE(Image.IsOpen());
    ASSERT_TRUE(Image.Damaged());

    std::string Piece(1u << 20, 'x');
    const auto Rss = [] {
        std::ifstream Status("/proc/self/status");
        std::string Line;
        while (std::getline(Status, Line))
            if (Line.rfind("VmRSS:", 0) == 0) return std::stol(Line.substr(6));
        return 0L;
    };
    const long Before = Rss();
    std::uint64_t Failed = 0;
    for (int Pass = 0; Pass < 2; ++Pass)
        for (std::uint64_t At = 0; At < Image.MediaSize(); At += Piece.size())
            Failed += Image.Read(At, Piece.data(), Piece.size()) ? 0 : 1;
    EXPECT_GE(Failed, 2u * 38);
    // 40 MiB are missing; what they once cost showed as at least that much more memory.
    EXPECT_LT(Rss() - Before, 8 * 1024) << "KiB of memory more after reading the damaged set";
#endif
}

// A damaged set is still scanned: the user is told what is missing, its data counts as
// unreadable sectors, and every message the remaining segments hold is found.
TEST_F(EwfImageTest, TheScannerNamesTheMissingSegmentAndScansTheRest) {
    TImage Raw((Dir / "mail.raw").string(), 3u << 20);
    Raw.Put(4096, MakeMessage("a@example.org", "b@example.org", "kept", "body"));
    Raw.Put((2u << 20) + 4096, MakeMessage("a@example.org", "b@example.org", "lost", "body"));
    const std::string E01 = AcquireEwf(Raw.Path(), Dir / "mail", "-c none -S 1048576");
    ASSERT_FALSE(E01.empty());
    ASSERT_TRUE(fs::remove(Dir / "mail.E02"));

    // The report needs the mail module; a build without it checks the rest.
    const bool report = CanDecodeMail();
    const TRun Run = RunCli("scan " + Quote(E01) + " --json" +
                            (report ? " --force --dfxml " + Quote((Dir / "r.xml").string()) : ""));
    // The scan completed, but not every sector could be read: status 3, with where.
    EXPECT_EQ(Run.Status, 3) << Run.Err;
    // One stretch, from where the first segment ends to the image's last sector.
    EXPECT_NE(Run.Err.find(" unreadable sectors (read as zeros): sectors "), std::string::npos)
        << Run.Err;
    EXPECT_NE(Run.Err.find("-6143\n"), std::string::npos) << Run.Err;
    // The report says so too, as a byte run ending at the image's end.
    if (report) {
        const std::string Report = ReadAll(Dir / "r.xml");
        const std::size_t Bad = Report.find("<unreadable_sectors count=\"");
        ASSERT_NE(Bad, std::string::npos) << Report;
        const std::size_t Run0 = Report.find("<byte_run img_offset=\"", Bad);
        ASSERT_NE(Run0, std::string::npos);
        const std::uint64_t At = std::stoull(Report.substr(Run0 + 22));
        const std::size_t LenAt = Report.find("len=\"", Run0);
        EXPECT_EQ(At + std::stoull(Report.substr(LenAt + 5)), 3u << 20) << Report.substr(Bad, 200);
    }
    EXPECT_NE(Run.Out.find("kept"), std::string::npos);
    EXPECT_EQ(Run.Out.find("lost"), std::string::npos);
    EXPECT_NE(Run.Err.find("segment E02 is missing"), std::string::npos) << Run.Err;
    EXPECT_NE(Run.Err.find("unreadable sectors"), std::string::npos) << Run.Err;
    EXPECT_EQ(Run.Err.find("empty"), std::string::npos) << Run.Err;
}

// The scanner's standard output is no business of the image reader: whether it is a pipe, a
// sparse file or a dense file opened without truncation, the JSON starts at its first byte and
// lists every message of the image.
TEST_F(EwfImageTest, TheScannerWritesItsResultsWhereverStandardOutputGoes) {
    TImage Raw((Dir / "mail.raw").string(), 2 * 1024 * 1024);
    for (int i = 0; i < 3; ++i)
        Raw.Put(4096 + i * 300 * 1024, MakeMessage("a@example.org", "b@example.org",
                                                   "planted " + std::to_string(i), "body"));
    const std::string E01 = AcquireEwf(Raw.Path(), Dir / "mail");
    ASSERT_FALSE(E01.empty());

    const TRun Piped = RunCli("scan " + Quote(E01) + " --json");
    ASSERT_EQ(Piped.Status, 0) << Piped.Err;
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(Piped.Out.find("planted " + std::to_string(i)), std::string::npos);
    ASSERT_EQ(Piped.Out, RunCli("scan " + Quote(Raw.Path()) + " --json").Out);

    const std::uint64_t OutSize = 16 * 1024 * 1024;
    const fs::path Sparse = Dir / "sparse.out", Dense = Dir / "dense.out";
    fs::resize_file((std::ofstream(Sparse).close(), Sparse), OutSize);
    std::ofstream(Dense, std::ios::binary) << std::string(OutSize, ' ');
    for (const fs::path& Out : {Sparse, Dense}) {
        SCOPED_TRACE(Out.filename().string());
        const TRun Run = RunCliInto("scan " + Quote(E01) + " --json", Out.string());
        EXPECT_EQ(Run.Status, 0) << Run.Err;
        EXPECT_EQ(Run.Out.size(), OutSize);
        EXPECT_EQ(Run.Out.substr(0, Piped.Out.size()), Piped.Out);
    }
}

} // namespace
