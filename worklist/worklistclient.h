#pragma once

#include "connectionparams.h"
#include "dicomerror.h"
#include "exchangeabort.h"
#include "workerthread.h"
#include "worklistfind.h"

#include <QObject>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

// Runs the DICOM exchanges off the caller's thread, at most one at a time. Signals are
// delivered queued to the thread that owns the client, which is also the only thread that may
// call its members.
class WorklistClient final : public QObject
{
    Q_OBJECT
public:
    explicit WorklistClient(QObject* parent = nullptr);
    // Aborts what runs and emits nothing more. Waits a moment for the worker; one stuck where
    // the abort cannot reach (a TCP connect, a host name lookup) is left to end on its own
    // time-out and touches nothing of this object.
    ~WorklistClient() override;

    [[nodiscard]] bool isBusy() const { return m_busy; }
    // Returns false and starts nothing while an exchange runs: the refresh is dropped.
    bool startQuery(const ConnectionParams& params);
    // Runs now, or after the running exchange and the removals asked for before it, in the
    // order asked; each emits removalFinished.
    void startRemoval(const ConnectionParams& params, const QString& entryKey);
    // Ends the running exchange soon (it then reports an error numbered -2); the waiting
    // removals are dropped.
    void abort();
    // Processes events until no exchange runs; false when the time ran out.
    bool waitForIdle(int msecs);

signals:
    void busyChanged(bool busy);
    void queryFinished(const FindOutcome& outcome);
    void removalFinished(const DicomError& error);

private:
    // What the client shares with its worker thread; outlives a client that did not wait.
    struct WorkerState
    {
        ExchangeAbort abort;
        std::mutex mutex;
        std::condition_variable ended;
        bool done = true;                   // the worker has posted its result
        WorklistClient* receiver = nullptr; // null once the client is going away
    };

    struct PendingRemoval
    {
        ConnectionParams params;
        QString entryKey;
    };

    void runRemovalThread(const PendingRemoval& removal);
    void startWorker(std::function<void()> body);
    void joinWorker();
    // Called on the owner's thread after the worker has delivered its result.
    void exchangeEnded();

    // Hands a result to the client's thread, unless the client is gone; the worker's last act.
    template <typename Functor> static void deliver(WorkerState& state, Functor&& result);
    void markStarted();

    std::shared_ptr<WorkerState> m_state;
    WorkerThread m_worker;
    std::deque<PendingRemoval> m_pendingRemovals;
    bool m_busy = false;
};
