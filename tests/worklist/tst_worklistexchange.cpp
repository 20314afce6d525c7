#include "dicombytes.h"
#include "faultscp.h"
#include "localresolver.h"
#include "testserver.h"
#include "worklistclient.h"
#include "worklistfind.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <algorithm>
#include <clocale>

namespace {

const QString today = QDate::currentDate().toString(QStringLiteral("yyyyMMdd"));

// One worklist entry as dump2dcm text; `name` and `description` are written as Latin-1.
QByteArray entryDump(const QString& id, const QString& name, const QString& uid,
                     const QString& modality = QStringLiteral("CR"),
                     const QString& station = QStringLiteral("STATION"))
{
    return QStringLiteral("(0008,0050) SH [ACC%1]\n(0010,0010) PN [%2]\n(0010,0020) LO [%1]\n"
                          "(0010,0030) DA [19501205]\n(0020,000d) UI [%3]\n"
                          "(0032,1060) LO [Röntgen Thorax]\n(0040,0100) SQ\n(fffe,e000) -\n"
                          "(0008,0060) CS [%5]\n(0040,0001) AE [%6]\n(0040,0002) DA [%4]\n"
                          "(0040,0003) TM [101500]\n(0040,0007) LO [Schädel]\n"
                          "(0040,0009) SH [SPS%1]\n(fffe,e00d) -\n(fffe,e0dd) -\n"
                          "(0040,1001) SH [RP%1]\n")
        .arg(id, name, uid, today, modality, station)
        .toLatin1();
}

ConnectionParams localParams(quint16 port)
{
    return {"127.0.0.1", QString::number(port), "KELVARA_WL", "KELVARA", {}, {}};
}

// A wlmscpfs data folder with the given entries for the AE title KELVARA_WL.
bool makeWorklistFolder(const QTemporaryDir& root, const QList<QByteArray>& entries)
{
    const QString folder = root.filePath(QStringLiteral("KELVARA_WL"));
    if (!QDir().mkpath(folder) || !TestServer::writeFile(folder + QStringLiteral("/lockfile"), {}))
        return false;
    for (int i = 0; i < entries.size(); ++i) {
        const QString dump = root.filePath(QStringLiteral("entry%1.dump").arg(i));
        if (!TestServer::writeFile(dump, entries[i]) ||
            QProcess::execute(TestServer::program(QStringLiteral("dump2dcm")),
                              {"-g", dump, folder + QStringLiteral("/entry%1.wl").arg(i)}) != 0)
            return false;
    }
    return true;
}

// One match nested `levels` deep, then success and the release's answer, as a server on the
// first presentation context (Explicit VR) answers message 1. Written by hand: the toolkit's
// writer would recurse as deep as the reader.
QByteArray nestedMatchReply(int levels)
{
    using namespace DicomBytes;
    const auto command = [](quint16 dataSet, quint16 status) {
        const QByteArray c = element(0, 0x0002, "1.2.840.10008.5.1.4.31") +
                             element(0, 0x0100, le16(0x8020)) + element(0, 0x0120, le16(1)) +
                             element(0, 0x0800, le16(dataSet)) + element(0, 0x0900, le16(status));
        return pdataPdu(1, 0x03, element(0, 0, le32(c.size())) + c);
    };
    const QByteArray entry = nested(levels, true);
    QByteArray wire = command(0, 0xFF00);
    for (qsizetype at = 0; at < entry.size(); at += 16000)
        wire += pdataPdu(1, at + 16000 >= entry.size() ? 0x02 : 0x00, entry.mid(at, 16000));
    return wire + command(0x0101, 0) + QByteArray::fromHex("06000000000400000000");
}

} // namespace

class TestWorklistExchange final : public QObject
{
    Q_OBJECT
private slots:
    // The texts are the program's own and must not follow the C library's translations.
    void initTestCase() { QVERIFY(setlocale(LC_ALL, "de_DE.UTF-8")); }
    void wlmscpfsReceivesIdentifierAndSendsLatin1();
    void failures_data();
    void failures();
    void stationsOwnSteps_data();
    void stationsOwnSteps();
    void performedStepTakesTheStepOff_data();
    void performedStepTakesTheStepOff();
    void ourServer_data();
    void ourServer();
    void clientDropsSecondQueryAndQueuesRemovals();
};

// The identifier as wlmscpfs logged it, and its entries as rows: without a character set
// declared, Latin-1 by default.
void TestWorklistExchange::wlmscpfsReceivesIdentifierAndSendsLatin1()
{
    QTemporaryDir root;
    QVERIFY(
        makeWorklistFolder(root, {entryDump("P1", QString::fromUtf8("Müller^Jürgen"), "1.2.3.1"),
                                  entryDump("P2", "Solo", "1.2.3.2")}));
    TestServer server;
    QVERIFY2(server.start("wlmscpfs", {"-d", "-dfp", root.path(), "%PORT%"}),
             qPrintable(server.output()));
    FindOutcome outcome = runWorklistFind(localParams(server.port()));
    QVERIFY2(!outcome.error.isError(), qPrintable(outcome.error.messageText()));
    QCOMPARE(outcome.rows.size(), 2);
    std::sort(outcome.rows.begin(), outcome.rows.end(),
              [](const WorklistRow& a, const WorklistRow& b) { return a.patientId < b.patientId; });
    const WorklistRow& first = outcome.rows[0];
    QCOMPARE((QStringList{first.name, first.stepDescription, first.studyDescription, first.entryKey,
                          outcome.rows[1].name}),
             (QStringList{QString::fromUtf8(" Müller Jürgen"), QString::fromUtf8("Schädel"),
                          QString::fromUtf8("Röntgen Thorax"), "1.2.3.1", " Solo"}));
    QCOMPARE(first.birthDateValue, QDate(1950, 12, 5));
    QVERIFY(!outcome.truncatedByServer);
    QVERIFY(server.waitForOutput(QStringLiteral("(0040,3001)")));

    // The identifier as the server logged it: tags in order, with their nesting depth.
    const QString log = server.output();
    const qsizetype start =
        log.lastIndexOf(QLatin1Char('\n'), log.indexOf(QLatin1String("(0008,0005)"))) + 1;
    QVERIFY(start > 0);
    const qsizetype end = log.indexOf(QLatin1String("(0040,3001)"), start);
    static const QRegularExpression line(
        QStringLiteral("^(?:I: )?(\\s*)\\(([0-9a-f]{4},[0-9a-f]{4})\\)"
                       "\\s+(\\w\\w)\\s+(.*)$"),
        QRegularExpression::MultilineOption);
    QStringList received;
    QHash<QString, QString> values;
    for (auto it = line.globalMatch(log.mid(start, end - start + 40)); it.hasNext();) {
        const auto m = it.next();
        if (!m.captured(2).startsWith(QLatin1String("fffe")))
            received << QString(m.captured(1).size() / 4, QLatin1Char('>')) + m.captured(2);
        values[m.captured(2)] = m.captured(4);
    }
    const QString startDate = values["0040,0002"], startTime = values["0040,0003"];
    const QStringList expected{
        "0008,0005",  "0008,0050",  "0008,0090",  "0008,1110",   ">0008,1150", ">0008,1155",
        "0010,0010",  "0010,0020",  "0010,0030",  "0010,0040",   "0010,1020",  "0010,1030",
        "0010,1040",  "0010,2000",  "0010,2110",  "0010,21c0",   "0018,0015",  "0020,000d",
        "0032,1032",  "0032,1033",  "0032,1060",  "0032,1064",   ">0008,0100", ">0008,0102",
        ">0008,0104", "0038,0010",  "0038,0050",  "0038,0300",   "0038,0400",  "0038,0500",
        "0040,0100",  ">0008,0060", ">0032,1070", ">0040,0001",  ">0040,0002", ">0040,0003",
        ">0040,0006", ">0040,0007", ">0040,0008", ">>0008,0100", ">0040,0009", ">0040,0010",
        ">0040,0011", ">0040,0012", "0040,1001",  "0040,1003",   "0040,1004",  "0040,3001"};
    QCOMPARE(received, expected);
    // The value is padded to an even length.
    QVERIFY2(startDate.startsWith(QStringLiteral("[%1-%1 ]").arg(today)), qPrintable(startDate));
    QVERIFY2(startTime.startsWith(QLatin1String("[000000-235959 ]")), qPrintable(startTime));
    QVERIFY2(values["0010,21c0"].contains(QLatin1String("(no value available)")),
             qPrintable(values["0010,21c0"]));
}

// One fault each, a query's or a removal's, with the whole text the user reads, under the C
// locale and a German one: the texts are the program's own, not the C library's translations.
void TestWorklistExchange::failures_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QByteArray>("locale");
    QTest::addColumn<QString>("expected"); // %1: the server's port; empty: success, one row

    const QString invalid = QStringLiteral("-4 - Ungültige Antwort von 127.0.0.1:%1: ");
    const QString deadline =
        QStringLiteral("-3 - Keine vollständige Antwort von 127.0.0.1:%1 innerhalb von 4 s");
    const QString badTitle = QStringLiteral("ist ungültig (1 bis 16 Zeichen, keine "
                                            "Steuerzeichen, kein Backslash)");
    const QString rejected = QStringLiteral("-393985 - Assoziation abgelehnt: AE-Titel des Servers "
                                            "nicht erkannt (127.0.0.1:%1)");
    const QString noAnswer = QStringLiteral("-393735 - Keine Antwort von 127.0.0.1:%1 innerhalb "
                                            "von 1 s");
    const QList<QPair<QString, QString>> rows{
        {"refused", "-394012 - Verbindung zu 127.0.0.1:%1 abgelehnt"},
        {"unknownHost", "-394016 - Rechner kelvara-test.invalid nicht gefunden"},
        // A lookup that never ends is ended with the exchange at its total deadline.
        {"lookupNeverAnswers",
         "-3 - Keine vollständige Antwort von kelvara-test.invalid:%1 innerhalb von 3 s"},
        {"badPort", "-1 - Port \"abc\" ist keine gültige Portnummer (1 bis 65535)"},
        {"removal badPort", "-1 - Port \"abc\" ist keine gültige Portnummer (1 bis 65535)"},
        {"blankOwnAet", "-1 - Eigener AE-Titel \"   \" " + badTitle},
        {"longServerAet", "-1 - AE-Titel des Servers \"SEVENTEEN_LETTERS\" " + badTitle},
        {"rejected", rejected},
        {"statusA700", "42752 - Server 127.0.0.1:%1 meldet Status 0xA700 (keine Ressourcen frei)"},
        {"statusC000", "49152 - Server 127.0.0.1:%1 meldet Status 0xC000 (Anfrage kann nicht "
                       "verarbeitet werden)"},
        {"cancelFirst", "65024 - Server 127.0.0.1:%1 meldet Status 0xFE00 (Abbruch)"},
        {"dropAfter2", "-394007 - 127.0.0.1:%1 hat die Verbindung abgebrochen"},
        // The toolkit's own words only where no text of ours fits: its fixed English ones.
        {"garbageAfter2", "-393741 - Ungültige Antwort von 127.0.0.1:%1 (PDV lengths don't add "
                          "up correctly: 1 PDVs. This probably indicates a malformed P-DATA PDU. "
                          "PDU type is 04.)"},
        {"malformedAnswer",
         "-393991 - Ungültige Antwort von 127.0.0.1:%1 (DUL Illegal or ill-formed PDU)"},
        {"dataBeforeAnswer", invalid + "Daten vor der Antwort auf die Assoziationsanfrage"},
        {"silent", "-394010 - Keine Antwort von 127.0.0.1:%1 innerhalb von 1 s"},
        // The association answer's first bytes, then nothing more.
        {"answerStops",
         "-394010 - Antwort von 127.0.0.1:%1 bricht ab: innerhalb von 1 s kam nichts mehr"},
        {"neverAnswers", noAnswer},
        {"nesting16", ""},
        {"nesting17", invalid + "Eintrag tiefer als 16 Ebenen verschachtelt"},
        {"nesting10000", invalid + "Eintrag tiefer als 16 Ebenen verschachtelt"},
        {"value6MiB", invalid + "Eintrag größer als 4 MiB"},
        {"matchEvery500ms", deadline},
        {"removal status 0x0112",
         "274 - Server 127.0.0.1:%1 meldet Status 0x0112 (Eintrag nicht vorhanden)"},
        {"removal never answered", noAnswer},
        {"removal rejected", rejected},
        // A performed procedure step the server refuses, at its start or at its end.
        {"step N-CREATE refused",
         "274 - Server 127.0.0.1:%1 nimmt den Schritt nicht an (N-CREATE): Status 0x0112 (Eintrag "
         "nicht vorhanden)"},
        {"step N-SET refused",
         "50960 - Server 127.0.0.1:%1 nimmt das Ende des Schritts nicht an (N-SET): Status 0xC710 "
         "(Anfrage kann nicht verarbeitet werden); der Schritt steht am Server jetzt \"in Arbeit\" "
         "und muss dort abgeschlossen werden"},
    };
    for (const auto& [scenario, expected] : rows) {
        for (const QByteArray locale : {"C", "de_DE.UTF-8"}) {
            // A row that waits for a time-out depends on no locale: once is enough.
            if (locale == "C" && expected.contains(QLatin1String(" innerhalb von ")))
                continue;
            QTest::addRow("%s, %s", qPrintable(scenario), locale.constData())
                << scenario << locale << expected;
        }
    }
}

void TestWorklistExchange::failures()
{
    QFETCH(QString, scenario);
    QFETCH(QByteArray, locale);
    QFETCH(QString, expected);
    QVERIFY(setlocale(LC_ALL, locale.constData()));
    const auto restoreLocale = qScopeGuard([] { setlocale(LC_ALL, "de_DE.UTF-8"); });

    using M = FaultScp::Mode;
    const QHash<QString, M> modes{{"rejected", M::RejectAssociation},
                                  {"dropAfter2", M::CutAfterPending},
                                  {"garbageAfter2", M::CutAfterPending},
                                  {"malformedAnswer", M::RawReply},
                                  {"dataBeforeAnswer", M::RawReply},
                                  {"answerStops", M::RawReply},
                                  {"silent", M::RawReply},
                                  {"neverAnswers", M::NeverAnswer},
                                  {"removal rejected", M::RejectAssociation}};
    const bool step = scenario.startsWith(QLatin1String("step"));
    const bool removal = scenario.startsWith(QLatin1String("removal")) || step;
    std::unique_ptr<FaultScp> fault;
    ConnectionParams params = localParams(TestServer::freePort());
    const bool lookup = scenario == QLatin1String("unknownHost") || scenario.startsWith("lookup");
    std::unique_ptr<LocalResolver> resolver;
    if (lookup) {
        resolver = std::make_unique<LocalResolver>(scenario == QLatin1String("unknownHost")
                                                       ? LocalResolver::Mode::NoSuchName
                                                       : LocalResolver::Mode::Silent);
        if (!resolver->isActive())
            QSKIP("needs a resolver of its own: run as root, in a mount namespace of its own");
    }
    if (scenario != QLatin1String("refused") && !scenario.contains("Aet") &&
        !scenario.endsWith("badPort") && !lookup) {
        fault = std::make_unique<FaultScp>(modes.value(
            scenario, scenario.startsWith("nesting") ? M::CutAfterPending : M::ScriptedFind));
        std::vector<std::unique_ptr<DcmDataset>> answers;
        if (scenario == QLatin1String("value6MiB")) {
            answers.push_back(worklistMatch("HUGE"));
            answers.back()->putAndInsertString(DCM_TextValue,
                                               QByteArray(6 * 1024 * 1024, 'T').constData());
        } else if (scenario != QLatin1String("cancelFirst") && !scenario.startsWith("nesting")) {
            for (const char* id : {"A", "B", "C", "D", "E", "F", "G", "H", "I", "J"})
                answers.push_back(worklistMatch(id));
        }
        const quint16 status = scenario.startsWith(QLatin1String("status"))
                                   ? quint16(scenario.mid(6).toUInt(nullptr, 16))
                               : scenario == QLatin1String("cancelFirst") ? 0xFE00
                                                                          : 0x0000;
        fault->setFindAnswers(std::move(answers), status);
        fault->setPendingBeforeClose(2);
        if (scenario == QLatin1String("matchEvery500ms"))
            fault->setMatchInterval(std::chrono::milliseconds(500));
        // A PDV item that claims 255 bytes; an association answer whose length does not fit;
        // P-DATA where the association answer belongs.
        const QHash<QString, QByteArray> raw{
            {"garbageAfter2", QByteArray::fromHex("04000000000a000000ff0103deadbeef")},
            {"malformedAnswer", QByteArray::fromHex("02000000000adeadbeef0001ffff1000")},
            {"dataBeforeAnswer", QByteArray::fromHex("0400000000080000000401030000")},
            {"answerStops", QByteArray::fromHex("020000000064000100004b454c56")}};
        fault->setRawReply(scenario.startsWith(QLatin1String("nesting"))
                               ? nestedMatchReply(scenario.mid(7).toInt())
                               : raw.value(scenario));
        fault->setStoreStatus(scenario.endsWith(QLatin1String("never answered")) ? -1 : 0x0112);
        fault->setStepStatuses(scenario.contains("N-CREATE") ? 0x0112 : 0, 0xC710);
        QVERIFY(fault->start());
        params = localParams(fault->port());
    }
    if (lookup)
        params.host = QStringLiteral("kelvara-test.invalid");
    if (scenario.endsWith(QLatin1String("badPort")))
        params.port = QStringLiteral("abc");
    if (scenario == QLatin1String("blankOwnAet"))
        params.callingAet = QStringLiteral("   ");
    if (scenario == QLatin1String("longServerAet"))
        params.calledAet = QStringLiteral("SEVENTEEN_LETTERS");
    // The toolkit counts whole seconds: a match every 500 ms stays within a time-out of 2 s, and
    // only the total deadline of 4 s ends the exchange.
    params.timeouts = {1, 1, scenario.startsWith(QLatin1String("match")) ? 2 : 1, 0};

    WorklistClient client;
    QStringList told;
    qsizetype rows = 0;
    connect(&client, &WorklistClient::queryFinished, this, [&](const FindOutcome& outcome) {
        told << outcome.error.messageText();
        rows = outcome.rows.size();
    });
    connect(&client, &WorklistClient::removalFinished, this,
            [&](const DicomError& error) { told << error.messageText(); });
    QStringList stepAttributes(int(StepAttribute::Count));
    stepAttributes[int(StepAttribute::StudyUid)] = QStringLiteral("1.2.3");
    if (step)
        client.startRemoval(params, QStringLiteral("1.2.3"), QStringLiteral("COMPLETED"),
                            stepAttributes.join(stepAttributeSeparator));
    else if (removal)
        client.startRemoval(params, QStringLiteral("1.2.3"));
    else
        QVERIFY(client.startQuery(params));
    QVERIFY(client.waitForIdle(20000)); // far beyond the deadline: a hang
    const QString port = fault ? QString::number(fault->port()) : params.port;
    QCOMPARE(told,
             QStringList{expected.isEmpty() ? "0 - " : QString(expected).replace("%1", port)});
    QCOMPARE(rows, expected.isEmpty() ? 1 : 0);
    // A failure ends the association by an abort: a release would wait out a time-out.
    if (fault && !scenario.startsWith(QLatin1String("nesting1")))
        QTRY_COMPARE(fault->releaseRequests(), expected.isEmpty() ? 1 : 0);
}

void TestWorklistExchange::stationsOwnSteps_data()
{
    QTest::addColumn<QString>("station");
    QTest::addColumn<QString>("modality");
    QTest::addColumn<QString>("expected"); // the IDs the server returned, or the whole failure

    QTest::newRow("every step") << ""
                                << ""
                                << "P1 P2 P3";
    QTest::newRow("one station") << "CT_ROOM1"
                                 << ""
                                 << "P1 P3";
    QTest::newRow("one modality") << ""
                                  << "MR"
                                  << "P2";
    QTest::newRow("both") << "CT_ROOM1"
                          << "CT"
                          << "P1";
    // Refused before anything is sent.
    QTest::newRow("station too long")
        << "SEVENTEEN_LETTERS"
        << ""
        << "-1 - Settings.ini [Worklist] StationAET \"SEVENTEEN_LETTERS\" ist ungültig (1 bis 16 "
           "Zeichen, keine Steuerzeichen, kein Backslash)";
    QTest::newRow("modality with a backslash")
        << ""
        << "CT\\MR"
        << "-1 - Settings.ini [Worklist] Modality \"CT\\MR\" ist ungültig (bis 16 Zeichen, keine "
           "Steuerzeichen, kein Backslash)";
}

// A workstation that asks for its own steps gets them from a server that matches the keys.
void TestWorklistExchange::stationsOwnSteps()
{
    QFETCH(QString, station);
    QFETCH(QString, modality);
    QFETCH(QString, expected);
    QTemporaryDir root;
    QVERIFY(makeWorklistFolder(root, {entryDump("P1", "Eins", "1.2.3.1", "CT", "CT_ROOM1"),
                                      entryDump("P2", "Zwei", "1.2.3.2", "MR", "MR_ROOM1"),
                                      entryDump("P3", "Drei", "1.2.3.3", "CR", "CT_ROOM1")}));
    TestServer server;
    QVERIFY2(server.start("wlmscpfs", {"-dfp", root.path(), "%PORT%"}),
             qPrintable(server.output()));
    ConnectionParams params = localParams(server.port());
    params.stationAet = station;
    params.modality = modality;
    FindOutcome outcome = runWorklistFind(params);
    QStringList ids;
    for (const WorklistRow& row : outcome.rows)
        ids << row.patientId;
    ids.sort();
    QCOMPARE(outcome.error.isError() ? outcome.error.messageText() : ids.join(u' '), expected);
}

void TestWorklistExchange::performedStepTakesTheStepOff_data()
{
    QTest::addColumn<QString>("status");
    QTest::newRow("completed") << "COMPLETED";
    QTest::newRow("discontinued") << "DISCONTINUED";
}

// Through the helper, as the window removes: the step (not its study's other step) leaves our
// server's list, and the N-CREATE and N-SET that arrive carry what a performed procedure step
// must, taken from the entry the query returned.
void TestWorklistExchange::performedStepTakesTheStepOff()
{
    QFETCH(QString, status);
    QTemporaryDir kept;
    TestServer server;
    QVERIFY2(server.startDemo(20, {"--mpps-dir", kept.path()}), qPrintable(server.output()));
    WorklistClient client;
    FindOutcome before, after;
    DicomError removed{-99, {}};
    connect(&client, &WorklistClient::queryFinished, this, [&](const FindOutcome& outcome) {
        (before.rows.isEmpty() ? before : after) = outcome;
    });
    connect(&client, &WorklistClient::removalFinished, this,
            [&](const DicomError& error) { removed = error; });
    const ConnectionParams params = localParams(server.port());
    QVERIFY(client.startQuery(params, true));
    QVERIFY(client.waitForIdle(20000));
    QCOMPARE(before.rows.size(), 20);
    // The demo's tenth entry is a second step of the ninth's study.
    const WorklistRow row = before.rows[9];
    QCOMPARE(row.entryKey, before.rows[8].entryKey);
    const QStringList step = row.stepAttributes.split(stepAttributeSeparator);
    QCOMPARE(step.size(), int(StepAttribute::Count));
    client.startRemoval(params, row.entryKey, status, row.stepAttributes);
    QVERIFY(client.waitForIdle(20000));
    QVERIFY(client.startQuery(params, true) && client.waitForIdle(20000));
    QCOMPARE(removed.messageText(), QStringLiteral("0 - "));
    QCOMPARE(after.rows.size(), 19);
    for (const WorklistRow& left : after.rows)
        QVERIFY(left.stepAttributes != row.stepAttributes);

    // What arrived, attribute by attribute.
    const auto read = [&](const QString& name) {
        DcmFileFormat file;
        const QString path = QDir(kept.path()).filePath(name);
        return file.loadFile(QFile::encodeName(path).constData()).good()
                   ? std::unique_ptr<DcmDataset>(file.getAndRemoveDataset())
                   : std::unique_ptr<DcmDataset>();
    };
    const auto value = [](DcmItem* item, const DcmTagKey& key) {
        OFString text;
        return item && item->findAndGetOFStringArray(key, text).good()
                   ? QString::fromUtf8(text.c_str())
                   : QStringLiteral("<missing>");
    };
    const auto created = read(QStringLiteral("0001-ncreate.dcm"));
    const auto set = read(QStringLiteral("0002-nset.dcm"));
    QVERIFY(created && set);
    DcmItem* scheduled = nullptr;
    QVERIFY(created->findAndGetSequenceItem(DCM_ScheduledStepAttributesSequence, scheduled).good());
    using A = StepAttribute;
    const QList<QPair<QString, QString>> expected{
        {value(scheduled, DCM_StudyInstanceUID), row.entryKey},
        {value(scheduled, DCM_AccessionNumber), step[int(A::AccessionNumber)]},
        {value(scheduled, DCM_RequestedProcedureID), step[int(A::RequestedProcedureId)]},
        {value(scheduled, DCM_RequestedProcedureDescription),
         step[int(A::RequestedProcedureDescription)]},
        {value(scheduled, DCM_ScheduledProcedureStepID), step[int(A::StepId)]},
        {value(scheduled, DCM_ScheduledProcedureStepDescription), row.stepDescription},
        {value(created.get(), DCM_PatientName), step[int(A::PatientName)]},
        {value(created.get(), DCM_PatientID), row.patientId},
        {value(created.get(), DCM_PatientBirthDate), step[int(A::BirthDate)]},
        {value(created.get(), DCM_PatientSex), step[int(A::Sex)]},
        {value(created.get(), DCM_PerformedStationAETitle), QStringLiteral("KELVARA")},
        {value(created.get(), DCM_PerformedProcedureStepStatus), QStringLiteral("IN PROGRESS")},
        {value(created.get(), DCM_Modality), step[int(A::Modality)]},
        {value(set.get(), DCM_PerformedProcedureStepStatus), status}};
    for (const auto& [actual, wanted] : expected)
        QCOMPARE(actual, wanted);
    QVERIFY(!step[int(A::StepId)].isEmpty() && !step[int(A::Modality)].isEmpty());
    // Present with a value where PS3.4 asks for one, present (perhaps empty) where it asks for
    // the attribute only.
    for (const DcmTagKey& key : {DCM_PerformedProcedureStepID, DCM_PerformedProcedureStepStartDate,
                                 DCM_PerformedProcedureStepStartTime, DCM_SpecificCharacterSet})
        QVERIFY2(!value(created.get(), key).isEmpty() && value(created.get(), key) != "<missing>",
                 key.toString().c_str());
    for (const DcmTagKey& key :
         {DCM_PerformedStationName, DCM_PerformedLocation, DCM_PerformedProcedureStepEndDate,
          DCM_PerformedProcedureStepEndTime, DCM_StudyID, DCM_PerformedProcedureStepDescription,
          DCM_PerformedProcedureTypeDescription, DCM_ReferencedPatientSequence,
          DCM_ProcedureCodeSequence, DCM_PerformedProtocolCodeSequence,
          DCM_PerformedSeriesSequence})
        QVERIFY2(created->tagExists(key), key.toString().c_str());
    for (const DcmTagKey& key :
         {DCM_PerformedProcedureStepEndDate, DCM_PerformedProcedureStepEndTime})
        QVERIFY2(!value(set.get(), key).isEmpty(), key.toString().c_str());
    DcmItem* series = nullptr;
    QVERIFY(set->findAndGetSequenceItem(DCM_PerformedSeriesSequence, series).good());
    QVERIFY(!value(series, DCM_SeriesInstanceUID).isEmpty());
    QVERIFY(!value(series, DCM_ProtocolName).isEmpty());
    for (const DcmTagKey& key : {DCM_RetrieveAETitle, DCM_ReferencedImageSequence})
        QVERIFY2(series->tagExists(key), key.toString().c_str());
}

void TestWorklistExchange::ourServer_data()
{
    QTest::addColumn<QString>("charset");
    QTest::newRow("UTF-8") << "utf8";
    QTest::newRow("Latin-1") << "latin1";
}

// Our own worklist server: every entry decodes cleanly in both character sets.
void TestWorklistExchange::ourServer()
{
    QFETCH(QString, charset);
    TestServer server;
    QVERIFY2(server.startDemo(40, {"--charset", charset, "--quiet"}), qPrintable(server.output()));
    const FindOutcome outcome = runWorklistFind(localParams(server.port()));
    QVERIFY2(!outcome.error.isError(), qPrintable(outcome.error.messageText()));
    QCOMPARE(outcome.rows.size(), 40);
    bool sawNonAscii = false;
    for (const WorklistRow& row : outcome.rows) {
        QVERIFY(!row.entryKey.isEmpty());
        QVERIFY(row.name.startsWith(QLatin1Char(' ')));
        for (const QString& cell : {row.name, row.stepDescription, row.studyDescription}) {
            QVERIFY2(!cell.contains(QChar::ReplacementCharacter) &&
                         !cell.contains(QStringLiteral("Ã")),
                     qPrintable(cell));
            sawNonAscii = sawNonAscii || std::any_of(cell.begin(), cell.end(),
                                                     [](QChar c) { return c.unicode() > 0x7F; });
        }
    }
    QVERIFY(sawNonAscii);
}

// Removals asked for during a slow query are all carried out after it, in the order asked,
// each with its own key; closing drops those still waiting.
void TestWorklistExchange::clientDropsSecondQueryAndQueuesRemovals()
{
    FaultScp server(FaultScp::Mode::ScriptedFind);
    server.setFindAnswers(threeMatches());
    server.setMatchInterval(std::chrono::milliseconds(200));
    QVERIFY(server.start());

    WorklistClient client;
    QStringList order;
    connect(&client, &WorklistClient::queryFinished, this,
            [&](const FindOutcome& outcome) { order << outcome.error.messageText(); });
    connect(&client, &WorklistClient::removalFinished, this,
            [&](const DicomError& error) { order << error.messageText(); });
    const ConnectionParams params = localParams(server.port());
    QVERIFY(client.startQuery(params));
    QVERIFY(!client.startQuery(params));
    client.startRemoval(params, "1.1");
    client.startRemoval(params, "2.2");
    QVERIFY(client.waitForIdle(20000));
    QCOMPARE(order, (QStringList{"0 - ", "0 - ", "0 - "}));
    QCOMPARE(server.storedKeys(), (QStringList{"1.1", "2.2"}));
    QCOMPARE(server.findRequests(), 1);

    order.clear();
    QVERIFY(client.startQuery(params));
    client.startRemoval(params, "3.3");
    client.startRemoval(params, "4.4");
    client.abort();
    QVERIFY(client.waitForIdle(5000));
    QCOMPARE(order, QStringList{"-2 - Austausch mit 127.0.0.1:%1 abgebrochen"}.replaceInStrings(
                        "%1", QString::number(server.port())));
    QCOMPARE(server.storedKeys().size(), 2);
}

QTEST_GUILESS_MAIN(TestWorklistExchange)
#include "tst_worklistexchange.moc"
