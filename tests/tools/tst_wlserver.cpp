// kelvara-wlserver driven by DCMTK's own clients (findscu, echoscu, storescu, dump2dcm, DcmSCU),
// openssl s_client and raw sockets.

#include "dicombytes.h"
#include "testserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/scu.h>
#include <dcmtk/oflog/oflog.h>

#include <arpa/inet.h>
#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

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

// Writes a DICOM file from dcmdump-style text.
bool writeDicom(const QString& path, const QByteArray& dump)
{
    QFile text(path + ".txt");
    const bool written = text.open(QIODevice::WriteOnly) && text.write(dump) == dump.size() &&
                         text.flush() &&
                         runTool(QStringLiteral("dump2dcm"), {text.fileName(), path}) == 0;
    text.remove();
    return written;
}

// Five steps: SPS1 to SPS4 of four studies, and SPS5 as a second step of the study of SPS2 (a
// --dir worklist shows two steps of one study as two files with one Study Instance UID).
bool writeFixture(const QString& folder)
{
    const QList<QByteArrayList> steps{{"1", "1", "20250301", "CT", "CT_RAUM2"},
                                      {"2", "2", "20250301", "MR", "MR_RAUM3"},
                                      {"3", "3", "20250302", "CT", "CT_RAUM1"},
                                      {"4", "4", "20250305", "CR", "CR_RAUM1"},
                                      {"5", "2", "20250301", "CT", "CT_RAUM2"}};
    for (const QByteArrayList& s : steps) {
        const QByteArray dump =
            "(0010,0010) PN [Patient^" + s[1] + "]\n(0010,0020) LO [PID00" + s[1] +
            "]\n(0020,000d) UI [1.2.3." + s[1] +
            "]\n(0040,0100) SQ (Sequence with undefined length)\n"
            "  (fffe,e000) na (Item with undefined length)\n    (0008,0060) CS [" +
            s[3] + "]\n    (0040,0001) AE [" + s[4] + "]\n    (0040,0002) DA [" + s[2] +
            "]\n    (0040,0009) SH [SPS" + s[0] +
            "]\n  (fffe,e00d) na (ItemDelimitationItem)\n"
            "(fffe,e0dd) na (SequenceDelimitationItem)\n";
        if (!writeDicom(folder + "/e" + s[0] + ".wl", dump))
            return false;
    }
    return true;
}

const QStringList kAllSteps{"SPS1", "SPS2", "SPS3", "SPS4", "SPS5"};

// Runs findscu with the given keys (plus `options`, e.g. for TLS) and gives the Scheduled
// Procedure Step IDs it received, sorted, or {"FAILED"} with its output.
QStringList find(quint16 port, const QStringList& keys = {}, const QStringList& options = {},
                 QByteArray* output = nullptr)
{
    QTemporaryDir out;
    QStringList args = options + QStringList{"-W", "-aec", "KELVARA_WL", "-X", "-od", out.path()};
    for (const QString& key : QStringList{"PatientID"} + keys)
        args << "-k" << key;
    if (runTool(QStringLiteral("findscu"), args << "127.0.0.1" << QString::number(port), output) !=
        0)
        return {QStringLiteral("FAILED")};
    QStringList steps;
    const QDir dir(out.path());
    for (const QString& file : dir.entryList({QStringLiteral("rsp*.dcm")}, QDir::Files)) {
        DcmFileFormat format;
        DcmItem* step = nullptr;
        OFString id;
        if (format.loadFile(dir.filePath(file).toLocal8Bit().constData()).good() &&
            format.getDataset()
                ->findAndGetSequenceItem(DCM_ScheduledProcedureStepSequence, step)
                .good())
            step->findAndGetOFString(DCM_ScheduledProcedureStepID, id);
        steps << QString::fromLatin1(id.c_str());
    }
    steps.sort();
    return steps;
}

bool serve(TestServer& server, const QString& folder, const QStringList& options = {})
{
    return server.start(QStringLiteral("kelvara-wlserver"),
                        QStringList{"--port", "%PORT%", "--dir", folder} + options);
}

const QByteArray kFind = "1.2.840.10008.5.1.4.31";
const QByteArray kStore = "1.2.840.10008.5.1.4.1.1.1";

// A DICOM client written byte by byte, for what DCMTK's tools cannot send: nesting that would
// crash them, an association request that stops after its first bytes.
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
    bool associate(const QByteArray& sopClass, quint16 port)
    {
        if (!connect(port))
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

// A Modality Performed Procedure Step client on DCMTK's DcmSCU, which has no N-CREATE or N-SET
// of its own in this version.
class MppsClient final : public DcmSCU
{
public:
    bool connect(quint16 port)
    {
        setPeerHostName("127.0.0.1");
        setPeerPort(port);
        setPeerAETitle("KELVARA_WL");
        setAETitle("MPPSSCU");
        addPresentationContext(UID_ModalityPerformedProcedureStepSOPClass,
                               {UID_LittleEndianExplicitTransferSyntax});
        return initNetwork().good() && negotiateAssociation().good();
    }
    // The response's status, or -1 when the exchange failed.
    int send(bool create, const QString& uid, const QString& status, const QStringList& steps)
    {
        DcmDataset data;
        data.putAndInsertString(DCM_PerformedProcedureStepStatus, status.toLatin1().constData());
        for (int i = 0; i + 1 < steps.size(); i += 2) {
            DcmItem* item = nullptr;
            data.findOrCreateSequenceItem(DCM_ScheduledStepAttributesSequence, item, -2);
            item->putAndInsertString(DCM_StudyInstanceUID, steps[i].toLatin1().constData());
            item->putAndInsertString(DCM_ScheduledProcedureStepID,
                                     steps[i + 1].toLatin1().constData());
        }
        T_DIMSE_Message request{};
        const QByteArray instance = uid.toLatin1();
        if (create) {
            request.CommandField = DIMSE_N_CREATE_RQ;
            T_DIMSE_N_CreateRQ& rq = request.msg.NCreateRQ;
            rq.MessageID = ++m_messageId;
            qstrcpy(rq.AffectedSOPClassUID, UID_ModalityPerformedProcedureStepSOPClass);
            qstrcpy(rq.AffectedSOPInstanceUID, instance.constData());
            rq.DataSetType = DIMSE_DATASET_PRESENT;
            rq.opts = O_NCREATE_AFFECTEDSOPINSTANCEUID;
        } else {
            request.CommandField = DIMSE_N_SET_RQ;
            T_DIMSE_N_SetRQ& rq = request.msg.NSetRQ;
            rq.MessageID = ++m_messageId;
            qstrcpy(rq.RequestedSOPClassUID, UID_ModalityPerformedProcedureStepSOPClass);
            qstrcpy(rq.RequestedSOPInstanceUID, instance.constData());
            rq.DataSetType = DIMSE_DATASET_PRESENT;
        }
        T_ASC_PresentationContextID context =
            findAnyPresentationContextID(UID_ModalityPerformedProcedureStepSOPClass, "");
        T_DIMSE_Message response{};
        DcmDataset* detail = nullptr;
        if (sendDIMSEMessage(context, &request, &data).bad() ||
            receiveDIMSECommand(&context, &response, &detail).bad())
            return -1;
        delete detail;
        return create ? response.msg.NCreateRSP.DimseStatus : response.msg.NSetRSP.DimseStatus;
    }

private:
    Uint16 m_messageId = 0;
};

// Certificates made for this run in `dir`: a CA, a server and a client certificate from it, and a
// rogue self-signed certificate.
bool makePki(const QString& dir)
{
    const auto openssl = [](const QString& arguments) {
        return runTool(QStringLiteral("openssl"), (arguments + " -days 2").split(u' ')) == 0;
    };
    const auto leaf = [&](const QString& name) {
        return openssl(QStringLiteral("req -newkey rsa:2048 -nodes -keyout %1/%2.key -out "
                                      "%1/%2.csr -subj /CN=%2")
                           .arg(dir, name)) &&
               openssl(QStringLiteral("x509 -req -in %1/%2.csr -CA %1/ca.pem -CAkey %1/ca.key "
                                      "-CAcreateserial -out %1/%2.pem")
                           .arg(dir, name));
    };
    const auto root = [&](const QString& name) {
        return openssl(QStringLiteral("req -x509 -newkey rsa:2048 -nodes -keyout %1/%2.key -out "
                                      "%1/%2.pem -subj /CN=%2")
                           .arg(dir, name));
    };
    return root("ca") && root("rogue") && leaf("server") && leaf("client");
}

} // namespace

class WlServerTest : public QObject
{
    Q_OBJECT

    // The five steps of writeFixture(), served for the tests that only read them.
    QTemporaryDir m_fixture;
    QTemporaryDir m_pki;
    TestServer m_server;

    QStringList tlsServer() const
    {
        return {"--tls-cert", m_pki.filePath("server.pem"),
                "--tls-key",  m_pki.filePath("server.key"),
                "--tls-ca",   m_pki.filePath("ca.pem")};
    }
    QStringList tlsClient(const QString& name = QStringLiteral("client")) const
    {
        return {"+tls", m_pki.filePath(name + ".key"), m_pki.filePath(name + ".pem"), "+cf",
                m_pki.filePath("ca.pem")};
    }

private slots:
    void initTestCase()
    {
        OFLog::configure(OFLogger::WARN_LOG_LEVEL);
        QVERIFY(writeFixture(m_fixture.path()));
        QVERIFY(makePki(m_pki.path()));
        QVERIFY(serve(m_server, m_fixture.path()));
    }

    // The first Scheduled Procedure Step item of the query is matched: its date (or range),
    // station AE title and modality; an empty value matches all.
    void matching_data()
    {
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QStringList>("expected");
        const QString step = "ScheduledProcedureStepSequence[0].";
        const QString date = step + "ScheduledProcedureStepStartDate=";
        const QString station = step + "ScheduledStationAETitle=";
        const QString modality = step + "Modality=";
        QTest::newRow("empty keys: all, two steps of one study among them")
            << QStringList{date, station, modality} << kAllSteps;
        QTest::newRow("date") << QStringList{date + "20250301"}
                              << QStringList{"SPS1", "SPS2", "SPS5"};
        QTest::newRow("date range")
            << QStringList{date + "20250302-20250305"} << QStringList{"SPS3", "SPS4"};
        QTest::newRow("station") << QStringList{station + "CT_RAUM2"}
                                 << QStringList{"SPS1", "SPS5"};
        QTest::newRow("station with wildcards")
            << QStringList{station + "?R_RAUM*"} << QStringList{"SPS2", "SPS4"};
        QTest::newRow("modality") << QStringList{modality + "CT"}
                                  << QStringList{"SPS1", "SPS3", "SPS5"};
        QTest::newRow("modality and station")
            << QStringList{modality + "CT", station + "CT_RAUM1"} << QStringList{"SPS3"};
        QTest::newRow("modality is matched exactly")
            << QStringList{modality + "C"} << QStringList();
    }

    void matching()
    {
        QFETCH(QStringList, keys);
        QTEST(find(m_server.port(), keys), "expected");
    }

    // A stored object marked REMOVE takes every step of its study off, files and all; the answer
    // says how many, or that none matched.
    void removal_data()
    {
        QTest::addColumn<QStringList>("storeOptions");
        QTest::addColumn<QByteArray>("removalAttributes");
        QTest::addColumn<QString>("logLine");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QStringList>("removed");

        const QByteArray marker = "(0019,0010) LO [REMOVE]\n(0019,0030) LO ";
        QTest::newRow("explicit VR")
            << QStringList() << marker + "[1.2.3.3]\n"
            << "REMOVE 1.2.3.3 from STORESCU: 1 entry removed (1.2.3.3/SPS3)"
            << "1 entry removed" << QStringList{"SPS3"};
        QTest::newRow("implicit VR, both steps of the study")
            << QStringList{"-xi"} << marker + "[1.2.3.2]\n"
            << "REMOVE 1.2.3.2 from STORESCU: 2 entries removed (1.2.3.2/SPS2, 1.2.3.2/SPS5)"
            << "2 entries removed" << QStringList{"SPS2", "SPS5"};
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
        QFETCH(QStringList, removed);

        QTemporaryDir folder, work;
        QVERIFY(writeFixture(folder.path()));
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

        QStringList remaining = kAllSteps;
        for (const QString& step : removed)
            remaining.removeOne(step);
        QCOMPARE(find(server.port()), remaining);
        QStringList files; // e<n>.wl holds SPS<n>
        for (const QString& file : QDir(folder.path()).entryList({"e*"}, QDir::Files, QDir::Name))
            files << "SPS" + file.mid(1, 1);
        QCOMPARE(files, remaining);
    }

    // A performed procedure step that ends takes the scheduled step it names off the list, only
    // that step (or the whole study when the item has no step ID). What may not happen is
    // refused with the status a modality expects, and every data set received is kept.
    void mpps_data()
    {
        QTest::addColumn<QStringList>("requests"); // "create UID STATUS" or "set UID STATUS"
        QTest::addColumn<QList<int>>("statuses");
        QTest::addColumn<QStringList>("removed");
        QTest::addColumn<QString>("logLine");

        const QString create = "create 2.25.77 IN PROGRESS", set = "set 2.25.77 ";
        QTest::newRow("COMPLETED removes the step, not its study")
            << QStringList{create, set + "COMPLETED"} << QList<int>{0, 0} << QStringList{"SPS2"}
            << "MPPS N-SET 2.25.77 from MPPSSCU: COMPLETED, removed 1.2.3.2/SPS2";
        QTest::newRow("DISCONTINUED removes it")
            << QStringList{create, set + "DISCONTINUED"} << QList<int>{0, 0} << QStringList{"SPS2"}
            << "MPPS N-SET 2.25.77 from MPPSSCU: DISCONTINUED, removed 1.2.3.2/SPS2";
        QTest::newRow("still in progress: nothing removed")
            << QStringList{create, set + "IN PROGRESS"} << QList<int>{0, 0} << QStringList()
            << "MPPS N-SET 2.25.77 from MPPSSCU: IN PROGRESS";
        QTest::newRow("no step ID: the whole study")
            << QStringList{"create 2.25.77 IN PROGRESS nostep", set + "COMPLETED"}
            << QList<int>{0, 0} << QStringList{"SPS2", "SPS5"}
            << "removed 1.2.3.2/SPS2, 1.2.3.2/SPS5";
        QTest::newRow("N-SET of an unknown instance refused")
            << QStringList{set + "COMPLETED"} << QList<int>{0x0112} << QStringList()
            << "MPPS N-SET 2.25.77 from MPPSSCU: refused, no such instance";
        QTest::newRow("N-SET after the final status refused")
            << QStringList{create, set + "COMPLETED", set + "IN PROGRESS"}
            << QList<int>{0, 0, 0x0110} << QStringList{"SPS2"}
            << "MPPS N-SET 2.25.77 from MPPSSCU: refused, already final";
        QTest::newRow("N-CREATE of an existing instance refused")
            << QStringList{create, create} << QList<int>{0, 0x0111} << QStringList()
            << "MPPS N-CREATE 2.25.77 from MPPSSCU: refused, instance exists";
    }

    void mpps()
    {
        QFETCH(QStringList, requests);
        QFETCH(QList<int>, statuses);
        QFETCH(QStringList, removed);
        QFETCH(QString, logLine);

        QTemporaryDir folder, kept;
        QVERIFY(writeFixture(folder.path()));
        TestServer server;
        QVERIFY(serve(server, folder.path(), {"--mpps-dir", kept.path()}));
        MppsClient client;
        QVERIFY(client.connect(server.port()));
        QList<int> answered;
        for (const QString& request : requests) {
            const QStringList words = request.split(u' ');
            const QString status = words.mid(2).join(u' ').remove(QStringLiteral(" nostep"));
            answered << client.send(words[0] == "create", words[1], status,
                                    {"1.2.3.2", request.endsWith("nostep") ? "" : "SPS2"});
        }
        client.releaseAssociation();
        QCOMPARE(answered, statuses);
        QVERIFY2(server.waitForOutput(logLine), qPrintable(server.output()));
        QStringList remaining = kAllSteps;
        for (const QString& step : removed)
            remaining.removeOne(step);
        QCOMPARE(find(server.port()), remaining);

        // Each data set as it arrived, in order, for the client's own tests to read.
        const QStringList files = QDir(kept.path()).entryList(QDir::Files, QDir::Name);
        QCOMPARE(files.size(), requests.size());
        for (int i = 0; i < files.size(); ++i) {
            QVERIFY(
                files[i].endsWith(requests[i].startsWith("create") ? "-ncreate.dcm" : "-nset.dcm"));
            DcmFileFormat file;
            OFString status;
            QVERIFY(file.loadFile(kept.filePath(files[i]).toLocal8Bit().constData()).good());
            file.getDataset()->findAndGetOFString(DCM_PerformedProcedureStepStatus, status);
            QVERIFY(requests[i].contains(QString::fromLatin1(status.c_str())));
        }
    }

    // Data no request holds: nested deeper than the toolkit's recursive reader could take on
    // an ordinary stack, or too large. At worst the one association ends; the server serves on.
    void hostileData_data()
    {
        QTest::addColumn<QByteArray>("sopClass"); // empty: put the data in a file of the folder
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("status"); // -1: the association is cut
        QTest::addColumn<QString>("logLine");

        const QString large = "larger than 262144 bytes, association cut";
        QTest::newRow("query nested as deep as the size allows")
            << kFind << nested(16000) << -1 << large;
        QTest::newRow("removal nested 8,000 deep, read whole")
            << kStore << nested(8000) << 0xC000 << "no removal marker, refused";
        QTest::newRow("query of 2 MiB")
            << kFind << element(0x0010, 0x0010, QByteArray(2 << 20, 'A')) << -1 << large;
        QTest::newRow("file nested 40,000 deep")
            << QByteArray() << nested(40000) << 0 << "deep.wl: larger than 262144 bytes";
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
        QCOMPARE(find(server.port()), kAllSteps);
    }

    // However other clients behave, a good client's query is answered while they are still
    // connected (they are cut after a few seconds), and beyond the limit it is refused at once.
    void slowClients_data()
    {
        QTest::addColumn<QString>("behaviour");
        QTest::addColumn<bool>("tls");
        QTest::addColumn<bool>("served");
        QTest::newRow("nobody else") << "none" << false << true;
        QTest::newRow("TLS client stuck after 6 bytes of its request") << "tls" << true << true;
        QTest::newRow("15 idle sockets, one below the limit") << "idle 15" << false << true;
        QTest::newRow("16 idle sockets, at the limit: refused") << "idle 16" << false << false;
        QTest::newRow("flood of 400 connects") << "flood 400" << false << true;
    }

    void slowClients()
    {
        QFETCH(QString, behaviour);
        QFETCH(bool, tls);
        QFETCH(bool, served);
        TestServer server;
        QVERIFY(serve(server, m_fixture.path(), tls ? tlsServer() : QStringList()));
        const int count = behaviour.section(u' ', 1).toInt();
        std::vector<std::unique_ptr<QTcpSocket>> idle;
        QProcess stuck;
        std::thread flood;
        if (behaviour == "tls") {
            stuck.start("openssl",
                        {"s_client", "-quiet", "-connect",
                         QStringLiteral("127.0.0.1:%1").arg(server.port()), "-cert",
                         m_pki.filePath("client.pem"), "-key", m_pki.filePath("client.key"),
                         "-CAfile", m_pki.filePath("ca.pem")});
            QVERIFY(stuck.waitForStarted());
            stuck.write(RawClient::associateRequest(kFind).left(6)); // and then nothing more
            QTest::qWait(300);
        } else if (behaviour.startsWith("idle")) {
            for (int i = 0; i < count; ++i) {
                idle.push_back(std::make_unique<QTcpSocket>());
                idle.back()->connectToHost(QHostAddress::LocalHost, server.port());
                QVERIFY(idle.back()->waitForConnected(5000));
            }
            // Until the server has taken them all, the next one could overtake them.
            QTest::qWait(300);
        } else if (behaviour.startsWith("flood")) {
            const quint16 port = server.port();
            flood = std::thread([port, count] {
                sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
                for (int i = 0; i < count; ++i) {
                    const int s = socket(AF_INET, SOCK_STREAM, 0);
                    ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
                    close(s);
                }
            });
        }

        QElapsedTimer took;
        took.start();
        QByteArray output;
        const QStringList found =
            find(server.port(), {}, tls ? tlsClient() : QStringList(), &output);
        const qint64 ms = took.elapsed();
        if (flood.joinable())
            flood.join();
        qInfo("%s: the good client's query took %lld ms", QTest::currentDataTag(), ms);
        if (served) {
            QCOMPARE(found, kAllSteps);
        } else {
            QVERIFY2(output.contains("Local Limit Exceeded"), output.constData());
            QVERIFY(server.waitForOutput("refused: 16 associations are being served"));
        }
        // The others were still connected all the while, and are cut soon after.
        for (const auto& socket : idle)
            QVERIFY(!socket->waitForDisconnected(0));
        QCOMPARE(stuck.state(), tls ? QProcess::Running : QProcess::NotRunning);
        for (const auto& socket : idle)
            QVERIFY(socket->waitForDisconnected(15000));
        QVERIFY(!tls || stuck.waitForFinished(15000));
    }

    // Over TLS, a client must show a certificate from the CA the server was given.
    void tlsClientCertificate_data()
    {
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<bool>("served");
        QTest::newRow("from the CA") << "client" << true;
        QTest::newRow("from another issuer") << "rogue" << false;
    }

    void tlsClientCertificate()
    {
        QFETCH(QString, certificate);
        TestServer server;
        QVERIFY(serve(server, m_fixture.path(), tlsServer()));
        QTEST(find(server.port(), {}, tlsClient(certificate)) == kAllSteps, "served");
        QCOMPARE(find(server.port(), {}, tlsClient()), kAllSteps);
    }

    // Only the server's own AE title, exactly, is accepted; the log escapes what the client sent.
    void association()
    {
        QVERIFY(runTool(QStringLiteral("echoscu"), {"-aec", "X\x1B[2J\nFORGED", "127.0.0.1",
                                                    QString::number(m_server.port())}) != 0);
        QVERIFY(m_server.waitForOutput("association from ECHOSCU (127.0.0.1) rejected: called AE "
                                       "title \"X\\x1B[2J\\x0AFORGED\""));
        QCOMPARE(find(m_server.port()), kAllSteps);
    }
};

QTEST_GUILESS_MAIN(WlServerTest)
#include "tst_wlserver.moc"
