// EWF images made by ewfacquirestream from known raw bytes must read back byte for byte.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "EwfImage.h"
#include "EwfImages.h"
#include "ImageBuilder.h"

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

    // The first segment's data reads; data that lived in the lost segment fails, as zeros, and
    // failing once does not make the same range read as good later.
    std::string Head(4096, 'x');
    EXPECT_TRUE(Image.Read(0, Head.data(), Head.size()));
    EXPECT_EQ(Head, Raw.substr(0, Head.size()));
    for (int Attempt = 0; Attempt < 2; ++Attempt) {
        std::string Lost(512, 'x');
        EXPECT_FALSE(Image.Read(1536 * 1024, Lost.data(), Lost.size()));
        EXPECT_EQ(Lost, std::string(512, '\0'));
        EXPECT_FALSE(Image.LastError().empty());
    }
    std::string Whole(Raw.size(), 'x');
    EXPECT_FALSE(Image.Read(0, Whole.data(), Whole.size()));
}

// The scanner's standard output is no business of the image reader: whether it is a pipe, a
// sparse file or a dense file opened without truncation, the JSON starts at its first byte and
// lists every message of the image.
TEST_F(EwfImageTest, TheScannerWritesItsResultsWhereverStandardOutputGoes) {
    TImage Raw((Dir / "mail.raw").string(), 2 * 1024 * 1024);
    for (int i = 0; i < 3; ++i)
        Raw.Put(4096 + i * 300 * 1024,
                MakeMessage("a@example.org", "b@example.org", "planted " + std::to_string(i),
                            "body"));
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
