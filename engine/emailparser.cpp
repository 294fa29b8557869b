#include "engine/emailparser.h"

#include <array>
#include <cstdint>
#include <string_view>

#include "engine/CarvingSkeleton.h"
#include "engine/FastStrings.h"
#include "engine/HeaderNames.h"
#include "engine/LineEnds.h"
#include "engine/LineShape.h"
#include "engine/Reused.h"

namespace {

using namespace std::string_view_literals;

constexpr std::string_view QuoteMarker = "----- Original Message -----"sv;

// A line split into views of itself: the allocation-free form of TRPCField.
struct TLineParts {
    bool IsField = false;
    std::string_view Name;
    std::string_view Value;
};

// Line, whose header name (printable ASCII but the space and the colon) is NameBytes long.
TLineParts SplitNamed(std::string_view Line, std::size_t NameBytes) {
    TLineParts parts;
    const std::size_t k = NameBytes + 1; // 1-based position of the colon, if it is one
    if (NameBytes == 0 || k >= Line.size() || Line[NameBytes] != ':' || Line[k] != ' ')
        return parts;
    parts.IsField = true;
    parts.Name = Line.substr(0, NameBytes);
    // From the space after the colon to the byte before the line's CR LF.
    const auto count =
        static_cast<std::ptrdiff_t>(Line.size()) - static_cast<std::ptrdiff_t>(k) - 2;
    if (count > 0) parts.Value = Line.substr(k, static_cast<std::size_t>(count));
    return parts;
}

TLineParts SplitLine(std::string_view Line) {
    return SplitNamed(Line, NameLength(Line));
}

// Built on first use; the marker is fixed, so one table serves every line.
struct TQuoteMarkerTable {
    TSkipTable Table;
    TQuoteMarkerTable() {
        BuildSkipTable(reinterpret_cast<const unsigned char*>(QuoteMarker.data()),
                       QuoteMarker.size(), Table);
    }
};

const TSkipTable& QuoteMarkerTable() {
    static const TQuoteMarkerTable table;
    return table.Table;
}

bool HasQuoteMarker(std::string_view Line) {
    return Line.size() >= QuoteMarker.size() &&
           ForwardSearchPrepared(Line, QuoteMarker, QuoteMarkerTable(), 1) > 0;
}

// The start test once line 0 is known to begin with a known name and ": ". Out of line: few
// sectors get here, and the test for all the others stays short.
[[gnu::noinline]] bool HeaderBlockCloses(std::string_view Window, std::uint32_t SectorSize) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(Window.data());
    const std::size_t n = Window.size();
    // Every start found walks its whole header block here: the line ends are found at once.
    TReused<TLineIndex> index;
    index->Build(Window);
    TLineIndex::TLfCursor lfs = index->LfCursor(0);
    std::size_t next = index->NextLine(lfs, 0, TEnds::CrLf, false); // past line 0's LF
    if (next == 0 || next > SectorSize) return false;
    unsigned count = 1;
    std::size_t p = next; // the next line's start
    for (;;) {
        next = index->NextLine(lfs, p, TEnds::CrLf, false);
        if (next == 0) return false;          // the block does not close inside the window
        if (next == p + 2) return count >= 3; // the empty line
        if (StartsKnownHeader(bytes + p, n - p)) ++count;
        p = next;
    }
}

constexpr std::array<bool, 256> MakeFirstBytes() {
    std::array<bool, 256> first{};
    for (std::size_t b = 0; b < 256; ++b)
        first[b] = CanStartKnownName(static_cast<unsigned char>(b));
    return first;
}

constexpr std::array<bool, 256> MakeTextBytes() {
    std::array<bool, 256> t{};
    t[0x09] = t[0x0A] = t[0x0B] = t[0x0D] = true;
    for (int b = 0x20; b <= 0x7E; ++b)
        t[b] = true;
    return t;
}

} // namespace

// R, E, D, M, F, T and S in either case.
const std::array<bool, 256> TEmailParser::FirstBytes = MakeFirstBytes();
const std::array<bool, 256> TEmailParser::TextBytes = MakeTextBytes();

TEmailParser::TEmailParser(TScanHost& Host) : TRule(FirstBytes), FHost(&Host) {}

TRPCField TEmailParser::ParseHeaderLine(std::string_view Line) {
    const TLineParts parts = SplitLine(Line);
    TRPCField field;
    if (parts.IsField) {
        field.IsField = 1;
        field.Name.assign(parts.Name);
        field.Value.assign(parts.Value);
    }
    return field;
}

bool TEmailParser::IsKnownHeader(const TRPCField& Field) {
    return KnownHeaderIndex(Field.Name) >= 0;
}

bool TEmailParser::IsQuoteMarker(std::string_view Line) {
    return SearchText(QuoteMarker, Line, true, 1) > 0;
}

void TEmailParser::StoreHeaderField(const TRPCField& Field, TEmail& Email) {
    StoreKnownHeader(KnownHeaderIndex(Field.Name), Field.Value, Email);
}

bool TEmailParser::IsMessageStart(std::string_view Window, std::uint32_t SectorSize) const {
    // Line 0 alone can open the block. The first byte settles almost every sector of a drive;
    // the name check and the walk stay out of this path.
    if (Window.empty() || !FirstBytes[static_cast<unsigned char>(Window[0])]) return false;
    if (!StartsKnownHeader(reinterpret_cast<const unsigned char*>(Window.data()), Window.size()))
        return false;
    return HeaderBlockCloses(Window, SectorSize);
}

std::size_t TEmailParser::TextRunLength(std::string_view Bytes) {
    return StandardTextRun(Bytes);
}

TRule* TEmailParser::StartsAt(const TByteRun& Window, std::uint32_t SectorSize,
                              const TDriveFetch&) {
    return IsMessageStart(Window.Bytes, SectorSize) ? this : nullptr;
}

void TEmailParser::ExtractMessages(std::string_view Text, TEmailArray& Result,
                                   std::vector<std::size_t>* Starts) const {
    TCutList cuts;
    Carve(TByteRun{0, Text}, cuts);
    CutsToEmails(cuts, Result, Starts);
}

void TEmailParser::Carve(const TByteRun& Run, TCutList& Cuts) const {
    // Line ends and name lengths found for the whole run at once: a search per line costs more
    // than the line on a drive of short header lines.
    TReused<TLineIndex> index;
    index->Build(Run.Bytes);
    TMessageCutter cut(Run, *FHost, Cuts);
    bool inQuote = false;
    // Each line starts where the one before ended: the LFs are taken in order.
    TLineIndex::TLfCursor lfs = index->LfCursor(0);
    const auto next = [&](std::size_t p) { return index->NextLine(lfs, p, TEnds::CrLf, false); };
    cut.EachLineBy(next, [&](std::string_view line, std::size_t p) {
        const TLineParts parts = SplitNamed(line, index->NameLength(p));
        if (parts.IsField) {
            const int known = KnownHeaderIndex(parts.Name);
            if (known >= 0 && !inQuote) {
                if (!cut.InHeader()) cut.Start(p);
                cut.Store(known, parts.Value);
            }
        } else {
            const bool empty = line.size() == 2;
            if (empty && cut.InHeader())
                cut.OpenBody(p);
            else if (empty && inQuote)
                inQuote = false;
            else if (HasQuoteMarker(line))
                inQuote = true;
        }
    });
}
