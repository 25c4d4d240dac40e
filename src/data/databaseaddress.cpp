#include "databaseaddress.h"

#include <QUrl>
#include <QUrlQuery>

bool DatabaseAddress::isServer(const QString &setting)
{
    const QString s = setting.trimmed();
    return s.startsWith(QLatin1String("postgresql://"), Qt::CaseInsensitive)
        || s.startsWith(QLatin1String("postgres://"), Qt::CaseInsensitive);
}

DatabaseAddress::DatabaseAddress(const QString &setting) : m_setting(setting.trimmed())
{
    m_server = isServer(m_setting);
    if (!m_server) {
        m_valid = !m_setting.isEmpty();
        return;
    }
    const QUrl url(m_setting, QUrl::StrictMode);
    if (!url.isValid()) {
        m_error = QStringLiteral("адрес базы данных не разобран: ") + url.errorString().replace(url.password(), QStringLiteral("***"));
        return;
    }
    m_host = url.host();
    m_port = url.port(5432);
    m_user = url.userName(QUrl::FullyDecoded);
    m_password = url.password(QUrl::FullyDecoded);
    m_database = url.path(QUrl::FullyDecoded);
    if (m_database.startsWith(QLatin1Char('/')))
        m_database = m_database.mid(1);
    const QUrlQuery query(url);
    for (const auto &item : query.queryItems(QUrl::FullyDecoded)) {
        if (item.first.compare(QLatin1String("sslmode"), Qt::CaseInsensitive) == 0)
            m_sslMode = item.second;
        else {
            m_error = QStringLiteral("неизвестный параметр адреса базы данных: ") + item.first;
            return;
        }
    }
    if (m_host.isEmpty())
        m_error = QStringLiteral("в адресе базы данных не указан сервер");
    else if (m_database.isEmpty())
        m_error = QStringLiteral("в адресе базы данных не указана база данных");
    m_valid = m_error.isEmpty();
}

QString DatabaseAddress::shown() const
{
    if (!m_server)
        return m_setting;
    QUrl url(m_setting);
    if (!url.isValid()) {
        // Cut whatever stands between the user's name and the host.
        QString s = m_setting;
        const int scheme = s.indexOf(QLatin1String("://"));
        const int at = s.lastIndexOf(QLatin1Char('@'));
        const int colon = s.indexOf(QLatin1Char(':'), scheme + 3);
        if (at > 0 && colon > scheme && colon < at)
            s.remove(colon, at - colon);
        return s;
    }
    url.setPassword(QString());
    return url.toString(QUrl::RemovePassword);
}

QString DatabaseAddress::shown(const QString &setting) { return DatabaseAddress(setting).shown(); }

QString DatabaseAddress::withStoredPassword(const QString &entered, const QString &stored)
{
    const DatabaseAddress now(entered.trimmed()), before(stored.trimmed());
    if (!now.server() || !now.valid() || !now.password().isEmpty() || !before.server() || !before.valid()
        || before.password().isEmpty() || now.user() != before.user() || now.user().isEmpty())
        return entered;
    // The entered text as typed, the password put between the user's name
    // and the host.
    const int scheme = entered.indexOf(QLatin1String("://"));
    const int slash = entered.indexOf(QLatin1Char('/'), scheme + 3);
    const int at = entered.lastIndexOf(QLatin1Char('@'), slash < 0 ? -1 : slash);
    if (scheme < 0 || at <= scheme + 3 || entered.mid(scheme + 3, at - scheme - 3).contains(QLatin1Char(':')))
        return entered;
    return entered.left(at) + QLatin1Char(':') + QString::fromLatin1(QUrl::toPercentEncoding(before.password())) + entered.mid(at);
}
