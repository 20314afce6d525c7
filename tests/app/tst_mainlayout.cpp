#include "mainlayout.h"

#include <QTest>

using Widths = std::array<QString, 5>;
using Columns = std::array<std::optional<double>, 5>;
Q_DECLARE_METATYPE(Widths)
Q_DECLARE_METATYPE(Columns)

class TestMainLayout final : public QObject
{
    Q_OBJECT
private slots:
    void columns_data();
    void columns();
    void buttonRow();
    void tooSmallKeepsListAndStillPlacesButtons();
};

void TestMainLayout::columns_data()
{
    QTest::addColumn<double>("outerWidth");
    QTest::addColumn<Widths>("saved");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<Columns>("expected");

    const Columns shares20000 = {2370, 7505, 2370, 7505, std::nullopt};
    QTest::newRow("no saved widths: shares of 19750")
        << 20000.0 << Widths{} << "en_US" << shares20000;
    QTest::newRow("only index 0 decides")
        << 20000.0 << Widths{QString(), "1", "2", "3", "4"} << "en_US" << shares20000;
    const Widths saved = {"3000", "6000", "2500", "2500", "2000"};
    const Columns savedColumns = {3000, 6000, 2500, 2500, 2000};
    for (double width : {20000.0, 9000.0, 31000.0})
        QTest::addRow("saved widths hold at %g", width)
            << width << saved << "en_US" << savedColumns;
    QTest::newRow("German decimal comma")
        << 20000.0 << Widths{"1234,5", "6000", "2500", "2500", "2000"} << "de_DE"
        << Columns{1234.5, 6000, 2500, 2500, 2000};
    QTest::newRow("a non-number leaves that column alone")
        << 20000.0 << Widths{"3000", "6000", "abc", "2500", "2000"} << "en_US"
        << Columns{3000, 6000, std::nullopt, 2500, 2000};
    QTest::newRow("an empty later width leaves that column alone")
        << 20000.0 << Widths{"3000", "", "2500", "2500", ""} << "en_US"
        << Columns{3000, std::nullopt, 2500, 2500, std::nullopt};
}

void TestMainLayout::columns()
{
    QFETCH(double, outerWidth);
    QFETCH(Widths, saved);
    QFETCH(QString, locale);
    QFETCH(Columns, expected);

    MainLayoutInput input;
    input.outerWidth = outerWidth;
    input.outerHeight = 12000;
    input.currentListWidth = 10335;
    input.savedColumnWidths = saved;
    input.locale = QLocale(locale);
    const MainLayout layout = computeMainLayout(input);
    QCOMPARE(layout.listWidth, std::optional<double>(outerWidth - 250));
    for (std::size_t i = 0; i < expected.size(); ++i) {
        QVERIFY2(layout.columnWidths[i] == expected[i], qPrintable(QString::number(i + 1)));
    }
}

void TestMainLayout::buttonRow()
{
    MainLayoutInput input;
    input.outerWidth = 20000;
    input.outerHeight = 12000;
    const MainLayout layout = computeMainLayout(input);
    QCOMPARE(layout.listHeight, std::optional<double>(10000));
    QCOMPARE(layout.closeTop, 10130.0);
    QCOMPARE(layout.closeLeft, 16500.0);
    QCOMPARE(layout.refreshTop, 10130.0);
    QCOMPARE(layout.delTop, 10130.0);
    QCOMPARE(layout.picTop, 10290.0);
}

void TestMainLayout::tooSmallKeepsListAndStillPlacesButtons()
{
    MainLayoutInput input;
    input.outerWidth = 200;
    input.outerHeight = 1500;
    input.currentListWidth = 5000;
    const MainLayout layout = computeMainLayout(input);
    QVERIFY(!layout.listWidth);
    QVERIFY(!layout.listHeight);
    // The shares come from the width the list keeps.
    QCOMPARE(layout.columnWidths[0], std::optional<double>(600));
    QCOMPARE(layout.closeTop, -370.0);
    QCOMPARE(layout.picTop, -210.0);
}

QTEST_GUILESS_MAIN(TestMainLayout)
#include "tst_mainlayout.moc"
