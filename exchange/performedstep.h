#pragma once

#include "connectionparams.h"
#include "dicomerror.h"

#include <QString>

// Takes a worklist entry off a RIS's or archive's list the way they understand it: a Modality
// Performed Procedure Step for the entry's step, created "IN PROGRESS" (N-CREATE) and at once
// set to `finalStatus`, "COMPLETED" or "DISCONTINUED" (N-SET). `step` is the row's
// stepAttributes; `performedStationAet` names this workstation in the step. A refused N-SET
// (or a connection lost after the N-CREATE) says that the step now stands "in Arbeit" there.
[[nodiscard]] DicomError sendPerformedStep(const ConnectionParams& params, const QString& step,
                                           const QString& finalStatus);
