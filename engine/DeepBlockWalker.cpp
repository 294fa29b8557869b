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
            FInto[f] += Lane(f);
    }
    void Add(unsigned Flags) {
        FLow += Lanes[Flags].first;
        FHigh += Lanes[Flags].second;
    }
    // MailUnlessForm over the lines counted and a line of FirstKinds.
    bool Settle(unsigned FirstKinds) const {
        TLineCounts now;
        now.Add(FirstKinds);
        for (const TLineFlag flag : {KnownLine, MailLine, CasedLine}) {
            const auto f = static_cast<unsigned>(__builtin_ctz(flag));
            now.Count[f] += FInto[f] + Lane(f);
        }
        return MailUnlessForm(now);
    }

  private:
    // The lines of flag number F counted here.
    unsigned Lane(unsigned F) const {
        return static_cast<unsigned>(((F < 4 ? FLow : FHigh) >> (16 * (F % 4))) & 0xFFFF);
    }

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
    const std::size_t name = TDeepRule::OpeningName(Sector);
    return name > 0 ? Examine(Offset, Sector, name, Fetch) : TStart{};
}

TDeepBlockWalker::TStart TDeepBlockWalker::Examine(std::uint64_t Offset, std::string_view Sector,
                                                   std::size_t Name, const TFetch& Fetch) {
    TStart start;
    // Line 0 as HeaderBlockLength takes it: a header line ending inside the sector. Its name, a
    // colon and a space come before its LF.
    const std::size_t end0 = NextLine(Sector, 0, TEnds::Lf, false);
    if (end0 == 0) return start;
    const std::string_view line0 = Sector.substr(0, end0);
    const TLineShape shape0 = ShapeOfNamed(line0, Name);
    if (!shape0.HeaderLine) return start;
    // The sector's bytes are not to be used once more are fetched.
    const unsigned flags0 = LineFlags(shape0);
    const bool crlf = EndsOf(line0) == TEnds::CrLf;
    const std::size_t text0 = TDeepRule::TextRunLength(line0);
    const bool text0Whole = text0 == line0.size();

    // A walk that keeps lines of an earlier one is in a block that has not closed for sectors: its
    // lines' kinds are asked for again soon, so they are made at once.
    FMayDefer = Resume(Offset, Offset + end0, crlf, Fetch);
    const std::uint64_t limit = Offset + HeaderReach;
    FFirstKinds = flags0;
    FSettled = false;
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

bool TDeepBlockWalker::Resume(std::uint64_t Offset, std::uint64_t Next, bool CrLf,
                              const TFetch& Fetch) {
    // The lines after line 0 are the remembered ones from their start on, whatever sector asked
    // before, when they end the same way: under CR LF a line ends at the first CR LF after any
    // byte of it, under LF at the first LF.
    bool fresh = !FValid || Offset < FLastOffset || Next < FFrom || Next > FTo || CrLf != FCrLf;
    if (!fresh) {
        while (!FLines.empty() && FLines.front().Start < Next) {
            if (FLines.front().Kinds == Unknown)
                --FUnknown;
            else
                for (unsigned f = FLines.front().Kinds; f != 0; f &= f - 1)
                    --FCounts[static_cast<unsigned>(__builtin_ctz(f))];
            FLines.pop_front();
        }
        while (!FBad.empty() && FBad.front() < Next)
            FBad.pop_front();
        // Bytes that cannot be had again leave the kinds unmade: the lines are read again.
        if (FUnknown > 0 && !MakeKinds(Fetch)) fresh = true;
    }
    if (fresh) {
        FTo = FSearched = Next;
        FStop = TStop::Open;
        FLines.clear();
        FUnknown = 0;
        FCounts.fill(0);
        FBad.clear();
        FTextFrom = FTextTo = 0;
        FValid = true;
        FCrLf = CrLf;
    }
    FLastOffset = Offset;
    FFrom = Next;
    return fresh;
}

bool TDeepBlockWalker::MakeKinds(const TFetch& Fetch) {
    // They were read by the last sector's walk, after every line with kinds but its form lines:
    // the walk back is as long as that one.
    auto first = FLines.end();
    for (std::size_t seen = 0; seen < FUnknown;)
        seen += (--first)->Kinds == Unknown;
    // From the first line without kinds to the end of the last: they were read within one reach.
    const std::uint64_t base = first->Start;
    const auto span = static_cast<std::size_t>(FLines.back().Start + FLines.back().Length - base);
    const std::string_view bytes = Fetch(base, static_cast<std::uint32_t>(span));
    if (bytes.size() < span) return false;
    for (auto line = first; line != FLines.end(); ++line) {
        if (line->Kinds != Unknown) continue;
        line->Kinds = LineFlags(
            ShapeOf(bytes.substr(static_cast<std::size_t>(line->Start - base), line->Length)));
        for (unsigned f = line->Kinds; f != 0; f &= f - 1)
            ++FCounts[static_cast<unsigned>(__builtin_ctz(f))];
    }
    FUnknown = 0;
    return true;
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
    // Each line after the first starts where the one before ended: the LFs are taken in order.
    TLazyLineIndex::TLfCursor lfs = FPiece.LfCursor(from);
    // The walk goes on past the lines taken; none taken leaves it where it was.
    const auto taken = [&] {
        if (at > 0) FTo = FSearched = Base + at;
    };
    for (;;) {
        const std::size_t end = FPiece.NextLine(lfs, std::max(at, from), ends, false);
        if (end == 0) {
            taken();
            FSearched = Base + Want; // no line ends before here
            return;
        }
        const std::string_view line(Rest.data() + at, end - at); // at < end <= Rest's size
        if (IsEmptyLine(line)) {
            taken();
            FStop = TStop::Empty;
            FClose = Base + end;
            return;
        }
        const TLineShape shape = FPiece.ShapeAt(at, line);
        if (!shape.BlockLine) {
            taken();
            FStop = TStop::Broken;
            return;
        }
        // Continuations count for nothing and are not remembered. Once the block is settled
        // only a form line can change the answer: the others' kinds wait until a later sector
        // asks for them.
        if (!shape.Name.empty()) {
            unsigned kinds = Unknown;
            if (!FSettled || FormValue(shape.Value)) {
                kinds = LineFlags(shape);
                counts.Add(kinds);
                if (FMayDefer && !FSettled) FSettled = counts.Settle(FFirstKinds);
            } else {
                ++FUnknown;
            }
            FLines.push_back({Base + at, kinds, static_cast<unsigned>(end - at)});
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
    }
}
