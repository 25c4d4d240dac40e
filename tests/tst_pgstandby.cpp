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

void TestPgStandby::standbyTakesOverAfterKill()
{
    constexpr int Orders = 60;
    constexpr int OrderEveryMs = 150;
    constexpr int Kills = 4;
    constexpr qint64 TakeoverLimitMs = 3000;

    QTemporaryDir dir;
    const QString ws = dir.filePath(QStringLiteral("ws"));
    const QString quikData = m_server.createDatabase(QStringLiteral("standby_quik"));
    const QString alerts = m_server.createDatabase(QStringLiteral("standby_alerts"));
    QVERIFY(!quikData.isEmpty() && !alerts.isEmpty());
    QProcess make;
    make.start(bin + QStringLiteral("/korvina-db"), {QStringLiteral("sample"), ws, QStringLiteral("--quikdata"), quikData,
                                                     QStringLiteral("--alerts"), alerts});
    QVERIFY(make.waitForFinished(60000));
    QVERIFY2(make.exitCode() == 0, make.readAllStandardError().constData());

    QByteArray scenario;
    for (int i = 0; i < Orders; ++i)
        scenario += QStringLiteral("%1;FilledOrders;SBER;LE;Buy 100 SBER %2 Market;%2;Demo MA Cross(5,20);C:\\Omega\\Demo.orw;MA;5 min\n")
                        .arg(OrderEveryMs)
                        .arg(QString::number(250 + i * 0.01, 'f', 2))
                        .toUtf8();
    QFile scenarioFile(dir.filePath(QStringLiteral("standby.scenario")));
    QVERIFY(scenarioFile.open(QIODevice::WriteOnly));
    scenarioFile.write(scenario);
    scenarioFile.close();

    QElapsedTimer clock;
    clock.start();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));

    QProcess terminal;
    terminal.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    Output terminalOut;
    terminal.setProcessEnvironment(env);
    connect(&terminal, &QProcess::readyReadStandardOutput, this,
            [&] { terminalOut.take(terminal.readAllStandardOutput(), clock.elapsed()); });
    terminal.start(bin + QStringLiteral("/korvina-terminal-sim"),
                   {QStringLiteral("--dir"), ws + QStringLiteral("/Trans"), QStringLiteral("--db"), quikData, QStringLiteral("--pace"),
                    QStringLiteral("100")});
    QVERIFY(terminal.waitForStarted());

    // Every robot runs in a folder of its own (its log), as on its own host;
    // the transaction folder is the shared one of the settings.
    struct Robot {
        std::unique_ptr<QProcess> process;
        Output out;
        QString dir;
    };
    std::vector<std::unique_ptr<Robot>> robots;
    auto startRobot = [&] {
        auto r = std::make_unique<Robot>();
        r->dir = dir.filePath(QStringLiteral("robot%1").arg(robots.size() + 1));
        QDir().mkpath(r->dir);
        r->process = std::make_unique<QProcess>();
        // A robot goes with the test, however the test ends.
        r->process->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        r->process->setProcessEnvironment(env);
        r->process->setWorkingDirectory(r->dir);
        Robot *raw = r.get();
        connect(raw->process.get(), &QProcess::readyReadStandardOutput, this,
                [raw, &clock] { raw->out.take(raw->process->readAllStandardOutput(), clock.elapsed()); });
        r->process->start(bin + QStringLiteral("/korvina"), {QStringLiteral("--headless"), QStringLiteral("--ini"), ws + QStringLiteral("/Korvina.ini"),
                                                             QStringLiteral("--watch"), QStringLiteral("--standby")});
        robots.push_back(std::move(r));
        return raw;
    };
    auto cleanup = qScopeGuard([&] {
        // On a failure, what every program said.
        if (QTest::currentTestFailed()) {
            for (auto &r : robots) {
                r->out.take(r->process->readAllStandardOutput(), clock.elapsed());
                qInfo("--- %s:\n%s\n%s", qPrintable(r->dir), qPrintable(r->out.lines.join(QLatin1Char('\n')).right(6000)),
                      r->process->readAllStandardError().constData());
            }
            qInfo("--- terminal:\n%s\n%s", qPrintable(terminalOut.lines.join(QLatin1Char('\n')).right(3000)), terminal.readAllStandardError().constData());
        }
        for (auto &r : robots)
            if (r->process->state() != QProcess::NotRunning) {
                r->process->kill();
                r->process->waitForFinished(5000);
            }
        terminal.kill();
        terminal.waitForFinished(5000);
    });

    Robot *active = startRobot();
    QTRY_VERIFY_WITH_TIMEOUT(active->out.firstAt(WatchingLine) >= 0, 20000);
    Robot *standby = startRobot();
    QTRY_VERIFY_WITH_TIMEOUT(standby->out.firstAt(WaitingLine) >= 0, 20000);
    QCOMPARE(standby->out.firstAt(WatchingLine), qint64(-1));

    QProcess strategy;
    strategy.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    strategy.setProcessEnvironment(env);
    strategy.start(bin + QStringLiteral("/korvina-strategy-sim"),
                   {QStringLiteral("--alerts"), alerts, QStringLiteral("--scenario"), scenarioFile.fileName()});
    QVERIFY(strategy.waitForStarted());

    // Killed over and over while the orders come: each time the standby
    // takes over, and a new standby is started beside it.
    qint64 longestTakeover = 0;
    for (int k = 0; k < Kills; ++k) {
        QTest::qWait(1200 + k * 300);
        const qint64 killedAt = clock.elapsed();
        ::kill(pid_t(active->process->processId()), SIGKILL);
        active->process->waitForFinished(5000);
        QTRY_VERIFY_WITH_TIMEOUT(standby->out.firstAt(WatchingLine) >= 0, 10000);
        const qint64 takeover = standby->out.firstAt(WatchingLine) - killedAt;
        longestTakeover = std::max(longestTakeover, takeover);
        QVERIFY2(takeover < TakeoverLimitMs, qPrintable(QStringLiteral("takeover took %1 ms").arg(takeover)));
        active = standby;
        standby = startRobot();
        QTRY_VERIFY_WITH_TIMEOUT(standby->out.firstAt(WaitingLine) >= 0, 20000);
    }
    QVERIFY(strategy.waitForFinished(60000));

    // What the terminal took: one line per order, told by its price.
    static const QRegularExpression price(QStringLiteral(";PRICE=([0-9.,]+);"));
    auto taken = [&] {
        QStringList prices;
        for (const QString &l : terminalOut.lines)
            if (l.startsWith(QLatin1String("<< ")))
                if (const auto m = price.match(l); m.hasMatch())
                    prices << m.captured(1);
        return prices;
    };
    auto distinctTaken = [&] {
        const QStringList prices = taken();
        return static_cast<int>(QSet<QString>(prices.begin(), prices.end()).size());
    };
    QTRY_VERIFY_WITH_TIMEOUT(distinctTaken() >= Orders, 20000);
    QTest::qWait(1500); // a doubled line would come now
    const QStringList prices = taken();
    const int distinct = static_cast<int>(QSet<QString>(prices.begin(), prices.end()).size());
    const int lost = Orders - distinct;
    const int doubled = static_cast<int>(prices.size()) - distinct;
    qInfo("standby takeover: kills %d, orders %d, lost %d, doubled %d, longest takeover %lld ms", Kills, Orders, lost, doubled,
          longestTakeover);
    QCOMPARE(lost, 0);
    QCOMPARE(doubled, 0);
    // Only ever one robot trading: the waiting one never started watching.
    QCOMPARE(standby->out.firstAt(WatchingLine), qint64(-1));
    active->process->terminate();
    QVERIFY(active->process->waitForFinished(10000));
    QCOMPARE(active->process->exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestPgStandby)
#include "tst_pgstandby.moc"
