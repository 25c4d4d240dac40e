// The grid toolkit the editing windows are built from: a navigator bar
// whose buttons follow the dataset's state and edit through it, and a grid
// that edits cells in place, posts when the row changes and deletes the
// selected rows with Ctrl+Del once the operator agrees. Boxes are answered
// through the program's dialog wrapper.

#include "data/database.h"
#include "data/dataset.h"
#include "datagrid.h"
#include "dialogs.h"
#include "navigatorbar.h"

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QToolButton>
#include <QUuid>
#include <QtTest>

#include <memory>

namespace {

QStringList namesStored(const QString &path)
{
    const QString connection = QUuid::createUuid().toString();
    QStringList out;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        db.open();
        QSqlQuery q(db);
        q.exec(QStringLiteral("SELECT name FROM t ORDER BY id"));
        while (q.next())
            out << q.value(0).toString();
    }
    QSqlDatabase::removeDatabase(connection);
    return out;
}

// Which buttons are enabled, in the bar's order, as letters:
// F P N L I D E S(post) C R, '-' for a disabled one.
QString enabledButtons(const NavigatorBar &bar)
{
    static const char letters[] = "FPNLIDESCR";
    QString out;
    for (int b = NavigatorBar::First; b <= NavigatorBar::Refresh; ++b)
        out += bar.button(static_cast<NavigatorBar::Button>(b))->isEnabled() ? QLatin1Char(letters[b]) : QLatin1Char('-');
    return out;
}

} // namespace

class TestGrid : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void navigatorFollowsState_data();
    void navigatorFollowsState();
    void navigatorEditsThroughDataset();
    void gridEditsInPlaceAndDeletesSelected();
    void widerValuesWidenTheirColumn();
    void numberColumnsTakeNumbersOnly_data();
    void numberColumnsTakeNumbersOnly();
    void headerClicksSortKeepingTheRecord_data();
    void headerClicksSortKeepingTheRecord();
    void columnLayoutIsKeptBetweenRuns();
    void exportWritesWhatIsShown();
    void groupedTotalsAddOnlyLikeWithLike_data();
    void groupedTotalsAddOnlyLikeWithLike();
    void postedRowKeepsItsPlace();
    void lookupColumnsTakeShownValues_data();
    void lookupColumnsTakeShownValues();
    void timesShowWithoutMilliseconds_data();
    void timesShowWithoutMilliseconds();

private:
    QTemporaryDir m_dir;
    QString m_path;
    std::unique_ptr<Database> m_db;
    std::unique_ptr<DataSet> m_table;
    QList<Dialogs::Request> m_asked;
    QMessageBox::StandardButton m_answer = QMessageBox::Yes;
};

void TestGrid::init()
{
    m_path = m_dir.filePath(QStringLiteral("g%1.sqlite").arg(QUuid::createUuid().toString(QUuid::Id128)));
    {
        const QString connection = QUuid::createUuid().toString();
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
            db.setDatabaseName(m_path);
            QVERIFY(db.open());
            QSqlQuery q(db);
            QVERIFY(q.exec(QStringLiteral("CREATE TABLE t (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL, qty INTEGER)")));
            for (const char *n : {"a", "b", "c"})
                QVERIFY(q.exec(QStringLiteral("INSERT INTO t (name, qty) VALUES ('%1', 1)").arg(QLatin1String(n))));
        }
        QSqlDatabase::removeDatabase(connection);
    }
    m_db = std::make_unique<Database>(QStringLiteral("grid"));
    QString error;
    QVERIFY2(m_db->open(m_path, &error), qPrintable(error));
    m_table = std::make_unique<DataSet>(QStringLiteral("t"), m_db.get(), DataSet::Kind::Table);
    m_table->setTableName(QStringLiteral("t"));
    m_asked.clear();
    m_answer = QMessageBox::Yes;
    Dialogs::setResponder([this](const Dialogs::Request &r) {
        m_asked << r;
        return Dialogs::Answer{m_answer, QString()};
    });
}

void TestGrid::cleanup()
{
    Dialogs::setResponder({});
    m_table.reset();
    m_db.reset();
}

void TestGrid::navigatorFollowsState_data()
{
    QTest::addColumn<bool>("open");
    QTest::addColumn<bool>("editable");
    QTest::addColumn<int>("row");     // -1: none chosen
    QTest::addColumn<QString>("step"); // "", "edit", "insert", "empty"
    QTest::addColumn<QString>("enabled");
    QTest::newRow("closed") << false << true << -1 << "" << "----------";
    QTest::newRow("read-only, first row") << true << false << 0 << "" << "--NL-----R";
    QTest::newRow("first row") << true << true << 0 << "" << "--NLIDE--R";
    QTest::newRow("middle row") << true << true << 1 << "" << "FPNLIDE--R";
    QTest::newRow("last row") << true << true << 2 << "" << "FP--IDE--R";
    QTest::newRow("editing") << true << true << 1 << "edit" << "FPNLID-SC-";
    QTest::newRow("new row") << true << true << 1 << "insert" << "FPNLID-SC-";
    QTest::newRow("empty") << true << true << -1 << "empty" << "----I----R";
}

void TestGrid::navigatorFollowsState()
{
    QFETCH(bool, open);
    QFETCH(bool, editable);
    QFETCH(int, row);
    QFETCH(QString, step);
    QFETCH(QString, enabled);
    if (step == QLatin1String("empty"))
        m_db->execute(QStringLiteral("DELETE FROM t"));
    m_table->setReadOnly(!editable);
    NavigatorBar bar(m_table.get());
    if (open)
        m_table->Open();
    if (row >= 0)
        m_table->setCurrentRow(row);
    if (step == QLatin1String("edit"))
        m_table->Edit();
    else if (step == QLatin1String("insert"))
        m_table->Insert();
    QCOMPARE(enabledButtons(bar), enabled);
}

void TestGrid::navigatorEditsThroughDataset()
{
    m_table->setReadOnly(false);
    m_table->Open();
    NavigatorBar bar(m_table.get());
    for (int b = NavigatorBar::First; b <= NavigatorBar::Refresh; ++b) {
        QToolButton *button = bar.button(static_cast<NavigatorBar::Button>(b));
        QVERIFY2(!button->icon().pixmap(16, 16).isNull(), qPrintable(button->objectName()));
    }
    bar.click(NavigatorBar::Last);
    QCOMPARE(m_table->RecNo(), 3);

    // A new row, posted.
    bar.click(NavigatorBar::Insert);
    QCOMPARE(m_table->state(), DataSet::State::Insert);
    m_table->setFieldValue(QStringLiteral("name"), QStringLiteral("d"));
    bar.click(NavigatorBar::Post);
    QCOMPARE(m_table->state(), DataSet::State::Browse);
    QCOMPARE(namesStored(m_path), (QStringList{"a", "b", "c", "d"}));

    // The database refuses a row: the reason in a box, the row still
    // being edited so it can be mended.
    bar.click(NavigatorBar::Insert);
    m_table->setFieldValue(QStringLiteral("qty"), 5);
    bar.click(NavigatorBar::Post);
    QCOMPARE(m_table->state(), DataSet::State::Insert);
    QCOMPARE(m_asked.size(), 1);
    QCOMPARE(m_asked.last().kind, Dialogs::Kind::Error);
    QVERIFY2(m_asked.last().text.contains(QLatin1String("NOT NULL")), qPrintable(m_asked.last().text));
    bar.click(NavigatorBar::Cancel);
    QCOMPARE(namesStored(m_path).size(), 4);

    // Delete asks first: No keeps the row, Yes deletes it.
    m_table->setCurrentRow(0);
    m_answer = QMessageBox::No;
    bar.click(NavigatorBar::Delete);
    QCOMPARE(m_asked.last().kind, Dialogs::Kind::Question);
    QCOMPARE(m_asked.last().text, QStringLiteral("Удалить запись?"));
    QCOMPARE(namesStored(m_path).size(), 4);
    m_answer = QMessageBox::Yes;
    bar.click(NavigatorBar::Delete);
    QCOMPARE(namesStored(m_path), (QStringList{"b", "c", "d"}));

    // A hook that refuses a post.
    m_table->beforePost = [](DataSet &ds) {
        if (ds.FieldByName(QStringLiteral("name")).toString().isEmpty()) {
            ds.setLastError(QStringLiteral("Введите имя"));
            return false;
        }
        return true;
    };
    bar.click(NavigatorBar::Edit);
    m_table->setFieldValue(QStringLiteral("name"), QString());
    bar.click(NavigatorBar::Post);
    QCOMPARE(m_asked.last().text, QStringLiteral("Введите имя"));
    QVERIFY(m_table->editing());
    bar.click(NavigatorBar::Cancel);
    QCOMPARE(namesStored(m_path), (QStringList{"b", "c", "d"}));
}

void TestGrid::gridEditsInPlaceAndDeletesSelected()
{
    QList<GridColumn> columns(2);
    columns[0].field = QStringLiteral("name");
    columns[0].caption = QStringLiteral("Имя");
    columns[0].readOnly = false;
    columns[1].field = QStringLiteral("qty");
    columns[1].caption = QStringLiteral("Кол-во");
    m_table->setReadOnly(false);
    m_table->Open();
    DataGrid grid(m_table.get(), columns);
    grid.setMultiSelect(true);
    grid.setDeleteKey(true);
    grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&grid));

    // Only the column that is not read-only takes typing.
    QVERIFY(grid.model()->flags(grid.model()->index(0, 0)) & Qt::ItemIsEditable);
    QVERIFY(!(grid.model()->flags(grid.model()->index(0, 1)) & Qt::ItemIsEditable));
    QVERIFY(grid.model()->setData(grid.model()->index(0, 0), QStringLiteral("A")));
    QVERIFY(m_table->editing());
    QCOMPARE(namesStored(m_path).first(), QStringLiteral("a")); // held until the row is left
    grid.view()->setCurrentIndex(grid.model()->index(1, 0));
    QVERIFY(!m_table->editing());
    QCOMPARE(namesStored(m_path), (QStringList{"A", "b", "c"}));

    // Two rows selected, Ctrl+Del: asked, then both gone.
    grid.view()->selectionModel()->select(grid.model()->index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    grid.view()->selectionModel()->select(grid.model()->index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QCOMPARE(grid.selectedRows().size(), 3);
    grid.view()->selectionModel()->select(grid.model()->index(1, 0), QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
    grid.view()->setFocus();
    m_answer = QMessageBox::No;
    QTest::keyClick(grid.view(), Qt::Key_Delete, Qt::ControlModifier);
    QCOMPARE(m_asked.last().text, QStringLiteral("Удалить выделенные записи (2)?"));
    QCOMPARE(namesStored(m_path).size(), 3);
    m_answer = QMessageBox::Yes;
    QTest::keyClick(grid.view(), Qt::Key_Delete, Qt::ControlModifier);
    QCOMPARE(namesStored(m_path), QStringList{"b"});
    QCOMPARE(grid.model()->rowCount(), 1);
    QCOMPARE(grid.model()->text(0, 0), QStringLiteral("b"));

    // A read-only dataset: Ctrl+Del does nothing and asks nothing.
    m_table->setReadOnly(true);
    const int asked = m_asked.size();
    QTest::keyClick(grid.view(), Qt::Key_Delete, Qt::ControlModifier);
    QCOMPARE(m_asked.size(), asked);
    QCOMPARE(namesStored(m_path), QStringList{"b"});
}

void TestGrid::widerValuesWidenTheirColumn()
{
    QList<GridColumn> columns(1);
    columns[0].field = QStringLiteral("name");
    columns[0].caption = QStringLiteral("Имя");
    m_table->Open();
    DataGrid grid(m_table.get(), columns);
    grid.resize(800, 300);
    grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&grid));
    QHeaderView *header = grid.view()->horizontalHeader();
    const int fitted = header->sectionSize(0);
    const QString longer = QStringLiteral("Очень длинное наименование инструмента");
    m_db->execute(QStringLiteral("UPDATE t SET name = :n WHERE id = 2"), {{QStringLiteral("n"), longer}});
    RefreshDataSet(*m_table);
    QCOMPARE(grid.model()->text(1, 0), longer);
    QTRY_VERIFY(header->sectionSize(0) >= grid.view()->fontMetrics().horizontalAdvance(longer));
    QVERIFY(header->sectionSize(0) > fitted);
}

void TestGrid::numberColumnsTakeNumbersOnly_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QVariant>("stored"); // null: refused
    QTest::newRow("whole") << "12" << QVariant(12);
    QTest::newRow("blanks around") << " 7 " << QVariant(7);
    QTest::newRow("letters") << "12 шт" << QVariant();
    QTest::newRow("fraction in a whole column") << "1,5" << QVariant();
    QTest::newRow("empty clears") << "" << QVariant(QMetaType::fromType<QString>()); // stored as NULL
}

void TestGrid::numberColumnsTakeNumbersOnly()
{
    QFETCH(QString, typed);
    QFETCH(QVariant, stored);
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    QList<GridColumn> columns(1);
    columns[0].field = QStringLiteral("qty");
    columns[0].caption = QStringLiteral("Кол-во");
    columns[0].readOnly = false;
    m_table->setReadOnly(false);
    m_table->Open();
    DataGrid grid(m_table.get(), columns);
    const bool taken = grid.model()->setData(grid.model()->index(0, 0), typed);
    m_table->Post();
    const QString connection = QUuid::createUuid().toString();
    QVariant value;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(m_path);
        db.open();
        QSqlQuery q(db);
        q.exec(QStringLiteral("SELECT qty, typeof(qty) FROM t WHERE id = 1"));
        q.next();
        value = q.value(0);
        if (!stored.isNull())
            QCOMPARE(q.value(1).toString(), QStringLiteral("integer"));
    }
    QSqlDatabase::removeDatabase(connection);
    if (stored.isNull() && stored.typeId() == QMetaType::QString) {
        QVERIFY(taken);
        QVERIFY(value.isNull());
    } else if (stored.isNull()) {
        QVERIFY(!taken);
        QCOMPARE(value.toInt(), 1); // as it was
        QCOMPARE(m_asked.size(), 1);
        QVERIFY2(m_asked.last().text.contains(QStringLiteral("\"Кол-во\"")), qPrintable(m_asked.last().text));
    } else {
        QVERIFY(taken);
        QCOMPARE(value.toInt(), stored.toInt());
    }
}

namespace {

// The grid's names as shown, top to bottom.
QStringList shownNames(const DataGrid &grid)
{
    QStringList out;
    for (int r = 0; r < grid.model()->rowCount(); ++r)
        out << grid.model()->text(r, 0);
    return out;
}

void clickHeader(DataGrid &grid, int column)
{
    QHeaderView *h = grid.view()->horizontalHeader();
    QTest::mouseClick(h->viewport(), Qt::LeftButton, {}, QPoint(h->sectionViewportPosition(column) + 4, h->height() / 2));
}

QList<GridColumn> nameAndQty()
{
    QList<GridColumn> columns(2);
    columns[0].field = QStringLiteral("name");
    columns[0].caption = QStringLiteral("Имя");
    columns[1].field = QStringLiteral("qty");
    columns[1].caption = QStringLiteral("Кол-во");
    return columns;
}

} // namespace

void TestGrid::headerClicksSortKeepingTheRecord_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("clicks");
    QTest::addColumn<QStringList>("shown");
    // Rows in the table's order: b 3, a 10, c 2, d (no quantity).
    QTest::newRow("numbers as numbers, empty first") << 1 << 1 << QStringList{"d", "c", "b", "a"};
    QTest::newRow("again: the other way") << 1 << 2 << QStringList{"a", "b", "c", "d"};
    QTest::newRow("texts") << 0 << 1 << QStringList{"a", "b", "c", "d"};
    QTest::newRow("texts the other way") << 0 << 2 << QStringList{"d", "c", "b", "a"};
    QTest::newRow("three clicks: ascending again") << 0 << 3 << QStringList{"a", "b", "c", "d"};
}

void TestGrid::headerClicksSortKeepingTheRecord()
{
    QFETCH(int, column);
    QFETCH(int, clicks);
    QFETCH(QStringList, shown);
    m_db->execute(QStringLiteral("UPDATE t SET name = 'b', qty = 3 WHERE id = 1"));
    m_db->execute(QStringLiteral("UPDATE t SET name = 'a', qty = 10 WHERE id = 2"));
    m_db->execute(QStringLiteral("UPDATE t SET name = 'c', qty = 2 WHERE id = 3"));
    m_db->execute(QStringLiteral("INSERT INTO t (name, qty) VALUES ('d', NULL)"));
    m_table->Open();
    DataGrid grid(m_table.get(), nameAndQty());
    grid.resize(500, 300);
    grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&grid));
    QCOMPARE(shownNames(grid), (QStringList{"b", "a", "c", "d"}));
    // The current record is "c".
    m_table->setCurrentRow(2);
    QCOMPARE(grid.view()->currentIndex().row(), 2);

    for (int i = 0; i < clicks; ++i)
        clickHeader(grid, column);
    QCOMPARE(shownNames(grid), shown);
    // "c" is still the current record, where it is shown now.
    QCOMPARE(m_table->FieldByName(QStringLiteral("name")).toString(), QStringLiteral("c"));
    QCOMPARE(grid.model()->text(grid.view()->currentIndex().row(), 0), QStringLiteral("c"));

    // The grid's row drives the dataset's record, sorted as it is.
    grid.view()->setCurrentIndex(grid.model()->index(shown.indexOf(QStringLiteral("a")), 0));
    QCOMPARE(m_table->FieldByName(QStringLiteral("name")).toString(), QStringLiteral("a"));
    QCOMPARE(grid.selectedRows(), QList<int>{1});

    // The rows change: they stay sorted, the record current.
    m_db->execute(QStringLiteral("UPDATE t SET name = 'e', qty = 1 WHERE id = 3"));
    m_db->execute(QStringLiteral("INSERT INTO t (name, qty) VALUES ('f', 5)"));
    RefreshDataSet(*m_table);
    QStringList again = shownNames(grid);
    QStringList expected = again;
    std::sort(expected.begin(), expected.end());
    if (column == 1) {
        // By quantity: d (none), e 1, b 3, f 5, a 10.
        expected = QStringList{"d", "e", "b", "f", "a"};
    }
    if ((column == 1 && clicks % 2 == 0) || (column == 0 && clicks == 2))
        std::reverse(expected.begin(), expected.end());
    QCOMPARE(again, expected);
    QCOMPARE(m_table->FieldByName(QStringLiteral("name")).toString(), QStringLiteral("a"));
    QCOMPARE(grid.model()->text(grid.view()->currentIndex().row(), 0), QStringLiteral("a"));

    // Back to the table's own order through the context menu's command.
    QAction *natural = grid.findChild<QAction *>(QStringLiteral("actSortNone"));
    QVERIFY(natural && natural->isEnabled());
    natural->trigger();
    QCOMPARE(shownNames(grid), (QStringList{"b", "a", "e", "d", "f"}));
    QCOMPARE(grid.model()->text(grid.view()->currentIndex().row(), 0), QStringLiteral("a"));
    QVERIFY(!natural->isEnabled());
}

void TestGrid::columnLayoutIsKeptBetweenRuns()
{
    const QString store = m_dir.filePath(QStringLiteral("grids-%1.ini").arg(QUuid::createUuid().toString(QUuid::Id128)));
    DataGrid::setLayoutFile(store);
    m_table->Open();
    {
        DataGrid grid(m_table.get(), nameAndQty());
        grid.setObjectName(QStringLiteral("grdKept"));
        grid.resize(500, 300);
        grid.show();
        QVERIFY(QTest::qWaitForWindowExposed(&grid));
        QHeaderView *h = grid.view()->horizontalHeader();
        // As the operator does: the quantity first, the name wider.
        h->moveSection(1, 0);
        h->resizeSection(0, 233);
        QCOMPARE(h->logicalIndex(0), 1);
    } // the run ends
    QVERIFY(QFile::exists(store));
    {
        DataGrid grid(m_table.get(), nameAndQty());
        grid.setObjectName(QStringLiteral("grdKept"));
        grid.resize(500, 300);
        grid.show();
        QVERIFY(QTest::qWaitForWindowExposed(&grid));
        QHeaderView *h = grid.view()->horizontalHeader();
        QCOMPARE(h->logicalIndex(0), 1);
        QCOMPARE(h->sectionSize(0), 233);
        // Another grid keeps its own.
        DataGrid other(m_table.get(), nameAndQty());
        other.setObjectName(QStringLiteral("grdOther"));
        other.show();
        QVERIFY(QTest::qWaitForWindowExposed(&other));
        QCOMPARE(other.view()->horizontalHeader()->logicalIndex(0), 0);
        QVERIFY(other.view()->horizontalHeader()->sectionSize(0) != 233);
        // Rows coming later do not fit the kept widths away.
        RefreshDataSet(*m_table);
        QCOMPARE(h->sectionSize(0), 233);
    }
    DataGrid::setLayoutFile(QString());
}

void TestGrid::exportWritesWhatIsShown()
{
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    m_db->execute(QStringLiteral("UPDATE t SET name = 'обычное', qty = 1234567 WHERE id = 1"));
    m_db->execute(QStringLiteral("UPDATE t SET name = 'с;точкой с запятой', qty = -5 WHERE id = 2"));
    m_db->execute(QStringLiteral("UPDATE t SET name = 'кавычки \"внутри\"', qty = 7 WHERE id = 3"));
    m_db->execute(QStringLiteral("INSERT INTO t (name, qty) VALUES ('=1+2', 0)"));
    m_table->Open();
    QList<GridColumn> columns = nameAndQty();
    columns[1].format = QStringLiteral("### ### ##0");
    GridColumn hidden;
    hidden.field = QStringLiteral("id");
    hidden.caption = QStringLiteral("Номер");
    hidden.hidden = true;
    columns << hidden;
    DataGrid grid(m_table.get(), columns);
    grid.setAccessibleName(QStringLiteral("Таблица"));
    grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&grid));
    // Shown by quantity, largest first, the quantity the first column.
    grid.model()->sort(1, Qt::DescendingOrder);
    grid.view()->horizontalHeader()->moveSection(1, 0);

    // Cancelled: nothing written.
    QAction *exportAction = grid.findChild<QAction *>(QStringLiteral("actExportCsv"));
    QVERIFY(exportAction);
    QVERIFY(grid.contextActions().contains(exportAction));
    exportAction->trigger();
    QCOMPARE(m_asked.last().kind, Dialogs::Kind::SaveFile);
    QVERIFY(m_asked.last().text.endsWith(QStringLiteral(".csv")));
    QVERIFY(m_asked.last().text.contains(QStringLiteral("Таблица")));

    const QString path = m_dir.filePath(QStringLiteral("выгрузка"));
    Dialogs::setResponder([&](const Dialogs::Request &r) {
        m_asked << r;
        return Dialogs::Answer{QMessageBox::Ok, r.kind == Dialogs::Kind::SaveFile ? path : QString()};
    });
    exportAction->trigger();
    QFile file(path + QStringLiteral(".csv"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY(bytes.startsWith("\xEF\xBB\xBF"));
    const QStringList expected{
        QStringLiteral("Кол-во;Имя"),
        QStringLiteral("1 234 567;обычное"),
        QStringLiteral("7;\"кавычки \"\"внутри\"\"\""),
        QStringLiteral("0;'=1+2"),
        QStringLiteral("-5;\"с;точкой с запятой\""),
    };
    QCOMPARE(QString::fromUtf8(bytes.mid(3)), expected.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));
    // Its owner's alone.
    QCOMPARE(file.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther), QFile::Permissions());
    QVERIFY(file.permissions() & QFile::ReadOwner);
    // A file that cannot be written is told, not lost silently.
    QString error;
    QVERIFY(!grid.exportCsv(m_dir.filePath(QStringLiteral("нет такой папки/файл.csv")), &error));
    QVERIFY2(error.startsWith(QStringLiteral("Не удается записать файл ")), qPrintable(error));
}

void TestGrid::groupedTotalsAddOnlyLikeWithLike_data()
{
    QTest::addColumn<QStringList>("rows"); // "key=value"
    QTest::addColumn<QString>("footer");
    QTest::addColumn<QString>("tip");
    QTest::newRow("one security: its total") << QStringList{"SBER=5", "SBER=-2"} << "3" << "";
    QTest::newRow("two: how many, the totals by the pointer")
        << QStringList{"SBER=5", "SUR=1000", "SBER=1"} << "бумаг: 2" << "SBER: 6\nSUR: 1 000";
    QTest::newRow("a zero adds nothing and makes no group") << QStringList{"SBER=0", "SUR=1000"} << "1 000" << "";
    QTest::newRow("an empty value likewise") << QStringList{"GMKN=", "SUR=250"} << "250" << "";
    QTest::newRow("no rows") << QStringList{} << "0" << "";
}

void TestGrid::groupedTotalsAddOnlyLikeWithLike()
{
    QFETCH(QStringList, rows);
    QFETCH(QString, footer);
    QFETCH(QString, tip);
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    m_db->execute(QStringLiteral("CREATE TABLE lim (seccode TEXT, v DOUBLE)"));
    for (const QString &r : rows) {
        const QString value = r.section(QLatin1Char('='), 1);
        m_db->execute(QStringLiteral("INSERT INTO lim (seccode, v) VALUES (:s, :v)"),
                      {{QStringLiteral("s"), r.section(QLatin1Char('='), 0, 0)}, {QStringLiteral("v"), value.isEmpty() ? QVariant() : QVariant(value.toDouble())}});
    }
    DataSet q(QStringLiteral("qLim"), m_db.get(), DataSet::Kind::Query);
    q.setSQL(QStringLiteral("SELECT seccode, v FROM lim"));
    q.Open();
    QList<GridColumn> columns(2);
    columns[0].field = QStringLiteral("seccode");
    columns[1].field = QStringLiteral("v");
    DataGrid grid(&q, columns);
    GridFooter f;
    f.kind = GridFooter::Sum;
    f.format = QStringLiteral("### ### ### ##0");
    f.groupBy = [](const DataSet &d, int row) { return d.value(row, QStringLiteral("seccode")).toString(); };
    f.groupsCaption = QStringLiteral("бумаг");
    grid.setFooter(QStringLiteral("v"), f);
    QCOMPARE(grid.footerText(QStringLiteral("v")), footer);
    QCOMPARE(grid.footerToolTip(QStringLiteral("v")), tip);
}

// A new row inserted before others goes, once posted, where the table keeps
// it (the end): the grid's rows, its current row and whatever points at the
// new row (a cell editor still open) move with it.
void TestGrid::postedRowKeepsItsPlace()
{
    QList<GridColumn> columns(1);
    columns[0].field = QStringLiteral("name");
    columns[0].caption = QStringLiteral("Имя");
    columns[0].readOnly = false;
    m_table->setReadOnly(false);
    m_table->Open();
    DataGrid grid(m_table.get(), columns);
    grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&grid));
    grid.view()->setCurrentIndex(grid.model()->index(1, 0));
    m_table->Insert();
    QCOMPARE(m_table->currentRow(), 1);
    QVERIFY(grid.model()->setData(grid.model()->index(1, 0), QStringLiteral("d")));
    const QPersistentModelIndex newRow(grid.model()->index(1, 0));
    QVERIFY(m_table->Post());
    QCOMPARE(m_table->currentRow(), 3);
    QCOMPARE(newRow.row(), 3);
    QCOMPARE(grid.view()->currentIndex().row(), 3);
    QStringList shown;
    for (int r = 0; r < grid.model()->rowCount(); ++r)
        shown << grid.model()->text(r, 0);
    QCOMPARE(shown, (QStringList{"a", "b", "c", "d"}));
    QCOMPARE(namesStored(m_path), (QStringList{"a", "b", "c", "d"}));
}

void TestGrid::lookupColumnsTakeShownValues_data()
{
    QTest::addColumn<QVariant>("typed");
    QTest::addColumn<int>("stored"); // the key stored; 0: refused, the value as it was
    QTest::newRow("a shown value") << QVariant(QStringLiteral("c")) << 3;
    QTest::newRow("letter case and blanks") << QVariant(QStringLiteral(" B ")) << 2;
    QTest::newRow("a key picked in the list") << QVariant(3) << 3;
    QTest::newRow("not in the list") << QVariant(QStringLiteral("zzz")) << 0;
    // A text that reads as a number is still a shown value, never taken for a key.
    QTest::newRow("digits that are no shown value") << QVariant(QStringLiteral("2")) << 0;
}

// A lookup column stores the key of the shown value typed; a value the list
// does not have is refused, naming it and the column.
void TestGrid::lookupColumnsTakeShownValues()
{
    QFETCH(QVariant, typed);
    QFETCH(int, stored);
    DataSet names(QStringLiteral("names"), m_db.get(), DataSet::Kind::Table);
    names.setTableName(QStringLiteral("t"));
    names.Open();
    QList<GridColumn> columns(1);
    columns[0].field = QStringLiteral("qty");
    columns[0].caption = QStringLiteral("Имя");
    columns[0].readOnly = false;
    columns[0].lookupSet = &names;
    columns[0].lookupKey = QStringLiteral("id");
    columns[0].lookupShow = QStringLiteral("name");
    m_table->setReadOnly(false);
    m_table->Open();
    DataGrid grid(m_table.get(), columns);
    QCOMPARE(grid.model()->text(0, 0), QStringLiteral("a")); // qty 1 is the row of id 1
    const bool taken = grid.model()->setData(grid.model()->index(0, 0), typed);
    QCOMPARE(taken, stored != 0);
    QVERIFY(m_table->Post());
    const int qty = m_db->fetch(QStringLiteral("SELECT qty FROM t WHERE id = 1")).rows.value(0).value(0).toInt();
    if (stored) {
        QCOMPARE(qty, stored);
        QVERIFY(m_asked.isEmpty());
    } else {
        QCOMPARE(qty, 1);
        QCOMPARE(m_asked.size(), 1);
        QCOMPARE(m_asked.last().text, QStringLiteral("Значение \"%1\" не найдено в списке поля \"Имя\": выберите его из списка.")
                                          .arg(typed.toString().trimmed()));
    }
}

void TestGrid::timesShowWithoutMilliseconds_data()
{
    // The terminals' times of day as each engine gives them back: a text on
    // SQLite, a time (with its milliseconds) on PostgreSQL.
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("shown");
    QTest::newRow("text with milliseconds") << QVariant(QStringLiteral("10:16:01.000")) << "10:16:01";
    QTest::newRow("text without") << QVariant(QStringLiteral("10:16:01")) << "10:16:01";
    QTest::newRow("time from a server") << QVariant(QTime(10, 16, 1)) << "10:16:01";
    QTest::newRow("time with milliseconds") << QVariant(QTime(9, 5, 7, 250)) << "09:05:07";
}

void TestGrid::timesShowWithoutMilliseconds()
{
    QFETCH(QVariant, value);
    QFETCH(QString, shown);
    DataSet trades(QStringLiteral("trades"), m_db.get(), DataSet::Kind::Query);
    trades.setSQL(QStringLiteral("SELECT name AS tradetime FROM t WHERE id = 1"));
    trades.Open();
    trades.replaceRows({QStringLiteral("tradetime")}, {{value}});
    QList<GridColumn> columns(1);
    columns[0].field = QStringLiteral("tradetime");
    columns[0].caption = QStringLiteral("Время");
    DataGrid grid(&trades, columns);
    QCOMPARE(grid.model()->text(0, 0), shown);
}

QTEST_MAIN(TestGrid)
#include "tst_gui_grid.moc"
