#pragma once

// What the main window's commands do, apart from any toolkit: the drive list with added images,
// the scan into rows, the keyword filter, the sort, the ticks, the preview and the export with
// its messages. A view (Qt on Linux, Win32 on Windows) builds the controls, wires their events
// to these operations and renders Rows(); the core reaches the world outside only through the
// view's interface below. The scan's host (TScanMonitor) is the core's too: a view offers only
// what a toolkit must for a scan, the pumping of its events and a progress window (TScanView).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "disk/GetDrives.h"
#include "engine/Globals.h"
#include "engine/ResultView.h"
#include "engine/ScanHardDisk.h"
#include "engine/ScanHost.h"
#include "mail/DecodedMessage.h"
#include "ui/HeaderIndex.h"

struct TExportRow;

// One row of the results list: the message's position in the found list (its "Item Num", the
// row's only link to its message) and the row's tick.
struct TResultRow {
    std::size_t Item = 0;
    bool Checked = false;
};

enum class TMessageKind { Information, Error };

// The results list's column widths in pixels at 96 dots per inch, Item Num to Subject; the same
// in every view.
constexpr int ResultColumnWidths[ResultColumnCount] = {65, 150, 200, 200, 500};

// What the progress window shows while a scan runs, worked out once for every view.
struct TScanProgress {
    std::uint64_t BytesDone = 0;
    std::uint64_t BytesTotal = 0;
    std::size_t Found = 0;
    double Seconds = 0;      // since the scan began
    bool Cancelling = false; // a cancel was asked for and the scan is winding down
    // Not a scan but work over every message (a sort waiting for the header fields, the text
    // search): what it does. BytesDone and BytesTotal then count messages.
    std::string Task;

    // 0 to 1.
    double Fraction() const;
    // Bytes per second; 0 for the first half second, too little to tell.
    double Rate() const;
    // Seconds left at the present rate; negative while it cannot be told.
    double SecondsLeft() const;
    // "1.2 GiB of 2.0 GiB (60%)"; for a task "12000 of 250000 messages (5%)".
    std::string BytesText() const;
    // "123 messages found · 45.0 MiB/s · 0:12 left", or what is known of it; for a task, the
    // task.
    std::string CountsText() const;
    // The caption over the bar: "Please Wait ......", or "Stopping the scan ......" (a task:
    // "Stopping ......") once a cancel was asked for.
    std::string CaptionText() const;
};

// A 64-bit range on a toolkit's progress bar, whose range is a signed 32-bit integer: drives of
// 2^31 sectors and more would not fit, so the maximum and every position are shifted right by the
// same number of bits until the maximum fits. The bar's fill is then the true fraction, to within
// one part in 2^30.
class TBarScale {
  public:
    explicit TBarScale(std::uint64_t Maximum);

    std::uint64_t Maximum() const { return FMaximum; }
    // The bar's own maximum.
    int Top() const { return static_cast<int>(FMaximum >> FShift); }
    // A position on the bar; one beyond the maximum fills it.
    int Of(std::uint64_t Value) const;
    // The bar filled to a fraction (0 to 1).
    int OfFraction(double Fraction) const;

  private:
    std::uint64_t FMaximum;
    unsigned FShift = 0;
};

// The progress window of a scan as the scan monitor moves it: each view's own window.
class TProgressWindow {
  public:
    virtual ~TProgressWindow() = default;
    // The bar to a sector number. It never moves back during a scan: sector steps and byte
    // counts both move it.
    virtual void SetPosition(std::uint64_t Value) = 0;
    // The figures, at most every few tenths of a second and at once when a cancel is asked for.
    virtual void ShowProgress(const TScanProgress& Progress) = 0;
};

// What a toolkit must do for a scan, which runs on its thread: let the window events that wait
// run, and show a progress window. When is the scan monitor's business.
class TScanView {
  public:
    virtual ~TScanView() = default;
    // Processes the pending window events and returns.
    virtual void PumpEvents() {}
    // Shows the progress window over the main window, its bar at 0 of Maximum (the drive's sector
    // count). The window stays the view's; null where the view shows none.
    virtual TProgressWindow* ProgressOpen(std::uint64_t Maximum) {
        (void)Maximum;
        return nullptr;
    }
    // Removes the progress window, also when a scan ended by an error; nothing when none is open.
    virtual void ProgressClose() {}
};

// Refill: every row replaced (scan, filter). Reorder: the same rows, ticks included, in a new
// order (sort).
enum class TRowsChange { Refill, Reorder };

// What the core needs of the window around it, the scan's part (TScanView) included.
class TMainWindowView : public TScanView {
  public:
    // A modal box with one OK button.
    virtual void ShowMessage(TMessageKind Kind, const std::string& Title,
                             const std::string& Text) = 0;
    // A modal question with Yes and No buttons, No the default; true for Yes. Closing the box
    // answers No.
    virtual bool AskYesNo(const std::string& Title, const std::string& Text) = 0;
    // The folder chooser: prompt, initial folder, new folder allowed. Empty when cancelled.
    virtual std::string BrowseFolder(const std::string& Prompt, const std::string& Initial,
                                     bool AllowNewFolder) = 0;
    // The image file chooser of "Open Disk Image…". Empty when cancelled.
    virtual std::string ChooseImage() = 0;
    // Shows a document in the desktop's default program; false when nothing could show it.
    virtual bool OpenDocument(const std::string& Path) = 0;
    // The same, scrolled to the named anchor where the view can do so.
    virtual bool OpenDocumentAt(const std::string& Path, const std::string& Anchor) {
        (void)Anchor;
        return OpenDocument(Path);
    }
    // The folder the program was started from, where its manual is looked for first.
    virtual std::string ProgramFolder() = 0;
    // The whole window refuses input while a scan runs.
    virtual void SetBusy(bool Busy) = 0;

    // Announced around every change of the rows, so a view can keep its own state in step.
    virtual void RowsChanging(TRowsChange Change) { (void)Change; }
    virtual void RowsChanged(TRowsChange Change) { (void)Change; }
    virtual void TicksChanged(std::size_t First, std::size_t Last) { (void)First, (void)Last; }
    // The drive list was (re)built; Selected is the entry to select, -1 for none.
    virtual void DrivesChanged(int Selected) { (void)Selected; }
    // The counts of StatusText() changed (rows refilled, ticks changed, a scan ended).
    virtual void CountsChanged() {}

    // The file chooser for saving: title, suggested file name, file types ("Mailboxes
    // (*.mbox)"). Empty when cancelled; a view without one saves nothing. It asks itself before
    // a chosen file that exists is replaced, as the platforms' choosers do, so the core does not
    // ask again.
    virtual std::string ChooseSaveFile(const std::string& Title, const std::string& Suggested,
                                       const std::string& Types) {
        (void)Title, (void)Suggested, (void)Types;
        return {};
    }
};

// How the keyword filter searches: the stored bytes as typed (the default), or the decoded
// headers and text in Unicode, ignoring case.
enum class TFilterMode { Bytes, Text };

using TClock = std::function<std::chrono::steady_clock::time_point()>;

// Paces the pumping of events during a scan: the engine calls keep-alive per byte, line and
// message, so the clock is read only every few hundred calls (or at once after a progress step)
// and events are pumped at most once per Interval, so that a scan runs as fast with a window as
// without.
class TKeepAlivePacer {
  public:
    using TClock = ::TClock;

    explicit TKeepAlivePacer(std::function<void()> Pump, TClock Clock = {},
                             std::chrono::milliseconds Interval = std::chrono::milliseconds(30));

    void KeepAlive(std::uint64_t Count);
    // A progress step: read the clock at the next keep-alive.
    void CheckSoon() { FCheckClock = true; }
    // Events were just pumped by other means; the interval starts again.
    void Pumped();

  private:
    std::function<void()> FPump;
    TClock FClock;
    std::chrono::milliseconds FInterval;
    bool FCheckClock = true;
    unsigned FCallsSinceCheck = 0;
    std::chrono::steady_clock::time_point FLastPump{};
};

// The scan's host, the same for every view: keep-alive paced onto the view's pumping of events,
// the progress window opened, moved and given its figures (bytes and messages counted, rate and
// time left worked out), and the user's cancel request answered. Cheap per call: the engine calls
// it per byte.
class TScanMonitor : public TScanHost {
  public:
    TScanMonitor(TScanView& View, std::uint32_t SectorSize, std::uint64_t TotalBytes,
                 const bool& CancelFlag, TClock Clock = {});

    void KeepAlive(std::uint64_t count = 1) override { FPacer.KeepAlive(count); }
    void ProgressOpen(std::uint64_t maximum) override;
    void ProgressPosition(std::uint64_t position) override;
    void ProgressClose() override;
    void ProgressBytes(std::uint64_t offset) override;
    bool CancelRequested() override;
    void MessageFound() override { ++FProgress.Found; }

    // Tells the view now, not at the next tick (a cancel was just asked for).
    void ShowNow();
    // The engine asked after the cancel request and was told to stop.
    bool Stopped() const { return FStopped; }
    const TScanProgress& Progress() const { return FProgress; }

  private:
    void Tick();

    TScanView& FView;
    TProgressWindow* FWindow = nullptr; // while it is open
    std::uint32_t FSectorSize;
    const bool& FCancel;
    TClock FClock;
    TKeepAlivePacer FPacer;
    TScanProgress FProgress;
    std::chrono::steady_clock::time_point FStart{}, FLastShow{};
    unsigned FCalls = 0;
    bool FStopped = false;
};

// How the texts of a column are ordered for a sort. Called once per sort with the texts of the
// rows; answers a comparison of two of them by index into Texts (below, at or above zero). A
// view collates by its platform's locale and can prepare its keys once per text here rather than
// once per comparison. The texts are the stored bytes (Windows-1252) in the source view and UTF-8
// in the decoded view (TMainWindowCore::SourceView()).
using TTextOrder = std::function<int(std::size_t, std::size_t)>;
using TCollation = std::function<TTextOrder(const std::vector<std::string_view>& Texts)>;

// The upper-case table's order (CompareTextNoCase), as the command-line scanner sorts.
TCollation CollateNoCase();

class TMainWindowCore {
  public:
    // ListDrives defaults to the drives the system offers; Collation to CollateNoCase().
    explicit TMainWindowCore(TMainWindowView& View, std::function<TDriveArray()> ListDrives = {},
                             TCollation Collation = {});

    // Fills the drive list and selects its first entry. An error of the listing is shown and
    // leaves the list empty.
    void ListDrives();
    // Adds an image chosen by the user, or selects it when it is listed already.
    void OpenImage();

    // Scans the drive at DriveIndex of Drives(); for an index with no drive behind it, says why
    // nothing was scanned.
    void Scan(int DriveIndex);
    // The Cancel button or Esc in the progress window: the scan stops at its next check and
    // keeps what it found; a sort or text search waiting on its work stops and leaves the list
    // as it was.
    void RequestCancel();
    // The window's close box or File ▸ Exit. During a scan (or a sort or search that shows the
    // progress window) the window must stay: the work is cancelled and the answer is false; the
    // window closes once it has ended (CloseAfterScan). Otherwise true.
    bool MayClose();
    // True once after a scan that a close cancelled: the view closes its window now.
    bool CloseAfterScan() { return std::exchange(closeAfterScan, false); }
    // One scan of one drive; its list replaces the earlier one only when it ends well. Errors
    // reach the caller after the windows are put back.
    void runScan(const std::string& DrivePath);
    // Takes a scan's list as Emails() and its places, and refills the rows.
    void ShowResults(TScanResult Found);
    // The same for a list whose places are not known.
    void ShowResults(TEmailArray Found);
    // Rows from Emails() in found order, through the keyword when the filter is on; unticked.
    void populateList();

    // An empty keyword changes nothing. The keyword is bytes, taken as typed.
    void ApplyFilter(const std::string& Keyword);
    // The keyword as the user typed it (UTF-8), made into the Windows-1252 bytes stored mail is
    // searched in. A character with no byte there is refused with a message naming it, and the
    // filter stays as it was. True when the filter was applied.
    bool ApplyTypedFilter(const std::string& Utf8Keyword);
    void ClearFilter();
    // The second mode: the words (UTF-8) searched in the decoded From, To, Subject and text,
    // ignoring case in Unicode. Every message is decoded for it, on all cores off the window's
    // thread, with the progress window up when it takes a while; Cancel there leaves the filter
    // and rows as they were. Refused with a message where this build does not decode mail. True
    // when the filter was applied.
    bool ApplyTextFilter(const std::string& Utf8Words);
    TFilterMode FilterMode() const { return filterMode; }

    // View > Hide Copies: of each set of messages with equal stored bytes only the first is
    // listed. Off by default; changing it refills the rows.
    void SetHideCopies(bool Hide);
    bool HideCopies() const { return hideCopies; }
    // View > Deleted in Mail Program Only: only the messages their mail program marked deleted
    // (still in its folder file until it is compacted) are listed. Off by default; changing it
    // refills the rows.
    void SetClientDeletedOnly(bool Only);
    bool ClientDeletedOnly() const { return clientDeletedOnly; }
    // The item number of the first message with the same stored bytes, or none.
    std::optional<std::size_t> CopyOf(std::size_t Item) const;

    // View > Message Source: list and preview show the stored text (every byte its Windows-1252
    // character, nothing decoded) instead of the decoded message. Where mail is not decoded the
    // stored text is all there is.
    void SetSourceView(bool Source);
    bool SourceView() const { return sourceView || !CanDecodeMail(); }

    void SetAllTicked(bool Ticked);
    void SetTicked(std::size_t Row, bool Ticked);

    // A click on a column header: the same column again reverses the direction, another column
    // keeps it. Item Num sorts by number, the other columns by the collation, ignoring case;
    // rows with equal keys keep their order. In the decoded view Date sorts by time, dates that
    // do not parse after all real ones (by their text) in either direction. The decoded view
    // sorts on the header index built after the scan; until it is complete the sort waits for
    // it with the progress window up, and Cancel there leaves rows and sort order as they were.
    void SortBy(TResultColumn Column);

    // The body a click on a row shows, or null when the row does not exist; valid until the next
    // call.
    const std::string* PreviewOf(std::size_t Row) const;
    // The row whose message the view's preview and details show: the view tells it when it
    // shows one (none: an empty preview). A refill that drops that message, or a new list, makes
    // it none before RowsChanged(Refill), and the view then empties its preview: it must never
    // show a message the list no longer holds. A refill that keeps the message keeps it.
    void SetPreviewRow(std::optional<std::size_t> Row);
    std::optional<std::size_t> PreviewRow() const;

    // Writes the ticked rows into a folder the user picks and says how it went. With nothing
    // ticked it says so and asks for no folder. Files of the same names in that folder (an
    // earlier export's, named by row position too, so most likely of other messages) are
    // replaced only when the user says so; otherwise nothing is written.
    void ExportTicked();
    // The ticked rows, in list order, as one mboxrd mailbox file the user names; written through
    // a temporary name. Says how it went, as ExportTicked does.
    void ExportTickedMailbox();

    // The decoded message of a row, decoded at its first use and kept; null when the row does
    // not exist or this build does not decode mail.
    const TDecodedMessage* DecodedOf(std::size_t Row) const;
    // How many messages have been decoded whole so far, and how many only as far as the header
    // fields the list shows on the window's thread while the header index was being built (none
    // of either by the scan itself).
    std::size_t DecodedCount() const;
    std::size_t HeadersDecodedCount() const;
    // The decoded header fields of every message, built in the background after each new list
    // where this build decodes mail.
    const THeaderIndex& HeaderIndex() const { return index; }
    // Called on the worker threads before each message of background work (the header index,
    // the text search): lets a test hold that work while it checks what the window does
    // meanwhile. Empty by default.
    void SetWorkGate(std::function<void()> Gate) { workGate = std::move(Gate); }
    // Threads the next scans carve with (the engine's default unless a test asks otherwise).
    void SetScanJobs(unsigned Jobs) { scanJobs = std::max(1u, Jobs); }
    // The details under the preview: the headers that matter, where on the disk the message was
    // found and by which rule, whether it is a copy, and its attachments. UTF-8, lines ended by
    // LF; empty when the row does not exist.
    std::string DetailsText(std::size_t Row) const;
    // Asks for a file name and writes attachment Index of a row's message there, decoded,
    // through a temporary name; says why when it cannot.
    void SaveAttachment(std::size_t Row, std::size_t Index);

    // Opens the manual shipped with the program, or says why it cannot; Anchor names a section.
    void OpenHelp(const std::string& Anchor = {});

    // Runs a command; an error that escapes it is shown, and the program goes on.
    void Guarded(const std::function<void()>& Command);

    // The text shown for an error that ends a command: its message, with a full stop added when
    // the message's last character sorts after the full stop.
    static std::string ErrorText(std::string Message);
    // The manual page beside the program (or where it is installed), or empty when none is found.
    static std::string ManualPath(const std::string& ProgramFolder);

    const TFoundEmails& Emails() const { return emails; }
    // Where each message was found; empty when the list came without places.
    const TEmailPlaces& Places() const { return places; }
    const TDriveArray& Drives() const { return drives; }
    const std::vector<TResultRow>& Rows() const { return rows; }
    // A row's text in a column: Item Num in decimal, the other fields exactly as stored.
    std::string CellText(std::size_t Row, TResultColumn Column) const;
    // The same as UTF-8 for the screen, each byte its Windows-1252 character.
    std::string CellShown(std::size_t Row, TResultColumn Column) const;
    // The preview of a row as UTF-8 (see PreviewOf), or empty when the row does not exist.
    std::string PreviewShown(std::size_t Row) const;
    // What the list and preview show in the present view: the decoded header, date and text,
    // or in the source view CellShown and PreviewShown. Decoded dates read
    // "2022-01-10 10:00:00 UTC"; a date that does not parse shows as written.
    // In the source view the preview is the whole stored message, header lines included (the
    // stored body alone where this build does not decode mail).
    std::string CellView(std::size_t Row, TResultColumn Column) const;
    std::string PreviewView(std::size_t Row) const;
    // The tip over a cell, for cells the list cuts off: the whole text of CellView; for a
    // decoded date, the date as written too (whole, where it is no date the list can show).
    std::string CellTip(std::size_t Row, TResultColumn Column) const;

    std::size_t TickedCount() const { return ticked; }
    // The last scan was stopped by the user before its end.
    bool ScanCancelled() const { return cancelled; }
    // Found, shown and ticked after a scan ("12 messages found · 4 shown with the keyword
    // “invoice” · 1 ticked"); says when the scan was cancelled, when only mail deleted in the
    // mail program is listed, and when Deep Scan may find more. Empty before the first scan.
    std::string StatusText() const;
    // The last scan used the standard rule and a third or more of what it found has neither
    // sender nor subject (pieces of messages it could not read whole).
    bool DeepScanMayFindMore() const;
    // No drive is offered: the view shows how to go on (open an image, get the right to read a
    // device: the manual's section DeviceAccessAnchor).
    bool NothingToScan() const { return drives.empty(); }
    static constexpr const char* DeviceAccessAnchor = "device-access";

    void SetClock(TClock Clock) { FClock = std::move(Clock); }

    bool FilterActive() const { return filterActive; }
    TResultColumn SortColumn() const { return sortColumn; }
    bool SortAscending() const { return sortAscending; }
    bool Scanning() const { return scanning; }
    // A sort or text search is waiting on its work with the progress window up.
    bool Working() const { return working; }
    // Options ▸ Deep Scan, for this session only.
    TCarvingRule Rule() const { return rule; }
    void SetRule(TCarvingRule Rule) { rule = Rule; }

  private:
    TScanResult RunScanner(const std::string& DrivePath, bool& Stopped);
    // Rows afresh from the list; Found, when given, replaces the list first.
    void Refill(TScanResult* Found);
    const TDecodedMessage* Decoded(std::size_t Item) const;
    // The decoded header fields (From, To, Subject, date) alone, for the list: the index once
    // it is complete; until then a message decoded whole serves, else its header lines are
    // decoded without its parts.
    std::optional<THeaderFields> Headers(std::size_t Item) const;
    // Waits for the header index on the window's thread with the progress window up; false when
    // the user cancelled.
    bool WaitForHeaderIndex();
    // Which messages' decoded text holds Words, worked out on every core; false when the user
    // cancelled (nothing changed then).
    bool SearchDecodedText(const std::string& Words);
    // A text filter that is on searches a new list too, after it is shown; cancelled, the filter
    // is turned off and every message stays listed.
    void SearchNewList();
    // Keeps the window alive while work runs on other threads: pumps its events, shows the
    // progress window (after a short grace, so quick work shows none) and answers Cancel. Done
    // tells the messages done of Total; WaitFinished waits at most the time given for the end.
    // True when the work finished, false when the user cancelled it.
    bool WaitWithProgress(const std::string& Task, std::size_t Total,
                          const std::function<std::size_t()>& Done,
                          const std::function<bool(std::chrono::milliseconds)>& WaitFinished);
    // The ticked rows in list order; with none, says so (before any chooser is shown, so that no
    // one believes files were written) and answers none.
    std::vector<TExportRow> TickedOrSay();
    void ShowError(const std::string& Text);
    void ShowApplicationError(const std::string& Message);

    TMainWindowView& FView;
    std::function<TDriveArray()> FListDrives;
    TCollation FCollation;
    TClock FClock;
    TScanMonitor* FMonitor = nullptr; // during a scan

    // State of the window, kept between scans.
    TFoundEmails emails;
    mutable std::string previewText;        // what PreviewOf last answered
    std::optional<std::size_t> previewItem; // the message the view's preview shows
    TEmailPlaces places;
    std::vector<std::optional<std::size_t>> copies; // per item
    // After emails: it reads the list from its threads, so it goes first.
    THeaderIndex index;
    // The last text search: per item, whether its decoded text holds textMatchesFor.
    std::vector<char> textMatches;
    std::string textMatchesFor;
    std::function<void()> workGate;
    unsigned scanJobs = TScanOptions::DefaultJobs();
    // Decoded messages by item, filled as rows are shown: by item number, as only the rows shown
    // are ever decoded, out of lists of a million messages.
    mutable std::unordered_map<std::size_t, TDecodedMessage> decoded;
    mutable std::unordered_map<std::size_t, TDecodedMessage> headers; // header fields only
    TDriveArray drives;
    std::vector<TResultRow> rows;
    bool filterActive = false;
    std::string keyword;
    TFilterMode filterMode = TFilterMode::Bytes;
    bool hideCopies = false;
    bool clientDeletedOnly = false;
    bool sourceView = false;
    TResultColumn sortColumn = TResultColumn::ItemNum;
    bool sortAscending = false;
    bool scanning = false;
    bool working = false;                  // waiting on background work with the progress window up
    TProgressWindow* workWindow = nullptr; // its progress window, while open
    TScanProgress workProgress;
    bool cancelRequest = false;
    bool closeAfterScan = false;
    bool cancelled = false;
    bool scanned = false;
    std::size_t ticked = 0;
    TCarvingRule rule = TCarvingRule::Standard;
    // Of the last scan: its rule, what it found, and how much of that has no sender or subject.
    TCarvingRule scanRule = TCarvingRule::Standard;
    std::size_t scanFound = 0;
    std::size_t scanFragments = 0;
};
