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
const QString ConnectFailed = QStringLiteral("Cann`t connect to server or failed authentication");
const QString SendFailed = QStringLiteral("Failure: Произошла ошибка во время отправки сообщения: ");

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
    m.FromName = fromName;
    m.Email2 = email2;
    SmtpNotifier mail([m] { return m; });

    const QString text = QStringLiteral("Транзакция номер 12 успешно выполнена.");
    mail.Notify(text);

    QCOMPARE(ws.messages(), (QStringList{sentLine(text, email2), QStringLiteral("Success")}));
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
    QTest::addColumn<bool>("auten");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QStringList>("expected"); // the log
    QTest::addColumn<QString>("reason");       // one more line holding this, when set
    QTest::addColumn<int>("delivered");

    const QString text = QStringLiteral("Test.");
    const QStringList connectFailed{ConnectFailed};
    QTest::newRow("refused password") << "server" << "robot:secret" << "" << true << "wrong" << connectFailed << "" << 0;
    QTest::newRow("port not a number") << "25a" << "" << "" << false << "secret" << connectFailed << "" << 0;
    QTest::newRow("port out of range") << "70000" << "" << "" << false << "secret" << connectFailed << "" << 0;
    QTest::newRow("nothing listening") << "closed" << "" << "" << false << "secret" << connectFailed << "" << 0;
    QTest::newRow("accepts, never answers") << "silent" << "" << "" << false << "secret" << connectFailed << "" << 0;
    QTest::newRow("STARTTLS offered, certificate untrusted")
        << "starttls" << "" << "" << false << "secret" << connectFailed << "" << 0;
    QTest::newRow("server wants AUTH, switch off")
        << "server" << "robot:secret" << "" << false << "secret" << QStringList{sentLine(text), SendFailed} << "530" << 0;
    QTest::newRow("stalls after MAIL")
        << "server" << "" << "MAIL" << false << "secret" << QStringList{sentLine(text), SendFailed} << "timed out" << 0;
    QTest::newRow("stalls at QUIT")
        << "server" << "" << "QUIT" << false << "secret"
        << QStringList{sentLine(text), QStringLiteral("Success"), QStringLiteral("Cann`t disconnect to server")} << "" << 1;
}

void TestMail::failuresAreLoggedAndBounded()
{
    QFETCH(QString, port);
    QFETCH(QString, serverAuth);
    QFETCH(QString, stall);
    QFETCH(bool, auten);
    QFETCH(QString, password);
    QFETCH(QStringList, expected);
    QFETCH(QString, reason);
    QFETCH(int, delivered);

    std::unique_ptr<SmtpTestServer> server;
    QTcpServer silent; // the kernel completes the handshake; nothing is ever said
    const bool starttls = port == QStringLiteral("starttls");
    if (port == QStringLiteral("server") || starttls) {
        server = std::make_unique<SmtpTestServer>(SmtpTestServer::Options{serverAuth, stall, starttls});
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
    m.Password = password;
    SmtpNotifier mail([m] { return m; });
    mail.setTimeouts(500ms, 1500ms);

    QElapsedTimer t;
    t.start();
    mail.Notify(QStringLiteral("Test."));
    const qint64 elapsed = t.elapsed();

    // Nothing reaches the caller and the whole exchange keeps to the bound.
    QVERIFY2(elapsed < 1500 + 1000, qPrintable(QString::number(elapsed)));
    QVERIFY(!mail.Connected());
    QStringList log = ws.messages();
    if (!reason.isEmpty()) {
        QCOMPARE(log.size(), expected.size() + 1);
        QVERIFY2(log.takeLast().contains(reason, Qt::CaseInsensitive), qPrintable(ws.messages().join('\n')));
    }
    QCOMPARE(log, expected);
    if (server) {
        QCOMPARE(server->messages().size(), delivered);
        // Refused credentials or certificate: nothing goes out, and nothing
        // goes out in the clear instead.
        if ((!serverAuth.isEmpty() && auten) || starttls)
            QVERIFY(!server->commands().contains(QStringLiteral("MAIL")));
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

    // "Коннект" twice: the second returns at once on the same session.
    QVERIFY(mail.SmtpConnect());
    QVERIFY(mail.Connected());
    QVERIFY(mail.SmtpConnect());
    QCOMPARE(server.connections(), 1);
    QVERIFY(ws.messages().isEmpty());

    // The next notification uses that session, then closes it.
    mail.Notify(QStringLiteral("Test."));
    QCOMPARE(server.connections(), 1);
    QCOMPARE(server.messages().size(), 1);
    QCOMPARE(server.commands(), (QStringList{"EHLO", "NOOP", "MAIL", "RCPT", "RCPT", "DATA", "QUIT"}));
    QVERIFY(!mail.Connected());
    QCOMPARE(ws.messages(), (QStringList{sentLine(QStringLiteral("Test.")), QStringLiteral("Success")}));

    // "Коннект" then "Дисконнект": a session opened and ended with QUIT.
    QVERIFY(mail.SmtpConnect());
    QVERIFY(mail.SmtpDisconnect());
    QVERIFY(!mail.SmtpDisconnect());
    QCOMPARE(server.connections(), 2);
    QCOMPARE(server.commands().last(), QStringLiteral("QUIT"));
    QCOMPARE(ws.messages().size(), 2);
}

void TestMail::sessionEndedByServerIsNotConnected()
{
    TestWorkspace ws(false);
    auto server = std::make_unique<SmtpTestServer>();
    QVERIFY2(server->port(), qPrintable(server->error()));
    const MailSettings m = mailTo(QString::number(server->port()));
    SmtpNotifier mail([m] { return m; });
    QVERIFY(mail.SmtpConnect());
    server.reset(); // the server goes away and its end of the session closes
    QTRY_VERIFY(!mail.Connected());
    QVERIFY(!mail.SmtpDisconnect());
    QVERIFY(ws.messages().isEmpty());
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
    QCOMPARE(ws.messages(), (QStringList{sentLine(texts[0]), QStringLiteral("Success"), sentLine(texts[1]), QStringLiteral("Success")}));
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
        expectedLog << sentLine(texts[i], secondAddress[i]) << QStringLiteral("Success");
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

    QStringList log = ws.messages();
    QCOMPARE(log.size(), 6);
    for (int i : {2, 5})
        QVERIFY2(log[i].contains(QStringLiteral("timed out"), Qt::CaseInsensitive), qPrintable(log.join('\n')));
    QCOMPARE(log, (QStringList{sentLine(QStringLiteral("A.")), SendFailed, log[2], sentLine(QStringLiteral("B.")), SendFailed, log[5]}));
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
    queue.Notify(QStringLiteral("First."));
    QVERIFY(queue.SmtpConnect());
    QCOMPARE(queue.pending(), 0);
    QCOMPARE(ws.messages(), (QStringList{sentLine(QStringLiteral("First.")), QStringLiteral("Success")}));
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
    QCOMPARE(ws.messages().mid(2), (QStringList{sentLine(QStringLiteral("Test.")), QStringLiteral("Success")}));

    // "Коннект" then "Дисконнект": a session opened and ended with QUIT.
    QVERIFY(queue.SmtpConnect());
    QVERIFY(queue.SmtpDisconnect());
    QVERIFY(!queue.Connected());
    QVERIFY(!queue.SmtpDisconnect());
    QCOMPARE(server.connections(), 3);
    QCOMPARE(server.commands().last(), QStringLiteral("QUIT"));
    QCOMPARE(ws.messages().size(), 4);

    // Nothing listening: "Коннект" fails with its line already logged.
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    MailSettings dead = m;
    dead.Port = QString::number(closed.serverPort());
    closed.close();
    queue.setSource([dead] { return dead; });
    QVERIFY(!queue.SmtpConnect());
    QVERIFY(!queue.Connected());
    QCOMPARE(ws.messages().last(), ConnectFailed);
    QCOMPARE(ws.messages().size(), 5);
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
        << "smtp" << "QUIT" << 300 << QStringList{sentLine(a), QStringLiteral("Success"), notSent(b), notSent(c)} << 1;
    QTest::newRow("hangs at MAIL, left to the destructor")
        << "smtp" << "MAIL" << -1 << QStringList{sentLine(a), notSent(a), notSent(b), notSent(c)} << 0;
    QTest::newRow("nothing listening: every message fails on its own")
        << "closed" << "" << 10000 << QStringList{ConnectFailed, ConnectFailed, ConnectFailed} << 0;
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

    QCOMPARE(ws.messages(), (QStringList{sentLine(QStringLiteral("A.")), QStringLiteral("Success"), sentLine(QStringLiteral("B.")),
                                         QStringLiteral("Success"), ConnectFailed}));
    QCOMPARE(addedOn, QList<QThread *>(5, QThread::currentThread()));
    // Every line is written to the log file too.
    QCOMPARE(ws.log.LoggedLines(), 5);
}

QTEST_GUILESS_MAIN(TestMail)
#include "tst_mail.moc"
