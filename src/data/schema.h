#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class Database;

// The tables of the two databases as SQLite holds them: the strategy
// platform's alert database and QuikData (the robot's own tables and the
// tables the QUIK terminals export into).
//
// Column types follow the Access originals: Integer -> INTEGER, counter ->
// INTEGER PRIMARY KEY AUTOINCREMENT (never reused, like a Jet counter),
// Small -> SMALLINT, Float -> DOUBLE, Decimal -> DECIMAL(18,4), yes/no ->
// BOOLEAN (1/0, default 0), date-time -> DATETIME/DATE/TIME, Text(n) ->
// VARCHAR(n) COLLATE NOCASE, so that text compares without regard to letter
// case as it does in Jet. Every identifier is double-quoted, since several
// are reserved words ("Order", "group", "Interval") or hold blanks.
namespace schema {

enum class Kind { QuikData, Alerts };

struct Column {
    QString name;
    QString type; // the declared type with its constraints
};

struct Table {
    QString name;
    QList<Column> columns;
};

// The tables of each database, in the order they are created.
const QList<Table> &quikDataTables();
const QList<Table> &alertTables();
const QList<Table> &tables(Kind kind);

// The seven tables a QUIK terminal exports into, in the order the per-terminal
// copies are made: tLimitStock, tLimitFut, tPortfolio, tPortfolioFut,
// tLimitMoney, tQuikOrders, tTrades.
QStringList exportTables();

// The definition of a table by name (letter case ignored); nullptr when the
// database has no such table.
const Table *findTable(Kind kind, const QString &name);

// CREATE TABLE for the table, under another name when one is given.
QString createTableStatement(const Table &table, const QString &name = QString());

// Every statement that builds the database: tables, then indexes.
QStringList quikDataStatements();
QStringList alertStatements();
QStringList statements(Kind kind);

// The CREATE TABLE statements of terminal N's copies of the export tables
// (tLimitStockN ... tTradesN), with the columns of the base tables.
QStringList terminalTableStatements(int idQuik);

// Run the statements above on an open, empty SQLite database, in one
// transaction. Throw KorvinaError with the engine's message on failure.
void createQuikData(Database &db);
void createAlerts(Database &db);
void create(Database &db, Kind kind);
void createTerminalTables(Database &db, int idQuik);

// Adds the robot's history and state tables (tOrderHistory, tRobotState) to a
// QuikData made before they existed. True when it made any. SQLite only.
bool ensureRobotTables(Database &db);

// Creates a new SQLite database file with every table of the kind (and the
// folders above it). Never overwrites: an existing file, or a path naming an
// Access file, gives KorvinaError naming the path. A file that cannot be
// completed is removed again. A PostgreSQL URI gets the tables in its
// (existing, empty) database instead: createOnServer.
void createDatabaseFile(const QString &path, Kind kind);

// Makes the tables of the kind in the database a PostgreSQL URI names (it
// must hold none of them), in one transaction, with the text type that
// ignores letter case (citext) and, for the alert database, the trigger
// that notifies FilledOrdersChannel of every new filled order.
void createOnServer(const QString &uri, Kind kind);

// The channel on which a PostgreSQL alert database tells of new rows of
// FilledOrders.
inline constexpr const char FilledOrdersChannel[] = "korvina_filled_orders";
QStringList alertNotifyStatements();

// Change counters of a PostgreSQL QuikData: one row per terminal table in
// ChangeCounterTable (its name, the number of statements that changed it),
// raised by a statement-level trigger on the table in the writer's own
// transaction, so that a reader sees a counter move exactly when the rows
// it counts did. The robot re-reads a merged view only when a counter of
// one of its tables moved (ChangeCounters).
inline constexpr const char ChangeCounterTable[] = "korvina_changes";
inline constexpr const char ChangeCounterTrigger[] = "korvina_count_change";
// The counter table and the trigger function.
QStringList changeCounterStatements();
// The trigger on one table and its counter row (a counter made again moves,
// so a table that lost its trigger meanwhile is read again).
QStringList countChangesStatements(const QString &table);
// The tables among these whose changes are counted: those the merged views
// read (quotes, clients, group members, the export tables and each
// terminal's copies of them). Lower case.
QStringList countedTables(const QStringList &tables);
// Whether the database has the counter table and the triggers' function.
bool countsChanges(Database &db);
// Reads the counters (table_name, changes, the table's relation) of the
// tables whose trigger is there: one dropped and made again lost it, and
// its counter stands still. Its counter rows are "c" (for a WHERE added).
QString readCountersStatement();
// Makes the counters in a PostgreSQL QuikData made before they existed (or
// on the given tables only, when the counter table is there): the table
// and function when missing, a trigger on every counted table present.
// Returns the tables that got one. Throws KorvinaError on failure,
// having made nothing.
QStringList addChangeCounters(Database &db, const QStringList &tables = {});

// A CREATE TABLE or CREATE INDEX statement of the SQLite schema as
// PostgreSQL takes it: the same names in lower case, the types mapped.
QString forPostgres(const QString &statement);

} // namespace schema
