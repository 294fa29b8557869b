#pragma once

// The results list's rules, kept apart from any window so the desktop program and the
// command-line scanner show the same rows: a row is an item number (the message's position in the
// found list); filtering and sorting change the rows, never the list. The order of a sort by a
// text column differs: the command-line scanner compares bytes through the upper-case table,
// while a desktop window may collate by the user's locale.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/FoundEmails.h"
#include "engine/Globals.h"

// The columns of the results list, left to right; the one vocabulary of the window core, its
// views and the command-line scanner.
enum class TResultColumn { ItemNum = 0, Date = 1, From = 2, To = 3, Subject = 4 };
constexpr int ResultColumnCount = 5;

// "Item Num", "Date", "From", "To", "Subject".
const char* ColumnCaption(TResultColumn Column);

// The row text of a column for one message (Date, From, To, Subject exactly as stored).
std::string_view ColumnText(const TEmailHeaders& Headers, TResultColumn Column);

// A column named the way a user types it: "item", "num", "itemnum", "item num", "date", "from",
// "to", "subject", any case; or a column number 0 to 4.
std::optional<TResultColumn> ColumnFromName(std::string_view Name);

// Whether a message's decoded From, To, Subject or text holds what the user asked for. The engine
// reads no MIME: the caller hands in the mail module's test.
using TDecodedTextTest = std::function<bool(const TFoundEmails& Emails, std::size_t Item)>;

// Which messages the results list shows, for the window core and the command-line scanner alike.
// A message is shown when, with only deleted ones asked for, its mail program marked it deleted
// (TFoundEmails::ClientDeleted), and when its Body holds Keyword without regard to case
// (SearchText, case sensitivity off, from position 1), its decoded text passes DecodedText, and,
// with copies hidden, it is the first of its copies. Tested in that order, cheapest first: a
// message is decoded only when the keyword let it through.
struct TRowFilter {
    std::string Keyword;          // bytes; empty: every body passes
    TDecodedTextTest DecodedText; // empty: no test of the decoded text
    bool HideCopies = false;
    bool ClientDeletedOnly = false;

    // One message, as a scan finds it. CopyOf: the first earlier message with the same stored
    // bytes, if any (TCopyFinder).
    bool Shows(const TFoundEmails& Emails, std::size_t Item,
               std::optional<std::size_t> CopyOf) const;
    // The items shown of a whole list, in found order. Copies: per item, as FindCopies gives them;
    // an item past its end is the first of its kind.
    std::vector<std::size_t> Rows(const TFoundEmails& Emails,
                                  const std::vector<std::optional<std::size_t>>& Copies = {}) const;
};

// Item numbers of the rows the keyword alone shows (every message when Keyword is empty).
std::vector<std::size_t> FilterItems(const TFoundEmails& Emails, std::string_view Keyword);

// Case-insensitive byte comparison through the upper-case table: below, at or above zero.
int CompareTextNoCase(std::string_view A, std::string_view B);

// Ascending order of two items: Item Num by number, the other columns by their text ignoring case.
int CompareItems(const TFoundEmails& Emails, std::size_t ItemA, std::size_t ItemB,
                 TResultColumn Column);

// Sorts rows by a column; equal keys keep their order.
void SortItems(std::vector<std::size_t>& Items, const TFoundEmails& Emails, TResultColumn Column,
               bool Ascending);
