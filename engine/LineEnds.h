#pragma once

// A text's line ends and header-name stops, found in bulk: one pass classes every byte, 16 or 32
// at a time where the processor allows, into two bit masks (a bit a byte, 64 bytes a word). The
// line walk then finds a line's end and its name's length from the masks with a bit scan instead
// of a search per line.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "engine/LineShape.h"

// Lazily: the masks are made as the questions reach them, a few words first and then twice as
// many each time, for a walk that may stop long before the text's end. The answers are the same;
// the check costs a walk over the whole text a little, so each kind has its own class.
template <bool Lazily> class TLineMasks {
  public:
    static constexpr std::size_t npos = std::string_view::npos;

    // Indexes Text, which must outlive the answers; the storage is kept for the next text.
    // FirstWords: how many words a lazy index makes first (a sector of 512 bytes).
    void Build(std::string_view Text, std::size_t FirstWords = 8);
    std::string_view Text() const { return FText; }

    // A walk's place among the LFs: the word being read and its LFs not handed out yet. A walk
    // over a text's lines takes each line end with a bit scan instead of a search from its start.
    struct TLfCursor {
        std::size_t Word = 0;
        std::uint64_t Bits = 0;
    };
    // A cursor whose next LF is the first at or after From.
    TLfCursor LfCursor(std::size_t From) const {
        if (From >= FText.size()) return {FAllWords, 0};
        const std::size_t w = From >> 6;
        if (Lazily && w >= FWords) Reach(w);
        return {w, FLf[w] & (~std::uint64_t{0} << (From & 63))};
    }
    // The cursor's next LF, npos when none is left.
    std::size_t NextLf(TLfCursor& Cursor) const {
        while (Cursor.Bits == 0) {
            if (++Cursor.Word >= FWords && !(Lazily && Reach(Cursor.Word))) return npos;
            Cursor.Bits = FLf[Cursor.Word];
        }
        const std::size_t lf =
            (Cursor.Word << 6) + static_cast<std::size_t>(__builtin_ctzll(Cursor.Bits));
        Cursor.Bits &= Cursor.Bits - 1;
        return lf;
    }
    // The first LF at or after From, npos when none.
    std::size_t NextLf(std::size_t From) const {
        TLfCursor cursor = LfCursor(From);
        return NextLf(cursor);
    }

    // Number of header-name bytes (printable ASCII but the space and the colon) from From on.
    std::size_t NameLength(std::size_t From) const {
        if (From >= FText.size()) return 0;
        std::size_t w = From >> 6;
        if (Lazily && w >= FWords) Reach(w);
        std::uint64_t m = FStop[w] & (~std::uint64_t{0} << (From & 63));
        while (m == 0) {
            // The bits past the text's end are stops: the last word is reached at the latest.
            if (++w == FWords && Lazily) Reach(w);
            m = FStop[w];
        }
        return (w << 6) + static_cast<std::size_t>(__builtin_ctzll(m)) - From;
    }

    // NextLine (LineShape.h) over the indexed text: the same answers. LoneLf, where given, is set
    // to the place of an LF that the line runs past (under CR LF ends).
    std::size_t NextLine(std::size_t p, TEnds Ends, bool MboxAware,
                         std::size_t* LoneLf = nullptr) const {
        TLfCursor cursor = LfCursor(p);
        return NextLine(cursor, p, Ends, MboxAware, LoneLf);
    }
    // The same for a walk from line to line: Cursor's next LF is the first at or after p, and
    // is so again for the line after.
    std::size_t NextLine(TLfCursor& Cursor, std::size_t p, TEnds Ends, bool MboxAware,
                         std::size_t* LoneLf = nullptr) const {
        const char* base = FText.data();
        const std::size_t n = FText.size();
        // Under LF ends, the first LF, whatever else holds: most lines of most stores.
        if (Ends == TEnds::Lf ||
            (MboxAware && n - p > 5 && std::memcmp(base + p, "From ", 5) == 0)) {
            const std::size_t lf = NextLf(Cursor);
            return lf == npos ? 0 : lf + 1;
        }
        for (;;) {
            const std::size_t lf = NextLf(Cursor);
            if (lf == npos) return 0;
            if (lf > p && base[lf - 1] == '\r') return lf + 1;
            if (MboxAware && n - lf > 5 && std::memcmp(base + lf + 1, "From ", 5) == 0)
                return lf + 1;
            if (LoneLf != nullptr) *LoneLf = lf;
        }
    }

    // ShapeOf (LineShape.h) for the line of the indexed text that starts at p and ends with LF;
    // WithValue as ShapeOfNamed takes it.
    template <bool WithValue = true>
    TLineShape ShapeAt(std::size_t p, std::string_view Line) const {
        const auto first = static_cast<unsigned char>(Line[0]);
        if (first == ' ' || first == '\t') {
            TLineShape shape;
            shape.BlockLine = true;
            return shape;
        }
        return ShapeOfNamed<WithValue>(Line, NameLength(p));
    }

  private:
    // Makes the masks up to word W at least; false when the text has no such word.
    bool Reach(std::size_t W) const;
    void MakeWords(std::size_t From, std::size_t To) const;

    std::string_view FText;
    // The masks are the text's, made when first asked for: answers never depend on how far.
    mutable std::size_t FWords = 0; // of the masks made
    std::size_t FAllWords = 0;      // of the text's: one more than its whole words
    mutable std::vector<std::uint64_t> FLf, FStop;
};

using TLineIndex = TLineMasks<false>;
using TLazyLineIndex = TLineMasks<true>;

// The masks of Words whole 64-byte words from Bytes by the portable path, whatever the processor,
// and by every path this processor can take ("portable", "sse2", "avx2"): for tests that compare
// the paths.
void PortableLineMasks(const unsigned char* Bytes, std::size_t Words, std::uint64_t* Lf,
                       std::uint64_t* Stop);
struct TLineMaskPath {
    const char* Name;
    void (*Masks)(const unsigned char* Bytes, std::size_t Words, std::uint64_t* Lf,
                  std::uint64_t* Stop);
};
std::vector<TLineMaskPath> LineMaskPaths();

// Number of text bytes at the start of Bytes, found 16 or 32 at a time: the standard rule's text
// bytes (tab, LF, VT, CR, printable ASCII) and the deep rule's (those, form feed, escape and every
// byte from 0x80 up).
std::size_t StandardTextRun(std::string_view Bytes);
std::size_t DeepTextRun(std::string_view Bytes);
// Every way this processor can measure the runs ("portable", "sse2", "avx2"): for tests that
// compare the paths.
struct TTextRunPath {
    const char* Name;
    std::size_t (*Standard)(const unsigned char*, std::size_t);
    std::size_t (*Deep)(const unsigned char*, std::size_t);
};
std::vector<TTextRunPath> TextRunPaths();
