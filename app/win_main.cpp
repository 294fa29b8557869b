// The desktop program on Windows: one main window, no arguments, no settings.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include <exception>
#include <string>

#include "app/CliTarget.h"
#include "ui/win32/frmMainWin32.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int ShowCommand) {
    // The folder chooser's new dialog style needs a single-threaded apartment on this thread.
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES |
                                                       ICC_USEREX_CLASSES | ICC_PROGRESS_CLASS |
                                                       ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);

    int status = 0;
    try {
        TfrmMainWin32::THooks hooks;
        hooks.DriveProblem = [](const std::string& Drive) { return DriveAccessProblem(Drive); };
        hooks.ImageProblem = [](const std::string& Path) { return ImageFormatProblem(Path); };
        TfrmMainWin32 frmMain(std::move(hooks));
        frmMain.Show(ShowCommand);

        MSG message;
        while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
            if (frmMain.PreTranslate(message)) continue;
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
        status = static_cast<int>(message.wParam);
    } catch (const std::exception& e) {
        const std::string text = e.what();
        ::MessageBoxA(nullptr, text.c_str(), "Parcelwright", MB_OK | MB_ICONERROR);
        status = 1;
    }
    if (SUCCEEDED(com)) ::CoUninitialize();
    return status;
}
