#pragma once

#include "database.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

// A PostgreSQL server's notifications on one channel (LISTEN/NOTIFY),
// through a connection of its own: the alert database's trigger tells of
// every new FilledOrders row at its commit, so the robot need not poll.
class ServerNotifications : public QObject {
    Q_OBJECT
public:
    explicit ServerNotifications(QObject *parent = nullptr);
    ~ServerNotifications() override;

    // Listens on the channel of the database the URI names; false with the
    // reason when it cannot (the tick then goes on alone). Listening
    // already on the same: true at once.
    bool listen(const QString &uri, const QString &channel, QString *error);
    void stop();
    bool listening() const { return m_listening; }

signals:
    void notified();

private:
    static constexpr int LookEveryMs = 250;
    bool alive();

    Database m_db;
    QElapsedTimer m_looked;
    QString m_uri, m_channel;
    bool m_listening = false;
};
