// The client groups editor, driven as the operator drives it: groups and
// members typed into the grids and saved with the navigator bars' buttons
// (clicked with the mouse, so a cell still being typed into hands its text
// over first), boxes answered through the program's dialog wrapper, and
// what QuikData stores read back.

#include "datagrid.h"
#include "guiwindow.h"
#include "navigatorbar.h"
#include "tfmclients.h"

#include <QLineEdit>
#include <QTableView>
#include <QToolButton>
#include <QtTest>

namespace {

QStringList boxTexts()
{
    QStringList out;
    for (const Dialogs::Request &r : Dialogs::asked())
        out << r.text;
    return out;
}

void freshBoxes()
{
    QCoreApplication::processEvents();
    Dialogs::setResponder([](const Dialogs::Request &) { return Dialogs::Answer{}; });
}

// The groups editor of a connected window, shown and active (a click then
// moves the focus as it does for the operator).
TfmGroup *openEditor(Window &w)
{
    w.connectNow();
    freshBoxes();
    TfmGroup *editor = w.main->groups();
    w.action("actGroup")->trigger();
    editor->activateWindow();
    if (!QTest::qWaitForWindowActive(editor))
        qWarning("the groups editor did not become active");
    return editor;
}

// Opens the cell's editor as typing into it does.
QWidget *editCell(DataGrid *grid, int row, int column)
{
    const QModelIndex at = grid->model()->index(row, column);
    grid->view()->setCurrentIndex(at);
    grid->view()->edit(at);
    return grid->view()->indexWidget(at);
}

void clickButton(NavigatorBar *bar, NavigatorBar::Button b)
{
    QTest::mouseClick(bar->button(b), Qt::LeftButton);
    QCoreApplication::processEvents();
}

QVector<QVector<QVariant>> stored(Window &w, const QString &sql) { return w.data.conQuikData.fetch(sql).rows; }

// The codes the members grid shows, top to bottom.
QStringList shownCodes(TfmGroup *editor)
{
    QStringList out;
    GridModel *m = editor->grdGroupClients->model();
    for (int r = 0; r < m->rowCount(); ++r)
        out << m->text(r, 0);
    return out;
}

} // namespace

class TestGroups : public QObject {
    Q_OBJECT
private slots:
    void newGroupShowsItsMembersAtOnce_data();
    void newGroupShowsItsMembersAtOnce();
};

void TestGroups::newGroupShowsItsMembersAtOnce_data()
{
    QTest::addColumn<int>("before"); // the row the new group is inserted before
    QTest::newRow("before the first group") << 0;
    QTest::newRow("before the second group") << 1;
}

// A new group, its name still being typed when "Сохранить" is clicked: the
// name is saved with it, no other group changes, and the members grid shows
// the new group's members (none) at once.
void TestGroups::newGroupShowsItsMembersAtOnce()
{
    QFETCH(int, before);
    Window w;
    TfmGroup *editor = openEditor(w);
    DataSet &groups = w.data.tGroup;
    const auto groupsBefore = stored(w, QStringLiteral("SELECT id_group, [group] FROM tGroup ORDER BY id_group"));
    editor->grdGroup->view()->setCurrentIndex(editor->grdGroup->model()->index(before, 1));
    QVERIFY(!shownCodes(editor).isEmpty());
    clickButton(editor->nbGroup, NavigatorBar::Insert);
    QCOMPARE(groups.state(), DataSet::State::Insert);
    auto *name = qobject_cast<QLineEdit *>(editCell(editor->grdGroup, groups.currentRow(), 1));
    QVERIFY(name);
    name->setText(QStringLiteral("Новая")); // typed, not yet handed to the row
    clickButton(editor->nbGroup, NavigatorBar::Post);

    QCOMPARE(boxTexts(), QStringList());
    QCOMPARE(groups.state(), DataSet::State::Browse);
    auto expected = groupsBefore;
    const QVariant id = groups.FieldByName(QStringLiteral("id_group"));
    expected.append({id, QStringLiteral("Новая")});
    QCOMPARE(stored(w, QStringLiteral("SELECT id_group, [group] FROM tGroup ORDER BY id_group")), expected);
    QCOMPARE(groups.FieldByName(QStringLiteral("group")).toString(), QStringLiteral("Новая"));
    // The grid's current row is the new group's, and so are the members shown.
    QCOMPARE(editor->grdGroup->view()->currentIndex().row(), groups.currentRow());
    QCOMPARE(editor->grdGroup->model()->text(groups.currentRow(), 1), QStringLiteral("Новая"));
    QCOMPARE(w.data.tGroupClients.RecordCount(), 0);
    QCOMPARE(shownCodes(editor), QStringList());
    // The grid keeps the focus for the typing that follows.
    QVERIFY(editor->grdGroup->view()->hasFocus());
}

QTEST_MAIN(TestGroups)
#include "tst_gui_groups.moc"
