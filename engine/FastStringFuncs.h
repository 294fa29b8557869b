#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Position (1-based) of the first byte b at or after Start, or 0.
std::size_t FindCharFrom(std::string_view Text, char b, std::size_t Start);

// Count bytes from Start (1-based), clipped at the end of Text; empty for a start past the end,
// Start < 1 or Count < 1.
std::string CopyRange(std::string_view Text, std::ptrdiff_t Start, std::ptrdiff_t Count);
