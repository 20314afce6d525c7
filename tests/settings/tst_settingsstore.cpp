#include "settingslocation.h"
#include "settingsstore.h"

#include <QDir>
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
    void settingsLocation_data();
    void settingsLocation();

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

// Which file is read and which written, for each way the program can be installed. Every file
// that exists names itself in IP; the preset also carries a comment that a user's first file keeps.
void TestSettingsStore::settingsLocation_data()
{
    QTest::addColumn<QString>("programDir"); // inside the test folder
    QTest::addColumn<bool>("writable");
    QTest::addColumn<bool>("preset");
    QTest::addColumn<bool>("userFile");
    QTest::addColumn<bool>("xdgSet"); // else the user's file is in $HOME/.config
    QTest::addColumn<QString>("reads");
    QTest::addColumn<QString>("writes");

    const auto row = [](const char* name, const char* dir, bool writable, bool preset,
                        bool userFile, bool xdgSet, const char* reads, const char* writes) {
        QTest::newRow(name) << dir << writable << preset << userFile << xdgSet << reads << writes;
    };
    row("writable folder", "prog", true, true, true, true, "prog", "prog");
    row("writable bin folder", "bin", true, true, false, true, "preset", "user");
    row("read-only, only the program's file", "prog", false, false, false, true, "prog", "user");
    row("read-only, preset", "prog", false, true, false, true, "preset", "user");
    row("read-only, user file", "prog", false, false, true, true, "user", "user");
    row("read-only, preset and user file", "prog", false, true, true, true, "user", "user");
    row("unset XDG_CONFIG_HOME, preset", "prog", false, true, false, false, "preset", "user");
    row("unset XDG_CONFIG_HOME, user file", "prog", false, true, true, false, "user", "user");
}

void TestSettingsStore::settingsLocation()
{
    QFETCH(QString, programDir);
    QFETCH(bool, writable);
    QFETCH(bool, preset);
    QFETCH(bool, userFile);
    QFETCH(bool, xdgSet);
    QFETCH(QString, reads);
    QFETCH(QString, writes);

    QTemporaryDir root;
    const QString configDir = root.filePath(xdgSet ? "xdg" : "home/.config");
    const QMap<QString, QString> files{{"prog", root.filePath(programDir + "/Settings.ini")},
                                       {"preset", root.filePath("etc/kelvara/Settings.ini")},
                                       {"user", configDir + "/kelvara/Settings.ini"}};
    const auto put = [&files](const QString& name) {
        return QDir().mkpath(QFileInfo(files[name]).path()) &&
               writeAll(files[name],
                        "; from " + name.toUtf8() + "\n[Worklist]\nIP=" + name.toUtf8());
    };
    QVERIFY(put("prog") && (!preset || put("preset")) && (!userFile || put("user")));
    const QByteArray presetBefore = readAll(files["preset"]);
    SettingsPlaces places{root.filePath(programDir), writable, xdgSet ? configDir : QString(),
                          root.filePath("home"), files["preset"]};
    const SettingsLocation location = resolveSettingsLocation(places);
    QCOMPARE(location.readFrom, files[reads]);
    QCOMPARE(location.writeTo, files[writes]);

    AppSettings settings;
    LoadSettings(settings, location.readFrom);
    QCOMPARE(settings.IP, reads);
    settings.IP = QStringLiteral("10.0.0.9");
    QVERIFY(SaveSettings(settings, {1, 2, 3, 4, 5}, location.writeTo, location.readFrom));
    QVERIFY(readAll(files[writes])
                .startsWith("; from " + reads.toUtf8() + "\n[Worklist]\nIP=10.0.0.9"));
    QCOMPARE(readAll(files["preset"]), presetBefore); // only ever read
}

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
