// kelvara-wlserver driven by DCMTK's own clients (findscu, echoscu, storescu, dump2dcm).

#include "testserver.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

namespace {

// Runs one of DCMTK's tools and gives its exit code (-1 when it crashed or hung).
int runTool(const QString& name, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(TestServer::program(name), arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// Writes a DICOM file from dcmdump-style text (given as raw bytes, so values may be Latin-1).
bool writeDicom(const QString& path, const QByteArray& dump, const QStringList& options = {})
{
    QFile text(path + ".txt");
    const bool written =
        text.open(QIODevice::WriteOnly) && text.write(dump) == dump.size() && text.flush() &&
        runTool(QStringLiteral("dump2dcm"), QStringList(options) << text.fileName() << path) == 0;
    text.remove();
    return written;
}

// One worklist entry as dcmdump-style text; the fields may hold Latin-1 bytes.
QByteArray entryDump(const QByteArray& charset, const QByteArray& name, const QByteArray& id,
                     const QByteArray& date, const QByteArray& time, const QByteArray& uid)
{
    QByteArray dump = charset.isEmpty() ? QByteArray() : "(0008,0005) CS [" + charset + "]\n";
    dump += "(0008,0050) SH [ACC@I]\n(0010,0010) PN [@N]\n(0010,0020) LO [@I]\n"
            "(0010,0030) DA [19700101]\n(0020,000d) UI [@U]\n(0032,1060) LO [Untersuchung]\n"
            "(0040,0100) SQ (Sequence with undefined length)\n"
            "  (fffe,e000) na (Item with undefined length)\n"
            "    (0008,0060) CS [CR]\n    (0040,0001) AE [STATION1]\n"
            "    (0040,0002) DA [@D]\n    (0040,0003) TM [@T]\n    (0040,0007) LO [Schritt]\n"
            "  (fffe,e00d) na (ItemDelimitationItem)\n"
            "(fffe,e0dd) na (SequenceDelimitationItem)\n";
    return dump.replace("@N", name)
        .replace("@I", id)
        .replace("@D", date)
        .replace("@T", time)
        .replace("@U", uid);
}

// Four entries: UTF-8, plain ASCII, Latin-1 and one file without meta header.
bool writeFixture(const QString& folder)
{
    return writeDicom(folder + "/e1.wl", entryDump("ISO_IR 192", "M\xC3\xBCller^J\xC3\xBCrgen",
                                                   "PID001", "20250301", "081500", "1.2.3.1")) &&
           writeDicom(folder + "/e2.wl",
                      entryDump("", "Mueller^Hans", "PID002", "20250301", "133000", "1.2.3.2")) &&
           writeDicom(folder + "/e3.dcm", entryDump("ISO_IR 100", "Wei\xDF^Anna-Lena", "PID003",
                                                    "20250302", "0900", "1.2.3.3")) &&
           writeDicom(folder + "/e4.wl",
                      entryDump("ISO_IR 192",
                                "Sch\xC3\xA4"
                                "fer^Bj\xC3\xB6rn",
                                "PID004", "20250305", "170000.25", "1.2.3.4"),
                      {QStringLiteral("-F")});
}

struct Response
{
    QString patientId;
    QByteArray charset;
    QByteArray rawName;
    QString name; // decoded to UTF-8
};

// Runs findscu with the given keys (PatientID, PatientName and the character set are always asked
// for) and reads the responses it extracted. When findscu fails the one response is "FAILED".
QList<Response> find(quint16 port, const QStringList& keys,
                     const QString& calledAe = QStringLiteral("KELVARA_WL"))
{
    QTemporaryDir out;
    QStringList args{"-W", "-aec", calledAe, "-X", "-od", out.path()};
    QStringList allKeys{"SpecificCharacterSet", "PatientName", "PatientID"};
    for (const QString& key : keys) {
        allKeys.removeAll(key.section(u'=', 0, 0));
        allKeys << key;
    }
    for (const QString& key : allKeys)
        args << "-k" << key;
    if (runTool(QStringLiteral("findscu"), args << "127.0.0.1" << QString::number(port)) != 0)
        return {Response{QStringLiteral("FAILED"), {}, {}, {}}};
    QList<Response> responses;
    const QDir dir(out.path());
    for (const QString& file : dir.entryList({QStringLiteral("rsp*.dcm")}, QDir::Files)) {
        DcmFileFormat format;
        if (format.loadFile(dir.filePath(file).toLocal8Bit().constData()).bad())
            continue;
        DcmDataset& data = *format.getDataset();
        Response response;
        OFString value;
        data.findAndGetOFString(DCM_PatientID, value);
        response.patientId = QString::fromLatin1(value.c_str());
        if (data.findAndGetOFStringArray(DCM_SpecificCharacterSet, value).good())
            response.charset = value.c_str();
        const char* raw = nullptr;
        Uint32 length = 0;
        if (data.findAndGetString(DCM_PatientName, raw, length).good() && raw)
            response.rawName = QByteArray(raw, static_cast<int>(length)).trimmed();
        data.convertToUTF8();
        data.findAndGetOFString(DCM_PatientName, value);
        response.name = QString::fromUtf8(value.c_str());
        responses << response;
    }
    return responses;
}

QStringList ids(const QList<Response>& responses)
{
    QStringList result;
    for (const Response& r : responses)
        result << r.patientId;
    result.sort();
    return result;
}

QString sps(const QString& key)
{
    return QStringLiteral("ScheduledProcedureStepSequence[0].") + key;
}

// Starts kelvara-wlserver on a free port with the given options.
bool startServer(TestServer& server, const QStringList& options)
{
    const bool started =
        server.start(QStringLiteral("kelvara-wlserver"), QStringList{"--port", "%PORT%"} + options);
    if (!started)
        qWarning().noquote() << server.output();
    return started;
}

} // namespace

class WlServerTest : public QObject
{
    Q_OBJECT

private slots:
    void demoByDate_data();
    void demoByDate();
    void matching_data();
    void matching();
    void characterSets_data();
    void characterSets();
    void removal_data();
    void removal();
    void association_data();
    void association();
};

// The demo entries are scheduled for today, so a query for another day finds none.
void WlServerTest::demoByDate_data()
{
    QTest::addColumn<int>("daysAgo");
    QTest::addColumn<int>("expected");

    QTest::newRow("today") << 0 << 37;
    QTest::newRow("another day") << 1 << 0;
}

void WlServerTest::demoByDate()
{
    QFETCH(int, daysAgo);
    QFETCH(int, expected);

    TestServer server;
    QVERIFY(startServer(server, QStringList{"--demo", "37"}));
    const QString day = QDate::currentDate().addDays(-daysAgo).toString(u"yyyyMMdd");
    const QList<Response> responses =
        find(server.port(), {sps("ScheduledProcedureStepStartDate=" + day + '-' + day),
                             sps("ScheduledProcedureStepStartTime=000000-235959")});
    QCOMPARE(responses.size(), expected);
    QVERIFY(server.waitForOutput(QStringLiteral("C-FIND from FINDSCU: %1 matches").arg(expected)));
}

void WlServerTest::matching_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QStringList>("expected");

    const auto row = [](const char* name, const QStringList& keys, const QStringList& expected) {
        QTest::newRow(name) << keys << expected;
    };
    const QString date = sps("ScheduledProcedureStepStartDate=");
    const QString time = sps("ScheduledProcedureStepStartTime=");
    row("name ignores case", {"PatientName=mueller^HANS"}, {"PID002"});
    row("name * ascii", {"PatientName=Mu*"}, {"PID002"});
    row("name * umlaut", {"PatientName=Müller*"}, {"PID001"});
    row("name ? is one letter", {"PatientName=M?ller^*"}, {"PID001"});
    row("id exact", {"PatientID=PID004"}, {"PID004"});
    row("id is no prefix", {"PatientID=PID0"}, {});
    row("date single", {date + "20250301"}, {"PID001", "PID002"});
    row("date range", {date + "20250301-20250302"}, {"PID001", "PID002", "PID003"});
    row("date open end", {date + "20250302-"}, {"PID003", "PID004"});
    row("time range", {date + "20250301", time + "080000-120000"}, {"PID001"});
    row("time short forms", {time + "09-12"}, {"PID003"});
    row("time with fraction", {time + "1700-170000"}, {"PID004"});
    row("sequence item: station and date",
        {sps("ScheduledStationAETitle=STATION*"), date + "20250305"}, {"PID004"});
    row("uid list", {"StudyInstanceUID=1.2.3.3\\1.2.3.1"}, {"PID001", "PID003"});
}

void WlServerTest::matching()
{
    QFETCH(QStringList, keys);
    QFETCH(QStringList, expected);

    QTemporaryDir folder;
    QVERIFY(writeFixture(folder.path()));
    TestServer server;
    QVERIFY(startServer(server, QStringList{"--dir", folder.path()}));
    QCOMPARE(ids(find(server.port(), keys)), expected);
}

// A response carries the entry's own character set and its name in it, whatever the query's.
void WlServerTest::characterSets_data()
{
    QTest::addColumn<QStringList>("serverArgs");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("charset");
    QTest::addColumn<QByteArray>("rawName");
    QTest::addColumn<QString>("name");

    const QStringList folder{"--dir", "%DIR%"};
    QTest::newRow("demo utf8, beyond Latin-1") << QStringList{"--demo", "4", "--charset", "utf8"}
                                               << "PatientName=Öz*" << QByteArray("ISO_IR 192")
                                               << QByteArray("\xC3\x96zt\xC3\xBCrk^Ay\xC5\x9F"
                                                             "e")
                                               << "Öztürk^Ayşe";
    QTest::newRow("demo latin1, umlaut query")
        << QStringList{"--demo", "4", "--charset", "latin1"} << "PatientName=*jürgen"
        << QByteArray("ISO_IR 100") << QByteArray("M\xFCller^J\xFCrgen") << "Müller^Jürgen";
    QTest::newRow("folder, Latin-1 file")
        << folder << "PatientName=Weiß*" << QByteArray("ISO_IR 100")
        << QByteArray("Wei\xDF^Anna-Lena") << "Weiß^Anna-Lena";
    QTest::newRow("folder, no character set") << folder << "PatientID=PID002" << QByteArray()
                                              << QByteArray("Mueller^Hans") << "Mueller^Hans";
}

void WlServerTest::characterSets()
{
    QFETCH(QStringList, serverArgs);
    QFETCH(QString, key);
    QFETCH(QByteArray, charset);
    QFETCH(QByteArray, rawName);
    QFETCH(QString, name);

    QTemporaryDir folder;
    QVERIFY(writeFixture(folder.path()));
    serverArgs.replaceInStrings(QStringLiteral("%DIR%"), folder.path());
    TestServer server;
    QVERIFY(startServer(server, serverArgs));
    const QList<Response> responses = find(server.port(), {key});
    QCOMPARE(responses.size(), 1);
    QCOMPARE(responses.first().charset, charset);
    QCOMPARE(responses.first().rawName, rawName);
    QCOMPARE(responses.first().name, name);
}

// A stored object marked REMOVE takes the entry with its Study Instance UID off, file and all.
void WlServerTest::removal_data()
{
    QTest::addColumn<QStringList>("storeOptions");
    QTest::addColumn<QByteArray>("removalAttributes");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<QString>("removedId"); // its file is e<last digit of the id>.*

    const QByteArray marker = "(0019,0010) LO [REMOVE]\n";
    const QStringList explicitVr;
    QTest::newRow("explicit VR") << explicitVr << marker + "(0019,0030) LO [1.2.3.2]\n"
                                 << "REMOVE 1.2.3.2 from STORESCU: removed"
                                 << "PID002";
    QTest::newRow("implicit VR") << QStringList{"-xi"} << marker + "(0019,0030) LO [1.2.3.3]\n"
                                 << "REMOVE 1.2.3.3 from STORESCU: removed"
                                 << "PID003";
    QTest::newRow("unknown key") << explicitVr << marker + "(0019,0030) LO [9.9.9]\n"
                                 << "REMOVE 9.9.9 from STORESCU: not found" << QString();
    QTest::newRow("empty key") << explicitVr << marker + "(0019,0030) LO []\n"
                               << "REMOVE  from STORESCU: not found" << QString();
    QTest::newRow("no marker") << explicitVr << QByteArray("(0019,0030) LO [1.2.3.1]\n")
                               << "C-STORE from STORESCU: no removal marker, refused" << QString();
}

void WlServerTest::removal()
{
    QFETCH(QStringList, storeOptions);
    QFETCH(QByteArray, removalAttributes);
    QFETCH(QString, logLine);
    QFETCH(QString, removedId);

    QTemporaryDir folder;
    QVERIFY(writeFixture(folder.path()));
    QTemporaryDir work;
    const QString object = work.filePath(QStringLiteral("remove.dcm"));
    QVERIFY(writeDicom(object, "(0008,0016) UI =ComputedRadiographyImageStorage\n"
                               "(0008,0018) UI [2.25.4711]\n" +
                                   removalAttributes));
    TestServer server;
    QVERIFY(startServer(server, QStringList{"--dir", folder.path()}));
    runTool(QStringLiteral("storescu"),
            QStringList(storeOptions) << "-aec"
                                      << "KELVARA_WL"
                                      << "127.0.0.1" << QString::number(server.port()) << object);
    QVERIFY2(server.waitForOutput(logLine), qPrintable(server.output()));

    QStringList remaining = {"PID001", "PID002", "PID003", "PID004"};
    remaining.removeOne(removedId);
    QCOMPARE(ids(find(server.port(), {})), remaining);
    const QStringList files = QDir(folder.path()).entryList({"e*"}, QDir::Files, QDir::Name);
    QCOMPARE(files.size(), remaining.size());
    for (const QString& id : remaining)
        QVERIFY(files.filter(QStringLiteral("e") + id.back()).size() == 1);
}

void WlServerTest::association_data()
{
    QTest::addColumn<QString>("calledAe");
    QTest::addColumn<QString>("serverAe");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("logLine");

    const QString echoed = QStringLiteral("C-ECHO from ECHOSCU");
    QTest::newRow("default AE title") << "KELVARA_WL" << QString() << true << echoed;
    QTest::newRow("own AE title") << "WORKLIST"
                                  << "WORKLIST" << true << echoed;
    QTest::newRow("wrong AE title")
        << "ANY_SCP" << QString() << false
        << "association from ECHOSCU (127.0.0.1) rejected: called AE title \"ANY_SCP\"";
    QTest::newRow("case matters") << "kelvara_wl" << QString() << false << "rejected";
}

void WlServerTest::association()
{
    QFETCH(QString, calledAe);
    QFETCH(QString, serverAe);
    QFETCH(bool, accepted);
    QFETCH(QString, logLine);

    QStringList args{"--demo", "3"};
    if (!serverAe.isEmpty())
        args << "--aet" << serverAe;
    TestServer server;
    QVERIFY(startServer(server, args));
    QCOMPARE(runTool(QStringLiteral("echoscu"),
                     {"-aec", calledAe, "127.0.0.1", QString::number(server.port())}) == 0,
             accepted);
    QVERIFY2(server.waitForOutput(logLine), qPrintable(server.output()));
    // A rejected association leaves the server serving the next one.
    QCOMPARE(ids(find(server.port(), {}, serverAe.isEmpty() ? "KELVARA_WL" : serverAe)).size(), 3);
}

QTEST_GUILESS_MAIN(WlServerTest)
#include "tst_wlserver.moc"
