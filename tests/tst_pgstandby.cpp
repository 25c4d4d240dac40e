// One active robot across hosts on a PostgreSQL QuikData: the server's lock
// with its owner epoch, and a standby robot that takes over when the active
// one is killed while a strategy fills orders.
#include "data/schema.h"
#include "data/serverlock.h"
#include "data/servernotifications.h"
#include "pgserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/prctl.h>
#include <memory>

namespace {

const QString bin = QStringLiteral(KORVINA_BIN_DIR);
const QString WatchingLine = QStringLiteral("Загрузка ордеров включена.");
const QString WaitingLine = QStringLiteral("Этот робот в резерве");

// Lines of a process's standard output with the moment each came.
struct Output {
    QStringList lines;
    QList<qint64> at;
    QByteArray rest;
    void take(const QByteArray &bytes, qint64 now)
    {
        rest += bytes;
        int nl;
        while ((nl = rest.indexOf('\n')) >= 0) {
            lines << QString::fromUtf8(rest.left(nl)).trimmed();
            at << now;
            rest.remove(0, nl + 1);
        }
    }
    qint64 firstAt(const QString &part) const
    {
        for (int i = 0; i < lines.size(); ++i)
            if (lines[i].contains(part))
                return at[i];
        return -1;
    }
};

} // namespace

class TestPgStandby : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void lockHasOneHolder();
    void fencing_data();
    void fencing();
    void newFilledOrderIsNotified();
    void standbyTakesOverAfterKill();
    void serverFaultLosesNothing_data();
    void serverFaultLosesNothing();

private:
    PgServer m_server;
    QString m_quikData;
};

void TestPgStandby::initTestCase()
{
    if (const QString why = PgServer::missing(); !why.isEmpty())
        QSKIP(qPrintable(why));
    QVERIFY2(m_server.start(), qPrintable(m_server.error()));
    m_quikData = m_server.createDatabase(QStringLiteral("lockdb"));
    QVERIFY2(!m_quikData.isEmpty(), qPrintable(m_server.error()));
    QVERIFY(m_server.exec(QStringLiteral("lockdb"), QStringLiteral("CREATE EXTENSION citext")));
}

void TestPgStandby::lockHasOneHolder()
{
    ServerLock a, b;
    QCOMPARE(a.acquire(m_quikData), ServerLock::Result::Held);
    QCOMPARE(a.acquire(m_quikData), ServerLock::Result::Held); // held already: the same epoch
    const qint64 epoch = a.epoch();
    QCOMPARE(b.acquire(m_quikData), ServerLock::Result::HeldByOther);
    QVERIFY2(b.holder().contains(QString::number(QCoreApplication::applicationPid())), qPrintable(b.holder()));
    QCOMPARE(a.check(), ServerLock::State::Held);
    // Released (a robot stopped): the next robot takes it with a new epoch.
    a.release();
    QCOMPARE(b.acquire(m_quikData), ServerLock::Result::Held);
    QCOMPARE(b.epoch(), epoch + 1);
    b.release();
}

void TestPgStandby::fencing_data()
{
    QTest::addColumn<bool>("otherTakesOver");
    QTest::addColumn<bool>("restartServer");
    QTest::newRow("session cut, another robot took over") << true << false;
    QTest::newRow("session cut, nobody took over") << false << false;
    QTest::newRow("server restarted, nobody took over") << false << true;
    QTest::newRow("server restarted, another robot took over") << true << true;
}

void TestPgStandby::fencing()
{
    QFETCH(bool, otherTakesOver);
    QFETCH(bool, restartServer);
    ServerLock active;
    QCOMPARE(active.acquire(m_quikData), ServerLock::Result::Held);
    const qint64 epoch = active.epoch();
    // The active robot's session ends without it knowing (a network split,
    // a server restart).
    if (restartServer)
        QVERIFY2(m_server.restart(), qPrintable(m_server.error()));
    else
        QVERIFY(m_server.exec(QStringLiteral("lockdb"), QStringLiteral("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                                                                       "WHERE application_name = 'Korvina' AND datname = 'lockdb'")));
    ServerLock standby;
    if (otherTakesOver) {
        QCOMPARE(standby.acquire(m_quikData), ServerLock::Result::Held);
        QCOMPARE(standby.epoch(), epoch + 1);
    }
    // The active robot asks before its next lines: it may write again only
    // when nobody took over, on the lock taken again.
    const ServerLock::State state = active.check();
    if (otherTakesOver) {
        QCOMPARE(state, ServerLock::State::Lost);
        QVERIFY(!active.held());
        QCOMPARE(standby.check(), ServerLock::State::Held);
        // And stays out: it never gets Held back while the other holds it.
        QCOMPARE(active.acquire(m_quikData), ServerLock::Result::HeldByOther);
    } else {
        QCOMPARE(state, ServerLock::State::Held);
        QVERIFY(active.retaken());
        QCOMPARE(active.epoch(), epoch);
        QCOMPARE(standby.acquire(m_quikData), ServerLock::Result::HeldByOther);
    }
}

void TestPgStandby::newFilledOrderIsNotified()
{
    // The alert database made by the tool tells a listener of each new
    // FilledOrders row at its commit, and of nothing else.
    const QString alerts = m_server.createDatabase(QStringLiteral("notify_alerts"));
    schema::createDatabaseFile(alerts, schema::Kind::Alerts);
    ServerNotifications listener;
    QString error;
    QVERIFY2(listener.listen(alerts, QString::fromLatin1(schema::FilledOrdersChannel), &error), qPrintable(error));
    int notified = 0;
    connect(&listener, &ServerNotifications::notified, this, [&] { ++notified; });
    QVERIFY(m_server.exec(QStringLiteral("notify_alerts"), QStringLiteral("INSERT INTO activeorders (\"id\") VALUES (1)")));
    QTest::qWait(300);
    QCOMPARE(notified, 0);
    QVERIFY(m_server.exec(QStringLiteral("notify_alerts"), QStringLiteral("INSERT INTO filledorders (\"id\", symbol) VALUES (1, 'SBER')")));
    QTRY_COMPARE_WITH_TIMEOUT(notified, 1, 2000);
    listener.stop();
    QVERIFY(m_server.exec(QStringLiteral("notify_alerts"), QStringLiteral("INSERT INTO filledorders (\"id\", symbol) VALUES (2, 'SBER')")));
    QTest::qWait(300);
    QCOMPARE(notified, 1);
}

// A desk on the throwaway server: the sample workspace with both databases
// there, the stand-in terminal, robots each in a folder of its own (as on
// hosts of their own; the transaction folder is the shared one of the
// settings) and a strategy filling one order per step, each told by its
// price. What the terminal took is read from its output.
class Desk : public QObject {
public:
    struct Robot {
        std::unique_ptr<QProcess> process;
        Output out;
        QString dir;
    };

    Desk(PgServer &server, const QString &name, int orders, int orderEveryMs)
        : m_server(server), m_name(name), m_orders(orders), m_orderEveryMs(orderEveryMs)
    {
        m_clock.start();
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    }

    ~Desk() override
    {
        // On a failure, what every program said.
        if (QTest::currentTestFailed()) {
            for (auto &r : m_robots) {
                r->out.take(r->process->readAllStandardOutput(), m_clock.elapsed());
                qInfo("--- %s:\n%s\n%s", qPrintable(r->dir), qPrintable(r->out.lines.join(QLatin1Char('\n')).right(6000)),
                      r->process->readAllStandardError().constData());
            }
            qInfo("--- terminal:\n%s\n%s", qPrintable(m_terminalOut.lines.join(QLatin1Char('\n')).right(3000)),
                  m_terminal.readAllStandardError().constData());
            qInfo("--- strategy:\n%s", qPrintable(m_strategyOut.lines.join(QLatin1Char('\n')).right(3000)));
        }
        for (auto &r : m_robots)
            if (r->process->state() != QProcess::NotRunning) {
                r->process->kill();
                r->process->waitForFinished(5000);
            }
        for (QProcess *p : {&m_terminal, &m_strategy})
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
    }

    // The workspace and the terminal; false with the reason in error.
    bool make(QString *error)
    {
        m_ws = m_dir.filePath(QStringLiteral("ws"));
        const QString quikData = m_server.createDatabase(m_name + QStringLiteral("_quik"));
        const QString alerts = m_server.createDatabase(m_name + QStringLiteral("_alerts"));
        if (quikData.isEmpty() || alerts.isEmpty()) {
            *error = m_server.error();
            return false;
        }
        QProcess make;
        make.start(bin + QStringLiteral("/korvina-db"), {QStringLiteral("sample"), m_ws, QStringLiteral("--quikdata"), quikData,
                                                         QStringLiteral("--alerts"), alerts});
        if (!make.waitForFinished(60000) || make.exitCode() != 0) {
            *error = QString::fromLocal8Bit(make.readAllStandardError());
            return false;
        }
        m_alerts = alerts;
        QByteArray scenario;
        for (int i = 0; i < m_orders; ++i)
            scenario += QStringLiteral("%1;FilledOrders;SBER;LE;Buy 100 SBER %2 Market;%2;Demo MA Cross(5,20);C:\\Omega\\Demo.orw;MA;5 min\n")
                            .arg(m_orderEveryMs)
                            .arg(price(i))
                            .toUtf8();
        QFile scenarioFile(m_dir.filePath(QStringLiteral("orders.scenario")));
        if (!scenarioFile.open(QIODevice::WriteOnly) || scenarioFile.write(scenario) != scenario.size()) {
            *error = scenarioFile.errorString();
            return false;
        }
        m_scenario = scenarioFile.fileName();
        m_terminal.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_terminal.setProcessEnvironment(m_env);
        connect(&m_terminal, &QProcess::readyReadStandardOutput, this,
                [this] { m_terminalOut.take(m_terminal.readAllStandardOutput(), m_clock.elapsed()); });
        m_terminal.start(bin + QStringLiteral("/korvina-terminal-sim"), {QStringLiteral("--dir"), m_ws + QStringLiteral("/Trans"),
                                                                         QStringLiteral("--db"), quikData, QStringLiteral("--pace"),
                                                                         QStringLiteral("100")});
        if (!m_terminal.waitForStarted()) {
            *error = m_terminal.errorString();
            return false;
        }
        return true;
    }

    Robot *startRobot(const QStringList &extra)
    {
        auto r = std::make_unique<Robot>();
        r->dir = m_dir.filePath(QStringLiteral("robot%1").arg(m_robots.size() + 1));
        QDir().mkpath(r->dir);
        r->process = std::make_unique<QProcess>();
        // A robot goes with the test, however the test ends.
        r->process->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        r->process->setProcessEnvironment(m_env);
        r->process->setWorkingDirectory(r->dir);
        Robot *raw = r.get();
        connect(raw->process.get(), &QProcess::readyReadStandardOutput, this,
                [raw, this] { raw->out.take(raw->process->readAllStandardOutput(), m_clock.elapsed()); });
        r->process->start(bin + QStringLiteral("/korvina"),
                          QStringList{QStringLiteral("--headless"), QStringLiteral("--ini"), m_ws + QStringLiteral("/Korvina.ini"),
                                      QStringLiteral("--watch")}
                              + extra);
        m_robots.push_back(std::move(r));
        return raw;
    }

    bool startStrategy()
    {
        m_strategy.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_strategy.setProcessEnvironment(m_env);
        m_strategy.setProcessChannelMode(QProcess::MergedChannels);
        connect(&m_strategy, &QProcess::readyReadStandardOutput, this,
                [this] { m_strategyOut.take(m_strategy.readAllStandardOutput(), m_clock.elapsed()); });
        m_strategy.start(bin + QStringLiteral("/korvina-strategy-sim"),
                         {QStringLiteral("--alerts"), m_alerts, QStringLiteral("--scenario"), m_scenario});
        return m_strategy.waitForStarted();
    }
    // (Waiting in the event loop: the other programs' lines are read, and
    // timed, meanwhile.)
    bool strategyDone(int ms)
    {
        QDeadlineTimer deadline(ms);
        while (m_strategy.state() != QProcess::NotRunning && !deadline.hasExpired())
            QTest::qWait(20);
        return m_strategy.state() == QProcess::NotRunning && m_strategy.exitCode() == 0;
    }

    // The prices of the lines the terminal took, in the order it took them.
    QStringList taken() const
    {
        static const QRegularExpression price(QStringLiteral(";PRICE=([0-9.,]+);"));
        QStringList prices;
        for (const QString &l : m_terminalOut.lines)
            if (l.startsWith(QLatin1String("<< ")))
                if (const auto m = price.match(l); m.hasMatch())
                    prices << m.captured(1);
        return prices;
    }
    // The longest time from an order's row to its line at the terminal
    // (the lines in the orders' order, one each).
    qint64 longestDelay() const
    {
        QList<qint64> filled, taken;
        for (int i = 0; i < m_strategyOut.lines.size(); ++i)
            if (m_strategyOut.lines[i].startsWith(QLatin1String("FilledOrders ID=")))
                filled << m_strategyOut.at[i];
        for (int i = 0; i < m_terminalOut.lines.size(); ++i)
            if (m_terminalOut.lines[i].startsWith(QLatin1String("<< ")))
                taken << m_terminalOut.at[i];
        qint64 longest = 0;
        for (int i = 0; i < std::min(filled.size(), taken.size()); ++i)
            longest = std::max(longest, taken[i] - filled[i]);
        return longest;
    }
    int distinctTaken() const
    {
        const QStringList prices = taken();
        return static_cast<int>(QSet<QString>(prices.begin(), prices.end()).size());
    }
    static QString price(int order) { return QString::number(250 + order * 0.01, 'f', 2); }

    qint64 now() const { return m_clock.elapsed(); }
    int orders() const { return m_orders; }

private:
    PgServer &m_server;
    QString m_name;
    int m_orders;
    int m_orderEveryMs;
    QTemporaryDir m_dir;
    QString m_ws, m_alerts, m_scenario;
    QElapsedTimer m_clock;
    QProcessEnvironment m_env;
    QProcess m_terminal, m_strategy;
    Output m_terminalOut, m_strategyOut;
    std::vector<std::unique_ptr<Robot>> m_robots;
};

void TestPgStandby::standbyTakesOverAfterKill()
{
    constexpr int Kills = 4;
    constexpr qint64 TakeoverLimitMs = 3000;
    Desk desk(m_server, QStringLiteral("standby"), 60, 150);
    QString error;
    QVERIFY2(desk.make(&error), qPrintable(error));
    const QStringList standbyArgs{QStringLiteral("--standby")};
    Desk::Robot *active = desk.startRobot(standbyArgs);
    QTRY_VERIFY_WITH_TIMEOUT(active->out.firstAt(WatchingLine) >= 0, 20000);
    Desk::Robot *standby = desk.startRobot(standbyArgs);
    QTRY_VERIFY_WITH_TIMEOUT(standby->out.firstAt(WaitingLine) >= 0, 20000);
    QCOMPARE(standby->out.firstAt(WatchingLine), qint64(-1));
    QVERIFY(desk.startStrategy());

    // Killed over and over while the orders come: each time the standby
    // takes over, and a new standby is started beside it.
    qint64 longestTakeover = 0;
    for (int k = 0; k < Kills; ++k) {
        QTest::qWait(1200 + k * 300);
        const qint64 killedAt = desk.now();
        ::kill(pid_t(active->process->processId()), SIGKILL);
        active->process->waitForFinished(5000);
        QTRY_VERIFY_WITH_TIMEOUT(standby->out.firstAt(WatchingLine) >= 0, 10000);
        const qint64 takeover = standby->out.firstAt(WatchingLine) - killedAt;
        longestTakeover = std::max(longestTakeover, takeover);
        QVERIFY2(takeover < TakeoverLimitMs, qPrintable(QStringLiteral("takeover took %1 ms").arg(takeover)));
        active = standby;
        standby = desk.startRobot(standbyArgs);
        QTRY_VERIFY_WITH_TIMEOUT(standby->out.firstAt(WaitingLine) >= 0, 20000);
    }
    QVERIFY(desk.strategyDone(60000));

    QTRY_VERIFY_WITH_TIMEOUT(desk.distinctTaken() >= desk.orders(), 20000);
    QTest::qWait(1500); // a doubled line would come now
    const QStringList prices = desk.taken();
    const int distinct = desk.distinctTaken();
    const int lost = desk.orders() - distinct;
    const int doubled = static_cast<int>(prices.size()) - distinct;
    qInfo("standby takeover: kills %d, orders %d, lost %d, doubled %d, longest takeover %lld ms", Kills, desk.orders(), lost, doubled,
          longestTakeover);
    QCOMPARE(lost, 0);
    QCOMPARE(doubled, 0);
    // Only ever one robot trading: the waiting one never started watching.
    QCOMPARE(standby->out.firstAt(WatchingLine), qint64(-1));
    active->process->terminate();
    QVERIFY(active->process->waitForFinished(10000));
    QCOMPARE(active->process->exitCode(), 0);
}

void TestPgStandby::serverFaultLosesNothing_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("forMs");
    QTest::newRow("server restarted (immediate)") << "restart" << 0;
    QTest::newRow("server unreachable 15 s") << "away" << 15000;
    QTest::newRow("robot's tables locked by another session 6 s") << "lock" << 6000;
}

void TestPgStandby::serverFaultLosesNothing()
{
    // The server goes down hard while a strategy fills orders and comes back
    // on the same port: every order reaches the terminal once, in the order
    // filled, and the robot says once that the server is gone and once that
    // it is back.
    QFETCH(QString, fault);
    QFETCH(int, forMs);
    Desk desk(m_server, QStringLiteral("fault_") + fault, 40, 100);
    QString error;
    QVERIFY2(desk.make(&error), qPrintable(error));
    Desk::Robot *robot = desk.startRobot({});
    QTRY_VERIFY_WITH_TIMEOUT(robot->out.firstAt(WatchingLine) >= 0, 20000);
    QVERIFY(desk.startStrategy());
    QTRY_VERIFY_WITH_TIMEOUT(desk.distinctTaken() >= 8, 20000);
    const qint64 downAt = desk.now();
    if (fault == QLatin1String("lock")) {
        // Another program's transaction holds the journal, the book and the
        // history: the robot's writes time out and wait.
        const QString name = QStringLiteral("locker");
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
            db.setHostName(QStringLiteral("127.0.0.1"));
            db.setPort(m_server.port());
            db.setUserName(QStringLiteral("postgres"));
            db.setDatabaseName(QStringLiteral("fault_lock_quik"));
            QVERIFY2(db.open(), qPrintable(db.lastError().text()));
            QSqlQuery q(db);
            QVERIFY(q.exec(QStringLiteral("BEGIN")));
            QVERIFY2(q.exec(QStringLiteral("LOCK TABLE tordernumber, tclientopenpositions, torderhistory IN ACCESS EXCLUSIVE MODE")),
                     qPrintable(q.lastError().text()));
            QTest::qWait(forMs);
            QVERIFY(q.exec(QStringLiteral("ROLLBACK")));
        }
        QSqlDatabase::removeDatabase(name);
    } else {
        m_server.stop(true);
        QTest::qWait(forMs);
        QVERIFY2(m_server.restart(), qPrintable(m_server.error()));
    }
    const qint64 upAt = desk.now();
    QVERIFY(desk.strategyDone(120000));

    QTRY_VERIFY_WITH_TIMEOUT(desk.distinctTaken() >= desk.orders(), 30000);
    QTest::qWait(1500); // a doubled line would come now
    const QStringList prices = desk.taken();
    const int distinct = desk.distinctTaken();
    const int lost = desk.orders() - distinct;
    const int doubled = static_cast<int>(prices.size()) - distinct;
    // (The sizing moves every price by the same step: their order is the
    // orders' order.)
    QStringList inOrder = prices;
    inOrder.sort();
    qInfo("%s for %d ms (over after %lld ms): orders %d, lost %d, doubled %d, longest delay %lld ms", qPrintable(fault), forMs,
          upAt - downAt, desk.orders(), lost, doubled, desk.longestDelay());
    QCOMPARE(lost, 0);
    QCOMPARE(doubled, 0);
    QCOMPARE(prices, inOrder);
    robot->out.take(robot->process->readAllStandardOutput(), desk.now());
    const QStringList &lines = robot->out.lines;
    if (fault != QLatin1String("lock")) {
        QCOMPARE(lines.filter(QStringLiteral("Нет связи с сервером базы данных")).size(), 1);
        QCOMPARE(lines.filter(QStringLiteral("Связь с сервером базы данных")).size(), 1);
    }
    QCOMPARE(robot->process->state(), QProcess::Running);
    robot->process->terminate();
    QVERIFY(robot->process->waitForFinished(10000));
    QCOMPARE(robot->process->exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestPgStandby)
#include "tst_pgstandby.moc"
