#pragma once

#include <QAbstractTableModel>
#include <QIcon>

#include <functional>
#include <vector>

#include "Globals.h"

// One row of the results list: the message's position in the found list (its "Item Num", the
// row's only link to its message) and the row's tick.
struct TResultRow {
    int Item = 0;
    bool Checked = false;
};

// The rows of the results list over the window's found list. The list itself is never touched:
// filtering and sorting change the rows only.
class TFoundEmailsModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    enum Column { ColItemNum, ColDate, ColFrom, ColTo, ColSubject, ColumnCount };

    TFoundEmailsModel(const TEmailArray& Emails, QObject* Parent);

    // The field texts as the records hold them: every byte one character, nothing decoded.
    static QString FieldText(const TEmail& Email, int Column);
    QString Text(int Row, int Column) const;

    int rowCount(const QModelIndex& Parent = {}) const override;
    int columnCount(const QModelIndex& Parent = {}) const override;
    QVariant data(const QModelIndex& Index, int Role) const override;
    bool setData(const QModelIndex& Index, const QVariant& Value, int Role) override;
    Qt::ItemFlags flags(const QModelIndex& Index) const override;
    QVariant headerData(int Section, Qt::Orientation Orientation, int Role) const override;

    // Removing all rows and refilling them: rows appended between BeginFill and EndFill are
    // announced to the view once, so a refill of many rows costs one view update.
    void Clear();
    void BeginFill();
    void AddRow(int Item);
    void EndFill();

    const std::vector<TResultRow>& Rows() const { return FRows; }
    void SetAllChecked(bool Checked);
    void SetChecked(int Row, bool Checked);

    // Reorders the rows by Less (a strict weak order), keeping selection and current row on the
    // rows they were on.
    void SortRows(const std::function<bool(const TResultRow&, const TResultRow&)>& Less);

    void SetRowIcon(const QIcon& Icon) { FIcon = Icon; }

  private:
    const TEmailArray& FEmails;
    std::vector<TResultRow> FRows;
    QIcon FIcon;
    bool FFilling = false;
};
