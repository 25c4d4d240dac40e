#include "robot.h"

#include "positionbook.h"

#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "data/views.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>

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
    connect(&timQuik, &QTimer::timeout, this, &Robot::onTimQuik);
    connect(&timInfoLog, &QTimer::timeout, this, &Robot::onTimInfoLog);
    connect(&m_settings, &Settings::loaded, this, &Robot::ApplyTimerPeriods);
    connect(&m_gateway, &Gateway::notify, this, &Robot::Notify);
    connect(&m_gateway, &Gateway::countersChanged, this, &Robot::UpdateStatusBar);
    connect(&m_gateway, &Gateway::refused, this, &Robot::onRefused);
    connect(&m_gateway, &Gateway::numberingRestarted, this, &Robot::onNumberingRestarted);
    m_serviceTimer.setInterval(ServiceRetryMs);
    connect(&m_serviceTimer, &QTimer::timeout, this, [this] { runTick([this] { onServiceTimer(); }); });
    m_timInfoLogOn = true; // the link check runs from the start
    ApplyTimerPeriods();
}

Robot::~Robot() = default;

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

void Robot::connectAndPrepare()
{
    // The journal rows of texts still waiting for a file are made anew after
    // the journal is emptied, and renumbered with the texts when the files
    // are prepared: they are written once, under their final number.
    WriteQueue::Batch batch(m_data.quikWrites);
    ConnectAndStart();
    BuildTROFiles();
    PrepareTransactionFiles();
}

void Robot::actConnectToBaseExecute()
{
    connectAndPrepare();
    emit message(QStringLiteral("Созданы новые файлы TRI и TRO. Перезапустите импорт транзакций в квике!"));
}

bool Robot::takeWorkspaceLock()
{
    // The lock lies beside QuikData; a robot on another QuikData takes
    // another lock.
    const QString path = QFileInfo(m_settings.edtQuikData).absoluteFilePath() + QStringLiteral(".lock");
    if (m_lock && m_lockPath == path)
        return true;
    m_lock.reset();
    m_lockPath.clear();
    m_lockedOut = false;
    m_lockedOutText.clear();
    if (m_settings.edtQuikData.trimmed().isEmpty() || !QFileInfo(QFileInfo(path).path()).isDir())
        return true; // no QuikData to share: the connection itself fails
    auto lock = std::make_unique<QLockFile>(path);
    // Only a lock whose process is gone is stale, however old it is.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        m_lock = std::move(lock);
        m_lockPath = path;
        return true;
    }
    qint64 pid = 0;
    QString host, application;
    QString who;
    if (lock->getLockInfo(&pid, &host, &application))
        who = QStringLiteral("процесс ") + QString::number(pid) + QStringLiteral(" на компьютере ") + host;
    else
        who = QStringLiteral("файл блокировки ") + path;
    m_lockedOut = true;
    m_lockedOutText = QStringLiteral("База данных ") + m_settings.edtQuikData + QStringLiteral(" уже используется другим роботом Korvina (")
        + who + QStringLiteral("). Этот робот не загружает ордера и не пишет файлы транзакций.");
    AddLog(m_lockedOutText);
    return false;
}

void Robot::ConnectAndStart()
{
    const bool locked = takeWorkspaceLock();
    if (!ConnectDatabases())
        return;
    if (!locked) {
        // Another robot trades on this QuikData: its journal and its files
        // are left alone; the views may still be looked at.
        if (Watching)
            actStopWatchExecute();
        setTimerEnabled(timQuik, true);
        setWatchActions(false, false);
        return;
    }
    m_data.ClearOrderNumbers();
    // Texts still waiting for their file keep their journal rows.
    m_gateway.JournalPending();
    setTimerEnabled(timUpdateTable, true);
    setTimerEnabled(timQuik, true);
    if (!actStopWatchEnabled)
        setWatchActions(true, actStopWatchEnabled);
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

            const int mode = m_settings.rgpSingleMulti;
            const QVector<TQuikTerminal> terminals = mode == 1 ? ReadTerminals(m_data.tQuik) : QVector<TQuikTerminal>();
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
    if (m_lockedOut) {
        // The folders hold the other robot's files.
        FlushLog();
        return;
    }
    QStringList own{m_settings.fileName(), m_settings.edtAlerts, m_settings.edtQuikData};
    if (OperationLog *log = OperationLog::current())
        own << log->fileName();
    m_gateway.setProtectedFiles(own);
    m_gateway.PrepareTransactionFiles();
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
    if (m_data.quikWrites.remove(QStringLiteral("book:") + QString::number(serial)) > 0)
        return; // never written
    const auto row = m_bookRowIds.constFind(serial);
    if (row == m_bookRowIds.cend())
        return;
    const qint64 rowId = *row;
    m_bookRowIds.erase(row);
    RemoveOpenPosition(m_data, rowId, transId);
    m_bookChanged = true;
}

void Robot::timTable()
{
    for (DataSet *ds : m_data.alertTables())
        RefreshDataSet(*ds);
    if (m_lockedOut) {
        FlushLog();
        return;
    }
    if (Watching && !m_connecting)
        actWatchingExecute();
    actCheckTROExecute();
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
        AddLog(QStringLiteral("Обрабатываю ордер # ") + QString::number(P.Id) + QStringLiteral(" ..."));
        // An order without a price it can be sized and priced on is refused
        // for every client.
        const QString refusal = UnusableOrder(P, order.fillPrice);
        if (!refusal.isEmpty()) {
            AddLog(QStringLiteral("Ордер # ") + QString::number(P.Id) + QStringLiteral(" отклонен: ") + refusal
                   + QStringLiteral(" Транзакции не сформированы."));
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
                return true;
            }
            order.filtersPassed = true;
        }
        DispatchScope scope;
        const QList<QPair<qint32, QString>> left = order.left;
        if (!left.isEmpty())
            scope.only = &left;
        dispatch(P, MakeNewOrder, scope);
        if (!scope.failed.isEmpty()) {
            order.left = scope.failed;
            return waitAgain(scope.failure);
        }
    } catch (const std::exception &e) {
        if (isTransient(e))
            return waitAgain(failureText(e));
        AddLog(QStringLiteral("Ошибка при обработке ордера # ") + QString::number(P.Id) + QStringLiteral(": ") + failureText(e));
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
    LastFilledId = m_data.GetLastId(m_data.tFilledOrders);
    BaselinePending = LastFilledId < 0;
    Watching = true;
    setWatchActions(false, true);
    AddLog(QStringLiteral("Загрузка ордеров включена."));
    FlushLog();
}

void Robot::actStopWatchExecute()
{
    Watching = false;
    emit watchIconChanged(0);
    setWatchActions(true, false);
    AddLog(QStringLiteral("Загрузка ордеров остановлена."));
    FlushLog();
}

void Robot::actCheckTROExecute()
{
    if (m_lockedOut)
        return;
    m_gateway.actCheckTROExecute();
    // Book rows of refused entries go as soon as they can.
    if (m_bookChanged && m_dispatching == 0)
        refreshBook();
}

void Robot::timQuikTimer()
{
    RefreshDataSet(m_data.tParam);
    if (m_settings.chAutoPortfolio) {
        RefreshQuery(m_data.qPortfolioAll);
        RefreshQuery(m_data.qPortfolioFutAll);
    }
    RefreshDataSet(m_data.tOrderNumber);
    RefreshQuery(m_data.qQuikOrdersAll);
    RefreshQuery(m_data.qTradesAll);
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
    s.mode = m_settings.rgpSingleMulti;
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
    setTimerEnabled(timUpdateTable, false);
    setTimerEnabled(timQuik, false);
    setTimerEnabled(timInfoLog, false);
    m_mail.shutdown(std::chrono::milliseconds(mailGraceMs));
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
    if (!m_backlog.empty()) {
        QStringList ids;
        for (const PendingOrder &o : m_backlog)
            ids << QString::number(o.P.Id);
        AddLog(QStringLiteral("При завершении работы не обработаны ордера # ") + ids.join(QStringLiteral(", ")) + QStringLiteral("."));
    }
    FlushLog();
}

void Robot::RunAsService(bool watch)
{
    m_serviceWatch = watch;
    m_quietRepeats = true;
    m_serviceTimer.start();
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
        if (!m_data.conQuikData.isOpen() || m_lockedOut)
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
    if (m_serviceWatch && !Watching && actStartWatchEnabled && !m_lockedOut)
        actStartWatchExecute();
    FlushLog();
}

// Filled in by the securities directory as it lands.
void Robot::UpdateSumList() {}
void Robot::UpdatePortfolioTotals()
{
    if (const std::optional<TPortfolioTotals> totals = ReadPortfolioTotals(m_data))
        m_data.setPortfolioTotals(*totals);
}
