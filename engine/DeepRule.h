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
// Header lines are split and known names recognised exactly as TEmailParser does. In a scan, the
// standard rule cuts where the deep one finds no start (and knows of no look-alike block).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/CarvingRule.h"
#include "engine/DeepBlockWalker.h"
#include "engine/Globals.h"
#include "engine/HeaderBlock.h"
#include "engine/LineShape.h"
#include "engine/ScanHost.h"
#include "engine/emailparser.h"

class TDeepRule final : public TRule {
  public:
    // How far from its first line a header block may close.
    static constexpr std::size_t HeaderReach = ::HeaderReach;

    explicit TDeepRule(TScanHost& Host = NullScanHost());

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
    static bool OpensHeaderLine(std::string_view Sector) { return OpeningName(Sector) > 0; }
    // The length of that name; 0 when line 0 opens no header line. Inline: every sector whose
    // first byte may open a name is asked, and on most of them the second byte answers.
    static std::size_t OpeningName(std::string_view Sector) {
        if (Sector.size() < 3) return 0;
        if (!IsNameByte(static_cast<unsigned char>(Sector[1])))
            return IsNameByte(static_cast<unsigned char>(Sector[0])) && Sector[1] == ':' &&
                           Sector[2] == ' '
                       ? 1
                       : 0;
        const std::size_t i = NameLength(Sector);
        return i + 1 < Sector.size() && Sector[i] == ':' && Sector[i + 1] == ' ' ? i : 0;
    }
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
    // The same messages cut from Run, nothing copied (Result is replaced).
    void ExtractCuts(const TByteRun& Run, TCutList& Result, bool OpensWithWholeBlock = false) const;

    // Bytes that a deep run is made of: the standard rule's text bytes, 0x0C, 0x1B and 0x80-0xFF.
    static bool IsTextByte(unsigned char b);
    // Number of text bytes at the start of Bytes.
    static std::size_t TextRunLength(std::string_view Bytes);

    // The standard marker and the other mailers' reply and forward markers.
    static bool IsQuoteMarker(std::string_view Line);

    // The rule in a scan: a sector that opens like a header line is looked at as far as its block
    // may reach, through the walker; one that opens like an mbox separator afresh. Where neither
    // starts a message, the standard rule's start test decides, unless the block is a look-alike.
    TRule* StartsAt(const TByteRun& Window, std::uint32_t SectorSize,
                    const TDriveFetch& Drive) override;
    std::size_t TextPrefix(std::string_view Bytes) const override { return TextRunLength(Bytes); }
    std::size_t KnownText() const override { return FKnownText; }
    void Carve(const TByteRun& Run, TCutList& Cuts) const override { ExtractCuts(Run, Cuts, true); }
    TCarvingRule Kind() const override { return TCarvingRule::Deep; }
    std::uint64_t StartReach(std::uint32_t SectorSize) const override;
    void Restart() override { FWalker.Forget(); }

  private:
    // The length of the whole header block of text bytes that the mbox separator at Offset opens,
    // its line included; 0 when none.
    std::size_t SeparatorStarts(std::uint64_t Offset, std::uint32_t SectorSize,
                                const TDriveFetch& Drive) const;

    TScanHost* FHost;
    TEmailParser FStandard;
    TDeepBlockWalker FWalker;
    std::size_t FKnownText = 0; // text the last start saw: its block, and past it if measured
};
