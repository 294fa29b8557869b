#include "ui/MainWindowCore.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <limits>
#include <mutex>
#include <numeric>
#include <optional>
#include <system_error>
#include <thread>

#include "BuildInfo.h"
#include "disk/DiskBuffer.h"
#include "disk/SystemLayer.h"
#include "engine/CodePage1252.h"
#include "engine/Copies.h"
#include "engine/Export.h"
#include "engine/MboxExport.h"
#include "engine/ProgressText.h"

namespace fs = std::filesystem;

namespace {

const char* const ApplicationTitle = "Parcelwright";
const char* const ExportPrompt = "Select Where To Save Recovered Emails";
const char* const FolderNotWritable =
    "Cannot Write To Output Folder ,Please Select A Writeable Folder";
const char* const ExportDone = "Emails Succesfully Exported To Folder";

const char* const ReplaceTitle = "Replace Files?";

// "3 of the 12 files to export exist already in FOLDER (RecoveredEmail0.eml, RecoveredEmail1.eml,
// RecoveredEmail2.eml). Replace them?" with a few of the names.
std::string ReplaceQuestion(const std::vector<std::string>& Existing, std::size_t Total,
                            const std::string& Folder) {
    constexpr std::size_t NamesShown = 3;
    std::string names;
    for (std::size_t i = 0; i < Existing.size() && i < NamesShown; ++i)
        names += (i > 0 ? ", " : "") + Existing[i];
    if (Existing.size() > NamesShown) names += ", \u2026";
    const bool one = Existing.size() == 1;
    std::string text = Total == 1 ? std::string("The file to export exists")
                       : one      ? "1 of the " + std::to_string(Total) + " files to export exists"
                                  : std::to_string(Existing.size()) + " of the " +
                                   std::to_string(Total) + " files to export exist";
    text += " already in " + Folder + " (" + names + "). Replace " + (one ? "it" : "them") +
            "?\n\nNo exports nothing.";
    return text;
}

constexpr unsigned CallsPerClockCheck = 256;
// The engine tells the byte offset per byte of a text run: the clock is read every so many calls.
constexpr unsigned ByteCallsPerClockCheck = 4096;
constexpr auto ProgressInterval = std::chrono::milliseconds(200);
// Rate and time left are not told before the scan has run this long.
constexpr double SecondsBeforeRate = 0.5;
// Work over every message that ends within this shows no progress window (it would only flash).
constexpr auto ProgressGrace = std::chrono::milliseconds(150);
// How often the window's events are pumped while such work runs.
constexpr auto WorkPumpInterval = std::chrono::milliseconds(30);

std::string Count(std::size_t N, const char* One, const char* Many) {
    return std::to_string(N) + " " + (N == 1 ? One : Many);
}

std::string CodePointName(char32_t C) {
    char text[16];
    std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(C));
    return text;
}

// "2022-01-10 10:00:00 UTC": one zone for every message, as examiners compare times.
std::string UtcText(std::int64_t Time) {
    std::string iso = IsoUtc(Time); // "2022-01-10T10:00:00Z"
    if (iso.size() == 20 && iso[10] == 'T' && iso.back() == 'Z') {
        iso[10] = ' ';
        iso.back() = ' ';
        return iso + "UTC";
    }
    return iso;
}

std::string HexOffset(std::uint64_t Offset) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(Offset));
    return text;
}

// An attachment's name made safe to offer as a file name: no folders, no control characters.
// An attached message with no name of its own is still offered as a message file.
std::string SuggestedFileName(const TAttachmentInfo& Attachment, std::size_t Index) {
    std::string safe;
    for (const char c : Attachment.FileName) {
        const auto u = static_cast<unsigned char>(c);
        safe += (u < 0x20 || c == '/' || c == '\\' || c == ':' || u == 0x7F) ? '_' : c;
    }
    if (safe.empty() || safe == "." || safe == "..")
        safe = "attachment" + std::to_string(Index + 1) +
               (Attachment.ContentType.starts_with("message/") ? ".eml" : "");
    return safe;
}

} // namespace

double TScanProgress::Fraction() const {
    if (BytesTotal == 0) return 0;
    return std::min(1.0, static_cast<double>(BytesDone) / static_cast<double>(BytesTotal));
}

double TScanProgress::Rate() const {
    if (Seconds < SecondsBeforeRate || BytesDone == 0) return 0;
    return static_cast<double>(BytesDone) / Seconds;
}

double TScanProgress::SecondsLeft() const {
    const double rate = Rate();
    if (rate <= 0) return -1;
    return static_cast<double>(BytesTotal - std::min(BytesDone, BytesTotal)) / rate;
}

std::string TScanProgress::BytesText() const {
    char percent[16];
    std::snprintf(percent, sizeof percent, "%.0f%%", Fraction() * 100);
    if (!Task.empty())
        return std::to_string(std::min(BytesDone, BytesTotal)) + " of " +
               Count(static_cast<std::size_t>(BytesTotal), "message", "messages") + " (" + percent +
               ")";
    return ByteSizeText(static_cast<double>(std::min(BytesDone, BytesTotal))) + " of " +
           ByteSizeText(static_cast<double>(BytesTotal)) + " (" + percent + ")";
}

std::string TScanProgress::CountsText() const {
    if (!Task.empty()) return Cancelling ? Task + " \u00b7 stopping\u2026" : Task;
    std::string text = Count(Found, "message", "messages") + " found";
    if (Cancelling) return text + " \u00b7 stopping\u2026";
    if (const double rate = Rate(); rate > 0) {
        text += " \u00b7 " + ByteSizeText(rate) + "/s";
        text += " \u00b7 " + DurationText(SecondsLeft()) + " left";
    }
    return text;
}

std::string TScanProgress::CaptionText() const {
    if (Cancelling) return Task.empty() ? "Stopping the scan ......" : "Stopping ......";
    return "Please Wait ......";
}

TBarScale::TBarScale(std::uint64_t Maximum) : FMaximum(Maximum) {
    constexpr std::uint64_t Largest = std::numeric_limits<int>::max();
    while ((FMaximum >> FShift) > Largest)
        ++FShift;
}

int TBarScale::Of(std::uint64_t Value) const {
    return static_cast<int>(std::min(Value, FMaximum) >> FShift);
}

int TBarScale::OfFraction(double Fraction) const {
    return static_cast<int>(std::floor(std::clamp(Fraction, 0.0, 1.0) * Top()));
}

TScanMonitor::TScanMonitor(TScanView& View, std::uint32_t SectorSize, std::uint64_t TotalBytes,
                           const bool& CancelFlag, TClock Clock)
    : FView(View), FSectorSize(SectorSize), FCancel(CancelFlag),
      FClock(Clock ? std::move(Clock) : [] { return std::chrono::steady_clock::now(); }),
      FPacer([&View] { View.PumpEvents(); }, FClock) {
    FProgress.BytesTotal = TotalBytes;
}

void TScanMonitor::ProgressOpen(std::uint64_t maximum) {
    FWindow = FView.ProgressOpen(maximum);
    // On screen now rather than at the first progress step.
    FView.PumpEvents();
    FPacer.Pumped();
    FStart = FClock();
    ShowNow();
}

void TScanMonitor::ProgressPosition(std::uint64_t position) {
    // Sector steps stand for bytes too, for a scan that tells no byte offsets.
    FProgress.BytesDone = std::max(FProgress.BytesDone, position * FSectorSize);
    if (FWindow != nullptr) FWindow->SetPosition(position);
    FPacer.CheckSoon();
    Tick();
}

void TScanMonitor::ProgressClose() {
    FWindow = nullptr;
    FView.ProgressClose();
}

void TScanMonitor::ProgressBytes(std::uint64_t offset) {
    if (offset > FProgress.BytesDone) FProgress.BytesDone = offset;
    if (++FCalls < ByteCallsPerClockCheck) return;
    Tick();
}

bool TScanMonitor::CancelRequested() {
    if (!FCancel) return false;
    FStopped = true;
    return true;
}

void TScanMonitor::Tick() {
    FCalls = 0;
    const auto now = FClock();
    if (now - FLastShow < ProgressInterval) return;
    FLastShow = now;
    FProgress.Seconds = std::chrono::duration<double>(now - FStart).count();
    FProgress.Cancelling = FCancel;
    if (FWindow != nullptr) FWindow->ShowProgress(FProgress);
}

void TScanMonitor::ShowNow() {
    FLastShow = FClock();
    FProgress.Seconds = std::chrono::duration<double>(FLastShow - FStart).count();
    FProgress.Cancelling = FCancel;
    if (FWindow != nullptr) FWindow->ShowProgress(FProgress);
}

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
    FView.DrivesChanged(
        static_cast<int>(std::find(drives.begin(), drives.end(), path) - drives.begin()));
}

void TMainWindowCore::Scan(int DriveIndex) {
    if (DriveIndex < 0 || static_cast<std::size_t>(DriveIndex) >= drives.size()) {
        FView.ShowMessage(
            TMessageKind::Information, "Information",
            drives.empty()
                ? "Nothing was scanned: there is no drive you may read. Open a disk image with "
                  "File \u25b8 Open Disk Image\u2026 (Ctrl+O), or see the help (F1) on getting "
                  "the right to read a drive."
                : "Nothing was scanned: choose a drive in \u201cSelect Drive To Scan\u201d "
                  "first.");
        return;
    }
    runScan(drives[static_cast<std::size_t>(DriveIndex)]);
}

void TMainWindowCore::RequestCancel() {
    if (!(scanning || working) || cancelRequest) return;
    cancelRequest = true;
    if (FMonitor != nullptr) FMonitor->ShowNow();
    // The progress window says so at once, not when the work next looks.
    if (working && workWindow != nullptr) {
        workProgress.Cancelling = true;
        workWindow->ShowProgress(workProgress);
    }
}

bool TMainWindowCore::MayClose() {
    if (!scanning && !working) return true;
    closeAfterScan = true;
    RequestCancel();
    return false;
}

// The one place that speaks the scan driver's interface.
TScanResult TMainWindowCore::RunScanner(const std::string& DrivePath, bool& Stopped) {
    auto buffer = std::make_unique<TDiskBuffer>(DrivePath, TScanHardDisk::BufferSize);
    const std::uint32_t sectorSize = buffer->SectorSize();
    const std::uint64_t totalBytes =
        static_cast<std::uint64_t>(std::max<std::int64_t>(0, buffer->TotalSectors())) * sectorSize;
    TScanMonitor monitor(FView, sectorSize, totalBytes, cancelRequest, FClock);
    TScanOptions options;
    options.Rule = rule;
    // With several jobs the monitor still hears the scan on this thread, in found order.
    options.Jobs = scanJobs;
    auto first = std::make_shared<std::unique_ptr<TDiskBuffer>>(std::move(buffer));
    TScanHardDisk scanner(TBufferMaker([first, DrivePath] {
                              if (*first) return std::move(*first);
                              return std::make_unique<TDiskBuffer>(DrivePath,
                                                                   TScanHardDisk::BufferSize);
                          }),
                          options, monitor);
    FMonitor = &monitor;
    struct TForget {
        TScanMonitor*& Monitor;
        ~TForget() { Monitor = nullptr; }
    } forget{FMonitor};
    TScanResult found = scanner.ScanDrive();
    Stopped = monitor.Stopped();
    return found;
}

void TMainWindowCore::runScan(const std::string& DrivePath) {
    // The scan wants every core; the earlier list's unfinished index is started again should a
    // sort need it (a scan that fails keeps that list).
    if (!index.Ready()) index.Stop();
    FView.SetBusy(true);
    scanning = true;
    cancelRequest = false;
    TScanResult found;
    bool stopped = false;
    try {
        found = RunScanner(DrivePath, stopped);
    } catch (...) {
        // The earlier results stay as they were; only the windows are put back, then the error
        // goes on to be shown.
        FView.ProgressClose();
        scanning = false;
        cancelRequest = false;
        FView.SetBusy(false);
        throw;
    }
    scanning = false;
    cancelRequest = false;
    cancelled = stopped;
    scanned = true;
    FView.SetBusy(false);
    const std::string stopReason = found.StopReason;
    scanRule = rule;
    scanFound = found.Emails.size();
    scanFragments = 0;
    for (std::size_t item = 0; item < scanFound; ++item) {
        const TEmailHeaders fields = found.Emails.Headers(item);
        if (fields.From.empty() && fields.Subject.empty()) ++scanFragments;
    }
    ShowResults(std::move(found));
    if (!stopReason.empty())
        ShowError("The scan stopped before the end of the drive: " + stopReason +
                  ".\n\nThe messages found up to there are listed.");
}

void TMainWindowCore::ShowResults(TScanResult Found) {
    Refill(&Found);
    SearchNewList();
}

void TMainWindowCore::ShowResults(TEmailArray Found) {
    TScanResult result;
    result.Emails = std::move(Found);
    Refill(&result);
    SearchNewList();
}

void TMainWindowCore::SearchNewList() {
    if (!filterActive || filterMode != TFilterMode::Text || emails.empty()) return;
    if (SearchDecodedText(keyword)) {
        populateList();
        return;
    }
    // Cancelled: every message of the new list stays listed, and the status line must not claim
    // a filter.
    filterActive = false;
    FView.CountsChanged();
}

void TMainWindowCore::populateList() {
    Refill(nullptr);
}

void TMainWindowCore::Refill(TScanResult* Found) {
    // Rows refer to emails by position: the view lets go of them before the list changes.
    FView.RowsChanging(TRowsChange::Refill);
    // Fresh containers, not cleared ones: a list of a million rows must not leave its memory
    // held when a smaller one takes its place. (Assigning {} would only clear them: it picks the
    // initializer-list assignment, which keeps the capacity.)
    rows = std::vector<TResultRow>();
    if (Found != nullptr) {
        // Its threads read the list about to be replaced.
        index.Stop();
        emails = std::move(Found->Emails);
        places = std::move(Found->Places);
        if (places.size() != emails.size()) places = TEmailPlaces();
        // Hashing is done once here, after the scan, never during it; decoding waits for a
        // row to be shown.
        copies = FindCopies(emails);
        decoded = decltype(decoded)();
        headers = decltype(headers)();
        textMatches = std::vector<char>();
        textMatchesFor.clear();
        // The list before may have been far larger: what it held goes back to the system.
        PlatformSystem().ReleaseFreeMemory();
        // Item numbers now name other messages.
        previewItem.reset();
        // Every sort by a decoded column needs every message's header fields: they are decoded
        // now, on the other cores, while the user looks at the list.
        if (CanDecodeMail() && !emails.empty()) index.Start(emails, 0, workGate);
    }
    TRowFilter filter;
    filter.HideCopies = hideCopies;
    filter.ClientDeletedOnly = clientDeletedOnly;
    if (filterActive && filterMode == TFilterMode::Bytes) filter.Keyword = keyword;
    if (filterActive && filterMode == TFilterMode::Text)
        filter.DecodedText = [this](const TFoundEmails& Emails, std::size_t Item) {
            // Searched once per list and words (SearchDecodedText): a refill for Hide Copies
            // reads the answers again. A new list is listed whole until it has been searched
            // (SearchNewList).
            if (textMatches.size() != Emails.size()) return true;
            return textMatches[Item] != 0;
        };
    bool previewListed = false;
    for (const std::size_t item : filter.Rows(emails, copies)) {
        rows.push_back({item, false});
        previewListed = previewListed || item == previewItem;
    }
    if (!previewListed) previewItem.reset();
    ticked = 0;
    FView.RowsChanged(TRowsChange::Refill);
    FView.CountsChanged();
}

void TMainWindowCore::ApplyFilter(const std::string& Keyword) {
    if (Keyword.empty()) return;
    filterActive = true;
    filterMode = TFilterMode::Bytes;
    keyword = Keyword;
    populateList();
}

bool TMainWindowCore::ApplyTypedFilter(const std::string& Utf8Keyword) {
    if (Utf8Keyword.empty()) return false;
    char32_t unmappable = 0;
    const std::optional<std::string> bytes = BytesFromUtf8(Utf8Keyword, unmappable);
    if (!bytes) {
        ShowError(unmappable == 0xFFFD
                      ? std::string("The keyword is not valid text; type it again.")
                      : "The keyword cannot be searched for: the character \u201c" +
                            Utf8Of(unmappable) + "\u201d (" + CodePointName(unmappable) +
                            ") has no byte in Windows-1252, the code page stored mail is "
                            "searched in. Leave it out of the keyword.");
        return false;
    }
    ApplyFilter(*bytes);
    return true;
}

bool TMainWindowCore::ApplyTextFilter(const std::string& Utf8Words) {
    if (Utf8Words.empty()) return false;
    if (!CanDecodeMail()) {
        ShowError("This build does not decode mail, so it cannot search the decoded text. Search "
                  "the stored bytes with the keyword instead.");
        return false;
    }
    const std::string words = ValidUtf8(Utf8Words);
    if (!SearchDecodedText(words)) return false;
    filterActive = true;
    filterMode = TFilterMode::Text;
    keyword = words;
    populateList();
    return true;
}

bool TMainWindowCore::SearchDecodedText(const std::string& Words) {
    if (textMatchesFor == Words && textMatches.size() == emails.size() && !emails.empty())
        return true;
    // Decoded, searched and let go: kept, the decoded texts of a disk of mail would fill the
    // memory the found list was made to spare.
    std::vector<char> matches(emails.size(), 0);
    std::atomic<std::size_t> done{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable ended;
    bool finished = false;
    std::exception_ptr error;
    std::thread runner([&] {
        try {
            ForEachOnThreads(emails.size(), 0, [&](unsigned, std::size_t Begin, std::size_t End) {
                for (std::size_t item = Begin; item < End && !stop; ++item) {
                    if (workGate) workGate();
                    if (stop) break;
                    matches[item] = DecodedContains(DecodeMessage(emails.FullText(item)), Words);
                    done.fetch_add(1, std::memory_order_relaxed);
                }
            });
        } catch (...) {
            error = std::current_exception();
        }
        {
            const std::lock_guard lock(mutex);
            finished = true;
        }
        ended.notify_all();
    });
    bool completed = false;
    try {
        completed = WaitWithProgress(
            "Searching the decoded text of every message", emails.size(),
            [&] { return done.load(std::memory_order_relaxed); },
            [&](std::chrono::milliseconds Timeout) {
                std::unique_lock lock(mutex);
                return ended.wait_for(lock, Timeout, [&] { return finished; });
            });
    } catch (...) {
        stop = true;
        runner.join();
        throw;
    }
    if (!completed) stop = true;
    runner.join();
    if (error) std::rethrow_exception(error);
    if (!completed) return false;
    textMatches = std::move(matches);
    textMatchesFor = Words;
    return true;
}

bool TMainWindowCore::WaitForHeaderIndex() {
    if (index.Ready()) return true;
    // Started with every new list; a list that came without one (none decoded) starts it here.
    if (index.size() != emails.size()) index.Start(emails, 0, workGate);
    return WaitWithProgress(
        "Reading the header fields of every message for the sort", emails.size(),
        [this] { return index.Done(); },
        [this](std::chrono::milliseconds Timeout) { return index.WaitReady(Timeout); });
}

bool TMainWindowCore::WaitWithProgress(
    const std::string& Task, std::size_t Total, const std::function<std::size_t()>& Done,
    const std::function<bool(std::chrono::milliseconds)>& WaitFinished) {
    if (WaitFinished(ProgressGrace)) return true;
    FView.SetBusy(true);
    working = true;
    cancelRequest = false;
    struct TRestore {
        TMainWindowCore& Core;
        ~TRestore() {
            Core.workWindow = nullptr;
            Core.FView.ProgressClose();
            Core.working = false;
            Core.cancelRequest = false;
            Core.FView.SetBusy(false);
        }
    } restore{*this};
    const TClock clock = FClock ? FClock : TClock([] { return std::chrono::steady_clock::now(); });
    TScanProgress& progress = workProgress;
    progress = TScanProgress();
    progress.Task = Task;
    progress.BytesTotal = Total;
    const auto start = clock();
    TProgressWindow* const window = FView.ProgressOpen(Total);
    workWindow = window;
    const auto show = [&] {
        progress.BytesDone = Done();
        progress.Seconds = std::chrono::duration<double>(clock() - start).count();
        if (window == nullptr) return;
        window->SetPosition(progress.BytesDone);
        window->ShowProgress(progress);
    };
    // Filled in before the window is first painted.
    show();
    bool finished = false;
    while (true) {
        FView.PumpEvents();
        if (cancelRequest) break;
        if (WaitFinished(WorkPumpInterval)) {
            finished = true;
            break;
        }
        show();
    }
    if (!finished && window != nullptr) {
        progress.Cancelling = true;
        window->ShowProgress(progress);
    }
    return finished;
}

void TMainWindowCore::SetHideCopies(bool Hide) {
    if (Hide == hideCopies) return;
    hideCopies = Hide;
    populateList();
}

void TMainWindowCore::SetClientDeletedOnly(bool Only) {
    if (Only == clientDeletedOnly) return;
    clientDeletedOnly = Only;
    populateList();
}

std::optional<std::size_t> TMainWindowCore::CopyOf(std::size_t Item) const {
    return Item < copies.size() ? copies[Item] : std::nullopt;
}

void TMainWindowCore::SetSourceView(bool Source) {
    if (Source == sourceView) return;
    // The same rows, shown otherwise: a view repaints them and keeps its selection.
    FView.RowsChanging(TRowsChange::Reorder);
    sourceView = Source;
    FView.RowsChanged(TRowsChange::Reorder);
}

const TDecodedMessage* TMainWindowCore::Decoded(std::size_t Item) const {
    if (!CanDecodeMail() || Item >= emails.size()) return nullptr;
    auto known = decoded.find(Item);
    if (known == decoded.end())
        known = decoded.emplace(Item, DecodeMessage(emails.FullText(Item))).first;
    return &known->second;
}

std::optional<THeaderFields> TMainWindowCore::Headers(std::size_t Item) const {
    if (!CanDecodeMail() || Item >= emails.size()) return std::nullopt;
    if (index.Ready()) {
        // The rows decoded here while the index was built are in it now.
        if (!headers.empty()) headers = decltype(headers)();
        return index.Fields(Item);
    }
    const TDecodedMessage* message = nullptr;
    if (const auto whole = decoded.find(Item); whole != decoded.end()) {
        message = &whole->second;
    } else {
        auto known = headers.find(Item);
        if (known == headers.end())
            known = headers.emplace(Item, DecodeMessage(HeaderPart(emails.FullText(Item)))).first;
        message = &known->second;
    }
    return THeaderFields{message->From, message->To, message->Subject, message->DateText,
                         message->Time};
}

const TDecodedMessage* TMainWindowCore::DecodedOf(std::size_t Row) const {
    return Row < rows.size() ? Decoded(rows[Row].Item) : nullptr;
}

std::size_t TMainWindowCore::DecodedCount() const {
    return decoded.size();
}

std::size_t TMainWindowCore::HeadersDecodedCount() const {
    return headers.size();
}

void TMainWindowCore::ClearFilter() {
    filterActive = false;
    populateList();
}

void TMainWindowCore::SetAllTicked(bool Ticked) {
    if (rows.empty()) return;
    for (TResultRow& row : rows)
        row.Checked = Ticked;
    ticked = Ticked ? rows.size() : 0;
    FView.TicksChanged(0, rows.size() - 1);
    FView.CountsChanged();
}

void TMainWindowCore::SetTicked(std::size_t Row, bool Ticked) {
    if (Row >= rows.size()) return;
    if (rows[Row].Checked != Ticked) {
        rows[Row].Checked = Ticked;
        ticked = Ticked ? ticked + 1 : ticked - 1;
    }
    FView.TicksChanged(Row, Row);
    FView.CountsChanged();
}

void TMainWindowCore::SortBy(TResultColumn Column) {
    const bool byDecoded = !SourceView();
    // Cancelled: the rows, and the column and direction a next click goes by, stay as they were.
    if (byDecoded && Column != TResultColumn::ItemNum && !rows.empty() && !WaitForHeaderIndex())
        return;
    if (Column == sortColumn)
        sortAscending = !sortAscending;
    else
        sortColumn = Column;

    // The collation prepares the column's texts once per sort, not once per comparison.
    // The texts are views into the index or the found list: nothing is copied per row.
    std::vector<std::string_view> texts;
    std::vector<std::optional<std::int64_t>> times;
    TTextOrder byText;
    if (Column != TResultColumn::ItemNum) {
        texts.reserve(rows.size());
        if (byDecoded) {
            if (Column == TResultColumn::Date) times.reserve(rows.size());
            for (const TResultRow& row : rows) {
                const THeaderFields fields = index.Fields(row.Item);
                switch (Column) {
                case TResultColumn::From:
                    texts.push_back(fields.From);
                    break;
                case TResultColumn::To:
                    texts.push_back(fields.To);
                    break;
                case TResultColumn::Subject:
                    texts.push_back(fields.Subject);
                    break;
                default:
                    texts.push_back(fields.DateText);
                    times.push_back(fields.Time);
                    break;
                }
            }
        } else {
            for (const TResultRow& row : rows)
                texts.push_back(ColumnText(emails.Headers(row.Item), Column));
        }
        byText = FCollation(texts);
    }
    std::vector<std::size_t> order(rows.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](std::size_t A, std::size_t B) {
        if (!times.empty()) {
            // Real times first in either direction; the texts that are no date after them.
            if (times[A].has_value() != times[B].has_value()) return times[A].has_value();
            if (times[A]) {
                if (*times[A] == *times[B]) return false;
                return sortAscending ? *times[A] < *times[B] : *times[A] > *times[B];
            }
        }
        const int result =
            byText ? byText(A, B) : CompareItems(emails, rows[A].Item, rows[B].Item, Column);
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
    previewText = emails.Body(rows[Row].Item);
    return &previewText;
}

void TMainWindowCore::SetPreviewRow(std::optional<std::size_t> Row) {
    previewItem.reset();
    if (Row && *Row < rows.size()) previewItem = rows[*Row].Item;
}

std::optional<std::size_t> TMainWindowCore::PreviewRow() const {
    if (!previewItem) return std::nullopt;
    for (std::size_t r = 0; r < rows.size(); ++r)
        if (rows[r].Item == *previewItem) return r;
    return std::nullopt;
}

std::string TMainWindowCore::CellText(std::size_t Row, TResultColumn Column) const {
    if (Row >= rows.size()) return {};
    if (Column == TResultColumn::ItemNum) return std::to_string(rows[Row].Item);
    return std::string(ColumnText(emails.Headers(rows[Row].Item), Column));
}

std::string TMainWindowCore::CellShown(std::size_t Row, TResultColumn Column) const {
    return Utf8From1252(CellText(Row, Column));
}

std::string TMainWindowCore::PreviewShown(std::size_t Row) const {
    const std::string* body = PreviewOf(Row);
    return body != nullptr ? Utf8From1252(*body) : std::string();
}

std::string TMainWindowCore::CellView(std::size_t Row, TResultColumn Column) const {
    const std::optional<THeaderFields> message =
        SourceView() || Column == TResultColumn::ItemNum || Row >= rows.size()
            ? std::nullopt
            : Headers(rows[Row].Item);
    if (!message) return CellShown(Row, Column);
    switch (Column) {
    case TResultColumn::From:
        return std::string(message->From);
    case TResultColumn::To:
        return std::string(message->To);
    case TResultColumn::Subject:
        return std::string(message->Subject);
    case TResultColumn::Date:
        return message->Time ? UtcText(*message->Time) : std::string(message->DateText);
    default:
        return CellShown(Row, Column);
    }
}

std::string TMainWindowCore::PreviewView(std::size_t Row) const {
    // Without decoding the preview is the stored body, as it always was.
    if (!CanDecodeMail()) return PreviewShown(Row);
    // Message Source: the whole message as stored, header lines included, as mail programs
    // show a message's source.
    if (SourceView())
        return Row < rows.size() ? Utf8From1252(emails.FullText(rows[Row].Item)) : std::string();
    const TDecodedMessage* message = DecodedOf(Row);
    return message != nullptr ? message->Text : PreviewShown(Row);
}

std::string TMainWindowCore::CellTip(std::size_t Row, TResultColumn Column) const {
    if (Row >= rows.size()) return {};
    if (Column == TResultColumn::Date && !SourceView())
        if (const std::optional<THeaderFields> message = Headers(rows[Row].Item)) {
            // The list shows the time in UTC; the tip adds the date as the sender wrote it.
            if (!message->Time) return std::string(message->DateText);
            return CellView(Row, Column) + " \u2014 written \u201c" +
                   std::string(message->DateText) + "\u201d";
        }
    return CellView(Row, Column);
}

std::string TMainWindowCore::DetailsText(std::size_t Row) const {
    if (Row >= rows.size()) return {};
    const std::size_t item = rows[Row].Item;
    const TDecodedMessage* message = Decoded(item);
    // Five short lines: what fits under the preview without scrolling.
    std::string text;
    if (message != nullptr) {
        text += "From: " + message->From + "   To: " + message->To + "\n";
        text += "Date: " +
                (message->Time ? UtcText(*message->Time) + " (" + message->DateText + ")"
                               : message->DateText) +
                "\n";
        text += "Subject: " + message->Subject + "\n";
    } else {
        text += "From:" + CellShown(Row, TResultColumn::From) +
                "   To:" + CellShown(Row, TResultColumn::To) + "\n";
        text += "Date:" + CellShown(Row, TResultColumn::Date) + "\n";
        text += "Subject:" + CellShown(Row, TResultColumn::Subject) + "\n";
    }
    std::string place;
    if (item < places.size() && !places[item].Inside.empty()) {
        // Outermost first: where each stream begins, then where the message lies in the last.
        const std::vector<TStreamStep>& inside = places[item].Inside;
        place = "Found inside ";
        for (std::size_t i = 0; i < inside.size(); ++i) {
            place += std::string(i > 0 ? ", in it " : "") + "a " + StreamKindName(inside[i].Kind) +
                     " stream at byte " + std::to_string(inside[i].Offset);
            if (i == 0) place += " (" + HexOffset(inside[i].Offset) + ")";
        }
        place += ", at byte " + std::to_string(inside.back().At) +
                 " of its inflated bytes, by the " + CarvingRuleName(places[item].Rule) + " rule";
    } else if (item < places.size()) {
        place = "Found at byte " + std::to_string(places[item].Offset) + " (" +
                HexOffset(places[item].Offset) + ") by the " + CarvingRuleName(places[item].Rule) +
                " rule";
    }
    if (const auto first = CopyOf(item))
        place += (place.empty() ? "Copy of item " : " \u00b7 copy of item ") +
                 std::to_string(*first) + " (the same stored bytes)";
    if (!place.empty()) text += place + "\n";
    if (emails.ClientDeleted(item)) text += "deleted in the mail program, not yet compacted\n";
    if (message == nullptr) {
        text += "This build does not decode MIME mail: the list and preview show the stored "
                "text as found.\n";
    } else if (message->Attachments.empty()) {
        text += "No attachments\n";
    } else {
        text += "Attachments: ";
        for (std::size_t i = 0; i < message->Attachments.size(); ++i) {
            const TAttachmentInfo& a = message->Attachments[i];
            if (i > 0) text += "; ";
            text += (a.FileName.empty() ? std::string("(unnamed)") : a.FileName) + " (" +
                    a.ContentType + ", " +
                    Count(static_cast<std::size_t>(a.Size), "byte", "bytes") + ")";
        }
        text += "\n";
    }
    return text;
}

void TMainWindowCore::SaveAttachment(std::size_t Row, std::size_t Index) {
    const TDecodedMessage* message = DecodedOf(Row);
    if (message == nullptr || Index >= message->Attachments.size()) {
        FView.ShowMessage(TMessageKind::Information, "Information",
                          "Choose a message and one of its attachments first; nothing was saved.");
        return;
    }
    const std::string file = FView.ChooseSaveFile(
        "Save Attachment", SuggestedFileName(message->Attachments[Index], Index), "All files (*)");
    if (file.empty()) return;
    const std::string reason =
        WriteFileWhole(file, AttachmentBytes(emails.FullText(rows[Row].Item), Index));
    if (!reason.empty()) ShowError("The attachment could not be saved.\n\n" + file + ": " + reason);
}

std::vector<TExportRow> TMainWindowCore::TickedOrSay() {
    std::vector<TExportRow> chosen;
    for (std::size_t position = 0; position < rows.size(); ++position)
        if (rows[position].Checked) chosen.push_back({position, rows[position].Item});
    if (chosen.empty())
        FView.ShowMessage(TMessageKind::Information, "Information",
                          "No emails selected. Tick the rows to export first (Quick Select All "
                          "ticks every row shown); nothing was written.");
    return chosen;
}

void TMainWindowCore::ExportTickedMailbox() {
    const std::vector<TExportRow> chosen = TickedOrSay();
    if (chosen.empty()) return;
    std::vector<std::size_t> items;
    for (const TExportRow& row : chosen)
        items.push_back(row.Item);
    const std::string file = FView.ChooseSaveFile("Export Selected as Mailbox",
                                                  "RecoveredEmails.mbox", "Mailboxes (*.mbox)");
    if (file.empty()) return;
    const std::string reason = WriteMbox(file, emails, items);
    if (!reason.empty()) {
        ShowError("The mailbox could not be written; nothing was exported.\n\n" + file + ": " +
                  reason);
        return;
    }
    FView.ShowMessage(TMessageKind::Information, "Information",
                      Count(items.size(), "email", "emails") + " exported to the mailbox " + file);
}

bool TMainWindowCore::DeepScanMayFindMore() const {
    // Mail the standard rule cuts short leaves fragments without a header: when they are a
    // third of what was found or more, the deep rule, which reads long and odd header blocks,
    // is the likely cure.
    return scanned && scanRule == TCarvingRule::Standard && scanFragments > 0 &&
           scanFragments * 3 >= scanFound;
}

std::string TMainWindowCore::StatusText() const {
    if (!scanned) return {};
    std::string text = cancelled
                           ? "Scan cancelled: " + Count(emails.size(), "message", "messages") +
                                 " found before it stopped"
                           : Count(emails.size(), "message", "messages") + " found";
    text += " \u00b7 " + std::to_string(rows.size()) + " shown";
    if (filterActive)
        text += filterMode == TFilterMode::Text
                    ? " with the text \u201c" + keyword + "\u201d"
                    : " with the keyword \u201c" + Utf8From1252(keyword) + "\u201d";
    if (hideCopies) text += ", copies hidden";
    // Said, or a user who forgot the View item believes the rest of the mail is gone.
    if (clientDeletedOnly) text += ", only those deleted in the mail program";
    text += " \u00b7 " + std::to_string(ticked) + " ticked";
    if (DeepScanMayFindMore())
        text += " \u00b7 " + std::to_string(scanFragments) +
                " have no sender and no subject: " + "Options \u25b8 Deep Scan may find more";
    return text;
}

void TMainWindowCore::ExportTicked() {
    const std::vector<TExportRow> chosen = TickedOrSay();
    if (chosen.empty()) return;

    const std::string folder = FView.BrowseFolder(ExportPrompt, {}, true);
    if (folder.empty()) return;

    // The names follow row positions, so an earlier export into this folder left files of the
    // same names, most likely holding other messages.
    std::vector<std::string> existing;
    for (const TExportRow& row : chosen) {
        const std::string name = ExportFileName(folder, row.RowPosition);
        std::error_code ec;
        // A folder of that name is never replaced: its row fails and is reported.
        const fs::file_status st = fs::symlink_status(fs::path(name), ec);
        if (fs::exists(st) && !fs::is_directory(st))
            existing.push_back(fs::path(name).filename().string());
    }
    if (!existing.empty() &&
        !FView.AskYesNo(ReplaceTitle, ReplaceQuestion(existing, chosen.size(), folder)))
        return;

    // Without a yes, a file that appears meanwhile is kept and its row reported as not written.
    const TExportReport report =
        ExportRows(folder, emails, chosen, RealExportOutput(), !existing.empty());
    if (!report.FolderError.empty()) {
        ShowError(std::string(FolderNotWritable) + "\n\n" + folder + ": " + report.FolderError);
        return;
    }
    if (report.Ok()) {
        FView.ShowMessage(TMessageKind::Information, "Information", ExportDone);
        return;
    }
    const TExportFailure& first = report.Failures.front();
    ShowError(std::to_string(report.Failures.size()) + " of " + std::to_string(chosen.size()) +
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

void TMainWindowCore::OpenHelp(const std::string& Anchor) {
    const std::string path = ManualPath(FView.ProgramFolder());
    if (path.empty()) {
        FView.ShowMessage(TMessageKind::Error, ApplicationTitle,
                          "The help page manual.html was not found next to the program.");
        return;
    }
    const bool shown =
        Anchor.empty() ? FView.OpenDocument(path) : FView.OpenDocumentAt(path, Anchor);
    if (!shown)
        FView.ShowMessage(TMessageKind::Error, ApplicationTitle,
                          "No web browser could be started to show the help page. Open this file "
                          "in a browser yourself:\n" +
                              path);
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
