// The desk's pages of the main window: "Сверка" (the book against the
// terminal, aligned by the operator) and "Активность" (the day's charts),
// the day's PDF report from the menu, and the same report mailed at
// [Mail] ReportAt with the PDF attached.

#include "activitycharts.h"
#include "engine/activityseries.h"
#include "activityreport.h"
#include "config/textcodec.h"
#include "datagrid.h"
#include "guiwindow.h"
#include "smtpserver.h"

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

// The pages of a PDF.
int pdfPages(const QByteArray &pdf) { return int(QString::fromLatin1(pdf).count(QRegularExpression(QStringLiteral("/Type\\s*/Page(?!s)")))); }
int pdfPages(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    return pdfPages(f.readAll());
}

int messageCount(const QList<QJsonObject> &events)
{
    return int(std::count_if(events.cbegin(), events.cend(),
                             [](const QJsonObject &e) { return e.value(QStringLiteral("event")).toString() == QStringLiteral("message"); }));
}

// Three transactions of the day for the Demo strategy's order, one refused.
void addDayHistory(Window &w)
{
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
}

} // namespace

class TstGuiDesk : public QObject {
    Q_OBJECT
private slots:
    void alignSelectedRowThroughTheWindow();
    void activityPageAndDailyReport();
    void dailyReportMailedWithItsPdf();
    void countsStopAtTheMinuteNow_data();
    void countsStopAtTheMinuteNow();
};

// Today's charts end their counts at the minute now: a minute still to come
// drawn as "no orders" would be a figure nobody measured. The axis still
// spans at least ten minutes.
void TstGuiDesk::countsStopAtTheMinuteNow_data()
{
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QTime>("lastPoint");
    const QDate day(2026, 3, 14);
    QTest::newRow("today, three minutes on") << QDateTime(day, QTime(10, 3, 20)) << QTime(10, 3);
    QTest::newRow("today, the transaction's minute") << QDateTime(day, QTime(10, 0, 40)) << QTime(10, 0);
    QTest::newRow("a past day") << QDateTime(day.addDays(1), QTime(9, 0)) << QTime(10, 9);
}

void TstGuiDesk::countsStopAtTheMinuteNow()
{
    QFETCH(QDateTime, now);
    QFETCH(QTime, lastPoint);
    const QDate day(2026, 3, 14);
    ActivitySeries series(day);
    ActivitySeries::Row row;
    row.id = 1;
    row.transId = 1;
    row.sentAt = QDateTime(day, QTime(10, 0, 5));
    row.code = QStringLiteral("A");
    series.add(row, {});
    ActivityCharts charts;
    charts.update(series, QString(), now);
    auto *transactions = qobject_cast<QLineSeries *>(charts.charts().first()->series().value(1));
    QVERIFY(transactions && transactions->count() > 0);
    QCOMPARE(QDateTime::fromMSecsSinceEpoch(qint64(transactions->points().last().x())), QDateTime(day, lastPoint));
    double most = 0;
    for (const QPointF &p : transactions->points())
        most = std::max(most, p.y());
    QCOMPARE(most, 1.0);
}

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
    addDayHistory(w);
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

void TstGuiDesk::dailyReportMailedWithItsPdf()
{
    using namespace std::chrono_literals;
    SmtpTestServer server;
    QVERIFY2(server.port(), qPrintable(server.error()));
    Window w;
    w.settings.edtSMTP = QStringLiteral("127.0.0.1");
    w.settings.edtPort = server.port();
    w.settings.chAuten = false;
    w.settings.edtFromAddress = QStringLiteral("robot@example.org");
    w.settings.edtEmail1 = QStringLiteral("trader@example.org");
    w.settings.edtEmail2.clear();
    w.settings.edtReportAt = QStringLiteral("17:45");
    w.connectNow();
    addDayHistory(w);
    w.robot().timQuikTimer();

    // The ticks' clock: the last tick before the time, then the first after.
    DeskMonitor &desk = w.robot().desk();
    const QDate today = QDate::currentDate();
    const QString name = QStringLiteral("Korvina-report-") + today.toString(Qt::ISODate) + QStringLiteral(".pdf");
    const bool besideBefore = QFileInfo::exists(QDir::current().filePath(name));
    desk.Tick(QDateTime(today, QTime(17, 44, 59)));
    QVERIFY(w.robot().mail().waitIdle(20s));
    QCOMPARE(server.messages().size(), 0);
    desk.Tick(QDateTime(today, QTime(17, 45, 1)));
    QVERIFY(w.robot().mail().waitIdle(20s));
    QVERIFY(server.waitFor([](const QList<QJsonObject> &events) { return messageCount(events) == 1; }));
    // Later ticks of the day send nothing more.
    desk.Tick(QDateTime(today, QTime(17, 46, 1)));
    QVERIFY(w.robot().mail().waitIdle(20s));
    QList<QJsonObject> received = server.messages();
    QCOMPARE(received.size(), 1);
    QList<QJsonObject> parts = messageParts(received[0]);
    QCOMPARE(parts.size(), 2);

    // The text: the day's totals, and the file's name.
    const QString day = today.toString(QStringLiteral("dd.MM.yyyy"));
    const QString text = cp1251::decode(messageBody(parts[0]));
    QVERIFY2(text.startsWith(QStringLiteral("Дневной отчет Korvina за ") + day + QStringLiteral(": заявок 1, транзакций 3, отвергнуто 1")),
             qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("Demo MA Cross(5,20): заявок 1, транзакций 3, отвергнуто 1.")), qPrintable(text));
    QVERIFY2(text.endsWith(QStringLiteral("Отчет в PDF во вложении: ") + name + QStringLiteral(".\r\n")), qPrintable(text));
    // The PDF: the same report as the menu's, drawn for the mail.
    QCOMPARE(parts[1].value(QStringLiteral("content_type")).toString(), QStringLiteral("application/pdf"));
    QCOMPARE(parts[1].value(QStringLiteral("filename")).toString(), name);
    const QByteArray pdf = messageBody(parts[1]);
    QVERIFY(pdf.startsWith("%PDF"));
    QCOMPARE(pdfPages(pdf), ActivityReport::pageCount(1, 3));
    // Logged, and no file left behind.
    QCOMPARE(w.log.lines().filter(QStringLiteral("Дневной отчет за ") + day + QStringLiteral(" отправляется по почте, PDF во вложении: ") + name).size(),
             1);
    QCOMPARE(w.log.lines().filter(QStringLiteral("Сообщение отправлено через почтовый сервер 127.0.0.1:")).size(), 1);
    QCOMPARE(QFileInfo::exists(QDir::current().filePath(name)), besideBefore);

    // A report that cannot be drawn still goes, as text saying why.
    desk.reportRenderer = [](const ActivitySeries &, QString *error) {
        *error = QStringLiteral("нечем рисовать");
        return QByteArray();
    };
    desk.Tick(QDateTime(today.addDays(1), QTime(17, 44, 59)));
    desk.Tick(QDateTime(today.addDays(1), QTime(17, 45, 0)));
    QVERIFY(w.robot().mail().waitIdle(20s));
    QVERIFY(server.waitFor([](const QList<QJsonObject> &events) { return messageCount(events) == 2; }));
    received = server.messages();
    QCOMPARE(received[1].value(QStringLiteral("content_type")).toString(), QStringLiteral("text/plain"));
    QVERIFY(cp1251::decode(messageBody(received[1])).contains(QStringLiteral("Отчет в PDF не приложен: нечем рисовать.")));
    QCOMPARE(w.log.lines().filter(QStringLiteral("отправляется по почте без PDF: нечем рисовать.")).size(), 1);
}

QTEST_MAIN(TstGuiDesk)
#include "tst_gui_desk.moc"
