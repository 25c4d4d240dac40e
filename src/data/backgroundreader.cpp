#include "backgroundreader.h"

#include "changecounters.h"
#include "config/korvinaerror.h"
#include "database.h"
#include "dataset.h"

#include <QAtomicInteger>

#include <memory>

namespace {
enum Outcome { Unchanged, Read, Busy, Failed };
QAtomicInteger<quint64> readerSerial;
} // namespace

// Lives in the reader's thread; its connection is made, used and closed there.
class ReaderWorker : public QObject {
public:
    struct Result {
        qint64 stamp = -1;
        int outcome = Failed;
        QString error;
        QStringList fields;
        QVector<QVector<QVariant>> rows;
        Database::Rows side;
    };

    Result read(const QString &path, const QString &jet, const QVariantMap &params, const QString &sideJet,
                const DataSet::RowSource &source, qint64 known)
    {
        Result r;
        try {
            if (!m_db || m_path != path || !m_db->isOpen()) {
                m_db.reset();
                auto db = std::make_unique<Database>(QStringLiteral("korvina-reader-%1").arg(++readerSerial));
                QString error;
                if (!db->open(path, &error)) {
                    r.outcome = Busy;
                    r.error = error;
                    return r;
                }
                db->setBusyTimeout(BackgroundReader::BusyTimeoutMs);
                m_db = std::move(db);
                m_path = path;
                ++m_opened;
            }
            // data_version: bumped by every commit of another connection
            // (this one only reads); the opening counts, as a new connection
            // starts its own count.
            const qint64 version = m_db->changeStamp();
            if (version < 0) {
                r.outcome = Busy;
                r.error = QStringLiteral("data_version");
                return r;
            }
            r.stamp = (m_opened << 40) + (version >> 32);
            if (r.stamp == known) {
                r.outcome = Unchanged;
                return r;
            }
            // The rows and the computed column's second statement (or the
            // statements of a row source) in one read transaction: all show
            // the database at the same moment.
            Database::Rows rows;
            if (sideJet.isEmpty() && !source) {
                rows = m_db->fetch(jet, params);
            } else {
                QSqlDatabase handle = m_db->handle();
                const bool snapshot = handle.transaction();
                try {
                    rows = source ? source(*m_db) : m_db->fetch(jet, params);
                    if (!sideJet.isEmpty())
                        r.side = m_db->fetch(sideJet);
                } catch (...) {
                    if (snapshot)
                        handle.rollback();
                    throw;
                }
                if (snapshot)
                    handle.commit();
            }
            r.fields = std::move(rows.fields);
            r.rows = std::move(rows.rows);
            r.outcome = Read;
        } catch (const std::exception &e) {
            r.outcome = isTransient(e) ? Busy : Failed;
            r.error = failureText(e);
            r.stamp = -1;
        }
        return r;
    }

    void drop()
    {
        m_db.reset();
        m_path.clear();
    }

private:
    std::unique_ptr<Database> m_db;
    QString m_path;
    qint64 m_opened = 0;
};

BackgroundReader::BackgroundReader(QObject *parent) : QObject(parent)
{
    m_worker = new ReaderWorker;
    m_worker->moveToThread(&m_thread);
    m_thread.setObjectName(QStringLiteral("korvina-reader"));
    m_thread.start();
}

BackgroundReader::~BackgroundReader()
{
    // The connection is closed in the thread that made it; a read under way
    // ends first (it waits at most BusyTimeoutMs for a lock).
    ReaderWorker *worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker] { worker->drop(); }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    delete worker;
}

void BackgroundReader::disconnectWorker()
{
    ReaderWorker *worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker] { worker->drop(); }, Qt::QueuedConnection);
    m_known.clear();
}

void BackgroundReader::refresh(DataSet &query)
{
    Database *db = query.connection();
    if (!db || !db->isOpen() || query.editing())
        return;
    if (db->engine() != Database::Engine::SQLite || query.isTable()) {
        if (m_counters)
            m_counters->readIfChanged(query, RefreshQuery);
        else
            RefreshQuery(query);
        return;
    }
    auto it = m_jobs.find(&query);
    if (it != m_jobs.end()) {
        it->again = true;
        return;
    }
    if (!m_watched.contains(&query)) {
        m_watched.insert(&query);
        DataSet *key = &query;
        connect(&query, &QObject::destroyed, this, [this, key] {
            m_watched.remove(key);
            m_known.remove(key);
            m_jobs.remove(key);
        });
    }
    Job &job = m_jobs[&query];
    job.query = &query;
    start(query, job);
}

void BackgroundReader::start(DataSet &query, Job &job)
{
    job.generation = query.generation();
    job.again = false;
    const Known known = m_known.value(&query);
    const qint64 knownStamp = query.Active() && known.generation == job.generation ? known.stamp : -1;
    const QString path = query.connection()->path();
    const QString jet = query.statement();
    const QVariantMap params = query.params();
    const QString side = query.calcSideStatement();
    const DataSet::RowSource source = query.rowSource();
    DataSet *key = &query;
    const quint64 generation = job.generation;
    ReaderWorker *worker = m_worker;
    QMetaObject::invokeMethod(
        worker,
        [this, worker, key, generation, path, jet, params, side, source, knownStamp] {
            ReaderWorker::Result r = worker->read(path, jet, params, side, source, knownStamp);
            // Back in the owner's thread; dropped if the reader is gone.
            QMetaObject::invokeMethod(
                this,
                [this, key, generation, r = std::move(r)]() mutable {
                    done(key, generation, r.stamp, r.outcome, r.error, r.fields, r.rows, r.side);
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void BackgroundReader::done(DataSet *key, quint64 generation, qint64 stamp, int outcome, const QString &error,
                            const QStringList &fields, const QVector<QVector<QVariant>> &rows, const Database::Rows &side)
{
    auto it = m_jobs.find(key);
    if (it == m_jobs.end())
        return;
    DataSet *query = it->query;
    const bool again = it->again;
    if (!query) {
        m_jobs.erase(it);
        m_known.remove(key);
        return;
    }
    // A result of another statement, or for rows changed meanwhile, is not
    // this query's result.
    const bool current = query->generation() == generation && !query->editing() && query->connection() && query->connection()->isOpen();
    if (current) {
        switch (outcome) {
        case Read:
            try {
                if (query->hasCalcField())
                    query->replaceRows(fields, rows, side);
                else
                    query->replaceRows(fields, rows);
                query->setLastError(QString());
                m_known[key] = Known{query->generation(), stamp};
            } catch (const std::exception &e) {
                query->setLastError(failureText(e));
            }
            break;
        case Unchanged:
            // Nothing committed since: the rows shown are still the database's.
            query->setLastError(QString());
            query->markRead();
            break;
        case Busy:
            // The rows shown stay; the next ask tries again.
            query->setLastError(error);
            break;
        default:
            query->Close();
            query->setLastError(error);
            m_known.remove(key);
            break;
        }
    }
    if (again) {
        // Asked again meanwhile: read what it is now.
        if (query->connection() && query->connection()->isOpen() && !query->editing()) {
            start(*query, *it);
            emit finished(query);
            return;
        }
    }
    m_jobs.erase(it);
    emit finished(query);
}
