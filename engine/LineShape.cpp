#include "engine/LineShape.h"

#include <algorithm>
#include <array>

using namespace std::string_view_literals;

bool IsHttpStartLine(std::string_view Line) {
    if (Line.substr(0, 5) == "HTTP/"sv) return true;
    std::size_t i = 0;
    while (i < Line.size() && Line[i] >= 'A' && Line[i] <= 'Z')
        ++i;
    if (i < 3 || i > 7 || i >= Line.size() || Line[i] != ' ') return false;
    const std::size_t target = Line.find(' ', i + 1);
    return target != std::string_view::npos && Line.substr(target + 1, 5) == "HTTP/"sv;
}

namespace {

bool Digits(std::string_view W, std::size_t Min, std::size_t Max) {
    if (W.size() < Min || W.size() > Max) return false;
    for (const char c : W)
        if (c < '0' || c > '9') return false;
    return true;
}

// hh:mm or hh:mm:ss
bool IsClock(std::string_view W) {
    return (W.size() == 5 || W.size() == 8) && Digits(W.substr(0, 2), 2, 2) && W[2] == ':' &&
           Digits(W.substr(3, 2), 2, 2) &&
           (W.size() == 5 || (W[5] == ':' && Digits(W.substr(6), 2, 2)));
}

} // namespace

bool IsSeparatorLine(std::string_view Line) {
    if (Line.size() < 5 || std::memcmp(Line.data(), "From ", 5) != 0) return false;
    std::array<std::string_view, 7> word{};
    std::size_t count = 0, i = 5;
    const std::size_t end = Line.size() - EndLength(Line);
    while (count < word.size() && i < end) {
        if (Line[i] == ' ' || Line[i] == '\t') {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < end && Line[j] != ' ' && Line[j] != '\t')
            ++j;
        word[count++] = Line.substr(i, j - i);
        i = j;
    }
    if (count < 6) return false;
    constexpr std::array<std::string_view, 7> Days = {"Mon"sv, "Tue"sv, "Wed"sv, "Thu"sv,
                                                      "Fri"sv, "Sat"sv, "Sun"sv};
    constexpr std::array<std::string_view, 12> Months = {"Jan"sv, "Feb"sv, "Mar"sv, "Apr"sv,
                                                         "May"sv, "Jun"sv, "Jul"sv, "Aug"sv,
                                                         "Sep"sv, "Oct"sv, "Nov"sv, "Dec"sv};
    if (std::find(Days.begin(), Days.end(), word[1]) == Days.end()) return false;
    if (std::find(Months.begin(), Months.end(), word[2]) == Months.end()) return false;
    if (!Digits(word[3], 1, 2) || !IsClock(word[4])) return false;
    return Digits(word[5], 4, 4) || (count >= 7 && Digits(word[6], 4, 4));
}
