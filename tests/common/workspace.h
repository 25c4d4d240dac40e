#pragma once

#include "config/operationlog.h"
#include "config/settings.h"

#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QVariantMap>

// Runs one statement on a database file through a connection of its own,
// as another process would.
void execOnDatabase(const QString &databasePath, const QString &sql, const QVariantMap &params = {});

// Runs one statement on a database file (or a server's database, by its
// URI) as another program would (a connection of its own, waiting up to
// 10 s for a lock) and returns its rows,
// each by its columns' names. A failure is given in `error` (when asked for)
// and gives no rows.
QList<QVariantMap> queryDatabase(const QString &databasePath, const QString &sql, QString *error = nullptr);

// A throw-away workspace for tests: a folder with an alert database and a
// QuikData database made by the schema code, settings pointing at them, and
// an operation log with a pinned locale that tests read back.
class TestWorkspace {
public:
    // With createDatabases false only the paths are set; no file exists.
    explicit TestWorkspace(bool createDatabases = true);
    ~TestWorkspace();

    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString alertsPath() const { return path(QStringLiteral("Alerts11.sqlite")); }
    QString quikDataPath() const { return path(QStringLiteral("dbQuikData.sqlite")); }
    void createAlerts();
    void createQuikData();

    Settings settings;
    OperationLog log;

    // Writes as another process would: through a connection of its own.
    void exec(const QString &databasePath, const QString &sql, const QVariantMap &params = {});
    // Adds FilledOrders rows with these ids (the strategy platform's side).
    void addFilledOrders(const QList<int> &ids);
    int count(const QString &databasePath, const QString &table);

    // The text part of each screen line (date and time cut off).
    QStringList messages() const;

private:
    QTemporaryDir m_dir;
    QString m_connection;
};
