#include "settingsstore.h"

#include <QTest>

// Column widths are written and read as single-precision numbers in the user's locale.
class TestColumnWidth final : public QObject
{
    Q_OBJECT

private slots:
    void formatColumnWidth_data();
    void formatColumnWidth();
    void parseColumnWidth_data();
    void parseColumnWidth();
};

void TestColumnWidth::formatColumnWidth_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<double>("twips");
    QTest::addColumn<QString>("expected");

    const QLocale de(QLocale::German, QLocale::Germany);
    const QLocale en(QLocale::English, QLocale::UnitedStates);
    QTest::newRow("whole number") << de << 2370.0 << "2370";
    QTest::newRow("German fraction") << de << 1234.5 << "1234,5";
    QTest::newRow("English fraction") << en << 1234.5 << "1234.5";
    QTest::newRow("no group separator") << de << 1234567.0 << "1234567";
    QTest::newRow("seven significant digits") << de << 1234567.891 << "1234568";
    QTest::newRow("single precision") << de << 0.1 << "0,1";
    QTest::newRow("large, no exponent") << en << 123456789.0 << "123456800";
    QTest::newRow("small, no exponent") << en << 0.0000123456789 << "0.00001234568";
    QTest::newRow("zero") << de << 0.0 << "0";
    QTest::newRow("negative zero") << de << -0.0 << "0";
    QTest::newRow("infinity") << de << qInf() << "";
    QTest::newRow("beyond single precision") << de << 1e39 << "";
}

void TestColumnWidth::formatColumnWidth()
{
    QFETCH(QLocale, locale);
    QFETCH(double, twips);
    QFETCH(QString, expected);

    QCOMPARE(::formatColumnWidth(twips, locale), expected);
}

void TestColumnWidth::parseColumnWidth_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<double>("expected");

    const QLocale de(QLocale::German, QLocale::Germany);
    const QLocale en(QLocale::English, QLocale::UnitedStates);
    QTest::newRow("German fraction") << de << "1234,5" << true << 1234.5;
    QTest::newRow("English fraction") << en << "1234.5" << true << 1234.5;
    QTest::newRow("single precision") << de << "0,1" << true << double(0.1f);
    QTest::newRow("German group separator") << de << "1.234" << false << 0.0;
    QTest::newRow("trailing junk") << de << "12px" << false << 0.0;
    QTest::newRow("negative") << de << "-5" << false << 0.0;
    QTest::newRow("infinity") << en << "inf" << false << 0.0;
    QTest::newRow("beyond single precision") << en << "1e39" << false << 0.0;
}

void TestColumnWidth::parseColumnWidth()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(double, expected);

    const std::optional<double> width = ::parseColumnWidth(text, locale);
    QCOMPARE(width.has_value(), valid);
    if (valid)
        QCOMPARE(*width, expected);
}

QTEST_GUILESS_MAIN(TestColumnWidth)
#include "tst_columnwidth.moc"
