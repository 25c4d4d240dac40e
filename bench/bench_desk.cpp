// The desk's reads at every terminal data tick:
//  - the reconciliation of 1 000 clients × 20 securities over 10 MULTI
//    terminals: the rows read as the background reader reads them at a
//    tick, on a connection of its own in one read transaction, ten
//    balances having changed since the last read (BM_ReconcileRead); the
//    first read, with nothing of a last read to keep (BM_ReconcileFirstRead);
//    and the rows taken and tracked in the window's thread
//    (BM_ReconcileTrack);
//  - the day's activity following a history of 100 000 rows of the day,
//    10 new transactions and their answers a tick (BM_ActivityTick).

#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "data/schema.h"
#include "engine/activityseries.h"
#include "engine/reconcilereader.h"
#include "engine/reconciliation.h"

#include <QSqlDatabase>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

constexpr int Terminals = 10;
constexpr int Clients = 1000;
constexpr int Securities = 20;

QString code(int i) { return QStringLiteral("C%1").arg(i, 4, 10, QLatin1Char('0')); }
QString sec(int s) { return QStringLiteral("S%1").arg(s, 2, 10, QLatin1Char('0')); }

struct DeskData {
    QTemporaryDir dir;
    OperationLog log;
    Settings settings;
    TDatMod dm;
    QVector<TQuikTerminal> terminals;

    DeskData()
    {
        OperationLog::setCurrent(&log);
        const QString path = dir.filePath(QStringLiteral("dbQuikData.sqlite"));
        schema::createDatabaseFile(path, schema::Kind::QuikData);
        QString error;
        if (!dm.conQuikData.open(path, &error))
            qFatal("%s", qPrintable(error));
        Database &db = dm.conQuikData;
        db.begin();
        for (int t = 1; t <= Terminals; ++t) {
            db.execute(QStringLiteral("INSERT INTO tQuik (id_quik, active, quik, path) VALUES (:n, 1, :q, \"\")"),
                       {{QStringLiteral("n"), t}, {QStringLiteral("q"), QStringLiteral("Q%1").arg(t)}});
            for (const QString &s : schema::terminalTableStatements(t))
                db.execute(s);
            terminals.append({t, true, QStringLiteral("Q%1").arg(t), QString()});
        }
        for (int s = 0; s < Securities; ++s)
            db.execute(QStringLiteral("INSERT INTO tSecCode (Ticker, SecCode, Class_Code, LotSize) VALUES (:t, :t, \"TQBR\", 10)"),
                       {{QStringLiteral("t"), sec(s)}});
        for (int i = 0; i < Clients; ++i) {
            const int t = 1 + i % Terminals;
            db.execute(QStringLiteral("INSERT INTO tClients (Code, AccountFORTS, id_quik, Active) VALUES (:c, :f, :t, 1)"),
                       {{QStringLiteral("c"), code(i)}, {QStringLiteral("f"), QStringLiteral("F") + code(i)}, {QStringLiteral("t"), t}});
            for (int s = 0; s < Securities; ++s) {
                db.execute(QStringLiteral("INSERT INTO tClientOpenPositions (code, symbol, [Position], quantity) VALUES (:c, :s, \"Long\", 3)"),
                           {{QStringLiteral("c"), code(i)}, {QStringLiteral("s"), sec(s)}});
                // One client in ten holds one lot less than the book.
                db.execute(QStringLiteral("INSERT INTO tLimitStock%1 (code, seccode, currentbal) VALUES (:c, :s, :b)").arg(t),
                           {{QStringLiteral("c"), code(i)}, {QStringLiteral("s"), sec(s)}, {QStringLiteral("b"), i % 10 ? 30 : 20}});
            }
        }
        db.commit();
    }
};

DeskData &data()
{
    static DeskData d;
    return d;
}

// Reads as the background reader does: one read transaction.
Database::Rows readAsReader(Database &reader, const ReconcileReader &read)
{
    QSqlDatabase handle = reader.handle();
    handle.transaction();
    Database::Rows r = read(reader);
    handle.commit();
    return r;
}

void BM_ReconcileRead(benchmark::State &state)
{
    DeskData &d = data();
    const ReconcileReader read({AccountMode::Multi, d.terminals, QString(), QString(), false});
    Database reader(QStringLiteral("bench-reader"));
    QString error;
    reader.open(d.dm.conQuikData.path(), &error);
    Database::Rows shown = readAsReader(reader, read); // what the view holds
    size_t rows = 0;
    int tick = 0;
    for (auto _ : state) {
        state.PauseTiming();
        // A tick's worth: ten clients' balances of one security moved.
        d.dm.conQuikData.execute(QStringLiteral("UPDATE tLimitStock%1 SET currentbal = currentbal + 10 WHERE seccode = :s AND code IN "
                                                "(SELECT code FROM tClients WHERE id_quik = %1 LIMIT 10)")
                                     .arg(1 + tick % Terminals),
                                 {{QStringLiteral("s"), sec(tick % Securities)}});
        ++tick;
        state.ResumeTiming();
        shown = readAsReader(reader, read);
        rows = size_t(shown.rows.size());
    }
    state.counters["rows"] = double(rows);
    if (rows != size_t(Clients * Securities))
        state.SkipWithError("not every client and security read");
}
BENCHMARK(BM_ReconcileRead)->Unit(benchmark::kMillisecond);

void BM_ReconcileFirstRead(benchmark::State &state)
{
    DeskData &d = data();
    Database reader(QStringLiteral("bench-first-reader"));
    QString error;
    reader.open(d.dm.conQuikData.path(), &error);
    size_t rows = 0;
    for (auto _ : state) {
        const Database::Rows r = readAsReader(reader, ReconcileReader({AccountMode::Multi, d.terminals, QString(), QString(), false}));
        rows = size_t(r.rows.size());
    }
    state.counters["rows"] = double(rows);
    if (rows != size_t(Clients * Securities))
        state.SkipWithError("not every client and security read");
}
BENCHMARK(BM_ReconcileFirstRead)->Unit(benchmark::kMillisecond);

void BM_ReconcileTrack(benchmark::State &state)
{
    DeskData &d = data();
    Reconciliation rec(d.settings, d.dm);
    rec.Prepare(AccountMode::Multi, d.terminals);
    const Database::Rows r = ReconcileReader({AccountMode::Multi, d.terminals, QString(), QString(), false}).read(d.dm.conQuikData);
    QDateTime now = QDateTime::currentDateTime();
    for (auto _ : state) {
        // What the reader's result costs in the window's thread: the rows
        // taken in place of the old ones, then tracked.
        rec.view().replaceRows(r.fields, r.rows);
        now = now.addSecs(1);
        rec.Track(now);
    }
    state.counters["differences"] = double(Clients * Securities / 10);
}
BENCHMARK(BM_ReconcileTrack)->Unit(benchmark::kMillisecond);

void BM_ActivityTick(benchmark::State &state)
{
    DeskData &d = data();
    Database &db = d.dm.conQuikData;
    const QDateTime start(QDate::currentDate(), QTime(0, 0));
    db.begin();
    for (int i = 0; i < 100000; ++i)
        db.execute(QStringLiteral("INSERT INTO tOrderHistory (session, sent_at, trans_id, id_order, filled, code, status, result_at) "
                                  "VALUES (1, :s, :t, 0, 0, :c, 3, :s)"),
                   {{QStringLiteral("s"), ActivitySeries::historyTimeParam(start.addMSecs(qint64(i) * 300))},
                    {QStringLiteral("t"), i},
                    {QStringLiteral("c"), code(i % Clients)}});
    db.commit();
    ActivitySeries series;
    series.Update(db, nullptr, false);
    int trans = 100000;
    for (auto _ : state) {
        state.PauseTiming();
        // A tick's worth: 10 new transactions, and the answers of the last ten.
        db.begin();
        const QDateTime now = QDateTime::currentDateTime();
        db.execute(QStringLiteral("UPDATE tOrderHistory SET status = 3, result_at = :r WHERE status IS NULL"),
                   {{QStringLiteral("r"), ActivitySeries::historyTimeParam(now)}});
        for (int k = 0; k < 10; ++k, ++trans)
            db.execute(QStringLiteral("INSERT INTO tOrderHistory (session, sent_at, trans_id, id_order, filled, code) VALUES (1, :s, :t, 0, 0, :c)"),
                       {{QStringLiteral("s"), ActivitySeries::historyTimeParam(now)}, {QStringLiteral("t"), trans}, {QStringLiteral("c"), code(k)}});
        db.commit();
        state.ResumeTiming();
        series.Update(db, nullptr, false);
    }
    state.counters["pending"] = series.pending();
}
BENCHMARK(BM_ActivityTick)->Unit(benchmark::kMillisecond);

} // namespace
