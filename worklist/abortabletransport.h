#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/dcmlayer.h>

class ExchangeAbort;

// Internal to the DICOM layer. A plain TCP transport whose connections register their socket
// with an ExchangeAbort as soon as the TCP connection stands, before the association request
// is sent, so an abort also ends a server that accepts and then never speaks.
// The toolkit asks for such a layer only for "secure" connections; the association switches
// that mode on while this layer hands out ordinary, unencrypted connections.
class AbortableTransport final : public DcmTransportLayer
{
public:
    explicit AbortableTransport(ExchangeAbort* abort) : m_abort(abort) {}

    DcmTransportConnection* createConnection(DcmNativeSocketType openSocket,
                                             OFBool useSecureLayer) override;

private:
    ExchangeAbort* m_abort; // not owned; may be null
};
