// Reading a Date field without a MIME library: the dates that must read (the forms of the
// standard and the obsolete ones), those that must not, and the mailbox's "From " lines dated by
// them. The agreement with Python's email package is checked in the mail module's tests.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "engine/MailDate.h"
#include "engine/MboxExport.h"

namespace {

// Seconds since 1970 of a UTC time.
std::int64_t Utc(int Y, unsigned M, unsigned D, int H, int Min, int S) {
    using namespace std::chrono;
    return sys_days{year{Y} / month{M} / day{D}}.time_since_epoch().count() * 86400 + H * 3600 +
           Min * 60 + S;
}

TEST(MailDate, ReadsTheStandardAndObsoleteFormsAndRefusesTheRest) {
    struct TCase {
        const char* Field;
        std::optional<std::int64_t> Time;
    };
    const TCase cases[] = {
        {" Mon, 01 Jan 2001 00:01 +0000", Utc(2001, 1, 1, 0, 1, 0)},
        {"01 Jan 2001 00:01:59 +0000\r\n", Utc(2001, 1, 1, 0, 1, 59)},
        {"Sat, 1 Jan 2000 00:30 +0100", Utc(1999, 12, 31, 23, 30, 0)},
        {"31 Dec 1999 23:30 -0130 (somewhere)", Utc(2000, 1, 1, 1, 0, 0)},
        {"1 jan 49 12:00 GMT", Utc(2049, 1, 1, 12, 0, 0)},
        {"1 JAN 50 12:00 ut", Utc(1950, 1, 1, 12, 0, 0)},
        {"1 Jan 101 12:00 +0000", Utc(2001, 1, 1, 12, 0, 0)},
        {"Fri, 13 Mar 2015 12:00:00 EDT", Utc(2015, 3, 13, 16, 0, 0)},
        {"13 Mar 2015 12:00:00 Q", Utc(2015, 3, 13, 12, 0, 0)},
        {"13 Mar 2015 12:00:00", Utc(2015, 3, 13, 12, 0, 0)},
        {"Fri Mar 13 12:00:00 2015", Utc(2015, 3, 13, 12, 0, 0)},
        {"13-Mar-2015 12.00 -0000", Utc(2015, 3, 13, 12, 0, 0)},
        {"29 Feb 2000 00:00 +0000", Utc(2000, 2, 29, 0, 0, 0)},
        {"1 Jan 1960 00:00 +0000", Utc(1960, 1, 1, 0, 0, 0)},
        {"", std::nullopt},
        {"sometime last week", std::nullopt},
        {"29 Feb 2001 00:00 +0000", std::nullopt},
        {"32 Jan 2001 00:00 +0000", std::nullopt},
        {"1 Jan 2001 24:00 +0000", std::nullopt},
        {"1 Jan 2001 23:60 +0000", std::nullopt},
        {"1 Jan 2001 +0000", std::nullopt},
        {"1 2001 10:00 +0000", std::nullopt},
        {"1 Jan 2001 10:00 +0099", std::nullopt},
        {"1 Jan 2001 10:00 +01", std::nullopt},
        {"1 Jan 2001 10:00:00:00 +0000", std::nullopt},
        {"1 Jan 2001 2002 10:00 +0000", std::nullopt},
        {"1 Jan 99999 10:00 +0000", std::nullopt},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(ReadMailDate(c.Field), c.Time) << '"' << c.Field << '"';
}

TEST(MailDate, TheMailboxIsDatedByEachMessagesOwnDate) {
    TEmailArray emails(3);
    emails[0] = {" Ann <ann@example.org>", "", "", " 01 Jan 2001 00:01 +0100",
                 "From: x\r\n\r\n",        ""};
    emails[1] = {" bob@example.org", "", "", " not a date", "From: y\r\n\r\n", ""};
    emails[2] = {"", "", "", "", "Subject: z\r\n\r\n", ""};
    const auto written =
        std::chrono::system_clock::time_point(std::chrono::seconds(Utc(2026, 12, 9, 6, 30, 5)));
    EXPECT_EQ(MboxText(emails, {0, 1, 2}, written),
              "From ann@example.org Sun Dec 31 23:01:00 2000\nFrom: x\r\n\r\n\n"
              "From bob@example.org Wed Dec  9 06:30:05 2026\nFrom: y\r\n\r\n\n"
              "From MAILER-DAEMON Wed Dec  9 06:30:05 2026\nSubject: z\r\n\r\n\n");
}

} // namespace
