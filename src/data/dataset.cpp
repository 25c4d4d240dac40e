#include "dataset.h"

#include "config/korvinaerror.h"
#include "database.h"

#include <QScopedValueRollback>
#include <QSqlError>
#include <QSqlIndex>
#include <QSqlQuery>
#include <QSqlField>
#include <QSqlRecord>

#include <algorithm>

namespace {
QString ident(const QString &name)
{
    return QLatin1Char('"') + QString(name).replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
}

bool sameValue(const QVariant &a, const QVariant &b)
{
    if (a.isNull() || b.isNull())
        return a.isNull() && b.isNull();
    if (a.typeId() == QMetaType::QString || b.typeId() == QMetaType::QString) {
        bool okA = false, okB = false;
        const double da = a.toDouble(&okA), db = b.toDouble(&okB);
        if (okA && okB && a.typeId() != b.typeId())
            return da == db;
        return a.toString().compare(b.toString(), Qt::CaseInsensitive) == 0;
    }
    return QVariant::compare(a, b) == QPartialOrdering::Equivalent;
}
} // namespace

DataSet::DataSet(const QString &name, Database *connection, Kind kind, QObject *parent)
    : QAbstractTableModel(parent), m_name(name), m_connection(connection), m_kind(kind)
{
    setObjectName(name);
    if (m_connection)
        connect(m_connection, &Database::aboutToClose, this, &DataSet::Close);
}

void DataSet::setSQL(const QStringList &lines)
{
    Close();
    ++m_generation;
    m_sql = lines;
    m_sqlText.clear();
    for (const QString &l : m_sql)
        m_sqlText += l + QStringLiteral("\r\n");
}

void DataSet::setSQL(const QString &text)
{
    QString t = text;
    if (t.endsWith(QLatin1String("\r\n")))
        t.chop(2);
    setSQL(t.isEmpty() ? QStringList() : t.split(QStringLiteral("\r\n")));
}

const QString &DataSet::SQLText() const { return m_sqlText; }

QString DataSet::statement() const { return m_sql.join(QStringLiteral("\r\n")); }

void DataSet::setCalcField(const QString &name, std::function<QString()> side, CalcFill fill)
{
    Close();
    ++m_generation;
    m_calcName = name;
    m_calcSide = std::move(side);
    m_calcFill = std::move(fill);
}

void DataSet::setRowSource(RowSource source)
{
    Close();
    ++m_generation;
    m_rowSource = std::move(source);
}

Database::Rows DataSet::readRows()
{
    if (m_kind == Kind::Table)
        return m_connection->fetch(tableStatement(), rangeParams());
    if (m_rowSource)
        return m_rowSource(*m_connection);
    return m_connection->fetch(statement(), m_params);
}

void DataSet::appendCalc(QStringList &fields, QVector<QVector<QVariant>> &rows, const Database::Rows &side) const
{
    const QVector<QVariant> values = m_calcFill(fields, rows, side);
    fields << m_calcName;
    for (int r = 0; r < rows.size(); ++r)
        rows[r].append(values.value(r));
}

void DataSet::setReadAt(const QDateTime &at)
{
    m_readAt = at;
    emit readAtChanged();
}

void DataSet::markRead()
{
    if (m_active)
        setReadAt(QDateTime::currentDateTime());
}

void DataSet::setParam(const QString &name, const QVariant &value)
{
    QString key = name.startsWith(QLatin1Char(':')) ? name.mid(1) : name;
    if (!m_params.contains(key) || m_params.value(key) != value)
        ++m_generation;
    m_params.insert(key, value);
}

void DataSet::clearParams()
{
    if (!m_params.isEmpty())
        ++m_generation;
    m_params.clear();
}

bool DataSet::lazy() const
{
    // An open table keeps the way it was opened with (its rows are either
    // all in memory or read by pages), whatever the connection says later.
    return m_active ? m_paged : !rowKey().isEmpty();
}

const QString &DataSet::rowKey() const
{
    static const QString none;
    static const QString sqliteRowid = QStringLiteral("rowid");
    if (m_kind != Kind::Table || !m_connection)
        return none;
    if (m_connection->engine() == Database::Engine::SQLite)
        return sqliteRowid;
    if (m_connection->engine() != Database::Engine::PostgreSQL || !m_connection->isOpen())
        return none;
    // (Asked for every row shown: found once per table and connection.)
    if (m_rowKeyKnown && m_rowKeyGeneration == m_connection->generation() && m_rowKeyTable == m_tableName
        && m_rowKeyReadOnly == m_readOnly)
        return m_rowKey;
    const QString table = m_tableName.toLower();
    // A server keeps no rowid: a table whose counter is its key (or that
    // has no other key) is read by pages in the counter's order, the order
    // a whole read takes too; any other table is read whole.
    QString key;
    bool tie = false;
    try {
        key = m_connection->insertKey(table);
        const QSqlIndex primary = m_connection->handle().primaryIndex(table);
        if (!key.isEmpty()) {
            if (primary.count() > 1 || (primary.count() == 1 && primary.fieldName(0).compare(key, Qt::CaseInsensitive) != 0))
                key.clear();
        } else if (m_readOnly) {
            // A table only read (the platform's, whose numbers may repeat
            // or be missing) goes by pages in the order a whole read takes,
            // its key or its "id", rows of the same value in the order the
            // server keeps them (ctid), each row told by its place there.
            if (primary.count() == 1)
                key = primary.fieldName(0);
            else if (primary.count() == 0 && m_connection->handle().record(table).contains(QStringLiteral("id")))
                key = QStringLiteral("id");
            tie = !key.isEmpty();
        }
    } catch (const std::exception &) {
        return none; // looked for again once the server answers
    }
    m_rowTie = tie;
    m_rowKeyReadOnly = m_readOnly;
    m_rowKey = key;
    m_rowKeyTable = m_tableName;
    m_rowKeyGeneration = m_connection->generation();
    m_rowKeyKnown = true;
    return m_rowKey;
}

QString DataSet::rowKeySql() const
{
    return m_connection->engine() == Database::Engine::SQLite ? rowKey() : ident(rowKey());
}

QString DataSet::rowKeyJet() const
{
    return m_connection->engine() == Database::Engine::SQLite ? rowKey() : QLatin1Char('[') + rowKey() + QLatin1Char(']');
}

QString DataSet::rowIdSql() const
{
    // A place on the server's pages as one number: page * 65536 + item.
    return m_rowTie ? QStringLiteral("((ctid::text::point)[0]::bigint * 65536 + (ctid::text::point)[1]::bigint)") : rowKeySql();
}

QString DataSet::rowOrderSql(bool descending) const
{
    const QString dir = descending ? QStringLiteral(" DESC") : QString();
    return m_rowTie ? rowKeySql() + dir + QStringLiteral(", ctid") + dir : rowKeySql() + dir;
}

QString DataSet::beforeRowSql(qint64 rowid, QVariantMap &params) const
{
    if (!m_rowTie) {
        params.insert(QStringLiteral("before_r"), rowid);
        return rowKeySql() + QStringLiteral(" < :before_r");
    }
    const QString tid = QStringLiteral("(%1,%2)").arg(rowid / 65536).arg(rowid % 65536);
    params.insert(QStringLiteral("before_t"), tid);
    QSqlQuery q = m_connection->native(QStringLiteral("SELECT ") + rowKeySql() + QStringLiteral(" FROM ") + quotedTable()
                                           + QStringLiteral(" WHERE ctid = CAST(:before_t AS tid)"),
                                       {{QStringLiteral("before_t"), tid}});
    if (!q.next())
        return QStringLiteral("FALSE"); // the row is gone
    const QVariant key = q.value(0);
    q.finish();
    // (A whole read puts the rows without a value last.)
    if (key.isNull())
        return QStringLiteral("(") + rowKeySql() + QStringLiteral(" IS NOT NULL OR ctid < CAST(:before_t AS tid))");
    params.insert(QStringLiteral("before_k"), key);
    return QStringLiteral("(") + rowKeySql() + QStringLiteral(" < :before_k OR (") + rowKeySql()
        + QStringLiteral(" = :before_k AND ctid < CAST(:before_t AS tid)))");
}

QString DataSet::nativeTable() const
{
    return m_connection && m_connection->engine() == Database::Engine::PostgreSQL ? m_tableName.toLower() : m_tableName;
}

QString DataSet::nativeName(const QString &name) const
{
    return ident(m_connection && m_connection->engine() == Database::Engine::PostgreSQL ? name.toLower() : name);
}

QString DataSet::quotedTable() const { return nativeName(m_tableName); }

QMetaType DataSet::fieldType(int column) const { return column >= 0 && column < m_types.size() ? m_types[column] : QMetaType(); }

void DataSet::setRange(const QString &field, const QVariant &value)
{
    if (m_rangeField.compare(field, Qt::CaseInsensitive) == 0 && m_rangeValue == value && m_rangeValue.isNull() == value.isNull())
        return;
    const bool wasActive = m_active;
    Close();
    ++m_generation;
    if (!m_rangeField.isEmpty())
        setDefault(m_rangeField, QVariant());
    m_rangeField = field;
    m_rangeValue = value;
    if (!field.isEmpty())
        setDefault(field, value);
    if (wasActive)
        Open();
}

QString DataSet::rangeWhere(const QString &condition) const
{
    if (m_rangeField.isEmpty())
        return condition.isEmpty() ? QString() : QStringLiteral(" WHERE ") + condition;
    // A null value matches no row (SQL's = never holds for null).
    const QString range = nativeName(m_rangeField) + QStringLiteral(" = :range_v");
    return QStringLiteral(" WHERE ") + range + (condition.isEmpty() ? QString() : QStringLiteral(" AND ") + condition);
}

QVariantMap DataSet::rangeParams(QVariantMap params) const
{
    if (!m_rangeField.isEmpty())
        params.insert(QStringLiteral("range_v"), m_rangeValue);
    return params;
}

QString DataSet::tableStatement() const
{
    QString s = QStringLiteral("SELECT * FROM [") + m_tableName + QLatin1Char(']');
    if (!m_rangeField.isEmpty())
        s += QStringLiteral(" WHERE [") + m_rangeField + QStringLiteral("] = :range_v");
    return s + m_tableOrder;
}

QString DataSet::serverTableOrder() const
{
    // A server keeps no order of rows: a row changed comes last in a plain
    // read, and a new one may come anywhere. Rows are read by their key, or
    // by their id (the strategy platform's rising number), so that the last
    // row is the newest and a grid's rows stay where they are.
    if (m_kind != Kind::Table || !m_connection || m_connection->engine() != Database::Engine::PostgreSQL)
        return QString();
    // The driver looks the name up as it is given; the tables are made in
    // lower case there.
    const QString table = m_tableName.toLower();
    const QSqlIndex primary = m_connection->handle().primaryIndex(table);
    QStringList columns;
    for (int i = 0; i < primary.count(); ++i)
        columns << QLatin1Char('[') + primary.fieldName(i) + QLatin1Char(']');
    if (columns.isEmpty() && m_connection->handle().record(table).contains(QStringLiteral("id")))
        columns << QStringLiteral("[id]");
    return columns.isEmpty() ? QString() : QStringLiteral(" ORDER BY ") + columns.join(QStringLiteral(", "));
}

void DataSet::Open()
{
    if (m_active)
        return;
    if (!m_connection || !m_connection->isOpen())
        throw KorvinaError(QStringLiteral("Нет подключения к базе данных (") + m_name + QStringLiteral(")"), KorvinaError::Kind::Transient);

    m_rows.clear();
    m_pages.clear();
    m_lastRowid = -1;
    m_lastRow.clear();
    m_fields.clear();
    m_count = 0;

    // Taken before reading: a change that lands while we read shows as a
    // newer stamp next time.
    // (Tables only: they are what the refresh tick re-reads.)
    m_openStamp = m_kind == Kind::Table ? m_connection->changeStamp() : -1;
    Database::BusyGuard guard(*m_connection);
    m_paged = lazy();
    if (m_paged) {
        const QSqlRecord rec = m_connection->handle().record(nativeTable());
        if (rec.isEmpty()) {
            // No columns: the table is missing, or the database cannot be
            // read at the moment; the statement's own error tells which.
            m_connection->native(QStringLiteral("SELECT * FROM ") + quotedTable() + QStringLiteral(" LIMIT 0")).finish();
            throw KorvinaError(QStringLiteral("no such table: ") + m_tableName);
        }
        m_types.clear();
        for (int i = 0; i < rec.count(); ++i) {
            m_fields << rec.fieldName(i);
            m_types << rec.field(i).metaType();
        }
        QSqlQuery q = m_connection->native(QStringLiteral("SELECT COUNT(*) FROM ") + quotedTable() + rangeWhere(), rangeParams());
        m_count = q.next() ? q.value(0).toInt() : 0;
        q.finish();
    } else {
        if (m_kind == Kind::Table)
            m_tableOrder = serverTableOrder();
        Database::Rows result = readRows();
        m_fields = std::move(result.fields);
        m_rows = std::move(result.rows);
        m_count = m_rows.size();
    }
    if (m_calcFill && !lazy()) {
        try {
            const QString side = calcSideStatement();
            appendCalc(m_fields, m_rows, side.isEmpty() ? Database::Rows() : m_connection->fetch(side));
        } catch (...) {
            m_rows.clear();
            m_fields.clear();
            m_count = 0;
            throw;
        }
    }
    m_active = true;
    m_eof = false;
    m_current = m_count > 0 ? 0 : -1;
    m_readAt = QDateTime::currentDateTime();
    notifyReset();
    emit opened();
    emit currentRowChanged(m_current);
    setState(State::Browse);
    emit readAtChanged();
}

void DataSet::Close()
{
    if (!m_active)
        return;
    ++m_generation;
    // A pending edit is dropped with the rows.
    clearEdit();
    m_state = State::Inactive;
    m_active = false;
    m_rows.clear();
    m_pages.clear();
    m_lastRowid = -1;
    m_lastRow.clear();
    m_count = 0;
    m_current = -1;
    m_eof = false;
    m_readAt = QDateTime();
    notifyReset();
    emit closed();
    emit stateChanged(State::Inactive);
    emit readAtChanged();
}

bool DataSet::UnchangedSinceOpen() const
{
    if (!m_active || m_openStamp < 0 || !m_connection)
        return false;
    return const_cast<Database *>(m_connection)->changeStamp() == m_openStamp;
}

void DataSet::Reread()
{
    if (editing())
        throw KorvinaError(m_name + QStringLiteral(": cannot re-read while a row is being edited"));
    if (!m_active) {
        Open();
        return;
    }
    if (!m_connection || !m_connection->isOpen())
        throw KorvinaError(QStringLiteral("Нет подключения к базе данных (") + m_name + QStringLiteral(")"), KorvinaError::Kind::Transient);
    if (lazy()) {
        rereadPages();
        return;
    }
    Database::Rows result = readRows();
    if (m_calcFill) {
        const QString side = calcSideStatement();
        replaceRows(std::move(result.fields), std::move(result.rows), side.isEmpty() ? Database::Rows() : m_connection->fetch(side));
        return;
    }
    replaceRows(std::move(result.fields), std::move(result.rows));
}

void DataSet::reopen()
{
    // The views see one reset, when the rows are there again.
    const int recNo = RecNo();
    DisableControls();
    Close();
    try {
        Open();
    } catch (...) {
        EnableControls();
        throw;
    }
    if (recNo > 0 && m_count > 0)
        setCurrent(std::min(recNo, m_count) - 1);
    EnableControls();
    emit reread();
}

void DataSet::rereadPages()
{
    const qint64 stamp = m_connection->changeStamp();
    Database::BusyGuard guard(*m_connection);
    const QSqlRecord rec = m_connection->handle().record(nativeTable());
    QStringList fields;
    for (int i = 0; i < rec.count(); ++i)
        fields << rec.fieldName(i);
    if (fields.isEmpty()) {
        m_connection->native(QStringLiteral("SELECT * FROM ") + quotedTable() + QStringLiteral(" LIMIT 0")).finish();
        throw KorvinaError(QStringLiteral("no such table: ") + m_tableName);
    }
    if (fields != m_fields) {
        // Other columns: the rows are read as on opening.
        reopen();
        return;
    }
    QSqlQuery q = m_connection->native(QStringLiteral("SELECT COUNT(*) FROM ") + quotedTable() + rangeWhere(), rangeParams());
    const int newCount = q.next() ? q.value(0).toInt() : 0;
    q.finish();
    // Every page read before is read again (a grid asked for them, so it
    // shows them); the rows of other pages are read when asked for.
    QHash<int, Page> fresh;
    for (auto it = m_pages.cbegin(); it != m_pages.cend(); ++it)
        if (it.key() * PageSize < newCount)
            fresh.insert(it.key(), fetchRows(it.key()));
    const bool lastShown = m_lastRowid >= 0;
    const int oldCount = m_count;
    QVector<int> changed;
    for (auto it = fresh.cbegin(); it != fresh.cend(); ++it) {
        const Page &old = m_pages.value(it.key());
        const int first = it.key() * PageSize;
        for (int i = 0; i < it->rows.size() && first + i < oldCount; ++i)
            if (i >= old.rows.size() || old.rowids[i] != it->rowids[i] || old.rows[i] != it->rows[i])
                changed << first + i;
    }
    if (lastShown && oldCount > 0 && oldCount - 1 < newCount && !fresh.contains((oldCount - 1) / PageSize))
        changed << oldCount - 1;
    m_openStamp = stamp;
    m_lastRowid = -1;
    m_lastRow.clear();
    m_eof = false;
    if (m_disabled > 0) {
        m_pages = std::move(fresh);
        m_count = newCount;
        m_pendingReset = true;
    } else {
        // While the views hear of rows added or taken away, the rows shown
        // keep the values they were told of, and the row counted last is
        // not taken for the table's last row.
        if (newCount < oldCount) {
            QScopedValueRollback<bool> quiet(m_quiet, true);
            beginRemoveRows(QModelIndex(), newCount, oldCount - 1);
            m_count = newCount;
            endRemoveRows();
        }
        m_pages = std::move(fresh);
        std::sort(changed.begin(), changed.end());
        const int lastColumn = m_fields.size() - 1;
        for (int i = 0; i < changed.size();) {
            int j = i;
            while (j + 1 < changed.size() && changed[j + 1] == changed[j] + 1)
                ++j;
            if (changed[i] < m_count)
                emit dataChanged(index(changed[i], 0), index(std::min(changed[j], m_count - 1), lastColumn));
            i = j + 1;
        }
        if (newCount > oldCount) {
            QScopedValueRollback<bool> quiet(m_quiet, true);
            beginInsertRows(QModelIndex(), oldCount, newCount - 1);
            m_count = newCount;
            endInsertRows();
        }
    }
    const int keep = m_count == 0 ? -1 : std::clamp(m_current, 0, m_count - 1);
    if (keep != m_current || newCount != oldCount) {
        m_current = keep;
        emit currentRowChanged(m_current);
    }
    emit reread();
    setReadAt(QDateTime::currentDateTime());
}

void DataSet::replaceRows(QStringList fields, QVector<QVector<QVariant>> rows, const Database::Rows &side)
{
    if (m_calcFill)
        appendCalc(fields, rows, side);
    replaceRows(std::move(fields), std::move(rows));
}

void DataSet::replaceRows(QStringList fields, QVector<QVector<QVariant>> rows)
{
    if (editing())
        throw KorvinaError(m_name + QStringLiteral(": cannot re-read while a row is being edited"));
    if (lazy())
        throw KorvinaError(m_name + QStringLiteral(": a table read by pages cannot take rows read elsewhere"));
    const bool wasActive = m_active;
    const int oldCount = m_rows.size();
    const int newCount = rows.size();
    m_eof = false;
    if (!m_active || fields != m_fields || m_disabled > 0) {
        m_fields = std::move(fields);
        m_rows = std::move(rows);
        m_count = newCount;
        m_paged = false;
        m_active = true;
        if (!wasActive)
            m_current = m_count > 0 ? 0 : -1;
        else
            m_current = m_count == 0 ? -1 : std::clamp(m_current, 0, m_count - 1);
        notifyReset();
        if (!wasActive) {
            emit opened();
            setState(State::Browse);
        }
        emit currentRowChanged(m_current);
        emit reread();
        setReadAt(QDateTime::currentDateTime());
        return;
    }
    // The rows alike at both ends stay; those between are changed in place,
    // and the difference in number is added or taken away after them.
    int head = 0;
    while (head < oldCount && head < newCount && m_rows[head] == rows[head])
        ++head;
    int tail = 0;
    while (tail < oldCount - head && tail < newCount - head && m_rows[oldCount - 1 - tail] == rows[newCount - 1 - tail])
        ++tail;
    const int oldMiddle = oldCount - head - tail;
    const int newMiddle = newCount - head - tail;
    const int common = std::min(oldMiddle, newMiddle);
    if (oldMiddle > newMiddle) {
        beginRemoveRows(QModelIndex(), head + common, head + oldMiddle - 1);
        m_rows.remove(head + common, oldMiddle - common);
        m_count = m_rows.size();
        endRemoveRows();
    } else if (newMiddle > oldMiddle) {
        beginInsertRows(QModelIndex(), head + common, head + newMiddle - 1);
        m_rows.insert(head + common, newMiddle - common, QVector<QVariant>());
        for (int i = common; i < newMiddle; ++i)
            m_rows[head + i] = rows[head + i];
        m_count = m_rows.size();
        endInsertRows();
    }
    m_rows = std::move(rows);
    m_count = m_rows.size();
    if (common > 0) {
        // The ends of the middle differ by construction.
        emit dataChanged(index(head, 0), index(head + common - 1, m_fields.size() - 1));
    }
    const int keep = m_count == 0 ? -1 : std::clamp(m_current, 0, m_count - 1);
    if (keep != m_current || newCount != oldCount) {
        m_current = keep;
        emit currentRowChanged(m_current);
    }
    emit reread();
    setReadAt(QDateTime::currentDateTime());
}

int DataSet::ExecSQL()
{
    if (!m_connection)
        throw KorvinaError(QStringLiteral("Нет подключения к базе данных (") + m_name + QStringLiteral(")"), KorvinaError::Kind::Transient);
    return m_connection->execute(statement(), m_params);
}

const QVector<QVariant> &DataSet::row(int r) const
{
    static const QVector<QVariant> none;
    if (!m_active || r < 0 || r >= m_count)
        return none;
    if (!lazy())
        return m_rows[r];
    const int page = r / PageSize;
    auto it = m_pages.find(page);
    const bool lastOnly = it == m_pages.end() && r == m_count - 1 && r % PageSize != 0 && !m_quiet;
    if (lastOnly && m_lastRowid >= 0)
        return m_lastRow;
    if (it == m_pages.end()) {
        if (lastOnly) {
            Page fetched = fetchRows(-1);
            if (fetched.rows.isEmpty())
                return none;
            m_lastRowid = fetched.rowids.first();
            m_lastRow = fetched.rows.first();
            return m_lastRow;
        }
        Page fetched = fetchRows(page);
        it = m_pages.insert(page, std::move(fetched));
    }
    const int within = r % PageSize;
    if (within >= it->rows.size())
        return none; // rows deleted by another process since the dataset was opened
    return it->rows[within];
}

DataSet::Page DataSet::fetchRows(int page) const
{
    Database::BusyGuard guard(*m_connection);
    QSqlQuery q(m_connection->handle());
    q.setForwardOnly(true);
    // The last row alone (page -1) is what the robot reads most: the newest row.
    const QString id = rowIdSql();
    const QString sql = page < 0
        ? QStringLiteral("SELECT ") + id + QStringLiteral(", * FROM ") + quotedTable() + rangeWhere() + QStringLiteral(" ORDER BY ")
            + rowOrderSql(true) + QStringLiteral(" LIMIT 1")
        : QStringLiteral("SELECT ") + id + QStringLiteral(", * FROM ") + quotedTable() + rangeWhere() + QStringLiteral(" ORDER BY ")
            + rowOrderSql(false) + QStringLiteral(" LIMIT ")
            + QString::number(PageSize) + QStringLiteral(" OFFSET ") + QString::number(page * PageSize);
    if (!q.prepare(sql))
        throw sqlFailure(q.lastError());
    if (!m_rangeField.isEmpty())
        q.bindValue(QStringLiteral(":range_v"), m_rangeValue);
    if (!q.exec())
        throw sqlFailure(q.lastError());
    Page fetched;
    const int columns = m_fields.size();
    while (q.next()) {
        fetched.rowids.append(q.value(0).toLongLong());
        QVector<QVariant> v(columns);
        for (int i = 0; i < columns; ++i)
            v[i] = q.value(i + 1);
        fetched.rows.append(std::move(v));
    }
    // A page cut short by an error on the way is not kept as the page.
    const QSqlError error = q.lastError();
    q.finish();
    if (error.isValid())
        throw sqlFailure(error);
    return fetched;
}

qint64 DataSet::rowidAt(int r) const
{
    if (!lazy() || r < 0 || r >= m_count)
        return -1;
    row(r);
    if (r == m_count - 1 && m_lastRowid >= 0 && !m_pages.contains(r / PageSize))
        return m_lastRowid;
    auto it = m_pages.find(r / PageSize);
    if (it == m_pages.end() || r % PageSize >= it->rowids.size())
        return -1;
    return it->rowids[r % PageSize];
}

void DataSet::setCurrent(int r)
{
    if (r == m_current)
        return;
    m_current = r;
    emit currentRowChanged(m_current);
}

bool DataSet::moveTo(int r)
{
    if (!editing() || r == m_current) {
        setCurrent(r);
        return true;
    }
    // The row is named as shown now; posting a new row may move it, and
    // the rows after its new place then move down by one.
    const bool inserting = m_state == State::Insert;
    const int stored = storedRow(r);
    if (!leaveRow()) {
        emit currentRowChanged(m_current); // a bound grid puts its selection back
        return false;
    }
    if (inserting)
        r = m_insertedAt >= 0 && stored >= m_insertedAt ? stored + 1 : stored;
    setCurrent(r);
    return true;
}

void DataSet::setRecNo(int recNo)
{
    if (!m_active || count() == 0)
        return;
    if (moveTo(qBound(0, recNo - 1, count() - 1)))
        m_eof = false;
}

void DataSet::setCurrentRow(int r)
{
    if (!m_active || r < 0 || r >= count())
        return;
    if (moveTo(r))
        m_eof = false;
}

void DataSet::First()
{
    if (moveTo(count() > 0 ? 0 : -1))
        m_eof = false;
}

void DataSet::Last()
{
    if (moveTo(count() > 0 ? count() - 1 : -1))
        m_eof = false;
}

void DataSet::Next()
{
    if (count() == 0) {
        m_eof = true;
        return;
    }
    if (m_current >= count() - 1) {
        m_eof = true;
        return;
    }
    // When the pending edit cannot be posted, a loop over the rows ends here.
    m_eof = !moveTo(m_current + 1);
}

void DataSet::Prior()
{
    if (m_current > 0 && !moveTo(m_current - 1))
        return;
    m_eof = false;
}

int DataSet::fieldIndex(const QString &field) const
{
    for (int i = 0; i < m_fields.size(); ++i)
        if (m_fields[i].compare(field, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

QVariant DataSet::value(int r, int column) const
{
    if (editing() && r == m_editRow)
        return column >= 0 && column < m_buffer.size() ? m_buffer[column] : QVariant();
    const auto &v = row(storedRow(r));
    if (column < 0 || column >= v.size())
        return {};
    return v[column];
}

QVariant DataSet::value(int r, const QString &field) const { return value(r, fieldIndex(field)); }

QVariant DataSet::FieldByName(const QString &field) const
{
    const int i = fieldIndex(field);
    if (i < 0)
        throw KorvinaError(m_name + QStringLiteral(": Field '") + field + QStringLiteral("' not found"));
    if (!m_active)
        throw KorvinaError(m_name + QStringLiteral(": Cannot perform this operation on a closed dataset"));
    if (m_current < 0)
        return {};
    return value(m_current, i);
}

bool DataSet::Locate(const QString &field, const QVariant &v)
{
    if (!m_active || count() == 0)
        return false;
    const int column = fieldIndex(field);
    if (column < 0)
        throw KorvinaError(m_name + QStringLiteral(": Field '") + field + QStringLiteral("' not found"));
    // The search runs on what is stored: a pending edit is ended first.
    if (editing() && !leaveRow()) {
        emit currentRowChanged(m_current);
        return false;
    }
    if (m_count == 0)
        return false;
    if (!lazy()) {
        for (int r = 0; r < m_count; ++r)
            if (sameValue(m_rows[r][column], v)) {
                m_eof = false;
                setCurrent(r);
                return true;
            }
        return false;
    }
    // Cheap when the row is where it was: the current row is checked first.
    if (m_current >= 0 && sameValue(value(m_current, column), v)) {
        const qint64 rowid = rowidAt(m_current);
        bool earlier = m_current > 0;
        if (earlier && rowid >= 0) {
            QVariantMap params{{QStringLiteral("v"), v}};
            const QString before = beforeRowSql(rowid, params);
            QSqlQuery q = m_connection->native(QStringLiteral("SELECT 1 FROM ") + quotedTable()
                                                   + rangeWhere(before + QStringLiteral(" AND ") + ident(m_fields[column]) + QStringLiteral(" = :v"))
                                                   + QStringLiteral(" LIMIT 1"),
                                               rangeParams(params));
            earlier = q.next();
            q.finish();
        }
        if (!earlier) {
            m_eof = false;
            return true;
        }
    }
    Database::BusyGuard guard(*m_connection);
    QSqlQuery q = m_connection->native(QStringLiteral("SELECT ") + rowIdSql() + QStringLiteral(" FROM ") + quotedTable()
                                           + rangeWhere(ident(m_fields[column]) + QStringLiteral(" = :v")) + QStringLiteral(" ORDER BY ") + rowOrderSql(false)
                                           + QStringLiteral(" LIMIT 1"),
                                       rangeParams({{QStringLiteral("v"), v}}));
    if (!q.next())
        return false;
    const qint64 rowid = q.value(0).toLongLong();
    q.finish();
    QVariantMap params;
    const QString before = beforeRowSql(rowid, params);
    QSqlQuery c = m_connection->native(QStringLiteral("SELECT COUNT(*) FROM ") + quotedTable() + rangeWhere(before), rangeParams(params));
    const int position = c.next() ? c.value(0).toInt() : -1;
    c.finish();
    if (position < 0 || position >= m_count)
        return false;
    m_eof = false;
    setCurrent(position);
    return true;
}

void DataSet::DisableControls() { ++m_disabled; }

void DataSet::EnableControls()
{
    if (m_disabled > 0)
        --m_disabled;
    if (m_disabled == 0 && m_pendingReset) {
        m_pendingReset = false;
        beginResetModel();
        endResetModel();
        emit currentRowChanged(m_current);
    }
}

void DataSet::notifyReset()
{
    if (m_disabled > 0) {
        m_pendingReset = true;
        return;
    }
    beginResetModel();
    endResetModel();
}

int DataSet::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : count(); }

int DataSet::columnCount(const QModelIndex &parent) const { return parent.isValid() || !m_active ? 0 : m_fields.size(); }

QVariant DataSet::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole))
        return {};
    try {
        return value(index.row(), index.column());
    } catch (const std::exception &) {
        return {};
    }
}

QVariant DataSet::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Horizontal && section >= 0 && section < m_fields.size())
        return m_fields[section];
    if (orientation == Qt::Vertical)
        return section + 1;
    return {};
}

// ---- Editing ----

int DataSet::storedRow(int r) const
{
    if (m_state == State::Insert) {
        if (r == m_editRow)
            return -1;
        if (r > m_editRow)
            return r - 1;
    }
    return r;
}

bool DataSet::isCalc(int column) const { return m_calcFill && !lazy() && column == m_fields.size() - 1; }

QString DataSet::bracketed(const QString &name) const
{
    if (name.contains(QLatin1Char(']')))
        throw KorvinaError(m_name + QStringLiteral(": имя поля не годится для записи: ") + name);
    return QLatin1Char('[') + name + QLatin1Char(']');
}

void DataSet::setState(State state)
{
    if (state == m_state)
        return;
    m_state = state;
    emit stateChanged(state);
}

void DataSet::clearEdit()
{
    m_buffer.clear();
    m_set.clear();
    m_modified = false;
    m_editRow = -1;
    m_editRowid = -1;
    m_editKey.clear();
}

void DataSet::setReadOnly(bool readOnly)
{
    if (readOnly)
        Cancel();
    const bool reopen = !readOnly && m_active && m_paged && m_rowTie;
    m_readOnly = readOnly;
    // Rows told by their place on the server cannot be edited by it: the
    // table is read again the way an edited one is.
    if (reopen)
        this->reopen();
}

void DataSet::checkModify(const char *what) const
{
    if (!m_active)
        throw KorvinaError(m_name + QStringLiteral(": Cannot perform this operation on a closed dataset"));
    if (readOnly())
        throw KorvinaError(m_name + QStringLiteral(": Cannot modify a read-only dataset (") + QLatin1String(what) + QLatin1Char(')'));
}

bool DataSet::fail(const QString &reason)
{
    m_lastError = reason;
    emit error(reason);
    return false;
}

bool DataSet::runHook(const std::function<bool(DataSet &)> &hook, const QString &refusal)
{
    if (!hook)
        return true;
    m_lastError.clear();
    try {
        if (hook(*this))
            return true;
    } catch (const std::exception &e) {
        return fail(failureText(e));
    }
    return fail(m_lastError.isEmpty() ? refusal : m_lastError);
}

void DataSet::runAfterHook(const std::function<void(DataSet &)> &hook)
{
    if (!hook)
        return;
    try {
        hook(*this);
    } catch (const std::exception &e) {
        fail(failureText(e));
    }
}

void DataSet::cellsChanged(int r)
{
    if (r < 0 || m_fields.isEmpty())
        return;
    if (m_disabled > 0) {
        m_pendingReset = true;
        return;
    }
    emit dataChanged(index(r, 0), index(r, m_fields.size() - 1));
}

bool DataSet::leaveRow()
{
    m_insertedAt = -1;
    if (!editing())
        return true;
    if (m_modified)
        return Post();
    Cancel();
    return true;
}

void DataSet::Edit()
{
    checkModify("Edit");
    if (editing())
        return;
    if (count() == 0) {
        Append();
        return;
    }
    if (m_current < 0)
        setCurrent(0);
    const QVector<QVariant> &stored = row(m_current);
    if (stored.size() != m_fields.size())
        throw KorvinaError(m_name + QStringLiteral(": строки больше нет в таблице ") + m_tableName);
    QVariantMap key;
    qint64 rowid = -1;
    if (lazy()) {
        rowid = rowidAt(m_current);
        if (rowid < 0)
            throw KorvinaError(m_name + QStringLiteral(": строки больше нет в таблице ") + m_tableName);
    } else {
        key = keyOf(m_current);
    }
    m_buffer = stored;
    m_set = QVector<bool>(m_fields.size(), false);
    m_modified = false;
    m_editRow = m_current;
    m_editRowid = rowid;
    m_editKey = key;
    setState(State::Edit);
}

void DataSet::Append()
{
    checkModify("Append");
    if (editing() && !leaveRow())
        return;
    startNew(count());
}

void DataSet::Insert()
{
    checkModify("Insert");
    if (editing() && !leaveRow())
        return;
    startNew(m_current < 0 ? 0 : m_current);
}

void DataSet::startNew(int at)
{
    m_returnRow = m_current;
    m_buffer = QVector<QVariant>(m_fields.size());
    m_set = QVector<bool>(m_fields.size(), false);
    for (auto it = m_defaults.cbegin(); it != m_defaults.cend(); ++it) {
        const int i = fieldIndex(it.key());
        if (i >= 0) {
            m_buffer[i] = it.value();
            m_set[i] = true;
        }
    }
    const bool signal = m_disabled == 0;
    if (signal)
        beginInsertRows({}, at, at);
    m_editRow = at;
    m_state = State::Insert; // the new row counts from here
    if (signal)
        endInsertRows();
    else
        m_pendingReset = true;
    m_eof = false;
    m_current = at;
    emit currentRowChanged(m_current);
    emit stateChanged(State::Insert);
    if (onNewRecord) {
        try {
            onNewRecord(*this);
        } catch (const std::exception &e) {
            Cancel();
            fail(failureText(e));
            return;
        }
    }
    m_modified = false;
}

void DataSet::setFieldValue(const QString &field, const QVariant &value)
{
    const int i = fieldIndex(field);
    if (i < 0)
        throw KorvinaError(m_name + QStringLiteral(": Field '") + field + QStringLiteral("' not found"));
    if (!editing())
        Edit();
    m_buffer[i] = value;
    m_set[i] = true;
    m_modified = true;
    if (m_disabled > 0)
        m_pendingReset = true;
    else
        emit dataChanged(index(m_editRow, i), index(m_editRow, i));
}

void DataSet::setDefault(const QString &field, const QVariant &value)
{
    if (value.isNull())
        m_defaults.remove(field.toLower());
    else
        m_defaults.insert(field.toLower(), value);
}

void DataSet::Cancel()
{
    if (!editing())
        return;
    const int r = m_editRow;
    if (m_state == State::Insert) {
        const bool signal = m_disabled == 0;
        if (signal)
            beginRemoveRows({}, r, r);
        clearEdit();
        m_state = State::Browse;
        if (signal)
            endRemoveRows();
        else
            m_pendingReset = true;
        m_current = m_count > 0 ? qBound(0, m_returnRow, m_count - 1) : -1;
        emit currentRowChanged(m_current);
    } else {
        clearEdit();
        m_state = State::Browse;
        cellsChanged(r);
    }
    emit stateChanged(State::Browse);
}

// The data-version part of the connection's stamp tells whether another
// process committed meanwhile; when none did and the dataset was current
// before its own statements, it is still current after them (it shows
// what it wrote), and the refresh tick need not read it again.
void DataSet::keepStamp(qint64 before)
{
    if (m_openStamp < 0 || before != m_openStamp)
        return;
    const qint64 after = m_connection->changeStamp();
    if (after >= 0 && (after >> 32) == (before >> 32))
        m_openStamp = after;
}

void DataSet::dropPagesFrom(int stored) const
{
    const int first = std::max(0, stored) / PageSize;
    for (auto it = m_pages.begin(); it != m_pages.end();) {
        if (it.key() >= first)
            it = m_pages.erase(it);
        else
            ++it;
    }
    m_lastRowid = -1;
    m_lastRow.clear();
}

void DataSet::rereadRow(int stored, qint64 rowid)
{
    QSqlQuery q = m_connection->native(QStringLiteral("SELECT ") + rowKeySql() + QStringLiteral(", * FROM ") + quotedTable() + QStringLiteral(" WHERE ")
                                           + rowKeySql() + QStringLiteral(" = :r"),
                                       {{QStringLiteral("r"), rowid}});
    if (!q.next()) {
        // The row has another rowid now (its INTEGER PRIMARY KEY was
        // changed) or a trigger took it away: read the table afresh.
        q.finish();
        QSqlQuery c = m_connection->native(QStringLiteral("SELECT COUNT(*) FROM ") + quotedTable() + rangeWhere(), rangeParams());
        m_count = c.next() ? c.value(0).toInt() : 0;
        c.finish();
        dropPagesFrom(0);
        m_current = m_count > 0 ? qBound(0, m_current, m_count - 1) : -1;
        notifyReset();
        emit currentRowChanged(m_current);
        return;
    }
    QVector<QVariant> values(m_fields.size());
    for (int i = 0; i < values.size(); ++i)
        values[i] = q.value(i + 1);
    q.finish();
    auto page = m_pages.find(stored / PageSize);
    if (page != m_pages.end() && stored % PageSize < page->rows.size() && page->rowids[stored % PageSize] == rowid)
        page->rows[stored % PageSize] = values;
    if (m_lastRowid == rowid)
        m_lastRow = values;
}

QVariantMap DataSet::keyOf(int r) const
{
    // A server's tables are made in lower case, and the driver looks the
    // name up as it is given.
    const QSqlIndex primary = m_connection->handle().primaryIndex(m_tableName.toLower());
    QVariantMap key;
    if (primary.isEmpty()) {
        // A table without a key (the securities directory, the terminal
        // list, the group members): its row is the one holding every value
        // the row was read with, as ADO finds it.
        if (m_fields.isEmpty())
            throw KorvinaError(m_name + QStringLiteral(": у таблицы ") + m_tableName
                               + QStringLiteral(" нет первичного ключа, строку для записи не найти"));
        for (int column = 0; column < m_fields.size(); ++column)
            if (!isCalc(column))
                key.insert(m_fields[column], value(r, column));
        return key;
    }
    for (int i = 0; i < primary.count(); ++i) {
        const int column = fieldIndex(primary.fieldName(i));
        if (column < 0)
            throw KorvinaError(m_name + QStringLiteral(": Field '") + primary.fieldName(i) + QStringLiteral("' not found"));
        key.insert(m_fields[column], value(r, column));
    }
    return key;
}

QString DataSet::keyCondition(const QVariantMap &key, QVariantMap &params) const
{
    QStringList parts;
    int n = 0;
    for (auto it = key.cbegin(); it != key.cend(); ++it) {
        if (it.value().isNull()) {
            parts << bracketed(it.key()) + QStringLiteral(" IS NULL");
            continue;
        }
        const QString name = QStringLiteral("k") + QString::number(++n);
        parts << bracketed(it.key()) + QStringLiteral(" = :") + name;
        params.insert(name, it.value());
    }
    return parts.join(QStringLiteral(" AND "));
}

void DataSet::reloadAll(const QVariantMap &key)
{
    Database::Rows result = m_connection->fetch(tableStatement(), rangeParams());
    m_rows = std::move(result.rows);
    m_count = m_rows.size();
    int found = -1;
    for (int r = 0; r < m_count && found < 0 && !key.isEmpty(); ++r) {
        bool same = true;
        for (auto it = key.cbegin(); it != key.cend() && same; ++it)
            same = sameValue(m_rows[r].value(fieldIndex(it.key())), it.value());
        if (same)
            found = r;
    }
    m_current = found >= 0 ? found : (m_count > 0 ? qBound(0, m_current, m_count - 1) : -1);
    notifyReset();
    emit currentRowChanged(m_current);
}

bool DataSet::Post()
{
    if (!editing())
        return true;
    if (m_inEdit)
        return fail(m_name + QStringLiteral(": запись уже сохраняется"));
    const QScopedValueRollback<bool> busy(m_inEdit, true);
    m_lastError.clear();
    if (!runHook(beforePost, QStringLiteral("Запись не сохранена: изменение отклонено")))
        return false;

    const bool inserting = m_state == State::Insert;
    QStringList names, values;
    QVariantMap params;
    for (int i = 0; i < m_fields.size(); ++i) {
        if (!m_set.value(i) || isCalc(i))
            continue;
        const QString p = QStringLiteral("v") + QString::number(i);
        try {
            names << bracketed(m_fields[i]);
        } catch (const std::exception &e) {
            return fail(failureText(e));
        }
        values << QLatin1Char(':') + p;
        params.insert(p, m_buffer[i]);
    }
    const QString table = QLatin1Char('[') + m_tableName + QLatin1Char(']');
    const int r = m_editRow;

    if (!inserting && names.isEmpty()) {
        // Nothing changed: nothing to write.
        clearEdit();
        m_state = State::Browse;
        cellsChanged(r);
        emit stateChanged(State::Browse);
        runAfterHook(afterPost);
        return true;
    }

    // The statement: when it fails, nothing changed and the row stays in edit.
    const qint64 before = m_connection->changeStamp();
    qint64 rowid = -1;
    QVariantMap key; // elsewhere than SQLite: the row's key once written
    try {
        if (!inserting) {
            QStringList sets;
            for (int i = 0; i < names.size(); ++i)
                sets << names[i] + QStringLiteral(" = ") + values[i];
            QString where;
            if (lazy()) {
                where = rowKeyJet() + QStringLiteral(" = :row_id");
                params.insert(QStringLiteral("row_id"), m_editRowid);
            } else {
                where = keyCondition(m_editKey, params);
            }
            const int changed = m_connection->execute(QStringLiteral("UPDATE ") + table + QStringLiteral(" SET ") + sets.join(QStringLiteral(", "))
                                                          + QStringLiteral(" WHERE ") + where,
                                                      params);
            if (changed == 0)
                return fail(m_name + QStringLiteral(": запись не сохранена, строки больше нет в таблице ") + m_tableName);
            rowid = m_editRowid;
            key = m_editKey;
        } else {
            if (!lazy()) {
                try {
                    key = keyOf(-1); // the key's fields; without a key the new row is not looked for
                } catch (const std::exception &) {
                }
            }
            const QString insert = names.isEmpty()
                ? QStringLiteral("INSERT INTO ") + table + QStringLiteral(" DEFAULT VALUES")
                : QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (") + names.join(QStringLiteral(", ")) + QStringLiteral(") VALUES (")
                    + values.join(QStringLiteral(", ")) + QLatin1Char(')');
            m_connection->execute(insert, params, &rowid);
        }
    } catch (const std::exception &e) {
        // The database's own words, and which table and row they are about.
        return fail(QStringLiteral("Запись не сохранена (таблица %1, строка %2): ").arg(m_tableName).arg(r + 1) + failureText(e));
    }

    // Written: from here on the post stands, whatever the re-reading gives.
    for (auto it = key.begin(); it != key.end(); ++it) {
        const int i = fieldIndex(it.key());
        if (m_set.value(i) || !inserting)
            it.value() = m_buffer.value(i);
    }
    if (inserting && key.size() == 1 && key.first().isNull() && rowid >= 0)
        key.first() = rowid; // a counter the database gave
    try {
        if (!lazy()) {
            clearEdit();
            m_state = State::Browse;
            reloadAll(key);
            if (inserting)
                m_insertedAt = m_current;
        } else if (!inserting) {
            keepStamp(before);
            clearEdit();
            m_state = State::Browse;
            rereadRow(r, rowid);
            cellsChanged(r);
        } else {
            // Where a re-read would show the row: in rowid order.
            int position = m_count;
            if (rowid >= 0) {
                QSqlQuery c = m_connection->native(QStringLiteral("SELECT COUNT(*) FROM ") + quotedTable()
                                                       + rangeWhere(rowKeySql() + QStringLiteral(" < :r")),
                                                   rangeParams({{QStringLiteral("r"), rowid}}));
                if (c.next())
                    position = qBound(0, c.value(0).toInt(), m_count);
                c.finish();
            }
            keepStamp(before);
            const bool signal = m_disabled == 0;
            const bool move = signal && position != r;
            if (move)
                beginMoveRows({}, r, r, {}, position > r ? position + 1 : position);
            clearEdit();
            m_state = State::Browse;
            ++m_count;
            dropPagesFrom(position);
            if (move)
                endMoveRows();
            else if (!signal)
                m_pendingReset = true;
            m_insertedAt = position;
            m_current = position;
            emit currentRowChanged(m_current);
            cellsChanged(position);
        }
    } catch (const std::exception &e) {
        // The row is stored but could not be read back: the rows are read
        // again when next shown, and the dataset no longer counts as current.
        if (editing()) {
            if (m_state == State::Insert)
                ++m_count;
            clearEdit();
            m_state = State::Browse;
        }
        m_openStamp = -1;
        dropPagesFrom(0);
        notifyReset();
        emit currentRowChanged(m_current);
        fail(failureText(e));
    }
    emit stateChanged(State::Browse);
    emit posted();
    runAfterHook(afterPost);
    return true;
}

bool DataSet::Delete()
{
    checkModify("Delete");
    if (m_state == State::Insert) {
        Cancel();
        return true;
    }
    Cancel();
    if (m_count == 0 || m_current < 0)
        return fail(m_name + QStringLiteral(": нет строки для удаления"));
    return DeleteRows({m_current});
}

bool DataSet::DeleteRows(const QList<int> &rows)
{
    checkModify("Delete");
    if (m_inEdit)
        return fail(m_name + QStringLiteral(": запись уже сохраняется"));
    QList<int> stored;
    for (int r : rows) {
        if (r < 0 || r >= count())
            continue;
        const int s = storedRow(r);
        if (s >= 0)
            stored << s;
    }
    Cancel();
    std::sort(stored.begin(), stored.end());
    stored.erase(std::unique(stored.begin(), stored.end()), stored.end());
    if (stored.isEmpty())
        return true;

    const QScopedValueRollback<bool> busy(m_inEdit, true);
    m_lastError.clear();
    QVector<qint64> rowids;
    QVector<QVariantMap> keys;
    try {
        for (int s : stored) {
            if (lazy()) {
                const qint64 rowid = rowidAt(s);
                if (rowid < 0)
                    return fail(m_name + QStringLiteral(": строки больше нет в таблице ") + m_tableName);
                rowids << rowid;
            } else {
                keys << keyOf(s);
            }
        }
    } catch (const std::exception &e) {
        return fail(failureText(e));
    }
    if (beforeDelete) {
        const int keep = m_current;
        for (int s : stored) {
            setCurrent(s);
            if (!runHook(beforeDelete, QStringLiteral("Удаление отклонено"))) {
                setCurrent(keep);
                return false;
            }
        }
        setCurrent(keep);
    }

    const bool together = stored.size() > 1;
    const QString table = QLatin1Char('[') + m_tableName + QLatin1Char(']');
    const qint64 before = m_connection->changeStamp();
    try {
        if (together)
            m_connection->begin();
        try {
            for (int i = 0; i < stored.size(); ++i) {
                QVariantMap params;
                QString where;
                if (lazy()) {
                    where = rowKeyJet() + QStringLiteral(" = :row_id");
                    params.insert(QStringLiteral("row_id"), rowids[i]);
                } else {
                    where = keyCondition(keys[i], params);
                }
                m_connection->execute(QStringLiteral("DELETE FROM ") + table + QStringLiteral(" WHERE ") + where, params);
            }
            if (together)
                m_connection->commit();
        } catch (...) {
            if (together)
                m_connection->rollback();
            throw;
        }
    } catch (const std::exception &e) {
        return fail(QStringLiteral("Записи не удалены (таблица %1): ").arg(m_tableName) + failureText(e));
    }
    keepStamp(before);

    // Out of the model, the highest rows first, a run of neighbours at a time.
    const bool signal = m_disabled == 0;
    for (int i = stored.size() - 1; i >= 0;) {
        int j = i;
        while (j > 0 && stored[j - 1] == stored[j] - 1)
            --j;
        const int first = stored[j], last = stored[i];
        if (signal)
            beginRemoveRows({}, first, last);
        m_count -= last - first + 1;
        if (lazy())
            dropPagesFrom(first);
        else
            m_rows.remove(first, last - first + 1);
        if (signal)
            endRemoveRows();
        i = j - 1;
    }
    if (!signal)
        m_pendingReset = true;
    m_eof = false;
    m_current = m_count > 0 ? std::min(stored.first(), m_count - 1) : -1;
    emit currentRowChanged(m_current);
    emit deleted();
    runAfterHook(afterDelete);
    return true;
}

Qt::ItemFlags DataSet::flags(const QModelIndex &index) const
{
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (index.isValid() && canModify() && !isCalc(index.column()))
        f |= Qt::ItemIsEditable;
    return f;
}

bool DataSet::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::EditRole || !index.isValid() || !canModify() || index.column() >= m_fields.size() || isCalc(index.column()))
        return false;
    if (index.row() != m_current && !moveTo(index.row()))
        return false;
    try {
        setFieldValue(m_fields[index.column()], value);
    } catch (const std::exception &e) {
        fail(failureText(e));
        return false;
    }
    return true;
}

void RefreshDataSet(DataSet &ds)
{
    if (!ds.connection() || ds.connection()->busy())
        return;
    // A row being edited is not lost to a re-read: the refresh waits.
    if (ds.editing())
        return;
    // Nothing changed in the database: the rows read are still the rows.
    if (ds.UnchangedSinceOpen())
        return;
    try {
        QVariant remembered;
        const bool hasId = ds.Active() && ds.hasField(QStringLiteral("id"));
        if (hasId && !ds.IsEmpty())
            remembered = ds.FieldByName(QStringLiteral("id"));
        ds.Reread();
        // The current row is kept by its id; the first row when it is gone.
        if (hasId && !ds.IsEmpty() && !remembered.isNull() && ds.FieldByName(QStringLiteral("id")) != remembered
            && !ds.Locate(QStringLiteral("id"), remembered))
            ds.First();
        ds.setLastError(QString());
    } catch (const std::exception &e) {
        ds.Close();
        ds.setLastError(failureText(e));
    }
}

void RefreshQuery(DataSet &q)
{
    if (!q.connection() || q.connection()->busy() || q.editing())
        return;
    // The current row is kept by its record number.
    try {
        q.Reread();
    } catch (const std::exception &) {
        q.Close();
    }
}
