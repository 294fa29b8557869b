// The disk buffer reading ahead in a thread of its own: the same chunks, bytes, unreadable
// sectors and ranges as reading on demand, failures counted only where a request meets them, and
// no read in flight once it is stopped or the buffer is gone.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "disk/DiskBuffer.h"
#include "tests/disk/AheadReader.h"

namespace {

// The thread reads from the moment it starts, but a request that finds its slice not yet begun
// reads it itself: waiting for the first read ahead makes sure the thread's bytes are served.
void AwaitReadAhead(const TDriveState& State, std::uint64_t Before) {
    for (int i = 0; i < 10000 && State.ReadsElsewhere.load() == Before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::unique_ptr<TDriveState> Drive(std::uint64_t Sectors, unsigned Seed) {
    auto state = std::make_unique<TDriveState>();
    state->Bytes.resize(Sectors * 512);
    std::mt19937_64 rng(Seed);
    for (char& c : state->Bytes)
        c = static_cast<char>(rng());
    return state;
}

TDiskBuffer Buffer(TDriveState& State, std::uint32_t BufferSize, std::uint32_t SliceBytes,
                   bool InPieces = true, bool MayAhead = true) {
    return TDiskBuffer(std::make_unique<TAheadReader>(State, InPieces, MayAhead), BufferSize,
                       SliceBytes);
}

// Random requests mostly walking forwards, as the scan makes them, against a buffer reading on
// demand and one reading ahead, over drives with bad stretches: the same chunks and bytes after
// every request, the same unreadable sectors and ranges at the end, in slices and in whole chunks
// (a volume, read all or nothing).
TEST(DiskBufferAhead, SameChunksBytesAndUnreadableRangesAsReadingOnDemand) {
    struct TCase {
        std::uint32_t SliceBytes;
        bool InPieces;
    };
    for (const TCase c : {TCase{8 * 512, true}, TCase{TDiskBuffer::DefaultSliceBytes, true},
                          TCase{0, true}, TCase{TDiskBuffer::DefaultSliceBytes, false}}) {
        SCOPED_TRACE(testing::Message() << c.SliceBytes << " " << c.InPieces);
        const std::uint64_t sectors = 30000;
        const std::uint64_t size = sectors * 512;
        auto plain = Drive(sectors, 3);
        auto ahead = Drive(sectors, 3);
        plain->BadBytes = ahead->BadBytes = {{777 * 512 + 3, 777 * 512 + 4},
                                             {4095 * 512, 4100 * 512},
                                             {9000 * 512, 9010 * 512},
                                             {size - 512, size}};
        // 2048-sector chunks.
        TDiskBuffer a = Buffer(*plain, 1 << 19, c.SliceBytes, c.InPieces);
        TDiskBuffer b = Buffer(*ahead, 1 << 19, c.SliceBytes, c.InPieces);
        b.StartReadAhead();
        ASSERT_TRUE(b.ReadingAhead());
        AwaitReadAhead(*ahead, 0);
        std::mt19937_64 rng(17);
        std::uint64_t cursor = 512;
        for (int i = 0; i < 6000; ++i) {
            const unsigned kind = rng() % 100;
            std::uint64_t at = 0;
            std::uint32_t count = 0;
            if (kind < 90) { // the scan's walk: windows, sometimes a run
                cursor += rng() % 4 == 0 ? rng() % 5000 : 512;
                if (cursor + 1024 >= size) cursor = 512;
                at = cursor;
                count = static_cast<std::uint32_t>(rng() % 16 == 0 ? rng() % 200000 : 1024);
                a.ReleaseBefore(at);
                b.ReleaseBefore(at);
            } else if (kind < 98) { // anywhere, backwards included
                at = rng() % (size + 2048);
                count = static_cast<std::uint32_t>(rng() % 5000);
            } else {
                const std::uint64_t place = rng() % size;
                a.LoadChunk(place);
                b.LoadChunk(place);
                continue;
            }
            const std::string expected(a.View(count, at));
            // Compared whole, not printed: a mismatch would dump megabytes of noise.
            ASSERT_TRUE(std::string(b.View(count, at)) == expected)
                << i << " at " << at << " count " << count;
            ASSERT_EQ(b.ChunkStart(), a.ChunkStart()) << i;
            ASSERT_EQ(b.UnreadableSectors(), a.UnreadableSectors()) << i;
        }
        b.StopReadAhead();
        EXPECT_EQ(b.UnreadableRanges(), a.UnreadableRanges());
        EXPECT_GT(b.UnreadableSectors(), 0u);
        // The thread did read, and never two reads at once.
        EXPECT_GT(ahead->ReadsElsewhere.load(), 0u);
        EXPECT_EQ(ahead->MostInFlight.load(), 1);
    }
}

// Read ahead over a bad stretch the requests never reach: nothing is counted. Reached, it is
// counted once, as the same range reading on demand finds.
TEST(DiskBufferAhead, FailuresCountOnlyWhereRequestsMeetThem) {
    auto state = Drive(6000, 5);
    state->BadBytes = {{3000 * 512 + 9, 3003 * 512}};
    TDiskBuffer buffer = Buffer(*state, 1 << 20, 16 * 512); // 4096-sector chunks
    buffer.StartReadAhead();
    AwaitReadAhead(*state, 0);
    for (std::uint64_t s = 1; s < 2990; ++s) {
        buffer.ReleaseBefore(s * 512);
        ASSERT_EQ(std::string(buffer.View(1024, s * 512)), state->Bytes.substr(s * 512, 1024));
    }
    EXPECT_EQ(buffer.UnreadableSectors(), 0u);
    for (std::uint64_t s = 2990; s < 3010; ++s) {
        buffer.ReleaseBefore(s * 512);
        const std::string window(buffer.View(1024, s * 512));
        for (std::uint64_t k = 0; k < 2; ++k) {
            const bool bad = s + k >= 3000 && s + k < 3003;
            ASSERT_EQ(window.substr(k * 512, 512),
                      bad ? std::string(512, '\0') : state->Bytes.substr((s + k) * 512, 512))
                << s + k;
        }
    }
    EXPECT_EQ(buffer.UnreadableSectors(), 3u);
    EXPECT_EQ(buffer.UnreadableRanges(), (std::map<std::uint64_t, std::uint64_t>{{3000, 3003}}));
}

// Stopped, or gone with the buffer, the thread has no read in flight and reads no more; started
// again it goes on from where the requests are. A reader that does not allow it is never read
// from another thread.
TEST(DiskBufferAhead, StopsWithNoReadInFlightAndOnlyWhereAllowed) {
    auto state = Drive(50000, 9);
    {
        TDiskBuffer buffer = Buffer(*state, 1 << 22, TDiskBuffer::DefaultSliceBytes);
        for (std::uint64_t round = 0; round < 3; ++round) {
            const std::uint64_t before = state->ReadsElsewhere.load();
            buffer.StartReadAhead();
            EXPECT_TRUE(buffer.ReadingAhead());
            AwaitReadAhead(*state, before);
            EXPECT_GT(state->ReadsElsewhere.load(), before);
            for (std::uint64_t s = 1 + round * 10000; s < 5000 + round * 10000; s += 2) {
                buffer.ReleaseBefore(s * 512);
                ASSERT_EQ(std::string(buffer.View(1024, s * 512)),
                          state->Bytes.substr(s * 512, 1024));
            }
            buffer.StopReadAhead();
            EXPECT_FALSE(buffer.ReadingAhead());
            EXPECT_EQ(state->InFlight.load(), 0);
            const std::uint64_t read = state->ReadsElsewhere.load();
            // Served on demand from here on, in this thread alone.
            EXPECT_EQ(std::string(buffer.View(4096, 40000 * 512)),
                      state->Bytes.substr(40000 * 512, 4096));
            EXPECT_EQ(state->ReadsElsewhere.load(), read);
        }
        buffer.StartReadAhead(); // left on: the destructor stops it
    }
    EXPECT_EQ(state->InFlight.load(), 0);
    EXPECT_GT(state->ReadsElsewhere.load(), 0u);

    auto refused = Drive(5000, 9);
    TDiskBuffer buffer = Buffer(*refused, 1 << 20, 16 * 512, true, false);
    buffer.StartReadAhead();
    EXPECT_FALSE(buffer.ReadingAhead());
    for (std::uint64_t s = 1; s < 4000; s += 3)
        ASSERT_EQ(std::string(buffer.View(1024, s * 512)), refused->Bytes.substr(s * 512, 1024));
    EXPECT_EQ(refused->ReadsElsewhere.load(), 0u);
}

} // namespace
