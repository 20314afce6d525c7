#include "inifile.h"

#include <QTest>

using Assignments = QList<QStringList>; // section, key, value[, "refused"]

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
};

// Every row asks for key A of section W; a null expected value means "not found".
void TestIniFile::readValue_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");

    const QString none;
    QTest::newRow("names ignore case") << QByteArray("[w]\na=KELV\n") << "KELV";
    QTest::newRow("blanks around names and value")
        << QByteArray("  [ W ]  \n\t A  =   x y \t\n") << "x y";
    QTest::newRow("one pair of quotes removed") << QByteArray("[W]\nA = \"\"x\"\" \n") << "\"x\"";
    QTest::newRow("first section wins") << QByteArray("[X]\n[W]\nB=1\n[w]\nA=2\n") << none;
    QTest::newRow("first key wins") << QByteArray("[W]\nA=1\na=2\n") << "1";
    QTest::newRow("key before any section") << QByteArray("A=1\n[W]\n") << none;
    QTest::newRow("comments are not keys") << QByteArray("[W]\n;A=1\n  #A=2\nA=3\n") << "3";
    QTest::newRow("header without bracket") << QByteArray("[W\nA=1\n") << none;
    QTest::newRow("stray CR before CRLF") << QByteArray("[W]\r\nA=1\r\r\n") << "1";
    QTest::newRow("last line without newline") << QByteArray("[W]\nA=1") << "1";
    QTest::newRow("UTF-8 byte order mark") << QByteArray("\xEF\xBB\xBF[W]\nA=1\n") << "1";
    QTest::newRow("Windows-1252") << QByteArray("[W]\nA=M\xFCller \x80 \x84\x93\x9F\n")
                                  << QString::fromUtf8("Müller € „“Ÿ");
    QTest::newRow("NUL bytes on other lines") << QByteArray("[W]\n\0\0=\0\nA=1\n", 13) << "1";
}

void TestIniFile::readValue()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);

    const std::optional<QString> value = IniFile(content).value(u"W", u"A");
    QCOMPARE(value.has_value(), !expected.isNull());
    if (value)
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
    QTest::newRow("missing key in an empty section, section after a blank last line")
        << QByteArray("[W]\n[X]\nB=2\n\n") << Assignments{{"W", "A", "1"}, {"Y", "C", "3"}}
        << QByteArray("[W]\nA=1\n[X]\nB=2\n\n[Y]\nC=3\n");
    QTest::newRow("no final newline, key and section added")
        << QByteArray("[W]\nA=1") << Assignments{{"W", "B", "2"}, {"X", "C", "3"}}
        << QByteArray("[W]\nA=1\nB=2\n\n[X]\nC=3\n");
    QTest::newRow("CRLF file stays CRLF")
        << QByteArray("[W]\r\nA=1\r\n")
        << Assignments{{"W", "A", "2"}, {"W", "B", "3"}, {"X", "C", "4"}}
        << QByteArray("[W]\r\nA=2\r\nB=3\r\n\r\n[X]\r\nC=4\r\n");
    QTest::newRow("mixed endings: each line keeps its own, new ones follow the majority")
        << QByteArray("[W]\r\nA=1\r\nB=2\n") << Assignments{{"W", "B", "5"}, {"W", "C", "3"}}
        << QByteArray("[W]\r\nA=1\r\nB=5\nC=3\r\n");
    QTest::newRow("byte order mark kept")
        << QByteArray("\xEF\xBB\xBF[W]\nA=1\n") << Assignments{{"W", "A", "2"}}
        << QByteArray("\xEF\xBB\xBF[W]\nA=2\n");
    QTest::newRow("Windows-1252 file written as UTF-8 with the same text")
        << QByteArray("; Gr\xFC\xDF"
                      "e\n[W]\nA=M\xFCller\n")
        << Assignments{{"W", "B", "x"}}
        << QByteArray("; Gr\xC3\xBC\xC3\x9F"
                      "e\n[W]\nA=M\xC3\xBCller\nB=x\n");
    // Names an INI file cannot hold are refused and leave the file as it was.
    QTest::newRow("unwritable names")
        << QByteArray("[W]\nA=1\n")
        << Assignments{{"", "A", "x", "refused"},    {"W]\n[X", "A", "x", "refused"},
                       {"W]", "A", "x", "refused"},  {"W", "A\nB", "x", "refused"},
                       {"W", "A=B", "x", "refused"}, {"W", ";A", "x", "refused"},
                       {"W", "A ", "x", "refused"}}
        << QByteArray("[W]\nA=1\n");
}

void TestIniFile::setValue()
{
    QFETCH(QByteArray, original);
    QFETCH(Assignments, assignments);
    QFETCH(QByteArray, expected);

    IniFile ini(original);
    for (const QStringList& a : assignments)
        QVERIFY2(ini.setValue(a[0], a[1], a[2]) == (a.size() == 3), qPrintable(a.join(u'|')));
    QCOMPARE(ini.toBytes(), expected);
}

void TestIniFile::valueReadsBack_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expected");

    const QString same; // reads back as set
    QTest::newRow("empty") << QString() << QString("");
    QTest::newRow("blanks at the ends") << "  padded\t" << same;
    QTest::newRow("quoted") << "\"quoted\"" << same;
    QTest::newRow("lone quote") << "\"" << same;
    QTest::newRow("looks like a key") << "a=b" << same;
    QTest::newRow("non-Latin") << QString::fromUtf8("Grüße € 😀 日本") << same;
    QTest::newRow("CRLF") << "x\r\ninjected=1"
                          << "x  injected=1";
    QTest::newRow("NUL") << QStringView(u"x\0y", 3).toString() << "x y";
}

// A value set and read back, also after a fresh read of the bytes, and it never adds a key.
void TestIniFile::valueReadsBack()
{
    QFETCH(QString, value);
    QFETCH(QString, expected);
    if (expected.isNull())
        expected = value;

    IniFile ini(QByteArray("[W]\nA=old\nB=keep\n"));
    QVERIFY(ini.setValue(QStringLiteral("W"), QStringLiteral("A"), value));
    const IniFile reread(ini.toBytes());
    for (const IniFile* file : std::initializer_list<const IniFile*>{&ini, &reread}) {
        QCOMPARE(file->value(u"W", u"A").value_or(QStringLiteral("<missing>")), expected);
        QCOMPARE(file->value(u"W", u"B").value_or(QStringLiteral("<missing>")), u"keep");
        QVERIFY(!file->value(u"W", u"injected"));
    }
    QCOMPARE(ini.toBytes().count('\n'), 3);
}

QTEST_GUILESS_MAIN(TestIniFile)
#include "tst_inifile.moc"
