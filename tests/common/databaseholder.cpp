#include "databaseholder.h"

#include <QSqlDatabase>
#include <QSqlQuery>

namespace {
int g_count = 0;
}

DatabaseHolder::DatabaseHolder(const QString &path) : m_name(QStringLiteral("holder-") + QString::number(++g_count))
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    db.setDatabaseName(path);
    if (!db.open())
        qFatal("cannot open %s", qPrintable(path));
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE")))
        qFatal("cannot lock %s", qPrintable(path));
}

DatabaseHolder::~DatabaseHolder() { release(); }

void DatabaseHolder::release()
{
    if (m_released)
        return;
    m_released = true;
    {
        QSqlDatabase db = QSqlDatabase::database(m_name);
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        db.close();
    }
    QSqlDatabase::removeDatabase(m_name);
}
