#pragma once

#include "transactionfiles.h"

#include "data/writequeue.h"

#include <optional>

class TDatMod;

// Reading the terminals' result files back: the new lines of a file, and
// the rows each result line leaves in the journal and the strategy
// platform's orders. The gateway handles each line.

// What a read of a result file found: its complete lines not read before
// (from its first line when the terminal began it anew since the last read),
// and how it stands.
struct TResultRead {
    QStringList lines;
    int first = 0; // the line number (from 0) of lines[0] in the file
    bool anew = false;
    qint64 complete = 0; // bytes up to the end of the last complete line
    quint64 fileId = 0;
    QByteArray head;     // its first bytes, to know it again
};
// Reads the result file when its size or identity changed since `tro` was
// last read; nothing when it did not, or the file is missing. Only the bytes
// after what was read last are read, unless the file was begun anew. Throws
// KorvinaError when it cannot be opened.
std::optional<TResultRead> ReadResultFile(const TTROData &tro, const QString &path);

// A status by which the terminal reports that it, the server or the exchange
// refused the transaction: every status but "passed to the server" (0),
// "received by the server" (1) and "executed" (3); "-1" stands for a line
// without a status, which reports nothing.
bool IsRefusal(const QString &status);
// A whole number, perhaps negative, and nothing else.
bool IsIntegerText(const QString &v);

// The journal row's update with a transaction's result.
WriteQueue::Item JournalResultRow(const TResultValues &v, qint32 transId);
// The alert row a transaction came from, by its journal row; none when the
// journal has no such row (or cannot be read).
std::optional<TSentTransaction> JournalOrigin(TDatMod &data, const QString &transId);
// The terminal's order number written back into the alert row.
WriteQueue::Item OrderNumberRow(const TSentTransaction &origin, const QString &orderNumber, qint32 transId);
