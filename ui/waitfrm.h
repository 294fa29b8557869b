#pragma once

#include <cstdint>
#include <functional>

#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

struct TScanProgress;

// The small frameless window that stands over the main window while a scan runs: the bar, how
// many bytes are done, the messages found so far, the rate and the time left, and a "Cancel"
// button (Esc does the same) that stops the scan keeping what it found.
//
// The bar of the toolkit holds a signed 32-bit range; drives of 2^31 sectors and more would not
// fit, so the maximum and every position are shifted right by the same number of bits until the
// maximum fits. The bar's fill is then the true fraction, to within one part in 2^30.
// Without a window frame it would melt into the main window behind it, so it draws a raised
// one-pixel edge of its own.
class TfrmWait : public QFrame {
    Q_OBJECT
  public:
    explicit TfrmWait(std::uint64_t AMax);

    // The bar never moves back during a scan: sector steps and byte counts both move it.
    void SetPosition(std::uint64_t Value);
    void ShowProgress(const TScanProgress& Progress);

    // Puts the window's centre over the centre of Over (or of the screen when Over is null).
    void CentreOver(const QWidget* Over);

    // Called for the Cancel button and Esc.
    std::function<void()> OnCancel;

    std::uint64_t Maximum() const { return FMax; }
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

    std::uint64_t FMax;
    int FShift = 0;
    QLabel* Label1;
    QLabel* lblBytes;
    QProgressBar* pbwait;
    QLabel* lblCounts;
    QPushButton* btnCancel;
};
