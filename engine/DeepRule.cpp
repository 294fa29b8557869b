#include "DeepRule.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "CarvingSkeleton.h"
#include "FastStrings.h"

namespace {

using namespace std::string_view_literals;

constexpr std::array<bool, 256> MakeTextBytes() {
    std::array<bool, 256> t{};
    for (int b = 0x20; b <= 0x7E; ++b)
        t[b] = true;
    for (int b = 0x80; b <= 0xFF; ++b)
        t[b] = true;
    for (int b : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x1B})
        t[b] = true;
    return t;
}

constexpr std::array<bool, 256> TextBytes = MakeTextBytes();

// A header name's bytes: printable ASCII without the space (and a colon ends the name).
inline bool IsNameByte(unsigned char b) {
    return b >= 0x21 && b <= 0x7E && b != ':';
}

// Every marker holds "essage", so lines without it are answered by one search.
constexpr std::string_view MarkerCore = "essage"sv;
constexpr std::array<std::string_view, 6> QuoteMarkers = {
    "----- Original Message -----"sv,           "-----Original Message-----"sv,
    "-------- Original Message --------"sv,     "Begin forwarded message:"sv,
    "---------- Forwarded message ---------"sv, "-------- Forwarded Message --------"sv};

// A line (with its CR LF) as a header block sees it, from one pass over its name and without
// copying: the split TEmailParser::ParseHeaderLine makes (printable bytes up to the first colon,
// then a space), and whether the line may stand inside a block at all: a folded continuation, or
// a name and a colon whatever follows ("Name:" with an empty or tabbed value too).
struct TLineShape {
    bool BlockLine = false;
    bool HeaderLine = false;
    std::string_view Name;
    std::string_view Value; // from the space after the colon to the CR LF
};

TLineShape Shape(std::string_view Line) {
    TLineShape shape;
    const auto first = static_cast<unsigned char>(Line[0]);
    if (first == ' ' || first == '\t') {
        shape.BlockLine = true;
        return shape;
    }
    std::size_t i = 0;
    while (i < Line.size() && IsNameByte(static_cast<unsigned char>(Line[i])))
        ++i;
    if (i == 0 || i >= Line.size() || Line[i] != ':') return shape;
    shape.BlockLine = true;
    if (i + 1 < Line.size() && Line[i + 1] == ' ') {
        shape.HeaderLine = true;
        shape.Name = Line.substr(0, i);
        if (Line.size() >= i + 3) shape.Value = Line.substr(i + 1, Line.size() - i - 3);
    }
    return shape;
}

bool IsKnownName(std::string_view Name) {
    return KnownHeaderIndex(Name) >= 0;
}

struct TBlock {
    bool Whole = false;     // closes within reach and holds at least three known header lines
    bool PastReach = false; // every line within reach may stand in a block, but none closes it
    std::size_t End = 0;    // 0-based offset just past the last line looked at
};

// Looks at the header block whose first line (a header line) starts at Start. Stops at the
// empty line that closes it, at the first line that cannot stand in a block, at the end of the
// text or once past the reach, so it reads each block once.
TBlock ExamineBlock(std::string_view Text, std::size_t Start) {
    TBlock block;
    unsigned known = 0;
    std::size_t p = Start;
    while (p - Start < TDeepEmailParser::HeaderReach) {
        const std::size_t cr = FindLineEnd(Text, p + 1);
        if (cr == 0) break;
        const std::size_t next = cr + 1;
        const std::string_view line = Text.substr(p, next - p);
        block.End = next;
        if (line.size() == 2) {
            block.Whole = known >= 3 && next - Start <= TDeepEmailParser::HeaderReach;
            block.PastReach = next - Start > TDeepEmailParser::HeaderReach;
            return block;
        }
        const TLineShape shape = Shape(line);
        if (!shape.BlockLine) return block;
        if (shape.HeaderLine && IsKnownName(shape.Name)) ++known;
        p = next;
    }
    block.PastReach = p - Start >= TDeepEmailParser::HeaderReach;
    return block;
}

} // namespace

TDeepEmailParser::TDeepEmailParser(ScanHost& Host) : FHost(&Host) {}

bool TDeepEmailParser::IsTextByte(unsigned char b) {
    return TextBytes[b];
}

std::size_t TDeepEmailParser::TextRunLength(std::string_view Bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(Bytes.data());
    const std::size_t n = Bytes.size();
    std::size_t i = 0;
    // Eight bytes at a time while none of them is a control byte or DEL: those are all text (the
    // high bytes included). A word holding a control byte (a CR, LF or tab, mostly) is settled
    // byte by byte.
    constexpr std::uint64_t Ones = 0x0101010101010101ull, Highs = 0x8080808080808080ull;
    while (i + 8 <= n) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        const std::uint64_t control = (w - 0x20 * Ones) & ~w & Highs; // some byte below 0x20
        const std::uint64_t del = ((w ^ (0x7F * Ones)) - Ones) & ~(w ^ (0x7F * Ones)) & Highs;
        if ((control | del) == 0) {
            i += 8;
            continue;
        }
        const std::size_t end = i + 8;
        while (i < end && TextBytes[p[i]])
            ++i;
        if (i < end) return i;
    }
    while (i < n && TextBytes[p[i]])
        ++i;
    return i;
}

bool TDeepEmailParser::IsQuoteMarker(std::string_view Line) {
    // The patterns are fixed, so their skip tables are built once.
    struct TTables {
        TSkipTable Core;
        std::array<TSkipTable, QuoteMarkers.size()> Markers;
        TTables() {
            auto build = [](std::string_view Pattern, TSkipTable& Table) {
                BuildSkipTable(reinterpret_cast<const unsigned char*>(Pattern.data()),
                               Pattern.size(), Table);
            };
            build(MarkerCore, Core);
            for (std::size_t i = 0; i < QuoteMarkers.size(); ++i)
                build(QuoteMarkers[i], Markers[i]);
        }
    };
    static const TTables tables;
    if (ForwardSearchPrepared(Line, MarkerCore, tables.Core, 1) == 0) return false;
    for (std::size_t i = 0; i < QuoteMarkers.size(); ++i)
        if (ForwardSearchPrepared(Line, QuoteMarkers[i], tables.Markers[i], 1) > 0) return true;
    return false;
}

bool TDeepEmailParser::OpensHeaderLine(std::string_view Sector) {
    const auto* b = reinterpret_cast<const unsigned char*>(Sector.data());
    const std::size_t n = Sector.size();
    std::size_t i = 0;
    while (i < n && IsNameByte(b[i]))
        ++i;
    return i > 0 && i + 1 < n && b[i] == ':' && b[i + 1] == ' ';
}

std::size_t TDeepEmailParser::HeaderBlockLength(std::string_view View,
                                                std::uint32_t SectorSize) const {
    if (!OpensHeaderLine(View.substr(0, SectorSize))) return 0;
    // Line 0 ends inside the first sector, and is a header line.
    const std::size_t cr = FindLineEnd(View.substr(0, SectorSize), 1);
    if (cr == 0) return 0;
    if (!Shape(View.substr(0, cr + 1)).HeaderLine) return 0;
    const TBlock block = ExamineBlock(View.substr(0, HeaderReach), 0);
    return block.Whole ? block.End : 0;
}

bool TDeepEmailParser::IsMessageStart(std::string_view View, std::uint32_t SectorSize) const {
    // The block must be text through its empty line, or the run would end inside it.
    const std::size_t length = HeaderBlockLength(View, SectorSize);
    return length > 0 && TextRunLength(View.substr(0, length)) == length;
}

void TDeepEmailParser::ExtractMessages(std::string_view Text, TEmailArray& Result,
                                       std::vector<std::size_t>* Starts,
                                       bool OpensWithWholeBlock) const {
    TMessageCutter cut(Text, *FHost);
    bool inQuote = false, quoteHasLines = false;
    // Whether the previous line belongs to a run of header-like lines begun by a header line; a
    // block can begin only where such a run begins.
    bool inGroup = false;
    auto store = [&cut](const TLineShape& Shape) {
        if (Shape.HeaderLine) {
            const int known = KnownHeaderIndex(Shape.Name);
            if (known >= 0) cut.Store(known, Shape.Value);
        }
    };
    cut.EachLine([&](std::string_view line, std::size_t p) {
        const bool empty = line.size() == 2;
        if (cut.InHeader()) {
            // The block was examined whole when it began: its lines run to its empty line.
            if (empty) {
                cut.OpenBody(p);
                inGroup = false;
            } else {
                store(Shape(line));
            }
        } else if (empty) {
            inGroup = false;
            if (inQuote && quoteHasLines) inQuote = false;
        } else if (const TLineShape shape = Shape(line); !shape.BlockLine) {
            inGroup = false;
            if (inQuote) quoteHasLines = true;
            if (IsQuoteMarker(line)) {
                inQuote = true;
                quoteHasLines = false;
            }
        } else if (inGroup) {
            if (inQuote) quoteHasLines = true;
        } else {
            // A header-like line after a line that was none: a block may begin here. A block too
            // long to be judged within reach is cut as the standard rule cuts: from a known
            // header line on.
            inGroup = shape.HeaderLine;
            bool starts = false;
            if (inGroup && !inQuote) {
                if (p == 0 && OpensWithWholeBlock) {
                    starts = true;
                } else {
                    const TBlock block = ExamineBlock(Text, p);
                    starts = block.Whole || (block.PastReach && IsKnownName(shape.Name));
                }
            }
            if (starts) {
                cut.Start(p);
                store(shape);
            } else if (inQuote) {
                quoteHasLines = true;
            }
        }
    });
    cut.Hand(Result, Starts);
}

TDeepBlockWalker::TStart TDeepBlockWalker::Examine(std::uint64_t Offset, std::string_view Sector) {
    TStart start;
    // Line 0 as HeaderBlockLength takes it: a header line ending inside the sector.
    if (!TDeepEmailParser::OpensHeaderLine(Sector)) return start;
    const std::size_t cr = FindLineEnd(Sector, 1);
    if (cr == 0) return start;
    const std::string_view line0 = Sector.substr(0, cr + 1);
    const TLineShape shape0 = Shape(line0);
    if (!shape0.HeaderLine) return start;
    // The sector's bytes are not to be used once more are fetched.
    const bool known0 = IsKnownName(shape0.Name);
    const std::size_t text0 = TDeepEmailParser::TextRunLength(line0);
    const bool text0Whole = text0 == line0.size();

    // The lines after line 0 are the remembered ones from their start on, whatever sector asked
    // before: a line ends at the first CR LF after any byte of it.
    const std::uint64_t next = Offset + cr + 1;
    if (!FValid || Offset < FLastOffset || next < FFrom || next > FTo) {
        FFrom = FTo = FSearched = next;
        FStop = TStop::Open;
        FKnown.clear();
        FBad.clear();
        FValid = true;
    }
    FLastOffset = Offset;
    FFrom = next;
    while (!FKnown.empty() && FKnown.front() < next)
        FKnown.pop_front();
    while (!FBad.empty() && FBad.front() < next)
        FBad.pop_front();

    // Lines are taken while they end within reach of this sector, over pieces that grow, so that
    // a block that stops soon costs little to fetch.
    const std::uint64_t limit = Offset + TDeepEmailParser::HeaderReach;
    for (std::uint64_t piece = 1024; FStop == TStop::Open && FTo < limit; piece *= 2) {
        const std::uint64_t base = FTo;
        const std::uint64_t want = std::min(limit - base, FSearched - base + piece);
        const std::string_view rest = FFetch(base, static_cast<std::uint32_t>(want));
        std::size_t at = 0;
        std::size_t from = static_cast<std::size_t>(std::max<std::uint64_t>(1, FSearched - base));
        for (;;) {
            const std::size_t end = FindLineEnd(rest, from);
            if (end == 0) {
                FSearched = base + want; // no line ends with an LF before here
                break;
            }
            const std::string_view line = rest.substr(at, end + 1 - at);
            if (line.size() == 2) {
                FStop = TStop::Empty;
                break;
            }
            const TLineShape shape = Shape(line);
            if (!shape.BlockLine) {
                FStop = TStop::Broken;
                break;
            }
            if (shape.HeaderLine && IsKnownName(shape.Name)) FKnown.push_back(base + at);
            if (const std::size_t text = TDeepEmailParser::TextRunLength(line); text < line.size())
                FBad.push_back(base + at + text);
            at = end + 1;
            from = at + 1;
            FTo = FSearched = base + at;
        }
        if (base + want == limit) break;
    }
    const std::size_t known = FKnown.size() + (known0 ? 1 : 0);
    if (FStop != TStop::Empty || FTo + 2 > limit || known < 3) return start;
    start.Block = static_cast<std::size_t>(FTo + 2 - Offset);
    if (!text0Whole)
        start.Text = text0;
    else
        start.Text = FBad.empty() ? start.Block : static_cast<std::size_t>(FBad.front() - Offset);
    return start;
}

