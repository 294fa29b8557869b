#pragma once

// Mail as Unix mail stores keep it, of the project's own making: LF line ends, Maildir files (one
// message a file) and mbox files (messages behind "From " separator lines), messages carrying
// other messages (forwards attached as message/rfc822, MIME digests, bounces), minimal header
// blocks; and the things that look like mail and are not (web traffic, form uploads, config and
// source files, CSV, JSON). Same seed, same bytes.

#include <cstddef>
#include <string>
#include <vector>

// The kinds of LF message: the deep corpus's eight with LF ends, then these.
enum TUnixKind : int {
    ForwardAttached = 8, // multipart/mixed with a message/rfc822 part
    MimeDigest,          // multipart/digest of whole messages
    Bounce,              // multipart/report with the original message
    Minimal,             // From, Subject, MIME-Version only
    IdAndType,           // Message-ID and Content-Type only
    Draft,               // From and X- lines only
    Encapsulated,        // the whole body is a message/rfc822
    FromLines,           // body lines quoted as ">From " as an mbox keeps them
    UnixKinds
};
const char* UnixKindName(int Kind);

// One LF message of the given kind (0 ... UnixKinds - 1).
std::string MakeUnixMessage(unsigned Seed, int Kind);

// The separator line an mbox writes before a message (with its LF).
std::string MboxSeparator(unsigned Seed);
// An mbox file of the given messages: each behind its separator, each followed by an empty line.
std::string MboxFile(const std::vector<std::string>& Messages, unsigned Seed);

// Text that is no mail: Count blocks of web requests and responses, form uploads, INI and YAML
// files, source code with comments, CSV and JSON, with LF or CR LF ends, each on a sector start
// (SectorSize bytes); now and then the sector starts at a block's second line.
std::string LookAlikeImage(unsigned Seed, std::size_t Count, std::size_t SectorSize);
