// The operator's order to a client group beside the strategy order, on a
// QuikData of 10 MULTI terminals whose 1 000 clients all belong to one
// group, each sized on 10 % of the assets in its terminal's portfolio:
//  - BM_StrategyOrderToAll: a filled strategy order read from the alert
//    table as the robot reads it, its filters checked, dispatched to every
//    client (the floor);
//  - BM_OperatorOrderToGroup: an operator order prepared from the quotes
//    row, share of each account, through DispatchManualOrder to the group,
//    timed from the call until every client's line is in its terminal's
//    ".tri" file; a strategy dispatch runs after each one (not in the
//    timing), so the ratio of the two comes from the same moments of a
//    shared machine.
// Both report the time per client; every dispatch is checked to have
// written one new line per client.

#include "common/workspace.h"

#include "engine/untrade.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <benchmark/benchmark.h>

namespace {

constexpr int Terminals = 10;
constexpr int Clients = 1000;

// The workspace with share sizing, every client in the group "Все", SBER
// among the quotes and one filled long entry in the alert table.
struct ManualBench : BenchWorkspace {
    int groupId = -1;
    TPreOrder strategy; // the alert row as the robot reads it
    QVariant fillPrice;
    TPreOrder manual;   // the operator's order
    QList<qint64> triSizes;

    ManualBench() : BenchWorkspace(Clients, Terminals, 0, true)
    {
        sql(dm.conQuikData, QStringLiteral("INSERT INTO tGroup ([group]) VALUES ('Все')"));
        sql(dm.conQuikData, QStringLiteral("INSERT INTO tGroupClients (id_group, id_client) SELECT g.id_group, c.id FROM tGroup g, tClients c"));
        sql(dm.conQuikData, QStringLiteral("INSERT INTO tParam (seccode, bid, offer, last, lotsize, Digits, stock, class_code, MinMov, PointValue) "
                                           "VALUES ('SBER', 285.10, 285.20, 285.15, 1, 2, 'Сбербанк', 'TQBR', 0.01, 1)"));
        sql(dm.conOmega, QStringLiteral("INSERT INTO FilledOrders (ID, Symbol, OrderType, [Order], [Fill Price], [Time Filled], System, Workspace, "
                                        "Interval) VALUES (1, 'SBER', 'LE', 'Buy 10 SBER 285.15 ', 285.15, datetime('now'), 'Demo(1)', "
                                        "'C:\\Demo.orw', '5 min')"));
        dm.tGroup.Open();
        groupId = dm.tGroup.FieldByName(QStringLiteral("id_group")).toInt();

        DataSet &filled = dm.qFilledOrders;
        filled.setSQL(QStringList{QStringLiteral("SELECT *"), QStringLiteral("FROM FilledOrders"), QStringLiteral("WHERE id >0 and id <=1")});
        filled.Open();
        filled.First();
        ReadStrategyOrder(strategy, filled);
        fillPrice = filled.FieldByName(QStringLiteral("Fill Price"));

        // As the order dialog leaves it: the quotes row, then the
        // operator's direction, price and share.
        dm.tParam.Open();
        dm.tParam.Locate(QStringLiteral("seccode"), QStringLiteral("SBER"));
        ReadQuote(manual, dm.tParam);
        manual.OrderType = QStringLiteral("LE");
        manual.Operation = QStringLiteral("B");
        manual.QtyMode = QuantityMode::Accounts;
        manual.Share = 10;
        manual.Price = manual.Offer;
        manual.GroupId = groupId;

        for (int t = 1; t <= Terminals; ++t)
            triSizes << QFileInfo(triFile(t)).size();
    }

    QString triFile(int terminal) const { return PathInFolder(settings.edtdirTT, QStringLiteral("Q%1.tri").arg(terminal)); }

    // Lines added to the terminals' ".tri" files since the last call.
    int newTriLines()
    {
        int lines = 0;
        for (int t = 1; t <= Terminals; ++t) {
            QFile f(triFile(t));
            if (!f.open(QIODevice::ReadOnly))
                return -1;
            f.seek(triSizes[t - 1]);
            lines += static_cast<int>(f.readAll().count('\n'));
            triSizes[t - 1] = f.pos();
        }
        return lines;
    }

    // One strategy dispatch as the robot handles a new filled row: the
    // row's price and the filters checked, then every client served.
    // Nanoseconds, or -1 with `error` set. The book starts empty (not
    // timed), so it holds one entry per client at most and its re-read at
    // the end of the dispatch stays the same from one run to the next.
    qint64 strategyDispatch(QString &error)
    {
        sql(dm.conQuikData, QStringLiteral("DELETE FROM tClientOpenPositions"));
        QElapsedTimer t;
        t.start();
        QString reasons;
        if (!UnusableOrder(strategy, fillPrice).isEmpty() || !CheckFilters(dm, strategy, reasons)) {
            error = QStringLiteral("the strategy order did not pass its checks: ") + reasons;
            return -1;
        }
        const QString failure = robot->dispatcher().DispatchOrder(strategy, MakeNewOrder);
        const qint64 ns = t.nsecsElapsed();
        return checked(failure, ns, error);
    }

    // One operator order to the group, from the call until it returns
    // (the files are written by then).
    qint64 operatorDispatch(QString &error)
    {
        QElapsedTimer t;
        t.start();
        const TManualDispatch done = robot->dispatcher().DispatchManualOrder(manual);
        const qint64 ns = t.nsecsElapsed();
        if (done.formed != Clients) {
            error = QStringLiteral("%1 transactions formed, not %2").arg(done.formed).arg(Clients);
            return -1;
        }
        return checked(done.failure, ns, error);
    }

private:
    qint64 checked(const QString &failure, qint64 ns, QString &error)
    {
        if (!failure.isEmpty()) {
            error = failure;
            return -1;
        }
        const int lines = newTriLines();
        if (lines != Clients) {
            error = QStringLiteral("%1 new lines in the .tri files, not %2").arg(lines).arg(Clients);
            return -1;
        }
        return ns;
    }
};

// Made once, with one dispatch of each kind run before any timing (the
// statements each path prepares are then ready for both alike).
ManualBench &data()
{
    static ManualBench d;
    static const bool warm = [] {
        QString error;
        if (d.strategyDispatch(error) < 0 || d.operatorDispatch(error) < 0)
            qFatal("warm-up: %s", qPrintable(error));
        return true;
    }();
    Q_UNUSED(warm);
    return d;
}

double microsPerClient(qint64 ns, qint64 dispatches) { return ns / 1000.0 / static_cast<double>(dispatches) / Clients; }

void BM_StrategyOrderToAll(benchmark::State &state)
{
    ManualBench &b = data();
    qint64 total = 0;
    QString error;
    for (auto _ : state) {
        const qint64 ns = b.strategyDispatch(error);
        if (ns < 0) {
            state.SkipWithError(qPrintable(error));
            return;
        }
        state.SetIterationTime(ns / 1e9);
        total += ns;
    }
    state.SetItemsProcessed(state.iterations() * Clients);
    state.counters["us_per_client"] = microsPerClient(total, state.iterations());
}
BENCHMARK(BM_StrategyOrderToAll)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_OperatorOrderToGroup(benchmark::State &state)
{
    ManualBench &b = data();
    qint64 manual = 0, strategy = 0;
    QString error;
    for (auto _ : state) {
        const qint64 ns = b.operatorDispatch(error);
        const qint64 floor = ns < 0 ? -1 : b.strategyDispatch(error);
        if (floor < 0) {
            state.SkipWithError(qPrintable(error));
            return;
        }
        state.SetIterationTime(ns / 1e9);
        manual += ns;
        strategy += floor;
    }
    state.SetItemsProcessed(state.iterations() * Clients);
    state.counters["us_per_client"] = microsPerClient(manual, state.iterations());
    state.counters["strategy_us_per_client"] = microsPerClient(strategy, state.iterations());
    state.counters["ratio"] = static_cast<double>(manual) / static_cast<double>(strategy);
}
BENCHMARK(BM_OperatorOrderToGroup)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

} // namespace
