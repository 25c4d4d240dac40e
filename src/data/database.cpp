#include "database.h"

#include "config/korvinaerror.h"
#include "jetsql.h"

#include <QFileInfo>
#include <QSqlError>
#include <QSqlRecord>
#include <QUuid>

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

bool Database::isOpen() const { return m_engine != Engine::None && handle().isOpen(); }

void Database::close()
{
    if (m_engine == Engine::None && !QSqlDatabase::contains(m_connection))
        return;
    emit aboutToClose();
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
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
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
    return jetsql::toSqlite(jet);
}

QSqlQuery Database::run(const QString &sql, const QVariantMap &params, const QString &jet)
{
    QSqlQuery q(handle());
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        throw KorvinaError(sqlErrorText(q.lastError()));
    if (!params.isEmpty()) {
        const QStringList names = jetsql::parameterNames(jet);
        for (const QString &n : names) {
            bool found = false;
            for (auto it = params.cbegin(); it != params.cend(); ++it) {
                QString key = it.key();
                if (key.startsWith(QLatin1Char(':')))
                    key.remove(0, 1);
                if (key.compare(n, Qt::CaseInsensitive) == 0) {
                    q.bindValue(QLatin1Char(':') + n, it.value());
                    found = true;
                    break;
                }
            }
            if (!found)
                throw KorvinaError(QStringLiteral("Не задано значение параметра ") + n);
        }
    }
    if (!q.exec())
        throw KorvinaError(sqlErrorText(q.lastError()));
    return q;
}

QSqlQuery Database::exec(const QString &jet, const QVariantMap &params)
{
    if (!isOpen())
        throw KorvinaError(QStringLiteral("Нет подключения к базе данных ") + m_path);
    BusyGuard guard(*this);
    if (m_engine == Engine::SQLite) {
        if (jetsql::parseSelectInto(jet)) {
            selectInto(jet, params);
            ++m_ownWrites;
            return QSqlQuery(handle());
        }
    }
    QSqlQuery q = run(translate(jet), params, jet);
    if (!q.isSelect())
        ++m_ownWrites;
    return q;
}

QSqlQuery Database::native(const QString &sql, const QVariantMap &params)
{
    if (!isOpen())
        throw KorvinaError(QStringLiteral("Нет подключения к базе данных ") + m_path);
    BusyGuard guard(*this);
    QSqlQuery q(handle());
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        throw KorvinaError(sqlErrorText(q.lastError()));
    for (auto it = params.cbegin(); it != params.cend(); ++it)
        q.bindValue(QLatin1Char(':') + it.key(), it.value());
    if (!q.exec())
        throw KorvinaError(sqlErrorText(q.lastError()));
    return q;
}

int Database::execute(const QString &jet, const QVariantMap &params)
{
    QSqlQuery q = exec(jet, params);
    int n = q.numRowsAffected();
    q.finish();
    return n;
}

void Database::selectInto(const QString &jet, const QVariantMap &params)
{
    const auto into = *jetsql::parseSelectInto(jet);
    QSqlDatabase db = handle();
    // The new table takes the source's column definitions as they are
    // declared (types and collations), then the matching rows.
    QSqlQuery ddl(db);
    ddl.prepare(QStringLiteral("SELECT sql FROM sqlite_master WHERE type='table' AND name=:n COLLATE NOCASE"));
    ddl.bindValue(QStringLiteral(":n"), into.source);
    if (!ddl.exec())
        throw KorvinaError(sqlErrorText(ddl.lastError()));
    if (!ddl.next())
        throw KorvinaError(QStringLiteral("no such table: ") + into.source);
    const QString create = ddl.value(0).toString();
    ddl.finish();
    const int paren = create.indexOf(QLatin1Char('('));
    if (paren < 0)
        throw KorvinaError(QStringLiteral("no such table: ") + into.source);
    auto ident = [](const QString &n) { return QLatin1Char('"') + QString(n).replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"'); };
    const QString createTarget = QStringLiteral("CREATE TABLE ") + ident(into.target) + QLatin1Char(' ') + create.mid(paren);
    const QString copyRows = QStringLiteral("INSERT INTO ") + ident(into.target) + QStringLiteral(" SELECT * FROM ")
        + ident(into.source) + QLatin1Char(' ') + jetsql::toSqlite(into.tail);

    if (!db.transaction())
        throw KorvinaError(sqlErrorText(db.lastError()));
    try {
        run(createTarget, {}, QString()).finish();
        run(copyRows, params, into.tail).finish();
    } catch (...) {
        db.rollback();
        throw;
    }
    if (!db.commit()) {
        QString text = sqlErrorText(db.lastError());
        db.rollback();
        throw KorvinaError(text);
    }
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

qint64 Database::changeStamp()
{
    if (m_engine != Engine::SQLite)
        return -1;
    QSqlQuery q(handle());
    if (!q.exec(QStringLiteral("PRAGMA data_version")) || !q.next())
        return -1;
    const qint64 other = q.value(0).toLongLong();
    q.finish();
    return (other << 32) + m_ownWrites;
}
