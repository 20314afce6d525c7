#pragma once

#include "connectionparams.h"
#include "dicomerror.h"
#include "exchangeerrors.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>

#include <functional>
#include <memory>

class AbortableTransport;
class ExchangeAbort;
class HandoverListener;

// Internal to the DICOM layer: one association to one server for one exchange, offering one
// abstract syntax with Explicit VR Little Endian first, then Implicit. Owns the network, the
// association and its parameters; whatever is still open when the object goes away is aborted.
// The exchange ends at its total deadline (Timeouts::totalSeconds, from open() on) whatever
// the server does.
class Association final
{
public:
    // `abort` may be null: the association then has one of its own for the deadline.
    explicit Association(ExchangeAbort* abort);
    ~Association();
    Association(const Association&) = delete;
    Association& operator=(const Association&) = delete;

    // Checks the port and the AE titles, connects and negotiates. Nothing is sent when a
    // setting is unusable.
    [[nodiscard]] DicomError open(const ConnectionParams& params, const char* abstractSyntax,
                                  const QString& serviceName);
    // Ends the association: politely after a successful exchange; after a failure it is
    // aborted, so no release waits out a time-out the user did not ask for.
    void finish(bool succeeded);

    [[nodiscard]] T_ASC_Association* handle() const { return m_assoc; }
    [[nodiscard]] T_ASC_PresentationContextID contextId() const { return m_contextId; }
    [[nodiscard]] int dimseTimeout() const { return m_timeouts.dimseSeconds; }
    [[nodiscard]] bool isAborted() const;
    // The failure for a condition of a DIMSE step; the reason the exchange was ended (the
    // program's abort, the deadline, a refused answer) wins over the condition it caused.
    [[nodiscard]] DicomError failure(const OFCondition& cond) const;
    // The failure for an exchange ended through its ExchangeAbort.
    [[nodiscard]] DicomError abortedError() const;
    [[nodiscard]] const QString& peer() const { return m_peer; }

private:
    void close(bool abortAssociation);
    // A plain association request the server ended without sending a byte.
    [[nodiscard]] bool endedWithoutAnswer(const OFCondition& cond) const;
    [[nodiscard]] bool probeForTls(const ConnectionParams& params, quint16 port);
    [[nodiscard]] DicomError connect(const ConnectionParams& params, quint16 port,
                                     HandoverListener& listener);

    std::unique_ptr<ExchangeAbort> m_ownAbort;
    ExchangeAbort* m_abort;
    std::unique_ptr<AbortableTransport> m_transport;
    T_ASC_Network* m_net = nullptr;
    T_ASC_Parameters* m_params = nullptr; // owned by m_assoc once that exists
    T_ASC_Association* m_assoc = nullptr;
    T_ASC_PresentationContextID m_contextId = 0;
    bool m_established = false;
    Timeouts m_timeouts;
    QString m_peer;
};

// One DIMSE request of an exchange: sends it on `association`, takes what comes back, and
// returns the toolkit's condition with the status of the final response in `status`.
using ExchangeStep = std::function<OFCondition(Association& association, Uint16& status)>;

// The course every exchange takes: the association for `abstractSyntax`, the step, then the
// checks in their order (the toolkit's condition, the program's abort or deadline, the final
// status, which `succeeded` judges), and the end of the association: released after success,
// aborted after any failure. Returns the failure, or no error.
[[nodiscard]] DicomError runExchange(const ConnectionParams& params, ExchangeAbort* abort,
                                     const char* abstractSyntax, const QString& serviceName,
                                     const ExchangeStep& step,
                                     const std::function<bool(Uint16 status)>& succeeded);
