#include "exchangeabort.h"

#include <sys/socket.h>

void ExchangeAbort::abort()
{
    const std::lock_guard lock(m_mutex);
    m_aborted = true;
    if (m_socket >= 0)
        ::shutdown(m_socket, SHUT_RDWR);
}

bool ExchangeAbort::isAborted() const
{
    return m_aborted;
}

void ExchangeAbort::reset()
{
    const std::lock_guard lock(m_mutex);
    m_aborted = false;
    m_socket = -1;
}

void ExchangeAbort::registerSocket(int socket)
{
    const std::lock_guard lock(m_mutex);
    m_socket = socket;
    if (m_aborted && m_socket >= 0)
        ::shutdown(m_socket, SHUT_RDWR);
}

void ExchangeAbort::unregisterSocket(int socket)
{
    const std::lock_guard lock(m_mutex);
    if (m_socket == socket)
        m_socket = -1;
}
