#include "servernotifications.h"

#include "config/korvinaerror.h"

#include <QSqlDriver>

ServerNotifications::ServerNotifications(QObject *parent) : QObject(parent), m_db(QStringLiteral("notifications")) {}

ServerNotifications::~ServerNotifications() { stop(); }

bool ServerNotifications::listen(const QString &uri, const QString &channel, QString *error)
{
    if (m_listening && uri == m_uri && channel == m_channel && m_db.isOpen()) {
        // A session that ended (a server restarted, a network down) took
        // the subscription with it and says nothing: looked at now and then,
        // and made again when gone.
        if (m_looked.isValid() && !m_looked.hasExpired(LookEveryMs))
            return true;
        m_looked.start();
        if (alive())
            return true;
    }
    stop();
    if (!m_db.open(uri, error))
        return false;
    QSqlDriver *driver = m_db.handle().driver();
    if (!driver || !driver->subscribeToNotification(channel)) {
        if (error)
            *error = QStringLiteral("подписка на уведомления ") + channel + QStringLiteral(" не удалась");
        m_db.close();
        return false;
    }
    connect(driver, &QSqlDriver::notification, this, [this](const QString &name, QSqlDriver::NotificationSource, const QVariant &) {
        if (name.compare(m_channel, Qt::CaseInsensitive) == 0)
            emit notified();
    });
    m_uri = uri;
    m_channel = channel;
    m_listening = true;
    m_looked.start();
    return true;
}

bool ServerNotifications::alive()
{
    QSqlDriver *driver = m_db.handle().driver();
    if (!driver || !driver->subscribedToNotifications().contains(m_channel))
        return false;
    try {
        m_db.native(QStringLiteral("SELECT 1")).finish();
    } catch (const KorvinaError &) {
        return false;
    }
    // (A session opened again by the statement has no subscription.)
    return driver->subscribedToNotifications().contains(m_channel);
}

void ServerNotifications::stop()
{
    if (m_db.isOpen()) {
        if (QSqlDriver *driver = m_db.handle().driver()) {
            driver->disconnect(this);
            if (m_listening)
                driver->unsubscribeFromNotification(m_channel);
        }
        m_db.close();
    }
    m_listening = false;
}
