#include "waitfrm.h"

#include <QGuiApplication>
#include <QScreen>

#include <limits>

#include "uistyle.h"

TfrmWait::TfrmWait(std::uint64_t AMax) : QFrame(nullptr), FMax(AMax) {
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowTitle(QStringLiteral("Please Wait Scanning Drive"));
    setFont(PwWindowFont());
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Button);
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setLineWidth(1);
    setFixedSize(504, 122);

    Label1 = new QLabel(QStringLiteral("Please Wait ......"), this);
    Label1->move(16, 24);
    Label1->adjustSize();

    pbwait = new QProgressBar(this);
    pbwait->setGeometry(16, 48, 465, 17);
    pbwait->setTextVisible(false);

    FormCreate();
}

void TfrmWait::FormCreate() {
    constexpr std::uint64_t Largest = std::numeric_limits<int>::max();
    FShift = 0;
    while ((FMax >> FShift) > Largest)
        ++FShift;
    pbwait->setMaximum(static_cast<int>(FMax >> FShift));
    pbwait->setMinimum(0);
    pbwait->setValue(0);
}

void TfrmWait::SetPosition(std::uint64_t Value) {
    if (Value > FMax) Value = FMax;
    pbwait->setValue(static_cast<int>(Value >> FShift));
}

void TfrmWait::CentreOver(const QWidget* Over) {
    QRect area;
    if (Over != nullptr && Over->isVisible())
        area = Over->frameGeometry();
    else if (const QScreen* screen = QGuiApplication::primaryScreen())
        area = screen->availableGeometry();
    if (area.isValid()) move(area.center() - QPoint(width() / 2, height() / 2));
}
