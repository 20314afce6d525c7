#include "associationserver.h"

#include "listensocket.h"
#include "requestlog.h"
#include "servertls.h"
#include "shutdownsignal.h"
#include "textutil.h"
#include "worklistscp.h"

#include <dcmtk/dcmnet/dul.h>

#include <algorithm>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// An association request names a few presentation contexts: a few hundred bytes, rarely a few KB.
constexpr std::uint32_t kMaxRequestBytes = 64 * 1024;
// The association request itself must arrive within this time (or the deadline, if shorter).
constexpr int kRequestSeconds = 30;

// DCMTK takes an accepted socket through one process-wide setting, read when it starts to
// receive an association; the request is complete by then, so this is held only briefly.
std::mutex g_handOver;

std::string peerAddress(int socket)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    char text[INET_ADDRSTRLEN] = "?";
    if (getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
}

// Waits until at least `bytes` are buffered on the socket (or it is shut down, closed, or the
// deadline passes); true when they are.
bool waitForBytes(int socket, std::size_t bytes, std::chrono::steady_clock::time_point deadline,
                  std::string& peeked)
{
    const int lowWater = static_cast<int>(bytes);
    setsockopt(socket, SOL_SOCKET, SO_RCVLOWAT, &lowWater, sizeof lowWater);
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        pollfd fd{socket, POLLIN, 0};
        const int ready = poll(&fd, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready <= 0)
            continue;
        peeked.resize(bytes);
        const ssize_t got = recv(socket, peeked.data(), bytes, MSG_PEEK | MSG_DONTWAIT);
        if (got == static_cast<ssize_t>(bytes))
            break;
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR) ||
            (fd.revents & (POLLHUP | POLLERR)))
            return false;
    }
    const int one = 1;
    setsockopt(socket, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
    return true;
}

} // namespace

AssociationServer::AssociationServer(const std::string& aeTitle, WorklistStore& store,
                                     ListenSocket& socket, ShutdownSignal& signal,
                                     const RequestLog& log, Limits limits)
    : m_aeTitle(aeTitle), m_store(store), m_socket(socket), m_signal(signal), m_log(log),
      m_limits(limits)
{}

AssociationServer::~AssociationServer()
{
    stopAll();
    if (m_network)
        ASC_dropNetwork(&m_network);
}

OFCondition AssociationServer::run()
{
    // With an external socket handle set, DCMTK opens no listener of its own.
    dcmExternalSocketHandle.set(m_socket.fd());
    dcmDisableGethostbyaddr.set(OFTrue);
    OFCondition cond = ASC_initializeNetwork(NET_ACCEPTOR, 0, kRequestSeconds, &m_network);
    dcmExternalSocketHandle.set(-1);
    if (cond.good() && m_tls)
        cond = ASC_setTransportLayer(m_network, m_tls, 0);
    if (cond.bad())
        return cond;
    m_watchdog = std::thread([this] { watch(); });

    while (!m_signal.stopRequested()) {
        const int socket = m_socket.accept(m_signal.wakeFd(), 500);
        reapFinished();
        if (socket < 0)
            continue;
        // DCMTK leaves Nagle's algorithm on: each small response would wait for a delayed ACK.
        const int on = 1;
        setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::unique_lock lock(m_mutex);
        const auto active = std::count_if(m_connections.begin(), m_connections.end(),
                                          [](const Connection& c) { return !c.done; });
        if (static_cast<unsigned>(active) >= m_limits.maxAssociations) {
            lock.unlock();
            m_log.line("connection from " + peerAddress(socket) + " refused: " +
                       std::to_string(m_limits.maxAssociations) + " associations are being served");
            refuse(socket);
            continue;
        }
        Connection& connection = m_connections.emplace_back();
        connection.socket = socket;
        connection.watched = fcntl(socket, F_DUPFD_CLOEXEC, 0);
        connection.deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(m_limits.deadlineSeconds);
        connection.thread = std::thread([this, &connection] { serve(connection); });
        m_changed.notify_all();
    }
    stopAll();
    return EC_Normal;
}

bool AssociationServer::waitForRequest(Connection& connection, std::string& why)
{
    const auto deadline = std::min(connection.deadline, std::chrono::steady_clock::now() +
                                                            std::chrono::seconds(kRequestSeconds));
    std::string header;
    if (!waitForBytes(connection.socket, 6, deadline, header)) {
        why = "no association request";
        return false;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(header.data());
    const std::uint32_t length =
        (std::uint32_t(bytes[2]) << 24) | (bytes[3] << 16) | (bytes[4] << 8) | bytes[5];
    if (bytes[0] != 0x01) {
        why = "not an association request";
        return false;
    }
    if (length > kMaxRequestBytes) {
        why = "association request larger than " + std::to_string(kMaxRequestBytes) + " bytes";
        return false;
    }
    std::string request;
    if (!waitForBytes(connection.socket, 6 + length, deadline, request)) {
        why = "association request incomplete";
        return false;
    }
    return true;
}

void AssociationServer::serve(Connection& connection)
{
    const std::string address = peerAddress(connection.socket);
    std::string why;
    T_ASC_Association* association = nullptr;
    bool received = false;
    // The TLS handshake runs here, on the connection's own thread, inside its deadline.
    DcmTransportConnection* tls = nullptr;
    if (m_tls) {
        const auto deadline =
            std::min(connection.deadline,
                     std::chrono::steady_clock::now() + std::chrono::seconds(kRequestSeconds));
        tls = m_tls->accept(connection.socket, deadline, kMaxRequestBytes, why);
    }
    if (m_tls ? tls != nullptr : waitForRequest(connection, why)) {
        std::lock_guard handOver(g_handOver);
        dcmExternalSocketHandle.set(connection.socket);
        if (m_tls)
            m_tls->handOver(tls, connection.socket); // DCMTK owns it from here
        const OFCondition cond =
            ASC_receiveAssociation(m_network, &association, ASC_DEFAULTMAXPDU, nullptr, nullptr,
                                   m_tls ? OFTrue : OFFalse, DUL_NOBLOCK, 1);
        if (m_tls)
            m_tls->handOver(nullptr, -1);
        dcmExternalSocketHandle.set(-1);
        received = cond.good();
        if (!received)
            why = std::string("association request not understood: ") + cond.text();
    }
    if (received) {
        const int dimseSeconds = std::min(60, m_limits.deadlineSeconds);
        WorklistScp scp(m_aeTitle, dimseSeconds, m_store, m_signal, m_log);
        scp.serve(association, connection.socket); // DCMTK drops the association and the socket
    } else if (association) {
        ASC_dropAssociation(association);
        ASC_destroyAssociation(&association);
    } else {
        close(connection.socket);
    }

    std::lock_guard lock(m_mutex);
    // The wait for the request may end at the deadline just before the watchdog notices it.
    if (connection.expired || std::chrono::steady_clock::now() >= connection.deadline)
        m_log.line("connection from " + address + " aborted: deadline of " +
                   std::to_string(m_limits.deadlineSeconds) + " s passed" +
                   (received ? "" : " (" + why + ")"));
    else if (!received && !m_stopping && why != "no association request")
        m_log.line("connection from " + address + " closed: " + why);
    close(connection.watched);
    connection.watched = -1;
    connection.done = true;
    m_changed.notify_all();
}

void AssociationServer::refuse(int socket)
{
    // A-ASSOCIATE-RJ: rejected-transient, by the service provider (presentation), local limit
    // exceeded. Written without waiting for the request, so a slow client costs nothing; what it
    // sent so far is read away first, so that closing does not reset the connection before the
    // answer arrives.
    static const unsigned char reject[] = {0x03, 0, 0, 0, 0, 4, 0, 2, 3, 2};
    char scratch[4096];
    // What is there already, and no more: a client that keeps sending must not hold the loop
    // that accepts everybody.
    for (int i = 0; i < 16 && recv(socket, scratch, sizeof scratch, MSG_DONTWAIT) > 0; ++i) {
    }
    [[maybe_unused]] const ssize_t sent =
        send(socket, reject, sizeof reject, MSG_DONTWAIT | MSG_NOSIGNAL);
    finishSending(socket, 100);
    close(socket);
}

void AssociationServer::watch()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        auto next = std::chrono::steady_clock::time_point::max();
        const auto now = std::chrono::steady_clock::now();
        for (Connection& connection : m_connections) {
            if (connection.done || connection.expired)
                continue;
            if (connection.deadline <= now) {
                connection.expired = true;
                shutdown(connection.watched, SHUT_RDWR);
            } else {
                next = std::min(next, connection.deadline);
            }
        }
        if (next == std::chrono::steady_clock::time_point::max())
            m_changed.wait(lock);
        else
            m_changed.wait_until(lock, next);
    }
}

void AssociationServer::reapFinished()
{
    std::list<Connection> finished;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            auto current = it++;
            if (current->done)
                finished.splice(finished.end(), m_connections, current);
        }
    }
    for (Connection& connection : finished)
        connection.thread.join();
}

void AssociationServer::stopAll()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        for (Connection& connection : m_connections)
            if (!connection.done && connection.watched >= 0)
                shutdown(connection.watched, SHUT_RDWR);
        m_changed.notify_all();
    }
    if (m_watchdog.joinable())
        m_watchdog.join();
    for (Connection& connection : m_connections)
        if (connection.thread.joinable())
            connection.thread.join();
    m_connections.clear();
}
