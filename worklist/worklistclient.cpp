#include "worklistclient.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <algorithm>

namespace {

using ExchangeProtocol::Operation;

QString& helperOverride()
{
    static QString path;
    return path;
}

QString peerOf(const ConnectionParams& params)
{
    return params.host + QLatin1Char(':') + params.port;
}

} // namespace

WorklistClient::WorklistClient(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<FindOutcome>();
    qRegisterMetaType<DicomError>();
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        endHelper({DicomError::deadlinePassed,
                   QStringLiteral("Keine vollständige Antwort von %1 innerhalb von %2 s")
                       .arg(peerOf(m_request.params))
                       .arg(m_request.params.timeouts.totalSeconds())});
    });
}

WorklistClient::~WorklistClient()
{
    for (QProcess* helper : {m_helper, m_spare}) {
        if (helper) {
            helper->disconnect(this);
            helper->kill();
            helper->waitForFinished(1000);
        }
    }
}

QString WorklistClient::helperProgram()
{
    if (!helperOverride().isEmpty())
        return helperOverride();
    const QString folder = QCoreApplication::applicationDirPath();
    const QString beside = folder + QStringLiteral("/kelvara-exchange");
    const QString private_ =
        QDir::cleanPath(folder + QStringLiteral("/../lib/kelvara/kelvara-exchange"));
    return QFileInfo(beside).isExecutable() || !QFileInfo(private_).isExecutable() ? beside
                                                                                   : private_;
}

void WorklistClient::setHelperProgram(const QString& path)
{
    helperOverride() = path;
}

bool WorklistClient::startQuery(const ConnectionParams& params, bool stepAttributes)
{
    if (m_busy)
        return false;
    start({Operation::Find, params, {}, stepAttributes, {}, {}});
    emit busyChanged(true);
    return true;
}

void WorklistClient::startRemoval(const ConnectionParams& params, const QString& entryKey,
                                  const QString& mppsStatus, const QString& step)
{
    ExchangeProtocol::Request request{Operation::Removal, params, entryKey, false,
                                      mppsStatus,         step};
    // A removal is one small object: its answer is due within 10 s, or sooner when asked.
    Timeouts& timeouts = request.params.timeouts;
    timeouts.dimseSeconds = std::min(timeouts.dimseSeconds, 10);
    if (m_busy) {
        m_pendingRemovals.push_back(request);
        return;
    }
    start(request);
    emit busyChanged(true);
}

void WorklistClient::start(const ExchangeProtocol::Request& request)
{
    m_busy = true;
    m_request = request;
    m_endedBy = {};
    m_reader = std::make_unique<ExchangeProtocol::AnswerReader>();
    // A helper started while the client was idle has already loaded its libraries: a small
    // list then costs no more than a command-line query.
    const bool spare = m_spare && m_spare->state() != QProcess::NotRunning;
    if (spare) {
        m_helper = std::exchange(m_spare, nullptr);
    } else {
        delete std::exchange(m_spare, nullptr);
        m_helper = new QProcess(this);
        m_helper->setStandardErrorFile(QProcess::nullDevice());
    }
    m_helper->setObjectName(QStringLiteral("exchange"));
    connect(m_helper, &QProcess::readyReadStandardOutput, this, &WorklistClient::readAnswer);
    connect(m_helper, &QProcess::finished, this, &WorklistClient::helperEnded);
    connect(m_helper, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        // Reported after the caller has seen the exchange start, as any other end.
        if (error == QProcess::FailedToStart)
            QMetaObject::invokeMethod(this, &WorklistClient::helperEnded, Qt::QueuedConnection);
    });
    m_deadline.start(std::chrono::seconds(request.params.timeouts.totalSeconds()));
    if (!spare)
        m_helper->start(helperProgram(), {});
    if (m_helper->state() != QProcess::NotRunning) {
        m_helper->write(ExchangeProtocol::encodeRequest(request));
        m_helper->closeWriteChannel();
    }
}

void WorklistClient::readAnswer()
{
    // A helper that writes what the window cannot read has nothing more to say.
    if (m_helper && !m_reader->feed(m_helper->readAllStandardOutput()))
        endHelper({});
}

void WorklistClient::endHelper(const DicomError& why)
{
    if (!m_helper)
        return;
    if (!m_endedBy.isError())
        m_endedBy = why;
    m_helper->kill();
}

void WorklistClient::helperEnded()
{
    if (!m_helper)
        return;
    m_deadline.stop();
    const bool started = m_helper->error() != QProcess::FailedToStart;
    if (started && !m_endedBy.isError())
        m_reader->feed(m_helper->readAllStandardOutput());
    m_helper->disconnect(this);
    m_helper->deleteLater();
    m_helper = nullptr;

    const QString peer = peerOf(m_request.params);
    DicomError error = m_endedBy;
    if (error.isError()) {
        // The window ended it: the reason was set then.
    } else if (!started) {
        error = {DicomError::helperFailed,
                 QStringLiteral("Das Hilfsprogramm %1 für den Austausch mit %2 lässt sich nicht "
                                "starten")
                     .arg(helperProgram(), peer)};
    } else if (m_reader->isBroken()) {
        error = {DicomError::helperFailed,
                 QStringLiteral("Unlesbare Antwort des Hilfsprogramms für den Austausch mit %1")
                     .arg(peer)};
    } else if (!m_reader->isComplete()) {
        // Crashed, killed or ended: the window cannot tell which, and it makes no difference.
        error = {DicomError::helperFailed,
                 QStringLiteral("Austausch mit %1 gescheitert: das Hilfsprogramm endete ohne "
                                "Antwort")
                     .arg(peer)};
    } else {
        error = m_reader->error();
    }

    const ExchangeProtocol::Request ended = m_request;
    std::unique_ptr<ExchangeProtocol::AnswerReader> reader = std::move(m_reader);
    if (error.number == DicomError::abortedByProgram)
        m_pendingRemovals.clear();
    if (!m_pendingRemovals.empty()) {
        // Stays busy; the next removal's result comes after this one's.
        const ExchangeProtocol::Request next = m_pendingRemovals.front();
        m_pendingRemovals.pop_front();
        start(next);
    } else {
        m_busy = false;
        if (error.number != DicomError::abortedByProgram && !m_spare) {
            m_spare = new QProcess(this);
            m_spare->setStandardErrorFile(QProcess::nullDevice());
            m_spare->start(helperProgram(), {});
        }
        // Idle first: a failure box the result brings must not show the busy cursor.
        emit busyChanged(false);
    }
    if (ended.operation == Operation::Removal) {
        emit removalFinished(error);
        return;
    }
    FindOutcome outcome;
    outcome.error = error;
    if (!error.isError()) {
        outcome.rows = reader->takeRows();
        outcome.truncatedByServer = reader->truncated();
    }
    emit queryFinished(outcome);
}

void WorklistClient::abort()
{
    m_pendingRemovals.clear();
    if (m_spare)
        m_spare->kill();
    endHelper({DicomError::abortedByProgram,
               QStringLiteral("Austausch mit %1 abgebrochen").arg(peerOf(m_request.params))});
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
        QThread::msleep(2);
    }
    return true;
}
