#include "exchangeprotocol.h"
#include "rowreader.h"
#include "uid.h"

#include <QRegularExpression>
#include <QTest>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>

#include <functional>

namespace {

// A data set with the given raw (already encoded) values; an empty QByteArray leaves the
// attribute out, so each row says only what it is about.
struct Entry
{
    QByteArray charset, name, id = "P1", birth = "19501205", step = "Step", study = {},
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
        auto* second = new DcmItem;
        put(*first, DCM_ScheduledProcedureStepDescription, e.step);
        second->putAndInsertString(DCM_ScheduledProcedureStepDescription, "Second");
        ds->insertSequenceItem(DCM_ScheduledProcedureStepSequence, first);
        ds->insertSequenceItem(DCM_ScheduledProcedureStepSequence, second);
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

    void cells_data()
    {
        QTest::addColumn<Entry>("entry");
        QTest::addColumn<QStringList>("expected"); // id, name, birth, step, study, key; "*": any

        // Each row changes the entry made by `change` and the cells it names from these.
        const QStringList usual{"P1", "", "05.12.1950", "Step", "Req", "1.2.3"};
        const auto row = [&](const char* title, const std::function<void(Entry&)>& change,
                             const QMap<int, QString>& cells) {
            Entry entry;
            change(entry);
            QStringList expected = usual;
            for (auto it = cells.begin(); it != cells.end(); ++it)
                expected[it.key()] = it.value();
            QTest::newRow(title) << entry << expected;
        };
        const QByteArray latin1 = "M\xFCller^J\xFCrgen";
        const QString shown = QString::fromUtf8(" Müller Jürgen");
        const QByteArray utf8 = shown.mid(1).replace(u' ', u'^').toUtf8();
        row("ISO_IR 100 umlauts", [&](Entry& e) { e.charset = "ISO_IR 100", e.name = latin1; },
            {{1, shown}});
        row("ISO_IR 192 umlauts", [&](Entry& e) { e.charset = "ISO_IR 192", e.name = utf8; },
            {{1, shown}});
        row("no charset, Latin-1 bytes", [&](Entry& e) { e.name = latin1; }, {{1, shown}});
        row("no charset, UTF-8 bytes", [&](Entry& e) { e.name = utf8; }, {{1, shown}});
        // What cannot be decoded stays empty, the rest is filled; nothing crashes.
        const QList<QPair<QByteArray, QByteArray>> undecodable{
            {"ISO_IR 192", latin1},
            {"ISO_IR 999", latin1},
            {QByteArray(2000, 'C'), latin1},
            {"\\ISO 2022 IR 87", "Yamada^Tarou=\x1b$B;3ED\x1b"},   // escape cut off at the end
            {"\\ISO 2022 IR 87", "Yamada^Tarou=\x1b(Z;3ED\x1b(B"}, // to a set not declared
            {"\\ISO 2022 IR 87", "Yamada^Tarou=\x1b$B;3E\x1b(B"}}; // two-byte set, odd count
        for (const auto& [charset, name] : undecodable) {
            QTest::addRow("undecodable in %s", charset.left(20).constData())
                << Entry{charset, name} << usual;
        }
        row("broken ISO 2022 escapes do not crash",
            [](Entry& e) {
                e.charset = "\\ISO 2022 IR 87";
                e.name = QByteArray("Yamada^\x1B$B\x3B\x33", 11); // escape never switched back
                e.id = "P\x1B(Zx";
            },
            {{0, "*"}, {1, "*"}});
        // A cell keeps 1024 characters, marked as cut; a UTF-8 character is never split; a key
        // too long for a UID is no key at all (a cut one would name another entry).
        row("huge values cut to 1024 characters",
            [](Entry& e) {
                e.charset = "ISO_IR 192";
                e.name = QString(1 << 20, u'\u00fc').toUtf8();
                e.id = QByteArray(1025, '7');
                e.step = QByteArray(4097, 's');
                e.uid = QByteArray(1025, '1');
            },
            {{0, QString(1024, u'7') + QChar(0x2026)},
             {1, QLatin1Char(' ') + QString(1023, u'\u00fc') + QChar(0x2026)},
             {3, QString(1024, u's') + QChar(0x2026)},
             {5, ""}});
        row("value longer than its VR is shown as sent",
            [](Entry& e) { e.id = QByteArray(300, 'A'); }, {{0, QString(300, QLatin1Char('A'))}});
        row("name A^B", [](Entry& e) { e.name = "A^B"; }, {{1, " A B"}});
        row("name without ^", [](Entry& e) { e.name = "X"; }, {{1, " X"}});
        row("empty components keep their blank", [](Entry& e) { e.name = "F^G^^"; },
            {{1, " F G  "}});
        row("no name", [](Entry&) {}, {});
        row("no step sequence", [](Entry& e) { e.withSteps = false; }, {{3, ""}});
        row("first step without description, second not used", [](Entry& e) { e.step = {}; },
            {{3, ""}});
        for (const char* birth : {"1950120", "19501305", "20230230", "abcdefgh", "1950-12-05",
                                  "1111111111111111111111"}) {
            QTest::addRow("unreadable birth date %s", birth)
                << Entry{{}, {}, "P1", birth} << QStringList{"P1", "", "", "Step", "Req", "1.2.3"};
        }
        row("study description wins", [](Entry& e) { e.study = "Thorax"; }, {{4, "Thorax"}});
        row("empty study description falls back", [](Entry& e) { e.study = ""; }, {});
    }

    void cells()
    {
        QFETCH(Entry, entry);
        QFETCH(QStringList, expected);
        const auto dataset = makeDataset(entry);
        // As the window receives it from the exchange helper.
        ExchangeProtocol::AnswerReader answer;
        QVERIFY(answer.feed(ExchangeProtocol::firstLine() +
                            ExchangeProtocol::rowLine(rowFromDataset(*dataset)) +
                            ExchangeProtocol::lastLine({})));
        const QVector<WorklistRow> rows = answer.takeRows();
        QCOMPARE(rows.size(), 1);
        const WorklistRow& row = rows.first();
        const QStringList actual{row.patientId,        row.name,
                                 row.birthDate,        row.stepDescription,
                                 row.studyDescription, row.entryKey};
        for (int i = 0; i < expected.size(); ++i) {
            if (expected[i] != QLatin1String("*"))
                QCOMPARE(actual[i], expected[i]);
        }
        QCOMPARE(row.birthDateValue.isValid(), !row.birthDate.isEmpty());
    }

    void uidsAreUuidDerived()
    {
        static const QRegularExpression form(QStringLiteral("^2\\.25\\.(0|[1-9][0-9]{0,38})$"));
        QSet<QString> seen;
        for (int i = 0; i < 200; ++i) {
            const QString uid = newUid();
            QVERIFY2(form.match(uid).hasMatch(), qPrintable(uid)); // 44 characters at most
            seen.insert(uid);
        }
        QCOMPARE(seen.size(), 200);
    }
};

QTEST_GUILESS_MAIN(TestRowReader)
#include "tst_rowreader.moc"
