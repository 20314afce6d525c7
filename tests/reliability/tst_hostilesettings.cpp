// Settings.ini as the program may find it on a real machine: garbage, huge, binary, not a file at
// all, or in a place it cannot write. Loading takes what it can without crashing; saving either
// writes a file that keeps every line it did not set, or fails and leaves the old file exactly
// as it was.

#include "settingsstore.h"
#include "testserver.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum class Place {
    File,         // Settings.ini is a regular file holding the content
    Symlink,      // Settings.ini is a link to a file elsewhere: never written through
    Backup,       // the user's Settings.ini.backup and a leftover temporary of ours beside it
    Oversized,    // the content, then zeros up to 65 MiB (sparse)
    Directory,    // Settings.ini is a directory
    Fifo,         // Settings.ini is a named pipe: reading it would block forever
    ParentIsFile, // the folder Settings.ini should be in is a regular file
    ReadOnly,     // file and folder without write permission
    NotReadable,  // the file cannot be read, so a save would lose what it holds
    DiskFull      // writes stop after 16 bytes (a file size limit)
};

// Only regular files: opening a named pipe would wait for a writer.
QByteArray readAll(const QString& path)
{
    QFile file(path);
    return QFileInfo(path).isFile() && file.open(QIODevice::ReadOnly) ? file.readAll()
                                                                      : QByteArray();
}

QStringList entriesOf(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot |
                               QDir::System);
}

// The lines as a reader on Windows sees them (UTF-8 when valid, else Windows-1252), without the
// program's own keys.
QStringList foreignLines(QByteArrayView bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(bytes.startsWith("\xEF\xBB\xBF") ? bytes.sliced(3) : bytes);
    if (utf8.hasError())
        text = QStringDecoder("windows-1252").decode(bytes);
    static const QRegularExpression own(QStringLiteral("^\\s*(LocalAET|IP|AET|Port|[1-5])\\s*="),
                                        QRegularExpression::CaseInsensitiveOption);
    QStringList lines;
    for (QString& line : text.split(u'\n')) {
        while (line.endsWith(u'\r'))
            line.chop(1);
        if (!own.match(line).hasMatch())
            lines << line;
    }
    return lines;
}

} // namespace

Q_DECLARE_METATYPE(Place)

class TestHostileSettings final : public QObject
{
    Q_OBJECT

private slots:
    void loadAndSave_data();
    void loadAndSave();
};

void TestHostileSettings::loadAndSave_data()
{
    QTest::addColumn<Place>("place");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expectedIP");  // what loading must give for the server address
    QTest::addColumn<QString>("expectedAET"); // and for the server's AE title
    QTest::addColumn<QString>("failure"); // part of the reason a failed save gives; empty: saves

    const QString none;
    const QString ip = QStringLiteral("127.0.0.1");
    const QByteArray plain("[Worklist]\nIP=127.0.0.1\n; mine\n");
    const QByteArray mega(1024 * 1024, 'x');
    std::mt19937 random(7u);
    QByteArray noise(10 * 1024 * 1024, Qt::Uninitialized);
    for (char& c : noise)
        c = static_cast<char>(random());
    QTest::newRow("10 MB random bytes") << Place::File << noise << none << none << none;
    const char nuls[] = "\0\0[Worklist]\0\n\0\0\0\n[Worklist]\nIP=127.0.0.1\nAET=A\0B\n\0";
    QTest::newRow("NUL bytes around keys") << Place::File << QByteArray(nuls, sizeof nuls - 1) << ip
                                           << QStringView(u"A\0B", 3).toString() << none;
    QTest::newRow("1 MB comment, value and last line without line ending")
        << Place::File << "; " + mega + "\n[Worklist]\nAET=" + mega + "\nIP=127.0.0.1\n; " + mega
        << ip << QString(255, u'x') << none;
    QTest::newRow("broken UTF-8")
        << Place::File << QByteArray("[Worklist]\nIP=127.0.0.1\n\xC3\n\xED\xA0\x80\n\xF8\x88\x80")
        << ip << none << none;
    QTest::newRow("two byte order marks")
        << Place::File
        << QByteArray("\xEF\xBB\xBF\xEF\xBB\xBF[General]\n[Worklist]\nIP=127.0.0.1\n") << ip << none
        << none;
    QTest::newRow("backup beside it") << Place::Backup << plain << ip << none << none;
    QTest::newRow("symlink to a file elsewhere")
        << Place::Symlink << plain << ip << none << "symbolische Verknüpfung";
    QTest::newRow("over 64 MiB") << Place::Oversized << plain << none << none << "64 MiB";
    QTest::newRow("a directory") << Place::Directory << QByteArray() << none << none << "Ordner,";
    QTest::newRow("a named pipe") << Place::Fifo << QByteArray() << none << none
                                  << "keine gewöhnliche Datei";
    QTest::newRow("folder is a regular file")
        << Place::ParentIsFile << QByteArray("not a folder\n") << none << none << "kein Ordner";
    QTest::newRow("read-only file and folder")
        << Place::ReadOnly << plain << ip << none << "Keine Schreibberechtigung";
    QTest::newRow("file not readable")
        << Place::NotReadable << plain << none << none << "nicht gelesen";
    QTest::newRow("disk full") << Place::DiskFull << plain << ip << none << "größer als erlaubt";
}

void TestHostileSettings::loadAndSave()
{
    QFETCH(Place, place);
    QFETCH(QByteArray, content);
    QFETCH(QString, expectedIP);
    QFETCH(QString, expectedAET);
    QFETCH(QString, failure);

    if (::geteuid() == 0 && (place == Place::ReadOnly || place == Place::NotReadable))
        QSKIP("root ignores file permissions; the other rows make the save fail for root too");
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("Settings.ini"));
    QString realFile = path; // where the bytes live
    if (place == Place::Directory)
        QVERIFY(QDir().mkpath(path + QStringLiteral("/inside")));
    if (place == Place::Fifo)
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
    if (place == Place::ParentIsFile)
        path =
            (realFile = dir.filePath(QStringLiteral("kelvara"))) + QStringLiteral("/Settings.ini");
    if (place == Place::Symlink) {
        realFile = dir.filePath(QStringLiteral("real"));
        QVERIFY(QFile::link(realFile, path));
    }
    if (place != Place::Directory && place != Place::Fifo)
        QVERIFY(TestServer::writeFile(realFile, content));
    if (place == Place::Oversized)
        QVERIFY(QFile(path).resize(65 * 1024 * 1024));
    const bool wasDir = QFileInfo(path).isDir();
    const QByteArray before = readAll(realFile);
    if (place == Place::Backup)
        QVERIFY(TestServer::writeFile(path + QStringLiteral(".backup"), "mine"));
    const QStringList entriesBefore = entriesOf(dir.path());
    if (place == Place::Backup) // left by a save that was killed
        QVERIFY(TestServer::writeFile(dir.filePath(".Settings.ini.kelvara-Ab12Cd.tmp"), "x"));

    const QByteArray dirName = QFile::encodeName(dir.path());
    const QByteArray fileName = QFile::encodeName(path);
    rlimit oldLimit{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &oldLimit), 0);
    const auto removeFault = [&] {
        ::setrlimit(RLIMIT_FSIZE, &oldLimit);
        ::chmod(dirName.constData(), 0700);
        if (place == Place::ReadOnly || place == Place::NotReadable)
            ::chmod(fileName.constData(), 0600);
    };
    const auto guard = qScopeGuard(removeFault); // also when a check below fails
    if (place == Place::ReadOnly) {
        QCOMPARE(::chmod(fileName.constData(), 0400), 0);
        QCOMPARE(::chmod(dirName.constData(), 0500), 0);
    }
    if (place == Place::NotReadable)
        QCOMPARE(::chmod(fileName.constData(), 0200), 0);
    if (place == Place::DiskFull) {
        std::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails with EFBIG instead
        rlimit small = oldLimit;
        small.rlim_cur = 16;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    }

    AppSettings loaded;
    LoadSettings(loaded, path);
    QCOMPARE(loaded.IP, expectedIP);
    QCOMPARE(loaded.AET, expectedAET);
    QVERIFY(loaded.LocalAET.size() <= 255 && loaded.Port.size() <= 255);
    AppSettings changed = loaded;
    changed.IP = QStringLiteral("127.0.0.5");
    changed.AET = QStringLiteral("HOSTILE");
    const SaveResult saved = SaveSettings(changed, {1500.0, 2370.0, 1234.5, 3000.0, 900.0}, path);
    removeFault();
    QCOMPARE(saved.ok, failure.isEmpty());
    QVERIFY2(saved.reason.contains(failure), qPrintable(saved.reason));
    QCOMPARE(QFileInfo(path).isSymLink(), place == Place::Symlink);
    if (saved) {
        // Every line the program does not own is still there, in order.
        const QStringList after = foreignLines(readAll(realFile));
        qsizetype at = 0;
        for (const QString& line : foreignLines(before)) {
            at = after.indexOf(line, at) + 1;
            QVERIFY2(at > 0, qPrintable("line lost: " + line.left(120)));
        }
        AppSettings again;
        LoadSettings(again, path);
        QCOMPARE(QStringList({again.IP, again.AET, again.LocalAET, again.ColumnWidths[2]}),
                 QStringList({changed.IP, changed.AET, changed.LocalAET, "1234,5"}));
    } else { // nothing written, nothing moved
        QVERIFY(readAll(realFile) == before);
        QCOMPARE(QFileInfo(path).isDir(), wasDir);
    }
    // A finished save, good or bad, leaves no temporary file behind, and removes only its own.
    QCOMPARE(entriesOf(dir.path()), entriesBefore);
}

QTEST_GUILESS_MAIN(TestHostileSettings)
#include "tst_hostilesettings.moc"
