// The program itself, headless, on a workspace made by korvina-db: it
// connects, logs, watches, takes a new filled order, and ends cleanly on a
// signal.

#include "config/textcodec.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString bin = QStringLiteral(KORVINA_BIN_DIR);

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool waitFor(const std::function<bool()> &condition, int ms = 15000)
{
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > ms)
            return false;
        QTest::qWait(50);
    }
    return true;
}

// A demo workspace made by korvina-db in dir/demo; its folder.
QString makeSample(const QTemporaryDir &dir)
{
    const QString ws = dir.filePath(QStringLiteral("demo"));
    QProcess make;
    make.start(bin + QStringLiteral("/korvina-db"), {QStringLiteral("sample"), ws});
    if (!make.waitForFinished(30000) || make.exitCode() != 0)
        return QString();
    return ws;
}
} // namespace

class TestHeadless : public QObject {
    Q_OBJECT

private slots:
    void helpAndVersion_data();
    void helpAndVersion();
    void runsOnSampleWorkspace();
    void unwritableLogStopsBeforeStart();
    void tradesEndToEndWithStandIns();
    void iniThatCannotServeStops_data();
    void iniThatCannotServeStops();
    void windowGoesOnAfterIniWithoutSettings();
    void watchConnectsRetriesAndRecovers();
    void secondRobotStops_data();
    void secondRobotStops();
};

void TestHeadless::helpAndVersion_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("expected");
    QTest::newRow("help") << "--help" << "--headless";
    QTest::newRow("version") << "--version" << KORVINA_VERSION;
}

void TestHeadless::helpAndVersion()
{
    QFETCH(QString, option);
    QFETCH(QString, expected);
    QProcess p;
    p.start(bin + QStringLiteral("/korvina"), {option});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(p.readAllStandardOutput().contains(expected.toUtf8()));
}

void TestHeadless::runsOnSampleWorkspace()
{
    QTemporaryDir dir;
    const QString ws = makeSample(dir);
    QVERIFY(!ws.isEmpty());
    const QString alerts = ws + QStringLiteral("/Omega/Alerts11.sqlite");
    const QString quikData = ws + QStringLiteral("/Data/dbQuikData.sqlite");
    QVERIFY(QFile::exists(alerts));
    QVERIFY(QFile::exists(quikData));

    // Run from another folder: the log lies in the working directory.
    const QString run = dir.filePath(QStringLiteral("run"));
    QVERIFY(QDir().mkpath(run));
    QProcess robot;
    robot.setWorkingDirectory(run);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("ru_RU.UTF-8")); // dates as dd.MM.yyyy
    robot.setProcessEnvironment(env);
    robot.start(bin + QStringLiteral("/korvina"),
                {QStringLiteral("--headless"), QStringLiteral("--ini"), ws + QStringLiteral("/Korvina.ini"), QStringLiteral("--watch")});
    QVERIFY(robot.waitForStarted());
    const QString logPath = run + QStringLiteral("/Korvina.log");
    const QByteArray enabled = cp1251::encode(QStringLiteral(" Загрузка ордеров включена.\r\n"));
    QVERIFY2(waitFor([&] { return readAll(logPath).contains(enabled); }), readAll(logPath).constData());

    // The strategy platform fills an order.
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("platform"));
        db.setDatabaseName(alerts);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec(QStringLiteral("INSERT INTO FilledOrders (ID, Symbol, OrderType, \"Order\") VALUES (1, 'SBER', 'LE', 'Buy 10 SBER @ 250')")));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("platform"));
    const QByteArray taken = cp1251::encode(QStringLiteral(" Обрабатываю ордер # 1 ...\r\n"));
    QVERIFY2(waitFor([&] { return readAll(logPath).contains(taken); }), readAll(logPath).constData());

    robot.terminate(); // SIGTERM: ends normally
    QVERIFY(robot.waitForFinished(10000));
    QCOMPARE(robot.exitStatus(), QProcess::NormalExit);
    QCOMPARE(robot.exitCode(), 0);

    const QByteArray log = readAll(logPath);
    const QList<QByteArray> lines = log.split('\n');
    QVERIFY(log.endsWith("\r\n"));
    QRegularExpression stamp(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d "));
    auto text = [&](int i) { return cp1251::decode(lines.value(i)).remove(stamp).remove(QLatin1Char('\r')); };
    QVERIFY2(stamp.match(cp1251::decode(lines.value(0))).hasMatch(), lines.value(0).constData());
    QCOMPARE(text(0), QStringLiteral("Подключение к базе данных ") + alerts + QStringLiteral(": OK"));
    QCOMPARE(text(1), QStringLiteral("Подключение к базе данных ") + quikData + QStringLiteral(": OK"));
    for (const QByteArray &line : lines)
        QVERIFY2(line.isEmpty() || line.endsWith('\r'), line.constData());

    // Every log line went to standard output as well.
    const QString out = QString::fromLocal8Bit(robot.readAllStandardOutput());
    QVERIFY(out.contains(QStringLiteral("Подключение к базе данных ") + quikData + QStringLiteral(": OK")));
    QVERIFY(out.contains(QStringLiteral("Обрабатываю ордер # 1 ...")));
    QVERIFY(robot.readAllStandardError().isEmpty());
}

void TestHeadless::unwritableLogStopsBeforeStart()
{
    QTemporaryDir dir;
    // A folder in the log file's place: it can be neither opened nor created.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Korvina.log")));
    QProcess robot;
    robot.setWorkingDirectory(dir.path());
    robot.start(bin + QStringLiteral("/korvina"), {QStringLiteral("--headless"), QStringLiteral("--ini"), dir.filePath(QStringLiteral("none.ini"))});
    QVERIFY(robot.waitForFinished(10000));
    QCOMPARE(robot.exitCode(), 1);
    QVERIFY(robot.readAllStandardError().contains(QFileInfo(dir.filePath(QStringLiteral("Korvina.log"))).absoluteFilePath().toLocal8Bit()));
}

void TestHeadless::tradesEndToEndWithStandIns()
{
    QTemporaryDir dir;
    const QString ws = makeSample(dir);
    QVERIFY(!ws.isEmpty());

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("ru_RU.UTF-8"));
    QProcess terminal;
    terminal.setProcessEnvironment(env);
    terminal.start(bin + QStringLiteral("/korvina-terminal-sim"),
                   {QStringLiteral("--dir"), ws + QStringLiteral("/Trans"), QStringLiteral("--db"), ws + QStringLiteral("/Data/dbQuikData.sqlite"),
                    QStringLiteral("--info-log"), ws + QStringLiteral("/QUIK/info.log"), QStringLiteral("--pace"), QStringLiteral("200"),
                    QStringLiteral("--quiet")});
    QVERIFY(terminal.waitForStarted());
    QProcess robot;
    robot.setWorkingDirectory(ws);
    robot.setProcessEnvironment(env);
    robot.start(bin + QStringLiteral("/korvina"),
                {QStringLiteral("--headless"), QStringLiteral("--ini"), ws + QStringLiteral("/Korvina.ini"), QStringLiteral("--watch")});
    QVERIFY(robot.waitForStarted());
    const QString logPath = ws + QStringLiteral("/Korvina.log");
    QVERIFY(waitFor([&] { return readAll(logPath).contains(cp1251::encode(QStringLiteral("Загрузка ордеров включена."))); }));

    const QString scenario = dir.filePath(QStringLiteral("two.scenario"));
    QFile s(scenario);
    QVERIFY(s.open(QIODevice::WriteOnly));
    s.write("0;FilledOrders;SBER;LE;Buy 100 SBER 285.15 Market;285.15;Demo MA Cross(5,20);C:\\Omega\\Demo.orw;MA;5 min\n"
            "100;FilledOrders;GAZP;LE;Buy 50 GAZP 160.25 Market;160.25;Demo MA Cross(5,20);C:\\Omega\\Demo.orw;MA;5 min\n");
    s.close();
    QProcess strategy;
    strategy.setProcessEnvironment(env);
    strategy.start(bin + QStringLiteral("/korvina-strategy-sim"),
                   {QStringLiteral("--alerts"), ws + QStringLiteral("/Omega/Alerts11.sqlite"), QStringLiteral("--scenario"), scenario});
    QVERIFY(strategy.waitForFinished(15000));
    QCOMPARE(strategy.exitCode(), 0);

    const QByteArray done1 = cp1251::encode(QStringLiteral("Транзакция номер 0 успешно выполнена."));
    const QByteArray done2 = cp1251::encode(QStringLiteral("Транзакция номер 1 успешно выполнена."));
    QVERIFY2(waitFor([&] { return readAll(logPath).contains(done1) && readAll(logPath).contains(done2); }, 20000),
             readAll(logPath).constData());
    robot.terminate();
    terminal.terminate();
    QVERIFY(robot.waitForFinished(10000));
    QVERIFY(terminal.waitForFinished(10000));

    const QList<QByteArray> tri = readAll(ws + QStringLiteral("/Trans/trans.tri")).split('\n');
    QCOMPARE(tri.size(), 3); // two lines and what follows the last CR LF
    QVERIFY(tri[0].startsWith("TRANS_ID =0;ACTION=NEW_ORDER;ACCOUNT=L01-00000F00;SECCODE=SBER;CLASSCODE=TQBR;CLIENT_CODE=111;OPERATION=B;"));
    QVERIFY(tri[1].startsWith("TRANS_ID =1;ACTION=NEW_ORDER;ACCOUNT=L01-00000F00;SECCODE=GAZP;"));

    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
    db.setDatabaseName(ws + QStringLiteral("/Data/dbQuikData.sqlite"));
    QVERIFY(db.open());
    {
        QSqlQuery q(db);
        QVERIFY(q.exec(QStringLiteral("SELECT trans_id, status, order_number FROM tOrderNumber ORDER BY trans_id")));
        int n = 0;
        while (q.next()) {
            QCOMPARE(q.value(0).toInt(), n++);
            QCOMPARE(q.value(1).toInt(), 3);
            QVERIFY(q.value(2).toLongLong() > 0);
        }
        QCOMPARE(n, 2);
    }
    db.close();
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
}

void TestHeadless::iniThatCannotServeStops_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing") << "missing";
    QTest::newRow("a folder") << "folder";
    QTest::newRow("not text") << "binary";
    // There, but with not one setting of the robot's.
    QTest::newRow("empty") << "empty";
    QTest::newRow("random text") << "random";
}

void TestHeadless::iniThatCannotServeStops()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("Korvina.ini"));
    if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(ini));
    } else if (kind == QLatin1String("binary")) {
        QFile f(ini);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("\x7f" "ELF\x02\x01\x01\0\0\0", 10));
    } else if (kind != QLatin1String("missing")) {
        QFile f(ini);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(kind == QLatin1String("random") ? QByteArray("[Window]\r\nWidth=800\r\nsome words\r\n") : QByteArray());
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    }
    QProcess robot;
    robot.setWorkingDirectory(dir.path());
    robot.start(bin + QStringLiteral("/korvina"), {QStringLiteral("--headless"), QStringLiteral("--ini"), ini, QStringLiteral("--watch")});
    QVERIFY(robot.waitForFinished(10000));
    QCOMPARE(robot.exitCode(), 1);
    const QString err = QString::fromLocal8Bit(robot.readAllStandardError());
    QVERIFY2(err.contains(ini), qPrintable(err));
    if (kind == QLatin1String("empty") || kind == QLatin1String("random")) {
        const QString told = QStringLiteral("В файле настроек ") + ini + QStringLiteral(" не найдено ни одного параметра Korvina. Робот не запущен");
        QVERIFY2(err.contains(told), qPrintable(err));
        QVERIFY(cp1251::decode(readAll(dir.filePath(QStringLiteral("Korvina.log")))).contains(told));
        // Nothing was started: no database, no transaction folder.
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 (QStringList{QStringLiteral("Korvina.ini"), QStringLiteral("Korvina.log")}));
    }
}

void TestHeadless::windowGoesOnAfterIniWithoutSettings()
{
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("Korvina.ini"));
    {
        QFile f(ini);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    }
    QProcess robot;
    robot.setWorkingDirectory(dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    robot.setProcessEnvironment(env);
    robot.start(bin + QStringLiteral("/korvina"), {QStringLiteral("--ini"), ini});
    QVERIFY(robot.waitForStarted(10000));
    // Told in the log (and in a box), and the window goes on with defaults.
    const QString told = QStringLiteral("В файле настроек ") + ini
        + QStringLiteral(" не найдено ни одного параметра Korvina. Работа продолжается с настройками по умолчанию");
    QVERIFY(waitFor([&] { return cp1251::decode(readAll(dir.filePath(QStringLiteral("Korvina.log")))).contains(told); }));
    QTest::qWait(300);
    QCOMPARE(robot.state(), QProcess::Running);
    robot.terminate();
    QVERIFY(robot.waitForFinished(10000));
    QCOMPARE(robot.exitStatus(), QProcess::NormalExit);
    QCOMPARE(robot.exitCode(), 0);
}

void TestHeadless::watchConnectsRetriesAndRecovers()
{
    QTemporaryDir dir;
    const QString ws = makeSample(dir);
    QVERIFY(!ws.isEmpty());
    // Connecting at start-up is off, and QuikData is not there yet.
    const QString ini = ws + QStringLiteral("/Korvina.ini");
    {
        QFile f(ini);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QByteArray text = f.readAll();
        f.close();
        text.replace("Connect=-1", "Connect=0");
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    }
    const QString quikData = ws + QStringLiteral("/Data/dbQuikData.sqlite");
    QVERIFY(QFile::rename(quikData, quikData + QStringLiteral(".away")));

    QProcess robot;
    robot.setWorkingDirectory(ws);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("ru_RU.UTF-8"));
    robot.setProcessEnvironment(env);
    robot.start(bin + QStringLiteral("/korvina"), {QStringLiteral("--headless"), QStringLiteral("--ini"), ini, QStringLiteral("--watch")});
    QVERIFY(robot.waitForStarted());
    const QString logPath = ws + QStringLiteral("/Korvina.log");
    const QByteArray failed = cp1251::encode(QStringLiteral("При подключении к базе данных ") + quikData + QStringLiteral(" произошла ошибка:"));
    QVERIFY2(waitFor([&] { return readAll(logPath).contains(failed); }), readAll(logPath).constData());
    // Tried again (every five seconds), the same failure is not logged again,
    // nor the other database's connection that keeps succeeding.
    QTest::qWait(6000);
    QCOMPARE(readAll(logPath).count(failed), 1);
    const QString alerts = ws + QStringLiteral("/Omega/Alerts11.sqlite");
    QCOMPARE(readAll(logPath).count(cp1251::encode(QStringLiteral("Подключение к базе данных ") + alerts + QStringLiteral(": OK"))), 1);
    QCOMPARE(robot.state(), QProcess::Running);

    // QuikData comes: connected, files made, watching on.
    QVERIFY(QFile::rename(quikData + QStringLiteral(".away"), quikData));
    const QByteArray watching = cp1251::encode(QStringLiteral(" Загрузка ордеров включена.\r\n"));
    QVERIFY2(waitFor([&] { return readAll(logPath).contains(watching); }, 20000), readAll(logPath).constData());
    QVERIFY(readAll(logPath).contains(cp1251::encode(QStringLiteral("Подключение к базе данных ") + quikData + QStringLiteral(": OK"))));
    QVERIFY(QFile::exists(ws + QStringLiteral("/Trans/trans.tri")));

    // The strategy platform's table goes away for a while: told once, and
    // when it is back.
    auto platform = [&](const QString &sql) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("platform"));
        db.setDatabaseName(alerts);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY2(q.exec(sql), qPrintable(q.lastError().text()));
        q.finish();
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("platform"));
    };
    platform(QStringLiteral("ALTER TABLE FilledOrders RENAME TO FilledOrdersAway"));
    const QByteArray unreadable = cp1251::encode(QStringLiteral("Таблица FilledOrders не читается ("));
    QVERIFY2(waitFor([&] { return readAll(logPath).contains(unreadable); }), readAll(logPath).constData());
    QTest::qWait(2500);
    QCOMPARE(readAll(logPath).count(unreadable), 1);
    platform(QStringLiteral("ALTER TABLE FilledOrdersAway RENAME TO FilledOrders"));
    QVERIFY(waitFor([&] { return readAll(logPath).contains(cp1251::encode(QStringLiteral("Таблица FilledOrders снова читается."))); }));
    platform(QStringLiteral("INSERT INTO FilledOrders (ID, Symbol, OrderType, \"Order\", \"Fill Price\") VALUES (1, 'SBER', 'LE', 'Buy 10 SBER 250 ', 250)"));
    QVERIFY(waitFor([&] { return readAll(logPath).contains(cp1251::encode(QStringLiteral("Обрабатываю ордер # 1 ..."))); }));

    robot.terminate();
    QVERIFY(robot.waitForFinished(10000));
    QCOMPARE(robot.exitCode(), 0);
}

void TestHeadless::secondRobotStops_data()
{
    // How the second robot reaches the first one's QuikData.
    QTest::addColumn<QString>("how");
    QTest::newRow("the same settings") << "same";
    QTest::newRow("after the lock file was deleted") << "deleted";
    QTest::newRow("through a symbolic link") << "symlink";
}

void TestHeadless::secondRobotStops()
{
    QFETCH(QString, how);
    QTemporaryDir dir;
    const QString ws = makeSample(dir);
    QVERIFY(!ws.isEmpty());
    const QString ini = ws + QStringLiteral("/Korvina.ini");
    const QString quikData = ws + QStringLiteral("/Data/dbQuikData.sqlite");
    QProcess first;
    first.setWorkingDirectory(ws);
    first.start(bin + QStringLiteral("/korvina"), {QStringLiteral("--headless"), QStringLiteral("--ini"), ini, QStringLiteral("--watch")});
    QVERIFY(first.waitForStarted());
    const QString logPath = ws + QStringLiteral("/Korvina.log");
    QVERIFY(waitFor([&] { return readAll(logPath).contains(cp1251::encode(QStringLiteral("Загрузка ордеров включена."))); }));
    // A marker in the first robot's file: the second must not empty it.
    {
        QFile tri(ws + QStringLiteral("/Trans/trans.tri"));
        QVERIFY(tri.open(QIODevice::Append));
        tri.write("TRANS_ID =99;ACTION=NEW_ORDER;\r\n");
    }
    QString secondIni = ini;
    if (how == QLatin1String("deleted")) {
        QVERIFY(QFile::remove(quikData + QStringLiteral(".lock")));
    } else if (how == QLatin1String("symlink")) {
        const QString link = dir.filePath(QStringLiteral("elsewhere.sqlite"));
        QVERIFY(QFile::link(quikData, link));
        QByteArray text = readAll(ini);
        text.replace(QFile::encodeName(QStringLiteral("QuikData=") + quikData), QFile::encodeName(QStringLiteral("QuikData=") + link));
        secondIni = dir.filePath(QStringLiteral("second.ini"));
        QFile f(secondIni);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(text);
    }

    const QString run2 = dir.filePath(QStringLiteral("second"));
    QVERIFY(QDir().mkpath(run2));
    QProcess second;
    second.setWorkingDirectory(run2);
    second.start(bin + QStringLiteral("/korvina"), {QStringLiteral("--headless"), QStringLiteral("--ini"), secondIni, QStringLiteral("--watch")});
    QVERIFY(second.waitForFinished(15000));
    QCOMPARE(second.exitCode(), 1);
    const QString err = QString::fromLocal8Bit(second.readAllStandardError());
    QVERIFY2(err.contains(QStringLiteral(" уже используется другим роботом Korvina (")), qPrintable(err));
    if (how != QLatin1String("deleted"))
        QVERIFY2(err.contains(QStringLiteral("процесс ") + QString::number(first.processId())), qPrintable(err));
    QCOMPARE(readAll(ws + QStringLiteral("/Trans/trans.tri")), QByteArray("TRANS_ID =99;ACTION=NEW_ORDER;\r\n"));
    QCOMPARE(first.state(), QProcess::Running);
    // A lock file deleted is made again by the robot that holds the lock.
    if (how == QLatin1String("deleted"))
        QVERIFY(waitFor([&] { return QFileInfo::exists(quikData + QStringLiteral(".lock")); }));
    first.terminate();
    QVERIFY(first.waitForFinished(10000));
}

QTEST_GUILESS_MAIN(TestHeadless)
#include "tst_headless.moc"
