#include "CliFormat.h"

#include <charconv>

#include "ResultView.h"

namespace {

void AppendLatin1(std::string& Out, unsigned char b) {
    if (b < 0x80) {
        Out += static_cast<char>(b);
    } else {
        Out += static_cast<char>(0xC0 | (b >> 6));
        Out += static_cast<char>(0x80 | (b & 0x3F));
    }
}

// Counts characters as a terminal shows them: UTF-8 continuation bytes take no column.
std::size_t Columns(std::string_view Utf8) {
    std::size_t n = 0;
    for (unsigned char c : Utf8)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

// Cuts a field to Width columns, marking the cut.
std::string Fit(const std::string& Text, std::size_t Width) {
    if (Columns(Text) <= Width) return Text + std::string(Width - Columns(Text), ' ');
    std::string out;
    std::size_t cols = 0;
    for (std::size_t i = 0; i < Text.size(); ++i) {
        const auto c = static_cast<unsigned char>(Text[i]);
        if ((c & 0xC0) != 0x80) {
            if (cols == Width - 3) break;
            ++cols;
        }
        out += Text[i];
    }
    return out + "...";
}

} // namespace

std::string JsonByteString(std::string_view Bytes) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(Bytes.size() + Bytes.size() / 8 + 2);
    out += '"';
    for (char ch : Bytes) {
        const auto b = static_cast<unsigned char>(ch);
        switch (b) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (b < 0x20 || b == 0x7F) {
                out += "\\u00";
                out += hex[b >> 4];
                out += hex[b & 15];
            } else {
                AppendLatin1(out, b);
            }
        }
    }
    out += '"';
    return out;
}

std::string FormatJson(const TEmailArray& Emails, const std::vector<std::uint64_t>& Offsets,
                       const std::vector<std::size_t>& Rows,
                       const std::vector<std::string>& Rules,
                       const std::function<std::string(std::size_t)>& MoreFields) {
    std::string out = "[";
    bool first = true;
    for (std::size_t item : Rows) {
        const TEmail& e = Emails[item];
        out += first ? "\n" : ",\n";
        first = false;
        out += "  {\"item\": " + std::to_string(item);
        out += ", \"offset\": " + std::to_string(item < Offsets.size() ? Offsets[item] : 0);
        out += ", \"rule\": " + JsonByteString(item < Rules.size() ? Rules[item] : "standard");
        out += ", \"date\": " + JsonByteString(e.Date);
        out += ", \"from\": " + JsonByteString(e.From);
        out += ", \"to\": " + JsonByteString(e.To);
        out += ", \"subject\": " + JsonByteString(e.Subject);
        out += ", \"body\": " + JsonByteString(e.Body);
        out += ", \"fulltext\": " + JsonByteString(e.FullText);
        if (MoreFields) out += MoreFields(item);
        out += "}";
    }
    out += first ? "]\n" : "\n]\n";
    return out;
}

std::string TerminalText(std::string_view Bytes) {
    std::string out;
    out.reserve(Bytes.size());
    for (char ch : Bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (b == '\t')
            out += ' ';
        else if (b < 0x20 || b == 0x7F || (b >= 0x80 && b < 0xA0))
            out += '?';
        else
            AppendLatin1(out, b);
    }
    return out;
}

std::string FormatTable(const TEmailArray& Emails, const std::vector<std::size_t>& Rows) {
    static constexpr std::size_t kDate = 32, kFrom = 32, kTo = 32, kSubject = 60;
    std::size_t numWidth = 8; // "Item Num"
    for (std::size_t item : Rows)
        numWidth = std::max(numWidth, std::to_string(item).size());
    auto line = [&](const std::string& num, const std::string& date, const std::string& from,
                    const std::string& to, const std::string& subject) {
        std::string l = std::string(numWidth - num.size(), ' ') + num + "  " + Fit(date, kDate) +
                        "  " + Fit(from, kFrom) + "  " + Fit(to, kTo) + "  " +
                        Fit(subject, kSubject);
        while (!l.empty() && l.back() == ' ')
            l.pop_back();
        return l + "\n";
    };
    std::string out = line(ColumnCaption(TResultColumn::ItemNum),
                           ColumnCaption(TResultColumn::Date), ColumnCaption(TResultColumn::From),
                           ColumnCaption(TResultColumn::To), ColumnCaption(TResultColumn::Subject));
    for (std::size_t item : Rows) {
        const TEmail& e = Emails[item];
        out += line(std::to_string(item), TerminalText(e.Date), TerminalText(e.From),
                    TerminalText(e.To), TerminalText(e.Subject));
    }
    return out;
}

std::optional<std::vector<std::size_t>> ParseRowList(std::string_view Text) {
    std::vector<std::size_t> rows;
    auto number = [](std::string_view s, std::size_t& v) {
        if (s.empty()) return false;
        const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
        return r.ec == std::errc() && r.ptr == s.data() + s.size();
    };
    while (true) {
        const std::size_t comma = Text.find(',');
        std::string_view part = Text.substr(0, comma);
        while (!part.empty() && part.front() == ' ')
            part.remove_prefix(1);
        while (!part.empty() && part.back() == ' ')
            part.remove_suffix(1);
        const std::size_t dash = part.find('-');
        std::size_t a = 0, b = 0;
        if (dash == std::string_view::npos) {
            if (!number(part, a)) return std::nullopt;
            rows.push_back(a);
        } else {
            if (!number(part.substr(0, dash), a) || !number(part.substr(dash + 1), b) || b < a ||
                b - a > 10000000)
                return std::nullopt;
            for (std::size_t v = a; v <= b; ++v)
                rows.push_back(v);
        }
        if (comma == std::string_view::npos) break;
        Text.remove_prefix(comma + 1);
    }
    return rows;
}
