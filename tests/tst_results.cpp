// The result check: result lines of the terminals' files go into the
// journal, the log and the counters, each once, and no line can change a
// statement.

#include "config/korvinaerror.h"
#include "config/textcodec.h"
#include "samplerobot.h"

#include <QFile>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <memory>

class TestResults : public QObject {
    Q_OBJECT

private slots:
    void items_data();
    void items();
    void timeStamp();
    void resultsReachJournalLogAndCounters();
    void unchangedSizeIsNotRead();
    void partialLastLineWaits();
    void appendedBytesAreReadOnce_data();
    void appendedBytesAreReadOnce();
    void fileBegunAnewIsReadFromItsStart_data();
    void fileBegunAnewIsReadFromItsStart();
    void missingFileIsSkipped();
    void unsafeValuesAreBoundNotPasted();
    void linesWithoutTransIdOrNumbers();
    void numbersOutsideTheSeriesAreIgnored_data();
    void numbersOutsideTheSeriesAreIgnored();
    void failedUpdateIsRetriedAloneOnce_data();
    void failedUpdateIsRetriedAloneOnce();
    void orderNumberWrittenBack();
    void terminalsKeepTheirOwnPositions();
    void refusalsAndSilentTerminals_data();
    void refusalsAndSilentTerminals();
    void refusalSounds_data();
    void refusalSounds();

private:
    static void append(const QString &path, const QByteArray &bytes);
    static QString tro(SampleRobot &s, const QString &name) { return s.paths.trans + QLatin1Char('/') + name + QStringLiteral(".tro"); }
    // A transaction the robot sent: its journal row, and its number among
    // those the series sent.
    static void journal(SampleRobot &s, int transId, int idOrder = 0, bool filled = false);
    // The series sent the numbers 0 .. count - 1.
    static void sent(SampleRobot &s, int count);
};

void TestResults::append(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Append));
    f.write(bytes);
}

void TestResults::journal(SampleRobot &s, int transId, int idOrder, bool filled)
{
    sent(s, transId + 1);
    s.exec(s.paths.quikData, QStringLiteral("INSERT INTO tOrderNumber (trans_id, id_order, filled, code) VALUES (:t, :o, :f, 'C')"),
           {{QStringLiteral("t"), transId}, {QStringLiteral("o"), idOrder}, {QStringLiteral("f"), filled ? 1 : 0}});
}

void TestResults::sent(SampleRobot &s, int count)
{
    // The result check takes only the numbers its files' series sent: the
    // series sends that many, and their journal rows go (each test writes
    // the rows it reads).
    TOrder O;
    O.Action = QStringLiteral("NEW_ORDER");
    O.Operation = QStringLiteral("B");
    O.Quantity = 1;
    O.Price = 100;
    O.Account = QStringLiteral("L01-00000F00");
    O.ClientCode = QStringLiteral("111");
    O.SecData.SecCode = QStringLiteral("SBER");
    O.SecData.ClassCode = QStringLiteral("TQBR");
    O.SecData.MinMov = 0.01;
    O.SecData.Digits = 2;
    TPreOrder P;
    P.Kind = OrderKind::Operator;
    const qint32 first = s.robot->TransId();
    while (s.robot->TransId() < count)
        s.robot->gateway().SendTransaction(O, P, s.tri(QStringLiteral("trans")));
    QVERIFY(s.data.quikWrites.flush(true));
    s.exec(s.paths.quikData, QStringLiteral("DELETE FROM tOrderNumber WHERE trans_id >= :first"), {{QStringLiteral("first"), first}});
}

void TestResults::items_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("values"); // TRANS_ID, STATUS, TRANS_NAME, DESCRIPTION, ORDER_NUMBER
    QTest::newRow("all five") << "TRANS_ID=12;STATUS=3;TRANS_NAME=\"Ввод заявки\";DESCRIPTION=\"Заявка зарегистрирована\";ORDER_NUMBER=4711;"
                              << QStringList{"12", "3", "\"Ввод заявки\"", "\"Заявка зарегистрирована\"", "4711"};
    QTest::newRow("blanks trimmed") << "TRANS_ID = 7 ; STATUS = 0 ;" << QStringList{"7", "0", " \"\" ", " \"\" ", "0"};
    QTest::newRow("no closing semicolon") << "TRANS_ID=5;STATUS=3" << QStringList{"5", "-1", " \"\" ", " \"\" ", "0"};
    QTest::newRow("keys in lower case") << "trans_id=5;status=3;TRANS_ID=6;" << QStringList{"6", "-1", " \"\" ", " \"\" ", "0"};
    QTest::newRow("later key wins") << "TRANS_ID=1;TRANS_ID=2;STATUS=0;" << QStringList{"2", "0", " \"\" ", " \"\" ", "0"};
    QTest::newRow("empty line") << "" << QStringList{"", "-1", " \"\" ", " \"\" ", "0"};
}

void TestResults::items()
{
    QFETCH(QString, line);
    QFETCH(QStringList, values);
    const TResultValues v = ReadResultValues(line);
    QCOMPARE((QStringList{v.TransId, v.Status, v.TransName, v.Description, v.OrderNumber}), values);
}

void TestResults::timeStamp()
{
    QCOMPARE(GetTimeStamp(QDateTime(QDate(2009, 3, 5), QTime(14, 7, 9))), QStringLiteral("532009_1479"));
    QCOMPARE(GetTimeStamp(QDateTime(QDate(2009, 11, 1), QTime(0, 0, 0))), QStringLiteral("1112009_000"));
}

void TestResults::resultsReachJournalLogAndCounters()
{
    SampleRobot s;
    journal(s, 12);
    journal(s, 13);
    append(tro(s, QStringLiteral("trans")),
           cp1251::encode(QStringLiteral("TRANS_ID=12;STATUS=0;TRANS_NAME=\"Ввод заявки\";DESCRIPTION=\"Отправлена\";\r\n"
                                         "TRANS_ID=12;STATUS=3;TRANS_NAME=\"Ввод заявки\";DESCRIPTION=\"Исполнена\";ORDER_NUMBER=4711;\r\n"
                                         "TRANS_ID=13;STATUS=6;DESCRIPTION=\"Не хватает средств\";\r\n")));
    s.robot->actCheckTROExecute();
    QCOMPARE(s.robot->SentCount(), 1);
    QCOMPARE(s.robot->DoneCount(), 1);
    QVERIFY(s.messages().contains(QStringLiteral("Транзакция номер 12 отправлена на сервер Quik.")));
    QVERIFY(s.messages().contains(QStringLiteral("Транзакция номер 12 успешно выполнена.")));
    const auto rows = s.rows(s.paths.quikData, QStringLiteral("SELECT trans_id, status, trans_name, description, order_number FROM tOrderNumber ORDER BY trans_id"));
    QCOMPARE(rows[0][QStringLiteral("status")].toInt(), 3);
    QCOMPARE(rows[0][QStringLiteral("trans_name")].toString(), QStringLiteral("Ввод заявки"));
    QCOMPARE(rows[0][QStringLiteral("description")].toString(), QStringLiteral("Исполнена"));
    QCOMPARE(rows[0][QStringLiteral("order_number")].toLongLong(), 4711);
    QCOMPARE(rows[1][QStringLiteral("status")].toInt(), 6);
    QCOMPARE(rows[1][QStringLiteral("trans_name")].toString(), QString());
    QCOMPARE(rows[1][QStringLiteral("order_number")].toLongLong(), 0);
    QCOMPARE(s.robot->TROFiles()[0].LinesRead, 3);
    QCOMPARE(s.log.LoggedLines(), s.log.lines().size());
}

void TestResults::unchangedSizeIsNotRead()
{
    SampleRobot s;
    sent(s, 10);
    append(tro(s, QStringLiteral("trans")), "TRANS_ID=1;STATUS=0;\r\n");
    s.robot->actCheckTROExecute();
    QCOMPARE(s.robot->SentCount(), 1);
    // Same size, other content: not read again.
    QFile f(tro(s, QStringLiteral("trans")));
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("TRANS_ID=2;STATUS=3;\r\n");
    f.close();
    s.robot->actCheckTROExecute();
    QCOMPARE(s.robot->SentCount(), 1);
    QCOMPARE(s.robot->DoneCount(), 0);
}

void TestResults::partialLastLineWaits()
{
    SampleRobot s;
    sent(s, 10);
    append(tro(s, QStringLiteral("trans")), "TRANS_ID=1;STATUS=0;\r\nTRANS_ID=2;STAT");
    s.robot->actCheckTROExecute();
    QCOMPARE(s.robot->SentCount(), 1);
    QCOMPARE(s.robot->TROFiles()[0].LinesRead, 1);
    append(tro(s, QStringLiteral("trans")), "US=3;ORDER_NUMBER=9;\r\n");
    s.robot->actCheckTROExecute();
    QCOMPARE(s.robot->DoneCount(), 1);
    QCOMPARE(s.robot->TROFiles()[0].LinesRead, 2);
}

void TestResults::appendedBytesAreReadOnce_data()
{
    // Each check reads only what was appended after the last complete line
    // it read; the pieces below reach the file one check apart.
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<int>("sentCount");
    QTest::addColumn<int>("doneCount");
    QTest::addColumn<int>("linesRead");
    QTest::newRow("CR LF split between two checks")
        << QList<QByteArray>{"TRANS_ID=1;STATUS=0;\r", "\nTRANS_ID=2;STATUS=3;\r\n"} << 1 << 1 << 2;
    QTest::newRow("CR alone ends lines") << QList<QByteArray>{"TRANS_ID=1;STATUS=0;\r", "TRANS_ID=2;STATUS=3;\r"} << 1 << 1 << 2;
    QTest::newRow("LF alone ends lines") << QList<QByteArray>{"TRANS_ID=1;STATUS=0;\n", "TRANS_ID=2;STATUS=0;\n"} << 2 << 0 << 2;
    QTest::newRow("a line written in three pieces")
        << QList<QByteArray>{"TRANS_ID=1;STATUS=0;\r\nTRANS_ID=2;ST", "ATUS=3;ORDER", "_NUMBER=5;\r\n"} << 1 << 1 << 2;
    QTest::newRow("many checks, one line each")
        << QList<QByteArray>{"TRANS_ID=1;STATUS=0;\r\n", "TRANS_ID=2;STATUS=0;\r\n", "TRANS_ID=3;STATUS=0;\r\n", "TRANS_ID=4;STATUS=3;\r\n"}
        << 3 << 1 << 4;
}

void TestResults::appendedBytesAreReadOnce()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(int, sentCount);
    QFETCH(int, doneCount);
    QFETCH(int, linesRead);
    SampleRobot s;
    sent(s, 10);
    const QString path = tro(s, QStringLiteral("trans"));
    for (const QByteArray &piece : pieces) {
        append(path, piece);
        s.robot->actCheckTROExecute();
    }
    QCOMPARE(s.robot->SentCount(), sentCount);
    QCOMPARE(s.robot->DoneCount(), doneCount);
    QCOMPARE(s.robot->TROFiles()[0].LinesRead, linesRead);
    for (const QString &m : s.messages())
        QVERIFY2(!m.contains(QStringLiteral("пропущена")) && !m.contains(QStringLiteral("начат терминалом заново")), qPrintable(m));
    // A file rewritten longer with another beginning is read from its start.
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QByteArray bytes = f.readAll();
    f.close();
    bytes.replace("TRANS_ID=1;", "TRANS_ID=5;");
    bytes += "TRANS_ID=6;STATUS=0;\r\n";
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
    f.close();
    s.robot->actCheckTROExecute();
    QVERIFY(s.messages().contains(QStringLiteral("Файл результатов ") + path
                                  + QStringLiteral(" начат терминалом заново и читается с первой строки.")));
    QCOMPARE(s.robot->SentCount(), sentCount + sentCount + 1);
}

void TestResults::fileBegunAnewIsReadFromItsStart_data()
{
    // The terminal restarts its import: the result file is cut and written
    // anew, or replaced by a new file. (One rewritten in place to the very
    // same length is not read again: the size alone is watched.)
    QTest::addColumn<QString>("how");
    QTest::newRow("shorter") << "truncate";
    QTest::newRow("replaced by a new, longer file") << "replace";
}

void TestResults::fileBegunAnewIsReadFromItsStart()
{
    QFETCH(QString, how);
    SampleRobot s;
    sent(s, 10);
    const QString path = tro(s, QStringLiteral("trans"));
    append(path, "TRANS_ID=1;STATUS=0;\r\nTRANS_ID=2;STATUS=0;\r\n");
    s.robot->actCheckTROExecute();
    QCOMPARE(s.robot->SentCount(), 2);

    QByteArray fresh;
    if (how == QLatin1String("truncate"))
        fresh = "TRANS_ID=4;STATUS=0;\r\n";
    else
        fresh = "TRANS_ID=4;STATUS=0;\r\nTRANS_ID=5;STATUS=0;\r\nTRANS_ID=6;STATUS=0;\r\n";
    if (how == QLatin1String("replace")) {
        QVERIFY(QFile::remove(path));
        QFile other(path + QStringLiteral(".new"));
        QVERIFY(other.open(QIODevice::WriteOnly));
        other.write(fresh);
        other.close();
        QVERIFY(QFile::rename(path + QStringLiteral(".new"), path));
    } else {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(fresh);
    }
    s.robot->actCheckTROExecute();
    const int lines = fresh.count('\n');
    QCOMPARE(s.robot->SentCount(), 2 + lines); // every line of the new file, from its first
    QCOMPARE(s.robot->TROFiles()[0].LinesRead, lines);
    QVERIFY(s.messages().contains(QStringLiteral("Файл результатов ") + path
                                  + QStringLiteral(" начат терминалом заново и читается с первой строки.")));
    // And on from there as usual.
    append(path, "TRANS_ID=9;STATUS=0;\r\n");
    s.robot->actCheckTROExecute();
    QCOMPARE(s.robot->SentCount(), 3 + lines);
}

void TestResults::missingFileIsSkipped()
{
    SampleRobot s;
    QVERIFY(QFile::remove(tro(s, QStringLiteral("trans"))));
    const int lines = s.log.lines().size();
    s.robot->actCheckTROExecute();
    QCOMPARE(s.log.lines().size(), lines);
    QCOMPARE(s.robot->TROFiles()[0].FileSize, 0u);
}

void TestResults::unsafeValuesAreBoundNotPasted()
{
    SampleRobot s;
    journal(s, 1);
    journal(s, 2);
    // Quotes, commas and SQL in the texts are data, nothing more.
    append(tro(s, QStringLiteral("trans")),
           cp1251::encode(QStringLiteral("TRANS_ID=1;STATUS=4;TRANS_NAME=\"x\", status=9, description=\"y\";DESCRIPTION=\"Отказ: 'x' -- /* */ ) ,\";\r\n")));
    s.robot->actCheckTROExecute();
    const auto rows = s.rows(s.paths.quikData, QStringLiteral("SELECT trans_id, status, trans_name, description FROM tOrderNumber ORDER BY trans_id"));
    QCOMPARE(rows[0][QStringLiteral("status")].toInt(), 4);
    QCOMPARE(rows[0][QStringLiteral("trans_name")].toString(), QStringLiteral("\"x\", status")); // no surrounding pair to drop
    QCOMPARE(rows[0][QStringLiteral("description")].toString(), QStringLiteral("Отказ: 'x' -- /* */ ) ,"));
    QVERIFY(rows[1][QStringLiteral("status")].isNull());
}

void TestResults::linesWithoutTransIdOrNumbers()
{
    SampleRobot s;
    journal(s, 1);
    const QString path = tro(s, QStringLiteral("trans"));
    append(path, "\r\nSTATUS=3;\r\nTRANS_ID=1 OR 1=1;STATUS=3;\r\nTRANS_ID=1;STATUS=3;ORDER_NUMBER=12a;\r\n");
    s.robot->actCheckTROExecute();
    QCOMPARE(s.robot->DoneCount(), 0);
    const QString all = s.messages().join(QLatin1Char('\n'));
    QVERIFY2(all.contains(QStringLiteral("Строка 2 файла ") + path + QStringLiteral(" пропущена: нет TRANS_ID: STATUS=3;")), qPrintable(all));
    QVERIFY(all.contains(QStringLiteral("Строка 3 файла ") + path));
    QVERIFY(all.contains(QStringLiteral("Строка 4 файла ") + path));
    QVERIFY(!all.contains(QStringLiteral("Строка 1 ")));
    QVERIFY(s.rows(s.paths.quikData, QStringLiteral("SELECT status FROM tOrderNumber"))[0][QStringLiteral("status")].isNull());
}

void TestResults::numbersOutsideTheSeriesAreIgnored_data()
{
    // A result whose TRANS_ID no line of these files carries: 2^32 reads as
    // 0 when cut to 32 bits, and would refuse (or complete) transaction 0.
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("status");
    QTest::newRow("2^32, refused") << "4294967296" << "6";
    QTest::newRow("2^32, executed") << "4294967296" << "3";
    QTest::newRow("beyond 64 bits") << "99999999999999999999" << "6";
    QTest::newRow("negative") << "-1" << "6";
    QTest::newRow("not sent yet") << "1" << "6";
}

void TestResults::numbersOutsideTheSeriesAreIgnored()
{
    QFETCH(QString, number);
    QFETCH(QString, status);
    SampleRobot s;
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable(); // transaction 0, booked with 10 lots
    QCOMPARE(s.robot->TransId(), 1);
    const QString path = tro(s, QStringLiteral("trans"));
    const QString line = QStringLiteral("TRANS_ID=") + number + QStringLiteral(";STATUS=") + status
        + QStringLiteral(";DESCRIPTION=\"x\";ORDER_NUMBER=5;");
    append(path, cp1251::encode(line + QStringLiteral("\r\n")));
    s.robot->actCheckTROExecute();
    s.robot->timTable();
    QVERIFY2(s.messages().contains(QStringLiteral("Строка 1 файла ") + path + QStringLiteral(" пропущена: TRANS_ID ") + number
                                   + QStringLiteral(" не является номером транзакции текущих файлов: ") + line),
             qPrintable(s.messages().join(QLatin1Char('\n'))));
    QCOMPARE(s.robot->DoneCount(), 0);
    // Transaction 0 is as it was: unanswered, its entry booked in full.
    QVERIFY(s.rows(s.paths.quikData, QStringLiteral("SELECT status FROM tOrderNumber WHERE trans_id = 0"))[0][QStringLiteral("status")].isNull());
    QVERIFY(s.rows(s.paths.quikData, QStringLiteral("SELECT status FROM tOrderHistory WHERE trans_id = 0"))[0][QStringLiteral("status")].isNull());
    const auto book = s.rows(s.paths.quikData, QStringLiteral("SELECT quantity FROM tClientOpenPositions"));
    QCOMPARE(book.size(), 1);
    QCOMPARE(book[0][QStringLiteral("quantity")].toInt(), 10);
}

void TestResults::failedUpdateIsRetriedAloneOnce_data()
{
    // How the journal update fails: the table is away for a while, a
    // trigger refuses it, or another program holds QuikData locked.
    QTest::addColumn<QString>("fault");
    QTest::newRow("table away") << "rename";
    QTest::newRow("update refused") << "trigger";
    QTest::newRow("database locked") << "lock";
}

void TestResults::failedUpdateIsRetriedAloneOnce()
{
    QFETCH(QString, fault);
    SampleRobot s(1, 0); // two terminals: the second's file must not wait
    s.settings.chSendTrans_done = true;
    journal(s, 1);
    journal(s, 2);
    QSignalSpy mails(s.robot, &Robot::notification);
    std::unique_ptr<QSqlDatabase> locker;
    if (fault == QLatin1String("rename")) {
        s.exec(s.paths.quikData, QStringLiteral("ALTER TABLE tOrderNumber RENAME TO tOrderNumberAway"));
    } else if (fault == QLatin1String("trigger")) {
        s.exec(s.paths.quikData, QStringLiteral("CREATE TRIGGER refuse BEFORE UPDATE ON tOrderNumber WHEN OLD.trans_id = 1 "
                                                "BEGIN SELECT RAISE(ABORT, 'refused'); END"));
    } else {
        locker = std::make_unique<QSqlDatabase>(QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("locker")));
        locker->setDatabaseName(s.paths.quikData);
        QVERIFY(locker->open());
        QSqlQuery q(*locker);
        QVERIFY(q.exec(QStringLiteral("BEGIN IMMEDIATE")));
        s.data.conQuikData.setBusyTimeout(50);
    }
    append(tro(s, QStringLiteral("QUIK1")), "TRANS_ID=1;STATUS=3;ORDER_NUMBER=11;\r\n");
    append(tro(s, QStringLiteral("QUIK2")), "TRANS_ID=2;STATUS=3;ORDER_NUMBER=22;\r\n");
    for (int tick = 0; tick < 3; ++tick) {
        s.robot->actCheckTROExecute();
        QTest::qWait(1100); // past the queue's pause after a busy database
    }
    // Each line's effects happened once, whatever the journal did.
    QCOMPARE(s.robot->DoneCount(), 2);
    QCOMPARE(s.messages().count(QStringLiteral("Транзакция номер 1 успешно выполнена.")), 1);
    QCOMPARE(s.messages().count(QStringLiteral("Транзакция номер 2 успешно выполнена.")), 1);
    QCOMPARE(mails.count(), 2);
    QCOMPARE(s.robot->TROFiles()[0].LinesRead, 1);
    QCOMPARE(s.robot->TROFiles()[1].LinesRead, 1);

    // The fault goes: the waiting update is written, alone, once.
    if (fault == QLatin1String("rename"))
        s.exec(s.paths.quikData, QStringLiteral("ALTER TABLE tOrderNumberAway RENAME TO tOrderNumber"));
    else if (fault == QLatin1String("trigger"))
        s.exec(s.paths.quikData, QStringLiteral("DROP TRIGGER refuse"));
    else {
        QSqlQuery(*locker).exec(QStringLiteral("ROLLBACK"));
        locker->close();
        locker.reset();
        QSqlDatabase::removeDatabase(QStringLiteral("locker"));
    }
    QTest::qWait(1100);
    s.robot->actCheckTROExecute();
    const auto rows = s.rows(s.paths.quikData, QStringLiteral("SELECT trans_id, status, order_number FROM tOrderNumber ORDER BY trans_id"));
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0][QStringLiteral("status")].toInt(), 3);
    QCOMPARE(rows[0][QStringLiteral("order_number")].toLongLong(), 11);
    QCOMPARE(rows[1][QStringLiteral("status")].toInt(), 3);
    QCOMPARE(rows[1][QStringLiteral("order_number")].toLongLong(), 22);
    QVERIFY(s.data.quikWrites.isEmpty());
    QCOMPARE(s.robot->DoneCount(), 2);
    QCOMPARE(mails.count(), 2);
}

void TestResults::orderNumberWrittenBack()
{
    SampleRobot s;
    s.addFilled(7, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 10 SBER 285 "), 285);
    s.exec(s.paths.alerts, QStringLiteral("INSERT INTO ActiveOrders (ID, Symbol) VALUES (8, 'GAZP')"));
    journal(s, 1, 7, true);
    journal(s, 2, 8, false);
    append(tro(s, QStringLiteral("trans")), "TRANS_ID=1;STATUS=3;ORDER_NUMBER=4711;\r\nTRANS_ID=2;STATUS=3;ORDER_NUMBER=4712;\r\n");
    s.robot->actCheckTROExecute();
    // Off: the platform's database is not written.
    QVERIFY(s.rows(s.paths.alerts, QStringLiteral("SELECT \"Order Number\" AS n FROM FilledOrders"))[0][QStringLiteral("n")].isNull());

    s.settings.chKillOrder = true;
    append(tro(s, QStringLiteral("trans")), "TRANS_ID=1;STATUS=3;ORDER_NUMBER=4711;\r\nTRANS_ID=2;STATUS=3;ORDER_NUMBER=4712;\r\n");
    s.robot->actCheckTROExecute();
    QCOMPARE(s.rows(s.paths.alerts, QStringLiteral("SELECT \"Order Number\" AS n FROM FilledOrders"))[0][QStringLiteral("n")].toString(),
             QStringLiteral("4711"));
    QCOMPARE(s.rows(s.paths.alerts, QStringLiteral("SELECT \"Order Number\" AS n FROM ActiveOrders"))[0][QStringLiteral("n")].toString(),
             QStringLiteral("4712"));
}

void TestResults::terminalsKeepTheirOwnPositions()
{
    SampleRobot s(1, 0);
    sent(s, 10);
    append(tro(s, QStringLiteral("QUIK1")), "TRANS_ID=1;STATUS=0;\r\nTRANS_ID=2;STATUS=0;\r\n");
    append(tro(s, QStringLiteral("QUIK2")), "TRANS_ID=3;STATUS=3;\r\n");
    s.robot->actCheckTROExecute();
    QCOMPARE(s.robot->TROFiles()[0].LinesRead, 2);
    QCOMPARE(s.robot->TROFiles()[1].LinesRead, 1);
    append(tro(s, QStringLiteral("QUIK2")), "TRANS_ID=4;STATUS=3;\r\n");
    s.robot->actCheckTROExecute();
    QCOMPARE(s.robot->TROFiles()[0].LinesRead, 2);
    QCOMPARE(s.robot->TROFiles()[1].LinesRead, 2);
    QCOMPARE(s.robot->SentCount(), 2);
    QCOMPARE(s.robot->DoneCount(), 2);
}

void TestResults::refusalsAndSilentTerminals_data()
{
    QTest::addColumn<int>("mode");            // 0 SINGLE ("trans"), 1 MULTI ("QUIK1", "QUIK2")
    QTest::addColumn<QStringList>("written"); // file set of each line written, numbered from 0
    QTest::addColumn<QStringList>("results"); // "file set|result line"
    QTest::addColumn<int>("later");           // seconds after the writing that the check looks
    QTest::addColumn<int>("refused");
    QTest::addColumn<QStringList>("silent");

    const QStringList two{"trans", "trans"};
    QTest::newRow("every line answered") << 0 << two << QStringList{"trans|TRANS_ID=0;STATUS=0;", "trans|TRANS_ID=1;STATUS=3;"} << 61
                                         << 0 << QStringList{};
    QTest::newRow("one line unanswered for over a minute") << 0 << two << QStringList{"trans|TRANS_ID=0;STATUS=3;"} << 61 << 0
                                                           << QStringList{"trans"};
    QTest::newRow("unanswered for less than a minute") << 0 << two << QStringList{"trans|TRANS_ID=0;STATUS=3;"} << 50 << 0
                                                       << QStringList{};
    QTest::newRow("nothing written, nothing awaited") << 0 << QStringList{} << QStringList{} << 3600 << 0 << QStringList{};
    QTest::newRow("refusals are counted, and are answers")
        << 0 << QStringList{"trans", "trans", "trans", "trans"}
        << QStringList{"trans|TRANS_ID=0;STATUS=6;DESCRIPTION=\"Не хватает средств\";", "trans|TRANS_ID=1;STATUS=1;",
                       "trans|TRANS_ID=2;STATUS=4;DESCRIPTION=\"Снята\";", "trans|TRANS_ID=3;"}
        << 61 << 2 << QStringList{};
    QTest::newRow("a refused line once passed on counts once")
        << 0 << two << QStringList{"trans|TRANS_ID=0;STATUS=0;", "trans|TRANS_ID=0;STATUS=5;", "trans|TRANS_ID=1;STATUS=0;"} << 61 << 1
        << QStringList{};
    QTest::newRow("MULTI: only the terminal that does not answer")
        << 1 << QStringList{"QUIK1", "QUIK1", "QUIK2"} << QStringList{"QUIK1|TRANS_ID=0;STATUS=3;", "QUIK1|TRANS_ID=1;STATUS=3;"} << 61
        << 0 << QStringList{"QUIK2"};
    QTest::newRow("MULTI: an answer in the other terminal's file does not count")
        << 1 << QStringList{"QUIK1", "QUIK2"} << QStringList{"QUIK1|TRANS_ID=0;STATUS=3;", "QUIK1|TRANS_ID=1;STATUS=3;"} << 61 << 0
        << QStringList{"QUIK2"};
    QTest::newRow("MULTI: both silent, in the terminals' order")
        << 1 << QStringList{"QUIK2", "QUIK1"} << QStringList{} << 61 << 0 << QStringList{"QUIK1", "QUIK2"};
}

void TestResults::refusalsAndSilentTerminals()
{
    QFETCH(int, mode);
    QFETCH(QStringList, written);
    QFETCH(QStringList, results);
    QFETCH(int, later);
    QFETCH(int, refused);
    QFETCH(QStringList, silent);
    SampleRobot s(mode, 0);
    Gateway &g = s.robot->gateway();
    QSignalSpy changed(&g, &Gateway::silenceChanged);
    // Each line into its file set's ".tri", as the dispatcher queues them.
    TOrder O;
    O.Action = QStringLiteral("NEW_ORDER");
    O.Operation = QStringLiteral("B");
    O.Quantity = 1;
    O.Price = 100;
    O.Account = QStringLiteral("L01-00000F00");
    O.ClientCode = QStringLiteral("111");
    O.SecData.SecCode = QStringLiteral("SBER");
    O.SecData.ClassCode = QStringLiteral("TQBR");
    O.SecData.MinMov = 0.01;
    O.SecData.Digits = 2;
    TPreOrder P;
    P.Kind = OrderKind::Operator;
    for (const QString &set : written)
        QVERIFY(g.SendTransaction(O, P, s.tri(set)) >= 0);
    QVERIFY(s.data.quikWrites.flush(true));
    s.robot->WritePendingTransactions();
    QCOMPARE(g.PendingTransactions().size(), 0);
    const QDateTime writtenAt = QDateTime::currentDateTime();
    QCOMPARE(g.UnansweredCount(), written.size());
    for (const QString &r : results)
        append(tro(s, r.section(QLatin1Char('|'), 0, 0)), cp1251::encode(r.section(QLatin1Char('|'), 1) + QStringLiteral("\r\n")));
    s.robot->actCheckTROExecute();
    QCOMPARE(s.robot->RefusedCount(), refused);
    // Just written: nobody is silent yet.
    QVERIFY(g.SilentFileSets().isEmpty());
    QCOMPARE(changed.count(), 0);

    g.checkAnswers(writtenAt.addSecs(later));
    QCOMPARE(g.SilentFileSets(), silent);
    QCOMPARE(s.robot->SilentFileSets(), silent);
    QCOMPARE(changed.count(), silent.isEmpty() ? 0 : 1);
    for (const QString &set : silent)
        QVERIFY2(s.messages().contains(QStringLiteral("Терминал ") + set + QStringLiteral(" не отвечает: транзакции в файле ") + s.tri(set)
                                       + QStringLiteral(" ждут ответа дольше 60 с (")
                                       + QString::number(written.count(set) - results.filter(set + QLatin1Char('|')).size())
                                       + QStringLiteral("). Проверьте, запущен ли импорт транзакций в квике.")),
                 qPrintable(s.messages().join('\n')));
    // Looking again changes nothing, and tells nothing again.
    g.checkAnswers(writtenAt.addSecs(later + 5));
    QCOMPARE(changed.count(), silent.isEmpty() ? 0 : 1);

    // The answers come after all: each terminal answers again.
    if (silent.isEmpty())
        return;
    for (int id = 0; id < written.size(); ++id)
        append(tro(s, written[id]), QStringLiteral("TRANS_ID=%1;STATUS=3;\r\n").arg(id).toLatin1());
    s.robot->actCheckTROExecute();
    g.checkAnswers(writtenAt.addSecs(later + 60));
    QVERIFY(g.SilentFileSets().isEmpty());
    QCOMPARE(g.UnansweredCount(), 0);
    QCOMPARE(changed.count(), 2);
    for (const QString &set : silent)
        QVERIFY(s.messages().contains(QStringLiteral("Терминал ") + set + QStringLiteral(" снова отвечает на транзакции.")));
}

void TestResults::refusalSounds_data()
{
    QTest::addColumn<bool>("soundOn");
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<int>("beeps");
    QTest::newRow("two refusals in one check: one sound") << true << QByteArray("TRANS_ID=0;STATUS=6;\r\nTRANS_ID=1;STATUS=2;\r\n") << 1;
    QTest::newRow("sound switched off") << false << QByteArray("TRANS_ID=0;STATUS=6;\r\n") << 0;
    QTest::newRow("passed on and executed: silence") << true << QByteArray("TRANS_ID=0;STATUS=0;\r\nTRANS_ID=0;STATUS=3;\r\n") << 0;
}

void TestResults::refusalSounds()
{
    QFETCH(bool, soundOn);
    QFETCH(QByteArray, lines);
    QFETCH(int, beeps);
    SampleRobot s;
    // On unless the settings say otherwise.
    QVERIFY(s.settings.chSoundOnRefusal);
    s.settings.chSoundOnRefusal = soundOn;
    sent(s, 2);
    QSignalSpy beep(s.robot, &Robot::beep);
    append(tro(s, QStringLiteral("trans")), lines);
    s.robot->actCheckTROExecute();
    QCOMPARE(beep.count(), beeps);
    // Read once: no sound again for the same lines.
    s.robot->actCheckTROExecute();
    QCOMPARE(beep.count(), beeps);
}

QTEST_GUILESS_MAIN(TestResults)
#include "tst_results.moc"
