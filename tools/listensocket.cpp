#include "listensocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

ListenSocket::~ListenSocket()
{
    if (m_fd >= 0)
        close(m_fd);
}

bool ListenSocket::open(const std::string& address, std::uint16_t port, std::string& error)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        error = "not an IPv4 address: " + address;
        return false;
    }
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int on = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(m_fd, 64) != 0) {
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " +
                std::strerror(errno);
        close(m_fd);
        m_fd = -1;
        return false;
    }
    return true;
}

int ListenSocket::accept(int wakeFd, int timeoutMs)
{
    pollfd fds[2] = {{m_fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const int ready = poll(fds, wakeFd >= 0 ? 2 : 1, timeoutMs);
    if (ready <= 0 || (fds[1].revents & POLLIN) || !(fds[0].revents & POLLIN))
        return -1;
    return accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

void finishSending(int socket, int msecs)
{
    ::shutdown(socket, SHUT_WR);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(msecs);
    char scratch[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd fd{socket, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&fd, 1, int(left.count())) <= 0 ||
            ::recv(socket, scratch, sizeof scratch, MSG_DONTWAIT) <= 0)
            break;
    }
}
