// The reconciliation of the robot's book with the terminals' balances: the
// rows it finds for the usual causes of a drift, since when a difference
// lasts and when it is logged and mailed, and the alignment of the book.

#include "engine/reconciliation.h"
#include "tradefixture.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

// A fixture with a stock (SBER, lot 10) and a futures contract (RIZ6,
// ticker RI) in the directory; SINGLE account 111 (FORTS SPBFUT111), and in
// MULTI clients 10001 on terminal 1 and 30001 (FORTS SPBFUT001) on terminal 3.
struct Desk {
    TradeFixture f;
    Reconciliation rec{f.settings(), f.dm};

    explicit Desk(int mode)
    {
        f.settings().rgpSingleMulti = mode;
        f.settings().edtCode = QStringLiteral("111");
        f.settings().edtAccountFORTS = QStringLiteral("SPBFUT111");
        f.addSecurity({QStringLiteral("SBER"), QStringLiteral("SBER"), QStringLiteral("TQBR"), 2, 10});
        f.addSecurity({QStringLiteral("RI"), QStringLiteral("RIZ6"), QStringLiteral("SPBFUT"), 0, 1});
        if (mode == 1) {
            f.addTerminal(1, QStringLiteral("QUIK1"));
            f.addTerminal(3, QStringLiteral("QUIK3"));
            f.addClient(QStringLiteral("10001"), QStringLiteral("SPBFUT100"), 1);
            f.addClient(QStringLiteral("30001"), QStringLiteral("SPBFUT001"), 3);
        }
    }
    // "code symbol Position quantity [System]"
    void book(const QString &row)
    {
        const QStringList p = row.split(QLatin1Char(' '));
        f.sql(QStringLiteral("INSERT INTO tClientOpenPositions (code, symbol, \"Position\", quantity, \"System\", \"Workspace\", \"Interval\") "
                             "VALUES (:c, :s, :p, :q, :sys, 'Main.orw', '5 min')"),
              {{QStringLiteral("c"), p[0]}, {QStringLiteral("s"), p[1]}, {QStringLiteral("p"), p[2]}, {QStringLiteral("q"), p[3].toInt()},
               {QStringLiteral("sys"), p.value(4, QStringLiteral("Trend"))}});
    }
    // "stock|fut suffix code-or-account seccode balance"
    void limit(const QString &row)
    {
        const QStringList p = row.split(QLatin1Char(' '));
        const QString suffix = p[1] == QLatin1String("-") ? QString() : p[1];
        if (p[0] == QLatin1String("stock"))
            f.addLimitStock(suffix, p[2], p[3], 0, p[4].toDouble());
        else
            f.addLimitFut(suffix, p[2], p[3], 0, p[4].toDouble());
    }
    void prepare()
    {
        f.dm.tQuik.Open();
        const AccountMode mode = f.settings().accountMode();
        rec.Prepare(mode, mode == AccountMode::Multi ? ReadTerminals(f.dm.tQuik) : QVector<TQuikTerminal>());
    }
    QStringList rows()
    {
        QStringList out;
        for (int i = 0; i < rec.view().RecordCount(); ++i) {
            const TReconcileRow r = rec.row(i);
            out << QStringList{r.quikName, r.code, r.secCode, QString::number(r.lots), QString::number(r.units), QString::number(r.terminal),
                               QString::number(r.diff)}
                       .join(QLatin1Char(' '));
        }
        return out;
    }
    QStringList bookQuantities()
    {
        QStringList out;
        const Database::Rows r = f.dm.conQuikData.fetch(
            QStringLiteral("SELECT [Position], quantity, [System] FROM tClientOpenPositions ORDER BY id"));
        for (const auto &row : r.rows)
            out << row.value(0).toString() + QLatin1Char(':') + row.value(1).toString() + QLatin1Char(':') + row.value(2).toString();
        return out;
    }
};

} // namespace

class TstReconcile : public QObject {
    Q_OBJECT
private slots:
    void rows_data();
    void rows();
    void differenceLoggedOnceAfterItLasts();
    void align_data();
    void align();
    void alignRefusedWhenNothingDiffers();
};

void TstReconcile::rows_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QStringList>("book");
    QTest::addColumn<QStringList>("limits");
    QTest::addColumn<QStringList>("expected"); // "quik code seccode lots units terminal diff", differences first

    QTest::newRow("book equals terminal") << 0 << QStringList{"111 SBER Long 10"} << QStringList{"stock - 111 SBER 100"}
                                          << QStringList{"Quik 111 SBER 10 100 100 0"};
    QTest::newRow("refused entry kept at 0, nothing held") << 0 << QStringList{"111 SBER Long 0"} << QStringList{} << QStringList{};
    QTest::newRow("refused entry not answered yet") << 0 << QStringList{"111 SBER Long 10"} << QStringList{}
                                                    << QStringList{"Quik 111 SBER 10 100 0 -100"};
    QTest::newRow("partial fill") << 0 << QStringList{"111 SBER Long 10"} << QStringList{"stock - 111 SBER 60"}
                                  << QStringList{"Quik 111 SBER 10 100 60 -40"};
    QTest::newRow("hand trade, and another client's holding") << 0 << QStringList{} << QStringList{"stock - 111 SBER 30", "stock - 222 SBER 50"}
                                                               << QStringList{"Quik 111 SBER 0 0 30 30"};
    QTest::newRow("short book against a short balance") << 0 << QStringList{"111 SBER Short 2", "111 SBER Long 5"}
                                                        << QStringList{"stock - 111 SBER 30"} << QStringList{"Quik 111 SBER 3 30 30 0"};
    QTest::newRow("SINGLE futures by the settings' FORTS account")
        << 0 << QStringList{"111 RI Long 2"} << QStringList{"fut - SPBFUT111 RIZ6 2", "fut - SPBFUT999 RIZ6 7"}
        << QStringList{"Quik 111 RIZ6 2 2 2 0"};
    QTest::newRow("MULTI terminal 3, not another terminal's table")
        << 1 << QStringList{"30001 SBER Long 2", "10001 SBER Long 1"}
        << QStringList{"stock 3 30001 SBER 20", "stock 1 30001 SBER 500", "stock 1 10001 SBER 10"}
        << QStringList{"QUIK1 10001 SBER 1 10 10 0", "QUIK3 30001 SBER 2 20 20 0"};
    QTest::newRow("MULTI futures by FORTS account") << 1 << QStringList{"30001 RI Short 3"}
                                                    << QStringList{"fut 3 SPBFUT001 RIZ6 -1", "fut 1 SPBFUT001 RIZ6 9"}
                                                    << QStringList{"QUIK3 30001 RIZ6 -3 -3 -1 2"};
    QTest::newRow("differences first") << 1 << QStringList{"10001 SBER Long 1", "30001 SBER Long 1"}
                                       << QStringList{"stock 1 10001 SBER 10", "stock 3 30001 SBER 0"}
                                       << QStringList{"QUIK3 30001 SBER 1 10 0 -10", "QUIK1 10001 SBER 1 10 10 0"};
    QTest::newRow("a ticker the directory lacks") << 0 << QStringList{"111 GAZP Long 4"} << QStringList{}
                                                  << QStringList{"Quik 111 GAZP 4 4 0 -4"};
    // Texts compare without regard to letter case, as the database compares
    // them: one line per client and security however a table spells them.
    QTest::newRow("MULTI: security and FORTS account in other letters")
        << 1 << QStringList{"30001 RI Short 3", "10001 sber Long 1"} << QStringList{"fut 3 spbfut001 riz6 -1", "stock 1 10001 Sber 10"}
        << QStringList{"QUIK3 30001 RIZ6 -3 -3 -1 2", "QUIK1 10001 SBER 1 10 10 0"};
    QTest::newRow("SINGLE: the settings' FORTS account in other letters")
        << 0 << QStringList{"111 RI Long 2"} << QStringList{"fut - spbfut111 RIZ6 2"} << QStringList{"Quik 111 RIZ6 2 2 2 0"};
}

void TstReconcile::rows()
{
    QFETCH(int, mode);
    QFETCH(QStringList, book);
    QFETCH(QStringList, limits);
    QFETCH(QStringList, expected);
    Desk d(mode);
    for (const QString &b : book)
        d.book(b);
    for (const QString &l : limits)
        d.limit(l);
    d.prepare();
    QCOMPARE(d.rows(), expected);
    // The tool reads the same.
    const QVector<TReconcileRow> direct =
        Reconciliation::Read(d.f.dm.conQuikData, d.f.settings().accountMode(),
                             mode ? ReadTerminals(d.f.dm.tQuik) : QVector<TQuikTerminal>(), QStringLiteral("111"), QStringLiteral("SPBFUT111"));
    QCOMPARE(direct.size(), expected.size());
}

void TstReconcile::differenceLoggedOnceAfterItLasts()
{
    Desk d(0);
    d.f.settings().edtReconcileAfter = 30;
    d.f.settings().chSendReconcile = true;
    d.book(QStringLiteral("111 SBER Long 10"));
    d.limit(QStringLiteral("stock - 111 SBER 60"));
    QSignalSpy mailed(&d.rec, &Reconciliation::notify);
    d.prepare();
    const QDateTime since = d.rec.Since(0);
    QVERIFY(since.isValid());
    auto lines = [&d](const char *word) {
        return int(d.f.ws.messages().filter(QString::fromUtf8(word)).size());
    };
    d.rec.Track(since.addSecs(29));
    QCOMPARE(lines("расходится"), 0);
    d.rec.Track(since.addSecs(31));
    QCOMPARE(lines("расходится"), 1);
    QVERIFY(d.f.ws.messages().filter(QStringLiteral("расходится")).first().contains(
        QStringLiteral("клиент 111, бумага SBER (Quik): у робота 10 лот (100 шт.), в терминале 60 шт., разница -40 шт.")));
    d.rec.Track(since.addSecs(90));
    QCOMPARE(lines("расходится"), 1);
    QCOMPARE(d.rec.Since(0), since);
    QCOMPARE(mailed.size(), 1);

    // The terminal catches up: told once that it clears.
    d.f.sql(QStringLiteral("UPDATE tLimitStock SET currentbal = 100"));
    RefreshQuery(d.rec.view());
    d.rec.Track(since.addSecs(95));
    d.rec.Track(since.addSecs(96));
    QCOMPARE(lines("позиция робота сходится с терминалом"), 1);
    QCOMPARE(mailed.size(), 2);
    QVERIFY(!d.rec.Since(0).isValid());

    // A difference shorter than the wait is never told.
    d.f.sql(QStringLiteral("UPDATE tLimitStock SET currentbal = 90"));
    RefreshQuery(d.rec.view());
    d.rec.Track(since.addSecs(100));
    d.f.sql(QStringLiteral("UPDATE tLimitStock SET currentbal = 100"));
    RefreshQuery(d.rec.view());
    d.rec.Track(since.addSecs(120));
    QCOMPARE(lines("расходится"), 1);
    QCOMPARE(mailed.size(), 2);
}

void TstReconcile::align_data()
{
    QTest::addColumn<QStringList>("book");
    QTest::addColumn<double>("terminal");
    QTest::addColumn<QStringList>("after"); // Position:quantity:System, by id

    QTest::newRow("partial fill: the newest row cut down")
        << QStringList{"111 SBER Long 4 A", "111 SBER Long 6 B"} << 60.0 << QStringList{"Long:4:A", "Long:2:B"};
    QTest::newRow("cut through several rows") << QStringList{"111 SBER Long 4 A", "111 SBER Long 6 B"} << 30.0
                                              << QStringList{"Long:3:A", "Long:0:B"};
    QTest::newRow("terminal holds more: the newest row takes it")
        << QStringList{"111 SBER Long 4 A", "111 SBER Long 6 B"} << 125.0 << QStringList{"Long:4:A", "Long:8:B"};
    QTest::newRow("hand trade: a row of the operator's") << QStringList{} << 30.0 << QStringList{"Long:3:Сверка"};
    QTest::newRow("long book, short terminal") << QStringList{"111 SBER Long 5 A"} << -20.0 << QStringList{"Long:0:A", "Short:2:Сверка"};
}

void TstReconcile::align()
{
    QFETCH(QStringList, book);
    QFETCH(double, terminal);
    QFETCH(QStringList, after);
    Desk d(0);
    for (const QString &b : book)
        d.book(b);
    d.limit(QStringLiteral("stock - 111 SBER ") + QString::number(terminal));
    d.prepare();
    QCOMPARE(d.rec.view().RecordCount(), 1);
    QString error;
    QVERIFY2(d.rec.Align(d.rec.row(0), 7, &error), qPrintable(error));
    QCOMPARE(d.bookQuantities(), after);
    // Nothing differs now but what whole lots cannot hold.
    const TReconcileRow r = d.rec.row(0);
    QVERIFY(std::fabs(r.diff) < 10);
    // Kept in the history as the operator's action, and logged.
    const Database::Rows h = d.f.dm.conQuikData.fetch(
        QStringLiteral("SELECT session, trans_id, code, trans_name, description FROM tOrderHistory"));
    QCOMPARE(h.rows.size(), 1);
    QCOMPARE(h.rows[0].value(0).toLongLong(), 7);
    QCOMPARE(h.rows[0].value(1).toInt(), -1);
    QCOMPARE(h.rows[0].value(2).toString(), QStringLiteral("111"));
    QCOMPARE(h.rows[0].value(3).toString(), QStringLiteral("Выравнивание позиции"));
    QVERIFY(h.rows[0].value(4).toString().contains(QStringLiteral("стало ") + QString::number(qint64(terminal / 10)) + QStringLiteral(" лот")));
    QCOMPARE(d.f.ws.messages().filter(QStringLiteral("выровнена по терминалу")).size(), 1);
}

void TstReconcile::alignRefusedWhenNothingDiffers()
{
    Desk d(0);
    d.book(QStringLiteral("111 SBER Long 3"));
    d.limit(QStringLiteral("stock - 111 SBER 35"));
    d.prepare();
    QString error;
    // 35 units are 3 whole lots: the book already holds them.
    QVERIFY(!d.rec.Align(d.rec.row(0), 1, &error));
    QVERIFY(error.contains(QStringLiteral("уже равна")));
    QCOMPARE(d.bookQuantities(), QStringList{QStringLiteral("Long:3:Trend")});
    QCOMPARE(d.f.dm.conQuikData.fetch(QStringLiteral("SELECT COUNT(*) FROM tOrderHistory")).rows[0].value(0).toInt(), 0);
}

QTEST_GUILESS_MAIN(TstReconcile)
#include "tst_reconcile.moc"
