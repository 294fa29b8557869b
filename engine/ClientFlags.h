#pragma once

// What a mail program wrote into a message's header block about the message itself. A program
// that keeps a folder as one mbox file does not remove a deleted message at once: it marks the
// message and drops it when the folder is next compacted, so the marked message is still on the
// drive, whole.

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
