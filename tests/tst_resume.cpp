// A robot that stopped without a clean stop goes on from where it was: the
// rows after its stored place are taken, the transactions it journalled but
// never wrote (or wrote and the terminal never took) go into the new files
// once, and every transaction it ever sent stays in the history.

#include "config/textcodec.h"
#include "data/historyexport.h"
#include "databaseholder.h"
#include "samplerobot.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

QString tro(SampleRobot &s, const QString &name) { return s.paths.trans + QLatin1Char('/') + name + QStringLiteral(".tro"); }

void appendTo(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Append));
    f.write(bytes);
}

// The next run of the robot on the same workspace, as a start of the program
// makes it: connected, files prepared.
struct NextRun {
    TDatMod data;
    std::unique_ptr<Robot> robot;
    explicit NextRun(Settings &settings)
    {
        robot = std::make_unique<Robot>(settings, data);
        robot->StartUp(true);
    }
};

// Two strategy orders (SBER, then GAZP) dispatched and written into the
// import file, then the robot gone as if killed. Their two lines.
QStringList twoLinesWrittenThenKilled(SampleRobot &s)
{
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.addFilled(2, QStringLiteral("GAZP"), QStringLiteral("LE"), QStringLiteral("Buy 100 GAZP 160 "), 160.2);
    s.robot->timTable();
    const QStringList lines = s.fileLines(s.tri(QStringLiteral("trans")));
    delete s.robot;
    s.robot = nullptr;
    return lines;
}

// The new files hold one line: the GAZP order, carried over as number 0.
void onlyGazpCarried(SampleRobot &s)
{
    const QStringList lines = s.fileLines(s.tri(QStringLiteral("trans")));
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].startsWith(QStringLiteral("TRANS_ID =0;")) && lines[0].contains(QStringLiteral("SECCODE=GAZP;")), qPrintable(lines[0]));
}

} // namespace

class TestResume : public QObject {
    Q_OBJECT

private slots:
    void startAfterStop_data();
    void startAfterStop();
    void journalledButNotWrittenGoesOutOnce();
    void notTakenIsCarriedAnsweredIsRecorded();
    void answerToALineNeverWrittenIsAnotherSeries();
    void answerReadStaysWhenTheTerminalBeginsItsFileAnew();
    void orderCutShortIsFinishedForTheOthers();
    void historyKeepsEverySeries();
    void restartUnderALockResumesOnceFree();
    void reconnectionCarriesOnlyYoungLines_data();
    void reconnectionCarriesOnlyYoungLines();
    void skippedRowsAreCountedFromThisRunsPlace();
};

void TestResume::startAfterStop_data()
{
    QTest::addColumn<QString>("how");      // how the first run ended
    QTest::addColumn<int>("window");       // ResumeWindow of the next run
    QTest::addColumn<bool>("resumed");
    QTest::newRow("killed, restarted within the window") << "crash" << 60 << true;
    QTest::newRow("stopped cleanly") << "clean" << 60 << false;
    QTest::newRow("killed, restarted after the window") << "old crash" << 60 << false;
    QTest::newRow("killed, resuming switched off") << "crash" << 0 << false;
}

void TestResume::startAfterStop()
{
    QFETCH(QString, how);
    QFETCH(int, window);
    QFETCH(bool, resumed);
    SampleRobot s;
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))).size(), 1);
    appendTo(tro(s, QStringLiteral("trans")), "TRANS_ID=0;STATUS=0;\r\n"); // the terminal took it
    if (how == QLatin1String("clean"))
        s.robot->Shutdown(0);
    delete s.robot; // a kill: nothing more is written
    s.robot = nullptr;
    if (how == QLatin1String("old crash"))
        s.exec(s.paths.quikData, QStringLiteral("UPDATE tRobotState SET heartbeat = :t"),
               {{QStringLiteral("t"), QDateTime::currentDateTime().addSecs(-600)}});
    // Orders filled while the robot was down.
    s.addFilled(2, QStringLiteral("GAZP"), QStringLiteral("LE"), QStringLiteral("Buy 100 GAZP 160 "), 160.2);
    s.addFilled(3, QStringLiteral("SBER"), QStringLiteral("LX"), QStringLiteral("Sell 100 SBER 290 "), 290);

    s.settings.edtResumeWindow = window;
    NextRun next(s.settings);
    next.robot->actStartWatchExecute();
    next.robot->timTable();
    const QStringList lines = s.fileLines(s.tri(QStringLiteral("trans")));
    const QStringList log = s.messages();
    if (resumed) {
        QVERIFY2(lines.size() == 2, qPrintable(log.join(QLatin1Char('\n'))));
        QVERIFY(lines[0].contains(QStringLiteral("SECCODE=GAZP;")));
        QVERIFY(lines[1].contains(QStringLiteral("SECCODE=SBER;")) && lines[1].contains(QStringLiteral("OPERATION=S;")));
        QCOMPARE(log.count(QStringLiteral("Ордер # 2 взят после перезапуска робота.")), 1);
        QCOMPARE(log.count(QStringLiteral("Ордер # 3 взят после перезапуска робота.")), 1);
        QVERIFY(!log.contains(QStringLiteral("Ордер # 1 взят после перезапуска робота.")));
        // The exit closes what the first run booked.
        QVERIFY2(lines[1].endsWith(QStringLiteral(";QUANTITY=10;")), qPrintable(lines[1]));
    } else {
        QCOMPARE(lines, QStringList());
        const QString all = log.join(QLatin1Char('\n'));
        QVERIFY2(all.contains(QStringLiteral(", не загружаются: 2 (# 2, 3).")), qPrintable(all));
    }
    // Rows filled from now on are taken either way.
    s.addFilled(4, QStringLiteral("GAZP"), QStringLiteral("LE"), QStringLiteral("Buy 100 GAZP 160 "), 160.2);
    next.robot->timTable();
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))).size(), (resumed ? 2 : 0) + 1);
}

void TestResume::journalledButNotWrittenGoesOutOnce()
{
    SampleRobot s;
    s.robot->actStartWatchExecute();
    QVERIFY(QFile::remove(s.tri(QStringLiteral("trans")))); // the line cannot go out
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    QCOMPARE(s.robot->PendingTransactions().size(), 1);
    const qint64 series = s.robot->session();
    delete s.robot; // killed with the line still in memory
    s.robot = nullptr;

    NextRun next(s.settings);
    const QStringList lines = s.fileLines(s.tri(QStringLiteral("trans")));
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].startsWith(QStringLiteral("TRANS_ID =0;ACTION=NEW_ORDER;")) && lines[0].contains(QStringLiteral("SECCODE=SBER;")),
             qPrintable(lines[0]));
    QVERIFY(s.messages().contains(QStringLiteral("Транзакция # 0 предыдущих файлов (серия ") + QString::number(series)
                                  + QStringLiteral(") не была записана в файл и будет отправлена под номером 0.")));
    const auto history = s.rows(s.paths.quikData, QStringLiteral("SELECT session, trans_id, id_order, carried_from FROM tOrderHistory"));
    QCOMPARE(history.size(), 1);
    QCOMPARE(history[0][QStringLiteral("session")].toLongLong(), next.robot->session());
    QCOMPARE(history[0][QStringLiteral("carried_from")].toString(), QString::number(series) + QStringLiteral(":0"));
    QCOMPARE(s.rows(s.paths.quikData, QStringLiteral("SELECT trans_id FROM tOrderNumber")).size(), 1);
    // Its order is not taken again: the place was stored with its journal row.
    next.robot->actStartWatchExecute();
    next.robot->timTable();
    next.robot->timTable();
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))).size(), 1);
}

void TestResume::notTakenIsCarriedAnsweredIsRecorded()
{
    SampleRobot s;
    QCOMPARE(twoLinesWrittenThenKilled(s).size(), 2);
    // The terminal answers the first after the robot's last check; the
    // second it never takes.
    appendTo(tro(s, QStringLiteral("trans")), "TRANS_ID=0;STATUS=3;TRANS_NAME=\"Ввод заявки\";DESCRIPTION=\"ok\";ORDER_NUMBER=77;\r\n");

    QElapsedTimer took;
    took.start();
    NextRun next(s.settings);
    QVERIFY(took.elapsed() >= Gateway::CarryWaitMs); // the terminal was given its moment
    onlyGazpCarried(s);
    if (QTest::currentTestFailed())
        return;
    const auto history = s.rows(s.paths.quikData,
                                QStringLiteral("SELECT id_order, status, order_number, carried_from FROM tOrderHistory ORDER BY id_order"));
    QCOMPARE(history.size(), 2);
    QCOMPARE(history[0][QStringLiteral("status")].toInt(), 3);
    QCOMPARE(history[0][QStringLiteral("order_number")].toLongLong(), 77);
    QVERIFY(history[1][QStringLiteral("status")].isNull());
    QVERIFY(history[1][QStringLiteral("carried_from")].toString().endsWith(QStringLiteral(":1")));
}

void TestResume::answerToALineNeverWrittenIsAnotherSeries()
{
    // The robot was killed before its second line reached the import file;
    // the result file (the same name for every series) holds an answer with
    // that number, left by a line of an earlier series that the terminal
    // answered after the files were begun again. That answer is not this
    // line's: the line goes out again, under a new number.
    SampleRobot s;
    const QString tri = s.tri(QStringLiteral("trans"));
    const QStringList written = twoLinesWrittenThenKilled(s);
    QCOMPARE(written.size(), 2);
    {
        QFile f(tri);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(cp1251::encode(written[0]) + "\r\n");
    }
    appendTo(tro(s, QStringLiteral("trans")), "TRANS_ID=1;STATUS=3;TRANS_NAME=\"Ввод заявки\";DESCRIPTION=\"old\";ORDER_NUMBER=55;\r\n"
                                              "TRANS_ID=0;STATUS=3;TRANS_NAME=\"Ввод заявки\";DESCRIPTION=\"ok\";ORDER_NUMBER=77;\r\n");

    NextRun next(s.settings);
    onlyGazpCarried(s);
    if (QTest::currentTestFailed())
        return;
    const auto history = s.rows(s.paths.quikData,
                                QStringLiteral("SELECT id_order, status, order_number, carried_from FROM tOrderHistory ORDER BY id_order"));
    QCOMPARE(history.size(), 2);
    QCOMPARE(history[0][QStringLiteral("order_number")].toLongLong(), 77);
    QVERIFY(history[1][QStringLiteral("status")].isNull());
    QVERIFY(history[1][QStringLiteral("order_number")].isNull());
    QVERIFY(history[1][QStringLiteral("carried_from")].toString().endsWith(QStringLiteral(":1")));
}

void TestResume::answerReadStaysWhenTheTerminalBeginsItsFileAnew()
{
    // The terminal took the first line and answered it; the second it never
    // took. When the robot empties the old import file after its wait, the
    // terminal begins its result file anew: the answer read before is still
    // the first line's answer, so only the second line goes out again.
    SampleRobot s;
    QCOMPARE(twoLinesWrittenThenKilled(s).size(), 2);
    const QString tri = s.tri(QStringLiteral("trans"));
    const QString result = tro(s, QStringLiteral("trans"));
    appendTo(result, "TRANS_ID=0;STATUS=0;TRANS_NAME=\"Ввод заявки\";DESCRIPTION=\"sent\";ORDER_NUMBER=0;\r\n");
    // The terminal: an import file emptied means a result file begun anew.
    QTimer terminal;
    bool begunAnew = false;
    QObject::connect(&terminal, &QTimer::timeout, [&] {
        if (!begunAnew && QFileInfo(tri).exists() && QFileInfo(tri).size() == 0) {
            QFile f(result);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            begunAnew = true;
        }
    });
    terminal.start(10);

    NextRun next(s.settings);
    QVERIFY(begunAnew);
    onlyGazpCarried(s);
    if (QTest::currentTestFailed())
        return;
    const auto history = s.rows(s.paths.quikData, QStringLiteral("SELECT id_order, status, carried_from FROM tOrderHistory ORDER BY id_order"));
    QCOMPARE(history.size(), 2);
    QCOMPARE(history[0][QStringLiteral("status")].toInt(), 0);
    QVERIFY(history[0][QStringLiteral("carried_from")].toString().isEmpty());
    QVERIFY(history[1][QStringLiteral("carried_from")].toString().endsWith(QStringLiteral(":1")));
}

void TestResume::orderCutShortIsFinishedForTheOthers()
{
    // MULTI: the robot was killed after terminal 1's first client of order 5
    // was journalled and written, before the others.
    SampleRobot s(1, 0);
    s.robot->actStartWatchExecute();
    s.robot->timTable();
    const qint64 series = s.robot->session();
    delete s.robot;
    s.robot = nullptr;
    s.exec(s.paths.quikData, QStringLiteral("UPDATE tRobotState SET last_handled = 4, place_session = :s, running = 1, heartbeat = :t"),
           {{QStringLiteral("s"), series}, {QStringLiteral("t"), QDateTime::currentDateTime()}});
    s.exec(s.paths.quikData, QStringLiteral("INSERT INTO tOrderHistory (session, trans_id, id_order, code, terminal_file, status) "
                                            "VALUES (:s, 0, 5, '10001', :f, 3)"),
           {{QStringLiteral("s"), series}, {QStringLiteral("f"), s.tri(QStringLiteral("QUIK1"))}});
    s.addFilled(5, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);

    s.settings.rgpSingleMulti = 1;
    NextRun next(s.settings);
    next.robot->actStartWatchExecute();
    next.robot->timTable();
    const QStringList lines = s.fileLines(s.tri(QStringLiteral("QUIK1"))) + s.fileLines(s.tri(QStringLiteral("QUIK2")));
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.filter(QStringLiteral("CLIENT_CODE=10001;")).isEmpty());
    QCOMPARE(lines.filter(QStringLiteral("CLIENT_CODE=10002;")).size(), 1);
    QCOMPARE(lines.filter(QStringLiteral("CLIENT_CODE=20001;")).size(), 1);
}

void TestResume::historyKeepsEverySeries()
{
    SampleRobot s;
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    appendTo(tro(s, QStringLiteral("trans")),
             cp1251::encode(QStringLiteral("TRANS_ID=0;STATUS=0;\r\nTRANS_ID=0;STATUS=3;DESCRIPTION=\"Исполнена, \"частично\"\";ORDER_NUMBER=11;\r\n")));
    s.robot->timTable();
    const qint64 first = s.robot->session();
    // A new connection: the journal is emptied, the numbers start again.
    s.robot->actConnectToBaseExecute();
    s.addFilled(2, QStringLiteral("GAZP"), QStringLiteral("LE"), QStringLiteral("Buy 100 GAZP 160 "), 160.2);
    s.robot->timTable();
    QCOMPARE(s.robot->session(), first + 1);
    QCOMPARE(s.rows(s.paths.quikData, QStringLiteral("SELECT * FROM tOrderNumber")).size(), 1);
    const auto history = s.rows(s.paths.quikData, QStringLiteral("SELECT session, trans_id, id_order, code, status, order_number, "
                                                                 "trans_text FROM tOrderHistory ORDER BY id"));
    QCOMPARE(history.size(), 2);
    QCOMPARE(history[0][QStringLiteral("session")].toLongLong(), first);
    QCOMPARE(history[1][QStringLiteral("session")].toLongLong(), first + 1);
    QCOMPARE(history[0][QStringLiteral("trans_id")].toInt(), 0);
    QCOMPARE(history[1][QStringLiteral("trans_id")].toInt(), 0);
    QCOMPARE(history[0][QStringLiteral("status")].toInt(), 3);
    QCOMPARE(history[0][QStringLiteral("order_number")].toLongLong(), 11);
    QVERIFY(history[0][QStringLiteral("trans_text")].toString().startsWith(QStringLiteral("TRANS_ID =0;ACTION=NEW_ORDER;")));
    QCOMPARE(history[1][QStringLiteral("id_order")].toInt(), 2);

    // As CSV: the header, both rows, quotes doubled.
    QBuffer csv;
    QVERIFY(csv.open(QIODevice::WriteOnly));
    QCOMPARE(ExportHistoryCsv(s.data.conQuikData, csv), 2);
    const QList<QByteArray> out = csv.data().split('\n');
    QVERIFY(out[0].startsWith("\xEF\xBB\xBFid,session,sent_at,trans_id,id_order,code,terminal_file,trans_text,status,"));
    QVERIFY2(out[1].contains(QStringLiteral(",3,,\"Исполнена, \"\"частично\"\"\",11,").toUtf8()), out[1].constData());
    QCOMPARE(out.size(), 4); // two rows, and what follows the last CR LF
    QBuffer none;
    QVERIFY(none.open(QIODevice::WriteOnly));
    QCOMPARE(ExportHistoryCsv(s.data.conQuikData, none, QDate::currentDate().addDays(1)), 0);
}

void TestResume::restartUnderALockResumesOnceFree()
{
    SampleRobot s;
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    appendTo(tro(s, QStringLiteral("trans")), "TRANS_ID=0;STATUS=3;ORDER_NUMBER=5;\r\n");
    delete s.robot; // killed
    s.robot = nullptr;
    // Filled while the robot is down; another program holds QuikData as it
    // starts again.
    s.addFilled(2, QStringLiteral("GAZP"), QStringLiteral("LE"), QStringLiteral("Buy 100 GAZP 160 "), 160.2);
    DatabaseHolder holder(s.paths.quikData);
    TDatMod data;
    Robot next(s.settings, data);
    next.StartUp(true);
    next.RunAsService(true, 100);
    QVERIFY(next.connectionPending());
    QTest::qWait(1500);
    // It waits: nothing stored, no files made anew, no order taken.
    QVERIFY(!next.Watching());
    QVERIFY(next.connectionPending());
    const QString pending = QStringLiteral("Подключение к базе данных ") + s.paths.quikData
        + QStringLiteral(" не завершено: база данных занята другой программой (");
    QCOMPARE(s.messages().filter(pending).size(), 1);
    QVERIFY(s.messages().filter(QStringLiteral("Предыдущий запуск робота")).isEmpty());
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))).size(), 1); // the first run's file, as it was

    // Free again: the start-up goes on with its own lines, and watching
    // takes up from where the robot was.
    holder.release();
    QElapsedTimer waited;
    waited.start();
    while (!next.Watching() && waited.elapsed() < 10000)
        QTest::qWait(50);
    QVERIFY2(next.Watching(), qPrintable(s.messages().join(QLatin1Char('\n'))));
    next.timTable();
    const QStringList log = s.messages();
    QVERIFY(log.contains(QStringLiteral("База данных ") + s.paths.quikData + QStringLiteral(" освободилась: подключение завершается.")));
    QVERIFY(!log.filter(QStringLiteral(" без штатного завершения: работа продолжается с места остановки.")).isEmpty());
    QVERIFY(log.contains(QStringLiteral("Ордер # 2 взят после перезапуска робота.")));
    const QStringList lines = s.fileLines(s.tri(QStringLiteral("trans")));
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].contains(QStringLiteral("SECCODE=GAZP;")), qPrintable(lines[0]));
}

void TestResume::reconnectionCarriesOnlyYoungLines_data()
{
    QTest::addColumn<int>("window");   // ResumeWindow, seconds
    QTest::addColumn<int>("ageMs");    // how old the unanswered line is at "Подключиться"
    QTest::addColumn<bool>("carried");
    QTest::newRow("within the window") << 60 << 0 << true;
    QTest::newRow("older than the window") << 1 << 1200 << false;
}

void TestResume::reconnectionCarriesOnlyYoungLines()
{
    QFETCH(int, window);
    QFETCH(int, ageMs);
    QFETCH(bool, carried);
    SampleRobot s;
    s.settings.edtResumeWindow = window;
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    const QStringList sent = s.fileLines(s.tri(QStringLiteral("trans")));
    QCOMPARE(sent.size(), 1); // the terminal never answers it
    QTest::qWait(ageMs);

    // The window keeps being served while the connection waits for the
    // terminal's answers: the longest pause between two events is short.
    QElapsedTimer beat;
    beat.start();
    qint64 longest = 0;
    QTimer heart;
    QObject::connect(&heart, &QTimer::timeout, [&] {
        longest = std::max(longest, beat.restart());
    });
    heart.start(10);
    QElapsedTimer took;
    took.start();
    s.robot->actConnectToBaseExecute();
    const qint64 connecting = took.elapsed();
    longest = std::max(longest, beat.elapsed());
    heart.stop();
    QVERIFY2(longest < 500, qPrintable(QString::number(longest)));

    const QStringList lines = s.fileLines(s.tri(QStringLiteral("trans")));
    const QStringList log = s.messages();
    if (carried) {
        QVERIFY(connecting >= Gateway::CarryWaitMs); // the terminal was given its moment
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines[0].contains(QStringLiteral("SECCODE=SBER;")));
        QVERIFY(!log.filter(QStringLiteral(" не была принята терминалом и будет отправлена под номером 0.")).isEmpty());
    } else {
        // Nothing young to wait for: no wait at all.
        QVERIFY2(connecting < 1000, qPrintable(QString::number(connecting)));
        QCOMPARE(lines, QStringList());
        const QString told = QStringLiteral(" не была принята терминалом и не отправляется повторно: она поставлена в очередь 1 с назад, "
                                            "дольше окна продолжения (1 с): ")
            + sent[0];
        QVERIFY2(!log.filter(told).isEmpty(), qPrintable(log.join(QLatin1Char('\n'))));
    }
}

void TestResume::skippedRowsAreCountedFromThisRunsPlace()
{
    // A run after a clean stop of one that watched.
    SampleRobot s;
    s.robot->actStartWatchExecute();
    s.robot->Shutdown(0);
    delete s.robot;
    s.robot = nullptr;
    TDatMod data;
    Robot run(s.settings, data);
    run.StartUp(true);
    run.actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.addFilled(2, QStringLiteral("GAZP"), QStringLiteral("LE"), QStringLiteral("Buy 100 GAZP 160 "), 160.2);
    run.timTable();
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))).size(), 2);
    // Stopped and started again: only what was filled meanwhile is skipped,
    // and told.
    run.actStopWatchExecute();
    s.addFilled(3, QStringLiteral("SBER"), QStringLiteral("LX"), QStringLiteral("Sell 100 SBER 290 "), 290);
    run.timTable();
    run.actStartWatchExecute();
    const QStringList told = s.messages().filter(QStringLiteral("Ордера стратегий, исполненные "));
    QCOMPARE(told, QStringList{QStringLiteral("Ордера стратегий, исполненные пока робот не загружал ордера, не загружаются: 1 (# 3).")});
    run.timTable();
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))).size(), 2);
}

QTEST_GUILESS_MAIN(TestResume)
#include "tst_resume.moc"
