#pragma once

#include "data/servernotifications.h"

#include "dispatcher.h"
#include "runstate.h"

#include "gateway/transactionfiles.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <QVector>

#include <deque>

class Gateway;
class Settings;
class TDatMod;

// The intake of the strategy platform's filled orders: the watch step's
// reading of the alert table above the last-seen id, each order taken in
// turn (a transient failure holds it and the ones after it for a later try),
// the robot's stored place and what a run after a crash takes up from it,
// and the instant-intake watcher on the files where new orders and answers
// land.
class OrderIntake : public QObject {
    Q_OBJECT
public:
    OrderIntake(Settings &settings, TDatMod &data, Gateway &gateway, Dispatcher &dispatcher, QObject *parent = nullptr);

    // The robot's stored state (tRobotState): read at the first connection
    // of a run (what the previous run left, told in the log), kept up to
    // date from then on. A database held by another program for the moment
    // throws its transient failure: the state is read once it is free.
    void readRunState();
    bool stateRead() const { return m_runStateRead; }
    // The previous run ended without a clean stop, within the resume window.
    bool carryFirst() const { return m_carryFirst; }
    // Stores a row of the robot's state (when QuikData keeps it).
    void storeState(WriteQueue::Item item);

    // Watching begins: the starting point, going on from the stored place
    // after a crash within the resume window, otherwise from the table's
    // last row with the rows since the place told as not taken.
    void startWatching();
    // The last alert id seen, and whether it is still to be read (watching
    // began while the table could not be read).
    qint64 LastFilledId() const { return m_lastFilledId; }
    bool BaselinePending() const { return m_baselinePending; }
    // The watch step's reading: the new rows of FilledOrders, each order
    // handled in turn.
    void PollFilledOrders();
    // Orders whose handling waits to be tried again (a database busy or
    // locked for longer than its timeout), oldest first.
    int ordersWaiting() const { return static_cast<int>(m_backlog.size()); }
    QList<qint64> idsWaiting() const;

    // Instant intake: the strategy platform's database (and its WAL file)
    // and the terminals' result files watched while `on`; a burst of
    // changes makes one intakeDue.
    void watch(bool on, const QVector<TTROData> &troFiles);
    QStringList intakePaths() const { return m_watcher.files() + m_watcher.directories(); }
    // A step that could not run now (a tick was running): due again soon.
    void putBack(bool orders, bool results);
    // A step has run: when it looked for orders and found none, the next
    // look of the series is due a little later (the commit that woke it may
    // not be visible yet); a look that found some ends the series.
    void stepDone(bool lookedForOrders, bool foundOrders);
    // The pauses between the looks that follow a change of the alert
    // database, in ms: a commit becomes visible within these (or the tick
    // takes it).
    static inline const QList<int> SeriesMs{1, 2, 5, 10, 20, 40, 80};
    // Steps run because a watched file changed.
    int IntakeSteps() const { return m_steps; }
    void countStep() { ++m_steps; }
    // Watching no file any more and no step due (the program ends).
    void stop();

signals:
    // Watched files changed: new orders (the alert database) and/or new
    // answers (a result file) may be there.
    void intakeDue(bool orders, bool results);

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
    // Handles the orders taken so far, in order; stops at one that waits.
    void handleBacklog();
    // False while the order waits for a transient failure to pass.
    bool handleOrder(PendingOrder &order);
    void storePlace(qint64 lastHandled, Dispatcher::Scope *scope = nullptr);
    // The clients of an alert row that were journalled before a restart.
    QSet<QString> servedBefore(qint64 orderId);
    // The rows between the stored place and the new starting point, told in
    // one line when they are not taken.
    void tellSkipped(qint64 after, qint64 upTo, const QString &why);
    void onChange(const QString &path);

    Settings &m_settings;
    TDatMod &m_data;
    Gateway &m_gateway;
    Dispatcher &m_dispatcher;

    qint64 m_lastFilledId = 0;
    // Set when watching started while FilledOrders could not be read: the
    // first step that can read it takes its last id as the starting point
    // instead of taking every row already there as new.
    bool m_baselinePending = false;
    std::deque<PendingOrder> m_backlog;
    QString m_filledOrdersFailure; // logged once while FilledOrders cannot be read
    bool m_filledOrdersFailed = false;

    // What the previous run left, and what this run does with it.
    TRunState m_previousRun;
    bool m_runStateRead = false;
    bool m_stateKept = false;     // QuikData keeps the robot's state
    bool m_carryFirst = false;    // the previous run ended without a clean stop, within the window
    bool m_resumeRows = false;    // ... and its place in this alert database waits to be taken up
    qint64 m_resumeUpTo = -1;     // rows up to this one are taken after the restart
    QList<qint64> m_resumeSkipped; // rows older than the window, told once
    // This run's place in the alert database (the last row handled), as
    // last stored.
    QString m_placeAlerts;
    qint64 m_placeHandled = -1;
    bool m_watchedBefore = false; // watching was started in this run

    QFileSystemWatcher m_watcher;
    // A server's alert database tells of new rows itself (its trigger's
    // notifications); nothing to watch there.
    ServerNotifications m_notifications;
    bool m_notificationsFailed = false; // told once
    QTimer m_due;
    bool m_dueOrders = false, m_dueResults = false;
    qsizetype m_seriesStep = 0; // the next pause of the series; SeriesMs.size(): none
    QSet<QString> m_blind; // paths the watcher could not take, told once
    int m_steps = 0;
};
