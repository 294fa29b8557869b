#pragma once

// EWF (Expert Witness) forensic images: a drive kept as a set of segment files (.E01, .E02, ...).
// Read through libewf, for the system layer, which opens an EWF file as a drive like any image.
// Like the rest of the disk layer it never throws: a set that cannot be opened answers
// IsOpen() = false, and failed reads answer false with zeros in the target.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class TEwfImage {
  public:
    // Opens the whole segment set from any one of its files (normally the .E01).
    explicit TEwfImage(const std::string& Path);
    ~TEwfImage();
    TEwfImage(const TEwfImage&) = delete;
    TEwfImage& operator=(const TEwfImage&) = delete;

    // True when Path names a file that begins with an EWF signature (whatever its extension).
    static bool IsEwfFile(const std::string& Path);
    // False when libewf was not available when the program was built.
    static bool Supported();

    bool IsOpen() const;
    // Why the set could not be opened or the last read failed; empty when nothing failed.
    const std::string& LastError() const;

    // The acquired medium: its size in bytes and its bytes per sector, as stored in the image.
    std::uint64_t MediaSize() const;
    std::uint32_t BytesPerSector() const;
    // Number of segment files opened.
    int SegmentCount() const;
    // True when libewf found the set incomplete or damaged (a segment file missing, for
    // instance); reads of the data it lacks answer false and zeros.
    bool Damaged() const;

    // Copies Count bytes of the medium from Offset into Target. Bytes beyond the medium's end
    // read as zeros; true only when every byte inside the medium was read.
    bool Read(std::uint64_t Offset, void* Target, std::size_t Count);

  private:
    bool OverlapsDamage(std::uint64_t Offset, std::uint64_t Count);

    struct TState;
    std::unique_ptr<TState> FState;
    std::string FError;
    std::uint64_t FMediaSize = 0;
    std::uint32_t FBytesPerSector = 0;
    int FSegments = 0;
    bool FOpen = false;
    bool FDamaged = false;
};
