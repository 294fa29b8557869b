#include "app/CliFormat.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

#include "engine/ResultView.h"

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

bool AppendJsonEscape(std::string& Out, unsigned char Byte) {
    static constexpr char hex[] = "0123456789abcdef";
    switch (Byte) {
    case '"':
        Out += "\\\"";
        return true;
    case '\\':
        Out += "\\\\";
        return true;
    case '\n':
        Out += "\\n";
        return true;
    case '\r':
        Out += "\\r";
        return true;
    case '\t':
        Out += "\\t";
        return true;
    default:
        if (Byte >= 0x20 && Byte != 0x7F) return false;
        Out += "\\u00";
        Out += hex[Byte >> 4];
        Out += hex[Byte & 15];
        return true;
    }
}

void AppendJsonByteString(std::string& Out, std::string_view Bytes) {
    Out += '"';
    // Most bytes of mail go out as they are: they are copied in runs, not one at a time.
    std::size_t plain = 0;
    for (std::size_t i = 0; i < Bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(Bytes[i]);
        if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') continue;
        Out.append(Bytes.data() + plain, i - plain);
        if (!AppendJsonEscape(Out, b)) AppendLatin1(Out, b);
        plain = i + 1;
    }
    Out.append(Bytes.data() + plain, Bytes.size() - plain);
    Out += '"';
}

std::string JsonByteString(std::string_view Bytes) {
    std::string out;
    out.reserve(Bytes.size() + Bytes.size() / 8 + 2);
    AppendJsonByteString(out, Bytes);
    return out;
}

namespace {

constexpr const char* JsonFieldNameList[] = {
    "item",     "offset",  "rule",   "date",    "from",           "to",    "subject", "body",
    "fulltext", "decoded", "sha256", "copy_of", "client_deleted", "inside"};

} // namespace

std::string JsonFieldNames() {
    std::string names;
    for (const char* name : JsonFieldNameList)
        names.append(names.empty() ? "" : ", ").append(name);
    return names;
}

std::optional<unsigned> ParseJsonFields(std::string_view Text, std::string& Unknown) {
    unsigned fields = 0;
    while (!Text.empty()) {
        const std::size_t comma = Text.find(',');
        std::string_view name = Text.substr(0, comma);
        Text.remove_prefix(comma == std::string_view::npos ? Text.size() : comma + 1);
        while (!name.empty() && name.front() == ' ')
            name.remove_prefix(1);
        while (!name.empty() && name.back() == ' ')
            name.remove_suffix(1);
        if (name.empty()) continue;
        const auto* known =
            std::find(std::begin(JsonFieldNameList), std::end(JsonFieldNameList), name);
        if (known == std::end(JsonFieldNameList)) {
            Unknown = std::string(name);
            return std::nullopt;
        }
        fields |= 1u << (known - std::begin(JsonFieldNameList));
    }
    if (fields == 0) {
        Unknown.clear();
        return std::nullopt;
    }
    return fields;
}

void AppendJsonObject(std::string& Out, const TFoundEmails& Emails, std::size_t Item,
                      const TEmailPlace& Place, unsigned Fields,
                      const std::function<std::string(std::size_t)>& MoreFields) {
    // Written into one string as it goes: a scan prints one object per message, and temporary
    // strings for each field cost more than the printing.
    std::string& out = Out;
    const std::size_t fieldsFrom = out.size() + 1; // just past the "{"
    out += '{';
    // A field's name, and its value when a number, are put together in one piece and appended
    // at once: a scan prints an object per message, and each append is a call.
    struct TPiece {
        char Bytes[64];
        std::size_t Size = 0;
        void Add(std::string_view Text) {
            std::memcpy(Bytes + Size, Text.data(), Text.size());
            Size += Text.size();
        }
    };
    const auto named = [&out, fieldsFrom]<std::size_t N>(TPiece& Piece, const char(&Name)[N]) {
        static_assert(N <= 24, "a name fits its piece beside a number");
        Piece.Add(out.size() > fieldsFrom ? std::string_view(", \"") : std::string_view("\""));
        Piece.Add(std::string_view(Name, N - 1));
        Piece.Add("\": ");
    };
    const auto name = [&]<std::size_t N>(const char(&Name)[N]) {
        TPiece piece;
        named(piece, Name);
        out.append(piece.Bytes, piece.Size);
    };
    const auto digits = [&out](std::uint64_t Value) {
        char bytes[24];
        out.append(bytes, static_cast<std::size_t>(
                              std::to_chars(bytes, bytes + sizeof bytes, Value).ptr - bytes));
    };
    const auto number = [&]<std::size_t N>(const char(&Name)[N], std::uint64_t Value) {
        TPiece piece;
        named(piece, Name);
        piece.Size = static_cast<std::size_t>(
            std::to_chars(piece.Bytes + piece.Size, piece.Bytes + sizeof piece.Bytes, Value).ptr -
            piece.Bytes);
        out.append(piece.Bytes, piece.Size);
    };
    const auto text = [&]<std::size_t N>(const char(&Name)[N], std::string_view Value) {
        name(Name);
        AppendJsonByteString(out, Value);
    };
    if (Fields & JsonItem) number("item", Item);
    if (Fields & JsonOffset) number("offset", Place.Offset);
    if (Fields & JsonRule) text("rule", CarvingRuleName(Place.Rule));
    if (Fields & (JsonDate | JsonFrom | JsonTo | JsonSubject)) {
        const TEmailHeaders h = Emails.Headers(Item);
        if (Fields & JsonDate) text("date", h.Date);
        if (Fields & JsonFrom) text("from", h.From);
        if (Fields & JsonTo) text("to", h.To);
        if (Fields & JsonSubject) text("subject", h.Subject);
    }
    if (Fields & JsonBody) text("body", Emails.Body(Item));
    if (Fields & JsonFullText) text("fulltext", Emails.FullText(Item));
    if (MoreFields) {
        // Each of these fields comes as ", \"name\": value"; as the first, without its ", ".
        const std::string more = MoreFields(Item);
        out.append(more, out.size() > fieldsFrom || more.empty() ? 0 : 2);
    }
    if (Fields & JsonClientDeleted) {
        name("client_deleted");
        out += Emails.ClientDeleted(Item) ? "true" : "false";
    }
    if (Fields & JsonInside) {
        name("inside");
        out += '[';
        for (std::size_t i = 0; i < Place.Inside.size(); ++i) {
            const TStreamStep& step = Place.Inside[i];
            if (i > 0) out += ", ";
            out += "{\"kind\": \"";
            out += StreamKindName(step.Kind);
            out += "\", \"offset\": ";
            digits(step.Offset);
            out += ", \"at\": ";
            digits(step.At);
            out += '}';
        }
        out += ']';
    }
    out += '}';
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

void FormatTable(const TFoundEmails& Emails, const std::vector<std::size_t>& Rows,
                 const std::function<void(std::string_view)>& Write) {
    static constexpr std::size_t DateWidth = 32, FromWidth = 32, ToWidth = 32, SubjectWidth = 60;
    std::size_t numWidth = 8; // "Item Num"
    for (std::size_t item : Rows)
        numWidth = std::max(numWidth, std::to_string(item).size());
    auto line = [&](const std::string& num, const std::string& date, const std::string& from,
                    const std::string& to, const std::string& subject) {
        std::string l = std::string(numWidth - num.size(), ' ') + num + "  " +
                        Fit(date, DateWidth) + "  " + Fit(from, FromWidth) + "  " +
                        Fit(to, ToWidth) + "  " + Fit(subject, SubjectWidth);
        while (!l.empty() && l.back() == ' ')
            l.pop_back();
        return l + "\n";
    };
    // Handed on in pieces of some KiB: a million rows are more than is worth holding at once.
    std::string out = line(ColumnCaption(TResultColumn::ItemNum),
                           ColumnCaption(TResultColumn::Date), ColumnCaption(TResultColumn::From),
                           ColumnCaption(TResultColumn::To), ColumnCaption(TResultColumn::Subject));
    for (std::size_t item : Rows) {
        const TEmailHeaders e = Emails.Headers(item);
        out += line(std::to_string(item), TerminalText(e.Date), TerminalText(e.From),
                    TerminalText(e.To), TerminalText(e.Subject));
        if (out.size() >= 65536) {
            Write(out);
            out.clear();
        }
    }
    Write(out);
}

std::optional<std::uint64_t> ParseDecimal(std::string_view Text) {
    if (Text.empty() || Text.size() > 20) return std::nullopt;
    for (char c : Text)
        if (c < '0' || c > '9') return std::nullopt;
    std::uint64_t v = 0;
    const auto r = std::from_chars(Text.data(), Text.data() + Text.size(), v, 10);
    if (r.ec != std::errc() || r.ptr != Text.data() + Text.size()) return std::nullopt;
    return v;
}

std::optional<std::vector<TRowRange>> ParseRowList(std::string_view Text) {
    // A list longer than any real choice is refused rather than held.
    constexpr std::size_t MostStretches = 100000;
    std::vector<TRowRange> ranges;
    auto number = [](std::string_view s, std::size_t& v) {
        const auto n = ParseDecimal(s);
        if (!n || *n > std::numeric_limits<std::size_t>::max()) return false;
        v = static_cast<std::size_t>(*n);
        return true;
    };
    while (true) {
        if (ranges.size() == MostStretches) return std::nullopt;
        const std::size_t comma = Text.find(',');
        std::string_view part = Text.substr(0, comma);
        while (!part.empty() && part.front() == ' ')
            part.remove_prefix(1);
        while (!part.empty() && part.back() == ' ')
            part.remove_suffix(1);
        const std::size_t dash = part.find('-');
        TRowRange r;
        if (dash == std::string_view::npos) {
            if (!number(part, r.First)) return std::nullopt;
            r.Last = r.First;
        } else if (!number(part.substr(0, dash), r.First) ||
                   !number(part.substr(dash + 1), r.Last) || r.Last < r.First) {
            return std::nullopt;
        }
        ranges.push_back(r);
        if (comma == std::string_view::npos) break;
        Text.remove_prefix(comma + 1);
    }
    return ranges;
}

std::vector<std::size_t> ExpandRowList(const std::vector<TRowRange>& Ranges, std::size_t RowCount,
                                       std::optional<std::size_t>& FirstOutside) {
    std::vector<std::size_t> rows;
    std::vector<bool> taken(RowCount, false);
    for (const TRowRange& r : Ranges) {
        if (r.Last >= RowCount && !FirstOutside) FirstOutside = std::max(r.First, RowCount);
        for (std::size_t p = r.First; p <= r.Last && p < RowCount; ++p)
            if (!taken[p]) {
                taken[p] = true;
                rows.push_back(p);
            }
    }
    return rows;
}

std::string DisplayName(std::string_view Name) {
    const bool plain = std::none_of(Name.begin(), Name.end(), [](char ch) {
        const auto b = static_cast<unsigned char>(ch);
        return b < 0x20 || b == 0x7F;
    });
    if (plain) return std::string(Name);
    static constexpr char hex[] = "0123456789abcdef";
    std::string out = "$'";
    for (char ch : Name) {
        const auto b = static_cast<unsigned char>(ch);
        switch (ch) {
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\'':
            out += "\\'";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (b < 0x20 || b == 0x7F) {
                out += "\\x";
                out += hex[b >> 4];
                out += hex[b & 15];
            } else {
                out += ch;
            }
        }
    }
    return out + "'";
}
