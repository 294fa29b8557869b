#include "ui/frmMainWindow.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyleOptionViewItem>
#include <QTableView>
#include <QTextEdit>
#include <QToolButton>
#include <QToolTip>
#include <QUrl>

#include "BuildInfo.h"
#include "engine/CodePage1252.h"
#include "ui/BrowseForFolderU.h"
#include "ui/ItemNumDelegate.h"
#include "ui/uistyle.h"
#include "ui/waitfrm.h"

namespace {

QString FromLocal(const std::string& Text) {
    return QString::fromLocal8Bit(Text);
}

std::string ToLocal(const QString& Text) {
    return Text.toLocal8Bit().toStdString();
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

// The results list: Tab leaves it (the window's tab order goes on to the keyword box), a move
// of the current row by keyboard is told, so that the preview can follow it, and Ctrl+A is Quick
// Select All here too (the list would take it for selecting rows, of which it selects one).
class TResultsList : public QTableView {
  public:
    TResultsList(QWidget* Parent, std::function<void(int)> RowMoved,
                 std::function<void()> SelectAll)
        : QTableView(Parent), FRowMoved(std::move(RowMoved)), FSelectAll(std::move(SelectAll)) {
        setTabKeyNavigation(false);
    }

  protected:
    void keyPressEvent(QKeyEvent* Event) override {
        if (Event->matches(QKeySequence::SelectAll)) {
            FSelectAll();
            return;
        }
        const int before = currentIndex().row();
        QTableView::keyPressEvent(Event);
        const QModelIndex now = currentIndex();
        if (now.isValid() && now.row() != before) FRowMoved(now.row());
    }

  private:
    std::function<void(int)> FRowMoved;
    std::function<void()> FSelectAll;
};

} // namespace

TfrmMain::TfrmMain(THooks Hooks)
    : FHooks(std::move(Hooks)),
      FCore(*this, FHooks.ListDrives,
            [this](const std::vector<std::string_view>& Texts) -> TTextOrder {
                auto keys = std::make_shared<std::vector<QCollatorSortKey>>();
                keys->reserve(Texts.size());
                const bool stored = FCore.SourceView();
                for (const std::string_view text : Texts)
                    keys->push_back(FCollator.sortKey(
                        QString::fromStdString(stored ? Utf8From1252(text) : std::string(text))));
                return
                    [keys](std::size_t A, std::size_t B) { return (*keys)[A].compare((*keys)[B]); };
            }) {
    if (FHooks.Clock) FCore.SetClock(FHooks.Clock);
    if (!FHooks.ShowMessage)
        FHooks.ShowMessage = [this](QMessageBox::Icon Icon, const QString& Title,
                                    const QString& Text) {
            DefaultShowMessage(this, Icon, Title, Text);
        };
    if (!FHooks.AskYesNo)
        FHooks.AskYesNo = [this](const QString& Title, const QString& Text) {
            return QMessageBox::question(this, Title, Text, QMessageBox::Yes | QMessageBox::No,
                                         QMessageBox::No) == QMessageBox::Yes;
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
    if (!FHooks.ChooseSaveFile)
        FHooks.ChooseSaveFile = [this](const QString& Title, const QString& Suggested,
                                       const QString& Types) {
            return QFileDialog::getSaveFileName(this, Title, Suggested, Types);
        };
    if (!FHooks.OpenUrl)
        FHooks.OpenUrl = [](const QUrl& Url) { return QDesktopServices::openUrl(Url); };

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
    setWindowTitle(QStringLiteral("Parcelwright v" PW_VERSION));
    setWindowIcon(PwIcon(QStringLiteral("parcelwright"), 64));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(PwWindowFont());

    auto* client = new QWidget(this);
    client->setAutoFillBackground(true);
    client->setBackgroundRole(QPalette::Button);
    client->setFixedSize(792, 546);
    setCentralWidget(client);

    BuildButtons(client);
    BuildDriveBox(client);
    BuildFilter(client);
    BuildResultsList(client);
    BuildPreview(client);

    // The window's own order first; the controls added to it follow the drive box.
    setTabOrder(lvFoundEmails, txtFilter);
    setTabOrder(txtFilter, btnApplyFilter);
    setTabOrder(btnApplyFilter, btnClearFilter);
    setTabOrder(btnClearFilter, txtmsgbody);
    setTabOrder(txtmsgbody, cbDrives);
    setTabOrder(cbDrives, chkText);
    setTabOrder(chkText, txtDetails);
    setTabOrder(txtDetails, cbAttachments);
    setTabOrder(cbAttachments, btnSaveAttachment);

    BuildMenu();

    lblStatus = new QLabel(this);
    statusBar()->addWidget(lblStatus, 1);
    statusBar()->setSizeGripEnabled(false);

    ConnectCommands();

    // The client area is fixed; the frame follows it and the menu bar.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
}

void TfrmMain::BuildButtons(QWidget* Client) {
    sbScan =
        PictureButton(Client, QStringLiteral("Scan"), QStringLiteral("scan"), QRect(8, 8, 100, 89));
    sbSelectAll = PictureButton(Client, QStringLiteral("Quick Select All"),
                                QStringLiteral("selectall"), QRect(112, 8, 100, 89));
    sbDeselectAll = PictureButton(Client, QStringLiteral("Quick Deselect All"),
                                  QStringLiteral("deselectall"), QRect(216, 8, 100, 89));
    sbSaveEmail = PictureButton(Client, QStringLiteral("Export Selected"), QStringLiteral("export"),
                                QRect(320, 8, 100, 89));
}

void TfrmMain::BuildDriveBox(QWidget* Client) {
    FDriveIcon = PwIcon(QStringLiteral("drive"), 16);
    GroupBox1 = new QGroupBox(QStringLiteral("Select Drive To Scan"), Client);
    GroupBox1->setGeometry(424, 8, 177, 89);
    cbDrives = new QComboBox(GroupBox1);
    cbDrives->setGeometry(8, 32, 161, 22);
    cbDrives->setEditable(false);
    cbDrives->setMaxVisibleItems(8);
    cbDrives->setIconSize(QSize(16, 16));
    cbDrives->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    cbDrives->view()->setTextElideMode(Qt::ElideMiddle);
    cbDrives->setPlaceholderText(QStringLiteral("No drive you may read"));
    // Where every non-root Linux user starts: no device may be read, so say how to go on.
    lblNoDrive = new QLabel(GroupBox1);
    lblNoDrive->setGeometry(8, 56, 161, 30);
    lblNoDrive->setWordWrap(true);
    lblNoDrive->setTextFormat(Qt::RichText);
    lblNoDrive->setText(QStringLiteral(
        "<a href=\"open\">Open a disk image\u2026</a> (Ctrl+O) or <a href=\"rights\">get "
        "the right to read a drive</a>"));
    lblNoDrive->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    lblNoDrive->hide();
}

void TfrmMain::BuildFilter(QWidget* Client) {
    Filter = new QGroupBox(QStringLiteral("Filter Emails"), Client);
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
    chkText = new QCheckBox(QStringLiteral("Text"), Filter);
    chkText->setGeometry(8, 62, 54, 21);
    chkText->setToolTip(QStringLiteral(
        "Search the decoded senders, recipients, subjects and text, ignoring case, instead of "
        "the stored bytes"));
    chkText->setEnabled(CanDecodeMail());
}

void TfrmMain::BuildResultsList(QWidget* Client) {
    FModel = new TFoundEmailsModel(FCore, this);
    FModel->SetRowIcon(PwIcon(QStringLiteral("envelope"), 16));
    lvFoundEmails = new TResultsList(
        Client, [this](int Row) { FCore.Guarded([this, Row] { ShowPreview(Row); }); },
        [this] { FCore.Guarded([this] { sbSelectAllClick(); }); });
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
    for (int c = 0; c < ResultColumnCount; ++c)
        lvFoundEmails->setColumnWidth(c, ResultColumnWidths[c]);
    lvFoundEmails->setItemDelegateForColumn(static_cast<int>(TResultColumn::ItemNum),
                                            new TItemNumDelegate(lvFoundEmails));

    lvFoundEmails->installEventFilter(this);
    lvFoundEmails->viewport()->installEventFilter(this);
}

void TfrmMain::BuildPreview(QWidget* Client) {
    txtmsgbody = new QTextEdit(Client);
    // The preview gives up height to the details under it; the rest stands where it was.
    txtmsgbody->setGeometry(8, 384, 777, 77);
    txtmsgbody->setAcceptRichText(false);
    txtmsgbody->setLineWrapMode(QTextEdit::WidgetWidth);
    txtmsgbody->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txtmsgbody->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txtmsgbody->setTabChangesFocus(true);
    txtmsgbody->setReadOnly(true);

    txtDetails = new QPlainTextEdit(Client);
    txtDetails->setGeometry(8, 465, 633, 80);
    txtDetails->setReadOnly(true);
    txtDetails->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    txtDetails->setTabChangesFocus(true);
    cbAttachments = new QComboBox(Client);
    cbAttachments->setGeometry(645, 465, 140, 22);
    cbAttachments->setPlaceholderText(QStringLiteral("No attachments"));
    cbAttachments->setEnabled(false);
    btnSaveAttachment = new QPushButton(QStringLiteral("Save Attachment\u2026"), Client);
    btnSaveAttachment->setGeometry(645, 491, 140, 24);
    btnSaveAttachment->setEnabled(false);
}

void TfrmMain::BuildMenu() {
    // Every command of the picture buttons is in the File menu too, with its key; the menu bar
    // stays as it was.
    File1 = menuBar()->addMenu(QStringLiteral("&File"));
    mnuOpenImage = File1->addAction(QStringLiteral("&Open Disk Image\u2026"));
    mnuOpenImage->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    mnuScan = File1->addAction(QStringLiteral("&Scan"));
    mnuScan->setShortcut(QKeySequence(Qt::Key_F5));
    mnuExport = File1->addAction(QStringLiteral("&Export Selected\u2026"));
    mnuExport->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    mnuExportMailbox = File1->addAction(QStringLiteral("Export Selected as &Mailbox\u2026"));
    mnuExportMailbox->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E));
    mnuSelectAll = File1->addAction(QStringLiteral("Quick Select &All"));
    mnuSelectAll->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
    mnuDeselectAll = File1->addAction(QStringLiteral("Quick &Deselect All"));
    mnuDeselectAll->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A));
    File1->addSeparator();
    Exit1 = File1->addAction(QStringLiteral("E&xit"));
    // Ctrl+A in the keyword box selects its text, as in any text box.
    mnuSelectAll->setShortcutContext(Qt::WindowShortcut);
    View1 = menuBar()->addMenu(QStringLiteral("&View"));
    mnuMessageSource = View1->addAction(QStringLiteral("Message &Source"));
    mnuMessageSource->setCheckable(true);
    mnuMessageSource->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_U));
    // Without the mail module the stored text is all there is to show.
    mnuMessageSource->setChecked(!CanDecodeMail());
    mnuMessageSource->setEnabled(CanDecodeMail());
    mnuHideCopies = View1->addAction(QStringLiteral("Hide &Copies"));
    mnuHideCopies->setCheckable(true);
    mnuClientDeleted = View1->addAction(QStringLiteral("&Deleted in Mail Program Only"));
    mnuClientDeleted->setCheckable(true);
    Options1 = menuBar()->addMenu(QStringLiteral("&Options"));
    mnuDeepScan = Options1->addAction(QStringLiteral("Deep Scan"));
    mnuDeepScan->setCheckable(true);
    Help1 = menuBar()->addMenu(QStringLiteral("&Help"));
    mnuHelp = Help1->addAction(QStringLiteral("Parcelwright Help"));
    mnuHelp->setShortcut(QKeySequence(Qt::Key_F1));
    mnuHelp->setShortcutContext(Qt::WindowShortcut);
    mnuAbout = Help1->addAction(QStringLiteral("About Parcelwright\u2026"));
}

void TfrmMain::ConnectCommands() {
    // An error that escapes a command is shown, and the program goes on; none may cross the
    // event loop.
    const auto command = [this](void (TfrmMain::*Handler)()) {
        return [this, Handler] { FCore.Guarded([this, Handler] { (this->*Handler)(); }); };
    };
    connect(sbScan, &QToolButton::clicked, this, command(&TfrmMain::sbScanClick));
    connect(sbSelectAll, &QToolButton::clicked, this, command(&TfrmMain::sbSelectAllClick));
    connect(sbDeselectAll, &QToolButton::clicked, this, command(&TfrmMain::sbDeselectAllClick));
    connect(sbSaveEmail, &QToolButton::clicked, this, command(&TfrmMain::sbSaveEmailClick));
    connect(btnApplyFilter, &QPushButton::clicked, this, command(&TfrmMain::btnApplyFilterClick));
    connect(btnClearFilter, &QPushButton::clicked, this, command(&TfrmMain::btnClearFilterClick));
    connect(lvFoundEmails->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int Column) {
                FCore.Guarded([this, Column] {
                    lvFoundEmailsColumnClick(static_cast<TResultColumn>(Column));
                });
            });
    connect(lvFoundEmails, &QTableView::clicked, this, command(&TfrmMain::lvFoundEmailsClick));
    connect(mnuOpenImage, &QAction::triggered, this, command(&TfrmMain::mnuOpenImageClick));
    connect(mnuScan, &QAction::triggered, this, command(&TfrmMain::sbScanClick));
    connect(mnuExport, &QAction::triggered, this, command(&TfrmMain::sbSaveEmailClick));
    connect(mnuExportMailbox, &QAction::triggered, this, command(&TfrmMain::mnuExportMailboxClick));
    connect(btnSaveAttachment, &QPushButton::clicked, this,
            command(&TfrmMain::btnSaveAttachmentClick));
    connect(mnuMessageSource, &QAction::toggled, this,
            [this](bool On) { FCore.Guarded([this, On] { mnuMessageSourceToggled(On); }); });
    connect(mnuHideCopies, &QAction::toggled, this,
            [this](bool On) { FCore.Guarded([this, On] { mnuHideCopiesToggled(On); }); });
    connect(mnuClientDeleted, &QAction::toggled, this,
            [this](bool On) { FCore.Guarded([this, On] { mnuClientDeletedToggled(On); }); });
    connect(mnuSelectAll, &QAction::triggered, this, command(&TfrmMain::sbSelectAllClick));
    connect(mnuDeselectAll, &QAction::triggered, this, command(&TfrmMain::sbDeselectAllClick));
    connect(txtFilter, &QLineEdit::returnPressed, this, command(&TfrmMain::btnApplyFilterClick));
    connect(lblNoDrive, &QLabel::linkActivated, this, [this](const QString& Link) {
        FCore.Guarded([this, Link] { lblNoDriveLinkActivated(Link); });
    });
    connect(Exit1, &QAction::triggered, this, &QWidget::close);
    connect(mnuDeepScan, &QAction::toggled, this,
            [this](bool On) { FCore.SetRule(On ? TCarvingRule::Deep : TCarvingRule::Standard); });
    connect(mnuHelp, &QAction::triggered, this, command(&TfrmMain::mnuHelpClick));
    connect(mnuAbout, &QAction::triggered, this, command(&TfrmMain::mnuAboutClick));
}

void TfrmMain::sbScanClick() {
    // F5 may come while a scan pumps events; the window is disabled then, but a key is not.
    if (FCore.Scanning()) return;
    FCore.Scan(cbDrives->currentIndex());
    // A text filter whose search of the new list was cancelled is off now.
    SyncFilterControls();
    if (FCore.CloseAfterScan()) close();
}

void TfrmMain::btnApplyFilterClick() {
    if (chkText->isChecked())
        FCore.ApplyTextFilter(txtFilter->text().toStdString());
    else
        FCore.ApplyTypedFilter(txtFilter->text().toStdString());
    SyncFilterControls();
    // The close box was used while the search ran: it was cancelled, and the window goes now.
    if (FCore.CloseAfterScan()) close();
}

void TfrmMain::lvFoundEmailsColumnClick(TResultColumn Column) {
    FCore.SortBy(Column);
    SyncSortIndicator();
    if (FCore.CloseAfterScan()) close();
}

void TfrmMain::btnSaveAttachmentClick() {
    const int row = PreviewRow();
    if (row < 0 || cbAttachments->currentIndex() < 0) return;
    FCore.SaveAttachment(static_cast<std::size_t>(row),
                         static_cast<std::size_t>(cbAttachments->currentIndex()));
}

void TfrmMain::mnuMessageSourceToggled(bool On) {
    FCore.SetSourceView(On);
    if (const int row = PreviewRow(); row >= 0) ShowPreview(row);
}

void TfrmMain::mnuHideCopiesToggled(bool On) {
    FCore.SetHideCopies(On);
    if (const int row = PreviewRow(); row >= 0) ShowPreview(row);
}

void TfrmMain::mnuClientDeletedToggled(bool On) {
    FCore.SetClientDeletedOnly(On);
    if (const int row = PreviewRow(); row >= 0) ShowPreview(row);
}

int TfrmMain::PreviewRow() const {
    const std::optional<std::size_t> row = FCore.PreviewRow();
    return row ? static_cast<int>(*row) : -1;
}

void TfrmMain::lblNoDriveLinkActivated(const QString& Link) {
    if (Link == QLatin1String("open"))
        FCore.OpenImage();
    else
        FCore.OpenHelp(TMainWindowCore::DeviceAccessAnchor);
}

void TfrmMain::SyncFilterControls() {
    // The keyword cannot change while the filter is on.
    btnApplyFilter->setEnabled(!FCore.FilterActive());
    btnClearFilter->setEnabled(FCore.FilterActive());
    txtFilter->setEnabled(!FCore.FilterActive());
    chkText->setEnabled(!FCore.FilterActive() && CanDecodeMail());
}

void TfrmMain::lvFoundEmailsClick() {
    const QModelIndexList selected = lvFoundEmails->selectionModel()->selectedRows();
    if (selected.isEmpty()) return;
    ShowPreview(selected.first().row());
}

void TfrmMain::ClearPreview() {
    txtmsgbody->clear();
    txtDetails->clear();
    cbAttachments->clear();
    cbAttachments->setEnabled(false);
    btnSaveAttachment->setEnabled(false);
}

void TfrmMain::ShowPreview(int Row) {
    ClearPreview();
    const auto row = static_cast<std::size_t>(Row);
    if (FCore.PreviewOf(row) == nullptr) {
        FCore.SetPreviewRow(std::nullopt);
        return;
    }
    FCore.SetPreviewRow(row);
    // The whole text, always plain: HTML was made text when decoded, and nothing is fetched.
    // CR LF pairs become the box's line breaks.
    QString text = QString::fromStdString(FCore.PreviewView(row));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    txtmsgbody->setPlainText(text);
    txtDetails->setPlainText(QString::fromStdString(FCore.DetailsText(row)).trimmed());
    if (const TDecodedMessage* message = FCore.DecodedOf(row)) {
        for (const TAttachmentInfo& a : message->Attachments)
            cbAttachments->addItem(a.FileName.empty() ? QString::fromStdString(a.ContentType)
                                                      : QString::fromStdString(a.FileName));
        const bool any = !message->Attachments.empty();
        cbAttachments->setEnabled(any);
        btnSaveAttachment->setEnabled(any);
        if (any) cbAttachments->setCurrentIndex(0);
    }
}

void TfrmMain::ShowMessage(TMessageKind Kind, const std::string& Title, const std::string& Text) {
    FHooks.ShowMessage(Kind == TMessageKind::Information ? QMessageBox::Information
                                                         : QMessageBox::Critical,
                       FromLocal(Title), FromLocal(Text));
}

bool TfrmMain::AskYesNo(const std::string& Title, const std::string& Text) {
    return FHooks.AskYesNo(FromLocal(Title), FromLocal(Text));
}

std::string TfrmMain::BrowseFolder(const std::string& Prompt, const std::string& Initial,
                                   bool AllowNewFolder) {
    return ToLocal(FHooks.BrowseFolder(FromLocal(Prompt), FromLocal(Initial), AllowNewFolder));
}

std::string TfrmMain::ChooseImage() {
    return ToLocal(FHooks.ChooseImage());
}

bool TfrmMain::OpenDocument(const std::string& Path) {
    return FHooks.OpenUrl(QUrl::fromLocalFile(FromLocal(Path)));
}

bool TfrmMain::OpenDocumentAt(const std::string& Path, const std::string& Anchor) {
    QUrl url = QUrl::fromLocalFile(FromLocal(Path));
    url.setFragment(QString::fromStdString(Anchor));
    return FHooks.OpenUrl(url);
}

std::string TfrmMain::ProgramFolder() {
    return ToLocal(QCoreApplication::applicationDirPath());
}

void TfrmMain::SyncSortIndicator() {
    QHeaderView* header = lvFoundEmails->horizontalHeader();
    header->setSortIndicatorShown(true);
    header->setSortIndicator(static_cast<int>(FCore.SortColumn()),
                             FCore.SortAscending() ? Qt::AscendingOrder : Qt::DescendingOrder);
}

bool TfrmMain::ShowCellTip(const QPoint& At, const QPoint& Global) {
    const QModelIndex index = lvFoundEmails->indexAt(At);
    if (!index.isValid()) return false;
    const QString tip = index.data(Qt::ToolTipRole).toString();
    const QString shown = index.data(Qt::DisplayRole).toString();
    // Cut off when the cell, check box and icon included, needs more room than its column has.
    QStyleOptionViewItem option;
    option.initFrom(lvFoundEmails);
    option.font = lvFoundEmails->font();
    option.rect = lvFoundEmails->visualRect(index);
    const int needed = lvFoundEmails->itemDelegateForIndex(index)->sizeHint(option, index).width();
    if (tip.isEmpty() || (tip == shown && needed <= option.rect.width())) return false;
    QToolTip::showText(Global, tip, lvFoundEmails->viewport(), option.rect);
    return true;
}

void TfrmMain::RowsChanged(TRowsChange Change) {
    FModel->RowsChanged(Change);
    // A refill lists the rows in found order again.
    if (Change == TRowsChange::Refill)
        lvFoundEmails->horizontalHeader()->setSortIndicatorShown(false);
    // The core forgets a previewed message the refill dropped (or a new list replaced).
    if (Change == TRowsChange::Refill && !FCore.PreviewRow()) ClearPreview();
    if (Change == TRowsChange::Refill && FModel->rowCount() > 0) lvFoundEmails->scrollToBottom();
}

void TfrmMain::DrivesChanged(int Selected) {
    cbDrives->clear();
    for (const std::string& path : FCore.Drives()) {
        cbDrives->addItem(FDriveIcon, FromLocal(path));
        // Image paths are often longer than the box; the whole path shows on hover.
        cbDrives->setItemData(cbDrives->count() - 1, FromLocal(path), Qt::ToolTipRole);
    }
    cbDrives->setCurrentIndex(Selected);
    lblNoDrive->setVisible(FCore.NothingToScan());
}

std::string TfrmMain::ChooseSaveFile(const std::string& Title, const std::string& Suggested,
                                     const std::string& Types) {
    return ToLocal(FHooks.ChooseSaveFile(QString::fromStdString(Title),
                                         QString::fromStdString(Suggested),
                                         QString::fromStdString(Types)));
}

void TfrmMain::CountsChanged() {
    lblStatus->setText(QString::fromStdString(FCore.StatusText()));
}

void TfrmMain::closeEvent(QCloseEvent* Event) {
    if (!FCore.MayClose()) {
        Event->ignore();
        return;
    }
    QMainWindow::closeEvent(Event);
}

void TfrmMain::moveEvent(QMoveEvent* Event) {
    QMainWindow::moveEvent(Event);
    if (FWait) FWait->CentreOver(this);
}

bool TfrmMain::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == lvFoundEmails->viewport() && Event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(Event);
        if (!ShowCellTip(help->pos(), help->globalPos())) QToolTip::hideText();
        // Answered here, whether a tip shows or not: the list's own would show every cell's.
        return true;
    }
    if (Watched == lvFoundEmails && Event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(Event);
        const QModelIndex current = lvFoundEmails->currentIndex();
        if (key->key() == Qt::Key_Space && key->modifiers() == Qt::NoModifier &&
            current.isValid()) {
            const std::size_t row = static_cast<std::size_t>(current.row());
            FCore.SetTicked(row, !FCore.Rows()[row].Checked);
            return true;
        }
    }
    return QMainWindow::eventFilter(Watched, Event);
}

TProgressWindow* TfrmMain::ProgressOpen(std::uint64_t Maximum) {
    FWait = std::make_unique<TfrmWait>(Maximum);
    FWait->OnCancel = [this] { frmWaitCancel(); };
    FWait->CentreOver(this);
    FWait->show();
    // It takes the keys (Esc) while the main window is disabled.
    FWait->activateWindow();
    FWait->setFocus();
    return FWait.get();
}

void TfrmMain::PumpEvents() {
    QCoreApplication::processEvents();
}

void TfrmMain::SetBusy(bool Busy) {
    setEnabled(!Busy);
    // The progress window had the keys; they come back here.
    if (!Busy && isVisible()) activateWindow();
}

void TfrmMain::ProgressClose() {
    if (FWait) {
        FWait->close();
        FWait.reset();
    }
}

void TfrmMain::mnuAboutClick() {
    FHooks.ShowMessage(QMessageBox::Information, QStringLiteral("About Parcelwright"),
                       QStringLiteral("Parcelwright version " PW_VERSION "\n\n"
                                      "Recovers e-mail messages, deleted ones above all, from the "
                                      "raw bytes of a drive or a disk image.\n\n"
                                      "Licensed under the GNU General Public License, version 3 "
                                      "or (at your option) any later version."));
}
