#pragma once

// Mail inside compressed archives: rotated mailboxes (mbox.gz), a Maildir packed as .tar.gz, mail
// exported as .eml files into a .zip. The deep scan opens each gzip member and zip entry it meets,
// inflates it a piece at a time and carves the inflated bytes with the deep rule, as the driver
// carves a drive, at 512-byte steps (a tar puts every file at one); a gzip member or zip entry met
// there is opened in turn, to a depth of three. Nothing inflated is held whole: a stream's bytes
// are dropped once its carving has passed them.
//
// Where streams are looked for: on the drive, at sector starts (a file begins at one, a gzip file
// with its member); in inflated bytes, at the 512-byte steps. A zip's later entries lie anywhere
// inside it: they are followed from its first one, each beginning where the one before ended.
//
// Bounds, so that a decompression bomb costs seconds and little memory: a stream gives at most
// StreamOutCap inflated bytes and at most RatioCap times the compressed bytes it took so far; a
// stream opened on the drive and all the streams inside it give at most that together (measured
// against its own compressed bytes), so nesting multiplies nothing; a scan inflates at most
// ScanOutCap bytes in all. A stream that breaks off (overwritten, cut short)
// gives what inflated before the break.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/CarvingRule.h"
#include "engine/ScanHost.h"

class TDeepRule;

enum class TStreamKind { Gzip, Zip };

// "gzip" or "zip".
inline const char* StreamKindName(TStreamKind Kind) {
    return Kind == TStreamKind::Zip ? "zip" : "gzip";
}

// One step from the drive into a compressed stream, outermost first.
struct TStreamStep {
    TStreamKind Kind = TStreamKind::Gzip;
    // Where the stream (the gzip member's header, the zip entry's local header) begins: a drive
    // byte offset for the outermost step, an offset in the enclosing stream's inflated bytes for
    // the others.
    std::uint64_t Offset = 0;
    // In this stream's inflated bytes: where the next step's stream begins, or, at the last step,
    // the message's first line.
    std::uint64_t At = 0;
    // The compressed bytes the stream took, from its header on (known once it has ended).
    std::uint64_t Length = 0;

    friend bool operator==(const TStreamStep&, const TStreamStep&) = default;
};

// What the streams of a scan cost.
struct TStreamCounts {
    std::uint64_t Opened = 0;        // gzip members and zip entries inflated
    std::uint64_t InflatedBytes = 0; // in all, every depth counted
    std::uint64_t Bounded = 0;       // streams stopped by a bound before their end
};

// Bytes read forwards: a drive, or a stream's inflated bytes.
class TStreamInput {
  public:
    virtual ~TStreamInput() = default;
    // Up to Count bytes from Offset on, fewer only at the end; valid until the next call. Offset
    // never lies before what was released.
    virtual std::string_view Bytes(std::uint64_t Offset, std::size_t Count) = 0;
    // Nothing before Before will be asked for again.
    virtual void Release(std::uint64_t Before) { (void)Before; }
};

class TStreamOpener {
  public:
    static constexpr std::uint64_t StreamOutCap = std::uint64_t{1} << 30;
    static constexpr std::uint64_t RatioCap = 1000;
    static constexpr std::uint64_t ScanOutCap = std::uint64_t{16} << 30;
    static constexpr unsigned DepthCap = 3;
    // The steps the inflated bytes are carved at.
    static constexpr std::uint32_t StepBytes = 512;

    // Keep takes the messages cut from a stream's bytes (their DriveOffset: the offset in those
    // bytes) with the steps that lead to them; it answers false when nothing more can be kept.
    using TKeep = std::function<bool(const TCutList& Cuts, TCarvingRule Rule,
                                     const std::vector<TStreamStep>& Steps)>;

    // ScanBudget: the inflated bytes the whole scan may make (ScanOutCap unless a caller says).
    TStreamOpener(TScanHost& Host, TKeep Keep, std::uint64_t ScanBudget = ScanOutCap);
    ~TStreamOpener();
    TStreamOpener(const TStreamOpener&) = delete;
    TStreamOpener& operator=(const TStreamOpener&) = delete;

    // Whether Bytes begin like a gzip member or a zip entry this opener can inflate: the fixed
    // part of the header is checked (Bytes should hold 30 bytes where there are).
    static bool OpensStream(std::string_view Bytes);

    // Opens the stream beginning at Offset of the drive In (and a zip's entries after it),
    // carving what it inflates; the drive offset where the last one ended, Offset when none could
    // be opened.
    std::uint64_t OpenOnDrive(TStreamInput& In, std::uint64_t Offset);
    // The streams the last OpenOnDrive opened on the drive, their Length known.
    const std::vector<TStreamStep>& Opened() const { return FOpened; }

    const TStreamCounts& Counts() const { return FCounts; }
    // Counts what streams opened elsewhere for the same scan cost, as if this opener had opened
    // them: the scan's budget is spent by them too.
    void AddCounts(const TStreamCounts& More) {
        FCounts.Opened += More.Opened;
        FCounts.InflatedBytes += More.InflatedBytes;
        FCounts.Bounded += More.Bounded;
    }
    std::uint64_t ScanBudget() const { return FScanBudget; }
    // The host asked the scan to stop while a stream was carved.
    bool Cancelled() const { return FCancelled; }
    // Keep answered false.
    bool Full() const { return FFull; }

  private:
    class TInflated;
    // Opens the stream(s) at Offset of In at depth Depth (1 = on the drive); where they ended.
    std::uint64_t Open(TStreamInput& In, std::uint64_t Offset, unsigned Depth);
    // Carves one stream's inflated bytes; Steps.back() is its step.
    void Carve(TInflated& Stream, unsigned Depth);
    bool Stopping() const { return FCancelled || FFull; }
    void Pace(std::uint64_t Bytes);

    TScanHost* FHost;
    TKeep FKeep;
    std::array<std::unique_ptr<TDeepRule>, DepthCap> FRules; // one per depth: each remembers
    std::vector<TStreamStep> FSteps;
    std::vector<TStreamStep> FOpened;
    TCutList FCuts;
    TStreamCounts FCounts;
    std::uint64_t FScanBudget;
    std::uint64_t FPaced = 0;    // inflated bytes since the host was last asked
    TInflated* FOuter = nullptr; // the stream opened on the drive now being carved
    std::uint64_t FTreeOut = 0;  // inflated bytes of it and every stream inside it
    bool FCancelled = false;
    bool FFull = false;
};
