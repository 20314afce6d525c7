// The real window against a server that misbehaves on purpose. Every fault ends in a clear
// outcome: the failure box with a German description and the list as it was, or the rows with
// the cells that cannot be used left empty. Never a crash, a hang beyond the time-out or a window
// that stops painting.

#include "faultscp.h"
#include "windowharness.h"
#include "worklistclient.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <dcmtk/dcmdata/dcelem.h>

using namespace FaultHarness;

namespace {

// Short enough that a hung server costs seconds, not a minute.
Timeouts quickTimeouts()
{
    Timeouts t;
    t.connectSeconds = 2;
    t.acseSeconds = 2;
    t.dimseSeconds = 2;
    t.marginSeconds = 1;
    return t;
}

// The 200,000-match case; KELVARA_FAULT_MATCHES lowers it where the build is slow.
int manyMatchesCount()
{
    bool ok = false;
    const int fromEnv = qEnvironmentVariableIntValue("KELVARA_FAULT_MATCHES", &ok);
    return ok && fromEnv > 0 ? fromEnv : 200000;
}

// Bytes as they are, for values no well-behaved writer would produce.
void putRaw(DcmItem& item, const DcmTagKey& key, const QByteArray& bytes)
{
    item.putAndInsertString(DcmTag(key), nullptr);
    DcmElement* element = nullptr;
    if (item.findAndGetElement(key, element).good())
        element->putString(bytes.constData(), Uint32(bytes.size()));
}

} // namespace

Q_DECLARE_METATYPE(FaultScp::Mode)
Q_DECLARE_METATYPE(FaultScp::StoreReply)

class TestServerFaults final : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void queryFault_data();
    void queryFault();
    void cancelAfterMatchesKeepsThemAndTellsOnce();
    void manyMatches();
    void hostileValues_data();
    void hostileValues();
    void removalFault_data();
    void removalFault();

private:
    // A window showing the three matches of `good` (started), its time-outs shortened.
    std::unique_ptr<MainWindow> windowWithThreeRows(FaultScp& good);
    QString settingsPath() const { return m_dir->filePath(QStringLiteral("Settings.ini")); }

    std::unique_ptr<QTemporaryDir> m_dir;
    // Fills the list before each query fault; shared, as stopping a server takes a second.
    std::unique_ptr<FaultScp> m_good;
};

void TestServerFaults::initTestCase()
{
    m_good = std::make_unique<FaultScp>(FaultScp::Mode::ScriptedFind);
    m_good->setFindAnswers(threeMatches());
    QVERIFY(m_good->start());
}

void TestServerFaults::init()
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestServerFaults::cleanup()
{
    m_dir.reset();
}

std::unique_ptr<MainWindow> TestServerFaults::windowWithThreeRows(FaultScp& good)
{
    if (!writeFile(settingsPath(), iniText(good.port()).toUtf8()))
        return {};
    auto window = std::make_unique<MainWindow>(settingsPath());
    window->setTimeouts(quickTimeouts());
    if (!window->Form_Load())
        return {};
    window->show();
    return window;
}

void TestServerFaults::queryFault_data()
{
    QTest::addColumn<FaultScp::Mode>("mode");
    QTest::addColumn<int>("finalStatus");
    QTest::addColumn<QString>("box"); // %1: the server's port

    using M = FaultScp::Mode;
    // The texts of every fault are checked by the exchange test; here, one of each kind shows
    // what the window does with a failure: one box, and the list as it was. Each server first
    // sends two matches of its own where it sends any, so a list that took them would show it.
    QTest::newRow("aborts after 2 matches")
        << M::CloseAfterPending << 0 << "-394007 - 127.0.0.1:%1 hat die Verbindung abgebrochen";
    QTest::newRow("status 0xC000 after 2 matches")
        << M::ScriptedFind << 0xC000
        << "49152 - Server 127.0.0.1:%1 meldet Status 0xC000 (Anfrage kann nicht verarbeitet "
           "werden)";
    QTest::newRow("an entry nested 10,000 levels deep")
        << M::DeepNesting << 0
        << "-4 - Ungültige Antwort von 127.0.0.1:%1: Eintrag tiefer als 16 Ebenen verschachtelt";
    QTest::newRow("one match every 1.5 s")
        << M::ScriptedFind << 0
        << "-3 - Keine vollständige Antwort von 127.0.0.1:%1 innerhalb von 7 s";
}

void TestServerFaults::queryFault()
{
    QFETCH(FaultScp::Mode, mode);
    QFETCH(int, finalStatus);
    QFETCH(QString, box);

    BoxRecorder boxes;
    auto window = windowWithThreeRows(*m_good);
    QVERIFY(window);
    QCOMPARE(boxes.texts, QStringList());
    QCOMPARE(shownRows(*window), threeRowsShown());

    FaultScp bad(mode);
    std::vector<std::unique_ptr<DcmDataset>> answers;
    if (quint16(finalStatus) != 0xFE00) {
        answers.push_back(match("X", "Fremd^Xaver", "9.9.1"));
        answers.push_back(match("Y", "Fremd^Yvonne", "9.9.2"));
    }
    bad.setFindAnswers(std::move(answers), quint16(finalStatus));
    bad.setPendingBeforeClose(2);
    bad.setNesting(10000);
    if (box.startsWith(QLatin1String("-3"))) { // each within the DIMSE time-out of 2 s
        bad.setRepeatedAnswer(match("Z", "Fremd^Zora", "9.9.3"), 10);
        bad.setMatchInterval(std::chrono::milliseconds(1500));
    }
    QVERIFY(bad.start());
    changePortInDialog(*window, bad.port());
    QVERIFY(readFile(settingsPath()).contains(QStringLiteral("Port=%1").arg(bad.port())));

    QSignalSpy handled(window.get(), &MainWindow::queryHandled);
    StallProbe probe;
    QElapsedTimer clock;
    clock.start();
    probe.start();
    QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("cmdRefresh")),
                      Qt::LeftButton);
    // Time-outs of 2 s, a total deadline of 7 s: anything near 15 s is a hang.
    QVERIFY(handled.wait(15000));
    const qint64 elapsed = clock.elapsed();
    const qint64 stall = probe.stop();

    QCOMPARE(boxes.texts.size(), 1);
    QCOMPARE(boxes.texts.first(), box.arg(bad.port()));
    QCOMPARE(shownRows(*window), threeRowsShown());
    QVERIFY(!window->client().isBusy());
    qInfo("outcome after %lld ms, longest stall of the window %lld ms", qint64(elapsed), stall);
}

void TestServerFaults::cancelAfterMatchesKeepsThemAndTellsOnce()
{
    BoxRecorder boxes;
    auto window = windowWithThreeRows(*m_good);
    QVERIFY(window);

    FaultScp limiting(FaultScp::Mode::ScriptedFind);
    std::vector<std::unique_ptr<DcmDataset>> answers;
    answers.push_back(match("X", "Fremd^Xaver", "9.9.1"));
    answers.push_back(match("Y", "Fremd^Yvonne", "9.9.2"));
    limiting.setFindAnswers(std::move(answers), 0xFE00);
    QVERIFY(limiting.start());
    changePortInDialog(*window, limiting.port());

    const QString told = QStringLiteral(
        "Der Server hat die Worklist nach 2 Einträgen abgebrochen. Die Liste ist unvollständig.");
    const QStringList limited{QStringLiteral("X| Fremd Xaver|05.12.1950|Schritt|Thorax"),
                              QStringLiteral("Y| Fremd Yvonne|05.12.1950|Schritt|Thorax")};
    QSignalSpy handled(window.get(), &MainWindow::queryHandled);
    for (int tick = 0; tick < 3; ++tick) {
        window->tmrWork_Timer();
        QVERIFY(handled.wait(15000));
        QCOMPARE(shownRows(*window), limited);
    }
    QCOMPARE(boxes.texts, QStringList{told}); // once, not at every tick
    QCOMPARE(limiting.findRequests(), 3);
}

void TestServerFaults::manyMatches()
{
    const int count = manyMatchesCount();
    BoxRecorder boxes;
    FaultScp flood(FaultScp::Mode::ScriptedFind);
    flood.setRepeatedAnswer(match("4711", "Viele^Viktor", "1.2.3.4711"), count);
    QVERIFY(flood.start());
    // No port yet: the window comes up empty, then the user names the server.
    QVERIFY(
        writeFile(settingsPath(), iniText(0).replace(QLatin1String("Port=0"), QString()).toUtf8()));
    auto window = std::make_unique<MainWindow>(settingsPath()); // the program's own time-outs
    QVERIFY(window->Form_Load());
    window->show();
    changePortInDialog(*window, flood.port());
    QCOMPARE(flood.findRequests(), 0);

    // With the window showing, as the minute's refresh does it.
    QSignalSpy handled(window.get(), &MainWindow::queryHandled);
    StallProbe probe;
    QElapsedTimer clock;
    clock.start();
    probe.start();
    window->tmrWork_Timer();
    QVERIFY(handled.wait(300000));
    const qint64 elapsed = clock.elapsed();
    const qint64 stall = probe.stop();
    QCOMPARE(boxes.texts, QStringList());
    QTRY_COMPARE_WITH_TIMEOUT(listOf(*window)->model()->rowCount(), count, 60000);
    QCOMPARE(shownRows(*window).constLast(),
             QStringLiteral("4711| Viele Viktor|05.12.1950|Schritt|Thorax"));
    qInfo("%d matches shown after %lld ms; the window painted throughout (%d ticks), longest "
          "stall %lld ms",
          count, qint64(elapsed), probe.ticks(), stall);
}

void TestServerFaults::hostileValues_data()
{
    QTest::addColumn<QByteArray>("charset");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("birthDate");
    QTest::addColumn<QByteArray>("patientId");
    QTest::addColumn<QString>("shown"); // the row as shown; "*" for a cell checked by length
    QTest::addColumn<int>("longCellLength");

    const QByteArray date = "19501205";
    // A cell keeps 1024 characters and a "…".
    QTest::newRow("name of 10,000 characters (PN: 64 per group)")
        << QByteArray() << QByteArray(10000, 'N') << date << QByteArray("P1")
        << "P1|*|05.12.1950|Schritt|Thorax" << 1025;
    QTest::newRow("patient ID of 60,000 characters (LO: 64)")
        << QByteArray() << QByteArray("Lang^Lotte") << date << QByteArray(60000, '7')
        << "*| Lang Lotte|05.12.1950|Schritt|Thorax" << 1025;
    QTest::newRow("birth date of 40 characters (DA: 8)")
        << QByteArray() << QByteArray("Datum^Dora") << QByteArray(40, '1') << QByteArray("P3")
        << "P3| Datum Dora||Schritt|Thorax" << 0;
    QTest::newRow("birth date 30 February")
        << QByteArray() << QByteArray("Datum^Dora") << QByteArray("19500230") << QByteArray("P4")
        << "P4| Datum Dora||Schritt|Thorax" << 0;
    QTest::newRow("character set name of 2,000 characters")
        << QByteArray(2000, 'C') << QByteArray("M\xfcller^J\xfcrgen") << date << QByteArray("P5")
        << "P5||05.12.1950|Schritt|Thorax" << 0;
    QTest::newRow("ISO 2022: escape cut off at the end")
        << QByteArray("\\ISO 2022 IR 87") << QByteArray("Yamada^Tarou=\x1b$B;3ED\x1b") << date
        << QByteArray("P6") << "P6||05.12.1950|Schritt|Thorax" << 0;
    QTest::newRow("ISO 2022: escape to a set not declared")
        << QByteArray("\\ISO 2022 IR 87") << QByteArray("Yamada^Tarou=\x1b(Z;3ED\x1b(B") << date
        << QByteArray("P7") << "P7||05.12.1950|Schritt|Thorax" << 0;
    QTest::newRow("ISO 2022: two-byte set, odd byte count")
        << QByteArray("\\ISO 2022 IR 87") << QByteArray("Yamada^Tarou=\x1b$B;3E\x1b(B") << date
        << QByteArray("P8") << "P8||05.12.1950|Schritt|Thorax" << 0;
    QTest::newRow("UTF-8 declared, bytes are not UTF-8")
        << QByteArray("ISO_IR 192") << QByteArray("M\xfcller^J\xfcrgen") << date << QByteArray("P9")
        << "P9||05.12.1950|Schritt|Thorax" << 0;
    QTest::newRow("unknown character set")
        << QByteArray("ISO_IR 999") << QByteArray("M\xfcller^J\xfcrgen") << date
        << QByteArray("P10") << "P10||05.12.1950|Schritt|Thorax" << 0;
}

void TestServerFaults::hostileValues()
{
    QFETCH(QByteArray, charset);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, birthDate);
    QFETCH(QByteArray, patientId);
    QFETCH(QString, shown);
    QFETCH(int, longCellLength);

    BoxRecorder boxes;
    FaultScp server(FaultScp::Mode::ScriptedFind);
    std::vector<std::unique_ptr<DcmDataset>> answers;
    auto hostile = match("", "", "1.2.3.99");
    if (!charset.isEmpty())
        putRaw(*hostile, DCM_SpecificCharacterSet, charset);
    putRaw(*hostile, DCM_PatientName, name);
    putRaw(*hostile, DCM_PatientBirthDate, birthDate);
    putRaw(*hostile, DCM_PatientID, patientId);
    answers.push_back(std::move(hostile));
    answers.push_back(match("Z", "Zuletzt^Zora", "1.2.3.100")); // the next row is unharmed
    server.setFindAnswers(std::move(answers));
    QVERIFY(server.start());
    QVERIFY(writeFile(settingsPath(), iniText(server.port()).toUtf8()));
    auto window = std::make_unique<MainWindow>(settingsPath());
    window->setTimeouts(quickTimeouts());
    QVERIFY(window->Form_Load());
    window->show();
    QCOMPARE(boxes.texts, QStringList());

    QStringList rows = shownRows(*window);
    QCOMPARE(rows.size(), 2);
    QVERIFY(rows.contains(QStringLiteral("Z| Zuletzt Zora|05.12.1950|Schritt|Thorax")));
    rows.removeAll(QStringLiteral("Z| Zuletzt Zora|05.12.1950|Schritt|Thorax"));
    QStringList cells = rows.first().split(QLatin1Char('|'));
    const QStringList expected = shown.split(QLatin1Char('|'));
    for (int c = 0; c < 5; ++c) {
        if (expected[c] == u"*") {
            QCOMPARE(cells[c].size(), qsizetype(longCellLength));
            cells[c] = QStringLiteral("*");
        }
    }
    QCOMPARE(cells.join(QLatin1Char('|')), shown);
    QTest::qWait(50); // the long cells are painted too
}

void TestServerFaults::removalFault_data()
{
    QTest::addColumn<FaultScp::StoreReply>("reply");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("rejectAssociation");
    QTest::addColumn<QString>("box"); // %1: the server's port

    using R = FaultScp::StoreReply;
    QTest::newRow("nothing removed: status 0x0112")
        << R::Status << 0x0112 << false
        << "274 - Server 127.0.0.1:%1 meldet Status 0x0112 (Eintrag nicht vorhanden)";
    QTest::newRow("never answers") << R::NeverAnswer << 0 << false
                                   << "-393735 - Keine Antwort von 127.0.0.1:%1 innerhalb von 2 s";
    QTest::newRow("association rejected")
        << R::Status << 0 << true
        << "-393985 - Assoziation abgelehnt: AE-Titel des Servers nicht erkannt (127.0.0.1:%1)";
}

void TestServerFaults::removalFault()
{
    QFETCH(FaultScp::StoreReply, reply);
    QFETCH(int, status);
    QFETCH(bool, rejectAssociation);
    QFETCH(QString, box);

    BoxRecorder boxes;
    FaultScp server(FaultScp::Mode::ScriptedFind);
    server.setFindAnswers(threeMatches());
    server.setStoreReply(reply, quint16(status));
    QVERIFY(server.start());
    auto window = windowWithThreeRows(server);
    QVERIFY(window);
    QCOMPARE(shownRows(*window), threeRowsShown());
    if (rejectAssociation)
        server.setMode(FaultScp::Mode::RejectAssociation);
    const int findsBefore = server.findRequests();

    QSignalSpy removed(window.get(), &MainWindow::removalHandled);
    QTreeView* list = listOf(*window);
    list->setCurrentIndex(list->model()->index(1, 0));
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("cmdDel")), Qt::LeftButton);
    QVERIFY(removed.wait(15000));
    const qint64 elapsed = clock.elapsed();

    QCOMPARE(boxes.texts, QStringList{box.arg(server.port())});
    QCOMPARE(shownRows(*window), threeRowsShown());
    QCOMPARE(server.storeRequests(), rejectAssociation ? 0 : 1);
    QTest::qWait(50);
    QCOMPARE(server.findRequests(), findsBefore); // a failed removal does not refresh
    QVERIFY(!window->client().isBusy());
    qInfo("outcome after %lld ms", qint64(elapsed));
}

QTEST_MAIN(TestServerFaults)
#include "tst_serverfaults.moc"
