// The databases as korvina-db creates them, the demo workspace, and the
// tool's command line.

#include "config/korvinaerror.h"
#include "config/settings.h"
#include "data/database.h"
#include "data/datmod.h"
#include "data/schema.h"
#include "engine/robot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include "workspace.h"
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kTool = QStringLiteral(KORVINA_BIN_DIR "/korvina-db");

struct ColumnInfo {
    QString type;
    bool primaryKey = false;
};

QMap<QString, ColumnInfo> columnsOf(Database &db, const QString &table)
{
    QMap<QString, ColumnInfo> out;
    QSqlQuery q = db.native(QStringLiteral("PRAGMA table_info(\"%1\")").arg(table));
    while (q.next())
        out.insert(q.value(1).toString(), {q.value(2).toString(), q.value(5).toInt() > 0});
    return out;
}

QStringList userTables(Database &db)
{
    QStringList out;
    QSqlQuery q = db.native(QStringLiteral(
        "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%' ORDER BY name"));
    while (q.next())
        out << q.value(0).toString();
    return out;
}

QVariant scalar(Database &db, const QString &jet)
{
    QSqlQuery q = db.exec(jet);
    return q.next() ? q.value(0) : QVariant();
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
    f.write(content);
}

void execOnDatabaseFile(const QString &path, const QString &sql)
{
    Database db(QStringLiteral("x"));
    QString error;
    QVERIFY2(db.open(path, &error), qPrintable(error));
    db.native(sql).finish();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Run {
    int code = -1;
    QString out;
    QString err;
    QByteArray rawOut; // as written, a byte order mark included
};

Run runTool(const QStringList &args)
{
    QProcess p;
    p.start(kTool, args);
    Run r;
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.code = p.exitCode();
    r.rawOut = p.readAllStandardOutput();
    r.out = QString::fromUtf8(r.rawOut);
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

} // namespace

class TestKorvinaDb : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    QString m_quikData;
    QString m_alerts;
    int m_fileNo = 0;

    QString freshPath(const QString &suffix = QStringLiteral(".sqlite"))
    {
        return m_tmp.filePath(QStringLiteral("f%1").arg(++m_fileNo) + suffix);
    }

    QString pathOf(schema::Kind kind) const { return kind == schema::Kind::QuikData ? m_quikData : m_alerts; }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        m_quikData = m_tmp.filePath(QStringLiteral("Data/dbQuikData.sqlite"));
        m_alerts = m_tmp.filePath(QStringLiteral("Alerts11.sqlite"));
        schema::createDatabaseFile(m_quikData, schema::Kind::QuikData);
        schema::createDatabaseFile(m_alerts, schema::Kind::Alerts);
    }

    void tableSets_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("QuikData") << int(schema::Kind::QuikData)
                                  << QStringList{"tClientOpenPositions", "tClients",   "tGroup",       "tGroupClients",
                                                 "tLimitFut",            "tLimitMoney", "tLimitStock", "tOrderNumber",
                                                 "tOrderHistory",        "tRobotState",
                                                 "tParam",               "tPortfolio", "tPortfolioFut", "tQuik",
                                                 "tQuikOrders",          "tSecCode",   "tStrategy",    "tTrades",
                                                 "tWorkSpaces"};
        QTest::newRow("alerts") << int(schema::Kind::Alerts)
                                << QStringList{"ActiveOrders", "CanceledOrders", "FilledOrders", "OpenPositions"};
    }

    // Exactly the tables of the database, all of them empty.
    void tableSets()
    {
        QFETCH(int, kind);
        QFETCH(QStringList, expected);
        Database db(QStringLiteral("t"));
        QString error;
        QVERIFY2(db.open(pathOf(schema::Kind(kind)), &error), qPrintable(error));
        QStringList got = userTables(db);
        got.sort(Qt::CaseInsensitive);
        expected.sort(Qt::CaseInsensitive);
        QCOMPARE(got, expected);
        for (const QString &t : got)
            QCOMPARE(scalar(db, QStringLiteral("SELECT count(*) FROM [%1]").arg(t)).toInt(), 0);
    }

    void columns_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("table");
        QTest::addColumn<QStringList>("present"); // "name TYPE", the name may hold blanks
        QTest::addColumn<QStringList>("absent");
        QTest::addColumn<QString>("counter");      // the AUTOINCREMENT key, if any

        const int q = int(schema::Kind::QuikData), a = int(schema::Kind::Alerts);
        QTest::newRow("tSecCode") << q << "tSecCode"
                                  << QStringList{"SecCode VARCHAR(50)", "Ticker VARCHAR(50)", "Traded BOOLEAN",
                                                 "MinMov DECIMAL(18,4)", "PointValue DOUBLE", "LotSize INTEGER",
                                                 "Base_Contract VARCHAR(50)"}
                                  << QStringList{"id"} << "";
        QTest::newRow("tWorkSpaces") << q << "tWorkSpaces" << QStringList{"workspace VARCHAR(50)"} << QStringList{}
                                     << "id_workspace";
        QTest::newRow("tStrategy") << q << "tStrategy" << QStringList{"strategy VARCHAR(50)"} << QStringList{}
                                   << "id_strategy";
        QTest::newRow("tClients") << q << "tClients"
                                  << QStringList{"Code VARCHAR(12)", "AccountFORTS VARCHAR(50)", "note VARCHAR(255)",
                                                 "Active BOOLEAN", "Ebs BOOLEAN", "Leverage DOUBLE", "id_quik INTEGER"}
                                  << QStringList{"quik"} << "id";
        QTest::newRow("tGroup") << q << "tGroup" << QStringList{"group VARCHAR(50)"} << QStringList{} << "id_group";
        QTest::newRow("tGroupClients") << q << "tGroupClients" << QStringList{"id_group INTEGER", "id_client INTEGER"}
                                       << QStringList{"Code"} << "";
        QTest::newRow("tQuik") << q << "tQuik"
                               << QStringList{"id_quik INTEGER", "active BOOLEAN", "quik VARCHAR(50)",
                                              "path VARCHAR(100)"}
                               << QStringList{} << "";
        QTest::newRow("tOrderNumber") << q << "tOrderNumber"
                                      << QStringList{"trans_id INTEGER", "filled BOOLEAN", "status SMALLINT",
                                                     "description VARCHAR(255)", "order_number DECIMAL(18,4)"}
                                      << QStringList{} << "id";
        QTest::newRow("tClientOpenPositions")
            << q << "tClientOpenPositions"
            << QStringList{"symbol VARCHAR(16)", "quantity INTEGER", "Interval VARCHAR(50)", "Position VARCHAR(20)"}
            << QStringList{} << "id";
        QTest::newRow("tParam") << q << "tParam"
                                << QStringList{"seccode VARCHAR(15)", "bid DOUBLE", "offer DOUBLE", "qtylast INTEGER",
                                               "timelast DATETIME", "lotsize INTEGER", "class_code VARCHAR(50)",
                                               "MinMov DECIMAL(18,4)", "PointValue DECIMAL(18,4)"}
                                << QStringList{} << "id";
        QTest::newRow("tLimitStock") << q << "tLimitStock"
                                     << QStringList{"firm VARCHAR(12)", "code VARCHAR(12)", "seccode VARCHAR(12)",
                                                    "openbal DOUBLE", "currentbal DOUBLE"}
                                     << QStringList{} << "";
        QTest::newRow("tLimitFut") << q << "tLimitFut"
                                   << QStringList{"account VARCHAR(12)", "seccode VARCHAR(12)", "currentbal DOUBLE"}
                                   << QStringList{} << "";
        QTest::newRow("tLimitMoney") << q << "tLimitMoney"
                                     << QStringList{"TAG VARCHAR(12)", "CURRCODE VARCHAR(12)", "openbal DOUBLE"}
                                     << QStringList{} << "";
        QTest::newRow("tPortfolio") << q << "tPortfolio"
                                    << QStringList{"ddate DATETIME", "curallassets DOUBLE", "change DOUBLE",
                                                   "firm VARCHAR(50)", "code VARCHAR(12)"}
                                    << QStringList{} << "";
        QTest::newRow("tPortfolioFut") << q << "tPortfolioFut"
                                       << QStringList{"account VARCHAR(12)", "openlimit DECIMAL(18,4)",
                                                      "varmargin DECIMAL(18,4)"}
                                       << QStringList{} << "";
        QTest::newRow("tQuikOrders") << q << "tQuikOrders"
                                     << QStringList{"orderdate DATE", "ordertime TIME", "stock VARCHAR(150)",
                                                    "Operation VARCHAR(10)", "balance INTEGER", "status VARCHAR(10)"}
                                     << QStringList{} << "";
        QTest::newRow("tTrades") << q << "tTrades"
                                 << QStringList{"tradetime TIME", "Price DOUBLE", "Quantity INTEGER", "volume DOUBLE"}
                                 << QStringList{} << "";

        QTest::newRow("FilledOrders") << a << "FilledOrders"
                                      << QStringList{"ID INTEGER", "Symbol VARCHAR(16)", "Order VARCHAR(50)",
                                                     "Fill Price DOUBLE", "Time Placed DATETIME",
                                                     "Time Filled DATETIME", "Position Number VARCHAR(50)",
                                                     "Order Number VARCHAR(50)", "Alert String VARCHAR(255)",
                                                     "SlippageBaseCode VARCHAR(1)"}
                                      << QStringList{"Last", "Time Canceled"} << "";
        QTest::newRow("ActiveOrders") << a << "ActiveOrders"
                                      << QStringList{"Last DOUBLE", "LastLong INTEGER", "Signal VARCHAR(20)",
                                                     "Position Number VARCHAR(16)", "Order Number VARCHAR(50)",
                                                     "hWindow INTEGER"}
                                      << QStringList{"Fill Price", "Slippage", "Time Filled"} << "";
        QTest::newRow("CanceledOrders") << a << "CanceledOrders"
                                        << QStringList{"Time Canceled DATETIME", "Order Number VARCHAR(16)",
                                                       "Canceled Number VARCHAR(16)", "AlertType INTEGER"}
                                        << QStringList{"Fill Price", "Last"} << "";
        QTest::newRow("OpenPositions") << a << "OpenPositions"
                                       << QStringList{"Entry Price DOUBLE", "EntryBaseCode VARCHAR(1)",
                                                      "Profit DOUBLE", "Entry Time DATETIME",
                                                      "Order Number VARCHAR(16)"}
                                       << QStringList{"Time Placed", "Fill Price"} << "";
    }

    void columns()
    {
        QFETCH(int, kind);
        QFETCH(QString, table);
        QFETCH(QStringList, present);
        QFETCH(QStringList, absent);
        QFETCH(QString, counter);

        Database db(QStringLiteral("t"));
        QString error;
        QVERIFY2(db.open(pathOf(schema::Kind(kind)), &error), qPrintable(error));
        const QMap<QString, ColumnInfo> cols = columnsOf(db, table);
        QVERIFY2(!cols.isEmpty(), qPrintable(table));
        for (const QString &p : present) {
            const int blank = p.lastIndexOf(QLatin1Char(' '));
            const QString name = p.left(blank), type = p.mid(blank + 1);
            QVERIFY2(cols.contains(name), qPrintable(table + QStringLiteral(": no column ") + name));
            QCOMPARE(cols[name].type, type);
        }
        for (const QString &n : absent)
            QVERIFY2(!cols.contains(n), qPrintable(table + QStringLiteral(": unexpected column ") + n));

        // Only the counters are keys: the alert ID is the platform's number.
        QStringList keys;
        for (auto it = cols.cbegin(); it != cols.cend(); ++it)
            if (it->primaryKey)
                keys << it.key();
        QCOMPARE(keys, counter.isEmpty() ? QStringList() : QStringList{counter});
    }

    void textIgnoresCase_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("table");
        QTest::addColumn<QString>("column");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("sought");
        const int q = int(schema::Kind::QuikData), a = int(schema::Kind::Alerts);
        QTest::newRow("tSecCode.SecCode") << q << "tSecCode" << "SecCode" << "sber" << "SBER";
        QTest::newRow("tClients.Code") << q << "tClients" << "Code" << "ab12" << "AB12";
        QTest::newRow("tWorkSpaces.workspace") << q << "tWorkSpaces" << "workspace" << "Trend.ORW" << "trend.orw";
        QTest::newRow("tLimitMoney.TAG") << q << "tLimitMoney" << "TAG" << "eqts" << "EQTS";
        QTest::newRow("FilledOrders.Symbol") << a << "FilledOrders" << "Symbol" << "gazp" << "GAZP";
        QTest::newRow("ActiveOrders.Order Number") << a << "ActiveOrders" << "Order Number" << "x1y" << "X1Y";
    }

    // Jet compares text without regard to letter case; so do our tables, for
    // plain comparisons, for <> and through the indexes.
    void textIgnoresCase()
    {
        QFETCH(int, kind);
        QFETCH(QString, table);
        QFETCH(QString, column);
        QFETCH(QString, stored);
        QFETCH(QString, sought);

        Database db(QStringLiteral("t"));
        QString error;
        QVERIFY2(db.open(pathOf(schema::Kind(kind)), &error), qPrintable(error));
        db.execute(QStringLiteral("INSERT INTO [%1] ([%2]) VALUES (\"%3\")").arg(table, column, stored));
        const int equal
            = scalar(db, QStringLiteral("SELECT count(*) FROM [%1] WHERE [%2] = \"%3\"").arg(table, column, sought))
                  .toInt();
        const int different
            = scalar(db, QStringLiteral("SELECT count(*) FROM [%1] WHERE [%2] <> \"%3\"").arg(table, column, sought))
                  .toInt();
        db.execute(QStringLiteral("DELETE FROM [%1]").arg(table));
        QCOMPARE(equal, 1);
        QCOMPARE(different, 0);
    }

    // The journal's counter never hands out a number twice, even after the
    // journal is emptied at a new connection; yes/no columns start as No.
    void countersAndDefaults()
    {
        Database db(QStringLiteral("t"));
        QString error;
        QVERIFY2(db.open(m_quikData, &error), qPrintable(error));
        db.execute(QStringLiteral("INSERT INTO tOrderNumber (trans_id, code) VALUES (1, \"c1\")"));
        db.execute(QStringLiteral("INSERT INTO tOrderNumber (trans_id, code) VALUES (2, \"c1\")"));
        QCOMPARE(scalar(db, QStringLiteral("SELECT max(id) FROM tOrderNumber")).toInt(), 2);
        db.execute(QStringLiteral("DELETE FROM tOrderNumber"));
        db.execute(QStringLiteral("INSERT INTO tOrderNumber (trans_id, code) VALUES (3, \"c1\")"));
        QCOMPARE(scalar(db, QStringLiteral("SELECT id FROM tOrderNumber WHERE trans_id = 3")).toInt(), 3);
        QCOMPARE(scalar(db, QStringLiteral("SELECT count(*) FROM tOrderNumber WHERE filled = False")).toInt(), 1);
        db.execute(QStringLiteral("DELETE FROM tOrderNumber"));

        db.execute(QStringLiteral("INSERT INTO tClients (Code) VALUES (\"d1\")"));
        const int notActive = scalar(db, QStringLiteral("SELECT count(*) FROM tClients WHERE [Active] = False AND "
                                                        "LongEnb = False AND ShortEnb = False AND MicexEnb = False AND "
                                                        "FortsEnb = False AND Ebs = False")).toInt();
        db.execute(QStringLiteral("DELETE FROM tClients"));
        QCOMPARE(notActive, 1);
    }

    // The per-terminal copies made by the options dialog's make-table
    // statement have the columns of the base tables, as do those made here.
    void terminalCopiesMatchBase()
    {
        Database db(QStringLiteral("t"));
        QString error;
        const QString path = freshPath();
        schema::createDatabaseFile(path, schema::Kind::QuikData);
        QVERIFY2(db.open(path, &error), qPrintable(error));
        schema::createTerminalTables(db, 5);
        db.execute(QStringLiteral("SELECT *  INTO tLimitStock7  FROM tLimitStock WHERE [firm]=\"\" and [code]=\"\" "));
        db.execute(QStringLiteral("SELECT *  INTO tQuikOrders7  FROM tQuikOrders WHERE [account]=\"\" and [code]=\"\""));
        for (const QString &base : schema::exportTables()) {
            const auto expected = columnsOf(db, base);
            const auto copy = columnsOf(db, base + QStringLiteral("5"));
            QCOMPARE(copy.keys(), expected.keys());
            for (auto it = expected.cbegin(); it != expected.cend(); ++it)
                QCOMPARE(copy[it.key()].type, it->type);
        }
        QCOMPARE(columnsOf(db, QStringLiteral("tLimitStock7")).keys(), columnsOf(db, QStringLiteral("tLimitStock")).keys());
        db.execute(QStringLiteral("INSERT INTO tLimitStock5 (code, seccode) VALUES (\"k1\", \"sber\")"));
        db.execute(QStringLiteral("INSERT INTO tQuikOrders7 (code, stock) VALUES (\"k1\", \"sber\")"));
        QCOMPARE(scalar(db, QStringLiteral("SELECT count(*) FROM tLimitStock5 WHERE seccode = \"SBER\"")).toInt(), 1);
        QCOMPARE(scalar(db, QStringLiteral("SELECT count(*) FROM tQuikOrders7 WHERE code = \"K1\"")).toInt(), 1);
    }

    void createRefusesExisting_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("QuikData over a text file") << int(schema::Kind::QuikData) << "text.sqlite" << true
                                                   << QByteArray("keep me\r\n");
        // SQLite would take an empty file for a new database.
        QTest::newRow("alerts over an empty file") << int(schema::Kind::Alerts) << "empty.sqlite" << true
                                                   << QByteArray();
        QTest::newRow("QuikData over a QuikData file") << int(schema::Kind::QuikData) << "" << true << QByteArray();
        QTest::newRow("an Access file") << int(schema::Kind::Alerts) << "Alerts11.mdb" << false << QByteArray();
    }

    void createRefusesExisting()
    {
        QFETCH(int, kind);
        QFETCH(QString, name);
        QFETCH(bool, exists);
        QFETCH(QByteArray, content);

        const QString path = name.isEmpty() ? m_quikData : m_tmp.filePath(name);
        if (exists && !name.isEmpty())
            writeFile(path, content);
        const QByteArray before = exists ? readAll(path) : QByteArray();

        QString message;
        try {
            schema::createDatabaseFile(path, schema::Kind(kind));
        } catch (const KorvinaError &e) {
            message = e.message();
        }
        QVERIFY2(message.contains(path), qPrintable(message));
        QCOMPARE(QFileInfo::exists(path), exists);
        if (exists)
            QCOMPARE(readAll(path), before);
        QVERIFY(!QFileInfo::exists(path + QStringLiteral("-wal")));
    }

    // The demo workspace opens as the robot opens it, and its settings point
    // into it; a second run changes nothing.
    void sampleWorkspace()
    {
        const QString dir = m_tmp.filePath(QStringLiteral("demo space"));
        const Run r = runTool({QStringLiteral("sample"), dir});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        QVERIFY(r.out.contains(QStringLiteral("dbQuikData.sqlite")));

        Settings s;
        s.setFileName(dir + QStringLiteral("/Korvina.ini"));
        s.LoadSettings();
        QVERIFY(s.chConnect);
        QCOMPARE(s.rgpSingleMulti, 0);
        const QString root = QDir(dir).absolutePath() + QLatin1Char('/');
        QCOMPARE(QDir::fromNativeSeparators(s.edtQuikData), root + QStringLiteral("Data/dbQuikData.sqlite"));
        QCOMPARE(QDir::fromNativeSeparators(s.edtAlerts), root + QStringLiteral("Omega/Alerts11.sqlite"));
        for (const QString &folder : {s.edtdirTT, s.edtDirSmartTrade}) {
            QVERIFY2(QDir::fromNativeSeparators(folder).startsWith(root), qPrintable(folder));
            QVERIFY2(QFileInfo(folder).isDir(), qPrintable(folder));
        }
        QVERIFY(QDir::fromNativeSeparators(s.edtInfoLog).startsWith(root));
        QCOMPARE(QFileInfo(s.edtInfoLog).size(), 0);
        QVERIFY(QFileInfo(s.edtInfoLog).isFile());

        Database alerts(QStringLiteral("a")), quikData(QStringLiteral("q"));
        QString error;
        QVERIFY2(alerts.open(s.edtAlerts, &error), qPrintable(error));
        QVERIFY2(quikData.open(s.edtQuikData, &error), qPrintable(error));
        for (const char *t : {"FilledOrders", "ActiveOrders", "CanceledOrders", "OpenPositions"})
            QCOMPARE(scalar(alerts, QStringLiteral("SELECT count(*) FROM %1").arg(QLatin1String(t))).toInt(), 0);
        QVERIFY(scalar(quikData, QStringLiteral("SELECT count(*) FROM tSecCode WHERE Class_Code = \"SPBFUT\"")).toInt() >= 1);
        QVERIFY(scalar(quikData, QStringLiteral("SELECT count(*) FROM tClients")).toInt() >= 4);
        for (int n : {1, 2})
            for (const QString &base : schema::exportTables())
                QVERIFY2(quikData.hasTable(base + QString::number(n)), qPrintable(base + QString::number(n)));
        alerts.close();
        quikData.close();

        const QByteArray ini = readAll(s.fileName());
        const QByteArray db = readAll(s.edtQuikData);
        const Run again = runTool({QStringLiteral("sample"), dir});
        QCOMPARE(again.code, 1);
        QVERIFY2(again.err.contains(QStringLiteral("Korvina.ini")), qPrintable(again.err));
        QCOMPARE(readAll(s.fileName()), ini);
        QCOMPARE(readAll(s.edtQuikData), db);
    }

    // What the robot joins on holds together in the demo data.
    void sampleContentHoldsTogether()
    {
        const QString dir = m_tmp.filePath(QStringLiteral("demo2"));
        const Run r = runTool({QStringLiteral("sample"), dir});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        Settings s;
        s.setFileName(dir + QStringLiteral("/Korvina.ini"));
        s.LoadSettings();
        Database db(QStringLiteral("q"));
        QString error;
        QVERIFY2(db.open(s.edtQuikData, &error), qPrintable(error));

        // Every client's terminal and every group member exist.
        QCOMPARE(scalar(db, "SELECT count(*) FROM tClients WHERE id_quik NOT IN (SELECT id_quik FROM tQuik)").toInt(), 0);
        QCOMPARE(scalar(db, "SELECT count(*) FROM tGroupClients WHERE id_client NOT IN (SELECT id FROM tClients) "
                            "OR id_group NOT IN (SELECT id_group FROM tGroup)").toInt(), 0);
        QCOMPARE(scalar(db, "SELECT count(*) FROM tGroup").toInt(), 2);
        QCOMPARE(scalar(db, "SELECT count(*) FROM tQuik WHERE active = True").toInt(), 2);

        // Every security of the directory has quotes of the same class and step.
        QCOMPARE(scalar(db, "SELECT count(*) FROM tSecCode s LEFT JOIN tParam p ON s.SecCode = p.seccode "
                            "WHERE p.seccode IS NULL OR p.class_code <> s.Class_Code OR p.MinMov <> s.MinMov "
                            "OR p.Digits <> s.Digits").toInt(), 0);
        QVERIFY(scalar(db, "SELECT count(*) FROM tSecCode WHERE Ticker = \"SBER\" AND Traded = True").toInt() == 1);

        // The SINGLE account of the settings has its portfolio in the base
        // tables; every other client has one in its terminal's tables, and its
        // futures limits are keyed by its FORTS account.
        QCOMPARE(scalar(db, QStringLiteral("SELECT count(*) FROM tPortfolio WHERE code = \"%1\" AND curallassets > 0")
                                .arg(s.edtCode)).toInt(), 1);
        QCOMPARE(scalar(db, QStringLiteral("SELECT count(*) FROM tPortfolioFut WHERE account = \"%1\"")
                                .arg(s.edtAccountFORTS)).toInt(), 1);
        QSqlQuery clients = db.exec(QStringLiteral("SELECT Code, AccountFORTS, id_quik FROM tClients WHERE Code <> \"%1\"")
                                        .arg(s.edtCode));
        QList<QStringList> rows;
        while (clients.next())
            rows << QStringList{clients.value(0).toString(), clients.value(1).toString(), clients.value(2).toString()};
        QVERIFY(rows.size() >= 4);
        for (const QStringList &c : rows)
            QCOMPARE(scalar(db, QStringLiteral("SELECT count(*) FROM tPortfolio%1 WHERE code = \"%2\" AND curallassets > 0")
                                    .arg(c[2], c[0])).toInt(), 1);
        for (int n : {1, 2}) {
            QVERIFY(scalar(db, QStringLiteral("SELECT count(*) FROM tLimitFut%1").arg(n)).toInt() > 0);
            QCOMPARE(scalar(db, QStringLiteral("SELECT count(*) FROM tLimitFut%1 WHERE account NOT IN "
                                               "(SELECT AccountFORTS FROM tClients WHERE id_quik = %1)").arg(n))
                         .toInt(), 0);
        }
        // Money limits carry the settlement tag that the positions view leaves out.
        QVERIFY(scalar(db, "SELECT count(*) FROM tLimitMoney1 WHERE TAG = \"EQTS\"").toInt() > 0);
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("args"); // @new: a path that does not exist, @old: an existing file
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("stdoutHas");
        QTest::addColumn<QString>("stderrHas");
        QTest::addColumn<bool>("created"); // @new exists afterwards

        QTest::newRow("--help") << QStringList{"--help"} << 0 << "create quikdata FILE" << "" << false;
        QTest::newRow("create --help") << QStringList{"create", "--help"} << 0 << "Usage: korvina-db create" << ""
                                       << false;
        QTest::newRow("sample --help") << QStringList{"sample", "--help"} << 0 << "EMPTY" << "" << false;
        QTest::newRow("no command") << QStringList{} << 2 << "" << "--help" << false;
        QTest::newRow("unknown command") << QStringList{"frobnicate", "@new"} << 2 << "" << "frobnicate" << false;
        QTest::newRow("unknown option") << QStringList{"create", "--force", "quikdata", "@new"} << 2 << "" << "force"
                                        << false;
        QTest::newRow("create without a file") << QStringList{"create", "quikdata"} << 2 << "" << "FILE" << false;
        QTest::newRow("create of an unknown kind") << QStringList{"create", "tables", "@new"} << 2 << "" << "tables"
                                                   << false;
        QTest::newRow("sample without a folder") << QStringList{"sample"} << 2 << "" << "DIR" << false;
        // The settings file names its folders in Windows-1251, which has
        // Cyrillic letters and the euro sign but no Japanese.
        QTest::newRow("sample into a folder Windows-1251 cannot name")
            << QStringList{"sample", "@new/Демо €日本"} << 1 << "" << "(日本)" << false;
        QTest::newRow("tables --help") << QStringList{"tables", "--help"} << 0 << "Usage: korvina-db tables" << "" << false;
        QTest::newRow("tables without a file") << QStringList{"tables"} << 2 << "" << "QuikData" << false;
        QTest::newRow("tables of a missing file") << QStringList{"tables", "@new"} << 1 << "" << "@new" << false;
        QTest::newRow("tables of a file that is no database") << QStringList{"tables", "@old"} << 1 << "" << "@old"
                                                              << false;
        QTest::newRow("create over a file") << QStringList{"create", "quikdata", "@old"} << 1 << "" << "@old"
                                            << false;
        QTest::newRow("create alerts") << QStringList{"create", "alerts", "@new"} << 0 << "@new" << "" << true;
    }

    void commandLine()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, stdoutHas);
        QFETCH(QString, stderrHas);
        QFETCH(bool, created);

        const QString fresh = freshPath();
        const QString old = freshPath();
        writeFile(old, "keep me");
        auto fill = [&](QString s) {
            return s.replace(QStringLiteral("@new"), fresh).replace(QStringLiteral("@old"), old);
        };
        for (QString &a : args)
            a = fill(a);

        const Run r = runTool(args);
        QVERIFY2(r.code == code, qPrintable(QStringLiteral("exit %1, stderr: %2").arg(r.code).arg(r.err)));
        QVERIFY2(r.out.contains(fill(stdoutHas)), qPrintable(r.out));
        QVERIFY2(r.err.contains(fill(stderrHas)), qPrintable(r.err));
        if (code == 0)
            QVERIFY(r.err.isEmpty());
        QCOMPARE(readAll(old), QByteArray("keep me"));
        QCOMPARE(QFileInfo::exists(fresh), created);
        if (created) {
            Database db(QStringLiteral("t"));
            QString error;
            QVERIFY2(db.open(fresh, &error), qPrintable(error));
            QVERIFY(db.hasTable(QStringLiteral("FilledOrders")));
        }
    }

    void historyExport_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("orders"); // id_order of the rows written, in order
        QTest::addColumn<QString>("stderrHas");
        QTest::newRow("everything") << QStringList{} << 0 << QStringList{"7", "8", "9"} << "";
        QTest::newRow("one day") << QStringList{"--from", "2026-12-09", "--to", "2026-12-09"} << 0 << QStringList{"8"} << "";
        QTest::newRow("from a day on") << QStringList{"--from", "2026-12-09"} << 0 << QStringList{"8", "9"} << "";
        QTest::newRow("into a file") << QStringList{"--out", "@csv"} << 0 << QStringList{"7", "8", "9"} << "Wrote 3 transactions";
        QTest::newRow("a date that is none") << QStringList{"--from", "9.12.2026"} << 2 << QStringList{} << "YYYY-MM-DD";
        QTest::newRow("the wrong way round") << QStringList{"--from", "2026-12-10", "--to", "2026-12-09"} << 2 << QStringList{}
                                             << "before";
        QTest::newRow("--force without --out") << QStringList{"--force"} << 2 << QStringList{} << "--force goes with --out";
    }

    // The history as CSV: what each row holds, quoting, the day filter.
    void historyExport()
    {
        QFETCH(QStringList, options);
        QFETCH(int, code);
        QFETCH(QStringList, orders);
        QFETCH(QString, stderrHas);
        const QString file = freshPath();
        schema::createDatabaseFile(file, schema::Kind::QuikData);
        {
            Database db(QStringLiteral("h"));
            QString error;
            QVERIFY2(db.open(file, &error), qPrintable(error));
            const char *rows[][4] = {{"2026-12-08T23:59:59.000", "7", "TRANS_ID =0;ACTION=NEW_ORDER;", "Ввод, \"принят\""},
                                     {"2026-12-09T10:00:00.000", "8", "TRANS_ID =0;ACTION=NEW_ORDER;", "ok"},
                                     {"2026-12-10T00:00:00.000", "9", "TRANS_ID =1;ACTION=NEW_ORDER;", "line\nbreak"}};
            for (const auto &r : rows)
                db.native(QStringLiteral("INSERT INTO tOrderHistory (session, sent_at, trans_id, trans_text, id_order, code, status, "
                                         "description) VALUES (1, :t, 0, :text, :o, '111', 3, :d)"),
                          {{QStringLiteral("t"), QString::fromUtf8(r[0])}, {QStringLiteral("o"), QString::fromUtf8(r[1]).toInt()},
                           {QStringLiteral("text"), QString::fromUtf8(r[2])}, {QStringLiteral("d"), QString::fromUtf8(r[3])}})
                    .finish();
        }
        const QString csv = freshPath(QStringLiteral(".csv"));
        for (QString &o : options)
            o.replace(QStringLiteral("@csv"), csv);
        const Run r = runTool(QStringList{QStringLiteral("history"), file} + options);
        QVERIFY2(r.code == code, qPrintable(QStringLiteral("exit %1, stderr: %2").arg(r.code).arg(r.err)));
        QVERIFY2(r.err.contains(stderrHas), qPrintable(r.err));
        if (code != 0)
            return;
        const QByteArray bytes = options.contains(QStringLiteral("--out")) ? readAll(csv) : r.rawOut;
        QVERIFY(bytes.startsWith("\xEF\xBB\xBFid,session,sent_at,trans_id,id_order,code,terminal_file,trans_text,status,"));
        QVERIFY(bytes.endsWith("\r\n"));
        // A line break inside a quoted field belongs to the field.
        QStringList got;
        static const QRegularExpression row(QStringLiteral("\r\n(\\d+),1,([-0-9 :]+),0,(\\d+),111,"));
        auto it = row.globalMatch(QString::fromUtf8(bytes));
        while (it.hasNext())
            got << it.next().captured(3);
        QCOMPARE(got, orders);
        if (orders.contains(QStringLiteral("7"))) {
            QVERIFY(bytes.contains(",2026-12-08 23:59:59,"));
            QVERIFY(bytes.contains(QStringLiteral(",\"Ввод, \"\"принят\"\"\",").toUtf8()));
        }
    }

    // Only the time columns are times: a text that looks like one keeps
    // every character.
    void historyTimesAndTexts()
    {
        const QString file = freshPath();
        schema::createDatabaseFile(file, schema::Kind::QuikData);
        {
            Database db(QStringLiteral("h"));
            QString error;
            QVERIFY2(db.open(file, &error), qPrintable(error));
            db.native(QStringLiteral("INSERT INTO tOrderHistory (session, sent_at, trans_id, trans_text, id_order, code, status, trans_name, "
                                     "description, result_at) VALUES (4, '2026-12-08T23:59:59.123', 5, :text, 6, '111', 3, :name, :d, "
                                     "'2026-12-09T00:00:01.900')"),
                      {{QStringLiteral("text"), QStringLiteral("2026-12-08T10:00:00.000 TRANS_ID =5;ACTION=NEW_ORDER;")},
                       {QStringLiteral("name"), QStringLiteral("2026-12-08T10:00:00Z")},
                       {QStringLiteral("d"), QStringLiteral("2026-12-08T10:00:00+03:00 отказ")}})
                .finish();
        }
        const Run r = runTool({QStringLiteral("history"), file});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        const QStringList lines = r.out.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[1], QStringLiteral("1,4,2026-12-08 23:59:59,5,6,111,,2026-12-08T10:00:00.000 TRANS_ID =5;ACTION=NEW_ORDER;,3,"
                                          "2026-12-08T10:00:00Z,2026-12-08T10:00:00+03:00 отказ,,2026-12-09 00:00:01,"));
    }

    void historyOut_data()
    {
        QTest::addColumn<QString>("before"); // what the path is before: none, file, link, dangling
        QTest::addColumn<bool>("force");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("stderrHas");
        QTest::newRow("a new file") << "none" << false << 0 << "Wrote 1 transactions";
        QTest::newRow("a file there") << "file" << false << 1 << "уже существует";
        QTest::newRow("a file there, --force") << "file" << true << 0 << "Wrote 1 transactions";
        QTest::newRow("a link to a file") << "link" << false << 1 << "символическая ссылка";
        QTest::newRow("a link to a file, --force") << "link" << true << 1 << "символическая ссылка";
        QTest::newRow("a link to nothing") << "dangling" << false << 1 << "символическая ссылка";
        QTest::newRow("a link to nothing, --force") << "dangling" << true << 1 << "символическая ссылка";
    }

    // --out never overwrites unless told, never writes through a link, and
    // writes a file its owner alone can read.
    void historyOut()
    {
        QFETCH(QString, before);
        QFETCH(bool, force);
        QFETCH(int, code);
        QFETCH(QString, stderrHas);
        const QString file = freshPath();
        schema::createDatabaseFile(file, schema::Kind::QuikData);
        execOnDatabaseFile(file, QStringLiteral("INSERT INTO tOrderHistory (session, sent_at, trans_id, trans_text, id_order, code) "
                                                "VALUES (1, '2026-12-08T10:00:00.000', 0, 'TRANS_ID =0;', 7, '111')"));
        QTemporaryDir dir;
        const QString out = dir.filePath(QStringLiteral("history.csv"));
        const QString target = dir.filePath(QStringLiteral("elsewhere.txt"));
        const QByteArray old("kept as it was\n");
        if (before == QLatin1String("file")) {
            writeFile(out, old);
            QFile(out).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther);
        }
        if (before == QLatin1String("link"))
            writeFile(target, old);
        if (before == QLatin1String("link") || before == QLatin1String("dangling"))
            QVERIFY(QFile::link(target, out));

        QStringList args{QStringLiteral("history"), file, QStringLiteral("--out"), out};
        if (force)
            args << QStringLiteral("--force");
        const Run r = runTool(args);
        QVERIFY2(r.code == code, qPrintable(QStringLiteral("exit %1, stderr: %2").arg(r.code).arg(r.err)));
        QVERIFY2(r.err.contains(stderrHas), qPrintable(r.err));
        // No part-written file is left beside it.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).filter(QStringLiteral(".history")), QStringList());
        if (before == QLatin1String("link") || before == QLatin1String("dangling")) {
            QVERIFY(QFileInfo(out).isSymLink());
            QCOMPARE(readAll(target), before == QLatin1String("link") ? old : QByteArray("<missing>"));
            return;
        }
        if (code != 0) {
            QCOMPARE(readAll(out), old);
            return;
        }
        QVERIFY(readAll(out).startsWith("\xEF\xBB\xBFid,session,sent_at,"));
        QVERIFY(readAll(out).contains(",7,111,"));
        QCOMPARE(QFileInfo(out).permissions() & (QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther
                                                 | QFileDevice::WriteOther | QFileDevice::ExeOwner),
                 QFileDevice::Permissions());
        QVERIFY(QFileInfo(out).permissions().testFlag(QFileDevice::ReadOwner));
    }

    // A QuikData made by 'create quikdata', terminals listed later: MULTI
    // mode cannot connect until the command has made their tables.
    void tablesForTerminalsAddedLater()
    {
        const QString file = freshPath();
        QCOMPARE(runTool({QStringLiteral("create"), QStringLiteral("quikdata"), file}).code, 0);
        {
            Database db(QStringLiteral("t"));
            QString error;
            QVERIFY2(db.open(file, &error), qPrintable(error));
            db.execute(QStringLiteral("INSERT INTO tQuik (id_quik, active, quik) VALUES (1, True, \"QUIK1\")"));
            db.execute(QStringLiteral("INSERT INTO tQuik (id_quik, active, quik) VALUES (2, False, \"QUIK2\")"));
        }
        Settings settings;
        settings.resetToDefaults();
        settings.edtAlerts = m_alerts;
        settings.edtQuikData = file;
        settings.rgpSingleMulti = 1;
        auto connects = [&settings](QString *failure) {
            TDatMod data;
            Robot robot(settings, data);
            robot.setViewShown(data.qPortfolioAll, true); // as the window's portfolio page
            try {
                return robot.ConnectDatabases() && data.qPortfolioAll.Active();
            } catch (const KorvinaError &e) {
                *failure = e.message();
            }
            return false;
        };
        QString failure;
        QVERIFY(!connects(&failure));
        QVERIFY2(failure.contains(QLatin1String("no such table")), qPrintable(failure));

        const QString opening = QStringLiteral("Создаю таблицы лимитов (акции, фьючерсы, деньги), портфелей для квиков ... ");
        const QString closing = QStringLiteral("Создание таблиц успешно завершено ... ОК ");
        const Run first = runTool({QStringLiteral("tables"), file});
        QVERIFY2(first.code == 0, qPrintable(first.err));
        QVERIFY(first.err.isEmpty());
        QStringList lines = first.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[0].endsWith(QLatin1Char(' ') + opening), qPrintable(lines[0]));
        QVERIFY2(lines[1].endsWith(QLatin1Char(' ') + closing), qPrintable(lines[1]));
        failure.clear();
        QVERIFY2(connects(&failure), qPrintable(failure));

        const Run again = runTool({QStringLiteral("tables"), file});
        QCOMPARE(again.code, 0);
        lines = again.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 16);
        QCOMPARE(lines.filter(QStringLiteral(" Сообщение: ")).size(), 14);
        QVERIFY(lines.last().endsWith(closing));
    }

    void historyOfAnOlderQuikData()
    {
        // A QuikData made before the history existed has no table to export.
        const QString file = freshPath();
        {
            Database db(QStringLiteral("o"));
            QString error;
            schema::createDatabaseFile(file, schema::Kind::QuikData);
            QVERIFY2(db.open(file, &error), qPrintable(error));
            db.native(QStringLiteral("DROP TABLE tOrderHistory")).finish();
        }
        const Run r = runTool({QStringLiteral("history"), file});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains(QStringLiteral("tOrderHistory")), qPrintable(r.err));
        // The robot adds it at its first connection.
        Database db(QStringLiteral("o2"));
        QString error;
        QVERIFY2(db.open(file, &error), qPrintable(error));
        QVERIFY(schema::ensureRobotTables(db));
        QVERIFY(db.hasTable(QStringLiteral("tOrderHistory")));
        QVERIFY(db.hasTable(QStringLiteral("tRobotState")));
        QVERIFY(!schema::ensureRobotTables(db));
    }

    // reconcile: the CSV of the book against the terminals, exit code 1 on a
    // difference, and an --out that never overwrites unless told and never
    // follows a link.
    void reconcileCsvAndExitCode()
    {
        const QString file = freshPath();
        QCOMPARE(runTool({QStringLiteral("create"), QStringLiteral("quikdata"), file}).code, 0);
        execOnDatabase(file, QStringLiteral("INSERT INTO tSecCode (Ticker, SecCode, Class_Code, LotSize) VALUES ('SBER', 'SBER', 'TQBR', 10)"));
        execOnDatabase(file, QStringLiteral("INSERT INTO tClientOpenPositions (code, symbol, \"Position\", quantity) VALUES ('111', 'SBER', 'Long', 5)"));
        execOnDatabase(file, QStringLiteral("INSERT INTO tLimitStock (code, seccode, currentbal) VALUES ('111', 'SBER', 50)"));
        Run r = runTool({QStringLiteral("reconcile"), file});
        QCOMPARE(r.code, 0);
        QVERIFY(r.rawOut.startsWith("\xEF\xBB\xBF"));
        QString text = r.out;
        if (text.startsWith(QChar(0xFEFF)))
            text.remove(0, 1);
        QCOMPARE(text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts),
                 (QStringList{QStringLiteral("quikname,code,seccode,ticker,lots,units,currentbal,diff"), QStringLiteral("Quik,111,SBER,SBER,5,50,50,0")}));

        execOnDatabase(file, QStringLiteral("UPDATE tLimitStock SET currentbal = 30"));
        r = runTool({QStringLiteral("reconcile"), file});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.out.contains(QStringLiteral("Quik,111,SBER,SBER,5,50,30,-20")), qPrintable(r.out));

        const QString csv = m_tmp.filePath(QStringLiteral("reconcile.csv"));
        QCOMPARE(runTool({QStringLiteral("reconcile"), file, QStringLiteral("--out"), csv}).code, 1);
        QCOMPARE(QFileInfo(csv).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteOther), QFileDevice::Permissions());
        const QByteArray written = readFile(csv);
        QVERIFY(written.contains("Quik,111,SBER,SBER,5,50,30,-20"));
        // Not again over it, unless --force.
        r = runTool({QStringLiteral("reconcile"), file, QStringLiteral("--out"), csv});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains(QStringLiteral("exists")), qPrintable(r.err));
        // A link is replaced, never followed.
        const QString target = m_tmp.filePath(QStringLiteral("target.txt"));
        writeFile(target, "keep");
        const QString link = m_tmp.filePath(QStringLiteral("link.csv"));
        QVERIFY(QFile::link(target, link));
        QVERIFY(runTool({QStringLiteral("reconcile"), file, QStringLiteral("--out"), link}).err.contains(QStringLiteral("exists")));
        QCOMPARE(runTool({QStringLiteral("reconcile"), file, QStringLiteral("--out"), link, QStringLiteral("--force")}).code, 1);
        QCOMPARE(readFile(target), QByteArray("keep"));
        QVERIFY(!QFileInfo(link).isSymLink());
        QVERIFY(readFile(link).contains("-20"));
        QCOMPARE(runTool({QStringLiteral("reconcile")}).code, 2);
    }

    // report: a PDF of the day, two pages of charts and the tables.
    void reportPdf()
    {
        const QString file = freshPath();
        QCOMPARE(runTool({QStringLiteral("create"), QStringLiteral("quikdata"), file}).code, 0);
        for (int i = 0; i < 35; ++i)
            execOnDatabase(file, QStringLiteral("INSERT INTO tOrderHistory (session, sent_at, trans_id, id_order, filled, code, status, result_at) "
                                                "VALUES (1, '2024-03-15T10:00:00.000', :t, 0, 0, :c, 3, '2024-03-15T10:00:00.200')"),
                           {{QStringLiteral("t"), i + 1}, {QStringLiteral("c"), QStringLiteral("C%1").arg(i, 2, 10, QLatin1Char('0'))}});
        const QString pdf = m_tmp.filePath(QStringLiteral("day.pdf"));
        const Run r = runTool({QStringLiteral("report"), file, QStringLiteral("--date"), QStringLiteral("2024-03-15"), QStringLiteral("--out"), pdf});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        const QByteArray bytes = readFile(pdf);
        QVERIFY(bytes.startsWith("%PDF"));
        // Charts 2, strategies 1 (the operator's and the total), clients 2 (35 rows, 30 a page).
        const int pages = int(QString::fromLatin1(bytes).count(QRegularExpression(QStringLiteral("/Type\\s*/Page(?!s)"))));
        QCOMPARE(pages, 5);
        QVERIFY2(r.err.contains(QStringLiteral("35 transactions, 5 pages")), qPrintable(r.err));
        QCOMPARE(runTool({QStringLiteral("report"), file, QStringLiteral("--date"), QStringLiteral("2024-03-15"), QStringLiteral("--out"), pdf}).code, 1);
        QCOMPARE(runTool({QStringLiteral("report"), file, QStringLiteral("--out"), pdf}).code, 2);
    }
};

QTEST_GUILESS_MAIN(TestKorvinaDb)
#include "tst_korvinadb.moc"
