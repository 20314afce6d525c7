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
};

void TestMainLayout::columns_data()
{
    QTest::addColumn<double>("outerWidth");
    QTest::addColumn<Widths>("saved");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<Columns>("expected");

    const Columns shares20000 = {2370, 7505, 2370, 7505, std::nullopt}; // 12/38/12/38 of 19750
    QTest::newRow("no saved widths: shares") << 20000.0 << Widths{} << "en_US" << shares20000;
    QTest::newRow("only index 0 decides")
        << 20000.0 << Widths{QString(), "1", "2", "3", "4"} << "en_US" << shares20000;
    // Too narrow for the list: the shares come from the width it keeps.
    QTest::newRow("too small: shares of the kept width")
        << 200.0 << Widths{} << "en_US" << Columns{600, 1900, 600, 1900, std::nullopt};
    const Widths saved = {"3000", "6000", "2500", "2500", "2000"};
    for (double width : {20000.0, 9000.0})
        QTest::addRow("saved widths hold at %g", width)
            << width << saved << "en_US" << Columns{3000, 6000, 2500, 2500, 2000};
    QTest::newRow("German decimal comma")
        << 20000.0 << Widths{"1234,5", "6000", "2500", "2500", "2000"} << "de_DE"
        << Columns{1234.5, 6000, 2500, 2500, 2000};
    QTest::newRow("a non-number or an empty later width leaves that column alone")
        << 20000.0 << Widths{"3000", "", "abc", "2500", ""} << "en_US"
        << Columns{3000, std::nullopt, std::nullopt, 2500, std::nullopt};
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
    input.currentListWidth = 5000;
    input.savedColumnWidths = saved;
    input.locale = QLocale(locale);
    const MainLayout layout = computeMainLayout(input);
    QCOMPARE(layout.listWidth.has_value(), outerWidth > 250);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        QVERIFY2(layout.columnWidths[i] == expected[i], qPrintable(QString::number(i + 1)));
    }
}

QTEST_GUILESS_MAIN(TestMainLayout)
#include "tst_mainlayout.moc"
