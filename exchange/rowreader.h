#pragma once

#include "worklistrow.h"

#include <QByteArray>
#include <QHash>
#include <QLocale>

#include <memory>
#include <string>

class DcmItem;

// Turns one returned worklist data set into one list row. Each data set is decoded by its own
// Specific Character Set (0008,0005); without one, text that is not plain ASCII is read as
// UTF-8 when it is valid UTF-8, otherwise as ISO 8859-1. A value that cannot be read or decoded
// leaves its cell empty; the other cells are still filled. A cell keeps at most 1024
// characters: a longer value is cut and ends in "…" (only its first bytes are decoded); an
// entry key too long to be a UID is left empty rather than cut.
// A reader keeps the date format and the last character-set converter between rows, so one
// reader per exchange is cheaper than the free functions below. Rows of one reader share the
// text of equal birth dates and descriptions, which a worklist repeats from row to row.
// Not thread-safe: one reader per thread.
class RowReader final
{
public:
    explicit RowReader(const QLocale& locale = QLocale());
    ~RowReader();
    RowReader(const RowReader&) = delete;
    RowReader& operator=(const RowReader&) = delete;

    [[nodiscard]] WorklistRow read(DcmItem& dataset);

private:
    struct Converters;

    // Decoded descriptions by their bytes, for the character set they were decoded with.
    struct TextCache
    {
        std::string charset;
        QHash<QByteArray, QString> texts;
    };

    QLocale m_locale;
    QString m_dateFormat; // the locale's short date format with a four-digit year
    std::unique_ptr<Converters> m_converters;
    QHash<qint64, QString> m_dates; // shown birth date by Julian day
    TextCache m_descriptions;
};

[[nodiscard]] WorklistRow rowFromDataset(DcmItem& dataset, const QLocale& locale = QLocale());
// Any bytes, read as a data set (with or without file preamble and meta header). Bytes that
// do not parse give as much of a row as could be read; this never crashes.
[[nodiscard]] WorklistRow rowFromDicomBytes(const QByteArray& bytes,
                                            const QLocale& locale = QLocale());
