#pragma once

// Public face of the scan driver; the scan work fills in the implementation and may add private
// members, but keeps these signatures, which the front ends are written against.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DiskBuffer.h"
#include "Globals.h"
#include "ScanHost.h"
#include "emailparser.h"

class TScanHardDisk {
  public:
    // Opens the drive (a block device or an image file path) through a disk buffer of
    // 20 971 520 bytes. Errors while the buffer is made reach the caller unchanged.
    TScanHardDisk(const std::string& DrivePath, ScanHost& Host);
    // For tests and other sources of bytes: scans the given buffer.
    TScanHardDisk(std::unique_ptr<TDiskBuffer> Buffer, ScanHost& Host);
    ~TScanHardDisk();

    // Runs the whole scan once, from sector 1 to the last, and hands back the found list.
    TEmailArray ScanDrive();

    // Beside the list: for each found message, the byte offset on the drive of its first line.
    const std::vector<std::uint64_t>& Offsets() const;
    // Sectors the disk buffer could not read (served as zeros).
    std::uint64_t UnreadableSectors() const;

  private:
    std::uint32_t ScanSector(std::uint64_t Offset);
    // Tests sector s and those after it while the chunk in memory holds their windows, counting
    // steps in k and moving the progress display as the scan loop does. False when sector s is
    // to be examined by the general step (its window is not held, or it starts a message).
    bool TestHeldSectors(std::uint64_t& s, std::uint64_t N, unsigned& k);
    std::uint32_t TextRunLength(std::uint64_t Offset);

    std::uint32_t FSectorSize = 0;
    TEmailArray FFound;
    std::unique_ptr<TDiskBuffer> FBuffer;
    TEmailParser FParser;
    ScanHost* FHost;
    std::vector<std::uint64_t> FOffsets;
};
