#pragma once

// The scan driver: walks a drive sector by sector and hands each start found to a carving rule.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DeepRule.h"
#include "FoundEmails.h"
#include "Globals.h"
#include "ScanHost.h"
#include "emailparser.h"

class TDiskBuffer;
class TSystemLayer;

// The carving rule that found a message.
enum class TCarvingRule { Standard, Deep };

// "standard" or "deep", as the front ends name the rules.
inline const char* CarvingRuleName(TCarvingRule Rule) {
    return Rule == TCarvingRule::Deep ? "deep" : "standard";
}

struct TScanOptions {
    std::uint32_t SectorSize = 0;               // 0: the drive's own
    TCarvingRule Rule = TCarvingRule::Standard; // Deep: deep rule, standard where it finds nothing
    // Message bytes the found list holds in memory before it moves them to a scratch file, and
    // the system layer that makes that file (the platform's when null).
    std::size_t MemoryBytes = TFoundEmails::DefaultMemoryBytes;
    TSystemLayer* Scratch = nullptr;
};

struct TEmailPlace {
    std::uint64_t Offset = 0; // drive byte offset of the message's first line
    TCarvingRule Rule = TCarvingRule::Standard;
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
};

class TScanHardDisk {
  public:
    // What the scan asks of its disk buffer (the chunk is twice this).
    static constexpr std::uint32_t BufferSize = 20971520;

    // Opens the drive (a block device or an image file path) through a disk buffer of
    // BufferSize bytes. Errors while the buffer is made reach the caller unchanged.
    TScanHardDisk(const std::string& DrivePath, const TScanOptions& Options, ScanHost& Host);
    // For tests and other sources of bytes: scans the given buffer (its sector size stands).
    TScanHardDisk(std::unique_ptr<TDiskBuffer> Buffer, const TScanOptions& Options,
                  ScanHost& Host);
    ~TScanHardDisk();

    // Runs the whole scan once, from sector 1 to the last.
    TScanResult ScanDrive();
    std::uint32_t SectorSize() const;
    // The drive's size in whole sectors, in bytes (what the scan covers).
    std::uint64_t DriveBytes() const;

  private:
    // Tells the host how far the scan has come; true when it asks the scan to stop there.
    bool Stopping(std::uint64_t Offset);
    std::uint32_t ScanSector(std::uint64_t Offset);
    // Tests sector s and those after it while the chunk in memory holds their windows, counting
    // steps in k and moving the progress display as the scan loop does. False when sector s is
    // to be examined by the general step (its window is not held, or it starts a message).
    bool TestHeldSectors(std::uint64_t& s, std::uint64_t N, unsigned& k);
    // LookAlike: the sector opens a closed block that only looks like mail.
    std::uint32_t ScanSectorDeep(std::uint64_t Offset, bool& LookAlike);
    // Cuts the deep rule's messages from the run of text bytes at Offset; its length.
    std::uint32_t CarveDeep(std::uint64_t Offset);
    std::uint32_t RunLength(std::uint64_t Offset, std::size_t (*Prefix)(std::string_view));
    // Keeps the messages cut from Run (at drive byte Offset) into FCuts.
    void Append(std::string_view Run, std::uint64_t Offset, TCarvingRule Rule);

    std::uint32_t FSectorSize = 0;
    bool FDeepScan = false;
    TScanResult FResult;
    std::unique_ptr<TDiskBuffer> FBuffer;
    TEmailParser FParser;
    ScanHost* FHost;
    TDeepEmailParser FDeepParser;
    TDeepBlockWalker FDeepStarts;
    TCutList FCuts; // the last run's messages; its memory serves every run
};
