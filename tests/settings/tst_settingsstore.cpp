#include "settingslocation.h"
#include "settingsstore.h"
#include "testserver.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray fullFile("[General]\nLocalAET=KELVARA\n"
                          "[Worklist]\nIP=10.0.0.5\nAET=WLSERVER\nPort=104\n"
                          "[Columns]\n1=3000\n2=6000\n3=2500\n4=2500\n5=2000\n");

} // namespace

class TestSettingsStore final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void readIniStringDefault();
    void loadSettings_data();
    void loadSettings();
    void saveSettings_data();
    void saveSettings();
    void settingsLocation_data();
    void settingsLocation();
    void columnWidth_data();
    void columnWidth();

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

// A missing file or key gives the default, cut like a value.
void TestSettingsStore::readIniStringDefault()
{
    QVERIFY(TestServer::writeFile(m_path, "[W]\nB=1\n"));
    QCOMPARE(ReadIniString("W", "A", "fallback", m_path, 256), u"fallback");
    QCOMPARE(ReadIniString("W", "A", "fallback", m_path + "-none", 4), u"fal");
}

void TestSettingsStore::loadSettings_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("full file") << fullFile
                               << QStringList{"KELVARA", "10.0.0.5", "WLSERVER", "104", "3000",
                                              "6000",    "2500",     "2500",     "2000"};
    QTest::newRow("partial, garbled and odd values")
        << QByteArray("[columns]\r\n1=1234,5\r\n3=abc\r\n5=  \r\n[worklist]\r\nport=x\r\n")
        << QStringList{"", "", "", "x", "1234,5", "", "abc", "", ""};
    const QString smiley = QString::fromUtf8("\xF0\x9F\x98\x80"); // two UTF-16 units
    QTest::newRow("300 characters read as 255, a surrogate pair at the cut not split")
        << "[General]\nLocalAET=" + (QString(255, u'a') + QString(45, u'b')).toUtf8() +
               "\n[Worklist]\nIP=" + (QString(254, u'x') + smiley).toUtf8()
        << QStringList{QString(255, u'a'), QString(254, u'x'), "", "", "", "", "", "", ""};
}

void TestSettingsStore::loadSettings()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, expected);

    QVERIFY(TestServer::writeFile(m_path, content));
    AppSettings s{
        "stale", "stale", "stale", "stale", {"stale", "stale", "stale", "stale", "stale"}};
    LoadSettings(s, m_path);
    QCOMPARE(QStringList({s.LocalAET, s.IP, s.AET, s.Port}) +
                 QStringList(s.ColumnWidths.begin(), s.ColumnWidths.end()),
             expected);
}

// The whole file is compared: every line the program does not own stays byte for byte.
void TestSettingsStore::saveSettings_data()
{
    QTest::addColumn<QByteArray>("original"); // null: no file
    QTest::addColumn<QList<double>>("widths");
    QTest::addColumn<QByteArray>("expected");

    const QList<double> widths{2370, 7505, 2370, 7505, 1440};
    const QByteArray newFile(
        "[General]\nLocalAET=KELVARA\n\n[Worklist]\nIP=10.0.0.5\nAET=WLSERVER\nPort=104\n\n");
    QTest::newRow("new file") << QByteArray() << widths
                              << newFile + "[Columns]\n1=2370\n2=7505\n3=2370\n4=7505\n5=1440\n";
    // The user's locale is German (see initTestCase): its decimal comma, never a point.
    QTest::newRow("fractional widths in German")
        << QByteArray() << QList<double>{2370.5, 7505.25, 0.1, 1234567.5, 1440}
        << newFile + "[Columns]\n1=2370,5\n2=7505,25\n3=0,1\n4=1234568\n5=1440\n";
    QTest::newRow("unknown sections, keys and comments kept, Windows-1252 saved as UTF-8")
        << QByteArray(
               "; f\xFCr Kelvara\n[Display]\nTheme=dark\n\n[worklist]\n# server\nIP = 1.2.3.4\n"
               "Timeout=30\nAET=OLD\n\n[General]\nLocalAET=\"KELVARA\"\n[Columns]\n"
               "1=10\n2=20\n3=30\n4=40\n5=50\n6=60\n; end")
        << widths
        << QByteArray("; f\xC3\xBCr Kelvara\n[Display]\nTheme=dark\n\n[worklist]\n# server\nIP = "
                      "10.0.0.5\n"
                      "Timeout=30\nAET=WLSERVER\nPort=104\n\n[General]\nLocalAET=\"KELVARA\"\n"
                      "[Columns]\n1=2370\n2=7505\n3=2370\n4=7505\n5=1440\n6=60\n; end");
}

void TestSettingsStore::saveSettings()
{
    QFETCH(QByteArray, original);
    QFETCH(QList<double>, widths);
    QFETCH(QByteArray, expected);

    QVERIFY(original.isNull() || TestServer::writeFile(m_path, original));
    // Only the live widths are saved, never the ones read at start-up.
    const AppSettings settings{"KELVARA", "10.0.0.5", "WLSERVER", "104", {"9", "9", "9", "9", "9"}};
    QVERIFY(
        SaveSettings(settings, {widths[0], widths[1], widths[2], widths[3], widths[4]}, m_path));
    QCOMPARE(TestServer::readFile(m_path), QString::fromUtf8(expected));
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
    row("read-only, preset and user file", "prog", false, true, true, true, "user", "user");
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
               TestServer::writeFile(files[name], "; from " + name.toUtf8() +
                                                      "\n[Worklist]\nIP=" + name.toUtf8());
    };
    QVERIFY(put("prog") && (!preset || put("preset")) && (!userFile || put("user")));
    const QString presetBefore = TestServer::readFile(files["preset"]);
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
    QVERIFY(TestServer::readFile(files[writes])
                .startsWith("; from " + reads + "\n[Worklist]\nIP=10.0.0.9"));
    QCOMPARE(TestServer::readFile(files["preset"]), presetBefore); // only ever read
}

// Widths are written and read as single-precision numbers in the user's locale. A row with twips
// NaN only reads; parsed NaN means the text is refused.
void TestSettingsStore::columnWidth_data()
{
    QTest::addColumn<bool>("german");
    QTest::addColumn<double>("twips");
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("parsed");

    const double no = qQNaN();
    QTest::newRow("whole number") << true << 2370.0 << "2370" << 2370.0;
    QTest::newRow("German fraction") << true << 1234.5 << "1234,5" << 1234.5;
    QTest::newRow("English fraction") << false << 1234.5 << "1234.5" << 1234.5;
    QTest::newRow("seven digits, no group separator")
        << true << 1234567.891 << "1234568" << 1234568.0;
    QTest::newRow("single precision") << true << 0.1 << "0,1" << double(0.1f);
    QTest::newRow("large, no exponent") << false << 123456789.0 << "123456800" << 123456800.0;
    QTest::newRow("small, no exponent")
        << false << 0.0000123456789 << "0.00001234568" << double(0.00001234568f);
    QTest::newRow("negative zero") << true << -0.0 << "0" << 0.0;
    QTest::newRow("infinity") << true << qInf() << "" << no;
    QTest::newRow("beyond single precision") << true << 1e39 << "" << no;
    QTest::newRow("German group separator") << true << no << "1.234" << no;
    QTest::newRow("trailing junk") << true << no << "12px" << no;
    QTest::newRow("negative") << true << no << "-5" << no;
    QTest::newRow("infinity text") << false << no << "inf" << no;
    QTest::newRow("exponent beyond single precision") << false << no << "1e39" << no;
}

void TestSettingsStore::columnWidth()
{
    QFETCH(bool, german);
    QFETCH(double, twips);
    QFETCH(QString, text);
    QFETCH(double, parsed);

    const QLocale locale = german ? QLocale(QLocale::German, QLocale::Germany)
                                  : QLocale(QLocale::English, QLocale::UnitedStates);
    if (!qIsNaN(twips))
        QCOMPARE(formatColumnWidth(twips, locale), text);
    QCOMPARE(parseColumnWidth(text, locale).value_or(qQNaN()), parsed);
}

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
