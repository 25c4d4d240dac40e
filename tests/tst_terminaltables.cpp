// The per-terminal copies of the export tables: made for every listed
// terminal from the base tables as they are, one log line per statement that
// fails, nothing lost when run again.

#include "config/korvinaerror.h"
#include "config/textcodec.h"
#include "data/schema.h"
#include "data/terminaltables.h"
#include "tradefixture.h"

#include <QFile>
#include <QSqlQuery>
#include <QtTest>

namespace {

const QString kOpening = QStringLiteral("Создаю таблицы лимитов (акции, фьючерсы, деньги), портфелей для квиков ... ");
const QString kClosing = QStringLiteral("Создание таблиц успешно завершено ... ОК ");
const QString kFailure = QStringLiteral("Сообщение: ");

// The copies of one terminal, in the order they are made.
QStringList copiesOf(int terminal)
{
    QStringList names;
    for (const char *base : {"tLimitStock", "tLimitFut", "tPortfolio", "tPortfolioFut", "tLimitMoney", "tQuikOrders", "tTrades"})
        names << QLatin1String(base) + QString::number(terminal);
    return names;
}

QStringList columnsOf(Database &db, const QString &table)
{
    QStringList out;
    QSqlQuery q = db.native(QStringLiteral("PRAGMA table_info(\"%1\")").arg(table));
    while (q.next())
        out << q.value(1).toString() + QLatin1Char(' ') + q.value(2).toString();
    return out;
}

int rowsOf(Database &db, const QString &table)
{
    QSqlQuery q = db.native(QStringLiteral("SELECT count(*) FROM \"%1\"").arg(table));
    return q.next() ? q.value(0).toInt() : -1;
}

// Terminals listed without their tables, as the operator adds them.
void listTerminals(TradeFixture &f, const QList<QPair<int, bool>> &terminals)
{
    for (const auto &[id, active] : terminals)
        f.sql(QStringLiteral("INSERT INTO tQuik (id_quik, active, quik, path) VALUES (:n, :a, :q, '')"),
              {{QStringLiteral("n"), id}, {QStringLiteral("a"), active}, {QStringLiteral("q"), QStringLiteral("QUIK%1").arg(id)}});
}

} // namespace

class TestTerminalTables : public QObject {
    Q_OBJECT

private slots:
    void firstRunMakesEveryCopy();
    void secondRunKeepsTablesAndRows();
    void copiesTakeTheBaseTablesAsTheyAre();
    void missingBaseTable();
    void unreadableTerminalList();
};

// Terminal 2 is not active: its tables are made all the same.
void TestTerminalTables::firstRunMakesEveryCopy()
{
    TradeFixture f;
    listTerminals(f, {{1, true}, {2, false}});
    // Rows of the SINGLE terminal stay in the base tables.
    f.addPortfolio(QString(), QStringLiteral("111"), 1000);
    f.addLimitStock(QString(), QStringLiteral("111"), QStringLiteral("SBER"), 1, 1);

    CreateTerminalTables(f.dm);

    QCOMPARE(f.ws.messages(), (QStringList{kOpening, kClosing}));
    Database &db = f.dm.conQuikData;
    const QStringList copies = copiesOf(1) + copiesOf(2);
    QCOMPARE(copies.size(), 14);
    for (const QString &table : copies) {
        QVERIFY2(db.hasTable(table), qPrintable(table));
        QCOMPARE(rowsOf(db, table), 0);
        const QString base = table.chopped(1);
        QCOMPARE(columnsOf(db, table), columnsOf(db, base));
    }
    QCOMPARE(rowsOf(db, QStringLiteral("tPortfolio")), 1);
    // The lines are in the log file too.
    QFile log(f.ws.path(QStringLiteral("Korvina.log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(log.readAll().endsWith(cp1251::encode(kClosing + QStringLiteral("\r\n"))));
}

void TestTerminalTables::secondRunKeepsTablesAndRows()
{
    TradeFixture f;
    listTerminals(f, {{1, true}, {2, true}});
    CreateTerminalTables(f.dm);
    f.addPortfolio(QStringLiteral("1"), QStringLiteral("10001"), 5000);
    f.addLimitMoney(QStringLiteral("2"), QStringLiteral("20001"), QStringLiteral("EQTV"), QStringLiteral("SUR"), 1, 2);
    const int before = f.ws.messages().size();

    CreateTerminalTables(f.dm);

    const QStringList lines = f.ws.messages().mid(before);
    QCOMPARE(lines.size(), 16);
    QCOMPARE(lines.first(), kOpening);
    QCOMPARE(lines.last(), kClosing);
    // One line per statement, in the order the statements run, each naming
    // the table that is there already.
    const QStringList copies = copiesOf(1) + copiesOf(2);
    for (int i = 0; i < copies.size(); ++i) {
        const QString &line = lines[i + 1];
        QVERIFY2(line.startsWith(kFailure) && line.endsWith(QLatin1Char('.')), qPrintable(line));
        QVERIFY2(line.contains(copies[i] + QLatin1Char('"')) && line.contains(QLatin1String("already exists")), qPrintable(line));
    }
    QCOMPARE(rowsOf(f.dm.conQuikData, QStringLiteral("tPortfolio1")), 1);
    QCOMPARE(rowsOf(f.dm.conQuikData, QStringLiteral("tLimitMoney2")), 1);
}

// A terminal's export may have added columns to a base table: the copy has
// them. Base rows whose key columns hold the empty text are copied with it.
void TestTerminalTables::copiesTakeTheBaseTablesAsTheyAre()
{
    TradeFixture f;
    listTerminals(f, {{7, true}});
    execOnDatabase(f.ws.quikDataPath(), QStringLiteral("ALTER TABLE tPortfolio ADD COLUMN \"limitkind\" VARCHAR(10)"));
    execOnDatabase(f.ws.quikDataPath(), QStringLiteral("ALTER TABLE tTrades ADD COLUMN \"tradenum\" DOUBLE"));
    f.sql(QStringLiteral("INSERT INTO tLimitStock (firm, code, seccode) VALUES ('', '', 'EMPTYKEYS'), ('F', '', 'FIRM'), ('', 'C', 'CODE')"));

    CreateTerminalTables(f.dm);

    QCOMPARE(f.ws.messages(), (QStringList{kOpening, kClosing}));
    Database &db = f.dm.conQuikData;
    const QStringList portfolio = columnsOf(db, QStringLiteral("tPortfolio7"));
    QVERIFY2(portfolio.contains(QStringLiteral("limitkind VARCHAR(10)")), qPrintable(portfolio.join(QLatin1String(", "))));
    QCOMPARE(portfolio, columnsOf(db, QStringLiteral("tPortfolio")));
    QCOMPARE(columnsOf(db, QStringLiteral("tTrades7")), columnsOf(db, QStringLiteral("tTrades")));
    QSqlQuery q = db.native(QStringLiteral("SELECT seccode FROM tLimitStock7"));
    QStringList copied;
    while (q.next())
        copied << q.value(0).toString();
    QCOMPARE(copied, QStringList{QStringLiteral("EMPTYKEYS")});
    // The copy takes rows as the terminal writes them, extra column included.
    f.sql(QStringLiteral("INSERT INTO tTrades7 (account, code, tradenum) VALUES ('A', 'C', 42)"));
    QCOMPARE(rowsOf(db, QStringLiteral("tTrades7")), 1);
}

// One line per terminal for the missing base table; every other copy is made.
void TestTerminalTables::missingBaseTable()
{
    TradeFixture f;
    listTerminals(f, {{1, true}, {3, true}});
    f.sql(QStringLiteral("DROP TABLE tLimitMoney"));

    CreateTerminalTables(f.dm);

    const QStringList lines = f.ws.messages();
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.first(), kOpening);
    QCOMPARE(lines.last(), kClosing);
    for (const QString &line : lines.mid(1, 2))
        QCOMPARE(line, kFailure + QStringLiteral("no such table: tLimitMoney."));
    for (int terminal : {1, 3})
        for (const QString &table : copiesOf(terminal))
            QCOMPARE(f.dm.conQuikData.hasTable(table), !table.startsWith(QLatin1String("tLimitMoney")));
}

// Nothing is made; the failure goes to the caller (the window's error box).
void TestTerminalTables::unreadableTerminalList()
{
    TradeFixture f;
    f.sql(QStringLiteral("DROP TABLE tQuik"));
    QString message;
    try {
        CreateTerminalTables(f.dm);
    } catch (const KorvinaError &e) {
        message = e.message();
    }
    QVERIFY2(message.contains(QLatin1String("tQuik")), qPrintable(message));
    QCOMPARE(f.ws.messages(), QStringList{kOpening});
    QCOMPARE(f.dm.conQuikData.tables().filter(QRegularExpression(QStringLiteral("\\d$"))), QStringList());
}

QTEST_GUILESS_MAIN(TestTerminalTables)
#include "tst_terminaltables.moc"
