// The main window while the terminals' data changes under it: QuikData with
// 10 MULTI terminals, 10 000 rows in the merged orders and trades views
// (1 000 per terminal each) and 1 000 quotes rows.
//  - One tick of the terminal data refresh (timQuikTimer) with every grid of
//    the window attached and shown (offscreen), when nothing changed and
//    when one row changed in the quotes, the orders and the trades; in the
//    same run the same re-reads with no grid attached. Each tick includes
//    the painting it causes. "Time" runs until the views read in the
//    background are shown; "CPU" is the window thread's own work, the time
//    the window cannot answer the operator.
//  - The longest frozen frame of the window, its timers running, while
//    another program holds QuikData's write lock for 5 s and the robot has
//    a row of its own to write meanwhile (its heartbeat).
//
// Run: build/bin/bench_window (QT_QPA_PLATFORM=offscreen is set when no
// display is given).

#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "data/schema.h"
#include "engine/robot.h"
#include "tfmmain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUuid>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

constexpr int Terminals = 10;
constexpr int RowsPerTerminal = 1000;
constexpr int Quotes = 1000;

// Statements as another program runs them, through a connection of its own.
class Other {
public:
    explicit Other(const QString &path) : m_name(QUuid::createUuid().toString())
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        if (!db.open())
            qFatal("cannot open %s", qPrintable(path));
    }
    ~Other()
    {
        QSqlDatabase::database(m_name).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    const QString &name() const { return m_name; }
    void run(const QString &sql)
    {
        QSqlQuery q(QSqlDatabase::database(m_name));
        if (!q.exec(sql))
            qFatal("%s: %s", qPrintable(sql), qPrintable(q.lastError().text()));
    }

private:
    QString m_name;
};

struct Workspace {
    QTemporaryDir dir;
    QString quikData, alerts;

    Workspace()
    {
        quikData = dir.filePath(QStringLiteral("dbQuikData.sqlite"));
        alerts = dir.filePath(QStringLiteral("Alerts11.sqlite"));
        schema::createDatabaseFile(quikData, schema::Kind::QuikData);
        schema::createDatabaseFile(alerts, schema::Kind::Alerts);
        Other db(quikData);
        db.run(QStringLiteral("BEGIN"));
        for (int t = 1; t <= Terminals; ++t) {
            db.run(QStringLiteral("INSERT INTO tQuik (id_quik, active, quik, path) VALUES (%1, 1, 'Q%1', '')").arg(t));
            for (const QString &statement : schema::terminalTableStatements(t))
                db.run(statement);
            for (int r = 0; r < RowsPerTerminal; ++r) {
                db.run(QStringLiteral("INSERT INTO tQuikOrders%1 (orderdate, ordertime, account, code, stock, Operation, price, quantity, "
                                      "balance, volume, status) VALUES ('2026-12-10', '10:%2:%3', 'A', 'C%4', 'SBER', 'Купля', 285.1, %5, 0, "
                                      "2851, 'Исполнена')")
                           .arg(t)
                           .arg(r / 60 % 60, 2, 10, QLatin1Char('0'))
                           .arg(r % 60, 2, 10, QLatin1Char('0'))
                           .arg(r)
                           .arg(r % 50 + 1));
                db.run(QStringLiteral("INSERT INTO tTrades%1 (tradetime, account, code, stock, Operation, Price, Quantity, volume) "
                                      "VALUES ('10:%2:%3', 'A', 'C%4', 'SBER', 'Купля', 285.1, %5, 2851)")
                           .arg(t)
                           .arg(r / 60 % 60, 2, 10, QLatin1Char('0'))
                           .arg(r % 60, 2, 10, QLatin1Char('0'))
                           .arg(r)
                           .arg(r % 50 + 1));
            }
        }
        for (int q = 0; q < Quotes; ++q)
            db.run(QStringLiteral("INSERT INTO tParam (seccode, stock, class_code, bid, offer, last, open, high, low, waprice, biddepth, "
                                  "offerdepth, voltoday, valtoday, lastchange, Digits, lotsize, MinMov, PointValue) VALUES ('S%1', "
                                  "'Бумага %1', 'TQBR', 100.1, 100.2, 100.15, 99, 101, 98, 100, 10, 20, 1000, 100000, 0.5, 2, 1, 0.01, 1)")
                       .arg(q));
        db.run(QStringLiteral("COMMIT"));
    }
};

// The robot connected to the workspace, in the window or alone.
struct Rig {
    OperationLog log;
    Settings settings;
    TDatMod data;
    std::unique_ptr<Robot> core;
    std::unique_ptr<TfmMain> window;
    Robot *robot = nullptr;

    Rig(const Workspace &ws, bool grids, int tickSeconds = 0)
    {
        log.open(ws.dir.filePath(QStringLiteral("Korvina.log")));
        OperationLog::setCurrent(&log);
        settings.setFileName(ws.dir.filePath(QStringLiteral("Korvina.ini")));
        settings.resetToDefaults();
        settings.rgpSingleMulti = 1;
        settings.edtQuikData = ws.quikData;
        settings.edtAlerts = ws.alerts;
        settings.edtdirTT = ws.dir.filePath(QStringLiteral("Trans"));
        settings.edtDirSmartTrade = ws.dir.filePath(QStringLiteral("SmartTrade"));
        settings.edtIntTable = tickSeconds;
        settings.edtIntQuik = tickSeconds;
        settings.chAutoPortfolio = true;
        core = std::make_unique<Robot>(settings, data);
        robot = core.get();
        if (grids) {
            window = std::make_unique<TfmMain>(settings, data, *core);
            window->resize(1600, 900);
            window->show();
        }
        robot->ConnectAndStart();
        robot->ApplyTimerPeriods();
        robot->timQuikTimer();
        QCoreApplication::processEvents();
    }
    ~Rig()
    {
        window.reset();
        core.reset();
        OperationLog::setCurrent(nullptr);
    }
};

Workspace &workspace()
{
    static Workspace ws;
    return ws;
}

// One tick of the terminal data refresh and the painting it causes.
void BM_QuikTick(benchmark::State &state)
{
    const bool grids = state.range(0) != 0;
    const bool changed = state.range(1) != 0;
    Workspace &ws = workspace();
    Rig rig(ws, grids);
    Other terminal(ws.quikData);
    int n = 0;
    for (auto _ : state) {
        if (changed) {
            state.PauseTiming();
            ++n;
            terminal.run(QStringLiteral("UPDATE tParam SET last = %1 WHERE seccode = 'S500'").arg(100 + n % 7));
            terminal.run(QStringLiteral("UPDATE tQuikOrders3 SET balance = %1 WHERE rowid = 500").arg(n % 7));
            terminal.run(QStringLiteral("UPDATE tTrades7 SET Quantity = %1 WHERE rowid = 500").arg(n % 7 + 1));
            state.ResumeTiming();
        }
        rig.robot->timQuikTimer();
        QCoreApplication::processEvents();
        // Until the merged views read off this thread are shown.
        while (!rig.data.quikReader.idle()) {
            QEventLoop wait;
            QObject::connect(&rig.data.quikReader, &BackgroundReader::finished, &wait, &QEventLoop::quit);
            wait.exec();
        }
        QCoreApplication::processEvents();
    }
}
BENCHMARK(BM_QuikTick)->ArgsProduct({{0, 1}, {0, 1}})->ArgNames({"grids", "changed"})->Unit(benchmark::kMillisecond)->Iterations(20);

// The longest gap between two turns of the window's event loop while
// another program holds QuikData's write lock for 5 s (and the terminals'
// data keeps changing before it), the window's timers ticking every second.
void BM_FrozenFrameUnderLock(benchmark::State &state)
{
    Workspace &ws = workspace();
    for (auto _ : state) {
        Rig rig(ws, true, 1);
        rig.robot->actStartWatchExecute();
        Other terminal(ws.quikData);
        qint64 longest = 0;
        QElapsedTimer beat;
        beat.start();
        QTimer probe;
        probe.setInterval(10);
        QObject::connect(&probe, &QTimer::timeout, [&] {
            longest = std::max(longest, beat.restart());
        });
        probe.start();
        auto spin = [](int ms) {
            QElapsedTimer t;
            t.start();
            while (t.elapsed() < ms)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        };
        // The lock is taken a second after the robot's heartbeat, so that
        // the next heartbeat (a write of the robot's own) falls into it.
        auto heartbeat = [&] {
            QSqlQuery q(QSqlDatabase::database(terminal.name()));
            q.exec(QStringLiteral("SELECT heartbeat FROM tRobotState WHERE id = 1"));
            return q.next() ? q.value(0).toString() : QString();
        };
        const QString before = heartbeat();
        QElapsedTimer waited;
        waited.start();
        while (heartbeat() == before && waited.elapsed() < 15000)
            spin(50);
        spin(1000);
        beat.restart();
        longest = 0;
        terminal.run(QStringLiteral("UPDATE tParam SET last = last + 0.01 WHERE seccode = 'S1'"));
        terminal.run(QStringLiteral("BEGIN IMMEDIATE"));
        terminal.run(QStringLiteral("UPDATE tParam SET last = last + 0.01 WHERE seccode = 'S2'"));
        // The lock is held from another thread's point of view: the window's
        // loop runs here meanwhile.
        spin(5000);
        terminal.run(QStringLiteral("COMMIT"));
        spin(1500);
        probe.stop();
        state.counters["frozen_ms"] = static_cast<double>(longest);
    }
}
BENCHMARK(BM_FrozenFrameUnderLock)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
