#pragma once

#include <QDate>
#include <QString>
#include <QtGlobal>

// One worklist entry as the list shows it. Plain values only: the list holds tens of
// thousands of these, so no per-cell objects. A cell that could not be read is empty.
struct WorklistRow
{
    QString patientId;
    QString name;      // components joined with a leading blank each: " Family Given"
    QString birthDate; // locale's short date with a four-digit year
    QString stepDescription;
    QString studyDescription;
    QString entryKey;     // Study Instance UID, sent back unchanged by the removal
    QDate birthDateValue; // for sorting by date; invalid when unreadable
    // What a performed procedure step for this entry names, when the query was asked for it
    // (see stepAttributeNames), joined by U+001F; else empty.
    QString stepAttributes;
};
// Plain values that may be moved in memory as bytes: a growing list of 100,000 rows then
// reallocates instead of moving each row.
Q_DECLARE_TYPEINFO(WorklistRow, Q_RELOCATABLE_TYPE);

// The order of the values in WorklistRow::stepAttributes, each as the server sent it (decoded):
// patient's name (with its "^"), patient ID, birth date, sex, Study Instance UID, accession
// number, Referenced Study's SOP Class and Instance UID, Requested Procedure ID and
// description, Scheduled Procedure Step ID and description, modality, and the first Scheduled
// Protocol Code's value, scheme and meaning.
enum class StepAttribute {
    PatientName,
    PatientId,
    BirthDate,
    Sex,
    StudyUid,
    AccessionNumber,
    ReferencedStudyClass,
    ReferencedStudyInstance,
    RequestedProcedureId,
    RequestedProcedureDescription,
    StepId,
    StepDescription,
    Modality,
    ProtocolCodeValue,
    ProtocolCodingScheme,
    ProtocolCodeMeaning,
    Count
};
constexpr QChar stepAttributeSeparator = QChar(0x1F);

// The text a row shows in list column `column`, in the list's order: patient ID, name, birth
// date, step description, study description.
[[nodiscard]] inline const QString& columnText(const WorklistRow& row, int column)
{
    switch (column) {
    case 1:
        return row.name;
    case 2:
        return row.birthDate;
    case 3:
        return row.stepDescription;
    case 4:
        return row.studyDescription;
    default:
        return row.patientId;
    }
}
