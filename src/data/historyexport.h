#pragma once

#include <QDate>
#include <QIODevice>
#include <optional>

class Database;

// The history of every transaction the robot sent (QuikData's tOrderHistory)
// as CSV: one header line, then one line per transaction in the order they
// were sent, UTF-8 with a byte order mark (spreadsheets read it so), fields
// separated by commas, quoted where they hold a comma, a quote or a line
// break, lines ended by CR LF. `from` and `to` (both included) keep only the
// transactions sent on those days. Throws KorvinaError when the history
// cannot be read or written. The number of transactions written.
int ExportHistoryCsv(Database &db, QIODevice &out, std::optional<QDate> from = {}, std::optional<QDate> to = {});

// The columns, in the order written.
QStringList HistoryCsvColumns();
