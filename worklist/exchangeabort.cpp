#include "exchangeabort.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

ExchangeAbort::ExchangeAbort() : m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ExchangeAbort::~ExchangeAbort()
{
    disarmDeadline();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

void ExchangeAbort::end(Reason reason)
{
    const std::lock_guard lock(m_mutex);
    Reason none = Reason::None;
    if (!m_reason.compare_exchange_strong(none, reason))
        return;
    if (m_socket >= 0)
        ::shutdown(m_socket, SHUT_RDWR);
    if (m_wakeFd >= 0) {
        const std::uint64_t one = 1;
        (void)!::write(m_wakeFd, &one, sizeof(one));
    }
}

void ExchangeAbort::reset()
{
    disarmDeadline();
    const std::lock_guard lock(m_mutex);
    m_reason = Reason::None;
    m_refusal.clear();
    m_socket = -1;
    std::uint64_t count = 0;
    if (m_wakeFd >= 0)
        (void)!::read(m_wakeFd, &count, sizeof(count));
}

void ExchangeAbort::refuseAnswer(const QString& why)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_reason != Reason::None)
            return;
        m_refusal = why;
    }
    end(Reason::InvalidAnswer);
}

QString ExchangeAbort::refusal() const
{
    const std::lock_guard lock(m_mutex);
    return m_refusal;
}

void ExchangeAbort::armDeadline(std::chrono::steady_clock::time_point deadline)
{
    disarmDeadline();
    {
        const std::lock_guard lock(m_watchMutex);
        m_watchArmed = true;
    }
    m_watchdog = std::thread([this, deadline] {
        std::unique_lock lock(m_watchMutex);
        if (!m_watchChanged.wait_until(lock, deadline, [this] { return !m_watchArmed; })) {
            lock.unlock();
            end(Reason::Deadline);
        }
    });
}

void ExchangeAbort::disarmDeadline()
{
    {
        const std::lock_guard lock(m_watchMutex);
        m_watchArmed = false;
    }
    m_watchChanged.notify_all();
    if (m_watchdog.joinable())
        m_watchdog.join();
}

void ExchangeAbort::registerSocket(int socket)
{
    const std::lock_guard lock(m_mutex);
    m_socket = socket;
    if (m_reason != Reason::None && m_socket >= 0)
        ::shutdown(m_socket, SHUT_RDWR);
}

void ExchangeAbort::unregisterSocket(int socket)
{
    const std::lock_guard lock(m_mutex);
    if (m_socket == socket)
        m_socket = -1;
}
