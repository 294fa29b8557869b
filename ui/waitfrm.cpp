#include "ui/waitfrm.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>

#include <algorithm>

#include "ui/uistyle.h"

TfrmWait::TfrmWait(std::uint64_t AMax) : QFrame(nullptr), FScale(AMax) {
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool);
    setWindowTitle(QStringLiteral("Please Wait Scanning Drive"));
    setFont(PwWindowFont());
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Button);
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setLineWidth(1);
    setFixedSize(504, 122);

    Label1 = new QLabel(QString::fromUtf8(TScanProgress().CaptionText()), this);
    Label1->move(16, 24);
    Label1->adjustSize();

    lblBytes = new QLabel(this);
    lblBytes->setGeometry(200, 24, 281, 17);
    lblBytes->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    pbwait = new QProgressBar(this);
    pbwait->setGeometry(16, 48, 465, 17);
    pbwait->setTextVisible(false);

    lblCounts = new QLabel(this);
    lblCounts->setGeometry(16, 80, 370, 17);

    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setGeometry(406, 76, 75, 25);
    btnCancel->setDefault(true);
    connect(btnCancel, &QPushButton::clicked, this, &TfrmWait::Cancel);
    setFocusProxy(btnCancel);

    FormCreate();
}

void TfrmWait::FormCreate() {
    pbwait->setMaximum(FScale.Top());
    pbwait->setMinimum(0);
    pbwait->setValue(0);
}

void TfrmWait::SetBar(int Value) {
    if (Value > pbwait->value()) pbwait->setValue(std::min(Value, pbwait->maximum()));
}

void TfrmWait::SetPosition(std::uint64_t Value) {
    SetBar(FScale.Of(Value));
}

void TfrmWait::ShowProgress(const TScanProgress& Progress) {
    SetBar(FScale.OfFraction(Progress.Fraction()));
    lblBytes->setText(QString::fromUtf8(Progress.BytesText()));
    lblCounts->setText(QString::fromUtf8(Progress.CountsText()));
    if (Progress.Cancelling) {
        btnCancel->setEnabled(false);
        Label1->setText(QString::fromUtf8(Progress.CaptionText()));
        Label1->adjustSize();
    }
}

void TfrmWait::Cancel() {
    if (OnCancel) OnCancel();
}

void TfrmWait::keyPressEvent(QKeyEvent* Event) {
    if (Event->key() == Qt::Key_Escape) {
        Cancel();
        return;
    }
    QFrame::keyPressEvent(Event);
}

void TfrmWait::CentreOver(const QWidget* Over) {
    QRect area;
    if (Over != nullptr && Over->isVisible())
        area = Over->frameGeometry();
    else if (const QScreen* screen = QGuiApplication::primaryScreen())
        area = screen->availableGeometry();
    if (area.isValid()) move(area.center() - QPoint(width() / 2, height() / 2));
}
