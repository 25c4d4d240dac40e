// Latency of the whole path with the stand-ins: from the moment the strategy
// stand-in has committed a FilledOrders row to the moment its transaction
// line is in the ".tri" file, over 100 orders, with the robot polling at its
// default 1 s tick (SINGLE mode, the sample workspace, the terminal stand-in
// importing the file as QUIK would).
//
// The orders come at uneven intervals (0.3 to 1.3 s apart) so that they land
// at every phase of the tick. The strategy stand-in prints each row once it
// is committed; the benchmark takes that moment from its output and watches
// the ".tri" file every millisecond. The journal (tOrderNumber) ties each
// transaction to its order. Takes about a minute and a half.

#include "config/textcodec.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
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

namespace {

constexpr int Orders = 100;

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

void BM_FilledRowToTriLine(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString ws = dir.filePath(QStringLiteral("demo"));
    QProcess make;
    make.start(bin(QStringLiteral("korvina-db")), {QStringLiteral("sample"), ws});
    if (!make.waitForFinished(30000) || make.exitCode() != 0) {
        state.SkipWithError("korvina-db sample failed");
        return;
    }
    const QString trans = ws + QStringLiteral("/Trans");
    const QString quikData = ws + QStringLiteral("/Data/dbQuikData.sqlite");
    const QString alerts = ws + QStringLiteral("/Omega/Alerts11.sqlite");
    const QString logPath = ws + QStringLiteral("/Korvina.log");

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

    QHash<int, double> committed; // alert row id -> ms
    QHash<int, double> written;   // TRANS_ID -> ms
    static const QRegularExpression rowLine(QStringLiteral("^FilledOrders ID=(\\d+):"));
    static const QRegularExpression transId(QStringLiteral("^TRANS_ID =(\\d+);"));
    QElapsedTimer clock;
    QByteArray pending;
    qint64 triOffset = 0;
    const QString triPath = trans + QStringLiteral("/trans.tri");

    for (auto _ : state) {
        clock.start();
        strategy.start(bin(QStringLiteral("korvina-strategy-sim")), {QStringLiteral("--alerts"), alerts, QStringLiteral("--scenario"), scenario});
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
            QFile tri(triPath);
            if (tri.open(QIODevice::ReadOnly) && tri.size() > triOffset) {
                tri.seek(triOffset);
                pending += tri.readAll();
                triOffset = tri.pos();
                const double now = clock.nsecsElapsed() / 1e6;
                int end;
                while ((end = pending.indexOf("\r\n")) >= 0) {
                    const auto m = transId.match(QString::fromLatin1(pending.left(end)));
                    if (m.hasMatch())
                        written.insert(m.captured(1).toInt(), now);
                    pending.remove(0, end + 2);
                }
            }
            if (strategy.state() == QProcess::NotRunning && committed.size() == Orders && written.size() >= Orders)
                break;
        }
        state.SetIterationTime(clock.nsecsElapsed() / 1e9);
    }
    cleanup();

    // Which transaction carried which order: the robot's journal.
    QList<double> latencies;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("journal"));
        db.setDatabaseName(quikData);
        if (db.open()) {
            QSqlQuery q(db);
            q.exec(QStringLiteral("SELECT trans_id, id_order FROM tOrderNumber"));
            while (q.next()) {
                const int t = q.value(0).toInt();
                const int id = q.value(1).toInt();
                if (committed.contains(id) && written.contains(t))
                    latencies << written[t] - committed[id];
            }
        }
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("journal"));
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
    state.counters["median_ms"] = (latencies[Orders / 2 - 1] + latencies[Orders / 2]) / 2;
    state.counters["worst_ms"] = latencies.last();
    state.counters["best_ms"] = latencies.first();
}
BENCHMARK(BM_FilledRowToTriLine)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace
