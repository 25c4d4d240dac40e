#pragma once

#include <QDateTime>
#include <QObject>
#include <QSqlDatabase>
#include <QSqlQuery>

#include "jetsql.h"
#include "config/korvinaerror.h"
#include <QHash>
#include <optional>
#include <unordered_map>
#include <QVariantMap>
#include <QVector>

struct sqlite3;
struct sqlite3_stmt;

// One database connection (the alert database, or QuikData). Statements are
// given in the Jet dialect and translated for the engine behind the setting:
// a "postgresql://" URI is a PostgreSQL server (Qt's QPSQL driver),
// ".mdb"/".accdb" files go through ODBC to the Access driver unchanged, every
// other file is an SQLite database.
class QSqlError;

class Database : public QObject {
    Q_OBJECT
public:
    enum class Engine { None, SQLite, Access, PostgreSQL };

    explicit Database(const QString &name, QObject *parent = nullptr);
    ~Database() override;

    const QString &name() const { return m_name; }

    // Closes, then opens the file. False with the engine's (or our) message
    // when it cannot be opened; a missing file is never created.
    bool open(const QString &path, QString *error);
    void close();
    bool isOpen() const;
    Engine engine() const { return m_engine; }
    const QString &path() const { return m_path; }
    // The setting as it may be shown (a URI without its password).
    QString shownPath() const;
    bool server() const { return m_engine == Engine::PostgreSQL; }

    // True while a statement runs or its rows are fetched.
    bool busy() const { return m_busy > 0; }

    // Runs a Jet statement with its :parameters bound by name and returns the
    // active query (rows of a SELECT can be read from it). Throws KorvinaError
    // with the engine's message on failure.
    QSqlQuery exec(const QString &jet, const QVariantMap &params = {});
    // Runs a statement that returns no rows; the number of rows it changed.
    // The statement stays prepared for the next call with the same text.
    // insertId, when given, gets the id of the row an INSERT added (-1 when
    // the engine does not tell).
    int execute(const QString &jet, const QVariantMap &params = {}, qint64 *insertId = nullptr);
    // Whether the statement adds one row whose values are all :parameters
    // ("INSERT INTO t (a, b) VALUES (:a, :b)"): such rows can be added many
    // at a time by insertRows.
    bool isRowInsert(const QString &jet);
    // Adds a row for each parameter set with such a statement, many rows
    // per statement (one round trip for many rows on a server); ids gets
    // the id of each row added, in the order given (-1 where the engine
    // does not tell). Inside a write transaction of the caller's: a failure
    // throws and leaves the rows to the caller's rollback.
    void insertRows(const QString &jet, const std::vector<const QVariantMap *> &rows, std::vector<qint64> *ids);

    // A write transaction of our own (SQLite: BEGIN IMMEDIATE, which takes
    // the write lock at once, waiting up to the busy timeout). Throw
    // KorvinaError on failure; rollback never throws.
    void begin();
    void commit();
    void rollback();
    // Whether a write could begin now: the write lock taken, waiting at most
    // `waitMs` for another program's, and given back at once. False with the
    // engine's message when the database is held or not connected.
    bool canWrite(int waitMs, QString *error = nullptr);

    // Runs a SELECT and reads its whole result; the statement stays prepared
    // for the next call with the same text.
    struct Rows {
        QStringList fields;
        QVector<QVector<QVariant>> rows;
    };
    Rows fetch(const QString &jet, const QVariantMap &params = {});

    // Runs a statement written for the engine itself (no translation).
    QSqlQuery native(const QString &sql, const QVariantMap &params = {});

    // The statement as the engine gets it.
    QString translate(const QString &jet) const;

    // How long a statement waits for another program's lock before it
    // fails as busy (SQLite; DefaultBusyTimeoutMs when the file is opened).
    static constexpr int DefaultBusyTimeoutMs = 5000;
    void setBusyTimeout(int ms);
    int busyTimeout() const { return m_busyTimeout; }

    bool hasTable(const QString &table) const;
    QStringList tables() const;

    // Bumped by every statement this connection runs that may change data,
    // and by other processes' commits (SQLite's data_version).
    qint64 changeStamp();
    // Bumped by other processes' commits only (SQLite's data_version); -1
    // where the engine does not tell (a server: anything may have changed).
    qint64 othersStamp();
    // The same for some tables only: on SQLite the whole database's stamp;
    // on a server the change counters of those tables (every statement that
    // changed one, by any session); -1 when a table is not counted.
    qint64 othersStampOf(const QStringList &tables);

    // Statements this connection ran that may have changed one of these
    // tables (those whose target is unknown count for every table).
    qint64 ownWritesTo(const QStringList &tables) const;

    QSqlDatabase handle() const;
    // Changes whenever the connection closes (what was looked up on it may
    // not hold for the next one).
    quint64 generation() const { return m_generation; }

    // The column whose value the database gives a new row (a server's
    // identity column, SQLite's INTEGER PRIMARY KEY); empty: none. Throws
    // when the database cannot tell now.
    QString insertKey(const QString &table);

    // Statements run while a WriteBatch lives are committed together when
    // the outermost batch ends (SQLite; other engines commit each statement).
    // The batch takes the write lock at once, so a read inside it never has
    // to be upgraded against another writer. What was written is always
    // committed, never rolled back: a failed commit is logged.
    class WriteBatch {
    public:
        explicit WriteBatch(Database &db);
        ~WriteBatch();
        WriteBatch(const WriteBatch &) = delete;
        WriteBatch &operator=(const WriteBatch &) = delete;

    private:
        Database &m_db;
        quint64 m_generation;
        bool m_began = false;
    };

    class BusyGuard {
    public:
        explicit BusyGuard(Database &db) : m_db(db) { ++m_db.m_busy; }
        ~BusyGuard() { --m_db.m_busy; }

    private:
        Database &m_db;
    };

signals:
    // Before the connection closes: datasets on it close too.
    void aboutToClose();

private:
    void selectInto(const QString &jet, const QVariantMap &params);
    QSqlQuery run(const QString &sql, const QVariantMap &params, const QString &jet);

    struct Prepared {
        QSqlQuery query;
        int columns = -1; // of the result when it last ran
        QStringList placeholders; // ":name" of each of the shape's names, made once
    };
    // The statement's shape, or null when it is not kept prepared (another
    // engine, or a make-table statement).
    const jetsql::Shape *shapeOf(const QString &jet);
    // The prepared form of the shape with every value bound.
    QSqlQuery &prepared(const jetsql::Shape &shape, const QVariantMap &params, Prepared **entry);
    // The same, its values left to the caller to bind.
    QSqlQuery &preparedStatement(const jetsql::Shape &shape, Prepared **entry);
    // The value of a :parameter, its name spelt in any case (KorvinaError
    // when missing).
    static const QVariant &paramValue(const QVariantMap &params, const QString &name);
    void bind(QSqlQuery &q, const QStringList &names, const QVariantMap &params);
    // The same with the placeholders of the names already made.
    void bind(QSqlQuery &q, const QStringList &names, const QStringList &placeholders, const QVariantMap &params);
    QVariant boundValue(const QVariant &v) const;
    void dropPrepared();

    QString m_name;
    QString m_connection;
    qint64 schemaVersion();
    std::optional<QSqlQuery> m_schemaQuery;
    std::optional<QSqlQuery> m_dataVersionQuery;
    qint64 m_schemaVersion = -1; // when the prepared statements were made
    bool m_schemaChecked = false; // within the open write batch
    bool m_batchBegan = false;    // a write batch holds the write lock
    std::unordered_map<QString, jetsql::Shape> m_shapes; // by the Jet text
    std::unordered_map<QString, Prepared> m_prepared;     // by the SQLite text
    int m_batchDepth = 0;
    quint64 m_generation = 0; // bumped when the connection closes
    QString m_path;
    Engine m_engine = Engine::None;
    int m_busy = 0;
    int m_busyTimeout = DefaultBusyTimeoutMs;
    void noteWrite(const QString &target);
    bool openServer(const QString &uri, QString *error);
    KorvinaError failure(const QSqlError &error);
    void ensureConnected();
    bool m_lost = false; // a server's session ended: opened again before the next statement
    QHash<QString, QString> m_insertKeys; // PostgreSQL: a table's counter column, by table
    // A single-row INSERT taken apart for insertRows: the text up to VALUES,
    // the parameter names of its row; empty head when it is no such INSERT.
    struct RowInsert {
        QString head;
        QStringList columns; // lower case, without brackets
        QStringList names;
    };
    const RowInsert &rowInsert(const QString &jet);
    std::unordered_map<QString, RowInsert> m_rowInserts; // by the Jet text
    // The statement adding n rows of a RowInsert, its placeholders' rows and
    // names, by the Jet text and n.
    struct ManyRows {
        QString jet;
        std::vector<std::pair<int, QString>> bound; // per placeholder: the row, the parameter
        sqlite3_stmt *statement = nullptr;          // SQLite: prepared through its own interface
        // When the placeholders go row by row, each row's parameters in one
        // order: that order, and a row's keys as the first row gave them
        // (in the map's order) with the place each fills (-1 none). Rows
        // built alike find their values in one pass over their map.
        std::vector<QString> perRow;
        std::vector<std::pair<QString, int>> layout;
        // PostgreSQL: prepared on the server through libpq under this name
        // ("" not yet; "-" when the statement cannot go that way).
        QByteArray serverName;
    };
    // The statement adding n rows (made, translated and taken apart the
    // first time), and its shape.
    ManyRows &manyRowsFor(const QString &jet, const RowInsert &form, int n, const QString &returning, const jetsql::Shape **shape);
    // PostgreSQL: many-rows statements sent one after the other without
    // waiting for each answer (libpq's pipeline), on the driver's own
    // connection and in its transaction.
    struct ServerChunk {
        ManyRows *many;
        size_t at;
        int n;
    };
    void insertRowsOnServer(const std::vector<ServerChunk> &chunks, const std::vector<const QVariantMap *> &rows,
                            std::vector<qint64> *ids, bool returning);
    bool prepareOnServer(ManyRows &many, const jetsql::Shape &shape);
    // The values of n rows from `at` for a statement prepared on the server.
    void serverValues(ManyRows &many, const std::vector<const QVariantMap *> &rows, size_t at, int n, std::vector<QByteArray> &texts,
                      std::vector<const char *> &values);
    // libpq's connection under the driver, when it is free for our own
    // statements (no result being read, no failed transaction); else null.
    struct pg_conn *serverConnection() const;
    int m_serverStatements = 0;
    bool m_countersKnown = false; // whether the server's change counters are there, looked at
    bool m_hasCounters = false;
    // A row's values in the order of `many.perRow`.
    void rowValues(ManyRows &many, const QVariantMap &row, const QVariant **out);
    std::vector<const QVariant *> m_rowValues;
    std::unordered_map<QString, ManyRows> m_manyRows;
    void dropManyRows();
    sqlite3 *sqliteHandle() const; // the driver's connection; null on another engine
    QDateTime m_lastBoundTime;
    QString m_lastBoundTimeText;
    // Runs a many-rows statement through SQLite's own interface on this
    // connection (the values bound as Qt's driver binds them); the last key.
    qint64 insertRowsNatively(ManyRows &many, const std::vector<const QVariantMap *> &rows, size_t at);
    qint64 m_ownWrites = 0;
    qint64 m_otherWrites = 0;
    QHash<QString, qint64> m_tableWrites; // by table, lower case
};

// A date and time as a column gives it back (SQLite keeps it as ISO text);
// invalid for NULL.
QDateTime dateTimeValue(const QVariant &v);

// A statement written for SQLite as PostgreSQL takes it: every double-quoted
// name in lower case (as the tables are made there).
QString postgresNames(const QString &sql);

// The engine's message of a failed query, as one text.
QString sqlErrorText(const class QSqlError &error);
// The failure to throw for a failed query: transient when the database is
// busy, locked, full or cannot be read for the moment.
KorvinaError sqlFailure(const class QSqlError &error);
