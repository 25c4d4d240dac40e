#include "robot.h"

#include "positionbook.h"

#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "data/schema.h"
#include "data/secdirectory.h"
#include "data/views.h"

#include <QDir>
#include <QFileInfo>

#include <limits>

Robot::Robot(Settings &settings, TDatMod &data, QObject *parent)
    : QObject(parent), TransId(m_gateway.TransId), PendingTransactions(m_gateway.PendingTransactions),
      TROFiles(m_gateway.TROFiles), SentCount(m_gateway.SentCount), DoneCount(m_gateway.DoneCount),
      QuikLinkState(m_link.QuikLinkState), LastInfoLogSize(m_link.LastInfoLogSize), m_settings(settings), m_data(data),
      m_gateway(settings, data), m_mail([&settings] { return MailSettings::fromSettings(settings); })
{
    setObjectName(QStringLiteral("Robot"));
    timUpdateTable.setObjectName(QStringLiteral("timUpdateTable"));
    timQuik.setObjectName(QStringLiteral("timQuik"));
    timInfoLog.setObjectName(QStringLiteral("timInfoLog"));
    connect(&timUpdateTable, &QTimer::timeout, this, &Robot::onTimUpdateTable);
    m_intakeTimer.setSingleShot(true);
    m_intakeTimer.setInterval(0);
    connect(&m_intakeTimer, &QTimer::timeout, this, &Robot::runIntake);
    connect(&m_intakeWatcher, &QFileSystemWatcher::fileChanged, this, &Robot::onIntakeChange);
    connect(&m_intakeWatcher, &QFileSystemWatcher::directoryChanged, this, &Robot::onIntakeChange);
    connect(&timQuik, &QTimer::timeout, this, &Robot::onTimQuik);
    connect(&timInfoLog, &QTimer::timeout, this, &Robot::onTimInfoLog);
    connect(&m_settings, &Settings::loaded, this, &Robot::ApplyTimerPeriods);
    connect(&m_gateway, &Gateway::notify, this, &Robot::Notify);
    connect(&m_gateway, &Gateway::countersChanged, this, &Robot::UpdateStatusBar);
    connect(&m_gateway, &Gateway::refused, this, &Robot::onRefused);
    connect(&m_gateway, &Gateway::numberingRestarted, this, &Robot::onNumberingRestarted);
    connect(&m_gateway, &Gateway::seriesStarted, this, [this](qint64 session) {
        if (m_runStateRead)
            storeState(SessionStarted(session));
    });
    connect(&m_gateway, &Gateway::filesMade, this, [this](qint64 session) {
        if (m_runStateRead)
            storeState(FilesMade(session));
    });
    m_serviceTimer.setInterval(ServiceRetryMs);
    connect(&m_serviceTimer, &QTimer::timeout, this, [this] { runTick([this] { onServiceTimer(); }); });
    m_connectRetry.setInterval(ConnectRetryMs);
    connect(&m_connectRetry, &QTimer::timeout, this, [this] { runTick([this] { onConnectRetry(); }); });
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
    timUpdateTable.setInterval(m_settings.edtIntTable * 1000);
    timQuik.setInterval(m_settings.edtIntQuik * 1000);
    timInfoLog.setInterval(m_settings.edtQuikConnectTimeOut * 1000);
    setTimerEnabled(timUpdateTable, m_timUpdateTableOn);
    setTimerEnabled(timQuik, m_timQuikOn);
    setTimerEnabled(timInfoLog, m_timInfoLogOn);
}

void Robot::setTimerEnabled(QTimer &timer, bool enabled)
{
    if (&timer == &timUpdateTable)
        m_timUpdateTableOn = enabled;
    else if (&timer == &timQuik)
        m_timQuikOn = enabled;
    else if (&timer == &timInfoLog)
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
    if (&timer == &timUpdateTable)
        return m_timUpdateTableOn;
    if (&timer == &timQuik)
        return m_timQuikOn;
    return m_timInfoLogOn;
}

void Robot::onTimUpdateTable() { runTick([this] { timTable(); }); }
void Robot::onTimQuik() { runTick([this] { timQuikTimer(); }); }
void Robot::onTimInfoLog() { runTick([this] { timInfoLogTimer(); }); }

void Robot::setWatchActions(bool startEnabled, bool stopEnabled)
{
    if (actStartWatchEnabled == startEnabled && actStopWatchEnabled == stopEnabled)
        return;
    actStartWatchEnabled = startEnabled;
    actStopWatchEnabled = stopEnabled;
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
        LastInfoLogSize = GetInfoLogSize();
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
        emit message(QStringLiteral("База данных ") + m_settings.edtQuikData
                     + QStringLiteral(" занята другой программой: подключение будет завершено и новые файлы TRI и TRO созданы, как только она освободится."));
        return;
    }
    emit message(FilesMadeText);
}

bool Robot::takeWorkspaceLock()
{
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
        m_lockedOutText = QStringLiteral("База данных ") + m_settings.edtQuikData + QStringLiteral(" уже используется другим роботом Korvina (")
            + who + QStringLiteral("). Этот робот не загружает ордера и не пишет файлы транзакций.");
        break;
    }
    case InstanceLock::Result::Failed:
        m_lockedOutText = QStringLiteral("Блокировка базы данных ") + m_settings.edtQuikData + QStringLiteral(" не установлена: ")
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
        + m_settings.edtQuikData + QStringLiteral(" больше не принадлежит этому роботу: он не загружает ордера и не пишет файлы транзакций.");
    if (Watching)
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
    if (locked && !m_instanceLock.held())
        locked = takeWorkspaceLock();
    if (!locked) {
        // Another robot trades on this QuikData: its journal and its files
        // are left alone; the views may still be looked at.
        if (Watching)
            stopWatching();
        setTimerEnabled(timQuik, true);
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
        readRunState();
        // Every row of the journal is in the history before it is emptied.
        m_gateway.checkHistory();
        m_gateway.ArchiveJournal(m_gateway.Session);
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
        AddLog(QStringLiteral("База данных ") + m_settings.edtQuikData + QStringLiteral(" освободилась: подключение завершается."));
    }
    storeState(RunStarted(m_gateway.Session));
    setTimerEnabled(timUpdateTable, true);
    setTimerEnabled(timQuik, true);
    if (!actStopWatchEnabled)
        setWatchActions(true, actStopWatchEnabled);
}

void Robot::setConnectionPending(const QString &why)
{
    if (!m_connectPending)
        AddLog(QStringLiteral("Подключение к базе данных ") + m_settings.edtQuikData
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
    if (m_serviceWatch && !Watching && actStartWatchEnabled && !m_lockedOut)
        actStartWatchExecute();
    FlushLog();
}

bool Robot::ConnectDatabases()
{
    auto connectOne = [this](Database &db, const QString &path) {
        QString error;
        if (db.open(path, &error)) {
            AddLog(QStringLiteral("Подключение к базе данных ") + path + QStringLiteral(": OK"));
            m_lastConnectFailure.remove(path);
            return;
        }
        const QString line = QStringLiteral("При подключении к базе данных ") + path + QStringLiteral(" произошла ошибка:\r\n") + error;
        // Unattended, a failure that repeats is logged once.
        if (!m_quietRepeats || m_lastConnectFailure.value(path) != line)
            AddLog(line);
        m_lastConnectFailure.insert(path, line);
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
            m_data.qPortfolioAll.Open();
            m_data.qPortfolioFutAll.Open();
            m_data.qQuikOrdersAll.Open();
            m_data.qTradesAll.Open();

            const QString limits = BuildLimitsQuery(false, std::nullopt, QString(), QString(), mode, terminals);
            m_data.qLimits.setSQL(limits);
            m_data.qLimits.Open();

            m_data.qClientsByGroup.Open();

            m_data.qSecCodeList.setSQL(BuildSecCodeListQuery(limits));
            m_data.qSecCodeList.Open();

            m_data.qPortfolioSum.setSQL(BuildPortfolioSumQuery(m_data.qPortfolioAll.SQLText()));
            m_data.qPortfolioFutSum.setSQL(BuildPortfolioFutSumQuery(m_data.qPortfolioFutAll.SQLText()));
            UpdatePortfolioTotals();
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
    const qint64 before = m_gateway.Session;
    const bool first = m_firstPreparation || !m_runStateRead;
    m_gateway.setNextSession(before + 1, m_runStateRead && (first ? m_carryFirst : true), m_runStateRead && first && m_carryFirst);
    m_gateway.PrepareTransactionFiles();
    if (m_gateway.Session != before && m_runStateRead)
        m_firstPreparation = false;
}

void Robot::readRunState()
{
    if (m_runStateRead)
        return;
    try {
        if (schema::ensureRobotTables(m_data.conQuikData))
            AddLog(QStringLiteral("В базе данных ") + m_settings.edtQuikData
                   + QStringLiteral(" созданы таблицы истории транзакций и состояния робота."));
        m_stateKept = m_data.conQuikData.hasTable(QStringLiteral("tRobotState"));
        if (!m_stateKept)
            return;
        m_previousRun = ReadRunState(m_data.conQuikData);
        m_runStateRead = true;
    } catch (const std::exception &e) {
        // Held by another program for the moment: read once it is free.
        if (isTransient(e))
            throw;
        AddLog(QStringLiteral("Состояние робота в базе данных ") + m_settings.edtQuikData + QStringLiteral(" не читается: ")
               + failureText(e));
        m_stateKept = false;
        return;
    }
    if (!m_previousRun.known) {
        storeState(RunStateCreated());
        return;
    }
    m_gateway.Session = m_previousRun.session;
    m_gateway.FilesSession = m_previousRun.filesSession;
    m_placeAlerts = m_previousRun.alerts;
    m_placeHandled = m_previousRun.lastHandled;
    const int window = m_settings.edtResumeWindow;
    const qint64 downFor = m_previousRun.heartbeat.isValid() ? m_previousRun.heartbeat.secsTo(QDateTime::currentDateTime()) : -1;
    if (!m_previousRun.running) {
        AddLog(QStringLiteral("Предыдущий запуск робота завершен штатно."));
    } else if (window > 0 && downFor >= 0 && downFor < window) {
        m_carryFirst = true;
        m_resumeRows = m_previousRun.lastHandled >= 0 && m_previousRun.alerts == m_settings.edtAlerts;
        AddLog(QStringLiteral("Предыдущий запуск робота прерван ") + QString::number(downFor)
               + QStringLiteral(" с назад без штатного завершения: работа продолжается с места остановки."));
    } else {
        AddLog(QStringLiteral("Предыдущий запуск робота прерван без штатного завершения ")
               + (downFor >= 0 ? QString::number(downFor) + QStringLiteral(" с назад") : QStringLiteral("когда-то"))
               + QStringLiteral(", позже окна продолжения (") + QString::number(window)
               + QStringLiteral(" с): работа начинается заново."));
    }
}

void Robot::storeState(WriteQueue::Item item)
{
    if (!m_stateKept)
        return;
    m_data.quikWrites.add(std::move(item));
}

void Robot::storePlace(qint64 lastHandled, DispatchScope *scope)
{
    m_placeAlerts = m_settings.edtAlerts;
    m_placeHandled = lastHandled;
    if (!m_stateKept)
        return;
    WriteQueue::Item item = PlaceStored(lastHandled, m_gateway.Session, m_settings.edtAlerts);
    if (scope)
        scope->closing = std::move(item);
    else
        m_data.quikWrites.add(std::move(item));
}

QSet<QString> Robot::servedBefore(qint64 orderId)
{
    QSet<QString> codes;
    if (!m_gateway.historyKept())
        return codes;
    m_data.quikWrites.flush(true);
    const Database::Rows rows = m_data.conQuikData.fetch(
        QStringLiteral("SELECT code\r\nFROM tOrderHistory\r\nWHERE id_order = :id_order AND session >= :session"),
        {{QStringLiteral("id_order"), orderId}, {QStringLiteral("session"), m_previousRun.placeSession}});
    for (const auto &r : rows.rows)
        codes.insert(r.value(0).toString());
    return codes;
}

void Robot::tellSkipped(qint64 after, qint64 upTo, const QString &why)
{
    if (upTo <= after)
        return;
    try {
        const Database::Rows rows = m_data.conOmega.fetch(
            QStringLiteral("SELECT ID\r\nFROM FilledOrders\r\nWHERE ID > :after AND ID <= :up_to\r\nORDER BY ID"),
            {{QStringLiteral("after"), after}, {QStringLiteral("up_to"), upTo}});
        if (rows.rows.isEmpty())
            return;
        QStringList ids;
        for (const auto &r : rows.rows) {
            if (ids.size() == 100) {
                ids << QStringLiteral("и еще ") + QString::number(rows.rows.size() - 100);
                break;
            }
            ids << r.value(0).toString();
        }
        AddLog(QStringLiteral("Ордера стратегий, исполненные ") + why + QStringLiteral(", не загружаются: ")
               + QString::number(rows.rows.size()) + QStringLiteral(" (# ") + ids.join(QStringLiteral(", ")) + QStringLiteral(")."));
    } catch (const std::exception &e) {
        AddLog(QStringLiteral("Пропущенные ордера стратегий не прочитаны: ") + failureText(e));
    }
}

void Robot::WriteTransactions(const QString &fileName) { m_gateway.WriteTransactions(fileName); }
void Robot::WritePendingTransactions() { m_gateway.WritePendingTransactions(); }

void Robot::onNumberingRestarted(const QHash<qint32, qint32> &carried)
{
    // The links of the old numbers go; a text carried over keeps its book
    // entry under its new number.
    QHash<qint32, qint64> entries;
    for (auto it = carried.cbegin(); it != carried.cend(); ++it)
        if (m_bookEntries.contains(it.key()))
            entries.insert(it.value(), m_bookEntries.value(it.key()));
    m_bookEntries = entries;
    QHash<qint64, qint64> rows;
    for (const qint64 serial : std::as_const(m_bookEntries))
        if (m_bookRowIds.contains(serial))
            rows.insert(serial, m_bookRowIds.value(serial));
    m_bookRowIds = rows;
}

void Robot::onRefused(qint32 transId)
{
    // The entry this transaction booked is no position: it goes from the
    // book, so that the exit is sized on what is really held.
    const auto entry = m_bookEntries.constFind(transId);
    if (entry == m_bookEntries.cend())
        return;
    const qint64 serial = *entry;
    m_bookEntries.erase(entry);
    // The entry stays in the book with nothing held, so that its exit closes
    // nothing (without any row the exit would fall back to the strategy's
    // quantity and sell what was never bought).
    AddLog(QStringLiteral("Вход в позицию транзакции # ") + QString::number(transId)
           + QStringLiteral(" не исполнен: в книге робота он оставлен с количеством 0, и выход по нему ничего не отправит."));
    if (WriteQueue::Item *waiting = m_data.quikWrites.find(QStringLiteral("book:") + QString::number(serial))) {
        waiting->params.insert(QStringLiteral("quantity"), 0);
        return; // not written yet
    }
    const auto row = m_bookRowIds.constFind(serial);
    if (row == m_bookRowIds.cend())
        return;
    const qint64 rowId = *row;
    m_bookRowIds.erase(row);
    MarkEntryRefused(m_data, rowId, transId);
    m_bookChanged = true;
}

void Robot::timTable()
{
    for (DataSet *ds : m_data.alertTables())
        RefreshDataSet(*ds);
    checkInstanceLock();
    if (m_lockedOut) {
        FlushLog();
        return;
    }
    if (Watching && !m_connecting)
        actWatchingExecute();
    actCheckTROExecute();
    watchIntake();
    // A sign of life now and then: after a crash, the next start knows how
    // long ago the robot stopped.
    if (m_stateKept && (!m_heartbeat.isValid() || m_heartbeat.hasExpired(HeartbeatSeconds * 1000))) {
        m_heartbeat.start();
        storeState(Heartbeat());
    }
    FlushLog();
}

void Robot::actWatchingExecute()
{
    WatchIconIndex = WatchIconIndex == 3 ? 0 : WatchIconIndex + 1;
    emit watchIconChanged(WatchIconIndex);
    PollFilledOrders();
    // What an earlier write left queued goes out now, each text to its own
    // terminal's file.
    WritePendingTransactions();
    FlushLog();
}

void Robot::PollFilledOrders()
{
    const qint64 last = LastFilledId;
    const qint64 max = m_data.GetLastId(m_data.tFilledOrders);
    // A table that cannot be read is reported once, and again when it can.
    if (max < 0) {
        const QString why = m_data.tFilledOrders.lastError().isEmpty()
            ? (m_data.conOmega.isOpen() ? QStringLiteral("таблица не открыта") : QStringLiteral("нет подключения к базе данных ") + m_settings.edtAlerts)
            : m_data.tFilledOrders.lastError();
        if (!m_filledOrdersFailed || why != m_filledOrdersFailure)
            AddLog(QStringLiteral("Таблица FilledOrders не читается (") + why + QStringLiteral("): новые ордера не загружаются."));
        m_filledOrdersFailed = true;
        m_filledOrdersFailure = why;
    } else if (m_filledOrdersFailed) {
        m_filledOrdersFailed = false;
        m_filledOrdersFailure.clear();
        AddLog(QStringLiteral("Таблица FilledOrders снова читается."));
    }
    if (BaselinePending) {
        // Watching began while the table could not be read: the rows it holds
        // now were there before watching, so none of them is taken.
        if (max >= 0) {
            LastFilledId = max;
            BaselinePending = false;
        }
        handleBacklog();
        FlushLog();
        return;
    }
    if (max <= last) {
        handleBacklog();
        FlushLog();
        return;
    }
    LastFilledId = max;

    DataSet &q = m_data.qFilledOrders;
    q.Close();
    q.setSQL(QStringList{QStringLiteral("SELECT *"), QStringLiteral("FROM FilledOrders"),
                         QStringLiteral("WHERE id >") + QString::number(last) + QStringLiteral(" and id <=") + QString::number(max)});
    q.Open();
    q.First();
    while (!q.Eof()) {
        PendingOrder order;
        try {
            ReadStrategyOrder(order.P, q);
            order.fillPrice = q.FieldByName(QStringLiteral("Fill Price"));
            m_backlog.push_back(std::move(order));
        } catch (const std::exception &e) {
            AddLog(QStringLiteral("Ошибка при обработке ордера # ") + q.FieldByName(QStringLiteral("ID")).toString() + QStringLiteral(": ")
                   + failureText(e));
        }
        q.Next();
    }
    handleBacklog();
    if (!m_resumeSkipped.isEmpty()) {
        QStringList ids;
        for (qint64 id : std::as_const(m_resumeSkipped))
            ids << QString::number(id);
        AddLog(QStringLiteral("Ордера стратегий, исполненные раньше окна продолжения (") + QString::number(m_settings.edtResumeWindow)
               + QStringLiteral(" с), не загружаются после перезапуска: ") + QString::number(ids.size()) + QStringLiteral(" (# ")
               + ids.join(QStringLiteral(", ")) + QStringLiteral(")."));
        m_resumeSkipped.clear();
    }
    FlushLog();
}

void Robot::handleBacklog()
{
    // In the order they were filled: an order waiting for a database to be
    // free holds back the ones after it, so an exit never overtakes its entry.
    while (!m_backlog.empty()) {
        if (!handleOrder(m_backlog.front()))
            return;
        m_backlog.pop_front();
    }
}

bool Robot::handleOrder(PendingOrder &order)
{
    TPreOrder &P = order.P;
    const bool retry = order.started;
    if (!order.started) {
        order.started = true;
        order.resumed = P.Id <= m_resumeUpTo;
        if (order.resumed) {
            // Filled longer ago than the window: too old to be placed now.
            const int window = m_settings.edtResumeWindow;
            if (P.TimeFilled.isValid() && P.TimeFilled.secsTo(QDateTime::currentDateTime()) >= window) {
                m_resumeSkipped << P.Id;
                storePlace(P.Id);
                return true;
            }
            AddLog(QStringLiteral("Ордер # ") + QString::number(P.Id) + QStringLiteral(" взят после перезапуска робота."));
        }
        AddLog(QStringLiteral("Обрабатываю ордер # ") + QString::number(P.Id) + QStringLiteral(" ..."));
        // An order without a price it can be sized and priced on is refused
        // for every client.
        const QString refusal = UnusableOrder(P, order.fillPrice);
        if (!refusal.isEmpty()) {
            AddLog(QStringLiteral("Ордер # ") + QString::number(P.Id) + QStringLiteral(" отклонен: ") + refusal
                   + QStringLiteral(" Транзакции не сформированы."));
            storePlace(P.Id);
            return true;
        }
    }
    auto waitAgain = [&](const QString &error) {
        if (!order.failureLogged) {
            order.failureLogged = true;
            const bool stop = error.endsWith(QLatin1Char('.')) || error.endsWith(QLatin1Char('!'));
            AddLog(QStringLiteral("Ошибка при обработке ордера # ") + QString::number(P.Id) + QStringLiteral(": ") + error
                   + (stop ? QString() : QStringLiteral(".")) + QStringLiteral(" Ордер будет обработан повторно."));
        }
        return false;
    };
    try {
        if (!order.filtersPassed) {
            QString reasons;
            if (!CheckFilters(m_data, P, reasons)) {
                AddLog(QStringLiteral("Ордер # ") + QString::number(P.Id) + QStringLiteral(" не прошел фильтры. / ") + reasons
                       + QStringLiteral("/"));
                storePlace(P.Id);
                return true;
            }
            order.filtersPassed = true;
        }
        DispatchScope scope;
        const QList<QPair<qint32, QString>> left = order.left;
        if (!left.isEmpty())
            scope.only = &left;
        // Clients whose transactions were journalled before the restart
        // have them already (sent, or carried into the new files).
        if (order.resumed)
            scope.except = servedBefore(P.Id);
        // The place goes with the order's last journal rows.
        storePlace(P.Id, &scope);
        dispatch(P, MakeNewOrder, scope);
        if (!scope.failed.isEmpty()) {
            order.left = scope.failed;
            return waitAgain(scope.failure);
        }
        if (scope.closing)
            m_data.quikWrites.add(std::move(*scope.closing));
    } catch (const std::exception &e) {
        if (isTransient(e))
            return waitAgain(failureText(e));
        AddLog(QStringLiteral("Ошибка при обработке ордера # ") + QString::number(P.Id) + QStringLiteral(": ") + failureText(e));
        storePlace(P.Id);
        return true;
    }
    if (retry)
        AddLog(QStringLiteral("Ордер # ") + QString::number(P.Id) + QStringLiteral(" обработан повторно."));
    return true;
}

void Robot::actStartWatchExecute()
{
    if (m_lockedOut) {
        AddLog(m_lockedOutText);
        FlushLog();
        return;
    }
    const qint64 last = m_data.GetLastId(m_data.tFilledOrders);
    const int window = m_settings.edtResumeWindow;
    const qint64 downFor = m_previousRun.heartbeat.isValid() ? m_previousRun.heartbeat.secsTo(QDateTime::currentDateTime()) : -1;
    if (m_resumeRows && window > 0 && downFor >= 0 && downFor < window) {
        // Going on from the stored place: the rows after it were filled
        // before the robot stopped or while it was down.
        LastFilledId = m_previousRun.lastHandled;
        BaselinePending = false;
        m_resumeUpTo = last >= 0 ? last : std::numeric_limits<qint64>::max();
        AddLog(QStringLiteral("Загрузка ордеров продолжается после перезапуска с ордера, следующего за # ")
               + QString::number(LastFilledId) + QStringLiteral("."));
    } else {
        LastFilledId = last;
        BaselinePending = last < 0;
        m_resumeUpTo = -1;
        // Nothing is skipped silently: the rows since the place this run
        // (or, at its first start, the run before) last stored.
        const bool samePlace = m_placeHandled >= 0 && m_placeAlerts == m_settings.edtAlerts;
        if (samePlace && last > m_placeHandled)
            tellSkipped(m_placeHandled, last,
                        !m_watchedBefore && m_previousRun.running ? QStringLiteral("пока робот был остановлен дольше окна продолжения")
                                                                  : QStringLiteral("пока робот не загружал ордера"));
        if (last >= 0)
            storePlace(last);
    }
    m_resumeRows = false;
    m_watchedBefore = true;
    // Watching started by the operator (or at start-up with --watch) is
    // kept up by the service again.
    m_serviceWatch = m_serviceWatchAsked;
    Watching = true;
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

QStringList Robot::intakePaths() const { return m_intakeWatcher.files() + m_intakeWatcher.directories(); }

void Robot::watchIntake()
{
    if (!Watching || !m_settings.chInstantIntake || m_lockedOut) {
        const QStringList watched = intakePaths();
        if (!watched.isEmpty())
            m_intakeWatcher.removePaths(watched);
        return;
    }
    // The database, its WAL file (commits land there) and their folder
    // (a WAL file made later); each terminal's result file and the folder.
    QStringList wanted;
    const QString alerts = QFileInfo(m_settings.edtAlerts).absoluteFilePath();
    wanted << alerts << alerts + QStringLiteral("-wal") << QFileInfo(alerts).absolutePath();
    if (!m_settings.edtdirTT.trimmed().isEmpty()) {
        const QString folder = PathInFolder(m_settings.edtdirTT, QString());
        for (const TTROData &tro : m_gateway.TROFiles)
            wanted << QFileInfo(PathInFolder(m_settings.edtdirTT, tro.FileName + QStringLiteral(".tro"))).absoluteFilePath();
        wanted << QFileInfo(folder).absoluteFilePath();
    }
    const QStringList watched = intakePaths();
    for (const QString &path : wanted) {
        if (watched.contains(path) || !QFileInfo::exists(path))
            continue;
        // A watcher that cannot be installed leaves the timer to do it.
        if (!m_intakeWatcher.addPath(path) && !m_intakeBlind.contains(path)) {
            m_intakeBlind.insert(path);
            AddLog(QStringLiteral("Изменения файла ") + path + QStringLiteral(" не отслеживаются: он проверяется по таймеру."));
        }
    }
}

void Robot::onIntakeChange(const QString &path)
{
    if (path.endsWith(QLatin1String(".tro"), Qt::CaseInsensitive))
        m_intakeResults = true;
    else if (QFileInfo(path).isDir()) {
        m_intakeOrders = m_intakeResults = true; // a file made or replaced
    } else
        m_intakeOrders = true;
    if (!m_intakeTimer.isActive())
        m_intakeTimer.start();
}

void Robot::runIntake()
{
    const bool orders = m_intakeOrders, results = m_intakeResults;
    m_intakeOrders = m_intakeResults = false;
    bool ran = false;
    runTick([&] {
        ran = true;
        ++IntakeSteps;
        // The same step as the tick's, only sooner; a change that brings
        // no row costs the table's change check alone.
        if (orders && Watching && !m_connecting && !m_lockedOut) {
            RefreshDataSet(m_data.tFilledOrders);
            PollFilledOrders();
            WritePendingTransactions();
        }
        if (results)
            actCheckTROExecute();
        watchIntake(); // files made or replaced since are watched again
        FlushLog();
    });
    if (!ran) {
        // A tick is running: the change is taken right after it.
        m_intakeOrders |= orders;
        m_intakeResults |= results;
        m_intakeTimer.start(5);
    }
}

void Robot::actStopWatchExecute()
{
    // Stopped by the operator: nothing starts it again but the operator.
    m_serviceWatch = false;
    stopWatching();
}

void Robot::stopWatching()
{
    Watching = false;
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
    m_gateway.actCheckTROExecute();
    // Lines whose rows the check has just written go out now, not a tick later.
    if (!m_connecting && m_gateway.linesWaitingForRows() < waiting)
        WritePendingTransactions();
    // Book rows of refused entries go as soon as they can.
    if (m_bookChanged && m_dispatching == 0)
        refreshBook();
}

void Robot::timQuikTimer()
{
    // The merged views of every terminal are read off this thread: reading
    // ten terminals' orders takes longer than a frame.
    RefreshDataSet(m_data.tParam);
    if (m_settings.chAutoPortfolio) {
        m_data.quikReader.refresh(m_data.qPortfolioAll);
        m_data.quikReader.refresh(m_data.qPortfolioFutAll);
    }
    RefreshDataSet(m_data.tOrderNumber);
    m_data.quikReader.refresh(m_data.qQuikOrdersAll);
    m_data.quikReader.refresh(m_data.qTradesAll);
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
    s.linkState = QuikLinkState;
    s.transId = TransId;
    s.sentCount = SentCount;
    s.doneCount = DoneCount;
    s.mode = m_settings.accountMode();
    emit statusBarChanged(StatusBarPanels(s));
}

void Robot::Notify(const QString &text)
{
    emit notification(text);
    m_mail.Notify(text);
}

void Robot::Shutdown(int mailGraceMs)
{
    m_serviceTimer.stop();
    m_intakeTimer.stop();
    if (!intakePaths().isEmpty())
        m_intakeWatcher.removePaths(intakePaths());
    setTimerEnabled(timUpdateTable, false);
    setTimerEnabled(timQuik, false);
    setTimerEnabled(timInfoLog, false);
    m_connectRetry.stop();
    m_mail.shutdown(std::chrono::milliseconds(mailGraceMs));
    // Stopped cleanly: the next start begins afresh.
    if (m_runStateRead)
        storeState(CleanStop());
    // Rows still queued get a last, short try.
    for (WriteQueue *q : {&m_data.quikWrites, &m_data.alertWrites}) {
        if (q->isEmpty())
            continue;
        q->database().setBusyTimeout(std::min(q->database().busyTimeout(), 500));
        q->flush(true);
    }
    for (WriteQueue *q : {&m_data.quikWrites, &m_data.alertWrites})
        if (!q->isEmpty())
            AddLog(QStringLiteral("При завершении работы не записано в базу данных ") + q->database().path() + QStringLiteral(": ")
                   + QString::number(q->size()) + QStringLiteral(" записей."));
    // Lines whose rows that last try wrote go to their files; the others
    // never go out, and each is told.
    if (!m_lockedOut && !PendingTransactions.isEmpty())
        WritePendingTransactions();
    for (const TPendingTransaction &t : std::as_const(PendingTransactions))
        AddLog(QStringLiteral("При завершении работы не записана в файл транзакция # ") + QString::number(t.TransId) + QStringLiteral(": ")
               + t.Text);
    if (!m_backlog.empty()) {
        QStringList ids;
        for (const PendingOrder &o : m_backlog)
            ids << QString::number(o.P.Id);
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
            AddLog(QStringLiteral("Подключение к базе данных ") + path + QStringLiteral(": OK"));
            m_lastConnectFailure.remove(path);
            UpdateStatusBar();
        } else {
            const QString line = QStringLiteral("При подключении к базе данных ") + path + QStringLiteral(" произошла ошибка:\r\n") + error;
            if (m_lastConnectFailure.value(path) != line)
                AddLog(line);
            m_lastConnectFailure.insert(path, line);
        }
    }
    // Watching is started again only when --watch asked for it and the
    // operator has not stopped it since.
    if (m_serviceWatch && !Watching && actStartWatchEnabled && !m_lockedOut && !m_connectPending)
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
void Robot::UpdatePortfolioTotals()
{
    if (const std::optional<TPortfolioTotals> totals = ReadPortfolioTotals(m_data))
        m_data.setPortfolioTotals(*totals);
}
