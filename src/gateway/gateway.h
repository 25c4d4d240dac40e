#pragma once

#include <functional>

#include "transactionfiles.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QVector>

class Settings;
class TDatMod;

// The terminal gateway: the transaction counter, the queue of transaction
// texts per destination, the transaction file sets, the SmartTrade order
// files, the journal and history rows of every transaction, and the reading
// of the terminals' result files with its counters. The robot owns one and
// tells it what to send; what the gateway has to report (an event for the
// mail, a refused transaction, new counters) comes out as signals.
class Gateway : public QObject {
    Q_OBJECT
public:
    Gateway(Settings &settings, TDatMod &data, QObject *parent = nullptr);

    // Asked before each batch of lines goes into a transaction file; while
    // it says no, the lines wait (as for their rows). None: always yes.
    void setWriteFence(std::function<bool()> fence) { m_writeFence = std::move(fence); }

    // The number the next transaction will carry.
    qint32 TransId() const { return m_transId; }
    // Transaction texts built but not yet written, each with its destination.
    const QList<TPendingTransaction> &PendingTransactions() const { return m_pending; }
    // One entry per transaction file set.
    const QVector<TTROData> &TROFiles() const { return m_troFiles; }
    // Results with status 0 and 3.
    qint32 SentCount() const { return m_sentCount; }
    qint32 DoneCount() const { return m_doneCount; }
    // Results by which the terminal, the server or the exchange refused a
    // transaction (IsRefusal), since the program started.
    qint32 RefusedCount() const { return m_refusedCount; }

    // A terminal that stops answering: a line of its ".tri" file that has
    // had no result line in its ".tro" file for longer than AnswerWaitSeconds.
    static constexpr int AnswerWaitSeconds = 60;
    // The file sets ("trans", or a terminal's name) found not answering by
    // the last look, in the order of TROFiles.
    const QStringList &SilentFileSets() const { return m_silent; }
    // Lines written into the QUIK files of this series and not answered yet.
    int UnansweredCount() const { return static_cast<int>(m_unanswered.size()); }
    // Looks which file sets are not answering at `now` (the result check
    // does at its end); a change is logged and signalled.
    void checkAnswers(const QDateTime &now = QDateTime::currentDateTime());
    // The number of the current series of transaction numbers: each
    // preparation of the file sets starts a new one (the numbers start again
    // from the setting), and the history keeps every number with its series.
    qint64 session() const { return m_session; }
    // The series the transaction files on disk belong to: the current one
    // once its files are made. (Only the files of that series can tell which
    // of its lines were written and answered.)
    qint64 filesSession() const { return m_filesSession; }
    // Where a robot that ran before stood, read back from its stored state:
    // its last series, and the series of the files it left.
    void resumeSeries(qint64 session, qint64 filesSession)
    {
        m_session = session;
        m_filesSession = filesSession;
    }

    // The series the next preparation starts, and whether the transactions
    // of the previous one that the terminal never answered (or whose lines
    // never reached their file) go into the new files. The robot decides it
    // from its stored state before each preparation.
    // `resuming` is set for the first preparation after a run that ended
    // without a clean stop: order files SmartTrade has not taken are kept.
    void setNextSession(qint64 session, bool carry, bool resuming)
    {
        m_nextSession = session;
        m_carry = carry;
        m_resuming = resuming;
    }
    // How long the preparation waits for results of lines the terminal has
    // not answered yet before it carries them over.
    static constexpr int CarryWaitMs = 3000;

    // Files the emptying of the transaction folders never deletes, whatever
    // folder is set: the settings file, the log, the databases.
    void setProtectedFiles(const QStringList &files) { m_protected = files; }

    // Queues the client's transaction for its destination (a QUIK import
    // file, or a SmartTrade order folder), journals and logs it. The
    // transaction's number, or -1 when nothing was queued (the quantity is
    // not positive, there is no account, or it is refused: logged).
    qint32 SendTransaction(TOrder &O, const TPreOrder &P, const QString &destination);
    // Another row the transaction's line waits for (its book row).
    void requireRow(qint32 transId, const QString &tag);
    // Writes the texts queued for this file's destination. Throws
    // KorvinaError when a QUIK import file cannot be opened or written.
    void WriteTransactions(const QString &fileName);
    // WriteTransactions with its failure logged, once while it repeats for
    // the same destination (a full disk fails every try).
    void WriteTransactionsLogged(const QString &fileName);
    // Tries again every destination that still holds texts.
    void WritePendingTransactions();
    bool hasPendingFor(const QString &destination) const;
    // Lines held back until their rows are in the database.
    int linesWaitingForRows() const;
    // A new SmartTrade order file in the folder.
    QString SmartTradeFileName(const QString &folder) const;

    void BuildTROFiles();
    void PrepareTransactionFiles();
    // The journal rows of the texts still queued, again (after the journal
    // has been emptied).
    void JournalPending();
    // Before the journal is emptied: its rows of the series, and the results
    // they hold, made sure of in the history.
    void ArchiveJournal(qint64 session);
    // Whether QuikData keeps a history (it has tOrderHistory).
    bool historyKept() const { return m_history; }
    void checkHistory();

    // The result check.
    void actCheckTROExecute();

    // A batch of transactions or results stamped with one moment: the local
    // time is read once when the outermost batch begins (reading it costs a
    // look at the time zone file every time), and every row and line of the
    // batch carries it.
    class TimeBatch {
    public:
        explicit TimeBatch(Gateway &gateway) : m_gateway(gateway)
        {
            if (m_gateway.m_timeBatches++ == 0)
                m_gateway.m_batchTime = QDateTime::currentDateTime();
        }
        ~TimeBatch()
        {
            if (--m_gateway.m_timeBatches == 0)
                m_gateway.m_batchTime = QDateTime();
        }
        TimeBatch(const TimeBatch &) = delete;
        TimeBatch &operator=(const TimeBatch &) = delete;

    private:
        Gateway &m_gateway;
    };
    // The batch's moment, or the time now outside a batch.
    QDateTime now() const { return m_timeBatches > 0 ? m_batchTime : QDateTime::currentDateTime(); }

    // Whether a result's number is one of the current series (sent since
    // the file sets were prepared).
    bool inSeries(qint64 transId) const { return transId >= m_firstNumber && transId < m_transId; }

    // What was sent since the file sets were prepared, by number.
    const QHash<qint32, TSentTransaction> &sent() const { return m_sent; }

signals:
    // An event text for the mail; the caller's switch is already checked.
    void notify(const QString &text);
    // The counters or the transaction number changed.
    void countersChanged();
    // The terminal refused the transaction.
    void refused(qint32 transId);
    // The terminal executed the transaction: its last answer.
    void executed(qint32 transId);
    // The file sets not answering changed (SilentFileSets).
    void silenceChanged(const QStringList &fileSets);
    // The file sets were prepared and the numbering started again; texts
    // still queued were carried over under new numbers (old to new).
    void numberingRestarted(const QHash<qint32, qint32> &carried);
    // A new series of numbers begins, and the files of a series are made:
    // what must be stored with the rows written at that moment.
    void seriesStarted(qint64 session);
    void filesMade(qint64 session);

private:
    std::function<bool()> m_writeFence;
    // Why a client's transaction must not go out (the limit of lots, a
    // price that is nothing); empty when it may.
    QString refusal(const TOrder &O, const TPreOrder &P) const;
    void journal(const TPendingTransaction &t);
    // Whether every row the transaction's line waits for is written.
    bool rowsWritten(const TPendingTransaction &t) const;
    void writeQueue(const QString &fileName, const QString &destination, bool smartTrade);
    void handleResultLine(const QString &path, int index, const QString &line);
    static bool samePath(const QString &a, const QString &b);
    // Logs a write's failure once while it repeats for the destination
    // (`kind` tells repeats apart when the text names a new file each time).
    void reportWriteFailure(const QString &destination, const QString &error, const QString &kind = QString());
    void history(const TPendingTransaction &t);
    void historyResult(qint64 session, qint32 transId, const TResultValues &v);
    // A transaction of an earlier series written again under a new number.
    void carry(TPendingTransaction &t, qint64 fromSession, qint32 fromTransId);
    // The previous series' file sets, before they are deleted: results not
    // read yet go into the history; what the terminal never took is carried
    // into the new files (when m_carry) or told (otherwise).
    void settlePrevious(qint64 previous, const QSet<qint32> &stillQueued);
    // Whether a line queued then is still within the resume window now,
    // and the words that tell its age when it is not.
    bool youngEnough(const QDateTime &queued, const QDateTime &now) const;
    QString ageText(const QDateTime &queued, const QDateTime &now) const;
    // Waits without freezing the window: events other than the operator's
    // input are handled meanwhile.
    static void pauseKeepingEvents(int ms);
    // Writes what is queued for QuikData now, before files change on disk.
    void commitBeforeFiles(const char *what);
    void writeSucceeded(const QString &destination, const QString &fileName);

    Settings &m_settings;
    TDatMod &m_data;
    qint32 m_transId = 0;
    QList<TPendingTransaction> m_pending;
    QVector<TTROData> m_troFiles;
    qint32 m_sentCount = 0;
    qint32 m_doneCount = 0;
    qint32 m_refusedCount = 0;
    // The lines written into a QUIK ".tri" file and not answered yet, by
    // number: the file set and when the line was written.
    struct TUnanswered {
        QString fileSet;
        QDateTime written;
    };
    QHash<qint32, TUnanswered> m_unanswered;
    QStringList m_silent;
    // Lines just written into a QUIK file: they wait for their answer.
    void awaitAnswers(const QString &fileName, const QList<qint32> &transIds);
    qint64 m_session = 0;
    qint64 m_filesSession = 0;
    QStringList m_protected;
    QHash<qint32, TSentTransaction> m_sent;
    QHash<QString, QString> m_writeFailures; // by destination: the failure logged last
    qint64 m_nextSession = 0;
    qint32 m_firstNumber = 0; // the first number of the current series
    bool m_carry = false;
    bool m_resuming = false;
    bool m_history = false;
    int m_timeBatches = 0;
    QDateTime m_batchTime;
};
