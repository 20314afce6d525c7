// The real window against a server that misbehaves on purpose, and closed at any moment. The
// texts of every fault are checked by the exchange test; here, what only the window does: one
// box and the list as it was, the rows shown with what cannot be used cut or left empty, and
// closing that saves the settings, ends at once and tells nobody.

#include "faultscp.h"
#include "localresolver.h"
#include "testserver.h"
#include "windowtesting.h"
#include "worklistclient.h"

#include <QHeaderView>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QStringList threeRowsShown{QStringLiteral("A| Alpha Anna|05.12.1950|Schritt|Thorax"),
                                 QStringLiteral("B| Beta Bernd|05.12.1950|Schritt|Thorax"),
                                 QStringLiteral("C| Gamma Carla|05.12.1950|Schritt|Thorax")};

enum class Situation {
    QueryNeverAnswered,    // the server took the query and says nothing more
    QueryConnectPending,   // the server's queue is full: the TCP connection never completes
    QueryLookupPending,    // the server's name is being looked up, and no answer comes
    QueryMidStream,        // 200,000 matches are on their way
    RemovalNeverAnswered,  // the server took the removal object and says nothing more
    DialogOpenDuringQuery, // the settings dialog is open while a query hangs
};

// A listener on 127.0.0.1 whose queue is full (a queue of length 0 still holds one): one more
// connection attempt stays unanswered until the caller gives up.
struct FullListener
{
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int filler = ::socket(AF_INET, SOCK_STREAM, 0);
    quint16 port = 0;

    FullListener()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        auto* raw = reinterpret_cast<sockaddr*>(&address);
        if (::bind(listener, raw, length) == 0 && ::listen(listener, 0) == 0 &&
            ::getsockname(listener, raw, &length) == 0 && ::connect(filler, raw, length) == 0)
            port = ntohs(address.sin_port);
    }
    ~FullListener()
    {
        ::close(filler);
        ::close(listener);
    }
};

// True while a TCP connection attempt to 127.0.0.1:port waits for its answer (SYN_SENT).
bool connectPendingTo(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    const QByteArray remote =
        "0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line :
         table.open(QIODevice::ReadOnly) ? table.readAll().split('\n') : QList<QByteArray>()) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields[2] == remote && fields[3] == "02")
            return true;
    }
    return false;
}

} // namespace

Q_DECLARE_METATYPE(Situation)

class TestServerFaults final : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup() { m_dir.reset(); }

    void failureKeepsList_data();
    void failureKeepsList();
    void cancelAfterMatchesKeepsThemAndTellsOnce();
    void floodShownInFull();
    void noBoxWhileClosing();
    void closeSavesAndEnds_data();
    void closeSavesAndEnds();

private:
    // A window on `port` (empty: none yet), its time-outs shortened, loaded and shown.
    std::unique_ptr<MainWindow> window(const QString& port, int timeoutSeconds = 2);
    QString settingsPath() const { return m_dir->filePath(QStringLiteral("Settings.ini")); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestServerFaults::init()
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

std::unique_ptr<MainWindow> TestServerFaults::window(const QString& port, int timeoutSeconds)
{
    if (!TestServer::writeFile(settingsPath(), iniText(port).toUtf8()))
        return {};
    auto window = std::make_unique<MainWindow>(settingsPath());
    window->setTimeouts({timeoutSeconds, timeoutSeconds, timeoutSeconds, 0});
    if (!window->Form_Load())
        return {};
    window->show();
    return window;
}

void TestServerFaults::failureKeepsList_data()
{
    QTest::addColumn<bool>("removal");
    QTest::addColumn<QString>("told");     // the box's whole text; %1 is the failing server's port
    QTest::addColumn<QStringList>("then"); // the server each following tick meets
    QTest::addColumn<int>("boxesThen");
    QTest::addColumn<int>("kill");  // a signal for the helper in mid-answer; 0: none
    QTest::addColumn<int>("shown"); // entries of the good server's list
    QTest::addColumn<QString>("status");
    const QString failing = QStringLiteral("49152 - Server 127.0.0.1:%1 meldet Status 0xC000 "
                                           "(Anfrage kann nicht verarbeitet werden)");
    // The failing server first sends two matches of its own, so a list that took them would show.
    QTest::newRow("query: status 0xC000 after 2 matches")
        << false << failing << QStringList() << 0 << 0 << 3 << "3 Einträge";
    QTest::newRow("query fails, one entry shown")
        << false << failing << QStringList() << 0 << 0 << 1 << "1 Eintrag";
    QTest::newRow("query fails, no entry shown")
        << false << failing << QStringList() << 0 << 0 << 0 << "0 Einträge";
    QTest::newRow("query: the same failure again: no second box")
        << false << failing << QStringList{"bad", "bad"} << 0 << 0 << 3 << "3 Einträge";
    QTest::newRow("query: a success, then the failure again: a box")
        << false << failing << QStringList{"good", "bad"} << 1 << 0 << 3 << "3 Einträge";
    QTest::newRow("query: another failure: its own box")
        << false << failing << QStringList{"refused"} << 1 << 0 << 3 << "3 Einträge";
    // The helper that runs the query dies in mid-answer, however it dies; the next one works.
    const QString crashed = QStringLiteral("-6 - Austausch mit 127.0.0.1:%1 gescheitert: das "
                                           "Hilfsprogramm endete ohne Antwort");
    QTest::newRow("query: helper killed")
        << false << crashed << QStringList{"good"} << 0 << int(SIGKILL) << 3 << "3 Einträge";
    QTest::newRow("query: helper crashed")
        << false << crashed << QStringList{"good"} << 0 << int(SIGSEGV) << 3 << "3 Einträge";
    QTest::newRow("removal: status 0x0112")
        << true
        << QStringLiteral("274 - Nicht entfernt: B Beta Bernd, 05.12.1950 – Schritt: Server "
                          "127.0.0.1:%1 meldet Status 0x0112 (Eintrag nicht vorhanden)")
        << QStringList() << 0 << 0 << 3 << "3 Einträge";
}

// A failed query or removal: one box, the list as it was, and no refresh after it. Ticks that
// meet the same failure again bring no box until a refresh has succeeded.
void TestServerFaults::failureKeepsList()
{
    QFETCH(bool, removal);
    QFETCH(QString, told);
    QFETCH(QStringList, then);
    QFETCH(int, boxesThen);
    QFETCH(int, kill);
    QFETCH(int, shown);
    QFETCH(QString, status);

    BoxRecorder boxes;
    FaultScp good(FaultScp::Mode::ScriptedFind);
    std::vector<std::unique_ptr<DcmDataset>> matches = threeMatches();
    matches.resize(size_t(shown));
    good.setFindAnswers(std::move(matches));
    good.setStoreStatus(0x0112);
    if (kill)
        good.setMatchInterval(std::chrono::milliseconds(300));
    QVERIFY(good.start());
    auto window = this->window(QString::number(good.port()));
    QVERIFY(window);
    const QStringList rowsShown = threeRowsShown.mid(0, shown);
    QCOMPARE(shownRows(*window), rowsShown);
    const QString stand = "Stand " + QLocale().toString(QTime::currentTime(), QLocale::ShortFormat);
    QCOMPARE(statusOf(*window), status + QStringLiteral(", ") + stand);

    FaultScp bad(FaultScp::Mode::ScriptedFind);
    std::vector<std::unique_ptr<DcmDataset>> answers;
    answers.push_back(worklistMatch("X", "Fremd^Xaver", "9.9.1"));
    answers.push_back(worklistMatch("Y", "Fremd^Yvonne", "9.9.2"));
    bad.setFindAnswers(std::move(answers), 0xC000);
    QVERIFY(bad.start());
    FaultScp& server = removal || kill ? good : bad;
    if (&server == &bad)
        changePortInDialog(*window, bad.port());
    QVERIFY(TestServer::readFile(settingsPath())
                .contains(QStringLiteral("Port=%1").arg(server.port())));

    QSignalSpy handled(window.get(),
                       removal ? &MainWindow::removalHandled : &MainWindow::queryHandled);
    QSignalSpy queried(window.get(), &MainWindow::queryHandled);
    const int findsBefore = server.findRequests();
    // While the box is open, the minute's tick queries nothing, and the status line tells.
    QString statusWhileOpen;
    boxes.whileOpen = [&](QMessageBox&) {
        window->tmrWork_Timer();
        statusWhileOpen = statusOf(*window) + (window->client().isBusy() ? " busy" : "");
    };
    selectRow(*window, 1);
    QTest::mouseClick(window->findChild<QPushButton*>(removal ? "cmdDel" : "cmdRefresh"),
                      Qt::LeftButton);
    if (kill) {
        QTRY_COMPARE_WITH_TIMEOUT(server.findRequests(), findsBefore + 1, 10000);
        const auto* helper = window->client().findChild<QProcess*>(QStringLiteral("exchange"));
        QVERIFY(helper);
        ::kill(pid_t(helper->processId()), kill);
    }
    QVERIFY(handled.wait(15000));
    QCOMPARE(boxes.texts, QStringList{told.arg(server.port())});
    QCOMPARE(shownRows(*window), rowsShown);
    QVERIFY(!window->client().isBusy());
    QCOMPARE(server.findRequests(), findsBefore + (removal ? 0 : 1));
    const QString failed = stand + QStringLiteral(" – letzte Aktualisierung fehlgeschlagen: ");
    if (!removal)
        QCOMPARE(statusWhileOpen, failed + boxes.texts.first());

    const quint16 refused = TestServer::freePort();
    for (const QString& next : then) {
        const quint16 port = next == "good" ? good.port() : next == "bad" ? bad.port() : refused;
        if (window->settings().Port != QString::number(port))
            changePortInDialog(*window, port);
        queried.clear();
        window->tmrWork_Timer();
        QVERIFY(queried.wait(15000));
    }
    QCOMPARE(boxes.texts.size(), 1 + boxesThen);
    // However many boxes, the red line says since when the list is old and why.
    // (The time of the last list may have moved on with a success in between.)
    if (!then.isEmpty() && then.constLast() != QLatin1String("good"))
        QVERIFY2(
            statusOf(*window).contains(failed.mid(stand.size()) + boxes.texts.constLast().left(8)),
            qPrintable(statusOf(*window)));
    if (!then.isEmpty() && then.constLast() == QLatin1String("good"))
        QCOMPARE(shownRows(*window), rowsShown);
}

void TestServerFaults::cancelAfterMatchesKeepsThemAndTellsOnce()
{
    BoxRecorder boxes;
    FaultScp limiting(FaultScp::Mode::ScriptedFind);
    limiting.setFindAnswers(threeMatches(), 0xFE00);
    QVERIFY(limiting.start());
    auto window = this->window(QString::number(limiting.port()));
    QVERIFY(window);
    QSignalSpy handled(window.get(), &MainWindow::queryHandled);
    for (int tick = 0; tick < 2; ++tick) {
        window->tmrWork_Timer();
        QVERIFY(handled.wait(15000));
        QCOMPARE(shownRows(*window), threeRowsShown);
    }
    // Once, not at every tick.
    QCOMPARE(boxes.texts, QStringList{"Der Server hat die Worklist nach 3 Einträgen abgebrochen. "
                                      "Die Liste ist unvollständig."});
    QCOMPARE(limiting.findRequests(), 3);
}

// More matches than the list sorts on the window's thread, one of them with far too long
// values: all shown, that one cut and painted, and the status line told.
void TestServerFaults::floodShownInFull()
{
    BoxRecorder boxes;
    FaultScp flood(FaultScp::Mode::ScriptedFind);
    std::vector<std::unique_ptr<DcmDataset>> answers;
    answers.push_back(worklistMatch(QByteArray(60000, '0').constData(),
                                    QByteArray(10000, 'N').constData(), "1.2.3.99"));
    flood.setFindAnswers(std::move(answers));
    flood.setRepeatedAnswer(worklistMatch("4711", "Viele^Viktor"), 5000);
    QVERIFY(flood.start());
    auto window = this->window(QString::number(flood.port()));
    QVERIFY(window);
    QTRY_VERIFY(statusOf(*window).startsWith(QStringLiteral("5.001 Einträge, Stand ")));
    const QStringList rows = shownRows(*window);
    QCOMPARE(rows.size(), 5001);
    QCOMPARE(rows.constLast(), QStringLiteral("4711| Viele Viktor|05.12.1950|Schritt|Thorax"));
    QVERIFY(rows.first().startsWith(QString(1024, u'0') + QChar(0x2026) + QStringLiteral("| ") +
                                    QString(1023, u'N') + QChar(0x2026) + u'|'));
    QVERIFY(!window->grab().isNull()); // painted, long cells and all
    QCOMPARE(boxes.texts, QStringList());
}

// A failure that arrives while the window closes shows no box: nobody is there to read it.
void TestServerFaults::noBoxWhileClosing()
{
    BoxRecorder boxes;
    FaultScp rejecting(FaultScp::Mode::RejectAssociation);
    QVERIFY(rejecting.start());
    auto window = this->window(QString::number(rejecting.port()));
    QVERIFY(window);
    QCOMPARE(boxes.texts.size(), 1); // rejected at start-up
    // Closed after the exchange has ended and before its result is handled.
    connect(&window->client(), &WorklistClient::busyChanged, window.get(), [&window](bool busy) {
        if (!busy)
            window->close();
    });
    QSignalSpy handled(window.get(), &MainWindow::queryHandled);
    window->cmdRefresh_Click();
    QVERIFY(handled.wait(5000));
    QVERIFY(!window->isVisible());
    QCOMPARE(boxes.texts.size(), 1);
}

void TestServerFaults::closeSavesAndEnds_data()
{
    QTest::addColumn<Situation>("situation");
    QTest::newRow("query: server never answers") << Situation::QueryNeverAnswered;
    QTest::newRow("query: connection never completes") << Situation::QueryConnectPending;
    QTest::newRow("query: host name lookup never answers") << Situation::QueryLookupPending;
    QTest::newRow("query: 200,000 matches arriving") << Situation::QueryMidStream;
    QTest::newRow("removal: server never answers") << Situation::RemovalNeverAnswered;
    QTest::newRow("settings dialog open, query hangs") << Situation::DialogOpenDuringQuery;
}

// Closing at any moment saves the settings and lets the program end at once. It runs in the
// application's own event loop, and the window goes away after it, as in main().
void TestServerFaults::closeSavesAndEnds()
{
    QFETCH(Situation, situation);
    BoxRecorder boxes;
    using S = Situation;
    const bool startsWithList = situation == S::RemovalNeverAnswered;
    const bool dialog = situation == S::DialogOpenDuringQuery;
    std::unique_ptr<FaultScp> server;
    FullListener full;
    quint16 port = full.port;
    const bool lookup = situation == S::QueryLookupPending;
    LocalResolver resolver(LocalResolver::Mode::Silent);
    if (lookup && !resolver.isActive())
        QSKIP("needs a resolver of its own: run as root, in a mount namespace of its own");
    if (situation != S::QueryConnectPending && !lookup) {
        server = std::make_unique<FaultScp>(situation == S::QueryNeverAnswered || dialog
                                                ? FaultScp::Mode::NeverAnswer
                                                : FaultScp::Mode::ScriptedFind);
        if (situation == S::QueryMidStream)
            server->setRepeatedAnswer(worklistMatch("4711", "Viele^Viktor"), 200000);
        else
            server->setFindAnswers(threeMatches());
        server->setStoreStatus(-1);
        QVERIFY(server->start());
        port = server->port();
    }
    QVERIFY(port != 0);
    // Time-outs far beyond the bound below: only the close itself may end what runs.
    auto window = this->window(startsWithList ? QString::number(port) : QString(), 60);
    QVERIFY(window);
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    if (!startsWithList) // no query yet: the user names the server
        changePortInDialog(*window, port,
                           lookup ? QStringLiteral("kelvara-test.invalid") : QString());
    QCOMPARE(shownRows(*window).size(), startsWithList ? 3 : 0);
    QCOMPARE(boxes.texts, QStringList());

    // A width the user dragged: only the save at closing can put it into the file.
    listOf(*window)->header()->resizeSection(0, 200); // 3000 twips at 96 dpi
    QVERIFY(!TestServer::readFile(settingsPath()).contains(QLatin1String("\n1=3000\n")));

    // Bring the program into the situation.
    if (situation == S::RemovalNeverAnswered) {
        selectRow(*window, 1);
        QTest::mouseClick(window->findChild<QPushButton*>("cmdDel"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(server->storeRequests() == 1, 10000);
    } else {
        window->cmdRefresh_Click();
        if (situation == S::QueryConnectPending)
            QTRY_VERIFY_WITH_TIMEOUT(connectPendingTo(port), 10000);
        else if (lookup)
            QTRY_VERIFY_WITH_TIMEOUT(resolver.queries() > 0, 10000);
        else
            QTRY_VERIFY_WITH_TIMEOUT(server->findRequests() == 1, 10000);
    }
    QVERIFY(window->client().isBusy());

    // The close button, or with the dialog in front (which blocks the window's own close
    // button) the termination signal's way, QWidget::close().
    QElapsedTimer clock;
    bool dialogWasOpen = false;
    QTimer::singleShot(0, window.get(), [&] {
        if (!dialog) {
            clock.start();
            QTest::mouseClick(window->findChild<QPushButton*>("cmdClose"), Qt::LeftButton);
            return;
        }
        QTimer::singleShot(0, window.get(), [&] {
            dialogWasOpen = QApplication::activeModalWidget() != nullptr;
            clock.start();
            window->close();
        });
        window->mnuSettings_Click();
    });
    // A program that does not end leaves its loop only through this.
    QTimer::singleShot(15000, window.get(), [] {
        if (QWidget* open = QApplication::activeModalWidget())
            open->close();
        QCoreApplication::exit(1);
    });
    QCOMPARE(QApplication::exec(), 0);
    window.reset(); // as at the end of main(): the worker must be gone with the window
    // Generous: the bound only tells "ends" from "hangs".
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(dialogWasOpen, dialog);
    const QString saved = TestServer::readFile(settingsPath());
    QVERIFY2(saved.contains(QLatin1String("\n1=3000\n")), qPrintable(saved));
    QVERIFY(saved.startsWith(QLatin1String("; Station 3\n")));
    QVERIFY(saved.contains(QStringLiteral("Port=%1\n").arg(port)));
    QCOMPARE(boxes.texts, QStringList()); // nobody is told about the exchange cut off
}

QTEST_MAIN(TestServerFaults)
#include "tst_serverfaults.moc"
