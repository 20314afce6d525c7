#pragma once

#include "dicomerror.h"
#include "worklistrow.h"

#include <QMetaType>
#include <QVector>

// What one worklist query brought back.
struct FindOutcome
{
    QVector<WorklistRow> rows;      // every match, in the order received
    DicomError error;               // set on failure: rows is then empty and must not be shown
    bool truncatedByServer = false; // the server cut its answer (Cancel after some matches);
                                    // the rows it sent are valid
};
Q_DECLARE_METATYPE(FindOutcome)
