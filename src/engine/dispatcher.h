#pragma once

#include "manualorders.h"
#include "orderhandlers.h"

#include "data/writequeue.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSet>

#include <limits>
#include <optional>

class Gateway;
class Settings;
class TDatMod;

// Order dispatch: a prepared order run over the accounts that are to receive
// it (the single account of the settings, the active clients of every active
// terminal, or the members of the order's group), each turned into a
// transaction by its per-client handler, queued with its journal, history and
// book rows, and written to its terminal's file.
//
// It keeps the link between the entry transactions of the current numbering
// and their rows in the robot's position book, so that an entry the terminal
// refuses stays in the book holding nothing.
class Dispatcher : public QObject {
    Q_OBJECT
public:
    Dispatcher(Settings &settings, TDatMod &data, Gateway &gateway, QObject *parent = nullptr);

    // Whom one dispatch serves, and what it left undone.
    struct Scope {
        const QList<QPair<qint32, QString>> *only = nullptr; // null: every account
        QSet<QString> except;                                // clients served before a restart
        QList<QPair<qint32, QString>> failed;               // (terminal, client) a transient failure stopped
        QString failure;
        // A row written with the last batch of the order's journal rows (the
        // robot's place), when nothing failed; taken out once written.
        std::optional<WriteQueue::Item> closing;
    };
    void dispatch(const TPreOrder &order, TOrderHandler handler, Scope &scope);

    // The prepared order over every account that is to receive it. The text
    // of the failure that left some clients without their transactions
    // (logged); empty when every client got them.
    QString DispatchOrder(const TPreOrder &order, TOrderHandler handler);
    // The operator's orders: a new order (or a strategy order sent again)
    // and the cancellation of every order or stop order in a security, with
    // their log lines. A failure that stops the dispatch is thrown.
    TManualDispatch DispatchManualOrder(const TPreOrder &order);
    QString KillManualOrders(const TPreOrder &order);

    // The book's rows changed outside a dispatch (an entry the terminal
    // refused): its dataset is read again now, unless a dispatch runs (it
    // reads it again at its end).
    void refreshBookIfChanged();

signals:
    // A dispatch has ended.
    void beep();
    // A transaction was queued or refused: the counters on show may change.
    void transactionHandled();

private:
    void serveClient(TOrderHandler H, TOrder &O, const TPreOrder &P, const TClientAccount &A, const QString &destination,
                     qint32 terminal, Scope &scope);
    // Queues the client's transaction for its destination, journals, logs
    // and books it.
    void SendTransaction(TOrder &O, const TPreOrder &P, const QString &destination);
    void refreshBook();
    // Adds the scope's closing row to the batch being written.
    void closeWith(Scope &scope);
    void onRefused(qint32 transId);
    void onExecuted(qint32 transId);
    void onNumberingRestarted(const QHash<qint32, qint32> &carried);

    Settings &m_settings;
    TDatMod &m_data;
    Gateway &m_gateway;
    // While a dispatch runs the book's dataset is re-read once, at its end.
    int m_dispatching = 0;
    bool m_bookChanged = false;
    // The book entry each entry transaction of this numbering made (by
    // transaction number), and the row each entry became once written.
    QHash<qint32, qint64> m_bookEntries;
    QHash<qint64, qint64> m_bookRowIds;
    qint64 m_bookSerial = 0;
    // The active clients of a terminal as last read, by the statement that
    // read them; served again while neither the clients nor the terminals
    // have changed, here or in another program.
    struct ClientList {
        qint64 others = -1; // QuikData's stamp of other programs' commits
        qint64 own = -1;    // this robot's writes to the two tables
        QVector<TClientAccount> accounts;
    };
    QHash<QString, ClientList> m_clientLists;
    // (A copy shares the list's data.)
    QVector<TClientAccount> activeClients(const QString &condition, qint32 terminal, qint64 others);
};
