#include "rowreader.h"
#include "uid.h"
#include "worklistidentifier.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcostrmb.h>
#include <dcmtk/dcmdata/dcsequen.h>

namespace {

// A data set with the given raw (already encoded) values; an empty QByteArray leaves the
// attribute out, so each row says only what it is about.
struct Entry
{
    QByteArray charset, name, id = "P1", birth = "19501205", step = "Step", study,
                              requested = "Req", uid = "1.2.3";
    bool withSteps = true;
};

std::unique_ptr<DcmDataset> makeDataset(const Entry& e)
{
    auto ds = std::make_unique<DcmDataset>();
    const auto put = [](DcmItem& item, const DcmTagKey& key, const QByteArray& value) {
        if (!value.isNull())
            item.putAndInsertString(key, value.constData());
    };
    put(*ds, DCM_SpecificCharacterSet, e.charset);
    put(*ds, DCM_PatientName, e.name);
    put(*ds, DCM_PatientID, e.id);
    put(*ds, DCM_PatientBirthDate, e.birth);
    put(*ds, DCM_StudyDescription, e.study);
    put(*ds, DCM_RequestedProcedureDescription, e.requested);
    put(*ds, DCM_StudyInstanceUID, e.uid);
    if (e.withSteps) {
        auto* first = new DcmItem;
        put(*first, DCM_ScheduledProcedureStepDescription, e.step);
        auto* second = new DcmItem;
        second->putAndInsertString(DCM_ScheduledProcedureStepDescription, "Second");
        auto* seq = new DcmSequenceOfItems(DCM_ScheduledProcedureStepSequence);
        seq->append(first);
        seq->append(second);
        ds->insert(seq);
    }
    return ds;
}

} // namespace

Q_DECLARE_METATYPE(Entry)

class TestRowReader final : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); }

    void cells_data();
    void cells();
    void germanDateHasFourDigitYear();
    void oneReaderReadsEachRowAsAFreshOne();
    void garbageBytesNeverCrash();
    void uidsAreUuidDerived();
    void identifierAsksForTheWholeDay();
};

void TestRowReader::cells_data()
{
    QTest::addColumn<Entry>("entry");
    QTest::addColumn<QStringList>("expected"); // id, name, birth, step, study, key

    const QByteArray muellerLatin1 = QByteArray("M\xFCller^J\xFCrgen");
    const QByteArray muellerUtf8 = QString::fromUtf8("Müller^Jürgen").toUtf8();
    const QString muellerShown = QString::fromUtf8(" Müller Jürgen");

    Entry latin1;
    latin1.charset = "ISO_IR 100";
    latin1.name = muellerLatin1;
    QTest::newRow("ISO_IR 100 umlauts")
        << latin1 << QStringList{"P1", muellerShown, "05.12.1950", "Step", "Req", "1.2.3"};

    Entry utf8;
    utf8.charset = "ISO_IR 192";
    utf8.name = muellerUtf8;
    QTest::newRow("ISO_IR 192 umlauts")
        << utf8 << QStringList{"P1", muellerShown, "05.12.1950", "Step", "Req", "1.2.3"};

    Entry undeclaredLatin1;
    undeclaredLatin1.name = muellerLatin1;
    QTest::newRow("no charset, Latin-1 bytes")
        << undeclaredLatin1
        << QStringList{"P1", muellerShown, "05.12.1950", "Step", "Req", "1.2.3"};

    Entry undeclaredUtf8;
    undeclaredUtf8.name = muellerUtf8;
    QTest::newRow("no charset, UTF-8 bytes")
        << undeclaredUtf8 << QStringList{"P1", muellerShown, "05.12.1950", "Step", "Req", "1.2.3"};

    Entry badUtf8;
    badUtf8.charset = "ISO_IR 192";
    badUtf8.name = muellerLatin1; // not UTF-8 although declared so
    QTest::newRow("undecodable name stays empty, rest filled")
        << badUtf8 << QStringList{"P1", "", "05.12.1950", "Step", "Req", "1.2.3"};

    // A cell keeps 1024 characters, marked as cut; a UTF-8 character is never split; a key
    // too long for a UID is no key at all (a cut one would name another entry).
    const QString cut = QString(1023, u'\u00fc') + QChar(0x2026);
    Entry huge;
    huge.charset = "ISO_IR 192";
    huge.name = QString(1 << 20, u'\u00fc').toUtf8();
    huge.id = QByteArray(1025, '7');
    huge.step = QByteArray(4097, 's');
    huge.uid = QByteArray(1025, '1');
    QTest::newRow("huge values cut to 1024 characters")
        << huge
        << QStringList{QString(1024, u'7') + QChar(0x2026),
                       QLatin1Char(' ') + cut,
                       "05.12.1950",
                       QString(1024, u's') + QChar(0x2026),
                       "Req",
                       ""};

    Entry brokenEscape;
    brokenEscape.charset = "\\ISO 2022 IR 87";
    brokenEscape.name = QByteArray("Yamada^\x1B$B\x3B\x33", 11); // escape never switched back
    brokenEscape.id = "P\x1B(Zx";
    QTest::newRow("broken ISO 2022 escapes do not crash")
        << brokenEscape << QStringList{"*", "*", "05.12.1950", "Step", "Req", "1.2.3"};

    Entry ab;
    ab.name = "A^B";
    QTest::newRow("name A^B") << ab
                              << QStringList{"P1", " A B", "05.12.1950", "Step", "Req", "1.2.3"};
    Entry single;
    single.name = "X";
    QTest::newRow("name without ^")
        << single << QStringList{"P1", " X", "05.12.1950", "Step", "Req", "1.2.3"};
    Entry trailing;
    trailing.name = "F^G^^";
    QTest::newRow("empty components keep their blank")
        << trailing << QStringList{"P1", " F G  ", "05.12.1950", "Step", "Req", "1.2.3"};
    Entry noName;
    QTest::newRow("no name") << noName
                             << QStringList{"P1", "", "05.12.1950", "Step", "Req", "1.2.3"};

    Entry noSteps;
    noSteps.withSteps = false;
    QTest::newRow("no step sequence")
        << noSteps << QStringList{"P1", "", "05.12.1950", "", "Req", "1.2.3"};
    Entry noStepDescription;
    noStepDescription.step = QByteArray();
    QTest::newRow("first step without description, second not used")
        << noStepDescription << QStringList{"P1", "", "05.12.1950", "", "Req", "1.2.3"};

    for (const char* birth : {"1950120", "19501305", "20230230", "abcdefgh", "1950-12-05"}) {
        Entry badDate;
        badDate.birth = birth;
        QTest::newRow(
            qPrintable(QStringLiteral("unreadable birth date %1").arg(QLatin1String(birth))))
            << badDate << QStringList{"P1", "", "", "Step", "Req", "1.2.3"};
    }

    Entry withStudy;
    withStudy.study = "Thorax";
    QTest::newRow("study description wins")
        << withStudy << QStringList{"P1", "", "05.12.1950", "Step", "Thorax", "1.2.3"};
    Entry emptyStudy;
    emptyStudy.study = "";
    QTest::newRow("empty study description falls back")
        << emptyStudy << QStringList{"P1", "", "05.12.1950", "Step", "Req", "1.2.3"};

    Entry tooLong;
    tooLong.id = QByteArray(300, 'A');
    QTest::newRow("value longer than its VR is shown as sent")
        << tooLong
        << QStringList{QString(300, QLatin1Char('A')), "", "05.12.1950", "Step", "Req", "1.2.3"};
}

void TestRowReader::cells()
{
    QFETCH(Entry, entry);
    QFETCH(QStringList, expected);
    const auto dataset = makeDataset(entry);
    const WorklistRow row = rowFromDataset(*dataset);
    const QStringList actual{row.patientId,        row.name,    row.birthDate, row.stepDescription,
                             row.studyDescription, row.entryKey};
    for (int i = 0; i < expected.size(); ++i) {
        if (expected[i] != QLatin1String("*"))
            QCOMPARE(actual[i], expected[i]);
    }
    QCOMPARE(row.birthDateValue.isValid(), !row.birthDate.isEmpty());
}

void TestRowReader::germanDateHasFourDigitYear()
{
    Entry e;
    e.birth = "20010203";
    const auto ds = makeDataset(e);
    const WorklistRow row = rowFromDataset(*ds, QLocale(QLocale::German, QLocale::Germany));
    QCOMPARE(row.birthDate, QStringLiteral("03.02.2001"));
    QCOMPARE(row.birthDateValue, QDate(2001, 2, 3));
    const WorklistRow us = rowFromDataset(*ds, QLocale(QLocale::English, QLocale::UnitedStates));
    QVERIFY(us.birthDate.contains(QLatin1String("2001")));
}

// A reader shares equal texts between its rows; a row still reads as it would alone, also
// when the same bytes come in another character set.
void TestRowReader::oneReaderReadsEachRowAsAFreshOne()
{
    const auto latin1 = [](QByteArray bytes) {
        Entry e;
        e.charset = "ISO_IR 100";
        e.step = bytes;
        e.study = bytes + " Thorax";
        return e;
    };
    const auto utf8 = [](QByteArray bytes) {
        Entry e = {};
        e.charset = "ISO_IR 192";
        e.step = bytes;
        e.requested = bytes + " Thorax";
        return e;
    };
    Entry undeclared;
    undeclared.step = "R\xF6ntgen";
    Entry ascii;
    ascii.step = "CT Sch";
    ascii.birth = "20010203";
    const QList<Entry> entries{latin1("R\xF6ntgen"),   latin1("R\xF6ntgen"),
                               utf8("R\xF6ntgen"),     utf8("R\xC3\xB6ntgen"),
                               utf8("R\xC3\xB6ntgen"), undeclared,
                               latin1("R\xF6ntgen"),   ascii,
                               latin1("CT Sch"),       ascii};
    RowReader reader;
    QList<WorklistRow> rows;
    for (const Entry& entry : entries) {
        const auto dataset = makeDataset(entry);
        const WorklistRow alone = rowFromDataset(*dataset);
        const WorklistRow row = reader.read(*dataset);
        QCOMPARE(row.stepDescription, alone.stepDescription);
        QCOMPARE(row.studyDescription, alone.studyDescription);
        QCOMPARE(row.birthDate, alone.birthDate);
        QCOMPARE(row.birthDateValue, alone.birthDateValue);
        rows << row;
    }
    QCOMPARE(rows[0].stepDescription, QStringLiteral("Röntgen"));
    QCOMPARE(rows[2].stepDescription, QString());
    QCOMPARE(rows[3].stepDescription, QStringLiteral("Röntgen"));
    QCOMPARE(rows[7].birthDate, QStringLiteral("03.02.2001"));
    // Repeated texts are one copy.
    QCOMPARE(rows[1].stepDescription.constData(), rows[0].stepDescription.constData());
    QCOMPARE(rows[4].studyDescription.constData(), rows[3].studyDescription.constData());
    QCOMPARE(rows[1].birthDate.constData(), rows[0].birthDate.constData());
}

void TestRowReader::garbageBytesNeverCrash()
{
    // A valid encoding, then cut, flipped and random variants of it.
    Entry e;
    e.name = "M\xFC"
             "ller^Hans";
    e.study = "Thorax";
    const auto ds = makeDataset(e);
    ds->putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 100");
    QByteArray buffer(1 << 16, '\0');
    DcmOutputBufferStream out(buffer.data(), buffer.size());
    ds->transferInit();
    QVERIFY(ds->write(out, EXS_LittleEndianExplicit, EET_UndefinedLength, nullptr).good());
    ds->transferEnd();
    void* data = nullptr;
    offile_off_t length = 0;
    out.flushBuffer(data, length);
    const QByteArray valid(static_cast<const char*>(data), qsizetype(length));

    const WorklistRow whole = rowFromDicomBytes(valid);
    QCOMPARE(whole.name, QString::fromUtf8(" Müller Hans"));
    QCOMPARE(whole.studyDescription, QStringLiteral("Thorax"));

    QRandomGenerator random(4711);
    for (int i = 0; i < 3000; ++i) {
        QByteArray bytes = valid.left(random.bounded(qsizetype(valid.size()) + 1));
        for (int flips = random.bounded(6); flips > 0 && !bytes.isEmpty(); --flips)
            bytes[random.bounded(bytes.size())] = char(random.bounded(256));
        (void)rowFromDicomBytes(bytes);
    }
    for (int i = 0; i < 300; ++i) {
        QByteArray noise(random.bounded(2000), '\0');
        for (char& c : noise)
            c = char(random.bounded(256));
        (void)rowFromDicomBytes(noise);
    }
}

void TestRowReader::uidsAreUuidDerived()
{
    static const QRegularExpression form(QStringLiteral("^2\\.25\\.(0|[1-9][0-9]{0,38})$"));
    QSet<QString> seen;
    for (int i = 0; i < 200; ++i) {
        const QString uid = newUid();
        QVERIFY2(form.match(uid).hasMatch(), qPrintable(uid));
        QVERIFY(uid.size() <= 64);
        seen.insert(uid);
    }
    QCOMPARE(seen.size(), 200);
}

void TestRowReader::identifierAsksForTheWholeDay()
{
    const auto identifier = buildWorklistIdentifier();
    DcmItem* step = nullptr;
    QVERIFY(identifier->findAndGetSequenceItem(DCM_ScheduledProcedureStepSequence, step).good());
    OFString date, time;
    step->findAndGetOFStringArray(DCM_ScheduledProcedureStepStartDate, date);
    step->findAndGetOFStringArray(DCM_ScheduledProcedureStepStartTime, time);
    const QString today = QDate::currentDate().toString(QStringLiteral("yyyyMMdd"));
    QCOMPARE(QString::fromLatin1(date.c_str()), today + QLatin1Char('-') + today);
    QCOMPARE(QString::fromLatin1(time.c_str()), QStringLiteral("000000-235959"));
}

QTEST_GUILESS_MAIN(TestRowReader)
#include "tst_rowreader.moc"
