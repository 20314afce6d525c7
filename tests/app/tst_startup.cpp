// The real program as a user starts it: a copy of the executable in a folder of its own, with
// Settings.ini beside it.
#include "testserver.h"

#include <QDir>
#include <QProcess>
#include <QSysInfo>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

class TestStartup final : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void secondInstanceEndsSilently_data();
    void secondInstanceEndsSilently();
    void terminationDuringStartupQuery();

private:
    void start(QProcess& process);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_exe;
    QString m_settings;
    QProcessEnvironment m_env;
    QString m_lock;
};

void TestStartup::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_exe = m_dir->filePath(QStringLiteral("kelvara"));
    m_settings = m_dir->filePath(QStringLiteral("Settings.ini"));
    QVERIFY(QFile::copy(qEnvironmentVariable("KELVARA_EXE"), m_exe));
    QVERIFY(QFile::copy(qEnvironmentVariable("KELVARA_EXCHANGE"),
                        m_dir->filePath(QStringLiteral("kelvara-exchange"))));
    QVERIFY(QDir(m_dir->path())
                .mkdir(QStringLiteral("runtime"),
                       QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    m_env = QProcessEnvironment::systemEnvironment();
    m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    m_env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir->filePath(QStringLiteral("runtime")));
    m_env.insert(QStringLiteral("XDG_CACHE_HOME"), m_dir->filePath(QStringLiteral("cache")));
    m_lock = m_dir->filePath(QStringLiteral("runtime/kelvara.lock"));
}

// Running once its lock is there.
void TestStartup::start(QProcess& process)
{
    process.setProcessEnvironment(m_env);
    process.start(m_exe, {});
    QVERIFY(process.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_lock), 10000);
}

// Another user must not be able to hold the lock: without a runtime folder that is this user's
// alone, it goes into the user's own cache folder, never a shared one.
void TestStartup::secondInstanceEndsSilently_data()
{
    QTest::addColumn<QString>("runtime"); // where the lock belongs
    QTest::newRow("own runtime folder") << "own";
    QTest::newRow("no runtime folder") << "unset";
    QTest::newRow("runtime folder open to all") << "open";
    QTest::newRow("another user's runtime folder") << "foreign";
}

void TestStartup::secondInstanceEndsSilently()
{
    QFETCH(QString, runtime);
    const QByteArray runtimeDir = QFile::encodeName(m_dir->filePath(QStringLiteral("runtime")));
    if (runtime == u"foreign" && ::geteuid() != 0)
        QSKIP("only root can give a folder to another user; the other rows run for everyone");
    if (runtime == u"unset")
        m_env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    QVERIFY(runtime != u"open" || ::chmod(runtimeDir.constData(), 0777) == 0);
    QVERIFY(runtime != u"foreign" || ::chown(runtimeDir.constData(), 65534, 65534) == 0);
    if (runtime != u"own")
        m_lock = m_dir->filePath(
            QStringLiteral("cache/kelvara/kelvara-%1.lock").arg(QSysInfo::machineHostName()));
    const QByteArray settings = "; kept as it is\n[Worklist]\nIP=127.0.0.1\n";
    QVERIFY(TestServer::writeFile(m_settings, settings));
    QProcess first;
    start(first);

    QProcess second;
    second.setProcessEnvironment(m_env);
    second.start(m_exe, {});
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(TestServer::readFile(m_settings), settings);
    QCOMPARE(first.state(), QProcess::Running);
    QCOMPARE(QDir(QFile::decodeName(runtimeDir)).isEmpty(), runtime != u"own");
    first.kill(); // a crash leaves the lock behind, and the next start takes it over
    first.waitForFinished();
    QProcess next;
    start(next);
    QTRY_VERIFY(TestServer::readFile(m_lock).startsWith(QString::number(next.processId()) + '\n'));
    next.kill();
    next.waitForFinished();
}

void TestStartup::terminationDuringStartupQuery()
{
    // A server that takes the connection and never answers keeps the first query, and so the
    // start-up, waiting for its time-outs.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    const QString port = QStringLiteral("Port=%1\n").arg(silent.serverPort());
    QVERIFY(TestServer::writeFile(m_settings, "; mine\n[General]\nLocalAET=KELVARA\n[Worklist]\n"
                                              "IP=127.0.0.1\nAET=WL\n" +
                                                  port.toUtf8()));
    QProcess process;
    start(process);
    QVERIFY(silent.hasPendingConnections() || silent.waitForNewConnection(10000));
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    const QString text = TestServer::readFile(m_settings);
    QVERIFY2(text.startsWith(u"; mine\n") && text.contains(port) && text.contains(u"[Columns]"),
             qPrintable(text));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
