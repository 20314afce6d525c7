#include "abortabletransport.h"

#include "answerscanner.h"
#include "exchangeabort.h"
#include "tlsconnection.h"

#include <QString>

#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmtls/tlslayer.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Bytes taken from the socket in one call. The toolkit reads every message in two small pieces
// and, when it has a time-out, waits on the socket before each; a worklist answer is a stream
// of small messages, so one call here serves dozens of them.
constexpr size_t readBufferSize = 64 * 1024;

class RegisteredConnection final : public DcmTCPConnection
{
public:
    RegisteredConnection(DcmNativeSocketType socket, ExchangeAbort* abort,
                         const std::atomic<bool>* explicitVr, TlsFailure* failure, bool* received)
        : DcmTCPConnection(socket), m_abort(abort), m_scanner(explicitVr), m_failure(failure),
          m_received(received)
    {
        if (m_abort)
            m_abort->registerSocket(socket);
    }
    ~RegisteredConnection() override { unregister(); }

    ssize_t read(void* buf, size_t nbyte) override
    {
        // An aborted exchange gets nothing more, not even what was already received.
        if (m_aborted || (m_abort && m_abort->isAborted())) {
            m_aborted = true;
            m_begin = m_end = 0;
            return 0;
        }
        if (nbyte == 0)
            return 0;
        if (m_begin == m_end) {
            // A large request goes straight to the caller's memory: no copy, no buffer.
            if (nbyte >= readBufferSize)
                return receive(buf, nbyte);
            if (!m_buffer)
                m_buffer = std::make_unique<char[]>(readBufferSize);
            const ssize_t received = receive(m_buffer.get(), readBufferSize);
            if (received <= 0)
                return received;
            m_begin = 0;
            m_end = size_t(received);
        }
        const size_t taken = std::min(nbyte, m_end - m_begin);
        std::memcpy(buf, m_buffer.get() + m_begin, taken);
        m_begin += taken;
        return ssize_t(taken);
    }

    // Bytes already taken from the socket are available without asking the socket.
    OFBool networkDataAvailable(int timeout) override
    {
        if (m_begin != m_end)
            return OFTrue;
        return DcmTCPConnection::networkDataAvailable(timeout);
    }

    // A wait on the bare socket would miss the bytes held here, so whoever waits on several
    // connections must ask networkDataAvailable() instead.
    OFBool isTransparentConnection() override { return OFFalse; }

    void close() override
    {
        unregister();
        m_begin = m_end = 0;
        DcmTCPConnection::close();
    }

private:
    ssize_t receive(void* buf, size_t nbyte)
    {
        ssize_t received = 0;
        do {
            received = ::recv(getSocket(), buf, nbyte, 0);
        } while (received < 0 && errno == EINTR);
        if (received > 0) {
            *m_received = true;
            const QString why =
                m_scanner.feed(static_cast<const unsigned char*>(buf), std::size_t(received));
            if (!why.isNull()) {
                // The toolkit gets none of these bytes: to it the connection has ended.
                if (m_scanner.sawTlsRecord())
                    m_failure->kind = TlsFailure::Kind::TlsRequired;
                if (m_abort)
                    m_abort->refuseAnswer(why);
                m_aborted = true;
                return 0;
            }
        }
        return received;
    }

    void unregister()
    {
        if (m_abort)
            m_abort->unregisterSocket(getSocket());
        m_abort = nullptr;
    }

    ExchangeAbort* m_abort; // not owned; null once unregistered
    AnswerScanner m_scanner;
    TlsFailure* m_failure;
    bool* m_received;
    std::unique_ptr<char[]> m_buffer;
    size_t m_begin = 0; // unread bytes of m_buffer: [m_begin, m_end)
    size_t m_end = 0;
    bool m_aborted = false;
};

} // namespace

AbortableTransport::AbortableTransport(ExchangeAbort* abort) : m_abort(abort) {}

AbortableTransport::~AbortableTransport()
{
    dropHandover();
}

void AbortableTransport::handOver(int connectedSocket)
{
    dropHandover();
    m_handover = connectedSocket;
}

void AbortableTransport::dropHandover()
{
    if (m_handover < 0)
        return;
    // The abort must not shut down a number the system may hand to another socket next.
    if (m_abort)
        m_abort->unregisterSocket(m_handover);
    ::close(m_handover);
    m_handover = -1;
}

DcmTransportConnection* AbortableTransport::createConnection(DcmNativeSocketType openSocket,
                                                             OFBool /*useSecureLayer*/)
{
    if (m_handover >= 0) {
        // The toolkit's socket number now names the connection the program made; its own
        // connection to the hand-over listener ends here. The copy stays closed to child
        // processes, as the original was.
        const bool replaced = ::dup3(m_handover, openSocket, O_CLOEXEC) >= 0;
        if (replaced && m_abort)
            m_abort->registerSocket(openSocket);
        dropHandover();
        if (!replaced)
            return nullptr;
    }
    if (m_tls) {
        SSL* ssl = SSL_new(m_tls->getNativeHandle());
        if (!ssl || SSL_set_fd(ssl, static_cast<int>(openSocket)) != 1) {
            SSL_free(ssl);
            if (m_abort)
                m_abort->unregisterSocket(openSocket); // the toolkit closes it
            return nullptr;
        }
        return new TlsConnection(openSocket, ssl, m_abort, &m_explicitVr, &m_tlsFailure,
                                 m_handshakeSeconds);
    }
    return new RegisteredConnection(openSocket, m_abort, &m_explicitVr, &m_tlsFailure, &m_received);
}

void AbortableTransport::useTls(std::unique_ptr<DcmTLSTransportLayer> tls, int handshakeSeconds)
{
    m_tls = std::move(tls);
    m_handshakeSeconds = handshakeSeconds;
}
