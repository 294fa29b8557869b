#pragma once

// The command-line scanner's view of what was recovered beyond the stored fields: the decoded
// message in the JSON, the decoded-text filter, and the DFXML report. Decoding happens here, for
// the rows printed or filtered, never during the scan. Where the mail module is its stub (the
// Windows programs) the JSON says "decoded": null and "sha256": null, and the text filter and the
// report are refused.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Export.h"
#include "engine/FoundEmails.h"
#include "engine/Globals.h"
#include "engine/ResultView.h"
#include "engine/ScanHardDisk.h"
#include "mail/DecodedMessage.h"
#include "mail/Report.h"

// A JSON string literal of UTF-8 text (made valid first), escaped as JSON requires.
std::string JsonText(std::string_view Utf8);

// The fields a JSON object gains, those of Fields (TJsonField bits) only, each with a leading
// ", ": "decoded" (an object, or null where mail is not decoded), "sha256" of the stored bytes
// (null where not hashed) and "copy_of".
std::string MailJsonFields(std::string_view FullText, std::optional<std::size_t> CopyOf,
                           unsigned Fields);

// The results list's decoded-text test (TRowFilter): whether a message's decoded From, To,
// Subject or text holds Words, ignoring case in Unicode. Decodes the message each time it is
// asked.
TDecodedTextTest DecodedTextTest(std::string Words);

struct TReportSource {
    std::string Image;           // the target as given
    std::uint64_t ImageSize = 0; // bytes
    std::string CommandLine;
    std::uint32_t SectorSize = 0;
    std::vector<TSectorRange> Unreadable; // sectors read as zeros because they could not be read
};

// The DFXML report of the rows shown: the source and this program, then per row a fileobject
// named as the row's export file (RecoveredEmail<row>.eml) with its byte run on the image and
// the SHA-256 and MD5 digests of its stored bytes. A message found inside compressed streams has
// the byte run of the outermost stream, typed with its kind ("gzip", "zip"): its bytes are not
// the image's as they lie there.
std::string DfxmlReport(const TReportSource& Source, const TFoundEmails& Emails,
                        const TEmailPlaces& Places,
                        const std::vector<std::size_t>& Rows);

// Writes the report through a temporary name, a piece at a time as it is made, so that memory
// does not grow with the rows; empty on success, else the reason. With Replace false an
// existing file of that name is kept.
std::string WriteDfxmlReport(const std::string& File, const TReportSource& Source,
                             const TFoundEmails& Emails, const TEmailPlaces& Places,
                             const std::vector<std::size_t>& Rows, bool Replace = true,
                             TExportOutput& Output = RealExportOutput());
