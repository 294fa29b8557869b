// Deep scan through the scan driver and the disk buffer: image files and EWF images on disk.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "disk/DiskBuffer.h"
#include "disk/EwfImage.h"
#include "disk/RawDiskAccess.h"
#include "disk/SystemLayer.h"
#include "engine/ScanHardDisk.h"
#include "tests/engine/deep/DeepCorpus.h"

namespace fs = std::filesystem;

namespace {

class DeepScanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Dir = fs::temp_directory_path() /
              ("pw-deepscan-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(Dir);
    }
    void TearDown() override { fs::remove_all(Dir); }

    std::string Write(const std::string& Name, const std::string& Bytes) {
        const fs::path Path = Dir / Name;
        std::ofstream(Path, std::ios::binary).write(Bytes.data(), Bytes.size());
        return Path.string();
    }

    struct TResult {
        TEmailArray Found;
        std::vector<std::uint64_t> Offsets;
        std::vector<TCarvingRule> Rules;
        std::vector<std::string> Texts;
    };

    static TResult Scan(const std::string& Path, bool Deep) {
        EXPECT_EQ(TScanOptions().Rule, TCarvingRule::Standard) << "deep scan is opt-in";
        TScanOptions Options;
        Options.Rule = Deep ? TCarvingRule::Deep : TCarvingRule::Standard;
        TScanResult Scanned = TScanHardDisk(Path, Options, NullScanHost()).ScanDrive();
        TResult Result;
        Result.Found = Scanned.Emails.ToArray();
        for (const TEmailPlace& Place : Scanned.Places) {
            Result.Offsets.push_back(Place.Offset);
            Result.Rules.push_back(Place.Rule);
        }
        for (const TEmail& Email : Result.Found)
            Result.Texts.push_back(Email.FullText);
        EXPECT_EQ(Result.Rules.size(), Result.Found.size());
        return Result;
    }

    fs::path Dir;
};

TEST_F(DeepScanTest, PlantedMessagesComeBackWholeWhereTheStandardRuleFails) {
    const TDeepCorpus Corpus = MakeDeepCorpus(4242, 64);
    const std::string Path = Write("corpus.img", Corpus.Image);

    const TResult Deep = Scan(Path, true);
    EXPECT_EQ(Deep.Texts, Corpus.Messages);
    EXPECT_EQ(Deep.Offsets, Corpus.Offsets);
    EXPECT_EQ(Deep.Rules, std::vector<TCarvingRule>(Corpus.Messages.size(), TCarvingRule::Deep));

    const TResult Standard = Scan(Path, false);
    EXPECT_LT(TallyFound(Corpus, Standard.Texts).Whole, Corpus.Messages.size());
    EXPECT_EQ(Standard.Rules,
              std::vector<TCarvingRule>(Standard.Found.size(), TCarvingRule::Standard));
}

TEST_F(DeepScanTest, WhatOnlyTheStandardRuleFindsIsStillFound) {
    // A broken line inside the header block: no whole block for the deep rule, a start for the
    // standard one, before a deep start and after one.
    const std::string Odd = "From: a@example.org\r\nTo: b@example.org\r\nbroken line\r\n"
                            "Subject: odd\r\n\r\nbody\r\n";
    const std::string Long = MakeDeepMessage(3, 0);
    std::string Image(64 * 512, '\0');
    Image.replace(8 * 512, Odd.size(), Odd);
    Image.replace(16 * 512, Long.size(), Long);
    // This one's run ends at a control byte, before what the deep start before it had seen.
    const std::string Past = Odd + "\x01" + "more\r\n";
    Image.replace(40 * 512, Past.size(), Past);
    // The longest known name opens this one: the standard rule reads all of it and ": ".
    const std::string Delivered = "Delivery-Date: Mon, 1 Jan 2024 10:00:00 +0000\r\n" + Odd;
    Image.replace(48 * 512, Delivered.size(), Delivered);
    const std::string Path = Write("mixed.img", Image);

    const TResult Standard = Scan(Path, false);
    const TResult Deep = Scan(Path, true);
    ASSERT_EQ(Standard.Texts, (std::vector<std::string>{Odd, Odd, Delivered}));
    EXPECT_EQ(Deep.Texts, (std::vector<std::string>{Odd, Long, Odd, Delivered}));
    EXPECT_EQ(Deep.Rules,
              (std::vector<TCarvingRule>{TCarvingRule::Standard, TCarvingRule::Deep,
                                         TCarvingRule::Standard, TCarvingRule::Standard}));
    EXPECT_EQ(Deep.Offsets, (std::vector<std::uint64_t>{8 * 512, 16 * 512, 40 * 512, 48 * 512}));
}

TEST_F(DeepScanTest, AControlByteInsideTheHeaderBlockIsNoDeepStart) {
    // A long block with a control byte in it: the run would end inside it, so no deep start; the
    // standard rule cannot take it either. A short one: the standard rule still finds its piece.
    std::string Long = MakeDeepMessage(21, 6);
    Long[Long.find("\r\nDKIM") + 5] = '\x01';
    const std::string Short = "From: a@example.org\r\nTo: b@example.org\r\nX-Junk: a\x01"
                              "b\r\n"
                              "Subject: s\r\n\r\nbody\r\n";
    std::string Image(64 * 512, '\0');
    Image.replace(4 * 512, Long.size(), Long);
    Image.replace(40 * 512, Short.size(), Short);
    const std::string Path = Write("control.img", Image);

    const TResult Deep = Scan(Path, true);
    EXPECT_EQ(Deep.Texts, Scan(Path, false).Texts);
    EXPECT_EQ(Deep.Texts, std::vector<std::string>{"From: a@example.org\r\nTo: b@example.org\r\n"});
    EXPECT_EQ(Deep.Rules, std::vector<TCarvingRule>{TCarvingRule::Standard});
}

TEST_F(DeepScanTest, HeaderBlocksAcrossTheChunkSeamAndAtTheDrivesEnd) {
    // The buffer's first chunk holds sectors 1 to 81 920; a message starting 4 sectors before its
    // end has its header block cross the seam. Another ends on the drive's last byte.
    const std::string Across = MakeDeepMessage(11, 5);
    std::string Last = MakeDeepMessage(12, 2);
    ASSERT_GT(Across.size(), 6 * 512u);
    const std::uint64_t Sectors = 81920 + 200;
    std::string Image(Sectors * 512, '\0');
    const std::uint64_t AcrossAt = (81920 - 3) * 512;
    Image.replace(AcrossAt, Across.size(), Across);
    const std::uint64_t LastAt = Image.size() - (Last.size() + 511) / 512 * 512;
    Last.resize(Image.size() - LastAt - 2, 'x');
    Last += "\r\n";
    Image.replace(LastAt, Last.size(), Last);
    const std::string Path = Write("seam.img", Image);

    const TResult Deep = Scan(Path, true);
    EXPECT_EQ(Deep.Texts, (std::vector<std::string>{Across, Last}));
    EXPECT_EQ(Deep.Offsets, (std::vector<std::uint64_t>{AcrossAt, LastAt}));
}

TEST_F(DeepScanTest, AnEwfImageScansLikeItsRawBytes) {
    if (!TEwfImage::Supported() || std::system("command -v ewfacquirestream >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no libewf or ewfacquirestream";
    const TDeepCorpus Corpus = MakeDeepCorpus(77, 100, 4096);
    const std::string Raw = Write("corpus.raw", Corpus.Image);
    const std::string Command = "ewfacquirestream -q -P 4096 -c none -S 1048576 -t '" +
                                (Dir / "corpus").string() + "' < '" + Raw + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(Command.c_str()), 0);
    const std::string E01 = (Dir / "corpus.E01").string();
    ASSERT_TRUE(fs::exists(Dir / "corpus.E02")) << "a set of several segments";

    // Its geometry comes from the image, not from the file.
    const TDriveInfo Info = GetDriveInfo(E01);
    EXPECT_EQ(Info.BytesPerSector, 4096u);
    EXPECT_EQ(Info.TotalBytes, static_cast<std::int64_t>(Corpus.Image.size()));

    const TResult FromEwf = Scan(E01, true);
    EXPECT_TRUE(FromEwf.Texts == Corpus.Messages);
    EXPECT_EQ(FromEwf.Offsets, Corpus.Offsets);
    // The standard rule too finds the same there as in the raw bytes read with 4096-byte sectors.
    TScanHardDisk RawScan(std::make_unique<TDiskBuffer>(Raw, 20971520, PlatformSystem(), 4096), {},
                          NullScanHost());
    const TEmailArray FromRaw = RawScan.ScanDrive().Emails.ToArray();
    EXPECT_TRUE(Scan(E01, false).Found == FromRaw);
}

TEST_F(DeepScanTest, FilesThatAreNoImagesScanRawOrAreRefusedByName) {
    // A file named like a first segment but holding no image is scanned as raw bytes.
    const std::string Message = MakeDeepMessage(5, 1);
    std::string Image(32 * 512, '\0');
    Image.replace(512, Message.size(), Message);
    EXPECT_EQ(Scan(Write("plain.E01", Image), true).Texts, std::vector<std::string>{Message});

    // A first segment whose set is broken beyond opening is refused with its name.
    std::string Broken = "EVF\x09\x0D\x0A\xFF";
    Broken.push_back('\0');
    Broken += std::string(100, 'z');
    const std::string Path = Write("broken.E01", Broken);
    try {
        TScanHardDisk Scanner(Path, {}, NullScanHost());
        ADD_FAILURE() << "a broken image must not open";
    } catch (const std::exception& Error) {
        EXPECT_NE(std::string(Error.what()).find(Path), std::string::npos) << Error.what();
    }
    EXPECT_EQ(GetDriveInfo(Path).BytesPerSector, 0u);
}

} // namespace
