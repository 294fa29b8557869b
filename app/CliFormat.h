#pragma once

// Text the command-line scanner prints: the results table and the JSON array.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/FoundEmails.h"
#include "engine/Globals.h"
#include "engine/ScanHardDisk.h"

// A JSON string literal (quotes included) holding each byte as the character of the same code,
// U+0000 to U+00FF, written in UTF-8 and escaped as JSON requires: decoding it and taking each
// character's code as a byte gives back exactly Bytes.
std::string JsonByteString(std::string_view Bytes);
// The same, appended to Out.
void AppendJsonByteString(std::string& Out, std::string_view Bytes);
// Appends the escape JSON needs for Byte ('"', '\\', a control byte or DEL) and answers true;
// answers false, appending nothing, for a byte that stands for itself.
bool AppendJsonEscape(std::string& Out, unsigned char Byte);

// The fields a JSON object may hold, as bits of a set, in the order they are printed: item,
// offset (the drive byte offset of the message's first line), rule, date, from, to, subject, body,
// fulltext, what CliMail adds: decoded, sha256, copy_of, and client_deleted (whether the mail
// program marked the message deleted) and inside (the compressed streams it was found in, outermost
// first: kind, offset where the stream begins, at where what it holds next begins in its inflated
// bytes; an empty list for a message on the drive itself).
enum TJsonField : unsigned {
    JsonItem = 1u << 0,
    JsonOffset = 1u << 1,
    JsonRule = 1u << 2,
    JsonDate = 1u << 3,
    JsonFrom = 1u << 4,
    JsonTo = 1u << 5,
    JsonSubject = 1u << 6,
    JsonBody = 1u << 7,
    JsonFullText = 1u << 8,
    JsonDecoded = 1u << 9,
    JsonSha256 = 1u << 10,
    JsonCopyOf = 1u << 11,
    JsonClientDeleted = 1u << 12,
    JsonInside = 1u << 13,
    JsonAllFields = (1u << 14) - 1,
};
// "item, offset, rule, ...": every field's name, in the order printed.
std::string JsonFieldNames();
// "item,subject,fulltext" (any order, spaces ignored) as a set of fields; nullopt when a name is
// unknown or none is given, with the first unknown name in Unknown.
std::optional<unsigned> ParseJsonFields(std::string_view Text, std::string& Unknown);

// One JSON object holding the chosen fields of a row found at Place, written at the end of Out.
// MoreFields, when given, returns the fields from decoded to copy_of for an item, each as
// ", \"name\": value".
void AppendJsonObject(std::string& Out, const TFoundEmails& Emails, std::size_t Item,
                      const TEmailPlace& Place, unsigned Fields,
                      const std::function<std::string(std::size_t)>& MoreFields = {});

// Field text made safe for a terminal: control bytes become "?", tabs a space, 8-bit bytes their
// Latin-1 character (C1 controls "?"), so stored bytes can never steer the terminal.
std::string TerminalText(std::string_view Bytes);

// The list as the desktop program shows it: "Item Num", "Date", "From", "To", "Subject", one
// line per shown row, columns aligned (long fields cut, marked with "...").
// The text is handed to Write in pieces.
void FormatTable(const TFoundEmails& Emails, const std::vector<std::size_t>& Rows,
                 const std::function<void(std::string_view)>& Write);

// A stretch of row positions, both ends included.
struct TRowRange {
    std::size_t First = 0;
    std::size_t Last = 0;
    bool operator==(const TRowRange&) const = default;
};

// "0,3,7" or "0-3,7" as stretches of row positions, in the order given, decimal only; nullopt when
// malformed or empty. Kept as stretches so that a wide range costs nothing until the rows exist.
std::optional<std::vector<TRowRange>> ParseRowList(std::string_view Text);

// The positions the stretches name, each once, in the order first named. Positions at or past
// RowCount are not taken; the first of them is put in FirstOutside (unchanged when none).
std::vector<std::size_t> ExpandRowList(const std::vector<TRowRange>& Ranges, std::size_t RowCount,
                                       std::optional<std::size_t>& FirstOutside);

// A decimal number only: no sign, no leading "0x", no octal reading of a leading zero.
std::optional<std::uint64_t> ParseDecimal(std::string_view Text);

// A path or other name as it goes into a one-line message: unchanged when it holds only printable
// characters, otherwise quoted as $'...' with escapes (\n, \x1b), so that a newline or an escape
// sequence in a file name can neither break the line nor steer the terminal.
std::string DisplayName(std::string_view Name);
