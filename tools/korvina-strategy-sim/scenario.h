#pragma once

#include "alertrows.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace stratsim {

// A scenario file: one alert row per line, fields separated by ";":
//
//   delay;table;Symbol;OrderType;Order;Fill Price;System;Workspace;Signal;Interval[;Description]
//
// delay   milliseconds to wait before the row is added, after the previous row
// table   FilledOrders, ActiveOrders, CanceledOrders or OpenPositions
// Fill Price  a number ("." or "," as decimal separator) or empty; it fills
//             Last of an active order and Entry Price/Last of a position
//
// Blank lines and lines starting with "#" are skipped. Every field is trimmed
// of surrounding blanks except Order, which is kept exactly as written. The
// file is UTF-8 (Windows-1251 is taken when it is not valid UTF-8).
//
// Parses the whole text; false, with "line N: ..." in *error and nothing in
// *rows, at the first faulty line.
bool parseScenario(const QByteArray &content, QList<AlertRow> *rows, QString *error);

} // namespace stratsim
