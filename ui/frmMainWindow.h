#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <QCollator>
#include <QMainWindow>
#include <QMessageBox>

#include "ui/FoundEmailsModel.h"
#include "ui/MainWindowCore.h"

class QAction;
class QCheckBox;
class QComboBox;
class QPlainTextEdit;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTableView;
class QTextEdit;
class QToolButton;
class TfrmWait;

// The program's one main window on Qt: the controls, their layout and their events, each
// handed to the window core, which holds what the commands do. The scan runs inside the Scan
// command on this thread; the core's scan monitor keeps the windows painted through PumpEvents
// and drives the progress window this window shows.
class TfrmMain : public QMainWindow, public TMainWindowView {
    Q_OBJECT
  public:
    // How the window talks to the world outside it. Each has a working default; tests replace
    // them so that no modal box or dialog blocks and what would be shown can be checked.
    struct THooks {
        // Modal box with one OK button.
        std::function<void(QMessageBox::Icon, const QString& Title, const QString& Text)>
            ShowMessage;
        // Folder chooser: prompt, initial folder, new folder allowed. Empty answer = cancelled.
        std::function<QString(const QString& Title, const QString& Initial, bool AllowNew)>
            BrowseFolder;
        // Image file chooser for "Open Disk Image…". Empty answer = cancelled.
        std::function<QString()> ChooseImage;
        // Opens a document in the desktop's default program; false when it could not.
        std::function<bool(const QUrl&)> OpenUrl;
        // The drives to offer; may throw TPwError.
        std::function<TDriveArray()> ListDrives;
        // The clock that paces the pumping of events and the progress figures during a scan.
        TClock Clock;
        // Save file chooser: title, suggested name, file types. Empty answer = cancelled.
        // It asks before replacing a file (the core relies on that).
        std::function<QString(const QString& Title, const QString& Suggested, const QString& Types)>
            ChooseSaveFile;
        // Question with Yes and No, No the default; true for Yes.
        std::function<bool(const QString& Title, const QString& Text)> AskYesNo;
    };

    explicit TfrmMain(THooks Hooks = {});
    ~TfrmMain() override;

    // What the scan needs of the toolkit (TScanView).
    void PumpEvents() override;
    TProgressWindow* ProgressOpen(std::uint64_t Maximum) override;
    void ProgressClose() override;

    // Handlers of the window, each handing its work to the core.
    void FormCreate() { FCore.ListDrives(); }
    void sbScanClick();
    void runScan(const std::string& DrivePath) { FCore.runScan(DrivePath); }
    void btnApplyFilterClick();
    void btnClearFilterClick() {
        FCore.ClearFilter();
        SyncFilterControls();
    }
    void sbSelectAllClick() { FCore.SetAllTicked(true); }
    void sbDeselectAllClick() { FCore.SetAllTicked(false); }
    void lvFoundEmailsColumnClick(TResultColumn Column);
    void lvFoundEmailsClick();
    void sbSaveEmailClick() { FCore.ExportTicked(); }
    void mnuExportMailboxClick() { FCore.ExportTickedMailbox(); }
    void btnSaveAttachmentClick();
    void mnuMessageSourceToggled(bool On);
    void mnuHideCopiesToggled(bool On);
    void mnuClientDeletedToggled(bool On);
    void mnuHelpClick() { FCore.OpenHelp(); }
    void mnuAboutClick();
    void mnuOpenImageClick() { FCore.OpenImage(); }
    // A link of the first-run hint: open an image, or the manual on the right to read a device.
    void lblNoDriveLinkActivated(const QString& Link);
    // The Cancel button and Esc of the progress window.
    void frmWaitCancel() { FCore.RequestCancel(); }

    TMainWindowCore& Core() { return FCore; }
    TFoundEmailsModel* Model() const { return FModel; }
    TfrmWait* WaitWindow() const { return FWait.get(); }

    // Controls.
    QToolButton* sbScan;
    QToolButton* sbSelectAll;
    QToolButton* sbDeselectAll;
    QToolButton* sbSaveEmail;
    QGroupBox* GroupBox1;
    QComboBox* cbDrives;
    QLabel* lblNoDrive; // in GroupBox1, shown only when no drive is offered
    QGroupBox* Filter;
    QLabel* lblKeyword;
    QLineEdit* txtFilter;
    QPushButton* btnApplyFilter;
    QPushButton* btnClearFilter;
    QTableView* lvFoundEmails;
    QTextEdit* txtmsgbody;
    QCheckBox* chkText; // in Filter: search the decoded text rather than the stored bytes
    // Under the preview: headers, place on the disk, rule, copy, attachments.
    QPlainTextEdit* txtDetails;
    QComboBox* cbAttachments;
    QPushButton* btnSaveAttachment;
    QMenu* File1;
    QAction* mnuOpenImage;
    QAction* mnuScan;
    QAction* mnuExport;
    QAction* mnuExportMailbox;
    QAction* mnuSelectAll;
    QAction* mnuDeselectAll;
    QAction* Exit1;
    QMenu* View1;
    QAction* mnuMessageSource; // checkable: list and preview show the stored text
    QAction* mnuHideCopies;    // checkable: only the first of each set of copies is listed
    QAction* mnuClientDeleted; // checkable: only what the mail program marked deleted is listed
    QMenu* Options1;
    QAction* mnuDeepScan; // checkable; for this session only, like every setting of the program
    QMenu* Help1;
    QAction* mnuHelp;
    QAction* mnuAbout;
    // Found, shown and ticked, under the client area.
    QLabel* lblStatus;

  protected:
    // Closing during a scan cancels it; the window closes when the scan has ended.
    void closeEvent(QCloseEvent* Event) override;
    // The progress window stays centred over the main window.
    void moveEvent(QMoveEvent* Event) override;
    // Space in the results list ticks or unticks the current row, whichever cell is current;
    // a cell's tip shows only where the list cuts its text off (or a date has more to tell).
    bool eventFilter(QObject* Watched, QEvent* Event) override;

  private:
    // TMainWindowView
    void ShowMessage(TMessageKind Kind, const std::string& Title, const std::string& Text) override;
    bool AskYesNo(const std::string& Title, const std::string& Text) override;
    std::string BrowseFolder(const std::string& Prompt, const std::string& Initial,
                             bool AllowNewFolder) override;
    std::string ChooseImage() override;
    bool OpenDocument(const std::string& Path) override;
    bool OpenDocumentAt(const std::string& Path, const std::string& Anchor) override;
    std::string ProgramFolder() override;
    void SetBusy(bool Busy) override;
    void RowsChanging(TRowsChange Change) override { FModel->RowsChanging(Change); }
    void RowsChanged(TRowsChange Change) override;
    void TicksChanged(std::size_t First, std::size_t Last) override {
        FModel->TicksChanged(First, Last);
    }
    void DrivesChanged(int Selected) override;
    void CountsChanged() override;
    std::string ChooseSaveFile(const std::string& Title, const std::string& Suggested,
                               const std::string& Types) override;

    // The window's controls, in the order they are made.
    void BuildControls();
    void BuildButtons(QWidget* Client);
    void BuildDriveBox(QWidget* Client);
    void BuildFilter(QWidget* Client);
    void BuildResultsList(QWidget* Client);
    void BuildPreview(QWidget* Client);
    void BuildMenu();
    void ConnectCommands();
    void SyncFilterControls();
    // The header's arrow on the column the rows are sorted by, pointing the core's way; none
    // while the rows stand in found order (before a sort, after a refill).
    void SyncSortIndicator();
    // The tip over the cell at a point of the list's viewport, or nothing.
    bool ShowCellTip(const QPoint& At, const QPoint& Global);
    void ShowPreview(int Row);
    // Preview, details and attachments emptied; Save Attachment off.
    void ClearPreview();
    // The row whose message the preview shows, or -1.
    int PreviewRow() const;

    THooks FHooks;
    // Text columns sort by the user's locale, ignoring case.
    QCollator FCollator;
    TMainWindowCore FCore;
    TFoundEmailsModel* FModel;
    QIcon FDriveIcon;
    std::unique_ptr<TfrmWait> FWait;
};
