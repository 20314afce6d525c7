#include "initext.h"
#include "settingsstore.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const QByteArray fullFile("[General]\nLocalAET=KELVARA\n"
                          "[Worklist]\nIP=10.0.0.5\nAET=WLSERVER\nPort=104\n"
                          "[Columns]\n1=3000\n2=6000\n3=2500\n4=2500\n5=2000\n");

const std::array<double, 5> liveWidths{2370, 7505, 2370, 7505, 1440};

QStringList fieldsOf(const AppSettings& s)
{
    QStringList fields{s.LocalAET, s.IP, s.AET, s.Port};
    for (const QString& width : s.ColumnWidths)
        fields << width;
    return fields;
}

AppSettings connection(const QString& localAet, const QString& ip, const QString& aet,
                       const QString& port)
{
    AppSettings settings;
    settings.LocalAET = localAet;
    settings.IP = ip;
    settings.AET = aet;
    settings.Port = port;
    // Only the live widths are saved; these must never reach the file.
    settings.ColumnWidths.fill(QStringLiteral("999"));
    return settings;
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

enum Fault { ReadOnlyDirectory, FileSizeLimit, ParentIsFile, DirectoryInPlace, FileNotReadable };

} // namespace

class TestSettingsStore final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void readIniString_data();
    void readIniString();
    void loadSettings_data();
    void loadSettings();
    void saveSettings_data();
    void saveSettings();
    void fractionalWidthReadsBack();
    void failedSaveKeepsOldFile_data();
    void failedSaveKeepsOldFile();
    void hostileFile_data();
    void hostileFile();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
};

void TestSettingsStore::initTestCase()
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
}

void TestSettingsStore::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_path = m_dir->filePath(QStringLiteral("Settings.ini"));
}

void TestSettingsStore::readIniString_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("defaultValue");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("expected");

    const QString longValue = QString(100, u'a') + QString(100, u'b') + QString(100, u'c');
    const QString smiley = QString::fromUtf8("\xF0\x9F\x98\x80"); // two UTF-16 units

    QTest::newRow("no file") << QByteArray() << "General"
                             << "LocalAET"
                             << "" << 256 << "";
    QTest::newRow("missing section") << fullFile << "Other"
                                     << "LocalAET"
                                     << "" << 256 << "";
    QTest::newRow("missing key") << fullFile << "General"
                                 << "IP"
                                 << "" << 256 << "";
    QTest::newRow("present") << fullFile << "Worklist"
                             << "Port"
                             << "" << 256 << "104";
    QTest::newRow("names ignore case") << fullFile << "WORKLIST"
                                       << "aet"
                                       << "" << 256 << "WLSERVER";
    QTest::newRow("blanks and quotes removed")
        << QByteArray("[Worklist]\nAET =  \"WL SERVER\"  \n") << "Worklist"
        << "AET"
        << "" << 256 << "WL SERVER";
    QTest::newRow("300 characters read as the first 255")
        << ("[W]\nA=" + longValue.toUtf8() + '\n') << "W"
        << "A"
        << "" << 256 << longValue.left(255);
    QTest::newRow("255 characters read whole") << ("[W]\nA=" + longValue.left(255).toUtf8()) << "W"
                                               << "A"
                                               << "" << 256 << longValue.left(255);
    QTest::newRow("surrogate pair at the cut not split")
        << ("[W]\nA=" + (QString(254, u'x') + smiley).toUtf8()) << "W"
        << "A"
        << "" << 256 << QString(254, u'x');
    QTest::newRow("default for a missing key") << fullFile << "General"
                                               << "None"
                                               << "fallback" << 256 << "fallback";
    QTest::newRow("default cut as well") << QByteArray() << "General"
                                         << "None"
                                         << "fallback" << 4 << "fal";
    QTest::newRow("size 1") << fullFile << "Worklist"
                            << "Port"
                            << "" << 1 << "";
    QTest::newRow("size 0") << fullFile << "Worklist"
                            << "Port"
                            << "" << 0 << "";
    QTest::newRow("negative size") << fullFile << "Worklist"
                                   << "Port"
                                   << "" << -5 << "";
    QTest::newRow("Windows-1252 file")
        << QByteArray("[General]\r\nLocalAET=K\xD6LN-\xC4\xDC\r\n") << "General"
        << "LocalAET"
        << "" << 256 << QString::fromUtf8("KÖLN-ÄÜ");
}

void TestSettingsStore::readIniString()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, defaultValue);
    QFETCH(int, size);
    QFETCH(QString, expected);

    if (!content.isNull())
        QVERIFY(writeAll(m_path, content));
    QCOMPARE(ReadIniString(section, key, defaultValue, m_path, qint16(size)), expected);
}

void TestSettingsStore::loadSettings_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<QStringList>("expected");

    const QStringList empty(9, QString());
    QTest::newRow("no file") << QByteArray() << empty;
    QTest::newRow("empty file") << QByteArray("") << empty;
    QTest::newRow("full file") << fullFile
                               << QStringList{"KELVARA", "10.0.0.5", "WLSERVER", "104", "3000",
                                              "6000",    "2500",     "2500",     "2000"};
    QTest::newRow("lacking only Columns")
        << fullFile.left(fullFile.indexOf("[Columns]"))
        << QStringList{"KELVARA", "10.0.0.5", "WLSERVER", "104", "", "", "", "", ""};
    QTest::newRow("partial, garbled and odd values")
        << QByteArray("[columns]\r\n1=1234,5\r\n3=abc\r\n5=  \r\n[worklist]\r\nport=x\r\n")
        << QStringList{"", "", "", "x", "1234,5", "", "abc", "", ""};
    QTest::newRow("binary junk") << QByteArray("\xFF\xFE\0\0[\x01\x02]\x80=\x81", 12) << empty;
}

void TestSettingsStore::loadSettings()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, expected);

    if (!content.isNull())
        QVERIFY(writeAll(m_path, content));
    AppSettings settings = connection("stale", "stale", "stale", "stale");
    LoadSettings(settings, m_path);
    QCOMPARE(fieldsOf(settings), expected);

    // Reading the file once must give what the nine single reads give.
    const auto read = [this](const char* section, const QString& key) {
        return ReadIniString(QString::fromLatin1(section), key, QString(), m_path, 256);
    };
    QStringList oneByOne{read("General", "LocalAET"), read("Worklist", "IP"),
                         read("Worklist", "AET"), read("Worklist", "Port")};
    for (int i = 1; i <= 5; ++i)
        oneByOne << read("Columns", QString::number(i));
    QCOMPARE(fieldsOf(settings), oneByOne);
}

void TestSettingsStore::saveSettings_data()
{
    QTest::addColumn<QByteArray>("original"); // null: no file
    QTest::addColumn<QStringList>("connectionFields");
    QTest::addColumn<QByteArray>("expected");

    const QStringList fields{"KELVARA", "10.0.0.5", "WLSERVER", "104"};
    const QByteArray newColumns("[Columns]\n1=2370\n2=7505\n3=2370\n4=7505\n5=1440\n");

    QTest::newRow("new file")
        << QByteArray() << fields
        << "[General]\nLocalAET=KELVARA\n\n[Worklist]\nIP=10.0.0.5\nAET=WLSERVER\nPort=104\n\n" +
               newColumns;
    QTest::newRow("new file, empty fields")
        << QByteArray() << QStringList(4, QString())
        << "[General]\nLocalAET=\n\n[Worklist]\nIP=\nAET=\nPort=\n\n" + newColumns;
    QTest::newRow("unknown sections, keys and comments kept")
        << QByteArray("; Kelvara\n[Display]\nTheme=dark\n\n[worklist]\n# server\nIP = 1.2.3.4\n"
                      "Timeout=30\nAET=OLD\n\n[General]\nLocalAET=\"KELVARA\"\n[Columns]\n"
                      "1=10\n2=20\n3=30\n4=40\n5=50\n6=60\n; end")
        << fields
        << QByteArray("; Kelvara\n[Display]\nTheme=dark\n\n[worklist]\n# server\nIP = 10.0.0.5\n"
                      "Timeout=30\nAET=WLSERVER\nPort=104\n\n[General]\nLocalAET=\"KELVARA\"\n"
                      "[Columns]\n1=2370\n2=7505\n3=2370\n4=7505\n5=1440\n6=60\n; end");
    QTest::newRow("file lacking Columns")
        << fullFile.left(fullFile.indexOf("[Columns]")) << fields
        << fullFile.left(fullFile.indexOf("[Columns]")) + '\n' + newColumns;
    QTest::newRow("CRLF file stays CRLF")
        << QByteArray("[General]\r\nLocalAET=A\r\n[Worklist]\r\nIP=B\r\n") << fields
        << QByteArray("[General]\r\nLocalAET=KELVARA\r\n[Worklist]\r\nIP=10.0.0.5\r\n"
                      "AET=WLSERVER\r\nPort=104\r\n\r\n[Columns]\r\n1=2370\r\n2=7505\r\n3=2370\r\n"
                      "4=7505\r\n5=1440\r\n");
    QTest::newRow("Windows-1252 file saved as UTF-8")
        << QByteArray("; Einstellungen f\xFCr Kelvara\n") + fullFile << fields
        << QByteArray("; Einstellungen f\xC3\xBCr Kelvara\n") +
               fullFile.left(fullFile.indexOf("[Columns]")) + newColumns;
}

void TestSettingsStore::saveSettings()
{
    QFETCH(QByteArray, original);
    QFETCH(QStringList, connectionFields);
    QFETCH(QByteArray, expected);

    if (!original.isNull())
        QVERIFY(writeAll(m_path, original));
    const AppSettings settings = connection(connectionFields[0], connectionFields[1],
                                            connectionFields[2], connectionFields[3]);
    QVERIFY(SaveSettings(settings, liveWidths, m_path));
    QCOMPARE(readAll(m_path), expected);
}

void TestSettingsStore::fractionalWidthReadsBack()
{
    QVERIFY(
        SaveSettings(connection("A", "B", "C", "D"), {1234.5, 0.25, 2370, 1e-3, 99999.9}, m_path));
    QVERIFY(readAll(m_path).contains("[Columns]\n1=1234,5\n2=0,25\n3=2370\n4=0,001\n5=99999,9\n"));
    AppSettings loaded;
    LoadSettings(loaded, m_path);
    QCOMPARE(loaded.ColumnWidths[0], QStringLiteral("1234,5"));
    QCOMPARE(::parseColumnWidth(loaded.ColumnWidths[0], QLocale()).value_or(-1), 1234.5);
    QCOMPARE(::parseColumnWidth(loaded.ColumnWidths[4], QLocale()).value_or(-1), double(99999.9f));
}

void TestSettingsStore::failedSaveKeepsOldFile_data()
{
    QTest::addColumn<int>("fault");

    QTest::newRow("read-only directory") << int(ReadOnlyDirectory);
    QTest::newRow("disk full (file size limit)") << int(FileSizeLimit);
    QTest::newRow("parent is a regular file") << int(ParentIsFile);
    QTest::newRow("directory in the file's place") << int(DirectoryInPlace);
    QTest::newRow("file not readable") << int(FileNotReadable);
}

// A failed save returns false and leaves the old file whole, with no temporary file left behind.
void TestSettingsStore::failedSaveKeepsOldFile()
{
    QFETCH(int, fault);

    const bool root = ::geteuid() == 0;
    if (root && (fault == ReadOnlyDirectory || fault == FileNotReadable))
        QSKIP("root ignores file permissions; the other rows make the save fail for root too");

    QString oldFile = m_path;
    QString target = m_path;
    if (fault == ParentIsFile) {
        oldFile = m_dir->filePath(QStringLiteral("notadir"));
        target = oldFile + QStringLiteral("/Settings.ini");
    }
    if (fault == DirectoryInPlace)
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("Settings.ini")));
    else
        QVERIFY(writeAll(oldFile, fullFile));

    const QByteArray dirName = QFile::encodeName(m_dir->path());
    const QByteArray fileName = QFile::encodeName(m_path);
    rlimit oldLimit{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &oldLimit), 0);
    const auto removeFault = [&] {
        ::setrlimit(RLIMIT_FSIZE, &oldLimit);
        ::chmod(dirName.constData(), 0700);
        ::chmod(fileName.constData(), 0600);
    };
    const auto guard = qScopeGuard(removeFault); // also when a check below fails
    if (fault == ReadOnlyDirectory)
        QCOMPARE(::chmod(dirName.constData(), 0555), 0);
    if (fault == FileNotReadable)
        QCOMPARE(::chmod(fileName.constData(), 0200), 0);
    if (fault == FileSizeLimit) {
        std::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails with EFBIG instead
        rlimit small = oldLimit;
        small.rlim_cur = 16;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    }

    const bool saved =
        SaveSettings(connection("NEW", "127.0.0.1", "OTHER", "4242"), liveWidths, target);
    removeFault();
    QVERIFY(!saved);
    if (fault == DirectoryInPlace)
        QVERIFY(QFileInfo(m_path).isDir());
    else
        QCOMPARE(readAll(oldFile), fullFile);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QFileInfo(oldFile).fileName()});
}

void TestSettingsStore::hostileFile_data()
{
    QTest::addColumn<QByteArray>("junk");

    QByteArray nuls(4096, '\0');
    nuls.replace(100, 6, QByteArray("\n=\0a\n[", 6));
    std::vector<quint32> words(10 * 1024 * 1024 / sizeof(quint32));
    QRandomGenerator(20240601).fillRange(words.data(), words.size());
    const QByteArray random(reinterpret_cast<const char*>(words.data()),
                            qsizetype(words.size() * sizeof(quint32)));

    QTest::newRow("NUL bytes") << nuls;
    QTest::newRow("1 MB line") << QByteArray(1024 * 1024, 'x');
    QTest::newRow("1 MB value") << "[Junk]\nlong=" + QByteArray(1024 * 1024, 'y');
    QTest::newRow("1 MB of line feeds") << QByteArray(1024 * 1024, '\n');
    QTest::newRow("broken UTF-8") << QByteArray("\xC3\n\xE2\x82\n\xED\xA0\x80\n\xF8\x88\x80");
    QTest::newRow("10 MB of random bytes") << random;
}

// Junk loads without harm, and a save keeps the keys it did not set.
void TestSettingsStore::hostileFile()
{
    QFETCH(QByteArray, junk);

    const QByteArray original = "[Keep]\nkept=yes\n" + junk + "\n[Tail]\nlast=1\n";
    QVERIFY(writeAll(m_path, original));

    AppSettings loaded;
    LoadSettings(loaded, m_path);
    QCOMPARE(fieldsOf(loaded), QStringList(9, QString()));

    const AppSettings settings = connection("KELVARA", "127.0.0.1", "WLSERVER", "104");
    QVERIFY(SaveSettings(settings, liveWidths, m_path));
    const QByteArray written = readAll(m_path);
    QVERIFY(isValidUtf8(written));
    if (isValidUtf8(original))
        QVERIFY(written.startsWith(original)); // untouched bytes, new sections after them

    LoadSettings(loaded, m_path);
    QCOMPARE(fieldsOf(loaded), (QStringList{"KELVARA", "127.0.0.1", "WLSERVER", "104", "2370",
                                            "7505", "2370", "7505", "1440"}));
    QCOMPARE(ReadIniString("Keep", "kept", "", m_path, 256), QStringLiteral("yes"));
    QCOMPARE(ReadIniString("Tail", "last", "", m_path, 256), QStringLiteral("1"));
}

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
