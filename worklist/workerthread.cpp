#include "workerthread.h"

#include <cstdlib>
#include <memory>

namespace {

void* runBody(void* body)
{
    const std::unique_ptr<std::function<void()>> owned(static_cast<std::function<void()>*>(body));
    (*owned)();
    return nullptr;
}

} // namespace

WorkerThread::~WorkerThread()
{
    // Like std::thread: a thread must be joined or detached before its handle goes.
    if (m_joinable)
        std::abort();
}

bool WorkerThread::start(std::function<void()> body)
{
    if (m_joinable)
        return false;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return false;
    auto* owned = new std::function<void()>(std::move(body));
    const bool started = pthread_attr_setstacksize(&attributes, stackBytes) == 0 &&
                         pthread_create(&m_thread, &attributes, runBody, owned) == 0;
    pthread_attr_destroy(&attributes);
    if (!started)
        delete owned;
    m_joinable = started;
    return started;
}

void WorkerThread::join()
{
    if (m_joinable)
        pthread_join(m_thread, nullptr);
    m_joinable = false;
}

void WorkerThread::detach()
{
    if (m_joinable)
        pthread_detach(m_thread);
    m_joinable = false;
}
