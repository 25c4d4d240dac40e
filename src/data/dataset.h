#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QStringList>
#include <QVariantMap>
#include <QVector>

#include <functional>

class Database;

// One long-lived dataset of the data module: a whole table, or a query that
// holds a statement. Created closed; opened, closed and re-read by the
// program. It has a current row (the grid's selection can drive it) and
// serves as a Qt item model.
//
// A table on SQLite is read lazily, a page at a time, in its natural order
// (the order rows were added in), so that opening or re-reading a large
// table costs one count and one page. A query reads its whole result.
class DataSet : public QAbstractTableModel {
    Q_OBJECT
public:
    enum class Kind { Table, Query };

    DataSet(const QString &name, Database *connection, Kind kind, QObject *parent = nullptr);

    const QString &name() const { return m_name; }
    Database *connection() const { return m_connection; }
    Kind kind() const { return m_kind; }
    bool isTable() const { return m_kind == Kind::Table; }

    // Tables: the table the dataset opens.
    const QString &tableName() const { return m_tableName; }
    void setTableName(const QString &table) { m_tableName = table; }

    // Queries: the statement, as lines. SQLText() gives every line followed
    // by a line break.
    void setSQL(const QStringList &lines);
    void setSQL(const QString &text);
    const QStringList &SQL() const { return m_sql; }
    const QString &SQLText() const;
    QString statement() const; // the lines joined by line breaks, no trailing break

    // A computed column of a query: after every opening `fill` gets the
    // dataset with the rows read and gives one value per row, which then
    // shows as the last column `name`. When fill throws, the opening fails.
    using CalcField = std::function<QVector<QVariant>(const DataSet &)>;
    void setCalcField(const QString &name, CalcField fill);

    void setParam(const QString &name, const QVariant &value);
    void clearParams() { m_params.clear(); }
    const QVariantMap &params() const { return m_params; }

    // Throws KorvinaError when the dataset cannot be opened.
    void Open();
    void Close();
    bool Active() const { return m_active; }
    // True when the dataset is open and its connection has seen no change to
    // the database since it was opened (so reading again would give the same).
    bool UnchangedSinceOpen() const;
    // Runs the statement without opening a result (DELETE, UPDATE, ...).
    int ExecSQL();

    bool IsEmpty() const { return m_count == 0; }
    int RecordCount() const { return m_count; }
    // 1-based number of the current record; 0 when empty or closed.
    int RecNo() const { return m_current + 1; }
    void setRecNo(int recNo);
    int currentRow() const { return m_current; }

    void First();
    void Last();
    void Next();
    void Prior();
    bool Eof() const { return m_eof || m_count == 0; }
    bool Bof() const { return m_current <= 0; }

    // Moves to the first row whose field holds the value (text compared
    // without regard to letter case). False, and no move, when there is none.
    bool Locate(const QString &field, const QVariant &value);

    const QStringList &fieldNames() const { return m_fields; }
    int fieldIndex(const QString &field) const; // -1 when missing; letter case ignored
    bool hasField(const QString &field) const { return fieldIndex(field) >= 0; }
    // The current row's value; throws KorvinaError for a missing field or no row.
    QVariant FieldByName(const QString &field) const;
    QVariant value(int row, int column) const;
    QVariant value(int row, const QString &field) const;

    // Why the last re-read failed (RefreshDataSet closes the dataset then);
    // empty after a re-read that worked.
    const QString &lastError() const { return m_lastError; }
    void setLastError(const QString &error) { m_lastError = error; }

    // Bound grids stop repainting while controls are disabled.
    void DisableControls();
    void EnableControls();
    bool ControlsDisabled() const { return m_disabled > 0; }

    // QAbstractItemModel
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

public slots:
    void setCurrentRow(int row);

signals:
    void currentRowChanged(int row);
    void opened();
    void closed();

private:
    bool lazy() const;
    const QVector<QVariant> &row(int r) const;
    void notifyReset();
    void setCurrent(int row);
    QString quotedTable() const;

    QString m_name;
    Database *m_connection;
    Kind m_kind;
    QString m_tableName;
    QStringList m_sql;
    QString m_sqlText; // the lines, each followed by a line break: kept, since lookups ask for it per client
    QVariantMap m_params;
    QString m_calcName;
    CalcField m_calcFill;

    bool m_active = false;
    bool m_eof = false;
    int m_count = 0;
    int m_current = -1;
    QStringList m_fields;
    QVector<QVector<QVariant>> m_rows;                    // fully read result
    struct Page {
        QVector<qint64> rowids;
        QVector<QVector<QVariant>> rows;
    };
    mutable QHash<int, Page> m_pages;                   // lazy pages
    mutable qint64 m_lastRowid = -1;                    // lazy: the last row, read alone
    mutable QVector<QVariant> m_lastRow;
    qint64 rowidAt(int r) const;
    int m_disabled = 0;
    bool m_pendingReset = false;
    qint64 m_openStamp = -1; // the connection's change stamp when opened
    QString m_lastError;

    static constexpr int PageSize = 256;
};

// Re-reads a dataset keeping the current row by its id (tables) or by its
// record number (queries). A dataset that cannot be read is closed quietly.
void RefreshDataSet(DataSet &dataset);
void RefreshQuery(DataSet &query);
