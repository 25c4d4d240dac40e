#include "viewcache.h"

#include "database.h"
#include "dataset.h"
#include "jetsql.h"

#include <QRegularExpression>
#include <QSet>

ViewKeyCache::ViewKeyCache(Database &db, QObject *parent) : QObject(parent), m_db(db)
{
    connect(&m_db, &Database::aboutToClose, this, &ViewKeyCache::clear);
}

void ViewKeyCache::clear()
{
    m_entries.clear();
    m_heldStamp.reset();
    m_stampQuery = QSqlQuery();
    m_stampPrepared = false;
}

QString ViewKeyCache::stamp()
{
    if (m_db.engine() != Database::Engine::SQLite || !m_db.isOpen())
        return QString();
    if (!m_stampPrepared) {
        m_stampQuery = QSqlQuery(m_db.handle());
        m_stampQuery.setForwardOnly(true);
        if (!m_stampQuery.prepare(QStringLiteral("SELECT (SELECT data_version FROM pragma_data_version), "
                                                 "(SELECT schema_version FROM pragma_schema_version)")))
            return QString();
        m_stampPrepared = true;
    }
    QString result;
    if (m_stampQuery.exec() && m_stampQuery.next())
        result = m_stampQuery.value(0).toString() + QLatin1Char('/') + m_stampQuery.value(1).toString();
    m_stampQuery.finish();
    return result;
}

QStringList ViewKeyCache::tablesOf(const QString &viewText) const
{
    // Every word or [name] of the text that names a table of the database.
    static const QRegularExpression names(QStringLiteral("\\[([^\\]]+)\\]|\"([^\"]+)\"|(\\w+)"));
    QSet<QString> known;
    for (const QString &t : m_db.tables())
        known.insert(t.toLower());
    QStringList out;
    for (auto it = names.globalMatch(viewText); it.hasNext();) {
        const auto m = it.next();
        const QString n = (m.captured(1) + m.captured(2) + m.captured(3)).toLower();
        if (known.contains(n) && !out.contains(n))
            out << n;
    }
    return out;
}

QVector<std::optional<QVariant>> ViewKeyCache::firstValues(DataSet &work, const QVector<Lookup> &lookups)
{
    if (m_holds > 0 && !m_heldStamp)
        m_heldStamp = stamp();
    const QString now = m_holds > 0 ? *m_heldStamp : stamp();
    QVector<std::optional<QVariant>> out;
    out.reserve(lookups.size());
    for (const Lookup &l : lookups)
        out << firstValue(work, now, l);
    return out;
}

std::optional<QVariant> ViewKeyCache::firstValue(DataSet &work, const QString &now, const Lookup &l)
{
    const QString &viewText = l.viewText, &keyColumn = l.keyColumn, &valueColumn = l.valueColumn, &key = l.key;
    if (now.isEmpty()) {
        work.Close();
        work.setSQL(QStringList{QStringLiteral("SELECT ") + valueColumn, QStringLiteral("FROM (") + viewText + QStringLiteral(")"),
                                QStringLiteral("WHERE ") + keyColumn + QStringLiteral("= \"") + jetsql::quoted(key) + QStringLiteral("\"")});
        work.Open();
        if (work.IsEmpty())
            return std::nullopt;
        return work.value(0, 0);
    }

    // The stamp also counts this connection's own writes to the view's tables
    // (and its writes of unknown target), not those to other tables: the
    // journal rows a dispatch adds between two clients leave the view as it is.
    const QString id = keyColumn + QLatin1Char('\n') + valueColumn + QLatin1Char('\n') + viewText;
    auto it = m_entries.find(id);
    if (it == m_entries.end() || it->stamp != now + QLatin1Char('/') + QString::number(m_db.ownWritesTo(it->tables))) {
        const QStringList tables = tablesOf(viewText);
        const QString entryStamp = now + QLatin1Char('/') + QString::number(m_db.ownWritesTo(tables));
        work.Close();
        work.setSQL(QStringList{QStringLiteral("SELECT ") + keyColumn + QStringLiteral(", ") + valueColumn,
                                QStringLiteral("FROM (") + viewText + QStringLiteral(")")});
        work.Open();
        Entry entry;
        entry.stamp = entryStamp;
        entry.tables = tables;
        for (int r = 0; r < work.RecordCount(); ++r) {
            const QVariant k = work.value(r, 0);
            if (k.isNull())
                continue;
            const QString folded = k.toString().toCaseFolded();
            if (!entry.values.contains(folded))
                entry.values.insert(folded, work.value(r, 1));
        }
        work.Close();
        if (m_entries.size() >= 8) // only a few views are ever looked up
            m_entries.clear();
        it = m_entries.insert(id, std::move(entry));
    }
    const auto found = it->values.constFind(key.toCaseFolded());
    if (found == it->values.cend())
        return std::nullopt;
    return *found;
}
