#include "worklistsort.h"

#include <QCollator>

#include <algorithm>
#include <limits>
#include <numeric>
#include <vector>

namespace {

constexpr int birthDateColumn = 2;

} // namespace

QVector<int> sortedRowOrder(const QVector<WorklistRow>& rows, int column, const QLocale& locale)
{
    QVector<int> order(rows.size());
    std::iota(order.begin(), order.end(), 0);
    if (column == birthDateColumn) {
        std::vector<qint64> days;
        days.reserve(size_t(rows.size()));
        for (const WorklistRow& row : rows)
            days.push_back(row.birthDateValue.isValid() ? row.birthDateValue.toJulianDay()
                                                        : std::numeric_limits<qint64>::min());
        std::stable_sort(order.begin(), order.end(),
                         [&days](int a, int b) { return days[size_t(a)] < days[size_t(b)]; });
        return order;
    }

    QCollator collator(locale);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setNumericMode(true);
    // A key per row, made once: comparing two keys is a byte comparison, while comparing two
    // texts through the collator would redo the work at every step of the sort.
    std::vector<QCollatorSortKey> keys;
    keys.reserve(size_t(rows.size()));
    for (const WorklistRow& row : rows)
        keys.push_back(collator.sortKey(columnText(row, column)));
    std::stable_sort(order.begin(), order.end(), [&keys](int a, int b) {
        return keys[size_t(a)].compare(keys[size_t(b)]) < 0;
    });
    return order;
}

QLocale collationLocale()
{
    const QLocale locale;
    if (locale.language() == QLocale::C)
        return QLocale(QLocale::German, QLocale::Germany);
    return locale;
}
