// Sparse images: holes read as zeros, which never open a message, so the scan skips them; the
// results must be those of reading every byte. Then a 3 TiB image, nearly all hole, scanned whole.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>

#include "disk/DiskBuffer.h"
#include "disk/SystemLayer.h"
#include "engine/ScanHardDisk.h"
#include "tests/engine/scan/ScanTestSupport.h"
#include "tests/support/FakeSystemLayer.h"

namespace {

constexpr std::uint32_t BufferSize = 20971520;

struct TResult {
    TEmailArray Emails;
    std::vector<std::uint64_t> Offsets;
    std::vector<std::uint64_t> Opens;
};

TResult ScanWith(TSystemLayer& System, const std::string& Path, std::uint32_t SectorSize = 0) {
    TRecordingHost host;
    TScanHardDisk scan(std::make_unique<TDiskBuffer>(Path, BufferSize, System, SectorSize), {},
                       host);
    TResult r;
    TScanResult result = scan.ScanDrive();
    r.Emails = result.Emails.ToArray();
    r.Offsets = OffsetsOf(result);
    r.Opens = host.Opens;
    return r;
}

// Zero stretches of every length between noise, text fragments and messages; some messages begin
// right where a hole ends or end right where one begins.
std::string SparseContent(std::uint64_t Size, unsigned Seed) {
    std::mt19937_64 rng(Seed);
    std::string bytes(Size, '\0');
    std::uint64_t at = 512;
    int i = 0;
    while (at + 8192 < Size) {
        const std::uint64_t kind = rng() % 4;
        if (kind == 0) { // a hole of up to 3 MiB
            at += rng() % (3u << 20);
        } else if (kind == 1) { // noise
            const std::uint64_t n = rng() % 5000;
            for (std::uint64_t j = 0; j < n && at < Size; ++j)
                bytes[at++] = static_cast<char>(rng() | 1);
        } else { // a message on a sector start, sometimes right after the hole before it
            at = (at + 511) / 512 * 512;
            const std::string m =
                MakeMessage("s" + std::to_string(i) + "@x", "r@x", "m" + std::to_string(i), "b");
            ++i;
            bytes.replace(at, m.size(), m);
            at += m.size();
        }
    }
    return bytes;
}

TEST(Sparse, HolesSkippedGiveTheResultsOfReadingEveryByte) {
    for (unsigned seed : {1u, 2u, 3u}) {
        for (std::uint32_t sector : {512u, 4096u}) {
            SCOPED_TRACE(::testing::Message() << "seed " << seed << " sector " << sector);
            TFaultySystem dense;
            dense.Bytes = SparseContent(120u << 20, seed);
            dense.SectorSize = sector;
            TFaultySystem sparse = dense;
            sparse.HolesFromZeros(1);
            ASSERT_GT(sparse.DataExtents.size(), 10u);
            const TResult a = ScanWith(dense, dense.Path);
            const TResult b = ScanWith(sparse, sparse.Path);
            EXPECT_GT(a.Emails.size(), sector == 512 ? 20u : 5u);
            EXPECT_EQ(a.Emails, b.Emails);
            EXPECT_EQ(a.Offsets, b.Offsets);
            EXPECT_EQ(a.Opens, b.Opens);
        }
    }
}

TEST(Sparse, LinuxLayerReportsHolesOfARealSparseFile) {
    TTempDir dir;
    const std::string path = dir.File("sparse.img");
    TImage img(path, 64u << 20);
    img.Put(1u << 20, "data").Put((8u << 20) + 5, "more");
    TSystemLayer& sys = PlatformSystem();
    TOpenFailure failure;
    const THandle h = sys.OpenForReading(path, failure);
    ASSERT_NE(h, InvalidHandle);
    std::uint64_t start = 0, end = 0;
    ASSERT_TRUE(sys.DataExtent(h, 0, start, end));
    if (start == 0) {
        sys.Close(h);
        GTEST_SKIP() << "this file system reports no holes";
    }
    EXPECT_LE(start, 1u << 20);
    EXPECT_GT(end, (1u << 20) + 3);
    ASSERT_TRUE(sys.DataExtent(h, (1u << 20) + 2, start, end));
    EXPECT_EQ(start, (1u << 20) + 2); // inside data: the offset itself
    ASSERT_TRUE(sys.DataExtent(h, 2u << 20, start, end));
    EXPECT_LE(start, (8u << 20) + 5);
    EXPECT_GT(start, 2u << 20);
    // The last byte was written to give the file its size, so the tail is data; past it nothing
    // is known (a file cut short while read fails there instead of being skipped).
    EXPECT_FALSE(sys.DataExtent(h, 64u << 20, start, end));
    sys.Close(h);

    // Scanned through the skip, a real sparse image gives what its bytes give read in memory.
    std::string bytes = SparseContent(64u << 20, 9);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.seekp(static_cast<std::streamoff>(bytes.size() - 1));
        out.put('\0');
    }
    // Write only the non-zero stretches, so the rest stays hole.
    for (std::uint64_t i = 0; i < bytes.size();) {
        if (bytes[i] == '\0') {
            ++i;
            continue;
        }
        std::uint64_t j = i;
        while (j < bytes.size() && bytes[j] != '\0')
            ++j;
        img.Put(i, bytes.substr(i, j - i));
        i = j;
    }
    TFaultySystem memory;
    memory.Bytes = bytes;
    const TResult onDisk = ScanWith(sys, path);
    const TResult inMemory = ScanWith(memory, memory.Path);
    EXPECT_GT(inMemory.Emails.size(), 5u);
    EXPECT_EQ(onDisk.Emails, inMemory.Emails);
    EXPECT_EQ(onDisk.Offsets, inMemory.Offsets);
}

// 3 TiB, made with a sparse file: messages near the start, across 2 TiB (which with 512-byte
// sectors is sector 2^32), just after it and in the very last sector. All are found, the progress
// maximum is the true sector count, and memory stays that of one chunk.
TEST(Sparse, ThreeTebibyteImageIsScannedToItsLastSector) {
    TTempDir dir;
    const std::string path = dir.File("huge.img");
    const std::uint64_t size = 3ull << 40;
    const std::uint64_t twoTiB = 2ull << 40;
    const std::string last = "Received: a\r\nFrom: end@x\r\nSubject: last\r\n\r\nthe end\r\n";
    struct TAt {
        std::uint64_t Offset;
        std::string Text;
    };
    const std::vector<TAt> planted = {
        {512, MakeMessage("first@x", "r@x", "near the start", "one")},
        {100 * 512, MakeMessage("second@x", "r@x", "still near", "two")},
        {twoTiB - 512, MakeMessage("across@x", "r@x", "across 2 TiB",
                                   std::string(700, 'a') + "\n" + std::string(300, 'b'))},
        {twoTiB + 7 * 512, MakeMessage("beyond@x", "r@x", "past 2^32 sectors", "three")},
        {size - 512, last},
    };
    ASSERT_LE(last.size(), 512u);
    {
        TImage img(path, size);
        for (const TAt& p : planted)
            img.Put(p.Offset, p.Text);
        // The last message must end at the drive's end: pad its sector with text after it.
        img.Put(size - 512 + last.size(), std::string(512 - last.size(), ' '));
    }
    {
        // Where the file system cannot tell holes, reading 3 TiB of zeros would take hours.
        TOpenFailure failure;
        const THandle h = PlatformSystem().OpenForReading(path, failure);
        ASSERT_NE(h, InvalidHandle);
        std::uint64_t start = 0, end = 0;
        const bool known = PlatformSystem().DataExtent(h, 1ull << 30, start, end);
        PlatformSystem().Close(h);
        if (!known || start == 1ull << 30) GTEST_SKIP() << "this file system reports no holes";
    }
    const auto t0 = std::chrono::steady_clock::now();
    const TResult r = ScanWith(PlatformSystem(), path);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::cout << "3 TiB scan: " << seconds << " s, peak RSS " << usage.ru_maxrss / 1024 << " MiB\n";
    RecordProperty("seconds", std::to_string(seconds));
    RecordProperty("peak_rss_kib", std::to_string(usage.ru_maxrss));

    EXPECT_EQ(r.Opens, std::vector<std::uint64_t>{size / 512});
    ASSERT_EQ(r.Emails.size(), planted.size());
    for (std::size_t i = 0; i < planted.size(); ++i) {
        EXPECT_EQ(r.Offsets[i], planted[i].Offset);
        const std::string expected =
            i + 1 == planted.size() ? last + std::string(512 - last.size(), ' ') : planted[i].Text;
        // Text after the last line end is never part of a message.
        EXPECT_EQ(r.Emails[i].FullText, expected.substr(0, expected.rfind("\r\n") + 2));
    }
}

} // namespace
