#include "waitfrmWin32.h"

#include <limits>

#include <commctrl.h>

#include "WinIds.h"

namespace {

const wchar_t* const WaitClass = L"ParcelwrightWait";

LRESULT CALLBACK WaitProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam) {
    // A scan cannot be cancelled: the window refuses to close until the scan removes it.
    if (Message == WM_CLOSE) return 0;
    return ::DefWindowProcW(Window, Message, WParam, LParam);
}

void RegisterOnce() {
    static const bool registered = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = WaitProc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_WAIT));
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = WaitClass;
        return ::RegisterClassExW(&wc) != 0;
    }();
    (void)registered;
}

} // namespace

TfrmWaitWin32::TfrmWaitWin32(std::uint64_t AMax, unsigned Dpi, HFONT Font) : FMax(AMax) {
    RegisterOnce();
    const auto px = [Dpi](int Value) { return ::MulDiv(Value, static_cast<int>(Dpi), 96); };
    RECT frame{0, 0, px(504), px(122)};
    const DWORD style = WS_POPUP | WS_BORDER;
    const DWORD exStyle = WS_EX_TOPMOST | WS_EX_TOOLWINDOW;
    ::AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    FHandle = ::CreateWindowExW(exStyle, WaitClass, L"Please Wait Scanning Drive", style, 0, 0,
                                frame.right - frame.left, frame.bottom - frame.top, nullptr,
                                nullptr, instance, nullptr);
    Label1 = ::CreateWindowExW(0, L"STATIC", L"Please Wait ......", WS_CHILD | WS_VISIBLE,
                               px(16), px(24), px(200), px(16), FHandle,
                               reinterpret_cast<HMENU>(PW_ID_WAITLABEL), instance, nullptr);
    pbwait = ::CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, px(16), px(48),
                               px(465), px(17), FHandle,
                               reinterpret_cast<HMENU>(PW_ID_WAITBAR), instance, nullptr);
    ::SendMessageW(Label1, WM_SETFONT, reinterpret_cast<WPARAM>(Font), FALSE);

    constexpr std::uint64_t Largest = std::numeric_limits<int>::max();
    while ((FMax >> FShift) > Largest)
        ++FShift;
    ::SendMessageW(pbwait, PBM_SETRANGE32, 0, static_cast<LPARAM>(FMax >> FShift));
    ::SendMessageW(pbwait, PBM_SETPOS, 0, 0);
}

TfrmWaitWin32::~TfrmWaitWin32() {
    if (FHandle != nullptr) ::DestroyWindow(FHandle);
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
    ::SetWindowPos(FHandle, HWND_TOPMOST, (area.left + area.right - width) / 2,
                   (area.top + area.bottom - height) / 2, 0, 0,
                   SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    ::UpdateWindow(FHandle);
}

void TfrmWaitWin32::SetPosition(std::uint64_t Value) {
    if (Value > FMax) Value = FMax;
    ::SendMessageW(pbwait, PBM_SETPOS, static_cast<WPARAM>(Value >> FShift), 0);
}
