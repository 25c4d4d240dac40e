#include "activityseries.h"

#include "config/korvinaerror.h"
#include "data/database.h"

#include <algorithm>

namespace {

// A row waiting for its answer longer than this is no longer read again:
// it stays "sent", without an answer time.
constexpr qint64 PendingForMs = 10 * 60 * 1000;

const QString HistoryColumns = QStringLiteral("id, trans_id, sent_at, result_at, status, id_order, filled, code");

} // namespace

QString ActivitySeries::OperatorName() { return QStringLiteral("Оператор"); }
QString ActivitySeries::AllName() { return QString(); }

QDateTime ActivitySeries::historyTime(const QVariant &v)
{
    if (v.isNull())
        return {};
    if (v.typeId() == QMetaType::LongLong || v.typeId() == QMetaType::Int)
        return QDateTime::fromMSecsSinceEpoch(v.toLongLong());
    return dateTimeValue(v);
}

QVariant ActivitySeries::historyTimeParam(const QDateTime &t) { return t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")); }

ActivitySeries::ActivitySeries(QDate day, QObject *parent) : QObject(parent) { reset(day); }

void ActivitySeries::reset(QDate day)
{
    m_day = day;
    m_all.assign(Minutes, Minute());
    m_byStrategy.clear();
    m_strategyCounts.clear();
    m_clientCounts.clear();
    m_total = Counts();
    m_rows.clear();
    m_pending.clear();
    m_orders.clear();
    m_lastId = -1;
    m_first = m_last = -1;
}

ActivitySeries::Category ActivitySeries::categoryOf(const QVariant &status)
{
    if (status.isNull())
        return Sent;
    const int s = status.toInt();
    if (s == 3)
        return Done;
    if (s == 0 || s == 1)
        return Sent;
    return Refused;
}

ActivitySeries::Minute &ActivitySeries::bucket(const QString &strategy, int i)
{
    auto it = m_byStrategy.find(strategy);
    if (it == m_byStrategy.end())
        it = m_byStrategy.insert(strategy, std::vector<Minute>(Minutes));
    return (*it)[size_t(i)];
}

const ActivitySeries::Minute &ActivitySeries::minute(const QString &strategy, int i) const
{
    static const Minute none;
    if (i < 0 || i >= Minutes)
        return none;
    if (strategy.isEmpty())
        return m_all[size_t(i)];
    const auto it = m_byStrategy.constFind(strategy);
    return it == m_byStrategy.cend() ? none : (*it)[size_t(i)];
}

void ActivitySeries::count(const Tracked &t, Category category, int delta)
{
    for (Minute *m : {&m_all[size_t(t.minute)], &bucket(t.strategy, t.minute)}) {
        int &n = category == Done ? m->done : category == Refused ? m->refused : m->sent;
        n += delta;
    }
    if (category == Refused) {
        m_strategyCounts[t.strategy].refused += delta;
        m_clientCounts[t.code].refused += delta;
        m_total.refused += delta;
    }
}

void ActivitySeries::add(const Row &row, const Order &order)
{
    if (row.transId < 0 || !row.sentAt.isValid())
        return;
    const Category category = categoryOf(row.status);
    const bool answered = !row.status.isNull() && row.resultAt.isValid();
    auto it = m_rows.find(row.id);
    if (it == m_rows.end()) {
        if (row.sentAt.date() != m_day)
            return;
        Tracked t;
        t.minute = row.sentAt.time().hour() * 60 + row.sentAt.time().minute();
        t.strategy = row.filled && row.orderId > 0 ? (order.strategy.isEmpty() ? QStringLiteral("—") : order.strategy) : OperatorName();
        t.code = row.code;
        t.category = category;
        t.sentAt = row.sentAt;
        Minute &all = m_all[size_t(t.minute)];
        Minute &own = bucket(t.strategy, t.minute);
        Counts &s = m_strategyCounts[t.strategy];
        Counts &c = m_clientCounts[t.code];
        ++all.transactions;
        ++own.transactions;
        ++s.transactions;
        ++c.transactions;
        ++m_total.transactions;
        if (row.filled && row.orderId > 0) {
            if (m_total.orders.insert(row.orderId)) {
                ++all.orders;
                ++own.orders;
            }
            s.orders.insert(row.orderId);
            c.orders.insert(row.orderId);
            if (order.filledAt.isValid()) {
                const qint32 ms = qint32(std::clamp<qint64>(order.filledAt.msecsTo(row.sentAt), 0, INT32_MAX));
                all.fillToLine.push_back(ms);
                own.fillToLine.push_back(ms);
                s.worstFillToLine = std::max<qint64>(s.worstFillToLine, ms);
                c.worstFillToLine = std::max<qint64>(c.worstFillToLine, ms);
                m_total.worstFillToLine = std::max<qint64>(m_total.worstFillToLine, ms);
            }
        }
        count(t, category, +1);
        ++m_taken;
        it = m_rows.insert(row.id, t);
        m_first = m_first < 0 ? t.minute : std::min(m_first, t.minute);
        m_last = std::max(m_last, t.minute);
    } else if (it->category != category) {
        count(*it, it->category, -1);
        count(*it, category, +1);
        it->category = category;
    }
    Tracked &t = *it;
    if (answered && !t.answered) {
        t.answered = true;
        const qint32 ms = qint32(std::clamp<qint64>(t.sentAt.msecsTo(row.resultAt), 0, INT32_MAX));
        m_all[size_t(t.minute)].lineToAnswer.push_back(ms);
        bucket(t.strategy, t.minute).lineToAnswer.push_back(ms);
        for (Counts *c : {&m_strategyCounts[t.strategy], &m_clientCounts[t.code], &m_total})
            c->worstLineToAnswer = std::max<qint64>(c->worstLineToAnswer, ms);
    }
    m_lastId = std::max(m_lastId, row.id);
    if (category == Sent) {
        m_pending.insert(row.id, t.sentAt);
    } else {
        m_pending.remove(row.id);
        // Its last answer: the row is not read again.
        m_rows.erase(it);
    }
}

bool ActivitySeries::OrderSet::insert(qint64 id)
{
    if (m_ids.empty() || m_ids.back() < id) {
        m_ids.push_back(id);
        return true;
    }
    const auto at = std::lower_bound(m_ids.begin(), m_ids.end(), id);
    if (at != m_ids.end() && *at == id)
        return false;
    m_ids.insert(at, id);
    return true;
}

ActivitySeries::Order ActivitySeries::orderOf(Database *alerts, qint64 orderId, bool filled)
{
    if (!filled || orderId <= 0)
        return {};
    const auto it = m_orders.constFind(orderId);
    if (it != m_orders.cend())
        return *it;
    Order o;
    if (alerts && alerts->isOpen()) {
        try {
            const Database::Rows r = alerts->fetch(QStringLiteral("SELECT [Time Filled], System FROM FilledOrders WHERE ID = :id"),
                                                   {{QStringLiteral("id"), orderId}});
            if (!r.rows.isEmpty()) {
                o.filledAt = historyTime(r.rows.first().value(0));
                o.strategy = r.rows.first().value(1).toString();
            }
        } catch (const std::exception &) {
            // Without the platform's row the order has no strategy nor fill time.
        }
    }
    // A cache of the orders met lately: an order's rows come together.
    if (m_orders.size() >= 4096)
        m_orders.clear();
    m_orders.insert(orderId, o);
    return o;
}

void ActivitySeries::takeRows(Database *alerts, const QStringList &fields, const QVector<QVector<QVariant>> &rows)
{
    Q_UNUSED(fields);
    for (const auto &r : rows) {
        Row row;
        row.id = r.value(0).toLongLong();
        row.transId = r.value(1).toInt();
        row.sentAt = historyTime(r.value(2));
        row.resultAt = historyTime(r.value(3));
        row.status = r.value(4);
        row.orderId = r.value(5).toLongLong();
        row.filled = r.value(6).toBool();
        row.code = r.value(7).toString();
        add(row, m_rows.contains(row.id) ? Order() : orderOf(alerts, row.orderId, row.filled));
    }
}

bool ActivitySeries::Update(Database &quik, Database *alerts, bool followToday)
{
    if (followToday && QDate::currentDate() != m_day)
        reset(QDate::currentDate());
    const qint64 before = m_taken;
    bool answered = false;
    if (m_lastId < 0) {
        const QDateTime start(m_day, QTime(0, 0));
        const Database::Rows rows = quik.fetch(QStringLiteral("SELECT ") + HistoryColumns
                                                   + QStringLiteral(" FROM tOrderHistory WHERE sent_at >= :start AND sent_at < :end ORDER BY id"),
                                               {{QStringLiteral("start"), historyTimeParam(start)},
                                                {QStringLiteral("end"), historyTimeParam(start.addDays(1))}});
        m_lastId = 0;
        takeRows(alerts, rows.fields, rows.rows);
        if (m_lastId == 0) {
            // An empty day: new rows are those after the history's last.
            const Database::Rows last = quik.fetch(QStringLiteral("SELECT MAX(id) FROM tOrderHistory"));
            m_lastId = last.rows.isEmpty() ? 0 : last.rows.first().value(0).toLongLong();
        }
        return m_taken != before || !rows.rows.isEmpty();
    }
    // The rows still waiting for an answer, the recent ones only.
    const QDateTime now = QDateTime::currentDateTime();
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (it.value().msecsTo(now) > PendingForMs) {
            // No longer looked for: it stays "sent" in the counts.
            m_rows.remove(it.key());
            it = m_pending.erase(it);
        } else
            ++it;
    }
    if (!m_pending.isEmpty()) {
        const qint64 from = m_pending.firstKey();
        const Database::Rows rows =
            quik.fetch(QStringLiteral("SELECT ") + HistoryColumns
                           + QStringLiteral(" FROM tOrderHistory WHERE id >= :from AND id <= :last AND status IS NOT NULL ORDER BY id"),
                       {{QStringLiteral("from"), from}, {QStringLiteral("last"), m_lastId}});
        QVector<QVector<QVariant>> waiting;
        for (const auto &r : rows.rows)
            if (m_pending.contains(r.value(0).toLongLong()))
                waiting << r;
        answered = !waiting.isEmpty();
        takeRows(alerts, rows.fields, waiting);
    }
    const Database::Rows added = quik.fetch(QStringLiteral("SELECT ") + HistoryColumns + QStringLiteral(" FROM tOrderHistory WHERE id > :last ORDER BY id"),
                                            {{QStringLiteral("last"), m_lastId}});
    takeRows(alerts, added.fields, added.rows);
    const bool any = answered || m_taken != before;
    if (any)
        emit changed();
    return any;
}

void ActivitySeries::ReadDay(ActivitySeries &series, Database &quik, Database *alerts)
{
    series.reset(series.day());
    series.Update(quik, alerts, false);
}

QStringList ActivitySeries::strategies() const
{
    QStringList out = m_byStrategy.keys();
    std::sort(out.begin(), out.end());
    return out;
}

qint64 ActivitySeries::median(const std::vector<qint32> &values)
{
    if (values.empty())
        return -1;
    std::vector<qint32> v(values);
    const size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + qsizetype(mid), v.end());
    if (v.size() % 2)
        return v[mid];
    const qint32 upper = v[mid];
    const qint32 lower = *std::max_element(v.begin(), v.begin() + qsizetype(mid));
    return (qint64(lower) + upper) / 2;
}

qint64 ActivitySeries::worst(const std::vector<qint32> &values)
{
    return values.empty() ? -1 : *std::max_element(values.begin(), values.end());
}

QVector<ActivitySeries::Tally> ActivitySeries::tallies(const QMap<QString, Counts> &counts)
{
    QVector<Tally> out;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        out.append({it.key(), int(it->orders.size()), it->transactions, it->refused, it->worstFillToLine, it->worstLineToAnswer});
    return out;
}

QVector<ActivitySeries::Tally> ActivitySeries::byStrategy() const { return tallies(m_strategyCounts); }
QVector<ActivitySeries::Tally> ActivitySeries::byClient() const { return tallies(m_clientCounts); }

ActivitySeries::Tally ActivitySeries::total() const
{
    return {QStringLiteral("Всего"), int(m_total.orders.size()), m_total.transactions, m_total.refused, m_total.worstFillToLine,
            m_total.worstLineToAnswer};
}
