// A program killed while it saves must never leave a torn or lost Settings.ini: after every kill
// the file holds exactly the old or the new content, lines the program does not own included.

#include "killcontents.h"
#include "settingsstore.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <random>

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

bool sameFields(const AppSettings& loaded, const KillContent& content)
{
    const QLocale locale = killLocale();
    if (loaded.LocalAET != content.settings.LocalAET || loaded.IP != content.settings.IP ||
        loaded.AET != content.settings.AET || loaded.Port != content.settings.Port)
        return false;
    for (std::size_t i = 0; i < content.widths.size(); ++i) {
        if (loaded.ColumnWidths[i] != formatColumnWidth(content.widths[i], locale))
            return false;
    }
    return true;
}

} // namespace

class TestSettingsKill final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void killDuringSave_data();
    void killDuringSave();
};

void TestSettingsKill::initTestCase()
{
    QLocale::setDefault(killLocale());
    QVERIFY2(QFileInfo(QStringLiteral(KELVARA_SETTINGSWRITER)).isExecutable(),
             KELVARA_SETTINGSWRITER);
}

void TestSettingsKill::killDuringSave_data()
{
    QTest::addColumn<QByteArray>("handWritten");
    QTest::addColumn<int>("kills");

    // What a user or an installer put there before the program first saved: it must survive
    // every kill, byte for byte.
    QTest::newRow("LF, foreign lines")
        << QByteArray("; Von Hand angelegt\n[Extra]\nKeep=this line\n\n[Worklist]\nIP=10.0.0.9\n")
        << 200;
    QTest::newRow("CRLF, Windows-1252, BOM-less")
        << QByteArray("; F\xfcr Station "
                      "3\r\n[General]\r\nLocalAET=R\xd6NTGEN\r\n[Unbekannt]\r\nx=\xe4\r\n")
        << 100;
}

void TestSettingsKill::killDuringSave()
{
    QFETCH(QByteArray, handWritten);
    QFETCH(int, kills);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("Settings.ini"));
    const KillContent alpha = killContentAlpha();
    const KillContent beta = killContentBeta();

    // The only two files a kill may leave: the helper's saves alternate between them, and a save of
    // the same content over itself is byte-identical.
    QVERIFY(writeAll(path, handWritten));
    QVERIFY(SaveSettings(alpha.settings, alpha.widths, path));
    const QByteArray bytesAlpha = readAll(path);
    QVERIFY(SaveSettings(beta.settings, beta.widths, path));
    const QByteArray bytesBeta = readAll(path);
    QVERIFY(SaveSettings(alpha.settings, alpha.widths, path));
    QCOMPARE(readAll(path), bytesAlpha);
    QVERIFY(bytesAlpha != bytesBeta);

    std::mt19937 random(20240607u);
    std::uniform_int_distribution<int> delayMs(0, 30);
    int foundAlpha = 0;
    int foundBeta = 0;
    qsizetype savesFinished = 0;
    for (int kill = 0; kill < kills; ++kill) {
        QProcess writer;
        writer.setProgram(QStringLiteral(KELVARA_SETTINGSWRITER));
        writer.setArguments({path});
        writer.start();
        QVERIFY2(writer.waitForStarted(10000), qPrintable(writer.errorString()));
        // The delay counts from the helper's first save, so that kills land in the saves and not
        // in the process start.
        QVERIFY(writer.waitForReadyRead(10000));
        QThread::msleep(static_cast<unsigned long>(delayMs(random)));
        writer.kill(); // SIGKILL
        QVERIFY(writer.waitForFinished(10000));
        savesFinished += writer.readAllStandardOutput().size() - 1; // without the 'R'

        const QByteArray bytes = readAll(path);
        AppSettings loaded;
        LoadSettings(loaded, path);
        if (bytes == bytesAlpha) {
            QVERIFY(sameFields(loaded, alpha));
            ++foundAlpha;
        } else if (bytes == bytesBeta) {
            QVERIFY(sameFields(loaded, beta));
            ++foundBeta;
        } else {
            QFAIL(qPrintable(
                QStringLiteral("kill %1: Settings.ini is neither content (%2 bytes):\n%3")
                    .arg(kill)
                    .arg(bytes.size())
                    .arg(QString::fromUtf8(bytes.left(400)))));
        }
    }

    // A kill between writing the temporary file and the rename leaves that file behind. Nothing
    // else may appear.
    static const QRegularExpression leftover(
        QStringLiteral("^\\.Settings\\.ini\\.kelvara-[A-Za-z0-9]{6}\\.tmp$"));
    int leftovers = 0;
    const QStringList entries =
        QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString& name : entries) {
        if (name == u"Settings.ini")
            continue;
        QVERIFY2(leftover.match(name).hasMatch(), qPrintable(name));
        ++leftovers;
    }
    QVERIFY(leftovers <= kills);
    qInfo("%d kills: old/new content found %d/%d times, %lld saves finished, %d leftover temporary "
          "files",
          kills, foundAlpha, foundBeta, static_cast<long long>(savesFinished), leftovers);

    // Leftovers do not disturb the next run, which removes them.
    QVERIFY(SaveSettings(beta.settings, beta.widths, path));
    QCOMPARE(readAll(path), bytesBeta);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"Settings.ini"});
}

QTEST_GUILESS_MAIN(TestSettingsKill)
#include "tst_settingskill.moc"
