#include "engine/ClientFlags.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/FastStringFuncs.h"
#include "engine/HeaderNames.h"

namespace {

// Header blocks longer than this are not a mail program's own.
constexpr std::size_t BlockReach = 256 * 1024;

std::string_view Trimmed(std::string_view V) {
    while (!V.empty() && (V.front() == ' ' || V.front() == '\t'))
        V.remove_prefix(1);
    while (!V.empty() && (V.back() == ' ' || V.back() == '\t' || V.back() == '\r'))
        V.remove_suffix(1);
    return V;
}

// "0009": hexadecimal digits, at most eight of them.
bool MozillaExpunged(std::string_view Value) {
    Value = Trimmed(Value);
    if (Value.empty() || Value.size() > 8) return false;
    std::uint32_t bits = 0;
    for (char c : Value) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        bits = bits * 16 + static_cast<std::uint32_t>(d);
    }
    return (bits & 0x0008u) != 0;
}

// "RO", "ADF": flag letters only (upper case, as mail programs write them), one of them D.
bool FlagsDeleted(std::string_view Value) {
    Value = Trimmed(Value);
    if (Value.empty() || Value.size() > 16) return false;
    bool deleted = false;
    for (char c : Value) {
        if (c < 'A' || c > 'Z') return false;
        deleted = deleted || c == 'D';
    }
    return deleted;
}

} // namespace

bool IsClientDeleted(std::string_view FullText) {
    const std::string_view block = FullText.substr(0, BlockReach);
    enum TWhich { None, Mozilla, Status, XStatus };
    bool seen[4] = {};
    TWhich current = None;
    std::string value; // the current line's value with its folded continuations
    bool deleted = false;
    auto settle = [&] {
        if (current == Mozilla) deleted = deleted || MozillaExpunged(value);
        if (current == Status || current == XStatus) deleted = deleted || FlagsDeleted(value);
        current = None;
        value.clear();
    };
    std::size_t at = 0;
    while (at < block.size() && !deleted) {
        // Every message's every header line passes here, and header lines are short: the search
        // in line, not a call to the library's.
        const std::size_t lf = FindCharFromOwn(block, '\n', at + 1);
        const bool last = lf == 0;
        const std::size_t end = last ? block.size() : lf - 1;
        std::string_view line = block.substr(at, end - at);
        at = last ? block.size() : end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) break; // the block's end
        if (line.front() == ' ' || line.front() == '\t') {
            if (current != None) value.append(line);
            continue;
        }
        settle();
        // The names looked for start with X or S, most lines' names with neither.
        const char first = line.front();
        if (first != 'X' && first != 'x' && first != 'S' && first != 's') continue;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view name = line.substr(0, colon);
        TWhich which = None;
        if (EqualsNoCase(name, "X-Mozilla-Status"))
            which = Mozilla;
        else if (EqualsNoCase(name, "Status"))
            which = Status;
        else if (EqualsNoCase(name, "X-Status"))
            which = XStatus;
        if (which == None || seen[which]) continue;
        seen[which] = true;
        current = which;
        value.assign(line.substr(colon + 1));
    }
    settle();
    return deleted;
}
