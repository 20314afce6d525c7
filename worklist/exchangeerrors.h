#pragma once

#include "connectionparams.h"
#include "dicomerror.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/ofstd/ofcond.h>

// Internal to the DICOM layer: the German failure texts and their numbers (see dicomerror.h).
// `peer` is "host:port" as the user gave it.
namespace ExchangeErrors {

enum class Phase { Connect, Associate, Exchange };

[[nodiscard]] DicomError badPort(const QString& port);
[[nodiscard]] DicomError aborted(const QString& peer);
[[nodiscard]] DicomError fromCondition(const OFCondition& cond, Phase phase, const QString& peer,
                                       const Timeouts& timeouts);
[[nodiscard]] DicomError rejected(const T_ASC_RejectParameters& reject, const QString& peer);
[[nodiscard]] DicomError serviceNotAccepted(const QString& service, const QString& peer);
[[nodiscard]] DicomError status(unsigned short status, const QString& peer);

} // namespace ExchangeErrors
