#pragma once

// The scan driver: walks a drive sector by sector and hands each start found to a carving rule.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/CarvingRule.h"
#include "engine/CompressedStreams.h"
#include "engine/FoundEmails.h"
#include "engine/Globals.h"
#include "engine/ScanHost.h"

class TDiskBuffer;
class TSystemLayer;
struct TPieceBatch;
struct TPieceRecord;

// Makes a fresh disk buffer over the drive being scanned: one for each thread that carves.
using TBufferMaker = std::function<std::unique_ptr<TDiskBuffer>()>;

struct TScanOptions {
    std::uint32_t SectorSize = 0; // 0: the drive's own
    // Deep: deep rule, standard where it finds nothing, and compressed streams opened.
    TCarvingRule Rule = TCarvingRule::Standard;
    // Message bytes the found list holds in memory before it moves them to a scratch file, and
    // the system layer that makes that file (the platform's when null).
    std::size_t MemoryBytes = TFoundEmails::DefaultMemoryBytes;
    TSystemLayer* Scratch = nullptr;
    // Threads carving pieces of the drive at once; 1 carves on the calling thread alone. The
    // results are the same either way.
    unsigned Jobs = 1;
    // What the front ends scan with unless told otherwise: two jobs where the processor has two
    // cores or more, else one. Beyond two every message found still passes through the one
    // merging thread, and each job holds its own buffers, so more jobs stay an explicit choice.
    static unsigned DefaultJobs();
    // How much of the drive one piece holds (whole sectors); 0 lets the scan choose.
    std::uint64_t PieceBytes = 0;
    // The inflated bytes compressed streams may give over the whole scan.
    std::uint64_t InflateBudget = TStreamOpener::ScanOutCap;
    // What the result holds of the messages found (TFoundEmails::TKeep): less than everything
    // for a host that takes each message in MessageKept and needs no earlier one's bytes (or
    // nothing of it) after the scan. Its memory then grows with the messages' records only, or
    // not at all, MemoryBytes and Scratch go unused, and under Latest the places too are those
    // of the last message only.
    TFoundEmails::TKeep Keep = TFoundEmails::TKeep::Everything;
};

struct TEmailPlace {
    // Drive byte offset of the message's first line; of the outermost stream's header for a
    // message found inside compressed streams.
    std::uint64_t Offset = 0;
    TCarvingRule Rule = TCarvingRule::Standard;
    // The compressed streams the message was found in, outermost first; empty for one found on
    // the drive itself.
    std::vector<TStreamStep> Inside;
};

// One place a message, in the found list's order; as large as the list.
using TEmailPlaces = TLargeVector<TEmailPlace>;

struct TSectorRange {
    std::uint64_t First = 0;
    std::uint64_t Count = 0;
};

struct TScanResult {
    TFoundEmails Emails;                  // found order; index = Item Num
    TEmailPlaces Places;                  // one per message held, the last ones
    std::uint64_t UnreadableSectors = 0;  // read as zeros
    std::vector<TSectorRange> Unreadable; // the unreadable sectors, merged into ranges
    bool Cancelled = false;               // the host asked the scan to stop before the end
    // Why the scan stopped before the end by itself (the found messages could not be kept);
    // empty when it ran to the end or was cancelled. What was found before stays.
    std::string StopReason;
    TStreamCounts Streams; // what opening compressed streams cost (deep scans)

    // Where message Item was found. Every message's place is held, but in a scan asked to keep
    // the latest message only; asking for one no longer held throws std::out_of_range.
    const TEmailPlace& Place(std::size_t Item) const {
        const std::size_t dropped = Emails.size() - Places.size();
        if (Item < dropped) throw std::out_of_range("a place no longer held");
        return Places.at(Item - dropped);
    }
};

class TScanHardDisk {
  public:
    // What the scan asks of its disk buffer (the chunk is twice this).
    static constexpr std::uint32_t BufferSize = 20971520;

    // Opens the drive (a block device or an image file path) through a disk buffer of
    // BufferSize bytes. Errors while the buffer is made reach the caller unchanged.
    TScanHardDisk(const std::string& DrivePath, const TScanOptions& Options, TScanHost& Host);
    // For tests and other sources of bytes: scans the given buffer (its sector size stands).
    TScanHardDisk(std::unique_ptr<TDiskBuffer> Buffer, const TScanOptions& Options,
                  TScanHost& Host);
    // The same over buffers the maker makes: one for the scan, one more for each job.
    TScanHardDisk(TBufferMaker MakeBuffer, const TScanOptions& Options, TScanHost& Host);
    ~TScanHardDisk();

    // A piece of the drive when the scan does not say: big enough that starting a piece costs
    // nothing next to carving it, small enough that the jobs stay busy to the end.
    static constexpr std::uint64_t DefaultPieceBytes = std::uint64_t{16} << 20;

    // Runs the whole scan once, from sector 1 to the last, with Options.Jobs threads.
    TScanResult ScanDrive();
    // Carves the messages that start in sectors [First, End) as one piece of a split scan, on
    // the calling thread, host calls included; what a merge needs of it.
    TPieceRecord ScanRange(std::uint64_t First, std::uint64_t End);
    // What a whole scan gives, from records of pieces that cover sectors 1 to the drive's end in
    // order, one after the other (the caller checks that they fit). Where a piece guessed its
    // start wrong, the drive is read again here.
    TScanResult Merge(std::vector<TPieceRecord> Pieces);
    std::uint32_t SectorSize() const;
    // The drive's size in whole sectors, in bytes (what the scan covers).
    std::uint64_t DriveBytes() const;

  private:
    struct TSplit;
    class TPieceFeed;

    // The scan on the calling thread alone, and split among jobs.
    TScanResult ScanWhole(std::uint64_t N);
    TScanResult ScanSplit(std::uint64_t N);
    // Merges pieces fed in drive order; the scan's result.
    void MergeFeed(TPieceFeed& Feed, std::uint64_t N);
    // Merges piece K, the scan standing at sector P before it; where it stands after. Sets
    // FForced when the rest of the drive must be carved here.
    std::uint64_t MergePiece(TPieceFeed& Feed, std::size_t K, std::uint64_t P);
    // Carves [First, End) as a piece into Found (emptied first): Publish takes what was found up
    // to a sector, and answers false when the piece is no longer wanted.
    void CarvePiece(std::uint64_t First, std::uint64_t End, TPieceBatch& Found,
                    const std::function<bool(TPieceBatch& Found, std::uint64_t Reached)>& Publish);
    // Puts a piece's findings into the result as if this scan had made them.
    void Import(const TPieceBatch& Batch, const struct TPieceEvent& Event);
    // Keeps one message: into the result, with the host told, or into the piece's log.
    // ClientDeleted: as settled by a piece's thread, where one did.
    bool KeepFound(std::string_view FullText, std::string_view Body, const TEmailHeaders& Fields,
                   TEmailPlace Place, std::optional<bool> ClientDeleted = std::nullopt);
    // The scan moved on to sector Next without examining the sectors between here.
    void Advance(std::uint64_t From, std::uint64_t Next);
    bool Halted() const { return FResult.Cancelled || !FResult.StopReason.empty(); }
    // Unreadable ranges of this scan's buffer and of others, into the result.
    void TakeUnreadable(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& Others);

    // Tells the host how far the scan has come; true when it asks the scan to stop there.
    bool Stopping(std::uint64_t Offset);
    // Moves the progress display every ProgressInterval sectors examined, before sector s.
    void Step(std::uint64_t s);
    // Examines sector s and those after it that one view of the buffer holds; the next sector.
    std::uint64_t ScanPiece(std::uint64_t s, std::uint64_t N);
    // The last sector from s on whose window the chunk in memory holds (before N), or 0 for none.
    std::uint64_t HeldThrough(std::uint64_t s, std::uint64_t N) const;
    // Asks the rule about the sector Window begins; the sectors to go on by (at least 1).
    std::uint64_t Examine(const TByteRun& Window);
    // Cuts Rule's messages from the run of its text bytes at Offset; the run's length.
    // Known: the bytes from Offset on that the start test saw to be Rule's text.
    std::uint32_t Carve(TRule& Rule, std::uint64_t Offset, std::size_t Known);
    std::uint32_t RunLength(const TRule& Rule, std::uint64_t Offset, std::size_t Known);
    // Keeps the messages of Cuts, cut by Rule on the drive or, with Inside, in the streams it
    // names; false when they could not be kept (the scan stops).
    bool Keep(const TCutList& Cuts, TCarvingRule Rule,
              const std::vector<TStreamStep>* Inside = nullptr);
    // Opens the compressed streams whose header begins the sector at Offset, Window its bytes;
    // true when it read the drive for them (the driver's views are gone).
    bool OpenStreams(std::uint64_t Offset, std::string_view Window);

    std::uint32_t FSectorSize = 0;
    TScanResult FResult;
    std::unique_ptr<TDiskBuffer> FBuffer;
    TScanHost* FHost;
    std::unique_ptr<TRule> FRule;
    TDriveFetch FDrive;       // the buffer's bytes, for a rule that reads past its window
    bool FDriveAsked = false; // FDrive was called since the last view the driver took
    unsigned FSteps = 0;      // sectors examined since the progress display moved
    TCutList FCuts;           // the last run's messages; its memory serves every run
    std::unique_ptr<TStreamOpener> FStreams; // deep scans only
    std::uint64_t FStreamsEnd = 0; // where the last streams opened ended: no header before it
    TScanOptions FOptions;
    TBufferMaker FMakeBuffer;     // null: one buffer, one job
    TPieceBatch* FLog = nullptr;  // a piece's findings go here instead of the result
    std::uint64_t FToldBytes = 0; // the furthest offset the host was told
    bool FForced = false;         // the merge carves the rest of the drive itself
};
