// The robot's position book: entries recorded, exits sized from the book and
// deleting their rows, and the key by which they meet.

#include "engine/positionbook.h"
#include "engine/untrade.h"
#include "tradefixture.h"

#include <QtTest>

namespace {

struct Signal {
    QString type;
    QString code = QStringLiteral("C1");
    QString symbol = QStringLiteral("$SBER");
    QString system = QStringLiteral("Trend(5,20)");
    QString workspace = QStringLiteral("C:\\Work\\Main.orw");
    QString interval = QStringLiteral("5 min");
};

// The order and prepared order of one strategy signal for one client.
std::pair<TOrder, TPreOrder> order(const Signal &s, int quantity, const QString &action = QStringLiteral("NEW_ORDER"))
{
    TPreOrder p;
    ClearPreOrder(p, OrderKind::Strategy);
    p.OrderType = s.type;
    p.Symbol = s.symbol;
    p.System = s.system;
    p.Workspace = s.workspace;
    p.Interval = s.interval;
    p.Signal = QStringLiteral("MA Cross");
    TOrder o;
    o.Action = action;
    o.OrderType = s.type;
    o.ClientCode = s.code;
    o.SecData.Ticker = s.symbol;
    o.Quantity = quantity;
    return {o, p};
}

void enter(TradeFixture &f, const Signal &s, int quantity, const QString &action = QStringLiteral("NEW_ORDER"))
{
    auto [o, p] = order(s, quantity, action);
    AddOpenPosition(f.dm, o, p);
}

// The quantity an exit is sized to: the sizing rule gives 12 lots (text 1200,
// lot 100), the book may replace it.
int sizedExit(TradeFixture &f, const Signal &s)
{
    auto [o, p] = order(s, 1200);
    o.Price = 100;
    o.SecData.LotSize = 100;
    o.SecData.PointValue = 1;
    TClientAccount a;
    a.Code = s.code;
    SizeOrder(f.dm, f.settings(), o, p, a);
    return o.Quantity;
}

} // namespace

class TestPositionBook : public QObject {
    Q_OBJECT

private slots:
    void entryIsRecorded();
    void onlyPlainEntriesAreRecorded_data();
    void onlyPlainEntriesAreRecorded();
    void exitQuantityFromTheBook_data();
    void exitQuantityFromTheBook();
    void exitDeletesEveryRowOfItsKey();
    void recordingFailureIsLogged();
};

void TestPositionBook::entryIsRecorded()
{
    TradeFixture f;
    Signal s{QStringLiteral("SE")};
    s.interval = QString(); // an empty interval is a value like any other
    enter(f, s, 7);
    QSqlQuery q = f.dm.conQuikData.native(
        QStringLiteral("SELECT quantity, symbol, code, System, Signal, Workspace, Interval, Position FROM tClientOpenPositions"));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toInt(), 7);
    QCOMPARE(q.value(1).toString(), QStringLiteral("$SBER"));
    QCOMPARE(q.value(2).toString(), QStringLiteral("C1"));
    QCOMPARE(q.value(3).toString(), QStringLiteral("Trend(5,20)"));
    QCOMPARE(q.value(4).toString(), QStringLiteral("MA Cross"));
    QCOMPARE(q.value(5).toString(), QStringLiteral("Main.orw"));
    QVERIFY(!q.value(6).isNull());
    QCOMPARE(q.value(6).toString(), QString());
    QCOMPARE(q.value(7).toString(), QStringLiteral("Short"));
    QVERIFY(!q.next());
    q.finish();
    // ... and the exit with the same empty interval finds it.
    f.settings().chExitQty = true;
    s.type = QStringLiteral("SX");
    QCOMPARE(sizedExit(f, s), 7);
}

void TestPositionBook::onlyPlainEntriesAreRecorded_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("rows");
    QTest::newRow("long entry") << "LE" << "NEW_ORDER" << 1;
    QTest::newRow("stop entry") << "LE" << "NEW_STOP_ORDER" << 0;
    QTest::newRow("exit") << "LX" << "NEW_ORDER" << 0;
    QTest::newRow("operator order") << "" << "NEW_ORDER" << 0;
}

void TestPositionBook::onlyPlainEntriesAreRecorded()
{
    QFETCH(QString, type);
    QFETCH(QString, action);
    QFETCH(int, rows);
    TradeFixture f;
    enter(f, Signal{type}, 5, action);
    QSqlQuery q = f.dm.conQuikData.native(QStringLiteral("SELECT COUNT(*) FROM tClientOpenPositions"));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toInt(), rows);
}

void TestPositionBook::exitQuantityFromTheBook_data()
{
    QTest::addColumn<bool>("exitQty");
    QTest::addColumn<QString>("entryType");
    QTest::addColumn<QString>("signalType");
    QTest::addColumn<QString>("differs"); // the key column in which the signal differs from the entry
    QTest::addColumn<int>("quantity");
    QTest::newRow("long exit takes the book's 7") << true << "LE" << "LX" << "" << 7;
    QTest::newRow("short exit takes the book's 7") << true << "SE" << "SX" << "" << 7;
    QTest::newRow("exit quantity off") << false << "LE" << "LX" << "" << 12;
    QTest::newRow("entry never consults the book") << true << "LE" << "LE" << "" << 12;
    QTest::newRow("long book does not serve a short exit") << true << "LE" << "SX" << "" << 12;
    QTest::newRow("another client") << true << "LE" << "LX" << "code" << 12;
    QTest::newRow("another symbol") << true << "LE" << "LX" << "symbol" << 12;
    QTest::newRow("another system") << true << "LE" << "LX" << "system" << 12;
    QTest::newRow("another workspace file") << true << "LE" << "LX" << "workspace" << 12;
    QTest::newRow("same workspace file in another folder") << true << "LE" << "LX" << "folder" << 7;
    QTest::newRow("another interval") << true << "LE" << "LX" << "interval" << 12;
}

void TestPositionBook::exitQuantityFromTheBook()
{
    QFETCH(bool, exitQty);
    QFETCH(QString, entryType);
    QFETCH(QString, signalType);
    QFETCH(QString, differs);
    QFETCH(int, quantity);
    TradeFixture f;
    f.settings().rgpPositionSize = 0;
    f.settings().chExitQty = exitQty;
    enter(f, Signal{entryType}, 7);

    Signal s{signalType};
    if (differs == QLatin1String("code"))
        s.code = QStringLiteral("C2");
    else if (differs == QLatin1String("symbol"))
        s.symbol = QStringLiteral("$GAZP");
    else if (differs == QLatin1String("system"))
        s.system = QStringLiteral("Trend(5,50)");
    else if (differs == QLatin1String("workspace"))
        s.workspace = QStringLiteral("C:\\Work\\Other.orw");
    else if (differs == QLatin1String("folder"))
        s.workspace = QStringLiteral("D:\\Elsewhere\\Main.orw");
    else if (differs == QLatin1String("interval"))
        s.interval = QStringLiteral("15 min");
    QCOMPARE(sizedExit(f, s), quantity);
}

void TestPositionBook::exitDeletesEveryRowOfItsKey()
{
    TradeFixture f;
    f.settings().chExitQty = true;
    enter(f, Signal{QStringLiteral("LE")}, 3);
    enter(f, Signal{QStringLiteral("LE")}, 4);
    enter(f, Signal{QStringLiteral("SE")}, 5);                  // the short book stays
    Signal other{QStringLiteral("LE")};
    other.code = QStringLiteral("C2");
    enter(f, other, 6);                                          // another client's stays

    Signal exit{QStringLiteral("LX")};
    QCOMPARE(sizedExit(f, exit), 3); // the oldest row of the key
    auto [o, p] = order(exit, 3);
    DeleteOpenPositions(f.dm, o, p);
    QCOMPARE(sizedExit(f, exit), 12);

    // An entry deletes nothing.
    auto [eo, ep] = order(Signal{QStringLiteral("SE")}, 1);
    DeleteOpenPositions(f.dm, eo, ep);
    QSqlQuery q = f.dm.conQuikData.native(QStringLiteral("SELECT quantity FROM tClientOpenPositions ORDER BY id"));
    QList<int> left;
    while (q.next())
        left << q.value(0).toInt();
    QCOMPARE(left, (QList<int>{5, 6}));
    QCOMPARE(f.dm.qExitQty.SQL().mid(1), (QStringList{QStringLiteral("FROM tClientOpenPositions"),
                                                       QStringLiteral("WHERE code=:code and symbol=:symbol and system=:system and "
                                                                      "workspace=:workspace and [tClientOpenPositions].[interval] = "
                                                                      ":interval and [tClientOpenPositions].[position] =:position")}));
}

void TestPositionBook::recordingFailureIsLogged()
{
    TradeFixture f;
    f.sql(QStringLiteral("DROP TABLE tClientOpenPositions"));
    enter(f, Signal{QStringLiteral("LE")}, 7);
    // The line, then the database's reason on a line of its own.
    const QStringList lines = f.ws.messages();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.first(), QStringLiteral("Произошла ошибка при добавлении записи в таблицу tClientOpenPositions"));
    QVERIFY2(lines.last().contains(QStringLiteral("tClientOpenPositions")), qPrintable(lines.last()));
    QVERIFY(f.dm.quikWrites.isEmpty()); // the row is not kept: the table is gone, not busy
}

QTEST_GUILESS_MAIN(TestPositionBook)
#include "tst_positionbook.moc"
