// The Windows main window, created in this process and driven the way a user's input reaches it:
// mouse messages to the toolbar, the list's rows and its column headers, text and clicks to the
// filter's controls; the rows are read back through list-view messages. Dialogs and message
// boxes are replaced by recording hooks so that nothing blocks.

#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "CliTarget.h"
#include "FakeSystemLayer.h"
#include "UiTestImages.h"
#include "WinIds.h"
#include "WinText.h"
#include "frmMainWin32.h"
#include "waitfrmWin32.h"

namespace fs = std::filesystem;

namespace {

struct TShown {
    bool Error;
    std::wstring Title, Text;
};

void Pump() {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

// A left click at a point of a window's client area, as the mouse would deliver it.
void ClickAt(HWND Window, POINT At) {
    const LPARAM where = MAKELPARAM(At.x, At.y);
    ::PostMessageW(Window, WM_LBUTTONDOWN, MK_LBUTTON, where);
    ::PostMessageW(Window, WM_LBUTTONUP, 0, where);
    Pump();
}

POINT Centre(const RECT& R) {
    return {(R.left + R.right) / 2, (R.top + R.bottom) / 2};
}

std::string Narrow(const std::wstring& Text) {
    return std::string(Text.begin(), Text.end());
}

class TWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Image = MakeImage(Folder.Path / "sample.img", Catalogue()).string();
        ExportTo = Folder.Path / "out";
        fs::create_directories(ExportTo);
        Hooks.ShowMessage = [this](bool Error, const std::wstring& Title,
                                   const std::wstring& Text) {
            Shown.push_back({Error, Title, Text});
        };
        Hooks.BrowseFolder = [this](const std::wstring& Prompt, const std::wstring&, bool) {
            Prompts.push_back(Prompt);
            return ExportTo.wstring();
        };
        Hooks.ChooseImage = [this] { return Chosen; };
        Hooks.OpenDocument = [this](const std::wstring& Path) {
            Opened.push_back(Path);
            return true;
        };
        Hooks.ListDrives = [this] { return TDriveArray{Image}; };
        Hooks.ImageProblem = [](const std::string& Path) { return ImageFormatProblem(Path); };
        Hooks.QuitOnClose = false;
    }

    TfrmMainWin32& Window() {
        if (!Main) {
            Main = std::make_unique<TfrmMainWin32>(Hooks);
            Main->Show();
            Pump();
        }
        return *Main;
    }

    void ClickButton(int Id) {
        RECT r{};
        const auto index = ::SendMessageW(Main->tbButtons, TB_COMMANDTOINDEX, Id, 0);
        ASSERT_TRUE(::SendMessageW(Main->tbButtons, TB_GETITEMRECT, index,
                                   reinterpret_cast<LPARAM>(&r)));
        ClickAt(Main->tbButtons, Centre(r));
    }
    void ClickHeader(int Column) {
        const HWND header = ListView_GetHeader(Main->lvFoundEmails);
        RECT r{};
        ASSERT_TRUE(Header_GetItemRect(header, Column, &r));
        // Near its left edge: a wide last column reaches past the visible list.
        ClickAt(header, {r.left + 10, (r.top + r.bottom) / 2});
    }
    void ClickRow(int Row) {
        ListView_EnsureVisible(Main->lvFoundEmails, Row, FALSE);
        RECT r{};
        ASSERT_TRUE(ListView_GetItemRect(Main->lvFoundEmails, Row, &r, LVIR_LABEL));
        ClickAt(Main->lvFoundEmails, Centre(r));
    }
    int RowCount() { return ListView_GetItemCount(Main->lvFoundEmails); }
    std::string Cell(int Row, int Column) {
        wchar_t text[512] = {};
        ListView_GetItemText(Main->lvFoundEmails, Row, Column, text, 512);
        return Narrow(text);
    }
    std::vector<std::string> ColumnTexts(int Column) {
        std::vector<std::string> texts;
        for (int row = 0; row < RowCount(); ++row)
            texts.push_back(Cell(row, Column));
        return texts;
    }
    bool Ticked(int Row) { return ListView_GetCheckState(Main->lvFoundEmails, Row) != 0; }
    void Tick(int Row, bool On) {
        ListView_SetItemState(Main->lvFoundEmails, Row, INDEXTOSTATEIMAGEMASK(On ? 2 : 1),
                              LVIS_STATEIMAGEMASK);
    }
    void SetKeyword(const wchar_t* Keyword) {
        ::SendMessageW(Main->txtFilter, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Keyword));
    }
    std::wstring Preview() {
        std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(Main->txtmsgbody)) + 1,
                          L'\0');
        text.resize(static_cast<std::size_t>(::GetWindowTextW(
            Main->txtmsgbody, text.data(), static_cast<int>(text.size()))));
        return text;
    }
    bool Enabled(HWND Control) { return ::IsWindowEnabled(Control) != 0; }

    TTestFolder Folder{"pw-win32-test-"};
    std::string Image;
    fs::path ExportTo;
    std::wstring Chosen;
    TfrmMainWin32::THooks Hooks;
    std::vector<TShown> Shown;
    std::vector<std::wstring> Prompts, Opened;
    std::unique_ptr<TfrmMainWin32> Main;
};

TEST_F(TWindowTest, BuiltAsTheLayoutSays) {
    TfrmMainWin32& w = Window();
    wchar_t title[64] = {};
    ::GetWindowTextW(w.Handle(), title, 64);
    EXPECT_EQ(Narrow(title), "Parcelwright v3.0");
    const LONG_PTR style = ::GetWindowLongPtrW(w.Handle(), GWL_STYLE);
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
    EXPECT_NE(style & WS_SYSMENU, 0);

    // The client area and the list's place, at the window's own scale.
    const int dpi = static_cast<int>(::GetDeviceCaps(::GetDC(nullptr), LOGPIXELSY));
    RECT client{};
    ::GetClientRect(w.Handle(), &client);
    EXPECT_EQ(client.right, ::MulDiv(792, dpi, 96));
    EXPECT_EQ(client.bottom, ::MulDiv(546, dpi, 96));
    RECT list{};
    ::GetWindowRect(w.lvFoundEmails, &list);
    ::MapWindowPoints(nullptr, w.Handle(), reinterpret_cast<POINT*>(&list), 2);
    EXPECT_EQ(list.left, ::MulDiv(8, dpi, 96));
    EXPECT_EQ(list.top, ::MulDiv(104, dpi, 96));

    wchar_t text[64] = {};
    ::GetWindowTextW(w.GroupBox1, text, 64);
    EXPECT_EQ(Narrow(text), "Select Drive To Scan");
    ::GetWindowTextW(w.Filter, text, 64);
    EXPECT_EQ(Narrow(text), "Filter Emails");
    EXPECT_TRUE(Enabled(w.btnApplyFilter));
    EXPECT_FALSE(Enabled(w.btnClearFilter));

    ASSERT_EQ(::SendMessageW(w.tbButtons, TB_BUTTONCOUNT, 0, 0), 4);
    const std::pair<int, const char*> buttons[] = {{PW_ID_SCAN, "Scan"},
                                                   {PW_ID_SELECTALL, "Quick Select All"},
                                                   {PW_ID_DESELECTALL, "Quick Deselect All"},
                                                   {PW_ID_SAVEEMAIL, "Export Selected"}};
    for (const auto& [id, caption] : buttons) {
        wchar_t label[64] = {};
        ::SendMessageW(w.tbButtons, TB_GETBUTTONTEXTW, id, reinterpret_cast<LPARAM>(label));
        EXPECT_EQ(Narrow(label), caption);
    }

    const HWND header = ListView_GetHeader(w.lvFoundEmails);
    ASSERT_EQ(Header_GetItemCount(header), 5);
    const char* const headers[] = {"Item Num", "Date", "From", "To", "Subject"};
    for (int c = 0; c < 5; ++c) {
        wchar_t caption[32] = {};
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT;
        column.pszText = caption;
        column.cchTextMax = 32;
        ListView_GetColumn(w.lvFoundEmails, c, &column);
        EXPECT_EQ(Narrow(caption), headers[c]);
    }
    const DWORD ex = ListView_GetExtendedListViewStyle(w.lvFoundEmails);
    EXPECT_NE(ex & LVS_EX_CHECKBOXES, 0u);
    EXPECT_NE(ex & LVS_EX_FULLROWSELECT, 0u);

    // The drive box offers the image, preselected.
    EXPECT_EQ(::SendMessageW(w.cbDrives, CB_GETCOUNT, 0, 0), 1);
    EXPECT_EQ(::SendMessageW(w.cbDrives, CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(::GetMenuItemCount(w.MainMenu1), 3);
}

TEST_F(TWindowTest, ScanTickSortFilterPreviewAndExport) {
    TfrmMainWin32& w = Window();
    ClickButton(PW_ID_SCAN);
    ASSERT_EQ(RowCount(), 12);
    EXPECT_TRUE(Shown.empty());
    EXPECT_TRUE(Enabled(w.Handle()));
    EXPECT_EQ(w.WaitWindow(), nullptr);
    EXPECT_EQ(::FindWindowW(L"ParcelwrightWait", nullptr), nullptr);
    const std::vector<TStored> stored = Catalogue();
    for (int row = 0; row < 12; ++row) {
        EXPECT_EQ(Cell(row, 0), std::to_string(row));
        // The fields as stored: the space after the header name's colon included.
        EXPECT_EQ(Cell(row, 1), " " + stored[static_cast<std::size_t>(row)].Date);
        EXPECT_EQ(Cell(row, 2), " " + stored[static_cast<std::size_t>(row)].From);
        EXPECT_EQ(Cell(row, 3), " Bob <bob@example.org>");
        EXPECT_EQ(Cell(row, 4), " " + stored[static_cast<std::size_t>(row)].Subject);
        EXPECT_FALSE(Ticked(row));
    }

    // A tick in the list reaches the core; Select All and Deselect All reach every row.
    Tick(2, true);
    Tick(5, true);
    EXPECT_TRUE(w.Core().Rows()[2].Checked);
    EXPECT_TRUE(w.Core().Rows()[5].Checked);
    EXPECT_FALSE(w.Core().Rows()[3].Checked);
    ClickButton(PW_ID_SELECTALL);
    for (int row = 0; row < 12; ++row)
        EXPECT_TRUE(Ticked(row)) << row;
    ClickButton(PW_ID_DESELECTALL);
    for (int row = 0; row < 12; ++row)
        EXPECT_FALSE(Ticked(row)) << row;

    // Sorting by a header click: a new column keeps the direction (descending at start), the
    // same column again reverses it; ticks stay with their messages.
    Tick(0, true); // "pear"
    ClickHeader(4);
    const std::vector<std::string> descending = {" pear",  " orange", " melon", " Mango",
                                                 " Lemon", " kiwi",   " grape", " fig",
                                                 " date",  " Cherry", " banana", " Apple"};
    EXPECT_EQ(ColumnTexts(4), descending);
    EXPECT_TRUE(Ticked(0));
    EXPECT_EQ(Cell(0, 0), "0");
    ClickHeader(4);
    const std::vector<std::string> ascending(descending.rbegin(), descending.rend());
    EXPECT_EQ(ColumnTexts(4), ascending);
    EXPECT_TRUE(Ticked(11));
    EXPECT_FALSE(Ticked(0));

    // A click on a sorted row previews that row's own message.
    ClickRow(0); // "Apple", item 1
    EXPECT_EQ(Cell(0, 0), "1");
    EXPECT_EQ(Narrow(Preview()), "\r\n" + stored[1].Body);

    // The filter: the body's keyword in any case, the controls' states, gaps in the numbers.
    SetKeyword(L"invoice");
    ::SendMessageW(w.btnApplyFilter, BM_CLICK, 0, 0);
    Pump();
    EXPECT_EQ(ColumnTexts(0), (std::vector<std::string>{"1", "4", "7", "10"}));
    EXPECT_FALSE(Enabled(w.btnApplyFilter));
    EXPECT_TRUE(Enabled(w.btnClearFilter));
    EXPECT_FALSE(Enabled(w.txtFilter));
    // The preview stays until the next click.
    EXPECT_EQ(Narrow(Preview()), "\r\n" + stored[1].Body);

    // Export of rows 1 and 3 as shown: items 4 and 10, byte for byte, named by row position.
    Tick(1, true);
    Tick(3, true);
    ClickButton(PW_ID_SAVEEMAIL);
    ASSERT_EQ(Prompts.size(), 1u);
    EXPECT_EQ(Narrow(Prompts[0]), "Select Where To Save Recovered Emails");
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_FALSE(Shown[0].Error);
    EXPECT_EQ(Narrow(Shown[0].Title), "Information");
    EXPECT_EQ(Narrow(Shown[0].Text), "Emails Succesfully Exported To Folder");
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(ExportTo))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"RecoveredEmail1.eml", "RecoveredEmail3.eml"}));
    const auto contents = [](const fs::path& P) {
        std::ifstream in(P, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(contents(ExportTo / "RecoveredEmail1.eml"), MessageText(stored[4]));
    EXPECT_EQ(contents(ExportTo / "RecoveredEmail3.eml"), MessageText(stored[10]));

    // Clear brings every row back, unticked, the keyword still in the box.
    ::SendMessageW(w.btnClearFilter, BM_CLICK, 0, 0);
    Pump();
    EXPECT_EQ(RowCount(), 12);
    EXPECT_FALSE(Ticked(1));
    EXPECT_TRUE(Enabled(w.txtFilter));
    EXPECT_TRUE(Enabled(w.btnApplyFilter));
    wchar_t keyword[32] = {};
    ::GetWindowTextW(w.txtFilter, keyword, 32);
    EXPECT_EQ(Narrow(keyword), "invoice");
}

TEST_F(TWindowTest, KeysAndMenus) {
    TfrmMainWin32& w = Window();
    // F1 anywhere in the window opens the manual beside the program.
    MSG key{w.lvFoundEmails, WM_KEYDOWN, VK_F1, 0, 0, {0, 0}};
    EXPECT_TRUE(w.PreTranslate(key));
    Pump();
    ASSERT_EQ(Opened.size(), 1u);
    EXPECT_EQ(fs::path(Opened[0]).filename(), "manual.html");

    // Options ▸ Deep Scan is a check mark for the session.
    ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_DEEPSCAN, 0);
    EXPECT_EQ(w.Core().Rule(), TCarvingRule::Deep);
    EXPECT_EQ(::GetMenuState(w.MainMenu1, PW_ID_DEEPSCAN, MF_BYCOMMAND) & MF_CHECKED,
              static_cast<UINT>(MF_CHECKED));
    ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_DEEPSCAN, 0);
    EXPECT_EQ(w.Core().Rule(), TCarvingRule::Standard);

    // A keyword with a character stored mail cannot hold is refused, the filter stays off.
    SetKeyword(L"\u4E00");
    ::SendMessageW(w.btnApplyFilter, BM_CLICK, 0, 0);
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_TRUE(Shown[0].Error);
    EXPECT_FALSE(w.Core().FilterActive());

    // File ▸ Exit closes the window.
    ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_EXIT, 0);
    EXPECT_EQ(w.Handle(), nullptr);
}

TEST_F(TWindowTest, EwfImagesAreRefusedWithTheReason) {
    const fs::path ewf = Folder.Path / "disk.E01";
    const char head[] = {'E', 'V', 'F', 0x09, 0x0D, 0x0A, static_cast<char>(0xFF), 0x00};
    std::string bytes(head, sizeof head);
    bytes.resize(4096, '\0');
    std::ofstream(ewf, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    Chosen = ewf.wstring();
    TfrmMainWin32& w = Window();
    ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_OPENIMAGE, 0);
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_TRUE(Shown[0].Error);
    EXPECT_NE(Narrow(Shown[0].Text).find(".E01 images are read by the Linux build"),
              std::string::npos);
    EXPECT_EQ(w.Core().Drives().size(), 1u);

    // A plain image is added and selected.
    Chosen = (Folder.Path / "sample.img").wstring();
    const fs::path copy = Folder.Path / "second.img";
    fs::copy_file(Image, copy);
    Chosen = copy.wstring();
    ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_OPENIMAGE, 0);
    EXPECT_EQ(w.Core().Drives().size(), 2u);
    EXPECT_EQ(::SendMessageW(w.cbDrives, CB_GETCURSEL, 0, 0), 1);
}

TEST_F(TWindowTest, RefusedDriveSaysToRunAsAdministrator) {
    TFakeSystem system;
    system.Drives["\\\\.\\C:"] = TFakeDrive{};
    system.DeniedPaths.insert("\\\\.\\C:");
    Hooks.ListDrives = [] { return TDriveArray{"C:\\"}; };
    Hooks.DriveProblem = [&system](const std::string& Drive) {
        return DriveAccessProblem(system, Drive);
    };
    TfrmMainWin32& w = Window();
    ClickButton(PW_ID_SCAN);
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_TRUE(Shown[0].Error);
    EXPECT_NE(Narrow(Shown[0].Text).find("run Parcelwright as administrator to read drives; disk "
                                         "images need no rights"),
              std::string::npos);
    EXPECT_EQ(RowCount(), 0);
    EXPECT_TRUE(Enabled(w.Handle()));
}

TEST(WinDriveTargets, DrivesImagesAndDevices) {
    TFakeSystem system;
    EXPECT_EQ(DriveTarget(system, "c:"), "C:\\");
    EXPECT_EQ(DriveTarget(system, "D:/"), "D:\\");
    EXPECT_EQ(DriveTarget(system, "\\\\.\\PhysicalDrive0"), "\\\\.\\PhysicalDrive0");
    EXPECT_EQ(DriveTarget(system, "C:\\images\\a.img"), "C:\\images\\a.img");
    system.DriveLetters = false;
    EXPECT_EQ(DriveTarget(system, "c:"), "c:");

    system.DriveLetters = true;
    system.Drives["\\\\.\\PhysicalDrive0"] = TFakeDrive{};
    system.DeniedPaths.insert("\\\\.\\PhysicalDrive0");
    system.Drives["\\\\.\\D:"] = TFakeDrive{};
    EXPECT_NE(DriveAccessProblem(system, "\\\\.\\PhysicalDrive0").find("administrator"),
              std::string::npos);
    EXPECT_EQ(DriveAccessProblem(system, "D:\\"), "");
    EXPECT_NE(DriveAccessProblem(system, "Q:\\").find("no such drive"), std::string::npos);
    // Images need no rights: never opened as devices.
    EXPECT_EQ(DriveAccessProblem(system, "C:\\images\\a.img"), "");
}

TEST(WinProgress, BarScalesA64BitMaximum) {
    const std::uint64_t max = std::uint64_t{1} << 33;
    TfrmWaitWin32 wait(max, 96, nullptr);
    EXPECT_FALSE(::IsWindowVisible(wait.Handle()));
    EXPECT_NE(::GetWindowLongPtrW(wait.Handle(), GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
    EXPECT_EQ(::GetWindowLongPtrW(wait.Handle(), GWL_STYLE) & WS_DLGFRAME, 0); // no title bar
    const auto high = ::SendMessageW(wait.Bar(), PBM_GETRANGE, FALSE, 0);
    EXPECT_GT(high, 0);
    EXPECT_EQ(::SendMessageW(wait.Bar(), PBM_GETPOS, 0, 0), 0);
    wait.ShowOver(nullptr);
    EXPECT_TRUE(::IsWindowVisible(wait.Handle()));
    wait.SetPosition(max / 2);
    EXPECT_EQ(::SendMessageW(wait.Bar(), PBM_GETPOS, 0, 0), high / 2 + (high % 2));
    wait.SetPosition(max + 5);
    EXPECT_EQ(::SendMessageW(wait.Bar(), PBM_GETPOS, 0, 0), high);
    // The scan removes it; the user cannot.
    ::SendMessageW(wait.Handle(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(::IsWindow(wait.Handle()));
}

TEST(WinText, StoredBytesAndTypedText) {
    EXPECT_EQ(DisplayFrom1252(std::string("a\x80\0b\nc\rd\r\n", 10)),
              L"a\u20AC b\r\nc\r\nd\r\n");
    EXPECT_EQ(CellFrom1252(std::string("\xE9t\xE9", 3)), L"\u00E9t\u00E9");
    wchar_t bad = 0;
    EXPECT_EQ(BytesFromTyped(L"\u20ACuro \u00C9t\u00E9", bad), std::string("\x80uro \xC9t\xE9"));
    EXPECT_FALSE(BytesFromTyped(L"x\u4E00", bad));
    EXPECT_EQ(bad, L'\u4E00');
}

} // namespace

int main(int argc, char** argv) {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES |
                                                       ICC_USEREX_CLASSES | ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&controls);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
