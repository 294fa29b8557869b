#pragma once

// Found messages as one mboxrd mailbox, the form mail programs import: each message after a
// "From " line, any line of it that reads "From " behind zero or more '>' quoted with one more
// '>', and an empty line after it. Nothing else of the stored bytes changes (CR LF line ends stay
// CR LF); a message that does not end with a line end gets one, so the next "From " line starts
// a line.

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/FoundEmails.h"
#include "engine/Globals.h"

// The envelope sender for a message's "From " line: the address in its From field when there is
// one without spaces or control bytes, else "MAILER-DAEMON".
std::string MboxSender(std::string_view FromField);

// The "From " line's date: "Thu Jan  1 00:00:00 1970" (UTC).
std::string MboxDate(std::chrono::system_clock::time_point When);

// The mailbox holding Items (item numbers into Emails, in that order). Each "From " line carries
// its message's Date (in UTC) where that can be read, else When.
std::string MboxText(const TFoundEmails& Emails, const std::vector<std::size_t>& Items,
                     std::chrono::system_clock::time_point When);

// Writes the mailbox (as MboxText, When the time of writing) to File through a temporary name in
// the same folder, renamed into place when complete. Empty on success, otherwise the reason it was
// not written. With Replace false an existing file of that name is kept.
std::string WriteMbox(const std::string& File, const TFoundEmails& Emails,
                      const std::vector<std::size_t>& Items, bool Replace = true);
