// kelvara-wlserver driven by DCMTK's own clients (findscu, echoscu, storescu, dump2dcm).

#include "dicombytes.h"
#include "testserver.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

using namespace DicomBytes;

namespace {

// Runs one of DCMTK's tools and gives its exit code (-1 when it crashed or hung).
int runTool(const QString& name, const QStringList& arguments, QByteArray* output = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(TestServer::program(name), arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (output)
        *output = process.readAll();
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
        return {Response{QStringLiteral("FAILED"), {}, {}}};
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

const QByteArray kFind = "1.2.840.10008.5.1.4.31";
const QByteArray kStore = "1.2.840.10008.5.1.4.1.1.1";

// A DICOM client written byte by byte, for what DCMTK's tools cannot send: nesting that would
// crash them, a trickled association request, a query whose answers it never reads.
struct RawClient
{
    QTcpSocket socket;

    bool connect(quint16 port)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(5000);
    }
    static QByteArray associateRequest(const QByteArray& sopClass)
    {
        auto item = [](char type, const QByteArray& body) {
            return QByteArray(1, type) + '\0' + be(body.size(), 2) + body;
        };
        const QByteArray context =
            QByteArray("\x01\0\0\0", 4) + item(0x30, sopClass) + item(0x40, "1.2.840.10008.1.2");
        const QByteArray body = be(1, 2) + be(0, 2) + QByteArray("KELVARA_WL      ") +
                                QByteArray("RAWSCU          ") + QByteArray(32, '\0') +
                                item(0x10, "1.2.840.10008.3.1.1.1") + item(0x20, context) +
                                item(0x50, item(0x51, be(16384, 4)) + item(0x52, "1.2.3.4"));
        return QByteArray("\x01\0", 2) + be(body.size(), 4) + body;
    }
    // On the connection made, or first a new one to `port`.
    bool associate(const QByteArray& sopClass, quint16 port = 0)
    {
        if (port && !connect(port))
            return false;
        socket.write(associateRequest(sopClass));
        return readPdu().startsWith('\x02');
    }
    QByteArray readPdu()
    {
        while (socket.bytesAvailable() < 6 && socket.waitForReadyRead(10000)) {
        }
        const QByteArray header = socket.peek(6);
        if (header.size() < 6)
            return {};
        const qint64 length = qFromBigEndian<quint32>(header.constData() + 2) + 6;
        while (socket.bytesAvailable() < length && socket.waitForReadyRead(10000)) {
        }
        return socket.bytesAvailable() < length ? QByteArray() : socket.read(length);
    }
    // Sends a request (C-FIND or C-STORE, by the SOP class) with `data`, in PDUs of 16 KiB.
    void request(const QByteArray& sopClass, const QByteArray& data)
    {
        const bool store = sopClass == kStore;
        QByteArray command =
            element(0, 0x0002, sopClass) + element(0, 0x0100, le16(store ? 1 : 0x20)) +
            element(0, 0x0110, le16(1)) + element(0, 0x0700, le16(0)) + element(0, 0x0800, le16(0));
        if (store)
            command += element(0, 0x1000, "2.25.1");
        socket.write(pdataPdu(1, 0x03, element(0, 0, le32(command.size())) + command));
        for (qsizetype at = 0;
             at < data.size() && socket.state() == QAbstractSocket::ConnectedState; at += 16000) {
            socket.write(pdataPdu(1, at + 16000 >= data.size() ? 0x02 : 0x00, data.mid(at, 16000)));
            socket.waitForBytesWritten(5000);
        }
    }
    // The status (0000,0900) of the next response, or -1 when the connection ends first.
    int status()
    {
        for (QByteArray pdu = readPdu(); pdu.startsWith('\x04'); pdu = readPdu()) {
            if (!(pdu.at(11) & 0x01))
                continue; // a data set
            const int at = pdu.indexOf(QByteArray("\x00\x00\x00\x09\x02\x00\x00\x00", 8));
            if (at > 0)
                return qFromLittleEndian<quint16>(pdu.constData() + at + 8);
        }
        return -1;
    }
};

// Starts kelvara-wlserver on a free port with the given options.
bool startServer(TestServer& server, const QStringList& options)
{
    return server.start(QStringLiteral("kelvara-wlserver"),
                        QStringList{"--port", "%PORT%"} + options);
}

} // namespace

class WlServerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void matching_data();
    void matching();
    void characterSets_data();
    void characterSets();
    void removal_data();
    void removal();
    void hostileData_data();
    void hostileData();
    void slowClientsDoNotHoldUpOthers();
    void beyondTheLimitRefusedAtOnce();
    void association_data();
    void association();

private:
    // The four entries of writeFixture(), served for the tests that only read them.
    QTemporaryDir m_fixture;
    TestServer m_server;
};

void WlServerTest::initTestCase()
{
    QVERIFY(writeFixture(m_fixture.path()));
    QVERIFY(startServer(m_server, {"--dir", m_fixture.path()}));
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
    row("name: case ignored, ? one letter, * the rest", {"PatientName=m?LLER^*"}, {"PID001"});
    row("id is no prefix", {"PatientID=PID0"}, {});
    row("date range", {date + "20250301-20250302"}, {"PID001", "PID002", "PID003"});
    row("date open end", {date + "20250302-"}, {"PID003", "PID004"});
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
    QCOMPARE(ids(find(m_server.port(), keys)), expected);
}

// A response carries the entry's own character set and its name in it, whatever the query's.
void WlServerTest::characterSets_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("charset");
    QTest::addColumn<QByteArray>("rawName");
    QTest::newRow("UTF-8 file, umlaut query") << "PatientName=*jürgen" << QByteArray("ISO_IR 192")
                                              << QByteArray("M\xC3\xBCller^J\xC3\xBCrgen");
    QTest::newRow("Latin-1 file") << "PatientName=Weiß*" << QByteArray("ISO_IR 100")
                                  << QByteArray("Wei\xDF^Anna-Lena");
    QTest::newRow("no character set")
        << "PatientID=PID002" << QByteArray() << QByteArray("Mueller^Hans");
}

void WlServerTest::characterSets()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, charset);
    QFETCH(QByteArray, rawName);

    const QList<Response> responses = find(m_server.port(), {key});
    QCOMPARE(responses.size(), 1);
    QCOMPARE(responses.first().charset, charset);
    QCOMPARE(responses.first().rawName, rawName);
}

// A stored object marked REMOVE takes every entry with its Study Instance UID off, file and all;
// the answer says how many, or that none matched.
void WlServerTest::removal_data()
{
    QTest::addColumn<QStringList>("storeOptions");
    QTest::addColumn<QByteArray>("removalAttributes");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QStringList>("removedIds"); // their files are e<last digit of the id>.*

    const QByteArray marker = "(0019,0010) LO [REMOVE]\n";
    const QStringList explicitVr;
    const QString notFound = "0xc210";
    QTest::newRow("explicit VR") << explicitVr << marker + "(0019,0030) LO [1.2.3.3]\n"
                                 << "REMOVE 1.2.3.3 from STORESCU: 1 entry removed"
                                 << "1 entry removed" << QStringList{"PID003"};
    QTest::newRow("implicit VR, two entries share the key")
        << QStringList{"-xi"} << marker + "(0019,0030) LO [1.2.3.2]\n"
        << "REMOVE 1.2.3.2 from STORESCU: removed PID005"
        << "2 entries removed" << QStringList{"PID002", "PID005"};
    QTest::newRow("empty key") << explicitVr << marker + "(0019,0030) LO []\n"
                               << "REMOVE  from STORESCU: not found" << notFound << QStringList();
    QTest::newRow("long key with control characters")
        << explicitVr << marker + "(0019,0030) LO [\x1B[31m" + QByteArray(250, 'A') + "]\n"
        << "REMOVE \\x1B[31m" + QString(195, u'A') + "...[cut, 255 bytes] from STORESCU: not found"
        << notFound << QStringList();
    QTest::newRow("no marker") << explicitVr << QByteArray("(0019,0030) LO [1.2.3.1]\n")
                               << "C-STORE from STORESCU: no removal marker, refused"
                               << "0xc000" << QStringList();
}

void WlServerTest::removal()
{
    QFETCH(QStringList, storeOptions);
    QFETCH(QByteArray, removalAttributes);
    QFETCH(QString, logLine);
    QFETCH(QString, answer);
    QFETCH(QStringList, removedIds);

    QTemporaryDir folder;
    QVERIFY(writeFixture(folder.path()));
    QVERIFY(writeDicom(folder.filePath("e5.wl"), entryDump("", "Zweiter^Patient", "PID005",
                                                           "20250301", "140000", "1.2.3.2")));
    QTemporaryDir work;
    const QString object = work.filePath(QStringLiteral("remove.dcm"));
    QVERIFY(writeDicom(object, "(0008,0016) UI =ComputedRadiographyImageStorage\n"
                               "(0008,0018) UI [2.25.4711]\n" +
                                   removalAttributes));
    TestServer server;
    QVERIFY(startServer(server, QStringList{"--dir", folder.path()}));
    QByteArray output;
    runTool(QStringLiteral("storescu"),
            QStringList(storeOptions) << "-d"
                                      << "-aec"
                                      << "KELVARA_WL"
                                      << "127.0.0.1" << QString::number(server.port()) << object,
            &output);
    QVERIFY2(output.contains(answer.toLatin1()), output.constData());
    QVERIFY2(server.waitForOutput(logLine), qPrintable(server.output()));

    QStringList remaining = {"PID001", "PID002", "PID003", "PID004", "PID005"};
    for (const QString& id : removedIds)
        remaining.removeOne(id);
    QCOMPARE(ids(find(server.port(), {})), remaining);
    const QStringList files = QDir(folder.path()).entryList({"e*"}, QDir::Files, QDir::Name);
    QCOMPARE(files.size(), remaining.size());
    for (const QString& id : remaining)
        QVERIFY(files.filter(QStringLiteral("e") + id.back()).size() == 1);
}

// Data no worklist request holds: too large, or nested deeper than DCMTK's recursive reader can
// take, from a query, a removal or a file. Each is refused and the server serves on.
void WlServerTest::hostileData_data()
{
    QTest::addColumn<QByteArray>("sopClass"); // empty: put the data in a file of the folder
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("status"); // -1: the association is cut
    QTest::addColumn<QString>("logLine");

    const QString items = "more than 4096 sequence items";
    const QString deep = "sequences nested deeper than 32 levels";
    QTest::newRow("query nested 10,000 deep") << kFind << nested(10000) << 0xC000 << items;
    QTest::newRow("query nested 40 deep") << kFind << nested(40) << 0xC000 << deep;
    QTest::newRow("removal nested 10,000 deep") << kStore << nested(10000) << 0xC000 << items;
    QTest::newRow("file nested 40 deep") << QByteArray() << nested(40) << 0 << deep;
    QTest::newRow("query of 2 MiB") << kFind << element(0x0010, 0x0010, QByteArray(2 << 20, 'A'))
                                    << -1 << "request larger than 1048576 bytes";
    QTest::newRow("removal of 2 MiB") << kStore << element(0x0019, 0x0030, QByteArray(2 << 20, '1'))
                                      << -1 << "request larger than 1048576 bytes";
}

void WlServerTest::hostileData()
{
    QFETCH(QByteArray, sopClass);
    QFETCH(QByteArray, data);
    QFETCH(int, status);
    QFETCH(QString, logLine);

    QTemporaryDir folder;
    QVERIFY(writeFixture(folder.path()));
    if (sopClass.isEmpty()) {
        QFile file(folder.filePath(QStringLiteral("deep.wl")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(data) == data.size());
    }
    TestServer server;
    QVERIFY(startServer(server, QStringList{"--dir", folder.path()}));
    if (!sopClass.isEmpty()) {
        RawClient client;
        QVERIFY(client.connect(server.port()) && client.associate(sopClass));
        client.request(sopClass, data);
        QCOMPARE(client.status(), status);
    }
    QVERIFY2(server.waitForOutput(logLine), qPrintable(server.output()));
    QCOMPARE(ids(find(server.port(), {})), (QStringList{"PID001", "PID002", "PID003", "PID004"}));
}

// Clients that hold their connection do not hold up the next one: it is answered while they
// are still connected, and they are cut at the association's deadline.
void WlServerTest::slowClientsDoNotHoldUpOthers()
{
    TestServer server;
    QVERIFY(startServer(server, {"--demo", "50000", "--association-deadline", "2"}));
    RawClient idle, trickling, notReading;
    QVERIFY(idle.connect(server.port()) && trickling.connect(server.port()) &&
            notReading.connect(server.port()));
    QVERIFY(notReading.associate(kFind));
    notReading.request(kFind, element(0x0010, 0x0020, "")); // 50,000 answers, never read
    trickling.socket.write(RawClient::associateRequest(kFind).left(5)); // then nothing more
    QVERIFY(trickling.socket.waitForBytesWritten(1000));
    QCOMPARE(runTool(QStringLiteral("echoscu"),
                     {"-aec", "KELVARA_WL", "127.0.0.1", QString::number(server.port())}),
             0);
    for (RawClient* client : {&idle, &trickling, &notReading}) {
        QCOMPARE(client->socket.state(), QAbstractSocket::ConnectedState);
        QVERIFY(client->socket.waitForDisconnected(5000));
    }
    QTRY_COMPARE(server.output().count("aborted: deadline of 2 s passed"), 3);
}

void WlServerTest::beyondTheLimitRefusedAtOnce()
{
    TestServer server;
    QVERIFY(startServer(server, {"--demo", "3", "--max-associations", "1"}));
    RawClient client;
    // Until the server saw the port probes of startServer() end, it may count them.
    for (int attempt = 0; attempt < 50 && !client.associate(kFind, server.port()); ++attempt)
        client.socket.abort();
    QByteArray output;
    QVERIFY(runTool(QStringLiteral("echoscu"),
                    {"-aec", "KELVARA_WL", "127.0.0.1", QString::number(server.port())},
                    &output) != 0);
    QVERIFY2(output.contains("Local Limit Exceeded"), output.constData());
    QVERIFY(server.waitForOutput("connection from 127.0.0.1 refused: 1 associations are being "
                                 "served"));
}

// Only the server's own AE title, exactly, is accepted; a rejected association leaves the server
// serving the next one.
void WlServerTest::association_data()
{
    QTest::addColumn<QString>("calledAe");
    QTest::addColumn<QString>("logLine");
    const QString rejected = "association from ECHOSCU (127.0.0.1) rejected: called AE title ";
    QTest::newRow("case matters") << "kelvara_wl" << rejected + "\"kelvara_wl\"";
    QTest::newRow("control characters escaped")
        << "X\x1B[2J\nFORGED" << rejected + "\"X\\x1B[2J\\x0AFORGED\"";
}

void WlServerTest::association()
{
    QFETCH(QString, calledAe);
    QFETCH(QString, logLine);

    QVERIFY(runTool(QStringLiteral("echoscu"),
                    {"-aec", calledAe, "127.0.0.1", QString::number(m_server.port())}) != 0);
    QVERIFY2(m_server.waitForOutput(logLine), qPrintable(m_server.output()));
    QCOMPARE(ids(find(m_server.port(), {})).size(), 4);
}

QTEST_GUILESS_MAIN(WlServerTest)
#include "tst_wlserver.moc"
