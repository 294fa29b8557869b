#pragma once

#include <QAbstractTableModel>
#include <QIcon>

#include <vector>

#include "ui/MainWindowCore.h"

// The results list's rows as the Qt list shows them: a view of the window core's rows, never a
// copy. Ticking a row's check box ticks it in the core; the core's announcements of changed rows
// are passed on to the list.
class TFoundEmailsModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    TFoundEmailsModel(TMainWindowCore& Core, QObject* Parent);

    // A cell's text as the list shows it: decoded, or in the source view as the records hold
    // it (every byte its Windows-1252 character).
    QString Text(int Row, TResultColumn Column) const;

    int rowCount(const QModelIndex& Parent = {}) const override;
    int columnCount(const QModelIndex& Parent = {}) const override;
    QVariant data(const QModelIndex& Index, int Role) const override;
    bool setData(const QModelIndex& Index, const QVariant& Value, int Role) override;
    Qt::ItemFlags flags(const QModelIndex& Index) const override;
    QVariant headerData(int Section, Qt::Orientation Orientation, int Role) const override;

    // The core's announcements. A reorder keeps selection and current row on the rows they
    // were on.
    void RowsChanging(TRowsChange Change);
    void RowsChanged(TRowsChange Change);
    void TicksChanged(std::size_t First, std::size_t Last);

    void SetRowIcon(const QIcon& Icon) { FIcon = Icon; }

  private:
    TMainWindowCore& FCore;
    QIcon FIcon;
    std::vector<std::size_t> FItemsBefore; // item per row before a reorder
};
