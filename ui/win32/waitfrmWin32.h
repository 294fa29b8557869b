#pragma once

// The progress window on Windows: frameless, topmost; the bar, how many bytes are done, the
// messages found so far, the rate and the time left, and a "Cancel" button (Esc does the same)
// that stops the scan keeping what it found. Its maximum is the drive's 64-bit sector count,
// scaled onto the bar's 32-bit range.

#include <cstdint>
#include <functional>

#include <windows.h>

struct TScanProgress;

class TfrmWaitWin32 {
  public:
    // Built hidden, bar at 0; Dpi scales the layout (96 = none).
    TfrmWaitWin32(std::uint64_t AMax, unsigned Dpi, HFONT Font);
    ~TfrmWaitWin32();
    TfrmWaitWin32(const TfrmWaitWin32&) = delete;
    TfrmWaitWin32& operator=(const TfrmWaitWin32&) = delete;

    // Centred over Over (or the work area when it is hidden), shown and given the keys, so that
    // Esc reaches it while the main window is disabled.
    void ShowOver(HWND Over);
    // The bar never moves back during a scan: sector steps and byte counts both move it.
    void SetPosition(std::uint64_t Value);
    void ShowProgress(const TScanProgress& Progress);
    // Keyboard handling for a message the scan's pump took (Esc, Enter on Cancel). True when the
    // message was used and must not be dispatched.
    bool PreTranslate(MSG& Message);

    // Called for the Cancel button and Esc.
    std::function<void()> OnCancel;

    HWND Handle() const { return FHandle; }
    HWND Bar() const { return pbwait; }
    HWND Caption() const { return Label1; }
    HWND BytesLabel() const { return lblBytes; }
    HWND CountsLabel() const { return lblCounts; }
    HWND CancelButton() const { return btnCancel; }

  private:
    static LRESULT CALLBACK WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
    void SetBar(int Value);

    std::uint64_t FMax;
    unsigned FShift = 0;
    HWND FHandle = nullptr;
    HWND Label1 = nullptr;
    HWND lblBytes = nullptr;
    HWND pbwait = nullptr;
    HWND lblCounts = nullptr;
    HWND btnCancel = nullptr;
};
