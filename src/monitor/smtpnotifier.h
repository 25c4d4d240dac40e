#pragma once

#include "mailoutcome.h"

#include <QDeadlineTimer>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class Settings;

// The mail settings as the SMTP routines read them at each call. The port is
// kept as its text, as the operator typed it: a port that is not a number is
// one of the failures the routines report.
struct MailSettings {
    QString SMTP;
    QString Port;
    QString User;
    QString Password;
    bool Auten = false;
    // The login may go to a server that offers no encryption.
    bool AllowPlainAuth = false;
    QString FromName;
    QString FromAddress;
    QString Email1;
    QString Email2;

    static MailSettings fromSettings(const Settings &settings);
};

// A file that goes with a message: the name the recipient sees, its type
// ("application/pdf") and its bytes.
struct MailAttachment {
    QString fileName;
    QByteArray contentType;
    QByteArray data;
};

// E-mail and SMS notifications: one SMTP client that is either disconnected
// (the normal state between notifications) or connected, because the
// operator pressed "Коннект" or a notification is under way.
//
// Every failure is logged and none reaches the caller. The exchange runs on
// the calling thread; its cost is bounded: establishing the TCP connection
// takes at most the connection timeout, and one notification (connect,
// send, disconnect) at most the exchange timeout, whatever the server does.
// MailQueue runs one on a worker thread, so that callers need not wait.
//
// TLS: STARTTLS whenever the server offers it, implicit TLS on port 465,
// certificates and host names always checked. With authentication on, a
// server that offers no STARTTLS gets neither the login nor the message,
// unless AllowPlainAuth says the password may go in clear.
//
// Every step ends in a MailOutcome (lastOutcome()), told in the log in
// Russian: whether the server did not answer, refused the login, the
// sender, a recipient or the message.
class SmtpNotifier {
public:
    using Source = std::function<MailSettings()>;
    using LogLine = std::function<void(const QString &)>;
    using LogFlush = std::function<void()>;

    static constexpr std::chrono::milliseconds DefaultConnectTimeout{10000};
    static constexpr std::chrono::milliseconds DefaultExchangeTimeout{30000};

    // Reads the mail settings from the robot's settings at each call.
    explicit SmtpNotifier(const Settings &settings);
    explicit SmtpNotifier(Source source);
    // Closes a connection the operator left open (without QUIT when the
    // abort flag is set).
    ~SmtpNotifier();
    SmtpNotifier(const SmtpNotifier &) = delete;
    SmtpNotifier &operator=(const SmtpNotifier &) = delete;

    // Where the settings come from; the options dialog points it at its
    // edit fields while it is open.
    void setSource(Source source);
    void setTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds exchange);
    std::chrono::milliseconds connectTimeout() const { return m_connectTimeout; }
    std::chrono::milliseconds exchangeTimeout() const { return m_exchangeTimeout; }

    // Where the log lines go: the operation log's AddLog and FlushLog by
    // default (an empty function keeps that default). A notifier working on
    // another thread than the log's hands its lines over instead.
    void setLog(LogLine addLog, LogFlush flushLog);
    // Another thread cuts the exchange short by setting *flag: a transfer
    // under way stops within about a second, no new step starts, and the
    // failures that follow are not logged (whoever set the flag accounts for
    // the message). The flag must outlive the notifier; nullptr: never.
    void setAbortFlag(const std::atomic<bool> *flag);
    bool aborting() const { return m_abort && m_abort->load(); }

    // The operator's "Коннект": connects, greets and, when the settings ask
    // for it, authenticates with AUTH LOGIN (user name and password in
    // Windows-1251). True at once, and nothing logged, when already
    // connected; otherwise the outcome is logged either way.
    bool SmtpConnect();
    // The operator's "Дисконнект": ends the session with QUIT, logged. False
    // without a word when not connected; false with the failure logged when
    // the server does not acknowledge.
    bool SmtpDisconnect();
    // One message through the open connection, logged before it goes and
    // after (sent, or why not). `recipients` is a comma-separated list of
    // addresses in angle brackets; empty addresses are skipped. With files
    // attached the message is MIME multipart: the body as its first part,
    // then one part per file, each base64-encoded.
    void SendMail(const QString &fromAddress, const QString &fromName, const QStringList &body,
                  const QString &recipients, const QString &subject, const QList<MailAttachment> &attachments = {});
    // One event text to both recipients, the files attached: connect unless
    // connected, send, disconnect. True when the server took the message. A
    // message not sent is logged with its text and why.
    bool Notify(const QString &text, const QList<MailAttachment> &attachments = {});
    // What the last call came to.
    const MailOutcome &lastOutcome() const { return m_outcome; }

    // The robot's own messages: a failure is logged once while it repeats
    // (the same kind at the same server), and once when it clears (a
    // message sent again), with the number of messages not sent meanwhile.
    // Off (the operator's buttons), every outcome is logged.
    void setQuietRepeats(bool quiet) { m_quiet = quiet; }

    bool Connected() const;

private:
    struct Connection;

    // The time left for the current step: a notification shares one deadline
    // over its steps; a step called alone has its own.
    QDeadlineTimer stepDeadline() const;
    // Runs the transfer set up on the open connection within the deadline;
    // on failure the outcome tells why.
    bool perform(MailOutcome::Kind failedAs = MailOutcome::Kind::NoAnswer);
    void dropConnection();
    // Opens and proves a session; the outcome says how it went.
    bool open();
    // QUIT on the open session.
    bool close();
    // SendMail; true when the server took the message.
    bool send(const QString &fromAddress, const QString &fromName, const QStringList &body, const QString &recipients,
              const QString &subject, const QList<MailAttachment> &attachments);
    // A message that did not go, and one that did, as the log tells them.
    void reportNotSent(const QString &text);
    void reportSent();
    void log(const QString &text) { m_addLog(text); }
    void flush() { m_flushLog(); }

    Source m_source;
    std::unique_ptr<Connection> m_conn;
    std::optional<QDeadlineTimer> m_notifyDeadline;
    std::chrono::milliseconds m_connectTimeout = DefaultConnectTimeout;
    std::chrono::milliseconds m_exchangeTimeout = DefaultExchangeTimeout;
    LogLine m_addLog;
    LogFlush m_flushLog;
    const std::atomic<bool> *m_abort = nullptr;

    MailSettings m_settings; // of the call under way
    QString m_server;        // "host:port" of the call under way
    MailOutcome m_outcome;
    bool m_tlsDemanded = false; // encryption was required because of the login

    bool m_quiet = false;
    std::optional<MailOutcome> m_failing; // the failure last logged in quiet mode
    int m_notSent = 0;                    // messages not sent since
};

// The message as it goes over the wire: headers (Date, From, To, Subject,
// Message-ID, MIME) and the body in Windows-1251, base64-encoded.
QByteArray BuildMailMessage(const QString &fromAddress, const QString &fromName, const QStringList &to,
                            const QString &subject, const QStringList &body);
// The headers of a message, each a line without its line break: those
// BuildMailMessage writes before the MIME ones.
QByteArrayList MailHeaders(const QString &fromAddress, const QString &fromName, const QStringList &to, const QString &subject);
// The addresses of a recipients text: "<a>, <b>" gives a and b.
QStringList ParseRecipients(const QString &recipients);
