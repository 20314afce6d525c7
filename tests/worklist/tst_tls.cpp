#include "removal.h"
#include "settingslocation.h"
#include "settingsstore.h"
#include "testserver.h"
#include "tlssettings.h"
#include "worklistclient.h"
#include "worklistfind.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Certificates made for this run in `dir`, by a CA that both sides trust unless named: the
// server's (for 127.0.0.1 and worklist.kelvara.test), the workstation's (a client's only), one
// for another server, an expired and a not yet valid one for this server, and an intruder's from
// a CA nobody trusts.
bool makePki(const QString& dir)
{
    const auto openssl = [&dir](const QStringList& arguments) {
        QProcess process;
        process.setWorkingDirectory(dir);
        process.start(QStringLiteral("openssl"), arguments);
        return process.waitForFinished(30000) && process.exitCode() == 0;
    };
    const QStringList key{"-newkey", "rsa:2048", "-nodes"};
    const auto ca = [&](const QString& name) {
        return openssl(QStringList{"req", "-x509", "-days", "2", "-keyout", name + ".key", "-out",
                                   name + ".pem", "-subj", "/CN=" + name} +
                       key);
    };
    const auto leaf = [&](const QString& name, const QString& subject, const QString& extensions,
                          const QStringList& dates = {"-days", "2"},
                          const QString& issuer = QStringLiteral("ca")) {
        return TestServer::writeFile(QDir(dir).filePath(name + ".ext"), extensions.toUtf8()) &&
               openssl(QStringList{"req", "-keyout", name + ".key", "-out", name + ".csr", "-subj",
                                   "/CN=" + subject} +
                       key) &&
               openssl(QStringList{"ca", "-config", "ca.cnf", "-batch", "-notext", "-cert",
                                   issuer + ".pem", "-keyfile", issuer + ".key", "-in",
                                   name + ".csr", "-out", name + ".pem", "-extfile",
                                   name + ".ext"} +
                       dates);
    };
    const QString server = QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:worklist.kelvara.test\n"
                                          "extendedKeyUsage=serverAuth\n");
    return TestServer::writeFile(QDir(dir).filePath("ca.cnf"),
                                 "[ca]\ndefault_ca=local\n[local]\ndir=.\ndatabase=index.txt\n"
                                 "new_certs_dir=.\nserial=serial.txt\ndefault_md=sha256\n"
                                 "policy=any\nunique_subject=no\n[any]\ncommonName=supplied\n") &&
           TestServer::writeFile(QDir(dir).filePath("index.txt"), {}) &&
           TestServer::writeFile(QDir(dir).filePath("serial.txt"), "01\n") && ca("ca") &&
           ca("rogue") && leaf("server", "wlserver", server) &&
           leaf("client", "kelvara",
                "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=clientAuth\n") &&
           leaf("other", "wlserver", "subjectAltName=DNS:evil.example\n") &&
           leaf("expired", "wlserver", server,
                {"-startdate", "20200101000000Z", "-enddate", "20200102000000Z"}) &&
           leaf("future", "wlserver", server,
                {"-startdate", "20990101000000Z", "-enddate", "20990102000000Z"}) &&
           leaf("intruder", "intruder", "subjectAltName=IP:127.0.0.1\n", {"-days", "2"}, "rogue");
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
    void settingsInForce_data();
    void settingsInForce();

private:
    TlsParams clientTls(const QString& ca = QStringLiteral("ca.pem"),
                        const QString& name = QStringLiteral("client")) const
    {
        return {true, ca.isEmpty() ? QString() : m_pki.filePath(ca),
                name.isEmpty() ? QString() : m_pki.filePath(name + ".pem"),
                name.isEmpty() ? QString() : m_pki.filePath(name + ".key"), {}, {}};
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
    QCOMPARE(sendRemoval(params(server.port(), clientTls()), "1.2.3.4.5", &uid).messageText(),
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
    QTest::addColumn<QStringList>("serverArgs"); // our server's; "s_server" first: openssl's;
                                                 // empty: nothing listens
    QTest::addColumn<TlsParams>("tls");
    QTest::addColumn<QString>("expected"); // %1: host:port; "0 - ": the query succeeds

    const QStringList plainServer{"--demo", "1"}, tlsServer = plainServer + serverTls(false),
                                                  strictServer = plainServer + serverTls(true);
    const auto serving = [&](const QString& name) {
        return plainServer + QStringList{"--tls-cert", m_pki.filePath(name + ".pem"), "--tls-key",
                                         m_pki.filePath(name + ".key")};
    };
    const TlsParams missingFile{true, m_pki.filePath("ca.pem"), m_pki.filePath("nosuch.pem"),
                                m_pki.filePath("client.key"), {}, {}};
    const TlsParams wrongKey{true, m_pki.filePath("ca.pem"), m_pki.filePath("client.pem"),
                             m_pki.filePath("server.key"), {}, {}};
    const TlsParams halfPair{true, m_pki.filePath("ca.pem"), m_pki.filePath("client.pem"), {}, {}, {}};
    TlsParams byName = clientTls("ca.pem", {});
    byName.serverName = QStringLiteral("worklist.kelvara.test");
    // A key anyone may read, as a careless copy leaves it.
    const QString openKey = m_pki.filePath("open.key");
    QFile::copy(m_pki.filePath("client.key"), openKey);
    QFile::setPermissions(openKey, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                       QFile::ReadOther);
    TlsParams keyOpenToAll = clientTls();
    keyOpenToAll.privateKey = openKey;
    // "yes" is no value of Enabled: an error, never plain DICOM.
    const QString yesFile = m_pki.filePath("yes.ini");
    TestServer::writeFile(yesFile, "[TLS]\nEnabled=yes\n");
    TlsParams enabledYes;
    enabledYes.settingsError = LoadTlsSettings(yesFile).error;
    const QString certificate = QStringLiteral("-5 - Zertifikat von %1 (\"CN=%2\") ist %3");

    QTest::newRow("the server's address in its certificate")
        << tlsServer << clientTls("ca.pem", {}) << "0 - ";
    QTest::newRow("the name through ServerName") << tlsServer << byName << "0 - ";
    // A plain DICOM server drops a TLS greeting without a word, as DCMTK's own servers do.
    QTest::newRow("server speaks no TLS")
        << plainServer << clientTls()
        << "-5 - Server %1 hat die Verbindung ohne TLS-Antwort beendet: spricht der Server an "
           "diesem Port TLS, und lässt er diese Station zu?";
    QTest::newRow("server certificate not trusted")
        << tlsServer << clientTls("rogue.pem")
        << "-5 - Zertifikat von %1 nicht vertrauenswürdig: \"CN=wlserver\" ist von keiner "
           "vertrauten Zertifizierungsstelle ausgestellt; die Zertifizierungsstelle des "
           "Servers in Settings.ini [TLS] CACertificate eintragen";
    QTest::newRow("certificate of another server")
        << serving("other") << clientTls()
        << "-5 - Zertifikat von %1 ist nicht für diesen Server: es nennt \"evil.example\", "
           "erwartet wird \"127.0.0.1\"; ein Zertifikat für \"127.0.0.1\" am Server einrichten "
           "lassen oder, wenn der Server unter anderem Namen bekannt ist, diesen in Settings.ini "
           "[TLS] ServerName eintragen";
    QTest::newRow("a workstation's certificate posing as the server")
        << serving("client") << clientTls()
        << certificate.arg("%1", "kelvara",
                           "nicht für einen Server ausgestellt: der Server braucht ein "
                           "Serverzertifikat");
    QTest::newRow("server certificate expired")
        << serving("expired") << clientTls()
        << certificate.arg("%1", "wlserver", "abgelaufen: der Server braucht ein neues Zertifikat");
    QTest::newRow("server certificate not yet valid")
        << serving("future") << clientTls()
        << certificate.arg("%1", "wlserver",
                           "noch nicht gültig: die Uhrzeit des Servers und dieser Station prüfen");
    QTest::newRow("server offers only TLS 1.1")
        << QStringList{"s_server",
                       "-accept",
                       "127.0.0.1:%PORT%",
                       "-cert",
                       m_pki.filePath("server.pem"),
                       "-key",
                       m_pki.filePath("server.key"),
                       "-tls1_1",
                       "-cipher",
                       "DEFAULT@SECLEVEL=0"}
        << clientTls()
        << "-5 - Server %1 bietet nur TLS 1.0 oder 1.1 an, die nicht mehr sicher sind: TLS 1.2 "
           "oder neuer am Server einschalten lassen";
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
    // Checked before anything is sent: nothing listens, yet the setting is what is reported.
    QTest::newRow("Enabled=yes")
        << QStringList() << enabledYes
        << QStringLiteral("-1 - Settings.ini [TLS] Enabled=\"yes\" in %1 ist ungültig: erlaubt "
                          "sind 1 (TLS) und 0 (ohne TLS)")
               .arg(yesFile);
    QTest::newRow("key readable by everyone")
        << QStringList() << keyOpenToAll
        << QStringLiteral("-1 - TLS-Datei \"%1\" (Settings.ini [TLS] PrivateKey) ist für andere "
                          "Benutzer lesbar oder schreibbar: nur für Besitzer und Gruppe lesbar "
                          "machen (chmod 640)")
               .arg(openKey);
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
    if (!serverArgs.isEmpty() && serverArgs.first() == QLatin1String("s_server"))
        QVERIFY(server.start("openssl", serverArgs));
    else if (!serverArgs.isEmpty())
        QVERIFY(server.start("kelvara-wlserver", QStringList{"--port", "%PORT%"} + serverArgs));
    const quint16 port = serverArgs.isEmpty() ? TestServer::freePort() : server.port();
    const QString text = expected.replace("%1", QStringLiteral("127.0.0.1:%1").arg(port));
    // Both exchanges fail alike, and never fall back to plain DICOM.
    QCOMPARE(runWorklistFind(params(port, tls)).error.messageText(), text);
    if (text != QLatin1String("0 - "))
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

void TestTls::settingsInForce_data()
{
    QTest::addColumn<QByteArray>("preset"); // /etc/kelvara/Settings.ini's [TLS]; null: no preset
    QTest::addColumn<QByteArray>("user");   // the user's own file's; null: no file yet
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QStringList>("files"); // CACertificate, Certificate, PrivateKey, relative
                                            // to the file they are read from
    QTest::addColumn<bool>("error");

    const QByteArray on = "[TLS]\r\n; by IT\r\nEnabled = 1\r\nCACertificate=certs/ca.pem\r\n"
                          "Certificate=\"../own.pem\"\r\nPrivateKey=/etc/kelvara/own.key\r\n";
    const QStringList files{"certs/ca.pem", "../own.pem", "/etc/kelvara/own.key"};
    QTest::newRow("the user's file, relative paths")
        << QByteArray() << on << true << files << false;
    for (const char* off : {"[tls]\nEnabled=0\nCACertificate=\n", "[TLS]\nEnabled=\n", ""})
        QTest::addRow("off: %s", QByteArray(off).replace('\n', ' ').constData())
            << QByteArray() << QByteArray(off) << false << QStringList{"", "", ""} << false;
    QTest::newRow("Enabled=yes is an error") << QByteArray() << QByteArray("[TLS]\nEnabled=yes\n")
                                             << false << QStringList{"", "", ""} << true;
    // IT's preset holds for every user, whatever their own file says or lacks.
    QTest::newRow("preset on, user file without [TLS]")
        << on << QByteArray("") << true << files << false;
    QTest::newRow("preset on, user file off")
        << on << QByteArray("[TLS]\nEnabled=0\n") << true << files << false;
    QTest::newRow("preset on, no user file yet") << on << QByteArray() << true << files << false;
}

void TestTls::settingsInForce()
{
    QFETCH(QByteArray, preset);
    QFETCH(QByteArray, user);
    QFETCH(bool, enabled);
    QFETCH(QStringList, files);
    QFETCH(bool, error);
    QTemporaryDir dir;
    SettingsPlaces places;
    places.programDir = dir.filePath(QStringLiteral("bin"));
    places.home = dir.filePath(QStringLiteral("home"));
    places.presetFile = dir.filePath(QStringLiteral("etc/Settings.ini"));
    const QString userFile = dir.filePath(QStringLiteral("home/.config/kelvara/Settings.ini"));
    QVERIFY(QDir().mkpath(dir.filePath("etc")) &&
            QDir().mkpath(dir.filePath("home/.config/kelvara")));
    if (!preset.isNull())
        QVERIFY(TestServer::writeFile(places.presetFile, "[Worklist]\nAET=IT\n" + preset));
    if (!user.isNull())
        QVERIFY(TestServer::writeFile(userFile,
                                      "[General]\nLocalAET=OLD\n" + user + "[Columns]\n1=100\n"));
    const SettingsLocation location = resolveSettingsLocation(places);

    const TlsSettings tls = LoadTlsSettings(location);
    QCOMPARE(tls.enabled, enabled);
    QCOMPARE(!tls.error.isEmpty(), error);
    const QDir from = QFileInfo(preset.isNull() ? userFile : places.presetFile).absoluteDir();
    for (QString& file : files)
        file = file.isEmpty() ? QString() : QDir::cleanPath(from.filePath(file));
    QCOMPARE((QStringList{tls.caCertificate, tls.certificate, tls.privateKey}), files);

    // Nothing ever writes [TLS]: a save keeps the user's section byte for byte and adds none.
    AppSettings settings;
    LoadSettings(settings, location.readFrom);
    settings.LocalAET = QStringLiteral("NEW");
    QVERIFY(SaveSettings(settings, {1, 2, 3, 4, 5}, location.writeTo, location.readFrom));
    const QString after = TestServer::readFile(userFile);
    QVERIFY(after.contains("LocalAET=NEW"));
    const QByteArray kept = user.isNull() ? preset : user;
    QVERIFY2(kept.isEmpty() ? !after.contains(QLatin1String("[tls]"), Qt::CaseInsensitive)
                            : after.contains(QString::fromLatin1(kept)),
             qPrintable(after));
}

QTEST_GUILESS_MAIN(TestTls)
#include "tst_tls.moc"
