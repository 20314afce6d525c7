// The list's order: German collation, numbers in numeric order, dates by date, equal rows in the
// order they arrived; long lists sorted off the window's thread give the same list.

#include "worklistmodel.h"

#include <QAbstractItemModelTester>
#include <QCollator>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

namespace {

WorklistRow makeRow(int number, const QString& id, const QString& name, const QDate& birth = {},
                    const QString& step = {})
{
    // The entry key is the arrival number, to read the order back.
    return {id,   name,           birth.toString(QStringLiteral("dd.MM.yyyy")),
            step, step.toUpper(), QString::number(number),
            birth};
}

QStringList shownColumn(const WorklistModel& model, int column)
{
    QStringList texts;
    for (int i = 0; i < model.rowCount(); ++i)
        texts << columnText(*model.rowAt(i), column);
    return texts;
}

// 5,000 rows: above the size the model sorts on the window's thread.
QVector<WorklistRow> randomRows(int count)
{
    QRandomGenerator random(20240229);
    const QStringList pieces{"Müller", "MÜLLER", "Mueller", "Straße", "STRASSE",
                             "Öz",     "oz",     "P10",     "p9",     " ",
                             "ä",      "A",      "ß",       "ss",     QString()};
    const auto text = [&] {
        QString s;
        for (int p = int(random.bounded(4)); p > 0; --p)
            s += pieces[random.bounded(int(pieces.size()))];
        return s;
    };
    QVector<WorklistRow> rows;
    for (int i = 0; i < count; ++i) {
        const QDate birth =
            random.bounded(10) == 0 ? QDate() : QDate(1930, 1, 1).addDays(random.bounded(400));
        rows << makeRow(i, text(), text(), birth, text());
    }
    return rows;
}

// Checked against a German collator's own comparison, not against the model's sort keys nor the
// locale the model picks.
void verifySorted(const WorklistModel& model, int column)
{
    QCollator collator(QLocale(QLocale::German, QLocale::Germany));
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setNumericMode(true);
    for (int i = 1; i < model.rowCount(); ++i) {
        const WorklistRow& a = *model.rowAt(i - 1);
        const WorklistRow& b = *model.rowAt(i);
        const auto day = [](const WorklistRow& r) {
            return r.birthDateValue.isValid() ? r.birthDateValue.toJulianDay() : -1e9;
        };
        const int order = column == WorklistModel::BirthDate
                              ? (day(a) > day(b)) - (day(a) < day(b))
                              : collator.compare(columnText(a, column), columnText(b, column));
        QVERIFY2(
            order < 0 || (order == 0 && a.entryKey.toInt() < b.entryKey.toInt()),
            qPrintable(QStringLiteral("rows %1, %2 of column %3").arg(i - 1).arg(i).arg(column)));
    }
}

} // namespace

class TestWorklistModel final : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); }
    void germanOrder_data();
    void germanOrder();
    void everyColumnSorted_data();
    void everyColumnSorted();
    void laterRowsAndClicksWinOverASortUnderWay();
};

void TestWorklistModel::germanOrder_data()
{
    QTest::addColumn<QLocale>("system"); // the default locale while the list sorts
    QTest::addColumn<int>("column");
    QTest::addColumn<QStringList>("arrived");
    QTest::addColumn<QStringList>("shown");
    const QLocale german(QLocale::German, QLocale::Germany);
    const QStringList names{" Werner", " Öztürk", " Krause",  " Krämer", " Kramer",  " ärger",
                            " Zander", " Strauß", " strauss", " Abel",   " Mueller", " Müller"};
    const QStringList namesInGermanOrder{" Abel",    " ärger",   " Kramer", " Krämer",
                                         " Krause",  " Mueller", " Müller", " Öztürk",
                                         " strauss", " Strauß",  " Werner", " Zander"};
    QTest::newRow("names: umlauts with their letter, ß as ss, case ignored")
        << german << int(WorklistModel::Name) << names << namesInGermanOrder;
    QTest::newRow("patient IDs: numbers in numeric order")
        << german << int(WorklistModel::PatientId)
        << QStringList{"P10", "P2", "p1", "100", "20", "P-3", ""}
        << QStringList{"", "20", "100", "P-3", "p1", "P2", "P10"};
    // A system without a locale (LANG=C) still sorts the German way, not by code point.
    QTest::newRow("C locale: names and IDs in German order")
        << QLocale::c() << int(WorklistModel::Name) << names + QStringList{" P10", " P2"}
        << QStringList{" Abel",    " ärger",  " Kramer", " Krämer", " Krause",
                       " Mueller", " Müller", " Öztürk", " P2",     " P10",
                       " strauss", " Strauß", " Werner", " Zander"};
}

void TestWorklistModel::germanOrder()
{
    QFETCH(QLocale, system);
    QFETCH(int, column);
    QFETCH(QStringList, arrived);
    QFETCH(QStringList, shown);
    QLocale::setDefault(system);
    const auto restore =
        qScopeGuard([] { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); });
    QVector<WorklistRow> rows;
    for (const QString& text : arrived)
        rows << makeRow(int(rows.size()), text, text);
    WorklistModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.setRows(rows);
    model.setSortColumn(column);
    QCOMPARE(shownColumn(model, column), shown);
}

void TestWorklistModel::everyColumnSorted_data()
{
    QTest::addColumn<int>("rowCount");
    QTest::newRow("sorted at once") << 300;
    QTest::newRow("sorted on a pool thread") << 5000;
}

// Filled, then every header clicked in turn; the selected entry stays selected.
void TestWorklistModel::everyColumnSorted()
{
    QFETCH(int, rowCount);
    WorklistModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy applied(&model, &WorklistModel::sortApplied);
    bool shown = false;
    model.setRows(randomRows(rowCount), [&shown] { shown = true; });
    QTRY_VERIFY(shown);
    verifySorted(model, WorklistModel::PatientId);
    const QPersistentModelIndex chosen = model.index(rowCount / 2, 0);
    const QString chosenKey = model.rowAt(chosen.row())->entryKey;
    for (int column : {1, 2, 3, 4, 0}) {
        model.setSortColumn(column);
        QTRY_VERIFY(!model.isSorting());
        verifySorted(model, column);
        QCOMPARE(model.rowAt(chosen.row())->entryKey, chosenKey);
    }
    QCOMPARE(applied.size(), rowCount > 2000 ? 6 : 0);
}

void TestWorklistModel::laterRowsAndClicksWinOverASortUnderWay()
{
    WorklistModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    int firstShown = 0;
    model.setRows(randomRows(5000), [&firstShown] { ++firstShown; });
    QVector<WorklistRow> later = randomRows(4000);
    later.first().name = QStringLiteral("later");
    bool laterShown = false;
    model.setRows(later, [&laterShown] { laterShown = true; });
    model.setSortColumn(WorklistModel::Name); // clicked while the later rows are being sorted
    QTRY_VERIFY(laterShown);
    QTRY_VERIFY(!model.isSorting());
    QCOMPARE(firstShown, 0);
    QCOMPARE(model.rowCount(), 4000);
    QVERIFY(shownColumn(model, WorklistModel::Name).contains(QStringLiteral("later")));
    verifySorted(model, WorklistModel::Name);
}

QTEST_GUILESS_MAIN(TestWorklistModel)
#include "tst_worklistmodel.moc"
