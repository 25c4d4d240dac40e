#pragma once

#include "orderrecords.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

// The state of one result file between ticks (one per transaction file set).
struct TTROData {
    qint32 IdQuik = 0;   // terminal number; 0 in SINGLE mode
    QString FileName;    // base name of the set: "trans", or the terminal's name
    quint32 FileSize = 0; // size of the result file when last read; 0 = never read
    qint32 LinesRead = 0; // lines of the result file already handled
    qint32 LinesInSize = 0; // the complete lines within FileSize bytes
    // What tells a result file the terminal has begun anew from the one
    // read last: the file's identity on disk and its first bytes.
    quint64 FileId = 0;
    QByteArray Head;
    QString ReadFailure; // the last failure to read it, logged once
};

// A transaction text waiting to be written, with where it must go: a QUIK
// import file, or a SmartTrade order folder. A text is only ever written to
// its own destination.
struct TPendingTransaction {
    QString Destination;
    bool SmartTrade = false;
    QString Text;
    // The transaction's number and its journal row.
    qint32 TransId = -1;
    qint64 OrderId = 0;
    bool Filled = false;
    QString Code;
    // The bytes of the line still to write when a failed write left its
    // beginning in the file; empty otherwise.
    QByteArray Rest;
    // The rows (their tags in QuikData's write queue: journal, history,
    // book) that must be in the database before the line goes into its
    // file. A robot killed after the line went out finds them at its next
    // start, so it never sends the order again.
    QStringList Rows;
    // When it was first queued (a line carried into new files keeps it).
    QDateTime Queued;
};

// A transaction sent since the file sets were last prepared: what the
// journal row holds, kept also while the row waits to be written.
struct TSentTransaction {
    qint64 OrderId = 0;
    bool Filled = false;
    QString Code;
};

// The QUIK transaction line of a client's order.
QString QuikTransactionLine(const TOrder &O, const TPreOrder &P, qint32 transId);

// The SmartTrade order text. For a futures order the portfolio is the
// account, and O.ClientCode takes it too (the journal and the log show it).
QString SmartTradeOrderText(TOrder &O);

// Day, month, year, "_", hour, minute, second, each without leading zeros.
QString GetTimeStamp(const QDateTime &when = QDateTime::currentDateTime());

// Whether a file of a transaction folder is one the robot makes there: a
// QUIK file set's ".tri", ".tro" or ".trr" file, or (smartTrade) a
// SmartTrade order file ("trans_<time stamp>_<number>.new", or one still
// being written).
bool IsTransactionFileName(const QString &name, bool smartTrade);

// Whether a price, cut down to the security's price step and written with
// its decimals, is not above zero ("0,00" for 1e-300).
bool PriceNotPositive(const TSecData &S, double price);

// The size of a file without reading it; 0 when it cannot be had.
qint64 FileSizeByName(const QString &path);

// A path in a folder, with the platform's separator.
QString PathInFolder(const QString &folder, const QString &name);

// Why a folder setting cannot be used here, naming the setting ("[Quik]
// dirTT"); empty when it can. An empty setting (which would mean the working
// directory), the root folder, the user's home folder and, off Windows, a
// Windows path are refused.
QString FolderSettingProblem(const QString &folder, const QString &setting);

// Writes all the bytes, or stops at the write that fails (the file's error
// then tells why). True when all were written.
class QIODevice;
bool writeAll(QIODevice &file, const QByteArray &bytes);

// A file's identity on disk (its inode); 0 when it cannot be had.
quint64 FileIdByName(const QString &path);

// The tag of a transaction's journal row in QuikData's write queue.
QString JournalTag(qint32 transId);

// Deletes the robot's own files of a transaction folder: the QUIK file sets
// (".tri", ".tro", ".trr"), or (smartTrade) the SmartTrade order files;
// every other file stays, and so do the program's own files (the protected
// files with their companions) whatever folder is set. Logs what it deleted
// and returns the names. Throws KorvinaError when a file cannot be deleted.
QStringList EmptyTransactionFolder(const QString &folder, bool smartTrade, const QStringList &protectedFiles);

// The five values of a result line, with their defaults applied.
struct TResultValues {
    QString TransId;
    QString Status;
    QString TransName;
    QString Description;
    QString OrderNumber;
};
// The items of a result line: every ";" and "=" ends an item; text after
// the last one is dropped.
QStringList SplitResultItems(const QString &line);
TResultValues ReadResultValues(const QString &line);
// One pair of double quotes around a text is the file's quoting, not part
// of it.
QString Unquoted(const QString &v);
