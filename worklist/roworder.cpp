#include "roworder.h"

#include <QDate>

#include <algorithm>
#include <numeric>
#include <utility>
#include <vector>

namespace {

const QString& keyText(const WorklistRow& row, RowSortKey key)
{
    switch (key) {
    case RowSortKey::Name:
        return row.name;
    case RowSortKey::BirthDate:
        return row.birthDate;
    case RowSortKey::StepDescription:
        return row.stepDescription;
    case RowSortKey::StudyDescription:
        return row.studyDescription;
    case RowSortKey::PatientId:
        break;
    }
    return row.patientId;
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

void sortRowOrder(const QVector<WorklistRow>& rows, QVector<int>& order, RowSortKey key)
{
    // Sorting 100,000 rows must be quick: most comparisons are decided by a number per row,
    // found once; the rest compare the texts themselves, with the same result.
    std::vector<SortEntry> entries(static_cast<size_t>(order.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        const int row = std::as_const(order)[qsizetype(i)];
        if (key == RowSortKey::BirthDate) {
            // Rows without a readable date come first, as empty text would.
            const QDate& date = rows[row].birthDateValue;
            const quint64 day =
                date.isValid() ? (quint64(date.toJulianDay()) ^ (quint64(1) << 63)) : 0;
            entries[i] = SortEntry{SortHead{day, 0}, row};
        } else {
            entries[i] = SortEntry{foldedHead(keyText(rows[row], key)), row};
        }
    }
    const auto before = [&rows, key](const SortEntry& a, const SortEntry& b) {
        if (a.head.high != b.head.high)
            return a.head.high < b.head.high;
        if (a.head.low != b.head.low)
            return a.head.low < b.head.low;
        if (key == RowSortKey::BirthDate)
            return false;
        const QString& left = keyText(rows[a.row], key);
        const QString& right = keyText(rows[b.row], key);
        // Rows often share one text (see RowReader): no need to compare it with itself.
        if (left.constData() == right.constData() && left.size() == right.size())
            return false;
        return QString::compare(left, right, Qt::CaseInsensitive) < 0;
    };
    std::stable_sort(entries.begin(), entries.end(), before);
    for (size_t i = 0; i < entries.size(); ++i)
        order[qsizetype(i)] = entries[i].row;
}

RowOrders allRowOrders(const QVector<WorklistRow>& rows)
{
    RowOrders orders;
    for (int k = 0; k < rowSortKeyCount; ++k) {
        QVector<int>& order = orders[size_t(k)];
        order.resize(rows.size());
        std::iota(order.begin(), order.end(), 0);
        sortRowOrder(rows, order, static_cast<RowSortKey>(k));
    }
    return orders;
}
