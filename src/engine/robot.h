#pragma once

#include "deskmonitor.h"
#include "dispatcher.h"
#include "orderintake.h"

#include "config/korvinaerror.h"
#include "data/instancelock.h"
#include "data/serverlock.h"
#include "gateway/gateway.h"
#include "monitor/linkmonitor.h"
#include "monitor/mailqueue.h"

#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTimer>

class Settings;
class TDatMod;

// The robot's heartbeat and its run-time state: the connection to the
// databases (with the instance lock on QuikData), the three timers and the
// refresh tick, watching, the link check, the status bar, shutdown. It owns
// and wires the parts that do the work: the order intake, the dispatcher,
// the terminal gateway, the link monitor and the mail queue.
//
// The application makes one and runs it alone (headless) or hands it to the
// main window, which shows its state through the accessors and signals
// below and never writes it.
class Robot : public QObject {
    Q_OBJECT
public:
    Robot(Settings &settings, TDatMod &data, QObject *parent = nullptr);
    ~Robot() override;

    Settings &settings() { return m_settings; }
    TDatMod &data() { return m_data; }
    Gateway &gateway() { return m_gateway; }
    Dispatcher &dispatcher() { return m_dispatcher; }
    OrderIntake &intake() { return m_intake; }
    MailQueue &mail() { return m_mail; }
    // The reconciliation with the terminals and the day's activity.
    DeskMonitor &desk() { return m_desk; }

    // Run-time state.
    bool Watching() const { return m_watching; }
    qint64 LastFilledId() const { return m_intake.LastFilledId(); }
    qint32 TransId() const { return m_gateway.TransId(); }
    const QList<TPendingTransaction> &PendingTransactions() const { return m_gateway.PendingTransactions(); }
    const QVector<TTROData> &TROFiles() const { return m_gateway.TROFiles(); }
    qint32 SentCount() const { return m_gateway.SentCount(); }
    qint32 DoneCount() const { return m_gateway.DoneCount(); }
    qint32 RefusedCount() const { return m_gateway.RefusedCount(); }
    // The terminals' file sets with lines unanswered for over a minute.
    const QStringList &SilentFileSets() const { return m_gateway.SilentFileSets(); }
    quint8 QuikLinkState() const { return m_link.QuikLinkState(); }
    qint64 LastInfoLogSize() const { return m_link.LastInfoLogSize(); }
    int WatchIconIndex() const { return m_watchIconIndex; }
    // The series of transaction numbers the files belong to.
    qint64 session() const { return m_gateway.session(); }

    // The actions whose enabled state the robot decides.
    bool actStartWatchEnabled() const { return m_actStartWatchEnabled; }
    bool actStopWatchEnabled() const { return m_actStopWatchEnabled; }

    // The timers: strategy data refresh (timTable), terminal data refresh
    // (timQuikTimer), terminal link check (timInfoLogTimer).
    const QTimer &timUpdateTable() const { return m_timUpdateTable; }
    const QTimer &timQuik() const { return m_timQuik; }
    const QTimer &timInfoLog() const { return m_timInfoLog; }
    // Sets the timer periods from the settings (seconds; 0 stops a timer).
    void ApplyTimerPeriods();
    // Whether a timer is switched on (it runs when its period is not 0).
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
    void actCheckTROExecute();
    void timQuikTimer();
    void timInfoLogTimer();

    // The terminals' merged views (orders, trades, portfolios, positions)
    // and the journal are read only while a window shows them: a robot
    // without a window never reads them. Each grid that shows one says so
    // when it is shown and again when it is hidden; a view shown again is
    // read at once (off the window's thread).
    void setViewShown(DataSet &view, bool shown);
    bool viewShown(const DataSet &view) const { return m_shownViews.value(&view) > 0; }

    void actStartWatchExecute();
    // The operator's stop: it holds until the operator starts again (a
    // robot run with --watch does not start by itself meanwhile).
    void actStopWatchExecute();

    // Transaction file sets (the gateway's), for this robot's run.
    void BuildTROFiles();
    void PrepareTransactionFiles();
    void WritePendingTransactions() { m_gateway.WritePendingTransactions(); }

    // Hands one event text to the mail queue (callers check the event's
    // switch first); returns at once.
    void Notify(const QString &text);
    // The same with files attached (the day's report).
    void NotifyWithFiles(const QString &text, const QList<MailAttachment> &attachments);

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
    // On a PostgreSQL QuikData the lock is the server's (ServerLock). A
    // standby robot ([Position] Standby, --standby) that finds it held
    // waits and takes over when it frees, going on as a robot restarted
    // after a crash does.
    bool standbyWaiting() const { return m_standbyWaiting; }
    static constexpr int StandbyPollMs = 200;

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
    int ordersWaiting() const { return m_intake.ordersWaiting(); }

    // The files watched for instant intake (empty when it is off or not
    // watching), and the steps run because one changed.
    QStringList intakePaths() const { return m_intake.intakePaths(); }
    int IntakeSteps() const { return m_intake.IntakeSteps(); }

    // Gives the mail queue a few seconds; what is left is logged as not sent.
    // Stores the clean stop.
    void Shutdown(int mailGraceMs = 3000);

    // Seconds between two signs of life stored in QuikData.
    static constexpr int HeartbeatSeconds = 5;

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
    // A sound for the operator: the lock lost, a dispatch's warning, and
    // (SoundOnRefusal) a result check that found refused transactions.
    void beep();
    // Every notification, as Notify hands it to the mail queue.
    void notification(const QString &text);

private:
    // A view read on the worker's connection, when it is shown.
    void readIfShown(DataSet &view);
    void setTimerEnabled(QTimer &timer, bool enabled);
    void onTimUpdateTable();
    void onTimQuik();
    void onTimInfoLog();
    void onServiceTimer();
    void setWatchActions(bool startEnabled, bool stopEnabled);
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
    bool takeWorkspaceLock();
    bool takeServerLock();
    bool lockHeld() const;
    void onStandbyTimer();
    // Whether lines may go into the transaction files now (the gateway
    // asks before each batch): on a server, the lock still held and the
    // owner epoch this robot's.
    bool mayWriteLines();
    void stopTrading(const QString &text);
    // ConnectAndStart, BuildTROFiles, PrepareTransactionFiles.
    void connectAndPrepare();
    // The instant-intake watcher follows watching and the file sets.
    void watchIntake();
    // A step of instant intake, as a tick runs it.
    void runIntake(bool orders, bool results);

    Settings &m_settings;
    TDatMod &m_data;
    // Built in this order, each on the ones before it.
    Gateway m_gateway;
    Dispatcher m_dispatcher;
    OrderIntake m_intake;
    LinkMonitor m_link;
    MailQueue m_mail;
    DeskMonitor m_desk;

    bool m_watching = false;
    int m_watchIconIndex = 0;
    bool m_actStartWatchEnabled = false;
    bool m_actStopWatchEnabled = false;
    QTimer m_timUpdateTable;
    QTimer m_timQuik;
    QTimer m_timInfoLog;
    bool m_timUpdateTableOn = false;
    bool m_timQuikOn = false;
    bool m_timInfoLogOn = false;
    bool m_inTick = false;
    // The connection's own refresh tick takes no orders: the files they
    // would go to are about to be recreated.
    bool m_connecting = false;
    bool m_firstPreparation = true;
    QElapsedTimer m_heartbeat;

    InstanceLock m_instanceLock;
    ServerLock m_serverLock;
    QTimer m_standbyTimer;
    bool m_standbyWaiting = false;
    bool m_serverUnreachable = false; // told once until it is back
    bool m_lockedOut = false;
    QString m_lockedOutText;

    // Running as a service.
    QTimer m_serviceTimer;
    bool m_serviceWatch = false;      // start watching when it can (armed by --watch)
    bool m_serviceWatchAsked = false; // --watch was given
    bool m_quietRepeats = false;
    bool m_serviceRetry = false; // a connection the service tries again
    QHash<QString, QString> m_lastConnectOutcome; // by database path: the line logged last

    // A connection waiting for QuikData to be writable.
    bool m_connectPending = false;
    bool m_connectAsked = false; // by the operator's "Подключиться"
    QTimer m_connectRetry;
    QHash<const DataSet *, int> m_shownViews; // how many grids show each view
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
