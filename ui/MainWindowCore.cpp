#include "MainWindowCore.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <numeric>
#include <system_error>

#include "BuildInfo.h"
#include "Export.h"

namespace fs = std::filesystem;

namespace {

const char* const ApplicationTitle = "Parcelwright";
const char* const ExportPrompt = "Select Where To Save Recovered Emails";
const char* const FolderNotWritable =
    "Cannot Write To Output Folder ,Please Select A Writeable Folder";
const char* const ExportDone = "Emails Succesfully Exported To Folder";

constexpr unsigned CallsPerClockCheck = 256;

} // namespace

TCollation CollateNoCase() {
    return [](const std::vector<std::string_view>& Texts) -> TTextOrder {
        return [&Texts](std::size_t A, std::size_t B) {
            return CompareTextNoCase(Texts[A], Texts[B]);
        };
    };
}

TMainWindowCore::TMainWindowCore(TMainWindowView& View, std::function<TDriveArray()> ListDrives,
                                 TCollation Collation)
    : FView(View), FListDrives(std::move(ListDrives)), FCollation(std::move(Collation)) {
    if (!FListDrives) FListDrives = [] { return TGetDrives().ListDrives(); };
    if (!FCollation) FCollation = CollateNoCase();
}

void TMainWindowCore::ListDrives() {
    try {
        drives = FListDrives();
    } catch (const std::exception& e) {
        drives.clear();
        FView.DrivesChanged(-1);
        ShowApplicationError(e.what());
        return;
    }
    FView.DrivesChanged(drives.empty() ? -1 : 0);
}

void TMainWindowCore::OpenImage() {
    const std::string chosen = FView.ChooseImage();
    if (chosen.empty()) return;
    std::error_code ec;
    fs::path absolute = fs::absolute(chosen, ec);
    const std::string path = (ec ? fs::path(chosen) : absolute.lexically_normal()).string();
    if (!TGetDrives().AddImage(path)) {
        ShowError("The disk image " + path + " cannot be read, or it is empty.");
        return;
    }
    const auto listed = std::find(drives.begin(), drives.end(), path);
    if (listed == drives.end()) drives.push_back(path);
    FView.DrivesChanged(static_cast<int>(std::find(drives.begin(), drives.end(), path) -
                                         drives.begin()));
}

void TMainWindowCore::Scan(int DriveIndex) {
    if (DriveIndex < 0 || static_cast<std::size_t>(DriveIndex) >= drives.size()) return;
    runScan(drives[static_cast<std::size_t>(DriveIndex)]);
}

// The one place that speaks the scan driver's interface.
TEmailArray TMainWindowCore::RunScanner(const std::string& DrivePath) {
    TScanOptions options;
    options.Rule = rule;
    return TScanHardDisk(DrivePath, options, FView).ScanDrive().Emails;
}

void TMainWindowCore::runScan(const std::string& DrivePath) {
    FView.SetBusy(true);
    scanning = true;
    TEmailArray found;
    try {
        found = RunScanner(DrivePath);
    } catch (...) {
        // The earlier results stay as they were; only the windows are put back, then the error
        // goes on to be shown.
        FView.ProgressClose();
        scanning = false;
        FView.SetBusy(false);
        throw;
    }
    scanning = false;
    FView.SetBusy(false);
    ShowResults(std::move(found));
}

void TMainWindowCore::ShowResults(TEmailArray Found) {
    Refill(&Found);
}

void TMainWindowCore::populateList() {
    Refill(nullptr);
}

void TMainWindowCore::Refill(TEmailArray* Found) {
    // Rows refer to emails by position: the view lets go of them before the list changes.
    FView.RowsChanging(TRowsChange::Refill);
    rows.clear();
    if (Found != nullptr) emails = std::move(*Found);
    for (const std::size_t item : FilterItems(emails, filterActive ? keyword : std::string()))
        rows.push_back({item, false});
    FView.RowsChanged(TRowsChange::Refill);
}

void TMainWindowCore::ApplyFilter(const std::string& Keyword) {
    if (Keyword.empty()) return;
    filterActive = true;
    keyword = Keyword;
    populateList();
}

void TMainWindowCore::ClearFilter() {
    filterActive = false;
    populateList();
}

void TMainWindowCore::SetAllTicked(bool Ticked) {
    if (rows.empty()) return;
    for (TResultRow& row : rows)
        row.Checked = Ticked;
    FView.TicksChanged(0, rows.size() - 1);
}

void TMainWindowCore::SetTicked(std::size_t Row, bool Ticked) {
    if (Row >= rows.size()) return;
    rows[Row].Checked = Ticked;
    FView.TicksChanged(Row, Row);
}

void TMainWindowCore::SortBy(TResultColumn Column) {
    if (Column == sortColumn)
        sortAscending = !sortAscending;
    else
        sortColumn = Column;

    // The collation prepares the column's texts once per sort, not once per comparison.
    std::vector<std::string_view> texts;
    TTextOrder byText;
    if (Column != TResultColumn::ItemNum) {
        texts.reserve(rows.size());
        for (const TResultRow& row : rows)
            texts.push_back(ColumnText(emails[row.Item], Column));
        byText = FCollation(texts);
    }
    std::vector<std::size_t> order(rows.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](std::size_t A, std::size_t B) {
        const int result = byText ? byText(A, B)
                                  : CompareItems(emails, rows[A].Item, rows[B].Item, Column);
        return (sortAscending ? result : -result) < 0;
    });

    FView.RowsChanging(TRowsChange::Reorder);
    std::vector<TResultRow> sorted;
    sorted.reserve(rows.size());
    for (const std::size_t i : order)
        sorted.push_back(rows[i]);
    rows = std::move(sorted);
    FView.RowsChanged(TRowsChange::Reorder);
}

const std::string* TMainWindowCore::PreviewOf(std::size_t Row) const {
    if (Row >= rows.size() || rows[Row].Item >= emails.size()) return nullptr;
    return &emails[rows[Row].Item].Body;
}

std::string TMainWindowCore::CellText(std::size_t Row, TResultColumn Column) const {
    if (Row >= rows.size()) return {};
    if (Column == TResultColumn::ItemNum) return std::to_string(rows[Row].Item);
    return ColumnText(emails[rows[Row].Item], Column);
}

void TMainWindowCore::ExportTicked() {
    const std::string folder = FView.BrowseFolder(ExportPrompt, {}, true);
    if (folder.empty()) return;

    std::vector<TExportRow> ticked;
    for (std::size_t position = 0; position < rows.size(); ++position)
        if (rows[position].Checked) ticked.push_back({position, rows[position].Item});

    const TExportReport report = ExportRows(folder, emails, ticked);
    if (!report.FolderError.empty()) {
        ShowError(FolderNotWritable);
        return;
    }
    if (report.Ok()) {
        FView.ShowMessage(TMessageKind::Information, "Information", ExportDone);
        return;
    }
    const TExportFailure& first = report.Failures.front();
    ShowError(std::to_string(report.Failures.size()) + " of " + std::to_string(ticked.size()) +
              " selected emails could not be exported.\nFirst failure: " + first.File + " (" +
              first.Reason + ")");
}

std::string TMainWindowCore::ManualPath(const std::string& ProgramFolder) {
    const fs::path dir(ProgramFolder);
    for (const fs::path& candidate :
         {dir / "manual.html", dir / "docs" / "manual.html", dir / ".." / "docs" / "manual.html",
          dir / ".." / "share" / "doc" / "parcelwright" / "manual.html",
          fs::path(PW_INSTALL_DOCDIR) / "manual.html"}) {
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec)) {
            const fs::path found = fs::canonical(candidate, ec);
            return (ec ? candidate : found).string();
        }
    }
    return {};
}

void TMainWindowCore::OpenHelp() {
    const std::string path = ManualPath(FView.ProgramFolder());
    if (path.empty()) {
        FView.ShowMessage(TMessageKind::Error, ApplicationTitle,
                          "The help page manual.html was not found next to the program.");
        return;
    }
    if (!FView.OpenDocument(path))
        FView.ShowMessage(TMessageKind::Error, ApplicationTitle,
                          "No program could be started to show the help page " + path + ".");
}

void TMainWindowCore::Guarded(const std::function<void()>& Command) {
    try {
        Command();
    } catch (const std::exception& e) {
        ShowApplicationError(e.what());
    } catch (...) {
        ShowApplicationError("Unexpected error");
    }
}

std::string TMainWindowCore::ErrorText(std::string Message) {
    if (!Message.empty() && static_cast<unsigned char>(Message.back()) > '.') Message += '.';
    return Message;
}

void TMainWindowCore::ShowError(const std::string& Text) {
    FView.ShowMessage(TMessageKind::Error, "Error", Text);
}

void TMainWindowCore::ShowApplicationError(const std::string& Message) {
    FView.ShowMessage(TMessageKind::Error, ApplicationTitle, ErrorText(Message));
}

TKeepAlivePacer::TKeepAlivePacer(std::function<void()> Pump, TClock Clock,
                                 std::chrono::milliseconds Interval)
    : FPump(std::move(Pump)), FClock(std::move(Clock)), FInterval(Interval) {
    if (!FClock) FClock = [] { return std::chrono::steady_clock::now(); };
}

void TKeepAlivePacer::KeepAlive(std::uint64_t Count) {
    if (!FCheckClock && Count < CallsPerClockCheck && ++FCallsSinceCheck < CallsPerClockCheck)
        return;
    FCallsSinceCheck = 0;
    FCheckClock = false;
    const auto now = FClock();
    if (now - FLastPump < FInterval) return;
    FLastPump = now;
    FPump();
}

void TKeepAlivePacer::Pumped() {
    FLastPump = FClock();
}
