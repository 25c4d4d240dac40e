#pragma once

#include <QDate>
#include <QDateTime>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <vector>

class Database;

// The day's activity per minute, built from the history of transactions
// (tOrderHistory) as it grows: at every tick only the rows added since and
// the rows still waiting for the terminal's answer are read. Every series is
// kept for all strategies together and for each strategy apart (its name is
// the filled order's System; operator orders are "Оператор").
//
// - orders: strategy orders taken, counted in the minute of their first
//   transaction;
// - transactions: transactions queued, by the minute they were queued;
// - done / sent / refused: those transactions by the terminal's last answer
//   (3 executed; 0 or 1, or no answer yet, sent; any other refused);
// - fill to line: from the order's "Time Filled" to its line (the time the
//   transaction was queued), strategy orders only;
// - line to answer: from the line to the first answer the robot read.
// Operator actions kept in the history (trans_id below 0) are not counted.
class ActivitySeries : public QObject {
    Q_OBJECT
public:
    static constexpr int Minutes = 24 * 60;
    static QString OperatorName();
    static QString AllName(); // "" : every strategy together

    // A time column of the history as a time (stored as ISO text, or as
    // milliseconds since the epoch), and a time as the history compares it.
    static QDateTime historyTime(const QVariant &v);
    static QVariant historyTimeParam(const QDateTime &t);

    struct Minute {
        int orders = 0;
        int transactions = 0;
        int done = 0;
        int sent = 0;
        int refused = 0;
        std::vector<qint32> fillToLine;   // ms
        std::vector<qint32> lineToAnswer; // ms
    };
    // One line of the report's tables: a strategy or a client.
    struct Tally {
        QString name;
        int orders = 0;
        int transactions = 0;
        int refused = 0;
        qint64 worstFillToLine = -1;   // ms; -1 none
        qint64 worstLineToAnswer = -1; // ms; -1 none
    };
    // One history row as read.
    struct Row {
        qint64 id = 0;
        qint32 transId = 0;
        QDateTime sentAt;
        QDateTime resultAt;
        QVariant status;
        qint64 orderId = 0;
        bool filled = false;
        QString code;
    };
    // What the strategy platform says of an order.
    struct Order {
        QDateTime filledAt;
        QString strategy;
    };

    explicit ActivitySeries(QDate day = QDate::currentDate(), QObject *parent = nullptr);

    QDate day() const { return m_day; }
    // Starts the day again, empty.
    void reset(QDate day);

    // Reads what the history added or answered since the last read; the
    // alert database (may be null or closed) gives the orders' fill times and
    // strategies. With `followToday` a new day starts the series again.
    // Throws KorvinaError when the history cannot be read. True when anything
    // changed.
    bool Update(Database &quik, Database *alerts, bool followToday = false);
    // The whole day at once (the report).
    static void ReadDay(ActivitySeries &series, Database &quik, Database *alerts);

    // Takes one row (new, or read again with its answer).
    void add(const Row &row, const Order &order);

    // The strategies met so far, sorted.
    QStringList strategies() const;
    // The minute `i` (0 .. Minutes-1) of a strategy, or of all ("").
    const Minute &minute(const QString &strategy, int i) const;
    // The first and last minute with a transaction; -1 when none.
    int firstMinute() const { return m_first; }
    int lastMinute() const { return m_last; }
    static qint64 median(const std::vector<qint32> &values); // -1 when empty
    static qint64 worst(const std::vector<qint32> &values);  // -1 when empty

    QVector<Tally> byStrategy() const;
    QVector<Tally> byClient() const;
    Tally total() const;
    // Rows waiting for their answer (read again at every tick).
    int pending() const { return int(m_pending.size()); }

signals:
    void changed();

private:
    enum Category { Sent, Done, Refused };
    static Category categoryOf(const QVariant &status);
    struct Tracked {
        int minute = 0;
        QString strategy;
        QString code;
        Category category = Sent;
        bool answered = false;
        QDateTime sentAt;
    };
    // Distinct order numbers, kept sorted (they mostly come in rising
    // order, so adding one is mostly an append): 8 bytes an order.
    class OrderSet {
    public:
        bool insert(qint64 id); // false when already there
        int size() const { return int(m_ids.size()); }
        void clear() { m_ids.clear(); }

    private:
        std::vector<qint64> m_ids;
    };
    struct Counts {
        OrderSet orders;
        int transactions = 0;
        int refused = 0;
        qint64 worstFillToLine = -1;
        qint64 worstLineToAnswer = -1;
    };
    Minute &bucket(const QString &strategy, int i);
    void count(const Tracked &t, Category category, int delta);
    Order orderOf(Database *alerts, qint64 orderId, bool filled);
    void takeRows(Database *alerts, const QStringList &fields, const QVector<QVector<QVariant>> &rows);
    static QVector<Tally> tallies(const QMap<QString, Counts> &counts);

    QDate m_day;
    std::vector<Minute> m_all;
    QHash<QString, std::vector<Minute>> m_byStrategy;
    QMap<QString, Counts> m_strategyCounts;
    QMap<QString, Counts> m_clientCounts;
    Counts m_total;
    // The rows whose answer may still change (a row with its last answer
    // is never read again, so it is not kept: a day of orders costs its
    // counts, not its rows).
    QHash<qint64, Tracked> m_rows;
    qint64 m_taken = 0; // rows counted since the day began
    QMap<qint64, QDateTime> m_pending; // history id -> when queued
    QHash<qint64, Order> m_orders;     // by alert row id: the orders met lately (a cache)
    qint64 m_lastId = -1;              // -1: the day not read yet
    int m_first = -1;
    int m_last = -1;
};
