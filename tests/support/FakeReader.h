#pragma once

// A drive in memory behind the reader interface, without any system layer: what a test scripts
// is what the disk buffer reads (unreadable byte ranges, holes, all-or-nothing reads).

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "disk/DriveReader.h"

class TFakeReader final : public TDriveReader {
  public:
    std::string Bytes;
    std::uint32_t Sector = 512;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> BadBytes; // [first, end): reads fail
    bool InPieces = true;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> Reads; // offset, count

    std::int64_t ReadAt(void* Target, std::uint64_t Count, std::uint64_t Offset) override {
        Reads.emplace_back(Offset, Count);
        for (const auto& [first, end] : BadBytes)
            if (Offset < end && first < Offset + Count) return -1;
        if (Offset >= Bytes.size()) return 0;
        const std::uint64_t n = std::min<std::uint64_t>(Count, Bytes.size() - Offset);
        std::memcpy(Target, Bytes.data() + Offset, n);
        return static_cast<std::int64_t>(n);
    }
    std::uint64_t Size() const override { return Bytes.size(); }
    std::uint32_t SectorSize() const override { return Sector; }
    bool ReadsInPieces() const override { return InPieces; }
};
