#pragma once

// Public face of the disk buffer; the drive-access work fills in the implementation and may add
// private members and constructors (for instance one taking a system layer for tests), but keeps
// these signatures, which the scan driver is written against.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

using TBuffData = std::string;

class TDiskBuffer {
public:
    // Measures the drive (sector size, total bytes) and reads the first chunk from sector 1.
    // Throws PwError when the drive cannot be measured (sector size 0) or holds no sector.
    TDiskBuffer(const std::string& DrivePath, std::uint32_t BufferSize);
    ~TDiskBuffer();

    std::int64_t TotalSectors() const;
    std::uint32_t SectorSize() const;

    // A fresh copy of Count bytes from byte Offset of the drive; bytes beyond the drive read as 0.
    TBuffData GetData(std::uint32_t Count, std::uint64_t Offset);

    // Same bytes as GetData, without the copy: valid until the next call on this buffer.
    std::string_view View(std::uint32_t Count, std::uint64_t Offset);

    // Sectors that could not be read (served as zeros) so far.
    std::uint64_t UnreadableSectors() const;

    void LoadChunk(std::uint64_t Offset);
};
