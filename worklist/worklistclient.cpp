#include "worklistclient.h"

#include "removal.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

WorklistClient::WorklistClient(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<FindOutcome>();
    qRegisterMetaType<DicomError>();
}

WorklistClient::~WorklistClient()
{
    // Results the worker posts from now on are dropped with this object's pending events.
    m_pendingRemoval.reset();
    m_abort.abort();
    joinWorker();
}

bool WorklistClient::startQuery(const ConnectionParams& params)
{
    if (m_busy)
        return false;
    joinWorker();
    m_abort.reset();
    m_busy = true;
    m_worker = std::thread([this, params] {
        FindOutcome outcome = runWorklistFind(params, &m_abort);
        QMetaObject::invokeMethod(
            this,
            [this, outcome = std::move(outcome)] {
                exchangeEnded();
                // Idle first: a failure box the result brings must not show the busy cursor.
                if (!m_busy)
                    emit busyChanged(false);
                emit queryFinished(outcome);
            },
            Qt::QueuedConnection);
    });
    emit busyChanged(true);
    return true;
}

void WorklistClient::startRemoval(const ConnectionParams& params, const QString& entryKey)
{
    if (m_busy) {
        m_pendingRemoval = PendingRemoval{params, entryKey};
        return;
    }
    joinWorker();
    m_abort.reset();
    m_busy = true;
    runRemovalThread({params, entryKey});
    emit busyChanged(true);
}

void WorklistClient::runRemovalThread(const PendingRemoval& removal)
{
    m_worker = std::thread([this, removal] {
        QString uid;
        const DicomError error = sendRemoval(removal.params, removal.entryKey, &m_abort, &uid);
        QMetaObject::invokeMethod(
            this,
            [this, error, uid] {
                exchangeEnded();
                // Idle first: a failure box the result brings must not show the busy cursor.
                if (!m_busy)
                    emit busyChanged(false);
                emit removalFinished(error, uid);
            },
            Qt::QueuedConnection);
    });
}

void WorklistClient::exchangeEnded()
{
    // The worker posted its result as its last act, so this join is immediate.
    joinWorker();
    if (m_pendingRemoval && !m_abort.isAborted()) {
        const PendingRemoval next = *m_pendingRemoval;
        m_pendingRemoval.reset();
        runRemovalThread(next); // stays busy; its result is posted after this one's signal
        return;
    }
    m_pendingRemoval.reset();
    m_busy = false;
}

void WorklistClient::abort()
{
    m_pendingRemoval.reset();
    if (m_busy)
        m_abort.abort();
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

void WorklistClient::joinWorker()
{
    if (m_worker.joinable())
        m_worker.join();
}
