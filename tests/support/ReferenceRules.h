#pragma once

// The carving rules written as plainly as possible, line by line, for tests and fuzz targets to
// check the engine's fast forms against. Slow on purpose: no shortcut the engine takes is taken.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/Globals.h"

namespace RefRules {

inline const std::string CRLF = "\r\n";
inline const std::string Marker = "----- Original Message -----";
inline const std::vector<std::string> Known = {"RETURN-PATH", "REPLY-TO",   "ENVELOPE-TO", "DELIVERY-DATE",
                                        "RECEIVED",    "MESSAGE-ID", "FROM",        "TO",
                                        "SUBJECT",     "DATE"};

struct RefField {
    bool isField = false;
    std::string name, value;
};

inline RefField RefParse(std::string_view line) {
    RefField f;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0 || line[0] == ' ') return f;
    if (colon + 1 >= line.size() || line[colon + 1] != ' ') return f;
    for (std::size_t i = 0; i < colon; ++i) {
        const auto b = static_cast<unsigned char>(line[i]);
        if (b < 0x21 || b > 0x7E) return f;
    }
    f.isField = true;
    f.name = line.substr(0, colon);
    const long count = static_cast<long>(line.size()) - static_cast<long>(colon) - 3;
    if (count > 0) f.value = line.substr(colon + 1, static_cast<std::size_t>(count));
    return f;
}

inline std::string RefUpper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return s;
}

inline bool RefKnown(const RefField& f) {
    for (const auto& k : Known)
        if (RefUpper(f.name) == k) return true;
    return false;
}

// Lines of s, each with its CR LF; the bytes after the last CR LF are no line.
inline std::vector<std::pair<std::size_t, std::string>> RefLines(const std::string& s) {
    std::vector<std::pair<std::size_t, std::string>> lines;
    std::size_t p = 0;
    for (;;) {
        const std::size_t c = s.find(CRLF, p);
        if (c == std::string::npos) break;
        lines.emplace_back(p, s.substr(p, c + 2 - p));
        p = c + 2;
    }
    return lines;
}

inline bool RefIsMessageStart(const std::string& window, std::uint32_t sectorSize) {
    std::size_t i = 0;
    int count = 0;
    bool inHeader = false, closed = false;
    for (const auto& [p, line] : RefLines(window)) {
        if (closed) break;
        const std::size_t c = p + line.size() - 1; // 1-based position of the CR
        const RefField f = RefParse(line);
        if (f.isField && RefKnown(f)) {
            if (!inHeader && c < sectorSize && i == 0) {
                inHeader = true;
                count = 1;
            } else if (inHeader) {
                ++count;
            }
        }
        if (!f.isField && line == CRLF && inHeader) {
            inHeader = false;
            closed = true;
        }
        ++i;
    }
    return closed && count >= 3;
}

inline void RefStore(const RefField& f, TEmail& e) {
    const std::string n = RefUpper(f.name);
    if (n == "FROM")
        e.From = f.value;
    else if (n == "TO")
        e.To = f.value;
    else if (n == "SUBJECT")
        e.Subject = f.value;
    else if (n == "DATE")
        e.Date = f.value;
}

inline TEmailArray RefExtract(const std::string& text, std::vector<std::size_t>& starts) {
    TEmailArray list;
    starts.clear();
    bool inHeader = false, inBody = false, inQuote = false;
    for (const auto& [p, line] : RefLines(text)) {
        const RefField f = RefParse(line);
        if (f.isField) {
            if (RefKnown(f) && !inQuote) {
                if (!inHeader) {
                    list.emplace_back();
                    starts.push_back(p);
                    inHeader = true;
                    inBody = false;
                }
                RefStore(f, list.back());
            }
        } else if (line == CRLF && inHeader) {
            inHeader = false;
            inBody = true;
        } else if (line == CRLF && inQuote) {
            inQuote = false;
        } else if (line.find(Marker) != std::string::npos) {
            inQuote = true;
        }
        if (inHeader || inBody) list.back().FullText += line;
        if (inBody) list.back().Body += line;
    }
    return list;
}

// A header line (a name of printable bytes, a colon, a space) and a known one.
inline bool RefIsHeaderLine(std::string_view Line) {
    return RefParse(Line).isField;
}
inline bool RefIsKnownHeaderLine(std::string_view Line) {
    const RefField f = RefParse(Line);
    return f.isField && RefKnown(f);
}

// The bytes a stored message's text is made of under the standard rule.
inline bool RefIsTextByte(unsigned char b) {
    return b == 9 || b == 10 || b == 11 || b == 13 || (b >= 0x20 && b <= 0x7E);
}

} // namespace RefRules
