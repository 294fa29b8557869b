#pragma once

// A drive in memory that allows reading ahead and may be read from any thread, for the tests of
// the disk buffer's reading-ahead thread and of the scan over it.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "disk/DriveReader.h"

// What the two readers of one comparison share: the bytes, the bad ranges and what was read.
struct TDriveState {
    std::string Bytes;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> BadBytes; // [first, end): reads fail
    std::thread::id Owner = std::this_thread::get_id();
    std::atomic<std::uint64_t> ReadsElsewhere{0}; // reads made by another thread than Owner
    std::atomic<int> InFlight{0};
    std::atomic<int> MostInFlight{0};
};

// A drive in memory that allows reading ahead and is safe to call from any thread.
class TAheadReader final : public TDriveReader {
  public:
    TAheadReader(TDriveState& State, bool InPieces, bool MayAhead)
        : FState(State), FInPieces(InPieces), FMayAhead(MayAhead) {}

    std::int64_t ReadAt(void* Target, std::uint64_t Count, std::uint64_t Offset) override {
        const int now = ++FState.InFlight;
        int most = FState.MostInFlight.load();
        while (now > most && !FState.MostInFlight.compare_exchange_weak(most, now)) {
        }
        if (std::this_thread::get_id() != FState.Owner) ++FState.ReadsElsewhere;
        std::int64_t got = -1;
        bool bad = false;
        for (const auto& [first, end] : FState.BadBytes)
            bad |= Offset < end && first < Offset + Count;
        if (!bad) {
            const std::uint64_t size = FState.Bytes.size();
            const std::uint64_t n = Offset >= size ? 0 : std::min(Count, size - Offset);
            if (n > 0) std::memcpy(Target, FState.Bytes.data() + Offset, n);
            got = static_cast<std::int64_t>(n);
        }
        --FState.InFlight;
        return got;
    }
    std::uint64_t Size() const override { return FState.Bytes.size(); }
    std::uint32_t SectorSize() const override { return 512; }
    bool ReadsInPieces() const override { return FInPieces; }
    bool MayReadAhead() const override { return FMayAhead; }

  private:
    TDriveState& FState;
    bool FInPieces;
    bool FMayAhead;
};
