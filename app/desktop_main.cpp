// The desktop program: one main window, no arguments, no settings.
#include <QApplication>

#include "BuildInfo.h"
#include "ui/frmMainWindow.h"
#include "ui/uistyle.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Parcelwright"));
    QApplication::setApplicationVersion(QStringLiteral(PW_VERSION));
    // Names the installed desktop entry, so that the desktop finds the program's name and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.parcelwright.Parcelwright"));
    QApplication::setFont(PwWindowFont());
    QApplication::setWindowIcon(PwIcon(QStringLiteral("parcelwright"), 64));

    TfrmMain frmMain;
    frmMain.show();
    return QApplication::exec();
}
