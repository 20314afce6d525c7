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
    const bool ended = process.waitForFinished(60000); // a hang is killed with the QProcess
    if (output)
        *output = process.readAll();
    return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
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
    dump += "(0008,0050) SH [ACC@1]\n(0010,0010) PN [@0]\n(0010,0020) LO [@1]\n"
            "(0010,0030) DA [19700101]\n(0020,000d) UI [@4]\n(0032,1060) LO [Untersuchung]\n"
            "(0040,0100) SQ (Sequence with undefined length)\n"
            "  (fffe,e000) na (Item with undefined length)\n"
            "    (0008,0060) CS [CR]\n    (0040,0001) AE [STATION1]\n"
            "    (0040,0002) DA [@2]\n    (0040,0003) TM [@3]\n    (0040,0007) LO [Schritt]\n"
            "  (fffe,e00d) na (ItemDelimitationItem)\n"
            "(fffe,e0dd) na (SequenceDelimitationItem)\n";
    const QByteArrayList values{name, id, date, time, uid};
    for (qsizetype i = 0; i < values.size(); ++i)
        dump.replace("@" + QByteArray::number(i), values[i]);
    return dump;
}

// Four entries: UTF-8, plain ASCII, Latin-1 and one file without meta header.
bool writeFixture(const QString& folder)
{
    const QList<QByteArrayList> entries{
        {"e1.wl", "ISO_IR 192", "M\xC3\xBCller^J\xC3\xBCrgen", "1", "20250301", "081500"},
        {"e2.wl", "", "Mueller^Hans", "2", "20250301", "133000"},
        {"e3.dcm", "ISO_IR 100", "Wei\xDF^Anna-Lena", "3", "20250302", "0900"},
        {"e4.wl", "ISO_IR 192",
         "Sch\xC3\xA4"
         "fer^Bj\xC3\xB6rn",
         "4", "20250305", "170000.25"}};
    for (const QByteArrayList& e : entries) {
        if (!writeDicom(folder + '/' + e[0],
                        entryDump(e[1], e[2], "PID00" + e[3], e[4], e[5], "1.2.3." + e[3]),
                        e[3] == "4" ? QStringList{"-F"} : QStringList()))
            return false;
    }
    return true;
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
    for (const QString& key :
         QStringList{"SpecificCharacterSet", "PatientName", "PatientID"} + keys)
        args << "-k" << key; // a later key overrides an earlier one
    if (runTool(QStringLiteral("findscu"), args << "127.0.0.1" << QString::number(port)) != 0)
        return {Response{QStringLiteral("FAILED"), {}, {}}};
    QList<Response> responses;
    const QDir dir(out.path());
    for (const QString& file : dir.entryList({QStringLiteral("rsp*.dcm")}, QDir::Files)) {
        DcmFileFormat format;
        if (format.loadFile(dir.filePath(file).toLocal8Bit().constData()).bad())
            continue;
        DcmDataset& data = *format.getDataset();
        OFString id, charset;
        const char* raw = nullptr;
        Uint32 length = 0;
        data.findAndGetOFString(DCM_PatientID, id);
        data.findAndGetOFStringArray(DCM_SpecificCharacterSet, charset);
        data.findAndGetString(DCM_PatientName, raw, length);
        responses << Response{QString::fromLatin1(id.c_str()), charset.c_str(),
                              QByteArray(raw, raw ? int(length) : 0).trimmed()};
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

// kelvara-wlserver on a free port serving `folder`.
bool serve(TestServer& server, const QString& folder)
{
    return server.start(QStringLiteral("kelvara-wlserver"), {"--port", "%PORT%", "--dir", folder});
}

int echo(quint16 port, const QString& calledAe = "KELVARA_WL", QByteArray* output = nullptr)
{
    return runTool(QStringLiteral("echoscu"),
                   {"-aec", calledAe, "127.0.0.1", QString::number(port)}, output);
}

} // namespace

class WlServerTest : public QObject
{
    Q_OBJECT

    // The four entries of writeFixture(), served for the tests that only read them.
    QTemporaryDir m_fixture;
    TestServer m_server;

private slots:
    void initTestCase()
    {
        QVERIFY(writeFixture(m_fixture.path()));
        QVERIFY(serve(m_server, m_fixture.path()));
    }

    // A response carries the entry's own character set and its name in it, whatever the
    // query's: `raw` gives them for the one match.
    void matching_data()
    {
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QByteArray>("raw");
        const auto row = [](const char* name, const QStringList& keys, const QStringList& ids,
                            const QByteArray& raw = {}) {
            QTest::newRow(name) << keys << ids << raw;
        };
        const QString step = "ScheduledProcedureStepSequence[0].";
        const QString date = step + "ScheduledProcedureStepStartDate=";
        const QString time = step + "ScheduledProcedureStepStartTime=";
        row("name: case ignored, ? one letter, * the rest", {"PatientName=m?LLER^*"}, {"PID001"});
        row("id is no prefix", {"PatientID=PID0"}, {});
        row("date range", {date + "20250301-20250302"}, {"PID001", "PID002", "PID003"});
        row("date open end", {date + "20250302-"}, {"PID003", "PID004"});
        row("time short forms", {time + "09-12"}, {"PID003"});
        row("time with fraction", {time + "1700-170000"}, {"PID004"});
        row("sequence item: station and date",
            {step + "ScheduledStationAETitle=STATION*", date + "20250305"}, {"PID004"});
        row("uid list", {"StudyInstanceUID=1.2.3.3\\1.2.3.1"}, {"PID001", "PID003"});
        row("UTF-8 file, umlaut query", {"PatientName=*jürgen"}, {"PID001"},
            "ISO_IR 192|M\xC3\xBCller^J\xC3\xBCrgen");
        row("Latin-1 file", {"PatientName=Weiß*"}, {"PID003"}, "ISO_IR 100|Wei\xDF^Anna-Lena");
        row("no character set", {"PatientID=PID002"}, {"PID002"}, "|Mueller^Hans");
    }

    void matching()
    {
        QFETCH(QStringList, keys);
        QFETCH(QByteArray, raw);
        const QList<Response> responses = find(m_server.port(), keys);
        QTEST(ids(responses), "expected");
        if (!raw.isEmpty())
            QCOMPARE(responses.first().charset + '|' + responses.first().rawName, raw);
    }

    // A stored object marked REMOVE takes every entry with its Study Instance UID off, file and
    // all; the answer says how many, or that none matched.
    void removal_data()
    {
        QTest::addColumn<QStringList>("storeOptions");
        QTest::addColumn<QByteArray>("removalAttributes");
        QTest::addColumn<QString>("logLine");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QStringList>("removedIds"); // their files are e<last digit of the id>.*

        const QByteArray marker = "(0019,0010) LO [REMOVE]\n(0019,0030) LO ";
        QTest::newRow("explicit VR") << QStringList() << marker + "[1.2.3.3]\n"
                                     << "REMOVE 1.2.3.3 from STORESCU: 1 entry removed"
                                     << "1 entry removed" << QStringList{"PID003"};
        QTest::newRow("implicit VR, two entries share the key")
            << QStringList{"-xi"} << marker + "[1.2.3.2]\n"
            << "REMOVE 1.2.3.2 from STORESCU: removed PID005"
            << "2 entries removed" << QStringList{"PID002", "PID005"};
        QTest::newRow("empty key") << QStringList() << marker + "[]\n"
                                   << "REMOVE  from STORESCU: not found"
                                   << "0xc210" << QStringList();
        QTest::newRow("long key with control characters")
            << QStringList() << marker + "[\x1B[31m" + QByteArray(250, 'A') + "]\n"
            << "REMOVE \\x1B[31m" + QString(195, u'A') +
                   "...[cut, 255 bytes] from STORESCU: not found"
            << "0xc210" << QStringList();
        QTest::newRow("no marker") << QStringList() << QByteArray("(0019,0030) LO [1.2.3.1]\n")
                                   << "C-STORE from STORESCU: no removal marker, refused"
                                   << "0xc000" << QStringList();
    }

    void removal()
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
        QVERIFY(serve(server, folder.path()));
        QByteArray output;
        runTool(QStringLiteral("storescu"),
                storeOptions + QStringList{"-d", "-aec", "KELVARA_WL", "127.0.0.1",
                                           QString::number(server.port()), object},
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
            QCOMPARE(files.filter(QStringLiteral("e") + id.back()).size(), 1);
    }

    // Data no worklist request holds: too large, or nested deeper than DCMTK's recursive reader
    // can take, from a query, a removal or a file. Each is refused and the server serves on.
    void hostileData_data()
    {
        QTest::addColumn<QByteArray>("sopClass"); // empty: put the data in a file of the folder
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("status"); // -1: the association is cut
        QTest::addColumn<QString>("logLine");

        // The request's size is checked, and its data set read, alike for queries and removals.
        const QString deep = "sequences nested deeper than 32 levels";
        QTest::newRow("query nested 10,000 deep")
            << kFind << nested(10000) << 0xC000 << "more than 4096 sequence items";
        QTest::newRow("removal nested 40 deep") << kStore << nested(40) << 0xC000 << deep;
        QTest::newRow("file nested 40 deep") << QByteArray() << nested(40) << 0 << deep;
        QTest::newRow("query of 2 MiB")
            << kFind << element(0x0010, 0x0010, QByteArray(2 << 20, 'A')) << -1
            << "request larger than 1048576 bytes";
    }

    void hostileData()
    {
        QFETCH(QByteArray, sopClass);
        QFETCH(QByteArray, data);
        QFETCH(QString, logLine);

        QTemporaryDir folder;
        QVERIFY(writeFixture(folder.path()));
        if (sopClass.isEmpty())
            QVERIFY(TestServer::writeFile(folder.filePath(QStringLiteral("deep.wl")), data));
        TestServer server;
        QVERIFY(serve(server, folder.path()));
        if (!sopClass.isEmpty()) {
            RawClient client;
            QVERIFY(client.associate(sopClass, server.port()));
            client.request(sopClass, data);
            QTEST(client.status(), "status");
        }
        QVERIFY2(server.waitForOutput(logLine), qPrintable(server.output()));
        QCOMPARE(ids(find(server.port(), {})).size(), 4);
    }

    // Clients that hold their connection do not hold up the next one: it is answered while they
    // are still connected, and they are cut at the association's deadline. One beyond the limit
    // is refused at once.
    void slowClientsAndTheLimit()
    {
        TestServer server;
        QVERIFY(
            server.startDemo(50000, {"--association-deadline", "2", "--max-associations", "4"}));
        RawClient idle, trickling, notReading, answered;
        QVERIFY(idle.connect(server.port()) && trickling.connect(server.port()));
        QVERIFY(notReading.associate(kFind, server.port()));
        notReading.request(kFind, element(0x0010, 0x0020, "")); // 50,000 answers, never read
        trickling.socket.write(RawClient::associateRequest(kFind).left(5)); // then nothing more
        QVERIFY(trickling.socket.waitForBytesWritten(1000));
        // Until the server saw the port probes of start() end, it may count them.
        for (int attempt = 0; attempt < 50 && !answered.associate(kFind, server.port()); ++attempt)
            answered.socket.abort();
        QByteArray output;
        QVERIFY(echo(server.port(), "KELVARA_WL", &output) != 0);
        QVERIFY2(output.contains("Local Limit Exceeded"), output.constData());
        for (RawClient* client : {&idle, &trickling, &notReading, &answered}) {
            QCOMPARE(client->socket.state(), QAbstractSocket::ConnectedState);
            QVERIFY(client->socket.waitForDisconnected(5000));
        }
        QVERIFY(server.waitForOutput("from 127.0.0.1 refused: 4 associations are being served"));
        QTRY_COMPARE(server.output().count("aborted: deadline of 2 s passed"), 4);
    }

    // Only the server's own AE title, exactly, is accepted; a rejected association leaves the
    // server serving the next one.
    void association_data()
    {
        QTest::addColumn<QString>("calledAe");
        QTest::addColumn<QString>("logLine");
        const QString rejected = "association from ECHOSCU (127.0.0.1) rejected: called AE title ";
        QTest::newRow("case matters") << "kelvara_wl" << rejected + "\"kelvara_wl\"";
        QTest::newRow("control characters escaped")
            << "X\x1B[2J\nFORGED" << rejected + "\"X\\x1B[2J\\x0AFORGED\"";
    }

    void association()
    {
        QFETCH(QString, calledAe);
        QFETCH(QString, logLine);
        QVERIFY(echo(m_server.port(), calledAe) != 0);
        QVERIFY2(m_server.waitForOutput(logLine), qPrintable(m_server.output()));
        QCOMPARE(ids(find(m_server.port(), {})).size(), 4);
    }
};

QTEST_GUILESS_MAIN(WlServerTest)
#include "tst_wlserver.moc"
