#include "database.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "databaseaddress.h"
#include "jetsql.h"
#include "schema.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlRecord>
#include <QUuid>
#include <QSqlDriver>

#include <libpq-fe.h>
#include <sqlite3.h>

KorvinaError sqlFailure(const QSqlError &error)
{
    // SQLite's primary result codes of a database that is busy, locked by
    // another program, out of space or unreadable for the moment.
    bool transient = false;
    bool isNumber = false;
    const QString native = error.nativeErrorCode();
    const int code = native.toInt(&isNumber);
    if (native.size() == 5) {
        // PostgreSQL's SQLSTATE: a connection lost or refused (08), a server
        // going down (57P), out of resources (53), a deadlock or a
        // serialization failure (40), a lock not available (55P03).
        const QString cls = native.left(2);
        transient = cls == QLatin1String("08") || native.startsWith(QLatin1String("57P")) || cls == QLatin1String("53")
            || cls == QLatin1String("40") || native == QLatin1String("55P03");
    } else if (native.isEmpty()
               && (error.type() == QSqlError::ConnectionError || error.databaseText().contains(QLatin1String("server closed the connection"))
                   || error.databaseText().contains(QLatin1String("no connection to the server"))
                   || error.databaseText().contains(QLatin1String("could not send data")))) {
        // A server's session that is gone (the driver gives no SQLSTATE).
        transient = true;
    } else if (isNumber) {
        switch (code & 0xff) {
        case 5:  // SQLITE_BUSY
        case 6:  // SQLITE_LOCKED
        case 7:  // SQLITE_NOMEM
        case 9:  // SQLITE_INTERRUPT
        case 10: // SQLITE_IOERR
        case 13: // SQLITE_FULL
        case 14: // SQLITE_CANTOPEN
        case 15: // SQLITE_PROTOCOL
            transient = true;
            break;
        default:
            break;
        }
    }
    return KorvinaError(sqlErrorText(error), transient ? KorvinaError::Kind::Transient : KorvinaError::Kind::Permanent);
}

QDateTime dateTimeValue(const QVariant &v)
{
    if (v.isNull())
        return {};
    if (v.typeId() == QMetaType::QDateTime)
        return v.toDateTime();
    return QDateTime::fromString(v.toString(), Qt::ISODateWithMs);
}

QString sqlErrorText(const QSqlError &error)
{
    QString db = error.databaseText().trimmed();
    QString driver = error.driverText().trimmed();
    if (db.isEmpty())
        return driver.isEmpty() ? QStringLiteral("неизвестная ошибка") : driver;
    return db;
}

Database::Database(const QString &name, QObject *parent)
    : QObject(parent), m_name(name),
      m_connection(name + QLatin1Char('-') + QUuid::createUuid().toString(QUuid::WithoutBraces))
{
    setObjectName(name);
}

Database::~Database()
{
    close();
    QSqlDatabase::removeDatabase(m_connection);
}

QSqlDatabase Database::handle() const { return QSqlDatabase::database(m_connection, false); }

// A server's session that ended stays open to its users: the next
// statement opens it again (and fails, transiently, while the server is away).
bool Database::isOpen() const { return m_engine != Engine::None && (m_lost || handle().isOpen()); }

QString Database::shownPath() const { return DatabaseAddress::shown(m_path); }

KorvinaError Database::failure(const QSqlError &error)
{
    KorvinaError e = sqlFailure(error);
    // A server's session that ended (a restart, a network down) is opened
    // again before the next statement.
    if (m_engine == Engine::PostgreSQL && e.transient()) {
        const QString state = error.nativeErrorCode();
        if (state.isEmpty() || state.startsWith(QLatin1String("08")) || state.startsWith(QLatin1String("57P")))
            m_lost = true;
    }
    return e;
}

void Database::ensureConnected()
{
    if (!m_lost || m_engine != Engine::PostgreSQL)
        return;
    dropPrepared();
    QSqlDatabase db = handle();
    db.close();
    QString problem;
    if (!db.open()) {
        problem = sqlErrorText(db.lastError());
    } else {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("SET lock_timeout = ") + QString::number(m_busyTimeout))
            || !q.exec(QStringLiteral("SET client_min_messages = warning")) || !q.exec(QStringLiteral("SET tcp_user_timeout = 10000")))
            problem = sqlErrorText(q.lastError());
    }
    if (!problem.isEmpty()) {
        const QString password = DatabaseAddress(m_path).password();
        if (!password.isEmpty())
            problem.replace(password, QStringLiteral("***"));
        throw KorvinaError(QStringLiteral("Нет подключения к базе данных ") + shownPath() + QStringLiteral(": ") + problem,
                           KorvinaError::Kind::Transient);
    }
    m_lost = false;
    noteWrite(QStringLiteral("*")); // whatever others wrote meanwhile
}

QString postgresNames(const QString &sql)
{
    QString out;
    out.reserve(sql.size());
    for (int i = 0; i < sql.size(); ++i) {
        const QChar c = sql[i];
        if (c == QLatin1Char('\'')) {
            const int end = sql.indexOf(QLatin1Char('\''), i + 1);
            const int stop = end < 0 ? sql.size() - 1 : end;
            out += sql.mid(i, stop - i + 1);
            i = stop;
        } else if (c == QLatin1Char('"')) {
            const int end = sql.indexOf(QLatin1Char('"'), i + 1);
            const int stop = end < 0 ? sql.size() - 1 : end;
            out += sql.mid(i, stop - i + 1).toLower();
            i = stop;
        } else {
            out += c;
        }
    }
    return out;
}

bool Database::openServer(const QString &uri, QString *error)
{
    const DatabaseAddress address(uri);
    auto fail = [&](const QString &text) {
        if (error)
            *error = text;
        close();
        return false;
    };
    if (!address.valid())
        return fail(address.error());
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
        return fail(QStringLiteral("Драйвер PostgreSQL (QPSQL) недоступен."));
    QString problem;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_connection);
        db.setHostName(address.host());
        db.setPort(address.port());
        db.setDatabaseName(address.databaseName());
        if (!address.user().isEmpty())
            db.setUserName(address.user());
        // A password the URI does not give is left to libpq: PGPASSWORD or
        // the password file.
        if (!address.password().isEmpty())
            db.setPassword(address.password());
        // Keepalives end the session of a host or network that went away
        // within about 10 s, so the robot's lock on the database goes with it.
        QStringList options{QStringLiteral("connect_timeout=5"), QStringLiteral("keepalives=1"),
                            QStringLiteral("keepalives_idle=4"), QStringLiteral("keepalives_interval=2"),
                            QStringLiteral("keepalives_count=3"), QStringLiteral("application_name=Korvina")};
        if (!address.sslMode().isEmpty())
            options << QStringLiteral("sslmode=") + address.sslMode();
        db.setConnectOptions(options.join(QLatin1Char(';')));
        if (!db.open()) {
            problem = sqlErrorText(db.lastError());
        } else {
            QSqlQuery q(db);
            // A statement waits for another session's row lock at most as
            // long as SQLite waits for the file's; a dead session's lock goes
            // with its connection.
            if (!q.exec(QStringLiteral("SET lock_timeout = ") + QString::number(DefaultBusyTimeoutMs))
                || !q.exec(QStringLiteral("SET client_min_messages = warning"))
                || !q.exec(QStringLiteral("SET tcp_user_timeout = 10000")))
                problem = sqlErrorText(q.lastError());
        }
    }
    if (!problem.isEmpty()) {
        // The driver's text may hold the password the URI gave.
        if (!address.password().isEmpty())
            problem.replace(address.password(), QStringLiteral("***"));
        return fail(problem);
    }
    m_busyTimeout = DefaultBusyTimeoutMs;
    m_engine = Engine::PostgreSQL;
    m_lost = false;
    return true;
}

void Database::close()
{
    dropPrepared();
    if (m_engine == Engine::None && !QSqlDatabase::contains(m_connection))
        return;
    emit aboutToClose();
    dropPrepared();
    ++m_generation;
    if (QSqlDatabase::contains(m_connection)) {
        QSqlDatabase db = handle();
        if (db.isOpen())
            db.close();
    }
    if (QSqlDatabase::contains(m_connection))
        QSqlDatabase::removeDatabase(m_connection);
    m_engine = Engine::None;
}

bool Database::open(const QString &path, QString *error)
{
    close();
    m_path = path;
    auto fail = [&](const QString &text) {
        if (error)
            *error = text;
        close();
        return false;
    };

    if (DatabaseAddress::isServer(path))
        return openServer(path, error);

    const QString lower = path.toLower();
    const bool access = lower.endsWith(QLatin1String(".mdb")) || lower.endsWith(QLatin1String(".accdb"));
    QFileInfo info(path);
    if (path.trimmed().isEmpty())
        return fail(QStringLiteral("Не задан путь к файлу базы данных."));
    if (!info.exists())
        return fail(QStringLiteral("Файл базы данных не найден: ") + path);
    if (!info.isFile())
        return fail(QStringLiteral("Путь не указывает на файл базы данных: ") + path);

    if (access) {
        if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QODBC")))
            return fail(QStringLiteral("Драйвер ODBC недоступен: файл Access ") + path + QStringLiteral(" не открыть."));
        QString problem;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), m_connection);
            db.setDatabaseName(QStringLiteral("DRIVER={Microsoft Access Driver (*.mdb, *.accdb)};DBQ=") + path);
            if (!db.open())
                problem = sqlErrorText(db.lastError());
        }
        if (!problem.isEmpty())
            return fail(problem);
        m_engine = Engine::Access;
        return true;
    }

    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
        return fail(QStringLiteral("Драйвер SQLite (QSQLITE) недоступен."));
    QString problem;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=") + QString::number(DefaultBusyTimeoutMs));
        m_busyTimeout = DefaultBusyTimeoutMs;
        if (!db.open()) {
            problem = sqlErrorText(db.lastError());
        } else {
            // Check that it is a database at all, and let other processes
            // write while we read.
            QSqlQuery q(db);
            // In WAL mode NORMAL syncs at checkpoints, not at every commit:
            // the file stays consistent, and the robot's many one-row
            // statements do not each wait for the disk.
            if (!q.exec(QStringLiteral("SELECT count(*) FROM sqlite_master")) || !q.exec(QStringLiteral("PRAGMA journal_mode=WAL"))
                || !q.exec(QStringLiteral("PRAGMA synchronous=NORMAL")))
                problem = sqlErrorText(q.lastError());
        }
    }
    if (!problem.isEmpty())
        return fail(problem);
    m_engine = Engine::SQLite;
    return true;
}

QString Database::translate(const QString &jet) const
{
    if (m_engine == Engine::Access)
        return jet;
    if (m_engine == Engine::PostgreSQL)
        return jetsql::toPostgres(jet);
    return jetsql::toSqlite(jet);
}

QSqlQuery Database::run(const QString &sql, const QVariantMap &params, const QString &jet)
{
    QSqlQuery q(handle());
    q.setForwardOnly(true);
    if (m_engine == Engine::PostgreSQL && params.isEmpty()) {
        // A statement without values runs as it is: PostgreSQL prepares
        // queries and data changes only, not the making of tables.
        if (!q.exec(sql))
            throw failure(q.lastError());
        return q;
    }
    if (!q.prepare(sql))
        throw failure(q.lastError());
    if (!params.isEmpty())
        bind(q, jetsql::parameterNames(jet), params);
    if (!q.exec())
        throw failure(q.lastError());
    return q;
}

QVariant Database::boundValue(const QVariant &v) const
{
    if (m_engine != Engine::PostgreSQL || v.isNull())
        return v;
    // Yes/no columns hold 1/0 there as on SQLite; a time is the robot's
    // local time as it is, without a zone the server would convert.
    switch (v.typeId()) {
    case QMetaType::Bool:
        return v.toBool() ? 1 : 0;
    case QMetaType::QDateTime:
        return v.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    default:
        return v;
    }
}

void Database::rowValues(ManyRows &many, const QVariantMap &row, const QVariant **out)
{
    const std::vector<QString> &names = many.perRow;
    if (many.layout.empty()) {
        // Learnt from the first row whose keys are the parameters' own
        // spelling.
        std::vector<std::pair<QString, int>> layout;
        size_t found = 0;
        for (auto it = row.cbegin(); it != row.cend(); ++it) {
            const auto name = std::find(names.begin(), names.end(), it.key());
            const int place = name == names.end() ? -1 : int(name - names.begin());
            found += place >= 0;
            layout.emplace_back(it.key(), place);
        }
        if (found == names.size())
            many.layout = std::move(layout);
    }
    if (!many.layout.empty() && size_t(row.size()) == many.layout.size()) {
        // Keys made by the same code share their text: mostly a pointer
        // comparison each.
        auto it = row.cbegin();
        bool same = true;
        for (const auto &[key, place] : many.layout) {
            const QString &k = it.key();
            if ((k.constData() != key.constData() || k.size() != key.size()) && k != key) {
                same = false;
                break;
            }
            if (place >= 0)
                out[place] = &it.value();
            ++it;
        }
        if (same)
            return;
    }
    for (size_t j = 0; j < names.size(); ++j)
        out[j] = &paramValue(row, names[j]);
}

void Database::bind(QSqlQuery &q, const QStringList &names, const QVariantMap &params)
{
    QStringList placeholders;
    placeholders.reserve(names.size());
    for (const QString &n : names)
        placeholders << QLatin1Char(':') + n;
    bind(q, names, placeholders, params);
}

const QVariant &Database::paramValue(const QVariantMap &params, const QString &name)
{
    // Callers mostly spell the name as the statement does.
    const auto exact = params.constFind(name);
    if (exact != params.cend())
        return exact.value();
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        QStringView key = it.key();
        if (key.startsWith(QLatin1Char(':')))
            key = key.mid(1);
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return it.value();
    }
    throw KorvinaError(QStringLiteral("Не задано значение параметра ") + name);
}

void Database::bind(QSqlQuery &q, const QStringList &names, const QStringList &placeholders, const QVariantMap &params)
{
    for (qsizetype i = 0; i < names.size(); ++i)
        q.bindValue(placeholders[i], boundValue(paramValue(params, names[i])));
}

const jetsql::Shape *Database::shapeOf(const QString &jet)
{
    if (m_engine != Engine::SQLite && m_engine != Engine::PostgreSQL)
        return nullptr;
    auto it = m_shapes.find(jet);
    if (it != m_shapes.end())
        return &it->second;
    if (jetsql::parseSelectInto(jet))
        return nullptr;
    constexpr size_t MaxShapes = 512;
    if (m_shapes.size() >= MaxShapes)
        m_shapes.clear();
    return &m_shapes.emplace(jet, jetsql::shape(jet, m_engine == Engine::PostgreSQL ? jetsql::Dialect::PostgreSQL : jetsql::Dialect::SQLite))
                .first->second;
}

qint64 Database::schemaVersion()
{
    if (!m_schemaQuery) {
        m_schemaQuery.emplace(handle());
        m_schemaQuery->setForwardOnly(true);
        if (!m_schemaQuery->prepare(QStringLiteral("PRAGMA schema_version")))
            throw failure(m_schemaQuery->lastError());
    }
    QSqlQuery &q = *m_schemaQuery;
    if (!q.exec() || !q.next()) {
        const KorvinaError failure = this->failure(q.lastError());
        q.finish();
        throw failure;
    }
    const qint64 version = q.value(0).toLongLong();
    q.finish();
    return version;
}

QSqlQuery &Database::preparedStatement(const jetsql::Shape &shape, Prepared **entry)
{
    // A statement prepared before a table was made, changed or dropped (here
    // or by another process) is not run again: the driver cannot follow such
    // a change safely.
    // Inside a write batch no other process can change the schema, so one
    // check serves the whole batch (until this connection itself runs a
    // statement that may change it).
    // (PostgreSQL plans a prepared statement again itself when a table changes.)
    if (!m_schemaChecked && m_engine == Engine::SQLite) {
        const qint64 version = schemaVersion();
        if (version != m_schemaVersion) {
            m_prepared.clear();
            m_schemaVersion = version;
        }
        m_schemaChecked = m_batchBegan;
    }
    auto it = m_prepared.find(shape.sqlite);
    if (it == m_prepared.end()) {
        // Statements that are not used again come and go; the set is kept
        // small by starting over when it is full.
        constexpr size_t MaxPrepared = 256;
        if (m_prepared.size() >= MaxPrepared)
            m_prepared.clear(); // (the shapes stay: the caller holds one)
        QSqlQuery q(handle());
        q.setForwardOnly(true);
        if (!q.prepare(shape.sqlite))
            throw failure(q.lastError());
        Prepared made{std::move(q), -1, {}};
        for (const QString &n : shape.names)
            made.placeholders << QLatin1Char(':') + n;
        it = m_prepared.emplace(shape.sqlite, std::move(made)).first;
    }
    *entry = &it->second;
    return it->second.query;
}

QSqlQuery &Database::prepared(const jetsql::Shape &shape, const QVariantMap &params, Prepared **entry)
{
    QSqlQuery &q = preparedStatement(shape, entry);
    bind(q, shape.names, (*entry)->placeholders, params);
    static QStringList folded; // ":__jet_value_1", ":__jet_value_2", ...
    while (folded.size() < shape.values.size())
        folded << QStringLiteral(":") + QLatin1String(jetsql::FoldedPrefix) + QString::number(folded.size() + 1);
    for (int i = 0; i < shape.values.size(); ++i)
        q.bindValue(folded[i], shape.values[i]);
    return q;
}

void Database::dropManyRows()
{
    for (auto &[key, many] : m_manyRows)
        if (many.statement)
            sqlite3_finalize(many.statement);
    m_manyRows.clear();
}

namespace {
// A value Qt's driver binds as NULL: a null of any kind, a null text or
// bytes, a time or date that is not valid.
bool boundAsNull(const QVariant &v)
{
    const int type = v.typeId();
    return !v.isValid() || v.isNull() || (type == QMetaType::QString && static_cast<const QString *>(v.constData())->isNull())
        || (type == QMetaType::QByteArray && static_cast<const QByteArray *>(v.constData())->isNull())
        || (type == QMetaType::QDateTime && !static_cast<const QDateTime *>(v.constData())->isValid())
        || (type == QMetaType::QTime && !static_cast<const QTime *>(v.constData())->isValid())
        || (type == QMetaType::QDate && !static_cast<const QDate *>(v.constData())->isValid());
}
} // namespace

qint64 Database::insertRowsNatively(ManyRows &many, const std::vector<const QVariantMap *> &rows, size_t at)
{
    // The robot's own rows, many at a time: Qt's binding by name costs more
    // than the database's own work here.
    sqlite3 *db = sqliteHandle();
    if (!db)
        throw KorvinaError(QStringLiteral("Нет подключения к базе данных ") + shownPath(), KorvinaError::Kind::Transient);
    auto fail = [&](int code) {
        const QString text = QString::fromUtf8(sqlite3_errmsg(db));
        if (many.statement)
            sqlite3_reset(many.statement);
        return failure(QSqlError(QStringLiteral("Unable to fetch row"), text, QSqlError::StatementError, QString::number(code)));
    };
    if (!many.statement) {
        const QString sql = shapeOf(many.jet)->sqlite;
        const int code = sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &many.statement, nullptr);
        if (code != SQLITE_OK) {
            many.statement = nullptr;
            throw fail(code);
        }
        if (sqlite3_bind_parameter_count(many.statement) != int(many.bound.size())) {
            sqlite3_finalize(many.statement);
            many.statement = nullptr;
            throw KorvinaError(QStringLiteral("Не задано значение параметра ") + many.jet);
        }
    }
    sqlite3_stmt *st = many.statement;
    const size_t k = many.perRow.size();
    if (k > 0) {
        m_rowValues.resize(many.bound.size());
        for (size_t r = 0; r * k < many.bound.size(); ++r)
            rowValues(many, *rows[at + r], m_rowValues.data() + r * k);
    }
    for (size_t i = 0; i < many.bound.size(); ++i) {
        const QVariant &v = k > 0 ? *m_rowValues[i] : paramValue(*rows[at + size_t(many.bound[i].first)], many.bound[i].second);
        const int place = int(i) + 1;
        int code = SQLITE_OK;
        // As Qt's driver binds: a null of any kind as NULL, whole numbers as
        // integers, times as ISO text, the rest as text.
        const int type = v.typeId();
        if (boundAsNull(v)) {
            code = sqlite3_bind_null(st, place);
        } else {
            switch (type) {
            case QMetaType::Int:
            case QMetaType::Bool:
                code = sqlite3_bind_int(st, place, v.toInt());
                break;
            case QMetaType::UInt:
            case QMetaType::LongLong:
                code = sqlite3_bind_int64(st, place, v.toLongLong());
                break;
            case QMetaType::Double:
                code = sqlite3_bind_double(st, place, v.toDouble());
                break;
            case QMetaType::QByteArray: {
                const QByteArray *bytes = static_cast<const QByteArray *>(v.constData());
                code = sqlite3_bind_blob(st, place, bytes->constData(), int(bytes->size()), SQLITE_STATIC);
                break;
            }
            case QMetaType::QString: {
                const QString *text = static_cast<const QString *>(v.constData());
                code = sqlite3_bind_text16(st, place, text->utf16(), int(text->size()) * 2, SQLITE_STATIC);
                break;
            }
            default: {
                QString text;
                if (type == QMetaType::QDateTime) {
                    // (Every row of a dispatch carries the same moment.)
                    const QDateTime &t = *static_cast<const QDateTime *>(v.constData());
                    if (t != m_lastBoundTime || m_lastBoundTimeText.isNull()) {
                        m_lastBoundTime = t;
                        m_lastBoundTimeText = t.toString(Qt::ISODateWithMs);
                    }
                    text = m_lastBoundTimeText;
                }
                else if (type == QMetaType::QTime)
                    text = v.toTime().toString(QStringLiteral("hh:mm:ss.zzz"));
                else
                    text = v.toString();
                code = sqlite3_bind_text16(st, place, text.utf16(), int(text.size()) * 2, SQLITE_TRANSIENT);
                break;
            }
            }
        }
        if (code != SQLITE_OK)
            throw fail(code);
    }
    const int code = sqlite3_step(st);
    if (code != SQLITE_DONE)
        throw fail(sqlite3_extended_errcode(db));
    const qint64 last = sqlite3_last_insert_rowid(db);
    // (Every placeholder is bound again before the next step.)
    sqlite3_reset(st);
    return last;
}

void Database::dropPrepared()
{
    m_countersKnown = false;
    dropManyRows();
    m_insertKeys.clear();
    m_prepared.clear();
    m_shapes.clear();
    m_schemaQuery.reset();
    m_dataVersionQuery.reset();
    m_schemaVersion = -1;
    m_schemaChecked = false;
    m_batchBegan = false;
}

Database::WriteBatch::WriteBatch(Database &db) : m_db(db), m_generation(db.m_generation)
{
    // (On a server a failed statement would spoil the whole transaction:
    // each statement commits on its own there, and the write queue writes
    // its rows in transactions of its own.)
    if (m_db.m_batchDepth++ > 0 || m_db.m_engine != Engine::SQLite || !m_db.isOpen())
        return;
    // When the write lock cannot be had, every statement commits on its own
    // as it would without a batch.
    QSqlQuery q(m_db.handle());
    m_began = q.exec(QStringLiteral("BEGIN IMMEDIATE"));
    m_db.m_batchBegan = m_began;
    m_db.m_schemaChecked = false;
}

Database::WriteBatch::~WriteBatch()
{
    if (m_db.m_batchDepth > 0)
        --m_db.m_batchDepth;
    if (!m_began || m_generation != m_db.m_generation || !m_db.isOpen())
        return;
    m_db.m_batchBegan = false;
    m_db.m_schemaChecked = false;
    QSqlQuery q(m_db.handle());
    if (q.exec(QStringLiteral("COMMIT")))
        return;
    const QString text = sqlErrorText(q.lastError());
    q.exec(QStringLiteral("ROLLBACK"));
    m_db.noteWrite(QStringLiteral("*"));
    AddLog(QStringLiteral("Изменения в базе данных ") + m_db.shownPath() + QStringLiteral(" не сохранены: ") + text);
}

QSqlQuery Database::exec(const QString &jet, const QVariantMap &params)
{
    if (!isOpen())
        throw KorvinaError(QStringLiteral("Нет подключения к базе данных ") + shownPath(), KorvinaError::Kind::Transient);
    ensureConnected();
    BusyGuard guard(*this);
    if (m_engine == Engine::SQLite || m_engine == Engine::PostgreSQL) {
        if (jetsql::parseSelectInto(jet)) {
            selectInto(jet, params);
            noteWrite(QStringLiteral("*"));
            return QSqlQuery(handle());
        }
    }
    QSqlQuery q = run(translate(jet), params, jet);
    if (!q.isSelect())
        noteWrite(jetsql::writeTarget(jet));
    return q;
}

QSqlQuery Database::native(const QString &sql, const QVariantMap &params)
{
    if (!isOpen())
        throw KorvinaError(QStringLiteral("Нет подключения к базе данных ") + shownPath(), KorvinaError::Kind::Transient);
    ensureConnected();
    BusyGuard guard(*this);
    QSqlQuery q(handle());
    q.setForwardOnly(true);
    const bool direct = m_engine == Engine::PostgreSQL && params.isEmpty();
    if (!direct && !q.prepare(m_engine == Engine::PostgreSQL ? postgresNames(sql) : sql))
        throw failure(q.lastError());
    for (auto it = params.cbegin(); it != params.cend(); ++it)
        q.bindValue(QLatin1Char(':') + it.key(), boundValue(it.value()));
    const bool ok = direct ? q.exec(postgresNames(sql)) : q.exec();
    if (!q.isSelect())
        noteWrite(jetsql::writeTarget(sql)); // even a failed statement may have changed something
    if (!ok)
        throw failure(q.lastError());
    return q;
}

QString Database::insertKey(const QString &table)
{
    const QString key = table.toLower();
    const auto known = m_insertKeys.constFind(key);
    if (known != m_insertKeys.cend())
        return known.value();
    QSqlQuery q(handle());
    QString column;
    if (m_engine == Engine::PostgreSQL) {
        q.prepare(QStringLiteral("SELECT a.attname FROM pg_attribute a WHERE a.attrelid = to_regclass(:t) AND a.attidentity <> '' "
                                 "AND NOT a.attisdropped"));
        q.bindValue(QStringLiteral(":t"), QLatin1Char('"') + key + QLatin1Char('"'));
        // Not known while the server does not answer: asked again later.
        if (!q.exec())
            throw failure(q.lastError());
        if (q.next())
            column = q.value(0).toString();
    } else if (q.exec(QStringLiteral("PRAGMA table_info(\"") + QString(key).replace(QLatin1Char('"'), QStringLiteral("\"\""))
                      + QStringLiteral("\")"))) {
        // SQLite: the column that is the row's own key (INTEGER PRIMARY KEY).
        int keys = 0;
        QString integerKey;
        while (q.next()) {
            if (q.value(5).toInt() > 0) {
                ++keys;
                if (q.value(2).toString().compare(QLatin1String("INTEGER"), Qt::CaseInsensitive) == 0)
                    integerKey = q.value(1).toString();
            }
        }
        if (keys == 1)
            column = integerKey;
    }
    q.finish();
    m_insertKeys.insert(key, column);
    return column;
}

int Database::execute(const QString &jetText, const QVariantMap &params, qint64 *insertId)
{
    QString jet = jetText;
    QString returning;
    if (insertId && m_engine == Engine::PostgreSQL && isOpen()) {
        // PostgreSQL tells the counter an INSERT gave only when asked for it.
        static const QRegularExpression insert(QStringLiteral("^\\s*INSERT\\s+INTO\\b"), QRegularExpression::CaseInsensitiveOption);
        if (insert.match(jet).hasMatch()) {
            returning = insertKey(jetsql::writeTarget(jet));
            if (!returning.isEmpty())
                jet += QStringLiteral(" RETURNING [") + returning + QLatin1Char(']');
        }
    }
    if (isOpen())
        ensureConnected();
    const jetsql::Shape *shape = isOpen() ? shapeOf(jet) : nullptr;
    if (!shape) {
        QSqlQuery q = exec(jet, params);
        int n = q.numRowsAffected();
        if (insertId) {
            const QVariant id = q.lastInsertId();
            *insertId = id.isValid() ? id.toLongLong() : -1;
        }
        q.finish();
        return n;
    }
    BusyGuard guard(*this);
    Prepared *entry = nullptr;
    QSqlQuery &q = prepared(*shape, params, &entry);
    if (!q.exec()) {
        const KorvinaError failure = this->failure(q.lastError());
        q.finish();
        throw failure;
    }
    const int n = q.numRowsAffected();
    if (insertId) {
        if (!returning.isEmpty()) {
            *insertId = q.next() ? q.value(0).toLongLong() : -1;
        } else if (m_engine == Engine::PostgreSQL) {
            *insertId = -1; // a table without a counter (the driver would give another table's)
        } else {
            const QVariant id = q.lastInsertId();
            *insertId = id.isValid() ? id.toLongLong() : -1;
        }
    }
    if (!q.isSelect() || !returning.isEmpty())
        noteWrite(shape->target);
    q.finish();
    return n;
}

const Database::RowInsert &Database::rowInsert(const QString &jet)
{
    auto it = m_rowInserts.find(jet);
    if (it != m_rowInserts.end())
        return it->second;
    static const QRegularExpression form(
        QStringLiteral("^(\\s*INSERT\\s+INTO\\s+[^()]+\\([^()]*\\))\\s*VALUES\\s*\\(((?:\\s*:\\w+\\s*,)*\\s*:\\w+\\s*)\\)\\s*$"),
        QRegularExpression::CaseInsensitiveOption);
    RowInsert parsed;
    const auto m = form.match(jet);
    if (m.hasMatch()) {
        parsed.head = m.captured(1);
        const qsizetype open = parsed.head.indexOf(QLatin1Char('('));
        for (QString c : parsed.head.mid(open + 1, parsed.head.size() - open - 2).split(QLatin1Char(','))) {
            c = c.trimmed();
            if (c.size() > 1 && (c.front() == QLatin1Char('[') || c.front() == QLatin1Char('"')))
                c = c.mid(1, c.size() - 2);
            parsed.columns << c.toLower();
        }
        for (const QString &v : m.captured(2).split(QLatin1Char(',')))
            parsed.names << v.trimmed().mid(1);
    }
    if (m_rowInserts.size() >= 256)
        m_rowInserts.clear();
    return m_rowInserts.emplace(jet, std::move(parsed)).first->second;
}

bool Database::isRowInsert(const QString &jet) { return !rowInsert(jet).head.isEmpty(); }

Database::ManyRows &Database::manyRowsFor(const QString &jet, const RowInsert &form, int n, const QString &returning,
                                         const jetsql::Shape **shape)
{
    // (Asked with and without the keys back, a statement is two.)
    const QString key = jet + QLatin1Char('\n') + QString::number(n) + (returning.isEmpty() ? QString() : QStringLiteral("\nR"));
    auto many = m_manyRows.find(key);
    if (many == m_manyRows.end()) {
        ManyRows made;
        QStringList values;
        for (int r = 0; r < n; ++r) {
            QStringList row;
            for (const QString &name : form.names) {
                const QString placeholder = name + QStringLiteral("__r") + QString::number(r);
                row << QLatin1Char(':') + placeholder;
            }
            values << QLatin1Char('(') + row.join(QStringLiteral(", ")) + QLatin1Char(')');
        }
        made.jet = form.head + QStringLiteral(" VALUES ") + values.join(QStringLiteral(", "));
        if (!returning.isEmpty())
            made.jet += QStringLiteral(" RETURNING [") + returning + QLatin1Char(']');
        many = m_manyRows.emplace(key, std::move(made)).first;
    }
    *shape = shapeOf(many->second.jet);
    if (!*shape)
        throw KorvinaError(QStringLiteral("Нет подключения к базе данных ") + shownPath(), KorvinaError::Kind::Transient);
    ManyRows &made = many->second;
    if (made.bound.empty()) {
        // The shape's names in its own order, each to its row and
        // parameter.
        static const QRegularExpression suffix(QStringLiteral("^(\\w+)__r(\\d+)$"));
        for (const QString &name : (*shape)->names) {
            const auto m = suffix.match(name);
            made.bound.emplace_back(m.captured(2).toInt(), m.captured(1));
        }
        // Row by row, each in the same order: the usual case.
        const size_t k = made.bound.size() / size_t(n);
        bool regular = k > 0 && k * size_t(n) == made.bound.size();
        for (size_t i = 0; regular && i < made.bound.size(); ++i)
            regular = made.bound[i].first == int(i / k) && made.bound[i].second == made.bound[i % k].second;
        if (regular)
            for (size_t j = 0; j < k; ++j)
                made.perRow.push_back(made.bound[j].second);
    }
    return made;
}

void Database::insertRows(const QString &jet, const std::vector<const QVariantMap *> &rows, std::vector<qint64> *ids)
{
    const RowInsert form = rowInsert(jet); // (a copy: the cache may start over below)
    if (ids)
        ids->assign(rows.size(), -1);
    // SQLite tells the last key only: the others follow from it unless the
    // rows give their keys themselves.
    const bool keysGiven = ids && m_engine == Engine::SQLite && isOpen()
        && form.columns.contains(insertKey(jetsql::writeTarget(jet)).toLower()) && !insertKey(jetsql::writeTarget(jet)).isEmpty();
    if (form.head.isEmpty() || m_engine == Engine::None || keysGiven) {
        for (size_t r = 0; r < rows.size(); ++r)
            execute(jet, *rows[r], ids ? &(*ids)[r] : nullptr);
        return;
    }
    ensureConnected();
    const QString returning = m_engine == Engine::PostgreSQL && ids ? insertKey(jetsql::writeTarget(jet)) : QString();
    // Rows go in statements of 64, 16, 4 and 1 rows: a few statements stay
    // prepared for every count. (Larger statements cost more per row on
    // both engines, measured.)
    const size_t most = 64;
    size_t at = 0;
    // (Each call adds at most one statement per count: the statements kept
    // are never let go in the middle of it.)
    if (m_manyRows.size() + 4 >= 256)
        dropManyRows();
    std::vector<ServerChunk> serverChunks;
    const bool serverReady = m_engine == Engine::PostgreSQL && serverConnection();
    while (at < rows.size()) {
        const size_t left = rows.size() - at;
        const int n = int(left >= most ? most : left >= 64 ? 64 : left >= 16 ? 16 : left >= 4 ? 4 : 1);
        const jetsql::Shape *shape = nullptr;
        ManyRows &manyRows = manyRowsFor(jet, form, n, returning, &shape);
        if (serverReady && shape->values.isEmpty() && !manyRows.perRow.empty() && prepareOnServer(manyRows, *shape)) {
            serverChunks.push_back({&manyRows, at, n});
            at += n;
            continue;
        }
        // (Rows keep their order: those gathered for the server go first.)
        if (!serverChunks.empty()) {
            insertRowsOnServer(serverChunks, rows, ids, !returning.isEmpty());
            noteWrite(shape->target);
            serverChunks.clear();
        }
        BusyGuard guard(*this);
        if (m_engine == Engine::SQLite && shape->values.isEmpty()) {
            const qint64 last = insertRowsNatively(manyRows, rows, at);
            if (ids && last >= 0)
                for (int r = 0; r < n; ++r)
                    (*ids)[at + r] = last - (n - 1 - r);
            noteWrite(shape->target);
            at += n;
            continue;
        }
        // Bound here, row by row.
        Prepared *entry = nullptr;
        QSqlQuery &q = preparedStatement(*shape, &entry);
        const auto &bound = manyRows.bound;
        if (!manyRows.perRow.empty()) {
            const size_t k = manyRows.perRow.size();
            m_rowValues.resize(bound.size());
            for (int r = 0; r < n; ++r)
                rowValues(manyRows, *rows[at + size_t(r)], m_rowValues.data() + size_t(r) * k);
            for (size_t i = 0; i < bound.size(); ++i)
                q.bindValue(entry->placeholders[qsizetype(i)], boundValue(*m_rowValues[i]));
        } else {
            for (size_t i = 0; i < bound.size(); ++i) {
                const QVariantMap &params = *rows[at + bound[i].first];
                q.bindValue(entry->placeholders[qsizetype(i)], boundValue(paramValue(params, bound[i].second)));
            }
        }
        if (!q.exec()) {
            const KorvinaError failure = this->failure(q.lastError());
            q.finish();
            throw failure;
        }
        if (ids) {
            if (!returning.isEmpty()) {
                // (The server gives the rows back in the order they were
                // given.)
                for (int r = 0; r < n && q.next(); ++r)
                    (*ids)[at + r] = q.value(0).toLongLong();
            } else if (m_engine == Engine::SQLite) {
                // One statement in our own write transaction: its rows got
                // the keys that follow each other, the last one told.
                const QVariant last = q.lastInsertId();
                if (last.isValid())
                    for (int r = 0; r < n; ++r)
                        (*ids)[at + r] = last.toLongLong() - (n - 1 - r);
            }
        }
        q.finish();
        noteWrite(shape->target);
        at += n;
    }
    if (!serverChunks.empty()) {
        insertRowsOnServer(serverChunks, rows, ids, !returning.isEmpty());
        noteWrite(jetsql::writeTarget(jet));
    }
}

pg_conn *Database::serverConnection() const
{
    if (m_engine != Engine::PostgreSQL || m_lost)
        return nullptr;
    const QSqlDatabase db = handle();
    if (!db.isValid() || !db.isOpen() || !db.driver())
        return nullptr;
    const QVariant h = db.driver()->handle();
    if (!h.isValid() || (qstrcmp(h.typeName(), "PGconn*") != 0 && qstrcmp(h.typeName(), "pg_conn*") != 0))
        return nullptr;
    PGconn *conn = *static_cast<PGconn *const *>(h.constData());
    if (!conn || PQstatus(conn) != CONNECTION_OK || PQisBusy(conn) || PQpipelineStatus(conn) != PQ_PIPELINE_OFF)
        return nullptr;
    const PGTransactionStatusType t = PQtransactionStatus(conn);
    return t == PQTRANS_IDLE || t == PQTRANS_INTRANS ? conn : nullptr;
}

bool Database::prepareOnServer(ManyRows &many, const jetsql::Shape &shape)
{
    if (many.serverName == "-")
        return false;
    if (!many.serverName.isEmpty())
        return true;
    PGconn *conn = serverConnection();
    if (!conn)
        return false;
    // The driver's ":name" placeholders as the server's "$n", in the order
    // of the shape's names (quoted text and names left alone; "::" is a
    // cast).
    const QString &sql = shape.sqlite;
    QHash<QString, int> numbers;
    for (int i = 0; i < shape.names.size(); ++i)
        numbers.insert(shape.names[i], i + 1);
    QString text;
    text.reserve(sql.size());
    bool usable = true;
    for (int i = 0; i < sql.size() && usable; ++i) {
        const QChar c = sql[i];
        if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            int end = sql.indexOf(c, i + 1);
            while (end > 0 && end + 1 < sql.size() && sql[end + 1] == c)
                end = sql.indexOf(c, end + 2);
            if (end < 0) {
                usable = false;
                break;
            }
            text += QStringView(sql).mid(i, end - i + 1);
            i = end;
        } else if (c == QLatin1Char(':') && i + 1 < sql.size() && (sql[i + 1].isLetter() || sql[i + 1] == QLatin1Char('_'))
                   && (i == 0 || sql[i - 1] != QLatin1Char(':'))) {
            int end = i + 1;
            while (end < sql.size() && (sql[end].isLetterOrNumber() || sql[end] == QLatin1Char('_')))
                ++end;
            const auto number = numbers.constFind(sql.mid(i + 1, end - i - 1));
            if (number == numbers.cend()) {
                usable = false;
                break;
            }
            text += QLatin1Char('$') + QString::number(*number);
            i = end - 1;
        } else {
            text += c;
        }
    }
    if (!usable || numbers.size() != shape.names.size() || size_t(shape.names.size()) != many.bound.size()) {
        many.serverName = "-";
        return false;
    }
    const QByteArray name = "korvina_rows_" + QByteArray::number(++m_serverStatements);
    PGresult *res = PQprepare(conn, name.constData(), text.toUtf8().constData(), int(shape.names.size()), nullptr);
    const bool ok = res && PQresultStatus(res) == PGRES_COMMAND_OK;
    const QString error = res ? QString::fromUtf8(PQresultErrorMessage(res)) : QString::fromUtf8(PQerrorMessage(conn));
    const QString state = res ? QString::fromLatin1(PQresultErrorField(res, PG_DIAG_SQLSTATE)) : QString();
    PQclear(res);
    if (!ok) {
        // Through the driver then, which tells the same fault its way.
        if (PQstatus(conn) != CONNECTION_OK)
            throw failure(QSqlError(QStringLiteral("Unable to prepare statement"), error, QSqlError::ConnectionError));
        many.serverName = "-";
        Q_UNUSED(state);
        return false;
    }
    many.serverName = name;
    return true;
}

void Database::serverValues(ManyRows &many, const std::vector<const QVariantMap *> &rows, size_t at, int n, std::vector<QByteArray> &texts,
                            std::vector<const char *> &values)
{
    // The values as the server reads them in text, as Qt's driver writes
    // them: NULL for nulls (an empty but null text too), numbers as
    // numbers, the rest as UTF-8 text.
    const size_t k = many.perRow.size();
    m_rowValues.resize(many.bound.size());
    for (int r = 0; r < n; ++r)
        rowValues(many, *rows[at + size_t(r)], m_rowValues.data() + size_t(r) * k);
    texts.assign(many.bound.size(), QByteArray());
    values.assign(many.bound.size(), nullptr);
    for (size_t i = 0; i < many.bound.size(); ++i) {
        const QVariant v = boundValue(*m_rowValues[i]);
        const int type = v.typeId();
        if (boundAsNull(v))
            continue;
        switch (type) {
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::Short:
            texts[i] = QByteArray::number(v.toLongLong());
            break;
        case QMetaType::ULongLong:
            texts[i] = QByteArray::number(v.toULongLong());
            break;
        case QMetaType::Double:
            texts[i] = QByteArray::number(v.toDouble(), 'g', 17);
            break;
        case QMetaType::QDate:
            texts[i] = v.toDate().toString(Qt::ISODate).toLatin1();
            break;
        case QMetaType::QTime:
            texts[i] = v.toTime().toString(QStringLiteral("hh:mm:ss.zzz")).toLatin1();
            break;
        default:
            texts[i] = v.toString().toUtf8();
            break;
        }
        values[i] = texts[i].constData();
    }
}

void Database::insertRowsOnServer(const std::vector<ServerChunk> &chunks, const std::vector<const QVariantMap *> &rows,
                                  std::vector<qint64> *ids, bool returning)
{
    PGconn *conn = serverConnection();
    if (!conn)
        throw failure(QSqlError(QStringLiteral("Unable to execute statement"), QStringLiteral("the connection is busy or gone"),
                                QSqlError::ConnectionError));
    BusyGuard guard(*this);
    auto connectionFault = [&](const char *what) {
        return failure(QSqlError(QString::fromLatin1(what), QString::fromUtf8(PQerrorMessage(conn)),
                                 PQstatus(conn) == CONNECTION_OK ? QSqlError::StatementError : QSqlError::ConnectionError));
    };
    if (!PQenterPipelineMode(conn))
        throw connectionFault("Unable to start a pipeline");
    std::vector<QByteArray> texts;
    std::vector<const char *> values;
    int sent = 0;
    QString sendError;
    for (const ServerChunk &chunk : chunks) {
        ManyRows &many = *chunk.many;
        serverValues(many, rows, chunk.at, chunk.n, texts, values);
        if (!PQsendQueryPrepared(conn, many.serverName.constData(), int(values.size()), values.data(), nullptr, nullptr, 0)) {
            sendError = QString::fromUtf8(PQerrorMessage(conn));
            break;
        }
        ++sent;
    }
    // The sync point ends the pipeline (and, after a statement the library
    // refused to send, makes the server answer those sent).
    bool syncSent = PQstatus(conn) == CONNECTION_OK && PQpipelineSync(conn);
    if (!syncSent && sendError.isEmpty())
        sendError = QString::fromUtf8(PQerrorMessage(conn));
    if (PQstatus(conn) != CONNECTION_OK)
        throw failure(QSqlError(QStringLiteral("Unable to execute statement"), sendError, QSqlError::ConnectionError));
    // The answers, in the order sent; after a fault the server answers the
    // rest as aborted up to the sync point.
    QSqlError fault;
    for (int c = 0; c < sent; ++c) {
        PGresult *res = PQgetResult(conn);
        if (!res)
            break;
        const ExecStatusType status = PQresultStatus(res);
        if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) {
            if (ids && returning) {
                const ServerChunk &chunk = chunks[size_t(c)];
                const int count = std::min(PQntuples(res), chunk.n);
                for (int r = 0; r < count; ++r)
                    (*ids)[chunk.at + size_t(r)] = QByteArray(PQgetvalue(res, r, 0)).toLongLong();
            }
        } else if (!fault.isValid() && status != PGRES_PIPELINE_ABORTED) {
            fault = QSqlError(QStringLiteral("Unable to execute statement"), QString::fromUtf8(PQresultErrorMessage(res)),
                              QSqlError::StatementError, QString::fromLatin1(PQresultErrorField(res, PG_DIAG_SQLSTATE)));
        }
        PQclear(res);
        // Each statement's answer ends with a null.
        while (PGresult *extra = PQgetResult(conn))
            PQclear(extra);
    }
    bool synced = false;
    if (syncSent) {
        while (PGresult *res = PQgetResult(conn)) {
            const bool sync = PQresultStatus(res) == PGRES_PIPELINE_SYNC;
            PQclear(res);
            if (sync) {
                synced = true;
                break;
            }
        }
    }
    if (PQstatus(conn) != CONNECTION_OK)
        throw failure(QSqlError(QStringLiteral("Unable to execute statement"), QString::fromUtf8(PQerrorMessage(conn)),
                                QSqlError::ConnectionError));
    if (!PQexitPipelineMode(conn) || (syncSent && !synced))
        throw connectionFault("Unable to end a pipeline");
    if (fault.isValid())
        throw failure(fault);
    if (!sendError.isEmpty())
        throw failure(QSqlError(QStringLiteral("Unable to execute statement"), sendError, QSqlError::StatementError));
}

void Database::begin()
{
    if (!isOpen())
        throw KorvinaError(QStringLiteral("Нет подключения к базе данных ") + shownPath(), KorvinaError::Kind::Transient);
    ensureConnected();
    QSqlDatabase db = handle();
    if (m_engine == Engine::SQLite) {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("BEGIN IMMEDIATE")))
            throw failure(q.lastError());
        m_batchBegan = true;
        m_schemaChecked = false;
    } else if (!db.transaction()) {
        throw failure(db.lastError());
    }
}

bool Database::canWrite(int waitMs, QString *error)
{
    if (!isOpen()) {
        if (error)
            *error = QStringLiteral("Нет подключения к базе данных ") + shownPath();
        return false;
    }
    // Inside our own write transaction the lock is ours already. A server
    // locks rows, not the database: there is no write lock to wait for.
    if (m_engine != Engine::SQLite || m_batchBegan || m_batchDepth > 0)
        return true;
    const int before = m_busyTimeout;
    setBusyTimeout(waitMs);
    QSqlQuery q(handle());
    const bool began = q.exec(QStringLiteral("BEGIN IMMEDIATE"));
    if (!began && error)
        *error = sqlErrorText(q.lastError());
    if (began)
        q.exec(QStringLiteral("ROLLBACK"));
    setBusyTimeout(before);
    return began;
}

void Database::commit()
{
    if (!isOpen())
        throw KorvinaError(QStringLiteral("Нет подключения к базе данных ") + shownPath(), KorvinaError::Kind::Transient);
    QSqlDatabase db = handle();
    m_batchBegan = false;
    m_schemaChecked = false;
    if (m_engine == Engine::SQLite) {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("COMMIT")))
            throw failure(q.lastError());
    } else if (!db.commit()) {
        throw failure(db.lastError());
    }
}

void Database::rollback()
{
    m_batchBegan = false;
    m_schemaChecked = false;
    if (!isOpen())
        return;
    QSqlDatabase db = handle();
    // Whatever was written may or may not be there now.
    noteWrite(QStringLiteral("*"));
    if (m_engine == Engine::SQLite) {
        QSqlQuery q(db);
        q.exec(QStringLiteral("ROLLBACK"));
    } else {
        db.rollback();
    }
}

Database::Rows Database::fetch(const QString &jet, const QVariantMap &params)
{
    Rows out;
    auto read = [this, &out](QSqlQuery &q) {
        const QSqlRecord rec = q.record();
        const int columns = rec.count();
        for (int i = 0; i < columns; ++i)
            out.fields << rec.fieldName(i);
        while (q.next()) {
            QVector<QVariant> r(columns);
            for (int i = 0; i < columns; ++i)
                r[i] = q.value(i);
            out.rows.append(std::move(r));
        }
        // The rows stop at the end of the answer or at an error on the way
        // (a lock, a damaged page, a value that cannot be computed): the
        // rows read so far are not the answer then.
        if (q.lastError().isValid())
            throw failure(q.lastError());
    };
    if (isOpen())
        ensureConnected();
    const jetsql::Shape *shape = isOpen() ? shapeOf(jet) : nullptr;
    if (!shape) {
        QSqlQuery q = exec(jet, params);
        try {
            read(q);
        } catch (...) {
            q.finish();
            throw;
        }
        q.finish();
        return out;
    }
    BusyGuard guard(*this);
    Prepared *entry = nullptr;
    QSqlQuery &q = prepared(*shape, params, &entry);
    Prepared &p = *entry;
    if (!q.exec()) {
        const KorvinaError failure = this->failure(q.lastError());
        q.finish();
        throw failure;
    }
    if (!q.isSelect())
        noteWrite(shape->target);
    // When the tables changed shape since the last run, SQLite compiles the
    // statement again as it runs, but the driver has already sized the first
    // row for the old columns: such a result is read again from a statement
    // prepared afresh.
    const int columns = q.record().count();
    if (p.columns >= 0 && columns != p.columns) {
        q.finish();
        m_prepared.erase(shape->sqlite);
        return fetch(jet, params);
    }
    p.columns = columns;
    try {
        read(q);
    } catch (...) {
        q.finish();
        throw;
    }
    q.finish();
    return out;
}

void Database::selectInto(const QString &jet, const QVariantMap &params)
{
    const auto into = *jetsql::parseSelectInto(jet);
    QSqlDatabase db = handle();
    auto ident = [](const QString &n) { return QLatin1Char('"') + QString(n).replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"'); };
    if (m_engine == Engine::PostgreSQL) {
        // The new table takes the source's columns with their types,
        // defaults and a counter of its own, then the matching rows.
        const QString target = ident(into.target.toLower());
        const QString source = ident(into.source.toLower());
        if (!db.transaction())
            throw failure(db.lastError());
        try {
            run(QStringLiteral("CREATE TABLE ") + target + QStringLiteral(" (LIKE ") + source
                    + QStringLiteral(" INCLUDING DEFAULTS INCLUDING IDENTITY INCLUDING CONSTRAINTS)"),
                {}, QString())
                .finish();
            run(QStringLiteral("INSERT INTO ") + target + QStringLiteral(" SELECT * FROM ") + source + QLatin1Char(' ')
                    + jetsql::toPostgres(into.tail),
                params, into.tail)
                .finish();
        } catch (...) {
            db.rollback();
            throw;
        }
        if (!db.commit()) {
            const KorvinaError failure = this->failure(db.lastError());
            db.rollback();
            throw failure;
        }
        return;
    }
    // The new table takes the source's column definitions as they are
    // declared (types and collations), then the matching rows.
    QSqlQuery ddl(db);
    ddl.prepare(QStringLiteral("SELECT sql FROM sqlite_master WHERE type='table' AND name=:n COLLATE NOCASE"));
    ddl.bindValue(QStringLiteral(":n"), into.source);
    if (!ddl.exec())
        throw failure(ddl.lastError());
    if (!ddl.next())
        throw KorvinaError(QStringLiteral("no such table: ") + into.source);
    const QString create = ddl.value(0).toString();
    ddl.finish();
    const int paren = create.indexOf(QLatin1Char('('));
    if (paren < 0)
        throw KorvinaError(QStringLiteral("no such table: ") + into.source);
    const QString createTarget = QStringLiteral("CREATE TABLE ") + ident(into.target) + QLatin1Char(' ') + create.mid(paren);
    const QString copyRows = QStringLiteral("INSERT INTO ") + ident(into.target) + QStringLiteral(" SELECT * FROM ")
        + ident(into.source) + QLatin1Char(' ') + jetsql::toSqlite(into.tail);

    if (!db.transaction())
        throw failure(db.lastError());
    try {
        run(createTarget, {}, QString()).finish();
        run(copyRows, params, into.tail).finish();
    } catch (...) {
        db.rollback();
        throw;
    }
    if (!db.commit()) {
        const KorvinaError failure = this->failure(db.lastError());
        db.rollback();
        throw failure;
    }
}

void Database::setBusyTimeout(int ms)
{
    if (m_engine != Engine::SQLite || !isOpen() || ms == m_busyTimeout)
        return;
    // SQLite's own setting on the driver's connection (a write sets and
    // restores it every flush).
    if (sqlite3 *db = sqliteHandle()) {
        if (sqlite3_busy_timeout(db, ms) == SQLITE_OK)
            m_busyTimeout = ms;
        return;
    }
    QSqlQuery q(handle());
    if (q.exec(QStringLiteral("PRAGMA busy_timeout = ") + QString::number(ms)))
        m_busyTimeout = ms;
}

sqlite3 *Database::sqliteHandle() const
{
    if (m_engine != Engine::SQLite)
        return nullptr;
    const QSqlDatabase db = handle();
    if (!db.isValid() || !db.driver())
        return nullptr;
    const QVariant h = db.driver()->handle();
    return h.isValid() && qstrcmp(h.typeName(), "sqlite3*") == 0 ? *static_cast<sqlite3 *const *>(h.constData()) : nullptr;
}

bool Database::hasTable(const QString &table) const
{
    if (!isOpen())
        return false;
    for (const QString &t : handle().tables())
        if (t.compare(table, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

QStringList Database::tables() const { return isOpen() ? handle().tables() : QStringList(); }

void Database::noteWrite(const QString &target)
{
    ++m_ownWrites;
    if (target.isEmpty() || target == QLatin1String("*")) {
        ++m_otherWrites;
        m_schemaChecked = false;
    }
    else
        ++m_tableWrites[target];
}

qint64 Database::ownWritesTo(const QStringList &tables) const
{
    qint64 n = m_otherWrites;
    for (const QString &t : tables)
        n += m_tableWrites.value(t.toLower());
    return n;
}

qint64 Database::changeStamp()
{
    const qint64 other = othersStamp();
    return other < 0 ? -1 : (other << 32) + m_ownWrites;
}

qint64 Database::othersStampOf(const QStringList &tables)
{
    if (m_engine == Engine::SQLite)
        return othersStamp();
    if (m_engine != Engine::PostgreSQL || !isOpen() || tables.isEmpty())
        return -1;
    // (Each table's relation is part of the stamp.)
    QStringList names;
    for (const QString &t : tables)
        names << QLatin1Char('\'') + t.toLower().replace(QLatin1Char('\''), QLatin1String("''")) + QLatin1Char('\'');
    const QString sql = schema::readCountersStatement() + QStringLiteral(" WHERE c.table_name IN (") + names.join(QLatin1Char(','))
        + QStringLiteral(") ORDER BY c.table_name");
    try {
        ensureConnected();
        // Whether the database counts at all is looked at once a session
        // (a statement on a missing table would fail a transaction).
        if (!m_countersKnown) {
            m_hasCounters = schema::countsChanges(*this);
            m_countersKnown = true;
        }
        if (!m_hasCounters)
            return -1;
        BusyGuard guard(*this);
        QSqlQuery q(handle());
        q.setForwardOnly(true);
        if (!q.exec(sql)) {
            const QSqlError error = q.lastError();
            failure(error); // (a session that ended is opened again next time)
            return -1;
        }
        QString stamp;
        int counted = 0;
        while (q.next()) {
            ++counted;
            stamp += q.value(0).toString() + QLatin1Char(':') + q.value(2).toString() + QLatin1Char(':') + q.value(1).toString()
                + QLatin1Char(';');
        }
        if (q.lastError().isValid() || counted != tables.size())
            return -1;
        return qint64(qHash(stamp, 0x4b52) & 0x3fffffffffffffffULL);
    } catch (const std::exception &) {
        return -1;
    }
}

qint64 Database::othersStamp()
{
    if (m_engine != Engine::SQLite)
        return -1;
    if (!m_dataVersionQuery) {
        m_dataVersionQuery.emplace(handle());
        m_dataVersionQuery->setForwardOnly(true);
        if (!m_dataVersionQuery->prepare(QStringLiteral("PRAGMA data_version"))) {
            m_dataVersionQuery.reset();
            return -1;
        }
    }
    QSqlQuery &q = *m_dataVersionQuery;
    if (!q.exec() || !q.next()) {
        q.finish();
        return -1;
    }
    const qint64 other = q.value(0).toLongLong();
    q.finish();
    return other;
}
