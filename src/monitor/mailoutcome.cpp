#include "mailoutcome.h"

MailOutcome::MailOutcome(Kind kind, const QString &server, const QString &detail, const QString &subject)
    : m_kind(kind), m_server(server), m_detail(detail), m_subject(subject)
{
}

bool MailOutcome::ok() const
{
    return m_kind == Kind::None || m_kind == Kind::Connected || m_kind == Kind::Disconnected || m_kind == Kind::Sent;
}

QString MailOutcome::text() const
{
    const QString server = QStringLiteral("Почтовый сервер ") + m_server;
    // The server's own words, when it said any.
    const QString answer = m_detail.isEmpty() ? QStringLiteral(".") : QStringLiteral(": ") + m_detail + QLatin1Char('.');
    switch (m_kind) {
    case Kind::None:
        return QStringLiteral("Соединение с почтовым сервером не было открыто.");
    case Kind::Connected:
        return QStringLiteral("Соединение с почтовым сервером ") + m_server + QStringLiteral(" установлено.");
    case Kind::Disconnected:
        return QStringLiteral("Соединение с почтовым сервером ") + m_server + QStringLiteral(" закрыто.");
    case Kind::Sent:
        return QStringLiteral("Сообщение отправлено через почтовый сервер ") + m_server + QLatin1Char('.');
    case Kind::BadSettings:
        return QStringLiteral("Почтовый сервер задан неверно: ") + m_detail + QLatin1Char('.');
    case Kind::NoAnswer:
        return server + QStringLiteral(" не отвечает (") + m_detail + QStringLiteral(").");
    case Kind::TlsFailed:
        return QStringLiteral("Не удалось установить шифрованное соединение с почтовым сервером ") + m_server + QStringLiteral(" (")
            + m_detail + QStringLiteral(").");
    case Kind::PlainAuthRefused:
        return server
            + QStringLiteral(" не предлагает шифрование (STARTTLS): имя и пароль открытым текстом не передаются, вход (AUTH) не выполнен. "
                             "Разрешить вход без шифрования можно ключом [Mail] AllowPlainAuth.");
    case Kind::AuthRefused:
        return server + QStringLiteral(" отклонил вход (AUTH) пользователя «") + m_subject + QStringLiteral("»") + answer;
    case Kind::AuthRequired:
        return server + QStringLiteral(" требует вход (AUTH), а в настройках он выключен") + answer;
    case Kind::SenderRefused:
        return server + QStringLiteral(" отклонил отправителя <") + m_subject + QStringLiteral(">") + answer;
    case Kind::RecipientRefused:
        return server + QStringLiteral(" отклонил получателя <") + m_subject + QStringLiteral(">") + answer;
    case Kind::MessageRefused:
        return server + QStringLiteral(" не принял сообщение") + answer;
    case Kind::DisconnectFailed:
        return server + QStringLiteral(" не ответил на завершение сеанса (QUIT).");
    case Kind::Cancelled:
        return QStringLiteral("Обмен с почтовым сервером прерван: программа завершает работу.");
    }
    return QString();
}
