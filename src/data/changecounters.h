#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class Database;
class DataSet;

// Whether the rows a merged view shows may have changed, on a PostgreSQL
// QuikData with change counters (schema::ChangeCounterTable): every terminal
// table a view reads carries a trigger that raises the table's counter in
// the writer's own transaction, so a counter read before the view's rows
// never misses a change those rows lack.
//
// readIfChanged reads the counters (one statement) and runs the read only
// when a counter of one of the dataset's tables moved since the read last
// ran for it, or the dataset changed (another statement, closed, opened
// again); otherwise the rows shown are the database's still and only count
// as read now. It always reads:
// - on another engine, or when the database has no counter table (a
//   QuikData made before the counters: said once in the log per
//   connection);
// - when a table the dataset reads is not counted (no counter row, or its
//   trigger is gone: a table made again by another program);
// - when the counters cannot be read at the moment.
class ChangeCounters : public QObject {
    Q_OBJECT
public:
    // `reread` names, for the log, what is read at every tick without the
    // counters.
    explicit ChangeCounters(Database &db, const QString &reread = QStringLiteral("сводные таблицы терминалов"), QObject *parent = nullptr);

    // Runs `read` on the dataset unless nothing it reads changed since the
    // last read. True when `read` ran.
    bool readIfChanged(DataSet &dataset, const std::function<void(DataSet &)> &read);

    // Whether the counters of the database are used (known after the first
    // readIfChanged on the connection).
    bool counting() const { return m_state == State::Counting; }
    // Reads left out since the connection was opened, and the counters'
    // statements run.
    qint64 skipped() const { return m_skipped; }
    qint64 counterReads() const { return m_counterReads; }

    // While a hold is open the counters are read once, at the first
    // readIfChanged: every view of one refresh tick compares with the same
    // reading.
    class Hold {
    public:
        explicit Hold(ChangeCounters &counters) : m_counters(counters) { ++m_counters.m_holds; }
        ~Hold()
        {
            if (--m_counters.m_holds == 0)
                m_counters.m_held = false;
        }
        Hold(const Hold &) = delete;
        Hold &operator=(const Hold &) = delete;

    private:
        ChangeCounters &m_counters;
    };

    void clear();

private:
    enum class State { Unknown, Missing, Counting };
    QString m_reread;
    // Whether the counters are there to use; the first call of a
    // connection looks (and logs when they are missing).
    bool usable();
    // The counters now (or as read within the hold); false when they
    // cannot be read.
    bool readCounters();
    // The counters of the tables, joined; empty when one is not counted.
    QString stampOf(const QStringList &tables) const;
    QStringList tablesOf(DataSet &dataset);

    struct Known {
        quint64 generation = 0;
        bool valid = false;
        QStringList tables;
        QString stamp; // empty: read at the next ask
    };

    Database &m_db;
    State m_state = State::Unknown;
    QHash<QString, QString> m_counts; // by table, lower case: "relation:changes"
    bool m_countsRead = false;
    int m_holds = 0;
    bool m_held = false;
    QHash<DataSet *, Known> m_known;
    qint64 m_skipped = 0;
    qint64 m_counterReads = 0;
};
