#include "worklistclient.h"

#include "removal.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <chrono>

namespace {

// How long going away waits for a worker the abort has not ended yet.
constexpr std::chrono::milliseconds destructionWait{250};

} // namespace

WorklistClient::WorklistClient(QObject* parent)
    : QObject(parent), m_state(std::make_shared<WorkerState>())
{
    m_state->receiver = this;
    qRegisterMetaType<FindOutcome>();
    qRegisterMetaType<DicomError>();
}

WorklistClient::~WorklistClient()
{
    m_pendingRemovals.clear();
    {
        // Results posted before this are dropped with this object's pending events.
        const std::lock_guard lock(m_state->mutex);
        m_state->receiver = nullptr;
    }
    m_state->abort.abort();
    if (!m_worker.joinable())
        return;
    std::unique_lock lock(m_state->mutex);
    const bool ended =
        m_state->ended.wait_for(lock, destructionWait, [this] { return m_state->done; });
    lock.unlock();
    // Closing must not wait for a connect's time-out: the worker holds its own share of the
    // state and ends by itself.
    if (ended)
        m_worker.join();
    else
        m_worker.detach();
}

template <typename Functor> void WorklistClient::deliver(WorkerState& state, Functor&& result)
{
    const std::lock_guard lock(state.mutex);
    if (state.receiver)
        QMetaObject::invokeMethod(state.receiver, std::forward<Functor>(result),
                                  Qt::QueuedConnection);
    state.done = true;
    state.ended.notify_all();
}

void WorklistClient::markStarted()
{
    const std::lock_guard lock(m_state->mutex);
    m_state->done = false;
}

bool WorklistClient::startQuery(const ConnectionParams& params)
{
    if (m_busy)
        return false;
    joinWorker();
    m_state->abort.reset();
    m_busy = true;
    markStarted();
    startWorker([this, state = m_state, params] {
        FindOutcome outcome = runWorklistFind(params, &state->abort);
        deliver(*state, [this, outcome = std::move(outcome)] {
            exchangeEnded();
            // Idle first: a failure box the result brings must not show the busy cursor.
            if (!m_busy)
                emit busyChanged(false);
            emit queryFinished(outcome);
        });
    });
    emit busyChanged(true);
    return true;
}

void WorklistClient::startRemoval(const ConnectionParams& params, const QString& entryKey)
{
    if (m_busy) {
        m_pendingRemovals.push_back({params, entryKey});
        return;
    }
    joinWorker();
    m_state->abort.reset();
    m_busy = true;
    runRemovalThread({params, entryKey});
    emit busyChanged(true);
}

void WorklistClient::runRemovalThread(const PendingRemoval& removal)
{
    markStarted();
    startWorker([this, state = m_state, removal] {
        const DicomError error = sendRemoval(removal.params, removal.entryKey, &state->abort);
        deliver(*state, [this, error] {
            exchangeEnded();
            // Idle first: a failure box the result brings must not show the busy cursor.
            if (!m_busy)
                emit busyChanged(false);
            emit removalFinished(error);
        });
    });
}

void WorklistClient::exchangeEnded()
{
    // The worker posted its result as its last act, so this join is immediate.
    joinWorker();
    if (m_state->abort.reason() == ExchangeAbort::Reason::Program)
        m_pendingRemovals.clear();
    if (!m_pendingRemovals.empty()) {
        const PendingRemoval next = m_pendingRemovals.front();
        m_pendingRemovals.pop_front();
        m_state->abort.reset(); // a deadline or a refused answer ends only its own exchange
        runRemovalThread(next); // stays busy; its result is posted after this one's signal
        return;
    }
    m_busy = false;
}

void WorklistClient::abort()
{
    m_pendingRemovals.clear();
    if (m_busy)
        m_state->abort.abort();
}

bool WorklistClient::waitForIdle(int msecs)
{
    const QDeadlineTimer deadline(msecs);
    while (m_busy) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (!m_busy)
            break;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
    return true;
}

void WorklistClient::startWorker(std::function<void()> body)
{
    // Without a thread of its own the exchange runs here: slower for the window, never lost.
    if (!m_worker.start(body))
        body();
}

void WorklistClient::joinWorker()
{
    if (m_worker.joinable())
        m_worker.join();
}
