#pragma once

// What the disk buffer reads a drive through, whatever holds its bytes: a block device or image
// file (through the system layer), an EWF segment set (through libewf), a volume by drive letter,
// or a test's script. Like the rest of the disk layer a reader never throws.

#include <cstdint>

class TDriveReader {
  public:
    virtual ~TDriveReader() = default;

    // Copies up to Count bytes from byte Offset into Target: the number of bytes read (fewer
    // than asked is no failure), 0 at the end, -1 when the bytes cannot be read.
    virtual std::int64_t ReadAt(void* Target, std::uint64_t Count, std::uint64_t Offset) = 0;
    // The drive's bytes and its sector size as the drive itself tells them.
    virtual std::uint64_t Size() const = 0;
    virtual std::uint32_t SectorSize() const = 0;

    // Sparse images: the stretch of data [DataStart, DataEnd) holding Offset or, when Offset lies
    // in a hole, the first one after it (DataStart = DataEnd = the end when only a hole follows).
    // Holes read as zeros. False when the format cannot tell; then everything counts as data.
    virtual bool DataExtent(std::uint64_t Offset, std::uint64_t& DataStart,
                            std::uint64_t& DataEnd) {
        (void)Offset;
        DataStart = DataEnd = 0;
        return false;
    }

    // Whether a failed read is worth asking again piece by piece, so that one bad sector costs one
    // sector. A volume read by drive letter is all or nothing and is read in whole chunks.
    virtual bool ReadsInPieces() const { return true; }

    // Whether the disk buffer may read this drive ahead of the scan, from a thread of its own
    // (never two calls at once): true for real drives, where a read nobody uses costs only time.
    // Scripted drives keep the default, so that what they record is what the scan asked for.
    virtual bool MayReadAhead() const { return false; }
};

// Reads exactly Count bytes at Offset, continuing short reads; false when any byte could not be
// read (the drive's end included).
bool ReadFully(TDriveReader& Reader, void* Target, std::uint64_t Count, std::uint64_t Offset);
