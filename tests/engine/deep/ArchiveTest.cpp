// Mail inside compressed archives, found by the deep scan: gzip'd mbox files, a Maildir as a
// .tar.gz, .eml files in a zip (deflated and stored) and in a zip inside a .tar.gz, made by
// Python's gzip, tarfile and zipfile on FAT and ext4 images, some deleted; streams cut short;
// decompression bombs. Bounds are asserted as sizes and counts.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/CompressedStreams.h"
#include "engine/ScanHardDisk.h"
#include "tests/engine/deep/UnixMail.h"
#include "tests/support/ImageBuilder.h"

namespace fs = std::filesystem;

namespace {

TScanResult ScanDeep(const std::string& Path) {
    TScanOptions Options;
    Options.SectorSize = 512;
    Options.Rule = TCarvingRule::Deep;
    return TScanHardDisk(Path, Options, NullScanHost()).ScanDrive();
}

// "gzip:123:456 zip:456:0": the steps to a message, outermost offset on the drive.
std::string StepsText(const std::vector<TStreamStep>& Steps) {
    std::string Text;
    for (const TStreamStep& Step : Steps)
        Text += std::string(Text.empty() ? "" : " ") + StreamKindName(Step.Kind) + ":" +
                std::to_string(Step.Offset) + ":" + std::to_string(Step.At);
    return Text;
}

class ArchiveImage : public ::testing::Test {
  protected:
    void SetUp() override {
        Dir = fs::temp_directory_path() /
              ("pw-archives-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(Dir);
    }
    void TearDown() override { fs::remove_all(Dir); }
    static void Write(const fs::path& Path, const std::string& Bytes) {
        fs::create_directories(Path.parent_path());
        std::ofstream(Path, std::ios::binary).write(Bytes.data(), Bytes.size());
    }
    static std::string Read(const fs::path& Path) {
        std::ifstream In(Path, std::ios::binary);
        std::ostringstream Out;
        Out << In.rdbuf();
        return Out.str();
    }
    static void Run(const std::string& Command) {
        ASSERT_EQ(std::system((Command + " >/dev/null 2>&1").c_str()), 0) << Command;
    }
    static std::string Python(const std::string& Args) {
        return std::string("python3 '") + PW_ARCHIVES_SCRIPT + "' " + Args;
    }
    fs::path Dir;
};

} // namespace

TEST_F(ArchiveImage, FatAndExt4ArchivesGiveEveryMessageWholeWithItsPlaceInside) {
    if (std::system("{ command -v python3 && command -v mkfs.fat && command -v mcopy && "
                    "command -v mkfs.ext4 && command -v debugfs; } >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3, dosfstools, mtools and e2fsprogs are needed for the images";
    // The corpus: LF Maildir messages, two mbox files, .eml files.
    const fs::path Corpus = Dir / "corpus", Out = Dir / "archives";
    for (int i = 0; i < 24; ++i)
        Write(Corpus / "maildir" / ("17000" + std::to_string(i) + ".M1P2.host:2,S"),
              MakeUnixMessage(7000 + i, i % UnixKinds));
    for (int f = 0; f < 2; ++f) {
        std::vector<std::string> Messages;
        for (int i = 0; i < 20; ++i) {
            Messages.push_back(MakeUnixMessage(8000 + f * 50 + i, (i + f) % UnixKinds));
            Write(Corpus / ("mbox" + std::to_string(f)) / (std::to_string(i) + ".eml"),
                  Messages.back());
        }
        Write(Corpus / ("mbox" + std::to_string(f) + ".mbox"), MboxFile(Messages, 31 + f));
    }
    for (int i = 0; i < 16; ++i)
        Write(Corpus / "eml" / ("msg" + std::to_string(10 + i) + ".eml"),
              MakeUnixMessage(9000 + i, (i * 3) % UnixKinds));
    fs::create_directories(Out);
    Run(Python("corpus '" + Corpus.string() + "' '" + Out.string() + "'"));

    struct TExpected {
        std::string Archive, Message, Steps;
    };
    std::vector<TExpected> Manifest;
    {
        std::istringstream Lines(Read(Out / "manifest.txt"));
        for (std::string Line; std::getline(Lines, Line);) {
            const std::size_t a = Line.find('\t'), b = Line.find('\t', a + 1);
            Manifest.push_back(
                {Line.substr(0, a), Line.substr(a + 1, b - a - 1), Line.substr(b + 1)});
        }
    }
    // 2 x 20 mbox, 24 Maildir, 16 .eml.
    ASSERT_EQ(Manifest.size(), 80u);
    const std::vector<std::string> Archives = {"mbox0.gz", "mbox1.gz", "maildir.tar.gz",
                                               "export.zip", "nested.tar.gz"};
    // mbox1.gz and export.zip are deleted on both images.
    const std::set<std::string> Deleted = {"mbox1.gz", "export.zip"};

    for (const std::string System : {"fat", "ext4"}) {
        SCOPED_TRACE(System);
        const fs::path Image = Dir / (System + ".img");
        if (System == "fat") {
            Run("mkfs.fat -C -S 512 '" + Image.string() + "' 8192");
            for (const std::string& A : Archives)
                Run("mcopy -i '" + Image.string() + "' '" + (Out / A).string() + "' ::/");
            for (const std::string& A : Deleted)
                Run("mdel -i '" + Image.string() + "' ::/" + A);
        } else {
            const fs::path Root = Dir / "root";
            for (const std::string& A : Archives)
                fs::copy_file(
                    Out / A, Root / "mail" / A,
                    (fs::create_directories(Root / "mail"), fs::copy_options::overwrite_existing));
            std::string Commands;
            for (const std::string& A : Deleted)
                Commands += "rm /mail/" + A + "\n";
            Write(Dir / "rm.cmd", Commands);
            Run("mkfs.ext4 -q -F -E root_owner=0:0 -d '" + Root.string() + "' '" + Image.string() +
                "' 16M");
            Run("debugfs -w -f '" + (Dir / "rm.cmd").string() + "' '" + Image.string() + "'");
        }
        const std::string Bytes = Read(Image);
        const TScanResult Result = ScanDeep(Image.string());
        ASSERT_EQ(Result.Places.size(), Result.Emails.size());

        std::map<std::string, std::vector<std::size_t>> Found; // steps -> items
        for (std::size_t i = 0; i < Result.Places.size(); ++i)
            if (!Result.Places[i].Inside.empty())
                Found[StepsText(Result.Places[i].Inside)].push_back(i);
        std::size_t Exact = 0, Expected = 0;
        std::map<std::string, std::uint64_t> ArchiveAt;
        for (const std::string& A : Archives) {
            const std::size_t At = Bytes.find(Read(Out / A));
            ASSERT_NE(At, std::string::npos) << A << " is not stored contiguously";
            ArchiveAt[A] = At;
        }
        for (const TExpected& E : Manifest) {
            // The outermost offset is the archive's on the image.
            const std::uint64_t At = ArchiveAt[E.Archive];
            const std::size_t c1 = E.Steps.find(':'), c2 = E.Steps.find(':', c1 + 1);
            const std::string Steps = E.Steps.substr(0, c1 + 1) +
                                      std::to_string(At + std::stoull(E.Steps.substr(c1 + 1))) +
                                      E.Steps.substr(c2);
            ++Expected;
            const auto It = Found.find(Steps);
            if (It == Found.end()) {
                ADD_FAILURE() << E.Message << " not found at " << Steps;
                continue;
            }
            ASSERT_EQ(It->second.size(), 1u) << Steps;
            const std::size_t Item = It->second.front();
            EXPECT_EQ(Result.Emails.FullText(Item), Read(Corpus / E.Message)) << E.Message;
            EXPECT_EQ(Result.Places[Item].Offset, Result.Places[Item].Inside.front().Offset);
            Exact += Result.Emails.FullText(Item) == Read(Corpus / E.Message);
            Found.erase(It);
        }
        EXPECT_EQ(Exact, Expected);
        // Nothing else came out of the streams.
        for (const auto& [Steps, Items] : Found)
            ADD_FAILURE() << "unexpected message inside streams at " << Steps;
        // Each gzip file is one member: its stream is the whole file.
        for (std::size_t i = 0; i < Result.Places.size(); ++i) {
            const auto& Inside = Result.Places[i].Inside;
            if (Inside.empty() || Inside.front().Kind != TStreamKind::Gzip) continue;
            for (const std::string A : {"mbox0.gz", "mbox1.gz", "maildir.tar.gz"}) {
                if (ArchiveAt[A] == Inside.front().Offset) {
                    EXPECT_EQ(Inside.front().Length, fs::file_size(Out / A)) << A;
                }
            }
        }
        EXPECT_EQ(Result.Streams.Bounded, 0u);
    }
}

TEST_F(ArchiveImage, StreamsCutShortGiveWhatInflatedBeforeTheBreak) {
    // An mbox.gz whose second half was overwritten: by zeros, by other bytes, or not there (the
    // image ends). What inflated before the break comes back, the messages in it whole.
    std::vector<std::string> Messages;
    for (int i = 0; i < 40; ++i)
        Messages.push_back(MakeUnixMessage(600 + i, i % UnixKinds));
    const fs::path Mbox = Dir / "corpus" / "mbox0.mbox";
    Write(Mbox, MboxFile(Messages, 5));
    Run("python3 -c \"import gzip,sys; open(sys.argv[2],'wb').write(gzip.compress(open(sys.argv[1],"
        "'rb').read()))\" '" +
        Mbox.string() + "' '" + (Dir / "m.gz").string() + "'");
    const std::string Gz = Read(Dir / "m.gz");
    const std::string Plain = Read(Mbox);
    for (const std::string Damage : {"zeros", "bytes", "end"}) {
        SCOPED_TRACE(Damage);
        std::string Image(64 * 512, '\0');
        std::string Cut = Gz.substr(0, Gz.size() / 2);
        if (Damage == "zeros") Cut += std::string(Gz.size() - Cut.size(), '\0');
        if (Damage == "bytes")
            for (std::size_t i = Cut.size(); i < Gz.size(); ++i)
                Cut += static_cast<char>((i * 7919) >> 3);
        Image += Cut;
        if (Damage != "end") Image.resize((Image.size() / 512 + 4) * 512, '\0');
        Image.resize(Image.size() / 512 * 512);
        Write(Dir / "cut.img", Image);
        const TScanResult Result = ScanDeep((Dir / "cut.img").string());
        // The messages before the break come back whole, in order, at their places in the
        // mbox. (Past it a deflate stream may still inflate for a while: into junk, and into
        // copies of the text before, which is what it refers back to.)
        std::size_t Whole = 0;
        while (Whole < Result.Emails.size() && Whole < Messages.size() &&
               Result.Emails.FullText(Whole) == Messages[Whole]) {
            ASSERT_EQ(Result.Places[Whole].Inside.size(), 1u);
            EXPECT_EQ(Result.Places[Whole].Inside[0].At, Plain.find(Messages[Whole]));
            ++Whole;
        }
        EXPECT_GE(Whole, 12u);
        EXPECT_LT(Whole, Messages.size());
    }
}

TEST_F(ArchiveImage, BombsStopAtTheirBoundsAndTheScanGoesOn) {
    if (std::system("command -v python3 >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
    // A gzip member of 10 GiB of zeros (10 MiB on the drive), a 42-style zip of zips four deep,
    // 16 wide, 64 MiB zero files at the bottom, and a message after each.
    Run(Python("zeros 10 '" + (Dir / "zeros.gz").string() + "'"));
    Run(Python("nested '" + (Dir / "nested.zip").string() + "'"));
    const std::string Message = MakeUnixMessage(4242, 0);
    for (const std::string Bomb : {"zeros.gz", "nested.zip"}) {
        SCOPED_TRACE(Bomb);
        const std::string Bytes = Read(Dir / Bomb);
        std::string Image(16 * 512, '\0');
        Image += Bytes;
        Image.resize((Image.size() / 512 + 1) * 512, '\0');
        const std::size_t MessageAt = Image.size();
        Image += Message;
        Image.resize((Image.size() / 512 + 2) * 512, '\0');
        Write(Dir / "bomb.img", Image);
        const TScanResult Result = ScanDeep((Dir / "bomb.img").string());
        const TStreamCounts& Counts = Result.Streams;
        // Never more than the ratio bound over the bomb's own bytes, whatever the nesting.
        EXPECT_LE(Counts.InflatedBytes, TStreamOpener::RatioCap * Bytes.size());
        EXPECT_GE(Counts.Bounded, 1u);
        EXPECT_FALSE(Result.Cancelled);
        EXPECT_TRUE(Result.StopReason.empty());
        // Three streams deep at most: the zip files at the bottom are never opened.
        EXPECT_LE(Counts.Opened, 16u + 16 * 16 + 16 * 16 * 16);
        RecordProperty(Bomb + "_inflated", std::to_string(Counts.InflatedBytes));
        RecordProperty(Bomb + "_opened", std::to_string(Counts.Opened));
        ASSERT_EQ(Result.Emails.size(), 1u);
        EXPECT_EQ(Result.Places[0].Offset, MessageAt);
        EXPECT_TRUE(Result.Places[0].Inside.empty());
        EXPECT_EQ(Result.Emails.FullText(0), Message);
    }
}

TEST_F(ArchiveImage, ExactlyTheMessagesTheMailProgramMarkedDeletedAreMarked) {
    // A Thunderbird-style mbox (X-Mozilla-Status, 0x0008 expunged), a mutt-style one (Status and
    // X-Status flags, D deleted), and CR LF messages at sector starts for the standard rule. Each
    // planted message says in a header of its own whether it was marked.
    auto Marked = [](std::string Message, const std::string& Lines, bool Gone) {
        const std::string End = Message.find("\r\n") != std::string::npos ? "\r\n" : "\n";
        Message.insert(Message.find(End + End) + End.size(),
                       Lines + "X-Test: " + (Gone ? "gone" : "kept") + End);
        return Message;
    };
    std::vector<std::string> Thunderbird, Mutt;
    std::set<std::string> Gone;
    for (int i = 0; i < 12; ++i) {
        const bool Expunged = i % 3 == 1;
        Thunderbird.push_back(Marked(MakeUnixMessage(300 + i, i % UnixKinds),
                                     std::string("X-Mozilla-Status: ") +
                                         (Expunged ? "0009" : "0001") +
                                         "\nX-Mozilla-Status2: 00000000\n",
                                     Expunged));
        const bool Deleted = i % 4 == 2;
        Mutt.push_back(Marked(MakeUnixMessage(400 + i, (i + 3) % UnixKinds),
                              Deleted ? (i % 8 == 2 ? "Status: D\n" : "Status: RO\nX-Status: DA\n")
                                      : "Status: RO\nX-Status: A\n",
                              Deleted));
        if (Expunged) Gone.insert(Thunderbird.back());
        if (Deleted) Gone.insert(Mutt.back());
    }
    std::string Image(8 * 512, '\0');
    for (const std::string& Mbox : {MboxFile(Thunderbird, 1), MboxFile(Mutt, 2)}) {
        Image += Mbox;
        Image.resize((Image.size() / 512 + 2) * 512, '\0');
    }
    std::vector<std::string> Crlf;
    for (int i = 0; i < 6; ++i) {
        const bool Deleted = i % 2 == 0;
        Crlf.push_back(Marked(MakeMessage("a@x.org", "b@x.org", "crlf " + std::to_string(i),
                                          "text " + std::to_string(i)),
                              i == 0 ? "X-Mozilla-Status: 0008\r\n"
                                     : (Deleted ? "Status: D\r\n" : "Status: RO\r\n"),
                              Deleted));
        if (Deleted) Gone.insert(Crlf.back());
        Image += Crlf.back();
        Image.resize((Image.size() / 512 + 1) * 512, '\0');
    }
    Write(Dir / "marked.img", Image);
    for (const TCarvingRule Rule : {TCarvingRule::Deep, TCarvingRule::Standard}) {
        SCOPED_TRACE(CarvingRuleName(Rule));
        TScanOptions Options;
        Options.SectorSize = 512;
        Options.Rule = Rule;
        const TScanResult Result =
            TScanHardDisk((Dir / "marked.img").string(), Options, NullScanHost()).ScanDrive();
        std::set<std::string> FoundGone;
        std::size_t Found = 0;
        for (std::size_t i = 0; i < Result.Emails.size(); ++i) {
            const std::string Text = Result.Emails.FullText(i);
            if (Text.find("X-Test: ") == std::string::npos) continue;
            ++Found;
            EXPECT_EQ(Result.Emails.ClientDeleted(i),
                      Text.find("X-Test: gone") != std::string::npos)
                << Text.substr(0, 200);
            if (Result.Emails.ClientDeleted(i)) FoundGone.insert(Text);
        }
        if (Rule == TCarvingRule::Deep) {
            // The deep rule cuts every message exactly: the marked ones are exactly those.
            EXPECT_EQ(Found, Thunderbird.size() + Mutt.size() + Crlf.size());
            EXPECT_EQ(FoundGone, Gone);
        } else {
            for (const std::string& M : Crlf)
                EXPECT_EQ(FoundGone.count(M), Gone.count(M)) << M;
        }
    }
}

TEST_F(ArchiveImage, AnImageGzippedOntoAnotherDriveGivesTheSameMessagesAtTheSameOffsets) {
    if (std::system("command -v python3 >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
    // A drive of LF mail among look-alikes, some 6 MiB (many pieces of inflated bytes, runs
    // across them), scanned as it is and as a gzip file on another drive: the steps through the
    // inflated bytes are the sectors of the drive, so the messages and their places are the same.
    std::string Inner = LookAlikeImage(77, 3000, 512);
    for (int i = 0; i < 600; ++i) {
        Inner += i % 50 == 7 ? MboxFile({MakeUnixMessage(i, i % UnixKinds),
                                         MakeUnixMessage(i + 1000, (i + 1) % UnixKinds)},
                                        i)
                             : MakeUnixMessage(i, i % UnixKinds);
        Inner.resize((Inner.size() / 512 + 1 + i % 3) * 512, '\0');
    }
    Write(Dir / "inner.img", Inner);
    const TScanResult Plain = ScanDeep((Dir / "inner.img").string());
    ASSERT_GT(Plain.Emails.size(), 600u);
    Run("python3 -c \"import gzip,sys; open(sys.argv[2],'wb').write(gzip.compress(open(sys.argv[1],"
        "'rb').read(), 6))\" '" +
        (Dir / "inner.img").string() + "' '" + (Dir / "inner.gz").string() + "'");
    std::string Outer(4096, '\0');
    Outer += Read(Dir / "inner.gz");
    Outer.resize((Outer.size() / 512 + 1) * 512, '\0');
    Write(Dir / "outer.img", Outer);
    const TScanResult Packed = ScanDeep((Dir / "outer.img").string());
    ASSERT_EQ(Packed.Emails.size(), Plain.Emails.size());
    for (std::size_t i = 0; i < Plain.Emails.size(); ++i) {
        ASSERT_EQ(Packed.Places[i].Inside.size(), 1u);
        EXPECT_EQ(Packed.Places[i].Inside[0].Offset, 4096u);
        EXPECT_EQ(Packed.Places[i].Inside[0].At, Plain.Places[i].Offset) << i;
        EXPECT_EQ(Packed.Places[i].Rule, Plain.Places[i].Rule) << i;
        EXPECT_EQ(Packed.Emails.FullText(i), Plain.Emails.FullText(i)) << i;
    }
    EXPECT_EQ(Packed.Streams.InflatedBytes, Inner.size());
}
