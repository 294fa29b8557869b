#pragma once

// The deep rule's block test: what each line of a header block tells (a field, a known header, an
// anchor, a field only web traffic or only mail carries, ...), the counts of those lines, and
// whether a closed block is a message's header block or only looks like one.

#include <array>
#include <cstddef>
#include <string_view>

#include "engine/LineEnds.h"
#include "engine/LineShape.h"

// How far from its first line a header block may close.
inline constexpr std::size_t HeaderReach = 65536;

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
inline constexpr unsigned FlagCount = 7;

// The flags of a block line (0 for a continuation).
unsigned LineFlags(const TLineShape& Shape);

// Lines of each kind in a block.
struct TLineCounts {
    std::array<unsigned, FlagCount> Count{};
    void Add(unsigned Flags) {
        for (unsigned f = Flags; f != 0; f &= f - 1)
            ++Count[static_cast<unsigned>(__builtin_ctz(f))];
    }
    unsigned Of(TLineFlag Flag) const { return Count[static_cast<unsigned>(__builtin_ctz(Flag))]; }
};

// A closed block of web traffic, a form upload or a config file's lower-case keys.
bool LookAlike(const TLineCounts& Lines);
// Whether Lines already settle every block that holds them: closed, it is a message's header
// block unless one of its lines is a form line, whatever its other lines are.
bool MailUnlessForm(const TLineCounts& Lines);
// Whether a field's value makes its line a form line (the FormLine of LineFlags): "form-data"
// first, in any case, after the spaces.
bool FormValueAt(std::string_view Value, std::size_t First);
inline bool FormValue(std::string_view Value) {
    std::size_t i = 0;
    while (i < Value.size() && Value[i] == ' ')
        ++i;
    return i < Value.size() && (Value[i] | 0x20) == 'f' && FormValueAt(Value, i);
}
// Whether a closed block is a message's header block: three known header lines, or (where Short
// blocks may start one) a block whose every line is a field or a continuation, holding From, Date
// or Message-ID and one other field. Never a look-alike.
bool MailBlock(const TLineCounts& Lines, bool Short);

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
TBlock ExamineBlock(std::string_view Text, std::size_t Start, bool Short);
// The same over an indexed text (Index.Text() is the text).
TBlock ExamineBlock(const TLineIndex& Index, std::size_t Start, bool Short);
