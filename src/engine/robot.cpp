#include "robot.h"

#include "data/databaseaddress.h"


#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "data/secdirectory.h"
#include "data/views.h"

#include <QDir>
#include <QFileInfo>
#include <QSysInfo>
#include <QCoreApplication>


Robot::Robot(Settings &settings, TDatMod &data, QObject *parent)
    : QObject(parent), m_settings(settings), m_data(data), m_gateway(settings, data), m_dispatcher(settings, data, m_gateway),
      m_intake(settings, data, m_gateway, m_dispatcher), m_mail([&settings] { return MailSettings::fromSettings(settings); }),
      m_desk(settings, data)
{
    setObjectName(QStringLiteral("Robot"));
    m_timUpdateTable.setObjectName(QStringLiteral("timUpdateTable"));
    m_timQuik.setObjectName(QStringLiteral("timQuik"));
    m_timInfoLog.setObjectName(QStringLiteral("timInfoLog"));
    connect(&m_timUpdateTable, &QTimer::timeout, this, &Robot::onTimUpdateTable);
    connect(&m_intake, &OrderIntake::intakeDue, this, &Robot::runIntake);
    connect(&m_timQuik, &QTimer::timeout, this, &Robot::onTimQuik);
    connect(&m_timInfoLog, &QTimer::timeout, this, &Robot::onTimInfoLog);
    connect(&m_settings, &Settings::loaded, this, &Robot::ApplyTimerPeriods);
    connect(&m_gateway, &Gateway::notify, this, &Robot::Notify);
    connect(&m_desk, &DeskMonitor::notify, this, &Robot::Notify);
    connect(&m_desk, &DeskMonitor::report, this, &Robot::NotifyWithFiles);
    connect(&m_gateway, &Gateway::countersChanged, this, &Robot::UpdateStatusBar);
    connect(&m_dispatcher, &Dispatcher::transactionHandled, this, &Robot::UpdateStatusBar);
    connect(&m_dispatcher, &Dispatcher::beep, this, &Robot::beep);
    connect(&m_gateway, &Gateway::seriesStarted, this, [this](qint64 session) {
        if (m_intake.stateRead())
            m_intake.storeState(SessionStarted(session));
    });
    connect(&m_gateway, &Gateway::filesMade, this, [this](qint64 session) {
        if (m_intake.stateRead())
            m_intake.storeState(FilesMade(session));
    });
    m_serviceTimer.setInterval(ServiceRetryMs);
    connect(&m_serviceTimer, &QTimer::timeout, this, [this] { runTick([this] { onServiceTimer(); }); });
    m_connectRetry.setInterval(ConnectRetryMs);
    connect(&m_connectRetry, &QTimer::timeout, this, [this] { runTick([this] { onConnectRetry(); }); });
    m_standbyTimer.setInterval(StandbyPollMs);
    connect(&m_standbyTimer, &QTimer::timeout, this, [this] { runTick([this] { onStandbyTimer(); }); });
    m_gateway.setWriteFence([this] { return mayWriteLines(); });
    m_timInfoLogOn = true; // the link check runs from the start
    ApplyTimerPeriods();
    // The directory's totals follow every row saved or deleted.
    m_data.tSecCode.afterPost = [this](DataSet &) { UpdateSumList(); };
    m_data.tSecCode.afterDelete = [this](DataSet &) { UpdateSumList(); };
}

Robot::~Robot()
{
    m_data.tSecCode.afterPost = nullptr;
    m_data.tSecCode.afterDelete = nullptr;
}

void Robot::ApplyTimerPeriods()
{
    m_timUpdateTable.setInterval(m_settings.edtIntTable * 1000);
    m_timQuik.setInterval(m_settings.edtIntQuik * 1000);
    m_timInfoLog.setInterval(m_settings.edtQuikConnectTimeOut * 1000);
    setTimerEnabled(m_timUpdateTable, m_timUpdateTableOn);
    setTimerEnabled(m_timQuik, m_timQuikOn);
    setTimerEnabled(m_timInfoLog, m_timInfoLogOn);
}

void Robot::setTimerEnabled(QTimer &timer, bool enabled)
{
    if (&timer == &m_timUpdateTable)
        m_timUpdateTableOn = enabled;
    else if (&timer == &m_timQuik)
        m_timQuikOn = enabled;
    else if (&timer == &m_timInfoLog)
        m_timInfoLogOn = enabled;
    // A period of 0 stops the timer.
    if (enabled && timer.interval() > 0) {
        if (!timer.isActive())
            timer.start();
    } else {
        timer.stop();
    }
}

bool Robot::timerEnabled(const QTimer &timer) const
{
    if (&timer == &m_timUpdateTable)
        return m_timUpdateTableOn;
    if (&timer == &m_timQuik)
        return m_timQuikOn;
    return m_timInfoLogOn;
}

void Robot::onTimUpdateTable() { runTick([this] { timTable(); }); }
void Robot::onTimQuik() { runTick([this] { timQuikTimer(); }); }
void Robot::onTimInfoLog() { runTick([this] { timInfoLogTimer(); }); }

void Robot::setWatchActions(bool startEnabled, bool stopEnabled)
{
    if (m_actStartWatchEnabled == startEnabled && m_actStopWatchEnabled == stopEnabled)
        return;
    m_actStartWatchEnabled = startEnabled;
    m_actStopWatchEnabled = stopEnabled;
    emit actionsChanged();
}

QString Robot::SetTitle()
{
    const QString title = QStringLiteral("Korvina v 3 beta [Клиент ") + m_settings.edtCode + QStringLiteral(" ]");
    emit titleChanged(title);
    return title;
}

void Robot::StartUp(bool connect)
{
    SetTitle();
    try {
        if (m_settings.chConnect || connect)
            connectAndPrepare();
        m_link.setLastInfoLogSize(GetInfoLogSize());
    } catch (const std::exception &e) {
        AddLog(failureText(e));
    }
    runTick([] { FlushLog(); });
}

namespace {

// Marks the robot's work as a tick while it runs: a wait inside it that lets
// the event loop run never starts another tick.
struct TickGuard {
    bool &flag;
    bool was;
    explicit TickGuard(bool &f) : flag(f), was(f) { flag = true; }
    ~TickGuard() { flag = was; }
};

const QString FilesMadeText = QStringLiteral("Созданы новые файлы TRI и TRO. Перезапустите импорт транзакций в квике!");

// How long a connection waits for another program's write lock on QuikData
// before it puts its own writes off.
constexpr int ConnectProbeMs = 100;

} // namespace

void Robot::connectAndPrepare()
{
    TickGuard tick(m_inTick);
    // The journal rows of texts still waiting for a file are made anew after
    // the journal is emptied, and renumbered with the texts when the files
    // are prepared: they are written once, under their final number.
    WriteQueue::Batch batch(m_data.quikWrites);
    ConnectAndStart();
    // Connected, but QuikData is held: the files are made once it is free.
    if (m_connectPending)
        return;
    BuildTROFiles();
    PrepareTransactionFiles();
}

void Robot::actConnectToBaseExecute()
{
    connectAndPrepare();
    if (m_connectPending) {
        m_connectAsked = true;
        emit message(QStringLiteral("База данных ") + DatabaseAddress::shown(m_settings.edtQuikData)
                     + QStringLiteral(" занята другой программой: подключение будет завершено и новые файлы TRI и TRO созданы, как только она освободится."));
        return;
    }
    emit message(FilesMadeText);
}

bool Robot::lockHeld() const
{
    return DatabaseAddress::isServer(m_settings.edtQuikData) ? m_serverLock.held() : m_instanceLock.held();
}

bool Robot::takeServerLock()
{
    const QString shown = DatabaseAddress::shown(m_settings.edtQuikData);
    const bool wasHeld = m_serverLock.held();
    m_lockedOut = false;
    m_lockedOutText.clear();
    switch (m_serverLock.acquire(m_settings.edtQuikData)) {
    case ServerLock::Result::Held:
        if (!wasHeld)
            AddLog(QStringLiteral("Робот (процесс ") + QString::number(QCoreApplication::applicationPid()) + QStringLiteral(" на компьютере ")
                   + QSysInfo::machineHostName() + QStringLiteral(") получил блокировку базы данных ") + shown
                   + QStringLiteral(", эпоха владельца ") + QString::number(m_serverLock.epoch()) + QLatin1Char('.'));
        m_standbyWaiting = false;
        m_standbyTimer.stop();
        return true;
    case ServerLock::Result::HeldByOther: {
        const QString who = m_serverLock.holder().isEmpty() ? QStringLiteral("неизвестный робот") : m_serverLock.holder();
        if (m_settings.chStandby) {
            m_lockedOutText = QStringLiteral("База данных ") + shown + QStringLiteral(" используется другим роботом Korvina (") + who
                + QStringLiteral("). Этот робот в резерве: он ждет и продолжит работу, как только тот остановится.");
            if (!m_standbyWaiting)
                AddLog(m_lockedOutText);
            m_standbyWaiting = true;
            m_lockedOut = true;
            if (!m_standbyTimer.isActive())
                m_standbyTimer.start();
            return false;
        }
        m_lockedOutText = QStringLiteral("База данных ") + shown + QStringLiteral(" уже используется другим роботом Korvina (") + who
            + QStringLiteral("). Этот робот не загружает ордера и не пишет файлы транзакций.");
        break;
    }
    case ServerLock::Result::Failed:
        if (m_standbyWaiting) {
            m_lockedOut = true; // the server is away for the moment: the standby goes on waiting
            return false;
        }
        m_lockedOutText = QStringLiteral("Блокировка базы данных ") + shown + QStringLiteral(" не установлена: ") + m_serverLock.error()
            + QStringLiteral(". Без нее рядом с этим роботом мог бы торговать второй, поэтому этот робот не загружает ордера и не пишет файлы транзакций.");
        break;
    }
    m_lockedOut = true;
    AddLog(m_lockedOutText);
    return false;
}

void Robot::onStandbyTimer()
{
    if (!m_standbyWaiting) {
        m_standbyTimer.stop();
        return;
    }
    if (m_serverLock.acquire(m_settings.edtQuikData) != ServerLock::Result::Held)
        return;
    // The active robot is gone: this one goes on as a robot restarted
    // after a crash (the stored place, the resume window, carried lines).
    m_standbyWaiting = false;
    m_standbyTimer.stop();
    m_lockedOut = false;
    m_lockedOutText.clear();
    AddLog(QStringLiteral("Резервный робот (процесс ") + QString::number(QCoreApplication::applicationPid()) + QStringLiteral(" на компьютере ")
           + QSysInfo::machineHostName() + QStringLiteral(") берет работу на себя: блокировка базы данных ")
           + DatabaseAddress::shown(m_settings.edtQuikData) + QStringLiteral(" получена, эпоха владельца ")
           + QString::number(m_serverLock.epoch()) + QLatin1Char('.'));
    FlushLog();
    connectAndPrepare();
    if (m_serviceWatch && !m_watching && m_actStartWatchEnabled && !m_lockedOut && !m_connectPending)
        actStartWatchExecute();
}

bool Robot::mayWriteLines()
{
    if (m_lockedOut)
        return false;
    if (!DatabaseAddress::isServer(m_settings.edtQuikData) || !m_serverLock.held())
        return true;
    const QString shown = DatabaseAddress::shown(m_settings.edtQuikData);
    const auto tellUnreachable = [&] {
        if (!m_serverUnreachable)
            AddLog(QStringLiteral("Нет связи с сервером базы данных ") + shown + QStringLiteral(" (") + m_serverLock.error()
                   + QStringLiteral("): транзакции ждут, пока связь не восстановится и блокировка не будет получена снова."));
        m_serverUnreachable = true;
    };
    switch (m_serverLock.check()) {
    case ServerLock::State::Held:
        if (m_serverUnreachable || m_serverLock.retaken()) {
            // A server back at once (a quick restart) was still gone for a
            // moment: both are told.
            tellUnreachable();
            m_serverUnreachable = false;
            AddLog(QStringLiteral("Связь с сервером базы данных ") + shown
                   + QStringLiteral(" восстановлена, блокировка получена снова; транзакции записываются."));
        }
        return true;
    case ServerLock::State::Unreachable:
        tellUnreachable();
        return false;
    case ServerLock::State::Lost:
        break;
    }
    const QString who = m_serverLock.holder().isEmpty() ? QString() : QStringLiteral(" (") + m_serverLock.holder() + QLatin1Char(')');
    const QString text = QStringLiteral("Робот прекратил торговлю: работу с базой данных ") + shown
        + QStringLiteral(" взял на себя другой робот Korvina") + who
        + QStringLiteral(". Этот робот не загружает ордера и не пишет файлы транзакций.");
    // Not inside the gateway's write: at once after it.
    m_lockedOut = true;
    m_lockedOutText = text;
    QTimer::singleShot(0, this, [this, text] { stopTrading(text); });
    return false;
}

void Robot::stopTrading(const QString &text)
{
    m_lockedOut = true;
    m_lockedOutText = text;
    if (m_watching)
        stopWatching();
    setWatchActions(false, false);
    AddLog(text);
    FlushLog();
    emit beep();
    emit failure(text);
}

bool Robot::takeWorkspaceLock()
{
    if (DatabaseAddress::isServer(m_settings.edtQuikData))
        return takeServerLock();
    // The lock is the operating system's, on QuikData itself; a robot on
    // another QuikData takes another lock.
    const QString path = QFileInfo(m_settings.edtQuikData).absoluteFilePath();
    m_lockedOut = false;
    m_lockedOutText.clear();
    if (m_settings.edtQuikData.trimmed().isEmpty() || !QFileInfo(path).isFile()) {
        m_instanceLock.release();
        return true; // no QuikData to share: the connection itself fails
    }
    const InstanceLock::Result result = m_instanceLock.acquire(path);
    const QString info = InstanceLock::infoPath(m_instanceLock.databasePath());
    switch (result) {
    case InstanceLock::Result::Held:
        if (!m_instanceLock.infoError().isEmpty())
            AddLog(QStringLiteral("Файл блокировки ") + info + QStringLiteral(" не создан (") + m_instanceLock.infoError()
                   + QStringLiteral("): база данных заблокирована этим роботом, но другой робот не сможет назвать его."));
        return true;
    case InstanceLock::Result::HeldByOther: {
        const QString who = m_instanceLock.holder().isEmpty() ? QStringLiteral("файл блокировки ") + info : m_instanceLock.holder();
        m_lockedOutText = QStringLiteral("База данных ") + DatabaseAddress::shown(m_settings.edtQuikData) + QStringLiteral(" уже используется другим роботом Korvina (")
            + who + QStringLiteral("). Этот робот не загружает ордера и не пишет файлы транзакций.");
        break;
    }
    case InstanceLock::Result::Failed:
        m_lockedOutText = QStringLiteral("Блокировка базы данных ") + DatabaseAddress::shown(m_settings.edtQuikData) + QStringLiteral(" не установлена: ")
            + m_instanceLock.error()
            + QStringLiteral(". Без нее рядом с этим роботом мог бы торговать второй, поэтому этот робот не загружает ордера и не пишет файлы транзакций.");
        break;
    }
    m_lockedOut = true;
    AddLog(m_lockedOutText);
    return false;
}

void Robot::checkInstanceLock()
{
    if (DatabaseAddress::isServer(m_settings.edtQuikData)) {
        if (!m_lockedOut && m_serverLock.held())
            mayWriteLines();
        return;
    }
    if (m_lockedOut || !m_instanceLock.held())
        return;
    bool remade = false;
    const QString problem = m_instanceLock.check(&remade);
    if (remade)
        AddLog(QStringLiteral("Файл блокировки ") + InstanceLock::infoPath(m_instanceLock.databasePath())
               + QStringLiteral(" был удален или испорчен и создан заново."));
    if (problem.isEmpty())
        return;
    // Another robot may be trading on this QuikData now: this one stops at
    // once and says so everywhere it can.
    m_lockedOut = true;
    m_lockedOutText = QStringLiteral("Робот прекратил торговлю: ") + problem + QStringLiteral(". Блокировка базы данных ")
        + DatabaseAddress::shown(m_settings.edtQuikData) + QStringLiteral(" больше не принадлежит этому роботу: он не загружает ордера и не пишет файлы транзакций.");
    if (m_watching)
        stopWatching();
    setWatchActions(false, false);
    AddLog(m_lockedOutText);
    FlushLog();
    emit beep();
    emit failure(m_lockedOutText);
}

void Robot::ConnectAndStart()
{
    bool locked = takeWorkspaceLock();
    if (!ConnectDatabases())
        return;
    // A QuikData that was not there when the lock was asked for is there now.
    if (locked && !lockHeld())
        locked = takeWorkspaceLock();
    if (!locked) {
        // Another robot trades on this QuikData: its journal and its files
        // are left alone; the views may still be looked at.
        if (m_watching)
            stopWatching();
        setTimerEnabled(m_timQuik, true);
        setWatchActions(false, false);
        return;
    }
    startConnected();
}

void Robot::startConnected()
{
    // Everything from here on writes QuikData: while another program holds
    // its write lock the connection waits, rather than start half done.
    QString why;
    if (!m_data.conQuikData.canWrite(ConnectProbeMs, &why)) {
        setConnectionPending(why);
        return;
    }
    try {
        m_intake.readRunState();
        // Every row of the journal is in the history before it is emptied.
        m_gateway.checkHistory();
        m_gateway.ArchiveJournal(m_gateway.session());
        m_data.ClearOrderNumbers();
        // Texts still waiting for their file keep their journal rows.
        m_gateway.JournalPending();
    } catch (const std::exception &e) {
        if (!isTransient(e))
            throw;
        setConnectionPending(failureText(e));
        return;
    }
    if (m_connectPending) {
        m_connectPending = false;
        m_connectRetry.stop();
        AddLog(QStringLiteral("База данных ") + DatabaseAddress::shown(m_settings.edtQuikData) + QStringLiteral(" освободилась: подключение завершается."));
    }
    m_intake.storeState(RunStarted(m_gateway.session()));
    setTimerEnabled(m_timUpdateTable, true);
    setTimerEnabled(m_timQuik, true);
    if (!m_actStopWatchEnabled)
        setWatchActions(true, m_actStopWatchEnabled);
}

void Robot::setConnectionPending(const QString &why)
{
    if (!m_connectPending)
        AddLog(QStringLiteral("Подключение к базе данных ") + DatabaseAddress::shown(m_settings.edtQuikData)
               + QStringLiteral(" не завершено: база данных занята другой программой (") + why
               + QStringLiteral("). Журнал транзакций, состояние робота и новые файлы транзакций будут записаны, как только она освободится, и только после этого робот начнет принимать ордера."));
    m_connectPending = true;
    if (!m_connectRetry.isActive())
        m_connectRetry.start();
    FlushLog();
}

void Robot::onConnectRetry()
{
    if (!m_connectPending || !m_data.conQuikData.isOpen()) {
        // Done, or the connection is gone: a new one starts from the beginning.
        m_connectPending = false;
        m_connectRetry.stop();
        return;
    }
    QString why;
    if (!m_data.conQuikData.canWrite(ConnectProbeMs, &why))
        return;
    {
        WriteQueue::Batch batch(m_data.quikWrites);
        startConnected();
        if (m_connectPending)
            return;
        BuildTROFiles();
        PrepareTransactionFiles();
    }
    if (m_connectAsked) {
        m_connectAsked = false;
        emit message(FilesMadeText);
    }
    if (m_serviceWatch && !m_watching && m_actStartWatchEnabled && !m_lockedOut)
        actStartWatchExecute();
    FlushLog();
}

bool Robot::ConnectDatabases()
{
    auto connectOne = [this](Database &db, const QString &path) {
        QString error;
        if (db.open(path, &error)) {
            // Tried again every few seconds while the other database fails:
            // a connection that keeps succeeding is told once.
            const QString ok = QStringLiteral("Подключение к базе данных ") + DatabaseAddress::shown(path) + QStringLiteral(": OK");
            if (!m_serviceRetry || m_lastConnectOutcome.value(path) != ok)
                AddLog(ok);
            m_lastConnectOutcome.insert(path, ok);
            return;
        }
        const QString line = QStringLiteral("При подключении к базе данных ") + DatabaseAddress::shown(path) + QStringLiteral(" произошла ошибка:\r\n") + error;
        // Unattended, a failure that repeats is logged once.
        if (!m_quietRepeats || m_lastConnectOutcome.value(path) != line)
            AddLog(line);
        m_lastConnectOutcome.insert(path, line);
    };
    connectOne(m_data.conOmega, m_settings.edtAlerts);
    connectOne(m_data.conQuikData, m_settings.edtQuikData);
    UpdateStatusBar();

    const bool connected = m_data.conQuikData.isOpen();
    try {
        if (connected) {
            {
                // The connection's own tick takes no order: the transaction
                // files are about to be made anew, so an order taken now
                // would be written into a file that is then deleted.
                m_connecting = true;
                struct Reset {
                    bool &flag;
                    ~Reset() { flag = false; }
                } reset{m_connecting};
                timTable();
            }
            for (DataSet *ds : {&m_data.tWorkSpaces, &m_data.tStrategy, &m_data.tSecCode, &m_data.tOrderNumber,
                                &m_data.tClientOpenPositions, &m_data.tClients, &m_data.tQuik, &m_data.tGroup,
                                &m_data.tGroupClients})
                ds->Open();
            UpdateSumList();

            const AccountMode mode = m_settings.accountMode();
            const QVector<TQuikTerminal> terminals = mode == AccountMode::Multi ? ReadTerminals(m_data.tQuik) : QVector<TQuikTerminal>();
            m_data.qPortfolioAll.Close();
            m_data.qPortfolioFutAll.Close();
            m_data.qPortfolioAll.setSQL(BuildUnionQuery(QStringLiteral("tPortfolio"), mode, terminals));
            m_data.qPortfolioFutAll.setSQL(BuildUnionQuery(QStringLiteral("tPortfolioFut"), mode, terminals));
            m_data.qQuikOrdersAll.setSQL(BuildUnionQuery(QStringLiteral("tQuikOrders"), mode, terminals));
            m_data.qTradesAll.setSQL(BuildUnionQuery(QStringLiteral("tTrades"), mode, terminals));
            const QString limits = BuildLimitsQuery(false, std::nullopt, QString(), QString(), mode, terminals);
            m_data.qLimits.setSQL(limits);
            // Only the views a window shows are read.
            for (DataSet *view : {&m_data.qPortfolioAll, &m_data.qPortfolioFutAll, &m_data.qQuikOrdersAll, &m_data.qTradesAll, &m_data.qLimits})
                if (viewShown(*view))
                    view->Open();

            m_data.qClientsByGroup.Open();

            m_data.qSecCodeList.setSQL(BuildSecCodeListQuery(limits));
            m_data.qSecCodeList.Open();

            m_data.qPortfolioSum.setSQL(BuildPortfolioSumQuery(m_data.qPortfolioAll.SQLText()));
            m_data.qPortfolioFutSum.setSQL(BuildPortfolioFutSumQuery(m_data.qPortfolioFutAll.SQLText()));
            m_data.UpdatePortfolioTotals();
            m_desk.Prepare(mode, terminals);
        }
    } catch (...) {
        FlushLog();
        throw;
    }
    FlushLog();
    return connected;
}

void Robot::BuildTROFiles()
{
    if (m_lockedOut)
        return;
    m_gateway.BuildTROFiles();
}

void Robot::PrepareTransactionFiles()
{
    TickGuard tick(m_inTick);
    if (m_lockedOut) {
        // The folders hold the other robot's files.
        FlushLog();
        return;
    }
    QStringList own{m_settings.fileName(), m_settings.edtAlerts, m_settings.edtQuikData};
    if (OperationLog *log = OperationLog::current())
        own << log->fileName();
    m_gateway.setProtectedFiles(own);
    // A new series of numbers. What the terminal never took of the previous
    // one is carried over when this run goes on from it: at a connection
    // while running, or at the first after a run that ended without a clean
    // stop within the resume window.
    // (Before the stored state is read, nothing of an earlier run is known.)
    const qint64 before = m_gateway.session();
    const bool stateRead = m_intake.stateRead();
    const bool first = m_firstPreparation || !stateRead;
    m_gateway.setNextSession(before + 1, stateRead && (first ? m_intake.carryFirst() : true), stateRead && first && m_intake.carryFirst());
    m_gateway.PrepareTransactionFiles();
    if (m_gateway.session() != before && stateRead)
        m_firstPreparation = false;
}









void Robot::timTable()
{
    {
        // On a server, a table nobody changed is not read again.
        ChangeCounters::Hold counters(m_data.alertChanges);
        for (DataSet *ds : m_data.alertTables())
            m_data.alertChanges.readIfChanged(*ds, RefreshDataSet);
    }
    checkInstanceLock();
    if (m_lockedOut) {
        FlushLog();
        return;
    }
    if (m_watching && !m_connecting)
        actWatchingExecute();
    actCheckTROExecute();
    watchIntake();
    // A sign of life now and then: after a crash, the next start knows how
    // long ago the robot stopped.
    if (!m_heartbeat.isValid() || m_heartbeat.hasExpired(HeartbeatSeconds * 1000)) {
        m_heartbeat.start();
        m_intake.storeState(Heartbeat());
    }
    FlushLog();
}

void Robot::actWatchingExecute()
{
    m_watchIconIndex = m_watchIconIndex == 3 ? 0 : m_watchIconIndex + 1;
    emit watchIconChanged(m_watchIconIndex);
    m_intake.PollFilledOrders();
    // What an earlier write left queued goes out now, each text to its own
    // terminal's file.
    WritePendingTransactions();
    FlushLog();
}




void Robot::actStartWatchExecute()
{
    if (m_lockedOut) {
        AddLog(m_lockedOutText);
        FlushLog();
        return;
    }
    m_intake.startWatching();
    // Watching started by the operator (or at start-up with --watch) is
    // kept up by the service again.
    m_serviceWatch = m_serviceWatchAsked;
    m_watching = true;
    setWatchActions(false, true);
    AddLog(QStringLiteral("Загрузка ордеров включена."));
    watchIntake();
    const QString every = QString::number(m_settings.edtIntTable);
    if (m_settings.chInstantIntake)
        AddLog(QStringLiteral("Новые ордера и ответы терминала принимаются сразу по изменению файлов; таймер проверяет их каждые ") + every
               + QStringLiteral(" с."));
    else
        AddLog(QStringLiteral("Новые ордера и ответы терминала принимаются по таймеру каждые ") + every + QStringLiteral(" с."));
    FlushLog();
}


void Robot::watchIntake()
{
    m_intake.watch(m_watching && m_settings.chInstantIntake && !m_lockedOut, m_gateway.TROFiles());
}


void Robot::runIntake(bool orders, bool results)
{
    bool ran = false;
    bool looked = false, found = false;
    runTick([&] {
        ran = true;
        m_intake.countStep();
        // The same step as the tick's, only sooner; a change that brings
        // no row costs the table's change check alone.
        if (orders && m_watching && !m_connecting && !m_lockedOut) {
            const qint64 before = m_intake.LastFilledId();
            m_data.alertChanges.readIfChanged(m_data.tFilledOrders, RefreshDataSet);
            m_intake.PollFilledOrders();
            WritePendingTransactions();
            looked = true;
            found = m_intake.LastFilledId() != before;
        }
        if (results)
            actCheckTROExecute();
        watchIntake(); // files made or replaced since are watched again
        FlushLog();
    });
    if (!ran)
        m_intake.putBack(orders, results);
    else
        m_intake.stepDone(looked, found);
}

void Robot::actStopWatchExecute()
{
    // Stopped by the operator: nothing starts it again but the operator.
    m_serviceWatch = false;
    stopWatching();
}

void Robot::stopWatching()
{
    m_watching = false;
    watchIntake();
    emit watchIconChanged(0);
    setWatchActions(true, false);
    AddLog(QStringLiteral("Загрузка ордеров остановлена."));
    FlushLog();
}

void Robot::actCheckTROExecute()
{
    if (m_lockedOut)
        return;
    const int waiting = m_gateway.linesWaitingForRows();
    const qint32 refused = m_gateway.RefusedCount();
    m_gateway.actCheckTROExecute();
    // One sound however many refusals the check read.
    if (m_gateway.RefusedCount() != refused && m_settings.chSoundOnRefusal)
        emit beep();
    // Lines whose rows the check has just written go out now, not a tick later.
    if (!m_connecting && m_gateway.linesWaitingForRows() < waiting)
        WritePendingTransactions();
    m_dispatcher.refreshBookIfChanged();
}

void Robot::timQuikTimer()
{
    // The merged views of every terminal are read off this thread: reading
    // ten terminals' orders takes longer than a frame. On a server they are
    // read only when a table they read changed, and the change counters are
    // read once for the whole tick.
    ChangeCounters::Hold counters(m_data.quikChanges);
    m_data.quikChanges.readIfChanged(m_data.tParam, RefreshDataSet);
    if (m_settings.chAutoPortfolio) {
        readIfShown(m_data.qPortfolioAll);
        readIfShown(m_data.qPortfolioFutAll);
    }
    if (viewShown(m_data.tOrderNumber))
        RefreshDataSet(m_data.tOrderNumber);
    readIfShown(m_data.qQuikOrdersAll);
    readIfShown(m_data.qTradesAll);
    // The positions view as the operator last chose it (" Выбрать").
    readIfShown(m_data.qLimits);
    m_desk.Tick();
}

void Robot::readIfShown(DataSet &view)
{
    if (viewShown(view) && !view.SQLText().isEmpty())
        m_data.quikReader.refresh(view);
}

void Robot::setViewShown(DataSet &view, bool shown)
{
    int &count = m_shownViews[&view];
    count = std::max(0, count + (shown ? 1 : -1));
    if (count == 0) {
        m_shownViews.remove(&view);
        return;
    }
    if (!shown || count != 1)
        return;
    // Shown again: what it holds now, not what it held when last shown.
    if (&view == &m_data.tOrderNumber) {
        if (view.Active())
            RefreshDataSet(view);
    } else if (m_data.conQuikData.isOpen()) {
        readIfShown(view);
    }
}

qint64 Robot::GetInfoLogSize() { return LinkMonitor::GetInfoLogSize(m_settings.edtInfoLog); }

void Robot::timInfoLogTimer()
{
    if (m_settings.chQuikConnect) {
        const QString announce = m_link.Check(m_settings.edtInfoLog);
        if (!announce.isEmpty()) {
            AddLog(announce);
            if (m_settings.chSendQuikConnect)
                Notify(announce);
        }
    }
    UpdateStatusBar();
    FlushLog();
}

void Robot::UpdateStatusBar()
{
    TStatusBarState s;
    s.omegaConnected = m_data.conOmega.isOpen();
    s.quikDataConnected = m_data.conQuikData.isOpen();
    s.linkCheckOn = m_settings.chQuikConnect;
    s.linkState = m_link.QuikLinkState();
    s.transId = m_gateway.TransId();
    s.sentCount = m_gateway.SentCount();
    s.doneCount = m_gateway.DoneCount();
    s.mode = m_settings.accountMode();
    emit statusBarChanged(StatusBarPanels(s));
}

void Robot::Notify(const QString &text)
{
    emit notification(text);
    m_mail.Notify(text);
}

void Robot::NotifyWithFiles(const QString &text, const QList<MailAttachment> &attachments)
{
    emit notification(text);
    m_mail.Notify(text, attachments);
}

void Robot::Shutdown(int mailGraceMs)
{
    m_serviceTimer.stop();
    m_intake.stop();
    setTimerEnabled(m_timUpdateTable, false);
    setTimerEnabled(m_timQuik, false);
    setTimerEnabled(m_timInfoLog, false);
    m_connectRetry.stop();
    m_mail.shutdown(std::chrono::milliseconds(mailGraceMs));
    // Stopped cleanly: the next start begins afresh.
    if (m_intake.stateRead())
        m_intake.storeState(CleanStop());
    // Rows still queued get a last, short try.
    for (WriteQueue *q : {&m_data.quikWrites, &m_data.alertWrites}) {
        if (q->isEmpty())
            continue;
        q->database().setBusyTimeout(std::min(q->database().busyTimeout(), 500));
        q->flush(true);
    }
    for (WriteQueue *q : {&m_data.quikWrites, &m_data.alertWrites})
        if (!q->isEmpty())
            AddLog(QStringLiteral("При завершении работы не записано в базу данных ") + q->database().shownPath() + QStringLiteral(": ")
                   + QString::number(q->size()) + QStringLiteral(" записей."));
    // Lines whose rows that last try wrote go to their files; the others
    // never go out, and each is told.
    if (!m_lockedOut && !m_gateway.PendingTransactions().isEmpty())
        WritePendingTransactions();
    for (const TPendingTransaction &t : m_gateway.PendingTransactions())
        AddLog(QStringLiteral("При завершении работы не записана в файл транзакция # ") + QString::number(t.TransId) + QStringLiteral(": ")
               + t.Text);
    if (m_intake.ordersWaiting() > 0) {
        QStringList ids;
        for (qint64 id : m_intake.idsWaiting())
            ids << QString::number(id);
        AddLog(QStringLiteral("При завершении работы не обработаны ордера # ") + ids.join(QStringLiteral(", ")) + QStringLiteral("."));
    }
    FlushLog();
}

void Robot::RunAsService(bool watch, int retryMs)
{
    m_serviceWatchAsked = watch;
    m_serviceWatch = watch;
    m_quietRepeats = true;
    m_serviceTimer.start(retryMs);
    onServiceTimer();
}

void Robot::onServiceTimer()
{
    if (m_lockedOut)
        return;
    if (!m_data.conQuikData.isOpen()) {
        // The files are prepared once the databases are there (a failed
        // try leaves them as start-up made them).
        WriteQueue::Batch batch(m_data.quikWrites);
        m_serviceRetry = true;
        struct Reset {
            bool &flag;
            ~Reset() { flag = false; }
        } reset{m_serviceRetry};
        ConnectAndStart();
        if (!m_data.conQuikData.isOpen() || m_lockedOut || m_connectPending)
            return;
        BuildTROFiles();
        PrepareTransactionFiles();
    } else if (!m_data.conOmega.isOpen()) {
        // The strategy platform's database alone: its tables are re-read
        // by the next tick.
        QString error;
        const QString path = m_settings.edtAlerts;
        if (m_data.conOmega.open(path, &error)) {
            const QString ok = QStringLiteral("Подключение к базе данных ") + DatabaseAddress::shown(path) + QStringLiteral(": OK");
            AddLog(ok);
            m_lastConnectOutcome.insert(path, ok);
            UpdateStatusBar();
        } else {
            const QString line = QStringLiteral("При подключении к базе данных ") + DatabaseAddress::shown(path) + QStringLiteral(" произошла ошибка:\r\n") + error;
            if (m_lastConnectOutcome.value(path) != line)
                AddLog(line);
            m_lastConnectOutcome.insert(path, line);
        }
    }
    // Watching is started again only when --watch asked for it and the
    // operator has not stopped it since.
    if (m_serviceWatch && !m_watching && m_actStartWatchEnabled && !m_lockedOut && !m_connectPending)
        actStartWatchExecute();
    FlushLog();
}

void Robot::UpdateSumList()
{
    if (const std::optional<TSumList> sums = ReadSumList(m_data))
        m_data.setSumList(*sums);
}

bool Robot::LoadSecurityFromQuotes()
{
    DataSet &Q = m_data.tParam;
    DataSet &S = m_data.tSecCode;
    QString C;
    try {
        C = Q.FieldByName(QStringLiteral("seccode")).toString();
        if (!S.Active())
            S.Open();
        if (!S.Locate(QStringLiteral("SecCode"), C)) {
            S.Append();
            S.setFieldValue(QStringLiteral("SecCode"), C);
            S.setFieldValue(QStringLiteral("Ticker"), QStringLiteral("$") + C);
        }
        S.Edit();
        const QVariant classCode = Q.FieldByName(QStringLiteral("class_code"));
        S.setFieldValue(QStringLiteral("Class_Code"), classCode);
        S.setFieldValue(QStringLiteral("LotSize"), Q.FieldByName(QStringLiteral("lotsize")));
        S.setFieldValue(QStringLiteral("MinMov"), Q.FieldByName(QStringLiteral("MinMov")));
        S.setFieldValue(QStringLiteral("Digits"), Q.FieldByName(QStringLiteral("Digits")));
        S.setFieldValue(QStringLiteral("PointValue"), 1);
        if (classCode.toString() == QLatin1String("SPBFUT")) {
            // A futures contract trades in single contracts; the money value
            // of its price step comes from the exchange.
            S.setFieldValue(QStringLiteral("LotSize"), 1);
            S.setFieldValue(QStringLiteral("Base_Contract"), Q.FieldByName(QStringLiteral("Base_Contract")));
            S.setFieldValue(QStringLiteral("PointValue"), Q.FieldByName(QStringLiteral("PointValue")));
        }
        if (!S.Post())
            throw KorvinaError(S.lastError());
        S.Reread();
    } catch (const std::exception &e) {
        AddLog(QStringLiteral("Произошла ошибка при загрузке данных в таблицу \"Инструменты\": ") + failureText(e)
               + QStringLiteral(" ."));
        return false;
    }
    const QString text = QStringLiteral("Данные по инструменту ") + C + QStringLiteral(" успешно загружены в справочник!");
    emit message(text);
    AddLog(text);
    FlushLog();
    return true;
}
