// Client accounts and position sizing: every rule of the settings and every
// operator mode on a real portfolio, the choice of assets (leverage, EBS,
// futures open limit), the balance tables of SINGLE and MULTI mode, and the
// failures that leave the quantity as it came.

#include "engine/untrade.h"
#include "tradefixture.h"

#include <QtTest>

namespace {
const QVariant none; // no row at all
}

class TestSizing : public QObject {
    Q_OBJECT

private slots:
    void init();

    void sizing_data();
    void sizing();
    void balanceTableByMode_data();
    void balanceTableByMode();
    void portfolioErrorKeepsQuantity();
    void assetsFollowEveryChange();
    void clientAccounts();
};

void TestSizing::init() { QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia)); }

void TestSizing::sizing_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("rule");         // strategy orders
    QTest::addColumn<QString>("qtyMode");  // operator orders
    QTest::addColumn<double>("share");
    QTest::addColumn<QString>("classCode");
    QTest::addColumn<int>("lotSize");
    QTest::addColumn<double>("pointValue");
    QTest::addColumn<double>("minMov");
    QTest::addColumn<double>("price");
    QTest::addColumn<int>("textQty");
    QTest::addColumn<double>("leverage");
    QTest::addColumn<bool>("ebs");
    QTest::addColumn<QVariant>("curallassets");
    QTest::addColumn<QVariant>("openlimit");
    QTest::addColumn<double>("secPart");
    QTest::addColumn<double>("secFixVol");
    QTest::addColumn<QVariant>("balance");
    QTest::addColumn<int>("quantity");
    QTest::addColumn<QString>("operation");

    const QString S = QStringLiteral("TQBR"), F = QStringLiteral("SPBFUT"), N;
    const QVariant mln(1e6);
    // Settings: FixVol 30000, Part 20.
    //                                                kind rule mode share class lot  pv    step  price     text lev  ebs  curall  openlimit part  fixvol balance qty   op
    QTest::newRow("rule 0: 1000 by lot 100")          << 0 << 0 << N << 0.0 << S << 100 << 1.0 << 0.01 << 10.0 << 1000 << 0.0 << false << none << none << 0.0 << 0.0 << none << 10 << "B";
    QTest::newRow("rule 0: 150 by lot 100")           << 0 << 0 << N << 0.0 << S << 100 << 1.0 << 0.01 << 10.0 << 150 << 0.0 << false << none << none << 0.0 << 0.0 << none << 1 << "B";
    QTest::newRow("rule 0: 50 by lot 100")            << 0 << 0 << N << 0.0 << S << 100 << 1.0 << 0.01 << 10.0 << 50 << 0.0 << false << none << none << 0.0 << 0.0 << none << 0 << "B";
    QTest::newRow("rule 1: fixed sum, stock")         << 0 << 1 << N << 0.0 << S << 10 << 1.0 << 0.01 << 150.5 << 7 << 0.0 << false << none << none << 0.0 << 0.0 << none << 19 << "B";
    QTest::newRow("rule 1: 19.99 lots become 19")     << 0 << 1 << N << 0.0 << S << 1 << 1.0 << 0.01 << 1500.75 << 7 << 0.0 << false << none << none << 0.0 << 0.0 << none << 19 << "B";
    QTest::newRow("rule 1: stock ignores point value") << 0 << 1 << N << 0.0 << S << 1 << 7.0 << 0.01 << 1000.0 << 7 << 0.0 << false << none << none << 0.0 << 0.0 << none << 30 << "B";
    QTest::newRow("rule 1: futures with step 0")      << 0 << 1 << N << 0.0 << F << 1 << 20.0 << 0.0 << 1000.0 << 7 << 0.0 << false << none << none << 0.0 << 0.0 << none << 30 << "B";
    QTest::newRow("rule 1: futures point value per step") << 0 << 1 << N << 0.0 << F << 1 << 20.0 << 10.0 << 1000.0 << 7 << 0.0 << false << none << none << 0.0 << 0.0 << none << 15 << "B";
    QTest::newRow("rule 2: share with leverage 1")    << 0 << 2 << N << 0.0 << S << 1 << 1.0 << 0.01 << 250.0 << 7 << 1.0 << false << mln << none << 0.0 << 0.0 << none << 1600 << "B";
    QTest::newRow("rule 2: float hair below a whole lot") << 0 << 2 << N << 0.0 << S << 1 << 1.0 << 0.01 << 1.12 << 7 << 0.0 << false << QVariant(700000.0) << none << 0.0 << 0.0 << none << 125000 << "B";
    QTest::newRow("rule 2: futures without EBS: open limit") << 0 << 2 << N << 0.0 << F << 1 << 20.0 << 10.0 << 150000.0 << 7 << 0.0 << false << QVariant(1e9) << QVariant(5e6) << 0.0 << 0.0 << none << 3 << "B";
    QTest::newRow("rule 2: futures with EBS: total assets") << 0 << 2 << N << 0.0 << F << 1 << 20.0 << 10.0 << 150000.0 << 7 << 0.0 << true << QVariant(3e6) << QVariant(5e6) << 0.0 << 0.0 << none << 2 << "B";
    QTest::newRow("rule 2: no portfolio row keeps the text quantity") << 0 << 2 << N << 0.0 << S << 100 << 1.0 << 0.01 << 250.0 << 1000 << 0.0 << false << none << none << 0.0 << 0.0 << none << 1000 << "B";
    QTest::newRow("rule 2: zero assets keep the text quantity") << 0 << 2 << N << 0.0 << S << 100 << 1.0 << 0.01 << 250.0 << 1000 << 0.0 << false << QVariant(0.0) << QVariant(0.0) << 0.0 << 0.0 << none << 1000 << "B";
    QTest::newRow("rule 3: the security's sum")       << 0 << 3 << N << 0.0 << S << 10 << 1.0 << 0.01 << 250.0 << 7 << 0.0 << false << none << none << 0.0 << 100000.0 << none << 40 << "B";
    QTest::newRow("rule 4: the security's share, futures") << 0 << 4 << N << 0.0 << F << 1 << 20.0 << 10.0 << 150000.0 << 7 << 0.0 << false << mln << QVariant(5e6) << 10.0 << 0.0 << none << 1 << "B";
    QTest::newRow("point value 0 stops sizing")       << 0 << 1 << N << 0.0 << S << 1 << 0.0 << 0.01 << 100.0 << 5 << 0.0 << false << none << none << 0.0 << 0.0 << none << 5 << "B";
    QTest::newRow("price 0 stops sizing")             << 0 << 1 << N << 0.0 << S << 1 << 1.0 << 0.01 << 0.0 << 5 << 0.0 << false << none << none << 0.0 << 0.0 << none << 5 << "B";
    QTest::newRow("lot size 0 stops sizing")          << 0 << 1 << N << 0.0 << S << 0 << 1.0 << 0.01 << 100.0 << 5 << 0.0 << false << none << none << 0.0 << 0.0 << none << 5 << "B";

    const QString A = QStringLiteral("СЧЕТА"), P = QStringLiteral("ПОЗИЦИИ"), U = QStringLiteral("УСТАН.ПОЗИЦИЮ");
    QTest::newRow("of the account")                   << 1 << 0 << A << 50.0 << S << 10 << 1.0 << 0.01 << 100.0 << 0 << 0.0 << false << mln << none << 0.0 << 0.0 << none << 500 << "B";
    QTest::newRow("of the account, futures open limit") << 1 << 0 << A << 50.0 << F << 1 << 20.0 << 10.0 << 1000.0 << 0 << 1.0 << false << mln << QVariant(2e5) << 0.0 << 0.0 << none << 100 << "B";
    QTest::newRow("of the position")                  << 1 << 0 << P << 50.0 << S << 10 << 1.0 << 0.01 << 100.0 << 0 << 0.0 << false << mln << none << 0.0 << 0.0 << QVariant(1000) << 50 << "B";
    QTest::newRow("of the position needs a portfolio row") << 1 << 0 << P << 50.0 << S << 10 << 1.0 << 0.01 << 100.0 << 0 << 0.0 << false << none << none << 0.0 << 0.0 << QVariant(1000) << 0 << "B";
    QTest::newRow("of a negative position")           << 1 << 0 << P << 50.0 << S << 10 << 1.0 << 0.01 << 100.0 << 0 << 0.0 << false << mln << none << 0.0 << 0.0 << QVariant(-1000) << -50 << "B";
    QTest::newRow("of no position")                   << 1 << 0 << P << 50.0 << S << 10 << 1.0 << 0.01 << 100.0 << 0 << 0.0 << false << mln << none << 0.0 << 0.0 << none << 0 << "B";
    QTest::newRow("set the position: buy")            << 1 << 0 << U << 20.0 << S << 10 << 1.0 << 0.01 << 100.0 << 0 << 0.0 << false << mln << none << 0.0 << 0.0 << QVariant(500) << 150 << "B";
    QTest::newRow("set the position: sell")           << 1 << 0 << U << 20.0 << S << 10 << 1.0 << 0.01 << 100.0 << 0 << 0.0 << false << mln << none << 0.0 << 0.0 << QVariant(3000) << 100 << "S";
    QTest::newRow("set the position: on target")      << 1 << 0 << U << 20.0 << S << 10 << 1.0 << 0.01 << 100.0 << 0 << 0.0 << false << mln << none << 0.0 << 0.0 << QVariant(2000) << 0 << "S";
    QTest::newRow("set the position: futures")        << 1 << 0 << U << 20.0 << F << 1 << 10.0 << 10.0 << 1000.0 << 0 << 0.0 << false << QVariant(5e6) << mln << 0.0 << 0.0 << QVariant(5) << 195 << "B";
    QTest::newRow("unknown mode")                     << 1 << 0 << "ДРУГОЕ" << 20.0 << S << 10 << 1.0 << 0.01 << 100.0 << 0 << 0.0 << false << mln << none << 0.0 << 0.0 << none << 0 << "B";
}

void TestSizing::sizing()
{
    QFETCH(int, kind);
    QFETCH(int, rule);
    QFETCH(QString, qtyMode);
    QFETCH(double, share);
    QFETCH(QString, classCode);
    QFETCH(int, lotSize);
    QFETCH(double, pointValue);
    QFETCH(double, minMov);
    QFETCH(double, price);
    QFETCH(int, textQty);
    QFETCH(double, leverage);
    QFETCH(bool, ebs);
    QFETCH(QVariant, curallassets);
    QFETCH(QVariant, openlimit);
    QFETCH(double, secPart);
    QFETCH(double, secFixVol);
    QFETCH(QVariant, balance);
    QFETCH(int, quantity);
    QFETCH(QString, operation);

    TradeFixture f;
    f.settings().rgpPositionSize = rule;
    // Another client's rows must never count.
    f.addPortfolio(QString(), QStringLiteral("OTHER"), 9e9);
    f.addPortfolioFut(QString(), QStringLiteral("FOTHER"), 9e9);
    if (curallassets.isValid())
        f.addPortfolio(QString(), QStringLiteral("C1"), curallassets);
    if (openlimit.isValid())
        f.addPortfolioFut(QString(), QStringLiteral("F1"), openlimit);
    if (balance.isValid()) {
        if (classCode == QLatin1String("SPBFUT"))
            f.addLimitFut(QString(), QStringLiteral("F1"), QStringLiteral("SEC"), 0, balance.toDouble());
        else
            f.addLimitStock(QString(), QStringLiteral("C1"), QStringLiteral("SEC"), 0, balance.toDouble());
    }
    f.addLimitStock(QString(), QStringLiteral("C1"), QStringLiteral("OTHERSEC"), 0, 77777);
    f.buildPortfolioViews(0);

    TClientAccount a;
    a.Code = QStringLiteral("C1");
    a.AccountForts = QStringLiteral("F1");
    a.Leverage = leverage;
    a.Ebs = ebs;

    TPreOrder p;
    ClearPreOrder(p, static_cast<OrderKind>(kind));
    p.QtyMode = QuantityModeOf(qtyMode);
    p.Share = share;
    p.OrderType = QStringLiteral("LE");
    p.SecData.SecCode = QStringLiteral("SEC");
    p.SecData.ClassCode = classCode;

    TOrder o;
    o.OrderType = p.OrderType;
    o.Operation = QStringLiteral("B");
    o.Price = price;
    o.Quantity = kind == 0 ? textQty : 0;
    o.SecData.ClassCode = classCode;
    o.SecData.LotSize = lotSize;
    o.SecData.PointValue = pointValue;
    o.SecData.MinMov = minMov;
    o.SecData.Part = secPart;
    o.SecData.FixVol = secFixVol;

    SizeOrder(f.dm, f.settings(), o, p, a);
    QCOMPARE(o.Quantity, quantity);
    QCOMPARE(o.Operation, operation);
    QCOMPARE(f.ws.messages(), QStringList());
}

void TestSizing::balanceTableByMode_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("idQuik");
    QTest::addColumn<QString>("classCode");
    QTest::addColumn<int>("balance");
    QTest::addColumn<QString>("missingTable");
    QTest::newRow("SINGLE stock") << 0 << 3 << "TQBR" << 11 << "";
    QTest::newRow("SINGLE futures") << 0 << 3 << "SPBFUT" << 22 << "";
    QTest::newRow("MULTI stock on terminal 3") << 1 << 3 << "TQBR" << 33 << "";
    QTest::newRow("MULTI futures on terminal 3") << 1 << 3 << "SPBFUT" << 44 << "";
    QTest::newRow("MULTI terminal without tables") << 1 << 9 << "TQBR" << 0 << "tLimitStock9";
}

void TestSizing::balanceTableByMode()
{
    QFETCH(int, mode);
    QFETCH(int, idQuik);
    QFETCH(QString, classCode);
    QFETCH(int, balance);
    QFETCH(QString, missingTable);
    TradeFixture f;
    f.settings().rgpSingleMulti = mode;
    f.addTerminal(3, QStringLiteral("Q3"));
    f.addLimitStock(QString(), QStringLiteral("C1"), QStringLiteral("SEC"), 0, 11);
    f.addLimitFut(QString(), QStringLiteral("F1"), QStringLiteral("SEC"), 0, 22);
    f.addLimitStock(QStringLiteral("3"), QStringLiteral("C1"), QStringLiteral("SEC"), 0, 33);
    f.addLimitFut(QStringLiteral("3"), QStringLiteral("F1"), QStringLiteral("SEC"), 0, 44);
    // Rows of other clients and accounts, and of other securities.
    f.addLimitStock(QStringLiteral("3"), QStringLiteral("C2"), QStringLiteral("SEC"), 0, 55);
    f.addLimitFut(QStringLiteral("3"), QStringLiteral("F1"), QStringLiteral("SEC2"), 0, 66);

    TClientAccount a;
    a.Code = QStringLiteral("C1");
    a.AccountForts = QStringLiteral("F1");
    a.IdQuik = idQuik;
    TPreOrder p;
    ClearPreOrder(p, OrderKind::Operator);
    p.SecData.SecCode = QStringLiteral("SEC");
    p.SecData.ClassCode = classCode;
    QCOMPARE(ReadCurrentBalance(f.dm, f.settings(), a, p), balance);
    const QStringList logged = f.ws.messages();
    if (missingTable.isEmpty()) {
        QCOMPARE(logged, QStringList());
    } else {
        QCOMPARE(logged.size(), 1);
        QVERIFY2(logged[0].startsWith(QStringLiteral("Произошла ошибка: ")) && logged[0].endsWith(QLatin1Char('.'))
                     && logged[0].contains(missingTable),
                 qPrintable(logged[0]));
    }
}

void TestSizing::portfolioErrorKeepsQuantity()
{
    // A MULTI terminal whose tables were never made: the merged portfolio
    // cannot be read.
    TradeFixture f;
    f.settings().rgpPositionSize = 2;
    f.sql(QStringLiteral("INSERT INTO tQuik (id_quik, active, quik, path) VALUES (4, 1, 'Q4', '')"));
    f.buildPortfolioViews(1);
    TClientAccount a;
    a.Code = QStringLiteral("C1");
    TPreOrder p;
    ClearPreOrder(p, OrderKind::Strategy);
    TOrder o;
    o.Price = 100;
    o.Quantity = 1000;
    o.SecData.LotSize = 10;
    o.SecData.PointValue = 1;
    SizeOrder(f.dm, f.settings(), o, p, a);
    QCOMPARE(o.Quantity, 1000);
    QCOMPARE(f.ws.messages(), QStringList{QStringLiteral("Произошла ошибка при обращении к таблице \"Клиентский портфель\"!")});
    QCOMPARE(f.ws.log.LoggedLines(), f.ws.log.lines().size());
}

void TestSizing::assetsFollowEveryChange()
{
    // The merged portfolio is read once for many clients; whatever changes the
    // database must show in the next sizing.
    TradeFixture f;
    f.addPortfolio(QString(), QStringLiteral("C1"), 1e6);
    f.addPortfolio(QString(), QStringLiteral("C2"), 4e6);
    f.buildPortfolioViews(0);
    auto size = [&f](const QString &code) {
        TClientAccount a;
        a.Code = code;
        TPreOrder p;
        ClearPreOrder(p, OrderKind::Operator);
        p.QtyMode = QuantityMode::Accounts;
        p.Share = 50;
        TOrder o;
        o.Price = 100;
        o.SecData.LotSize = 10;
        o.SecData.PointValue = 1;
        SizeOrder(f.dm, f.settings(), o, p, a);
        return o.Quantity;
    };
    QCOMPARE(size(QStringLiteral("C1")), 500);
    QCOMPARE(size(QStringLiteral("c2")), 2000); // codes compare without letter case
    // Rows the robot adds to its own tables (the journal of a dispatch) leave
    // the view as it was read: no client re-reads it.
    QSignalSpy reads(&f.dm.qQuikData, &DataSet::opened);
    f.sql(QStringLiteral("INSERT INTO tOrderNumber (trans_id, id_order, filled, code) VALUES (1, 1, 1, 'C1')"));
    f.dm.conQuikData.execute(QStringLiteral("INSERT INTO tClientOpenPositions (code, quantity) VALUES (\"C1\", 5)"));
    QCOMPARE(size(QStringLiteral("C1")), 500);
    QCOMPARE(reads.count(), 0);
    f.ws.exec(f.ws.quikDataPath(), QStringLiteral("UPDATE tPortfolio SET curallassets = 2e6 WHERE code = 'C1'")); // another process
    QCOMPARE(size(QStringLiteral("C1")), 1000);
    f.sql(QStringLiteral("UPDATE tPortfolio SET curallassets = 3e6 WHERE code = 'C1'")); // this connection
    QCOMPARE(size(QStringLiteral("C1")), 1500);
    f.sql(QStringLiteral("DELETE FROM tPortfolio WHERE code = 'C1'"));
    QCOMPARE(size(QStringLiteral("C1")), 0);
    QCOMPARE(size(QStringLiteral("C2")), 2000);
    f.sql(QStringLiteral("DROP TABLE tPortfolio"));
    QCOMPARE(size(QStringLiteral("C2")), 0);
    QCOMPARE(f.ws.messages(), QStringList{QStringLiteral("Произошла ошибка при обращении к таблице \"Клиентский портфель\"!")});
}

void TestSizing::clientAccounts()
{
    TradeFixture f;
    f.addClient(QStringLiteral("C1"), QStringLiteral("F1"), 2, 1.5, true);
    f.sql(QStringLiteral("UPDATE tClients SET ShortEnb = 1, FortsEnb = 1, MicexEnb = 0, Leverage = NULL WHERE Code = 'C1'"));
    f.addClient(QStringLiteral("C2"), QStringLiteral("F2"), 3, 0.5, false);

    TClientAccount a;
    LoadClientAccount(f.dm, a, QStringLiteral("c1"));
    QCOMPARE(a.Code, QStringLiteral("C1"));
    QCOMPARE(a.AccountMicex, QStringLiteral("MX-C1"));
    QCOMPARE(a.AccountForts, QStringLiteral("F1"));
    QVERIFY(a.LongEnb && a.ShortEnb && !a.MicexEnb && a.FortsEnb && a.Ebs);
    QCOMPARE(a.Leverage, 0.0);
    QCOMPARE(a.IdQuik, 2);

    // An unknown code leaves the account as it was.
    LoadClientAccount(f.dm, a, QStringLiteral("NONE"));
    QCOMPARE(a.Code, QStringLiteral("C1"));
    QCOMPARE(a.IdQuik, 2);

    // From the selection of active clients: every field but the terminal.
    f.dm.qActiveClients.setParam(QStringLiteral("id_quik"), 3);
    f.dm.qActiveClients.Open();
    QCOMPARE(f.dm.qActiveClients.RecordCount(), 1);
    ReadClientAccount(f.dm, a);
    QCOMPARE(a.Code, QStringLiteral("C2"));
    QCOMPARE(a.AccountForts, QStringLiteral("F2"));
    QCOMPARE(a.Leverage, 0.5);
    QVERIFY(a.LongEnb && !a.ShortEnb && a.MicexEnb && !a.FortsEnb && !a.Ebs);
    QCOMPARE(a.IdQuik, 2);
}

QTEST_GUILESS_MAIN(TestSizing)
#include "tst_sizing.moc"
