#pragma once

#include "tlsfailure.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/dcmlayer.h>

#include <atomic>
#include <cstddef>
#include <memory>

class DcmTLSTransportLayer;
class ExchangeAbort;

// What the program accepts in one answer. A real worklist entry nests two or three levels of
// sequences and takes a few kilobytes; the toolkit reads nesting by recursion, one stack frame
// chain per level, and reserves a value's memory by its length field before the value arrives.
namespace AnswerLimits {
constexpr int maxNesting = 16;                           // levels of sequences
constexpr std::size_t maxDataSetBytes = 4 * 1024 * 1024; // one data set (one entry)
} // namespace AnswerLimits

// Internal to the DICOM layer. A plain TCP transport whose connections register their socket
// with an ExchangeAbort as soon as the TCP connection stands, before the association request
// is sent, so an abort also ends a server that accepts and then never speaks.
// Every byte received passes a check before the toolkit sees it: the first PDU must answer the
// association request, and no data set may nest deeper or be larger than AnswerLimits allow.
// A breach ends the exchange through the ExchangeAbort (refuseAnswer) before the toolkit
// parses the bytes that break it.
// The toolkit asks for such a layer only for "secure" connections; the association switches
// that mode on always. Without useTls() this layer hands out ordinary, unencrypted connections;
// with it, TLS connections over the same socket, whose checks see the decrypted bytes.
class AbortableTransport final : public DcmTransportLayer
{
public:
    explicit AbortableTransport(ExchangeAbort* abort);
    ~AbortableTransport() override;

    // The connected socket the next connection is to use instead of the toolkit's own one.
    // Owned by the transport until then.
    void handOver(int connectedSocket);
    // The transfer syntax of the data sets that follow: explicit or implicit VR little endian.
    void setExplicitVr(bool explicitVr) { m_explicitVr = explicitVr; }

    // Connections from now on run TLS with this configured layer; its handshake must end within
    // `handshakeSeconds`.
    void useTls(std::unique_ptr<DcmTLSTransportLayer> tls, int handshakeSeconds);
    // Why TLS failed, or that a plain connection met a server speaking only TLS.
    [[nodiscard]] const TlsFailure& tlsFailure() const { return m_tlsFailure; }
    void noteTlsFailure(const TlsFailure& failure) { m_tlsFailure = failure; }
    // Whether the server sent anything at all on a plain connection.
    [[nodiscard]] bool receivedAnything() const { return m_received; }

    DcmTransportConnection* createConnection(DcmNativeSocketType openSocket,
                                             OFBool useSecureLayer) override;

private:
    // Closes the connection waiting to be handed over, if any, and forgets its number.
    void dropHandover();

    ExchangeAbort* m_abort; // not owned; may be null
    int m_handover = -1;
    std::atomic<bool> m_explicitVr{true};
    std::unique_ptr<DcmTLSTransportLayer> m_tls;
    int m_handshakeSeconds = 10;
    TlsFailure m_tlsFailure; // written and read on the exchange's thread only
    bool m_received = false;
};
