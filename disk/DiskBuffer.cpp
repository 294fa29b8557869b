#include "DiskBuffer.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "Error.h"
#include "SystemLayer.h"

namespace {

// How far the window of a chunk held in memory may grow before released bytes are dropped: a few
// slices, well inside the processor's cache (measured best between 256 KiB and 1 MiB).
constexpr std::uint64_t kWindowBytes = 512 * 1024;

} // namespace

TDiskBuffer::TDiskBuffer(const std::string& DrivePath, std::uint32_t BufferSize)
    : TDiskBuffer(DrivePath, BufferSize, PlatformSystem()) {}

TDiskBuffer::TDiskBuffer(const std::string& DrivePath, std::uint32_t BufferSize,
                         TSystemLayer& System, std::uint32_t ImageSectorSize,
                         std::uint32_t SliceBytes)
    : TDiskBuffer(ProbeDrive(System, DrivePath, ImageSectorSize), BufferSize, SliceBytes) {}

TDiskBuffer::TDiskBuffer(TDriveProbe Probe, std::uint32_t BufferSize, std::uint32_t SliceBytes)
    : FReader(std::move(Probe.Reader)), FDriveInfo(Probe.Info) {
    if (Probe.Problem == TDriveProblem::NoDrive) throw PwError("No drive or disk image was given");
    if (!Probe.Ok()) throw PwError("Cannot scan " + Probe.Path + ": " + Probe.Reason);
    Start(BufferSize, SliceBytes);
}

TDiskBuffer::TDiskBuffer(std::unique_ptr<TDriveReader> Reader, std::uint32_t BufferSize,
                         std::uint32_t SliceBytes)
    : FReader(std::move(Reader)) {
    const std::uint32_t sector = FReader->SectorSize();
    FDriveInfo.BytesPerSector = FDriveInfo.BytesPerCluster = sector;
    FDriveInfo.SectorsPerCluster = 1;
    FDriveInfo.TotalBytes = static_cast<std::int64_t>(
        std::min<std::uint64_t>(FReader->Size(), std::numeric_limits<std::int64_t>::max()));
    if (sector == 0 || FDriveInfo.TotalBytes < sector)
        throw PwError("Cannot scan the drive: it holds no whole sector");
    FDriveInfo.TotalClusters = FDriveInfo.TotalBytes / sector;
    Start(BufferSize, SliceBytes);
}

void TDiskBuffer::Start(std::uint32_t BufferSize, std::uint32_t SliceBytes) {
    FSectorSize = FDriveInfo.BytesPerSector;
    FTotalSectors = FDriveInfo.TotalBytes / FSectorSize;
    FChunkSectors = std::max<std::uint64_t>(1, std::uint64_t{BufferSize / FSectorSize} * 2);
    FSliceSectors = (SliceBytes == 0 || !FReader->ReadsInPieces())
                        ? FChunkSectors
                        : std::clamp<std::uint64_t>(SliceBytes / FSectorSize, 1, FChunkSectors);

    const std::uint64_t largest =
        std::min<std::uint64_t>(FChunkSectors, static_cast<std::uint64_t>(FTotalSectors));
    FPadBytes = std::uint64_t{FSectorSize} * 2;
    FDriveEndByte = static_cast<std::uint64_t>(FTotalSectors) * FSectorSize;
    // Left unset: only bytes a slice read has written, and the zeros past the drive's end, are
    // ever handed out.
    FData = std::make_unique_for_overwrite<char[]>(largest * FSectorSize + FPadBytes);
    LoadChunk(FSectorSize);
}

TDiskBuffer::~TDiskBuffer() = default;

std::int64_t TDiskBuffer::TotalSectors() const {
    return FTotalSectors;
}

std::uint32_t TDiskBuffer::SectorSize() const {
    return FSectorSize;
}

std::uint64_t TDiskBuffer::UnreadableSectors() const {
    return FUnreadableCount;
}

TBuffData TDiskBuffer::GetData(std::uint32_t Count, std::uint64_t Offset) {
    return TBuffData(View(Count, Offset));
}

std::string_view TDiskBuffer::ViewSlow(std::uint32_t Count, std::uint64_t Offset) {
    if (Offset >= FDriveEndByte) {
        // Wholly beyond the drive: nothing to read.
        FScratch.assign(Count, '\0');
        return FScratch;
    }
    // First sector before the chunk, or the sector after the range beyond its last sector.
    if (Offset < FChunkFirstByte || Offset + Count >= FChunkEndByte) LoadChunk(Offset);
    if (Count == 0) return {};
    // The last chunk is followed by zeros, so a request reaching past the drive's end is a view.
    const std::uint64_t end = Offset + Count;
    const std::uint64_t limit = FChunkEndByte + (FChunkEndByte == FDriveEndByte ? FPadBytes : 0);
    if (end > limit) return Assemble(Count, Offset);
    Hold(Offset, std::min(end, FChunkEndByte));
    return {FData.get() + (Offset - FWindowFirst), Count};
}

// Requests longer than a chunk (never made by the scan): walk the chunks, zeros past the end.
std::string_view TDiskBuffer::Assemble(std::uint32_t Count, std::uint64_t Offset) {
    std::string bytes(Count, '\0');
    const std::uint64_t total = static_cast<std::uint64_t>(FTotalSectors);
    std::uint64_t done = 0;
    while (done < Count) {
        const std::uint64_t at = Offset + done;
        const std::uint64_t sector = at / FSectorSize;
        if (sector >= total) break;
        if (static_cast<std::int64_t>(sector) < FChunkStart ||
            static_cast<std::int64_t>(sector) >= FChunkStart + FChunkCount)
            LoadChunk(at);
        const std::uint64_t n = std::min<std::uint64_t>(Count - done, FChunkEndByte - at);
        Hold(at, at + n);
        std::memcpy(bytes.data() + done, FData.get() + (at - FWindowFirst), n);
        done += n;
    }
    FScratch = std::move(bytes);
    return FScratch;
}

void TDiskBuffer::LoadChunk(std::uint64_t Offset) {
    FChunkStart = static_cast<std::int64_t>(
        std::min<std::uint64_t>(Offset / FSectorSize, static_cast<std::uint64_t>(FTotalSectors)));
    const std::int64_t remaining = FTotalSectors - FChunkStart;
    FChunkCount = std::min<std::int64_t>(remaining, static_cast<std::int64_t>(FChunkSectors));
    FChunkFirstByte = static_cast<std::uint64_t>(FChunkStart) * FSectorSize;
    FChunkEndByte = FChunkFirstByte + static_cast<std::uint64_t>(FChunkCount) * FSectorSize;
    FWindowFirst = FFilledEnd = FKeepFrom = FChunkFirstByte;
    if (FChunkCount == 0)
        std::memset(FData.get(), 0, FPadBytes);
    else
        Hold(FChunkFirstByte, FChunkFirstByte + 1);
}

void TDiskBuffer::Hold(std::uint64_t Offset, std::uint64_t End) {
    if (Offset < FWindowFirst) {
        // Dropped from the window since the chunk was placed: read it again.
        FWindowFirst = FFilledEnd = Offset - Offset % FSectorSize;
    }
    if (End <= FFilledEnd) return;
    // Before the window outgrows the processor's cache, whatever the caller released goes and the
    // rest moves to the start of the block, so that the next slices land in memory just used.
    const std::uint64_t keep = std::min(FKeepFrom, Offset) / FSectorSize * FSectorSize;
    if (keep > FWindowFirst && End - FWindowFirst > kWindowBytes) {
        if (FFilledEnd > keep)
            std::memmove(FData.get(), FData.get() + (keep - FWindowFirst), FFilledEnd - keep);
        else
            FFilledEnd = keep; // nothing before Offset is wanted: the gap is never read
        FWindowFirst = keep;
    }
    while (FFilledEnd < End) {
        const std::uint64_t first = FFilledEnd / FSectorSize;
        const std::uint64_t count =
            std::min(FSliceSectors, (FChunkEndByte - FFilledEnd) / FSectorSize);
        char* target = FData.get() + (FFilledEnd - FWindowFirst);
        if (!ReadRange(first, count, target)) {
            // Never serve an earlier chunk's bytes. A device or image is asked again piece by
            // piece so that one bad sector costs one sector; a volume read is all or nothing.
            if (FReader->ReadsInPieces()) {
                ReadInPieces(first, count, target);
            } else {
                std::memset(target, 0, count * FSectorSize);
                MarkUnreadable(first, count);
            }
        }
        FFilledEnd += count * FSectorSize;
    }
    if (FFilledEnd == FChunkEndByte)
        std::memset(FData.get() + (FFilledEnd - FWindowFirst), 0, FPadBytes);
}

std::uint64_t TDiskBuffer::NextData(std::uint64_t Offset) {
    if (Offset < FExtentFrom || Offset >= FDataEnd) {
        std::uint64_t start = 0, end = 0;
        if (!FReader->DataExtent(Offset, start, end) || start < Offset || end < start) {
            // Unknown: everything from here counts as data.
            start = Offset;
            end = std::numeric_limits<std::uint64_t>::max();
        }
        FExtentFrom = Offset;
        FDataStart = start;
        FDataEnd = std::max(end, start + 1);
    }
    return std::max(Offset, FDataStart);
}

bool TDiskBuffer::ReadRange(std::uint64_t First, std::uint64_t Count, char* Target) {
    return ReadFully(*FReader, Target, Count * FSectorSize, First * FSectorSize);
}

void TDiskBuffer::ReadInPieces(std::uint64_t First, std::uint64_t Count, char* Target) {
    if (Count == 1) {
        std::memset(Target, 0, FSectorSize);
        MarkUnreadable(First, 1);
        return;
    }
    const std::uint64_t half = Count / 2;
    if (!ReadRange(First, half, Target)) ReadInPieces(First, half, Target);
    char* second = Target + half * FSectorSize;
    if (!ReadRange(First + half, Count - half, second))
        ReadInPieces(First + half, Count - half, second);
}

void TDiskBuffer::MarkUnreadable(std::uint64_t First, std::uint64_t Count) {
    std::uint64_t begin = First, end = First + Count;
    auto it = FUnreadable.upper_bound(begin);
    if (it != FUnreadable.begin()) {
        auto before = std::prev(it);
        if (before->second >= begin) {
            begin = before->first;
            end = std::max(end, before->second);
            FUnreadableCount -= before->second - before->first;
            FUnreadable.erase(before);
        }
    }
    while (it != FUnreadable.end() && it->first <= end) {
        end = std::max(end, it->second);
        FUnreadableCount -= it->second - it->first;
        it = FUnreadable.erase(it);
    }
    FUnreadable.emplace(begin, end);
    FUnreadableCount += end - begin;
}
