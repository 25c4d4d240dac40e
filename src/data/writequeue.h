#pragma once

#include <QDeadlineTimer>
#include <QHash>
#include <QString>
#include <QVariantMap>

#include <deque>
#include <functional>

class Database;

// Rows that must reach a database, kept in the order they were made until
// they do. The journal and the position book are written through it: what
// the robot has sent to a terminal is never dropped because another program
// held the database locked for a while, or the disk was full.
//
// Rows added inside a Batch are written together, in one transaction, when
// the outermost batch ends; a row added outside any batch is written at once.
// When the transaction cannot be committed, the rows are written one at a
// time, so that a row the database refuses costs that row alone.
//
// A transient failure (database busy, locked, full, not connected) keeps the
// failing row and every row after it queued, in order; they are tried again
// at the next flush, at most once a second. A write waits at most a second
// for another program's lock (100 ms once the queue is already waiting). Any other failure drops the row
// (its `lost` callback logs it) unless the row asks to be retried, in which
// case it stays queued and the rows after it go on.
class WriteQueue {
public:
    struct Item {
        QString jet;          // the statement, Jet dialect, :parameters
        QVariantMap params;
        QString tag;          // whose row it is, e.g. "journal:17"
        bool retry = false;   // kept after a failure of any kind
        // A row queued with the same tag as an earlier one takes its place
        // (a result line's update, where the last one counts).
        bool supersede = false;
        std::function<void(qint64 insertId)> written;     // once the row is in the database
        std::function<void(const QString &error)> lost;   // dropped after a failure
        std::function<void(const QString &error)> failed; // first failure of a row that is retried

        bool failedOnce = false;
    };

    explicit WriteQueue(Database &db);

    Database &database() { return m_db; }

    void add(Item item);
    // Writes what is queued; true when nothing is left. Before the retry
    // time of a transient failure it does nothing unless forced.
    bool flush(bool force = false);

    bool isEmpty() const { return m_items.empty(); }
    int size() const { return static_cast<int>(m_items.size()); }
    const std::deque<Item> &items() const { return m_items; }
    // Whether a row with the tag is still queued (not yet written, nor
    // dropped).
    bool holds(const QString &tag) const { return m_tags.contains(tag); }
    // The first queued row with the tag, to be changed before it is
    // written; null when none is queued.
    Item *find(const QString &tag);
    // Takes out the queued rows with the tag (not yet written). The number taken.
    int remove(const QString &tag);
    // Takes out every queued row whose tag starts with the prefix.
    int removePrefix(const QString &prefix);
    // True from a transient failure until the queue has caught up.
    bool deferring() const { return m_deferring; }

    // Adds inside a batch wait for the outermost batch to end. A batch whose
    // rows something waits for (the lines of an order) tries at its end
    // even while the queue waits out its pause after a failure.
    class Batch {
    public:
        explicit Batch(WriteQueue &queue, bool urgent = false);
        ~Batch();
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;

    private:
        WriteQueue &m_queue;
    };

private:
    bool writeTogether(std::vector<qint64> &ids);
    void defer(const QString &error);

    void forget(const Item &item);

    Database &m_db;
    std::deque<Item> m_items;
    QHash<QString, int> m_tags; // how many queued rows carry each tag
    int m_batchDepth = 0;
    bool m_urgent = false; // a batch now open asks for a try at its end
    bool m_deferring = false;
    bool m_flushing = false;
    QDeadlineTimer m_retryAfter{0};
};
