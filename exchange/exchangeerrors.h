#pragma once

#include "connectionparams.h"
#include "dicomerror.h"
#include "tlsfailure.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/ofstd/ofcond.h>

// The helper's German failure texts and their numbers (see dicomerror.h).
// Every text is the program's own and the same in every locale; `peer` is "host:port" as the
// user gave it.
namespace ExchangeErrors {

enum class Phase { Associate, Exchange };

[[nodiscard]] DicomError badPort(const QString& port);
// `own`: the program's AE title, else the server's.
[[nodiscard]] DicomError badAeTitle(const QString& title, bool own);
// `why` names what in the answer was refused.
[[nodiscard]] DicomError answerRefused(const QString& peer, const QString& why);
// A TCP connect that failed with `error` (an errno value; ETIMEDOUT also for the connect
// time-out running out).
[[nodiscard]] DicomError connectFailed(int error, const QString& peer, const Timeouts& timeouts);
// A host name that getaddrinfo() could not resolve (`error`: its EAI_ code).
[[nodiscard]] DicomError hostNotFound(int error, const QString& host);
[[nodiscard]] DicomError fromCondition(const OFCondition& cond, Phase phase, const QString& peer,
                                       const Timeouts& timeouts);
// An answer that stopped in mid-message and stayed silent for the DIMSE time-out.
[[nodiscard]] DicomError answerStopped(const QString& peer, const Timeouts& timeouts);
[[nodiscard]] DicomError rejected(const T_ASC_RejectParameters& reject, const QString& peer);
[[nodiscard]] DicomError serviceNotAccepted(const QString& service, const QString& peer);
[[nodiscard]] DicomError status(unsigned short status, const QString& peer);
// A performed procedure step the server refused: its creation (N-CREATE), or, `created`, its
// end (N-SET), which leaves it "in Arbeit" there.
[[nodiscard]] DicomError stepRefused(unsigned short status, const QString& peer, bool created);
// What a failure after a created step adds to its text.
[[nodiscard]] QString stepLeftInProgress();

// A file named in the TLS settings that cannot be used; `key` is its key in [TLS].
enum class TlsFileProblem { Unreadable, NoCertificate, NoKey, KeyMismatch, OpenToOthers };
[[nodiscard]] DicomError tlsFile(const QString& key, const QString& path, TlsFileProblem problem);
// Certificate without PrivateKey or the other way round (`certificateMissing`: Certificate is
// empty).
[[nodiscard]] DicomError tlsPairIncomplete(bool certificateMissing);
// OpenSSL could not set up TLS at all (`code`: its error code).
[[nodiscard]] DicomError tlsSetupFailed(unsigned long code);
[[nodiscard]] DicomError tlsFailed(const TlsFailure& failure, const QString& peer,
                                   const Timeouts& timeouts);

} // namespace ExchangeErrors
