#pragma once

#include "worklistrow.h"

#include <QString>
#include <QVector>

struct DicomError;

// What the user reads about a removal. Every text names the entries themselves, so nobody has
// to guess which patient a box or the status line means.

// One entry: "4711 Werner Klaus, 05.07.1945 – CT Thorax nativ", leaving out what it lacks.
[[nodiscard]] QString entryText(const WorklistRow& row);
// Several entries, one after the other: "…; …".
[[nodiscard]] QString entriesText(const QVector<WorklistRow>& rows);
// The question before a removal that takes more than the chosen row off the worklist.
[[nodiscard]] QString sharedKeyQuestion(const QVector<WorklistRow>& rows);
// A failed removal: the number first, as every failure box, then what stayed, then why.
[[nodiscard]] QString notRemovedText(const DicomError& error, const QVector<WorklistRow>& rows);
