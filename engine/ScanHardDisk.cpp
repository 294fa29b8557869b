#include "ScanHardDisk.h"

#include "DiskBuffer.h"
#include "Error.h"
#include "SystemLayer.h"

#include <algorithm>
#include <array>
#include <exception>
#include <utility>

namespace {

// Size asked of the disk buffer (its chunk is twice this) and the longest run handed to the carver.
constexpr std::uint32_t kRunCap = 20971520;
constexpr unsigned kProgressInterval = 2000;
// Sectors tested over one request to the buffer while the chunk holds them.
constexpr std::uint64_t kHeldPieceBytes = 64 * 1024;

// Bytes a stored message's text is made of: tab, LF, VT, CR and printable ASCII.
constexpr std::array<bool, 256> MakeTextBytes() {
    std::array<bool, 256> t{};
    t[0x09] = t[0x0A] = t[0x0B] = t[0x0D] = true;
    for (int b = 0x20; b <= 0x7E; ++b)
        t[b] = true;
    return t;
}
constexpr std::array<bool, 256> kTextBytes = MakeTextBytes();

// Length of the leading run of text bytes in Bytes.
std::size_t TextPrefix(std::string_view Bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(Bytes.data());
    const std::size_t n = Bytes.size();
    std::size_t i = 0;
    // Eight at a time: the common case inside a run is that all of them are text.
    while (i + 8 <= n && kTextBytes[p[i]] && kTextBytes[p[i + 1]] && kTextBytes[p[i + 2]] &&
           kTextBytes[p[i + 3]] && kTextBytes[p[i + 4]] && kTextBytes[p[i + 5]] &&
           kTextBytes[p[i + 6]] && kTextBytes[p[i + 7]])
        i += 8;
    while (i < n && kTextBytes[p[i]])
        ++i;
    return i;
}

// Whether a sector may open a deep start: a header line or an mbox separator at its first byte.
bool DeepCandidate(std::string_view Sector) {
    return TDeepEmailParser::OpensHeaderLine(Sector) || TDeepEmailParser::OpensSeparator(Sector);
}

} // namespace

TScanHardDisk::TScanHardDisk(const std::string& DrivePath, const TScanOptions& Options,
                             ScanHost& Host)
    : TScanHardDisk(std::make_unique<TDiskBuffer>(DrivePath, BufferSize, PlatformSystem(),
                                                  Options.SectorSize),
                    Options, Host) {}

TScanHardDisk::TScanHardDisk(std::unique_ptr<TDiskBuffer> Buffer, const TScanOptions& Options,
                             ScanHost& Host)
    : FDeepScan(Options.Rule == TCarvingRule::Deep), FBuffer(std::move(Buffer)), FParser(Host),
      FHost(&Host), FDeepParser(Host),
      FDeepStarts([this](std::uint64_t Offset, std::uint32_t Count) {
          return FBuffer->View(Count, Offset);
      }) {
    if (!FBuffer) throw PwError("no disk buffer to scan");
    FResult.Emails = TFoundEmails(Options.MemoryBytes,
                                  Options.Scratch != nullptr ? *Options.Scratch : PlatformSystem());
    FSectorSize = FBuffer->SectorSize();
    if (FSectorSize == 0) throw PwError("the drive reports a sector size of 0");
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
        unsigned k = 0;
        while (s < N && !Stopping(s * FSectorSize)) {
            // Sectors whose two-sector window the chunk in memory holds are tested straight over
            // it; the first accepted one, and every window the chunk cannot serve, take the
            // general step below, which reads through the buffer and may move its chunk.
            if (TestHeldSectors(s, N, k)) continue;
            const std::uint64_t Offset = s * FSectorSize;
            if (k == kProgressInterval) {
                FHost->ProgressPosition(s);
                FHost->KeepAlive(1);
                k = 0;
            }
            // A sector that begins in a hole of a sparse image begins with a zero byte, which
            // opens no message; neither does any later sector up to the hole's end.
            const std::uint64_t data = FBuffer->NextData(Offset);
            if (data > Offset) {
                s = std::max(s + 1, data / FSectorSize);
                ++k;
                continue;
            }
            // The scan never looks back: the buffer may drop what lies before this sector.
            FBuffer->ReleaseBefore(Offset);
            const std::uint32_t L = ScanSector(Offset);
            const std::uint64_t c = L / FSectorSize + (L % FSectorSize > 0 ? 1 : 0);
            s += c > 0 ? c : 1;
            ++k;
        }
    } catch (...) {
        // The progress display must not outlive a scan that failed.
        FHost->ProgressClose();
        throw;
    }
    FHost->ProgressClose();
    FResult.UnreadableSectors = FBuffer->UnreadableSectors();
    for (const auto& [first, end] : FBuffer->UnreadableRanges())
        FResult.Unreadable.push_back({first, end - first});
    return std::move(FResult);
}

bool TScanHardDisk::TestHeldSectors(std::uint64_t& s, std::uint64_t N, unsigned& k) {
    const std::int64_t chunkStart = FBuffer->ChunkStart();
    const std::int64_t chunkEnd = chunkStart + FBuffer->ChunkCount();
    // The buffer serves a window from its chunk when it ends before the chunk's last byte.
    if (static_cast<std::int64_t>(s) < chunkStart || static_cast<std::int64_t>(s) + 3 > chunkEnd)
        return false;
    const std::uint64_t last =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(chunkEnd) - 3, N - 1);
    const std::uint32_t ss = FSectorSize;
    // The windows are asked for a piece at a time, each a fraction of the processor's cache: the
    // buffer reads the drive as far as a request reaches, so each piece is tested while the copy
    // the system made of it is still in the cache. Every request ends short of the chunk's last
    // byte, so that asking for it never moves the chunk.
    const std::uint64_t pieceSectors = std::max<std::uint64_t>(1, kHeldPieceBytes / ss);
    constexpr std::uint64_t kAhead = 16; // sectors fetched ahead of the test
    while (s <= last) {
        const std::uint64_t first = s;
        if (Stopping(first * ss)) return true;
        FBuffer->ReleaseBefore(first * ss);
        const std::uint64_t pieceLast = std::min(last, s + pieceSectors - 1);
        const char* base =
            FBuffer->View(static_cast<std::uint32_t>((pieceLast - first + 2) * ss), first * ss)
                .data();
        while (s <= pieceLast) {
            if (k == kProgressInterval) {
                FHost->ProgressPosition(s);
                FHost->KeepAlive(1);
                k = 0;
            }
            const char* window = base + (s - first) * ss;
            if (s + kAhead <= pieceLast) __builtin_prefetch(window + kAhead * ss);
            // A deep scan hands the general step every sector whose line 0 opens like a header
            // line, which either rule's start needs, or like an mbox separator.
            const bool candidate =
                FDeepScan ? DeepCandidate(std::string_view(window, ss))
                          : TEmailParser::MayStartMessage(static_cast<unsigned char>(window[0])) &&
                                FParser.IsMessageStart(
                                    std::string_view(window, 2 * static_cast<std::size_t>(ss)), ss);
            if (candidate) return false; // the general step examines this sector again
            ++s;
            ++k;
        }
    }
    return true;
}

std::uint32_t TScanHardDisk::ScanSector(std::uint64_t Offset) {
    if (FDeepScan) {
        // Either rule's start needs line 0 to open like a header line; most sectors are settled
        // on that, by their first bytes.
        if (!DeepCandidate(FBuffer->View(FSectorSize, Offset))) return 0;
        bool lookAlike = false;
        const std::uint32_t L = ScanSectorDeep(Offset, lookAlike);
        if (L > 0) return L;
        // What the deep rule knows for no mail is not taken by the standard rule's test either.
        if (lookAlike) return 0;
    }
    // Views are valid only until the next call on the buffer, so each is used before the next.
    const std::string_view Window = FBuffer->View(2 * FSectorSize, Offset);
    if (!FParser.IsMessageStart(Window, FSectorSize)) return 0;
    const std::uint32_t L = RunLength(Offset, &TextPrefix);
    const std::string_view run = FBuffer->View(L, Offset);
    FParser.ExtractCuts(run, FCuts);
    Append(run, Offset, TCarvingRule::Standard);
    return L;
}

std::uint32_t TScanHardDisk::ScanSectorDeep(std::uint64_t Offset, bool& LookAlike) {
    // Only a sector that opens like a header line or an mbox separator gets here, to be looked
    // at as far as its header block may reach. Separators are few: each is asked afresh.
    if (TDeepEmailParser::OpensSeparator(FBuffer->View(FSectorSize, Offset))) {
        const std::string_view view =
            FBuffer->View(FSectorSize + TDeepEmailParser::HeaderReach, Offset);
        const std::size_t block = FDeepParser.HeaderBlockLength(view, FSectorSize);
        if (block == 0 || TDeepEmailParser::TextRunLength(view.substr(0, block)) < block)
            return 0;
        return CarveDeep(Offset);
    }
    const TDeepBlockWalker::TStart start =
        FDeepStarts.Examine(Offset, FBuffer->View(FSectorSize, Offset));
    LookAlike = start.LookAlike;
    if (start.Block == 0) return 0;
    // The start test's last step: the block is text up to its empty line. Where it is not, the
    // run ends inside the block and is counted as if measured.
    if (start.Text < start.Block) {
        if (start.Text > 0) FHost->KeepAlive(start.Text);
        return 0;
    }
    return CarveDeep(Offset);
}

std::uint32_t TScanHardDisk::CarveDeep(std::uint64_t Offset) {
    const std::uint32_t L = RunLength(Offset, &TDeepEmailParser::TextRunLength);
    const std::string_view run = FBuffer->View(L, Offset);
    FDeepParser.ExtractCuts(run, FCuts, true);
    Append(run, Offset, TCarvingRule::Deep);
    return L;
}

void TScanHardDisk::Append(std::string_view Run, std::uint64_t Offset, TCarvingRule Rule) {
    // The run's view stays valid throughout: nothing here asks the buffer for bytes.
    for (const TCutMessage& cut : FCuts) {
        FHost->KeepAlive(1);
        const std::string_view text = Run.substr(cut.Start, cut.End - cut.Start);
        const std::string_view body =
            cut.HasBody ? Run.substr(cut.BodyStart, cut.End - cut.BodyStart) : std::string_view();
        try {
            FResult.Emails.Add(text, body,
                               {cut.Fields[0], cut.Fields[1], cut.Fields[2], cut.Fields[3]});
        } catch (const PwError& e) {
            // Nothing can be kept from here on: stop, with what was found so far.
            FResult.StopReason = e.what();
            return;
        }
        FResult.Places.push_back({Offset + cut.Start, Rule});
        FHost->MessageFound();
        FHost->MessageKept(FResult);
    }
}

bool TScanHardDisk::Stopping(std::uint64_t Offset) {
    if (FResult.Cancelled || !FResult.StopReason.empty()) return true;
    FHost->ProgressBytes(Offset);
    FResult.Cancelled = FHost->CancelRequested();
    return FResult.Cancelled;
}

std::uint32_t TScanHardDisk::RunLength(std::uint64_t Offset,
                                       std::size_t (*Prefix)(std::string_view)) {
    // Measured over the buffer's memory in growing pieces: a short run costs little, and a long
    // one moves the chunk at most once or twice.
    std::uint32_t run = 0;
    std::uint32_t piece = 2 * FSectorSize;
    while (run < kRunCap) {
        const std::uint32_t want = std::min(piece, kRunCap - run);
        const std::size_t got = Prefix(FBuffer->View(want, Offset + run));
        run += static_cast<std::uint32_t>(got);
        // A run may be 20 MiB long: the display moves inside it too.
        FHost->ProgressBytes(Offset + run);
        if (got < want) break;
        piece = std::min<std::uint32_t>(piece * 2, 1u << 20);
    }
    if (run > 0) FHost->KeepAlive(run);
    return run;
}
