#include "shutdownsignal.h"

#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sigset_t stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

} // namespace

ShutdownSignal::ShutdownSignal()
{
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        m_pipe[0] = m_pipe[1] = -1;
    m_thread = std::thread([this] { run(); });
    m_thread.detach();
}

void ShutdownSignal::run()
{
    const sigset_t set = stopSignals();
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    m_stop.store(true);
    if (m_pipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = write(m_pipe[1], &byte, 1);
    }
    std::lock_guard lock(m_mutex);
    if (m_connection >= 0)
        shutdown(m_connection, SHUT_RDWR);
}

void ShutdownSignal::watchConnection(int fd)
{
    std::lock_guard lock(m_mutex);
    m_connection = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (m_stop.load() && m_connection >= 0)
        shutdown(m_connection, SHUT_RDWR);
}

void ShutdownSignal::releaseConnection()
{
    std::lock_guard lock(m_mutex);
    if (m_connection >= 0)
        close(m_connection);
    m_connection = -1;
}
