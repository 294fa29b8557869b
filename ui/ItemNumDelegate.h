#pragma once

#include <QRect>
#include <QStyledItemDelegate>

class QFontMetrics;

// Draws the "Item Num" cell: the check box, the envelope and the number, packed tightly so that
// the number, the row's only link to its message, stays readable in the 65-pixel column. The
// style's own cell spends its padding on the check box and the icon and leaves room for two
// digits; here the icon gives way when the number needs its room.
class TItemNumDelegate : public QStyledItemDelegate {
  public:
    struct TLayout {
        QRect Check;
        QRect Icon; // empty when the number needs the room
        QRect Text;
    };

    using QStyledItemDelegate::QStyledItemDelegate;

    // Where the parts of a cell go for a number of the given width in pixels.
    static TLayout Layout(const QRect& Cell, int TextWidth);

    void paint(QPainter* Painter, const QStyleOptionViewItem& Option,
               const QModelIndex& Index) const override;
    // A click on the check box ticks or unticks; elsewhere it is an ordinary click.
    bool editorEvent(QEvent* Event, QAbstractItemModel* Model, const QStyleOptionViewItem& Option,
                     const QModelIndex& Index) override;
};
