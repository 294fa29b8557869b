#pragma once

// The program's byte world is Windows-1252: stored bytes are shown as its characters and a keyword
// typed by the user becomes its bytes. Plain C++, so every view (and the CLI) converts alike. The
// program's one UTF-8 encoder and checker live here too, for every layer above.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The character a byte stands for in Windows-1252. The five bytes the code page leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for the C1 controls of the same code, as the system's own
// conversion maps them.
char32_t CharFrom1252(unsigned char Byte);

// Bytes as UTF-8 text, each byte one character.
std::string Utf8From1252(std::string_view Bytes);

// UTF-8 text as Windows-1252 bytes. When a character has no byte there, or the text is not valid
// UTF-8, answers nullopt and puts that character (U+FFFD for a bad sequence) in Unmappable.
std::optional<std::string> BytesFromUtf8(std::string_view Utf8, char32_t& Unmappable);

// One character appended as UTF-8.
void AppendUtf8(std::string& Out, char32_t C);
std::string Utf8Of(char32_t C);

// Text made valid UTF-8: each byte that does not begin a well-formed character (overlong forms,
// surrogates and code points past U+10FFFF included) becomes U+FFFD; NUL stays.
std::string ValidUtf8(std::string_view Text);
