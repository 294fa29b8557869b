// Drives the desktop program's real widgets offscreen against scans of images built here.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BrowseForFolderU.h"
#include "Error.h"
#include "frmMainWindow.h"
#include "UiTestImages.h"
#include "waitfrm.h"

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
        hooks.ChooseImage = [this] { return ChosenImage; };
        hooks.OpenUrl = [this](const QUrl& Url) {
            Opened.push_back(Url);
            return true;
        };
        hooks.ListDrives = [this] {
            if (ListingFails) throw PwError("Drive listing failed");
            return Drives;
        };
        hooks.Clock = [this] { return Now; };
        Window = std::make_unique<TfrmMain>(hooks);
        Window->show();
        return *Window;
    }

    TfrmMain& Scanned() {
        TfrmMain& w = Open();
        QTest::mouseClick(w.sbScan, Qt::LeftButton);
        return w;
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
    void ApplyKeyword(const QString& Keyword) {
        Window->txtFilter->clear();
        QTest::keyClicks(Window->txtFilter, Keyword);
        QTest::mouseClick(Window->btnApplyFilter, Qt::LeftButton);
    }
    static std::string Read(const fs::path& Path) {
        std::ifstream in(Path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static std::vector<std::string> FilesIn(const fs::path& Folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(Folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
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
    QString Folder;
    QString ChosenImage;
    std::vector<TBox> Boxes;
    std::vector<QString> Prompts;
    std::vector<QUrl> Opened;
    std::unique_ptr<TfrmMain> Window;
    std::chrono::steady_clock::time_point Now{};
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
    EXPECT_EQ(w.txtmsgbody->geometry(), QRect(8, 384, 777, 161));

    const char* const headers[] = {"Item Num", "Date", "From", "To", "Subject"};
    const int widths[] = {65, 150, 200, 200, 500};
    for (int c = 0; c < 5; ++c) {
        EXPECT_EQ(w.Model()->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString(), headers[c]);
        EXPECT_EQ(w.lvFoundEmails->columnWidth(c), widths[c]);
    }

    QStringList menus;
    for (QAction* a : w.menuBar()->actions())
        menus << a->text().remove('&');
    // Edit: the tick commands by keyboard; Options: the opt-in deep scan.
    EXPECT_EQ(menus, QStringList({"File", "Edit", "Options", "Help"}));
    EXPECT_EQ(w.mnuHelp->text(), "Parcelwright Help");
    EXPECT_EQ(w.mnuHelp->shortcut(), QKeySequence(Qt::Key_F1));
    EXPECT_EQ(w.Exit1->text().remove('&'), "Exit");

    // Tab order: list, keyword box, Apply, Clear (when enabled), preview, drive box.
    w.btnClearFilter->setEnabled(true);
    QWidget* chain[] = {w.lvFoundEmails,  w.txtFilter,  w.btnApplyFilter,
                        w.btnClearFilter, w.txtmsgbody, w.cbDrives};
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

TEST_F(UiTest, PreviewShowsTheClickedRowsBodyAndKeepsItOtherwise) {
    TfrmMain& w = Scanned();
    ApplyKeyword("invoice");
    ClickHeader(4);
    ASSERT_EQ(Rows(), 4);
    for (int r = 0; r < Rows(); ++r) {
        ClickRow(r);
        const std::string& body = w.Core().Emails()[std::size_t(ItemAt(r))].Body;
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
    EXPECT_EQ(FilesIn(out),
              std::vector<std::string>({"RecoveredEmail1.eml", "RecoveredEmail3.eml"}));
    EXPECT_EQ(Read(out / "RecoveredEmail3.eml"), MessageText(Stored[3]));

    Boxes.clear();
    Folder = QString::fromStdString((Dir / "twelve.img" / "sub").string());
    QTest::mouseClick(w.sbSaveEmail, Qt::LeftButton);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Title, "Error");
    EXPECT_EQ(Boxes[0].Icon, QMessageBox::Critical);
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
    w.ProgressPosition(2500);
    EXPECT_EQ(w.WaitWindow()->Bar()->value(), 2500);
    w.ProgressClose();
    EXPECT_EQ(w.WaitWindow(), nullptr);
    EXPECT_EQ(OpenWaitWindows(), 0);
}

TEST_F(UiTest, KeepAlivePumpsEventsOnlyWhenTheIntervalHasPassed) {
    TfrmMain& w = Open();
    int pumps = 0;
    QTimer timer;
    timer.setInterval(0);
    QObject::connect(&timer, &QTimer::timeout, [&] { ++pumps; });
    timer.start();
    Now += std::chrono::hours(1);
    w.KeepAlive(100000);
    const int first = pumps;
    EXPECT_GE(first, 1);
    for (int i = 0; i < 100000; ++i)
        w.KeepAlive(1);
    EXPECT_EQ(pumps, first);
    Now += std::chrono::milliseconds(30);
    w.KeepAlive(100000);
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
