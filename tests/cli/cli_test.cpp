// The command-line scanner, run as a user runs it, and its output formats.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/CliFormat.h"
#include "app/CliProgress.h"
#include "app/CliTarget.h"
#include "tests/engine/scan/ScanTestSupport.h"
#include "tests/support/CliRunner.h"
#include "tests/support/FakeSystemLayer.h"

namespace fs = std::filesystem;

namespace {

// A decoder for the JSON strings the scanner writes: back from characters U+0000 to U+00FF to
// the bytes of the same codes. Fails the test on anything else.
std::string DecodeJsonString(const std::string& J, std::size_t& Pos) {
    std::string out;
    EXPECT_EQ(J[Pos], '"');
    ++Pos;
    while (Pos < J.size() && J[Pos] != '"') {
        auto c = static_cast<unsigned char>(J[Pos]);
        if (c == '\\') {
            const char e = J[Pos + 1];
            Pos += 2;
            switch (e) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case '/':
                out += '/';
                break;
            case 'u': {
                const unsigned v = std::stoul(J.substr(Pos, 4), nullptr, 16);
                EXPECT_LT(v, 0x100u);
                out += static_cast<char>(v);
                Pos += 4;
                break;
            }
            default:
                ADD_FAILURE() << "bad escape " << e;
                return out;
            }
        } else if (c < 0x80) {
            EXPECT_GE(c, 0x20) << "raw control character in JSON";
            out += static_cast<char>(c);
            ++Pos;
        } else {
            EXPECT_TRUE(c == 0xC2 || c == 0xC3) << "character beyond U+00FF";
            out += static_cast<char>(((c & 0x1F) << 6) |
                                     (static_cast<unsigned char>(J[Pos + 1]) & 0x3F));
            Pos += 2;
        }
    }
    ++Pos;
    return out;
}

// Every value of a key in the scanner's JSON, in order.
std::vector<std::string> JsonValues(const std::string& J, const std::string& Key) {
    std::vector<std::string> v;
    const std::string needle = "\"" + Key + "\": ";
    for (std::size_t at = J.find(needle); at != std::string::npos; at = J.find(needle, at)) {
        std::size_t pos = at + needle.size();
        if (J[pos] == '"') {
            v.push_back(DecodeJsonString(J, pos));
        } else {
            const std::size_t end = J.find_first_of(",}", pos);
            v.push_back(J.substr(pos, end - pos));
            pos = end;
        }
        at = pos;
    }
    return v;
}

class CliTest : public ::testing::Test {
  protected:
    TTempDir Dir;
    std::string Image;
    std::vector<std::string> Messages;

    void SetUp() override {
        Image = Dir.File("disk.img");
        TImage img(Image, 200 * 512);
        Messages = {
            MakeMessage("Zed <z@x>", "a@x", "Quoted \"title\" \\ and tab\there",
                        "Invoice attached"),
            MakeMessage("amy <amy@x>", "b@x", "beta", "nothing to see"),
            MakeMessage("Bob <bob@x>", "c@x", "alpha", "the INVOICE is late"),
        };
        img.Put(3 * 512, Messages[0]).Put(20 * 512, Messages[1]).Put(40 * 512, Messages[2]);
    }
};

TEST_F(CliTest, ListsTheFoundMessagesAsTheDesktopListDoes) {
    TRun r = RunCli("scan " + Quote(Image));
    EXPECT_EQ(r.Status, 0) << r.Err;
    std::istringstream lines(r.Out);
    std::string header, l0, l1, l2, extra;
    std::getline(lines, header);
    std::getline(lines, l0);
    std::getline(lines, l1);
    std::getline(lines, l2);
    EXPECT_FALSE(std::getline(lines, extra));
    EXPECT_EQ(header.rfind("Item Num", 0), 0u);
    for (const char* col : {"Date", "From", "To", "Subject"})
        EXPECT_NE(header.find(col), std::string::npos);
    EXPECT_NE(l0.find("Zed"), std::string::npos);
    EXPECT_NE(l0.find("Quoted \"title\" \\ and tab here"), std::string::npos); // tab shown as space
    EXPECT_NE(l1.find("amy"), std::string::npos);
    EXPECT_NE(l2.find("alpha"), std::string::npos);
    EXPECT_EQ(r.Err, ""); // not a terminal: no progress bar, no chatter
}

TEST_F(CliTest, KeywordAndSortShapeTheRows) {
    TRun r = RunCli("scan " + Quote(Image) + " --json --keyword invoice");
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(JsonValues(r.Out, "item"), (std::vector<std::string>{"0", "2"}));

    r = RunCli("scan " + Quote(Image) + " --json --sort from");
    EXPECT_EQ(JsonValues(r.Out, "item"), (std::vector<std::string>{"1", "2", "0"})); // amy Bob Zed
    r = RunCli("scan " + Quote(Image) + " --json --sort subject --descending");
    EXPECT_EQ(JsonValues(r.Out, "item"), (std::vector<std::string>{"0", "1", "2"}));
    r = RunCli("scan " + Quote(Image) + " --json --sort item --descending");
    EXPECT_EQ(JsonValues(r.Out, "item"), (std::vector<std::string>{"2", "1", "0"}));
}

TEST_F(CliTest, JsonCarriesEveryStoredByteAndTheOffset) {
    TRun r = RunCli("scan " + Quote(Image) + " --json");
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(JsonValues(r.Out, "fulltext"), Messages);
    EXPECT_EQ(JsonValues(r.Out, "offset"), (std::vector<std::string>{"1536", "10240", "20480"}));
    EXPECT_EQ(JsonValues(r.Out, "subject")[0], " Quoted \"title\" \\ and tab\there");

    // Every byte value survives the trip, in any order.
    std::string all;
    for (int b = 255; b >= 0; --b)
        all += static_cast<char>(b);
    const std::string json = JsonByteString(all + all);
    std::size_t pos = 0;
    EXPECT_EQ(DecodeJsonString(json, pos), all + all);
    EXPECT_EQ(pos, json.size());
}

// The keys of each object in a JSON text, object by object (keys of nested objects left out).
std::vector<std::vector<std::string>> JsonKeys(const std::string& J) {
    std::vector<std::vector<std::string>> objects;
    int depth = 0;
    for (std::size_t i = 0; i < J.size(); ++i) {
        if (J[i] == '"') {
            std::string text = DecodeJsonString(J, i);
            if (depth == 1 && J.compare(i, 2, ": ") == 0) objects.back().push_back(text);
            --i; // the loop steps past the string's closing quote
        } else if (J[i] == '{') {
            if (++depth == 1) objects.emplace_back();
        } else if (J[i] == '}') {
            --depth;
        }
    }
    return objects;
}

TEST_F(CliTest, JsonLinesHoldTheJsonObjectsOnePerLineWithTheFieldsAsked) {
    for (const std::string rest : {"", " --keyword invoice", " --sort from --descending"}) {
        const TRun array = RunCli("scan " + Quote(Image) + " --json" + rest);
        const TRun lines = RunCli("scan " + Quote(Image) + " --json-lines" + rest);
        ASSERT_EQ(array.Status, 0) << array.Err;
        ASSERT_EQ(lines.Status, 0) << lines.Err;
        // The array's rows, each on its own indented line, are the lines' objects in order.
        std::string expected;
        std::istringstream in(array.Out);
        for (std::string line; std::getline(in, line);) {
            if (line == "[" || line == "]") continue;
            if (line.back() == ',') line.pop_back();
            expected += line.substr(2) + "\n";
        }
        EXPECT_EQ(lines.Out, expected) << rest;
    }

    const std::vector<std::string> all = {
        "item",     "offset",  "rule",   "date",    "from",           "to",    "subject",
        "body",     "fulltext", "decoded", "sha256", "copy_of", "client_deleted", "inside"};
    TRun r = RunCli("scan " + Quote(Image) + " --json-lines");
    EXPECT_EQ(JsonKeys(r.Out), std::vector<std::vector<std::string>>(3, all));
    // Fields come in the order of --json whatever order they are named in.
    for (const char* format : {"--json", "--json-lines"}) {
        r = RunCli("scan " + Quote(Image) + " " + format + " --fields 'subject, item,offset'");
        ASSERT_EQ(r.Status, 0) << r.Err;
        EXPECT_EQ(JsonKeys(r.Out), std::vector<std::vector<std::string>>(
                                       3, std::vector<std::string>{"item", "offset", "subject"}))
            << format;
        EXPECT_EQ(JsonValues(r.Out, "offset"),
                  (std::vector<std::string>{"1536", "10240", "20480"}));
    }
    r = RunCli("scan " + Quote(Image) + " --json-lines --fields copy_of,sha256 --keyword zzz");
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "");

    // Wrong usage, before any scan.
    for (const char* args : {"--json-lines --fields item,size", "--json --fields ,", "--fields item",
                             "--json --json-lines"}) {
        r = RunCli("scan " + Quote(Image) + " " + args);
        EXPECT_EQ(r.Status, 2) << args;
        EXPECT_EQ(r.Out, "") << args;
    }
    r = RunCli("scan " + Quote(Image) + " --json --fields item,size");
    EXPECT_NE(r.Err.find("unknown field \"size\""), std::string::npos) << r.Err;
}

TEST_F(CliTest, ExportWritesChosenRowsByPositionAndRefusesABadFolder) {
    const fs::path out = Dir.Path / "out";
    fs::create_directories(out);
    // Sorted by From: row 0 is amy (item 1), row 2 is Zed (item 0).
    TRun r = RunCli("scan " + Quote(Image) + " --sort from --export " + Quote(out.string()) +
                    " --items 0,2");
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(ReadAll(out / "RecoveredEmail0.eml"), Messages[1]);
    EXPECT_EQ(ReadAll(out / "RecoveredEmail2.eml"), Messages[0]);
    EXPECT_FALSE(fs::exists(out / "RecoveredEmail1.eml"));

    r = RunCli("scan " + Quote(Image) + " --export " + Quote(out.string()) + " --all");
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(ReadAll(out / "RecoveredEmail1.eml"), Messages[1]);

    // A folder that cannot take files: an error naming it, nothing written, status 1.
    for (const std::string& bad : {(Dir.Path / "missing").string(), std::string("/proc")}) {
        r = RunCli("scan " + Quote(Image) + " --export " + Quote(bad) + " --all");
        EXPECT_EQ(r.Status, 1);
        EXPECT_NE(r.Err.find(bad + ": cannot write to the export folder"), std::string::npos)
            << r.Err;
        EXPECT_EQ(r.Out, "");
        EXPECT_FALSE(fs::exists(fs::path(bad) / "RecoveredEmail0.eml"));
    }

    // A file that cannot be written is named, the others are written, status 1.
    const fs::path part = Dir.Path / "part";
    fs::create_directories(part / "RecoveredEmail1.eml" / "x");
    r = RunCli("scan " + Quote(Image) + " --export " + Quote(part.string()) + " --all");
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("RecoveredEmail1.eml: not written"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("1 of 3 files could not be written"), std::string::npos) << r.Err;
    EXPECT_EQ(ReadAll(part / "RecoveredEmail2.eml"), Messages[2]);

    // A row the list does not show: wrong usage, nothing written.
    const fs::path none = Dir.Path / "none";
    fs::create_directories(none);
    r = RunCli("scan " + Quote(Image) + " --keyword invoice --export " + Quote(none.string()) +
               " --items 0,2");
    EXPECT_EQ(r.Status, 2);
    EXPECT_TRUE(fs::is_empty(none));
}

TEST_F(CliTest, BadTargetsGetOneLineNamingTargetAndCause) {
    const std::string missing = Dir.File("no-such.img");
    const std::string empty = Dir.File("empty.img");
    TImage(empty, 0);
    struct Case {
        std::string Target;
        std::string Cause;
    };
    for (const Case& c : {Case{missing, "no such file"}, Case{Dir.Path.string(), "not a drive"},
                          Case{empty, "empty"}, Case{"/dev/null", "not a drive"}}) {
        SCOPED_TRACE(c.Target);
        TRun r = RunCli("scan " + Quote(c.Target));
        EXPECT_EQ(r.Status, 1);
        EXPECT_EQ(r.Err.rfind("parcelwright-cli: " + c.Target + ": ", 0), 0u) << r.Err;
        EXPECT_NE(r.Err.find(c.Cause), std::string::npos) << r.Err;
        EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
        EXPECT_EQ(r.Out, "");
    }
}

TEST_F(CliTest, WrongUsageIsStatusTwoAndHelpDocumentsTheOptions) {
    const std::string img = Quote(Image);
    for (const std::string& args : std::vector<std::string>{
             "", "scan", "frobnicate", "scan " + Quote(Image) + " --bogus",
             "scan " + Quote(Image) + " --sort sender", "scan " + Quote(Image) + " --descending",
             "scan " + Quote(Image) + " --items 1", "scan " + Quote(Image) + " --export /tmp",
             "scan " + Quote(Image) + " --sector-size 1000",
             "scan " + Quote(Image) + " --export /tmp --items 1,x"}) {
        SCOPED_TRACE(args);
        TRun r = RunCli(args);
        EXPECT_EQ(r.Status, 2);
        EXPECT_FALSE(r.Err.empty());
    }
    TRun help = RunCli("scan --help");
    EXPECT_EQ(help.Status, 0);
    for (const char* opt : {"--sector-size", "--keyword", "--sort", "--descending", "--json",
                            "--export", "--items", "--all", "Exit status"})
        EXPECT_NE(help.Out.find(opt), std::string::npos) << opt;
    EXPECT_EQ(RunCli("--help").Status, 0);

    // The drive list: one readable drive per line, nothing else on standard output.
    TRun drives = RunCli("drives");
    EXPECT_EQ(drives.Status, 0);
    std::istringstream lines(drives.Out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_EQ(line.rfind("/dev/", 0), 0u) << line;
}

TEST(CliFormat, RowListsAndTerminalSafety) {
    EXPECT_EQ(ParseRowList("0,3,7"), (std::vector<TRowRange>{{0, 0}, {3, 3}, {7, 7}}));
    EXPECT_EQ(ParseRowList("2-4, 9"), (std::vector<TRowRange>{{2, 4}, {9, 9}}));
    EXPECT_EQ(ParseRowList(""), std::nullopt);
    EXPECT_EQ(ParseRowList("1,,2"), std::nullopt);
    EXPECT_EQ(ParseRowList("4-2"), std::nullopt);
    EXPECT_EQ(ParseRowList("-1"), std::nullopt);
    // Stored bytes never reach the terminal as control sequences.
    EXPECT_EQ(TerminalText("a\x1b[2Jb\x9b\x07\t\xe9"), "a?[2Jb?? \xc3\xa9");
}

TEST(CliProgress, LineShowsPositionRateAndTimeLeft) {
    std::ostringstream sink;
    TCliProgress p(sink, true, 512);
    p.ProgressOpen(2048 * 100);
    const std::string line = p.Line(2048 * 25, 2.0); // a quarter in two seconds
    EXPECT_NE(line.find(" 25.0%"), std::string::npos) << line;
    EXPECT_NE(line.find("sector 51200 of 204800"), std::string::npos) << line;
    EXPECT_NE(line.find("12.5 MiB/s"), std::string::npos) << line;
    EXPECT_NE(line.find("0:06 left"), std::string::npos) << line;
    p.ProgressClose();
    EXPECT_NE(sink.str().find('\r'), std::string::npos);

    std::ostringstream quiet;
    TCliProgress q(quiet, false, 512);
    q.ProgressOpen(10);
    q.ProgressPosition(5);
    q.ProgressClose();
    EXPECT_EQ(quiet.str(), "");
}

} // namespace

namespace {

TEST(CliTarget, CausesAreNamedPlainly) {
    TFakeSystem fake;
    fake.DriveLetters = false;
    fake.DeniedPaths.insert("/dev/sdz");
    TFakeDrive disk;
    disk.Size = 1 << 20;
    fake.Drives["/dev/sdy"] = disk;
    TFakeDrive odd;
    odd.Measurable = false;
    fake.Drives["/dev/tty9"] = odd;
    TFakeDrive empty;
    fake.Drives["/dev/sdx"] = empty;
    TFakeDrive tiny;
    tiny.Size = 100;
    fake.Drives["/img/tiny"] = tiny;

    EXPECT_EQ(TargetProblem(fake, "/dev/sdy"), "");
    EXPECT_EQ(TargetProblem(fake, "/dev/sdz"),
              "permission denied (run with the right to read the device)");
    EXPECT_EQ(TargetProblem(fake, "/dev/none"), "no such file or device");
    EXPECT_EQ(TargetProblem(fake, "/dev/tty9"), "not a drive or disk image");
    EXPECT_EQ(TargetProblem(fake, "/dev/sdx"), "empty");
    EXPECT_EQ(TargetProblem(fake, "/img/tiny").rfind("smaller than one sector", 0), 0u);
    EXPECT_EQ(TargetProblem(fake, "/dev/sdy", 4096), "");
    // Every probe closes what it opened.
    EXPECT_EQ(fake.OpenHandles, 0);
}

} // namespace
