// Strategy orders end to end: a filled order becomes, within one tick, the
// right transaction line for every client that follows the strategy, in the
// right terminal's file, journaled, logged and booked.

#include "config/textcodec.h"
#include "samplerobot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

class TestDispatch : public QObject {
    Q_OBJECT

private slots:
    void singleQuikStrategyOrder();
    void exitClosesTheBookedQuantity();
    void singleSmartTradeOrderFile();
    void multiSelectsClientsPerTerminal_data();
    void multiSelectsClientsPerTerminal();
    void clientChangesReachTheNextOrder_data();
    void clientChangesReachTheNextOrder();
    void multiSmartTradeFilesPerClient();
    void operatorOrderForGroup();
    void setPositionPricesEachClientsSide_data();
    void setPositionPricesEachClientsSide();
    void killOrdersActions_data();
    void killOrdersActions();
    void filteredAndUnknownOrders();
    void missingImportFileNeverMisroutes();
    void transactionsLeftAtStopAreNamed();
    void numbersNeverRepeatWhenTheJournalFails();
    void failingRowDoesNotStopTheBatch();
    void zeroQuantityIsRefused();
    void sizesAndPricesBeyondReasonAreRefused_data();
    void sizesAndPricesBeyondReasonAreRefused();
    void preparationRecreatesFileSets();
    void dispatchReleasesDatabaseAndRereadsDirectory();
};

namespace {
const QString sberLine = QStringLiteral(
    "TRANS_ID =0;ACTION=NEW_ORDER;ACCOUNT=L01-00000F00;SECCODE=SBER;CLASSCODE=TQBR;CLIENT_CODE=111;OPERATION=B;"
    "PRICE=285,43;STOPPRICE=285,43;Order_key=;Stop_Order_key=;QUANTITY=10;");
}

void TestDispatch::singleQuikStrategyOrder()
{
    SampleRobot s;
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285,15 "), 285.15);
    QSignalSpy beep(s.robot, &Robot::beep);
    s.robot->timTable();

    // Filled at 285.15, slippage 0.1 %: 285.43515 cut to the step 0.01.
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))), QStringList{sberLine});
    QVERIFY(s.messages().contains(QStringLiteral("Обрабатываю ордер # 1 ...")));
    QVERIFY(s.messages().contains(QStringLiteral("Транзакция # 0 [LE 10 SBER at 285,43]  по счету 111 отправлена в торговый терминал.")));
    QCOMPARE(beep.count(), 1);
    QCOMPARE(s.robot->TransId(), 1);
    QVERIFY(s.robot->PendingTransactions().isEmpty());

    const auto journal = s.rows(s.paths.quikData, QStringLiteral("SELECT trans_id, id_order, filled, code FROM tOrderNumber"));
    QCOMPARE(journal.size(), 1);
    QCOMPARE(journal[0][QStringLiteral("trans_id")].toInt(), 0);
    QCOMPARE(journal[0][QStringLiteral("id_order")].toInt(), 1);
    QCOMPARE(journal[0][QStringLiteral("filled")].toInt(), 1);
    QCOMPARE(journal[0][QStringLiteral("code")].toString(), QStringLiteral("111"));

    const auto book = s.rows(s.paths.quikData, QStringLiteral("SELECT symbol, quantity, code, position, workspace FROM tClientOpenPositions"));
    QCOMPARE(book.size(), 1);
    QCOMPARE(book[0][QStringLiteral("symbol")].toString(), QStringLiteral("SBER"));
    QCOMPARE(book[0][QStringLiteral("quantity")].toInt(), 10);
    QCOMPARE(book[0][QStringLiteral("position")].toString(), QStringLiteral("Long"));

    // The next tick takes nothing again.
    s.robot->timTable();
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))).size(), 1);
}

void TestDispatch::exitClosesTheBookedQuantity()
{
    SampleRobot s;
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 70 SBER 285,15 "), 285.15);
    s.robot->timTable();
    // The strategy's exit says 120; the book holds 7 lots for this client.
    s.addFilled(2, QStringLiteral("SBER"), QStringLiteral("LX"), QStringLiteral("Sell 120 SBER 290 "), 290);
    s.robot->timTable();
    const QStringList lines = s.fileLines(s.tri(QStringLiteral("trans")));
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[1].startsWith(QStringLiteral("TRANS_ID =1;ACTION=NEW_ORDER;")), qPrintable(lines[1]));
    QVERIFY2(lines[1].contains(QStringLiteral(";OPERATION=S;PRICE=289,71;STOPPRICE=289,71;")), qPrintable(lines[1]));
    QVERIFY2(lines[1].endsWith(QStringLiteral(";QUANTITY=7;")), qPrintable(lines[1]));
    QCOMPARE(s.rows(s.paths.quikData, QStringLiteral("SELECT * FROM tClientOpenPositions")).size(), 0);
}

void TestDispatch::singleSmartTradeOrderFile()
{
    SampleRobot s(0, 1);
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285,15 "), 285.15);
    s.addFilled(2, QStringLiteral("RI"), QStringLiteral("SE"), QStringLiteral("Sell 2 RI 110250 "), 110250);
    s.robot->timTable();
    QDir folder(s.paths.smartTrade);
    const QStringList files = folder.entryList({QStringLiteral("*.new")}, QDir::Files, QDir::Name);
    QCOMPARE(files.size(), 2);
    QStringList texts;
    for (const QString &f : files) {
        QVERIFY2(QRegularExpression(QStringLiteral("^trans_\\d+_\\d+_[12]\\.new$")).match(f).hasMatch(), qPrintable(f));
        texts << s.fileLines(folder.filePath(f));
    }
    texts.sort();
    QCOMPARE(texts, (QStringList{
                        QStringLiteral("place_order?portfolio=111&security=SBER&action=BUY&type=LIMIT&validity=DAY&price=285,43&stop_price=285,43&amount=10"),
                        QStringLiteral("place_order?portfolio=SPBFUT&security=RIZ6&action=SELL&type=LIMIT&validity=DAY&price=110190&stop_price=110190&amount=2"),
                    }));
    // The futures order's journal row and log line show the account.
    QVERIFY(s.messages().contains(QStringLiteral("Транзакция # 1 [SE 2 RI at 110190]  по счету SPBFUT отправлена в торговый терминал.")));
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))), QStringList());
}

void TestDispatch::multiSelectsClientsPerTerminal_data()
{
    QTest::addColumn<QString>("symbol");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("fill");
    QTest::addColumn<QStringList>("quik1");
    QTest::addColumn<QStringList>("quik2");
    QTest::newRow("stock long entry") << "SBER" << "LE" << "Buy 100 SBER 285 " << 285.15
                                      << QStringList{"0:10001:L01-00000F01", "1:10002:L01-00000F02"}
                                      << QStringList{"2:20001:L01-00000F04"};
    QTest::newRow("futures short entry") << "RI" << "SE" << "Sell 1 RI 110250 " << 110250.0
                                         << QStringList{"0:10001:SPBFUT00001"}
                                         << QStringList{"1:20001:SPBFUT00004", "2:20002:SPBFUT00005"};
}

void TestDispatch::multiSelectsClientsPerTerminal()
{
    QFETCH(QString, symbol);
    QFETCH(QString, type);
    QFETCH(QString, text);
    QFETCH(double, fill);
    QFETCH(QStringList, quik1);
    QFETCH(QStringList, quik2);
    SampleRobot s(1, 0);
    QCOMPARE(s.robot->TROFiles().size(), 2);
    s.robot->actStartWatchExecute();
    s.addFilled(1, symbol, type, text, fill);
    s.robot->timTable();
    auto summary = [&](const QString &name) {
        QStringList out;
        for (const QString &l : s.fileLines(s.tri(name))) {
            const auto item = [&](const QString &key) {
                const int at = l.indexOf(key);
                return l.mid(at + key.size(), l.indexOf(QLatin1Char(';'), at) - at - key.size());
            };
            out << item(QStringLiteral("TRANS_ID =")) + QLatin1Char(':') + item(QStringLiteral("CLIENT_CODE=")) + QLatin1Char(':')
                    + item(QStringLiteral("ACCOUNT="));
        }
        return out;
    };
    QCOMPARE(summary(QStringLiteral("QUIK1")), quik1);
    QCOMPARE(summary(QStringLiteral("QUIK2")), quik2);
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))), QStringList{QStringLiteral("<missing>")});
    QCOMPARE(s.data.qActiveClients.SQL().value(2),
             QStringLiteral("WHERE [tClients].[Active] = True  AND [tClients].[") + (symbol == QLatin1String("RI") ? "FortsEnb" : "MicexEnb")
                 + QStringLiteral("]=True AND [tClients].[") + (type == QLatin1String("LE") ? "LongEnb" : "ShortEnb")
                 + QStringLiteral("]=True  AND [tClients].[id_quik] = 2"));
}

void TestDispatch::clientChangesReachTheNextOrder_data()
{
    QTest::addColumn<bool>("byRobot");
    QTest::addColumn<QString>("change");
    QTest::addColumn<QStringList>("secondOrder");
    QTest::newRow("client switched off by another program") << false << "UPDATE tClients SET Active = 0 WHERE Code = '10002'"
                                                          << QStringList{"10001"};
    QTest::newRow("client switched off by the robot") << true << "UPDATE tClients SET Active = 0 WHERE Code = '10002'"
                                                    << QStringList{"10001"};
    QTest::newRow("client moved to another terminal") << false << "UPDATE tClients SET id_quik = 2 WHERE Code = '10002'"
                                                    << QStringList{"10001"};
    QTest::newRow("terminal switched off") << true << "UPDATE tQuik SET Active = 0 WHERE id_quik = 1" << QStringList{};
    QTest::newRow("nothing changed") << false << "SELECT 1" << QStringList{"10001", "10002"};
}

void TestDispatch::clientChangesReachTheNextOrder()
{
    // The clients of one order serve the next only while nobody changed
    // them: each order goes to the clients active at its moment.
    QFETCH(bool, byRobot);
    QFETCH(QString, change);
    QFETCH(QStringList, secondOrder);
    SampleRobot s(1, 0);
    s.robot->actStartWatchExecute();
    auto clientsOf = [&](int firstLine) {
        QStringList out;
        const QStringList lines = s.fileLines(s.tri(QStringLiteral("QUIK1")));
        for (int i = firstLine; i < lines.size(); ++i) {
            const QString &l = lines[i];
            const int at = l.indexOf(QLatin1String("CLIENT_CODE="));
            if (at >= 0)
                out << l.mid(at + 12, l.indexOf(QLatin1Char(';'), at) - at - 12);
        }
        return out;
    };
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    QCOMPARE(clientsOf(0), (QStringList{"10001", "10002"}));
    if (byRobot)
        s.data.conQuikData.execute(change);
    else
        s.exec(s.paths.quikData, change);
    s.addFilled(2, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 286 "), 286.15);
    s.robot->timTable();
    QCOMPARE(clientsOf(2), secondOrder);
}

void TestDispatch::multiSmartTradeFilesPerClient()
{
    SampleRobot s(1, 1);
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    // Both terminals keep their order files in their own folder (the sample
    // gives both the same one): one file per client, numbered in turn.
    QDir folder(s.paths.quik);
    QStringList files = folder.entryList({QStringLiteral("*.new")}, QDir::Files);
    QCOMPARE(files.size(), 3);
    QStringList numbers;
    for (const QString &f : files)
        numbers << f.section(QLatin1Char('_'), 3, 3).section(QLatin1Char('.'), 0, 0);
    numbers.sort();
    QCOMPARE(numbers, (QStringList{"1", "2", "3"}));
}

void TestDispatch::operatorOrderForGroup()
{
    SampleRobot s(1, 0);
    TPreOrder P;
    ClearPreOrder(P, OrderKind::Operator);
    P.Kind = OrderKind::Operator;
    P.GroupId = 1; // "Основная": 10001, 10002, 20001
    P.SecData.SecCode = QStringLiteral("GAZP");
    P.Operation = QStringLiteral("B");
    P.Price = 160.25;
    P.QtyMode = QuantityMode::Accounts;
    P.Share = 10;
    s.robot->dispatcher().DispatchOrder(P, MakeNewOrder);
    const QStringList q1 = s.fileLines(s.tri(QStringLiteral("QUIK1")));
    const QStringList q2 = s.fileLines(s.tri(QStringLiteral("QUIK2")));
    QCOMPARE(q1.size(), 2);
    QCOMPARE(q2.size(), 1);
    QVERIFY2(q1[0].contains(QStringLiteral("SECCODE=GAZP;CLASSCODE=TQBR;CLIENT_CODE=10001;OPERATION=B;PRICE=160,25;STOPPRICE=0,00;")), qPrintable(q1[0]));
    QVERIFY(s.messages().join(QLatin1Char('\n')).contains(QStringLiteral("[B ")));
    // The same client code on another terminal, in the group too: each
    // member's line carries its own account, not the first same-code row's.
    s.exec(s.paths.quikData, QStringLiteral("INSERT INTO tClients (Code, client, AccountMicex, AccountFORTS, Active, LongEnb, ShortEnb, "
                                            "MicexEnb, FortsEnb, Leverage, Ebs, id_quik) VALUES ('10001', 'Тезка', 'L01-TWIN', 'SPBFUTTWIN', "
                                            "1, 1, 1, 1, 1, 0, 0, 2)"));
    s.exec(s.paths.quikData, QStringLiteral("INSERT INTO tGroupClients (id_group, id_client) SELECT 1, MAX(id) FROM tClients"));
    s.robot->dispatcher().DispatchOrder(P, MakeNewOrder);
    const QStringList twin1 = s.fileLines(s.tri(QStringLiteral("QUIK1"))).mid(2);
    const QStringList twin2 = s.fileLines(s.tri(QStringLiteral("QUIK2"))).mid(1);
    QCOMPARE(twin1.size(), 2);
    QCOMPARE(twin2.size(), 2);
    QVERIFY2(twin1[0].contains(QStringLiteral("CLIENT_CODE=10001;")) && !twin1[0].contains(QStringLiteral("TWIN")), qPrintable(twin1[0]));
    QVERIFY2(twin2.filter(QStringLiteral("ACCOUNT=L01-TWIN;")).size() == 1, qPrintable(twin2.join('\n')));

    // No group chosen: nobody is served, the beep still sounds.
    QSignalSpy beep(s.robot, &Robot::beep);
    P.GroupId = -1;
    s.robot->dispatcher().DispatchOrder(P, MakeNewOrder);
    QCOMPARE(beep.count(), 1);
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("QUIK1"))).size(), 4);
}

void TestDispatch::setPositionPricesEachClientsSide_data()
{
    QTest::addColumn<QString>("operation"); // the dialog's side
    QTest::addColumn<double>("price");      // the dialog's price
    QTest::addColumn<QStringList>("orders"); // client, side, price, lots
    // Target 10 % at bid 290, offer 299, slippage 1 %: 10001 (1 000 000,
    // 100 SBER) and 10002 (680 440 with its leverage, no SBER) hold less and
    // buy; 20001 (1 500 000 with its leverage, 1000 SBER) holds more and sells.
    // The lots are sized at the dialog's price.
    QTest::newRow("dialog buys") << "B" << 300.0
                                 << QStringList{"10001 B 300,00 23", "10002 B 300,00 22", "20001 S 287,10 50"};
    QTest::newRow("dialog sells") << "S" << 289.0
                                  << QStringList{"10001 B 301,99 24", "10002 B 301,99 23", "20001 S 289,00 48"};
}

void TestDispatch::setPositionPricesEachClientsSide()
{
    QFETCH(QString, operation);
    QFETCH(double, price);
    QFETCH(QStringList, orders);
    SampleRobot s(1, 0);
    s.exec(s.paths.quikData, QStringLiteral("UPDATE tPortfolio1 SET curallassets = 1000000 WHERE code = '10001'"));
    s.exec(s.paths.quikData, QStringLiteral("UPDATE tPortfolio2 SET curallassets = 1000000 WHERE code = '20001'"));
    s.exec(s.paths.quikData, QStringLiteral("UPDATE tLimitStock2 SET currentbal = 1000 WHERE code = '20001' AND seccode = 'SBER'"));
    TPreOrder P;
    ClearPreOrder(P, OrderKind::Operator);
    P.GroupId = 1; // "Основная": 10001, 10002, 20001
    P.SecData.SecCode = QStringLiteral("SBER");
    P.OrderType = QStringLiteral("LE");
    P.QtyMode = QuantityMode::SetPosition;
    P.Share = 10;
    P.Operation = operation;
    P.Price = price;
    P.Bid = 290;
    P.Offer = 299;
    P.SlipRate = 0.01;
    s.robot->dispatcher().DispatchOrder(P, MakeNewOrder);
    const QRegularExpression fields(QStringLiteral("CLIENT_CODE=(\\w+);OPERATION=([BS]);PRICE=([0-9,]+);.*;QUANTITY=(-?\\d+);$"));
    QStringList sent;
    for (const QString &line : s.fileLines(s.tri(QStringLiteral("QUIK1"))) + s.fileLines(s.tri(QStringLiteral("QUIK2")))) {
        const QRegularExpressionMatch m = fields.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        sent << QStringList{m.captured(1), m.captured(2), m.captured(3), m.captured(4)}.join(QLatin1Char(' '));
    }
    sent.sort();
    QCOMPARE(sent, orders);
}

void TestDispatch::killOrdersActions_data()
{
    QTest::addColumn<QString>("secCode");
    QTest::addColumn<bool>("stop");
    QTest::addColumn<QString>("line");
    QTest::newRow("stock") << "SBER" << false
                           << "TRANS_ID =0;ACTION=KILL_ALL_ORDERS;ACCOUNT=L01-00000F00;SECCODE=SBER;CLASSCODE=TQBR;CLIENT_CODE=111;"
                              "PRICE=0,00;STOPPRICE=0,00;Order_key=;Stop_Order_key=;QUANTITY=0;";
    QTest::newRow("futures") << "RIZ6" << false
                             << "TRANS_ID =0;ACTION=KILL_ALL_FUTURES_ORDERS;ACCOUNT=SPBFUT;SECCODE=RIZ6;CLASSCODE=SPBFUT;CLIENT_CODE=111;"
                                "PRICE=0;STOPPRICE=0;Order_key=;Stop_Order_key=;QUANTITY=0;BASE_CONTRACT=RTS;";
    QTest::newRow("futures stop orders") << "RIZ6" << true
                                         << "TRANS_ID =0;ACTION=KILL_ALL_STOP_ORDERS;ACCOUNT=SPBFUT;SECCODE=RIZ6;CLASSCODE=SPBFUT;CLIENT_CODE=111;"
                                            "PRICE=0;STOPPRICE=0;Order_key=;Stop_Order_key=;QUANTITY=0;BASE_CONTRACT=RTS;";
}

void TestDispatch::killOrdersActions()
{
    QFETCH(QString, secCode);
    QFETCH(bool, stop);
    QFETCH(QString, line);
    SampleRobot s;
    TPreOrder P;
    ClearPreOrder(P, OrderKind::Operator);
    P.Kind = OrderKind::Operator;
    P.KillOrders = true;
    P.StopOrder = stop;
    P.SecData.SecCode = secCode;
    s.robot->dispatcher().DispatchOrder(P, MakeKillOrders);
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))), QStringList{line});
    QVERIFY(s.messages().contains(QStringLiteral("Транзакция # 0 [снять ВСЕ заявки по ") + secCode
                                  + QStringLiteral("] по счету 111 отправлена в торговый терминал.")));
}

void TestDispatch::filteredAndUnknownOrders()
{
    SampleRobot s(1, 0);
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("VTBR"), QStringLiteral("LE"), QStringLiteral("Buy 1 VTBR 91 "), 91, QStringLiteral("Other(1)"),
                QStringLiteral("C:\\x\\Other.orw"));
    s.robot->timTable();
    QVERIFY(s.messages().contains(QStringLiteral("Ордер # 1 не прошел фильтры. / Инструмент VTBR  не торгуется. Фильтр рабочей области не пройден. "
                                                 "Фильтр стратегии не пройден. /")));
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("QUIK1"))), QStringList());

    // An unknown ticker sent past the filters: one error line per client, nothing sent.
    TPreOrder P;
    ClearPreOrder(P, OrderKind::Strategy);
    P.Symbol = QStringLiteral("NOPE");
    P.OrderType = QStringLiteral("LE");
    P.OrderText = QStringLiteral("Buy 1 NOPE 10 ");
    s.robot->dispatcher().DispatchOrder(P, MakeNewOrder);
    QCOMPARE(s.messages().count(QStringLiteral("Ошибка! Не найден код акции \"NOPE\" в таблице \"Инструменты\"!")), 3);
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("QUIK1"))), QStringList());
}

void TestDispatch::transactionsLeftAtStopAreNamed()
{
    SampleRobot s(1, 0);
    s.robot->actStartWatchExecute();
    // The transaction folder goes away: the lines stay in memory.
    const QString folder = s.settings.edtdirTT;
    QVERIFY(QDir(folder).removeRecursively());
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    const QList<TPendingTransaction> pending = s.robot->PendingTransactions();
    QCOMPARE(pending.size(), 3);

    // A clean stop: each is told with its number and its text, in the log
    // file too, and nothing is written anywhere else.
    s.robot->Shutdown(0);
    QStringList expected;
    for (const TPendingTransaction &t : pending)
        expected << QStringLiteral("При завершении работы не записана в файл транзакция # ") + QString::number(t.TransId) + QStringLiteral(": ")
                        + t.Text;
    QStringList told;
    for (const QString &m : s.messages())
        if (m.startsWith(QStringLiteral("При завершении работы не записана")))
            told << m;
    QCOMPARE(told, expected);
    QSet<qint32> numbers;
    for (const TPendingTransaction &t : pending) {
        QVERIFY2(t.Text.contains(QStringLiteral("TRANS_ID")), qPrintable(t.Text));
        numbers << t.TransId;
    }
    QCOMPARE(numbers.size(), 3);
    QFile log(s.log.fileName());
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QString file = cp1251::decode(log.readAll());
    for (const QString &line : expected)
        QVERIFY2(file.contains(line), qPrintable(line));
    QVERIFY(!QFileInfo::exists(folder));
}

void TestDispatch::missingImportFileNeverMisroutes()
{
    SampleRobot s(1, 0);
    QVERIFY(QFile::remove(s.tri(QStringLiteral("QUIK1"))));
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    QVERIFY(s.messages().contains(QStringLiteral("Ошибка! Транзакции не были записаны в файл ") + s.tri(QStringLiteral("QUIK1"))
                                  + QStringLiteral(", файл не существует.")));
    // Terminal 2 gets its own line only.
    const QStringList q2 = s.fileLines(s.tri(QStringLiteral("QUIK2")));
    QCOMPARE(q2.size(), 1);
    QVERIFY(q2[0].contains(QStringLiteral("CLIENT_CODE=20001;")));
    QCOMPARE(s.robot->PendingTransactions().size(), 2);
    // Every tick tries again; the failure is told once while it repeats.
    s.robot->timTable();
    s.robot->timTable();
    const QString missing = QStringLiteral("Ошибка! Транзакции не были записаны в файл ") + s.tri(QStringLiteral("QUIK1"))
        + QStringLiteral(", файл не существует.");
    QCOMPARE(s.messages().count(missing), 1);

    // Once the file is back, the end of a watch step delivers them there.
    QFile back(s.tri(QStringLiteral("QUIK1")));
    QVERIFY(back.open(QIODevice::WriteOnly));
    back.close();
    s.robot->timTable();
    const QStringList q1 = s.fileLines(s.tri(QStringLiteral("QUIK1")));
    QCOMPARE(q1.size(), 2);
    QVERIFY(q1[0].contains(QStringLiteral("CLIENT_CODE=10001;")));
    QVERIFY(q1[1].contains(QStringLiteral("CLIENT_CODE=10002;")));
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("QUIK2"))).size(), 1);
    QVERIFY(s.robot->PendingTransactions().isEmpty());
    // ... and told once when it clears.
    QCOMPARE(s.messages().count(QStringLiteral("Транзакции записаны в файл ") + s.tri(QStringLiteral("QUIK1")) + QStringLiteral(".")), 1);
}

void TestDispatch::numbersNeverRepeatWhenTheJournalFails()
{
    SampleRobot s(1, 0);
    s.exec(s.paths.quikData, QStringLiteral("ALTER TABLE tOrderNumber RENAME TO tOrderNumberGone"));
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.robot->timTable();
    QStringList ids;
    for (const QString &l : s.fileLines(s.tri(QStringLiteral("QUIK1"))) + s.fileLines(s.tri(QStringLiteral("QUIK2"))))
        ids << l.section(QLatin1Char(';'), 0, 0);
    QCOMPARE(ids, (QStringList{"TRANS_ID =0", "TRANS_ID =1", "TRANS_ID =2"}));
    QCOMPARE(s.messages().count(QStringLiteral("Произошла ошибка во время отправки тразакции номер  1 в терминал.")), 1);
    QCOMPARE(s.robot->TransId(), 3);
}

void TestDispatch::failingRowDoesNotStopTheBatch()
{
    SampleRobot s;
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    s.addFilled(2, QStringLiteral("GAZP"), QStringLiteral("LE"), QStringLiteral("Buy 1,5 GAZP 160 "), 160.2); // no whole number
    s.addFilled(3, QStringLiteral("GAZP"), QStringLiteral("LE"), QStringLiteral("Buy 100 GAZP 160 "), 160.2);
    s.robot->timTable();
    const QStringList lines = s.fileLines(s.tri(QStringLiteral("trans")));
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].contains(QStringLiteral("SECCODE=SBER;")));
    QVERIFY(lines[1].contains(QStringLiteral("SECCODE=GAZP;")));
    const QString all = s.messages().join(QLatin1Char('\n'));
    QVERIFY2(all.contains(QStringLiteral("Ошибка при подготовке ордера # 2 по счету 111: ")), qPrintable(all));
    QCOMPARE(s.robot->LastFilledId(), 3);
}

void TestDispatch::zeroQuantityIsRefused()
{
    SampleRobot s;
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 5 SBER 285 "), 285.15); // 5 shares, lot 10
    s.robot->timTable();
    QCOMPARE(s.fileLines(s.tri(QStringLiteral("trans"))), QStringList());
    QVERIFY(s.messages().contains(QStringLiteral("Ордер #1 по счету 111 и инструменту \"SBER\"  не исполнен: количество  должно быть положительным!")));
    QCOMPARE(s.robot->TransId(), 0);
    QCOMPARE(s.rows(s.paths.quikData, QStringLiteral("SELECT * FROM tOrderNumber")).size(), 0);
}

void TestDispatch::sizesAndPricesBeyondReasonAreRefused_data()
{
    // Sized by the strategy's quantity (lots of 10 shares), priced at the
    // fill price plus 0.1 % with a step of 0.01.
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("fill");
    QTest::addColumn<int>("maxLots");
    QTest::addColumn<QString>("refusal"); // empty: sent
    QTest::newRow("two billion shares") << "Buy 2000000000 SBER 285 " << 285.15 << 1000000
                                        << "количество 200000000 лотов больше допустимого (1000000, [Position] MaxLots).";
    QTest::newRow("above a limit of 5 lots") << "Buy 100 SBER 285 " << 285.15 << 5
                                             << "количество 10 лотов больше допустимого (5, [Position] MaxLots).";
    QTest::newRow("at the limit") << "Buy 100 SBER 285 " << 285.15 << 10 << QString();
    QTest::newRow("no limit") << "Buy 2000000000 SBER 285 " << 285.15 << 0 << QString();
    QTest::newRow("a price that is nothing at two decimals") << "Buy 100 SBER 285 " << 1e-300 << 1000000
                                                             << "цена 0,00 с шагом и точностью цены инструмента не больше нуля.";
    QTest::newRow("a price below one step") << "Buy 100 SBER 285 " << 0.004 << 1000000
                                            << "цена 0,00 с шагом и точностью цены инструмента не больше нуля.";
}

void TestDispatch::sizesAndPricesBeyondReasonAreRefused()
{
    QFETCH(QString, text);
    QFETCH(double, fill);
    QFETCH(int, maxLots);
    QFETCH(QString, refusal);
    SampleRobot s(1, 0); // three followers: each is refused on its own line
    s.settings.edtMaxLots = maxLots;
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), text, fill);
    s.robot->timTable();
    const QStringList lines = s.fileLines(s.tri(QStringLiteral("QUIK1"))) + s.fileLines(s.tri(QStringLiteral("QUIK2")));
    if (refusal.isEmpty()) {
        QCOMPARE(lines.size(), 3);
        return;
    }
    QCOMPARE(lines, QStringList());
    QCOMPARE(s.robot->TransId(), 0);
    for (const char *code : {"10001", "10002", "20001"})
        QVERIFY2(s.messages().contains(QStringLiteral("Ордер #1 по счету ") + QLatin1String(code) + QStringLiteral(" и инструменту \"SBER\" не исполнен: ")
                                       + refusal),
                 qPrintable(s.messages().join(QLatin1Char('\n'))));
    QCOMPARE(s.rows(s.paths.quikData, QStringLiteral("SELECT * FROM tOrderNumber")).size(), 0);
    QCOMPARE(s.rows(s.paths.quikData, QStringLiteral("SELECT * FROM tClientOpenPositions")).size(), 0);
}

void TestDispatch::preparationRecreatesFileSets()
{
    SampleRobot s(1, 0);
    QFile stray(s.paths.trans + QStringLiteral("/old.txt"));
    QVERIFY(stray.open(QIODevice::WriteOnly));
    stray.close();
    QFile st(s.paths.smartTrade + QStringLiteral("/trans_1_2_3.new"));
    QVERIFY(st.open(QIODevice::WriteOnly));
    st.close();
    s.settings.edtTrans_id = 100;
    s.robot->BuildTROFiles();
    s.robot->PrepareTransactionFiles();
    // The file sets are made anew; a file the robot does not make stays.
    QStringList files = QDir(s.paths.trans).entryList(QDir::Files, QDir::Name);
    QCOMPARE(files, (QStringList{"QUIK1.tri", "QUIK1.tro", "QUIK1.trr", "QUIK2.tri", "QUIK2.tro", "QUIK2.trr", "old.txt"}));
    QCOMPARE(QDir(s.paths.smartTrade).entryList(QDir::Files), QStringList());
    QVERIFY(s.messages().contains(QStringLiteral("Из папки ") + QDir::toNativeSeparators(s.paths.smartTrade)
                                  + QStringLiteral(" удалены прежние файлы транзакций: trans_1_2_3.new.")));
    QCOMPARE(s.robot->TransId(), 100);
    QCOMPARE(s.robot->TROFiles()[1].FileName, QStringLiteral("QUIK2"));
    QCOMPARE(s.robot->TROFiles()[1].IdQuik, 2);
}

QTEST_GUILESS_MAIN(TestDispatch)
void TestDispatch::dispatchReleasesDatabaseAndRereadsDirectory()
{
    SampleRobot s(1, 0);
    s.robot->actStartWatchExecute();
    s.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285,15 "), 285.15);
    s.robot->timTable();
    const QStringList first = s.fileLines(s.tri(QStringLiteral("QUIK1"))) + s.fileLines(s.tri(QStringLiteral("QUIK2")));
    QVERIFY(first.size() >= 2);

    // Once the lines are in the files, the journal and the book are
    // committed and QuikData is free for the terminal to write at once.
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("terminal"));
        db.setDatabaseName(s.paths.quikData);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=0"));
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY2(q.exec(QStringLiteral("BEGIN IMMEDIATE")), qPrintable(q.lastError().text()));
        QVERIFY(q.exec(QStringLiteral("SELECT COUNT(*) FROM tOrderNumber")) && q.next());
        QCOMPARE(q.value(0).toInt(), first.size());
        QVERIFY(q.exec(QStringLiteral("ROLLBACK")));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("terminal"));
    // The book's dataset shows every booked row.
    const int booked = s.rows(s.paths.quikData, QStringLiteral("SELECT * FROM tClientOpenPositions")).size();
    QCOMPARE(booked, first.size());
    QCOMPARE(s.data.tClientOpenPositions.RecordCount(), booked);

    // The directory is read afresh for the next order: slippage now 1 %.
    s.exec(s.paths.quikData, QStringLiteral("UPDATE tSecCode SET Slippage = 1 WHERE SecCode = 'SBER'"));
    s.addFilled(2, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285,15 "), 285.15);
    s.robot->timTable();
    const QStringList all = s.fileLines(s.tri(QStringLiteral("QUIK1"))) + s.fileLines(s.tri(QStringLiteral("QUIK2")));
    QCOMPARE(all.size(), 2 * first.size());
    for (const QString &line : all)
        QVERIFY2(line.contains(QStringLiteral(";PRICE=285,43;")) || line.contains(QStringLiteral(";PRICE=288,00;")), qPrintable(line));
    QCOMPARE(all.filter(QStringLiteral(";PRICE=288,00;")).size(), first.size());
}

#include "tst_dispatch.moc"
