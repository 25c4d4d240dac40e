// The day's activity built from the history of transactions: counts per
// minute, the results, the latencies' medians and worst, by strategy, and
// the rows that come or are answered later read incrementally.

#include "data/database.h"
#include "engine/activityseries.h"
#include "workspace.h"

#include <QtTest>

namespace {

struct History {
    TestWorkspace ws;
    Database quik{QStringLiteral("quik")};
    Database alerts{QStringLiteral("alerts")};
    QDate day{2024, 3, 15};
    qint64 next = 1;

    History()
    {
        QString error;
        QVERIFY2(quik.open(ws.quikDataPath(), &error), qPrintable(error));
        QVERIFY2(alerts.open(ws.alertsPath(), &error), qPrintable(error));
    }
    QDateTime at(const QString &hhmmss) const { return QDateTime(day, QTime::fromString(hhmmss, QStringLiteral("HH:mm:ss.zzz"))); }
    void order(int id, const QString &filled, const QString &system)
    {
        ws.exec(ws.alertsPath(), QStringLiteral("INSERT INTO FilledOrders (ID, \"Time Filled\", System) VALUES (:id, :t, :s)"),
                {{QStringLiteral("id"), id}, {QStringLiteral("t"), at(filled).toString(Qt::ISODateWithMs)}, {QStringLiteral("s"), system}});
    }
    // A transaction queued at `sent` for order `orderId` (0: the operator's),
    // answered with `status` at `answered` ("" none).
    qint64 transaction(const QString &sent, int orderId, const QString &code, const QVariant &status = {}, const QString &answered = {})
    {
        const qint64 id = next++;
        ws.exec(ws.quikDataPath(),
                QStringLiteral("INSERT INTO tOrderHistory (id, session, sent_at, trans_id, id_order, filled, code, status, result_at) "
                               "VALUES (:id, 1, :sent, :tid, :o, :f, :c, :st, :r)"),
                {{QStringLiteral("id"), id},
                 {QStringLiteral("sent"), at(sent).toString(Qt::ISODateWithMs)},
                 {QStringLiteral("tid"), id},
                 {QStringLiteral("o"), orderId},
                 {QStringLiteral("f"), orderId > 0},
                 {QStringLiteral("c"), code},
                 {QStringLiteral("st"), status},
                 {QStringLiteral("r"), answered.isEmpty() ? QVariant() : QVariant(at(answered).toString(Qt::ISODateWithMs))}});
        return id;
    }
};

int minuteOf(const QString &hhmm) { return QTime::fromString(hhmm, QStringLiteral("HH:mm")).msecsSinceStartOfDay() / 60000; }

} // namespace

class TstActivity : public QObject {
    Q_OBJECT
private slots:
    void seriesFromKnownHistory();
    void followsNewRowsAndAnswers();
    void median_data();
    void median();
    void ordersCountedOnceInAnyOrder();
};

void TstActivity::seriesFromKnownHistory()
{
    History h;
    h.order(1, "10:00:00.000", "Trend");
    h.order(2, "10:00:30.000", "Swing");
    // Order 1 for three clients at 10:00, answered after 100, 300, 200 ms.
    h.transaction("10:00:00.010", 1, "A", 3, "10:00:00.110");
    h.transaction("10:00:00.020", 1, "B", 3, "10:00:00.320");
    h.transaction("10:00:00.040", 1, "C", 6, "10:00:00.240");
    // Order 2 at 10:00 and 10:01 (one minute later for its last client).
    h.transaction("10:00:30.500", 2, "A", 0, "10:00:30.600");
    h.transaction("10:01:00.000", 2, "B");
    // The operator's order at 10:01, and an alignment that is no transaction.
    h.transaction("10:01:10.000", 0, "A", 3, "10:01:10.050");
    h.ws.exec(h.ws.quikDataPath(), QStringLiteral("INSERT INTO tOrderHistory (session, sent_at, trans_id, code) VALUES (1, :t, -1, 'A')"),
              {{QStringLiteral("t"), h.at("10:01:20.000").toString(Qt::ISODateWithMs)}});
    // Another day's row.
    h.ws.exec(h.ws.quikDataPath(), QStringLiteral("INSERT INTO tOrderHistory (id, session, sent_at, trans_id, id_order, filled, code) "
                                                  "VALUES (100, 1, '2024-03-14T10:00:00.000', 5, 1, 1, 'A')"));

    ActivitySeries s(h.day);
    QVERIFY(s.Update(h.quik, &h.alerts));
    const ActivitySeries::Minute &m0 = s.minute(QString(), minuteOf("10:00"));
    QCOMPARE(m0.orders, 2);
    QCOMPARE(m0.transactions, 4);
    QCOMPARE(m0.done, 2);
    QCOMPARE(m0.sent, 1);
    QCOMPARE(m0.refused, 1);
    // Fill to line: 10, 20, 40 ms (order 1) and 500 ms (order 2).
    QCOMPARE(ActivitySeries::median(m0.fillToLine), 30);
    QCOMPARE(ActivitySeries::worst(m0.fillToLine), 500);
    // Line to answer: 100, 300, 200, 100 ms.
    QCOMPARE(ActivitySeries::median(m0.lineToAnswer), 150);
    QCOMPARE(ActivitySeries::worst(m0.lineToAnswer), 300);

    const ActivitySeries::Minute &m1 = s.minute(QString(), minuteOf("10:01"));
    QCOMPARE(m1.orders, 0); // order 2 was counted at its first transaction
    QCOMPARE(m1.transactions, 2);
    QCOMPARE(m1.sent, 1);
    QCOMPARE(m1.done, 1);
    QCOMPARE(int(m1.lineToAnswer.size()), 1);
    QCOMPARE(s.firstMinute(), minuteOf("10:00"));
    QCOMPARE(s.lastMinute(), minuteOf("10:01"));

    // By strategy.
    QCOMPARE(s.strategies(), (QStringList{QStringLiteral("Swing"), QStringLiteral("Trend"), QStringLiteral("Оператор")}));
    QCOMPARE(s.minute(QStringLiteral("Trend"), minuteOf("10:00")).transactions, 3);
    QCOMPARE(s.minute(QStringLiteral("Swing"), minuteOf("10:00")).transactions, 1);
    QCOMPARE(s.minute(QStringLiteral("Оператор"), minuteOf("10:01")).done, 1);

    // The report's tables.
    const ActivitySeries::Tally total = s.total();
    QCOMPARE(total.orders, 2);
    QCOMPARE(total.transactions, 6);
    QCOMPARE(total.refused, 1);
    QCOMPARE(total.worstFillToLine, 30000); // order 2's last client, 30 s after its fill
    QCOMPARE(total.worstLineToAnswer, 300);
    QVector<ActivitySeries::Tally> clients = s.byClient();
    QCOMPARE(clients.size(), 3);
    QCOMPARE(clients[0].name, QStringLiteral("A"));
    QCOMPARE(clients[0].orders, 2);
    QCOMPARE(clients[0].transactions, 3);
    QCOMPARE(clients[2].refused, 1);
}

void TstActivity::followsNewRowsAndAnswers()
{
    // A transaction waits for its answer only for a while after it was
    // sent: the rows are of a couple of minutes ago, whenever this runs.
    const QDateTime ago = QDateTime::currentDateTime().addSecs(-120);
    const QTime base(ago.time().hour(), ago.time().minute(), 10);
    auto t = [&](int ms) { return base.addMSecs(ms).toString(QStringLiteral("HH:mm:ss.zzz")); };
    History h;
    h.day = ago.date();
    h.order(1, t(0), "Trend");
    const qint64 waiting = h.transaction(t(100), 1, "A");
    ActivitySeries s(h.day);
    s.Update(h.quik, &h.alerts);
    const int minute = base.msecsSinceStartOfDay() / 60000;
    QCOMPARE(s.minute(QString(), minute).sent, 1);
    QCOMPARE(s.pending(), 1);
    QVERIFY(!s.Update(h.quik, &h.alerts)); // nothing new

    // Its answer comes, and a new transaction: both taken at the next read.
    h.ws.exec(h.ws.quikDataPath(), QStringLiteral("UPDATE tOrderHistory SET status = 3, result_at = :r WHERE id = :id"),
              {{QStringLiteral("r"), h.at(t(350)).toString(Qt::ISODateWithMs)}, {QStringLiteral("id"), waiting}});
    h.transaction(t(200), 1, "B", 5, t(300));
    QVERIFY(s.Update(h.quik, &h.alerts));
    const ActivitySeries::Minute &m = s.minute(QString(), minute);
    QCOMPARE(m.transactions, 2);
    QCOMPARE(m.orders, 1);
    QCOMPARE(m.sent, 0);
    QCOMPARE(m.done, 1);
    QCOMPARE(m.refused, 1);
    QCOMPARE(s.pending(), 0);
    std::vector<qint32> answers = m.lineToAnswer;
    std::sort(answers.begin(), answers.end());
    QCOMPARE(answers, (std::vector<qint32>{100, 250}));
}

void TstActivity::median_data()
{
    QTest::addColumn<QList<int>>("values");
    QTest::addColumn<qint64>("median");
    QTest::addColumn<qint64>("worst");
    QTest::newRow("none") << QList<int>{} << qint64(-1) << qint64(-1);
    QTest::newRow("one") << QList<int>{7} << qint64(7) << qint64(7);
    QTest::newRow("odd, unsorted") << QList<int>{9, 1, 5} << qint64(5) << qint64(9);
    QTest::newRow("even: the middle two") << QList<int>{4, 1, 10, 2} << qint64(3) << qint64(10);
}

void TstActivity::median()
{
    QFETCH(QList<int>, values);
    QFETCH(qint64, median);
    QFETCH(qint64, worst);
    const std::vector<qint32> v(values.begin(), values.end());
    QCOMPARE(ActivitySeries::median(v), median);
    QCOMPARE(ActivitySeries::worst(v), worst);
}

QTEST_GUILESS_MAIN(TstActivity)
// An order counts once per strategy, client and day, whatever order its
// rows come in and whether they were answered already (rows with their last
// answer are not kept, their counts are).
void TstActivity::ordersCountedOnceInAnyOrder()
{
    const QDate day(2026, 3, 14);
    ActivitySeries s(day);
    struct R { qint64 id; qint64 order; const char *code; int status; };
    const R rows[] = {{1, 50, "A", 3}, {2, 30, "A", 3}, {3, 50, "B", 6}, {4, 70, "A", 3}, {5, 30, "A", 3}, {6, 50, "A", 3}};
    for (const R &r : rows) {
        ActivitySeries::Row row;
        row.id = r.id;
        row.transId = int(r.id);
        row.sentAt = QDateTime(day, QTime(10, 0, int(r.id)));
        row.resultAt = row.sentAt.addMSecs(100);
        row.status = r.status;
        row.orderId = r.order;
        row.filled = true;
        row.code = QString::fromLatin1(r.code);
        s.add(row, {row.sentAt.addMSecs(-5), QStringLiteral("Trend")});
    }
    QCOMPARE(s.total().orders, 3);
    QCOMPARE(s.total().transactions, 6);
    QCOMPARE(s.total().refused, 1);
    QCOMPARE(s.pending(), 0);
    QCOMPARE(s.byStrategy().value(0).orders, 3);
    const QVector<ActivitySeries::Tally> clients = s.byClient();
    QCOMPARE(clients.size(), 2);
    QCOMPARE(clients[0].name, QStringLiteral("A"));
    QCOMPARE(clients[0].orders, 3);
    QCOMPARE(clients[1].orders, 1);
    QCOMPARE(s.minute(QString(), 600).orders, 3);
}

#include "tst_activity.moc"
