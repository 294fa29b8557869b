#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "disk/DiskBuffer.h"
#include "disk/Error.h"
#include "disk/SystemLayer.h"
#include "engine/Copies.h"
#include "engine/FoundEmails.h"
#include "engine/LargeBlocks.h"
#include "engine/MboxExport.h"
#include "engine/ScanHardDisk.h"
#include "tests/engine/scan/ScanTestSupport.h"
#include "tests/support/FakeSystemLayer.h"
#include "tests/support/ImageBuilder.h"
#include "tests/support/TempDir.h"

namespace {

// Messages of every shape the list must give back unchanged: bodies at the text's end, none, one
// made apart from the text, bytes of every value, and texts of a few bytes to a few MiB.
TEmailArray Shapes(std::size_t Count, std::uint32_t Seed) {
    std::mt19937 random(Seed);
    TEmailArray out;
    for (std::size_t i = 0; i < Count; ++i) {
        TEmail e;
        e.From = " sender" + std::to_string(i) + "@example.org";
        e.To = i % 3 ? " to@example.org" : "";
        e.Subject = " subject \xE9\x00\xFF " + std::to_string(random());
        e.Date = i % 5 ? " Mon, 7 Dec 2026 10:00:00 +0000" : "";
        const std::size_t size = i % 17 == 0 ? (1u << 20) + random() % 4096 : random() % 3000;
        std::string text = "From:" + e.From + "\r\n\r\n";
        for (std::size_t k = 0; k < size; ++k)
            text += static_cast<char>(random());
        e.FullText = text;
        if (i % 4 == 1)
            e.Body = "made apart " + std::to_string(i); // not the text's end
        else if (i % 4 != 2)
            e.Body = text.substr(text.find("\r\n\r\n") + 2);
        out.push_back(std::move(e));
    }
    return out;
}

void AddAll(TFoundEmails& List, const TEmailArray& Emails) {
    for (const TEmail& e : Emails)
        List.Add(e);
}

TEST(FoundList, EveryMessageComesBackByteForByteFromMemoryOrTheScratchFile) {
    const TEmailArray emails = Shapes(60, 7);
    for (const std::size_t memory : {std::size_t(0), std::size_t(100000), std::size_t(1) << 30}) {
        TFakeSystem system;
        TFoundEmails list(memory, system);
        AddAll(list, emails);
        EXPECT_EQ(list.Spilled(), memory < (std::size_t(1) << 30)) << memory;
        ASSERT_EQ(list.size(), emails.size());
        EXPECT_TRUE(list == emails) << memory;
        for (std::size_t i = 0; i < emails.size(); ++i) {
            const TEmailHeaders h = list.Headers(i);
            EXPECT_EQ(h.Subject, emails[i].Subject);
            EXPECT_EQ(h.Date, emails[i].Date);
            EXPECT_EQ(list.Body(i), emails[i].Body) << i;
            EXPECT_EQ(list.FullTextSize(i), emails[i].FullText.size());
        }
        // A copy shares the bytes: both read the same, and the scratch file lives while either
        // does.
        TFoundEmails copy = list;
        list = TFoundEmails();
        EXPECT_TRUE(copy == emails);
        EXPECT_EQ(system.OpenScratchFiles, memory < (std::size_t(1) << 30) ? 1 : 0);
        copy = TFoundEmails();
        EXPECT_EQ(system.OpenScratchFiles, 0);
    }
}

// The list's big arrays and stores grow from a few bytes to past the large-block size: every
// byte survives each move, and a large block starts on a large page, or the system's large pages
// would not cover its first bytes.
TEST(FoundList, LargeBlocksKeepEveryByteAsTheyGrowAndStartOnALargePage) {
    std::mt19937 random(11);
    TLargeVector<std::uint64_t> numbers;
    std::vector<std::uint64_t> numbersExpected;
    TLargeString bytes;
    std::string bytesExpected;
    while (numbers.size() * sizeof(std::uint64_t) < 3 * LargeBlockBytes) {
        const std::uint64_t n = random();
        numbers.push_back(n);
        numbersExpected.push_back(n);
    }
    while (bytes.size() < 3 * LargeBlockBytes) {
        const std::string piece(random() % 5000, static_cast<char>(random()));
        bytes.append(piece);
        bytesExpected.append(piece);
    }
    EXPECT_TRUE(std::equal(numbers.begin(), numbers.end(), numbersExpected.begin(),
                           numbersExpected.end()));
    EXPECT_EQ(std::string_view(bytes), bytesExpected);
    const auto largePage = static_cast<std::uintptr_t>(LargePageAlignment);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(numbers.data()) % largePage, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(bytes.data()) % largePage, 0u);
    // Shrunk below the large size, each block goes back the way it came.
    numbers.resize(3);
    numbers.shrink_to_fit();
    bytes.resize(3);
    bytes.shrink_to_fit();
    EXPECT_EQ(numbers[2], numbersExpected[2]);
    EXPECT_EQ(bytes, TLargeString(bytesExpected.substr(0, 3)));
}

TEST(FoundList, AFullTemporaryFolderRefusesTheNewMessageAndKeepsEveryEarlierOne) {
    const TEmailArray emails = Shapes(40, 11);
    std::uint64_t total = 0;
    for (const TEmail& e : emails)
        total += e.FullText.size();
    // Room for about half: the failure comes while messages are still gathered in memory or
    // on the write of a big one, and either way the earlier ones must stay readable.
    for (const std::uint64_t room : {std::uint64_t(0), total / 2, total / 3 + 12345}) {
        TFakeSystem system;
        system.ScratchRoom = room;
        TFoundEmails list(0, system);
        std::size_t kept = 0;
        std::string error;
        for (const TEmail& e : emails) {
            try {
                list.Add(e);
                ++kept;
            } catch (const TPwError& failure) {
                error = failure.what();
                break;
            }
        }
        ASSERT_LT(kept, emails.size()) << room;
        EXPECT_NE(error.find("temporary folder"), std::string::npos) << error;
        EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
        EXPECT_NE(error.find("/fake-tmp"), std::string::npos) << error;
        ASSERT_EQ(list.size(), kept);
        for (std::size_t i = 0; i < kept; ++i)
            EXPECT_TRUE(list[i] == emails[i]) << "room " << room << ", item " << i;
        // Once full, it stays full: nothing is added, nothing is lost.
        EXPECT_THROW(list.Add(emails.back()), TPwError);
        EXPECT_EQ(list.size(), kept);
        if (kept > 0) {
            EXPECT_TRUE(list[kept - 1] == emails[kept - 1]);
        }
    }
}

TEST(FoundList, WithoutAScratchFileTheMessagesInMemoryStay) {
    TFakeSystem system;
    system.ScratchRefused = true;
    TFoundEmails list(5000, system);
    const TEmailArray emails = Shapes(30, 3);
    std::size_t kept = 0;
    try {
        for (const TEmail& e : emails) {
            list.Add(e);
            ++kept;
        }
        FAIL() << "the list took more than its memory without a scratch file";
    } catch (const TPwError& e) {
        EXPECT_NE(std::string(e.what()).find("no scratch file"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("/fake-tmp: Permission denied"), std::string::npos);
    }
    EXPECT_FALSE(list.Spilled());
    ASSERT_EQ(list.size(), kept);
    for (std::size_t i = 0; i < kept; ++i)
        EXPECT_TRUE(list[i] == emails[i]) << i;
}

TEST(FoundList, CopiesAreFoundByTheirBytesWhereverTheyAreKept) {
    TEmailArray emails = Shapes(12, 5);
    emails.push_back(emails[3]);
    emails.push_back(emails[0]);
    TEmail sameSize = emails[3];
    sameSize.FullText.back() ^= 1; // same length and, most likely, another hash: not a copy
    emails.push_back(sameSize);
    emails.push_back(emails[3]);
    TFakeSystem system;
    TFoundEmails spilled(0, system);
    AddAll(spilled, emails);
    const TFoundEmails inMemory(emails);
    for (const TFoundEmails* list :
         std::initializer_list<const TFoundEmails*>{&spilled, &inMemory}) {
        const auto copies = FindCopies(*list);
        ASSERT_EQ(copies.size(), emails.size());
        for (std::size_t i = 0; i < 12; ++i)
            EXPECT_FALSE(copies[i]) << i;
        EXPECT_EQ(copies[12], std::optional<std::size_t>(3));
        EXPECT_EQ(copies[13], std::optional<std::size_t>(0));
        EXPECT_FALSE(copies[14]);
        EXPECT_EQ(copies[15], std::optional<std::size_t>(3));
    }
}

TEST(FoundList, TheSystemsScratchFileHoldsTheBytesAndLeavesNothingBehind) {
    const TEmailArray emails = Shapes(40, 13);
    TTempDir dir;
#ifndef _WIN32
    // The folder the user names for temporary files is the one used.
    const char* before = std::getenv("TMPDIR");
    const std::string saved = before ? before : "";
    ::setenv("TMPDIR", dir.Path.c_str(), 1);
#endif
    {
        TFoundEmails list(0, PlatformSystem());
        AddAll(list, emails);
        EXPECT_TRUE(list.Spilled());
        EXPECT_TRUE(list == emails);
#ifndef _WIN32
        // No name is left in the folder, whichever way the process ends.
        EXPECT_TRUE(std::filesystem::is_empty(dir.Path));
        ::setenv("TMPDIR", (dir.Path / "missing").c_str(), 1);
        TFoundEmails nowhere(0, PlatformSystem());
        try {
            nowhere.Add(emails[0]);
            ADD_FAILURE() << "a scratch file was made in a folder that does not exist";
        } catch (const TPwError& e) {
            EXPECT_NE(std::string(e.what()).find((dir.Path / "missing").string()),
                      std::string::npos)
                << e.what();
        }
        EXPECT_TRUE(nowhere.empty());
#endif
    }
#ifndef _WIN32
    if (before)
        ::setenv("TMPDIR", saved.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
#endif
}

TEST(FoundList, TheMailboxIsWrittenAMessageAtATimeWithTheSameBytes) {
    TEmailArray emails = Shapes(25, 17);
    emails[2].FullText += "\r\nFrom the start\r\n>From quoted\r\nno line end";
    TFakeSystem system;
    TFoundEmails list(0, system);
    AddAll(list, emails);
    TTempDir dir;
    const std::vector<std::size_t> items = {3, 2, 0, 24, 99, 17};
    ASSERT_EQ(WriteMbox(dir.File("all.mbox"), list, items), "");
    std::string written;
    {
        std::ifstream in(dir.File("all.mbox"), std::ios::binary);
        written.assign(std::istreambuf_iterator<char>(in), {});
    }
    // The envelope lines carry the time of writing; everything else is as the whole text has it.
    auto withoutEnvelopes = [](const std::string& Box) {
        std::string out;
        std::size_t at = 0;
        while (at < Box.size()) {
            const std::size_t nl = Box.find('\n', at);
            const std::size_t end = nl == std::string::npos ? Box.size() : nl + 1;
            if (Box.compare(at, 5, "From ") != 0) out.append(Box, at, end - at);
            at = end;
        }
        return out;
    };
    const std::string expected = MboxText(emails, items, std::chrono::system_clock::now());
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'),
              std::count(expected.begin(), expected.end(), '\n'));
    EXPECT_TRUE(withoutEnvelopes(written) == withoutEnvelopes(expected));
    EXPECT_NE(written.find(">From the start\r\n>>From quoted\r\nno line end\n\n"),
              std::string::npos);
    // A folder that is not there: a reason, and no file.
    EXPECT_NE(WriteMbox(dir.File("missing/all.mbox"), list, items), "");
}

class FoundListScan : public ::testing::Test {
  protected:
    // An image of many small messages, one every one or two sectors, as a mail server's disk.
    std::string DenseImage(std::size_t Count) {
        const std::string path = Dir.File("dense.img");
        TImage image(path, (2 * Count + 4) * 512);
        std::uint64_t at = 512;
        for (std::size_t i = 0; i < Count; ++i) {
            const std::string m = MessageOfLength(i % 2 ? 700 : 400, "n" + std::to_string(i));
            image.Put(at, m);
            at += ((m.size() + 511) / 512) * 512;
        }
        return path;
    }
    TScanResult ScanWith(const std::string& Path, TScanOptions Options, TRecordingHost& Host) {
        return TScanHardDisk(Path, Options, Host).ScanDrive();
    }
    TTempDir Dir;
};

TEST_F(FoundListScan, AScanKeepingItsMessagesOnDiskFindsTheSameAndTellsTheHostTheSame) {
    const std::string path = DenseImage(300);
    TRecordingHost inMemory, onDisk;
    const TScanResult a = ScanWith(path, {}, inMemory);
    TFakeSystem system;
    TScanOptions options;
    options.MemoryBytes = 0;
    options.Scratch = &system;
    const TScanResult b = ScanWith(path, options, onDisk);
    ASSERT_EQ(a.Emails.size(), 300u);
    EXPECT_FALSE(a.Emails.Spilled());
    EXPECT_TRUE(b.Emails.Spilled());
    EXPECT_TRUE(a.Emails == b.Emails);
    EXPECT_EQ(OffsetsOf(a), OffsetsOf(b));
    EXPECT_EQ(inMemory.KeepAlives, onDisk.KeepAlives);
    EXPECT_EQ(inMemory.Positions, onDisk.Positions);
    EXPECT_TRUE(a.StopReason.empty());
    EXPECT_TRUE(b.StopReason.empty());
}

TEST_F(FoundListScan, EachMessageIsHandedOnAsSoonAsItIsKept) {
    const std::string path = DenseImage(50);
    struct THandingHost : TRecordingHost {
        int Found = 0;
        std::vector<std::string> Texts;
        std::vector<std::uint64_t> Offsets;
        void MessageFound() override { ++Found; }
        void MessageKept(const TScanResult& SoFar) override {
            // The list so far ends with the message just counted.
            EXPECT_EQ(SoFar.Emails.size(), static_cast<std::size_t>(Found));
            EXPECT_EQ(SoFar.Places.size(), SoFar.Emails.size());
            Texts.push_back(SoFar.Emails.FullText(SoFar.Emails.size() - 1));
            Offsets.push_back(SoFar.Places.back().Offset);
        }
    } host;
    TFakeSystem system;
    TScanOptions options;
    options.MemoryBytes = 2000; // the scratch file is in use while messages are handed on
    options.Scratch = &system;
    const TScanResult result = ScanWith(path, options, host);
    ASSERT_EQ(result.Emails.size(), 50u);
    ASSERT_EQ(host.Texts.size(), 50u);
    for (std::size_t i = 0; i < 50; ++i)
        EXPECT_EQ(host.Texts[i], result.Emails.FullText(i)) << i;
    EXPECT_EQ(host.Offsets, OffsetsOf(result));
}

TEST_F(FoundListScan, AFullTemporaryFolderStopsTheScanWithWhatWasFoundAndWhy) {
    // More than the list gathers before it writes (1 MiB), so that a write is due mid-scan.
    const std::string path = DenseImage(4000);
    TRecordingHost host;
    const TScanResult whole = ScanWith(path, {}, host);
    TFakeSystem system;
    system.ScratchRoom = 0;
    TScanOptions options;
    options.MemoryBytes = 0;
    options.Scratch = &system;
    TRecordingHost stopped;
    const TScanResult part = ScanWith(path, options, stopped);
    EXPECT_NE(part.StopReason.find("No space left on device"), std::string::npos)
        << part.StopReason;
    EXPECT_FALSE(part.Cancelled);
    ASSERT_GT(part.Emails.size(), 10u);
    ASSERT_LT(part.Emails.size(), whole.Emails.size());
    ASSERT_EQ(part.Places.size(), part.Emails.size());
    for (std::size_t i = 0; i < part.Emails.size(); ++i) {
        EXPECT_TRUE(part.Emails[i] == whole.Emails[i]) << i;
        EXPECT_EQ(part.Places[i].Offset, whole.Places[i].Offset);
    }
    // The scan stopped there, not at the drive's end, and closed its progress display.
    EXPECT_LT(stopped.KeepAlives, host.KeepAlives / 2);
    EXPECT_EQ(stopped.Closes, 1);
}

} // namespace
