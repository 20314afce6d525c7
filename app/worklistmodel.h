#pragma once

#include "roworder.h"
#include "worklistrow.h"

#include <QAbstractTableModel>
#include <QVector>

// The worklist as the list shows it: plain rows, replaced whole by each successful query.
// Rows stay in the order the server sent them; the sort column only reorders an index, so a
// sort never copies a row.
class WorklistModel final : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { PatientId, Name, BirthDate, StepDescription, StudyDescription, ColumnCount };

    explicit WorklistModel(QObject* parent = nullptr);

    [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                      int role) const override;

    // Replaces every row in one reset, so the view repaints once. `orders` may bring the
    // sorted orders of the new rows (allRowOrders(), found off the window's thread); the model
    // then takes the one of its sort column instead of sorting.
    void setRows(QVector<WorklistRow> rows, const RowOrders& orders = {});
    // Ascending only: a second click on the same header keeps the order.
    void setSortColumn(int column);
    [[nodiscard]] int sortColumn() const { return m_sortColumn; }

    // The row shown at `viewRow`, or nullptr outside the list.
    [[nodiscard]] const WorklistRow* rowAt(int viewRow) const;

private:
    void sortOrder();

    QVector<WorklistRow> m_rows;
    QVector<int> m_order; // view row -> index into m_rows
    int m_sortColumn = PatientId;
};
