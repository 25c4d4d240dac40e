// The fault matrix: the real programs on a fresh sample workspace (the robot
// headless and watching, the terminal stand-in answering its files, the
// strategy stand-in filling orders, a loopback mail server), one fault per
// row, the same orders in every row: two entries, one entry filled while the
// fault is on, two exits. Each row waits until every order is handled, ends
// the robot with SIGTERM and checks that
// - no order is lost or doubled: every (alert row, follower) has exactly one
//   line in the ".tri" files, every journal row exactly one line and every
//   line one journal row;
// - the book holds exactly the entries not exited (none when the terminal
//   refused them), and exits are sized on what is really held;
// - each result is logged once, the journal ends with the final status;
// - the log file holds every line the robot logged, once, in order, and
//   tells the fault;
// - the user's files in the working directory and the workspace are intact;
// - the robot ends with code 0 within seconds of SIGTERM.
// Each row prints the orders placed, lost and doubled and the longest delay
// from a row's commit to its line in the ".tri" file.

#include "config/textcodec.h"
#include "smtpserver.h"

#include "workspace.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

const QString bin = QStringLiteral(KORVINA_BIN_DIR);

enum Fault {
    NoFault,
    HungMailServer,
    DeadMailServer,
    TerminalRefusesAll,
    JournalUpdateFails,
    DiskFull,
    QuikDataHeld,
    SecondRobot,
    EmptyFolderSetting,
};

// The longest any one step may take before the row fails; every wait ends
// as soon as its condition holds.
constexpr int StepMs = 30000;
// The robot ends within this long of SIGTERM (the mail queue alone may take
// about 3 s of it).
constexpr int ExitMs = 10000;
// Another program holds QuikData's write lock at least this long: longer
// than the robot's busy timeout (5 s).
constexpr int HoldMs = 8000;

struct Order {
    QString symbol;
    QString type; // LE or LX
    int shares;   // the strategy's quantity
    double price;
    int delayMs;  // after the previous row of its batch
};

bool isEntry(const QString &type) { return type == QLatin1String("LE") || type == QLatin1String("SE"); }
bool isBuy(const QString &type) { return type == QLatin1String("LE") || type == QLatin1String("SX"); }

// Exits sell fewer shares than the entries bought: an exit sized on the book
// (the entry's lots) and one sized by the rule (its own shares / lot size)
// differ.
const QList<Order> Entries{{"SBER", "LE", 100, 285.15, 300}, {"GAZP", "LE", 50, 160.25, 500}};
const QList<Order> WhileFaulty{{"LKOH", "LE", 2, 6851.5, 300}};
const QList<Order> Exits{{"SBER", "LX", 50, 285.10, 400}, {"GAZP", "LX", 30, 160.20, 700}};

// The orders filled while the disk is full. A full disk still takes what
// fits in the page (4 KiB) a file has begun, so the burst writes more than a
// page to the ".tri" file (29 lines of about 160 bytes) and to the log: both
// run into the full disk whatever their size. The pairs leave one LKOH entry
// open, as in the other rows.
QList<Order> burst()
{
    QList<Order> orders;
    for (int i = 0; i < 14; ++i)
        orders << Order{"LKOH", "LE", 2, 6851.5, i == 0 ? 300 : 0} << Order{"LKOH", "LX", 2, 6850.5, 0};
    orders << Order{"LKOH", "LE", 2, 6851.5, 0};
    return orders;
}

struct Follower {
    QString code;
    QString file; // base name of its terminal's ".tri" file
};

// Who follows a stock order of the demo strategy in the sample workspace:
// the single account, or in MULTI mode the active clients allowed on the
// stock market (10003 does not follow the robot, 20002 trades futures only),
// each in its terminal's file.
QList<Follower> followers(bool multi)
{
    if (!multi)
        return {{"111", "trans"}};
    return {{"10001", "QUIK1"}, {"10002", "QUIK1"}, {"20001", "QUIK2"}};
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

bool waitFor(const std::function<bool()> &condition, int ms = StepMs)
{
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > ms)
            return condition();
        QTest::qWait(10);
    }
    return true;
}

// Replaces (or adds) one key of the Windows-1251, CR LF settings file,
// keeping every other line as it is. Sections and keys match without case.
bool setIniValue(const QString &path, const QString &section, const QString &key, const QString &value)
{
    QStringList lines = cp1251::decode(readAll(path)).split(QStringLiteral("\r\n"));
    const QString entry = key + QLatin1Char('=') + value;
    int sectionAt = -1;
    for (int i = 0; i < lines.size(); ++i) {
        const QString t = lines[i].trimmed();
        if (t.startsWith(QLatin1Char('['))) {
            if (sectionAt >= 0) {
                lines.insert(i, entry);
                return writeFile(path, cp1251::encode(lines.join(QStringLiteral("\r\n"))));
            }
            if (t.compare(QLatin1Char('[') + section + QLatin1Char(']'), Qt::CaseInsensitive) == 0)
                sectionAt = i;
            continue;
        }
        if (sectionAt >= 0 && t.section(QLatin1Char('='), 0, 0).trimmed().compare(key, Qt::CaseInsensitive) == 0) {
            lines[i] = entry;
            return writeFile(path, cp1251::encode(lines.join(QStringLiteral("\r\n"))));
        }
    }
    if (sectionAt < 0)
        lines << QLatin1Char('[') + section + QLatin1Char(']');
    lines << entry << QString();
    return writeFile(path, cp1251::encode(lines.join(QStringLiteral("\r\n"))));
}

// A port nothing listens on.
quint16 deadPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

// One line of a ".tri" file, its items by key.
struct TriLine {
    QString file;
    qint64 transId = -1;
    QHash<QString, QString> items;
    QString text;
};

// Watches the ".tri" files every few milliseconds: when each TRANS_ID's line
// first appeared whole.
class TriWatch : public QObject {
public:
    explicit TriWatch(const QElapsedTimer &clock) : m_clock(clock)
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, &TriWatch::poll);
    }
    void start(const QStringList &paths)
    {
        for (const QString &p : paths)
            m_files.append({p, 0, {}});
        poll();
        m_timer.start(3);
    }
    void poll()
    {
        static const QRegularExpression transId(QStringLiteral("^TRANS_ID =(\\d+);"));
        for (File &f : m_files) {
            QFile file(f.path);
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const qint64 size = file.size();
            if (size < f.offset) {
                problems << QStringLiteral("%1 shrank from %2 to %3 bytes").arg(f.path).arg(f.offset).arg(size);
                f.offset = 0;
                f.tail.clear();
            }
            if (size == f.offset)
                continue;
            file.seek(f.offset);
            const QByteArray bytes = file.read(size - f.offset);
            f.offset += bytes.size();
            f.tail += bytes;
            const qint64 now = m_clock.elapsed();
            qsizetype end;
            while ((end = f.tail.indexOf("\r\n")) >= 0) {
                const auto m = transId.match(QString::fromLatin1(f.tail.left(end)));
                if (m.hasMatch() && !seenAt.contains(m.captured(1).toLongLong()))
                    seenAt.insert(m.captured(1).toLongLong(), now);
                f.tail.remove(0, end + 2);
            }
        }
    }
    QHash<qint64, qint64> seenAt; // TRANS_ID -> ms on the clock
    QStringList problems;

private:
    struct File {
        QString path;
        qint64 offset;
        QByteArray tail;
    };
    const QElapsedTimer &m_clock;
    QList<File> m_files;
    QTimer m_timer;
};

// A robot process and everything it printed.
struct RobotProcess {
    QProcess process;
    QByteArray err;
    QStringList raw;   // stdout lines as printed
    QStringList texts; // the same without date and time
    QByteArray partial;

    void take(const QByteArray &bytes)
    {
        static const QRegularExpression stamp(QStringLiteral("^\\d{1,2} [A-Za-z]{3} \\d{4} \\d\\d:\\d\\d:\\d\\d "));
        partial += bytes;
        qsizetype end;
        while ((end = partial.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(partial.left(end));
            partial.remove(0, end + 1);
            raw << line;
            texts << QString(line).remove(stamp);
        }
    }
};

struct Placed {
    qint64 id = 0;
    Order order;
    qint64 committedMs = -1;
};

class Rig : public QObject {
public:
    explicit Rig(bool multi) : multi(multi), watch(clock)
    {
        clock.start();
        ws = dir.filePath(QStringLiteral("ws"));
        run = dir.filePath(QStringLiteral("run"));
        ini = ws + QStringLiteral("/Korvina.ini");
        quikData = ws + QStringLiteral("/Data/dbQuikData.sqlite");
        alerts = ws + QStringLiteral("/Omega/Alerts11.sqlite");
        trans = ws + QStringLiteral("/Trans");
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    }

    ~Rig() override
    {
        stopAll();
        if (mounted) {
            if (QProcess::execute(QStringLiteral("umount"), {run}) != 0)
                QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), run});
        }
        for (const QString &name : std::as_const(m_connections))
            QSqlDatabase::removeDatabase(name);
    }

    QString makeWorkspace()
    {
        QProcess make;
        make.start(bin + QStringLiteral("/korvina-db"), {QStringLiteral("sample"), ws});
        if (!make.waitForFinished(30000) || make.exitCode() != 0)
            return QStringLiteral("korvina-db sample failed: ") + QString::fromLocal8Bit(make.readAllStandardError());
        if (!QDir().mkpath(run) || !QDir().mkpath(dir.filePath(QStringLiteral("scenarios"))))
            return QStringLiteral("cannot make the folders");
        if (multi && !setIniValue(ini, QStringLiteral("Position"), QStringLiteral("rgpSingleMulti"), QStringLiteral("1")))
            return QStringLiteral("cannot edit ") + ini;
        return {};
    }

    bool setIni(const QString &section, const QString &key, const QString &value)
    {
        return setIniValue(ini, section, key, value);
    }

    // The working directory becomes a small file system of its own that
    // holds the log and the transaction files. Returns what went wrong.
    QString mountRunFolder()
    {
        QProcess mount;
        mount.start(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                              QStringLiteral("size=512k,mode=0755"), QStringLiteral("tmpfs"), run});
        if (!mount.waitForFinished(10000) || mount.exitStatus() != QProcess::NormalExit || mount.exitCode() != 0)
            return QString::fromLocal8Bit(mount.readAllStandardError()).trimmed() + mount.errorString();
        mounted = true;
        trans = run + QStringLiteral("/Trans");
        if (!QDir().mkpath(trans) || !setIni(QStringLiteral("Quik"), QStringLiteral("dirTT"), trans))
            return QStringLiteral("cannot use the mounted folder ") + run;
        return {};
    }

    // Files of the user's beside the robot's: in the working directory (one
    // named like a transaction file) and in the workspace.
    QHash<QString, QByteArray> userFiles() const
    {
        return {{run + QStringLiteral("/notes.txt"), QByteArray("my notes\r\n") + cp1251::encode(QStringLiteral("заметки\r\n"))},
                {run + QStringLiteral("/trans.tri"), QByteArray("mine")},
                {ws + QStringLiteral("/portfolio.xls"), QByteArray("\xd0\xcf\x11\xe0 my portfolio", 17)}};
    }

    QString placeUserFiles()
    {
        const auto files = userFiles();
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            if (!writeFile(it.key(), it.value()))
                return QStringLiteral("cannot write ") + it.key();
        return {};
    }

    QString triPath(const QString &base) const { return trans + QLatin1Char('/') + base + QStringLiteral(".tri"); }

    QStringList triFiles() const
    {
        QStringList files;
        for (const Follower &f : followers(multi))
            if (!files.contains(triPath(f.file)))
                files << triPath(f.file);
        return files;
    }

    void startRobotProcess(RobotProcess &r)
    {
        r.process.setWorkingDirectory(run);
        r.process.setProcessEnvironment(env);
        connect(&r.process, &QProcess::readyReadStandardOutput, this, [&r] { r.take(r.process.readAllStandardOutput()); });
        connect(&r.process, &QProcess::readyReadStandardError, this, [&r] { r.err += r.process.readAllStandardError(); });
        r.process.start(bin + QStringLiteral("/korvina"), {QStringLiteral("--headless"), QStringLiteral("--ini"), ini, QStringLiteral("--watch")});
    }

    QString startRobot()
    {
        startRobotProcess(robot);
        if (!robot.process.waitForStarted())
            return QStringLiteral("the robot did not start");
        if (!waitFor([&] { return robot.texts.contains(QStringLiteral("Загрузка ордеров включена.")); }))
            return QStringLiteral("the robot did not start watching:\n") + robot.raw.join('\n') + QString::fromLocal8Bit(robot.err);
        watch.start(triFiles());
        return {};
    }

    QString startTerminals(bool refuseAll)
    {
        const QList<int> numbers = multi ? QList<int>{1, 2} : QList<int>{0};
        for (int n : numbers) {
            auto p = std::make_unique<QProcess>();
            p->setProcessEnvironment(env);
            p->setStandardOutputFile(dir.filePath(QStringLiteral("terminal%1.out").arg(n)));
            p->setStandardErrorFile(dir.filePath(QStringLiteral("terminal%1.err").arg(n)));
            QStringList args{QStringLiteral("--dir"), trans, QStringLiteral("--db"), quikData, QStringLiteral("--terminal"),
                             QString::number(n), QStringLiteral("--pace"), QStringLiteral("100"), QStringLiteral("--quiet")};
            if (refuseAll)
                args << QStringLiteral("--reject-share") << QStringLiteral("1");
            p->start(bin + QStringLiteral("/korvina-terminal-sim"), args);
            if (!p->waitForStarted())
                return QStringLiteral("the terminal stand-in did not start");
            terminals.push_back(std::move(p));
        }
        return {};
    }

    // The strategy fills the orders, each after its delay; the moment each
    // row is committed is taken from the stand-in's output.
    QString fill(const QList<Order> &orders)
    {
        const QString scenario = dir.filePath(QStringLiteral("scenarios/%1.scenario").arg(++m_batches));
        QByteArray text;
        for (const Order &o : orders)
            text += QStringLiteral("%1;FilledOrders;%2;%3;%4 %5 %2 %6 Market;%6;Demo MA Cross(5,20);C:\\Omega\\Demo.orw;MA;5 min\n")
                        .arg(o.delayMs)
                        .arg(o.symbol, o.type, isBuy(o.type) ? QStringLiteral("Buy") : QStringLiteral("Sell"))
                        .arg(o.shares)
                        .arg(QString::number(o.price))
                        .toUtf8();
        if (!writeFile(scenario, text))
            return QStringLiteral("cannot write ") + scenario;
        QProcess strategy;
        strategy.setProcessEnvironment(env);
        const int first = static_cast<int>(placed.size());
        for (const Order &o : orders)
            placed.append({0, o, -1});
        int printed = 0;
        QByteArray pending;
        static const QRegularExpression row(QStringLiteral("^FilledOrders ID=(\\d+): "));
        auto take = [&] {
            const qint64 now = clock.elapsed();
            pending += strategy.readAllStandardOutput();
            qsizetype end;
            while ((end = pending.indexOf('\n')) >= 0) {
                const auto m = row.match(QString::fromUtf8(pending.left(end)));
                pending.remove(0, end + 1);
                if (m.hasMatch() && printed < orders.size()) {
                    Placed &p = placed[first + printed++];
                    p.id = m.captured(1).toLongLong();
                    p.committedMs = now;
                }
            }
        };
        connect(&strategy, &QProcess::readyReadStandardOutput, this, take);
        strategy.start(bin + QStringLiteral("/korvina-strategy-sim"), {QStringLiteral("--alerts"), alerts, QStringLiteral("--scenario"), scenario});
        const bool done = waitFor([&] { return strategy.state() == QProcess::NotRunning; });
        if (!done) {
            strategy.kill();
            strategy.waitForFinished(5000);
        }
        strategy.disconnect(this);
        take();
        if (!done || strategy.exitCode() != 0 || printed != orders.size())
            return QStringLiteral("the strategy stand-in added %1 of %2 rows: ").arg(printed).arg(orders.size())
                + QString::fromLocal8Bit(strategy.readAllStandardError());
        return {};
    }

    // One transaction per order and follower; when the terminal refuses
    // every entry, the exits have nothing to close and send nothing.
    int expectedTransactions() const
    {
        const auto orders = refusing ? std::count_if(placed.cbegin(), placed.cend(), [](const Placed &p) { return isEntry(p.order.type); })
                                     : placed.size();
        return static_cast<int>(orders * followers(multi).size());
    }
    bool refusing = false; // the terminal refuses every transaction

    // Numbers of the transactions the robot logged as handed to a terminal,
    // with the bracketed description the notification repeats.
    QMap<qint64, QString> dispatched() const
    {
        static const QRegularExpression sent(QStringLiteral("^Транзакция # (\\d+)( \\[.*\\] ) по счету \\S+ отправлена в торговый терминал\\.$"));
        QMap<qint64, QString> out;
        for (const QString &t : robot.texts) {
            const auto m = sent.match(t);
            if (m.hasMatch())
                out.insert(m.captured(1).toLongLong(), m.captured(2));
        }
        return out;
    }

    int count(const QString &text) const { return static_cast<int>(robot.texts.count(text)); }
    int countStarting(const QString &prefix) const
    {
        return static_cast<int>(std::count_if(robot.texts.cbegin(), robot.texts.cend(), [&](const QString &t) { return t.startsWith(prefix); }));
    }
    bool logged(const QString &part) const
    {
        return std::any_of(robot.texts.cbegin(), robot.texts.cend(), [&](const QString &t) { return t.contains(part); });
    }

    bool hasFinalResult(qint64 n) const
    {
        const QString number = QStringLiteral("Транзакция номер ") + QString::number(n);
        return count(number + QStringLiteral(" успешно выполнена.")) > 0 || countStarting(number + QStringLiteral(" отвергнута, статус ")) > 0;
    }

    // Every order placed so far has all its transactions handed to the
    // terminals (and, with results, every one of them has its final result).
    QString waitHandled(bool results)
    {
        const bool ok = waitFor([&] {
            const auto d = dispatched();
            if (d.size() < expectedTransactions())
                return false;
            if (results)
                for (auto it = d.cbegin(); it != d.cend(); ++it)
                    if (!hasFinalResult(it.key()))
                        return false;
            return true;
        });
        if (ok)
            return {};
        return QStringLiteral("%1 of %2 transactions handed to the terminals%3; the robot's log:\n")
                   .arg(dispatched().size())
                   .arg(expectedTransactions())
                   .arg(results ? QStringLiteral(" or not all answered") : QString())
            + robot.raw.join('\n') + QStringLiteral("\nstderr: ") + QString::fromLocal8Bit(robot.err);
    }

    // A statement on QuikData through a connection of the test's own, as
    // another program.
    QList<QVariantMap> query(const QString &sql, QString *error = nullptr) { return queryDatabase(quikData, sql, error); }
    QString exec(const QString &sql)
    {
        QString error;
        query(sql, &error);
        return error;
    }

    // Another program's write transaction on QuikData (readers go on).
    QString hold()
    {
        m_holder = QStringLiteral("holder");
        m_connections << m_holder;
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_holder);
        db.setDatabaseName(quikData);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        if (!db.open())
            return db.lastError().text();
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("BEGIN IMMEDIATE")))
            return q.lastError().text();
        return {};
    }
    void release()
    {
        if (m_holder.isEmpty())
            return;
        {
            QSqlDatabase db = QSqlDatabase::database(m_holder);
            QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
            db.close();
        }
        m_holder.clear();
    }

    // SIGTERM; the time it took the robot to end.
    qint64 stopRobot()
    {
        QElapsedTimer t;
        t.start();
        robot.process.terminate();
        waitFor([&] { return robot.process.state() == QProcess::NotRunning; }, ExitMs);
        const qint64 ms = t.elapsed();
        robot.take(robot.process.readAllStandardOutput());
        robot.err += robot.process.readAllStandardError();
        return robot.process.state() == QProcess::NotRunning ? ms : -1;
    }

    void stopAll()
    {
        release();
        std::vector<QProcess *> all{&robot.process, &second.process};
        for (const auto &t : terminals)
            all.push_back(t.get());
        for (QProcess *p : all)
            if (p->state() != QProcess::NotRunning)
                p->terminate();
        for (QProcess *p : all)
            if (p->state() != QProcess::NotRunning && !p->waitForFinished(5000)) {
                p->kill();
                p->waitForFinished(2000);
            }
    }

    bool multi;
    QTemporaryDir dir;
    QString ws, run, ini, quikData, alerts, trans;
    QProcessEnvironment env;
    QElapsedTimer clock;
    TriWatch watch;
    RobotProcess robot;
    RobotProcess second;
    std::vector<std::unique_ptr<QProcess>> terminals;
    QList<Placed> placed;
    bool mounted = false;

private:
    int m_batches = 0;
    QString m_holder;
    QStringList m_connections;
};

// Fills the file system holding `path` to the last byte with a file there.
QString fillFileSystem(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return QStringLiteral("cannot create ") + path;
    const QByteArray chunk(65536, 'x');
    while (::write(fd, chunk.constData(), static_cast<size_t>(chunk.size())) > 0) {
    }
    while (::write(fd, chunk.constData(), 1) > 0) {
    }
    const int error = errno;
    ::close(fd);
    struct statvfs st {};
    if (error != ENOSPC || ::statvfs(QFile::encodeName(path).constData(), &st) != 0 || st.f_bavail != 0)
        return QStringLiteral("the file system of %1 did not fill up (%2)").arg(path, QString::fromLocal8Bit(strerror(error)));
    return {};
}

// What one row ends with, as printed for the README.
struct Figures {
    int lost = 0;
    int doubled = 0;
    qint64 longestDelayMs = -1;
};

// The ".tri" files line by line; a line must be whole and carry one
// transaction.
QList<TriLine> readTriFiles(const Rig &rig, QStringList &problems, int &doubled)
{
    QList<TriLine> lines;
    for (const QString &path : rig.triFiles()) {
        const QByteArray bytes = readAll(path);
        if (!bytes.isEmpty() && !bytes.endsWith("\r\n"))
            problems << path + QStringLiteral(" ends inside a line");
        for (const QByteArray &raw : bytes.split('\n')) {
            if (!raw.endsWith('\r'))
                continue; // what follows the last line end, told above
            TriLine line;
            line.file = QFileInfo(path).completeBaseName();
            line.text = cp1251::decode(raw.chopped(1));
            if (line.text.count(QStringLiteral("TRANS_ID")) > 1) {
                // A line cut short and then written again whole.
                ++doubled;
                problems << QStringLiteral("%1 holds a transaction written over its own start: %2").arg(line.file, line.text);
            }
            for (const QString &item : line.text.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
                const QString key = item.section(QLatin1Char('='), 0, 0).trimmed();
                if (line.items.contains(key))
                    problems << QStringLiteral("%1 repeats %2: %3").arg(line.file, key, line.text);
                line.items.insert(key, item.section(QLatin1Char('='), 1));
            }
            bool ok = false;
            line.transId = line.items.value(QStringLiteral("TRANS_ID")).toLongLong(&ok);
            if (!ok || !line.text.startsWith(QStringLiteral("TRANS_ID =")) || !line.text.endsWith(QLatin1Char(';'))
                || line.items.value(QStringLiteral("ACTION")) != QLatin1String("NEW_ORDER")
                || !line.items.contains(QStringLiteral("QUANTITY")))
                problems << QStringLiteral("%1 holds a damaged line: %2").arg(line.file, line.text);
            lines << line;
        }
    }
    return lines;
}

// Lines, journal and book against the orders placed: every (alert row,
// follower) has one line carrying that order, every journal row one line,
// exits are sized on what is held (by the rule when nothing is), and the
// book holds the entries still open.
QStringList checkTrading(Rig &rig, bool refusing, Figures &figures)
{
    QStringList problems = rig.watch.problems;
    const QList<TriLine> lines = readTriFiles(rig, problems, figures.doubled);
    QString error;
    const QList<QVariantMap> journal = rig.query(QStringLiteral("SELECT trans_id, id_order, code FROM tOrderNumber"), &error);
    const QList<QVariantMap> book = rig.query(QStringLiteral("SELECT code, symbol, quantity FROM tClientOpenPositions"), &error);
    if (!error.isEmpty())
        return problems << QStringLiteral("QuikData cannot be read: ") + error;
    QHash<QString, int> lotSize;
    for (const QVariantMap &r : rig.query(QStringLiteral("SELECT SecCode, LotSize FROM tSecCode")))
        lotSize.insert(r.value("SecCode").toString(), std::max(1, r.value("LotSize").toInt()));

    QHash<qint64, int> linesOf; // TRANS_ID -> lines
    for (const TriLine &l : lines)
        ++linesOf[l.transId];
    for (auto it = linesOf.cbegin(); it != linesOf.cend(); ++it)
        if (it.value() > 1) {
            figures.doubled += it.value() - 1;
            problems << QStringLiteral("TRANS_ID %1 is in %2 lines").arg(it.key()).arg(it.value());
        }
    QHash<qint64, QVariantMap> journalOf;
    for (const QVariantMap &r : journal) {
        const qint64 t = r.value("trans_id").toLongLong();
        if (journalOf.contains(t))
            problems << QStringLiteral("TRANS_ID %1 has two journal rows").arg(t);
        journalOf.insert(t, r);
        if (linesOf.value(t) != 1)
            problems << QStringLiteral("the journal row of TRANS_ID %1 has %2 lines").arg(t).arg(linesOf.value(t));
    }
    if (journal.size() != lines.size())
        problems << QStringLiteral("%1 journal rows for %2 lines").arg(journal.size()).arg(lines.size());

    const QList<Follower> all = followers(rig.multi);
    QHash<qint64, int> orderAt;
    for (int i = 0; i < rig.placed.size(); ++i)
        orderAt.insert(rig.placed[i].id, i);
    QHash<QPair<qint64, QString>, QList<const TriLine *>> linesFor;
    for (const TriLine &l : lines) {
        const QVariantMap j = journalOf.value(l.transId);
        const qint64 id = j.value("id_order").toLongLong();
        if (j.isEmpty() || !orderAt.contains(id)) {
            problems << QStringLiteral("no order of this run for the line %1").arg(l.text);
            continue;
        }
        const Order &o = rig.placed[orderAt.value(id)].order;
        const QString code = j.value("code").toString();
        const auto follower = std::find_if(all.cbegin(), all.cend(), [&](const Follower &f) { return f.code == code; });
        if (l.items.value(QStringLiteral("SECCODE")) != o.symbol || l.items.value(QStringLiteral("CLIENT_CODE")) != code
            || l.items.value(QStringLiteral("OPERATION")) != (isBuy(o.type) ? QLatin1String("B") : QLatin1String("S"))
            || follower == all.cend() || follower->file != l.file)
            problems << QStringLiteral("the line in %1 does not carry order %2 (%3 %4) for %5: %6")
                            .arg(l.file)
                            .arg(id)
                            .arg(o.type, o.symbol, code, l.text);
        linesFor[{id, code}] << &l;
    }

    QHash<QPair<QString, QString>, QList<int>> held; // (client, symbol) -> lots of each open entry
    for (const Placed &p : std::as_const(rig.placed)) {
        for (const Follower &f : all) {
            const QList<const TriLine *> got = linesFor.value({p.id, f.code});
            QList<int> &open = held[{f.code, p.order.symbol}];
            // Entries the terminal refused stay in the book holding nothing:
            // their exit closes nothing and sends no line.
            const bool nothingHeld = !isEntry(p.order.type) && !open.isEmpty()
                && std::all_of(open.cbegin(), open.cend(), [](int lots) { return lots == 0; });
            if (nothingHeld) {
                if (!got.isEmpty()) {
                    figures.doubled += static_cast<int>(got.size());
                    problems << QStringLiteral("the exit of order %1 for %2 went out although its entries were refused: %3")
                                    .arg(p.id)
                                    .arg(f.code, got.first()->text);
                }
                open.clear();
                continue;
            }
            if (got.isEmpty()) {
                ++figures.lost;
                problems << QStringLiteral("order %1 (%2 %3) has no line for %4").arg(p.id).arg(p.order.type, p.order.symbol, f.code);
                continue;
            }
            if (got.size() > 1) {
                figures.doubled += static_cast<int>(got.size()) - 1;
                problems << QStringLiteral("order %1 has %2 lines for %3").arg(p.id).arg(got.size()).arg(f.code);
            }
            const TriLine &l = *got.first();
            if (rig.watch.seenAt.contains(l.transId) && p.committedMs >= 0)
                figures.longestDelayMs = std::max(figures.longestDelayMs, rig.watch.seenAt.value(l.transId) - p.committedMs);
            const int lots = l.items.value(QStringLiteral("QUANTITY")).toInt();
            if (isEntry(p.order.type)) {
                open << (refusing ? 0 : lots);
                continue;
            }
            // An exit closes what is held or, with nothing held, is sized by
            // the rule: the strategy's shares in lots.
            int holding = 0;
            for (int n : std::as_const(open))
                holding += n;
            const int expected = holding > 0 ? holding : p.order.shares / lotSize.value(p.order.symbol, 1);
            if (lots != expected)
                problems << QStringLiteral("the exit of order %1 for %2 is %3 lots, not %4: %5").arg(p.id).arg(f.code).arg(lots).arg(expected).arg(l.text);
            open.clear();
        }
    }
    QStringList expectedBook, actualBook;
    for (auto it = held.cbegin(); it != held.cend(); ++it)
        for (int lots : it.value())
            expectedBook << QStringLiteral("%1 %2 %3").arg(it.key().first, it.key().second).arg(lots);
    for (const QVariantMap &r : book)
        actualBook << QStringLiteral("%1 %2 %3").arg(r.value("code").toString(), r.value("symbol").toString()).arg(r.value("quantity").toInt());
    expectedBook.sort();
    actualBook.sort();
    if (actualBook != expectedBook)
        problems << QStringLiteral("the book holds [%1], not [%2]").arg(actualBook.join(QStringLiteral(", ")), expectedBook.join(QStringLiteral(", ")));
    return problems;
}

// Each result is told once and the journal ends with it.
QStringList checkResults(Rig &rig, bool refusing)
{
    QStringList problems;
    const int finalStatus = refusing ? 6 : 3;
    for (const QVariantMap &r : rig.query(QStringLiteral("SELECT trans_id, status FROM tOrderNumber ORDER BY trans_id"))) {
        const QString number = QStringLiteral("Транзакция номер ") + r.value("trans_id").toString();
        const int passed = rig.count(number + QStringLiteral(" отправлена на сервер Quik."));
        const int done = rig.count(number + QStringLiteral(" успешно выполнена."));
        const int refusals = rig.countStarting(number + QStringLiteral(" отвергнута, статус "));
        if (passed != 1 || done != (refusing ? 0 : 1) || refusals != (refusing ? 1 : 0))
            problems << QStringLiteral("%1: passed on %2 times, executed %3 times, refused %4 times in the log")
                            .arg(number)
                            .arg(passed)
                            .arg(done)
                            .arg(refusals);
        if (refusing
            && rig.count(number + QStringLiteral(" отвергнута, статус 6: Не прошла проверка лимитов: недостаточно средств для совершения операции")) != 1)
            problems << number + QStringLiteral(": the refusal is not told with its status and description");
        if (r.value("status").toInt() != finalStatus)
            problems << QStringLiteral("%1 ends with status %2 in the journal").arg(number, r.value("status").toString());
    }
    return problems;
}

// Every failure of an order is followed by its handling, nothing is left
// behind at exit, and the log file holds every line the robot logged, once,
// in order (a second robot appends its own to the same file).
QStringList checkLog(Rig &rig)
{
    QStringList problems;
    static const QRegularExpression orderFailure(QStringLiteral("^Ошибка при обработке ордера # (\\d+): .* Ордер будет обработан повторно\\.$"));
    const QStringList &texts = rig.robot.texts;
    for (int i = 0; i < texts.size(); ++i) {
        const QString &t = texts[i];
        if (t.startsWith(QStringLiteral("Ошибка при обработке ордера"))) {
            const auto m = orderFailure.match(t);
            if (!m.hasMatch() || !texts.mid(i + 1).contains(QStringLiteral("Ордер # ") + m.captured(1) + QStringLiteral(" обработан повторно.")))
                problems << QStringLiteral("left without a later handling: ") + t;
        }
        if (t.startsWith(QStringLiteral("При завершении работы не")) || t.contains(QStringLiteral(" не прошел фильтры"))
            || t.contains(QStringLiteral(" отклонен: ")))
            problems << QStringLiteral("in the log: ") + t;
    }

    const QByteArray bytes = readAll(rig.run + QStringLiteral("/Korvina.log"));
    if (!bytes.endsWith("\r\n"))
        problems << QStringLiteral("the log file does not end with a whole line");
    QStringList file = cp1251::decode(bytes).split(QStringLiteral("\r\n"));
    if (!file.isEmpty() && file.last().isEmpty())
        file.removeLast();
    int at = 0;
    for (const QString &l : std::as_const(file))
        if (at < rig.robot.raw.size() && l == rig.robot.raw[at])
            ++at;
    if (at != rig.robot.raw.size())
        problems << QStringLiteral("the log file misses, or holds out of order, the line \"%1\"").arg(rig.robot.raw.value(at));
    QStringList logged = rig.robot.raw + rig.second.raw;
    logged.sort();
    file.sort();
    if (logged != file) {
        QStringList extra;
        for (const QString &l : std::as_const(file))
            if (file.count(l) > logged.count(l) && !extra.contains(l))
                extra << l;
        problems << QStringLiteral("the log file holds %1 lines for %2 logged; in it more often than logged: %3")
                        .arg(file.size())
                        .arg(logged.size())
                        .arg(extra.join(QStringLiteral(" | ")));
    }
    return problems;
}

#define CHECK(expr)                                      \
    do {                                                 \
        const QString problem_ = (expr);                 \
        QVERIFY2(problem_.isEmpty(), qPrintable(problem_)); \
    } while (false)

} // namespace

class TestFaultMatrix : public QObject {
    Q_OBJECT

private slots:
    void ordersSurviveTheFault_data();
    void ordersSurviveTheFault();
};

void TestFaultMatrix::ordersSurviveTheFault_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<bool>("multi");
    // Longest delay from a row's commit to its line that the fault may cause;
    // 0 where the fault holds lines back by design (they wait for the disk or
    // the database).
    QTest::addColumn<int>("delayBoundMs");

    QTest::newRow("no fault") << int(NoFault) << false << 0;
    QTest::newRow("hung mail server") << int(HungMailServer) << false << 1500;
    QTest::newRow("dead mail server") << int(DeadMailServer) << false << 1500;
    QTest::newRow("terminal refuses all") << int(TerminalRefusesAll) << true << 0;
    QTest::newRow("journal update fails for a while") << int(JournalUpdateFails) << true << 0;
    QTest::newRow("disk full") << int(DiskFull) << false << 0;
    QTest::newRow("QuikData held by another writer") << int(QuikDataHeld) << true << 0;
    QTest::newRow("second robot") << int(SecondRobot) << true << 0;
    QTest::newRow("empty folder setting") << int(EmptyFolderSetting) << false << 0;
}

void TestFaultMatrix::ordersSurviveTheFault()
{
    QFETCH(int, fault);
    QFETCH(bool, multi);
    QFETCH(int, delayBoundMs);

    std::unique_ptr<SmtpTestServer> smtp;
    Rig rig(multi);
    QVERIFY(rig.dir.isValid());
    CHECK(rig.makeWorkspace());

    // Faults that are there from the start.
    if (fault == HungMailServer || fault == DeadMailServer) {
        quint16 port = 0;
        if (fault == HungMailServer) {
            // Takes the session, then never answers MAIL FROM: every message
            // hangs until the robot gives up on it.
            SmtpTestServer::Options options;
            options.stall = QStringLiteral("MAIL");
            smtp = std::make_unique<SmtpTestServer>(options);
            QVERIFY2(smtp->port() != 0, qPrintable(smtp->error()));
            port = smtp->port();
        } else {
            port = deadPort();
            QVERIFY(port != 0);
        }
        QVERIFY(rig.setIni(QStringLiteral("Mail"), QStringLiteral("SMTP"), QStringLiteral("127.0.0.1")));
        QVERIFY(rig.setIni(QStringLiteral("Mail"), QStringLiteral("Port"), QString::number(port)));
        QVERIFY(rig.setIni(QStringLiteral("Mail"), QStringLiteral("SendTrans_id"), QStringLiteral("-1")));
        QVERIFY(rig.setIni(QStringLiteral("Mail"), QStringLiteral("SendTrans_done"), QStringLiteral("-1")));
    }
    if (fault == EmptyFolderSetting)
        QVERIFY(rig.setIni(QStringLiteral("Quik"), QStringLiteral("DirSmartTrade"), QString()));
    if (fault == DiskFull) {
        if (::geteuid() != 0)
            QSKIP("The full disk is a small tmpfs mounted over the working directory, and mounting needs root.");
        const QString refused = rig.mountRunFolder();
        if (!rig.mounted)
            QSKIP(qPrintable(QStringLiteral("Mounting a tmpfs for the full disk is not permitted here: ") + refused));
        CHECK(refused);
    }
    CHECK(rig.placeUserFiles());

    rig.refusing = fault == TerminalRefusesAll;
    CHECK(rig.startRobot());
    CHECK(rig.startTerminals(fault == TerminalRefusesAll));
    if (fault == JournalUpdateFails)
        CHECK(rig.exec(QStringLiteral("CREATE TRIGGER refuse BEFORE UPDATE ON tOrderNumber BEGIN SELECT RAISE(ABORT, 'refused'); END")));

    CHECK(rig.fill(Entries));
    CHECK(rig.waitHandled(true));

    // One order (a burst on the full disk) while the fault is on. What the
    // robot must do meanwhile is gathered in `problems`; a fault that did not
    // come about stops the row.
    QStringList problems;
    switch (fault) {
    case DiskFull: {
        const QString filler = rig.run + QStringLiteral("/filler");
        CHECK(fillFileSystem(filler));
        CHECK(rig.fill(burst()));
        CHECK(rig.waitHandled(false));
        const QString tri = rig.triPath(QStringLiteral("trans"));
        const QByteArray cut = readAll(tri);
        qInfo().noquote() << QStringLiteral("disk full: %1 of %2 lines in the file, %3")
                                 .arg(cut.count("\r\n"))
                                 .arg(rig.expectedTransactions())
                                 .arg(cut.endsWith("\r\n") ? QStringLiteral("the last one whole") : QStringLiteral("the last one cut short"));
        // The lines ran into the full disk, and so did the log.
        QVERIFY(cut.count("\r\n") < rig.expectedTransactions());
        if (!rig.logged(QStringLiteral("Ошибка записи в файл ") + tri))
            problems << QStringLiteral("the failed write of %1 is not told").arg(tri);
        if (!rig.robot.err.contains(QStringLiteral("Ошибка записи в файл журнала").toUtf8()))
            problems << QStringLiteral("the failed write of the log is not told");
        QVERIFY(QFile::remove(filler));
        break;
    }
    case QuikDataHeld: {
        const int before = static_cast<int>(rig.watch.seenAt.size());
        CHECK(rig.hold());
        QElapsedTimer held;
        held.start();
        CHECK(rig.fill(WhileFaulty));
        // The order is taken, but its lines wait for its rows: a robot killed
        // now would take it again, so no line of it may be out yet.
        waitFor([&] { return held.elapsed() >= HoldMs; });
        if (rig.watch.seenAt.size() != before)
            problems << QStringLiteral("%1 lines out while QuikData was held").arg(rig.watch.seenAt.size() - before);
        if (!rig.logged(QStringLiteral("Запись в базу данных ") + rig.quikData + QStringLiteral(" отложена (")))
            problems << QStringLiteral("the held database is not told");
        if (!rig.logged(QStringLiteral(" ждут сохранения своих записей в базе данных ")))
            problems << QStringLiteral("the lines waiting for the database are not told");
        rig.release();
        const QString saved = QStringLiteral("Отложенные записи сохранены в базе данных ") + rig.quikData + QStringLiteral(".");
        if (!waitFor([&] { return rig.count(saved) > 0; }))
            problems << QStringLiteral("the rows kept in memory are not told saved");
        break;
    }
    case SecondRobot: {
        rig.startRobotProcess(rig.second);
        CHECK(rig.fill(WhileFaulty));
        if (waitFor([&] { return rig.second.process.state() == QProcess::NotRunning; })) {
            rig.second.take(rig.second.process.readAllStandardOutput());
            rig.second.err += rig.second.process.readAllStandardError();
            if (rig.second.process.exitStatus() != QProcess::NormalExit || rig.second.process.exitCode() != 1)
                problems << QStringLiteral("the second robot ended with code %1").arg(rig.second.process.exitCode());
            const QString err = QString::fromLocal8Bit(rig.second.err);
            if (!err.contains(QStringLiteral("процесс ") + QString::number(rig.robot.process.processId())))
                problems << QStringLiteral("the second robot does not name the first: ") + err;
        } else {
            problems << QStringLiteral("the second robot goes on running");
            rig.second.process.terminate();
            rig.second.process.waitForFinished(ExitMs);
        }
        if (rig.robot.process.state() != QProcess::Running)
            problems << QStringLiteral("the first robot stopped");
        break;
    }
    default:
        CHECK(rig.fill(WhileFaulty));
        break;
    }
    CHECK(rig.waitHandled(true));

    if (fault == JournalUpdateFails) {
        // The results could not be written for a while; now they can.
        if (!rig.logged(QStringLiteral(" не записан в журнал tOrderNumber: ")))
            problems << QStringLiteral("the refused journal update is not told");
        CHECK(rig.exec(QStringLiteral("DROP TRIGGER refuse")));
    }

    CHECK(rig.fill(Exits));
    CHECK(rig.waitHandled(true));

    // Handled: every transaction journaled with its final status (written
    // later where the fault held it back) and its line seen.
    const bool refusing = fault == TerminalRefusesAll;
    waitFor([&] {
        const auto rows = rig.query(QStringLiteral("SELECT status FROM tOrderNumber"));
        return rows.size() >= rig.expectedTransactions() && rig.watch.seenAt.size() >= rig.expectedTransactions()
            && std::all_of(rows.cbegin(), rows.cend(), [&](const QVariantMap &r) { return r.value("status").toInt() == (refusing ? 6 : 3); });
    });
    // One notification per transaction sent and one per result.
    QStringList notifications;
    const QMap<qint64, QString> sent = rig.dispatched();
    for (auto it = sent.cbegin(); it != sent.cend(); ++it) {
        notifications << QStringLiteral("Транзакция номер ") + QString::number(it.key()) + it.value() + QStringLiteral(" отправлена.");
        notifications << QStringLiteral("Транзакция номер ") + QString::number(it.key()) + QStringLiteral(" успешно выполнена.");
    }
    // A dead server fails every message the same way: told once, with the
    // first message that failed.
    const QString connectFailed = QStringLiteral("\" не отправлено. Почтовый сервер 127.0.0.1:");
    auto deadServerLines = [&] {
        return static_cast<int>(std::count_if(rig.robot.texts.cbegin(), rig.robot.texts.cend(), [&](const QString &t) {
            return t.contains(connectFailed) && t.endsWith(QStringLiteral(" не отвечает (соединение не установлено)."));
        }));
    };
    if (fault == DeadMailServer)
        waitFor([&] { return deadServerLines() >= 1; });

    const qint64 exitMs = rig.stopRobot();
    rig.stopAll();

    Figures figures;
    problems << checkTrading(rig, refusing, figures);
    qInfo().noquote() << QStringLiteral("%1: %2 orders placed (%3 transactions), %4 lost, %5 doubled; longest delay from a row's commit "
                                        "to its line %6 ms; ended %7 ms after SIGTERM")
                             .arg(QString::fromLatin1(QTest::currentDataTag()))
                             .arg(rig.placed.size())
                             .arg(rig.expectedTransactions())
                             .arg(figures.lost)
                             .arg(figures.doubled)
                             .arg(figures.longestDelayMs)
                             .arg(exitMs);
    problems << checkResults(rig, refusing) << checkLog(rig);

    const auto mine = rig.userFiles();
    for (auto it = mine.cbegin(); it != mine.cend(); ++it)
        if (readAll(it.key()) != it.value() || !QFileInfo(it.key()).isFile())
            problems << QStringLiteral("the user's file %1 is gone or changed").arg(it.key());

    // The fault's own lines.
    switch (fault) {
    case HungMailServer: {
        // Not one message went; each is told once as not sent at exit.
        if (!smtp->messages().isEmpty())
            problems << QStringLiteral("the hung server received a message");
        if (!smtp->commands().contains(QStringLiteral("MAIL")))
            problems << QStringLiteral("the robot never reached the hung command: ") + smtp->commands().join(' ');
        for (const QString &n : std::as_const(notifications))
            if (rig.count(QStringLiteral("Сообщение \"") + n + QStringLiteral("\" не отправлено: программа завершает работу.")) != 1)
                problems << QStringLiteral("not told once as not sent: ") + n;
        const int told = static_cast<int>(std::count_if(rig.robot.texts.cbegin(), rig.robot.texts.cend(), [](const QString &t) {
            return t.startsWith(QStringLiteral("Сообщение \"")) && t.endsWith(QStringLiteral("\" не отправлено: программа завершает работу."));
        }));
        if (told != notifications.size())
            problems << QStringLiteral("%1 messages told as not sent, %2 queued").arg(told).arg(notifications.size());
        break;
    }
    case DeadMailServer:
        if (deadServerLines() != 1)
            problems << QStringLiteral("%1 failed connections told for %2 messages, not one").arg(deadServerLines()).arg(notifications.size());
        if (rig.logged(QStringLiteral("не отправлено: программа завершает работу.")))
            problems << QStringLiteral("a message was still queued at exit");
        break;
    case DiskFull:
        if (!rig.robot.err.contains(QStringLiteral("снова записывается").toUtf8()))
            problems << QStringLiteral("the log file is not told written again");
        break;
    case EmptyFolderSetting:
        if (!rig.logged(QStringLiteral("не задана папка ([Quik] DirSmartTrade).")))
            problems << QStringLiteral("the empty folder setting is not told");
        break;
    default:
        break;
    }

    // Failures that end a tick go to stderr; only the full disk has any.
    if (fault != DiskFull && !rig.robot.err.trimmed().isEmpty())
        problems << QStringLiteral("on stderr: ") + QString::fromLocal8Bit(rig.robot.err);
    if (delayBoundMs > 0 && (figures.longestDelayMs < 0 || figures.longestDelayMs >= delayBoundMs))
        problems << QStringLiteral("a line came %1 ms after its row's commit (one tick and the dispatch: under %2 ms)")
                        .arg(figures.longestDelayMs)
                        .arg(delayBoundMs);
    if (exitMs < 0)
        problems << QStringLiteral("the robot did not end within %1 ms of SIGTERM").arg(ExitMs);
    else if (rig.robot.process.exitStatus() != QProcess::NormalExit || rig.robot.process.exitCode() != 0)
        problems << QStringLiteral("the robot ended with code %1").arg(rig.robot.process.exitCode());

    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n') + QStringLiteral("\n---- the robot's log:\n") + rig.robot.raw.join('\n')
                                            + QStringLiteral("\n---- its stderr:\n") + QString::fromLocal8Bit(rig.robot.err)));
}

QTEST_GUILESS_MAIN(TestFaultMatrix)
#include "tst_faultmatrix.moc"
