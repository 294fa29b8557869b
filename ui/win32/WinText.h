#pragma once

// Text between the program's byte strings and the window system's UTF-16. Stored mail is
// Windows-1252 whatever the system's code page; file paths and messages are in the system's
// code page, as the file functions of the C++ library take them.

#include <optional>
#include <string>
#include <string_view>

// Stored bytes as the characters they stand for, ready for an edit box: NUL (which would end the
// box's text early) shows as a space, and a lone CR or LF becomes a line break of the box.
std::wstring DisplayFrom1252(std::string_view Bytes);
// The window core's text (UTF-8) ready for an edit box, in the same way: NUL as a space, every
// CR, LF or CR LF one line break of the box.
std::wstring DisplayFromUtf8(std::string_view Text);
// One cell of the results list: each byte its character, NUL as a space.
std::wstring CellFrom1252(std::string_view Bytes);

// A cell as the window core gives it (UTF-8), NUL as a space.
std::wstring CellFromUtf8(std::string_view Text);

// Text typed by the user as Windows-1252 bytes; nullopt, with the character, when one has none.
std::optional<std::string> BytesFromTyped(const std::wstring& Text, wchar_t& Unmappable);

// Between the system's code page and UTF-16. A path with a character the code page lacks has no
// narrow form: nullopt.
std::wstring WideFromSystem(std::string_view Text);

// The window core's own texts (status line, details, progress figures) are UTF-8.
std::wstring WideFromUtf8(std::string_view Text);
std::string Utf8FromWide(const std::wstring& Text);
// A message of the core: UTF-8 as a rule, but a path it names is in the system's code page.
// Taken as UTF-8 when it is valid UTF-8 (which a plain-ASCII path is), else as the code page.
std::wstring WideFromMessage(std::string_view Text);
// LF line ends as the CR LF an edit box breaks lines at.
std::wstring EditLines(std::wstring Text);
std::optional<std::string> SystemFromWide(const std::wstring& Text);

// File types as the core names them ("Mailboxes (*.mbox)") as a file dialog's filter: pairs of
// name and patterns, each ended by NUL, then all files. Extension is the first pattern's ("mbox"),
// added to a name typed without one; empty when the patterns name none.
std::wstring SaveFilter(const std::wstring& Types, std::wstring& Extension);

// A file name offered by a message (an attachment's) as one Windows can create in any folder:
// characters it refuses in names as '_', no dots or spaces at its end (the system would drop them
// and the file be another), and a device name (CON, NUL, COM1, LPT1: "CON.txt" too) prefixed with
// '_', as such a name opens the device rather than a file.
std::wstring WindowsSafeName(const std::wstring& Name);
