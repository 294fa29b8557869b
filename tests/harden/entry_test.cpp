// Bad input at the command-line scanner's door and exports into places that refuse them: a clear
// message naming what failed, a clean exit status, no success claimed, no partial file left.

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/Export.h"
#include "tests/engine/scan/ScanTestSupport.h"
#include "tests/support/CliRunner.h"

namespace fs = std::filesystem;

namespace {

TEST(BadInput, CliRefusesEachWithOneClearLineAndLeavesNothing) {
    TTempDir dir;
    const fs::path out = dir.Path / "out";
    fs::create_directories(out);
    const std::string fifo = dir.File("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string shortFile = dir.File("short.img");
    TImage(shortFile, 100);
    const std::string sector = dir.File("one-sector.img");
    TImage(sector, 512);
    const std::string empty = dir.File("empty.img");
    TImage(empty, 0);
    fs::create_symlink(dir.File("loop-b"), dir.File("loop-a"));
    fs::create_symlink(dir.File("loop-a"), dir.File("loop-b"));

    struct TCase {
        std::string Args;
        int Status;
        std::string Says; // part of the message
    };
    const std::string exportArgs = " --export " + Quote(out.string()) + " --all";
    const std::vector<TCase> cases = {
        {"scan " + Quote(dir.File("missing.img")), 1, "no such file"},
        {"scan " + Quote(dir.Path.string()), 1, "folder"},
        {"scan " + Quote(empty), 1, "empty"},
        {"scan " + Quote(shortFile), 1, "smaller than one sector"},
        {"scan " + Quote(sector) + " --sector-size 4096", 1, "smaller than one sector"},
        {"scan " + Quote(fifo), 1, "not a drive"}, // must not wait for a writer
        {"scan /dev/zero", 1, "not a drive"},
        {"scan " + Quote(dir.File("loop-a")), 1, "cannot be opened"},
        {"scan ''", 1, "no drive or disk image given"},
        {"scan " + Quote(sector) + " --sector-size 0", 2, "power of two"},
        {"scan " + Quote(sector) + " --sector-size 513", 2, "power of two"},
        {"scan " + Quote(sector) + " --sector-size 4294967808", 2, "power of two"},
        {"scan " + Quote(sector) + " --sector-size -512", 2, "sector-size"},
        {"scan " + Quote(sector) + " --sector-size 512x", 2, "sector-size"},
        {"scan " + Quote(sector) + " --keyword ''", 2, "--keyword: must not be empty"},
    };
    for (const TCase& c : cases) {
        for (const std::string& extra : {std::string(), exportArgs}) {
            SCOPED_TRACE(c.Args + extra);
            const TRun r = RunCli(c.Args + extra);
            EXPECT_EQ(r.Status, c.Status) << r.Err;
            EXPECT_NE(r.Err.find(c.Says), std::string::npos) << r.Err;
            EXPECT_EQ(r.Out, "");
            EXPECT_LE(std::count(r.Err.begin(), r.Err.end(), '\n'), 2) << r.Err;
            EXPECT_TRUE(fs::is_empty(out)) << "something was written";
        }
    }
    // A one-sector image is no error: nothing to find, an empty table.
    const TRun ok = RunCli("scan " + Quote(sector) + " --json");
    EXPECT_EQ(ok.Status, 0) << ok.Err;
    EXPECT_EQ(ok.Out.find("\"item\""), std::string::npos);
    // An image whose last sector is cut short is scanned, and the user told what is left out.
    const std::string partial = dir.File("partial.img");
    TImage(partial, 4 * 512 + 100);
    const TRun cut = RunCli("scan " + Quote(partial));
    EXPECT_EQ(cut.Status, 0) << cut.Err;
    EXPECT_NE(cut.Err.find("the last 100 bytes are not a whole sector and are not scanned"),
              std::string::npos)
        << cut.Err;
    EXPECT_EQ(RunCli("scan " + Quote(sector)).Err, "") << "a whole image gets no warning";
}

// A tmpfs of its own, mounted for one test; Skipped when this process may not mount. The faults
// of a refusing disk are played without one (export_test); this checks a real one end to end.
class TMount {
  public:
    TMount(const fs::path& At, const char* Options, unsigned long Flags) : FAt(At) {
        fs::create_directories(At);
        Mounted = ::mount("pw-test", At.c_str(), "tmpfs", Flags, Options) == 0;
        Why = Mounted ? "" : std::strerror(errno);
    }
    ~TMount() {
        if (Mounted) ::umount2(FAt.c_str(), MNT_DETACH);
    }
    TMount(const TMount&) = delete;
    TMount& operator=(const TMount&) = delete;
    bool Mounted = false;
    std::string Why;

  private:
    fs::path FAt;
};

TEmailArray ThreeMessages(std::size_t MiddleSize) {
    TEmailArray emails(3);
    emails[0].FullText = MessageOfLength(20000, "zero");
    emails[1].FullText = MessageOfLength(MiddleSize, "one");
    emails[2].FullText = MessageOfLength(1000, "two");
    return emails;
}

const std::vector<TExportRow> Rows = {{0, 0}, {1, 1}, {2, 2}};

TEST(ExportFaults, TargetThatCannotBeReplacedIsNamedAndTheRestWritten) {
    TTempDir dir;
    const fs::path folder = dir.Path / "out";
    fs::create_directories(folder / "RecoveredEmail0.eml" / "inside");
    fs::create_directories(folder / "RecoveredEmail2.eml");
    const TEmailArray emails = ThreeMessages(500);
    const TExportReport report = ExportRows(folder.string(), emails, Rows);
    EXPECT_FALSE(report.Ok());
    ASSERT_EQ(report.Failures.size(), 2u);
    EXPECT_EQ(report.Failures[0].File, (folder / "RecoveredEmail0.eml").string());
    EXPECT_EQ(report.Failures[1].File, (folder / "RecoveredEmail2.eml").string());
    for (const TExportFailure& f : report.Failures)
        EXPECT_FALSE(f.Reason.empty());
    EXPECT_EQ(report.Written, 1u);
    EXPECT_EQ(ReadAll(folder / "RecoveredEmail1.eml"), emails[1].FullText);
    EXPECT_TRUE(fs::is_directory(folder / "RecoveredEmail0.eml" / "inside"));
    EXPECT_EQ(FileNames(folder),
              (std::vector<std::string>{"RecoveredEmail0.eml", "RecoveredEmail1.eml",
                                        "RecoveredEmail2.eml"}));
}

TEST(ExportFaults, CliReportsAFullFileSystemAsFailureNotSuccess) {
    TTempDir dir;
    const fs::path full = dir.Path / "full";
    TMount small(full, "size=64k", 0);
    if (!small.Mounted) GTEST_SKIP() << "cannot mount a tmpfs here: " << small.Why;
    const std::string image = dir.File("disk.img");
    TImage img(image, 4000 * 512);
    img.Put(512, MessageOfLength(1000, "small")).Put(100 * 512, MessageOfLength(300000, "big"));
    const TRun r = RunCli("scan " + Quote(image) + " --export " + Quote(full.string()) + " --all");
    EXPECT_EQ(r.Status, 1) << r.Err;
    EXPECT_NE(r.Err.find("RecoveredEmail1.eml: not written"), std::string::npos) << r.Err;
    EXPECT_EQ(r.Err.find("exported to"), std::string::npos) << r.Err;
    EXPECT_EQ(FileNames(full), std::vector<std::string>{"RecoveredEmail0.eml"});
}

} // namespace
