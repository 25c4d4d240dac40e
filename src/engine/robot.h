#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

#include "config/korvinaerror.h"

class Settings;
class TDatMod;
class DataSet;

// The robot's run-time state and its heartbeat: connection, the refresh
// tick, watching of the strategy platform's orders. The main window owns one
// and shows it; headless, the program runs it alone. Everything it must show
// (log lines go through the operation log) comes out as signals.
class Robot : public QObject {
    Q_OBJECT
public:
    Robot(Settings &settings, TDatMod &data, QObject *parent = nullptr);

    Settings &settings() { return m_settings; }
    TDatMod &data() { return m_data; }

    // Run-time state
    bool Watching = false;
    int LastFilledId = 0;
    // Set when watching started while FilledOrders could not be read: the
    // first tick that can read it takes its last id as the starting point
    // instead of taking every row already there as new.
    bool BaselinePending = false;
    int TransId = 0;
    QStringList PendingTransactions;
    int SentCount = 0;
    int DoneCount = 0;
    quint8 QuikLinkState = 255;
    int LastInfoLogSize = 0;
    int WatchIconIndex = 0;

    // Actions whose enabled state the robot decides.
    bool actStartWatchEnabled = false;
    bool actStopWatchEnabled = false;

    // Timers
    QTimer timUpdateTable; // strategy data refresh: timTable
    QTimer timQuik;        // terminal data refresh: timQuikTimer
    QTimer timInfoLog;     // terminal link check: timInfoLogTimer

    // Sets the timer periods from the settings (seconds; 0 stops a timer).
    void ApplyTimerPeriods();
    void setTimerEnabled(QTimer &timer, bool enabled);
    bool timerEnabled(const QTimer &timer) const;

    // Start-up after the objects exist: the guarded connect block, the
    // link-log seeding, the first flush of the log.
    void StartUp();

    // "Подключиться" without its message box; throws on failures that the
    // general error handler shows. Emits message() with the closing text.
    void actConnectToBaseExecute();
    void ConnectAndStart();
    bool ConnectDatabases();

    // The refresh tick and its pieces.
    void timTable();
    void actWatchingExecute();
    void PollFilledOrders();
    void actCheckTROExecute();
    void timQuikTimer();
    void timInfoLogTimer();

    void actStartWatchExecute();
    void actStopWatchExecute();

    // Transaction file sets and the queue.
    void BuildTROFiles();
    void PrepareTransactionFiles();
    void WriteTransactions(const QString &fileName);

    // Views and totals refreshed at connection.
    void UpdateSumList();
    void UpdatePortfolioTotals();
    void UpdateStatusBar();
    int GetInfoLogSize();

    // The title of the window.
    QString SetTitle();

    // Runs a timer's work as one tick: ticks never overlap, and a failure
    // that nothing inside caught ends the tick and goes to failure().
    template <typename F>
    void runTick(F &&work);

signals:
    void failure(const QString &text);        // the general error handler's text
    void message(const QString &text);        // an information box
    void actionsChanged();                    // actStartWatch/actStopWatch enabled states
    void watchIconChanged(int index);         // the watching animation
    void statusBarChanged(const QStringList &panels);
    void titleChanged(const QString &title);
    void beep();

private:
    void onTimUpdateTable();
    void onTimQuik();
    void onTimInfoLog();
    void setWatchActions(bool startEnabled, bool stopEnabled);
    // One row of a batch of new filled orders.
    void handleFilledOrder(DataSet &row);

    Settings &m_settings;
    TDatMod &m_data;
    bool m_inTick = false;
    bool m_timUpdateTableOn = false;
    bool m_timQuikOn = false;
    bool m_timInfoLogOn = false;
};

template <typename F>
void Robot::runTick(F &&work)
{
    if (m_inTick)
        return;
    m_inTick = true;
    try {
        work();
    } catch (const std::exception &e) {
        m_inTick = false;
        emit failure(failureText(e));
        return;
    } catch (...) {
        m_inTick = false;
        emit failure(QStringLiteral("Неизвестная ошибка"));
        return;
    }
    m_inTick = false;
}
