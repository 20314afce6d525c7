#include "abortabletransport.h"

#include "exchangeabort.h"

#include <dcmtk/dcmnet/dcmtrans.h>

namespace {

class RegisteredConnection final : public DcmTCPConnection
{
public:
    RegisteredConnection(DcmNativeSocketType socket, ExchangeAbort* abort)
        : DcmTCPConnection(socket), m_abort(abort)
    {
        if (m_abort)
            m_abort->registerSocket(socket);
    }
    ~RegisteredConnection() override { unregister(); }

    void close() override
    {
        unregister();
        DcmTCPConnection::close();
    }

private:
    void unregister()
    {
        if (m_abort)
            m_abort->unregisterSocket(getSocket());
        m_abort = nullptr;
    }

    ExchangeAbort* m_abort;
};

} // namespace

DcmTransportConnection* AbortableTransport::createConnection(DcmNativeSocketType openSocket,
                                                             OFBool /*useSecureLayer*/)
{
    return new RegisteredConnection(openSocket, m_abort);
}
