// The Windows main window, created in this process and driven the way a user's input reaches it:
// mouse messages to the toolbar, the list's rows and its column headers, text and clicks to the
// filter's controls; the rows are read back through list-view messages. Dialogs and message
// boxes are replaced by recording hooks so that nothing blocks.

#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/CliTarget.h"
#include "engine/MboxExport.h"
#include "tests/support/FakeSystemLayer.h"
#include "tests/ui/UiTestImages.h"
#include "ui/win32/WinIds.h"
#include "ui/win32/WinText.h"
#include "ui/win32/frmMainWin32.h"
#include "ui/win32/waitfrmWin32.h"

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

std::wstring TextOf(HWND Window) {
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(Window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextW(Window, text.data(), static_cast<int>(text.size()))));
    return text;
}

// The keys held down as the thread's input state says, for the keyboard handling to read.
void HoldKeys(std::initializer_list<int> Keys) {
    BYTE state[256] = {};
    for (const int key : Keys)
        state[key] = 0x80;
    ::SetKeyboardState(state);
}

// The width a toolbar caption takes in the toolbar's font.
int CaptionWidth(HWND Toolbar, const wchar_t* Caption) {
    const HDC dc = ::GetDC(Toolbar);
    const auto font = reinterpret_cast<HFONT>(::SendMessageW(Toolbar, WM_GETFONT, 0, 0));
    const HGDIOBJ old = ::SelectObject(dc, font);
    SIZE extent{};
    ::GetTextExtentPoint32W(dc, Caption, static_cast<int>(wcslen(Caption)), &extent);
    ::SelectObject(dc, old);
    ::ReleaseDC(Toolbar, dc);
    return extent.cx;
}

// Plays the user while a scan runs: Act is called with the progress window once it is up (from
// the scan's own pumping of messages), Then once what Act posted has been handled.
class TScanActor {
  public:
    std::function<void(HWND Wait)> Act;
    std::function<void(HWND Wait)> Then;

    TScanActor() {
        static const bool registered = [] {
            WNDCLASSW wc{};
            wc.lpfnWndProc = Proc;
            wc.hInstance = ::GetModuleHandleW(nullptr);
            wc.lpszClassName = L"PwTestActor";
            return ::RegisterClassW(&wc) != 0;
        }();
        (void)registered;
        Helper = ::CreateWindowExW(0, L"PwTestActor", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   ::GetModuleHandleW(nullptr), nullptr);
        ::SetWindowLongPtrW(Helper, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        Current = this;
        Hook = ::SetWindowsHookExW(WH_CBT, CbtProc, nullptr, ::GetCurrentThreadId());
    }
    ~TScanActor() {
        ::UnhookWindowsHookEx(Hook);
        ::DestroyWindow(Helper);
        Current = nullptr;
    }
    TScanActor(const TScanActor&) = delete;
    TScanActor& operator=(const TScanActor&) = delete;

    bool Acted = false, Followed = false;

  private:
    static LRESULT CALLBACK CbtProc(int Code, WPARAM WParam, LPARAM LParam) {
        if (Code == HCBT_CREATEWND && Current != nullptr) {
            wchar_t name[64] = {};
            ::GetClassNameW(reinterpret_cast<HWND>(WParam), name, 64);
            // Posted: the window is being made now and is complete when this arrives.
            if (std::wstring(name) == L"ParcelwrightWait")
                ::PostMessageW(Current->Helper, WM_APP, WParam, 0);
        }
        return ::CallNextHookEx(nullptr, Code, WParam, LParam);
    }
    static LRESULT CALLBACK Proc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam) {
        auto* self = reinterpret_cast<TScanActor*>(::GetWindowLongPtrW(Window, GWLP_USERDATA));
        const auto wait = reinterpret_cast<HWND>(WParam);
        if (self != nullptr && Message == WM_APP) {
            self->Acted = true;
            if (self->Act) self->Act(wait);
            ::PostMessageW(Window, WM_APP + 1, WParam, 0);
            return 0;
        }
        if (self != nullptr && Message == WM_APP + 1) {
            self->Followed = true;
            if (self->Then) self->Then(wait);
            return 0;
        }
        return ::DefWindowProcW(Window, Message, WParam, LParam);
    }

    static inline TScanActor* Current = nullptr;
    HWND Helper = nullptr;
    HHOOK Hook = nullptr;
};

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
        Hooks.AskYesNo = [this](const std::wstring& Title, const std::wstring& Text) {
            Questions.push_back({false, Title, Text});
            return Answer;
        };
        Hooks.BrowseFolder = [this](const std::wstring& Prompt, const std::wstring&, bool) {
            Prompts.push_back(Prompt);
            return ExportTo.wstring();
        };
        Hooks.ChooseImage = [this] { return Chosen; };
        Hooks.ChooseSaveFile = [this](const std::wstring& Title, const std::wstring& Suggested,
                                      const std::wstring& Types, const std::wstring& Folder) {
            Saves.push_back({Title, Suggested, Types, Folder});
            return SaveAs;
        };
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

    // What the preview shows of a stored message in the stored view: with decoding, Message
    // Source's whole message; without, the text from the empty line on.
    static std::string StoredPreview(const TStored& M) {
        return CanDecodeMail() ? MessageText(M) : "\r\n" + M.Body;
    }

    // The window showing the stored text, as a build without decoding does: the checks that
    // read fields as stored hold for both builds.
    TfrmMainWin32& StoredWindow() {
        TfrmMainWin32& w = Window();
        if (!w.Core().SourceView()) ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_MESSAGESOURCE, 0);
        EXPECT_TRUE(w.Core().SourceView());
        return w;
    }

    void ClickButton(int Id) {
        RECT r{};
        const auto index = ::SendMessageW(Main->tbButtons, TB_COMMANDTOINDEX, Id, 0);
        ASSERT_TRUE(
            ::SendMessageW(Main->tbButtons, TB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&r)));
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
    // A click on the row's tick box (left of its envelope) where it does not show On yet.
    void Tick(int Row, bool On) {
        if (Ticked(Row) == On) return;
        ListView_EnsureVisible(Main->lvFoundEmails, Row, FALSE);
        RECT icon{};
        ASSERT_TRUE(ListView_GetItemRect(Main->lvFoundEmails, Row, &icon, LVIR_ICON));
        int width = 0, height = 0;
        ASSERT_TRUE(ImageList_GetIconSize(ListView_GetImageList(Main->lvFoundEmails, LVSIL_STATE),
                                          &width, &height));
        ClickAt(Main->lvFoundEmails, {icon.left - width / 2, (icon.top + icon.bottom) / 2});
        EXPECT_EQ(Ticked(Row), On) << Row;
    }
    void Key(WPARAM Key) {
        ::PostMessageW(Main->lvFoundEmails, WM_KEYDOWN, Key, 0);
        ::PostMessageW(Main->lvFoundEmails, WM_KEYUP, Key, 0xC0000000);
        Pump();
    }
    void SetKeyword(const wchar_t* Keyword) {
        ::SendMessageW(Main->txtFilter, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Keyword));
    }
    std::wstring Preview() {
        std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(Main->txtmsgbody)) + 1,
                          L'\0');
        text.resize(static_cast<std::size_t>(
            ::GetWindowTextW(Main->txtmsgbody, text.data(), static_cast<int>(text.size()))));
        return text;
    }
    bool Enabled(HWND Control) { return ::IsWindowEnabled(Control) != 0; }
    std::wstring Status() {
        const auto length = LOWORD(::SendMessageW(Main->sbStatus, SB_GETTEXTLENGTHW, 0, 0));
        std::wstring text(length + 1u, L'\0');
        ::SendMessageW(Main->sbStatus, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(text.data()));
        text.resize(length);
        return text;
    }

    TTestFolder Folder{"pw-win32-test-"};
    std::string Image;
    fs::path ExportTo;
    std::wstring Chosen;
    TfrmMainWin32::THooks Hooks;
    std::vector<TShown> Shown, Questions;
    bool Answer = false; // to every question
    std::vector<std::wstring> Prompts, Opened;
    struct TSave {
        std::wstring Title, Suggested, Types, Folder;
    };
    std::vector<TSave> Saves;
    std::wstring SaveAs;
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
    // The status line is under the fixed client area, as wide as the window.
    RECT status{};
    ::GetWindowRect(w.sbStatus, &status);
    ::MapWindowPoints(nullptr, w.Handle(), reinterpret_cast<POINT*>(&status), 2);
    EXPECT_TRUE(::IsWindowVisible(w.sbStatus));
    EXPECT_EQ(status.top, ::MulDiv(546, dpi, 96));
    EXPECT_EQ(status.bottom, client.bottom);
    EXPECT_EQ(status.right - status.left, client.right);
    EXPECT_EQ(Status(), L"");
    RECT list{};
    ::GetWindowRect(w.lvFoundEmails, &list);
    ::MapWindowPoints(nullptr, w.Handle(), reinterpret_cast<POINT*>(&list), 2);
    EXPECT_EQ(list.left, ::MulDiv(8, dpi, 96));
    EXPECT_EQ(list.top, ::MulDiv(104, dpi, 96));
    // The preview, then the details under it, down to the client area's foot.
    RECT details{};
    ::GetWindowRect(w.txtDetails, &details);
    ::MapWindowPoints(nullptr, w.Handle(), reinterpret_cast<POINT*>(&details), 2);
    EXPECT_EQ(details.top, ::MulDiv(465, dpi, 96));
    EXPECT_EQ(details.bottom, ::MulDiv(545, dpi, 96));
    // Beside the details: the attachments and their button, which wait for a message.
    RECT save{};
    ::GetWindowRect(w.btnSaveAttachment, &save);
    ::MapWindowPoints(nullptr, w.Handle(), reinterpret_cast<POINT*>(&save), 2);
    EXPECT_EQ(save.left, ::MulDiv(645, dpi, 96));
    EXPECT_EQ(save.right, ::MulDiv(785, dpi, 96));
    EXPECT_GT(save.left, details.right);
    EXPECT_EQ(TextOf(w.btnSaveAttachment), L"Save Attachment\u2026");
    EXPECT_FALSE(Enabled(w.btnSaveAttachment));
    EXPECT_FALSE(Enabled(w.cbAttachments));
    EXPECT_EQ(TextOf(w.chkText), L"Text");
    EXPECT_EQ(Enabled(w.chkText), CanDecodeMail());
    EXPECT_NE(::GetWindowLongPtrW(w.txtDetails, GWL_STYLE) & ES_READONLY, 0);

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
        // The whole caption fits its button in this font, with the toolbar's margins.
        RECT r{};
        ::SendMessageW(w.tbButtons, TB_GETRECT, id, reinterpret_cast<LPARAM>(&r));
        const auto padding = static_cast<DWORD>(::SendMessageW(w.tbButtons, TB_GETPADDING, 0, 0));
        const std::wstring wide(caption, caption + strlen(caption));
        EXPECT_GE(r.right - r.left, CaptionWidth(w.tbButtons, wide.c_str()) + LOWORD(padding))
            << caption;
    }

    // The four buttons keep to their place beside the drive box.
    RECT last{}, box{};
    ::SendMessageW(w.tbButtons, TB_GETRECT, PW_ID_SAVEEMAIL, reinterpret_cast<LPARAM>(&last));
    ::MapWindowPoints(w.tbButtons, w.Handle(), reinterpret_cast<POINT*>(&last), 2);
    ::GetWindowRect(w.GroupBox1, &box);
    ::MapWindowPoints(nullptr, w.Handle(), reinterpret_cast<POINT*>(&box), 2);
    EXPECT_LE(last.right, box.left);

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
    // The menus and their captions as the Linux window has them; "Message Source" ticked and
    // greyed where mail is not decoded.
    const auto captions = [](HMENU Menu) {
        std::vector<std::wstring> texts;
        for (int i = 0; i < ::GetMenuItemCount(Menu); ++i) {
            wchar_t text[80] = {};
            ::GetMenuStringW(Menu, static_cast<UINT>(i), text, 80, MF_BYPOSITION);
            texts.push_back(text);
        }
        return texts;
    };
    using TTexts = std::vector<std::wstring>;
    EXPECT_EQ(captions(w.MainMenu1), (TTexts{L"&File", L"&View", L"&Options", L"&Help"}));
    EXPECT_EQ(
        captions(::GetSubMenu(w.MainMenu1, 0)),
        (TTexts{L"&Open Disk Image\u2026\tCtrl+O", L"&Scan\tF5", L"&Export Selected\u2026\tCtrl+E",
                L"Export Selected as &Mailbox\u2026\tCtrl+Shift+E", L"Quick Select &All\tCtrl+A",
                L"Quick &Deselect All\tCtrl+Shift+A", L"", L"E&xit"}));
    EXPECT_EQ(
        captions(::GetSubMenu(w.MainMenu1, 1)),
        (TTexts{L"Message &Source\tCtrl+U", L"Hide &Copies", L"&Deleted in Mail Program Only"}));
    const UINT source = ::GetMenuState(w.MainMenu1, PW_ID_MESSAGESOURCE, MF_BYCOMMAND);
    EXPECT_EQ((source & MF_CHECKED) != 0, !CanDecodeMail());
    EXPECT_EQ((source & MF_GRAYED) != 0, !CanDecodeMail());
}

TEST_F(TWindowTest, ScanTickSortFilterPreviewAndExport) {
    TfrmMainWin32& w = StoredWindow();
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
    // Space turns the tick of the row with the focus, and back.
    ClickRow(3);
    EXPECT_FALSE(Ticked(3));
    Key(VK_SPACE);
    EXPECT_TRUE(Ticked(3));
    EXPECT_TRUE(w.Core().Rows()[3].Checked);
    EXPECT_EQ(Status(), L"12 messages found \u00b7 12 shown \u00b7 3 ticked");
    Key(VK_SPACE);
    EXPECT_FALSE(w.Core().Rows()[3].Checked);
    EXPECT_TRUE(w.Core().Rows()[2].Checked);
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
    const std::vector<std::string> descending = {" pear",  " orange", " melon",  " Mango",
                                                 " Lemon", " kiwi",   " grape",  " fig",
                                                 " date",  " Cherry", " banana", " Apple"};
    EXPECT_EQ(ColumnTexts(4), descending);
    EXPECT_TRUE(Ticked(0));
    EXPECT_EQ(Cell(0, 0), "0");
    ClickHeader(4);
    const std::vector<std::string> ascending(descending.rbegin(), descending.rend());
    EXPECT_EQ(ColumnTexts(4), ascending);
    EXPECT_TRUE(Ticked(11));
    EXPECT_FALSE(Ticked(0));

    // A click on a sorted row previews that row's own message; the arrow keys move the
    // preview with the selection.
    ClickRow(1);
    const std::wstring second = Preview();
    ClickRow(0); // "Apple", item 1
    EXPECT_EQ(Cell(0, 0), "1");
    EXPECT_NE(Preview(), second);
    Key(VK_DOWN);
    EXPECT_EQ(ListView_GetNextItem(w.lvFoundEmails, -1, LVNI_SELECTED), 1);
    EXPECT_EQ(Preview(), second);
    Key(VK_UP);
    EXPECT_EQ(Narrow(Preview()), StoredPreview(stored[1]));
    // Typing a number goes to the row of that item.
    ::PostMessageW(w.lvFoundEmails, WM_CHAR, L'7', 1); // once
    Pump();
    const int seventh = ListView_GetNextItem(w.lvFoundEmails, -1, LVNI_SELECTED);
    ASSERT_GE(seventh, 0);
    EXPECT_EQ(Cell(seventh, 0), "7");
    EXPECT_EQ(Narrow(Preview()), StoredPreview(stored[7]));
    ClickRow(0);

    // The filter: the body's keyword in any case, the controls' states, gaps in the numbers.
    SetKeyword(L"invoice");
    ::SendMessageW(w.btnApplyFilter, BM_CLICK, 0, 0);
    Pump();
    EXPECT_EQ(ColumnTexts(0), (std::vector<std::string>{"1", "4", "7", "10"}));
    EXPECT_FALSE(Enabled(w.btnApplyFilter));
    EXPECT_TRUE(Enabled(w.btnClearFilter));
    EXPECT_FALSE(Enabled(w.txtFilter));
    // The preview stays until the next click.
    EXPECT_EQ(Narrow(Preview()), StoredPreview(stored[1]));

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
    EXPECT_EQ(ReadAll(ExportTo / "RecoveredEmail1.eml"), MessageText(stored[4]));
    EXPECT_EQ(ReadAll(ExportTo / "RecoveredEmail3.eml"), MessageText(stored[10]));

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

    // The same rows into the same folder: the question comes through the window, and No keeps
    // the earlier files; Yes replaces them with the messages of these rows.
    Tick(1, true);
    Tick(3, true);
    ClickButton(PW_ID_SAVEEMAIL);
    ASSERT_EQ(Questions.size(), 1u);
    EXPECT_EQ(Narrow(Questions[0].Title), "Replace Files?");
    EXPECT_EQ(Narrow(Questions[0].Text).rfind("2 of the 2 files to export exist already in ", 0),
              0u);
    EXPECT_EQ(Shown.size(), 1u);
    EXPECT_EQ(ReadAll(ExportTo / "RecoveredEmail1.eml"), MessageText(stored[4]));
    Answer = true;
    ClickButton(PW_ID_SAVEEMAIL);
    EXPECT_EQ(Questions.size(), 2u);
    EXPECT_EQ(ReadAll(ExportTo / "RecoveredEmail1.eml"), MessageText(stored[1]));

    // The previewed message (item 1) filtered out: preview and details are emptied.
    ASSERT_FALSE(Preview().empty());
    SetKeyword(L"number 2");
    ::SendMessageW(w.btnApplyFilter, BM_CLICK, 0, 0);
    Pump();
    EXPECT_EQ(ColumnTexts(0), (std::vector<std::string>{"2"}));
    EXPECT_TRUE(Preview().empty());
    EXPECT_EQ(::GetWindowTextLengthW(w.txtDetails), 0);
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

// Enter in the keyword box applies it; the arrow keys move the preview with the list's row; the
// About box names the licence; the save dialog opens in the documents folder, not where the
// image was opened from, and then where the last file was saved.
TEST_F(TWindowTest, KeywordEnterArrowKeysAboutAndTheSaveDialogsFolder) {
    const std::vector<TStored> stored = Catalogue();
    TfrmMainWin32& w = StoredWindow();
    ClickButton(PW_ID_SCAN);
    ASSERT_EQ(RowCount(), 12);
    HoldKeys({});
    SetKeyword(L"invoice");
    MSG enter{w.txtFilter, WM_KEYDOWN, VK_RETURN, 0, 0, {0, 0}};
    EXPECT_TRUE(w.PreTranslate(enter));
    EXPECT_TRUE(w.Core().FilterActive());
    EXPECT_EQ(ColumnTexts(0), (std::vector<std::string>{"1", "4", "7", "10"}));
    EXPECT_FALSE(Enabled(w.txtFilter));

    ClickRow(0);
    EXPECT_EQ(Narrow(Preview()), StoredPreview(stored[1]));
    ::SetFocus(w.lvFoundEmails);
    Key(VK_DOWN);
    EXPECT_EQ(Narrow(Preview()), StoredPreview(stored[4]));
    Key(VK_DOWN);
    EXPECT_EQ(Narrow(Preview()), StoredPreview(stored[7]));
    Key(VK_UP);
    EXPECT_EQ(Narrow(Preview()), StoredPreview(stored[4]));

    ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_ABOUT, 0);
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_NE(Shown[0].Text.find(L"GPL-3.0-or-later"), std::wstring::npos);

    // The image opened from a folder of its own; the first save opens elsewhere.
    const fs::path images = Folder.Path / "images";
    fs::create_directories(images);
    Chosen = (images / "opened.img").wstring();
    fs::copy_file(Image, images / "opened.img");
    ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_OPENIMAGE, 0);
    ASSERT_EQ(w.Core().Drives().size(), 2u);
    ClickButton(PW_ID_SCAN);
    Tick(0, true);
    SaveAs = (ExportTo / "first.mbox").wstring();
    ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_EXPORTMAILBOX, 0);
    ASSERT_EQ(Saves.size(), 1u);
    EXPECT_FALSE(Saves[0].Folder.empty());
    EXPECT_NE(fs::path(Saves[0].Folder), images);
    EXPECT_TRUE(fs::is_regular_file(ExportTo / "first.mbox"));
    SaveAs.clear(); // cancelled: the folder stays the last one saved to
    ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_EXPORTMAILBOX, 0);
    ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_EXPORTMAILBOX, 0);
    ASSERT_EQ(Saves.size(), 3u);
    EXPECT_EQ(fs::path(Saves[1].Folder), ExportTo);
    EXPECT_EQ(fs::path(Saves[2].Folder), ExportTo);
}

// Modern mail where this build decodes it: the decoded list, preview and details, an attachment
// saved, View ▸ Message Source and back, the decoded text search, and a mailbox of the stored
// bytes. The core's tests own what each does; this is the window's wiring of it.
TEST_F(TWindowTest, DecodedListDetailsAttachmentSourceAndMailbox) {
    if (!CanDecodeMail()) {
        // The Windows build with the mail libraries must run this, not pass it by.
        if (std::getenv("PW_EXPECT_MAIL") != nullptr) FAIL() << "built without the mail module";
        GTEST_SKIP() << "built without the mail module";
    }
    const std::vector<std::string> mime = MimeSample();
    Image = MakeImageOf(Folder.Path / "mime.img", mime).string();
    TfrmMainWin32& w = Window();
    ClickButton(PW_ID_SCAN);
    ASSERT_EQ(RowCount(), 4);
    EXPECT_EQ(::GetMenuState(w.MainMenu1, PW_ID_MESSAGESOURCE, MF_BYCOMMAND) &
                  (MF_CHECKED | MF_GRAYED),
              0u);
    const auto wcell = [&](int Row, int Column) {
        wchar_t text[512] = {};
        ListView_GetItemText(w.lvFoundEmails, Row, Column, text, 512);
        return std::wstring(text);
    };
    EXPECT_EQ(wcell(0, 4), L"Gr\u00fc\u00dfe aus K\u00f6ln");
    EXPECT_EQ(wcell(0, 1), L"2022-03-01 09:00:00 UTC");
    EXPECT_NE(wcell(0, 2).find(L"J\u00fcrgen"), std::wstring::npos);

    // Date sorts by time: the date that is no date after the real ones.
    ClickHeader(1);
    ClickHeader(1);
    EXPECT_EQ(ColumnTexts(0), (std::vector<std::string>{"3", "0", "2", "1"}));
    ClickHeader(0); // Item Num, in the direction Date had
    ASSERT_EQ(ColumnTexts(0), (std::vector<std::string>{"0", "1", "2", "3"}));

    ClickRow(0);
    EXPECT_EQ(Preview(), L"Sch\u00f6ne Gr\u00fc\u00dfe aus K\u00f6ln");
    const std::wstring details = TextOf(w.txtDetails);
    EXPECT_NE(details.find(L"Subject: Gr\u00fc\u00dfe aus K\u00f6ln"), std::wstring::npos)
        << Narrow(details);
    EXPECT_NE(details.find(L"Found at byte 1024 (0x400) by the standard rule"), std::wstring::npos);
    ASSERT_EQ(::SendMessageW(w.cbAttachments, CB_GETCOUNT, 0, 0), 1);
    wchar_t name[64] = {};
    ::SendMessageW(w.cbAttachments, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(name));
    EXPECT_EQ(std::wstring(name), L"hello.txt");
    EXPECT_TRUE(Enabled(w.btnSaveAttachment));

    // Save Attachment…: the decoded bytes under the chosen name.
    SaveAs = (ExportTo / "hello-saved.txt").wstring();
    ::SendMessageW(w.btnSaveAttachment, BM_CLICK, 0, 0);
    ASSERT_EQ(Saves.size(), 1u);
    EXPECT_EQ(Saves[0].Title, L"Save Attachment");
    EXPECT_EQ(Saves[0].Suggested, L"hello.txt");
    EXPECT_EQ(ReadAll(ExportTo / "hello-saved.txt"), "Hello, attachment!\n");
    EXPECT_TRUE(Shown.empty());

    // View ▸ Message Source (Ctrl+U): list and preview as stored, details unchanged; again back.
    HoldKeys({VK_CONTROL});
    MSG sourceKey{w.lvFoundEmails, WM_KEYDOWN, 'U', 0, 0, {0, 0}};
    EXPECT_TRUE(w.PreTranslate(sourceKey));
    HoldKeys({});
    EXPECT_TRUE(w.Core().SourceView());
    EXPECT_EQ(Cell(0, 4), " =?UTF-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?=");
    EXPECT_NE(Preview().find(L"Sch=C3=B6ne"), std::wstring::npos);
    EXPECT_NE(Preview().find(L"--b1\r\nContent-Type: text/plain"), std::wstring::npos);
    EXPECT_EQ(TextOf(w.txtDetails), details);
    ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_MESSAGESOURCE, 0);
    EXPECT_FALSE(w.Core().SourceView());
    EXPECT_EQ(wcell(0, 4), L"Gr\u00fc\u00dfe aus K\u00f6ln");
    EXPECT_EQ(Preview(), L"Sch\u00f6ne Gr\u00fc\u00dfe aus K\u00f6ln");

    // The text search: decoded words in any case; the check box is locked with the keyword.
    ::SendMessageW(w.chkText, BM_CLICK, 0, 0);
    SetKeyword(L"K\u00d6LN");
    ::SendMessageW(w.btnApplyFilter, BM_CLICK, 0, 0);
    EXPECT_EQ(ColumnTexts(0), (std::vector<std::string>{"0", "2"}));
    EXPECT_FALSE(Enabled(w.chkText));
    ::SendMessageW(w.btnClearFilter, BM_CLICK, 0, 0);
    EXPECT_TRUE(Enabled(w.chkText));
    ::SendMessageW(w.chkText, BM_CLICK, 0, 0);

    // Hide Copies, and the mailbox of two ticked messages: their stored bytes.
    ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_HIDECOPIES, 0);
    EXPECT_EQ(ColumnTexts(0), (std::vector<std::string>{"0", "1", "3"}));
    ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_HIDECOPIES, 0);
    Tick(1, true);
    Tick(3, true);
    SaveAs = (ExportTo / "picked.mbox").wstring();
    ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_EXPORTMAILBOX, 0);
    ASSERT_EQ(Saves.size(), 2u);
    EXPECT_EQ(Saves[1].Suggested, L"RecoveredEmails.mbox");
    const std::string mbox = ReadAll(ExportTo / "picked.mbox");
    EXPECT_EQ(mbox.rfind("From carol@example.net ", 0), 0u) << mbox.substr(0, 80);
    EXPECT_NE(mbox.find(mime[3]), std::string::npos);
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_FALSE(Shown[0].Error);
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
    // Refused, naming the image: libewf finds no EWF set in it (or the build has no libewf).
    EXPECT_NE(Narrow(Shown[0].Text).find("disk.E01"), std::string::npos) << Narrow(Shown[0].Text);
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
    EXPECT_NE(Narrow(Shown[0].Text)
                  .find("run Parcelwright as administrator to read drives; disk "
                        "images need no rights"),
              std::string::npos);
    EXPECT_EQ(RowCount(), 0);
    EXPECT_TRUE(Enabled(w.Handle()));
}

// The sample with two later copies (of items 0 and 3) after it: 14 messages.
std::vector<std::string> WithCopies(const std::vector<TStored>& Stored) {
    std::vector<std::string> texts;
    for (const TStored& m : Stored)
        texts.push_back(MessageText(m));
    texts.push_back(texts[0]);
    texts.push_back(texts[3]);
    return texts;
}

TEST_F(TWindowTest, StatusLineCopiesDetailsAndMailboxExport) {
    const std::vector<TStored> stored = Catalogue();
    Image = MakeImageOf(Folder.Path / "copies.img", WithCopies(stored)).string();
    TfrmMainWin32& w = StoredWindow();
    ClickButton(PW_ID_SCAN);
    ASSERT_EQ(RowCount(), 14);
    EXPECT_EQ(Status(), L"14 messages found \u00b7 14 shown \u00b7 0 ticked");

    // The details of a copy: its fields, where and by which rule it was found, which item it
    // copies, and its attachments (or that this build shows the stored text).
    ClickRow(12);
    const std::wstring foundAt =
        L"Found at byte 25600 (0x6400) by the standard rule \u00b7 copy of "
        L"item 0 (the same stored bytes)\r\n";
    if (CanDecodeMail())
        EXPECT_EQ(TextOf(w.txtDetails),
                  L"From: a@example.com   To: Bob <bob@example.org>\r\n"
                  L"Date: 2022-01-10 10:00:00 UTC (Mon, 10 Jan 2022 10:00:00 +0000)\r\n"
                  L"Subject: pear\r\n" +
                      foundAt + L"No attachments");
    else
        EXPECT_EQ(TextOf(w.txtDetails),
                  L"From: a@example.com   To: Bob <bob@example.org>\r\n"
                  L"Date: Mon, 10 Jan 2022 10:00:00 +0000\r\n"
                  L"Subject: pear\r\n" +
                      foundAt +
                      L"This build does not decode MIME mail: the list and preview show the "
                      L"stored text as found.");
    EXPECT_EQ(Narrow(Preview()), StoredPreview(stored[0]));
    ClickRow(2);
    EXPECT_NE(TextOf(w.txtDetails).find(L"Found at byte 5120 (0x1400) by the standard rule\r\n"),
              std::wstring::npos);

    // View > Hide Copies lists each stored text once, and says so; again brings them back.
    ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_HIDECOPIES, 0);
    EXPECT_EQ(RowCount(), 12);
    EXPECT_EQ(ColumnTexts(0).back(), "11");
    EXPECT_EQ(::GetMenuState(w.MainMenu1, PW_ID_HIDECOPIES, MF_BYCOMMAND) & MF_CHECKED,
              static_cast<UINT>(MF_CHECKED));
    EXPECT_EQ(Status(), L"14 messages found \u00b7 12 shown, copies hidden \u00b7 0 ticked");
    ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_HIDECOPIES, 0);
    EXPECT_EQ(RowCount(), 14);
    EXPECT_EQ(::GetMenuState(w.MainMenu1, PW_ID_HIDECOPIES, MF_BYCOMMAND) & MF_CHECKED, 0u);
    // View > Deleted in Mail Program Only: none of these is marked; again brings them back.
    ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_CLIENTDELETED, 0);
    EXPECT_EQ(RowCount(), 0);
    EXPECT_EQ(::GetMenuState(w.MainMenu1, PW_ID_CLIENTDELETED, MF_BYCOMMAND) & MF_CHECKED,
              static_cast<UINT>(MF_CHECKED));
    ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_CLIENTDELETED, 0);
    EXPECT_EQ(RowCount(), 14);

    // File > Export Selected as Mailbox: with nothing ticked it says so and asks for no file.
    ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_EXPORTMAILBOX, 0);
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_NE(Narrow(Shown[0].Text).find("No emails selected"), std::string::npos);
    EXPECT_TRUE(Saves.empty());

    // Ticked rows 1 and 12 (the copy of item 0), in list order: the same bytes the mailbox
    // writer gives for those messages. Its From lines carry the time of writing.
    Tick(1, true);
    Tick(12, true);
    EXPECT_EQ(Status(), L"14 messages found \u00b7 14 shown \u00b7 2 ticked");
    const fs::path mbox = Folder.Path / "recovered.mbox";
    SaveAs = mbox.wstring();
    const auto before = std::chrono::system_clock::now();
    ::SendMessageW(w.Handle(), WM_COMMAND, PW_ID_EXPORTMAILBOX, 0);
    const auto after = std::chrono::system_clock::now();
    ASSERT_EQ(Saves.size(), 1u);
    EXPECT_EQ(Saves[0].Title, L"Export Selected as Mailbox");
    EXPECT_EQ(Saves[0].Suggested, L"RecoveredEmails.mbox");
    EXPECT_EQ(Saves[0].Types, L"Mailboxes (*.mbox)");
    ASSERT_EQ(Shown.size(), 2u);
    EXPECT_FALSE(Shown[1].Error);
    EXPECT_EQ(Shown[1].Text, L"2 emails exported to the mailbox " + mbox.wstring());
    TEmailArray found(2);
    for (const std::size_t i : {0u, 1u}) {
        const TStored& m = stored[i == 0 ? 1 : 0];
        found[i].From = " " + m.From;
        found[i].Date = " " + m.Date;
        found[i].FullText = MessageText(m);
    }
    const std::string written = ReadAll(mbox);
    // Each "From " line carries its message's own date.
    EXPECT_EQ(written.rfind("From " + stored[1].From + " Tue Jan 11 10:00:00 2022\n", 0), 0u)
        << written;
    EXPECT_TRUE(written == MboxText(found, {0, 1}, before) ||
                written == MboxText(found, {0, 1}, after))
        << written;

    // The same from the keyboard: Ctrl+Shift+E; Ctrl+A ticks every row, but in the keyword box
    // it selects the keyword's text and ticks nothing.
    HoldKeys({VK_CONTROL, VK_SHIFT});
    MSG exportKey{w.lvFoundEmails, WM_KEYDOWN, 'E', 0, 0, {0, 0}};
    EXPECT_TRUE(w.PreTranslate(exportKey));
    EXPECT_EQ(Saves.size(), 2u);
    HoldKeys({VK_CONTROL});
    SetKeyword(L"invoice");
    MSG inBox{w.txtFilter, WM_KEYDOWN, 'A', 0, 0, {0, 0}};
    EXPECT_TRUE(w.PreTranslate(inBox));
    DWORD start = 1, end = 0;
    ::SendMessageW(w.txtFilter, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                   reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(end, 7u);
    EXPECT_EQ(w.Core().TickedCount(), 2u);
    MSG inList{w.lvFoundEmails, WM_KEYDOWN, 'A', 0, 0, {0, 0}};
    EXPECT_TRUE(w.PreTranslate(inList));
    EXPECT_EQ(w.Core().TickedCount(), 14u);
    EXPECT_TRUE(Ticked(13));
    HoldKeys({});
}

// The Cancel button, Esc in the progress window and closing the main window during a scan:
// each stops the scan, which keeps what it found, and the status line says it was cancelled.
// The sorted column's arrow, the whole text of a cut-off cell as its info tip, and the status
// line's pointer to the deep scan when many rows are fragments.
TEST_F(TWindowTest, SortArrowCellTipsAndDeepScanHint) {
    Image = MakeImageOf(Folder.Path / "faults.img", DecodingSample()).string();
    TfrmMainWin32& w = StoredWindow();
    ClickButton(PW_ID_SCAN);
    ASSERT_EQ(RowCount(), 5);
    EXPECT_EQ(Status(), L"5 messages found \u00b7 5 shown \u00b7 0 ticked \u00b7 2 have no sender "
                        L"and no subject: Options \u25b8 Deep Scan may find more");

    const HWND header = ListView_GetHeader(w.lvFoundEmails);
    auto arrows = [&] {
        std::vector<int> found; // column, and +1 up or -1 down
        for (int c = 0; c < 5; ++c) {
            HDITEMW item{};
            item.mask = HDI_FORMAT;
            EXPECT_TRUE(Header_GetItem(header, c, &item));
            if (item.fmt & HDF_SORTUP) found.push_back(c * 10 + 1);
            if (item.fmt & HDF_SORTDOWN) found.push_back(c * 10 - 1);
        }
        return found;
    };
    EXPECT_TRUE(arrows().empty());
    ClickHeader(4); // a new column keeps the direction: descending at the start
    EXPECT_EQ(arrows(), std::vector<int>{39});
    ClickHeader(4);
    EXPECT_EQ(arrows(), std::vector<int>{41});
    ClickHeader(1);
    EXPECT_EQ(arrows(), std::vector<int>{11});
    EXPECT_TRUE(w.Core().SortAscending());

    auto tip = [&](int Row, int Column) {
        wchar_t text[1024] = L"unchanged";
        NMLVGETINFOTIPW request{};
        request.hdr.hwndFrom = w.lvFoundEmails;
        request.hdr.idFrom = PW_ID_FOUNDEMAILS;
        request.hdr.code = LVN_GETINFOTIPW;
        request.pszText = text;
        request.cchTextMax = 1024;
        request.iItem = Row;
        request.iSubItem = Column;
        ::SendMessageW(w.Handle(), WM_NOTIFY, PW_ID_FOUNDEMAILS,
                       reinterpret_cast<LPARAM>(&request));
        return std::wstring(text);
    };
    // Rows in Date order now: the undated message last.
    ASSERT_EQ(Cell(4, 0), "2");
    EXPECT_EQ(tip(4, 1), L" sometime in the long hot summer of the year two thousand and one");
    EXPECT_EQ(Narrow(tip(4, 4)), Cell(4, 4));
    EXPECT_EQ(tip(4, 3), L""); // " Bob <bob@example.org>" fits
    EXPECT_EQ(tip(0, 1), L""); // a date of the usual length fits

    // A refill lists the rows in found order: no arrow.
    SetKeyword(L"e");
    ::SendMessageW(w.btnApplyFilter, BM_CLICK, 0, 0);
    Pump();
    EXPECT_TRUE(w.Core().FilterActive());
    EXPECT_TRUE(arrows().empty());
}

TEST_F(TWindowTest, ScanIsCancelledFromTheProgressWindow) {
    enum class TWay { Button, Escape, CloseMain };
    for (const TWay way : {TWay::Button, TWay::Escape, TWay::CloseMain}) {
        SCOPED_TRACE(static_cast<int>(way));
        Main.reset();
        Shown.clear();
        TfrmMainWin32& w = Window();
        auto actor = std::make_unique<TScanActor>();
        HWND focus = nullptr, cancel = nullptr;
        actor->Act = [&](HWND Wait) {
            cancel = ::GetDlgItem(Wait, IDCANCEL);
            focus = ::GetFocus();
            if (way == TWay::Button) {
                RECT r{};
                ::GetClientRect(cancel, &r);
                const LPARAM at = MAKELPARAM(r.right / 2, r.bottom / 2);
                ::PostMessageW(cancel, WM_LBUTTONDOWN, MK_LBUTTON, at);
                ::PostMessageW(cancel, WM_LBUTTONUP, 0, at);
            } else if (way == TWay::Escape) {
                ::PostMessageW(::GetFocus(), WM_KEYDOWN, VK_ESCAPE, 0);
            } else {
                ::PostMessageW(w.Handle(), WM_CLOSE, 0, 0);
            }
        };
        std::wstring counts, caption;
        bool cancelEnabled = true, mainEnabled = true;
        actor->Then = [&](HWND Wait) {
            ASSERT_TRUE(::IsWindow(Wait));
            counts = TextOf(::GetDlgItem(Wait, PW_ID_WAITCOUNTS));
            caption = TextOf(::GetDlgItem(Wait, PW_ID_WAITLABEL));
            cancelEnabled = ::IsWindowEnabled(::GetDlgItem(Wait, IDCANCEL)) != 0;
            mainEnabled = ::IsWindowEnabled(w.Handle()) != 0;
        };
        ClickButton(PW_ID_SCAN);
        Pump();
        ASSERT_TRUE(actor->Acted);
        ASSERT_TRUE(actor->Followed);
        actor.reset();
        // The progress window had the keys, on its Cancel button.
        EXPECT_EQ(focus, cancel);
        EXPECT_NE(counts.find(L"found \u00b7 stopping\u2026"), std::wstring::npos)
            << Narrow(counts);
        EXPECT_EQ(caption, L"Stopping the scan ......");
        EXPECT_FALSE(cancelEnabled);
        EXPECT_FALSE(mainEnabled);
        EXPECT_EQ(::FindWindowW(L"ParcelwrightWait", nullptr), nullptr);
        EXPECT_TRUE(Shown.empty());
        if (way == TWay::CloseMain) {
            // Closed once the scan had ended.
            EXPECT_EQ(w.Handle(), nullptr);
            continue;
        }
        EXPECT_TRUE(w.Core().ScanCancelled());
        EXPECT_LT(RowCount(), 12);
        EXPECT_EQ(Status().rfind(L"Scan cancelled: ", 0), 0u) << Narrow(Status());
        EXPECT_TRUE(Enabled(w.Handle()));
        EXPECT_EQ(w.WaitWindow(), nullptr);
        // The next scan, left alone, runs to its end.
        ClickButton(PW_ID_SCAN);
        EXPECT_EQ(RowCount(), 12);
        EXPECT_FALSE(w.Core().ScanCancelled());
    }
}

// Moved to a screen of another scale: the pictures, the font and every place made afresh.
TEST_F(TWindowTest, DpiChangeRemakesPicturesFontAndLayout) {
    TfrmMainWin32& w = Window();
    const auto iconSize = [](HIMAGELIST List) {
        int cx = 0, cy = 0;
        ImageList_GetIconSize(List, &cx, &cy);
        return cx;
    };
    RECT suggested{};
    ::GetWindowRect(w.Handle(), &suggested);
    ::SendMessageW(w.Handle(), WM_DPICHANGED, MAKEWPARAM(144, 144),
                   reinterpret_cast<LPARAM>(&suggested));
    const auto buttons =
        reinterpret_cast<HIMAGELIST>(::SendMessageW(w.tbButtons, TB_GETIMAGELIST, 0, 0));
    EXPECT_EQ(iconSize(buttons), 72);
    EXPECT_EQ(ImageList_GetImageCount(buttons), 4);
    EXPECT_EQ(iconSize(ListView_GetImageList(w.lvFoundEmails, LVSIL_SMALL)), 24);
    LOGFONTW font{};
    ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(w.txtFilter, WM_GETFONT, 0, 0)),
                 sizeof font, &font);
    EXPECT_EQ(font.lfHeight, -16);
    RECT client{};
    ::GetClientRect(w.Handle(), &client);
    EXPECT_EQ(client.right, 792 * 3 / 2);
    RECT list{};
    ::GetWindowRect(w.lvFoundEmails, &list);
    ::MapWindowPoints(nullptr, w.Handle(), reinterpret_cast<POINT*>(&list), 2);
    EXPECT_EQ(list.top, 104 * 3 / 2);
    RECT r{};
    ::SendMessageW(w.tbButtons, TB_GETRECT, PW_ID_DESELECTALL, reinterpret_cast<LPARAM>(&r));
    EXPECT_GE(r.right - r.left, 104 * 3 / 2);
    EXPECT_GE(r.right - r.left, CaptionWidth(w.tbButtons, L"Quick Deselect All"));
    EXPECT_GE(r.bottom - r.top, 72);
    RECT box{};
    ::SendMessageW(w.tbButtons, TB_GETRECT, PW_ID_SAVEEMAIL, reinterpret_cast<LPARAM>(&r));
    ::MapWindowPoints(w.tbButtons, w.Handle(), reinterpret_cast<POINT*>(&r), 2);
    ::GetWindowRect(w.GroupBox1, &box);
    ::MapWindowPoints(nullptr, w.Handle(), reinterpret_cast<POINT*>(&box), 2);
    EXPECT_LE(r.right, box.left);

    // A scan at the new scale shows its rows and the right picture size in its list.
    ClickButton(PW_ID_SCAN);
    EXPECT_EQ(RowCount(), 12);
}

TEST_F(TWindowTest, ScanWithNoDriveSaysWhyNothingWasScanned) {
    Hooks.ListDrives = [] { return TDriveArray{}; };
    TfrmMainWin32& w = Window();
    EXPECT_EQ(::SendMessageW(w.cbDrives, CB_GETCOUNT, 0, 0), 0);
    ClickButton(PW_ID_SCAN);
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_FALSE(Shown[0].Error);
    // The core's text whole, its arrow and ellipsis included.
    EXPECT_EQ(Shown[0].Text.rfind(L"Nothing was scanned: there is no drive you may read. Open a "
                                  L"disk image with File \u25b8 Open Disk Image\u2026",
                                  0),
              0u);
    EXPECT_EQ(RowCount(), 0);
    EXPECT_EQ(Status(), L"");
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

TEST(WinProgress, ShowsBytesCountsAndTheStoppingState) {
    TfrmWaitWin32 wait(5000, 96, nullptr);
    int cancels = 0;
    wait.OnCancel = [&] { ++cancels; };
    TScanProgress p;
    p.BytesTotal = 5000 * 512;
    p.BytesDone = 1250 * 512;
    p.Found = 42;
    p.Seconds = 2;
    wait.ShowProgress(p);
    EXPECT_EQ(::SendMessageW(wait.Bar(), PBM_GETPOS, 0, 0), 1250);
    EXPECT_EQ(TextOf(wait.BytesLabel()), L"625.0 KiB of 2.4 MiB (25%)");
    const std::wstring counts = TextOf(wait.CountsLabel());
    EXPECT_EQ(counts.rfind(L"42 messages found \u00b7 312.5 KiB/s", 0), 0u) << Narrow(counts);
    EXPECT_EQ(counts.substr(counts.size() - 9), L"0:06 left");
    // A sector step behind the bytes already shown does not move the bar back.
    wait.SetPosition(1000);
    EXPECT_EQ(::SendMessageW(wait.Bar(), PBM_GETPOS, 0, 0), 1250);
    EXPECT_EQ(TextOf(wait.CancelButton()), L"Cancel");
    EXPECT_TRUE(::IsWindowEnabled(wait.CancelButton()));
    EXPECT_EQ(TextOf(wait.Caption()), L"Please Wait ......");

    // The button and closing the window ask for the stop; asking is all they do.
    ::SendMessageW(wait.CancelButton(), BM_CLICK, 0, 0);
    ::SendMessageW(wait.Handle(), WM_CLOSE, 0, 0);
    EXPECT_EQ(cancels, 2);
    EXPECT_TRUE(::IsWindow(wait.Handle()));
    p.Cancelling = true;
    wait.ShowProgress(p);
    EXPECT_FALSE(::IsWindowEnabled(wait.CancelButton()));
    EXPECT_EQ(TextOf(wait.Caption()), L"Stopping the scan ......");
    EXPECT_EQ(TextOf(wait.CountsLabel()), L"42 messages found \u00b7 stopping\u2026");
}

TEST(WinText, StoredBytesAndTypedText) {
    EXPECT_EQ(DisplayFrom1252(std::string("a\x80\0b\nc\rd\r\n", 10)), L"a\u20AC b\r\nc\r\nd\r\n");
    EXPECT_EQ(CellFrom1252(std::string("\xE9t\xE9", 3)), L"\u00E9t\u00E9");
    wchar_t bad = 0;
    EXPECT_EQ(BytesFromTyped(L"\u20ACuro \u00C9t\u00E9", bad), std::string("\x80uro \xC9t\xE9"));
    EXPECT_FALSE(BytesFromTyped(L"x\u4E00", bad));
    EXPECT_EQ(bad, L'\u4E00');

    // The core's texts are UTF-8; a message naming a path in the system's code page still reads.
    EXPECT_EQ(WideFromUtf8("12 found \xC2\xB7 \xE2\x80\x9Cx\xE2\x80\x9D"),
              L"12 found \u00b7 \u201Cx\u201D");
    EXPECT_EQ(WideFromMessage("File \xE2\x96\xB8 Open"), L"File \u25B8 Open");
    EXPECT_EQ(WideFromMessage("C:\\caf\xE9"), WideFromSystem("C:\\caf\xE9"));
    EXPECT_EQ(EditLines(L"a\nb\r\nc\n"), L"a\r\nb\r\nc\r\n");

    // The save dialog's filter from the core's file types.
    std::wstring extension = L"x";
    EXPECT_EQ(SaveFilter(L"Mailboxes (*.mbox)", extension),
              std::wstring(L"Mailboxes (*.mbox)\0*.mbox\0All files (*.*)\0*.*\0", 46));
    EXPECT_EQ(extension, L"mbox");
    EXPECT_EQ(SaveFilter(L"Pictures (*.png *.jpg)", extension).substr(23, 12),
              std::wstring(L"*.png;*.jpg\0", 12));
    EXPECT_EQ(extension, L"png");
    SaveFilter(L"All files (*)", extension);
    EXPECT_EQ(extension, L"");

    // The decoded texts for an edit box: line ends as its own, NUL as a space.
    EXPECT_EQ(DisplayFromUtf8(std::string("K\xC3\xB6ln\0a\nb\rc\r\n", 12)),
              L"K\u00f6ln a\r\nb\r\nc\r\n");
    EXPECT_EQ(Utf8FromWide(L"K\u00f6ln \u4E00"), "K\xC3\xB6ln \xE4\xB8\x80");

    // Names a message gives its attachments, as files Windows makes in any folder.
    const std::pair<const wchar_t*, const wchar_t*> names[] = {
        {L"report.pdf", L"report.pdf"}, {L"a:b\\c/d*e?f\"g<h>i|j", L"a_b_c_d_e_f_g_h_i_j"},
        {L"tab\there", L"tab_here"},    {L"notes. . ", L"notes"},
        {L"...", L"attachment"},        {L"CON", L"_CON"},
        {L"con.txt", L"_con.txt"},      {L"Nul .tar.gz", L"_Nul .tar.gz"},
        {L"com1.log", L"_com1.log"},    {L"LPT9", L"_LPT9"},
        {L"COM10.txt", L"COM10.txt"},   {L"console.txt", L"console.txt"},
        {L"aux-data", L"aux-data"},
    };
    for (const auto& [given, safe] : names)
        EXPECT_EQ(WindowsSafeName(given), safe) << Narrow(given);
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
