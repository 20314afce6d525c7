#pragma once

#include "connectionparams.h"
#include "dicomerror.h"

#include <QString>

// Asks the server to take an entry off its worklist: sends, as a Computed Radiography Image
// Storage instance with a new 2.25 UID, a data set holding (0019,0010) LO "REMOVE" and
// (0019,0030) LO the entry key, plus the SOP Class and Instance UIDs of the send, which DICOM
// requires in a stored instance. Blocks until the server has answered; a failure status of the
// store is an error. `sopInstanceUid`, when given, receives the UID used (also on failure once
// the UID exists). A port that is not 1..65535 fails with -1 before anything is sent.
[[nodiscard]] DicomError sendRemoval(const ConnectionParams& params, const QString& entryKey,
                                     QString* sopInstanceUid = nullptr);
