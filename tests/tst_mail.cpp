// Mail notifications against a real SMTP server on loopback: what arrives
// (envelope, headers, the Windows-1251 body), authentication on and off, the
// session left open by "Коннект", every failure logged and contained, and a
// dead server costing no more than the bound. Then the queue in front of
// it: the caller never waits for the server, messages go out in order with
// their log lines added on the owner's thread, and shutting down gives up
// on a hung server promptly, naming every message that did not go out.

#include "config/textcodec.h"
#include "data/datmod.h"
#include "engine/robot.h"
#include "monitor/mailqueue.h"
#include "monitor/smtpnotifier.h"
#include "smtpserver.h"
#include "workspace.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTcpServer>
#include <QThread>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

const QString Trader = QStringLiteral("trader@example.org");
const QString Phone = QStringLiteral("79001234567@sms.example.org");
// The outcomes as the log tells them, for the server at this port.
QString server(const QString &port) { return QStringLiteral("127.0.0.1:") + port; }
QString sentOk(const QString &port) { return QStringLiteral("Сообщение отправлено через почтовый сервер ") + server(port) + QLatin1Char('.'); }
QString notSentBecause(const QString &text, const QString &why)
{
    return QStringLiteral("Сообщение \"") + text + QStringLiteral("\" не отправлено. ") + why;
}
QString noAnswer(const QString &port, const QString &why)
{
    return QStringLiteral("Почтовый сервер ") + server(port) + QStringLiteral(" не отвечает (") + why + QStringLiteral(").");
}
const QString NoConnection = QStringLiteral("соединение не установлено");
const QString TimedOut = QStringLiteral("ответа нет дольше отведенного времени");
QString connected(const QString &port) { return QStringLiteral("Соединение с почтовым сервером ") + server(port) + QStringLiteral(" установлено."); }
QString disconnected(const QString &port) { return QStringLiteral("Соединение с почтовым сервером ") + server(port) + QStringLiteral(" закрыто."); }

MailSettings mailTo(const QString &port)
{
    MailSettings m;
    m.SMTP = QStringLiteral("127.0.0.1");
    m.Port = port;
    m.User = QStringLiteral("robot");
    m.Password = QStringLiteral("secret");
    m.FromName = QStringLiteral("Korvina");
    m.FromAddress = QStringLiteral("robot@example.org");
    m.Email1 = Trader;
    m.Email2 = Phone;
    return m;
}

QString sentLine(const QString &text, const QString &email2 = Phone)
{
    return QStringLiteral("Message: \"") + text + QStringLiteral("\" is sending to <") + Trader + QStringLiteral(">, <") + email2
           + QStringLiteral(">");
}

QString notSent(const QString &text)
{
    return QStringLiteral("Сообщение \"") + text + QStringLiteral("\" не отправлено: программа завершает работу.");
}

// Whether the server has seen this command (the client is then waiting for
// its answer when the server stalls on it).
bool sawCommand(const SmtpTestServer &server, const QString &command)
{
    return server.waitFor([&](const QList<QJsonObject> &events) {
        return std::any_of(events.cbegin(), events.cend(), [&](const QJsonObject &e) {
            return e.value(QStringLiteral("command")).toString() == command;
        });
    });
}

QStringList strings(const QJsonValue &v)
{
    QStringList out;
    for (const QJsonValue &x : v.toArray())
        out << x.toString();
    return out;
}

} // namespace

class TestMail : public QObject {
    Q_OBJECT

private slots:
    void notifyDelivers_data();
    void notifyDelivers();
    void failuresAreLoggedAndBounded_data();
    void failuresAreLoggedAndBounded();
    void connectLeavesSessionForNextNotify();
    void sessionEndedByServerIsNotConnected();
    void eachEventIsItsOwnExchange();
    void failureLoggedOnceUntilItClears();
    void attachmentGoesAsMimePart_data();
    void attachmentGoesAsMimePart();

    void queuedMessagesGoOutInOrder();
    void queueTimeoutsReachTheWorker();
    void connectThroughQueueServesNextMessage();
    void shutdownGivesUpOnHungServer_data();
    void shutdownGivesUpOnHungServer();
    void logLinesAreAddedOnOwnerThread();
};

void TestMail::notifyDelivers_data()
{
    QTest::addColumn<bool>("auth");
    QTest::addColumn<QString>("fromName");
    QTest::addColumn<QString>("email2");
    QTest::addColumn<QStringList>("recipients");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");

    const QString user = QStringLiteral("robot"), password = QStringLiteral("secret");
    QTest::newRow("no authentication, Cyrillic sender name")
        << false << QStringLiteral("Робот Корвина") << Phone << QStringList{Trader, Phone} << user << password;
    QTest::newRow("AUTH LOGIN, quotes in the name")
        << true << QStringLiteral("Desk \"A\"") << Phone << QStringList{Trader, Phone} << user << password;
    // The server must get the Windows-1251 bytes of these letters.
    QTest::newRow("AUTH LOGIN, Cyrillic user and password")
        << true << QStringLiteral("Робот") << Phone << QStringList{Trader, Phone} << QStringLiteral("ВёЛё")
        << QStringLiteral("ПёСіЯё42");
    QTest::newRow("second address empty") << false << QString() << QString() << QStringList{Trader} << user << password;
}

void TestMail::notifyDelivers()
{
    QFETCH(bool, auth);
    QFETCH(QString, fromName);
    QFETCH(QString, email2);
    QFETCH(QStringList, recipients);
    QFETCH(QString, user);
    QFETCH(QString, password);

    // The test server accepts the pair whose UTF-8 bytes it is given. What
    // the client must send are the Windows-1251 bytes, so the server is given
    // the UTF-8 reading of those: the same text for ASCII, and for the
    // Cyrillic row (a capital В..Я followed by ё or і is a valid UTF-8
    // sequence in Windows-1251) other characters, so that the UTF-8 bytes of
    // the Cyrillic letters themselves would be refused.
    auto asServerSees = [](const QString &text) {
        const QByteArray bytes = cp1251::encode(text);
        const QString utf8 = QString::fromUtf8(bytes);
        return utf8.toUtf8() == bytes ? utf8 : QString();
    };
    const QString serverUser = asServerSees(user), serverPassword = asServerSees(password);
    QVERIFY(!serverUser.isEmpty() && !serverPassword.isEmpty());
    SmtpTestServer server({auth ? serverUser + QLatin1Char(':') + serverPassword : QString(), {}});
    QVERIFY2(server.port(), qPrintable(server.error()));
    TestWorkspace ws(false);
    MailSettings m = mailTo(QString::number(server.port()));
    m.User = user;
    m.Password = password;
    m.Auten = auth; // user and password are set either way: off must not use them
    m.AllowPlainAuth = true; // the loopback server offers no TLS
    m.FromName = fromName;
    m.Email2 = email2;
    SmtpNotifier mail([m] { return m; });

    const QString text = QStringLiteral("Транзакция номер 12 успешно выполнена.");
    mail.Notify(text);

    QCOMPARE(ws.messages(), (QStringList{sentLine(text, email2), sentOk(QString::number(server.port()))}));
    QVERIFY(!mail.Connected());

    const QStringList commands = server.commands();
    QCOMPARE(commands.first(), QStringLiteral("EHLO"));
    QCOMPARE(commands.last(), QStringLiteral("QUIT"));
    QCOMPARE(commands.contains(QStringLiteral("AUTH LOGIN")), auth);
    QCOMPARE(commands.filter(QRegularExpression(QStringLiteral("^AUTH"))).size(), auth ? 1 : 0);
    QCOMPARE(server.connections(), 1);
    QList<QJsonObject> logins;
    for (const QJsonObject &e : server.events())
        if (e.value(QStringLiteral("event")).toString() == QStringLiteral("auth"))
            logins << e;
    QCOMPARE(logins.size(), auth ? 1 : 0);
    if (auth) {
        QCOMPARE(logins.first().value(QStringLiteral("login")).toString(), serverUser);
        QVERIFY(logins.first().value(QStringLiteral("success")).toBool());
    }

    const QList<QJsonObject> received = server.messages();
    QCOMPARE(received.size(), 1);
    const QJsonObject msg = received.first();
    QCOMPARE(msg.value(QStringLiteral("authenticated")).toBool(), auth);
    QCOMPARE(msg.value(QStringLiteral("mail_from")).toString(), QStringLiteral("robot@example.org"));
    QCOMPARE(strings(msg.value(QStringLiteral("rcpt_tos"))), recipients);
    QCOMPARE(strings(msg.value(QStringLiteral("to"))), recipients);
    QCOMPARE(msg.value(QStringLiteral("subject")).toString(), QStringLiteral("Korvina"));
    QCOMPARE(msg.value(QStringLiteral("from_name")).toString(), fromName);
    QCOMPARE(msg.value(QStringLiteral("from_address")).toString(), QStringLiteral("robot@example.org"));
    QCOMPARE(msg.value(QStringLiteral("content_type")).toString(), QStringLiteral("text/plain"));
    QCOMPARE(msg.value(QStringLiteral("charset")).toString(), QStringLiteral("windows-1251"));
    QCOMPARE(msg.value(QStringLiteral("transfer_encoding")).toString(), QStringLiteral("base64"));
    QCOMPARE(msg.value(QStringLiteral("mime_version")).toString(), QStringLiteral("1.0"));
    QVERIFY(msg.value(QStringLiteral("date_valid")).toBool());
    QVERIFY(!msg.value(QStringLiteral("message_id")).toString().isEmpty());
    QCOMPARE(strings(msg.value(QStringLiteral("defects"))), QStringList());

    // One line, one byte per letter: "Тран..." is D2 F0 E0 ED in Windows-1251.
    const QByteArray body = messageBody(msg);
    QVERIFY2(body.startsWith("\xD2\xF0\xE0\xED"), body.toHex().constData());
    QCOMPARE(body, cp1251::encode(text + QStringLiteral("\r\n")));
}

void TestMail::failuresAreLoggedAndBounded_data()
{
    QTest::addColumn<QString>("port");        // "server", "starttls", "closed", "silent" or the text itself
    QTest::addColumn<QString>("serverAuth");  // what the server requires
    QTest::addColumn<QString>("stall");       // the command it never answers
    QTest::addColumn<QString>("refuseRcpt");  // the recipient it refuses
    QTest::addColumn<bool>("auten");
    QTest::addColumn<bool>("allowPlain");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QStringList>("expected"); // the log; %S the server, %M the line "Message: ..."
    QTest::addColumn<QString>("reason");       // one more line starting with this, when set
    QTest::addColumn<int>("delivered");

    const QString notSent = QStringLiteral("Сообщение \"Test.\" не отправлено. ");
    const QString server = QStringLiteral("Почтовый сервер %S");
    QTest::newRow("refused password") << "server" << "robot:secret" << "" << "" << true << true << "wrong" << QStringList()
                                      << notSent + server + " отклонил вход (AUTH) пользователя «robot»: 535" << 0;
    QTest::newRow("login without encryption refused")
        << "server" << "robot:secret" << "" << "" << true << false << "secret"
        << QStringList{notSent + server
                       + " не предлагает шифрование (STARTTLS): имя и пароль открытым текстом не передаются, вход (AUTH) не выполнен. "
                         "Разрешить вход без шифрования можно ключом [Mail] AllowPlainAuth."}
        << "" << 0;
    QTest::newRow("port not a number") << "25a" << "" << "" << "" << false << false << "secret"
                                       << QStringList{notSent + "Почтовый сервер задан неверно: порт «25a» не число от 1 до 65535."} << "" << 0;
    QTest::newRow("port out of range") << "70000" << "" << "" << "" << false << false << "secret"
                                       << QStringList{notSent + "Почтовый сервер задан неверно: порт «70000» не число от 1 до 65535."} << ""
                                       << 0;
    QTest::newRow("nothing listening") << "closed" << "" << "" << "" << false << false << "secret"
                                       << QStringList{notSent + server + " не отвечает (" + NoConnection + ")."} << "" << 0;
    QTest::newRow("accepts, never answers") << "silent" << "" << "" << "" << false << false << "secret"
                                            << QStringList{notSent + server + " не отвечает (" + TimedOut + ")."} << "" << 0;
    QTest::newRow("STARTTLS offered, certificate untrusted")
        << "starttls" << "" << "" << "" << false << false << "secret" << QStringList()
        << notSent + "Не удалось установить шифрованное соединение с почтовым сервером %S (" << 0;
    QTest::newRow("server wants AUTH, switch off")
        << "server" << "robot:secret" << "" << "" << false << false << "secret" << QStringList{"%M"}
        << notSent + server + " требует вход (AUTH), а в настройках он выключен: 530" << 0;
    QTest::newRow("recipient refused")
        << "server" << "" << "" << "79001234567@sms.example.org" << false << false << "secret"
        << QStringList{"%M", notSent + server + " отклонил получателя <79001234567@sms.example.org>: 550 5.1.1 Recipient address rejected."}
        << "" << 0;
    QTest::newRow("stalls after MAIL") << "server" << "" << "MAIL" << "" << false << false << "secret"
                                       << QStringList{"%M", notSent + server + " не отвечает (" + TimedOut + ")."} << "" << 0;
    QTest::newRow("stalls at QUIT")
        << "server" << "" << "QUIT" << "" << false << false << "secret"
        << QStringList{"%M", "Сообщение отправлено через почтовый сервер %S.", server + " не ответил на завершение сеанса (QUIT)."} << ""
        << 1;
}

void TestMail::failuresAreLoggedAndBounded()
{
    QFETCH(QString, port);
    QFETCH(QString, serverAuth);
    QFETCH(QString, stall);
    QFETCH(QString, refuseRcpt);
    QFETCH(bool, auten);
    QFETCH(bool, allowPlain);
    QFETCH(QString, password);
    QFETCH(QStringList, expected);
    QFETCH(QString, reason);
    QFETCH(int, delivered);

    std::unique_ptr<SmtpTestServer> server;
    QTcpServer silent; // the kernel completes the handshake; nothing is ever said
    const bool starttls = port == QStringLiteral("starttls");
    if (port == QStringLiteral("server") || starttls) {
        SmtpTestServer::Options options{serverAuth, stall, starttls};
        options.refuseRcpt = refuseRcpt;
        server = std::make_unique<SmtpTestServer>(options);
        QVERIFY2(server->port(), qPrintable(server->error()));
        port = QString::number(server->port());
    } else if (port == QStringLiteral("silent")) {
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        port = QString::number(silent.serverPort());
    } else if (port == QStringLiteral("closed")) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        port = QString::number(probe.serverPort());
    }

    TestWorkspace ws(false);
    MailSettings m = mailTo(port);
    m.Auten = auten;
    m.AllowPlainAuth = allowPlain;
    m.Password = password;
    SmtpNotifier mail([m] { return m; });
    mail.setTimeouts(500ms, 1500ms);

    QElapsedTimer t;
    t.start();
    QVERIFY(!mail.Notify(QStringLiteral("Test.")) || delivered == 1);
    const qint64 elapsed = t.elapsed();

    // Nothing reaches the caller and the whole exchange keeps to the bound.
    QVERIFY2(elapsed < 1500 + 1000, qPrintable(QString::number(elapsed)));
    QVERIFY(!mail.Connected());
    for (QString &line : expected)
        line = line == QStringLiteral("%M") ? sentLine(QStringLiteral("Test.")) : line.replace(QStringLiteral("%S"), ::server(port));
    QStringList log = ws.messages();
    if (!reason.isEmpty()) {
        QCOMPARE(log.size(), expected.size() + 1);
        QVERIFY2(log.takeLast().startsWith(reason.replace(QStringLiteral("%S"), ::server(port))), qPrintable(ws.messages().join('\n')));
    }
    QCOMPARE(log, expected);
    QCOMPARE(mail.lastOutcome().ok(), delivered == 1);
    if (server) {
        QCOMPARE(server->messages().size(), delivered);
        // Refused credentials or certificate: nothing goes out, and nothing
        // goes out in the clear instead; without encryption the login is
        // not even tried.
        if ((!serverAuth.isEmpty() && auten) || starttls)
            QVERIFY(!server->commands().contains(QStringLiteral("MAIL")));
        QCOMPARE(server->commands().contains(QStringLiteral("AUTH LOGIN")), auten && allowPlain);
        QCOMPARE(server->commands().contains(QStringLiteral("STARTTLS")), starttls);
    }
}

void TestMail::connectLeavesSessionForNextNotify()
{
    SmtpTestServer server;
    QVERIFY2(server.port(), qPrintable(server.error()));
    TestWorkspace ws(false);
    const MailSettings m = mailTo(QString::number(server.port()));
    SmtpNotifier mail([m] { return m; });

    // "Дисконнект" while not connected: nothing happens, nothing is logged.
    QVERIFY(!mail.SmtpDisconnect());
    QCOMPARE(server.connections(), 0);
    QVERIFY(ws.messages().isEmpty());
    QCOMPARE(mail.lastOutcome().kind(), MailOutcome::Kind::None);

    // "Коннект" twice: the second returns at once on the same session,
    // without a word; the first is told.
    const QString port = QString::number(server.port());
    QVERIFY(mail.SmtpConnect());
    QVERIFY(mail.Connected());
    QVERIFY(mail.SmtpConnect());
    QCOMPARE(mail.lastOutcome().kind(), MailOutcome::Kind::Connected);
    QCOMPARE(server.connections(), 1);
    QCOMPARE(ws.messages(), QStringList{connected(port)});

    // The next notification uses that session, then closes it.
    mail.Notify(QStringLiteral("Test."));
    QCOMPARE(server.connections(), 1);
    QCOMPARE(server.messages().size(), 1);
    QCOMPARE(server.commands(), (QStringList{"EHLO", "NOOP", "MAIL", "RCPT", "RCPT", "DATA", "QUIT"}));
    QVERIFY(!mail.Connected());
    QCOMPARE(ws.messages().mid(1), (QStringList{sentLine(QStringLiteral("Test.")), sentOk(port)}));

    // "Коннект" then "Дисконнект": a session opened and ended with QUIT.
    QVERIFY(mail.SmtpConnect());
    QVERIFY(mail.SmtpDisconnect());
    QCOMPARE(mail.lastOutcome().text(), disconnected(port));
    QVERIFY(!mail.SmtpDisconnect());
    QCOMPARE(server.connections(), 2);
    QCOMPARE(server.commands().last(), QStringLiteral("QUIT"));
    QCOMPARE(ws.messages().mid(3), (QStringList{connected(port), disconnected(port)}));
}

void TestMail::sessionEndedByServerIsNotConnected()
{
    TestWorkspace ws(false);
    auto server = std::make_unique<SmtpTestServer>();
    QVERIFY2(server->port(), qPrintable(server->error()));
    const MailSettings m = mailTo(QString::number(server->port()));
    SmtpNotifier mail([m] { return m; });
    QVERIFY(mail.SmtpConnect());
    const QString port = m.Port;
    server.reset(); // the server goes away and its end of the session closes
    QTRY_VERIFY(!mail.Connected());
    QVERIFY(!mail.SmtpDisconnect());
    QCOMPARE(ws.messages(), QStringList{connected(port)});
}

void TestMail::eachEventIsItsOwnExchange()
{
    SmtpTestServer server;
    QVERIFY2(server.port(), qPrintable(server.error()));
    TestWorkspace ws(false);
    ws.settings.edtSMTP = QStringLiteral("127.0.0.1");
    ws.settings.edtPort = server.port();
    ws.settings.edtEmail1 = Trader;
    ws.settings.edtEmail2 = Phone;
    TDatMod data;
    Robot robot(ws.settings, data);
    QSignalSpy spy(&robot, &Robot::notification);

    const QStringList texts{QStringLiteral("Транзакция номер 3 SBER отправлена."),
                            QStringLiteral("Транзакция номер 3 успешно выполнена.")};
    for (const QString &text : texts)
        robot.Notify(text);
    // The robot hands them to its queue and goes on; they go out in order.
    QVERIFY(robot.mail().waitIdle(std::chrono::seconds(10)));

    QCOMPARE(spy.count(), 2);
    QCOMPARE(server.connections(), 2);
    QCOMPARE(server.commands().count(QStringLiteral("QUIT")), 2);
    const QList<QJsonObject> received = server.messages();
    QCOMPARE(received.size(), 2);
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(messageBody(received[i]), cp1251::encode(texts[i] + QStringLiteral("\r\n")));
        QCOMPARE(received[i].value(QStringLiteral("session")).toInt(), i + 1);
    }
    const QString port = QString::number(server.port());
    QCOMPARE(ws.messages(), (QStringList{sentLine(texts[0]), sentOk(port), sentLine(texts[1]), sentOk(port)}));
}

void TestMail::failureLoggedOnceUntilItClears()
{
    auto smtp = std::make_unique<SmtpTestServer>();
    QVERIFY2(smtp->port(), qPrintable(smtp->error()));
    const quint16 number = smtp->port();
    const QString port = QString::number(number);
    TestWorkspace ws(false);
    MailSettings m = mailTo(port);
    MailQueue queue([&m] { return m; });
    queue.setTimeouts(500ms, 1500ms);

    queue.Notify(QStringLiteral("A."));
    QVERIFY(queue.waitIdle(10s));
    QCOMPARE(ws.messages(), (QStringList{sentLine(QStringLiteral("A.")), sentOk(port)}));

    // The server stops: the first message that fails is told, the ones
    // after it failing the same way are not.
    smtp.reset();
    for (const char *text : {"B.", "C.", "D."})
        queue.Notify(QString::fromLatin1(text));
    QVERIFY(queue.waitIdle(10s));
    QCOMPARE(ws.messages().mid(2), QStringList{notSentBecause(QStringLiteral("B."), noAnswer(port, NoConnection))});

    // The operator's test is always answered and told, and leaves the
    // robot's failure as it is.
    const MailOutcome tested = queue.Test(QStringLiteral("T."));
    QCOMPARE(tested.kind(), MailOutcome::Kind::NoAnswer);
    QCOMPARE(ws.messages().mid(3), QStringList{notSentBecause(QStringLiteral("T."), noAnswer(port, NoConnection))});
    queue.Notify(QStringLiteral("E."));
    QVERIFY(queue.waitIdle(10s));
    QCOMPARE(ws.messages().size(), 4);

    // Another kind of failure is told, once.
    m.Port = QStringLiteral("25a");
    queue.Notify(QStringLiteral("F."));
    queue.Notify(QStringLiteral("G."));
    QVERIFY(queue.waitIdle(10s));
    QCOMPARE(ws.messages().mid(4),
             QStringList{notSentBecause(QStringLiteral("F."), QStringLiteral("Почтовый сервер задан неверно: порт «25a» не число от 1 до 65535."))});

    // The server back where it was: the message goes, and the end of the
    // failure is told with the count of messages lost meanwhile.
    SmtpTestServer::Options again;
    again.port = number;
    smtp = std::make_unique<SmtpTestServer>(again);
    QVERIFY2(smtp->port() == number, qPrintable(smtp->error()));
    m.Port = port;
    queue.Notify(QStringLiteral("H."));
    QVERIFY(queue.waitIdle(10s));
    QCOMPARE(ws.messages().mid(5),
             (QStringList{sentLine(QStringLiteral("H.")), sentOk(port),
                          QStringLiteral("Почта снова отправляется (почтовый сервер ") + server(port)
                              + QStringLiteral("); пока она не работала, не отправлено сообщений: 6.")}));
    QCOMPARE(smtp->messages().size(), 1);

    // A later failure is told again.
    smtp.reset();
    queue.Notify(QStringLiteral("I."));
    queue.Notify(QStringLiteral("J."));
    QVERIFY(queue.waitIdle(10s));
    QCOMPARE(ws.messages().mid(8), QStringList{notSentBecause(QStringLiteral("I."), noAnswer(port, NoConnection))});
}

void TestMail::attachmentGoesAsMimePart_data()
{
    QTest::addColumn<bool>("queued");
    QTest::addColumn<QString>("fromName");
    // Straight through the client, and the robot's way, through the queue's
    // worker; a Cyrillic sender name in the headers libcurl writes too.
    QTest::newRow("client") << false << QStringLiteral("Korvina");
    QTest::newRow("queue, Cyrillic sender name") << true << QStringLiteral("Робот Корвина");
}

void TestMail::attachmentGoesAsMimePart()
{
    QFETCH(bool, queued);
    QFETCH(QString, fromName);
    SmtpTestServer server;
    QVERIFY2(server.port(), qPrintable(server.error()));
    TestWorkspace ws(false);
    MailSettings m = mailTo(QString::number(server.port()));
    m.FromName = fromName;

    // A PDF's first line, then every byte value: the file must arrive byte for byte.
    QByteArray pdf("%PDF-1.4\n");
    for (int b = 0; b < 256; ++b)
        pdf += char(b);
    pdf += "\n%%EOF\n";
    const QString text = QStringLiteral("Дневной отчет Korvina за 11.12.2025: заявок 3.\r\nTrend: заявок 3.");
    const MailAttachment file{QStringLiteral("Korvina-report-2025-12-11.pdf"), "application/pdf", pdf};
    if (queued) {
        MailQueue queue([m] { return m; });
        queue.Notify(text, {file});
        QVERIFY(queue.waitIdle(20s));
    } else {
        SmtpNotifier mail([m] { return m; });
        QVERIFY(mail.Notify(text, {file}));
    }
    // The log shows the text's two lines as two lines.
    QCOMPARE(ws.messages(), sentLine(text).split(QStringLiteral("\r\n")) << sentOk(QString::number(server.port())));

    const QList<QJsonObject> received = server.messages();
    QCOMPARE(received.size(), 1);
    const QJsonObject msg = received.first();
    QCOMPARE(strings(msg.value(QStringLiteral("rcpt_tos"))), (QStringList{Trader, Phone}));
    QCOMPARE(strings(msg.value(QStringLiteral("to"))), (QStringList{Trader, Phone}));
    QCOMPARE(msg.value(QStringLiteral("subject")).toString(), QStringLiteral("Korvina"));
    QCOMPARE(msg.value(QStringLiteral("from_name")).toString(), fromName);
    QCOMPARE(msg.value(QStringLiteral("from_address")).toString(), QStringLiteral("robot@example.org"));
    QCOMPARE(msg.value(QStringLiteral("content_type")).toString(), QStringLiteral("multipart/mixed"));
    QCOMPARE(msg.value(QStringLiteral("mime_version")).toString(), QStringLiteral("1.0"));
    QVERIFY(msg.value(QStringLiteral("date_valid")).toBool());
    QVERIFY(!msg.value(QStringLiteral("message_id")).toString().isEmpty());
    QCOMPARE(strings(msg.value(QStringLiteral("defects"))), QStringList());

    const QList<QJsonObject> parts = messageParts(msg);
    QCOMPARE(parts.size(), 2);
    // The text, as in every message: Windows-1251, base64.
    QCOMPARE(parts[0].value(QStringLiteral("content_type")).toString(), QStringLiteral("text/plain"));
    QCOMPARE(parts[0].value(QStringLiteral("charset")).toString(), QStringLiteral("windows-1251"));
    QCOMPARE(parts[0].value(QStringLiteral("transfer_encoding")).toString(), QStringLiteral("base64"));
    QVERIFY(parts[0].value(QStringLiteral("filename")).isNull());
    QCOMPARE(messageBody(parts[0]), cp1251::encode(text + QStringLiteral("\r\n")));
    // The file, under its name.
    QCOMPARE(parts[1].value(QStringLiteral("content_type")).toString(), QStringLiteral("application/pdf"));
    QCOMPARE(parts[1].value(QStringLiteral("disposition")).toString(), QStringLiteral("attachment"));
    QCOMPARE(parts[1].value(QStringLiteral("filename")).toString(), QStringLiteral("Korvina-report-2025-12-11.pdf"));
    QCOMPARE(parts[1].value(QStringLiteral("transfer_encoding")).toString(), QStringLiteral("base64"));
    QVERIFY(messageBody(parts[1]).startsWith("%PDF"));
    QCOMPARE(messageBody(parts[1]), pdf);
}

void TestMail::queuedMessagesGoOutInOrder()
{
    SmtpTestServer server;
    QVERIFY2(server.port(), qPrintable(server.error()));
    TestWorkspace ws(false);
    MailSettings m = mailTo(QString::number(server.port()));
    QList<QThread *> readOn;
    MailQueue queue([&] {
        readOn << QThread::currentThread();
        return m;
    });

    // Each message goes with the settings of the moment it was queued, even
    // though they change before the worker gets to it.
    const QStringList texts{QStringLiteral("Транзакция номер 1 SBER отправлена."), QStringLiteral("Второе."),
                            QStringLiteral("Третье."), QStringLiteral("Четвёртое."), QStringLiteral("Пятое.")};
    QStringList secondAddress;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < texts.size(); ++i) {
        m.Email2 = QStringLiteral("sms%1@sms.example.org").arg(i);
        secondAddress << m.Email2;
        queue.Notify(texts[i]);
    }
    QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(queue.pending(), texts.size());
    QCOMPARE(readOn, QList<QThread *>(texts.size(), QThread::currentThread()));

    QVERIFY(queue.waitIdle(20s));
    QCOMPARE(queue.pending(), 0);
    QVERIFY(!queue.Connected());

    const QList<QJsonObject> received = server.messages();
    QCOMPARE(received.size(), texts.size());
    QStringList expectedLog;
    for (int i = 0; i < texts.size(); ++i) {
        QCOMPARE(messageBody(received[i]), cp1251::encode(texts[i] + QStringLiteral("\r\n")));
        QCOMPARE(received[i].value(QStringLiteral("session")).toInt(), i + 1);
        QCOMPARE(strings(received[i].value(QStringLiteral("rcpt_tos"))), (QStringList{Trader, secondAddress[i]}));
        expectedLog << sentLine(texts[i], secondAddress[i]) << sentOk(m.Port);
    }
    QCOMPARE(server.commands().count(QStringLiteral("QUIT")), texts.size());
    QCOMPARE(ws.messages(), expectedLog);
}

void TestMail::queueTimeoutsReachTheWorker()
{
    // A server that takes the connection and hangs at MAIL: each message
    // fails after the exchange timeout set on the queue, and the next one
    // is tried after it.
    SmtpTestServer server({{}, QStringLiteral("MAIL"), false});
    QVERIFY2(server.port(), qPrintable(server.error()));
    TestWorkspace ws(false);
    const MailSettings m = mailTo(QString::number(server.port()));
    MailQueue queue([m] { return m; });
    queue.setTimeouts(500ms, 1000ms);

    queue.Notify(QStringLiteral("A."));
    queue.Notify(QStringLiteral("B."));
    QVERIFY(queue.waitIdle(10s));

    // The second fails as the first did: its failure is not told again.
    QCOMPARE(ws.messages(), (QStringList{sentLine(QStringLiteral("A.")), notSentBecause(QStringLiteral("A."), noAnswer(m.Port, TimedOut)),
                                         sentLine(QStringLiteral("B."))}));
    QCOMPARE(server.connections(), 2);
    QVERIFY(server.messages().isEmpty());
}

void TestMail::connectThroughQueueServesNextMessage()
{
    SmtpTestServer server;
    QVERIFY2(server.port(), qPrintable(server.error()));
    TestWorkspace ws(false);
    const MailSettings m = mailTo(QString::number(server.port()));
    MailQueue queue([m] { return m; });

    // "Дисконнект" while not connected: nothing happens, nothing is logged.
    QVERIFY(!queue.SmtpDisconnect());
    QCOMPARE(server.connections(), 0);

    // "Коннект" waits behind the message queued before it, whose log lines
    // are in the log by the time it returns.
    const QString port = m.Port;
    queue.Notify(QStringLiteral("First."));
    MailOutcome outcome;
    QVERIFY(queue.SmtpConnect(&outcome));
    QCOMPARE(outcome.text(), connected(port));
    QCOMPARE(queue.pending(), 0);
    QCOMPARE(ws.messages(), (QStringList{sentLine(QStringLiteral("First.")), sentOk(port), connected(port)}));
    QVERIFY(queue.Connected());
    QVERIFY(queue.SmtpConnect());
    QCOMPARE(server.connections(), 2);

    // The next notification uses that session, then closes it.
    queue.Notify(QStringLiteral("Test."));
    QVERIFY(queue.waitIdle(10s));
    QCOMPARE(server.connections(), 2);
    QCOMPARE(server.messages().size(), 2);
    const QStringList session{"EHLO", "NOOP", "MAIL", "RCPT", "RCPT", "DATA", "QUIT"};
    QCOMPARE(server.commands(), session + session);
    QVERIFY(!queue.Connected());
    QCOMPARE(ws.messages().mid(3), (QStringList{sentLine(QStringLiteral("Test.")), sentOk(port)}));

    // "Коннект" then "Дисконнект": a session opened and ended with QUIT.
    QVERIFY(queue.SmtpConnect());
    QVERIFY(queue.SmtpDisconnect(&outcome));
    QCOMPARE(outcome.text(), disconnected(port));
    QVERIFY(!queue.Connected());
    QVERIFY(!queue.SmtpDisconnect(&outcome));
    QCOMPARE(outcome.kind(), MailOutcome::Kind::None);
    QCOMPARE(server.connections(), 3);
    QCOMPARE(server.commands().last(), QStringLiteral("QUIT"));
    QCOMPARE(ws.messages().mid(5), (QStringList{connected(port), disconnected(port)}));

    // Nothing listening: "Коннект" fails with its line already logged.
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    MailSettings dead = m;
    dead.Port = QString::number(closed.serverPort());
    closed.close();
    queue.setSource([dead] { return dead; });
    QVERIFY(!queue.SmtpConnect(&outcome));
    QVERIFY(!queue.Connected());
    QCOMPARE(outcome.text(), noAnswer(dead.Port, NoConnection));
    QCOMPARE(ws.messages().last(), outcome.text());
    QCOMPARE(ws.messages().size(), 8);
}

void TestMail::shutdownGivesUpOnHungServer_data()
{
    QTest::addColumn<QString>("server");   // "smtp", "silent" (accepts, never speaks) or "closed"
    QTest::addColumn<QString>("stall");    // the command the SMTP server never answers
    QTest::addColumn<int>("graceMs");      // -1: the queue is destroyed without shutdown
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("delivered");

    const QString a = QStringLiteral("A."), b = QStringLiteral("B."), c = QStringLiteral("C.");
    const QStringList noneSent{notSent(a), notSent(b), notSent(c)};
    QTest::newRow("hangs at the greeting") << "silent" << "" << 300 << noneSent << 0;
    QTest::newRow("hangs at EHLO") << "smtp" << "EHLO" << 300 << noneSent << 0;
    QTest::newRow("hangs at MAIL") << "smtp" << "MAIL" << 300 << QStringList{sentLine(a), notSent(a), notSent(b), notSent(c)} << 0;
    QTest::newRow("hangs at DATA") << "smtp" << "DATA" << 0 << QStringList{sentLine(a), notSent(a), notSent(b), notSent(c)} << 0;
    QTest::newRow("hangs at QUIT, first message out")
        << "smtp" << "QUIT" << 300 << QStringList{sentLine(a), QStringLiteral("%SENT"), notSent(b), notSent(c)} << 1;
    QTest::newRow("hangs at MAIL, left to the destructor")
        << "smtp" << "MAIL" << -1 << QStringList{sentLine(a), notSent(a), notSent(b), notSent(c)} << 0;
    QTest::newRow("nothing listening: every message fails on its own")
        << "closed" << "" << 10000 << QStringList{QStringLiteral("%DEAD")} << 0;
}

void TestMail::shutdownGivesUpOnHungServer()
{
    QFETCH(QString, server);
    QFETCH(QString, stall);
    QFETCH(int, graceMs);
    QFETCH(QStringList, expected);
    QFETCH(int, delivered);

    std::unique_ptr<SmtpTestServer> smtp;
    QTcpServer silent;
    QString port;
    if (server == QStringLiteral("smtp")) {
        smtp = std::make_unique<SmtpTestServer>(SmtpTestServer::Options{{}, stall, false});
        QVERIFY2(smtp->port(), qPrintable(smtp->error()));
        port = QString::number(smtp->port());
    } else {
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        port = QString::number(silent.serverPort());
        if (server == QStringLiteral("closed"))
            silent.close();
    }

    TestWorkspace ws(false);
    const MailSettings m = mailTo(port);
    // The default timeouts: waiting for this server would cost 30 s a message.
    auto queue = std::make_unique<MailQueue>([m] { return m; });
    QElapsedTimer t;
    t.start();
    for (const QString &text : {QStringLiteral("A."), QStringLiteral("B."), QStringLiteral("C.")})
        queue->Notify(text);
    QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));

    // The first message is stuck where the server stopped answering.
    if (smtp)
        QVERIFY(sawCommand(*smtp, stall));
    else if (server == QStringLiteral("silent"))
        QTRY_VERIFY(silent.hasPendingConnections());

    t.restart();
    if (graceMs < 0) {
        queue.reset();
    } else {
        queue->shutdown(std::chrono::milliseconds(graceMs));
        QCOMPARE(queue->pending(), 0);
        QVERIFY(!queue->Connected());
    }
    const qint64 elapsed = t.elapsed();
    QVERIFY2(elapsed < std::max(graceMs, 0) + 2000, qPrintable(QString::number(elapsed)));
    // Every message fails on its own against nothing listening; the failure
    // is told once.
    expected.replaceInStrings(QStringLiteral("%SENT"), sentOk(port));
    expected.replaceInStrings(QStringLiteral("%DEAD"), notSentBecause(QStringLiteral("A."), noAnswer(port, NoConnection)));
    QCOMPARE(ws.messages(), expected);
    if (smtp)
        QCOMPARE(smtp->messages().size(), delivered);

    // Once shut down the queue takes nothing more.
    if (queue) {
        queue->Notify(QStringLiteral("D."));
        QVERIFY(!queue->SmtpConnect());
        QCOMPARE(ws.messages(), expected + QStringList{notSent(QStringLiteral("D."))});
        QCOMPARE(queue->pending(), 0);
    }
}

void TestMail::logLinesAreAddedOnOwnerThread()
{
    SmtpTestServer server;
    QVERIFY2(server.port(), qPrintable(server.error()));
    TestWorkspace ws(false);
    QList<QThread *> addedOn;
    connect(&ws.log, &OperationLog::lineAdded, this, [&] { addedOn << QThread::currentThread(); }, Qt::DirectConnection);
    MailSettings m = mailTo(QString::number(server.port()));
    MailQueue queue([m] { return m; });

    queue.Notify(QStringLiteral("A."));
    QVERIFY(queue.SmtpConnect());
    queue.Notify(QStringLiteral("B."));
    m.Port = QStringLiteral("25a");
    queue.setSource([m] { return m; });
    queue.Notify(QStringLiteral("C."));
    QVERIFY(queue.waitIdle(10s));

    const QString port = QString::number(server.port());
    QCOMPARE(ws.messages(), (QStringList{sentLine(QStringLiteral("A.")), sentOk(port), connected(port), sentLine(QStringLiteral("B.")),
                                         sentOk(port),
                                         notSentBecause(QStringLiteral("C."),
                                                        QStringLiteral("Почтовый сервер задан неверно: порт «25a» не число от 1 до 65535."))}));
    QCOMPARE(addedOn, QList<QThread *>(6, QThread::currentThread()));
    // Every line is written to the log file too.
    QCOMPARE(ws.log.LoggedLines(), 6);
}

QTEST_GUILESS_MAIN(TestMail)
#include "tst_mail.moc"
