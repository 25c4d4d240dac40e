#pragma once

#include "database.h"

#include <QString>

// One active robot per QuikData on a PostgreSQL server, across hosts: a
// session advisory lock, held by a connection of its own, whose key comes
// from the database's name. It goes with the session: a robot stopped or
// killed frees it at once, a dead host or network within about 10 s (the
// connection's TCP keepalives end the session).
//
// The holder writes who it is (host, process) into the one-row table
// trobotowner, with an owner epoch raised by every robot that takes the
// lock. Before lines go out the robot checks that its session still holds
// the lock and that the epoch is still its own: a robot that lost its
// session (a network split, a server restart) and finds that another robot
// took over never writes another line.
class ServerLock {
public:
    enum class Result { Held, HeldByOther, Failed };
    enum class State { Held, Unreachable, Lost };

    ServerLock();
    ~ServerLock();
    ServerLock(const ServerLock &) = delete;
    ServerLock &operator=(const ServerLock &) = delete;

    // Takes the lock on the database the URI names (held already: Held at
    // once, the epoch unchanged). A new holder raises the epoch.
    Result acquire(const QString &uri);
    void release();
    bool held() const { return m_held; }
    const QString &uri() const { return m_uri; }
    // The epoch this robot took the lock with.
    qint64 epoch() const { return m_epoch; }
    // Who holds it (HeldByOther): "процесс N на компьютере H", empty when
    // the table does not tell.
    const QString &holder() const { return m_holder; }
    const QString &error() const { return m_error; }

    // Whether this robot may still write: its session holds the lock and
    // the epoch is its own (Held); the server cannot be reached now
    // (Unreachable: nothing may be written until it can); another robot
    // took over (Lost: this one must stop). A session that ended (a server
    // restart) is opened again and the lock taken again, when nobody took
    // over meanwhile.
    State check();
    // True when the last check took the lock again on a new session.
    bool retaken() const { return m_retaken; }

    // The advisory lock's two keys (class, object) for the database.
    static constexpr int LockClass = 0x4B52564E; // "KRVN"

private:
    bool open(QString *error);
    bool tryLock(bool *got);
    QString readHolder();

    Database m_session;
    QString m_uri;
    bool m_held = false;
    bool m_retaken = false;
    qint64 m_key = 0;
    qint64 m_epoch = 0;
    QString m_holder, m_error;
};
