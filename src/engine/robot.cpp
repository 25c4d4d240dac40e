#include "robot.h"

#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "data/views.h"

#include <QDir>
#include <QFileInfo>


Robot::Robot(Settings &settings, TDatMod &data, QObject *parent) : QObject(parent), m_settings(settings), m_data(data)
{
    setObjectName(QStringLiteral("Robot"));
    timUpdateTable.setObjectName(QStringLiteral("timUpdateTable"));
    timQuik.setObjectName(QStringLiteral("timQuik"));
    timInfoLog.setObjectName(QStringLiteral("timInfoLog"));
    connect(&timUpdateTable, &QTimer::timeout, this, &Robot::onTimUpdateTable);
    connect(&timQuik, &QTimer::timeout, this, &Robot::onTimQuik);
    connect(&timInfoLog, &QTimer::timeout, this, &Robot::onTimInfoLog);
    connect(&m_settings, &Settings::loaded, this, &Robot::ApplyTimerPeriods);
    m_timInfoLogOn = true; // the link check runs from the start
    ApplyTimerPeriods();
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

void Robot::StartUp()
{
    SetTitle();
    try {
        if (m_settings.chConnect) {
            ConnectAndStart();
            BuildTROFiles();
            PrepareTransactionFiles();
        }
        LastInfoLogSize = GetInfoLogSize();
    } catch (const std::exception &e) {
        AddLog(failureText(e));
    }
    runTick([] { FlushLog(); });
}

void Robot::actConnectToBaseExecute()
{
    ConnectAndStart();
    BuildTROFiles();
    PrepareTransactionFiles();
    emit message(QStringLiteral("Созданы новые файлы TRI и TRO. Перезапустите импорт транзакций в квике!"));
}

void Robot::ConnectAndStart()
{
    if (!ConnectDatabases())
        return;
    m_data.ClearOrderNumbers();
    setTimerEnabled(timUpdateTable, true);
    setTimerEnabled(timQuik, true);
    if (!actStopWatchEnabled)
        setWatchActions(true, actStopWatchEnabled);
}

bool Robot::ConnectDatabases()
{
    auto connectOne = [](Database &db, const QString &path) {
        QString error;
        if (db.open(path, &error))
            AddLog(QStringLiteral("Подключение к базе данных ") + path + QStringLiteral(": OK"));
        else
            AddLog(QStringLiteral("При подключении к базе данных ") + path + QStringLiteral(" произошла ошибка:\r\n") + error);
    };
    connectOne(m_data.conOmega, m_settings.edtAlerts);
    connectOne(m_data.conQuikData, m_settings.edtQuikData);
    UpdateStatusBar();

    const bool connected = m_data.conQuikData.isOpen();
    try {
        if (connected) {
            timTable();
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

void Robot::timTable()
{
    for (DataSet *ds : m_data.alertTables())
        RefreshDataSet(*ds);
    if (Watching)
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
    const int last = LastFilledId;
    const int max = m_data.GetLastId(m_data.tFilledOrders);
    if (BaselinePending) {
        // Watching began while the table could not be read: the rows it holds
        // now were there before watching, so none of them is taken.
        if (max >= 0) {
            LastFilledId = max;
            BaselinePending = false;
        }
        FlushLog();
        return;
    }
    if (max <= last) {
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
        handleFilledOrder(q);
        q.Next();
    }
    FlushLog();
}

void Robot::handleFilledOrder(DataSet &row)
{
    // A failure on one row is logged with that row's id; the rows after it
    // are still handled.
    const QVariant rowId = row.FieldByName(QStringLiteral("ID"));
    try {
        TPreOrder P;
        ReadStrategyOrder(P, row);
        AddLog(QStringLiteral("Обрабатываю ордер # ") + QString::number(P.Id) + QStringLiteral(" ..."));
        QString reasons;
        if (CheckFilters(m_data, P, reasons))
            DispatchOrder(P, MakeNewOrder);
        else
            AddLog(QStringLiteral("Ордер # ") + QString::number(P.Id) + QStringLiteral(" не прошел фильтры. / ") + reasons + QStringLiteral("/"));
    } catch (const std::exception &e) {
        AddLog(QStringLiteral("Ошибка при обработке ордера # ") + rowId.toString() + QStringLiteral(": ") + failureText(e));
    }
}

void Robot::actStartWatchExecute()
{
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

// Filled in by the securities directory as it lands. The link monitor, the
// status bar and Notify are in monitor/linkmonitor.cpp.
void Robot::UpdateSumList() {}
void Robot::UpdatePortfolioTotals()
{
    if (const std::optional<TPortfolioTotals> totals = ReadPortfolioTotals(m_data))
        m_data.setPortfolioTotals(*totals);
}
