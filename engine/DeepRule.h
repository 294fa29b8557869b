#pragma once

// The deep carving rule: an opt-in second rule beside TEmailParser's, for real-world mail whose
// header blocks run long (chains of Received lines), whose bodies hold 8-bit text, whose lines
// end with LF as Unix mail stores keep them, and whose replies quote other messages' headers. It
// still cuts every message exactly:
// - a message starts where a whole header block starts: a header line (any name) whose block
//   closes with an empty line within HeaderReach bytes, every line of it a header line, a folded
//   continuation or a "Name:" line; the block holds three known header lines, or From (with an
//   address), Date (with a figure) or Message-ID (with an @) and one more field. Blocks of web
//   traffic, form uploads and config files' lower-case keys are never a message's;
// - a message's lines end as its first line does, with CR LF or with LF, and it keeps them;
// - an mbox separator line ("From " address and date) ends the message before it, with the empty
//   line before it, and the next line starts the next message;
// - while a message's multipart body or an attached message is open, header blocks in it are its
//   own;
// - text runs also take form feed, escape and every byte from 0x80 up;
// - a lone header-like line in a body is body text;
// - more quote markers open a quoted block.
// Header lines are split and known names recognised exactly as TEmailParser does.

#include <cstddef>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

#include "CarvingSkeleton.h"
#include "Globals.h"
#include "ScanHost.h"

class TDeepEmailParser {
  public:
    // How far from its first line a header block may close.
    static constexpr std::size_t HeaderReach = 65536;

    explicit TDeepEmailParser(ScanHost& Host = NullScanHost());

    // View: the bytes from a sector start on, HeaderReach of them where the drive has them. True
    // when a whole header block opens on the view's first byte, its first line ends inside the
    // first SectorSize bytes, and the block is made of text bytes. Most sectors are answered on
    // their first bytes, so a caller may hand just the first sector first (see OpensHeaderLine).
    bool IsMessageStart(std::string_view View, std::uint32_t SectorSize) const;

    // IsMessageStart but for its last step: the length of the whole header block that opens View,
    // 0 when none does. The start holds when the run of text bytes from the sector reaches that
    // far, which a caller about to measure the run anyway can see from the run's length.
    std::size_t HeaderBlockLength(std::string_view View, std::uint32_t SectorSize) const;

    // The cheap half of IsMessageStart: could line 0 of this sector open a header block at all?
    // (A name of printable bytes, a colon and a space at the sector's first byte.)
    static bool OpensHeaderLine(std::string_view Sector);
    // Whether the sector begins like an mbox separator ("From "), which HeaderBlockLength takes
    // as a start when a whole header block follows the separator line; the length then counts
    // the separator line too. Such a view should reach HeaderReach bytes past that line.
    static bool OpensSeparator(std::string_view Sector);

    // Replaces Result with the messages cut from Text (a run of text bytes); Starts, when given,
    // receives each message's 0-based offset in Text. OpensWithWholeBlock tells that
    // IsMessageStart has accepted Text's start already, so its block is not examined again.
    void ExtractMessages(std::string_view Text, TEmailArray& Result,
                         std::vector<std::size_t>* Starts = nullptr,
                         bool OpensWithWholeBlock = false) const;
    // The same messages as places in Text, nothing copied (Result is replaced).
    void ExtractCuts(std::string_view Text, TCutList& Result,
                     bool OpensWithWholeBlock = false) const;

    // Bytes that a deep run is made of: the standard rule's text bytes, 0x0C, 0x1B and 0x80-0xFF.
    static bool IsTextByte(unsigned char b);
    // Number of text bytes at the start of Bytes.
    static std::size_t TextRunLength(std::string_view Bytes);

    // The standard marker and the other mailers' reply and forward markers.
    static bool IsQuoteMarker(std::string_view Line);

  private:
    ScanHost* FHost;
};

// The deep start test for the sectors of a drive taken in increasing order, reading each byte a
// bounded number of times. Asked afresh, every sector that opens like a header line costs up to
// HeaderReach bytes; here the lines of a block that has not closed yet are examined once and
// remembered while the blocks of later sectors overlap them.
class TDeepBlockWalker {
  public:
    // Bytes [Offset, Offset + Count) of the drive, zeros past its end; used before the next call.
    using TFetch = std::function<std::string_view(std::uint64_t Offset, std::uint32_t Count)>;
    explicit TDeepBlockWalker(TFetch Fetch) : FFetch(std::move(Fetch)) {}

    struct TStart {
        std::size_t Block = 0; // what HeaderBlockLength answers for the sector
        std::size_t Text = 0;  // text bytes from the sector's start, counted up to Block
        bool LookAlike = false; // a closed block of web traffic, a form upload or config keys
    };
    // Sector: the SectorSize bytes at Offset. A sector before one asked earlier forgets all.
    // Answers for sectors that open with a header line; mbox separators are asked of the parser.
    TStart Examine(std::uint64_t Offset, std::string_view Sector);

  private:
    enum class TStop { Open, Empty, Broken };
    TFetch FFetch;
    bool FValid = false;
    std::uint64_t FLastOffset = 0;
    // Every line starting in [FFrom, FTo) may stand in a block and is not empty; FTo is the start
    // of the next line, which FStop tells about once known (an empty one ends at FClose). No line
    // ends before FSearched. Lines end at CR LF when FCrLf, else at LF.
    std::uint64_t FFrom = 0, FTo = 0, FSearched = 0, FClose = 0;
    TStop FStop = TStop::Open;
    bool FCrLf = true;
    std::deque<std::pair<std::uint64_t, unsigned>> FLines; // start and kinds of each line
    std::array<unsigned, 7> FCounts{};                     // lines of each kind among them
    std::deque<std::uint64_t> FBad;   // per line holding one: its first byte that is no text
};

