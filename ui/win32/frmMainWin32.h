#pragma once

// The program's one main window on Windows: native controls over the window core, which holds
// what every command does. It builds the controls and their layout, hands each event to the core
// and shows the core's rows; it has no filter, sort, tick or export logic of its own. The scan
// runs inside the Scan command on this thread; the core's scan monitor keeps the windows painted
// through PumpEvents (pending messages dispatched) and drives the progress window shown here.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <windows.h>

#include <commctrl.h>

#include "ui/MainWindowCore.h"

class TfrmWaitWin32;

class TfrmMainWin32 final : public TMainWindowView {
  public:
    // How the window talks to the world outside it. Each has a working default; tests replace
    // them so that no modal box or dialog blocks and what would be shown can be checked.
    struct THooks {
        // Modal box with one OK button; Error chooses the icon.
        std::function<void(bool Error, const std::wstring& Title, const std::wstring& Text)>
            ShowMessage;
        // Question with Yes and No, No the default; true for Yes.
        std::function<bool(const std::wstring& Title, const std::wstring& Text)> AskYesNo;
        // Folder chooser: prompt, initial folder, new folder allowed. Empty answer = cancelled.
        std::function<std::wstring(const std::wstring& Prompt, const std::wstring& Initial,
                                   bool AllowNew)>
            BrowseFolder;
        // Image file chooser of "Open Disk Image…". Empty answer = cancelled.
        std::function<std::wstring()> ChooseImage;
        // Opens a document in its default program; false when nothing could.
        std::function<bool(const std::wstring& Path)> OpenDocument;
        // The drives to offer; may throw TPwError.
        std::function<TDriveArray()> ListDrives;
        // Why a drive cannot be scanned before the scan starts (empty when it can): reading a
        // drive needs rights that reading an image does not.
        std::function<std::string(const std::string& DrivePath)> DriveProblem;
        // Why an image file cannot be offered at all (empty when it can).
        std::function<std::string(const std::string& ImagePath)> ImageProblem;
        // Save file chooser: title, suggested file name, file types ("Mailboxes (*.mbox)"), the
        // folder it opens in. Empty answer = cancelled. It asks before replacing a file (the
        // core relies on that).
        std::function<std::wstring(const std::wstring& Title, const std::wstring& Suggested,
                                   const std::wstring& Types, const std::wstring& Folder)>
            ChooseSaveFile;
        // Closing the window ends the message loop (not in tests, which run no loop).
        bool QuitOnClose = true;
    };

    TfrmMainWin32();
    explicit TfrmMainWin32(THooks Hooks);
    ~TfrmMainWin32() override;
    TfrmMainWin32(const TfrmMainWin32&) = delete;
    TfrmMainWin32& operator=(const TfrmMainWin32&) = delete;

    // Shows the window, centred on the work area.
    void Show(int ShowCommand = SW_SHOWNORMAL);
    // Keyboard handling for a message the loop took: F1, Tab between controls. True when the
    // message was used and must not be dispatched.
    bool PreTranslate(MSG& Message);

    // Handlers, each handing its work to the core.
    void FormCreate() { FCore.ListDrives(); }
    void sbScanClick();
    void sbSelectAllClick() { FCore.SetAllTicked(true); }
    void sbDeselectAllClick() { FCore.SetAllTicked(false); }
    void sbSaveEmailClick() { FCore.ExportTicked(); }
    void mnuExportMailboxClick() { FCore.ExportTickedMailbox(); }
    void mnuMessageSourceClick();
    void mnuHideCopiesClick();
    void mnuClientDeletedClick();
    void btnApplyFilterClick();
    void btnClearFilterClick();
    void lvFoundEmailsColumnClick(int Column);
    void lvFoundEmailsClick();
    void btnSaveAttachmentClick();
    void mnuOpenImageClick();
    void mnuHelpClick() { FCore.OpenHelp(); }
    void mnuAboutClick();
    void mnuDeepScanClick();
    // The Cancel button and Esc of the progress window.
    void frmWaitCancel() { FCore.RequestCancel(); }

    TMainWindowCore& Core() { return FCore; }
    HWND Handle() const { return FHandle; }
    // The progress window while a scan runs, else null.
    TfrmWaitWin32* WaitWindow() const { return FWait.get(); }

    // Controls (children of the main window; the group boxes' contents too).
    HWND tbButtons = nullptr; // sbScan, sbSelectAll, sbDeselectAll, sbSaveEmail
    HWND GroupBox1 = nullptr;
    HWND cbDrives = nullptr;
    HWND Filter = nullptr;
    HWND lblKeyword = nullptr;
    HWND txtFilter = nullptr;
    HWND btnApplyFilter = nullptr;
    HWND btnClearFilter = nullptr;
    HWND chkText = nullptr; // the filter searches the decoded text instead of the stored bytes
    HWND lvFoundEmails = nullptr;
    HWND txtmsgbody = nullptr;
    HWND txtDetails = nullptr;        // under the preview: headers, place on the disk, rule, copy
    HWND cbAttachments = nullptr;     // the previewed message's attachments
    HWND btnSaveAttachment = nullptr; // saves the one chosen there
    HWND sbStatus = nullptr;          // found, shown and ticked, under the client area
    HMENU MainMenu1 = nullptr;

  private:
    // TMainWindowView
    void ShowMessage(TMessageKind Kind, const std::string& Title, const std::string& Text) override;
    bool AskYesNo(const std::string& Title, const std::string& Text) override;
    std::string BrowseFolder(const std::string& Prompt, const std::string& Initial,
                             bool AllowNewFolder) override;
    std::string ChooseImage() override;
    bool OpenDocument(const std::string& Path) override;
    std::string ProgramFolder() override;
    void SetBusy(bool Busy) override;
    void RowsChanged(TRowsChange Change) override;
    void TicksChanged(std::size_t First, std::size_t Last) override;
    void DrivesChanged(int Selected) override;
    void CountsChanged() override;
    std::string ChooseSaveFile(const std::string& Title, const std::string& Suggested,
                               const std::string& Types) override;
    // TScanView: the messages of the progress window go through its keyboard handling.
    void PumpEvents() override;
    TProgressWindow* ProgressOpen(std::uint64_t Maximum) override;
    void ProgressClose() override;
    // A chosen path in the system's code page, the form the core opens files by; where it has no
    // such form, nullopt after telling the user: Named is what it is ("The folder"), Instead
    // what to do.
    std::optional<std::string> ChosenPath(const std::wstring& Chosen, const wchar_t* Named,
                                          const wchar_t* Instead);

    static LRESULT CALLBACK WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
    LRESULT Handle(UINT Message, WPARAM WParam, LPARAM LParam);
    LRESULT Notify(const NMHDR& Header);
    void Command(int Id);
    // Runs a handler; an error that escapes it is shown and the program goes on.
    void Guarded(void (TfrmMainWin32::*Handler)());

    void BuildControls();
    void BuildMenu();
    void Layout();
    void MakeFont();
    // The pictures at the present dots per inch, handed to the controls that show them.
    void MakeImageLists();
    // The picture buttons' widths: their slots, or more where a caption needs it in this font.
    std::array<int, 4> ButtonWidths() const;
    void SyncFilterControls();
    // The preview, details and attachments of a row, or of none (all emptied).
    void ShowPreview(std::optional<std::size_t> Row);
    // The previewed row shown afresh after a change of what the rows show.
    void RefreshPreview();
    // After a command that waits on work with the progress window up: the window's close box
    // used meanwhile cancelled it, and the window goes now.
    void CloseIfAsked();
    // The list holds no rows of its own (owner data): texts and tick boxes are read from the
    // core when shown, and a click on a box or Space turns the core's tick.
    static LRESULT CALLBACK ListProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam,
                                     UINT_PTR Id, DWORD_PTR Self);
    void ToggleTick(int Row);
    // Type-ahead: the first row from Start on (past the last row to the first when Wrap) whose
    // first column is Text, or begins with it when Partial; -1 when none.
    int FindRow(const std::wstring& Text, bool Partial, int Start, bool Wrap) const;
    // The header's sort arrow on the core's sort column, pointing its way; none when Sorted is
    // false (the rows stand in found order).
    void SyncSortArrow(bool Sorted);
    // The whole text of a cell the list cuts off, for its info tip; empty for one that fits.
    std::wstring CellTip(int Row, int Column) const;
    int Px(int Value) const { return ::MulDiv(Value, static_cast<int>(FDpi), 96); }

    THooks FHooks;
    TMainWindowCore FCore;
    HWND FHandle = nullptr;
    HACCEL FAccelerators = nullptr;
    unsigned FDpi = 96;
    HFONT FFont = nullptr;
    HIMAGELIST ilIcons = nullptr;   // 16 px: 0 drive, 1 envelope
    HIMAGELIST ilButtons = nullptr; // 48 px: the four picture buttons
    HBRUSH FPreviewBrush = nullptr;
    std::wstring FCellText; // the text last handed to the results list
    std::unique_ptr<TfrmWaitWin32> FWait;
    // Where the last file was saved this session: the next save dialog opens there.
    std::wstring FSaveFolder;
};
