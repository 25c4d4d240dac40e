#include "serverlock.h"

#include "databaseaddress.h"

#include <QCoreApplication>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>

ServerLock::ServerLock() : m_session(QStringLiteral("robot-lock")) {}

ServerLock::~ServerLock() { release(); }

bool ServerLock::open(QString *error)
{
    if (m_session.isOpen())
        return true;
    if (!m_session.open(m_uri, error))
        return false;
    try {
        m_session.native(QStringLiteral("CREATE TABLE IF NOT EXISTS trobotowner (id bigint PRIMARY KEY, epoch bigint NOT NULL, "
                                        "host citext, pid bigint, since timestamp(3))"))
            .finish();
        QSqlQuery q = m_session.native(QStringLiteral("SELECT hashtext('Korvina ' || current_database()) & 2147483647"));
        if (!q.next()) {
            *error = QStringLiteral("ключ блокировки не прочитан");
            return false;
        }
        m_key = q.value(0).toLongLong();
    } catch (const KorvinaError &e) {
        *error = e.message();
        m_session.close();
        return false;
    }
    return true;
}

bool ServerLock::tryLock(bool *got)
{
    try {
        QSqlQuery q = m_session.native(QStringLiteral("SELECT pg_try_advisory_lock(%1, %2)").arg(LockClass).arg(m_key));
        *got = q.next() && q.value(0).toBool();
        return true;
    } catch (const KorvinaError &e) {
        m_error = e.message();
        m_session.close();
        return false;
    }
}

QString ServerLock::readHolder()
{
    try {
        QSqlQuery q = m_session.native(QStringLiteral("SELECT host, pid FROM trobotowner WHERE id = 1"));
        if (q.next() && !q.value(1).isNull())
            return QStringLiteral("процесс ") + q.value(1).toString() + QStringLiteral(" на компьютере ") + q.value(0).toString();
    } catch (const KorvinaError &) {
    }
    return QString();
}

ServerLock::Result ServerLock::acquire(const QString &uri)
{
    if (m_held && uri == m_uri && m_session.isOpen())
        return Result::Held;
    if (uri != m_uri) {
        release();
        m_uri = uri;
    }
    m_error.clear();
    m_holder.clear();
    if (!open(&m_error))
        return Result::Failed;
    bool got = false;
    if (!tryLock(&got))
        return Result::Failed;
    if (!got) {
        m_holder = readHolder();
        return Result::HeldByOther;
    }
    // The new holder: a raised epoch, and who it is.
    try {
        m_session.native(QStringLiteral("INSERT INTO trobotowner (id, epoch) VALUES (1, 0) ON CONFLICT (id) DO NOTHING")).finish();
        QSqlQuery q = m_session.native(QStringLiteral("UPDATE trobotowner SET epoch = epoch + 1, host = :host, pid = :pid, "
                                                      "since = LOCALTIMESTAMP WHERE id = 1 RETURNING epoch"),
                                       {{QStringLiteral("host"), QSysInfo::machineHostName()},
                                        {QStringLiteral("pid"), QCoreApplication::applicationPid()}});
        if (!q.next())
            throw KorvinaError(QStringLiteral("строка владельца не записана"));
        m_epoch = q.value(0).toLongLong();
    } catch (const KorvinaError &e) {
        m_error = e.message();
        m_session.close(); // the lock goes with the session
        return Result::Failed;
    }
    m_held = true;
    return Result::Held;
}

ServerLock::State ServerLock::check()
{
    m_retaken = false;
    if (!m_held)
        return State::Lost;
    if (m_session.isOpen()) {
        try {
            QSqlQuery q = m_session.native(
                QStringLiteral("SELECT (SELECT epoch FROM trobotowner WHERE id = 1), EXISTS (SELECT 1 FROM pg_locks WHERE locktype = "
                               "'advisory' AND pid = pg_backend_pid() AND granted AND classid = %1 AND objid = %2 AND objsubid = 2)")
                    .arg(LockClass)
                    .arg(m_key));
            if (q.next()) {
                if (q.value(0).toLongLong() == m_epoch && q.value(1).toBool())
                    return State::Held;
                m_holder = readHolder();
                release();
                return State::Lost;
            }
        } catch (const KorvinaError &e) {
            m_error = e.message();
        }
        // The session is gone (a server restarted, a network down): its
        // lock went with it.
        m_session.close();
    }
    QString error;
    if (!open(&error)) {
        m_error = error;
        return State::Unreachable;
    }
    bool got = false;
    if (!tryLock(&got))
        return State::Unreachable;
    if (!got) {
        m_holder = readHolder();
        release();
        return State::Lost;
    }
    // Taken again: still ours only when nobody took over meanwhile.
    try {
        QSqlQuery q = m_session.native(QStringLiteral("SELECT epoch FROM trobotowner WHERE id = 1"));
        if (q.next() && q.value(0).toLongLong() == m_epoch) {
            m_retaken = true;
            return State::Held;
        }
    } catch (const KorvinaError &e) {
        m_error = e.message();
        m_session.close();
        return State::Unreachable;
    }
    m_holder = readHolder();
    release();
    return State::Lost;
}

void ServerLock::release()
{
    // Given back at once (the session's end would free it too, a moment
    // later), so that a waiting robot takes it without a pause.
    if (m_held && m_session.isOpen()) {
        try {
            m_session.native(QStringLiteral("SELECT pg_advisory_unlock_all()")).finish();
        } catch (const KorvinaError &) {
        }
    }
    m_held = false;
    m_session.close();
}
