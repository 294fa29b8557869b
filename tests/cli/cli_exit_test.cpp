// The command-line scanner's exit status tells the truth: results that could not be written, odd
// option values and sectors that could not be read never end in a quiet success.

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/CliFormat.h"
#include "tests/cli/CliImages.h"
#include "tests/support/EwfImages.h"

namespace fs = std::filesystem;

namespace {

std::string Repeat(const std::string& S, int N) {
    std::string out;
    for (int i = 0; i < N; ++i)
        out += S;
    return out;
}

using CliExitTest = TTwoMessageImageTest;

TEST_F(CliExitTest, ResultsThatCannotBeWrittenEndInStatusOne) {
    const TRun piped = RunCli(Scan("--json"));
    ASSERT_EQ(piped.Status, 0) << piped.Err;

    // A regular file gets exactly what a pipe gets.
    const std::string file = Dir.File("out.json");
    const TRun toFile = RunCli(Scan("--json >" + Quote(file)));
    EXPECT_EQ(toFile.Status, 0) << toFile.Err;
    EXPECT_EQ(ReadAll(file), piped.Out);

    for (const std::string& format : {std::string("--json"), std::string("")}) {
        const TRun full = RunCli(Scan(format + " >/dev/full"));
        EXPECT_EQ(full.Status, 1) << format;
        EXPECT_NE(full.Err.find("parcelwright-cli: standard output: the results could not be "
                                "written: No space left on device"),
                  std::string::npos)
            << full.Err;
    }

    // A file system that fills up part-way, where this user may mount one.
    const fs::path mount = Dir.Path / "small";
    fs::create_directories(mount);
    if (::mount("tmpfs", mount.c_str(), "tmpfs", 0, "size=8k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here";
    std::string big;
    {
        // Enough rows that the table outgrows the 8 KiB file system.
        TImage many(Dir.File("many.img"), 512 * 1024);
        for (int i = 1; i < 200; ++i)
            many.Put(static_cast<std::uint64_t>(i) * 2048,
                     MakeMessage("x@example.org", "y@example.org", "row " + std::to_string(i),
                                 Repeat("text ", 20)));
    }
    const TRun spilled =
        RunCli("scan " + Quote(Dir.File("many.img")) + " --json >" + Quote((mount / "o").string()));
    ::umount(mount.c_str());
    EXPECT_EQ(spilled.Status, 1);
    EXPECT_NE(spilled.Err.find("standard output: the results could not be written"),
              std::string::npos)
        << spilled.Err;
}

TEST_F(CliExitTest, EmptyAndMalformedValuesAreWrongUsageBeforeAnyScan) {
    const fs::path out = Elsewhere.Path / "out";
    fs::create_directories(out);
    struct TCase {
        std::string Args;
        std::string Says;
    };
    const TCase cases[] = {
        {"--export '' --all", "--export: must not be empty"},
        {"--export " + Quote(out.string()) + " --items ''", "--items"},
        {"--export " + Quote(out.string()) + " --items 0x1", "--items"},
        {"--export " + Quote(out.string()) + " --items 3-1", "--items"},
        {"--sector-size 0x200", "--sector-size"},
        {"--sector-size 1000", "--sector-size"},
    };
    for (const TCase& c : cases) {
        const TRun r = RunCli(Scan(c.Args));
        EXPECT_EQ(r.Status, 2) << c.Args << "\n" << r.Err;
        EXPECT_NE(r.Err.find(c.Says), std::string::npos) << c.Args << "\n" << r.Err;
        EXPECT_EQ(r.Out, "") << c.Args;
        EXPECT_TRUE(fs::is_empty(out)) << c.Args;
    }
}

TEST_F(CliExitTest, NumbersAreDecimalWhateverTheirLeadingZeros) {
    // An octal reading would make 0512 a 330-byte sector and lose the second message.
    const TRun plain = RunCli(Scan("--json --sector-size 512"));
    const TRun zero = RunCli(Scan("--json --sector-size 0512"));
    EXPECT_EQ(zero.Status, 0) << zero.Err;
    EXPECT_EQ(zero.Out, plain.Out);
    EXPECT_NE(zero.Out.find("second"), std::string::npos);

    // Row 010 is row ten, not row eight.
    EXPECT_EQ(ParseRowList("010,08"), (std::vector<TRowRange>{{10, 10}, {8, 8}}));
    EXPECT_EQ(ParseDecimal("0512"), 512u);
    EXPECT_EQ(ParseDecimal("+5"), std::nullopt);
    EXPECT_EQ(ParseDecimal("99999999999999999999999"), std::nullopt);
}

TEST_F(CliExitTest, ExportCountsTheFilesItWroteAndBoundsTheRowList) {
    const fs::path out = Elsewhere.Path / "out";
    fs::create_directories(out);
    TRun r = RunCli(Scan("--export " + Quote(out.string()) + " --items 1,1,0-1"));
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(r.Err.find("2 messages exported"), std::string::npos) << r.Err;
    EXPECT_EQ(FileNames(out).size(), 2u);

    // A huge range costs nothing until the rows are known, and is refused by the row count.
    r = RunCli(Scan("--export " + Quote(out.string()) + " --items " + Repeat("0-10000000,", 19) +
                    "0-10000000"));
    EXPECT_EQ(r.Status, 2);
    EXPECT_NE(r.Err.find("row 2 is not in the list (2 rows shown)"), std::string::npos) << r.Err;

    // Rows in the order first named, each once; the first one past the list is reported.
    std::optional<std::size_t> outside;
    EXPECT_EQ(ExpandRowList({{3, 4}, {1, 3}, {9, 12}}, 10, outside),
              (std::vector<std::size_t>{3, 4, 1, 2, 9}));
    EXPECT_EQ(outside, 10u);
    // A list of more stretches than anyone types is refused, not held.
    EXPECT_EQ(ParseRowList(Repeat("1,", 100000) + "1"), std::nullopt);
}

TEST_F(CliExitTest, TheImagesOwnFolderIsRefusedForExportUnlessForced) {
    TRun r = RunCli(Scan("--export " + Quote(Dir.Path.string()) + " --all"));
    EXPECT_EQ(r.Status, 2);
    EXPECT_NE(r.Err.find("is the folder that holds the image being scanned"), std::string::npos)
        << r.Err;
    EXPECT_FALSE(fs::exists(Dir.Path / "RecoveredEmail0.eml"));

    r = RunCli(Scan("--export " + Quote(Dir.Path.string()) + " --all --force"));
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_TRUE(fs::exists(Dir.Path / "RecoveredEmail1.eml"));
}

TEST_F(CliExitTest, NoClobberKeepsFilesThatExistAndSaysWhich) {
    const fs::path out = Elsewhere.Path / "out";
    fs::create_directories(out);
    std::ofstream(out / "RecoveredEmail1.eml") << "mine";
    TRun r = RunCli(Scan("--export " + Quote(out.string()) + " --all --no-clobber"));
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(ReadAll(out / "RecoveredEmail1.eml"), "mine");
    EXPECT_NE(ReadAll(out / "RecoveredEmail0.eml").find("Subject: first"), std::string::npos);
    EXPECT_NE(r.Err.find("RecoveredEmail1.eml: not written: a file of that name exists already"),
              std::string::npos)
        << r.Err;
    EXPECT_NE(r.Err.find("1 of 2 files could not be written"), std::string::npos) << r.Err;
    // Nothing is left behind under a temporary name.
    EXPECT_EQ(FileNames(out).size(), 2u);

    // Without it, the file is replaced by the message, as the desktop program's export does.
    r = RunCli(Scan("--export " + Quote(out.string()) + " --all"));
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(ReadAll(out / "RecoveredEmail1.eml").find("Subject: second"), std::string::npos);
}

// The scanner run with TMPDIR naming Folder.
TRun RunCliWithTmpDir(const std::string& Folder, const std::string& Args) {
    TTempDir dir;
    const std::string cmd = "TMPDIR=" + Quote(Folder) + " timeout 60 " + Quote(PW_CLI) + " " +
                            Args + " 2>" + Quote(dir.File("stderr")) + " </dev/null";
    TRun run;
    std::FILE* p = popen(cmd.c_str(), "r");
    if (!p) return run;
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        run.Out.append(buf, n);
    const int raw = pclose(p);
    run.Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.Err = ReadAll(dir.File("stderr"));
    return run;
}

TEST_F(CliExitTest, AScanStoppedEarlyIsAnErrorEvenWhereSectorsWereUnreadable) {
    // A scratch folder that cannot take a file is known before a scan that keeps the mail (to
    // compare the copies here).
    TRun r = RunCliWithTmpDir(Dir.File("no-such-folder"), Scan("--unique"));
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("no scratch file can be written in the temporary folder"),
              std::string::npos)
        << r.Err;
    EXPECT_EQ(r.Out, "");
    // Lines streamed as the messages come, or rows from the header fields alone: the mail is not
    // kept, and no scratch file is needed.
    for (const char* rows : {"--json-lines --fields item", "--json --fields item,subject", ""}) {
        r = RunCliWithTmpDir(Dir.File("no-such-folder"), Scan(rows));
        EXPECT_EQ(r.Status, 0) << rows << ": " << r.Err;
        EXPECT_EQ(r.Out, RunCli(Scan(rows)).Out) << rows;
        EXPECT_NE(r.Out, "") << rows;
    }

    // Unreadable sectors (a damaged chunk of an EWF set) and a scratch folder that fills up
    // after 32 MiB of mail: the scan stopped before the end, so it did not complete.
    if (const std::string why = EwfUnavailable(); !why.empty()) GTEST_SKIP() << why;
    TImage raw(Dir.File("mail.raw"), 40u << 20);
    for (std::uint64_t at = 64 * 1024; at + 64 * 1024 <= (40u << 20); at += 64 * 1024)
        raw.Put(at, MakeMessage("a@example.org", "b@example.org", "bulk " + std::to_string(at),
                                Repeat(std::string(78, 'm') + "\n", 700)));
    const std::string e01 = AcquireEwf(raw.Path(), Dir.Path / "mail", "-c none -S 1048576");
    ASSERT_FALSE(e01.empty());
    // A chunk in the second segment damaged: it fails its checksum and reads as unreadable.
    const fs::path second = Dir.Path / "mail.E02";
    std::string bytes = ReadAll(second);
    ASSERT_GT(bytes.size(), 1u << 19);
    for (std::size_t i = 0; i < 64; ++i)
        bytes[(1u << 19) + i] = static_cast<char>(~bytes[(1u << 19) + i]);
    WriteFile(second, bytes);
    const fs::path mount = Dir.Path / "small";
    fs::create_directories(mount);
    if (::mount("tmpfs", mount.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here";
    r = RunCliWithTmpDir(mount.string(),
                         "scan " + Quote(e01) + " --json-lines --fields item --unique");
    ::umount(mount.c_str());
    EXPECT_EQ(r.Status, 1) << r.Err;
    EXPECT_NE(r.Err.find("the scan stopped before the end"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find(" unreadable sectors (read as zeros)"), std::string::npos) << r.Err;
}

TEST_F(CliExitTest, NamesThatWouldBreakTheErrorLineAreQuoted) {
    // The shell's printf makes the name: a newline and an escape sequence inside it.
    const TRun r = RunCli("scan \"$(printf '" + Dir.Path.string() + "/no\\nsuch\\033[2J')\"");
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("/no\\nsuch\\x1b[2J': no such file or device"), std::string::npos)
        << r.Err;
    EXPECT_EQ(r.Err.find('\x1b'), std::string::npos);
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1);

    EXPECT_EQ(DisplayName("/dev/sdb1"), "/dev/sdb1");
    EXPECT_EQ(DisplayName("a'b\tc\x7f"), "$'a\\'b\\tc\\x7f'");
}

} // namespace
