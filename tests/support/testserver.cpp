#include "testserver.h"

#include "worklistclient.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

// Test programs live apart from the exchange helper, which the build names for them.
const bool helperNamed = [] {
    WorklistClient::setHelperProgram(qEnvironmentVariable("KELVARA_EXCHANGE"));
    return true;
}();

} // namespace

TestServer::~TestServer()
{
    stop();
}

quint16 TestServer::freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

bool TestServer::writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

QString TestServer::readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool TestServer::startDemo(int entries, const QStringList& options)
{
    return start(QStringLiteral("kelvara-wlserver"),
                 QStringList{"--port", "%PORT%", "--demo", QString::number(entries)} + options);
}

QString TestServer::program(const QString& name)
{
    const QString ours = qEnvironmentVariable("KELVARA_WLSERVER");
    return name == QLatin1String("kelvara-wlserver") && !ours.isEmpty() ? ours : name;
}

bool TestServer::start(const QString& programName, const QStringList& arguments)
{
    stop();
    // A port picked free can be taken by someone else before the server binds it; try again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = freePort();
        QStringList args = arguments;
        args.replaceInStrings(QLatin1String("%PORT%"), QString::number(m_port));
        m_process = std::make_unique<QProcess>();
        m_process->setProcessChannelMode(QProcess::MergedChannels);
        m_output.clear();
        m_process->start(program(programName), args);
        for (QDeadlineTimer deadline(15000);
             !deadline.hasExpired() && m_process->waitForStarted(5000);) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, m_port);
            if (socket.waitForConnected(300)) {
                socket.abort();
                return true;
            }
            m_process->waitForReadyRead(20);
            m_output += m_process->readAll();
        }
        m_output += m_process->readAll();
        stop();
    }
    return false;
}

void TestServer::stop()
{
    if (!m_process)
        return;
    m_process->terminate();
    if (!m_process->waitForFinished(3000))
        m_process->kill(); // and the QProcess, going, waits for it
    m_output += m_process->readAll();
    m_process.reset();
}

QString TestServer::output()
{
    if (m_process)
        m_output += m_process->readAll();
    return QString::fromLocal8Bit(m_output);
}

bool TestServer::waitForOutput(const QString& text, int msecs)
{
    QDeadlineTimer deadline(msecs);
    while (!output().contains(text)) {
        if (deadline.hasExpired())
            return false;
        if (!m_process || m_process->state() != QProcess::Running)
            return output().contains(text);
        // A client under test may be waiting for this thread's events (its helper's input).
        QCoreApplication::processEvents();
        m_process->waitForReadyRead(20);
    }
    return true;
}
