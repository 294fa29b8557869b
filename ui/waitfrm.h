#pragma once

#include <cstdint>

#include <QFrame>
#include <QLabel>
#include <QProgressBar>

// The small frameless window that stands over the main window while a scan runs. It has no
// controls, so a scan can be neither cancelled nor re-entered from it.
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

    void SetPosition(std::uint64_t Value);

    // Puts the window's centre over the centre of Over (or of the screen when Over is null).
    void CentreOver(const QWidget* Over);

    std::uint64_t Maximum() const { return FMax; }
    QProgressBar* Bar() const { return pbwait; }

  private:
    void FormCreate();

    std::uint64_t FMax;
    int FShift = 0;
    QLabel* Label1;
    QProgressBar* pbwait;
};
