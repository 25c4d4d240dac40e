#include "workspace.h"

#include "config/korvinaerror.h"
#include "data/database.h"
#include "data/databaseaddress.h"
#include "data/schema.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>
#include <QtTest>

TestWorkspace::TestWorkspace(bool createDatabases)
{
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    log.setLocale(QLocale(QLocale::Russian, QLocale::Russia));
    log.open(path(QStringLiteral("Korvina.log")));
    OperationLog::setCurrent(&log);
    settings.setFileName(path(QStringLiteral("Korvina.ini")));
    settings.resetToDefaults();
    settings.edtAlerts = alertsPath();
    settings.edtQuikData = quikDataPath();
    settings.edtdirTT = path(QStringLiteral("Trans"));
    settings.edtInfoLog = path(QStringLiteral("info.log"));
    settings.edtDirSmartTrade = path(QStringLiteral("SmartTrade"));
    if (createDatabases) {
        createAlerts();
        createQuikData();
    }
}

TestWorkspace::~TestWorkspace()
{
    if (OperationLog::current() == &log)
        OperationLog::setCurrent(nullptr);
    if (!m_connection.isEmpty())
        QSqlDatabase::removeDatabase(m_connection);
}

void TestWorkspace::createAlerts() { schema::createDatabaseFile(alertsPath(), schema::Kind::Alerts); }
void TestWorkspace::createQuikData() { schema::createDatabaseFile(quikDataPath(), schema::Kind::QuikData); }

void execOnDatabase(const QString &databasePath, const QString &sql, const QVariantMap &params)
{
    const QString name = QStringLiteral("writer-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(databasePath);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        if (!db.open())
            qFatal("cannot open %s", qPrintable(databasePath));
        QSqlQuery q(db);
        q.prepare(sql);
        for (auto it = params.cbegin(); it != params.cend(); ++it)
            q.bindValue(QLatin1Char(':') + it.key(), it.value());
        if (!q.exec())
            qFatal("%s: %s", qPrintable(sql), qPrintable(q.lastError().text()));
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

QList<QVariantMap> queryDatabase(const QString &databasePath, const QString &sql, QString *error)
{
    QList<QVariantMap> rows;
    auto take = [&](QSqlQuery &q) {
        while (q.next()) {
            QVariantMap row;
            const QSqlRecord r = q.record();
            for (int i = 0; i < r.count(); ++i)
                row.insert(r.fieldName(i), q.value(i));
            rows << row;
        }
        q.finish();
    };
    if (DatabaseAddress::isServer(databasePath)) {
        // A server's database: through the robot's own layer (the URI, the
        // names as the server keeps them).
        Database db(QStringLiteral("reader"));
        QString problem;
        if (!db.open(databasePath, &problem)) {
            if (error)
                *error = problem;
            return rows;
        }
        try {
            QSqlQuery q = db.native(sql);
            take(q);
        } catch (const KorvinaError &e) {
            if (error)
                *error = e.message();
        }
        return rows;
    }
    const QString name = QStringLiteral("reader-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(databasePath);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        const bool open = db.open();
        QSqlQuery q(db);
        if (!open || !q.exec(sql)) {
            if (error)
                *error = open ? q.lastError().text() : db.lastError().text();
        }
        take(q);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return rows;
}

void TestWorkspace::exec(const QString &databasePath, const QString &sql, const QVariantMap &params)
{
    execOnDatabase(databasePath, sql, params);
}

void TestWorkspace::addFilledOrders(const QList<int> &ids)
{
    for (int id : ids)
        exec(alertsPath(),
             QStringLiteral("INSERT INTO FilledOrders (ID, Symbol, OrderType, \"Order\", \"Fill Price\", System, Workspace) "
                            "VALUES (:id, 'SBER', 'LE', :text, 250.5, 'Demo MA Cross(5,20)', 'C:\\Demo.orw')"),
             {{QStringLiteral("id"), id}, {QStringLiteral("text"), QStringLiteral("Buy 10 SBER @ 250.5")}});
}

int TestWorkspace::count(const QString &databasePath, const QString &table)
{
    const QString name = QStringLiteral("counter-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    int n = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(databasePath);
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(QStringLiteral("SELECT COUNT(*) FROM \"") + table + QLatin1Char('"')) && q.next())
                n = q.value(0).toInt();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return n;
}

QStringList TestWorkspace::messages() const
{
    QStringList out;
    for (const QString &line : log.lines()) {
        // "dd.MM.yyyy HH:mm:ss text"; continuation lines have no date
        static const QRegularExpression stamp(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d "));
        QString l = line;
        l.remove(stamp);
        out << l;
    }
    return out;
}
