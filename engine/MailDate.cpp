#include "engine/MailDate.h"

#include <array>
#include <chrono>
#include <string>
#include <vector>

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameWord(std::string_view A, std::string_view B) {
    if (A.size() != B.size()) return false;
    for (std::size_t i = 0; i < A.size(); ++i)
        if (Lower(A[i]) != Lower(B[i])) return false;
    return true;
}

// 1 to 12 for a month's name or its first three letters; 0 otherwise.
unsigned MonthOf(std::string_view Word) {
    static constexpr std::array<std::string_view, 12> names{
        "january", "february", "march",     "april",   "may",      "june",
        "july",    "august",   "september", "october", "november", "december"};
    if (Word.size() < 3) return 0;
    for (unsigned m = 0; m < names.size(); ++m)
        if (Word.size() <= names[m].size() && SameWord(Word, names[m].substr(0, Word.size())))
            return m + 1;
    return 0;
}

// The offset east of UTC in minutes of a named zone; none for a word that is no zone.
std::optional<int> NamedZone(std::string_view Word) {
    struct TZone {
        std::string_view Name;
        int Minutes;
    };
    static constexpr std::array<TZone, 12> zones{{{"ut", 0},
                                                  {"utc", 0},
                                                  {"gmt", 0},
                                                  {"z", 0},
                                                  {"est", -300},
                                                  {"edt", -240},
                                                  {"cst", -360},
                                                  {"cdt", -300},
                                                  {"mst", -420},
                                                  {"mdt", -360},
                                                  {"pst", -480},
                                                  {"pdt", -420}}};
    for (const TZone& zone : zones)
        if (SameWord(Word, zone.Name)) return zone.Minutes;
    // The military letters were defined with the wrong sign; the standard says to read them as
    // an unknown zone, that is UTC.
    if (Word.size() == 1 && IsLetter(Word[0]) && Lower(Word[0]) != 'j') return 0;
    return std::nullopt;
}

// "hh:mm" or "hh:mm:ss" ('.' is accepted between the fields too, as some mailers write it).
bool ReadTime(std::string_view Token, int& Seconds) {
    int fields[3] = {0, 0, 0};
    int count = 0;
    std::size_t at = 0;
    while (count < 3) {
        std::size_t digits = 0;
        int value = 0;
        while (at < Token.size() && IsDigit(Token[at]) && digits < 2) {
            value = value * 10 + (Token[at] - '0');
            ++at;
            ++digits;
        }
        if (digits == 0) return false;
        fields[count++] = value;
        if (at == Token.size()) break;
        if (Token[at] != ':' && Token[at] != '.') return false;
        ++at;
    }
    if (at != Token.size() || count < 2) return false;
    if (fields[0] > 23 || fields[1] > 59 || fields[2] > 60) return false;
    Seconds = fields[0] * 3600 + fields[1] * 60 + fields[2];
    return true;
}

} // namespace

std::optional<std::int64_t> ReadMailDate(std::string_view Field) {
    // Words, numbers, times and zone offsets, split at blanks, commas and dashes between a day,
    // a month and a year ("01-Jan-2001"); comments left out.
    std::vector<std::string_view> tokens;
    int comment = 0;
    for (std::size_t at = 0; at < Field.size();) {
        const char c = Field[at];
        if (c == '(') {
            ++comment;
            ++at;
            continue;
        }
        if (c == ')') {
            if (comment > 0) --comment;
            ++at;
            continue;
        }
        if (comment > 0 || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',') {
            ++at;
            continue;
        }
        // "01-Jan-2001": a dash right after a number or a word separates, it starts no zone.
        if (c == '-' && at > 0 && (IsDigit(Field[at - 1]) || IsLetter(Field[at - 1]))) {
            ++at;
            continue;
        }
        std::size_t end = at + 1;
        if (c == '+' || c == '-') {
            while (end < Field.size() && IsDigit(Field[end]))
                ++end;
        } else if (IsDigit(c)) {
            while (end < Field.size() &&
                   (IsDigit(Field[end]) || Field[end] == ':' ||
                    (Field[end] == '.' && end + 1 < Field.size() && IsDigit(Field[end + 1]))))
                ++end;
        } else if (IsLetter(c)) {
            while (end < Field.size() && IsLetter(Field[end]))
                ++end;
        } else {
            ++at; // a stray character stands for nothing
            continue;
        }
        tokens.push_back(Field.substr(at, end - at));
        at = end;
    }

    unsigned month = 0;
    std::optional<int> seconds, zone;
    std::vector<std::string_view> numbers;
    for (const std::string_view token : tokens) {
        const char first = token[0];
        if ((first == '+' || first == '-') && token.size() == 5 && !zone) {
            const int hh = (token[1] - '0') * 10 + (token[2] - '0');
            const int mm = (token[3] - '0') * 10 + (token[4] - '0');
            if (mm > 59) return std::nullopt;
            zone = (first == '-' ? -1 : 1) * (hh * 60 + mm);
        } else if (first == '+' || first == '-') {
            return std::nullopt;
        } else if (IsDigit(first) && token.find_first_of(":.") != std::string_view::npos) {
            int s = 0;
            if (seconds || !ReadTime(token, s)) return std::nullopt;
            seconds = s;
        } else if (IsDigit(first)) {
            numbers.push_back(token);
        } else if (const unsigned m = MonthOf(token); m != 0 && month == 0) {
            month = m;
        } else if (const std::optional<int> named = NamedZone(token); named && !zone) {
            zone = *named;
        }
        // Any other word (a day name, "at") says nothing about the time.
    }
    // A day and a year: the one of four digits (or above 31) is the year.
    if (month == 0 || numbers.size() != 2 || !seconds) return std::nullopt;
    auto value = [](std::string_view Digits) {
        long v = 0;
        for (const char c : Digits)
            v = v * 10 + (c - '0');
        return v;
    };
    for (const std::string_view n : numbers)
        if (n.size() > 4) return std::nullopt;
    long day = value(numbers[0]);
    std::string_view yearText = numbers[1];
    if (numbers[0].size() > 2 || (day > 31 && numbers[1].size() <= 2)) {
        day = value(numbers[1]);
        yearText = numbers[0];
    }
    long year = value(yearText);
    // Two digits are 1950 to 2049, three digits count from 1900, as the obsolete syntax says.
    if (yearText.size() <= 2)
        year += year < 50 ? 2000 : 1900;
    else if (yearText.size() == 3)
        year += 1900;
    using namespace std::chrono;
    const year_month_day date{std::chrono::year{static_cast<int>(year)}, std::chrono::month{month},
                              std::chrono::day{static_cast<unsigned>(day)}};
    if (day < 1 || !date.ok()) return std::nullopt;
    const std::int64_t days = sys_days{date}.time_since_epoch().count();
    return days * 86400 + *seconds - static_cast<std::int64_t>(zone.value_or(0)) * 60;
}
