// Desktop program figures: filling the results list with 100 000 messages, applying a keyword
// filter and sorting by "Subject", each against the engine's own work for the same rows; and a
// scan run from the desktop program (offscreen, its window as the host) against the same scan
// with no window at all. Prints times and ratios.
//
//   ui_bench [IMAGE]   IMAGE: a disk image to scan; without it one of 1 GiB is made in /tmp.
#include <QApplication>
#include <QLineEdit>
#include <QTableView>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "engine/ResultView.h"
#include "engine/ScanHardDisk.h"
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

TEmailArray Messages(std::size_t Count) {
    static const char* const words[] = {"invoice", "meeting", "holiday", "report", "budget",
                                        "Lunch",   "Re:",     "Fwd:",    "draft",  "Contract"};
    std::mt19937 gen(42);
    TEmailArray emails(Count);
    for (std::size_t i = 0; i < Count; ++i) {
        TEmail& e = emails[i];
        e.From = " user" + std::to_string(gen() % 5000) + "@example.com";
        e.To = " team" + std::to_string(gen() % 300) + "@example.org";
        e.Subject = std::string(" ") + words[gen() % 10] + " " + words[gen() % 10] + " " +
                    std::to_string(gen() % 100000);
        e.Date = " Mon, " + std::to_string(1 + gen() % 28) + " Feb 2021 09:00:00 +0000";
        e.Body = "\r\n";
        for (int l = 0; l < 12; ++l)
            e.Body += std::string("some ordinary body text about the ") + words[gen() % 10] +
                      " and other matters\r\n";
        if (gen() % 7 == 0) e.Body += "Please find the QUARTERLY figures attached\r\n";
        e.FullText = "From:" + e.From + "\r\nSubject:" + e.Subject + "\r\n" + e.Body;
    }
    return emails;
}

std::string MakeImage(std::uint64_t Bytes) {
    const std::string path = (std::filesystem::temp_directory_path() / "pw-ui-bench.img").string();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::mt19937_64 gen(7);
    std::string chunk(1 << 20, '\0');
    const std::string message = "Return-Path: <a@example.com>\r\nFrom: a@example.com\r\n"
                                "To: b@example.org\r\nSubject: benchmark\r\n\r\nbody\r\n";
    for (std::uint64_t written = 0; written < Bytes; written += chunk.size()) {
        for (std::size_t i = 0; i < chunk.size(); i += 8) {
            const std::uint64_t v = gen();
            std::memcpy(&chunk[i], &v, 8);
        }
        chunk.replace(4096, message.size(), message);
        chunk[4096 + message.size()] = '\0';
        out.write(chunk.data(), std::streamsize(chunk.size()));
    }
    return path;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName("Parcelwright");

    TfrmMain::THooks hooks;
    hooks.ListDrives = [] { return TDriveArray{}; };
    hooks.ShowMessage = [](QMessageBox::Icon, const QString& Title, const QString& Text) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(Title), qPrintable(Text));
    };
    TfrmMain w(hooks);
    w.show();

    constexpr std::size_t Count = 100000;
    w.Core().ShowResults(Messages(Count));
    const TFoundEmails& emails = w.Core().Emails();

    const double fillBase = Seconds([&] { (void)FilterItems(emails, {}); });
    // Until the rows are on screen: the refill and the view's first paint of them.
    const double fill = Seconds([&] {
        w.Core().populateList();
        w.lvFoundEmails->viewport()->repaint();
        QCoreApplication::processEvents();
    });
    std::printf("populate %zu rows:   %8.3f s  (engine rows alone %.4f s, ratio %.1f)\n", Count,
                fill, fillBase, fill / fillBase);

    w.txtFilter->setText("quarterly");
    const double filterBase = Seconds([&] { (void)FilterItems(emails, "quarterly"); });
    const double filter = Seconds([&] {
        w.btnClearFilterClick();
        w.btnApplyFilterClick();
        w.lvFoundEmails->viewport()->repaint();
    });
    std::printf("apply filter:          %8.3f s  (engine filter alone %.4f s, ratio %.2f; %d rows)"
                "\n",
                filter, filterBase, filter / filterBase, w.Model()->rowCount());
    w.btnClearFilterClick();

    std::vector<std::size_t> items = FilterItems(emails, {});
    const double sortBase =
        Seconds([&] { SortItems(items, emails, TResultColumn::Subject, true); });
    const double sort = Seconds([&] {
        w.lvFoundEmailsColumnClick(TResultColumn::Subject);
        w.lvFoundEmails->viewport()->repaint();
    });
    std::printf("sort by Subject:       %8.3f s  (engine byte sort %.4f s, ratio %.2f)\n", sort,
                sortBase, sort / sortBase);

    w.Core().ShowResults(TEmailArray{});

    const bool own = argc < 2;
    const std::string image = own ? MakeImage(std::uint64_t(1) << 30) : argv[1];
    // The three take turns, round after round, so that a busy moment of the machine hits them
    // alike; the best round of each counts.
    std::size_t found = 0;
    double bare = 1e30, windowed = 1e30, cli = 1e30;
#ifdef PW_CLI
    // The command-line scanner on the same image, as a user runs it (its table to nowhere).
    const std::string command = std::string(PW_CLI) + " scan '" + image + "' >/dev/null";
#endif
    for (int round = 0; round < 5; ++round) {
        bare = std::min(bare, Seconds(
                                  [&] {
                                      TScanHardDisk scan(image, {}, NullScanHost());
                                      found = scan.ScanDrive().Emails.size();
                                  },
                                  1));
        windowed = std::min(windowed, Seconds([&] { w.runScan(image); }, 1));
#ifdef PW_CLI
        cli = std::min(cli, Seconds([&] { (void)std::system(command.c_str()); }, 1));
#endif
    }
    std::printf("scan %s (%zu messages): no window %.3f s, desktop program %.3f s, ratio %.3f\n",
                image.c_str(), found, bare, windowed, windowed / bare);
#ifdef PW_CLI
    std::printf("command-line scanner %.3f s; desktop program / command-line scanner %.3f\n", cli,
                windowed / cli);
#endif
    // The window's own fixed cost per scan: showing and removing the progress window.
    const double progress = Seconds([&] {
        w.ProgressOpen(1000);
        w.PumpEvents();
        w.ProgressClose();
    });
    std::printf("progress window shown and closed: %.4f s\n", progress);
    if (own) std::filesystem::remove(image);
    return 0;
}
