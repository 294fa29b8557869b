#include "engine/DeepRule.h"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/CarvingSkeleton.h"
#include "engine/DeepCut.h"
#include "engine/HeaderNames.h"
#include "engine/LineEnds.h"
#include "engine/LineShape.h"
#include "engine/MimeNesting.h"
#include "engine/Reused.h"

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

// The first bytes of a sector that may open a deep start: a header name's, "From " among them.
constexpr std::array<bool, 256> MakeFirstBytes() {
    std::array<bool, 256> t{};
    for (int b = 0x21; b <= 0x7E; ++b)
        t[b] = b != ':';
    return t;
}
constexpr std::array<bool, 256> FirstBytes = MakeFirstBytes();

// Every marker holds "essage", so lines without it are answered by one search.
constexpr std::string_view MarkerCore = "essage"sv;
constexpr std::array<std::string_view, 8> QuoteMarkers = {
    "----- Original Message -----"sv, "-----Original Message-----"sv,
    "-------- Original Message --------"sv, "Begin forwarded message:"sv,
    "---------- Forwarded message ---------"sv, "-------- Forwarded Message --------"sv,
    // Bounces that append the returned message as text.
    "This is a copy of the message, including all the headers."sv,
    "Below this line is a copy of the message."sv};

constexpr std::size_t ShortestMarker = [] {
    std::size_t n = QuoteMarkers[0].size();
    for (const std::string_view m : QuoteMarkers)
        n = std::min(n, m.size());
    return n;
}();

// Where each marker holds MarkerCore: a marker stands in a line only around a place of the core.
struct TAnchoredMarker {
    std::string_view Marker;
    std::size_t Core;
};
constexpr std::array<TAnchoredMarker, QuoteMarkers.size()> AnchoredMarkers = [] {
    std::array<TAnchoredMarker, QuoteMarkers.size()> a{};
    for (std::size_t i = 0; i < QuoteMarkers.size(); ++i)
        a[i] = {QuoteMarkers[i], QuoteMarkers[i].find(MarkerCore)};
    return a;
}();

// Whether a marker stands in Line with its core at K.
bool MarkerAroundCore(std::string_view Line, std::size_t K) {
    for (const TAnchoredMarker& a : AnchoredMarkers)
        if (K >= a.Core && Line.size() - (K - a.Core) >= a.Marker.size() &&
            std::memcmp(Line.data() + K - a.Core, a.Marker.data(), a.Marker.size()) == 0)
            return true;
    return false;
}

#if defined(__SSE2__)
// The places among the sixteen from P on that may open the core, by its rarest bytes: the 's'
// after its first and the 'g'.
inline __m128i CoreCandidates(const char* P) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P + 1));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P + 4));
    return _mm_and_si128(_mm_cmpeq_epi8(a, _mm_set1_epi8('s')),
                         _mm_cmpeq_epi8(b, _mm_set1_epi8('g')));
}

// The places of blocks of sixteen from the one at I on compared with the markers; Last is the
// last block's first place, read from the line's end over places tested already. Out of line:
// few lines have a place that may open the core, and the search that finds none keeps no
// registers for this.
[[gnu::noinline]] bool MarkerFromBlock(std::string_view Line, std::size_t I, std::size_t Last) {
    const char* p = Line.data();
    for (;; I = std::min(I + 16, Last)) {
        for (auto mask = static_cast<unsigned>(_mm_movemask_epi8(CoreCandidates(p + I))); mask != 0;
             mask &= mask - 1) {
            const std::size_t k = I + static_cast<std::size_t>(__builtin_ctz(mask));
            if (std::memcmp(p + k, MarkerCore.data(), MarkerCore.size()) == 0 &&
                MarkerAroundCore(Line, k))
                return true;
        }
        if (I == Last) return false;
    }
}
#endif

// Whether a marker stands in Line, asked at each place of MarkerCore. Where the processor allows,
// thirty-two places at a time are tested with one branch for the core's rarest bytes, and only
// the blocks that hold both are compared.
bool HoldsMarker(std::string_view Line) {
#if defined(__SSE2__)
    const char* p = Line.data();
    const std::size_t n = Line.size(), span = MarkerCore.size() - 1;
    if (n >= span + 16) {
        const std::size_t last = n - span - 16;
        std::size_t i = 0;
        for (; i + 16 <= last; i += 32)
            if (_mm_movemask_epi8(
                    _mm_or_si128(CoreCandidates(p + i), CoreCandidates(p + i + 16))) != 0)
                return MarkerFromBlock(Line, i, last);
        for (i = std::min(i, last);; i = std::min(i + 16, last)) {
            if (_mm_movemask_epi8(CoreCandidates(p + i)) != 0)
                return MarkerFromBlock(Line, i, last);
            if (i == last) return false;
        }
    }
#endif
    for (std::size_t k = Line.find(MarkerCore); k != std::string_view::npos;
         k = Line.find(MarkerCore, k + 1))
        if (MarkerAroundCore(Line, k)) return true;
    return false;
}

} // namespace

TDeepRule::TDeepRule(TScanHost& Host) : TRule(FirstBytes), FHost(&Host), FStandard(Host) {}

bool TDeepRule::IsTextByte(unsigned char b) {
    return TextBytes[b];
}

std::size_t TDeepRule::TextRunLength(std::string_view Bytes) {
    return DeepTextRun(Bytes);
}

bool TDeepRule::IsQuoteMarker(std::string_view Line) {
    return Line.size() >= ShortestMarker && HoldsMarker(Line);
}

bool TDeepRule::OpensSeparator(std::string_view Sector) {
    return Sector.size() >= 5 && std::memcmp(Sector.data(), "From ", 5) == 0;
}

std::size_t TDeepRule::HeaderBlockLength(std::string_view View, std::uint32_t SectorSize) const {
    const std::string_view sector = View.substr(0, SectorSize);
    if (OpensSeparator(sector)) {
        // An mbox separator, then the header block of the message it introduces.
        const std::size_t end = NextLine(sector, 0, TEnds::Lf, false);
        if (end == 0 || !IsSeparatorLine(sector.substr(0, end))) return 0;
        const std::size_t first = NextLine(View, end, TEnds::Lf, false);
        if (first == 0 || !ShapeOf(View.substr(end, first - end)).HeaderLine) return 0;
        const TBlock block = ExamineBlock(View.substr(0, end + HeaderReach), end, true);
        return block.Whole ? block.End : 0;
    }
    if (!OpensHeaderLine(sector)) return 0;
    // Line 0 ends inside the first sector, and is a header line.
    const std::size_t end = NextLine(sector, 0, TEnds::Lf, false);
    if (end == 0) return 0;
    if (!ShapeOf(View.substr(0, end)).HeaderLine) return 0;
    const TBlock block = ExamineBlock(View.substr(0, HeaderReach), 0, true);
    return block.Whole ? block.End : 0;
}

bool TDeepRule::IsMessageStart(std::string_view View, std::uint32_t SectorSize) const {
    // The block must be text through its empty line, or the run would end inside it.
    const std::size_t length = HeaderBlockLength(View, SectorSize);
    return length > 0 && TextRunLength(View.substr(0, length)) == length;
}

void TDeepRule::ExtractMessages(std::string_view Text, TEmailArray& Result,
                                std::vector<std::size_t>* Starts, bool OpensWithWholeBlock) const {
    TCutList cuts;
    ExtractCuts(TByteRun{0, Text}, cuts, OpensWithWholeBlock);
    CutsToEmails(cuts, Result, Starts);
}

void TDeepRule::ExtractCuts(const TByteRun& Run, TCutList& Result, bool OpensWithWholeBlock) const {
    // Reused: a run of one message is the common case on a mail-dense drive.
    struct TScratch {
        TEnclosures Enclosures;
        TLineIndex Index;
    };
    TReused<TScratch> scratch;
    scratch->Enclosures.Clear();
    scratch->Index.Build(Run.Bytes);
    TDeepCut(Run, *FHost, Result, scratch->Enclosures, scratch->Index, OpensWithWholeBlock).Walk();
}

TRule* TDeepRule::StartsAt(const TByteRun& Window, std::uint32_t SectorSize,
                           const TDriveFetch& Drive) {
    // Either rule's start needs line 0 to open like a header line (the deep one's, or like an mbox
    // separator); most sectors are settled on that, by their first bytes.
    const std::string_view sector = Window.Bytes.substr(0, SectorSize);
    FKnownText = 0;
    if (OpensSeparator(sector)) {
        // No known header line opens with "From ": the standard rule has no start here.
        FKnownText = SeparatorStarts(Window.DriveOffset, SectorSize, Drive);
        return FKnownText > 0 ? this : nullptr;
    }
    const std::size_t name = OpeningName(sector);
    if (name == 0) return nullptr;
    // The standard rule's test decides where the deep one finds nothing, when line 0 opens like a
    // known header line. Reading further may move the window: the bytes that tell are kept first,
    // and looked at only where the deep test finds nothing.
    std::array<unsigned char, LongestKnownHeader + 2> head{};
    const std::size_t headSize = std::min(head.size(), Window.Bytes.size());
    std::memcpy(head.data(), Window.Bytes.data(), headSize);
    const TDeepBlockWalker::TStart start = FWalker.Examine(Window.DriveOffset, sector, name, Drive);
    // What the deep rule knows for no mail is not taken by the standard rule's test either.
    if (start.Block == 0 && start.LookAlike) return nullptr;
    // The start test's last step: the block is text up to its empty line. Where it is not, the
    // run ends inside the block and is counted as if measured.
    if (start.Block > 0 && start.Text >= start.Block) {
        FKnownText = start.Known;
        return this;
    }
    if (start.Block > 0 && start.Text > 0) FHost->KeepAlive(start.Text);
    if (!TEmailParser::MayStartMessage(head[0]) || !StartsKnownHeader(head.data(), headSize))
        return nullptr;
    // Reading further may have moved the window: its bytes are asked for again, which most starts,
    // the deep rule's, never need.
    const std::string_view window =
        Drive(Window.DriveOffset, static_cast<std::uint32_t>(Window.Bytes.size()));
    return FStandard.IsMessageStart(window, SectorSize) ? &FStandard : nullptr;
}

std::size_t TDeepRule::SeparatorStarts(std::uint64_t Offset, std::uint32_t SectorSize,
                                       const TDriveFetch& Drive) const {
    // Separators are few: each is asked afresh, as far as the block after it may reach.
    const std::string_view view =
        Drive(Offset, SectorSize + static_cast<std::uint32_t>(HeaderReach));
    const std::size_t block = HeaderBlockLength(view, SectorSize);
    return block > 0 && TextRunLength(view.substr(0, block)) == block ? block : 0;
}

std::uint64_t TDeepRule::StartReach(std::uint32_t SectorSize) const {
    return std::max<std::uint64_t>(std::uint64_t{SectorSize} + HeaderReach, 2ull * SectorSize);
}
