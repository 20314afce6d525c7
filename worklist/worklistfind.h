#pragma once

#include "connectionparams.h"
#include "dicomerror.h"
#include "worklistrow.h"

#include <QMetaType>
#include <QVector>

class ExchangeAbort;

// What one worklist query brought back.
struct FindOutcome
{
    QVector<WorklistRow> rows;      // every match, in the order received
    DicomError error;               // set on failure: rows is then empty and must not be shown
    bool truncatedByServer = false; // the server cut its answer (Cancel after some matches);
                                    // the rows it sent are valid
};
Q_DECLARE_METATYPE(FindOutcome)

// Runs one Modality Worklist C-FIND with the identifier of buildWorklistIdentifier() and
// turns each match into a row as it arrives, so no answer is kept as a data set. Blocks until
// the exchange has ended, failed, timed out or was aborted through `abort`.
[[nodiscard]] FindOutcome runWorklistFind(const ConnectionParams& params,
                                          ExchangeAbort* abort = nullptr);
