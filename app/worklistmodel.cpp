#include "worklistmodel.h"

#include <algorithm>
#include <numeric>

namespace {

const QString& cellText(const WorklistRow& row, int column)
{
    switch (column) {
    case WorklistModel::Name:
        return row.name;
    case WorklistModel::BirthDate:
        return row.birthDate;
    case WorklistModel::StepDescription:
        return row.stepDescription;
    case WorklistModel::StudyDescription:
        return row.studyDescription;
    default:
        return row.patientId;
    }
}

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
    return cellText(*row, index.column());
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

void WorklistModel::setRows(QVector<WorklistRow> rows)
{
    beginResetModel();
    m_rows = std::move(rows);
    m_order.resize(m_rows.size());
    std::iota(m_order.begin(), m_order.end(), 0);
    sortOrder();
    endResetModel();
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
    const int column = m_sortColumn;
    if (column == BirthDate) {
        // By the date itself; rows without a readable date come first, as empty text would.
        std::stable_sort(m_order.begin(), m_order.end(), [this](int a, int b) {
            const QDate& da = m_rows[a].birthDateValue;
            const QDate& db = m_rows[b].birthDateValue;
            if (da.isValid() != db.isValid())
                return !da.isValid();
            return da < db;
        });
        return;
    }
    std::stable_sort(m_order.begin(), m_order.end(), [this, column](int a, int b) {
        return QString::compare(cellText(m_rows[a], column), cellText(m_rows[b], column),
                                Qt::CaseInsensitive) < 0;
    });
}
