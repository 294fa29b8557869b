// End to end: the demo FAT image, most of its messages deleted, scanned raw.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/ScanHardDisk.h"
#include "tests/engine/scan/ScanTestSupport.h"

namespace fs = std::filesystem;

namespace {

// What the carving rule can bring back of a stored file: its bytes up to the first one that is
// not text, cut after the last complete line.
std::string Recoverable(const std::string& Stored) {
    std::size_t end = 0;
    while (end < Stored.size()) {
        const auto b = static_cast<unsigned char>(Stored[end]);
        const bool text =
            b == 0x09 || b == 0x0A || b == 0x0B || b == 0x0D || (b >= 0x20 && b <= 0x7E);
        if (!text) break;
        ++end;
    }
    const std::size_t lineEnd = Stored.rfind("\r\n", end >= 2 ? end - 2 : 0);
    return lineEnd == std::string::npos ? "" : Stored.substr(0, lineEnd + 2);
}

TEST(DemoImage, EveryDeletedMessageComesBackByteForByte) {
#ifdef _WIN32
    GTEST_SKIP() << "the demo image is made by a POSIX shell script";
#endif
    TTempDir dir;
    const std::string image = dir.File("demo.img");
    const fs::path stored = dir.Path / "stored";
    const std::string cmd = "bash '" PW_SOURCE_DIR "/scripts/make-demo-image.sh' '" + image +
                            "' '" + stored.string() + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;

    TRecordingHost host;
    const TEmailArray found = TScanHardDisk(image, {}, host).ScanDrive().Emails.ToArray();

    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(stored))
        files.push_back(e.path());
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 10u);

    // Each stored file comes back as one found message, or as consecutive ones (a mailbox of
    // messages back to back), whose full texts joined are exactly its recoverable bytes.
    std::size_t matched = 0;
    for (const fs::path& f : files) {
        SCOPED_TRACE(f.filename().string());
        const std::string want = Recoverable(ReadAll(f));
        ASSERT_FALSE(want.empty());
        bool ok = false;
        for (std::size_t i = 0; i < found.size() && !ok; ++i) {
            if (want.compare(0, found[i].FullText.size(), found[i].FullText) != 0 ||
                found[i].FullText.empty())
                continue;
            std::string joined;
            std::size_t j = i;
            while (j < found.size() && joined.size() < want.size())
                joined += found[j++].FullText;
            if (joined == want) {
                ok = true;
                matched += j - i;
            }
        }
        EXPECT_TRUE(ok) << "not recovered";
    }
    // Nothing else is taken for a message: ordinary files and the file system yield none.
    EXPECT_EQ(matched, found.size());
    EXPECT_GE(found.size(), 12u);
}

} // namespace
