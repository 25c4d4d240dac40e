// The refresh tick and watching: new rows of the strategy platform become
// visible, are taken once each, and rows that were there before watching
// are never taken.

#include "data/datmod.h"
#include "engine/robot.h"
#include "samplerobot.h"
#include "workspace.h"

#include <QDateTime>
#include <QFile>

#include <QtTest>

class TestWatch : public QObject {
    Q_OBJECT

private slots:
    void tickShowsRowsOfOtherProcesses();
    void tickRereadsOnlyAfterAChange();
    void closedTablesStayClosedQuietly();
    void watchTakesNewRowsOnce();
    void restartSkipsRowsAddedWhileStopped();
    void operatorStopHoldsWhenRunWithWatch();
    void emptyTableThenFirstRow();
    void baselineTakenWhenTableFirstReadable();
    void refreshKeepsCurrentRow();
    void largeTableReadLazily();
    void ticksNeverOverlapAndFailuresEndOnlyTheTick();
    void accessFileWithoutDriverFailsCleanly();
    void instantIntake_data();
    void instantIntake();
    void intakeLooksAgainBrieflyAfterAChange();

private:
    static QStringList processed(const TestWorkspace &ws);
};

void TestWatch::instantIntake_data()
{
    QTest::addColumn<bool>("on");
    QTest::newRow("on") << true;
    QTest::newRow("off") << false;
}

void TestWatch::instantIntake()
{
    QFETCH(bool, on);
    SampleRobot s;
    // No tick of its own during the test: what happens at once is the
    // watcher's doing.
    s.settings.chInstantIntake = on;
    s.settings.edtIntTable = 0;
    s.settings.edtIntQuik = 0;
    s.settings.edtQuikConnectTimeOut = 0;
    s.robot->ApplyTimerPeriods();
    s.robot->actStartWatchExecute();
    QVERIFY(s.messages().contains(on ? QStringLiteral("Новые ордера и ответы терминала принимаются сразу по изменению файлов; "
                                                      "таймер проверяет их каждые 0 с.")
                                     : QStringLiteral("Новые ордера и ответы терминала принимаются по таймеру каждые 0 с.")));
    QCOMPARE(s.robot->intakePaths().isEmpty(), !on);
    const QString tri = s.tri(QStringLiteral("trans"));

    // A filled order committed by the platform.
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 10 SBER 285 "), 285.15);
    if (on) {
        QTRY_COMPARE_WITH_TIMEOUT(s.fileLines(tri).size(), 1, 2000);
    } else {
        QTest::qWait(300);
        QVERIFY(s.fileLines(tri).isEmpty());
        s.robot->timTable(); // the tick takes it
        QCOMPARE(s.fileLines(tri).size(), 1);
    }
    // Taken once, whatever else runs after.
    s.robot->timTable();
    QCOMPARE(s.fileLines(tri).size(), 1);

    // The terminal's answer to it.
    const QString number = s.fileLines(tri).first().section(QLatin1Char(';'), 0, 0).section(QLatin1Char('='), 1).trimmed();
    {
        QFile tro(s.paths.trans + QStringLiteral("/trans.tro"));
        QVERIFY(tro.open(QIODevice::Append));
        tro.write("TRANS_ID=" + number.toLatin1() + ";STATUS=3;ORDER_NUMBER=4711;\r\n");
    }
    if (on) {
        QTRY_COMPARE_WITH_TIMEOUT(s.robot->DoneCount(), 1, 2000);
        QVERIFY(s.robot->IntakeSteps() > 0);
    } else {
        QTest::qWait(300);
        QCOMPARE(s.robot->DoneCount(), 0);
        s.robot->actCheckTROExecute();
        QCOMPARE(s.robot->DoneCount(), 1);
        QCOMPARE(s.robot->IntakeSteps(), 0);
    }
    // Stopped: nothing watched.
    s.robot->actStopWatchExecute();
    QVERIFY(s.robot->intakePaths().isEmpty());
}

void TestWatch::intakeLooksAgainBrieflyAfterAChange()
{
    SampleRobot s;
    s.settings.edtIntTable = 0;
    s.settings.edtIntQuik = 0;
    s.settings.edtQuikConnectTimeOut = 0;
    s.robot->ApplyTimerPeriods();
    s.robot->actStartWatchExecute();
    QTest::qWait(300);
    const int quiet = s.robot->IntakeSteps();

    // The alert database written without a new row to be seen (as when
    // the commit is not published yet): a short series of looks, then none.
    {
        QFile db(s.paths.alerts);
        QVERIFY(db.open(QIODevice::ReadWrite));
        QVERIFY(db.setFileTime(QDateTime::currentDateTime(), QFileDevice::FileModificationTime));
    }
    QTRY_VERIFY_WITH_TIMEOUT(s.robot->IntakeSteps() >= quiet + 1 + int(OrderIntake::SeriesMs.size()), 2000);
    const int afterSeries = s.robot->IntakeSteps();
    QTest::qWait(500); // no looking on and on
    QCOMPARE(s.robot->IntakeSteps(), afterSeries);

    // A new row: found at the first look, and the series ends there.
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 10 SBER 285 "), 285.15);
    QTRY_COMPARE_WITH_TIMEOUT(s.fileLines(s.tri(QStringLiteral("trans"))).size(), 1, 2000);
    QTest::qWait(300);
    QVERIFY2(s.robot->IntakeSteps() - afterSeries < 1 + int(OrderIntake::SeriesMs.size()),
             qPrintable(QString::number(s.robot->IntakeSteps() - afterSeries)));
}

QStringList TestWatch::processed(const TestWorkspace &ws)
{
    QStringList out;
    for (const QString &m : ws.messages())
        if (m.startsWith(QStringLiteral("Обрабатываю ордер # ")))
            out << m;
    return out;
}

void TestWatch::tickShowsRowsOfOtherProcesses()
{
    TestWorkspace ws;
    TDatMod data;
    Robot robot(ws.settings, data);
    robot.ConnectAndStart();
    QCOMPARE(data.tFilledOrders.RecordCount(), 0);
    ws.addFilledOrders({1, 2, 3});
    ws.exec(ws.alertsPath(), QStringLiteral("INSERT INTO OpenPositions (ID, Symbol) VALUES (1, 'GAZP')"));
    robot.timTable();
    QCOMPARE(data.tFilledOrders.RecordCount(), 3);
    QCOMPARE(data.tOpenPisitions.RecordCount(), 1);
    QCOMPARE(data.tOpenPisitions.FieldByName(QStringLiteral("symbol")).toString(), QStringLiteral("GAZP"));
    // Watching is off: nothing is taken, but the tables are re-read.
    QVERIFY(processed(ws).isEmpty());
    QCOMPARE(ws.log.LoggedLines(), ws.log.lines().size());
}

void TestWatch::tickRereadsOnlyAfterAChange()
{
    TestWorkspace ws;
    TDatMod data;
    Robot robot(ws.settings, data);
    robot.ConnectAndStart();
    ws.addFilledOrders({1, 2});
    robot.timTable();
    QSignalSpy reread(&data.tFilledOrders, &DataSet::reread);
    robot.timTable();
    QCOMPARE(reread.count(), 0); // nothing changed anywhere
    // A change by another process, in another table of the same database.
    ws.exec(ws.alertsPath(), QStringLiteral("INSERT INTO OpenPositions (ID, Symbol) VALUES (1, 'GAZP')"));
    robot.timTable();
    QCOMPARE(reread.count(), 1);
    QCOMPARE(data.tOpenPisitions.RecordCount(), 1);
    // Our own changes, through either way of running a statement.
    data.conOmega.execute(QStringLiteral("UPDATE FilledOrders SET [order number] = \"4711\" WHERE id = 2"));
    robot.timTable();
    QCOMPARE(reread.count(), 2);
    data.tFilledOrders.Last();
    QCOMPARE(data.tFilledOrders.FieldByName(QStringLiteral("order number")).toString(), QStringLiteral("4711"));
    data.conOmega.native(QStringLiteral("INSERT INTO FilledOrders (ID, Symbol) VALUES (3, 'SBER')")).finish();
    robot.timTable();
    QCOMPARE(data.tFilledOrders.RecordCount(), 3);
}

void TestWatch::closedTablesStayClosedQuietly()
{
    TestWorkspace ws(false);
    ws.createQuikData();
    TDatMod data;
    Robot robot(ws.settings, data);
    robot.ConnectAndStart();
    const int lines = ws.log.lines().size();
    robot.timTable();
    for (DataSet *t : data.alertTables())
        QVERIFY(!t->Active());
    QCOMPARE(data.GetLastId(data.tFilledOrders), -1);
    QCOMPARE(ws.log.lines().size(), lines); // no message for a table that cannot be read
}

void TestWatch::watchTakesNewRowsOnce()
{
    TestWorkspace ws;
    ws.addFilledOrders({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    TDatMod data;
    Robot robot(ws.settings, data);
    robot.ConnectAndStart();
    robot.actStartWatchExecute();
    QCOMPARE(robot.LastFilledId(), 10);
    QVERIFY(ws.messages().contains(QStringLiteral("Загрузка ордеров включена.")));
    QVERIFY(robot.actStopWatchEnabled());
    QVERIFY(!robot.actStartWatchEnabled());

    robot.timTable();
    QVERIFY(processed(ws).isEmpty());

    ws.addFilledOrders({11, 12});
    QSignalSpy icons(&robot, &Robot::watchIconChanged);
    robot.timTable();
    QCOMPARE(data.qFilledOrders.SQL(), (QStringList{QStringLiteral("SELECT *"), QStringLiteral("FROM FilledOrders"),
                                                    QStringLiteral("WHERE id >10 and id <=12")}));
    QCOMPARE(processed(ws), (QStringList{QStringLiteral("Обрабатываю ордер # 11 ..."), QStringLiteral("Обрабатываю ордер # 12 ...")}));
    QCOMPARE(robot.LastFilledId(), 12);
    QCOMPARE(icons.count(), 1);
    QCOMPARE(icons.first().first().toInt(), 2); // second step of the animation

    robot.timTable();
    QCOMPARE(processed(ws).size(), 2);
    QCOMPARE(ws.log.LoggedLines(), ws.log.lines().size());
}

void TestWatch::restartSkipsRowsAddedWhileStopped()
{
    TestWorkspace ws;
    ws.addFilledOrders({1, 2});
    TDatMod data;
    Robot robot(ws.settings, data);
    robot.ConnectAndStart();
    robot.actStartWatchExecute();
    robot.actStopWatchExecute();
    QCOMPARE(ws.messages().last(), QStringLiteral("Загрузка ордеров остановлена."));
    QVERIFY(robot.actStartWatchEnabled());
    ws.addFilledOrders({3, 4});
    robot.timTable(); // not watching
    robot.actStartWatchExecute();
    QCOMPARE(robot.LastFilledId(), 4);
    robot.timTable();
    QVERIFY(processed(ws).isEmpty());
    ws.addFilledOrders({5});
    robot.timTable();
    QCOMPARE(processed(ws), QStringList{QStringLiteral("Обрабатываю ордер # 5 ...")});
}

void TestWatch::operatorStopHoldsWhenRunWithWatch()
{
    SampleRobot s;
    // Run with --watch: watching starts on its own once connected.
    s.robot->RunAsService(true, 100);
    QVERIFY(s.robot->Watching());
    s.robot->actStopWatchExecute();
    // The operator's stop holds, tick after tick of the service: no order
    // goes out until the operator starts again.
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    QTest::qWait(600);
    s.robot->timTable();
    QVERIFY(!s.robot->Watching());
    QVERIFY(s.robot->actStartWatchEnabled());
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))), QStringList());
    QCOMPARE(s.messages().count(QStringLiteral("Загрузка ордеров включена.")), 1);
    s.robot->actStartWatchExecute();
    QVERIFY(s.robot->Watching());
    s.addFilled(2, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))).size(), 1);
}

void TestWatch::emptyTableThenFirstRow()
{
    TestWorkspace ws;
    TDatMod data;
    Robot robot(ws.settings, data);
    robot.ConnectAndStart();
    robot.actStartWatchExecute();
    QCOMPARE(robot.LastFilledId(), 0);
    ws.addFilledOrders({1});
    robot.timTable();
    QCOMPARE(processed(ws), QStringList{QStringLiteral("Обрабатываю ордер # 1 ...")});
}

void TestWatch::baselineTakenWhenTableFirstReadable()
{
    // Watching starts while the alert database cannot be read; when it can,
    // the rows already there are old orders and must not be sent again.
    TestWorkspace ws(false);
    ws.createQuikData();
    TDatMod data;
    Robot robot(ws.settings, data);
    robot.ConnectAndStart();
    robot.actStartWatchExecute();
    QCOMPARE(robot.LastFilledId(), -1);
    robot.timTable();
    QVERIFY(processed(ws).isEmpty());

    ws.createAlerts();
    ws.addFilledOrders({1, 2, 3, 4, 5});
    QString error;
    QVERIFY(data.conOmega.open(ws.alertsPath(), &error));
    robot.timTable();
    QVERIFY(processed(ws).isEmpty());
    QCOMPARE(robot.LastFilledId(), 5);

    ws.addFilledOrders({6});
    robot.timTable();
    QCOMPARE(processed(ws), QStringList{QStringLiteral("Обрабатываю ордер # 6 ...")});
}

void TestWatch::refreshKeepsCurrentRow()
{
    TestWorkspace ws;
    ws.addFilledOrders({1, 2, 3, 4});
    TDatMod data;
    Robot robot(ws.settings, data);
    robot.ConnectAndStart();
    QVERIFY(data.tFilledOrders.Locate(QStringLiteral("id"), 3));
    QCOMPARE(data.tFilledOrders.RecNo(), 3);
    ws.addFilledOrders({5});
    RefreshDataSet(data.tFilledOrders);
    QCOMPARE(data.tFilledOrders.FieldByName(QStringLiteral("ID")).toInt(), 3);
    // GetLastId reads the last row and comes back to the current one.
    QCOMPARE(data.GetLastId(data.tFilledOrders), 5);
    QCOMPARE(data.tFilledOrders.FieldByName(QStringLiteral("ID")).toInt(), 3);
    // The current row gone: back to the first row.
    ws.exec(ws.alertsPath(), QStringLiteral("DELETE FROM FilledOrders WHERE ID = 3"));
    RefreshDataSet(data.tFilledOrders);
    QCOMPARE(data.tFilledOrders.RecNo(), 1);

    // A query keeps its record number.
    data.qQuikData.setSQL(QStringLiteral("SELECT * FROM tSecCode"));
    ws.exec(ws.quikDataPath(), QStringLiteral("INSERT INTO tSecCode (SecCode, Ticker) VALUES ('A','A'), ('B','B'), ('C','C')"));
    data.qQuikData.Open();
    data.qQuikData.setRecNo(2);
    ws.exec(ws.quikDataPath(), QStringLiteral("INSERT INTO tSecCode (SecCode, Ticker) VALUES ('D','D')"));
    RefreshQuery(data.qQuikData);
    QCOMPARE(data.qQuikData.RecordCount(), 4);
    QCOMPARE(data.qQuikData.RecNo(), 2);
}

void TestWatch::largeTableReadLazily()
{
    TestWorkspace ws;
    ws.exec(ws.alertsPath(), QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000) "
                                            "INSERT INTO FilledOrders (ID, Symbol) SELECT i, 'S' || i FROM n"));
    TDatMod data;
    Robot robot(ws.settings, data);
    robot.ConnectAndStart();
    DataSet &t = data.tFilledOrders;
    QCOMPARE(t.RecordCount(), 1000);
    QCOMPARE(data.GetLastId(t), 1000);
    QCOMPARE(t.value(0, QStringLiteral("symbol")).toString(), QStringLiteral("S1"));
    QCOMPARE(t.value(300, QStringLiteral("symbol")).toString(), QStringLiteral("S301"));
    QCOMPARE(t.value(999, QStringLiteral("symbol")).toString(), QStringLiteral("S1000"));
    QVERIFY(t.Locate(QStringLiteral("ID"), 777));
    QCOMPARE(t.currentRow(), 776);
    QCOMPARE(t.rowCount(), 1000);
    QCOMPARE(t.data(t.index(776, t.fieldIndex(QStringLiteral("Symbol")))).toString(), QStringLiteral("S777"));
    RefreshDataSet(t);
    QCOMPARE(t.currentRow(), 776);
}

void TestWatch::ticksNeverOverlapAndFailuresEndOnlyTheTick()
{
    TestWorkspace ws;
    TDatMod data;
    Robot robot(ws.settings, data);
    QSignalSpy failures(&robot, &Robot::failure);
    int inner = 0;
    robot.runTick([&] {
        robot.runTick([&] { ++inner; }); // a tick while a tick runs does nothing
        throw KorvinaError(QStringLiteral("сбой"));
    });
    QCOMPARE(inner, 0);
    QCOMPARE(failures.count(), 1);
    QCOMPARE(failures.first().first().toString(), QStringLiteral("сбой"));
    int ran = 0;
    robot.runTick([&] { ++ran; });
    QCOMPARE(ran, 1);
}

void TestWatch::accessFileWithoutDriverFailsCleanly()
{
    TestWorkspace ws(false);
    const QString mdb = ws.path(QStringLiteral("Alerts11.mdb"));
    QFile f(mdb);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("not really Access");
    f.close();
    Database db(QStringLiteral("conOmega"));
    QString error;
    QVERIFY(!db.open(mdb, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!db.isOpen());
}

QTEST_GUILESS_MAIN(TestWatch)
#include "tst_watch.moc"
