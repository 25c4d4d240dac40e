#include "servernotifications.h"

#include <QSqlDriver>

ServerNotifications::ServerNotifications(QObject *parent) : QObject(parent), m_db(QStringLiteral("notifications")) {}

ServerNotifications::~ServerNotifications() { stop(); }

bool ServerNotifications::listen(const QString &uri, const QString &channel, QString *error)
{
    if (m_listening && uri == m_uri && channel == m_channel && m_db.isOpen())
        return true;
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
    return true;
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
