#include "engine/DeepBlockWalker.h"

#include <algorithm>

#include "engine/DeepRule.h"
#include "engine/HeaderBlock.h"
#include "engine/LineShape.h"

namespace {

// A line's flags counted in 16-bit lanes of two words, one lane a flag: two additions a line
// instead of a chain of increments of the same few counters in memory, which the processor
// must do one after another. The lines of one piece, named ones of three bytes at least within
// reach, never fill a lane.
class TLaneCounts {
  public:
    explicit TLaneCounts(std::array<unsigned, FlagCount>& Into) : FInto(Into) {}
    TLaneCounts(const TLaneCounts&) = delete;
    TLaneCounts& operator=(const TLaneCounts&) = delete;
    ~TLaneCounts() {
        for (unsigned f = 0; f < FlagCount; ++f)
            FInto[f] += static_cast<unsigned>(((f < 4 ? FLow : FHigh) >> (16 * (f % 4))) & 0xFFFF);
    }
    void Add(unsigned Flags) {
        FLow += Lanes[Flags].first;
        FHigh += Lanes[Flags].second;
    }

  private:
    static_assert(FlagCount <= 8 && HeaderReach / 3 < 0x10000);
    static constexpr std::array<std::pair<std::uint64_t, std::uint64_t>, 1u << FlagCount> Lanes =
        [] {
            std::array<std::pair<std::uint64_t, std::uint64_t>, 1u << FlagCount> t{};
            for (unsigned flags = 0; flags < t.size(); ++flags)
                for (unsigned f = 0; f < FlagCount; ++f)
                    if ((flags >> f & 1) != 0)
                        (f < 4 ? t[flags].first : t[flags].second) += std::uint64_t{1}
                                                                      << (16 * (f % 4));
            return t;
        }();

    std::array<unsigned, FlagCount>& FInto;
    std::uint64_t FLow = 0, FHigh = 0;
};

} // namespace

TDeepBlockWalker::TStart TDeepBlockWalker::Examine(std::uint64_t Offset, std::string_view Sector,
                                                   const TFetch& Fetch) {
    TStart start;
    // Line 0 as HeaderBlockLength takes it: a header line ending inside the sector.
    if (!TDeepRule::OpensHeaderLine(Sector)) return start;
    const std::size_t end0 = NextLine(Sector, 0, TEnds::Lf, false);
    if (end0 == 0) return start;
    const std::string_view line0 = Sector.substr(0, end0);
    const TLineShape shape0 = ShapeOf(line0);
    if (!shape0.HeaderLine) return start;
    // The sector's bytes are not to be used once more are fetched.
    const unsigned flags0 = LineFlags(shape0);
    const bool crlf = EndsOf(line0) == TEnds::CrLf;
    const std::size_t text0 = TDeepRule::TextRunLength(line0);
    const bool text0Whole = text0 == line0.size();

    Resume(Offset, Offset + end0, crlf);
    const std::uint64_t limit = Offset + HeaderReach;
    ReadLines(limit, Fetch);
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
    if (start.Text >= start.Block) {
        // The stretch measured last may reach on past the block: before it began, all is the
        // block's text.
        start.Known = start.Block;
        if (FTextFrom <= FClose && FTextTo > FClose)
            start.Known = static_cast<std::size_t>(FTextTo - Offset);
    }
    return start;
}

void TDeepBlockWalker::Resume(std::uint64_t Offset, std::uint64_t Next, bool CrLf) {
    // The lines after line 0 are the remembered ones from their start on, whatever sector asked
    // before, when they end the same way: under CR LF a line ends at the first CR LF after any
    // byte of it, under LF at the first LF.
    if (!FValid || Offset < FLastOffset || Next < FFrom || Next > FTo || CrLf != FCrLf) {
        FFrom = FTo = FSearched = Next;
        FStop = TStop::Open;
        FLines.clear();
        FCounts.fill(0);
        FBad.clear();
        FTextFrom = FTextTo = 0;
        FValid = true;
        FCrLf = CrLf;
    }
    FLastOffset = Offset;
    FFrom = Next;
    while (!FLines.empty() && FLines.front().first < Next) {
        for (unsigned f = FLines.front().second; f != 0; f &= f - 1)
            --FCounts[static_cast<unsigned>(__builtin_ctz(f))];
        FLines.pop_front();
    }
    while (!FBad.empty() && FBad.front() < Next)
        FBad.pop_front();
}

void TDeepBlockWalker::ReadLines(std::uint64_t Limit, const TFetch& Fetch) {
    // Lines are taken while they end within reach of this sector, over pieces that grow, so that
    // a block that stops soon costs little to fetch.
    for (std::uint64_t piece = 1024; FStop == TStop::Open && FTo < Limit; piece *= 2) {
        const std::uint64_t base = FTo;
        const std::uint64_t want = std::min(Limit - base, FSearched - base + piece);
        TakeLines(Fetch(base, static_cast<std::uint32_t>(want)), base, want);
        if (base + want == Limit) break;
    }
}

void TDeepBlockWalker::TakeLines(std::string_view Rest, std::uint64_t Base, std::uint64_t Want) {
    const TEnds ends = FCrLf ? TEnds::CrLf : TEnds::Lf;
    std::size_t at = 0;
    // No line ends before FSearched; under CR LF the CR of one may stand just before it.
    std::size_t from = static_cast<std::size_t>(FSearched - Base);
    if (FCrLf && from > 0) --from;
    std::size_t badAt = 0;
    bool badKnown = false;
    TLaneCounts counts(FCounts);
    FPiece.Build(Rest);
    for (;;) {
        const std::size_t end = FPiece.NextLine(std::max(at, from), ends, false);
        if (end == 0) {
            FSearched = Base + Want; // no line ends before here
            return;
        }
        const std::string_view line(Rest.data() + at, end - at); // at < end <= Rest's size
        if (IsEmptyLine(line)) {
            FStop = TStop::Empty;
            FClose = Base + end;
            return;
        }
        const TLineShape shape = FPiece.ShapeAt(at, line);
        if (!shape.BlockLine) {
            FStop = TStop::Broken;
            return;
        }
        // Continuations count for nothing and are not remembered.
        if (const unsigned flags = LineFlags(shape); flags != 0) {
            FLines.emplace_back(Base + at, flags);
            counts.Add(flags);
        }
        // The first byte that is no text, measured once for all the lines it lies past.
        if (!badKnown || badAt < at) {
            badAt = at + TDeepRule::TextRunLength(Rest.substr(at));
            badKnown = true;
            FTextFrom = Base + at;
            FTextTo = Base + badAt;
        }
        if (badAt < end) FBad.push_back(Base + badAt);
        at = end;
        from = at;
        FTo = FSearched = Base + at;
    }
}
