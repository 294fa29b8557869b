// Threads and ranges: --jobs of any number, and ranges scanned apart and merged, list exactly
// what one scan lists; a merge refuses parts that do not make one scan of the target together.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/CliImages.h"
#include "tests/engine/deep/DeepCorpus.h"

namespace {

std::string Multipart(int N) {
    std::string m = "From: parts" + std::to_string(N) +
                    "@example.org\r\nTo: b@example.org\r\nSubject: parts\r\nMIME-Version: "
                    "1.0\r\nContent-Type: multipart/mixed; boundary=\"zz\"\r\n\r\n";
    for (int p = 0; p < 3; ++p) {
        m += "--zz\r\nContent-Type: text/plain\r\n\r\n";
        for (int l = 0; l < 40; ++l)
            m += "part " + std::to_string(p) + " line " + std::to_string(l) + "\r\n";
    }
    return m + "--zz--\r\n";
}

class CliJobsTest : public ::testing::Test {
  protected:
    TTempDir Dir;
    TTempDir Elsewhere; // what the merge writes lives apart from the image's folder
    std::string Image, Other;
    std::vector<std::uint64_t> Starts; // where planted messages begin
    int Made = 0;                      // part files made so far

    void SetUp() override {
        // Deep-rule mail one a sector, multipart messages spanning several sectors, then more.
        const TDeepCorpus corpus = MakeDeepCorpus(7, 60);
        std::string bytes = corpus.Image;
        Starts = corpus.Offsets;
        for (int i = 0; i < 12; ++i) {
            bytes.resize((bytes.size() + 511) / 512 * 512, '\0');
            Starts.push_back(bytes.size());
            bytes += Multipart(i);
        }
        bytes.resize((bytes.size() + 511) / 512 * 512 + 4096, '\0');
        Image = Dir.File("disk.img");
        std::ofstream(Image, std::ios::binary) << bytes;
        Other = Dir.File("other.img");
        std::ofstream(Other, std::ios::binary) << bytes << std::string(512, '\0');
    }

    std::uint64_t Size() const { return std::filesystem::file_size(Image); }

    // Parts cut at Cuts (byte offsets), scanned one by one; their file names.
    std::vector<std::string> Parts(const std::vector<std::uint64_t>& Cuts, const std::string& Rule,
                                   const std::string& Target = "") {
        std::vector<std::string> files;
        for (std::size_t i = 0; i + 1 < Cuts.size(); ++i) {
            const std::string file = Dir.File("p" + std::to_string(Made++) + ".part");
            const TRun run = RunCli("scan " + Quote(Target.empty() ? Image : Target) + " " + Rule +
                                    " --range " + std::to_string(Cuts[i]) + "-" +
                                    std::to_string(Cuts[i + 1]) + " --part " + Quote(file));
            EXPECT_EQ(run.Status, 0) << run.Err;
            EXPECT_EQ(run.Out, "");
            files.push_back(file);
        }
        return files;
    }

    static std::string Joined(const std::vector<std::string>& Files) {
        std::string s;
        for (const std::string& f : Files)
            s += " " + Quote(f);
        return s;
    }
};

} // namespace

TEST_F(CliJobsTest, AnyNumberOfJobsAndRangesMergedListWhatOneScanLists) {
    for (const std::string rule : {"", "--deep"}) {
        SCOPED_TRACE("rule " + rule);
        const TRun one = RunCli("scan " + Quote(Image) + " " + rule + " --json-lines --jobs 1");
        ASSERT_EQ(one.Status, 0) << one.Err;
        ASSERT_GT(std::count(one.Out.begin(), one.Out.end(), '\n'), 12);
        for (const char* jobs : {"2", "3", "8"}) {
            const TRun many =
                RunCli("scan " + Quote(Image) + " " + rule + " --json-lines --jobs " + jobs);
            EXPECT_EQ(many.Status, 0) << many.Err;
            EXPECT_EQ(many.Out, one.Out) << "--jobs " << jobs;
        }
        // Cut inside messages (a sector past their starts), at sector 0 and at the end.
        std::vector<std::uint64_t> cuts = {0};
        for (std::size_t i = 5; i < Starts.size(); i += 17)
            cuts.push_back(Starts[i] + 512);
        cuts.push_back(Starts[Starts.size() - 3] + 1024); // inside a multipart body
        cuts.push_back(Size());
        const std::vector<std::string> parts = Parts(cuts, rule);
        const TRun merged = RunCli("merge " + Quote(Image) + Joined(parts) + " --json-lines");
        EXPECT_EQ(merged.Status, 0) << merged.Err;
        EXPECT_EQ(merged.Out, one.Out);
        // The same parts in another order, with another output and a filter.
        std::vector<std::string> reversed(parts.rbegin(), parts.rend());
        const TRun json = RunCli("merge " + Quote(Image) + Joined(reversed) +
                                 " --json --keyword parts --sort from --descending");
        const TRun jsonWhole = RunCli("scan " + Quote(Image) + " " + rule +
                                      " --json --keyword parts --sort from --descending");
        EXPECT_EQ(json.Status, 0) << json.Err;
        EXPECT_EQ(json.Out, jsonWhole.Out);
    }
}

TEST_F(CliJobsTest, PartsThatDoNotMakeOneScanAreRefusedWithOneLineAndNothingWritten) {
    const std::uint64_t a = 0, b = 20 * 512, c = 64 * 512, d = Size();
    const std::vector<std::string> p = Parts({a, b, c, d}, "");
    const std::string overlap = Parts({0, 30 * 512}, "--deep").front(); // a deep part, [0, 30)
    std::filesystem::rename(overlap, Dir.File("deep.part"));
    const std::vector<std::string> wide = Parts({0, 30 * 512}, "");
    std::filesystem::rename(wide.front(), Dir.File("wide.part"));
    const std::vector<std::string> other = Parts({c, d + 512}, "", Other);
    std::filesystem::rename(other.front(), Dir.File("other.part"));
    // Another format version: the version field follows the 8-byte mark.
    std::string bytes = ReadAll(p[1]);
    bytes[8] = 9;
    std::ofstream(Dir.File("v9.part"), std::ios::binary) << bytes;
    const std::string truncated = ReadAll(p[1]);
    std::ofstream(Dir.File("short.part"), std::ios::binary)
        << truncated.substr(0, truncated.size() - 3);

    struct TCase {
        std::string Parts, Says;
    } cases[] = {
        {Quote(p[0]) + " " + Quote(p[2]), "gap"},
        {Quote(p[0]) + " " + Quote(p[1]), "gap after"},
        {Quote(Dir.File("wide.part")) + " " + Quote(p[1]) + " " + Quote(p[2]), "overlaps"},
        {Quote(p[0]) + " " + Quote(p[1]) + " " + Quote(Dir.File("other.part")), "another target"},
        {Quote(Dir.File("deep.part")) + " " + Quote(p[1]) + " " + Quote(p[2]), "rule"},
        {Quote(p[0]) + " " + Quote(Dir.File("v9.part")) + " " + Quote(p[2]), "version 9"},
        {Quote(p[0]) + " " + Quote(Dir.File("short.part")) + " " + Quote(p[2]), "cut short"},
        {Quote(p[0]) + " " + Quote(Dir.File("missing.part")) + " " + Quote(p[2]), "cannot be read"},
        {Quote(p[0]) + " " + Quote(Image) + " " + Quote(p[2]), "not a part file"},
    };
    for (const TCase& t : cases) {
        SCOPED_TRACE(t.Says);
        const std::string mbox = Elsewhere.File("out.mbox");
        const TRun run =
            RunCli("merge " + Quote(Image) + " " + t.Parts + " --json --mbox " + Quote(mbox));
        EXPECT_EQ(run.Status, 1);
        EXPECT_EQ(run.Out, "");
        EXPECT_NE(run.Err.find(t.Says), std::string::npos) << run.Err;
        EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'), 1) << run.Err;
        EXPECT_FALSE(std::filesystem::exists(mbox));
    }
    // The parts that fit are merged all the same.
    EXPECT_EQ(RunCli("merge " + Quote(Image) + Joined(p)).Status, 0);

    // A range must be sector-aligned and inside the target.
    for (const std::string& range : std::vector<std::string>{
             "1-1024", "0-1000", "1024-512", "0-" + std::to_string(d + 512), "abc"}) {
        const TRun run = RunCli("scan " + Quote(Image) + " --range " + range + " --part " +
                                Quote(Dir.File("x.part")));
        EXPECT_EQ(run.Status, 2) << range;
        EXPECT_NE(run.Err.find("--range"), std::string::npos) << run.Err;
        EXPECT_FALSE(std::filesystem::exists(Dir.File("x.part")));
    }
}

TEST_F(CliJobsTest, RangesCoverTheTargetInNearlyEqualSectorAlignedPiecesThatMergeToTheWholeScan) {
    const std::uint64_t sectors = Size() / 512;
    for (const std::uint64_t count :
         {std::uint64_t{1}, std::uint64_t{3}, std::uint64_t{7}, sectors - 1, sectors + 5}) {
        SCOPED_TRACE("count " + std::to_string(count));
        const TRun run = RunCli("ranges " + Quote(Image) + " " + std::to_string(count));
        ASSERT_EQ(run.Status, 0) << run.Err;
        std::vector<std::uint64_t> cuts = {0};
        std::uint64_t shortest = Size(), longest = 0;
        std::istringstream lines(run.Out);
        for (std::string line; std::getline(lines, line);) {
            const std::size_t dash = line.find('-');
            ASSERT_NE(dash, std::string::npos) << line;
            const std::uint64_t start = std::stoull(line.substr(0, dash));
            const std::uint64_t end = std::stoull(line.substr(dash + 1));
            EXPECT_EQ(start, cuts.back()) << line;
            EXPECT_EQ(end % 512, 0u) << line;
            ASSERT_GT(end, start) << line;
            shortest = std::min(shortest, end - start);
            longest = std::max(longest, end - start);
            cuts.push_back(end);
        }
        EXPECT_EQ(cuts.size() - 1, std::min(count, sectors));
        EXPECT_EQ(cuts.back(), Size());
        EXPECT_LE(longest - shortest, 512u);
        if (count == 3) {
            const TRun whole = RunCli("scan " + Quote(Image) + " --deep --json-lines");
            const TRun merged =
                RunCli("merge " + Quote(Image) + Joined(Parts(cuts, "--deep")) + " --json-lines");
            EXPECT_EQ(merged.Status, 0) << merged.Err;
            EXPECT_EQ(merged.Out, whole.Out);
        }
    }
    const TRun refused = RunCli("ranges " + Quote(Image) + " 0");
    EXPECT_EQ(refused.Status, 2);
}
