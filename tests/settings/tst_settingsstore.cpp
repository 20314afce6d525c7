#include "settingsstore.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray fullFile("[General]\nLocalAET=KELVARA\n"
                          "[Worklist]\nIP=10.0.0.5\nAET=WLSERVER\nPort=104\n"
                          "[Columns]\n1=3000\n2=6000\n3=2500\n4=2500\n5=2000\n");
const QByteArray withoutColumns = fullFile.left(fullFile.indexOf("[Columns]"));

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
    AppSettings settings{localAet, ip, aet, port, {}};
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
    void germanWidthsReadBack();

private:
    QTemporaryDir m_dir;
    QString m_path;
};

void TestSettingsStore::initTestCase()
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    QVERIFY(m_dir.isValid());
    m_path = m_dir.filePath(QStringLiteral("Settings.ini"));
}

void TestSettingsStore::init()
{
    QFile::remove(m_path);
}

void TestSettingsStore::readIniString_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("defaultValue");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("expected");

    const auto row = [](const char* name, const QByteArray& content, const char* section,
                        const char* key, const char* defaultValue, int size,
                        const QString& expected) {
        QTest::newRow(name) << content << QString::fromLatin1(section) << QString::fromLatin1(key)
                            << QString::fromLatin1(defaultValue) << size << expected;
    };
    const QString longValue = QString(100, u'a') + QString(100, u'b') + QString(100, u'c');
    const QString smiley = QString::fromUtf8("\xF0\x9F\x98\x80"); // two UTF-16 units

    row("no file", {}, "General", "LocalAET", "", 256, "");
    row("missing section", fullFile, "Other", "LocalAET", "", 256, "");
    row("missing key", fullFile, "General", "IP", "", 256, "");
    row("names ignore case", fullFile, "WORKLIST", "aet", "", 256, "WLSERVER");
    row("300 characters read as the first 255", "[W]\nA=" + longValue.toUtf8() + '\n', "W", "A", "",
        256, longValue.left(255));
    row("surrogate pair at the cut not split", "[W]\nA=" + (QString(254, u'x') + smiley).toUtf8(),
        "W", "A", "", 256, QString(254, u'x'));
    row("default cut as well", {}, "General", "None", "fallback", 4, "fal");
    row("negative size", fullFile, "Worklist", "Port", "", -5, "");
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

    QTest::newRow("no file") << QByteArray() << QStringList(9, QString());
    QTest::newRow("full file") << fullFile
                               << QStringList{"KELVARA", "10.0.0.5", "WLSERVER", "104", "3000",
                                              "6000",    "2500",     "2500",     "2000"};
    QTest::newRow("lacking only Columns")
        << withoutColumns
        << QStringList{"KELVARA", "10.0.0.5", "WLSERVER", "104", "", "", "", "", ""};
    QTest::newRow("partial, garbled and odd values")
        << QByteArray("[columns]\r\n1=1234,5\r\n3=abc\r\n5=  \r\n[worklist]\r\nport=x\r\n")
        << QStringList{"", "", "", "x", "1234,5", "", "abc", "", ""};
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
}

// The whole file is compared: every line the program does not own stays byte for byte.
void TestSettingsStore::saveSettings_data()
{
    QTest::addColumn<QByteArray>("original"); // null: no file
    QTest::addColumn<QByteArray>("expected");

    const QByteArray newColumns("[Columns]\n1=2370\n2=7505\n3=2370\n4=7505\n5=1440\n");
    QTest::newRow("new file")
        << QByteArray()
        << "[General]\nLocalAET=KELVARA\n\n[Worklist]\nIP=10.0.0.5\nAET=WLSERVER\nPort=104\n\n" +
               newColumns;
    QTest::newRow("unknown sections, keys and comments kept")
        << QByteArray("; Kelvara\n[Display]\nTheme=dark\n\n[worklist]\n# server\nIP = 1.2.3.4\n"
                      "Timeout=30\nAET=OLD\n\n[General]\nLocalAET=\"KELVARA\"\n[Columns]\n"
                      "1=10\n2=20\n3=30\n4=40\n5=50\n6=60\n; end")
        << QByteArray("; Kelvara\n[Display]\nTheme=dark\n\n[worklist]\n# server\nIP = 10.0.0.5\n"
                      "Timeout=30\nAET=WLSERVER\nPort=104\n\n[General]\nLocalAET=\"KELVARA\"\n"
                      "[Columns]\n1=2370\n2=7505\n3=2370\n4=7505\n5=1440\n6=60\n; end");
    QTest::newRow("CRLF file stays CRLF")
        << QByteArray("[General]\r\nLocalAET=A\r\n[Worklist]\r\nIP=B\r\n")
        << QByteArray("[General]\r\nLocalAET=KELVARA\r\n[Worklist]\r\nIP=10.0.0.5\r\n"
                      "AET=WLSERVER\r\nPort=104\r\n\r\n[Columns]\r\n1=2370\r\n2=7505\r\n3=2370\r\n"
                      "4=7505\r\n5=1440\r\n");
    QTest::newRow("Windows-1252 file saved as UTF-8")
        << QByteArray("; Einstellungen f\xFCr Kelvara\n") + fullFile
        << QByteArray("; Einstellungen f\xC3\xBCr Kelvara\n") + withoutColumns + newColumns;
}

void TestSettingsStore::saveSettings()
{
    QFETCH(QByteArray, original);
    QFETCH(QByteArray, expected);

    if (!original.isNull())
        QVERIFY(writeAll(m_path, original));
    QVERIFY(SaveSettings(connection("KELVARA", "10.0.0.5", "WLSERVER", "104"),
                         {2370, 7505, 2370, 7505, 1440}, m_path));
    QCOMPARE(readAll(m_path), expected);
}

// With a German locale widths are written with a decimal comma and read back the same way.
void TestSettingsStore::germanWidthsReadBack()
{
    QVERIFY(
        SaveSettings(connection("A", "B", "C", "D"), {1234.5, 0.25, 2370, 1e-3, 99999.9}, m_path));
    QVERIFY(readAll(m_path).contains("[Columns]\n1=1234,5\n2=0,25\n3=2370\n4=0,001\n5=99999,9\n"));
    AppSettings loaded;
    LoadSettings(loaded, m_path);
    QCOMPARE(loaded.ColumnWidths[0], QStringLiteral("1234,5"));
    QCOMPARE(::parseColumnWidth(loaded.ColumnWidths[0], QLocale()).value_or(-1), 1234.5);
}

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
