// The Russian form of a noun after a count, as the count messages write it
// ("Выставлено 1 заявка.", "... 2 заявки.", "... 5 заявок.").

#include "config/plural.h"

#include <QtTest>

class TestPlural : public QObject {
    Q_OBJECT

private slots:
    void forms_data();
    void forms();
};

void TestPlural::forms_data()
{
    QTest::addColumn<qint64>("count");
    QTest::addColumn<QString>("word");
    const QList<std::pair<qint64, const char *>> rows{
        {0, "заявок"},    {1, "заявка"},    {2, "заявки"},   {3, "заявки"},   {4, "заявки"},    {5, "заявок"},
        {9, "заявок"},    {10, "заявок"},   {11, "заявок"},  {12, "заявок"},  {13, "заявок"},   {14, "заявок"},
        {15, "заявок"},   {19, "заявок"},   {20, "заявок"},  {21, "заявка"},  {22, "заявки"},   {24, "заявки"},
        {25, "заявок"},   {100, "заявок"},  {101, "заявка"}, {102, "заявки"}, {111, "заявок"},  {112, "заявок"},
        {114, "заявок"},  {121, "заявка"},  {1001, "заявка"}, {1011, "заявок"}, {-1, "заявка"},  {-12, "заявок"},
        {-22, "заявки"},  {std::numeric_limits<qint64>::min(), "заявок"}, // ...808
    };
    for (const auto &[count, word] : rows)
        QTest::addRow("%lld", count) << count << QString::fromUtf8(word);
}

void TestPlural::forms()
{
    QFETCH(qint64, count);
    QFETCH(QString, word);
    QCOMPARE(RussianPlural(count, QStringLiteral("заявка"), QStringLiteral("заявки"), QStringLiteral("заявок")), word);
}

QTEST_GUILESS_MAIN(TestPlural)
#include "tst_plural.moc"
