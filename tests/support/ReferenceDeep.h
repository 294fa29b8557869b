#pragma once

// The deep rule as it stood before its lines were found in bulk: line by line, one search per line
// end, every test asked of every line afresh. Kept for tests and fuzz targets to check the engine's
// faster form against, answer for answer. It shares with the engine only what both take as given:
// the cutting skeleton, the MIME nesting, the block verdicts (LineFlags, MailBlock, LookAlike) and
// the known names; everything the faster form reworks is restated here as it was.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/CarvingRule.h"
#include "engine/CarvingSkeleton.h"
#include "engine/HeaderBlock.h"
#include "engine/HeaderNames.h"
#include "engine/LineShape.h"
#include "engine/MimeNesting.h"
#include "engine/ScanHost.h"

namespace RefDeep {

inline bool IsTextByte(unsigned char b) {
    return (b >= 0x20 && b <= 0x7E) || b >= 0x80 || (b >= 0x09 && b <= 0x0D) || b == 0x1B;
}

inline std::size_t TextRunLength(std::string_view Bytes) {
    std::size_t i = 0;
    while (i < Bytes.size() && IsTextByte(static_cast<unsigned char>(Bytes[i])))
        ++i;
    return i;
}

inline std::size_t PlainNextLine(std::string_view Text, std::size_t p, TEnds Ends, bool MboxAware) {
    const std::size_t n = Text.size();
    if (MboxAware && Ends == TEnds::CrLf && n - p > 5 && Text.compare(p, 5, "From ") == 0)
        Ends = TEnds::Lf;
    std::size_t from = p;
    while (from < n) {
        const std::size_t lf = Text.find('\n', from);
        if (lf == std::string_view::npos) return 0;
        if (Ends == TEnds::Lf || (lf > p && Text[lf - 1] == '\r')) return lf + 1;
        if (MboxAware && n - lf > 5 && Text.compare(lf + 1, 5, "From ") == 0) return lf + 1;
        from = lf + 1;
    }
    return 0;
}

inline TLineShape ShapeOf(std::string_view Line) {
    TLineShape shape;
    if (Line[0] == ' ' || Line[0] == '\t') {
        shape.BlockLine = true;
        return shape;
    }
    std::size_t i = 0;
    while (i < Line.size() && IsNameByte(static_cast<unsigned char>(Line[i])))
        ++i;
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

// An mbox separator line, split into its words plainly.
inline bool IsSeparatorLine(std::string_view Line) {
    if (Line.substr(0, 5) != "From ") return false;
    const std::size_t end = Line.size() - EndLength(Line);
    std::vector<std::string_view> word;
    for (std::size_t i = 5; i < end && word.size() < 7;) {
        const std::size_t j = Line.find_first_of(" \t", i);
        const std::size_t stop = j == std::string_view::npos || j > end ? end : j;
        if (stop > i) word.push_back(Line.substr(i, stop - i));
        i = stop + 1;
    }
    const auto digits = [](std::string_view W, std::size_t Min, std::size_t Max) {
        return W.size() >= Min && W.size() <= Max &&
               std::all_of(W.begin(), W.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    const auto clock = [&](std::string_view W) {
        return (W.size() == 5 || W.size() == 8) && digits(W.substr(0, 2), 2, 2) && W[2] == ':' &&
               digits(W.substr(3, 2), 2, 2) &&
               (W.size() == 5 || (W[5] == ':' && digits(W.substr(6), 2, 2)));
    };
    const std::string_view days = "Mon Tue Wed Thu Fri Sat Sun",
                           months = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec";
    const auto named = [](std::string_view W, std::string_view Names) {
        return W.size() == 3 && Names.find(W) != std::string_view::npos && Names.find(W) % 4 == 0;
    };
    return word.size() >= 6 && named(word[1], days) && named(word[2], months) &&
           digits(word[3], 1, 2) && clock(word[4]) &&
           (digits(word[5], 4, 4) || (word.size() >= 7 && digits(word[6], 4, 4)));
}

inline constexpr std::array<std::string_view, 8> QuoteMarkers = {
    "----- Original Message -----",
    "-----Original Message-----",
    "-------- Original Message --------",
    "Begin forwarded message:",
    "---------- Forwarded message ---------",
    "-------- Forwarded Message --------",
    "This is a copy of the message, including all the headers.",
    "Below this line is a copy of the message."};

inline bool IsQuoteMarker(std::string_view Line) {
    for (const std::string_view m : QuoteMarkers)
        if (Line.find(m) != std::string_view::npos) return true;
    return false;
}

inline TBlock ExamineBlock(std::string_view Text, std::size_t Start, bool Short) {
    TBlock block;
    TLineCounts lines;
    std::size_t p = Start;
    TEnds ends = TEnds::Lf;
    while (p - Start < HeaderReach) {
        const std::size_t next = PlainNextLine(Text, p, ends, false);
        if (next == 0) break;
        const std::string_view line = Text.substr(p, next - p);
        if (p == Start) ends = EndsOf(line);
        block.End = next;
        if (IsEmptyLine(line)) {
            block.Whole = MailBlock(lines, Short) && next - Start <= HeaderReach;
            block.PastReach = next - Start > HeaderReach;
            return block;
        }
        const TLineShape shape = ShapeOf(line);
        if (!shape.BlockLine) return block;
        lines.Add(LineFlags(shape));
        p = next;
    }
    block.PastReach = p - Start >= HeaderReach;
    return block;
}

inline bool OpensHeaderLine(std::string_view Sector) {
    std::size_t i = 0;
    while (i < Sector.size() && IsNameByte(static_cast<unsigned char>(Sector[i])))
        ++i;
    return i > 0 && i + 1 < Sector.size() && Sector[i] == ':' && Sector[i + 1] == ' ';
}

inline std::size_t HeaderBlockLength(std::string_view View, std::uint32_t SectorSize) {
    const std::string_view sector = View.substr(0, SectorSize);
    if (sector.substr(0, 5) == "From ") {
        const std::size_t end = PlainNextLine(sector, 0, TEnds::Lf, false);
        if (end == 0 || !IsSeparatorLine(sector.substr(0, end))) return 0;
        const std::size_t first = PlainNextLine(View, end, TEnds::Lf, false);
        if (first == 0 || !ShapeOf(View.substr(end, first - end)).HeaderLine) return 0;
        const TBlock block = ExamineBlock(View.substr(0, end + HeaderReach), end, true);
        return block.Whole ? block.End : 0;
    }
    if (!OpensHeaderLine(sector)) return 0;
    const std::size_t end = PlainNextLine(sector, 0, TEnds::Lf, false);
    if (end == 0) return 0;
    if (!ShapeOf(View.substr(0, end)).HeaderLine) return 0;
    const TBlock block = ExamineBlock(View.substr(0, HeaderReach), 0, true);
    return block.Whole ? block.End : 0;
}

inline bool IsMessageStart(std::string_view View, std::uint32_t SectorSize) {
    const std::size_t length = HeaderBlockLength(View, SectorSize);
    return length > 0 && TextRunLength(View.substr(0, length)) == length;
}

// The cut of one run, one method per line state.
class TCut {
  public:
    TCut(const TByteRun& Run, TScanHost& Host, TCutList& Found, bool OpensWithWholeBlock)
        : FText(Run.Bytes), FCut(Run, Host, Found), FOpensWithWholeBlock(OpensWithWholeBlock) {}

    void Walk() {
        FCut.EachLineBy(
            [this](std::size_t p) { return PlainNextLine(FText, p, FEnds, FCut.InMessage()); },
            [this](std::string_view line, std::size_t p) { Line(line, p); });
        if (FAfterSeparator && FTrailingEmpty != None) FCut.CutBack(FTrailingEmpty);
    }

  private:
    static constexpr std::size_t None = std::string_view::npos;

    void Line(std::string_view Line, std::size_t p) {
        const bool empty = IsEmptyLine(Line);
        if (FCut.InHeader())
            HeaderLine(Line, p, empty);
        else if (p == FSeparated)
            SeparatedLine(Line, p);
        else if (Line[0] != 'F' || !SeparatorLine(Line, p))
            BodyLine(Line, p, empty);
    }
    void HeaderLine(std::string_view Line, std::size_t p, bool Empty) {
        if (Empty) {
            FCut.OpenBody(p);
            FEnclosures.HeaderEnds();
            FBodyStart = p;
            FInGroup = false;
            return;
        }
        const TLineShape shape = ShapeOf(Line);
        Store(shape);
        FEnclosures.Line(Line, shape);
    }
    void SeparatedLine(std::string_view Line, std::size_t p) {
        FSeparated = None;
        Start(p, Line, ShapeOf(Line));
        FAfterSeparator = true;
        FInGroup = true;
    }
    bool SeparatorLine(std::string_view Line, std::size_t p) {
        if (!IsSeparatorLine(Line)) return false;
        const std::size_t first = p + Line.size();
        const std::size_t firstEnd = PlainNextLine(FText, first, TEnds::Lf, false);
        if (firstEnd == 0 || !ShapeOf(FText.substr(first, firstEnd - first)).HeaderLine)
            return false;
        FCut.Close(FTrailingEmpty != None ? FTrailingEmpty : p);
        FAfterSeparator = false;
        FSeparated = first;
        FEnds = TEnds::Lf;
        FInGroup = false;
        FTrailingEmpty = None;
        return true;
    }
    void BodyLine(std::string_view Line, std::size_t p, bool Empty) {
        const bool inBody = FCut.InMessage();
        FTrailingEmpty = inBody && Empty && p > FBodyStart ? p : None;
        const TLineShape shape = Empty ? TLineShape{} : ShapeOf(Line);
        if (inBody) FEnclosures.Line(Line, shape);
        if (Empty) {
            FInGroup = false;
            if (FInQuote && FQuoteHasLines) FInQuote = false;
        } else if (!shape.BlockLine) {
            FInGroup = false;
            FLastOther = Line;
            if (FInQuote) FQuoteHasLines = true;
            if (IsQuoteMarker(Line)) {
                FInQuote = true;
                FQuoteHasLines = false;
            }
        } else if (FInGroup) {
            if (FInQuote) FQuoteHasLines = true;
        } else {
            GroupBegins(Line, p, shape, inBody);
        }
    }
    void GroupBegins(std::string_view Line, std::size_t p, const TLineShape& Shape, bool InBody) {
        FInGroup = Shape.HeaderLine;
        bool starts = false;
        const bool enclosed = InBody && FEnclosures.Open();
        if (FInGroup && InBody) FEnclosures.BlockBegins();
        const bool afterHttp = !FLastOther.empty() &&
                               FLastOther.data() + FLastOther.size() == Line.data() &&
                               IsHttpStartLine(FLastOther);
        if (FInGroup && !FInQuote && !enclosed && !afterHttp) {
            if (p == 0 && FOpensWithWholeBlock) {
                starts = true;
            } else {
                const TBlock block = ExamineBlock(FText, p, !InBody);
                starts = block.Whole || (block.PastReach && KnownHeaderIndex(Shape.Name) >= 0);
            }
        }
        if (starts) {
            Start(p, Line, Shape);
            FAfterSeparator = false;
        } else if (FInQuote) {
            FQuoteHasLines = true;
        }
    }
    void Start(std::size_t At, std::string_view Line, const TLineShape& Shape) {
        FCut.Start(At);
        Store(Shape);
        FEnds = EndsOf(Line);
        FEnclosures.Clear();
        FEnclosures.Line(Line, Shape);
        FInQuote = FQuoteHasLines = false;
        FBodyStart = FTrailingEmpty = None;
    }
    void Store(const TLineShape& Shape) {
        if (!Shape.HeaderLine) return;
        const int known = KnownHeaderIndex(Shape.Name);
        if (known >= 0) FCut.Store(known, Shape.Value);
    }

    std::string_view FText;
    TMessageCutter FCut;
    TEnclosures FEnclosures;
    const bool FOpensWithWholeBlock;
    TEnds FEnds = TEnds::Lf;
    bool FInQuote = false, FQuoteHasLines = false, FInGroup = false, FAfterSeparator = false;
    std::size_t FSeparated = None, FBodyStart = None, FTrailingEmpty = None;
    std::string_view FLastOther;
};

inline void Cut(const TByteRun& Run, TCutList& Found, bool OpensWithWholeBlock,
                TScanHost& Host = NullScanHost()) {
    TCut(Run, Host, Found, OpensWithWholeBlock).Walk();
}

// What the deep rule's StartsAt answers for the sector at Offset of Image (zeros past its end),
// asked afresh: 0 no start, 1 the deep rule's, 2 the standard rule's (IsStandardStart decides
// that one over the two-sector window).
enum class TStartAnswer { None, Deep, Standard };
template <class TIsStandardStart>
TStartAnswer StartsAt(std::string_view Image, std::size_t Offset, std::uint32_t SectorSize,
                      TIsStandardStart&& IsStandardStart) {
    auto padded = [&](std::size_t Count) {
        std::string s(Image.substr(std::min(Offset, Image.size()), Count));
        s.resize(Count, '\0');
        return s;
    };
    const std::string view = padded(SectorSize + HeaderReach);
    const std::string_view sector = std::string_view(view).substr(0, SectorSize);
    if (sector.substr(0, 5) == "From ")
        return IsMessageStart(view, SectorSize) ? TStartAnswer::Deep : TStartAnswer::None;
    if (!OpensHeaderLine(sector)) return TStartAnswer::None;
    // The block as the start test sees it, and whether it only looks like mail.
    std::size_t block = 0;
    bool lookAlike = false;
    const std::size_t end0 = PlainNextLine(sector, 0, TEnds::Lf, false);
    if (end0 > 0 && ShapeOf(sector.substr(0, end0)).HeaderLine) {
        block = HeaderBlockLength(view, SectorSize);
        if (block == 0) {
            // A block closing within reach that is no mail block: a look-alike, maybe.
            std::string_view v = std::string_view(view).substr(0, HeaderReach);
            TLineCounts lines;
            std::size_t p = 0;
            const TEnds ends = EndsOf(sector.substr(0, end0));
            for (;;) {
                const std::size_t next = PlainNextLine(v, p, ends, false);
                if (next == 0) break;
                const std::string_view line = v.substr(p, next - p);
                if (IsEmptyLine(line)) {
                    lookAlike = !MailBlock(lines, true) && LookAlike(lines);
                    break;
                }
                const TLineShape shape = ShapeOf(line);
                if (!shape.BlockLine) break;
                lines.Add(LineFlags(shape));
                p = next;
            }
        }
    }
    if (block == 0 && lookAlike) return TStartAnswer::None;
    if (block > 0 && TextRunLength(std::string_view(view).substr(0, block)) == block)
        return TStartAnswer::Deep;
    const std::string window = padded(std::size_t{2} * SectorSize);
    return IsStandardStart(window) ? TStartAnswer::Standard : TStartAnswer::None;
}

} // namespace RefDeep
