// A picture of the Windows main window for checking by eye and for the README: the demo image
// scanned, two rows ticked, one previewed; and, when asked, the progress window as a scan shows it.
// Run under Wine on a virtual screen, by hand:
//   win32_screenshot.exe OUT.bmp IMAGE [PROGRESS.bmp]
// Not part of the tests.

#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "ui/win32/WinIds.h"
#include "ui/win32/frmMainWin32.h"
#include "ui/win32/waitfrmWin32.h"

namespace {

void Pump(DWORD Milliseconds) {
    const DWORD until = ::GetTickCount() + Milliseconds;
    do {
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
        ::Sleep(20);
    } while (::GetTickCount() < until);
}

// The window as it stands on the screen, frame included, as a 24-bit bitmap file.
bool SaveWindow(HWND Window, const wchar_t* Path) {
    RECT r{};
    ::GetWindowRect(Window, &r);
    const int width = r.right - r.left, height = r.bottom - r.top;
    const HDC screen = ::GetDC(nullptr);
    const HDC memory = ::CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    ::GdiFlush();
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    const DWORD size = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + size;
    std::ofstream out(Path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    out.write(static_cast<const char*>(bits), size);
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    return static_cast<bool>(out);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 && argc != 4) {
        std::fputs("usage: win32_screenshot OUT.bmp IMAGE [PROGRESS.bmp]\n", stderr);
        return 2;
    }
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES |
                                                       ICC_USEREX_CLASSES | ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&controls);

    const std::wstring wide = argv[2];
    const std::string image(wide.begin(), wide.end());
    TfrmMainWin32::THooks hooks;
    hooks.ListDrives = [image] { return TDriveArray{image}; };
    hooks.QuitOnClose = false;
    TfrmMainWin32 window(hooks);
    window.Show();
    Pump(300);
    window.sbScanClick();
    // Sorted by Item Num, ascending (the found order): the header's arrow shows it.
    window.lvFoundEmailsColumnClick(0);
    // The list shows the core's ticks; it keeps none of its own.
    window.Core().SetTicked(1, true);
    window.Core().SetTicked(3, true);
    ListView_SetItemState(window.lvFoundEmails, 1, LVIS_SELECTED | LVIS_FOCUSED,
                          LVIS_SELECTED | LVIS_FOCUSED);
    ListView_EnsureVisible(window.lvFoundEmails, 0, FALSE);
    window.lvFoundEmailsClick();
    ::SetFocus(window.lvFoundEmails);
    Pump(1500);
    if (!SaveWindow(window.Handle(), argv[1])) return 1;
    if (argc < 4) return 0;

    // A quarter of a 2 GiB drive done, in the window's own font.
    TfrmWaitWin32 wait(std::uint64_t{1} << 22, 96,
                       reinterpret_cast<HFONT>(::SendMessageW(window.txtFilter, WM_GETFONT, 0, 0)));
    TScanProgress progress;
    progress.BytesTotal = std::uint64_t{1} << 31;
    progress.BytesDone = progress.BytesTotal / 4;
    progress.Found = 1234;
    progress.Seconds = 4;
    wait.ShowOver(window.Handle());
    wait.ShowProgress(progress);
    Pump(1000);
    return SaveWindow(wait.Handle(), argv[3]) ? 0 : 1;
}
