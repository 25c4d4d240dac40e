#pragma once

#include "untrade.h"

#include <optional>

// The robot's book of the positions it opened, one row of
// tClientOpenPositions per client and entry. Entries and exits meet by the
// key client code, symbol, system, workspace file name, interval and side.
// The data module's query qExitQty serves both reading and deleting: its
// first line is switched between "SELECT Quantity" and "DELETE".

// "Long" for "LE"/"LX", "Short" for "SE"/"SX", empty otherwise.
QString PositionSide(const QString &orderType);

// Records an entry: only a plain new order ("NEW_ORDER") of type "LE" or "SE".
// A failure costs one log line and nothing else.
void AddOpenPosition(TDatMod &dm, const TOrder &O, const TPreOrder &P);
// Deletes every row an exit ("LX"/"SX") closes. Failures pass to the caller.
void DeleteOpenPositions(TDatMod &dm, const TOrder &O, const TPreOrder &P);
// The quantity the book holds for an exit: the first row with the exit's key,
// none when there is no row. Failures pass to the caller.
std::optional<qint32> ReadExitQty(TDatMod &dm, const TOrder &O, const TPreOrder &P);
