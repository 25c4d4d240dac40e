// The desk's pages of the main window: "Сверка" (the book against the
// terminal, aligned by the operator) and "Активность" (the day's charts),
// and the day's PDF report from the menu.

#include "activitycharts.h"
#include "activityreport.h"
#include "datagrid.h"
#include "guiwindow.h"

#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QLineSeries>
#include <QRegularExpression>
#include <QtTest>

namespace {

int rowOf(DataSet &view, const QString &secCode)
{
    for (int i = 0; i < view.RecordCount(); ++i)
        if (view.value(i, QStringLiteral("seccode")).toString() == secCode)
            return i;
    return -1;
}

// The pages of a PDF file.
int pdfPages(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    return int(QString::fromLatin1(f.readAll()).count(QRegularExpression(QStringLiteral("/Type\\s*/Page(?!s)"))));
}

} // namespace

class TstGuiDesk : public QObject {
    Q_OBJECT
private slots:
    void alignSelectedRowThroughTheWindow();
    void activityPageAndDailyReport();
};

void TstGuiDesk::alignSelectedRowThroughTheWindow()
{
    Window w; // SINGLE: account 111 holds SBER 200 (lot 10), GAZP 500 and RIZ6 2 in the base tables
    execOnDatabase(w.paths.quikData,
                   QStringLiteral("INSERT INTO tClientOpenPositions (code, symbol, \"Position\", quantity, \"System\", \"Workspace\", \"Interval\") "
                                  "VALUES ('111', 'SBER', 'Long', 5, 'Demo MA Cross(5,20)', 'Demo.orw', '5 min')"));
    w.connectNow();
    auto *page = w.main->findChild<QWidget *>(QStringLiteral("tshReconcile"));
    QVERIFY(page);
    w.pages()->setCurrentWidget(page);
    DataGrid *grid = w.main->grid(QStringLiteral("grdReconcile"));
    QVERIFY(grid);
    DataSet &view = *grid->dataset();
    QCOMPARE(view.RecordCount(), 3);
    const int sber = rowOf(view, QStringLiteral("SBER"));
    QVERIFY(sber >= 0);
    QCOMPARE(view.value(sber, QStringLiteral("diff")).toDouble(), 150.0);
    const int shown = grid->model()->shownRow(sber);
    QCOMPARE(grid->model()->data(grid->model()->index(shown, 0), Qt::ForegroundRole).value<QColor>(), QColor(0xc0, 0, 0));
    QCOMPARE(grid->model()->text(shown, grid->model()->columnOf(QStringLiteral("lots"))), QStringLiteral("5"));
    QVERIFY(!grid->model()->text(shown, grid->model()->columnOf(QStringLiteral("since"))).isEmpty());

    // "No" changes nothing.
    view.setCurrentRow(sber);
    Dialogs::setResponder([](const Dialogs::Request &r) {
        Dialogs::Answer a;
        a.button = r.kind == Dialogs::Kind::Question ? QMessageBox::No : QMessageBox::Ok;
        return a;
    });
    w.action("actReconcileAlign")->trigger();
    QCOMPARE(queryDatabase(w.paths.quikData, QStringLiteral("SELECT quantity FROM tClientOpenPositions")).first().value("quantity").toInt(), 5);

    // "Yes": the question names the client, the security and both figures.
    Dialogs::setResponder([](const Dialogs::Request &r) {
        Dialogs::Answer a;
        a.button = r.kind == Dialogs::Kind::Question ? QMessageBox::Yes : QMessageBox::Ok;
        return a;
    });
    view.setCurrentRow(rowOf(view, QStringLiteral("SBER")));
    w.action("actReconcileAlign")->trigger();
    const Dialogs::Request asked = Dialogs::asked().last();
    QCOMPARE(asked.kind, Dialogs::Kind::Question);
    QCOMPARE(asked.title, QStringLiteral("Сверка"));
    for (const QString &part : {QStringLiteral("Клиент: 111"), QStringLiteral("Бумага: SBER"), QStringLiteral("У робота: 5 лот (50 шт.)"),
                                QStringLiteral("В терминале: 200 шт.")})
        QVERIFY2(asked.text.contains(part), qPrintable(asked.text));
    QCOMPARE(queryDatabase(w.paths.quikData, QStringLiteral("SELECT quantity FROM tClientOpenPositions")).first().value("quantity").toInt(), 20);
    const QList<QVariantMap> history = queryDatabase(w.paths.quikData, QStringLiteral("SELECT code, trans_name FROM tOrderHistory WHERE trans_id = -1"));
    QCOMPARE(history.size(), 1);
    QCOMPARE(history.first().value("trans_name").toString(), QStringLiteral("Выравнивание позиции"));
    QCOMPARE(view.value(rowOf(view, QStringLiteral("SBER")), QStringLiteral("diff")).toDouble(), 0.0);

    // Only the differences: the aligned row goes.
    auto *only = page->findChild<QCheckBox *>(QStringLiteral("chReconcileDiffOnly"));
    QVERIFY(only);
    only->setChecked(true);
    QCOMPARE(view.RecordCount(), 2);
    QCOMPARE(rowOf(view, QStringLiteral("SBER")), -1);
    auto *count = page->findChild<QLabel *>(QStringLiteral("lblReconcileCount"));
    QCOMPARE(count->text(), QStringLiteral("Расхождений: 2"));
}

void TstGuiDesk::activityPageAndDailyReport()
{
    Window w;
    w.connectNow();
    const QDateTime now = QDateTime::currentDateTime();
    w.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100"), 285.1, now.addMSecs(-500));
    for (int i = 0; i < 3; ++i)
        execOnDatabase(w.paths.quikData,
                       QStringLiteral("INSERT INTO tOrderHistory (session, sent_at, trans_id, id_order, filled, code, status, result_at) "
                                      "VALUES (1, :s, :t, 1, 1, :c, :st, :r)"),
                       {{QStringLiteral("s"), now.addMSecs(-400).toString(Qt::ISODateWithMs)},
                        {QStringLiteral("t"), i + 1},
                        {QStringLiteral("c"), QStringLiteral("C%1").arg(i)},
                        {QStringLiteral("st"), i == 2 ? 6 : 3},
                        {QStringLiteral("r"), now.addMSecs(-300).toString(Qt::ISODateWithMs)}});
    w.robot().timQuikTimer();

    auto *page = w.main->findChild<QWidget *>(QStringLiteral("tshActivity"));
    QVERIFY(page);
    w.pages()->setCurrentWidget(page);
    auto *strategy = page->findChild<QComboBox *>(QStringLiteral("cboActivityStrategy"));
    QVERIFY(strategy->findText(QStringLiteral("Demo MA Cross(5,20)")) > 0);
    auto *view = page->findChild<QChartView *>(QStringLiteral("chvActivityCounts"));
    QVERIFY(view);
    // The transactions line holds the minute with the three transactions.
    auto *transactions = qobject_cast<QLineSeries *>(view->chart()->series().value(1));
    QVERIFY(transactions);
    double most = 0;
    for (const QPointF &p : transactions->points())
        most = std::max(most, p.y());
    QCOMPARE(most, 3.0);
    QCOMPARE(page->findChild<QLabel *>(QStringLiteral("lblActivityTotals"))->text().contains(QStringLiteral("транзакций 3, отвергнуто 1")), true);
    // One strategy chosen: the operator's has none.
    strategy->setCurrentIndex(strategy->findText(QStringLiteral("Demo MA Cross(5,20)")));
    QCOMPARE(qobject_cast<QLineSeries *>(view->chart()->series().value(1))->count() > 0, true);

    // The report from the menu, into the file chosen.
    const QString pdf = w.dir.filePath(QStringLiteral("day.pdf"));
    Dialogs::setResponder([pdf](const Dialogs::Request &r) {
        Dialogs::Answer a;
        if (r.kind == Dialogs::Kind::SaveFile)
            a.path = pdf;
        return a;
    });
    w.action("actDailyReport")->trigger();
    QVERIFY(QFileInfo(pdf).size() > 1000);
    QCOMPARE(QFileInfo(pdf).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
             QFileDevice::Permissions());
    // Two pages of charts, one of strategies (one and the total), one of clients (three).
    QCOMPARE(ActivityReport::pageCount(1, 3), 4);
    QCOMPARE(pdfPages(pdf), 4);
}

QTEST_MAIN(TstGuiDesk)
#include "tst_gui_desk.moc"
