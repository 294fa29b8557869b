#pragma once

// The point in time a mail Date field names, read without any MIME library: the engine dates
// the "From " lines of a mailbox with it on every platform, and the mail module's decoded time
// agrees with it.

#include <cstdint>
#include <optional>
#include <string_view>

// Seconds since 1970-01-01 UTC for a Date field such as "Mon, 1 Jan 2001 00:01:30 +0100":
// day name optional, seconds optional (a time to the minute is that minute), two-digit years,
// named zones (UT, GMT, EST…, and military letters, taken as UTC), a missing zone taken as
// UTC, comments ignored, the fields in any order (the asctime form "Mon Jan  1 00:01:00 2001"
// included). None when no day, month, year and time can be read, or they name no real date.
std::optional<std::int64_t> ReadMailDate(std::string_view Field);
