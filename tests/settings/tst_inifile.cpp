#include "inifile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

struct Assignment
{
    QString section;
    QString key;
    QString value;
};
using Assignments = QList<Assignment>;

QString utf8(const char* text)
{
    return QString::fromUtf8(text);
}

} // namespace

Q_DECLARE_METATYPE(Assignments)

class TestIniFile final : public QObject
{
    Q_OBJECT

private slots:
    void readValue_data();
    void readValue();
    void setValue_data();
    void setValue();
    void valueReadsBack_data();
    void valueReadsBack();
    void rejectsUnwritableNames_data();
    void rejectsUnwritableNames();
    void loadResult_data();
    void loadResult();
};

void TestIniFile::readValue_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("expected");

    const QString w = QStringLiteral("W");
    const QString a = QStringLiteral("A");
    QTest::newRow("plain") << QByteArray("[W]\nA=1\n") << w << a << true << "1";
    QTest::newRow("names ignore case") << QByteArray("[worklist]\nlocalaet=KELV\n") << "WORKLIST"
                                       << "LocalAET" << true << "KELV";
    QTest::newRow("blanks around names and value")
        << QByteArray("  [ W ]  \n\t A  =   x y \t\n") << w << a << true << "x y";
    QTest::newRow("one pair of quotes removed")
        << QByteArray("[W]\nA = \"\"x\"\" \n") << w << a << true << "\"x\"";
    QTest::newRow("quotes inside kept")
        << QByteArray("[W]\nA=\"  p \"") << w << a << true << "  p ";
    QTest::newRow("lone quote kept") << QByteArray("[W]\nA=\"x\n") << w << a << true << "\"x";
    QTest::newRow("equals sign in value") << QByteArray("[W]\nA=b=c\n") << w << a << true << "b=c";
    QTest::newRow("empty value") << QByteArray("[W]\nA=\n") << w << a << true << "";
    QTest::newRow("first section wins")
        << QByteArray("[W]\nA=1\n[w]\nA=2\nB=3\n") << w << "B" << false << "";
    QTest::newRow("first key wins") << QByteArray("[W]\nA=1\na=2\n") << w << a << true << "1";
    QTest::newRow("key before any section") << QByteArray("A=1\n[W]\n") << w << a << false << "";
    QTest::newRow("key of another section")
        << QByteArray("[X]\nA=1\n[W]\n") << w << a << false << "";
    QTest::newRow("missing section") << QByteArray("[X]\nA=1\n") << w << a << false << "";
    QTest::newRow("missing key") << QByteArray("[W]\nB=1\n") << w << a << false << "";
    QTest::newRow("empty file") << QByteArray() << w << a << false << "";
    QTest::newRow("comments are not keys")
        << QByteArray("[W]\n;A=1\n  #A=2\nA=3\n") << w << a << true << "3";
    QTest::newRow("header without bracket starts no section")
        << QByteArray("[W\nA=1\n") << w << a << false << "";
    QTest::newRow("CRLF") << QByteArray("[W]\r\nA=1\r\n") << w << a << true << "1";
    QTest::newRow("stray CR before CRLF")
        << QByteArray("[W]\r\nA=1\r\r\n") << w << a << true << "1";
    QTest::newRow("last line without newline") << QByteArray("[W]\nA=1") << w << a << true << "1";
    QTest::newRow("UTF-8 byte order mark")
        << QByteArray("\xEF\xBB\xBF[W]\nA=1\n") << w << a << true << "1";
    QTest::newRow("UTF-8 umlauts")
        << QByteArray("[W]\nA=M\xC3\xBCller\n") << w << a << true << utf8("Müller");
    QTest::newRow("Windows-1252 umlauts") << QByteArray("[W]\nA=M\xFCller \x80 \x84\x93\x9F\n") << w
                                          << a << true << utf8("Müller € „“Ÿ");
    QTest::newRow("NUL bytes on other lines")
        << QByteArray("[W]\n\0\0=\0\nA=1\n", 13) << w << a << true << "1";
}

void TestIniFile::readValue()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(bool, found);
    QFETCH(QString, expected);

    const std::optional<QString> value = IniFile(content).value(section, key);
    QCOMPARE(value.has_value(), found);
    if (found)
        QCOMPARE(*value, expected);
}

void TestIniFile::setValue_data()
{
    QTest::addColumn<QByteArray>("original");
    QTest::addColumn<Assignments>("assignments");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("new file in the order set")
        << QByteArray()
        << Assignments{{"General", "LocalAET", "K"},
                       {"Worklist", "IP", "h"},
                       {"Worklist", "AET", "S"}}
        << QByteArray("[General]\nLocalAET=K\n\n[Worklist]\nIP=h\nAET=S\n");
    QTest::newRow("replaced in place, key spelling and neighbours kept")
        << QByteArray("; top\n[general]\n  localaet = OLD  \nOther=x\n")
        << Assignments{{"General", "LocalAET", "NEW"}}
        << QByteArray("; top\n[general]\n  localaet = NEW\nOther=x\n");
    QTest::newRow("same value leaves the line alone")
        << QByteArray("[W]\nA = \"SRV\"   \n") << Assignments{{"W", "A", "SRV"}}
        << QByteArray("[W]\nA = \"SRV\"   \n");
    QTest::newRow("missing key after the section's last key")
        << QByteArray("[W]\nA=1\n; note\n\n[X]\nB=2\n") << Assignments{{"W", "C", "3"}}
        << QByteArray("[W]\nA=1\nC=3\n; note\n\n[X]\nB=2\n");
    QTest::newRow("missing key in an empty section")
        << QByteArray("[W]\n[X]\n") << Assignments{{"W", "A", "1"}}
        << QByteArray("[W]\nA=1\n[X]\n");
    QTest::newRow("missing section at the end")
        << QByteArray("[X]\nB=2\n") << Assignments{{"W", "A", "1"}}
        << QByteArray("[X]\nB=2\n\n[W]\nA=1\n");
    QTest::newRow("blank last line not doubled")
        << QByteArray("[X]\nB=2\n\n") << Assignments{{"W", "A", "1"}}
        << QByteArray("[X]\nB=2\n\n[W]\nA=1\n");
    QTest::newRow("no final newline, key added")
        << QByteArray("[W]\nA=1") << Assignments{{"W", "B", "2"}} << QByteArray("[W]\nA=1\nB=2");
    QTest::newRow("no final newline, section added")
        << QByteArray("[W]\nA=1") << Assignments{{"X", "C", "3"}}
        << QByteArray("[W]\nA=1\n\n[X]\nC=3\n");
    QTest::newRow("CRLF file stays CRLF")
        << QByteArray("[W]\r\nA=1\r\n")
        << Assignments{{"W", "A", "2"}, {"W", "B", "3"}, {"X", "C", "4"}}
        << QByteArray("[W]\r\nA=2\r\nB=3\r\n\r\n[X]\r\nC=4\r\n");
    QTest::newRow("mixed endings: each line keeps its own, new ones follow the majority")
        << QByteArray("[W]\r\nA=1\r\nB=2\n") << Assignments{{"W", "B", "5"}, {"W", "C", "3"}}
        << QByteArray("[W]\r\nA=1\r\nB=5\nC=3\r\n");
    QTest::newRow("blanks and quotes at the ends are quoted")
        << QByteArray() << Assignments{{"W", "A", "  x "}, {"W", "B", "\"q\""}}
        << QByteArray("[W]\nA=\"  x \"\nB=\"\"q\"\"\n");
    QTest::newRow("line breaks become blanks")
        << QByteArray("[W]\nA=1\n") << Assignments{{"W", "A", "x\nB=2\r\n[X]"}}
        << QByteArray("[W]\nA=x B=2  [X]\n");
    QTest::newRow("first section of a name is written")
        << QByteArray("[W]\nA=1\n[w]\nA=2\n") << Assignments{{"W", "A", "3"}}
        << QByteArray("[W]\nA=3\n[w]\nA=2\n");
    QTest::newRow("byte order mark kept")
        << QByteArray("\xEF\xBB\xBF[W]\nA=1\n") << Assignments{{"W", "A", "2"}}
        << QByteArray("\xEF\xBB\xBF[W]\nA=2\n");
    QTest::newRow("Windows-1252 file written as UTF-8 with the same text")
        << QByteArray("; Gr\xFC\xDF"
                      "e\n[W]\nA=M\xFCller\n")
        << Assignments{{"W", "B", "x"}}
        << QByteArray("; Gr\xC3\xBC\xC3\x9F"
                      "e\n[W]\nA=M\xC3\xBCller\nB=x\n");
}

void TestIniFile::setValue()
{
    QFETCH(QByteArray, original);
    QFETCH(Assignments, assignments);
    QFETCH(QByteArray, expected);

    IniFile ini(original);
    for (const Assignment& a : assignments)
        QVERIFY(ini.setValue(a.section, a.key, a.value));
    QCOMPARE(ini.toBytes(), expected);
}

void TestIniFile::valueReadsBack_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain") << "WLSERVER"
                           << "WLSERVER";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("blanks at the ends") << "  padded\t"
                                        << "  padded\t";
    QTest::newRow("quoted") << "\"quoted\""
                            << "\"quoted\"";
    QTest::newRow("lone quote") << "\""
                                << "\"";
    QTest::newRow("looks like a key") << "a=b"
                                      << "a=b";
    QTest::newRow("looks like a section") << "[Worklist]"
                                          << "[Worklist]";
    QTest::newRow("comment character") << ";x"
                                       << ";x";
    QTest::newRow("non-Latin") << utf8("Grüße € 😀 日本") << utf8("Grüße € 😀 日本");
    QTest::newRow("LF") << "x\ninjected=1"
                        << "x injected=1";
    QTest::newRow("CRLF") << "x\r\ninjected=1"
                          << "x  injected=1";
    QTest::newRow("CR") << "x\rinjected=1"
                        << "x injected=1";
    QTest::newRow("NUL") << QStringView(u"x\0y", 3).toString() << "x y";
}

// A value set and read back, also after a save and a fresh read, and it never adds a key.
void TestIniFile::valueReadsBack()
{
    QFETCH(QString, value);
    QFETCH(QString, expected);

    IniFile ini(QByteArray("[W]\nA=old\nB=keep\n"));
    QVERIFY(ini.setValue(QStringLiteral("W"), QStringLiteral("A"), value));
    const IniFile reread(ini.toBytes());
    for (const IniFile* file : std::initializer_list<const IniFile*>{&ini, &reread}) {
        QCOMPARE(file->value(u"W", u"A").value_or(QStringLiteral("<missing>")), expected);
        QCOMPARE(file->value(u"W", u"B").value_or(QStringLiteral("<missing>")),
                 QStringLiteral("keep"));
        QVERIFY(!file->value(u"W", u"injected"));
    }
    QCOMPARE(ini.toBytes().count('\n'), 3);
}

void TestIniFile::rejectsUnwritableNames_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");

    QTest::newRow("empty section") << ""
                                   << "A";
    QTest::newRow("empty key") << "W"
                               << "";
    QTest::newRow("line break in section") << "W]\n[X"
                                           << "A";
    QTest::newRow("line break in key") << "W"
                                       << "A\nB";
    QTest::newRow("bracket in section") << "W]"
                                        << "A";
    QTest::newRow("equals in key") << "W"
                                   << "A=B";
    QTest::newRow("key like a section") << "W"
                                        << "[A";
    QTest::newRow("key like a comment") << "W"
                                        << ";A";
    QTest::newRow("blank at the end of a key") << "W"
                                               << "A ";
    QTest::newRow("blank at the start of a section") << " W"
                                                     << "A";
}

void TestIniFile::rejectsUnwritableNames()
{
    QFETCH(QString, section);
    QFETCH(QString, key);

    const QByteArray original("[W]\nA=1\n");
    IniFile ini(original);
    QVERIFY(!ini.setValue(section, key, QStringLiteral("x")));
    QCOMPARE(ini.toBytes(), original);
}

void TestIniFile::loadResult_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("expected");

    QTest::newRow("regular file") << "file" << int(IniFile::LoadResult::Loaded);
    QTest::newRow("no file") << "none" << int(IniFile::LoadResult::Missing);
    QTest::newRow("directory") << "directory" << int(IniFile::LoadResult::Unreadable);
    QTest::newRow("FIFO, which must not block") << "fifo" << int(IniFile::LoadResult::Unreadable);
}

void TestIniFile::loadResult()
{
    QFETCH(QString, kind);
    QFETCH(int, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("Settings.ini"));
    if (kind == u"file") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[W]\nA=1\n");
    } else if (kind == u"directory") {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Settings.ini")));
    } else if (kind == u"fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    }

    IniFile ini(QByteArray("[W]\nA=stale\n"));
    QCOMPARE(int(ini.load(path)), expected);
    const std::optional<QString> value = ini.value(u"W", u"A");
    QCOMPARE(value.value_or(QString()),
             kind == u"file" ? QStringLiteral("1") : QString()); // nothing stale survives
}

QTEST_GUILESS_MAIN(TestIniFile)
#include "tst_inifile.moc"
