#include "DeepRule.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "FastStrings.h"
#include "emailparser.h"

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

// A line (with its CR LF) that may stand inside a header block: a folded continuation, or a name
// and a colon whatever follows (header lines proper, and "Name:" with an empty or tabbed value).
bool IsBlockLine(std::string_view Line) {
    const auto first = static_cast<unsigned char>(Line[0]);
    if (first == ' ' || first == '\t') return true;
    std::size_t i = 0;
    while (i < Line.size() && IsNameByte(static_cast<unsigned char>(Line[i])))
        ++i;
    return i > 0 && i < Line.size() && Line[i] == ':';
}

bool IsKnownHeaderLine(const TRPCField& Field) {
    return Field.IsField != 0 && TEmailParser::IsKnownHeader(Field);
}

bool AllTextBytes(std::string_view Bytes) {
    for (const char c : Bytes)
        if (!TextBytes[static_cast<unsigned char>(c)]) return false;
    return true;
}

struct TBlock {
    bool Whole = false;  // closes within reach and holds at least three known header lines
    std::size_t End = 0; // 0-based offset just past the last line looked at
};

// Looks at the header block whose first line (a header line) starts at Start. Stops at the
// empty line that closes it, at the first line that cannot stand in a block, at the end of the
// text or once past the reach, so it reads each block once.
TBlock ExamineBlock(std::string_view Text, std::size_t Start, bool TextOnly) {
    TBlock block;
    unsigned known = 0;
    std::size_t p = Start;
    while (p - Start < TDeepEmailParser::HeaderReach) {
        const std::size_t cr = FindLineEnd(Text, p + 1);
        if (cr == 0) break;
        const std::size_t next = cr + 1;
        const std::string_view line = Text.substr(p, next - p);
        if (TextOnly && !AllTextBytes(line)) break;
        block.End = next;
        if (line.size() == 2) {
            block.Whole = known >= 3 && next - Start <= TDeepEmailParser::HeaderReach;
            break;
        }
        if (!IsBlockLine(line)) break;
        if (IsKnownHeaderLine(TEmailParser::ParseHeaderLine(line))) ++known;
        p = next;
    }
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
    while (i < n && TextBytes[p[i]])
        ++i;
    return i;
}

bool TDeepEmailParser::IsQuoteMarker(std::string_view Line) {
    if (SearchText(MarkerCore, Line, true, 1) == 0) return false;
    return std::any_of(QuoteMarkers.begin(), QuoteMarkers.end(), [Line](std::string_view Marker) {
        return SearchText(Marker, Line, true, 1) > 0;
    });
}

bool TDeepEmailParser::OpensHeaderLine(std::string_view Sector) {
    const auto* b = reinterpret_cast<const unsigned char*>(Sector.data());
    const std::size_t n = Sector.size();
    std::size_t i = 0;
    while (i < n && IsNameByte(b[i]))
        ++i;
    return i > 0 && i + 1 < n && b[i] == ':' && b[i + 1] == ' ';
}

bool TDeepEmailParser::IsMessageStart(std::string_view View, std::uint32_t SectorSize) const {
    if (!OpensHeaderLine(View.substr(0, SectorSize))) return false;
    // Line 0 ends inside the first sector, and is a header line.
    const std::size_t cr = FindLineEnd(View.substr(0, SectorSize), 1);
    if (cr == 0) return false;
    if (TEmailParser::ParseHeaderLine(View.substr(0, cr + 1)).IsField == 0) return false;
    return ExamineBlock(View.substr(0, HeaderReach), 0, true).Whole;
}

void TDeepEmailParser::ExtractMessages(std::string_view Text, TEmailArray& Result,
                                       std::vector<std::size_t>* Starts) const {
    // As in the standard carver, a message's lines are contiguous in Text, so its texts are
    // copied once, as ranges, when it is complete.
    TEmailArray found;
    std::vector<std::size_t> starts;
    bool inHeader = false, inBody = false;
    bool inQuote = false, quoteHasLines = false;
    // Whether the previous line belongs to a run of header-like lines begun by a header line; a
    // block can begin only where such a run begins.
    bool inGroup = false;
    std::size_t messageStart = 0, bodyStart = 0, end = 0;
    bool hasBody = false;

    auto finish = [&] {
        if (found.empty()) return;
        TEmail& email = found.back();
        email.FullText.assign(Text.substr(messageStart, end - messageStart));
        if (hasBody) email.Body.assign(Text.substr(bodyStart, end - bodyStart));
    };

    std::size_t p = 0;
    for (;;) {
        FHost->KeepAlive();
        const std::size_t cr = FindLineEnd(Text, p + 1);
        if (cr == 0) break;
        const std::size_t next = cr + 1;
        const std::string_view line = Text.substr(p, next - p);
        const bool empty = line.size() == 2;

        if (inHeader) {
            // The block was examined whole when it began: its lines run to its empty line.
            if (empty) {
                inHeader = false;
                inBody = true;
                hasBody = true;
                bodyStart = p;
                inGroup = false;
            } else {
                const TRPCField field = TEmailParser::ParseHeaderLine(line);
                if (IsKnownHeaderLine(field)) TEmailParser::StoreHeaderField(field, found.back());
            }
        } else if (empty) {
            inGroup = false;
            if (inQuote && quoteHasLines) inQuote = false;
        } else if (!IsBlockLine(line)) {
            inGroup = false;
            if (inQuote) quoteHasLines = true;
            if (IsQuoteMarker(line)) {
                inQuote = true;
                quoteHasLines = false;
            }
        } else if (inGroup) {
            if (inQuote) quoteHasLines = true;
        } else {
            // A header-like line after a line that was none: a block may begin here.
            const TRPCField field = TEmailParser::ParseHeaderLine(line);
            inGroup = field.IsField != 0;
            if (inGroup && !inQuote && ExamineBlock(Text, p, false).Whole) {
                finish();
                found.emplace_back();
                starts.push_back(p);
                messageStart = p;
                hasBody = false;
                inHeader = true;
                inBody = false;
                if (IsKnownHeaderLine(field)) TEmailParser::StoreHeaderField(field, found.back());
            } else if (inQuote) {
                quoteHasLines = true;
            }
        }
        if (inHeader || inBody) end = next;
        p = next;
    }
    finish();

    Result = std::move(found);
    if (Starts != nullptr) *Starts = std::move(starts);
}
