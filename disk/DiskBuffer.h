#pragma once

// The scan's view of a whole drive: byte-addressed, read-only, served from one chunk of up to
// (BufferSize div sector size) x 2 consecutive sectors that moves as requests demand.
//
// Where the chunk lies is decided by the requests alone. How much of it is in memory is not: a
// chunk read by path is read in slices of a few hundred KiB when a request first reaches them, and
// once the caller has said it needs nothing before some offset (ReleaseBefore), the bytes before it
// are dropped and the window of the chunk held in memory slides back to the start of the block.
// A scan walking forwards then has the system copy each slice into the same small stretch of
// memory, which stays in the processor's cache, and tests it there; one large read would copy
// 40 MiB out to main memory and the scan would fetch it back again.
//
// While a scan runs (TReadingAhead), a thread of the buffer's own reads the drive onwards from
// where the requests last reached, so that the drive works while the scan tests: a slice a
// request needs is then copied from what that thread read, and only where it read nothing or
// failed is the drive asked in the request's own thread, exactly as without it. Bytes read ahead
// and never asked for leave no trace: failures count only when a request meets them.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "disk/DriveInfo.h"
#include "disk/DriveProbe.h"
#include "disk/DriveReader.h"

class TSystemLayer;

using TBuffData = std::string;

// Memory the system's reads copy into, starting on a page boundary: the kernel copies into an
// address off a 64-byte boundary markedly slower (a page-cached image was read 40% slower into
// a block that started 16 bytes past one).
struct TPageBytesFree {
    void operator()(char* Bytes) const noexcept;
};
using TPageBytes = std::unique_ptr<char[], TPageBytesFree>;
TPageBytes MakePageBytes(std::size_t Count);

class TDiskBuffer {
  public:
    // Opens and measures the drive (ProbeDrive) and reads the first chunk from sector 1. The
    // drive is a block device or image path, or where drives are letters a root ("C:\", "C:",
    // "C") or the path of an image file.
    // Throws TPwError, with the probe's reason, when the drive cannot be scanned.
    TDiskBuffer(const std::string& DrivePath, std::uint32_t BufferSize);
    // The same over a given system layer, which must outlive the buffer. ImageSectorSize, when not
    // 0, replaces the sector size of an image file (a block device keeps its own).
    // SliceBytes is how much of a chunk is read at once (rounded down to whole sectors, at least
    // one); 0 reads each chunk whole when it is placed. Drives named by letter are always read
    // whole, since a volume read is all or nothing.
    TDiskBuffer(const std::string& DrivePath, std::uint32_t BufferSize, TSystemLayer& System,
                std::uint32_t ImageSectorSize = 0, std::uint32_t SliceBytes = DefaultSliceBytes);
    // Over a drive already probed; throws TPwError with its reason when it has a problem.
    TDiskBuffer(TDriveProbe Probe, std::uint32_t BufferSize,
                std::uint32_t SliceBytes = DefaultSliceBytes);
    // Over any reader, measured by what it tells; throws TPwError when it holds no whole sector.
    TDiskBuffer(std::unique_ptr<TDriveReader> Reader, std::uint32_t BufferSize,
                std::uint32_t SliceBytes = DefaultSliceBytes);

    // Half the processor's second-level cache of the machines measured: the bytes read are still
    // there when the scan reaches them, and a read costs a call in four where 128 KiB did (under
    // Wine each call costs a file-position update as well: 5% of a mail-dense scan there).
    static constexpr std::uint32_t DefaultSliceBytes = 512 * 1024;
    ~TDiskBuffer();
    TDiskBuffer(const TDiskBuffer&) = delete;
    TDiskBuffer& operator=(const TDiskBuffer&) = delete;

    std::int64_t TotalSectors() const;
    std::uint32_t SectorSize() const;

    // A fresh copy of Count bytes from byte Offset of the drive; bytes beyond the drive read as 0.
    TBuffData GetData(std::uint32_t Count, std::uint64_t Offset);

    // Same bytes as GetData, without the copy: valid until the next call on this buffer.
    std::string_view View(std::uint32_t Count, std::uint64_t Offset) {
        // Inside the chunk and already in memory: no read, no copy.
        if (Offset >= FWindowFirst && Offset < FDriveEndByte && Offset + Count <= FFilledEnd &&
            Offset + Count < FChunkEndByte)
            return {FData.get() + (Offset - FWindowFirst), Count};
        return ViewSlow(Count, Offset);
    }

    // Sectors that could not be read (served as zeros) so far, each counted once.
    std::uint64_t UnreadableSectors() const;
    // The same sectors as merged ranges: first sector -> one past the last.
    const std::map<std::uint64_t, std::uint64_t>& UnreadableRanges() const { return FUnreadable; }

    // Places the chunk at Offset's sector and reads its first slice.
    void LoadChunk(std::uint64_t Offset);

    // The caller asks for no byte before Offset until the chunk moves, so the memory holding them
    // may be reused. Asking for them anyway is served right, by reading them again.
    void ReleaseBefore(std::uint64_t Offset) {
        if (Offset > FKeepFrom) FKeepFrom = Offset;
    }

    // The first byte offset at or after Offset that may hold anything but zeros: Offset itself
    // unless it lies in a hole of a sparse image. Asks the reader once per hole or stretch of
    // data, so calling it per sector costs next to nothing.
    std::uint64_t NextData(std::uint64_t Offset);

    // Reading ahead, for drives whose reader allows it (MayReadAhead); a drive that does not, or
    // a system that refuses the thread or its memory, is read as before. Stopping waits for the
    // read in flight (at most one slice, or a megabyte of a chunk read whole) and forgets what
    // was read ahead. The destructor stops it too.
    void StartReadAhead();
    void StopReadAhead();
    bool ReadingAhead() const { return FAhead != nullptr; }
    // On for as long as it lives: a scan's way to make sure no read goes on after it returns,
    // however it ends.
    class TReadingAhead {
      public:
        explicit TReadingAhead(TDiskBuffer& Buffer) : FBuffer(Buffer) { FBuffer.StartReadAhead(); }
        ~TReadingAhead() { FBuffer.StopReadAhead(); }
        TReadingAhead(const TReadingAhead&) = delete;
        TReadingAhead& operator=(const TReadingAhead&) = delete;

      private:
        TDiskBuffer& FBuffer;
    };

    // Where the chunk lies now (first sector, number of sectors).
    std::int64_t ChunkStart() const { return FChunkStart; }
    std::int64_t ChunkCount() const { return FChunkCount; }
    const TDriveInfo& DriveInfo() const { return FDriveInfo; }

  private:
    class TAhead;

    void Start(std::uint32_t BufferSize, std::uint32_t SliceBytes);
    // Makes the window hold the chunk's bytes [Offset, End), both inside the chunk.
    void Hold(std::uint64_t Offset, std::uint64_t End);
    bool ReadRange(std::uint64_t First, std::uint64_t Count, char* Target);
    void ReadInPieces(std::uint64_t First, std::uint64_t Count, char* Target);
    void MarkUnreadable(std::uint64_t First, std::uint64_t Count);
    std::string_view ViewSlow(std::uint32_t Count, std::uint64_t Offset);
    std::string_view Assemble(std::uint32_t Count, std::uint64_t Offset);

    std::unique_ptr<TDriveReader> FReader;
    std::uint64_t FChunkSectors = 0;
    std::uint64_t FSliceSectors = 0;
    TDriveInfo FDriveInfo;
    std::uint32_t FSectorSize = 0;
    std::int64_t FTotalSectors = 0;
    std::int64_t FChunkStart = 0;
    std::int64_t FChunkCount = 0;
    // The window of the chunk held in memory: the drive's bytes [FWindowFirst, FFilledEnd), and
    // once the window reaches the chunk's end, FPadBytes zeros after them so that a request
    // reaching past the drive's end can still be handed out as a view. Room for a whole chunk.
    TPageBytes FData;
    std::uint64_t FPadBytes = 0;
    // The chunk and the drive in bytes, kept beside the sector numbers for the per-request test.
    std::uint64_t FChunkFirstByte = 0;
    std::uint64_t FChunkEndByte = 0;
    std::uint64_t FWindowFirst = 0;
    std::uint64_t FFilledEnd = 0;
    std::uint64_t FKeepFrom = 0; // bytes before this may be dropped from the window
    std::uint64_t FDriveEndByte = 0;
    std::string FScratch; // requests no single chunk can hold are put together here
    std::map<std::uint64_t, std::uint64_t> FUnreadable; // first sector -> one past the last
    std::uint64_t FUnreadableCount = 0;
    std::unique_ptr<TAhead> FAhead; // the reading-ahead thread and what it read, while on
    // Last answer about holes: [FExtentFrom, FDataStart) is a hole, [FDataStart, FDataEnd) data.
    std::uint64_t FExtentFrom = 0;
    std::uint64_t FDataStart = 0;
    std::uint64_t FDataEnd = 0;
};
