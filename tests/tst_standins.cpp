// The stand-ins of the two outside programs, run as the demo runs them: the
// QUIK terminal (korvina-terminal-sim) answering a transaction file set and
// exporting into QuikData, and the strategy platform (korvina-strategy-sim)
// adding rows to the alert database. Both work on a demo workspace.

#include "config/korvinaerror.h"
#include "config/textcodec.h"
#include "data/database.h"
#include "data/databaseaddress.h"
#include "data/sampleworkspace.h"
#include "pgserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {

const QString kBin = QStringLiteral(KORVINA_BIN_DIR);
constexpr int kWait = 8000; // ms to wait for what a stand-in should do within a few paces

// A demo workspace in a temporary folder.
struct Workspace {
    QTemporaryDir tmp;
    sample::Paths paths;

    // Both databases files, or on a server when their URIs are given.
    explicit Workspace(const QString &quikDataUri = QString(), const QString &alertsUri = QString())
    {
        try {
            paths = sample::createWorkspace(tmp.filePath(QStringLiteral("ws")), quikDataUri, alertsUri).paths;
        } catch (const KorvinaError &e) {
            qFatal("cannot create the demo workspace: %s", e.what());
        }
    }
    QString trans(const QString &file) const { return QDir(paths.trans).filePath(file); }
};

// One of the stand-in programs, running in the background.
class Tool {
public:
    explicit Tool(const QString &name) { m_process.setProgram(kBin + QLatin1Char('/') + name); }
    ~Tool()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    bool start(const QStringList &args)
    {
        m_process.setArguments(args);
        m_process.start();
        return m_process.waitForStarted(5000);
    }

    // Everything printed on stdout so far.
    QString out()
    {
        m_out += QString::fromUtf8(m_process.readAllStandardOutput());
        return m_out;
    }
    QString err() { return QString::fromUtf8(m_process.readAllStandardError()); }

    // Stops it as the demo does (SIGTERM); its exit code, -1 when it did not end normally.
    int stop()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
            return -1;
        }
        out();
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

    // Waits for it to end by itself.
    int finish()
    {
        if (!m_process.waitForFinished(30000))
            return -1;
        out();
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

private:
    QProcess m_process;
    QString m_out;
};

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void append(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append) || f.write(bytes) != bytes.size())
        qFatal("cannot append to %s", qPrintable(path));
}

// A transaction line as the robot writes it, without its line end.
QByteArray transaction(int id, const QString &account, const QString &secCode, const QString &classCode,
                       const QString &client, const QString &operation, const QString &price, int quantity)
{
    return cp1251::encode(QStringLiteral("TRANS_ID =%1;ACTION=NEW_ORDER;ACCOUNT=%2;SECCODE=%3;CLASSCODE=%4;"
                                         "CLIENT_CODE=%5;OPERATION=%6;PRICE=%7;STOPPRICE=%7;Order_key=;"
                                         "Stop_Order_key=;QUANTITY=%8;")
                              .arg(id)
                              .arg(account, secCode, classCode, client, operation, price)
                              .arg(quantity));
}

// The value of one item of a transaction line.
QString itemOf(const QByteArray &line, const QString &key)
{
    return cp1251::decode(line).section(key + QLatin1Char('='), 1).section(QLatin1Char(';'), 0, 0);
}

QByteArray sberBuy(int id) { return transaction(id, QStringLiteral("L01-00000F00"), QStringLiteral("SBER"), QStringLiteral("TQBR"), QStringLiteral("111"), QStringLiteral("B"), QStringLiteral("285,40"), 1); }

struct ResultLine {
    qint64 transId = -1;
    int status = -1;
    QString transName;
    QString description;
    qint64 orderNumber = -1;
};

// The result file, line by line. A line that is not exactly
//   TRANS_ID=n;STATUS=n;TRANS_NAME="text";DESCRIPTION="text";ORDER_NUMBER=n;
// ended by CR LF fails the test.
QList<ResultLine> results(const QString &path)
{
    static const QRegularExpression format(QStringLiteral(
        "^TRANS_ID=(\\d+);STATUS=(\\d+);TRANS_NAME=\"([^\";=]*)\";DESCRIPTION=\"([^\";=]*)\";ORDER_NUMBER=(\\d+);$"));
    const QByteArray bytes = readAll(path);
    QList<ResultLine> out;
    if (bytes.isEmpty())
        return out;
    if (!bytes.endsWith("\r\n")) {
        qWarning("result file does not end with CR LF: %s", bytes.constData());
        return {ResultLine()};
    }
    const QList<QByteArray> lines = bytes.chopped(2).split('\n');
    for (const QByteArray &raw : lines) {
        const QString line = cp1251::decode(raw.endsWith('\r') ? raw.chopped(1) : raw);
        const auto m = format.match(line);
        if (!raw.endsWith('\r') && &raw != &lines.constLast()) {
            qWarning("line without CR: %s", qPrintable(line));
            out.append(ResultLine());
            continue;
        }
        if (!m.hasMatch()) {
            qWarning("malformed result line: %s", qPrintable(line));
            out.append(ResultLine());
            continue;
        }
        out.append({m.captured(1).toLongLong(), m.captured(2).toInt(), m.captured(3), m.captured(4),
                     m.captured(5).toLongLong()});
    }
    return out;
}

// Read access to a workspace database.
class Db {
public:
    explicit Db(const QString &path) : m_db(QStringLiteral("test-reader"))
    {
        QString error;
        if (!m_db.open(path, &error))
            qFatal("%s", qPrintable(error));
    }
    QVariant scalar(const QString &sql, const QVariantMap &params = {})
    {
        QSqlQuery q = m_db.native(sql, params);
        const QVariant v = q.next() ? q.value(0) : QVariant();
        q.finish();
        return v;
    }
    int count(const QString &table) { return scalar(QStringLiteral("SELECT count(*) FROM \"%1\"").arg(table)).toInt(); }
    QSqlQuery query(const QString &sql, const QVariantMap &params = {}) { return m_db.native(sql, params); }
    void exec(const QString &sql, const QVariantMap &params = {}) { m_db.native(sql, params).finish(); }

private:
    Database m_db;
};

QStringList terminalArgs(const Workspace &ws, const QStringList &more)
{
    return QStringList{QStringLiteral("--dir"), ws.paths.trans, QStringLiteral("--db"), ws.paths.quikData,
                       QStringLiteral("--pace"), QStringLiteral("100"), QStringLiteral("--quotes"),
                       QStringLiteral("0"), QStringLiteral("--seed"), QStringLiteral("7")}
        + more;
}

} // namespace

class TestStandIns : public QObject {
    Q_OBJECT
private slots:
    void terminalAnswersCompleteLinesOnly();
    void terminalRefusesTransactions_data();
    void terminalRefusesTransactions();
    void terminalStartsOverWithNewFile_data();
    void terminalStartsOverWithNewFile();
    void terminalDropsResultsDueForReplacedFile();
    void terminalRecordsIntoItsTables_data();
    void terminalRecordsIntoItsTables();
    void terminalMovesQuotesByPriceSteps();
    void terminalInfoLogGrowsOnlyWhileConnected();

    void strategyScenarioRowsAsWritten();
    void strategyScenarioFaultAddsNothing_data();
    void strategyScenarioFaultAddsNothing();
    void strategyRandomUsesTradedTickers_data();
    void strategyRandomUsesTradedTickers();
};

void TestStandIns::terminalAnswersCompleteLinesOnly()
{
    Workspace ws;
    const QString tri = ws.trans(QStringLiteral("trans.tri"));
    const QString tro = ws.trans(QStringLiteral("trans.tro"));
    const QByteArray third = sberBuy(7);
    append(tri, sberBuy(5) + "\r\n" + sberBuy(6) + "\r\n" + third.left(25));

    Tool sim(QStringLiteral("korvina-terminal-sim"));
    QVERIFY(sim.start(terminalArgs(ws, {})));
    QTRY_COMPARE_WITH_TIMEOUT(results(tro).size(), 4, kWait);
    QList<ResultLine> r = results(tro);
    QCOMPARE(r[0].transId, 5);
    QCOMPARE(r[0].status, 0);
    QCOMPARE(r[0].orderNumber, 0);
    QCOMPARE(r[1].transId, 6);
    QCOMPARE(r[1].status, 0);
    QCOMPARE(r[2].transId, 5);
    QCOMPARE(r[2].status, 3);
    QCOMPARE(r[3].transId, 6);
    QCOMPARE(r[3].status, 3);
    QVERIFY(r[2].orderNumber > 0);
    QVERIFY(r[3].orderNumber > 0);
    QVERIFY(r[2].orderNumber != r[3].orderNumber);
    for (const ResultLine &l : r)
        QVERIFY(!l.transName.isEmpty());

    // The unfinished line stays unanswered over several polls ...
    QTest::qWait(500);
    QCOMPARE(results(tro).size(), 4);

    // ... until its end arrives.
    append(tri, third.mid(25) + "\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(results(tro).size(), 6, kWait);
    r = results(tro);
    QCOMPARE(r[4].transId, 7);
    QCOMPARE(r[4].status, 0);
    QCOMPARE(r[5].transId, 7);
    QCOMPARE(r[5].status, 3);
    QVERIFY(r[5].orderNumber > 0);
    QVERIFY(r[5].orderNumber != r[2].orderNumber && r[5].orderNumber != r[3].orderNumber);

    QCOMPARE(sim.stop(), 0);
    QVERIFY2(sim.out().contains(QStringLiteral("stopped: 3 transactions taken, 6 results written")), qPrintable(sim.out()));
    QCOMPARE(results(tro).size(), 6);
}

void TestStandIns::terminalRefusesTransactions_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("rejectShare");
    QTest::addColumn<QList<int>>("statuses");

    const QByteArray valid = sberBuy(12);
    QTest::newRow("server refuses a share") << valid << "1" << QList<int>{0, 6};
    QTest::newRow("unknown security") << QByteArray(valid).replace("SECCODE=SBER", "SECCODE=XXXX") << "0"
                                      << QList<int>{5};
    QTest::newRow("quantity zero") << QByteArray(valid).replace("QUANTITY=1;", "QUANTITY=0;") << "0" << QList<int>{5};
    QTest::newRow("no operation") << QByteArray(valid).replace("OPERATION=B;", "") << "0" << QList<int>{5};
    QTest::newRow("unknown action") << QByteArray(valid).replace("NEW_ORDER", "MOVE_ORDERS") << "0" << QList<int>{5};
}

void TestStandIns::terminalRefusesTransactions()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, rejectShare);
    QFETCH(QList<int>, statuses);

    Workspace ws;
    const int ordersBefore = Db(ws.paths.quikData).count(QStringLiteral("tQuikOrders"));
    append(ws.trans(QStringLiteral("trans.tri")), line + "\r\n");
    Tool sim(QStringLiteral("korvina-terminal-sim"));
    QVERIFY(sim.start(terminalArgs(ws, {QStringLiteral("--reject-share"), rejectShare})));
    const QString tro = ws.trans(QStringLiteral("trans.tro"));
    QTRY_COMPARE_WITH_TIMEOUT(results(tro).size(), statuses.size(), kWait);
    QTest::qWait(400); // nothing more follows
    QCOMPARE(sim.stop(), 0);

    const QList<ResultLine> r = results(tro);
    QCOMPARE(r.size(), statuses.size());
    for (int i = 0; i < r.size(); ++i) {
        QCOMPARE(r[i].transId, 12);
        QCOMPARE(r[i].status, statuses[i]);
        QCOMPARE(r[i].orderNumber, 0);
    }
    QVERIFY2(r.constLast().description.size() > 5, qPrintable(r.constLast().description));
    QCOMPARE(Db(ws.paths.quikData).count(QStringLiteral("tQuikOrders")), ordersBefore);
}

void TestStandIns::terminalStartsOverWithNewFile_data()
{
    QTest::addColumn<bool>("recreate");
    // The robot deletes and recreates its file sets at every connection; the
    // new file may already be longer than the old one at the next poll.
    QTest::newRow("deleted and made anew") << true;
    QTest::newRow("cut to empty in place") << false;
}

void TestStandIns::terminalStartsOverWithNewFile()
{
    QFETCH(bool, recreate);
    Workspace ws;
    const QString tri = ws.trans(QStringLiteral("trans.tri"));
    const QString tro = ws.trans(QStringLiteral("trans.tro"));
    append(tri, sberBuy(1) + "\r\n");
    Tool sim(QStringLiteral("korvina-terminal-sim"));
    QVERIFY(sim.start(terminalArgs(ws, {})));
    QTRY_COMPARE_WITH_TIMEOUT(results(tro).size(), 2, kWait);

    if (recreate) {
        QVERIFY(QFile::remove(tri));
        QVERIFY(QFile::remove(tro));
        append(tri, sberBuy(1) + "\r\n" + sberBuy(2) + "\r\n");
    } else {
        QFile f(tri);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.close();
        QVERIFY(QFile::remove(tro));
        QTest::qWait(300); // a poll sees the empty file
        append(tri, sberBuy(1) + "\r\n" + sberBuy(2) + "\r\n");
    }
    QTRY_COMPARE_WITH_TIMEOUT(results(tro).size(), 4, kWait);
    QTest::qWait(300);
    QCOMPARE(sim.stop(), 0);
    const QList<ResultLine> r = results(tro);
    QCOMPARE(r.size(), 4);
    QCOMPARE(r[0].transId, 1);
    QCOMPARE(r[0].status, 0);
    QCOMPARE(r[1].transId, 2);
    QCOMPARE(r[1].status, 0);
    QCOMPARE(r[2].transId, 1);
    QCOMPARE(r[2].status, 3);
    QCOMPARE(r[3].transId, 2);
    QCOMPARE(r[3].status, 3);
}

void TestStandIns::terminalDropsResultsDueForReplacedFile()
{
    // The robot reconnects between a transaction's two results: it numbers
    // afresh, so the old final result would be taken for the new transaction 1.
    Workspace ws;
    const QString tri = ws.trans(QStringLiteral("trans.tri"));
    const QString tro = ws.trans(QStringLiteral("trans.tro"));
    append(tri, sberBuy(1) + "\r\n");
    Tool sim(QStringLiteral("korvina-terminal-sim"));
    QStringList args = terminalArgs(ws, {});
    args[args.indexOf(QStringLiteral("--pace")) + 1] = QStringLiteral("800");
    QVERIFY(sim.start(args));
    QTRY_COMPARE_WITH_TIMEOUT(results(tro).size(), 1, kWait);
    QVERIFY(QFile::remove(tri));
    QVERIFY(QFile::remove(tro));
    append(tri, sberBuy(2) + "\r\n");

    QTRY_COMPARE_WITH_TIMEOUT(results(tro).size(), 2, kWait);
    QCOMPARE(sim.stop(), 0);
    const QList<ResultLine> r = results(tro);
    QCOMPARE(r.size(), 2);
    QCOMPARE(r[0].transId, 2);
    QCOMPARE(r[0].status, 0);
    QCOMPARE(r[1].transId, 2);
    QCOMPARE(r[1].status, 3);
}

void TestStandIns::terminalRecordsIntoItsTables_data()
{
    QTest::addColumn<int>("terminal");
    QTest::addColumn<QString>("fileSet"); // looked up in tQuik when no --name is given
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("positionSql"); // the client's position after the fill
    QTest::addColumn<double>("positionChange");
    QTest::addColumn<bool>("paysMoney");
    QTest::addColumn<QStringList>("untouched");

    QTest::newRow("SINGLE: base tables")
        << 0 << "trans"
        << transaction(3, "L01-00000F00", "SBER", "TQBR", "111", "B", "285,40", 2) << ""
        << "SELECT currentbal FROM tLimitStock WHERE code = '111' AND seccode = 'SBER'" << 20.0 << true
        << QStringList{"tQuikOrders1", "tQuikOrders2", "tTrades1", "tTrades2"};
    QTest::newRow("MULTI terminal 2: stock sale")
        << 2 << "QUIK2"
        << transaction(4, "L01-00000F04", "SBER", "TQBR", "20001", "S", "284,00", 3) << "2"
        << "SELECT currentbal FROM tLimitStock2 WHERE code = '20001' AND seccode = 'SBER'" << -30.0 << true
        << QStringList{"tQuikOrders", "tQuikOrders1", "tTrades", "tTrades1"};
    QTest::newRow("MULTI terminal 1: futures buy")
        << 1 << "QUIK1"
        << transaction(5, "SPBFUT00001", "RIZ6", "SPBFUT", "10001", "B", "110500", 2) << "1"
        << "SELECT currentbal FROM tLimitFut1 WHERE account = 'SPBFUT00001' AND seccode = 'RIZ6'" << 2.0 << false
        << QStringList{"tQuikOrders", "tQuikOrders2", "tTrades", "tTrades2"};
}

void TestStandIns::terminalRecordsIntoItsTables()
{
    QFETCH(int, terminal);
    QFETCH(QString, fileSet);
    QFETCH(QByteArray, line);
    QFETCH(QString, suffix);
    QFETCH(QString, positionSql);
    QFETCH(double, positionChange);
    QFETCH(bool, paysMoney);
    QFETCH(QStringList, untouched);

    Workspace ws;
    const QString orders = QStringLiteral("tQuikOrders") + suffix;
    const QString trades = QStringLiteral("tTrades") + suffix;
    const QString client = itemOf(line, QStringLiteral("CLIENT_CODE"));
    QMap<QString, int> before;
    double positionBefore = 0, moneyBefore = 0;
    {
        Db db(ws.paths.quikData);
        for (const QString &t : untouched + QStringList{orders, trades})
            before[t] = db.count(t);
        positionBefore = db.scalar(positionSql).toDouble();
        moneyBefore = db.scalar(QStringLiteral("SELECT sum(currentbal) FROM \"tLimitMoney%1\" WHERE code = :c").arg(suffix),
                                {{QStringLiteral("c"), client}})
                          .toDouble();
    }

    append(ws.trans(fileSet + QStringLiteral(".tri")), line + "\r\n");
    Tool sim(QStringLiteral("korvina-terminal-sim"));
    QVERIFY(sim.start(terminalArgs(ws, {QStringLiteral("--terminal"), QString::number(terminal)})));
    const QString tro = ws.trans(fileSet + QStringLiteral(".tro"));
    QTRY_COMPARE_WITH_TIMEOUT(results(tro).size(), 2, kWait);
    QCOMPARE(sim.stop(), 0);
    QCOMPARE(results(tro)[1].status, 3);

    Db db(ws.paths.quikData);
    for (const QString &t : untouched)
        QCOMPARE(db.count(t), before[t]);
    QCOMPARE(db.count(orders), before[orders] + 1);
    QCOMPARE(db.count(trades), before[trades] + 1);

    const bool buy = itemOf(line, QStringLiteral("OPERATION")) == QLatin1String("B");
    const int quantity = itemOf(line, QStringLiteral("QUANTITY")).toInt();
    QSqlQuery o = db.query(QStringLiteral("SELECT code, Operation, quantity, status FROM \"%1\" ORDER BY rowid DESC LIMIT 1").arg(orders));
    QVERIFY(o.next());
    QCOMPARE(o.value(0).toString(), client);
    QCOMPARE(o.value(1).toString(), buy ? QStringLiteral("Купля") : QStringLiteral("Продажа"));
    QCOMPARE(o.value(2).toInt(), quantity);
    QCOMPARE(o.value(3).toString(), QStringLiteral("Исполнена"));
    o.finish();
    QSqlQuery t = db.query(QStringLiteral("SELECT code, Quantity, volume FROM \"%1\" ORDER BY rowid DESC LIMIT 1").arg(trades));
    QVERIFY(t.next());
    QCOMPARE(t.value(0).toString(), client);
    QCOMPARE(t.value(1).toInt(), quantity);
    const double volume = t.value(2).toDouble();
    QVERIFY(volume > 0);
    t.finish();

    QCOMPARE(db.scalar(positionSql).toDouble(), positionBefore + positionChange);
    const double money = db.scalar(QStringLiteral("SELECT sum(currentbal) FROM \"tLimitMoney%1\" WHERE code = :c").arg(suffix),
                                   {{QStringLiteral("c"), client}})
                             .toDouble();
    // Both money rows of the client (two tags) pay for a stock trade.
    const int moneyRows = db.scalar(QStringLiteral("SELECT count(*) FROM \"tLimitMoney%1\" WHERE code = :c").arg(suffix),
                                    {{QStringLiteral("c"), client}})
                              .toInt();
    const double expected = paysMoney ? moneyBefore + (buy ? -volume : volume) * moneyRows : moneyBefore;
    QVERIFY2(std::abs(money - expected) < 0.01, qPrintable(QStringLiteral("%1 != %2").arg(money).arg(expected)));
}

void TestStandIns::terminalMovesQuotesByPriceSteps()
{
    Workspace ws;
    struct Start {
        double last, step;
    };
    QMap<QString, Start> start;
    {
        Db db(ws.paths.quikData);
        QSqlQuery q = db.query(QStringLiteral("SELECT seccode, last, MinMov FROM tParam"));
        while (q.next())
            start.insert(q.value(0).toString(), {q.value(1).toDouble(), q.value(2).toDouble()});
    }
    QCOMPARE(start.size(), 5);

    Tool sim(QStringLiteral("korvina-terminal-sim"));
    QVERIFY(sim.start({QStringLiteral("--dir"), ws.paths.trans, QStringLiteral("--db"), ws.paths.quikData,
                       QStringLiteral("--quotes"), QStringLiteral("50"), QStringLiteral("--duration"),
                       QStringLiteral("1"), QStringLiteral("--seed"), QStringLiteral("3")}));
    QCOMPARE(sim.finish(), 0);

    Db db(ws.paths.quikData);
    QSqlQuery q = db.query(QStringLiteral("SELECT seccode, bid, offer, last FROM tParam"));
    int moved = 0;
    while (q.next()) {
        const QString sec = q.value(0).toString();
        const double bid = q.value(1).toDouble(), offer = q.value(2).toDouble(), last = q.value(3).toDouble();
        const double step = start[sec].step;
        const double steps = (last - start[sec].last) / step;
        QVERIFY2(std::abs(steps - std::round(steps)) < 1e-6, qPrintable(sec));
        // At most one step per move: a 1 s run at 50 ms makes some 20 moves.
        QVERIFY2(std::abs(steps) <= 40, qPrintable(sec));
        QVERIFY2(bid <= last && last <= offer, qPrintable(sec));
        QVERIFY2(std::abs(offer - bid - step) < step * 1e-6, qPrintable(sec));
        moved += steps != 0;
    }
    QVERIFY(moved > 0);
}

void TestStandIns::terminalInfoLogGrowsOnlyWhileConnected()
{
    Workspace ws;
    const QString log = ws.paths.infoLog;
    Tool sim(QStringLiteral("korvina-terminal-sim"));
    QVERIFY(sim.start({QStringLiteral("--dir"), ws.paths.trans, QStringLiteral("--info-log"), log,
                       QStringLiteral("--info-every"), QStringLiteral("50"), QStringLiteral("--link-cut-every"),
                       QStringLiteral("1"), QStringLiteral("--link-cut-for"), QStringLiteral("1.5")}));
    // Connected: it grows.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(log).size() > 0, kWait);
    const qint64 first = QFileInfo(log).size();
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(log).size() > first, kWait);

    // Cut: it stands still.
    QTRY_VERIFY_WITH_TIMEOUT(sim.out().contains(QStringLiteral("link down")), kWait);
    const qint64 cut = QFileInfo(log).size();
    QTest::qWait(600);
    QCOMPARE(QFileInfo(log).size(), cut);
    QVERIFY(!sim.out().contains(QStringLiteral("link up")));

    // Restored: it grows again.
    QTRY_VERIFY_WITH_TIMEOUT(sim.out().contains(QStringLiteral("link up")), kWait);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(log).size() > cut, kWait);
    QCOMPARE(sim.stop(), 0);

    const QByteArray text = readAll(log);
    QVERIFY(text.endsWith("\r\n"));
    QCOMPARE(text.count('\n'), text.count("\r\n"));
}

void TestStandIns::strategyScenarioRowsAsWritten()
{
    Workspace ws;
    {
        Db alerts(ws.paths.alerts);
        alerts.exec(QStringLiteral("INSERT INTO FilledOrders (ID, Symbol) VALUES (41, 'SBER')"));
    }
    const QString scenario = ws.tmp.filePath(QStringLiteral("three.scenario"));
    append(scenario,
           QStringLiteral("# three fills\r\n"
                          "\r\n"
                          "0;FilledOrders;SBER;LE;Buy 10 SBER 285.15 Market;285.15;Demo MA Cross(5,20);C:\\Omega\\Demo.orw;MA Cross LE;5 min;Сбербанк\r\n"
                          "50; filledorders ;RI;SE;Sell 2 RI 110250 Stop ;110250;Demo MA Cross(5,20);C:\\Omega\\Demo.orw;MA Cross SE;15 min\r\n"
                          "  # an indented comment\r\n"
                          "50;FilledOrders;SBER;LX;Sell 10 SBER 286,00(MARKET);286,5;Other(1);D:\\x\\Demo.orw;Exit;1 day;\r\n")
               .toUtf8());

    Tool sim(QStringLiteral("korvina-strategy-sim"));
    QVERIFY(sim.start({QStringLiteral("--alerts"), ws.paths.alerts, QStringLiteral("--scenario"), scenario}));
    QCOMPARE(sim.finish(), 0);
    QCOMPARE(sim.out().count(QLatin1Char('\n')), 3);

    struct Row {
        QString symbol, type, order;
        double price;
        QString system, workspace, signal, interval, description;
    };
    const QList<Row> expected{
        {"SBER", "LE", "Buy 10 SBER 285.15 Market", 285.15, "Demo MA Cross(5,20)", "C:\\Omega\\Demo.orw", "MA Cross LE", "5 min", "Сбербанк"},
        {"RI", "SE", "Sell 2 RI 110250 Stop ", 110250, "Demo MA Cross(5,20)", "C:\\Omega\\Demo.orw", "MA Cross SE", "15 min", ""},
        {"SBER", "LX", "Sell 10 SBER 286,00(MARKET)", 286.5, "Other(1)", "D:\\x\\Demo.orw", "Exit", "1 day", ""},
    };
    Db alerts(ws.paths.alerts);
    QSqlQuery q = alerts.query(QStringLiteral(
        "SELECT ID, Symbol, OrderType, \"Order\", \"Fill Price\", System, Workspace, Signal, Interval, Description, "
        "\"Time Placed\", \"Time Filled\" FROM FilledOrders WHERE ID > 41 ORDER BY rowid"));
    int n = 0;
    qint64 lastId = 41;
    QDateTime lastTime;
    while (q.next()) {
        QVERIFY(n < expected.size());
        const Row &e = expected[n++];
        QVERIFY(q.value(0).toLongLong() > lastId);
        lastId = q.value(0).toLongLong();
        QCOMPARE(q.value(1).toString(), e.symbol);
        QCOMPARE(q.value(2).toString(), e.type);
        QCOMPARE(q.value(3).toString(), e.order);
        QCOMPARE(q.value(4).toDouble(), e.price);
        QCOMPARE(q.value(5).toString(), e.system);
        QCOMPARE(q.value(6).toString(), e.workspace);
        QCOMPARE(q.value(7).toString(), e.signal);
        QCOMPARE(q.value(8).toString(), e.interval);
        QCOMPARE(q.value(9).toString(), e.description);
        const QDateTime filled = q.value(11).toDateTime();
        QVERIFY(filled.isValid());
        QCOMPARE(q.value(10).toDateTime(), filled);
        if (lastTime.isValid())
            QVERIFY(lastTime.msecsTo(filled) >= 50); // each row waited its delay
        lastTime = filled;
    }
    QCOMPARE(n, 3);
}

void TestStandIns::strategyScenarioFaultAddsNothing_data()
{
    QTest::addColumn<QString>("faulty");
    const QString tail = QStringLiteral("Buy 10 SBER 285.15 Market;285.15;S(1);C:\\Demo.orw;LE;5 min");
    QTest::newRow("too few fields") << QStringLiteral("0;FilledOrders;SBER;LE;Buy 10 SBER 1 Market;1;S;W;Sig");
    QTest::newRow("negative delay") << QStringLiteral("-5;FilledOrders;SBER;LE;") + tail;
    QTest::newRow("unknown table") << QStringLiteral("0;Filled;SBER;LE;") + tail;
    QTest::newRow("price no number") << QStringLiteral("0;FilledOrders;SBER;LE;Buy 10 SBER 285.15 Market;abc;S(1);C:\\Demo.orw;LE;5 min");
    QTest::newRow("empty symbol") << QStringLiteral("0;FilledOrders; ;LE;") + tail;
}

void TestStandIns::strategyScenarioFaultAddsNothing()
{
    QFETCH(QString, faulty);
    Workspace ws;
    const QString scenario = ws.tmp.filePath(QStringLiteral("bad.scenario"));
    append(scenario, (QStringLiteral("# a good row, then a faulty one on line 3\n"
                                     "0;FilledOrders;SBER;LE;Buy 10 SBER 285.15 Market;285.15;S(1);C:\\Demo.orw;LE;5 min\n")
                      + faulty + QStringLiteral("\n"))
                         .toUtf8());
    Tool sim(QStringLiteral("korvina-strategy-sim"));
    QVERIFY(sim.start({QStringLiteral("--alerts"), ws.paths.alerts, QStringLiteral("--scenario"), scenario}));
    QCOMPARE(sim.finish(), 1);
    const QString err = sim.err();
    QVERIFY2(err.contains(QStringLiteral("line 3:")), qPrintable(err));
    QCOMPARE(Db(ws.paths.alerts).count(QStringLiteral("FilledOrders")), 0);
}

void TestStandIns::strategyRandomUsesTradedTickers_data()
{
    QTest::addColumn<bool>("server");
    QTest::newRow("files") << false;
    QTest::newRow("server") << true;
}

void TestStandIns::strategyRandomUsesTradedTickers()
{
    QFETCH(bool, server);
    // On a server the URIs carry a password (the throwaway server does not
    // ask for it), which nothing the stand-in prints may show.
    PgServer pg;
    QString quikUri, alertsUri;
    const QString password = QStringLiteral("s3cret-pw");
    if (server) {
        if (const QString why = PgServer::missing(); !why.isEmpty())
            QSKIP(qPrintable(why));
        QVERIFY2(pg.start(), qPrintable(pg.error()));
        for (QString *uri : {&quikUri, &alertsUri}) {
            *uri = pg.createDatabase(uri == &quikUri ? QStringLiteral("quikdata") : QStringLiteral("alerts"));
            QVERIFY2(!uri->isEmpty(), qPrintable(pg.error()));
            uri->replace(QStringLiteral("postgres@"), QStringLiteral("postgres:") + password + QLatin1Char('@'));
        }
    }
    Workspace ws(quikUri, alertsUri);
    struct Sec {
        int lotSize;
        double step, last;
    };
    QMap<QString, Sec> traded;
    {
        Db db(ws.paths.quikData);
        QSqlQuery q = db.query(QStringLiteral("SELECT s.Ticker, s.LotSize, s.MinMov, p.last FROM tSecCode s JOIN tParam p "
                                              "ON p.seccode = s.SecCode WHERE s.Traded <> 0"));
        while (q.next())
            traded.insert(q.value(0).toString(), {q.value(1).toInt(), q.value(2).toDouble(), q.value(3).toDouble()});
        QVERIFY(db.scalar(QStringLiteral("SELECT count(*) FROM tSecCode WHERE Traded = 0")).toInt() > 0);
    }
    QCOMPARE(traded.size(), 4);

    Tool sim(QStringLiteral("korvina-strategy-sim"));
    QVERIFY(sim.start({QStringLiteral("--alerts"), ws.paths.alerts, QStringLiteral("--random"), QStringLiteral("40"),
                       QStringLiteral("--every"), QStringLiteral("0"), QStringLiteral("--quikdata"), ws.paths.quikData,
                       QStringLiteral("--seed"), QStringLiteral("11")}));
    QCOMPARE(sim.finish(), 0);
    QVERIFY(!sim.out().contains(password));

    Db alerts(ws.paths.alerts);
    // The rows in the order they were added (on a server: by their ids).
    QSqlQuery q = alerts.query(QStringLiteral("SELECT ID, Symbol, OrderType, \"Order\", \"Fill Price\", System, Workspace FROM FilledOrders ORDER BY ")
                               + (server ? QStringLiteral("ID") : QStringLiteral("rowid")));
    int n = 0;
    qint64 lastId = 0;
    QSet<QString> used;
    QMap<QString, int> position; // shares held per symbol, as the orders say
    while (q.next()) {
        ++n;
        const QString symbol = q.value(1).toString();
        const QString type = q.value(2).toString();
        const QStringList words = q.value(3).toString().split(QLatin1Char(' '));
        const double price = q.value(4).toDouble();
        QVERIFY(q.value(0).toLongLong() > lastId);
        lastId = q.value(0).toLongLong();
        QVERIFY2(traded.contains(symbol), qPrintable(symbol));
        used << symbol;
        const Sec &s = traded[symbol];

        QCOMPARE(words.size(), 5);
        const bool buy = type == QLatin1String("LE") || type == QLatin1String("SX");
        QCOMPARE(words[0], buy ? QStringLiteral("Buy") : QStringLiteral("Sell"));
        const int qty = words[1].toInt();
        QVERIFY(qty > 0 && qty % s.lotSize == 0);
        QCOMPARE(words[2], symbol);
        QCOMPARE(words[3].toDouble(), price);
        QVERIFY2(std::abs(price - s.last) <= 3 * s.step + 1e-9, qPrintable(q.value(3).toString()));
        QVERIFY(std::abs(price / s.step - std::round(price / s.step)) < 1e-6);
        QCOMPARE(q.value(5).toString(), QStringLiteral("Demo MA Cross(5,20)"));
        QVERIFY(q.value(6).toString().endsWith(QLatin1String("\\Demo.orw")));

        // Entries open a position, exits close the one held.
        int &held = position[symbol];
        if (type == QLatin1String("LE") || type == QLatin1String("SE")) {
            QCOMPARE(held, 0);
            held = type == QLatin1String("LE") ? qty : -qty;
        } else {
            QCOMPARE(held, type == QLatin1String("LX") ? qty : -qty);
            held = 0;
        }
    }
    QCOMPARE(n, 40);
    QVERIFY(used.size() >= 3);

    if (!server)
        return;
    // A QuikData without the tables: told with the database named, not its password.
    const QString empty = pg.createDatabase(QStringLiteral("empty")).replace(QStringLiteral("postgres@"),
                                                                            QStringLiteral("postgres:") + password + QLatin1Char('@'));
    Tool failing(QStringLiteral("korvina-strategy-sim"));
    QVERIFY(failing.start({QStringLiteral("--alerts"), ws.paths.alerts, QStringLiteral("--random"), QStringLiteral("1"),
                           QStringLiteral("--every"), QStringLiteral("0"), QStringLiteral("--quikdata"), empty}));
    QCOMPARE(failing.finish(), 1);
    const QString said = failing.err() + failing.out();
    QVERIFY2(said.contains(QStringLiteral("cannot read the securities of ") + DatabaseAddress::shown(empty)), qPrintable(said));
    QVERIFY2(!said.contains(password), qPrintable(said));
}

QTEST_GUILESS_MAIN(TestStandIns)
#include "tst_standins.moc"
