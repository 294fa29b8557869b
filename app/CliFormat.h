#pragma once

// Text the command-line scanner prints: the results table and the JSON array.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Globals.h"

// A JSON string literal (quotes included) holding each byte as the character of the same code,
// U+0000 to U+00FF, written in UTF-8 and escaped as JSON requires: decoding it and taking each
// character's code as a byte gives back exactly Bytes.
std::string JsonByteString(std::string_view Bytes);

// One JSON array with an object per shown row: item, offset, date, from, to, subject, body and
// fulltext. Offsets[item] is the drive byte offset of the message's first line.
std::string FormatJson(const TEmailArray& Emails, const std::vector<std::uint64_t>& Offsets,
                       const std::vector<std::size_t>& Rows);

// Field text made safe for a terminal: control bytes become "?", tabs a space, 8-bit bytes their
// Latin-1 character (C1 controls "?"), so stored bytes can never steer the terminal.
std::string TerminalText(std::string_view Bytes);

// The list as the desktop program shows it: "Item Num", "Date", "From", "To", "Subject", one
// line per shown row, columns aligned (long fields cut, marked with "...").
std::string FormatTable(const TEmailArray& Emails, const std::vector<std::size_t>& Rows);

// "0,3,7" or "0-3,7" as row positions, in the order given; nullopt when malformed.
std::optional<std::vector<std::size_t>> ParseRowList(std::string_view Text);
