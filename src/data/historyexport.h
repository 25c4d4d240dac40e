#pragma once

#include <QDate>
#include <QIODevice>
#include <QVariant>
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

// The same into the file `path`, readable and writable by its owner only.
// The file is written whole under another name in the same folder and then
// put in place, so a failure leaves no file cut short. An existing file is
// refused unless `replace` is set; a path that is a symbolic link is refused
// always (the link is never followed, nor replaced). Throws KorvinaError
// naming the file.
int ExportHistoryCsvFile(Database &db, const QString &path, bool replace, std::optional<QDate> from = {},
                         std::optional<QDate> to = {});

// The columns, in the order written.
QStringList HistoryCsvColumns();

// A time column of the history (sent_at, result_at) as people read it,
// "2026-12-09 10:00:00"; empty for NULL. Every time column is read through
// here, whatever type the column keeps its times in.
QString HistoryTimeText(const QVariant &value);
