#pragma once

// The progress window on Windows: frameless, topmost; the bar, how many bytes are done, the
// messages found so far, the rate and the time left, and a "Cancel" button (Esc does the same)
// that stops the scan keeping what it found. Its maximum is the drive's 64-bit sector count,
// scaled onto the bar's 32-bit range (TBarScale).

#include <cstdint>
#include <functional>

#include <windows.h>

#include "ui/MainWindowCore.h"

class TfrmWaitWin32 final : public TProgressWindow {
  public:
    // Built hidden, bar at 0; Dpi scales the layout (96 = none).
    TfrmWaitWin32(std::uint64_t AMax, unsigned Dpi, HFONT Font);
    ~TfrmWaitWin32() override;
    TfrmWaitWin32(const TfrmWaitWin32&) = delete;
    TfrmWaitWin32& operator=(const TfrmWaitWin32&) = delete;

    // Centred over Over (or the work area when it is hidden), shown and given the keys, so that
    // Esc reaches it while the main window is disabled.
    void ShowOver(HWND Over);
    void SetPosition(std::uint64_t Value) override;
    void ShowProgress(const TScanProgress& Progress) override;
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

    TBarScale FScale;
    HWND FHandle = nullptr;
    HWND Label1 = nullptr;
    HWND lblBytes = nullptr;
    HWND pbwait = nullptr;
    HWND lblCounts = nullptr;
    HWND btnCancel = nullptr;
};
