#pragma once

// The scan driver: walks a drive sector by sector and hands each start found to a carving rule.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/CarvingRule.h"
#include "engine/CompressedStreams.h"
#include "engine/FoundEmails.h"
#include "engine/Globals.h"
#include "engine/ScanHost.h"

class TDiskBuffer;
class TSystemLayer;

struct TScanOptions {
    std::uint32_t SectorSize = 0; // 0: the drive's own
    // Deep: deep rule, standard where it finds nothing, and compressed streams opened.
    TCarvingRule Rule = TCarvingRule::Standard;
    // Message bytes the found list holds in memory before it moves them to a scratch file, and
    // the system layer that makes that file (the platform's when null).
    std::size_t MemoryBytes = TFoundEmails::DefaultMemoryBytes;
    TSystemLayer* Scratch = nullptr;
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

struct TSectorRange {
    std::uint64_t First = 0;
    std::uint64_t Count = 0;
};

struct TScanResult {
    TFoundEmails Emails;                  // found order; index = Item Num
    std::vector<TEmailPlace> Places;      // one per message
    std::uint64_t UnreadableSectors = 0;  // read as zeros
    std::vector<TSectorRange> Unreadable; // the unreadable sectors, merged into ranges
    bool Cancelled = false;               // the host asked the scan to stop before the end
    // Why the scan stopped before the end by itself (the found messages could not be kept);
    // empty when it ran to the end or was cancelled. What was found before stays.
    std::string StopReason;
    TStreamCounts Streams; // what opening compressed streams cost (deep scans)
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
    ~TScanHardDisk();

    // Runs the whole scan once, from sector 1 to the last.
    TScanResult ScanDrive();
    std::uint32_t SectorSize() const;
    // The drive's size in whole sectors, in bytes (what the scan covers).
    std::uint64_t DriveBytes() const;

  private:
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
    std::uint32_t Carve(TRule& Rule, std::uint64_t Offset);
    std::uint32_t RunLength(const TRule& Rule, std::uint64_t Offset);
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
};
