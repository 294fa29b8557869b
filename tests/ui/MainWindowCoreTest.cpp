// The main window's commands without a window: a recording view stands in for the toolkit, and
// the scans read images built here.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include "disk/Error.h"
#include "engine/CodePage1252.h"
#include "engine/MboxExport.h"
#include "tests/ui/UiTestImages.h"
#include "ui/MainWindowCore.h"

namespace fs = std::filesystem;

namespace {

struct TBox {
    TMessageKind Kind;
    std::string Title;
    std::string Text;
};

// Its own progress window too.
class TRecordingView : public TMainWindowView, public TProgressWindow {
  public:
    void ShowMessage(TMessageKind Kind, const std::string& Title,
                     const std::string& Text) override {
        Boxes.push_back({Kind, Title, Text});
    }
    bool AskYesNo(const std::string& Title, const std::string& Text) override {
        Questions.push_back({TMessageKind::Information, Title, Text});
        return Answer;
    }
    std::string BrowseFolder(const std::string& Prompt, const std::string& Initial,
                             bool AllowNewFolder) override {
        Prompts.push_back(Prompt);
        EXPECT_EQ(Initial, "");
        EXPECT_TRUE(AllowNewFolder);
        return Folder;
    }
    std::string ChooseImage() override { return Image; }
    bool OpenDocument(const std::string& Path) override {
        Opened.push_back(Path);
        return CanOpen;
    }
    std::string ProgramFolder() override { return Program; }
    void SetBusy(bool Busy) override { BusyCalls.push_back(Busy); }
    void DrivesChanged(int Selected) override { Selected_ = Selected; }
    void RowsChanging(TRowsChange) override { ++Changing; }
    void RowsChanged(TRowsChange) override {
        ++Changed;
        if (OnRowsChanged) OnRowsChanged();
    }
    TProgressWindow* ProgressOpen(std::uint64_t) override {
        ++Opens;
        if (OnProgressOpen) OnProgressOpen();
        return this;
    }
    void ProgressClose() override { ++Closes; }
    void PumpEvents() override { ++Pumps; }
    void SetPosition(std::uint64_t Value) override { Positions.push_back(Value); }
    void ShowProgress(const TScanProgress& Progress) override { Shown.push_back(Progress); }
    bool OpenDocumentAt(const std::string& Path, const std::string& Anchor) override {
        Anchors.push_back(Anchor);
        return OpenDocument(Path);
    }
    void CountsChanged() override { ++Counts; }
    std::string ChooseSaveFile(const std::string& Title, const std::string& Suggested,
                               const std::string&) override {
        SaveTitles.push_back(Title);
        Suggestions.push_back(Suggested);
        return SaveAs;
    }

    std::vector<TBox> Boxes, Questions;
    bool Answer = false;
    std::function<void()> OnRowsChanged;
    std::vector<std::string> Prompts, Opened;
    std::vector<bool> BusyCalls;
    std::string Folder, Image, Program;
    bool CanOpen = true;
    int Selected_ = -2, Changing = 0, Changed = 0, Opens = 0, Closes = 0, Counts = 0, Pumps = 0;
    std::vector<TScanProgress> Shown;
    std::vector<std::uint64_t> Positions;
    std::vector<std::string> Anchors;
    std::function<void()> OnProgressOpen;
    std::string SaveAs;
    std::vector<std::string> SaveTitles, Suggestions;
};

class CoreTest : public ::testing::Test {
  protected:
    CoreTest() : Dir("pw-core-") {
        Stored = Catalogue();
        Image = MakeImage(Dir.Path / "twelve.img", Stored).string();
        Drives = {Image};
    }

    TMainWindowCore& Open() {
        Core = std::make_unique<TMainWindowCore>(View, [this] {
            if (ListingFails) throw TPwError("Drive listing failed");
            return Drives;
        });
        Core->ListDrives();
        return *Core;
    }
    TMainWindowCore& Scanned() {
        Open().Scan(0);
        return *Core;
    }
    std::vector<std::size_t> Items() const {
        std::vector<std::size_t> items;
        for (const TResultRow& row : Core->Rows())
            items.push_back(row.Item);
        return items;
    }
    std::vector<std::string> Column(TResultColumn C) const {
        std::vector<std::string> texts;
        for (std::size_t r = 0; r < Core->Rows().size(); ++r)
            texts.push_back(Core->CellText(r, C).substr(1)); // the stored value has its space
        return texts;
    }
    int Ticked() const {
        return int(std::count_if(Core->Rows().begin(), Core->Rows().end(),
                                 [](const TResultRow& R) { return R.Checked; }));
    }

    TTestFolder Dir;
    std::vector<TStored> Stored;
    std::string Image;
    TDriveArray Drives;
    bool ListingFails = false;
    TRecordingView View;
    std::unique_ptr<TMainWindowCore> Core;
};

const std::vector<std::size_t> All12 = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

TEST_F(CoreTest, FirstDriveIsPreselectedAndScanTakesTheDriveByIndex) {
    const fs::path other = MakeImage(Dir.Path / "one.img", {Stored[0]});
    Drives = {Image, other.string()};
    TMainWindowCore& core = Open();
    EXPECT_EQ(core.Drives(), Drives);
    EXPECT_EQ(View.Selected_, 0);

    core.Scan(0);
    ASSERT_EQ(core.Emails().size(), 12u);
    EXPECT_EQ(Items(), All12);
    EXPECT_EQ(core.CellText(3, TResultColumn::ItemNum), "3");
    EXPECT_EQ(core.CellText(3, TResultColumn::Date), " Mon, 13 Jan 2022 10:00:00 +0000");
    EXPECT_EQ(core.CellText(3, TResultColumn::Subject), " banana");
    EXPECT_EQ(View.BusyCalls, std::vector<bool>({true, false}));
    EXPECT_FALSE(core.Scanning());
    EXPECT_EQ(View.Opens, View.Closes);
    EXPECT_EQ(View.Changing, View.Changed);
    EXPECT_TRUE(View.Boxes.empty());

    // The second drive, by its index; its scan replaces the list and the ticks.
    core.SetAllTicked(true);
    core.Scan(1);
    EXPECT_EQ(core.Emails().size(), 1u);
    EXPECT_EQ(Items(), std::vector<std::size_t>({0}));
    EXPECT_EQ(Ticked(), 0);
    // An index with no drive behind it does nothing.
    for (const int index : {-1, 2}) {
        core.Scan(index);
        EXPECT_EQ(core.Emails().size(), 1u);
    }
}

TEST_F(CoreTest, NoDriveOrAFailedListingLeavesNothingToScanAndScanSaysWhy) {
    Drives.clear();
    Open().Scan(0);
    EXPECT_EQ(View.Selected_, -1);
    EXPECT_TRUE(Core->NothingToScan());
    EXPECT_TRUE(Core->Emails().empty());
    EXPECT_TRUE(View.BusyCalls.empty());
    // Every non-root Linux user starts here: the box names the way on.
    ASSERT_EQ(View.Boxes.size(), 1u);
    EXPECT_EQ(View.Boxes[0].Kind, TMessageKind::Information);
    EXPECT_NE(View.Boxes[0].Text.find("Open Disk Image"), std::string::npos);
    EXPECT_EQ(Core->StatusText(), "");
    View.Boxes.clear();

    // A drive is offered, but none is chosen.
    Drives = {Image};
    Open().Scan(-1);
    EXPECT_FALSE(Core->NothingToScan());
    ASSERT_EQ(View.Boxes.size(), 1u);
    EXPECT_NE(View.Boxes[0].Text.find("Select Drive To Scan"), std::string::npos);
    EXPECT_TRUE(View.BusyCalls.empty());
    View.Boxes.clear();

    ListingFails = true;
    TMainWindowCore& core = Open();
    ASSERT_EQ(View.Boxes.size(), 1u);
    EXPECT_EQ(View.Boxes[0].Kind, TMessageKind::Error);
    EXPECT_EQ(View.Boxes[0].Title, "Parcelwright");
    EXPECT_EQ(View.Boxes[0].Text, "Drive listing failed.");
    EXPECT_TRUE(core.Drives().empty());
    EXPECT_EQ(View.Selected_, -1);
    core.Scan(0);
    EXPECT_TRUE(core.Emails().empty());
    EXPECT_EQ(View.Boxes.size(), 2u);
}

TEST(CoreErrorText, GainsFullStopOnlyAfterLettersAndDigits) {
    EXPECT_EQ(TMainWindowCore::ErrorText("Sector size is 0"), "Sector size is 0.");
    EXPECT_EQ(TMainWindowCore::ErrorText("Done."), "Done.");
    EXPECT_EQ(TMainWindowCore::ErrorText("Really!"), "Really!");
    EXPECT_EQ(TMainWindowCore::ErrorText(""), "");
}

TEST_F(CoreTest, FailingScanRestoresWindowsAndKeepsEarlierResults) {
    const fs::path empty = Dir.Path / "empty.img";
    std::ofstream(empty).close();
    Drives = {Image, empty.string(), (Dir.Path / "missing.img").string()};
    TMainWindowCore& core = Open();
    core.Scan(0);
    ASSERT_EQ(core.Rows().size(), 12u);

    for (const int bad : {1, 2}) {
        SCOPED_TRACE(bad);
        View.Boxes.clear();
        View.BusyCalls.clear();
        core.Guarded([&] { core.Scan(bad); });
        EXPECT_EQ(View.BusyCalls, std::vector<bool>({true, false}));
        EXPECT_FALSE(core.Scanning());
        EXPECT_GE(View.Closes, View.Opens);
        ASSERT_EQ(View.Boxes.size(), 1u);
        EXPECT_EQ(View.Boxes[0].Title, "Parcelwright");
        EXPECT_FALSE(View.Boxes[0].Text.empty());
        EXPECT_EQ(core.Emails().size(), 12u);
        EXPECT_EQ(core.Rows().size(), 12u);
    }
    // Errors of other kinds are shown too; and the window still works.
    View.Boxes.clear();
    core.Guarded([] { throw std::runtime_error("disk gone"); });
    core.Guarded([] { throw 42; });
    ASSERT_EQ(View.Boxes.size(), 2u);
    EXPECT_EQ(View.Boxes[0].Text, "disk gone.");
    EXPECT_EQ(View.Boxes[1].Text, "Unexpected error.");
    core.Scan(0);
    EXPECT_EQ(core.Rows().size(), 12u);
}

TEST_F(CoreTest, AScanThatCannotKeepItsMessagesSaysWhyAndListsWhatItFound) {
    // More message bytes than the list holds in memory (32 MiB), and a temporary folder that is
    // not there: the list cannot move them to a scratch file.
    const fs::path image = Dir.Path / "many.img";
    {
        std::ofstream out(image, std::ios::binary);
        std::string message = "From: a@example.org\r\nTo: b@example.org\r\nSubject: big\r\n\r\n";
        message += std::string(65536 - 512 - message.size() - 2, 'x') + "\r\n";
        const std::string sector(512, '\0'); // sector 0, and a gap after each message
        out << sector;
        for (int i = 0; i < 600; ++i)
            out << message << sector;
    }
    const fs::path missing = Dir.Path / "no-such-folder";
    const char* before = std::getenv("TMPDIR");
    const std::string saved = before ? before : "";
    ::setenv("TMPDIR", missing.c_str(), 1);
    Drives = {image.string()};
    Scanned();
    if (before)
        ::setenv("TMPDIR", saved.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
    ASSERT_EQ(View.Boxes.size(), 1u);
    EXPECT_EQ(View.Boxes[0].Kind, TMessageKind::Error);
    EXPECT_NE(View.Boxes[0].Text.find("The scan stopped before the end of the drive"),
              std::string::npos)
        << View.Boxes[0].Text;
    EXPECT_NE(View.Boxes[0].Text.find(missing.string()), std::string::npos) << View.Boxes[0].Text;
    // What fitted in memory is listed, whole.
    const std::size_t found = Core->Emails().size();
    EXPECT_GT(found, 400u);
    EXPECT_LT(found, 600u);
    EXPECT_EQ(Core->Rows().size(), found);
    EXPECT_EQ(Core->Emails().FullTextSize(found - 1), 65536u - 512u);
}

TEST_F(CoreTest, FilterNarrowsRowsWithGapsAndClearBringsThemBack) {
    TMainWindowCore& core = Scanned();

    // An empty keyword changes nothing.
    core.ApplyFilter("");
    EXPECT_FALSE(core.FilterActive());
    EXPECT_EQ(core.Rows().size(), 12u);

    core.SetTicked(0, true);
    core.ApplyFilter("invoice");
    EXPECT_TRUE(core.FilterActive());
    EXPECT_EQ(Items(), std::vector<std::size_t>({1, 4, 7, 10}));
    EXPECT_EQ(core.CellText(1, TResultColumn::ItemNum), "4");
    EXPECT_EQ(Ticked(), 0);

    // A new scan keeps the filter and drops the ticks.
    core.SetTicked(2, true);
    core.Scan(0);
    EXPECT_EQ(Items(), std::vector<std::size_t>({1, 4, 7, 10}));
    EXPECT_EQ(Ticked(), 0);

    core.SetAllTicked(true);
    core.ClearFilter();
    EXPECT_FALSE(core.FilterActive());
    EXPECT_EQ(Items(), All12);
    EXPECT_EQ(Ticked(), 0);

    // A keyword no body holds; spaces are part of the keyword.
    core.ApplyFilter("absent");
    EXPECT_TRUE(core.Rows().empty());
    core.ClearFilter();
    core.ApplyFilter("number 1");
    EXPECT_EQ(Items(), std::vector<std::size_t>({1, 10, 11}));
}

// A day of scans: a disk of mail, then a small one. The small list must not keep the rows of the
// large one, or every scan after the largest holds its memory for good.
TEST_F(CoreTest, ASmallerListLetsGoOfTheLargerListsRows) {
    TMainWindowCore& core = Open();
    TEmailArray many(20000, TEmail{"", "", "", "", "Subject: one\r\n\r\nbody\r\n", "body\r\n"});
    core.ShowResults(many);
    ASSERT_EQ(core.Rows().size(), 20000u);
    core.ShowResults(TEmailArray(3, many[0]));
    ASSERT_EQ(core.Rows().size(), 3u);
    EXPECT_LT(core.Rows().capacity(), 1000u);
    // The same after a scan, which fills the list its own way.
    core.ShowResults(many);
    core.Scan(0);
    ASSERT_EQ(core.Rows().size(), 12u);
    EXPECT_LT(core.Rows().capacity(), 1000u);
}

TEST_F(CoreTest, TicksTouchShownRowsOnly) {
    TMainWindowCore& core = Open();
    core.SetAllTicked(true); // an empty list: nothing to do
    core.SetTicked(0, true);
    EXPECT_TRUE(core.Rows().empty());

    core.Scan(0);
    core.ApplyFilter("INVOICE");
    core.SetAllTicked(true);
    EXPECT_EQ(Ticked(), 4);
    core.SetTicked(2, false);
    EXPECT_FALSE(core.Rows()[2].Checked);
    EXPECT_EQ(Ticked(), 3);
    core.SetTicked(99, true); // no such row
    core.SetAllTicked(false);
    EXPECT_EQ(Ticked(), 0);
    EXPECT_EQ(core.Rows().size(), 4u);
}

TEST_F(CoreTest, SortDirectionFollowsTheColumnClicks) {
    TMainWindowCore& core = Scanned();
    // The first click on the column already recorded (Item Num) sorts ascending.
    EXPECT_EQ(core.SortColumn(), TResultColumn::ItemNum);
    EXPECT_FALSE(core.SortAscending());
    core.SortBy(TResultColumn::ItemNum);
    EXPECT_TRUE(core.SortAscending());
    EXPECT_EQ(Items(), All12);

    // A new column keeps the direction; ignoring case.
    core.SortBy(TResultColumn::Subject);
    EXPECT_EQ(core.SortColumn(), TResultColumn::Subject);
    EXPECT_TRUE(core.SortAscending());
    EXPECT_EQ(Column(TResultColumn::Subject),
              std::vector<std::string>({"Apple", "banana", "Cherry", "date", "fig", "grape", "kiwi",
                                        "Lemon", "Mango", "melon", "orange", "pear"}));
    // The same column again reverses; ticks go with their rows.
    core.SetTicked(0, true); // Apple, item 1
    core.SortBy(TResultColumn::Subject);
    EXPECT_FALSE(core.SortAscending());
    EXPECT_EQ(Column(TResultColumn::Subject).front(), "pear");
    EXPECT_TRUE(core.Rows().back().Checked);
    EXPECT_EQ(core.Rows().back().Item, 1u);

    core.SortBy(TResultColumn::Date);
    EXPECT_FALSE(core.SortAscending());
    EXPECT_EQ(core.Rows().front().Item, 11u);
    // Item Num sorts by number (9 before 10 and 11).
    core.SortBy(TResultColumn::ItemNum);
    EXPECT_EQ(Items(), std::vector<std::size_t>({11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0}));
    core.SortBy(TResultColumn::ItemNum);
    EXPECT_EQ(Items(), All12);
    core.SortBy(TResultColumn::Date); // a new column, ascending kept
    EXPECT_EQ(core.Rows().front().Item, 0u);
    core.SortBy(TResultColumn::Date);

    // A refill brings found order back but keeps the sort state.
    core.Scan(0);
    EXPECT_EQ(Items(), All12);
    EXPECT_EQ(core.SortColumn(), TResultColumn::Date);
    EXPECT_FALSE(core.SortAscending());
}

TEST_F(CoreTest, SortUsesTheViewsCollationOncePerSort) {
    int prepared = 0;
    // Longest text first: an order no byte comparison gives.
    Core = std::make_unique<TMainWindowCore>(
        View, [this] { return Drives; },
        [&prepared](const std::vector<std::string_view>& Texts) -> TTextOrder {
            ++prepared;
            return [&Texts](std::size_t A, std::size_t B) {
                return int(Texts[B].size()) - int(Texts[A].size());
            };
        });
    Core->ListDrives();
    Core->Scan(0);
    Core->SortBy(TResultColumn::Subject); // descending on a first click
    EXPECT_EQ(prepared, 1);
    EXPECT_EQ(Column(TResultColumn::Subject).front(), "fig");
    EXPECT_EQ(Column(TResultColumn::Subject).back().size(), 6u);
    Core->SortBy(TResultColumn::ItemNum); // by number, no texts
    EXPECT_EQ(prepared, 1);
}

TEST_F(CoreTest, PreviewIsTheBodyOfTheMessageNamedInItemNum) {
    TMainWindowCore& core = Scanned();
    core.ApplyFilter("invoice");
    core.SortBy(TResultColumn::Subject);
    ASSERT_EQ(core.Rows().size(), 4u);
    for (std::size_t r = 0; r < 4; ++r) {
        const std::string* body = core.PreviewOf(r);
        ASSERT_NE(body, nullptr);
        EXPECT_EQ(*body, "\r\n" + Stored[core.Rows()[r].Item].Body) << r;
    }
    EXPECT_EQ(core.PreviewOf(4), nullptr);
}

TEST_F(CoreTest, ExportWritesTickedRowsNamedByRowPosition) {
    TMainWindowCore& core = Scanned();
    const fs::path out = Dir.Path / "out";
    fs::create_directories(out);
    View.Folder = out.string();

    core.ApplyFilter("invoice");
    core.SortBy(TResultColumn::ItemNum); // ascending on the first click
    core.SortBy(TResultColumn::ItemNum);
    ASSERT_EQ(Items(), std::vector<std::size_t>({10, 7, 4, 1}));
    core.SetTicked(1, true);
    core.SetTicked(3, true);
    core.ExportTicked();
    EXPECT_EQ(View.Prompts, std::vector<std::string>({"Select Where To Save Recovered Emails"}));
    ASSERT_EQ(View.Boxes.size(), 1u);
    EXPECT_EQ(View.Boxes[0].Kind, TMessageKind::Information);
    EXPECT_EQ(View.Boxes[0].Title, "Information");
    EXPECT_EQ(View.Boxes[0].Text, "Emails Succesfully Exported To Folder");
    EXPECT_EQ(FileNames(out),
              std::vector<std::string>({"RecoveredEmail1.eml", "RecoveredEmail3.eml"}));
    EXPECT_EQ(ReadAll(out / "RecoveredEmail1.eml"), core.Emails()[7].FullText);
    EXPECT_EQ(ReadAll(out / "RecoveredEmail3.eml"), MessageText(Stored[1]));
    // The export changes nothing in the window.
    EXPECT_TRUE(core.Rows()[1].Checked);
    EXPECT_TRUE(core.FilterActive());

    // Nothing ticked: said before any folder is asked for, nothing written, no claim of files.
    fs::remove_all(out);
    fs::create_directories(out);
    core.SetAllTicked(false);
    View.Boxes.clear();
    View.Prompts.clear();
    core.ExportTicked();
    EXPECT_TRUE(FileNames(out).empty());
    EXPECT_TRUE(View.Prompts.empty());
    ASSERT_EQ(View.Boxes.size(), 1u);
    EXPECT_EQ(View.Boxes[0].Title, "Information");
    EXPECT_EQ(View.Boxes[0].Text.rfind("No emails selected", 0), 0u) << View.Boxes[0].Text;
    EXPECT_EQ(View.Boxes[0].Text.find("Succesfully"), std::string::npos);
    // Cancelled: no box.
    core.SetTicked(0, true);
    View.Folder.clear();
    View.Boxes.clear();
    core.ExportTicked();
    EXPECT_TRUE(View.Boxes.empty());
}

TEST_F(CoreTest, ExportIntoUnwritableFolderSaysSoAndWritesNothing) {
    TMainWindowCore& core = Scanned();
    core.SetAllTicked(true);
    // A folder "under" a regular file cannot take files, not even for root.
    const fs::path file = Dir.Path / "plain-file";
    std::ofstream(file) << "x";
    for (const fs::path& folder : {file / "sub", fs::path("/proc/self/parcelwright-out")}) {
        View.Boxes.clear();
        View.Folder = folder.string();
        core.ExportTicked();
        ASSERT_EQ(View.Boxes.size(), 1u);
        EXPECT_EQ(View.Boxes[0].Kind, TMessageKind::Error);
        EXPECT_EQ(View.Boxes[0].Title, "Error");
        // The box keeps its words and adds the folder and the reason the system gave.
        const std::string& text = View.Boxes[0].Text;
        EXPECT_EQ(text.rfind("Cannot Write To Output Folder ,Please Select A Writeable Folder\n\n" +
                                 folder.string() + ": ",
                             0),
                  0u)
            << text;
        EXPECT_GT(text.size(), text.find(": ") + 4) << "no reason given: " << text;
    }
    EXPECT_EQ(FileNames(Dir.Path), std::vector<std::string>({"plain-file", "twelve.img"}));

    // A user's own check.DAT is never touched by the probe.
    const fs::path out = Dir.Path / "out";
    fs::create_directories(out);
    std::ofstream(out / "check.DAT") << "keep me";
    View.Folder = out.string();
    core.ExportTicked();
    EXPECT_EQ(ReadAll(out / "check.DAT"), "keep me");
    EXPECT_EQ(FileNames(out).size(), 13u);
}

TEST_F(CoreTest, ExportFailureIsReportedNeverClaimedAsSuccess) {
    TMainWindowCore& core = Scanned();
    const fs::path out = Dir.Path / "out";
    fs::create_directories(out / "RecoveredEmail2.eml" / "occupied");
    View.Folder = out.string();
    core.SetAllTicked(true);
    core.ExportTicked();
    ASSERT_EQ(View.Boxes.size(), 1u);
    EXPECT_EQ(View.Boxes[0].Title, "Error");
    EXPECT_NE(View.Boxes[0].Text.find("1 of 12"), std::string::npos) << View.Boxes[0].Text;
    EXPECT_NE(View.Boxes[0].Text.find("RecoveredEmail2.eml"), std::string::npos);
    EXPECT_TRUE(fs::is_regular_file(out / "RecoveredEmail11.eml"));
}

TEST_F(CoreTest, ExportIntoAFolderOfAnEarlierExportAsksBeforeReplacing) {
    TMainWindowCore& core = Scanned();
    const fs::path out = Dir.Path / "out";
    fs::create_directories(out);
    View.Folder = out.string();
    core.SetTicked(0, true);
    core.ExportTicked(); // a fresh folder: nothing to ask
    EXPECT_TRUE(View.Questions.empty());
    const std::string earlier = ReadAll(out / "RecoveredEmail0.eml");
    ASSERT_EQ(earlier, MessageText(Stored[0]));
    core.SetAllTicked(false);

    // Sorted, row 0 holds another message: its file would take the earlier one's name.
    core.SortBy(TResultColumn::ItemNum);
    core.SortBy(TResultColumn::ItemNum);
    core.SetTicked(0, true);
    core.SetTicked(5, true);
    View.Boxes.clear();
    core.ExportTicked();
    ASSERT_EQ(View.Questions.size(), 1u);
    EXPECT_EQ(View.Questions[0].Title, "Replace Files?");
    EXPECT_EQ(View.Questions[0].Text, "1 of the 2 files to export exists already in " +
                                          out.string() +
                                          " (RecoveredEmail0.eml). Replace it?\n\n"
                                          "No exports nothing.");
    // No: nothing written, the earlier file untouched, nothing claimed.
    EXPECT_EQ(FileNames(out), std::vector<std::string>({"RecoveredEmail0.eml"}));
    EXPECT_EQ(ReadAll(out / "RecoveredEmail0.eml"), earlier);
    EXPECT_TRUE(View.Boxes.empty());

    // Yes: replaced, and the rest written.
    View.Answer = true;
    core.ExportTicked();
    ASSERT_EQ(View.Questions.size(), 2u);
    ASSERT_EQ(View.Boxes.size(), 1u);
    EXPECT_EQ(View.Boxes[0].Text, "Emails Succesfully Exported To Folder");
    EXPECT_EQ(ReadAll(out / "RecoveredEmail0.eml"), MessageText(Stored[11]));
    EXPECT_EQ(ReadAll(out / "RecoveredEmail5.eml"), MessageText(Stored[6]));

    // Many: a few named, the count in full.
    core.SetAllTicked(true);
    core.ExportTicked();
    ASSERT_EQ(View.Questions.size(), 3u);
    EXPECT_EQ(View.Questions[2].Text.rfind("2 of the 12 files to export exist already in ", 0), 0u)
        << View.Questions[2].Text;
    core.ExportTicked();
    ASSERT_EQ(View.Questions.size(), 4u);
    EXPECT_NE(View.Questions[3].Text.find(" (RecoveredEmail0.eml, RecoveredEmail1.eml, "
                                          "RecoveredEmail2.eml, \u2026). Replace them?"),
              std::string::npos)
        << View.Questions[3].Text;
}

TEST_F(CoreTest, PreviewIsForgottenWhenARefillDropsItsMessage) {
    TMainWindowCore& core = Scanned();
    // What the view finds when it is told the rows changed.
    std::vector<std::optional<std::size_t>> seen;
    View.OnRowsChanged = [&] { seen.push_back(core.PreviewRow()); };
    core.SetPreviewRow(4);       // item 4
    core.ApplyFilter("invoice"); // keeps item 4, now at row 1
    core.ClearFilter();
    core.SetPreviewRow(4);
    core.ApplyFilter("number 1"); // drops it
    core.ClearFilter();           // back in the list, but the preview was emptied
    core.SetPreviewRow(4);
    core.Scan(0);           // a new list, whatever it holds
    core.SetPreviewRow(99); // no such row
    EXPECT_EQ(seen, (std::vector<std::optional<std::size_t>>{1, 4, std::nullopt, std::nullopt,
                                                             std::nullopt}));
    EXPECT_EQ(core.PreviewRow(), std::nullopt);
}

TEST_F(CoreTest, OpenDiskImageAddsAndSelectsItOnce) {
    Drives = {(Dir.Path / "none.img").string()};
    TMainWindowCore& core = Open();
    View.Image = Image;
    core.OpenImage();
    EXPECT_EQ(core.Drives(), TDriveArray({Drives[0], Image}));
    EXPECT_EQ(View.Selected_, 1);
    View.Selected_ = 0;
    core.OpenImage();
    EXPECT_EQ(core.Drives().size(), 2u);
    EXPECT_EQ(View.Selected_, 1);
    core.Scan(1);
    EXPECT_EQ(core.Rows().size(), 12u);
    // Cancelled: nothing changes.
    View.Image.clear();
    View.Selected_ = -2;
    core.OpenImage();
    EXPECT_EQ(core.Drives().size(), 2u);
    EXPECT_EQ(View.Selected_, -2);
    EXPECT_TRUE(View.Boxes.empty());

    // A relative path is taken from the working folder, and named in full.
    const fs::path before = fs::current_path();
    fs::current_path(Dir.Path);
    View.Image = "./twelve.img";
    core.OpenImage();
    fs::current_path(before);
    EXPECT_EQ(core.Drives().size(), 2u);
    EXPECT_EQ(View.Selected_, 1);
}

TEST_F(CoreTest, OpenDiskImageRefusesBadInputWithOneErrorAndLosesNothing) {
    TMainWindowCore& core = Scanned();
    ASSERT_EQ(core.Rows().size(), 12u);
    const fs::path empty = Dir.Path / "empty.img", shortFile = Dir.Path / "short.img",
                   fifo = Dir.Path / "pipe";
    std::ofstream(empty, std::ios::binary).flush();
    std::ofstream(shortFile, std::ios::binary) << std::string(511, 'x');
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink(Dir.Path / "loop-b", Dir.Path / "loop-a");
    fs::create_symlink(Dir.Path / "loop-a", Dir.Path / "loop-b");
    // A missing path, a folder, an empty file, less than one sector, a pipe (must not wait for a
    // writer), a device that is not a drive, a path that cannot be opened.
    for (const fs::path& bad : {Dir.Path / "missing.img", Dir.Path, empty, shortFile, fifo,
                                fs::path("/dev/zero"), Dir.Path / "loop-a"}) {
        SCOPED_TRACE(bad.string());
        View.Boxes.clear();
        View.Image = bad.string();
        core.OpenImage();
        ASSERT_EQ(View.Boxes.size(), 1u);
        EXPECT_EQ(View.Boxes[0].Title, "Error");
        EXPECT_EQ(View.Boxes[0].Kind, TMessageKind::Error);
        EXPECT_NE(View.Boxes[0].Text.find(fs::absolute(bad).lexically_normal().string()),
                  std::string::npos)
            << View.Boxes[0].Text;
        EXPECT_EQ(core.Drives(), Drives);
        EXPECT_EQ(core.Rows().size(), 12u); // the earlier results stay
    }
    core.Scan(0);
    EXPECT_EQ(core.Rows().size(), 12u);
}

TEST_F(CoreTest, HelpOpensTheShippedManualOrSaysWhyNot) {
    TMainWindowCore& core = Open();
    // Beside the program, or in the source tree's docs/ one folder up.
    fs::create_directories(Dir.Path / "bin");
    fs::create_directories(Dir.Path / "docs");
    std::ofstream(Dir.Path / "docs" / "manual.html") << "<html></html>";
    View.Program = (Dir.Path / "bin").string();
    core.OpenHelp();
    ASSERT_EQ(View.Opened.size(), 1u);
    EXPECT_EQ(fs::path(View.Opened[0]), fs::canonical(Dir.Path / "docs" / "manual.html"));
    EXPECT_TRUE(View.Boxes.empty());

    // A section: the anchor goes with the page.
    core.OpenHelp(TMainWindowCore::DeviceAccessAnchor);
    EXPECT_EQ(View.Anchors, std::vector<std::string>({"device-access"}));
    ASSERT_EQ(View.Opened.size(), 2u);
    View.Opened.pop_back();

    // No browser: it says so and names the file, so the user can open it by hand.
    View.CanOpen = false;
    core.OpenHelp();
    ASSERT_EQ(View.Boxes.size(), 1u);
    EXPECT_EQ(View.Boxes[0].Title, "Parcelwright");
    EXPECT_NE(View.Boxes[0].Text.find("No web browser"), std::string::npos);
    EXPECT_NE(View.Boxes[0].Text.find(fs::canonical(Dir.Path / "docs" / "manual.html").string()),
              std::string::npos)
        << View.Boxes[0].Text;

    fs::remove(Dir.Path / "docs" / "manual.html");
    core.OpenHelp();
    ASSERT_EQ(View.Boxes.size(), 2u);
    EXPECT_EQ(View.Boxes[1].Text, "The help page manual.html was not found next to the program.");
    EXPECT_EQ(View.Opened.size(), 2u);
}

TEST_F(CoreTest, TypedKeywordBecomesWindows1252BytesOrIsRefusedByName) {
    Stored[2].Body = "price 20 \x80 net\r\n"; // the euro sign in Windows-1252
    Stored[5].Body = "price 20 ? net\r\n";    // what a Latin-1 conversion would make of it
    Stored[8].Body = "\x93quoted\x94 and caf\xe9\r\n";
    Drives = {MakeImage(Dir.Path / "euro.img", Stored).string()};
    // 8-bit bodies are the deep rule's.
    TMainWindowCore& core = Open();
    core.SetRule(TCarvingRule::Deep);
    core.Scan(0);

    EXPECT_TRUE(core.ApplyTypedFilter("\u20ac"));
    EXPECT_EQ(Items(), std::vector<std::size_t>({2}));
    core.ClearFilter();
    EXPECT_TRUE(core.ApplyTypedFilter("\u201cQUOTED\u201d and CAF\u00c9"));
    EXPECT_EQ(Items(), std::vector<std::size_t>({8}));
    core.ClearFilter();
    EXPECT_TRUE(View.Boxes.empty());

    // No byte for it: a clear message naming the character, the filter stays off.
    for (const char* typed : {"\u0416ena", "\u4e2d", "20 \u20ac \U0001F600"}) {
        View.Boxes.clear();
        EXPECT_FALSE(core.ApplyTypedFilter(typed)) << typed;
        EXPECT_FALSE(core.FilterActive());
        EXPECT_EQ(Items(), All12);
        ASSERT_EQ(View.Boxes.size(), 1u);
        EXPECT_EQ(View.Boxes[0].Kind, TMessageKind::Error);
        EXPECT_NE(View.Boxes[0].Text.find("Windows-1252"), std::string::npos);
    }
    EXPECT_NE(View.Boxes[0].Text.find("\U0001F600"), std::string::npos) << View.Boxes[0].Text;
    EXPECT_NE(View.Boxes[0].Text.find("U+1F600"), std::string::npos) << View.Boxes[0].Text;
    View.Boxes.clear();
    EXPECT_FALSE(core.ApplyTypedFilter(""));
    EXPECT_TRUE(View.Boxes.empty());
}

TEST_F(CoreTest, BytesAreShownAsTheirWindows1252Characters) {
    Stored[0].Subject = "\x93Offer\x94 \x80 100 \x96 caf\xe9";
    Stored[0].Body = "\x85 \x99 \x9c\r\n";
    Drives = {MakeImage(Dir.Path / "cp.img", Stored).string()};
    TMainWindowCore& core = Open();
    core.SetRule(TCarvingRule::Deep);
    core.Scan(0);
    EXPECT_EQ(core.CellShown(0, TResultColumn::Subject),
              " \u201cOffer\u201d \u20ac 100 \u2013 caf\u00e9");
    // The stored bytes themselves are never changed.
    EXPECT_EQ(core.CellText(0, TResultColumn::Subject), " " + Stored[0].Subject);
    EXPECT_EQ(core.CellShown(0, TResultColumn::ItemNum), "0");
    EXPECT_EQ(core.PreviewShown(0), "\r\n\u2026 \u2122 \u0153\r\n");
    EXPECT_EQ(core.PreviewShown(12), "");
}

TEST_F(CoreTest, StatusCountsFoundShownAndTicked) {
    TMainWindowCore& core = Open();
    EXPECT_EQ(core.StatusText(), "");
    core.Scan(0);
    EXPECT_EQ(core.StatusText(), "12 messages found \u00b7 12 shown \u00b7 0 ticked");
    const int before = View.Counts;
    core.SetTicked(3, true);
    core.SetTicked(3, true); // no double count
    core.SetTicked(5, true);
    EXPECT_EQ(core.TickedCount(), 2u);
    EXPECT_GT(View.Counts, before);
    core.ApplyFilter("invoice");
    EXPECT_EQ(core.StatusText(),
              "12 messages found \u00b7 4 shown with the keyword \u201cinvoice\u201d "
              "\u00b7 0 ticked");
    core.SetAllTicked(true);
    core.SetTicked(0, false);
    core.SortBy(TResultColumn::Subject); // a sort keeps the ticks
    EXPECT_EQ(core.TickedCount(), 3u);
    EXPECT_NE(core.StatusText().find("3 ticked"), std::string::npos);
    core.ClearFilter();
    EXPECT_EQ(core.TickedCount(), 0u);
    EXPECT_FALSE(core.ScanCancelled());
}

// The progress figures, with the engine's calls played by hand on a clock of the test's own.
TEST(ScanMonitor, CountsBytesAndMessagesAndWorksOutRateAndTimeLeft) {
    TRecordingView view;
    using namespace std::chrono;
    steady_clock::time_point now{};
    bool cancel = false;
    TScanMonitor monitor(view, 512, 1000 * 1024 * 1024ull, cancel, [&] { return now; });
    monitor.ProgressOpen(2048000);
    EXPECT_EQ(view.Pumps, 1); // on screen at once
    ASSERT_EQ(view.Shown.size(), 1u);
    EXPECT_EQ(view.Shown[0].BytesDone, 0u);
    EXPECT_EQ(view.Shown[0].CountsText(), "0 messages found");
    EXPECT_EQ(view.Shown[0].BytesText(), "0 B of 1000.0 MiB (0%)");

    // Sector steps count as bytes; byte offsets move further inside a long run.
    now += milliseconds(500);
    monitor.ProgressPosition(2000);
    EXPECT_EQ(view.Shown.back().BytesDone, 2000u * 512);
    EXPECT_EQ(view.Positions, std::vector<std::uint64_t>{2000});
    // Keep-alive pumps the view's events, paced: a progress step has the clock read at once.
    monitor.KeepAlive(1);
    monitor.KeepAlive(1);
    EXPECT_EQ(view.Pumps, 2);
    for (int i = 0; i < 3; ++i)
        monitor.MessageFound();
    now += milliseconds(1500);
    for (std::uint64_t b = 0; b <= 8192; ++b)
        monitor.ProgressBytes(100 * 1024 * 1024 + b);
    const TScanProgress& p = view.Shown.back();
    EXPECT_EQ(p.Found, 3u);
    // The clock is read once per 4096 byte calls.
    EXPECT_EQ(p.BytesDone, 100u * 1024 * 1024 + 4095);
    EXPECT_DOUBLE_EQ(p.Seconds, 2.0);
    EXPECT_NEAR(p.Rate(), 50.0 * 1024 * 1024, 4096);
    EXPECT_NEAR(p.SecondsLeft(), 18.0, 0.01);
    EXPECT_NEAR(p.Fraction(), 0.1, 0.001);
    EXPECT_EQ(p.CountsText(), "3 messages found \u00b7 50.0 MiB/s \u00b7 0:18 left");
    EXPECT_EQ(p.BytesText(), "100.0 MiB of 1000.0 MiB (10%)");

    // Not more often than a few times a second, however often the engine calls.
    const std::size_t shows = view.Shown.size();
    for (int i = 0; i < 100000; ++i)
        monitor.ProgressBytes(200 * 1024 * 1024);
    monitor.ProgressPosition(300000);
    EXPECT_EQ(view.Shown.size(), shows);
    now += milliseconds(250);
    monitor.ProgressPosition(400000);
    EXPECT_EQ(view.Shown.size(), shows + 1);

    // Cancel: answered only once asked for; the engine's asking is what stops the scan.
    EXPECT_FALSE(monitor.CancelRequested());
    EXPECT_FALSE(monitor.Stopped());
    cancel = true;
    monitor.ShowNow();
    EXPECT_TRUE(view.Shown.back().Cancelling);
    EXPECT_EQ(view.Shown.back().CountsText(), "3 messages found \u00b7 stopping\u2026");
    EXPECT_TRUE(monitor.CancelRequested());
    EXPECT_TRUE(monitor.Stopped());

    // Closed: the view's window is not reached again.
    monitor.ProgressClose();
    EXPECT_EQ(view.Closes, 1);
    const std::size_t closedAt = view.Shown.size();
    monitor.ShowNow();
    monitor.ProgressPosition(500000);
    EXPECT_EQ(view.Shown.size(), closedAt);
    EXPECT_EQ(view.Positions.size(), 3u);
}

TEST(ScanProgress, TellsNoRateBeforeHalfASecondAndNoTimeLeftWithoutARate) {
    TScanProgress p;
    p.BytesTotal = 3ull << 40;
    p.BytesDone = 1ull << 40;
    p.Seconds = 0.4;
    EXPECT_EQ(p.Rate(), 0);
    EXPECT_LT(p.SecondsLeft(), 0);
    EXPECT_EQ(p.BytesText(), "1.0 TiB of 3.0 TiB (33%)");
    p.Found = 1;
    p.Seconds = 4096;
    EXPECT_EQ(p.CountsText(), "1 message found \u00b7 256.0 MiB/s \u00b7 2:16:32 left");
    p.BytesDone = p.BytesTotal + 5; // the last window reaches past the end
    EXPECT_EQ(p.Fraction(), 1.0);
    EXPECT_EQ(p.SecondsLeft(), 0);
    TScanProgress empty;
    EXPECT_EQ(empty.Fraction(), 0);
}

// Needs the scan driver to ask CancelRequested (and to tell byte offsets): fails until it does.
TEST_F(CoreTest, CancelStopsTheScanAndKeepsWhatWasFound) {
    TMainWindowCore& core = Open();
    core.Scan(0);
    ASSERT_EQ(core.Emails().size(), 12u);
    View.OnProgressOpen = [&] { core.RequestCancel(); };
    core.Scan(0);
    EXPECT_TRUE(core.ScanCancelled());
    EXPECT_LT(core.Emails().size(), 12u);
    EXPECT_EQ(core.Rows().size(), core.Emails().size());
    EXPECT_EQ(core.StatusText().rfind("Scan cancelled: ", 0), 0u) << core.StatusText();
    EXPECT_FALSE(core.Scanning());
    EXPECT_EQ(View.Opens, View.Closes);
    EXPECT_EQ(View.BusyCalls.back(), false);

    // The next scan starts afresh and runs to the end.
    View.OnProgressOpen = nullptr;
    core.Scan(0);
    EXPECT_FALSE(core.ScanCancelled());
    EXPECT_EQ(core.Emails().size(), 12u);
    // Outside a scan a cancel request is nothing.
    core.RequestCancel();
    core.Scan(0);
    EXPECT_EQ(core.Emails().size(), 12u);
}

// Closing the window during a scan: the scan stops keeping what it found, the window stays until
// it has ended, then closes, once.
TEST_F(CoreTest, CloseDuringAScanCancelsItAndClosesOnceItHasEnded) {
    TMainWindowCore& core = Open();
    EXPECT_TRUE(core.MayClose());
    EXPECT_FALSE(core.CloseAfterScan());
    bool mayClose = true;
    View.OnProgressOpen = [&] { mayClose = core.MayClose(); };
    core.Scan(0);
    EXPECT_FALSE(mayClose);
    EXPECT_TRUE(core.ScanCancelled());
    EXPECT_FALSE(core.Scanning());
    EXPECT_TRUE(core.CloseAfterScan());
    EXPECT_FALSE(core.CloseAfterScan());
    EXPECT_TRUE(core.MayClose());
}

TEST(KeepAlivePacer, PumpsAtMostOncePerIntervalAndReadsTheClockRarely) {
    using namespace std::chrono;
    steady_clock::time_point now{};
    int pumps = 0, reads = 0;
    TKeepAlivePacer pacer([&] { ++pumps; },
                          [&] {
                              ++reads;
                              return now;
                          });
    now += hours(1);
    pacer.KeepAlive(1); // the first call checks the clock and pumps
    EXPECT_EQ(pumps, 1);

    // A million calls within one interval: no pump, and the clock read once per 256 calls.
    for (int i = 0; i < 1'000'000; ++i)
        pacer.KeepAlive(1);
    EXPECT_EQ(pumps, 1);
    EXPECT_LE(reads, 1 + 1'000'000 / 256 + 1);
    // Time passes: the next clock check pumps, once.
    now += milliseconds(30);
    for (int i = 0; i < 256; ++i)
        pacer.KeepAlive(1);
    EXPECT_EQ(pumps, 2);
    // Large counts (a text run measured at once) and progress steps check the clock at once.
    now += milliseconds(31);
    pacer.KeepAlive(100000);
    EXPECT_EQ(pumps, 3);
    now += milliseconds(31);
    pacer.CheckSoon();
    pacer.KeepAlive(1);
    EXPECT_EQ(pumps, 4);
    // A pump made elsewhere starts the interval again.
    now += milliseconds(31);
    pacer.Pumped();
    pacer.CheckSoon();
    pacer.KeepAlive(1);
    EXPECT_EQ(pumps, 4);
}

// Reading what was found: modern mail (MimeSample) decoded as rows are shown.
class ReadTest : public CoreTest {
  protected:
    ReadTest() { Drives = {MakeImageOf(Dir.Path / "mime.img", MimeSample()).string()}; }
    // The core's workers wait for the gate, if a test closed it; they must pass it before the
    // core goes.
    ~ReadTest() override { Gate->Open(); }
    void SetUp() override {
        if (!CanDecodeMail()) GTEST_SKIP() << "built without the mail module";
    }
    // The core with its background work (header index, text search) held at the gate.
    TMainWindowCore& Held() {
        Open().SetWorkGate([gate = Gate] { gate->Wait(); });
        return *Core;
    }
    std::shared_ptr<TWorkGate> Gate = std::make_shared<TWorkGate>();
    std::size_t RowOf(std::size_t Item) const {
        for (std::size_t r = 0; r < Core->Rows().size(); ++r)
            if (Core->Rows()[r].Item == Item) return r;
        ADD_FAILURE() << "item " << Item << " not listed";
        return 0;
    }
    std::vector<std::string> Dates() const {
        std::vector<std::string> dates;
        for (std::size_t r = 0; r < Core->Rows().size(); ++r)
            dates.push_back(Core->CellView(r, TResultColumn::Date));
        return dates;
    }
};

TEST_F(ReadTest, ListAndPreviewAreDecodedOnlyAsRowsAreShownAndTheSourceViewShowsTheStoredText) {
    // The header index that would serve the list is held back: the rows shown are decoded on
    // their own until it is there.
    TMainWindowCore& core = Held();
    core.Scan(0);
    ASSERT_EQ(core.Emails().size(), 4u);
    EXPECT_EQ(core.DecodedCount(), 0u); // the scan decodes nothing
    EXPECT_EQ(core.HeadersDecodedCount(), 0u);
    const std::size_t r = RowOf(0);
    // The list decodes the header lines of the rows it shows, the preview the whole message.
    EXPECT_EQ(core.CellView(r, TResultColumn::Subject), "Gr\u00fc\u00dfe aus K\u00f6ln");
    EXPECT_EQ(core.HeadersDecodedCount(), 1u);
    EXPECT_EQ(core.DecodedCount(), 0u);
    EXPECT_NE(core.CellView(r, TResultColumn::From).find("J\u00fcrgen"), std::string::npos);
    EXPECT_EQ(core.CellView(r, TResultColumn::To), "Bob <bob@example.org>");
    EXPECT_EQ(core.CellView(r, TResultColumn::Date), "2022-03-01 09:00:00 UTC");
    EXPECT_EQ(core.CellView(r, TResultColumn::ItemNum), "0");
    EXPECT_EQ(core.PreviewView(r), "Sch\u00f6ne Gr\u00fc\u00dfe aus K\u00f6ln");
    EXPECT_EQ(core.DecodedCount(), 1u);
    EXPECT_EQ(core.CellView(RowOf(1), TResultColumn::Date), "sometime last week");
    EXPECT_EQ(core.HeadersDecodedCount(), 2u);
    EXPECT_EQ(core.DecodedCount(), 1u);

    // HTML is read as text; the remote picture is neither shown nor fetched.
    const std::string html = core.PreviewView(RowOf(3));
    EXPECT_NE(html.find("Hi there"), std::string::npos) << html;
    EXPECT_EQ(html.find('<'), std::string::npos) << html;

    // Message Source: exactly the stored text, as before decoding existed.
    core.SetSourceView(true);
    EXPECT_TRUE(core.SourceView());
    for (std::size_t row = 0; row < core.Rows().size(); ++row) {
        for (const auto c : {TResultColumn::Date, TResultColumn::From, TResultColumn::Subject})
            EXPECT_EQ(core.CellView(row, c), core.CellShown(row, c));
        EXPECT_EQ(core.PreviewView(row),
                  Utf8From1252(core.Emails().FullText(core.Rows()[row].Item)));
    }
    EXPECT_NE(core.PreviewView(r).find("Sch=C3=B6ne"), std::string::npos);
    EXPECT_EQ(core.CellView(r, TResultColumn::Subject), " =?UTF-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?=");
    core.SetSourceView(false);
    EXPECT_EQ(core.CellView(r, TResultColumn::Subject), "Gr\u00fc\u00dfe aus K\u00f6ln");
}

TEST_F(ReadTest, DecodedDatesSortByTimeWithTextDatesAfterTheRealOnesEitherWay) {
    TMainWindowCore& core = Scanned();
    core.SortBy(TResultColumn::Date); // Item Num was descending; Date keeps the direction
    EXPECT_FALSE(core.SortAscending());
    EXPECT_EQ(Dates(),
              (std::vector<std::string>{"2022-03-01 09:00:00 UTC", "2022-03-01 09:00:00 UTC",
                                        "2022-01-10 08:00:00 UTC", "sometime last week"}));
    core.SortBy(TResultColumn::Date);
    EXPECT_EQ(Dates(),
              (std::vector<std::string>{"2022-01-10 08:00:00 UTC", "2022-03-01 09:00:00 UTC",
                                        "2022-03-01 09:00:00 UTC", "sometime last week"}));
    // Decoded subjects sort as read, not as stored ("=?UTF-8?..." would come first).
    core.SortBy(TResultColumn::Subject);
    std::vector<std::string> subjects;
    for (std::size_t r = 0; r < core.Rows().size(); ++r)
        subjects.push_back(core.CellView(r, TResultColumn::Subject));
    EXPECT_EQ(subjects,
              (std::vector<std::string>{"Gr\u00fc\u00dfe aus K\u00f6ln",
                                        "Gr\u00fc\u00dfe aus K\u00f6ln", "Notes", "Offer"}));
}

// Esc in the progress window while a sort waits for the header index, or while the text search
// runs: the rows, their ticks, the sort's column and direction and the filter stay as they were,
// and the window is given back. A close meanwhile cancels too and closes afterwards.
TEST_F(ReadTest, CancelWhileASortOrTheTextSearchRunsLeavesTheListAsItWas) {
    TMainWindowCore& core = Held();
    core.Scan(0);
    core.SetTicked(1, true);
    const std::vector<std::size_t> before = Items();
    const int scanOpens = View.Opens; // the scan's own
    const auto same = [&](const char* What) {
        EXPECT_EQ(Items(), before) << What;
        EXPECT_TRUE(core.Rows()[1].Checked) << What;
        EXPECT_EQ(core.SortColumn(), TResultColumn::ItemNum) << What;
        EXPECT_FALSE(core.SortAscending()) << What;
        EXPECT_FALSE(core.FilterActive()) << What;
        EXPECT_FALSE(core.Working()) << What;
        EXPECT_EQ(View.Opens, View.Closes) << What;
        EXPECT_EQ(View.BusyCalls.back(), false) << What;
        ASSERT_FALSE(View.Shown.empty()) << What;
        EXPECT_TRUE(View.Shown.back().Cancelling) << What;
        EXPECT_EQ(View.Shown.back().CaptionText(), "Stopping ......") << What;
    };
    View.OnProgressOpen = [&] { core.RequestCancel(); };
    core.SortBy(TResultColumn::Subject);
    same("sort");
    EXPECT_EQ(View.Opens, scanOpens + 1);

    bool mayClose = true;
    View.OnProgressOpen = [&] { mayClose = core.MayClose(); };
    core.SortBy(TResultColumn::Subject);
    EXPECT_FALSE(mayClose);
    same("close");
    EXPECT_EQ(View.Opens, scanOpens + 2);
    EXPECT_TRUE(core.CloseAfterScan());
    EXPECT_TRUE(core.MayClose());

    // The search's workers are let through once it is cancelled: what they find is dropped.
    View.OnProgressOpen = [&] {
        core.RequestCancel();
        Gate->Open();
    };
    EXPECT_FALSE(core.ApplyTextFilter("k\u00f6ln"));
    same("text search");
    EXPECT_EQ(View.Opens, scanOpens + 3);
    EXPECT_NE(View.Shown.back().BytesText().find(" of 4 messages ("), std::string::npos)
        << View.Shown.back().BytesText();

    // Let through, the same commands do their work.
    View.OnProgressOpen = nullptr;
    core.SortBy(TResultColumn::Subject);
    EXPECT_EQ(core.SortColumn(), TResultColumn::Subject);
    EXPECT_EQ(core.CellView(0, TResultColumn::Subject), "Offer");
    EXPECT_TRUE(core.ApplyTextFilter("k\u00f6ln"));
    EXPECT_EQ(core.Rows().size(), 2u);
}

TEST_F(ReadTest, DetailsNameHeadersPlaceRuleCopyAndAttachments) {
    TMainWindowCore& core = Scanned();
    ASSERT_EQ(core.Places().size(), 4u);
    const std::string first = core.DetailsText(RowOf(0));
    EXPECT_NE(first.find("Subject: Gr\u00fc\u00dfe aus K\u00f6ln\n"), std::string::npos) << first;
    EXPECT_NE(first.find("Date: 2022-03-01 09:00:00 UTC (Tue, 1 Mar 2022 10:00:00 +0100)\n"),
              std::string::npos)
        << first;
    EXPECT_NE(first.find("Found at byte 1024 (0x400) by the standard rule\n"), std::string::npos)
        << first;
    EXPECT_NE(first.find("Attachments: hello.txt (text/plain, 19 bytes)\n"), std::string::npos)
        << first;
    EXPECT_NE(first.find("From: J\u00fcrgen <j@example.de>   To: Bob <bob@example.org>\n"),
              std::string::npos)
        << first;
    EXPECT_EQ(first.find("copy of item"), std::string::npos);

    const std::string copy = core.DetailsText(RowOf(2));
    EXPECT_NE(copy.find("Found at byte 5120 (0x1400)"), std::string::npos) << copy;
    EXPECT_NE(copy.find(" by the standard rule \u00b7 copy of item 0 "), std::string::npos) << copy;
    EXPECT_EQ(core.CopyOf(2), std::optional<std::size_t>(0));
    EXPECT_EQ(core.CopyOf(0), std::nullopt);
    EXPECT_NE(core.DetailsText(RowOf(1)).find("No attachments"), std::string::npos);
    EXPECT_EQ(core.DetailsText(4), "");

    // A list that came without places says nothing of them.
    core.ShowResults(core.Emails().ToArray());
    EXPECT_EQ(core.DetailsText(0).find("Found at"), std::string::npos);
    EXPECT_NE(core.DetailsText(0).find("Subject: "), std::string::npos);
}

TEST_F(ReadTest, HideCopiesKeepsTheFirstOfEachAndNothingIsHiddenByDefault) {
    TMainWindowCore& core = Scanned();
    EXPECT_FALSE(core.HideCopies());
    EXPECT_EQ(core.Rows().size(), 4u);
    core.SetTicked(0, true);
    core.SetHideCopies(true);
    EXPECT_EQ(Items(), (std::vector<std::size_t>{0, 1, 3}));
    EXPECT_EQ(core.TickedCount(), 0u); // rows refilled
    EXPECT_NE(core.StatusText().find("3 shown, copies hidden"), std::string::npos)
        << core.StatusText();
    // Together with the keyword filter (bodies): the copies of what it keeps are still hidden.
    core.ApplyFilter("Content-Type");
    EXPECT_EQ(Items(), (std::vector<std::size_t>{0}));
    core.SetHideCopies(false);
    EXPECT_EQ(Items(), (std::vector<std::size_t>{0, 2}));
}

TEST_F(ReadTest, TextFilterSearchesDecodedWordsIgnoringCaseWhileTheKeywordStaysBytes) {
    TMainWindowCore& core = Scanned();
    // The stored bytes hold "K=C3=B6ln": the byte keyword does not find the decoded word.
    EXPECT_TRUE(core.ApplyTypedFilter("K\u00f6ln"));
    EXPECT_EQ(core.FilterMode(), TFilterMode::Bytes);
    EXPECT_TRUE(core.Rows().empty());
    core.ClearFilter();

    EXPECT_TRUE(core.ApplyTextFilter("K\u00d6LN")); // upper case, not ASCII
    EXPECT_EQ(core.FilterMode(), TFilterMode::Text);
    EXPECT_EQ(Items(), (std::vector<std::size_t>{0, 2}));
    EXPECT_NE(core.StatusText().find("with the text \u201cK\u00d6LN\u201d"), std::string::npos);
    // A new scan is searched by the same words.
    core.Scan(0);
    EXPECT_EQ(Items(), (std::vector<std::size_t>{0, 2}));
    EXPECT_TRUE(core.FilterActive());
    core.ClearFilter();
    EXPECT_TRUE(core.ApplyTextFilter("THERE")); // in the HTML's text
    EXPECT_EQ(Items(), (std::vector<std::size_t>{3}));
    core.ClearFilter();
    EXPECT_TRUE(core.ApplyTextFilter("tracker.example.com")); // not in the text read
    EXPECT_TRUE(core.Rows().empty());
    // Searching keeps no decoded message: a disk of mail would not fit in memory decoded.
    EXPECT_EQ(core.DecodedCount(), 0u);
    EXPECT_FALSE(core.ApplyTextFilter(""));
    // The byte keyword is the mode again once it is applied.
    core.ClearFilter();
    EXPECT_TRUE(core.ApplyTypedFilter("Plain notes"));
    EXPECT_EQ(core.FilterMode(), TFilterMode::Bytes);
    EXPECT_EQ(Items(), (std::vector<std::size_t>{1}));
    EXPECT_TRUE(View.Boxes.empty());
}

TEST_F(ReadTest, MailboxExportWritesTheTickedRowsOrSaysWhyNot) {
    TMainWindowCore& core = Scanned();
    View.SaveAs = (Dir.Path / "out.mbox").string();
    core.ExportTickedMailbox(); // nothing ticked: said, no file asked for
    ASSERT_EQ(View.Boxes.size(), 1u);
    EXPECT_TRUE(View.SaveTitles.empty());
    EXPECT_FALSE(fs::exists(View.SaveAs));

    core.SetTicked(RowOf(1), true);
    core.SetTicked(RowOf(3), true);
    core.ExportTickedMailbox();
    ASSERT_EQ(View.SaveTitles.size(), 1u);
    EXPECT_EQ(View.SaveTitles[0], "Export Selected as Mailbox");
    EXPECT_EQ(View.Suggestions[0], "RecoveredEmails.mbox");
    ASSERT_EQ(View.Boxes.size(), 2u);
    EXPECT_EQ(View.Boxes[1].Kind, TMessageKind::Information);
    EXPECT_NE(View.Boxes[1].Text.find("2 emails exported"), std::string::npos);
    const std::string mbox = ReadAll(View.SaveAs);
    // List order, each after its own From line, nothing else changed; no temporary file left.
    const std::size_t html = mbox.find(core.Emails()[3].FullText);
    const std::size_t notes = mbox.find(core.Emails()[1].FullText);
    ASSERT_NE(html, std::string::npos);
    ASSERT_NE(notes, std::string::npos);
    EXPECT_LT(notes, html);
    EXPECT_EQ(mbox.rfind("From carol@example.net ", 0), 0u);
    EXPECT_NE(mbox.find("\nFrom dave@example.com "), std::string::npos);
    EXPECT_EQ(FileNames(Dir.Path),
              (std::vector<std::string>{"mime.img", "out.mbox", "twelve.img"}));
    // The save chooser asks before replacing a file; the core does not ask again.
    core.ExportTickedMailbox();
    EXPECT_EQ(ReadAll(View.SaveAs), mbox);
    EXPECT_TRUE(View.Questions.empty());
    View.Boxes.pop_back();

    // A folder that is not there: an error naming the file, never a success.
    View.SaveAs = (Dir.Path / "missing" / "out.mbox").string();
    core.ExportTickedMailbox();
    ASSERT_EQ(View.Boxes.size(), 3u);
    EXPECT_EQ(View.Boxes[2].Kind, TMessageKind::Error);
    EXPECT_NE(View.Boxes[2].Text.find(View.SaveAs), std::string::npos);
    // Cancelled: nothing said, nothing written.
    View.SaveAs.clear();
    core.ExportTickedMailbox();
    EXPECT_EQ(View.Boxes.size(), 3u);
}

TEST_F(ReadTest, SaveAttachmentWritesTheDecodedBytesOrSaysWhyNot) {
    TMainWindowCore& core = Scanned();
    const std::size_t r = RowOf(0);
    View.SaveAs = (Dir.Path / "saved.txt").string();
    core.SaveAttachment(r, 0);
    EXPECT_EQ(View.Suggestions, (std::vector<std::string>{"hello.txt"}));
    EXPECT_EQ(ReadAll(View.SaveAs), "Hello, attachment!\n");
    EXPECT_TRUE(View.Boxes.empty());
    // An existing file the user chose to replace is replaced whole.
    std::ofstream(View.SaveAs) << "an older and much longer file than the attachment";
    core.SaveAttachment(r, 0);
    EXPECT_EQ(ReadAll(View.SaveAs), "Hello, attachment!\n");

    View.SaveAs = (Dir.Path / "missing" / "saved.txt").string();
    core.SaveAttachment(r, 0);
    ASSERT_EQ(View.Boxes.size(), 1u);
    EXPECT_EQ(View.Boxes[0].Kind, TMessageKind::Error);
    EXPECT_NE(View.Boxes[0].Text.find(View.SaveAs), std::string::npos);

    // No such attachment: said, and no file asked for.
    const std::size_t asked = View.SaveTitles.size();
    core.SaveAttachment(RowOf(1), 0);
    core.SaveAttachment(r, 1);
    EXPECT_EQ(View.SaveTitles.size(), asked);
    EXPECT_EQ(View.Boxes.size(), 3u);
}

TEST_F(ReadTest, AttachmentNamesAreOfferedWithoutFoldersOrControlCharacters) {
    const std::string text =
        "From: a@example.com\r\nSubject: names\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"x\"\r\n\r\n--x\r\n"
        "Content-Type: text/plain\r\n\r\nsee attached\r\n--x\r\n"
        "Content-Type: application/octet-stream\r\n"
        "Content-Disposition: attachment; filename=\"../../.bashrc\"\r\n\r\nx\r\n--x\r\n"
        "Content-Type: application/octet-stream\r\n"
        "Content-Disposition: attachment; filename=\"..\"\r\n\r\ny\r\n--x--\r\n";
    TMainWindowCore& core = Open();
    core.ShowResults(TEmailArray{TEmail{"", "", "", "", text, ""}});
    ASSERT_EQ(core.DecodedOf(0)->Attachments.size(), 2u);
    View.SaveAs.clear(); // cancelled: nothing written
    core.SaveAttachment(0, 0);
    core.SaveAttachment(0, 1);
    EXPECT_EQ(View.Suggestions, (std::vector<std::string>{".._.._.bashrc", "attachment2"}));
    EXPECT_TRUE(View.Boxes.empty());
}

TEST_F(ReadTest, TheListReadsTheHeaderLinesUpToTheFirstEmptyLineOfEitherLineEnd) {
    TMainWindowCore& core = Open();
    core.ShowResults(TEmailArray{
        TEmail{"", "", "", "",
               "Subject: =?UTF-8?Q?Caf=C3=A9?=\nFrom: a@example.com\n\nSubject: body\r\n\r\n", ""},
        TEmail{"", "", "", "", "Subject: Tea\r\n\r\nSubject: body\n\nSubject: later\n", ""},
        TEmail{"", "", "", "", "Subject: Cut short", ""}});
    EXPECT_EQ(core.CellView(0, TResultColumn::Subject), "Caf\u00e9");
    EXPECT_EQ(core.CellView(0, TResultColumn::From), "a@example.com");
    EXPECT_EQ(core.CellView(1, TResultColumn::Subject), "Tea");
    EXPECT_EQ(core.CellView(2, TResultColumn::Subject), "Cut short");
    EXPECT_EQ(core.DecodedCount(), 0u);
    // The whole decode agrees with what the list showed.
    for (std::size_t r = 0; r < 3; ++r)
        EXPECT_EQ(core.DecodedOf(r)->Subject, core.CellView(r, TResultColumn::Subject)) << r;
}

TEST_F(ReadTest, DecodingFaultsAreMended) {
    Drives = {MakeImageOf(Dir.Path / "faults.img", DecodingSample()).string()};
    TMainWindowCore& core = Scanned();
    ASSERT_EQ(core.Rows().size(), 5u);
    // Times written to the minute keep their minute; a lone encoded name is decoded.
    EXPECT_EQ(core.CellView(RowOf(0), TResultColumn::Date), "2001-01-01 00:01:00 UTC");
    EXPECT_EQ(core.CellView(RowOf(1), TResultColumn::Date), "2001-01-01 00:01:00 UTC");
    EXPECT_EQ(core.CellView(RowOf(1), TResultColumn::From), "\u041f\u0440\u0438\u0432\u0435\u0442");
    EXPECT_EQ(core.CellView(RowOf(1), TResultColumn::Subject),
              "\u041f\u0440\u0438\u0432\u0435\u0442, \u043c\u0438\u0440");
    // The tip tells the date as written; a date that is no date is told whole.
    EXPECT_EQ(core.CellTip(RowOf(1), TResultColumn::Date),
              "2001-01-01 00:01:00 UTC \u2014 written \u201c01 Jan 2001 00:01 +0000\u201d");
    const std::string long_date =
        "sometime in the long hot summer of the year two thousand and one";
    EXPECT_EQ(core.CellView(RowOf(2), TResultColumn::Date), long_date);
    EXPECT_EQ(core.CellTip(RowOf(2), TResultColumn::Date), long_date);
    EXPECT_EQ(core.CellTip(RowOf(2), TResultColumn::Subject),
              core.CellView(RowOf(2), TResultColumn::Subject));

    // The forwarded message: listed under its subject with its size, offered under a safe name,
    // saved whole as stored.
    const std::size_t r = RowOf(0);
    const std::string inner = ForwardedInner();
    EXPECT_NE(core.DetailsText(r).find("Attachments: Re: plan/2001.eml (message/rfc822, " +
                                       std::to_string(inner.size()) + " bytes)\n"),
              std::string::npos)
        << core.DetailsText(r);
    View.SaveAs = (Dir.Path / "forwarded.eml").string();
    core.SaveAttachment(r, 0);
    EXPECT_EQ(View.Suggestions, (std::vector<std::string>{"Re_ plan_2001.eml"}));
    EXPECT_EQ(ReadAll(View.SaveAs), inner);
    EXPECT_TRUE(View.Boxes.empty());

    // The mailbox's "From " lines carry each message's own date, the time of writing where it
    // has none.
    core.SetAllTicked(true);
    View.SaveAs = (Dir.Path / "out.mbox").string();
    const auto before = std::chrono::system_clock::now();
    core.ExportTickedMailbox();
    const auto after = std::chrono::system_clock::now();
    const std::string mbox = ReadAll(View.SaveAs);
    EXPECT_NE(mbox.find("From ann@example.org Mon Jan  1 00:01:00 2001\n"), std::string::npos);
    EXPECT_NE(mbox.find("From MAILER-DAEMON Mon Jan  1 00:01:00 2001\n"), std::string::npos);
    EXPECT_TRUE(mbox.find("From carol@example.net " + MboxDate(before) + "\n") !=
                    std::string::npos ||
                mbox.find("From carol@example.net " + MboxDate(after) + "\n") != std::string::npos)
        << mbox;
}

TEST_F(ReadTest, MessageSourceShowsTheWholeStoredMessage) {
    TMainWindowCore& core = Scanned();
    core.SetSourceView(true);
    for (std::size_t row = 0; row < core.Rows().size(); ++row) {
        const std::string stored = core.Emails().FullText(core.Rows()[row].Item);
        EXPECT_EQ(core.PreviewView(row), Utf8From1252(stored)) << row;
        EXPECT_EQ(stored.rfind("From: ", 0), 0u);
    }
    EXPECT_EQ(core.PreviewView(core.Rows().size()), "");
}

TEST_F(CoreTest, StatusSaysWhenDeepScanMayFindMore) {
    const std::string hint = "Options \u25b8 Deep Scan may find more";
    TMainWindowCore& core = Scanned(); // twelve whole messages
    EXPECT_FALSE(core.DeepScanMayFindMore());
    EXPECT_EQ(core.StatusText().find(hint), std::string::npos);

    // Two of five with neither sender nor subject: a third or more.
    Drives = {MakeImageOf(Dir.Path / "faults.img", DecodingSample()).string()};
    Open().Scan(0);
    EXPECT_TRUE(Core->DeepScanMayFindMore());
    EXPECT_EQ(Core->StatusText(), "5 messages found \u00b7 5 shown \u00b7 0 ticked \u00b7 2 have "
                                  "no sender and no subject: " +
                                      hint);
    // Not after a deep scan of the same drive.
    Core->SetRule(TCarvingRule::Deep);
    Core->Scan(0);
    EXPECT_FALSE(Core->DeepScanMayFindMore());
    EXPECT_EQ(Core->StatusText().find(hint), std::string::npos);

    // Under a third: not said.
    std::vector<std::string> mostlyWhole = DecodingSample();
    mostlyWhole.pop_back();
    for (const TStored& m : Catalogue())
        mostlyWhole.push_back(MessageText(m));
    Drives = {MakeImageOf(Dir.Path / "whole.img", mostlyWhole).string()};
    Open().Scan(0);
    EXPECT_EQ(Core->Emails().size(), 16u);
    EXPECT_FALSE(Core->DeepScanMayFindMore());
}

// The header index holds, for every message, what decoding the whole message gives its From,
// To, Subject and date, however the list is shared out between threads.
TEST(HeaderIndex, HoldsWhatDecodingEachMessageGivesOnAnyNumberOfThreads) {
    if (!CanDecodeMail()) GTEST_SKIP() << "built without the mail module";
    TEmailArray table;
    const auto add = [&](const std::string& Text) {
        TEmail e;
        e.FullText = Text;
        table.push_back(e);
    };
    for (const std::string& m : MimeSample())
        add(m);
    add("From: =?ISO-8859-1?Q?Andr=E9?= <a@example.fr>\r\nTo: =?koi8-r?B?7MXOwQ==?= <l@example.ru>"
        "\r\nSubject: folded\r\n  over two lines\r\nDate: 01 Jan 2001 00:01 +0000\r\n\r\nbody\r\n");
    add("Subject: LF only\nFrom: b@example.com\nDate: Fri, 30 Feb 2001 25:61:00 +0000\n\nSubject: "
        "in the body\n");
    add("Subject: no body and no date");
    add("no header at all, only text\r\n\r\nmore\r\n");
    add("");
    add("Subject: =?UTF-8?B?broken base64?=\r\nFrom: \"\xe9t\xe9\" <x@example.com>\r\n\r\n");
    TFoundEmails list(table);
    for (const unsigned threads : {1u, 3u, 20u}) {
        THeaderIndex index;
        index.Start(list, threads);
        while (!index.WaitReady(std::chrono::seconds(1))) {
        }
        ASSERT_EQ(index.size(), table.size()) << threads;
        EXPECT_EQ(index.Done(), table.size()) << threads;
        for (std::size_t item = 0; item < table.size(); ++item) {
            const TDecodedMessage whole = DecodeMessage(table[item].FullText);
            const THeaderFields fields = index.Fields(item);
            EXPECT_EQ(fields.From, whole.From) << item << " on " << threads;
            EXPECT_EQ(fields.To, whole.To) << item << " on " << threads;
            EXPECT_EQ(fields.Subject, whole.Subject) << item << " on " << threads;
            EXPECT_EQ(fields.DateText, whole.DateText) << item << " on " << threads;
            EXPECT_EQ(fields.Time, whole.Time) << item << " on " << threads;
        }
        index.Stop();
        EXPECT_FALSE(index.Ready());
        EXPECT_EQ(index.size(), 0u);
    }
    // The table is not all of one kind: the comparison above covers real differences.
    EXPECT_NE(DecodeMessage(table[4].FullText).Subject, DecodeMessage(table[5].FullText).Subject);
    EXPECT_TRUE(DecodeMessage(table[4].FullText).Time.has_value());
    EXPECT_FALSE(DecodeMessage(table[5].FullText).Time.has_value());
}

// Where the mail module is not built (the Windows programs), the window shows what is stored and
// says why.
TEST_F(CoreTest, WithoutTheMailModuleTheStoredTextIsShownAndTheDetailsSaySo) {
    if (CanDecodeMail()) GTEST_SKIP() << "built with the mail module";
    Drives = {MakeImageOf(Dir.Path / "mime.img", MimeSample()).string()};
    TMainWindowCore& core = Scanned();
    ASSERT_EQ(core.Rows().size(), 4u);
    EXPECT_TRUE(core.SourceView());
    core.SetSourceView(false);
    EXPECT_TRUE(core.SourceView());
    EXPECT_EQ(core.CellView(0, TResultColumn::Subject), core.CellShown(0, TResultColumn::Subject));
    EXPECT_EQ(core.PreviewView(0), core.PreviewShown(0));
    EXPECT_EQ(core.DecodedOf(0), nullptr);
    const std::string details = core.DetailsText(2);
    EXPECT_NE(details.find("does not decode MIME mail"), std::string::npos) << details;
    EXPECT_NE(
        details.find("Found at byte 5120 (0x1400) by the standard rule \u00b7 copy of item 0"),
        std::string::npos)
        << details;
    // Copies are told by the bytes alone and can still be hidden.
    core.SetHideCopies(true);
    EXPECT_EQ(Items(), (std::vector<std::size_t>{0, 1, 3}));
    // The text filter is refused, the rows stay.
    EXPECT_FALSE(core.ApplyTextFilter("K\u00f6ln"));
    ASSERT_EQ(View.Boxes.size(), 1u);
    EXPECT_EQ(View.Boxes[0].Kind, TMessageKind::Error);
    EXPECT_FALSE(core.FilterActive());
    EXPECT_EQ(core.Rows().size(), 3u);
    // The mailbox needs no decoding.
    core.SetAllTicked(true);
    View.SaveAs = (Dir.Path / "raw.mbox").string();
    core.ExportTickedMailbox();
    EXPECT_NE(ReadAll(View.SaveAs).find(core.Emails()[3].FullText), std::string::npos);
}

} // namespace

TEST_F(CoreTest, DeletedInTheMailProgramOnlyListsTheMarkedAndTheirDetailsSaySo) {
    TMainWindowCore& core = Open();
    const std::string tail = "From: a@x.org\r\nSubject: s\r\n\r\ntext\r\n";
    core.ShowResults(
        TEmailArray{TEmail{"", "", "", "", "X-Mozilla-Status: 0009\r\n" + tail, ""},
                    TEmail{"", "", "", "", "Status: RO\r\n" + tail, ""},
                    TEmail{"", "", "", "", "Status: RO\r\nX-Status: D\r\n" + tail, ""}});
    const std::string line = "deleted in the mail program, not yet compacted\n";
    EXPECT_FALSE(core.ClientDeletedOnly());
    ASSERT_EQ(core.Rows().size(), 3u);
    EXPECT_NE(core.DetailsText(0).find(line), std::string::npos) << core.DetailsText(0);
    EXPECT_EQ(core.DetailsText(1).find(line), std::string::npos) << core.DetailsText(1);
    core.SetClientDeletedOnly(true);
    ASSERT_EQ(core.Rows().size(), 2u);
    EXPECT_EQ(core.Rows()[0].Item, 0u);
    EXPECT_EQ(core.Rows()[1].Item, 2u);
    EXPECT_NE(core.DetailsText(1).find(line), std::string::npos);
    core.SetClientDeletedOnly(false);
    EXPECT_EQ(core.Rows().size(), 3u);
}

// With that item on, the status line says why the list is short.
TEST_F(CoreTest, StatusSaysWhenOnlyMailDeletedInTheMailProgramIsListed) {
    TMainWindowCore& core = Scanned(); // twelve messages, none marked
    core.SetClientDeletedOnly(true);
    EXPECT_EQ(core.StatusText(), "12 messages found \u00b7 0 shown, only those deleted in the mail "
                                 "program \u00b7 0 ticked");
    core.SetClientDeletedOnly(false);
    EXPECT_EQ(core.StatusText(), "12 messages found \u00b7 12 shown \u00b7 0 ticked");
}

// The window's scan carves on every core; the window still hears it on its own thread, the
// messages in found order, the progress only moving forwards, and lists what one job lists.
TEST(CoreJobs, AScanOnSeveralJobsReportsInFoundOrderOnTheWindowsThread) {
    class TThreadView final : public TRecordingView {
      public:
        std::thread::id Window = std::this_thread::get_id();
        bool Elsewhere = false;
        void Note() {
            if (std::this_thread::get_id() != Window) Elsewhere = true;
        }
        void PumpEvents() override {
            Note();
            TRecordingView::PumpEvents();
        }
        void SetPosition(std::uint64_t Value) override {
            Note();
            TRecordingView::SetPosition(Value);
        }
        void ShowProgress(const TScanProgress& Progress) override {
            Note();
            TRecordingView::ShowProgress(Progress);
        }
        void CountsChanged() override {
            Note();
            TRecordingView::CountsChanged();
        }
    };
    TTestFolder dir("pw-jobs-");
    // 8 MiB, so that the scan is cut into several pieces; a message every 24 KiB.
    const std::string image = (dir.Path / "many.img").string();
    {
        std::string bytes(std::size_t{8} << 20, '\0');
        for (std::size_t at = 1024, i = 0; at + 1024 < bytes.size(); at += 24 * 1024, ++i) {
            const std::string m = "From: a" + std::to_string(i) +
                                  "@example.org\r\nTo: b@example.org\r\nSubject: number " +
                                  std::to_string(i) + "\r\n\r\nbody\r\n";
            bytes.replace(at, m.size(), m);
        }
        std::ofstream(image, std::ios::binary) << bytes;
    }
    const TScanResult one = TScanHardDisk(image, {}, NullScanHost()).ScanDrive();
    ASSERT_GT(one.Emails.size(), 300u);

    TThreadView view;
    TMainWindowCore core(view, [&] { return TDriveArray{image}; });
    core.SetScanJobs(3);
    core.ListDrives();
    core.Scan(0);
    EXPECT_FALSE(view.Elsewhere);
    EXPECT_TRUE(core.Emails() == one.Emails);
    EXPECT_TRUE(std::is_sorted(view.Positions.begin(), view.Positions.end()));
    EXPECT_FALSE(view.Positions.empty());
    EXPECT_EQ(view.Opens, 1);
    EXPECT_EQ(view.Closes, 1);
}
