#pragma once

#include "transactionfiles.h"

#include "data/writequeue.h"

#include <QDateTime>
#include <QHash>
#include <QSet>

#include <vector>

class Database;
class TDatMod;

// The history of every transaction the robot sent (tOrderHistory), across
// connections and restarts: the rows that keep it, and what a series' files
// tell of its transactions when the next series begins. The gateway writes
// these rows through QuikData's write queue.

// The tag of a transaction's history row in the write queue.
QString HistoryTag(qint64 session, qint32 transId);

// The row of a transaction queued in the series (sent at the moment it was
// queued).
WriteQueue::Item HistoryRow(qint64 session, const TPendingTransaction &t);
// The terminal's answer to a transaction of a series, read at `at`.
WriteQueue::Item HistoryResultRow(qint64 session, qint32 transId, const TResultValues &v, const QDateTime &at);
// A transaction of an earlier series written again under a new number: its
// row moves to the new number, where it came from stays, and it keeps the
// time it was first queued.
WriteQueue::Item HistoryCarryRow(qint64 session, const TPendingTransaction &t, qint64 fromSession, qint32 fromTransId);

// Before the journal is emptied: its rows of the series, and the results
// they hold, made sure of in the history (queued). A failure is logged.
void ArchiveJournalRows(TDatMod &data, qint64 session);

// A transaction of a series without a result in the history.
struct TOpenTransaction {
    qint32 transId = 0;
    qint64 series = 0;
    QString text;
    qint64 orderId = 0;
    bool filled = false;
    QString code;
    QString tri; // its import file, with '/' separators
    QDateTime queued;
};
// The transactions of the series `previous` and `onDisk` that have no result,
// in order; QUIK import files only, and not those of `previous` that are
// still queued. Throws KorvinaError when the history cannot be read.
std::vector<TOpenTransaction> ReadOpenTransactions(Database &db, qint64 previous, qint64 onDisk, const QSet<qint32> &stillQueued);

// The transaction numbers of the complete lines of an import file.
QSet<qint32> LinesWritten(const QString &tri);
// The last result of each transaction in a result file.
QHash<qint32, TResultValues> ResultsIn(const QString &tro);
// The result file beside an import file.
QString ResultFileOf(const QString &tri);
