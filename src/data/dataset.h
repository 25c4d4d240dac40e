#pragma once

#include "database.h"

#include <QAbstractTableModel>
#include <QDateTime>
#include <QHash>
#include <QStringList>
#include <QVariantMap>
#include <QVector>

#include <functional>

// One long-lived dataset of the data module: a whole table, or a query that
// holds a statement. Created closed; opened, closed and re-read by the
// program. It has a current row (the grid's selection can drive it) and
// serves as a Qt item model.
//
// A table on SQLite is read lazily, a page at a time, in its natural order
// (the order rows were added in), so that opening or re-reading a large
// table costs one count and one page. A query reads its whole result.
//
// Editing (tables only, once setReadOnly(false)): the windows change rows
// through the dataset, never through statements of their own.
//
//   Browse --Edit()/setFieldValue()/setData()--> Edit  --Post()--> Browse
//   Browse --Append()/Insert()-----------------> Insert --Post()--> Browse
//   Edit/Insert --Cancel()--> Browse (nothing written)
//
// - The changed values live in the dataset until Post(); FieldByName,
//   value() and data() give them meanwhile. A new row (Insert/Append) is
//   shown in the model at once, its fields null or set by setDefault() and
//   the onNewRecord hook.
// - Post() writes through the connection as a statement with bound values:
//   an UPDATE of the fields changed (the row found by its rowid on SQLite,
//   by the table's primary key elsewhere), or an INSERT of the fields set.
//   Afterwards the row shows what the database stored (its defaults, what a
//   trigger changed), and a new row goes where a re-read would show it (on
//   SQLite: in rowid order, normally the end).
// - Moving the current row to another row (First/Last/Next/Prior, setRecNo,
//   setCurrentRow, setData on another row; Locate always) while editing
//   ends the edit first: a modified row is posted, an unmodified one
//   cancelled (a new row nobody typed into is dropped). When the post is
//   refused or fails the move does not happen, and currentRowChanged is
//   emitted with the row kept so a bound grid can put its selection back.
//   Moving within the edited row (a grid going from cell to cell) posts
//   nothing.
// - Close(), a re-read and anything that closes the dataset (setSQL, the
//   connection closing) cancel a pending edit. RefreshDataSet skips a
//   dataset that is editing, so the refresh tick never loses a row being
//   typed.
// - A failure (a hook refusing, the database refusing the statement) leaves
//   the dataset as it was, still editing so the operator can correct the
//   row: Post/Delete return false, lastError() holds the reason and error()
//   is emitted with it.
// - Misuse (editing a closed, read-only or query dataset, a field that does
//   not exist) throws KorvinaError.
class DataSet : public QAbstractTableModel {
    Q_OBJECT
public:
    enum class Kind { Table, Query };
    enum class State { Inactive, Browse, Edit, Insert };
    Q_ENUM(State)

    DataSet(const QString &name, Database *connection, Kind kind, QObject *parent = nullptr);

    const QString &name() const { return m_name; }
    Database *connection() const { return m_connection; }
    Kind kind() const { return m_kind; }
    bool isTable() const { return m_kind == Kind::Table; }

    // Tables: the table the dataset opens.
    const QString &tableName() const { return m_tableName; }
    void setTableName(const QString &table) { m_tableName = table; }

    // Tables: only the rows whose field holds the value (the rows of a
    // detail table that belong to its master's current row); a new row
    // starts with that value. An empty field shows every row. An open
    // dataset is read again.
    void setRange(const QString &field, const QVariant &value);
    const QString &rangeField() const { return m_rangeField; }
    const QVariant &rangeValue() const { return m_rangeValue; }

    // Queries: the statement, as lines. SQLText() gives every line followed
    // by a line break.
    void setSQL(const QStringList &lines);
    void setSQL(const QString &text);
    const QStringList &SQL() const { return m_sql; }
    const QString &SQLText() const;
    QString statement() const; // the lines joined by line breaks, no trailing break

    // A computed column of a query, shown as its last column `name`: `fill`
    // gets the rows read (their fields and values) and the rows of a second
    // statement read with them, and gives one value per row. The second
    // statement's text is asked of `side` each time the rows are read ("" for
    // none); it is read on the same connection as the rows (the dataset's,
    // or the background reader's), so both show the database at one moment.
    // When fill throws, the opening or the re-read fails.
    using CalcFill = std::function<QVector<QVariant>(const QStringList &fields, const QVector<QVector<QVariant>> &rows,
                                                     const Database::Rows &side)>;
    void setCalcField(const QString &name, std::function<QString()> side, CalcFill fill);
    bool hasCalcField() const { return bool(m_calcFill); }
    // The second statement of the computed column now; "" when there is none.
    QString calcSideStatement() const { return m_calcSide ? m_calcSide() : QString(); }

    // A query whose rows no single statement gives (several statements
    // joined in memory): `source` reads them on the connection it is given,
    // the dataset's own or the background reader's, in that reader's thread
    // and within one read transaction there; so it holds copies of what it
    // needs and nothing of the owner's. The dataset's statement, if any, is
    // not run. Opening or re-reading fails when the source throws.
    using RowSource = std::function<Database::Rows(Database &db)>;
    void setRowSource(RowSource source);
    const RowSource &rowSource() const { return m_rowSource; }

    void setParam(const QString &name, const QVariant &value);
    void clearParams();
    const QVariantMap &params() const { return m_params; }

    // Throws KorvinaError when the dataset cannot be opened.
    void Open();
    void Close();
    bool Active() const { return m_active; }
    // True when the dataset is open and its connection has seen no change to
    // the database since it was opened (so reading again would give the same).
    bool UnchangedSinceOpen() const;
    // Reads the rows again in place, opening the dataset when closed. Views
    // hear only of the rows that changed, were added or went away, so a
    // grid keeps its scroll position and repaints what changed:
    // - a table read lazily reads its row count and the pages read so far
    //   (the rows a grid shows), nothing else;
    // - a query or a table read whole reads its result again and compares
    //   (a computed column filled again from the rows and its second
    //   statement).
    // The current record number is kept (clipped to the rows there are). A
    // change of columns is a plain close and open. Throws KorvinaError when
    // the rows cannot be read (the dataset is then left as it was). Not
    // while editing.
    void Reread();
    // Queries and tables read whole: takes rows read elsewhere (another
    // connection, another thread) in place of those held, as Reread does.
    // A dataset with a computed column takes them with the rows of its
    // second statement, read with them, and fills the column from both.
    void replaceRows(QStringList fields, QVector<QVector<QVariant>> rows);
    void replaceRows(QStringList fields, QVector<QVector<QVariant>> rows, const Database::Rows &side);
    // When the rows were last known to be the database's: read (opened,
    // read again, taken from elsewhere), or found unchanged since
    // (markRead). Invalid while the dataset is closed.
    const QDateTime &readAt() const { return m_readAt; }
    void markRead();
    // Changes whenever the statement, the parameters or the open state
    // change: a result read for an older generation is no longer this
    // dataset's result.
    quint64 generation() const { return m_generation; }
    // Runs the statement without opening a result (DELETE, UPDATE, ...).
    int ExecSQL();

    // While a new row is being inserted it counts as a row.
    bool IsEmpty() const { return count() == 0; }
    int RecordCount() const { return count(); }
    // 1-based number of the current record; 0 when empty or closed.
    int RecNo() const { return m_current + 1; }
    void setRecNo(int recNo);
    int currentRow() const { return m_current; }

    void First();
    void Last();
    void Next();
    void Prior();
    // A Next that cannot leave a row being edited (its post failed) sets Eof
    // too, so that a loop over the rows ends.
    bool Eof() const { return m_eof || count() == 0; }
    bool Bof() const { return m_current <= 0; }

    // Moves to the first row whose field holds the value (text compared
    // without regard to letter case). False, and no move, when there is none.
    bool Locate(const QString &field, const QVariant &value);

    const QStringList &fieldNames() const { return m_fields; }
    int fieldIndex(const QString &field) const; // -1 when missing; letter case ignored
    // The column's declared type (tables read by pages; unknown otherwise).
    QMetaType fieldType(int column) const;
    bool hasField(const QString &field) const { return fieldIndex(field) >= 0; }
    // The current row's value; throws KorvinaError for a missing field or no row.
    QVariant FieldByName(const QString &field) const;
    QVariant value(int row, int column) const;
    QVariant value(int row, const QString &field) const;

    // ---- Editing (see the class comment) ----
    State state() const { return m_state; }
    bool editing() const { return m_state == State::Edit || m_state == State::Insert; }
    // Read-only by default; only tables can be made editable (a query stays
    // read-only whatever is set). Making a dataset read-only cancels its edit.
    void setReadOnly(bool readOnly);
    bool readOnly() const { return m_readOnly || m_kind != Kind::Table; }
    bool canModify() const { return !readOnly() && m_active; }

    // Starts editing the current row; on an empty dataset it starts a new
    // row (Append). Nothing happens while already editing.
    void Edit();
    // A new row at the end / before the current row. A pending edit is ended
    // first as a move would end it; when that post fails no row is added.
    void Append();
    void Insert();
    // Sets a field of the row being edited (letter case of the name ignored).
    // In Browse it starts Edit on the current row first (as typing into a
    // grid cell does). Marks the row modified.
    void setFieldValue(const QString &field, const QVariant &value);
    // The value a new row starts with (before onNewRecord runs); a null value
    // removes the default.
    void setDefault(const QString &field, const QVariant &value);
    void clearDefaults() { m_defaults.clear(); }
    // Writes the pending edit; true when written (or nothing was pending).
    bool Post();
    // Drops the pending edit: nothing is written, a new row disappears.
    void Cancel();
    // True once a field was set since Edit/Insert began (defaults and
    // onNewRecord do not count).
    bool Modified() const { return m_modified; }
    // Deletes the current row. While editing, the pending change is cancelled
    // first; a new row not yet posted is only dropped (true).
    bool Delete();
    // Deletes the rows (model rows as shown when called, in any order;
    // duplicates and rows out of range ignored) in one transaction: all of
    // them or, when one is refused, none. A pending change is cancelled first
    // (a new row among the rows is only dropped); beforeDelete is asked for
    // each row with the dataset on it. Afterwards the current row is the one
    // that followed the first deleted row.
    bool DeleteRows(const QList<int> &rows);

    // Hooks. beforePost and beforeDelete may refuse: return false (after
    // setLastError() with the reason, or the reason is a general text), or
    // throw KorvinaError whose text is the reason. They run with the row
    // current, beforePost in Edit/Insert (it may still set fields).
    // afterPost and afterDelete run once the dataset is back in Browse;
    // a failure there is reported through error() but undoes nothing.
    // onNewRecord runs when a new row starts, after the defaults, to set
    // values such as a master key; when it throws, the new row is cancelled
    // and the failure reported.
    std::function<bool(DataSet &)> beforePost;
    std::function<void(DataSet &)> afterPost;
    std::function<bool(DataSet &)> beforeDelete;
    std::function<void(DataSet &)> afterDelete;
    std::function<void(DataSet &)> onNewRecord;

    // Why the last re-read, post or delete failed (RefreshDataSet closes the
    // dataset then); empty after a re-read that worked.
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
    // Editable cells when the dataset can be modified (see setReadOnly).
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    // EditRole: moves to the row if needed (ending a pending edit there), then
    // setFieldValue. False when the dataset is read-only or the move failed.
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;

public slots:
    void setCurrentRow(int row);

signals:
    void currentRowChanged(int row);
    void opened();
    void closed();
    // Reread() or replaceRows() took the rows anew (whether or not any changed).
    void reread();
    // readAt() changed.
    void readAtChanged();
    // A row was written by Post() / rows were deleted (before the after-hooks run).
    void posted();
    void deleted();
    void stateChanged(DataSet::State state);
    // A post or delete failed or was refused: the reason, for the window to show.
    void error(const QString &reason);

private:
    bool lazy() const;
    int count() const { return m_count + (m_state == State::Insert ? 1 : 0); }
    // The stored row shown at model row r (-1 for the new row).
    int storedRow(int r) const;
    const QVector<QVariant> &row(int r) const; // stored rows
    // Ends a pending edit before a move: posts a modified row, cancels an
    // unmodified one. False (and no move) when the post failed.
    bool leaveRow();
    void setState(State state);
    void checkModify(const char *what) const;
    void startNew(int at);
    bool fail(const QString &reason);
    bool runHook(const std::function<bool(DataSet &)> &hook, const QString &refusal);
    void runAfterHook(const std::function<void(DataSet &)> &hook);
    QVariantMap keyOf(int r) const; // non-SQLite: the primary key's values of a stored row
    QString keyCondition(const QVariantMap &key, QVariantMap &params) const;
    void dropPagesFrom(int stored) const;
    void rereadRow(int stored, qint64 rowid);
    void reloadAll(const QVariantMap &key);
    void keepStamp(qint64 before);
    void cellsChanged(int r);
    bool moveTo(int r);
    void clearEdit();
    bool isCalc(int column) const;
    QString bracketed(const QString &name) const;
    void notifyReset();
    void setCurrent(int row);
    QString quotedTable() const;
    // A name as the engine's own statements (not translated) take it: a
    // server's tables and columns are made in lower case.
    QString nativeName(const QString &name) const;
    // The column a table is read by pages in: SQLite's rowid, a server
    // table's counter (when it is the table's key); empty: read whole.
    const QString &rowKey() const;
    // rowKey() as the engine's own statements name it, and as a statement
    // in the Jet dialect does.
    QString rowKeySql() const;
    QString rowKeyJet() const;
    QString nativeTable() const; // the table's name as the driver looks it up
    // The row's number in page reads, the order of the pages, and the
    // condition for the rows before a row (parameters added to `params`).
    QString rowIdSql() const;
    QString rowOrderSql(bool descending) const;
    QString beforeRowSql(qint64 rowid, QVariantMap &params) const;
    mutable bool m_rowTie = false;         // rows told by their place (ctid), ordered by the key and then it
    mutable bool m_rowKeyReadOnly = false; // read-only when the key was found
    mutable QString m_rowKey;
    mutable QString m_rowKeyTable; // the table and connection it was found for
    mutable quint64 m_rowKeyGeneration = 0;
    mutable bool m_rowKeyKnown = false;
    bool m_paged = false; // opened to be read by pages

    QString m_name;
    Database *m_connection;
    Kind m_kind;
    QString m_tableName;
    QStringList m_sql;
    QString m_sqlText; // the lines, each followed by a line break: kept, since lookups ask for it per client
    QVariantMap m_params;
    QString m_calcName;
    std::function<QString()> m_calcSide;
    CalcFill m_calcFill;
    RowSource m_rowSource;
    Database::Rows readRows(); // the query's rows on its own connection
    QDateTime m_readAt;
    void setReadAt(const QDateTime &at);
    // The rows with the computed column filled (fields and values), read
    // with the side statement's rows.
    void appendCalc(QStringList &fields, QVector<QVector<QVariant>> &rows, const Database::Rows &side) const;

    bool m_active = false;
    bool m_eof = false;
    int m_count = 0;
    int m_current = -1;
    QStringList m_fields;
    QVector<QMetaType> m_types;
    QVector<QVector<QVariant>> m_rows;                    // fully read result
    struct Page {
        QVector<qint64> rowids;
        QVector<QVector<QVariant>> rows;
    };
    mutable QHash<int, Page> m_pages;                   // lazy pages
    mutable qint64 m_lastRowid = -1;                    // lazy: the last row, read alone
    mutable QVector<QVariant> m_lastRow;
    qint64 rowidAt(int r) const;
    Page fetchRows(int page) const; // a page of a lazy table; -1: the last row alone
    int m_disabled = 0;
    bool m_pendingReset = false;
    qint64 m_openStamp = -1; // the connection's change stamp when opened
    quint64 m_generation = 0;
    void rereadPages();
    QString rangeWhere(const QString &condition = QString()) const; // " WHERE ..." of the range and the condition
    QVariantMap rangeParams(QVariantMap params = {}) const;
    QString tableStatement() const; // Jet: the table, within its range, in its order
    // On a server, the order a table is read in (" ORDER BY ..."): its key,
    // else its id; empty elsewhere (SQLite reads in the order rows were
    // added). Worked out when the table opens.
    QString serverTableOrder() const;
    QString m_tableOrder;
    QString m_rangeField;
    QVariant m_rangeValue;
    void reopen(); // Reread by closing and opening, the record number kept
    bool m_quiet = false; // rows are being added or taken away: the count is not the table's
    QString m_lastError;

    bool m_readOnly = true;
    State m_state = State::Inactive;
    QVector<QVariant> m_buffer;    // the edited or new row
    QVector<bool> m_set;           // fields set in it
    bool m_modified = false;
    int m_editRow = -1;            // model row of the edit
    int m_returnRow = -1;          // current row before a new one started
    qint64 m_editRowid = -1;       // SQLite: the edited row's rowid
    QVariantMap m_editKey;         // elsewhere: its primary key
    QHash<QString, QVariant> m_defaults; // by lower-case field name
    bool m_inEdit = false;         // a post or delete (and its hooks) runs
    int m_insertedAt = -1;         // where the last post put a new row

    static constexpr int PageSize = 256;
};

// Re-reads a dataset keeping the current row by its id (tables) or by its
// record number (queries). A dataset that cannot be read is closed quietly.
void RefreshDataSet(DataSet &dataset);
void RefreshQuery(DataSet &query);
