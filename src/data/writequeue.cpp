#include "writequeue.h"

#include "database.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"

#include <algorithm>

namespace {
// How long a transient failure is left alone before the next try: every try
// may wait the database's busy timeout.
constexpr int RetryPauseMs = 1000;
// How long a write waits for another program's lock before its rows are
// put off (they are kept, so a short wait costs nothing): the lines that
// follow the rows are not held up by the database's full busy timeout. While
// the queue already waits for a database, each try waits less still. The
// wait is spent on the windows' thread, so it stays well short of a frame
// the operator would see as the window hanging (100 ms); a terminal's export
// holds the lock for less than that, so a write mostly still gets through
// at its first try.
constexpr int WriteBusyTimeoutMs = 60;
constexpr int DeferredBusyTimeoutMs = 40;
} // namespace

WriteQueue::WriteQueue(Database &db) : m_db(db) {}

WriteQueue::Batch::Batch(WriteQueue &queue, bool urgent) : m_queue(queue)
{
    ++m_queue.m_batchDepth;
    m_queue.m_urgent = m_queue.m_urgent || urgent;
}

WriteQueue::Batch::~Batch()
{
    if (--m_queue.m_batchDepth == 0) {
        const bool urgent = m_queue.m_urgent;
        m_queue.m_urgent = false;
        m_queue.flush(urgent);
    }
}

void WriteQueue::forget(const Item &item)
{
    const auto it = m_tags.find(item.tag);
    if (it != m_tags.end() && --*it <= 0)
        m_tags.erase(it);
}

void WriteQueue::add(Item item)
{
    if (item.supersede && m_tags.contains(item.tag))
        remove(item.tag);
    ++m_tags[item.tag];
    m_items.push_back(std::move(item));
    if (m_batchDepth == 0)
        flush();
}

WriteQueue::Item *WriteQueue::find(const QString &tag)
{
    if (!m_tags.contains(tag))
        return nullptr;
    for (Item &i : m_items)
        if (i.tag == tag)
            return &i;
    return nullptr;
}

int WriteQueue::remove(const QString &tag)
{
    if (!m_tags.contains(tag))
        return 0;
    const auto before = m_items.size();
    std::erase_if(m_items, [&](const Item &i) { return i.tag == tag; });
    m_tags.remove(tag);
    return static_cast<int>(before - m_items.size());
}

int WriteQueue::removePrefix(const QString &prefix)
{
    const auto before = m_items.size();
    std::erase_if(m_items, [&](const Item &i) {
        if (!i.tag.startsWith(prefix))
            return false;
        forget(i);
        return true;
    });
    return static_cast<int>(before - m_items.size());
}

void WriteQueue::defer(const QString &error)
{
    m_retryAfter.setRemainingTime(RetryPauseMs);
    if (m_deferring)
        return;
    m_deferring = true;
    AddLog(QStringLiteral("Запись в базу данных ") + m_db.shownPath() + QStringLiteral(" отложена (") + error
           + QStringLiteral("): записи сохраняются в памяти и будут записаны позже."));
}

bool WriteQueue::writeTogether(std::vector<qint64> &ids)
{
    // All or nothing; a failure rolls the transaction back.
    ids.assign(m_items.size(), -1);
    m_db.begin();
    try {
        size_t at = 0;
        while (at < m_items.size()) {
            if (!m_db.isRowInsert(m_items[at].jet)) {
                m_db.execute(m_items[at].jet, m_items[at].params, &ids[at]);
                ++at;
                continue;
            }
            // A run of rows added one each: those of one statement go
            // together, many per statement. Rows added do not depend on one
            // another, and a row of one statement keeps its place among the
            // others of it; what changes or deletes rows comes after the run.
            size_t end = at;
            while (end < m_items.size() && m_db.isRowInsert(m_items[end].jet))
                ++end;
            std::vector<std::pair<const QString *, std::vector<size_t>>> groups;
            for (size_t i = at; i < end; ++i) {
                const QString &jet = m_items[i].jet;
                auto g = std::find_if(groups.begin(), groups.end(), [&](const auto &group) { return *group.first == jet; });
                if (g == groups.end())
                    groups.push_back({&jet, {i}});
                else
                    g->second.push_back(i);
            }
            std::vector<const QVariantMap *> rows;
            std::vector<qint64> rowIds;
            for (const auto &[jet, members] : groups) {
                rows.clear();
                bool idsWanted = false;
                for (size_t i : members) {
                    rows.push_back(&m_items[i].params);
                    idsWanted = idsWanted || bool(m_items[i].written);
                }
                m_db.insertRows(*jet, rows, idsWanted ? &rowIds : nullptr);
                if (idsWanted)
                    for (size_t k = 0; k < members.size(); ++k)
                        ids[members[k]] = rowIds[k];
            }
            at = end;
        }
        m_db.commit();
    } catch (...) {
        m_db.rollback();
        throw;
    }
    return true;
}

bool WriteQueue::flush(bool force)
{
    if (m_flushing)
        return m_items.empty();
    if (m_items.empty()) {
        m_deferring = false;
        return true;
    }
    if (m_deferring && !force && !m_retryAfter.hasExpired())
        return false;
    m_flushing = true;
    const int busyTimeout = m_db.busyTimeout();
    m_db.setBusyTimeout(std::min(busyTimeout, m_deferring ? DeferredBusyTimeoutMs : WriteBusyTimeoutMs));
    struct Reset {
        bool &flag;
        Database &db;
        int busyTimeout;
        ~Reset()
        {
            flag = false;
            db.setBusyTimeout(busyTimeout);
        }
    } reset{m_flushing, m_db, busyTimeout};

    bool retriedRows = false;
    for (const Item &i : m_items)
        retriedRows = retriedRows || i.failedOnce;

    // The usual case: every row in one transaction.
    if (!retriedRows && m_items.size() > 1) {
        std::vector<qint64> ids;
        try {
            writeTogether(ids);
            std::deque<Item> done;
            done.swap(m_items);
            m_tags.clear();
            for (size_t n = 0; n < done.size(); ++n)
                if (done[n].written)
                    done[n].written(ids[n]);
            if (m_deferring) {
                m_deferring = false;
                AddLog(QStringLiteral("Отложенные записи сохранены в базе данных ") + m_db.shownPath() + QStringLiteral("."));
            }
            return true;
        } catch (const std::exception &e) {
            // Busy, locked, full: one row at a time would only wait again.
            if (isTransient(e)) {
                defer(failureText(e));
                return false;
            }
            // A row the database refuses: one at a time below, so that the
            // row at fault alone is lost (or kept to be tried again).
        }
    }

    for (auto it = m_items.begin(); it != m_items.end();) {
        qint64 id = -1;
        try {
            m_db.execute(it->jet, it->params, &id);
        } catch (const std::exception &e) {
            const QString error = failureText(e);
            if (isTransient(e)) {
                defer(error);
                return false;
            }
            if (it->retry) {
                if (!it->failedOnce && it->failed)
                    it->failed(error);
                it->failedOnce = true;
                ++it;
                continue;
            }
            Item gone = std::move(*it);
            it = m_items.erase(it);
            forget(gone);
            if (gone.lost)
                gone.lost(error);
            continue;
        }
        Item done = std::move(*it);
        it = m_items.erase(it);
        forget(done);
        if (done.written)
            done.written(id);
    }
    if (m_items.empty() && m_deferring) {
        m_deferring = false;
        AddLog(QStringLiteral("Отложенные записи сохранены в базе данных ") + m_db.shownPath() + QStringLiteral("."));
    }
    if (!m_items.empty())
        m_retryAfter.setRemainingTime(RetryPauseMs);
    return m_items.empty();
}
