#include "ui/ItemNumDelegate.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>

namespace {
constexpr int Padding = 2;
constexpr int CheckSize = 13;
constexpr int IconSize = 16;
} // namespace

TItemNumDelegate::TLayout TItemNumDelegate::Layout(const QRect& Cell, int TextWidth) {
    TLayout layout;
    const int middle = Cell.top() + Cell.height() / 2;
    layout.Check = QRect(Cell.left() + Padding, middle - CheckSize / 2, CheckSize, CheckSize);
    int left = layout.Check.right() + 1 + Padding;
    const int withIcon = Cell.right() + 1 - Padding - (left + IconSize + Padding);
    if (TextWidth <= withIcon) {
        layout.Icon = QRect(left, middle - IconSize / 2, IconSize, IconSize);
        left = layout.Icon.right() + 1 + Padding;
    }
    layout.Text = QRect(left, Cell.top(), Cell.right() + 1 - Padding - left, Cell.height());
    return layout;
}

void TItemNumDelegate::paint(QPainter* Painter, const QStyleOptionViewItem& Option,
                             const QModelIndex& Index) const {
    QStyleOptionViewItem option = Option;
    initStyleOption(&option, Index);
    const QWidget* widget = option.widget;
    QStyle* style = widget != nullptr ? widget->style() : QApplication::style();

    // The row's background and selection, as every other cell of the row has them.
    QStyleOptionViewItem background = option;
    background.text.clear();
    background.icon = QIcon();
    background.features &= ~QStyleOptionViewItem::HasCheckIndicator;
    style->drawControl(QStyle::CE_ItemViewItem, &background, Painter, widget);

    const QString text = option.text;
    const TLayout layout = Layout(option.rect, option.fontMetrics.horizontalAdvance(text));

    QStyleOptionViewItem check = option;
    check.rect = layout.Check;
    check.state &= ~QStyle::State_HasFocus;
    check.state |= option.checkState == Qt::Checked ? QStyle::State_On : QStyle::State_Off;
    style->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &check, Painter, widget);

    if (!layout.Icon.isEmpty()) option.icon.paint(Painter, layout.Icon);

    const QPalette::ColorGroup group =
        option.state & QStyle::State_Enabled ? QPalette::Normal : QPalette::Disabled;
    Painter->save();
    Painter->setFont(option.font);
    Painter->setPen(option.palette.color(group, option.state & QStyle::State_Selected
                                                    ? QPalette::HighlightedText
                                                    : QPalette::Text));
    Painter->drawText(layout.Text, Qt::AlignLeft | Qt::AlignVCenter,
                      option.fontMetrics.elidedText(text, Qt::ElideRight, layout.Text.width()));
    Painter->restore();
}

bool TItemNumDelegate::editorEvent(QEvent* Event, QAbstractItemModel* Model,
                                   const QStyleOptionViewItem& Option, const QModelIndex& Index) {
    if (!(Index.flags() & Qt::ItemIsUserCheckable) || !(Index.flags() & Qt::ItemIsEnabled))
        return false;
    const auto type = Event->type();
    if (type != QEvent::MouseButtonRelease && type != QEvent::MouseButtonPress &&
        type != QEvent::MouseButtonDblClick)
        return false;
    const auto* mouse = static_cast<QMouseEvent*>(Event);
    const QString text = Index.data(Qt::DisplayRole).toString();
    const TLayout layout = Layout(Option.rect, Option.fontMetrics.horizontalAdvance(text));
    if (mouse->button() != Qt::LeftButton || !layout.Check.contains(mouse->position().toPoint()))
        return false;
    // Press and double click on the box are taken, so that only the release ticks.
    if (type != QEvent::MouseButtonRelease) return true;
    const bool checked = Index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    return Model->setData(Index, checked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
}
