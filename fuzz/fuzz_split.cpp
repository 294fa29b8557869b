// A scan split into pieces gives what the whole scan gives: carved by threads over pieces of any
// size down to one sector, and range by range then merged; for either rule, any sector size, with
// an unreadable stretch. Messages, their order and places (inside streams too), the unreadable
// sectors and the streams' counts must all be the same.

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "disk/DiskBuffer.h"
#include "disk/DriveReader.h"
#include "engine/ScanHardDisk.h"
#include "engine/ScanPieces.h"
#include "fuzz/FuzzSupport.h"

namespace {

struct TDrive {
    std::string Bytes;
    std::uint32_t Sector = 512;
    std::uint64_t BadFirst = 0, BadEnd = 0;
};

// Each thread reads through its own reader; the drive itself is shared and never changes.
class TReader final : public TDriveReader {
  public:
    explicit TReader(const TDrive& Drive) : FDrive(&Drive) {}
    std::int64_t ReadAt(void* Target, std::uint64_t Count, std::uint64_t Offset) override {
        if (Offset < FDrive->BadEnd && FDrive->BadFirst < Offset + Count) return -1;
        if (Offset >= FDrive->Bytes.size()) return 0;
        const std::uint64_t n = std::min<std::uint64_t>(Count, FDrive->Bytes.size() - Offset);
        std::memcpy(Target, FDrive->Bytes.data() + Offset, n);
        return static_cast<std::int64_t>(n);
    }
    std::uint64_t Size() const override { return FDrive->Bytes.size(); }
    std::uint32_t SectorSize() const override { return FDrive->Sector; }

  private:
    const TDrive* FDrive;
};

void CheckSame(const TScanResult& A, const TScanResult& B) {
    FUZZ_CHECK(A.Places.size() == B.Places.size() && A.Emails.size() == B.Emails.size());
    for (std::size_t i = 0; i < A.Places.size(); ++i) {
        FUZZ_CHECK(A.Places[i].Offset == B.Places[i].Offset);
        FUZZ_CHECK(A.Places[i].Rule == B.Places[i].Rule);
        FUZZ_CHECK(A.Places[i].Inside == B.Places[i].Inside);
        FUZZ_CHECK(A.Emails[i] == B.Emails[i]);
    }
    FUZZ_CHECK(A.UnreadableSectors == B.UnreadableSectors);
    FUZZ_CHECK(A.Unreadable.size() == B.Unreadable.size());
    for (std::size_t i = 0; i < A.Unreadable.size(); ++i)
        FUZZ_CHECK(A.Unreadable[i].First == B.Unreadable[i].First &&
                   A.Unreadable[i].Count == B.Unreadable[i].Count);
    FUZZ_CHECK(A.Streams.Opened == B.Streams.Opened);
    FUZZ_CHECK(A.Streams.InflatedBytes == B.Streams.InflatedBytes);
    FUZZ_CHECK(A.Streams.Bounded == B.Streams.Bounded);
    FUZZ_CHECK(!A.Cancelled && !B.Cancelled && A.StopReason == B.StopReason);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    TFuzzInput in(Data, Size);
    const std::uint8_t shape = in.Byte();
    TDrive drive;
    drive.Sector = 512u << (shape & 1);
    const TCarvingRule rule = (shape & 2) ? TCarvingRule::Deep : TCarvingRule::Standard;
    const unsigned jobs = 2 + ((shape >> 2) & 3);
    const std::uint64_t pieceSectors = 1 + in.Byte() % 16;
    const std::uint32_t cutSeed = in.Word();
    drive.BadFirst = in.Word();
    drive.BadEnd = drive.BadFirst + std::uint64_t{in.Byte()} * 8;
    // A small budget now and then, so that its being spent in drive order is tried too.
    const std::uint64_t budget = (shape & 64) ? 1 + std::uint64_t{in.Word()} * 64
                                              : TStreamOpener::ScanOutCap;
    drive.Bytes.assign(in.Rest());
    if (drive.Bytes.size() < 2 * drive.Sector) return 0;

    const TBufferMaker make = [&drive] {
        // Small chunks, so that pieces and runs cross chunk seams.
        return std::make_unique<TDiskBuffer>(std::make_unique<TReader>(drive),
                                             drive.Sector * 8);
    };
    TScanOptions options;
    options.Rule = rule;
    options.InflateBudget = budget;
    const TScanResult whole = TScanHardDisk(make, options, NullScanHost()).ScanDrive();

    TScanOptions split = options;
    split.Jobs = jobs;
    split.PieceBytes = pieceSectors * drive.Sector;
    CheckSame(whole, TScanHardDisk(make, split, NullScanHost()).ScanDrive());

    // Ranges cut where the input says, each scanned alone, merged.
    const std::uint64_t N = drive.Bytes.size() / drive.Sector;
    std::vector<TPieceRecord> parts;
    std::uint32_t cut = cutSeed;
    for (std::uint64_t at = 0; at < N;) {
        cut = cut * 1103515245u + 12345u;
        const std::uint64_t end = std::min(N, at + 1 + (cut >> 16) % 12);
        TPieceRecord piece = TScanHardDisk(make, options, NullScanHost()).ScanRange(at, end);
        // Through a part file's bytes, as a merge elsewhere would get it.
        TPartFile part;
        part.TargetBytes = N * drive.Sector;
        part.SectorSize = drive.Sector;
        part.Rule = rule;
        part.Piece = std::move(piece);
        parts.push_back(DecodePart(EncodePart(part)).Piece);
        at = end;
    }
    CheckSame(whole, TScanHardDisk(make, options, NullScanHost()).Merge(std::move(parts)));
    return 0;
}
