// The transaction path on SQLite databases made by the schema code:
//  - one strategy order dispatched to 1, 100 and 1 000 clients over 1 and 10
//    terminals (and 1 000 clients sized on a share of their assets): time
//    per client, beside the floor (one journal INSERT, one book INSERT and
//    one file append per client) done as cheaply as possible and done each
//    on its own, and the ratios;
//  - the result check: 10 000 new result lines, 1 000 lines appended to a
//    file of 100 000 read before, and an unchanged file;
//  - an idle refresh tick with 100 000 rows in each alert table, and the
//    same tick when another process has just added a row.

#include "common/workspace.h"
#include "pgserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>
#include <QSqlQuery>

#include <benchmark/benchmark.h>
#include <ctime>

#include <memory>
#include <optional>

namespace {

// The workspace, with the floors of the transaction path.
struct Bench : BenchWorkspace {
    using BenchWorkspace::BenchWorkspace;

    // The floor for one client: one journal INSERT, one book INSERT and one
    // line appended to an import file, done the cheapest way the robot
    // could: statements kept prepared, one commit for all the clients, the
    // file kept open.
    double floorMicroseconds(int repetitions) { return floor(repetitions, true); }
    // The same three writes each on its own, as a plain program would do
    // them: every statement commits alone, the file is opened, appended to
    // and closed for every line.
    double separateFloorMicroseconds(int repetitions) { return floor(repetitions, false); }

    double floor(int repetitions, bool together)
    {
        QFile file(dir.filePath(QStringLiteral("floor.tri")));
        if (together)
            file.open(QIODevice::WriteOnly | QIODevice::Append);
        const QByteArray line = "TRANS_ID =1;ACTION=NEW_ORDER;ACCOUNT=M1;SECCODE=SBER;CLASSCODE=TQBR;CLIENT_CODE=C1;OPERATION=B;PRICE=285.43;"
                                "STOPPRICE=285.43;Order_key=;Stop_Order_key=;QUANTITY=10;\r\n";
        QElapsedTimer t;
        t.start();
        {
            std::optional<Database::WriteBatch> batch;
            if (together)
                batch.emplace(dm.conQuikData);
            for (int i = 0; i < repetitions; ++i) {
                dm.conQuikData.execute(QStringLiteral("INSERT INTO tOrderNumber (trans_id, id_order, filled, code)\r\nVALUES (:a, :b, :c, :d)"),
                                       {{QStringLiteral("a"), i}, {QStringLiteral("b"), 1}, {QStringLiteral("c"), 1}, {QStringLiteral("d"), QStringLiteral("C1")}});
                dm.conQuikData.execute(QStringLiteral("INSERT INTO tClientOpenPositions (symbol, quantity, System, Signal, Workspace, [Interval], code, [Position])\r\n"
                                                      "VALUES (:a, :b, :c, :d, :e, :f, :g, :h)"),
                                       {{QStringLiteral("a"), QStringLiteral("SBER")}, {QStringLiteral("b"), 10}, {QStringLiteral("c"), QStringLiteral("Demo(1)")},
                                        {QStringLiteral("d"), QString()}, {QStringLiteral("e"), QStringLiteral("Demo.orw")}, {QStringLiteral("f"), QString()},
                                        {QStringLiteral("g"), QStringLiteral("C1")}, {QStringLiteral("h"), QStringLiteral("Long")}});
                if (!together)
                    file.open(QIODevice::WriteOnly | QIODevice::Append);
                file.write(line);
                if (!together)
                    file.close();
            }
        }
        file.close();
        return t.nsecsElapsed() / 1000.0 / repetitions;
    }
};

void BM_DispatchPerClient(benchmark::State &state)
{
    const int clients = static_cast<int>(state.range(0));
    const int terminals = static_cast<int>(state.range(1));
    Bench b(clients, terminals, 0, state.range(2) != 0);
    const TPreOrder P = Bench::order();
    qint64 ns = 0;
    qint64 dispatches = 0;
    for (auto _ : state) {
        QElapsedTimer t;
        t.start();
        b.robot->dispatcher().DispatchOrder(P, MakeNewOrder);
        ns += t.nsecsElapsed();
        ++dispatches;
    }
    if (b.robot->TransId() != clients * dispatches)
        state.SkipWithError("not every client got its transaction");
    const double perClient = ns / 1000.0 / dispatches / clients;
    const double floor = b.floorMicroseconds(std::max(200, clients));
    const double separate = b.separateFloorMicroseconds(std::max(200, clients));
    state.counters["us_per_client"] = perClient;
    state.counters["floor_us"] = floor;
    state.counters["ratio"] = perClient / floor;
    state.counters["floor_separate_us"] = separate;
    state.counters["ratio_separate"] = perClient / separate;
}
// The same dispatch with both databases on a PostgreSQL server over the
// loopback (a throwaway server of the benchmark's own), beside the same on
// files in the same run: the ratio of the two.
// The benchmarks' own throwaway PostgreSQL server, started by the first
// that needs it, and two fresh databases on it (QuikData, alerts); none when
// the server cannot run here (the benchmark is skipped, saying why).
std::optional<std::pair<QString, QString>> serverDatabases(benchmark::State &state)
{
    static std::unique_ptr<PgServer> server;
    static int made = 0;
    if (const QString why = PgServer::missing(); !why.isEmpty()) {
        state.SkipWithError(qPrintable(why));
        return std::nullopt;
    }
    if (!server) {
        server = std::make_unique<PgServer>();
        if (!server->start()) {
            state.SkipWithError(qPrintable(server->error()));
            server.reset();
            return std::nullopt;
        }
    }
    ++made;
    const QString quik = server->createDatabase(QStringLiteral("bench_quik%1").arg(made));
    const QString alerts = server->createDatabase(QStringLiteral("bench_alerts%1").arg(made));
    if (quik.isEmpty() || alerts.isEmpty()) {
        state.SkipWithError(qPrintable(server->error()));
        return std::nullopt;
    }
    return std::make_pair(quik, alerts);
}

void BM_DispatchPerClientServer(benchmark::State &state)
{
    const auto databases = serverDatabases(state);
    if (!databases)
        return;
    const int clients = static_cast<int>(state.range(0));
    const int terminals = static_cast<int>(state.range(1));
    const auto &[quik, alerts] = *databases;
    BenchWorkspace b(clients, terminals, 0, false, quik, alerts);
    Bench files(clients, terminals, 0, false);
    const TPreOrder P = Bench::order();
    qint64 ns = 0, fileNs = 0, cpuNs = 0;
    qint64 dispatches = 0;
    auto threadCpu = [] {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    };
    for (auto _ : state) {
        QElapsedTimer t;
        t.start();
        const qint64 cpu = threadCpu();
        b.robot->dispatcher().DispatchOrder(P, MakeNewOrder);
        cpuNs += threadCpu() - cpu;
        ns += t.nsecsElapsed();
        state.PauseTiming();
        t.restart();
        files.robot->dispatcher().DispatchOrder(P, MakeNewOrder);
        fileNs += t.nsecsElapsed();
        state.ResumeTiming();
        ++dispatches;
    }
    if (b.robot->TransId() != clients * dispatches || files.robot->TransId() != clients * dispatches)
        state.SkipWithError("not every client got its transaction");
    state.counters["us_per_client"] = ns / 1000.0 / dispatches / clients;
    // The robot's own work on the server; the rest of the time it waits.
    state.counters["robot_cpu_us_per_client"] = cpuNs / 1000.0 / dispatches / clients;
    state.counters["sqlite_us_per_client"] = fileNs / 1000.0 / dispatches / clients;
    state.counters["ratio_to_sqlite"] = double(ns) / double(fileNs);
}
BENCHMARK(BM_DispatchPerClientServer)->Args({1000, 10})->Unit(benchmark::kMillisecond)->Iterations(5)->Repetitions(3)->ReportAggregatesOnly(true);

// Arguments: clients, terminals, sizing on a share of assets (1) or by the
// strategy's quantity (0).
BENCHMARK(BM_DispatchPerClient)
    ->Args({1, 1, 0})
    ->Args({100, 1, 0})
    ->Args({1000, 1, 0})
    ->Args({1, 10, 0})
    ->Args({100, 10, 0})
    ->Args({1000, 10, 0})
    ->Args({1000, 10, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->Repetitions(3) // a shared machine: the median of three runs is shown
    ->ReportAggregatesOnly(true);

// Sends `count` transactions through the series (the result check takes
// no other number), journalled as a dispatch journals them.
void sendTransactions(Bench &b, int count)
{
    TOrder O;
    O.Action = QStringLiteral("NEW_ORDER");
    O.Operation = QStringLiteral("B");
    O.Quantity = 1;
    O.Price = 100;
    O.Account = QStringLiteral("M0");
    O.ClientCode = QStringLiteral("C1");
    O.OrderId = 1;
    O.MarketOrder = true;
    O.SecData.SecCode = QStringLiteral("SBER");
    O.SecData.ClassCode = QStringLiteral("TQBR");
    O.SecData.MinMov = 0.01;
    O.SecData.Digits = 2;
    TPreOrder P;
    P.Kind = OrderKind::Operator;
    {
        WriteQueue::Batch batch(b.dm.quikWrites);
        const QString tri = PathInFolder(b.settings.edtdirTT, QStringLiteral("Q1.tri"));
        for (int i = 0; i < count; ++i)
            b.robot->gateway().SendTransaction(O, P, tri);
    }
    b.robot->WritePendingTransactions();
}

void resultCheck(benchmark::State &state, Bench &b)
{
    constexpr int Lines = 10000;
    sendTransactions(b, Lines);
    QByteArray content;
    for (int i = 0; i < Lines; ++i)
        content += QStringLiteral("TRANS_ID=%1;STATUS=%2;TRANS_NAME=\"Ввод заявки\";DESCRIPTION=\"Заявка %3 зарегистрирована\";ORDER_NUMBER=%4;\r\n")
                       .arg(i)
                       .arg(i % 2 ? 3 : 0)
                       .arg(i)
                       .arg(100000 + i)
                       .toUtf8();
    const QString tro = PathInFolder(b.settings.edtdirTT, QStringLiteral("Q1.tro"));
    const QString fresh = tro + QStringLiteral(".fresh");
    for (auto _ : state) {
        // Each time a new result file in the old one's place (as a
        // terminal that began it anew): read from its first line.
        state.PauseTiming();
        QFile f(fresh);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(content);
        f.close();
        ::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(tro).constData());
        state.ResumeTiming();
        b.robot->actCheckTROExecute();
    }
    if (b.robot->TROFiles()[0].LinesRead != Lines)
        state.SkipWithError("not every line was handled");
    state.SetItemsProcessed(state.iterations() * Lines);
}

void BM_ResultCheck(benchmark::State &state)
{
    Bench b(1, 1);
    resultCheck(state, b);
}
BENCHMARK(BM_ResultCheck)->Unit(benchmark::kMillisecond)->Iterations(3);

// The same with both databases on the benchmarks' PostgreSQL server: every
// line's journal and history updates go to the server.
void BM_ResultCheckServer(benchmark::State &state)
{
    const auto databases = serverDatabases(state);
    if (!databases)
        return;
    Bench b(1, 1, 0, false, databases->first, databases->second);
    resultCheck(state, b);
}
BENCHMARK(BM_ResultCheckServer)->Unit(benchmark::kMillisecond)->Iterations(3);

// A day's result file: 100 000 lines already read, and 1 000 new lines at
// each check. Only the new lines' bytes are read.
void BM_ResultCheckAppended(benchmark::State &state)
{
    constexpr int Sent = 1000;
    constexpr int Known = 100000;
    constexpr int Appended = 1000;
    Bench b(1, 1);
    sendTransactions(b, Sent);
    auto lines = [](int from, int count) {
        QByteArray out;
        for (int i = from; i < from + count; ++i)
            out += QStringLiteral("TRANS_ID=%1;STATUS=%2;TRANS_NAME=\"Ввод заявки\";DESCRIPTION=\"Заявка %3 зарегистрирована\";ORDER_NUMBER=%4;\r\n")
                       .arg(i % Sent)
                       .arg(i % 2 ? 3 : 0)
                       .arg(i)
                       .arg(100000 + i)
                       .toUtf8();
        return out;
    };
    QFile f(PathInFolder(b.settings.edtdirTT, QStringLiteral("Q1.tro")));
    f.open(QIODevice::WriteOnly | QIODevice::Append);
    f.write(lines(0, Known));
    f.flush();
    b.robot->actCheckTROExecute();
    int written = Known;
    for (auto _ : state) {
        state.PauseTiming();
        f.write(lines(written, Appended));
        f.flush();
        written += Appended;
        state.ResumeTiming();
        b.robot->actCheckTROExecute();
    }
    f.close();
    if (b.robot->TROFiles()[0].LinesRead != written)
        state.SkipWithError("not every line was handled");
    state.SetItemsProcessed(state.iterations() * Appended);
}
BENCHMARK(BM_ResultCheckAppended)->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_ResultCheckUnchanged(benchmark::State &state)
{
    Bench b(1, 1);
    QFile f(PathInFolder(b.settings.edtdirTT, QStringLiteral("Q1.tro")));
    f.open(QIODevice::WriteOnly | QIODevice::Append);
    f.write("TRANS_ID=1;STATUS=0;\r\n");
    f.close();
    b.robot->actCheckTROExecute();
    const int sent = b.robot->SentCount();
    for (auto _ : state)
        b.robot->actCheckTROExecute();
    if (b.robot->SentCount() != sent)
        state.SkipWithError("an unchanged file was read again");
}
BENCHMARK(BM_ResultCheckUnchanged)->Unit(benchmark::kMicrosecond);

// The robot watching alert tables of 100 000 rows each, read once.
void startWatching(benchmark::State &state, BenchWorkspace &b)
{
    b.robot->timTable();
    b.robot->actStartWatchExecute();
    if (b.robot->LastFilledId() != 100000)
        state.SkipWithError("the alert tables are not as expected");
}

void idleTicks(benchmark::State &state, BenchWorkspace &b)
{
    startWatching(state, b);
    for (auto _ : state)
        b.robot->timTable();
}

void BM_IdleTick(benchmark::State &state)
{
    Bench b(1, 1, 100000);
    idleTicks(state, b);
}
BENCHMARK(BM_IdleTick)->Unit(benchmark::kMillisecond);

// The same tables while the platform writes: another process adds a row to
// ActiveOrders before every tick, so every alert table is read again.
void BM_TickAfterChange(benchmark::State &state)
{
    Bench b(1, 1, 100000);
    startWatching(state, b);
    QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("platform"));
    other.setDatabaseName(b.alerts);
    other.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!other.open())
        state.SkipWithError("cannot open the alert database");
    int id = 200000;
    for (auto _ : state) {
        state.PauseTiming();
        QSqlQuery q(other);
        q.exec(QStringLiteral("INSERT INTO ActiveOrders (ID, Symbol, System) VALUES (%1, 'SBER', 'Demo(1)')").arg(++id));
        q.finish();
        state.ResumeTiming();
        b.robot->timTable();
    }
    if (b.dm.tActiveOrders.RecordCount() != 100000 + (id - 200000))
        state.SkipWithError("the new rows were not seen");
    other.close();
    other = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("platform"));
}
BENCHMARK(BM_TickAfterChange)->Unit(benchmark::kMillisecond);

// The same two ticks with the alert database on a server: the tables are
// read by pages there too (the row count, the pages shown, the newest row).
void BM_IdleTickServer(benchmark::State &state)
{
    const auto databases = serverDatabases(state);
    if (!databases)
        return;
    BenchWorkspace b(1, 1, 100000, false, databases->first, databases->second);
    idleTicks(state, b);
}
BENCHMARK(BM_IdleTickServer)->Unit(benchmark::kMillisecond);

void BM_TickAfterChangeServer(benchmark::State &state)
{
    const auto databases = serverDatabases(state);
    if (!databases)
        return;
    BenchWorkspace b(1, 1, 100000, false, databases->first, databases->second);
    startWatching(state, b);
    Database platform(QStringLiteral("platform"));
    QString error;
    if (!platform.open(databases->second, &error)) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    int id = 200000;
    for (auto _ : state) {
        state.PauseTiming();
        platform.native(QStringLiteral("INSERT INTO activeorders (id, symbol, system) VALUES (%1, 'SBER', 'Demo(1)')").arg(++id)).finish();
        state.ResumeTiming();
        b.robot->timTable();
    }
    if (b.dm.tActiveOrders.RecordCount() != 100000 + (id - 200000))
        state.SkipWithError("the new rows were not seen");
}
BENCHMARK(BM_TickAfterChangeServer)->Unit(benchmark::kMillisecond);

} // namespace
