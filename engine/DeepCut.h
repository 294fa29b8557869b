#pragma once

// The deep rule's cut of one run: the line states a message goes through (its header block, the
// line after an mbox separator, a separator, a body or the text between messages), one method
// each, over the skeleton every rule shares.

#include <cstddef>
#include <string_view>

#include "engine/CarvingRule.h"
#include "engine/CarvingSkeleton.h"
#include "engine/LineEnds.h"
#include "engine/LineShape.h"
#include "engine/MimeNesting.h"
#include "engine/ScanHost.h"

class TDeepCut {
  public:
    // Cuts Run into Found (replaced) with Enclosures cleared for it. OpensWithWholeBlock: the start
    // test has accepted the run's first line already.
    // Index: Run's bytes indexed.
    TDeepCut(const TByteRun& Run, TScanHost& Host, TCutList& Found, TEnclosures& Enclosures,
             const TLineIndex& Index, bool OpensWithWholeBlock)
        : FText(Run.Bytes), FCut(Run, Host, Found), FEnclosures(Enclosures), FIndex(Index),
          FOpensWithWholeBlock(OpensWithWholeBlock) {}

    void Walk();

  private:
    static constexpr std::size_t None = std::string_view::npos;

    void Line(std::string_view Line, std::size_t p);
    // A line of an open header block, which runs to its empty line.
    void HeaderLine(std::string_view Line, std::size_t p, bool Empty);
    // The line after an mbox separator: it starts the next message.
    void SeparatedLine(std::string_view Line, std::size_t p);
    // An mbox separator line followed by a header line ends the message before it; false for any
    // other line.
    bool SeparatorLine(std::string_view Line, std::size_t p);
    // A line of a body, or between messages.
    void BodyLine(std::string_view Line, std::size_t p, bool Empty);
    // A header-like line after a line that was none, where a block may begin.
    void GroupBegins(std::string_view Line, std::size_t p, const TLineShape& Shape, bool InBody);
    // The same for a header line that neither a quote nor an enclosure holds: whether its block
    // begins a message.
    void MayBegin(std::string_view Line, std::size_t p, const TLineShape& Shape, bool InBody);
    void Start(std::size_t At, std::string_view Line, const TLineShape& Shape);
    // Shape: of Line, made without its value.
    void Store(std::string_view Line, const TLineShape& Shape);

    std::string_view FText;
    TMessageCutter FCut;
    TEnclosures& FEnclosures;
    const TLineIndex& FIndex;
    const bool FOpensWithWholeBlock;
    // Outside a message every LF ends a line; inside one, its own line ends do.
    TEnds FEnds = TEnds::Lf;
    bool FInQuote = false, FQuoteHasLines = false;
    // Whether the previous line belongs to a run of header-like lines begun by a header line; a
    // block can begin only where such a run begins.
    bool FInGroup = false;
    bool FAfterSeparator = false;      // the open message came after an mbox separator
    std::size_t FSeparated = None;     // where the message after a separator starts
    std::size_t FBodyStart = None;     // the open message's empty line after its header
    std::size_t FTrailingEmpty = None; // the previous line, when an empty line of the body
    std::string_view FLastOther;       // the last line that could stand in no block
    // Whether a header line of the open message may name a status field; the last LF a line ran
    // past.
    bool FNamesStatus = false;
    std::size_t FLoneLf = None;
};
