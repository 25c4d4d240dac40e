// The kill test: the real programs on a fresh sample workspace (SINGLE mode,
// one follower, client 111) while the strategy stand-in fills an order every
// 200 ms, each at a price of its own. The headless robot is killed with
// SIGKILL again and again and started again at once with the same command:
// at random moments, right after particular lines of its own (a transaction
// sent, an order taken up, the interrupted-run and resume lines at start-up,
// watching started, a transaction carried over from the files of the run
// before), a moment after a transaction sent (the terminal has answered, the
// robot has not read the answer yet), and the instant it deletes the old
// result file while making its new files. Three rows: the terminal stand-in
// answering every line at once; the same with its link cut now and then, so
// that lines wait in the files across restarts and are carried; and another
// program holding QuikData's write lock now and then, so that the robot's
// rows wait in memory when it is killed, and a run starts while the lock is
// held.
// When the strategy is done the last run handles what is left and is
// stopped with SIGTERM. Then:
// - every alert row committed has exactly one history row (tOrderHistory,
//   client 111), and that row has the terminal's status: nothing lost;
// - the terminal stand-in took exactly one line per alert row over the
//   whole run: nothing doubled. Its output is the ground truth: each line it
//   took is tied to its order by the price and to its history row by the
//   text; the lines of one file generation (the stand-in tells when the file
//   is started anew) are of one series, and a series has one generation;
// - every run after a kill tells that it goes on from where the robot
//   stopped, its place never moves back, nothing is skipped, and no order
//   failure is left without its later handling;
// - the robot ends with code 0 after SIGTERM.
// Each row prints the kills, orders, lost, doubled and the longest delay
// from a row's commit to the terminal taking its line (across one restart,
// across restarts, overall). On a failure the workspace and every program's
// output are kept, with a report of all of it, and the orders concerned are
// told kill by kill. KORVINA_KILL_SEED replays the random choices of a run
// (the seed is printed); the moments themselves follow the programs' timing.

#include "pgserver.h"
#include "workspace.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

const QString bin = QStringLiteral(KORVINA_BIN_DIR);

constexpr int Orders = 150;
constexpr int OrderEveryMs = 200;
constexpr int MinKills = 20;
// A random kill comes within this long of the run's start.
constexpr int RandomKillWithinMs = 1500;
// A run waiting for a line that needs an order is killed anyway this long
// after it began watching.
constexpr int TriggerFallbackMs = 3000;
// The longest any one step may take before the test gives up on it; every
// wait ends as soon as its condition holds.
constexpr int StepMs = 30000;
constexpr int ExitMs = 10000;
// Fill prices 280.00, 280.10, ...: every order's line has a price of its own.
constexpr double FirstPrice = 280.0;
constexpr double PriceStep = 0.1;

const QString Client = QStringLiteral("111");

// Where a run is killed.
enum class KillAt {
    Random,      // at a random moment of its first RandomKillWithinMs
    SentLine,    // right after "Транзакция # N [...] ... отправлена в торговый терминал."
    Answered,    // AnsweredAfterMs after that line: the terminal has answered, the robot not yet read it
    Carrying,    // within 3 ms of "Транзакция # N предыдущих файлов ..." (else when watching starts)
    Handling,    // right after "Обрабатываю ордер # N ..."
    Resuming,    // right after "Загрузка ордеров продолжается после перезапуска ..."
    Interrupted, // within 8 ms of "Предыдущий запуск робота ..." (while the old files are settled)
    Watching,    // right after "Загрузка ордеров включена."
    FilesGone,   // the moment the robot deletes the old result file as it makes the new files
};

// In turn. The kills while the next run settles the old files come after
// kills that leave transactions sent and not yet settled.
const QList<KillAt> KillPlan{KillAt::Random,   KillAt::Answered, KillAt::FilesGone, KillAt::SentLine,    KillAt::Carrying,
                             KillAt::Handling, KillAt::Resuming, KillAt::Answered,  KillAt::Interrupted, KillAt::Watching};
// The terminal stand-in answers a line within its pace (100 ms); the robot
// reads the answers at its next tick (1 s).
constexpr int AnsweredAfterMs = 300;
// Another program holds QuikData's write lock this long (beyond the robot's
// busy timeout of 5 s), then leaves it free this long, over and over.
constexpr int HoldMs = 6000;
constexpr int FreeMs = 2000;

QString nameOf(KillAt k)
{
    switch (k) {
    case KillAt::Random:
        return QStringLiteral("at random");
    case KillAt::SentLine:
        return QStringLiteral("after a transaction sent");
    case KillAt::Answered:
        return QStringLiteral("once the terminal answered a transaction sent");
    case KillAt::Carrying:
        return QStringLiteral("after a transaction carried over");
    case KillAt::Handling:
        return QStringLiteral("after an order taken up");
    case KillAt::Resuming:
        return QStringLiteral("after the resume line");
    case KillAt::Interrupted:
        return QStringLiteral("after the interrupted-run line");
    case KillAt::Watching:
        return QStringLiteral("after watching started");
    case KillAt::FilesGone:
        return QStringLiteral("when the old result file was deleted");
    }
    return {};
}

// A kill after a line comes at once, or within this many microseconds of
// it where the line opens a stretch of a few milliseconds that matters: from
// the interrupted-run line the robot settles the old files, deletes them and
// makes the new ones; from a carried transaction's line it writes that line
// into the new files and stores the new series.
int spreadUs(KillAt k)
{
    switch (k) {
    case KillAt::Interrupted:
        return 8000;
    case KillAt::Carrying:
        return 3000;
    default:
        return 0;
    }
}

const QString WatchingLine = QStringLiteral("Загрузка ордеров включена.");

bool triggers(KillAt k, const QString &t)
{
    switch (k) {
    case KillAt::Random:
    case KillAt::Answered:
        return false;
    case KillAt::SentLine:
        return t.startsWith(QStringLiteral("Транзакция # ")) && t.endsWith(QStringLiteral(" отправлена в торговый терминал."));
    case KillAt::Carrying:
        return t.startsWith(QStringLiteral("Транзакция # ")) && t.contains(QStringLiteral(" предыдущих файлов (серия "));
    case KillAt::Handling:
        return t.startsWith(QStringLiteral("Обрабатываю ордер # "));
    case KillAt::Resuming:
        return t.startsWith(QStringLiteral("Загрузка ордеров продолжается после перезапуска"));
    case KillAt::Interrupted:
        return t.startsWith(QStringLiteral("Предыдущий запуск робота"));
    case KillAt::Watching:
        return t == WatchingLine;
    case KillAt::FilesGone:
        return false;
    }
    return false;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// Kills a process the moment a file of a folder is deleted, from a thread of
// its own (inotify), so that the kill lands within microseconds of the
// robot's unlink rather than after a round through the event loop.
class DeleteWatch {
public:
    DeleteWatch(const QString &folder, const QString &name) : m_name(QFile::encodeName(name))
    {
        m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_fd >= 0 && ::inotify_add_watch(m_fd, QFile::encodeName(folder).constData(), IN_DELETE) < 0) {
            ::close(m_fd);
            m_fd = -1;
        }
        if (m_fd >= 0)
            m_thread = std::thread([this] { loop(); });
    }
    ~DeleteWatch()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool ok() const { return m_fd >= 0; }
    // The next deletion of the file kills pid.
    void arm(qint64 pid)
    {
        m_fired = false;
        m_pid = pid;
    }
    void disarm() { m_pid = 0; }
    bool fired() const { return m_fired; }

private:
    void loop()
    {
        alignas(inotify_event) char buffer[4096];
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            for (ssize_t at = 0; n > 0 && at < n;) {
                const auto *e = reinterpret_cast<const inotify_event *>(buffer + at);
                if (e->len > 0 && m_name == e->name) {
                    const qint64 pid = m_pid.exchange(0);
                    if (pid > 0) {
                        ::kill(static_cast<pid_t>(pid), SIGKILL);
                        m_fired = true;
                    }
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
    }

    QByteArray m_name;
    int m_fd = -1;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_pid{0};
    std::atomic<bool> m_fired{false};
};

// Lines of a process's output as they come, each with the moment it came.
struct Lines {
    QStringList texts;
    QList<qint64> at;
    QByteArray partial;

    // The complete lines in bytes, appended; returns how many came.
    int take(const QByteArray &bytes, qint64 now)
    {
        partial += bytes;
        int n = 0;
        qsizetype end;
        while ((end = partial.indexOf('\n')) >= 0) {
            texts << QString::fromUtf8(partial.left(end));
            at << now;
            partial.remove(0, end + 1);
            ++n;
        }
        return n;
    }
};

// One start of the robot.
struct Run {
    int number = 0;
    std::unique_ptr<QProcess> process;
    Lines out;
    QStringList texts; // the same lines without date and time
    QByteArray err;
    std::optional<KillAt> plan; // none: the run is not killed
    bool armed = false;
    qint64 startedMs = -1;
    qint64 watchingMs = -1;
    qint64 sentMs = -1; // its first transaction sent
    qint64 randomAtMs = -1;
    qint64 killedMs = -1;
    QString killReason;
    bool fellBack = false; // killed without the line it waited for
    bool carryChanceTaken = false;
    QString lastLineBeforeKill;
};

struct Placed {
    qint64 id = 0;
    double fillPrice = 0;
    qint64 committedMs = -1;
};

// A line the terminal stand-in took.
struct Taken {
    int segment = 0; // file generations seen by the stand-in, from 0
    QString text;
    qint64 transId = -1;
    double price = 0;
    qint64 atMs = -1;
};

class KillRig : public QObject {
public:
    KillRig()
    {
        clock.start();
        ws = dir.filePath(QStringLiteral("ws"));
        runDir = dir.filePath(QStringLiteral("run"));
        ini = ws + QStringLiteral("/Korvina.ini");
        quikData = ws + QStringLiteral("/Data/dbQuikData.sqlite");
        alerts = ws + QStringLiteral("/Omega/Alerts11.sqlite");
        trans = ws + QStringLiteral("/Trans");
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        bool ok = false;
        const quint64 given = qEnvironmentVariable("KORVINA_KILL_SEED").toULongLong(&ok);
        seed = ok ? given : static_cast<quint64>(QDateTime::currentMSecsSinceEpoch());
        rng.seed(static_cast<quint32>(seed));
    }

    ~KillRig() override
    {
        stopHolding();
        filesGone.reset();
        std::vector<QProcess *> all{&terminal, &strategy};
        for (const auto &r : runs)
            all.push_back(r->process.get());
        for (QProcess *p : all)
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
    }

    QString makeWorkspace()
    {
        QProcess make;
        QStringList args{QStringLiteral("sample"), ws};
        if (onServer)
            args << QStringLiteral("--quikdata") << quikData << QStringLiteral("--alerts") << alerts;
        make.start(bin + QStringLiteral("/korvina-db"), args);
        if (!make.waitForFinished(30000) || make.exitCode() != 0)
            return QStringLiteral("korvina-db sample failed: ") + QString::fromLocal8Bit(make.readAllStandardError());
        if (!QDir().mkpath(runDir))
            return QStringLiteral("cannot make ") + runDir;
        // One SBER entry per row, each at a price of its own.
        QByteArray text;
        for (int i = 0; i < Orders; ++i) {
            const QString price = QString::number(FirstPrice + i * PriceStep, 'f', 2);
            text += QStringLiteral("%1;FilledOrders;SBER;LE;Buy 100 SBER %2 Market;%2;Demo MA Cross(5,20);C:\\Omega\\Demo.orw;MA;5 min\n")
                        .arg(OrderEveryMs)
                        .arg(price)
                        .toUtf8();
        }
        scenario = dir.filePath(QStringLiteral("kill.scenario"));
        if (!writeFile(scenario, text))
            return QStringLiteral("cannot write ") + scenario;
        filesGone = std::make_unique<DeleteWatch>(trans, QStringLiteral("trans.tro"));
        if (!filesGone->ok())
            return QStringLiteral("cannot watch ") + trans;
        return {};
    }

    // With the link cut now and then, lines wait in the file longer than a
    // restart gives the terminal to answer them: the next run carries them
    // into its new files.
    QString startTerminal(bool linkCut)
    {
        terminal.setProcessEnvironment(env);
        connect(&terminal, &QProcess::readyReadStandardOutput, this, [this] { takeTerminal(); });
        connect(&terminal, &QProcess::readyReadStandardError, this, [this] { terminalErr += terminal.readAllStandardError(); });
        QStringList args{QStringLiteral("--dir"), trans, QStringLiteral("--db"), quikData, QStringLiteral("--pace"), QStringLiteral("100")};
        if (linkCut)
            args << QStringLiteral("--link-cut-every") << QStringLiteral("1") << QStringLiteral("--link-cut-for") << QStringLiteral("4");
        terminal.start(bin + QStringLiteral("/korvina-terminal-sim"), args);
        return terminal.waitForStarted() ? QString() : QStringLiteral("the terminal stand-in did not start");
    }

    void takeTerminal()
    {
        static const QRegularExpression transId(QStringLiteral("^TRANS_ID =(\\d+);"));
        static const QRegularExpression price(QStringLiteral(";PRICE=([0-9.]+);"));
        const int before = static_cast<int>(terminalOut.texts.size());
        terminalOut.take(terminal.readAllStandardOutput(), clock.elapsed());
        for (int i = before; i < terminalOut.texts.size(); ++i) {
            const QString &l = terminalOut.texts[i];
            if (l.startsWith(QStringLiteral("transaction file started anew: "))) {
                ++segment;
                continue;
            }
            if (!l.startsWith(QStringLiteral("<< ")))
                continue;
            Taken t;
            t.segment = segment;
            t.text = l.mid(3);
            t.atMs = terminalOut.at[i];
            const auto m = transId.match(t.text);
            if (m.hasMatch())
                t.transId = m.captured(1).toLongLong();
            const auto p = price.match(t.text);
            if (p.hasMatch())
                t.price = p.captured(1).toDouble();
            taken << t;
        }
    }

    QString startStrategy()
    {
        strategy.setProcessEnvironment(env);
        connect(&strategy, &QProcess::readyReadStandardOutput, this, [this] { takeStrategy(); });
        strategy.start(bin + QStringLiteral("/korvina-strategy-sim"), {QStringLiteral("--alerts"), alerts, QStringLiteral("--scenario"), scenario});
        return strategy.waitForStarted() ? QString() : QStringLiteral("the strategy stand-in did not start");
    }

    // The moment each row is committed is the moment the stand-in prints it.
    void takeStrategy()
    {
        static const QRegularExpression row(QStringLiteral("^FilledOrders ID=(\\d+): SBER LE \"Buy 100 SBER ([0-9.]+) Market\""));
        const int before = static_cast<int>(strategyOut.texts.size());
        strategyOut.take(strategy.readAllStandardOutput(), clock.elapsed());
        for (int i = before; i < strategyOut.texts.size(); ++i) {
            const auto m = row.match(strategyOut.texts[i]);
            if (m.hasMatch())
                placed.append({m.captured(1).toLongLong(), m.captured(2).toDouble(), strategyOut.at[i]});
        }
    }

    bool strategyDone() const { return strategy.state() == QProcess::NotRunning; }

    // Another program takes QuikData's write lock now and then (as a
    // terminal's export may): held for holdMs, free for freeMs, over and
    // over, until stopHolding(). Readers go on meanwhile.
    QString holdNowAndThen(int holdMs, int freeMs)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("holder"));
        db.setDatabaseName(quikData);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        if (!db.open())
            return QStringLiteral("the holder cannot open ") + quikData + QStringLiteral(": ") + db.lastError().text();
        m_holdTimer.setSingleShot(true);
        connect(&m_holdTimer, &QTimer::timeout, this, [this, holdMs, freeMs] {
            QSqlDatabase held = QSqlDatabase::database(QStringLiteral("holder"));
            QSqlQuery q(held);
            m_holding = !m_holding;
            q.exec(m_holding ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("ROLLBACK"));
            if (m_holding)
                ++holds;
            m_holdTimer.start(m_holding ? holdMs : freeMs);
        });
        m_holdTimer.start(0);
        return {};
    }
    void stopHolding()
    {
        m_holdTimer.stop();
        if (!QSqlDatabase::contains(QStringLiteral("holder")))
            return;
        {
            QSqlDatabase held = QSqlDatabase::database(QStringLiteral("holder"));
            if (m_holding)
                QSqlQuery(held).exec(QStringLiteral("ROLLBACK"));
            held.close();
        }
        m_holding = false;
        QSqlDatabase::removeDatabase(QStringLiteral("holder"));
    }
    int holds = 0;

    Run &startRun(std::optional<KillAt> plan)
    {
        auto run = std::make_unique<Run>();
        Run *r = run.get();
        r->number = static_cast<int>(runs.size());
        r->plan = plan;
        r->process = std::make_unique<QProcess>();
        r->process->setWorkingDirectory(runDir);
        r->process->setProcessEnvironment(env);
        connect(r->process.get(), &QProcess::readyReadStandardOutput, this, [this, r] { takeRobot(*r); });
        connect(r->process.get(), &QProcess::readyReadStandardError, this, [r] { r->err += r->process->readAllStandardError(); });
        if (plan && *plan == KillAt::Random)
            r->randomAtMs = clock.elapsed() + rng.bounded(RandomKillWithinMs);
        r->startedMs = clock.elapsed();
        r->process->start(bin + QStringLiteral("/korvina"), {QStringLiteral("--headless"), QStringLiteral("--ini"), ini, QStringLiteral("--watch")});
        if (plan && *plan == KillAt::FilesGone && r->process->waitForStarted())
            filesGone->arm(r->process->processId());
        r->armed = plan.has_value();
        runs.push_back(std::move(run));
        return *r;
    }

    void takeRobot(Run &r)
    {
        static const QRegularExpression stamp(QStringLiteral("^\\d{1,2} [A-Za-z]{3} \\d{4} \\d\\d:\\d\\d:\\d\\d "));
        const int before = static_cast<int>(r.out.texts.size());
        r.out.take(r.process->readAllStandardOutput(), clock.elapsed());
        for (int i = before; i < r.out.texts.size(); ++i) {
            const QString t = QString(r.out.texts[i]).remove(stamp);
            r.texts << t;
            if (t == WatchingLine && r.watchingMs < 0)
                r.watchingMs = r.out.at[i];
            if (r.sentMs < 0 && triggers(KillAt::SentLine, t))
                r.sentMs = r.out.at[i];
            if (!r.armed)
                continue;
            if (triggers(*r.plan, t)) {
                const int spread = spreadUs(*r.plan);
                const int waitedUs = spread > 0 ? static_cast<int>(rng.bounded(spread)) : 0;
                if (waitedUs > 0)
                    QThread::usleep(static_cast<unsigned long>(waitedUs));
                killRun(r, QStringLiteral("%1 us after: ").arg(waitedUs) + t);
            } else if (triggers(KillAt::Carrying, t) && !r.carryChanceTaken) {
                // The carried lines are written into the new files as the
                // run starts: a kill there matters whatever the plan was.
                r.carryChanceTaken = true;
                if (rng.bounded(2) == 0) {
                    r.plan = KillAt::Carrying;
                    const int waitedUs = static_cast<int>(rng.bounded(spreadUs(KillAt::Carrying)));
                    QThread::usleep(static_cast<unsigned long>(waitedUs));
                    killRun(r, QStringLiteral("%1 us after: ").arg(waitedUs) + t);
                }
            } else if (t == WatchingLine
                       && (*r.plan == KillAt::Carrying || *r.plan == KillAt::Resuming || *r.plan == KillAt::Interrupted
                           || *r.plan == KillAt::FilesGone)) {
                // The line it waited for comes before watching starts.
                r.fellBack = true;
                killRun(r, QStringLiteral("right after watching started (no line ") + nameOf(*r.plan) + QStringLiteral(")"));
            }
        }
    }

    // SIGKILL, at once.
    void killRun(Run &r, const QString &reason)
    {
        filesGone->disarm();
        r.armed = false;
        r.process->kill();
        r.killedMs = clock.elapsed();
        r.killReason = reason;
        r.lastLineBeforeKill = r.out.texts.isEmpty() ? QString() : r.out.texts.last();
        killMoments << r.killedMs;
    }

    // Kills that are due by the clock.
    void checkDeadlines(Run &r)
    {
        if (!r.armed)
            return;
        const qint64 now = clock.elapsed();
        if (*r.plan == KillAt::FilesGone && filesGone->fired())
            killRun(r, QStringLiteral("as it deleted ") + trans + QStringLiteral("/trans.tro"));
        else if (*r.plan == KillAt::Answered && r.sentMs >= 0 && now >= r.sentMs + AnsweredAfterMs)
            killRun(r, QStringLiteral("%1 ms after its first transaction sent").arg(now - r.sentMs));
        else if (*r.plan == KillAt::Random && now >= r.randomAtMs)
            killRun(r, QStringLiteral("at random, %1 ms after the start").arg(now - r.startedMs));
        else if ((*r.plan == KillAt::SentLine || *r.plan == KillAt::Answered || *r.plan == KillAt::Handling) && r.watchingMs >= 0
                 && r.sentMs < 0
                 && now - r.watchingMs >= TriggerFallbackMs) {
            r.fellBack = true;
            killRun(r, QStringLiteral("%1 ms after watching started (no line %2)").arg(now - r.watchingMs).arg(nameOf(*r.plan)));
        }
    }

    // The killed run's last words.
    void reap(Run &r)
    {
        r.process->waitForFinished(5000);
        takeRobot(r);
        r.err += r.process->readAllStandardError();
    }

    // SIGTERM to the last run; the time it took to end, -1 when it did not.
    qint64 stopRun(Run &r)
    {
        QElapsedTimer t;
        t.start();
        r.process->terminate();
        if (!r.process->waitForFinished(ExitMs))
            return -1;
        takeRobot(r);
        r.err += r.process->readAllStandardError();
        return t.elapsed();
    }

    void stopTerminal()
    {
        if (terminal.state() == QProcess::NotRunning)
            return;
        terminal.terminate();
        if (!terminal.waitForFinished(ExitMs)) {
            terminal.kill();
            terminal.waitForFinished(5000);
        }
        takeTerminal();
        terminalErr += terminal.readAllStandardError();
    }

    // A statement on QuikData through a connection of the test's own, as
    // another program.
    QList<QVariantMap> query(const QString &sql, QString *error = nullptr) { return queryDatabase(quikData, sql, error); }

    QList<QVariantMap> history(QString *error = nullptr)
    {
        return query(QStringLiteral("SELECT id, session, trans_id, trans_text, id_order, code, status, carried_from, sent_at, result_at "
                                    "FROM tOrderHistory ORDER BY id"),
                     error);
    }

    // Every order placed has a history row of client 111 with a status.
    bool allAnswered()
    {
        QHash<qint64, bool> answered;
        for (const QVariantMap &h : history())
            if (h.value("code").toString() == Client && !h.value("status").isNull())
                answered.insert(h.value("id_order").toLongLong(), true);
        return std::all_of(placed.cbegin(), placed.cend(), [&](const Placed &p) { return answered.contains(p.id); });
    }

    QTemporaryDir dir;
    QString ws, runDir, ini, quikData, alerts, trans, scenario;
    bool onServer = false; // both databases on a PostgreSQL server
    QProcessEnvironment env;
    QElapsedTimer clock;
    quint64 seed = 0;
    QRandomGenerator rng;

    QProcess terminal;
    Lines terminalOut;
    QByteArray terminalErr;
    int segment = 0;
    QList<Taken> taken;

    QProcess strategy;
    Lines strategyOut;
    QList<Placed> placed;

    std::vector<std::unique_ptr<Run>> runs;
    QList<qint64> killMoments;
    std::unique_ptr<DeleteWatch> filesGone;

private:
    QTimer m_holdTimer;
    bool m_holding = false;
};

bool waitFor(const std::function<bool()> &condition, int ms = StepMs)
{
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > ms)
            return condition();
        QTest::qWait(2);
    }
    return true;
}

struct Figures {
    int lost = 0;
    int doubled = 0;
    qint64 longestAcrossRestartMs = -1;    // over orders with a kill between commit and line
    qint64 longestAcrossOneRestartMs = -1; // ... with exactly one
    qint64 longestMs = -1;
};

QString historyText(const QVariantMap &h)
{
    return QStringLiteral("{history id %1: series %2, TRANS_ID %3, order %4, client %5, status %6, carried from %7, sent %8, result %9, text %10}")
        .arg(h.value("id").toString(), h.value("session").toString(), h.value("trans_id").toString(), h.value("id_order").toString(),
             h.value("code").toString(), h.value("status").isNull() ? QStringLiteral("none") : h.value("status").toString(),
             h.value("carried_from").toString(), h.value("sent_at").toString(), h.value("result_at").toString())
        .arg(h.value("trans_text").toString());
}

// Lost and doubled, from the history and from what the terminal took.
QStringList checkOrders(KillRig &rig, const QList<QVariantMap> &history, Figures &figures, QSet<qint64> &concerned)
{
    QStringList problems;
    double slippage = 0;
    for (const QVariantMap &r : rig.query(QStringLiteral("SELECT Slippage FROM tSecCode WHERE SecCode = 'SBER'")))
        slippage = r.isEmpty() ? 0 : r.first().toDouble(); // (a server gives the name in small letters)

    QHash<qint64, int> orderAt;
    for (int i = 0; i < rig.placed.size(); ++i)
        orderAt.insert(rig.placed[i].id, i);

    // The history: one row of client 111 per order, with a status.
    QHash<qint64, QList<QVariantMap>> rowsOf;
    QHash<QPair<qint64, qint64>, int> perNumber; // (series, TRANS_ID) -> rows
    for (const QVariantMap &h : history) {
        const qint64 id = h.value("id_order").toLongLong();
        ++perNumber[{h.value("session").toLongLong(), h.value("trans_id").toLongLong()}];
        if (!orderAt.contains(id) || h.value("code").toString() != Client) {
            problems << QStringLiteral("a history row of no order placed for client %1: %2").arg(Client, historyText(h));
            continue;
        }
        rowsOf[id] << h;
    }
    for (auto it = perNumber.cbegin(); it != perNumber.cend(); ++it)
        if (it.value() > 1)
            problems << QStringLiteral("%1 history rows carry series %2 TRANS_ID %3").arg(it.value()).arg(it.key().first).arg(it.key().second);

    // What the terminal took, each line tied to its order by its price.
    QHash<qint64, QList<const Taken *>> takenOf;
    for (const Taken &t : std::as_const(rig.taken)) {
        if (t.transId < 0) {
            problems << QStringLiteral("the terminal took a line without a TRANS_ID: ") + t.text;
            continue;
        }
        const Placed *best = nullptr;
        double distance = 1e9;
        for (const Placed &p : std::as_const(rig.placed)) {
            const double d = std::abs(p.fillPrice * (1 + slippage / 100) - t.price);
            if (d < distance) {
                distance = d;
                best = &p;
            }
        }
        if (!best || distance > PriceStep / 3) {
            problems << QStringLiteral("the terminal took a line of no order placed: ") + t.text;
            continue;
        }
        takenOf[best->id] << &t;
    }

    // Each line taken is a history row of its order: the row's text, or for
    // a row carried from S:N the text it had as number N of series S. The
    // lines of one file generation are of one series, and a series has one
    // generation: a series in two generations is a series number given to
    // two sets of files. A line whose series cannot be told apart (a row
    // carried under its old number) settles nothing.
    static const QRegularExpression number(QStringLiteral("^TRANS_ID =\\d+;"));
    QHash<int, QSet<qint64>> seriesOf; // generation -> the series every one of its lines can be of
    QSet<int> seen;
    for (auto it = takenOf.cbegin(); it != takenOf.cend(); ++it)
        for (const Taken *t : it.value()) {
            QSet<qint64> can;
            const QString body = QString(t->text).remove(number);
            for (const QVariantMap &h : rowsOf.value(it.key())) {
                const QString text = h.value("trans_text").toString();
                if (text == t->text)
                    can.insert(h.value("session").toLongLong());
                const QString from = h.value("carried_from").toString();
                if (!from.isEmpty() && QString(text).remove(number) == body && from.section(QLatin1Char(':'), 1).toLongLong() == t->transId)
                    can.insert(from.section(QLatin1Char(':'), 0, 0).toLongLong());
            }
            if (can.isEmpty()) {
                concerned.insert(it.key());
                problems << QStringLiteral("order %1: the line the terminal took in file generation %2 is no history row of it: %3")
                                .arg(it.key())
                                .arg(t->segment)
                                .arg(t->text);
                continue;
            }
            if (!seen.contains(t->segment)) {
                seen.insert(t->segment);
                seriesOf.insert(t->segment, can);
            } else {
                seriesOf[t->segment] &= can;
            }
        }
    QHash<qint64, QList<int>> generationsOf;
    for (auto it = seriesOf.cbegin(); it != seriesOf.cend(); ++it) {
        if (it.value().isEmpty())
            problems << QStringLiteral("the lines the terminal took in file generation %1 are rows of different series").arg(it.key());
        else if (it.value().size() == 1)
            generationsOf[*it.value().cbegin()] << it.key();
    }
    for (auto it = generationsOf.cbegin(); it != generationsOf.cend(); ++it)
        if (it.value().size() > 1) {
            QList<int> g = it.value();
            std::sort(g.begin(), g.end());
            QStringList s;
            for (int v : g)
                s << QString::number(v);
            problems << QStringLiteral("series %1 has lines in file generations %2: its number was given to two sets of files")
                            .arg(it.key())
                            .arg(s.join(QStringLiteral(", ")));
        }

    if (rig.taken.size() != rig.placed.size())
        problems << QStringLiteral("the terminal took %1 lines for %2 alert rows").arg(rig.taken.size()).arg(rig.placed.size());

    for (const Placed &p : std::as_const(rig.placed)) {
        const QList<QVariantMap> rows = rowsOf.value(p.id);
        const QList<const Taken *> got = takenOf.value(p.id);
        bool lost = false;
        int extra = 0;
        if (rows.isEmpty()) {
            lost = true;
            problems << QStringLiteral("order %1 has no history row").arg(p.id);
        } else if (rows.size() > 1) {
            extra = std::max<int>(extra, static_cast<int>(rows.size()) - 1);
            problems << QStringLiteral("order %1 has %2 history rows").arg(p.id).arg(rows.size());
        }
        for (const QVariantMap &h : rows)
            if (h.value("status").isNull())
                problems << QStringLiteral("order %1: its history row has no status: %2").arg(p.id).arg(historyText(h));
        if (got.isEmpty()) {
            lost = true;
            problems << QStringLiteral("order %1: the terminal never took its line").arg(p.id);
        } else if (got.size() > 1) {
            extra = std::max<int>(extra, static_cast<int>(got.size()) - 1);
            QStringList lines;
            for (const Taken *t : got)
                lines << QStringLiteral("generation %1 at %2 ms: %3").arg(t->segment).arg(t->atMs).arg(t->text);
            problems << QStringLiteral("order %1: the terminal took %2 lines: %3").arg(p.id).arg(got.size()).arg(lines.join(QStringLiteral(" | ")));
        }
        if (lost || extra > 0 || rows.size() != 1 || rows.first().value("status").isNull())
            concerned.insert(p.id);
        figures.lost += lost ? 1 : 0;
        figures.doubled += extra;

        if (!got.isEmpty() && p.committedMs >= 0) {
            const qint64 first = (*std::min_element(got.cbegin(), got.cend(), [](const Taken *a, const Taken *b) { return a->atMs < b->atMs; }))->atMs;
            const qint64 delay = first - p.committedMs;
            figures.longestMs = std::max(figures.longestMs, delay);
            const auto kills = std::count_if(rig.killMoments.cbegin(), rig.killMoments.cend(),
                                             [&](qint64 k) { return k >= p.committedMs && k <= first; });
            if (kills > 0)
                figures.longestAcrossRestartMs = std::max(figures.longestAcrossRestartMs, delay);
            if (kills == 1)
                figures.longestAcrossOneRestartMs = std::max(figures.longestAcrossOneRestartMs, delay);
        }
    }
    return problems;
}

// Each run after a kill goes on from the stored place, which never moves
// back; an order whose handling failed is handled later; nothing is skipped.
QStringList checkLogs(KillRig &rig)
{
    QStringList problems;
    static const QRegularExpression resumed(QStringLiteral("^Загрузка ордеров продолжается после перезапуска с ордера, следующего за # (\\d+)\\.$"));
    static const QRegularExpression failure(QStringLiteral("^Ошибка при обработке ордера # (\\d+): "));
    // Rows skipped, transactions given up, rows or files not written, a
    // start taken for a clean one, the robot locked out, an order refused.
    const QStringList bad{QStringLiteral(" не загружаются"),
                          QStringLiteral("не отправляются повторно"),
                          QStringLiteral("позже окна продолжения"),
                          QStringLiteral("Предыдущий запуск робота завершен штатно."),
                          QStringLiteral(" не записана в историю"),
                          QStringLiteral(" не записан в журнал"),
                          QStringLiteral("Запись о транзакции не сохранена"),
                          QStringLiteral("История транзакций не читается"),
                          QStringLiteral("Журнал транзакций не перенесен"),
                          QStringLiteral("Состояние робота в базе данных"),
                          QStringLiteral("При создании файлов транзакций"),
                          QStringLiteral("Транзакции не были записаны"),
                          QStringLiteral("уже используется другим роботом"),
                          QStringLiteral(" отвергнута, статус "),
                          QStringLiteral(" не прошел фильтры"),
                          QStringLiteral(" отклонен: "),
                          QStringLiteral("При завершении работы не")};
    qint64 place = -1;
    for (const auto &run : rig.runs) {
        const Run &r = *run;
        const QStringList &t = r.texts;
        for (int i = 0; i < t.size(); ++i) {
            for (const QString &b : bad)
                if (t[i].contains(b))
                    problems << QStringLiteral("run %1 logs: %2").arg(r.number).arg(t[i]);
            const auto f = failure.match(t[i]);
            if (!f.hasMatch())
                continue;
            // Handled again later in this run, or, the run killed before
            // that, taken again by a later one.
            const QString id = f.captured(1);
            bool handled = t[i].endsWith(QStringLiteral(" Ордер будет обработан повторно."))
                && t.mid(i + 1).contains(QStringLiteral("Ордер # ") + id + QStringLiteral(" обработан повторно."));
            if (!handled && r.killedMs >= 0 && t[i].endsWith(QStringLiteral(" Ордер будет обработан повторно.")))
                for (const auto &later : rig.runs)
                    handled = handled
                        || (later->number > r.number && later->texts.contains(QStringLiteral("Ордер # ") + id + QStringLiteral(" взят после перезапуска робота.")));
            if (!handled)
                problems << QStringLiteral("run %1: left without a later handling: %2").arg(r.number).arg(t[i]);
        }
        if (r.number == 0)
            continue;
        // Every run follows a kill.
        const bool interrupted = std::any_of(t.cbegin(), t.cend(), [](const QString &l) {
            return l.startsWith(QStringLiteral("Предыдущий запуск робота прерван "))
                && l.endsWith(QStringLiteral(" без штатного завершения: работа продолжается с места остановки."));
        });
        qint64 from = -1;
        for (const QString &l : t) {
            const auto m = resumed.match(l);
            if (m.hasMatch())
                from = m.captured(1).toLongLong();
        }
        if (r.watchingMs >= 0 && (!interrupted || from < 0))
            problems << QStringLiteral("run %1 started watching without going on from where run %2 was killed (%3)")
                            .arg(r.number)
                            .arg(r.number - 1)
                            .arg(rig.runs[r.number - 1]->killReason);
        if (from >= 0) {
            if (from < place)
                problems << QStringLiteral("run %1 goes on after order %2, run before it after %3: the place moved back")
                                .arg(r.number)
                                .arg(from)
                                .arg(place);
            place = std::max(place, from);
        }
    }
    for (const auto &run : rig.runs)
        if (!run->err.trimmed().isEmpty())
            problems << QStringLiteral("run %1 on stderr: %2").arg(run->number).arg(QString::fromLocal8Bit(run->err).trimmed());
    return problems;
}

// Everything seen, for the report of a failure: each run with its kill,
// the stand-ins' output, the history.
void writeReport(KillRig &rig, const QList<QVariantMap> &history, const QString &path)
{
    QString text;
    text += QStringLiteral("seed %1\n").arg(rig.seed);
    for (const auto &run : rig.runs) {
        const Run &r = *run;
        text += QStringLiteral("==== run %1, started at %2 ms, plan %3, killed at %4 ms (%5)\n")
                    .arg(r.number)
                    .arg(r.startedMs)
                    .arg(r.plan ? nameOf(*r.plan) : QStringLiteral("none"))
                    .arg(r.killedMs)
                    .arg(r.killReason);
        for (int i = 0; i < r.out.texts.size(); ++i)
            text += QStringLiteral("%1 ms  %2\n").arg(r.out.at[i], 6).arg(r.out.texts[i]);
        if (!r.err.isEmpty())
            text += QStringLiteral("stderr: ") + QString::fromLocal8Bit(r.err) + QLatin1Char('\n');
    }
    text += QStringLiteral("==== terminal stand-in\n");
    for (int i = 0; i < rig.terminalOut.texts.size(); ++i)
        text += QStringLiteral("%1 ms  %2\n").arg(rig.terminalOut.at[i], 6).arg(rig.terminalOut.texts[i]);
    text += QString::fromLocal8Bit(rig.terminalErr);
    text += QStringLiteral("==== strategy stand-in\n");
    for (int i = 0; i < rig.strategyOut.texts.size(); ++i)
        text += QStringLiteral("%1 ms  %2\n").arg(rig.strategyOut.at[i], 6).arg(rig.strategyOut.texts[i]);
    text += QStringLiteral("==== tOrderHistory\n");
    for (const QVariantMap &h : history)
        text += historyText(h) + QLatin1Char('\n');
    writeFile(path, text.toUtf8());
}

// What the report of a failure says about the orders that went wrong: their
// history rows, the lines the terminal took for them, and, run by run from
// their commit to the last line taken, what the robot logged about them (the
// order, its transaction by its price, that transaction carried under its
// next number) and where each run was killed.
QString aboutConcerned(KillRig &rig, const QList<QVariantMap> &history, const QSet<qint64> &concerned)
{
    static const QRegularExpression priceItem(QStringLiteral(";PRICE=([0-9.]+);"));
    static const QRegularExpression carried(QStringLiteral("^Транзакция # (\\d+) предыдущих файлов .* под номером (\\d+)\\.$"));
    static const QRegularExpression sent(QStringLiteral("^Транзакция # (\\d+) \\["));
    QStringList out;
    QList<qint64> ids(concerned.cbegin(), concerned.cend());
    std::sort(ids.begin(), ids.end());
    constexpr int Shown = 5;
    if (ids.size() > Shown) {
        out << QStringLiteral("(the first %1 of %2 orders; the report holds everything)").arg(Shown).arg(ids.size());
        ids.resize(Shown);
    }
    for (qint64 id : std::as_const(ids)) {
        const auto p = std::find_if(rig.placed.cbegin(), rig.placed.cend(), [&](const Placed &x) { return x.id == id; });
        const qint64 committed = p == rig.placed.cend() ? 0 : p->committedMs;
        out << QStringLiteral("---- order %1 (fill price %2, committed at %3 ms)").arg(id).arg(p == rig.placed.cend() ? 0 : p->fillPrice).arg(committed);
        QString price;
        for (const QVariantMap &h : history)
            if (h.value("id_order").toLongLong() == id) {
                out << historyText(h);
                price = priceItem.match(h.value("trans_text").toString()).captured(1);
            }
        qint64 last = committed + 10000;
        if (!price.isEmpty()) {
            last = committed;
            for (const Taken &t : std::as_const(rig.taken))
                if (priceItem.match(t.text).captured(1) == price) {
                    out << QStringLiteral("the terminal took at %1 ms (file generation %2): %3").arg(t.atMs).arg(t.segment).arg(t.text);
                    last = std::max(last, t.atMs);
                }
        }
        const QString mentioned = QStringLiteral("рдер # ") + QString::number(id) + QLatin1Char(' ');
        const QString at = QStringLiteral(" at ") + price + QLatin1Char(']');
        qint64 number = -1; // the order's transaction number in the run at hand
        for (const auto &run : rig.runs) {
            const Run &r = *run;
            if ((r.killedMs >= 0 && r.killedMs < committed) || r.startedMs > last)
                continue;
            bool carriedHere = false;
            for (int i = 0; i < r.texts.size(); ++i) {
                const QString &t = r.texts[i];
                bool mine = t.contains(mentioned);
                const auto c = carried.match(t);
                if (c.hasMatch() && number >= 0 && !carriedHere && c.captured(1).toLongLong() == number) {
                    mine = true;
                    carriedHere = true;
                    number = c.captured(2).toLongLong();
                }
                const auto s = sent.match(t);
                if (s.hasMatch() && !price.isEmpty() && t.contains(at)) {
                    mine = true;
                    number = s.captured(1).toLongLong();
                }
                if (mine)
                    out << QStringLiteral("run %1 at %2 ms: %3").arg(r.number).arg(r.out.at.value(i)).arg(t);
            }
            if (r.killedMs >= 0)
                out << QStringLiteral("run %1 killed at %2 ms (%3); the last line it printed before: %4")
                           .arg(r.number)
                           .arg(r.killedMs)
                           .arg(r.killReason, r.lastLineBeforeKill);
        }
    }
    return out.join(QLatin1Char('\n'));
}

#define CHECK(expr)                                         \
    do {                                                    \
        const QString problem_ = (expr);                    \
        QVERIFY2(problem_.isEmpty(), qPrintable(problem_)); \
    } while (false)

} // namespace

class TestKillRestart : public QObject {
    Q_OBJECT

private slots:
    void killedOverAndOverNothingLostNothingDoubled_data();
    void killedOverAndOverNothingLostNothingDoubled();

private:
    std::unique_ptr<PgServer> m_server;
};

void TestKillRestart::killedOverAndOverNothingLostNothingDoubled_data()
{
    QTest::addColumn<bool>("linkCut");
    QTest::addColumn<bool>("quikDataHeld");
    QTest::addColumn<bool>("onServer");
    QTest::newRow("terminal answering at once") << false << false << false;
    QTest::newRow("terminal's link cut now and then") << true << false << false;
    // The robot is killed, and started again, while another program holds
    // QuikData's write lock: its rows wait in memory, so no line may go out
    // before they are written, and a start must wait for them to be.
    QTest::newRow("QuikData held by another program now and then") << false << true << false;
    // Both databases on a PostgreSQL server, the terminal's link cut now
    // and then.
    QTest::newRow("databases on a PostgreSQL server") << true << false << true;
}

void TestKillRestart::killedOverAndOverNothingLostNothingDoubled()
{
    QFETCH(bool, linkCut);
    QFETCH(bool, quikDataHeld);
    QFETCH(bool, onServer);
    QElapsedTimer took;
    took.start();
    KillRig rig;
    QVERIFY(rig.dir.isValid());
    if (onServer) {
        if (const QString why = PgServer::missing(); !why.isEmpty())
            QSKIP(qPrintable(why));
        if (!m_server) {
            m_server = std::make_unique<PgServer>();
            QVERIFY2(m_server->start(), qPrintable(m_server->error()));
        }
        rig.onServer = true;
        rig.quikData = m_server->createDatabase(QStringLiteral("kill_quik"));
        rig.alerts = m_server->createDatabase(QStringLiteral("kill_alerts"));
        QVERIFY2(!rig.quikData.isEmpty() && !rig.alerts.isEmpty(), qPrintable(m_server->error()));
    }
    CHECK(rig.makeWorkspace());
    CHECK(rig.startTerminal(linkCut));

    // The first run is watching before the first order comes.
    Run *run = &rig.startRun(std::nullopt);
    QVERIFY2(waitFor([&] { return run->watchingMs >= 0 || run->process->state() == QProcess::NotRunning; }) && run->watchingMs >= 0,
             qPrintable(QStringLiteral("the robot did not start watching:\n") + run->out.texts.join('\n') + QString::fromLocal8Bit(run->err)));
    CHECK(rig.startStrategy());
    if (quikDataHeld)
        CHECK(rig.holdNowAndThen(HoldMs, FreeMs));
    run->plan = KillPlan[0];
    run->randomAtMs = rig.clock.elapsed() + rig.rng.bounded(RandomKillWithinMs);
    run->armed = true;

    // Killed while the orders come (and, should the strategy be done
    // sooner, until there were enough kills), started again at once.
    QStringList problems;
    int kills = 0;
    const qint64 limitMs = rig.clock.elapsed() + Orders * OrderEveryMs + 60000;
    while (true) {
        QTest::qWait(2);
        rig.checkDeadlines(*run);
        if (run->killedMs < 0) {
            if (run->process->state() == QProcess::NotRunning) {
                rig.reap(*run);
                problems << QStringLiteral("run %1 ended by itself with code %2").arg(run->number).arg(run->process->exitCode());
                break;
            }
            if (rig.clock.elapsed() > limitMs) {
                problems << QStringLiteral("the kills did not end in time");
                break;
            }
            continue;
        }
        rig.reap(*run);
        ++kills;
        const bool enough = rig.strategyDone() && kills >= MinKills;
        run = &rig.startRun(enough ? std::nullopt : std::optional<KillAt>(KillPlan[kills % KillPlan.size()]));
        if (!run->process->waitForStarted()) {
            problems << QStringLiteral("run %1 did not start").arg(run->number);
            break;
        }
        if (enough)
            break;
    }
    QVERIFY2(rig.strategyDone() || waitFor([&] { return rig.strategyDone(); }), "the strategy stand-in did not end");
    rig.stopHolding();
    rig.takeStrategy();
    QVERIFY2(rig.strategy.exitCode() == 0 && rig.placed.size() == Orders,
             qPrintable(QStringLiteral("the strategy stand-in added %1 of %2 rows: %3")
                            .arg(rig.placed.size())
                            .arg(Orders)
                            .arg(QString::fromLocal8Bit(rig.strategy.readAllStandardError()))));

    // The last run handles what is left: every order has its history row
    // with the terminal's status. A moment more lets anything still on its
    // way show.
    if (problems.isEmpty() && !waitFor([&] { return rig.allAnswered(); }))
        problems << QStringLiteral("not every order was handled and answered within %1 s of the last start").arg(StepMs / 1000);
    QTest::qWait(1500);
    const qint64 exitMs = rig.stopRun(*run);
    if (exitMs < 0)
        problems << QStringLiteral("the last run did not end within %1 ms of SIGTERM").arg(ExitMs);
    else if (run->process->exitStatus() != QProcess::NormalExit || run->process->exitCode() != 0)
        problems << QStringLiteral("the last run ended with code %1").arg(run->process->exitCode());
    rig.stopTerminal();

    QString error;
    const QList<QVariantMap> history = rig.history(&error);
    QVERIFY2(error.isEmpty(), qPrintable(QStringLiteral("tOrderHistory cannot be read: ") + error));
    Figures figures;
    QSet<qint64> concerned;
    problems << checkOrders(rig, history, figures, concerned) << checkLogs(rig);

    QStringList plans;
    for (const auto &r : rig.runs)
        if (r->killedMs >= 0)
            plans << (r->fellBack ? QStringLiteral("waited in vain ") : QString()) + nameOf(*r->plan);
    qInfo().noquote() << QStringLiteral("%1: %2 kills, %3 orders (%4 lines taken by the terminal), %5 lost, %6 doubled; longest delay "
                                        "from a row's commit to the terminal taking its line: %7 ms across one restart, %8 ms across "
                                        "restarts, %9 ms overall; last run ended %10 ms after SIGTERM; %11 s in all; seed %12")
                             .arg(QString::fromLatin1(QTest::currentDataTag()))
                             .arg(kills)
                             .arg(rig.placed.size())
                             .arg(rig.taken.size())
                             .arg(figures.lost)
                             .arg(figures.doubled)
                             .arg(figures.longestAcrossOneRestartMs)
                             .arg(figures.longestAcrossRestartMs)
                             .arg(figures.longestMs)
                             .arg(exitMs)
                             .arg(took.elapsed() / 1000.0, 0, 'f', 1)
                             .arg(rig.seed)
                         + (quikDataHeld ? QStringLiteral("; QuikData held %1 times").arg(rig.holds) : QString());
    QMap<QString, int> byKind;
    for (const QString &p : std::as_const(plans))
        ++byKind[p];
    QStringList kinds;
    for (auto it = byKind.cbegin(); it != byKind.cend(); ++it)
        kinds << QStringLiteral("%1: %2").arg(it.key()).arg(it.value());
    qInfo().noquote() << QStringLiteral("kills: ") + kinds.join(QStringLiteral("; "));

    if (kills < MinKills)
        problems << QStringLiteral("only %1 kills").arg(kills);
    if (!problems.isEmpty()) {
        rig.dir.setAutoRemove(false);
        const QString report = rig.dir.filePath(QStringLiteral("report.txt"));
        writeReport(rig, history, report);
        QFAIL(qPrintable(problems.join('\n') + QStringLiteral("\n---- the orders concerned:\n") + aboutConcerned(rig, history, concerned)
                         + QStringLiteral("\n---- everything seen: ") + report));
    }
}

QTEST_GUILESS_MAIN(TestKillRestart)
#include "tst_killrestart.moc"
