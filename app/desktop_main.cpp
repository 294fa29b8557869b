// The desktop program: one main window, no arguments, no settings.
#include <QApplication>

#include "frmMainWindow.h"
#include "uistyle.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Parcelwright"));
    QApplication::setApplicationVersion(QStringLiteral("3.0"));
    QApplication::setFont(PwWindowFont());
    QApplication::setWindowIcon(PwIcon(QStringLiteral("parcelwright"), 64));

    TfrmMain frmMain;
    frmMain.show();
    return QApplication::exec();
}
