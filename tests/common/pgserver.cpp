#include "pgserver.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QThread>
#include <QUuid>

#include <csignal>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

QString superuser() { return QStringLiteral("postgres"); }

} // namespace

PgServer::PgServer() = default;

PgServer::~PgServer()
{
    stop(true);
    if (m_dir && m_asPostgres) {
        // The cluster's files belong to postgres; root removes them.
        m_dir->remove();
    }
}

QString PgServer::binDir()
{
    QString dir = qEnvironmentVariable("KORVINA_PG_BIN");
    if (dir.isEmpty())
        dir = QStringLiteral("/usr/lib/postgresql/15/bin");
    if (QFileInfo(dir + QStringLiteral("/initdb")).isExecutable() && QFileInfo(dir + QStringLiteral("/postgres")).isExecutable())
        return dir;
    return QString();
}

QString PgServer::missing()
{
    if (binDir().isEmpty())
        return QStringLiteral("PostgreSQL's server programs (initdb, postgres) are not installed: /usr/lib/postgresql/15/bin "
                              "(or KORVINA_PG_BIN); ./korvina.sh installs them");
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
        return QStringLiteral("Qt's PostgreSQL driver (libqt6sql6-psql) is not installed");
    return QString();
}

bool PgServer::run(const QString &program, const QStringList &args)
{
    QProcess p;
    const bool asPostgres = m_asPostgres;
    const unsigned uid = m_uid, gid = m_gid;
    p.setChildProcessModifier([asPostgres, uid, gid] {
        if (asPostgres && (setgid(gid) != 0 || setuid(uid) != 0))
            _exit(126);
    });
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(binDir() + QLatin1Char('/') + program, args);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        m_error = program + QStringLiteral(": ") + QString::fromLocal8Bit(p.readAll()).trimmed();
        return false;
    }
    return true;
}

bool PgServer::start()
{
    if (!missing().isEmpty()) {
        m_error = missing();
        return false;
    }
    removeStale();
    m_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/korvina-pg-XXXXXX"));
    if (!m_dir->isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    // The server refuses to run as root.
    if (geteuid() == 0) {
        const passwd *pw = getpwnam("postgres");
        if (!pw) {
            m_error = QStringLiteral("running as root and there is no postgres user to run the server as");
            return false;
        }
        m_asPostgres = true;
        m_uid = pw->pw_uid;
        m_gid = pw->pw_gid;
        if (chown(QFile::encodeName(m_dir->path()).constData(), m_uid, m_gid) != 0) {
            m_error = QStringLiteral("cannot give the temporary folder to postgres");
            return false;
        }
    }
    if (!run(QStringLiteral("initdb"), {QStringLiteral("-D"), m_dir->path() + QStringLiteral("/data"), QStringLiteral("-U"), superuser(),
                                        QStringLiteral("--auth=trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                                        QStringLiteral("--locale=C"), QStringLiteral("--no-sync")}))
        return false;
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0)) {
        m_error = QStringLiteral("no free port on 127.0.0.1");
        return false;
    }
    m_port = probe.serverPort();
    probe.close();
    return launch();
}

void PgServer::removeStale()
{
    // Folders of servers whose test was killed before it could remove them:
    // no server runs there and they are older than any test's start.
    const QDir tmp(QDir::tempPath());
    for (const QFileInfo &f : tmp.entryInfoList({QStringLiteral("korvina-pg-*")}, QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (f.lastModified().secsTo(QDateTime::currentDateTime()) < 600)
            continue;
        QFile pidFile(f.filePath() + QStringLiteral("/data/postmaster.pid"));
        if (pidFile.open(QIODevice::ReadOnly)) {
            const qint64 pid = pidFile.readLine().trimmed().toLongLong();
            if (pid > 0 && ::kill(pid_t(pid), 0) == 0)
                continue;
        }
        QDir(f.filePath()).removeRecursively();
    }
}

bool PgServer::launch()
{
    const bool asPostgres = m_asPostgres;
    const unsigned uid = m_uid, gid = m_gid;
    m_server.setChildProcessModifier([asPostgres, uid, gid] {
        if (asPostgres && (setgid(gid) != 0 || setuid(uid) != 0))
            _exit(126);
        // The server goes with the test, however the test ends (set after
        // the change of user, which clears it).
        prctl(PR_SET_PDEATHSIG, SIGQUIT);
    });
    m_server.setProcessChannelMode(QProcess::MergedChannels);
    m_server.setStandardOutputFile(m_dir->path() + QStringLiteral("/server.log"), QIODevice::Append);
    m_server.start(binDir() + QStringLiteral("/postgres"),
                   {QStringLiteral("-D"), m_dir->path() + QStringLiteral("/data"), QStringLiteral("-p"), QString::number(m_port),
                    QStringLiteral("-k"), m_dir->path(), QStringLiteral("-c"), QStringLiteral("listen_addresses=127.0.0.1"),
                    QStringLiteral("-c"), QStringLiteral("fsync=off"), QStringLiteral("-c"), QStringLiteral("full_page_writes=off"),
                    QStringLiteral("-c"), QStringLiteral("max_connections=60"), QStringLiteral("-c"), QStringLiteral("shared_buffers=16MB")});
    if (!m_server.waitForStarted(10000)) {
        m_error = QStringLiteral("postgres did not start: ") + m_server.errorString();
        return false;
    }
    if (!waitReady(30000)) {
        QFile log(m_dir->path() + QStringLiteral("/server.log"));
        log.open(QIODevice::ReadOnly);
        m_error = QStringLiteral("postgres did not accept connections: ") + QString::fromLocal8Bit(log.readAll()).right(2000);
        return false;
    }
    return true;
}

bool PgServer::waitReady(int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        if (m_server.state() != QProcess::Running)
            return false;
        if (exec(QStringLiteral("postgres"), QStringLiteral("SELECT 1")))
            return true;
        QThread::msleep(100);
    }
    return false;
}

bool PgServer::running() const { return m_server.state() == QProcess::Running; }

void PgServer::stop(bool immediate)
{
    if (m_server.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(m_server.processId()), immediate ? SIGQUIT : SIGTERM);
    if (!m_server.waitForFinished(20000)) {
        ::kill(pid_t(m_server.processId()), SIGKILL);
        m_server.waitForFinished(5000);
    }
}

bool PgServer::restart()
{
    stop(true);
    return launch();
}

QString PgServer::uri(const QString &database) const
{
    return QStringLiteral("postgresql://%1@127.0.0.1:%2/%3").arg(superuser()).arg(m_port).arg(database);
}

bool PgServer::exec(const QString &database, const QString &sql)
{
    const QString name = QStringLiteral("pgserver-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(m_port);
        db.setUserName(superuser());
        db.setDatabaseName(database);
        db.setConnectOptions(QStringLiteral("connect_timeout=2"));
        if (!db.open()) {
            m_error = db.lastError().text();
        } else {
            QSqlQuery q(db);
            ok = q.exec(sql);
            if (!ok)
                m_error = q.lastError().text();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

QString PgServer::createDatabase(const QString &name)
{
    if (!exec(QStringLiteral("postgres"), QStringLiteral("CREATE DATABASE ") + name))
        return QString();
    return uri(name);
}
