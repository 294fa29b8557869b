#include "FoundEmailsModel.h"

#include <algorithm>
#include <numeric>

namespace {
const char* const Headers[TFoundEmailsModel::ColumnCount] = {"Item Num", "Date", "From", "To",
                                                             "Subject"};

QString Bytes(const std::string& Text) {
    return QString::fromLatin1(Text.data(), static_cast<qsizetype>(Text.size()));
}
} // namespace

TFoundEmailsModel::TFoundEmailsModel(const TEmailArray& Emails, QObject* Parent)
    : QAbstractTableModel(Parent), FEmails(Emails) {}

QString TFoundEmailsModel::FieldText(const TEmail& Email, int Column) {
    switch (Column) {
    case ColDate:
        return Bytes(Email.Date);
    case ColFrom:
        return Bytes(Email.From);
    case ColTo:
        return Bytes(Email.To);
    case ColSubject:
        return Bytes(Email.Subject);
    default:
        return {};
    }
}

QString TFoundEmailsModel::Text(int Row, int Column) const {
    if (Row < 0 || static_cast<std::size_t>(Row) >= FRows.size()) return {};
    const int item = FRows[static_cast<std::size_t>(Row)].Item;
    if (Column == ColItemNum) return QString::number(item);
    return FieldText(FEmails[static_cast<std::size_t>(item)], Column);
}

int TFoundEmailsModel::rowCount(const QModelIndex& Parent) const {
    return Parent.isValid() ? 0 : static_cast<int>(FRows.size());
}

int TFoundEmailsModel::columnCount(const QModelIndex& Parent) const {
    return Parent.isValid() ? 0 : ColumnCount;
}

QVariant TFoundEmailsModel::data(const QModelIndex& Index, int Role) const {
    if (!Index.isValid() || static_cast<std::size_t>(Index.row()) >= FRows.size()) return {};
    switch (Role) {
    case Qt::DisplayRole:
        return Text(Index.row(), Index.column());
    case Qt::DecorationRole:
        if (Index.column() == ColItemNum) return FIcon;
        return {};
    case Qt::CheckStateRole:
        if (Index.column() == ColItemNum)
            return FRows[static_cast<std::size_t>(Index.row())].Checked ? Qt::Checked
                                                                        : Qt::Unchecked;
        return {};
    default:
        return {};
    }
}

bool TFoundEmailsModel::setData(const QModelIndex& Index, const QVariant& Value, int Role) {
    if (!Index.isValid() || Role != Qt::CheckStateRole || Index.column() != ColItemNum)
        return false;
    SetChecked(Index.row(), Value.toInt() == Qt::Checked);
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
        Section < ColumnCount)
        return QString::fromLatin1(Headers[Section]);
    return QAbstractTableModel::headerData(Section, Orientation, Role);
}

void TFoundEmailsModel::Clear() {
    beginResetModel();
    FRows.clear();
    endResetModel();
}

void TFoundEmailsModel::BeginFill() {
    beginResetModel();
    FFilling = true;
}

void TFoundEmailsModel::AddRow(int Item) {
    if (FFilling) {
        FRows.push_back({Item, false});
        return;
    }
    const int row = static_cast<int>(FRows.size());
    beginInsertRows({}, row, row);
    FRows.push_back({Item, false});
    endInsertRows();
}

void TFoundEmailsModel::EndFill() {
    FFilling = false;
    endResetModel();
}

void TFoundEmailsModel::SetAllChecked(bool Checked) {
    if (FRows.empty()) return;
    for (TResultRow& row : FRows)
        row.Checked = Checked;
    emit dataChanged(index(0, ColItemNum), index(rowCount() - 1, ColItemNum), {Qt::CheckStateRole});
}

void TFoundEmailsModel::SetChecked(int Row, bool Checked) {
    if (Row < 0 || static_cast<std::size_t>(Row) >= FRows.size()) return;
    FRows[static_cast<std::size_t>(Row)].Checked = Checked;
    const QModelIndex at = index(Row, ColItemNum);
    emit dataChanged(at, at, {Qt::CheckStateRole});
}

void TFoundEmailsModel::SortRows(
    const std::function<bool(const TResultRow&, const TResultRow&)>& Less) {
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    std::vector<int> order(FRows.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return Less(FRows[static_cast<std::size_t>(a)], FRows[static_cast<std::size_t>(b)]);
    });
    std::vector<TResultRow> sorted;
    sorted.reserve(FRows.size());
    std::vector<int> newRowOf(FRows.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        sorted.push_back(FRows[static_cast<std::size_t>(order[i])]);
        newRowOf[static_cast<std::size_t>(order[i])] = static_cast<int>(i);
    }
    FRows = std::move(sorted);
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& old : before)
        after.append(index(newRowOf[static_cast<std::size_t>(old.row())], old.column()));
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}
