#include "servingthreads.h"

#include "serverlog.h"

#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/dcmtls/tlstrans.h>

#include <arpa/inet.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace {

// The thread's last connection admit() let through, or -1.
thread_local int t_admitted = -1;

// Reads what the peer sends until it closes or pauses, for a moment at most.
void drainBeforeClose(int socket)
{
    pollfd readable{socket, POLLIN, 0};
    char buffer[4096];
    for (int reads = 0; reads < 20 && poll(&readable, 1, 50) > 0; ++reads) {
        if (recv(socket, buffer, sizeof buffer, MSG_DONTWAIT) <= 0)
            break;
    }
}

class PatientTlsConnection final : public DcmTLSConnection
{
public:
    using DcmTLSConnection::DcmTLSConnection;
    OFCondition serverSideHandshake() override
    {
        const OFCondition result = DcmTLSConnection::serverSideHandshake();
        if (result.bad())
            drainBeforeClose(getSocket());
        return result;
    }
};

} // namespace

OFCondition ServingThreads::serve(const std::string& listening)
{
    T_ASC_Network* network = nullptr;
    OFCondition result = ASC_initializeNetwork(NET_ACCEPTOR, static_cast<int>(m_config.getPort()),
                                               kRequestSeconds, &network);
    if (result.good())
        result = ASC_setTransportLayer(network, &m_layer, 0);
    if (result.bad())
        return result;
    // Every connection starts with these bounds on each read and write.
    dcmSocketReceiveTimeout.set(kRequestSeconds);
    dcmSocketSendTimeout.set(kRequestSeconds);
    dcmDisableGethostbyaddr.set(OFTrue);
    setenv("TCP_NODELAY", "1", 1); // the toolkit's switch: a small answer waits for no ACK
    serverlog::line(listening);
    std::vector<std::thread> threads;
    for (unsigned i = 0; i <= m_limit; ++i)
        threads.emplace_back([this, network] { receive(network); });
    for (std::thread& thread : threads)
        thread.join();
    return EC_Normal;
}

void ServingThreads::receive(T_ASC_Network* network)
{
    const DcmSharedSCPConfig shared(m_config);
    for (;;) {
        T_ASC_Association* association = nullptr;
        const OFCondition result =
            ASC_receiveAssociation(network, &association, m_config.getMaxReceivePDULength(),
                                   nullptr, nullptr, m_secure, DUL_BLOCK, 0);
        if (result.good()) {
            const timeval idle{kIdleSeconds, 0};
            setsockopt(t_admitted, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
            setsockopt(t_admitted, SOL_SOCKET, SO_SNDTIMEO, &idle, sizeof idle);
            const std::unique_ptr<DcmThreadSCP> scp = m_makeScp();
            scp->setSharedConfig(shared);
            scp->run(association); // and the SCP, going, frees the association
        } else if (association) {
            ASC_dropAssociation(association);
            ASC_destroyAssociation(&association);
        }
        if (t_admitted >= 0) {
            t_admitted = -1;
            --m_connections;
        }
    }
}

bool ServingThreads::admit(int socket)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length);
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    // The toolkit opens the port on every address; a demo server answers 127.0.0.1 only.
    if (ntohl(address.sin_addr.s_addr) != INADDR_LOOPBACK) {
        serverlog::line("connection from " + std::string(host) + " refused: not a local address");
        return false;
    }
    const unsigned served = m_connections++; // taken first: no two threads get the last place
    if (served < m_limit) {
        t_admitted = socket;
        return true;
    }
    --m_connections;
    serverlog::line("connection from " + std::string(host) + " refused: " + std::to_string(served) +
                    " associations are being served");
    if (m_secure)
        return false; // an answer would need a TLS handshake first: the connection is just closed
    // A-ASSOCIATE-RJ: rejected transient, by the service provider, local limit exceeded. Closing
    // with the peer's request unread would reset the connection, and the reset could overtake it.
    const char reject[] = {0x03, 0, 0, 0, 0, 4, 0, 2, 3, 2};
    if (send(socket, reject, sizeof reject, MSG_NOSIGNAL) == sizeof reject) {
        shutdown(socket, SHUT_WR);
        drainBeforeClose(socket);
    }
    return false;
}

DcmTransportConnection* GatedLayer::createConnection(DcmNativeSocketType socket, OFBool secure)
{
    if (!m_threads.admit(socket))
        return nullptr;
    if (!secure)
        return DcmTransportLayer::createConnection(socket, secure);
    SSL* ssl = SSL_new(getNativeHandle());
    if (!ssl)
        return nullptr;
    SSL_set_fd(ssl, socket);
    return new PatientTlsConnection(socket, ssl);
}
