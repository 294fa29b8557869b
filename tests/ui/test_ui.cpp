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

#include <sys/stat.h>

#include "BrowseForFolderU.h"
#include "Error.h"
#include "frmMainWindow.h"
#include "waitfrm.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t Sector = 512;

struct TStored {
    std::string Subject;
    std::string Date;
    std::string From;
    std::string Body; // lines after the empty line, each ended by CR LF
};

std::string MessageText(const TStored& M) {
    return "From: " + M.From + "\r\nTo: Bob <bob@example.org>\r\nSubject: " + M.Subject +
           "\r\nDate: " + M.Date + "\r\n\r\n" + M.Body;
}

// Twelve messages, one every four sectors from sector 2 on, zeros between them. Bodies holding
// "invoice" (in any case) are items 1, 4, 7 and 10.
std::vector<TStored> Catalogue() {
    const char* const subjects[] = {"pear",  "Apple", "melon",  "banana", "Cherry", "kiwi",
                                    "grape", "Lemon", "orange", "Mango",  "fig",    "date"};
    std::vector<TStored> all;
    for (int i = 0; i < 12; ++i) {
        TStored m;
        m.Subject = subjects[i];
        m.Date = "Mon, " + std::to_string(10 + i) + " Jan 2022 10:00:00 +0000";
        m.From = std::string(1, static_cast<char>('a' + (i * 5) % 12)) + "@example.com";
        m.Body = "Hello number " + std::to_string(i) + "\r\n";
        if (i % 3 == 1)
            m.Body += (i == 4 ? "the INVOICE is attached\r\n" : "your Invoice, as promised\r\n");
        m.Body += "Regards\r\n";
        all.push_back(m);
    }
    return all;
}

fs::path MakeImage(const fs::path& Path, const std::vector<TStored>& Messages) {
    std::string image(Sector * (4 * Messages.size() + 8), '\0');
    for (std::size_t i = 0; i < Messages.size(); ++i) {
        const std::string text = MessageText(Messages[i]);
        image.replace(Sector * (2 + 4 * i), text.size(), text);
    }
    // Whole sectors only, with zeros after the last message.
    image.resize((image.size() / Sector + 2) * Sector, '\0');
    std::ofstream(Path, std::ios::binary).write(image.data(), std::streamsize(image.size()));
    return Path;
}

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
    int ItemAt(int Row) const { return Window->Model()->Rows()[std::size_t(Row)].Item; }
    std::vector<int> Items() const {
        std::vector<int> items;
        for (int r = 0; r < Rows(); ++r)
            items.push_back(ItemAt(r));
        return items;
    }
    QString Cell(int Row, int Column) const { return Window->Model()->Text(Row, Column); }

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
    EXPECT_EQ(menus, QStringList({"File", "Options", "Help"})); // Options: the opt-in deep scan
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

TEST_F(UiTest, FirstDriveIsPreselectedAndScanReadsIt) {
    const fs::path other = MakeImage(Dir / "one.img", {Stored[0]});
    Drives = {Image.string(), other.string()};
    TfrmMain& w = Open();
    ASSERT_EQ(w.cbDrives->count(), 2);
    EXPECT_EQ(w.cbDrives->currentIndex(), 0);
    EXPECT_EQ(w.drives, Drives);
    EXPECT_FALSE(w.cbDrives->itemIcon(1).isNull());

    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    ASSERT_EQ(w.emails.size(), 12u);
    EXPECT_EQ(Items(), std::vector<int>({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(Cell(3, 0), "3");
    EXPECT_EQ(Cell(3, 1), " Mon, 13 Jan 2022 10:00:00 +0000");
    EXPECT_EQ(Cell(3, 4), " banana");
    EXPECT_TRUE(w.isEnabled());
    EXPECT_EQ(OpenWaitWindows(), 0);
    EXPECT_TRUE(Boxes.empty());

    // The second drive is taken from drives by the box's index; its scan replaces the list.
    w.cbDrives->setCurrentIndex(1);
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    EXPECT_EQ(w.emails.size(), 1u);
    EXPECT_EQ(Rows(), 1);
}

TEST_F(UiTest, ScanWithoutDriveDoesNothing) {
    Drives.clear();
    TfrmMain& w = Open();
    EXPECT_EQ(w.cbDrives->count(), 0);
    EXPECT_EQ(w.cbDrives->currentIndex(), -1);
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    EXPECT_TRUE(w.emails.empty());
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(UiTest, FailedListingIsShownAndLeavesNoDrive) {
    ListingFails = true;
    TfrmMain& w = Open();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Title, "Parcelwright");
    EXPECT_EQ(Boxes[0].Text, "Drive listing failed.");
    EXPECT_EQ(Boxes[0].Icon, QMessageBox::Critical);
    EXPECT_TRUE(w.drives.empty());
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    EXPECT_TRUE(w.emails.empty());
}

TEST_F(UiTest, ErrorTextGainsFullStopOnlyAfterLettersAndDigits) {
    EXPECT_EQ(TfrmMain::ErrorText("Sector size is 0"), "Sector size is 0.");
    EXPECT_EQ(TfrmMain::ErrorText("Done."), "Done.");
    EXPECT_EQ(TfrmMain::ErrorText("Really!"), "Really!");
    EXPECT_EQ(TfrmMain::ErrorText(""), "");
}

TEST_F(UiTest, FailingScanRestoresWindowsAndKeepsEarlierResults) {
    const fs::path empty = Dir / "empty.img";
    std::ofstream(empty).close();
    Drives = {Image.string(), empty.string(), (Dir / "missing.img").string()};
    TfrmMain& w = Open();
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    ASSERT_EQ(Rows(), 12);

    for (int bad : {1, 2}) {
        Boxes.clear();
        w.cbDrives->setCurrentIndex(bad);
        QTest::mouseClick(w.sbScan, Qt::LeftButton);
        EXPECT_TRUE(w.isEnabled()) << bad;
        EXPECT_FALSE(w.Scanning());
        EXPECT_EQ(w.WaitWindow(), nullptr);
        EXPECT_EQ(OpenWaitWindows(), 0);
        ASSERT_EQ(Boxes.size(), 1u) << bad;
        EXPECT_EQ(Boxes[0].Title, "Parcelwright");
        EXPECT_FALSE(Boxes[0].Text.isEmpty());
        EXPECT_EQ(w.emails.size(), 12u);
        EXPECT_EQ(Rows(), 12);
    }
    // And the window still works.
    w.cbDrives->setCurrentIndex(0);
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    EXPECT_EQ(Rows(), 12);
}

TEST_F(UiTest, FilterNarrowsRowsWithGapsAndClearBringsThemBack) {
    TfrmMain& w = Scanned();

    // An empty keyword changes nothing.
    QTest::mouseClick(w.btnApplyFilter, Qt::LeftButton);
    EXPECT_FALSE(w.filterActive);
    EXPECT_TRUE(w.btnApplyFilter->isEnabled());
    EXPECT_EQ(Rows(), 12);

    Tick(0);
    ApplyKeyword("invoice");
    EXPECT_TRUE(w.filterActive);
    EXPECT_FALSE(w.btnApplyFilter->isEnabled());
    EXPECT_TRUE(w.btnClearFilter->isEnabled());
    EXPECT_FALSE(w.txtFilter->isEnabled());
    EXPECT_EQ(Items(), std::vector<int>({1, 4, 7, 10}));
    EXPECT_EQ(Cell(1, 0), "4");
    for (const TResultRow& row : w.Model()->Rows())
        EXPECT_FALSE(row.Checked);

    // A new scan keeps the filter.
    Tick(2);
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    EXPECT_EQ(Items(), std::vector<int>({1, 4, 7, 10}));
    EXPECT_FALSE(w.Model()->Rows()[2].Checked);

    QTest::mouseClick(w.btnClearFilter, Qt::LeftButton);
    EXPECT_FALSE(w.filterActive);
    EXPECT_TRUE(w.btnApplyFilter->isEnabled());
    EXPECT_FALSE(w.btnClearFilter->isEnabled());
    EXPECT_TRUE(w.txtFilter->isEnabled());
    EXPECT_EQ(w.txtFilter->text(), "invoice");
    EXPECT_EQ(Rows(), 12);

    // A keyword no body holds empties the list; header text is never searched.
    ApplyKeyword("banana");
    EXPECT_EQ(Rows(), 0);
    QTest::mouseClick(w.sbSelectAll, Qt::LeftButton);
    QTest::mouseClick(w.btnClearFilter, Qt::LeftButton);
    EXPECT_EQ(Rows(), 12);

    // Spaces are part of the keyword.
    ApplyKeyword("number 1");
    EXPECT_EQ(Items(), std::vector<int>({1, 10, 11}));
}

TEST_F(UiTest, RowsAreTickedByTheirCheckBoxAndBySpace) {
    TfrmMain& w = Scanned();
    QTableView* view = w.lvFoundEmails;
    const QRect cell = view->visualRect(w.Model()->index(2, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                      QPoint(cell.left() + 10, cell.center().y()));
    EXPECT_TRUE(w.Model()->Rows()[2].Checked);
    ClickRow(5); // current cell in the "From" column
    QTest::keyClick(view, Qt::Key_Space);
    EXPECT_TRUE(w.Model()->Rows()[5].Checked);
    QTest::keyClick(view, Qt::Key_Space);
    EXPECT_FALSE(w.Model()->Rows()[5].Checked);
    int ticked = 0;
    for (const TResultRow& row : w.Model()->Rows())
        ticked += row.Checked;
    EXPECT_EQ(ticked, 1);
}

TEST_F(UiTest, SelectAllAndDeselectAllTouchShownRowsOnly) {
    TfrmMain& w = Scanned();
    ApplyKeyword("INVOICE");
    QTest::mouseClick(w.sbSelectAll, Qt::LeftButton);
    for (const TResultRow& row : w.Model()->Rows())
        EXPECT_TRUE(row.Checked);
    QTest::mouseClick(w.sbDeselectAll, Qt::LeftButton);
    for (const TResultRow& row : w.Model()->Rows())
        EXPECT_FALSE(row.Checked);
    EXPECT_EQ(Rows(), 4);
}

TEST_F(UiTest, SortDirectionFollowsTheColumnClicks) {
    TfrmMain& w = Scanned();
    const auto subjects = [this] {
        QStringList s;
        for (int r = 0; r < Rows(); ++r)
            s << Cell(r, 4).trimmed();
        return s;
    };
    // First click on a column other than Item Num: descending, ignoring case.
    ClickHeader(4);
    EXPECT_EQ(w.sortColumn, 4);
    EXPECT_FALSE(w.sortAscending);
    EXPECT_EQ(subjects(), QStringList({"pear", "orange", "melon", "Mango", "Lemon", "kiwi", "grape",
                                       "fig", "date", "Cherry", "banana", "Apple"}));
    // The same column again reverses.
    ClickHeader(4);
    EXPECT_TRUE(w.sortAscending);
    EXPECT_EQ(subjects().front(), "Apple");
    EXPECT_EQ(subjects().back(), "pear");
    // A new column keeps the direction.
    ClickHeader(1);
    EXPECT_TRUE(w.sortAscending);
    EXPECT_EQ(ItemAt(0), 0);
    ClickHeader(1);
    EXPECT_FALSE(w.sortAscending);
    EXPECT_EQ(ItemAt(0), 11);
    // Item Num sorts by number (9 before 10 and 11).
    ClickHeader(0);
    EXPECT_FALSE(w.sortAscending);
    EXPECT_EQ(Items(), std::vector<int>({11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0}));
    ClickHeader(0);
    EXPECT_EQ(Items(), std::vector<int>({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));

    // A refill brings found order back but keeps the sort state.
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    EXPECT_EQ(Items(), std::vector<int>({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(w.sortColumn, 0);
    EXPECT_TRUE(w.sortAscending);
}

TEST_F(UiTest, FirstClickOnItemNumSortsAscending) {
    TfrmMain& w = Scanned();
    ClickHeader(0);
    EXPECT_EQ(w.sortColumn, 0);
    EXPECT_TRUE(w.sortAscending);
    EXPECT_EQ(Items(), std::vector<int>({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

TEST_F(UiTest, PreviewShowsTheMessageNamedInItemNumUnderFilterAndSort) {
    TfrmMain& w = Scanned();
    ApplyKeyword("invoice");
    ClickHeader(4); // descending by subject: melon(7)... order of items 1,4,7,10 by subject
    ASSERT_EQ(Rows(), 4);
    for (int r = 0; r < Rows(); ++r) {
        ClickRow(r);
        const std::string& body = w.emails[std::size_t(ItemAt(r))].Body;
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

TEST_F(UiTest, ExportWritesTickedRowsNamedByRowPosition) {
    TfrmMain& w = Scanned();
    const fs::path out = Dir / "out";
    fs::create_directories(out);
    Folder = QString::fromStdString(out.string());

    ApplyKeyword("invoice");
    ClickHeader(0); // Item Num, ascending on first click → 1, 4, 7, 10
    ClickHeader(0); // descending → 10, 7, 4, 1
    ASSERT_EQ(Items(), std::vector<int>({10, 7, 4, 1}));
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
    EXPECT_EQ(Read(out / "RecoveredEmail1.eml"), w.emails[7].FullText);
    EXPECT_EQ(Read(out / "RecoveredEmail3.eml"), w.emails[1].FullText);
    EXPECT_EQ(Read(out / "RecoveredEmail3.eml"), MessageText(Stored[1]));
    // The export changes nothing in the window.
    EXPECT_TRUE(w.Model()->Rows()[1].Checked);
    EXPECT_TRUE(w.filterActive);

    // Nothing ticked: nothing written, and still the information box. Cancelled: no box.
    fs::remove_all(out);
    fs::create_directories(out);
    QTest::mouseClick(w.sbDeselectAll, Qt::LeftButton);
    Boxes.clear();
    QTest::mouseClick(w.sbSaveEmail, Qt::LeftButton);
    EXPECT_TRUE(FilesIn(out).empty());
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Title, "Information");
    Folder.clear();
    Boxes.clear();
    QTest::mouseClick(w.sbSaveEmail, Qt::LeftButton);
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(UiTest, ExportIntoUnwritableFolderSaysSoAndWritesNothing) {
    TfrmMain& w = Scanned();
    QTest::mouseClick(w.sbSelectAll, Qt::LeftButton);
    // A folder "under" a regular file cannot take files, not even for root.
    const fs::path file = Dir / "plain-file";
    std::ofstream(file) << "x";
    for (const fs::path& folder : {file / "sub", fs::path("/proc/self/parcelwright-out")}) {
        Boxes.clear();
        Folder = QString::fromStdString(folder.string());
        QTest::mouseClick(w.sbSaveEmail, Qt::LeftButton);
        ASSERT_EQ(Boxes.size(), 1u);
        EXPECT_EQ(Boxes[0].Title, "Error");
        EXPECT_EQ(Boxes[0].Icon, QMessageBox::Critical);
        EXPECT_EQ(Boxes[0].Text, "Cannot Write To Output Folder ,Please Select A Writeable Folder");
    }
    EXPECT_FALSE(fs::exists(file / "sub"));
    EXPECT_EQ(FilesIn(Dir), std::vector<std::string>({"plain-file", "twelve.img"}));

    // A user's own check.DAT is never touched by the probe.
    const fs::path out = Dir / "out";
    fs::create_directories(out);
    std::ofstream(out / "check.DAT") << "keep me";
    Folder = QString::fromStdString(out.string());
    Boxes.clear();
    QTest::mouseClick(w.sbSaveEmail, Qt::LeftButton);
    EXPECT_EQ(Read(out / "check.DAT"), "keep me");
    EXPECT_EQ(FilesIn(out).size(), 13u);
}

TEST_F(UiTest, ExportFailureIsReportedNeverClaimedAsSuccess) {
    TfrmMain& w = Scanned();
    const fs::path out = Dir / "out";
    fs::create_directories(out / "RecoveredEmail2.eml" / "occupied");
    Folder = QString::fromStdString(out.string());
    QTest::mouseClick(w.sbSelectAll, Qt::LeftButton);
    QTest::mouseClick(w.sbSaveEmail, Qt::LeftButton);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Title, "Error");
    EXPECT_TRUE(Boxes[0].Text.contains("1 of 12")) << Boxes[0].Text.toStdString();
    EXPECT_TRUE(Boxes[0].Text.contains("RecoveredEmail2.eml"));
    EXPECT_TRUE(fs::is_regular_file(out / "RecoveredEmail11.eml"));
}

TEST_F(UiTest, OpenDiskImageAddsAndSelectsItOnce) {
    Drives = {(Dir / "none.img").string()};
    TfrmMain& w = Open();
    ChosenImage = QString::fromStdString(Image.string());
    w.mnuOpenImage->trigger();
    ASSERT_EQ(w.cbDrives->count(), 2);
    EXPECT_EQ(w.cbDrives->currentIndex(), 1);
    EXPECT_EQ(w.drives.back(), Image.string());
    w.cbDrives->setCurrentIndex(0);
    w.mnuOpenImage->trigger();
    EXPECT_EQ(w.cbDrives->count(), 2);
    EXPECT_EQ(w.cbDrives->currentIndex(), 1);
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    EXPECT_EQ(Rows(), 12);
    ChosenImage.clear();
    w.mnuOpenImage->trigger();
    EXPECT_EQ(w.cbDrives->count(), 2);
    EXPECT_TRUE(Boxes.empty());

    // An image that holds no sector is refused, with a word why.
    std::ofstream(Dir / "tiny.img") << "too small";
    ChosenImage = QString::fromStdString((Dir / "tiny.img").string());
    w.mnuOpenImage->trigger();
    EXPECT_EQ(w.cbDrives->count(), 2);
    EXPECT_EQ(w.drives.size(), 2u);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Title, "Error");
    EXPECT_TRUE(Boxes[0].Text.contains("tiny.img"));
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
    const fs::path dir = fs::temp_directory_path() / "pw-ui-chooser";
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
    fs::remove_all(dir);
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

TEST_F(UiTest, KeepAlivePumpsEventsAtABoundedRate) {
    TfrmMain& w = Open();
    int pumps = 0;
    QTimer timer;
    timer.setInterval(0);
    QObject::connect(&timer, &QTimer::timeout, [&] { ++pumps; });
    timer.start();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 2'000'000; ++i)
        w.KeepAlive(1);
    for (int i = 0; i < 1000; ++i)
        w.KeepAlive(100000);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_LE(pumps, ms / 30 + 2);
    // But it does pump while a scan runs long enough.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    while (std::chrono::steady_clock::now() < until)
        w.KeepAlive(1);
    EXPECT_GE(pumps, 1);
}

TEST_F(UiTest, OpenDiskImageRefusesBadInputWithOneErrorAndLosesNothing) {
    TfrmMain& w = Scanned();
    ASSERT_EQ(Rows(), 12);
    const fs::path empty = Dir / "empty.img", shortFile = Dir / "short.img", fifo = Dir / "pipe";
    std::ofstream(empty, std::ios::binary).flush();
    std::ofstream(shortFile, std::ios::binary) << std::string(511, 'x');
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink(Dir / "loop-b", Dir / "loop-a");
    fs::create_symlink(Dir / "loop-a", Dir / "loop-b");
    // A missing path, a folder, an empty file, less than one sector, a pipe (must not wait for a
    // writer), a device that is not a drive, a path that cannot be opened.
    for (const fs::path& bad : {Dir / "missing.img", Dir, empty, shortFile, fifo,
                                fs::path("/dev/zero"), Dir / "loop-a"}) {
        SCOPED_TRACE(bad.string());
        Boxes.clear();
        ChosenImage = QString::fromStdString(bad.string());
        w.mnuOpenImage->trigger();
        ASSERT_EQ(Boxes.size(), 1u);
        EXPECT_EQ(Boxes[0].Title, "Error");
        EXPECT_EQ(Boxes[0].Icon, QMessageBox::Critical);
        EXPECT_TRUE(Boxes[0].Text.contains(QString::fromStdString(fs::absolute(bad).string())))
            << Boxes[0].Text.toStdString();
        EXPECT_EQ(w.cbDrives->count(), 1);
        EXPECT_EQ(w.drives, Drives);
        EXPECT_TRUE(w.isEnabled());
        EXPECT_EQ(Rows(), 12); // the earlier results stay
    }
    // The drive box still scans what it held.
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    EXPECT_EQ(Rows(), 12);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName("Parcelwright");
    return RUN_ALL_TESTS();
}
