// The watch on the terminal's link: the size of info.log from tick to tick
// gives the link state, only the changes between up and down are logged and
// mailed, the status bar shows it all; and the headless program does the
// same with a real timer and a real mail server.

#include "config/textcodec.h"
#include "data/datmod.h"
#include "engine/robot.h"
#include "smtpserver.h"
#include "workspace.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

namespace {

const QString Lost = QStringLiteral("Соединение разорвано");
const QString Restored = QStringLiteral("Соединение установлено");
const QString Trader = QStringLiteral("trader@example.org");
const QString Phone = QStringLiteral("79001234567@sms.example.org");
// Panel 2 uses Cyrillic О and К; panels 0 and 1 Latin OK.
const QString CyrillicOK = QStringLiteral("\u041e\u041a");

void append(const QString &path, int bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::Append));
    f.write(QByteArray(bytes, 'x'));
}

qint64 sizeOf(const QString &path) { return QFileInfo::exists(path) ? QFileInfo(path).size() : 0; }

QString linkText(int state)
{
    return QStringLiteral("Связь Quik с сервером: ") + (state == 1 ? CyrillicOK : state == 0 ? QStringLiteral("Нет") : QStringLiteral("Н/Д"));
}

void pointMailAt(Settings &s, quint16 port)
{
    s.edtSMTP = QStringLiteral("127.0.0.1");
    s.edtPort = port;
    s.edtEmail1 = Trader;
    s.edtEmail2 = Phone;
}

QString sentThrough(quint16 port)
{
    return QStringLiteral("Сообщение отправлено через почтовый сервер 127.0.0.1:") + QString::number(port) + QLatin1Char('.');
}

QStringList mailed(const QString &text, quint16 port)
{
    return {text, QStringLiteral("Message: \"") + text + QStringLiteral("\" is sending to <") + Trader + QStringLiteral(">, <") + Phone
                      + QStringLiteral(">"),
            sentThrough(port)};
}

} // namespace

class TestLinkMonitor : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void ticks_data();
    void ticks();
    void checkOffLeavesStateAlone();
    void infoLogSize_data();
    void infoLogSize();
    void statusBar_data();
    void statusBar();
    void timerDrivesChecksAndZeroStopsThem();
    void headlessAnnouncesAndMails();

private:
    std::unique_ptr<SmtpTestServer> m_server;
};

void TestLinkMonitor::initTestCase()
{
    m_server = std::make_unique<SmtpTestServer>();
    QVERIFY2(m_server->port(), qPrintable(m_server->error()));
}

void TestLinkMonitor::ticks_data()
{
    // Before each tick one thing happens to info.log (100 bytes at start-up):
    // grow, keep, shrink, empty or delete it. After the tick: the state, and
    // what was announced at that tick.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QList<int>>("states");
    QTest::addColumn<QStringList>("announced");

    QTest::newRow("start is silent, the next change is not")
        << QStringList{"keep", "grow"} << QList<int>{0, 1} << QStringList{"", Restored};
    QTest::newRow("growth stops and resumes")
        << QStringList{"grow", "keep", "keep", "grow", "grow"} << QList<int>{1, 0, 0, 1, 1}
        << QStringList{"", Lost, "", Restored, ""};
    QTest::newRow("deleted while up, comes back")
        << QStringList{"grow", "delete", "grow", "keep"} << QList<int>{1, 255, 1, 0} << QStringList{"", "", "", Lost};
    QTest::newRow("deleted while down, comes back")
        << QStringList{"keep", "delete", "keep", "grow"} << QList<int>{0, 255, 255, 1} << QStringList{"", "", "", ""};
    QTest::newRow("shrunk counts as grown")
        << QStringList{"grow", "shrink", "keep", "shrink"} << QList<int>{1, 1, 0, 1} << QStringList{"", "", Lost, Restored};
    QTest::newRow("emptied is no data") << QStringList{"grow", "empty", "keep", "grow"} << QList<int>{1, 255, 255, 1}
                                        << QStringList{"", "", "", ""};
}

void TestLinkMonitor::ticks()
{
    QFETCH(QStringList, steps);
    QFETCH(QList<int>, states);
    QFETCH(QStringList, announced);

    TestWorkspace ws(false);
    ws.settings.chQuikConnect = true;
    ws.settings.chSendQuikConnect = true;
    pointMailAt(ws.settings, m_server->port());
    const QString log = ws.settings.edtInfoLog;
    append(log, 100);
    TDatMod data;
    Robot robot(ws.settings, data);
    robot.StartUp();
    QCOMPARE(robot.LastInfoLogSize(), 100);
    QCOMPARE(robot.QuikLinkState(), quint8(255));
    const qsizetype mailsBefore = m_server->messages().size();
    QSignalSpy panels(&robot, &Robot::statusBarChanged);
    ws.log.FlushLog();
    const qsizetype linesBefore = ws.messages().size();

    QStringList expectedLog;
    QStringList expectedMail;
    bool missing = false;
    for (int i = 0; i < steps.size(); ++i) {
        const QString &step = steps[i];
        if (step == QStringLiteral("grow")) {
            append(log, 10);
        } else if (step == QStringLiteral("delete")) {
            QVERIFY(QFile::remove(log));
        } else if (step == QStringLiteral("shrink")) {
            QVERIFY(QFile::resize(log, sizeOf(log) / 2));
        } else if (step == QStringLiteral("empty")) {
            QVERIFY(QFile::resize(log, 0));
        }
        robot.timInfoLogTimer();
        // The mail goes out behind the tick; its lines follow.
        QVERIFY(robot.mail().waitIdle(std::chrono::seconds(10)));

        const QString at = QStringLiteral("tick %1 (%2)").arg(i + 1).arg(step);
        // A missing info.log is told once, and again when it is back.
        if (!QFile::exists(log) && !missing)
            expectedLog << QStringLiteral("Файл info.log терминала не найден: ") + log
                               + QStringLiteral("; связь терминала с сервером не определяется.");
        else if (QFile::exists(log) && missing)
            expectedLog << QStringLiteral("Файл info.log терминала найден: ") + log;
        missing = !QFile::exists(log);
        QVERIFY2(robot.QuikLinkState() == states[i], qPrintable(at + QStringLiteral(": state ") + QString::number(robot.QuikLinkState())));
        QVERIFY2(robot.LastInfoLogSize() == sizeOf(log), qPrintable(at));
        QCOMPARE(panels.count(), i + 1);
        QCOMPARE(panels.last().first().toStringList().value(2), linkText(states[i]));
        if (!announced[i].isEmpty()) {
            expectedLog << mailed(announced[i], m_server->port());
            expectedMail << announced[i];
        }
        QCOMPARE(ws.messages().mid(linesBefore), expectedLog);
        QCOMPARE(ws.log.LoggedLines(), ws.log.lines().size()); // flushed by the tick
    }

    // One message per announcement, with the same text.
    const QList<QJsonObject> mails = m_server->messages().mid(mailsBefore);
    QCOMPARE(mails.size(), expectedMail.size());
    for (int i = 0; i < mails.size(); ++i)
        QCOMPARE(messageBody(mails[i]), cp1251::encode(expectedMail[i] + QStringLiteral("\r\n")));
}

void TestLinkMonitor::checkOffLeavesStateAlone()
{
    TestWorkspace ws(false);
    ws.settings.chQuikConnect = false;
    ws.settings.chSendQuikConnect = true;
    pointMailAt(ws.settings, m_server->port());
    const QString log = ws.settings.edtInfoLog;
    TDatMod data;
    Robot robot(ws.settings, data);
    // Checks made before it was switched off left the link up at 5 bytes.
    ws.settings.chQuikConnect = true;
    append(log, 5);
    robot.timInfoLogTimer();
    QCOMPARE(robot.QuikLinkState(), quint8(1));
    ws.settings.chQuikConnect = false;
    QSignalSpy panels(&robot, &Robot::statusBarChanged);
    QSignalSpy notified(&robot, &Robot::notification);

    for (const int bytes : {10, 0, 0, 10}) {
        if (bytes)
            append(log, bytes);
        robot.timInfoLogTimer();
        QCOMPARE(robot.QuikLinkState(), quint8(1));
        QCOMPARE(robot.LastInfoLogSize(), 5);
        QCOMPARE(panels.last().first().toStringList().value(2), linkText(255));
    }
    QVERIFY(QFile::remove(log));
    robot.timInfoLogTimer();
    QCOMPARE(robot.QuikLinkState(), quint8(1));
    QCOMPARE(panels.count(), 5);
    QVERIFY(ws.messages().isEmpty());
    QCOMPARE(notified.count(), 0);
}

void TestLinkMonitor::infoLogSize_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("logged");

    QTest::newRow("missing") << "missing" << qint64(0) << false;
    QTest::newRow("no path set") << "empty path" << qint64(0) << false;
    QTest::newRow("a folder") << "folder" << qint64(0) << false;
    QTest::newRow("no read permission: the size is not read from the content") << "unreadable" << qint64(1234) << false;
    QTest::newRow("beyond 4 GiB") << "huge" << (qint64(5) << 30) + 3 << false;
    QTest::newRow("a loop of links") << "loop" << qint64(0) << true;
}

void TestLinkMonitor::infoLogSize()
{
    QFETCH(QString, kind);
    QFETCH(qint64, size);
    QFETCH(bool, logged);

    TestWorkspace ws(false);
    QString path = ws.settings.edtInfoLog;
    if (kind == QStringLiteral("empty path")) {
        path.clear();
    } else if (kind == QStringLiteral("folder")) {
        QVERIFY(QDir().mkpath(path));
    } else if (kind == QStringLiteral("unreadable")) {
        append(path, 1234);
        QVERIFY(QFile::setPermissions(path, {}));
    } else if (kind == QStringLiteral("huge")) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(size)); // sparse: no disk space taken
    } else if (kind == QStringLiteral("loop")) {
        QVERIFY(QFile::link(path + QStringLiteral(".b"), path));
        QVERIFY(QFile::link(path, path + QStringLiteral(".b")));
    }
    ws.settings.edtInfoLog = path;
    TDatMod data;
    Robot robot(ws.settings, data);

    QCOMPARE(robot.GetInfoLogSize(), size);
    QCOMPARE(ws.messages(), logged ? QStringList{QStringLiteral("Невозможно открыть файл ") + path} : QStringList{});
    QCOMPARE(ws.log.LoggedLines(), ws.log.lines().size());

    // Through the tick: a size that cannot be taken is no data.
    ws.settings.chQuikConnect = true;
    robot.timInfoLogTimer();
    QCOMPARE(robot.QuikLinkState(), quint8(size ? 1 : 255));
    QCOMPARE(robot.LastInfoLogSize(), size);
}

void TestLinkMonitor::statusBar_data()
{
    QTest::addColumn<bool>("omega");
    QTest::addColumn<bool>("quikData");
    QTest::addColumn<bool>("check");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QStringList>("expected");

    const QString omegaOK = QStringLiteral("Подключение к Omega: OK"), omegaNo = QStringLiteral("Подключение к Omega: Нет");
    const QString quikOK = QStringLiteral("Подключение к Quik: OK"), quikNo = QStringLiteral("Подключение к Quik: Нет");
    const QString counts = QStringLiteral("Отправлено транзакций: 1012/3/27");
    QTest::newRow("nothing connected, check off, SINGLE")
        << false << false << false << 1 << 0 << QStringList{omegaNo, quikNo, linkText(255), counts, "SINGLE"};
    QTest::newRow("both connected, link up, MULTI")
        << true << true << true << 1 << 1 << QStringList{omegaOK, quikOK, linkText(1), counts, "MULTI"};
    QTest::newRow("QuikData only, link down")
        << false << true << true << 0 << 0 << QStringList{omegaNo, quikOK, linkText(0), counts, "SINGLE"};
    QTest::newRow("alerts only, no data yet")
        << true << false << true << 255 << 1 << QStringList{omegaOK, quikNo, linkText(255), counts, "MULTI"};
}

void TestLinkMonitor::statusBar()
{
    QFETCH(bool, omega);
    QFETCH(bool, quikData);
    QFETCH(bool, check);
    QFETCH(int, state);
    QFETCH(int, mode);
    QFETCH(QStringList, expected);

    TStatusBarState shown;
    shown.omegaConnected = omega;
    shown.quikDataConnected = quikData;
    shown.linkCheckOn = check;
    shown.linkState = static_cast<quint8>(state);
    shown.transId = 1012;
    shown.sentCount = 3;
    shown.doneCount = 27;
    shown.mode = static_cast<AccountMode>(mode);
    QCOMPARE(StatusBarPanels(shown), expected);

    // The robot shows its own state: its data module's connections, no data
    // of the link before the first check, its counters at the start.
    TestWorkspace ws;
    ws.settings.chQuikConnect = check;
    ws.settings.rgpSingleMulti = mode;
    TDatMod data;
    QString error;
    if (omega)
        QVERIFY2(data.conOmega.open(ws.alertsPath(), &error), qPrintable(error));
    if (quikData)
        QVERIFY2(data.conQuikData.open(ws.quikDataPath(), &error), qPrintable(error));
    Robot robot(ws.settings, data);
    QSignalSpy panels(&robot, &Robot::statusBarChanged);
    robot.UpdateStatusBar();
    QCOMPARE(panels.count(), 1);
    QStringList own = expected;
    own[2] = linkText(255);
    own[3] = QStringLiteral("Отправлено транзакций: 0/0/0");
    QCOMPARE(panels.first().first().toStringList(), own);
}

void TestLinkMonitor::timerDrivesChecksAndZeroStopsThem()
{
    TestWorkspace ws(false);
    ws.settings.chQuikConnect = true;
    append(ws.settings.edtInfoLog, 100);
    TDatMod data;

    ws.settings.edtQuikConnectTimeOut = 0;
    Robot stopped(ws.settings, data);
    QSignalSpy stoppedTicks(&stopped, &Robot::statusBarChanged);

    ws.settings.edtQuikConnectTimeOut = 1;
    Robot running(ws.settings, data);
    QSignalSpy ticks(&running, &Robot::statusBarChanged);
    running.StartUp();

    QVERIFY(ticks.wait(3000));
    QCOMPARE(running.QuikLinkState(), quint8(0)); // unchanged since start-up: down, silently
    QVERIFY(!stopped.timInfoLog().isActive());
    QCOMPARE(stoppedTicks.count(), 0);
    QCOMPARE(stopped.QuikLinkState(), quint8(255));
    QVERIFY(ws.messages().isEmpty());
}

void TestLinkMonitor::headlessAnnouncesAndMails()
{
    TestWorkspace ws(false);
    Settings &s = ws.settings;
    s.chConnect = false;
    s.chQuikConnect = true;
    s.edtQuikConnectTimeOut = 1;
    s.chSendQuikConnect = true;
    pointMailAt(s, m_server->port());
    const QString info = s.edtInfoLog;
    append(info, 100);
    s.SaveSettings();
    const qsizetype mailsBefore = m_server->messages().size();

    const QString run = ws.path(QStringLiteral("run"));
    QVERIFY(QDir().mkpath(run));
    const QString runLog = run + QStringLiteral("/Korvina.log");
    auto logText = [&runLog] {
        QFile f(runLog);
        return f.open(QIODevice::ReadOnly) ? cp1251::decode(f.readAll()) : QString();
    };
    auto growUntil = [&](const std::function<bool()> &done, int ms) {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < ms) {
            append(info, 10);
            QTest::qWait(100);
        }
        return done();
    };

    QProcess korvina;
    korvina.setWorkingDirectory(run);
    korvina.start(QStringLiteral(KORVINA_BIN_DIR "/korvina"), {QStringLiteral("--headless"), QStringLiteral("--ini"), s.fileName()});
    QVERIFY(korvina.waitForStarted());

    // Growing: link up (silently, the first state after start), then the
    // growth stops: lost; it resumes: restored.
    growUntil([] { return false; }, 2500);
    QVERIFY(!logText().contains(Lost));
    QVERIFY(!logText().contains(Restored));
    QTRY_VERIFY_WITH_TIMEOUT(logText().contains(Lost), 10000);
    QVERIFY(growUntil([&] { return logText().contains(Restored); }, 10000));

    korvina.terminate();
    QVERIFY(korvina.waitForFinished(10000));
    QCOMPARE(korvina.exitCode(), 0);

    // The entries that are exactly this text after the date and time (the
    // date's format follows the locale).
    const QStringList lines = logText().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    auto entries = [&lines](const QString &text) {
        QList<int> at;
        for (int i = 0; i < lines.size(); ++i)
            if (lines[i].endsWith(QLatin1Char(' ') + text))
                at << i;
        return at;
    };
    QCOMPARE(entries(Lost).size(), 1);
    QCOMPARE(entries(Restored).size(), 1);
    QVERIFY(entries(Lost).first() < entries(Restored).first());
    QCOMPARE(entries(sentThrough(m_server->port())).size(), 2);
    const QList<QJsonObject> mails = m_server->messages().mid(mailsBefore);
    QCOMPARE(mails.size(), 2);
    QCOMPARE(messageBody(mails[0]), cp1251::encode(Lost + QStringLiteral("\r\n")));
    QCOMPARE(messageBody(mails[1]), cp1251::encode(Restored + QStringLiteral("\r\n")));
}

QTEST_GUILESS_MAIN(TestLinkMonitor)
#include "tst_linkmonitor.moc"
