#include "engine/emailparser.h"

#include <array>
#include <cstdint>
#include <string_view>

#include "engine/CarvingSkeleton.h"
#include "engine/FastStringFuncs.h"
#include "engine/FastStrings.h"
#include "engine/HeaderNames.h"
#include "engine/LineEnds.h"

namespace {

using namespace std::string_view_literals;

constexpr std::string_view QuoteMarker = "----- Original Message -----"sv;

// A line split into views of itself: the allocation-free form of TRPCField.
struct TLineParts {
    bool IsField = false;
    std::string_view Name;
    std::string_view Value;
};

TLineParts SplitLine(std::string_view Line) {
    TLineParts parts;
    const std::size_t k = FindCharFrom(Line, ':', 1);
    if (k <= 1 || Line[0] == ' ' || k >= Line.size() || Line[k] != ' ') return parts;
    for (std::size_t i = 0; i + 1 < k; ++i) {
        const auto b = static_cast<unsigned char>(Line[i]);
        if (b < 0x21 || b > 0x7E) return parts;
    }
    parts.IsField = true;
    parts.Name = Line.substr(0, k - 1);
    // From the space after the colon to the byte before the line's CR LF.
    const auto count =
        static_cast<std::ptrdiff_t>(Line.size()) - static_cast<std::ptrdiff_t>(k) - 2;
    if (count > 0) parts.Value = Line.substr(k, static_cast<std::size_t>(count));
    return parts;
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

// The start test once line 0 is known to begin with a known name and ": ".
bool HeaderBlockCloses(std::string_view Window, std::uint32_t SectorSize) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(Window.data());
    const std::size_t n = Window.size();
    std::size_t cr = FindLineEnd(Window, 1); // 1-based position of line 0's CR
    if (cr == 0 || cr >= SectorSize) return false;
    unsigned count = 1;
    std::size_t p = cr + 1; // 0-based start of the next line
    for (;;) {
        cr = FindLineEnd(Window, p + 1);
        if (cr == 0) return false;          // the block does not close inside the window
        if (cr == p + 1) return count >= 3; // the empty line
        if (StartsKnownHeader(bytes + p, n - p)) ++count;
        p = cr + 1;
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
    TMessageCutter cut(Run, *FHost, Cuts);
    bool inQuote = false;
    cut.EachLine([&](std::string_view line, std::size_t p) {
        const TLineParts parts = SplitLine(line);
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
