// The client groups editor, driven as the operator drives it: groups and
// members typed into the grids and saved with the navigator bars' buttons
// (clicked with the mouse, so a cell still being typed into hands its text
// over first), boxes answered through the program's dialog wrapper, and
// what QuikData stores read back.

#include "datagrid.h"
#include "guiwindow.h"
#include "navigatorbar.h"
#include "tfmclients.h"

#include <QComboBox>
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
    void memberIsAClient_data();
    void memberIsAClient();
    void memberWhoseClientIsGone();
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

void TestGroups::memberIsAClient_data()
{
    QTest::addColumn<QString>("typed"); // "": nothing typed
    QTest::addColumn<bool>("enter");    // Enter pressed in the cell (otherwise "Сохранить" clicked at once)
    QTest::addColumn<QString>("member"); // the code stored; empty: nothing stored
    QTest::addColumn<QStringList>("told");
    const QString unknown = QStringLiteral("Значение \"99999\" не найдено в списке поля \"Код клиента\": выберите его из списка.");
    const QString none = QStringLiteral("Не выбран клиент: выберите код клиента из списка.");
    QTest::newRow("a code of the list") << "20002" << false << "20002" << QStringList();
    QTest::newRow("a code, other blanks") << " 20002 " << true << "20002" << QStringList();
    QTest::newRow("an unknown code, Enter") << "99999" << true << "" << QStringList{unknown};
    QTest::newRow("an unknown code, saved") << "99999" << false << "" << QStringList{unknown, none};
    QTest::newRow("nothing typed, saved") << "" << false << "" << QStringList{none};
}

// A member is stored by its client's code; a code that no client has is
// refused by name and the row stays in editing, never saved as a member
// without a client.
void TestGroups::memberIsAClient()
{
    QFETCH(QString, typed);
    QFETCH(bool, enter);
    QFETCH(QString, member);
    QFETCH(QStringList, told);
    Window w;
    TfmGroup *editor = openEditor(w);
    DataSet &members = w.data.tGroupClients;
    editor->grdGroup->view()->setCurrentIndex(editor->grdGroup->model()->index(0, 1));
    const QVariant group = w.data.tGroup.FieldByName(QStringLiteral("id_group"));
    const QString count = QStringLiteral("SELECT COUNT(*) FROM tGroupClients WHERE id_group = %1").arg(group.toInt());
    const int before = stored(w, count).value(0).value(0).toInt();
    const QStringList shownBefore = shownCodes(editor);

    clickButton(editor->nbGroupClients, NavigatorBar::Insert);
    QCOMPARE(members.state(), DataSet::State::Insert);
    if (!typed.isEmpty()) {
        auto *box = qobject_cast<QComboBox *>(editCell(editor->grdGroupClients, members.currentRow(), 0));
        QVERIFY(box);
        QVERIFY(box->isEditable());
        box->lineEdit()->clear();
        QTest::keyClicks(box->lineEdit(), typed);
        if (enter) {
            QTest::keyClick(box->lineEdit(), Qt::Key_Return);
            QCoreApplication::processEvents();
        }
    }
    if (!enter)
        clickButton(editor->nbGroupClients, NavigatorBar::Post);

    QCOMPARE(boxTexts(), told);
    if (member.isEmpty()) {
        QCOMPARE(members.state(), DataSet::State::Insert); // kept for the operator to correct
        QCOMPARE(stored(w, count).value(0).value(0).toInt(), before);
        QCOMPARE(stored(w, QStringLiteral("SELECT COUNT(*) FROM tGroupClients WHERE id_client IS NULL")).value(0).value(0).toInt(), 0);
        return;
    }
    if (members.editing())
        clickButton(editor->nbGroupClients, NavigatorBar::Post);
    QCOMPARE(members.state(), DataSet::State::Browse);
    QCOMPARE(stored(w, count).value(0).value(0).toInt(), before + 1);
    const auto codes = stored(w, QStringLiteral("SELECT c.Code FROM tGroupClients m JOIN tClients c ON c.id = m.id_client "
                                                "WHERE m.id_group = %1 ORDER BY m.rowid DESC")
                                     .arg(group.toInt()));
    QCOMPARE(codes.value(0).value(0).toString(), member);
    QCOMPARE(shownCodes(editor), shownBefore + QStringList{member});
}

// The client picked is deleted (by another program) before the member is
// saved: the member is refused, never stored without its client.
void TestGroups::memberWhoseClientIsGone()
{
    Window w;
    TfmGroup *editor = openEditor(w);
    DataSet &members = w.data.tGroupClients;
    clickButton(editor->nbGroupClients, NavigatorBar::Insert);
    auto *box = qobject_cast<QComboBox *>(editCell(editor->grdGroupClients, members.currentRow(), 0));
    QVERIFY(box);
    box->setCurrentIndex(box->findText(QStringLiteral("20002")));
    const qint64 id = box->currentData().toLongLong();
    QVERIFY(id > 0);
    execOnDatabase(w.paths.quikData, QStringLiteral("DELETE FROM tClients WHERE Code = '20002'"));
    const int before = stored(w, QStringLiteral("SELECT COUNT(*) FROM tGroupClients")).value(0).value(0).toInt();
    clickButton(editor->nbGroupClients, NavigatorBar::Post);
    QCOMPARE(boxTexts(), QStringList{QStringLiteral("Клиента с номером %1 нет в списке клиентов: выберите код клиента из списка.").arg(id)});
    QCOMPARE(members.state(), DataSet::State::Insert);
    QCOMPARE(stored(w, QStringLiteral("SELECT COUNT(*) FROM tGroupClients")).value(0).value(0).toInt(), before);
}

QTEST_MAIN(TestGroups)
#include "tst_gui_groups.moc"
