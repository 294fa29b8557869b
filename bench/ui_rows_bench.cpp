// The desktop program at a quarter of a million rows of mail (MIME, encoded words in several
// charsets, dates of every kind, copies): the list shown, every column sorted, the keyword filter,
// the decoded text search and Hide Copies, each timed through the window (offscreen) against a
// baseline measured in the same run, and the peak memory against 300 MiB + 200 B per row.
//
// Baselines: the engine's own work for the same rows (byte sort, keyword rows, copies rows), and
// the window's earlier way, kept here only: the header fields of every row decoded on the
// window's thread at the first decoded sort (kept in a map of decoded messages), and every
// message decoded whole on the window's thread for each text search.
//
//   ui_rows_bench [ROWS | IMAGE]   ROWS: 250000 unless given. IMAGE: a disk image whose deep scan
//                                  gives the rows instead (a mail-dense one, say).
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QTableView>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "disk/SystemLayer.h"
#include "engine/Copies.h"
#include "engine/ResultView.h"
#include "engine/ScanHardDisk.h"
#include "mail/DecodedMessage.h"
#include "ui/frmMainWindow.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename F> double Seconds(F&& Work, int Repeats = 3) {
    double best = 1e30;
    for (int i = 0; i < Repeats; ++i) {
        const auto start = Clock::now();
        Work();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

double PeakMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0; // KiB on Linux
}

std::string Base64(const std::string& Bytes) {
    static const char* const digits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < Bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(Bytes[i]) << 16) |
                           (static_cast<unsigned char>(Bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(Bytes[i + 2]);
        for (int s = 18; s >= 0; s -= 6)
            out += digits[(v >> s) & 63];
    }
    if (i < Bytes.size()) {
        unsigned v = static_cast<unsigned char>(Bytes[i]) << 16;
        if (i + 1 < Bytes.size()) v |= static_cast<unsigned char>(Bytes[i + 1]) << 8;
        out += digits[(v >> 18) & 63];
        out += digits[(v >> 12) & 63];
        out += i + 1 < Bytes.size() ? digits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// A person as a mail program writes the address: plain, named, or named in encoded words.
std::string Address(std::mt19937& Gen) {
    const std::string mailbox =
        "user" + std::to_string(Gen() % 20000) + "@example" + std::to_string(Gen() % 40) + ".com";
    switch (Gen() % 6) {
    case 0:
        return mailbox;
    case 1:
        return "Anna Schmidt <" + mailbox + ">";
    case 2:
        return "=?UTF-8?B?" + Base64("J\xC3\xBCrgen M\xC3\xBCller") + "?= <" + mailbox + ">";
    case 3:
        return "=?ISO-8859-1?Q?Andr=E9_Dupr=E9?= <" + mailbox + ">";
    case 4:
        return "=?koi8-r?B?7MXOwQ==?= <" + mailbox + ">";
    default:
        return "\"Smith, John\" <" + mailbox + ">";
    }
}

std::string Subject(std::mt19937& Gen) {
    static const char* const words[] = {"invoice", "meeting", "holiday",  "report",  "budget",
                                        "Lunch",   "draft",   "Contract", "minutes", "offer"};
    std::string plain = std::string(words[Gen() % 10]) + " " + words[Gen() % 10] + " " +
                        std::to_string(Gen() % 100000);
    switch (Gen() % 5) {
    case 0:
        return "Re: " + plain;
    case 1:
        return "=?UTF-8?Q?Gr=C3=BC=C3=9Fe_aus_K=C3=B6ln?= " + plain;
    case 2:
        return "=?UTF-8?B?" + Base64("\xD0\x9E\xD1\x82\xD1\x87\xD0\xB5\xD1\x82 " + plain) + "?=";
    case 3:
        return "Fwd: " + plain + "\r\n and a folded second line";
    default:
        return plain;
    }
}

std::string Date(std::mt19937& Gen) {
    static const char* const days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    static const char* const zones[] = {"+0000", "+0100", "-0500", "+0530", "GMT"};
    if (Gen() % 40 == 0) return "sometime last week";
    const auto pick = [&Gen](unsigned N) { return static_cast<unsigned>(Gen() % N); };
    char text[64];
    std::snprintf(text, sizeof text, "%s, %u %s %u %02u:%02u:%02u %s", days[pick(7)], 1 + pick(28),
                  months[pick(12)], 1998 + pick(28), pick(24), pick(60), pick(60), zones[pick(5)]);
    return text;
}

struct TMade {
    std::string Text, From, To, Subject, Date;
    std::size_t BodyAt = 0;
};

// One stored message as a scan keeps it: the whole text, the four fields as stored (with the
// space after the colon) and where the body begins.
TMade Message(std::mt19937& Gen) {
    TMade m;
    m.From = " " + Address(Gen);
    m.To = " " + Address(Gen);
    m.Subject = " " + Subject(Gen);
    const bool dated = Gen() % 50 != 0;
    if (dated) m.Date = " " + Date(Gen);
    std::string text = "Return-Path: <bounce@example.com>\r\nReceived: from mx.example.com by "
                       "mail.example.org; Mon, 1 Feb 2021 09:00:00 +0000\r\n";
    text += "From:" + m.From + "\r\nTo:" + m.To + "\r\nSubject:" + m.Subject + "\r\n";
    if (dated) text += "Date:" + m.Date + "\r\n";
    text += "Message-ID: <" + std::to_string(Gen()) + "@example.com>\r\nMIME-Version: 1.0\r\n";
    std::string plain;
    for (int l = 0; l < 6 + static_cast<int>(Gen() % 10); ++l)
        plain += "Some ordinary text about the meeting and the budget, line " + std::to_string(l) +
                 "\r\n";
    if (Gen() % 7 == 0) plain += "Please find the QUARTERLY figures attached\r\n";
    if (Gen() % 9 == 0) plain += "Sch=C3=B6ne Gr=C3=BC=C3=9Fe aus K=C3=B6ln\r\n";
    const unsigned shape = Gen() % 10;
    if (shape < 5) {
        text += "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: "
                "quoted-printable\r\n\r\n";
        m.BodyAt = text.size();
        text += plain;
    } else if (shape < 8) {
        text += "Content-Type: multipart/alternative; boundary=\"alt\"\r\n\r\n";
        m.BodyAt = text.size();
        text += "--alt\r\nContent-Type: text/plain; charset=utf-8\r\n"
                "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
                plain +
                "--alt\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<html><body><p>The "
                "same, <b>in HTML</b></p></body></html>\r\n--alt--\r\n";
    } else {
        text += "Content-Type: multipart/mixed; boundary=\"mix\"\r\n\r\n";
        m.BodyAt = text.size();
        text += "--mix\r\nContent-Type: text/plain; charset=utf-8\r\n"
                "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
                plain +
                "--mix\r\nContent-Type: application/octet-stream; name=\"figures.bin\"\r\n"
                "Content-Transfer-Encoding: base64\r\n\r\n" +
                Base64(std::string(300 + Gen() % 600, static_cast<char>('A' + Gen() % 26))) +
                "\r\n--mix--\r\n";
    }
    m.Text = std::move(text);
    return m;
}

void Row(const char* What, double Window, const char* BaseName, double Base) {
    std::printf("%-26s %9.3f s   %-34s %9.3f s   ratio %7.2f\n", What, Window, BaseName, Base,
                Window / Base);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName("Parcelwright");
    const std::string argument = argc > 1 ? argv[1] : "";
    std::error_code ec;
    const bool fromImage = !argument.empty() && std::filesystem::is_regular_file(argument, ec);
    std::size_t count =
        argument.empty() || fromImage ? 250000 : std::strtoull(argv[1], nullptr, 10);
    if (!CanDecodeMail()) {
        std::fprintf(stderr, "This build does not decode mail; nothing to measure.\n");
        return 1;
    }

    TfrmMain::THooks hooks;
    hooks.ListDrives = [] { return TDriveArray{}; };
    hooks.ShowMessage = [](QMessageBox::Icon, const QString& Title, const QString& Text) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(Title), qPrintable(Text));
    };
    TfrmMain w(hooks);
    w.show();
    QCoreApplication::processEvents();
    const double startMiB = PeakMiB();

    // The list as a scan leaves it: message bytes beyond its memory share in the scratch file.
    TScanResult found;
    found.Emails = TFoundEmails(TFoundEmails::DefaultMemoryBytes, PlatformSystem());
    std::mt19937 gen(2026);
    std::vector<std::size_t> originals;
    if (fromImage) {
        TScanOptions options;
        options.Rule = TCarvingRule::Deep;
        found = TScanHardDisk(argument, options, NullScanHost()).ScanDrive();
        count = found.Emails.size();
        std::printf("deep scan of %s\n", argument.c_str());
    }
    for (std::size_t i = 0; !fromImage && i < count; ++i) {
        // One in twenty is a copy of an earlier message, byte for byte.
        if (!originals.empty() && gen() % 20 == 0) {
            const TEmail copy = found.Emails[originals[gen() % originals.size()]];
            found.Emails.Add(copy);
            continue;
        }
        const TMade m = Message(gen);
        const std::string_view text = m.Text;
        found.Emails.Add(text, text.substr(m.BodyAt), {m.From, m.To, m.Subject, m.Date});
        originals.push_back(i);
    }
    originals = {};
    const double listMiB = PeakMiB();
    std::printf("%zu rows of mail; memory at start %.0f MiB, with the list %.0f MiB\n", count,
                startMiB, listMiB);

    const auto shownAt = Clock::now();
    w.Core().ShowResults(std::move(found));
    w.lvFoundEmails->viewport()->repaint();
    QCoreApplication::processEvents();
    const double shown = std::chrono::duration<double>(Clock::now() - shownAt).count();
    // The header index is built in the background meanwhile; the window is idle.
    while (!w.Core().HeaderIndex().WaitReady(std::chrono::milliseconds(50)))
        QCoreApplication::processEvents();
    const double indexed = std::chrono::duration<double>(Clock::now() - shownAt).count();
    const TFoundEmails& emails = w.Core().Emails();
    std::printf("list shown after %.3f s; header index of every row ready after %.3f s "
                "(%.1f MiB)\n\n",
                shown, indexed,
                static_cast<double>(w.Core().HeaderIndex().MemoryBytes()) / 1048576);

    // Sorts, through the header clicks' handler, as shown on screen.
    std::vector<std::size_t> items(emails.size());
    std::iota(items.begin(), items.end(), std::size_t(0));
    for (const TResultColumn column : {TResultColumn::Date, TResultColumn::From, TResultColumn::To,
                                       TResultColumn::Subject, TResultColumn::ItemNum}) {
        const double sort = Seconds([&] {
            w.lvFoundEmailsColumnClick(column);
            w.lvFoundEmails->viewport()->repaint();
        });
        std::vector<std::size_t> copy = items;
        const double base = Seconds([&] { SortItems(copy, emails, column, true); }, 1);
        Row((std::string("sort by ") + ColumnCaption(column)).c_str(), sort,
            "engine byte sort of stored fields", base);
    }

    // Message Source: the stored texts, through the same collation.
    w.Core().SetSourceView(true);
    const double sourceSort = Seconds([&] {
        w.lvFoundEmailsColumnClick(TResultColumn::Subject);
        w.lvFoundEmails->viewport()->repaint();
    });
    w.Core().SetSourceView(false);
    {
        std::vector<std::size_t> copy = items;
        Row("sort by Subject, as stored", sourceSort, "engine byte sort of stored fields",
            Seconds([&] { SortItems(copy, emails, TResultColumn::Subject, true); }, 1));
    }

    w.chkText->setChecked(false);
    w.txtFilter->setText("quarterly");
    const double keyword = Seconds([&] {
        w.btnClearFilterClick();
        w.btnApplyFilterClick();
        w.lvFoundEmails->viewport()->repaint();
    });
    const double keywordBase = Seconds([&] { (void)FilterItems(emails, "quarterly"); });
    Row("keyword filter", keyword, "engine keyword rows", keywordBase);
    w.btnClearFilterClick();

    const std::vector<std::optional<std::size_t>> copies = FindCopies(emails);
    TRowFilter hide;
    hide.HideCopies = true;
    const double hideBase = Seconds([&] { (void)hide.Rows(emails, copies); });
    const double hideOn = Seconds(
        [&] {
            w.Core().SetHideCopies(true);
            w.lvFoundEmails->viewport()->repaint();
            w.Core().SetHideCopies(false);
            w.lvFoundEmails->viewport()->repaint();
        },
        3);
    Row("Hide Copies on and off", hideOn / 2, "engine rows without copies", hideBase);

    w.chkText->setChecked(true);
    w.txtFilter->setText(QStringLiteral("k\u00f6ln"));
    const double text = Seconds(
        [&] {
            w.btnClearFilterClick();
            w.btnApplyFilterClick();
            w.lvFoundEmails->viewport()->repaint();
        },
        1);
    const std::size_t textRows = w.Core().Rows().size();
    w.btnClearFilterClick();
    const double newMiB = PeakMiB();

    // The window's earlier ways, on its thread.
    std::size_t oldRows = 0;
    const double oldText = Seconds(
        [&] {
            oldRows = 0;
            for (std::size_t i = 0; i < emails.size(); ++i)
                oldRows += DecodedContains(DecodeMessage(emails.FullText(i)), "k\u00f6ln");
        },
        1);
    Row("decoded text search", text, "earlier: whole decode, one thread", oldText);
    if (oldRows != textRows)
        std::printf("  the text search listed %zu rows where the earlier way found %zu\n", textRows,
                    oldRows);
    // How the whole decode shares out: the same work on one thread and on one per core.
    const auto decodeAll = [&](unsigned Threads) {
        return Seconds(
            [&] {
                ForEachOnThreads(emails.size(), Threads,
                                 [&](unsigned, std::size_t Begin, std::size_t End) {
                                     for (std::size_t i = Begin; i < End; ++i)
                                         (void)DecodeMessage(emails.FullText(i));
                                 });
            },
            1);
    };
    const double oneThread = decodeAll(1);
    const double allThreads = decodeAll(0);
    char cores[64];
    std::snprintf(cores, sizeof cores, "whole decode, %u threads", WorkerThreads());
    Row(cores, allThreads, "whole decode, one thread", oneThread);
    std::unordered_map<std::size_t, TDecodedMessage> headers;
    const double oldFirstSort = Seconds(
        [&] {
            for (std::size_t i = 0; i < emails.size(); ++i)
                headers.emplace(i, DecodeMessage(HeaderPart(emails.FullText(i))));
            std::vector<std::size_t> order = items;
            std::stable_sort(order.begin(), order.end(), [&](std::size_t A, std::size_t B) {
                return CompareTextNoCase(headers[A].Subject, headers[B].Subject) < 0;
            });
        },
        1);
    Row("header index (background)", indexed - shown, "earlier: first sort, one thread",
        oldFirstSort);
    const double oldMiB = PeakMiB();

    const double budget = 300.0 + 200.0 * static_cast<double>(count) / 1048576.0;
    std::printf("\npeak memory: %.0f MiB after the window's work (budget 300 MiB + 200 B x %zu "
                "rows = %.0f MiB: %s); %.0f MiB once the earlier map of decoded headers is "
                "added\n",
                newMiB, count, budget, newMiB <= budget ? "within" : "OVER", oldMiB);
    return 0;
}
