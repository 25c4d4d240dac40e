// Orders and securities: reading alert rows and quotes, the three filters,
// the directory lookup, the order text, pricing with slippage and the price
// text of a transaction.

#include "config/korvinaerror.h"
#include "engine/untrade.h"
#include "tradefixture.h"

#include <QtTest>

class TestOrders : public QObject {
    Q_OBJECT

private slots:
    void init();

    void strategyOrderFromAlertRow_data();
    void strategyOrderFromAlertRow();
    void quoteRow();
    void filters_data();
    void filters();
    void lookupSecurity_data();
    void lookupSecurity();
    void classCodeByTicker();
    void orderText_data();
    void orderText();
    void orderTextQuantityNotAnInteger();
    void pricing_data();
    void pricing();
    void formatOrderPrice_data();
    void formatOrderPrice();
};

void TestOrders::init() { QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia)); }

void TestOrders::strategyOrderFromAlertRow_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<bool>("useQuery");
    QTest::addColumn<bool>("filled");
    QTest::newRow("filled-orders table") << "FilledOrders" << false << true;
    QTest::newRow("filled-orders work query") << "FilledOrders" << true << true;
    QTest::newRow("active orders") << "ActiveOrders" << false << false;
}

void TestOrders::strategyOrderFromAlertRow()
{
    QFETCH(QString, table);
    QFETCH(bool, useQuery);
    QFETCH(bool, filled);
    TradeFixture f;
    const QString longSystem = QString(300, QLatin1Char('S'));
    const bool hasFill = table == QLatin1String("FilledOrders");
    f.ws.exec(f.ws.alertsPath(),
              QStringLiteral("INSERT INTO %1 (ID, Symbol, Description, OrderType, \"Order\", System, Signal, Workspace, Interval, "
                             "\"Order Number\"%2) VALUES (17, 'SBER', NULL, 'LE', 'Buy 10 SBER 250.5 ', :sys, 'Sig', "
                             "'C:\\W\\a.orw', '5 min', NULL%3)")
                  .arg(table, hasFill ? QStringLiteral(", \"Fill Price\", \"Time Filled\"") : QString(),
                       hasFill ? QStringLiteral(", 251.25, '2024-03-01T10:15:00'") : QString()),
              {{QStringLiteral("sys"), longSystem}});
    QString error;
    QVERIFY(f.dm.conOmega.open(f.ws.alertsPath(), &error));
    DataSet &d = table == QLatin1String("FilledOrders") ? (useQuery ? f.dm.qFilledOrders : f.dm.tFilledOrders) : f.dm.tActiveOrders;
    if (useQuery)
        d.setSQL(QStringList{QStringLiteral("SELECT *"), QStringLiteral("FROM FilledOrders")});
    d.Open();

    TPreOrder p;
    p.FillPrice = 99; // cleared for every row
    ReadStrategyOrder(p, d);
    QCOMPARE(p.Kind, OrderKind::Strategy);
    QCOMPARE(p.Id, 17);
    QCOMPARE(p.Symbol.str(), QStringLiteral("SBER"));
    QCOMPARE(p.Description.str(), QString());
    QCOMPARE(p.OrderType.str(), QStringLiteral("LE"));
    QCOMPARE(p.OrderText.str(), QStringLiteral("Buy 10 SBER 250.5 "));
    QCOMPARE(p.System.str(), longSystem.left(255));
    QCOMPARE(p.Workspace.str(), QStringLiteral("C:\\W\\a.orw"));
    QCOMPARE(p.Interval.str(), QStringLiteral("5 min"));
    QCOMPARE(p.OrderNumber.str(), QString());
    QCOMPARE(p.Filled, filled);
    QCOMPARE(p.FillPrice, filled ? 251.25 : 0.0);
    QCOMPARE(p.TimeFilled.isValid(), filled);
}

void TestOrders::quoteRow()
{
    TradeFixture f;
    f.sql(QStringLiteral("INSERT INTO tParam (seccode, stock, class_code, Digits, MinMov, lotsize, offer, bid, last) "
                         "VALUES ('SBER', 'Сбербанк', 'TQBR', 2, 0.01, 10, 250.6, 250.4, NULL)"));
    f.dm.tParam.Open();
    TPreOrder p;
    p.GroupId = 5;
    p.SecData.LotSize = 77;
    ReadQuote(p, f.dm.tParam);
    QCOMPARE(p.Kind, OrderKind::Operator);
    QCOMPARE(p.GroupId, -1);
    QCOMPARE(p.SecData.Stock, QStringLiteral("Сбербанк"));
    QCOMPARE(p.SecData.SecCode, QStringLiteral("SBER"));
    QCOMPARE(p.SecData.ClassCode, QStringLiteral("TQBR"));
    QCOMPARE(p.SecData.Digits, 2);
    QCOMPARE(p.SecData.MinMov, 0.01);
    QCOMPARE(p.SecData.LotSize, 10);
    QCOMPARE(p.Offer, 250.6);
    QCOMPARE(p.Bid, 250.4);
    QCOMPARE(p.Last, 0.0);
}

void TestOrders::filters_data()
{
    QTest::addColumn<QString>("symbol");
    QTest::addColumn<QString>("workspace");
    QTest::addColumn<QString>("system");
    QTest::addColumn<bool>("passes");
    QTest::addColumn<QString>("reasons");
    const QString ws = QStringLiteral("C:\\Work\\Trend.wsp");
    QTest::newRow("all pass, case and folder ignored") << "SBER" << ws << "MyStrat(10,20)" << true << "";
    QTest::newRow("drive-relative workspace") << "SBER" << "D:Trend.wsp" << "MyStrat" << true << "";
    QTest::newRow("Cyrillic names compare without case") << "SBER" << "C:\\Р\\ТРЕНД.orw" << "Стратегия(1)" << true << "";
    QTest::newRow("not traded") << "GAZP" << ws << "MyStrat" << false << "Инструмент GAZP  не торгуется. ";
    QTest::newRow("not in the directory") << "LKOH" << ws << "MyStrat" << false << "Инструмент LKOH  не торгуется. ";
    QTest::newRow("workspace only as a whole") << "SBER" << "C:\\Work\\Trend.wsp.bak" << "MyStrat" << false
                                               << "Фильтр рабочей области не пройден. ";
    QTest::newRow("system starting with a parenthesis, listed") << "SBER" << ws << "(x)" << true << "";
    QTest::newRow("system starting with a parenthesis, not listed") << "SBER" << ws << "(y)" << false << "Фильтр стратегии не пройден. ";
    QTest::newRow("all three fail, in order") << "X" << "Other.wsp" << "Nope(1)" << false
                                              << "Инструмент X  не торгуется. Фильтр рабочей области не пройден. Фильтр стратегии не пройден. ";
}

void TestOrders::filters()
{
    QFETCH(QString, symbol);
    QFETCH(QString, workspace);
    QFETCH(QString, system);
    QFETCH(bool, passes);
    QFETCH(QString, reasons);
    TradeFixture f;
    f.addSecurity({QStringLiteral("SBER"), QStringLiteral("SBER")});
    TradeFixture::Security gazp{QStringLiteral("GAZP"), QStringLiteral("GAZP")};
    gazp.traded = false;
    f.addSecurity(gazp);
    for (const char *w : {"other.orw", "trend.WSP", "тренд.orw"})
        f.sql(QStringLiteral("INSERT INTO tWorkSpaces (workspace) VALUES (:w)"), {{QStringLiteral("w"), QString::fromUtf8(w)}});
    for (const char *s : {"mystrat", "(x)", "стратегия"})
        f.sql(QStringLiteral("INSERT INTO tStrategy (strategy) VALUES (:s)"), {{QStringLiteral("s"), QString::fromUtf8(s)}});

    TPreOrder p;
    p.Symbol = symbol;
    p.Workspace = workspace;
    p.System = system;
    QString got;
    QCOMPARE(CheckFilters(f.dm, p, got), passes);
    QCOMPARE(got, reasons);
    if (passes) // the searches stay on the rows found
        QVERIFY(f.dm.tWorkSpaces.FieldByName(QStringLiteral("workspace")).toString().compare(WorkspaceFileName(workspace),
                                                                                           Qt::CaseInsensitive) == 0);
}

void TestOrders::lookupSecurity_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("ticker");
    QTest::addColumn<QString>("secCode");
    QTest::addColumn<QString>("emptyColumn");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("logged");
    QTest::newRow("by ticker") << 0 << "$RIH5" << "" << "" << true << "";
    QTest::newRow("by security code") << 1 << "" << "RIH5" << "" << true << "";
    QTest::newRow("empty FixVol and Part read as 0") << 0 << "$RIH5" << "" << "FixVol" << true << "";
    QTest::newRow("empty LotSize reads as 0") << 0 << "$RIH5" << "" << "LotSize" << true << "";
    QTest::newRow("unknown ticker") << 0 << "$NONE" << "" << "" << false
                                    << "Ошибка! Не найден код акции \"$NONE\" в таблице \"Инструменты\"!";
    QTest::newRow("unknown code names the empty ticker") << 1 << "" << "NONE" << "" << false
                                                         << "Ошибка! Не найден код акции \"\" в таблице \"Инструменты\"!";
    QTest::newRow("ticker with a double quote") << 0 << "A\"B" << "" << "" << false
                                                << "Ошибка! Не найден код акции \"A\"B\" в таблице \"Инструменты\"!";
    for (const char *column : {"Digits", "PointValue", "Slippage", "Traded"})
        QTest::newRow(qPrintable(QStringLiteral("empty %1").arg(QLatin1String(column))))
            << 0 << "$RIH5" << "" << column << false
            << "Произошла ошибка при обращении к таблице \"Инструменты\" для тикера $RIH5!";
}

void TestOrders::lookupSecurity()
{
    QFETCH(int, kind);
    QFETCH(QString, ticker);
    QFETCH(QString, secCode);
    QFETCH(QString, emptyColumn);
    QFETCH(bool, found);
    QFETCH(QString, logged);
    TradeFixture f;
    f.addSecurity({QStringLiteral("$SBER"), QStringLiteral("SBER")});
    TradeFixture::Security ri{QStringLiteral("$RIH5"), QStringLiteral("RIH5"), QStringLiteral("SPBFUT"), 0, 1, 13.5, 10.0, true, 0.3, 15.0, 50000.0};
    f.addSecurity(ri);
    f.sql(QStringLiteral("UPDATE tSecCode SET Base_Contract = 'RTS'"));
    if (emptyColumn == QLatin1String("FixVol"))
        f.sql(QStringLiteral("UPDATE tSecCode SET FixVol = NULL, Part = NULL"));
    else if (!emptyColumn.isEmpty())
        f.sql(QStringLiteral("UPDATE tSecCode SET \"%1\" = NULL").arg(emptyColumn));

    TSecData s;
    s.Ticker = ticker;
    s.SecCode = secCode;
    s.Stock = QStringLiteral("kept");
    QCOMPARE(LookupSecurity(f.dm, s, static_cast<OrderKind>(kind)), found);
    QCOMPARE(f.ws.messages(), logged.isEmpty() ? QStringList() : QStringList{logged});
    QCOMPARE(f.ws.log.LoggedLines(), f.ws.log.lines().size()); // the log file is written at once
    if (!found)
        return;
    QCOMPARE(s.SecCode, QStringLiteral("RIH5"));
    QCOMPARE(s.Ticker, ticker);
    QCOMPARE(s.Stock, QStringLiteral("kept"));
    QCOMPARE(s.ClassCode, QStringLiteral("SPBFUT"));
    QCOMPARE(s.BaseContract, QStringLiteral("RTS"));
    QCOMPARE(s.Digits, 0);
    QCOMPARE(s.LotSize, emptyColumn == QLatin1String("LotSize") ? 0 : 1);
    QCOMPARE(s.PointValue, 13.5);
    QCOMPARE(s.MinMov, 10.0);
    QCOMPARE(s.Traded, true);
    QCOMPARE(s.Slippage, 0.3);
    QCOMPARE(s.Part, emptyColumn == QLatin1String("FixVol") ? 0.0 : 15.0);
    QCOMPARE(s.FixVol, emptyColumn == QLatin1String("FixVol") ? 0.0 : 50000.0);
}

void TestOrders::classCodeByTicker()
{
    TradeFixture f;
    f.addSecurity({QStringLiteral("$RIH5"), QStringLiteral("RIH5"), QStringLiteral("SPBFUT")});
    QCOMPARE(f.dm.ClassCodeByTicker(QStringLiteral("$RIH5")), QStringLiteral("SPBFUT"));
    QCOMPARE(f.dm.ClassCodeByTicker(QStringLiteral("$NONE")), QString());
    QCOMPARE(f.dm.ClassCodeByTicker(QStringLiteral("x\" OR \"1\"=\"1")), QString()); // a pasted value stays a value
    QVERIFY(f.dm.IsTraded(QStringLiteral("$RIH5")));
    QVERIFY(!f.dm.IsTraded(QStringLiteral("x\" OR \"1\"=\"1")));
}

void TestOrders::orderText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("russian");
    QTest::addColumn<bool>("filled");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("quantity");
    QTest::addColumn<double>("price");
    QTest::addColumn<bool>("stop");
    QTest::addColumn<bool>("market");
    QTest::newRow("limit") << "Buy 100 XYZ 12.5 Limit" << false << false << "B" << 100 << 12.5 << false << false;
    QTest::newRow("price not followed by a separator") << "Sell 3 XYZ 12.5" << false << false << "S" << 3 << 0.0 << false << false;
    QTest::newRow("direction in capitals is unknown") << "BUY 100 XYZ 12.5 " << false << false << "" << 100 << 12.5 << false << false;
    QTest::newRow("parenthesis separates") << "Sell(7 XYZ(99.25(x" << false << false << "S" << 7 << 99.25 << false << false;
    QTest::newRow("fifth token on is ignored") << "Buy 1 XYZ 2 3 4 " << false << false << "B" << 1 << 2.0 << false << false;
    QTest::newRow("stop inside a word, any case") << "Buy 5 NONSTOPX 10 " << false << false << "B" << 5 << 10.0 << true << false;
    QTest::newRow("market in any case") << "Sell 5 XYZ 10 at Market" << false << false << "S" << 5 << 10.0 << false << true;
    QTest::newRow("price that is no number") << "Buy 5 XYZ abc " << false << false << "B" << 5 << 0.0 << false << false;
    QTest::newRow("locale decimal comma") << "Buy 5 XYZ 12,75 " << true << false << "B" << 5 << 12.75 << false << false;
    QTest::newRow("point is no decimal separator in the locale") << "Buy 5 XYZ 12.75 " << true << false << "B" << 5 << 0.0 << false << false;
    QTest::newRow("filled: fill price, never a stop") << "Sell 3 XYZ 12.5 STOP " << false << true << "S" << 3 << 200.0 << false << true;
}

void TestOrders::orderText()
{
    QFETCH(QString, text);
    QFETCH(bool, russian);
    QFETCH(bool, filled);
    QFETCH(QString, operation);
    QFETCH(int, quantity);
    QFETCH(double, price);
    QFETCH(bool, stop);
    QFETCH(bool, market);
    QLocale::setDefault(russian ? QLocale(QLocale::Russian, QLocale::Russia) : QLocale::c());
    TPreOrder p;
    p.OrderText = text;
    p.Filled = filled;
    p.FillPrice = 200;
    TOrder o;
    ParseOrderText(o, p);
    QCOMPARE(o.Operation, operation);
    QCOMPARE(o.Quantity, quantity);
    QCOMPARE(o.Price, price);
    QCOMPARE(o.StopOrder, stop);
    QCOMPARE(o.MarketOrder, market);
}

void TestOrders::orderTextQuantityNotAnInteger()
{
    for (const QString &text : {QStringLiteral("Buy 1.5 XYZ 10 "), QStringLiteral("Buy  100 XYZ 10 ")}) {
        TPreOrder p;
        p.OrderText = text;
        TOrder o;
        QVERIFY_THROWS_EXCEPTION(KorvinaError, ParseOrderText(o, p));
    }
}

void TestOrders::pricing_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<double>("price");
    QTest::addColumn<bool>("stop");
    QTest::addColumn<bool>("market");
    QTest::addColumn<double>("expectedPrice");
    QTest::addColumn<double>("expectedStop");
    // Slippage 0.5 %
    QTest::newRow("limit buy") << "B" << 100.0 << false << false << 100.0 << 100.5;
    QTest::newRow("stop buy") << "B" << 100.0 << true << false << 100.5 << 100.0;
    QTest::newRow("market buy") << "B" << 100.0 << false << true << 100.5 << 100.5;
    QTest::newRow("filled sell") << "S" << 200.0 << false << true << 199.0 << 199.0;
    QTest::newRow("stop sell") << "S" << 200.0 << true << false << 199.0 << 200.0;
    QTest::newRow("no direction takes the sell formula") << "" << 200.0 << false << false << 200.0 << 199.0;
}

void TestOrders::pricing()
{
    QFETCH(QString, operation);
    QFETCH(double, price);
    QFETCH(bool, stop);
    QFETCH(bool, market);
    QFETCH(double, expectedPrice);
    QFETCH(double, expectedStop);
    TOrder o;
    o.SecData.Slippage = 0.5;
    o.Operation = operation;
    o.Price = price;
    o.StopOrder = stop;
    o.MarketOrder = market;
    PriceOrder(o);
    QCOMPARE(o.Price, expectedPrice);
    QCOMPARE(o.StopPrice, expectedStop);
}

void TestOrders::formatOrderPrice_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("step");
    QTest::addColumn<int>("digits");
    QTest::addColumn<bool>("russian");
    QTest::addColumn<QString>("text");
    QTest::newRow("cut down, not rounded") << 100.299 << 0.01 << 2 << false << "100.29";
    QTest::newRow("half-tick step") << 1.23456 << 0.0005 << 4 << false << "1.2345";
    QTest::newRow("no step") << 150.0 << 0.0 << 0 << false << "150";
    QTest::newRow("negative step leaves the value") << 10.077 << -1.0 << 2 << false << "10.08";
    QTest::newRow("step 0.05 never rounds up") << 10.07 << 0.05 << 2 << false << "10.05";
    QTest::newRow("locale decimal comma, no grouping") << 1234567.75 << 0.5 << 1 << true << "1234567,5";
    // 150000 x (1 + 0.5/100) is 150749.99999999997 in a double.
    QTest::newRow("float hair below a step boundary") << 150000 * (1 + 0.5 / 100) << 10.0 << 0 << false << "150750";
    QTest::newRow("float hair, decimal step: 0.7 / 0.1 is 6.999999999999999") << 0.7 << 0.1 << 1 << false << "0.7";
    QTest::newRow("genuinely below the boundary goes down") << 12.3747 << 0.01 << 2 << false << "12.37";
    QTest::newRow("a millionth of a step below still goes down") << 149.99999 << 10.0 << 0 << false << "140";
}

void TestOrders::formatOrderPrice()
{
    QFETCH(double, value);
    QFETCH(double, step);
    QFETCH(int, digits);
    QFETCH(bool, russian);
    QFETCH(QString, text);
    QLocale::setDefault(russian ? QLocale(QLocale::Russian, QLocale::Russia) : QLocale::c());
    TSecData s;
    s.MinMov = step;
    s.Digits = digits;
    QCOMPARE(FormatOrderPrice(s, value), text);
}

QTEST_GUILESS_MAIN(TestOrders)
#include "tst_orders.moc"
