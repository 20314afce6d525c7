#pragma once

#include "connectionparams.h"
#include "dicomerror.h"
#include "worklistrow.h"

#include <QByteArray>
#include <QHash>
#include <QLocale>
#include <QVector>

#include <optional>

// The wire between the window and kelvara-exchange, the helper program that runs one DICOM
// exchange and ends. Each side starts with the format's name and version, and a reader takes
// nothing else.
//   Request, on the helper's standard input: one QDataStream record (see encodeRequest).
//   Answer, on its standard output: lines of UTF-8 text, fields separated by tabs; a field writes
//   backslash, tab, CR and LF as "\\", "\t", "\r" and "\n", so every text comes through
//   unchanged. The first line, "row" lines as the matches arrive, at most one "truncated" (the
//   server cut its answer), and last "end" or "error<TAB>number<TAB>text".
namespace ExchangeProtocol {

enum class Operation { Find, Removal };

struct Request
{
    Operation operation = Operation::Find;
    ConnectionParams params;
    QString entryKey;            // the removal's key
    bool stepAttributes = false; // a query keeps with each row what a removal by MPPS needs
    QString mppsStatus;          // a removal by MPPS ends the step so ("COMPLETED" or
                                 // "DISCONTINUED"); empty: by the removal object
    QString step;                // the row's stepAttributes, for a removal by MPPS
};

[[nodiscard]] QByteArray encodeRequest(const Request& request);
// Null unless `bytes` are a whole request of this version.
[[nodiscard]] std::optional<Request> decodeRequest(const QByteArray& bytes);

[[nodiscard]] QByteArray firstLine();
// The shown birth date does not travel: the window formats the date in its own locale.
[[nodiscard]] QByteArray rowLine(const WorklistRow& row);
[[nodiscard]] QByteArray truncatedLine();
// "end" for no error, else the error line.
[[nodiscard]] QByteArray lastLine(const DicomError& error);

// Reads an answer piece by piece as the helper writes it, so a long list never stops the
// window for long. Birth dates are shown in `locale`'s short format with a four-digit year.
class AnswerReader final
{
public:
    explicit AnswerReader(const QLocale& locale = QLocale());

    // False once the bytes broke the format; nothing more is taken then.
    bool feed(const QByteArray& bytes);
    [[nodiscard]] bool isBroken() const { return m_broken; }
    // The last line has arrived.
    [[nodiscard]] bool isComplete() const { return m_complete; }

    [[nodiscard]] QVector<WorklistRow> takeRows() { return std::move(m_rows); }
    [[nodiscard]] bool truncated() const { return m_truncated; }
    [[nodiscard]] const DicomError& error() const { return m_error; }

private:
    bool takeLine(QByteArrayView line);
    bool takeRow(const QList<QByteArrayView>& fields);
    QString shared(QHash<QString, QString>& texts, QString text);

    QByteArray m_pending; // the start of a line whose end has not arrived
    bool m_sawFirstLine = false;
    bool m_broken = false;
    bool m_complete = false;
    bool m_truncated = false;
    DicomError m_error;
    QVector<WorklistRow> m_rows;

    QLocale m_locale;
    QString m_dateFormat;
    // A worklist repeats its dates and descriptions from row to row: rows share their text.
    QHash<qint64, QString> m_dates;
    QHash<QString, QString> m_descriptions;
};

} // namespace ExchangeProtocol
