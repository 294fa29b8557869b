#include "disk/DiskBuffer.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "disk/Error.h"
#include "disk/SystemLayer.h"
#include "disk/Waiting.h"

namespace {

// How far the window of a chunk held in memory may grow before released bytes are dropped: a few
// slices, well inside the processor's cache (measured best between 256 KiB and 1 MiB).
constexpr std::uint64_t WindowBytes = 512 * 1024;

// How far the reading-ahead thread may run ahead of the requests when chunks are read in slices:
// enough to keep the drive busy while the scan tests a stretch full of mail, little enough to
// stay in the processor's last-level cache until the scan copies it.
constexpr std::uint64_t AheadBytes = 4 * 1024 * 1024;
// Its reads: few enough to cost little in handing over, small enough to stop promptly.
constexpr std::uint64_t AheadPieceBytes = 1024 * 1024;

constexpr std::align_val_t Page{4096};

} // namespace

void TPageBytesFree::operator()(char* Bytes) const noexcept {
    ::operator delete[](Bytes, Page);
}

TPageBytes MakePageBytes(std::size_t Count) {
    return TPageBytes(static_cast<char*>(::operator new[](Count, Page)));
}

// The drive's bytes from From onwards as read by a thread of its own, in equal slots held in a
// ring: slot k is [From + k x SlotBytes, ...) and lives at memory index (Head + k) mod Slots. The
// thread writes only a slot outside the ring and adds it under the lock; the request's thread
// copies only slots inside it. All calls on the reader, from either thread, hold ReadLock.
class TDiskBuffer::TAhead {
  public:
    TAhead(TDriveReader& Reader, std::uint64_t SlotBytes, std::uint64_t Slots,
           std::uint64_t DriveEnd, std::uint64_t From)
        : FReader(Reader), FSlotBytes(SlotBytes), FSlots(Slots), FDriveEnd(DriveEnd),
          FData(MakePageBytes(SlotBytes * Slots)), FFailed(Slots, 0), FFrom(From), FNext(From) {}
    ~TAhead() {
        if (!FThread.joinable()) return;
        {
            const std::lock_guard<TLock> lock(FLock);
            FStop = true;
        }
        FChanged.notify_all();
        FThread.join();
    }

    // Starts the thread, reading from From on.
    void Begin(std::uint64_t From) {
        FFrom = FNext = From;
        FThread = std::thread([this] { Run(); });
    }
    TAhead(const TAhead&) = delete;
    TAhead& operator=(const TAhead&) = delete;

    TLock ReadLock;

    // Copies the drive's bytes [At, At + Count) into Target when the thread has read them all
    // without a failure, waiting for it where it is on its way there. Otherwise false: the caller
    // reads them itself, and the thread goes on from where the caller will ask next.
    bool Take(std::uint64_t At, std::uint64_t Count, char* Target) {
        const std::uint64_t end = At + Count;
        std::unique_lock<TLock> lock(FLock);
        Drop(At);
        // On the thread's way: it has read At or is reading it, and the ring can hold everything
        // up to end without dropping a byte of it. Where the thread has not begun At yet (the
        // system gives it no time), waiting could take long: the caller reads instead.
        if (FFrom <= At && At < FNext + (FBusy ? FSlotBytes : 0) &&
            end <= FFrom + FSlots * FSlotBytes) {
            FChanged.wait(lock, [&] { return FNext >= end || Failed(At, end) || !FBusy || FStop; });
        }
        if (FFrom <= At && FNext >= end) {
            if (Failed(At, end)) return false; // the caller retries as it would have
            for (std::uint64_t at = At; at < end;) {
                const std::uint64_t k = (at - FFrom) / FSlotBytes;
                const std::uint64_t within = (at - FFrom) % FSlotBytes;
                const std::uint64_t n = std::min(FSlotBytes - within, end - at);
                std::memcpy(Target + (at - At),
                            FData.get() + ((FHead + k) % FSlots) * FSlotBytes + within, n);
                at += n;
            }
            // What lies before this request's last slot is done with. That slot stays: the next
            // chunk usually begins a sector or two before the end of this one.
            Drop(std::max(At, end - std::min(end, FSlotBytes)));
            return true;
        }
        // Somewhere else: start again from where the caller goes on.
        Restart(ResumeAt(At, Count), lock);
        return false;
    }

    // Where to read on after the caller read [At, At + Count) itself: right after it, or for a
    // chunk read whole, a slot before its end, where the next chunk will begin.
    std::uint64_t ResumeAt(std::uint64_t At, std::uint64_t Count) const {
        const std::uint64_t end = std::min(At + Count, FDriveEnd);
        return Count > FSlotBytes ? end - FSlotBytes : end;
    }

  private:
    void Restart(std::uint64_t From, std::unique_lock<TLock>& Lock) {
        ++FGeneration;
        FHead = FCount = 0;
        FFrom = FNext = From;
        Lock.unlock();
        FChanged.notify_all();
    }
    // Drops the slots that end at or before Offset.
    void Drop(std::uint64_t Offset) {
        bool dropped = false;
        while (FCount > 0 && std::min(FFrom + FSlotBytes, FDriveEnd) <= Offset) {
            FFrom += FSlotBytes;
            FHead = (FHead + 1) % FSlots;
            --FCount;
            dropped = true;
        }
        if (FCount == 0) FFrom = FNext;
        if (dropped) FChanged.notify_all();
    }
    // Whether a slot read so far that overlaps [At, End) failed.
    bool Failed(std::uint64_t At, std::uint64_t End) const {
        for (std::uint64_t k = (At - FFrom) / FSlotBytes;
             k < FCount && FFrom + k * FSlotBytes < End; ++k)
            if (FFailed[(FHead + k) % FSlots]) return true;
        return false;
    }

    void Run() {
        std::unique_lock<TLock> lock(FLock);
        while (!FStop) {
            if (FCount == FSlots || FNext >= FDriveEnd) {
                FChanged.wait(lock);
                continue;
            }
            const std::uint64_t generation = FGeneration;
            const std::uint64_t at = FNext;
            const std::uint64_t n = std::min(FSlotBytes, FDriveEnd - at);
            const std::uint64_t slot = (FHead + FCount) % FSlots;
            FBusy = true;
            lock.unlock();
            bool ok = false;
            {
                const std::lock_guard<TLock> read(ReadLock);
                ok = ReadFully(FReader, FData.get() + slot * FSlotBytes, n, at);
            }
            lock.lock();
            FBusy = false;
            FChanged.notify_all();
            if (generation != FGeneration) continue; // the requests went elsewhere meanwhile
            FFailed[slot] = ok ? 0 : 1;
            ++FCount;
            FNext = at + n;
        }
    }

    TDriveReader& FReader;
    const std::uint64_t FSlotBytes;
    const std::uint64_t FSlots;
    const std::uint64_t FDriveEnd;
    TPageBytes FData;
    std::vector<char> FFailed; // by memory index
    TLock FLock;
    TCondition FChanged;
    std::uint64_t FFrom;
    std::uint64_t FNext; // end of the slots read: where the thread reads next
    std::uint64_t FHead = 0;
    std::uint64_t FCount = 0;
    std::uint64_t FGeneration = 0;
    bool FStop = false;
    bool FBusy = false; // a read of [FNext, ...) is in flight
    std::thread FThread;
};

TDiskBuffer::TDiskBuffer(const std::string& DrivePath, std::uint32_t BufferSize)
    : TDiskBuffer(DrivePath, BufferSize, PlatformSystem()) {}

TDiskBuffer::TDiskBuffer(const std::string& DrivePath, std::uint32_t BufferSize,
                         TSystemLayer& System, std::uint32_t ImageSectorSize,
                         std::uint32_t SliceBytes)
    : TDiskBuffer(ProbeDrive(System, DrivePath, ImageSectorSize), BufferSize, SliceBytes) {}

TDiskBuffer::TDiskBuffer(TDriveProbe Probe, std::uint32_t BufferSize, std::uint32_t SliceBytes)
    : FReader(std::move(Probe.Reader)), FDriveInfo(Probe.Info) {
    if (Probe.Problem == TDriveProblem::NoDrive) throw TPwError("No drive or disk image was given");
    if (!Probe.Ok()) throw TPwError("Cannot scan " + Probe.Path + ": " + Probe.Reason);
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
        throw TPwError("Cannot scan the drive: it holds no whole sector");
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
    FData = MakePageBytes(largest * FSectorSize + FPadBytes);
    LoadChunk(FSectorSize);
}

TDiskBuffer::~TDiskBuffer() {
    StopReadAhead();
}

void TDiskBuffer::StartReadAhead() {
    if (FAhead || !FReader->MayReadAhead() || FTotalSectors <= 0) return;
    const std::uint64_t sector = FSectorSize;
    const std::uint64_t chunkBytes =
        std::min<std::uint64_t>(FChunkSectors, static_cast<std::uint64_t>(FTotalSectors)) * sector;
    std::uint64_t slotBytes = 0, slots = 0;
    if (FSliceSectors < FChunkSectors) {
        slotBytes = std::max(FSliceSectors, AheadPieceBytes / sector) * sector;
        slots = std::max<std::uint64_t>(2, AheadBytes / slotBytes);
    } else {
        // Chunks read whole: room for the next one and a little, so that it is read while the
        // scan works on this one.
        slotBytes = std::clamp<std::uint64_t>(AheadPieceBytes / sector * sector, sector,
                                              std::max(chunkBytes, sector));
        slots = (chunkBytes + slotBytes - 1) / slotBytes + 2;
    }
    try {
        FAhead = std::make_unique<TAhead>(*FReader, slotBytes, slots, FDriveEndByte, FDriveEndByte);
        // From where the requests will go on; a chunk read whole goes on a little before its end.
        const std::uint64_t filled = FFilledEnd;
        const std::uint64_t from =
            filled >= FChunkEndByte && FChunkFirstByte < FChunkEndByte
                ? FAhead->ResumeAt(FChunkFirstByte, FChunkEndByte - FChunkFirstByte)
                : filled;
        FAhead->Begin(std::min(from, FDriveEndByte));
    } catch (const std::exception&) {
        // No thread or no memory for it: read as before, in the requests' own thread.
        FAhead.reset();
    }
}

void TDiskBuffer::StopReadAhead() {
    FAhead.reset();
}

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
    // Not while the caller holds on to more than it released (a long text run being measured):
    // the move would copy that much to free little, again and again as the run grows.
    const std::uint64_t keep = std::min(FKeepFrom, Offset) / FSectorSize * FSectorSize;
    const bool worthMoving = FFilledEnd <= keep || FFilledEnd - keep <= keep - FWindowFirst;
    if (keep > FWindowFirst && End - FWindowFirst > WindowBytes && worthMoving) {
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
        if (FAhead && FAhead->Take(first * FSectorSize, count * FSectorSize, target)) {
            // Read ahead without a failure: the same bytes the read below would bring.
        } else if (!ReadRange(first, count, target)) {
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
        bool known = false;
        if (FAhead) {
            const std::lock_guard<TLock> lock(FAhead->ReadLock);
            known = FReader->DataExtent(Offset, start, end);
        } else {
            known = FReader->DataExtent(Offset, start, end);
        }
        if (!known || start < Offset || end < start) {
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
    if (FAhead) {
        const std::lock_guard<TLock> lock(FAhead->ReadLock);
        return ReadFully(*FReader, Target, Count * FSectorSize, First * FSectorSize);
    }
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
