#include "worklistmodel.h"

#include <QThreadPool>

#include <numeric>
#include <utility>

namespace {

static_assert(int(RowSortKey::PatientId) == WorklistModel::PatientId &&
              int(RowSortKey::Name) == WorklistModel::Name &&
              int(RowSortKey::BirthDate) == WorklistModel::BirthDate &&
              int(RowSortKey::StepDescription) == WorklistModel::StepDescription &&
              int(RowSortKey::StudyDescription) == WorklistModel::StudyDescription &&
              rowSortKeyCount == WorklistModel::ColumnCount);

} // namespace

WorklistModel::WorklistModel(QObject* parent) : QAbstractTableModel(parent) {}

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

void WorklistModel::setRows(QVector<WorklistRow> rows, const RowOrders& orders)
{
    beginResetModel();
    QVector<WorklistRow> previous = std::exchange(m_rows, std::move(rows));
    const QVector<int>& ready = orders[size_t(m_sortColumn)];
    if (ready.size() == m_rows.size() && !m_rows.isEmpty()) {
        // Sorted on the exchange's thread: 100,000 rows fresh from another thread are slow to
        // read here, and the window would wait for it.
        m_order = ready;
    } else {
        m_order.resize(m_rows.size());
        std::iota(m_order.begin(), m_order.end(), 0);
        sortOrder();
    }
    endResetModel();
    // Freeing a long list's texts takes tens of milliseconds: a pool thread does it, so the
    // window stays responsive. The view no longer refers to them after the reset.
    if (previous.size() >= 4096)
        QThreadPool::globalInstance()->start(
            [previous = std::move(previous)]() mutable { previous.clear(); });
}

void WorklistModel::setSortColumn(int column)
{
    if (column < 0 || column >= ColumnCount)
        return;
    m_sortColumn = column;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QVector<int> oldOrder = m_order;
    sortOrder();
    // Keep the selection on the same entries: map each old view row to its new place.
    QVector<int> newRowOfSource(m_rows.size());
    for (int i = 0; i < m_order.size(); ++i)
        newRowOfSource[m_order[i]] = i;
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& index : before)
        after << this->index(newRowOfSource[oldOrder[index.row()]], index.column());
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

const WorklistRow* WorklistModel::rowAt(int viewRow) const
{
    if (viewRow < 0 || viewRow >= m_order.size())
        return nullptr;
    return &m_rows[m_order[viewRow]];
}

void WorklistModel::sortOrder()
{
    // Read-only access: the list may share its rows with the query's result, and a write
    // access would copy all of them.
    sortRowOrder(std::as_const(m_rows), m_order, static_cast<RowSortKey>(m_sortColumn));
}
