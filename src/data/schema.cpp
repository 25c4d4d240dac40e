#include "schema.h"

#include "config/korvinaerror.h"
#include "database.h"
#include "databaseaddress.h"

#include <QRegularExpression>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>

namespace schema {

namespace {

const QString kInteger = QStringLiteral("INTEGER");
const QString kCounter = QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT");
// A key numbered by the engine without a counter of its own: for a table
// whose rows are only ever added (no number is taken again while the rows
// stay), one write less per row.
const QString kRowKey = QStringLiteral("INTEGER PRIMARY KEY");
const QString kSmall = QStringLiteral("SMALLINT");
const QString kFloat = QStringLiteral("DOUBLE");
const QString kDecimal = QStringLiteral("DECIMAL(18,4)");
const QString kBoolean = QStringLiteral("BOOLEAN DEFAULT 0");
const QString kDateTime = QStringLiteral("DATETIME");
const QString kDate = QStringLiteral("DATE");
const QString kTime = QStringLiteral("TIME");

QString text(int length) { return QStringLiteral("VARCHAR(%1) COLLATE NOCASE").arg(length); }

QString ident(const QString &name)
{
    return QLatin1Char('"') + QString(name).replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
}

struct Index {
    QString table;
    QStringList columns;
};

Table historyTable()
{
    return {QStringLiteral("tOrderHistory"),
            {{QStringLiteral("id"), kRowKey},
             {QStringLiteral("session"), kInteger},
             {QStringLiteral("sent_at"), kDateTime},
             {QStringLiteral("trans_id"), kInteger},
             {QStringLiteral("trans_text"), text(1000)},
             {QStringLiteral("id_order"), kInteger},
             {QStringLiteral("filled"), kBoolean},
             {QStringLiteral("code"), text(50)},
             {QStringLiteral("terminal_file"), text(255)},
             {QStringLiteral("status"), kSmall},
             {QStringLiteral("trans_name"), text(50)},
             {QStringLiteral("description"), text(255)},
             {QStringLiteral("order_number"), kDecimal},
             {QStringLiteral("result_at"), kDateTime},
             {QStringLiteral("carried_from"), text(50)}}};
}

Table robotStateTable()
{
    return {QStringLiteral("tRobotState"),
            {{QStringLiteral("id"), kInteger},
             {QStringLiteral("session"), kInteger},
             {QStringLiteral("files_session"), kInteger},
             {QStringLiteral("alerts"), text(255)},
             {QStringLiteral("last_handled"), kInteger},
             {QStringLiteral("place_session"), kInteger},
             {QStringLiteral("running"), kBoolean},
             {QStringLiteral("heartbeat"), kDateTime}}};
}

QList<Table> buildQuikData()
{
    QList<Table> t;

    // The robot's own tables.
    t.append({QStringLiteral("tSecCode"),
              {{QStringLiteral("SecCode"), text(50)},
               {QStringLiteral("FixVol"), kFloat},
               {QStringLiteral("Part"), kFloat},
               {QStringLiteral("Traded"), kBoolean},
               {QStringLiteral("LotSize"), kInteger},
               {QStringLiteral("Class_Code"), text(50)},
               {QStringLiteral("Ticker"), text(50)},
               {QStringLiteral("Slippage"), kFloat},
               {QStringLiteral("Digits"), kInteger},
               {QStringLiteral("PointValue"), kFloat},
               {QStringLiteral("Base_Contract"), text(50)},
               {QStringLiteral("MinMov"), kDecimal}}});
    t.append({QStringLiteral("tWorkSpaces"),
              {{QStringLiteral("id_workspace"), kCounter}, {QStringLiteral("workspace"), text(50)}}});
    t.append({QStringLiteral("tStrategy"),
              {{QStringLiteral("id_strategy"), kCounter}, {QStringLiteral("strategy"), text(50)}}});
    // The terminal name shown beside each client is looked up in tQuik, not stored.
    t.append({QStringLiteral("tClients"),
              {{QStringLiteral("id"), kCounter},
               {QStringLiteral("Code"), text(12)},
               {QStringLiteral("client"), text(50)},
               {QStringLiteral("AccountMicex"), text(50)},
               {QStringLiteral("AccountFORTS"), text(50)},
               {QStringLiteral("note"), text(255)},
               {QStringLiteral("Active"), kBoolean},
               {QStringLiteral("LongEnb"), kBoolean},
               {QStringLiteral("ShortEnb"), kBoolean},
               {QStringLiteral("Leverage"), kFloat},
               {QStringLiteral("MicexEnb"), kBoolean},
               {QStringLiteral("FortsEnb"), kBoolean},
               {QStringLiteral("Ebs"), kBoolean},
               {QStringLiteral("id_quik"), kInteger}}});
    t.append({QStringLiteral("tGroup"), {{QStringLiteral("id_group"), kCounter}, {QStringLiteral("group"), text(50)}}});
    // A member's client code is looked up in tClients, not stored.
    t.append({QStringLiteral("tGroupClients"),
              {{QStringLiteral("id_group"), kInteger}, {QStringLiteral("id_client"), kInteger}}});
    t.append({QStringLiteral("tQuik"),
              {{QStringLiteral("id_quik"), kInteger},
               {QStringLiteral("active"), kBoolean},
               {QStringLiteral("quik"), text(50)},
               {QStringLiteral("path"), text(100)}}});
    t.append({QStringLiteral("tOrderNumber"),
              {{QStringLiteral("id"), kCounter},
               {QStringLiteral("trans_id"), kInteger},
               {QStringLiteral("id_order"), kInteger},
               {QStringLiteral("filled"), kBoolean},
               {QStringLiteral("code"), text(12)},
               {QStringLiteral("status"), kSmall},
               {QStringLiteral("trans_name"), text(50)},
               {QStringLiteral("description"), text(255)},
               {QStringLiteral("order_number"), kDecimal}}});
    t.append({QStringLiteral("tClientOpenPositions"),
              {{QStringLiteral("id"), kCounter},
               {QStringLiteral("symbol"), text(16)},
               {QStringLiteral("quantity"), kInteger},
               {QStringLiteral("System"), text(255)},
               {QStringLiteral("Signal"), text(20)},
               {QStringLiteral("Workspace"), text(255)},
               {QStringLiteral("Interval"), text(50)},
               {QStringLiteral("code"), text(12)},
               {QStringLiteral("Position"), text(20)}}});

    // The robot's memory across connections and restarts: every transaction
    // it ever sent (the journal holds only the current connection's), and
    // where it stands in the alert table.
    t.append(historyTable());
    t.append(robotStateTable());

    // The terminals' exports: the base tables of a single terminal, and the
    // templates of the per-terminal copies.
    t.append({QStringLiteral("tLimitStock"),
              {{QStringLiteral("firm"), text(12)},
               {QStringLiteral("code"), text(12)},
               {QStringLiteral("seccode"), text(12)},
               {QStringLiteral("openbal"), kFloat},
               {QStringLiteral("currentbal"), kFloat}}});
    t.append({QStringLiteral("tLimitFut"),
              {{QStringLiteral("account"), text(12)},
               {QStringLiteral("seccode"), text(12)},
               {QStringLiteral("openbal"), kFloat},
               {QStringLiteral("currentbal"), kFloat}}});
    t.append({QStringLiteral("tLimitMoney"),
              {{QStringLiteral("account"), text(12)},
               {QStringLiteral("code"), text(12)},
               {QStringLiteral("TAG"), text(12)},
               {QStringLiteral("CURRCODE"), text(12)},
               {QStringLiteral("openbal"), kFloat},
               {QStringLiteral("currentbal"), kFloat}}});
    t.append({QStringLiteral("tPortfolio"),
              {{QStringLiteral("ddate"), kDateTime},
               {QStringLiteral("openassets"), kFloat},
               {QStringLiteral("shorts"), kFloat},
               {QStringLiteral("longs"), kFloat},
               {QStringLiteral("curassets"), kFloat},
               {QStringLiteral("openallassets"), kFloat},
               {QStringLiteral("curallassets"), kFloat},
               {QStringLiteral("profitloss"), kFloat},
               {QStringLiteral("fortsasset"), kFloat},
               {QStringLiteral("margin"), kFloat},
               {QStringLiteral("leverage"), kFloat},
               {QStringLiteral("curleverage"), kFloat},
               {QStringLiteral("change"), kFloat},
               {QStringLiteral("firm"), text(50)},
               {QStringLiteral("code"), text(12)}}});
    t.append({QStringLiteral("tPortfolioFut"),
              {{QStringLiteral("account"), text(12)},
               {QStringLiteral("openlimit"), kDecimal},
               {QStringLiteral("planlimit"), kDecimal},
               {QStringLiteral("usedlimit"), kDecimal},
               {QStringLiteral("varmargin"), kDecimal}}});
    t.append({QStringLiteral("tQuikOrders"),
              {{QStringLiteral("orderdate"), kDate},
               {QStringLiteral("ordertime"), kTime},
               {QStringLiteral("account"), text(12)},
               {QStringLiteral("code"), text(12)},
               {QStringLiteral("stock"), text(150)},
               {QStringLiteral("Operation"), text(10)},
               {QStringLiteral("price"), kFloat},
               {QStringLiteral("quantity"), kInteger},
               {QStringLiteral("balance"), kInteger},
               {QStringLiteral("volume"), kFloat},
               {QStringLiteral("status"), text(10)}}});
    t.append({QStringLiteral("tTrades"),
              {{QStringLiteral("tradetime"), kTime},
               {QStringLiteral("account"), text(12)},
               {QStringLiteral("code"), text(12)},
               {QStringLiteral("stock"), text(150)},
               {QStringLiteral("Operation"), text(10)},
               {QStringLiteral("Price"), kFloat},
               {QStringLiteral("Quantity"), kInteger},
               {QStringLiteral("volume"), kFloat}}});

    // Quotes: one table for every terminal.
    Table param{QStringLiteral("tParam"), {{QStringLiteral("id"), kCounter}, {QStringLiteral("seccode"), text(15)}}};
    for (const char *c : {"bid", "offer", "open", "high", "low", "last", "waprice"})
        param.columns.append({QLatin1String(c), kFloat});
    for (const char *c : {"biddepth", "biddeptht", "numbids", "offerdepth", "offerdeptht", "numoffers", "qtylast"})
        param.columns.append({QLatin1String(c), kInteger});
    param.columns.append({QStringLiteral("timelast"), kDateTime});
    param.columns.append({QStringLiteral("voltoday"), kFloat});
    param.columns.append({QStringLiteral("valtoday"), kFloat});
    for (const char *c : {"vallast", "hibid", "lowoffer", "prevprice", "closeprice", "lastvalue", "currentvalue",
                          "openvalue", "chngopen", "lastchange", "chngclose"})
        param.columns.append({QLatin1String(c), kFloat});
    for (const char *c : {"numtrades", "lotsize", "Digits"})
        param.columns.append({QLatin1String(c), kInteger});
    for (const char *c : {"stock", "classname", "class_code", "Base_Contract"})
        param.columns.append({QLatin1String(c), text(50)});
    param.columns.append({QStringLiteral("MinMov"), kDecimal});
    param.columns.append({QStringLiteral("PointValue"), kDecimal});
    t.append(param);
    return t;
}

// The columns the alert tables share, from "System" on.
QList<Column> alertTail(int signal, int positionNumber, int orderNumber)
{
    return {{QStringLiteral("System"), text(255)},
            {QStringLiteral("Signal"), text(signal)},
            {QStringLiteral("Workspace"), text(255)},
            {QStringLiteral("Interval"), text(50)},
            {QStringLiteral("Position Number"), text(positionNumber)},
            {QStringLiteral("Order Number"), text(orderNumber)}};
}

QList<Column> alertEnd()
{
    return {{QStringLiteral("Alert String"), text(255)},
            {QStringLiteral("hWindow"), kInteger},
            {QStringLiteral("AlertType"), kInteger}};
}

// ID is the platform's own number, not a counter of this database: rows
// keep the order they were written in.
QList<Table> buildAlerts()
{
    const QList<Column> head{{QStringLiteral("ID"), kInteger},
                             {QStringLiteral("Symbol"), text(16)},
                             {QStringLiteral("Description"), text(50)},
                             {QStringLiteral("OrderType"), text(50)},
                             {QStringLiteral("Order"), text(50)}};
    QList<Table> t;

    Table filled{QStringLiteral("FilledOrders"), head};
    filled.columns << Column{QStringLiteral("Fill Price"), kFloat} << Column{QStringLiteral("FillPriceLong"), kInteger}
                   << Column{QStringLiteral("FillPriceBaseCode"), text(1)} << Column{QStringLiteral("Slippage"), kFloat}
                   << Column{QStringLiteral("SlippageLong"), kInteger}
                   << Column{QStringLiteral("SlippageBaseCode"), text(1)}
                   << Column{QStringLiteral("Time Placed"), kDateTime}
                   << Column{QStringLiteral("Time Filled"), kDateTime};
    filled.columns << alertTail(50, 50, 50) << alertEnd();
    t.append(filled);

    Table active{QStringLiteral("ActiveOrders"), head};
    active.columns << Column{QStringLiteral("Last"), kFloat} << Column{QStringLiteral("LastLong"), kInteger}
                   << Column{QStringLiteral("LastBaseCode"), text(1)}
                   << Column{QStringLiteral("Time Placed"), kDateTime};
    active.columns << alertTail(20, 16, 50) << alertEnd();
    t.append(active);

    Table canceled{QStringLiteral("CanceledOrders"), head};
    canceled.columns << Column{QStringLiteral("Time Placed"), kDateTime}
                     << Column{QStringLiteral("Time Canceled"), kDateTime};
    canceled.columns << alertTail(20, 16, 16) << Column{QStringLiteral("Canceled Number"), text(16)} << alertEnd();
    t.append(canceled);

    Table open{QStringLiteral("OpenPositions"),
               {{QStringLiteral("ID"), kInteger},
                {QStringLiteral("Symbol"), text(16)},
                {QStringLiteral("Description"), text(50)},
                {QStringLiteral("Entry Price"), kFloat},
                {QStringLiteral("EntryLong"), kInteger},
                {QStringLiteral("EntryBaseCode"), text(1)},
                {QStringLiteral("Last"), kFloat},
                {QStringLiteral("LastLong"), kInteger},
                {QStringLiteral("LastBaseCode"), text(1)},
                {QStringLiteral("Profit"), kFloat},
                {QStringLiteral("ProfitLong"), kInteger},
                {QStringLiteral("ProfitBaseCode"), text(1)},
                {QStringLiteral("Entry Time"), kDateTime}}};
    open.columns << alertTail(20, 16, 16) << alertEnd();
    t.append(open);
    return t;
}

QList<Index> quikDataIndexes()
{
    return {{QStringLiteral("tClientOpenPositions"), {QStringLiteral("code"), QStringLiteral("symbol")}},
            {QStringLiteral("tOrderNumber"), {QStringLiteral("trans_id")}},
            {QStringLiteral("tOrderHistory"), {QStringLiteral("session"), QStringLiteral("trans_id")}},
            {QStringLiteral("tOrderHistory"), {QStringLiteral("id_order")}},
            {QStringLiteral("tParam"), {QStringLiteral("seccode")}},
            {QStringLiteral("tSecCode"), {QStringLiteral("Ticker")}},
            {QStringLiteral("tSecCode"), {QStringLiteral("SecCode")}},
            {QStringLiteral("tClients"), {QStringLiteral("Code")}}};
}

QList<Index> alertIndexes()
{
    QList<Index> out;
    for (const Table &t : alertTables())
        out.append({t.name, {QStringLiteral("ID")}});
    return out;
}

QString createIndexStatement(const Index &index)
{
    QStringList cols;
    for (const QString &c : index.columns)
        cols << ident(c);
    return QStringLiteral("CREATE INDEX ") + ident(QStringLiteral("ix_") + index.table + QLatin1Char('_') + index.columns.join(QLatin1Char('_')))
        + QStringLiteral(" ON ") + ident(index.table) + QStringLiteral(" (") + cols.join(QStringLiteral(", ")) + QLatin1Char(')');
}

QStringList buildStatements(const QList<Table> &tables, const QList<Index> &indexes)
{
    QStringList out;
    for (const Table &t : tables)
        out << createTableStatement(t);
    for (const Index &i : indexes)
        out << createIndexStatement(i);
    return out;
}

} // namespace

QString forPostgres(const QString &statement)
{
    // Jet's types as PostgreSQL has them: whole numbers 64-bit as SQLite's,
    // a counter an identity column, yes/no 1/0 as on SQLite, text without
    // regard to letter case (citext).
    static const QRegularExpression column(
        QStringLiteral("(\"[^\"]+\") (INTEGER PRIMARY KEY(?: AUTOINCREMENT)?|VARCHAR\\(\\d+\\) COLLATE NOCASE|BOOLEAN DEFAULT 0|DOUBLE|DATETIME|"
                       "DECIMAL\\((\\d+),(\\d+)\\)|INTEGER|SMALLINT|DATE|TIME)(?=[,)])"));
    QString out;
    qsizetype last = 0;
    auto it = column.globalMatch(statement);
    while (it.hasNext()) {
        const auto m = it.next();
        out += statement.mid(last, m.capturedStart() - last);
        const QString type = m.captured(2);
        QString pg;
        if (type.startsWith(QLatin1String("INTEGER PRIMARY")))
            pg = QStringLiteral("bigint GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY");
        else if (type.startsWith(QLatin1String("VARCHAR")))
            pg = QStringLiteral("citext");
        else if (type.startsWith(QLatin1String("BOOLEAN")))
            pg = QStringLiteral("smallint DEFAULT 0");
        else if (type == QLatin1String("DOUBLE"))
            pg = QStringLiteral("double precision");
        else if (type == QLatin1String("DATETIME"))
            pg = QStringLiteral("timestamp(3)");
        else if (type.startsWith(QLatin1String("DECIMAL")))
            pg = QStringLiteral("numeric(%1,%2)").arg(m.captured(3), m.captured(4));
        else if (type == QLatin1String("INTEGER"))
            pg = QStringLiteral("bigint");
        else if (type == QLatin1String("TIME"))
            pg = QStringLiteral("time(3)");
        else
            pg = type.toLower();
        out += m.captured(1) + QLatin1Char(' ') + pg;
        last = m.capturedEnd();
    }
    out += statement.mid(last);
    return postgresNames(out);
}

namespace {

void runAll(Database &db, const QStringList &statements)
{
    if (!db.isOpen())
        throw KorvinaError(QStringLiteral("Нет подключения к базе данных ") + db.shownPath());
    QSqlDatabase h = db.handle();
    if (!h.transaction())
        throw KorvinaError(sqlErrorText(h.lastError()));
    try {
        for (const QString &s : statements)
            db.native(db.server() ? forPostgres(s) : s).finish();
    } catch (...) {
        h.rollback();
        throw;
    }
    if (!h.commit()) {
        const QString message = sqlErrorText(h.lastError());
        h.rollback();
        throw KorvinaError(message);
    }
}

void removeDatabaseFiles(const QString &path)
{
    for (const char *suffix : {"", "-wal", "-shm", "-journal"})
        QFile::remove(path + QLatin1String(suffix));
}

} // namespace

const QList<Table> &quikDataTables()
{
    static const QList<Table> tables = buildQuikData();
    return tables;
}

const QList<Table> &alertTables()
{
    static const QList<Table> tables = buildAlerts();
    return tables;
}

const QList<Table> &tables(Kind kind) { return kind == Kind::QuikData ? quikDataTables() : alertTables(); }

QStringList exportTables()
{
    return {QStringLiteral("tLimitStock"), QStringLiteral("tLimitFut"),   QStringLiteral("tPortfolio"),
            QStringLiteral("tPortfolioFut"), QStringLiteral("tLimitMoney"), QStringLiteral("tQuikOrders"),
            QStringLiteral("tTrades")};
}

const Table *findTable(Kind kind, const QString &name)
{
    for (const Table &t : tables(kind))
        if (t.name.compare(name, Qt::CaseInsensitive) == 0)
            return &t;
    return nullptr;
}

QString createTableStatement(const Table &table, const QString &name)
{
    QStringList cols;
    for (const Column &c : table.columns)
        cols << ident(c.name) + QLatin1Char(' ') + c.type;
    return QStringLiteral("CREATE TABLE ") + ident(name.isEmpty() ? table.name : name) + QStringLiteral(" (")
        + cols.join(QStringLiteral(", ")) + QLatin1Char(')');
}

QStringList quikDataStatements() { return buildStatements(quikDataTables(), quikDataIndexes()); }

QStringList alertStatements() { return buildStatements(alertTables(), alertIndexes()); }

QStringList statements(Kind kind) { return kind == Kind::QuikData ? quikDataStatements() : alertStatements(); }

QStringList terminalTableStatements(int idQuik)
{
    QStringList out;
    for (const QString &base : exportTables())
        out << createTableStatement(*findTable(Kind::QuikData, base), base + QString::number(idQuik));
    return out;
}

void createQuikData(Database &db) { runAll(db, quikDataStatements()); }

void createAlerts(Database &db) { runAll(db, alertStatements()); }

void create(Database &db, Kind kind) { runAll(db, statements(kind)); }

void createTerminalTables(Database &db, int idQuik) { runAll(db, terminalTableStatements(idQuik)); }

bool ensureRobotTables(Database &db)
{
    if (db.engine() != Database::Engine::SQLite && db.engine() != Database::Engine::PostgreSQL)
        return false;
    QStringList statements;
    for (const Table &t : {historyTable(), robotStateTable()}) {
        if (db.hasTable(t.name))
            continue;
        statements << createTableStatement(t);
        for (const Index &i : quikDataIndexes())
            if (i.table == t.name)
                statements << createIndexStatement(i);
    }
    if (statements.isEmpty())
        return false;
    runAll(db, statements);
    return true;
}

void createOnServer(const QString &uri, Kind kind)
{
    const QString shown = DatabaseAddress::shown(uri);
    Database db(QStringLiteral("schema"));
    QString error;
    if (!db.open(uri, &error))
        throw KorvinaError(QStringLiteral("Не удается подключиться к базе данных ") + shown + QStringLiteral(": ") + error);
    // Never over tables that are there: a database on a server is made
    // empty by its administrator and filled here once.
    for (const Table &t : tables(kind))
        if (db.hasTable(t.name))
            throw KorvinaError(QStringLiteral("В базе данных ") + shown + QStringLiteral(" уже есть таблица ") + t.name
                               + QStringLiteral("; она не будет перезаписана."));
    try {
        db.native(QStringLiteral("CREATE EXTENSION IF NOT EXISTS citext")).finish();
        QStringList all = statements(kind);
        if (kind == Kind::Alerts)
            all << alertNotifyStatements();
        // Counters of changes: the robot reads a table again only when it
        // changed (the terminals' tables, the platform's).
        all << changeCounterStatements();
        QStringList names;
        for (const Table &t : tables(kind))
            names << t.name;
        for (const QString &t : countedTables(names))
            all << countChangesStatements(t);
        runAll(db, all);
    } catch (const KorvinaError &e) {
        throw KorvinaError(QStringLiteral("Не удается создать таблицы в базе данных ") + shown + QStringLiteral(": ") + e.message());
    }
}

QStringList alertNotifyStatements()
{
    // Every new filled order tells the robots listening on the channel at
    // once, at its commit (LISTEN/NOTIFY), instead of waiting for a tick.
    return {QStringLiteral("CREATE FUNCTION korvina_filled_notify() RETURNS trigger LANGUAGE plpgsql AS "
                           "$$ BEGIN PERFORM pg_notify('") + QLatin1String(FilledOrdersChannel)
                + QStringLiteral("', ''); RETURN NULL; END $$"),
            QStringLiteral("CREATE TRIGGER korvina_filled_notify AFTER INSERT ON filledorders "
                           "FOR EACH STATEMENT EXECUTE FUNCTION korvina_filled_notify()")};
}

QStringList changeCounterStatements()
{
    // SECURITY DEFINER: a terminal's role that may write its tables raises
    // their counters without rights on the counter table.
    return {QStringLiteral("CREATE TABLE IF NOT EXISTS ") + QLatin1String(ChangeCounterTable)
                + QStringLiteral(" (table_name text PRIMARY KEY, changes bigint NOT NULL DEFAULT 0)"),
            QStringLiteral("CREATE OR REPLACE FUNCTION ") + QLatin1String(ChangeCounterTrigger)
                + QStringLiteral("() RETURNS trigger LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS "
                                 "$$ BEGIN UPDATE ")
                + QLatin1String(ChangeCounterTable)
                + QStringLiteral(" SET changes = changes + 1 WHERE table_name = TG_TABLE_NAME; RETURN NULL; END $$")};
}

QStringList countChangesStatements(const QString &table)
{
    const QString t = table.toLower();
    const QString trigger = QLatin1String(ChangeCounterTrigger);
    return {QStringLiteral("DROP TRIGGER IF EXISTS ") + trigger + QStringLiteral(" ON ") + ident(t),
            QStringLiteral("CREATE TRIGGER ") + trigger + QStringLiteral(" AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON ") + ident(t)
                + QStringLiteral(" FOR EACH STATEMENT EXECUTE FUNCTION ") + trigger + QStringLiteral("()"),
            QStringLiteral("INSERT INTO ") + QLatin1String(ChangeCounterTable) + QStringLiteral(" (table_name) VALUES ('") + t
                + QStringLiteral("') ON CONFLICT (table_name) DO UPDATE SET changes = ") + QLatin1String(ChangeCounterTable)
                + QStringLiteral(".changes + 1")};
}

QStringList countedTables(const QStringList &tables)
{
    QStringList bases{QStringLiteral("tparam"), QStringLiteral("tclients"), QStringLiteral("tgroupclients"), QStringLiteral("tquik"),
                      // the strategy platform's
                      QStringLiteral("filledorders"), QStringLiteral("activeorders"), QStringLiteral("canceledorders"),
                      QStringLiteral("openpositions")};
    for (const QString &t : exportTables())
        bases << t.toLower();
    static const QRegularExpression copy(QStringLiteral("^(.*?)(\\d+)$"));
    QStringList out;
    for (const QString &table : tables) {
        const QString t = table.toLower();
        const auto m = copy.match(t);
        const bool counted = bases.contains(t) || (m.hasMatch() && exportTables().contains(m.captured(1), Qt::CaseInsensitive));
        if (counted && !out.contains(t))
            out << t;
    }
    return out;
}

QString readCountersStatement()
{
    return QStringLiteral("SELECT c.table_name, c.changes, t.tgrelid FROM ") + QLatin1String(ChangeCounterTable)
        + QStringLiteral(" c JOIN pg_trigger t ON t.tgrelid = to_regclass(quote_ident(c.table_name)) AND t.tgname = '")
        + QLatin1String(ChangeCounterTrigger) + QStringLiteral("' AND t.tgenabled <> 'D'");
}

bool countsChanges(Database &db)
{
    if (!db.server() || !db.isOpen())
        return false;
    QSqlQuery q = db.native(QStringLiteral("SELECT to_regclass('") + QLatin1String(ChangeCounterTable) + QStringLiteral("') IS NOT NULL AND to_regproc('")
                            + QLatin1String(ChangeCounterTrigger) + QStringLiteral("') IS NOT NULL"));
    return q.next() && q.value(0).toBool();
}

QStringList addChangeCounters(Database &db, const QStringList &tables)
{
    if (!db.server())
        throw KorvinaError(QStringLiteral("Счетчики изменений бывают только в базе данных на сервере PostgreSQL, не в ") + db.shownPath());
    const QStringList counted = countedTables(tables.isEmpty() ? db.tables() : tables);
    // The table and function as they are when there: made again, the
    // function would need its owner's rights.
    QStringList all = countsChanges(db) ? QStringList() : changeCounterStatements();
    for (const QString &t : counted)
        all << countChangesStatements(t);
    runAll(db, all);
    return counted;
}

void createDatabaseFile(const QString &path, Kind kind)
{
    if (DatabaseAddress::isServer(path)) {
        createOnServer(path, kind);
        return;
    }
    if (path.trimmed().isEmpty())
        throw KorvinaError(QStringLiteral("Не задан путь к файлу базы данных."));
    const QString lower = path.toLower();
    if (lower.endsWith(QLatin1String(".mdb")) || lower.endsWith(QLatin1String(".accdb")))
        throw KorvinaError(QStringLiteral("Файл ") + path
                           + QStringLiteral(": создаются только базы данных SQLite, не файлы Access."));
    const QFileInfo info(path);
    if (info.exists() || info.isSymLink())
        throw KorvinaError(QStringLiteral("Файл ") + path + QStringLiteral(" уже существует; он не будет перезаписан."));
    if (!QDir().mkpath(info.absolutePath()))
        throw KorvinaError(QStringLiteral("Не удается создать папку ") + info.absolutePath());

    {
        // NewOnly: whoever creates the file first wins; an existing file is never truncated.
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            if (QFileInfo::exists(path))
                throw KorvinaError(QStringLiteral("Файл ") + path
                                   + QStringLiteral(" уже существует; он не будет перезаписан."));
            throw KorvinaError(QStringLiteral("Не удается создать файл ") + path + QStringLiteral(": ")
                               + file.errorString());
        }
    }

    Database db(QStringLiteral("schema"));
    QString error;
    if (!db.open(path, &error)) {
        removeDatabaseFiles(path);
        throw KorvinaError(QStringLiteral("Не удается открыть созданный файл ") + path + QStringLiteral(": ") + error);
    }
    try {
        create(db, kind);
    } catch (const KorvinaError &e) {
        db.close();
        removeDatabaseFiles(path);
        throw KorvinaError(QStringLiteral("Не удается создать таблицы в файле ") + path + QStringLiteral(": ")
                           + e.message());
    }
    db.close();
}

} // namespace schema
