#pragma once

// EWF (Expert Witness) forensic images: a drive kept as a set of segment files (.E01, .E02, ...),
// read through libewf and served to the disk buffer like any other drive. Like the rest of the
// disk layer it never throws: a set that cannot be opened answers IsOpen() = false, and failed
// reads answer false (or -1) with zeros in the target.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "disk/DriveReader.h"

class TEwfImage final : public TDriveReader {
  public:
    // Opens the whole segment set from any one of its files (normally the .E01).
    explicit TEwfImage(const std::string& Path);
    ~TEwfImage() override;
    TEwfImage(const TEwfImage&) = delete;
    TEwfImage& operator=(const TEwfImage&) = delete;

    // True when Path names a file that begins with an EWF signature (whatever its extension).
    static bool IsEwfFile(const std::string& Path);
    // False when libewf was not available when the program was built.
    static bool Supported();

    bool IsOpen() const;
    // Why the set could not be opened or the last read failed, in libewf's words; empty when
    // nothing failed.
    const std::string& LastError() const;

    // The acquired medium: its size in bytes and its bytes per sector, as stored in the image.
    std::uint64_t MediaSize() const;
    std::uint32_t BytesPerSector() const;
    // Number of segment files opened.
    int SegmentCount() const;
    // True when libewf found the set incomplete or damaged (a segment file missing, for
    // instance); reads of the data it lacks answer false and zeros. Damage() says what is wrong.
    bool Damaged() const;
    const std::string& Damage() const;

    // Copies Count bytes of the medium from Offset into Target. Bytes beyond the medium's end
    // read as zeros; true only when every byte inside the medium was read.
    bool Read(std::uint64_t Offset, void* Target, std::size_t Count);

    // --- as a drive ---
    std::int64_t ReadAt(void* Target, std::uint64_t Count, std::uint64_t Offset) override;
    std::uint64_t Size() const override { return FMediaSize; }
    std::uint32_t SectorSize() const override { return FBytesPerSector; }
    // Segment files on disk: read ahead like any image (the buffer never reads twice at once).
    bool MayReadAhead() const override { return true; }

  private:
    bool LoadChunk(std::uint64_t Index);

    struct TState;
    std::unique_ptr<TState> FState;
    std::string FError;
    std::string FDamage;
    std::uint64_t FMediaSize = 0;
    std::uint32_t FBytesPerSector = 0;
    int FSegments = 0;
    bool FOpen = false;
};
