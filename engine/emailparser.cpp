#include "emailparser.h"

#include <array>
#include <cstdint>
#include <string_view>

#include "CarvingSkeleton.h"
#include "FastStringFuncs.h"
#include "FastStrings.h"

namespace {

using namespace std::string_view_literals;

constexpr std::string_view QuoteMarker = "----- Original Message -----"sv;

// The header names that open or continue a header block, in the order they are compared.
constexpr std::array<std::string_view, 10> KnownNames = {
    "RETURN-PATH"sv, "REPLY-TO"sv, "ENVELOPE-TO"sv, "DELIVERY-DATE"sv, "RECEIVED"sv,
    "MESSAGE-ID"sv,  "FROM"sv,     "TO"sv,          "SUBJECT"sv,       "DATE"sv};
constexpr int KnownFrom = 6, KnownTo = 7, KnownSubject = 8, KnownDate = 9;

// ASCII-only, as header names hold nothing else that folding could touch.
bool EqualsUpper(std::string_view Name, std::string_view Upper) {
    if (Name.size() != Upper.size()) return false;
    for (std::size_t i = 0; i < Name.size(); ++i) {
        char c = Name[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
        if (c != Upper[i]) return false;
    }
    return true;
}

// KnownNames' indexes by name length (at most two names share one), so that a line's name is
// compared with two names at most; the deep rule asks this for every header line it cuts.
struct TKnownSlot {
    std::array<std::int8_t, 2> Index{-1, -1};
};
constexpr std::size_t LongestKnown = 16;
constexpr std::array<TKnownSlot, LongestKnown> MakeKnownSlots() {
    std::array<TKnownSlot, LongestKnown> t{};
    for (std::size_t i = 0; i < KnownNames.size(); ++i) {
        TKnownSlot& slot = t[KnownNames[i].size()];
        slot.Index[slot.Index[0] < 0 ? 0 : 1] = static_cast<std::int8_t>(i);
    }
    return t;
}
constexpr std::array<TKnownSlot, LongestKnown> KnownSlots = MakeKnownSlots();

// Index of Name in KnownNames, or -1.
int KnownIndex(std::string_view Name) {
    if (Name.size() >= LongestKnown) return -1;
    for (const std::int8_t i : KnownSlots[Name.size()].Index)
        if (i >= 0 && EqualsUpper(Name, KnownNames[static_cast<std::size_t>(i)])) return i;
    return -1;
}

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

} // namespace

int KnownHeaderIndex(std::string_view Name) {
    return KnownIndex(Name);
}

int KnownFieldIndex(int Known) {
    switch (Known) {
    case KnownFrom:
        return 0;
    case KnownTo:
        return 1;
    case KnownSubject:
        return 2;
    case KnownDate:
        return 3;
    default:
        return -1;
    }
}

void CutsToEmails(std::string_view Text, const TCutList& Cuts, TEmailArray& Result,
                  std::vector<std::size_t>* Starts) {
    Result.clear();
    Result.reserve(Cuts.size());
    if (Starts != nullptr) Starts->clear();
    for (const TCutMessage& cut : Cuts) {
        TEmail& email = Result.emplace_back();
        email.From.assign(cut.Fields[0]);
        email.To.assign(cut.Fields[1]);
        email.Subject.assign(cut.Fields[2]);
        email.Date.assign(cut.Fields[3]);
        email.FullText.assign(Text.substr(cut.Start, cut.End - cut.Start));
        if (cut.HasBody) email.Body.assign(Text.substr(cut.BodyStart, cut.End - cut.BodyStart));
        if (Starts != nullptr) Starts->push_back(cut.Start);
    }
}

void StoreKnownHeader(int Known, std::string_view Value, TEmail& Email) {
    std::string* const fields[4] = {&Email.From, &Email.To, &Email.Subject, &Email.Date};
    if (const int field = KnownFieldIndex(Known); field >= 0) fields[field]->assign(Value);
}

namespace {

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

// --- The start test's fast form -------------------------------------------------------------
//
// It runs once per sector of a whole drive, so the common answer (no) must come from the first
// byte or two: a known header line starts with one of the ten names, in any ASCII case, followed
// by a colon and a space. Such a prefix holds no CR, so when it is there it lies inside the line,
// and the line is a known header line; when it is not, the line is not one.

// Masks that clear the case bit of letters and keep every other byte whole.
struct TNamePattern {
    std::string_view Upper; // the name, then ": "
    std::array<unsigned char, 16> Mask;
};

constexpr TNamePattern MakePattern(std::string_view Upper) {
    TNamePattern p{Upper, {}};
    for (std::size_t i = 0; i < Upper.size(); ++i)
        p.Mask[i] = (Upper[i] >= 'A' && Upper[i] <= 'Z') ? 0xDF : 0xFF;
    return p;
}

constexpr std::array<TNamePattern, 10> NamePatterns = {
    MakePattern("RETURN-PATH: "), MakePattern("REPLY-TO: "),      MakePattern("RECEIVED: "),
    MakePattern("ENVELOPE-TO: "), MakePattern("DELIVERY-DATE: "), MakePattern("DATE: "),
    MakePattern("MESSAGE-ID: "),  MakePattern("FROM: "),          MakePattern("TO: "),
    MakePattern("SUBJECT: ")};

// For each first byte: the range [first, last) of NamePatterns that can start with it.
struct TBucket {
    std::uint8_t First = 0, Last = 0;
};

constexpr std::array<TBucket, 256> MakeBuckets() {
    std::array<TBucket, 256> b{};
    auto set = [&b](char upper, std::uint8_t first, std::uint8_t last) {
        b[static_cast<unsigned char>(upper)] = {first, last};
        b[static_cast<unsigned char>(upper + 0x20)] = {first, last};
    };
    set('R', 0, 3);
    set('E', 3, 4);
    set('D', 4, 6);
    set('M', 6, 7);
    set('F', 7, 8);
    set('T', 8, 9);
    set('S', 9, 10);
    return b;
}

constexpr std::array<TBucket, 256> Buckets = MakeBuckets();

constexpr std::array<bool, 256> MakeFirstBytes() {
    std::array<bool, 256> first{};
    for (std::size_t b = 0; b < 256; ++b)
        first[b] = Buckets[b].First != Buckets[b].Last;
    return first;
}

// R, E, D, M, F, T and S in either case.
constexpr std::array<bool, 256> CanStartKnownName = MakeFirstBytes();

// True when the bytes at p (Avail of them) begin with a known name and ": ".
inline bool StartsKnownHeader(const unsigned char* p, std::size_t Avail) {
    const TBucket bucket = Buckets[p[0]];
    for (std::uint8_t i = bucket.First; i < bucket.Last; ++i) {
        const TNamePattern& pattern = NamePatterns[i];
        const std::size_t len = pattern.Upper.size();
        if (Avail < len) continue;
        std::size_t k = 1; // the first byte already chose the bucket
        while (k < len && (p[k] & pattern.Mask[k]) == static_cast<unsigned char>(pattern.Upper[k]))
            ++k;
        if (k == len) return true;
    }
    return false;
}

} // namespace

TEmailParser::TEmailParser(ScanHost& Host) : FHost(&Host) {}

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
    return KnownIndex(Field.Name) >= 0;
}

bool TEmailParser::IsQuoteMarker(std::string_view Line) {
    return SearchText(QuoteMarker, Line, true, 1) > 0;
}

void TEmailParser::StoreHeaderField(const TRPCField& Field, TEmail& Email) {
    StoreKnownHeader(KnownIndex(Field.Name), Field.Value, Email);
}

namespace {

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

} // namespace

const std::array<bool, 256> TEmailParser::FirstBytes = CanStartKnownName;

bool TEmailParser::IsMessageStart(std::string_view Window, std::uint32_t SectorSize) const {
    // Line 0 alone can open the block. The first byte settles almost every sector of a drive;
    // the name check and the walk stay out of this path.
    if (Window.empty() || !CanStartKnownName[static_cast<unsigned char>(Window[0])]) return false;
    if (!StartsKnownHeader(reinterpret_cast<const unsigned char*>(Window.data()), Window.size()))
        return false;
    return HeaderBlockCloses(Window, SectorSize);
}

void TEmailParser::ExtractMessages(std::string_view Text, TEmailArray& Result,
                                   std::vector<std::size_t>* Starts) const {
    TCutList cuts;
    ExtractCuts(Text, cuts);
    CutsToEmails(Text, cuts, Result, Starts);
}

void TEmailParser::ExtractCuts(std::string_view Text, TCutList& Result) const {
    TMessageCutter cut(Text, *FHost, Result);
    bool inQuote = false;
    cut.EachLine([&](std::string_view line, std::size_t p) {
        const TLineParts parts = SplitLine(line);
        if (parts.IsField) {
            const int known = KnownIndex(parts.Name);
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
