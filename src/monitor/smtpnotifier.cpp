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

// The exchange as libcurl reports it: the last command sent, and the first
// refusal (a 4xx or 5xx answer) with the command it answered; libcurl may
// say QUIT after a refusal, which must not hide it.
struct Exchange {
    QByteArray command; // its verb and argument; the lines of a login are never kept
    QByteArray reply;   // the refusal
    QByteArray refusedCommand;

    void reset()
    {
        command.clear();
        reply.clear();
        refusedCommand.clear();
    }
};

int noteExchange(CURL *, curl_infotype type, char *data, size_t size, void *user)
{
    auto *x = static_cast<Exchange *>(user);
    const QByteArray line = QByteArray(data, static_cast<qsizetype>(size)).trimmed();
    if (type == CURLINFO_HEADER_IN && !line.isEmpty()) {
        const QByteArray last = line.split('\n').last().trimmed();
        if (x->reply.isEmpty() && (last.startsWith('4') || last.startsWith('5'))) {
            x->reply = last;
            x->refusedCommand = x->command;
        }
    } else if (type == CURLINFO_HEADER_OUT) {
        // Only the commands themselves: what follows AUTH LOGIN is the user
        // name and the password.
        static const QByteArrayList verbs{"EHLO", "HELO", "STARTTLS", "AUTH", "MAIL", "RCPT", "DATA", "NOOP", "QUIT", "RSET"};
        const QByteArray verb = line.left(line.indexOf(' ') < 0 ? line.size() : line.indexOf(' ')).toUpper();
        if (verbs.contains(verb))
            x->command = verb == "AUTH" ? verb : line;
    }
    return 0;
}

// The address in a command such as RCPT TO:<a@b>.
QString commandAddress(const QByteArray &command)
{
    const qsizetype open = command.indexOf('<');
    const qsizetype close = command.lastIndexOf('>');
    return open >= 0 && close > open ? QString::fromUtf8(command.mid(open + 1, close - open - 1)) : QString();
}

// Why there was no answer, in the operator's words.
QString noAnswerReason(CURLcode rc)
{
    switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return QStringLiteral("имя сервера не найдено");
    case CURLE_COULDNT_CONNECT:
        return QStringLiteral("соединение не установлено");
    case CURLE_OPERATION_TIMEDOUT:
        return QStringLiteral("ответа нет дольше отведенного времени");
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
        return QStringLiteral("соединение прервано");
    case CURLE_WEIRD_SERVER_REPLY:
        return QStringLiteral("ответ не по протоколу SMTP");
    default:
        return QString::fromUtf8(curl_easy_strerror(rc));
    }
}

bool isTlsFailure(CURLcode rc)
{
    switch (rc) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_USE_SSL_FAILED:
        return true;
    default:
        return false;
    }
}

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
    m.AllowPlainAuth = s.chAllowPlainAuth;
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

QByteArrayList MailHeaders(const QString &fromAddress, const QString &fromName, const QStringList &to, const QString &subject)
{
    QString domain = bareAddress(fromAddress).section(QLatin1Char('@'), 1);
    static const QRegularExpression domainName(QStringLiteral("^[A-Za-z0-9.-]+$"));
    if (!domainName.match(domain).hasMatch())
        domain = QStringLiteral("localhost");

    QByteArrayList recipients;
    for (const QString &a : to)
        recipients << "<" + bareAddress(a).toUtf8() + ">";

    return {"Date: " + QDateTime::currentDateTime().toString(Qt::RFC2822Date).toLatin1(),
            "From: " + mailbox(fromName, fromAddress),
            "To: " + recipients.join(", "),
            "Subject: " + headerText(subject),
            "Message-ID: <" + QUuid::createUuid().toString(QUuid::WithoutBraces).toLatin1() + "@" + domain.toLatin1() + ">"};
}

QByteArray BuildMailMessage(const QString &fromAddress, const QString &fromName, const QStringList &to,
                            const QString &subject, const QStringList &body)
{
    QByteArray m;
    for (const QByteArray &header : MailHeaders(fromAddress, fromName, to, subject))
        m += header + "\r\n";
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
    Exchange exchange;

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

bool SmtpNotifier::perform(MailOutcome::Kind failedAs)
{
    CURL *c = m_conn->curl;
    if (aborting()) {
        m_outcome = MailOutcome(MailOutcome::Kind::Cancelled, m_server);
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
    m_conn->exchange.reset();
    const CURLcode rc = curl_easy_perform(c);
    if (rc == CURLE_OK)
        return true;

    // What the failure was about: a refusal is the server's answer to the
    // last command; anything else is no answer, or no secure one.
    using Kind = MailOutcome::Kind;
    const Exchange &x = m_conn->exchange;
    const QString reply = QString::fromUtf8(x.reply);
    const bool refused = rc != CURLE_OPERATION_TIMEDOUT && !x.reply.isEmpty();
    if (aborting() || rc == CURLE_ABORTED_BY_CALLBACK) {
        m_outcome = MailOutcome(Kind::Cancelled, m_server);
    } else if (rc == CURLE_USE_SSL_FAILED && m_tlsDemanded) {
        m_outcome = MailOutcome(Kind::PlainAuthRefused, m_server);
    } else if (rc == CURLE_LOGIN_DENIED || (refused && x.refusedCommand == "AUTH")) {
        m_outcome = MailOutcome(Kind::AuthRefused, m_server, reply, m_settings.User);
    } else if (isTlsFailure(rc)) {
        m_outcome = MailOutcome(Kind::TlsFailed, m_server,
                                m_conn->error[0] ? QString::fromUtf8(m_conn->error) : QString::fromUtf8(curl_easy_strerror(rc)));
    } else if (refused && x.refusedCommand.toUpper().startsWith("RCPT")) {
        m_outcome = MailOutcome(Kind::RecipientRefused, m_server, reply, commandAddress(x.refusedCommand));
    } else if (refused && x.refusedCommand.toUpper().startsWith("MAIL")) {
        m_outcome = x.reply.startsWith("530") ? MailOutcome(Kind::AuthRequired, m_server, reply)
                                              : MailOutcome(Kind::SenderRefused, m_server, reply, commandAddress(x.refusedCommand));
    } else if (refused && failedAs == Kind::MessageRefused) {
        m_outcome = MailOutcome(Kind::MessageRefused, m_server, reply);
    } else if (refused) {
        // Refused at the greeting or EHLO: the server will not talk.
        m_outcome = MailOutcome(Kind::NoAnswer, m_server, QStringLiteral("сервер отказал: ") + reply);
    } else {
        m_outcome = MailOutcome(failedAs == Kind::DisconnectFailed ? failedAs : Kind::NoAnswer, m_server, noAnswerReason(rc));
    }
    return false;
}

bool SmtpNotifier::open()
{
    dropConnection(); // a session the server has ended
    m_tlsDemanded = false;
    const MailSettings &s = m_settings;
    bool isNumber = false;
    const int port = s.Port.trimmed().toInt(&isNumber, 10);
    const QString host = s.SMTP.trimmed();
    if (host.isEmpty()) {
        m_outcome = MailOutcome(MailOutcome::Kind::BadSettings, m_server, QStringLiteral("не указан адрес сервера"));
        return false;
    }
    if (!isNumber || port <= 0 || port >= 65536) {
        m_outcome = MailOutcome(MailOutcome::Kind::BadSettings, m_server,
                                QStringLiteral("порт «") + s.Port + QStringLiteral("» не число от 1 до 65535"));
        return false;
    }
    if (aborting()) {
        m_outcome = MailOutcome(MailOutcome::Kind::Cancelled, m_server);
        return false;
    }
    m_conn = std::make_unique<Connection>();
    CURL *c = m_conn->curl;
    if (!c) {
        m_outcome = MailOutcome(MailOutcome::Kind::NoAnswer, m_server, QStringLiteral("клиент SMTP не создан"));
        return false;
    }
    const bool implicitTls = port == 465;
    const QByteArray url = ((implicitTls ? QStringLiteral("smtps://") : QStringLiteral("smtp://")) + urlHost(host) + QLatin1Char(':')
                            + QString::number(port) + QLatin1Char('/') + heloName())
                               .toUtf8();
    curl_easy_setopt(c, CURLOPT_URL, url.constData());
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
#endif
    // The password goes only over an encrypted connection, unless the
    // settings allow it in clear: without STARTTLS the session ends before
    // AUTH, and nothing is sent.
    m_tlsDemanded = s.Auten && !s.AllowPlainAuth && !implicitTls;
    curl_easy_setopt(c, CURLOPT_USE_SSL, static_cast<long>(implicitTls || m_tlsDemanded ? CURLUSESSL_ALL : CURLUSESSL_TRY));
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, noSignal());
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, m_conn->error);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, discardResponse);
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, noteExchange);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &m_conn->exchange);
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    if (s.Auten) {
        // In Windows-1251, as every text of the program: the bytes the mail
        // server knows the account by.
        curl_easy_setopt(c, CURLOPT_USERNAME, cp1251::encode(s.User).constData());
        curl_easy_setopt(c, CURLOPT_PASSWORD, cp1251::encode(s.Password).constData());
        curl_easy_setopt(c, CURLOPT_LOGIN_OPTIONS, "AUTH=LOGIN");
    }
    // Greeting, EHLO (HELO), STARTTLS when offered, AUTH LOGIN, then a
    // NOOP: the session is open and proven.
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, "NOOP");
    if (!perform()) {
        dropConnection();
        return false;
    }
    m_outcome = MailOutcome(MailOutcome::Kind::Connected, m_server);
    return true;
}

bool SmtpNotifier::close()
{
    CURL *c = m_conn->curl;
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, nullptr);
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, nullptr);
    curl_easy_setopt(c, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, "QUIT");
    const bool closed = perform(MailOutcome::Kind::DisconnectFailed);
    dropConnection();
    if (closed)
        m_outcome = MailOutcome(MailOutcome::Kind::Disconnected, m_server);
    else if (m_outcome.kind() != MailOutcome::Kind::Cancelled)
        m_outcome = MailOutcome(MailOutcome::Kind::DisconnectFailed, m_server);
    return closed;
}

namespace {

MailSettings current(const SmtpNotifier::Source &source)
{
    try {
        return source ? source() : MailSettings{};
    } catch (const std::exception &) {
        return MailSettings{};
    }
}

QString serverName(const MailSettings &s) { return s.SMTP.trimmed() + QLatin1Char(':') + s.Port.trimmed(); }

} // namespace

bool SmtpNotifier::SmtpConnect()
{
    if (Connected()) {
        m_outcome = MailOutcome(MailOutcome::Kind::Connected, m_server);
        flush();
        return true;
    }
    m_settings = current(m_source);
    m_server = serverName(m_settings);
    const bool connected = open();
    if (m_outcome.kind() != MailOutcome::Kind::Cancelled)
        log(m_outcome.text());
    flush();
    return connected;
}

bool SmtpNotifier::SmtpDisconnect()
{
    if (!Connected()) {
        dropConnection(); // nothing left to say to a server that has gone
        m_outcome = MailOutcome();
        flush();
        return false;
    }
    const bool closed = close();
    if (m_outcome.kind() != MailOutcome::Kind::Cancelled)
        log(m_outcome.text());
    flush();
    return closed;
}

void SmtpNotifier::SendMail(const QString &fromAddress, const QString &fromName, const QStringList &body,
                            const QString &recipients, const QString &subject, const QList<MailAttachment> &attachments)
{
    if (!m_conn) {
        m_settings = current(m_source);
        m_server = serverName(m_settings);
    }
    const QString text = body.join(QStringLiteral(" "));
    if (send(fromAddress, fromName, body, recipients, subject, attachments))
        reportSent();
    else
        reportNotSent(text);
    flush();
}

bool SmtpNotifier::send(const QString &fromAddress, const QString &fromName, const QStringList &body,
                        const QString &recipients, const QString &subject, const QList<MailAttachment> &attachments)
{
    const QString text = body.isEmpty() ? QString() : body.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
    log(QStringLiteral("Message: \"") + text.left(std::max<qsizetype>(0, text.size() - 2)) + QStringLiteral("\" is sending to ")
        + recipients);

    const QStringList to = ParseRecipients(recipients);
    if (to.isEmpty()) {
        m_outcome = MailOutcome(MailOutcome::Kind::BadSettings, m_server, QStringLiteral("не указан ни один получатель"));
        return false;
    }
    if (!m_conn) {
        m_outcome = MailOutcome(MailOutcome::Kind::NoAnswer, m_server, QStringLiteral("соединение не открыто"));
        return false;
    }
    curl_slist *rcpt = nullptr;
    for (const QString &a : to)
        rcpt = curl_slist_append(rcpt, ("<" + a.toUtf8() + ">").constData());
    const QByteArray from = "<" + bareAddress(fromAddress).toUtf8() + ">";

    CURL *c = m_conn->curl;
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, nullptr);
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, from.constData());
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, rcpt);
    bool sent = false;
    if (attachments.isEmpty()) {
        Upload upload{BuildMailMessage(fromAddress, fromName, to, subject, body)};
        curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(c, CURLOPT_READFUNCTION, readUpload);
        curl_easy_setopt(c, CURLOPT_READDATA, &upload);
        curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(upload.data.size()));
        sent = perform(MailOutcome::Kind::MessageRefused);
        curl_easy_setopt(c, CURLOPT_READDATA, nullptr);
        curl_easy_setopt(c, CURLOPT_UPLOAD, 0L);
    } else {
        // libcurl composes the multipart message and adds its MIME headers
        // to ours: the text first, then the files.
        curl_mime *mime = curl_mime_init(c);
        curl_mimepart *part = curl_mime_addpart(mime);
        const QByteArray bytes = cp1251::encode(text);
        curl_mime_data(part, bytes.constData(), static_cast<size_t>(bytes.size()));
        curl_mime_type(part, "text/plain; charset=windows-1251");
        curl_mime_encoder(part, "base64");
        for (const MailAttachment &a : attachments) {
            part = curl_mime_addpart(mime);
            curl_mime_data(part, a.data.constData(), static_cast<size_t>(a.data.size()));
            curl_mime_type(part, a.contentType.isEmpty() ? "application/octet-stream" : a.contentType.constData());
            curl_mime_filename(part, oneLine(a.fileName).toUtf8().constData());
            curl_mime_encoder(part, "base64");
        }
        curl_slist *headers = nullptr;
        for (const QByteArray &header : MailHeaders(fromAddress, fromName, to, subject))
            headers = curl_slist_append(headers, header.constData());
        headers = curl_slist_append(headers, "X-Mailer: Korvina " KORVINA_VERSION);
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(c, CURLOPT_MIMEPOST, mime);
        sent = perform(MailOutcome::Kind::MessageRefused);
        curl_easy_setopt(c, CURLOPT_MIMEPOST, nullptr);
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
        curl_slist_free_all(headers);
        curl_mime_free(mime);
    }
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, nullptr);
    curl_slist_free_all(rcpt);
    if (sent)
        m_outcome = MailOutcome(MailOutcome::Kind::Sent, m_server);
    return sent;
}

void SmtpNotifier::reportNotSent(const QString &text)
{
    if (m_outcome.kind() == MailOutcome::Kind::Cancelled || aborting())
        return; // whoever cut it short tells of the message
    if (m_quiet) {
        // Told once while the same failure repeats.
        ++m_notSent;
        if (m_failing && m_failing->sameFailure(m_outcome))
            return;
        m_failing = m_outcome;
    }
    log(QStringLiteral("Сообщение \"") + text + QStringLiteral("\" не отправлено. ") + m_outcome.text());
}

void SmtpNotifier::reportSent()
{
    log(m_outcome.text());
    if (m_quiet && m_failing) {
        log(QStringLiteral("Почта снова отправляется (почтовый сервер ") + m_server
            + QStringLiteral("); пока она не работала, не отправлено сообщений: ") + QString::number(m_notSent) + QLatin1Char('.'));
        m_failing.reset();
        m_notSent = 0;
    }
}

bool SmtpNotifier::Notify(const QString &text, const QList<MailAttachment> &attachments)
{
    // One deadline over the whole exchange.
    m_notifyDeadline = QDeadlineTimer(m_exchangeTimeout);
    struct Reset {
        std::optional<QDeadlineTimer> &deadline;
        ~Reset() { deadline.reset(); }
    } reset{m_notifyDeadline};

    // The settings of this message; a session "Коннект" opened goes on
    // under its own.
    const MailSettings s = current(m_source);
    if (!Connected()) {
        m_settings = s;
        m_server = serverName(s);
        if (!open()) {
            reportNotSent(text);
            flush();
            return false;
        }
    }
    const bool sent = send(s.FromAddress, s.FromName, {text},
                           QStringLiteral("<") + s.Email1 + QStringLiteral(">, <") + s.Email2 + QStringLiteral(">"),
                           QStringLiteral("Korvina"), attachments);
    if (sent)
        reportSent();
    else
        reportNotSent(text);
    const MailOutcome outcome = m_outcome;
    // The session ends either way; a QUIT unanswered is told, the outcome
    // stays the message's.
    if (m_conn && Connected() && !close() && m_outcome.kind() == MailOutcome::Kind::DisconnectFailed)
        log(m_outcome.text());
    else
        dropConnection();
    m_outcome = outcome;
    flush();
    return sent;
}
