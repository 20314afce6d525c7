#include "worklistmodel.h"

#include <QThreadPool>

#include <algorithm>
#include <numeric>
#include <utility>
#include <vector>

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

// The start of a text as QString::compare(..., Qt::CaseInsensitive) orders it: each UTF-16 unit
// case-folded on its own (a low surrogate as the folded code point of its pair), each folded
// value written as UTF-8, the first 16 bytes of that as two numbers, zero-padded. UTF-8 keeps
// the order of the values and no value's bytes start another's, so when two heads differ they
// order the texts as the comparison does; equal heads leave it to the comparison itself.
struct SortHead
{
    quint64 high = 0;
    quint64 low = 0;
};

SortHead foldedHead(QStringView text)
{
    unsigned char bytes[16 + 3] = {};
    size_t used = 0;
    char16_t last = 0;
    for (qsizetype i = 0; i < text.size() && used < 16; ++i) {
        const char16_t ch = text[i].unicode();
        if (ch < 0x80) {
            bytes[used++] = static_cast<unsigned char>(ch >= u'A' && ch <= u'Z' ? ch + 32 : ch);
        } else {
            char32_t value = ch;
            if (QChar::isLowSurrogate(ch) && QChar::isHighSurrogate(last))
                value = QChar::surrogateToUcs4(last, ch);
            // Folding may end in ASCII (KELVIN SIGN folds to 'k').
            value = QChar::toCaseFolded(value);
            if (value < 0x80) {
                bytes[used++] = static_cast<unsigned char>(value);
                last = ch;
                continue;
            }
            if (value < 0x800) {
                bytes[used++] = static_cast<unsigned char>(0xC0 | (value >> 6));
            } else if (value < 0x10000) {
                bytes[used++] = static_cast<unsigned char>(0xE0 | (value >> 12));
                bytes[used++] = static_cast<unsigned char>(0x80 | ((value >> 6) & 0x3F));
            } else {
                bytes[used++] = static_cast<unsigned char>(0xF0 | (value >> 18));
                bytes[used++] = static_cast<unsigned char>(0x80 | ((value >> 12) & 0x3F));
                bytes[used++] = static_cast<unsigned char>(0x80 | ((value >> 6) & 0x3F));
            }
            bytes[used++] = static_cast<unsigned char>(0x80 | (value & 0x3F));
        }
        last = ch;
    }
    SortHead head;
    for (size_t i = 0; i < 8; ++i) {
        head.high = (head.high << 8) | bytes[i];
        head.low = (head.low << 8) | bytes[i + 8];
    }
    return head;
}

struct SortEntry
{
    SortHead head;
    int row;
};

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
    QVector<WorklistRow> previous = std::exchange(m_rows, std::move(rows));
    m_order.resize(m_rows.size());
    std::iota(m_order.begin(), m_order.end(), 0);
    sortOrder();
    endResetModel();
    // Freeing a long list's texts takes tens of milliseconds: a pool thread does it, so the
    // window stays responsive. The view no longer refers to them after the reset.
    if (previous.size() >= 4096)
        QThreadPool::globalInstance()->start([previous = std::move(previous)]() mutable {
            previous.clear();
        });
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
    // Sorting 100,000 rows must not hold the window up: most comparisons are decided by a
    // number per row, found once; the rest compare the cells as before, with the same result.
    const int column = m_sortColumn;
    // Read-only access: the list may share its rows with the query's result, and a write
    // access would copy all of them.
    const QVector<WorklistRow>& rows = m_rows;
    std::vector<SortEntry> entries(static_cast<size_t>(m_order.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        const int row = std::as_const(m_order)[qsizetype(i)];
        if (column == BirthDate) {
            // By the date itself; rows without a readable date come first, as empty text would.
            const QDate& date = rows[row].birthDateValue;
            const quint64 day =
                date.isValid() ? (quint64(date.toJulianDay()) ^ (quint64(1) << 63)) : 0;
            entries[i] = SortEntry{SortHead{day, 0}, row};
        } else {
            entries[i] = SortEntry{foldedHead(cellText(rows[row], column)), row};
        }
    }
    const auto before = [&rows, column](const SortEntry& a, const SortEntry& b) {
        if (a.head.high != b.head.high)
            return a.head.high < b.head.high;
        if (a.head.low != b.head.low)
            return a.head.low < b.head.low;
        if (column == BirthDate)
            return false;
        return QString::compare(cellText(rows[a.row], column), cellText(rows[b.row], column),
                                Qt::CaseInsensitive) < 0;
    };
    std::stable_sort(entries.begin(), entries.end(), before);
    for (size_t i = 0; i < entries.size(); ++i)
        m_order[qsizetype(i)] = entries[i].row;
}
