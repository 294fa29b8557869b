#include "ui/win32/frmMainWin32.h"

#include <algorithm>
#include <array>
#include <cwctype>
#include <exception>
#include <iterator>
#include <numeric>
#include <vector>

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <windowsx.h>

#include "BuildInfo.h"
#include "disk/Error.h"
#include "ui/win32/WinIds.h"
#include "ui/win32/WinText.h"
#include "ui/win32/WinWindow.h"
#include "ui/win32/waitfrmWin32.h"

namespace {

const wchar_t* const MainClass = L"ParcelwrightMain";

// Where each control sits in the client area, in pixels at 96 dots per inch.
struct TPlace {
    int Id;
    int Left, Top, Width, Height;
};
// The picture buttons share one flat toolbar; each button is as wide as its slot (100 pixels and
// the 4 between two), so the pictures and captions centre where the separate buttons would.
constexpr TPlace Places[] = {
    {PW_ID_TOOLBAR, 6, 8, 416, 89},
    {PW_ID_GROUPBOX1, 424, 8, 177, 89},
    {PW_ID_DRIVES, 424 + 8, 8 + 32, 161, 22 + 8 * 18}, // the height holds the 8 dropped rows
    {PW_ID_FILTER, 608, 8, 177, 89},
    {PW_ID_KEYWORDLABEL, 608 + 8, 8 + 16, 100, 14},
    {PW_ID_TXTFILTER, 608 + 8, 8 + 32, 161, 21},
    {PW_ID_APPLYFILTER, 608 + 64, 8 + 64, 50, 17},
    {PW_ID_CLEARFILTER, 608 + 120, 8 + 64, 50, 17},
    {PW_ID_TEXTMODE, 608 + 8, 8 + 62, 54, 21},
    {PW_ID_FOUNDEMAILS, 8, 104, 777, 273},
    {PW_ID_MSGBODY, 8, 384, 777, 77},
    {PW_ID_DETAILS, 8, 465, 633, 80},
    {PW_ID_ATTACHMENTS, 645, 465, 140, 22 + 8 * 18}, // the height holds the 8 dropped rows
    {PW_ID_SAVEATTACHMENT, 645, 491, 140, 24},
};
constexpr int ClientWidth = 792, ClientHeight = 546;
constexpr int ButtonSlot = 104, ButtonHeight = 89, Picture = 48;
const wchar_t* const ButtonCaptions[] = {L"Scan", L"Quick Select All", L"Quick Deselect All",
                                         L"Export Selected"};

// Children are not clipped: the group boxes leave their inside to the window's background.
constexpr DWORD MainStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
constexpr DWORD MainExStyle = WS_EX_CONTROLPARENT;

// Dots per inch of a window: the per-monitor value where the system has it (Windows 10 on),
// else the screen's.
unsigned DpiOf(HWND Window) {
    using TGetDpiForWindow = UINT(WINAPI*)(HWND);
    static const auto getDpi = reinterpret_cast<TGetDpiForWindow>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpi != nullptr && Window != nullptr) {
        const UINT dpi = getDpi(Window);
        if (dpi != 0) return dpi;
    }
    const HDC screen = ::GetDC(nullptr);
    const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<unsigned>(dpi) : 96;
}

HICON LoadIconSized(int Id, int Size) {
    return static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(Id),
                                           IMAGE_ICON, Size, Size, LR_DEFAULTCOLOR));
}

HIMAGELIST MakeImageList(int Size, std::initializer_list<int> Icons) {
    const HIMAGELIST list =
        ImageList_Create(Size, Size, ILC_COLOR32 | ILC_MASK, static_cast<int>(Icons.size()), 0);
    for (const int id : Icons) {
        const HICON icon = LoadIconSized(id, Size);
        ImageList_AddIcon(list, icon);
        if (icon != nullptr) ::DestroyIcon(icon);
    }
    return list;
}

std::wstring WindowText(HWND Window) {
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(Window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextW(Window, text.data(), static_cast<int>(text.size()))));
    return text;
}

void DefaultShowMessage(HWND Owner, bool Error, const std::wstring& Title,
                        const std::wstring& Text) {
    ::MessageBoxW(Owner, Text.c_str(), Title.c_str(),
                  MB_OK | (Error ? MB_ICONERROR : MB_ICONINFORMATION));
}

bool DefaultAskYesNo(HWND Owner, const std::wstring& Title, const std::wstring& Text) {
    return ::MessageBoxW(Owner, Text.c_str(), Title.c_str(),
                         MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

int CALLBACK BrowseCallback(HWND Dialog, UINT Message, LPARAM, LPARAM Data) {
    if (Message == BFFM_INITIALIZED && Data != 0)
        ::SendMessageW(Dialog, BFFM_SETSELECTIONW, TRUE, Data);
    return 0;
}

// The older folder tree, for a system without the file dialog's folder mode.
std::wstring BrowseFolderTree(HWND Owner, const std::wstring& Prompt, const std::wstring& Initial,
                              bool AllowNew) {
    wchar_t path[MAX_PATH + 1] = {};
    BROWSEINFOW info{};
    info.hwndOwner = Owner;
    info.pszDisplayName = path;
    info.lpszTitle = Prompt.c_str();
    info.ulFlags =
        BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE | (AllowNew ? 0 : BIF_NONEWFOLDERBUTTON);
    if (!Initial.empty()) {
        info.lpfn = BrowseCallback;
        info.lParam = reinterpret_cast<LPARAM>(Initial.c_str());
    }
    const PIDLIST_ABSOLUTE item = ::SHBrowseForFolderW(&info);
    if (item == nullptr) return {};
    std::wstring chosen;
    if (::SHGetPathFromIDListW(item, path)) chosen = path;
    ::CoTaskMemFree(item);
    return chosen;
}

// A COM object held for a scope.
template <class T> struct TComHeld {
    T* Object = nullptr;
    TComHeld() = default;
    TComHeld(const TComHeld&) = delete;
    TComHeld& operator=(const TComHeld&) = delete;
    ~TComHeld() {
        if (Object != nullptr) Object->Release();
    }
    T* operator->() const { return Object; }
};

// The system's file dialog opens in Folder, whatever it used last; nothing where Folder is empty
// or is no folder.
void OpenIn(IFileDialog& Dialog, const std::wstring& Folder) {
    if (Folder.empty()) return;
    TComHeld<IShellItem> item;
    if (SUCCEEDED(::SHCreateItemFromParsingName(Folder.c_str(), nullptr, IID_IShellItem,
                                                reinterpret_cast<void**>(&item.Object))))
        Dialog.SetFolder(item.Object);
}

// The chosen file or folder of a dialog that was shown; empty when it was cancelled.
std::wstring ChosenOf(IFileDialog& Dialog, HWND Owner) {
    if (FAILED(Dialog.Show(Owner))) return {};
    TComHeld<IShellItem> item;
    if (FAILED(Dialog.GetResult(&item.Object))) return {};
    wchar_t* path = nullptr;
    if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) || path == nullptr) return {};
    std::wstring chosen = path;
    ::CoTaskMemFree(path);
    return chosen;
}

// The folder chooser: the system's file dialog in its folder mode, with the path box a user can
// type or paste a folder into (new folders may always be made there). Where the system has no
// such dialog, the folder tree.
std::wstring DefaultBrowseFolder(HWND Owner, const std::wstring& Prompt,
                                 const std::wstring& Initial, bool AllowNew) {
    TComHeld<IFileOpenDialog> dialog;
    if (FAILED(::CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IFileOpenDialog, reinterpret_cast<void**>(&dialog.Object))))
        return BrowseFolderTree(Owner, Prompt, Initial, AllowNew);
    FILEOPENDIALOGOPTIONS options = 0;
    dialog->GetOptions(&options);
    dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST |
                       FOS_NOCHANGEDIR);
    dialog->SetTitle(Prompt.c_str());
    OpenIn(*dialog.Object, Initial);
    return ChosenOf(*dialog.Object, Owner);
}

// The user's documents folder, where a save dialog opens before anything was saved.
std::wstring DocumentsFolder() {
    wchar_t path[MAX_PATH + 1] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, path)))
        return {};
    return path;
}

std::wstring DefaultChooseImage(HWND Owner) {
    std::vector<wchar_t> file(32768, L'\0');
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = Owner;
    ofn.lpstrFilter = L"Disk images (*.img;*.dd;*.raw;*.bin;*.iso;*.vhd;*.E01)\0"
                      L"*.img;*.dd;*.raw;*.bin;*.iso;*.vhd;*.E01\0All files (*.*)\0*.*\0";
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrTitle = L"Open Disk Image";
    // The process's folder stays where it was: it is where the next file dialog would open.
    ofn.Flags =
        OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_EXPLORER | OFN_NOCHANGEDIR;
    if (!::GetOpenFileNameW(&ofn)) return {};
    return file.data();
}

// The older save dialog, for a system without the new one.
std::wstring SaveFileClassic(HWND Owner, const std::wstring& Title, const std::wstring& Suggested,
                             const std::wstring& Filter, const std::wstring& Extension,
                             const std::wstring& Folder) {
    std::vector<wchar_t> file(32768, L'\0');
    std::copy_n(Suggested.begin(), std::min(Suggested.size(), file.size() - 1), file.begin());
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = Owner;
    ofn.lpstrFilter = Filter.c_str();
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrTitle = Title.c_str();
    ofn.lpstrInitialDir = Folder.empty() ? nullptr : Folder.c_str();
    ofn.lpstrDefExt = Extension.empty() ? nullptr : Extension.c_str();
    ofn.Flags =
        OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_EXPLORER | OFN_NOCHANGEDIR;
    if (!::GetSaveFileNameW(&ofn)) return {};
    return file.data();
}

// The save dialog opens in Folder: left to itself it would open where a file was last opened,
// which is most often the disk image's own folder, the one place recovered mail must not go.
std::wstring DefaultChooseSaveFile(HWND Owner, const std::wstring& Title,
                                   const std::wstring& Suggested, const std::wstring& Types,
                                   const std::wstring& Folder) {
    std::wstring extension;
    const std::wstring filter = SaveFilter(Types, extension);
    TComHeld<IFileSaveDialog> dialog;
    if (FAILED(::CoCreateInstance(CLSID_FileSaveDialog, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IFileSaveDialog, reinterpret_cast<void**>(&dialog.Object))))
        return SaveFileClassic(Owner, Title, Suggested, filter, extension, Folder);
    // The filter's pairs of name and patterns, each ended by NUL.
    std::vector<std::wstring> parts;
    for (std::size_t at = 0; at < filter.size();) {
        const std::size_t end = filter.find(L'\0', at);
        if (end == std::wstring::npos || end == at) break;
        parts.push_back(filter.substr(at, end - at));
        at = end + 1;
    }
    std::vector<COMDLG_FILTERSPEC> specs;
    for (std::size_t i = 0; i + 1 < parts.size(); i += 2)
        specs.push_back({parts[i].c_str(), parts[i + 1].c_str()});
    FILEOPENDIALOGOPTIONS options = 0;
    dialog->GetOptions(&options);
    dialog->SetOptions(options | FOS_OVERWRITEPROMPT | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST |
                       FOS_NOCHANGEDIR);
    if (!specs.empty()) dialog->SetFileTypes(static_cast<UINT>(specs.size()), specs.data());
    if (!extension.empty()) dialog->SetDefaultExtension(extension.c_str());
    dialog->SetTitle(Title.c_str());
    dialog->SetFileName(Suggested.c_str());
    OpenIn(*dialog.Object, Folder);
    return ChosenOf(*dialog.Object, Owner);
}

} // namespace

TfrmMainWin32::TfrmMainWin32() : TfrmMainWin32(THooks{}) {}

TfrmMainWin32::TfrmMainWin32(THooks Hooks)
    : FHooks(std::move(Hooks)),
      FCore(*this, FHooks.ListDrives,
            // Text columns sort by the user's locale ignoring case, on the characters shown: the
            // stored bytes' in the source view, the decoded text's otherwise. Each text's sort key
            // is made once (LCMapString orders as CompareString does): a CompareString per
            // comparison took seconds on a quarter of a million rows.
            [this](const std::vector<std::string_view>& Texts) -> TTextOrder {
                struct TKeys {
                    std::string Arena;
                    std::vector<std::size_t> Ends;
                    std::string_view Key(std::size_t I) const {
                        const std::size_t begin = I == 0 ? 0 : Ends[I - 1];
                        return std::string_view(Arena).substr(begin, Ends[I] - begin);
                    }
                };
                auto keys = std::make_shared<TKeys>();
                keys->Ends.reserve(Texts.size());
                std::string key;
                const bool stored = FCore.SourceView();
                for (const std::string_view text : Texts) {
                    const std::wstring wide = stored ? CellFrom1252(text) : WideFromUtf8(text);
                    const int length = static_cast<int>(wide.size());
                    const DWORD flags = LCMAP_SORTKEY | NORM_IGNORECASE;
                    int size = length == 0 ? 0
                                           : ::LCMapStringW(LOCALE_USER_DEFAULT, flags, wide.data(),
                                                            length, nullptr, 0);
                    key.assign(static_cast<std::size_t>(std::max(size, 0)), '\0');
                    if (size > 0)
                        size = ::LCMapStringW(LOCALE_USER_DEFAULT, flags, wide.data(), length,
                                              reinterpret_cast<LPWSTR>(key.data()), size);
                    // The key ends with a zero byte, which orders as the end of a shorter key
                    // would: it is left off.
                    if (size > 0)
                        keys->Arena.append(key.data(), static_cast<std::size_t>(size) - 1);
                    keys->Ends.push_back(keys->Arena.size());
                }
                return [keys](std::size_t A, std::size_t B) {
                    // Unsigned bytes, as the keys are meant to be compared.
                    const int r = keys->Key(A).compare(keys->Key(B));
                    return r < 0 ? -1 : (r > 0 ? 1 : 0);
                };
            }) {
    if (!FHooks.ShowMessage)
        FHooks.ShowMessage = [this](bool Error, const std::wstring& Title,
                                    const std::wstring& Text) {
            DefaultShowMessage(FHandle, Error, Title, Text);
        };
    if (!FHooks.AskYesNo)
        FHooks.AskYesNo = [this](const std::wstring& Title, const std::wstring& Text) {
            return DefaultAskYesNo(FHandle, Title, Text);
        };
    if (!FHooks.BrowseFolder)
        FHooks.BrowseFolder = [this](const std::wstring& Prompt, const std::wstring& Initial,
                                     bool AllowNew) {
            return DefaultBrowseFolder(FHandle, Prompt, Initial, AllowNew);
        };
    if (!FHooks.ChooseImage) FHooks.ChooseImage = [this] { return DefaultChooseImage(FHandle); };
    if (!FHooks.ChooseSaveFile)
        FHooks.ChooseSaveFile = [this](const std::wstring& Title, const std::wstring& Suggested,
                                       const std::wstring& Types, const std::wstring& Folder) {
            return DefaultChooseSaveFile(FHandle, Title, Suggested, Types, Folder);
        };
    if (!FHooks.OpenDocument)
        FHooks.OpenDocument = [](const std::wstring& Path) {
            const auto result = reinterpret_cast<INT_PTR>(
                ::ShellExecuteW(nullptr, L"open", Path.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
            return result > 32;
        };

    static const bool registered = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.hIcon = LoadIconSized(PW_ICON_APP, ::GetSystemMetrics(SM_CXICON));
        wc.hIconSm = LoadIconSized(PW_ICON_APP, ::GetSystemMetrics(SM_CXSMICON));
        wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = MainClass;
        return ::RegisterClassExW(&wc) != 0;
    }();
    (void)registered;

    const std::wstring title = L"Parcelwright v" + WideFromSystem(PW_VERSION);
    FHandle = ::CreateWindowExW(MainExStyle, MainClass, title.c_str(), MainStyle, CW_USEDEFAULT,
                                CW_USEDEFAULT, ClientWidth, ClientHeight, nullptr, nullptr,
                                ::GetModuleHandleW(nullptr), this);
    if (FHandle == nullptr) throw TPwError("The main window cannot be created");
    FDpi = DpiOf(FHandle);
    MakeFont();
    BuildMenu();
    BuildControls();
    Layout();
    FormCreate();
}

TfrmMainWin32::~TfrmMainWin32() {
    FWait.reset();
    if (FHandle != nullptr) {
        ::SetWindowLongPtrW(FHandle, GWLP_USERDATA, 0);
        ::DestroyWindow(FHandle);
    }
    if (FAccelerators != nullptr) ::DestroyAcceleratorTable(FAccelerators);
    if (ilIcons != nullptr) ImageList_Destroy(ilIcons);
    if (ilButtons != nullptr) ImageList_Destroy(ilButtons);
    if (FFont != nullptr) ::DeleteObject(FFont);
    if (FPreviewBrush != nullptr) ::DeleteObject(FPreviewBrush);
}

void TfrmMainWin32::MakeFont() {
    // "MS Sans Serif" 8 pt, as the system's dialog font stands for it today.
    LOGFONTW font{};
    font.lfHeight = -::MulDiv(8, static_cast<int>(FDpi), 72);
    font.lfWeight = FW_NORMAL;
    font.lfCharSet = DEFAULT_CHARSET;
    font.lfQuality = CLEARTYPE_QUALITY;
    wcscpy_s(font.lfFaceName, L"MS Shell Dlg 2");
    const HFONT made = ::CreateFontIndirectW(&font);
    if (FFont != nullptr) ::DeleteObject(FFont);
    FFont = made;
}

void TfrmMainWin32::BuildMenu() {
    MainMenu1 = ::CreateMenu();
    const HMENU file = ::CreatePopupMenu();
    // Every command of the picture buttons is in the File menu too, with its key.
    ::AppendMenuW(file, MF_STRING, PW_ID_OPENIMAGE, L"&Open Disk Image\u2026\tCtrl+O");
    ::AppendMenuW(file, MF_STRING, PW_ID_SCAN, L"&Scan\tF5");
    ::AppendMenuW(file, MF_STRING, PW_ID_SAVEEMAIL, L"&Export Selected\u2026\tCtrl+E");
    ::AppendMenuW(file, MF_STRING, PW_ID_EXPORTMAILBOX,
                  L"Export Selected as &Mailbox\u2026\tCtrl+Shift+E");
    ::AppendMenuW(file, MF_STRING, PW_ID_SELECTALL, L"Quick Select &All\tCtrl+A");
    ::AppendMenuW(file, MF_STRING, PW_ID_DESELECTALL, L"Quick &Deselect All\tCtrl+Shift+A");
    ::AppendMenuW(file, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuW(file, MF_STRING, PW_ID_EXIT, L"E&xit");
    const HMENU view = ::CreatePopupMenu();
    // Without decoding the stored text is all there is to show: ticked, and greyed.
    ::AppendMenuW(view, MF_STRING | (CanDecodeMail() ? MF_UNCHECKED : MF_CHECKED | MF_GRAYED),
                  PW_ID_MESSAGESOURCE, L"Message &Source\tCtrl+U");
    ::AppendMenuW(view, MF_STRING | MF_UNCHECKED, PW_ID_HIDECOPIES, L"Hide &Copies");
    ::AppendMenuW(view, MF_STRING | MF_UNCHECKED, PW_ID_CLIENTDELETED,
                  L"&Deleted in Mail Program Only");
    const HMENU options = ::CreatePopupMenu();
    ::AppendMenuW(options, MF_STRING | MF_UNCHECKED, PW_ID_DEEPSCAN, L"Deep Scan");
    const HMENU help = ::CreatePopupMenu();
    ::AppendMenuW(help, MF_STRING, PW_ID_HELP, L"Parcelwright Help\tF1");
    ::AppendMenuW(help, MF_STRING, PW_ID_ABOUT, L"About Parcelwright\u2026");
    ::AppendMenuW(MainMenu1, MF_POPUP, reinterpret_cast<UINT_PTR>(file), L"&File");
    ::AppendMenuW(MainMenu1, MF_POPUP, reinterpret_cast<UINT_PTR>(view), L"&View");
    ::AppendMenuW(MainMenu1, MF_POPUP, reinterpret_cast<UINT_PTR>(options), L"&Options");
    ::AppendMenuW(MainMenu1, MF_POPUP, reinterpret_cast<UINT_PTR>(help), L"&Help");
    ::SetMenu(FHandle, MainMenu1);

    ACCEL keys[] = {{FVIRTKEY, VK_F1, PW_ID_HELP},
                    {FVIRTKEY | FCONTROL, 'O', PW_ID_OPENIMAGE},
                    {FVIRTKEY, VK_F5, PW_ID_SCAN},
                    {FVIRTKEY | FCONTROL, 'U', PW_ID_MESSAGESOURCE},
                    {FVIRTKEY | FCONTROL, 'E', PW_ID_SAVEEMAIL},
                    {FVIRTKEY | FCONTROL | FSHIFT, 'E', PW_ID_EXPORTMAILBOX},
                    {FVIRTKEY | FCONTROL, 'A', PW_ID_SELECTALL},
                    {FVIRTKEY | FCONTROL | FSHIFT, 'A', PW_ID_DESELECTALL}};
    FAccelerators = ::CreateAcceleratorTableW(keys, static_cast<int>(std::size(keys)));
}

void TfrmMainWin32::BuildControls() {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    const auto child = [&](DWORD ExStyle, const wchar_t* Class, const wchar_t* Text, DWORD Style,
                           int Id) {
        const HWND made = ::CreateWindowExW(
            ExStyle, Class, Text, WS_CHILD | WS_VISIBLE | Style, 0, 0, 10, 10, FHandle,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(Id)), instance, nullptr);
        ::SendMessageW(made, WM_SETFONT, reinterpret_cast<WPARAM>(FFont), FALSE);
        return made;
    };

    // Creation order is the tab order: the results list, the filter's controls, the preview,
    // the drive box. The toolbar's buttons take no keyboard focus.
    // Owner data: the list keeps only a row count, selection and focus. A quarter of a million
    // rows inserted and deleted one by one took the list tens of seconds per refill.
    lvFoundEmails = child(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                          WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS |
                              LVS_OWNERDATA | LVS_SHAREIMAGELISTS, // the window owns them
                          PW_ID_FOUNDEMAILS);
    // Info tips: a cell the list cuts off shows its whole text on hover (LVN_GETINFOTIPW).
    ListView_SetExtendedListViewStyle(lvFoundEmails, LVS_EX_CHECKBOXES | LVS_EX_GRIDLINES |
                                                         LVS_EX_FULLROWSELECT |
                                                         LVS_EX_DOUBLEBUFFER | LVS_EX_INFOTIP);
    // The boxes' pictures are asked for (LVN_GETDISPINFOW) like the texts: the ticks are the
    // core's, and an owner-data list would keep none.
    ListView_SetCallbackMask(lvFoundEmails, LVIS_STATEIMAGEMASK);
    ::SetWindowSubclass(lvFoundEmails, ListProc, 0, reinterpret_cast<DWORD_PTR>(this));
    for (int c = 0; c < ResultColumnCount; ++c) {
        std::wstring caption = WideFromSystem(ColumnCaption(static_cast<TResultColumn>(c)));
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM | LVCF_FMT;
        column.fmt = LVCFMT_LEFT;
        column.cx = Px(ResultColumnWidths[c]);
        column.pszText = caption.data();
        column.iSubItem = c;
        ListView_InsertColumn(lvFoundEmails, c, &column);
    }

    lblKeyword = child(0, L"STATIC", L"&Keyword", SS_LEFT, PW_ID_KEYWORDLABEL);
    txtFilter = child(WS_EX_CLIENTEDGE, L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL, PW_ID_TXTFILTER);
    btnApplyFilter = child(0, L"BUTTON", L"Apply", WS_TABSTOP | BS_PUSHBUTTON, PW_ID_APPLYFILTER);
    btnClearFilter = child(0, L"BUTTON", L"Clear", WS_TABSTOP | BS_PUSHBUTTON, PW_ID_CLEARFILTER);
    ::EnableWindow(btnClearFilter, FALSE);
    chkText = child(0, L"BUTTON", L"Text", WS_TABSTOP | BS_AUTOCHECKBOX, PW_ID_TEXTMODE);
    ::EnableWindow(chkText, CanDecodeMail());

    // The preview: read-only, wrapping, no scroll bars; the whole body, however long.
    txtmsgbody = child(WS_EX_CLIENTEDGE, L"EDIT", L"",
                       WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, PW_ID_MSGBODY);
    ::SendMessageW(txtmsgbody, EM_SETLIMITTEXT, 0, 0);
    FPreviewBrush = ::CreateSolidBrush(::GetSysColor(COLOR_WINDOW));

    cbDrives =
        child(0, WC_COMBOBOXEXW, L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, PW_ID_DRIVES);

    txtDetails = child(WS_EX_CLIENTEDGE, L"EDIT", L"",
                       WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, PW_ID_DETAILS);
    cbAttachments =
        child(0, L"COMBOBOX", L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, PW_ID_ATTACHMENTS);
    ::SendMessageW(cbAttachments, CB_SETCUEBANNER, 0, reinterpret_cast<LPARAM>(L"No attachments"));
    ::EnableWindow(cbAttachments, FALSE);
    btnSaveAttachment = child(0, L"BUTTON", L"Save Attachment\u2026", WS_TABSTOP | BS_PUSHBUTTON,
                              PW_ID_SAVEATTACHMENT);
    ::EnableWindow(btnSaveAttachment, FALSE);

    tbButtons =
        child(0, TOOLBARCLASSNAMEW, L"",
              TBSTYLE_FLAT | CCS_NORESIZE | CCS_NODIVIDER | CCS_NOPARENTALIGN, PW_ID_TOOLBAR);
    ::SendMessageW(tbButtons, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    const int ids[] = {PW_ID_SCAN, PW_ID_SELECTALL, PW_ID_DESELECTALL, PW_ID_SAVEEMAIL};
    TBBUTTON made[4] = {};
    for (int i = 0; i < 4; ++i) {
        made[i].iBitmap = i;
        made[i].idCommand = ids[i];
        made[i].fsState = TBSTATE_ENABLED;
        made[i].fsStyle = BTNS_BUTTON;
        made[i].iString = reinterpret_cast<INT_PTR>(ButtonCaptions[i]);
    }
    ::SendMessageW(tbButtons, TB_ADDBUTTONSW, 4, reinterpret_cast<LPARAM>(made));

    Filter = child(0, L"BUTTON", L"Filter Emails", BS_GROUPBOX, PW_ID_FILTER);
    GroupBox1 = child(0, L"BUTTON", L"Select Drive To Scan", BS_GROUPBOX, PW_ID_GROUPBOX1);

    // Below the fixed client area, as wide as the window; no size grip on a window of fixed size.
    sbStatus = child(0, STATUSCLASSNAMEW, L"", CCS_BOTTOM, PW_ID_STATUS);
    MakeImageLists();
}

void TfrmMainWin32::MakeImageLists() {
    const HIMAGELIST icons = MakeImageList(Px(16), {PW_ICON_DRIVE, PW_ICON_ENVELOPE});
    const HIMAGELIST buttons = MakeImageList(
        Px(Picture), {PW_ICON_SCAN, PW_ICON_SELECTALL, PW_ICON_DESELECTALL, PW_ICON_EXPORT});
    ListView_SetImageList(lvFoundEmails, icons, LVSIL_SMALL);
    ::SendMessageW(cbDrives, CBEM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(icons));
    ::SendMessageW(tbButtons, TB_SETBITMAPSIZE, 0, MAKELPARAM(Px(Picture), Px(Picture)));
    ::SendMessageW(tbButtons, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(buttons));
    // The controls let go of the old lists above; now they can go.
    if (ilIcons != nullptr) ImageList_Destroy(ilIcons);
    if (ilButtons != nullptr) ImageList_Destroy(ilButtons);
    ilIcons = icons;
    ilButtons = buttons;
}

std::array<int, 4> TfrmMainWin32::ButtonWidths() const {
    // Each caption in the toolbar's font, with the toolbar's own margins either side; a picture
    // needs as much room as its width.
    const HDC dc = ::GetDC(tbButtons);
    const HGDIOBJ old = ::SelectObject(dc, FFont);
    const auto padding = static_cast<DWORD>(::SendMessageW(tbButtons, TB_GETPADDING, 0, 0));
    const int margins = LOWORD(padding) + Px(4);
    std::array<int, 4> need{}, widths{};
    for (std::size_t i = 0; i < need.size(); ++i) {
        SIZE extent{};
        ::GetTextExtentPoint32W(dc, ButtonCaptions[i], static_cast<int>(wcslen(ButtonCaptions[i])),
                                &extent);
        need[i] = std::max<int>(extent.cx, Px(Picture)) + margins;
        widths[i] = std::max(Px(ButtonSlot), need[i]);
    }
    ::SelectObject(dc, old);
    ::ReleaseDC(tbButtons, dc);
    // The buttons keep to their four slots where they can: a wide caption takes its room from
    // the buttons with room to spare, the most first, rather than from the drive box beside them.
    int excess = std::accumulate(widths.begin(), widths.end(), 0) - 4 * Px(ButtonSlot);
    while (excess > 0) {
        std::size_t most = 0;
        for (std::size_t i = 1; i < widths.size(); ++i)
            if (widths[i] - need[i] > widths[most] - need[most]) most = i;
        const int spare = widths[most] - need[most];
        if (spare <= 0) break;
        const int take = std::min(spare, excess);
        widths[most] -= take;
        excess -= take;
    }
    return widths;
}

void TfrmMainWin32::Layout() {
    // The frame follows the fixed client area and the menu bar.
    ::SendMessageW(sbStatus, WM_SIZE, 0, 0);
    RECT status{};
    ::GetWindowRect(sbStatus, &status);
    RECT frame{0, 0, Px(ClientWidth), Px(ClientHeight) + (status.bottom - status.top)};
    ::AdjustWindowRectEx(&frame, MainStyle, TRUE, MainExStyle);
    ::SetWindowPos(FHandle, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    for (const TPlace& place : Places)
        ::SetWindowPos(::GetDlgItem(FHandle, place.Id), nullptr, Px(place.Left), Px(place.Top),
                       Px(place.Width), Px(place.Height), SWP_NOZORDER | SWP_NOACTIVATE);
    const std::array<int, 4> widths = ButtonWidths();
    const auto [narrowest, widest] = std::minmax_element(widths.begin(), widths.end());
    ::SetWindowPos(tbButtons, nullptr, 0, 0, std::accumulate(widths.begin(), widths.end(), 0),
                   Px(ButtonHeight), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ::SendMessageW(tbButtons, TB_SETBITMAPSIZE, 0, MAKELPARAM(Px(Picture), Px(Picture)));
    ::SendMessageW(tbButtons, TB_SETBUTTONWIDTH, 0, MAKELPARAM(*narrowest, *widest));
    ::SendMessageW(tbButtons, TB_SETBUTTONSIZE, 0, MAKELPARAM(*widest, Px(ButtonHeight)));
    for (std::size_t i = 0; i < widths.size(); ++i) {
        TBBUTTONINFOW info{};
        info.cbSize = sizeof info;
        info.dwMask = TBIF_SIZE | TBIF_BYINDEX;
        info.cx = static_cast<WORD>(widths[i]);
        ::SendMessageW(tbButtons, TB_SETBUTTONINFOW, i, reinterpret_cast<LPARAM>(&info));
    }
    ::SendMessageW(sbStatus, WM_SIZE, 0, 0);
    for (int c = 0; c < ResultColumnCount; ++c)
        ListView_SetColumnWidth(lvFoundEmails, c, Px(ResultColumnWidths[c]));
    // "Item Num" whole in its header, whatever the font: the header's margins are 3 edges a side.
    const std::wstring itemNum = WideFromSystem(ColumnCaption(TResultColumn::ItemNum));
    const int header = ListView_GetStringWidth(lvFoundEmails, itemNum.c_str()) +
                       6 * ::GetSystemMetrics(SM_CXEDGE) + Px(2);
    if (header > Px(ResultColumnWidths[0])) ListView_SetColumnWidth(lvFoundEmails, 0, header);
    ::SendMessageW(cbDrives, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), Px(16));
}

void TfrmMainWin32::Show(int ShowCommand) {
    RECT area{}, own{};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    ::GetWindowRect(FHandle, &own);
    const int width = own.right - own.left, height = own.bottom - own.top;
    ::SetWindowPos(FHandle, nullptr, std::max<int>(area.left, (area.left + area.right - width) / 2),
                   std::max<int>(area.top, (area.top + area.bottom - height) / 2), 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER);
    ::ShowWindow(FHandle, ShowCommand);
    ::UpdateWindow(FHandle);
}

bool TfrmMainWin32::PreTranslate(MSG& Message) {
    // Ctrl+A in the keyword box selects its text, as in any text box.
    const bool selectText = Message.message == WM_KEYDOWN && Message.wParam == 'A' &&
                            Message.hwnd == txtFilter && ::GetKeyState(VK_CONTROL) < 0 &&
                            ::GetKeyState(VK_SHIFT) >= 0;
    if (selectText) {
        ::SendMessageW(txtFilter, EM_SETSEL, 0, -1);
        return true;
    }
    // Enter in the keyword box applies it.
    if (Message.message == WM_KEYDOWN && Message.wParam == VK_RETURN && Message.hwnd == txtFilter) {
        Command(PW_ID_APPLYFILTER);
        return true;
    }
    if (::TranslateAcceleratorW(FHandle, FAccelerators, &Message)) return true;
    return ::IsDialogMessageW(FHandle, &Message) != 0;
}

LRESULT CALLBACK TfrmMainWin32::WindowProc(HWND Window, UINT Message, WPARAM WParam,
                                           LPARAM LParam) {
    auto* self = WindowOwner<TfrmMainWin32>(Window, Message, LParam);
    if (self == nullptr || self->FHandle == nullptr)
        return ::DefWindowProcW(Window, Message, WParam, LParam);
    return self->Handle(Message, WParam, LParam);
}

LRESULT TfrmMainWin32::Handle(UINT Message, WPARAM WParam, LPARAM LParam) {
    switch (Message) {
    case WM_COMMAND:
        // Buttons and the toolbar say BN_CLICKED; menus and the F1 key come without a control.
        if (HIWORD(WParam) == BN_CLICKED || LParam == 0) {
            Command(LOWORD(WParam));
            return 0;
        }
        break;
    case WM_NOTIFY:
        return Notify(*reinterpret_cast<const NMHDR*>(LParam));
    case WM_CTLCOLORSTATIC:
        // The read-only preview and details keep a text box's background.
        if (reinterpret_cast<HWND>(LParam) == txtmsgbody ||
            reinterpret_cast<HWND>(LParam) == txtDetails) {
            const auto dc = reinterpret_cast<HDC>(WParam);
            ::SetBkColor(dc, ::GetSysColor(COLOR_WINDOW));
            ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
            return reinterpret_cast<LRESULT>(FPreviewBrush);
        }
        [[fallthrough]];
    case WM_CTLCOLORBTN: {
        // Labels, group boxes and buttons on the button face.
        const auto dc = reinterpret_cast<HDC>(WParam);
        ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
        ::SetTextColor(dc, ::GetSysColor(COLOR_BTNTEXT));
        return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_DPICHANGED: {
        // Moved to a screen of another scale: font, pictures and places made afresh for it.
        FDpi = HIWORD(WParam);
        const HFONT old = FFont;
        FFont = nullptr;
        MakeFont();
        for (HWND control = ::GetWindow(FHandle, GW_CHILD); control != nullptr;
             control = ::GetWindow(control, GW_HWNDNEXT))
            ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FFont), TRUE);
        if (old != nullptr) ::DeleteObject(old);
        MakeImageLists();
        const auto* suggested = reinterpret_cast<const RECT*>(LParam);
        ::SetWindowPos(FHandle, nullptr, suggested->left, suggested->top, 0, 0,
                       SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        Layout();
        return 0;
    }
    case WM_CLOSE:
        // Closing during a scan cancels it; the window closes when the scan has ended.
        if (FCore.MayClose()) ::DestroyWindow(FHandle);
        return 0;
    case WM_DESTROY:
        FHandle = nullptr;
        if (FHooks.QuitOnClose) ::PostQuitMessage(0);
        return 0;
    default:
        break;
    }
    return ::DefWindowProcW(FHandle, Message, WParam, LParam);
}

void TfrmMainWin32::Command(int Id) {
    switch (Id) {
    case PW_ID_SCAN:
        Guarded(&TfrmMainWin32::sbScanClick);
        break;
    case PW_ID_SELECTALL:
        Guarded(&TfrmMainWin32::sbSelectAllClick);
        break;
    case PW_ID_DESELECTALL:
        Guarded(&TfrmMainWin32::sbDeselectAllClick);
        break;
    case PW_ID_SAVEEMAIL:
        Guarded(&TfrmMainWin32::sbSaveEmailClick);
        break;
    case PW_ID_APPLYFILTER:
        Guarded(&TfrmMainWin32::btnApplyFilterClick);
        break;
    case PW_ID_CLEARFILTER:
        Guarded(&TfrmMainWin32::btnClearFilterClick);
        break;
    case PW_ID_EXPORTMAILBOX:
        Guarded(&TfrmMainWin32::mnuExportMailboxClick);
        break;
    case PW_ID_MESSAGESOURCE:
        Guarded(&TfrmMainWin32::mnuMessageSourceClick);
        break;
    case PW_ID_HIDECOPIES:
        Guarded(&TfrmMainWin32::mnuHideCopiesClick);
        break;
    case PW_ID_SAVEATTACHMENT:
        Guarded(&TfrmMainWin32::btnSaveAttachmentClick);
        break;
    case PW_ID_CLIENTDELETED:
        Guarded(&TfrmMainWin32::mnuClientDeletedClick);
        break;
    case PW_ID_OPENIMAGE:
        Guarded(&TfrmMainWin32::mnuOpenImageClick);
        break;
    case PW_ID_EXIT:
        ::SendMessageW(FHandle, WM_CLOSE, 0, 0);
        break;
    case PW_ID_DEEPSCAN:
        Guarded(&TfrmMainWin32::mnuDeepScanClick);
        break;
    case PW_ID_HELP:
        Guarded(&TfrmMainWin32::mnuHelpClick);
        break;
    case PW_ID_ABOUT:
        Guarded(&TfrmMainWin32::mnuAboutClick);
        break;
    default:
        break;
    }
}

LRESULT TfrmMainWin32::Notify(const NMHDR& Header) {
    if (Header.hwndFrom != lvFoundEmails) return 0;
    switch (Header.code) {
    case LVN_GETDISPINFOW: {
        // The list holds no texts of its own: each cell is read from the core when shown.
        auto& info = const_cast<NMLVDISPINFOW&>(reinterpret_cast<const NMLVDISPINFOW&>(Header));
        const auto& rows = FCore.Rows();
        if (info.item.iItem < 0 || static_cast<std::size_t>(info.item.iItem) >= rows.size())
            return 0;
        const auto row = static_cast<std::size_t>(info.item.iItem);
        if ((info.item.mask & LVIF_IMAGE) != 0) info.item.iImage = 1; // the envelope
        if ((info.item.mask & LVIF_STATE) != 0) {
            // State picture 2 is the ticked box, 1 the empty one.
            info.item.state = (info.item.state & ~LVIS_STATEIMAGEMASK) |
                              INDEXTOSTATEIMAGEMASK(rows[row].Checked ? 2 : 1);
            info.item.stateMask |= LVIS_STATEIMAGEMASK;
        }
        if ((info.item.mask & LVIF_TEXT) != 0 && info.item.pszText != nullptr &&
            info.item.cchTextMax > 0) {
            const auto column = static_cast<TResultColumn>(info.item.iSubItem);
            FCellText = CellFromUtf8(FCore.CellView(row, column));
            const std::size_t room = static_cast<std::size_t>(info.item.cchTextMax) - 1;
            const std::size_t count = std::min(room, FCellText.size());
            std::copy_n(FCellText.data(), count, info.item.pszText);
            info.item.pszText[count] = L'\0';
        }
        return 0;
    }
    case LVN_ITEMCHANGED: {
        // Ticks never come this way (the list keeps none); a row newly selected, by the keys
        // too, is previewed.
        const auto& change = reinterpret_cast<const NMLISTVIEW&>(Header);
        if (change.iItem >= 0 && (change.uChanged & LVIF_STATE) != 0 &&
            (change.uNewState & ~change.uOldState & LVIS_SELECTED) != 0)
            Guarded(&TfrmMainWin32::lvFoundEmailsClick);
        return 0;
    }
    case LVN_ODSTATECHANGED:
        // A range of rows selected at once; the list is single-selection, so nothing follows.
        return 0;
    case LVN_ODFINDITEMW: {
        const auto& find = reinterpret_cast<const NMLVFINDITEMW&>(Header);
        if ((find.lvfi.flags & (LVFI_STRING | LVFI_PARTIAL)) == 0 || find.lvfi.psz == nullptr)
            return -1;
        return FindRow(find.lvfi.psz, (find.lvfi.flags & LVFI_PARTIAL) != 0, find.iStart,
                       (find.lvfi.flags & LVFI_WRAP) != 0);
    }
    case LVN_COLUMNCLICK: {
        const int column = reinterpret_cast<const NMLISTVIEW&>(Header).iSubItem;
        FCore.Guarded([&] { lvFoundEmailsColumnClick(column); });
        return 0;
    }
    case NM_CLICK:
        Guarded(&TfrmMainWin32::lvFoundEmailsClick);
        return 0;
    case LVN_GETINFOTIPW: {
        auto& tip = const_cast<NMLVGETINFOTIPW&>(reinterpret_cast<const NMLVGETINFOTIPW&>(Header));
        // The list asks for a row; the column is the one under the mouse.
        int column = tip.iSubItem;
        if (column == 0) {
            LVHITTESTINFO hit{};
            ::GetCursorPos(&hit.pt);
            ::ScreenToClient(lvFoundEmails, &hit.pt);
            if (ListView_SubItemHitTest(lvFoundEmails, &hit) >= 0 && hit.iItem == tip.iItem)
                column = hit.iSubItem;
        }
        if (tip.pszText == nullptr || tip.cchTextMax <= 0) return 0;
        const std::wstring text = CellTip(tip.iItem, column);
        const std::size_t count =
            std::min(static_cast<std::size_t>(tip.cchTextMax) - 1, text.size());
        std::copy_n(text.data(), count, tip.pszText);
        tip.pszText[count] = L'\0';
        return 0;
    }
    default:
        return 0;
    }
}

LRESULT CALLBACK TfrmMainWin32::ListProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam,
                                         UINT_PTR Id, DWORD_PTR Self) {
    auto* self = reinterpret_cast<TfrmMainWin32*>(Self);
    switch (Message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
        // A click on a tick box turns the tick and nothing else, as in a list that keeps ticks.
        LVHITTESTINFO hit{};
        hit.pt = {GET_X_LPARAM(LParam), GET_Y_LPARAM(LParam)};
        if (ListView_HitTest(Window, &hit) >= 0 && (hit.flags & LVHT_ONITEMSTATEICON) != 0) {
            ::SetFocus(Window);
            self->ToggleTick(hit.iItem);
            return 0;
        }
        break;
    }
    case WM_KEYDOWN:
        // Space turns the tick of the row with the focus.
        if (WParam == VK_SPACE) {
            self->ToggleTick(ListView_GetNextItem(Window, -1, LVNI_FOCUSED));
            return 0;
        }
        break;
    case WM_CHAR:
        // The Space just handled, not the start of a type-ahead search.
        if (WParam == L' ') return 0;
        break;
    case WM_NCDESTROY:
        ::RemoveWindowSubclass(Window, ListProc, Id);
        break;
    default:
        break;
    }
    return ::DefSubclassProc(Window, Message, WParam, LParam);
}

void TfrmMainWin32::ToggleTick(int Row) {
    if (Row < 0 || static_cast<std::size_t>(Row) >= FCore.Rows().size()) return;
    const auto row = static_cast<std::size_t>(Row);
    FCore.Guarded([&] { FCore.SetTicked(row, !FCore.Rows()[row].Checked); });
}

int TfrmMainWin32::FindRow(const std::wstring& Text, bool Partial, int Start, bool Wrap) const {
    const std::size_t count = FCore.Rows().size();
    if (count == 0 || Text.empty()) return -1;
    const std::size_t first =
        Start >= 0 && static_cast<std::size_t>(Start) < count ? static_cast<std::size_t>(Start) : 0;
    for (std::size_t n = 0; n < count; ++n) {
        if (!Wrap && first + n == count) break;
        const std::size_t row = (first + n) % count;
        const std::wstring cell = CellFrom1252(FCore.CellText(row, TResultColumn::ItemNum));
        if ((Partial ? cell.size() >= Text.size() : cell.size() == Text.size()) &&
            ::CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, cell.data(),
                             static_cast<int>(Text.size()), Text.data(),
                             static_cast<int>(Text.size())) == CSTR_EQUAL)
            return static_cast<int>(row);
    }
    return -1;
}

void TfrmMainWin32::Guarded(void (TfrmMainWin32::*Handler)()) {
    FCore.Guarded([this, Handler] { (this->*Handler)(); });
}

void TfrmMainWin32::sbScanClick() {
    // F5 may come while a scan pumps events; the window is disabled then, but a key is not.
    if (FCore.Scanning()) return;
    const auto index = static_cast<int>(::SendMessageW(cbDrives, CB_GETCURSEL, 0, 0));
    // With no drive chosen the core says why nothing was scanned.
    const bool listed = index >= 0 && static_cast<std::size_t>(index) < FCore.Drives().size();
    if (listed && FHooks.DriveProblem) {
        const std::string problem =
            FHooks.DriveProblem(FCore.Drives()[static_cast<std::size_t>(index)]);
        if (!problem.empty()) {
            ShowMessage(TMessageKind::Error, "Parcelwright", problem);
            return;
        }
    }
    FCore.Scan(index);
    // A text filter whose search of the new list was cancelled is off now.
    SyncFilterControls();
    CloseIfAsked();
}

void TfrmMainWin32::btnApplyFilterClick() {
    if (::SendMessageW(chkText, BM_GETCHECK, 0, 0) == BST_CHECKED) {
        FCore.ApplyTextFilter(Utf8FromWide(WindowText(txtFilter)));
        SyncFilterControls();
        CloseIfAsked();
        return;
    }
    wchar_t unmappable = 0;
    const std::optional<std::string> keyword = BytesFromTyped(WindowText(txtFilter), unmappable);
    if (!keyword) {
        const std::wstring text = std::wstring(L"The keyword cannot be searched for: the "
                                               L"character \u201C") +
                                  unmappable + L"\u201D is not one that stored mail can hold.";
        FHooks.ShowMessage(true, L"Error", text);
        return;
    }
    FCore.ApplyFilter(*keyword);
    SyncFilterControls();
}

void TfrmMainWin32::btnClearFilterClick() {
    FCore.ClearFilter();
    SyncFilterControls();
}

void TfrmMainWin32::SyncFilterControls() {
    // The keyword cannot change while the filter is on.
    const bool on = FCore.FilterActive();
    ::EnableWindow(btnApplyFilter, !on);
    ::EnableWindow(btnClearFilter, on);
    ::EnableWindow(txtFilter, !on);
    ::EnableWindow(chkText, !on && CanDecodeMail());
}

void TfrmMainWin32::lvFoundEmailsColumnClick(int Column) {
    if (Column < 0 || Column >= ResultColumnCount) return;
    FCore.SortBy(static_cast<TResultColumn>(Column));
    SyncSortArrow(true);
    CloseIfAsked();
}

void TfrmMainWin32::SyncSortArrow(bool Sorted) {
    const HWND header = ListView_GetHeader(lvFoundEmails);
    const int sorted = static_cast<int>(FCore.SortColumn());
    for (int c = 0; c < ResultColumnCount; ++c) {
        HDITEMW item{};
        item.mask = HDI_FORMAT;
        if (!Header_GetItem(header, c, &item)) continue;
        item.fmt &= ~(HDF_SORTUP | HDF_SORTDOWN);
        if (Sorted && c == sorted) item.fmt |= FCore.SortAscending() ? HDF_SORTUP : HDF_SORTDOWN;
        Header_SetItem(header, c, &item);
    }
}

std::wstring TfrmMainWin32::CellTip(int Row, int Column) const {
    if (Row < 0 || Column < 0 || Column >= ResultColumnCount) return {};
    const auto row = static_cast<std::size_t>(Row);
    const auto column = static_cast<TResultColumn>(Column);
    const std::wstring text = CellFromUtf8(FCore.CellView(row, column));
    // A tip that says more than the cell (a decoded date's text as written) shows always.
    const std::wstring tip = CellFromUtf8(FCore.CellTip(row, column));
    if (!tip.empty() && tip != text) return tip;
    // The list leaves a few pixels either side of a cell's text, and the first column holds the
    // check box and the envelope before it.
    int room = ListView_GetColumnWidth(lvFoundEmails, Column) - Px(12);
    if (Column == 0) room -= Px(2 * 16 + 8);
    const int needed = static_cast<int>(::SendMessageW(lvFoundEmails, LVM_GETSTRINGWIDTHW, 0,
                                                       reinterpret_cast<LPARAM>(text.c_str())));
    return needed > room ? text : std::wstring();
}

void TfrmMainWin32::lvFoundEmailsClick() {
    const int selected = ListView_GetNextItem(lvFoundEmails, -1, LVNI_SELECTED);
    if (selected < 0) return;
    ShowPreview(static_cast<std::size_t>(selected));
}

void TfrmMainWin32::ShowPreview(std::optional<std::size_t> Row) {
    if (Row && FCore.PreviewOf(*Row) == nullptr) Row.reset();
    FCore.SetPreviewRow(Row);
    ::SendMessageW(cbAttachments, CB_RESETCONTENT, 0, 0);
    ::EnableWindow(cbAttachments, FALSE);
    ::EnableWindow(btnSaveAttachment, FALSE);
    if (!Row) {
        ::SetWindowTextW(txtmsgbody, L"");
        ::SetWindowTextW(txtDetails, L"");
        return;
    }
    // The decoded text, or in the source view the stored message, always plain: HTML was made
    // text when decoded, and nothing is fetched.
    ::SetWindowTextW(txtmsgbody, DisplayFromUtf8(FCore.PreviewView(*Row)).c_str());
    std::wstring details = EditLines(WideFromUtf8(FCore.DetailsText(*Row)));
    while (!details.empty() && std::iswspace(details.back()))
        details.pop_back();
    ::SetWindowTextW(txtDetails, details.c_str());
    if (const TDecodedMessage* message = FCore.DecodedOf(*Row)) {
        for (const TAttachmentInfo& a : message->Attachments) {
            const std::wstring name = WideFromUtf8(a.FileName.empty() ? a.ContentType : a.FileName);
            ::SendMessageW(cbAttachments, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
        }
        const bool any = !message->Attachments.empty();
        ::EnableWindow(cbAttachments, any);
        ::EnableWindow(btnSaveAttachment, any);
        if (any) ::SendMessageW(cbAttachments, CB_SETCURSEL, 0, 0);
    }
}

void TfrmMainWin32::RefreshPreview() {
    if (const std::optional<std::size_t> row = FCore.PreviewRow()) ShowPreview(row);
}

void TfrmMainWin32::btnSaveAttachmentClick() {
    const std::optional<std::size_t> row = FCore.PreviewRow();
    const auto index = static_cast<int>(::SendMessageW(cbAttachments, CB_GETCURSEL, 0, 0));
    if (!row || index < 0) return;
    FCore.SaveAttachment(*row, static_cast<std::size_t>(index));
}

void TfrmMainWin32::mnuMessageSourceClick() {
    if (!CanDecodeMail()) return;
    const bool source = !FCore.SourceView();
    FCore.SetSourceView(source);
    ::CheckMenuItem(MainMenu1, PW_ID_MESSAGESOURCE,
                    MF_BYCOMMAND | (source ? MF_CHECKED : MF_UNCHECKED));
    RefreshPreview();
}

void TfrmMainWin32::CloseIfAsked() {
    // Posted: this runs inside a click of a control the window's end destroys.
    if (FCore.CloseAfterScan()) ::PostMessageW(FHandle, WM_CLOSE, 0, 0);
}

void TfrmMainWin32::mnuHideCopiesClick() {
    const bool hide = !FCore.HideCopies();
    FCore.SetHideCopies(hide);
    ::CheckMenuItem(MainMenu1, PW_ID_HIDECOPIES, MF_BYCOMMAND | (hide ? MF_CHECKED : MF_UNCHECKED));
    RefreshPreview();
}

void TfrmMainWin32::mnuClientDeletedClick() {
    const bool only = !FCore.ClientDeletedOnly();
    FCore.SetClientDeletedOnly(only);
    ::CheckMenuItem(MainMenu1, PW_ID_CLIENTDELETED,
                    MF_BYCOMMAND | (only ? MF_CHECKED : MF_UNCHECKED));
    RefreshPreview();
}

void TfrmMainWin32::mnuOpenImageClick() {
    FCore.OpenImage();
}

void TfrmMainWin32::mnuDeepScanClick() {
    const bool deep = FCore.Rule() != TCarvingRule::Deep;
    FCore.SetRule(deep ? TCarvingRule::Deep : TCarvingRule::Standard);
    ::CheckMenuItem(MainMenu1, PW_ID_DEEPSCAN, MF_BYCOMMAND | (deep ? MF_CHECKED : MF_UNCHECKED));
}

void TfrmMainWin32::mnuAboutClick() {
    FHooks.ShowMessage(false, L"About Parcelwright",
                       L"Parcelwright version " + WideFromSystem(PW_VERSION) +
                           L"\n\nRecovers e-mail messages, deleted ones above all, from the raw "
                           L"bytes of a drive or a disk image.\n\nLicence: GPL-3.0-or-later. "
                           L"Free software: you may share and change it under the terms of the "
                           L"GNU General Public License, version 3 or any later version. It "
                           L"comes with no warranty.");
}

void TfrmMainWin32::ShowMessage(TMessageKind Kind, const std::string& Title,
                                const std::string& Text) {
    FHooks.ShowMessage(Kind == TMessageKind::Error, WideFromMessage(Title), WideFromMessage(Text));
}

bool TfrmMainWin32::AskYesNo(const std::string& Title, const std::string& Text) {
    return FHooks.AskYesNo(WideFromMessage(Title), WideFromMessage(Text));
}

std::string TfrmMainWin32::BrowseFolder(const std::string& Prompt, const std::string& Initial,
                                        bool AllowNewFolder) {
    const std::wstring chosen =
        FHooks.BrowseFolder(WideFromSystem(Prompt), WideFromSystem(Initial), AllowNewFolder);
    return ChosenPath(chosen, L"The folder ", L"please choose another folder.")
        .value_or(std::string());
}

std::optional<std::string> TfrmMainWin32::ChosenPath(const std::wstring& Chosen,
                                                     const wchar_t* Named, const wchar_t* Instead) {
    std::optional<std::string> path = SystemFromWide(Chosen);
    if (!path)
        FHooks.ShowMessage(true, L"Error",
                           Named + Chosen + L" has characters outside the system's code page; " +
                               Instead);
    return path;
}

std::string TfrmMainWin32::ChooseImage() {
    const std::optional<std::string> path =
        ChosenPath(FHooks.ChooseImage(), L"The disk image ",
                   L"please rename it or move it to another folder.");
    if (!path) return {};
    if (!path->empty() && FHooks.ImageProblem) {
        const std::string problem = FHooks.ImageProblem(*path);
        if (!problem.empty()) {
            ShowMessage(TMessageKind::Error, "Error", problem);
            return {};
        }
    }
    return *path;
}

bool TfrmMainWin32::OpenDocument(const std::string& Path) {
    return FHooks.OpenDocument(WideFromSystem(Path));
}

std::string TfrmMainWin32::ProgramFolder() {
    std::wstring path(32768, L'\0');
    path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    const std::size_t slash = path.find_last_of(L"\\/");
    if (slash != std::wstring::npos) path.resize(slash);
    return SystemFromWide(path).value_or(std::string());
}

void TfrmMainWin32::SetBusy(bool Busy) {
    ::EnableWindow(FHandle, !Busy);
    // The progress window had the keys; they come back here.
    if (!Busy && ::IsWindowVisible(FHandle)) ::SetActiveWindow(FHandle);
}

void TfrmMainWin32::CountsChanged() {
    ::SendMessageW(sbStatus, SB_SETTEXTW, 0,
                   reinterpret_cast<LPARAM>(WideFromUtf8(FCore.StatusText()).c_str()));
}

std::string TfrmMainWin32::ChooseSaveFile(const std::string& Title, const std::string& Suggested,
                                          const std::string& Types) {
    if (FSaveFolder.empty()) FSaveFolder = DocumentsFolder();
    // The suggestion may come from a message (an attachment's name).
    const std::wstring chosen = FHooks.ChooseSaveFile(
        WideFromMessage(Title),
        Suggested.empty() ? std::wstring() : WindowsSafeName(WideFromMessage(Suggested)),
        WideFromMessage(Types), FSaveFolder);
    const std::optional<std::string> path =
        ChosenPath(chosen, L"The file name ", L"please choose another name or folder.");
    const std::size_t slash = chosen.find_last_of(L"\\/");
    if (path && !path->empty() && slash != std::wstring::npos)
        FSaveFolder = chosen.substr(0, slash == 2 && chosen[1] == L':' ? 3 : slash);
    return path.value_or(std::string());
}

void TfrmMainWin32::RowsChanged(TRowsChange Change) {
    const std::size_t count = FCore.Rows().size();
    // A refill lists the rows in found order again.
    if (Change == TRowsChange::Refill) SyncSortArrow(false);
    if (Change == TRowsChange::Reorder) {
        // The same rows in a new order: texts and ticks are read afresh, the whole list at once.
        ::InvalidateRect(lvFoundEmails, nullptr, FALSE);
        return;
    }
    // The list keeps selection and focus by position: they went with the rows they were on.
    ListView_SetItemState(lvFoundEmails, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    // Every row may be another now: the whole list is drawn afresh.
    ListView_SetItemCountEx(lvFoundEmails, static_cast<int>(count), 0);
    // The view ends scrolled to its last row, as rows are appended one by one.
    if (count > 0) ListView_EnsureVisible(lvFoundEmails, static_cast<int>(count) - 1, FALSE);
    // The core forgets a previewed message the refill dropped (or a new list replaced); one it
    // kept stays shown.
    if (!FCore.PreviewRow()) ShowPreview(std::nullopt);
}

void TfrmMainWin32::TicksChanged(std::size_t First, std::size_t Last) {
    // Only the rows on view are drawn again; the others are asked for when scrolled to.
    const std::size_t count = FCore.Rows().size();
    if (count == 0 || First > Last) return;
    const auto top = static_cast<std::size_t>(std::max(ListView_GetTopIndex(lvFoundEmails), 0));
    const auto page =
        static_cast<std::size_t>(std::max(ListView_GetCountPerPage(lvFoundEmails), 0)) + 1;
    const std::size_t first = std::max(First, top);
    const std::size_t last = std::min({Last, top + page, count - 1});
    if (first <= last)
        ListView_RedrawItems(lvFoundEmails, static_cast<int>(first), static_cast<int>(last));
}

void TfrmMainWin32::DrivesChanged(int Selected) {
    ::SendMessageW(cbDrives, CB_RESETCONTENT, 0, 0);
    for (const std::string& path : FCore.Drives()) {
        std::wstring text = WideFromSystem(path);
        COMBOBOXEXITEMW item{};
        item.mask = CBEIF_TEXT | CBEIF_IMAGE | CBEIF_SELECTEDIMAGE;
        item.iItem = -1;
        item.pszText = text.data();
        item.iImage = 0;
        item.iSelectedImage = 0;
        ::SendMessageW(cbDrives, CBEM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }
    ::SendMessageW(cbDrives, CB_SETCURSEL, static_cast<WPARAM>(Selected), 0);
}

void TfrmMainWin32::PumpEvents() {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // Not ours to take: the program's loop ends on it after the scan.
            ::PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        // The main window is disabled during a scan: only the progress window takes keys.
        if (FWait && FWait->PreTranslate(message)) continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

TProgressWindow* TfrmMainWin32::ProgressOpen(std::uint64_t Maximum) {
    FWait = std::make_unique<TfrmWaitWin32>(Maximum, FDpi, FFont);
    FWait->OnCancel = [this] { FCore.Guarded([this] { frmWaitCancel(); }); };
    FWait->ShowOver(FHandle);
    return FWait.get();
}

void TfrmMainWin32::ProgressClose() {
    FWait.reset();
}
