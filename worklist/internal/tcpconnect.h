#pragma once

#include "connectionparams.h"
#include "dicomerror.h"

class ExchangeAbort;

// Internal to the DICOM layer: the TCP connection of one exchange, made by the program itself
// rather than by the toolkit, so that a failure is known by its errno (the toolkit keeps only
// its translated text), the abort and the deadline end a connect at once, and the socket gets
// the options the exchange needs.
struct TcpConnection
{
    int socket = -1;  // connected and blocking; -1 on failure
    DicomError error; // on failure; meaningless when `abort` has ended the exchange
};

// Resolves `host` and connects to `port` within the connect time-out, watching `abort`.
[[nodiscard]] TcpConnection connectTcp(const QString& host, quint16 port, const QString& peer,
                                       const Timeouts& timeouts, const ExchangeAbort& abort);

// The toolkit makes its own TCP connection and offers it to the transport layer; it has no way
// to take one that stands. So it connects to this short-lived listener on 127.0.0.1 instead, and
// the transport puts the real connection in place of that one (AbortableTransport::handOver).
// Nothing is ever accepted: the listener is closed once the toolkit holds the real socket.
class HandoverListener final
{
public:
    HandoverListener() = default;
    ~HandoverListener() { close(); }
    HandoverListener(const HandoverListener&) = delete;
    HandoverListener& operator=(const HandoverListener&) = delete;

    [[nodiscard]] bool open();
    // "127.0.0.1:port", for the toolkit's called presentation address.
    [[nodiscard]] const QByteArray& address() const { return m_address; }
    void close();

private:
    int m_socket = -1;
    QByteArray m_address;
};
