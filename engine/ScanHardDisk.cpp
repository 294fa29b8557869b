#include "engine/ScanHardDisk.h"

#include "disk/DiskBuffer.h"
#include "disk/Error.h"
#include "disk/SystemLayer.h"
#include "disk/Waiting.h"
#include "engine/ClientFlags.h"
#include "engine/DeepRule.h"
#include "engine/ScanPieces.h"
#include "engine/emailparser.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace {

constexpr unsigned ProgressInterval = 2000;
// Sectors tested over one request to the buffer while the chunk holds them.
constexpr std::uint64_t HeldPieceBytes = 64 * 1024;
// A piece's findings go to the merge after this many runs, this many sectors or this many bytes
// found, whichever first. On a mail-dense drive a run is a message or two of a kilobyte: fewer
// runs a batch would hand over batches too small to be worth their lock and their buffers.
constexpr std::size_t PublishEvents = 1024;
constexpr std::uint64_t PublishSectors = 4096;
constexpr std::size_t PublishBytes = 1u << 20;
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
    : TScanHardDisk(TBufferMaker([DrivePath, SectorSize = Options.SectorSize] {
                        return std::make_unique<TDiskBuffer>(DrivePath, BufferSize,
                                                             PlatformSystem(), SectorSize);
                    }),
                    Options, Host) {}

TScanHardDisk::TScanHardDisk(TBufferMaker MakeBuffer, const TScanOptions& Options, TScanHost& Host)
    : TScanHardDisk(MakeBuffer ? MakeBuffer() : nullptr, Options, Host) {
    FMakeBuffer = std::move(MakeBuffer);
}

TScanHardDisk::TScanHardDisk(std::unique_ptr<TDiskBuffer> Buffer, const TScanOptions& Options,
                             TScanHost& Host)
    : FBuffer(std::move(Buffer)), FHost(&Host), FRule(MakeRule(Options.Rule, Host)),
      FDrive([this](std::uint64_t Offset, std::uint32_t Count) {
          FDriveAsked = true;
          return FBuffer->View(Count, Offset);
      }),
      FOptions(Options) {
    if (!FBuffer) throw TPwError("no disk buffer to scan");
    FResult.Emails =
        Options.Keep != TFoundEmails::TKeep::Everything
            ? TFoundEmails::Keeping(Options.Keep)
            : TFoundEmails(Options.MemoryBytes,
                           Options.Scratch != nullptr ? *Options.Scratch : PlatformSystem());
    FSectorSize = FBuffer->SectorSize();
    if (FSectorSize == 0) throw TPwError("the drive reports a sector size of 0");
    if (Options.Rule == TCarvingRule::Deep)
        FStreams = std::make_unique<TStreamOpener>(
            Host,
            [this](const TCutList& Cuts, TCarvingRule Rule, const std::vector<TStreamStep>& Steps) {
                return Keep(Cuts, Rule, &Steps);
            },
            Options.InflateBudget);
}

TScanHardDisk::~TScanHardDisk() = default;

std::uint32_t TScanHardDisk::SectorSize() const {
    return FSectorSize;
}

std::uint64_t TScanHardDisk::DriveBytes() const {
    return static_cast<std::uint64_t>(FBuffer->TotalSectors()) * FSectorSize;
}

TScanResult TScanHardDisk::ScanDrive() {
    // The whole drive: the sector count is kept in 64 bits, so drives of 2^32 sectors and more are
    // walked to their last sector and the progress maximum is the true count.
    const std::int64_t total = FBuffer->TotalSectors();
    const std::uint64_t N = total > 0 ? static_cast<std::uint64_t>(total) : 0;
    if (FOptions.Jobs > 1 && FMakeBuffer && N > 2) return ScanSplit(N);
    return ScanWhole(N);
}

TScanResult TScanHardDisk::ScanWhole(std::uint64_t N) {
    FHost->KeepAlive(1);
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
    TakeUnreadable({});
    return std::move(FResult);
}

void TScanHardDisk::TakeUnreadable(
    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& Others) {
    // Every piece reads its own sectors, so the sectors the pieces found unreadable together are
    // those one scan would: the ranges are joined where they touch or overlap.
    std::map<std::uint64_t, std::uint64_t> all(FBuffer->UnreadableRanges());
    for (const auto& [first, end] : Others) {
        auto [at, fresh] = all.emplace(first, end);
        if (!fresh) at->second = std::max(at->second, end);
    }
    FResult.Unreadable.clear();
    FResult.UnreadableSectors = 0;
    for (const auto& [first, end] : all) {
        if (!FResult.Unreadable.empty()) {
            TSectorRange& last = FResult.Unreadable.back();
            if (first <= last.First + last.Count) {
                last.Count = std::max(last.First + last.Count, end) - last.First;
                continue;
            }
        }
        FResult.Unreadable.push_back({first, end - first});
    }
    for (const TSectorRange& r : FResult.Unreadable)
        FResult.UnreadableSectors += r.Count;
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
    const std::uint64_t start = Window.DriveOffset / FSectorSize;
    if (FLog != nullptr) FLog->NewEvent(start);
    const std::uint32_t L = Carve(*carver, Window.DriveOffset, FRule->KnownText());
    const std::uint64_t c =
        std::max<std::uint64_t>(L / FSectorSize + (L % FSectorSize > 0 ? 1 : 0), 1);
    if (FLog != nullptr) {
        // A run that covers no later sector and gave nothing changes nothing a merge sees.
        if (c == 1 && FLog->Events.back().MessageCount == 0)
            FLog->DropLast();
        else
            FLog->Events.back().Next = start + c;
    }
    return c;
}

std::uint32_t TScanHardDisk::Carve(TRule& Rule, std::uint64_t Offset, std::size_t Known) {
    const std::uint32_t L = RunLength(Rule, Offset, Known);
    // Views are valid only until the next call on the buffer: nothing below asks it for bytes.
    Rule.Carve({Offset, FBuffer->View(L, Offset)}, FCuts);
    Keep(FCuts, Rule.Kind());
    return L;
}

bool TScanHardDisk::Keep(const TCutList& Cuts, TCarvingRule Rule,
                         const std::vector<TStreamStep>* Inside) {
    for (const TCutMessage& cut : Cuts) {
        TEmailPlace place{cut.DriveOffset, Rule, {}};
        if (Inside != nullptr && !Inside->empty()) {
            // The cut's offset is its place in the innermost stream's inflated bytes.
            place.Inside = *Inside;
            place.Inside.back().At = cut.DriveOffset;
            place.Offset = place.Inside.front().Offset;
        }
        if (!KeepFound(cut.FullText, cut.Body,
                       {cut.Fields[0], cut.Fields[1], cut.Fields[2], cut.Fields[3]},
                       std::move(place), cut.ClientDeleted))
            return false;
    }
    return true;
}

bool TScanHardDisk::KeepFound(std::string_view FullText, std::string_view Body,
                              const TEmailHeaders& Fields, TEmailPlace Place,
                              std::optional<bool> ClientDeleted) {
    if (FLog != nullptr) {
        // A piece's thread copies the bytes out of its buffer once, for the merge to keep.
        const std::string_view fields[4] = {Fields.From, Fields.To, Fields.Subject, Fields.Date};
        FLog->Add(FullText, Body, fields, std::move(Place),
                  ClientDeleted ? *ClientDeleted : IsClientDeleted(FullText, Body));
        return true;
    }
    FHost->KeepAlive(1);
    try {
        FResult.Emails.Add(FullText, Body, Fields, ClientDeleted);
    } catch (const TPwError& e) {
        // Nothing can be kept from here on: stop, with what was found so far.
        FResult.StopReason = e.what();
        return false;
    }
    if (FOptions.Keep == TFoundEmails::TKeep::Latest) FResult.Places.clear();
    FResult.Places.push_back(std::move(Place));
    FHost->MessageFound();
    FHost->MessageKept(FResult);
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
    const std::size_t before = FResult.Emails.size();
    const TStreamCounts spent = FStreams->Counts();
    if (FLog != nullptr) {
        TPieceEvent& event = FLog->NewEvent(Offset / FSectorSize);
        event.Stream = true;
        event.BudgetUsed = spent.InflatedBytes;
    }
    FStreamsEnd = FStreams->OpenOnDrive(input, Offset);
    // How long each stream was is known once it has ended: its messages learn it now.
    const auto learnLength = [this](TEmailPlace& Place) {
        TStreamStep& outer = Place.Inside.front();
        for (const TStreamStep& opened : FStreams->Opened())
            if (opened.Offset == outer.Offset) outer.Length = opened.Length;
    };
    if (FLog != nullptr) {
        TPieceEvent& event = FLog->Events.back();
        for (std::size_t k = event.FirstMessage; k < FLog->Messages.size(); ++k)
            learnLength(FLog->Messages[k].Place);
        event.StreamsEnd = FStreamsEnd;
        const TStreamCounts& now = FStreams->Counts();
        event.Counts = {now.Opened - spent.Opened, now.InflatedBytes - spent.InflatedBytes,
                        now.Bounded - spent.Bounded};
    } else {
        // Of the messages the streams gave, those whose places are still held.
        const std::size_t held = FResult.Emails.size() - FResult.Places.size();
        for (std::size_t i = std::max(before, held); i < FResult.Emails.size(); ++i)
            learnLength(FResult.Places[i - held]);
    }
    if (FStreams->Cancelled()) FResult.Cancelled = true;
    return true;
}

bool TScanHardDisk::Stopping(std::uint64_t Offset) {
    if (FResult.Cancelled || !FResult.StopReason.empty()) return true;
    if (Offset > FToldBytes) FToldBytes = Offset;
    FHost->ProgressBytes(FToldBytes);
    FResult.Cancelled = FHost->CancelRequested();
    return FResult.Cancelled;
}

std::uint32_t TScanHardDisk::RunLength(const TRule& Rule, std::uint64_t Offset, std::size_t Known) {
    // Measured over the buffer's memory: a long run moves the chunk at most once or twice. The
    // bytes the start test saw are not read again.
    const auto run = static_cast<std::uint32_t>(Rule.MeasureRun(
        Known, 2 * FSectorSize,
        [&](std::size_t At, std::size_t Count) {
            return FBuffer->View(static_cast<std::uint32_t>(Count), Offset + At);
        },
        [&](std::size_t Run) {
            // A run may be 20 MiB long: the display moves inside it too.
            if (Offset + Run > FToldBytes) FToldBytes = Offset + Run;
            FHost->ProgressBytes(FToldBytes);
        }));
    if (run > 0) FHost->KeepAlive(run);
    return run;
}

// ---- A scan split into pieces, and the merge that makes it one scan again ----
//
// A piece's thread carves the messages that start in its sectors as if no run begun before its
// first sector covered it and no compressed stream opened before had taken its bytes. The merge,
// on the scan's own thread, takes the pieces in drive order and knows where the one scan really
// stands when a piece begins. Where the piece guessed right it takes the piece's findings as they
// are; where it guessed wrong it drops the findings before the first sector where the piece's
// walk and the real one agree (a sector no run of the piece covers, with the same streams behind
// it) and carves the sectors up to there itself, one at a time. From a sector where they agree
// both walks do the same: a rule's answers depend on the bytes from the sector on alone.
//
// Compressed streams spend one budget over the whole scan. A piece's streams are taken as they
// are only when neither the piece's own spending nor the scan's true spending before them could
// have cut them short; otherwise the merge carves the rest of the drive itself, in order.

namespace {

// Host of a piece's thread: nothing is shown from there; the merge says when to stop.
class TPieceHost final : public TScanHost {
  public:
    explicit TPieceHost(const std::atomic<bool>& Stop) : FStop(&Stop) {}
    bool CancelRequested() override { return FStop->load(std::memory_order_relaxed); }

  private:
    const std::atomic<bool>* FStop;
};

// Bytes of findings the pieces' threads may hold together before the merge takes them, shared
// out among them (each at least the least): a thread waits beyond its share, so that more jobs
// do not hold more memory.
constexpr std::size_t QueuedBytes = 64u << 20;
constexpr std::size_t PieceQueueBytesLeast = 4u << 20;
// How long the merge waits for a piece before it lets the host breathe.
constexpr auto MergeWait = std::chrono::milliseconds(20);
// Buffers of batches the merge is done with, kept for the pieces' threads: all of them at most,
// and each (a batch that once held a long run is let go rather than kept for short ones). As much
// as the pieces may queue: what the merge takes from a piece carved ahead comes back in one go,
// and buffers let go then would be made afresh, in memory never touched, moments later.
constexpr std::size_t SpareBytesMost = QueuedBytes;
constexpr std::size_t SpareBatchBytes = 8u << 20;

} // namespace

class TScanHardDisk::TPieceFeed {
  public:
    virtual ~TPieceFeed() = default;
    virtual std::size_t Count() const = 0;
    virtual std::uint64_t End(std::size_t K) const = 0;
    struct TNews {
        std::uint64_t Reached = 0; // every event that starts before this sector is delivered
        bool Done = false;
        std::uint64_t Final = 0; // when done: the sector the piece's walk went on at
    };
    // Moves piece K's new batches of events to Into and says how far it is; with Wait, waits a
    // little for news first. False when the scan must stop (a piece failed).
    virtual bool Pull(std::size_t K, std::deque<TPieceBatch>& Into, TNews& News, bool Wait) = 0;
    // The merge is past piece K; Abandon: what is left of it is not wanted.
    virtual void Finished(std::size_t K, bool Abandon) = 0;
    // Takes the batches the merge is done with, for their buffers to be used again.
    virtual void Recycle(std::vector<TPieceBatch>& Used) { Used.clear(); }
    // No more pieces are wanted.
    virtual void StopAll() {}
};

namespace {

std::uint64_t FirstOfPiece(std::size_t K, std::uint64_t PieceSectors) {
    return 1 + static_cast<std::uint64_t>(K) * PieceSectors;
}

} // namespace

// Pieces carved by threads of this process, each over a disk buffer of its own.
struct TScanHardDisk::TSplit final : TScanHardDisk::TPieceFeed {
    struct TPiece {
        std::deque<TPieceBatch> Batches;
        std::size_t Bytes = 0;
        std::uint64_t Reached = 0;
        bool Done = false;
        bool Abandoned = false;
        std::uint64_t Final = 0;
    };

    TScanHardDisk* Scan = nullptr;
    std::uint64_t N = 0;
    std::uint64_t PieceSectors = 1;
    std::size_t Pieces = 0;
    std::size_t Ahead = 2; // pieces taken beyond the one being merged

    TLock M;
    // Each side woken only by what it waits for: under Wine every wake and every wait on a
    // condition is a trip to the server, which with every core carving waits for a core itself.
    TCondition MergeCv; // the merge, for news of the piece it merges
    TCondition WorkCv;  // the pieces' threads, for a piece to take or room to hand over
    std::map<std::size_t, TPiece> Live;
    std::size_t NextPiece = 0;
    std::size_t Merging = 0;
    std::atomic<bool> Stop{false};
    std::exception_ptr Error;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> Unreadable;
    std::vector<std::thread> Threads;
    std::vector<TPieceBatch> Spare; // batches the merge is done with, for the pieces' threads
    std::size_t SpareBytes = 0;
    std::size_t QueueBytes = PieceQueueBytesLeast; // what one piece may hold

    std::size_t Count() const override { return Pieces; }
    std::uint64_t End(std::size_t K) const override {
        return std::min(N, FirstOfPiece(K, PieceSectors) + PieceSectors);
    }

    bool Pull(std::size_t K, std::deque<TPieceBatch>& Into, TNews& News, bool Wait) override {
        std::unique_lock lock(M);
        const auto news = [&] {
            if (Error) return true;
            const auto at = Live.find(K);
            return at != Live.end() && (!at->second.Batches.empty() || at->second.Done ||
                                        at->second.Reached > News.Reached);
        };
        if (Wait) MergeCv.wait_for(lock, MergeWait, news);
        if (Error) return false;
        const auto at = Live.find(K);
        if (at == Live.end()) return true;
        TPiece& piece = at->second;
        for (TPieceBatch& b : piece.Batches)
            Into.push_back(std::move(b));
        piece.Batches.clear();
        // Its thread waits for room only while the piece holds more than it may.
        const bool full = piece.Bytes > QueueBytes;
        piece.Bytes = 0;
        News.Reached = std::max(News.Reached, piece.Reached);
        News.Done = piece.Done;
        News.Final = piece.Final;
        if (full) WorkCv.notify_all();
        return true;
    }

    void Finished(std::size_t K, bool Abandon) override {
        std::lock_guard lock(M);
        const auto at = Live.find(K);
        if (at != Live.end()) {
            if (Abandon && !at->second.Done) {
                // Its thread stops at its next report and forgets the piece.
                at->second.Abandoned = true;
            } else {
                Live.erase(at);
            }
        } else if (Abandon && K >= NextPiece) {
            // Not begun yet: the thread that takes it passes it by.
            Live[K].Abandoned = true;
        }
        Merging = K + 1;
        WorkCv.notify_all();
    }

    void StopAll() override {
        Stop = true;
        std::lock_guard lock(M);
        WorkCv.notify_all();
        MergeCv.notify_all();
    }

    void Recycle(std::vector<TPieceBatch>& Used) override {
        // Emptied and sifted outside the lock, which the pieces' threads wait on: under Wine a
        // wait there costs a trip to the server.
        std::size_t kept = 0;
        for (TPieceBatch& b : Used) {
            if (b.Capacity() > SpareBatchBytes) continue;
            b.Clear();
            if (kept != static_cast<std::size_t>(&b - Used.data())) Used[kept] = std::move(b);
            ++kept;
        }
        Used.resize(kept);
        {
            std::lock_guard lock(M);
            for (TPieceBatch& b : Used) {
                if (SpareBytes + b.Capacity() > SpareBytesMost) break;
                SpareBytes += b.Capacity();
                Spare.push_back(std::move(b));
            }
        }
        Used.clear();
    }

    void Work() {
        try {
            std::unique_ptr<TDiskBuffer> buffer = Scan->FMakeBuffer();
            TPieceHost host(Stop);
            TPieceBatch found; // its buffers serve every piece this thread carves
            for (;;) {
                std::size_t k = 0;
                {
                    std::unique_lock lock(M);
                    WorkCv.wait(lock, [&] {
                        return Stop || NextPiece >= Pieces || NextPiece <= Merging + Ahead;
                    });
                    if (Stop || NextPiece >= Pieces) break;
                    k = NextPiece++;
                    if (Live[k].Abandoned) {
                        Live.erase(k);
                        continue;
                    }
                }
                TScanHardDisk piece(std::move(buffer), Scan->FOptions, host);
                const std::uint64_t first = FirstOfPiece(k, PieceSectors);
                piece.CarvePiece(first, End(k), found,
                                 [&](TPieceBatch& Found, std::uint64_t Reached) {
                                     return Publish(k, Found, Reached, false);
                                 });
                {
                    TPieceBatch none;
                    Publish(k, none, 0, true);
                }
                buffer = std::move(piece.FBuffer);
            }
            std::lock_guard lock(M);
            for (const auto& [first, end] : buffer->UnreadableRanges())
                Unreadable.emplace_back(first, end);
        } catch (...) {
            std::lock_guard lock(M);
            if (!Error) Error = std::current_exception();
            Stop = true;
            WorkCv.notify_all();
            MergeCv.notify_all();
        }
    }

    // Hands the piece's new events to the merge, Found taking a spare batch's buffers in their
    // place; waits while the piece holds too much. False when the piece is no longer wanted.
    bool Publish(std::size_t K, TPieceBatch& Found, std::uint64_t Reached, bool Done) {
        std::unique_lock lock(M);
        TPiece& piece = Live[K];
        if (piece.Abandoned || Stop) {
            if (Done) Live.erase(K);
            return false;
        }
        if (!Found.Empty()) {
            piece.Bytes += Found.Footprint();
            piece.Batches.push_back(std::move(Found));
            Found = TPieceBatch();
            if (!Spare.empty()) {
                SpareBytes -= Spare.back().Capacity();
                Found = std::move(Spare.back());
                Spare.pop_back();
            }
        }
        if (Done) {
            piece.Done = true;
            piece.Final = piece.Reached;
        } else {
            piece.Reached = Reached;
        }
        // The merge waits only for the piece it merges; the pieces ahead it pulls when it gets
        // there.
        if (K == Merging) MergeCv.notify_one();
        WorkCv.wait(lock, [&] { return piece.Bytes <= QueueBytes || piece.Abandoned || Stop; });
        return !piece.Abandoned && !Stop;
    }

    void Join() {
        StopAll();
        for (std::thread& t : Threads)
            if (t.joinable()) t.join();
        Threads.clear();
    }
};

void TScanHardDisk::CarvePiece(
    std::uint64_t First, std::uint64_t End, TPieceBatch& Found,
    const std::function<bool(TPieceBatch& Found, std::uint64_t Reached)>& Publish) {
    Found.Clear();
    FLog = &Found;
    const TDiskBuffer::TReadingAhead readingAhead(*FBuffer);
    std::uint64_t s = First;
    std::uint64_t published = First;
    while (s < End && !FHost->CancelRequested()) {
        s = ScanPiece(s, End);
        // Handed over in batches: on a mail-dense drive a run ends every sector or two, and a
        // lock and a wake-up for each would cost more than carving it.
        if (s < End && Found.Events.size() < PublishEvents && s - published < PublishSectors &&
            Found.Bytes.size() < PublishBytes)
            continue;
        published = s;
        if (!Publish(Found, s)) break;
    }
    FLog = nullptr;
}

void TScanHardDisk::Advance(std::uint64_t From, std::uint64_t Next) {
    if (Next <= From) return;
    const std::uint64_t passed = Next - From;
    if (FSteps + passed >= ProgressInterval) {
        FHost->ProgressPosition(Next);
        FHost->KeepAlive(1);
        FSteps = 0;
    } else {
        FSteps += static_cast<unsigned>(passed);
    }
}

void TScanHardDisk::Import(const TPieceBatch& Batch, const TPieceEvent& Event) {
    for (std::size_t k = Event.FirstMessage; k < Event.FirstMessage + Event.MessageCount; ++k) {
        const TPieceMessage& m = Batch.Messages[k];
        if (!KeepFound(Batch.Text(m), Batch.Body(m),
                       {Batch.Field(m, 0), Batch.Field(m, 1), Batch.Field(m, 2), Batch.Field(m, 3)},
                       m.Place, m.ClientDeleted))
            return;
    }
    if (Event.Stream) {
        FStreamsEnd = Event.StreamsEnd;
        if (FStreams) FStreams->AddCounts(Event.Counts);
    }
}

std::uint64_t TScanHardDisk::MergePiece(TPieceFeed& Feed, std::size_t K, std::uint64_t P) {
    const std::uint64_t end = Feed.End(K);
    std::deque<TPieceBatch> batches;
    std::size_t at = 0; // the first batch's next event
    std::vector<TPieceBatch> used;
    // The piece's next event, its batch handed back once done with.
    const auto next = [&]() -> const TPieceEvent* {
        while (!batches.empty() && at == batches.front().Events.size()) {
            used.push_back(std::move(batches.front()));
            batches.pop_front();
            at = 0;
        }
        return batches.empty() ? nullptr : &batches.front().Events[at];
    };
    TPieceFeed::TNews news;
    // Until the piece's walk agrees with the real one: the furthest sector a dropped run of the
    // piece went on at, and where the piece's last dropped streams ended.
    bool agree = false;
    std::uint64_t coveredTo = 0;
    std::uint64_t streamsEnd = 0;
    bool wait = false;
    while (!Halted()) {
        if (!used.empty()) Feed.Recycle(used);
        if (!Feed.Pull(K, batches, news, wait)) {
            Feed.StopAll();
            return P;
        }
        wait = false;
        if (Stopping(P * FSectorSize)) break;
        if (!agree) {
            for (const TPieceEvent* e = next(); e != nullptr && e->Start < P; ++at, e = next()) {
                coveredTo = std::max(coveredTo, e->Next);
                if (e->Stream) streamsEnd = e->StreamsEnd;
            }
            if (P >= end) {
                Feed.Finished(K, true);
                return P;
            }
            // Whether a run the piece began before P covers P is known once it reached P.
            if (news.Reached < P && !news.Done) {
                wait = true;
                continue;
            }
            const std::uint64_t offset = P * FSectorSize;
            if (coveredTo <= P && std::max(streamsEnd, offset) == std::max(FStreamsEnd, offset)) {
                agree = true;
            } else {
                P = ScanPiece(P, P + 1);
                continue;
            }
        }
        std::uint64_t asked = P; // where the host was last asked whether to stop
        for (const TPieceEvent* e = next(); e != nullptr && !Halted(); ++at, e = next()) {
            if (e->Stream && FStreams &&
                std::max(e->BudgetUsed, FStreams->Counts().InflatedBytes) +
                        e->Counts.InflatedBytes >=
                    FStreams->ScanBudget()) {
                // The budget may have cut these streams short, here or in the piece.
                const std::uint64_t start = e->Start;
                Advance(P, start);
                FForced = true;
                Feed.Finished(K, true);
                return start;
            }
            Advance(P, e->Start);
            Import(batches.front(), *e);
            P = e->Next;
            // Back to the pieces' threads while they still carve, not once all is merged.
            if (!used.empty()) Feed.Recycle(used);
            // As often as one job asks: a batch holds many messages, and the host may want the
            // scan stopped after any of them (a result that could not be written).
            if ((P - asked) * FSectorSize >= HeldPieceBytes) {
                asked = P;
                if (Stopping(P * FSectorSize)) {
                    ++at;
                    break;
                }
            }
        }
        if (Halted()) break;
        Advance(P, std::max(P, news.Reached));
        P = std::max(P, news.Reached);
        if (news.Done) {
            Advance(P, std::max(P, news.Final));
            // The piece's last batch too: one a piece let go is one made afresh for a later piece.
            if (!used.empty()) Feed.Recycle(used);
            Feed.Finished(K, false);
            return std::max(P, news.Final);
        }
        wait = true;
    }
    return P;
}

void TScanHardDisk::MergeFeed(TPieceFeed& Feed, std::uint64_t N) {
    std::uint64_t P = 1;
    for (std::size_t k = 0; k < Feed.Count() && !Halted() && !FForced; ++k)
        P = MergePiece(Feed, k, P);
    if (FForced) {
        // The rest of the drive in order, as one scan would carve it.
        Feed.StopAll();
        while (P < N && !Stopping(P * FSectorSize))
            P = ScanPiece(P, N);
    }
    Feed.StopAll();
}

unsigned TScanOptions::DefaultJobs() {
    return std::thread::hardware_concurrency() >= 2 ? 2 : 1;
}

TScanResult TScanHardDisk::ScanSplit(std::uint64_t N) {
    FHost->KeepAlive(1);
    FHost->ProgressOpen(N);
    TSplit split;
    split.Scan = this;
    split.N = N;
    std::uint64_t pieceBytes = FOptions.PieceBytes;
    if (pieceBytes == 0)
        pieceBytes = std::clamp<std::uint64_t>(N * FSectorSize / (8 * FOptions.Jobs),
                                               std::uint64_t{1} << 20, DefaultPieceBytes);
    split.PieceSectors = std::max<std::uint64_t>(1, pieceBytes / FSectorSize);
    split.Pieces = static_cast<std::size_t>((N - 1 + split.PieceSectors - 1) / split.PieceSectors);
    split.Ahead = FOptions.Jobs;
    split.QueueBytes = std::max(PieceQueueBytesLeast, QueuedBytes / (split.Ahead + 1));
    try {
        for (unsigned j = 0; j < FOptions.Jobs; ++j)
            split.Threads.emplace_back([&split] { split.Work(); });
        MergeFeed(split, N);
        split.Join();
    } catch (...) {
        split.Join();
        FHost->ProgressClose();
        throw;
    }
    FHost->ProgressClose();
    if (split.Error) std::rethrow_exception(split.Error);
    if (FStreams) FResult.Streams = FStreams->Counts();
    TakeUnreadable(split.Unreadable);
    return std::move(FResult);
}

TPieceRecord TScanHardDisk::ScanRange(std::uint64_t First, std::uint64_t End) {
    TPieceRecord record;
    record.First = First;
    record.End = End;
    const std::int64_t total = FBuffer->TotalSectors();
    const std::uint64_t N = total > 0 ? static_cast<std::uint64_t>(total) : 0;
    FHost->KeepAlive(1);
    FHost->ProgressOpen(N);
    FLog = &record.Found;
    std::uint64_t s = std::max<std::uint64_t>(First, 1);
    try {
        const TDiskBuffer::TReadingAhead readingAhead(*FBuffer);
        while (s < End && !Stopping(s * FSectorSize))
            s = ScanPiece(s, End);
    } catch (...) {
        FLog = nullptr;
        FHost->ProgressClose();
        throw;
    }
    FLog = nullptr;
    FHost->ProgressClose();
    record.Final = std::max(s, End);
    record.Complete = !FResult.Cancelled;
    for (const auto& [first, end] : FBuffer->UnreadableRanges())
        record.Unreadable.emplace_back(first, end);
    return record;
}

TScanResult TScanHardDisk::Merge(std::vector<TPieceRecord> Pieces) {
    // Every piece is whole already: the merge takes each at once.
    class TRecords final : public TPieceFeed {
      public:
        explicit TRecords(std::vector<TPieceRecord>& Pieces) : FPieces(&Pieces) {}
        std::size_t Count() const override { return FPieces->size(); }
        std::uint64_t End(std::size_t K) const override { return (*FPieces)[K].End; }
        bool Pull(std::size_t K, std::deque<TPieceBatch>& Into, TNews& News, bool) override {
            TPieceRecord& piece = (*FPieces)[K];
            if (!piece.Found.Empty()) Into.push_back(std::move(piece.Found));
            piece.Found = TPieceBatch();
            News.Reached = piece.Final;
            News.Done = true;
            News.Final = piece.Final;
            return true;
        }
        void Finished(std::size_t, bool) override {}

      private:
        std::vector<TPieceRecord>* FPieces;
    };
    const std::int64_t total = FBuffer->TotalSectors();
    const std::uint64_t N = total > 0 ? static_cast<std::uint64_t>(total) : 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> unreadable;
    for (const TPieceRecord& piece : Pieces)
        unreadable.insert(unreadable.end(), piece.Unreadable.begin(), piece.Unreadable.end());
    FHost->KeepAlive(1);
    FHost->ProgressOpen(N);
    TRecords feed(Pieces);
    try {
        MergeFeed(feed, N);
    } catch (...) {
        FHost->ProgressClose();
        throw;
    }
    FHost->ProgressClose();
    if (FStreams) FResult.Streams = FStreams->Counts();
    TakeUnreadable(unreadable);
    return std::move(FResult);
}
