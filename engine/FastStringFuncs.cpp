#include "FastStringFuncs.h"

#include <cstring>

std::size_t FindCharFrom(std::string_view Text, char b, std::size_t Start) {
    if (Start < 1) Start = 1;
    const std::size_t n = Text.size();
    if (n == 0 || Start > n) return 0;
    const void* hit =
        std::memchr(Text.data() + Start - 1, static_cast<unsigned char>(b), n - (Start - 1));
    if (hit == nullptr) return 0;
    return static_cast<std::size_t>(static_cast<const char*>(hit) - Text.data()) + 1;
}

std::string CopyRange(std::string_view Text, std::ptrdiff_t Start, std::ptrdiff_t Count) {
    const auto n = static_cast<std::ptrdiff_t>(Text.size());
    if (n == 0 || Start < 1 || Count < 1 || Start > n) return {};
    if (Count > n - Start + 1) Count = n - Start + 1;
    return std::string(
        Text.substr(static_cast<std::size_t>(Start - 1), static_cast<std::size_t>(Count)));
}
