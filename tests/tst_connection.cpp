// Connecting to the two databases: the log lines, the journal emptied, the
// timers and actions, and what a failed connection leaves alone.

#include "data/datmod.h"
#include "engine/robot.h"
#include "config/textcodec.h"
#include "workspace.h"

#include <QFile>
#include <QtTest>

class TestConnection : public QObject {
    Q_OBJECT

private slots:
    void bothDatabasesConnect();
    void failuresAreLoggedAndNothingIsCreated_data();
    void failuresAreLoggedAndNothingIsCreated();
    void notADatabaseFails();
    void journalEmptiedAtEveryConnection();
    void viewsAreReadOnlyWhileShown();
    void connectWhileWatchingKeepsWatching();
    void connectCommandShowsMessageEvenWhenConnectionFails();
    void startUpConnectsWhenAsked_data();
    void startUpConnectsWhenAsked();
    void timerPeriodsFromSettings();
};

void TestConnection::bothDatabasesConnect()
{
    TestWorkspace ws;
    TDatMod data;
    Robot robot(ws.settings, data);
    // As the window's pages show them.
    const QList<DataSet *> views{&data.qPortfolioAll, &data.qPortfolioFutAll, &data.qQuikOrdersAll, &data.qTradesAll, &data.qLimits};
    for (DataSet *view : views)
        robot.setViewShown(*view, true);
    QVERIFY(robot.ConnectDatabases());
    QCOMPARE(ws.messages(), (QStringList{QStringLiteral("Подключение к базе данных ") + ws.alertsPath() + QStringLiteral(": OK"),
                                         QStringLiteral("Подключение к базе данных ") + ws.quikDataPath() + QStringLiteral(": OK")}));
    // The program's tables, the merged views and the alert tables are open.
    for (DataSet *ds : {&data.tWorkSpaces, &data.tStrategy, &data.tSecCode, &data.tOrderNumber, &data.tClientOpenPositions,
                        &data.tClients, &data.tQuik, &data.tGroup, &data.tGroupClients, &data.qPortfolioAll,
                        &data.qPortfolioFutAll, &data.qQuikOrdersAll, &data.qTradesAll, &data.qLimits, &data.qClientsByGroup,
                        &data.qSecCodeList, &data.tFilledOrders, &data.tActiveOrders, &data.tCanceledOrders, &data.tOpenPisitions})
        QVERIFY2(ds->Active(), qPrintable(ds->name()));
    QVERIFY(data.qPortfolioSum.SQLText().contains(data.qPortfolioAll.SQLText()));
    // The lines reached the file, in Windows-1251 with CR LF.
    QFile file(ws.path(QStringLiteral("Korvina.log")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY(bytes.endsWith(cp1251::encode(QStringLiteral("Подключение к базе данных ") + ws.quikDataPath() + QStringLiteral(": OK\r\n"))));
    QCOMPARE(bytes.count("\r\n"), 2);
}

void TestConnection::failuresAreLoggedAndNothingIsCreated_data()
{
    QTest::addColumn<bool>("alertsMissing");
    QTest::addColumn<bool>("quikDataMissing");
    QTest::newRow("alerts missing") << true << false;
    QTest::newRow("QuikData missing") << false << true;
    QTest::newRow("both missing") << true << true;
}

void TestConnection::failuresAreLoggedAndNothingIsCreated()
{
    QFETCH(bool, alertsMissing);
    QFETCH(bool, quikDataMissing);
    TestWorkspace ws(false);
    if (!alertsMissing)
        ws.createAlerts();
    if (!quikDataMissing)
        ws.createQuikData();
    TDatMod data;
    Robot robot(ws.settings, data);
    robot.setViewShown(data.qPortfolioAll, true);
    QCOMPARE(robot.ConnectDatabases(), !quikDataMissing);

    const QStringList m = ws.messages();
    int at = 0;
    for (auto [missing, path] : {std::pair{alertsMissing, ws.alertsPath()}, std::pair{quikDataMissing, ws.quikDataPath()}}) {
        if (missing) {
            QCOMPARE(m.value(at++), QStringLiteral("При подключении к базе данных ") + path + QStringLiteral(" произошла ошибка:"));
            QVERIFY2(m.value(at++).contains(path), qPrintable(m.value(at - 1))); // the reason, on a line of its own
            QVERIFY2(!QFile::exists(path), "a missing database file must never be created");
        } else {
            QCOMPARE(m.value(at++), QStringLiteral("Подключение к базе данных ") + path + QStringLiteral(": OK"));
        }
    }
    QCOMPARE(m.size(), at);
    QCOMPARE(data.tClients.Active(), !quikDataMissing);
    QCOMPARE(data.qPortfolioAll.Active(), !quikDataMissing);
    QVERIFY(!data.tFilledOrders.Active() || !alertsMissing);
}

void TestConnection::notADatabaseFails()
{
    TestWorkspace ws(false);
    ws.createAlerts();
    QFile junk(ws.quikDataPath());
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write("this is not a database file, just some text that is long enough to have a header page........");
    junk.close();
    TDatMod data;
    Robot robot(ws.settings, data);
    QVERIFY(!robot.ConnectDatabases());
    QCOMPARE(ws.messages().value(1), QStringLiteral("При подключении к базе данных ") + ws.quikDataPath() + QStringLiteral(" произошла ошибка:"));
    QVERIFY(!ws.messages().value(2).isEmpty());
}

void TestConnection::viewsAreReadOnlyWhileShown()
{
    // Without a window nothing shows the terminals' views: they are never
    // read, at the connection or at the ticks.
    TestWorkspace ws;
    TDatMod data;
    Robot robot(ws.settings, data);
    const QList<DataSet *> views{&data.qPortfolioAll, &data.qPortfolioFutAll, &data.qQuikOrdersAll, &data.qTradesAll, &data.qLimits};
    QVERIFY(robot.ConnectDatabases());
    for (int tick = 0; tick < 3; ++tick) {
        robot.timQuikTimer();
        QTRY_VERIFY(data.quikReader.idle());
    }
    for (DataSet *view : views)
        QVERIFY2(!view->Active(), qPrintable(view->name()));
    QVERIFY(!views.first()->SQLText().isEmpty()); // built, only not read

    // A grid shows the trades: they are read at once, and at each tick
    // while shown; hidden, the rows stay as they were.
    robot.setViewShown(data.qTradesAll, true);
    QTRY_VERIFY(data.qTradesAll.Active());
    QCOMPARE(data.qTradesAll.RecordCount(), 0);
    ws.exec(ws.quikDataPath(), QStringLiteral("INSERT INTO tTrades (code) VALUES ('C1')"));
    robot.timQuikTimer();
    QTRY_COMPARE(data.qTradesAll.RecordCount(), 1);
    robot.setViewShown(data.qTradesAll, false);
    ws.exec(ws.quikDataPath(), QStringLiteral("INSERT INTO tTrades (code) VALUES ('C2')"));
    robot.timQuikTimer();
    QTRY_VERIFY(data.quikReader.idle());
    QTest::qWait(50);
    QCOMPARE(data.qTradesAll.RecordCount(), 1);
    for (DataSet *view : views)
        if (view != &data.qTradesAll)
            QVERIFY2(!view->Active(), qPrintable(view->name()));
}

void TestConnection::journalEmptiedAtEveryConnection()
{
    TestWorkspace ws;
    TDatMod data;
    Robot robot(ws.settings, data);
    robot.setViewShown(data.qPortfolioAll, true);
    for (int round = 0; round < 2; ++round) {
        ws.exec(ws.quikDataPath(), QStringLiteral("INSERT INTO tOrderNumber (trans_id, id_order, filled, code) VALUES (1, 5, 1, 'C1'), (2, 5, 1, 'C2')"));
        QCOMPARE(ws.count(ws.quikDataPath(), QStringLiteral("tOrderNumber")), 2);
        robot.ConnectAndStart();
        QCOMPARE(ws.count(ws.quikDataPath(), QStringLiteral("tOrderNumber")), 0);
        QVERIFY(data.tOrderNumber.Active());
        QVERIFY(data.qPortfolioAll.Active());
    }
    QVERIFY(robot.timerEnabled(robot.timUpdateTable()));
    QVERIFY(robot.timUpdateTable().isActive());
    QVERIFY(robot.timQuik().isActive());
    QVERIFY(robot.actStartWatchEnabled());
    QVERIFY(!robot.actStopWatchEnabled());

    // A failed connection leaves the journal, the timers and the actions alone.
    ws.exec(ws.quikDataPath(), QStringLiteral("INSERT INTO tOrderNumber (trans_id) VALUES (7)"));
    ws.settings.edtQuikData = ws.path(QStringLiteral("gone.sqlite"));
    robot.ConnectAndStart();
    QCOMPARE(ws.count(ws.quikDataPath(), QStringLiteral("tOrderNumber")), 1);
    QVERIFY(robot.timUpdateTable().isActive());
    QVERIFY(robot.actStartWatchEnabled());
}

void TestConnection::connectWhileWatchingKeepsWatching()
{
    TestWorkspace ws;
    TDatMod data;
    Robot robot(ws.settings, data);
    robot.ConnectAndStart();
    robot.actStartWatchExecute();
    robot.actConnectToBaseExecute();
    QVERIFY(robot.Watching());
    QVERIFY(!robot.actStartWatchEnabled());
    QVERIFY(robot.actStopWatchEnabled());
}

void TestConnection::connectCommandShowsMessageEvenWhenConnectionFails()
{
    TestWorkspace ws(false);
    TDatMod data;
    Robot robot(ws.settings, data);
    QSignalSpy message(&robot, &Robot::message);
    robot.actConnectToBaseExecute();
    QCOMPARE(message.count(), 1);
    QCOMPARE(message.first().first().toString(), QStringLiteral("Созданы новые файлы TRI и TRO. Перезапустите импорт транзакций в квике!"));
    QVERIFY(!robot.timUpdateTable().isActive());
    QVERIFY(!robot.actStartWatchEnabled());
}

void TestConnection::startUpConnectsWhenAsked_data()
{
    QTest::addColumn<bool>("connect");
    QTest::newRow("connect at start-up") << true;
    QTest::newRow("not asked") << false;
}

void TestConnection::startUpConnectsWhenAsked()
{
    QFETCH(bool, connect);
    TestWorkspace ws;
    ws.settings.chConnect = connect;
    QFile info(ws.settings.edtInfoLog);
    QVERIFY(info.open(QIODevice::WriteOnly));
    info.write("0123456789");
    info.close();
    TDatMod data;
    Robot robot(ws.settings, data);
    QSignalSpy title(&robot, &Robot::titleChanged);
    robot.StartUp();
    QCOMPARE(title.count(), 1);
    QCOMPARE(title.first().first().toString(), QStringLiteral("Korvina v 3 beta [Клиент 111 ]"));
    QCOMPARE(data.conQuikData.isOpen(), connect);
    QCOMPARE(robot.timUpdateTable().isActive(), connect);
    QCOMPARE(robot.actStartWatchEnabled(), connect);
    QVERIFY(!robot.Watching()); // watching is started only by the operator
    QCOMPARE(robot.LastInfoLogSize(), 10);
    QCOMPARE(ws.log.LoggedLines(), ws.log.lines().size());
}

void TestConnection::timerPeriodsFromSettings()
{
    TestWorkspace ws;
    ws.settings.edtIntTable = 3;
    ws.settings.edtIntQuik = 0;
    ws.settings.edtQuikConnectTimeOut = 7;
    TDatMod data;
    Robot robot(ws.settings, data);
    robot.ConnectAndStart();
    QCOMPARE(robot.timUpdateTable().interval(), 3000);
    QVERIFY(robot.timUpdateTable().isActive());
    QVERIFY(!robot.timQuik().isActive()); // a period of 0 stops the timer
    QCOMPARE(robot.timInfoLog().interval(), 7000);
    QVERIFY(robot.timInfoLog().isActive());
    ws.settings.edtIntQuik = 2;
    robot.ApplyTimerPeriods();
    QVERIFY(robot.timQuik().isActive());
    QCOMPARE(robot.timQuik().interval(), 2000);
}

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
