#include "worklistmodel.h"

#include "worklistsort.h"

#include <QThreadPool>

#if __has_include(<malloc.h>)
#include <malloc.h>
#endif

#include <mutex>
#include <utility>

namespace {

// Up to this many rows a sort takes a few milliseconds and runs at once, on the window's thread.
constexpr qsizetype sortHereLimit = 2000;

} // namespace

// How a pool thread hands its sort to the model; the model may be gone by then.
struct WorklistModel::Channel
{
    std::mutex mutex;
    WorklistModel* model = nullptr;
};

WorklistModel::WorklistModel(QObject* parent)
    : QAbstractTableModel(parent), m_channel(std::make_shared<Channel>())
{
    m_channel->model = this;
}

WorklistModel::~WorklistModel()
{
    const std::lock_guard lock(m_channel->mutex);
    m_channel->model = nullptr;
}

int WorklistModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_order.size());
}

int WorklistModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant WorklistModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.column() >= ColumnCount)
        return {};
    const WorklistRow* row = rowAt(index.row());
    if (!row)
        return {};
    return columnText(*row, index.column());
}

QVariant WorklistModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal)
        return {};
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    switch (section) {
    case PatientId:
        return QStringLiteral("Patienten ID");
    case Name:
        return QStringLiteral("Name");
    case BirthDate:
        return QStringLiteral("Geburtsdatum");
    case StepDescription:
        return QStringLiteral("Beschreibung");
    case StudyDescription:
        return QStringLiteral("Study Description");
    default:
        return {};
    }
}

void WorklistModel::setRows(QVector<WorklistRow> rows, std::function<void()> shown)
{
    m_shown = std::move(shown);
    sortAndShow(std::move(rows), true);
}

void WorklistModel::setSortColumn(int column)
{
    if (column < 0 || column >= ColumnCount)
        return;
    m_sortColumn = column;
    // Rows still waiting for their first order are sorted again by the new column, once the
    // sort under way is done (see show()).
    if (m_sorting && m_replacePending)
        return;
    sortAndShow(m_rows, false);
}

void WorklistModel::sortAndShow(QVector<WorklistRow> rows, bool replacing)
{
    const quint64 generation = ++m_generation;
    const int column = m_sortColumn;
    m_sorting = rows.size() > sortHereLimit;
    m_replacePending = m_sorting && replacing;
    if (!m_sorting) {
        QVector<int> order = sortedRowOrder(rows, column, collationLocale());
        show(std::move(rows), std::move(order), replacing);
        return;
    }
    QThreadPool::globalInstance()->start([channel = m_channel, rows = std::move(rows), generation,
                                          column, replacing, locale = collationLocale()]() mutable {
        QVector<int> order = sortedRowOrder(rows, column, locale);
        const std::lock_guard lock(channel->mutex);
        if (!channel->model)
            return;
        WorklistModel* model = channel->model;
        QMetaObject::invokeMethod(
            model,
            [model, rows = std::move(rows), order = std::move(order), generation, column,
             replacing]() mutable {
                if (generation != model->m_generation)
                    return; // replaced meanwhile
                if (column != model->m_sortColumn) {
                    model->sortAndShow(std::move(rows), replacing); // clicked meanwhile
                    return;
                }
                model->m_sorting = model->m_replacePending = false;
                model->show(std::move(rows), std::move(order), replacing);
                emit model->sortApplied();
            },
            Qt::QueuedConnection);
    });
}

void WorklistModel::show(QVector<WorklistRow> rows, QVector<int> order, bool replacing)
{
    if (!replacing) {
        reorder(std::move(order));
        return;
    }
    beginResetModel();
    QVector<WorklistRow> previous = std::exchange(m_rows, std::move(rows));
    m_order = std::move(order);
    endResetModel();
    // Freeing a long list's texts takes tens of milliseconds: a pool thread does it, so the
    // window stays responsive. The view no longer refers to them after the reset.
    if (previous.size() >= 4096)
        QThreadPool::globalInstance()->start([previous = std::move(previous)]() mutable {
            previous.clear();
#ifdef M_TRIM_THRESHOLD
            // The allocator keeps what a list freed for later; without handing it back, a
            // day of refreshes leaves the program holding several lists' worth of memory.
            malloc_trim(0);
#endif
        });
    if (const std::function<void()> shown = std::exchange(m_shown, {}))
        shown();
}

void WorklistModel::reorder(QVector<int> order)
{
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    // Keep the selection on the same entries: map each old view row to its new place.
    QVector<int> newRowOfSource(m_rows.size());
    for (int i = 0; i < order.size(); ++i)
        newRowOfSource[order[i]] = i;
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& index : before)
        after << this->index(newRowOfSource[m_order[index.row()]], index.column());
    m_order = std::move(order);
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

const WorklistRow* WorklistModel::rowAt(int viewRow) const
{
    if (viewRow < 0 || viewRow >= m_order.size())
        return nullptr;
    return &m_rows[m_order[viewRow]];
}

int WorklistModel::viewRowOf(const WorklistRow& entry) const
{
    int found = -1;
    for (int viewRow = 0; viewRow < m_order.size(); ++viewRow) {
        const WorklistRow& row = m_rows[m_order[viewRow]];
        if (row.entryKey != entry.entryKey || row.stepDescription != entry.stepDescription)
            continue;
        if (row.patientId == entry.patientId && row.name == entry.name)
            return viewRow;
        if (found < 0)
            found = viewRow;
    }
    return found;
}

QVector<int> WorklistModel::viewRowsWithKey(const QString& entryKey) const
{
    QVector<int> viewRows;
    for (int viewRow = 0; viewRow < m_order.size(); ++viewRow) {
        if (m_rows[m_order[viewRow]].entryKey == entryKey)
            viewRows << viewRow;
    }
    return viewRows;
}
