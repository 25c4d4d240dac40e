#pragma once

#include "data/writequeue.h"

#include <QDateTime>
#include <QString>

class Database;

// Where the robot stands, kept in QuikData (table tRobotState, one row) so
// that a robot killed in the middle of its work knows at its next start
// what it had done: the last alert row it handled (written in the same
// transaction as that order's journal rows), the series of transaction
// numbers its files belong to, and whether it was running (no clean stop)
// when it was last seen.
struct TRunState {
    bool known = false;       // the row was there
    qint64 session = 0;       // the last series of transaction numbers begun
    qint64 filesSession = 0;  // the series the transaction files on disk belong to
    QString alerts;           // the alert database the place is in
    qint64 lastHandled = -1;  // the last alert row handled; -1 none
    qint64 placeSession = 0;  // the series in which the place was stored
    bool running = false;     // no clean stop since
    QDateTime heartbeat;      // the last sign of life
};

// Reads the row; a state not known when there is no row. Throws KorvinaError
// when the table cannot be read.
TRunState ReadRunState(Database &db);

// The rows that keep it, for QuikData's write queue.
WriteQueue::Item RunStateCreated();
WriteQueue::Item RunStarted(qint64 session);
WriteQueue::Item SessionStarted(qint64 session);
WriteQueue::Item FilesMade(qint64 session);
WriteQueue::Item PlaceStored(qint64 lastHandled, qint64 session, const QString &alerts);
WriteQueue::Item Heartbeat();
WriteQueue::Item CleanStop();
