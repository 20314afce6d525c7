#pragma once

#include "connectionparams.h"
#include "dicomerror.h"
#include "exchangeerrors.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>

#include <memory>

class AbortableTransport;
class ExchangeAbort;

// Internal to the DICOM layer: one association to one server for one exchange, offering one
// abstract syntax with Explicit VR Little Endian first, then Implicit. Owns the network, the
// association and its parameters; whatever is still open when the object goes away is aborted.
class Association final
{
public:
    explicit Association(ExchangeAbort* abort);
    ~Association();
    Association(const Association&) = delete;
    Association& operator=(const Association&) = delete;

    // Checks the port, connects and negotiates. Nothing is sent when the port is unusable.
    [[nodiscard]] DicomError open(const ConnectionParams& params, const char* abstractSyntax,
                                  const QString& serviceName);
    // Ends the association politely; aborts it when that fails or the exchange was aborted.
    void release();

    [[nodiscard]] T_ASC_Association* handle() const { return m_assoc; }
    [[nodiscard]] T_ASC_PresentationContextID contextId() const { return m_contextId; }
    [[nodiscard]] int dimseTimeout() const { return m_timeouts.dimseSeconds; }
    [[nodiscard]] bool isAborted() const;
    // The failure for a condition of a DIMSE step; an abort by the program wins over the
    // condition it caused.
    [[nodiscard]] DicomError failure(const OFCondition& cond) const;
    [[nodiscard]] DicomError abortedError() const;
    [[nodiscard]] const QString& peer() const { return m_peer; }

private:
    void close(bool abortAssociation);

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
