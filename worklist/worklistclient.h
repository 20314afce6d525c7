#pragma once

#include "connectionparams.h"
#include "dicomerror.h"
#include "exchangeabort.h"
#include "worklistfind.h"

#include <QObject>
#include <QString>

#include <optional>
#include <thread>

// Runs the DICOM exchanges off the caller's thread, at most one at a time. Signals are
// delivered queued to the thread that owns the client, which is also the only thread that may
// call its members.
class WorklistClient final : public QObject
{
    Q_OBJECT
public:
    explicit WorklistClient(QObject* parent = nullptr);
    ~WorklistClient() override; // aborts what runs and waits for it; emits nothing more

    [[nodiscard]] bool isBusy() const { return m_busy; }
    // Returns false and starts nothing while an exchange runs: the refresh is dropped.
    bool startQuery(const ConnectionParams& params);
    // Runs now, or right after the running exchange (after its finished signal). A later
    // request replaces a waiting one.
    void startRemoval(const ConnectionParams& params, const QString& entryKey);
    // Ends the running exchange soon (it then reports an error numbered -2); a waiting
    // removal is dropped.
    void abort();
    // Processes events until no exchange runs; false when the time ran out.
    bool waitForIdle(int msecs);

signals:
    void busyChanged(bool busy);
    void queryFinished(const FindOutcome& outcome);
    void removalFinished(const DicomError& error, const QString& sopInstanceUid);

private:
    struct PendingRemoval
    {
        ConnectionParams params;
        QString entryKey;
    };

    void runRemovalThread(const PendingRemoval& removal);
    void joinWorker();
    // Called on the owner's thread after the worker has delivered its result.
    void exchangeEnded();

    ExchangeAbort m_abort;
    std::thread m_worker;
    std::optional<PendingRemoval> m_pendingRemoval;
    bool m_busy = false;
};
