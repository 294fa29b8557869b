#include "ui/win32/waitfrmWin32.h"

#include <algorithm>

#include <commctrl.h>

#include "ui/win32/WinIds.h"
#include "ui/win32/WinText.h"
#include "ui/win32/WinWindow.h"

namespace {

const wchar_t* const WaitClass = L"ParcelwrightWait";

void RegisterOnce(WNDPROC Procedure) {
    static const bool registered = [Procedure] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = Procedure;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_WAIT));
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = WaitClass;
        return ::RegisterClassExW(&wc) != 0;
    }();
    (void)registered;
}

} // namespace

LRESULT CALLBACK TfrmWaitWin32::WindowProc(HWND Window, UINT Message, WPARAM WParam,
                                           LPARAM LParam) {
    auto* self = WindowOwner<TfrmWaitWin32>(Window, Message, LParam);
    switch (Message) {
    case WM_COMMAND:
        // The button's click, and Esc as the keyboard handling turns it into IDCANCEL.
        if (LOWORD(WParam) == IDCANCEL && self != nullptr && self->OnCancel) {
            self->OnCancel();
            return 0;
        }
        break;
    case WM_CLOSE:
        // The scan removes the window when it has stopped; closing it asks the scan to stop.
        if (self != nullptr && self->OnCancel) self->OnCancel();
        return 0;
    default:
        break;
    }
    return ::DefWindowProcW(Window, Message, WParam, LParam);
}

TfrmWaitWin32::TfrmWaitWin32(std::uint64_t AMax, unsigned Dpi, HFONT Font) : FScale(AMax) {
    RegisterOnce(&TfrmWaitWin32::WindowProc);
    const auto px = [Dpi](int Value) { return ::MulDiv(Value, static_cast<int>(Dpi), 96); };
    RECT frame{0, 0, px(504), px(122)};
    const DWORD style = WS_POPUP | WS_BORDER;
    const DWORD exStyle = WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_CONTROLPARENT;
    ::AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    FHandle = ::CreateWindowExW(exStyle, WaitClass, L"Please Wait Scanning Drive", style, 0, 0,
                                frame.right - frame.left, frame.bottom - frame.top, nullptr,
                                nullptr, instance, this);
    const auto child = [&](const wchar_t* Class, const wchar_t* Text, DWORD Style, int Id, int Left,
                           int Top, int Width, int Height) {
        const HWND made = ::CreateWindowExW(
            0, Class, Text, WS_CHILD | WS_VISIBLE | Style, px(Left), px(Top), px(Width), px(Height),
            FHandle, reinterpret_cast<HMENU>(static_cast<INT_PTR>(Id)), instance, nullptr);
        if (Font != nullptr)
            ::SendMessageW(made, WM_SETFONT, reinterpret_cast<WPARAM>(Font), FALSE);
        return made;
    };
    Label1 = child(L"STATIC", WideFromUtf8(TScanProgress().CaptionText()).c_str(), SS_LEFT,
                   PW_ID_WAITLABEL, 16, 24, 200, 16);
    lblBytes = child(L"STATIC", L"", SS_RIGHT, PW_ID_WAITBYTES, 200, 24, 281, 17);
    pbwait = child(PROGRESS_CLASSW, L"", 0, PW_ID_WAITBAR, 16, 48, 465, 17);
    lblCounts = child(L"STATIC", L"", SS_LEFT, PW_ID_WAITCOUNTS, 16, 80, 370, 17);
    btnCancel =
        child(L"BUTTON", L"Cancel", WS_TABSTOP | BS_DEFPUSHBUTTON, IDCANCEL, 406, 76, 75, 25);

    ::SendMessageW(pbwait, PBM_SETRANGE32, 0, static_cast<LPARAM>(FScale.Top()));
    ::SendMessageW(pbwait, PBM_SETPOS, 0, 0);
}

TfrmWaitWin32::~TfrmWaitWin32() {
    if (FHandle != nullptr) {
        ::SetWindowLongPtrW(FHandle, GWLP_USERDATA, 0);
        ::DestroyWindow(FHandle);
    }
}

void TfrmWaitWin32::ShowOver(HWND Over) {
    RECT area{};
    if (Over != nullptr && ::IsWindowVisible(Over))
        ::GetWindowRect(Over, &area);
    else
        ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    RECT own{};
    ::GetWindowRect(FHandle, &own);
    const int width = own.right - own.left, height = own.bottom - own.top;
    // Shown without activation, then activated: a window shown active is one the window manager
    // looks after under Wine, and taking such a window down waits for the manager's word, for up
    // to two seconds where none answers, with the main window frozen meanwhile.
    ::SetWindowPos(FHandle, HWND_TOPMOST, (area.left + area.right - width) / 2,
                   (area.top + area.bottom - height) / 2, 0, 0,
                   SWP_NOSIZE | SWP_SHOWWINDOW | SWP_NOACTIVATE);
    ::SetActiveWindow(FHandle);
    ::SetFocus(btnCancel);
    ::UpdateWindow(FHandle);
}

void TfrmWaitWin32::SetBar(int Value) {
    const auto now = static_cast<int>(::SendMessageW(pbwait, PBM_GETPOS, 0, 0));
    if (Value > now)
        ::SendMessageW(pbwait, PBM_SETPOS, static_cast<WPARAM>(std::min(Value, FScale.Top())), 0);
}

void TfrmWaitWin32::SetPosition(std::uint64_t Value) {
    SetBar(FScale.Of(Value));
}

void TfrmWaitWin32::ShowProgress(const TScanProgress& Progress) {
    SetBar(FScale.OfFraction(Progress.Fraction()));
    ::SetWindowTextW(lblBytes, WideFromUtf8(Progress.BytesText()).c_str());
    ::SetWindowTextW(lblCounts, WideFromUtf8(Progress.CountsText()).c_str());
    if (Progress.Cancelling) {
        ::EnableWindow(btnCancel, FALSE);
        ::SetWindowTextW(Label1, WideFromUtf8(Progress.CaptionText()).c_str());
    }
}

bool TfrmWaitWin32::PreTranslate(MSG& Message) {
    return ::IsDialogMessageW(FHandle, &Message) != 0;
}
