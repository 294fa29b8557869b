#pragma once

#include <QFont>
#include <QIcon>
#include <QPixmap>
#include <QString>

// The windows' font: a small sans face that Linux desktops carry, in place of the bitmap font
// the layout was drawn for. The first family fontconfig knows wins.
QFont PwWindowFont();

// Renders one of the program's SVG pictures (":/icons/NAME.svg") at Size pixels square.
QPixmap PwPicture(const QString& Name, int Size);
QIcon PwIcon(const QString& Name, int Size);
