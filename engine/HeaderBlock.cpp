#include "engine/HeaderBlock.h"

#include <algorithm>
#include <cstdint>

#include "engine/FastStringFuncs.h"
#include "engine/HeaderNames.h"

namespace {

using namespace std::string_view_literals;

// The names a block's lines are judged by, with the kinds they make a line of. Which of them are
// known is the known names' table's to say (matched as it matches them, any ASCII case); From,
// Date and Message-ID are anchors.
struct TNameInfo {
    std::string_view Name;
    unsigned Flags; // HttpLine or MailLine
};
constexpr std::array<TNameInfo, 40> NameInfos = {{
    {"Host"sv, HttpLine},
    {"User-Agent"sv, HttpLine},
    {"Server"sv, HttpLine},
    {"Set-Cookie"sv, HttpLine},
    {"Cookie"sv, HttpLine},
    {"Cache-Control"sv, HttpLine},
    {"Content-Length"sv, HttpLine},
    {"Accept"sv, HttpLine},
    {"Accept-Encoding"sv, HttpLine},
    {"Accept-Language"sv, HttpLine},
    {"Connection"sv, HttpLine},
    {"Transfer-Encoding"sv, HttpLine},
    {"Location"sv, HttpLine},
    {"ETag"sv, HttpLine},
    {"Last-Modified"sv, HttpLine},
    {"Expires"sv, HttpLine},
    {"Vary"sv, HttpLine},
    {"Pragma"sv, HttpLine},
    {"Referer"sv, HttpLine},
    {"Authorization"sv, HttpLine},
    {"Keep-Alive"sv, HttpLine},
    {"Upgrade-Insecure-Requests"sv, HttpLine},
    {"To"sv, MailLine},
    {"Cc"sv, MailLine},
    {"Bcc"sv, MailLine},
    {"Subject"sv, MailLine},
    {"Message-ID"sv, MailLine},
    {"Received"sv, MailLine},
    {"Return-Path"sv, MailLine},
    {"Reply-To"sv, MailLine},
    {"In-Reply-To"sv, MailLine},
    {"References"sv, MailLine},
    {"MIME-Version"sv, MailLine},
    {"Delivered-To"sv, MailLine},
    {"Envelope-To"sv, MailLine},
    {"Delivery-Date"sv, MailLine},
    {"X-Mailer"sv, MailLine},
    {"Sender"sv, MailLine},
    {"From"sv, 0},
    {"Date"sv, 0},
}};
constexpr std::size_t LongestName = 32;

constexpr unsigned char FoldedByte(char c) {
    return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
}

constexpr int ConstKnownIndex(std::string_view Name) {
    for (std::size_t k = 0; k < KnownNames.size(); ++k) {
        if (KnownNames[k].size() != Name.size()) continue;
        bool equal = true;
        for (std::size_t i = 0; i < Name.size(); ++i)
            equal = equal && FoldedByte(KnownNames[k][i]) == FoldedByte(Name[i]);
        if (equal) return static_cast<int>(k);
    }
    return -1;
}

enum TNameRole : std::uint8_t { Plain = 0, Known = 1, Anchor = 2 };

// The table's entries by name length and first letter (folded), so that a line's name is
// compared with one or two at most, with each entry's role. Built at compile time: nothing to look
// up or guard per line.
struct TNameSlot {
    std::array<std::uint8_t, 4> Index{};
    std::array<std::uint8_t, 4> Role{};
    std::uint8_t Count = 0;
};
constexpr std::size_t Letters = 32; // a name's first byte, folded, modulo 32
using TNameSlots = std::array<std::array<TNameSlot, Letters>, LongestName>;

constexpr unsigned char FoldedSlot(unsigned char First) {
    return static_cast<unsigned char>(FoldedByte(static_cast<char>(First)) % Letters);
}

constexpr TNameSlots MakeNameSlots() {
    TNameSlots t{};
    for (std::size_t i = 0; i < NameInfos.size(); ++i) {
        const std::string_view name = NameInfos[i].Name;
        TNameSlot& slot = t[name.size()][FoldedSlot(static_cast<unsigned char>(name[0]))];
        const int known = ConstKnownIndex(name);
        std::uint8_t role = known >= 0 ? Known : Plain;
        if (known == KnownFrom || known == KnownDate || known == KnownMessageId) role |= Anchor;
        slot.Role[slot.Count] = role;
        slot.Index[slot.Count++] = static_cast<std::uint8_t>(i);
    }
    return t;
}
constexpr TNameSlots NameSlots = MakeNameSlots();

// Every known name is judged by the table.
constexpr bool TableHoldsKnownNames() {
    for (const std::string_view known : KnownNames) {
        bool found = false;
        for (const TNameInfo& info : NameInfos)
            found = found || ConstKnownIndex(info.Name) == ConstKnownIndex(known);
        if (!found) return false;
    }
    return true;
}
static_assert(TableHoldsKnownNames());

// From with an address, Message-ID with an @, Date with a figure.
bool IsAnchorValue(std::string_view Name, std::string_view Value) {
    return Name.size() == 4 && LowerAscii(static_cast<unsigned char>(Name[0])) == 'd'
               ? std::any_of(Value.begin(), Value.end(),
                             [](char c) { return static_cast<unsigned char>(c - '0') < 10; })
               : FindCharFromOwn(Value, '@', 1) != 0; // values are short: no library call
}

} // namespace

bool FormValueAt(std::string_view Value, std::size_t First) {
    // The disposition's name may be cut off by a sector start; its value tells.
    return EqualsNoCase(Value.substr(First, 9), "form-data"sv);
}

unsigned LineFlags(const TLineShape& Shape) {
    if (Shape.Name.empty()) return 0;
    unsigned flags = FieldLine;
    const std::string_view name = Shape.Name, value = Shape.Value;
    if (name.size() < LongestName) {
        const TNameSlot& slot =
            NameSlots[name.size()][FoldedSlot(static_cast<unsigned char>(name[0]))];
        for (std::size_t k = 0; k < slot.Count; ++k) {
            const TNameInfo& info = NameInfos[slot.Index[k]];
            if (!EqualsNoCase(name, info.Name)) continue;
            flags |= info.Flags;
            if ((slot.Role[k] & Known) != 0 && Shape.HeaderLine) {
                flags |= KnownLine;
                if ((slot.Role[k] & Anchor) != 0 && IsAnchorValue(name, value)) flags |= AnchorLine;
            }
            break;
        }
    }
    if (FormValue(value)) flags |= FormLine;
    // Most names open with a capital.
    if ((name[0] >= 'A' && name[0] <= 'Z') || HoldsCapital(name)) flags |= CasedLine;
    return flags;
}

bool MailUnlessForm(const TLineCounts& Lines) {
    // Counts only grow as lines are added: three known lines stay, a mail line keeps the web
    // traffic clause of LookAlike false and a cased line the config clause.
    return Lines.Of(KnownLine) >= 3 && Lines.Of(MailLine) > 0 && Lines.Of(CasedLine) > 0;
}

bool LookAlike(const TLineCounts& Lines) {
    return Lines.Of(FormLine) > 0 || (Lines.Of(HttpLine) > 0 && Lines.Of(MailLine) == 0) ||
           Lines.Of(CasedLine) == 0;
}

bool MailBlock(const TLineCounts& Lines, bool Short) {
    if (LookAlike(Lines)) return false;
    if (Lines.Of(KnownLine) >= 3) return true;
    return Short && Lines.Of(AnchorLine) >= 1 && Lines.Of(FieldLine) >= 2;
}

namespace {

// The block walk over any way of finding line ends and names: NextOf(p, Ends) and ShapeAt(p, Line)
// answer as NextLine and ShapeOf do. NextOf is asked of each line where the one before ended.
template <class TNext, class TShape>
TBlock Examine(std::string_view Text, std::size_t Start, bool Short, TNext&& NextOf,
               TShape&& ShapeAt) {
    TBlock block;
    TLineCounts lines;
    std::size_t p = Start;
    TEnds ends = TEnds::Lf;
    while (p - Start < HeaderReach) {
        const std::size_t next = NextOf(p, ends);
        if (next == 0) break;
        const std::string_view line = Text.substr(p, next - p);
        if (p == Start) ends = EndsOf(line);
        block.End = next;
        if (IsEmptyLine(line)) {
            block.Whole = MailBlock(lines, Short) && next - Start <= HeaderReach;
            block.PastReach = next - Start > HeaderReach;
            return block;
        }
        const TLineShape shape = ShapeAt(p, line);
        if (!shape.BlockLine) return block;
        lines.Add(LineFlags(shape));
        p = next;
    }
    block.PastReach = p - Start >= HeaderReach;
    return block;
}

} // namespace

TBlock ExamineBlock(std::string_view Text, std::size_t Start, bool Short) {
    return Examine(
        Text, Start, Short,
        [Text](std::size_t p, TEnds Ends) { return NextLine(Text, p, Ends, false); },
        [](std::size_t, std::string_view Line) { return ShapeOf(Line); });
}

TBlock ExamineBlock(const TLineIndex& Index, std::size_t Start, bool Short) {
    // Each line starts where the one before ended: the LFs are taken in order.
    TLineIndex::TLfCursor lfs = Index.LfCursor(Start);
    return Examine(
        Index.Text(), Start, Short,
        [&Index, &lfs](std::size_t p, TEnds Ends) { return Index.NextLine(lfs, p, Ends, false); },
        [&Index](std::size_t p, std::string_view Line) { return Index.ShapeAt(p, Line); });
}
