#pragma once

#include "worklistrow.h"

#include <QVector>

#include <array>
#include <vector>

// The columns the list can be sorted by, in the list's column order.
enum class RowSortKey { PatientId, Name, BirthDate, StepDescription, StudyDescription };
inline constexpr int rowSortKeyCount = 5;

// For each sort key, positions into a list of rows in the order the list shows them when sorted
// by that key right after the rows arrived. Empty when not computed.
using RowOrders = std::array<QVector<int>, rowSortKeyCount>;

// Reorders `order` (positions into `rows`) ascending by `key`, keeping the current order of
// rows that compare equal: texts as QString::compare(..., Qt::CaseInsensitive) orders them, the
// birth date by the date itself with rows without a readable date first. Reads the rows only.
void sortRowOrder(const QVector<WorklistRow>& rows, QVector<int>& order, RowSortKey key);

// Every key's order, each sorted from the order the rows arrived in. For the exchange's thread,
// so the window only has to take the order of its sort column.
[[nodiscard]] RowOrders allRowOrders(const QVector<WorklistRow>& rows);

// allRowOrders() in two steps: add() each row as it arrives, while its texts are still in the
// processor's cache, and finish() with all of them, which sorts the keys on two threads.
class RowOrderBuilder final
{
public:
    struct Head // a number per row that decides most comparisons (see roworder.cpp)
    {
        quint64 high = 0;
        quint64 low = 0;
    };

    void add(const WorklistRow& row);
    // `rows` are the rows added, in the same order.
    [[nodiscard]] RowOrders finish(const QVector<WorklistRow>& rows);

private:
    std::array<std::vector<Head>, rowSortKeyCount> m_heads;
};
