#pragma once

// Reading a recovered message as a mail program shows it: decoded header words, the date as a
// point in time, the readable text in UTF-8 and the attachments. Works on a copy of the stored
// bytes, which it never changes; a message cut short decodes as far as its bytes go.
//
// The one seam between the program and its mail libraries (GMime 3, libxml2, nettle; Report.h
// too): where they are missing (the Windows programs), the stub build of this same interface
// decodes nothing, and CanDecodeMail() tells the callers so. Nothing outside mail/ asks the build.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// False in the stub build: DecodeMessage then answers an empty message, AttachmentBytes and
// IsoUtc empty texts, DecodedContains false, and the report writer (Report.h) refuses.
bool CanDecodeMail();

struct TAttachmentInfo {
    // UTF-8, RFC 2047 and RFC 2231 forms decoded; empty when unnamed. An attached message
    // (message/rfc822) is named by its subject where it has no name, and ends ".eml" either way.
    std::string FileName;
    std::string ContentType; // "type/subtype", lower case
    std::uint64_t Size = 0;  // bytes after the transfer encoding is undone
};

struct TDecodedMessage {
    std::string From; // UTF-8: encoded words decoded, charsets converted
    std::string To;
    std::string Subject;
    // Seconds since 1970-01-01 UTC, the sender's zone applied; empty when the Date header is
    // missing or cannot be read as a date.
    std::optional<std::int64_t> Time;
    std::string DateText; // the Date header as written (UTF-8), for dates that do not parse
    // The text/plain part, or else the text/html part as plain text; UTF-8, lines ended by LF.
    std::string Text;
    std::vector<TAttachmentInfo> Attachments;
};

// Decodes one stored message. Never throws for any bytes given; what cannot be read stays empty.
TDecodedMessage DecodeMessage(std::string_view Stored);

// The decoded bytes of attachment Index (as numbered in TDecodedMessage::Attachments); empty
// when there is no such attachment. An attached message is its bytes as stored, whole.
std::string AttachmentBytes(std::string_view Stored, std::size_t Index);

// "2026-12-07T10:00:00Z".
std::string IsoUtc(std::int64_t Time);

// True when Needle occurs in the decoded From, To, Subject or text, compared in Unicode without
// regard to case (both case-folded and normalised first). An empty needle matches every message.
bool DecodedContains(const TDecodedMessage& Message, std::string_view Needle);
