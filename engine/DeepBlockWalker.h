#pragma once

// The deep start test for the sectors of a drive taken in increasing order, reading each byte a
// bounded number of times. Asked afresh, every sector that opens like a header line costs up to
// HeaderReach bytes; here the lines of a block that has not closed yet are examined once and
// remembered while the blocks of later sectors overlap them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>

#include "engine/CarvingRule.h"
#include "engine/HeaderBlock.h"
#include "engine/LineEnds.h"

class TDeepBlockWalker {
  public:
    using TFetch = TDriveFetch;
    // Fetch serves the bytes past a sector when Examine is not given its own.
    explicit TDeepBlockWalker(TFetch Fetch = {}) : FFetch(std::move(Fetch)) {}

    struct TStart {
        std::size_t Block = 0; // what HeaderBlockLength answers for the sector
        std::size_t Text = 0;  // text bytes from the sector's start, counted up to Block
        // When the block is text throughout: the text bytes from the sector's start that the walk
        // has seen, Block of them at least.
        std::size_t Known = 0;
        bool LookAlike = false; // a closed block of web traffic, a form upload or config keys
    };
    // Sector: the SectorSize bytes at Offset. A sector before one asked earlier forgets all.
    // Answers for sectors that open with a header line; mbox separators are asked of the rule.
    TStart Examine(std::uint64_t Offset, std::string_view Sector) {
        return Examine(Offset, Sector, FFetch);
    }
    TStart Examine(std::uint64_t Offset, std::string_view Sector, const TFetch& Fetch);
    // Examine for a sector whose line 0 opens with a header name of Name bytes (as
    // TDeepRule::OpeningName answers, which the caller has asked already).
    TStart Examine(std::uint64_t Offset, std::string_view Sector, std::size_t Name,
                   const TFetch& Fetch);
    // Forgets every line remembered: the next sector is examined afresh.
    void Forget() { FValid = false; }

  private:
    enum class TStop { Open, Empty, Broken };
    // A named line from Start on, Length bytes with its end, and its kinds. Once the kinds read so
    // far settle the block (MailUnlessForm), its later lines are remembered without their kinds
    // (Unknown), which are made only if a later sector's block holds them.
    struct TLine {
        std::uint64_t Start;
        unsigned Kinds;
        unsigned Length;
    };
    static constexpr unsigned Unknown = 1u << 31;
    // Keeps the remembered lines from Next on, or starts afresh there (true).
    bool Resume(std::uint64_t Offset, std::uint64_t Next, bool CrLf, const TFetch& Fetch);
    // Makes the kinds of the remembered lines that lack them; false when their bytes fall short.
    bool MakeKinds(const TFetch& Fetch);
    // Reads the lines after the remembered ones while they end within Limit.
    void ReadLines(std::uint64_t Limit, const TFetch& Fetch);
    // Takes the lines of Rest (Want bytes at drive offset Base) until the block stops or none ends.
    void TakeLines(std::string_view Rest, std::uint64_t Base, std::uint64_t Want);

    TFetch FFetch;
    bool FValid = false;
    std::uint64_t FLastOffset = 0;
    // Every line starting in [FFrom, FTo) may stand in a block and is not empty; FTo is the start
    // of the next line, which FStop tells about once known (an empty one ends at FClose). No line
    // ends before FSearched. Lines end at CR LF when FCrLf, else at LF.
    std::uint64_t FFrom = 0, FTo = 0, FSearched = 0, FClose = 0;
    TStop FStop = TStop::Open;
    bool FCrLf = true;
    std::deque<TLine> FLines;                  // the named lines
    std::array<unsigned, FlagCount> FCounts{}; // lines of each kind among those with kinds
    // The kinds of the sector's line 0; whether the block asked about is settled.
    unsigned FFirstKinds = 0;
    bool FMayDefer = false, FSettled = false;
    std::size_t FUnknown = 0;       // remembered lines without their kinds
    std::deque<std::uint64_t> FBad; // per line holding one: its first byte that is no text
    // The bytes in [FTextFrom, FTextTo) are text: the last stretch measured.
    std::uint64_t FTextFrom = 0, FTextTo = 0;
    TLazyLineIndex FPiece; // the lines of the piece being read
};
