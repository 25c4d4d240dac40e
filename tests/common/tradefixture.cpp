#include "tradefixture.h"

#include "data/schema.h"
#include "data/views.h"

#include <QtTest>

TradeFixture::TradeFixture()
{
    QString error;
    if (!dm.conQuikData.open(ws.quikDataPath(), &error))
        qFatal("cannot open QuikData: %s", qPrintable(error));
}

void TradeFixture::sql(const QString &native, const QVariantMap &params) { dm.conQuikData.native(native, params).finish(); }

void TradeFixture::addSecurity(const Security &s)
{
    sql(QStringLiteral("INSERT INTO tSecCode (Ticker, SecCode, Class_Code, Digits, LotSize, PointValue, MinMov, Traded, Slippage, Part, FixVol) "
                       "VALUES (:t, :s, :c, :d, :l, :pv, :mm, :tr, :sl, :p, :f)"),
        {{QStringLiteral("t"), s.ticker}, {QStringLiteral("s"), s.secCode}, {QStringLiteral("c"), s.classCode},
         {QStringLiteral("d"), s.digits}, {QStringLiteral("l"), s.lotSize}, {QStringLiteral("pv"), s.pointValue},
         {QStringLiteral("mm"), s.minMov}, {QStringLiteral("tr"), s.traded}, {QStringLiteral("sl"), s.slippage},
         {QStringLiteral("p"), s.part}, {QStringLiteral("f"), s.fixVol}});
}

void TradeFixture::addClient(const QString &code, const QString &accountForts, int idQuik, double leverage, bool ebs)
{
    sql(QStringLiteral("INSERT INTO tClients (Code, client, AccountMicex, AccountFORTS, Active, LongEnb, ShortEnb, Leverage, "
                       "MicexEnb, FortsEnb, Ebs, id_quik) VALUES (:c, :n, :m, :f, 1, 1, 0, :l, 1, 0, :e, :q)"),
        {{QStringLiteral("c"), code}, {QStringLiteral("n"), QStringLiteral("Client ") + code}, {QStringLiteral("m"), QStringLiteral("MX-") + code}, {QStringLiteral("f"), accountForts},
         {QStringLiteral("l"), leverage}, {QStringLiteral("e"), ebs}, {QStringLiteral("q"), idQuik}});
}

void TradeFixture::addTerminal(int idQuik, const QString &name, bool active)
{
    sql(QStringLiteral("INSERT INTO tQuik (id_quik, active, quik, path) VALUES (:n, :a, :q, '')"),
        {{QStringLiteral("n"), idQuik}, {QStringLiteral("a"), active}, {QStringLiteral("q"), name}});
    schema::createTerminalTables(dm.conQuikData, idQuik);
}

void TradeFixture::addPortfolio(const QString &suffix, const QString &code, const QVariant &curallassets)
{
    sql(QStringLiteral("INSERT INTO \"tPortfolio%1\" (code, curallassets, openassets, shorts, longs, curassets, openallassets, "
                       "profitloss, margin, leverage, curleverage, change) VALUES (:c, :a, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10)")
            .arg(suffix),
        {{QStringLiteral("c"), code}, {QStringLiteral("a"), curallassets}});
}

void TradeFixture::addPortfolioFut(const QString &suffix, const QString &account, const QVariant &openlimit)
{
    sql(QStringLiteral("INSERT INTO \"tPortfolioFut%1\" (account, openlimit, planlimit, usedlimit, varmargin) VALUES (:a, :o, 1, 2, 3)")
            .arg(suffix),
        {{QStringLiteral("a"), account}, {QStringLiteral("o"), openlimit}});
}

void TradeFixture::addLimitStock(const QString &suffix, const QString &code, const QString &secCode, double openbal, double currentbal)
{
    sql(QStringLiteral("INSERT INTO \"tLimitStock%1\" (firm, code, seccode, openbal, currentbal) VALUES ('F', :c, :s, :o, :b)").arg(suffix),
        {{QStringLiteral("c"), code}, {QStringLiteral("s"), secCode}, {QStringLiteral("o"), openbal}, {QStringLiteral("b"), currentbal}});
}

void TradeFixture::addLimitFut(const QString &suffix, const QString &account, const QString &secCode, double openbal, double currentbal)
{
    sql(QStringLiteral("INSERT INTO \"tLimitFut%1\" (account, seccode, openbal, currentbal) VALUES (:a, :s, :o, :b)").arg(suffix),
        {{QStringLiteral("a"), account}, {QStringLiteral("s"), secCode}, {QStringLiteral("o"), openbal}, {QStringLiteral("b"), currentbal}});
}

void TradeFixture::addLimitMoney(const QString &suffix, const QString &code, const QString &tag, const QString &currency,
                                 double openbal, double currentbal)
{
    sql(QStringLiteral("INSERT INTO \"tLimitMoney%1\" (account, code, TAG, CURRCODE, openbal, currentbal) VALUES ('A', :c, :t, :cur, :o, :b)")
            .arg(suffix),
        {{QStringLiteral("c"), code}, {QStringLiteral("t"), tag}, {QStringLiteral("cur"), currency}, {QStringLiteral("o"), openbal},
         {QStringLiteral("b"), currentbal}});
}

void TradeFixture::addQuote(const QString &secCode, double last, const QVariant &pointValue, const QVariant &minMov, const QVariant &digits)
{
    sql(QStringLiteral("INSERT INTO tParam (seccode, last, PointValue, MinMov, Digits) VALUES (:s, :l, :pv, :mm, :d)"),
        {{QStringLiteral("s"), secCode}, {QStringLiteral("l"), last}, {QStringLiteral("pv"), pointValue},
         {QStringLiteral("mm"), minMov}, {QStringLiteral("d"), digits}});
}

void TradeFixture::buildPortfolioViews(int mode)
{
    dm.tQuik.Close();
    const QVector<TQuikTerminal> terminals = mode == 1 ? ReadTerminals(dm.tQuik) : QVector<TQuikTerminal>();
    dm.qPortfolioAll.setSQL(BuildUnionQuery(QStringLiteral("tPortfolio"), static_cast<AccountMode>(mode), terminals));
    dm.qPortfolioFutAll.setSQL(BuildUnionQuery(QStringLiteral("tPortfolioFut"), static_cast<AccountMode>(mode), terminals));
}
