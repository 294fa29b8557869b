#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Forward Boyer-Moore-Horspool searches over byte strings. Positions are 1-based; 0 = not found.

// UpperTable[b] is the upper-case form of byte b (Windows-1252 folding off Windows,
// CharUpperBuffA on Windows). Built once before first use, read-only afterwards.
extern const unsigned char* const UpperTable;

using TSkipTable = std::int32_t[256];

// Raise PwError("BufferLen is 0") on an empty pattern.
void BuildSkipTable(const unsigned char* Pattern, std::size_t PatternLength, TSkipTable& Table);
void BuildSkipTableNoCase(const unsigned char* Pattern, std::size_t PatternLength,
                          TSkipTable& Table);

std::size_t ForwardSearch(std::string_view Text, std::string_view Pattern, std::size_t TextLength,
                          std::size_t PatternLength, std::size_t Start);
std::size_t ForwardSearchNoCase(std::string_view Text, std::string_view Pattern,
                                std::size_t TextLength, std::size_t PatternLength,
                                std::size_t Start);

std::size_t SearchText(std::string_view Pattern, std::string_view Text, bool CaseSensitive,
                       std::size_t Start);
