// The Windows window at a quarter of a million rows: the list filled, every column sorted, the
// keyword filter and Hide Copies, each timed through the window against the engine's own work
// for the same rows, and the sorts also against the window's earlier comparison (CompareString
// per comparison, kept here only). Run under Wine on a virtual screen, by hand:
//   win32_rows_bench.exe [ROWS]
// Not part of the tests.

#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "disk/SystemLayer.h"
#include "engine/Copies.h"
#include "engine/ResultView.h"
#include "engine/ScanHardDisk.h"
#include "ui/win32/WinText.h"
#include "ui/win32/frmMainWin32.h"

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

void Pump() {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

void Row(const char* What, double Window, const char* BaseName, double Base) {
    std::printf("%-24s %9.3f s   %-36s %9.3f s   ratio %7.2f\n", What, Window, BaseName, Base,
                Window / Base);
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 250000;
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES |
                                                       ICC_USEREX_CLASSES | ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&controls);

    // Stored fields as a scan keeps them, some with 8-bit (Windows-1252) text; one in twenty
    // messages a copy of an earlier one.
    static const char* const words[] = {"invoice", "meeting",  "holiday",  "report",    "budget",
                                        "Lunch",   "\xC4pfel", "Contract", "\xE9t\xE9", "offer"};
    std::mt19937 gen(2026);
    TScanResult found;
    found.Emails = TFoundEmails(TFoundEmails::DefaultMemoryBytes, PlatformSystem());
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0 && gen() % 20 == 0) {
            found.Emails.Add(found.Emails[gen() % i]);
            continue;
        }
        TEmail e;
        e.From = " user" + std::to_string(gen() % 20000) + "@example.com";
        e.To = " =?UTF-8?B?SsO8cmdlbg==?= <team" + std::to_string(gen() % 300) + "@example.org>";
        e.Subject = std::string(" ") + words[gen() % 10] + " " + words[gen() % 10] + " " +
                    std::to_string(gen() % 100000);
        e.Date = " Mon, " + std::to_string(1 + gen() % 28) + " Feb 2021 09:00:00 +0000";
        e.Body = "\r\n";
        for (int l = 0; l < 10; ++l)
            e.Body += "some ordinary body text about the budget and other matters\r\n";
        if (gen() % 7 == 0) e.Body += "Please find the QUARTERLY figures attached\r\n";
        e.FullText = "From:" + e.From + "\r\nTo:" + e.To + "\r\nSubject:" + e.Subject +
                     "\r\nDate:" + e.Date + "\r\n" + e.Body;
        found.Emails.Add(e);
    }

    TfrmMainWin32::THooks hooks;
    hooks.ListDrives = [] { return TDriveArray{}; };
    hooks.QuitOnClose = false;
    hooks.ShowMessage = [](bool, const std::wstring&, const std::wstring&) {};
    TfrmMainWin32 window(hooks);
    window.Show();
    Pump();

    const auto fillAt = Clock::now();
    window.Core().ShowResults(std::move(found));
    Pump();
    const double fill = std::chrono::duration<double>(Clock::now() - fillAt).count();
    const TFoundEmails& emails = window.Core().Emails();
    const double fillBase = Seconds([&] { (void)FilterItems(emails, {}); });
    std::printf("%zu rows\n", count);
    Row("list filled", fill, "engine rows", fillBase);

    std::vector<std::size_t> items(emails.size());
    std::iota(items.begin(), items.end(), std::size_t(0));
    for (const TResultColumn column :
         {TResultColumn::Date, TResultColumn::From, TResultColumn::To, TResultColumn::Subject}) {
        const double sort = Seconds(
            [&] {
                window.lvFoundEmailsColumnClick(static_cast<int>(column));
                Pump();
            },
            2);
        std::vector<std::size_t> copy = items;
        const double base = Seconds([&] { SortItems(copy, emails, column, true); }, 1);
        Row((std::string("sort by ") + ColumnCaption(column)).c_str(), sort, "engine byte sort",
            base);
        if (column != TResultColumn::Subject) continue;
        // The earlier way: the texts made wide once, CompareString per comparison.
        const double earlier = Seconds(
            [&] {
                std::vector<std::wstring> wide;
                wide.reserve(items.size());
                for (const std::size_t item : items)
                    wide.push_back(CellFrom1252(ColumnText(emails.Headers(item), column)));
                std::vector<std::size_t> order = items;
                std::stable_sort(order.begin(), order.end(), [&](std::size_t A, std::size_t B) {
                    return ::CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, wide[A].data(),
                                            static_cast<int>(wide[A].size()), wide[B].data(),
                                            static_cast<int>(wide[B].size())) == CSTR_LESS_THAN;
                });
            },
            1);
        Row("  the same sort", sort, "earlier: CompareString per compare", earlier);
    }

    ::SetWindowTextW(window.txtFilter, L"quarterly");
    const double keyword = Seconds([&] {
        window.btnClearFilterClick();
        window.btnApplyFilterClick();
        Pump();
    });
    const double keywordBase = Seconds([&] { (void)FilterItems(emails, "quarterly"); });
    Row("keyword filter", keyword, "engine keyword rows", keywordBase);
    window.btnClearFilterClick();
    // The two refills apart: from every row to the keyword's, and back.
    const auto since = [](Clock::time_point Start) {
        return std::chrono::duration<double>(Clock::now() - Start).count();
    };
    auto start = Clock::now();
    window.btnApplyFilterClick();
    Pump();
    const double narrow = since(start);
    start = Clock::now();
    window.btnClearFilterClick();
    Pump();
    std::printf("  every row to the keyword's %.3f s, back to every row %.3f s\n", narrow,
                since(start));

    const std::vector<std::optional<std::size_t>> copies = FindCopies(emails);
    TRowFilter hide;
    hide.HideCopies = true;
    const double hideBase = Seconds([&] { (void)hide.Rows(emails, copies); });
    const double hideWindow = Seconds([&] {
        window.mnuHideCopiesClick();
        Pump();
        window.mnuHideCopiesClick();
        Pump();
    });
    Row("Hide Copies on and off", hideWindow / 2, "engine rows without copies", hideBase);
    return 0;
}
