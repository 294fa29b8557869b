#include "engine/FastStringFuncs.h"

#include <cstring>

std::string CopyRange(std::string_view Text, std::ptrdiff_t Start, std::ptrdiff_t Count) {
    const auto n = static_cast<std::ptrdiff_t>(Text.size());
    if (n == 0 || Start < 1 || Count < 1 || Start > n) return {};
    if (Count > n - Start + 1) Count = n - Start + 1;
    return std::string(
        Text.substr(static_cast<std::size_t>(Start - 1), static_cast<std::size_t>(Count)));
}
