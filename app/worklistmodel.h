#pragma once

#include "worklistrow.h"

#include <QAbstractTableModel>
#include <QVector>

#include <functional>
#include <memory>

// The worklist as the list shows it: plain rows, replaced whole by each successful query.
// Rows stay in the order the server sent them; the sort column only reorders an index, so a
// sort never copies a row. Sorting a long list takes longer than the window may wait, so it
// runs on a pool thread and the list shows its previous state until the new order is ready.
class WorklistModel final : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { PatientId, Name, BirthDate, StepDescription, StudyDescription, ColumnCount };

    explicit WorklistModel(QObject* parent = nullptr);
    ~WorklistModel() override;

    [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                      int role) const override;

    // Replaces every row in one reset, so the view repaints once. `shown` runs once the rows
    // are in view, unless a later call replaced them before that.
    void setRows(QVector<WorklistRow> rows, std::function<void()> shown = {});
    // Ascending only: a second click on the same header keeps the order.
    void setSortColumn(int column);
    // True while rows or an order wait for a sort on a pool thread.
    [[nodiscard]] bool isSorting() const { return m_sorting; }

    // The row shown at `viewRow`, or nullptr outside the list.
    [[nodiscard]] const WorklistRow* rowAt(int viewRow) const;
    // Where the same entry as `entry` is shown now: the row with its key and its step (of
    // several, the one with its patient too), or -1 when it has gone.
    [[nodiscard]] int viewRowOf(const WorklistRow& entry) const;
    // The view rows of every row with this entry key, in the list's order.
    [[nodiscard]] QVector<int> viewRowsWithKey(const QString& entryKey) const;

signals:
    // A sort that ran on a pool thread is in view.
    void sortApplied();

private:
    struct Channel;
    // Sorts `rows` by the sort column, here or on a pool thread, then shows them: as the new
    // rows when `replacing`, else as a new order of the rows in view.
    void sortAndShow(QVector<WorklistRow> rows, bool replacing);
    void show(QVector<WorklistRow> rows, QVector<int> order, bool replacing);
    void reorder(QVector<int> order);

    QVector<WorklistRow> m_rows;
    QVector<int> m_order; // view row -> index into m_rows
    int m_sortColumn = PatientId;
    quint64 m_generation = 0; // a sort result of an older generation is dropped
    bool m_sorting = false;
    bool m_replacePending = false; // the sort under way is for new rows, not a new order
    std::function<void()> m_shown;
    std::shared_ptr<Channel> m_channel;
};
