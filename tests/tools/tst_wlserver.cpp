// kelvara-wlserver driven by DCMTK's own clients (findscu, storescu, dump2dcm, DcmSCU), openssl
// s_client and raw sockets.

#include "dicombytes.h"
#include "testserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/scu.h>
#include <dcmtk/oflog/oflog.h>

#include <memory>

using namespace DicomBytes;

namespace {

// Runs a tool and gives its exit code (-1 when it crashed or hung).
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
    const bool written = TestServer::writeFile(path + ".txt", dump) &&
                         runTool(QStringLiteral("dump2dcm"), {path + ".txt", path}) == 0;
    QFile::remove(path + ".txt");
    return written;
}

// Five steps in e1.wl to e5.wl: SPS1 to SPS4 of four studies, and SPS5 a second step of the study
// of SPS2 (two files with one Study Instance UID).
bool writeFixture(const QString& folder)
{
    const QList<QByteArrayList> steps{{"1", "1", "20250301", "CT", "CT_RAUM2"},
                                      {"2", "2", "20250301", "MR", "MR_RAUM3"},
                                      {"3", "3", "20250302", "CT", "CT_RAUM1"},
                                      {"4", "4", "20250305", "CR", "CR_RAUM1"},
                                      {"5", "2", "20250301", "CT", "CT_RAUM2"}};
    for (const QByteArrayList& s : steps) {
        const QByteArray dump =
            "(0010,0010) PN [Patient^" + s[1] + "]\n(0020,000d) UI [1.2.3." + s[1] +
            "]\n(0040,0100) SQ (Sequence with undefined length)\n(fffe,e000) na (Item with "
            "undefined length)\n(0008,0060) CS [" +
            s[3] + "]\n(0040,0001) AE [" + s[4] + "]\n(0040,0002) DA [" + s[2] +
            "]\n(0040,0009) SH [SPS" + s[0] +
            "]\n(fffe,e00d) na (ItemDelimitationItem)\n(fffe,e0dd) na (SequenceDelimitationItem)\n";
        if (!writeDicom(folder + "/e" + s[0] + ".wl", dump))
            return false;
    }
    return true;
}

const char* const kAll = "SPS1 SPS2 SPS3 SPS4 SPS5";

// Runs findscu with the given keys (and `options`, e.g. for TLS) and gives the Scheduled
// Procedure Step IDs it received, sorted, or "FAILED".
QString find(quint16 port, const QStringList& keys = {}, const QStringList& options = {},
             QByteArray* output = nullptr)
{
    QTemporaryDir out;
    QStringList args = options + QStringList{"-W", "-aec", "KELVARA_WL", "-X", "-od", out.path()};
    for (const QString& key : keys)
        args << "-k"
             << "ScheduledProcedureStepSequence[0]." + key;
    if (runTool("findscu",
                args << "-k"
                     << "PatientID"
                     << "127.0.0.1" << QString::number(port),
                output) != 0)
        return QStringLiteral("FAILED");
    QStringList steps;
    for (const QString& file : QDir(out.path()).entryList({QStringLiteral("rsp*.dcm")})) {
        DcmFileFormat format;
        DcmItem* step = nullptr;
        OFString id;
        if (format.loadFile(out.filePath(file).toLocal8Bit().constData()).good() &&
            format.getDataset()
                ->findAndGetSequenceItem(DCM_ScheduledProcedureStepSequence, step)
                .good())
            step->findAndGetOFString(DCM_ScheduledProcedureStepID, id);
        steps << QString::fromLatin1(id.c_str());
    }
    steps.sort();
    return steps.join(u' ');
}

bool serve(TestServer& server, const QString& folder, const QStringList& options = {})
{
    return server.start("kelvara-wlserver",
                        QStringList{"--port", "%PORT%", "--dir", folder} + options);
}

// The first bytes of an association request; a raw client sends what no DCMTK tool would.
QByteArray associateRequest()
{
    auto item = [](char type, const QByteArray& body) {
        return QByteArray(1, type) + '\0' + be(body.size(), 2) + body;
    };
    const QByteArray context = QByteArray("\x01\0\0\0", 4) + item(0x30, "1.2.840.10008.5.1.4.31") +
                               item(0x40, "1.2.840.10008.1.2");
    const QByteArray body = be(1, 2) + be(0, 2) + "KELVARA_WL      RAWSCU          " +
                            QByteArray(32, '\0') + item(0x10, "1.2.840.10008.3.1.1.1") +
                            item(0x20, context) + item(0x50, item(0x51, be(16384, 4)));
    return QByteArray("\x01\0", 2) + be(body.size(), 4) + body;
}

// Associates for the worklist C-FIND over `socket` and sends one with `identifier`.
bool rawFind(QTcpSocket& socket, quint16 port, const QByteArray& identifier)
{
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000) || socket.write(associateRequest()) < 0 ||
        !socket.waitForReadyRead(10000) || !socket.readAll().startsWith('\x02'))
        return false;
    const QByteArray command = element(0, 0x0002, "1.2.840.10008.5.1.4.31") +
                               element(0, 0x0100, le16(0x20)) + element(0, 0x0110, le16(1)) +
                               element(0, 0x0700, le16(0)) + element(0, 0x0800, le16(0));
    socket.write(pdataPdu(1, 0x03, element(0, 0, le32(command.size())) + command));
    for (qsizetype at = 0; at < identifier.size() && socket.waitForBytesWritten(5000); at += 16000)
        socket.write(
            pdataPdu(1, at + 16000 >= identifier.size() ? 0x02 : 0x00, identifier.mid(at, 16000)));
    return true;
}

// Modality Performed Procedure Step N-CREATE and N-SET, which DcmSCU lacks in this version.
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
    // Sends the status for the scheduled step (study 1.2.3.2) and gives the response's status.
    int send(bool create, const QString& status, const QString& stepId)
    {
        DcmDataset data;
        DcmItem* item = nullptr;
        data.putAndInsertString(DCM_PerformedProcedureStepStatus, status.toLatin1().constData());
        data.findOrCreateSequenceItem(DCM_ScheduledStepAttributesSequence, item);
        item->putAndInsertString(DCM_StudyInstanceUID, "1.2.3.2");
        item->putAndInsertString(DCM_ScheduledProcedureStepID, stepId.toLatin1().constData());
        T_DIMSE_Message request{};
        request.CommandField = create ? DIMSE_N_CREATE_RQ : DIMSE_N_SET_RQ;
        if (create) {
            request.msg.NCreateRQ = {++m_id, UID_ModalityPerformedProcedureStepSOPClass, "2.25.77",
                                     DIMSE_DATASET_PRESENT, O_NCREATE_AFFECTEDSOPINSTANCEUID};
        } else {
            request.msg.NSetRQ = {++m_id, UID_ModalityPerformedProcedureStepSOPClass, "2.25.77",
                                  DIMSE_DATASET_PRESENT};
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
    Uint16 m_id = 0;
};

} // namespace

class WlServerTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_fixture; // writeFixture(), served by m_server for the tests that only read
    QTemporaryDir m_pki;     // a CA, and a server and a client certificate from it
    TestServer m_server;

private slots:
    void initTestCase()
    {
        OFLog::configure(OFLogger::WARN_LOG_LEVEL);
        QVERIFY(writeFixture(m_fixture.path()) && serve(m_server, m_fixture.path()));
        const auto openssl = [this](const QString& arguments) {
            QProcess process;
            process.setWorkingDirectory(m_pki.path());
            process.start("openssl", (arguments + " -days 2").split(u' '));
            return process.waitForFinished(30000) && process.exitCode() == 0;
        };
        QVERIFY(
            openssl("req -x509 -nodes -newkey rsa:2048 -keyout ca.key -out ca.pem -subj /CN=ca"));
        for (const QString name : {"server", "client"}) {
            const QString
                request = "req -nodes -newkey rsa:2048 -keyout %1.key -out %1.csr -subj /CN=%1",
                sign = "x509 -req -in %1.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out %1.pem";
            QVERIFY(openssl(request.arg(name)) && openssl(sign.arg(name)));
        }
    }

    // The first Scheduled Procedure Step item of the query is matched: its date (or range),
    // station AE title and modality; an empty value matches all.
    void matching_data()
    {
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QString>("expected");
        const QString date = "ScheduledProcedureStepStartDate=", modality = "Modality=",
                      station = "ScheduledStationAETitle=";
        const auto row = [](const char* name, const QStringList& keys, const char* expected) {
            QTest::newRow(name) << keys << QString(expected);
        };
        row("empty: all, two steps of one study among them", {date, station, modality}, kAll);
        row("date", {date + "20250301"}, "SPS1 SPS2 SPS5");
        row("date range", {date + "20250302-"}, "SPS3 SPS4");
        row("station", {station + "CT_RAUM2"}, "SPS1 SPS5");
        row("station, wildcards", {station + "?R_*"}, "SPS2 SPS4");
        row("modality", {modality + "CT"}, "SPS1 SPS3 SPS5");
        row("both", {modality + "CT", station + "CT_RAUM1"}, "SPS3");
        row("exactly", {modality + "C"}, "");
    }

    void matching()
    {
        QFETCH(QStringList, keys);
        QTEST(find(m_server.port(), keys), "expected");
    }

    // A stored object marked REMOVE takes every step of its study off, files and all; the answer
    // says how many, or that none matched. The log escapes what the client sent.
    void removal_data()
    {
        QTest::addColumn<QString>("storeOption");
        QTest::addColumn<QByteArray>("attributes");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("logLine");
        QTest::addColumn<QString>("remaining");
        const QByteArray marker = "(0019,0010) LO [REMOVE]\n(0019,0030) LO ";
        QTest::newRow("explicit VR")
            << "-xe" << marker + "[1.2.3.3]"
            << "1 entry removed"
            << "REMOVE 1.2.3.3 from STORESCU: 1 entry removed (1.2.3.3/SPS3)"
            << "SPS1 SPS2 SPS4 SPS5";
        QTest::newRow("implicit VR, both steps of the study")
            << "-xi" << marker + "[1.2.3.2]"
            << "2 entries removed"
            << "REMOVE 1.2.3.2 from STORESCU: 2 entries removed (1.2.3.2/SPS2, 1.2.3.2/SPS5)"
            << "SPS1 SPS3 SPS4";
        QTest::newRow("long key with control characters")
            << "-xe" << marker + "[\x1B[31m" + QByteArray(250, 'A') + "]"
            << "0xc210"
            << "REMOVE \\x1B[31m" + QString(195, u'A') + "...[cut, 255 bytes] from STORESCU"
            << QString(kAll);
        QTest::newRow("no marker") << "-xe" << QByteArray("(0019,0030) LO [1.2.3.1]") << "0xc000"
                                   << "C-STORE from STORESCU: no removal marker" << QString(kAll);
    }

    void removal()
    {
        QFETCH(QString, storeOption);
        QFETCH(QByteArray, attributes);
        QFETCH(QString, answer);
        QFETCH(QString, logLine);
        QFETCH(QString, remaining);
        QTemporaryDir folder, work;
        const QString object = work.filePath("remove.dcm");
        QVERIFY(writeFixture(folder.path()));
        QVERIFY(writeDicom(object, "(0008,0016) UI =ComputedRadiographyImageStorage\n"
                                   "(0008,0018) UI [2.25.4711]\n" +
                                       attributes + "\n"));
        TestServer server;
        QVERIFY(serve(server, folder.path()));
        QByteArray output;
        runTool("storescu",
                {storeOption, "-d", "-aec", "KELVARA_WL", "127.0.0.1",
                 QString::number(server.port()), object},
                &output);
        QVERIFY2(output.contains(answer.toLatin1()), output.constData());
        QVERIFY2(server.waitForOutput(logLine), qPrintable(server.output()));
        QCOMPARE(find(server.port()), remaining);
        const QString files = QDir(folder.path()).entryList({"e*"}).join(u' ');
        QCOMPARE(QString(files).replace("e", "SPS").remove(".wl"), remaining);
    }

    // A performed procedure step that ends takes the scheduled step it names off the list, only
    // that step (the whole study when its item has no step ID). What may not happen is refused
    // with the status a modality expects. Every data set received is kept in --mpps-dir.
    void mpps_data()
    {
        QTest::addColumn<QStringList>("requests"); // N-CREATE or N-SET, and the status sent
        QTest::addColumn<QString>("stepId");
        QTest::addColumn<QList<int>>("statuses");
        QTest::addColumn<QString>("remaining");
        QTest::addColumn<QString>("logLine");
        const QString create = "N-CREATE IN PROGRESS", log = "MPPS N-SET 2.25.77 from MPPSSCU: ";
        const QString withoutStep2 = "SPS1 SPS3 SPS4 SPS5";
        QTest::newRow("COMPLETED removes the step, not its study")
            << QStringList{create, "N-SET COMPLETED"} << "SPS2" << QList<int>{0, 0} << withoutStep2
            << log + "COMPLETED, removed 1.2.3.2/SPS2";
        QTest::newRow("DISCONTINUED removes it")
            << QStringList{create, "N-SET DISCONTINUED"} << "SPS2" << QList<int>{0, 0}
            << withoutStep2 << log + "DISCONTINUED, removed 1.2.3.2/SPS2";
        QTest::newRow("still in progress: nothing removed")
            << QStringList{create, "N-SET IN PROGRESS"} << "SPS2" << QList<int>{0, 0}
            << QString(kAll) << log + "IN PROGRESS";
        QTest::newRow("no step ID: the whole study")
            << QStringList{create, "N-SET COMPLETED"} << "" << QList<int>{0, 0} << "SPS1 SPS3 SPS4"
            << log + "COMPLETED, removed 1.2.3.2/SPS2, 1.2.3.2/SPS5";
        QTest::newRow("N-SET of an unknown instance refused")
            << QStringList{"N-SET COMPLETED"} << "SPS2" << QList<int>{0x0112} << QString(kAll)
            << log + "refused, no such instance";
        QTest::newRow("N-SET after the final status refused")
            << QStringList{create, "N-SET COMPLETED", "N-SET IN PROGRESS"} << "SPS2"
            << QList<int>{0, 0, 0x0110} << withoutStep2 << log + "refused, already final";
        QTest::newRow("N-CREATE of an existing instance refused")
            << QStringList{create, create} << "SPS2" << QList<int>{0, 0x0111} << QString(kAll)
            << "MPPS N-CREATE 2.25.77 from MPPSSCU: refused, instance exists";
    }

    void mpps()
    {
        QFETCH(QStringList, requests);
        QFETCH(QString, stepId);
        QFETCH(QString, logLine);
        QTemporaryDir folder, kept;
        QVERIFY(writeFixture(folder.path()));
        TestServer server;
        QVERIFY(serve(server, folder.path(), {"--mpps-dir", kept.path()}));
        MppsClient client;
        QVERIFY(client.connect(server.port()));
        QList<int> statuses;
        for (const QString& request : requests)
            statuses << client.send(request.startsWith("N-CREATE"), request.section(u' ', 1),
                                    stepId);
        client.releaseAssociation();
        QTEST(statuses, "statuses");
        QVERIFY2(server.waitForOutput(logLine), qPrintable(server.output()));
        QTEST(find(server.port()), "remaining");
        // Each data set as it arrived, in order, for the client's own tests to read.
        QStringList received;
        for (const QString& file : QDir(kept.path()).entryList(QDir::Files, QDir::Name)) {
            DcmFileFormat format;
            OFString status;
            QVERIFY(format.loadFile(kept.filePath(file).toLocal8Bit().constData()).good());
            format.getDataset()->findAndGetOFString(DCM_PerformedProcedureStepStatus, status);
            received << (file.endsWith("-ncreate.dcm") ? "N-CREATE " : "N-SET ") +
                            QString(status.c_str());
        }
        QCOMPARE(received, requests);
    }

    // Data no request holds: nested deeper than the toolkit's recursive reader could take on an
    // ordinary stack, or too large. At worst the one association ends; the server serves on.
    void hostileData_data()
    {
        QTest::addColumn<QByteArray>("identifier");
        QTest::newRow("nested as deep as the size allows") << nested(16000);
        QTest::newRow("2 MiB") << element(0x10, 0x10, QByteArray(2 << 20, 'A'));
    }

    void hostileData()
    {
        QFETCH(QByteArray, identifier);
        const QString cut = "from RAWSCU larger than 262144 bytes, association cut";
        const qsizetype before = m_server.output().count(cut);
        QTcpSocket socket;
        QVERIFY(rawFind(socket, m_server.port(), identifier));
        QVERIFY(socket.state() == QAbstractSocket::UnconnectedState ||
                socket.waitForDisconnected(10000));
        QTRY_COMPARE(m_server.output().count(cut), before + 1);
        QCOMPARE(find(m_server.port()), QString(kAll));
    }

    // However other clients behave, a good client's query is answered while they are still
    // connected (they are cut a few seconds later), and beyond the limit it is refused at once.
    // TLS: the server asks for a client certificate from the CA.
    void slowClients_data()
    {
        QTest::addColumn<QString>("others");
        QTest::addColumn<bool>("served");
        QTest::newRow("nobody else") << "" << true;
        QTest::newRow("TLS client stuck after 6 bytes of its request") << "tls" << true;
        QTest::newRow("15 idle sockets, one below the limit") << "idle 15" << true;
        QTest::newRow("16 idle sockets, at the limit: refused") << "idle 16" << false;
        QTest::newRow("flood of 400 connects") << "flood 400" << true;
    }

    void slowClients()
    {
        QFETCH(QString, others);
        QFETCH(bool, served);
        const bool tls = others == "tls";
        const int count = others.section(u' ', 1).toInt();
        const auto pki = [this](const char* file) {
            return m_pki.filePath(file);
        };
        TestServer server;
        QVERIFY(serve(server, m_fixture.path(),
                      tls ? QStringList{"--tls-cert", pki("server.pem"), "--tls-key",
                                        pki("server.key"), "--tls-ca", pki("ca.pem")}
                          : QStringList()));
        std::vector<std::unique_ptr<QTcpSocket>> idle;
        QProcess stuck;
        QProcess flood;
        if (tls) {
            stuck.start("openssl",
                        {"s_client", "-quiet", "-connect",
                         QStringLiteral("127.0.0.1:%1").arg(server.port()), "-cert",
                         pki("client.pem"), "-key", pki("client.key"), "-CAfile", pki("ca.pem")});
            QVERIFY(stuck.waitForStarted());
            stuck.write(associateRequest().left(6)); // and then nothing more
        } else if (others.startsWith("idle")) {
            for (int i = 0; i < count; ++i) {
                idle.push_back(std::make_unique<QTcpSocket>());
                idle.back()->connectToHost(QHostAddress::LocalHost, server.port());
                QVERIFY(idle.back()->waitForConnected(5000));
            }
        } else if (count) {
            flood.start("bash", {"-c", QStringLiteral("for i in {1..%1}; do exec 3<>/dev/tcp/"
                                                      "127.0.0.1/%2; exec 3>&-; done")
                                           .arg(count)
                                           .arg(server.port())});
            QVERIFY(flood.waitForStarted());
        }
        if (flood.state() == QProcess::NotRunning)
            QTest::qWait(300); // until the server has taken the others: the good one comes last

        QElapsedTimer took;
        took.start();
        QByteArray output;
        const QString found = find(
            server.port(), {},
            tls ? QStringList{"+tls", pki("client.key"), pki("client.pem"), "+cf", pki("ca.pem")}
                : QStringList(),
            &output);
        qInfo("%s: the good client's query took %lld ms", QTest::currentDataTag(), took.elapsed());
        QVERIFY(flood.state() == QProcess::NotRunning || flood.waitForFinished(30000));
        QVERIFY2(served ? found == QString(kAll) : output.contains("Local Limit Exceeded"),
                 output.constData());
        QVERIFY(served || server.waitForOutput("refused: 16 associations are being served"));
        // The others were still connected all the while, and are cut soon after.
        QCOMPARE(stuck.state(), tls ? QProcess::Running : QProcess::NotRunning);
        QVERIFY(!tls || stuck.waitForFinished(15000));
        for (const auto& socket : idle)
            QVERIFY(!socket->waitForDisconnected(0));
        for (const auto& socket : idle)
            QVERIFY(socket->waitForDisconnected(15000));
    }
};

QTEST_GUILESS_MAIN(WlServerTest)
#include "tst_wlserver.moc"
