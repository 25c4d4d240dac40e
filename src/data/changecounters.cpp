#include "changecounters.h"

#include "config/operationlog.h"
#include "database.h"
#include "dataset.h"
#include "schema.h"

#include <QRegularExpression>
#include <QSet>
#include <QSqlQuery>

#include <algorithm>

ChangeCounters::ChangeCounters(Database &db, const QString &reread, QObject *parent) : QObject(parent), m_reread(reread), m_db(db)
{
    connect(&m_db, &Database::aboutToClose, this, &ChangeCounters::clear);
}

void ChangeCounters::clear()
{
    m_state = State::Unknown;
    m_counts.clear();
    m_countsRead = false;
    m_held = false;
    m_known.clear();
    m_skipped = 0;
    m_counterReads = 0;
}

bool ChangeCounters::usable()
{
    if (!m_db.server() || !m_db.isOpen())
        return false;
    if (m_state == State::Unknown) {
        try {
            if (schema::countsChanges(m_db)) {
                m_state = State::Counting;
            } else {
                m_state = State::Missing;
                const QString shown = m_db.shownPath();
                AddLog(QStringLiteral("В базе данных ") + shown + QStringLiteral(" нет счетчиков изменений (таблица ")
                       + QLatin1String(schema::ChangeCounterTable)
                       + QStringLiteral("): ") + m_reread + QStringLiteral(" перечитываются на каждом такте. Добавить счетчики: korvina-db counters ")
                       + shown + QLatin1Char('.'));
            }
        } catch (const std::exception &) {
            return false; // the server is away: looked at again at the next ask
        }
    }
    return m_state == State::Counting;
}

bool ChangeCounters::readCounters()
{
    if (m_holds > 0 && m_held)
        return m_countsRead;
    m_counts.clear();
    m_countsRead = false;
    ++m_counterReads;
    // Only tables whose trigger is there count: a table dropped and made
    // again by another program lost it, and its counter stands still. The
    // table's relation is part of its stamp for the same reason.
    static const QString statement = schema::readCountersStatement();
    try {
        QSqlQuery q = m_db.native(statement);
        while (q.next())
            m_counts.insert(q.value(0).toString().toLower(), q.value(2).toString() + QLatin1Char(':') + q.value(1).toString());
        m_countsRead = true;
    } catch (const std::exception &) {
        m_counts.clear();
    }
    if (m_holds > 0)
        m_held = true;
    return m_countsRead;
}

QString ChangeCounters::stampOf(const QStringList &tables) const
{
    if (tables.isEmpty())
        return QString();
    QString stamp;
    for (const QString &t : tables) {
        const auto it = m_counts.constFind(t);
        if (it == m_counts.cend())
            return QString();
        stamp += t + QLatin1Char('=') + *it + QLatin1Char(' ');
    }
    return stamp;
}

QStringList ChangeCounters::tablesOf(DataSet &dataset)
{
    if (dataset.isTable())
        return {dataset.tableName().toLower()};
    // Every word or [name] of the statements that names a table of the
    // database (the tables as they are now: a view that failed on a
    // missing table is worked out again when it opens).
    QSet<QString> known;
    for (const QString &t : m_db.tables())
        known.insert(t.toLower());
    static const QRegularExpression names(QStringLiteral("\\[([^\\]]+)\\]|\"([^\"]+)\"|(\\w+)"));
    const QString text = dataset.statement() + QLatin1Char('\n') + dataset.calcSideStatement();
    QStringList out;
    for (auto it = names.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        const QString n = (m.captured(1) + m.captured(2) + m.captured(3)).toLower();
        if (known.contains(n) && !out.contains(n))
            out << n;
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool ChangeCounters::readIfChanged(DataSet &dataset, const std::function<void(DataSet &)> &read)
{
    if (dataset.connection() != &m_db || !usable()) {
        read(dataset);
        return true;
    }
    if (!m_known.contains(&dataset)) {
        DataSet *key = &dataset;
        connect(&dataset, &QObject::destroyed, this, [this, key] { m_known.remove(key); });
    }
    Known &known = m_known[&dataset];
    if (!known.valid || known.generation != dataset.generation()) {
        known.tables = tablesOf(dataset);
        known.generation = dataset.generation();
        known.valid = true;
        known.stamp.clear();
    }
    // Read before the rows: a change committed after this reading shows as
    // a moved counter at the next ask, whether the rows caught it or not.
    const QString now = readCounters() ? stampOf(known.tables) : QString();
    if (!now.isEmpty() && dataset.Active() && now == known.stamp) {
        dataset.markRead();
        ++m_skipped;
        return false;
    }
    bool took = false;
    const auto onReread = connect(&dataset, &DataSet::reread, this, [&took] { took = true; });
    const auto onOpened = connect(&dataset, &DataSet::opened, this, [&took] { took = true; });
    read(dataset);
    disconnect(onReread);
    disconnect(onOpened);
    // A read left undone (the connection busy, a row being edited) or
    // failed leaves the next ask to read.
    Known &after = m_known[&dataset];
    after.generation = dataset.generation();
    after.stamp = took && dataset.Active() ? now : QString();
    return true;
}
