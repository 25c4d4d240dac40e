// The robot under faults from outside: a terminal that refuses, a database
// that refuses a row or is held by another program, a disk that fills up, a
// reconnection while orders arrive, bad settings, bad alert rows, a second
// robot, folder settings that point at the user's files. No order is lost,
// doubled or left as a phantom position, and no file of the user's goes.

#include "config/textcodec.h"
#include "samplerobot.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>

namespace {

// Another program holding QuikData's write lock (readers go on).
class DatabaseHolder {
public:
    explicit DatabaseHolder(const QString &path) : m_name(QStringLiteral("holder-") + QString::number(++s_count))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        if (!db.open())
            qFatal("cannot open %s", qPrintable(path));
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("BEGIN IMMEDIATE")))
            qFatal("cannot lock %s", qPrintable(path));
    }
    ~DatabaseHolder() { release(); }
    void release()
    {
        if (m_released)
            return;
        m_released = true;
        {
            QSqlDatabase db = QSqlDatabase::database(m_name);
            QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
            db.close();
        }
        QSqlDatabase::removeDatabase(m_name);
    }

private:
    static inline int s_count = 0;
    QString m_name;
    bool m_released = false;
};

// Makes every file this process writes stop growing at `bytes` (as a full
// disk would), until the object goes.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { lift(); }
    void lift() { setrlimit(RLIMIT_FSIZE, &m_old); }

private:
    rlimit m_old{};
};

QStringList allTri(SampleRobot &s)
{
    return s.fileLines(s.tri(QStringLiteral("QUIK1"))) + s.fileLines(s.tri(QStringLiteral("QUIK2")));
}

void appendTo(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Append));
    f.write(bytes);
}

QString tro(SampleRobot &s, const QString &name) { return s.paths.trans + QLatin1Char('/') + name + QStringLiteral(".tro"); }

} // namespace

class TestTrust : public QObject {
    Q_OBJECT

private slots:
    void refusalIsToldAndUnbooks_data();
    void refusalIsToldAndUnbooks();
    void fullDiskFinishesLinesNeverRepeatsThem();
    void fullDiskLeavesNoHalfOrderFile();
    void refusedRowCostsThatRowAlone_data();
    void refusedRowCostsThatRowAlone();
    void lockedDatabaseKeepsRowsAndLinesGoOut();
    void unreadableDatabaseHoldsOrdersInOrder();
    void unreadableSizingSettingsRefuse_data();
    void unreadableSizingSettingsRefuse();
    void connectingWhileWatchingLosesNoOrder();
    void textsWaitingAtConnectionAreRenumbered();
    void smartTradeFuturesExitClosesWhatIsHeld();
    void secondRobotLeavesTheFirstAlone();
    void emptyLockLeftByAKilledRobotIsTakenOver();
    void unusableOrdersAreRefused_data();
    void unusableOrdersAreRefused();
    void idsBeyond32Bits();
    void folderSettingsSpareTheUsersFiles_data();
    void folderSettingsSpareTheUsersFiles();
};

void TestTrust::refusalIsToldAndUnbooks_data()
{
    QTest::addColumn<QString>("result");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<bool>("bookWaits");
    const QString description = QStringLiteral(";TRANS_NAME=\"Ввод заявки\";DESCRIPTION=\"Не хватает средств\";");
    QTest::newRow("limit check (6)") << QStringLiteral("STATUS=6") + description << true << false;
    QTest::newRow("terminal check (5)") << QStringLiteral("STATUS=5") + description << true << false;
    QTest::newRow("exchange (4)") << QStringLiteral("STATUS=4") + description << true << false;
    QTest::newRow("refused while the book row waits") << QStringLiteral("STATUS=6") + description << true << true;
    QTest::newRow("passed to the server (0)") << QStringLiteral("STATUS=0") + description << false << false;
    QTest::newRow("received by the server (1)") << QStringLiteral("STATUS=1") + description << false << false;
    QTest::newRow("executed (3)") << QStringLiteral("STATUS=3") + description << false << false;
    QTest::newRow("no status") << QStringLiteral("ORDER_NUMBER=0") + description << false << false;
}

void TestTrust::refusalIsToldAndUnbooks()
{
    QFETCH(QString, result);
    QFETCH(bool, refused);
    QFETCH(bool, bookWaits);
    SampleRobot s;
    s.settings.chSendTrans_done = true;
    QSignalSpy mails(s.robot, &Robot::notification);
    s.robot->actStartWatchExecute();
    std::unique_ptr<DatabaseHolder> holder;
    if (bookWaits) {
        holder = std::make_unique<DatabaseHolder>(s.paths.quikData);
        s.data.conQuikData.setBusyTimeout(50);
    }
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))).size(), 1);
    QCOMPARE(s.data.quikWrites.isEmpty(), !bookWaits);

    appendTo(tro(s, QStringLiteral("trans")), cp1251::encode(QStringLiteral("TRANS_ID=0;") + result + QStringLiteral("\r\n")));
    s.robot->actCheckTROExecute();
    const QString told = QStringLiteral("Транзакция номер 0 отвергнута, статус ") + result.section(QLatin1Char(';'), 0, 0).section(QLatin1Char('='), 1)
        + QStringLiteral(": Не хватает средств");
    QCOMPARE(s.messages().count(told), refused ? 1 : 0);
    QCOMPARE(mails.count(), refused || result.startsWith(QStringLiteral("STATUS=3")) ? 1 : 0);
    if (holder) {
        holder->release();
        QTest::qWait(1100);
        s.robot->timTable();
    }
    QVERIFY(s.data.quikWrites.isEmpty());
    const int booked = s.rows(s.paths.quikData, QStringLiteral("SELECT * FROM tClientOpenPositions")).size();
    QCOMPARE(booked, refused ? 0 : 1);

    // The exit is sized on what is held: the book's 10 lots, or the rule's 5
    // when the entry was refused.
    s.addFilled(2, QStringLiteral("SBER"), QStringLiteral("LX"), QStringLiteral("Sell 50 SBER 290 "), 290);
    s.robot->timTable();
    const QStringList lines = s.fileLines(s.tri(QStringLiteral("trans")));
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[1].endsWith(refused ? QStringLiteral(";QUANTITY=5;") : QStringLiteral(";QUANTITY=10;")), qPrintable(lines[1]));
}

void TestTrust::fullDiskFinishesLinesNeverRepeatsThem()
{
    SampleRobot s(1, 0);
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    const int before = s.log.lines().size();
    {
        // The disk fills while the lines go out: each file takes 100
        // bytes, less than one line, and the databases and the log take
        // nothing more.
        FileSizeLimit full(100);
        s.robot->timTable();
        QCOMPARE(QFileInfo(s.tri(QStringLiteral("QUIK1"))).size(), 100);
        s.robot->timTable(); // tried again, still full: nothing doubles
        QCOMPARE(QFileInfo(s.tri(QStringLiteral("QUIK1"))).size(), 100);
    }
    QTest::qWait(1100);
    s.robot->timTable();

    // Every line once, whole, in order.
    const QStringList q1 = s.fileLines(s.tri(QStringLiteral("QUIK1")));
    const QStringList q2 = s.fileLines(s.tri(QStringLiteral("QUIK2")));
    QCOMPARE(q1.size(), 2);
    QCOMPARE(q2.size(), 1);
    QVERIFY2(q1[0].startsWith(QStringLiteral("TRANS_ID =0;")) && q1[0].endsWith(QLatin1Char(';')), qPrintable(q1[0]));
    QVERIFY(q1[0].contains(QStringLiteral("CLIENT_CODE=10001;")));
    QVERIFY(q1[1].startsWith(QStringLiteral("TRANS_ID =1;")));
    QVERIFY(q2[0].startsWith(QStringLiteral("TRANS_ID =2;")));
    QVERIFY(s.robot->PendingTransactions.isEmpty());
    // The journal and the book caught up; the log lines of the full disk
    // reached the file, each once.
    QCOMPARE(s.rows(s.paths.quikData, QStringLiteral("SELECT * FROM tOrderNumber")).size(), 3);
    QCOMPARE(s.rows(s.paths.quikData, QStringLiteral("SELECT * FROM tClientOpenPositions")).size(), 3);
    QVERIFY(s.log.FlushLog());
    QFile logFile(s.log.fileName());
    QVERIFY(logFile.open(QIODevice::ReadOnly));
    // The file holds every line on screen, in order, each once.
    QCOMPARE(cp1251::decode(logFile.readAll()), s.log.lines().join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));
    QVERIFY(s.log.lines().size() > before);
}

void TestTrust::fullDiskLeavesNoHalfOrderFile()
{
    SampleRobot s(0, 1);
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    QDir folder(s.paths.smartTrade);
    {
        // An order file takes 50 bytes of its 100: the terminal must never
        // see such a file.
        FileSizeLimit full(50);
        s.robot->timTable();
        QCOMPARE(folder.entryList(QDir::Files), QStringList());
        QCOMPARE(s.robot->PendingTransactions.size(), 1);
    }
    QTest::qWait(1100);
    s.robot->timTable();
    const QStringList files = folder.entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    QVERIFY2(files[0].endsWith(QStringLiteral(".new")), qPrintable(files[0]));
    QCOMPARE(s.fileLines(folder.filePath(files[0])),
             QStringList{QStringLiteral("place_order?portfolio=111&security=SBER&action=BUY&type=LIMIT&validity=DAY&price=285,43&stop_price=285,43&amount=10")});
    QVERIFY(s.robot->PendingTransactions.isEmpty());
}

void TestTrust::refusedRowCostsThatRowAlone_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("expected");
    QTest::newRow("journal row") << "tOrderNumber"
                                 << "Произошла ошибка во время отправки тразакции номер  1 в терминал.";
    QTest::newRow("book row") << "tClientOpenPositions" << "Произошла ошибка при добавлении записи в таблицу tClientOpenPositions";
}

void TestTrust::refusedRowCostsThatRowAlone()
{
    QFETCH(QString, table);
    QFETCH(QString, expected);
    SampleRobot s(1, 0);
    // The database refuses the second client's row of terminal 1.
    const QString when = table == QLatin1String("tOrderNumber") ? QStringLiteral("NEW.trans_id = 1") : QStringLiteral("NEW.code = '10002'");
    s.exec(s.paths.quikData, QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON ") + table + QStringLiteral(" WHEN ") + when
                                 + QStringLiteral(" BEGIN SELECT RAISE(ABORT, 'refused'); END"));
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    QCOMPARE(allTri(s).size(), 3);
    const auto journal = s.rows(s.paths.quikData, QStringLiteral("SELECT trans_id FROM tOrderNumber ORDER BY trans_id"));
    const auto book = s.rows(s.paths.quikData, QStringLiteral("SELECT code FROM tClientOpenPositions ORDER BY code"));
    QCOMPARE(journal.size(), table == QLatin1String("tOrderNumber") ? 2 : 3);
    QCOMPARE(book.size(), table == QLatin1String("tClientOpenPositions") ? 2 : 3);
    const QStringList log = s.messages();
    const int at = log.indexOf(expected);
    QVERIFY2(at >= 0, qPrintable(log.join(QLatin1Char('\n'))));
    QVERIFY2(log.value(at + 1).contains(QStringLiteral("refused")), qPrintable(log.value(at + 1)));
    if (table == QLatin1String("tClientOpenPositions"))
        QVERIFY(log.value(at + 1).startsWith(QStringLiteral("Транзакция # 1: ")));
    QVERIFY(s.data.quikWrites.isEmpty());
}

void TestTrust::lockedDatabaseKeepsRowsAndLinesGoOut()
{
    SampleRobot s(1, 0);
    s.robot->actStartWatchExecute();
    s.data.conQuikData.setBusyTimeout(50);
    DatabaseHolder holder(s.paths.quikData);
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    // The lines went out; the rows wait.
    QCOMPARE(allTri(s).size(), 3);
    QVERIFY(s.data.quikWrites.size() >= 6);
    QVERIFY(s.messages().join(QLatin1Char('\n')).contains(QStringLiteral(" отложена (")));
    // An exit while the entries wait is sized on them.
    s.addFilled(2, QStringLiteral("SBER"), QStringLiteral("LX"), QStringLiteral("Sell 1000 SBER 290 "), 290);
    s.robot->timTable();
    const QStringList exits = allTri(s).filter(QStringLiteral("OPERATION=S;"));
    QCOMPARE(exits.size(), 3);
    for (const QString &line : exits)
        QVERIFY2(!line.endsWith(QStringLiteral(";QUANTITY=100;")), qPrintable(line));

    holder.release();
    QTest::qWait(1100);
    s.robot->timTable();
    QVERIFY(s.data.quikWrites.isEmpty());
    QCOMPARE(s.rows(s.paths.quikData, QStringLiteral("SELECT * FROM tOrderNumber")).size(), 6);
    QCOMPARE(s.rows(s.paths.quikData, QStringLiteral("SELECT * FROM tClientOpenPositions")).size(), 0);
    QVERIFY(s.messages().contains(QStringLiteral("Отложенные записи сохранены в базе данных ") + s.paths.quikData + QStringLiteral(".")));
}

void TestTrust::unreadableDatabaseHoldsOrdersInOrder()
{
    SampleRobot s;
    s.robot->actStartWatchExecute();
    // QuikData cannot be read for a while (a network drive gone, say).
    s.data.conQuikData.close();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    s.addFilled(2, QStringLiteral("SBER"), QStringLiteral("LX"), QStringLiteral("Sell 100 SBER 290 "), 290);
    s.robot->timTable();
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))), QStringList());
    QCOMPARE(s.robot->ordersWaiting(), 2);
    const QString log = s.messages().join(QLatin1Char('\n'));
    QCOMPARE(log.count(QStringLiteral("Ошибка при обработке ордера # 1: ")), 1);
    QVERIFY(log.contains(QStringLiteral(" Ордер будет обработан повторно.")));
    QCOMPARE(log.count(QStringLiteral("Обрабатываю ордер # 1 ...")), 1);

    QString error;
    QVERIFY2(s.data.conQuikData.open(s.paths.quikData, &error), qPrintable(error));
    s.robot->timTable();
    // Both, the entry first, each once.
    const QStringList lines = s.fileLines(s.tri(QStringLiteral("trans")));
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].contains(QStringLiteral(";OPERATION=B;")));
    QVERIFY(lines[1].contains(QStringLiteral(";OPERATION=S;")));
    QVERIFY2(lines[1].endsWith(QStringLiteral(";QUANTITY=10;")), qPrintable(lines[1]));
    QCOMPARE(s.robot->ordersWaiting(), 0);
    QVERIFY(s.messages().contains(QStringLiteral("Ордер # 1 обработан повторно.")));
    s.robot->timTable();
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))).size(), 2);
}

void TestTrust::unreadableSizingSettingsRefuse_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("rule");
    QTest::newRow("share of the account") << "Part" << "5%" << 2;
    QTest::newRow("fixed sum") << "FixVol" << "30 000 руб." << 1;
}

void TestTrust::unreadableSizingSettingsRefuse()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(int, rule);
    SampleRobot s;
    QFile ini(s.paths.settings);
    QVERIFY(ini.open(QIODevice::Append));
    ini.write(cp1251::encode(QStringLiteral("\r\n[Position]\r\n") + key + QStringLiteral("=") + value + QStringLiteral("\r\nPositionSize=")
                             + QString::number(rule) + QStringLiteral("\r\n")));
    ini.close();
    s.settings.LoadSettings();
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))), QStringList());
    QCOMPARE(s.robot->TransId, 0);
    const QString log = s.messages().join(QLatin1Char('\n'));
    QVERIFY2(log.contains(QStringLiteral("Ошибка при обработке ордера # 1: Значение \"") + value + QStringLiteral("\" ключа [Position] ") + key),
             qPrintable(log));

    // An unreadable start number keeps the counter and makes no files.
    QVERIFY(ini.open(QIODevice::Append));
    ini.write("trans_id=1O0\r\n");
    ini.close();
    s.settings.LoadSettings();
    s.robot->TransId = 42;
    QVERIFY(QDir(s.paths.trans).removeRecursively());
    s.robot->PrepareTransactionFiles();
    QCOMPARE(s.robot->TransId, 42);
    QVERIFY(!QFileInfo::exists(s.paths.trans));
    QVERIFY(s.messages().join(QLatin1Char('\n')).contains(QStringLiteral("'1O0' is not a valid integer value")));
}

void TestTrust::connectingWhileWatchingLosesNoOrder()
{
    SampleRobot s;
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    // "Подключиться" before the next tick: the connection's own tick must
    // not write the order into a file the connection then deletes.
    s.robot->actConnectToBaseExecute();
    QVERIFY(s.robot->Watching);
    s.robot->timTable();
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))).size(), 1);
    QCOMPARE(s.rows(s.paths.quikData, QStringLiteral("SELECT trans_id FROM tOrderNumber")).size(), 1);
    QCOMPARE(s.rows(s.paths.quikData, QStringLiteral("SELECT * FROM tClientOpenPositions")).size(), 1);
}

void TestTrust::textsWaitingAtConnectionAreRenumbered()
{
    SampleRobot s;
    s.robot->actStartWatchExecute();
    QVERIFY(QFile::remove(s.tri(QStringLiteral("trans")))); // the line cannot go out
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    QCOMPARE(s.robot->PendingTransactions.size(), 1);
    s.settings.edtTrans_id = 100;
    s.robot->actConnectToBaseExecute();
    s.robot->timTable();
    const QStringList lines = s.fileLines(s.tri(QStringLiteral("trans")));
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].startsWith(QStringLiteral("TRANS_ID =100;ACTION=NEW_ORDER;")), qPrintable(lines[0]));
    QCOMPARE(s.robot->TransId, 101);
    const auto journal = s.rows(s.paths.quikData, QStringLiteral("SELECT trans_id, id_order FROM tOrderNumber"));
    QCOMPARE(journal.size(), 1);
    QCOMPARE(journal[0][QStringLiteral("trans_id")].toInt(), 100);
    QCOMPARE(journal[0][QStringLiteral("id_order")].toInt(), 1);
    QVERIFY(s.messages().contains(
        QStringLiteral("Транзакция # 0 не была записана до создания новых файлов и будет отправлена под номером 100.")));
    // Its book row follows it: a refusal under the new number unbooks it.
    appendTo(tro(s, QStringLiteral("trans")), "TRANS_ID=100;STATUS=6;DESCRIPTION=\"x\";\r\n");
    s.robot->actCheckTROExecute();
    QCOMPARE(s.rows(s.paths.quikData, QStringLiteral("SELECT * FROM tClientOpenPositions")).size(), 0);
}

void TestTrust::smartTradeFuturesExitClosesWhatIsHeld()
{
    SampleRobot s(0, 1);
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("RI"), QStringLiteral("LE"), QStringLiteral("Buy 3 RI 110250 "), 110250);
    s.robot->timTable();
    s.addFilled(2, QStringLiteral("RI"), QStringLiteral("LX"), QStringLiteral("Sell 5 RI 110300 "), 110300);
    s.robot->timTable();
    QDir folder(s.paths.smartTrade);
    QStringList texts;
    for (const QString &f : folder.entryList({QStringLiteral("*.new")}, QDir::Files, QDir::Name))
        texts << s.fileLines(folder.filePath(f));
    QCOMPARE(texts.size(), 2);
    QVERIFY2(texts.filter(QStringLiteral("action=SELL&")).value(0).endsWith(QStringLiteral("&amount=3")), qPrintable(texts.join('\n')));
    QCOMPARE(s.rows(s.paths.quikData, QStringLiteral("SELECT * FROM tClientOpenPositions")).size(), 0);
}

void TestTrust::secondRobotLeavesTheFirstAlone()
{
    SampleRobot s;
    s.robot->actStartWatchExecute();
    appendTo(s.tri(QStringLiteral("trans")), "TRANS_ID =7;ACTION=NEW_ORDER;\r\n");
    s.exec(s.paths.quikData, QStringLiteral("INSERT INTO tOrderNumber (trans_id) VALUES (7)"));

    TDatMod data;
    Robot second(s.settings, data);
    second.ConnectAndStart();
    QVERIFY(second.lockedOut());
    QVERIFY2(second.lockedOutText().contains(QStringLiteral("процесс ") + QString::number(QCoreApplication::applicationPid())),
             qPrintable(second.lockedOutText()));
    second.BuildTROFiles();
    second.PrepareTransactionFiles();
    second.actStartWatchExecute();
    QVERIFY(!second.Watching);
    QVERIFY(!second.actStartWatchEnabled);
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    second.timTable();
    // The first robot's file and journal are as it left them, and it alone
    // takes the order.
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))).size(), 1);
    QCOMPARE(s.rows(s.paths.quikData, QStringLiteral("SELECT * FROM tOrderNumber")).size(), 1);
    s.robot->timTable();
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))).size(), 2);

    // Once the first robot is gone, the lock is free.
    delete s.robot;
    s.robot = nullptr;
    TDatMod data3;
    Robot third(s.settings, data3);
    third.ConnectAndStart();
    QVERIFY(!third.lockedOut());
}

void TestTrust::emptyLockLeftByAKilledRobotIsTakenOver()
{
    SampleRobot s;
    delete s.robot; // its lock goes with it
    s.robot = nullptr;
    // A robot killed while making its lock file leaves it empty.
    const QString lockPath = s.paths.quikData + QStringLiteral(".lock");
    {
        QFile empty(lockPath);
        QVERIFY(empty.open(QIODevice::WriteOnly));
    }
    // Just made: perhaps another robot is writing it now; it is left alone.
    {
        TDatMod data;
        Robot early(s.settings, data);
        early.ConnectAndStart();
        QVERIFY(early.lockedOut());
    }
    // Two seconds later it names nobody still: left over, taken over.
    {
        QFile empty(lockPath);
        QVERIFY(empty.open(QIODevice::ReadWrite));
        QVERIFY(empty.setFileTime(QDateTime::currentDateTime().addSecs(-2), QFileDevice::FileModificationTime));
    }
    TDatMod data;
    Robot late(s.settings, data);
    late.ConnectAndStart();
    QVERIFY(!late.lockedOut());
    QVERIFY(s.messages().join('\n').contains(QStringLiteral("не называл ни одного робота")));
    // And it is a real lock now: a second robot stays out.
    TDatMod data2;
    Robot second(s.settings, data2);
    second.ConnectAndStart();
    QVERIFY(second.lockedOut());
}

void TestTrust::unusableOrdersAreRefused_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("fill"); // SQL of the "Fill Price" value
    QTest::addColumn<QString>("reason");
    QTest::newRow("no fill price") << "Buy 30 GAZP 160 " << "NULL" << "нет цены исполнения (поле \"Fill Price\" пусто).";
    QTest::newRow("zero") << "Buy 30 GAZP 160 " << "0" << "цена исполнения 0 не больше нуля.";
    QTest::newRow("negative") << "Buy 30 GAZP 160 " << "-5" << "цена исполнения -5 не больше нуля.";
    QTest::newRow("text") << "Buy 30 GAZP 160 " << "'abc'" << "цена исполнения \"abc\" не является числом.";
    QTest::newRow("huge") << "Buy 30 GAZP 160 " << "1e300" << "цена исполнения 1e+300 слишком велика.";
    QTest::newRow("huge quantity, no price") << "Buy 2147483647 GAZP 160 " << "NULL" << "нет цены исполнения (поле \"Fill Price\" пусто).";
    QTest::newRow("no direction") << "BUY 30 GAZP 160 " << "160.2" << "в тексте ордера \"BUY 30 GAZP 160 \" нет направления (Buy или Sell).";
    QTest::newRow("empty text") << "" << "160.2" << "в тексте ордера \"\" нет направления (Buy или Sell).";
}

void TestTrust::unusableOrdersAreRefused()
{
    QFETCH(QString, text);
    QFETCH(QString, fill);
    QFETCH(QString, reason);
    SampleRobot s(1, 0);
    s.robot->actStartWatchExecute();
    s.exec(s.paths.alerts,
           QStringLiteral("INSERT INTO FilledOrders (ID, Symbol, OrderType, \"Order\", \"Fill Price\", System, Workspace) VALUES "
                          "(5, 'GAZP', 'LE', :text, ") + fill + QStringLiteral(", 'Demo MA Cross(5,20)', 'C:\\Omega\\Demo.orw')"),
           {{QStringLiteral("text"), text}});
    s.robot->timTable();
    QCOMPARE(allTri(s), QStringList());
    QCOMPARE(s.robot->TransId, 0);
    QVERIFY2(s.messages().contains(QStringLiteral("Ордер # 5 отклонен: ") + reason + QStringLiteral(" Транзакции не сформированы.")),
             qPrintable(s.messages().join(QLatin1Char('\n'))));
    // A good row after it goes out.
    s.addFilled(6, QStringLiteral("GAZP"), QStringLiteral("LE"), QStringLiteral("Buy 30 GAZP 160 "), 160.2);
    s.robot->timTable();
    QVERIFY(!allTri(s).isEmpty());
}

void TestTrust::idsBeyond32Bits()
{
    SampleRobot s;
    const qint64 big = qint64(1) << 31; // 2147483648
    s.addFilled(static_cast<int>(2147483647), QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    s.robot->actStartWatchExecute();
    QCOMPARE(s.robot->LastFilledId, 2147483647);
    for (const qint64 id : {big, big * 2 + 7})
        s.exec(s.paths.alerts,
               QStringLiteral("INSERT INTO FilledOrders (ID, Symbol, OrderType, \"Order\", \"Fill Price\", System, Workspace) VALUES "
                              "(:id, 'SBER', 'LE', 'Buy 100 SBER 285 ', 285.15, 'Demo MA Cross(5,20)', 'C:\\Omega\\Demo.orw')"),
               {{QStringLiteral("id"), id}});
    s.robot->timTable();
    QCOMPARE(s.robot->LastFilledId, big * 2 + 7);
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))).size(), 2);
    const auto journal = s.rows(s.paths.quikData, QStringLiteral("SELECT id_order FROM tOrderNumber ORDER BY trans_id"));
    QCOMPARE(journal[0][QStringLiteral("id_order")].toLongLong(), big);
    QCOMPARE(journal[1][QStringLiteral("id_order")].toLongLong(), big * 2 + 7);
    QVERIFY(s.messages().contains(QStringLiteral("Обрабатываю ордер # 4294967303 ...")));
}

void TestTrust::folderSettingsSpareTheUsersFiles_data()
{
    QTest::addColumn<QString>("dirTT");       // "" empty, "<cwd>" the working directory, "<own>" the workspace, or a path
    QTest::addColumn<QString>("smartTrade");
    QTest::addColumn<bool>("triMade");
    QTest::addColumn<QString>("failure");
    QTest::newRow("empty transaction folder") << "" << "<trans>" << false << "не задана папка ([Quik] dirTT).";
    QTest::newRow("empty SmartTrade folder") << "<trans>" << "" << true << "не задана папка ([Quik] DirSmartTrade).";
    QTest::newRow("Windows path") << "C:\\Korvina\\Trans" << "<trans>" << false
                                  << "путь \"C:\\Korvina\\Trans\" ([Quik] dirTT) записан для Windows; укажите папку этой системы.";
    QTest::newRow("the folder of the program's own files") << "<own>" << "<trans>" << true << QString();
}

void TestTrust::folderSettingsSpareTheUsersFiles()
{
    QFETCH(QString, dirTT);
    QFETCH(QString, smartTrade);
    QFETCH(bool, triMade);
    QFETCH(QString, failure);
    SampleRobot s;
    // The working directory holds the user's own files.
    QTemporaryDir cwd;
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(cwd.path()));
    struct Back {
        QString path;
        ~Back() { QDir::setCurrent(path); }
    } back{previous};
    for (const char *name : {"notes.txt", "trans.tri"}) {
        QFile f(cwd.filePath(QLatin1String(name)));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("mine");
    }
    // The program's own files, all in one folder (the log's) with a stray file.
    const QString own = s.dir.path();
    auto place = [&](const QString &setting) {
        if (setting == QLatin1String("<trans>"))
            return s.paths.trans;
        if (setting == QLatin1String("<own>"))
            return own;
        return setting;
    };
    if (dirTT == QLatin1String("<own>")) {
        for (const QString &from : {s.paths.quikData, s.paths.alerts, s.paths.settings})
            QVERIFY(QFile::copy(from, own + QLatin1Char('/') + QFileInfo(from).fileName()));
        s.settings.edtQuikData = own + QStringLiteral("/dbQuikData.sqlite");
        s.settings.edtAlerts = own + QStringLiteral("/Alerts11.sqlite");
        s.settings.setFileName(own + QStringLiteral("/Korvina.ini"));
        QFile stray(own + QStringLiteral("/old.tri"));
        QVERIFY(stray.open(QIODevice::WriteOnly));
    }
    s.settings.edtdirTT = place(dirTT);
    s.settings.edtDirSmartTrade = place(smartTrade);
    s.robot->actConnectToBaseExecute();

    // The working directory is as the user left it; nothing was made at the
    // root or under a Windows name.
    QCOMPARE(QDir(cwd.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name), (QStringList{"notes.txt", "trans.tri"}));
    QFile userTri(cwd.filePath(QStringLiteral("trans.tri")));
    QVERIFY(userTri.open(QIODevice::ReadOnly));
    QCOMPARE(userTri.readAll(), QByteArray("mine"));
    QVERIFY(!QFileInfo::exists(QStringLiteral("/trans.tri")));
    QCOMPARE(QFileInfo::exists(PathInFolder(place(dirTT), QStringLiteral("trans.tri"))), triMade);
    if (!failure.isEmpty())
        QVERIFY2(s.messages().contains(failure), qPrintable(s.messages().join(QLatin1Char('\n'))));
    if (dirTT == QLatin1String("<own>")) {
        const QStringList left = QDir(own).entryList(QDir::Files, QDir::Name);
        for (const char *name : {"Alerts11.sqlite", "Korvina.ini", "Korvina.log", "dbQuikData.sqlite", "dbQuikData.sqlite.lock", "trans.tri"})
            QVERIFY2(left.contains(QLatin1String(name)), qPrintable(left.join(' ')));
        QVERIFY(!left.contains(QStringLiteral("old.tri")));
    }
}

QTEST_GUILESS_MAIN(TestTrust)
#include "tst_trust.moc"
