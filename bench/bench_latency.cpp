// Latency of the whole path with the stand-ins: from the moment the strategy
// stand-in has committed a FilledOrders row to the moment its transaction
// line is in the ".tri" file, over 100 orders, with the robot at its default
// 1 s tick (SINGLE mode, the sample workspace, the terminal stand-in
// importing the file as QUIK would); run with instant intake on (the robot
// takes a change of the files at once) and off (the tick alone). In the same
// runs: from the terminal's "executed" line in the ".tro" file to the
// robot's handling of it (its log line, written with the journal update),
// and the robot's CPU while nothing happens.
//
// The orders come at uneven intervals (0.3 to 1.3 s apart) so that they land
// at every phase of the tick. The strategy stand-in prints each row once it
// is committed; the benchmark takes that moment from its output and watches
// the ".tri" file every millisecond. The journal (tOrderNumber) ties each
// transaction to its order.
//
// With instant intake on, the strategy stand-in writes the way different
// platforms and drivers do: one connection for the run or one per row,
// PRAGMA synchronous FULL (SQLite's default: the commit waits for the disk)
// or NORMAL, and asking for the rollback journal or WAL (the robot keeps the
// database in WAL, so a writer asking for the rollback journal writes in WAL
// all the same). Takes about five minutes.
//
// The same path with both databases on a PostgreSQL server (a throwaway one
// the benchmark starts, as the tests do; skipped with a message when the
// server's programs are missing): the robot hears of a new row through
// LISTEN/NOTIFY; the strategy stand-in keeps its connection or opens one per
// row.

#include "config/settings.h"
#include "config/textcodec.h"
#include "data/database.h"
#include "pgserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>

#include <benchmark/benchmark.h>

#include <algorithm>

#include <unistd.h>

namespace {

constexpr int Orders = 30;

QString bin(const QString &name) { return QCoreApplication::applicationDirPath() + QLatin1Char('/') + name; }

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool waitFor(const std::function<bool()> &condition, int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        if (condition())
            return true;
        QThread::msleep(20);
    }
    return condition();
}

void stop(QProcess &p)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(10000))
        p.kill();
    p.waitForFinished(5000);
}

// The CPU time (user + system) a process has used, in ms.
double cpuMs(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return (fields[11].toDouble() + fields[12].toDouble()) * 1000.0 / sysconf(_SC_CLK_TCK);
}

// New complete lines of a growing file, each with the moment it was seen.
struct Tail {
    QString path;
    qint64 offset = 0;
    QByteArray pending;
    template <typename F>
    void poll(double now, F &&line)
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly) || f.size() <= offset)
            return;
        f.seek(offset);
        pending += f.readAll();
        offset = f.pos();
        int end;
        while ((end = pending.indexOf("\r\n")) >= 0) {
            line(pending.left(end), now);
            pending.remove(0, end + 2);
        }
    }
};

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : (v[(v.size() - 1) / 2] + v[v.size() / 2]) / 2;
}

// The demo workspace the robot runs on, and how the strategy stand-in writes.
struct Desk {
    QString ws;
    QString quikData, alerts; // files or URIs
    QStringList writer;       // the strategy stand-in's options for its writing
};

bool makeSample(const QString &ws, const QStringList &databases)
{
    QProcess make;
    make.start(bin(QStringLiteral("korvina-db")), QStringList{QStringLiteral("sample"), ws} + databases);
    return make.waitForFinished(60000) && make.exitStatus() == QProcess::NormalExit && make.exitCode() == 0;
}

void measure(benchmark::State &state, const Desk &desk, bool instant, QTemporaryDir &dir);

void BM_FilledRowToTriLine(benchmark::State &state)
{
    const bool instant = state.range(0) != 0;
    const bool perRow = state.range(1) != 0;
    const bool fullSync = state.range(2) != 0;
    const bool rollbackJournal = state.range(3) != 0;
    Desk desk;
    desk.writer = QStringList{QStringLiteral("--synchronous"), fullSync ? QStringLiteral("FULL") : QStringLiteral("NORMAL"),
                              QStringLiteral("--journal"), rollbackJournal ? QStringLiteral("DELETE") : QStringLiteral("WAL")};
    if (perRow)
        desk.writer << QStringLiteral("--connection-per-row");
    QTemporaryDir dir;
    desk.ws = dir.filePath(QStringLiteral("demo"));
    if (!makeSample(desk.ws, {})) {
        state.SkipWithError("korvina-db sample failed");
        return;
    }
    desk.quikData = desk.ws + QStringLiteral("/Data/dbQuikData.sqlite");
    desk.alerts = desk.ws + QStringLiteral("/Omega/Alerts11.sqlite");
    measure(state, desk, instant, dir);
}

void BM_FilledRowToTriLinePostgres(benchmark::State &state)
{
    const bool perRow = state.range(0) != 0;
    if (const QString why = PgServer::missing(); !why.isEmpty()) {
        state.SkipWithError(("no PostgreSQL server to run: " + why).toStdString().c_str());
        return;
    }
    PgServer server;
    if (!server.start()) {
        state.SkipWithError(("the PostgreSQL server did not start: " + server.error()).toStdString().c_str());
        return;
    }
    Desk desk;
    desk.quikData = server.createDatabase(QStringLiteral("quikdata"));
    desk.alerts = server.createDatabase(QStringLiteral("alerts"));
    if (perRow)
        desk.writer << QStringLiteral("--connection-per-row");
    QTemporaryDir dir;
    desk.ws = dir.filePath(QStringLiteral("demo"));
    if (desk.quikData.isEmpty() || desk.alerts.isEmpty()
        || !makeSample(desk.ws, {QStringLiteral("--quikdata"), desk.quikData, QStringLiteral("--alerts"), desk.alerts})) {
        state.SkipWithError("korvina-db sample on the server failed");
        return;
    }
    measure(state, desk, true, dir);
}

void measure(benchmark::State &state, const Desk &desk, bool instant, QTemporaryDir &dir)
{
    const QString &ws = desk.ws;
    const QStringList &writer = desk.writer;
    const QString trans = ws + QStringLiteral("/Trans");
    const QString &quikData = desk.quikData;
    const QString &alerts = desk.alerts;
    const QString logPath = ws + QStringLiteral("/Korvina.log");
    {
        Settings settings;
        settings.setFileName(ws + QStringLiteral("/Korvina.ini"));
        settings.LoadSettings();
        settings.chInstantIntake = instant;
        QString error;
        if (!settings.SaveSettings(&error)) {
            state.SkipWithError(error.toStdString().c_str());
            return;
        }
    }

    QProcess terminal, robot, strategy;
    terminal.start(bin(QStringLiteral("korvina-terminal-sim")),
                   {QStringLiteral("--dir"), trans, QStringLiteral("--db"), quikData, QStringLiteral("--info-log"),
                    ws + QStringLiteral("/QUIK/info.log"), QStringLiteral("--quiet")});
    robot.setWorkingDirectory(ws);
    robot.start(bin(QStringLiteral("korvina")),
                {QStringLiteral("--headless"), QStringLiteral("--ini"), ws + QStringLiteral("/Korvina.ini"), QStringLiteral("--watch")});
    auto cleanup = [&] {
        stop(strategy);
        stop(robot);
        stop(terminal);
    };
    if (!terminal.waitForStarted() || !robot.waitForStarted()
        || !waitFor([&] { return readAll(logPath).contains(cp1251::encode(QStringLiteral("Загрузка ордеров включена."))); }, 20000)) {
        cleanup();
        state.SkipWithError("the robot did not start watching");
        return;
    }

    const QString scenario = dir.filePath(QStringLiteral("latency.scenario"));
    {
        QFile s(scenario);
        s.open(QIODevice::WriteOnly);
        for (int i = 0; i < Orders; ++i) {
            const bool sber = i % 2 == 0;
            const int delay = i == 0 ? 500 : 300 + (i * 617) % 1000;
            s.write(QStringLiteral("%1;FilledOrders;%2;LE;Buy 10 %2 %3 Market;%3;Demo MA Cross(5,20);C:\\Omega\\Demo.orw;MA;5 min\n")
                        .arg(delay)
                        .arg(sber ? QStringLiteral("SBER") : QStringLiteral("GAZP"))
                        .arg(sber ? QStringLiteral("285.15") : QStringLiteral("160.25"))
                        .toUtf8());
        }
    }

    // The robot idle, watching: its CPU over 5 s.
    const double idleFrom = cpuMs(robot.processId());
    QThread::msleep(5000);
    const double idleCpu = (cpuMs(robot.processId()) - idleFrom) / 5000.0 * 100.0;

    QHash<int, double> committed; // alert row id -> ms
    QHash<int, double> written;   // TRANS_ID -> ms
    QHash<int, double> executed;  // TRANS_ID -> ms its STATUS=3 line was seen in the ".tro" file
    QHash<int, double> handled;   // TRANS_ID -> ms the robot's line about it was in the log
    static const QRegularExpression rowLine(QStringLiteral("^FilledOrders ID=(\\d+):"));
    static const QRegularExpression transId(QStringLiteral("^TRANS_ID =(\\d+);"));
    static const QRegularExpression doneLine(QStringLiteral("^TRANS_ID=(\\d+);STATUS=3;"));
    static const QRegularExpression doneLog(QStringLiteral("Транзакция номер (\\d+) успешно выполнена\\."));
    QElapsedTimer clock;
    Tail tri{trans + QStringLiteral("/trans.tri")};
    Tail tro{trans + QStringLiteral("/trans.tro")};
    Tail log{logPath};
    log.offset = QFileInfo(logPath).size();

    for (auto _ : state) {
        clock.start();
        strategy.start(bin(QStringLiteral("korvina-strategy-sim")),
                       QStringList{QStringLiteral("--alerts"), alerts, QStringLiteral("--scenario"), scenario} + writer);
        strategy.waitForStarted();
        const double limit = (Orders * 1.4 + 30) * 1000;
        while (clock.elapsed() < limit) {
            strategy.waitForReadyRead(1);
            while (strategy.canReadLine()) {
                const QString line = QString::fromUtf8(strategy.readLine()).trimmed();
                const auto m = rowLine.match(line);
                if (m.hasMatch())
                    committed.insert(m.captured(1).toInt(), clock.nsecsElapsed() / 1e6);
            }
            const double now = clock.nsecsElapsed() / 1e6;
            tri.poll(now, [&](const QByteArray &line, double at) {
                const auto m = transId.match(QString::fromLatin1(line));
                if (m.hasMatch())
                    written.insert(m.captured(1).toInt(), at);
            });
            tro.poll(now, [&](const QByteArray &line, double at) {
                const auto m = doneLine.match(QString::fromLatin1(line));
                if (m.hasMatch() && !executed.contains(m.captured(1).toInt()))
                    executed.insert(m.captured(1).toInt(), at);
            });
            log.poll(now, [&](const QByteArray &line, double at) {
                const auto m = doneLog.match(cp1251::decode(line));
                if (m.hasMatch())
                    handled.insert(m.captured(1).toInt(), at);
            });
            if (strategy.state() == QProcess::NotRunning && committed.size() == Orders && written.size() >= Orders
                && handled.size() >= Orders)
                break;
        }
        state.SetIterationTime(clock.nsecsElapsed() / 1e9);
    }
    cleanup();

    // Which transaction carried which order: the robot's journal.
    QList<double> latencies;
    {
        Database db(QStringLiteral("journal"));
        QString error;
        if (db.open(quikData, &error)) {
            try {
                const Database::Rows journal = db.fetch(QStringLiteral("SELECT trans_id, id_order FROM tOrderNumber"));
                for (const auto &row : journal.rows) {
                    const int t = row.value(0).toInt();
                    const int id = row.value(1).toInt();
                    if (committed.contains(id) && written.contains(t))
                        latencies << written[t] - committed[id];
                }
            } catch (const std::exception &) {
            }
        }
    }
    if (latencies.size() != Orders) {
        state.SkipWithError(QStringLiteral("%1 of %2 orders reached the file (%3 rows committed, %4 lines)")
                                .arg(latencies.size())
                                .arg(Orders)
                                .arg(committed.size())
                                .arg(written.size())
                                .toStdString()
                                .c_str());
        return;
    }
    std::sort(latencies.begin(), latencies.end());
    state.counters["orders"] = latencies.size();
    state.counters["median_ms"] = median(latencies);
    state.counters["worst_ms"] = latencies.last();
    state.counters["best_ms"] = latencies.first();
    // Results: from the terminal's line to the robot's handling of it.
    QList<double> results;
    for (auto it = executed.cbegin(); it != executed.cend(); ++it)
        if (handled.contains(it.key()))
            results << std::max(0.0, handled[it.key()] - it.value());
    std::sort(results.begin(), results.end());
    state.counters["results"] = results.size();
    state.counters["result_median_ms"] = median(results);
    state.counters["result_worst_ms"] = results.isEmpty() ? 0 : results.last();
    state.counters["idle_cpu_pct"] = idleCpu;
}
// Arguments: instant intake, a connection per row, synchronous FULL, the
// rollback journal asked for.
BENCHMARK(BM_FilledRowToTriLine)
    ->ArgNames({"instant", "per_row", "full_sync", "rollback"})
    ->Args({1, 0, 0, 0})
    ->Args({1, 0, 1, 0})
    ->Args({1, 1, 0, 0})
    ->Args({1, 1, 1, 0})
    ->Args({1, 0, 0, 1})
    ->Args({1, 0, 1, 1})
    ->Args({1, 1, 0, 1})
    ->Args({1, 1, 1, 1})
    ->Args({0, 0, 0, 0})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// Both databases on a server. Argument: a connection per row.
BENCHMARK(BM_FilledRowToTriLinePostgres)
    ->ArgNames({"per_row"})
    ->Args({0})
    ->Args({1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

} // namespace
