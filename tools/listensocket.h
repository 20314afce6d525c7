#pragma once

#include <cstdint>
#include <string>

// The server's listening TCP socket, bound to one IPv4 address (DCMTK's own listener always
// binds to every interface, so the server accepts here and hands each connection to DCMTK).
class ListenSocket final
{
public:
    ListenSocket() = default;
    ~ListenSocket();
    ListenSocket(const ListenSocket&) = delete;
    ListenSocket& operator=(const ListenSocket&) = delete;

    [[nodiscard]] bool open(const std::string& address, std::uint16_t port, std::string& error);
    [[nodiscard]] int fd() const { return m_fd; }

    // Waits up to `timeoutMs` for a connection; returns its socket, or -1 on time-out, when
    // `wakeFd` became readable, or on an error.
    [[nodiscard]] int accept(int wakeFd, int timeoutMs);

private:
    int m_fd = -1;
};

// Ends the sending side of `socket` and reads away what the peer still sends, for at most
// `msecs`: closing with unread bytes would reset the connection and could destroy the answer just
// sent before the peer reads it. A peer that keeps sending gets no more time.
void finishSending(int socket, int msecs);
