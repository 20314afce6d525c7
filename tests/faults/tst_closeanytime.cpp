// Closing the window at any moment saves the settings and lets the program end at once: during
// a query whatever the server does, during a removal, and with the settings dialog open. Each
// case runs the application's own event loop as the program does and ends like it, with the
// window going away after the loop; the time from the close to that end is reported.

#include "faultscp.h"
#include "windowharness.h"
#include "worklistclient.h"

#include <QHeaderView>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace FaultHarness;

namespace {

enum class Situation {
    QueryNeverAnswered,    // the server took the query and says nothing more
    QuerySilentConnection, // the server took the TCP connection and says nothing at all
    QueryConnectPending,   // the server's queue is full: the TCP connection never completes
    QueryMidStream,        // 200,000 matches are on their way
    RemovalNeverAnswered,  // the server took the removal object and says nothing more
    DialogOpen,            // the settings dialog is open, nothing runs
    DialogOpenDuringQuery, // the settings dialog is open while a query hangs
};

// A listener on 127.0.0.1 whose queue is full, so that one more connection attempt stays
// unanswered (its SYN is dropped) until the caller gives up.
class FullListener
{
public:
    FullListener()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (m_listener < 0 ||
            ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(m_listener, 0) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        // A queue of length 0 still holds one connection: fill it, and wait until it stands.
        const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(filler, reinterpret_cast<sockaddr*>(&address), length) != 0) {
            ::close(filler);
            return;
        }
        m_filler = filler;
        m_port = ntohs(address.sin_port);
    }
    ~FullListener()
    {
        if (m_filler >= 0)
            ::close(m_filler);
        if (m_listener >= 0)
            ::close(m_listener);
    }
    [[nodiscard]] quint16 port() const { return m_port; }

private:
    int m_listener = -1;
    int m_filler = -1;
    quint16 m_port = 0;
};

// True while a TCP connection attempt to 127.0.0.1:port waits for its answer (SYN_SENT).
bool connectPendingTo(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray remote =
        QByteArray("0100007F:") + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields[2] == remote && fields[3] == "02")
            return true;
    }
    return false;
}

} // namespace

Q_DECLARE_METATYPE(Situation)

class TestCloseAnyTime final : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void closeSavesAndEnds_data();
    void closeSavesAndEnds();

private:
    QString settingsPath() const { return m_dir->filePath(QStringLiteral("Settings.ini")); }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestCloseAnyTime::init()
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestCloseAnyTime::cleanup()
{
    m_dir.reset();
}

void TestCloseAnyTime::closeSavesAndEnds_data()
{
    QTest::addColumn<Situation>("situation");
    QTest::newRow("query: server never answers") << Situation::QueryNeverAnswered;
    QTest::newRow("query: connection silent") << Situation::QuerySilentConnection;
    QTest::newRow("query: connection never completes") << Situation::QueryConnectPending;
    QTest::newRow("query: 200,000 matches arriving") << Situation::QueryMidStream;
    QTest::newRow("removal: server never answers") << Situation::RemovalNeverAnswered;
    QTest::newRow("settings dialog open") << Situation::DialogOpen;
    QTest::newRow("settings dialog open, query hangs") << Situation::DialogOpenDuringQuery;
}

void TestCloseAnyTime::closeSavesAndEnds()
{
    QFETCH(Situation, situation);
    BoxRecorder boxes;

    std::unique_ptr<FaultScp> server;
    std::unique_ptr<FullListener> full;
    quint16 port = 0;
    switch (situation) {
    case Situation::QueryNeverAnswered:
    case Situation::DialogOpenDuringQuery:
        server = std::make_unique<FaultScp>(FaultScp::Mode::NeverAnswer);
        break;
    case Situation::QuerySilentConnection:
        server = std::make_unique<FaultScp>(FaultScp::Mode::SilentAfterConnect);
        break;
    case Situation::QueryMidStream:
        server = std::make_unique<FaultScp>(FaultScp::Mode::ScriptedFind);
        server->setRepeatedAnswer(match("4711", "Viele^Viktor", "1.2.3.4711"), 200000);
        break;
    case Situation::RemovalNeverAnswered:
    case Situation::DialogOpen:
        server = std::make_unique<FaultScp>(FaultScp::Mode::ScriptedFind);
        server->setFindAnswers(threeMatches());
        server->setStoreReply(FaultScp::StoreReply::NeverAnswer);
        break;
    case Situation::QueryConnectPending:
        full = std::make_unique<FullListener>();
        port = full->port();
        QVERIFY(port != 0);
        break;
    }
    if (server) {
        QVERIFY(server->start());
        port = server->port();
    }
    const bool startsWithList =
        situation == Situation::RemovalNeverAnswered || situation == Situation::DialogOpen;
    QString ini = iniText(port);
    if (!startsWithList)
        ini.replace(QStringLiteral("Port=%1").arg(port), QStringLiteral("Port="));
    QVERIFY(writeFile(settingsPath(), ini.toUtf8()));

    auto window = std::make_unique<MainWindow>(settingsPath());
    // Time-outs far beyond the bound below: only the close itself may end what runs.
    Timeouts slow;
    slow.connectSeconds = 60;
    slow.acseSeconds = 60;
    slow.dimseSeconds = 60;
    window->setTimeouts(slow);
    QVERIFY(window->Form_Load());
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    if (startsWithList)
        QCOMPARE(shownRows(*window), threeRowsShown());
    else
        changePortInDialog(*window, port); // no query yet: the user names the server
    QCOMPARE(boxes.texts, QStringList());

    // A width the user dragged: only the save at closing can put it into the file.
    QHeaderView* header = listOf(*window)->header();
    header->resizeSection(0, 200); // 3000 twips at 96 dpi
    QVERIFY(!readFile(settingsPath()).contains(QLatin1String("\n1=3000\n")));

    // Bring the program into the situation.
    switch (situation) {
    case Situation::QueryNeverAnswered:
    case Situation::DialogOpenDuringQuery:
        window->cmdRefresh_Click();
        QTRY_VERIFY_WITH_TIMEOUT(server->findRequests() == 1, 10000);
        break;
    case Situation::QuerySilentConnection:
        window->cmdRefresh_Click();
        QTRY_VERIFY_WITH_TIMEOUT(server->associationRequests() == 1, 10000);
        break;
    case Situation::QueryConnectPending:
        window->cmdRefresh_Click();
        QTRY_VERIFY_WITH_TIMEOUT(connectPendingTo(port), 10000);
        break;
    case Situation::QueryMidStream:
        window->cmdRefresh_Click();
        QTRY_VERIFY_WITH_TIMEOUT(server->findRequests() == 1, 10000);
        break;
    case Situation::RemovalNeverAnswered:
        listOf(*window)->setCurrentIndex(listOf(*window)->model()->index(1, 0));
        QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("cmdDel")),
                          Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(server->storeRequests() == 1, 10000);
        break;
    case Situation::DialogOpen:
        break;
    }
    const bool dialog =
        situation == Situation::DialogOpen || situation == Situation::DialogOpenDuringQuery;
    QCOMPARE(window->client().isBusy(), situation != Situation::DialogOpen);

    // The close, inside the application's event loop as in the running program: the close
    // button, or with the dialog in front (which blocks the window's own close button) the
    // termination signal's way, QWidget::close().
    QElapsedTimer clock;
    bool dialogWasOpen = false;
    bool watchdogFired = false;
    QTimer::singleShot(0, window.get(), [&] {
        if (dialog) {
            QTimer::singleShot(0, window.get(), [&] {
                dialogWasOpen = QApplication::activeModalWidget() != nullptr;
                clock.start();
                window->close();
            });
            window->mnuSettings_Click();
        } else {
            clock.start();
            QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("cmdClose")),
                              Qt::LeftButton);
        }
    });
    // A program that does not end leaves its loop only through this.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, [&] {
        watchdogFired = true;
        if (QWidget* open = QApplication::activeModalWidget())
            open->close();
        QCoreApplication::exit(1);
    });
    watchdog.start(15000);
    const int exitCode = QApplication::exec();
    const qint64 loopEnded = clock.elapsed();
    watchdog.stop();
    window.reset(); // as at the end of main(): the worker must be gone with the window
    const qint64 ended = clock.elapsed();

    QVERIFY(!watchdogFired);
    QCOMPARE(exitCode, 0);
    QCOMPARE(dialogWasOpen, dialog);
    // Generous: the bound only tells "ends" from "hangs"; the measured time is reported.
    QVERIFY2(ended < 10000, qPrintable(QStringLiteral("ended after %1 ms").arg(ended)));
    const QString saved = readFile(settingsPath());
    QVERIFY2(saved.contains(QLatin1String("\n1=3000\n")), qPrintable(saved));
    QVERIFY(saved.startsWith(QLatin1String("; Station 3\n")));
    QVERIFY(saved.contains(QStringLiteral("Port=%1\n").arg(port)));
    QCOMPARE(boxes.texts, QStringList()); // nobody is told about the exchange cut off
    qInfo("event loop ended %lld ms after the close, the program %lld ms after it",
          qint64(loopEnded), qint64(ended));
}

QTEST_MAIN(TestCloseAnyTime)
#include "tst_closeanytime.moc"
