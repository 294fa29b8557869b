#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Forward Boyer-Moore-Horspool searches over byte strings. Positions are 1-based; 0 = not found.

// UpperTable[b] is the upper-case form of byte b (Windows-1252 folding off Windows,
// CharUpperBuffA on Windows). Built once before first use, read-only afterwards.
extern const unsigned char* const UpperTable;

using TSkipTable = std::int32_t[256];

// Raise TPwError("BufferLen is 0") on an empty pattern.
void BuildSkipTable(const unsigned char* Pattern, std::size_t PatternLength, TSkipTable& Table);
void BuildSkipTableNoCase(const unsigned char* Pattern, std::size_t PatternLength,
                          TSkipTable& Table);

// TextLength and PatternLength are clipped to the lengths of the views; a Start below 1 counts
// as 1.
std::size_t ForwardSearch(std::string_view Text, std::string_view Pattern, std::size_t TextLength,
                          std::size_t PatternLength, std::size_t Start);
std::size_t ForwardSearchNoCase(std::string_view Text, std::string_view Pattern,
                                std::size_t TextLength, std::size_t PatternLength,
                                std::size_t Start);

std::size_t SearchText(std::string_view Pattern, std::string_view Text, bool CaseSensitive,
                       std::size_t Start);

// ForwardSearch with a skip table the caller built once with BuildSkipTable for this Pattern
// (for fixed patterns searched many times, such as the quote marker). Same answers.
std::size_t ForwardSearchPrepared(std::string_view Text, std::string_view Pattern,
                                  const TSkipTable& Table, std::size_t Start);

// Position (1-based) of the CR of the first CR LF at or after Start, or 0: the answer of
// ForwardSearch(Text, "\r\n", Text.size(), 2, Start), found by scanning for LF bytes with memchr,
// which runs far faster over long lines than the two-byte Horspool shift.
std::size_t FindLineEnd(std::string_view Text, std::size_t Start);
// The same answers by the program's own search (see PW_OWN_BYTE_SEARCH in FastStringFuncs.h):
// CR LF pairs 64 at a time where the processor has AVX2, 32 with SSE2, else a byte at a time.
std::size_t FindLineEndOwn(std::string_view Text, std::size_t Start);
