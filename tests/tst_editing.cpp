// Editing through a table's dataset, as the windows do it: edit, insert,
// cancel and delete, posting when the current row moves, hooks that refuse,
// statements the database refuses, the refresh tick meanwhile, and the item
// model's signals. After every change the dataset must read exactly as a
// dataset opened afresh on the table.

#include "config/korvinaerror.h"
#include "data/dataset.h"
#include "tradefixture.h"

#include <QtTest>

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

#include <memory>

namespace {

// Rows read through a connection of its own, as another process sees them.
QVector<QVariantList> storedRows(const QString &path, const QString &sql)
{
    const QString name = QStringLiteral("reader-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    QVector<QVariantList> out;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        if (!db.open())
            qFatal("cannot open %s", qPrintable(path));
        QSqlQuery q(db);
        if (!q.exec(sql))
            qFatal("cannot read: %s", qPrintable(sql));
        while (q.next()) {
            QVariantList row;
            for (int i = 0; i < q.record().count(); ++i)
                row << q.value(i);
            out << row;
        }
    }
    QSqlDatabase::removeDatabase(name);
    return out;
}

QVariantList storedColumn(const QString &path, const QString &sql)
{
    QVariantList out;
    for (const QVariantList &row : storedRows(path, sql))
        out << row.value(0);
    return out;
}

// Empty when the dataset shows what a dataset opened now on its table shows.
QString differenceFromReread(DataSet &ds)
{
    DataSet fresh(QStringLiteral("fresh"), ds.connection(), DataSet::Kind::Table);
    fresh.setTableName(ds.tableName());
    fresh.Open();
    if (fresh.RecordCount() != ds.RecordCount())
        return QStringLiteral("rows: %1, re-read: %2").arg(ds.RecordCount()).arg(fresh.RecordCount());
    for (int r = 0; r < fresh.RecordCount(); ++r)
        for (int c = 0; c < fresh.fieldNames().size(); ++c)
            if (ds.value(r, c) != fresh.value(r, c))
                return QStringLiteral("row %1 column %2: %3, re-read: %4")
                    .arg(r)
                    .arg(fresh.fieldNames()[c], ds.value(r, c).toString(), fresh.value(r, c).toString());
    return {};
}

// A scratch table of QuikData with what the database may refuse or change:
// NOT NULL, CHECK, UNIQUE, a trigger refusing an update, a trigger stamping
// new rows, a column default.
struct Scratch {
    TradeFixture f;
    std::unique_ptr<DataSet> ds;

    explicit Scratch(const QList<int> &ids = {10, 20, 30})
    {
        f.sql(QStringLiteral("CREATE TABLE tScratch (id INTEGER PRIMARY KEY, name VARCHAR(50) COLLATE NOCASE NOT NULL UNIQUE, "
                             "qty INTEGER DEFAULT 7 CHECK (qty >= 0), note TEXT, stamp TEXT)"));
        f.sql(QStringLiteral("CREATE TRIGGER tScratchRefuse BEFORE UPDATE OF qty ON tScratch WHEN NEW.qty = 13 "
                             "BEGIN SELECT RAISE(ABORT, 'qty 13 is refused'); END"));
        f.sql(QStringLiteral("CREATE TRIGGER tScratchStamp AFTER INSERT ON tScratch "
                             "BEGIN UPDATE tScratch SET stamp = 'new' WHERE id = NEW.id; END"));
        for (int id : ids)
            f.sql(QStringLiteral("INSERT INTO tScratch (id, name, qty, note) VALUES (:id, :n, :q, 'n')"),
                  {{QStringLiteral("id"), id}, {QStringLiteral("n"), QStringLiteral("row %1").arg(id)}, {QStringLiteral("q"), id / 10}});
        ds = std::make_unique<DataSet>(QStringLiteral("tScratch"), &f.dm.conQuikData, DataSet::Kind::Table);
        ds->setTableName(QStringLiteral("tScratch"));
        ds->setReadOnly(false);
        ds->Open();
    }
    QString path() const { return f.ws.quikDataPath(); }
    QVariantList ids() { return storedColumn(path(), QStringLiteral("SELECT id FROM tScratch ORDER BY rowid")); }
    QVariant stored(int id, const QString &field)
    {
        const auto rows = storedRows(path(), QStringLiteral("SELECT \"%1\" FROM tScratch WHERE id = %2").arg(field).arg(id));
        return rows.isEmpty() ? QVariant(QStringLiteral("<no row>")) : rows.first().value(0);
    }
};

// Equal values, or both null whatever their type.
bool same(const QVariant &a, const QVariant &b) { return (a.isNull() && b.isNull()) || (!a.isNull() && !b.isNull() && a == b); }

QList<int> range(int from, int to)
{
    QList<int> out;
    for (int i = from; i <= to; ++i)
        out << i;
    return out;
}

} // namespace

class TestEditing : public QObject {
    Q_OBJECT

private slots:
    void readOnlyByDefault();
    void editAndPost_data();
    void editAndPost();
    void postWritesOnlyTheChangedFields();
    void insertAndPost_data();
    void insertAndPost();
    void insertDefaultsAndHooks();
    void cancel();
    void deleteRows_data();
    void deleteRows();
    void deleteWhileEditing();
    void moveWhileEditingPosts_data();
    void moveWhileEditingPosts();
    void moveFromANewRow();
    void refusedPostKeepsTheEdit_data();
    void refusedPostKeepsTheEdit();
    void failingStatementKeepsTheEdit_data();
    void failingStatementKeepsTheEdit();
    void refusedDelete();
    void refreshWhileEditing();
    void closeCancels();
    void modelEditing();
};

void TestEditing::readOnlyByDefault()
{
    TradeFixture f;
    f.addClient(QStringLiteral("C1"), QStringLiteral("F1"));
    DataSet &clients = f.dm.tClients;
    QCOMPARE(clients.state(), DataSet::State::Inactive);
    clients.Open();
    QCOMPARE(clients.state(), DataSet::State::Browse);
    const QModelIndex cell = clients.index(0, clients.fieldIndex(QStringLiteral("client")));

    QVERIFY(clients.readOnly());
    QVERIFY(!(clients.flags(cell) & Qt::ItemIsEditable));
    QVERIFY(!clients.setData(cell, QStringLiteral("changed")));
    QVERIFY_THROWS_EXCEPTION(KorvinaError, clients.Edit());
    QVERIFY_THROWS_EXCEPTION(KorvinaError, clients.setFieldValue(QStringLiteral("client"), QStringLiteral("changed")));
    QVERIFY_THROWS_EXCEPTION(KorvinaError, clients.Append());
    QVERIFY_THROWS_EXCEPTION(KorvinaError, clients.Delete());
    QCOMPARE(clients.state(), DataSet::State::Browse);
    QCOMPARE(clients.FieldByName(QStringLiteral("client")).toString(), QStringLiteral("Client C1"));

    clients.setReadOnly(false);
    QVERIFY(clients.flags(cell) & Qt::ItemIsEditable);

    // A query stays read-only whatever is set.
    DataSet &query = f.dm.qActiveClients;
    query.setParam(QStringLiteral("id_quik"), 0);
    query.setReadOnly(false);
    query.Open();
    QCOMPARE(query.RecordCount(), 1);
    QVERIFY(query.readOnly());
    QVERIFY(!(query.flags(query.index(0, 0)) & Qt::ItemIsEditable));
    QVERIFY_THROWS_EXCEPTION(KorvinaError, query.Edit());
}

void TestEditing::editAndPost_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QVariant>("stored");

    QTest::newRow("text") << "name" << QVariant(QStringLiteral("Новое имя")) << QVariant(QStringLiteral("Новое имя"));
    const QString sql = QStringLiteral("O'Brien \"x\"; DROP TABLE tScratch; -- [note] :qty True");
    QTest::newRow("quotes and SQL stored as is") << "note" << QVariant(sql) << QVariant(sql);
    QTest::newRow("field name in other letter case") << "NoTe" << QVariant(QStringLiteral("x")) << QVariant(QStringLiteral("x"));
    QTest::newRow("number from a text: the stored number shows") << "qty" << QVariant(QStringLiteral("42")) << QVariant(qlonglong(42));
    QTest::newRow("null") << "note" << QVariant() << QVariant();
}

void TestEditing::editAndPost()
{
    QFETCH(QString, field);
    QFETCH(QVariant, value);
    QFETCH(QVariant, stored);

    Scratch s;
    DataSet &ds = *s.ds;
    ds.setRecNo(2); // id 20
    const QVariant old = s.stored(20, field);
    QSignalSpy states(&ds, &DataSet::stateChanged);

    ds.setFieldValue(field, value); // starts Edit in Browse
    QCOMPARE(ds.state(), DataSet::State::Edit);
    QVERIFY(ds.Modified());
    QCOMPARE(ds.FieldByName(field), value);
    QCOMPARE(ds.value(1, field), value);
    QCOMPARE(s.stored(20, field), old); // nothing written before the post

    QVERIFY(ds.Post());
    QCOMPARE(ds.state(), DataSet::State::Browse);
    QVERIFY(!ds.Modified());
    QVERIFY(same(s.stored(20, field), stored));
    QVERIFY(same(ds.FieldByName(field), stored));
    QCOMPARE(ds.FieldByName(QStringLiteral("id")).toInt(), 20);
    QCOMPARE(ds.RecNo(), 2);
    QCOMPARE(s.ids(), (QVariantList{10, 20, 30}));
    QCOMPARE(differenceFromReread(ds), QString());
    // The dataset shows what it wrote: the refresh tick need not read it again.
    QVERIFY(ds.UnchangedSinceOpen());
    QCOMPARE(states.size(), 2);
    QCOMPARE(states.at(0).at(0).value<DataSet::State>(), DataSet::State::Edit);
    QCOMPARE(states.at(1).at(0).value<DataSet::State>(), DataSet::State::Browse);
}

void TestEditing::postWritesOnlyTheChangedFields()
{
    Scratch s;
    DataSet &ds = *s.ds;
    ds.setRecNo(2);
    ds.Edit();
    QCOMPARE(ds.FieldByName(QStringLiteral("note")).toString(), QStringLiteral("n"));
    // Another program changes a field the operator did not touch.
    s.f.ws.exec(s.path(), QStringLiteral("UPDATE tScratch SET note = 'theirs' WHERE id = 20"));
    ds.setFieldValue(QStringLiteral("name"), QStringLiteral("mine"));
    QVERIFY(ds.Post());
    QCOMPARE(s.stored(20, QStringLiteral("name")).toString(), QStringLiteral("mine"));
    QCOMPARE(s.stored(20, QStringLiteral("note")).toString(), QStringLiteral("theirs"));
    QCOMPARE(ds.FieldByName(QStringLiteral("note")).toString(), QStringLiteral("theirs"));
    // Another process wrote meanwhile: the dataset is not taken as current.
    QVERIFY(!ds.UnchangedSinceOpen());

    // Edit and post without a change writes nothing.
    s.f.ws.exec(s.path(), QStringLiteral("UPDATE tScratch SET name = 'theirs again' WHERE id = 20"));
    ds.Edit();
    QVERIFY(!ds.Modified());
    QVERIFY(ds.Post());
    QCOMPARE(s.stored(20, QStringLiteral("name")).toString(), QStringLiteral("theirs again"));
}

// Where a posted new row lands: where a re-read shows it (rowid order).
void TestEditing::insertAndPost_data()
{
    QTest::addColumn<QList<int>>("ids");
    QTest::addColumn<bool>("append");
    QTest::addColumn<int>("at");        // current row before Insert
    QTest::addColumn<QVariant>("newId"); // null: the database's counter
    QTest::addColumn<int>("position");
    QTest::addColumn<qlonglong>("storedId");

    QTest::newRow("append, counter") << QList<int>{10, 20, 30} << true << 0 << QVariant() << 3 << 31LL;
    QTest::newRow("insert before the second row, counter: lands at the end") << QList<int>{10, 20, 30} << false << 1 << QVariant() << 3
                                                                            << 31LL;
    QTest::newRow("insert, id in a gap: lands in the gap") << QList<int>{10, 20, 30} << false << 2 << QVariant(15) << 1 << 15LL;
    QTest::newRow("append, id before every row") << QList<int>{10, 20, 30} << true << 0 << QVariant(1) << 0 << 1LL;
    QTest::newRow("append into an empty table") << QList<int>{} << true << 0 << QVariant() << 0 << 1LL;
    QTest::newRow("insert at the start of a second page, counter") << range(1, 600) << false << 256 << QVariant() << 600 << 601LL;
    QTest::newRow("insert, id in a gap two pages on") << [] {
        QList<int> ids = range(1, 600);
        ids.removeAll(300);
        return ids;
    }() << false << 550 << QVariant(300) << 299 << 300LL;
}

void TestEditing::insertAndPost()
{
    QFETCH(QList<int>, ids);
    QFETCH(bool, append);
    QFETCH(int, at);
    QFETCH(QVariant, newId);
    QFETCH(int, position);
    QFETCH(qlonglong, storedId);

    Scratch s(ids);
    DataSet &ds = *s.ds;
    const int before = ds.RecordCount();
    // Pages read before the insert must not show stale rows after it.
    for (int r = 0; r < before; r += 100)
        ds.value(r, 0);
    ds.setRecNo(at + 1);

    QSignalSpy inserted(&ds, &QAbstractItemModel::rowsInserted);
    QSignalSpy moved(&ds, &QAbstractItemModel::rowsMoved);
    if (append)
        ds.Append();
    else
        ds.Insert();
    const int shownAt = append ? before : at;
    QCOMPARE(ds.state(), DataSet::State::Insert);
    QCOMPARE(ds.RecordCount(), before + 1);
    QCOMPARE(ds.currentRow(), shownAt);
    QCOMPARE(inserted.size(), 1);
    QCOMPARE(inserted.at(0).at(1).toInt(), shownAt);
    QVERIFY(ds.FieldByName(QStringLiteral("name")).isNull());
    if (!append && before > 0) // the row that was current is shown after the new one
        QCOMPARE(ds.value(at + 1, QStringLiteral("id")).toInt(), ids[at]);

    if (!newId.isNull())
        ds.setFieldValue(QStringLiteral("id"), newId);
    ds.setFieldValue(QStringLiteral("name"), QStringLiteral("new one"));
    QVERIFY(ds.Post());

    QCOMPARE(ds.state(), DataSet::State::Browse);
    QCOMPARE(ds.RecordCount(), before + 1);
    QCOMPARE(ds.currentRow(), position);
    // What the database stored: the counter, the column default, the trigger's stamp.
    QCOMPARE(ds.FieldByName(QStringLiteral("id")).toLongLong(), storedId);
    QCOMPARE(ds.FieldByName(QStringLiteral("qty")).toInt(), 7);
    QCOMPARE(ds.FieldByName(QStringLiteral("stamp")).toString(), QStringLiteral("new"));
    QCOMPARE(s.stored(int(storedId), QStringLiteral("name")).toString(), QStringLiteral("new one"));
    QCOMPARE(moved.size(), position == shownAt ? 0 : 1);
    QCOMPARE(differenceFromReread(ds), QString());
    QVERIFY(ds.UnchangedSinceOpen());
}

void TestEditing::insertDefaultsAndHooks()
{
    TradeFixture f;
    f.addClient(QStringLiteral("C1"), QStringLiteral("F1"));
    DataSet &clients = f.dm.tClients;
    clients.setReadOnly(false);
    clients.Open();
    int afterPosts = 0;
    clients.setDefault(QStringLiteral("ID_QUIK"), 3);
    clients.setDefault(QStringLiteral("note"), QStringLiteral("dropped default"));
    clients.setDefault(QStringLiteral("note"), QVariant()); // removed again
    clients.onNewRecord = [](DataSet &ds) {
        QCOMPARE(ds.state(), DataSet::State::Insert);
        QCOMPARE(ds.FieldByName(QStringLiteral("id_quik")).toInt(), 3); // defaults come first
        ds.setFieldValue(QStringLiteral("Active"), true);
        ds.setFieldValue(QStringLiteral("client"), QStringLiteral("from the hook"));
    };
    clients.afterPost = [&afterPosts](DataSet &ds) {
        QCOMPARE(ds.state(), DataSet::State::Browse);
        ++afterPosts;
    };

    clients.Append();
    QVERIFY(!clients.Modified()); // defaults and the hook are not the operator's change
    QCOMPARE(clients.FieldByName(QStringLiteral("client")).toString(), QStringLiteral("from the hook"));
    QVERIFY(clients.FieldByName(QStringLiteral("note")).isNull());
    clients.setFieldValue(QStringLiteral("Code"), QStringLiteral("C2"));
    QVERIFY(clients.Post());
    QCOMPARE(afterPosts, 1);

    const auto rows = storedRows(f.ws.quikDataPath(), QStringLiteral("SELECT id, Code, client, Active, id_quik, note, LongEnb FROM tClients ORDER BY id"));
    QCOMPARE(rows.size(), 2);
    const QVariantList added = rows[1];
    QCOMPARE(added.mid(0, 5), (QVariantList{2, QStringLiteral("C2"), QStringLiteral("from the hook"), 1, 3}));
    QVERIFY(added[5].isNull());
    QCOMPARE(added[6].toInt(), 0);
    QCOMPARE(clients.FieldByName(QStringLiteral("id")).toInt(), 2);
    QCOMPARE(clients.FieldByName(QStringLiteral("LongEnb")).toInt(), 0); // the column's default, read back

    // A hook that throws: the new row is dropped and the failure reported.
    QSignalSpy errors(&clients, &DataSet::error);
    clients.onNewRecord = [](DataSet &) { throw KorvinaError(QStringLiteral("no group chosen")); };
    clients.Append();
    QCOMPARE(clients.state(), DataSet::State::Browse);
    QCOMPARE(clients.RecordCount(), 2);
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("no group chosen"));
}

void TestEditing::cancel()
{
    Scratch s;
    DataSet &ds = *s.ds;
    ds.setRecNo(2);
    QSignalSpy changed(&ds, &QAbstractItemModel::dataChanged);
    ds.setFieldValue(QStringLiteral("name"), QStringLiteral("typed"));
    ds.Cancel();
    QCOMPARE(ds.state(), DataSet::State::Browse);
    QCOMPARE(ds.FieldByName(QStringLiteral("name")).toString(), QStringLiteral("row 20"));
    QCOMPARE(s.stored(20, QStringLiteral("name")).toString(), QStringLiteral("row 20"));
    QCOMPARE(changed.size(), 2); // the cell typed, then the row put back

    QSignalSpy removed(&ds, &QAbstractItemModel::rowsRemoved);
    ds.Insert();
    ds.setFieldValue(QStringLiteral("name"), QStringLiteral("never stored"));
    ds.Cancel();
    QCOMPARE(removed.size(), 1);
    QCOMPARE(removed.at(0).at(1).toInt(), 1);
    QCOMPARE(ds.RecordCount(), 3);
    QCOMPARE(ds.currentRow(), 1);
    QCOMPARE(ds.FieldByName(QStringLiteral("id")).toInt(), 20);
    QCOMPARE(s.ids(), (QVariantList{10, 20, 30}));
    QCOMPARE(differenceFromReread(ds), QString());
}

void TestEditing::deleteRows_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("current");
    QTest::addColumn<QList<int>>("rows"); // empty: Delete() of the current row
    QTest::addColumn<QList<int>>("gone"); // ids
    QTest::addColumn<int>("currentAfter");

    QTest::newRow("the current row") << 3 << 1 << QList<int>{} << QList<int>{2} << 1;
    QTest::newRow("the last row") << 3 << 2 << QList<int>{} << QList<int>{3} << 1;
    QTest::newRow("the only row") << 1 << 0 << QList<int>{} << QList<int>{1} << -1;
    QTest::newRow("several, any order, duplicates and strays ignored") << 5 << 0 << QList<int>{3, 1, 3, -1, 9} << QList<int>{2, 4} << 1;
    QTest::newRow("runs across pages") << 600 << 10 << QList<int>{599, 5, 255, 256, 257, 300, 301} << QList<int>{6, 256, 257, 258, 301, 302, 600} << 5;
}

void TestEditing::deleteRows()
{
    QFETCH(int, count);
    QFETCH(int, current);
    QFETCH(QList<int>, rows);
    QFETCH(QList<int>, gone);
    QFETCH(int, currentAfter);

    Scratch s(range(1, count));
    DataSet &ds = *s.ds;
    for (int r = 0; r < count; r += 100)
        ds.value(r, 0);
    ds.setRecNo(current + 1);
    QSignalSpy removed(&ds, &QAbstractItemModel::rowsRemoved);
    int afterDeletes = 0;
    ds.afterDelete = [&afterDeletes](DataSet &) { ++afterDeletes; };

    QVERIFY(rows.isEmpty() ? ds.Delete() : ds.DeleteRows(rows));

    QVariantList expected;
    for (int id = 1; id <= count; ++id)
        if (!gone.contains(id))
            expected << id;
    QCOMPARE(s.ids(), expected);
    QCOMPARE(ds.RecordCount(), count - gone.size());
    QCOMPARE(ds.currentRow(), currentAfter);
    int removedRows = 0;
    for (const auto &signal : removed)
        removedRows += signal.at(2).toInt() - signal.at(1).toInt() + 1;
    QCOMPARE(removedRows, gone.size());
    QCOMPARE(afterDeletes, 1);
    QCOMPARE(differenceFromReread(ds), QString());
    QVERIFY(ds.UnchangedSinceOpen());
}

void TestEditing::deleteWhileEditing()
{
    Scratch s;
    DataSet &ds = *s.ds;
    // A new row not yet posted is only dropped.
    ds.Append();
    ds.setFieldValue(QStringLiteral("name"), QStringLiteral("x"));
    QVERIFY(ds.Delete());
    QCOMPARE(ds.state(), DataSet::State::Browse);
    QCOMPARE(s.ids(), (QVariantList{10, 20, 30}));

    // While a new row shows before row 1, model row 2 is the stored row 1.
    ds.setRecNo(2);
    ds.Insert();
    QVERIFY(ds.DeleteRows({1, 2}));
    QCOMPARE(s.ids(), (QVariantList{10, 30}));

    // An edited row is deleted without its change being written first.
    ds.First();
    ds.setFieldValue(QStringLiteral("qty"), 13);
    QVERIFY(ds.Delete());
    QCOMPARE(s.ids(), (QVariantList{30}));
    QCOMPARE(differenceFromReread(ds), QString());
}

void TestEditing::moveWhileEditingPosts_data()
{
    QTest::addColumn<QString>("move");
    QTest::addColumn<int>("to"); // the current row after the move

    QTest::newRow("Next") << "Next" << 2;
    QTest::newRow("Prior") << "Prior" << 0;
    QTest::newRow("First") << "First" << 0;
    QTest::newRow("Last") << "Last" << 2;
    QTest::newRow("setCurrentRow") << "setCurrentRow" << 0;
    QTest::newRow("setRecNo") << "setRecNo" << 2;
    QTest::newRow("Locate") << "Locate" << 2;
    QTest::newRow("Locate the edited row itself") << "LocateSelf" << 1;
}

void TestEditing::moveWhileEditingPosts()
{
    QFETCH(QString, move);
    QFETCH(int, to);

    Scratch s;
    DataSet &ds = *s.ds;
    ds.setRecNo(2);
    ds.setFieldValue(QStringLiteral("note"), QStringLiteral("posted by the move"));
    if (move == QLatin1String("Next"))
        ds.Next();
    else if (move == QLatin1String("Prior"))
        ds.Prior();
    else if (move == QLatin1String("First"))
        ds.First();
    else if (move == QLatin1String("Last"))
        ds.Last();
    else if (move == QLatin1String("setCurrentRow"))
        ds.setCurrentRow(0);
    else if (move == QLatin1String("setRecNo"))
        ds.setRecNo(3);
    else if (move == QLatin1String("Locate"))
        QVERIFY(ds.Locate(QStringLiteral("name"), QStringLiteral("ROW 30")));
    else
        QVERIFY(ds.Locate(QStringLiteral("note"), QStringLiteral("posted by the move")));

    QCOMPARE(ds.state(), DataSet::State::Browse);
    QCOMPARE(ds.currentRow(), to);
    QCOMPARE(s.stored(20, QStringLiteral("note")).toString(), QStringLiteral("posted by the move"));
    QCOMPARE(ds.value(1, QStringLiteral("note")).toString(), QStringLiteral("posted by the move"));

    // Within the same row nothing is posted: the grid moves between its cells.
    ds.setRecNo(2);
    ds.setFieldValue(QStringLiteral("note"), QStringLiteral("still typing"));
    ds.setCurrentRow(1);
    ds.setRecNo(2);
    QCOMPARE(ds.state(), DataSet::State::Edit);
    QCOMPARE(s.stored(20, QStringLiteral("note")).toString(), QStringLiteral("posted by the move"));
}

// The row to move to is named as shown while the new row is there; posting
// puts the new row at the end, and the move still reaches that row.
void TestEditing::moveFromANewRow()
{
    Scratch s;
    DataSet &ds = *s.ds;
    ds.setRecNo(2);
    ds.Insert(); // shows 10, new, 20, 30
    ds.setFieldValue(QStringLiteral("name"), QStringLiteral("new"));
    ds.setCurrentRow(2); // the row of id 20
    QCOMPARE(ds.state(), DataSet::State::Browse);
    QCOMPARE(ds.FieldByName(QStringLiteral("id")).toInt(), 20);
    QCOMPARE(ds.value(3, QStringLiteral("name")).toString(), QStringLiteral("new"));

    ds.setRecNo(2);
    ds.Insert(); // 10, new, 20, 30, 31
    ds.setFieldValue(QStringLiteral("name"), QStringLiteral("newer"));
    ds.Next(); // to the row of id 20
    QCOMPARE(ds.FieldByName(QStringLiteral("id")).toInt(), 20);
    QCOMPARE(s.ids(), (QVariantList{10, 20, 30, 31, 32}));

    // The new row goes into a gap before the row moved to.
    ds.setRecNo(4);
    ds.Insert(); // 10, 20, 30, new, 31, 32
    ds.setFieldValue(QStringLiteral("id"), 15);
    ds.setFieldValue(QStringLiteral("name"), QStringLiteral("in the gap"));
    ds.setCurrentRow(4); // the row of id 31
    QCOMPARE(ds.FieldByName(QStringLiteral("id")).toInt(), 31);
    QCOMPARE(ds.currentRow(), 4);
    QCOMPARE(ds.value(1, QStringLiteral("id")).toInt(), 15);
    ds.setRecNo(2);

    // A new row nobody typed into is dropped by a move, not stored.
    ds.Insert();
    ds.Prior();
    QCOMPARE(ds.state(), DataSet::State::Browse);
    QCOMPARE(ds.FieldByName(QStringLiteral("id")).toInt(), 10);
    QCOMPARE(s.ids(), (QVariantList{10, 15, 20, 30, 31, 32}));
    QCOMPARE(differenceFromReread(ds), QString());
}

void TestEditing::refusedPostKeepsTheEdit_data()
{
    QTest::addColumn<int>("how"); // 0 false with a reason, 1 false without, 2 throws
    QTest::addColumn<QString>("reason");
    QTest::newRow("false, reason left") << 0 << "Код клиента не задан";
    QTest::newRow("false, no reason") << 1 << "Запись не сохранена: изменение отклонено";
    QTest::newRow("throws") << 2 << "Плечо больше 10";
}

void TestEditing::refusedPostKeepsTheEdit()
{
    QFETCH(int, how);
    QFETCH(QString, reason);

    Scratch s;
    DataSet &ds = *s.ds;
    bool allow = false;
    ds.beforePost = [&](DataSet &d) {
        if (allow)
            return true;
        if (how == 2)
            throw KorvinaError(reason);
        if (how == 0)
            d.setLastError(reason);
        return false;
    };
    ds.setRecNo(2);
    ds.setFieldValue(QStringLiteral("note"), QStringLiteral("kept"));
    QSignalSpy errors(&ds, &DataSet::error);
    QSignalSpy rows(&ds, &DataSet::currentRowChanged);

    ds.Next();
    QCOMPARE(ds.state(), DataSet::State::Edit);
    QCOMPARE(ds.currentRow(), 1);
    QVERIFY(ds.Eof()); // a loop over the rows ends here
    QCOMPARE(rows.size(), 1); // the row kept, for the grid to follow
    QCOMPARE(rows.at(0).at(0).toInt(), 1);
    QCOMPARE(ds.FieldByName(QStringLiteral("note")).toString(), QStringLiteral("kept"));
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), reason);
    QCOMPARE(ds.lastError(), reason);
    QVERIFY(!ds.Post());
    QVERIFY(!ds.Locate(QStringLiteral("id"), 30));
    QCOMPARE(ds.currentRow(), 1);
    QCOMPARE(s.stored(20, QStringLiteral("note")).toString(), QStringLiteral("n"));

    allow = true;
    ds.Next();
    QCOMPARE(ds.state(), DataSet::State::Browse);
    QCOMPARE(ds.currentRow(), 2);
    QCOMPARE(s.stored(20, QStringLiteral("note")).toString(), QStringLiteral("kept"));
}

void TestEditing::failingStatementKeepsTheEdit_data()
{
    QTest::addColumn<bool>("insert");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QVariant>("bad");
    QTest::addColumn<QVariant>("good");
    QTest::addColumn<QString>("reason"); // part of the database's message

    QTest::newRow("NOT NULL") << false << "name" << QVariant() << QVariant(QStringLiteral("named")) << "NOT NULL constraint failed";
    QTest::newRow("trigger") << false << "qty" << QVariant(13) << QVariant(14) << "qty 13 is refused";
    QTest::newRow("CHECK") << false << "qty" << QVariant(-1) << QVariant(0) << "CHECK constraint failed";
    QTest::newRow("UNIQUE on a new row") << true << "name" << QVariant(QStringLiteral("ROW 10")) << QVariant(QStringLiteral("row 40"))
                                         << "UNIQUE constraint failed";
    QTest::newRow("NOT NULL on a new row") << true << "note" << QVariant(QStringLiteral("no name")) << QVariant() << "NOT NULL constraint failed";
}

void TestEditing::failingStatementKeepsTheEdit()
{
    QFETCH(bool, insert);
    QFETCH(QString, field);
    QFETCH(QVariant, bad);
    QFETCH(QVariant, good);
    QFETCH(QString, reason);

    Scratch s;
    DataSet &ds = *s.ds;
    ds.setRecNo(2);
    if (insert)
        ds.Append();
    ds.setFieldValue(field, bad);
    QSignalSpy errors(&ds, &DataSet::error);

    QVERIFY(!ds.Post());
    QCOMPARE(ds.state(), insert ? DataSet::State::Insert : DataSet::State::Edit);
    QVERIFY2(ds.lastError().contains(reason), qPrintable(ds.lastError()));
    QCOMPARE(errors.size(), 1);
    QCOMPARE(ds.FieldByName(field), bad);
    QCOMPARE(s.ids(), (QVariantList{10, 20, 30}));
    QCOMPARE(s.stored(20, QStringLiteral("name")).toString(), QStringLiteral("row 20"));
    QCOMPARE(s.stored(20, QStringLiteral("qty")).toInt(), 2);
    // Nor does the current row move.
    ds.First();
    QCOMPARE(ds.currentRow(), insert ? 3 : 1);

    // The operator corrects the row, and it goes in.
    if (insert && good.isNull())
        ds.setFieldValue(QStringLiteral("name"), QStringLiteral("named"));
    else
        ds.setFieldValue(field, good);
    QVERIFY2(ds.Post(), qPrintable(ds.lastError()));
    QCOMPARE(ds.state(), DataSet::State::Browse);
    QCOMPARE(s.ids().size(), insert ? 4 : 3);
    QCOMPARE(differenceFromReread(ds), QString());
}

void TestEditing::refusedDelete()
{
    Scratch s;
    DataSet &ds = *s.ds;
    QList<int> asked;
    ds.beforeDelete = [&asked](DataSet &d) {
        asked << d.FieldByName(QStringLiteral("id")).toInt();
        return d.FieldByName(QStringLiteral("id")).toInt() != 30;
    };
    QSignalSpy errors(&ds, &DataSet::error);
    QVERIFY(!ds.DeleteRows({0, 2}));
    QCOMPARE(asked, (QList<int>{10, 30}));
    QCOMPARE(errors.size(), 1);
    QCOMPARE(ds.lastError(), QStringLiteral("Удаление отклонено"));
    QCOMPARE(s.ids(), (QVariantList{10, 20, 30})); // none of them
    QCOMPARE(ds.currentRow(), 0);

    // A row the database refuses to delete keeps every row of the set.
    s.f.sql(QStringLiteral("CREATE TRIGGER tScratchKeep BEFORE DELETE ON tScratch WHEN OLD.id = 20 "
                           "BEGIN SELECT RAISE(ABORT, 'row 20 stays'); END"));
    ds.beforeDelete = nullptr;
    QVERIFY(!ds.DeleteRows({0, 1}));
    QVERIFY2(ds.lastError().contains(QStringLiteral("row 20 stays")), qPrintable(ds.lastError()));
    QCOMPARE(s.ids(), (QVariantList{10, 20, 30}));
    QCOMPARE(ds.RecordCount(), 3);
    QCOMPARE(differenceFromReread(ds), QString());
}

void TestEditing::refreshWhileEditing()
{
    Scratch s;
    DataSet &ds = *s.ds;
    ds.setRecNo(3);
    ds.setFieldValue(QStringLiteral("note"), QStringLiteral("typing"));
    s.f.ws.exec(s.path(), QStringLiteral("INSERT INTO tScratch (id, name) VALUES (5, 'theirs')"));
    QVERIFY(!ds.UnchangedSinceOpen());

    RefreshDataSet(ds);
    QCOMPARE(ds.state(), DataSet::State::Edit);
    QCOMPARE(ds.RecordCount(), 3);
    QCOMPARE(ds.currentRow(), 2);
    QCOMPARE(ds.FieldByName(QStringLiteral("note")).toString(), QStringLiteral("typing"));

    QVERIFY(ds.Post());
    RefreshDataSet(ds); // now it reads again, and keeps the row by its id
    QCOMPARE(ds.RecordCount(), 4);
    QCOMPARE(ds.FieldByName(QStringLiteral("id")).toInt(), 30);
    QCOMPARE(ds.FieldByName(QStringLiteral("note")).toString(), QStringLiteral("typing"));
}

void TestEditing::closeCancels()
{
    Scratch s;
    DataSet &ds = *s.ds;
    ds.Append();
    ds.setFieldValue(QStringLiteral("name"), QStringLiteral("lost"));
    QSignalSpy states(&ds, &DataSet::stateChanged);
    ds.Close();
    QCOMPARE(ds.state(), DataSet::State::Inactive);
    QCOMPARE(states.size(), 1);
    ds.Open();
    QCOMPARE(ds.state(), DataSet::State::Browse);
    QCOMPARE(ds.RecordCount(), 3);
    QCOMPARE(s.ids(), (QVariantList{10, 20, 30}));

    // The connection closing closes the dataset, and so cancels too.
    ds.setRecNo(1);
    ds.setFieldValue(QStringLiteral("note"), QStringLiteral("lost too"));
    s.f.dm.conQuikData.close();
    QCOMPARE(ds.state(), DataSet::State::Inactive);
    QCOMPARE(s.stored(10, QStringLiteral("note")).toString(), QStringLiteral("n"));
}

// As a grid edits: setData on cells, moving between rows.
void TestEditing::modelEditing()
{
    Scratch s;
    DataSet &ds = *s.ds;
    const int name = ds.fieldIndex(QStringLiteral("name"));
    const int note = ds.fieldIndex(QStringLiteral("note"));
    QSignalSpy changed(&ds, &QAbstractItemModel::dataChanged);

    QVERIFY(ds.setData(ds.index(1, name), QStringLiteral("grid 20")));
    QCOMPARE(ds.state(), DataSet::State::Edit);
    QCOMPARE(ds.currentRow(), 1);
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed.at(0).at(0).value<QModelIndex>(), ds.index(1, name));
    QCOMPARE(ds.data(ds.index(1, name)).toString(), QStringLiteral("grid 20"));
    QVERIFY(ds.setData(ds.index(1, note), QStringLiteral("second cell")));

    // Another row: the first is posted, then the second is edited.
    QVERIFY(ds.setData(ds.index(2, note), QStringLiteral("grid 30")));
    QCOMPARE(ds.currentRow(), 2);
    QCOMPARE(s.stored(20, QStringLiteral("name")).toString(), QStringLiteral("grid 20"));
    QCOMPARE(s.stored(20, QStringLiteral("note")).toString(), QStringLiteral("second cell"));

    // A move that cannot post: setData on the other row is refused.
    QVERIFY(ds.setData(ds.index(2, name), QVariant()));
    QVERIFY(!ds.setData(ds.index(0, note), QStringLiteral("refused")));
    QCOMPARE(ds.currentRow(), 2);
    QCOMPARE(ds.state(), DataSet::State::Edit);
    QCOMPARE(s.stored(10, QStringLiteral("note")).toString(), QStringLiteral("n"));
    ds.Cancel();
    QCOMPARE(ds.data(ds.index(2, note)).toString(), QStringLiteral("n"));
    QCOMPARE(differenceFromReread(ds), QString());
}

QTEST_GUILESS_MAIN(TestEditing)
#include "tst_editing.moc"
