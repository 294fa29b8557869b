#pragma once

// What a mail program wrote into a message's header block about the message itself. A program
// that keeps a folder as one mbox file does not remove a deleted message at once: it marks the
// message and drops it when the folder is next compacted, so the marked message is still on the
// drive, whole.

#include <cstddef>
#include <string_view>

// Whether the header block that opens FullText (up to its empty line) marks the message deleted:
// an X-Mozilla-Status of hexadecimal digits with bit 0x0008 (expunged) set, or a Status or
// X-Status of flag letters holding "D". Only the first of each of these lines counts, as mail
// programs read them; a value of any other shape marks nothing.
bool IsClientDeleted(std::string_view FullText);
// The same answer, found faster where Body is FullText's end and opens with the empty line that
// closes the header block, as the rules cut a message: a block that names none of the fields is
// settled by one search through it.
bool IsClientDeleted(std::string_view FullText, std::string_view Body);

// Whether a header line's name (the bytes before its colon) may be one of the fields read above:
// a header block none of whose lines' names may be marks nothing.
inline bool MayNameStatusField(std::string_view Name) {
    // Names of 6, 8 and 16 bytes: one test of a bit for most lines.
    const std::size_t n = Name.size();
    return n - 6 <= 10 && ((0x405u >> (n - 6)) & 1) != 0 && (Name[n - 6] | 0x20) == 's' &&
           (Name[n - 5] | 0x20) == 't' && (Name[n - 4] | 0x20) == 'a' &&
           (Name[n - 3] | 0x20) == 't' && (Name[n - 2] | 0x20) == 'u' &&
           (Name[n - 1] | 0x20) == 's';
}
