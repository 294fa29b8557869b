#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QCollator>
#include <QMainWindow>
#include <QMessageBox>

#include "FoundEmailsModel.h"
#include "GetDrives.h"
#include "Globals.h"
#include "ScanHost.h"

class QAction;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTableView;
class QTextEdit;
class QToolButton;
class TfrmWait;

// The program's one main window: the drive box, the scan command, the results list with its
// keyword filter, sort and ticks, the preview and the export. It is also the scan's host: the
// scan runs inside the Scan command on this thread and keeps the windows painted through
// KeepAlive.
class TfrmMain : public QMainWindow, public ScanHost {
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
        // The drives to offer; may throw PwError.
        std::function<TDriveArray()> ListDrives;
    };

    explicit TfrmMain(THooks Hooks = {});
    ~TfrmMain() override;

    // ScanHost: events are pumped at most every PumpInterval, so that a scan runs as fast here
    // as without a window; the clock is read only every few hundred calls or at a progress step.
    void KeepAlive(std::uint64_t count = 1) override;
    void ProgressOpen(std::uint64_t maximum) override;
    void ProgressPosition(std::uint64_t position) override;
    void ProgressClose() override;

    // Handlers and operations of the window.
    void FormCreate();
    void sbScanClick();
    void runScan(const std::string& DrivePath);
    void populateList();
    void addEmailItem(const TEmail& Email, int Position);
    void btnApplyFilterClick();
    void btnClearFilterClick();
    void sbSelectAllClick();
    void sbDeselectAllClick();
    void lvFoundEmailsColumnClick(int Column);
    int compareItems(const TResultRow& Row1, const TResultRow& Row2, int Column) const;
    void lvFoundEmailsClick();
    void sbSaveEmailClick();
    void mnuHelpClick();
    void mnuAboutClick();
    void mnuOpenImageClick();

    // The manual page shipped with the program, or an empty string when none is found.
    static QString ManualPath();

    // The text the toolkit shows for an error that ends a command: its message, with a full stop
    // added when the message's last character sorts after the full stop.
    static QString ErrorText(const QString& Message);

    TFoundEmailsModel* Model() const { return FModel; }
    TfrmWait* WaitWindow() const { return FWait.get(); }
    bool Scanning() const { return FScanning; }

    // State of the window, kept between scans.
    TEmailArray emails;
    TDriveArray drives; // parallel to cbDrives: item i stands for element i
    bool filterActive = false;
    int sortColumn = 0;
    bool sortAscending = false;

    // Controls.
    QToolButton* sbScan;
    QToolButton* sbSelectAll;
    QToolButton* sbDeselectAll;
    QToolButton* sbSaveEmail;
    QGroupBox* GroupBox1;
    QComboBox* cbDrives;
    QGroupBox* Filter;
    QLabel* lblKeyword;
    QLineEdit* txtFilter;
    QPushButton* btnApplyFilter;
    QPushButton* btnClearFilter;
    QTableView* lvFoundEmails;
    QTextEdit* txtmsgbody;
    QMenu* File1;
    QAction* mnuOpenImage;
    QAction* Exit1;
    QMenu* Options1;
    QAction* mnuDeepScan; // checkable; for this session only, like every setting of the program
    QMenu* Help1;
    QAction* mnuHelp;
    QAction* mnuAbout;

  protected:
    void closeEvent(QCloseEvent* Event) override;
    // Space in the results list ticks or unticks the current row, whichever cell is current.
    bool eventFilter(QObject* Watched, QEvent* Event) override;

  private:
    void BuildControls();
    void ShowError(const QString& Message);
    void ShowApplicationError(const std::exception& Error);
    void Guarded(const std::function<void()>& Command);
    void AddDriveItem(const std::string& Path);

    THooks FHooks;
    TFoundEmailsModel* FModel;
    QIcon FDriveIcon;

    // Keys of the column being sorted, per item number, prepared once per sort so that the
    // comparisons of a sort cost a byte comparison each.
    QCollator FCollator;
    std::vector<QCollatorSortKey> FSortKeys;
    std::vector<int> FSortKeyOf;

    std::unique_ptr<TfrmWait> FWait;
    bool FScanning = false;
    bool FCheckClock = true;
    unsigned FCallsSinceCheck = 0;
    std::chrono::steady_clock::time_point FLastPump{};
};
