#pragma once

#include <cstdint>

// The geometry and size of one drive; the scan uses its bytes per sector and total bytes.
struct TDriveInfo {
    std::uint32_t BytesPerCluster = 0;
    std::uint32_t BytesPerSector = 0;
    std::uint32_t SectorsPerCluster = 0;
    std::int64_t TotalClusters = 0;
    std::int64_t FreeClusters = 0;
    std::int64_t TotalBytes = 0;
    std::int64_t FreeBytes = 0;
};
