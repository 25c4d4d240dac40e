#pragma once

#include <QHash>
#include <QObject>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>
#include <optional>

class Database;
class DataSet;

// First-row lookups in a merged view by one key column, as
//   SELECT value FROM (view) WHERE key= "K"
// answers them, for many keys in a row (one per client of a dispatch).
// SQLite cannot push such a condition into a UNION of the terminals' tables,
// so every lookup would read the whole union; instead the view is read once
// into a table of first values per key, kept while the view's data stays as
// it was: no row of its tables changed through this connection, no commit of
// another connection or process, no schema change. Keys compare without regard to
// letter case, as the database compares text. On an engine without such a
// change stamp every lookup runs the keyed statement itself.
class ViewKeyCache : public QObject {
    Q_OBJECT
public:
    explicit ViewKeyCache(Database &db, QObject *parent = nullptr);

    struct Lookup {
        QString viewText;
        QString keyColumn;
        QString valueColumn;
        QString key;
    };
    // For every lookup the value column of the view's first row whose key
    // column equals the key; nothing when there is no such row. Statements
    // run on the work query; their failures pass to the caller.
    QVector<std::optional<QVariant>> firstValues(DataSet &work, const QVector<Lookup> &lookups);

    void clear();

    // While a hold is open the database's change stamp is read once, at the
    // first lookup: every client of one order is sized on the same reading
    // of the views, without a read of the stamp per client.
    class Hold {
    public:
        explicit Hold(ViewKeyCache &cache) : m_cache(cache) { ++m_cache.m_holds; }
        ~Hold()
        {
            if (--m_cache.m_holds == 0)
                m_cache.m_heldStamp.reset();
        }
        Hold(const Hold &) = delete;
        Hold &operator=(const Hold &) = delete;

    private:
        ViewKeyCache &m_cache;
    };

private:
    // The database's change stamp; empty when the engine gives none.
    QString stamp();
    std::optional<QVariant> firstValue(DataSet &work, const QString &now, const Lookup &lookup);

    QStringList tablesOf(const QString &viewText) const;

    struct Entry {
        QStringList tables; // those the view reads, lower case
        QString stamp;
        QHash<QString, QVariant> values;
    };
    Database &m_db;
    QSqlQuery m_stampQuery;
    bool m_stampPrepared = false;
    QHash<QString, Entry> m_entries;
    int m_holds = 0;
    std::optional<QString> m_heldStamp;
};
