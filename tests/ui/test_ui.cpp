// Drives the desktop program's real widgets offscreen against scans of images built here.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "disk/Error.h"
#include "engine/CodePage1252.h"
#include "tests/ui/UiTestImages.h"
#include "ui/BrowseForFolderU.h"
#include "ui/ItemNumDelegate.h"
#include "ui/frmMainWindow.h"
#include "ui/waitfrm.h"

namespace fs = std::filesystem;

namespace {

struct TBox {
    QMessageBox::Icon Icon;
    QString Title;
    QString Text;
};

class UiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Dir = fs::temp_directory_path() /
              ("pw-ui-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Dir);
        fs::create_directories(Dir);
        Stored = Catalogue();
        Image = MakeImage(Dir / "twelve.img", Stored);
        Drives = {Image.string()};
    }
    void TearDown() override {
        Window.reset();
        fs::remove_all(Dir);
    }

    TfrmMain& Open() {
        TfrmMain::THooks hooks;
        hooks.ShowMessage = [this](QMessageBox::Icon Icon, const QString& Title,
                                   const QString& Text) {
            Boxes.push_back({Icon, Title, Text});
        };
        hooks.BrowseFolder = [this](const QString& Title, const QString&, bool AllowNew) {
            Prompts.push_back(Title);
            EXPECT_TRUE(AllowNew);
            return Folder;
        };
        hooks.AskYesNo = [this](const QString& Title, const QString& Text) {
            Questions.push_back({QMessageBox::Question, Title, Text});
            return Answer;
        };
        hooks.ChooseImage = [this] { return ChosenImage; };
        hooks.OpenUrl = [this](const QUrl& Url) {
            Opened.push_back(Url);
            return CanOpen;
        };
        hooks.ListDrives = [this] {
            if (ListingFails) throw TPwError("Drive listing failed");
            return Drives;
        };
        hooks.Clock = [this] { return Now; };
        hooks.ChooseSaveFile = [this](const QString& Title, const QString& Suggested,
                                      const QString&) {
            SaveTitles.push_back(Title);
            Suggestions.push_back(Suggested);
            return SaveAs;
        };
        Window = std::make_unique<TfrmMain>(hooks);
        // The tests of the list and preview as specified check the stored text.
        Window->mnuMessageSource->setChecked(Source);
        Window->show();
        return *Window;
    }

    TfrmMain& Scanned() {
        TfrmMain& w = Open();
        QTest::mouseClick(w.sbScan, Qt::LeftButton);
        return w;
    }
    // The sample with 8-bit text, scanned with the deep rule (the standard one keeps 7-bit text).
    TfrmMain& ScannedDeep(const std::vector<TStored>& Messages) {
        Drives = {MakeImage(Dir / "eight-bit.img", Messages).string()};
        TfrmMain& w = Open();
        w.mnuDeepScan->setChecked(true);
        QTest::mouseClick(w.sbScan, Qt::LeftButton);
        return w;
    }
    void Activate() {
        QApplication::setActiveWindow(Window.get());
        QCoreApplication::processEvents();
    }
    void Key(int Key, Qt::KeyboardModifiers Modifiers = Qt::NoModifier) {
        QWidget* target = QApplication::focusWidget();
        QTest::keyClick(target != nullptr ? target : Window.get(), Qt::Key(Key), Modifiers);
    }

    int Rows() const { return Window->Model()->rowCount(); }
    int ItemAt(int Row) const { return int(Window->Core().Rows()[std::size_t(Row)].Item); }
    std::vector<int> Items() const {
        std::vector<int> items;
        for (int r = 0; r < Rows(); ++r)
            items.push_back(ItemAt(r));
        return items;
    }
    QString Cell(int Row, int Column) const {
        return Window->Model()->Text(Row, static_cast<TResultColumn>(Column));
    }
    bool Checked(int Row) const { return Window->Core().Rows()[std::size_t(Row)].Checked; }

    void ClickRow(int Row) {
        QTableView* view = Window->lvFoundEmails;
        const QModelIndex index = Window->Model()->index(Row, 2);
        view->scrollTo(index);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
    }
    void ClickHeader(int Column) {
        QHeaderView* header = Window->lvFoundEmails->horizontalHeader();
        QTest::mouseClick(
            header->viewport(), Qt::LeftButton, {},
            QPoint(header->sectionViewportPosition(Column) + 10, header->height() / 2));
    }
    void Tick(int Row) {
        Window->Model()->setData(Window->Model()->index(Row, 0), Qt::Checked, Qt::CheckStateRole);
    }
    // Typed key by key, any character (QTest's own typing knows ASCII only).
    static void Type(QWidget* Target, const QString& Text) {
        for (const QChar c : Text)
            QTest::sendKeyEvent(QTest::Click, Target, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
    void ApplyKeyword(const QString& Keyword) {
        Window->txtFilter->clear();
        Type(Window->txtFilter, Keyword);
        QTest::mouseClick(Window->btnApplyFilter, Qt::LeftButton);
    }
    static int OpenWaitWindows() {
        int n = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<TfrmWait*>(w) != nullptr && w->isVisible()) ++n;
        return n;
    }

    fs::path Dir;
    fs::path Image;
    std::vector<TStored> Stored;
    TDriveArray Drives;
    bool ListingFails = false;
    bool CanOpen = true;
    QString Folder;
    QString ChosenImage;
    std::vector<TBox> Boxes, Questions;
    bool Answer = false; // to every question
    std::vector<QString> Prompts;
    std::vector<QUrl> Opened;
    std::unique_ptr<TfrmMain> Window;
    std::chrono::steady_clock::time_point Now{};
    bool Source = true; // View > Message Source at the start
    QString SaveAs;
    std::vector<QString> SaveTitles, Suggestions;
};

TEST_F(UiTest, WindowCarriesItsCaptionsGeometryAndTabOrder) {
    TfrmMain& w = Open();
    EXPECT_EQ(w.windowTitle(), "Parcelwright v3.0");
    EXPECT_EQ(w.centralWidget()->size(), QSize(792, 546));
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(w.minimumSize(), w.maximumSize());

    const std::pair<QToolButton*, const char*> buttons[] = {{w.sbScan, "Scan"},
                                                            {w.sbSelectAll, "Quick Select All"},
                                                            {w.sbDeselectAll, "Quick Deselect All"},
                                                            {w.sbSaveEmail, "Export Selected"}};
    int left = 8;
    for (const auto& [button, caption] : buttons) {
        EXPECT_EQ(button->text(), caption);
        EXPECT_EQ(button->geometry(), QRect(left, 8, 100, 89));
        EXPECT_EQ(button->focusPolicy(), Qt::NoFocus);
        EXPECT_EQ(button->iconSize(), QSize(48, 48));
        // The picture is drawn, not an empty square.
        const QImage picture = button->icon().pixmap(48, 48).toImage();
        int opaque = 0;
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                opaque += qAlpha(picture.pixel(x, y)) > 128;
        EXPECT_GT(opaque, 300) << caption;
        // The caption fits the button in the chosen font.
        EXPECT_LE(QFontMetrics(button->font()).horizontalAdvance(button->text()), 100 - 4)
            << caption;
        left += 104;
    }
    EXPECT_EQ(w.GroupBox1->title(), "Select Drive To Scan");
    EXPECT_EQ(w.Filter->title(), "Filter Emails");
    EXPECT_EQ(w.lblKeyword->text(), "Keyword");
    EXPECT_EQ(w.btnApplyFilter->text(), "Apply");
    EXPECT_EQ(w.btnClearFilter->text(), "Clear");
    EXPECT_TRUE(w.btnApplyFilter->isEnabled());
    EXPECT_FALSE(w.btnClearFilter->isEnabled());
    EXPECT_EQ(w.lvFoundEmails->geometry(), QRect(8, 104, 777, 273));
    // The preview gives up height to the details under it, which end where it ended.
    EXPECT_EQ(w.txtmsgbody->geometry(), QRect(8, 384, 777, 77));
    EXPECT_EQ(w.txtDetails->geometry().bottom(), 544);
    EXPECT_EQ(w.btnSaveAttachment->geometry().right(), 784);
    EXPECT_EQ(w.centralWidget()->size(), QSize(792, 546));

    const char* const headers[] = {"Item Num", "Date", "From", "To", "Subject"};
    const int widths[] = {65, 150, 200, 200, 500};
    for (int c = 0; c < 5; ++c) {
        EXPECT_EQ(w.Model()->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString(), headers[c]);
        EXPECT_EQ(w.lvFoundEmails->columnWidth(c), widths[c]);
    }

    QStringList menus;
    for (QAction* a : w.menuBar()->actions())
        menus << a->text().remove('&');
    // View: decoded or stored text, copies; Options: the opt-in deep scan.
    EXPECT_EQ(menus, QStringList({"File", "View", "Options", "Help"}));
    // The picture buttons' commands, reachable by keyboard through the File menu.
    QStringList commands;
    for (QAction* a : w.File1->actions())
        if (!a->isSeparator()) commands << a->text().remove('&');
    EXPECT_EQ(commands, QStringList({"Open Disk Image\u2026", "Scan", "Export Selected\u2026",
                                     "Export Selected as Mailbox\u2026", "Quick Select All",
                                     "Quick Deselect All", "Exit"}));
    QStringList views;
    for (QAction* a : w.View1->actions()) {
        views << a->text().remove('&');
        EXPECT_TRUE(a->isCheckable());
    }
    EXPECT_EQ(views,
              QStringList({"Message Source", "Hide Copies", "Deleted in Mail Program Only"}));
    EXPECT_FALSE(w.mnuHideCopies->isChecked()); // nothing hidden by default
    EXPECT_FALSE(w.mnuClientDeleted->isChecked());
    EXPECT_EQ(w.mnuHelp->text(), "Parcelwright Help");
    EXPECT_EQ(w.mnuHelp->shortcut(), QKeySequence(Qt::Key_F1));
    EXPECT_EQ(w.Exit1->text().remove('&'), "Exit");

    // Tab order: list, keyword box, Apply, Clear (when enabled), preview, drive box.
    w.btnClearFilter->setEnabled(true);
    QWidget* chain[] = {w.lvFoundEmails, w.txtFilter, w.btnApplyFilter, w.btnClearFilter,
                        w.txtmsgbody,    w.cbDrives,  w.chkText,        w.txtDetails};
    const auto nextTabStop = [](QWidget* From) {
        QWidget* next = From->nextInFocusChain();
        while (!(next->focusPolicy() & Qt::TabFocus) || !next->isEnabled())
            next = next->nextInFocusChain();
        return next;
    };
    for (std::size_t i = 0; i + 1 < std::size(chain); ++i)
        EXPECT_EQ(nextTabStop(chain[i]), chain[i + 1]) << i;
}

// The view's side of the commands; what they do is the window core's (MainWindowCoreTest).
TEST_F(UiTest, DriveBoxAndScanButtonDriveTheCore) {
    const fs::path other = MakeImage(Dir / "one.img", {Stored[0]});
    Drives = {Image.string(), other.string()};
    TfrmMain& w = Open();
    ASSERT_EQ(w.cbDrives->count(), 2);
    EXPECT_EQ(w.cbDrives->currentIndex(), 0);
    EXPECT_EQ(w.cbDrives->itemText(1).toStdString(), other.string());
    EXPECT_EQ(w.cbDrives->itemData(1, Qt::ToolTipRole).toString().toStdString(), other.string());
    EXPECT_FALSE(w.cbDrives->itemIcon(1).isNull());

    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    ASSERT_EQ(Rows(), 12);
    EXPECT_EQ(Cell(3, 0), "3");
    EXPECT_EQ(Cell(3, 1), " Mon, 13 Jan 2022 10:00:00 +0000");
    EXPECT_EQ(Cell(3, 4), " banana");
    EXPECT_EQ(w.Model()->data(w.Model()->index(3, 0), Qt::CheckStateRole), Qt::Unchecked);
    EXPECT_FALSE(w.Model()->data(w.Model()->index(3, 0), Qt::DecorationRole).isNull());
    EXPECT_TRUE(w.isEnabled());
    EXPECT_EQ(OpenWaitWindows(), 0);
    EXPECT_TRUE(Boxes.empty());

    // The second drive is taken by the box's index; its scan replaces the list.
    w.cbDrives->setCurrentIndex(1);
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    EXPECT_EQ(Rows(), 1);
}

TEST_F(UiTest, NoDriveOrAFailedListingLeavesTheBoxEmpty) {
    Drives.clear();
    TfrmMain& w = Open();
    EXPECT_EQ(w.cbDrives->count(), 0);
    EXPECT_EQ(w.cbDrives->currentIndex(), -1);
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    ASSERT_EQ(Boxes.size(), 1u); // why nothing was scanned (FirstRun…)
    Boxes.clear();

    ListingFails = true;
    TfrmMain& failed = Open();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Title, "Parcelwright");
    EXPECT_EQ(Boxes[0].Text, "Drive listing failed.");
    EXPECT_EQ(Boxes[0].Icon, QMessageBox::Critical);
    EXPECT_EQ(failed.cbDrives->count(), 0);
    QTest::mouseClick(failed.sbScan, Qt::LeftButton);
    EXPECT_EQ(Rows(), 0);
    EXPECT_EQ(Boxes.size(), 2u);
}

TEST_F(UiTest, FailingScanRestoresTheWindows) {
    Drives = {Image.string(), (Dir / "missing.img").string()};
    TfrmMain& w = Open();
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    ASSERT_EQ(Rows(), 12);
    w.cbDrives->setCurrentIndex(1);
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    EXPECT_TRUE(w.isEnabled());
    EXPECT_EQ(w.WaitWindow(), nullptr);
    EXPECT_EQ(OpenWaitWindows(), 0);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Title, "Parcelwright");
    EXPECT_EQ(Rows(), 12);
}

TEST_F(UiTest, FilterButtonsFollowTheFilterState) {
    TfrmMain& w = Scanned();

    // An empty keyword changes nothing.
    QTest::mouseClick(w.btnApplyFilter, Qt::LeftButton);
    EXPECT_TRUE(w.btnApplyFilter->isEnabled());
    EXPECT_FALSE(w.btnClearFilter->isEnabled());

    ApplyKeyword("invoice");
    EXPECT_FALSE(w.btnApplyFilter->isEnabled());
    EXPECT_TRUE(w.btnClearFilter->isEnabled());
    EXPECT_FALSE(w.txtFilter->isEnabled());
    EXPECT_EQ(Items(), std::vector<int>({1, 4, 7, 10}));
    EXPECT_EQ(Cell(1, 0), "4");

    QTest::mouseClick(w.btnClearFilter, Qt::LeftButton);
    EXPECT_TRUE(w.btnApplyFilter->isEnabled());
    EXPECT_FALSE(w.btnClearFilter->isEnabled());
    EXPECT_TRUE(w.txtFilter->isEnabled());
    EXPECT_EQ(w.txtFilter->text(), "invoice");
    EXPECT_EQ(Rows(), 12);
    // Apply at once again, the keyword as typed (spaces included).
    ApplyKeyword("number 1");
    EXPECT_EQ(Items(), std::vector<int>({1, 10, 11}));
}

TEST_F(UiTest, RowsAreTickedByTheirCheckBoxBySpaceAndByTheButtons) {
    TfrmMain& w = Scanned();
    QTableView* view = w.lvFoundEmails;
    const QRect cell = view->visualRect(w.Model()->index(2, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                      QPoint(cell.left() + 10, cell.center().y()));
    EXPECT_TRUE(Checked(2));
    ClickRow(5); // current cell in the "From" column
    QTest::keyClick(view, Qt::Key_Space);
    EXPECT_TRUE(Checked(5));
    EXPECT_EQ(w.Model()->data(w.Model()->index(5, 0), Qt::CheckStateRole), Qt::Checked);
    QTest::keyClick(view, Qt::Key_Space);
    EXPECT_FALSE(Checked(5));
    int ticked = 0;
    for (const TResultRow& row : w.Core().Rows())
        ticked += row.Checked;
    EXPECT_EQ(ticked, 1);

    QTest::mouseClick(w.sbSelectAll, Qt::LeftButton);
    for (int r = 0; r < Rows(); ++r)
        EXPECT_EQ(w.Model()->data(w.Model()->index(r, 0), Qt::CheckStateRole), Qt::Checked);
    QTest::mouseClick(w.sbDeselectAll, Qt::LeftButton);
    for (int r = 0; r < Rows(); ++r)
        EXPECT_FALSE(Checked(r));
}

TEST_F(UiTest, HeaderClicksSortByTheLocaleKeepingTheSelection) {
    TfrmMain& w = Scanned();
    const auto subjects = [this] {
        QStringList s;
        for (int r = 0; r < Rows(); ++r)
            s << Cell(r, 4).trimmed();
        return s;
    };
    ClickRow(0); // item 0, "pear"
    // First click on a column other than Item Num: descending, ignoring case.
    ClickHeader(4);
    EXPECT_EQ(w.Core().SortColumn(), TResultColumn::Subject);
    EXPECT_FALSE(w.Core().SortAscending());
    EXPECT_EQ(subjects(), QStringList({"pear", "orange", "melon", "Mango", "Lemon", "kiwi", "grape",
                                       "fig", "date", "Cherry", "banana", "Apple"}));
    ClickHeader(4);
    EXPECT_EQ(subjects().front(), "Apple");
    // The selected row is still the one it was.
    EXPECT_EQ(w.lvFoundEmails->selectionModel()->selectedRows().value(0).row(), 11);
    ClickHeader(0);
    EXPECT_EQ(Items(), std::vector<int>({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

// Message Source shows the whole stored message, header lines and body.
TEST_F(UiTest, PreviewShowsTheClickedRowsMessageAndKeepsItOtherwise) {
    TfrmMain& w = Scanned();
    ApplyKeyword("invoice");
    ClickHeader(4);
    ASSERT_EQ(Rows(), 4);
    for (int r = 0; r < Rows(); ++r) {
        ClickRow(r);
        const std::string& body = w.Core().Emails()[std::size_t(ItemAt(r))].FullText;
        QString expected = QString::fromLatin1(body.data(), qsizetype(body.size()));
        expected.replace("\r\n", "\n");
        EXPECT_EQ(w.txtmsgbody->toPlainText(), expected) << r;
        EXPECT_TRUE(
            w.txtmsgbody->toPlainText().contains(QString("Hello number %1").arg(ItemAt(r))));
    }
    // A click that leaves no row selected keeps the preview.
    const QString before = w.txtmsgbody->toPlainText();
    w.lvFoundEmails->clearSelection();
    QTest::mouseClick(w.lvFoundEmails->viewport(), Qt::LeftButton, {},
                      QPoint(20, w.lvFoundEmails->viewport()->height() - 3));
    EXPECT_EQ(w.txtmsgbody->toPlainText(), before);
    // So do a refill and a sort.
    QTest::mouseClick(w.btnClearFilter, Qt::LeftButton);
    ClickHeader(2);
    EXPECT_EQ(w.txtmsgbody->toPlainText(), before);
}

// Modern mail (MimeSample): the decoded view is the window's own; Message Source shows the
// stored text the tests above check.
TEST_F(UiTest, DecodedListPreviewAndDetailsAndTheMessageSourceSwitch) {
    Drives = {MakeImageOf(Dir / "mime.img", MimeSample()).string()};
    Source = false;
    TfrmMain& w = Scanned();
    ASSERT_EQ(Items(), std::vector<int>({0, 1, 2, 3}));
    EXPECT_FALSE(w.mnuMessageSource->isChecked());
    EXPECT_EQ(Cell(0, 4), QStringLiteral("Gr\u00fc\u00dfe aus K\u00f6ln"));
    EXPECT_EQ(Cell(0, 1), "2022-03-01 09:00:00 UTC");
    EXPECT_EQ(w.cbAttachments->count(), 0);
    EXPECT_FALSE(w.btnSaveAttachment->isEnabled());

    ClickRow(0);
    EXPECT_EQ(w.txtmsgbody->toPlainText(),
              QStringLiteral("Sch\u00f6ne Gr\u00fc\u00dfe aus K\u00f6ln"));
    const QString details = w.txtDetails->toPlainText();
    EXPECT_TRUE(details.contains(QStringLiteral("Subject: Gr\u00fc\u00dfe aus K\u00f6ln")))
        << details.toStdString();
    EXPECT_TRUE(details.contains("Found at byte 1024 (0x400) by the standard rule"));
    ASSERT_EQ(w.cbAttachments->count(), 1);
    EXPECT_EQ(w.cbAttachments->itemText(0), "hello.txt");
    EXPECT_TRUE(w.btnSaveAttachment->isEnabled());
    ClickRow(2);
    EXPECT_TRUE(w.txtDetails->toPlainText().contains("copy of item 0"));
    // HTML as plain text in a box that takes no rich text.
    ClickRow(3);
    EXPECT_TRUE(w.txtmsgbody->toPlainText().contains("Hi there"));
    EXPECT_FALSE(w.txtmsgbody->toPlainText().contains("<"));
    EXPECT_FALSE(w.txtmsgbody->acceptRichText());

    // View > Message Source: list and preview of the same row as stored, details unchanged.
    ClickRow(0);
    w.mnuMessageSource->trigger();
    EXPECT_TRUE(w.Core().SourceView());
    EXPECT_EQ(Cell(0, 4), " =?UTF-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?=");
    EXPECT_TRUE(w.txtmsgbody->toPlainText().contains("--b1\nContent-Type: text/plain"));
    EXPECT_TRUE(w.txtmsgbody->toPlainText().contains("Sch=C3=B6ne"));
    EXPECT_EQ(w.txtDetails->toPlainText(), details);
    w.mnuMessageSource->trigger();
    EXPECT_EQ(Cell(0, 4), QStringLiteral("Gr\u00fc\u00dfe aus K\u00f6ln"));
    EXPECT_EQ(w.txtmsgbody->toPlainText(),
              QStringLiteral("Sch\u00f6ne Gr\u00fc\u00dfe aus K\u00f6ln"));
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(UiTest, HideCopiesMailboxExportAttachmentAndTextFilterFromTheWindow) {
    Drives = {MakeImageOf(Dir / "mime.img", MimeSample()).string()};
    Source = false;
    TfrmMain& w = Scanned();
    w.mnuHideCopies->trigger();
    EXPECT_EQ(Items(), std::vector<int>({0, 1, 3}));
    EXPECT_TRUE(w.lblStatus->text().contains("copies hidden"));
    w.mnuHideCopies->trigger();
    EXPECT_EQ(Rows(), 4);
    // View > Deleted in Mail Program Only: none of these is marked.
    w.mnuClientDeleted->trigger();
    EXPECT_TRUE(w.Core().ClientDeletedOnly());
    EXPECT_EQ(Rows(), 0);
    w.mnuClientDeleted->trigger();
    EXPECT_FALSE(w.Core().ClientDeletedOnly());
    EXPECT_EQ(Rows(), 4);

    // File > Export Selected as Mailbox...
    Tick(1);
    Tick(3);
    SaveAs = QString::fromStdString((Dir / "picked.mbox").string());
    w.mnuExportMailbox->trigger();
    ASSERT_EQ(SaveTitles.size(), 1u);
    EXPECT_EQ(SaveTitles[0], "Export Selected as Mailbox");
    EXPECT_EQ(Suggestions[0], "RecoveredEmails.mbox");
    const std::string mbox = ReadAll(Dir / "picked.mbox");
    EXPECT_EQ(mbox.rfind("From carol@example.net ", 0), 0u);
    EXPECT_NE(mbox.find(w.Core().Emails()[3].FullText), std::string::npos);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Icon, QMessageBox::Information);

    // Save Attachment...: the decoded bytes under the chosen name.
    ClickRow(0);
    SaveAs = QString::fromStdString((Dir / "hello-saved.txt").string());
    QTest::mouseClick(w.btnSaveAttachment, Qt::LeftButton);
    EXPECT_EQ(Suggestions.back(), "hello.txt");
    EXPECT_EQ(ReadAll(Dir / "hello-saved.txt"), "Hello, attachment!\n");
    EXPECT_EQ(Boxes.size(), 1u);

    // The text mode of the filter: decoded words, any case; its box is locked with the keyword.
    w.chkText->setChecked(true);
    ApplyKeyword(QStringLiteral("K\u00d6LN"));
    EXPECT_EQ(Items(), std::vector<int>({0, 2}));
    EXPECT_FALSE(w.chkText->isEnabled());
    QTest::mouseClick(w.btnClearFilter, Qt::LeftButton);
    EXPECT_TRUE(w.chkText->isEnabled());
    w.chkText->setChecked(false);
    ApplyKeyword(QStringLiteral("K\u00f6ln")); // the stored bytes hold it quoted-printable
    EXPECT_EQ(Rows(), 0);
}

TEST_F(UiTest, PreviewShowsTheWholeOfALongBody) {
    std::vector<TStored> big = {Stored[0]};
    std::string body;
    for (int i = 0; i < 3000; ++i)
        body += "line " + std::to_string(i) + " of a long message body, padded out a bit\r\n";
    big[0].Body = body;
    Drives = {MakeImage(Dir / "big.img", big).string()};
    TfrmMain& w = Scanned();
    ASSERT_EQ(Rows(), 1);
    ClickRow(0);
    const QString shown = w.txtmsgbody->toPlainText();
    EXPECT_GT(shown.size(), 64 * 1024);
    EXPECT_TRUE(shown.endsWith("line 2999 of a long message body, padded out a bit\n"))
        << shown.right(80).toStdString();
}

TEST_F(UiTest, ExportButtonAsksForTheFolderAndSaysHowItWent) {
    TfrmMain& w = Scanned();
    const fs::path out = Dir / "out";
    fs::create_directories(out);
    Folder = QString::fromStdString(out.string());
    Tick(1);
    Tick(3);
    QTest::mouseClick(w.sbSaveEmail, Qt::LeftButton);
    ASSERT_EQ(Prompts.size(), 1u);
    EXPECT_EQ(Prompts[0], "Select Where To Save Recovered Emails");
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Title, "Information");
    EXPECT_EQ(Boxes[0].Text, "Emails Succesfully Exported To Folder");
    EXPECT_EQ(Boxes[0].Icon, QMessageBox::Information);
    EXPECT_EQ(FileNames(out),
              std::vector<std::string>({"RecoveredEmail1.eml", "RecoveredEmail3.eml"}));
    EXPECT_EQ(ReadAll(out / "RecoveredEmail3.eml"), MessageText(Stored[3]));

    Boxes.clear();
    Folder = QString::fromStdString((Dir / "twelve.img" / "sub").string());
    QTest::mouseClick(w.sbSaveEmail, Qt::LeftButton);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Title, "Error");
    EXPECT_EQ(Boxes[0].Icon, QMessageBox::Critical);
    // The folder and the system's reason follow the box's own words.
    EXPECT_TRUE(Boxes[0].Text.contains(Folder + ": ")) << Boxes[0].Text.toStdString();

    // Into the first folder again: the files of the earlier export are kept unless the user
    // says to replace them.
    Boxes.clear();
    Folder = QString::fromStdString(out.string());
    Activate();
    Key(Qt::Key_E, Qt::ControlModifier);
    ASSERT_EQ(Questions.size(), 1u);
    EXPECT_TRUE(Questions[0].Text.startsWith("2 of the 2 files to export exist already in "))
        << Questions[0].Text.toStdString();
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(ReadAll(out / "RecoveredEmail3.eml"), MessageText(Stored[3]));
}

TEST_F(UiTest, PreviewAndDetailsFollowTheList) {
    Drives = {MakeImageOf(Dir / "mime.img", MimeSample()).string()};
    Source = false;
    TfrmMain& w = Scanned();
    ClickRow(0);
    ASSERT_TRUE(w.btnSaveAttachment->isEnabled());
    const QString shown = w.txtmsgbody->toPlainText();
    // Hide Copies keeps the first of the copies: it stays shown.
    w.mnuHideCopies->trigger();
    EXPECT_EQ(w.txtmsgbody->toPlainText(), shown);
    EXPECT_TRUE(w.btnSaveAttachment->isEnabled());
    w.mnuHideCopies->trigger();

    // A keyword typed and Enter: the previewed message is filtered out, and so is its preview.
    Activate();
    QTest::mouseClick(w.txtFilter, Qt::LeftButton);
    QTest::keyClicks(w.txtFilter, "notes");
    QTest::keyClick(w.txtFilter, Qt::Key_Return);
    ASSERT_EQ(Items(), std::vector<int>({1}));
    EXPECT_TRUE(w.txtmsgbody->toPlainText().isEmpty());
    EXPECT_TRUE(w.txtDetails->toPlainText().isEmpty());
    EXPECT_FALSE(w.btnSaveAttachment->isEnabled());
    EXPECT_FALSE(w.cbAttachments->isEnabled());

    // A new scan is a new list: nothing of the earlier one stays in the preview.
    QTest::mouseClick(w.btnClearFilter, Qt::LeftButton);
    ClickRow(0);
    ASSERT_FALSE(w.txtDetails->toPlainText().isEmpty());
    QTest::keyClick(&w, Qt::Key_F5);
    EXPECT_EQ(Rows(), 4);
    EXPECT_TRUE(w.txtmsgbody->toPlainText().isEmpty());
    EXPECT_TRUE(w.txtDetails->toPlainText().isEmpty());
    EXPECT_FALSE(w.btnSaveAttachment->isEnabled());
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(UiTest, OpenDiskImageFillsTheDriveBox) {
    Drives = {(Dir / "none.img").string()};
    TfrmMain& w = Open();
    ChosenImage = QString::fromStdString(Image.string());
    w.mnuOpenImage->trigger();
    ASSERT_EQ(w.cbDrives->count(), 2);
    EXPECT_EQ(w.cbDrives->currentIndex(), 1);
    EXPECT_EQ(w.cbDrives->itemText(1).toStdString(), Image.string());
    w.cbDrives->setCurrentIndex(0);
    w.mnuOpenImage->trigger();
    EXPECT_EQ(w.cbDrives->count(), 2);
    EXPECT_EQ(w.cbDrives->currentIndex(), 1);
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    EXPECT_EQ(Rows(), 12);

    // Refused: one error, the box as it was.
    ChosenImage = QString::fromStdString((Dir / "missing.img").string());
    w.mnuOpenImage->trigger();
    EXPECT_EQ(w.cbDrives->count(), 2);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Title, "Error");
    EXPECT_TRUE(Boxes[0].Text.contains("missing.img"));
    EXPECT_TRUE(w.isEnabled());
}

TEST_F(UiTest, HelpOpensTheShippedManualAndExitCloses) {
    TfrmMain& w = Open();
    QApplication::setActiveWindow(&w);
    QTest::keyClick(&w, Qt::Key_F1);
    ASSERT_EQ(Opened.size(), 1u);
    EXPECT_TRUE(Opened[0].isLocalFile());
    EXPECT_TRUE(Opened[0].toLocalFile().endsWith("manual.html"));
    EXPECT_TRUE(QFileInfo::exists(Opened[0].toLocalFile()));
    w.Exit1->trigger();
    EXPECT_FALSE(w.isVisible());
}

TEST_F(UiTest, AboutBoxNamesTheVersionOfTheTitle) {
    TfrmMain& w = Open();
    ASSERT_EQ(w.Help1->actions().size(), 2);
    EXPECT_EQ(w.Help1->actions()[1], w.mnuAbout);
    w.mnuAbout->trigger();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Title, "About Parcelwright");
    const QString version = w.windowTitle().section(" v", 1);
    EXPECT_EQ(version, "3.0");
    EXPECT_TRUE(Boxes[0].Text.startsWith("Parcelwright version " + version + "\n"))
        << Boxes[0].Text.toStdString();
    EXPECT_TRUE(Boxes[0].Text.contains("GNU General Public License, version 3 or (at your option) "
                                       "any later version"))
        << Boxes[0].Text.toStdString();
}

TEST_F(UiTest, ItemNumIsReadableInItsSixtyFivePixels) {
    TfrmMain& w = Scanned();
    EXPECT_EQ(w.lvFoundEmails->columnWidth(0), 65);
    ASSERT_NE(dynamic_cast<TItemNumDelegate*>(w.lvFoundEmails->itemDelegateForColumn(0)), nullptr);
    const QRect cell = w.lvFoundEmails->visualRect(w.Model()->index(0, 0));
    const QFontMetrics metrics(w.lvFoundEmails->font());
    for (const int number : {0, 100, 999, 4711, 9999, 12345, 999999, 9999999}) {
        const QString text = QString::number(number);
        const TItemNumDelegate::TLayout layout =
            TItemNumDelegate::Layout(cell, metrics.horizontalAdvance(text));
        EXPECT_GE(layout.Text.width(), metrics.horizontalAdvance(text)) << number;
        EXPECT_TRUE(cell.contains(layout.Check)) << number;
        EXPECT_LE(layout.Text.right(), cell.right()) << number;
        EXPECT_GT(layout.Text.left(), layout.Check.right()) << number;
        // The envelope is drawn whenever it leaves the number its room (the lists of real disks).
        if (number < 10000) {
            EXPECT_FALSE(layout.Icon.isEmpty()) << number;
            EXPECT_GT(layout.Icon.left(), layout.Check.right());
            EXPECT_GT(layout.Text.left(), layout.Icon.right());
        }
    }
    // The check box where it is drawn ticks the row.
    const TItemNumDelegate::TLayout layout = TItemNumDelegate::Layout(cell, 10);
    QTest::mouseClick(w.lvFoundEmails->viewport(), Qt::LeftButton, {}, layout.Check.center());
    EXPECT_TRUE(Checked(0));
    QTest::mouseClick(w.lvFoundEmails->viewport(), Qt::LeftButton, {}, layout.Check.center());
    EXPECT_FALSE(Checked(0));
}

TEST_F(UiTest, TypedKeywordIsSearchedAsWindows1252OrRefusedByName) {
    std::vector<TStored> mail = Stored;
    mail[2].Body = "price 20 \x80 net\r\n";
    mail[5].Body = "price 20 ? net\r\n";
    TfrmMain& w = ScannedDeep(mail);
    ASSERT_EQ(Rows(), 12);
    ApplyKeyword(QStringLiteral("20 \u20ac"));
    EXPECT_EQ(Items(), std::vector<int>({2}));
    EXPECT_TRUE(Boxes.empty());
    QTest::mouseClick(w.btnClearFilter, Qt::LeftButton);

    ApplyKeyword(QStringLiteral("\u0416"));
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Icon, QMessageBox::Critical);
    EXPECT_TRUE(Boxes[0].Text.contains(QStringLiteral("\u201c\u0416\u201d (U+0416)")))
        << Boxes[0].Text.toStdString();
    // Nothing changed: no filter, every row, the keyword still there to correct.
    EXPECT_EQ(Rows(), 12);
    EXPECT_FALSE(w.Core().FilterActive());
    EXPECT_TRUE(w.btnApplyFilter->isEnabled());
    EXPECT_TRUE(w.txtFilter->isEnabled());
    EXPECT_EQ(w.txtFilter->text(), QStringLiteral("\u0416"));
}

TEST_F(UiTest, TabLeavesTheListInTheWindowsTabOrder) {
    TfrmMain& w = Scanned();
    Activate();
    ClickRow(3);
    ASSERT_EQ(QApplication::focusWidget(), w.lvFoundEmails);
    Key(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), w.txtFilter);
    Key(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), w.btnApplyFilter);
    Key(Qt::Key_Tab); // Clear is disabled
    EXPECT_EQ(QApplication::focusWidget(), w.txtmsgbody);
    Key(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), w.cbDrives);
    w.lvFoundEmails->setFocus();
    Key(Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_NE(QApplication::focusWidget(), w.lvFoundEmails);
    // The current row stayed where it was.
    EXPECT_EQ(w.lvFoundEmails->currentIndex().row(), 3);
}

TEST_F(UiTest, BytesShowAsWindows1252InListAndPreview) {
    std::vector<TStored> mail = Stored;
    mail[0].Subject = "\x93Offer\x94 \x80 100 \x96 caf\xe9";
    mail[0].Body = "\x85 \x99 \x9c\r\n";
    TfrmMain& w = ScannedDeep(mail);
    ASSERT_EQ(Rows(), 12);
    EXPECT_EQ(Cell(0, 4), QStringLiteral(" \u201cOffer\u201d \u20ac 100 \u2013 caf\u00e9"));
    ClickRow(0);
    EXPECT_EQ(w.txtmsgbody->toPlainText(),
              QString::fromStdString(Utf8From1252(MessageText(mail[0]))).replace("\r\n", "\n"));
    EXPECT_TRUE(w.txtmsgbody->toPlainText().endsWith(QStringLiteral("\n\n\u2026 \u2122 \u0153\n")));
}

TEST_F(UiTest, StatusLineCountsFoundShownAndTickedBelowTheClientArea) {
    TfrmMain& w = Open();
    EXPECT_EQ(w.lblStatus->text(), "");
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    EXPECT_EQ(w.lblStatus->text(),
              QStringLiteral("12 messages found \u00b7 12 shown \u00b7 0 ticked"));
    ApplyKeyword("invoice");
    Tick(1);
    EXPECT_EQ(w.lblStatus->text(),
              QStringLiteral("12 messages found \u00b7 4 shown with the keyword "
                             "\u201cinvoice\u201d \u00b7 1 ticked"));
    // The client area keeps its size and controls; the line is under it.
    EXPECT_EQ(w.centralWidget()->size(), QSize(792, 546));
    EXPECT_TRUE(w.statusBar()->isVisible());
    EXPECT_GE(w.statusBar()->geometry().top(), w.centralWidget()->geometry().bottom());
    EXPECT_TRUE(w.statusBar()->isAncestorOf(w.lblStatus));
}

// What decoding got wrong and what was hard to find, seen in the window and reached by keys.
TEST_F(UiTest, DecodingFaultsTipsSortArrowAndDeepScanHintInTheWindow) {
    Drives = {MakeImageOf(Dir / "faults.img", DecodingSample()).string()};
    Source = false;
    TfrmMain& w = Open();
    Activate();
    Key(Qt::Key_F5);
    ASSERT_EQ(Items(), std::vector<int>({0, 1, 2, 3, 4}));
    QCoreApplication::processEvents();
    // Two of five rows are fragments: the status line points to the deep scan.
    EXPECT_TRUE(w.lblStatus->text().endsWith(
        QStringLiteral("2 have no sender and no subject: Options \u25b8 Deep Scan may find more")))
        << w.lblStatus->text().toStdString();
    EXPECT_EQ(Cell(1, 2), QStringLiteral("\u041f\u0440\u0438\u0432\u0435\u0442"));
    EXPECT_EQ(Cell(1, 1), "2001-01-01 00:01:00 UTC");
    EXPECT_EQ(Cell(0, 1), "2001-01-01 00:01:00 UTC");

    // Tips: none over a cell that fits; the whole text over one cut off; the date as written.
    QTableView* view = w.lvFoundEmails;
    auto tipAt = [&](int Row, int Column) {
        const QPoint at = view->visualRect(Window->Model()->index(Row, Column)).center();
        QHelpEvent help(QEvent::ToolTip, at, view->viewport()->mapToGlobal(at));
        QApplication::sendEvent(view->viewport(), &help);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    EXPECT_EQ(tipAt(1, 3), "");
    const std::string longDate = "sometime in the long hot summer of the year two thousand and one";
    EXPECT_EQ(tipAt(2, 1), QString::fromStdString(longDate));
    EXPECT_EQ(tipAt(2, 4), Cell(2, 4));
    EXPECT_EQ(tipAt(1, 1), QStringLiteral("2001-01-01 00:01:00 UTC \u2014 written "
                                          "\u201c01 Jan 2001 00:01 +0000\u201d"));
    QToolTip::hideText();

    // The forwarded message is an attachment named by its subject, saved whole.
    ClickRow(0);
    ASSERT_EQ(w.cbAttachments->count(), 1);
    EXPECT_EQ(w.cbAttachments->itemText(0), "Re: plan/2001.eml");
    SaveAs = QString::fromStdString((Dir / "forwarded.eml").string());
    QTest::mouseClick(w.btnSaveAttachment, Qt::LeftButton);
    EXPECT_EQ(Suggestions.back(), "Re_ plan_2001.eml");
    EXPECT_EQ(ReadAll(Dir / "forwarded.eml"), ForwardedInner());

    // Ctrl+U: the whole stored message, its header lines first.
    Key(Qt::Key_U, Qt::ControlModifier);
    EXPECT_TRUE(w.mnuMessageSource->isChecked());
    const std::string stored = DecodingSample()[0];
    EXPECT_EQ(w.txtmsgbody->toPlainText(), QString::fromStdString(stored).replace("\r\n", "\n"));
    Key(Qt::Key_U, Qt::ControlModifier);

    // The sorted column shows its direction; a refill (the filter, by Enter) takes it away.
    QHeaderView* header = view->horizontalHeader();
    EXPECT_FALSE(header->isSortIndicatorShown());
    for (int click = 0; click < 2; ++click) {
        ClickHeader(4);
        EXPECT_TRUE(header->isSortIndicatorShown());
        EXPECT_EQ(header->sortIndicatorSection(), 4);
        EXPECT_EQ(header->sortIndicatorOrder(),
                  w.Core().SortAscending() ? Qt::AscendingOrder : Qt::DescendingOrder);
        EXPECT_EQ(w.Core().SortColumn(), TResultColumn::Subject);
    }
    EXPECT_TRUE(w.Core().SortAscending());
    w.txtFilter->setFocus();
    QTest::keyClicks(w.txtFilter, "e");
    Key(Qt::Key_Return);
    EXPECT_TRUE(w.Core().FilterActive());
    EXPECT_FALSE(header->isSortIndicatorShown());

    // Ctrl+A, Ctrl+Shift+E: the mailbox's "From " lines carry the messages' own dates.
    w.lvFoundEmails->setFocus();
    Key(Qt::Key_A, Qt::ControlModifier);
    SaveAs = QString::fromStdString((Dir / "out.mbox").string());
    Key(Qt::Key_E, Qt::ControlModifier | Qt::ShiftModifier);
    const std::string mbox = ReadAll(Dir / "out.mbox");
    EXPECT_NE(mbox.find("From ann@example.org Mon Jan  1 00:01:00 2001\n"), std::string::npos)
        << mbox;
    EXPECT_TRUE(Boxes.size() == 1 && Boxes[0].Icon == QMessageBox::Information);
}

TEST_F(UiTest, KeysReachEveryCommand) {
    TfrmMain& w = Open();
    Activate();
    Key(Qt::Key_F5);
    ASSERT_EQ(Rows(), 12);

    // Ctrl+A, Ctrl+Shift+A: the quick ticks; in the keyword box Ctrl+A selects its text.
    // The keys come back to the main window once the progress window is gone.
    QCoreApplication::processEvents();
    EXPECT_EQ(QApplication::activeWindow(), &w);
    w.lvFoundEmails->setFocus();
    Key(Qt::Key_A, Qt::ControlModifier);
    for (int r = 0; r < Rows(); ++r)
        EXPECT_TRUE(Checked(r)) << r;
    Key(Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(w.Core().TickedCount(), 0u);
    w.txtFilter->setFocus();
    QTest::keyClicks(w.txtFilter, "invoice");
    Key(Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(w.txtFilter->selectedText(), "invoice");
    EXPECT_EQ(w.Core().TickedCount(), 0u);

    // Ctrl+E with nothing ticked: said at once, no folder asked for.
    Key(Qt::Key_E, Qt::ControlModifier);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_TRUE(Boxes[0].Text.startsWith("No emails selected"));
    EXPECT_TRUE(Prompts.empty());

    // Enter in the keyword box applies the filter.
    w.txtFilter->setFocus();
    Key(Qt::Key_Return);
    EXPECT_EQ(Items(), std::vector<int>({1, 4, 7, 10}));
    EXPECT_TRUE(w.btnClearFilter->isEnabled());

    // The preview follows the current row when it moves by keyboard.
    ClickRow(0);
    EXPECT_TRUE(w.txtmsgbody->toPlainText().contains("Hello number 1\n"));
    w.lvFoundEmails->setFocus();
    Key(Qt::Key_Down);
    EXPECT_TRUE(w.txtmsgbody->toPlainText().contains("Hello number 4\n"));
    Key(Qt::Key_End, Qt::ControlModifier);
    EXPECT_TRUE(w.txtmsgbody->toPlainText().contains("Hello number 10\n"));

    // Ctrl+O: Open Disk Image….
    const fs::path other = MakeImage(Dir / "other.img", {Stored[0]});
    ChosenImage = QString::fromStdString(other.string());
    Key(Qt::Key_O, Qt::ControlModifier);
    ASSERT_EQ(w.cbDrives->count(), 2);
    EXPECT_EQ(w.cbDrives->currentIndex(), 1);
    EXPECT_EQ(w.mnuScan->shortcut(), QKeySequence(Qt::Key_F5));
    EXPECT_EQ(w.mnuExport->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_E));
    EXPECT_EQ(Boxes.size(), 1u);
}

TEST_F(UiTest, FirstRunHintOpensAnImageOrTheManualsSectionOnDevices) {
    Drives.clear();
    TfrmMain& w = Open();
    EXPECT_TRUE(w.lblNoDrive->isVisible());
    EXPECT_TRUE(w.lblNoDrive->text().contains("Open a disk image"));
    EXPECT_EQ(w.cbDrives->placeholderText(), "No drive you may read");
    EXPECT_TRUE(w.GroupBox1->rect().contains(w.lblNoDrive->geometry()));

    emit w.lblNoDrive->linkActivated("rights");
    ASSERT_EQ(Opened.size(), 1u);
    EXPECT_EQ(Opened[0].fragment(), "device-access");
    // The manual shipped beside the program has that section.
    std::ifstream manual(Opened[0].toLocalFile().toStdString());
    const std::string page{std::istreambuf_iterator<char>(manual), {}};
    EXPECT_NE(page.find("id=\"device-access\""), std::string::npos);

    ChosenImage = QString::fromStdString(Image.string());
    emit w.lblNoDrive->linkActivated("open");
    EXPECT_EQ(w.cbDrives->count(), 1);
    EXPECT_FALSE(w.lblNoDrive->isVisible());
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    EXPECT_EQ(Rows(), 12);
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(UiTest, HelpWithNoBrowserNamesTheFile) {
    TfrmMain& w = Open();
    CanOpen = false;
    w.mnuHelp->trigger();
    ASSERT_EQ(Boxes.size(), 1u);
    ASSERT_EQ(Opened.size(), 1u);
    EXPECT_TRUE(Boxes[0].Text.contains(Opened[0].toLocalFile())) << Boxes[0].Text.toStdString();
    EXPECT_TRUE(Boxes[0].Text.contains("No web browser"));
}

// A window that plays the user during its scan: Act runs once, when the progress window is up
// and events are pumped.
class TActingWindow : public TfrmMain {
  public:
    using TfrmMain::TfrmMain;
    std::function<void(TfrmMain&)> Act;
    void PumpEvents() override {
        TfrmMain::PumpEvents();
        if (Act && WaitWindow() != nullptr) std::exchange(Act, nullptr)(*this);
    }
};

TEST_F(UiTest, ProgressWindowShowsCountsAndFollowsTheMainWindow) {
    TfrmMain& w = Open();
    TProgressWindow* opened = w.ProgressOpen(5000);
    TfrmWait* wait = w.WaitWindow();
    ASSERT_NE(wait, nullptr);
    EXPECT_EQ(opened, wait);
    TScanProgress p;
    p.BytesTotal = 5000 * 512;
    p.BytesDone = 1250 * 512;
    p.Found = 42;
    p.Seconds = 2;
    wait->ShowProgress(p);
    EXPECT_EQ(wait->Bar()->value(), 1250);
    EXPECT_EQ(wait->BytesLabel()->text(), QStringLiteral("625.0 KiB of 2.4 MiB (25%)"));
    EXPECT_TRUE(wait->CountsLabel()->text().startsWith("42 messages found \u00b7 312.5 KiB/s"))
        << wait->CountsLabel()->text().toStdString();
    EXPECT_TRUE(wait->CountsLabel()->text().endsWith("0:06 left"));
    // A sector step behind the bytes already shown does not move the bar back.
    wait->SetPosition(1000);
    EXPECT_EQ(wait->Bar()->value(), 1250);
    EXPECT_TRUE(wait->CancelButton()->isEnabled());
    EXPECT_EQ(wait->CancelButton()->text(), "Cancel");
    EXPECT_TRUE(
        wait->geometry().contains(wait->CancelButton()->geometry().translated(wait->pos())));

    w.move(w.pos() + QPoint(37, 23));
    QCoreApplication::processEvents();
    EXPECT_LE((wait->frameGeometry().center() - w.frameGeometry().center()).manhattanLength(), 2);
    w.ProgressClose();
}

TEST_F(UiTest, CancelButtonAndEscAskTheScanToStop) {
    for (const bool byEsc : {false, true}) {
        auto window = std::make_unique<TActingWindow>(TfrmMain::THooks{});
        bool stopping = false, disabled = false;
        window->Act = [&](TfrmMain& W) {
            TfrmWait* wait = W.WaitWindow();
            if (byEsc)
                QTest::keyClick(wait, Qt::Key_Escape);
            else
                QTest::mouseClick(wait->CancelButton(), Qt::LeftButton);
            stopping = wait->CountsLabel()->text().contains(QStringLiteral("stopping"));
            disabled = !wait->CancelButton()->isEnabled();
        };
        window->runScan(Image.string());
        EXPECT_TRUE(stopping) << byEsc;
        EXPECT_TRUE(disabled) << byEsc;
        EXPECT_EQ(window->WaitWindow(), nullptr);
        EXPECT_TRUE(window->isEnabled());
    }
}

// Needs the scan driver to ask CancelRequested: fails until it does.
TEST_F(UiTest, CancelledScanKeepsWhatItFoundAndSaysSo) {
    TfrmMain::THooks hooks;
    hooks.ListDrives = [this] { return Drives; };
    hooks.ShowMessage = [this](QMessageBox::Icon Icon, const QString& Title, const QString& Text) {
        Boxes.push_back({Icon, Title, Text});
    };
    TActingWindow w(hooks);
    w.show();
    w.Act = [](TfrmMain& W) { QTest::mouseClick(W.WaitWindow()->CancelButton(), Qt::LeftButton); };
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    EXPECT_TRUE(Boxes.empty());
    EXPECT_TRUE(w.Core().ScanCancelled());
    EXPECT_LT(w.Model()->rowCount(), 12);
    EXPECT_TRUE(w.lblStatus->text().startsWith("Scan cancelled: "))
        << w.lblStatus->text().toStdString();
    EXPECT_TRUE(w.isEnabled());
}

TEST_F(UiTest, ClosingDuringAScanCancelsItAndClosesAfterwards) {
    TActingWindow w(TfrmMain::THooks{[this](QMessageBox::Icon, const QString&, const QString& T) {
                                         Boxes.push_back({QMessageBox::NoIcon, "", T});
                                     },
                                     {},
                                     {},
                                     {},
                                     [this] { return Drives; },
                                     {},
                                     {},
                                     {}});
    w.show();
    bool closedAtOnce = true;
    w.Act = [&](TfrmMain& W) {
        W.close();
        closedAtOnce = !W.isVisible();
    };
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    EXPECT_FALSE(closedAtOnce);
    EXPECT_FALSE(w.isVisible());
    EXPECT_TRUE(Boxes.empty());
}

// A sort waiting for the header fields of every message, and the decoded text search, leave the
// window alive: its events (a timer here, as paints and keys) are handled while the work runs, the
// progress window stands over it, and Esc there stops the work with the list as it was. Once the
// work may run, the same header click sorts.
TEST_F(UiTest, TheWindowStaysAliveDuringALongSortOrTextSearchAndEscStopsIt) {
    if (!CanDecodeMail()) GTEST_SKIP() << "built without the mail module";
    Drives = {MakeImageOf(Dir / "mime.img", MimeSample()).string()};
    Source = false;
    auto gate = std::make_shared<TWorkGate>();
    // The core's workers must pass the gate before the window goes.
    struct TOpenAtEnd {
        std::shared_ptr<TWorkGate> Gate;
        ~TOpenAtEnd() { Gate->Open(); }
    } openAtEnd{gate};
    TfrmMain& w = Open();
    w.Core().SetWorkGate([gate] { gate->Wait(); });
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    ASSERT_EQ(Rows(), 4);
    const std::vector<int> before = Items();

    for (const bool search : {false, true}) {
        bool seenWorking = false, stopped = false;
        QTimer watcher;
        QObject::connect(&watcher, &QTimer::timeout, [&] {
            TfrmWait* wait = w.WaitWindow();
            if (wait == nullptr || seenWorking) return;
            seenWorking = w.Core().Working() && !w.isEnabled() && wait->isVisible();
            QTest::keyClick(wait, Qt::Key_Escape);
            stopped = wait->CountsLabel()->text().contains(QStringLiteral("stopping"));
            // The search's workers go on to see that they are to stop.
            if (search) gate->Open();
        });
        watcher.start(0);
        if (search) {
            w.chkText->setChecked(true);
            ApplyKeyword(QStringLiteral("k\u00f6ln"));
        } else {
            ClickHeader(4);
        }
        watcher.stop();
        EXPECT_TRUE(seenWorking) << search;
        EXPECT_TRUE(stopped) << search;
        EXPECT_EQ(Items(), before) << search;
        EXPECT_EQ(w.Core().SortColumn(), TResultColumn::ItemNum) << search;
        EXPECT_FALSE(w.Core().FilterActive()) << search;
        EXPECT_EQ(w.WaitWindow(), nullptr) << search;
        EXPECT_EQ(OpenWaitWindows(), 0) << search;
        EXPECT_TRUE(w.isEnabled()) << search;
    }
    EXPECT_TRUE(Boxes.empty());

    ClickHeader(4);
    EXPECT_EQ(w.Core().SortColumn(), TResultColumn::Subject);
    EXPECT_EQ(Cell(0, 4), QStringLiteral("Offer"));
}

// Runs BrowseForFolder with Act applied to its dialog once it is up.
QString Browse(bool AllowNew, const std::function<void(QFileDialog&)>& Act) {
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        Act(*dialog);
    });
    return BrowseForFolder("Select Where To Save Recovered Emails", QString(), AllowNew);
}

TEST(FolderChooser, AnswersTheChosenFolderOrNothing) {
    const TTestFolder folder("pw-ui-chooser-");
    const fs::path dir = folder.Path;
    fs::create_directories(dir / "inner");
    QString title;
    EXPECT_EQ(Browse(true,
                     [&](QFileDialog& d) {
                         title = d.windowTitle();
                         d.reject();
                     }),
              "");
    EXPECT_EQ(title, "Select Where To Save Recovered Emails");

    const QString chosen = Browse(true, [&](QFileDialog& d) {
        d.setDirectory(QString::fromStdString(dir.string()));
        d.selectFile(QString::fromStdString((dir / "inner").string()));
        static_cast<QDialog&>(d).accept();
    });
    EXPECT_EQ(fs::path(chosen.toStdString()), dir / "inner");

    // The new-folder button is offered only when asked for.
    for (const bool allowNew : {true, false}) {
        bool offered = false;
        Browse(allowNew, [&](QFileDialog& d) {
            auto* button = d.findChild<QToolButton*>("newFolderButton");
            offered = button != nullptr && button->isVisible() && button->isEnabled();
            d.reject();
        });
        EXPECT_EQ(offered, allowNew);
    }
}

TEST(WaitWindow, IsFramelessOnTopAndStartsEmpty) {
    TfrmWait wait(1000);
    EXPECT_TRUE(wait.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(wait.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(wait.size(), QSize(504, 122));
    EXPECT_EQ(wait.Bar()->geometry(), QRect(16, 48, 465, 17));
    EXPECT_EQ(wait.Bar()->value(), 0);
    wait.SetPosition(1000);
    EXPECT_EQ(wait.Bar()->value(), wait.Bar()->maximum());
}

TEST(WaitWindow, ScalesAnySectorCountOntoTheBar) {
    for (const std::uint64_t max : {std::uint64_t(1) << 31, (std::uint64_t(1) << 32) + 12345,
                                    std::uint64_t(7) << 40, ~std::uint64_t(0)}) {
        TfrmWait wait(max);
        QProgressBar* bar = wait.Bar();
        EXPECT_GT(bar->maximum(), 1 << 29) << max;
        EXPECT_EQ(bar->value(), 0);
        wait.SetPosition(max / 2);
        EXPECT_NEAR(double(bar->value()) / bar->maximum(), 0.5, 1e-6) << max;
        wait.SetPosition(max / 10 * 9);
        EXPECT_NEAR(double(bar->value()) / bar->maximum(), 0.9, 1e-6) << max;
        wait.SetPosition(max);
        EXPECT_EQ(bar->value(), bar->maximum());
    }
}

TEST_F(UiTest, ProgressWindowStandsCentredOverTheMainWindowDuringAScan) {
    TfrmMain& w = Open();
    w.ProgressOpen(5000);
    ASSERT_NE(w.WaitWindow(), nullptr);
    EXPECT_TRUE(w.WaitWindow()->isVisible());
    EXPECT_LE(
        (w.WaitWindow()->frameGeometry().center() - w.frameGeometry().center()).manhattanLength(),
        2);
    w.WaitWindow()->SetPosition(2500);
    EXPECT_EQ(w.WaitWindow()->Bar()->value(), 2500);
    w.ProgressClose();
    EXPECT_EQ(w.WaitWindow(), nullptr);
    EXPECT_EQ(OpenWaitWindows(), 0);
}

// The core's scan host over the window, on the window's clock.
TEST_F(UiTest, KeepAlivePumpsEventsOnlyWhenTheIntervalHasPassed) {
    TfrmMain& w = Open();
    bool cancel = false;
    TScanMonitor host(w, 512, 0, cancel, [this] { return Now; });
    int pumps = 0;
    QTimer timer;
    timer.setInterval(0);
    QObject::connect(&timer, &QTimer::timeout, [&] { ++pumps; });
    timer.start();
    Now += std::chrono::hours(1);
    host.KeepAlive(100000);
    const int first = pumps;
    EXPECT_GE(first, 1);
    for (int i = 0; i < 100000; ++i)
        host.KeepAlive(1);
    EXPECT_EQ(pumps, first);
    Now += std::chrono::milliseconds(30);
    host.KeepAlive(100000);
    EXPECT_GT(pumps, first);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName("Parcelwright");
    return RUN_ALL_TESTS();
}
