// What the command-line scanner writes besides its standard output: reports that never replace
// what the scan reads or a special file, and everything found still written when Ctrl+C comes
// after the scan.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "CliRunner.h"
#include "ScanTestSupport.h"

namespace fs = std::filesystem;

namespace {

class CliOutputsTest : public ::testing::Test {
  protected:
    TTempDir Dir;
    TTempDir Elsewhere; // outputs live apart from the image's folder
    std::string Image;

    void SetUp() override {
        Image = Dir.File("ev.img");
        TImage(Image, 64 * 1024)
            .Put(1024, MakeMessage("Ann <ann@example.org>", "Bo <bo@example.org>", "first",
                                   "invoice attached"))
            .Put(8192,
                 MakeMessage("Cy <cy@example.org>", "Di <di@example.org>", "second", "see you"));
    }

    std::string Scan(const std::string& Rest) const { return "scan " + Quote(Image) + " " + Rest; }
};

TEST_F(CliOutputsTest, ReportsThatWouldReplaceTheTargetOrASpecialFileAreRefusedBeforeTheScan) {
    const std::string evidence = ReadAll(Image);
    const fs::path link = Elsewhere.Path / "link.xml";
    fs::create_symlink(Image, link);
    const fs::path fifo = Elsewhere.Path / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A node of the null device, made here: the system's own must not be put at risk.
    const fs::path device = Elsewhere.Path / "null";
    const bool haveDevice = ::mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    const fs::path kept = Elsewhere.Path / "kept.mbox";
    WriteFile(kept, "mine");

    struct TCase {
        std::string Args;
        int Status;
        std::string Says;
    };
    std::vector<TCase> cases = {
        {"--mbox " + Quote(Image), 2, "is the drive or image being scanned"},
        {"--dfxml " + Quote(link.string()), 2, "is the drive or image being scanned"},
        {"--mbox " + Quote(fifo.string()), 2, "is a FIFO"},
        {"--dfxml " + Quote(Elsewhere.Path.string()), 2, "is a folder"},
        {"--mbox ''", 2, "--mbox: must not be empty"},
        {"--dfxml ''", 2, "--dfxml: must not be empty"},
        {"--mbox " + Quote(Dir.File("out.mbox")), 2, "folder that holds the image"},
        {"--mbox " + Quote(kept.string()) + " --no-clobber", 1, "exists already"},
    };
    if (haveDevice) cases.push_back({"--mbox " + Quote(device.string()), 2, "is a device"});
    for (const TCase& c : cases) {
        const TRun r = RunCli(Scan(c.Args));
        EXPECT_EQ(r.Status, c.Status) << c.Args << "\n" << r.Err;
        EXPECT_NE(r.Err.find(c.Says), std::string::npos) << c.Args << "\n" << r.Err;
        EXPECT_EQ(r.Out, "") << c.Args; // refused before the scan listed anything
    }
    EXPECT_EQ(ReadAll(Image), evidence);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(fs::is_fifo(fifo));
    if (haveDevice) {
        EXPECT_TRUE(fs::is_character_file(device));
    }
    EXPECT_EQ(ReadAll(kept), "mine");
    EXPECT_FALSE(fs::exists(Dir.File("out.mbox")));
    EXPECT_EQ(FileNames(Dir.Path), std::vector<std::string>{"ev.img"});

    // Beside the image when asked to; through a link to where the link points, the link kept.
    TRun r = RunCli(Scan("--mbox " + Quote(Dir.File("out.mbox")) + " --force"));
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(ReadAll(Dir.File("out.mbox")).find("Subject: second"), std::string::npos);
    const fs::path report = Elsewhere.Path / "report.xml";
    const fs::path toReport = Elsewhere.Path / "to-report.xml";
    fs::create_symlink(report, toReport);
    r = RunCli(Scan("--dfxml " + Quote(toReport.string())));
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_TRUE(fs::is_symlink(toReport));
    EXPECT_NE(ReadAll(report).find("<dfxml"), std::string::npos);
    EXPECT_EQ(ReadAll(Image), evidence);
}

} // namespace
