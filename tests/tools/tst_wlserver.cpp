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

struct ToolResult
{
    int exitCode = -1;
    QString output;
};

ToolResult runTool(const QString& name, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(TestServer::program(name), arguments);
    ToolResult result;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        result.output = QStringLiteral("%1 did not finish").arg(name);
        return result;
    }
    result.output = QString::fromLocal8Bit(process.readAll());
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

// Writes a DICOM file from dcmdump-style text (given as raw bytes, so values may be Latin-1).
bool writeDicom(const QString& path, const QByteArray& dump, const QStringList& options = {})
{
    QFile text(path + QLatin1String(".txt"));
    if (!text.open(QIODevice::WriteOnly))
        return false;
    text.write(dump);
    text.close();
    const ToolResult result =
        runTool(QStringLiteral("dump2dcm"), QStringList(options) << text.fileName() << path);
    QFile::remove(text.fileName());
    if (result.exitCode != 0)
        qWarning().noquote() << result.output;
    return result.exitCode == 0;
}

QByteArray entryDump(const QByteArray& charset, const QByteArray& name, const QByteArray& id,
                     const QByteArray& date, const QByteArray& time, const QByteArray& modality,
                     const QByteArray& uid)
{
    QByteArray dump;
    if (!charset.isEmpty())
        dump += "(0008,0005) CS [" + charset + "]\n";
    dump += "(0008,0050) SH [ACC" + id.right(3) +
            "]\n"
            "(0010,0010) PN [" +
            name +
            "]\n"
            "(0010,0020) LO [" +
            id +
            "]\n"
            "(0010,0030) DA [19700101]\n"
            "(0020,000d) UI [" +
            uid +
            "]\n"
            "(0032,1060) LO [Untersuchung]\n"
            "(0040,0100) SQ (Sequence with undefined length)\n"
            "  (fffe,e000) na (Item with undefined length)\n"
            "    (0008,0060) CS [" +
            modality +
            "]\n"
            "    (0040,0001) AE [STATION1]\n"
            "    (0040,0002) DA [" +
            date +
            "]\n"
            "    (0040,0003) TM [" +
            time +
            "]\n"
            "    (0040,0007) LO [Schritt]\n"
            "  (fffe,e00d) na (ItemDelimitationItem)\n"
            "(fffe,e0dd) na (SequenceDelimitationItem)\n";
    return dump;
}

// Four entries: UTF-8, plain ASCII, Latin-1 and one file without meta header.
bool writeFixture(const QString& folder)
{
    return writeDicom(folder + QLatin1String("/e1.wl"),
                      entryDump("ISO_IR 192", "M\xC3\xBCller^J\xC3\xBCrgen", "PID001", "20250301",
                                "081500", "CR", "1.2.3.1")) &&
           writeDicom(
               folder + QLatin1String("/e2.wl"),
               entryDump("", "Mueller^Hans", "PID002", "20250301", "133000", "MR", "1.2.3.2")) &&
           writeDicom(folder + QLatin1String("/e3.dcm"),
                      entryDump("ISO_IR 100", "Wei\xDF^Anna-Lena", "PID003", "20250302", "0900",
                                "CT", "1.2.3.3")) &&
           writeDicom(folder + QLatin1String("/e4.wl"),
                      entryDump("ISO_IR 192",
                                "Sch\xC3\xA4"
                                "fer^Bj\xC3\xB6rn",
                                "PID004", "20250305", "170000.25", "US", "1.2.3.4"),
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
// for) and reads the responses it extracted.
QList<Response> find(quint16 port, const QStringList& keys, int* exitCode = nullptr,
                     const QString& calledAe = QStringLiteral("KELVARA_WL"))
{
    QTemporaryDir out;
    QStringList args = {QStringLiteral("-W"), QStringLiteral("-aec"), calledAe,
                        QStringLiteral("-X"), QStringLiteral("-od"),  out.path()};
    QStringList allKeys = {QStringLiteral("SpecificCharacterSet"), QStringLiteral("PatientName"),
                           QStringLiteral("PatientID")};
    for (const QString& key : keys) {
        const QString tag = key.section(QLatin1Char('='), 0, 0);
        allKeys.removeAll(tag);
        allKeys << key;
    }
    for (const QString& key : allKeys)
        args << QStringLiteral("-k") << key;
    args << QStringLiteral("127.0.0.1") << QString::number(port);
    const ToolResult result = runTool(QStringLiteral("findscu"), args);
    if (exitCode)
        *exitCode = result.exitCode;
    QList<Response> responses;
    const QStringList files =
        QDir(out.path()).entryList({QStringLiteral("rsp*.dcm")}, QDir::Files, QDir::Name);
    for (const QString& file : files) {
        DcmFileFormat format;
        if (format.loadFile(QDir(out.path()).filePath(file).toLocal8Bit().constData()).bad())
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

QString today()
{
    return QDate::currentDate().toString(QStringLiteral("yyyyMMdd"));
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

void WlServerTest::demoByDate_data()
{
    QTest::addColumn<QString>("charset");
    QTest::addColumn<QString>("dateRange");
    QTest::addColumn<int>("expected");

    const QString day = today();
    const QString yesterday = QDate::currentDate().addDays(-1).toString(QStringLiteral("yyyyMMdd"));
    QTest::newRow("utf8, today") << "utf8" << (day + QLatin1Char('-') + day) << 37;
    QTest::newRow("latin1, today") << "latin1" << (day + QLatin1Char('-') + day) << 37;
    QTest::newRow("open range up to today") << "utf8" << (QLatin1Char('-') + day) << 37;
    QTest::newRow("another day") << "utf8" << (yesterday + QLatin1Char('-') + yesterday) << 0;
}

void WlServerTest::demoByDate()
{
    QFETCH(QString, charset);
    QFETCH(QString, dateRange);
    QFETCH(int, expected);

    TestServer server;
    QVERIFY2(
        server.start(QStringLiteral("kelvara-wlserver"),
                     {QStringLiteral("--port"), QStringLiteral("%PORT%"), QStringLiteral("--demo"),
                      QStringLiteral("37"), QStringLiteral("--charset"), charset}),
        qPrintable(server.output()));
    int exitCode = -1;
    const QList<Response> responses =
        find(server.port(),
             {sps(QStringLiteral("ScheduledProcedureStepStartDate=")) + dateRange,
              sps(QStringLiteral("ScheduledProcedureStepStartTime=000000-235959")),
              QStringLiteral("StudyInstanceUID")},
             &exitCode);
    QCOMPARE(exitCode, 0);
    QCOMPARE(responses.size(), expected);
    QVERIFY(server.waitForOutput(QStringLiteral("C-FIND from FINDSCU: %1 matches").arg(expected)));
}

void WlServerTest::matching_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QStringList>("expected");

    const QStringList all = {"PID001", "PID002", "PID003", "PID004"};
    QTest::newRow("universal") << QStringList() << all;
    QTest::newRow("name exact") << QStringList{"PatientName=Mueller^Hans"} << QStringList{"PID002"};
    QTest::newRow("name ignores case")
        << QStringList{"PatientName=mueller^HANS"} << QStringList{"PID002"};
    QTest::newRow("name * ascii") << QStringList{"PatientName=Mu*"} << QStringList{"PID002"};
    QTest::newRow("name * umlaut") << QStringList{"PatientName=Müller*"} << QStringList{"PID001"};
    QTest::newRow("name ? is one letter")
        << QStringList{"PatientName=M?ller^*"} << QStringList{"PID001"};
    QTest::newRow("name of a Latin-1 entry")
        << QStringList{"PatientName=Weiß*"} << QStringList{"PID003"};
    QTest::newRow("id exact") << QStringList{"PatientID=PID004"} << QStringList{"PID004"};
    QTest::newRow("id ?") << QStringList{"PatientID=PID00?"} << all;
    QTest::newRow("id no match") << QStringList{"PatientID=PID0"} << QStringList();
    QTest::newRow("date single") << QStringList{sps("ScheduledProcedureStepStartDate=20250301")}
                                 << QStringList{"PID001", "PID002"};
    QTest::newRow("date range") << QStringList{sps(
                                       "ScheduledProcedureStepStartDate=20250301-20250302")}
                                << QStringList{"PID001", "PID002", "PID003"};
    QTest::newRow("date open start")
        << QStringList{sps("ScheduledProcedureStepStartDate=-20250302")}
        << QStringList{"PID001", "PID002", "PID003"};
    QTest::newRow("date open end") << QStringList{sps("ScheduledProcedureStepStartDate=20250302-")}
                                   << QStringList{"PID003", "PID004"};
    QTest::newRow("time range") << QStringList{sps("ScheduledProcedureStepStartDate=20250301"),
                                               sps("ScheduledProcedureStepStartTime=080000-120000")}
                                << QStringList{"PID001"};
    QTest::newRow("time short forms")
        << QStringList{sps("ScheduledProcedureStepStartTime=09-12")} << QStringList{"PID003"};
    QTest::newRow("time with fraction")
        << QStringList{sps("ScheduledProcedureStepStartTime=1700-170000")} << QStringList{"PID004"};
    QTest::newRow("modality") << QStringList{sps("Modality=MR")} << QStringList{"PID002"};
    QTest::newRow("station and date")
        << QStringList{sps("ScheduledStationAETitle=STATION*"),
                       sps("ScheduledProcedureStepStartDate=20250305")}
        << QStringList{"PID004"};
    QTest::newRow("uid list") << QStringList{"StudyInstanceUID=1.2.3.3\\1.2.3.1"}
                              << QStringList{"PID001", "PID003"};
}

void WlServerTest::matching()
{
    QFETCH(QStringList, keys);
    QFETCH(QStringList, expected);

    QTemporaryDir folder;
    QVERIFY(writeFixture(folder.path()));
    TestServer server;
    QVERIFY2(server.start(QStringLiteral("kelvara-wlserver"),
                          {QStringLiteral("--port"), QStringLiteral("%PORT%"),
                           QStringLiteral("--dir"), folder.path()}),
             qPrintable(server.output()));
    int exitCode = -1;
    QCOMPARE(ids(find(server.port(), keys, &exitCode)), expected);
    QCOMPARE(exitCode, 0);
}

void WlServerTest::characterSets_data()
{
    QTest::addColumn<QStringList>("serverArgs");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("charset");
    QTest::addColumn<QByteArray>("rawName");
    QTest::addColumn<QString>("name");

    const QStringList demo = {QStringLiteral("--demo"), QStringLiteral("4")};
    QTest::newRow("demo utf8") << (QStringList(demo) << "--charset"
                                                     << "utf8")
                               << "PatientName=Weiß*" << QByteArray("ISO_IR 192")
                               << QByteArray("Wei\xC3\x9F^Anna-Lena") << "Weiß^Anna-Lena";
    QTest::newRow("demo latin1") << (QStringList(demo) << "--charset"
                                                       << "latin1")
                                 << "PatientName=Weiß*" << QByteArray("ISO_IR 100")
                                 << QByteArray("Wei\xDF^Anna-Lena") << "Weiß^Anna-Lena";
    QTest::newRow("demo latin1, umlaut query")
        << (QStringList(demo) << "--charset"
                              << "latin1")
        << "PatientName=*jürgen" << QByteArray("ISO_IR 100") << QByteArray("M\xFCller^J\xFCrgen")
        << "Müller^Jürgen";
    QTest::newRow("demo utf8, outside Latin-1") << (QStringList(demo) << "--charset"
                                                                      << "utf8")
                                                << "PatientName=Öz*" << QByteArray("ISO_IR 192")
                                                << QByteArray("\xC3\x96zt\xC3\xBCrk^Ay\xC5\x9F"
                                                              "e")
                                                << "Öztürk^Ayşe";
    QTest::newRow("folder, Latin-1 file")
        << QStringList{"--dir", "%DIR%"} << "PatientID=PID003" << QByteArray("ISO_IR 100")
        << QByteArray("Wei\xDF^Anna-Lena") << "Weiß^Anna-Lena";
    QTest::newRow("folder, file without meta header")
        << QStringList{"--dir", "%DIR%"} << "PatientID=PID004" << QByteArray("ISO_IR 192")
        << QByteArray("Sch\xC3\xA4"
                      "fer^Bj\xC3\xB6rn")
        << "Schäfer^Björn";
    QTest::newRow("folder, no character set")
        << QStringList{"--dir", "%DIR%"} << "PatientID=PID002" << QByteArray()
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
    QVERIFY2(
        server.start(QStringLiteral("kelvara-wlserver"),
                     QStringList{QStringLiteral("--port"), QStringLiteral("%PORT%")} << serverArgs),
        qPrintable(server.output()));
    const QList<Response> responses = find(server.port(), {key});
    QCOMPARE(responses.size(), 1);
    QCOMPARE(responses.first().charset, charset);
    QCOMPARE(responses.first().rawName, rawName);
    QCOMPARE(responses.first().name, name);
}

void WlServerTest::removal_data()
{
    QTest::addColumn<QStringList>("storeOptions");
    QTest::addColumn<QByteArray>("removalAttributes");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<QString>("removedFile");

    const QByteArray marker = "(0019,0010) LO [REMOVE]\n";
    QTest::newRow("explicit VR") << QStringList() << (marker + "(0019,0030) LO [1.2.3.2]\n")
                                 << "REMOVE 1.2.3.2 from STORESCU: removed"
                                 << "e2.wl";
    QTest::newRow("implicit VR") << QStringList{"-xi"} << (marker + "(0019,0030) LO [1.2.3.3]\n")
                                 << "REMOVE 1.2.3.3 from STORESCU: removed"
                                 << "e3.dcm";
    QTest::newRow("file without meta header")
        << QStringList{"-xi"} << (marker + "(0019,0030) LO [1.2.3.4]\n")
        << "REMOVE 1.2.3.4 from STORESCU: removed"
        << "e4.wl";
    QTest::newRow("unknown key") << QStringList() << (marker + "(0019,0030) LO [9.9.9]\n")
                                 << "REMOVE 9.9.9 from STORESCU: not found" << QString();
    QTest::newRow("empty key") << QStringList() << (marker + "(0019,0030) LO []\n")
                               << "REMOVE  from STORESCU: not found" << QString();
    QTest::newRow("no marker") << QStringList() << QByteArray("(0019,0030) LO [1.2.3.1]\n")
                               << "C-STORE from STORESCU: no removal marker, refused" << QString();
}

void WlServerTest::removal()
{
    QFETCH(QStringList, storeOptions);
    QFETCH(QByteArray, removalAttributes);
    QFETCH(QString, logLine);
    QFETCH(QString, removedFile);

    QTemporaryDir folder;
    QVERIFY(writeFixture(folder.path()));
    QTemporaryDir work;
    const QString object = work.filePath(QStringLiteral("remove.dcm"));
    QVERIFY(writeDicom(object, "(0008,0016) UI =ComputedRadiographyImageStorage\n"
                               "(0008,0018) UI [2.25.4711]\n" +
                                   removalAttributes));
    TestServer server;
    QVERIFY2(server.start(QStringLiteral("kelvara-wlserver"),
                          {QStringLiteral("--port"), QStringLiteral("%PORT%"),
                           QStringLiteral("--dir"), folder.path()}),
             qPrintable(server.output()));

    const ToolResult store =
        runTool(QStringLiteral("storescu"),
                QStringList(storeOptions)
                    << QStringLiteral("-aec") << QStringLiteral("KELVARA_WL")
                    << QStringLiteral("127.0.0.1") << QString::number(server.port()) << object);
    QVERIFY2(server.waitForOutput(logLine), qPrintable(server.output()));
    Q_UNUSED(store);

    QStringList remaining = {"PID001", "PID002", "PID003", "PID004"};
    const QStringList files = {"e1.wl", "e2.wl", "e3.dcm", "e4.wl"};
    for (int i = 0; i < files.size(); ++i) {
        const bool exists = QFile::exists(folder.filePath(files[i]));
        QCOMPARE(exists, files[i] != removedFile);
        if (!exists)
            remaining.removeAt(i - (4 - remaining.size()));
    }
    QCOMPARE(ids(find(server.port(), {})), remaining);
}

void WlServerTest::association_data()
{
    QTest::addColumn<QString>("calledAe");
    QTest::addColumn<QString>("serverAe");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("logLine");

    QTest::newRow("default AE title") << "KELVARA_WL" << QString() << true << "C-ECHO from ECHOSCU";
    QTest::newRow("own AE title") << "WORKLIST"
                                  << "WORKLIST" << true << "C-ECHO from ECHOSCU";
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

    QStringList args = {QStringLiteral("--port"), QStringLiteral("%PORT%"),
                        QStringLiteral("--demo"), QStringLiteral("3")};
    if (!serverAe.isEmpty())
        args << QStringLiteral("--aet") << serverAe;
    TestServer server;
    QVERIFY2(server.start(QStringLiteral("kelvara-wlserver"), args), qPrintable(server.output()));
    const ToolResult echo = runTool(QStringLiteral("echoscu"),
                                    {QStringLiteral("-aec"), calledAe, QStringLiteral("127.0.0.1"),
                                     QString::number(server.port())});
    QCOMPARE(echo.exitCode == 0, accepted);
    QVERIFY2(server.waitForOutput(logLine), qPrintable(server.output()));
    // A rejected association leaves the server serving the next one.
    int exitCode = -1;
    QCOMPARE(
        find(server.port(), {}, &exitCode, serverAe.isEmpty() ? "KELVARA_WL" : serverAe).size(), 3);
    QCOMPARE(exitCode, 0);
}

QTEST_GUILESS_MAIN(WlServerTest)
#include "tst_wlserver.moc"
