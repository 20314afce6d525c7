#include "tcpconnect.h"

#include "exchangeabort.h"
#include "exchangeerrors.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Waits until `socket` has connected or failed, the abort fires or `deadline` passes.
// Returns 0 when connected, else the errno of the failure (ETIMEDOUT, EINTR for the abort).
int awaitConnect(int socket, std::chrono::steady_clock::time_point deadline,
                 const ExchangeAbort& abort)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return ETIMEDOUT;
        pollfd waits[2] = {{socket, POLLOUT, 0}, {abort.wakeFd(), POLLIN, 0}};
        const int ready = ::poll(waits, abort.wakeFd() >= 0 ? 2 : 1, int(left.count()) + 1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return errno;
        if (abort.isAborted())
            return EINTR;
        if (ready == 0)
            continue; // the loop finds the deadline passed
        int error = 0;
        socklen_t length = sizeof(error);
        if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            return errno;
        return error;
    }
}

} // namespace

TcpConnection connectTcp(const QString& host, quint16 port, const QString& peer,
                         const Timeouts& timeouts, const ExchangeAbort& abort)
{
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(timeouts.connectSeconds);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const QByteArray service = QByteArray::number(port);
    const int lookup =
        ::getaddrinfo(host.trimmed().toUtf8().constData(), service.constData(), &hints, &found);
    if (lookup == EAI_SYSTEM)
        return {-1, ExchangeErrors::connectFailed(errno, peer, timeouts)};
    if (lookup != 0 || !found)
        return {-1, ExchangeErrors::hostNotFound(lookup, host.trimmed())};

    int lastError = ETIMEDOUT;
    int connected = -1;
    for (addrinfo* address = found; address && connected < 0; address = address->ai_next) {
        const int socket =
            ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (socket < 0) {
            lastError = errno;
            continue;
        }
        int error = 0;
        if (::connect(socket, address->ai_addr, address->ai_addrlen) != 0)
            error = errno == EINPROGRESS ? awaitConnect(socket, deadline, abort) : errno;
        if (error == 0) {
            connected = socket;
            break;
        }
        ::close(socket);
        lastError = error;
        if (error == ETIMEDOUT || error == EINTR)
            break; // the time is up for every address
    }
    ::freeaddrinfo(found);
    if (connected < 0)
        return {-1, ExchangeErrors::connectFailed(lastError, peer, timeouts)};

    // The toolkit reads and writes blocking, with its own waits. Small messages go out at
    // once: with Nagle's algorithm each request would wait for the delayed acknowledgement.
    ::fcntl(connected, F_SETFL, ::fcntl(connected, F_GETFL, 0) & ~O_NONBLOCK);
    const int on = 1;
    ::setsockopt(connected, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    return {connected, {}};
}

bool HandoverListener::open()
{
    close();
    m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (m_socket < 0 || ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(m_socket, SOMAXCONN) != 0 ||
        ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        close();
        errno = error; // for the caller's message
        return false;
    }
    m_address = "127.0.0.1:" + QByteArray::number(ntohs(address.sin_port));
    return true;
}

void HandoverListener::close()
{
    if (m_socket >= 0)
        ::close(m_socket);
    m_socket = -1;
}
