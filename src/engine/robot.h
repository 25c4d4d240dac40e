#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QObject>
#include <QStringList>
#include <QFileSystemWatcher>
#include <QTimer>

#include "config/korvinaerror.h"
#include "data/instancelock.h"
#include "engine/dispatch.h"
#include "engine/manualorders.h"
#include "engine/runstate.h"
#include "gateway/gateway.h"
#include "monitor/linkmonitor.h"
#include "monitor/mailqueue.h"

#include <deque>
#include <optional>
#include <memory>

class Settings;
class TDatMod;
class DataSet;

// The robot's run-time state and its heartbeat: connection, the refresh
// tick, watching of the strategy platform's orders, dispatch. The main window
// owns one and shows it; headless, the program runs it alone. Everything it
// must show (log lines go through the operation log) comes out as signals.
//
// It owns the terminal gateway (transaction files, results, counters), the
// link monitor and the mail queue; the fields named after the run-time state
// of the main window are kept here as references into them.
class Robot : public QObject {
    Q_OBJECT
public:
    Robot(Settings &settings, TDatMod &data, QObject *parent = nullptr);
    ~Robot() override;

    Settings &settings() { return m_settings; }
    TDatMod &data() { return m_data; }
    Gateway &gateway() { return m_gateway; }
    MailQueue &mail() { return m_mail; }

    // Run-time state
    bool Watching = false;
    qint64 LastFilledId = 0;
    // Set when watching started while FilledOrders could not be read: the
    // first tick that can read it takes its last id as the starting point
    // instead of taking every row already there as new.
    bool BaselinePending = false;
    qint32 &TransId;
    QList<TPendingTransaction> &PendingTransactions;
    QVector<TTROData> &TROFiles;
    qint32 &SentCount;
    qint32 &DoneCount;
    quint8 &QuikLinkState;
    qint64 &LastInfoLogSize;
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

    // Start-up after the objects exist: the guarded connect block (when
    // connecting at start-up is on, or `connect` asks for it), the link-log
    // seeding, the first flush of the log.
    void StartUp(bool connect = false);

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
    // The operator's stop: it holds until the operator starts again (a
    // robot run with --watch does not start by itself meanwhile).
    void actStopWatchExecute();

    // Dispatch: the prepared order over the accounts that are to receive it.
    // The text of the failure that left some clients without their
    // transactions (logged); empty when every client got them.
    QString DispatchOrder(const TPreOrder &order, TOrderHandler handler);

    // The operator's orders: a new order (or a strategy order sent again)
    // and the cancellation of every order or stop order in a security, with
    // their log lines. A failure that stops the dispatch is thrown.
    TManualDispatch DispatchManualOrder(const TPreOrder &order);
    QString KillManualOrders(const TPreOrder &order);

    // Transaction file sets, the counter and the queue (the gateway's).
    void BuildTROFiles();
    void PrepareTransactionFiles();
    // Queues the client's transaction for its destination, journals, logs
    // and books it.
    void SendTransaction(TOrder &O, const TPreOrder &P, const QString &destination);
    void WriteTransactions(const QString &fileName);
    void WritePendingTransactions();
    bool hasPendingFor(const QString &destination) const { return m_gateway.hasPendingFor(destination); }
    QString SmartTradeFileName(const QString &folder) const { return m_gateway.SmartTradeFileName(folder); }

    // Hands one event text to the mail queue (callers check the event's
    // switch first); returns at once.
    void Notify(const QString &text);

    // The window's commands on the views (the window only passes what the
    // operator chose).
    // The clients of a group, or of every group (the group box's list).
    void FilterClientsByGroup(std::optional<int> group);
    // The positions view for the filter chosen: the group's key as text
    // ("" none), a client code and a security ("" none), all limits or not.
    void SelectLimits(const QString &group, const QString &client, const QString &security, bool allLimits);
    // The instrument list of the positions filter, current again.
    void ReopenSecCodeList();
    // The portfolio views re-read, and their footers.
    void RefreshPortfolios();

    // Views and totals refreshed at connection.
    // The securities directory's totals read again into the data module's
    // SumList (nothing when QuikData is not connected); also after every
    // row of tSecCode saved or deleted.
    void UpdateSumList();
    // Creates or refreshes the directory row of the security on tParam's
    // current row (found by its code, letter case ignored; a new row gets
    // the ticker "$" + code) from the quotes: class, lot size, price step,
    // decimals and point value (base contract too for futures). Ticker,
    // Traded, FixVol, Part and Slippage stay as they are. The success is
    // told by message() and logged; a failure is logged and leaves the row
    // in editing. False on failure.
    bool LoadSecurityFromQuotes();
    void UpdatePortfolioTotals();
    void UpdateStatusBar();
    qint64 GetInfoLogSize();

    // The title of the window.
    QString SetTitle();

    // One robot per QuikData: a lock the operating system holds on the
    // database file, taken at connection and checked at every tick. A robot
    // that cannot have it (another one holds it, or it cannot be taken) or
    // loses it neither watches nor writes transaction files or the journal.
    bool lockedOut() const { return m_lockedOut; }
    const QString &lockedOutText() const { return m_lockedOutText; }

    // Running unattended: a connection that fails is tried again every few
    // seconds (each distinct failure logged once), and watching starts as
    // soon as the robot is connected when `watch` is set, until the
    // operator stops it.
    void RunAsService(bool watch, int retryMs = ServiceRetryMs);
    static constexpr int ServiceRetryMs = 5000;

    // A connection whose own writes (the journal emptied, the robot's state,
    // the new transaction files) wait for QuikData to be free of another
    // program's lock: it is finished, with its log lines, as soon as it is.
    bool connectionPending() const { return m_connectPending; }
    static constexpr int ConnectRetryMs = 1000;

    // Orders whose handling is waiting to be tried again (a database busy
    // or locked for longer than its timeout), oldest first.
    int ordersWaiting() const { return static_cast<int>(m_backlog.size()); }

    // Gives the mail queue a few seconds; what is left is logged as not sent.
    // Stores the clean stop.
    void Shutdown(int mailGraceMs = 3000);

    // The series of transaction numbers the files belong to.
    qint64 session() const { return m_gateway.Session; }
    // Seconds between two signs of life stored in QuikData.
    static constexpr int HeartbeatSeconds = 5;
    // How long a lock file may name no robot before it counts as left over.
    static constexpr int LockGraceMs = 1000;

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
    // Every notification, as Notify hands it to the mail queue.
    void notification(const QString &text);

private:
    // An order of the strategy platform on its way: taken from its row,
    // handled, and handled again where a transient failure stopped it.
    struct PendingOrder {
        TPreOrder P;
        QVariant fillPrice;      // the row's "Fill Price" as stored
        bool started = false;    // its first handling has begun
        bool filtersPassed = false;
        bool resumed = false;    // taken again after a restart
        // Where it still has to go after a transient failure: whole
        // terminals (empty code) or single clients of a terminal.
        QList<QPair<qint32, QString>> left;
        bool failureLogged = false;
    };
    struct DispatchScope {
        const QList<QPair<qint32, QString>> *only = nullptr; // null: every account
        QSet<QString> except;                                // clients served before a restart
        QList<QPair<qint32, QString>> failed;               // transient failures
        QString failure;
        int queued = 0;
        // A row written with the last batch of the order's journal rows (the
        // robot's place), when nothing failed; taken out once written.
        std::optional<WriteQueue::Item> closing;
    };

    void onTimUpdateTable();
    void onTimQuik();
    void onTimInfoLog();
    void onServiceTimer();
    // ConnectAndStart's part that writes: the stored state read, the journal
    // archived and emptied, the timers and the actions; put off while
    // QuikData is held by another program.
    void startConnected();
    void setConnectionPending(const QString &why);
    void onConnectRetry();
    // Watching stopped by the robot itself (the lock lost), not by the
    // operator.
    void stopWatching();
    // The instance lock still stands; otherwise trading stops, loudly.
    void checkInstanceLock();
    void setWatchActions(bool startEnabled, bool stopEnabled);
    // Handles the orders taken so far, in order; stops at one that waits.
    void handleBacklog();
    // False while the order waits for a transient failure to pass.
    bool handleOrder(PendingOrder &order);
    void dispatch(const TPreOrder &order, TOrderHandler handler, DispatchScope &scope);
    void serveClient(TOrderHandler H, TOrder &O, const TPreOrder &P, const TClientAccount &A, const QString &destination,
                     qint32 terminal, DispatchScope &scope);
    void writeGuarded(const QString &fileName);
    // Adds the scope's closing row to the batch being written.
    void closeWith(DispatchScope &scope);
    void onRefused(qint32 transId);
    void onNumberingRestarted(const QHash<qint32, qint32> &carried);
    bool takeWorkspaceLock();
    // The robot's stored state: read at the first connection of a run (what
    // the previous run left), kept up to date from then on.
    void readRunState();
    void storeState(WriteQueue::Item item);
    void storePlace(qint64 lastHandled, DispatchScope *scope = nullptr);
    // The clients of an alert row that were journalled before a restart.
    QSet<QString> servedBefore(qint64 orderId);
    // The rows between the stored place and the new starting point, told in
    // one line when they are not taken.
    void tellSkipped(qint64 after, qint64 upTo, const QString &why);
    // ConnectAndStart, BuildTROFiles, PrepareTransactionFiles.
    void connectAndPrepare();
    void refreshBook();

    Settings &m_settings;
    TDatMod &m_data;
    Gateway m_gateway;
    LinkMonitor m_link;
    MailQueue m_mail;
    bool m_inTick = false;
    // While a dispatch runs the book's dataset is re-read once, at its end.
    int m_dispatching = 0;
    bool m_bookChanged = false;
    bool m_timUpdateTableOn = false;
    bool m_timQuikOn = false;
    bool m_timInfoLogOn = false;
    // The connection's own refresh tick takes no orders: the files they
    // would go to are about to be recreated.
    bool m_connecting = false;
    // The book entry each entry transaction of this numbering made (by
    // transaction number), and the row each entry became once written.
    QHash<qint32, qint64> m_bookEntries;
    QHash<qint64, qint64> m_bookRowIds;
    qint64 m_bookSerial = 0;
    std::deque<PendingOrder> m_backlog;
    // What the previous run left, and what this run does with it.
    TRunState m_previousRun;
    bool m_runStateRead = false;
    bool m_stateKept = false;     // QuikData keeps the robot's state
    bool m_firstPreparation = true;
    bool m_carryFirst = false;    // the previous run ended without a clean stop, within the window
    bool m_resumeRows = false;    // ... and its place in this alert database waits to be taken up
    qint64 m_resumeUpTo = -1;     // rows up to this one are taken after the restart
    QList<qint64> m_resumeSkipped; // rows older than the window, told once
    QElapsedTimer m_heartbeat;
    QString m_filledOrdersFailure; // logged once while FilledOrders cannot be read
    bool m_filledOrdersFailed = false;
    InstanceLock m_instanceLock;
    bool m_lockedOut = false;
    QString m_lockedOutText;
    // Running as a service.
    QTimer m_serviceTimer;
    // A connection waiting for QuikData to be writable.
    bool m_connectPending = false;
    bool m_connectAsked = false; // by the operator's "Подключиться"
    QTimer m_connectRetry;
    // This run's place in the alert database (the last row handled), as
    // last stored.
    QString m_placeAlerts;
    qint64 m_placeHandled = -1;
    bool m_watchedBefore = false; // watching was started in this run

    // Instant intake: the strategy platform's database (and its WAL file)
    // and the terminals' result files watched for changes; a burst of
    // changes makes one step, run as a tick runs.
    QFileSystemWatcher m_intakeWatcher;
    QTimer m_intakeTimer;
    bool m_intakeOrders = false, m_intakeResults = false;
    QSet<QString> m_intakeBlind; // paths the watcher could not take, told once
    void watchIntake();
    void onIntakeChange(const QString &path);
    void runIntake();

public:
    // The files watched for instant intake (empty when it is off or not watching).
    QStringList intakePaths() const;
    // Steps run because a watched file changed.
    int IntakeSteps = 0;

private:
    bool m_serviceWatch = false;      // start watching when it can (armed by --watch)
    bool m_serviceWatchAsked = false; // --watch was given
    bool m_quietRepeats = false;
    QHash<QString, QString> m_lastConnectFailure; // by database path
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
