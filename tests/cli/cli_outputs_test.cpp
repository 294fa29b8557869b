// What the command-line scanner writes besides its standard output: reports that never replace
// what the scan reads or a special file, and everything found still written when Ctrl+C comes
// after the scan.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/CliMail.h"
#include "tests/cli/CliImages.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// The scanner with its standard output read by Reader through a pipe; Status is the scanner's.
TRun RunReadBy(const std::string& Args, const std::string& Reader) {
    TTempDir dir;
    const std::string err = dir.File("stderr"), status = dir.File("status");
    const std::string cmd = "{ timeout 60 " + Quote(PW_CLI) + " " + Args + " 2>" + Quote(err) +
                            " </dev/null; echo $? >" + Quote(status) + "; } | " + Reader;
    TRun run;
    std::FILE* p = popen(cmd.c_str(), "r");
    if (!p) return run;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        run.Out.append(buf, n);
    pclose(p);
    run.Status = std::stoi("0" + ReadAll(status));
    run.Err = ReadAll(err);
    return run;
}

class CliOutputsTest : public TTwoMessageImageTest {
  protected:
    std::string ImageName() const override { return "ev.img"; }
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
    // A build that writes no reports refuses --dfxml for that reason alone.
    const bool reports = CanDecodeMail();
    if (!reports)
        std::erase_if(cases, [](const TCase& c) { return c.Args.rfind("--dfxml", 0) == 0; });
    // A link the system resolves to the program's own standard output, a pipe here.
    const fs::path toStdout = Elsewhere.Path / "stdout";
    fs::create_symlink("/proc/self/fd/1", toStdout);
    cases.push_back({"--mbox " + Quote(toStdout.string()), 2, "is a FIFO"});
    for (const TCase& c : cases) {
        const TRun r = RunCli(Scan(c.Args));
        EXPECT_EQ(r.Status, c.Status) << c.Args << "\n" << r.Err;
        EXPECT_NE(r.Err.find(c.Says), std::string::npos) << c.Args << "\n" << r.Err;
        EXPECT_EQ(r.Out, "") << c.Args; // refused before the scan listed anything
    }
    EXPECT_EQ(ReadAll(Image), evidence);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(fs::is_symlink(toStdout));
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
    if (reports) {
        const fs::path report = Elsewhere.Path / "report.xml";
        const fs::path toReport = Elsewhere.Path / "to-report.xml";
        fs::create_symlink(report, toReport);
        r = RunCli(Scan("--dfxml " + Quote(toReport.string())));
        EXPECT_EQ(r.Status, 0) << r.Err;
        EXPECT_TRUE(fs::is_symlink(toReport));
        EXPECT_NE(ReadAll(report).find("<dfxml"), std::string::npos);
    }
    EXPECT_EQ(ReadAll(Image), evidence);
}

// Output that cannot be written ends the scan at once: the mailbox written beside holds only
// what was found by then. A reader gone is the same error on every path, mail decoded or not.
TEST_F(CliOutputsTest, TheScanStopsAtTheFirstResultThatCannotBeWritten) {
    constexpr int Messages = 2000;
    const std::string many = Dir.File("many.img");
    WriteManyMessages(many, Messages);
    const std::string scan = "scan " + Quote(many) + " ";
    auto mailboxCount = [](const std::string& Box) {
        const std::string text = ReadAll(Box);
        std::size_t count = text.rfind("From ", 0) == 0 ? 1 : 0;
        for (std::size_t at = text.find("\n\nFrom "); at != std::string::npos;
             at = text.find("\n\nFrom ", at + 1))
            ++count;
        return count;
    };
    const std::string box = Elsewhere.File("found.mbox");
    TRun r = RunCli(scan + "--mbox " + Quote(box));
    ASSERT_EQ(r.Status, 0) << r.Err;
    ASSERT_EQ(mailboxCount(box), std::size_t{Messages});

    for (const std::string& format : {std::string("--json-lines"), std::string("--json")}) {
        r = RunCliWith(scan + format + " --mbox " + Quote(box), ">/dev/full");
        EXPECT_EQ(r.Status, 1) << format;
        EXPECT_NE(r.Err.find("No space left on device"), std::string::npos) << r.Err;
        EXPECT_LT(mailboxCount(box), std::size_t{Messages / 2}) << format;
    }

    for (const std::string& fields : {std::string(""), std::string(" --fields item,decoded")}) {
        // More lines than a pipe holds: the reader leaves while the scanner still writes.
        r = RunReadBy(scan + "--json-lines" + fields + " --mbox " + Quote(box), "head -n1");
        EXPECT_EQ(r.Status, 1) << fields << "\n" << r.Err;
        EXPECT_NE(r.Err.find("Broken pipe"), std::string::npos) << r.Err;
        EXPECT_EQ(r.Out.find("\"item\": 0"), 1u) << r.Out;
        EXPECT_LT(mailboxCount(box), std::size_t{Messages}) << fields;
    }

    // The last lines reach the reader when the scan ends, not once the export is done: by the
    // time it has read them, the export has barely begun.
    const fs::path out = Elsewhere.Path / "eml";
    fs::create_directories(out);
    const std::string count = Elsewhere.File("count");
    r = RunReadBy(scan + "--json-lines --fields item --export " + Quote(out.string()) + " --all",
                  "{ head -n " + std::to_string(Messages) + " >/dev/null; ls " +
                      Quote(out.string()) + " | grep -c 'eml$' >" + Quote(count) + "; }");
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_LT(std::stoul("0" + ReadAll(count)), std::size_t{Messages});
    EXPECT_EQ(FileNames(out).size(), std::size_t{Messages});
}

// Rows past the list leave the mailbox written; a link to the image guards the image's own
// folder; a sector size a block device does not have is wrong usage.
TEST_F(CliOutputsTest, SmallerFaultsAroundTheWrites) {
    const fs::path out = Elsewhere.Path / "out";
    fs::create_directories(out);
    const std::string box = Elsewhere.File("found.mbox");
    TRun r = RunCli(Scan("--export " + Quote(out.string()) + " --items 5 --mbox " + Quote(box)));
    EXPECT_EQ(r.Status, 2);
    EXPECT_NE(r.Err.find("row 5 is not in the list"), std::string::npos) << r.Err;
    EXPECT_NE(ReadAll(box).find("Subject: second"), std::string::npos) << r.Err;

    const fs::path link = Elsewhere.Path / "link.img";
    fs::create_symlink(Image, link);
    r = RunCli("scan " + Quote(link.string()) + " --export " + Quote(Dir.Path.string()) + " --all");
    EXPECT_EQ(r.Status, 2);
    EXPECT_NE(r.Err.find("is the folder that holds the image being scanned"), std::string::npos)
        << r.Err;
    EXPECT_EQ(FileNames(Dir.Path), std::vector<std::string>{"ev.img"});

    std::string device;
    if (std::FILE* p = popen(("losetup -f --show " + Quote(Image) + " 2>/dev/null").c_str(), "r")) {
        char line[256] = {};
        if (std::fgets(line, sizeof line, p)) device = line;
        pclose(p);
    }
    if (!device.empty() && device.back() == '\n') device.pop_back();
    if (device.empty()) GTEST_SKIP() << "no loop device here";
    r = RunCli("scan " + Quote(device) + " --sector-size 4096");
    std::system(("losetup -d " + Quote(device)).c_str());
    EXPECT_EQ(r.Status, 2) << r.Err;
    EXPECT_NE(r.Err.find("a block device has its own sector size"), std::string::npos) << r.Err;
}

// A report is well-formed XML whatever the names in it, and is handed to the file a piece at a
// time as it is made: memory does not grow with the rows.
TEST_F(CliOutputsTest, TheReportIsWellFormedAndWrittenAsItGoes) {
    if (!CanDecodeMail()) GTEST_SKIP() << "this build writes no reports";
    // U+FFFE, U+FFFF and U+FDD0 in the image's name, which the report names twice.
    TTempDir images;
    const std::string odd = images.File("ev\xEF\xBF\xBE\xEF\xBF\xBF\xEF\xB7\x90.img");
    fs::copy_file(Image, odd);
    const std::string report = Elsewhere.File("report.xml");
    const TRun r = RunCli("scan " + Quote(odd) + " --dfxml " + Quote(report));
    ASSERT_EQ(r.Status, 0) << r.Err;
    const std::string check = "python3 -c 'import sys, xml.etree.ElementTree as E; "
                              "r = E.parse(sys.argv[1]).getroot(); "
                              "print(len(r.findall(\".//{*}fileobject\")))' " +
                              Quote(report);
    std::string parsed;
    if (std::FILE* p = popen(check.c_str(), "r")) {
        char line[64] = {};
        while (std::fgets(line, sizeof line, p))
            parsed += line;
        pclose(p);
    }
    EXPECT_EQ(parsed, "2\n") << ReadAll(report);
    EXPECT_NE(ReadAll(report).find("ev\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD.img"),
              std::string::npos);

    // Pieces as the report is made, each a small part of the whole, together the whole.
    class TRecordingOutput : public TExportOutput {
      public:
        std::string WritePieces(const fs::path& Path,
                                const std::function<bool(std::string&)>& Next) override {
            std::string piece;
            while (Next(piece)) {
                Largest = std::max(Largest, piece.size());
                Whole += piece;
            }
            return TExportOutput::Write(Path, Whole);
        }
        std::size_t Largest = 0;
        std::string Whole;
    } output;
    TEmailArray many;
    for (int i = 0; i < 5000; ++i)
        many.push_back(TEmail{"a@example.org", "b@example.org", "row", "",
                              MakeMessage("a@example.org", "b@example.org", "row", "text"), ""});
    const TFoundEmails emails(many);
    std::vector<std::size_t> rows(many.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        rows[i] = i;
    const TEmailPlaces offsets(many.size(), TEmailPlace{512, TCarvingRule::Standard, {}});
    const TReportSource source{"disk.img", 1 << 20, "scan disk.img", 512, {}};
    EXPECT_EQ(
        WriteDfxmlReport(Elsewhere.File("many.xml"), source, emails, offsets, rows, true, output),
        "");
    EXPECT_EQ(output.Whole, DfxmlReport(source, emails, offsets, rows));
    EXPECT_EQ(ReadAll(Elsewhere.File("many.xml")), output.Whole);
    EXPECT_LT(output.Largest * 10, output.Whole.size());
}

// The first Ctrl+C during the export lets everything found be written: every .eml file, the
// mailbox and the report, no temporary file left, status 130. A second one ends it at once.
TEST_F(CliOutputsTest, CtrlCAfterTheScanStillWritesEverythingFound) {
    constexpr int Messages = 4000;
    const std::string many = Dir.File("many.img");
    WriteManyMessages(many, Messages);
    for (const int signals : {1, 2}) {
        TTempDir out;
        const fs::path folder = out.Path / "eml";
        fs::create_directories(folder);
        const std::string box = out.File("found.mbox"), report = out.File("found.xml");
        const std::string cli = PW_CLI;
        std::vector<std::string> args = {cli,     "scan",   many, "--export", folder.string(),
                                         "--all", "--mbox", box};
        // The report where the build writes reports.
        if (CanDecodeMail()) args.insert(args.end(), {"--dfxml", report});
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.File("stdout").c_str(),
                                         O_WRONLY | O_CREAT, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, out.File("stderr").c_str(),
                                         O_WRONLY | O_CREAT, 0600);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, cli.c_str(), &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        // Ctrl+C as soon as the export has begun.
        const auto start = std::chrono::steady_clock::now();
        while (!fs::exists(folder / "RecoveredEmail0.eml") &&
               std::chrono::steady_clock::now() - start < std::chrono::seconds(60))
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        ::kill(pid, SIGINT);
        int raw = 0;
        if (signals == 2) {
            // Two signals sent close together may both be pending before the first is handled,
            // and then arrive as one: the second is sent again until the program has ended.
            pid_t ended = 0;
            const auto sent = std::chrono::steady_clock::now();
            while ((ended = ::waitpid(pid, &raw, WNOHANG)) == 0) {
                if (std::chrono::steady_clock::now() - sent > std::chrono::seconds(60)) {
                    ::kill(pid, SIGKILL);
                    ::waitpid(pid, &raw, 0);
                    FAIL() << "a second Ctrl+C did not end the program";
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                ::kill(pid, SIGINT);
            }
            ASSERT_EQ(ended, pid);
        } else {
            ASSERT_EQ(::waitpid(pid, &raw, 0), pid);
        }
        const std::string err = ReadAll(out.File("stderr"));
        if (signals == 2) {
            EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == SIGINT) << err;
            continue;
        }
        ASSERT_TRUE(WIFEXITED(raw)) << err;
        EXPECT_EQ(WEXITSTATUS(raw), 130) << err;
        EXPECT_EQ(FileNames(folder).size(), std::size_t{Messages});
        for (const std::string& name : FileNames(out.Path))
            EXPECT_EQ(name.find(".part"), std::string::npos) << name;
        const std::string mailbox = ReadAll(box);
        EXPECT_NE(mailbox.find("Subject: row " + std::to_string(Messages - 1) + "\r\n"),
                  std::string::npos);
        if (CanDecodeMail()) {
            EXPECT_NE(ReadAll(report).find("RecoveredEmail" + std::to_string(Messages - 1)),
                      std::string::npos);
        }
        EXPECT_NE(err.find("interrupted"), std::string::npos) << err;
    }
}

} // namespace
