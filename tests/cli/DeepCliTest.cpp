// parcelwright-cli with --deep, and with EWF images, run as a user runs it.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
