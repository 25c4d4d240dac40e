// The order engine on a QuikData of 10 MULTI terminals:
//  - one client's order: directory lookup, order text, pricing, sizing on the
//    merged portfolio (share of assets) and the exit quantity from the book,
//    with 1 000 clients in the portfolio; beside it the floor, one indexed
//    SELECT on the same database, and the ratio of the two;
//  - the positions view of 5 000 limit rows with the share of assets: build
//    the statement, open it and read every cell.

#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "data/schema.h"
#include "data/views.h"
#include "engine/positionbook.h"
#include "engine/untrade.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

constexpr int Terminals = 10;
constexpr int Clients = 1000;
constexpr int LimitRows = 5000;

QString clientCode(int i) { return QStringLiteral("C%1").arg(i, 4, 10, QLatin1Char('0')); }
QString fortsAccount(int i) { return QStringLiteral("F%1").arg(i, 4, 10, QLatin1Char('0')); }

// A QuikData with 10 terminals; every client has a portfolio row and a
// futures account on its terminal, an entry in the robot's book, and the
// terminals hold 5 000 limit rows in all (stock, futures and money).
class EngineData {
public:
    EngineData()
    {
        QLocale::setDefault(QLocale::c());
        OperationLog::setCurrent(&log);
        const QString path = dir.filePath(QStringLiteral("dbQuikData.sqlite"));
        schema::createDatabaseFile(path, schema::Kind::QuikData);
        QString error;
        if (!dm.conQuikData.open(path, &error))
            qFatal("%s", qPrintable(error));
        settings.rgpSingleMulti = 1;
        settings.rgpPositionSize = 2;
        settings.chExitQty = true;
        fill();
        dm.tQuik.Open();
        terminals = ReadTerminals(dm.tQuik);
        dm.qPortfolioAll.setSQL(BuildUnionQuery(QStringLiteral("tPortfolio"), AccountMode::Multi, terminals));
        dm.qPortfolioFutAll.setSQL(BuildUnionQuery(QStringLiteral("tPortfolioFut"), AccountMode::Multi, terminals));
        dm.tSecCode.Open();
        dm.tClientOpenPositions.Open();
    }

    QTemporaryDir dir;
    OperationLog log;
    Settings settings;
    TDatMod dm;
    QVector<TQuikTerminal> terminals;

private:
    void sql(const QString &s, const QVariantMap &params = {}) { dm.conQuikData.native(s, params).finish(); }

    void fill()
    {
        QSqlDatabase h = dm.conQuikData.handle();
        h.transaction();
        sql(QStringLiteral("INSERT INTO tSecCode (Ticker, SecCode, Class_Code, Digits, LotSize, PointValue, MinMov, Traded, Slippage, Part, FixVol) "
                           "VALUES ('$SBER', 'SBER', 'TQBR', 2, 10, 1, 0.01, 1, 0.2, 10, 30000)"));
        for (int i = 0; i < 200; ++i) // a directory of a realistic size
            sql(QStringLiteral("INSERT INTO tSecCode (Ticker, SecCode, Class_Code, Digits, LotSize, PointValue, MinMov, Traded, Slippage) "
                               "VALUES (:t, :s, 'TQBR', 2, 1, 1, 0.01, 1, 0.1)"),
                {{QStringLiteral("t"), QStringLiteral("$S%1").arg(i)}, {QStringLiteral("s"), QStringLiteral("S%1").arg(i)}});
        for (int s = 0; s < 50; ++s)
            sql(QStringLiteral("INSERT INTO tParam (seccode, last, PointValue, MinMov, Digits) VALUES (:s, :l, 10, 1, 0)"),
                {{QStringLiteral("s"), QStringLiteral("S%1").arg(s)}, {QStringLiteral("l"), 100.0 + s}});
        for (int n = 1; n <= Terminals; ++n) {
            sql(QStringLiteral("INSERT INTO tQuik (id_quik, active, quik, path) VALUES (:n, 1, :q, '')"),
                {{QStringLiteral("n"), n}, {QStringLiteral("q"), QStringLiteral("QUIK%1").arg(n)}});
            for (const QString &s : schema::terminalTableStatements(n))
                sql(s);
        }
        for (int i = 0; i < Clients; ++i) {
            const int n = i % Terminals + 1;
            const QString suffix = QString::number(n);
            sql(QStringLiteral("INSERT INTO tClients (Code, client, AccountMicex, AccountFORTS, Active, LongEnb, MicexEnb, Leverage, id_quik) "
                               "VALUES (:c, :c2, :m, :f, 1, 1, 1, 0, :n)"),
                {{QStringLiteral("c"), clientCode(i)}, {QStringLiteral("c2"), clientCode(i)}, {QStringLiteral("m"), QStringLiteral("MX")},
                 {QStringLiteral("f"), fortsAccount(i)}, {QStringLiteral("n"), n}});
            sql(QStringLiteral("INSERT INTO tPortfolio%1 (code, curallassets, openassets, shorts, longs, curassets, openallassets, profitloss, "
                               "margin, leverage, curleverage, change, firm) VALUES (:c, :a, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 'FIRM')")
                    .arg(suffix),
                {{QStringLiteral("c"), clientCode(i)}, {QStringLiteral("a"), 1e6 + i}});
            sql(QStringLiteral("INSERT INTO tPortfolioFut%1 (account, openlimit, planlimit, usedlimit, varmargin) VALUES (:f, :o, 1, 2, 3)").arg(suffix),
                {{QStringLiteral("f"), fortsAccount(i)}, {QStringLiteral("o"), 5e5 + i}});
            sql(QStringLiteral("INSERT INTO tClientOpenPositions (quantity, symbol, code, System, Signal, Workspace, Interval, Position) "
                               "VALUES (7, '$SBER', :c, 'Trend(5,20)', 'MA', 'Main.orw', '5 min', 'Long')"),
                {{QStringLiteral("c"), clientCode(i)}});
        }
        for (int r = 0; r < LimitRows; ++r) {
            const int i = r % Clients;
            const QString suffix = QString::number(i % Terminals + 1);
            const QString sec = QStringLiteral("S%1").arg(r / Clients * 10 + r % 10);
            switch (r % 5) {
            case 0:
            case 1:
            case 2:
                sql(QStringLiteral("INSERT INTO tLimitStock%1 (firm, code, seccode, openbal, currentbal) VALUES ('F', :c, :s, 1, :b)").arg(suffix),
                    {{QStringLiteral("c"), clientCode(i)}, {QStringLiteral("s"), sec}, {QStringLiteral("b"), 10 + r}});
                break;
            case 3:
                sql(QStringLiteral("INSERT INTO tLimitFut%1 (account, seccode, openbal, currentbal) VALUES (:f, :s, 0, :b)").arg(suffix),
                    {{QStringLiteral("f"), fortsAccount(i)}, {QStringLiteral("s"), sec}, {QStringLiteral("b"), 1 + r % 7}});
                break;
            default:
                sql(QStringLiteral("INSERT INTO tLimitMoney%1 (account, code, TAG, CURRCODE, openbal, currentbal) VALUES ('A', :c, 'EQTV', :s, 0, :b)")
                        .arg(suffix),
                    {{QStringLiteral("c"), clientCode(i)}, {QStringLiteral("s"), QStringLiteral("SUR%1").arg(r)}, {QStringLiteral("b"), 1000.0 + r}});
                break;
            }
        }
        h.commit();
    }
};

EngineData &data()
{
    static EngineData d;
    return d;
}

// The order one client gets for a strategy's long exit.
qint32 OneClient(EngineData &d, const TPreOrder &p, int client)
{
    TClientAccount a;
    a.Code = clientCode(client);
    a.AccountForts = fortsAccount(client);
    a.IdQuik = client % Terminals + 1;
    TOrder o;
    ClearOrder(o);
    o.ClientCode = a.Code;
    o.OrderType = p.OrderType;
    o.SecData.Ticker = p.Symbol;
    if (!LookupSecurity(d.dm, o.SecData, p.Kind))
        qFatal("lookup failed");
    ParseOrderText(o, p);
    PriceOrder(o);
    SizeOrder(d.dm, d.settings, o, p, a);
    return o.Quantity;
}

// The floor: one indexed SELECT, prepared and run through the same dataset
// machinery as every statement of the engine.
void IndexedSelect(EngineData &d)
{
    DataSet &q = d.dm.qSecCode;
    q.Close();
    q.setSQL(QStringList{QStringLiteral("SELECT *"), QStringLiteral("FROM tSecCode"), QStringLiteral("WHERE Ticker= \"$SBER\"")});
    q.Open();
    benchmark::DoNotOptimize(q.FieldByName(QStringLiteral("LotSize")));
}

TPreOrder LongExit()
{
    TPreOrder p;
    ClearPreOrder(p, OrderKind::Strategy);
    p.Symbol = QStringLiteral("$SBER");
    p.OrderType = QStringLiteral("LX");
    p.OrderText = QStringLiteral("Sell 100 SBER 250.5 ");
    p.System = QStringLiteral("Trend(5,20)");
    p.Workspace = QStringLiteral("C:\\Work\\Main.orw");
    p.Interval = QStringLiteral("5 min");
    return p;
}

double MicrosPerCall(const std::function<void(int)> &work, int calls)
{
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < calls; ++i)
        work(i);
    return t.nsecsElapsed() / 1000.0 / calls;
}

void BM_SizeOrderPerClient(benchmark::State &state)
{
    EngineData &d = data();
    const TPreOrder p = LongExit();
    int client = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(OneClient(d, p, client));
        client = (client + 1) % Clients;
    }
    if (OneClient(d, p, 0) != 7)
        state.SkipWithError("the exit did not take the book's quantity");
    // The floor and the ratio, measured in the same run.
    const double perClient = MicrosPerCall([&](int i) { OneClient(d, p, i % Clients); }, 2000);
    const double floor = MicrosPerCall([&](int) { IndexedSelect(d); }, 2000);
    // For reference: the same SELECT prepared once and only re-run.
    QSqlQuery prepared(d.dm.conQuikData.handle());
    prepared.setForwardOnly(true);
    prepared.prepare(QStringLiteral("SELECT * FROM tSecCode WHERE Ticker = :t"));
    const double floorPrepared = MicrosPerCall(
        [&](int) {
            prepared.bindValue(QStringLiteral(":t"), QStringLiteral("$SBER"));
            prepared.exec();
            prepared.next();
            benchmark::DoNotOptimize(prepared.value(4));
            prepared.finish();
        },
        2000);
    state.counters["us_per_client"] = perClient;
    state.counters["floor_us"] = floor;
    state.counters["floor_prepared_us"] = floorPrepared;
    state.counters["ratio"] = perClient / floor;
}
BENCHMARK(BM_SizeOrderPerClient)->Unit(benchmark::kMicrosecond);

void BM_IndexedSelectFloor(benchmark::State &state)
{
    EngineData &d = data();
    for (auto _ : state)
        IndexedSelect(d);
}
BENCHMARK(BM_IndexedSelectFloor)->Unit(benchmark::kMicrosecond);

void BM_PositionsView(benchmark::State &state)
{
    EngineData &d = data();
    qint64 rows = 0;
    for (auto _ : state) {
        DataSet &q = d.dm.qLimits;
        q.setSQL(BuildLimitsQuery(false, std::nullopt, QString(), QString(), AccountMode::Multi, d.terminals));
        q.Open();
        double sum = 0;
        for (int r = 0; r < q.RecordCount(); ++r)
            for (int c = 0; c < q.fieldNames().size(); ++c)
                benchmark::DoNotOptimize(q.value(r, c));
        for (int r = 0; r < q.RecordCount(); ++r)
            sum += q.value(r, QStringLiteral("part")).toDouble();
        benchmark::DoNotOptimize(sum);
        rows = q.RecordCount();
        q.Close();
    }
    state.counters["rows"] = static_cast<double>(rows);
    if (rows != LimitRows)
        state.SkipWithError("the view did not deliver every limit row");
}
BENCHMARK(BM_PositionsView)->Unit(benchmark::kMillisecond);

} // namespace
