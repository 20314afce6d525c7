// kelvara-wlserver driven by findscu, dump2dcm, DcmSCU, openssl s_client and raw sockets.

#include "dicombytes.h"
#include "testserver.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/scu.h>
#include <dcmtk/oflog/oflog.h>

#include <cstring>
#include <vector>

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

// Five steps in e1.wl to e5.wl: SPS1 to SPS4 of four studies, and SPS5 a second step of the study
// of SPS2 (two files with one Study Instance UID).
bool writeFixture(const QString& folder)
{
    QTemporaryDir work;
    const QString dump = "(0020,000d) UI [1.2.3.%2]\n(0040,0100) SQ\n(fffe,e000) na\n"
                         "(0008,0060) CS [%4]\n(0040,0001) AE [%5]\n(0040,0002) DA [%3]\n"
                         "(0040,0009) SH [SPS%1]\n(fffe,e00d) na\n(fffe,e0dd) na\n";
    for (const QString step :
         {"1 1 20250301 CT CT_RAUM2", "2 2 20250301 MR MR_RAUM3", "3 3 20250302 CT CT_RAUM1",
          "4 4 20250305 CR CR_RAUM1", "5 2 20250301 CT CT_RAUM2"}) {
        const QStringList s = step.split(u' '); // step, study, date, modality, station
        const QString text = work.filePath("e.txt"), file = folder + "/e" + s[0] + ".wl";
        if (!TestServer::writeFile(text, dump.arg(s[0], s[1], s[2], s[3], s[4]).toLatin1()) ||
            runTool("dump2dcm", {text, file}) != 0)
            return false;
    }
    return true;
}

const char* const kAll = "SPS1 SPS2 SPS3 SPS4 SPS5";

// Runs findscu with the given step keys (and `options`, e.g. for TLS) and gives the Scheduled
// Procedure Step IDs it received, sorted, or why it failed.
QString find(quint16 port, const QStringList& keys = {}, const QStringList& options = {})
{
    QStringList args = options + QStringList{"-v", "-W", "-aec", "KELVARA_WL", "-k", "PatientID"};
    for (const QString& key : keys)
        args += {"-k", "ScheduledProcedureStepSequence[0]." + key};
    QByteArray output;
    if (runTool("findscu", args << "127.0.0.1" << QString::number(port), &output) != 0)
        return "FAILED: " + QString::fromLatin1(output).section("Reason: ", -1).trimmed();
    QStringList steps;
    static const QRegularExpression stepId(R"(\(0040,0009\) SH \[(\w*)\])");
    for (const QRegularExpressionMatch& match : stepId.globalMatch(QString::fromLatin1(output)))
        steps << match.captured(1);
    steps.sort();
    return steps.join(u' ');
}

// A raw worklist C-FIND of `identifier`, association and all at once; true when it is cut off.
bool hangsUp(quint16 port, const QByteArray& identifier)
{
    auto item = [](char type, const QByteArray& body) {
        return QByteArray(1, type) + '\0' + be(body.size(), 2) + body;
    };
    const QByteArray context = QByteArray("\x01\0\0\0", 4) + item(0x30, "1.2.840.10008.5.1.4.31") +
                               item(0x40, "1.2.840.10008.1.2");
    const QByteArray body = be(1, 2) + be(0, 2) + "KELVARA_WL      RAWSCU          " +
                            QByteArray(32, '\0') + item(0x10, "1.2.840.10008.3.1.1.1") +
                            item(0x20, context) + item(0x50, item(0x51, be(16384, 4)));
    const QByteArray command = element(0, 0x0002, "1.2.840.10008.5.1.4.31") +
                               element(0, 0x0100, le16(0x20)) + element(0, 0x0110, le16(1)) +
                               element(0, 0x0700, le16(0)) + element(0, 0x0800, le16(0));
    QByteArray pdus = QByteArray("\x01\0", 2) + be(body.size(), 4) + body +
                      pdataPdu(1, 0x03, element(0, 0, le32(command.size())) + command);
    for (qsizetype at = 0; at < identifier.size(); at += 16000)
        pdus += pdataPdu(1, identifier.size() - at > 16000 ? 0 : 2, identifier.mid(at, 16000));
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(5000) && socket.write(pdus) == pdus.size() &&
           socket.waitForDisconnected(10000);
}

const char* const kExplicit = UID_LittleEndianExplicitTransferSyntax;
const char* const kImplicit = UID_LittleEndianImplicitTransferSyntax;

// What changes the list: a C-STORE of a removal object, and Modality Performed Procedure Step
// N-CREATE and N-SET, which DcmSCU lacks in this version.
class Client final : public DcmSCU
{
    Uint16 m_id = 0;

public:
    bool connect(quint16 port)
    {
        setPeerHostName("127.0.0.1");
        setPeerPort(port);
        setPeerAETitle("KELVARA_WL");
        setAETitle("TESTSCU");
        // DcmSCU numbers them 1, 3 and 5.
        addPresentationContext(UID_ModalityPerformedProcedureStepSOPClass, {kExplicit});
        for (const char* syntax : {kExplicit, kImplicit})
            addPresentationContext(UID_ComputedRadiographyImageStorage, {syntax});
        return initNetwork().good() && negotiateAssociation().good();
    }
    // "remove implicit|explicit KEY", "N-CREATE [step ID]" (instance 2.25.77 IN PROGRESS for a
    // step of study 1.2.3.2, or the whole study), "N-SET status": the status and Error Comment.
    QString send(const QString& request)
    {
        const QStringList word = request.split(u' ');
        DcmDataset data;
        DcmItem* item = nullptr;
        T_DIMSE_Message message{};
        T_ASC_PresentationContextID context = 1;
        if (word[0] == "N-CREATE") {
            data.putAndInsertString(DCM_PerformedProcedureStepStatus, "IN PROGRESS");
            data.findOrCreateSequenceItem(DCM_ScheduledStepAttributesSequence, item);
            item->putAndInsertString(DCM_StudyInstanceUID, "1.2.3.2");
            item->putAndInsertString(DCM_ScheduledProcedureStepID, qPrintable(word.value(1)));
            message.CommandField = DIMSE_N_CREATE_RQ;
            message.msg.NCreateRQ = {++m_id, UID_ModalityPerformedProcedureStepSOPClass, "2.25.77",
                                     DIMSE_DATASET_PRESENT, O_NCREATE_AFFECTEDSOPINSTANCEUID};
        } else if (word[0] == "N-SET") {
            data.putAndInsertString(DCM_PerformedProcedureStepStatus,
                                    qPrintable(request.section(u' ', 1)));
            message.CommandField = DIMSE_N_SET_RQ;
            message.msg.NSetRQ = {++m_id, UID_ModalityPerformedProcedureStepSOPClass, "2.25.77",
                                  DIMSE_DATASET_PRESENT};
        } else {
            context = word[1] == "implicit" ? 5 : 3;
            data.putAndInsertString(DcmTag(0x0019, 0x0010, EVR_LO), "REMOVE");
            data.putAndInsertString(DcmTag(0x0019, 0x0030, EVR_LO), qPrintable(word[2]));
            message.CommandField = DIMSE_C_STORE_RQ;
            T_DIMSE_C_StoreRQ& store = message.msg.CStoreRQ; // zeroed: medium priority
            store.MessageID = ++m_id;
            store.DataSetType = DIMSE_DATASET_PRESENT;
            std::strcpy(store.AffectedSOPClassUID, UID_ComputedRadiographyImageStorage);
            std::strcpy(store.AffectedSOPInstanceUID, "2.25.4711");
        }
        DcmDataset* command = nullptr;
        Uint16 status = 0;
        OFString comment;
        if (sendDIMSEMessage(context, &message, &data).bad() ||
            receiveDIMSECommand(&context, &message, nullptr, &command).bad())
            return QStringLiteral("FAILED");
        command->findAndGetUint16(DCM_Status, status);
        command->findAndGetOFString(DCM_ErrorComment, comment);
        delete command;
        return QString::asprintf("0x%04x %s", status, comment.c_str()).trimmed();
    }
};

} // namespace

class WlServerTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_fixture; // writeFixture(), for the tests that only read
    QTemporaryDir m_pki;     // a self-signed certificate, for the server and its clients alike
    const QString m_key = m_pki.filePath("key.pem"), m_cert = m_pki.filePath("cert.pem");

private slots:
    void initTestCase()
    {
        OFLog::configure(OFLogger::WARN_LOG_LEVEL);
        QVERIFY(writeFixture(m_fixture.path()));
        QVERIFY(runTool("openssl", {"req", "-x509", "-nodes", "-newkey", "rsa:2048", "-subj",
                                    "/CN=127.0.0.1", "-keyout", m_key, "-out", m_cert}) == 0);
    }

    // A query gets the steps whose first item matches its date, station and modality (empty: all)
    // while others hold on (cut seconds later), refused at once beyond the association limit.
    // Data too large, or nested too deep for a recursive reader, ends only its own association.
    void queries_data()
    {
        QTest::addColumn<QString>("others");
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QString>("expected");
        const QString date = "ScheduledProcedureStepStartDate=", modality = "Modality=",
                      station = "ScheduledStationAETitle=";
        const auto row = [](const char* name, const char* others, const QStringList& keys,
                            const char* expected) {
            QTest::newRow(name) << QString(others) << keys << QString(expected);
        };
        row("empty: all, two steps of one study among them", "", {date, station, modality}, kAll);
        row("date range", "", {date + "20250302-"}, "SPS3 SPS4");
        row("station", "", {station + "CT_RAUM2"}, "SPS1 SPS5");
        row("station, wildcards", "", {station + "?R_*"}, "SPS2 SPS4");
        row("modality", "", {modality + "CT"}, "SPS1 SPS3 SPS5");
        row("both", "", {modality + "CT", station + "CT_RAUM1"}, "SPS3");
        row("exactly", "", {modality + "C"}, "");
        row("TLS client stuck after 6 bytes of its request", "tls", {}, kAll);
        row("15 idle sockets, one below the limit", "idle 15", {}, kAll);
        row("16 idle sockets, at the limit: refused", "idle 16", {},
            "FAILED: Local Limit Exceeded");
        row("flood of 400 connects", "flood 400", {}, kAll);
        row("identifier nested as deep as the size allows", "nested 16000", {}, kAll);
        row("identifier of 2 MiB", "large 2", {}, kAll);
    }

    void queries()
    {
        QFETCH(QString, others);
        QFETCH(QStringList, keys);
        const QString kind = others.section(u' ', 0, 0);
        const int count = others.section(u' ', 1).toInt();
        QStringList options{"--port", "%PORT%", "--dir", m_fixture.path()}, findOptions;
        if (kind == "tls") {
            options += {"--tls-cert", m_cert, "--tls-key", m_key, "--tls-ca", m_cert};
            findOptions = {"+tls", m_key, m_cert, "+cf", m_cert};
        }
        TestServer server;
        QVERIFY(server.start("kelvara-wlserver", options));
        const QString port = QString::number(server.port());
        std::vector<QTcpSocket> idle(kind == "idle" ? count : 0);
        for (QTcpSocket& socket : idle) {
            socket.connectToHost(QHostAddress::LocalHost, server.port());
            QVERIFY(socket.waitForConnected(5000));
        }
        QProcess other; // the stuck TLS client, or the flood
        if (kind == "tls") {
            other.start("openssl", {"s_client", "-quiet", "-connect", "127.0.0.1:" + port, "-cert",
                                    m_cert, "-key", m_key, "-CAfile", m_cert});
        } else if (kind == "flood") {
            const QString flood = "for i in {1..%1}; do exec 3<>/dev/tcp/127.0.0.1/%2; done";
            other.start("bash", {"-c", flood.arg(count).arg(port)}); // each closed by the next
        } else if (kind == "nested" || kind == "large") {
            QVERIFY(hangsUp(server.port(),
                            kind == "nested" ? nested(count)
                                             : element(0x10, 0x10, QByteArray(count << 20, 'A'))));
            QVERIFY(server.waitForOutput("from RAWSCU larger than 262144 bytes, association cut"));
        }
        QVERIFY(other.program().isEmpty() || other.waitForStarted());
        if (kind == "tls")
            other.write(QByteArray("\x01\0\0\0\0\xce", 6)); // a request's header, no more
        if (kind != "flood")
            QTest::qWait(300); // until the server has taken the others: the good one comes last

        QTEST(find(server.port(), keys, findOptions), "expected");
        // The others were still connected all the while, and are cut soon after.
        QVERIFY(kind != "tls" || other.state() == QProcess::Running);
        for (QTcpSocket& socket : idle)
            QVERIFY(!socket.waitForDisconnected(0));
        QVERIFY(other.state() == QProcess::NotRunning || other.waitForFinished(30000));
        for (QTcpSocket& socket : idle)
            QVERIFY(socket.waitForDisconnected(15000));
    }

    // A removal object takes every step of its study off, files and all, and says how many or that
    // none matched; a performed procedure step that ends, the step it names (or its whole study).
    // What may not happen is refused as a modality expects. The log escapes what clients send.
    void changes_data()
    {
        QTest::addColumn<QStringList>("requests"); // Client::send()
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QString>("logLine");
        QTest::addColumn<QString>("remaining");
        const QString ok = "0x0000", create = "N-CREATE SPS2",
                      set = "MPPS N-SET 2.25.77 from TESTSCU: ";
        const auto row = [](const char* name, const QStringList& requests,
                            const QStringList& answers, const QString& logLine,
                            const char* remaining) {
            QTest::newRow(name) << requests << answers << logLine << QString(remaining);
        };
        row("removal, implicit VR: both steps of the study", {"remove implicit 1.2.3.2"},
            {"0x0000 2 entries removed"}, "TESTSCU: 2 entries removed (1.2.3.2/SPS2, 1.2.3.2/SPS5)",
            "SPS1 SPS3 SPS4");
        row("removal, explicit VR: none matched, the long key escaped and cut in the log",
            {"remove explicit \x1B[31m" + QString(250, u'A')}, {"0xc210 no entry with this key"},
            "\\x1B[31m" + QString(195, u'A') + "...[cut, 255 bytes] from TESTSCU: not found", kAll);
        row("N-SET after the final status refused",
            {create, "N-SET COMPLETED", "N-SET IN PROGRESS"},
            {ok, ok, "0x0110 Performed Procedure Step Object may no longer be updated"},
            set + "refused, already final", "SPS1 SPS3 SPS4 SPS5");
        row("no step ID: the whole study", {"N-CREATE", "N-SET DISCONTINUED"}, {ok, ok},
            set + "DISCONTINUED, removed 1.2.3.2/SPS2, 1.2.3.2/SPS5", "SPS1 SPS3 SPS4");
        row("N-SET of an unknown instance refused", {"N-SET COMPLETED"}, {"0x0112"},
            set + "refused, no such instance", kAll);
        row("N-CREATE of an existing instance refused", {create, create}, {ok, "0x0111"},
            "MPPS N-CREATE 2.25.77 from TESTSCU: refused, instance exists", kAll);
    }

    void changes()
    {
        QFETCH(QStringList, requests);
        QFETCH(QString, logLine);
        QTemporaryDir folder;
        TestServer server;
        QVERIFY(writeFixture(folder.path()) &&
                server.start("kelvara-wlserver", {"--port", "%PORT%", "--dir", folder.path()}));
        Client client;
        QVERIFY(client.connect(server.port()));
        QStringList answers;
        for (const QString& request : requests)
            answers << client.send(request);
        client.releaseAssociation();
        QTEST(answers, "answers");
        QVERIFY2(server.waitForOutput(logLine), qPrintable(server.output()));
        QTEST(find(server.port()), "remaining");
        QTEST(QDir(folder.path()).entryList({"e*"}).join(u' ').replace("e", "SPS").remove(".wl"),
              "remaining");
    }
};

QTEST_GUILESS_MAIN(WlServerTest)
#include "tst_wlserver.moc"
