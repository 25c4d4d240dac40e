// The self-check before going live, on a demo workspace made as korvina-db
// makes it: each of its lines OK on a workspace that is ready, and each
// failing, with what to do, when one thing around the robot is wrong; then
// the command line `korvina --check`.

#include "config/settings.h"
#include "data/sampleworkspace.h"
#include "data/databaseaddress.h"
#include "engine/connectioncheck.h"
#include "pgserver.h"
#include "smtpserver.h"
#include "workspace.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace std::chrono_literals;
using Status = ConnectionCheck::Status;
using Line = ConnectionCheck::Line;

namespace {

const QStringList kLineIds{"alerts", "quikdata", "folder", "terminal", "quotes", "limits", "filters", "clients", "mail"};

void writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    f.write(content);
}

void setModified(const QString &path, const QDateTime &when)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadWrite));
    QVERIFY(f.setFileTime(when, QFileDevice::FileModificationTime));
}

const QByteArray kSent = "TRANS_ID =0;ACTION=NEW_ORDER;ACCOUNT=L01-00000F00;SECCODE=SBER;CLASSCODE=TQBR;CLIENT_CODE=111;OPERATION=B;"
                         "PRICE=285,09;STOPPRICE=285,09;Order_key=;Stop_Order_key=;QUANTITY=1;\r\n";
const QByteArray kSecond = "TRANS_ID =1;ACTION=NEW_ORDER;ACCOUNT=L01-00000F00;SECCODE=SBER;CLASSCODE=TQBR;CLIENT_CODE=111;OPERATION=S;"
                           "PRICE=285,10;STOPPRICE=285,10;Order_key=;Stop_Order_key=;QUANTITY=1;\r\n";
const QByteArray kAnswer = "TRANS_ID=0;STATUS=3;TRANS_NAME=\"Ввод заявки\";DESCRIPTION=\"Заявка зарегистрирована\";ORDER_NUMBER=17;\r\n";

// A demo workspace ready to go live: the terminal answered the one line
// sent, and the quotes had a trade a minute ago.
struct Ready {
    QTemporaryDir dir;
    sample::Paths paths;
    Settings settings;
    QDateTime now = QDateTime::currentDateTime();

    explicit Ready(int mode)
    {
        paths = sample::createWorkspace(dir.filePath(QStringLiteral("ws"))).paths;
        settings.setFileName(paths.settings);
        settings.LoadSettings();
        settings.rgpSingleMulti = mode;
        for (const QString &set : sets()) {
            writeFile(file(set, ".tri"), kSent);
            writeFile(file(set, ".tro"), kAnswer);
        }
        quik(QStringLiteral("UPDATE tParam SET timelast = :t"), {{QStringLiteral("t"), now.addSecs(-60)}});
    }
    QStringList sets() const
    {
        return settings.rgpSingleMulti == 0 ? QStringList{QStringLiteral("trans")} : QStringList{QStringLiteral("QUIK1"), QStringLiteral("QUIK2")};
    }
    QString file(const QString &set, const char *extension) const { return QDir(paths.trans).filePath(set + QLatin1String(extension)); }
    void quik(const QString &sql, const QVariantMap &params = {}) { execOnDatabase(paths.quikData, sql, params); }
    QList<Line> run() const
    {
        ConnectionCheck check(settings);
        check.setNow(now);
        check.setMailTimeout(2s);
        return check.run();
    }
};

const Line *lineOf(const QList<Line> &lines, const QString &id)
{
    for (const Line &l : lines)
        if (l.id == id)
            return &l;
    return nullptr;
}

// A port on loopback where nothing listens.
QString closedPort()
{
    QTcpServer s;
    if (!s.listen(QHostAddress::LocalHost))
        return QStringLiteral("1");
    return QString::number(s.serverPort());
}

} // namespace

class TestConnectionCheck : public QObject {
    Q_OBJECT

private slots:
    void lines_data();
    void lines();
    void commandLine_data();
    void commandLine();
    void databasesOnServer();
};

void TestConnectionCheck::lines_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("line");   // the line that tells it
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");   // a part of its text
    QTest::addColumn<bool>("alone");     // every other line as on a ready workspace

    const int ok = int(Status::Ok), problem = int(Status::Problem), unknown = int(Status::Unknown);
    QTest::newRow("ready, SINGLE") << 0 << "" << "quikdata" << ok << "таблицы и столбцы, которые читает робот, на месте" << true;
    QTest::newRow("ready, MULTI") << 1 << "" << "quikdata" << ok << "(терминалы 1, 2)" << true;
    QTest::newRow("ready, MULTI: both terminals answered") << 1 << "" << "terminal" << ok << "QUIK2: терминал ответил на все строки (1)"
                                                           << true;
    QTest::newRow("ready: the single account") << 0 << "" << "clients" << ok << "код 111" << true;

    QTest::newRow("no alert database") << 0 << "alerts missing" << "alerts" << problem << "не открывается" << true;
    QTest::newRow("alert column missing") << 0 << "alerts column" << "alerts" << problem << "FilledOrders.Fill Price" << true;
    QTest::newRow("no QuikData") << 0 << "quikdata missing" << "quikdata" << problem << "korvina-db create quikdata" << false;
    QTest::newRow("quotes column missing") << 0 << "tParam column" << "quikdata" << problem << "tParam.MinMov" << true;
    QTest::newRow("a terminal's table missing") << 1 << "terminal table" << "quikdata" << problem << "«Создать таблицы ...»" << true;

    QTest::newRow("folder missing") << 0 << "folder missing" << "folder" << problem << "подключитесь" << false;
    QTest::newRow("folder shared with other files") << 0 << "other files" << "folder" << problem << "есть другие файлы (2): Korvina.ini, notes.txt"
                                                    << true;
    QTest::newRow("folder not writable") << 0 << "read-only folder" << "folder" << problem << "нельзя записать" << true;
    QTest::newRow("SmartTrade: its order folder shared") << 0 << "smarttrade other files" << "folder" << problem
                                                        << "SmartTrade/Orders есть другие файлы (1): trans.tri" << false;
    QTest::newRow("folder written for Windows") << 0 << "windows folder" << "folder" << problem << "записан для Windows" << false;

    QTest::newRow("no import file") << 0 << "no tri" << "terminal" << problem << "нет файла" << true;
    QTest::newRow("nothing sent yet") << 0 << "nothing sent" << "terminal" << unknown << "пробной" << true;
    QTest::newRow("import stopped") << 0 << "unanswered old" << "terminal" << problem << "импорт транзакций в QUIK, похоже, остановлен"
                                    << true;
    QTest::newRow("answer on its way") << 0 << "unanswered young" << "terminal" << unknown << "меньше минуты" << true;
    QTest::newRow("MULTI: one terminal stopped") << 1 << "QUIK2 unanswered" << "terminal" << problem << "QUIK2: 1 из 2 строк без ответа"
                                                 << true;
    QTest::newRow("MULTI: no active terminal") << 1 << "no active terminal" << "terminal" << problem << "нет активных терминалов"
                                               << false;

    QTest::newRow("quotes stale") << 0 << "stale quotes" << "quotes" << problem << "больше 5 мин назад" << true;
    QTest::newRow("quotes empty") << 0 << "no quotes" << "quotes" << problem << "tParam пуста" << true;
    QTest::newRow("quotes without a time") << 0 << "quotes untimed" << "quotes" << unknown << "свежесть котировок не проверить" << true;
    QTest::newRow("quotes with a time of day") << 0 << "quotes time of day" << "quotes" << ok << "последняя сделка в" << true;
    QTest::newRow("quotes with a time of day later than now") << 0 << "quotes late time of day" << "quotes" << problem << "мин назад"
                                                              << true;
    QTest::newRow("limits: no time to tell") << 1 << "" << "limits" << unknown << "Когда они обновлялись, не узнать" << true;
    QTest::newRow("limits empty") << 0 << "no limits" << "limits" << problem << "таблицы лимитов пусты" << true;

    QTest::newRow("no workspaces") << 0 << "no workspaces" << "filters" << problem << "рабочей области" << true;
    QTest::newRow("no strategies") << 0 << "no strategies" << "filters" << problem << "стратегии (tStrategy)" << true;

    QTest::newRow("SINGLE without a client code") << 0 << "no code" << "clients" << problem << "код клиента" << true;
    QTest::newRow("MULTI: a client without accounts") << 1 << "client without accounts" << "clients" << problem << "10001 (нет счета)"
                                                      << true;
    QTest::newRow("MULTI: FORTS allowed, no FORTS account") << 1 << "client without FORTS" << "clients" << problem
                                                             << "20002 (нет счета FORTS)" << true;
    QTest::newRow("MULTI: a client's terminal not listed") << 1 << "client elsewhere" << "clients" << problem
                                                            << "20001 (терминала 7 нет в списке)" << true;
    QTest::newRow("MULTI: a client without a code") << 1 << "client without code" << "clients" << problem << "Петров Петр Петрович (нет кода)"
                                                    << true;
    QTest::newRow("MULTI: no active client") << 1 << "no active client" << "clients" << problem << "нет активных клиентов" << true;

    QTest::newRow("mail off") << 0 << "" << "mail" << ok << "выключены" << true;
    QTest::newRow("mail server answers") << 0 << "mail server" << "mail" << ok << "принял подключение." << true;
    QTest::newRow("mail server takes the login") << 0 << "mail login" << "mail" << ok << "вход пользователя robot" << true;
    QTest::newRow("mail login refused") << 0 << "mail wrong password" << "mail" << problem << "не принял имя и пароль" << true;
    QTest::newRow("no mail server") << 0 << "no mail server" << "mail" << problem << "не принял подключение за 2 с" << true;
    QTest::newRow("mail to nobody") << 0 << "mail to nobody" << "mail" << problem << "ни один адрес" << true;
}

void TestConnectionCheck::lines()
{
    QFETCH(int, mode);
    QFETCH(QString, fault);
    QFETCH(QString, line);
    QFETCH(int, status);
    QFETCH(QString, says);
    QFETCH(bool, alone);

    Ready w(mode);
    std::unique_ptr<SmtpTestServer> server;
    const QString tri = w.file(w.sets().first(), ".tri");
    if (fault == "alerts missing")
        w.settings.edtAlerts = w.dir.filePath(QStringLiteral("none.sqlite"));
    else if (fault == "alerts column")
        execOnDatabase(w.paths.alerts, QStringLiteral("ALTER TABLE FilledOrders DROP COLUMN \"Fill Price\""));
    else if (fault == "quikdata missing")
        w.settings.edtQuikData = w.dir.filePath(QStringLiteral("none.sqlite"));
    else if (fault == "tParam column")
        w.quik(QStringLiteral("ALTER TABLE tParam DROP COLUMN MinMov"));
    else if (fault == "terminal table")
        w.quik(QStringLiteral("DROP TABLE tTrades2"));
    else if (fault == "folder missing")
        w.settings.edtdirTT = w.dir.filePath(QStringLiteral("ws/NoTrans"));
    else if (fault == "other files") {
        writeFile(QDir(w.paths.trans).filePath(QStringLiteral("notes.txt")), "mine");
        writeFile(QDir(w.paths.trans).filePath(QStringLiteral("Korvina.ini")), "[Quik]");
    } else if (fault == "smarttrade other files") {
        // A QUIK file is no SmartTrade order file; the order files are.
        w.settings.rgpTerminal = 1;
        writeFile(QDir(w.paths.smartTrade).filePath(QStringLiteral("trans.tri")), "");
        writeFile(QDir(w.paths.smartTrade).filePath(QStringLiteral("trans_1032025_10512_7.new")), "place_order?");
    } else if (fault == "read-only folder") {
        if (::geteuid() == 0)
            QSKIP("root writes into any folder");
        QVERIFY(QFile::setPermissions(w.paths.trans, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    } else if (fault == "windows folder")
        w.settings.edtdirTT = QStringLiteral("C:\\Korvina\\Trans");
    else if (fault == "no tri")
        QVERIFY(QFile::remove(tri));
    else if (fault == "nothing sent") {
        writeFile(tri, {});
        writeFile(w.file(w.sets().first(), ".tro"), {});
    } else if (fault == "unanswered old" || fault == "unanswered young") {
        writeFile(tri, kSent + kSecond);
        setModified(tri, w.now.addSecs(fault == "unanswered old" ? -300 : -10));
    } else if (fault == "QUIK2 unanswered") {
        writeFile(w.file(QStringLiteral("QUIK2"), ".tri"), kSent + kSecond);
        setModified(w.file(QStringLiteral("QUIK2"), ".tri"), w.now.addSecs(-120));
    } else if (fault == "no active terminal")
        w.quik(QStringLiteral("UPDATE tQuik SET active = 0"));
    else if (fault == "stale quotes")
        w.quik(QStringLiteral("UPDATE tParam SET timelast = :t"), {{QStringLiteral("t"), w.now.addSecs(-600)}});
    else if (fault == "no quotes")
        w.quik(QStringLiteral("DELETE FROM tParam"));
    else if (fault == "quotes untimed")
        w.quik(QStringLiteral("UPDATE tParam SET timelast = NULL"));
    else if (fault == "quotes time of day")
        w.quik(QStringLiteral("UPDATE tParam SET timelast = :t"), {{QStringLiteral("t"), w.now.addSecs(-60).time().toString(QStringLiteral("HH:mm:ss"))}});
    else if (fault == "quotes late time of day") // yesterday's, not a trade to come
        w.quik(QStringLiteral("UPDATE tParam SET timelast = :t"), {{QStringLiteral("t"), w.now.addSecs(600).time().toString(QStringLiteral("HH:mm:ss"))}});
    else if (fault == "no limits") {
        for (const char *t : {"tLimitStock", "tLimitFut", "tLimitMoney"})
            w.quik(QStringLiteral("DELETE FROM ") + QLatin1String(t));
    } else if (fault == "no workspaces")
        w.quik(QStringLiteral("DELETE FROM tWorkSpaces"));
    else if (fault == "no strategies")
        w.quik(QStringLiteral("DELETE FROM tStrategy"));
    else if (fault == "no code")
        w.settings.edtCode.clear();
    else if (fault == "client without accounts")
        w.quik(QStringLiteral("UPDATE tClients SET AccountMicex = '', AccountFORTS = NULL WHERE Code = '10001'"));
    else if (fault == "client without FORTS")
        w.quik(QStringLiteral("UPDATE tClients SET AccountFORTS = ' ' WHERE Code = '20002'"));
    else if (fault == "client elsewhere")
        w.quik(QStringLiteral("UPDATE tClients SET id_quik = 7 WHERE Code = '20001'"));
    else if (fault == "client without code")
        w.quik(QStringLiteral("UPDATE tClients SET Code = '' WHERE Code = '10002'"));
    else if (fault == "no active client")
        w.quik(QStringLiteral("UPDATE tClients SET Active = 0"));
    else if (fault.startsWith(QLatin1String("mail")) || fault == "no mail server") {
        w.settings.chSendTrans_done = true;
        w.settings.edtSMTP = QStringLiteral("127.0.0.1");
        w.settings.edtEmail1 = QStringLiteral("trader@example.org");
        w.settings.edtUser = QStringLiteral("robot");
        w.settings.edtPassword = QStringLiteral("secret");
        w.settings.chAuten = fault == "mail login" || fault == "mail wrong password";
        w.settings.chAllowPlainAuth = true; // the loopback test server offers no encryption
        if (fault == "mail wrong password")
            w.settings.edtPassword = QStringLiteral("guess");
        if (fault == "mail to nobody") {
            w.settings.edtEmail1.clear();
            w.settings.edtEmail2 = QStringLiteral(" ");
        }
        if (fault == "no mail server") {
            w.settings.edtPort = closedPort().toInt();
        } else {
            server = std::make_unique<SmtpTestServer>(SmtpTestServer::Options{
                w.settings.chAuten ? QStringLiteral("robot:secret") : QString(), {}, false});
            if (server->port() == 0)
                QSKIP(qPrintable(QStringLiteral("no SMTP test server: ") + server->error()));
            w.settings.edtPort = server->port();
        }
    } else
        QVERIFY2(fault.isEmpty(), qPrintable(fault));

    const QList<Line> lines = w.run();
    QStringList ids;
    for (const Line &l : lines)
        ids << l.id;
    QCOMPARE(ids, kLineIds);
    const Line *told = lineOf(lines, line);
    const QString report = ConnectionCheck::report(lines);
    QVERIFY2(told && int(told->status) == status, qPrintable(report));
    QVERIFY2(told->text.contains(says), qPrintable(told->text));
    QCOMPARE(ConnectionCheck::passed(lines), status != int(Status::Problem) && alone);
    if (alone) {
        // The others as on a ready workspace: all OK, the limits' age unknown.
        for (const Line &l : lines)
            if (l.id != line)
                QVERIFY2(l.status == (l.id == QLatin1String("limits") ? Status::Unknown : Status::Ok), qPrintable(ConnectionCheck::lineText(l)));
    }
    QFile::setPermissions(w.paths.trans, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

void TestConnectionCheck::commandLine_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("says");
    QTest::newRow("ready") << "" << 0 << "OK — Почта: уведомления по почте выключены";
    QTest::newRow("a problem") << "no workspaces" << 1 << "ОШИБКА — Рабочие области и стратегии: нет ни одной отслеживаемой рабочей области";
    QTest::newRow("no settings file") << "no ini" << 1 << "";
}

// `korvina --check --ini FILE` prints a line per look and tells by its exit
// code; it starts no robot: no log file, the transaction files untouched.
void TestConnectionCheck::commandLine()
{
    QFETCH(QString, fault);
    QFETCH(int, code);
    QFETCH(QString, says);
    Ready w(0);
    QString ini = w.paths.settings;
    if (fault == "no workspaces")
        w.quik(QStringLiteral("DELETE FROM tWorkSpaces"));
    if (fault == "no ini")
        ini = w.dir.filePath(QStringLiteral("none.ini"));
    const QByteArray triBefore = [&] {
        QFile f(w.file(QStringLiteral("trans"), ".tri"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();

    QTemporaryDir cwd;
    QProcess p;
    p.setWorkingDirectory(cwd.path());
    p.start(QStringLiteral(KORVINA_BIN_DIR "/korvina"), {QStringLiteral("--check"), QStringLiteral("--ini"), ini});
    QVERIFY(p.waitForFinished(30000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QVERIFY2(p.exitCode() == code, qPrintable(out + err));
    QVERIFY(!QFile::exists(cwd.filePath(QStringLiteral("Korvina.log"))));
    QFile tri(w.file(QStringLiteral("trans"), ".tri"));
    QVERIFY(tri.open(QIODevice::ReadOnly));
    QCOMPARE(tri.readAll(), triBefore);
    if (fault == "no ini") {
        QVERIFY2(err.contains(QStringLiteral("none.ini")), qPrintable(err));
        QVERIFY(out.isEmpty());
        return;
    }
    const QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), kLineIds.size());
    QVERIFY2(lines.filter(says).size() == 1, qPrintable(out));
    for (const QString &l : lines)
        QVERIFY2(l.startsWith(QStringLiteral("OK — ")) || l.startsWith(QStringLiteral("ОШИБКА — "))
                     || l.startsWith(QStringLiteral("НЕТ ДАННЫХ — ")),
                 qPrintable(l));
}

void TestConnectionCheck::databasesOnServer()
{
    // Both databases on a server, their URIs with a password (the
    // throwaway server does not ask for it): found as on files, and named
    // without the password.
    if (const QString why = PgServer::missing(); !why.isEmpty())
        QSKIP(qPrintable(why));
    PgServer server;
    QVERIFY2(server.start(), qPrintable(server.error()));
    const QString password = QStringLiteral("s3cret-pw");
    auto withPassword = [&](const QString &uri) {
        return QString(uri).replace(QStringLiteral("postgres@"), QStringLiteral("postgres:") + password + QLatin1Char('@'));
    };
    const QString quik = withPassword(server.createDatabase(QStringLiteral("quikdata")));
    const QString alerts = withPassword(server.createDatabase(QStringLiteral("alerts")));
    QTemporaryDir dir;
    const sample::Paths paths = sample::createWorkspace(dir.filePath(QStringLiteral("ws")), quik, alerts).paths;
    Settings settings;
    settings.setFileName(paths.settings);
    settings.LoadSettings();
    QCOMPARE(settings.edtQuikData, quik);
    ConnectionCheck check(settings);
    check.setMailTimeout(2s);
    const QList<Line> lines = check.run();
    for (const auto &[id, uri] : {std::pair{QStringLiteral("alerts"), alerts}, std::pair{QStringLiteral("quikdata"), quik}}) {
        const Line *l = lineOf(lines, id);
        QVERIFY(l);
        QCOMPARE(l->status, Status::Ok);
        QVERIFY2(l->text.startsWith(DatabaseAddress::shown(uri) + QStringLiteral(": открыта")), qPrintable(l->text));
    }
    const Line *limits = lineOf(lines, QStringLiteral("limits"));
    QVERIFY(limits);
    QVERIFY2(limits->text.contains(QStringLiteral("базу данных пишет и сам робот")), qPrintable(limits->text));
    for (const Line &l : lines)
        QVERIFY2(!l.text.contains(password), qPrintable(l.text));
}

QTEST_GUILESS_MAIN(TestConnectionCheck)
#include "tst_connectioncheck.moc"
