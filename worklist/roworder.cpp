#include "roworder.h"

#include <QDate>

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

// The start of a text as QString::compare(..., Qt::CaseInsensitive) orders it: each UTF-16 unit
// case-folded on its own (a low surrogate as the folded code point of its pair), each folded
// value written as UTF-8, the first 16 bytes of that as two numbers, zero-padded. UTF-8 keeps
// the order of the values and no value's bytes start another's, so when two heads differ they
// order the texts as the comparison does; equal heads leave it to the comparison itself.
using SortHead = RowOrderBuilder::Head;

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

SortHead headOf(const WorklistRow& row, RowSortKey key)
{
    if (key == RowSortKey::BirthDate) {
        // Rows without a readable date come first, as empty text would.
        const QDate& date = row.birthDateValue;
        return {date.isValid() ? (quint64(date.toJulianDay()) ^ (quint64(1) << 63)) : 0, 0};
    }
    return foldedHead(columnText(row, int(key)));
}

struct SortEntry
{
    SortHead head;
    int row;
};

// Sorts by the heads, and where they are equal by the texts themselves.
void sortEntries(const QVector<WorklistRow>& rows, std::vector<SortEntry>& entries, RowSortKey key)
{
    const auto before = [&rows, key](const SortEntry& a, const SortEntry& b) {
        if (a.head.high != b.head.high)
            return a.head.high < b.head.high;
        if (a.head.low != b.head.low)
            return a.head.low < b.head.low;
        if (key == RowSortKey::BirthDate)
            return false;
        const QString& left = columnText(rows[a.row], int(key));
        const QString& right = columnText(rows[b.row], int(key));
        // Rows often share one text (see RowReader): no need to compare it with itself.
        if (left.constData() == right.constData() && left.size() == right.size())
            return false;
        return QString::compare(left, right, Qt::CaseInsensitive) < 0;
    };
    std::stable_sort(entries.begin(), entries.end(), before);
}

} // namespace

void sortRowOrder(const QVector<WorklistRow>& rows, QVector<int>& order, RowSortKey key)
{
    // Sorting 100,000 rows must be quick: most comparisons are decided by a number per row,
    // found once; the rest compare the texts themselves, with the same result.
    std::vector<SortEntry> entries(static_cast<size_t>(order.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        const int row = std::as_const(order)[qsizetype(i)];
        entries[i] = SortEntry{headOf(rows[row], key), row};
    }
    sortEntries(rows, entries, key);
    for (size_t i = 0; i < entries.size(); ++i)
        order[qsizetype(i)] = entries[i].row;
}

RowOrders allRowOrders(const QVector<WorklistRow>& rows)
{
    RowOrderBuilder builder;
    for (const WorklistRow& row : rows)
        builder.add(row);
    return builder.finish(rows);
}

void RowOrderBuilder::add(const WorklistRow& row)
{
    for (int k = 0; k < rowSortKeyCount; ++k)
        m_heads[size_t(k)].push_back(headOf(row, static_cast<RowSortKey>(k)));
}

RowOrders RowOrderBuilder::finish(const QVector<WorklistRow>& rows)
{
    RowOrders orders;
    const auto sortKey = [this, &rows, &orders](int k) {
        std::vector<Head> heads = std::move(m_heads[size_t(k)]);
        if (heads.size() != size_t(rows.size()))
            return; // not the rows added: no order rather than a wrong one
        std::vector<SortEntry> entries(heads.size());
        for (size_t i = 0; i < entries.size(); ++i)
            entries[i] = SortEntry{heads[i], int(i)};
        heads = {};
        sortEntries(rows, entries, static_cast<RowSortKey>(k));
        QVector<int>& order = orders[size_t(k)];
        order.resize(rows.size());
        for (size_t i = 0; i < entries.size(); ++i)
            order[qsizetype(i)] = entries[i].row;
    };
    // The rows are only read, so two threads may sort them: the descriptions, with their many
    // equal heads, on a second thread, the rest on this one.
    std::thread helper;
    if (rows.size() >= 4096) {
        try {
            helper = std::thread([&sortKey] {
                sortKey(int(RowSortKey::StepDescription));
                sortKey(int(RowSortKey::StudyDescription));
            });
        } catch (const std::system_error&) {
        }
    }
    for (int k = 0; k < rowSortKeyCount; ++k) {
        const bool onHelper =
            k == int(RowSortKey::StepDescription) || k == int(RowSortKey::StudyDescription);
        if (!onHelper || !helper.joinable())
            sortKey(k);
    }
    if (helper.joinable())
        helper.join();
    m_heads = {};
    return orders;
}
