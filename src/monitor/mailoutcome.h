#pragma once

#include <QString>

// What one step of the mail came to: the options dialog shows it, the log
// tells it, and a failure that repeats is known by its kind and server.
class MailOutcome {
public:
    enum class Kind {
        None,             // nothing to do ("Дисконнект" with no session open)
        Connected,        // a session is open
        Disconnected,     // the session ended with QUIT
        Sent,             // the server took the message
        BadSettings,      // no server, or a port that is no port
        NoAnswer,         // no connection, or no answer in time
        TlsFailed,        // the encrypted connection was not set up
        PlainAuthRefused, // no encryption offered: the login is not sent in clear
        AuthRefused,      // the server refused the user name and password
        AuthRequired,     // the server wants a login the settings do not give
        SenderRefused,    // MAIL FROM refused
        RecipientRefused, // RCPT TO refused
        MessageRefused,   // the message itself refused, or another refusal
        DisconnectFailed, // no answer to QUIT
        Cancelled,        // cut short: the program is ending
    };

    MailOutcome() = default;
    // `detail`: the server's answer or why there was none; `subject`: the
    // address refused, or the user name the login was refused for.
    MailOutcome(Kind kind, const QString &server, const QString &detail = QString(), const QString &subject = QString());

    Kind kind() const { return m_kind; }
    // "host:port" as the settings name it.
    const QString &server() const { return m_server; }
    const QString &detail() const { return m_detail; }
    const QString &subject() const { return m_subject; }
    bool ok() const;
    // One sentence for the operator, in Russian.
    QString text() const;
    // The same failure again: the same kind at the same server.
    bool sameFailure(const MailOutcome &other) const { return m_kind == other.m_kind && m_server == other.m_server; }

private:
    Kind m_kind = Kind::None;
    QString m_server;
    QString m_detail;
    QString m_subject;
};
