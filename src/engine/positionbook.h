#pragma once

#include "gateway/orderrecords.h"

class TDatMod;

#include <functional>
#include <optional>

// The robot's book of the positions it opened, one row of
// tClientOpenPositions per client and entry. Entries and exits meet by the
// key client code, symbol, system, workspace file name, interval and side.
// The data module's query qExitQty serves both reading and deleting: its
// first line is switched between "SELECT Quantity" and "DELETE".
//
// Rows are written through the data module's queue for QuikData, in order
// with the journal: a row the database cannot take at the moment (locked by
// another program, a full disk) waits there, and the book as read for an
// exit counts the rows still waiting.

// "Long" for "LE"/"LX", "Short" for "SE"/"SX", empty otherwise.
QString PositionSide(const QString &orderType);

// Records an entry: only a plain new order ("NEW_ORDER") of type "LE" or "SE".
// `tag` names the queued row (so it can be taken back before it is
// written), `transId` is the transaction it books (for the log), and
// `written` gets the row's id once it is in the database. A row the database
// refuses costs one log line and nothing else. True when a row was queued.
bool AddOpenPosition(TDatMod &dm, const TOrder &O, const TPreOrder &P, const QString &tag = QString(), qint32 transId = -1,
                     std::function<void(qint64)> written = {});
// Deletes every row an exit ("LX"/"SX") closes. `transId` names the exit's
// transaction in the log line of a failure.
void DeleteOpenPositions(TDatMod &dm, const TOrder &O, const TPreOrder &P, qint32 transId = -1);
// Sets one row's quantity to 0 by its id: the entry of a transaction the
// terminal refused stays in the book as an entry that holds nothing.
void MarkEntryRefused(TDatMod &dm, qint64 rowId, qint32 transId);
// The quantity the book holds for an exit: the first row with the exit's key
// that holds something (0 when its rows hold nothing: entries the terminal
// refused), none when there is no row. Failures pass to the caller.
std::optional<qint32> ReadExitQty(TDatMod &dm, const TOrder &O, const TPreOrder &P);
