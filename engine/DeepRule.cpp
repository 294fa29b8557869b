#include "DeepRule.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "CarvingSkeleton.h"
#include "FastStringFuncs.h"
#include "FastStrings.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
constexpr std::array<std::string_view, 8> QuoteMarkers = {
    "----- Original Message -----"sv,
    "-----Original Message-----"sv,
    "-------- Original Message --------"sv,
    "Begin forwarded message:"sv,
    "---------- Forwarded message ---------"sv,
    "-------- Forwarded Message --------"sv,
    // Bounces that append the returned message as text.
    "This is a copy of the message, including all the headers."sv,
    "Below this line is a copy of the message."sv};

// How a message's lines end. A message keeps its own line ends: one stored with CR LF has its
// lines end at CR LF only (a lone LF stands inside a line), one stored with LF at every LF.
enum class TEnds { Lf, CrLf };

// Past-the-end of the line that starts at p, 0 when no line ends. Under CR LF, when MboxAware, a
// lone LF before "From " ends a line too, and so does the first LF of a line that begins so: an
// LF mbox may hold CR LF messages, its separators and the empty lines before them are LF lines.
std::size_t NextLine(std::string_view Text, std::size_t p, TEnds Ends, bool MboxAware) {
    const char* base = Text.data();
    const std::size_t n = Text.size();
    if (MboxAware && Ends == TEnds::CrLf && n - p > 5 && std::memcmp(base + p, "From ", 5) == 0)
        Ends = TEnds::Lf;
    std::size_t from = p;
    while (from < n) {
        const std::size_t at = FindCharFrom(Text, '\n', from + 1);
        if (at == 0) return 0;
        const std::size_t lf = at - 1;
        if (Ends == TEnds::Lf || (lf > p && base[lf - 1] == '\r')) return lf + 1;
        if (MboxAware && n - lf > 5 && std::memcmp(base + lf + 1, "From ", 5) == 0) return lf + 1;
        from = lf + 1;
    }
    return 0;
}

// The ends of a line (its last bytes), which the lines of the message it opens share.
TEnds EndsOf(std::string_view Line) {
    return Line.size() >= 2 && Line[Line.size() - 2] == '\r' ? TEnds::CrLf : TEnds::Lf;
}

std::size_t EndLength(std::string_view Line) {
    if (Line.empty() || Line.back() != '\n') return 0;
    return Line.size() >= 2 && Line[Line.size() - 2] == '\r' ? 2 : 1;
}

bool IsEmptyLine(std::string_view Line) {
    return Line == "\n"sv || Line == "\r\n"sv;
}

inline unsigned char Lower(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c;
}

inline bool EqualsNoCase(std::string_view A, std::string_view B) {
    if (A.size() != B.size()) return false;
    for (std::size_t i = 0; i < A.size(); ++i)
        if (Lower(static_cast<unsigned char>(A[i])) != Lower(static_cast<unsigned char>(B[i])))
            return false;
    return true;
}

// Word not empty. Most places fail on their first byte, so the rest is compared only after it.
std::size_t FindNoCase(std::string_view Text, std::string_view Word) {
    if (Word.size() > Text.size()) return std::string_view::npos;
    const unsigned char first = Lower(static_cast<unsigned char>(Word[0]));
    const std::string_view rest = Word.substr(1);
    const std::size_t last = Text.size() - Word.size();
    for (std::size_t i = 0; i <= last; ++i)
        if (Lower(static_cast<unsigned char>(Text[i])) == first &&
            EqualsNoCase(Text.substr(i + 1, rest.size()), rest))
            return i;
    return std::string_view::npos;
}

// A line (with its line end) as a header block sees it, from one pass over its name and without
// copying: the split TEmailParser::ParseHeaderLine makes (printable bytes up to the first colon,
// then a space), and whether the line may stand inside a block at all: a folded continuation, or
// a name and a colon whatever follows ("Name:" with an empty or tabbed value too).
struct TLineShape {
    bool BlockLine = false;
    bool HeaderLine = false;
    std::string_view Name;  // for every named block line
    std::string_view Value; // from the space after the colon to the line end
};

// Number of name bytes at the start of Bytes. Lines of base64 or of long words are name bytes
// from end to end, so they are read eight bytes at a time; the word that holds the first other
// byte is settled byte by byte.
std::size_t NameLength(std::string_view Bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(Bytes.data());
    const std::size_t n = Bytes.size();
    std::size_t i = 0;
    constexpr std::uint64_t Ones = 0x0101010101010101ull, Highs = 0x8080808080808080ull;
    while (i + 8 <= n) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        // Some byte below 0x21, some from 0x7F up, some colon: each test may also flag a byte
        // after a flagged one, never miss one.
        const std::uint64_t low = (w - 0x21 * Ones) & ~w & Highs;
        const std::uint64_t high = ((w + Ones) | w) & Highs;
        const std::uint64_t colon = ((w ^ (0x3A * Ones)) - Ones) & ~(w ^ (0x3A * Ones)) & Highs;
        if ((low | high | colon) != 0) break;
        i += 8;
    }
    while (i < n && IsNameByte(p[i]))
        ++i;
    return i;
}

TLineShape Shape(std::string_view Line) {
    TLineShape shape;
    const auto first = static_cast<unsigned char>(Line[0]);
    if (first == ' ' || first == '\t') {
        shape.BlockLine = true;
        return shape;
    }
    const std::size_t i = NameLength(Line);
    if (i == 0 || i >= Line.size() || Line[i] != ':') return shape;
    shape.BlockLine = true;
    shape.Name = Line.substr(0, i);
    if (i + 1 < Line.size() && Line[i + 1] == ' ') {
        shape.HeaderLine = true;
        const std::size_t end = Line.size() - EndLength(Line);
        if (end >= i + 1) shape.Value = Line.substr(i + 1, end - i - 1);
    }
    return shape;
}

bool IsKnownName(std::string_view Name) {
    return KnownHeaderIndex(Name) >= 0;
}

// What a block line tells about the block it stands in.
enum TLineFlag : unsigned {
    FieldLine = 1,  // a named field (not a continuation)
    KnownLine = 2,  // a header line of a known name
    AnchorLine = 4, // From with an address, Date with a figure or Message-ID with an @
    HttpLine = 8,   // a field only HTTP traffic carries
    MailLine = 16,  // a field only mail carries
    FormLine = 32,  // Content-Disposition: form-data, a web form's upload
    CasedLine = 64, // a name with an upper-case letter (config keys are lower case)
};
constexpr unsigned FlagCount = 7;

// The names a block's lines are judged by, with the kinds they make a line of. Known ones are
// TEmailParser's, matched as it matches them (any ASCII case).
enum TNameRole : unsigned { Plain = 0, Known = 1, Anchor = 2 };
struct TNameInfo {
    std::string_view Name;
    unsigned Flags; // HttpLine or MailLine
    unsigned Role;
};
constexpr std::array<TNameInfo, 40> NameInfos = {{
    {"Host"sv, HttpLine, Plain},          {"User-Agent"sv, HttpLine, Plain},
    {"Server"sv, HttpLine, Plain},        {"Set-Cookie"sv, HttpLine, Plain},
    {"Cookie"sv, HttpLine, Plain},        {"Cache-Control"sv, HttpLine, Plain},
    {"Content-Length"sv, HttpLine, Plain}, {"Accept"sv, HttpLine, Plain},
    {"Accept-Encoding"sv, HttpLine, Plain}, {"Accept-Language"sv, HttpLine, Plain},
    {"Connection"sv, HttpLine, Plain},    {"Transfer-Encoding"sv, HttpLine, Plain},
    {"Location"sv, HttpLine, Plain},      {"ETag"sv, HttpLine, Plain},
    {"Last-Modified"sv, HttpLine, Plain}, {"Expires"sv, HttpLine, Plain},
    {"Vary"sv, HttpLine, Plain},          {"Pragma"sv, HttpLine, Plain},
    {"Referer"sv, HttpLine, Plain},       {"Authorization"sv, HttpLine, Plain},
    {"Keep-Alive"sv, HttpLine, Plain},    {"Upgrade-Insecure-Requests"sv, HttpLine, Plain},
    {"To"sv, MailLine, Known},            {"Cc"sv, MailLine, Plain},
    {"Bcc"sv, MailLine, Plain},           {"Subject"sv, MailLine, Known},
    {"Message-ID"sv, MailLine, Known | Anchor}, {"Received"sv, MailLine, Known},
    {"Return-Path"sv, MailLine, Known},   {"Reply-To"sv, MailLine, Known},
    {"In-Reply-To"sv, MailLine, Plain},   {"References"sv, MailLine, Plain},
    {"MIME-Version"sv, MailLine, Plain},  {"Delivered-To"sv, MailLine, Plain},
    {"Envelope-To"sv, MailLine, Known},   {"Delivery-Date"sv, MailLine, Known},
    {"X-Mailer"sv, MailLine, Plain},      {"Sender"sv, MailLine, Plain},
    {"From"sv, 0, Known | Anchor},        {"Date"sv, 0, Known | Anchor},
}};
constexpr std::size_t LongestName = 32;

// The table's entries by name length and first letter (folded), so that a line's name is
// compared with one or two at most. Built at compile time: nothing to look up or guard per line.
struct TNameSlot {
    std::array<std::uint8_t, 4> Index{};
    std::uint8_t Count = 0;
};
constexpr std::size_t Letters = 32; // a name's first byte, folded, modulo 32

constexpr unsigned char FoldedSlot(unsigned char First) {
    return static_cast<unsigned char>((First >= 'A' && First <= 'Z' ? First + 32 : First) % Letters);
}

constexpr std::array<std::array<TNameSlot, Letters>, LongestName> MakeNameSlots() {
    std::array<std::array<TNameSlot, Letters>, LongestName> t{};
    for (std::size_t i = 0; i < NameInfos.size(); ++i) {
        TNameSlot& slot = t[NameInfos[i].Name.size()][FoldedSlot(
            static_cast<unsigned char>(NameInfos[i].Name[0]))];
        slot.Index[slot.Count++] = static_cast<std::uint8_t>(i);
    }
    return t;
}
constexpr std::array<std::array<TNameSlot, Letters>, LongestName> NameSlots = MakeNameSlots();

unsigned LineFlags(const TLineShape& Shape) {
    if (Shape.Name.empty()) return 0;
    unsigned flags = FieldLine;
    const std::string_view name = Shape.Name, value = Shape.Value;
    if (name.size() < LongestName) {
        const TNameSlot& slot =
            NameSlots[name.size()][FoldedSlot(static_cast<unsigned char>(name[0]))];
        for (std::size_t k = 0; k < slot.Count; ++k) {
            const TNameInfo* info = &NameInfos[slot.Index[k]];
            if (!EqualsNoCase(name, info->Name)) continue;
            flags |= info->Flags;
            if ((info->Role & Known) != 0 && Shape.HeaderLine) {
                flags |= KnownLine;
                // From with an address, Message-ID with an @, Date with a figure.
                const bool anchor =
                    (info->Role & Anchor) != 0 &&
                    (name.size() == 4 && Lower(static_cast<unsigned char>(name[0])) == 'd'
                         ? value.find_first_of("0123456789"sv) != std::string_view::npos
                         : value.find('@') != std::string_view::npos);
                if (anchor) flags |= AnchorLine;
            }
            break;
        }
    }
    // The disposition's name may be cut off by a sector start; its value tells.
    std::string_view disposition = value;
    while (!disposition.empty() && disposition[0] == ' ')
        disposition.remove_prefix(1);
    if (!disposition.empty() && Lower(static_cast<unsigned char>(disposition[0])) == 'f' &&
        EqualsNoCase(disposition.substr(0, 9), "form-data"sv))
        flags |= FormLine;
    for (const char c : name)
        if (c >= 'A' && c <= 'Z') {
            flags |= CasedLine;
            break;
        }
    return flags;
}

// Lines of each kind in a block.
struct TLineCounts {
    std::array<unsigned, FlagCount> Count{};
    void Add(unsigned Flags) {
        for (unsigned f = Flags; f != 0; f &= f - 1)
            ++Count[static_cast<unsigned>(__builtin_ctz(f))];
    }
    unsigned Of(TLineFlag Flag) const { return Count[static_cast<unsigned>(__builtin_ctz(Flag))]; }
};

// Whether a closed block is a message's header block: three known header lines, or (where Short
// blocks may start one) a block whose every line is a field or a continuation, holding From, Date
// or Message-ID and one other field. Never web traffic, a form upload or a config file's
// lower-case keys.
bool LookAlike(const TLineCounts& Lines) {
    return Lines.Of(FormLine) > 0 || (Lines.Of(HttpLine) > 0 && Lines.Of(MailLine) == 0) ||
           Lines.Of(CasedLine) == 0;
}

bool MailBlock(const TLineCounts& Lines, bool Short) {
    if (LookAlike(Lines)) return false;
    if (Lines.Of(KnownLine) >= 3) return true;
    return Short && Lines.Of(AnchorLine) >= 1 && Lines.Of(FieldLine) >= 2;
}

// "GET /path HTTP/1.1" or "HTTP/1.1 200 OK": the first line of web traffic, whose fields follow.
bool IsHttpStartLine(std::string_view Line) {
    if (Line.substr(0, 5) == "HTTP/"sv) return true;
    std::size_t i = 0;
    while (i < Line.size() && Line[i] >= 'A' && Line[i] <= 'Z')
        ++i;
    if (i < 3 || i > 7 || i >= Line.size() || Line[i] != ' ') return false;
    const std::size_t target = Line.find(' ', i + 1);
    return target != std::string_view::npos && Line.substr(target + 1, 5) == "HTTP/"sv;
}

// "From <address> <weekday> <month> <day> <hh:mm[:ss]> [<zone>] <year> ...": an mbox separator.
bool IsSeparatorLine(std::string_view Line) {
    if (Line.size() < 5 || std::memcmp(Line.data(), "From ", 5) != 0) return false;
    std::array<std::string_view, 7> word{};
    std::size_t count = 0, i = 5;
    const std::size_t end = Line.size() - EndLength(Line);
    while (count < word.size() && i < end) {
        if (Line[i] == ' ' || Line[i] == '\t') {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < end && Line[j] != ' ' && Line[j] != '\t')
            ++j;
        word[count++] = Line.substr(i, j - i);
        i = j;
    }
    if (count < 6) return false;
    constexpr std::array<std::string_view, 7> Days = {"Mon"sv, "Tue"sv, "Wed"sv, "Thu"sv,
                                                      "Fri"sv, "Sat"sv, "Sun"sv};
    constexpr std::array<std::string_view, 12> Months = {"Jan"sv, "Feb"sv, "Mar"sv, "Apr"sv,
                                                         "May"sv, "Jun"sv, "Jul"sv, "Aug"sv,
                                                         "Sep"sv, "Oct"sv, "Nov"sv, "Dec"sv};
    auto digits = [](std::string_view W, std::size_t Min, std::size_t Max) {
        if (W.size() < Min || W.size() > Max) return false;
        for (const char c : W)
            if (c < '0' || c > '9') return false;
        return true;
    };
    auto clock = [&digits](std::string_view W) {
        return (W.size() == 5 || W.size() == 8) && digits(W.substr(0, 2), 2, 2) && W[2] == ':' &&
               digits(W.substr(3, 2), 2, 2) && (W.size() == 5 || (W[5] == ':' && digits(W.substr(6), 2, 2)));
    };
    if (std::find(Days.begin(), Days.end(), word[1]) == Days.end()) return false;
    if (std::find(Months.begin(), Months.end(), word[2]) == Months.end()) return false;
    if (!digits(word[3], 1, 2) || !clock(word[4])) return false;
    return digits(word[5], 4, 4) || (count >= 7 && digits(word[6], 4, 4));
}

struct TBlock {
    bool Whole = false;     // closes within reach and is a message's header block
    bool PastReach = false; // every line within reach may stand in a block, but none closes it
    std::size_t End = 0;    // 0-based offset just past the last line looked at
};

// Looks at the header block whose first line (a header line) starts at Start; its lines end as
// the first one does. Stops at the empty line that closes it, at the first line that cannot
// stand in a block, at the end of the text or once past the reach, so it reads each block once.
// Short blocks count where no message is open: inside a body, a digest's entries ("Message: 2",
// Date, From) are text of the message.
TBlock ExamineBlock(std::string_view Text, std::size_t Start, bool Short) {
    TBlock block;
    TLineCounts lines;
    std::size_t p = Start;
    TEnds ends = TEnds::Lf;
    while (p - Start < TDeepEmailParser::HeaderReach) {
        const std::size_t next = NextLine(Text, p, ends, false);
        if (next == 0) break;
        const std::string_view line = Text.substr(p, next - p);
        if (p == Start) ends = EndsOf(line);
        block.End = next;
        if (IsEmptyLine(line)) {
            block.Whole = MailBlock(lines, Short) && next - Start <= TDeepEmailParser::HeaderReach;
            block.PastReach = next - Start > TDeepEmailParser::HeaderReach;
            return block;
        }
        const TLineShape shape = Shape(line);
        if (!shape.BlockLine) return block;
        lines.Add(LineFlags(shape));
        p = next;
    }
    block.PastReach = p - Start >= TDeepEmailParser::HeaderReach;
    return block;
}

// The parts of a message that hold other messages: the multipart bodies whose closing delimiter
// has not come yet, and a message/rfc822 part whose header block is still to come.
class TEnclosures {
  public:
    // Keeps the storage, so that a scan cutting one message after another allocates nothing here.
    void Clear() {
        FBoundaryBytes.clear();
        FBoundaryEnds.clear();
        FEmbedded = false;
        FField.clear();
        FCollecting = false;
    }
    // While one is open, a header block in the body belongs to the message.
    bool Open() const { return !FBoundaryEnds.empty() || FEmbedded; }
    // A header block of the body begins: the embedded message's, when one was announced.
    void BlockBegins() { FEmbedded = false; }

    // Every line of the message: Content-Type fields (folded ones too) of the message and of its
    // parts open enclosures, closing delimiters close them.
    void Line(std::string_view Line, const TLineShape& Shape) {
        const bool continuation = Line[0] == ' ' || Line[0] == '\t';
        if (FCollecting && continuation && !IsEmptyLine(Line)) {
            if (FField.size() < 4096) FField.append(Line.substr(0, Line.size() - EndLength(Line)));
            return;
        }
        if (FCollecting) Take();
        if (!Shape.Name.empty() && EqualsNoCase(Shape.Name, "Content-Type"sv)) {
            FCollecting = true;
            FField.assign(Line.substr(Shape.Name.size() + 1,
                                      Line.size() - EndLength(Line) - Shape.Name.size() - 1));
            return;
        }
        if (!FBoundaryEnds.empty() && Line.size() > 4 && Line[0] == '-' && Line[1] == '-') {
            std::string_view closing = Line.substr(2, Line.size() - 2 - EndLength(Line));
            while (!closing.empty() && (closing.back() == ' ' || closing.back() == '\t'))
                closing.remove_suffix(1);
            if (closing.size() < 2 || closing.substr(closing.size() - 2) != "--"sv) return;
            closing.remove_suffix(2);
            for (std::size_t i = FBoundaryEnds.size(); i-- > 0;)
                if (Boundary(i) == closing) {
                    FBoundaryBytes.resize(BoundaryStart(i));
                    FBoundaryEnds.resize(i);
                    break;
                }
        }
    }
    // The header block closed: its Content-Type field is complete.
    void HeaderEnds() {
        if (FCollecting) Take();
    }

  private:
    void Take() {
        FCollecting = false;
        const std::size_t at = FindNoCase(FField, "boundary="sv);
        if (at != std::string_view::npos) {
            std::string_view rest = std::string_view(FField).substr(at + 9);
            std::size_t length = 0;
            if (!rest.empty() && rest[0] == '"') {
                rest.remove_prefix(1);
                length = rest.find('"');
                if (length == std::string_view::npos) length = 0;
            } else {
                while (length < rest.size() && rest[length] != ';' && rest[length] != ' ' &&
                       rest[length] != '\t' && rest[length] != '\r' && rest[length] != '\n')
                    ++length;
            }
            if (length > 0 && FBoundaryEnds.size() < 64) {
                FBoundaryBytes.append(rest.substr(0, length));
                FBoundaryEnds.push_back(FBoundaryBytes.size());
            }
        } else if (FindNoCase(FField, "message/rfc822"sv) != std::string_view::npos) {
            FEmbedded = true;
        }
        FField.clear();
    }

    std::size_t BoundaryStart(std::size_t I) const { return I == 0 ? 0 : FBoundaryEnds[I - 1]; }
    std::string_view Boundary(std::size_t I) const {
        return std::string_view(FBoundaryBytes)
            .substr(BoundaryStart(I), FBoundaryEnds[I] - BoundaryStart(I));
    }

    // The open multiparts' boundaries, innermost last, one after another in one string.
    std::string FBoundaryBytes;
    std::vector<std::size_t> FBoundaryEnds;
    bool FEmbedded = false;
    bool FCollecting = false;
    std::string FField;
};

} // namespace

TDeepEmailParser::TDeepEmailParser(ScanHost& Host) : FHost(&Host) {}

bool TDeepEmailParser::IsTextByte(unsigned char b) {
    return TextBytes[b];
}

std::size_t TDeepEmailParser::TextRunLength(std::string_view Bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(Bytes.data());
    const std::size_t n = Bytes.size();
    std::size_t i = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time, each classed exactly: no text are the bytes below 0x20 but for tab,
    // LF, VT, form feed, CR (0x09 to 0x0D) and escape, and DEL. Line ends cost nothing extra.
    const __m128i space = _mm_set1_epi8(0x20), minusOne = _mm_set1_epi8(-1);
    const __m128i tab = _mm_set1_epi8(0x08), cr = _mm_set1_epi8(0x0E);
    const __m128i escape = _mm_set1_epi8(0x1B), del = _mm_set1_epi8(0x7F);
    while (i + 16 <= n) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        // Signed compares: the bytes from 0x80 up are negative, and text.
        const __m128i control = _mm_and_si128(_mm_cmplt_epi8(v, space), _mm_cmpgt_epi8(v, minusOne));
        const __m128i allowed = _mm_or_si128(
            _mm_and_si128(_mm_cmpgt_epi8(v, tab), _mm_cmplt_epi8(v, cr)), _mm_cmpeq_epi8(v, escape));
        const __m128i stop = _mm_or_si128(_mm_andnot_si128(allowed, control), _mm_cmpeq_epi8(v, del));
        const int mask = _mm_movemask_epi8(stop);
        if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        i += 16;
    }
#endif
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

bool TDeepEmailParser::OpensSeparator(std::string_view Sector) {
    return Sector.size() >= 5 && std::memcmp(Sector.data(), "From ", 5) == 0;
}

std::size_t TDeepEmailParser::HeaderBlockLength(std::string_view View,
                                                std::uint32_t SectorSize) const {
    const std::string_view sector = View.substr(0, SectorSize);
    if (OpensSeparator(sector)) {
        // An mbox separator, then the header block of the message it introduces.
        const std::size_t end = NextLine(sector, 0, TEnds::Lf, false);
        if (end == 0 || !IsSeparatorLine(sector.substr(0, end))) return 0;
        const std::size_t first = NextLine(View, end, TEnds::Lf, false);
        if (first == 0 || !Shape(View.substr(end, first - end)).HeaderLine) return 0;
        const TBlock block = ExamineBlock(View.substr(0, end + HeaderReach), end, true);
        return block.Whole ? block.End : 0;
    }
    if (!OpensHeaderLine(sector)) return 0;
    // Line 0 ends inside the first sector, and is a header line.
    const std::size_t end = NextLine(sector, 0, TEnds::Lf, false);
    if (end == 0) return 0;
    if (!Shape(View.substr(0, end)).HeaderLine) return 0;
    const TBlock block = ExamineBlock(View.substr(0, HeaderReach), 0, true);
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
    TCutList cuts;
    ExtractCuts(Text, cuts, OpensWithWholeBlock);
    CutsToEmails(Text, cuts, Result, Starts);
}

void TDeepEmailParser::ExtractCuts(std::string_view Text, TCutList& Result,
                                   bool OpensWithWholeBlock) const {
    constexpr std::size_t None = std::string_view::npos;
    TMessageCutter cut(Text, *FHost, Result);
    // Outside a message every LF ends a line; inside one, its own line ends do.
    TEnds ends = TEnds::Lf;
    bool inQuote = false, quoteHasLines = false;
    // Whether the previous line belongs to a run of header-like lines begun by a header line; a
    // block can begin only where such a run begins.
    bool inGroup = false;
    bool afterSeparator = false;       // the open message came after an mbox separator
    std::size_t separated = None;      // where the message after a separator starts
    std::size_t bodyStart = None;      // the open message's empty line after its header
    std::size_t trailingEmpty = None;  // the previous line, when an empty line of the body
    std::string_view lastOther;        // the last line that could stand in no block
    // One per thread, reused: a run of one message is the common case on a mail-dense drive. A
    // cut started from inside a keep-alive call while one is under way gets its own.
    thread_local TEnclosures reused;
    thread_local bool reusedBusy = false;
    std::optional<TEnclosures> own;
    TEnclosures& enclosures = reusedBusy ? own.emplace() : reused;
    struct TRelease {
        bool* Busy;
        ~TRelease() {
            if (Busy != nullptr) *Busy = false;
        }
    } release{&enclosures == &reused ? &reusedBusy : nullptr};
    reusedBusy = true;
    enclosures.Clear();
    auto store = [&cut](const TLineShape& Shape) {
        if (Shape.HeaderLine) {
            const int known = KnownHeaderIndex(Shape.Name);
            if (known >= 0) cut.Store(known, Shape.Value);
        }
    };
    auto start = [&](std::size_t At, std::string_view Line, const TLineShape& Shape) {
        cut.Start(At);
        store(Shape);
        ends = EndsOf(Line);
        enclosures.Clear();
        enclosures.Line(Line, Shape);
        inQuote = quoteHasLines = false;
        bodyStart = trailingEmpty = None;
    };
    cut.EachLineBy(
        [&](std::size_t p) { return NextLine(Text, p, ends, cut.InMessage()); },
        [&](std::string_view line, std::size_t p) {
            const bool empty = IsEmptyLine(line);
            if (cut.InHeader()) {
                // The header block runs to its empty line.
                if (empty) {
                    cut.OpenBody(p);
                    enclosures.HeaderEnds();
                    bodyStart = p;
                    inGroup = false;
                } else {
                    const TLineShape shape = Shape(line);
                    store(shape);
                    enclosures.Line(line, shape);
                }
                return;
            }
            if (p == separated) {
                // The message after an mbox separator starts on its next line, a header line.
                separated = None;
                const TLineShape shape = Shape(line);
                start(p, line, shape);
                afterSeparator = true;
                inGroup = true;
                return;
            }
            if (line[0] == 'F' && IsSeparatorLine(line)) {
                const std::size_t first = p + line.size();
                const std::size_t firstEnd = NextLine(Text, first, TEnds::Lf, false);
                if (firstEnd != 0 && Shape(Text.substr(first, firstEnd - first)).HeaderLine) {
                    // The message before ends; the empty line before the separator is the
                    // separator's. Whatever is open in it ends there too.
                    cut.Close(trailingEmpty != None ? trailingEmpty : p);
                    afterSeparator = false;
                    separated = first;
                    ends = TEnds::Lf;
                    inGroup = false;
                    trailingEmpty = None;
                    return;
                }
            }
            const bool inBody = cut.InMessage();
            trailingEmpty = inBody && empty && p > bodyStart ? p : None;
            const TLineShape shape = empty ? TLineShape{} : Shape(line);
            if (inBody) enclosures.Line(line, shape);
            if (empty) {
                inGroup = false;
                if (inQuote && quoteHasLines) inQuote = false;
            } else if (!shape.BlockLine) {
                inGroup = false;
                lastOther = line;
                if (inQuote) quoteHasLines = true;
                if (IsQuoteMarker(line)) {
                    inQuote = true;
                    quoteHasLines = false;
                }
            } else if (inGroup) {
                if (inQuote) quoteHasLines = true;
            } else {
                // A header-like line after a line that was none: a block may begin here, unless
                // the message around it holds it (a multipart body, an attached message) or it
                // follows web traffic's request or status line. A block too long to be judged
                // within reach is cut as the standard rule cuts: from a known header line on.
                inGroup = shape.HeaderLine;
                bool starts = false;
                const bool enclosed = inBody && enclosures.Open();
                if (inGroup && inBody) enclosures.BlockBegins();
                const bool afterHttp = !lastOther.empty() &&
                                       lastOther.data() + lastOther.size() == line.data() &&
                                       IsHttpStartLine(lastOther);
                if (inGroup && !inQuote && !enclosed && !afterHttp) {
                    if (p == 0 && OpensWithWholeBlock) {
                        starts = true;
                    } else {
                        const TBlock block = ExamineBlock(Text, p, !inBody);
                        starts = block.Whole || (block.PastReach && IsKnownName(shape.Name));
                    }
                }
                if (starts) {
                    start(p, line, shape);
                    afterSeparator = false;
                } else if (inQuote) {
                    quoteHasLines = true;
                }
            }
        });
    // The empty line an mbox writes after each message, after its last one too, is no part of it.
    if (afterSeparator && trailingEmpty != None) cut.CutBack(trailingEmpty);
}

TDeepBlockWalker::TStart TDeepBlockWalker::Examine(std::uint64_t Offset, std::string_view Sector) {
    TStart start;
    // Line 0 as HeaderBlockLength takes it: a header line ending inside the sector.
    if (!TDeepEmailParser::OpensHeaderLine(Sector)) return start;
    const std::size_t end0 = NextLine(Sector, 0, TEnds::Lf, false);
    if (end0 == 0) return start;
    const std::string_view line0 = Sector.substr(0, end0);
    const TLineShape shape0 = Shape(line0);
    if (!shape0.HeaderLine) return start;
    // The sector's bytes are not to be used once more are fetched.
    const unsigned flags0 = LineFlags(shape0);
    const bool crlf = EndsOf(line0) == TEnds::CrLf;
    const std::size_t text0 = TDeepEmailParser::TextRunLength(line0);
    const bool text0Whole = text0 == line0.size();

    // The lines after line 0 are the remembered ones from their start on, whatever sector asked
    // before, when they end the same way: under CR LF a line ends at the first CR LF after any
    // byte of it, under LF at the first LF.
    const std::uint64_t next = Offset + end0;
    if (!FValid || Offset < FLastOffset || next < FFrom || next > FTo || crlf != FCrLf) {
        FFrom = FTo = FSearched = next;
        FStop = TStop::Open;
        FLines.clear();
        FCounts.fill(0);
        FBad.clear();
        FValid = true;
        FCrLf = crlf;
    }
    FLastOffset = Offset;
    FFrom = next;
    while (!FLines.empty() && FLines.front().first < next) {
        for (unsigned f = FLines.front().second; f != 0; f &= f - 1)
            --FCounts[static_cast<unsigned>(__builtin_ctz(f))];
        FLines.pop_front();
    }
    while (!FBad.empty() && FBad.front() < next)
        FBad.pop_front();

    // Lines are taken while they end within reach of this sector, over pieces that grow, so that
    // a block that stops soon costs little to fetch.
    const TEnds ends = crlf ? TEnds::CrLf : TEnds::Lf;
    const std::uint64_t limit = Offset + TDeepEmailParser::HeaderReach;
    for (std::uint64_t piece = 1024; FStop == TStop::Open && FTo < limit; piece *= 2) {
        const std::uint64_t base = FTo;
        const std::uint64_t want = std::min(limit - base, FSearched - base + piece);
        const std::string_view rest = FFetch(base, static_cast<std::uint32_t>(want));
        std::size_t at = 0;
        // No line ends before FSearched; under CR LF the CR of one may stand just before it.
        std::size_t from = static_cast<std::size_t>(FSearched - base);
        if (crlf && from > 0) --from;
        for (;;) {
            const std::size_t end = NextLine(rest, std::max(at, from), ends, false);
            if (end == 0) {
                FSearched = base + want; // no line ends before here
                break;
            }
            const std::string_view line = rest.substr(at, end - at);
            if (IsEmptyLine(line)) {
                FStop = TStop::Empty;
                FClose = base + end;
                break;
            }
            const TLineShape shape = Shape(line);
            if (!shape.BlockLine) {
                FStop = TStop::Broken;
                break;
            }
            // Continuations count for nothing and are not remembered.
            if (const unsigned flags = LineFlags(shape); flags != 0) {
                FLines.emplace_back(base + at, flags);
                for (unsigned f = flags; f != 0; f &= f - 1)
                    ++FCounts[static_cast<unsigned>(__builtin_ctz(f))];
            }
            if (const std::size_t text = TDeepEmailParser::TextRunLength(line); text < line.size())
                FBad.push_back(base + at + text);
            at = end;
            from = at;
            FTo = FSearched = base + at;
        }
        if (base + want == limit) break;
    }
    if (FStop != TStop::Empty || FClose > limit) return start;
    TLineCounts lines;
    lines.Count = FCounts;
    lines.Add(flags0);
    if (!MailBlock(lines, true)) {
        start.LookAlike = LookAlike(lines);
        return start;
    }
    start.Block = static_cast<std::size_t>(FClose - Offset);
    if (!text0Whole)
        start.Text = text0;
    else
        start.Text = FBad.empty() ? start.Block : static_cast<std::size_t>(FBad.front() - Offset);
    return start;
}
