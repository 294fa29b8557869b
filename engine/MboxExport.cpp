#include "engine/MboxExport.h"

#include <array>
#include <cstdio>
#include <optional>

#include "engine/Export.h"
#include "engine/MailDate.h"

namespace {

bool AddressByte(unsigned char c) {
    return c > 0x20 && c < 0x7F && c != '<' && c != '>' && c != '"' && c != ',';
}

bool Plausible(std::string_view Address) {
    const std::size_t at = Address.find('@');
    if (at == 0 || at == std::string_view::npos || at + 1 == Address.size()) return false;
    for (char c : Address)
        if (!AddressByte(static_cast<unsigned char>(c))) return false;
    return true;
}

} // namespace

std::string MboxSender(std::string_view FromField) {
    const std::size_t open = FromField.rfind('<');
    if (open != std::string_view::npos) {
        const std::size_t close = FromField.find('>', open);
        if (close != std::string_view::npos) {
            const std::string_view inside = FromField.substr(open + 1, close - open - 1);
            if (Plausible(inside)) return std::string(inside);
        }
    }
    // A bare address: the word holding '@'.
    std::size_t start = 0;
    while (start < FromField.size()) {
        std::size_t end = start;
        while (end < FromField.size() && AddressByte(static_cast<unsigned char>(FromField[end])))
            ++end;
        if (Plausible(FromField.substr(start, end - start)))
            return std::string(FromField.substr(start, end - start));
        start = end + 1;
    }
    return "MAILER-DAEMON";
}

std::string MboxDate(std::chrono::system_clock::time_point When) {
    using namespace std::chrono;
    static constexpr std::array<const char*, 7> dayNames{"Sun", "Mon", "Tue", "Wed",
                                                         "Thu", "Fri", "Sat"};
    static constexpr std::array<const char*, 12> monthNames{
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const sys_days day = floor<days>(When);
    const year_month_day ymd{day};
    const hh_mm_ss<seconds> time{floor<seconds>(When - day)};
    char text[64];
    std::snprintf(
        text, sizeof text, "%s %s %2u %02d:%02d:%02d %d", dayNames[weekday{day}.c_encoding()],
        monthNames[static_cast<unsigned>(ymd.month()) - 1], static_cast<unsigned>(ymd.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(ymd.year()));
    return text;
}

namespace {

// One message of the mailbox: its "From " line, its quoted lines and the empty line after it.
// The line carries the message's own date where its Date field can be read (mail programs show
// it as the time received), else WhenWritten.
void AppendMboxMessage(std::string& Out, const TFoundEmails& Emails, std::size_t Item,
                       const std::string& WhenWritten) {
    const TEmailHeaders headers = Emails.Headers(Item);
    const std::optional<std::int64_t> sent = ReadMailDate(headers.Date);
    Out.append("From ")
        .append(MboxSender(headers.From))
        .append(" ")
        .append(sent ? MboxDate(std::chrono::system_clock::time_point(std::chrono::seconds(*sent)))
                     : WhenWritten)
        .append("\n");
    const std::string stored = Emails.FullText(Item);
    std::string_view text = stored;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        const std::string_view line = text.substr(0, nl == std::string_view::npos ? nl : nl + 1);
        std::size_t quotes = 0;
        while (quotes < line.size() && line[quotes] == '>')
            ++quotes;
        if (line.substr(quotes).starts_with("From ")) Out += '>';
        Out.append(line);
        text.remove_prefix(line.size());
    }
    if (!stored.empty() && stored.back() != '\n') Out += '\n';
    Out += '\n';
}

} // namespace

std::string MboxText(const TFoundEmails& Emails, const std::vector<std::size_t>& Items,
                     std::chrono::system_clock::time_point When) {
    const std::string date = MboxDate(When);
    std::string out;
    for (std::size_t item : Items)
        if (item < Emails.size()) AppendMboxMessage(out, Emails, item, date);
    return out;
}

std::string WriteMbox(const std::string& File, const TFoundEmails& Emails,
                      const std::vector<std::size_t>& Items, bool Replace) {
    // A message at a time: the mailbox may be far larger than memory.
    const std::string date = MboxDate(std::chrono::system_clock::now());
    std::size_t next = 0;
    return WriteFileInPieces(
        File,
        [&](std::string& Piece) {
            while (next < Items.size() && Items[next] >= Emails.size())
                ++next;
            if (next == Items.size()) return false;
            Piece.clear();
            AppendMboxMessage(Piece, Emails, Items[next++], date);
            return true;
        },
        RealExportOutput(), Replace);
}
