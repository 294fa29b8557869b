#include "ui/FoundEmailsModel.h"

namespace {
constexpr int ColItemNum = static_cast<int>(TResultColumn::ItemNum);
}

TFoundEmailsModel::TFoundEmailsModel(TMainWindowCore& Core, QObject* Parent)
    : QAbstractTableModel(Parent), FCore(Core) {}

QString TFoundEmailsModel::Text(int Row, TResultColumn Column) const {
    if (Row < 0) return {};
    return QString::fromStdString(FCore.CellView(static_cast<std::size_t>(Row), Column));
}

int TFoundEmailsModel::rowCount(const QModelIndex& Parent) const {
    return Parent.isValid() ? 0 : static_cast<int>(FCore.Rows().size());
}

int TFoundEmailsModel::columnCount(const QModelIndex& Parent) const {
    return Parent.isValid() ? 0 : ResultColumnCount;
}

QVariant TFoundEmailsModel::data(const QModelIndex& Index, int Role) const {
    if (!Index.isValid() || static_cast<std::size_t>(Index.row()) >= FCore.Rows().size()) return {};
    switch (Role) {
    case Qt::DisplayRole:
        return Text(Index.row(), static_cast<TResultColumn>(Index.column()));
    case Qt::ToolTipRole:
        // The window shows it only over a cell it cuts off, or a date with more to tell.
        return QString::fromStdString(FCore.CellTip(static_cast<std::size_t>(Index.row()),
                                                    static_cast<TResultColumn>(Index.column())));
    case Qt::DecorationRole:
        if (Index.column() == ColItemNum) return FIcon;
        return {};
    case Qt::CheckStateRole:
        if (Index.column() == ColItemNum)
            return FCore.Rows()[static_cast<std::size_t>(Index.row())].Checked ? Qt::Checked
                                                                               : Qt::Unchecked;
        return {};
    default:
        return {};
    }
}

bool TFoundEmailsModel::setData(const QModelIndex& Index, const QVariant& Value, int Role) {
    if (!Index.isValid() || Role != Qt::CheckStateRole || Index.column() != ColItemNum)
        return false;
    FCore.SetTicked(static_cast<std::size_t>(Index.row()), Value.toInt() == Qt::Checked);
    return true;
}

Qt::ItemFlags TFoundEmailsModel::flags(const QModelIndex& Index) const {
    if (!Index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags result = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    if (Index.column() == ColItemNum) result |= Qt::ItemIsUserCheckable;
    return result;
}

QVariant TFoundEmailsModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
    if (Orientation == Qt::Horizontal && Role == Qt::DisplayRole && Section >= 0 &&
        Section < ResultColumnCount)
        return QString::fromLatin1(ColumnCaption(static_cast<TResultColumn>(Section)));
    return QAbstractTableModel::headerData(Section, Orientation, Role);
}

void TFoundEmailsModel::RowsChanging(TRowsChange Change) {
    if (Change == TRowsChange::Refill) {
        beginResetModel();
        return;
    }
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    FItemsBefore.clear();
    for (const TResultRow& row : FCore.Rows())
        FItemsBefore.push_back(row.Item);
}

void TFoundEmailsModel::RowsChanged(TRowsChange Change) {
    if (Change == TRowsChange::Refill) {
        endResetModel();
        return;
    }
    // Each item stands in one row only, so the item tells where an old row went.
    std::vector<int> rowOfItem(FCore.Emails().size(), -1);
    for (std::size_t r = 0; r < FCore.Rows().size(); ++r)
        rowOfItem[FCore.Rows()[r].Item] = static_cast<int>(r);
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& old : before)
        after.append(
            index(rowOfItem[FItemsBefore[static_cast<std::size_t>(old.row())]], old.column()));
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void TFoundEmailsModel::TicksChanged(std::size_t First, std::size_t Last) {
    emit dataChanged(index(static_cast<int>(First), ColItemNum),
                     index(static_cast<int>(Last), ColItemNum), {Qt::CheckStateRole});
}
