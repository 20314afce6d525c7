#pragma once

#include "connectionparams.h"
#include "dicomerror.h"
#include "exchangeprotocol.h"
#include "findoutcome.h"

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>

#include <deque>
#include <memory>

// Runs the DICOM exchanges, at most one at a time, each in a short-lived helper program
// (kelvara-exchange) that this client starts and may end at any moment: whatever a server or
// the network does, it cannot stop, crash or swell the window. Lives on the window's thread.
class WorklistClient final : public QObject
{
    Q_OBJECT
public:
    explicit WorklistClient(QObject* parent = nullptr);
    // Ends a running helper and emits nothing more.
    ~WorklistClient() override;

    // The helper's path: kelvara-exchange beside the program, else in ../lib/kelvara/ from it.
    [[nodiscard]] static QString helperProgram();
    // For tests, whose executables live elsewhere; empty: the default.
    static void setHelperProgram(const QString& path);

    [[nodiscard]] bool isBusy() const { return m_busy; }
    // Returns false and starts nothing while an exchange runs: the refresh is dropped. With
    // `stepAttributes` the rows keep what a removal by MPPS needs.
    bool startQuery(const ConnectionParams& params, bool stepAttributes = false);
    // Runs now, or after the running exchange and the removals asked for before it, in the
    // order asked; each emits removalFinished. With `mppsStatus` ("COMPLETED", "DISCONTINUED")
    // the removal is a performed procedure step for the row whose stepAttributes are `step`;
    // else the removal object for `entryKey`.
    void startRemoval(const ConnectionParams& params, const QString& entryKey,
                      const QString& mppsStatus = {}, const QString& step = {});
    // Ends the running exchange at once (it then reports an error numbered -2); the waiting
    // removals are dropped.
    void abort();
    // Processes events until no exchange runs; false when the time ran out.
    bool waitForIdle(int msecs);

signals:
    void busyChanged(bool busy);
    void queryFinished(const FindOutcome& outcome);
    void removalFinished(const DicomError& error);

private:
    void start(const ExchangeProtocol::Request& request);
    void readAnswer();
    void helperEnded();
    // Ends the helper; its end then reports `why`.
    void endHelper(const DicomError& why);

    QProcess* m_helper = nullptr; // the running exchange's
    QProcess* m_spare = nullptr;  // started while idle, waiting for the next request
    QTimer m_deadline;
    ExchangeProtocol::Request m_request;
    std::unique_ptr<ExchangeProtocol::AnswerReader> m_reader;
    DicomError m_endedBy; // set when the window ended the helper
    std::deque<ExchangeProtocol::Request> m_pendingRemovals;
    bool m_busy = false;
};
