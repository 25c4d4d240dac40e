// Display patterns of the grids and footers ("### ### ##0.00", "#0.00",
// "### ### ###", ...): digits, grouping, decimals and rounding, sign, zero,
// and what a cell shows for null, texts and whole numbers.

#include "config/displayformat.h"

#include <QtTest>

#include <cmath>
#include <limits>

namespace {
const QLocale Ru(QLocale::Russian, QLocale::Russia);
const QLocale C(QLocale::C);
} // namespace

class TestDisplayFormat : public QObject {
    Q_OBJECT

private slots:
    void number_data();
    void number();
    void cell_data();
    void cell();
    void localeDefault();
};

void TestDisplayFormat::number_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("text");

    const QString money = QStringLiteral("### ### ##0.00");
    QTest::newRow("ru grouped, two decimals") << 1234.5 << money << Ru << "1 234,50";
    QTest::newRow("ru below one keeps the required 0") << 0.5 << money << Ru << "0,50";
    QTest::newRow("ru negative millions") << -1234567.0 << money << Ru << "-1 234 567,00";
    QTest::newRow("ru zero with a required digit") << 0.0 << money << Ru << "0,00";
    QTest::newRow("ru nine digits fill the pattern") << 123456789.0 << money << Ru << "123 456 789,00";
    QTest::newRow("ru beyond the pattern groups on") << 1234567890123.0 << money << Ru << "1 234 567 890 123,00";
    QTest::newRow("ru rounding carries into a new group") << 999999.995 << money << Ru << "1 000 000,00";
    QTest::newRow("C locale point") << 1234.5 << money << C << "1 234.50";
    QTest::newRow("C negative small") << -0.25 << money << C << "-0.25";

    QTest::newRow("##0.00 no grouping literal") << 1234567.891 << "##0.00" << Ru << "1234567,89";
    QTest::newRow("0.00") << 3.0 << "0.00" << Ru << "3,00";
    QTest::newRow("0.00 below one") << 0.07 << "0.00" << Ru << "0,07";

    // Half away from zero, on the number as written: 12.345 is a hair below
    // in binary and still rounds up.
    QTest::newRow("#0.00 half up") << 12.345 << "#0.00" << Ru << "12,35";
    QTest::newRow("#0.00 half away from zero, negative") << -12.345 << "#0.00" << Ru << "-12,35";
    QTest::newRow("#0.00 below half down") << 12.3449 << "#0.00" << Ru << "12,34";
    QTest::newRow("#0.00 1.005") << 1.005 << "#0.00" << Ru << "1,01";
    QTest::newRow("#0.00 2.675") << 2.675 << "#0.00" << C << "2.68";
    QTest::newRow("#0.00 rounds to zero: no sign") << -0.004 << "#0.00" << Ru << "0,00";
    QTest::newRow("#0.00 tiny") << 1e-10 << "#0.00" << Ru << "0,00";

    // No required digit: a zero shows an empty cell, whatever its sign.
    const QString count = QStringLiteral("### ### ### ###");
    QTest::newRow("count: zero is empty") << 0.0 << count << Ru << "";
    QTest::newRow("count: negative zero is empty") << -0.0 << count << Ru << "";
    QTest::newRow("count: rounds to zero is empty") << -0.4 << count << Ru << "";
    QTest::newRow("count: rounds to one") << 0.5 << count << Ru << "1";
    QTest::newRow("count: grouped") << 1234567.0 << count << Ru << "1 234 567";
    QTest::newRow("count: whole rounding, negative") << -1234.5 << count << Ru << "-1 235";
    QTest::newRow("### ### ### zero is empty") << 0.0 << "### ### ###" << Ru << "";
    QTest::newRow("### ### ### thousand") << 1000.0 << "### ### ###" << Ru << "1 000";

    // Only optional digits before the point: the integer part may be empty.
    const QString optInt = QStringLiteral("### ### ###.00");
    QTest::newRow("###.00 grouped") << 1234.0 << optInt << Ru << "1 234,00";
    QTest::newRow("###.00 below one: no integer digit") << 0.5 << optInt << Ru << ",50";
    QTest::newRow("###.00 negative below one") << -0.5 << optInt << Ru << "-,50";
    QTest::newRow("###.00 zero: the decimals only") << 0.0 << optInt << Ru << ",00";

    const QString three = QStringLiteral("### ### ### ##0.000");
    QTest::newRow("three decimals") << 1234567.8915 << three << Ru << "1 234 567,892";
    QTest::newRow("three decimals, zero") << 0.0 << three << Ru << "0,000";
    QTest::newRow("large whole, exact digits") << 1e15 << three << Ru << "1 000 000 000 000 000,000";
    QTest::newRow("1e20, grouping repeats") << 1e20 << "### ##0" << C << "100 000 000 000 000 000 000";
    QTest::newRow("### ##0 repeats its groups") << 1234567890.0 << "### ##0" << Ru << "1 234 567 890";
    QTest::newRow("short leftmost group fills up first") << 12345678.0 << "# ### ##0" << Ru << "12 345 678";

    // Optional decimals: trailing zeros in # positions go, the separator too.
    QTest::newRow("0.## trims") << 2.5 << "0.##" << Ru << "2,5";
    QTest::newRow("0.## all trimmed") << 2.0 << "0.##" << Ru << "2";
    QTest::newRow("0.0# keeps one") << 2.0 << "0.0#" << Ru << "2,0";
    QTest::newRow("#.## zero is empty") << 0.0 << "#.##" << Ru << "";

    QTest::newRow("required leading zeros") << 7.0 << "000" << Ru << "007";
    QTest::newRow("prefix and suffix") << -5.5 << "$#0.0 руб" << Ru << "$-5,5 руб";

    QTest::newRow("NaN") << std::nan("") << money << Ru << "";
    QTest::newRow("infinity") << std::numeric_limits<double>::infinity() << money << Ru << "";
    QTest::newRow("minus infinity") << -std::numeric_limits<double>::infinity() << count << Ru << "";
    QTest::newRow("empty pattern: plain number") << 1234.5 << "" << Ru << "1234,5";
}

void TestDisplayFormat::number()
{
    QFETCH(double, value);
    QFETCH(QString, pattern);
    QFETCH(QLocale, locale);
    QFETCH(QString, text);
    QCOMPARE(FormatDisplay(value, pattern, locale), text);
}

void TestDisplayFormat::cell_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("text");

    const QString money = QStringLiteral("### ### ##0.00");
    QTest::newRow("null") << QVariant() << money << "";
    QTest::newRow("null of a type (as SQL gives it)") << QVariant(QMetaType::fromType<double>()) << money << "";
    QTest::newRow("int") << QVariant(1234) << money << "1 234,00";
    QTest::newRow("int zero, optional digits") << QVariant(0) << "### ### ###" << "";
    QTest::newRow("int negative") << QVariant(-42) << "### ### ###" << "-42";
    // Whole numbers beyond a double's 53 bits keep every digit.
    QTest::newRow("qint64 exact") << QVariant(qint64(9007199254740993)) << "### ### ### ### ### ###" << "9 007 199 254 740 993";
    QTest::newRow("quint64 max") << QVariant(std::numeric_limits<quint64>::max()) << "### ##0" << "18 446 744 073 709 551 615";
    QTest::newRow("double") << QVariant(12.345) << "#0.00" << "12,35";
    QTest::newRow("text, C point") << QVariant(QStringLiteral("1234.5")) << money << "1 234,50";
    QTest::newRow("text, locale comma") << QVariant(QStringLiteral("1234,5")) << money << "1 234,50";
    QTest::newRow("text, blanks around") << QVariant(QStringLiteral(" -7 ")) << "##0.00" << "-7,00";
    QTest::newRow("text, whole and long") << QVariant(QStringLiteral("123456789012345678")) << "### ##0" << "123 456 789 012 345 678";
    QTest::newRow("text, empty") << QVariant(QStringLiteral("")) << money << "";
    QTest::newRow("text, not a number: shown as is") << QVariant(QStringLiteral("n/a")) << money << "n/a";
    QTest::newRow("bool") << QVariant(true) << "0" << "1";
}

void TestDisplayFormat::cell()
{
    QFETCH(QVariant, value);
    QFETCH(QString, pattern);
    QFETCH(QString, text);
    QCOMPARE(FormatDisplay(value, pattern, Ru), text);
}

// Without a locale the program's default one is used.
void TestDisplayFormat::localeDefault()
{
    const QLocale before;
    QLocale::setDefault(Ru);
    QCOMPARE(FormatDisplay(1234.5, QStringLiteral("### ##0.00")), QStringLiteral("1 234,50"));
    QCOMPARE(FormatDisplay(QVariant(2.5), QStringLiteral("0.0")), QStringLiteral("2,5"));
    QLocale::setDefault(C);
    QCOMPARE(FormatDisplay(1234.5, QStringLiteral("### ##0.00")), QStringLiteral("1 234.50"));
    QLocale::setDefault(before);
}

QTEST_GUILESS_MAIN(TestDisplayFormat)
#include "tst_displayformat.moc"
