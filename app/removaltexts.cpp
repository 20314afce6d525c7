#include "removaltexts.h"

#include "dicomerror.h"

#include <QStringList>

QString entryText(const WorklistRow& row)
{
    QString text = (row.patientId + row.name).simplified();
    if (!row.birthDate.isEmpty())
        text += QStringLiteral(", ") + row.birthDate;
    if (!row.stepDescription.isEmpty())
        text += QStringLiteral(" – ") + row.stepDescription;
    return text;
}

QString entriesText(const QVector<WorklistRow>& rows)
{
    QStringList texts;
    for (const WorklistRow& row : rows)
        texts << entryText(row);
    return texts.join(QStringLiteral("; "));
}

QString sharedKeyQuestion(const QVector<WorklistRow>& rows)
{
    QStringList lines;
    for (const WorklistRow& row : rows)
        lines << entryText(row);
    return QStringLiteral("Der gewählte Eintrag gehört zu einer Studie mit %1 Einträgen. "
                          "Entfernen nimmt alle %1 von der Worklist:\n\n%2\n\nAlle %1 "
                          "Einträge entfernen?")
        .arg(rows.size())
        .arg(lines.join(QLatin1Char('\n')));
}

QString notRemovedText(const DicomError& error, const QVector<WorklistRow>& rows)
{
    return QStringLiteral("%1 - Nicht entfernt: %2: %3")
        .arg(QString::number(error.number), entriesText(rows), error.description);
}
