// The list's order: the model's sorted rows, whether it sorts itself or takes the orders found
// on the exchange's thread, against a plain stable sort of the same rows.

#include "roworder.h"
#include "worklistmodel.h"
#include "worklistrow.h"

#include <QAbstractItemModelTester>
#include <QRandomGenerator>
#include <QTest>

#include <algorithm>
#include <limits>
#include <numeric>

namespace {

qint64 dateKey(const QDate& date)
{
    return date.isValid() ? date.toJulianDay() : std::numeric_limits<qint64>::min();
}

// The order the list must show: `from` stably sorted ascending by the column.
QVector<int> expectedOrder(const QVector<WorklistRow>& rows, QVector<int> from, int column)
{
    std::stable_sort(from.begin(), from.end(), [&rows, column](int a, int b) {
        if (column == WorklistModel::BirthDate)
            return dateKey(rows[a].birthDateValue) < dateKey(rows[b].birthDateValue);
        return QString::compare(columnText(rows[a], column), columnText(rows[b], column),
                                Qt::CaseInsensitive) < 0;
    });
    return from;
}

QVector<int> arrivalOrder(qsizetype n)
{
    QVector<int> order(n);
    std::iota(order.begin(), order.end(), 0);
    return order;
}

// Each row's patient ID is its arrival number, so the shown order can be read back.
QVector<int> shownOrder(const WorklistModel& model)
{
    QVector<int> order;
    for (int i = 0; i < model.rowCount(); ++i)
        order << model.rowAt(i)->entryKey.toInt();
    return order;
}

WorklistRow makeRow(int number, const QString& name, const QString& step, const QString& study,
                    const QDate& birth, const QString& id = {})
{
    WorklistRow row;
    row.patientId = id.isNull() ? QString::number(number) : id;
    row.name = name;
    row.birthDateValue = birth;
    if (birth.isValid())
        row.birthDate = birth.toString(QStringLiteral("dd.MM.yyyy"));
    row.stepDescription = step;
    row.studyDescription = study;
    row.entryKey = QString::number(number);
    return row;
}

// Texts whose order is easy to get wrong: case, umlauts, ß, empty cells, heads longer than
// what fits a number, letters outside the basic plane, signs that fold to ASCII.
const QStringList& trickyTexts()
{
    static const QStringList texts{
        QString(),
        QStringLiteral(""),
        QStringLiteral(" Müller Anna"),
        QStringLiteral(" MÜLLER anna"),
        QStringLiteral(" Mueller Anna"),
        QStringLiteral(" Muller Anna"),
        QStringLiteral(" Straße Jörg"),
        QStringLiteral(" STRASSE Jörg"),
        QStringLiteral(" Strasse Jorg"),
        QStringLiteral(" ẞtraße"),
        QStringLiteral("Röntgen Thorax in zwei Ebenen"),
        QStringLiteral("Röntgen Thorax in zwei Ebenen (Verlaufskontrolle)"),
        QStringLiteral("RÖNTGEN THORAX IN ZWEI EBENEN"),
        QStringLiteral("Röntgen Thorax in zwei Ebenen, liegend"),
        QStringLiteral("CT Schädel nativ"),
        QStringLiteral("ct schädel nativ"),
        QStringLiteral("CT Schädel"),
        QStringLiteral("Ärztliche Kontrolle"),
        QStringLiteral("Öffnung"),
        QStringLiteral("Übersicht"),
        QStringLiteral("Zyste"),
        QStringLiteral("abc"),
        QStringLiteral("ABC"),
        QStringLiteral("abcdefghijklmnopq"),
        QStringLiteral("ABCDEFGHIJKLMNOPr"),
        QStringLiteral("abcdefghijklmnopQ"),
        QStringLiteral("\u212A"), // KELVIN SIGN, folds to k
        QStringLiteral("k"),
        QStringLiteral("L"),
        QStringLiteral("\U0001D400 math bold"),
        QStringLiteral("\U00010400 deseret"),
        QStringLiteral("\U00010428 deseret"),
        QStringLiteral("\uFB00 ligature"),
        QStringLiteral("0042"),
        QStringLiteral("42"),
        QStringLiteral("-1"),
        QStringLiteral("_x"),
        QStringLiteral("[x"),
    };
    return texts;
}

QVector<WorklistRow> trickyRows()
{
    const QStringList& texts = trickyTexts();
    const QList<QDate> dates{
        QDate(),           QDate(1950, 12, 5), QDate(2001, 3, 4), QDate(1950, 12, 5),
        QDate(1899, 1, 1), QDate(1990, 1, 2),  QDate(2024, 2, 29)};
    QVector<WorklistRow> rows;
    const qsizetype n = texts.size();
    for (int i = 0; i < n * 3; ++i) {
        // Shuffled pairings, and some texts shared between rows, some equal copies.
        const QString& name = texts[(i * 7) % n];
        const QString step = texts[(i * 11 + 3) % n];
        const QString& study = texts[(i * 5 + 1) % n];
        rows << makeRow(i, name, QString(step.constData(), step.size()), study,
                        dates[i % dates.size()], texts[(i * 13 + 2) % n]);
    }
    return rows;
}

QVector<WorklistRow> randomRows(int count)
{
    QRandomGenerator random(20240229);
    const QStringList pieces{QStringLiteral("Müller"),  QStringLiteral("MÜLLER"),
                             QStringLiteral("Mueller"), QStringLiteral("Straße"),
                             QStringLiteral("STRASSE"), QStringLiteral("Öz"),
                             QStringLiteral("oz"),      QStringLiteral("Röntgen Thorax"),
                             QStringLiteral(" "),       QStringLiteral("ä"),
                             QStringLiteral("A"),       QStringLiteral("ß"),
                             QStringLiteral("ss"),      QString()};
    const auto text = [&] {
        QString s;
        const int parts = int(random.bounded(5));
        for (int p = 0; p < parts; ++p)
            s += pieces[random.bounded(int(pieces.size()))];
        return s;
    };
    QVector<WorklistRow> rows;
    for (int i = 0; i < count; ++i) {
        const QDate birth =
            random.bounded(10) == 0 ? QDate() : QDate(1930, 1, 1).addDays(random.bounded(400));
        rows << makeRow(i, text(), text(), text(), birth, text());
    }
    return rows;
}

QVector<WorklistRow> rowsOf(const QString& set)
{
    if (set == QLatin1String("tricky"))
        return trickyRows();
    if (set == QLatin1String("random"))
        return randomRows(5000); // above the size that sorts on two threads
    return {};
}

} // namespace

class TestWorklistModel final : public QObject
{
    Q_OBJECT
private slots:
    void sortsAsAPlainStableSort_data();
    void sortsAsAPlainStableSort();
    void readyOrdersGiveTheSameList_data();
    void readyOrdersGiveTheSameList();
    void ordersOfAnotherListAreIgnored();
};

void TestWorklistModel::sortsAsAPlainStableSort_data()
{
    QTest::addColumn<QString>("rowSet");
    QTest::addColumn<int>("column");
    const char* names[] = {"patient ID", "name", "birth date", "step", "study"};
    for (int column = 0; column < WorklistModel::ColumnCount; ++column) {
        for (const char* set : {"tricky", "random", "empty"})
            QTest::addRow("%s, %s", set, names[column]) << QString::fromLatin1(set) << column;
    }
}

// Sorted while filled, and then by every column click, each from the order before it.
void TestWorklistModel::sortsAsAPlainStableSort()
{
    QFETCH(QString, rowSet);
    QFETCH(int, column);
    const QVector<WorklistRow> rows = rowsOf(rowSet);
    WorklistModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.setSortColumn(column);
    model.setRows(rows);
    QVector<int> expected = expectedOrder(rows, arrivalOrder(rows.size()), column);
    QCOMPARE(shownOrder(model), expected);
    const int clicks[] = {WorklistModel::Name,
                          WorklistModel::BirthDate,
                          WorklistModel::PatientId,
                          WorklistModel::StudyDescription,
                          WorklistModel::StepDescription,
                          column,
                          column};
    for (int next : clicks) {
        model.setSortColumn(next);
        expected = expectedOrder(rows, expected, next);
        QCOMPARE(shownOrder(model), expected);
    }
}

void TestWorklistModel::readyOrdersGiveTheSameList_data()
{
    sortsAsAPlainStableSort_data();
}

// The orders found on the exchange's thread show the list as the model's own sort would.
void TestWorklistModel::readyOrdersGiveTheSameList()
{
    QFETCH(QString, rowSet);
    QFETCH(int, column);
    const QVector<WorklistRow> rows = rowsOf(rowSet);
    const RowOrders orders = allRowOrders(rows);
    for (int k = 0; k < rowSortKeyCount; ++k)
        QCOMPARE(orders[size_t(k)], expectedOrder(rows, arrivalOrder(rows.size()), k));

    WorklistModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.setSortColumn(column);
    model.setRows(rows, orders);
    QVector<int> expected = expectedOrder(rows, arrivalOrder(rows.size()), column);
    QCOMPARE(shownOrder(model), expected);
    // A column click after a ready order sorts from the order shown, as always.
    const int next = (column + 1) % WorklistModel::ColumnCount;
    model.setSortColumn(next);
    QCOMPARE(shownOrder(model), expectedOrder(rows, expected, next));
}

void TestWorklistModel::ordersOfAnotherListAreIgnored()
{
    const QVector<WorklistRow> rows = trickyRows();
    const RowOrders stale = allRowOrders(rows.mid(0, rows.size() - 1));
    WorklistModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.setSortColumn(WorklistModel::Name);
    model.setRows(rows, stale);
    QCOMPARE(shownOrder(model),
             expectedOrder(rows, arrivalOrder(rows.size()), WorklistModel::Name));
}

QTEST_GUILESS_MAIN(TestWorklistModel)
#include "tst_worklistmodel.moc"
