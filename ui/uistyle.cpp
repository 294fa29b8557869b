#include "ui/uistyle.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QPainter>
#include <QSvgRenderer>

// The pictures are compiled into the ui library; a static library's resources must be registered
// by hand, once, before the first lookup.
static void InitResources() {
    Q_INIT_RESOURCE(parcelwright);
}

QFont PwWindowFont() {
    static const char* const Families[] = {"Liberation Sans", "Arimo", "DejaVu Sans Condensed",
                                           "DejaVu Sans"};
    const QStringList known = QFontDatabase::families();
    QFont font;
    for (const char* family : Families) {
        if (known.contains(QLatin1String(family))) {
            font.setFamily(QLatin1String(family));
            break;
        }
    }
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    return font;
}

QPixmap PwPicture(const QString& Name, int Size) {
    static const bool registered = (InitResources(), true);
    (void)registered;
    const qreal ratio = qGuiApp != nullptr ? qGuiApp->devicePixelRatio() : 1.0;
    QPixmap pixmap(QSize(Size, Size) * ratio);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(QStringLiteral(":/icons/%1.svg").arg(Name));
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

QIcon PwIcon(const QString& Name, int Size) {
    return QIcon(PwPicture(Name, Size));
}
