// The robot under faults from outside: a terminal that refuses, a database
// that refuses a row or is held by another program, a disk that fills up, a
// reconnection while orders arrive, bad settings, bad alert rows, a second
// robot, folder settings that point at the user's files. No order is lost,
// doubled or left as a phantom position, and no file of the user's goes.

#include "config/textcodec.h"
#include "databaseholder.h"
#include "samplerobot.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QSignalSpy>
#include <QSysInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace {

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
    void lockedDatabaseHoldsLinesUntilTheirRowsAreWritten();
    void unreadableDatabaseHoldsOrdersInOrder();
    void unreadableSizingSettingsRefuse_data();
    void unreadableSizingSettingsRefuse();
    void connectingWhileWatchingLosesNoOrder();
    void textsWaitingAtConnectionAreRenumbered();
    void smartTradeFuturesExitClosesWhatIsHeld();
    void secondRobotLeavesTheFirstAlone();
    void lockHoldsWhateverNamesTheDatabase_data();
    void lockHoldsWhateverNamesTheDatabase();
    void leftoverLockFileKeepsNobodyOut_data();
    void leftoverLockFileKeepsNobodyOut();
    void lockFileThatCannotBeMadeIsTold();
    void databaseThatCannotBeLockedIsTold();
    void robotStopsWhenItsLockIsGone_data();
    void robotStopsWhenItsLockIsGone();
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
    QTest::addColumn<bool>("heldFirst"); // QuikData held by another program when the order comes
    const QString description = QStringLiteral(";TRANS_NAME=\"Ввод заявки\";DESCRIPTION=\"Не хватает средств\";");
    QTest::newRow("limit check (6)") << QStringLiteral("STATUS=6") + description << true << false;
    QTest::newRow("terminal check (5)") << QStringLiteral("STATUS=5") + description << true << false;
    QTest::newRow("exchange (4)") << QStringLiteral("STATUS=4") + description << true << false;
    QTest::newRow("refused after its line waited for the database") << QStringLiteral("STATUS=6") + description << true << true;
    QTest::newRow("passed to the server (0)") << QStringLiteral("STATUS=0") + description << false << false;
    QTest::newRow("received by the server (1)") << QStringLiteral("STATUS=1") + description << false << false;
    QTest::newRow("executed (3)") << QStringLiteral("STATUS=3") + description << false << false;
    QTest::newRow("no status") << QStringLiteral("ORDER_NUMBER=0") + description << false << false;
}

void TestTrust::refusalIsToldAndUnbooks()
{
    QFETCH(QString, result);
    QFETCH(bool, refused);
    QFETCH(bool, heldFirst);
    SampleRobot s;
    s.settings.chSendTrans_done = true;
    QSignalSpy mails(s.robot, &Robot::notification);
    s.robot->actStartWatchExecute();
    std::unique_ptr<DatabaseHolder> holder;
    if (heldFirst) {
        holder = std::make_unique<DatabaseHolder>(s.paths.quikData);
        s.data.conQuikData.setBusyTimeout(50);
    }
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    if (holder) {
        // The line waits for its rows, then goes out with them.
        QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))).size(), 0);
        holder->release();
        QTest::qWait(1100);
        s.robot->timTable();
    }
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))).size(), 1);
    QVERIFY(s.data.quikWrites.isEmpty());

    appendTo(tro(s, QStringLiteral("trans")), cp1251::encode(QStringLiteral("TRANS_ID=0;") + result + QStringLiteral("\r\n")));
    s.robot->actCheckTROExecute();
    const QString told = QStringLiteral("Транзакция номер 0 отвергнута, статус ") + result.section(QLatin1Char(';'), 0, 0).section(QLatin1Char('='), 1)
        + QStringLiteral(": Не хватает средств");
    QCOMPARE(s.messages().count(told), refused ? 1 : 0);
    QCOMPARE(mails.count(), refused || result.startsWith(QStringLiteral("STATUS=3")) ? 1 : 0);
    s.robot->timTable();
    QVERIFY(s.data.quikWrites.isEmpty());
    // A refused entry stays in the book, holding nothing.
    const auto book = s.rows(s.paths.quikData, QStringLiteral("SELECT quantity FROM tClientOpenPositions"));
    QCOMPARE(book.size(), 1);
    QCOMPARE(book[0][QStringLiteral("quantity")].toInt(), refused ? 0 : 10);

    // The exit closes what is held: the book's 10 lots, or nothing at all
    // when the entry was refused (the strategy's 5 lots would open a short).
    s.addFilled(2, QStringLiteral("SBER"), QStringLiteral("LX"), QStringLiteral("Sell 50 SBER 290 "), 290);
    s.robot->timTable();
    const QStringList lines = s.fileLines(s.tri(QStringLiteral("trans")));
    QCOMPARE(lines.size(), refused ? 1 : 2);
    if (refused)
        QVERIFY2(s.messages().contains(QStringLiteral("Ордер # 2 по счету 111: вход в позицию по SBER не был исполнен (отвергнут терминалом), закрывать нечего.")),
                 qPrintable(s.messages().join(QLatin1Char('\n'))));
    else
        QVERIFY2(lines[1].endsWith(QStringLiteral(";QUANTITY=10;")), qPrintable(lines[1]));
    // The exit took the entry's rows out of the book either way.
    QCOMPARE(s.rows(s.paths.quikData, QStringLiteral("SELECT * FROM tClientOpenPositions")).size(), 0);
}

void TestTrust::fullDiskFinishesLinesNeverRepeatsThem()
{
    SampleRobot s(1, 0);
    s.robot->actStartWatchExecute();
    // The order's rows are in the database while its lines wait for their
    // files (gone for the moment).
    QVERIFY(QFile::remove(s.tri(QStringLiteral("QUIK1"))));
    QVERIFY(QFile::remove(s.tri(QStringLiteral("QUIK2"))));
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    QCOMPARE(s.robot->PendingTransactions().size(), 3);
    QVERIFY(s.data.quikWrites.isEmpty());
    for (const char *name : {"QUIK1", "QUIK2"}) {
        QFile f(s.tri(QLatin1String(name)));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
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
    QVERIFY(s.robot->PendingTransactions().isEmpty());
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
        QCOMPARE(s.robot->PendingTransactions().size(), 1);
    }
    QTest::qWait(1100);
    s.robot->timTable();
    const QStringList files = folder.entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    QVERIFY2(files[0].endsWith(QStringLiteral(".new")), qPrintable(files[0]));
    QCOMPARE(s.fileLines(folder.filePath(files[0])),
             QStringList{QStringLiteral("place_order?portfolio=111&security=SBER&action=BUY&type=LIMIT&validity=DAY&price=285,43&stop_price=285,43&amount=10")});
    QVERIFY(s.robot->PendingTransactions().isEmpty());
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

void TestTrust::lockedDatabaseHoldsLinesUntilTheirRowsAreWritten()
{
    SampleRobot s(1, 0);
    s.robot->actStartWatchExecute();
    s.data.conQuikData.setBusyTimeout(50);
    DatabaseHolder holder(s.paths.quikData);
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    // The rows wait in memory, and so do their lines: a robot killed now
    // finds no trace of the order and takes it again, so none may be out.
    QCOMPARE(allTri(s).size(), 0);
    QCOMPARE(s.robot->PendingTransactions().size(), 3);
    QVERIFY(s.data.quikWrites.size() >= 6);
    const QString log = s.messages().join(QLatin1Char('\n'));
    QVERIFY(log.contains(QStringLiteral(" отложена (")));
    QVERIFY2(log.contains(QStringLiteral("Транзакции для файла ") + s.tri(QStringLiteral("QUIK1"))
                          + QStringLiteral(" ждут сохранения своих записей в базе данных ")),
             qPrintable(log));
    // An exit while the entries wait is sized on them.
    s.addFilled(2, QStringLiteral("SBER"), QStringLiteral("LX"), QStringLiteral("Sell 1000 SBER 290 "), 290);
    s.robot->timTable();
    QCOMPARE(allTri(s).size(), 0);

    holder.release();
    QTest::qWait(1100);
    s.robot->timTable();
    QVERIFY(s.data.quikWrites.isEmpty());
    QVERIFY(s.robot->PendingTransactions().isEmpty());
    // Every line once, each file's entries before its exits, the exits
    // sized on the book.
    for (const char *name : {"QUIK1", "QUIK2"}) {
        const QStringList lines = s.fileLines(s.tri(QLatin1String(name)));
        QCOMPARE(lines.size() % 2, 0);
        for (int i = 0; i < lines.size(); ++i) {
            QVERIFY2(lines[i].contains(i < lines.size() / 2 ? QStringLiteral("OPERATION=B;") : QStringLiteral("OPERATION=S;")), qPrintable(lines[i]));
            QVERIFY2(!lines[i].endsWith(QStringLiteral(";QUANTITY=100;")), qPrintable(lines[i]));
        }
    }
    QCOMPARE(allTri(s).size(), 6);
    QCOMPARE(s.rows(s.paths.quikData, QStringLiteral("SELECT * FROM tOrderNumber")).size(), 6);
    QCOMPARE(s.rows(s.paths.quikData, QStringLiteral("SELECT * FROM tClientOpenPositions")).size(), 0);
    QVERIFY(s.messages().contains(QStringLiteral("Отложенные записи сохранены в базе данных ") + s.paths.quikData + QStringLiteral(".")));
    QVERIFY(s.messages().contains(QStringLiteral("Транзакции записаны в файл ") + s.tri(QStringLiteral("QUIK1")) + QStringLiteral(".")));
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
    QCOMPARE(s.robot->TransId(), 0);
    const QString log = s.messages().join(QLatin1Char('\n'));
    QVERIFY2(log.contains(QStringLiteral("Ошибка при обработке ордера # 1: Значение \"") + value + QStringLiteral("\" ключа [Position] ") + key),
             qPrintable(log));

    // An unreadable start number keeps the counter and makes no files.
    QVERIFY(ini.open(QIODevice::Append));
    ini.write("trans_id=1O0\r\n");
    ini.close();
    s.settings.edtTrans_id = 42;
    s.robot->PrepareTransactionFiles();
    QCOMPARE(s.robot->TransId(), 42);
    s.settings.LoadSettings();
    QVERIFY(QDir(s.paths.trans).removeRecursively());
    s.robot->PrepareTransactionFiles();
    QCOMPARE(s.robot->TransId(), 42);
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
    QVERIFY(s.robot->Watching());
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
    QCOMPARE(s.robot->PendingTransactions().size(), 1);
    s.settings.edtTrans_id = 100;
    s.robot->actConnectToBaseExecute();
    s.robot->timTable();
    const QStringList lines = s.fileLines(s.tri(QStringLiteral("trans")));
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].startsWith(QStringLiteral("TRANS_ID =100;ACTION=NEW_ORDER;")), qPrintable(lines[0]));
    QCOMPARE(s.robot->TransId(), 101);
    const auto journal = s.rows(s.paths.quikData, QStringLiteral("SELECT trans_id, id_order FROM tOrderNumber"));
    QCOMPARE(journal.size(), 1);
    QCOMPARE(journal[0][QStringLiteral("trans_id")].toInt(), 100);
    QCOMPARE(journal[0][QStringLiteral("id_order")].toInt(), 1);
    QVERIFY(s.messages().contains(
        QStringLiteral("Транзакция # 0 не была записана до создания новых файлов и будет отправлена под номером 100.")));
    // Its book row follows it: a refusal under the new number leaves its
    // entry holding nothing.
    appendTo(tro(s, QStringLiteral("trans")), "TRANS_ID=100;STATUS=6;DESCRIPTION=\"x\";\r\n");
    s.robot->actCheckTROExecute();
    s.robot->timTable();
    const auto book = s.rows(s.paths.quikData, QStringLiteral("SELECT quantity FROM tClientOpenPositions"));
    QCOMPARE(book.size(), 1);
    QCOMPARE(book[0][QStringLiteral("quantity")].toInt(), 0);
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
    // The file naming the robot beside QuikData is its owner's alone.
    const QFile::Permissions others = QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther;
    QVERIFY(QFile::exists(s.paths.quikData + QStringLiteral(".lock")));
    QCOMPARE(QFile::permissions(s.paths.quikData + QStringLiteral(".lock")) & others, QFile::Permissions());
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
    QVERIFY(!second.Watching());
    QVERIFY(!second.actStartWatchEnabled());
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

void TestTrust::lockHoldsWhateverNamesTheDatabase_data()
{
    // What is done to the lock file, or how the second robot names QuikData.
    QTest::addColumn<QString>("how");
    QTest::newRow("lock file deleted") << "deleted";
    QTest::newRow("lock file emptied") << "emptied";
    QTest::newRow("through a symbolic link") << "symlink";
    QTest::newRow("through a hard link") << "hardlink";
}

void TestTrust::lockHoldsWhateverNamesTheDatabase()
{
    QFETCH(QString, how);
    SampleRobot s;
    s.robot->actStartWatchExecute();
    const QString lockPath = s.paths.quikData + QStringLiteral(".lock");
    QString second = s.paths.quikData;
    if (how == QLatin1String("deleted")) {
        QVERIFY(QFile::remove(lockPath));
    } else if (how == QLatin1String("emptied")) {
        QFile f(lockPath);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    } else if (how == QLatin1String("symlink")) {
        second = s.dir.filePath(QStringLiteral("other-name.sqlite"));
        QVERIFY(QFile::link(s.paths.quikData, second));
    } else {
        second = QFileInfo(s.paths.quikData).path() + QStringLiteral("/other-name.sqlite");
        QCOMPARE(::link(QFile::encodeName(s.paths.quikData).constData(), QFile::encodeName(second).constData()), 0);
    }
    const QString first = s.settings.edtQuikData;
    s.settings.edtQuikData = second;
    TDatMod data;
    Robot other(s.settings, data);
    // The lock is asked for before anything is read. (SQLite cannot open one
    // WAL database under two names in one process: reading through the
    // hard link fails after that, which a robot kept out may do.)
    auto connectOther = [&] {
        try {
            other.ConnectAndStart();
        } catch (const std::exception &) {
            QCOMPARE(how, QStringLiteral("hardlink"));
        }
    };
    connectOther();
    s.settings.edtQuikData = first;
    QVERIFY(other.lockedOut());
    QVERIFY2(other.lockedOutText().contains(QStringLiteral(" уже используется другим роботом Korvina (")), qPrintable(other.lockedOutText()));
    other.actStartWatchExecute();
    QVERIFY(!other.Watching());

    // The first robot trades on; a lock file gone or emptied is made again
    // at its next tick, naming it.
    s.robot->timTable();
    QVERIFY(!s.robot->lockedOut());
    if (how == QLatin1String("deleted") || how == QLatin1String("emptied"))
        QVERIFY(s.messages().contains(QStringLiteral("Файл блокировки ") + lockPath + QStringLiteral(" был удален или испорчен и создан заново.")));
    s.settings.edtQuikData = second;
    connectOther();
    s.settings.edtQuikData = first;
    QVERIFY2(other.lockedOutText().contains(QStringLiteral("процесс ") + QString::number(QCoreApplication::applicationPid())),
             qPrintable(other.lockedOutText()));
    // One robot takes the order.
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    other.timTable();
    s.robot->timTable();
    other.timTable();
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))).size(), 1);
}

void TestTrust::leftoverLockFileKeepsNobodyOut_data()
{
    QTest::addColumn<QByteArray>("contents"); // of the lock file a robot that is gone left
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("naming a live process of this computer") << QByteArray("1\nkorvina\n") + QSysInfo::machineHostName().toUtf8() + "\n";
    QTest::newRow("naming another computer") << QByteArray("4242\nkorvina\nsomewhere-else\n");
}

void TestTrust::leftoverLockFileKeepsNobodyOut()
{
    QFETCH(QByteArray, contents);
    SampleRobot s;
    delete s.robot; // its lock goes with it
    s.robot = nullptr;
    const QString lockPath = s.paths.quikData + QStringLiteral(".lock");
    {
        QFile left(lockPath);
        QVERIFY(left.open(QIODevice::WriteOnly | QIODevice::Truncate));
        left.write(contents);
    }
    TDatMod data;
    Robot next(s.settings, data);
    next.ConnectAndStart();
    QVERIFY(!next.lockedOut());
    // The file names the robot that holds the lock now.
    QLockFile info(lockPath);
    qint64 pid = 0;
    QString host, application;
    QVERIFY(info.getLockInfo(&pid, &host, &application));
    QCOMPARE(pid, QCoreApplication::applicationPid());
    // And the lock is real: a second robot stays out.
    TDatMod data2;
    Robot second(s.settings, data2);
    second.ConnectAndStart();
    QVERIFY(second.lockedOut());
}

void TestTrust::lockFileThatCannotBeMadeIsTold()
{
    SampleRobot s;
    delete s.robot;
    s.robot = nullptr;
    // Something in the lock file's place that no file can replace.
    const QString lockPath = s.paths.quikData + QStringLiteral(".lock");
    QFile::remove(lockPath);
    QVERIFY(QDir().mkdir(lockPath));
    TDatMod data;
    Robot robot(s.settings, data);
    robot.ConnectAndStart();
    // The lock on the database is held all the same, and it says so.
    QVERIFY(!robot.lockedOut());
    const QString log = s.messages().join(QLatin1Char('\n'));
    QVERIFY2(log.contains(QStringLiteral("Файл блокировки ") + lockPath + QStringLiteral(" не создан (")), qPrintable(log));
    QVERIFY(!log.contains(QStringLiteral("уже используется другим роботом")));
    TDatMod data2;
    Robot second(s.settings, data2);
    second.ConnectAndStart();
    QVERIFY(second.lockedOut());
    QVERIFY2(second.lockedOutText().contains(QStringLiteral(" уже используется другим роботом Korvina (")), qPrintable(second.lockedOutText()));
}

void TestTrust::databaseThatCannotBeLockedIsTold()
{
    if (::geteuid() == 0)
        QSKIP("root opens any file for writing: the refusal cannot be staged here");
    SampleRobot s;
    delete s.robot;
    s.robot = nullptr;
    QVERIFY(QFile::setPermissions(s.paths.quikData, QFileDevice::ReadOwner | QFileDevice::ReadGroup));
    TDatMod data;
    Robot robot(s.settings, data);
    robot.ConnectAndStart();
    QVERIFY(robot.lockedOut());
    QVERIFY2(robot.lockedOutText().startsWith(QStringLiteral("Блокировка базы данных ") + s.paths.quikData + QStringLiteral(" не установлена: ")),
             qPrintable(robot.lockedOutText()));
    QVERIFY(!robot.lockedOutText().contains(QStringLiteral("другим роботом Korvina")));
}

void TestTrust::robotStopsWhenItsLockIsGone_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("database file replaced") << "replaced";
    QTest::newRow("lock file names another robot") << "other";
}

void TestTrust::robotStopsWhenItsLockIsGone()
{
    QFETCH(QString, how);
    SampleRobot s;
    QSignalSpy failures(s.robot, &Robot::failure);
    QSignalSpy beeps(s.robot, &Robot::beep);
    s.robot->actStartWatchExecute();
    if (how == QLatin1String("replaced")) {
        // Another file in its place (a copy put back, say): the connection
        // still writes the old one, and another robot may lock the new one.
        const QString copy = s.paths.quikData + QStringLiteral(".copy");
        QVERIFY(QFile::copy(s.paths.quikData, copy));
        QCOMPARE(::rename(QFile::encodeName(copy).constData(), QFile::encodeName(s.paths.quikData).constData()), 0);
    } else {
        const QString lockPath = s.paths.quikData + QStringLiteral(".lock");
        QFile::remove(lockPath);
        QFile other(lockPath);
        QVERIFY(other.open(QIODevice::WriteOnly));
        other.write("4242\nkorvina\nsomewhere-else\n");
    }
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    // It stops at once, loudly, and sends nothing.
    QVERIFY(s.robot->lockedOut());
    QVERIFY(!s.robot->Watching());
    QVERIFY(!s.robot->actStartWatchEnabled());
    QCOMPARE(failures.count(), 1);
    QCOMPARE(beeps.count(), 1);
    const QString text = failures.first().first().toString();
    QVERIFY2(text.startsWith(QStringLiteral("Робот прекратил торговлю: ")), qPrintable(text));
    QVERIFY(s.messages().contains(text));
    s.robot->timTable();
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))).size(), 0);
    QCOMPARE(failures.count(), 1);
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
    QCOMPARE(s.robot->TransId(), 0);
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
    QCOMPARE(s.robot->LastFilledId(), 2147483647);
    for (const qint64 id : {big, big * 2 + 7})
        s.exec(s.paths.alerts,
               QStringLiteral("INSERT INTO FilledOrders (ID, Symbol, OrderType, \"Order\", \"Fill Price\", System, Workspace) VALUES "
                              "(:id, 'SBER', 'LE', 'Buy 100 SBER 285 ', 285.15, 'Demo MA Cross(5,20)', 'C:\\Omega\\Demo.orw')"),
               {{QStringLiteral("id"), id}});
    s.robot->timTable();
    QCOMPARE(s.robot->LastFilledId(), big * 2 + 7);
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
    QTest::newRow("a folder holding the user's files") << "<data>" << "<data>" << true << QString();
    QTest::newRow("the home folder") << "<home>" << "<trans>" << false
                                     << "домашняя папка пользователя \"<home>\" ([Quik] dirTT) не может быть папкой файлов транзакций; укажите отдельную папку.";
    QTest::newRow("the root folder") << "/" << "<trans>" << false
                                     << "корневая папка \"/\" ([Quik] dirTT) не может быть папкой файлов транзакций; укажите отдельную папку.";
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
    // The folder of the databases, where the user keeps a file of his own.
    const QString data = QFileInfo(s.paths.quikData).path();
    {
        QFile f(data + QStringLiteral("/notes.txt"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("mine");
    }
    // The user's home folder is the working directory here.
    const QByteArray home = qgetenv("HOME");
    struct BackHome {
        QByteArray value;
        ~BackHome() { qputenv("HOME", value); }
    } backHome{home};
    qputenv("HOME", QFile::encodeName(cwd.path()));
    auto place = [&](const QString &setting) {
        if (setting == QLatin1String("<trans>"))
            return s.paths.trans;
        if (setting == QLatin1String("<own>"))
            return own;
        if (setting == QLatin1String("<data>"))
            return data;
        if (setting == QLatin1String("<home>"))
            return cwd.path();
        return setting;
    };
    failure.replace(QStringLiteral("<home>"), cwd.path());
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
    if (dirTT != QLatin1String("<home>"))
        QVERIFY2(QFileInfo::exists(PathInFolder(place(dirTT), QStringLiteral("trans.tri"))) == triMade, qPrintable(s.messages().join(QLatin1Char('\n'))));
    // The user's file beside the databases is there as he left it.
    QFile notes(data + QStringLiteral("/notes.txt"));
    QVERIFY(notes.open(QIODevice::ReadOnly));
    QCOMPARE(notes.readAll(), QByteArray("mine"));
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
