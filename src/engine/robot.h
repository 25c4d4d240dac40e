#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

#include "config/korvinaerror.h"
#include "engine/dispatch.h"
#include "gateway/transactionfiles.h"
#include "monitor/smtpnotifier.h"

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
    // Transaction texts built but not yet written, each with its destination.
    QList<TPendingTransaction> PendingTransactions;
    // One entry per transaction file set.
    QVector<TTROData> TROFiles;
    int SentCount = 0;
    int DoneCount = 0;
    quint8 QuikLinkState = 255;
    qint64 LastInfoLogSize = 0;
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

    // Dispatch: the prepared order over the accounts that are to receive it.
    void DispatchOrder(const TPreOrder &order, TOrderHandler handler);

    // Transaction file sets, the counter and the queue.
    void BuildTROFiles();
    void PrepareTransactionFiles();
    // Queues the client's transaction for its destination (a QUIK import
    // file, or a SmartTrade order folder), journals, logs and books it.
    void SendTransaction(TOrder &O, const TPreOrder &P, const QString &destination);
    // Writes the texts queued for this file's destination.
    void WriteTransactions(const QString &fileName);
    // Tries again every destination that still holds texts.
    void WritePendingTransactions();
    bool hasPendingFor(const QString &destination) const;
    // A new SmartTrade order file in the folder.
    QString SmartTradeFileName(const QString &folder) const;

    // Sends one event text by mail to both recipients (callers check the
    // event's switch first). Never throws for a mail failure: it is logged.
    void Notify(const QString &text);
    // The SMTP client (the options dialog's "Коннект", "Дисконнект", "Тест").
    SmtpNotifier &Notifier() { return m_notifier; }

    // Views and totals refreshed at connection.
    void UpdateSumList();
    void UpdatePortfolioTotals();
    void UpdateStatusBar();
    qint64 GetInfoLogSize();

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
    // Every notification, as Notify hands it to the mail client.
    void notification(const QString &text);

private:
    void onTimUpdateTable();
    void onTimQuik();
    void onTimInfoLog();
    void setWatchActions(bool startEnabled, bool stopEnabled);
    // One row of a batch of new filled orders.
    void handleFilledOrder(DataSet &row);
    void serveClient(TOrderHandler H, TOrder &O, const TPreOrder &P, const TClientAccount &A, const QString &destination);
    void writeGuarded(const QString &fileName);
    void writeQueue(const QString &fileName, const QString &destination, bool smartTrade);
    void handleResultLine(const QString &path, int index, const QString &line);
    static bool samePath(const QString &a, const QString &b);

    Settings &m_settings;
    TDatMod &m_data;
    SmtpNotifier m_notifier{m_settings};
    bool m_inTick = false;
    // While a dispatch runs the book's dataset is re-read once, at its end.
    int m_dispatching = 0;
    bool m_bookChanged = false;
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
