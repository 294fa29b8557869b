#include "frmMainWindow.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QTableView>
#include <QTextEdit>
#include <QToolButton>
#include <QUrl>

#include "BrowseForFolderU.h"
#include "Error.h"
#include "Export.h"
#include "GetDrives.h"
#include "ResultView.h"
#include "ScanHardDisk.h"
#include "uistyle.h"
#include "waitfrm.h"

namespace {

constexpr auto PumpInterval = std::chrono::milliseconds(30);
constexpr unsigned CallsPerClockCheck = 256;

const char* const ExportPrompt = "Select Where To Save Recovered Emails";
const char* const FolderNotWritable =
    "Cannot Write To Output Folder ,Please Select A Writeable Folder";
const char* const ExportDone = "Emails Succesfully Exported To Folder";

QString FromBytes(const std::string& Text) {
    return QString::fromLatin1(Text.data(), static_cast<qsizetype>(Text.size()));
}

QString FromLocal(const std::string& Text) {
    return QString::fromLocal8Bit(Text);
}

void DefaultShowMessage(QWidget* Owner, QMessageBox::Icon Icon, const QString& Title,
                        const QString& Text) {
    QMessageBox box(Icon, Title, Text, QMessageBox::Ok, Owner);
    box.exec();
}

QToolButton* PictureButton(QWidget* Parent, const QString& Caption, const QString& Picture,
                           const QRect& Geometry) {
    auto* button = new QToolButton(Parent);
    button->setText(Caption);
    button->setIcon(PwIcon(Picture, 48));
    button->setIconSize(QSize(48, 48));
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setFocusPolicy(Qt::NoFocus);
    button->setGeometry(Geometry);
    return button;
}

} // namespace

TfrmMain::TfrmMain(THooks Hooks) : FHooks(std::move(Hooks)) {
    if (!FHooks.ShowMessage)
        FHooks.ShowMessage = [this](QMessageBox::Icon Icon, const QString& Title,
                                    const QString& Text) {
            DefaultShowMessage(this, Icon, Title, Text);
        };
    if (!FHooks.BrowseFolder)
        FHooks.BrowseFolder = [this](const QString& Title, const QString& Initial, bool AllowNew) {
            return BrowseForFolder(Title, Initial, AllowNew, this);
        };
    if (!FHooks.ChooseImage)
        FHooks.ChooseImage = [this] {
            return QFileDialog::getOpenFileName(
                this, QStringLiteral("Open Disk Image"), QString(),
                QStringLiteral("Disk images (*.img *.dd *.raw *.bin *.iso *.vhd *.E01 *.e01);;"
                               "All files (*)"));
        };
    if (!FHooks.OpenUrl)
        FHooks.OpenUrl = [](const QUrl& Url) { return QDesktopServices::openUrl(Url); };
    if (!FHooks.ListDrives)
        FHooks.ListDrives = [] {
            TGetDrives lister;
            return lister.ListDrives();
        };

    // The "C" locale has no collation of its own (and would sort case first): fall back to a
    // neutral language's rules there.
    if (QLocale().language() == QLocale::C)
        FCollator.setLocale(QLocale(QLocale::English, QLocale::UnitedStates));
    FCollator.setCaseSensitivity(Qt::CaseInsensitive);

    BuildControls();
    FormCreate();
}

TfrmMain::~TfrmMain() = default;

void TfrmMain::BuildControls() {
    setWindowTitle(QStringLiteral("Parcelwright v3.0"));
    setWindowIcon(PwIcon(QStringLiteral("parcelwright"), 64));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(PwWindowFont());

    auto* client = new QWidget(this);
    client->setAutoFillBackground(true);
    client->setBackgroundRole(QPalette::Button);
    client->setFixedSize(792, 546);
    setCentralWidget(client);

    FDriveIcon = PwIcon(QStringLiteral("drive"), 16);

    sbScan =
        PictureButton(client, QStringLiteral("Scan"), QStringLiteral("scan"), QRect(8, 8, 100, 89));
    sbSelectAll = PictureButton(client, QStringLiteral("Quick Select All"),
                                QStringLiteral("selectall"), QRect(112, 8, 100, 89));
    sbDeselectAll = PictureButton(client, QStringLiteral("Quick Deselect All"),
                                  QStringLiteral("deselectall"), QRect(216, 8, 100, 89));
    sbSaveEmail = PictureButton(client, QStringLiteral("Export Selected"), QStringLiteral("export"),
                                QRect(320, 8, 100, 89));

    GroupBox1 = new QGroupBox(QStringLiteral("Select Drive To Scan"), client);
    GroupBox1->setGeometry(424, 8, 177, 89);
    cbDrives = new QComboBox(GroupBox1);
    cbDrives->setGeometry(8, 32, 161, 22);
    cbDrives->setEditable(false);
    cbDrives->setMaxVisibleItems(8);
    cbDrives->setIconSize(QSize(16, 16));
    cbDrives->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    cbDrives->view()->setTextElideMode(Qt::ElideMiddle);

    Filter = new QGroupBox(QStringLiteral("Filter Emails"), client);
    Filter->setGeometry(608, 8, 177, 89);
    lblKeyword = new QLabel(QStringLiteral("Keyword"), Filter);
    lblKeyword->move(8, 16);
    lblKeyword->adjustSize();
    txtFilter = new QLineEdit(Filter);
    txtFilter->setGeometry(8, 32, 161, 21);
    lblKeyword->setBuddy(txtFilter);
    btnApplyFilter = new QPushButton(QStringLiteral("Apply"), Filter);
    btnApplyFilter->setGeometry(64, 64, 50, 17);
    btnClearFilter = new QPushButton(QStringLiteral("Clear"), Filter);
    btnClearFilter->setGeometry(120, 64, 50, 17);
    btnClearFilter->setEnabled(false);

    FModel = new TFoundEmailsModel(emails, this);
    FModel->SetRowIcon(PwIcon(QStringLiteral("envelope"), 16));
    lvFoundEmails = new QTableView(client);
    lvFoundEmails->setGeometry(8, 104, 777, 273);
    lvFoundEmails->setModel(FModel);
    lvFoundEmails->setShowGrid(true);
    lvFoundEmails->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvFoundEmails->setSelectionMode(QAbstractItemView::SingleSelection);
    lvFoundEmails->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvFoundEmails->setWordWrap(false);
    lvFoundEmails->setTextElideMode(Qt::ElideRight);
    lvFoundEmails->setIconSize(QSize(16, 16));
    lvFoundEmails->setSortingEnabled(false);
    lvFoundEmails->verticalHeader()->hide();
    lvFoundEmails->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    lvFoundEmails->verticalHeader()->setDefaultSectionSize(QFontMetrics(font()).height() + 5);
    QHeaderView* header = lvFoundEmails->horizontalHeader();
    header->setSectionsClickable(true);
    header->setHighlightSections(false);
    header->setStretchLastSection(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    const int widths[TFoundEmailsModel::ColumnCount] = {65, 150, 200, 200, 500};
    for (int c = 0; c < TFoundEmailsModel::ColumnCount; ++c)
        lvFoundEmails->setColumnWidth(c, widths[c]);

    lvFoundEmails->installEventFilter(this);

    txtmsgbody = new QTextEdit(client);
    txtmsgbody->setGeometry(8, 384, 777, 161);
    txtmsgbody->setAcceptRichText(false);
    txtmsgbody->setLineWrapMode(QTextEdit::WidgetWidth);
    txtmsgbody->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txtmsgbody->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txtmsgbody->setTabChangesFocus(true);

    setTabOrder(lvFoundEmails, txtFilter);
    setTabOrder(txtFilter, btnApplyFilter);
    setTabOrder(btnApplyFilter, btnClearFilter);
    setTabOrder(btnClearFilter, txtmsgbody);
    setTabOrder(txtmsgbody, cbDrives);

    File1 = menuBar()->addMenu(QStringLiteral("&File"));
    mnuOpenImage = File1->addAction(QStringLiteral("Open Disk Image\u2026"));
    File1->addSeparator();
    Exit1 = File1->addAction(QStringLiteral("E&xit"));
    Options1 = menuBar()->addMenu(QStringLiteral("&Options"));
    mnuDeepScan = Options1->addAction(QStringLiteral("Deep Scan"));
    mnuDeepScan->setCheckable(true);
    Help1 = menuBar()->addMenu(QStringLiteral("&Help"));
    mnuHelp = Help1->addAction(QStringLiteral("Parcelwright Help"));
    mnuHelp->setShortcut(QKeySequence(Qt::Key_F1));
    mnuHelp->setShortcutContext(Qt::WindowShortcut);

    // An error that escapes a command is shown, and the program goes on; none may cross the
    // event loop.
    const auto command = [this](void (TfrmMain::*Handler)()) {
        return [this, Handler] { Guarded([this, Handler] { (this->*Handler)(); }); };
    };
    connect(sbScan, &QToolButton::clicked, this, command(&TfrmMain::sbScanClick));
    connect(sbSelectAll, &QToolButton::clicked, this, command(&TfrmMain::sbSelectAllClick));
    connect(sbDeselectAll, &QToolButton::clicked, this, command(&TfrmMain::sbDeselectAllClick));
    connect(sbSaveEmail, &QToolButton::clicked, this, command(&TfrmMain::sbSaveEmailClick));
    connect(btnApplyFilter, &QPushButton::clicked, this, command(&TfrmMain::btnApplyFilterClick));
    connect(btnClearFilter, &QPushButton::clicked, this, command(&TfrmMain::btnClearFilterClick));
    connect(header, &QHeaderView::sectionClicked, this,
            [this](int Column) { Guarded([this, Column] { lvFoundEmailsColumnClick(Column); }); });
    connect(lvFoundEmails, &QTableView::clicked, this, command(&TfrmMain::lvFoundEmailsClick));
    connect(mnuOpenImage, &QAction::triggered, this, command(&TfrmMain::mnuOpenImageClick));
    connect(Exit1, &QAction::triggered, this, &QWidget::close);
    connect(mnuHelp, &QAction::triggered, this, command(&TfrmMain::mnuHelpClick));

    // The client area is fixed; the frame follows it and the menu bar.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
}

void TfrmMain::FormCreate() {
    TDriveArray listed;
    try {
        listed = FHooks.ListDrives();
    } catch (const std::exception& e) {
        ShowApplicationError(e);
        return;
    }
    for (const std::string& path : listed)
        AddDriveItem(path);
    if (cbDrives->count() > 0)
        cbDrives->setCurrentIndex(0);
    else
        cbDrives->setCurrentIndex(-1);
}

void TfrmMain::AddDriveItem(const std::string& Path) {
    cbDrives->addItem(FDriveIcon, FromLocal(Path));
    // Image paths are often longer than the box; the whole path shows on hover.
    cbDrives->setItemData(cbDrives->count() - 1, FromLocal(Path), Qt::ToolTipRole);
    drives.push_back(Path);
}

void TfrmMain::sbScanClick() {
    const int index = cbDrives->currentIndex();
    if (index < 0 || static_cast<std::size_t>(index) >= drives.size()) return;
    runScan(drives[static_cast<std::size_t>(index)]);
}

void TfrmMain::runScan(const std::string& DrivePath) {
    setEnabled(false);
    FScanning = true;
    try {
        TEmailArray found;
        {
            TScanOptions options;
            options.Rule = mnuDeepScan->isChecked() ? TCarvingRule::Deep : TCarvingRule::Standard;
            found = TScanHardDisk(DrivePath, options, *this).ScanDrive().Emails;
        }
        // Rows refer to emails by position: drop them before the list they point into changes.
        FModel->Clear();
        emails = std::move(found);
    } catch (...) {
        // The earlier results stay as they were; only the windows are put back, then the error
        // goes on to be shown.
        ProgressClose();
        FScanning = false;
        setEnabled(true);
        throw;
    }
    FScanning = false;
    setEnabled(true);
    populateList();
}

void TfrmMain::populateList() {
    FModel->Clear();
    if (emails.empty()) return;
    const std::vector<std::size_t> items =
        filterActive ? FilterItems(emails, txtFilter->text().toLatin1().toStdString())
                     : FilterItems(emails, {});
    FModel->BeginFill();
    for (const std::size_t item : items)
        addEmailItem(emails[item], static_cast<int>(item));
    FModel->EndFill();
    if (FModel->rowCount() > 0) lvFoundEmails->scrollToBottom();
}

void TfrmMain::addEmailItem(const TEmail& Email, int Position) {
    (void)Email; // the row reads its texts from emails[Position]
    FModel->AddRow(Position);
}

void TfrmMain::btnApplyFilterClick() {
    if (txtFilter->text().isEmpty()) return;
    filterActive = true;
    btnApplyFilter->setEnabled(false);
    btnClearFilter->setEnabled(true);
    populateList();
    txtFilter->setEnabled(false);
}

void TfrmMain::btnClearFilterClick() {
    filterActive = false;
    btnApplyFilter->setEnabled(true);
    btnClearFilter->setEnabled(false);
    populateList();
    txtFilter->setEnabled(true);
}

void TfrmMain::sbSelectAllClick() {
    FModel->SetAllChecked(true);
}

void TfrmMain::sbDeselectAllClick() {
    FModel->SetAllChecked(false);
}

void TfrmMain::lvFoundEmailsColumnClick(int Column) {
    if (Column == sortColumn)
        sortAscending = !sortAscending;
    else
        sortColumn = Column;

    FSortKeys.clear();
    FSortKeyOf.assign(emails.size(), -1);
    if (Column != TFoundEmailsModel::ColItemNum) {
        FSortKeys.reserve(FModel->Rows().size());
        for (const TResultRow& row : FModel->Rows()) {
            FSortKeyOf[static_cast<std::size_t>(row.Item)] = static_cast<int>(FSortKeys.size());
            FSortKeys.push_back(FCollator.sortKey(
                TFoundEmailsModel::FieldText(emails[static_cast<std::size_t>(row.Item)], Column)));
        }
    }
    FModel->SortRows([this, Column](const TResultRow& A, const TResultRow& B) {
        return compareItems(A, B, Column) < 0;
    });
    FSortKeys.clear();
}

int TfrmMain::compareItems(const TResultRow& Row1, const TResultRow& Row2, int Column) const {
    int result = 0;
    if (Column == TFoundEmailsModel::ColItemNum) {
        result = CompareItems(emails, static_cast<std::size_t>(Row1.Item),
                              static_cast<std::size_t>(Row2.Item), TResultColumn::ItemNum);
    } else {
        const auto key = [this](const TResultRow& Row) {
            const std::size_t item = static_cast<std::size_t>(Row.Item);
            return item < FSortKeyOf.size() ? FSortKeyOf[item] : -1;
        };
        const int k1 = key(Row1);
        const int k2 = key(Row2);
        if (k1 >= 0 && k2 >= 0)
            result = FSortKeys[static_cast<std::size_t>(k1)].compare(
                FSortKeys[static_cast<std::size_t>(k2)]);
        else
            result = FCollator.compare(
                TFoundEmailsModel::FieldText(emails[static_cast<std::size_t>(Row1.Item)], Column),
                TFoundEmailsModel::FieldText(emails[static_cast<std::size_t>(Row2.Item)], Column));
    }
    return sortAscending ? result : -result;
}

void TfrmMain::lvFoundEmailsClick() {
    const QModelIndexList selected = lvFoundEmails->selectionModel()->selectedRows();
    if (selected.isEmpty()) return;
    const int row = selected.first().row();
    txtmsgbody->clear();
    const std::size_t item =
        static_cast<std::size_t>(FModel->Rows()[static_cast<std::size_t>(row)].Item);
    if (item >= emails.size()) return;
    // The whole body, as plain text; its CR LF pairs become the box's line breaks.
    QString body = FromBytes(emails[item].Body);
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    txtmsgbody->setPlainText(body);
}

void TfrmMain::sbSaveEmailClick() {
    const QString folder = FHooks.BrowseFolder(QString::fromLatin1(ExportPrompt), QString(), true);
    if (folder.isEmpty()) return;

    std::vector<TExportRow> rows;
    const std::vector<TResultRow>& shown = FModel->Rows();
    for (std::size_t position = 0; position < shown.size(); ++position)
        if (shown[position].Checked)
            rows.push_back({position, static_cast<std::size_t>(shown[position].Item)});

    const TExportReport report = ExportRows(folder.toLocal8Bit().toStdString(), emails, rows);
    if (!report.FolderError.empty()) {
        ShowError(QString::fromLatin1(FolderNotWritable));
        return;
    }
    if (report.Ok()) {
        FHooks.ShowMessage(QMessageBox::Information, QStringLiteral("Information"),
                           QString::fromLatin1(ExportDone));
        return;
    }
    const TExportFailure& first = report.Failures.front();
    ShowError(QStringLiteral("%1 of %2 selected emails could not be exported.\n"
                             "First failure: %3 (%4)")
                  .arg(report.Failures.size())
                  .arg(rows.size())
                  .arg(FromLocal(first.File), FromLocal(first.Reason)));
}

QString TfrmMain::ManualPath() {
    const QString dir = QCoreApplication::applicationDirPath();
    const QStringList candidates = {
        dir + QStringLiteral("/manual.html"),
        dir + QStringLiteral("/docs/manual.html"),
        dir + QStringLiteral("/../docs/manual.html"),
        dir + QStringLiteral("/../share/doc/parcelwright/manual.html"),
    };
    for (const QString& path : candidates)
        if (QFileInfo::exists(path)) return QFileInfo(path).canonicalFilePath();
    return {};
}

void TfrmMain::mnuHelpClick() {
    const QString path = ManualPath();
    if (path.isEmpty()) {
        FHooks.ShowMessage(QMessageBox::Critical, QApplication::applicationName(),
                           QStringLiteral("The help page manual.html was not found next to the "
                                          "program."));
        return;
    }
    if (!FHooks.OpenUrl(QUrl::fromLocalFile(path)))
        FHooks.ShowMessage(
            QMessageBox::Critical, QApplication::applicationName(),
            QStringLiteral("No program could be started to show the help page %1.").arg(path));
}

void TfrmMain::mnuOpenImageClick() {
    const QString chosen = FHooks.ChooseImage();
    if (chosen.isEmpty()) return;
    const std::string path = QFileInfo(chosen).absoluteFilePath().toLocal8Bit().toStdString();
    TGetDrives lister;
    if (!lister.AddImage(path)) {
        ShowError(QStringLiteral("The disk image %1 cannot be read, or it is empty.")
                      .arg(FromLocal(path)));
        return;
    }
    for (std::size_t i = 0; i < drives.size(); ++i) {
        if (drives[i] == path) {
            cbDrives->setCurrentIndex(static_cast<int>(i));
            return;
        }
    }
    // Entries without a drive behind them (after a failed listing) stay unreachable: the new
    // entry must sit at the same index in the box as in drives.
    while (static_cast<std::size_t>(cbDrives->count()) > drives.size())
        cbDrives->removeItem(cbDrives->count() - 1);
    AddDriveItem(path);
    cbDrives->setCurrentIndex(cbDrives->count() - 1);
}

QString TfrmMain::ErrorText(const QString& Message) {
    if (!Message.isEmpty() && Message.back() > QLatin1Char('.')) return Message + QLatin1Char('.');
    return Message;
}

void TfrmMain::ShowError(const QString& Message) {
    FHooks.ShowMessage(QMessageBox::Critical, QStringLiteral("Error"), Message);
}

void TfrmMain::Guarded(const std::function<void()>& Command) {
    try {
        Command();
    } catch (const std::exception& e) {
        ShowApplicationError(e);
    } catch (...) {
        ShowApplicationError(std::runtime_error("Unexpected error"));
    }
}

void TfrmMain::ShowApplicationError(const std::exception& Error) {
    FHooks.ShowMessage(QMessageBox::Critical, QApplication::applicationName(),
                       ErrorText(QString::fromLocal8Bit(Error.what())));
}

void TfrmMain::closeEvent(QCloseEvent* Event) {
    // A scan cannot be cancelled; the window closes once it has ended.
    if (FScanning) {
        Event->ignore();
        return;
    }
    QMainWindow::closeEvent(Event);
}

bool TfrmMain::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == lvFoundEmails && Event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(Event);
        const QModelIndex current = lvFoundEmails->currentIndex();
        if (key->key() == Qt::Key_Space && key->modifiers() == Qt::NoModifier &&
            current.isValid()) {
            const std::size_t row = static_cast<std::size_t>(current.row());
            FModel->SetChecked(current.row(), !FModel->Rows()[row].Checked);
            return true;
        }
    }
    return QMainWindow::eventFilter(Watched, Event);
}

void TfrmMain::KeepAlive(std::uint64_t count) {
    if (!FCheckClock && count < CallsPerClockCheck && ++FCallsSinceCheck < CallsPerClockCheck)
        return;
    FCallsSinceCheck = 0;
    FCheckClock = false;
    const auto now = std::chrono::steady_clock::now();
    if (now - FLastPump < PumpInterval) return;
    FLastPump = now;
    QCoreApplication::processEvents();
}

void TfrmMain::ProgressOpen(std::uint64_t maximum) {
    FWait = std::make_unique<TfrmWait>(maximum);
    FWait->CentreOver(this);
    FWait->show();
    // Put it on screen now rather than at the first progress step.
    QCoreApplication::processEvents();
    FLastPump = std::chrono::steady_clock::now();
}

void TfrmMain::ProgressPosition(std::uint64_t position) {
    if (FWait) FWait->SetPosition(position);
    FCheckClock = true;
}

void TfrmMain::ProgressClose() {
    if (FWait) {
        FWait->close();
        FWait.reset();
    }
}
