#include "engine/ScanHardDisk.h"

#include "disk/DiskBuffer.h"
#include "disk/Error.h"
#include "disk/SystemLayer.h"
#include "engine/DeepRule.h"
#include "engine/emailparser.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace {

constexpr unsigned ProgressInterval = 2000;
// Sectors tested over one request to the buffer while the chunk holds them.
constexpr std::uint64_t HeldPieceBytes = 64 * 1024;
// Sectors fetched ahead of the test.
constexpr std::uint64_t PrefetchSectors = 16;

// The drive as a compressed stream's input: whole sectors' bytes, none past them.
class TDriveInput final : public TStreamInput {
  public:
    TDriveInput(TDiskBuffer& Buffer, std::uint64_t End) : FBuffer(&Buffer), FEnd(End) {}
    std::string_view Bytes(std::uint64_t Offset, std::size_t Count) override {
        if (Offset >= FEnd) return {};
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(Count, FEnd - Offset));
        return FBuffer->View(n, Offset);
    }

  private:
    TDiskBuffer* FBuffer;
    std::uint64_t FEnd;
};

std::unique_ptr<TRule> MakeRule(TCarvingRule Rule, TScanHost& Host) {
    if (Rule == TCarvingRule::Deep) return std::make_unique<TDeepRule>(Host);
    return std::make_unique<TEmailParser>(Host);
}

} // namespace

TScanHardDisk::TScanHardDisk(const std::string& DrivePath, const TScanOptions& Options,
                             TScanHost& Host)
    : TScanHardDisk(std::make_unique<TDiskBuffer>(DrivePath, BufferSize, PlatformSystem(),
                                                  Options.SectorSize),
                    Options, Host) {}

TScanHardDisk::TScanHardDisk(std::unique_ptr<TDiskBuffer> Buffer, const TScanOptions& Options,
                             TScanHost& Host)
    : FBuffer(std::move(Buffer)), FHost(&Host), FRule(MakeRule(Options.Rule, Host)),
      FDrive([this](std::uint64_t Offset, std::uint32_t Count) {
          FDriveAsked = true;
          return FBuffer->View(Count, Offset);
      }) {
    if (!FBuffer) throw TPwError("no disk buffer to scan");
    FResult.Emails = TFoundEmails(Options.MemoryBytes,
                                  Options.Scratch != nullptr ? *Options.Scratch : PlatformSystem());
    FSectorSize = FBuffer->SectorSize();
    if (FSectorSize == 0) throw TPwError("the drive reports a sector size of 0");
    if (Options.Rule == TCarvingRule::Deep)
        FStreams =
            std::make_unique<TStreamOpener>(Host, [this](const TCutList& Cuts, TCarvingRule Rule,
                                                         const std::vector<TStreamStep>& Steps) {
                return Keep(Cuts, Rule, &Steps);
            });
}

TScanHardDisk::~TScanHardDisk() = default;

std::uint32_t TScanHardDisk::SectorSize() const {
    return FSectorSize;
}

std::uint64_t TScanHardDisk::DriveBytes() const {
    return static_cast<std::uint64_t>(FBuffer->TotalSectors()) * FSectorSize;
}

TScanResult TScanHardDisk::ScanDrive() {
    FHost->KeepAlive(1);
    // The whole drive: the sector count is kept in 64 bits, so drives of 2^32 sectors and more are
    // walked to their last sector and the progress maximum is the true count.
    const std::int64_t total = FBuffer->TotalSectors();
    const std::uint64_t N = total > 0 ? static_cast<std::uint64_t>(total) : 0;
    FHost->ProgressOpen(N);
    // The drive is read ahead while the sectors are tested, and no more once the scan returns.
    const TDiskBuffer::TReadingAhead readingAhead(*FBuffer);
    try {
        std::uint64_t s = 1;
        while (s < N && !Stopping(s * FSectorSize))
            s = ScanPiece(s, N);
    } catch (...) {
        // The progress display must not outlive a scan that failed.
        FHost->ProgressClose();
        throw;
    }
    FHost->ProgressClose();
    if (FStreams) FResult.Streams = FStreams->Counts();
    FResult.UnreadableSectors = FBuffer->UnreadableSectors();
    for (const auto& [first, end] : FBuffer->UnreadableRanges())
        FResult.Unreadable.push_back({first, end - first});
    return std::move(FResult);
}

void TScanHardDisk::Step(std::uint64_t s) {
    if (FSteps == ProgressInterval) {
        FHost->ProgressPosition(s);
        FHost->KeepAlive(1);
        FSteps = 0;
    }
}

std::uint64_t TScanHardDisk::HeldThrough(std::uint64_t s, std::uint64_t N) const {
    const std::int64_t chunkStart = FBuffer->ChunkStart();
    const std::int64_t chunkEnd = chunkStart + FBuffer->ChunkCount();
    // The buffer serves a window from its chunk when it ends before the chunk's last byte.
    if (static_cast<std::int64_t>(s) < chunkStart || static_cast<std::int64_t>(s) + 3 > chunkEnd)
        return 0;
    return std::min<std::uint64_t>(static_cast<std::uint64_t>(chunkEnd) - 3, N - 1);
}

std::uint64_t TScanHardDisk::ScanPiece(std::uint64_t s, std::uint64_t N) {
    const std::uint32_t ss = FSectorSize;
    const std::uint64_t offset = s * ss;
    const std::uint64_t held = HeldThrough(s, N);
    if (held == 0) {
        // A window the chunk cannot serve: this sector alone, read through the buffer, which may
        // move its chunk.
        Step(s);
        // A sector that begins in a hole of a sparse image begins with a zero byte, which opens
        // no message; neither does any later sector up to the hole's end.
        const std::uint64_t data = FBuffer->NextData(offset);
        if (data > offset) {
            ++FSteps;
            return std::max(s + 1, data / ss);
        }
        // The scan never looks back: the buffer may drop what lies before this sector.
        FBuffer->ReleaseBefore(offset);
        const std::string_view window = FBuffer->View(TRule::WindowSectors * ss, offset);
        ++FSteps;
        if (FStreams && OpenStreams(offset, window)) return s + 1;
        const std::uint64_t sectors = Examine({offset, window});
        return s + std::max<std::uint64_t>(sectors, 1);
    }
    // Sectors whose window the chunk holds are tested over one view of a piece of it, a fraction
    // of the processor's cache: the buffer reads the drive as far as a request reaches, so each
    // piece is tested while the copy the system made of it is still in the cache. Every request
    // ends short of the chunk's last byte, so that asking for it never moves the chunk.
    const std::uint64_t last =
        std::min(held, s + std::max<std::uint64_t>(1, HeldPieceBytes / ss) - 1);
    FBuffer->ReleaseBefore(offset);
    const char* base =
        FBuffer->View(static_cast<std::uint32_t>((last - s + TRule::WindowSectors) * ss), offset)
            .data();
    FDriveAsked = false;
    for (std::uint64_t at = s; at <= last; ++at) {
        Step(at);
        const char* window = base + (at - s) * ss;
        if (at + PrefetchSectors <= last) __builtin_prefetch(window + PrefetchSectors * ss);
        std::uint64_t sectors = 0;
        // No message starts where a stream does: a stream's header opens no header line.
        if (FStreams && OpenStreams(at * ss, std::string_view(window, std::size_t{2} * ss))) {
            ++FSteps;
            return at + 1;
        }
        if (FRule->MayStart(static_cast<unsigned char>(window[0]))) {
            FBuffer->ReleaseBefore(at * ss);
            sectors = Examine(
                {at * ss, std::string_view(window, std::size_t{TRule::WindowSectors} * ss)});
        }
        ++FSteps;
        // A run was cut, or the rule read past its window: the piece's view may be gone.
        if (sectors > 0) return at + sectors;
        if (FDriveAsked) return at + 1;
    }
    return last + 1;
}

std::uint64_t TScanHardDisk::Examine(const TByteRun& Window) {
    TRule* const carver = FRule->StartsAt(Window, FSectorSize, FDrive);
    if (carver == nullptr) return 0;
    const std::uint32_t L = Carve(*carver, Window.DriveOffset);
    const std::uint64_t c = L / FSectorSize + (L % FSectorSize > 0 ? 1 : 0);
    return std::max<std::uint64_t>(c, 1);
}

std::uint32_t TScanHardDisk::Carve(TRule& Rule, std::uint64_t Offset) {
    const std::uint32_t L = RunLength(Rule, Offset);
    // Views are valid only until the next call on the buffer: nothing below asks it for bytes.
    Rule.Carve({Offset, FBuffer->View(L, Offset)}, FCuts);
    Keep(FCuts, Rule.Kind());
    return L;
}

bool TScanHardDisk::Keep(const TCutList& Cuts, TCarvingRule Rule,
                         const std::vector<TStreamStep>* Inside) {
    for (const TCutMessage& cut : Cuts) {
        FHost->KeepAlive(1);
        try {
            FResult.Emails.Add(cut.FullText, cut.Body,
                               {cut.Fields[0], cut.Fields[1], cut.Fields[2], cut.Fields[3]});
        } catch (const TPwError& e) {
            // Nothing can be kept from here on: stop, with what was found so far.
            FResult.StopReason = e.what();
            return false;
        }
        TEmailPlace place{cut.DriveOffset, Rule, {}};
        if (Inside != nullptr && !Inside->empty()) {
            // The cut's offset is its place in the innermost stream's inflated bytes.
            place.Inside = *Inside;
            place.Inside.back().At = cut.DriveOffset;
            place.Offset = place.Inside.front().Offset;
        }
        FResult.Places.push_back(std::move(place));
        FHost->MessageFound();
        FHost->MessageKept(FResult);
    }
    return true;
}

bool TScanHardDisk::OpenStreams(std::uint64_t Offset, std::string_view Window) {
    const auto first = static_cast<unsigned char>(Window[0]);
    if ((first != 0x1F && first != 'P') || Offset < FStreamsEnd ||
        !TStreamOpener::OpensStream(Window))
        return false;
    TDriveInput input(*FBuffer, DriveBytes());
    // A header inside what these streams took (a zip's later entry, bytes of a deflate stream)
    // was followed already, or is none.
    const std::size_t before = FResult.Places.size();
    FStreamsEnd = FStreams->OpenOnDrive(input, Offset);
    // How long each stream was is known once it has ended: its messages learn it now.
    for (std::size_t i = before; i < FResult.Places.size(); ++i) {
        TStreamStep& outer = FResult.Places[i].Inside.front();
        for (const TStreamStep& opened : FStreams->Opened())
            if (opened.Offset == outer.Offset) outer.Length = opened.Length;
    }
    if (FStreams->Cancelled()) FResult.Cancelled = true;
    return true;
}

bool TScanHardDisk::Stopping(std::uint64_t Offset) {
    if (FResult.Cancelled || !FResult.StopReason.empty()) return true;
    FHost->ProgressBytes(Offset);
    FResult.Cancelled = FHost->CancelRequested();
    return FResult.Cancelled;
}

std::uint32_t TScanHardDisk::RunLength(const TRule& Rule, std::uint64_t Offset) {
    // Measured over the buffer's memory in growing pieces: a short run costs little, and a long
    // one moves the chunk at most once or twice.
    std::uint32_t run = 0;
    std::uint32_t piece = 2 * FSectorSize;
    while (run < TRule::RunCap) {
        const std::uint32_t want = std::min(piece, TRule::RunCap - run);
        const std::size_t got = Rule.TextPrefix(FBuffer->View(want, Offset + run));
        run += static_cast<std::uint32_t>(got);
        // A run may be 20 MiB long: the display moves inside it too.
        FHost->ProgressBytes(Offset + run);
        if (got < want) break;
        piece = std::min<std::uint32_t>(piece * 2, 1u << 20);
    }
    if (run > 0) FHost->KeepAlive(run);
    return run;
}
