// The terminals' merged views on a PostgreSQL QuikData, as the refresh tick
// reads them: only when a table they read changed (the change counters that
// `korvina-db create quikdata` makes), every tick on a database made before
// the counters, and every tick for a table that lost its trigger.
#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "data/sampleworkspace.h"
#include "data/schema.h"
#include "engine/robot.h"
#include "pgserver.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <map>
#include <memory>

namespace {

// The sample desk in MULTI mode (terminals 1 and 2 with their tables) with
// its QuikData and alerts on the server, the robot connected and every grid
// of the terminals' data shown as the window shows them.
struct ServerDesk {
    ServerDesk(PgServer &server, const QString &name, const std::function<void()> &beforeConnect = {})
    {
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
        log.setLocale(QLocale(QLocale::Russian, QLocale::Russia));
        log.open(dir.filePath(QStringLiteral("Korvina.log")));
        OperationLog::setCurrent(&log);
        quikDb = name + QStringLiteral("_quik");
        alertsDb = name + QStringLiteral("_alerts");
        const QString quik = server.createDatabase(quikDb);
        const QString alerts = server.createDatabase(alertsDb);
        QVERIFY2(!quik.isEmpty() && !alerts.isEmpty(), qPrintable(server.error()));
        quikUri = quik;
        const sample::Paths paths = sample::createWorkspace(dir.filePath(QStringLiteral("ws")), quik, alerts).paths;
        if (beforeConnect)
            beforeConnect();
        settings.setFileName(paths.settings);
        settings.LoadSettings();
        settings.rgpSingleMulti = 1;
        settings.chAutoPortfolio = true;
        robot = std::make_unique<Robot>(settings, data);
        robot->ConnectAndStart();
        QVERIFY(data.conQuikData.isOpen());
        for (DataSet *view : views())
            robot->setViewShown(*view, true);
    }
    ~ServerDesk()
    {
        robot.reset();
        if (OperationLog::current() == &log)
            OperationLog::setCurrent(nullptr);
    }

    // The platform's tables each tick read, by name, over `ticks` ticks.
    std::map<QString, int> alertReadsOver(int ticks)
    {
        const QVector<DataSet *> tables = data.alertTables();
        std::vector<std::unique_ptr<QSignalSpy>> spies;
        for (DataSet *table : tables)
            spies.push_back(std::make_unique<QSignalSpy>(table, &DataSet::reread));
        for (int i = 0; i < ticks; ++i)
            robot->timTable();
        std::map<QString, int> out;
        for (int i = 0; i < tables.size(); ++i)
            if (spies[i]->count() > 0)
                out[tables[i]->name()] = int(spies[i]->count());
        return out;
    }

    QVector<DataSet *> views()
    {
        return {&data.tParam, &data.qPortfolioAll, &data.qPortfolioFutAll, &data.qQuikOrdersAll, &data.qTradesAll, &data.qLimits};
    }

    // The views each tick read, by name, over `ticks` ticks.
    std::map<QString, int> readsOver(int ticks)
    {
        std::vector<std::unique_ptr<QSignalSpy>> spies;
        for (DataSet *view : views())
            spies.push_back(std::make_unique<QSignalSpy>(view, &DataSet::reread));
        for (int i = 0; i < ticks; ++i)
            robot->timQuikTimer();
        std::map<QString, int> out;
        for (int i = 0; i < views().size(); ++i)
            if (spies[i]->count() > 0)
                out[views()[i]->name()] = int(spies[i]->count());
        return out;
    }

    int logged(const QString &part) const
    {
        int n = 0;
        for (const QString &line : log.lines())
            n += line.contains(part) ? 1 : 0;
        return n;
    }

    QTemporaryDir dir;
    OperationLog log;
    Settings settings;
    TDatMod data;
    std::unique_ptr<Robot> robot;
    QString quikDb, alertsDb, quikUri;
};

const QString noCounters = QStringLiteral("нет счетчиков изменений");

} // namespace

class TestPgRefresh : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void viewsReadOnChange_data();
    void viewsReadOnChange();
    void databaseWithoutCountersReadsEveryTick();
    void tableMadeAgainIsReadEveryTick();
    void tablesKeepTheirOrder();
    void alertTablesReadOnChange_data();
    void alertTablesReadOnChange();

private:
    PgServer m_server;
    int m_serial = 0;
};

void TestPgRefresh::initTestCase()
{
    if (const QString why = PgServer::missing(); !why.isEmpty())
        QSKIP(qPrintable(why));
    QVERIFY2(m_server.start(), qPrintable(m_server.error()));
}

void TestPgRefresh::viewsReadOnChange_data()
{
    // What another session (a terminal's export, the clients editor of
    // another robot) writes, and the views that must show it.
    QTest::addColumn<QString>("statement");
    QTest::addColumn<QStringList>("reread");
    QTest::newRow("trade of terminal 2") << "INSERT INTO ttrades2 (tradetime, account, code, stock, operation, price, quantity, volume) "
                                            "VALUES ('10:01:02', 'SPBFUT00002', '20001', 'Сбербанк', 'Купля', 250.5, 3, 751.5)"
                                         << QStringList{"qTradesAll"};
    QTest::newRow("order of terminal 1") << "INSERT INTO tquikorders1 (orderdate, ordertime, account, code, stock, operation, price, "
                                            "quantity, balance, volume, status) VALUES ('2026-03-02', '10:00:00', 'L01-00000F01', "
                                            "'10001', 'Газпром', 'Продажа', 99.5, 2, 2, 199, 'Активна')"
                                         << QStringList{"qQuikOrdersAll"};
    QTest::newRow("quote") << "UPDATE tparam SET last = last + 1 WHERE seccode = 'SBER'" << QStringList{"qLimits", "tParam"};
    QTest::newRow("client") << "UPDATE tclients SET note = 'изменен' WHERE code = '10001'" << QStringList{"qLimits"};
    QTest::newRow("portfolio of terminal 1") << "UPDATE tportfolio1 SET curallassets = curallassets + 1"
                                             << QStringList{"qLimits", "qPortfolioAll"};
    QTest::newRow("futures limits of terminal 2") << "INSERT INTO tportfoliofut2 (account, openlimit, planlimit, usedlimit, varmargin) "
                                                     "VALUES ('SPBFUT00009', 1000, 900, 100, 5)"
                                                  << QStringList{"qPortfolioFutAll"};
    QTest::newRow("money limits emptied") << "DELETE FROM tlimitmoney1" << QStringList{"qLimits"};
    QTest::newRow("trades truncated") << "TRUNCATE ttrades1" << QStringList{"qTradesAll"};
    QTest::newRow("a table no view reads") << "INSERT INTO tstrategy (strategy) VALUES ('Другая')" << QStringList{};
}

void TestPgRefresh::viewsReadOnChange()
{
    QFETCH(QString, statement);
    QFETCH(QStringList, reread);
    ServerDesk desk(m_server, QStringLiteral("change%1").arg(++m_serial));
    if (QTest::currentTestFailed())
        return;
    // Each view read once, then nothing: nobody wrote.
    desk.readsOver(1);
    QCOMPARE(desk.readsOver(3), (std::map<QString, int>{}));
    QVERIFY(desk.data.quikChanges.counting());
    QVERIFY(desk.data.quikChanges.skipped() > 0);
    const int tradesBefore = desk.data.qTradesAll.RecordCount();

    QVERIFY2(m_server.exec(desk.quikDb, statement), qPrintable(m_server.error()));
    std::map<QString, int> expected;
    for (const QString &view : reread)
        expected[view] = 1;
    QCOMPARE(desk.readsOver(1), expected);
    if (reread.contains(QStringLiteral("qTradesAll")))
        QVERIFY(desk.data.qTradesAll.RecordCount() != tradesBefore);
    // Read once for the change, not again.
    QCOMPARE(desk.readsOver(2), (std::map<QString, int>{}));
    QCOMPARE(desk.logged(noCounters), 0);
}

void TestPgRefresh::databaseWithoutCountersReadsEveryTick()
{
    // A QuikData made before the counters: every shown view read at every
    // tick, as before, and the log says so once.
    const QString name = QStringLiteral("before%1").arg(++m_serial);
    ServerDesk desk(m_server, name, [&] {
        QVERIFY(m_server.exec(name + QStringLiteral("_quik"), QStringLiteral("DROP FUNCTION korvina_count_change() CASCADE")));
        QVERIFY(m_server.exec(name + QStringLiteral("_quik"), QStringLiteral("DROP TABLE korvina_changes")));
    });
    if (QTest::currentTestFailed())
        return;
    desk.readsOver(1);
    QVERIFY(!desk.data.quikChanges.counting());
    std::map<QString, int> everyTick;
    for (DataSet *view : desk.views())
        everyTick[view->name()] = 3;
    QCOMPARE(desk.readsOver(3), everyTick);
    QCOMPARE(desk.logged(noCounters), 1);
    QCOMPARE(desk.logged(QStringLiteral("korvina-db counters ") + desk.quikUri), 1);

    // The counters added by the tool: from the next connection on, a tick
    // with nothing written reads nothing, and a write is seen.
    QProcess tool;
    tool.start(QStringLiteral(KORVINA_BIN_DIR "/korvina-db"), {QStringLiteral("counters"), desk.quikUri});
    QVERIFY(tool.waitForFinished(60000));
    QVERIFY2(tool.exitCode() == 0, tool.readAllStandardError().constData());
    QVERIFY(tool.readAllStandardOutput().contains("ttrades2"));
    desk.robot->ConnectAndStart();
    desk.readsOver(1);
    QVERIFY(desk.data.quikChanges.counting());
    QCOMPARE(desk.readsOver(3), (std::map<QString, int>{}));
    QVERIFY(m_server.exec(desk.quikDb, QStringLiteral("DELETE FROM ttrades2")));
    QCOMPARE(desk.readsOver(2), (std::map<QString, int>{{QStringLiteral("qTradesAll"), 1}}));
    QCOMPARE(desk.logged(noCounters), 1);
}

void TestPgRefresh::tableMadeAgainIsReadEveryTick()
{
    // Another program drops a terminal's table and makes it again: the
    // trigger went with it, so the views of that table are read at every
    // tick (the others still only on change).
    ServerDesk desk(m_server, QStringLiteral("again%1").arg(++m_serial));
    if (QTest::currentTestFailed())
        return;
    desk.readsOver(1);
    QVERIFY(m_server.exec(desk.quikDb, QStringLiteral("DROP TABLE ttrades1")));
    QVERIFY(m_server.exec(desk.quikDb, QStringLiteral("CREATE TABLE ttrades1 (LIKE ttrades INCLUDING ALL)")));
    QCOMPARE(desk.readsOver(3), (std::map<QString, int>{{QStringLiteral("qTradesAll"), 3}}));
    QVERIFY(m_server.exec(desk.quikDb, QStringLiteral("INSERT INTO ttrades1 (code, stock, quantity) VALUES ('10001', 'Сбербанк', 1)")));
    const int before = desk.data.qTradesAll.RecordCount();
    desk.readsOver(1);
    QCOMPARE(desk.data.qTradesAll.RecordCount(), before + 1);
}

void TestPgRefresh::tablesKeepTheirOrder()
{
    // A server keeps no order of rows: a row changed comes last in a plain
    // read. The robot reads its tables by their key or id, so the last row
    // of FilledOrders is still the newest (the bound of the watch step and
    // of the rows taken when watching starts) and the quotes stay in place.
    ServerDesk desk(m_server, QStringLiteral("order%1").arg(++m_serial));
    if (QTest::currentTestFailed())
        return;
    for (int id = 1; id <= 3; ++id)
        QVERIFY(m_server.exec(desk.alertsDb, QStringLiteral("INSERT INTO filledorders (\"id\", symbol) VALUES (%1, 'SBER')").arg(id)));
    // The order number written back into an older row, as the result check does.
    QVERIFY(m_server.exec(desk.alertsDb, QStringLiteral("UPDATE filledorders SET \"order number\" = '5001' WHERE \"id\" = 2")));
    RefreshDataSet(desk.data.tFilledOrders);
    QCOMPARE(desk.data.GetLastId(desk.data.tFilledOrders), 3);

    desk.readsOver(1);
    DataSet &quotes = desk.data.tParam;
    auto shown = [&quotes] {
        QStringList codes;
        for (int r = 0; r < quotes.RecordCount(); ++r)
            codes << quotes.value(r, QStringLiteral("seccode")).toString();
        return codes;
    };
    const QStringList before = shown();
    QVERIFY(before.size() > 2);
    QVERIFY(m_server.exec(desk.quikDb, QStringLiteral("UPDATE tparam SET last = last + 1 WHERE seccode = '%1'").arg(before.first())));
    QCOMPARE(desk.readsOver(1).count(QStringLiteral("tParam")), size_t(1));
    QCOMPARE(shown(), before);
}

void TestPgRefresh::alertTablesReadOnChange_data()
{
    // What the strategy platform writes, and the alert tables read again.
    QTest::addColumn<QString>("statement");
    QTest::addColumn<QStringList>("reread");
    QTest::addColumn<bool>("counters"); // the alert database has its change counters
    QTest::newRow("filled order") << "INSERT INTO filledorders (id, symbol, system) VALUES (900001, 'SBER', 'Demo(1)')"
                                  << QStringList{"tFilledOrders"} << true;
    QTest::newRow("active orders emptied") << "DELETE FROM activeorders" << QStringList{"tActiveOrders"} << true;
    QTest::newRow("position changed") << "UPDATE openpositions SET symbol = symbol" << QStringList{"tOpenPisitions"} << true;
    QTest::newRow("made before the counters: every tick")
        << "INSERT INTO filledorders (id, symbol, system) VALUES (900001, 'SBER', 'Demo(1)')"
        << QStringList{"tActiveOrders", "tCanceledOrders", "tFilledOrders", "tOpenPisitions"} << false;
}

void TestPgRefresh::alertTablesReadOnChange()
{
    // On a server the platform's tables are read again only when they
    // changed (a day's tables are read whole there: they have no key of
    // their own to read by pages), and every tick without the counters.
    QFETCH(QString, statement);
    QFETCH(QStringList, reread);
    QFETCH(bool, counters);
    const QString name = QStringLiteral("alerts%1").arg(++m_serial);
    ServerDesk desk(m_server, name, [&] {
        if (!counters) {
            QVERIFY(m_server.exec(name + QStringLiteral("_alerts"), QStringLiteral("DROP FUNCTION korvina_count_change() CASCADE")));
            QVERIFY(m_server.exec(name + QStringLiteral("_alerts"), QStringLiteral("DROP TABLE korvina_changes")));
        }
    });
    if (QTest::currentTestFailed())
        return;
    desk.alertReadsOver(1);
    std::map<QString, int> idle;
    if (!counters)
        for (const QString &table : reread)
            idle[table] = 2;
    QCOMPARE(desk.alertReadsOver(2), idle);
    QCOMPARE(desk.data.alertChanges.counting(), counters);
    const int filledBefore = desk.data.tFilledOrders.RecordCount();

    QVERIFY2(m_server.exec(desk.alertsDb, statement), qPrintable(m_server.error()));
    std::map<QString, int> expected;
    for (const QString &table : reread)
        expected[table] = 1;
    QCOMPARE(desk.alertReadsOver(1), expected);
    if (statement.contains(QLatin1String("filledorders")))
        QCOMPARE(desk.data.tFilledOrders.RecordCount(), filledBefore + 1);
    QCOMPARE(desk.logged(QStringLiteral("таблицы Omega перечитываются на каждом такте")), counters ? 0 : 1);
}

QTEST_GUILESS_MAIN(TestPgRefresh)
#include "tst_pgrefresh.moc"
