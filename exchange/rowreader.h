#pragma once

#include "worklistrow.h"

#include <QByteArray>

#include <memory>

class DcmItem;

// Turns one returned worklist data set into one list row (the shown birth date is the window's:
// the row carries the date). Each data set is decoded by its own Specific Character Set
// (0008,0005); without one, text that is not plain ASCII is read as UTF-8 when it is valid
// UTF-8, otherwise as ISO 8859-1. A value that cannot be read or decoded leaves its cell empty;
// the other cells are still filled. A cell keeps at most 1024 characters: a longer value is cut
// and ends in "…" (only its first bytes are decoded); an entry key too long to be a UID is left
// empty rather than cut. A reader keeps the last character-set converter between rows, which a
// server's rows nearly always share. Not thread-safe: one reader per thread.
class RowReader final
{
public:
    // `stepAttributes`: each row also keeps what a performed procedure step for it names.
    explicit RowReader(bool stepAttributes = false);
    ~RowReader();
    RowReader(const RowReader&) = delete;
    RowReader& operator=(const RowReader&) = delete;

    [[nodiscard]] WorklistRow read(DcmItem& dataset);

private:
    struct Converters;
    std::unique_ptr<Converters> m_converters;
    bool m_stepAttributes;
};

[[nodiscard]] WorklistRow rowFromDataset(DcmItem& dataset);
// Any bytes, read as a data set (with or without file preamble and meta header). Bytes that
// do not parse give as much of a row as could be read; this never crashes.
[[nodiscard]] WorklistRow rowFromDicomBytes(const QByteArray& bytes);
