// parcelwright-cli with --deep, and with EWF images, run as a user runs it.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/CliFormat.h"
#include "tests/engine/deep/DeepCorpus.h"
#include "tests/support/CliRunner.h"

namespace fs = std::filesystem;

namespace {

// The values of one key in the scanner's JSON, as written (strings with their quotes).
std::vector<std::string> RawValues(const std::string& Json, const std::string& Key) {
    std::vector<std::string> Values;
    const std::string Needle = "\"" + Key + "\": ";
    for (std::size_t At = Json.find(Needle); At != std::string::npos;
         At = Json.find(Needle, At + 1)) {
        const std::size_t From = At + Needle.size();
        std::size_t To = From;
        if (Json[From] == '"') {
            for (To = From + 1; Json[To] != '"'; ++To)
                if (Json[To] == '\\') ++To;
            ++To;
        } else {
            To = Json.find_first_of(",}", From);
        }
        Values.push_back(Json.substr(From, To - From));
    }
    return Values;
}

class DeepCliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Dir = fs::temp_directory_path() /
              ("pw-deepcli-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(Dir);
        Corpus = MakeDeepCorpus(31, 24);
        Image = (Dir / "mail.img").string();
        std::ofstream(Image, std::ios::binary).write(Corpus.Image.data(), Corpus.Image.size());
    }
    void TearDown() override { fs::remove_all(Dir); }

    std::vector<std::string> Expected() const {
        std::vector<std::string> Texts;
        for (const std::string& Message : Corpus.Messages)
            Texts.push_back(JsonByteString(Message));
        return Texts;
    }

    fs::path Dir;
    TDeepCorpus Corpus;
    std::string Image;
};

TEST_F(DeepCliTest, DeepFlagRecoversThePlantedMessagesAndNamesTheRule) {
    const TRun Deep = RunCli("scan '" + Image + "' --deep --json");
    ASSERT_EQ(Deep.Status, 0);
    EXPECT_TRUE(RawValues(Deep.Out, "fulltext") == Expected());
    EXPECT_EQ(RawValues(Deep.Out, "rule"),
              std::vector<std::string>(Corpus.Messages.size(), "\"deep\""));
    std::vector<std::string> Offsets;
    for (std::uint64_t Offset : Corpus.Offsets)
        Offsets.push_back(std::to_string(Offset));
    EXPECT_EQ(RawValues(Deep.Out, "offset"), Offsets);

    // Without the flag the standard rule alone runs, as before.
    const TRun Standard = RunCli("scan '" + Image + "' --json");
    ASSERT_EQ(Standard.Status, 0);
    const std::vector<std::string> Rules = RawValues(Standard.Out, "rule");
    EXPECT_EQ(Rules, std::vector<std::string>(Rules.size(), "\"standard\""));
    EXPECT_FALSE(RawValues(Standard.Out, "fulltext") == Expected());

    const TRun Help = RunCli("scan --help");
    EXPECT_NE(Help.Out.find("--deep"), std::string::npos);
    EXPECT_NE(Help.Out.find(".E01"), std::string::npos);
}

TEST_F(DeepCliTest, AnEwfImageIsATarget) {
    if (std::system("command -v ewfacquirestream >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ewfacquirestream not installed";
    const std::string Command = "ewfacquirestream -q -c fast -t '" + (Dir / "mail").string() +
                                "' < '" + Image + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(Command.c_str()), 0);
    const std::string E01 = (Dir / "mail.E01").string();

    const TRun Deep = RunCli("scan '" + E01 + "' --deep --json");
    ASSERT_EQ(Deep.Status, 0);
    EXPECT_TRUE(RawValues(Deep.Out, "fulltext") == Expected());
    EXPECT_EQ(RunCli("scan '" + E01 + "' --json").Out, RunCli("scan '" + Image + "' --json").Out);

    // A damaged first segment is refused with an error, not scanned as nothing.
    std::string Head(512, '\0');
    std::ifstream(E01, std::ios::binary).read(Head.data(), 64);
    std::ofstream(E01, std::ios::binary | std::ios::trunc).write(Head.data(), 13);
    EXPECT_EQ(RunCli("scan '" + E01 + "' --deep").Status, 1);
}

} // namespace

TEST_F(DeepCliTest, MessagesInsideAGzipAndThoseMarkedDeletedSayWhereAndWhat) {
    if (std::system("command -v python3 >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
    // An mbox.gz of two LF messages (the second expunged) at byte 2048, then a CR LF message
    // whose mail program marked it deleted at byte 8192.
    const std::string First = "From: a@x.org\nTo: b@x.org\nSubject: one\n"
                              "Date: Mon, 2 Mar 2020 09:00:00 +0000\n\nfirst\n";
    const std::string Second = "From: c@x.org\nTo: d@x.org\nSubject: two\n"
                               "Date: Mon, 2 Mar 2020 10:00:00 +0000\nX-Mozilla-Status: 0009\n\n"
                               "second\n";
    const std::string Mbox = "From a@x.org Mon Mar  2 09:00:00 2020\n" + First +
                             "\nFrom c@x.org Mon Mar  2 10:00:00 2020\n" + Second;
    std::ofstream(Dir / "mbox", std::ios::binary).write(Mbox.data(), Mbox.size());
    ASSERT_EQ(std::system(("python3 -c \"import gzip,sys; open(sys.argv[2],'wb').write("
                           "gzip.compress(open(sys.argv[1],'rb').read()))\" '" +
                           (Dir / "mbox").string() + "' '" + (Dir / "mbox.gz").string() + "'")
                              .c_str()),
              0);
    std::ifstream In(Dir / "mbox.gz", std::ios::binary);
    const std::string Gz((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    const std::string Third = "From: e@x.org\r\nTo: f@x.org\r\nSubject: three\r\nStatus: RO\r\n"
                              "X-Status: D\r\n\r\nthird\r\n";
    std::string Bytes(2048, '\0');
    Bytes += Gz;
    Bytes.resize(8192, '\0');
    Bytes += Third;
    Bytes.resize(16384, '\0');
    const std::string Path = (Dir / "gz.img").string();
    std::ofstream(Path, std::ios::binary).write(Bytes.data(), Bytes.size());

    const std::string Fields = " --json-lines --fields offset,fulltext,client_deleted";
    TRun Run = RunCli("scan '" + Path + "' --deep" + Fields);
    ASSERT_EQ(Run.Status, 0) << Run.Err;
    EXPECT_EQ(RawValues(Run.Out, "offset"), (std::vector<std::string>{"2048", "2048", "8192"}));
    EXPECT_EQ(RawValues(Run.Out, "fulltext"),
              (std::vector<std::string>{JsonByteString(First), JsonByteString(Second),
                                        JsonByteString(Third)}));
    EXPECT_EQ(RawValues(Run.Out, "client_deleted"),
              (std::vector<std::string>{"false", "true", "true"}));
    // The steps inside, on the same lines.
    Run = RunCli("scan '" + Path + "' --deep --json-lines --fields fulltext,inside");
    const std::string At = std::to_string(Mbox.find("From c@x.org") + 38);
    EXPECT_NE(Run.Out.find("\"inside\": [{\"kind\": \"gzip\", \"offset\": 2048, \"at\": 38}]}\n"),
              std::string::npos)
        << Run.Out;
    EXPECT_NE(
        Run.Out.find("\"inside\": [{\"kind\": \"gzip\", \"offset\": 2048, \"at\": " + At + "}]}\n"),
        std::string::npos)
        << Run.Out;
    EXPECT_NE(Run.Out.find("\"inside\": []}\n"), std::string::npos) << Run.Out;

    // Only the marked ones; the standard rule opens no archive.
    Run = RunCli("scan '" + Path + "' --deep --client-deleted" + Fields);
    EXPECT_EQ(RawValues(Run.Out, "client_deleted"), (std::vector<std::string>{"true", "true"}));
    Run = RunCli("scan '" + Path + "'" + Fields);
    EXPECT_EQ(RawValues(Run.Out, "offset"), (std::vector<std::string>{"8192"}));

    // The report's byte run of a message inside is the stream's on the image.
    Run = RunCli("scan '" + Path + "' --deep --dfxml '" + (Dir / "r.xml").string() + "'");
    std::ifstream Report(Dir / "r.xml");
    const std::string Xml((std::istreambuf_iterator<char>(Report)),
                          std::istreambuf_iterator<char>());
    if (!Xml.empty()) {
        EXPECT_NE(
            Xml.find("img_offset=\"2048\" len=\"" + std::to_string(Gz.size()) + "\" type=\"gzip\""),
            std::string::npos)
            << Xml;
    }
}
