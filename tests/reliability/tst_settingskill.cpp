// A program killed while it saves must never leave a torn or lost Settings.ini: after every kill
// the file holds exactly the old or the new content, lines the program does not own included.

#include "testserver.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <random>

class TestSettingsKill final : public QObject
{
    Q_OBJECT

private slots:
    void killDuringSave();
};

void TestSettingsKill::killDuringSave()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Settings.ini"));
    const auto save = [&](const QStringList& arguments) {
        QProcess writer;
        writer.start(QStringLiteral(KELVARA_SETTINGSWRITER), QStringList{path} + arguments);
        return writer.waitForFinished(10000) && writer.exitCode() == 0;
    };
    // What a user put there before the program first saved must survive every kill, byte for byte
    // (as UTF-8): foreign lines, CRLF, Windows-1252.
    QVERIFY(TestServer::writeFile(path, "; F\xfcr Station 3\r\n[General]\r\nLocalAET=R\xd6NTGEN\r\n"
                                        "[Unbekannt]\r\nx=\xe4\r\n"));
    QVERIFY(save({"a"}));
    const QString alpha = TestServer::readFile(path);
    QVERIFY(save({"b"}));
    const QString beta = TestServer::readFile(path);
    QVERIFY(alpha.contains(u"Unbekannt") && beta.contains(QString::fromUtf8("Für")));
    QVERIFY(alpha != beta);

    std::mt19937 random(20240607u);
    for (int kill = 0; kill < 200; ++kill) {
        QProcess writer;
        writer.start(QStringLiteral(KELVARA_SETTINGSWRITER), {path});
        // The delay counts from the first save, so that kills land in saves, not in the start.
        QVERIFY(writer.waitForReadyRead(10000));
        QThread::msleep(random() % 30);
        writer.kill(); // SIGKILL
        QVERIFY(writer.waitForFinished(10000));
        const QString now = TestServer::readFile(path);
        QVERIFY2(now == alpha || now == beta, qPrintable(QString::number(kill) + ": " + now));
    }
    // A kill between writing the temporary file and the rename may leave that file; nothing else
    // appears, and the next save removes it.
    static const QRegularExpression ours(
        QStringLiteral("^\\.Settings\\.ini\\.kelvara-\\w{6}\\.tmp$"));
    for (const QString& name : QDir(dir.path()).entryList(QDir::Files | QDir::Hidden))
        QVERIFY2(name == u"Settings.ini" || ours.match(name).hasMatch(), qPrintable(name));
    QVERIFY(save({"b"}));
    QCOMPARE(TestServer::readFile(path), beta);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"Settings.ini"});
}

QTEST_GUILESS_MAIN(TestSettingsKill)
#include "tst_settingskill.moc"
