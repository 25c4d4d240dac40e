#pragma once

#include "database.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QThread>

class ChangeCounters;
class DataSet;
class ReaderWorker;

// Re-reads queries on a connection of its own in a worker thread, so that
// the thread of the windows never waits for a long statement or for
// another program's lock. The result takes the place of the query's rows
// (DataSet::replaceRows) when it comes back, in the owner's thread, between
// two events, never inside a tick.
//
// - A query already being read is read once more when that read ends (any
//   number of asks in between make one read).
// - The worker's connection sees what other connections committed; when
//   nothing was committed since the last read of the same statement, the
//   rows are not read again (one data_version query).
// - A result is dropped when the query changed meanwhile (its statement or
//   parameters, closed or opened again, or a row being edited).
// - A database that is busy or locked keeps the rows shown; one that fails
//   otherwise closes the query, as RefreshQuery does.
// - A query with a computed column has the column's second statement read
//   with its rows, in one read transaction, and the column filled when the
//   result is taken. A query with a row source (DataSet::setRowSource) has
//   the source run on the worker's connection, in one read transaction.
// - Rows found unchanged count as read at that moment (DataSet::markRead).
// - Queries that cannot be read this way (not SQLite) are re-read at once
//   with RefreshQuery, on a server with change counters only when a table
//   they read changed (ChangeCounters).
class BackgroundReader : public QObject {
    Q_OBJECT
public:
    explicit BackgroundReader(QObject *parent = nullptr);
    ~BackgroundReader() override;

    void refresh(DataSet &query);
    // The counters of the queries' database, for those read at once.
    void setChangeCounters(ChangeCounters *counters) { m_counters = counters; }
    // No read asked for or under way.
    bool idle() const { return m_jobs.isEmpty(); }
    // Drops the worker's connection (before the owner's closes, or when the
    // file may have been replaced); the next read opens it again.
    void disconnectWorker();
    // How long a read waits for another program's lock before it gives up
    // until the next ask.
    static constexpr int BusyTimeoutMs = 1000;

signals:
    // A result was taken or dropped, or a read failed; idle() may have changed.
    void finished(DataSet *query);

private:
    struct Job {
        QPointer<DataSet> query;
        quint64 generation = 0;
        bool again = false;
    };
    struct Known {
        quint64 generation = 0;
        qint64 stamp = -1;
    };
    void start(DataSet &query, Job &job);
    void done(DataSet *query, quint64 generation, qint64 stamp, int outcome, const QString &error, const QStringList &fields,
              const QVector<QVector<QVariant>> &rows, const Database::Rows &side);

    QThread m_thread;
    ReaderWorker *m_worker = nullptr;
    QHash<DataSet *, Job> m_jobs;    // reads under way
    QHash<DataSet *, Known> m_known; // what each query's rows were read at
    QSet<DataSet *> m_watched;
    ChangeCounters *m_counters = nullptr;
};
