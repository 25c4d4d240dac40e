// The merged terminal views: statement texts for SINGLE and MULTI mode, what
// they deliver on a real database (valuations, left-out rows, the share of
// assets), the views derived at connection, price display and the totals
// under the portfolio grids.

#include "data/views.h"
#include "engine/robot.h"
#include "tradefixture.h"

#include <QtTest>

Q_DECLARE_METATYPE(QVector<TQuikTerminal>)

namespace {

QVector<TQuikTerminal> terminals(std::initializer_list<std::pair<int, const char *>> list)
{
    QVector<TQuikTerminal> out;
    for (const auto &[n, name] : list) {
        TQuikTerminal t;
        t.id_quik = n;
        t.quik = QString::fromUtf8(name);
        out << t;
    }
    return out;
}

// Russian number text: blanks stand for the locale's thousands separator.
QString ru(QString text) { return text.replace(QLatin1Char(' '), QLocale(QLocale::Russian, QLocale::Russia).groupSeparator()); }

const QString W = QStringLiteral("WHERE (([openbal]<>0) OR ([currentbal]<>0))\r\n");
const QString X = QStringLiteral("AND TAG<>\"EQTS\"");
const QString U = QStringLiteral("\r\nUNION\r\n");

} // namespace

class TestViews : public QObject {
    Q_OBJECT

private slots:
    void init();

    void unionTexts_data();
    void unionTexts();
    void limitsTexts_data();
    void limitsTexts();
    void positionsOnDatabase_data();
    void positionsOnDatabase();
    void connectionBuildsDerivedViews();
    void formatPrice_data();
    void formatPrice();
};

void TestViews::init() { QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia)); }

void TestViews::unionTexts_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QVector<TQuikTerminal>>("list");
    QTest::addColumn<QString>("text");
    const auto ab = terminals({{1, "A"}, {2, "B"}});
    QTest::newRow("SINGLE portfolio") << "tPortfolio" << 0 << ab << "SELECT *, \"Quik\" as QuikName FROM  tPortfolio\r\n";
    QTest::newRow("SINGLE trades, newest first") << "tTrades" << 0 << ab
                                                 << "SELECT * FROM (SELECT *, \"Quik\" as QuikName FROM  tTrades\r\n)  ORDER BY tradetime DESC";
    QTest::newRow("SINGLE orders, newest first") << "tQuikOrders" << 0 << ab
                                                 << "SELECT * FROM (SELECT *, \"Quik\" as QuikName FROM  tQuikOrders\r\n) ORDER BY  orderdate DESC, ordertime DESC";
    QTest::newRow("MULTI two terminals") << "tPortfolio" << 1 << ab
                                         << "SELECT *, \"A\" As Quikname\r\nFROM tPortfolio1\r\nUNION\r\nSELECT *, \"B\" as QuikName\r\nFROM tPortfolio2\r\n";
    QTest::newRow("MULTI table name in any case") << "ttrades" << 1 << terminals({{12, "T"}})
                                                  << "SELECT * FROM (SELECT *, \"T\" As Quikname\r\nFROM ttrades12\r\n)  ORDER BY tradetime DESC";
    QTest::newRow("MULTI empty terminal list") << "tPortfolioFut" << 1 << QVector<TQuikTerminal>()
                                               << "SELECT *, \"\" As Quikname\r\nFROM tPortfolioFut0\r\n";
    QTest::newRow("MULTI terminal name with a double quote") << "tPortfolio" << 1 << terminals({{3, "My \"Q\""}})
                                                             << "SELECT *, \"My \"\"Q\"\"\" As Quikname\r\nFROM tPortfolio3\r\n";
}

void TestViews::unionTexts()
{
    QFETCH(QString, table);
    QFETCH(int, mode);
    QFETCH(QVector<TQuikTerminal>, list);
    QFETCH(QString, text);
    QCOMPARE(BuildUnionQuery(table, static_cast<AccountMode>(mode), list), text);
}

void TestViews::limitsTexts_data()
{
    QTest::addColumn<bool>("allLimits");
    QTest::addColumn<int>("group"); // -1 none
    QTest::addColumn<QString>("client");
    QTest::addColumn<QString>("security");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QVector<TQuikTerminal>>("list");
    QTest::addColumn<QString>("text");

    const auto ab = terminals({{1, "A"}, {2, "B"}});
    QTest::newRow("SINGLE, valued, no filter")
        << false << -1 << "" << "" << 0 << ab
        << QString(QStringLiteral("SELECT \"Quik\" as Quikname,  tclients.code, tclients.accountMICEX as Account , tparam.seccode, openbal, currentbal, currentbal*[tParam].[last] as Est\r\n"
                                  "FROM (tLimitStock INNER JOIN tclients ON tLimitStock.code = tclients.code) INNER JOIN tParam ON tlimitstock.seccode=tparam.seccode\r\n")
                   + W + U
                   + QStringLiteral("SELECT \"Quik\" as Quikname,  tclients.code, tclients.accountFORTS as Account , tparam.seccode, openbal, currentbal, currentbal*[tParam].[last]*[tParam].[PointValue]/[tParam].[MinMov] as Est\r\n"
                                    "FROM (tLimitFut INNER JOIN tclients ON tLimitFut.ACCOUNT = tclients.AccountFORTS) INNER JOIN tParam ON tlimitfut.seccode=tparam.seccode\r\n")
                   + W + U
                   + QStringLiteral("SELECT \"Quik\" as Quikname,  tclients.code, TAG AS ACCOUNT , CURRCODE AS SECCODE, openbal, currentbal, currentbal AS EST\r\n"
                                    "FROM (tLimitMoney INNER JOIN tclients ON tLimitMoney.code = tclients.code)\r\n")
                   + W + X);

    const QString wgc = QStringLiteral("WHERE (([openbal]<>0) OR ([currentbal]<>0)) AND ( tclients.code= \"C\"\"1\")\r\n"
                                       "AND tClients.id IN ( SELECT tGroupClients.id_client FROM tGroupClients WHERE id_group=5)");
    QTest::newRow("SINGLE, all limits, group and client")
        << true << 5 << "C\"1" << "" << 0 << ab
        << QString(QStringLiteral("SELECT \"Quik\" as Quikname, tclients.code, tclients.accountMICEX as Account , seccode, openbal, currentbal, 0 as Est\r\n"
                                  " FROM (tLimitStock RIGHT JOIN tclients ON tLimitStock.code = tclients.code)\r\n")
                   + wgc + U
                   + QStringLiteral("SELECT \"Quik\" as Quikname, tclients.code, tclients.accountFORTS as Account , seccode, openbal, currentbal,  0 as Est\r\n"
                                    " FROM (tLimitFut RIGHT JOIN tclients ON tLimitFut.ACCOUNT = tclients.AccountFORTS)\r\n")
                   + wgc + U
                   + QStringLiteral("SELECT \"Quik\" as Quikname, tclients.code, TAG AS Account , CURRCODE AS seccode, openbal, currentbal, 1/2*0 as Est\r\n"
                                    "FROM (tLimitMoney RIGHT JOIN tclients ON tLimitMoney.code = tclients.code)\r\n")
                   + wgc + X);

    const QString S1 = QStringLiteral(" tclients.code, tclients.accountMICEX as Account , tparam.seccode, openbal, currentbal, currentbal*[tParam].[last] as Est\r\n");
    const QString F1 = QStringLiteral(" tclients.code, tclients.accountFORTS as Account , tparam.seccode, openbal, currentbal, currentbal*[tParam].[last]*[tParam].[PointValue]/[tParam].[MinMov] as Est\r\n");
    const QString M1 = QStringLiteral(" tclients.code, TAG AS ACCOUNT , CURRCODE AS SECCODE, openbal, currentbal, currentbal AS EST\r\n");
    QTest::newRow("MULTI, valued, one security")
        << false << -1 << "" << "SBER" << 1 << ab
        << QString(QStringLiteral("SELECT * FROM (")
                   + QStringLiteral("SELECT \"A\" as Quikname, ") + S1
                   + QStringLiteral("FROM (tLimitStock1 INNER JOIN tclients ON tLimitStock1.code = tclients.code) INNER JOIN tParam ON tlimitstock1.seccode=tparam.seccode\r\n") + W
                   + QStringLiteral("UNION\r\nSELECT \"B\" as Quikname, ") + S1
                   + QStringLiteral("FROM (tLimitStock2 INNER JOIN tclients ON tLimitStock2.code = tclients.code) INNER JOIN tParam ON tlimitstock2.seccode=tparam.seccode\r\n") + W
                   + U
                   + QStringLiteral("SELECT \"A\" as Quikname, ") + F1
                   + QStringLiteral("FROM (tLimitFut1  INNER JOIN tclients ON tLimitFut1.ACCOUNT = tclients.AccountFORTS) INNER JOIN tParam ON tlimitfut1.seccode=tparam.seccode\r\n") + W
                   + QStringLiteral("UNION\r\nSELECT \"B\" as Quikname, ") + F1
                   + QStringLiteral("FROM (tLimitFut2  INNER JOIN tclients ON tLimitFut2.ACCOUNT = tclients.AccountFORTS) INNER JOIN tParam ON tlimitfut2.seccode=tparam.seccode\r\n") + W
                   + U
                   + QStringLiteral("SELECT \"A\" as Quikname, ") + M1
                   + QStringLiteral("FROM tLimitMoney1  INNER JOIN tclients ON tLimitMoney1.code = tclients.code\r\n") + W + X
                   + QStringLiteral("UNION\r\nSELECT \"B\" as Quikname, ") + M1
                   + QStringLiteral("FROM (tLimitMoney2  INNER JOIN tclients ON tLimitMoney2.code = tclients.code)\r\n") + W + X
                   + QStringLiteral(" ) WHERE SecCode = \"SBER\""));

    const QString S2 = QStringLiteral(" tclients.code, tclients.accountMICEX as Account , seccode, openbal, currentbal, 0 as Est\r\n");
    const QString F2 = QStringLiteral(" tclients.code, tclients.accountFORTS as Account , seccode, openbal, currentbal,  0 as Est\r\n");
    const QString M2 = QStringLiteral(" tclients.code, TAG AS Account , CURRCODE AS seccode, openbal, currentbal, 1/2*0 as Est\r\n");
    QTest::newRow("MULTI, all limits")
        << true << -1 << "" << "" << 1 << ab
        << QString(QStringLiteral("SELECT \"A\" as Quikname, ") + S2 + QStringLiteral("FROM tLimitStock1 RIGHT JOIN tclients ON tLimitStock1.code = tclients.code\r\n") + W
                   + QStringLiteral("UNION\r\nSELECT \"B\" as Quikname, ") + S2 + QStringLiteral("FROM tLimitStock2 RIGHT JOIN tclients ON tLimitStock2.code = tclients.code\r\n") + W
                   + U
                   + QStringLiteral("SELECT \"A\" as Quikname, ") + F2 + QStringLiteral("FROM tLimitFut1  RIGHT JOIN tclients ON tLimitFut1.ACCOUNT = tclients.AccountFORTS\r\n") + W
                   + QStringLiteral("UNION\r\nSELECT \"B\" as Quikname, ") + F2 + QStringLiteral("FROM tLimitFut2  RIGHT JOIN tclients ON tLimitFut2.ACCOUNT = tclients.AccountFORTS\r\n") + W
                   + U
                   + QStringLiteral("SELECT \"A\" as Quikname, ") + M2 + QStringLiteral("FROM tLimitMoney1  RIGHT JOIN tclients ON tLimitMoney1.Code = tclients.Code\r\n") + W + X
                   + QStringLiteral("UNION\r\nSELECT \"B\" as Quikname, ") + M2 + QStringLiteral("FROM tLimitMoney2  RIGHT JOIN tclients ON tLimitMoney2.Code = tclients.code\r\n") + W + X);

    QTest::newRow("MULTI, empty terminal list")
        << true << -1 << "" << "" << 1 << QVector<TQuikTerminal>()
        << QString(QStringLiteral("SELECT \"\" as Quikname, ") + S2 + QStringLiteral("FROM tLimitStock0 RIGHT JOIN tclients ON tLimitStock0.code = tclients.code\r\n") + W
                   + U
                   + QStringLiteral("SELECT \"\" as Quikname, ") + F2 + QStringLiteral("FROM tLimitFut0  RIGHT JOIN tclients ON tLimitFut0.ACCOUNT = tclients.AccountFORTS\r\n") + W
                   + U
                   + QStringLiteral("SELECT \"\" as Quikname, ") + M2 + QStringLiteral("FROM tLimitMoney0  RIGHT JOIN tclients ON tLimitMoney0.Code = tclients.Code\r\n") + W + X);
}

void TestViews::limitsTexts()
{
    QFETCH(bool, allLimits);
    QFETCH(int, group);
    QFETCH(QString, client);
    QFETCH(QString, security);
    QFETCH(int, mode);
    QFETCH(QVector<TQuikTerminal>, list);
    QFETCH(QString, text);
    QCOMPARE(BuildLimitsQuery(allLimits, group < 0 ? std::nullopt : std::optional<int>(group), client, security, static_cast<AccountMode>(mode), list), text);
}

void TestViews::positionsOnDatabase_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("allLimits");
    QTest::addColumn<bool>("group");
    QTest::addColumn<QString>("client");
    QTest::addColumn<QString>("security");
    // Rows as "terminal|code|seccode|est|part", sorted.
    QTest::addColumn<QStringList>("rows");

    // C1 holds assets 1 000 000 on terminal A and 3 000 000 on B (SINGLE: only the 1 000 000).
    // C2's portfolio total is 0. C3 has no portfolio row.
    const QStringList multi{
        "A|C1|RIH5|400000|10",  // futures: 2 x 100000 x 20 / 10
        "A|C1|SBER|2500|0.0625", // stock: 10 x 250
        "A|C1|SUR|5000|0.125",   // money
        "A|C2|SBER|250|0",
        "B|C1|SBER|-500|-0.0125",
        "B|C3|SBER|750|0",
    };
    QTest::newRow("MULTI, valued") << 1 << false << false << "" << "" << multi;
    QTest::newRow("MULTI, one client") << 1 << false << false << "C1" << "" << QStringList{multi[0], multi[1], multi[2], multi[4]};
    QTest::newRow("MULTI, group of C2 and C3") << 1 << false << true << "" << "" << QStringList{multi[3], multi[5]};
    QTest::newRow("MULTI, group and client") << 1 << false << true << "C2" << "" << QStringList{multi[3]};
    QTest::newRow("MULTI, one security") << 1 << false << false << "" << "SBER" << QStringList{multi[1], multi[3], multi[4], multi[5]};
    QTest::newRow("MULTI, all limits: no valuation, unquoted securities too")
        << 1 << true << false << "" << "" << QStringList{"A|C1|GMKN|0|0", "A|C1|RIH5|0|0", "A|C1|SBER|0|0", "A|C1|SUR|0|0", "A|C2|SBER|0|0", "B|C1|SBER|0|0", "B|C3|SBER|0|0"};
    QTest::newRow("SINGLE, valued") << 0 << false << false << "" << "" << QStringList{
        "Quik|C1|RIH5|400000|40", "Quik|C1|SBER|2500|0.25", "Quik|C1|SUR|5000|0.5", "Quik|C2|SBER|250|0"};
}

void TestViews::positionsOnDatabase()
{
    QFETCH(int, mode);
    QFETCH(bool, allLimits);
    QFETCH(bool, group);
    QFETCH(QString, client);
    QFETCH(QString, security);
    QFETCH(QStringList, rows);

    TradeFixture f;
    f.addClient(QStringLiteral("C1"), QStringLiteral("F1"), 1);
    f.addClient(QStringLiteral("C2"), QStringLiteral("F2"), 1);
    f.addClient(QStringLiteral("C3"), QStringLiteral("F3"), 2);
    f.sql(QStringLiteral("INSERT INTO tGroupClients (id_group, id_client) SELECT 7, id FROM tClients WHERE Code IN ('C2', 'C3')"));
    f.addQuote(QStringLiteral("SBER"), 250);
    f.addQuote(QStringLiteral("RIH5"), 100000, 20, 10, 0);
    f.addTerminal(1, QStringLiteral("A"));
    f.addTerminal(2, QStringLiteral("B"));
    // Each terminal (or the one of SINGLE mode) with the same kinds of rows.
    const QStringList suffixes = mode == 1 ? QStringList{QStringLiteral("1"), QStringLiteral("2")} : QStringList{QString()};
    const QString a = suffixes.first(), b = suffixes.last();
    f.addPortfolio(a, QStringLiteral("C1"), 1e6);
    f.addPortfolio(a, QStringLiteral("C2"), 0.0);
    f.addLimitStock(a, QStringLiteral("C1"), QStringLiteral("SBER"), 5, 10);
    f.addLimitStock(a, QStringLiteral("C1"), QStringLiteral("GMKN"), 1, 1);   // no quote
    f.addLimitStock(a, QStringLiteral("C1"), QStringLiteral("LKOH"), 0, 0);   // both balances 0
    f.addLimitStock(a, QStringLiteral("C2"), QStringLiteral("SBER"), 1, 1);
    f.addLimitFut(a, QStringLiteral("F1"), QStringLiteral("RIH5"), 0, 2);
    f.addLimitMoney(a, QStringLiteral("C1"), QStringLiteral("EQTV"), QStringLiteral("SUR"), 0, 5000);
    f.addLimitMoney(a, QStringLiteral("C1"), QStringLiteral("EQTS"), QStringLiteral("USD"), 0, 7000); // never shown
    if (mode == 1) {
        f.addPortfolio(b, QStringLiteral("C1"), 3e6);
        f.addLimitStock(b, QStringLiteral("C1"), QStringLiteral("SBER"), 0, -2);
        f.addLimitStock(b, QStringLiteral("C3"), QStringLiteral("SBER"), 3, 3);
    }
    f.buildPortfolioViews(mode);
    const QVector<TQuikTerminal> list = ReadTerminals(f.dm.tQuik);
    f.dm.qLimits.setSQL(BuildLimitsQuery(allLimits, group ? std::optional<int>(7) : std::nullopt, client, security, static_cast<AccountMode>(mode), list));
    f.dm.qLimits.Open();

    DataSet &q = f.dm.qLimits;
    // Column names are matched without regard to letter case.
    QStringList names;
    for (const QString &n : q.fieldNames())
        names << n.toLower();
    QCOMPARE(names, (QStringList{"quikname", "code", "account", "seccode", "openbal", "currentbal", "est", "part"}));
    QStringList got;
    for (int r = 0; r < q.RecordCount(); ++r)
        got << QStringList{q.value(r, "quikname").toString(), q.value(r, "code").toString(), q.value(r, "seccode").toString(),
                           QString::number(q.value(r, "est").toDouble()), QString::number(q.value(r, "part").toDouble())}
                   .join(QLatin1Char('|'));
    got.sort();
    QCOMPARE(got, rows);
}

void TestViews::connectionBuildsDerivedViews()
{
    // MULTI with terminals 1 and 3: the portfolio of both, never the base table.
    TradeFixture f;
    f.settings().rgpSingleMulti = 1;
    f.addTerminal(1, QStringLiteral("A"));
    f.addTerminal(3, QStringLiteral("C"), false);
    f.sql(QStringLiteral("INSERT INTO tPortfolio (code, curallassets) VALUES ('BASE', 1e12)"));
    f.addPortfolio(QStringLiteral("1"), QStringLiteral("C1"), 1234567.891);
    f.addPortfolio(QStringLiteral("3"), QStringLiteral("C2"), 1000000.0);
    f.sql(QStringLiteral("UPDATE tPortfolio3 SET profitloss = 123456789012.5, margin = 0.5, change = -0.002"));
    f.addPortfolioFut(QStringLiteral("1"), QStringLiteral("F1"), 2500000.5);

    Robot robot(f.settings(), f.dm);
    robot.setViewShown(f.dm.qLimits, true); // as the positions page shows it
    QVERIFY(robot.ConnectDatabases());
    TDatMod &dm = f.dm;
    const QString portfolio = QStringLiteral("SELECT *, \"A\" As Quikname\r\nFROM tPortfolio1\r\nUNION\r\nSELECT *, \"C\" as QuikName\r\nFROM tPortfolio3\r\n");
    QCOMPARE(dm.qPortfolioAll.SQLText(), portfolio);
    QCOMPARE(dm.qSecCodeList.SQLText(),
             QStringLiteral("SELECT DISTINCT seccode FROM (") + BuildLimitsQuery(false, std::nullopt, {}, {}, AccountMode::Multi, ReadTerminals(dm.tQuik))
                 + QStringLiteral(")\r\n"));
    QCOMPARE(dm.qPortfolioSum.SQLText(),
             QStringLiteral("Select Count(code) as SumCode,  Sum(openassets) as SumOpenAssets,Sum(shorts) as SumShorts, Sum(longs) as Sumlongs, "
                            "Sum(CurAssets) as SumCurAssets,Sum(OpenAllAssets) as SumOpenAllAssets, Sum(CurAllAssets) as SumCurAllAssets,"
                            "Avg(margin) as AvgMargin, Avg(curLeverage) as AvgCurLeverage,Sum(profitloss) as SumProfitLoss, "
                            "Avg(change) as AvgChange, Avg(Leverage) as AvgLeverage From  (")
                 + portfolio + QStringLiteral(")\r\n"));
    QCOMPARE(dm.qPortfolioFutSum.SQLText(),
             QStringLiteral("Select Count(account) as SumAccount,  Sum(openlimit) as SumOpenLimit,Sum(planlimit) as SumPlanLimit, "
                            "Sum(usedlimit) as SumUsedLimit, Sum(varmargin) as SumVarMargin From  (SELECT *, \"A\" As Quikname\r\n"
                            "FROM tPortfolioFut1\r\nUNION\r\nSELECT *, \"C\" as QuikName\r\nFROM tPortfolioFut3\r\n)\r\n"));
    QVERIFY(dm.qLimits.hasField(QStringLiteral("part")));

    // The footer values: counts whole, the rest two decimals and at most 10 significant digits.
    const QVector<TFooterValue> portfolioFooter{
        {"code", "2"},
        {"shorts", "4,00"},
        {"longs", "6,00"},
        {"openallassets", "10,00"},
        {"curallassets", ru("2 234 567,89")},
        {"margin", "3,75"},
        {"leverage", "8,00"},
        {"curleverage", "9,00"},
        {"change", "5,00"},
        {"profitloss", ru("123 456 789 000,00")},
    };
    QCOMPARE(dm.PortfolioTotals.portfolio, portfolioFooter);
    const QVector<TFooterValue> futuresFooter{
        {"account", "1"}, {"openlimit", ru("2 500 000,50")}, {"planlimit", "1,00"}, {"usedlimit", "2,00"}, {"varmargin", "3,00"}};
    QCOMPARE(dm.PortfolioTotals.futures, futuresFooter);
}

void TestViews::formatPrice_data()
{
    QTest::addColumn<QVariant>("price");
    QTest::addColumn<QVariant>("digits");
    QTest::addColumn<QString>("text");
    QTest::newRow("thousands and two decimals") << QVariant(12345.5) << QVariant(2) << ru("12 345,50");
    QTest::newRow("no decimals rounds to whole") << QVariant(12345.5) << QVariant(0) << ru("12 346");
    QTest::newRow("empty digits count as 0") << QVariant(999.4) << QVariant() << "999";
    QTest::newRow("empty price shows 0") << QVariant() << QVariant(2) << "0,00";
    QTest::newRow("at most 16 significant digits") << QVariant(1234567890.123456789) << QVariant(8) << ru("1 234 567 890,12345700");
    QTest::newRow("negative") << QVariant(-1500.25) << QVariant(1) << ru("-1 500,3");
}

void TestViews::formatPrice()
{
    QFETCH(QVariant, price);
    QFETCH(QVariant, digits);
    QFETCH(QString, text);
    QCOMPARE(FormatPrice(price, digits), text);
}

QTEST_GUILESS_MAIN(TestViews)
#include "tst_views.moc"
