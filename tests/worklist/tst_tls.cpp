#include "removal.h"
#include "settingsstore.h"
#include "testserver.h"
#include "tlssettings.h"
#include "worklistclient.h"
#include "worklistfind.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Certificates made for this run in `dir`: a CA that both sides trust, one nobody trusts, a
// server and a client certificate from the first and an intruder's from the second.
bool makePki(const QString& dir)
{
    const auto openssl = [&dir](const QString& arguments) {
        QProcess process;
        process.setWorkingDirectory(dir);
        process.start(QStringLiteral("openssl"), arguments.split(u' '));
        return process.waitForFinished(30000) && process.exitCode() == 0;
    };
    const auto ca = [&](const QString& name) {
        return openssl(QStringLiteral("req -x509 -newkey rsa:2048 -nodes -days 2 -keyout %1.key "
                                      "-out %1.pem -subj /CN=%1")
                           .arg(name));
    };
    const auto leaf = [&](const QString& name, const QString& issuer, const QString& subject) {
        return openssl(QStringLiteral("req -newkey rsa:2048 -nodes -keyout %1.key -out %1.csr "
                                      "-subj /CN=%2")
                           .arg(name, subject)) &&
               openssl(QStringLiteral("x509 -req -days 2 -in %1.csr -CA %2.pem -CAkey %2.key "
                                      "-CAcreateserial -out %1.pem")
                           .arg(name, issuer));
    };
    return ca("ca") && ca("rogue") && leaf("server", "ca", "wlserver") &&
           leaf("client", "ca", "kelvara") && leaf("intruder", "rogue", "intruder");
}

ConnectionParams params(quint16 port, const TlsParams& tls)
{
    return {"127.0.0.1", QString::number(port), "KELVARA_WL", "KELVARA", {2, 3, 5, 5}, tls};
}

} // namespace

Q_DECLARE_METATYPE(TlsParams)

class TestTls : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(m_pki.isValid() && makePki(m_pki.path())); }
    void queryAndRemovalAgainstOurServer();
    void removalStoredByStorescp();
    void failures_data();
    void failures();
    void closeEndsTlsExchange();
    void settingsReadAndKept_data();
    void settingsReadAndKept();

private:
    TlsParams clientTls(const QString& ca = QStringLiteral("ca.pem"),
                        const QString& name = QStringLiteral("client")) const
    {
        return {true, ca.isEmpty() ? QString() : m_pki.filePath(ca),
                name.isEmpty() ? QString() : m_pki.filePath(name + ".pem"),
                name.isEmpty() ? QString() : m_pki.filePath(name + ".key")};
    }
    QStringList serverTls(bool clientCa) const
    {
        QStringList args{"--tls-cert", m_pki.filePath("server.pem"), "--tls-key",
                         m_pki.filePath("server.key")};
        if (clientCa)
            args << "--tls-ca" << m_pki.filePath("ca.pem");
        return args;
    }
    QTemporaryDir m_pki;
};

void TestTls::queryAndRemovalAgainstOurServer()
{
    TestServer server;
    QVERIFY2(server.start("kelvara-wlserver",
                          QStringList{"--port", "%PORT%", "--demo", "3"} + serverTls(true)),
             qPrintable(server.output()));
    const ConnectionParams p = params(server.port(), clientTls());
    const FindOutcome before = runWorklistFind(p);
    QCOMPARE(before.error.messageText(), QStringLiteral("0 - "));
    QCOMPARE(before.rows.size(), 3);
    QCOMPARE(sendRemoval(p, before.rows[1].entryKey).messageText(), QStringLiteral("0 - "));
    const FindOutcome after = runWorklistFind(p);
    QCOMPARE(after.rows.size(), 2);
    QVERIFY(after.rows[0].entryKey != before.rows[1].entryKey &&
            after.rows[1].entryKey != before.rows[1].entryKey);
}

// The removal object as storescp took it over TLS: its own UID in the meta header and the data
// set, the marker and the entry's key, nothing else.
void TestTls::removalStoredByStorescp()
{
    QTemporaryDir dir;
    TestServer server;
    QVERIFY(server.start("storescp",
                         {"+tls", m_pki.filePath("server.key"), m_pki.filePath("server.pem"), "+cf",
                          m_pki.filePath("ca.pem"), "-od", dir.path(), "%PORT%"}));
    QString uid;
    QCOMPARE(
        sendRemoval(params(server.port(), clientTls()), "1.2.3.4.5", &uid).messageText(),
        QStringLiteral("0 - "));
    const QStringList files = QDir(dir.path()).entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    QProcess dump;
    dump.start(QStringLiteral("dcmdump"), {QDir(dir.path()).filePath(files[0])});
    QVERIFY(dump.waitForFinished(10000));
    QStringList stored; // the data set, and of the meta header what names the object
    for (const QString& line : QString::fromLatin1(dump.readAllStandardOutput()).split(u'\n')) {
        if (line.startsWith(u'(') && (!line.startsWith("(0002") || line.startsWith("(0002,0002)") ||
                                      line.startsWith("(0002,0003)")))
            stored << line.section(u'#', 0, 0).trimmed().replace(uid, "UID");
    }
    QCOMPARE(stored,
             (QStringList{"(0002,0002) UI =ComputedRadiographyImageStorage", "(0002,0003) UI [UID]",
                          "(0008,0016) UI =ComputedRadiographyImageStorage", "(0008,0018) UI [UID]",
                          "(0019,0010) LO [REMOVE]", "(0019,0030) LO [1.2.3.4.5]"}));
}

void TestTls::failures_data()
{
    QTest::addColumn<QStringList>("serverArgs"); // empty: nothing listens
    QTest::addColumn<TlsParams>("tls");
    QTest::addColumn<QString>("expected"); // %1: host:port

    const QStringList plainServer{"--demo", "1"}, tlsServer = plainServer + serverTls(false),
                                                  strictServer = plainServer + serverTls(true);
    const TlsParams missingFile{true, m_pki.filePath("ca.pem"), m_pki.filePath("nosuch.pem"),
                                m_pki.filePath("client.key")};
    const TlsParams wrongKey{true, m_pki.filePath("ca.pem"), m_pki.filePath("client.pem"),
                             m_pki.filePath("server.key")};
    const TlsParams halfPair{true, m_pki.filePath("ca.pem"), m_pki.filePath("client.pem"), {}};

    QTest::newRow("server speaks no TLS")
        << plainServer << clientTls()
        << "-5 - Server %1 spricht kein TLS: TLS am Server einschalten oder in Settings.ini "
           "[TLS] Enabled=0 setzen";
    QTest::newRow("server certificate not trusted")
        << tlsServer << clientTls("rogue.pem")
        << "-5 - Zertifikat von %1 nicht vertrauenswürdig: \"CN=wlserver\" ist von keiner "
           "vertrauten Zertifizierungsstelle ausgestellt; die Zertifizierungsstelle des "
           "Servers in Settings.ini [TLS] CACertificate eintragen";
    QTest::newRow("client certificate missing")
        << strictServer << clientTls("ca.pem", {})
        << "-5 - Server %1 verlangt ein Zertifikat von Kelvara: in Settings.ini [TLS] "
           "Certificate und PrivateKey eintragen";
    QTest::newRow("client certificate refused")
        << strictServer << clientTls("ca.pem", "intruder")
        << "-5 - Server %1 lehnt das Zertifikat von Kelvara ab (\"CN=intruder\"): ein vom Server "
           "anerkanntes Zertifikat in Settings.ini [TLS] Certificate eintragen";
    QTest::newRow("plain to a TLS-only server")
        << tlsServer << TlsParams{}
        << "-5 - Server %1 verlangt TLS: in Settings.ini [TLS] Enabled=1 setzen";
    // Checked before anything is sent: nothing listens, yet the file is what is reported.
    QTest::newRow("certificate file missing")
        << QStringList() << missingFile
        << QStringLiteral("-1 - TLS-Datei \"%1\" (Settings.ini [TLS] Certificate) fehlt oder ist "
                          "nicht lesbar")
               .arg(m_pki.filePath("nosuch.pem"));
    QTest::newRow("key of another certificate")
        << QStringList() << wrongKey
        << QStringLiteral("-1 - TLS-Datei \"%1\" (Settings.ini [TLS] PrivateKey) passt nicht zum "
                          "Zertifikat (Certificate)")
               .arg(m_pki.filePath("server.key"));
    QTest::newRow("certificate without key")
        << QStringList() << halfPair
        << "-1 - Settings.ini [TLS]: Certificate ohne PrivateKey eingetragen";
    QTest::newRow("CA file not a certificate")
        << QStringList() << clientTls("client.key")
        << QStringLiteral("-1 - TLS-Datei \"%1\" (Settings.ini [TLS] CACertificate) enthält kein "
                          "gültiges PEM-Zertifikat")
               .arg(m_pki.filePath("client.key"));
}

void TestTls::failures()
{
    QFETCH(QStringList, serverArgs);
    QFETCH(TlsParams, tls);
    QFETCH(QString, expected);
    TestServer server;
    if (!serverArgs.isEmpty())
        QVERIFY(server.start("kelvara-wlserver", QStringList{"--port", "%PORT%"} + serverArgs));
    const quint16 port = serverArgs.isEmpty() ? TestServer::freePort() : server.port();
    const QString text = expected.replace("%1", QStringLiteral("127.0.0.1:%1").arg(port));
    // Both exchanges fail alike, and never fall back to plain DICOM.
    QCOMPARE(runWorklistFind(params(port, tls)).error.messageText(), text);
    QCOMPARE(sendRemoval(params(port, tls), QStringLiteral("1.2.3")).messageText(), text);
}

void TestTls::closeEndsTlsExchange()
{
    // A TLS peer that completes the handshake and then never answers the association request.
    TestServer server;
    QVERIFY(server.start("openssl",
                         {"s_server", "-accept", "127.0.0.1:%PORT%", "-cert",
                          m_pki.filePath("server.pem"), "-key", m_pki.filePath("server.key")}));
    ConnectionParams p = params(server.port(), clientTls("ca.pem", {}));
    p.timeouts = {5, 10, 30, 20}; // only the abort can end it soon
    WorklistClient client;
    QSignalSpy finished(&client, &WorklistClient::queryFinished);
    QVERIFY(client.startQuery(p));
    QVERIFY(server.waitForOutput(QStringLiteral("CIPHER is")));
    client.abort();
    QVERIFY(client.waitForIdle(5000));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).value<FindOutcome>().error.number, -2);
}

void TestTls::settingsReadAndKept_data()
{
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QStringList>("files"); // CACertificate, Certificate, PrivateKey

    QTest::newRow("relative paths, on")
        << QByteArray("[TLS]\r\n; by IT\r\nEnabled = 1\r\nCACertificate=certs/ca.pem\r\n"
                      "Certificate=\"../own.pem\"\r\nPrivateKey=/etc/kelvara/own.key\r\n")
        << true << QStringList{"certs/ca.pem", "../own.pem", "/etc/kelvara/own.key"};
    for (const char* off : {"[tls]\nEnabled=0\nCACertificate=\n", "[TLS]\nEnabled=yes\n", ""})
        QTest::addRow("off: %s", QByteArray(off).replace('\n', ' ').constData())
            << QByteArray(off) << false << QStringList{"", "", ""};
}

void TestTls::settingsReadAndKept()
{
    QFETCH(QByteArray, section);
    QFETCH(bool, enabled);
    QFETCH(QStringList, files);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Settings.ini"));
    QVERIFY(
        TestServer::writeFile(path, "[General]\nLocalAET=OLD\n" + section + "[Columns]\n1=100\n"));

    const TlsSettings tls = LoadTlsSettings(path);
    QCOMPARE(tls.enabled, enabled);
    for (QString& file : files)
        file = file.isEmpty() ? QString() : QDir::cleanPath(QDir(dir.path()).filePath(file));
    QCOMPARE((QStringList{tls.caCertificate, tls.certificate, tls.privateKey}), files);

    AppSettings settings;
    LoadSettings(settings, path);
    settings.LocalAET = QStringLiteral("NEW");
    QVERIFY(SaveSettings(settings, {1, 2, 3, 4, 5}, path));
    const QString after = TestServer::readFile(path);
    QVERIFY(after.contains("LocalAET=NEW"));
    QVERIFY2(section.isEmpty() ? !after.contains(QLatin1String("[tls]"), Qt::CaseInsensitive)
                               : after.contains(QString::fromLatin1(section)),
             qPrintable(after));
}

QTEST_GUILESS_MAIN(TestTls)
#include "tst_tls.moc"
