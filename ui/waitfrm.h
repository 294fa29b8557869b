#pragma once

#include <cstdint>
#include <functional>

#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "ui/MainWindowCore.h"

// The small frameless window that stands over the main window while a scan runs: the bar, how
// many bytes are done, the messages found so far, the rate and the time left, and a "Cancel"
// button (Esc does the same) that stops the scan keeping what it found. Its maximum is the
// drive's 64-bit sector count, scaled onto the bar's 32-bit range (TBarScale).
// Without a window frame it would melt into the main window behind it, so it draws a raised
// one-pixel edge of its own.
class TfrmWait : public QFrame, public TProgressWindow {
    Q_OBJECT
  public:
    explicit TfrmWait(std::uint64_t AMax);

    void SetPosition(std::uint64_t Value) override;
    void ShowProgress(const TScanProgress& Progress) override;

    // Puts the window's centre over the centre of Over (or of the screen when Over is null).
    void CentreOver(const QWidget* Over);

    // Called for the Cancel button and Esc.
    std::function<void()> OnCancel;

    std::uint64_t Maximum() const { return FScale.Maximum(); }
    QProgressBar* Bar() const { return pbwait; }
    QLabel* BytesLabel() const { return lblBytes; }
    QLabel* CountsLabel() const { return lblCounts; }
    QPushButton* CancelButton() const { return btnCancel; }

  protected:
    void keyPressEvent(QKeyEvent* Event) override;

  private:
    void FormCreate();
    void SetBar(int Value);
    void Cancel();

    TBarScale FScale;
    QLabel* Label1;
    QLabel* lblBytes;
    QProgressBar* pbwait;
    QLabel* lblCounts;
    QPushButton* btnCancel;
};
