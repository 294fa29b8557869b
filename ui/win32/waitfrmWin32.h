#pragma once

// The progress window on Windows: frameless, topmost, no controls to press; a label and a bar.
// Its maximum is the drive's 64-bit sector count, scaled onto the bar's 32-bit range.

#include <cstdint>

#include <windows.h>

class TfrmWaitWin32 {
  public:
    // Built hidden, bar at 0; Dpi scales the layout (96 = none).
    TfrmWaitWin32(std::uint64_t AMax, unsigned Dpi, HFONT Font);
    ~TfrmWaitWin32();
    TfrmWaitWin32(const TfrmWaitWin32&) = delete;
    TfrmWaitWin32& operator=(const TfrmWaitWin32&) = delete;

    // Centred over Over (or the work area when it is hidden), shown without taking the focus.
    void ShowOver(HWND Over);
    void SetPosition(std::uint64_t Value);

    HWND Handle() const { return FHandle; }
    HWND Bar() const { return pbwait; }

  private:
    std::uint64_t FMax;
    unsigned FShift = 0;
    HWND FHandle = nullptr;
    HWND Label1 = nullptr;
    HWND pbwait = nullptr;
};
