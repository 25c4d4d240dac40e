#include "dataset.h"

#include "config/korvinaerror.h"
#include "database.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

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

void DataSet::setCalcField(const QString &name, CalcField fill)
{
    Close();
    m_calcName = name;
    m_calcFill = std::move(fill);
}

void DataSet::setParam(const QString &name, const QVariant &value)
{
    QString key = name.startsWith(QLatin1Char(':')) ? name.mid(1) : name;
    m_params.insert(key, value);
}

bool DataSet::lazy() const { return m_kind == Kind::Table && m_connection && m_connection->engine() == Database::Engine::SQLite; }

QString DataSet::quotedTable() const { return ident(m_tableName); }

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
    if (lazy()) {
        const QSqlRecord rec = m_connection->handle().record(m_tableName);
        if (rec.isEmpty()) {
            // No columns: the table is missing, or the database cannot be
            // read at the moment; the statement's own error tells which.
            m_connection->native(QStringLiteral("SELECT * FROM ") + quotedTable() + QStringLiteral(" LIMIT 0")).finish();
            throw KorvinaError(QStringLiteral("no such table: ") + m_tableName);
        }
        for (int i = 0; i < rec.count(); ++i)
            m_fields << rec.fieldName(i);
        QSqlQuery q = m_connection->native(QStringLiteral("SELECT COUNT(*) FROM ") + quotedTable());
        m_count = q.next() ? q.value(0).toInt() : 0;
        q.finish();
    } else {
        const QString jet = m_kind == Kind::Table ? QStringLiteral("SELECT * FROM [") + m_tableName + QLatin1Char(']') : statement();
        Database::Rows result = m_connection->fetch(jet, m_params);
        m_fields = std::move(result.fields);
        m_rows = std::move(result.rows);
        m_count = m_rows.size();
    }
    m_active = true;
    m_eof = false;
    m_current = m_count > 0 ? 0 : -1;
    if (m_calcFill && !lazy()) {
        QVector<QVariant> values;
        try {
            values = m_calcFill(*this);
        } catch (...) {
            m_active = false;
            m_rows.clear();
            m_fields.clear();
            m_count = 0;
            m_current = -1;
            throw;
        }
        m_fields << m_calcName;
        for (int r = 0; r < m_rows.size(); ++r)
            m_rows[r].append(values.value(r));
    }
    notifyReset();
    emit opened();
    emit currentRowChanged(m_current);
}

void DataSet::Close()
{
    if (!m_active)
        return;
    m_active = false;
    m_rows.clear();
    m_pages.clear();
    m_lastRowid = -1;
    m_lastRow.clear();
    m_count = 0;
    m_current = -1;
    m_eof = false;
    notifyReset();
    emit closed();
}

bool DataSet::UnchangedSinceOpen() const
{
    if (!m_active || m_openStamp < 0 || !m_connection)
        return false;
    return const_cast<Database *>(m_connection)->changeStamp() == m_openStamp;
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
    const bool lastOnly = it == m_pages.end() && r == m_count - 1 && r % PageSize != 0;
    if (lastOnly && m_lastRowid >= 0)
        return m_lastRow;
    if (it == m_pages.end()) {
        Database::BusyGuard guard(*m_connection);
        QSqlQuery q(m_connection->handle());
        q.setForwardOnly(true);
        // The last row alone is what the robot reads most: the newest row.
        const QString sql = lastOnly
            ? QStringLiteral("SELECT rowid, * FROM ") + quotedTable() + QStringLiteral(" ORDER BY rowid DESC LIMIT 1")
            : QStringLiteral("SELECT rowid, * FROM ") + quotedTable() + QStringLiteral(" ORDER BY rowid LIMIT ")
                + QString::number(PageSize) + QStringLiteral(" OFFSET ") + QString::number(page * PageSize);
        if (!q.exec(sql))
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
        q.finish();
        if (lastOnly) {
            if (fetched.rows.isEmpty())
                return none;
            m_lastRowid = fetched.rowids.first();
            m_lastRow = fetched.rows.first();
            return m_lastRow;
        }
        it = m_pages.insert(page, std::move(fetched));
    }
    const int within = r % PageSize;
    if (within >= it->rows.size())
        return none; // rows deleted by another process since the dataset was opened
    return it->rows[within];
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

void DataSet::setRecNo(int recNo)
{
    if (!m_active || m_count == 0)
        return;
    setCurrent(qBound(0, recNo - 1, m_count - 1));
    m_eof = false;
}

void DataSet::setCurrentRow(int r)
{
    if (!m_active || r < 0 || r >= m_count)
        return;
    m_eof = false;
    setCurrent(r);
}

void DataSet::First()
{
    m_eof = false;
    setCurrent(m_count > 0 ? 0 : -1);
}

void DataSet::Last()
{
    m_eof = false;
    setCurrent(m_count > 0 ? m_count - 1 : -1);
}

void DataSet::Next()
{
    if (m_count == 0) {
        m_eof = true;
        return;
    }
    if (m_current >= m_count - 1) {
        m_eof = true;
        return;
    }
    setCurrent(m_current + 1);
}

void DataSet::Prior()
{
    m_eof = false;
    if (m_current > 0)
        setCurrent(m_current - 1);
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
    const auto &v = row(r);
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
    if (!m_active || m_count == 0)
        return false;
    const int column = fieldIndex(field);
    if (column < 0)
        throw KorvinaError(m_name + QStringLiteral(": Field '") + field + QStringLiteral("' not found"));
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
            QSqlQuery q = m_connection->native(QStringLiteral("SELECT 1 FROM ") + quotedTable() + QStringLiteral(" WHERE rowid < :r AND ")
                                                 + ident(m_fields[column]) + QStringLiteral(" = :v LIMIT 1"),
                                             {{QStringLiteral("r"), rowid}, {QStringLiteral("v"), v}});
            earlier = q.next();
            q.finish();
        }
        if (!earlier) {
            m_eof = false;
            return true;
        }
    }
    Database::BusyGuard guard(*m_connection);
    QSqlQuery q = m_connection->native(QStringLiteral("SELECT rowid FROM ") + quotedTable() + QStringLiteral(" WHERE ") + ident(m_fields[column])
                                         + QStringLiteral(" = :v ORDER BY rowid LIMIT 1"),
                                     {{QStringLiteral("v"), v}});
    if (!q.next())
        return false;
    const qint64 rowid = q.value(0).toLongLong();
    q.finish();
    QSqlQuery c = m_connection->native(QStringLiteral("SELECT COUNT(*) FROM ") + quotedTable() + QStringLiteral(" WHERE rowid < :r"),
                                     {{QStringLiteral("r"), rowid}});
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

int DataSet::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : m_count; }

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

void RefreshDataSet(DataSet &ds)
{
    if (!ds.connection() || ds.connection()->busy())
        return;
    // Nothing changed in the database: the rows read are still the rows.
    if (ds.UnchangedSinceOpen())
        return;
    bool disabled = false;
    try {
        if (!ds.Active())
            ds.Open();
        QVariant remembered = 0;
        const bool hasId = ds.hasField(QStringLiteral("id"));
        if (!ds.IsEmpty() && hasId)
            remembered = ds.FieldByName(QStringLiteral("id"));
        ds.DisableControls();
        disabled = true;
        ds.Close();
        ds.Open();
        if (hasId && !ds.IsEmpty() && !ds.Locate(QStringLiteral("id"), remembered))
            ds.First();
        ds.setLastError(QString());
    } catch (const std::exception &e) {
        ds.Close();
        ds.setLastError(failureText(e));
    }
    if (disabled)
        ds.EnableControls();
}

void RefreshQuery(DataSet &q)
{
    if (!q.connection() || q.connection()->busy())
        return;
    bool disabled = false;
    try {
        if (!q.Active())
            q.Open();
        const int recNo = q.IsEmpty() ? 0 : q.RecNo();
        q.DisableControls();
        disabled = true;
        q.Close();
        q.Open();
        if (!q.IsEmpty() && recNo > 0)
            q.setRecNo(recNo);
    } catch (const std::exception &) {
        q.Close();
    }
    if (disabled)
        q.EnableControls();
}
