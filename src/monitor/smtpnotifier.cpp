#include "smtpnotifier.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/settings.h"
#include "config/textcodec.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QSysInfo>
#include <QUuid>

#include <curl/curl.h>

#include <algorithm>
#include <climits>
#include <mutex>

#include <poll.h>
#include <sys/socket.h>

namespace {

const QString ConnectFailed = QStringLiteral("Cann`t connect to server or failed authentication");
const QString DisconnectFailed = QStringLiteral("Cann`t disconnect to server");
const QString SendFailed = QStringLiteral("Failure: Произошла ошибка во время отправки сообщения: ");

void initCurl()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// With a resolver of its own thread libcurl needs no signals; without one
// only SIGALRM bounds a name lookup.
long noSignal()
{
    static const bool asyncDns = (curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_ASYNCHDNS) != 0;
    return asyncDns ? 1L : 0L;
}

size_t discardResponse(char *, size_t size, size_t count, void *) { return size * count; }

// libcurl calls this about once a second even while nothing moves; a non-zero
// answer ends the transfer.
int abortWhenFlagged(void *flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<const std::atomic<bool> *>(flag)->load() ? 1 : 0;
}

struct Upload {
    QByteArray data;
    qsizetype pos = 0;
};

size_t readUpload(char *buffer, size_t size, size_t count, void *user)
{
    auto *u = static_cast<Upload *>(user);
    const qsizetype n = std::min<qsizetype>(static_cast<qsizetype>(size * count), u->data.size() - u->pos);
    std::copy_n(u->data.constData() + u->pos, n, buffer);
    u->pos += n;
    return static_cast<size_t>(n);
}

// A header value never spans lines of its own making.
QString oneLine(const QString &text)
{
    QString s = text;
    s.replace(QLatin1Char('\r'), QLatin1Char(' '));
    s.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return s;
}

QString bareAddress(const QString &address)
{
    QString a = oneLine(address).trimmed();
    a.remove(QLatin1Char('<'));
    a.remove(QLatin1Char('>'));
    return a;
}

bool printableAscii(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x7f; });
}

// RFC 2047 encoded words in Windows-1251, each within the 75-character limit,
// folded onto continuation lines.
QByteArray encodedWords(const QString &text)
{
    const QByteArray bytes = cp1251::encode(text);
    QByteArrayList words;
    for (qsizetype i = 0; i < bytes.size(); i += 39)
        words << "=?windows-1251?B?" + bytes.mid(i, 39).toBase64() + "?=";
    return words.join("\r\n ");
}

QByteArray headerText(const QString &text)
{
    const QString s = oneLine(text);
    return printableAscii(s) ? s.toLatin1() : encodedWords(s);
}

QByteArray mailbox(const QString &name, const QString &address)
{
    const QByteArray addr = "<" + bareAddress(address).toUtf8() + ">";
    const QString n = oneLine(name).trimmed();
    if (n.isEmpty())
        return addr;
    if (!printableAscii(n))
        return encodedWords(n) + " " + addr;
    QString quoted = n;
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    quoted.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    return "\"" + quoted.toLatin1() + "\" " + addr;
}

QByteArray wrapped(const QByteArray &base64)
{
    QByteArray out;
    for (qsizetype i = 0; i < base64.size(); i += 76)
        out += base64.mid(i, 76) + "\r\n";
    return out;
}

// The name this client gives in EHLO/HELO.
QString heloName()
{
    static const QRegularExpression hostName(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9.-]{0,251}[A-Za-z0-9])?$"));
    const QString name = QSysInfo::machineHostName();
    return hostName.match(name).hasMatch() ? name : QStringLiteral("localhost");
}

QString urlHost(const QString &host)
{
    if (host.contains(QLatin1Char(':')) && !host.startsWith(QLatin1Char('[')))
        return QLatin1Char('[') + host + QLatin1Char(']');
    return host;
}

long toLong(qint64 value) { return static_cast<long>(std::clamp<qint64>(value, 0, LONG_MAX)); }

} // namespace

MailSettings MailSettings::fromSettings(const Settings &s)
{
    MailSettings m;
    m.SMTP = s.edtSMTP;
    m.Port = QString::number(s.edtPort);
    m.User = s.edtUser;
    m.Password = s.edtPassword;
    m.Auten = s.chAuten;
    m.FromName = s.edtFromName;
    m.FromAddress = s.edtFromAddress;
    m.Email1 = s.edtEmail1;
    m.Email2 = s.edtEmail2;
    return m;
}

QStringList ParseRecipients(const QString &recipients)
{
    QStringList out;
    for (const QString &part : recipients.split(QLatin1Char(','))) {
        QString a = part.trimmed();
        const qsizetype open = a.indexOf(QLatin1Char('<'));
        const qsizetype close = a.lastIndexOf(QLatin1Char('>'));
        if (open >= 0 && close > open)
            a = a.mid(open + 1, close - open - 1);
        a = bareAddress(a);
        if (!a.isEmpty())
            out << a;
    }
    return out;
}

QByteArray BuildMailMessage(const QString &fromAddress, const QString &fromName, const QStringList &to,
                            const QString &subject, const QStringList &body)
{
    QString domain = bareAddress(fromAddress).section(QLatin1Char('@'), 1);
    static const QRegularExpression domainName(QStringLiteral("^[A-Za-z0-9.-]+$"));
    if (!domainName.match(domain).hasMatch())
        domain = QStringLiteral("localhost");

    QByteArrayList recipients;
    for (const QString &a : to)
        recipients << "<" + bareAddress(a).toUtf8() + ">";

    QByteArray m;
    m += "Date: " + QDateTime::currentDateTime().toString(Qt::RFC2822Date).toLatin1() + "\r\n";
    m += "From: " + mailbox(fromName, fromAddress) + "\r\n";
    m += "To: " + recipients.join(", ") + "\r\n";
    m += "Subject: " + headerText(subject) + "\r\n";
    m += "Message-ID: <" + QUuid::createUuid().toString(QUuid::WithoutBraces).toLatin1() + "@" + domain.toLatin1() + ">\r\n";
    m += "MIME-Version: 1.0\r\n";
    m += "Content-Type: text/plain; charset=windows-1251\r\n";
    m += "Content-Transfer-Encoding: base64\r\n";
    m += "X-Mailer: Korvina " KORVINA_VERSION "\r\n";
    m += "\r\n";
    const QString text = body.isEmpty() ? QString() : body.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
    m += wrapped(cp1251::encode(text).toBase64());
    return m;
}

// The open session: one libcurl handle whose connection libcurl keeps
// between transfers until the handle is cleaned up.
struct SmtpNotifier::Connection {
    CURL *curl = nullptr;
    char error[CURL_ERROR_SIZE] = {};

    Connection() : curl(curl_easy_init()) {}
    ~Connection()
    {
        if (curl)
            curl_easy_cleanup(curl);
    }
};

SmtpNotifier::SmtpNotifier(const Settings &settings) : SmtpNotifier([&settings] { return MailSettings::fromSettings(settings); }) {}

SmtpNotifier::SmtpNotifier(Source source) : m_source(std::move(source))
{
    initCurl();
    setLog({}, {});
}

SmtpNotifier::~SmtpNotifier() { dropConnection(); }

void SmtpNotifier::setSource(Source source) { m_source = std::move(source); }

void SmtpNotifier::setTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds exchange)
{
    m_connectTimeout = connect;
    m_exchangeTimeout = exchange;
}

void SmtpNotifier::setLog(LogLine addLog, LogFlush flushLog)
{
    m_addLog = addLog ? std::move(addLog) : LogLine([](const QString &text) { AddLog(text); });
    m_flushLog = flushLog ? std::move(flushLog) : LogFlush([] { FlushLog(); });
}

void SmtpNotifier::setAbortFlag(const std::atomic<bool> *flag) { m_abort = flag; }

QDeadlineTimer SmtpNotifier::stepDeadline() const
{
    return m_notifyDeadline ? *m_notifyDeadline : QDeadlineTimer(m_exchangeTimeout);
}

bool SmtpNotifier::Connected() const
{
    if (!m_conn)
        return false;
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(m_conn->curl, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK || socket == CURL_SOCKET_BAD)
        return false;
    // An SMTP server says nothing unasked: anything waiting on the socket is
    // its end of the session (a closed connection, a 421), and libcurl would
    // not reuse such a connection either.
    pollfd p{socket, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

void SmtpNotifier::dropConnection()
{
    if (m_conn && aborting()) {
        // Cleaning up says QUIT to a live connection and waits for the
        // answer; cut short, the connection ends without a word.
        curl_socket_t socket = CURL_SOCKET_BAD;
        if (curl_easy_getinfo(m_conn->curl, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK && socket != CURL_SOCKET_BAD)
            ::shutdown(socket, SHUT_RDWR);
    }
    m_conn.reset();
}

bool SmtpNotifier::perform(QString *error)
{
    CURL *c = m_conn->curl;
    if (aborting()) {
        if (error)
            *error = QString::fromUtf8(curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK));
        return false;
    }
    if (m_abort) {
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, abortWhenFlagged);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool> *>(m_abort));
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    } else {
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 1L);
    }
    const qint64 left = std::max<qint64>(1, stepDeadline().remainingTime());
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, toLong(left));
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, toLong(std::min<qint64>(left, m_connectTimeout.count())));
    // Also bounds the QUIT libcurl sends when the handle is cleaned up.
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, toLong(std::max<qint64>(1, (left + 999) / 1000)));
    m_conn->error[0] = '\0';
    const CURLcode rc = curl_easy_perform(c);
    if (rc == CURLE_OK)
        return true;
    if (error)
        *error = m_conn->error[0] ? QString::fromUtf8(m_conn->error) : QString::fromUtf8(curl_easy_strerror(rc));
    return false;
}

bool SmtpNotifier::SmtpConnect()
{
    if (Connected()) {
        flush();
        return true;
    }
    dropConnection(); // a session the server has ended

    bool connected = false;
    try {
        const MailSettings s = m_source();
        bool isNumber = false;
        const int port = s.Port.trimmed().toInt(&isNumber, 10);
        const QString host = s.SMTP.trimmed();
        if (isNumber && port > 0 && port < 65536 && !host.isEmpty() && !aborting()) {
            m_conn = std::make_unique<Connection>();
            CURL *c = m_conn->curl;
            if (c) {
                const bool implicitTls = port == 465;
                const QByteArray url = ((implicitTls ? QStringLiteral("smtps://") : QStringLiteral("smtp://")) + urlHost(host)
                                        + QLatin1Char(':') + QString::number(port) + QLatin1Char('/') + heloName())
                                           .toUtf8();
                curl_easy_setopt(c, CURLOPT_URL, url.constData());
#if LIBCURL_VERSION_NUM >= 0x075500
                curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
#endif
                curl_easy_setopt(c, CURLOPT_USE_SSL, static_cast<long>(implicitTls ? CURLUSESSL_ALL : CURLUSESSL_TRY));
                curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
                curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
                curl_easy_setopt(c, CURLOPT_NOSIGNAL, noSignal());
                curl_easy_setopt(c, CURLOPT_ERRORBUFFER, m_conn->error);
                curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, discardResponse);
                if (s.Auten) {
                    // In Windows-1251, as every text of the program: the
                    // bytes the mail server knows the account by.
                    curl_easy_setopt(c, CURLOPT_USERNAME, cp1251::encode(s.User).constData());
                    curl_easy_setopt(c, CURLOPT_PASSWORD, cp1251::encode(s.Password).constData());
                    curl_easy_setopt(c, CURLOPT_LOGIN_OPTIONS, "AUTH=LOGIN");
                }
                // Greeting, EHLO (HELO), STARTTLS when offered, AUTH LOGIN,
                // then a NOOP: the session is open and proven.
                curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, "NOOP");
                connected = perform(nullptr);
            }
        }
    } catch (const std::exception &) {
        connected = false;
    }
    if (!connected) {
        dropConnection();
        if (!aborting())
            log(ConnectFailed);
    }
    flush();
    return connected;
}

bool SmtpNotifier::SmtpDisconnect()
{
    if (!Connected()) {
        dropConnection(); // nothing left to say to a server that has gone
        flush();
        return false;
    }
    CURL *c = m_conn->curl;
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, nullptr);
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, nullptr);
    curl_easy_setopt(c, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, "QUIT");
    const bool closed = perform(nullptr);
    dropConnection();
    if (!closed && !aborting())
        log(DisconnectFailed);
    flush();
    return closed;
}

void SmtpNotifier::SendMail(const QString &fromAddress, const QString &fromName, const QStringList &body,
                            const QString &recipients, const QString &subject)
{
    send(fromAddress, fromName, body, recipients, subject);
}

bool SmtpNotifier::send(const QString &fromAddress, const QString &fromName, const QStringList &body,
                        const QString &recipients, const QString &subject)
{
    bool sent = false;
    try {
        const QString text = body.isEmpty() ? QString() : body.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
        log(QStringLiteral("Message: \"") + text.left(std::max<qsizetype>(0, text.size() - 2))
               + QStringLiteral("\" is sending to ") + recipients);

        const QStringList to = ParseRecipients(recipients);
        if (to.isEmpty())
            throw KorvinaError(QStringLiteral("No recipients."));
        if (!m_conn)
            throw KorvinaError(QStringLiteral("Not connected."));

        Upload upload{BuildMailMessage(fromAddress, fromName, to, subject, body)};
        curl_slist *rcpt = nullptr;
        for (const QString &a : to)
            rcpt = curl_slist_append(rcpt, ("<" + a.toUtf8() + ">").constData());
        const QByteArray from = "<" + bareAddress(fromAddress).toUtf8() + ">";

        CURL *c = m_conn->curl;
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, nullptr);
        curl_easy_setopt(c, CURLOPT_MAIL_FROM, from.constData());
        curl_easy_setopt(c, CURLOPT_MAIL_RCPT, rcpt);
        curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(c, CURLOPT_READFUNCTION, readUpload);
        curl_easy_setopt(c, CURLOPT_READDATA, &upload);
        curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(upload.data.size()));
        QString error;
        sent = perform(&error);
        curl_easy_setopt(c, CURLOPT_MAIL_RCPT, nullptr);
        curl_easy_setopt(c, CURLOPT_READDATA, nullptr);
        curl_easy_setopt(c, CURLOPT_UPLOAD, 0L);
        curl_slist_free_all(rcpt);
        if (!sent)
            throw KorvinaError(error);
        log(QStringLiteral("Success"));
    } catch (const std::exception &e) {
        sent = false;
        if (!aborting())
            log(SendFailed + QStringLiteral("\r\n") + failureText(e));
    }
    flush();
    return sent;
}

bool SmtpNotifier::Notify(const QString &text)
{
    // One deadline over the whole exchange.
    m_notifyDeadline = QDeadlineTimer(m_exchangeTimeout);
    struct Reset {
        std::optional<QDeadlineTimer> &deadline;
        ~Reset() { deadline.reset(); }
    } reset{m_notifyDeadline};

    if (!SmtpConnect())
        return false;
    bool sent = false;
    try {
        const MailSettings s = m_source();
        sent = send(s.FromAddress, s.FromName, {text},
                 QStringLiteral("<") + s.Email1 + QStringLiteral(">, <") + s.Email2 + QStringLiteral(">"),
                 QStringLiteral("Korvina"));
    } catch (...) {
        SmtpDisconnect();
        throw;
    }
    SmtpDisconnect();
    return sent;
}
