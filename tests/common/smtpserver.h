#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// A real SMTP server on loopback for the tests (tests/smtpserver.py on
// aiosmtpd), started on a free port and stopped with the object. It keeps
// every session's commands and every message it receives.
class SmtpTestServer {
public:
    struct Options {
        QString auth;  // "user:password": AUTH required before MAIL, only this pair accepted
        QString stall; // a command the server never answers, e.g. "MAIL"
        bool starttls = false; // offers STARTTLS with a self-signed certificate
        QString refuseRcpt; // a recipient refused with 550
        quint16 port = 0;   // listen on this port (0: a free one), e.g. a server started again
    };

    explicit SmtpTestServer(const Options &options);
    SmtpTestServer() : SmtpTestServer(Options{}) {}
    ~SmtpTestServer();

    // 0 when the server did not start; error() says why.
    quint16 port() const { return m_port; }
    const QString &error() const { return m_error; }

    // Every event so far, in order (see tests/smtpserver.py).
    QList<QJsonObject> events() const;
    QList<QJsonObject> messages() const;
    int connections() const;
    // The commands of every session, in order: "EHLO", "AUTH LOGIN", "NOOP", ...
    QStringList commands() const;
    // Waits until the events satisfy the condition (the server writes them
    // while it answers).
    bool waitFor(const std::function<bool(const QList<QJsonObject> &)> &condition, int ms = 5000) const;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};

// The body of a received message (or of one of its parts), as the bytes the
// reader decoded.
QByteArray messageBody(const QJsonObject &message);
// The parts of a multipart message, in order; none for a plain one.
QList<QJsonObject> messageParts(const QJsonObject &message);
