#include "engine/DeepCut.h"

#include "engine/ClientFlags.h"
#include "engine/DeepRule.h"
#include "engine/HeaderBlock.h"
#include "engine/HeaderNames.h"

// The steps every line takes are made part of the walk: a call for each, and the state it saves
// and loads again, cost a tenth of the deep rule's time on a mail-dense drive.
#define PW_EVERY_LINE [[gnu::always_inline]] inline

void TDeepCut::Walk() {
    // Each line starts where the one before ended: the LFs are taken in order.
    TLineIndex::TLfCursor lfs = FIndex.LfCursor(0);
    FCut.EachLineBy(
        [this, &lfs](std::size_t p) {
            return FIndex.NextLine(lfs, p, FEnds, FCut.InMessage(), &FLoneLf);
        },
        [this](std::string_view line, std::size_t p) { Line(line, p); });
    // The empty line an mbox writes after each message, after its last one too, is no part of it.
    if (FAfterSeparator && FTrailingEmpty != None) FCut.CutBack(FTrailingEmpty);
}

PW_EVERY_LINE void TDeepCut::Line(std::string_view Line, std::size_t p) {
    const bool empty = IsEmptyLine(Line);
    if (FCut.InHeader())
        HeaderLine(Line, p, empty);
    else if (p == FSeparated)
        SeparatedLine(Line, p);
    else if (Line[0] != 'F' || !SeparatorLine(Line, p))
        BodyLine(Line, p, empty);
}

PW_EVERY_LINE void TDeepCut::HeaderLine(std::string_view Line, std::size_t p, bool Empty) {
    if (Empty) {
        FCut.OpenBody(p);
        // Every line of the block was named here, the lines split as the deleted marks' walk
        // splits them unless one ran past a lone LF: then the walk decides.
        if (!FNamesStatus && (FLoneLf == None || FLoneLf < FCut.MessageStart()))
            FCut.SettleClientDeleted(false);
        FEnclosures.HeaderEnds();
        FBodyStart = p;
        FInGroup = false;
        return;
    }
    const TLineShape shape = FIndex.ShapeAt<false>(p, Line);
    Store(Line, shape);
    FEnclosures.Line(Line, shape);
}

void TDeepCut::SeparatedLine(std::string_view Line, std::size_t p) {
    FSeparated = None;
    Start(p, Line, FIndex.ShapeAt<false>(p, Line));
    FAfterSeparator = true;
    FInGroup = true;
}

bool TDeepCut::SeparatorLine(std::string_view Line, std::size_t p) {
    if (!IsSeparatorLine(Line)) return false;
    const std::size_t first = p + Line.size();
    const std::size_t firstEnd = FIndex.NextLine(first, TEnds::Lf, false);
    if (firstEnd == 0 ||
        !FIndex.ShapeAt<false>(first, FText.substr(first, firstEnd - first)).HeaderLine)
        return false;
    // The message before ends; the empty line before the separator is the separator's. Whatever
    // is open in it ends there too.
    FCut.Close(FTrailingEmpty != None ? FTrailingEmpty : p);
    FAfterSeparator = false;
    FSeparated = first;
    FEnds = TEnds::Lf;
    FInGroup = false;
    FTrailingEmpty = None;
    return true;
}

PW_EVERY_LINE void TDeepCut::BodyLine(std::string_view Line, std::size_t p, bool Empty) {
    const bool inBody = FCut.InMessage();
    FTrailingEmpty = inBody && Empty && p > FBodyStart ? p : None;
    const TLineShape shape = Empty ? TLineShape{} : FIndex.ShapeAt<false>(p, Line);
    if (inBody) FEnclosures.Line(Line, shape);
    if (Empty) {
        FInGroup = false;
        if (FInQuote && FQuoteHasLines) FInQuote = false;
    } else if (!shape.BlockLine) {
        FInGroup = false;
        FLastOther = Line;
        if (FInQuote) FQuoteHasLines = true;
        if (TDeepRule::IsQuoteMarker(Line)) {
            FInQuote = true;
            FQuoteHasLines = false;
        }
    } else if (FInGroup) {
        if (FInQuote) FQuoteHasLines = true;
    } else {
        GroupBegins(Line, p, shape, inBody);
    }
}

PW_EVERY_LINE void TDeepCut::GroupBegins(std::string_view Line, std::size_t p,
                                         const TLineShape& Shape, bool InBody) {
    // A block may begin here, unless the message around it holds it (a multipart body, an attached
    // message) or a quote does. Most such lines are settled here, without a call.
    FInGroup = Shape.HeaderLine;
    const bool enclosed = InBody && FEnclosures.Open();
    if (FInGroup && InBody) FEnclosures.BlockBegins();
    if (FInGroup && !FInQuote && !enclosed)
        // A copy: the shape of every line stays in registers, out of reach of this call.
        MayBegin(Line, p, TLineShape(Shape), InBody);
    else if (FInQuote)
        FQuoteHasLines = true;
}

void TDeepCut::MayBegin(std::string_view Line, std::size_t p, const TLineShape& Shape,
                        bool InBody) {
    // Not after web traffic's request or status line. A block too long to be judged within reach
    // is cut as the standard rule cuts: from a known header line on.
    if (!FLastOther.empty() && FLastOther.data() + FLastOther.size() == Line.data() &&
        IsHttpStartLine(FLastOther))
        return;
    bool starts = p == 0 && FOpensWithWholeBlock;
    if (!starts) {
        const TBlock block = ExamineBlock(FIndex, p, !InBody);
        starts = block.Whole || (block.PastReach && KnownHeaderIndex(Shape.Name) >= 0);
    }
    if (starts) {
        Start(p, Line, Shape);
        FAfterSeparator = false;
    }
}

void TDeepCut::Start(std::size_t At, std::string_view Line, const TLineShape& Shape) {
    FCut.Start(At);
    FNamesStatus = false;
    Store(Line, Shape);
    FEnds = EndsOf(Line);
    FEnclosures.Clear();
    FEnclosures.Line(Line, Shape);
    FInQuote = FQuoteHasLines = false;
    FBodyStart = FTrailingEmpty = None;
}

PW_EVERY_LINE void TDeepCut::Store(std::string_view Line, const TLineShape& Shape) {
    if (MayNameStatusField(Shape.Name)) FNamesStatus = true;
    // Only the four fields a record keeps are looked up, and only their values made: most
    // header lines are Received ones.
    if (!Shape.HeaderLine) return;
    if (const int field = FieldOfName(Shape.Name); field >= 0)
        FCut.StoreField(field, ValueOf(Line, Shape));
}
