// Re-reading datasets in place while grids show them: only the rows that
// changed are reported (a grid keeps its place and repaints what changed),
// a table read by pages reads again only the pages shown, and queries read
// off the windows' thread come back as the same in-place change, never
// stale, never blocking on another program's lock.

#include "data/backgroundreader.h"
#include "data/database.h"
#include "data/dataset.h"

#include <QAbstractItemModelTester>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

namespace {

using Rows = QVector<QVector<QVariant>>;

Rows rowsOf(const QList<int> &values)
{
    Rows rows;
    for (int v : values)
        rows << QVector<QVariant>{v, QStringLiteral("r%1").arg(v)};
    return rows;
}

// Statements as another program runs them, on a connection of its own.
class Other {
public:
    explicit Other(const QString &path) : m_name(QUuid::createUuid().toString())
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        if (!db.open())
            qFatal("cannot open %s", qPrintable(path));
    }
    ~Other()
    {
        QSqlDatabase::database(m_name).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    void run(const QString &sql)
    {
        QSqlQuery q(QSqlDatabase::database(m_name));
        if (!q.exec(sql))
            qFatal("%s: %s", qPrintable(sql), qPrintable(q.lastError().text()));
    }

private:
    QString m_name;
};

// What a model told its views, as a list of words.
class Told : public QObject {
public:
    explicit Told(QAbstractItemModel *m)
    {
        connect(m, &QAbstractItemModel::rowsInserted, this,
                [this](const QModelIndex &, int a, int b) { events << QStringLiteral("insert %1-%2").arg(a).arg(b); });
        connect(m, &QAbstractItemModel::rowsRemoved, this,
                [this](const QModelIndex &, int a, int b) { events << QStringLiteral("remove %1-%2").arg(a).arg(b); });
        connect(m, &QAbstractItemModel::dataChanged, this, [this](const QModelIndex &a, const QModelIndex &b) {
            events << QStringLiteral("change %1-%2").arg(a.row()).arg(b.row());
        });
        connect(m, &QAbstractItemModel::modelReset, this, [this] { events << QStringLiteral("reset"); });
    }
    QStringList events;
};

QList<int> column0(const DataSet &ds)
{
    QList<int> out;
    for (int r = 0; r < ds.RecordCount(); ++r)
        out << ds.value(r, 0).toInt();
    return out;
}

} // namespace

class TestRefresh : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void replaceRowsTellsOnlyChanges_data();
    void replaceRowsTellsOnlyChanges();
    void pagedTableRereadsShownPagesOnly();
    void backgroundReadTakesChangesOnly();
    void backgroundResultOfOldStatementIsDropped();
    void slowOrFailingReadNeitherBlocksNorBlanks();
    void computedColumnIsReadInTheBackgroundToo();
    void rangeKeepsToItsRows();

private:
    void makeTable(int rows);
    QTemporaryDir m_dir;
    QString m_path;
    std::unique_ptr<Database> m_db;
};

void TestRefresh::init()
{
    m_path = m_dir.filePath(QStringLiteral("r%1.sqlite").arg(QUuid::createUuid().toString(QUuid::Id128)));
    {
        Other o(m_path);
        o.run(QStringLiteral("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT)"));
    }
    m_db = std::make_unique<Database>(QStringLiteral("refresh"));
    QString error;
    QVERIFY2(m_db->open(m_path, &error), qPrintable(error));
}

void TestRefresh::cleanup() { m_db.reset(); }

void TestRefresh::makeTable(int rows)
{
    Other o(m_path);
    o.run(QStringLiteral("BEGIN"));
    for (int i = 1; i <= rows; ++i)
        o.run(QStringLiteral("INSERT INTO t (id, name) VALUES (%1, 'r%1')").arg(i));
    o.run(QStringLiteral("COMMIT"));
}

void TestRefresh::replaceRowsTellsOnlyChanges_data()
{
    QTest::addColumn<QList<int>>("before");
    QTest::addColumn<QList<int>>("after");
    QTest::addColumn<QStringList>("told");
    QTest::newRow("same") << QList<int>{3, 2, 1} << QList<int>{3, 2, 1} << QStringList{};
    QTest::newRow("new first") << QList<int>{3, 2, 1} << QList<int>{4, 3, 2, 1} << QStringList{"insert 0-0"};
    QTest::newRow("new last") << QList<int>{3, 2, 1} << QList<int>{3, 2, 1, 0} << QStringList{"insert 3-3"};
    QTest::newRow("one changed") << QList<int>{3, 2, 1} << QList<int>{3, 9, 1} << QStringList{"change 1-1"};
    QTest::newRow("one gone") << QList<int>{3, 2, 1} << QList<int>{3, 1} << QStringList{"remove 1-1"};
    QTest::newRow("changed and added") << QList<int>{5, 4, 3, 2} << QList<int>{5, 8, 7, 6, 2} << QStringList{"insert 3-3", "change 1-2"};
    QTest::newRow("all new") << QList<int>{3, 2, 1} << QList<int>{6, 5, 4} << QStringList{"change 0-2"};
    QTest::newRow("from empty") << QList<int>{} << QList<int>{2, 1} << QStringList{"insert 0-1"};
    QTest::newRow("to empty") << QList<int>{2, 1} << QList<int>{} << QStringList{"remove 0-1"};
}

void TestRefresh::replaceRowsTellsOnlyChanges()
{
    QFETCH(QList<int>, before);
    QFETCH(QList<int>, after);
    QFETCH(QStringList, told);
    DataSet q(QStringLiteral("q"), m_db.get(), DataSet::Kind::Query);
    q.replaceRows({QStringLiteral("id"), QStringLiteral("name")}, rowsOf(before));
    QCOMPARE(column0(q), before);
    QAbstractItemModelTester tester(&q, QAbstractItemModelTester::FailureReportingMode::QtTest);
    Told views(&q);
    q.replaceRows({QStringLiteral("id"), QStringLiteral("name")}, rowsOf(after));
    QCOMPARE(views.events, told);
    QCOMPARE(column0(q), after);
    for (int r = 0; r < after.size(); ++r)
        QCOMPARE(q.data(q.index(r, 1)).toString(), QStringLiteral("r%1").arg(after[r]));

    // Other columns: the views start over.
    Told again(&q);
    q.replaceRows({QStringLiteral("id")}, Rows{{1}});
    QCOMPARE(again.events, QStringList{QStringLiteral("reset")});
    QCOMPARE(q.columnCount(), 1);
}

void TestRefresh::pagedTableRereadsShownPagesOnly()
{
    makeTable(600); // pages of 256 rows: 0-255, 256-511, 512-599
    DataSet t(QStringLiteral("t"), m_db.get(), DataSet::Kind::Table);
    t.setTableName(QStringLiteral("t"));
    t.Open();
    QCOMPARE(t.RecordCount(), 600);
    QCOMPARE(t.value(10, 1).toString(), QStringLiteral("r11")); // the first page is shown
    t.setRecNo(11);
    QAbstractItemModelTester tester(&t, QAbstractItemModelTester::FailureReportingMode::QtTest);
    Other other(m_path);

    // A row shown and a row never read change; one row comes.
    other.run(QStringLiteral("UPDATE t SET name = 'x' WHERE id = 6"));
    other.run(QStringLiteral("UPDATE t SET name = 'y' WHERE id = 400"));
    other.run(QStringLiteral("INSERT INTO t (id, name) VALUES (601, 'r601')"));
    {
        Told views(&t);
        RefreshDataSet(t);
        QCOMPARE(views.events, (QStringList{QStringLiteral("change 5-5"), QStringLiteral("insert 600-600")}));
    }
    QCOMPARE(t.RecNo(), 11);
    QCOMPARE(t.value(5, 1).toString(), QStringLiteral("x"));
    QCOMPARE(t.value(399, 1).toString(), QStringLiteral("y")); // read when asked for
    QCOMPARE(t.value(600, 1).toString(), QStringLiteral("r601"));

    // Nothing changed: nothing read, nothing told.
    {
        Told views(&t);
        QSignalSpy reread(&t, &DataSet::reread);
        RefreshDataSet(t);
        QVERIFY(views.events.isEmpty());
        QCOMPARE(reread.count(), 0);
    }

    // The first row goes: the rows shown move up, the current row is kept
    // by its id.
    const QVariant id = t.FieldByName(QStringLiteral("id"));
    other.run(QStringLiteral("DELETE FROM t WHERE id = 1"));
    {
        Told views(&t);
        RefreshDataSet(t);
        QVERIFY(views.events.contains(QStringLiteral("remove 600-600")));
        QVERIFY(!views.events.contains(QStringLiteral("reset")));
    }
    QCOMPARE(t.RecordCount(), 600);
    QCOMPARE(t.FieldByName(QStringLiteral("id")), id);
    QCOMPARE(t.value(0, 0).toInt(), 2);
    QCOMPARE(t.value(599, 0).toInt(), 601);
}

void TestRefresh::backgroundReadTakesChangesOnly()
{
    makeTable(3);
    DataSet q(QStringLiteral("q"), m_db.get(), DataSet::Kind::Query);
    q.setSQL(QStringLiteral("SELECT id, name FROM t ORDER BY id DESC"));
    q.Open();
    q.setRecNo(2);
    BackgroundReader reader;
    QSignalSpy reread(&q, &DataSet::reread);
    Other other(m_path);

    other.run(QStringLiteral("INSERT INTO t (id, name) VALUES (4, 'r4')"));
    reader.refresh(q);
    // Asked again while reading: one more read, not four.
    for (int i = 0; i < 4; ++i)
        reader.refresh(q);
    QTRY_VERIFY(reader.idle());
    QCOMPARE(column0(q), (QList<int>{4, 3, 2, 1}));
    QCOMPARE(q.RecNo(), 2); // by its number, as a query keeps it
    QVERIFY(reread.count() >= 1 && reread.count() <= 2);

    // Nothing committed since: the rows are not read again.
    reread.clear();
    reader.refresh(q);
    QTRY_VERIFY(reader.idle());
    QCOMPARE(reread.count(), 0);

    // Our own connection's writes are seen too.
    m_db->execute(QStringLiteral("DELETE FROM t WHERE id = 2"));
    reader.refresh(q);
    QTRY_VERIFY(reader.idle());
    QCOMPARE(column0(q), (QList<int>{4, 3, 1}));
}

void TestRefresh::backgroundResultOfOldStatementIsDropped()
{
    makeTable(3);
    DataSet q(QStringLiteral("q"), m_db.get(), DataSet::Kind::Query);
    q.setSQL(QStringLiteral("SELECT id, name FROM t"));
    q.Open();
    BackgroundReader reader;
    Other(m_path).run(QStringLiteral("INSERT INTO t (id, name) VALUES (4, 'r4')"));
    reader.refresh(q);
    // The statement changes before the result comes.
    q.setSQL(QStringLiteral("SELECT id, name FROM t WHERE id = 2"));
    q.Open();
    QTRY_VERIFY(reader.idle());
    QCOMPARE(column0(q), QList<int>{2});

    // Parameters count as the statement.
    q.setSQL(QStringLiteral("SELECT id, name FROM t WHERE id = :id"));
    q.setParam(QStringLiteral("id"), 1);
    q.Open();
    Other(m_path).run(QStringLiteral("UPDATE t SET name = 'z' WHERE id = 3"));
    reader.refresh(q);
    q.setParam(QStringLiteral("id"), 3);
    QTRY_VERIFY(reader.idle());
    QCOMPARE(column0(q), QList<int>{1});
    reader.refresh(q);
    QTRY_VERIFY(reader.idle());
    QCOMPARE(column0(q), QList<int>{3});
    QCOMPARE(q.value(0, 1).toString(), QStringLiteral("z"));
}

void TestRefresh::slowOrFailingReadNeitherBlocksNorBlanks()
{
    makeTable(200);
    DataSet q(QStringLiteral("q"), m_db.get(), DataSet::Kind::Query);
    // Eight million rows to count: a read that takes a while.
    q.setSQL(QStringLiteral("SELECT count(*) AS n FROM t AS a, t AS b, t AS c WHERE a.id >= :low"));
    q.setParam(QStringLiteral("low"), 101);
    q.Open();
    QCOMPARE(q.value(0, 0).toInt(), 100 * 200 * 200);
    q.setParam(QStringLiteral("low"), 1);
    BackgroundReader reader;
    QElapsedTimer asked;
    asked.start();
    reader.refresh(q);
    QVERIFY2(asked.elapsed() < 50, qPrintable(QString::number(asked.elapsed())));
    QVERIFY(!reader.idle());
    QTRY_VERIFY_WITH_TIMEOUT(reader.idle(), 20000);
    QCOMPARE(q.value(0, 0).toInt(), 200 * 200 * 200);

    // The file cannot be read by the reader: the rows shown stay, the
    // reason is kept.
    q.setSQL(QStringLiteral("SELECT id FROM t ORDER BY id"));
    q.Open();
    QVERIFY(QFile::remove(m_path));
    BackgroundReader blind;
    blind.refresh(q);
    QTRY_VERIFY(blind.idle());
    QVERIFY(q.Active());
    QCOMPARE(q.RecordCount(), 200);
    QVERIFY(!q.lastError().isEmpty());
}

void TestRefresh::computedColumnIsReadInTheBackgroundToo()
{
    // Each row's computed column: its name followed by the weight of its id
    // in a second table, read with the rows.
    makeTable(3);
    Other other(m_path);
    other.run(QStringLiteral("CREATE TABLE w (id INTEGER, weight INTEGER)"));
    other.run(QStringLiteral("INSERT INTO w (id, weight) VALUES (1, 10), (2, 20), (3, 30)"));
    DataSet q(QStringLiteral("q"), m_db.get(), DataSet::Kind::Query);
    q.setSQL(QStringLiteral("SELECT id, name FROM t ORDER BY id"));
    int fills = 0;
    q.setCalcField(QStringLiteral("weighed"), [] { return QStringLiteral("SELECT id, weight FROM w"); },
                   [&fills](const QStringList &fields, const QVector<QVector<QVariant>> &rows, const Database::Rows &side) {
                       ++fills;
                       QHash<int, int> weight;
                       for (const QVector<QVariant> &r : side.rows)
                           weight.insert(r[0].toInt(), r[1].toInt());
                       const int name = fields.indexOf(QStringLiteral("name"));
                       QVector<QVariant> out;
                       for (const QVector<QVariant> &r : rows)
                           out << r[name].toString() + QLatin1Char('/') + QString::number(weight.value(r[0].toInt()));
                       return out;
                   });
    q.Open();
    QCOMPARE(q.fieldNames().last(), QStringLiteral("weighed"));
    QCOMPARE(q.value(1, QStringLiteral("weighed")).toString(), QStringLiteral("r2/20"));
    const QDateTime opened = q.readAt();
    QVERIFY(opened.isValid());
    q.setRecNo(3);

    // Both tables change; the reader reads them together, off this thread,
    // and the grid hears of the changed row alone.
    other.run(QStringLiteral("UPDATE w SET weight = 21 WHERE id = 2"));
    other.run(QStringLiteral("UPDATE t SET name = 'z' WHERE id = 3"));
    BackgroundReader reader;
    Told told(&q);
    fills = 0;
    QTest::qWait(5); // a later moment than the opening
    reader.refresh(q);
    QCOMPARE(fills, 0); // nothing read or computed on this thread
    QCOMPARE(q.value(1, QStringLiteral("weighed")).toString(), QStringLiteral("r2/20"));
    QTRY_VERIFY(reader.idle());
    QCOMPARE(fills, 1);
    QCOMPARE(q.value(1, QStringLiteral("weighed")).toString(), QStringLiteral("r2/21"));
    QCOMPARE(q.value(2, QStringLiteral("weighed")).toString(), QStringLiteral("z/30"));
    QCOMPARE(told.events, QStringList{QStringLiteral("change 1-2")});
    QCOMPARE(q.RecNo(), 3);
    const QDateTime read = q.readAt();
    QVERIFY(read > opened);

    // Nothing committed since: not read again, but known current now.
    QTest::qWait(5);
    reader.refresh(q);
    QTRY_VERIFY(reader.idle());
    QCOMPARE(fills, 1);
    QVERIFY(q.readAt() > read);

    // Read again on this thread (the refresh tick's RefreshQuery): in place too.
    other.run(QStringLiteral("UPDATE w SET weight = 11 WHERE id = 1"));
    told.events.clear();
    RefreshQuery(q);
    QCOMPARE(q.value(0, QStringLiteral("weighed")).toString(), QStringLiteral("r1/11"));
    QCOMPARE(told.events, QStringList{QStringLiteral("change 0-0")});

    // Closed: no time to tell.
    q.Close();
    QVERIFY(!q.readAt().isValid());
}

void TestRefresh::rangeKeepsToItsRows()
{
    // Members of groups: rows of group 1 and of group 2, mixed.
    {
        Other o(m_path);
        o.run(QStringLiteral("CREATE TABLE m (grp INTEGER, who TEXT)"));
        for (int i = 0; i < 600; ++i)
            o.run(QStringLiteral("INSERT INTO m VALUES (%1, 'w%2')").arg(i % 3 == 0 ? 1 : 2).arg(i));
    }
    DataSet m(QStringLiteral("m"), m_db.get(), DataSet::Kind::Table);
    m.setTableName(QStringLiteral("m"));
    m.setReadOnly(false);
    m.setRange(QStringLiteral("grp"), 1);
    m.Open();
    QCOMPARE(m.RecordCount(), 200);
    QCOMPARE(m.value(199, 1).toString(), QStringLiteral("w597")); // beyond the first page, within the range
    QVERIFY(m.Locate(QStringLiteral("who"), QStringLiteral("w300")));
    QCOMPARE(m.RecNo(), 101);
    QVERIFY(!m.Locate(QStringLiteral("who"), QStringLiteral("w301"))); // a row of group 2

    // A new row belongs to the range.
    m.Append();
    m.setFieldValue(QStringLiteral("who"), QStringLiteral("new"));
    QVERIFY2(m.Post(), qPrintable(m.lastError()));
    QCOMPARE(m.RecordCount(), 201);
    QCOMPARE(m.FieldByName(QStringLiteral("grp")).toInt(), 1);

    // Rows of other groups coming in are not counted.
    Other(m_path).run(QStringLiteral("INSERT INTO m VALUES (2, 'late')"));
    RefreshDataSet(m);
    QCOMPARE(m.RecordCount(), 201);

    // Another master row: its rows at once.
    m.setRange(QStringLiteral("grp"), 2);
    QVERIFY(m.Active());
    QCOMPARE(m.RecordCount(), 401);
    m.setRange(QString(), QVariant());
    QCOMPARE(m.RecordCount(), 602);
}

QTEST_GUILESS_MAIN(TestRefresh)
#include "tst_refresh.moc"
